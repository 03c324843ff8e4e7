// The Lanczos sampler against its unavoidable work: one kernel evaluation per
// distinct tap offset per axis, 12 per output pixel at radius 2.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "stack/sampler.h"

namespace {

constexpr int kPositions = 4096;

std::vector<float> Positions(unsigned seed, float lo, float hi) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(lo, hi);
    std::vector<float> v(kPositions);
    for (float& p : v) p = u(rng);
    return v;
}

// The floor: 6 column and 6 row weights per position, nothing else.
void BM_KernelCallsAlone(benchmark::State& state) {
    const auto xs = Positions(1, 10, 500), ys = Positions(2, 10, 300);
    size_t k = 0;
    for (auto _ : state) {
        const float x = xs[k % kPositions], y = ys[k % kPositions];
        double sum = 0;
        for (int i = int(std::floor(x - 2.0f)); i <= int(std::ceil(x + 2.0f)); ++i)
            sum += quen_merge::lanczos(double(x - float(i)), 2.0f);
        for (int j = int(std::floor(y - 2.0f)); j <= int(std::ceil(y + 2.0f)); ++j)
            sum += quen_merge::lanczos(double(y - float(j)), 2.0f);
        benchmark::DoNotOptimize(sum);
        ++k;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KernelCallsAlone);

// One whole sample of a 3-channel image, inside and at the border.
void BM_LanczosSample(benchmark::State& state) {
    FloatImage img(512, 320, 3);
    for (size_t i = 0; i < img.ElementCount(); ++i) img.data[i] = float(i % 977) / 977.0f;
    const bool border = state.range(0) != 0;
    const auto xs = Positions(1, border ? -1.5f : 10, border ? 1.5f : 500), ys = Positions(2, 10, 300);
    const quen_merge::LanczosSampler sampler(quen_merge::EdgeClamp, quen_merge::EdgeClamp, 2.0f);
    const float fill[3] = {0, 0, 0};
    float out[3];
    size_t k = 0;
    for (auto _ : state) {
        sampler.SampleImage(&img, xs[k % kPositions], ys[k % kPositions], fill, out);
        benchmark::DoNotOptimize(out[0]);
        ++k;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(border ? "border" : "inside");
}
BENCHMARK(BM_LanczosSample)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
