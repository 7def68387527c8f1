#pragma once
// Large, long-lived buffers (the item arena, the records a raw scan finds)
// are touched page by page as they fill. Each first touch of a 4 KiB page
// is a page fault, and on a virtual machine a fault is dear: tens of
// thousands of them showed as a tenth of a whole search. Where transparent
// huge pages are offered on request, one fault brings in 2 MiB instead.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace qvx::util {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

/// Asks the kernel to back the whole 2 MiB pages inside [p, p + bytes) with
/// huge pages. Advice only: where the kernel declines (or offers none),
/// nothing changes.
void adviseHugePages(const void* p, std::size_t bytes);

struct HugeBlockDelete {
    void operator()(std::uint8_t* p) const noexcept { ::operator delete(p, std::align_val_t{kHugePageBytes}); }
};
using HugeBlock = std::unique_ptr<std::uint8_t[], HugeBlockDelete>;

/// A zeroed block of bytes (a multiple of 2 MiB), aligned to a huge page
/// and advised as huge pages.
HugeBlock makeHugeBlock(std::size_t bytes);

/// Gives the whole pages inside [p, p + bytes) of such a block back to the
/// system: the part of a block not yet filled stops counting against the
/// program's memory, and reads as zeros (as the block was made) when it is
/// written after all.
void releaseUnusedPages(std::uint8_t* p, std::size_t bytes);

/// Gives the heap's whole free pages back to the system, those of every
/// thread's heap too: what a finished stage freed (buffers a helper thread
/// filled among them, which the other threads' allocations never reuse)
/// stops counting against the program while the next stage builds.
void releaseFreedHeap();

}  // namespace qvx::util
