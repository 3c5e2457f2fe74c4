// The assembly of a flat result on each USB scanner model, as Zarn_Capture_AcquireResultImage runs
// it once the full frame has been taken: background removal against the full-mode background, the
// foreground mask and residue clean-up, the stretch, the keystone correction (or the model's own
// resize) to the result size and the delivery into the result record. The frame and the background
// are the simulator's finger scene and empty platen in the model's decoded image space. Target:
// PloverA at most 20 ms on one core, steady from run to run. Also the opening of a scanner: the
// allocation of its static buffers and the memory that is resident afterwards.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "MosaicCalls.h"
#include "ZarnScannerBase.h"
#include "sim/Models.h"
#include "sim/Render.h"

// The model creators of the library's factory table.
#define ZARN_MODEL(Class) ZarnScannerBase* ZarnNew##Class();
ZARN_MODEL(ZarnScannerPloverA)
ZARN_MODEL(ZarnScannerPloverB)
ZARN_MODEL(ZarnScannerPloverE)
ZARN_MODEL(ZarnScannerPloverC)
ZARN_MODEL(ZarnScannerPloverD)
ZARN_MODEL(ZarnScannerKestrelA)
ZARN_MODEL(ZarnScannerKestrelB)
ZARN_MODEL(ZarnScannerVireoA)
ZARN_MODEL(ZarnScannerVireoB)
ZARN_MODEL(ZarnScannerTanagerA)
ZARN_MODEL(ZarnScannerTanagerB)
ZARN_MODEL(ZarnScannerLinnetA)
ZARN_MODEL(ZarnScannerLinnetB)
ZARN_MODEL(ZarnScannerFinch)
ZARN_MODEL(ZarnScannerSiskinA)
ZARN_MODEL(ZarnScannerSiskinB)
#undef ZARN_MODEL

namespace {

void FlatResult(benchmark::State& state, ZarnScannerBase* (*create)(), sim::ModelId id, int imageType) {
    std::unique_ptr<ZarnScannerBase> model(create());
    ZarnScannerBase& m = *model;
    const sim::ModelTraits& traits = sim::Traits(id);
    const sim::ModeGeometry& g = sim::Mode(traits, 0);
    if (m.ApplyStaticMemory() != 0) {
        state.SkipWithError("no memory");
        return;
    }
    sim::FingerScene scene;
    scene.platen.width = g.sceneWidth;
    scene.platen.height = g.sceneHeight;
    scene.platen.ppiX = g.ppiX;
    scene.platen.ppiY = g.ppiY;
    scene.platen.base = traits.platenBase;
    scene.platen.gain = traits.platenGain;
    scene.platen.exposure = 40;
    scene.layout = IsSlapImageType(imageType) ? sim::FingerLayout::RightSlap : sim::FingerLayout::SingleFinger;
    m.m_nVideoMode = TK_VIDEO_FULL;
    m.m_nFullResult = 1;  // the frame of a result is decoded at full size
    // A frame as the camera delivers it, decoded by the model as the grabber callback does.
    auto decoded = [&](const sim::GreyImage& img, uint8_t* into) {
        const std::array<uint8_t, 24> text = sim::MakeDeviceText(traits, 1, 0, 0);
        sim::RawExtras extras;
        extras.deviceText = text.data();
        std::vector<uint8_t> frame = sim::DriverCopy(traits, 0, sim::EncodeRaw(traits, 0, img, extras)).pixels;
        long length = long(frame.size());
        m.FilterStream(frame.data(), &length);
        if (length < m.m_FullImage.bytes) return false;
        std::memcpy(into, frame.data(), size_t(m.m_FullImage.bytes));
        return true;
    };
    if (!decoded(sim::RenderFingers(scene, 3), m.m_pSavedRaw) ||
        !decoded(sim::RenderPlaten(scene.platen, 5), m.m_pFullBackground)) {
        state.SkipWithError("decoded frame smaller than the full image");
        return;
    }
    m.m_hDistortion = MM_TDistortionCorrectInit();
    m.m_nImageType = imageType;
    m.m_nFullResult = 1;
    m.m_nCalibrating = 0;
    g_pScanner = &m;
    for (auto _ : state) {
        const int r = m.FlatResultOutput();
        if (r != 0) {
            state.SkipWithError(("flat output failed: " + std::to_string(r)).c_str());
            break;
        }
        benchmark::DoNotOptimize(m.ImageInfo.image[0]);
    }
    g_pScanner = nullptr;
    state.counters["result_w"] = m.ImageInfo.width;
    state.counters["result_h"] = m.ImageInfo.height;
}

#define FLAT_RESULT(Model, Type)                                                                \
    void Model##FlatResult(benchmark::State& state) {                                           \
        FlatResult(state, &ZarnNewZarnScanner##Model, sim::ModelId::Model, Type);               \
    }                                                                                           \
    BENCHMARK(Model##FlatResult)->Unit(benchmark::kMillisecond)->MinTime(2.0);

FLAT_RESULT(PloverA, ZARN_IMAGE_SLAP_RIGHT)
FLAT_RESULT(PloverB, ZARN_IMAGE_SLAP_RIGHT)
FLAT_RESULT(PloverE, ZARN_IMAGE_SLAP_RIGHT)
FLAT_RESULT(PloverC, ZARN_IMAGE_SLAP_RIGHT)
FLAT_RESULT(PloverD, ZARN_IMAGE_SLAP_RIGHT)
FLAT_RESULT(KestrelA, ZARN_IMAGE_SLAP_RIGHT)
FLAT_RESULT(VireoA, ZARN_IMAGE_FLAT_SINGLE)
FLAT_RESULT(VireoB, ZARN_IMAGE_FLAT_SINGLE)
FLAT_RESULT(TanagerA, ZARN_IMAGE_FLAT_SINGLE)
FLAT_RESULT(TanagerB, ZARN_IMAGE_FLAT_SINGLE)
FLAT_RESULT(LinnetA, ZARN_IMAGE_FLAT_SINGLE)
FLAT_RESULT(LinnetB, ZARN_IMAGE_FLAT_SINGLE)
FLAT_RESULT(Finch, ZARN_IMAGE_FLAT_SINGLE)
FLAT_RESULT(SiskinA, ZARN_IMAGE_FLAT_SINGLE)
FLAT_RESULT(SiskinB, ZARN_IMAGE_FLAT_SINGLE)

}  // namespace

namespace {

// Resident pages of the process, in MB.
double ResidentMb() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// The static buffers of an opened scanner: their allocation and filling, and how much of them is
// resident right after the opening.
void OpenBuffers(benchmark::State& state, ZarnScannerBase* (*create)()) {
    std::unique_ptr<ZarnScannerBase> model(create());
    double grown = 0;
    for (auto _ : state) {
        const double before = ResidentMb();
        if (model->ApplyStaticMemory() != 0) {
            state.SkipWithError("no memory");
            break;
        }
        grown = ResidentMb() - before;
        model->ReleaseStaticMemory();
    }
    state.counters["resident_mb"] = grown;
}

void KestrelBOpenBuffers(benchmark::State& state) { OpenBuffers(state, &ZarnNewZarnScannerKestrelB); }
void PloverAOpenBuffers(benchmark::State& state) { OpenBuffers(state, &ZarnNewZarnScannerPloverA); }

}  // namespace

BENCHMARK(KestrelBOpenBuffers)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(PloverAOpenBuffers)->Unit(benchmark::kMillisecond)->Iterations(5);
