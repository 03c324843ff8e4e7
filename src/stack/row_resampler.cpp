// Resampling of a frame at a run of positions, several windows summed side by side.
#include "stack/row_resampler.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

#include "base/sample_format.h"
#include "stack/lanczos_kernel.h"
#include "stack/lanczos_table.h"
#include "stack/sampler.h"

namespace quen_merge {

namespace {

// At radius 2 only the taps closer than 2 to a position weigh: 4 per axis. The
// sampler's window of 6 gives its outer two a weight of 0 and skips them.
constexpr int kTaps = 4;
constexpr int kGroup = 8;                // windows summed side by side: enough to hide a rounding chain's latency
constexpr size_t kPrefetchDistance = 8;  // positions: about a cache miss's time of sampling

struct Window {
    size_t at;                     // sample offset of the top left tap
    double weight[kTaps * kTaps];  // row by row; 0 for a tap the sampler skips
};

// The window at (x, y); false when its taps do not all lie inside the frame,
// above its last row (a pixel's three channels are read with the next one's first).
bool SetUp(float x, float y, uint32_t width, uint32_t height, Window& window) {
    if (!(x >= 0 && y >= 0 && x < float(width) && y < float(height))) return false;
    const int left = int(std::floor(x)) - 1, top = int(std::floor(y)) - 1;
    if (left < 0 || top < 0 || left + kTaps > int(width) || top + kTaps >= int(height)) return false;
    double column[kTaps], row[kTaps];
    LanczosWeights(x, left, left + kTaps - 1, column);
    LanczosWeights(y, top, top + kTaps - 1, row);
    for (int j = 0; j < kTaps; ++j) {
        for (int i = 0; i < kTaps; ++i) {
            const double w = column[i] * row[j];
            window.weight[j * kTaps + i] = std::fabs(w) > kNegligibleWeight ? w : 0.0;
        }
    }
    window.at = (size_t(top) * width + size_t(left)) * kFrameChannels;
    return true;
}

// The four floats from sample offset at, widened to 32 bits: a pixel's three
// channels and the next sample, as the frame's calibrated copy would hold them.
template <typename Formula>
__attribute__((always_inline)) inline __m128 Calibrated(__m128i samples, const Formula& formula, size_t at) {
    __m128 v = _mm_mul_ps(_mm_cvtepi32_ps(samples), _mm_set1_ps(kSampleToFloat));
    if constexpr (Formula::kSubtracts) v = _mm_sub_ps(v, _mm_loadu_ps(formula.offset + at));
    if constexpr (Formula::kMultiplies) v = _mm_mul_ps(v, _mm_loadu_ps(formula.gain + at));
    return v;
}

template <typename Formula>
__attribute__((target("avx2"), always_inline)) inline __m128 ReadWide(const unsigned short* data,
                                                                        const Formula& formula, size_t at) {
    return Calibrated(_mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(data + at))), formula, at);
}

template <typename Formula>
__attribute__((always_inline)) inline __m128 ReadPlain(const unsigned short* data, const Formula& formula, size_t at) {
    const __m128i packed = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(data + at));
    return Calibrated(_mm_unpacklo_epi16(packed, _mm_setzero_si128()), formula, at);
}

// Writes a window's three sums, divided by the sum of its weights, to out.
void Finish(const double* sums, double weight, float* out) {
    const bool weighs = std::fabs(weight) > kNegligibleWeight;
    for (unsigned c = 0; c < kFrameChannels; ++c) {
        const float v = weighs ? float(sums[c] / weight) : 0.0f;
        out[c] = v < 0 ? 0.0f : v;
    }
}

// Both kernels below sum kGroup windows tap by tap in the sampler's order,
// each channel rounded to a float after every tap as the sampler's are: the
// same operations, so the same results, whichever runs. A skipped tap adds
// +0 (its term is masked when masters could make it a NaN), which changes no
// sum. The rounding chains set the pace, so the windows are summed side by
// side.

// AVX2: a window's three channels in one register of four doubles.
template <typename Formula>
__attribute__((target("avx2"))) void SumGroupWide(const unsigned short* data, const Formula& formula, size_t stride,
                                                  const Window* windows, float* const* targets) {
    __m256d sums[kGroup];
    double weights[kGroup];
    for (int g = 0; g < kGroup; ++g) {
        sums[g] = _mm256_setzero_pd();
        weights[g] = 0;
    }
    for (int j = 0; j < kTaps; ++j) {
        for (int i = 0; i < kTaps; ++i) {
            const size_t tap = size_t(j) * stride + size_t(i) * kFrameChannels;
            for (int g = 0; g < kGroup; ++g) {
                const double w = windows[g].weight[j * kTaps + i];
                const __m256d wide = _mm256_set1_pd(w);
                __m256d term = _mm256_mul_pd(_mm256_cvtps_pd(ReadWide(data, formula, windows[g].at + tap)), wide);
                if constexpr (Formula::kSubtracts || Formula::kMultiplies)
                    term = _mm256_and_pd(term, _mm256_cmp_pd(wide, _mm256_setzero_pd(), _CMP_NEQ_UQ));
                sums[g] = _mm256_cvtps_pd(_mm256_cvtpd_ps(_mm256_add_pd(sums[g], term)));
                weights[g] += w;
            }
        }
    }
    for (int g = 0; g < kGroup; ++g) {
        double out[4];
        _mm256_storeu_pd(out, sums[g]);
        Finish(out, weights[g], targets[g]);
    }
}

// Any x86-64: the same in two registers of two doubles.
template <typename Formula>
void SumGroupPlain(const unsigned short* data, const Formula& formula, size_t stride, const Window* windows,
                   float* const* targets) {
    __m128d low[kGroup], high[kGroup];
    double weights[kGroup];
    for (int g = 0; g < kGroup; ++g) {
        low[g] = high[g] = _mm_setzero_pd();
        weights[g] = 0;
    }
    for (int j = 0; j < kTaps; ++j) {
        for (int i = 0; i < kTaps; ++i) {
            const size_t tap = size_t(j) * stride + size_t(i) * kFrameChannels;
            for (int g = 0; g < kGroup; ++g) {
                const double w = windows[g].weight[j * kTaps + i];
                const __m128d wide = _mm_set1_pd(w);
                const __m128 v = ReadPlain(data, formula, windows[g].at + tap);
                __m128d term_low = _mm_mul_pd(_mm_cvtps_pd(v), wide);
                __m128d term_high = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(v, v)), wide);
                if constexpr (Formula::kSubtracts || Formula::kMultiplies) {
                    const __m128d weighs = _mm_cmpneq_pd(wide, _mm_setzero_pd());
                    term_low = _mm_and_pd(term_low, weighs);
                    term_high = _mm_and_pd(term_high, weighs);
                }
                low[g] = _mm_cvtps_pd(_mm_cvtpd_ps(_mm_add_pd(low[g], term_low)));
                high[g] = _mm_cvtps_pd(_mm_cvtpd_ps(_mm_add_pd(high[g], term_high)));
                weights[g] += w;
            }
        }
    }
    for (int g = 0; g < kGroup; ++g) {
        double out[4];
        _mm_storeu_pd(out, low[g]);
        _mm_storeu_pd(out + 2, high[g]);
        Finish(out, weights[g], targets[g]);
    }
}

// The separable kernel's weights: for each phase of 2048 per pixel, the
// four taps' from the one left of the position's pixel on, summing to 1.
constexpr int kPhaseBits = 11;
constexpr int kPhases = 1 << kPhaseBits;

struct PhaseWeights {
    alignas(16) float weight[kPhases][kTaps];
};

const PhaseWeights& SeparableWeights() {
    static const PhaseWeights table = [] {
        PhaseWeights t{};
        for (int q = 0; q < kPhases; ++q) {
            const double phase = double(q) / kPhases;
            double w[kTaps], sum = 0;
            for (int k = 0; k < kTaps; ++k) sum += w[k] = lanczos(phase + 1 - k, LanczosTable::kRadius);
            for (int k = 0; k < kTaps; ++k) t.weight[q][k] = float(w[k] / sum);
        }
        return t;
    }();
    return table;
}

// Sums the window at (x, y) in floats into out; false when it does not lie
// inside the frame above its last row.
template <typename Formula>
__attribute__((always_inline)) inline bool SumSeparable(const unsigned short* data, const Formula& formula,
                                                        uint32_t width, uint32_t height, const PhaseWeights& table,
                                                        double x, double y, float* out) {
    if (!(x >= 0 && y >= 0 && x < width && y < height)) return false;
    const uint32_t qx = uint32_t(x * kPhases + 0.5), qy = uint32_t(y * kPhases + 0.5);
    const int left = int(qx >> kPhaseBits) - 1, top = int(qy >> kPhaseBits) - 1;
    if (left < 0 || top < 0 || left + kTaps > int(width) || top + kTaps >= int(height)) return false;
    const float* column = table.weight[qx & (kPhases - 1)];
    const float* row = table.weight[qy & (kPhases - 1)];
    const size_t stride = size_t(width) * kFrameChannels;
    size_t at = (size_t(top) * width + size_t(left)) * kFrameChannels;
    __m128 sum = _mm_setzero_ps();
    for (int j = 0; j < kTaps; ++j, at += stride) {
        __m128 across = _mm_setzero_ps();
        for (int i = 0; i < kTaps; ++i) {
            const __m128 v = ReadPlain(data, formula, at + size_t(i) * kFrameChannels);
            across = _mm_add_ps(across, _mm_mul_ps(v, _mm_set1_ps(column[i])));
        }
        sum = _mm_add_ps(sum, _mm_mul_ps(across, _mm_set1_ps(row[j])));
    }
    alignas(16) float values[4];
    _mm_store_ps(values, _mm_max_ps(sum, _mm_setzero_ps()));
    for (unsigned c = 0; c < kFrameChannels; ++c) out[c] = values[c];
    return true;
}

template <typename Formula>
void ResampleSeparable(const Image16& frame, const SampleCalibration& calibration, const Formula& formula,
                       const Position* positions, size_t n, float* out) {
    const LanczosSampler sampler(EdgeClamp, EdgeClamp, LanczosTable::kRadius);
    const float fill[kFrameChannels] = {0, 0, 0};
    const PhaseWeights& table = SeparableWeights();
    for (size_t k = 0; k < n; ++k) {
        const Position p = positions[k];
        float* target = out + k * kFrameChannels;
        if (!SumSeparable(frame.data, formula, frame.width, frame.height, table, p.x, p.y, target))
            sampler.SampleFrame(&frame, calibration, float(p.x), float(p.y), fill, target);
    }
}

template <typename Formula>
void ResampleRoundedPerTap(const Image16& frame, const SampleCalibration& calibration, const Formula& formula,
                           bool wide, const Position* positions, size_t n, float* out) {
    const LanczosSampler sampler(EdgeClamp, EdgeClamp, LanczosTable::kRadius);
    const auto sum = wide ? SumGroupWide<Formula> : SumGroupPlain<Formula>;
    const float fill[kFrameChannels] = {0, 0, 0};
    const size_t stride = size_t(frame.width) * kFrameChannels;
    Window windows[kGroup];
    float* targets[kGroup];
    int filled = 0;
    for (size_t k = 0; k < n; ++k) {
        if (k + kPrefetchDistance < n) {
            // The kernel weights of a position a few ahead miss the cache: a
            // rotated grid sweeps their table.
            sampler.Prefetch(float(positions[k + kPrefetchDistance].x), float(positions[k + kPrefetchDistance].y));
        }
        const float x = float(positions[k].x), y = float(positions[k].y);
        float* target = out + k * kFrameChannels;
        if (!SetUp(x, y, frame.width, frame.height, windows[filled])) {
            sampler.SampleFrame(&frame, calibration, x, y, fill, target);
            continue;
        }
        targets[filled++] = target;
        if (filled == kGroup) {
            sum(frame.data, formula, stride, windows, targets);
            filled = 0;
        }
    }
    if (filled == 0) return;
    float spare[kFrameChannels];  // the group's unused places repeat its first window
    for (int g = filled; g < kGroup; ++g) {
        windows[g] = windows[0];
        targets[g] = spare;
    }
    sum(frame.data, formula, stride, windows, targets);
}

}  // namespace

RowResampler::RowResampler(const Image16& frame, const SampleCalibration& calibration,
                           ResamplingArithmetic arithmetic, bool wide)
    : frame(frame), calibration(calibration), arithmetic(arithmetic), wide(wide && CpuHasWideRegisters()) {}

void RowResampler::Resample(const Position* positions, size_t n, float* out) const {
    // The calibration's masters are looked at once per run, the CPU once per process.
    WithCalibrationFormula(calibration, [&](auto formula) {
        if (arithmetic == ResamplingArithmetic::kSeparableFloat) {
            ResampleSeparable(frame, calibration, formula, positions, n, out);
        } else {
            ResampleRoundedPerTap(frame, calibration, formula, wide, positions, n, out);
        }
    });
}

}  // namespace quen_merge
