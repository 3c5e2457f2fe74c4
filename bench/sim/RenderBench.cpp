// Frame rendering of the simulated scanners: tests and the demo render many frames, so a full
// 1600 x 1500 slap frame at 500 ppi should take well under 100 ms.
#include <benchmark/benchmark.h>

#include "sim/Render.h"

namespace {

sim::FingerScene Slap(int width, int height, double ppi) {
    sim::FingerScene s;
    s.platen.width = width;
    s.platen.height = height;
    s.platen.ppiX = s.platen.ppiY = ppi;
    s.layout = sim::FingerLayout::RightSlap;
    return s;
}

// The ridge patterns are grown once per finger and cached; this measures a frame of a hand
// already seen, as a stream renders it.
void BM_RenderSlap1600x1500(benchmark::State& state) {
    const sim::FingerScene s = Slap(1600, 1500, 500);
    sim::RenderFingers(s, 1);
    for (auto _ : state) benchmark::DoNotOptimize(sim::RenderFingers(s, 1).pixels.data());
}
BENCHMARK(BM_RenderSlap1600x1500)->Unit(benchmark::kMillisecond);

void BM_RenderPloverAFullFrame(benchmark::State& state) {
    sim::FingerScene s = Slap(2944, 1840, 850);
    s.platen.ppiY = 600;
    sim::RenderFingers(s, 1);
    for (auto _ : state) benchmark::DoNotOptimize(sim::RenderFingers(s, 1).pixels.data());
}
BENCHMARK(BM_RenderPloverAFullFrame)->Unit(benchmark::kMillisecond);

void BM_RenderEmptyPlaten1600x1500(benchmark::State& state) {
    sim::PlatenParams p;
    p.width = 1600;
    p.height = 1500;
    for (auto _ : state) benchmark::DoNotOptimize(sim::RenderPlaten(p, 1).pixels.data());
}
BENCHMARK(BM_RenderEmptyPlaten1600x1500)->Unit(benchmark::kMillisecond);

// A hand never seen before: four ridge patterns grown from scratch.
void BM_RenderNewHand(benchmark::State& state) {
    const sim::FingerScene s = Slap(1600, 1500, 500);
    uint32_t seed = 1000;
    for (auto _ : state) benchmark::DoNotOptimize(sim::RenderFingers(s, ++seed).pixels.data());
}
BENCHMARK(BM_RenderNewHand)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
