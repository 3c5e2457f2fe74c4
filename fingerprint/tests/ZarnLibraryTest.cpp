// The exported library on simulated scanners, through the camera driver and the video-capture
// layer: the service's own call sequence on PloverA, the other flat types, a roll, VireoA, abort,
// manual capture, unplug and replug, keys and foot switch, PloverE, and the feedback of hands that
// do not hold still. Expected finger positions come from the renderer's ground truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <bit>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "CaptureRig.h"
#include "TestScanner.h"
#include "sim/Optics.h"
#include "sim/Render.h"
#include "zarn/ZarnEssentialsApi.h"

#include "ModelFactory.h"
#include "models/ZarnScannerPloverC.h"

using scannertest::DarkCentroid;
using scannertest::TraceLines;
using scannertest::WaitUntil;
using scannertest::Writes;

namespace {

const bool kSlotIsolated = [] {
    setenv("TESSIK_TRACE_SLOT", ("TessikZarnLibraryTests-" + std::to_string(getpid())).c_str(), 1);
    setenv("TESSIK_DEBUG_DIR",
           (std::filesystem::temp_directory_path() / ("tessik-zarn-" + std::to_string(getpid()))).c_str(), 1);
    return true;
}();

// Everything the callbacks saw.
struct Events {
    struct Quality {
        int state, q[4], found;
    };
    struct Result {
        ZarnImageInfo info{};
        std::vector<uint8_t> pixels;
        int status = -1, imageType = -1;
    };
    std::mutex mutex;
    int previews = 0;
    ZarnImageInfo lastPreview{};
    std::vector<Quality> qualities;
    std::vector<Result> results;
    std::vector<int> connected;
    int foot = 0;
    std::vector<int> keys;
    // While set, the result callback keeps the acquisition waiting (at most 10 s), as a caller
    // does that waits in it for a lock held around its Abort.
    std::atomic<bool> holdResults{false};
    std::atomic<int> resultsEntered{0};

    static Events* Of(void* c) { return static_cast<Events*>(c); }
    static void Preview(void* c, ZarnImageInfo info) {
        std::lock_guard lock(Of(c)->mutex);
        ++Of(c)->previews;
        Of(c)->lastPreview = info;
    }
    static void ResultImage(void* c, int status, ZarnImageInfo info, int type, int) {
        ++Of(c)->resultsEntered;
        for (int i = 0; i < 1000 && Of(c)->holdResults.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        Result r;
        r.info = info;
        r.pixels.assign(info.image, info.image + size_t(info.width) * size_t(info.height));
        r.status = status, r.imageType = type;
        std::lock_guard lock(Of(c)->mutex);
        Of(c)->results.push_back(std::move(r));
    }
    static void ObjectQuality(void* c, int state, int* q, int found) {
        std::lock_guard lock(Of(c)->mutex);
        Of(c)->qualities.push_back({state, {q[0], q[1], q[2], q[3]}, found});
    }
    static void Connected(void* c, int on) {
        std::lock_guard lock(Of(c)->mutex);
        Of(c)->connected.push_back(on);
    }
    static void Foot(void* c) {
        std::lock_guard lock(Of(c)->mutex);
        ++Of(c)->foot;
    }
    static void Key(void* c, int key) {
        std::lock_guard lock(Of(c)->mutex);
        Of(c)->keys.push_back(key);
    }
    static void Taking(void*) {}

    int Previews() {
        std::lock_guard lock(mutex);
        return previews;
    }
    size_t Results() {
        std::lock_guard lock(mutex);
        return results.size();
    }
    std::vector<Quality> Qualities() {
        std::lock_guard lock(mutex);
        return qualities;
    }
};

// What the renderer put on the platen for a layout: the fingertip contacts on an upright 500-ppi
// canvas of the flat result's size, centred on the platen centre.
sim::SceneTruth Truth(sim::FingerLayout layout, int width, int height, double rotation = 0, double offsetYmm = 0) {
    sim::FingerScene s;
    s.platen.width = width;
    s.platen.height = height;
    s.platen.ppiX = s.platen.ppiY = 500;
    s.platen.noise = 0;
    s.layout = layout;
    s.rotationDeg = rotation;
    s.offsetYmm = offsetYmm;
    sim::SceneTruth truth;
    sim::RenderFingers(s, 1, &truth);
    return truth;
}

// Height of the keystone-corrected full frame of a model: the result keeps its top rows.
int CorrectedHeight(const sim::ModelTraits& traits, const DistortionSet& set) {
    const sim::ModeGeometry& g = sim::Mode(traits, 0);
    std::vector<uint8_t> frame(size_t(g.sceneWidth) * size_t(g.sceneHeight), 255);
    auto* handle = LiveScanAlg::TDistortionCorrectInit();
    LiveScanAlg::DistortionCorrectionRecord rec{};
    rec.Height = g.sceneHeight, rec.Width = g.sceneWidth;
    rec.A = set.values[0], rec.B = set.values[1], rec.L = set.values[2], rec.E = set.values[3], rec.G = set.values[4],
    rec.K = set.values[5];
    EXPECT_EQ(LiveScanAlg::TDistortionCorrectEx(handle, frame.data(), &rec), 0);
    LiveScanAlg::TDistortionCorrectRelease(&handle);
    return rec.OutputHeight;
}

class ZarnLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kSlotIsolated);
        const double slowdown = scannertest::Slowdown() * WaitScale();
        ZarnScannerBase::s_nWaitScale = int(slowdown);
        trace = std::make_unique<TraceLines>();
        ASSERT_TRUE(trace->IsOpen());
        bus = std::make_unique<capturetest::Bus>(ScenarioText(), slowdown);
        device = bus->Device("s1");
        ASSERT_TRUE(device);
    }
    void TearDown() override {
        if (HasFailure() && std::getenv("TESSIK_DUMP_TRACE"))
            for (const auto& l : trace->Lines()) std::fprintf(stderr, "%s\n", l.c_str());
        if (g_pScanner.load() != nullptr) Zarn_Main_DeInitialize();
        bus.reset();
        trace.reset();
    }
    virtual std::string ScenarioText() const { return Scenario("PloverA", 0.25); }
    // Stretches the library's frame waits and the driver's time-outs for sensors whose frames take
    // the simulator long to draw.
    virtual int WaitScale() const { return 1; }
    static std::string Scenario(const char* model, double periodScale) {
        return "period-scale " + std::to_string(periodScale * scannertest::Slowdown()) + "\ndevice s1 " + model + "\n";
    }

    // What the service does when it finds a scanner.
    void Connect(int type, bool calibrate = true) {
        ZarnConnectedScanners found{};
        ASSERT_EQ(Zarn_Main_GetConnectedScanner(&found), 0);
        ASSERT_EQ(Zarn_Main_Initialize(type), 0);
        void* c = &events;
        ASSERT_EQ(Zarn_Capture_RegisterCallbackPreviewImage(&Events::Preview, c), 0);
        ASSERT_EQ(Zarn_Capture_RegisterCallbackTakingResultImage(&Events::Taking, c), 0);
        ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Events::ResultImage, c), 0);
        ASSERT_EQ(Zarn_Capture_RegisterCallbackFootSwitch(&Events::Foot, c), 0);
        ASSERT_EQ(Zarn_Capture_RegisterCallbackObjectQuality(&Events::ObjectQuality, c), 0);
        ASSERT_EQ(Zarn_Capture_RegisterCallbackDeviceIsConnected(&Events::Connected, c), 0);
        ASSERT_EQ(Zarn_Capture_SetRollParameters(100, 1, 25000, 0.202f, 36, -400, 500), 0);
        if (calibrate) {
            ASSERT_EQ(Zarn_Capture_Calibration(), 0);
        }
    }

    // What the service does for a capture request.
    void StartCapture(int imageType, int fingers, int liveDetect = 1) {
        int w = 0, h = 0, xr = 0, yr = 0;
        ASSERT_EQ(Zarn_Capture_SetMode(imageType, 500, liveDetect, 0, &w, &h, &xr, &yr), 0);
        ASSERT_EQ(Zarn_Capture_SetAutoCapInfo(250, 230, 1.0, 12, 2, 10, 10, 15, 3000), 0);
        ASSERT_EQ(Zarn_Capture_Start(fingers, 1), 0);
    }

    ZarnRunningInfo Running() {
        ZarnRunningInfo r{};
        EXPECT_EQ(Zarn_Main_GetRunningInfo(&r), 0);
        return r;
    }

    // Checks that each finger of the layout lies in the (bottom-up) result where the renderer put
    // it: `place` maps a point of the renderer's upright 500-ppi canvas (of the result's size unless
    // given) to the upright result. The hand may have been moved down by `offsetYmm`.
    using Placement = std::function<std::pair<double, double>(double, double)>;
    void ExpectFingersAt(const Events::Result& result, sim::FingerLayout layout, size_t fingers, const Placement& place,
                         double offsetYmm = 0, int canvasWidth = 0, int canvasHeight = 0) {
        const int w = result.info.width, h = result.info.height;
        std::vector<uint8_t> upright(result.pixels);
        for (int r = 0; r < h / 2; ++r)
            std::swap_ranges(upright.begin() + r * w, upright.begin() + (r + 1) * w, upright.begin() + (h - 1 - r) * w);
        const sim::SceneTruth truth = Truth(layout, canvasWidth > 0 ? canvasWidth : w, canvasHeight > 0 ? canvasHeight : h, 0, offsetYmm);
        ASSERT_EQ(truth.fingers.size(), fingers);
        for (const sim::FingerTruth& f : truth.fingers) {
            SCOPED_TRACE(testing::Message() << "finger " << f.isoFinger);
            const auto [l, t] = place(f.left, f.top);
            const auto [r, b] = place(f.right, f.bottom);
            const auto [cx, cy] = place(f.centreX, f.centreY);
            double x = 0, y = 0;
            ASSERT_TRUE(DarkCentroid(upright, w, h, int(l), int(t), int(r), int(b), &x, &y));
            EXPECT_NEAR(x, cx, 6);
            EXPECT_NEAR(y, cy, 6);
        }
    }
    // After the keystone correction, which keeps the corrected frame's top rows.
    void ExpectFingersWhereTheyWerePut(const Events::Result& result, sim::FingerLayout layout, int correctedHeight,
                                       size_t fingers) {
        const double shiftY = correctedHeight / 2.0 - result.info.height / 2.0;
        ExpectFingersAt(result, layout, fingers, [&](double x, double y) { return std::pair{x, y + shiftY}; });
    }

    std::unique_ptr<TraceLines> trace;
    std::unique_ptr<capturetest::Bus> bus;
    std::shared_ptr<sim::SimDevice> device;
    Events events;  // outlives the library's threads: TearDown releases the scanner first
};

}  // namespace

TEST_F(ZarnLibrary, PloverAInTheServiceCallSequence) {
    ZarnConnectedScanners found{};
    ASSERT_EQ(Zarn_Main_GetConnectedScanner(&found), 0);
    EXPECT_EQ(found.entries[0], 1);
    EXPECT_EQ(found.entries[ZARN_FAMILY_PLOVER_A], 1);
    ASSERT_NO_FATAL_FAILURE(Connect(502));
    EXPECT_TRUE(trace->WaitFor("GetScannerName(Tessik PloverA)", 2000));
    EXPECT_TRUE(trace->WaitFor("Enter Zarn_Capture_SetRollParameters(100, 1, 25000, 0.202000, 36, -400, 500)", 2000));
    EXPECT_TRUE(trace->WaitFor("Exit  Zarn_Capture_Calibration()=0", 2000));
    // The device record from the first frame's device text.
    ZarnDeviceInfo info{};
    ASSERT_EQ(Zarn_Main_GetDeviceInfo(&info), 0);
    EXPECT_EQ(info.resolution, 500u);
    EXPECT_STREQ(info.vendor, "Tessik Systems");
    EXPECT_STREQ(info.model, "PloverA");
    EXPECT_STREQ(info.serialNumber, std::to_string(device->config().serial).c_str());

    StartCapture(ZARN_IMAGE_SLAP_RIGHT, 4);
    EXPECT_TRUE(trace->WaitFor("Enter Zarn_Capture_SetAutoCapInfo(250, 230, 1.000000, 12, 2, 10, 10, 15, 3000)", 2000));
    // Empty-platen frames first (the platen check after a calibration), then the hand.
    ASSERT_TRUE(WaitUntil([&] { return events.Previews() >= 2; }, 20000));
    {
        std::lock_guard lock(events.mutex);
        EXPECT_EQ(events.lastPreview.width, 800);
        EXPECT_EQ(events.lastPreview.height, 750);
        EXPECT_EQ(events.lastPreview.xResolution, 250);
        EXPECT_EQ(events.lastPreview.rowOrder, -1);
        EXPECT_EQ(events.lastPreview.isResult, 0);
    }
    device->Apply({sim::DeviceAction::Place, sim::FingerLayout::RightSlap});
    ASSERT_TRUE(WaitUntil([&] { return events.Results() >= 1; }, 30000));

    // Four good fingers were reported before the automatic capture.
    const auto qualities = events.Qualities();
    EXPECT_TRUE(std::any_of(qualities.begin(), qualities.end(), [](const Events::Quality& q) {
        return q.state == 0 && q.found == 4 && q.q[0] == 1 && q.q[1] == 1 && q.q[2] == 1 && q.q[3] == 1;
    }));
    // The state LEDs (group 1) lit the second LED of each finger, the blinking (group 0) showed the
    // right slap, and all went dark with the result.
    const auto group1 = Writes(*device, 0x80), group0 = Writes(*device, 0x81);
    EXPECT_NE(std::find(group1.begin(), group1.end(), 0xAA), group1.end());
    EXPECT_NE(std::find(group0.begin(), group0.end(), 0xF7), group0.end());
    ASSERT_FALSE(group1.empty());
    EXPECT_EQ(group1.back(), 0xFF);
    EXPECT_EQ(group0.back(), 0xFF);

    Events::Result result;
    {
        std::lock_guard lock(events.mutex);
        result = events.results.front();
    }
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.imageType, ZARN_IMAGE_SLAP_RIGHT);
    EXPECT_EQ(result.info.width, 1600);
    EXPECT_EQ(result.info.height, 1500);
    EXPECT_EQ(result.info.xResolution, 500);
    EXPECT_EQ(result.info.yResolution, 500);
    EXPECT_EQ(result.info.typeValue, 3.0);
    EXPECT_EQ(result.info.isResult, 1);
    EXPECT_EQ(result.info.rowOrder, -1);
    const DistortionSet set = {{701, 678, 496, 614, 404, 404}};
    ExpectFingersWhereTheyWerePut(result, sim::FingerLayout::RightSlap,
                                  CorrectedHeight(sim::Traits(sim::ModelId::PloverA), set), 4);
    // The service's view: finished, result taken, no error.
    ZarnRunningInfo r = Running();
    EXPECT_EQ(r.fingerprint.finished, 1);
    EXPECT_EQ(r.fingerprint.resultTaken, 1);
    EXPECT_EQ(r.fingerprint.captureStatus, 0);
    EXPECT_EQ(Zarn_Capture_Start(4, 1), ZARN_ERR_CAPTURE_FINISHED);
    EXPECT_EQ(Zarn_Capture_SetCaptureOK(), 0);

    // The service's beep after a result: pattern 3 is one beep of 100 ms on property 13.
    const size_t beeps = Writes(*device, 0x82).size();
    EXPECT_EQ(Zarn_Controls_Beeper(3), 0);
    const auto after = Writes(*device, 0x82);
    ASSERT_EQ(after.size(), beeps + 3);
    EXPECT_EQ(std::vector<uint8_t>(after.end() - 3, after.end()), (std::vector<uint8_t>{1, 0, 0}));

    // The next captures in a row: left slap, two thumbs and a single finger, each automatic.
    const int corrected = CorrectedHeight(sim::Traits(sim::ModelId::PloverA), set);
    // The single finger lies low on the platen, where the crop of the lower centre takes it.
    struct Case {
        int imageType, fingers;
        sim::FingerLayout layout;
        int width, height;
        double downMm;
    } cases[] = {
        {ZARN_IMAGE_SLAP_LEFT, 4, sim::FingerLayout::LeftSlap, 1600, 1500, 0},
        {ZARN_IMAGE_TWO_THUMBS, 2, sim::FingerLayout::TwoThumbs, 1600, 1500, 0},
        {24, 1, sim::FingerLayout::SingleFinger, 800, 750, 17},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << "image type " << k.imageType);
        device->Apply({sim::DeviceAction::Empty});
        const size_t before = events.Results();
        {
            std::lock_guard lock(events.mutex);
            events.qualities.clear();
        }
        const int previews = events.Previews();
        StartCapture(k.imageType, k.fingers);
        ASSERT_TRUE(WaitUntil([&] { return events.Previews() >= previews + 2; }, 20000));
        device->Apply({sim::DeviceAction::Place, k.layout});
        if (k.downMm != 0) device->Apply({sim::DeviceAction::Move, sim::FingerLayout::None, 0, k.downMm});
        ASSERT_TRUE(WaitUntil([&] { return events.Results() > before; }, 30000));
        const auto qualities = events.Qualities();
        EXPECT_TRUE(std::any_of(qualities.begin(), qualities.end(), [&](const Events::Quality& q) {
            return q.state == 0 && q.found == k.fingers;
        }));
        Events::Result result;
        {
            std::lock_guard lock(events.mutex);
            result = events.results.back();
        }
        EXPECT_EQ(result.imageType, k.imageType);
        EXPECT_EQ(result.info.width, k.width);
        EXPECT_EQ(result.info.height, k.height);
        EXPECT_EQ(result.info.xResolution, 500);
        if (k.width == 1600) {
            ExpectFingersWhereTheyWerePut(result, k.layout, corrected, size_t(k.fingers));
        } else {
            // The lower middle quarter of the corrected 1600 x 1500 image.
            const double shiftY = corrected / 2.0 - 1500 / 2.0;
            ExpectFingersAt(result, k.layout, 1, [&](double x, double y) { return std::pair{x - 400, y + shiftY - 750}; },
                            k.downMm, 1600, 1500);
        }
    }

    // Abort while the hand is on its way: no result, the capture is finished.
    device->Apply({sim::DeviceAction::Empty});
    const size_t results = events.Results();
    StartCapture(ZARN_IMAGE_SLAP_RIGHT, 4);
    const int previews = events.Previews();
    ASSERT_TRUE(WaitUntil([&] { return events.Previews() >= previews + 1; }, 20000));
    EXPECT_EQ(Zarn_Capture_Abort(), 0);
    device->Apply({sim::DeviceAction::Place, sim::FingerLayout::RightSlap});
    std::this_thread::sleep_for(std::chrono::milliseconds(int(500 * scannertest::Slowdown())));
    EXPECT_EQ(events.Results(), results);
    r = Running();
    EXPECT_EQ(r.fingerprint.finished, 1);
    EXPECT_EQ(r.fingerprint.captureStarted, 0);
    EXPECT_EQ(r.fingerprint.liveDetection, 0);
    EXPECT_EQ(Zarn_Capture_Start(4, 1), ZARN_ERR_CAPTURE_FINISHED);
    EXPECT_EQ(Zarn_Capture_TakeResultImage(), ZARN_ERR_CAPTURE_FINISHED);

    // Manual capture: no live detection, the caller takes and acquires the result.
    StartCapture(ZARN_IMAGE_SLAP_RIGHT, 4, 0);
    ASSERT_TRUE(WaitUntil([&] { return events.Previews() >= previews + 3; }, 20000));
    EXPECT_EQ(Zarn_Capture_AcquireResultImage(), ZARN_ERR_CAPTURE_STATE);
    ASSERT_EQ(Zarn_Capture_TakeResultImage(), 0);
    EXPECT_EQ(Zarn_Capture_TakeResultImage(), ZARN_ERR_CAPTURE_STATE);
    EXPECT_TRUE(trace->WaitFor("Enter Zarn_Capture_TakeResultImage_3()", 2000));
    EXPECT_EQ(events.Results(), results);
    ASSERT_EQ(Zarn_Capture_AcquireResultImage(), 0);
    ASSERT_EQ(events.Results(), results + 1);
    {
        std::lock_guard lock(events.mutex);
        EXPECT_EQ(events.results.back().info.width, 1600);
    }
    r = Running();
    EXPECT_EQ(r.fingerprint.finished, 1);
    EXPECT_EQ(Zarn_Capture_Start(4, 1), ZARN_ERR_CAPTURE_FINISHED);

    // The two LED groups of the panel on the running scanner: each write reaches its own property
    // and reads back; group 2 belongs to the newer scanners, and other groups do nothing.
    const size_t writes0 = Writes(*device, 0x81).size(), writes1 = Writes(*device, 0x80).size();
    ASSERT_EQ(Zarn_Controls_SetLEDs(0, 0x5A), 0);
    ASSERT_EQ(Zarn_Controls_SetLEDs(1, 0x3C), 0);
    const auto g0 = Writes(*device, 0x81), g1 = Writes(*device, 0x80);
    EXPECT_EQ(std::vector<uint8_t>(g0.begin() + long(writes0), g0.end()), std::vector<uint8_t>{0x5A});
    EXPECT_EQ(std::vector<uint8_t>(g1.begin() + long(writes1), g1.end()), std::vector<uint8_t>{0x3C});
    int led = -1;
    EXPECT_EQ(Zarn_Controls_GetLEDs(0, &led), 0);
    EXPECT_EQ(led, 0x5A);
    EXPECT_EQ(Zarn_Controls_GetLEDs(1, &led), 0);
    EXPECT_EQ(led, 0x3C);
    EXPECT_EQ(Zarn_Controls_GetLEDs(2, &led), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(Zarn_Controls_SetLEDs(3, 0x00), 0);
    EXPECT_EQ(Zarn_Controls_GetLEDs(3, &led), 0);
    EXPECT_EQ(led, 0x3C);
    EXPECT_EQ(Writes(*device, 0x81).size(), g0.size());
    EXPECT_EQ(Writes(*device, 0x80).size(), g1.size());
    // Blink steps alternate the right slap's LEDs (group 0) with all dark.
    for (int i = 0; i < 3; ++i) g_pScanner.load()->BlinkLEDs();
    const auto blinks = Writes(*device, 0x81);
    ASSERT_EQ(blinks.size(), g0.size() + 3);
    const std::vector<uint8_t> steps(blinks.end() - 3, blinks.end());
    EXPECT_TRUE(steps == (std::vector<uint8_t>{0xF7, 0xFF, 0xF7}) || steps == (std::vector<uint8_t>{0xFF, 0xF7, 0xFF}));

    // The foot switch and a key through their callbacks.
    void* c = &events;
    ASSERT_EQ(Zarn_Capture_RegisterCallbackKeypad(&Events::Key, c), 0);
    device->SetKeys(0x04);
    ASSERT_TRUE(WaitUntil([&] { std::lock_guard l(events.mutex); return events.foot >= 1; }, 5000));
    device->SetKeys(0x08);
    ASSERT_TRUE(WaitUntil([&] { std::lock_guard l(events.mutex); return !events.keys.empty(); }, 5000));
    device->SetKeys(0);
    std::lock_guard l(events.mutex);
    EXPECT_EQ(events.keys.front(), 0);
}

// The stitcher must see every frame of the roll: the frames come at the scanner's own rate.
class ZarnLibraryRoll : public ZarnLibrary {
protected:
    std::string ScenarioText() const override { return Scenario("PloverA", 0.75); }
};

TEST_F(ZarnLibraryRoll, PloverARollEndsThroughTheQualityCheckWithTheRollResult) {
    ASSERT_EQ(Zarn_Main_Initialize(502), 0);
    void* c = &events;
    ASSERT_EQ(Zarn_Capture_RegisterCallbackPreviewImage(&Events::Preview, c), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Events::ResultImage, c), 0);
    ASSERT_EQ(Zarn_Capture_SetRollParameters(100, 1, 25000, 0.202f, 36, -400, 500), 0);
    int w = 0, h = 0, xr = 0, yr = 0;
    ASSERT_EQ(Zarn_Capture_SetMode(16, 500, 0, 0, &w, &h, &xr, &yr), 0);
    EXPECT_EQ(w, 800);
    EXPECT_EQ(h, 750);
    EXPECT_EQ(xr, 500);
    EXPECT_EQ(device->CaptureMode(), 1);
    EXPECT_TRUE(trace->WaitFor("Call MM_mmRollStitchCreate(w=1408, h=880, r=500, r=500), return code = 0", 2000));
    ASSERT_EQ(Zarn_Capture_Start(2, 1), ZARN_ERR_BAD_ARGUMENT);
    ASSERT_EQ(Zarn_Capture_Start(1, 1), 0);
    ASSERT_EQ(Zarn_Capture_SetStartRollingFlag(1), 0);
    ASSERT_TRUE(WaitUntil([&] { return events.Previews() >= 2; }, 20000));
    // A roll is still running: nothing to take yet.
    EXPECT_EQ(Zarn_Capture_TakeResultImage(), ZARN_ERR_CAPTURE_STATE);
    ASSERT_NO_FATAL_FAILURE(scannertest::RollAndLift(*device, 30, 2, 30000));
    ZarnRunningInfo r = Running();
    EXPECT_EQ(r.fingerprint.rollingStarted, 0);
    EXPECT_EQ(r.fingerprint.captureStarted, 0);
    EXPECT_TRUE(trace->WaitFor("Called IsFingerOnPack()=0", 2000));
    // The finger did not slide: the image mask of the roll is empty, 600,000 bytes of it.
    std::vector<uint8_t> mask(600000 + 16, 77);
    ASSERT_EQ(Zarn_Capture_GetImageMask(mask.data()), 0);
    EXPECT_EQ(std::count(mask.begin(), mask.begin() + 600000, uint8_t(0)), 600000);
    EXPECT_EQ(std::count(mask.begin() + 600000, mask.end(), uint8_t(77)), 16);
    // The roll's frames as bitmaps, one file each.
    const int rolled = g_pScanner.load()->m_nRollFrames.load();
    EXPECT_GE(rolled, 20);
    ASSERT_EQ(Zarn_Capture_SaveRollingFrame(), 0);
    const std::filesystem::path debug(std::getenv("TESSIK_DEBUG_DIR"));
    int files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(debug / "RollingSpeed"))
        files += e.path().extension() == ".bmp" && std::filesystem::file_size(e.path()) > size_t(1408 * 880);
    EXPECT_EQ(files, std::min(rolled, kRollHistoryFrames));
    std::filesystem::remove_all(debug);

    ASSERT_EQ(Zarn_Capture_TakeResultImage(), 0);
    ASSERT_EQ(Zarn_Capture_AcquireResultImage(), 0);
    ASSERT_EQ(events.Results(), 1u);
    std::lock_guard lock(events.mutex);
    const Events::Result& result = events.results.front();
    EXPECT_EQ(result.imageType, 16);
    EXPECT_EQ(result.info.width, 800);
    EXPECT_EQ(result.info.height, 750);
    EXPECT_EQ(result.info.xResolution, 500);
    EXPECT_EQ(result.info.typeValue, 10.0);
    EXPECT_EQ(result.info.isResult, 1);
    // The rolled print is wider than a flat touch: the renderer's rolled width at 500 ppi.
    int left = 0, right = 0;
    scannertest::DarkColumns(result.pixels, 800, 750, 100, &left, &right);
    ASSERT_GT(right, left);
    EXPECT_NEAR(right - left, scannertest::RolledPrintWidthPx(500), 60);
}

class ZarnLibraryVireo : public ZarnLibrary {
protected:
    std::string ScenarioText() const override { return Scenario("VireoA", 0.25); }
};

TEST_F(ZarnLibraryVireo, VireoASingleFinger) {
    ZarnConnectedScanners found{};
    ASSERT_EQ(Zarn_Main_GetConnectedScanner(&found), 0);
    EXPECT_EQ(found.entries[ZARN_FAMILY_VIREO_A], 1);
    ASSERT_EQ(Zarn_Main_Initialize(401), 0);
    void* c = &events;
    ASSERT_EQ(Zarn_Capture_RegisterCallbackPreviewImage(&Events::Preview, c), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Events::ResultImage, c), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackObjectQuality(&Events::ObjectQuality, c), 0);
    ZarnDeviceInfo info{};
    ASSERT_EQ(Zarn_Main_GetDeviceInfo(&info), 0);
    EXPECT_STREQ(info.model, "VireoA");
    // The exposure search on the empty platen ends at the lowest exposure whose frame passes the
    // mean threshold 220: by the simulated sensor, the platen centre reaches it there, while one
    // step lower the darkened corners stay below it. The camera starts at exposure 40.
    ASSERT_EQ(Zarn_Capture_Calibration(), 0);
    const auto exposures = Writes(*device, 0xB4);
    ASSERT_FALSE(exposures.empty());
    sim::PlatenParams platen;
    platen.base = sim::Traits(sim::ModelId::VireoA).platenBase;
    platen.gain = sim::Traits(sim::ModelId::VireoA).platenGain;
    platen.exposure = exposures.back();
    EXPECT_GE(sim::SensorLevel(platen, 1.0), 220 - 1);
    platen.exposure = exposures.back() - 1;
    EXPECT_LT(sim::SensorLevel(platen, 1.0 - platen.vignetting), 220);
    // A short walk near the start in each of the two passes (a frame may still show the exposure
    // before), not a climb of sixty steps.
    EXPECT_LE(exposures.size(), 20u) << testing::PrintToString(std::vector<int>(exposures.begin(), exposures.end()));
    // The LED panel and beeper set-up of the ten-print scanners is not this model's.
    EXPECT_TRUE(trace->WaitFor("Exit  Zarn_Main_GetDeviceInfo()=0", 2000));
    EXPECT_EQ(trace->Count("Enter ZarnScannerBase::ShutoffAllLight()"), 0u);
    int w = 0, h = 0, xr = 0, yr = 0;
    EXPECT_EQ(Zarn_Capture_SetMode(2, 500, 1, 0, &w, &h, &xr, &yr), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(Zarn_Capture_SetMode(24, 1000, 1, 0, &w, &h, &xr, &yr), ZARN_ERR_BAD_ARGUMENT);
    StartCapture(24, 1);
    ASSERT_TRUE(WaitUntil([&] { return events.Previews() >= 2; }, 20000));
    {
        std::lock_guard lock(events.mutex);
        EXPECT_EQ(events.lastPreview.width, 800);
        EXPECT_EQ(events.lastPreview.height, 750);
        EXPECT_EQ(events.lastPreview.xResolution, 500);
    }
    device->Apply({sim::DeviceAction::Place, sim::FingerLayout::SingleFinger});
    ASSERT_TRUE(WaitUntil([&] { return events.Results() >= 1; }, 30000));
    const auto qualities = events.Qualities();
    EXPECT_TRUE(std::any_of(qualities.begin(), qualities.end(),
                            [](const Events::Quality& q) { return q.state == 0 && q.found == 1 && q.q[0] == 1; }));
    Events::Result result;
    {
        std::lock_guard lock(events.mutex);
        result = events.results.front();
    }
    EXPECT_EQ(result.info.width, 800);
    EXPECT_EQ(result.info.height, 750);
    EXPECT_EQ(result.info.xResolution, 500);
    const DistortionSet set = {{1350, 1496, 930, 0, 750, 808}};
    ExpectFingersWhereTheyWerePut(result, sim::FingerLayout::SingleFinger,
                                  CorrectedHeight(sim::Traits(sim::ModelId::VireoA), set), 1);
    // No LEDs and no beeper on this model.
    EXPECT_EQ(Zarn_Controls_Beeper(1), ZARN_ERR_NOT_SUPPORTED);
    const uint8_t state[8] = {};
    EXPECT_EQ(Zarn_Controls_SetStateLEDs(24, state), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_TRUE(device->VendorWrites(0x80).empty());
    EXPECT_TRUE(device->VendorWrites(0x82).empty());

    // A manual capture taken but not yet acquired: Abort waits for the acquisition before it
    // stops the stream, and the result still arrives.
    ASSERT_EQ(Zarn_Capture_SetMode(24, 500, 0, 0, &w, &h, &xr, &yr), 0);
    ASSERT_EQ(Zarn_Capture_Start(1, 0), 0);
    ASSERT_EQ(Zarn_Capture_TakeResultImage(), 0);
    std::atomic<bool> aborted{false};
    int abortResult = -9;
    std::thread abort([&] {
        abortResult = Zarn_Capture_Abort();
        aborted = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(int(400 * scannertest::Slowdown())));
    EXPECT_FALSE(aborted.load());
    EXPECT_EQ(Zarn_Capture_AcquireResultImage(), 0);
    abort.join();
    EXPECT_EQ(abortResult, 0);
    EXPECT_EQ(events.Results(), 2u);
    EXPECT_EQ(Running().fingerprint.captureStarted, 0);

    // An acquisition held in the result callback: Abort waits 50 polls of 100 ms for it, then
    // stops the capture regardless. The next capture starts while the callback still runs; when
    // it returns, the late acquisition leaves the new capture alone, which takes its own result.
    ASSERT_EQ(Zarn_Capture_SetMode(24, 500, 0, 0, &w, &h, &xr, &yr), 0);
    ASSERT_EQ(Zarn_Capture_Start(1, 0), 0);
    ASSERT_EQ(Zarn_Capture_TakeResultImage(), 0);
    events.holdResults = true;
    int lateResult = -9;
    std::thread late([&] { lateResult = Zarn_Capture_AcquireResultImage(); });
    const bool held = WaitUntil([&] { return events.resultsEntered.load() == 3; }, 10000);
    const auto abortStart = std::chrono::steady_clock::now();
    const int aborted5s = held ? Zarn_Capture_Abort() : -9;
    const double abortSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - abortStart).count();
    ZarnRunningInfo r = Running();
    const int nextMode = Zarn_Capture_SetMode(24, 500, 0, 0, &w, &h, &xr, &yr), nextStart = Zarn_Capture_Start(1, 0);
    events.holdResults = false;
    late.join();
    ASSERT_TRUE(held);
    EXPECT_EQ(aborted5s, 0);
    EXPECT_GE(abortSeconds, 5.0);
    EXPECT_LT(abortSeconds, 5.0 + 2.0 * scannertest::Slowdown());
    EXPECT_EQ(r.fingerprint.finished, 1);
    EXPECT_EQ(r.fingerprint.captureStarted, 0);
    EXPECT_EQ(r.fingerprint.resultTaken, 1);
    ASSERT_EQ(nextMode, 0);
    ASSERT_EQ(nextStart, 0);
    EXPECT_EQ(lateResult, ZARN_ERR_CAPTURE_FINISHED);
    r = Running();
    EXPECT_EQ(r.fingerprint.finished, 0);
    EXPECT_EQ(r.fingerprint.captureStarted, 1);
    EXPECT_EQ(r.fingerprint.resultTaken, 0);
    EXPECT_EQ(Zarn_Capture_Start(1, 0), ZARN_ERR_CAPTURE_STATE);
    ASSERT_EQ(Zarn_Capture_TakeResultImage(), 0);
    ASSERT_EQ(Zarn_Capture_AcquireResultImage(), 0);
    EXPECT_EQ(events.resultsEntered.load(), 4);
    EXPECT_EQ(events.Results(), 4u);
    EXPECT_EQ(Zarn_Capture_Start(1, 0), ZARN_ERR_CAPTURE_FINISHED);

    // Stand-by and fast start-up run the release and the initialisation, each inside its own lines.
    const size_t mark = trace->Lines().size();
    ASSERT_EQ(Zarn_Main_StandBy(), 0);
    EXPECT_EQ(g_pScanner.load(), nullptr);
    ASSERT_EQ(Zarn_Main_FastStartup(401), 0);
    EXPECT_EQ(Zarn_Main_FastStartup(401), ZARN_ERR_ALREADY_INITIALIZED);
    ASSERT_TRUE(trace->WaitFor("Exit  Zarn_Main_FastStartup()=-607", 2000));
    std::vector<std::string> lines;
    const auto all = trace->Lines();
    for (size_t i = mark; i < all.size(); ++i)
        if (all[i].find(" Zarn_Main_") != std::string::npos) lines.push_back(all[i]);
    // Lines of the calls before may still come in after the mark.
    lines.erase(lines.begin(), std::find(lines.begin(), lines.end(), "Enter Zarn_Main_StandBy()"));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Enter Zarn_Main_StandBy()", "Enter Zarn_Main_DeInitialize()", "Exit  Zarn_Main_DeInitialize()=0",
                         "Exit  Zarn_Main_StandBy()=0", "Enter Zarn_Main_FastStartup(401)", "Enter Zarn_Main_Initialize(401)",
                         "Exit  Zarn_Main_Initialize()=0", "Exit  Zarn_Main_FastStartup()=0", "Enter Zarn_Main_FastStartup(401)",
                         "Enter Zarn_Main_Initialize(401)", "Exit  Zarn_Main_Initialize()=-607",
                         "Exit  Zarn_Main_FastStartup()=-607"}));
    ASSERT_EQ(Zarn_Capture_RegisterCallbackPreviewImage(&Events::Preview, c), 0);
    const int previews = events.Previews();
    ASSERT_EQ(Zarn_Capture_SetMode(24, 500, 0, 0, &w, &h, &xr, &yr), 0);
    ASSERT_EQ(Zarn_Capture_Start(1, 0), 0);
    EXPECT_TRUE(WaitUntil([&] { return events.Previews() > previews; }, 20000));
}

// A hand on the glass keeps the calibration's exposure search walking the whole range. An Abort
// from another thread ends the calibration at its next frame wait, also the one inside the
// initialisation; once the hand is lifted the scanner initialises and calibrates again.
TEST_F(ZarnLibrary, AbortEndsACalibrationInProgress) {
    device->Apply({sim::DeviceAction::Place, sim::FingerLayout::RightSlap});
    using Clock = std::chrono::steady_clock;
    auto abortAfter = [](int ms) {
        return std::thread([ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            Zarn_Capture_Abort();
        });
    };
    // The initialisation fails at its first frame wait after the Abort (its settling steps before
    // that take their time) and leaves no scanner behind.
    std::thread abort = abortAfter(300);
    EXPECT_EQ(Zarn_Main_Initialize(502), ZARN_ERR_CALIBRATION);
    abort.join();
    EXPECT_EQ(g_pScanner.load(), nullptr);

    // The calibration's walk over the exposures would take many seconds.
    Connect(502, false);
    abort = abortAfter(300);
    const auto start = Clock::now();
    EXPECT_EQ(Zarn_Capture_Calibration(), ZARN_ERR_CALIBRATION);
    abort.join();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.3 + 3.0 * scannertest::Slowdown());

    // An Abort before the calibration begins does not end it.
    device->Apply({sim::DeviceAction::Lift});
    EXPECT_EQ(Zarn_Capture_Abort(), 0);
    EXPECT_EQ(Zarn_Capture_Calibration(), 0);
    StartCapture(2, 4);
    EXPECT_TRUE(WaitUntil([&] { return events.Previews() > 0; }, 20000));
}

// The feedback of hands: fingers that never hold still, a hand placed and lifted, fingers that
// touch, a turned hand that is captured once it holds still. Then an unplug during a capture
// reported through the connection callback, and the replugged scanner initialised again.
TEST_F(ZarnLibrary, FeedbackThenUnplugDuringACaptureAndReplug) {
    ASSERT_EQ(Zarn_Main_Initialize(502), 0);
    void* c = &events;
    ASSERT_EQ(Zarn_Capture_RegisterCallbackDeviceIsConnected(&Events::Connected, c), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackPreviewImage(&Events::Preview, c), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Events::ResultImage, c), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackObjectQuality(&Events::ObjectQuality, c), 0);
    StartCapture(ZARN_IMAGE_SLAP_RIGHT, 4);
    ASSERT_TRUE(WaitUntil([&] { return events.Previews() >= 2; }, 20000));

    // The hand is somewhere else in every frame, among 35 places 1.5 mm (15 preview pixels) or more
    // apart, however slowly the frames come.
    device->Apply({sim::DeviceAction::Set, sim::FingerLayout::None, 1.5, 0, 0, true, 0, "restless"});
    auto qualitiesSince = [&](size_t from) {
        auto all = events.Qualities();
        return std::vector<Events::Quality>(all.begin() + std::min(from, all.size()), all.end());
    };
    auto count = [](const std::vector<Events::Quality>& v, auto pred) { return std::count_if(v.begin(), v.end(), pred); };
    size_t mark = events.Qualities().size();
    device->Apply({sim::DeviceAction::Place, sim::FingerLayout::RightSlap});
    ASSERT_TRUE(WaitUntil([&] {
        return count(qualitiesSince(mark), [](const Events::Quality& q) { return q.state == 0 && q.found == 4; }) >= 4;
    }, 30000));
    // Four good fingers frame after frame, but never still: no result.
    EXPECT_EQ(events.Results(), 0u);

    // Lifted: fewer fingers than expected.
    mark = events.Qualities().size();
    device->Apply({sim::DeviceAction::Lift});
    ASSERT_TRUE(WaitUntil([&] {
        return count(qualitiesSince(mark), [](const Events::Quality& q) { return q.state == 2 && q.found <= 0; }) >= 1;
    }, 20000));

    // Touching fingers merge: the segmentation gives up, reported as state 2 with its error.
    mark = events.Qualities().size();
    device->Apply({sim::DeviceAction::Set, sim::FingerLayout::None, 2, 0, 0, true, 0, "gap"});
    device->Apply({sim::DeviceAction::Place, sim::FingerLayout::RightSlap});
    // Once the hand has come down (three frames), every frame.
    ASSERT_TRUE(WaitUntil([&] { return qualitiesSince(mark).size() >= 7; }, 20000));
    const auto touching = qualitiesSince(mark);
    for (size_t i = touching.size() - 3; i < touching.size(); ++i) {
        EXPECT_EQ(touching[i].state, 2);
        EXPECT_LT(touching[i].found, 4);
    }

    // A hand turned by 40 degrees: the grading takes only the hand angle's toll on the quality
    // counts, so the four fingers stay good, and once the hand holds still the capture is taken.
    mark = events.Qualities().size();
    device->Apply({sim::DeviceAction::Set, sim::FingerLayout::None, 0, 0, 0, true, 0, "gap"});
    device->Apply({sim::DeviceAction::Set, sim::FingerLayout::None, 40, 0, 0, true, 0, "rotation"});
    device->Apply({sim::DeviceAction::Place, sim::FingerLayout::RightSlap});
    ASSERT_TRUE(WaitUntil([&] {
        return count(qualitiesSince(mark), [](const Events::Quality& q) { return q.state == 0 && q.found == 4; }) >= 2;
    }, 20000));
    EXPECT_EQ(events.Results(), 0u);
    device->Apply({sim::DeviceAction::Set, sim::FingerLayout::None, 0, 0, 0, true, 0, "restless"});
    ASSERT_TRUE(WaitUntil([&] { return events.Results() == 1; }, 20000));

    // Unplugged during the next capture, the hand lifted: the scanner keeps what lies on its glass
    // across the replug, and a hand there when it is initialised again spoils the new background,
    // which holds back every preview.
    device->Apply({sim::DeviceAction::Lift});
    const int previews = events.Previews();
    StartCapture(ZARN_IMAGE_SLAP_RIGHT, 4);
    ASSERT_TRUE(WaitUntil([&] { return events.Previews() > previews; }, 20000));
    device->Unplug();
    ASSERT_TRUE(WaitUntil([&] { std::lock_guard l(events.mutex); return !events.connected.empty() && events.connected.back() == 0; }, 5000));
    EXPECT_EQ(Zarn_Main_DeInitialize(), 0);
    EXPECT_EQ(g_pScanner.load(), nullptr);
    ZarnConnectedScanners found{};
    EXPECT_EQ(Zarn_Main_GetConnectedScanner(&found), ZARN_ERR_NO_SCANNER);

    device->Replug();
    ASSERT_TRUE(WaitUntil([&] { return Zarn_Main_GetConnectedScanner(&found) == 0; }, 5000));
    EXPECT_EQ(found.entries[ZARN_FAMILY_PLOVER_A], 1);
    ASSERT_EQ(Zarn_Main_Initialize(502), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackPreviewImage(&Events::Preview, c), 0);
    const int before = events.Previews();
    StartCapture(ZARN_IMAGE_SLAP_RIGHT, 4);
    ASSERT_TRUE(WaitUntil([&] { return events.Previews() > before; }, 20000));
}

// PloverB (type 501) and PloverE (type 502 on another hardware revision) side by side: each found,
// created for its type, calibrated with the exposure search, and taking a right slap whose fingers
// lie where they were put. PloverB keystone-corrects its result; PloverE resizes its full image.
class ZarnLibraryPloverBE : public ZarnLibrary {
protected:
    std::string ScenarioText() const override { return Scenario("PloverB", 0.25) + "device s2 PloverE\n"; }
};

TEST_F(ZarnLibraryPloverBE, EachTakesASlapThroughItsOwnResultTransform) {
    ZarnConnectedScanners found{};
    ASSERT_EQ(Zarn_Main_GetConnectedScanner(&found), 0);
    EXPECT_EQ(found.entries[0], 2);
    EXPECT_EQ(found.entries[ZARN_FAMILY_PLOVER_B], 1);
    EXPECT_EQ(found.entries[ZARN_FAMILY_PLOVER_A], 1);
    const DistortionSet ploverB = {{727, 701, 530, 254, 411, 408}};
    // The exposure search runs on PloverB; PloverE keeps the exposure of its initialisation.
    struct Case {
        int type;
        const char* device;
        const char* name;
        const char* product;
        bool keystone;
    } cases[] = {
        {501, "s1", "Tessik PloverB", "PloverB", true},
        {502, "s2", "Tessik PloverE", "PloverA", false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        auto scanner = bus->Device(k.device);
        ASSERT_NO_FATAL_FAILURE(Connect(k.type, k.keystone));
        EXPECT_TRUE(trace->WaitFor(std::string("GetScannerName(") + k.name + ")", 2000));
        ZarnDeviceInfo info{};
        ASSERT_EQ(Zarn_Main_GetDeviceInfo(&info), 0);
        EXPECT_STREQ(info.model, k.product);
        const size_t before = events.Results();
        const int previews = events.Previews();
        StartCapture(ZARN_IMAGE_SLAP_RIGHT, 4);
        ASSERT_TRUE(WaitUntil([&] { return events.Previews() >= previews + 2; }, 20000));
        {
            std::lock_guard lock(events.mutex);
            EXPECT_EQ(events.lastPreview.width, 800);
            EXPECT_EQ(events.lastPreview.height, 750);
            EXPECT_EQ(events.lastPreview.xResolution, 250);
        }
        scanner->Apply({sim::DeviceAction::Place, sim::FingerLayout::RightSlap});
        ASSERT_TRUE(WaitUntil([&] { return events.Results() > before; }, 30000));
        Events::Result result;
        {
            std::lock_guard lock(events.mutex);
            result = events.results.back();
        }
        EXPECT_EQ(result.imageType, ZARN_IMAGE_SLAP_RIGHT);
        EXPECT_EQ(result.info.width, 1600);
        EXPECT_EQ(result.info.height, 1500);
        EXPECT_EQ(result.info.xResolution, 500);
        if (k.keystone) {
            ExpectFingersWhereTheyWerePut(result, sim::FingerLayout::RightSlap,
                                          CorrectedHeight(sim::Traits(sim::ModelId::PloverB), ploverB), 4);
        } else {
            // A point's distance from the platen centre on the 2944 x 1840 frame at 850 x 600 ppi,
            // resized to 1600 x 1500.
            ExpectFingersAt(result, sim::FingerLayout::RightSlap, 4, [](double x, double y) {
                const double xInch = (x - 800) / 500, yInch = (y - 750) / 500;
                return std::pair{(xInch * 850 + 2944 / 2.0) * 1600 / 2944, (yInch * 600 + 1840 / 2.0) * 1500 / 1840};
            });
        }
        ASSERT_EQ(Zarn_Main_DeInitialize(), 0);
    }
}

// PloverD (type 601 on another hardware revision) end to end: its own three-mode calibration with a
// dark sensor line in the scene, a right slap taken automatically, its LED banks blinking the slap,
// its keys and foot switch, and the scanner's own beeper pattern.
class ZarnLibraryPloverD : public ZarnLibrary {
protected:
    // Its full frames are 13 MB: waits as for a sensor three times slower.
    std::string ScenarioText() const override { return Scenario("PloverD", 0.75); }
    int WaitScale() const override { return 3; }
};

TEST_F(ZarnLibraryPloverD, CalibratesTakesASlapAutomaticallyAndAnswersItsKeys) {
    sim::DeviceAction defect;
    defect.kind = sim::DeviceAction::Set;
    defect.name = "defect-row";
    defect.x = 700;
    device->Apply(defect);
    ZarnConnectedScanners found{};
    ASSERT_EQ(Zarn_Main_GetConnectedScanner(&found), 0);
    EXPECT_EQ(found.entries[ZARN_FAMILY_PLOVER_C], 1);
    ASSERT_EQ(Zarn_Main_Initialize(601), 0);
    for (const char* line : {"GetScannerName(Tessik PloverD)", "Enter ZarnScannerPloverD::SetCalibration(0)",
                             "Enter TK_VIDEO_PREV Mode", "Exit  ZarnScannerPloverD::SetCalibration()=0"})
        EXPECT_TRUE(trace->WaitFor(line, 2000)) << line;
    auto* plover = dynamic_cast<ZarnScannerPloverD*>(g_pScanner.load());
    ASSERT_NE(plover, nullptr);
    for (int mode : {TK_VIDEO_FULL, TK_VIDEO_PREV, TK_VIDEO_ROLL})
        EXPECT_NE(ZarnScannerPloverD::DefectLineList(mode), nullptr) << mode;
    // The preview background: every row shifted left, its last 10 columns white, and the dark
    // scene row repaired.
    const uint8_t* bg = plover->m_pPreviewBackground;
    auto at = [&](int x, int y) { return int(bg[size_t(y) * 1504 + x]); };
    for (int y : {100, 700, 1400}) {
        EXPECT_EQ(at(1494, y), 255) << y;
        EXPECT_EQ(at(1503, y), 255) << y;
    }
    double worst = 0;
    for (int x = 300; x < 1200; ++x) worst = std::max(worst, std::abs(at(x, 700) - (at(x, 699) + at(x, 701)) / 2.0));
    EXPECT_LE(worst, 12.0);

    void* c = &events;
    ASSERT_EQ(Zarn_Capture_RegisterCallbackPreviewImage(&Events::Preview, c), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Events::ResultImage, c), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackObjectQuality(&Events::ObjectQuality, c), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackFootSwitch(&Events::Foot, c), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackKeypad(&Events::Key, c), 0);
    StartCapture(ZARN_IMAGE_SLAP_RIGHT, 4);
    // At 1 % of the 1276 x 1250 preview the area limit lies above the simulated fingertips.
    ASSERT_EQ(Zarn_Capture_SetAutoCapInfo(250, 230, 0.5, 12, 2, 10, 10, 15, 3000), 0);
    ASSERT_TRUE(WaitUntil([&] { return events.Previews() >= 2; }, 30000));
    {
        std::lock_guard lock(events.mutex);
        EXPECT_EQ(events.lastPreview.width, 1276);
        EXPECT_EQ(events.lastPreview.height, 1250);
        EXPECT_EQ(events.lastPreview.xResolution, 250);
    }
    device->Apply({sim::DeviceAction::Place, sim::FingerLayout::RightSlap});
    ASSERT_TRUE(WaitUntil([&] { return events.Results() >= 1; }, 60000));
    const auto qualities = events.Qualities();
    EXPECT_TRUE(std::any_of(qualities.begin(), qualities.end(),
                            [](const Events::Quality& q) { return q.state == 0 && q.found == 4; }));
    Events::Result result;
    {
        std::lock_guard lock(events.mutex);
        result = events.results.front();
    }
    EXPECT_EQ(result.info.width, 2552);
    EXPECT_EQ(result.info.height, 2500);
    EXPECT_EQ(result.info.xResolution, 500);
    const DistortionSet set = {{863, 838, 627, 320, 500, 497}};
    ExpectFingersWhereTheyWerePut(result, sim::FingerLayout::RightSlap,
                                  CorrectedHeight(sim::Traits(sim::ModelId::PloverD), set), 4);
    // The right slap blinked on bank 0 (low byte 0xE1) with bank 1 dark; the result put all out.
    const auto bank0 = Writes(*device, 0x81), bank1 = Writes(*device, 0x80);
    EXPECT_NE(std::find(bank0.begin(), bank0.end(), 0xE1), bank0.end());
    EXPECT_EQ(std::count_if(bank1.begin(), bank1.end(), [](uint8_t v) { return v != 0xFF; }), 0);
    ASSERT_FALSE(bank0.empty());
    EXPECT_EQ(bank0.back(), 0xFF);

    // Key 0, key 1 and the foot switch.
    scannertest::PressKeysAndFootSwitch(*device, events, {0x01, 0x02});
    {
        std::lock_guard l(events.mutex);
        EXPECT_EQ(events.keys.front(), 0);
    }
    // Newer firmware ("1203" is above "1112"): the scanner plays the pattern itself.
    ASSERT_EQ(Zarn_Controls_Beeper(6), 0);
    EXPECT_EQ(Writes(*device, 0x82).back(), 7);
}
