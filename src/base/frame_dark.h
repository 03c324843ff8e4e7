// Which frames a master dark applies to: those of its width and height.
#pragma once

#include "base/sample_format.h"
#include "ostrel/image.h"

namespace quen_merge {

// The dark's samples when dark (may be null) has frame's size and channels,
// else null: a dark of another size is not subtracted.
inline const float* DarkFor(const FloatImage* dark, const Image16* frame) {
    if (dark && dark->width == frame->width && dark->height == frame->height && dark->channels == kFrameChannels &&
        frame->channels == kFrameChannels)
        return dark->data;
    return nullptr;
}

}  // namespace quen_merge
