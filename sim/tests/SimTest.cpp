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
#include "sim/EyeRender.h"
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
            // A mode with the geometry of an earlier one encodes the same way.
            auto same = [&](int other) {
                const ModeGeometry& o = Mode(traits, other);
                return o.rawWidth == g.rawWidth && o.rawHeight == g.rawHeight && o.sceneWidth == g.sceneWidth &&
                       o.sceneHeight == g.sceneHeight && o.windowX == g.windowX && o.windowY == g.windowY && o.plain == g.plain;
            };
            if ((mode >= 1 && same(0)) || (mode == 2 && same(1))) continue;
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
            const std::vector<bool> reserved = ReservedScenePixels(traits, mode);
            size_t bad = 0;
            for (size_t i = 0; i < scene.pixels.size(); ++i)
                if (!reserved[i] && back.pixels[i] != scene.pixels[i]) ++bad;
            EXPECT_EQ(bad, 0u);
        }
    }
}

// Where the library's decode of each model takes a scene pixel from, worked out by hand from the
// models' documented windows, rotations and mirrors: (scene x, y) -> (delivered x, y), or white.
struct SourceCase {
    ModelId model;
    int mode;
    int x, y;
    SceneSource::Kind kind;
    int dx, dy;
};

TEST(RawLayout, SceneCornersComeFromTheModelsWindow) {
    const SourceCase cases[] = {
        // Window rows 56..1000, columns 58..1553, turned top to bottom.
        {ModelId::VireoA, 0, 0, 0, SceneSource::Owned, 58, 1000},
        {ModelId::VireoA, 0, 1495, 944, SceneSource::Owned, 1553, 56},
        // Rows 168..935, columns 388..1247 mirrored left-right, then turned top to bottom.
        {ModelId::LinnetA, 0, 0, 0, SceneSource::Owned, 1247, 935},
        {ModelId::LinnetA, 0, 859, 767, SceneSource::Owned, 388, 168},
        {ModelId::LinnetB, 1, 0, 0, SceneSource::Owned, 1297, 1067},
        {ModelId::LinnetB, 0, 995, 935, SceneSource::Owned, 302, 132},
        // Half a turn, then top to bottom: a left-right mirror of the window.
        {ModelId::TanagerA, 0, 0, 0, SceneSource::Owned, 1161, 346},
        {ModelId::TanagerA, 0, 719, 507, SceneSource::Owned, 442, 853},
        {ModelId::TanagerB, 0, 0, 0, SceneSource::Owned, 1155, 360},
        {ModelId::TanagerB, 0, 711, 479, SceneSource::Owned, 444, 839},
        // 32 header rows; full: 3000 bytes from column 12, transposed, then top to bottom.
        {ModelId::KestrelA, 0, 0, 0, SceneSource::Owned, 3011, 32},
        {ModelId::KestrelA, 0, 3519, 0, SceneSource::Owned, 3011, 3551},
        {ModelId::KestrelA, 0, 0, 2999, SceneSource::Owned, 12, 32},
        {ModelId::KestrelA, 1, 0, 0, SceneSource::Owned, 1507, 32},
        {ModelId::KestrelA, 1, 1759, 1499, SceneSource::Owned, 8, 1791},
        // Output (r, c) = input (h - 1 - c, w - 1 - r); corners unlit; a 25-row band from w - 26.
        {ModelId::PloverC, 0, 0, 0, SceneSource::Owned, 2911, 4511},
        {ModelId::PloverC, 0, 4511, 2911, SceneSource::White, 0, 0},
        {ModelId::PloverC, 0, 2000, 2885, SceneSource::Owned, 26, 2511},
        {ModelId::PloverC, 0, 2000, 2886, SceneSource::White, 0, 0},
        {ModelId::PloverC, 0, 2000, 2910, SceneSource::White, 0, 0},
        {ModelId::PloverC, 0, 2000, 2911, SceneSource::Owned, 0, 2511},
        {ModelId::PloverC, 1, 0, 0, SceneSource::Owned, 831, 1551},
        {ModelId::PloverC, 1, 1000, 614, SceneSource::Owned, 217, 551},
        {ModelId::PloverC, 1, 1335, 614, SceneSource::White, 0, 0},   // raw row 216: unlit whole
        {ModelId::PloverC, 1, 1317, 614, SceneSource::White, 0, 0},   // raw row 234: first 616 bytes unlit
        {ModelId::PloverC, 1, 1317, 200, SceneSource::Owned, 631, 234},
        {ModelId::PloverC, 1, 1316, 614, SceneSource::Owned, 217, 235},
        // Preview: 12 rows down and 10 columns right, the first 13 rows white.
        {ModelId::PloverC, 2, 10, 13, SceneSource::Owned, 1454, 1503},
        {ModelId::PloverC, 2, 500, 12, SceneSource::White, 0, 0},
        {ModelId::PloverC, 2, 9, 400, SceneSource::Shared, 1055, 1494},
        // A quarter turn counter-clockwise: output (x, y) = input (row x, column w - 1 - y).
        {ModelId::PloverD, 0, 4511, 0, SceneSource::Owned, 2911, 4511},
        {ModelId::PloverD, 0, 0, 0, SceneSource::White, 0, 0},
        {ModelId::PloverD, 0, 3000, 2000, SceneSource::Owned, 911, 3000},
        // Preview: 10 columns left, the last 10 white.
        {ModelId::PloverD, 2, 1000, 300, SceneSource::Owned, 1155, 1010},
        {ModelId::PloverD, 2, 1494, 300, SceneSource::White, 0, 0},
        // PloverC's turn, then top to bottom.
        {ModelId::VireoB, 0, 0, 0, SceneSource::Owned, 0, 2143},
        {ModelId::VireoB, 0, 2143, 1535, SceneSource::Owned, 1535, 0},
        {ModelId::IrisLeft, 0, 0, 0, SceneSource::Owned, 639, 479},
        {ModelId::SiskinA, 0, 17, 5, SceneSource::Owned, 17, 474},
        {ModelId::Usb2111, 2, 700, 500, SceneSource::Owned, 700, 500},
        // Kestrel preview, 1456 x 1504 raw: KestrelB turns as PloverC, KestrelC and KestrelD take
        // output (r, c) = input (c, w - 1 - r); then every row moves 10 right, the first 10 white.
        {ModelId::KestrelB, 2, 10, 0, SceneSource::Owned, 1455, 1503},
        {ModelId::KestrelB, 2, 9, 700, SceneSource::White, 0, 0},
        {ModelId::KestrelB, 2, 500, 1430, SceneSource::White, 0, 0},
        {ModelId::KestrelC, 2, 510, 700, SceneSource::Owned, 755, 500},
        {ModelId::KestrelC, 2, 500, 1430, SceneSource::White, 0, 0},
        {ModelId::KestrelD, 2, 500, 1430, SceneSource::Owned, 25, 490},
        {ModelId::KestrelD, 1, 2000, 1000, SceneSource::Owned, 2000, 1000},
    };
    for (const SourceCase& c : cases) {
        SCOPED_TRACE(std::string(Traits(c.model).name) + " mode " + std::to_string(c.mode) + " at " + std::to_string(c.x) +
                     "," + std::to_string(c.y));
        const SceneSource s = SourceOf(Traits(c.model), c.mode, c.x, c.y);
        EXPECT_EQ(s.kind, c.kind);
        if (c.kind != SceneSource::White) {
            EXPECT_EQ(std::make_pair(s.x, s.y), std::make_pair(c.dx, c.dy));
        }
    }
}

// The negative sensors send bright ridges on a dark ground; the decode turns them back.
TEST(RawLayout, NegativeSensorsSendTheInvertedScene) {
    for (ModelId id : {ModelId::SiskinB, ModelId::Finch}) {
        const ModelTraits& t = Traits(id);
        const ModeGeometry& g = Mode(t, 0);
        const GreyImage scene = RenderTestPattern(g.sceneWidth, g.sceneHeight, 3);
        const GreyImage delivered = DriverCopy(t, 0, EncodeRaw(t, 0, scene));
        const SceneSource src = SourceOf(t, 0, 300, 200);
        EXPECT_EQ(delivered.at(src.x, src.y), uint8_t(255 - scene.at(300, 200))) << t.name;
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
        "frame 6 a set lamp 0.25\n"
        "at 0 a set firmware 1104\n",
        &error);
    ASSERT_TRUE(sc) << error;
    ASSERT_EQ(sc->devices.size(), 2u);
    EXPECT_EQ(sc->devices[0].config.serial, 77u);
    EXPECT_TRUE(sc->devices[0].config.testPattern);
    EXPECT_DOUBLE_EQ(sc->devices[1].config.framePeriodMs, 10.0);
    EXPECT_EQ(sc->devices[1].config.sensorType, 0x1234u);
    EXPECT_NEAR(sc->devices[0].config.framePeriodMs, Traits(ModelId::PloverA).framePeriodMs / 2, 1e-9);
    ASSERT_EQ(sc->devices[0].config.timeline.size(), 6u);
    EXPECT_EQ(sc->devices[0].config.timeline[3].action.kind, DeviceAction::Set);
    EXPECT_EQ(sc->devices[0].config.timeline[3].action.name, "skin");
    EXPECT_EQ(sc->devices[0].config.timeline[3].action.x, double(SkinType::Wet));
    EXPECT_EQ(sc->devices[0].config.timeline[4].action.x, 0.25);
    EXPECT_EQ(sc->devices[0].config.timeline[5].action.name, "firmware");
    EXPECT_EQ(sc->devices[0].config.timeline[5].action.text, "1104");
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
        {"device a PloverA\nat 0 a set firmware 12034\n", "line 2: bad value '12034' for 'firmware'"},
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
    void Command(uint8_t request, std::vector<uint8_t> data = {}) {
        auto c = std::make_shared<usb::Transfer>();
        c->setup = {usb::kTypeVendor, request, 0, 0, uint16_t(data.size())};
        c->buffer = data.data();
        c->length = uint32_t(data.size());
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

// The firmware knob rewrites the four firmware bytes of the device text and nothing else.
TEST(SimDevice, FirmwareKnobRewritesTheHardwareWord) {
    DeviceConfig c;
    c.model = ModelId::PloverC;
    c.serial = 4242;
    c.timeline.push_back({false, 0, {DeviceAction::Set, FingerLayout::None, 0, 0, 0, true, 0, "firmware", "11"}});
    auto dev = SimDevice::Create(c);
    const auto before = MakeDeviceText(Traits(ModelId::PloverC), 4242, PackDate(2024, 5, 14), PackDate(2024, 6, 3));
    ASSERT_EQ(std::string(before.begin() + 12, before.begin() + 16), "1203");
    std::array<uint8_t, 24> text{};
    for (int i = 0; i < 500 && (text = dev->DeviceText())[13] != '1'; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    auto expected = before;
    expected[12] = '1', expected[13] = '1', expected[14] = 0, expected[15] = 0;
    EXPECT_EQ(text, expected);
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

// The iris unit streams the renderer's eye for its subject and script, with the LED levels it
// was set to: each frame matches the noiseless render of the scene it was in, in script order.
TEST(SimDevice, IrisUnitStreamsTheScriptedEye) {
    DeviceConfig c;
    c.model = ModelId::IrisLeft;
    c.framePeriodMs = 5;
    c.subject = 3;
    DeviceAction at{DeviceAction::EyeAt};
    at.x = 0.4, at.y = 0.55;
    DeviceAction roll{DeviceAction::HeadRoll};
    roll.x = 6;
    DeviceAction off{DeviceAction::Eye};
    off.on = false;
    c.timeline = {{true, 0, at}, {true, 3, roll}, {true, 6, off}};
    auto dev = SimDevice::Create(c);
    BulkReader r(dev);
    r.Command(platform::usb::tessik::kReqSetLed, {120, 1, 0, 0});
    r.Command(platform::usb::tessik::kReqSetLed, {120, 2, 0, 0});
    r.Command(platform::usb::tessik::kReqStartCapture);
    EyeSceneParams scene;
    scene.subjectSeed = 3;
    scene.exposure = 40;  // the power-on exposure register
    scene.red1 = scene.red2 = 120;
    scene.noise = 0;
    scene.centreX = 0.4, scene.centreY = 0.55;
    std::vector<GreyImage> states;
    states.push_back(RenderEyeFrame(scene).image);
    scene.headRollDeg = 6;
    states.push_back(RenderEyeFrame(scene).image);
    scene.eyePresent = false;
    states.push_back(RenderEyeFrame(scene).image);
    const ModelTraits& traits = dev->traits();
    std::vector<int> seen;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(r.ReadFrame(640 * 480));
        GreyImage d(640, 480);
        d.pixels = r.buffer;
        const GreyImage upright = LibraryDecode(traits, 0, d);
        int best = -1;
        for (size_t k = 0; k < states.size(); ++k) {
            double diff = 0;
            int n = 0;
            for (int y = 0; y < 480; y += 3)
                for (int x = 0; x < 640; x += 3)
                    if (!IsReservedScenePixel(traits, 0, x, y)) diff += std::abs(upright.at(x, y) - states[k].at(x, y)), ++n;
            if (diff / n < 3.5) best = int(k);  // sensor noise of sigma 2.5 alone
        }
        ASSERT_GE(best, 0) << "frame " << i << " matches no scripted scene";
        if (seen.empty() || seen.back() != best) seen.push_back(best);
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
}

TEST(Scenario, IrisActionsParseAndRefuseBadValues) {
    std::string error;
    auto sc = ParseScenario(
        "device l IrisLeft subject 9\n"
        "frame 1 l eye-at 0.3 0.6\n"
        "frame 2 l distance 320\n"
        "frame 3 l blink 5\n"
        "frame 4 l look-away on\n"
        "frame 5 l head-roll -7.5\n",
        &error);
    ASSERT_TRUE(sc) << error;
    const auto& tl = sc->devices[0].config.timeline;
    ASSERT_EQ(tl.size(), 5u);
    EXPECT_EQ(sc->devices[0].config.subject, 9u);
    EXPECT_EQ(tl[0].action.kind, DeviceAction::EyeAt);
    EXPECT_DOUBLE_EQ(tl[0].action.y, 0.6);
    EXPECT_EQ(tl[1].action.kind, DeviceAction::Distance);
    EXPECT_DOUBLE_EQ(tl[1].action.x, 320);
    EXPECT_EQ(tl[2].action.frames, 5);
    EXPECT_TRUE(tl[3].action.on);
    EXPECT_DOUBLE_EQ(tl[4].action.x, -7.5);
    for (const char* bad : {"frame 1 l eye-at 2 0.5", "frame 1 l distance 10", "frame 1 l head-roll 91",
                            "frame 1 l blink 0", "frame 1 l look-away maybe", "frame 1 l eye-at 0.5"}) {
        EXPECT_FALSE(ParseScenario(std::string("device l IrisLeft\n") + bad + "\n", &error)) << bad;
    }
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
    // Unplug once the read is pending, however late the reader thread starts.
    for (int i = 0; i < 5000 && !r.t->pending; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(r.t->pending);
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
