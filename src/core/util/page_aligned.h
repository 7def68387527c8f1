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

}  // namespace qvx::util
