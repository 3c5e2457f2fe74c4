// The iris capture library on the simulated two-eye camera through the driver: the time from the
// moment an eye appears in front of an armed camera to the delivered result, and the cost of the
// per-frame analysis (detection, and on a hit the stretch) on one camera frame.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <memory>
#include <thread>
#include <mutex>

#include "ZarnIrisBase.h"
#include "driver/TessikDriver.h"
#include "iris/ZarnIrisApi.h"
#include "platform/DriverDevices.h"
#include "sim/EyeRender.h"
#include "sim/SimBus.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
int g_results = 0;

void OnResult(void*, int, ZarnImageInfo) {
    std::lock_guard lock(g_mutex);
    ++g_results;
    g_changed.notify_all();
}

struct Camera {
    std::shared_ptr<sim::SimBus> bus;
    std::shared_ptr<tessik::driver::DeviceManager> manager;
    bool ready = false;

    Camera() {
        std::string error;
        auto scenario = sim::ParseScenario("device left IrisLeft\ndevice right IrisRight\n", &error);
        if (!scenario) return;
        bus = sim::CreateBus(*scenario);
        manager = std::make_shared<tessik::driver::DeviceManager>(bus, tessik::driver::Device::Timing{});
        platform::DriverDevices::Use(manager);
        ready = Zarn_IRIS_Main_Initialize() == 0 &&
                Zarn_IRIS_Capture_RegisterCallbackResultImage(1, &OnResult, nullptr) == 0;
    }
    ~Camera() {
        Zarn_IRIS_Main_DeInitialize();
        platform::DriverDevices::Use(nullptr);
    }
};

Camera& TheCamera() {
    static Camera camera;
    return camera;
}

sim::DeviceAction EyeAction(bool on) {
    sim::DeviceAction a;
    a.kind = sim::DeviceAction::Eye;
    a.on = on;
    return a;
}

// Eye present to result, left camera, quality 1 (six frames), at the camera's own frame rate.
void BM_EyePresentToResult(benchmark::State& state) {
    Camera& camera = TheCamera();
    if (!camera.ready) {
        state.SkipWithError("the iris camera did not initialise");
        return;
    }
    auto left = camera.bus->Find("left");
    for (auto _ : state) {
        left->Apply(EyeAction(false));
        int before;
        {
            std::lock_guard lock(g_mutex);
            before = g_results;
        }
        Zarn_IRIS_Capture_SetMode(1, 1, 1, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the camera streams an empty scene
        const auto start = std::chrono::steady_clock::now();
        left->Apply(EyeAction(true));
        std::unique_lock lock(g_mutex);
        const bool done = g_changed.wait_for(lock, std::chrono::seconds(30), [&] { return g_results > before; });
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        lock.unlock();
        if (!done) {
            iriscap::ZarnIrisBase* s = iriscap::g_pIrisL.load();
            std::fprintf(stderr, "results %d before %d ", g_results, before);
            std::fprintf(stderr, "hits %d collected %d present %d white %d done %d analysed %d armed %d\n", s->hits.load(),
                         s->collected.load(), int(s->present.load()), int(s->whiteOn.load()), int(s->collectDone.load()),
                         int(s->analysed.load()), s->running.armed.load());
            state.SkipWithError("no result within 30 s");
            Zarn_IRIS_Capture_Abort();
            return;
        }
        state.SetIterationTime(seconds);
    }
}
BENCHMARK(BM_EyePresentToResult)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Stage 1 on one frame of a centred eye: detection and the contrast stretch of a hit.
void BM_DetectEyeOnAFrame(benchmark::State& state) {
    Camera& camera = TheCamera();
    if (!camera.ready) {
        state.SkipWithError("the iris camera did not initialise");
        return;
    }
    iriscap::ZarnIrisBase* s = iriscap::g_pIrisL.load();
    sim::EyeSceneParams scene;
    const sim::EyeFrame eye = sim::RenderEyeFrame(scene);
    Zarn_IRIS_Capture_Abort();
    for (auto _ : state) {
        std::copy(eye.image.pixels.begin(), eye.image.pixels.end(), s->frame.begin());
        benchmark::DoNotOptimize(iriscap::I_DetectEye(*s, iriscap::g_DetectorContext[0]));
    }
}
BENCHMARK(BM_DetectEyeOnAFrame)->Unit(benchmark::kMillisecond);

}  // namespace
