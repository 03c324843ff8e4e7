// How large a frame this machine can load and then stack: a header that
// announces more is refused before anything is allocated for it.
#pragma once

#include <cstdint>

namespace quen_merge {

// What loading one pixel may take: the decoded bitmap and, for other sample
// types than 16-bit RGB, its 16-bit conversion.
constexpr unsigned kLoadingBytesPerPixel = 12;

// The most pixels a frame may have: sample counts stay below 2^32, and this
// machine's memory must hold the loader's own cost plus the caller's
// stacking_bytes_per_pixel for each.
uint64_t MaxPixels(unsigned stacking_bytes_per_pixel);

}  // namespace quen_merge
