// Location time per 640 x 480 frame on one core, and the accuracy experiment over many rendered
// eyes (share of frames within 3 pixels on circles and 5 on eyelid rows, the upper lid also against
// either edge of the lash line along it), as counters.

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "TskIrisAPI.h"
#include "irisalg/Location.h"
#include "sim/EyeRender.h"

namespace {

sim::EyeSceneParams Scene(uint32_t subject) {
    sim::EyeSceneParams s;
    s.subjectSeed = subject;
    s.rightEye = subject % 2;
    s.red1 = s.red2 = 120;
    s.frameSeed = subject * 13 + 5;
    // Spread over positions, distances (pupil and iris size), light (pupil constriction, a glint
    // on the iris) and lid opening.
    s.centreX = 0.4 + 0.2 * ((subject * 7) % 11) / 10.0;
    s.centreY = 0.44 + 0.12 * ((subject * 3) % 7) / 6.0;
    s.distanceMm = 270 + 90 * ((subject * 5) % 9) / 8.0;
    s.white = (subject % 3) * 60;
    s.openness = 0.75 + 0.25 * ((subject * 11) % 5) / 4.0;
    return s;
}

void BM_Location(benchmark::State& state) {
    irisalg::SetModule(irisalg::Module::Location, true);
    const sim::EyeFrame f = sim::RenderEyeFrame(Scene(1));
    const int32_t options[6] = {int32_t(state.range(0)), 0, 0, 0, 0, 0};
    for (auto _ : state) {
        IrisLocation loc{};
        benchmark::DoNotOptimize(TskIris_Location(f.image.pixels.data(), 640, 480, &loc, options, nullptr));
    }
}
BENCHMARK(BM_Location)->Arg(13)->Arg(3)->Arg(7)->Unit(benchmark::kMillisecond);

void BM_LocationAccuracy(benchmark::State& state) {
    irisalg::SetModule(irisalg::Module::Location, true);
    const int frames = 200;
    const int method = int(state.range(0));
    const double blur = state.range(1) / 10.0;
    for (auto _ : state) {
        int located = 0, circles = 0, lids = 0, lashLids = 0, all = 0;
        for (int i = 1; i <= frames; ++i) {
            sim::EyeSceneParams s = Scene(uint32_t(i));
            s.extraBlur = blur;
            const sim::EyeFrame f = sim::RenderEyeFrame(s);
            IrisLocation loc{};
            const int32_t options[6] = {method, 0, 0, 0, 0, 0};
            if (TskIris_Location(f.image.pixels.data(), 640, 480, &loc, options, nullptr) != 0) continue;
            ++located;
            const auto& t = f.truth;
            const bool c = std::hypot(loc.pupilX - t.pupil.x, loc.pupilY - t.pupil.y) <= 3 &&
                           std::abs(loc.pupilRadius - t.pupil.r) <= 3 &&
                           std::hypot(loc.irisX - t.iris.x, loc.irisY - t.iris.y) <= 3 &&
                           std::abs(loc.irisRadius - t.iris.r) <= 3;
            const bool lower = std::abs(TskIris_Polyval(loc.lowerEyelid, 2, t.lowerLid.x0) - t.lowerLid.y0) <= 5;
            const bool l = std::abs(TskIris_Polyval(loc.upperEyelid, 2, t.upperLid.x0) - t.upperLid.y0) <= 5 && lower;
            // The upper lid's edge measure may settle on either edge of the dark lash line.
            const bool lash = l || (std::abs(TskIris_Polyval(loc.upperEyelid, 2, t.upperLashTop.x0) - t.upperLashTop.y0) <= 5 &&
                                    lower);
            circles += c, lids += l, lashLids += lash, all += c && l;
        }
        state.counters["located"] = double(located) / frames;
        state.counters["circles"] = double(circles) / frames;
        state.counters["lids"] = double(lids) / frames;
        state.counters["lidsLashLine"] = double(lashLids) / frames;
        state.counters["all"] = double(all) / frames;
    }
}
BENCHMARK(BM_LocationAccuracy)->Args({13, 0})->Args({3, 0})->Args({13, 15})->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
