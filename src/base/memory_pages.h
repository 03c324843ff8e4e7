// Advice to the system on how a buffer's memory is paged.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace quen_merge {

constexpr uintptr_t kHugePageBytes = uintptr_t(2) << 20;

// The whole pages of page_bytes (a power of two) inside [begin, begin +
// bytes), from first to end, empty where first >= end: the pages at either
// end may hold other buffers.
struct WholePages {
    uintptr_t first, end;
    WholePages(const void* begin, size_t bytes, uintptr_t page_bytes)
        : first((uintptr_t(begin) + page_bytes - 1) & ~(page_bytes - 1)),
          end((uintptr_t(begin) + bytes) & ~(page_bytes - 1)) {}
};

// Gives advice (an madvise one) on the whole huge pages inside
// [begin, begin + bytes).
inline void AdviseWholeHugePages(void* begin, size_t bytes, int advice) {
    const WholePages pages(begin, bytes, kHugePageBytes);
    if (pages.end > pages.first) madvise(reinterpret_cast<void*>(pages.first), pages.end - pages.first, advice);
}

}  // namespace quen_merge
