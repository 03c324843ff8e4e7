#include "io/load_limits.h"

#include <unistd.h>

#include "base/sample_format.h"

namespace quen_merge {

namespace {

constexpr uint64_t kMaxSamples = uint64_t(1) << 32;  // sample counts are 32-bit

uint64_t PhysicalMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && page_size > 0 ? uint64_t(pages) * uint64_t(page_size) : UINT64_MAX;
}

}  // namespace

uint64_t MaxPixels(unsigned stacking_bytes_per_pixel) {
    const uint64_t by_count = (kMaxSamples - 1) / kFrameChannels;
    const uint64_t by_memory = PhysicalMemory() / (kLoadingBytesPerPixel + stacking_bytes_per_pixel);
    return by_count < by_memory ? by_count : by_memory;
}

}  // namespace quen_merge
