#include "stack/gap_free_trails.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "base/console.h"
#include "base/parallel.h"
#include "base/sample_format.h"
#include "stack/frame_loop.h"
#include "stack/ground_mask.h"
#include "stack/merge_utils.h"
#include "stars/star_detect.h"
#include "stars/star_match.h"

namespace quen_merge {

namespace {

constexpr size_t kLeastStars = 12;      // a frame with fewer leaves its gaps open
constexpr double kSweepStep = 0.5;      // px between the places an earlier frame is drawn at along the gap
constexpr uint32_t kFieldStep = 32;     // px between the nodes the sky's motion is worked out at
constexpr size_t kRowsPerPiece = 16;

// How far the sky moved from one frame to the next, at every pixel of the
// earlier one: worked out through the mapping at nodes of a coarse grid and
// interpolated between them (the motion of a sky is smooth).
class SkyMotionField {
public:
    SkyMotionField(const FrameMapping& mapping, uint32_t width, uint32_t height)
        : columns(width / kFieldStep + 2), rows(height / kFieldStep + 2), dx(columns * rows), dy(columns * rows) {
        for (uint32_t j = 0; j < rows; ++j)
            for (uint32_t i = 0; i < columns; ++i) {
                const double x = double(i) * kFieldStep, y = double(j) * kFieldStep;
                const Position moved = mapping.ToFrame(x, y);
                dx[j * columns + i] = moved.x - x;
                dy[j * columns + i] = moved.y - y;
            }
    }
    void At(uint32_t x, uint32_t y, double& vx, double& vy) const {
        const uint32_t i = x / kFieldStep, j = y / kFieldStep;
        const double u = double(x % kFieldStep) / kFieldStep, v = double(y % kFieldStep) / kFieldStep;
        const size_t n = size_t(j) * columns + i;
        vx = Blend(dx, n, u, v);
        vy = Blend(dy, n, u, v);
    }
    double Longest() const {
        double longest = 0;
        for (size_t n = 0; n < dx.size(); ++n) longest = std::max(longest, std::hypot(dx[n], dy[n]));
        return longest;
    }

private:
    double Blend(const std::vector<double>& f, size_t n, double u, double v) const {
        return (f[n] * (1 - u) + f[n + 1] * u) * (1 - v) + (f[n + columns] * (1 - u) + f[n + columns + 1] * u) * v;
    }
    size_t columns, rows;
    std::vector<double> dx, dy;
};

// The bilinear sample at (x, y); false outside the frame (and in a frame
// too narrow to sample between pixels).
bool Sample(const FloatImage& image, double x, double y, float out[kFrameChannels]) {
    if (image.width < 2 || image.height < 2) return false;
    if (x < 0 || y < 0 || x > double(image.width - 1) || y > double(image.height - 1)) return false;
    const uint32_t x0 = std::min(uint32_t(x), image.width - 2), y0 = std::min(uint32_t(y), image.height - 2);
    const float u = float(x - x0), v = float(y - y0);
    const float* a = image.Pixel(x0, y0);
    const float* b = image.Pixel(x0, y0 + 1);
    for (uint32_t c = 0; c < kFrameChannels; ++c) {
        const float top = a[c] + (a[c + kFrameChannels] - a[c]) * u;
        const float bottom = b[c] + (b[c + kFrameChannels] - b[c]) * u;
        out[c] = top + (bottom - top) * v;
    }
    return true;
}

float BrightnessAt(const float* p) { return p[0] + p[1] + p[2]; }

// The stacks a run of gap-free trails keeps.
struct Trails {
    std::unique_ptr<FloatImage> held;   // the plain maximum: the ground's
    std::unique_ptr<FloatImage> swept;  // with each gap drawn: the sky's
    // How much each pixel changed from frame to frame held still, and
    // moved along the sky: the ground's evidence and the sky's.
    std::vector<float> held_change, moved_change;
};

// Draws the earlier frame at the places the sky took it to between the two
// frames into the swept maximum, and counts how the later frame differs from
// it held still and moved.
void FillGap(const FloatImage& earlier, const FloatImage& later, const SkyMotionField& motion, Trails& trails) {
    const uint32_t width = earlier.width;
    ForEachPiece(earlier.height, kRowsPerPiece, [&](size_t begin, size_t end) {
        float sample[kFrameChannels];
        for (uint32_t y = uint32_t(begin); y < uint32_t(end); ++y)
            for (uint32_t x = 0; x < width; ++x) {
                double vx, vy;
                motion.At(x, y, vx, vy);
                float* swept = trails.swept->Pixel(x, y);
                const int steps = int(std::ceil(std::sqrt(vx * vx + vy * vy) / kSweepStep));
                for (int k = 1; k < steps; ++k) {
                    const double s = double(k) / steps;
                    if (!Sample(earlier, x - s * vx, y - s * vy, sample)) continue;
                    for (uint32_t c = 0; c < kFrameChannels; ++c) swept[c] = std::max(swept[c], sample[c]);
                }
                const size_t i = size_t(y) * width + x;
                const float now = BrightnessAt(later.Pixel(x, y));
                const float held = now - BrightnessAt(earlier.Pixel(x, y));
                trails.held_change[i] += held * held;
                if (Sample(earlier, x - vx, y - vy, sample)) {
                    const float moved = now - BrightnessAt(sample);
                    trails.moved_change[i] += moved * moved;
                }
            }
    });
}

// Fades what is there by keep, then keeps the larger of it and frame.
void FoldIn(FloatImage& trails, const FloatImage& frame, float keep) {
    float* t = trails.data;
    const float* f = frame.data;
    ForEachPiece(trails.ElementCount(), size_t(1) << 20, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) t[i] = std::max(t[i] * keep, f[i]);
    });
}

// The sky's motion from the earlier frame's stars to the later one's; false
// with the reason when it cannot be found.
bool SkyMotion(const std::vector<StarRef>& earlier, const std::vector<StarRef>& later, SkyHistory& history,
               FrameMapping& mapping, std::string& why) {
    if (earlier.size() < kLeastStars || later.size() < kLeastStars) {
        why = "too few stars to follow the sky";
        return false;
    }
    const TriangleMatcher reference(earlier);
    StarFit fit;
    if (!reference.Match(later, history, fit, why)) return false;
    mapping = fit.mapping;
    return true;
}

}  // namespace

bool MergeTrailsWithoutGaps(const std::vector<std::string>& files, const Calibration& calibration,
                            const TrailPlan& plan, std::unique_ptr<FloatImage>& result, StackHistory* history,
                            FrameScores* scores) {
    result.reset();
    if (files.empty()) return true;
    // Both maxima, the earlier frame and this one as floats, the changes and the star search.
    const unsigned bytes_per_pixel =
        4 * kFrameChannels * unsigned(sizeof(float)) + 2 * unsigned(sizeof(float)) + kDetectionBytesPerPixel;
    StackHistory record;
    FrameTally tally(files.size());
    Trails trails;
    std::unique_ptr<FloatImage> earlier;
    std::vector<StarRef> earlier_stars;
    std::unique_ptr<SkyHistory> sky;
    size_t gaps = 0, filled = 0;
    const float keep = float(plan.keep);
    ForEachFrame(files, calibration, bytes_per_pixel, tally, scores,
                 [&](size_t i, const std::string& name, const ImageData& frame, const MessageLog&) {
        const Image16* image = frame.Image();
        if (trails.held && (image->width != trails.held->width || image->height != trails.held->height)) {
            TellOtherSize(name, *image, trails.held->width, trails.held->height, tally);
            if (scores) scores->LeftOut(i, "another size than the first frame");
            return;
        }
        std::unique_ptr<FloatImage> now(ConvertFrame(image, calibration));
        std::vector<StarRef> stars;
        DetectStars(image, calibration, stars);
        if (scores) scores->Measure(i, frame, calibration, &stars), scores->Stacked(i);
        std::printf("Frame \"%s\" added.\n", name.c_str());
        record.Add(frame.Facts());
        if (!trails.held) {
            trails.held = std::make_unique<FloatImage>(*now);
            trails.swept = std::make_unique<FloatImage>(*now);
            const size_t pixels = size_t(image->width) * image->height;
            trails.held_change.assign(pixels, 0.0f);
            trails.moved_change.assign(pixels, 0.0f);
            sky = std::make_unique<SkyHistory>(image->width, image->height);
            tally.StackSize(image->width, image->height);
        } else {
            ++gaps;
            FrameMapping mapping;
            std::string why;
            if (SkyMotion(earlier_stars, stars, *sky, mapping, why)) {
                const SkyMotionField motion(mapping, image->width, image->height);
                FillGap(*earlier, *now, motion, trails);
                ++filled;
                std::printf("Gap before \"%s\" filled along the sky's motion, %.1f px at most\n", name.c_str(),
                            motion.Longest());
            } else {
                std::printf("Gap before \"%s\" left open: %s\n", name.c_str(), why.c_str());
                std::fflush(stdout);
                Warn("the gap before frame \"%s\" is left open: %s", name.c_str(), why.c_str());
            }
            FoldIn(*trails.held, *now, keep);
            FoldIn(*trails.swept, *now, keep);
        }
        earlier = std::move(now);
        earlier_stars = std::move(stars);
    });
    std::puts("Post processing");
    if (!trails.held) return true;
    std::printf("%zu of %zu gaps filled\n", filled, gaps);
    tally.Report(record.frames);
    if (history) *history = record;
    const uint32_t width = trails.held->width, height = trails.held->height;
    std::unique_ptr<FloatImage> mask;
    if (!plan.ground_mask.empty()) {
        mask = UsersGroundMask(plan.ground_mask, width, height);
        if (!mask) return false;
    } else if (filled > 0) {
        // What changes when moved along the sky is the ground; held still, the sky.
        mask = GroundFromEvidence(trails.moved_change, trails.held_change, Brightness(*trails.held), width, height);
    }
    if (mask) KeepGround(*mask, *trails.held, *trails.swept);
    result = std::move(trails.swept);
    return true;
}

}  // namespace quen_merge
