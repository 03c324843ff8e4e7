#include "stack/sigma_clip.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <optional>

#include "base/memory_pages.h"
#include "base/wide_registers.h"

namespace quen_merge {

namespace {

constexpr unsigned kFewestToClip = 3;  // below this many values every value stays
// Widened 8-bit data move in steps of 256 of 65536; 16-bit data in steps of 1.
constexpr double kEightBitStep = 256.0 / 65536.0;
constexpr double kSixteenBitStep = 1.0 / 65536.0;

// The noise a value is judged by: the model of its channel and how much
// more spread the sample's region shows than the model, the least variance
// any value may have (the quantisation's, or a star core's own spread),
// kappa squared, and the sky level under the sample, above which light
// varies between frames in proportion to itself; and kappa squared times
// the least variance any test of the sample can give, within which a value
// passes without a look at the model.
struct Judge {
    const NoiseModel& model;
    double factor, floor, kappa2, sky, passes_within;
};

// A sample whose every value but its lowest lies this many sky spreads
// above the sky is a star's core in every frame (a trail over the sky never
// lifts the second lowest value). From this many values, such a core and
// the samples next to it whose values less the extremes stand, on average,
// kLitAboveSky sky spreads above the sky are judged by at least the spread
// those values show, up to the core's: a sharper frame's core stands higher
// by more than any share (a tenth sharper, a fifth higher), and where stars
// are undersampled, twinkle in a small lens or land a few tenths of a pixel
// apart, a core pixel of one frame is a wing pixel of the next. A hit on a
// star is an extreme, and two trails crossing beside one cannot widen the
// spread beyond the core's.
constexpr double kStarCoreAboveSky = 10;
constexpr double kLitAboveSky = 3;
constexpr unsigned kFewestForOwnRange = 5;

// The expected distance between the second highest and the second lowest
// of n values drawn from a normal distribution, in standard deviations: the
// integral of P2(x) - Q2(x), where P2 is the distribution function of the
// second lowest and Q2 that of the second highest. n from 4 to 256, worked
// out once.
double ExpectedInnerRange(unsigned n) {
    constexpr unsigned kMost = 256;
    static const std::vector<double> table = [] {
        constexpr double kFrom = -9, kStep = 0.01;
        constexpr unsigned kPoints = 1801;
        // p^(m-1) and q^(m-1) as m grows, p the normal distribution function.
        std::vector<double> p(kPoints), below(kPoints, 1), above(kPoints, 1);
        for (unsigned k = 0; k < kPoints; ++k) p[k] = 0.5 * std::erfc(-(kFrom + k * kStep) / std::sqrt(2.0));
        std::vector<double> range(kMost + 1, 0);
        for (unsigned m = 1; m <= kMost; ++m) {
            double sum = 0;
            for (unsigned k = 0; k < kPoints; ++k) {
                const double q = 1 - p[k];
                const double second_lowest = 1 - above[k] * q - m * p[k] * above[k];
                const double second_highest = below[k] * p[k] + m * below[k] * q;
                sum += second_lowest - second_highest;
                below[k] *= p[k];
                above[k] *= q;
            }
            range[m] = sum * kStep;
        }
        return range;
    }();
    return table[std::min(n, kMost)];
}

// Whether v, of a frame whose sky has extra more variance than the frames'
// mean, lies more than kappa standard deviations from the mean of the
// others: the n values in have sum s, v among them. The variance is the
// model's at the others' mean (moved by extra) for v, and the model's over
// their count for that mean, which is itself uncertain.
bool Outlier(double v, double extra, double s, unsigned n, const Judge& judge) {
    const double over_others = 1.0 / (n - 1);  // one division, not two in a row
    const double mean = (s - v) * over_others;
    const double deviation = v - mean;
    if (deviation * deviation <= judge.passes_within) return false;
    const double above_sky = std::max(0.0, mean - judge.sky) * kStarLightVariation;
    const double at_level = double(judge.model.Variance(float(mean))) * judge.factor + above_sky * above_sky;
    const double variance = std::max(at_level + extra * judge.factor, judge.floor) + at_level * over_others;
    return deviation * deviation > judge.kappa2 * variance;
}

// Two outliers on one side pull the others' mean towards them, each hiding
// the other. So when no single value fails, the two most extreme of a side
// that has lost no value yet (a outermost, b next, of extra variance
// extra_b) fail together when b lies more than kappa standard deviations
// from the others without a.
bool OutlierPair(double a, double b, double extra_b, double s, unsigned n, const Judge& judge) {
    return n >= kFewestToClip + 2 && Outlier(b, extra_b, s - a, n - 1, judge);
}

double Larger(double a, double b) { return a < b ? b : a; }

// The mean of a sample whose count values, summing to s, all stay, at the
// level of the frames that gave them: their normalised sum times their mean
// 1 / scale, plus their offsets.
double MeanOfAll(double s, double count, double inverse_scale, double offsets) {
    return (s * inverse_scale + offsets) / count;
}

// A value that leaves a sample's two extremes of a side is kept as its third
// when it lies kappa spreads (of the incoming frame's noise, and the star's
// share of its light) beyond where the sample's other values lie: the mean
// of its values but the three highest and two lowest, from this many of
// them on; with fewer, the middle of its inner extremes.
constexpr unsigned kFewestForMean = 1;
// Samples folded between looks for a value that stood out.
constexpr size_t kWatchBlock = 64;
// A row keeps thirds for at most one sample in this many: bounded memory,
// however many values stand out (the ground moving through an aligned sky).
constexpr size_t kSamplesPerThird = 64;

// Whether no test of the clipping can find a value beyond the square root
// of bound (kappa^2 times the least variance any test gives) in a sample of
// in >= 3 values with sum s, extremes h0 >= h1 and l0 <= l1: no test's
// value lies beyond the extremes, nor its others' mean beyond the mean of
// the rest. Deviations are taken times the others' count, which spares the
// divisions; without branches, so that a loop of it takes several samples
// at once.
bool NoTestFails(double h0, double h1, double l0, double l1, double s, double in, double bound) {
    const double others = in - 1, pair = in - 2;
    const double largest = Larger(h0 * others - (s - h0), (s - l0) - l0 * others);
    const double pairs = Larger(h1 * pair - (s - h0 - h1), (s - l0 - l1) - l1 * pair);
    const double pairs_beyond = in >= kFewestToClip + 2 ? pairs * pairs - bound * pair * pair
                                                        : -std::numeric_limits<double>::infinity();
    return Larger(largest * largest - bound * others * others, pairs_beyond) <= 0;
}

// Whether v is a whole number of 8-bit steps: data whose every value is
// one were widened from 8 bits.
bool OnEightBitStep(float v) {
    const double steps = double(v) / kEightBitStep;
    return std::fabs(steps - std::round(steps)) < 1e-3;
}

}  // namespace

ClippingStatistics::ClippingStatistics(float* first, size_t n, uint32_t grid_columns, double kappa,
                                       Normalisation normalisation)
    : count(n), width(std::max<uint32_t>(1, grid_columns)), normalisation(normalisation), kappa(kappa), sums(first) {
    const size_t height = n / 3 / width;
    step = GridStep(width, uint32_t(height));
    grid_width = (width + step - 1) / step;
    // Neither zeroed nor written here: the second frame's fold writes the
    // extremes it reaches, and FillUnfolded the rest. Their memory is then
    // touched once, not twice.
    const size_t length = std::max<size_t>(1, n);
    storage.reset(static_cast<float*>(std::malloc(length * kFields * sizeof(float))));
    if (!storage) throw std::bad_alloc();
    // Their pages, and the grid's, are new to the process and first touched
    // in one stream: where the system hands freed memory back to a host, a
    // huge page's first touch costs several times its small pages' (0.9 s
    // against 0.3 s for 288 MiB here), and a stream through them gains little
    // from fewer of them.
    AdviseWholeHugePages(storage.get(), length * kFields * sizeof(float), MADV_NOHUGEPAGE);
    const size_t points = grid_width * ((height + step - 1) / step) * 3;
    grid.reserve(points);
    AdviseWholeHugePages(grid.data(), points * sizeof(GridSums), MADV_NOHUGEPAGE);
    grid.resize(points);
    for (unsigned f = 0; f < kFields; ++f) field[f] = storage.get() + f * length;
    std::vector<char*> fields;
    for (float* f : field) fields.push_back(reinterpret_cast<char*>(f));
    fault_in = std::make_unique<BackgroundFaultIn>(std::move(fields), length * sizeof(float));
    bool eight_bit = n > 0;
    for (size_t y = 0; y < height; y += step)
        ForGridSamples(y * width * 3, size_t(width) * 3, [&](size_t i, size_t g) {
            AddToGrid(g, first[i]);
            eight_bit = eight_bit && OnEightBitStep(first[i]);
        });
    // The spread the quantisation alone gives a value: a uniform error over
    // one step.
    const double quantum = eight_bit ? kEightBitStep : kSixteenBitStep;
    floor = quantum * quantum / 12;
    const FrameSky sky = Sky(width, uint32_t(height), [first](size_t i) { return first[i]; });
    reference = sky.level;
    AlongRow(reference, sky_pattern);
    thirds.resize(height);
    thirds_short.assign(height, 0);
    if (normalisation == Normalisation::kLocation) {
        reference_surface = SkySurface::Measure(width, uint32_t(height), [first](size_t i) { return first[i]; });
        total_surface = reference_surface.Zero();
    }
    frame_variances.push_back({sky.variance[0], sky.variance[1], sky.variance[2]});
    for (unsigned c = 0; c < 3; ++c) {
        total_variance[c] = sky.variance[c];
        total_inverse_scale[c] = 1;
    }
    frames = 1;
}

void ClippingStatistics::FillUnfolded() {
    if (extremes_written) return;
    extremes_written = true;
    const bool second_landed = frame == 1 && !landing_offsets.empty();
    if (frame == 1 && !second_landed) return;  // a whole frame reached every sample
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    const size_t rows = count / 3 / width, rows_per_piece = std::max<size_t>(1, kFillSamples / (size_t(width) * 3));
    ForEachPiece(rows, rows_per_piece, [&](size_t first_row, size_t end_row) {
        std::vector<char> reached(width);
        for (size_t y = first_row; y < end_row; ++y) {
            std::fill(reached.begin(), reached.end(), 0);
            if (second_landed)
                for (const Run& r : runs[y]) std::fill(reached.begin() + r.begin, reached.begin() + r.end, 1);
            for (size_t x = 0; x < width; ++x) {
                if (reached[x]) continue;
                for (size_t i = (y * width + x) * 3, end = i + 3; i < end; ++i) {
                    field[kHigh0][i] = field[kLow0][i] = Tagged(sums[i], 0);
                    field[kHigh1][i] = -kInfinity;
                    field[kLow1][i] = kInfinity;
                }
            }
        }
    });
}

void ClippingStatistics::BeginFrame(const FrameSky& sky, bool landing) {
    if (frame == 1) FillUnfolded();
    offset_surface = SkySurface();
    if (normalisation == Normalisation::kLocation && !landing && !reference_surface.Empty() &&
        sky.surface.SameGrid(reference_surface)) {
        offset_surface = sky.surface.Less(reference_surface);
        // Where the two skies differ by one level, one level per channel
        // compares them as well, and costs nothing per value.
        bool level = true;
        for (unsigned c = 0; c < 3; ++c)
            level = level && offset_surface.LargestDeparture(c) < kLevelWithin * std::sqrt(double(sky.variance[c]));
        if (level) offset_surface = SkySurface();
    }
    const bool local = !offset_surface.Empty();
    if (local) total_surface.Add(offset_surface);
    any_local = any_local || local;
    for (unsigned c = 0; c < 3; ++c) {
        const bool scaled = normalisation == Normalisation::kScale && !landing && sky.level[c] > 0 && reference[c] > 0;
        const bool shifted = normalisation == Normalisation::kLocation || landing;
        scale[c] = scaled ? reference[c] / sky.level[c] : 1.0f;
        offset[c] = shifted ? sky.level[c] - reference[c] : 0.0f;
        total_offset[c] += local ? 0.0f : offset[c];
        total_inverse_scale[c] += 1.0 / scale[c];
        // Its noise as compared: scaled with its values.
        total_variance[c] += sky.variance[c] * scale[c] * scale[c];
    }
    ++frames;
    least_shift = std::min(least_shift, double(offset[1]));
    most_shift = std::max(most_shift, double(offset[1]));
    least_level = std::min(least_level, 1.0 / scale[1]);
    most_level = std::max(most_level, 1.0 / scale[1]);
    AlongRow(offset, offset_pattern);
    AlongRow(scale, scale_pattern);
    if (landing) {
        if (runs.empty()) runs.resize(std::max<size_t>(1, count / 3 / width));
        landing_offsets.push_back(offset);
    }
    std::array<double, 3> variance;
    for (unsigned c = 0; c < 3; ++c) variance[c] = sky.variance[c] * scale[c] * scale[c];
    // The fold's count of a sample's values less its three highest and two
    // lowest: every frame's value, or the sample's count (which counts this
    // frame's). Their mean is used from kFewestForMean of them.
    const float none = std::numeric_limits<float>::quiet_NaN();
    for (size_t c = each_other.size(); c <= frames; ++c)
        each_other.push_back(c >= kFewestForMean + 5 ? 1.0f / float(c - 5) : none);
    each_other_pattern.assign(size_t(width) * 3, each_other[frames]);
    std::array<float, 3> compared;
    for (unsigned c = 0; c < 3; ++c) compared[c] = float(std::max(variance[c], floor));
    AlongRow(compared, variance_pattern);
    if (frame_variances.size() < kLastFrameId) {
        frame = uint8_t(frame_variances.size());
        frame_variances.push_back(variance);
        return;
    }
    // Frames from the last id on share it, with the mean of their noise.
    frame = kLastFrameId;
    if (frame_variances.size() == kLastFrameId) frame_variances.push_back({0, 0, 0});
    ++frames_sharing_last_id;
    std::array<double, 3>& shared = frame_variances[kLastFrameId];
    for (unsigned c = 0; c < 3; ++c) shared[c] += (variance[c] - shared[c]) / frames_sharing_last_id;
}

inline void ClippingStatistics::FoldWatchedRun(
    const float* __restrict in, const float* __restrict scale, const float* __restrict offset, float* __restrict sum,
    float* __restrict high0, float* __restrict high1, float* __restrict low0, float* __restrict low1, size_t n,
    uint8_t id, const FoldWatch& watch, float* __restrict leaving_high, float* __restrict leaving_low,
    uint8_t* __restrict stood_out) {
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    const float* __restrict variance = watch.variance;
    const float* __restrict sky = watch.sky;
    const float* __restrict each_other = watch.each_other;
    for (size_t b = 0; b < n; b += kWatchBlock) {
        int any = 0;
        for (size_t j = b, end = std::min(n, b + kWatchBlock); j < end; ++j) {
            const float m = in[j] * scale[j] - offset[j];
            const float t = Tagged(m, id);
            const float s = sum[j] + m;
            const float h0 = Max(high0[j], t), h1 = Max(high1[j], Min(high0[j], t)), h2 = Min(high1[j], t);
            const float l0 = Min(low0[j], t), l1 = Min(low1[j], Max(low0[j], t)), l2 = Max(low1[j], t);
            sum[j] = s;
            high0[j] = h0;
            high1[j] = h1;
            low0[j] = l0;
            low1[j] = l1;
            // Where the sample's others lie: the mean of its values less the
            // three highest and two lowest (less the three lowest and two
            // highest), which three outliers of a side and two of the other
            // leave; with too few values, the middle of its inner extremes.
            const float middle = 0.5f * (h1 + l1);
            const float trimmed_high = (s - h0 - h1 - h2 - l0 - l1) * each_other[j];
            const float trimmed_low = (s - l0 - l1 - l2 - h0 - h1) * each_other[j];
            const bool enough = each_other[j] > 0;
            const float below_high = enough ? trimmed_high : middle;
            const float above_low = enough ? trimmed_low : middle;
            // That mean is itself uncertain, by the noise over its count.
            const float widen = 1.0f + (enough ? each_other[j] : 0.0f);
            const float lit = Max(0.0f, below_high - sky[j]) * float(kStarLightVariation);
            const float reach2 = watch.reach2 * (variance[j] * widen + lit * lit);
            const float above = h2 - below_high, below = above_low - l2;
            // A value that joins a side's two extremes on the other side
            // is no outlier of this one (and is not among its others).
            const bool high_out = (h2 > l1) & (above > 0) & (above * above > reach2);
            const bool low_out = (l2 < h1) & (below > 0) & (below * below > reach2);
            leaving_high[j] = high_out ? h2 : -kInfinity;
            leaving_low[j] = low_out ? l2 : kInfinity;
            any |= int(high_out) | int(low_out);
        }
        stood_out[b / kWatchBlock] = uint8_t(any);
    }
}

void ClippingStatistics::FoldWatchedWide(const float* __restrict in, const float* __restrict scale,
                                         const float* __restrict offset, float* __restrict sum,
                                         float* __restrict high0, float* __restrict high1, float* __restrict low0,
                                         float* __restrict low1, size_t n, uint8_t id, const FoldWatch& watch,
                                         float* __restrict leaving_high, float* __restrict leaving_low,
                                         uint8_t* __restrict stood_out) {
    FoldWatchedRun(in, scale, offset, sum, high0, high1, low0, low1, n, id, watch, leaving_high, leaving_low,
                   stood_out);
}

void ClippingStatistics::Fold(size_t first, const float* values, const float* times, const float* shift, size_t n) {
    const size_t y = first / 3 / width, row_first = y * size_t(width) * 3;
    // The share of the other values' sum each takes, per sample.
    const float* each = each_other_pattern.data();
    thread_local std::vector<float> local_each;
    if (covered) {
        // Most pixels of a run hold every frame's value; the others, near
        // the frames' edges, have their own count.
        const float* counts = covered + first / 3;
        const float every = float(frames);
        constexpr size_t kPixelsLooked = 16;  // looked at together, without branches
        for (size_t look = 0, pixels = n / 3; look < pixels; look += kPixelsLooked) {
            const size_t end = std::min(pixels, look + kPixelsLooked);
            int fewer = 0;
            for (size_t p = look; p < end; ++p) fewer |= int(counts[p] != every);
            if (!fewer) continue;
            if (each != local_each.data()) {
                local_each.assign(each_other_pattern.begin(), each_other_pattern.begin() + n);
                each = local_each.data();
            }
            for (size_t p = look; p < end; ++p) {
                const float share = each_other[std::min(each_other.size() - 1, size_t(counts[p]))];
                local_each[p * 3] = local_each[p * 3 + 1] = local_each[p * 3 + 2] = share;
            }
        }
    }
    const FoldWatch watch{variance_pattern.data(), sky_pattern.data(), each, float(kappa * kappa)};
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    thread_local std::vector<float> leaving_high, leaving_low;
    thread_local std::vector<uint8_t> stood_out;
    leaving_high.resize(n);
    leaving_low.resize(n);
    stood_out.resize(n / kWatchBlock + 1);
    float* const high0 = field[kHigh0] + first;
    float* const high1 = field[kHigh1] + first;
    float* const low0 = field[kLow0] + first;
    float* const low1 = field[kLow1] + first;
    if (CpuHasWideRegisters())
        FoldWatchedWide(values, times, shift, sums + first, high0, high1, low0, low1, n, frame, watch,
                        leaving_high.data(), leaving_low.data(), stood_out.data());
    else
        FoldWatchedRun(values, times, shift, sums + first, high0, high1, low0, low1, n, frame, watch,
                       leaving_high.data(), leaving_low.data(), stood_out.data());
    thread_local std::vector<Third> found;
    found.clear();
    for (size_t b = 0; b < n; b += kWatchBlock) {
        if (!stood_out[b / kWatchBlock]) continue;
        for (size_t j = b, end = std::min(n, b + kWatchBlock); j < end; ++j)
            if (leaving_high[j] > -kInfinity || leaving_low[j] < kInfinity)
                found.push_back({uint32_t(first + j - row_first), leaving_high[j], leaving_low[j]});
    }
    if (!found.empty()) KeepThirds(y, found);
}

void ClippingStatistics::KeepThirds(size_t y, const std::vector<Third>& found) {
    std::vector<Third>& kept = thirds[y];
    const size_t share = std::max<size_t>(1, size_t(width) * 3 / kSamplesPerThird);
    // Merged in a buffer the thread keeps, which then trades places with the
    // row's: no allocation once the buffers have grown, as all threads share
    // one heap.
    thread_local std::vector<Third> merged;
    merged.clear();
    size_t a = 0, b = 0;
    while (a < kept.size() || b < found.size()) {
        if (b == found.size() || (a < kept.size() && kept[a].at < found[b].at)) {
            merged.push_back(kept[a++]);
        } else if (a < kept.size() && kept[a].at == found[b].at) {
            Third both = kept[a++];
            both.high = Max(both.high, found[b].high);
            both.low = Min(both.low, found[b].low);
            merged.push_back(both);
            ++b;
        } else if (merged.size() + (kept.size() - a) < share) {
            merged.push_back(found[b++]);
        } else {
            thirds_short[y] = 1;  // no room: this sample's clipping may stop short
            ++b;
        }
    }
    kept.swap(merged);
}

void ClippingStatistics::FinishRow(size_t y, RowScratch& row, RejectionTally& tally) const {
    const size_t n = size_t(width) * 3, first = y * n;
    if (row.bound.size() != n) {
        row.bound.resize(n);
        row.offsets.resize(n);
        row.inverse_scale.resize(n);
        row.done.resize(n);
        for (size_t k = 0; k < n; ++k) {
            row.offsets[k] = total_offset[k % 3];
            row.inverse_scale[k] = total_inverse_scale[k % 3] / frames;
        }
    }
    // The map's factors stay the same along a band of rows: they and the
    // bound are worked out again only where a new band begins.
    for (unsigned c = 0; c < 3; ++c) {
        if (maps[c].BandOf(y) == row.band[c]) continue;
        row.band[c] = maps[c].BandOf(y);
        maps[c].Row(y, row.factor[c]);
        // No value's variance is less: not the model's least moved by the
        // least noisy frame's, in the region's measure, nor the
        // quantisation's.
        const double least = double(models[c].LeastVariance()) + least_extra[c];
        for (size_t x = 0; x < width; ++x)
            row.bound[x * 3 + c] = kappa * kappa * std::max(least * row.factor[c][x], floor);
    }
    const bool landed = LandedOffsets(y, row.steps, row.offsets);
    if (any_local && !landed) {
        row.surface.resize(n);
        total_surface.Row(y, 0, width, row.surface.data());
        for (size_t k = 0; k < n; ++k) row.offsets[k] = total_offset[k % 3] + row.surface[k];
    }
    FinishUnfailable(field[kHigh0] + first, field[kHigh1] + first, field[kLow0] + first, field[kLow1] + first,
                     sums + first, row.counts.data(), row.offsets.data(), row.inverse_scale.data(), row.bound.data(), n,
                     row.done.data());
    // The first frame's sky along the row, set up once a sample needs it and
    // read only where one does.
    std::optional<SkySurface::RowCurve> sky;
    // The row's thirds, in the order of their samples, walked along with them.
    const std::vector<Third>& row_thirds = thirds[y];
    auto next_third = row_thirds.begin();
    // Most samples are done, and those left lie together, on stars and
    // trails: the row is looked at in groups, without branches, first.
    constexpr size_t kSamplesLooked = 16;
    for (size_t look = 0; look < n; look += kSamplesLooked) {
        const size_t end = std::min(n, look + kSamplesLooked);
        int64_t left = 0;
        for (size_t k = look; k < end; ++k) left |= row.done[k] ^ 1;
        if (!left) continue;
        for (size_t k = look; k < end; ++k) {
            if (row.done[k]) continue;
            if (!sky && !reference_surface.Empty()) sky = reference_surface.Along(y);
            const float sky_here = sky ? sky->At(k / 3, unsigned(k % 3)) : reference[k % 3];
            while (next_third != row_thirds.end() && next_third->at < k) ++next_third;
            const Third* third = next_third != row_thirds.end() && next_third->at == k ? &*next_third : nullptr;
            const size_t i = first + k;
            sums[i] = ClippedMean(i, unsigned(row.counts[k]), third, row.offsets[k], row.inverse_scale[k],
                                  sky_here, row.factor[k % 3][k / 3], tally);
        }
    }
}

void ClippingStatistics::FinishUnfailable(const float* high0, const float* high1, const float* low0,
                                          const float* low1, float* sum, const double* counts, const double* offsets,
                                          const double* inverse_scale, const double* bound, size_t n,
                                          int64_t* done) {
    if (CpuHasWideRegisters())
        FinishUnfailableWide(high0, high1, low0, low1, sum, counts, offsets, inverse_scale, bound, n, done);
    else
        FinishUnfailableRun(high0, high1, low0, low1, sum, counts, offsets, inverse_scale, bound, n, done);
}

void ClippingStatistics::FinishUnfailableWide(const float* __restrict high0, const float* __restrict high1,
                                              const float* __restrict low0, const float* __restrict low1,
                                              float* __restrict sum, const double* __restrict counts,
                                              const double* __restrict offsets,
                                              const double* __restrict inverse_scale,
                                              const double* __restrict bound, size_t n, int64_t* __restrict done) {
    FinishUnfailableRun(high0, high1, low0, low1, sum, counts, offsets, inverse_scale, bound, n, done);
}

inline void ClippingStatistics::FinishUnfailableRun(const float* __restrict high0, const float* __restrict high1,
                                                    const float* __restrict low0, const float* __restrict low1,
                                                    float* __restrict sum, const double* __restrict counts,
                                                    const double* __restrict offsets,
                                                    const double* __restrict inverse_scale,
                                                    const double* __restrict bound, size_t n,
                                                    int64_t* __restrict done) {
    for (size_t j = 0; j < n; ++j) {
        const double s = sum[j], in = counts[j];
        // Samples of fewer values keep them all; their bound is worked out
        // on a count that divides by no zero, and not used.
        const bool clean = (in < kFewestToClip) | NoTestFails(Untagged(high0[j]), Untagged(high1[j]),
                                                               Untagged(low0[j]), Untagged(low1[j]), s,
                                                               in < kFewestToClip ? kFewestToClip : in, bound[j]);
        const double mean = MeanOfAll(s, Larger(in, 1), inverse_scale[j], offsets[j]);
        const double kept = in > 0 ? mean : 0.0;
        sum[j] = float(clean ? kept : s);
        done[j] = clean;
    }
}

double ClippingStatistics::CoreRangeWithin(size_t i, double least) const {
    const size_t pixel = i / 3, x = pixel % width, y = pixel / width, rows = count / 3 / width;
    const size_t x0 = x > 0 ? x - 1 : 0, x1 = std::min<size_t>(width - 1, x + 1);
    const size_t y0 = y > 0 ? y - 1 : 0, y1 = std::min(rows - 1, y + 1);
    double range = 0;
    for (size_t v = y0; v <= y1; ++v)
        for (size_t u = x0; u <= x1; ++u) {
            const size_t j = (v * width + u) * 3 + i % 3;
            const float second_lowest = Untagged(field[kLow1][j]);
            if (std::isfinite(second_lowest) && second_lowest > least)
                range = std::max(range, double(Untagged(field[kHigh1][j])) - second_lowest);
        }
    return range;
}

float ClippingStatistics::ClippedMean(size_t i, unsigned count_here, const Third* third, double offsets,
                                      double inverse_scale, double sky, double factor, RejectionTally& tally) const {
    const unsigned channel = unsigned(i % 3);
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    constexpr unsigned kMostKept = kClipExtremes + 1;
    const float tagged_high[kMostKept] = {field[kHigh0][i], field[kHigh1][i], third ? third->high : -kInfinity};
    const float tagged_low[kMostKept] = {field[kLow0][i], field[kLow1][i], third ? third->low : kInfinity};
    const unsigned kept_high = kClipExtremes + (tagged_high[2] > -kInfinity);
    const unsigned kept_low = kClipExtremes + (tagged_low[2] < kInfinity);
    float high[kMostKept], low[kMostKept];
    double high_extra[kMostKept] = {}, low_extra[kMostKept] = {};
    double least_extra_here = std::numeric_limits<double>::infinity();  // of any value a test looks at
    for (unsigned k = 0; k < kept_high; ++k) {
        high[k] = Untagged(tagged_high[k]);
        high_extra[k] = ExtraVariance(TagOf(tagged_high[k]), channel);
        least_extra_here = std::min(least_extra_here, high_extra[k]);
    }
    for (unsigned k = 0; k < kept_low; ++k) {
        low[k] = Untagged(tagged_low[k]);
        low_extra[k] = ExtraVariance(TagOf(tagged_low[k]), channel);
        least_extra_here = std::min(least_extra_here, low_extra[k]);
    }
    // Most samples the quick bound leaves are clean all the same: it took
    // the least noisy frame's spread and no star. The least variance their
    // own tests can give, from the frames their values came from and the
    // star light their lowest value still holds, spares the tests; and
    // where a test is needed, it spares most values' look at the model.
    const double least = double(models[channel].LeastVariance()) * factor;
    const double star = std::max(0.0, double(low[0]) - sky) * kStarLightVariation;
    const double least_at_level = least + star * star;
    const double passes_within =
        kappa * kappa *
        (std::max(least_at_level + least_extra_here * factor, floor) + least_at_level / (count_here - 1));
    if (NoTestFails(high[0], high[1], low[0], low[1], sums[i], count_here, passes_within))
        return float(MeanOfAll(sums[i], count_here, inverse_scale, offsets));
    // Offsets move every value of a sample alike, and leave its range. The
    // sky's spread (a square root) is taken only where the sample is lit.
    double own_spread = 0;
    const double sky_variance = double(models[channel].Variance(float(sky))) * factor;
    const double lit = (sums[i] - high[0] - low[0]) / (count_here - 2) - sky;
    if (count_here >= kFewestForOwnRange && lit > 0 && lit * lit > kLitAboveSky * kLitAboveSky * sky_variance) {
        const double sky_spread = std::sqrt(sky_variance);
        own_spread = std::min<double>(high[1] - low[1], CoreRangeWithin(i, sky + kStarCoreAboveSky * sky_spread)) /
                     ExpectedInnerRange(count_here);
    }
    const Judge judge{models[channel], factor, std::max(floor, own_spread * own_spread), kappa * kappa, sky,
                      passes_within};
    double s = sums[i];
    unsigned in = count_here, out_high = 0, out_low = 0;
    // The low test that last passed: after a pass that left out only high
    // values, the next one's first low test is the same test again.
    struct {
        unsigned value = kMostKept, in = 0;
        double s = 0;
    } passed_low;
    const auto low_fails = [&](unsigned value, double others_s, unsigned n) {
        if (value == passed_low.value && others_s == passed_low.s && n == passed_low.in) return false;
        if (Outlier(low[value], low_extra[value], others_s, n, judge)) return true;
        passed_low = {value, n, others_s};
        return false;
    };
    while (in >= kFewestToClip) {
        // Each pass tests the high side against the values in at its start,
        // then the low side against those the high side left: a bright
        // outlier lifts the others' mean, and against that lifted mean a
        // clean low value would seem to fail (the model's spread, unlike a
        // sample's own, does not widen with the outlier). The most extreme
        // value of a side is the first to fail, so a side stops at its first
        // value that passes.
        double drop_s = 0;
        unsigned dropped_high = 0, dropped_low = 0;
        // A pass never leaves no value at all.
        while (out_high + dropped_high < kept_high && in - dropped_high > 1 &&
               Outlier(high[out_high + dropped_high], high_extra[out_high + dropped_high], s, in, judge))
            drop_s += high[out_high + dropped_high++];
        const double high_kept = s - drop_s;
        const unsigned in_low = in - dropped_high;
        while (out_low + dropped_low < kept_low && in_low - dropped_low > 1 && in_low >= kFewestToClip &&
               low_fails(out_low + dropped_low, high_kept, in_low))
            drop_s += low[out_low + dropped_low++];
        if (dropped_high + dropped_low == 0) {
            if (out_high == 0 && OutlierPair(high[0], high[1], high_extra[1], s, in, judge)) dropped_high = 2;
            if (out_low == 0 && in - dropped_high >= kFewestToClip + 2 &&
                OutlierPair(low[0], low[1], low_extra[1], s, in, judge))
                dropped_low = 2;
            for (unsigned j = 0; j < dropped_high; ++j) drop_s += high[j];
            for (unsigned j = 0; j < dropped_low; ++j) drop_s += low[j];
        }
        if (dropped_high + dropped_low == 0) break;
        s -= drop_s;
        in -= dropped_high + dropped_low;
        out_high += dropped_high;
        out_low += dropped_low;
    }
    tally.high += out_high;
    tally.low += out_low;
    // A side that lost every value kept for it may hold one more outlier:
    // where it lost a third too, or where its row could not keep every
    // third. Without a third, no value beyond its two stood out as it left.
    const bool row_short = thirds_short[i / 3 / width] != 0;
    const auto cut_short = [row_short](unsigned out, unsigned kept) {
        return out == kept && (kept > kClipExtremes || row_short);
    };
    if (cut_short(out_high, kept_high) || cut_short(out_low, kept_low)) ++tally.at_limit;
    if (in == 0) return 0.0f;
    // The kept values' mean at the level of every value's: whichever values
    // went, neighbouring samples stay on one level.
    return float(s / in * inverse_scale + offsets / count_here);
}

}  // namespace quen_merge
