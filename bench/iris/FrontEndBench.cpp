// The capture library's iris front end per 640 x 480 frame on one core: the coarse pupil search,
// the whole location (pupil, boundary search, eyelids) and the quality analysis, against the
// camera's frame period of about 33 ms.
#include <benchmark/benchmark.h>

#include "iris/IrisAlg.h"
#include "sim/EyeRender.h"

namespace {

sim::EyeFrame Frame() {
    sim::EyeSceneParams s;
    s.subjectSeed = 7;
    return sim::RenderEyeFrame(s);
}

void FrontEndFindPupil(benchmark::State& state) {
    const sim::EyeFrame f = Frame();
    for (auto _ : state) {
        int32_t rec[irisfe::kPupilSearchWords] = {};
        rec[irisfe::kPupilMethod] = int32_t(state.range(0));
        rec[irisfe::kPupilDecimation] = 4;
        benchmark::DoNotOptimize(irisfe::IrisFE_FindPupil(f.image.pixels.data(), 640, 480, 16, 160, rec));
    }
}
BENCHMARK(FrontEndFindPupil)->Arg(2)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void FrontEndLocation(benchmark::State& state) {
    const sim::EyeFrame f = Frame();
    irisfe::IrisAlg_Init(nullptr, nullptr, nullptr, nullptr);
    for (auto _ : state) {
        IrisLocation loc{};
        benchmark::DoNotOptimize(irisfe::IrisAlg_Location(f.image.pixels.data(), 640, 480, &loc, nullptr, nullptr));
    }
    irisfe::IrisAlg_Destroy(0);
}
BENCHMARK(FrontEndLocation)->Unit(benchmark::kMillisecond);

void FrontEndQualityAnalysis(benchmark::State& state) {
    const sim::EyeFrame f = Frame();
    irisfe::IrisAlg_Init(nullptr, nullptr, nullptr, nullptr);
    const int32_t options[17] = {};
    for (auto _ : state) {
        IrisLocation loc{};
        IrisQualityRecord q{};
        benchmark::DoNotOptimize(
            irisfe::IrisAlg_QualityAnalysis(f.image.pixels.data(), 640, 480, options, &loc, &q, nullptr));
    }
    irisfe::IrisAlg_Destroy(0);
}
BENCHMARK(FrontEndQualityAnalysis)->Unit(benchmark::kMillisecond);

}  // namespace
