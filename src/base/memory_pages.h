// Advice to the system on how a buffer's memory is paged.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace quen_merge {

constexpr uintptr_t kHugePageBytes = uintptr_t(2) << 20;

// Gives advice (an madvise one) on the whole huge pages inside
// [begin, begin + bytes): the pages at either end may hold other buffers.
inline void AdviseWholeHugePages(void* begin, size_t bytes, int advice) {
    const uintptr_t first = (uintptr_t(begin) + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    const uintptr_t end = (uintptr_t(begin) + bytes) & ~(kHugePageBytes - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, advice);
}

}  // namespace quen_merge
