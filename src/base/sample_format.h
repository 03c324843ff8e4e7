// The sample format of frames and stacks: three 16-bit channels per pixel
// (blue, green, red), taken into floats by 2^-16 and back by 2^16.
#pragma once

#include <cmath>
#include <cstdint>

namespace quen_merge {

constexpr unsigned kFrameChannels = 3;
constexpr int kMaxSample = 65535;
// 2^-16 exactly, so 65535 becomes 0.9999847 and never reaches 1.
constexpr double kSampleScale = 1.52587890625e-05;
constexpr float kSampleToFloat = float(kSampleScale);
// The writer's inverse of kSampleToFloat; results of 1 and above saturate.
constexpr float kFloatToSample = 65536.0f;

// A float in [0, 1) as a 16-bit sample: x 65536, floored; 1 and above give
// 65535, negatives and NaN 0.
inline uint16_t FloatToSample(float v) {
    if (v <= 0) return 0;
    if (v >= 1) return kMaxSample;
    if (std::isnan(v)) return 0;
    const int s = int(std::floor(v * kFloatToSample));
    return uint16_t(s > kMaxSample ? kMaxSample : s);
}

}  // namespace quen_merge
