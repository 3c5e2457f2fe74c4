// The iris capture library on simulated iris units through the driver and the video-capture layer:
// the exported interface, the camera objects, LED calibration and manual capture; and the frame
// analysis of the camera object and the auto-capture stages on frames handed to it directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "CaptureRig.h"
#include "IrisAlgorithm.h"
#include "ZarnIrisBase.h"
#include "iris/ZarnIrisApi.h"
#include "platform/DeviceRegistry.h"
#include "sim/EyeRender.h"
#include "platform/TessikUsbProtocol.h"
#include "zarn/ZarnVersionText.h"

namespace {

using namespace iriscap;
namespace proto = platform::usb::tessik;

// What the library handed to the callbacks of one side.
struct SideLog {
    int previews = 0;
    int results = 0;
    std::vector<int> connected;
    ZarnImageInfo lastPreview{};
    ZarnImageInfo lastResult{};
    std::vector<uint8_t> previewPixels, resultPixels;
    void* previewContext = nullptr;
    void* resultContext = nullptr;
};

struct Collector {
    std::mutex mutex;
    SideLog side[3];
    int reentrantTake = 1;  // result of a TakeResultImage made inside the result callback
    bool takeInside = false;

    SideLog Side(int s) {
        std::lock_guard lock(mutex);
        return side[s];
    }
};

Collector* g_collector = nullptr;

// Scene changes applied from a side's preview callback when its preview count reaches `at`, so the
// script follows the frames the library has analysed.
struct ScriptStep {
    int side;
    int at;
    sim::DeviceAction action;
};
std::vector<ScriptStep> g_script;
std::shared_ptr<sim::SimDevice> g_units[3];

template <int Side>
void OnPreview(void* context, ZarnImageInfo image) {
    std::lock_guard lock(g_collector->mutex);
    SideLog& s = g_collector->side[Side];
    ++s.previews;
    s.lastPreview = image;
    s.previewContext = context;
    s.previewPixels.assign(image.image, image.image + size_t(image.width) * image.height);
    for (const ScriptStep& step : g_script)
        if (step.side == Side && step.at == s.previews && g_units[Side]) g_units[Side]->Apply(step.action);
}

template <int Side>
void OnResult(void* context, int status, ZarnImageInfo image) {
    bool takeInside;
    {
        std::lock_guard lock(g_collector->mutex);
        SideLog& s = g_collector->side[Side];
        EXPECT_EQ(status, 0);
        ++s.results;
        s.lastResult = image;
        s.resultContext = context;
        s.resultPixels.assign(image.image, image.image + size_t(image.width) * image.height);
        takeInside = g_collector->takeInside;
    }
    if (takeInside) {
        const int r = Zarn_IRIS_Capture_TakeResultImage(Side);
        std::lock_guard lock(g_collector->mutex);
        g_collector->reentrantTake = r;
    }
}

void OnConnected(void* context, int connected) {
    std::lock_guard lock(g_collector->mutex);
    g_collector->side[context == nullptr ? 0 : 1].connected.push_back(connected);
}

// LED property values a unit received, as level | selector << 8.
std::vector<int> LedWrites(const std::shared_ptr<sim::SimDevice>& unit) {
    std::vector<int> out;
    for (const auto& w : unit->VendorWrites(proto::kReqSetLed))
        if (w.data.size() >= 2) out.push_back(w.data[0] | w.data[1] << 8);
    return out;
}

int Count(const std::vector<int>& v, int value) { return int(std::count(v.begin(), v.end(), value)); }

// Two simulated units under the driver and the library's waits shortened.
class IrisLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        g_collector = &collector;
        SetIrisWaitScale(0.1);
    }
    void TearDown() override {
        Zarn_IRIS_Main_DeInitialize();
        g_script.clear();
        for (auto& unit : g_units) unit.reset();
        InstallAlgorithm(nullptr);
        bus.reset();
        g_collector = nullptr;
    }
    void Attach(const std::string& scenario) { bus = std::make_unique<capturetest::Bus>(scenario, 3.0); }
    // Initialises the library (with a scripted algorithm unless the front end is asked for) and
    // registers every callback.
    void Open(const std::string& scenario, bool frontEnd = false) {
        Attach(scenario);
        if (!frontEnd) InstallAlgorithm(&kQuietAlgorithm);
        ASSERT_EQ(Zarn_IRIS_Main_Initialize(), 0);
        ASSERT_EQ(Zarn_IRIS_Capture_RegisterCallbackPreviewImage(1, &OnPreview<1>, &collector), 0);
        ASSERT_EQ(Zarn_IRIS_Capture_RegisterCallbackPreviewImage(2, &OnPreview<2>, &collector), 0);
        ASSERT_EQ(Zarn_IRIS_Capture_RegisterCallbackResultImage(1, &OnResult<1>, &collector), 0);
        ASSERT_EQ(Zarn_IRIS_Capture_RegisterCallbackResultImage(2, &OnResult<2>, &collector), 0);
    }
    std::shared_ptr<sim::SimDevice> Unit(const char* name) { return bus->Device(name); }
    // Waits until `side`'s result has come (or the time is up).
    bool WaitResult(int side, int ms) {
        return capturetest::WaitUntil([&] { return collector.Side(side).results >= 1; }, ms);
    }

    // Initialisation succeeds, every eye detection finds nothing.
    static constexpr IrisAlgorithm kQuietAlgorithm = {
        [](char*) -> int32_t { return 0; },
        []() -> int32_t { return 0; },
        [](void** context, char*) -> int32_t {
            static int token;
            *context = &token;
            return 0;
        },
        [](void*) -> int32_t { return 0; },
        [](void*, const uint8_t*, int32_t, int32_t, EyeDetectionRecord* record, char*) -> int32_t {
            record->words[15] = 1;
            return 0;
        },
        [](const uint8_t*, int32_t, int32_t, const int32_t*, char*) -> float { return 0; },
        [](const uint8_t*, int32_t, int32_t, const int32_t*, IrisLocation*, IrisQualityRecord*, char*) -> int32_t {
            return -1;
        }};

    Collector collector;
    std::unique_ptr<capturetest::Bus> bus;
};

const char* const kTwoUnits =
    "device left IrisLeft serial 1001 period 15\n"
    "device right IrisRight serial 1002 period 15\n";

TEST_F(IrisLibrary, EveryCallNeedsTheInitialisedLibrary) {
    ZarnRunningInfo info{};
    ZarnDeviceInfo device{};
    EXPECT_EQ(Zarn_IRIS_Main_DeInitialize(), -606);
    EXPECT_EQ(Zarn_IRIS_Main_GetDeviceInfo(&device), -606);
    EXPECT_EQ(Zarn_IRIS_Capture_SetMode(3, 1, 1, 0), -606);
    EXPECT_EQ(Zarn_IRIS_Capture_Start(), -606);
    EXPECT_EQ(Zarn_IRIS_Capture_Abort(), -606);
    EXPECT_EQ(Zarn_IRIS_Controls_Beeper(3), -606);
    EXPECT_EQ(Zarn_IRIS_Capture_TakeResultImage(1), -606);
    EXPECT_EQ(Zarn_IRIS_Capture_AcquireResultImage(), -606);
    EXPECT_EQ(Zarn_IRIS_Main_GetRunningInfo(1, &info), -606);
    EXPECT_EQ(Zarn_IRIS_Capture_RegisterCallbackPreviewImage(1, &OnPreview<1>, nullptr), -606);
    EXPECT_EQ(Zarn_IRIS_Capture_RegisterCallbackResultImage(1, &OnResult<1>, nullptr), -606);
    EXPECT_EQ(Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected(&OnConnected, nullptr), -606);
    EXPECT_EQ(Zarn_IRIS_Capture_SetAutoCapParams(1, 2, 3, 4, 5, 6, 7), -606);
    // Calls that would reach a missing camera report the library as not initialised too.
    EXPECT_EQ(Zarn_IRIS_Capture_Calibration(3), -606);
    std::vector<uint8_t> frames(10 * 640 * 480);
    uint8_t quality[80];
    uint16_t geometry[40];
    EXPECT_EQ(Zarn_IRIS_GetImageAddr(1, frames.data(), quality, geometry), -606);
    // The version is available before initialisation.
    ZarnApiVersion version;
    ASSERT_EQ(Zarn_IRIS_Main_GetAPIVersion(&version), 0);
    EXPECT_STREQ(version.productName, "Tessik Iris");
    EXPECT_STREQ(version.algorithmVersion, "2.4.0.3");
    EXPECT_EQ(Zarn_IRIS_Main_GetAPIVersion(nullptr), -1);
}

TEST(IrisVersion, LibraryVersionFromTheBuildDate) {
    struct Case {
        const char* date;
        const char* text;
    } cases[] = {{"Dec 31 2013", "1.3.365.1"}, {"Mar  1 2012", "1.2.61.1"}, {"Feb 29 2012", "1.2.60.1"},
                 {"Mar  1 2100", "1.90.60.1"}, {"Mar  1 2000", "1.-10.61.1"}, {"Xyz  1 2013", "1.3.-1.1"}};
    for (const Case& c : cases) {
        char text[128];
        ZarnVersionText(c.date, 2010, text, sizeof text);
        EXPECT_STREQ(text, c.text) << c.date;
    }
}

TEST_F(IrisLibrary, PresenceCountsMatchingUnits) {
    int count = -5;
    Attach("device cam PloverA period 50\n");
    EXPECT_EQ(Zarn_IRIS_Main_GetConnectedDevice(&count), -600);
    EXPECT_EQ(count, -5);
    EXPECT_EQ(Zarn_IRIS_Main_GetConnectedDevice(nullptr), -1);
    bus.reset();
    Attach(kTwoUnits);
    EXPECT_EQ(Zarn_IRIS_Main_GetConnectedDevice(&count), 0);
    EXPECT_EQ(count, 2);
    // A device list that cannot be walked to its end counts nothing.
    platform::setup::RegistryFaults faults;
    faults.enumFailsAt = 1;
    platform::setup::SetRegistryFaults(faults);
    count = -5;
    EXPECT_EQ(Zarn_IRIS_Main_GetConnectedDevice(&count), -600);
    EXPECT_EQ(count, -5);
    platform::setup::SetRegistryFaults({});
}

TEST_F(IrisLibrary, InitialiseOpensBothUnitsWithTheirSensorSettings) {
    Open(kTwoUnits);
    EXPECT_EQ(Zarn_IRIS_Main_Initialize(), -607);
    for (const char* name : {"left", "right"}) {
        auto unit = Unit(name);
        const std::vector<int> leds = LedWrites(unit);
        // Both red LEDs at the start level 81.
        EXPECT_EQ(Count(leds, 81 | 1 << 8), 1) << name;
        EXPECT_EQ(Count(leds, 81 | 2 << 8), 1) << name;
        ASSERT_FALSE(unit->VendorWrites(proto::kReqSetExposure).empty()) << name;
        EXPECT_EQ(unit->VendorWrites(proto::kReqSetExposure).back().data[0], 220) << name;
        EXPECT_FALSE(unit->Streaming()) << name << ": the graphs stop after the first frames";
    }
    ZarnIrisBase* left = g_pIrisL.load();
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left->width, 640);
    EXPECT_EQ(left->height, 480);

    ZarnDeviceInfo info;
    ASSERT_EQ(Zarn_IRIS_Main_GetDeviceInfo(&info), 0);
    EXPECT_EQ(info.resolution, 500u);
    EXPECT_STREQ(info.vendor, "Tessik Systems");
    EXPECT_STREQ(info.model, "Egret");
    EXPECT_STREQ(info.interfaceType, "USB2.0");
    EXPECT_STREQ(info.serialNumber, "1001") << "the left unit's serial";
    EXPECT_EQ(std::strlen(info.firstDate), 8u);
    EXPECT_EQ(Zarn_IRIS_Main_GetDeviceInfo(nullptr), -1);

    ZarnRunningInfo running;
    ASSERT_EQ(Zarn_IRIS_Main_GetRunningInfo(2, &running), 0);
    EXPECT_EQ(running.iris.initialised, 1);
    EXPECT_EQ(running.iris.armed, 0);
    EXPECT_EQ(Zarn_IRIS_Main_GetRunningInfo(3, &running), -1);
    EXPECT_EQ(Zarn_IRIS_Main_GetRunningInfo(1, nullptr), -1);

    EXPECT_EQ(Zarn_IRIS_Controls_Beeper(3), -3);
    EXPECT_EQ(Zarn_IRIS_Capture_Start(), 0);
    EXPECT_EQ(Zarn_IRIS_Capture_AcquireResultImage(), 0);
    EXPECT_EQ(Zarn_IRIS_Capture_RegisterCallbackPreviewImage(3, &OnPreview<1>, nullptr), -1);
    EXPECT_EQ(Zarn_IRIS_Capture_RegisterCallbackResultImage(1, nullptr, nullptr), -1);
    EXPECT_EQ(Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected(nullptr, nullptr), -1);
    EXPECT_EQ(Zarn_IRIS_Capture_SetAutoCapParams(1, 2, 3, 4, 5, 6, 7), 0);
    EXPECT_EQ(g_pIrisR.load()->params[6].load(), 7);

    // Deinitialised, the library can be initialised again.
    EXPECT_EQ(Zarn_IRIS_Main_DeInitialize(), 0);
    EXPECT_EQ(g_pIrisL.load(), nullptr);
    for (const char* name : {"left", "right"}) {
        const std::vector<int> leds = LedWrites(Unit(name));
        EXPECT_EQ(Count(leds, 1 << 8), 1) << name << ": red LEDs off";
        EXPECT_EQ(Count(leds, 2 << 8), 1) << name;
    }
    EXPECT_EQ(Zarn_IRIS_Main_Initialize(), 0);
}

TEST_F(IrisLibrary, ManualCaptureDeliversTheUprightLatestFrame) {
    Open("device left IrisLeft serial 1001 period 15 pattern\n"
         "device right IrisRight serial 1002 period 15 pattern\n");
    // Manual capture of the left eye: only the left camera runs, both white LEDs light.
    ASSERT_EQ(Zarn_IRIS_Capture_SetMode(1, 1, 0, 0), 0);
    for (const char* name : {"left", "right"}) EXPECT_EQ(Count(LedWrites(Unit(name)), 6 | 3 << 8), 1) << name;
    ASSERT_TRUE(capturetest::WaitUntil([&] { return collector.Side(1).previews >= 3; }));
    EXPECT_EQ(collector.Side(2).previews, 0);
    SideLog left = collector.Side(1);
    EXPECT_EQ(left.previewContext, &collector);
    EXPECT_EQ(left.lastPreview.isResult, 0);
    EXPECT_EQ(left.lastPreview.rowOrder, 1);
    EXPECT_EQ(left.lastPreview.typeValue, 30.0);
    // The camera delivers its frames turned by half a turn: the library turns them upright, so the
    // pattern grows by 5 per column to the right and 11 per row downward (the header and sync
    // bytes end up in the last row).
    const auto& px = left.previewPixels;
    ASSERT_EQ(px.size(), 640u * 480u);
    int wrong = 0;
    for (int y = 0; y < 478; y += 7)
        for (int x = 0; x < 639; x += 5) {
            wrong += uint8_t(px[size_t(y) * 640 + x + 1] - px[size_t(y) * 640 + x]) != 5;
            wrong += uint8_t(px[size_t(y + 1) * 640 + x] - px[size_t(y) * 640 + x]) != 11;
        }
    EXPECT_EQ(wrong, 0);

    // A new context for the result callback is the context of the side's previews too.
    int other = 0;
    ASSERT_EQ(Zarn_IRIS_Capture_RegisterCallbackResultImage(0, &OnResult<1>, &other), 0);
    ASSERT_TRUE(capturetest::WaitUntil([&] { return collector.Side(1).previewContext == &other; }));

    {
        std::lock_guard lock(collector.mutex);
        collector.takeInside = true;
    }
    ASSERT_EQ(Zarn_IRIS_Capture_TakeResultImage(1), 0);
    SideLog done = collector.Side(1);
    EXPECT_EQ(done.results, 1);
    EXPECT_EQ(done.resultContext, &other);
    EXPECT_EQ(done.lastResult.isResult, 1);
    EXPECT_EQ(done.lastResult.width, 640);
    EXPECT_EQ(collector.reentrantTake, -615) << "a second delivery while the first runs";
    // The last preview is the frame delivered; the camera has stopped.
    EXPECT_EQ(done.resultPixels, done.previewPixels);
    EXPECT_FALSE(Unit("left")->Streaming());
    for (const char* name : {"left", "right"}) EXPECT_GE(Count(LedWrites(Unit(name)), 3 << 8), 1) << name;
    ZarnRunningInfo running;
    ASSERT_EQ(Zarn_IRIS_Main_GetRunningInfo(1, &running), 0);
    EXPECT_EQ(running.iris.armed, 0);
    EXPECT_EQ(running.iris.captureRunning, 0);
    EXPECT_EQ(running.iris.done, 1);
    EXPECT_EQ(running.iris.aborted, 0);
    // Not armed any more: a further take delivers nothing.
    {
        std::lock_guard lock(collector.mutex);
        collector.takeInside = false;
    }
    EXPECT_EQ(Zarn_IRIS_Capture_TakeResultImage(1), 0);
    EXPECT_EQ(collector.Side(1).results, 1);
}

TEST_F(IrisLibrary, AutomaticBothEyesArmsBothAndAbortMarksThemAborted) {
    Open(kTwoUnits);
    ASSERT_EQ(Zarn_IRIS_Capture_SetMode(3, 2, 1, 0), 0);
    EXPECT_EQ(g_pIrisL.load()->required.load(), 10);
    EXPECT_EQ(g_pIrisR.load()->required.load(), 10);
    ASSERT_TRUE(capturetest::WaitUntil([&] { return collector.Side(1).previews >= 2 && collector.Side(2).previews >= 2; }));
    for (const char* name : {"left", "right"}) EXPECT_EQ(Count(LedWrites(Unit(name)), 6 | 3 << 8), 0) << name;
    ZarnRunningInfo running;
    ASSERT_EQ(Zarn_IRIS_Main_GetRunningInfo(2, &running), 0);
    EXPECT_EQ(running.iris.armed, 1);
    EXPECT_EQ(running.iris.autoCapture, 1);
    EXPECT_EQ(running.iris.modeSet, 1);
    ASSERT_EQ(Zarn_IRIS_Capture_Abort(), 0);
    for (int side : {1, 2}) {
        ASSERT_EQ(Zarn_IRIS_Main_GetRunningInfo(side, &running), 0);
        EXPECT_EQ(running.iris.armed, 0);
        EXPECT_EQ(running.iris.autoCapture, 0);
        EXPECT_EQ(running.iris.aborted, 1);
        EXPECT_EQ(running.iris.done, 1);
        EXPECT_EQ(running.iris.modeSet, 1);
    }
    EXPECT_FALSE(Unit("left")->Streaming());
    EXPECT_FALSE(Unit("right")->Streaming());
    // An eye mode outside 0..3 arms nothing.
    ASSERT_EQ(Zarn_IRIS_Capture_SetMode(7, 1, 1, 0), 0);
    ASSERT_EQ(Zarn_IRIS_Main_GetRunningInfo(1, &running), 0);
    EXPECT_EQ(running.iris.armed, 0);
}

TEST_F(IrisLibrary, UnplugDuringACaptureIsReportedAndEndsCleanly) {
    Open(kTwoUnits);
    ASSERT_EQ(Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected(&OnConnected, nullptr), 0);
    ASSERT_EQ(Zarn_IRIS_Capture_SetMode(3, 1, 1, 0), 0);
    ASSERT_TRUE(capturetest::WaitUntil([&] { return collector.Side(0).connected.size() >= 4; }));
    EXPECT_EQ(Count(collector.Side(0).connected, 0), 0);
    Unit("left")->Unplug();
    ASSERT_TRUE(capturetest::WaitUntil([&] { return Count(collector.Side(0).connected, 0) >= 1; }));
    int count = 0;
    EXPECT_EQ(Zarn_IRIS_Main_GetConnectedDevice(&count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(Zarn_IRIS_Capture_Abort(), 0);
    EXPECT_EQ(Zarn_IRIS_Main_DeInitialize(), 0);
}

// Calibration on a grey card: the grey level the simulated camera shows for a red LED level.
double CardLevel(double albedo, double gain, int red) {
    sim::EyeSceneParams scene;
    scene.gain = gain;
    scene.red1 = scene.red2 = red;
    return std::clamp(albedo * sim::EyeIllumination(scene), 0.0, 255.0);
}

// Levels of red LED 1 a unit was set to, in order.
std::vector<int> RedLevels(const std::shared_ptr<sim::SimDevice>& unit) {
    std::vector<int> out;
    for (int v : LedWrites(unit))
        if (v >> 8 == 1) out.push_back(v & 0xFF);
    return out;
}

int Reversals(const std::vector<int>& levels) {
    int reversals = 0, direction = 0;
    for (size_t i = 1; i < levels.size(); ++i) {
        const int d = levels[i] > levels[i - 1] ? 1 : levels[i] < levels[i - 1] ? -1 : 0;
        if (d != 0 && direction != 0 && d != direction) ++reversals;
        if (d != 0) direction = d;
    }
    return reversals;
}

struct CalibrationCase {
    const char* name;
    double albedo;
    double gain;
    int eyeMode;
    int result;
};

class IrisCalibration : public IrisLibrary, public ::testing::WithParamInterface<CalibrationCase> {};

// The left unit's serial starts with '1' (band 220..230), the right one's with '2' (160..170).
TEST_P(IrisCalibration, StepsTheRedLedsIntoTheBand) {
    const CalibrationCase c = GetParam();
    const std::string name = c.name;
    Open("device left IrisLeft serial 1001 period 4\ndevice right IrisRight serial 2002 period 4\n"
         "at 0 * set card " + std::to_string(c.albedo) + "\nat 0 * set gain " + std::to_string(c.gain) + "\n");
    SetIrisWaitScale(0.3);
    const size_t rightBefore = LedWrites(Unit("right")).size();
    EXPECT_EQ(Zarn_IRIS_Capture_Calibration(c.eyeMode), c.result);
    EXPECT_FALSE(Unit("left")->Streaming());
    EXPECT_FALSE(Unit("right")->Streaming());
    const std::vector<int> left = RedLevels(Unit("left")), right = RedLevels(Unit("right"));
    ASSERT_FALSE(left.empty());
    ASSERT_FALSE(right.empty());
    if (name == "converges") {
        const double leftLevel = CardLevel(c.albedo, c.gain, left.back());
        EXPECT_GE(leftLevel, 220 - 0.5);
        EXPECT_LE(leftLevel, 230 + 0.5);
        const double rightLevel = CardLevel(c.albedo, c.gain, right.back());
        EXPECT_GE(rightLevel, 160 - 0.5);
        EXPECT_LE(rightLevel, 170 + 0.5);
        // The stored levels stay; the cameras keep the calibrated one.
        EXPECT_EQ(g_pIrisL.load()->red1.load(), 81);
    } else if (name == "oscillates") {
        // No level lights the card inside the band: one step of the LED level jumps over it.
        for (int r = 0; r < 256; ++r) {
            const double level = CardLevel(c.albedo, c.gain, r);
            ASSERT_TRUE(level < 159.5 || level > 170.5) << r;
        }
        // The seventh change of direction ends the calibration, successfully, off the band.
        EXPECT_EQ(Reversals(right), 6) << ::testing::PrintToString(right);
        EXPECT_EQ(left.size(), 1u) << "the left camera is not calibrated";
    } else {
        // Past 255 without reaching the band: both red LEDs back at the stored level, the right
        // unit left alone.
        const std::vector<int> writes = LedWrites(Unit("left"));
        ASSERT_GE(writes.size(), 2u);
        EXPECT_EQ(writes[writes.size() - 2], 81 | 1 << 8);
        EXPECT_EQ(writes.back(), 81 | 2 << 8);
        EXPECT_EQ(LedWrites(Unit("right")).size(), rightBefore);
        EXPECT_GT(*std::max_element(left.begin(), left.end()), 245);
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, IrisCalibration,
                         ::testing::Values(CalibrationCase{"converges", 160, 1.0, 3, 0},
                                           CalibrationCase{"oscillates", 2000, 1.0, 2, 0},
                                           CalibrationCase{"unreachable", 160, 0.5, 3, -614}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IrisCalibrationStep, BrightnessStepFollowsTheDistanceToTheBand) {
    struct Case {
        int grey, low, high, step;
    } cases[] = {
        {225, 220, 230, 0},  {220, 220, 230, 0},  {230, 220, 230, 0},  {231, 220, 230, -1}, {236, 220, 230, -1},
        {219, 220, 230, 1},  {24, 220, 230, 10},  {25, 220, 230, 5},   {0, 220, 230, 10},   {40, 160, 170, 5},
        {74, 160, 170, 5},   {75, 160, 170, 3},   {124, 160, 170, 3},  {125, 160, 170, 1},  {159, 160, 170, 1},
        {255, 160, 170, -3}, {206, 160, 170, -3}, {205, 160, 170, -1}, {165, 160, 170, 0},  {171, 160, 170, -1},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image(64 * 48, uint8_t(c.grey));
        EXPECT_EQ(ZarnIrisBase::BrightnessStep(c.low, c.high, image.data(), 64, 48), c.step) << c.grey;
    }
    // Only every fourth pixel of every fourth row counts.
    std::vector<uint8_t> image(64 * 48, 255);
    for (int y = 0; y < 48; y += 4)
        for (int x = 0; x < 64; x += 4) image[size_t(y) * 64 + x] = 225;
    EXPECT_EQ(ZarnIrisBase::BrightnessStep(220, 230, image.data(), 64, 48), 0);
    int low = 0, high = 0;
    for (const char* serial : {"1001", "3", "0000", "2002", ""}) {
        ZarnIrisBase::CalibrationBand(serial, &low, &high);
        const bool bright = serial[0] == '1' || serial[0] == '3';
        EXPECT_EQ(low, bright ? 220 : 160) << serial;
        EXPECT_EQ(high, bright ? 230 : 170) << serial;
    }
}


sim::DeviceAction Act(sim::DeviceAction::Kind kind, double x = 0, double y = 0, int frames = 0, bool on = true) {
    sim::DeviceAction a;
    a.kind = kind;
    a.x = x, a.y = y, a.frames = frames, a.on = on;
    return a;
}

struct SceneCase {
    const char* name;
    int eyeMode;
    std::vector<ScriptStep> script;
    double finalX, finalY;  // where the eye ends, fractions of the frame
};

class IrisAutoCapture : public IrisLibrary, public ::testing::WithParamInterface<SceneCase> {};

// Automatic capture through the front end: the result is a frame of the eye where the scene has put
// it, whatever the subject did on the way.
TEST_P(IrisAutoCapture, DeliversTheEyeOnceItHoldsStill) {
    const SceneCase c = GetParam();
    Open(kTwoUnits, true);
    g_units[1] = Unit("left");
    g_units[2] = Unit("right");
    g_script = c.script;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Zarn_IRIS_Capture_SetMode(c.eyeMode, 1, 1, 0), 0);
    std::vector<int> sides;
    if (c.eyeMode != 2) sides.push_back(1);
    if (c.eyeMode >= 2) sides.push_back(2);
    for (int side : sides) ASSERT_TRUE(WaitResult(side, 60000)) << "side " << side;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[ measure  ] %s: result %.2f s after the capture started\n", c.name, seconds);
    for (int side : sides) {
        const SideLog log = collector.Side(side);
        EXPECT_EQ(log.results, 1);
        EXPECT_EQ(log.lastResult.isResult, 1);
        // Ground truth of the eye where the scene ends.
        sim::EyeSceneParams scene;
        scene.rightEye = side == 2;
        scene.centreX = c.finalX, scene.centreY = c.finalY;
        const sim::EyeTruth truth = sim::RenderEyeFrame(scene).truth;
        // The pupil is the darkest disc of the result: the mean inside the true pupil is far below
        // the mean of the true iris ring.
        double pupil = 0, ring = 0;
        int np = 0, nr = 0;
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 640; ++x) {
                const double d = std::hypot(x - truth.pupil.x, y - truth.pupil.y);
                const uint8_t v = log.resultPixels[size_t(y) * 640 + x];
                if (d < truth.pupil.r * 0.7) pupil += v, ++np;
                else if (d > truth.pupil.r * 1.3 && d < truth.iris.r * 0.9 && y > truth.pupil.y) ring += v, ++nr;
            }
        ASSERT_GT(np, 0);
        ASSERT_GT(nr, 0);
        EXPECT_LT(pupil / np + 25, ring / nr) << "side " << side;
        // The ranked records of the capture locate that eye.
        std::vector<uint8_t> frames(10 * 640 * 480);
        uint8_t quality[80];
        uint16_t geometry[40];
        ASSERT_EQ(Zarn_IRIS_GetImageAddr(side, frames.data(), quality, geometry), 0);
        EXPECT_EQ(std::memcmp(frames.data(), log.resultPixels.data(), 640 * 480), 0) << "record 0 is the result";
        ZarnRunningInfo running;
        ASSERT_EQ(Zarn_IRIS_Main_GetRunningInfo(side, &running), 0);
        EXPECT_EQ(running.iris.done, 1);
        EXPECT_EQ(running.iris.armed, 0);
        // The white LED lit for the collection and went off for the analysis.
        const std::vector<int> leds = LedWrites(Unit(side == 1 ? "left" : "right"));
        EXPECT_GE(Count(leds, 6 | 3 << 8), 1);
        EXPECT_EQ(leds.back(), 3 << 8);
    }
}

using K = sim::DeviceAction::Kind;
INSTANTIATE_TEST_SUITE_P(
    Scenes, IrisAutoCapture,
    ::testing::Values(
        SceneCase{"steady", 1, {}, 0.5, 0.5},
        SceneCase{"entersOffCentre", 2, {{2, 1, Act(K::EyeAt, 0.08, 0.1)}, {2, 12, Act(K::EyeAt, 0.47, 0.52)}}, 0.47, 0.52},
        SceneCase{"blinksAndLooksAway", 1,
                  {{1, 6, Act(K::Blink, 0, 0, 6)}, {1, 14, Act(K::LookAway, 0, 0, 0, true)},
                   {1, 26, Act(K::LookAway, 0, 0, 0, false)}},
                  0.5, 0.5},
        SceneCase{"wrongDistanceThenBoth", 3,
                  {{1, 1, Act(K::Distance, 700)}, {2, 1, Act(K::Distance, 700)}, {1, 10, Act(K::Distance, 300)},
                   {2, 10, Act(K::Distance, 300)}},
                  0.5, 0.5}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
