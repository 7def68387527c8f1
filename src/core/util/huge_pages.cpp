#include "util/huge_pages.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace qvx::util {

void adviseHugePages(const void* p, std::size_t bytes) {
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    if (bytes == 0 || begin > UINTPTR_MAX - bytes) return;
    const std::uintptr_t first = (begin + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
    const std::uintptr_t last = (begin + bytes) / kHugePageBytes * kHugePageBytes;
    if (last <= first) return;
#ifdef MADV_HUGEPAGE
    (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

void releaseUnusedPages(std::uint8_t* p, std::size_t bytes) {
    static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    if (bytes == 0 || page == 0 || begin > UINTPTR_MAX - bytes) return;
    const std::uintptr_t first = (begin + page - 1) / page * page;
    const std::uintptr_t last = (begin + bytes) / page * page;
    if (last <= first) return;
    // Private memory of this process: dropped pages come back zero-filled.
    (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

void releaseFreedHeap() {
#if defined(__GLIBC__)
    (void)::malloc_trim(0);
#endif
}

HugeBlock makeHugeBlock(std::size_t bytes) {
    auto* p = static_cast<std::uint8_t*>(::operator new(bytes, std::align_val_t{kHugePageBytes}));
    HugeBlock block(p);
    adviseHugePages(p, bytes);
    std::memset(p, 0, bytes);
    return block;
}

}  // namespace qvx::util
