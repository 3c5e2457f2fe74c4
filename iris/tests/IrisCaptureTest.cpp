// The iris capture library on simulated iris units through the driver and the video-capture layer:
// the exported interface, the camera objects, LED calibration and manual capture; and the frame
// analysis of the camera object and the auto-capture stages on frames handed to it directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "CaptureRig.h"
#include "IrisAlgorithm.h"
#include "ZarnIrisBase.h"
#include "iris/ZarnIrisApi.h"
#include "platform/DeviceRegistry.h"
#include "platform/Mailslot.h"
#include "sim/EyeRender.h"
#include "platform/TessikUsbProtocol.h"
#include "zarn/TraceRecord.h"
#include "zarn/ZarnTraceLogger.h"
#include "zarn/ZarnVersionText.h"

namespace {

using namespace iriscap;
namespace proto = platform::usb::tessik;

// An algorithm that initialises, hands out a context token and fails every analysis, with the
// given eye detection and iris quality.
constexpr IrisAlgorithm ScriptedAlgorithm(decltype(IrisAlgorithm::detection) detection,
                                          decltype(IrisAlgorithm::irisQuality) quality) {
    return {[](char*) -> int32_t { return 0; },
            []() -> int32_t { return 0; },
            [](void** context, char*) -> int32_t {
                static int token;
                *context = &token;
                return 0;
            },
            [](void*) -> int32_t { return 0; },
            detection,
            quality,
            [](const uint8_t*, int32_t, int32_t, const int32_t*, IrisLocation*, IrisQualityRecord*, char*) -> int32_t {
                return -1;
            }};
}

// Each test program traces to a slot of its own, so parallel runs do not read each other's lines.
const bool kOwnTraceSlot = [] {
    setenv("TESSIK_TRACE_SLOT", ("TessikIrisCaptureTests-" + std::to_string(getpid())).c_str(), 1);
    return true;
}();

// The library's trace records as the trace viewer receives them, kept by a reader thread (the slot
// holds only a few records until they are read).
class TraceReader {
public:
    struct Line {
        int source, level;
        std::string text;
        bool operator==(const Line&) const = default;
    };
    TraceReader() : reader_(ZarnTrace().slotName()) {
        thread_ = std::thread([this] {
            TraceRecord record;
            while (reader_.Read(&record, sizeof record, -1).status == platform::MailslotReader::Status::Received) {
                std::lock_guard lock(mutex_);
                lines_.push_back({record.source, record.level,
                                  std::string(record.text, strnlen(record.text, sizeof record.text))});
            }
        });
    }
    ~TraceReader() {
        reader_.Shutdown();
        thread_.join();
    }
    bool IsOpen() const { return reader_.IsOpen(); }
    // The lines so far whose text starts with one of the prefixes, in the order written.
    std::vector<Line> Starting(std::initializer_list<std::string> prefixes) {
        std::lock_guard lock(mutex_);
        std::vector<Line> out;
        for (const Line& l : lines_)
            for (const std::string& p : prefixes)
                if (l.text.rfind(p, 0) == 0) {
                    out.push_back(l);
                    break;
                }
        return out;
    }

private:
    platform::MailslotReader reader_;
    std::mutex mutex_;
    std::vector<Line> lines_;
    std::thread thread_;
};

void PrintTo(const TraceReader::Line& l, std::ostream* os) { *os << l.source << "/" << l.level << " " << l.text; }

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
    int armedInCallback = -1;  // the side's armed word as the result callback saw it
};

struct Collector {
    std::mutex mutex;
    SideLog side[3];
    int reentrantTake = 1;   // result of a TakeResultImage of the same side made inside the result callback
    int reentrantOther = 1;  // and of the other side
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
        ZarnRunningInfo running{};
        if (Zarn_IRIS_Main_GetRunningInfo(Side, &running) == 0) s.armedInCallback = running.iris.armed;
    }
    if (takeInside) {
        const int same = Zarn_IRIS_Capture_TakeResultImage(Side);
        const int other = Zarn_IRIS_Capture_TakeResultImage(3 - Side);
        std::lock_guard lock(g_collector->mutex);
        g_collector->reentrantTake = same;
        g_collector->reentrantOther = other;
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

// Places where an upright 640 x 480 frame of the simulator's test pattern does not grow by 5 per
// column to the right and 11 per row downward (the header and sync bytes lie in the last row); -1
// for an image of another size.
int PatternErrors(const std::vector<uint8_t>& px) {
    if (px.size() != 640u * 480u) return -1;
    int wrong = 0;
    for (int y = 0; y < 478; y += 7)
        for (int x = 0; x < 639; x += 5) {
            wrong += uint8_t(px[size_t(y) * 640 + x + 1] - px[size_t(y) * 640 + x]) != 5;
            wrong += uint8_t(px[size_t(y + 1) * 640 + x] - px[size_t(y) * 640 + x]) != 11;
        }
    return wrong;
}

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
    static constexpr IrisAlgorithm kQuietAlgorithm = ScriptedAlgorithm(
        [](void*, const uint8_t*, int32_t, int32_t, EyeDetectionRecord* record, char*) -> int32_t {
            record->words[15] = 1;
            return 0;
        },
        [](const uint8_t*, int32_t, int32_t, const int32_t*, char*) -> float { return 0; });

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

// Callbacks that call nothing back, so that every export line traced is one the test made.
std::atomic<int> g_quietResults{0};
void QuietPreview(void*, ZarnImageInfo) {}
void QuietResult(void*, int, ZarnImageInfo) { ++g_quietResults; }
void QuietConnected(void*, int) {}

// "0x%x" of a pointer: its low 32 bits in hexadecimal.
std::string Hex(const void* p) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", unsigned(reinterpret_cast<uintptr_t>(p)));
    return text;
}

// Every export writes an entry line with its arguments and an exit line with its result, both at
// level 2 from the iris library's source; a few texts differ from the export's name.
TEST_F(IrisLibrary, EveryExportTracesItsEntryAndExit) {
    TraceReader trace;
    ASSERT_TRUE(trace.IsOpen());
    // The initialisation's wait for the first frames is part of the table: give a loaded machine time.
    SetIrisWaitScale(0.3);
    InstallAlgorithm(&kQuietAlgorithm);
    Attach(kTwoUnits);
    ZarnApiVersion version;
    ZarnDeviceInfo info;
    ZarnRunningInfo running;
    int count = 0, context = 0;
    std::vector<uint8_t> frames(10 * 640 * 480);
    uint8_t quality[80];
    uint16_t geometry[40];
    const auto preview = reinterpret_cast<const void*>(&QuietPreview);
    const auto result = reinterpret_cast<const void*>(&QuietResult);
    const auto connected = reinterpret_cast<const void*>(&QuietConnected);
    struct Row {
        std::function<int()> call;
        int code;
        std::vector<std::string> lines;
    };
    const std::vector<Row> rows = {
        {[&] { return Zarn_IRIS_Main_GetAPIVersion(&version); }, 0,
         {"Enter Zarn_IRIS_Main_GetAPIVersion(" + Hex(&version) + ")", "Exit  Zarn_IRIS_Main_GetAPIVersion()=0"}},
        {[&] { return Zarn_IRIS_Main_GetConnectedDevice(&count); }, 0,
         {"Enter Zarn_IRIS_Main_GetConnectedDevice(" + Hex(&count) + ")",
          "Exit  Zarn_IRIS_Main_GetConnectedDevice()=0"}},
        {[] { return Zarn_IRIS_Main_Initialize(); }, 0,
         {"Enter Zarn_IRIS_Main_Initialize()", "Exit  Zarn_IRIS_Main_Initialize()=0"}},
        {[] { return Zarn_IRIS_Main_Initialize(); }, -607,
         {"Enter Zarn_IRIS_Main_Initialize()", "Exit  Zarn_IRIS_Main_Initialize() = -607"}},
        {[&] { return Zarn_IRIS_Capture_RegisterCallbackPreviewImage(0, &QuietPreview, &context); }, 0,
         {"Enter Zarn_IRIS_Capture_RegisterCallbackPreviewImage(0, " + Hex(preview) + ", " + Hex(&context) + ")",
          "Exit  Zarn_IRIS_Capture_RegisterCallbackPreviewImage() = 0"}},
        {[&] { return Zarn_IRIS_Capture_RegisterCallbackResultImage(2, &QuietResult, nullptr); }, 0,
         {"Enter Zarn_IRIS_Capture_RegisterCallbackResultImage(2, " + Hex(result) + ", 0x0)",
          "Exit  Zarn_IRIS_Capture_RegisterCallbackResultImage() = 0"}},
        {[&] { return Zarn_IRIS_Capture_RegisterCallbackResultImage(3, &QuietResult, nullptr); }, -1,
         {"Enter Zarn_IRIS_Capture_RegisterCallbackResultImage(3, " + Hex(result) + ", 0x0)",
          "Exit  Zarn_IRIS_Capture_RegisterCallbackResultImage() = -1"}},
        {[&] { return Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected(&QuietConnected, &context); }, 0,
         {"Enter Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected(" + Hex(connected) + ", " + Hex(&context) + ")",
          "Exit  Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected() = 0"}},
        {[&] { return Zarn_IRIS_Main_GetDeviceInfo(&info); }, 0,
         {"Enter Zarn_IRIS_Main_GetDeviceInfo(" + Hex(&info) + "), info", "Exit  Zarn_IRIS_Main_GetDeviceInfo() = 0"}},
        {[] { return Zarn_IRIS_Capture_SetAutoCapParams(34, 60, 70, 10, -1, 5, 91); }, 0,
         {"Enter Zarn_Capture_SetAutoCapInfo(34, 60, 70, 10, -1, 5, 91)",
          "Exit  Zarn_IRIS_Capture_SetAutoCapParams() = 0"}},
        {[] { return Zarn_IRIS_Capture_SetMode(2, 3, 0, 9); }, 0,
         {"Enter Zarn_IRIS_Capture_SetMode(2, 3, 0, 9)", "Exit  Zarn_IRIS_Capture_SetMode() = 0"}},
        {[] { return Zarn_IRIS_Capture_Start(); }, 0,
         {"Enter Zarn_IRIS_Capture_Start()", "Exit  Zarn_IRIS_Capture_Start() = 0"}},
        {[&] { return Zarn_IRIS_Main_GetRunningInfo(2, &running); }, 0,
         {"Enter Zarn_IRIS_Main_GetRunningInfo(2, " + Hex(&running) + ")", "Exit  Zarn_IRIS_Main_GetRunningInfo() = 0"}},
        // A null record is refused without an exit line.
        {[] { return Zarn_IRIS_Main_GetRunningInfo(1, nullptr); }, -1, {"Enter Zarn_IRIS_Main_GetRunningInfo(1, 0x0)"}},
        {[] { return Zarn_IRIS_Capture_TakeResultImage(2); }, 0,
         {"Enter Zarn_IRIS_Capture_TakeResultImage(2)", "Exit  Zarn_IRIS_Capture_TakeResultImage() = 0"}},
        {[] { return Zarn_IRIS_Capture_AcquireResultImage(); }, 0,
         {"Enter Zarn_IRIS_Capture_AcquireResultImage()", "Exit  Zarn_IRIS_Capture_AcquireResultImage() = 0"}},
        {[] { return Zarn_IRIS_Controls_Beeper(3); }, -3,
         {"Enter Zarn_IRIS_Controls_Beeper(3)", "Exit  Zarn_IRIS_Controls_Beeper() = -3"}},
        {[] { return Zarn_IRIS_Capture_Abort(); }, 0,
         {"Enter Zarn_IRIS_Capture_Abort()", "Exit  Zarn_IRIS_Capture_Abort() = 0"}},
        // Eye mode 5 selects no camera: nothing to calibrate.
        {[] { return Zarn_IRIS_Capture_Calibration(5); }, 0,
         {"Enter Zarn_IRIS_Capture_Calibration(5)", "Exit  Zarn_IRIS_Capture_Calibration() = 0"}},
        {[&] { return Zarn_IRIS_GetImageAddr(2, frames.data(), quality, geometry); }, 0,
         {"Enter Zarn_IRIS_GetImageAddr(2, " + Hex(frames.data()) + ", " + Hex(quality) + ", " + Hex(geometry) + ")",
          "Exit  Zarn_IRIS_GetImageAddr() = 0"}},
        // Deinitialising aborts through the export first.
        {[] { return Zarn_IRIS_Main_DeInitialize(); }, 0,
         {"Enter Zarn_Main_DeInitialize()", "Enter Zarn_IRIS_Capture_Abort()", "Exit  Zarn_IRIS_Capture_Abort() = 0",
          "Exit  Zarn_Main_DeInitialize() = 0"}},
        {[] { return Zarn_IRIS_Main_DeInitialize(); }, -606,
         {"Enter Zarn_Main_DeInitialize()", "Exit  Zarn_Main_DeInitialize() = -606"}},
        {[] { return Zarn_IRIS_Capture_SetMode(1, 1, 1, 0); }, -606,
         {"Enter Zarn_IRIS_Capture_SetMode(1, 1, 1, 0)", "Exit  Zarn_IRIS_Capture_SetMode() = -606"}},
    };
    std::vector<TraceReader::Line> expected;
    for (const Row& row : rows) {
        EXPECT_EQ(row.call(), row.code) << row.lines.front();
        for (const std::string& text : row.lines) expected.push_back({int(TraceSource::ZarnIrisApi), 2, text});
    }
    EXPECT_EQ(g_quietResults.load(), 1) << "the manual capture of the right eye was delivered";
    // Only the right camera found: both camera objects are released again, each with its line.
    bus.reset();
    Attach("device right IrisRight serial 1002 period 15\n");
    const int failed = int(platform::video::E_FAIL);
    EXPECT_EQ(Zarn_IRIS_Main_Initialize(), failed);
    for (const char* text : {"Enter Zarn_IRIS_Main_Initialize()", "Exit  Zarn_IRIS_Main_Initialize - g_pIrisL->ReleaseRes()"})
        expected.push_back({int(TraceSource::ZarnIrisApi), 2, text});
    expected.push_back({int(TraceSource::ZarnIrisApi), 2, "Exit  Zarn_IRIS_Main_Initialize() = " + std::to_string(failed)});
    capturetest::WaitUntil([&] { return trace.Starting({"Enter Zarn_", "Exit  Zarn_"}).size() >= expected.size(); });
    EXPECT_EQ(trace.Starting({"Enter Zarn_", "Exit  Zarn_"}), expected);
}

// Scripted algorithm results for the initialisation.
int g_initResult = 0, g_createResult = 0, g_creates = 0;
const IrisAlgorithm kFailingAlgorithm = {
    [](char*) -> int32_t { return g_initResult; },
    []() -> int32_t { return 0; },
    [](void** context, char*) -> int32_t {
        ++g_creates;
        static int token;
        if (g_createResult == 0) *context = &token;
        return g_createResult;
    },
    [](void*) -> int32_t { return 0; },
    [](void*, const uint8_t*, int32_t, int32_t, EyeDetectionRecord*, char*) -> int32_t { return 0; },
    [](const uint8_t*, int32_t, int32_t, const int32_t*, char*) -> float { return 0; },
    [](const uint8_t*, int32_t, int32_t, const int32_t*, IrisLocation*, IrisQualityRecord*, char*) -> int32_t {
        return -1;
    }};

TEST_F(IrisLibrary, InitialiseFailuresAndTheirCodes) {
    InstallAlgorithm(&kFailingAlgorithm);
    Attach("device cam PloverA period 50\n");
    g_creates = 0;
    g_initResult = 3;
    EXPECT_EQ(Zarn_IRIS_Main_Initialize(), -803);
    EXPECT_EQ(g_creates, 0);
    g_initResult = 0;
    g_createResult = -6;
    EXPECT_EQ(Zarn_IRIS_Main_Initialize(), -794);
    g_createResult = 0;
    // No iris unit: the graph of the left camera cannot be built; nothing is left behind.
    g_creates = 0;
    EXPECT_EQ(Zarn_IRIS_Main_Initialize(), int(platform::video::E_FAIL));
    EXPECT_EQ(g_pIrisL.load(), nullptr);
    EXPECT_EQ(g_pIrisR.load(), nullptr);
    // A retry makes no second pair of detection contexts.
    EXPECT_EQ(Zarn_IRIS_Main_Initialize(), int(platform::video::E_FAIL));
    EXPECT_EQ(g_creates, 2);
    // Only one unit: the right camera finds none.
    bus.reset();
    Attach("device left IrisLeft period 15\n");
    EXPECT_EQ(Zarn_IRIS_Main_Initialize(), int(platform::video::E_FAIL));
    EXPECT_EQ(g_pIrisL.load(), nullptr);
    EXPECT_EQ(Count(LedWrites(Unit("left")), 1 << 8), 1) << "the left camera was released: red LEDs off";
    EXPECT_EQ(Zarn_IRIS_Main_GetRunningInfo(1, nullptr), -606);
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

// The wait scale of these tests shortens the polls for the first frames, not the time the cameras
// are given: a camera whose first frame takes longer than fifty scaled polls is still waited for.
TEST_F(IrisLibrary, InitialiseWaitsForASlowFirstFrame) {
    // The first frame is read out over 0.6 of its 1.5 s period.
    Open("device left IrisLeft serial 1001 period 1500\n"
         "device right IrisRight serial 1002 period 15\n");
    ZarnIrisBase* left = g_pIrisL.load();
    ASSERT_NE(left, nullptr);
    EXPECT_EQ(left->firstValidFrame.load(), 1);
    EXPECT_EQ(left->running.initialised.load(), 1);
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
    EXPECT_EQ(PatternErrors(left.previewPixels), 0);

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
    EXPECT_EQ(collector.reentrantOther, 0) << "each side has its own delivery";
    EXPECT_EQ(done.armedInCallback, 0) << "disarmed before the callback: the caller may arm again from it";
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

// Results of a manual capture of both eyes whose left callback asks for both eyes again.
struct BothEyesTake {
    std::mutex mutex;
    int results[3] = {0, 0, 0};
    int inner = 1;  // what the left callback's TakeResultImage(3) returned
} g_bothTake;

template <int Side>
void TakingBothResult(void*, int, ZarnImageInfo) {
    const int inner = Side == 1 ? Zarn_IRIS_Capture_TakeResultImage(3) : 1;
    std::lock_guard lock(g_bothTake.mutex);
    ++g_bothTake.results[Side];
    if (Side == 1) g_bothTake.inner = inner;
}

// Eye mode 3 delivers the left and then the right eye; a delivery of the left side under way ends a
// second call at once with -615, before the right side.
TEST_F(IrisLibrary, ManualCaptureOfBothEyesDeliversLeftThenRight) {
    Open(kTwoUnits);
    ASSERT_EQ(Zarn_IRIS_Capture_RegisterCallbackResultImage(1, &TakingBothResult<1>, nullptr), 0);
    ASSERT_EQ(Zarn_IRIS_Capture_RegisterCallbackResultImage(2, &TakingBothResult<2>, nullptr), 0);
    ASSERT_EQ(Zarn_IRIS_Capture_SetMode(3, 1, 0, 0), 0);
    ASSERT_TRUE(capturetest::WaitUntil([&] { return collector.Side(1).previews >= 2 && collector.Side(2).previews >= 2; }));
    ASSERT_EQ(Zarn_IRIS_Capture_TakeResultImage(3), 0);
    {
        std::lock_guard lock(g_bothTake.mutex);
        EXPECT_EQ(g_bothTake.inner, -615);
        EXPECT_EQ(g_bothTake.results[1], 1);
        EXPECT_EQ(g_bothTake.results[2], 1);
    }
    for (int side : {1, 2}) {
        ZarnRunningInfo running;
        ASSERT_EQ(Zarn_IRIS_Main_GetRunningInfo(side, &running), 0);
        EXPECT_EQ(running.iris.armed, 0) << side;
        EXPECT_EQ(running.iris.done, 1) << side;
    }
    EXPECT_FALSE(Unit("left")->Streaming());
    EXPECT_FALSE(Unit("right")->Streaming());
}

// Every frame shows a centred eye of quality 50; the analyses of stage 3 all fail, so the best
// stored frame is delivered.
const IrisAlgorithm kCentredAlgorithm = ScriptedAlgorithm(
    [](void*, const uint8_t*, int32_t w, int32_t h, EyeDetectionRecord* record, char*) -> int32_t {
        record->words[15] = 1;
        record->words[16] = w / 2 - 20, record->words[17] = h / 2 - 20;
        record->words[18] = 40, record->words[19] = 40;
        return 0;
    },
    [](const uint8_t*, int32_t, int32_t, const int32_t*, char*) -> float { return 50; });

// The result image as the callback found it on entry, and after it aborted, armed the next capture
// and aborted that too (each clears the side's frame store).
struct AbortInsideResult {
    std::mutex mutex;
    int calls = 0;
    std::vector<uint8_t> onEntry, afterAbort;
    int codes[3] = {1, 1, 1};
    bool best = false;  // the image was record 0's frame
} g_abortInside;

void AbortingResult(void*, int, ZarnImageInfo image) {
    const size_t size = size_t(image.width) * image.height;
    std::vector<uint8_t> entry(image.image, image.image + size);
    // The image is the best ranked frame of the capture.
    std::vector<uint8_t> ranked(10 * size);
    uint8_t quality[80];
    uint16_t geometry[40];
    const bool best = Zarn_IRIS_GetImageAddr(1, ranked.data(), quality, geometry) == 0 &&
                      std::equal(entry.begin(), entry.end(), ranked.begin());
    const int a = Zarn_IRIS_Capture_Abort();
    const int b = Zarn_IRIS_Capture_SetMode(1, 3, 1, 0);
    const int c = Zarn_IRIS_Capture_Abort();
    std::lock_guard lock(g_abortInside.mutex);
    ++g_abortInside.calls;
    g_abortInside.onEntry = std::move(entry);
    g_abortInside.afterAbort.assign(image.image, image.image + size);
    g_abortInside.codes[0] = a, g_abortInside.codes[1] = b, g_abortInside.codes[2] = c;
    g_abortInside.best = best;
}

// The frame handed to the result callback is the callback's while it runs: an Abort or the next
// SetMode clears the frame store, not the delivered image.
TEST_F(IrisLibrary, AbortDuringDeliveryLeavesTheDeliveredImage) {
    Attach(kTwoUnits);
    InstallAlgorithm(&kCentredAlgorithm);
    ASSERT_EQ(Zarn_IRIS_Main_Initialize(), 0);
    ASSERT_EQ(Zarn_IRIS_Capture_RegisterCallbackResultImage(1, &AbortingResult, nullptr), 0);
    ASSERT_EQ(Zarn_IRIS_Capture_SetMode(1, 3, 1, 0), 0);
    ASSERT_TRUE(capturetest::WaitUntil([] {
        std::lock_guard lock(g_abortInside.mutex);
        return g_abortInside.calls >= 1;
    }, 20000));
    std::lock_guard lock(g_abortInside.mutex);
    EXPECT_EQ(g_abortInside.calls, 1);
    EXPECT_EQ(g_abortInside.codes[0], 0);
    EXPECT_EQ(g_abortInside.codes[1], 0);
    EXPECT_EQ(g_abortInside.codes[2], 0);
    EXPECT_TRUE(g_abortInside.best) << "the delivered image is the best ranked frame";
    ASSERT_EQ(g_abortInside.onEntry.size(), 640u * 480u);
    EXPECT_GT(std::count_if(g_abortInside.onEntry.begin(), g_abortInside.onEntry.end(), [](uint8_t v) { return v != 0; }),
              640 * 480 / 2)
        << "a camera frame was delivered";
    EXPECT_TRUE(g_abortInside.afterAbort == g_abortInside.onEntry) << "the delivered image changed under the callback";
    // The store itself was cleared by the aborts.
    std::vector<uint8_t> frames(10 * 640 * 480, 1);
    uint8_t quality[80];
    uint16_t geometry[40];
    ASSERT_EQ(Zarn_IRIS_GetImageAddr(1, frames.data(), quality, geometry), 0);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), 0), std::ptrdiff_t(frames.size()));
}

// Unplugged during an automatic capture of both eyes, the left unit is reported through the
// connection callback and the trace; no result comes, the capture is aborted and the library
// deinitialised. Plugged in again, the camera is initialised again and captures an eye.
TEST_F(IrisLibrary, UnplugDuringACaptureEndsItAndAReplugCapturesAgain) {
    TraceReader trace;
    ASSERT_TRUE(trace.IsOpen());
    Open("device left IrisLeft serial 1001 period 15 pattern\n"
         "device right IrisRight serial 1002 period 15 pattern\n");
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
    EXPECT_EQ(collector.Side(1).results + collector.Side(2).results, 0);
    // The loss is traced at level 2 on each change of the connected flag from 1 to 0; the flag is
    // one for both units, so the right unit's successful probes set it again in between.
    const std::vector<TraceReader::Line> lost = trace.Starting({"Iris has been disconnected."});
    EXPECT_GE(lost.size(), 1u);
    for (const TraceReader::Line& line : lost)
        EXPECT_EQ(line, (TraceReader::Line{int(TraceSource::ZarnIrisApi), 2, "Iris has been disconnected."}));

    Unit("left")->Replug();
    ASSERT_TRUE(capturetest::WaitUntil([&] { return Zarn_IRIS_Main_GetConnectedDevice(&count) == 0 && count == 2; }));
    ASSERT_EQ(Zarn_IRIS_Main_Initialize(), 0);
    ASSERT_EQ(Zarn_IRIS_Capture_RegisterCallbackPreviewImage(1, &OnPreview<1>, &collector), 0);
    ASSERT_EQ(Zarn_IRIS_Capture_RegisterCallbackResultImage(1, &OnResult<1>, &collector), 0);
    const int previews = collector.Side(1).previews;
    ASSERT_EQ(Zarn_IRIS_Capture_SetMode(1, 1, 0, 0), 0);
    ASSERT_TRUE(capturetest::WaitUntil([&] { return collector.Side(1).previews >= previews + 2; }));
    ASSERT_EQ(Zarn_IRIS_Capture_TakeResultImage(1), 0);
    const SideLog left = collector.Side(1);
    ASSERT_EQ(left.results, 1);
    EXPECT_EQ(PatternErrors(left.resultPixels), 0) << "the replugged unit's test pattern, upright";
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
    Open("device left IrisLeft serial 1001 period 25\ndevice right IrisRight serial 2002 period 25\n"
         "at 0 * set card " + std::to_string(c.albedo) + "\nat 0 * set gain " + std::to_string(c.gain) + "\n");
    // The calibration waits its full 100 ms per step: the camera shows a new LED level in the frames
    // within that time.
    SetIrisWaitScale(1.0);
    const size_t rightBefore = LedWrites(Unit("right")).size();
    EXPECT_EQ(Zarn_IRIS_Capture_Calibration(c.eyeMode), c.result);
    EXPECT_FALSE(Unit("left")->Streaming());
    EXPECT_FALSE(Unit("right")->Streaming());
    const std::vector<int> left = RedLevels(Unit("left")), right = RedLevels(Unit("right"));
    ASSERT_FALSE(left.empty());
    ASSERT_FALSE(right.empty());
    if (name == "converges") {
        // In the band, give or take what one LED step (1.4 grey) and the rounding of the mean move.
        const double leftLevel = CardLevel(c.albedo, c.gain, left.back());
        EXPECT_GE(leftLevel, 220 - 2);
        EXPECT_LE(leftLevel, 230 + 2);
        const double rightLevel = CardLevel(c.albedo, c.gain, right.back());
        EXPECT_GE(rightLevel, 160 - 2);
        EXPECT_LE(rightLevel, 170 + 2);
        // The stored levels stay; the cameras keep the calibrated one.
        EXPECT_EQ(g_pIrisL.load()->red1.load(), 81);
    } else if (name == "oscillates") {
        // No level lights the card inside the band: one step of the LED level jumps over it.
        for (int r = 0; r < 256; ++r) {
            const double level = CardLevel(c.albedo, c.gain, r);
            ASSERT_TRUE(level < 157 || level > 173) << r;
        }
        // The seventh change of direction ends the calibration, successfully, off the band: the last
        // writes swing between the two levels around it. (The first change can come before the first
        // write, when the first frame measured is one from before the run.)
        const std::vector<int> tail(right.end() - std::min<size_t>(right.size(), 10), right.end());
        const int reversals = Reversals(right);
        EXPECT_TRUE(reversals == 5 || reversals == 6) << ::testing::PrintToString(tail);
        EXPECT_LE(Reversals(std::vector<int>(right.begin(), right.end() - 8)), 1) << "a single descent first";
        EXPECT_LE(right.back(), 1);
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
                                           CalibrationCase{"oscillates", 2550, 1.0, 2, 0},
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
        scene.white = 6;  // the white LED's collection level (the write 6 | 3 << 8 checked below) narrows the pupil
        const sim::EyeTruth truth = sim::RenderEyeFrame(scene).truth;
        // The pupil is the darkest disc of the result: the mean inside the true pupil is far below
        // the mean of the true iris ring.
        const sim::PupilAndRing m = sim::MeanPupilAndRing(log.resultPixels.data(), 640, 480, truth.pupil, truth.iris);
        ASSERT_GT(m.pupilCount, 0);
        ASSERT_GT(m.ringCount, 0);
        EXPECT_LT(m.pupil + 25, m.ring) << "side " << side;
        // The ranked records of the capture locate that eye.
        std::vector<uint8_t> frames(10 * 640 * 480);
        uint8_t quality[80];
        uint16_t geometry[40];
        ASSERT_EQ(Zarn_IRIS_GetImageAddr(side, frames.data(), quality, geometry), 0);
        EXPECT_EQ(std::memcmp(frames.data(), log.resultPixels.data(), 640 * 480), 0) << "record 0 is the result";
        // Record 0's location is that eye's: pupil and iris within 3 pixels of the truth.
        EXPECT_NEAR(geometry[0], truth.pupil.x, 3) << "side " << side;
        EXPECT_NEAR(geometry[1], truth.pupil.y, 3) << "side " << side;
        EXPECT_NEAR(geometry[2], truth.pupil.r, 3) << "side " << side;
        EXPECT_NEAR(geometry[3], truth.iris.r, 3) << "side " << side;
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


// ---- the camera object's frame path, without a camera ----------------------------------------

std::vector<std::vector<uint8_t>> g_previews;
void KeepPreview(void*, ZarnImageInfo image) {
    g_previews.emplace_back(image.image, image.image + size_t(image.width) * image.height);
}

// A raw frame of w x h bytes holding its index, with a header.
std::vector<uint8_t> RawFrame(int w, int h, bool validHeader, uint16_t date1, uint16_t date2, int32_t serial) {
    std::vector<uint8_t> raw(size_t(w) * h);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i * 7 + 3);
    auto put32 = [&](int at, uint32_t v) {
        for (int k = 0; k < 4; ++k) raw[size_t(at + k)] = uint8_t(v >> (8 * k));
    };
    put32(24, 0x34333231);  // "1234"
    put32(28, uint32_t(serial));
    put32(32, uint32_t(date1) | uint32_t(date2) << 16);
    raw[60] = validHeader ? 7 : 0, raw[61] = 1, raw[62] = 0, raw[63] = 90;
    return raw;
}

TEST(IrisCameraFrames, HeaderLengthGuardAndUprightPreview) {
    ZarnIrisBase s(1, 0);
    s.width = 16, s.height = 8, s.frameSize = 128;
    s.frame.assign(128, 0);
    s.previewCallback = &KeepPreview;
    g_previews.clear();
    EXPECT_EQ(s.OnBuffer(0, nullptr, 128), platform::video::E_POINTER);
    std::vector<uint8_t> raw = RawFrame(16, 8, false, 0x2C8E, 0x2C8E, 987654);
    EXPECT_EQ(s.OnBuffer(0, raw.data(), 0), platform::video::E_POINTER);
    // Without a valid header the next frame is examined again; the first frame after a start is
    // dropped either way.
    ASSERT_EQ(s.OnBuffer(0, raw.data(), 128), 0);
    EXPECT_EQ(s.firstValidFrame.load(), 0);
    EXPECT_TRUE(g_previews.empty());
    raw = RawFrame(16, 8, true, 0x2C8E, 0x2C8E, 987654);
    ASSERT_EQ(s.OnBuffer(0, raw.data(), 128), 0);
    EXPECT_EQ(s.firstValidFrame.load(), 1);
    EXPECT_EQ(s.red1.load(), 90);
    EXPECT_EQ(s.red2.load(), 81) << "a zero level keeps the stored one";
    EXPECT_EQ(g_previews.size(), 1u);
    // A sample shorter than a frame is not used.
    std::vector<uint8_t> shortRaw(100, 1);
    ASSERT_EQ(s.OnBuffer(0, shortRaw.data(), 100), 0);
    EXPECT_EQ(s.shortSamples.load(), 1);
    EXPECT_EQ(g_previews.size(), 1u);
    // A longer one gives its first frame, turned upright: pixel (x, y) is raw (w-1-x, h-1-y).
    std::vector<uint8_t> longRaw = RawFrame(16, 8, true, 0, 0, 0);
    const std::vector<uint8_t> original = longRaw;
    longRaw.resize(200, 0xEE);
    ASSERT_EQ(s.OnBuffer(0, longRaw.data(), 200), 0);
    ASSERT_EQ(g_previews.size(), 2u);
    int wrong = 0;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x) wrong += g_previews[1][size_t(y) * 16 + x] != original[size_t(7 - y) * 16 + 15 - x];
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(longRaw[128], 0xEE) << "bytes past the frame are left alone";
    EXPECT_EQ(s.imageInfo.isResult, 0);

    ZarnDeviceInfo info{};
    ASSERT_EQ(s.FillDeviceInfo(&info), 0);
    EXPECT_STREQ(info.serialNumber, "987654");
    EXPECT_STREQ(info.firstDate, "20140225");
    EXPECT_STREQ(info.secondDate, "20140225");
    EXPECT_STREQ(info.firmware, "1234");
}

TEST(IrisCameraFrames, ImplausibleDatesGiveTheFallbackSerial) {
    struct Case {
        uint16_t d1, d2;
        int32_t serial;
        const char *serialText, *date1;
    } cases[] = {
        {0x2C8E, 0x1CAD, 0, "0", "20140225"},
        {0xD08E, 0x2C8E, 77, "0000", "20100830"},   // month 13
        {0x2C8E, 0x200E, 77, "0000", "20100830"},   // day 0
        {0x2C65, 0x2C8E, 77, "0000", "20100830"},   // year field 101
        {0x2CE4, 0x2C8E, 77, "77", "21000225"},     // year field 100 still passes
        {0x2C8E, 0x0C8E, 77, "0000", "20100830"},   // second date, month 0
        {0xCC8E, 0x2C8E, 77, "77", "20141225"},     // month 12
    };
    for (const Case& c : cases) {
        ZarnIrisBase s(1, 0);
        const std::vector<uint8_t> raw = RawFrame(16, 8, true, c.d1, c.d2, c.serial);
        s.ParseFrameHeader(raw.data(), long(raw.size()));
        ZarnDeviceInfo info{};
        s.FillDeviceInfo(&info);
        EXPECT_STREQ(info.serialNumber, c.serialText) << std::hex << c.d1 << " " << c.d2;
        EXPECT_STREQ(info.firstDate, c.date1) << std::hex << c.d1 << " " << c.d2;
    }
}

TEST(IrisStretch, DarkestAndBrightestSharesGoToTheEnds) {
    // 200 x 100: 5000 samples, unit 5: the low end is the first level whose running count passes 10,
    // the high end the first from the top whose count passes 15.
    std::vector<uint8_t> image(200 * 100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x) image[size_t(y) * 200 + x] = x < 50 ? 50 : x < 150 ? 100 : 150;
    image[1] = 10;  // an odd column: never sampled
    StretchContrast(image.data(), 200, 100, 2, 3);
    EXPECT_EQ(image[0], 0);
    EXPECT_EQ(image[1], 0);
    EXPECT_EQ(image[60], 127);  // (100 - 50) x 255 / 100
    EXPECT_EQ(image[199], 255);
    // A flat image maps to one end without dividing by zero.
    std::vector<uint8_t> flat(200 * 100, 77);
    StretchContrast(flat.data(), 200, 100, 2, 3);
    EXPECT_EQ(flat[0], 0);
}

TEST(IrisStretch, OnlyEverySecondPixelOfEverySecondRowCountsAndTheEndsMustBeExceeded) {
    // 200 x 100, unit 5: the low end needs a running count above 10, the high end one above 15.
    // Sampled pixels: 10 at level 10 and 15 at level 200 (exactly at the thresholds, so not yet the
    // ends), 20 at 60, 20 at 151, the rest 100; pixels outside the samples are 0 but for two.
    std::vector<uint8_t> image(200 * 100, 0);
    for (int y = 0; y < 100; y += 2)
        for (int x = 0; x < 200; x += 2) image[size_t(y) * 200 + x] = 100;
    auto put = [&](int row, int from, int count, uint8_t v) {
        for (int i = 0; i < count; ++i) image[size_t(row) * 200 + from + 2 * i] = v;
    };
    put(0, 0, 10, 10);
    put(0, 20, 20, 60);
    put(4, 0, 15, 200);
    put(6, 0, 20, 151);
    image[2 * 200 + 41] = 121;
    image[3 * 200 + 7] = 150;
    StretchContrast(image.data(), 200, 100, 2, 3);
    // low 60, high 151, f = 255 / 91 in single precision: v maps to (v - 60) x f, truncated.
    EXPECT_EQ(image[0], 0);                   // level 10
    EXPECT_EQ(image[20], 0);                  // level 60
    EXPECT_EQ(image[2 * 200 + 40], 112);      // level 100: 40 x 255 / 91 = 112.09
    EXPECT_EQ(image[2 * 200 + 41], 170);      // level 121: 61 x 2.8021977 = 170.934
    EXPECT_EQ(image[3 * 200 + 7], 252);       // level 150: 90 x 2.8021977 = 252.198
    EXPECT_EQ(image[6 * 200], 255);           // level 151, the high end itself
    EXPECT_EQ(image[4 * 200], 255);           // level 200
    EXPECT_EQ(image[1], 0) << "a level-0 pixel stays 0";
    EXPECT_EQ(image[200 + 40], 0);

    // Level 0 counts for the low end: 11 sampled zeros make it 0; 20 samples at 200 the high end.
    std::vector<uint8_t> dark(200 * 100, 100);
    for (int i = 0; i < 11; ++i) dark[size_t(2 * i)] = 0;
    for (int i = 0; i < 20; ++i) dark[size_t(2 * 200 + 2 * i)] = 200;
    StretchContrast(dark.data(), 200, 100, 2, 3);
    EXPECT_EQ(dark[0], 0);
    EXPECT_EQ(dark[5 * 200], 127);  // 100 x 255 / 200
    EXPECT_EQ(dark[2 * 200], 255);
}

// ---- auto-capture stages on frames handed to them directly ------------------------------------

struct StageScript {
    std::vector<int> centred[2];  // per side: 1 a centred eye, 0 none, 2 an eye off-centre, per frame
    size_t next[2] = {0, 0};
    float score = 50;
    IrisLocation location{};
    IrisQualityRecord quality{};
    int analyses = 0;
} g_stage;

int g_tokens[2];

const IrisAlgorithm kStageAlgorithm = {
    [](char*) -> int32_t { return 0; },
    []() -> int32_t { return 0; },
    [](void**, char*) -> int32_t { return 0; },
    [](void*) -> int32_t { return 0; },
    [](void* context, const uint8_t*, int32_t w, int32_t h, EyeDetectionRecord* record, char*) -> int32_t {
        const int side = context == &g_tokens[0] ? 0 : 1;
        // Working-width code 6, groups of at least 2 hits, word 3 set.
        EXPECT_EQ(record->words[1], 6);
        EXPECT_EQ(record->words[2], 2);
        EXPECT_EQ(record->words[3], 1);
        const std::vector<int>& script = g_stage.centred[side];
        const int what = g_stage.next[side] < script.size() ? script[g_stage.next[side]++] : 0;
        record->words[15] = what != 0 ? 3 : 0;
        if (what != 0) {
            // A 20 x 16 box centred in the frame (1), in its top left corner (2), with its centre on
            // the left edge of the middle three fifths (3), just inside it (4), on its bottom edge (5),
            // on its right edge (6), on its top edge (7); a 40 x 16 box from column 0 (8).
            const int cx[] = {0, w / 2, 10, w / 5, w / 5 + 1, w / 2, w * 4 / 5, w / 2, 20};
            const int cy[] = {0, h / 2, 8, h / 2, h / 2, h * 4 / 5, h / 2, h / 5, h / 2};
            const int bw = what == 8 ? 40 : 20;
            record->words[16] = cx[what] - bw / 2;
            record->words[17] = cy[what] - 8;
            record->words[18] = bw;
            record->words[19] = 16;
        }
        return 0;
    },
    [](const uint8_t*, int32_t, int32_t, const int32_t* options, char*) -> float {
        EXPECT_EQ(options[0], 6);
        return g_stage.score;
    },
    [](const uint8_t*, int32_t, int32_t, const int32_t* options, IrisLocation* location, IrisQualityRecord* record,
       char*) -> int32_t {
        EXPECT_EQ(options[0], 0) << "the analysis locates the eye itself";
        ++g_stage.analyses;
        *location = g_stage.location;
        *record = g_stage.quality;
        return 0;
    }};

class IrisStages : public ::testing::Test {
protected:
    void SetUp() override {
        SetIrisWaitScale(0.01);
        g_stage = StageScript{};
        InstallAlgorithm(&kStageAlgorithm);
        for (int i = 0; i < 2; ++i) {
            ZarnIrisBase& s = *side[i];
            s.width = 64, s.height = 48, s.frameSize = 64 * 48;
            s.frame.assign(size_t(s.frameSize), 0);
            s.store.assign(size_t(s.frameSize) * kStoreSlots, 0);
            for (int k = 0; k < kStoreSlots; ++k) s.slots[k] = s.store.data() + size_t(k) * s.frameSize;
            s.resultEvent = std::make_unique<platform::Event>();
        }
        g_pIrisL = &left;
        g_pIrisR = &right;
    }
    void TearDown() override {
        g_pIrisL = nullptr;
        g_pIrisR = nullptr;
        g_nEyeMode = 0;
        InstallAlgorithm(nullptr);
    }
    // Arms sides as SetMode does for the eye mode.
    void Arm(int eyeMode, int quality) {
        g_nEyeMode = eyeMode;
        for (ZarnIrisBase* s : {&left, &right}) {
            s->quality = quality;
            s->ResetCollection(quality);
            s->ClearFrameStore();
        }
    }
    // One analysed frame of a side, its pixels set to `fill`.
    void Frame(ZarnIrisBase& s, uint8_t fill = 100) {
        std::fill(s.frame.begin(), s.frame.end(), fill);
        I_AnalyzeFrame(s, &g_tokens[s.side - 1]);
    }
    ZarnIrisBase left{1, 0}, right{2, 1};
    ZarnIrisBase* side[2] = {&left, &right};
};

TEST_F(IrisStages, ThreeCentredHitsMakeTheEyePresentAndLightTheWhiteLed) {
    Arm(1, 3);
    // Hits are not reset by misses before the eye is present; an eye off-centre is no hit.
    g_stage.centred[0] = {1, 0, 2, 1, 0, 0, 1};
    for (int i = 0; i < 6; ++i) Frame(left);
    EXPECT_EQ(left.hits.load(), 2);
    EXPECT_FALSE(left.present.load());
    EXPECT_FALSE(left.whiteOn.load());
    EXPECT_EQ(left.misses.load(), 0) << "misses count only once the eye is present";
    Frame(left);
    EXPECT_TRUE(left.present.load());
    EXPECT_TRUE(left.whiteOn.load());
    EXPECT_EQ(left.eyeSeen.load(), 1);
    // The frame that made the eye present is graded and stored already.
    EXPECT_EQ(left.collected.load(), 1);
    EXPECT_FALSE(right.whiteOn.load());
}

TEST_F(IrisStages, AnEyeOnTheEdgeOfTheMiddleIsNoHit) {
    Arm(1, 3);
    g_stage.centred[0] = {3, 5, 6, 7, 4, 8};
    for (int i = 0; i < 4; ++i) Frame(left);
    EXPECT_EQ(left.hits.load(), 0);
    EXPECT_EQ(left.eyeSeen.load(), 0);
    Frame(left);
    EXPECT_EQ(left.hits.load(), 1);
    EXPECT_EQ(left.eyeSeen.load(), 1);
    Frame(left);
    EXPECT_EQ(left.hits.load(), 2) << "a box from column 0 is a found eye";
}

TEST_F(IrisStages, EightMissesRestartOrFinishTheCollection) {
    struct Case {
        int storedBeforeLoss;
        bool done;
    } cases[] = {{2, false}, {3, true}};
    for (const Case& c : cases) {
        SetUp();
        Arm(1, 3);
        std::vector<int> script(size_t(2 + c.storedBeforeLoss), 1);
        script.insert(script.end(), 8, 0);
        g_stage.centred[0] = script;
        for (size_t i = 0; i < script.size() - 1; ++i) Frame(left, uint8_t(10 + i));
        EXPECT_EQ(left.collected.load(), c.storedBeforeLoss);
        EXPECT_EQ(left.misses.load(), 7);
        EXPECT_TRUE(left.whiteOn.load());
        Frame(left);
        EXPECT_EQ(left.collectDone.load(), c.done);
        if (c.done) {
            // Stage 3 follows at once: ten analyses, the LED off, the thread woken.
            EXPECT_EQ(g_stage.analyses, 10);
            EXPECT_TRUE(left.analysed.load());
            EXPECT_FALSE(left.whiteOn.load());
            EXPECT_TRUE(left.resultEvent->IsSet());
        } else {
            // Back to searching: LED off, store cleared, counts reset.
            EXPECT_FALSE(left.present.load());
            EXPECT_FALSE(left.whiteOn.load());
            EXPECT_EQ(left.collected.load(), 0);
            EXPECT_EQ(left.hits.load(), 0);
            EXPECT_EQ(left.slots[0][0], 0);
            EXPECT_FALSE(left.resultEvent->IsSet());
        }
        TearDown();
    }
}

TEST_F(IrisStages, StoredFramesRankByScoreKeepingTheOrderOfEqualScores) {
    Arm(1, 1);
    left.eyeSeen = 1;
    const float scores[] = {40, 50, 40, 50, 34};
    for (int i = 0; i < 5; ++i) {
        g_stage.score = scores[i];
        std::fill(left.frame.begin(), left.frame.end(), uint8_t(i + 1));
        ASSERT_EQ(I_CollectFrame(left), 0);
    }
    g_stage.score = 33.99f;
    EXPECT_EQ(I_CollectFrame(left), -804) << "below the first threshold";
    EXPECT_EQ(left.collected.load(), 5);
    const int order[] = {1, 3, 0, 2, 4};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(left.ranked[i].slot, order[i]) << i;
        EXPECT_EQ(left.slots[left.ranked[i].slot][0], order[i] + 1);
    }
    // A side not seeing the eye stores nothing; a full store is done.
    left.eyeSeen = 0;
    g_stage.score = 90;
    EXPECT_EQ(I_CollectFrame(left), 0);
    EXPECT_EQ(left.collected.load(), 5);
    left.collected = kStoreSlots;
    EXPECT_EQ(I_CollectFrame(left), 0);
    EXPECT_TRUE(left.collectDone.load());
}

TEST_F(IrisStages, TheFinalTestsAreStrict) {
    // Frame 64 x 48; thresholds b 60, c 70, d 10, e (csi) 4, f (cip) 2 and an iris radius above 0.
    left.params[4] = 4;
    left.params[5] = 2;
    left.params[6] = 0;
    struct Case {
        int irisX, irisY, radius;
        uint8_t valid, q, o, g, cip, csi;
        float final;
    } cases[] = {
        {17, 24, 10, 1, 40, 80, 70, 5, 5, 64.0f},   // passes: 80 x 40 / 50
        {16, 24, 10, 1, 40, 80, 70, 5, 5, 0},       // x - 1.6 r = 0
        {48, 24, 10, 1, 40, 80, 70, 5, 5, 0},       // x + 1.6 r = 64
        {47, 24, 10, 1, 40, 80, 70, 5, 5, 64.0f},
        {17, 12, 10, 1, 40, 80, 70, 5, 5, 0},       // y - 1.2 r = 0
        {17, 13, 10, 1, 40, 80, 70, 5, 5, 64.0f},   // y - 1.2 r = 1
        {17, 36, 10, 1, 40, 80, 70, 5, 5, 0},       // y + 1.2 r = 48
        {17, 35, 10, 1, 40, 80, 70, 5, 5, 64.0f},
        {17, 24, 10, 0, 40, 80, 70, 5, 5, 0},       // not valid
        {17, 24, 10, 1, 10, 80, 70, 5, 5, 0},       // q = d
        {17, 24, 10, 1, 11, 70, 70, 5, 5, 0},       // o = c
        {17, 24, 10, 1, 11, 71, 60, 5, 5, 0},       // g = b
        {17, 24, 10, 1, 11, 71, 61, 2, 5, 0},       // cip = f
        {17, 24, 10, 1, 11, 71, 61, 5, 4, 0},       // csi = e
        {17, 24, 10, 1, 11, 71, 61, 3, 5, 15.62f},  // all just above
        {17, 24, 10, 1, 255, 255, 255, 255, 255, 1300.5f},
    };
    for (const Case& c : cases) {
        Arm(1, 3);
        left.collectDone = true;
        g_stage.location = IrisLocation{};
        g_stage.location.irisX = int16_t(c.irisX), g_stage.location.irisY = int16_t(c.irisY);
        g_stage.location.irisRadius = int16_t(c.radius);
        g_stage.quality = IrisQualityRecord{};
        uint8_t* q = g_stage.quality.bytes;
        q[0] = c.valid, q[1] = c.q, q[2] = c.o, q[5] = c.g, q[7] = c.cip, q[8] = c.csi;
        ASSERT_EQ(I_SelectBestFrames(left), 0);
        EXPECT_FLOAT_EQ(left.ranked[0].finalScore, c.final) << c.irisX << " " << c.irisY << " " << int(c.q);
        EXPECT_EQ(left.ranked[0].quality.bytes[1], std::min(255, int(c.final))) << "the score replaces q, saturated";
    }
}

TEST_F(IrisStages, BothEyesWaitForEachOther) {
    Arm(3, 3);
    left.collectDone = true;
    // The left side is done, the right one still searching: nothing is analysed.
    EXPECT_EQ(I_SelectBestFrames(left), 0);
    EXPECT_FALSE(left.analysed.load());
    EXPECT_EQ(g_stage.analyses, 0);
    right.collectDone = true;
    ASSERT_EQ(I_SelectBestFrames(left), 0);
    EXPECT_TRUE(left.analysed.load());
    EXPECT_FALSE(left.resultEvent->IsSet()) << "no result before both sides are analysed";
    ASSERT_EQ(I_SelectBestFrames(right), 0);
    EXPECT_TRUE(left.resultEvent->IsSet());
    EXPECT_TRUE(right.resultEvent->IsSet());
}

TEST_F(IrisStages, BothEyesLightTogetherAndRestartTogether) {
    Arm(3, 3);
    g_stage.centred[0] = {1, 1, 1, 1, 1};
    g_stage.centred[1] = {1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 3; ++i) Frame(left);
    EXPECT_TRUE(left.present.load());
    EXPECT_FALSE(left.whiteOn.load()) << "the white LEDs wait for the other eye";
    for (int i = 0; i < 3; ++i) Frame(right);
    EXPECT_TRUE(left.whiteOn.load());
    EXPECT_TRUE(right.whiteOn.load());
    Frame(left);
    Frame(right);
    // The right frame that lit the LEDs was stored already.
    EXPECT_EQ(left.collected.load(), 1);
    EXPECT_EQ(right.collected.load(), 2);
    for (int i = 0; i < 8; ++i) Frame(right);
    // Too few frames on the right: both sides start again.
    EXPECT_FALSE(left.whiteOn.load());
    EXPECT_FALSE(right.whiteOn.load());
    EXPECT_EQ(left.collected.load(), 0);
    EXPECT_FALSE(left.present.load());
}

TEST_F(IrisStages, BothEyesFinishOnlyWhenTheOtherEyeHasEnoughFrames) {
    // The eye that is lost has its 3 frames; the other eye has only 1: both sides start again.
    for (int lost : {0, 1}) {
        SetUp();
        Arm(3, 3);
        ZarnIrisBase& a = *side[lost];
        ZarnIrisBase& b = *side[1 - lost];
        g_stage.centred[lost] = {1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0};
        g_stage.centred[1 - lost] = {1, 1, 1};
        for (int i = 0; i < 3; ++i) Frame(a);
        for (int i = 0; i < 3; ++i) Frame(b);
        for (int i = 0; i < 3; ++i) Frame(a);
        ASSERT_EQ(a.collected.load(), 3) << lost;
        ASSERT_EQ(b.collected.load(), 1) << lost;
        for (int i = 0; i < 8; ++i) Frame(a);
        EXPECT_FALSE(a.collectDone.load()) << lost;
        EXPECT_EQ(a.collected.load(), 0) << lost;
        EXPECT_EQ(b.collected.load(), 0) << lost;
        EXPECT_FALSE(a.whiteOn.load()) << lost;
        EXPECT_FALSE(b.whiteOn.load()) << lost;
        TearDown();
    }
}

}  // namespace
