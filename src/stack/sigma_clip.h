// Kappa-sigma clipping in one pass and bounded memory. Per sample: the sum of
// its values and the two highest and two lowest of them, each carrying the
// frame it came from in the lowest 8 bits of its mantissa (a change of less
// than 2^-15 of the value, and plain min and max keep them); for the few
// samples where a value that left those extremes stood out, the most extreme
// such value of each side as a third. On a sparse
// grid: sums of squares, from which a noise model per channel gives the
// spread a value may have at its level. Per frame: its sky level and noise.
// Every value is normalised, less its frame's sky offset from the first
// frame's (a smooth surface where frames stay in place, one level per
// channel where they land), so that a frame with a brighter sky is not left
// out whole, in the middle or the vignetted corners; and it
// is judged with its own frame's noise, so that a noisier frame is not left
// out for its noise. The result is the mean of the kept normalised values,
// at the level of the mean of all: it does not step where neighbouring
// samples kept other frames. The clipping is worked out once every frame is
// in.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "base/background_fault_in.h"
#include "base/median.h"
#include "base/parallel.h"
#include "stack/noise_map.h"
#include "stack/noise_model.h"
#include "stack/sky_surface.h"

namespace quen_merge {

// Values kept per side of every sample; a third is kept where one stood out.
constexpr unsigned kClipExtremes = 2;

// Star light varies between frames beyond its shot noise, by this share of
// itself: seeing, tracking and resampling move a star's core between
// pixels (the "sensitivity noise" of a CCD rejection).
constexpr double kStarLightVariation = 0.1;

// How frames are brought onto one scale before their values are compared:
// lights differ by their sky (an offset), flats by their lamp or the
// twilight's brightness (a factor); bias and darks are compared as they are.
enum class Normalisation { kNone, kLocation, kScale };

// What the clipping of a whole stack left out.
struct RejectionTally {
    uint64_t values = 0;     // values in the stack, over all samples
    uint64_t high = 0;       // values left out above the others
    uint64_t low = 0;        // values left out below the others
    // Samples that may hold an outlier past the values kept: a side lost all
    // of them, and a value beyond stood out (a third, lost too) or could
    // not be kept.
    uint64_t at_limit = 0;
    // How far apart the frames were brought (green channel): their sky
    // offsets from the first frame's, or their levels over its.
    Normalisation normalisation = Normalisation::kNone;
    double least = 0, most = 0;
};

class ClippingStatistics {
    // The extremes of every sample, values less their frame's offset, one
    // array each: the fold streams through them.
    enum Field { kHigh0, kHigh1, kLow0, kLow1, kFields };  // high0 >= high1, low0 <= low1

public:
    // Memory one sample takes beyond the sums, which the caller's buffer
    // holds: its extremes, and its shares of the grid (0.75 bytes where a
    // point stands every fourth pixel each way) and of the thirds (at most
    // 0.19), rounded up.
    static constexpr unsigned kBytesPerSample = kFields * sizeof(float) + 1;

    // Pixels between the grid's points on each axis: every pixel of small
    // frames, every fourth of large ones.
    static uint32_t GridStep(uint32_t width, uint32_t height) {
        return uint64_t(width) * height >= (uint64_t(1) << 18) ? 4 : 1;
    }

    // The statistics of the n samples of a grid width pixels wide whose
    // first frame's values are sums[i], worked out on every CPU, for
    // clipping at kappa. sums, a buffer the caller keeps alive, holds each
    // sample's sum from then on, and ClippedMeans leaves the means there.
    // Frames are normalised as normalisation says; frames that land
    // (aligned stacks) by location.
    ClippingStatistics(float* sums, size_t n, uint32_t width, double kappa,
                       Normalisation normalisation = Normalisation::kLocation);

    // A frame's sky, per channel: its level (the median over the grid) and
    // the variance of one pixel's noise (from the median absolute difference
    // of neighbouring pixels, which smooth gradients and vignetting leave).
    struct FrameSky {
        std::array<float, 3> level{}, variance{};
        // Where a frame stays in place: its sky across the frame, which
        // normalises its values instead of the level.
        SkySurface surface;
    };
    // Starts the next frame, whose sky (per channel, as the first frame's
    // was measured) is sky: its values are compared less the difference of
    // levels, with its own noise. Call before its values are added, from one
    // thread. A landing frame (of an aligned stack) adds its values in runs,
    // each told with Landed.
    void BeginFrame(const FrameSky& sky, bool landing = false);
    // The sky of a width x height frame whose sample i is value(i); across
    // the frame too, for a frame that stays in place and is compared by its
    // sky.
    template <typename Value>
    static FrameSky Sky(uint32_t width, uint32_t height, Value value, bool across = false);
    // Pixels between the points a sky level is measured on: a median needs
    // fewer than the noise model.
    static constexpr uint32_t kBackgroundSpacing = 4;
    // Points a frame's noise is measured on, per channel.
    static constexpr double kNoisePoints = 16384;
    // A frame whose sky differs from the first frame's by one level, to
    // within this share of its noise everywhere, is normalised by the level.
    static constexpr double kLevelWithin = 0.25;

    // Where frames land: the caller's count of each pixel's values, which
    // counts a frame's before they come. Without it every sample has one
    // value from each frame.
    void CountValuesIn(const float* per_pixel) { covered = per_pixel; }
    // Takes the values of whole pixels of the current frame into their
    // statistics, the grid's too: samples [first, first + n) of one row,
    // first and n multiples of 3.
    void AddPixels(size_t first, const float* values, size_t n) {
        float* const at[kFields] = {field[kHigh0] + first, field[kHigh1] + first, field[kLow0] + first,
                                    field[kLow1] + first};
        const float* shift = offset_pattern.data();
        const float* const times = scale_pattern.data();
        thread_local std::vector<float> local_shift;
        if (!offset_surface.Empty()) {
            local_shift.resize(n);
            offset_surface.Row(first / 3 / width, first / 3 % width, n / 3, local_shift.data());
            shift = local_shift.data();
        }
        if (frame == 1)
            FoldSecondRun(values, times, shift, sums + first, at[kHigh0], at[kHigh1], at[kLow0], at[kLow1], n);
        else
            Fold(first, values, times, shift, n);
        ForGridSamples(first, n, [&](size_t i, size_t g) {
            AddToGrid(g, values[i - first] * times[i - first] - shift[i - first]);
        });
    }
    // The landing frame covered whole pixels [first / 3, (first + n) / 3)
    // of one row: the offsets of the frames that covered a sample are summed
    // from these runs when it is finished, instead of in a buffer of every
    // sample. One thread per row at a time.
    void Landed(size_t first, size_t n) {
        const size_t pixel = first / 3;
        runs[pixel / width].push_back({uint32_t(landing_offsets.size() - 1), uint32_t(pixel % width),
                                       uint32_t(pixel % width + n / 3)});
    }
    // Calls add(i, g) for every sample i of samples [first, first + n) of
    // one row that lies on the grid, g its entry in the grid.
    template <typename Add>
    void ForGridSamples(size_t first, size_t n, Add add) const {
        const size_t pixel = first / 3, x0 = pixel % width, y = pixel / width;
        if (n == 0 || y % step) return;
        const size_t end = first + n;
        // Worked out along the row, not divided out for every point.
        const size_t first_x = (x0 + step - 1) / step * step;
        size_t g = ((y / step) * grid_width + first_x / step) * 3;
        for (size_t x = first_x; x < width; x += step, g += 3) {
            const size_t i = (pixel - x0 + x) * 3;
            if (i >= end) break;
            for (size_t c = 0; c < 3; ++c)
                if (i + c >= first && i + c < end) add(i + c, g + c);
        }
    }

    // Fits each channel's noise model from the grid, where count(p) gives
    // the number of values of pixel p. Call once every frame is in.
    template <typename Count>
    void FitNoise(Count count);
    // FitNoise, then into the sums' buffer the mean of each sample's values
    // after iterative clipping: a value is left out when it lies more than
    // kappa standard deviations from the mean of the other values still in,
    // until none is; with fewer than 3 values in, all of them stay. A
    // value's variance is the noise model's at the others' mean, moved by
    // how much its frame's sky noise differs from the frames' mean, times
    // the noise map's factor for its region, plus the model's over m for
    // the m others' mean, which is itself uncertain; a star's core is
    // judged by at least its own spread.
    // Values are compared less their frame's offset; the mean is of the kept
    // normalised values, brought to the level of every frame that gave the
    // sample: plus their mean offset, times their mean scale. Shared out over
    // every CPU; what was left out is counted in tally, the same as one loop
    // would.
    template <typename Count>
    void ClippedMeans(Count count, RejectionTally& tally);

private:
    // Takes normalised value m of a sample on the grid, entry g, into the
    // noise model's sums.
    void AddToGrid(size_t g, float m) {
        GridSums& sums_here = grid[g];
        if (std::isnan(sums_here.first)) sums_here.first = m;
        const float departure = m - sums_here.first;
        sums_here.sum += departure;
        sums_here.squares += departure * departure;
    }
    // A value per channel, repeated for every pixel of a row, into row.
    void AlongRow(const std::array<float, 3>& per_channel, std::vector<float>& row) const {
        row.resize(size_t(width) * 3);
        for (size_t k = 0; k < row.size(); ++k) row[k] = per_channel[k % 3];
    }
    // The widest range between second highest and second lowest value of
    // the stars' cores (samples whose second lowest value lies above least)
    // within a pixel of sample i, in its channel; 0 without one.
    double CoreRangeWithin(size_t i, double least) const;
    // A sample's third most extreme value of each side, where one stood out.
    struct Third {
        uint32_t at;      // the sample within its row
        float high, low;  // tagged; -inf and +inf where that side kept none
    };
    // The clipped mean of the `count` values of sample i, test by test,
    // with its third values where it kept them (else null); offsets are
    // those of the frames that gave them. Counts the values it left out in
    // tally. Only for the samples FinishUnfailable left; most of them are
    // clean all the same, and a finer bound spares their tests.
    float ClippedMean(size_t i, unsigned count, const Third* third, double offsets, double inverse_scale,
                      double sky, double factor, RejectionTally& tally) const;
    // What finishing a row needs besides the statistics, kept from row to row.
    struct RowScratch {
        std::vector<double> counts;   // each sample's count of values
        std::vector<double> offsets;  // the offsets of the frames that gave them
        std::vector<double> inverse_scale;  // the mean of their 1 / scale
        std::vector<double> bound;    // kappa^2 times the least variance of the sample's channel
        std::vector<double> steps;    // where the landing frames' offsets begin and end along the row
        std::vector<float> surface;   // the frames' offset surfaces summed, along the row
        std::array<std::vector<float>, 3> factor;  // the noise map's factor along the row, per channel
        // ... and the band of rows it is of; none before the first row
        std::array<size_t, 3> band{SIZE_MAX, SIZE_MAX, SIZE_MAX};
        std::vector<int64_t> done;    // 1 where the sample is finished (as wide as the bound's lanes)
    };
    // Writes the extremes of the samples that the second frame did not
    // reach (every sample when there was none): the first value alone. Once,
    // after the second frame.
    void FillUnfolded();
    static constexpr size_t kFillSamples = size_t(1) << 20;  // samples one worker fills at a time
    // The clipped means of row y, whose counts row holds, into the sums.
    void FinishRow(size_t y, RowScratch& row, RejectionTally& tally) const;
    // For each of n samples where no test can fail even at the least spread
    // of its channel (bound[j], kappa^2 times that variance), its mean into
    // sum[j] and 1 into done[j]; 0 there for the rest, left to the tests.
    // Most samples hold no outlier, and the loop, without branches, takes
    // several at once: four on CPUs with wide registers, through its twin.
    static void FinishUnfailable(const float* high0, const float* high1, const float* low0, const float* low1,
                                 float* sum, const double* counts, const double* offsets,
                                 const double* inverse_scale, const double* bound, size_t n, int64_t* done);
    // FinishUnfailable's loop, compiled into it and into its AVX2 twin: the
    // same operations, the same bits.
    __attribute__((always_inline)) static inline void FinishUnfailableRun(
        const float* __restrict high0, const float* __restrict high1, const float* __restrict low0,
        const float* __restrict low1, float* __restrict sum, const double* __restrict counts,
        const double* __restrict offsets, const double* __restrict inverse_scale, const double* __restrict bound,
        size_t n, int64_t* __restrict done);
    __attribute__((target("avx2"))) static void FinishUnfailableWide(
        const float* __restrict high0, const float* __restrict high1, const float* __restrict low0,
        const float* __restrict low1, float* __restrict sum, const double* __restrict counts,
        const double* __restrict offsets, const double* __restrict inverse_scale, const double* __restrict bound,
        size_t n, int64_t* __restrict done);

    static constexpr uint8_t kLastFrameId = 255;  // frames from here on share one id

    // AddPixels' fold from the third frame on, keeping the thirds that stood
    // out.
    void Fold(size_t first, const float* values, const float* times, const float* shift, size_t n);
    // Takes the thirds found along row y into those it keeps, within the
    // row's share.
    void KeepThirds(size_t y, const std::vector<Third>& found);

    // What the fold needs to see a value that leaves a sample's extremes
    // stand out, along a row's samples: the incoming frame's noise variance,
    // the sky level, and 1 / the count of the sample's values other than its
    // three highest and two lowest (NaN where there are too few); kappa^2.
    struct FoldWatch {
        const float* variance;
        const float* sky;
        const float* each_other;
        float reach2;
    };
    // AddPixels' steps for n values in[j] of channel j % 3, normalised as
    // in[j] * scale[j] - offset[j], into statistics that no other pointer
    // reaches (the compiler may then take several values at once); and the
    // values that left each sample's extremes (tagged) where they stood out,
    // into leaving_high and leaving_low (-inf and +inf elsewhere), and into
    // stood_out[b] whether any of block b did, a block being kWatchBlock
    // samples. Compiled into Fold, and into its AVX2 twin below, which Fold
    // takes where the CPU has it: the same operations, the same bits.
    __attribute__((always_inline)) static inline void FoldWatchedRun(
        const float* __restrict in, const float* __restrict scale, const float* __restrict offset,
        float* __restrict sum, float* __restrict high0, float* __restrict high1, float* __restrict low0,
        float* __restrict low1, size_t n, uint8_t id, const FoldWatch& watch, float* __restrict leaving_high,
        float* __restrict leaving_low, uint8_t* __restrict stood_out);
    __attribute__((target("avx2"))) static void FoldWatchedWide(
        const float* __restrict in, const float* __restrict scale, const float* __restrict offset,
        float* __restrict sum, float* __restrict high0, float* __restrict high1, float* __restrict low0,
        float* __restrict low1, size_t n, uint8_t id, const FoldWatch& watch, float* __restrict leaving_high,
        float* __restrict leaving_low, uint8_t* __restrict stood_out);
    // The fold of the second frame, whose statistics are not yet written:
    // the first frame's value is still the sum, and the extremes are written
    // as the fold would leave them from the first value alone (high1 -inf,
    // low1 +inf), without reading them.
    static void FoldSecondRun(const float* __restrict in, const float* __restrict scale,
                              const float* __restrict offset, float* __restrict sum, float* __restrict high0,
                              float* __restrict high1, float* __restrict low0, float* __restrict low1, size_t n) {
        for (size_t j = 0; j < n; ++j) {
            const float m = in[j] * scale[j] - offset[j];
            const float f = Tagged(sum[j], 0), t = Tagged(m, 1);
            sum[j] += m;
            high0[j] = Max(f, t);
            high1[j] = Min(f, t);
            low0[j] = Min(f, t);
            low1[j] = Max(f, t);
        }
    }
    static float Max(float a, float b) { return a > b ? a : b; }
    static float Min(float a, float b) { return a < b ? a : b; }
    // m with the frame id in its mantissa's lowest 8 bits.
    static float Tagged(float m, uint8_t id) {
        uint32_t bits;
        std::memcpy(&bits, &m, sizeof bits);
        bits = (bits & ~uint32_t(0xff)) | id;
        std::memcpy(&m, &bits, sizeof bits);
        return m;
    }
    // The frame id a tagged value carries, and the value without it.
    static uint8_t TagOf(float t) {
        uint32_t bits;
        std::memcpy(&bits, &t, sizeof bits);
        return uint8_t(bits & 0xff);
    }
    static float Untagged(float t) {
        uint32_t bits;
        std::memcpy(&bits, &t, sizeof bits);
        bits &= ~uint32_t(0xff);
        std::memcpy(&t, &bits, sizeof bits);
        return t;
    }

    // How much more variance than the frames' mean the sky of the frame
    // with this id has, channel c. Set once every frame is in.
    double ExtraVariance(uint8_t id, unsigned c) const { return extra_variance[id][c]; }
    // Into offsets, the offsets of the landing frames that covered each
    // sample of row y, summed; false when no frame landed. Each run adds its
    // frame's offsets where it begins and takes them away where it ends, and
    // one sweep sums them along the row: the cost is the row's, not its runs'.
    bool LandedOffsets(size_t y, std::vector<double>& steps, std::vector<double>& offsets) const {
        if (landing_offsets.empty()) return false;
        steps.assign((size_t(width) + 1) * 3, 0.0);
        for (const Run& r : runs[y])
            for (unsigned c = 0; c < 3; ++c) {
                steps[size_t(r.begin) * 3 + c] += landing_offsets[r.frame][c];
                steps[size_t(r.end) * 3 + c] -= landing_offsets[r.frame][c];
            }
        // A sum per channel, each its own chain of additions.
        double red = 0, green = 0, blue = 0;
        for (size_t k = 0; k < size_t(width) * 3; k += 3) {
            offsets[k] = red += steps[k];
            offsets[k + 1] = green += steps[k + 1];
            offsets[k + 2] = blue += steps[k + 2];
        }
        return true;
    }

    // The first value a grid point had, and the sums of the later values'
    // departures from it and of their squares: departures are small beside
    // the level, and floats hold their sums as doubles would the values'.
    struct GridSums {
        float first = std::numeric_limits<float>::quiet_NaN(), sum = 0, squares = 0;
    };
    // Pixels [begin, end) of a row that a landing frame covered.
    struct Run {
        uint32_t frame, begin, end;
    };

    size_t count = 0;
    uint32_t width = 0, step = 1;
    size_t grid_width = 0;
    std::array<float, 3> reference{};   // the first frame's background
    SkySurface reference_surface;       // ... across the frame, where frames stay in place
    SkySurface offset_surface;          // the current frame's offset across the frame, where it has one
    SkySurface total_surface;           // every frame's offset surface added
    bool any_local = false;             // whether any frame was normalised across the frame
    Normalisation normalisation = Normalisation::kLocation;
    double kappa = 3;
    std::array<float, 3> offset{};      // the current frame's offset
    std::array<float, 3> scale{1, 1, 1};  // ... and its scale
    std::array<double, 3> total_offset{};  // every frame's offsets added
    std::array<double, 3> total_inverse_scale{};  // every frame's 1 / scale added
    double least_shift = 0, most_shift = 0;  // the green offsets' range, the first frame's included
    double least_level = 1, most_level = 1;  // the green 1 / scale's likewise
    std::vector<float> offset_pattern;  // offset[k % 3] for a row's samples k
    std::vector<float> scale_pattern;   // scale[k % 3] likewise
    std::vector<float> variance_pattern;  // the current frame's noise variance, as compared, likewise
    std::vector<float> sky_pattern;     // reference[k % 3] likewise
    std::vector<float> each_other_pattern;  // FoldWatch's each_other where every sample has every frame's value
    std::vector<float> each_other;      // ... by a sample's count of values
    const float* covered = nullptr;     // CountValuesIn's counts
    uint8_t frame = 0;
    bool extremes_written = false;      // every sample's extremes hold its values
    unsigned frames_sharing_last_id = 0;
    std::vector<std::array<double, 3>> frame_variances;  // each frame's sky noise, by frame id
    std::array<double, 3> total_variance{};              // every frame's sky noise added
    unsigned frames = 0;                                  // frames begun, the first included
    std::vector<std::array<double, 3>> extra_variance;   // by frame id, from FitNoise on
    std::array<double, 3> least_extra{};                  // the least of extra_variance, per channel
    double floor = 0;                   // least variance: the data's quantisation
    // Hundreds of megabytes for a large stack.
    std::unique_ptr<float, void (*)(void*)> storage{nullptr, &std::free};
    float* field[kFields] = {};
    // Their pages, faulted in while the next frame's stars are found; gone
    // before the storage.
    std::unique_ptr<BackgroundFaultIn> fault_in;
    float* sums = nullptr;
    // Aligned stacks: each landing frame's offsets, and by row the runs of
    // pixels each covered, in frame order.
    std::vector<std::array<float, 3>> landing_offsets;
    std::vector<std::vector<Run>> runs;
    std::vector<GridSums> grid;
    // By row: the thirds, in the order of their samples; whether the row's
    // share of them ran out.
    std::vector<std::vector<Third>> thirds;
    std::vector<uint8_t> thirds_short;
    NoiseModel models[3];
    NoiseMap maps[3];
};

template <typename Value>
ClippingStatistics::FrameSky ClippingStatistics::Sky(uint32_t width, uint32_t height, Value value, bool across) {
    // The level's median needs fewer points than the noise, whose
    // differences from frame to frame are what matters: about
    // kNoisePoints of them.
    const uint32_t step = std::max<uint32_t>(1, uint32_t(std::sqrt(double(width) * height / kNoisePoints)));
    const uint32_t level_step = GridStep(width, height) * (GridStep(width, height) > 1 ? kBackgroundSpacing : 1);
    FrameSky sky;
    std::vector<float> levels, steps;
    auto median = [](std::vector<float>& v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    for (unsigned c = 0; c < 3; ++c) {
        levels.clear();
        steps.clear();
        for (uint32_t y = 0; y < height; y += step)
            for (uint32_t x = 0; x < width; x += step) {
                const size_t i = (size_t(y) * width + x) * 3 + c;
                if (x % level_step < step && y % level_step < step) levels.push_back(value(i));
                if (x + 1 < width) steps.push_back(std::fabs(value(i) - value(i + 3)));
            }
        if (!levels.empty()) sky.level[c] = median(levels);
        // A difference of two pixels has twice a pixel's variance.
        const double spread = SpreadOfDeviations(std::move(steps));
        sky.variance[c] = float(0.5 * spread * spread);
    }
    if (across) sky.surface = SkySurface::Measure(width, height, value);
    return sky;
}

template <typename Count>
void ClippingStatistics::FitNoise(Count count_of) {
    const size_t height = count / 3 / width;
    // The channels share nothing: each is measured and fitted on its own.
    ForEachPiece(3, 1, [&](size_t c, size_t) {
        std::vector<NoiseModel::Sample> measured;
        std::vector<NoiseMap::Point> where;
        measured.reserve(grid.size() / 3);
        where.reserve(grid.size() / 3);
        // The grid holds its points in this loop's order, a channel's every third.
        for (size_t y = 0, g = c; y < height; y += step)
            for (size_t x = 0; x < width; x += step, g += 3) {
                const unsigned n = count_of(y * width + x);
                if (n < 2) continue;
                const double departure = double(grid[g].sum) / n;
                const double mean = grid[g].first + departure;
                const double variance = (grid[g].squares - grid[g].sum * departure) / (n - 1);
                measured.push_back({float(mean), float(variance > 0 ? variance : 0), n});
                where.push_back({uint32_t(x), uint32_t(y), 0});
            }
        models[c].Fit(measured, floor);
        for (size_t k = 0; k < where.size(); ++k)
            where[k].ratio = measured[k].variance / models[c].Variance(measured[k].level);
        maps[c].Fit(where, width, uint32_t(height));
    });
    // Each frame's sky noise against the frames' mean, which the model holds.
    extra_variance.assign(frame_variances.size(), {0, 0, 0});
    least_extra = {0, 0, 0};
    for (size_t id = 0; id < frame_variances.size(); ++id)
        for (unsigned c = 0; c < 3; ++c) {
            extra_variance[id][c] = frame_variances[id][c] - total_variance[c] / frames;
            least_extra[c] = std::min(least_extra[c], extra_variance[id][c]);
        }
}

template <typename Count>
void ClippingStatistics::ClippedMeans(Count count_of, RejectionTally& tally) {
    FillUnfolded();
    FitNoise(count_of);
    const size_t row_samples = size_t(width) * 3, rows = count / row_samples;
    const size_t rows_per_piece = std::max<size_t>(1, (size_t(1) << 16) / row_samples);
    std::vector<RejectionTally> tallies((rows + rows_per_piece - 1) / rows_per_piece);
    ForEachPiece(rows, rows_per_piece, [&](size_t first_row, size_t end_row) {
        // Counted here, not in the shared vector: neighbouring pieces' tallies
        // share a cache line, and the workers would take it from each other.
        RejectionTally t;
        RowScratch row;
        row.counts.resize(row_samples);
        for (size_t y = first_row; y < end_row; ++y) {
            for (size_t x = 0; x < width; ++x) {
                const unsigned values = count_of(y * width + x);
                t.values += 3 * values;
                row.counts[x * 3] = row.counts[x * 3 + 1] = row.counts[x * 3 + 2] = values;
            }
            FinishRow(y, row, t);
        }
        tallies[first_row / rows_per_piece] = t;
    });
    for (const RejectionTally& t : tallies) {
        tally.values += t.values;
        tally.high += t.high;
        tally.low += t.low;
        tally.at_limit += t.at_limit;
    }
    tally.normalisation = normalisation;
    const bool scaled = normalisation == Normalisation::kScale;
    tally.least = scaled ? least_level : least_shift;
    tally.most = scaled ? most_level : most_shift;
}

}  // namespace quen_merge
