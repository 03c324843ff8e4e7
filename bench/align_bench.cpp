// Star detection on a 24-Mpixel frame (both detectors), the box passes at
// several radii, the k-d tree over 2,000 stars, and both matchers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include "stars/align_internal.h"
#include "quiet_stdout.h"
#include "base/rigid_transform.h"
#include "stars/star_detect.h"
#include "stars/star_match.h"

namespace {

constexpr unsigned kWidth = 6000, kHeight = 4000;


// A sky of 2000 ADU with Gaussian stars, in all three channels.
const Image16& StarFrame() {
    static Image16* frame = [] {
        Image16* f = new Image16(kWidth, kHeight, 3);
        std::mt19937 rng(1);
        std::normal_distribution<double> noise(0, 40);
        for (size_t i = 0; i < f->ElementCount(); ++i) f->data[i] = (unsigned short)(2000 + noise(rng));
        std::uniform_real_distribution<double> ux(10, kWidth - 10), uy(10, kHeight - 10), peak(8000, 60000);
        for (int s = 0; s < 3000; ++s) {
            const double cx = ux(rng), cy = uy(rng), a = peak(rng);
            for (int y = int(cy) - 5; y <= int(cy) + 5; ++y)
                for (int x = int(cx) - 5; x <= int(cx) + 5; ++x) {
                    const double v = a * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / 4.5);
                    for (int c = 0; c < 3; ++c) {
                        unsigned short& p = f->Pixel(x, y)[c];
                        p = (unsigned short)std::min(65535.0, p + v);
                    }
                }
        }
        return f;
    }();
    return *frame;
}

void BM_FindStars(benchmark::State& state) {
    const Image16& frame = StarFrame();
    size_t found = 0;
    const QuietStdout quiet;
    for (auto _ : state) {
        std::vector<quen_merge::StarRef> stars;
        quen_merge::FindStars(&frame, stars);
        found = stars.size();
    }
    state.counters["stars"] = double(found);
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_FindStars)->Unit(benchmark::kMillisecond)->Iterations(3);

// The detector of -t s on the same frame: measured background and noise,
// windowed centroids.
void BM_DetectStars(benchmark::State& state) {
    const Image16& frame = StarFrame();
    size_t found = 0;
    for (auto _ : state) {
        std::vector<quen_merge::StarRef> stars;
        quen_merge::DetectStars(&frame, nullptr, stars);
        found = stars.size();
    }
    state.counters["stars"] = double(found);
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_DetectStars)->Unit(benchmark::kMillisecond)->Iterations(3);

// The cost per pixel must not depend on the radius.
void BM_BoxPass(benchmark::State& state) {
    ostrel::image<unsigned char> src(kWidth, kHeight, 1), dst(kWidth, kHeight, 1);
    for (size_t i = 0; i < src.ElementCount(); ++i) src.data[i] = (unsigned char)(i * 31);
    const unsigned radius = unsigned(state.range(1));
    for (auto _ : state) {
        if (state.range(0) == 0)
            BlurHorizontal(&src, &dst, radius);
        else
            BlurVertical(&src, &dst, radius);
        benchmark::DoNotOptimize(dst.data);
    }
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
    state.SetLabel(state.range(0) == 0 ? "horizontal" : "vertical");
}
BENCHMARK(BM_BoxPass)->ArgsProduct({{0, 1}, {1, 10, 100}})->Unit(benchmark::kMillisecond);

std::vector<quen_merge::StarPoint> RandomStars(size_t n) {
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> ux(0, kWidth), uy(0, kHeight);
    std::vector<quen_merge::StarPoint> points(n);
    for (auto& p : points) p = {{ux(rng), uy(rng)}};
    return points;
}

void BM_TreeBuild(benchmark::State& state) {
    const auto points = RandomStars(2000);
    for (auto _ : state) {
        quen_merge::StarTree tree(points);
        benchmark::DoNotOptimize(tree.nodes.data());
    }
}
BENCHMARK(BM_TreeBuild)->Unit(benchmark::kMicrosecond);

void BM_FiveNearest(benchmark::State& state) {
    const auto points = RandomStars(2000);
    const quen_merge::StarTree tree(points);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tree.FindKNearest(points[i], 5));
        i = (i + 1) % points.size();
    }
}
BENCHMARK(BM_FiveNearest);

void BM_PatternNodes(benchmark::State& state) {
    const auto points = RandomStars(2000);
    const quen_merge::StarTree tree(points);
    for (auto _ : state) {
        std::vector<quen_merge::PatternNode> out;
        quen_merge::GeneratePatternNodes(points, &tree, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_PatternNodes)->Unit(benchmark::kMicrosecond);

// One frame's fit: 300 reference stars against the same field rotated by
// 1.5 degrees and shifted, with a tenth of its stars out of place.
void BM_FitStars(benchmark::State& state) {
    const auto reference = RandomStars(300);
    std::vector<quen_merge::StarPoint> frame;
    const double a = 1.5 / 57.2957795131, c = std::cos(a), s = std::sin(a);
    for (size_t i = 0; i < reference.size(); ++i) {
        const auto& p = reference[i];
        frame.push_back(i % 10 == 0 ? quen_merge::StarPoint{{p[0] + 37, p[1] - 11}}
                                    : quen_merge::StarPoint{{c * p[0] + s * p[1] - 40, -s * p[0] + c * p[1] + 25}});
    }
    const quen_merge::StarReference star_reference(reference);
    double params[3];
    bool fitted = false;
    {
        const QuietStdout quiet;
        for (auto _ : state) {
            fitted = star_reference.Fit(frame, params);
            benchmark::DoNotOptimize(fitted);
        }
    }
    state.counters["fitted"] = fitted;
}
BENCHMARK(BM_FitStars)->Unit(benchmark::kMillisecond);

// The triangle matcher of -t s: 500 reference stars against the same field
// turned by 150 degrees and shifted, a fifth of its stars replaced.
void BM_TriangleMatch(benchmark::State& state) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> ux(0, kWidth), uy(0, kHeight), flux(1e3, 1e6);
    std::vector<quen_merge::StarRef> reference(500), frame;
    for (auto& s : reference) s = {ux(rng), uy(rng), flux(rng), 20};
    std::sort(reference.begin(), reference.end(), [](const auto& a, const auto& b) { return a.brightness > b.brightness; });
    const quen_merge::Rotation turn = quen_merge::RotationOf(150);
    for (size_t i = 0; i < reference.size(); ++i) {
        const quen_merge::StarRef& s = reference[i];
        const quen_merge::Position p = quen_merge::ToFrame(turn, 7000, 3000, s.x, s.y);
        frame.push_back(i % 5 == 4 ? quen_merge::StarRef{ux(rng), uy(rng), s.brightness, 20}
                                   : quen_merge::StarRef{p.x, p.y, s.brightness, 20});
    }
    const quen_merge::TriangleMatcher matcher(reference);
    quen_merge::SkyHistory history(4000, 4000);
    quen_merge::StarFit fit;
    std::string why;
    bool matched = false;
    for (auto _ : state) {
        matched = matcher.Match(frame, history, fit, why);
        benchmark::DoNotOptimize(matched);
    }
    state.counters["matched"] = matched;
    state.counters["inliers"] = double(fit.inliers);
}
BENCHMARK(BM_TriangleMatch)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
