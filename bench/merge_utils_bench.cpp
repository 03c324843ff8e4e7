// Folding one 24-Mpixel frame into the mean and the maximum accumulators.
#include <benchmark/benchmark.h>

#include "merge_utils.h"

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

}  // namespace

BENCHMARK_MAIN();
