// Eye detection time per 640 x 480 frame with the trained tables, one core: the capture library's
// eye-region detector (working width 192) and side-landmark search, and the algorithm library's
// eye detector.
#include <benchmark/benchmark.h>

#include "iris/EyeCascade.h"
#include "irisalg/EyeCascadeTable.h"
#include "irisalg/EyeDetector.h"
#include "sim/EyeRender.h"

namespace {

sim::EyeFrame Frame(bool eye) {
    sim::EyeSceneParams s;
    s.subjectSeed = 7;
    s.eyePresent = eye;
    return sim::RenderEyeFrame(s);
}

void CaptureEyeDetect(benchmark::State& state) {
    const sim::EyeFrame f = Frame(state.range(0) != 0);
    irisfe::IrisOtaCascade* c = nullptr;
    irisfe::IRIS_OTA_LoadCascade(&c, irisalg::cascade::kEyeTable2, irisfe::kOtaScales, nullptr);
    irisfe::IRIS_OTA_DetImgInfo info{};
    int32_t box[4];
    for (auto _ : state)
        benchmark::DoNotOptimize(irisfe::IRIS_OTA_Detect(c, &info, f.image.pixels.data(), 640, 480, 8, 6, 2, box, 0, nullptr));
    irisfe::IRIS_OTA_FreeDetImgInfo(&info);
    irisfe::IRIS_OTA_FreeCascade(c);
}
BENCHMARK(CaptureEyeDetect)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void CaptureSideLandmarks(benchmark::State& state) {
    const sim::EyeFrame f = Frame(true);
    irisfe::IrisOtaCascade* c = nullptr;
    irisfe::IRIS_OTA_LoadCascade(&c, irisalg::cascade::kSideTable, irisfe::kOtaScales, nullptr);
    const int32_t circle[3] = {int32_t(f.truth.iris.x), int32_t(f.truth.iris.y), int32_t(f.truth.iris.r)};
    for (auto _ : state) {
        irisfe::IRIS_OTA_DetImgInfo info{};
        irisfe::IRIS_OTA_SideRecord rec{};
        benchmark::DoNotOptimize(irisfe::IRIS_OTA_SideLandmarks(c, &info, f.image.pixels.data(), 640, 480, 8, circle, &rec, 0, nullptr));
        irisfe::IRIS_OTA_FreeDetImgInfo(&info);
    }
    irisfe::IRIS_OTA_FreeCascade(c);
}
BENCHMARK(CaptureSideLandmarks)->Unit(benchmark::kMillisecond);

// args: eye present, table (1 or 2)
void AlgorithmEyeDetect(benchmark::State& state) {
    const sim::EyeFrame f = Frame(state.range(0) != 0);
    irisalg::DetectorContext* ctx = nullptr;
    const int32_t options[1] = {state.range(1) == 1};
    irisalg::DetectorCreate(options, &ctx);
    irisalg::EyeRegionResult r{};
    for (auto _ : state)
        benchmark::DoNotOptimize(irisalg::DetectEyeRegion(ctx, f.image.pixels.data(), 640, 480, 8, 6, 1, &r, 0, 0));
    irisalg::DetectorDestroy(ctx);
}
BENCHMARK(AlgorithmEyeDetect)->Args({1, 2})->Args({0, 2})->Args({1, 1})->Unit(benchmark::kMillisecond);

void AlgorithmSideCheck(benchmark::State& state) {
    const sim::EyeFrame f = Frame(true);
    irisalg::DetectorContext* ctx = nullptr;
    irisalg::DetectorCreate(nullptr, &ctx);
    const int32_t circle[3] = {int32_t(f.truth.iris.x), int32_t(f.truth.iris.y), int32_t(f.truth.iris.r)};
    irisalg::SideCheckRecord rec{};
    for (auto _ : state) benchmark::DoNotOptimize(irisalg::SideCheck(ctx, f.image.pixels.data(), 640, 480, 8, circle, &rec));
    irisalg::DetectorDestroy(ctx);
}
BENCHMARK(AlgorithmSideCheck)->Unit(benchmark::kMillisecond);

}  // namespace
