// Folding one 24-Mpixel frame into the mean and the maximum accumulators.
#include <benchmark/benchmark.h>

#include "stack/merge_utils.h"
#include "quiet_stdout.h"

namespace {

constexpr unsigned kWidth = 6000, kHeight = 4000;

Image16* MakeFrame() {
    Image16* frame = new Image16(kWidth, kHeight, 3);
    for (size_t i = 0; i < frame->ElementCount(); ++i) frame->data[i] = (unsigned short)(i * 2654435761u);
    return frame;
}

template <typename Accumulator>
void BM_AddFrame(benchmark::State& state) {
    Image16* frame = MakeFrame();
    FloatImage dark(kWidth, kHeight, 3);
    Accumulator merge(state.range(0) ? &dark : nullptr);
    merge.AddFrame(frame);
    for (auto _ : state) benchmark::DoNotOptimize(merge.AddFrame(frame));
    state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
    delete frame;
}

BENCHMARK_TEMPLATE(BM_AddFrame, quen_merge::Average)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_AddFrame, quen_merge::Lighten)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Remapping one 24-Mpixel frame onto the reference grid with a small rotation:
// a Lanczos sample of up to 36 taps per output pixel.
void BM_RemapFrame(benchmark::State& state) {
    Image16* frame = MakeFrame();
    quen_merge::AverageAlign merge(nullptr, frame);
    const QuietStdout quiet;
    for (auto _ : state) merge.AddFrame(frame, 0.3, 12.25, -7.5);
    state.counters["ns_per_pixel"] = benchmark::Counter(
        double(state.iterations()) * kWidth * kHeight * 1e-9,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    delete frame;
}
BENCHMARK(BM_RemapFrame)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
