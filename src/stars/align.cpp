#include "stars/align_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "stars/fit.h"
#include "base/message_log.h"
#include "base/rigid_transform.h"
#include "base/sample_format.h"

namespace {

using GreyImage = ostrel::image<unsigned char>;

// Three 16-bit channels summed and divided by this give one 8-bit grey value.
constexpr unsigned kGreyDivisor = 768;
// The background is a 201-pixel box mean: far wider than any star, so a star
// barely lifts its own background.
constexpr unsigned kBackgroundRadius = 100;
constexpr unsigned long kBackgroundPasses = 1;
constexpr uint32_t kStripColumns = 64;  // columns blurred at once in place: a strip's copy stays in the cache
// A region starts at a grey value above this, well clear of the sky's noise...
constexpr unsigned char kStarStart = 30;
// ...and takes in the connected pixels of at least this value around it.
constexpr unsigned char kRegionFloor = 16;
// Fewer pixels are noise or hot pixels; more are planets, the moon or glow.
constexpr unsigned long kMinRegionPixels = 11;
constexpr unsigned long kMaxRegionPixels = 399;
constexpr double kBrightnessScale = 255.0;          // brightness in units of one full pixel
constexpr size_t kPatternNeighbours = 5;            // the star itself and four neighbours
// Descriptors of the same star in two frames differ by little more than the
// centroids' noise; 0.1 rad apart they describe different constellations.
constexpr double kMaxPatternDistance = 0.1;
// Below this many matches a consensus cannot reach kMinConsensus with a margin.
constexpr size_t kMinMatches = 7;
// The fewest inliers that make a fit trustworthy.
constexpr size_t kMinConsensus = 9;
// The RANSAC fit of a rotation and translation to the matches: three
// parameters, five matches a sample (two would fix them, five average noise),
// 5000 samples (enough to draw an all-inlier sample with a third of the
// matches right).
constexpr size_t kTransformParams = 3;
constexpr size_t kSampleMatches = 5;
constexpr size_t kSamples = 5000;
// A sample fit stops at a mean squared residual of a tenth of a pixel, when
// the error stops changing, or after kFitIterations steps.
constexpr double kTargetError = 0.01;               // px^2
constexpr double kMinimumChange = 1e-6;
constexpr double kFitIterations = 20000.0;
// A match is an inlier when its star lands within 3 px (squared: 9).
constexpr double kInlierThreshold = 9.0;

using quen_merge::StarMatch;

// Box means along one row of n samples. Where the row is longer than the
// window, the inner samples are read directly and only the borders through
// the mirror rule.
void BoxRow(const unsigned char* src, unsigned char* dst, uint32_t n, uint32_t radius) {
    const uint32_t window = 2 * radius + 1;
    auto at = [&](int64_t i) { return src[ostrel::Reflect(i, n)]; };
    uint32_t sum = 0;
    for (int64_t c = -int64_t(radius); c <= int64_t(radius); ++c) sum += at(c);
    const bool direct = n > window;
    // Outputs [inner_begin, inner_end) update their window from inside the row.
    const uint32_t inner_begin = direct ? radius : n;
    const uint32_t inner_end = direct ? n - radius - 1 : n;
    uint32_t x = 0;
    for (; x < inner_begin; ++x) {
        dst[x] = (unsigned char)(sum / window);
        sum += at(int64_t(x) + radius + 1) - at(int64_t(x) - radius);
    }
    for (; x < inner_end; ++x) {
        dst[x] = (unsigned char)(sum / window);
        sum += src[x + radius + 1] - src[x - radius];
    }
    for (; x < n; ++x) {
        dst[x] = (unsigned char)(sum / window);
        sum += at(int64_t(x) + radius + 1) - at(int64_t(x) - radius);
    }
}

// A calibrated sample back in 16-bit units, clamped to their range.
unsigned ClampedSample(float calibrated) {
    const float v = calibrated * quen_merge::kFloatToSample;
    return v <= 0.0f ? 0u : v >= 65535.0f ? 65535u : unsigned(v);
}

GreyImage* EightBitGreyOf(const Image16* frame, const quen_merge::SampleCalibration& calibration) {
    GreyImage* grey = new GreyImage(frame->width, frame->height, 1);
    const unsigned short* src = frame->data;
    const size_t pixels = size_t(frame->width) * frame->height;
    if (calibration.gain) {
        quen_merge::WithCalibrationFormula(calibration, [&](auto calibrate) {
            for (size_t i = 0, at = 0; i < pixels; ++i, at += 3)
                grey->data[i] = (unsigned char)((ClampedSample(calibrate(src[at], at)) +
                                                 ClampedSample(calibrate(src[at + 1], at + 1)) +
                                                 ClampedSample(calibrate(src[at + 2], at + 2))) /
                                                kGreyDivisor);
        });
        return grey;
    }
    for (size_t i = 0; i < pixels; ++i, src += 3)
        grey->data[i] = (unsigned char)((unsigned(src[0]) + src[1] + src[2]) / kGreyDivisor);
    return grey;
}

void SubtractBlurredBackground(GreyImage* grey, const GreyImage* background) {
    const size_t pixels = grey->ElementCount();
    for (size_t i = 0; i < pixels; ++i) {
        const unsigned char b = background->data[i];
        grey->data[i] = b <= grey->data[i] ? grey->data[i] - b : 0;
    }
}

void ScanForStars(GreyImage* grey, std::vector<quen_merge::StarRef>& stars) {
    for (uint32_t y = 0; y < grey->height; ++y) {
        for (uint32_t x = 0; x < grey->width; ++x) {
            if (grey->data[size_t(y) * grey->width + x] <= kStarStart) continue;
            double cx, cy, total;
            unsigned long count;
            CollectAndZeroRegion(grey, x, y, cx, cy, total, count);
            if (count >= kMinRegionPixels && count <= kMaxRegionPixels)
                stars.push_back({cx, cy, total / kBrightnessScale, count});
        }
    }
}

// Unit vector from q towards p.
std::pair<double, double> Direction(const quen_merge::StarPoint& q, const quen_merge::StarPoint& p) {
    const double dx = p[0] - q[0], dy = p[1] - q[1];
    const double len = std::sqrt(dx * dx + dy * dy);
    return {dx / len, dy / len};
}

// Pairs every frame descriptor with its nearest reference descriptor when
// they lie closer than kMaxPatternDistance.
std::vector<StarMatch> MatchPatterns(const quen_merge::PatternTree& ref_pattern_tree,
                                 const std::vector<quen_merge::StarPoint>& ref_stars,
                                 const std::vector<quen_merge::StarPoint>& frame_stars,
                                 const std::vector<quen_merge::PatternNode>& patterns) {
    std::vector<StarMatch> matches;
    for (size_t p = 0; p < patterns.size(); ++p) {
        unsigned long index;
        double distance;
        if (ref_pattern_tree.FindNearest(patterns[p], index, distance) &&
            distance < kMaxPatternDistance && index < ref_stars.size())
            matches.emplace_back(frame_stars[p], ref_stars[index]);
    }
    return matches;
}

}  // namespace

double RansacError(const void* data, const size_t* indices, size_t index_count,
                   const double* params, size_t /*param_count*/) {
    if (!params || !data) return 0.0;
    const auto& matches = *static_cast<const std::vector<quen_merge::StarMatch>*>(data);
    // The consensus of a trial asks match by match with one angle: its
    // rotation is worked out once (the same bits as every time).
    thread_local bool known = false;
    thread_local uint64_t known_angle_bits;
    thread_local quen_merge::Rotation rotation;
    uint64_t angle_bits;
    std::memcpy(&angle_bits, &params[0], sizeof angle_bits);
    if (!known || angle_bits != known_angle_bits) {
        rotation = quen_merge::RotationOf(params[0]);
        known_angle_bits = angle_bits;
        known = true;
    }
    double sum = 0;
    for (size_t n = 0; n < index_count; ++n) {
        const quen_merge::StarPoint& f = matches[indices[n]].first;
        const quen_merge::StarPoint& r = matches[indices[n]].second;
        const quen_merge::Position moved = quen_merge::ToReference(rotation, params[1], params[2], f[0], f[1]);
        const double dx = moved.x - r[0];
        const double dy = moved.y - r[1];
        sum += dx * dx + dy * dy;
    }
    return sum / double(index_count);
}

void BlurHorizontal(const GreyImage* src, GreyImage* dst, unsigned int radius) {
    for (uint32_t y = 0; y < src->height; ++y)
        BoxRow(src->Pixel(0, y), dst->Pixel(0, y), src->width, radius);
}

void BlurVertical(const GreyImage* src, GreyImage* dst, unsigned int radius) {
    // All columns advance together, row by row, so that every access walks a
    // contiguous row; the values are those of one line pass per column.
    const uint32_t width = src->width, height = src->height;
    const uint32_t window = 2 * radius + 1;
    std::vector<uint32_t> sums(width, 0);
    for (int64_t c = -int64_t(radius); c <= int64_t(radius); ++c) {
        const unsigned char* row = src->Pixel(0, ostrel::Reflect(c, height));
        for (uint32_t x = 0; x < width; ++x) sums[x] += row[x];
    }
    for (uint32_t y = 0; y < height; ++y) {
        unsigned char* out = dst->Pixel(0, y);
        for (uint32_t x = 0; x < width; ++x) out[x] = (unsigned char)(sums[x] / window);
        if (y + 1 == height) break;
        const unsigned char* enter = src->Pixel(0, ostrel::Reflect(int64_t(y) + radius + 1, height));
        const unsigned char* leave = src->Pixel(0, ostrel::Reflect(int64_t(y) - radius, height));
        for (uint32_t x = 0; x < width; ++x) sums[x] += enter[x] - leave[x];
    }
}

// BlurImage's passes done in image itself: rows through one row's copy,
// columns in strips of kStripColumns through a strip's copy. Each row and
// each column is blurred on its own, so the values are BlurImage's, with one
// grey image less in memory while the next frame's stars are found beside
// the stack.
void BlurInPlace(GreyImage* image, unsigned int radius, unsigned long passes) {
    const uint32_t width = image->width, height = image->height;
    std::vector<unsigned char> row(width);
    for (unsigned long i = 0; i < passes; ++i)
        for (uint32_t y = 0; y < height; ++y) {
            std::copy_n(image->Pixel(0, y), width, row.begin());
            BoxRow(row.data(), image->Pixel(0, y), width, radius);
        }
    for (uint32_t x0 = 0; x0 < width; x0 += kStripColumns) {
        const uint32_t columns = std::min(kStripColumns, width - x0);
        GreyImage strip(columns, height, 1, ostrel::uninitialised), blurred(columns, height, 1, ostrel::uninitialised);
        for (uint32_t y = 0; y < height; ++y) std::copy_n(image->Pixel(x0, y), columns, strip.Pixel(0, y));
        for (unsigned long i = 0; i < passes; ++i) {
            BlurVertical(&strip, &blurred, radius);
            std::swap(strip.data, blurred.data);
        }
        for (uint32_t y = 0; y < height; ++y) std::copy_n(strip.Pixel(0, y), columns, image->Pixel(x0, y));
    }
}

GreyImage* BlurImage(GreyImage* src, unsigned int radius, unsigned long passes) {
    GreyImage* a = new GreyImage(*src);
    GreyImage* b = new GreyImage(*src);
    for (unsigned long i = 0; i < passes; ++i) {
        BlurHorizontal(a, b, radius);
        std::swap(a, b);
    }
    for (unsigned long i = 0; i < passes; ++i) {
        BlurVertical(a, b, radius);
        std::swap(a, b);
    }
    delete b;
    return a;  // the image written last
}

void _CollectAndZeroRegion(GreyImage* img, unsigned int x, unsigned int y, bool weighted,
                           double& sx, double& sy, double& sw, unsigned long& count) {
    // Breadth first: new entries at the front, the next taken from the back.
    std::deque<std::pair<uint32_t, uint32_t>> queue;
    queue.emplace_front(x, y);
    const uint32_t width = img->width, height = img->height;
    while (!queue.empty()) {
        const auto [px, py] = queue.back();
        queue.pop_back();
        if (px >= width || py >= height) continue;
        unsigned char* value = img->data + size_t(py) * width + px;
        if (*value < kRegionFloor) continue;  // also a pixel queued twice
        const double w = weighted ? *value : 1.0;
        count += 1;
        sx += px * w;
        sy += py * w;
        sw += w;
        *value = 0;
        if (px > 0 && value[-1] >= kRegionFloor) queue.emplace_front(px - 1, py);
        if (py > 0 && value[-ptrdiff_t(width)] >= kRegionFloor) queue.emplace_front(px, py - 1);
        if (px + 1 < width && value[1] >= kRegionFloor) queue.emplace_front(px + 1, py);
        if (py + 1 < height && value[width] >= kRegionFloor) queue.emplace_front(px, py + 1);
    }
}

void CollectAndZeroRegion(GreyImage* img, unsigned int x, unsigned int y, double& cx, double& cy,
                          double& total, unsigned long& count) {
    cx = cy = total = 0;
    count = 0;
    if (!img) return;
    _CollectAndZeroRegion(img, x, y, true, cx, cy, total, count);
    cx /= total;
    cy /= total;
}

namespace quen_merge {

void FindStars(const Image16* frame, std::vector<StarRef>& stars) {
    MessageLog now(true);
    FindStars(frame, stars, now);
}

void FindStars(const Image16* frame, std::vector<StarRef>& stars, MessageLog& log) {
    FindStars(frame, Calibration(), stars, log);
}

void FindStars(const Image16* frame, const Calibration& calibration, std::vector<StarRef>& stars, MessageLog& log) {
    if (!frame || frame->width == 0 || frame->height == 0 || !frame->data) return;
    SampleCalibration samples = calibration.For(frame);
    // A dark alone hardly moves a star: the search sees the frame as loaded.
    if (!samples.gain) samples = SampleCalibration();
    std::unique_ptr<GreyImage> grey(EightBitGreyOf(frame, samples));
    log.Say(Stream::kOut, "Blur\n");
    {
        GreyImage background(*grey);
        BlurInPlace(&background, kBackgroundRadius, kBackgroundPasses);
        SubtractBlurredBackground(grey.get(), &background);
    }
    log.Say(Stream::kOut, "Scan for stars\n");
    ScanForStars(grey.get(), stars);
}

PatternNode GeneratePatternNode(const std::vector<StarPoint>& points, const StarTree* tree,
                                unsigned long index) {
    PatternNode result{};
    if (!tree || points.empty() || tree->empty()) return result;
    const StarPoint& q = points[index];
    const std::vector<unsigned long> nearest = tree->FindKNearest(q, kPatternNeighbours);
    if (nearest.size() != kPatternNeighbours) return result;
    std::pair<double, double> u[4];
    for (size_t j = 1; j < kPatternNeighbours; ++j) u[j - 1] = Direction(q, points[nearest[j]]);
    static constexpr int kPairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    for (size_t c = 0; c < 6; ++c) {
        const auto& a = u[kPairs[c][0]];
        const auto& b = u[kPairs[c][1]];
        result[c] = std::acos(a.first * b.first + a.second * b.second);
    }
    return result;
}

void GeneratePatternNodes(const std::vector<StarPoint>& points, const StarTree* tree,
                          std::vector<PatternNode>& out) {
    if (!tree || points.empty()) return;
    out.reserve(out.size() + points.size());
    for (unsigned long i = 0; i < points.size(); ++i)
        out.push_back(GeneratePatternNode(points, tree, i));
}

bool FitStars(const PatternTree* ref_pattern_tree, const std::vector<PatternNode>& /*ref_patterns*/,
              const StarTree* ref_star_tree, const std::vector<StarPoint>& ref_stars,
              const std::vector<StarPoint>& frame_stars, double* params) {
    if (!ref_star_tree || !ref_pattern_tree || ref_stars.empty() || frame_stars.empty() || !params)
        return false;
    params[0] = params[1] = params[2] = 0.0;
    std::vector<PatternNode> patterns;
    {
        const StarTree frame_tree(frame_stars);
        GeneratePatternNodes(frame_stars, &frame_tree, patterns);
    }
    if (patterns.empty()) return false;
    const std::vector<StarMatch> matches = MatchPatterns(*ref_pattern_tree, ref_stars, frame_stars, patterns);
    const size_t n = matches.size();
    if (n < kMinMatches) return false;
    std::printf("Attempting to fit transform to %li matches\n", long(n));
    const size_t k = fit_ransac(RansacError, &matches, n, params, kTransformParams, kSampleMatches,
                                kSamples, kTargetError, kMinimumChange, kFitIterations,
                                kInlierThreshold);
    if (2 * k <= n || k < kMinConsensus) {
        std::puts("Unable to fit image");
        return false;
    }
    std::printf("Fitted %li points\n", long(k));
    return true;
}

StarTree* CreateKDTree(const std::vector<StarRef>& stars) { return new StarTree(StarPositions(stars)); }

StarReference::StarReference(std::vector<StarPoint> points)
    : stars(std::move(points)), star_tree(stars) {
    GeneratePatternNodes(stars, &star_tree, patterns);
    pattern_tree.reset(new PatternTree(patterns));
}

bool StarReference::Fit(const std::vector<StarPoint>& frame_stars, double* params) const {
    return FitStars(pattern_tree.get(), patterns, &star_tree, stars, frame_stars, params);
}

}  // namespace quen_merge
