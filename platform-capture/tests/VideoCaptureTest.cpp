// Each simulated model opened through the video-capture layer as the capture libraries open it.

#include <future>

#include "CaptureRig.h"
#include "platform/DeviceRegistry.h"
#include "platform/TessikUsbProtocol.h"
#include "sim/Models.h"

namespace capturetest {
namespace {

namespace proto = platform::usb::tessik;
namespace setup = platform::setup;

// The description of every present registry record, as the capture libraries read it (the buffer
// grown while the registry asks for more).
std::vector<std::string> RegistryDescriptions(std::vector<std::string>* hardwareIds = nullptr) {
    std::vector<std::string> out;
    auto set = setup::SetupDiGetClassDevs(nullptr, nullptr, setup::DIGCF_PRESENT | setup::DIGCF_ALLCLASSES);
    EXPECT_TRUE(set);
    if (!set) return out;
    for (setup::DWORD i = 0;; ++i) {
        setup::SP_DEVINFO_DATA data;
        if (set->EnumDeviceInfo(i, &data) != setup::ERROR_SUCCESS) break;
        if (data.ClassGuid != setup::GUID_DEVCLASS_IMAGE) continue;
        for (setup::DWORD property : {setup::SPDRP_DEVICEDESC, setup::SPDRP_HARDWAREID}) {
            std::vector<uint8_t> buffer(1);
            setup::DWORD type = 0, required = 0, e;
            while ((e = set->GetDeviceRegistryProperty(data, property, &type, buffer.data(), setup::DWORD(buffer.size()),
                                                       &required)) == setup::ERROR_INSUFFICIENT_BUFFER)
                buffer.resize(required);
            EXPECT_EQ(e, setup::ERROR_SUCCESS);
            std::string text(reinterpret_cast<const char*>(buffer.data()));
            if (property == setup::SPDRP_DEVICEDESC) out.push_back(text);
            else if (hardwareIds) hardwareIds->push_back(text);
        }
    }
    return out;
}

struct ModelCase {
    const char* model;        // scenario model name
    sim::ModelId id;
    const char* description;  // what the capture library looks for
    std::vector<std::string> pathParts;
    bool subTypeZero;         // hardware id holds "rev_0000"
    std::vector<int> modes;
};

void PrintTo(const ModelCase& c, std::ostream* os) { *os << c.model; }

class EachModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(EachModel, OpensAndStreamsEachModeAsTheCaptureLibrariesDo) {
    const ModelCase& c = GetParam();
    const sim::ModelTraits& traits = sim::Traits(c.id);
    Bus bus(std::string("device cam ") + c.model + (traits.scanner ? " period 40" : " period 15") + " pattern\n");

    // Found by description in the device registry, the sub-type from the hardware id.
    std::vector<std::string> ids;
    const auto descriptions = RegistryDescriptions(&ids);
    ASSERT_EQ(descriptions.size(), 1u);
    EXPECT_TRUE(platform::ContainsNoCase(descriptions[0], c.description)) << descriptions[0];
    EXPECT_TRUE(platform::ContainsNoCase(ids[0], "vid_0547")) << ids[0];
    EXPECT_EQ(platform::ContainsNoCase(ids[0], "rev_0000"), c.subTypeZero) << ids[0];

    for (int mode : c.modes) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        FrameSink sink;
        std::string path;
        Graph g;
        ASSERT_EQ(g.Build(BindCamera(c.pathParts, &path), mode, &sink), S_OK);
        EXPECT_EQ(sink.refs, 1);
        ASSERT_EQ(g.procAmp->Set(tessik::driver::FrameSizeMode, mode, VideoProcAmp_Flags_Manual), S_OK);
        ASSERT_EQ(g.graph->Run(), S_OK);
        FilterState state;
        ASSERT_EQ(g.graph->GetState(10, &state), S_OK);
        EXPECT_EQ(state, FilterState::Running);
        ASSERT_TRUE(sink.WaitFor(3)) << "frames: " << sink.Count();
        ASSERT_EQ(g.graph->Stop(), S_OK);
        ASSERT_EQ(g.graph->GetState(10, &state), S_OK);
        EXPECT_EQ(state, FilterState::Stopped);

        const sim::ModeGeometry& geometry = sim::Mode(traits, mode);
        const long bytes = long(geometry.rawWidth) * geometry.rawHeight;
        for (long length : sink.lengths) EXPECT_EQ(length, bytes);
        for (size_t i = 1; i < sink.times.size(); ++i) EXPECT_GT(sink.times[i], sink.times[i - 1]);
        // The device text sits where the library reads it.
        const auto text = bus.Device("cam")->DeviceText();
        ASSERT_EQ(sink.first.size(), size_t(bytes));
        if (traits.layout == sim::RawLayout::ColumnsBottomUp)
            EXPECT_EQ(sink.first[size_t(geometry.rawHeight - 2 - 4) * geometry.rawWidth], text[4]);
        else if (traits.modelType == 4)  // this type's header holds bytes 12..15 of the text
            EXPECT_EQ(sink.first[12 + 12], text[12]);
        else
            EXPECT_EQ(sink.first[12 + 4], text[4]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, EachModel,
    ::testing::Values(
        ModelCase{"PloverA", sim::ModelId::PloverA, "Tessik PloverA", {"vid_0547", "pid_2150"}, true, {0, 1, 2}},
        ModelCase{"PloverE", sim::ModelId::PloverE, "Tessik PloverA", {"vid_0547", "pid_2150"}, false, {2}},
        ModelCase{"PloverB", sim::ModelId::PloverB, "Tessik PloverB", {"vid_0547", "pid_2130"}, true, {1}},
        ModelCase{"VireoA", sim::ModelId::VireoA, "Tessik VireoA", {"vid_0547", "pid_2160"}, true, {0, 2}},
        ModelCase{"IrisLeft", sim::ModelId::IrisLeft, "Tessik Iris", {"vid_0547", "pid_2113", "irisl"}, true, {0}},
        ModelCase{"IrisRight", sim::ModelId::IrisRight, "Tessik Iris", {"vid_0547", "pid_2113", "irisr"}, true, {0}}),
    [](const ::testing::TestParamInfo<ModelCase>& info) { return std::string(info.param.model); });

TEST(VideoDevices, ListEveryUnitByFriendlyNameAndPathInArrivalOrder) {
    Bus bus("device scanner PloverA period 200 pattern\n"
            "device left IrisLeft period 200 pattern\n"
            "device right IrisRight period 200 pattern\n");
    std::unique_ptr<EnumMoniker> devices;
    ASSERT_EQ(SystemDeviceEnum::CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &devices), S_OK);
    std::vector<std::pair<std::string, std::string>> seen;
    std::shared_ptr<DeviceMoniker> m;
    while (devices->Next(&m) == S_OK) {
        std::string name, path, other;
        EXPECT_EQ(m->Read("FriendlyName", &name), S_OK);
        EXPECT_EQ(m->Read("DevicePath", &path), S_OK);
        EXPECT_EQ(m->Read("NoSuchProperty", &other), E_FAIL);
        seen.emplace_back(name, path);
    }
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].first, "Tessik PloverA");
    EXPECT_TRUE(platform::ContainsNoCase(seen[0].second, "vid_0547&pid_2150"));
    EXPECT_EQ(seen[1].first, "Tessik Iris");
    EXPECT_TRUE(platform::ContainsNoCase(seen[1].second, "irisl"));
    EXPECT_FALSE(platform::ContainsNoCase(seen[1].second, "irisr"));
    EXPECT_TRUE(platform::ContainsNoCase(seen[2].second, "irisr"));
    // Reset starts the list again.
    devices->Reset();
    EXPECT_EQ(devices->Next(&m), S_OK);
}

TEST(VideoDevices, AnEmptyBusGivesNoEnumeratorAndABusThatCannotOpenAFailure) {
    platform::DriverDevices::Use(std::make_shared<tessik::driver::DeviceManager>(nullptr));
    std::unique_ptr<EnumMoniker> devices;
    EXPECT_EQ(SystemDeviceEnum::CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &devices), S_FALSE);
    EXPECT_EQ(devices, nullptr);
    setup::DWORD error = 1;
    ASSERT_TRUE(setup::SetupDiGetClassDevs(nullptr, nullptr, setup::DIGCF_PRESENT | setup::DIGCF_ALLCLASSES, &error));
    EXPECT_EQ(error, setup::ERROR_SUCCESS);

    // TESSIK_USB naming a scenario that does not exist: the device list cannot be opened.
    setenv("TESSIK_USB", "sim:no-such-scenario", 1);
    platform::DriverDevices::Use(nullptr);
    EXPECT_EQ(SystemDeviceEnum::CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &devices), E_FAIL);
    EXPECT_EQ(setup::SetupDiGetClassDevs(nullptr, nullptr, setup::DIGCF_PRESENT | setup::DIGCF_ALLCLASSES, &error), nullptr);
    EXPECT_NE(error, setup::ERROR_SUCCESS);
    unsetenv("TESSIK_USB");
    platform::DriverDevices::Use(nullptr);
}

struct PropertyCase {
    bool cameraControl;
    long property;
    long value;
    uint8_t request;
    std::vector<uint8_t> data;
};

TEST(VideoProperties, SetsReachTheDeviceAsItsVendorRequests) {
    Bus bus("device cam PloverA period 200 pattern\n");
    FrameSink sink;
    Graph g;
    ASSERT_EQ(g.Build(BindCamera({"pid_2150"}), 0, &sink), S_OK);
    const PropertyCase cases[] = {
        {false, VideoProcAmp_Brightness, 55, proto::kReqSetBrightness, {55}},
        {false, VideoProcAmp_Contrast, 66, proto::kReqSetContrast, {66}},
        {false, 11, 0xF0, proto::kReqLedGroup1, {0xF0}},
        {false, 12, 0xFE, proto::kReqLedGroup0, {0xFE}},
        {false, 13, 1, proto::kReqBeeper, {1}},
        {true, CameraControl_Exposure, 77, proto::kReqSetExposure, {77}},
    };
    auto sim = bus.Device("cam");
    for (const auto& c : cases) {
        SCOPED_TRACE("property " + std::to_string(c.property));
        const HRESULT hr = c.cameraControl ? g.cameraControl->Set(c.property, c.value, CameraControl_Flags_Manual)
                                           : g.procAmp->Set(c.property, c.value, VideoProcAmp_Flags_Manual);
        ASSERT_EQ(hr, S_OK);
        const auto writes = sim->VendorWrites(c.request);
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.back().data, c.data);
    }

    // Gets read the device: the exposure just set, the brightness, the keys and foot switch.
    auto reads = [&](uint8_t request) {
        size_t n = 0;
        for (const auto& r : sim->ControlLog())
            if ((r.setup.requestType & platform::usb::kDirIn) && r.setup.request == request) ++n;
        return n;
    };
    long value = -1, flags = -1;
    ASSERT_EQ(g.cameraControl->Get(CameraControl_Exposure, &value, &flags), S_OK);
    EXPECT_EQ(value, 77);
    EXPECT_EQ(flags, CameraControl_Flags_Manual);
    ASSERT_EQ(g.procAmp->Get(VideoProcAmp_Brightness, &value, &flags), S_OK);
    EXPECT_EQ(value, 55);
    sim->SetKeys(proto::kKeyFootSwitch);
    ASSERT_EQ(g.procAmp->Get(16, &value, &flags), S_OK);
    EXPECT_EQ(value, proto::kKeyFootSwitch);
    EXPECT_EQ(reads(proto::kReqGetExposure), 1u);
    EXPECT_EQ(reads(proto::kReqGetBrightness), 1u);
    EXPECT_EQ(reads(proto::kReqGetKeys), 1u);

    // Ranges.
    long lo, hi, step, def, caps;
    ASSERT_EQ(g.cameraControl->GetRange(CameraControl_Exposure, &lo, &hi, &step, &def, &caps), S_OK);
    EXPECT_EQ(std::vector<long>({lo, hi, step, def}), std::vector<long>({0, 255, 1, 40}));
    EXPECT_TRUE(caps & CameraControl_Flags_Manual);
    ASSERT_EQ(g.procAmp->GetRange(VideoProcAmp_Brightness, &lo, &hi, &step, &def, &caps), S_OK);
    EXPECT_EQ(std::vector<long>({lo, hi, step, def}), std::vector<long>({0, 255, 1, 40}));

    // Refusals: an unknown property, flags that are neither auto nor manual.
    EXPECT_EQ(g.procAmp->Get(99, &value, &flags), E_PROP_ID_UNSUPPORTED);
    EXPECT_EQ(g.procAmp->Set(VideoProcAmp_Brightness, 1, 0), E_INVALIDARG);
    EXPECT_EQ(g.procAmp->Get(VideoProcAmp_Brightness, nullptr, &flags), E_POINTER);
}

TEST(VideoProperties, IrisLedSensorAndExposureReachTheCamera) {
    Bus bus("device left IrisLeft period 200 pattern\n");
    FrameSink sink;
    Graph g;
    ASSERT_EQ(g.Build(BindCamera({"pid_2113", "irisl"}), 0, &sink), S_OK);
    auto sim = bus.Device("left");
    long value = 0, flags = 0;
    ASSERT_EQ(g.procAmp->Get(tessik::driver::SensorType, &value, &flags), S_OK);
    EXPECT_EQ(value, long(proto::kSensor640x480));
    ASSERT_EQ(g.procAmp->Set(tessik::driver::LedControl, 81 | 1 << 8, VideoProcAmp_Flags_Manual), S_OK);
    ASSERT_EQ(g.procAmp->Set(tessik::driver::LedControl, 6 | 3 << 8, VideoProcAmp_Flags_Manual), S_OK);
    const auto leds = sim->VendorWrites(proto::kReqSetLed);
    ASSERT_EQ(leds.size(), 2u);
    EXPECT_EQ(leds[0].data, std::vector<uint8_t>({81, 1}));
    EXPECT_EQ(leds[1].data, std::vector<uint8_t>({6, 3}));
    EXPECT_EQ(g.procAmp->Get(tessik::driver::LedControl, &value, &flags), S_OK);
    ASSERT_EQ(g.procAmp->Set(VideoProcAmp_Contrast, 23, VideoProcAmp_Flags_Manual), S_OK);
    EXPECT_EQ(g.procAmp->Get(VideoProcAmp_Contrast, &value, &flags), S_OK);
    ASSERT_EQ(g.cameraControl->Set(CameraControl_Exposure, 220, CameraControl_Flags_Manual), S_OK);
    EXPECT_EQ(sim->VendorWrites(proto::kReqSetExposure).back().data, std::vector<uint8_t>({220}));
}

TEST(VideoStream, FrameSizeModeTakesEffectWhenTheStreamNextStarts) {
    Bus bus("device cam PloverA period 30 pattern\n");
    const sim::ModelTraits& traits = sim::Traits(sim::ModelId::PloverA);
    auto bytes = [&](int mode) { return long(sim::Mode(traits, mode).rawWidth) * sim::Mode(traits, mode).rawHeight; };
    FrameSink sink;
    Graph g;
    ASSERT_EQ(g.Build(BindCamera({"pid_2150"}), 2, &sink), S_OK);
    ASSERT_EQ(g.procAmp->Set(tessik::driver::FrameSizeMode, 2, VideoProcAmp_Flags_Manual), S_OK);
    ASSERT_EQ(g.graph->Run(), S_OK);
    ASSERT_TRUE(sink.WaitFor(1));
    // Changed while running: stored, the frames keep their size.
    ASSERT_EQ(g.procAmp->Set(tessik::driver::FrameSizeMode, 1, VideoProcAmp_Flags_Manual), S_OK);
    long value = 0, flags = 0;
    ASSERT_EQ(g.procAmp->Get(tessik::driver::FrameSizeMode, &value, &flags), S_OK);
    EXPECT_EQ(value, 1);
    const size_t before = sink.Count();
    ASSERT_TRUE(sink.WaitFor(before + 2));
    // The format cannot change while the camera runs.
    MediaType type;
    VideoStreamConfigCaps caps;
    ASSERT_EQ(g.config->GetStreamCaps(1, &type, &caps), S_OK);
    EXPECT_EQ(g.config->SetFormat(type), VFW_E_NOT_STOPPED);
    ASSERT_EQ(g.graph->Stop(), S_OK);
    {
        std::lock_guard lock(sink.mutex);
        for (long length : sink.lengths) EXPECT_EQ(length, bytes(2));
        sink.lengths.clear();
        sink.count = 0;
    }
    // The next start applies it; a new camera object for the device sees the same mode.
    ASSERT_EQ(g.config->SetFormat(type), S_OK);
    ASSERT_EQ(g.graph->Run(), S_OK);
    ASSERT_TRUE(sink.WaitFor(2));
    ASSERT_EQ(g.graph->Stop(), S_OK);
    for (long length : sink.lengths) EXPECT_EQ(length, bytes(1));
    auto again = BindCamera({"pid_2150"});
    ASSERT_TRUE(again);
    std::shared_ptr<VideoProcAmp> amp;
    ASSERT_EQ(again->QueryInterface(&amp), S_OK);
    ASSERT_EQ(amp->Get(tessik::driver::FrameSizeMode, &value, &flags), S_OK);
    EXPECT_EQ(value, 1);
}

TEST(VideoStream, StopWaitsForTheCallbackInProgressAndNoneFollows) {
    Bus bus("device left IrisLeft period 10 pattern\n");
    FrameSink sink;
    Graph g;
    ASSERT_EQ(g.Build(BindCamera({"irisl"}), 0, &sink), S_OK);
    {
        std::lock_guard lock(sink.mutex);
        sink.hold = true;
    }
    ASSERT_EQ(g.graph->Run(), S_OK);
    ASSERT_TRUE(sink.WaitInCallback());
    auto stopped = std::async(std::launch::async, [&] { return g.graph->Stop(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout)
        << "Stop returned while a frame callback was still running";
    {
        std::lock_guard lock(sink.mutex);
        sink.hold = false;
    }
    sink.cv.notify_all();
    ASSERT_EQ(stopped.get(), S_OK);
    size_t count;
    {
        std::lock_guard lock(sink.mutex);
        EXPECT_FALSE(sink.inCallback);
        EXPECT_EQ(sink.returned, sink.count);
        count = sink.count;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sink.Count(), count);
}

TEST(VideoStream, StopFromInsideTheCallbackEndsTheStream) {
    Bus bus("device left IrisLeft period 10 pattern\n");
    FrameSink sink;
    Graph g;
    ASSERT_EQ(g.Build(BindCamera({"irisl"}), 0, &sink), S_OK);
    sink.OnFrame([&] { g.graph->Stop(); });
    ASSERT_EQ(g.graph->Run(), S_OK);
    ASSERT_TRUE(sink.WaitFor(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LE(sink.Count(), 2u);
    // The camera can run again.
    sink.OnFrame(nullptr);
    const size_t before = sink.Count();
    ASSERT_EQ(g.graph->Run(), S_OK);
    EXPECT_TRUE(sink.WaitFor(before + 2));
    EXPECT_EQ(g.graph->Stop(), S_OK);
}

TEST(VideoStream, UnplugMakesPropertyCallsFailAndDropsTheDevice) {
    Bus bus("device cam PloverA period 30 pattern\n"
            "frame 3 cam unplug\n");
    FrameSink sink;
    Graph g;
    std::unique_ptr<EnumMoniker> devices;
    ASSERT_EQ(SystemDeviceEnum::CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &devices), S_OK);
    std::shared_ptr<DeviceMoniker> moniker;
    ASSERT_EQ(devices->Next(&moniker), S_OK);
    ASSERT_EQ(g.Build(BindCamera({"pid_2150"}), 0, &sink), S_OK);
    ASSERT_EQ(g.procAmp->Set(tessik::driver::FrameSizeMode, 2, VideoProcAmp_Flags_Manual), S_OK);
    long value = 0, flags = 0;
    ASSERT_EQ(g.cameraControl->Get(CameraControl_Exposure, &value, &flags), S_OK);
    ASSERT_EQ(g.graph->Run(), S_OK);

    // The connection test of the capture libraries: a camera-control get, every 100 ms.
    EXPECT_TRUE(WaitUntil([&] { return FAILED(g.cameraControl->Get(CameraControl_Exposure, &value, &flags)); }, 8000));
    EXPECT_EQ(g.cameraControl->Get(CameraControl_Exposure, &value, &flags), HRESULT_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(g.procAmp->Get(VideoProcAmp_Contrast, &value, &flags), HRESULT_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(g.procAmp->Set(VideoProcAmp_Contrast, 1, VideoProcAmp_Flags_Manual), HRESULT_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(g.graph->Stop(), S_OK);
    EXPECT_LE(sink.Count(), 3u);

    // Gone from the device list and the registry; binding a stale entry fails.
    EXPECT_TRUE(WaitUntil([&] {
        std::unique_ptr<EnumMoniker> e;
        return SystemDeviceEnum::CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &e) == S_FALSE;
    }));
    EXPECT_TRUE(RegistryDescriptions().empty());
    std::shared_ptr<CaptureFilter> stale;
    EXPECT_EQ(moniker->BindToObject(&stale), HRESULT_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(stale, nullptr);
    EXPECT_EQ(g.graph->Run(), HRESULT_DEVICE_NOT_CONNECTED);
}

TEST(VideoGraph, ConnectionsAreChecked) {
    Bus bus("device cam VireoA period 200 pattern\n");
    auto camera = BindCamera({"pid_2160"});
    ASSERT_TRUE(camera);
    auto graph = std::make_shared<FilterGraph>();
    auto grabber = std::make_shared<SampleGrabber>();
    auto renderer = std::make_shared<NullRenderer>();
    CaptureGraphBuilder builder;
    ASSERT_EQ(builder.SetFiltergraph(graph), S_OK);
    ASSERT_EQ(graph->AddFilter(camera, "Cap"), S_OK);
    EXPECT_EQ(camera->Name(), "Cap");
    // The grabber is not in the graph yet.
    EXPECT_EQ(builder.RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.get(), grabber.get(), nullptr),
              VFW_E_NOT_IN_GRAPH);
    ASSERT_EQ(graph->AddFilter(grabber, "Grabber"), S_OK);
    ASSERT_EQ(graph->AddFilter(renderer, "NULL renderer"), S_OK);
    // No interleaved stream; a grabber that wants another subtype does not connect.
    EXPECT_TRUE(FAILED(builder.RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Interleaved, camera.get(),
                                            grabber.get(), renderer.get())));
    MediaType wanted;
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = FORMAT_VideoInfo;
    ASSERT_EQ(grabber->SetMediaType(wanted), S_OK);
    EXPECT_EQ(builder.RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.get(), grabber.get(), renderer.get()),
              VFW_E_CANNOT_CONNECT);
    MediaType connected;
    EXPECT_EQ(grabber->GetConnectedMediaType(&connected), VFW_E_NOT_CONNECTED);
    // An unconnected camera does not stream.
    FrameSink sink;
    ASSERT_EQ(grabber->SetCallback(&sink, 1), S_OK);
    EXPECT_EQ(graph->Run(), S_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sink.Count(), 0u);
    EXPECT_EQ(graph->Stop(), S_OK);
    // Formats: only the capabilities' sizes at 8 bits a pixel.
    std::shared_ptr<StreamConfig> config;
    ASSERT_EQ(builder.FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.get(), &config), S_OK);
    MediaType type;
    VideoStreamConfigCaps caps;
    EXPECT_EQ(config->GetStreamCaps(3, &type, &caps), S_FALSE);
    ASSERT_EQ(config->GetStreamCaps(0, &type, &caps), S_OK);
    type.format->bmiHeader.biWidth = 123;
    EXPECT_EQ(config->SetFormat(type), VFW_E_INVALIDMEDIATYPE);
    // Callback objects are taken and let go of.
    EXPECT_EQ(sink.refs, 1);
    EXPECT_EQ(grabber->SetCallback(nullptr, 1), S_OK);
    EXPECT_EQ(sink.refs, 0);
    EXPECT_EQ(grabber->SetCallback(&sink, 2), E_INVALIDARG);
}

}  // namespace
}  // namespace capturetest
