// One preview frame through the whole per-frame path of the exported library on the PloverA and
// VireoA models, as the grabber callback and the image thread run it: the callback's copy and the
// model decode, the hand-off and working copies, background removal, the keystone transform to the
// preview size, the flip, the foreground stretch, the preview callback, and the live grading of the
// preview (segmentation, per-finger quality, the object-quality callback and the state LEDs). The
// frames come from the simulator's renderer. Target: at most 10% of the scanner's frame period
// (266.7 ms) on one core.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "LiveImage.h"
#include "ZarnScannerBase.h"
#include "models/ZarnScannerPlover.h"
#include "models/ZarnScannerVireoA.h"
#include "sim/Models.h"
#include "sim/Render.h"

namespace {

struct Setup {
    std::unique_ptr<ZarnScannerBase> model;
    std::vector<uint8_t> raw;      // the frame as the camera delivers it
    std::vector<uint8_t> handOff;  // the hand-off buffer
};

// What the callbacks saw.
int g_previews = 0, g_found = 0;
void OnPreview(void*, ZarnImageInfo) { ++g_previews; }
void OnQuality(void*, int, int*, int found) { g_found = found; }

// Renders the model's scene, background from the empty platen at the same exposure.
Setup Make(bool plover) {
    Setup s;
    const auto& traits = sim::Traits(plover ? sim::ModelId::PloverA : sim::ModelId::VireoA);
    const sim::ModeGeometry& g = sim::Mode(traits, 0);
    sim::FingerScene scene;
    scene.platen.width = g.sceneWidth;
    scene.platen.height = g.sceneHeight;
    scene.platen.ppiX = g.ppiX;
    scene.platen.ppiY = g.ppiY;
    scene.platen.base = traits.platenBase;
    scene.platen.gain = traits.platenGain;
    scene.platen.exposure = 40;
    scene.layout = plover ? sim::FingerLayout::RightSlap : sim::FingerLayout::TwoThumbs;
    const sim::GreyImage fingers = sim::RenderFingers(scene, 3);
    const sim::GreyImage empty = sim::RenderPlaten(scene.platen, 5);
    auto delivered = [&](const sim::GreyImage& img) {
        const std::array<uint8_t, 24> text = sim::MakeDeviceText(traits, 1, 0, 0);
        sim::RawExtras extras;
        extras.deviceText = text.data();
        return sim::DriverCopy(traits, 0, sim::EncodeRaw(traits, 0, img, extras)).pixels;
    };
    if (plover)
        s.model = std::make_unique<ZarnScannerPloverA>();
    else
        s.model = std::make_unique<ZarnScannerVireoA>();
    ZarnScannerBase& m = *s.model;
    // A capture of the service's kind: live detection, the expected fingers, its auto-capture values.
    m.SetAutoCaptureDefaults();
    m.m_AutoCapture = {250, 230, 1.0, 12, 2, 10, 10, 15, 3000};
    m.m_Running.initialised = 1;
    m.m_Running.modeSet = 1;
    m.m_Running.liveDetection = 1;
    m.m_nFingerCount = plover ? 4 : 2;
    m.m_pfnPreview = &OnPreview;
    m.m_pfnObjectQuality = &OnQuality;
    ScannerHooks hooks;
    hooks.procLiveImage = [](ZarnScannerBase& scanner) { I_ProcLiveImage(scanner); };
    SetScannerHooks(hooks);
    if (m.ApplyStaticMemory() != 0) return s;
    m.m_hDistortion = MM_TDistortionCorrectInit();
    m.m_nVideoMode = TK_VIDEO_FULL;
    m.m_nImageType = plover ? ZARN_IMAGE_SLAP_RIGHT : ZARN_IMAGE_TWO_THUMBS;
    m.MakeImageData(1);
    // The preview background: the decoded empty platen.
    std::vector<uint8_t> bg = delivered(empty);
    long length = long(bg.size());
    m.FilterStream(bg.data(), &length);
    std::memcpy(m.m_pPreviewBackground, bg.data(), size_t(m.m_PreviewImage.bytes));
    m.m_nBackgroundStage = 3;
    m.m_nCalibrating = 0;
    s.raw = delivered(fingers);
    s.handOff.resize(s.raw.size());
    return s;
}

void PreviewFrame(benchmark::State& state, bool plover) {
    Setup s = Make(plover);
    ZarnScannerBase& m = *s.model;
    if (!m.m_pDxBuf1) {
        state.SkipWithError("no memory");
        return;
    }
    g_pScanner = &m;
    for (auto _ : state) {
        // Grabber callback: copy, decode, hand off.
        std::memcpy(m.m_pDxBuf1, s.raw.data(), s.raw.size());
        long length = long(s.raw.size());
        m.FilterStream(m.m_pDxBuf1, &length);
        std::memcpy(s.handOff.data(), m.m_pDxBuf1, size_t(length));
        // Image thread: working copy, background, transform, preview.
        m.m_nWorkWidth = m.m_PreviewImage.width;
        m.m_nWorkHeight = m.m_PreviewImage.height;
        std::memcpy(m.m_pWorkFrame, s.handOff.data(), size_t(m.m_PreviewImage.bytes));
        m.ProcessBackground();
        int w = 0, h = 0;
        m.ProcessFrame(m.m_pWorkFrame, m.m_nWorkWidth, m.m_nWorkHeight, m.m_pFlatOutput, &w, &h);
        m.PreviewOutput();
    }
    g_pScanner = nullptr;
    state.counters["fingers"] = g_found;
    state.counters["previews"] = g_previews;
    state.counters["preview_w"] = m.ImageInfo.width;
    state.counters["preview_h"] = m.ImageInfo.height;
    m.ReleaseStaticMemory();
}

void PloverAPreviewFrame(benchmark::State& state) { PreviewFrame(state, true); }
void VireoAPreviewFrame(benchmark::State& state) { PreviewFrame(state, false); }

}  // namespace

BENCHMARK(PloverAPreviewFrame)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(VireoAPreviewFrame)->Unit(benchmark::kMillisecond)->MinTime(2.0);
