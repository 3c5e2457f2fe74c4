// The FireWire Kestrel scanners through the video-capture layer: listed beside the driver's
// devices, and in the full mode four frames tagged 129 to 132, each the platen shifted by half a
// pixel, checked against the double-resolution picture they sample.

#include <future>
#include <set>

#include "CaptureRig.h"
#include "platform/DeviceRegistry.h"
#include "platform/FireWireCameras.h"
#include "sim/Models.h"
#include "sim/SimKestrel.h"

namespace capturetest {
namespace {

using sim::KestrelVariant;

// Where the capture library of each variant places a tagged part on its double-resolution grid:
// part index n at (row, column) offset (1, 0), (0, 0), (0, 1), (1, 1); KestrelB takes the index
// as tag - 129, KestrelC and KestrelD swap 129 with 130 and 131 with 132 first.
std::pair<int, int> DocumentedOffset(KestrelVariant v, uint8_t tag) {
    static const std::pair<int, int> offsets[4] = {{1, 0}, {0, 0}, {0, 1}, {1, 1}};
    int index = tag - 129;
    if (v != KestrelVariant::B) index = index == 0 ? 1 : index == 1 ? 0 : index == 2 ? 3 : 2;
    return offsets[index];
}

struct FireWire {
    std::shared_ptr<sim::SimFireWireBus> bus = std::make_shared<sim::SimFireWireBus>();
    Bus usb{"device plovera PloverA pattern\n"};
    FireWire() { platform::FireWireCameras::Use(bus); }
    ~FireWire() { platform::FireWireCameras::Use(nullptr); }
};

// Checks every tagged frame on the camera thread and keeps the tags, sets and failures.
class PartChecker : public FrameSink {
public:
    explicit PartChecker(KestrelVariant v) : variant(v) {}
    HRESULT BufferCB(double, uint8_t* b, long length) override {
        const int W = 2912, H = 4512;
        Part p;
        p.length = length;
        if (length == long(W) * H) {
            p.tag = b[5];
            const auto [dy, dx] = DocumentedOffset(variant, p.tag);
            // The set number from a pixel inside the picture, then every pixel against the grid.
            const int cx = W / 2, cy = H / 2;
            p.set = sim::TestPatternFrame(b[size_t(cy) * W + cx], 2 * cx + dx, 2 * cy + dy);
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    if (y == 0 && x >= 5 && x < 30) continue;  // tag and device text
                    if (b[size_t(y) * W + x] != sim::SimKestrel::PatternGroundTruth(p.set, 2 * x + dx, 2 * y + dy)) ++p.wrong;
                }
        }
        std::lock_guard lock(mutex);
        parts.push_back(p);
        ++count;
        cv.notify_all();
        return S_OK;
    }
    struct Part {
        long length = 0;
        uint8_t tag = 0;
        uint32_t set = 0;
        size_t wrong = 0;
    };
    KestrelVariant variant;
    std::vector<Part> parts;
};

class KestrelSource : public ::testing::TestWithParam<KestrelVariant> {};

TEST_P(KestrelSource, FullModeDeliversFourTaggedShiftedViewsOfTheGrid) {
    const KestrelVariant v = GetParam();
    FireWire fw;
    sim::KestrelConfig c;
    c.variant = v;
    c.testPattern = true;
    c.framePeriodMs = 20;
    auto kestrel = fw.bus->Add(c);

    std::string path;
    auto camera = BindCamera({"1394#" + kestrel->HardwareId() + "#"}, &path);
    ASSERT_TRUE(camera) << "no camera for " << kestrel->HardwareId();
    PartChecker sink(v);
    Graph g;
    ASSERT_EQ(g.Build(camera, 0, &sink), S_OK);
    ASSERT_EQ(g.procAmp->Set(20, 0, VideoProcAmp_Flags_Manual), S_OK);
    ASSERT_EQ(g.graph->Run(), S_OK);
    ASSERT_TRUE(sink.WaitFor(8, 60000));
    ASSERT_EQ(g.graph->Stop(), S_OK);

    std::lock_guard lock(sink.mutex);
    ASSERT_GE(sink.parts.size(), 8u);
    for (size_t i = 0; i < sink.parts.size(); ++i) {
        const auto& p = sink.parts[i];
        SCOPED_TRACE("frame " + std::to_string(i) + " tag " + std::to_string(p.tag));
        ASSERT_EQ(p.length, 2912L * 4512L);
        EXPECT_EQ(p.tag, 129 + i % 4) << "tags go out 129, 130, 131, 132";
        EXPECT_EQ(p.wrong, 0u) << "pixels off the documented half-pixel grid";
        EXPECT_EQ(p.set, sink.parts[i - i % 4].set) << "the four views of one set sample one picture";
    }
    EXPECT_NE(sink.parts[0].set, sink.parts[4].set);
    // The four offsets of a set cover the whole double-resolution grid.
    std::set<std::pair<int, int>> covered;
    for (uint8_t tag = 129; tag <= 132; ++tag) covered.insert(DocumentedOffset(v, tag));
    EXPECT_EQ(covered.size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Variants, KestrelSource, ::testing::Values(KestrelVariant::B, KestrelVariant::C, KestrelVariant::D),
                         [](const ::testing::TestParamInfo<KestrelVariant>& info) {
                             return std::string(info.param == KestrelVariant::B ? "KestrelB"
                                                : info.param == KestrelVariant::C ? "KestrelC"
                                                                                  : "KestrelD");
                         });

// Listed beside the USB devices, by the registry under "1394" and by the device enumeration; the
// preview and roll sizes come as capabilities 2 and 1; registers answer; an unplugged camera
// fails its property calls.
TEST(KestrelSource, ListedBesideTheUsbDevicesWithItsSizesAndRegisters) {
    FireWire fw;
    sim::KestrelConfig c;
    c.variant = KestrelVariant::D;
    c.framePeriodMs = 20;
    c.testPattern = true;
    auto kestrel = fw.bus->Add(c);

    namespace setup = platform::setup;
    setup::DWORD error = 0;
    auto set = setup::SetupDiGetClassDevs(nullptr, nullptr, setup::DIGCF_PRESENT | setup::DIGCF_ALLCLASSES, &error);
    ASSERT_TRUE(set);
    std::vector<std::string> ids;
    for (const auto& r : set->Records()) ids.push_back(r.hardwareId);
    EXPECT_NE(std::find(ids.begin(), ids.end(), "KestrelB-II-Firewire"), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), "USB\\VID_0547&PID_2150&REV_0000"), ids.end());
    auto fireWireOnly = setup::SetupDiGetClassDevs(nullptr, "1394", setup::DIGCF_PRESENT | setup::DIGCF_ALLCLASSES, &error);
    ASSERT_TRUE(fireWireOnly);
    ASSERT_EQ(fireWireOnly->Records().size(), 1u);
    EXPECT_EQ(fireWireOnly->Records()[0].description, "KestrelB-II-Firewire");

    auto camera = BindCamera({"KestrelB-II-Firewire"});
    ASSERT_TRUE(camera);
    FrameSink sink;
    Graph g;
    ASSERT_EQ(g.Build(camera, 2, &sink), S_OK);
    int count = 0, size = 0;
    ASSERT_EQ(g.config->GetNumberOfCapabilities(&count, &size), S_OK);
    ASSERT_EQ(count, 3);
    const std::pair<int, int> sizes[3] = {{2912, 4512}, {2144, 1536}, {1456, 1504}};
    for (int i = 0; i < 3; ++i) {
        MediaType t;
        VideoStreamConfigCaps caps;
        ASSERT_EQ(g.config->GetStreamCaps(i, &t, &caps), S_OK);
        EXPECT_EQ(std::make_pair(caps.width, caps.height), sizes[i]);
    }
    ASSERT_EQ(g.procAmp->Set(20, 2, VideoProcAmp_Flags_Manual), S_OK);
    ASSERT_EQ(g.cameraControl->Set(CameraControl_Exposure, 61, CameraControl_Flags_Manual), S_OK);
    long value = 0, flags = 0;
    ASSERT_EQ(g.cameraControl->Get(CameraControl_Exposure, &value, &flags), S_OK);
    EXPECT_EQ(value, 61);
    ASSERT_EQ(g.graph->Run(), S_OK);
    ASSERT_TRUE(sink.WaitFor(2, 20000));
    ASSERT_EQ(g.graph->Stop(), S_OK);
    {
        // The preview decodes (corners, quarter turn, 10 columns right) into the upright pattern.
        std::lock_guard lock(sink.mutex);
        ASSERT_EQ(sink.lengths[0], 1456L * 1504L);
        const sim::ModelTraits& traits = sim::Traits(sim::ModelId::KestrelD);
        sim::GreyImage delivered(1456, 1504);
        delivered.pixels = sink.first;
        const sim::GreyImage scene = sim::LibraryDecode(traits, 2, delivered);
        ASSERT_EQ(std::make_pair(scene.width, scene.height), std::make_pair(1504, 1456));
        const uint32_t n = sim::TestPatternFrame(scene.at(752, 728), 752, 728);
        const std::vector<bool> reserved = sim::ReservedScenePixels(traits, 2);
        size_t wrong = 0;
        for (int y = 0; y < scene.height; ++y)
            for (int x = 0; x < scene.width; ++x)
                if (!reserved[size_t(y) * scene.width + x] && scene.at(x, y) != sim::TestPatternValue(x, y, n)) ++wrong;
        EXPECT_EQ(wrong, 0u);
        EXPECT_EQ(scene.at(5, 700), 255);  // the first 10 columns are white
    }
    kestrel->Unplug();
    EXPECT_EQ(g.cameraControl->Get(CameraControl_Exposure, &value, &flags), HRESULT_DEVICE_NOT_CONNECTED);
    std::shared_ptr<CaptureFilter> none = BindCamera({"KestrelB-II-Firewire"});
    EXPECT_FALSE(none);
}

}  // namespace
}  // namespace capturetest
