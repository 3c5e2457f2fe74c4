// Device initialisation: descriptors, the model table, the device report and header, identity.

#include <cstring>

#include "Rig.h"
#include "platform/TessikUsbProtocol.h"
#include "sim/SimBus.h"

namespace drvtest {
namespace {

namespace proto = platform::usb::tessik;

// A device that initialised without usable sizes opens its stream but never runs it.
void ExpectRunRefused(Rig& rig) {
    EXPECT_EQ(rig.dev->Model().fullWidth, 0);
    ASSERT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, FrameSizeMode, {0, kFlagManual, 0}), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->OpenStream(0, rig.dev->StreamCapabilities()[0].format), STATUS_SUCCESS);
    EXPECT_EQ(rig.dev->SetStreamState(KsState::Run), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(rig.sim->StartCount(), 0);
    EXPECT_EQ(rig.dev->CloseStream(), STATUS_SUCCESS);
}

struct ModelCase {
    sim::ModelId model;
    int type;
    int fullW, fullH, mode1W, mode1H, mode2W, mode2H;
    const char* description;
    const char* hardwareId;
};

class ModelInit : public ::testing::TestWithParam<ModelCase> {};

TEST_P(ModelInit, TakesSizesFromTheTableOrTheReport) {
    const ModelCase c = GetParam();
    Rig rig(c.model);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    const ModelInfo m = rig.dev->Model();
    EXPECT_EQ(m.modelType, c.type);
    EXPECT_EQ(std::make_pair(m.fullWidth, m.fullHeight), std::make_pair(c.fullW, c.fullH));
    EXPECT_EQ(std::make_pair(m.mode1Width, m.mode1Height), std::make_pair(c.mode1W, c.mode1H));
    EXPECT_EQ(std::make_pair(m.mode2Width, m.mode2Height), std::make_pair(c.mode2W, c.mode2H));
    EXPECT_EQ(m.powerVariant, 2);
    // Twice the largest full frame seen in this process, at least this device's.
    EXPECT_GE(m.frameBufferBytes, 2u * size_t(c.fullW) * size_t(c.fullH));
    EXPECT_EQ(m.frameBufferBytes, 2u * rig.dev->StreamCapabilities()[0].sampleSize);

    // Header: the device text, then the descriptor's revision in the last two bytes.
    const auto text = rig.sim->DeviceText();
    const auto& traits = rig.sim->traits();
    // Types 0, 1, 8, 10 and above 14 read 26 header bytes, the others 4 into bytes 12..15.
    const bool whole = c.type == 0 || c.type == 1 || c.type == 8 || c.type == 10 || c.type > 14;
    if (!whole) {
        EXPECT_EQ(std::memcmp(m.header + 12, text.data() + 12, 4), 0);
        for (int i : {0, 11, 16, 23}) EXPECT_EQ(m.header[i], 0) << i;
    } else {
        EXPECT_EQ(std::memcmp(m.header, text.data(), 24), 0);
    }
    EXPECT_EQ(m.header[24] | (m.header[25] << 8), traits.bcdDevice);

    const DeviceIdentity id = rig.dev->Identity();
    EXPECT_EQ(id.description, c.description);
    EXPECT_EQ(id.hardwareId, c.hardwareId);
    char pidText[16];
    std::snprintf(pidText, sizeof pidText, "pid_%04x", traits.productId);
    EXPECT_NE(id.devicePath.find("vid_0547"), std::string::npos) << id.devicePath;
    EXPECT_NE(id.devicePath.find(pidText), std::string::npos) << id.devicePath;
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelInit,
    ::testing::Values(
        ModelCase{sim::ModelId::PloverA, 1, 2944, 1840, 1408, 880, 1472, 920, "Tessik PloverA", "USB\\VID_0547&PID_2150&REV_0000"},
        ModelCase{sim::ModelId::PloverE, 1, 2944, 1840, 1408, 880, 1472, 920, "Tessik PloverA", "USB\\VID_0547&PID_2150&REV_0100"},
        ModelCase{sim::ModelId::PloverB, 0, 2944, 1840, 1408, 880, 1472, 920, "Tessik PloverB", "USB\\VID_0547&PID_2130&REV_0000"},
        ModelCase{sim::ModelId::VireoA, 4, 1600, 1200, 1600, 1200, 1600, 1200, "Tessik VireoA", "USB\\VID_0547&PID_2160&REV_0000"},
        ModelCase{sim::ModelId::IrisLeft, 15, 640, 480, 640, 480, 640, 480, "Tessik Iris", "USB\\VID_0547&PID_2113&REV_0000"},
        ModelCase{sim::ModelId::PloverC, 8, 2912, 4512, 832, 1552, 1456, 1504, "Tessik PloverC", "USB\\VID_0547&PID_2170&REV_0000"},
        ModelCase{sim::ModelId::PloverD, 8, 2912, 4512, 832, 1552, 1456, 1504, "Tessik PloverC", "USB\\VID_0547&PID_2170&REV_0100"},
        ModelCase{sim::ModelId::KestrelA, 16, 3024, 3584, 1520, 1792, 3024, 3584, "Tessik KestrelB (TP)",
                  "USB\\VID_0547&PID_2158&REV_0000"},
        ModelCase{sim::ModelId::Finch, 9, 1600, 1200, 1600, 1200, 1600, 1200, "Tessik Finch", "USB\\VID_0547&PID_2141&REV_0000"},
        ModelCase{sim::ModelId::LinnetA, 2, 1600, 1200, 1600, 1200, 1600, 1200, "Tessik LinnetA", "USB\\VID_0547&PID_2140&REV_0000"},
        ModelCase{sim::ModelId::LinnetB, 2, 1600, 1200, 1600, 1200, 1600, 1200, "Tessik LinnetA", "USB\\VID_0547&PID_2140&REV_0100"},
        ModelCase{sim::ModelId::SiskinA, 6, 640, 480, 640, 480, 640, 480, "Tessik SiskinA", "USB\\VID_0547&PID_2102&REV_0000"},
        ModelCase{sim::ModelId::SiskinB, 7, 640, 480, 640, 480, 640, 480, "Tessik SiskinB", "USB\\VID_0547&PID_2100&REV_0000"},
        ModelCase{sim::ModelId::TanagerA, 3, 1600, 1200, 1600, 1200, 1600, 1200, "Tessik TanagerA", "USB\\VID_0547&PID_2120&REV_0000"},
        ModelCase{sim::ModelId::TanagerB, 3, 1600, 1200, 1600, 1200, 1600, 1200, "Tessik TanagerA", "USB\\VID_0547&PID_2120&REV_0100"},
        ModelCase{sim::ModelId::VireoB, 13, 1536, 2144, 1536, 2144, 1536, 2144, "Tessik VireoB", "USB\\VID_0547&PID_2161&REV_0000"},
        ModelCase{sim::ModelId::Usb2110, 10, 1600, 1200, 1600, 1200, 1600, 1200, "Tessik USB camera", "USB\\VID_0547&PID_2110&REV_0000"},
        ModelCase{sim::ModelId::Usb2111, 5, 1600, 1200, 1600, 1200, 768, 600, "Tessik USB camera", "USB\\VID_0547&PID_2111&REV_0000"},
        ModelCase{sim::ModelId::Usb2112, 11, 1600, 1200, 1600, 1200, 1600, 1200, "Tessik USB camera", "USB\\VID_0547&PID_2112&REV_0000"}),
    [](const ::testing::TestParamInfo<ModelCase>& info) { return std::string(sim::Traits(info.param.model).name); });

TEST(DeviceInit, CapabilitiesListFullThenRollThenPreview) {
    Rig rig(sim::ModelId::PloverA);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    const auto caps = rig.dev->StreamCapabilities();
    ASSERT_EQ(caps.size(), 3u);
    EXPECT_EQ(std::make_pair(caps[0].format.width, caps[0].format.height), std::make_pair(2944, 1840));
    EXPECT_EQ(std::make_pair(caps[1].format.width, caps[1].format.height), std::make_pair(1408, 880));
    EXPECT_EQ(std::make_pair(caps[2].format.width, caps[2].format.height), std::make_pair(1472, 920));
    EXPECT_EQ(caps[0].sampleSize, 5416960u);
    EXPECT_EQ(caps[0].minBitsPerSecond, 8u * 5416960u);
    EXPECT_EQ(caps[0].format.avgTimePerFrame, 100000);
    EXPECT_EQ(caps[0].minFrameInterval, 1000000);
    EXPECT_EQ(caps[0].maxFrameInterval, 640000000);

    // A smaller device attached later shows the larger sizes and gets a buffer for them.
    Rig small(sim::ModelId::VireoA);
    ASSERT_EQ(small.dev->Initialize(), STATUS_SUCCESS);
    const auto smallCaps = small.dev->StreamCapabilities();
    EXPECT_EQ(smallCaps[0].format.width, 2944);
    EXPECT_EQ(smallCaps[2].format.height, 920);
    EXPECT_EQ(small.dev->Model().frameBufferBytes, 2u * 5416960u);
}

// Two buses one after the other in one process, as the demo runs its scenarios: while the
// 2912 x 4512 scanner is attached a smaller device shows its sizes, but once it has gone, the
// next device's own sizes are offered again and its roll frames come through whole.
TEST(DeviceInit, RangesStartAgainWhenTheLargerDevicesHaveGone) {
    const sim::ModelTraits& kestrel = sim::Traits(sim::ModelId::KestrelA);
    const sim::ModeGeometry& roll = kestrel.modes[1];
    {
        auto scenario = sim::BuiltInScenario("ploverc");
        ASSERT_TRUE(scenario);
        DeviceManager manager(sim::CreateBus(*scenario), FastTiming());
        ASSERT_EQ(manager.Devices().size(), 1u);
        Rig meanwhile(sim::ModelId::KestrelA);
        ASSERT_EQ(meanwhile.dev->Initialize(), STATUS_SUCCESS);
        const auto caps = meanwhile.dev->StreamCapabilities();
        EXPECT_EQ(std::make_pair(caps[0].format.width, caps[0].format.height), std::make_pair(2912, 4512));
        EXPECT_EQ(std::make_pair(caps[1].format.width, caps[1].format.height), std::make_pair(832, 1552));
    }
    Rig rig(sim::ModelId::KestrelA, 40);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    const auto caps = rig.dev->StreamCapabilities();
    EXPECT_EQ(std::make_pair(caps[0].format.width, caps[0].format.height),
              std::make_pair(kestrel.modes[0].rawWidth, kestrel.modes[0].rawHeight));
    ASSERT_EQ(std::make_pair(caps[1].format.width, caps[1].format.height), std::make_pair(roll.rawWidth, roll.rawHeight));
    EXPECT_EQ(rig.dev->Model().frameBufferBytes, 2u * size_t(kestrel.modes[0].rawWidth) * size_t(kestrel.modes[0].rawHeight));

    FrameStream stream(rig.dev);
    Collector frames;
    frames.keep = 1;
    ASSERT_EQ(stream.Start(1, 1, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(frames.WaitFor(1)) << "no roll frame";
    stream.Stop();
    std::string why;
    EXPECT_GE(PatternFrame(kestrel, 1, frames.frames[0].data(), frames.frames[0].size(), frames.sizes[0].first,
                           frames.sizes[0].second, &why),
              0)
        << why;
}

TEST(DeviceInit, ReportIsCheckedBeforeItSizesAnything) {
    // full w, h, mode-2 w, h, mode-1 w, h, divisors full, mode 2, mode 1, type, time-out
    const std::vector<std::vector<uint16_t>> bad = {
        {640, 480, 640, 480, 640, 480, 0, 4, 4, 15, 0},     // zero divisor
        {640, 480, 640, 480, 640, 480, 4, 4, 7, 15, 0},     // divisor does not divide the frame
        {640, 480, 800, 600, 640, 480, 4, 4, 4, 15, 0},     // mode size above the full size
        {640, 480, 640, 480, 640, 480, 4, 4, 4, 4, 0},      // a type whose sizes are fixed
        {640, 480, 640, 480, 640, 480, 1, 4, 4, 15, 0},     // whole-frame reads never complete a frame
        {0, 480, 640, 480, 640, 480, 4, 4, 4, 15, 0},       // no width
    };
    for (const auto& report : bad) {
        sim::DeviceConfig c;
        c.model = sim::ModelId::IrisLeft;
        c.report = report;
        Rig rig(c);
        ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
        ExpectRunRefused(rig);
    }
    // A good report: sizes, type and frame time-out from it.
    sim::DeviceConfig c;
    c.model = sim::ModelId::IrisLeft;
    c.report = {752, 480, 376, 240, 752, 480, 4, 3, 4, 15, 250};
    Rig rig(c);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    const ModelInfo m = rig.dev->Model();
    EXPECT_EQ(m.fullWidth, 752);
    EXPECT_EQ(m.mode2Width, 376);
    EXPECT_EQ(m.frameTimeoutMs, 250);
}

TEST(DeviceInit, ForeignVendorNeverRuns) {
    sim::DeviceConfig c;
    c.model = sim::ModelId::PloverA;
    c.vendorId = 0x1234;
    Rig rig(c);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    ExpectRunRefused(rig);
}

TEST(DeviceInit, LowPowerVariantCompletesReadsWithoutData) {
    sim::DeviceConfig c;
    c.model = sim::ModelId::IrisLeft;
    c.maxPower = 0x32;
    c.framePeriodMs = 10;
    Rig rig(c);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    EXPECT_EQ(rig.dev->Model().powerVariant, 1);
    ASSERT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, FrameSizeMode, {0, kFlagManual, 0}), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->OpenStream(0, rig.dev->StreamCapabilities()[0].format), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->SetStreamState(KsState::Run), STATUS_SUCCESS);
    auto read = std::make_shared<ReadRequest>();
    read->buffer.resize(640 * 480);
    bool completed = false;
    read->completion = [&](ReadRequest&) { completed = true; };
    EXPECT_EQ(rig.dev->SubmitRead(read), STATUS_SUCCESS);
    EXPECT_TRUE(completed);
    EXPECT_EQ(read->dataUsed, 0u);
}

TEST(DeviceInit, StreamOpenRefusesSecondInstanceAndUnknownFormats) {
    Rig rig(sim::ModelId::IrisLeft);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    VideoFormat odd;
    odd.width = 123;
    odd.height = 45;
    EXPECT_EQ(rig.dev->OpenStream(0, odd), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.dev->ProposeDataFormat(odd), STATUS_NO_MATCH);
    const VideoFormat f = rig.dev->StreamCapabilities()[0].format;
    EXPECT_EQ(rig.dev->OpenStream(1, f), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(rig.dev->OpenStream(0, f), STATUS_SUCCESS);
    EXPECT_EQ(rig.dev->OpenStream(0, f), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.dev->CloseStream(), STATUS_SUCCESS);
}

TEST(DeviceInit, DataIntersectionGivesTheFormatOrItsSize) {
    Rig rig(sim::ModelId::IrisLeft);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    StreamCapability want = rig.dev->StreamCapabilities()[0];
    VideoFormat out;
    size_t size = 0;
    EXPECT_EQ(rig.dev->DataIntersection(0, want, 4, nullptr, &size), STATUS_SUCCESS);
    EXPECT_EQ(size, sizeof(VideoFormat));
    EXPECT_EQ(rig.dev->DataIntersection(0, want, 8, &out, &size), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(rig.dev->DataIntersection(0, want, sizeof out, &out, &size), STATUS_SUCCESS);
    EXPECT_EQ(out.imageSize, want.sampleSize);
    want.format.width += 1;  // no such range
    EXPECT_EQ(rig.dev->DataIntersection(0, want, sizeof out, &out, &size), STATUS_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(rig.dev->DataIntersection(1, want, sizeof out, &out, &size), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(rig.dev->HandleAdapterRequest(0x10D), STATUS_SUCCESS);
    EXPECT_EQ(rig.dev->HandleAdapterRequest(0x1FF), STATUS_NOT_IMPLEMENTED);
}

TEST(DeviceManager, BusFromSelectorInitialisesEveryDeviceAndFollowsReplug) {
    std::string error;
    auto bus = DeviceManager::OpenBus("sim:iris", &error);
    ASSERT_TRUE(bus) << error;
    DeviceManager manager(bus, FastTiming());
    auto devices = manager.Devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_NE(devices[0]->Identity().devicePath.find("irisl"), std::string::npos);
    EXPECT_NE(devices[1]->Identity().devicePath.find("irisr"), std::string::npos);

    std::mutex m;
    std::vector<bool> changes;
    manager.SetChangeHandler([&](std::shared_ptr<Device>, bool arrived) {
        std::lock_guard lock(m);
        changes.push_back(arrived);
    });
    auto sims = std::static_pointer_cast<sim::SimBus>(bus)->SimDevices();
    sims[0]->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return manager.Devices().size() == 1; }));
    EXPECT_TRUE(devices[0]->IsGone());
    sims[0]->Replug();
    ASSERT_TRUE(WaitUntil([&] { return manager.Devices().size() == 2; }));
    std::lock_guard lock(m);
    EXPECT_EQ(changes, (std::vector<bool>{false, true}));

    EXPECT_FALSE(DeviceManager::OpenBus("sim:nonsense", &error));
    EXPECT_NE(error.find("nonsense"), std::string::npos);
    EXPECT_FALSE(DeviceManager::OpenBus("/nonexistent/scenario.txt", &error));
}

}  // namespace
}  // namespace drvtest

namespace drvtest {
namespace {

TEST(DeviceManager, ScenarioFileNamedByTheEnvironment) {
    const std::string path = ::testing::TempDir() + "driver_scenario.txt";
    {
        std::FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_TRUE(f);
        std::fputs("period-scale 0.1\ndevice one PloverB\ndevice two VireoA\nframe 1 * place single\n", f);
        std::fclose(f);
    }
    ::setenv("TESSIK_USB", path.c_str(), 1);
    std::string error;
    auto manager = DeviceManager::FromEnvironment(&error, FastTiming());
    ASSERT_TRUE(manager) << error;
    const auto devices = manager->Devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]->Identity().description, "Tessik PloverB");
    EXPECT_EQ(devices[1]->Identity().description, "Tessik VireoA");

    ::setenv("TESSIK_USB", "sim:nonsense", 1);
    EXPECT_FALSE(DeviceManager::FromEnvironment(&error));
    ::unsetenv("TESSIK_USB");
    auto none = DeviceManager::FromEnvironment(&error);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->Devices().empty());
    std::remove(path.c_str());
}

}  // namespace
}  // namespace drvtest

namespace drvtest {
namespace {

TEST(DeviceInit, IrisUnitWithTheWiderSensorStreamsItsSize) {
    sim::DeviceConfig c;
    c.model = sim::ModelId::IrisRight;
    c.sensorType = 0x1234;
    c.framePeriodMs = 10;
    c.testPattern = true;
    Rig rig(c);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    EXPECT_EQ(rig.dev->Model().fullWidth, 752);
    PropertyData d;
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, SensorType, d), STATUS_SUCCESS);
    EXPECT_EQ(d.value, 0x1234);
    const auto caps = rig.dev->StreamCapabilities();
    if (caps[0].sampleSize < 752u * 480u) GTEST_SKIP() << "a larger device set the capabilities";
    FrameStream stream(rig.dev);
    Collector frames;
    ASSERT_EQ(stream.Start(0, 0, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(frames.WaitFor(1));
    stream.Stop();
    EXPECT_EQ(frames.sizes[0], std::make_pair(752, 480));
    std::string why;
    EXPECT_GE(PatternFrame(rig.sim->traits(), 0, frames.frames[0].data(), frames.frames[0].size(), 752, 480, &why), 0) << why;
}

}  // namespace
}  // namespace drvtest
