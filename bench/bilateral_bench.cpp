// The tiled bilateral filter on a 12-Mpixel 3-channel image; the cost per
// pixel must not grow with the radius.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "lib/bilateral.h"
#include "quiet_stdout.h"

namespace {

void BM_BilateralFilter(benchmark::State& state) {
    const unsigned width = 4000, height = 3000;
    ostrel::image<unsigned char> img(width, height, 3);
    std::mt19937 rng(6);
    for (size_t i = 0; i < img.ElementCount(); ++i) img.data[i] = (unsigned char)(rng() % 64 + (i / 3 % width < 2000 ? 40 : 150));
    const unsigned radius = unsigned(state.range(0));
    const QuietStdout quiet;
    for (auto _ : state) {
        std::unique_ptr<ostrel::image<unsigned char>> out(quen_merge::BilateralFilter(radius, 40, 128, true, &img));
        benchmark::DoNotOptimize(out->data);
    }
    state.SetItemsProcessed(state.iterations() * width * height);
}
BENCHMARK(BM_BilateralFilter)->Arg(2)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
