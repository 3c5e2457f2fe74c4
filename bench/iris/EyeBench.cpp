// Cost of one simulated iris camera frame (the renderer runs on every frame of both units) and
// of the per-frame quality measures on it.
#include <benchmark/benchmark.h>

#include <vector>

#include "irisalg/IrisAlg.h"
#include "sim/EyeRender.h"

namespace {

// args: width, blur sigma x 10
void RenderEye(benchmark::State& state) {
    sim::EyeSceneParams s;
    s.width = int(state.range(0));
    s.extraBlur = state.range(1) / 10.0;
    const auto texture = sim::MakeIrisTexture(s.subjectSeed, s.rightEye);
    uint32_t frame = 0;
    for (auto _ : state) {
        s.frameSeed = ++frame;
        benchmark::DoNotOptimize(sim::RenderEyeFrame(s, texture.get()).image.pixels.data());
    }
}
BENCHMARK(RenderEye)->Args({640, 0})->Args({640, 10})->Args({640, 40})->Args({752, 0})->Unit(benchmark::kMillisecond);

void IrisTexture(benchmark::State& state) {
    uint32_t seed = 0;
    for (auto _ : state) benchmark::DoNotOptimize(sim::MakeIrisTexture(++seed, false)->offset.data());
}
BENCHMARK(IrisTexture)->Unit(benchmark::kMillisecond);

// arg: quality measure
void QualityMeasure(benchmark::State& state) {
    const auto f = sim::RenderEyeFrame(sim::EyeSceneParams{});
    const auto& t = f.truth;
    const int32_t circle[6] = {int32_t(t.pupil.x), int32_t(t.pupil.y), int32_t(t.pupil.r),
                               int32_t(t.iris.x),  int32_t(t.iris.y),  int32_t(t.iris.r)};
    float score = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(irisalg::ComputeIrisQuality(f.image.pixels.data(), 480, 640, int(state.range(0)), circle,
                                                             &score, nullptr));
}
BENCHMARK(QualityMeasure)->Arg(0)->Arg(1)->Arg(6)->Arg(8)->Unit(benchmark::kMicrosecond);

}  // namespace
