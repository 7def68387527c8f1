#pragma once
// Byte buffers aligned to the page size, for bulk reads. The kernel copies
// page-cache data into a page-aligned buffer markedly faster than into one
// that starts 16 bytes into a page, which is where a large plain vector's
// storage starts; a scan that reads a whole disk feels the difference.

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace qvx::util {

inline constexpr std::size_t kPageAlignment = 4096;

template <class T>
struct PageAlignedAllocator {
    using value_type = T;
    PageAlignedAllocator() = default;
    template <class U>
    PageAlignedAllocator(const PageAlignedAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{kPageAlignment}));
    }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, std::align_val_t{kPageAlignment}); }
    template <class U>
    bool operator==(const PageAlignedAllocator<U>&) const noexcept { return true; }
};

using PageAlignedBytes = std::vector<std::uint8_t, PageAlignedAllocator<std::uint8_t>>;

/// The same allocation, but a resize leaves new elements uninitialised:
/// for buffers that are always written before they are read. Clearing
/// megabytes nobody reads costs a page fault per page on first touch.
template <class T>
struct PageAlignedScratchAllocator : PageAlignedAllocator<T> {
    PageAlignedScratchAllocator() = default;
    template <class U>
    PageAlignedScratchAllocator(const PageAlignedScratchAllocator<U>&) noexcept {}
    template <class U>
    struct rebind {
        using other = PageAlignedScratchAllocator<U>;
    };
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(static_cast<Args&&>(args)...);
    }
};

/// Page-aligned bytes whose contents are indeterminate until written.
using PageAlignedScratch = std::vector<std::uint8_t, PageAlignedScratchAllocator<std::uint8_t>>;

}  // namespace qvx::util
