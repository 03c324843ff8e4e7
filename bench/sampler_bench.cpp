// The Lanczos sampler against its unavoidable work: one kernel evaluation per
// distinct tap offset per axis, 12 per output pixel at radius 2.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "base/frame_mapping.h"
#include "stack/row_resampler.h"
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

// Whole rows of a 16-bit frame resampled on one core, as an aligned stack does
// (a grid turned 0.3 degrees and shifted); args: with masters (offset and gain),
// the separable float arithmetic of -t s.
void BM_RowResampler(benchmark::State& state) {
    constexpr uint32_t kWidth = 3000, kRows = 64;
    Image16 frame(kWidth, kRows + 200, 3);
    for (size_t i = 0; i < frame.ElementCount(); ++i) frame.data[i] = (unsigned short)(i * 2654435761u);
    FloatImage offset(kWidth, kRows + 200, 3), gain(kWidth, kRows + 200, 3);
    for (size_t i = 0; i < gain.ElementCount(); ++i) {
        offset.data[i] = 0.01f;
        gain.data[i] = 1.05f;
    }
    const bool masters = state.range(0) != 0;
    const quen_merge::SampleCalibration calibration =
        masters ? quen_merge::SampleCalibration{offset.data, gain.data} : quen_merge::SampleCalibration{};
    const quen_merge::FrameMapping mapping = quen_merge::FrameMapping::Rigid(0.3, 1.25, -3.5);
    std::vector<quen_merge::Position> positions(size_t(kWidth) * kRows);
    for (uint32_t y = 0; y < kRows; ++y)
        for (uint32_t x = 0; x < kWidth; ++x) positions[size_t(y) * kWidth + x] = mapping.ToFrame(x, y + 150);
    std::vector<float> out(size_t(kWidth) * 3);
    const quen_merge::ResamplingArithmetic arithmetic = state.range(1) != 0
                                                            ? quen_merge::ResamplingArithmetic::kSeparableFloat
                                                            : quen_merge::ResamplingArithmetic::kRoundedPerTap;
    const quen_merge::RowResampler resampler(frame, calibration, arithmetic);
    for (auto _ : state) {
        for (uint32_t y = 0; y < kRows; ++y) resampler.Resample(&positions[size_t(y) * kWidth], kWidth, out.data());
        benchmark::DoNotOptimize(out[0]);
    }
    state.counters["ns_per_sample"] = benchmark::Counter(double(state.iterations()) * kWidth * kRows * 3 * 1e-9,
                                                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel(std::string(state.range(1) ? "separable float" : "rounded per tap") +
                   (masters ? ", with masters" : ", as loaded"));
}
BENCHMARK(BM_RowResampler)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
