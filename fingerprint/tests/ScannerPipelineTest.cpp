// The scanner base class on a simulated PloverA-type scanner, through the camera driver and the
// video-capture layer: graph builds and mode changes, the calibration passes with the exposure
// search, the background stages, previews, the roll path, dropped frames, stopping and removal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "CaptureRig.h"
#include "platform/ThreadName.h"
#include "TestScanner.h"
#include "sim/Optics.h"
#include "sim/Render.h"

using scannertest::TestModel;
using scannertest::TraceLines;
using scannertest::Previews;
using scannertest::WaitUntil;

namespace {

// This program's trace lines go to a slot of its own.
const bool kSlotIsolated = [] {
    setenv("TESSIK_TRACE_SLOT", ("TessikScannerTests-" + std::to_string(getpid())).c_str(), 1);
    // Debug files of this program go to a folder of its own.
    setenv("TESSIK_DEBUG_DIR", (std::filesystem::temp_directory_path() / ("tessik-scanner-" + std::to_string(getpid()))).c_str(), 1);
    return true;
}();

struct Message {
    intptr_t kind, code;
};
std::mutex g_messagesLock;
std::vector<Message> g_messages;
void MessageSink(void*, unsigned message, intptr_t kind, intptr_t code) {
    if (message != kScannerMessage) return;
    std::lock_guard lock(g_messagesLock);
    g_messages.push_back({kind, code});
}
std::vector<Message> Messages() {
    std::lock_guard lock(g_messagesLock);
    return g_messages;
}

// What the preview callback saw.
struct Connections {
    std::mutex mutex;
    std::vector<int> seen;
    static void Callback(void* context, int connected) {
        auto* c = static_cast<Connections*>(context);
        std::lock_guard lock(c->mutex);
        c->seen.push_back(connected);
    }
    std::vector<int> Seen() {
        std::lock_guard lock(mutex);
        return seen;
    }
};

class ScannerPipeline : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kSlotIsolated);
        ZarnScannerBase::s_nWaitScale = int(scannertest::Slowdown());
        trace = std::make_unique<TraceLines>();
        ASSERT_TRUE(trace->IsOpen());
        bus = std::make_unique<capturetest::Bus>(ScenarioText(), scannertest::Slowdown());
        device = bus->Device("s1");
        ASSERT_TRUE(device);
        model = MakeModel();
        g_pScanner = model.get();
        model->m_pfnMessageSink = &MessageSink;
        ASSERT_EQ(model->InitializeRes(), 0);
    }
    void TearDown() override {
        if (model) model->ReleaseRes();
        g_pScanner = nullptr;
        model.reset();
        bus.reset();
        trace.reset();
    }

    virtual std::unique_ptr<TestModel> MakeModel() const { return std::make_unique<TestModel>(); }

    // Frames come four times as fast as the scanner's own.
    virtual std::string ScenarioText() const { return Scenario(0.25); }
    static std::string Scenario(double periodScale) {
        return "period-scale " + std::to_string(periodScale * scannertest::Slowdown()) + "\ndevice s1 PloverA\n";
    }

    // What the exported layer does to start a flat or rolled capture in the current mode.
    void StartCapture(int type) { scannertest::StartPreviews(*model, previews, type); }

    // Dirties the platen, then starts a capture and waits for the first scanner message.
    void StartOnADirtyPlaten(int type) {
        // The simulated smudges darken fewer pixels than the library's default window asks for on
        // a preview-size frame; a clean platen darkens none.
        MM_SetDirtySensorWindow1Threshold(3000);
        device->Apply({sim::DeviceAction::Dirty, sim::FingerLayout::None, 0, 0, 0, true});
        // Frames rendered before the dirt are out of the way.
        const uint32_t sent = device->TotalFrames();
        ASSERT_TRUE(WaitUntil([&] { return device->TotalFrames() >= sent + 3; }));
        StartCapture(type);
        ASSERT_TRUE(WaitUntil([&] { return !Messages().empty(); }, 20000));
    }

    std::unique_ptr<TraceLines> trace;
    std::unique_ptr<capturetest::Bus> bus;
    std::shared_ptr<sim::SimDevice> device;
    std::unique_ptr<TestModel> model;
    Previews previews;
    Connections connections;  // outlives the threads: TearDown releases the scanner first
};

// Brightness of the simulated platen centre at an exposure: the renderer's own measure.
double Platen(double exposure) {
    const auto& t = sim::Traits(sim::ModelId::PloverA);
    sim::PlatenParams p;
    p.exposure = exposure;
    p.base = t.platenBase;
    p.gain = t.platenGain;
    return sim::PlatenLevel(p);
}

// The lowest exposure at which the empty platen, as the simulated sensor draws it in this frame-size
// mode with the brightness and contrast the model sets, reaches the mean threshold of the sensor
// check. The platen brightens with exposure, so a bisection finds it.
int FirstPassingExposure(int meanThreshold, int frameSizeMode, int brightness, int contrast, double lamp = 1.0) {
    const auto& t = sim::Traits(sim::ModelId::PloverA);
    const sim::ModeGeometry& g = sim::Mode(t, frameSizeMode);
    LiveScanAlg::SetMeanThreshold(float(meanThreshold));
    auto passes = [&](int e) {
        sim::PlatenParams p;
        p.width = g.sceneWidth;
        p.height = g.sceneHeight;
        p.ppiX = g.ppiX;
        p.ppiY = g.ppiY;
        p.exposure = e;
        p.base = t.platenBase;
        p.gain = t.platenGain;
        p.brightness = brightness;
        p.contrast = contrast;
        p.lamp = lamp;
        p.keystone = sim::KeystoneFor(t, frameSizeMode);
        sim::GreyImage img = sim::RenderPlaten(p, 7);
        float mean = 0, var = 0, sat = 0;
        LiveScanAlg::CheckSensor2(img.height, img.width, img.pixels.data(), &mean, &var, &sat);
        return mean >= float(meanThreshold);
    };
    int lo = -1, hi = 256;  // passes(lo) is false, passes(hi) is taken as true
    while (hi - lo > 1) {
        const int mid = (lo + hi) / 2;
        (passes(mid) ? hi : lo) = mid;
    }
    return hi;
}

}  // namespace

TEST_F(ScannerPipeline, GraphBuildsAndModeChangesDeliverEachModesFrameSize) {
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    EXPECT_TRUE(trace->WaitFor("Enter ZarnScannerBase::ChageVideoMode(1, 0)", 2000));
    // Full mode: the driver's full size (frame-size mode 0), every frame taken and decoded.
    ASSERT_EQ(model->EnterVideoMode(TK_VIDEO_FULL, 2), 0);
    model->m_nFrameRequest = 1;
    ASSERT_TRUE(WaitUntil([&] { return model->filtered.load() >= 2; }));
    EXPECT_EQ(device->CaptureMode(), 0);
    EXPECT_EQ(model->m_nPropValue[kPropFrameSizeMode], 0);
    EXPECT_EQ(trace->Count("lBufferSize="), 0u);
    // Index 10 is the camera-control exposure (vendor request 0xB4), not video property 10; an
    // index the model does not support never reaches the camera.
    const size_t exposures = device->VendorWrites(0xB4).size();
    const size_t brightness = device->VendorWrites(0xB8).size();
    EXPECT_EQ(model->SetVideoProp(kPropExposure, 57), 1);
    ASSERT_EQ(device->VendorWrites(0xB4).size(), exposures + 1);
    EXPECT_EQ(device->VendorWrites(0xB4).back().data.at(0), 57);
    EXPECT_EQ(device->VendorWrites(0xB8).size(), brightness);
    model->m_nPropValue[kPropExposure] = 0;
    EXPECT_EQ(model->GetVideoNoProc(kPropExposure), 1);
    EXPECT_EQ(model->m_nPropValue[kPropExposure], 57);
    EXPECT_EQ(model->SetVideoProp(5, 9), 0);
    EXPECT_EQ(model->m_nPropValue[5], 0);
    EXPECT_TRUE(trace->WaitFor("Err: Property 5 is no support", 2000));
    // The device text of the first frame reached the device record.
    uint32_t serial = 0;
    std::memcpy(&serial, model->m_DeviceInfo.serialNumber, 4);
    EXPECT_EQ(serial, device->config().serial);

    // Roll mode: rebuilt graph, frame-size mode 1, frames of 1408 x 880.
    const int before = model->filtered.load();
    ASSERT_EQ(model->EnterVideoMode(TK_VIDEO_ROLL, 0), 0);
    EXPECT_EQ(model->m_nPropValue[kPropFrameSizeMode], 1);
    ASSERT_TRUE(WaitUntil([&] { return model->filtered.load() >= before + 2; }));
    EXPECT_EQ(device->CaptureMode(), 1);
    EXPECT_EQ(model->m_nBackgroundCountdown.load(), 3);

    // The same mode again without force: nothing is rebuilt.
    const size_t clears = trace->Count("Enter ZarnScannerBase::ClearGraphs()");
    EXPECT_EQ(model->BuildCaptureGraph(TK_VIDEO_ROLL, 0), 0);
    EXPECT_EQ(trace->Count("Enter ZarnScannerBase::ClearGraphs()"), clears);

    // This model has no preview-mode frame: the capability table has nothing for it.
    EXPECT_EQ(model->ChageVideoMode(TK_VIDEO_PREV, 0), ZARN_ERR_GRAPH_BUILD);
    EXPECT_TRUE(trace->WaitFor("Could not find this mode (0, 0)", 2000));

    // Back to full.
    ASSERT_EQ(model->EnterVideoMode(TK_VIDEO_FULL, 2), 0);
    const int again = model->filtered.load();
    ASSERT_TRUE(WaitUntil([&] { return model->filtered.load() >= again + 2; }));
    EXPECT_EQ(device->CaptureMode(), 0);
}

TEST_F(ScannerPipeline, FramesOfTheWrongLengthAreDroppedAndAStoppedStreamIsNotHandedOn) {
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    ASSERT_EQ(model->EnterVideoMode(TK_VIDEO_ROLL, 0), 0);
    model->m_nFrameRequest = 1;
    ASSERT_TRUE(WaitUntil([&] { return model->filtered.load() >= 1; }));
    // The library now expects full frames while the camera still sends roll frames.
    model->m_nVideoMode = TK_VIDEO_FULL;
    const int decoded = model->filtered.load();
    ASSERT_TRUE(trace->WaitFor("lBufferSize=1239040, lSize=5416960"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(model->filtered.load(), decoded);

    // With the stream flag clear, frames are decoded but the image thread gets none.
    model->m_nVideoMode = TK_VIDEO_ROLL;
    model->m_nStreamRunning = 0;
    model->m_nFrameReady = 0;
    const int now = model->filtered.load();
    ASSERT_TRUE(WaitUntil([&] { return model->filtered.load() >= now + 3; }));
    EXPECT_EQ(model->m_nFrameReady.load(), 0);
}

TEST_F(ScannerPipeline, CalibrationFindsTheExposureThenBackgroundStagesAndPreviewsFollow) {
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    ASSERT_EQ(model->SetCalibration(1), 0);
    // The first exposure at which the empty platen as the renderer draws it passes the sensor check.
    // Frames already on their way when the exposure changes (the simulated camera renders ahead and
    // the driver keeps reads queued) can make the search a step or two late.
    EXPECT_NEAR(model->m_nFullExposure,
                FirstPassingExposure(model->m_nMeanThreshold[0], 0, model->m_nCameraFull[0], model->m_nCameraFull[1]),
                2 * model->m_nExposureStep[0]);
    EXPECT_NEAR(model->m_nRollExposure,
                FirstPassingExposure(model->m_nMeanThreshold[1], 1, model->m_nCameraRoll[0], model->m_nCameraRoll[1]),
                2 * model->m_nExposureStep[1]);
    EXPECT_EQ(trace->Count("Desired exposure value is out of range"), 0u);
    EXPECT_EQ(model->m_nVideoMode.load(), TK_VIDEO_FULL);
    EXPECT_EQ(model->m_nBackgroundStage.load(), 1);
    EXPECT_EQ(model->m_nCalibrating.load(), 0);
    EXPECT_EQ(device->CaptureMode(), 0);
    // The standard background is the bright empty platen.
    const uint8_t* bg = model->m_pFullBackground;
    const double mean = std::accumulate(bg + 1840 / 2 * 2944, bg + (1840 / 2 + 1) * 2944, 0.0) / 2944;
    EXPECT_GT(mean, 200);

    // A right slap capture: stage 1 on the empty platen, then 2, then 3 with previews.
    StartCapture(ZARN_IMAGE_SLAP_RIGHT);
    ASSERT_TRUE(WaitUntil([&] { return previews.Count() >= 2; }, 20000));
    EXPECT_EQ(model->m_nBackgroundStage.load(), 3);
    {
        std::lock_guard lock(previews.mutex);
        EXPECT_EQ(previews.last.width, 800);
        EXPECT_EQ(previews.last.height, 750);
        EXPECT_EQ(previews.last.xResolution, 250);
        EXPECT_EQ(previews.last.rowOrder, -1);
        EXPECT_EQ(previews.last.isResult, 0);
    }
    EXPECT_LT(previews.DarkShare(), 0.02);
    EXPECT_GE(trace->Count("Enter ZarnScannerBase::ImgTrapezoidConvert("), 1u);

    // Fingers on the platen darken the keystone-corrected preview.
    device->Apply({sim::DeviceAction::Place, sim::FingerLayout::RightSlap});
    ASSERT_TRUE(WaitUntil([&] { return previews.DarkShare() > 0.05; }, 20000));
}

TEST_F(ScannerPipeline, DirtyPlatenIsReportedOnceAndCleanOnceThenPreviewsFlow) {
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    ASSERT_EQ(model->SetCalibration(0), 0);
    EXPECT_EQ(trace->Count("Enter ZarnScannerBase::CheckCurrentExposure("), 0u);
    ASSERT_NO_FATAL_FAILURE(StartOnADirtyPlaten(ZARN_IMAGE_SLAP_LEFT));
    const Message dirty = Messages().front();
    EXPECT_EQ(dirty.kind, 1);
    const int status = model->m_Running.captureStatus.load();
    EXPECT_LT(status, -800);
    EXPECT_EQ(dirty.code, -status - 7800);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(model->m_nBackgroundStage.load(), 1);
    EXPECT_EQ(previews.Count(), 0);

    device->Apply({sim::DeviceAction::Dirty, sim::FingerLayout::None, 0, 0, 0, false});
    ASSERT_TRUE(WaitUntil([&] { return previews.Count() >= 1; }, 20000));
    const auto all = Messages();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const Message& m) { return m.kind == 3; }), 1);
    EXPECT_EQ(all.back().kind, 3);
    EXPECT_EQ(all.back().code, 0);
    EXPECT_EQ(model->m_Running.captureStatus.load(), 0);
}

TEST_F(ScannerPipeline, ExposureSearchEndsAtTheUpperBoundWhenTheLampIsTooDim) {
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    // A lamp at a third of its output: even the longest exposure leaves the empty platen below
    // the mean the model asks for, so the search climbs to the bound and reports the failure.
    sim::DeviceAction dim{sim::DeviceAction::Set};
    dim.name = "lamp";
    dim.x = 0.3;
    device->Apply(dim);
    ASSERT_EQ(FirstPassingExposure(model->m_nMeanThreshold[0], 0, model->m_nCameraFull[0], model->m_nCameraFull[1], dim.x), 256);
    model->m_nExposureStep[0] = 40;
    EXPECT_EQ(model->SetCalibration(1), ZARN_ERR_CALIBRATION);
    EXPECT_EQ(model->m_nPropValue[kPropExposure], 240);
    EXPECT_EQ(trace->Count("Desired exposure value is out of range"), 0u);
    EXPECT_EQ(model->m_nCalibrating.load(), 0);
    EXPECT_EQ(model->m_nFrameRequest.load(), 0);
}

// A frame that reaches the image thread just as a calibration ends: the model holds the first
// full-mode frame after the roll pass in the grabber callback and keeps the calibration from ending
// until that frame is held (the last MakeImageData of the calibration asks for the image type);
// the frame is handed over the moment the calibration flag clears. The image thread last looked at
// the frame request before the end, so it takes that frame.
class LateFrameModel : public TestModel {
public:
    int FilterStream(uint8_t* buffer, long* length) override {
        if (m_nCalibrating.load() && *length == m_RollFrame.bytes) rollFramesSeen = true;
        if (rollFramesSeen && *length == m_FullFrame.bytes && !holding.exchange(true)) {
            heldWhileCalibrating = m_nCalibrating.load() != 0;
            for (int i = 0; i < 5000 && m_nCalibrating.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            handedOver = true;
        }
        return TestModel::FilterStream(buffer, length);
    }
    int GetImageTypeInfo(int type, ZarnImageInfo* info, int half) override {
        if (m_nCalibrating.load() && rollFramesSeen && m_nVideoMode.load() == TK_VIDEO_FULL)
            for (int i = 0; i < 5000 && !holding.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return TestModel::GetImageTypeInfo(type, info, half);
    }
    std::atomic<bool> rollFramesSeen{false}, holding{false}, heldWhileCalibrating{false}, handedOver{false};
};

class ScannerCalibrationEnd : public ScannerPipeline {
protected:
    std::unique_ptr<TestModel> MakeModel() const override { return std::make_unique<LateFrameModel>(); }
};

// The calibration leaves the background stage at 1 until a capture asks for frames, so the capture
// begins with its platen check: a platen dirtied after the calibration is reported.
TEST_F(ScannerCalibrationEnd, AFrameArrivingAsItEndsLeavesThePlatenCheckToTheNextCapture) {
    auto& late = static_cast<LateFrameModel&>(*model);
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    ASSERT_EQ(model->SetCalibration(0), 0);
    ASSERT_TRUE(late.heldWhileCalibrating.load());
    ASSERT_TRUE(WaitUntil([&] { return late.handedOver.load(); }));
    EXPECT_EQ(model->m_nFrameRequest.load(), 0);
    // Time for the image thread to work on the late frame, were it to take it.
    std::this_thread::sleep_for(std::chrono::milliseconds(int64_t(500 * scannertest::Slowdown())));
    EXPECT_EQ(model->m_nBackgroundStage.load(), 1);

    ASSERT_NO_FATAL_FAILURE(StartOnADirtyPlaten(ZARN_IMAGE_SLAP_LEFT));
    EXPECT_EQ(Messages().front().kind, 1);
    EXPECT_EQ(previews.Count(), 0);
}

// The stitcher must see every frame of the roll: the frames come at the scanner's own rate, which the
// image thread keeps up with.
class ScannerRoll : public ScannerPipeline {
protected:
    std::string ScenarioText() const override { return Scenario(0.75); }
};

TEST_F(ScannerRoll, AFingerThatSlidesDuringTheRollEndsItWithTheSlidingMask) {
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    ASSERT_EQ(model->SetCalibration(0), 0);
    ASSERT_EQ(model->EnterVideoMode(TK_VIDEO_ROLL, 15), 0);
    ASSERT_EQ(model->CreateRollSession(500), 0);
    model->m_Running.rollingStarted = 1;
    std::memset(model->m_pImageMask, 77, size_t(model->m_RollImage.bytes));
    StartCapture(15);
    ASSERT_TRUE(WaitUntil([&] { return model->m_nBackgroundStage.load() == 3; }, 20000));
    // Before the finger comes, the frames pass through unchanged.
    EXPECT_EQ(trace->Count("Exit  ZarnScannerBase::RollingImgOutput()"), 0u);
    device->Apply({sim::DeviceAction::Roll, sim::FingerLayout::None, 0, 0, 40});
    ASSERT_TRUE(WaitUntil([&] { return model->m_nRollFrameCount.load() >= 4; }, 30000));
    // The finger is pushed sideways instead of rolling on.
    device->Apply({sim::DeviceAction::Move, sim::FingerLayout::None, 3.0, 0});
    ASSERT_TRUE(WaitUntil([&] { return model->m_Running.resultTaken.load() == 1; }, 30000));
    EXPECT_EQ(model->m_Running.captureStatus.load(), ZarnAlgorithmError(28));
    EXPECT_GE(model->m_nRollFrames, 4);
    EXPECT_EQ(model->m_nRollFrameCount, 0);
    EXPECT_EQ(model->m_Running.rollingStarted.load(), 0);
    EXPECT_EQ(model->m_Running.captureStarted.load(), 0);
    EXPECT_EQ(model->m_nStreamRunning.load(), 0);
    // The stitcher's sliding mask went to the image-mask buffer (grid marks 0 and 1 only).
    const uint8_t* mask = model->m_pImageMask;
    EXPECT_EQ(std::count(mask, mask + 1408 * 880, uint8_t(77)), 0);
    // The roll's end reached the preview callback with the roll result geometry.
    {
        std::lock_guard lock(previews.mutex);
        EXPECT_EQ(previews.last.width, 800);
        EXPECT_EQ(previews.last.height, 750);
        EXPECT_EQ(previews.last.typeValue, 10.0);
    }
    // The last roll holds the stitched finger at the roll-output size.
    const uint8_t* roll = model->m_pLastRoll;
    const size_t dark = size_t(std::count_if(roll, roll + 800 * 750, [](uint8_t v) { return v < 128; }));
    EXPECT_GT(dark, size_t(800 * 750 / 100));
    MM_mmRollStitchRelease();

    // The stored frames of the roll go to bitmap files.
    ASSERT_EQ(model->SaveRollingFrames(), 0);
    std::string base;
    ASSERT_EQ(ZarnTrace().GetFolder(0, base), 0);
    size_t files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(base + "RollingSpeed"))
        files += e.path().extension() == ".bmp" && std::filesystem::file_size(e.path()) > size_t(1408 * 880);
    EXPECT_EQ(files, size_t(std::min(model->m_nRollFrames.load(), kRollHistoryFrames)));
    std::filesystem::remove_all(std::filesystem::path(std::getenv("TESSIK_DEBUG_DIR")));
}

TEST_F(ScannerPipeline, TheFrameOfATakenFullResultStaysUntilTheNextFrameRequest) {
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    ASSERT_EQ(model->SetCalibration(0), 0);
    StartCapture(ZARN_IMAGE_SLAP_RIGHT);
    ASSERT_TRUE(WaitUntil([&] { return previews.Count() >= 1; }, 20000));
    ASSERT_EQ(model->GetFullModeResultImage(), 0);
    EXPECT_EQ(model->ImageInfo.width, 1600);
    EXPECT_EQ(model->ImageInfo.height, 1500);
    EXPECT_EQ(model->ImageInfo.isResult, 1);
    const size_t bytes = size_t(model->m_FullImage.bytes);
    const std::vector<uint8_t> taken(model->m_pSavedRaw, model->m_pSavedRaw + bytes);
    // Fingers arrive and frames keep coming: the frame the result is built from stays.
    device->Apply({sim::DeviceAction::Place, sim::FingerLayout::RightSlap});
    const uint32_t sent = device->TotalFrames();
    ASSERT_TRUE(WaitUntil([&] { return device->TotalFrames() >= sent + 4; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(std::equal(taken.begin(), taken.end(), model->m_pSavedRaw));
    // A new frame request lets frames through again.
    ASSERT_EQ(model->RefreshFrame(), 0);
    EXPECT_FALSE(std::equal(taken.begin(), taken.end(), model->m_pSavedRaw));
    // The frame a request waited for stays as well while frames keep coming: the exposure search
    // and the calibration passes read it after the wait.
    const std::vector<uint8_t> waited(model->m_pSavedRaw, model->m_pSavedRaw + bytes);
    const uint32_t more = device->TotalFrames();
    ASSERT_TRUE(WaitUntil([&] { return device->TotalFrames() >= more + 4; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(std::equal(waited.begin(), waited.end(), model->m_pSavedRaw));
}

// A camera that stops delivering for good: each wait restarts the capture graph after its rounds
// and fails with -602 when no frame comes; a restart that succeeds is no frame. Two waits, each
// with two restarts, and one more restart between them.
TEST_F(ScannerPipeline, AStallThatNoRestartCuresFailsTheWaitForAFrame) {
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    model->m_nVideoMode = TK_VIDEO_FULL;
    ASSERT_EQ(model->StartStream(), 0);
    const auto restarts = [&] { return trace->Count("Enter ZarnScannerBase::ChageVideoMode(1, 1)"); };
    // Frames come: the wait has one without a restart.
    ASSERT_EQ(model->RefreshFrameEnhance(), 0);
    EXPECT_TRUE(trace->WaitFor("Exit  RefreshFrameEnhance()= 0", 2000));
    EXPECT_EQ(restarts(), 0u);
    model->dead = true;
    const size_t before = restarts();
    EXPECT_EQ(model->RefreshFrameEnhance(), ZARN_ERR_CAMERA_STEP);
    EXPECT_TRUE(trace->WaitFor("Exit  RefreshFrameEnhance()= -602", 2000));
    EXPECT_EQ(restarts() - before, 6u);
    EXPECT_EQ(model->m_nFrameReady.load(), 0);
    // Frames again: the next wait has one.
    model->dead = false;
    EXPECT_EQ(model->RefreshFrameEnhance(), 0);
}

TEST_F(ScannerPipeline, ExposureSearchStopsAtTheLowerBoundWhenTheLampIsBrightEnoughEverywhere) {
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    // Every exposure passes: the walk down ends at the minimum, successfully.
    ASSERT_GE(Platen(0) - 10, 100);
    model->m_nMeanThreshold[0] = model->m_nMeanThreshold[1] = 100;
    model->m_nExposureStep[0] = model->m_nExposureStep[1] = 40;
    EXPECT_EQ(model->SetCalibration(1), 0);
    EXPECT_EQ(model->m_nFullExposure, 0);
    EXPECT_EQ(model->m_nRollExposure, 0);
    EXPECT_EQ(trace->Count("Desired exposure value is out of range"), 0u);
    EXPECT_EQ(model->m_nBackgroundStage.load(), 1);
}

TEST_F(ScannerPipeline, AModelWithoutARollModeIsCalibratedInTheFullModeAlone) {
    model->m_RollFrame = {1, 1, 1, 0, 0};
    model->m_RollImage = model->m_RollFrame;
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    ASSERT_EQ(model->SetCalibration(0), 0);
    EXPECT_EQ(model->m_nVideoMode.load(), TK_VIDEO_FULL);
    EXPECT_EQ(model->m_nBackgroundStage.load(), 1);
    EXPECT_EQ(trace->Count("Enter ZarnScannerBase::ChageVideoMode(2, "), 0u);
    EXPECT_EQ(trace->Count("Could not find this mode"), 0u);
    EXPECT_EQ(device->CaptureMode(), 0);
    // The full pass set the model's brightness (property 0, vendor request 0xB8).
    const auto brightness = device->VendorWrites(0xB8);
    ASSERT_FALSE(brightness.empty());
    EXPECT_EQ(brightness.back().data.at(0), 2);
}

// The foot-switch thread polls every 500 ms and sleeps in between: over two seconds it waits a
// few times per poll (its pause and the key property's read), not in 50 ms slices; a stop request
// ends its pause.
TEST_F(ScannerPipeline, FootSwitchThreadSleepsBetweenItsPolls) {
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    ASSERT_EQ(model->CreateFootSwitchThread(), 0);
    auto footSwitch = [] {
        for (const platform::ThreadInfo& info : platform::ProcessThreads()) {
            if (info.name == "fp-footswitch") return info;
        }
        return platform::ThreadInfo{};
    };
    ASSERT_TRUE(WaitUntil([&] { return footSwitch().tid != 0; }, 5000));
    const long long before = footSwitch().waits;
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    const platform::ThreadInfo after = footSwitch();
    ASSERT_NE(after.tid, 0);
    // Five polls at most, each with its pause and a vendor read (a few waits at most).
    EXPECT_LE(after.waits - before, 5 * 4) << "waits in 2 s";
    model->ReleaseRes();
    EXPECT_EQ(footSwitch().tid, 0);
    g_pScanner = nullptr;
    model.reset();
}

TEST_F(ScannerPipeline, FootSwitchAndKeypadArePolledFromTheKeyProperty) {
    struct Keys {
        std::mutex mutex;
        int foot = 0;
        std::vector<int> keys;
        static void Foot(void* c) {
            auto* k = static_cast<Keys*>(c);
            std::lock_guard lock(k->mutex);
            ++k->foot;
        }
        static void Key(void* c, int key) {
            auto* k = static_cast<Keys*>(c);
            std::lock_guard lock(k->mutex);
            k->keys.push_back(key);
        }
    };
    static Keys keys;  // outlives the foot-switch thread
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    model->m_pCallbackContext = &keys;
    model->m_pfnFootSwitch = &Keys::Foot;
    model->m_pfnKeypad = &Keys::Key;
    model->m_nFootSwitchMessage = 4321;
    model->m_nFootSwitchEnabled = 1;
    model->m_nKeypadEnabled = 1;
    ASSERT_EQ(model->CreateFootSwitchThread(), 0);
    device->SetKeys(0x04);
    ASSERT_TRUE(WaitUntil([&] { std::lock_guard l(keys.mutex); return keys.foot >= 2; }, 5000));
    // Key 0 of the 0xC models is 8.
    device->SetKeys(0x08);
    ASSERT_TRUE(WaitUntil([&] { std::lock_guard l(keys.mutex); return !keys.keys.empty(); }, 5000));
    {
        std::lock_guard l(keys.mutex);
        EXPECT_EQ(keys.keys.front(), 0);
    }
    // With the foot switch disabled the pedal is no key of the keypad.
    model->m_nFootSwitchEnabled = 0;
    device->SetKeys(0x04);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    size_t seen;
    int feet;
    {
        std::lock_guard l(keys.mutex);
        seen = keys.keys.size();
        feet = keys.foot;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    {
        std::lock_guard l(keys.mutex);
        EXPECT_EQ(keys.keys.size(), seen);
        EXPECT_EQ(keys.foot, feet);
    }
    device->SetKeys(0);
}

TEST_F(ScannerPipeline, StopWithFramesInFlightThenRelease) {
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    ASSERT_EQ(model->EnterVideoMode(TK_VIDEO_FULL, 2), 0);
    model->m_nFrameRequest = 1;
    ASSERT_TRUE(WaitUntil([&] { return model->filtered.load() >= 1; }));
    // Stop while the camera keeps sending.
    EXPECT_EQ(model->StopStream(), 0);
    const int stopped = model->filtered.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(model->filtered.load(), stopped);
    EXPECT_EQ(model->StopStream(), 0);
    // Restart, then release with frames flowing: the graph stops before the buffers go.
    EXPECT_EQ(model->StartStream(), 0);
    ASSERT_TRUE(WaitUntil([&] { return model->filtered.load() > stopped; }));
    EXPECT_EQ(model->ReleaseRes(), 0);
    EXPECT_EQ(Threads().imgProcStop.load(), 2);
    EXPECT_EQ(Threads().autoCaptureStop.load(), 2);
    EXPECT_EQ(model->m_pDxBuf1, nullptr);
    model.reset();
}

TEST_F(ScannerPipeline, RemovalIsSeenByTheConnectionPoll) {
    model->m_pCallbackContext = &connections;
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    model->m_pfnDeviceConnected = &Connections::Callback;
    ASSERT_TRUE(WaitUntil([&] { return connections.Seen().size() >= 3; }, 3000));
    for (int c : connections.Seen()) EXPECT_EQ(c, 1);
    device->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return !connections.Seen().empty() && connections.Seen().back() == 0; }, 3000));
    EXPECT_TRUE(trace->WaitFor("Scanner has been disconnected.", 2000));
}

// Two scanners of one model: the device index picks the camera among the matching ones.
class TwoScanners : public ScannerPipeline {
protected:
    std::string ScenarioText() const override {
        return "period-scale " + std::to_string(0.25 * scannertest::Slowdown()) +
               "\ndevice s1 PloverA serial 11\ndevice s2 PloverA serial 22\n";
    }
    void TearDown() override {
        g_nDeviceIndex = 0;
        ScannerPipeline::TearDown();
    }
};

TEST_F(TwoScanners, DeviceIndexBindsTheMatchingCameraInOrder) {
    auto second = bus->Device("s2");
    ASSERT_TRUE(second);
    g_nDeviceIndex = 1;
    ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    ASSERT_TRUE(WaitUntil([&] { return second->Streaming(); }));
    EXPECT_FALSE(device->Streaming());
    // An index beyond the matching cameras finds none: the build fails and leaves no graph.
    g_nDeviceIndex = 2;
    EXPECT_EQ(model->ChageVideoMode(TK_VIDEO_FULL, 1), ZARN_ERR_GRAPH_BUILD);
    EXPECT_TRUE(trace->WaitFor("No video capture device was detected on your system.", 2000));
    EXPECT_FALSE(model->IsDeviceConnected());
}
