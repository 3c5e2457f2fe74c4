// Renderers, raw layouts and scenarios of the simulated devices.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <numeric>
#include <thread>

#include "platform/TessikUsbProtocol.h"
#include "sim/Models.h"
#include "sim/Render.h"
#include "sim/SimBus.h"
#include "sim/SimDevice.h"

namespace {

using namespace sim;
namespace usb = platform::usb;

double Mean(const GreyImage& img, int x0, int y0, int x1, int y1) {
    double sum = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) sum += img.at(x, y);
    return sum / (double(x1 - x0) * (y1 - y0));
}

// The raw frame, copied as the driver copies it and decoded as the capture library decodes it,
// gives back the scene in every model and mode.
TEST(RawLayout, DriverCopyAndLibraryDecodeGiveBackTheScene) {
    for (ModelId id : AllModels()) {
        const ModelTraits& traits = Traits(id);
        for (int mode : {0, 1, 2}) {
            SCOPED_TRACE(std::string(traits.name) + " mode " + std::to_string(mode));
            const ModeGeometry& g = Mode(traits, mode);
            const GreyImage scene = RenderTestPattern(g.sceneWidth, g.sceneHeight, 7);
            const auto text = MakeDeviceText(traits, 42, PackDate(2024, 5, 14), PackDate(2024, 6, 3));
            RawExtras extras;
            extras.deviceText = text.data();
            const std::vector<uint8_t> raw = EncodeRaw(traits, mode, scene, extras);
            ASSERT_EQ(raw.size(), size_t(g.rawWidth) * g.rawHeight);
            if (traits.syncBytes) {
                EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 1, raw.begin() + 5), (std::vector<uint8_t>{0xFF, 0, 0xFF, 0}));
            }
            if (traits.layout == RawLayout::ColumnsBottomUp) {
                for (int col = 0; col < g.rawWidth; col += 97) EXPECT_LE(raw[size_t(col) * g.rawHeight], 7);
            }
            const GreyImage back = LibraryDecode(traits, mode, DriverCopy(traits, mode, raw));
            ASSERT_EQ(back.width, scene.width);
            ASSERT_EQ(back.height, scene.height);
            size_t bad = 0;
            for (int y = 0; y < scene.height; ++y)
                for (int x = 0; x < scene.width; ++x)
                    if (!IsReservedScenePixel(traits, mode, x, y) && back.at(x, y) != scene.at(x, y)) ++bad;
            EXPECT_EQ(bad, 0u);
        }
    }
}

TEST(Render, DeterministicPerSeed) {
    FingerScene s;
    s.platen.width = 400;
    s.platen.height = 300;
    s.platen.ppiX = s.platen.ppiY = 125;
    s.layout = FingerLayout::RightSlap;
    EXPECT_EQ(RenderFingers(s, 5).pixels, RenderFingers(s, 5).pixels);
    EXPECT_NE(RenderFingers(s, 5).pixels, RenderFingers(s, 6).pixels);
    EyeScene e;
    EXPECT_EQ(RenderEye(e, 3).pixels, RenderEye(e, 3).pixels);
}

TEST(Render, PlatenBrightensWithExposureAndDarkensInTheCorners) {
    PlatenParams p;
    p.width = 320;
    p.height = 240;
    double last = -1;
    for (double e : {0.0, 10.0, 20.0, 30.0}) {  // below clipping
        p.exposure = e;
        const GreyImage img = RenderPlaten(p, 1);
        const double centre = Mean(img, 140, 100, 180, 140);
        EXPECT_GT(centre, last);
        EXPECT_NEAR(centre, PlatenLevel(p), 3.0);
        EXPECT_LT(Mean(img, 0, 0, 20, 20), centre);
        last = centre;
    }
    p.exposure = 40;
    p.dirty = true;
    const GreyImage dirty = RenderPlaten(p, 1);
    p.dirty = false;
    const GreyImage clean = RenderPlaten(p, 1);
    size_t darker = 0;
    for (size_t i = 0; i < clean.pixels.size(); ++i) darker += clean.pixels[i] > dirty.pixels[i] + 9;
    EXPECT_GT(darker, clean.pixels.size() / 50);
}

// Contacts are dark ridged regions where the layout puts them: four for a slap, two for
// thumbs, one for a single finger, and a roll contact that travels with the phase.
TEST(Render, FingerContactsSitWhereTheLayoutPutsThem) {
    FingerScene s;
    s.platen.width = 736;  // PloverA preview geometry at a quarter of the size
    s.platen.height = 460;
    s.platen.ppiX = 212.5;
    s.platen.ppiY = 150;
    s.platen.noise = 0;
    auto columnsTouched = [&](FingerLayout layout, double phase) {
        s.layout = layout;
        s.rollPhase = phase;
        const GreyImage img = RenderFingers(s, 9);
        const double level = PlatenLevel(s.platen);
        // Count separate runs of columns holding a dark pixel.
        int runs = 0;
        bool in = false;
        std::vector<int> starts;
        for (int x = 0; x < img.width; ++x) {
            bool dark = false;
            for (int y = 0; y < img.height && !dark; ++y) dark = img.at(x, y) < level * 0.5;
            if (dark && !in) ++runs, starts.push_back(x);
            in = dark;
        }
        return std::make_pair(runs, starts.empty() ? -1 : starts[0]);
    };
    EXPECT_EQ(columnsTouched(FingerLayout::None, 0).first, 0);
    EXPECT_EQ(columnsTouched(FingerLayout::RightSlap, 0).first, 4);
    EXPECT_EQ(columnsTouched(FingerLayout::LeftSlap, 0).first, 4);
    EXPECT_EQ(columnsTouched(FingerLayout::TwoThumbs, 0).first, 2);
    EXPECT_EQ(columnsTouched(FingerLayout::SingleFinger, 0).first, 1);
    EXPECT_LT(columnsTouched(FingerLayout::Roll, 0.0).second, columnsTouched(FingerLayout::Roll, 1.0).second);
}

TEST(Render, EyeFollowsTheLedLevel) {
    EyeScene e;
    e.noise = 0;
    e.ledLevel = 40;
    const double dim = Mean(RenderEye(e, 1), 0, 0, 640, 480);
    e.ledLevel = 160;
    const double bright = Mean(RenderEye(e, 1), 0, 0, 640, 480);
    EXPECT_GT(bright, dim + 20);
    // The pupil is the darkest part of the scene.
    const GreyImage img = RenderEye(e, 1);
    EXPECT_LT(Mean(img, 310, 230, 330, 250), Mean(img, 10, 10, 50, 50));
}

TEST(Scenario, ParsesDevicesAndTimelines) {
    std::string error;
    auto sc = ParseScenario(
        "# two devices\n"
        "period-scale 0.5\n"
        "device a PloverA serial 77 pattern\n"
        "device b IrisRight period 20 sensor 0x1234\n"
        "at 100 a place right-slap\n"
        "frame 3 * dirty on\n"
        "frame 4 b eye off\n"
        "frame 5 a key 0x08\n"
        "frame 6 a set skin wet\n"
        "frame 6 a set lamp 0.25\n",
        &error);
    ASSERT_TRUE(sc) << error;
    ASSERT_EQ(sc->devices.size(), 2u);
    EXPECT_EQ(sc->devices[0].config.serial, 77u);
    EXPECT_TRUE(sc->devices[0].config.testPattern);
    EXPECT_DOUBLE_EQ(sc->devices[1].config.framePeriodMs, 10.0);
    EXPECT_EQ(sc->devices[1].config.sensorType, 0x1234u);
    EXPECT_NEAR(sc->devices[0].config.framePeriodMs, Traits(ModelId::PloverA).framePeriodMs / 2, 1e-9);
    ASSERT_EQ(sc->devices[0].config.timeline.size(), 5u);
    EXPECT_EQ(sc->devices[0].config.timeline[3].action.kind, DeviceAction::Set);
    EXPECT_EQ(sc->devices[0].config.timeline[3].action.name, "skin");
    EXPECT_EQ(sc->devices[0].config.timeline[3].action.x, double(SkinType::Wet));
    EXPECT_EQ(sc->devices[0].config.timeline[4].action.x, 0.25);
    EXPECT_FALSE(sc->devices[0].config.timeline[0].byFrame);
    EXPECT_EQ(sc->devices[0].config.timeline[0].action.layout, FingerLayout::RightSlap);
    EXPECT_EQ(sc->devices[0].config.timeline[2].action.value, 0x08);
    EXPECT_EQ(sc->devices[1].config.timeline.size(), 2u);

    for (const auto& name : BuiltInScenarioNames()) EXPECT_TRUE(BuiltInScenario(name)) << name;
}

TEST(Scenario, RefusesBadLinesWithTheirNumber) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"device a Nightjar\n", "line 1: unknown model 'Nightjar'"},
        {"device a PloverA\nat x a lift\n", "line 2: bad time"},
        {"device a PloverA\nframe 2 b lift\n", "line 2: unknown device 'b'"},
        {"device a PloverA\nframe 2 a place palm\n", "line 2: unknown finger layout 'palm'"},
        {"device a PloverA\nframe 2 a key 300\n", "line 2: bad key value"},
        {"device a PloverA\nframe 2 a dirty maybe\n", "line 2: expected on or off"},
        {"device a PloverA\nframe 2 a lift now\n", "line 2: 'lift' takes 0 argument(s)"},
        {"device a PloverA\ndevice a VireoA\n", "line 2: device name 'a' used twice"},
        {"device a PloverA\nwobble\n", "line 2: unknown statement 'wobble'"},
        {"period-scale 0\n", "line 1: bad period scale"},
        {"device a PloverA\nframe 2 a set gap wide\n", "line 2: bad value 'wide' for 'gap'"},
        {"device a PloverA\nframe 2 a set lamp 3\n", "line 2: bad value '3' for 'lamp'"},
        {"device a PloverA\nframe 2 a set colour 3\n", "line 2: unknown setting 'colour'"},
        {"device a PloverA\nframe 2 a set lamp\n", "line 2: 'set' takes 2 argument(s)"},
        {"# nothing\n", "line 1: no device"},
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        EXPECT_FALSE(ParseScenario(text, &error)) << text;
        EXPECT_EQ(error, expected) << text;
    }
}

// Reads bulk data from a device as the driver would, for checking what the device sends.
struct BulkReader {
    explicit BulkReader(std::shared_ptr<SimDevice> d) : dev(std::move(d)) {}
    std::shared_ptr<SimDevice> dev;
    std::vector<uint8_t> buffer;
    std::shared_ptr<usb::Transfer> t = std::make_shared<usb::Transfer>();
    bool ReadFrame(size_t bytes) {
        buffer.assign(bytes, 0);
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        t->kind = usb::TransferKind::BulkIn;
        t->buffer = buffer.data();
        t->length = uint32_t(bytes);
        t->completion = [&](usb::Transfer&) {
            std::lock_guard lock(m);
            done = true;
            cv.notify_all();
        };
        if (dev->Submit(t) != usb::TransferStatus::Success) return false;
        std::unique_lock lock(m);
        if (cv.wait_for(lock, std::chrono::seconds(5), [&] { return done; })) return t->status == usb::TransferStatus::Success;
        lock.unlock();
        dev->Cancel(t);
        lock.lock();
        cv.wait(lock, [&] { return done; });
        return false;
    }
    void Command(uint8_t request) {
        auto c = std::make_shared<usb::Transfer>();
        c->setup = {usb::kTypeVendor, request, 0, 0, 0};
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        c->completion = [&](usb::Transfer&) {
            std::lock_guard lock(m);
            done = true;
            cv.notify_all();
        };
        ASSERT_EQ(dev->Submit(c), usb::TransferStatus::Success);
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return done; });
    }
};

TEST(SimDevice, TimelineKeyedToFramesChangesTheScene) {
    DeviceConfig c;
    c.model = ModelId::VireoA;
    c.framePeriodMs = 5;
    c.timeline.push_back({true, 2, {DeviceAction::Place, FingerLayout::SingleFinger}});
    auto dev = SimDevice::Create(c);
    BulkReader r(dev);
    r.Command(platform::usb::tessik::kReqStartCapture);
    const size_t bytes = 1600 * 1200;
    std::vector<double> means;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(r.ReadFrame(bytes));
        GreyImage d(1600, 1200);
        d.pixels = r.buffer;
        const GreyImage s = LibraryDecode(dev->traits(), 0, d);
        means.push_back(Mean(s, 600, 350, 900, 600));
    }
    EXPECT_NEAR(means[0], means[1], 2.0);
    EXPECT_LT(means[3], means[0] - 20);  // the finger is down from the third frame on
}

// The exposure register and the lamp knob reach the rendered sensor; the mode's frame period
// paces the stream.
TEST(SimDevice, ExposureRegisterAndLampReachTheSensor) {
    DeviceConfig c;
    c.model = ModelId::VireoA;
    c.framePeriodMs = 5;
    c.timeline.push_back({true, 6, {DeviceAction::Set, FingerLayout::None, 0, 0, 0, true, 0, "lamp"}});
    c.timeline.back().action.x = 0.5;
    auto dev = SimDevice::Create(c);
    BulkReader r(dev);
    auto centre = [&] {
        EXPECT_TRUE(r.ReadFrame(1600 * 1200));
        GreyImage d(1600, 1200);
        d.pixels = r.buffer;
        const GreyImage s = LibraryDecode(dev->traits(), 0, d);
        return Mean(s, 650, 400, 850, 550);
    };
    // Exposure 20 from the start: one byte written with the vendor request.
    auto set = std::make_shared<usb::Transfer>();
    uint8_t value = 20;
    set->setup = {usb::kTypeVendor, platform::usb::tessik::kReqSetExposure, 0, 0, 1};
    set->buffer = &value;
    set->length = 1;
    std::atomic<bool> done{false};
    set->completion = [&](usb::Transfer&) { done = true; };
    ASSERT_EQ(dev->Submit(set), usb::TransferStatus::Success);
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    r.Command(platform::usb::tessik::kReqStartCapture);
    PlatenParams p;
    p.base = dev->traits().platenBase;
    p.gain = dev->traits().platenGain;
    p.exposure = 20;
    EXPECT_NEAR(centre(), SensorLevel(p, 1.0), 3);
    for (int i = 0; i < 8; ++i) centre();  // past frame 6 and the frames already rendered
    p.lamp = 0.5;
    EXPECT_NEAR(centre(), SensorLevel(p, 1.0), 3);
}

TEST(SimDevice, UnplugEndsPendingTransfersAndNotifies) {
    auto bus = std::make_shared<SimBus>();
    std::mutex m;
    std::vector<bool> changes;
    std::condition_variable cv;
    bus->SetChangeHandler([&](std::shared_ptr<usb::Transport>, bool arrived) {
        std::lock_guard lock(m);
        changes.push_back(arrived);
        cv.notify_all();
    });
    DeviceConfig c;
    c.model = ModelId::IrisLeft;
    auto dev = bus->Add(c);
    EXPECT_NE(dev->Location().find("irisl"), std::string::npos);
    std::atomic<bool> removed{false};
    dev->SetRemovalHandler([&] { removed = true; });
    BulkReader r(dev);
    std::thread reader([&] { EXPECT_FALSE(r.ReadFrame(640 * 480)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    dev->Unplug();
    reader.join();
    EXPECT_EQ(r.t->status, usb::TransferStatus::NoDevice);
    {
        std::unique_lock lock(m);
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return changes.size() == 1; });
    }
    EXPECT_TRUE(removed);
    EXPECT_TRUE(bus->Devices().empty());
    EXPECT_EQ(dev->Submit(std::make_shared<usb::Transfer>()), usb::TransferStatus::NoDevice);
    dev->Replug();
    std::unique_lock lock(m);
    cv.wait_for(lock, std::chrono::seconds(5), [&] { return changes.size() == 2; });
    EXPECT_EQ(changes, (std::vector<bool>{false, true}));
    EXPECT_EQ(bus->Devices().size(), 1u);
}

}  // namespace
