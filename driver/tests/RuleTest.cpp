// Rules of the driver that one changed constant would break unseen elsewhere: when a sync loss
// restarts the capture, which types are checked and on which half, the header length by type,
// the width of the exposure reads, the row rounding of a format, and which requests a resync holds
// back.

#include <algorithm>
#include <atomic>

#include "Rig.h"
#include "platform/TessikUsbProtocol.h"
#include "sim/Models.h"

namespace drvtest {
namespace {

namespace proto = platform::usb::tessik;
namespace usb = platform::usb;

// Holds the simulated device before its next frame; returns the number of that frame, or -1
// when none was due within 20 s.
int64_t HoldFrames(Rig& rig) {
    auto held = std::make_shared<std::atomic<int64_t>>(-1);
    rig.sim->GateFrames([held](uint32_t f) {
        int64_t none = -1;
        held->compare_exchange_strong(none, int64_t(f));
        return false;
    });
    WaitUntil([&] { return *held >= 0; }, 20000);
    return *held;
}

struct SyncRuleCase {
    sim::ModelId model;
    int mode;
};

class SyncRule : public ::testing::TestWithParam<SyncRuleCase> {};

// One frame without its pattern is seen twice, once when it is ready and once more when the next
// frame is ready, because the check reads both halves of the double buffer: two detections, no
// restart. Two such frames make three detections, and the third restarts the capture.
TEST_P(SyncRule, TheThirdDetectionRestartsAndBothHalvesAreChecked) {
    const SyncRuleCase c = GetParam();
    Rig rig(c.model, 25);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);

    // Sync losses seen so far: the attempt counter starts again from 0 at each restart.
    auto detections = [](const StreamDiagnostics& d) { return d.resyncAttempts + 3 * int(d.resyncRestarts); };

    auto episode = [&](int badFrames) {
        FrameStream stream(rig.dev);
        Collector frames;
        frames.keep = 0;
        EXPECT_EQ(stream.Start(size_t(c.mode), c.mode, frames.Callback()), STATUS_SUCCESS);
        EXPECT_TRUE(frames.WaitFor(2, 20000));
        const int starts = rig.sim->StartCount();
        // Hold the device, so that the bad frames are the next ones it sends.
        const int64_t held = HoldFrames(rig);
        EXPECT_GE(held, 0);
        rig.sim->InjectSyncLoss(badFrames);
        // A frame is whole once the next one has begun to land, so frame first+k (k >= 2) would
        // let the driver see frame first+k-1: it waits until the driver has dealt with frame
        // first+k-2. Otherwise a driver running late would see two frames as one, and the
        // count would depend on the machine's load. Each bad frame is seen once on its own and
        // the last once more beside the next frame.
        const uint32_t first = uint32_t(held);
        const int expected = badFrames + 1;
        std::weak_ptr<Device> dev = rig.dev;
        rig.sim->GateFrames([dev, first, expected, detections](uint32_t f) {
            if (f < first + 2) return true;
            auto d = dev.lock();
            return !d || detections(d->Diagnostics()) >= std::min(int(f - first) - 1, expected);
        });
        EXPECT_TRUE(WaitUntil([&] { return detections(rig.dev->Diagnostics()) >= expected; }, 20000));
        // Frames flow again after the bad ones have left the buffer.
        const uint64_t handedOut = rig.dev->Diagnostics().framesHandedOut;
        EXPECT_TRUE(WaitUntil([&] { return rig.dev->Diagnostics().framesHandedOut >= handedOut + 2; }, 20000));
        const StreamDiagnostics d = rig.dev->Diagnostics();
        rig.sim->GateFrames(nullptr);
        stream.Stop();
        return std::make_pair(d, rig.sim->StartCount() - starts);
    };

    const auto [once, restartsOnce] = episode(1);
    EXPECT_EQ(once.resyncAttempts, 2) << "one bad frame is detected on both halves";
    EXPECT_EQ(once.resyncRestarts, 0u);
    EXPECT_EQ(restartsOnce, 0);

    const auto [twice, restartsTwice] = episode(2);  // a new run counts from 0 again
    EXPECT_EQ(twice.resyncRestarts, 1u) << "the third detection restarts";
    EXPECT_EQ(restartsTwice, 1);
    EXPECT_EQ(rig.sim->VendorWrites(proto::kReqStartCapture).size(), 3u);  // two runs and one restart
}

// The types whose pattern is checked begin at 2, end at 5, and begin again above 7.
INSTANTIATE_TEST_SUITE_P(CheckedTypes, SyncRule,
                         ::testing::Values(SyncRuleCase{sim::ModelId::LinnetA, 0}, SyncRuleCase{sim::ModelId::Usb2111, 2},
                                           SyncRuleCase{sim::ModelId::PloverC, 1}, SyncRuleCase{sim::ModelId::VireoB, 0}),
                         [](const ::testing::TestParamInfo<SyncRuleCase>& info) {
                             return std::string(sim::Traits(info.param.model).name);
                         });

// A worker that comes to a bad frame only after the reads have begun to overwrite it drops the
// frame, yet the failed pattern check of the completion still counts as a detection.
TEST(SyncRule, ABadFrameTheWorkerCameTooLateForStillCounts) {
    Rig rig(sim::ModelId::Usb2111, 25);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    const auto caps = rig.dev->StreamCapabilities();
    ASSERT_EQ(rig.dev->OpenStream(0, caps[0].format), STATUS_SUCCESS);
    // The worker reads the stream clock on every frame before it takes it: a clock that waits
    // holds the worker there.
    std::mutex m;
    std::condition_variable cv;
    bool hold = false, holding = false;
    struct Release {  // a failed assertion must not leave the worker waiting
        std::mutex& m;
        std::condition_variable& cv;
        bool& hold;
        ~Release() {
            {
                std::lock_guard lock(m);
                hold = false;
            }
            cv.notify_all();
        }
    } release{m, cv, hold};
    ASSERT_EQ(rig.dev->SetClock([&]() -> int64_t {
        std::unique_lock lock(m);
        holding = hold;
        cv.notify_all();
        cv.wait(lock, [&] { return !hold; });
        holding = false;
        return 0;
    }), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->SetStreamState(KsState::Run), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.sim->FramesSent() >= 3; }, 20000));

    const int64_t held = HoldFrames(rig);
    ASSERT_GE(held, 0);
    DroppedFrames before;
    ASSERT_EQ(rig.dev->GetDroppedFrames(before), STATUS_SUCCESS);
    {
        std::lock_guard lock(m);
        hold = true;
    }
    // The bad frame and the one after it; the next waits, so the driver sees no further frame.
    rig.sim->InjectSyncLoss(1);
    const uint32_t bad = uint32_t(held);
    rig.sim->GateFrames([bad](uint32_t f) { return f <= bad + 1; });
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return holding; }));
    }
    // Both frames read: the reads wait for more and are writing into the bad frame's half.
    ASSERT_TRUE(WaitUntil([&] {
        return rig.sim->FramesSent() >= bad + 2 && rig.sim->UnreadBytes() == 0 && rig.sim->QueuedBulkReads() == 2;
    }, 20000));
    EXPECT_TRUE(rig.dev->Diagnostics().resync);
    EXPECT_EQ(rig.dev->Diagnostics().resyncAttempts, 0);
    {
        std::lock_guard lock(m);
        hold = false;
    }
    cv.notify_all();
    EXPECT_TRUE(WaitUntil([&] { return rig.dev->Diagnostics().resyncAttempts >= 1; }, 20000));
    DroppedFrames after;
    ASSERT_EQ(rig.dev->GetDroppedFrames(after), STATUS_SUCCESS);
    EXPECT_GT(after.dropCount, before.dropCount) << "the bad frame was overwritten before the worker came to it";
    EXPECT_EQ(rig.dev->Diagnostics().resyncAttempts, 1);
    rig.sim->GateFrames(nullptr);
    EXPECT_EQ(rig.dev->SetStreamState(KsState::Stop), STATUS_SUCCESS);
    EXPECT_EQ(rig.dev->CloseStream(), STATUS_SUCCESS);
}

// Sensors whose type is not checked stream on without their pattern.
TEST(SyncRule, TypesSixAndSevenAreNotChecked) {
    for (sim::ModelId model : {sim::ModelId::SiskinA, sim::ModelId::SiskinB}) {
        SCOPED_TRACE(sim::Traits(model).name);
        Rig rig(model, 15);
        ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
        FrameStream stream(rig.dev);
        Collector frames;
        frames.keep = 0;
        ASSERT_EQ(stream.Start(0, 0, frames.Callback()), STATUS_SUCCESS);
        ASSERT_TRUE(frames.WaitFor(4));
        stream.Stop();
        EXPECT_EQ(rig.dev->Diagnostics().resyncAttempts, 0);
        EXPECT_EQ(stream.GetStats().emptyReads, 0u);
    }
}

// Types 12 to 14 read 4 header bytes, 15 and above 26; the report gives the type.
TEST(HeaderRule, ReportTypesUpTo14ReadFourHeaderBytes) {
    for (uint16_t type : {12, 13, 14, 15, 16}) {
        SCOPED_TRACE("type " + std::to_string(type));
        sim::DeviceConfig c;
        c.model = sim::ModelId::VireoB;
        c.location = "h-1";
        c.report = {1536, 2144, 1536, 2144, 1536, 2144, 8, 8, 8, type, 0};
        Rig rig(c);
        ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
        EXPECT_EQ(rig.dev->Model().modelType, type);
        std::vector<uint16_t> lengths;
        for (const auto& r : rig.sim->ControlLog())
            if (r.setup.request == proto::kReqDeviceHeader && (r.setup.requestType & usb::kDirIn)) lengths.push_back(r.setup.length);
        EXPECT_EQ(lengths, std::vector<uint16_t>{uint16_t(type <= 14 ? 4 : 26)});
        const ModelInfo m = rig.dev->Model();
        const auto text = rig.sim->DeviceText();
        EXPECT_EQ(m.header[12], text[12]);
        EXPECT_EQ(m.header[0], type <= 14 ? 0 : text[0]);
        EXPECT_EQ(m.header[16], type <= 14 ? 0 : text[16]);
    }
}

// Exposure is read with one byte through the camera-control property and with two through
// property 21, which answers the device's whole 16-bit register.
TEST(ExposureRule, PropertyTwentyOneReadsTwoBytesTheCameraControlOne) {
    Rig rig(sim::ModelId::PloverC, 200);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, 21, {0x1234, kFlagManual, 0}), STATUS_SUCCESS);
    PropertyData wide, narrow;
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, 21, wide), STATUS_SUCCESS);
    EXPECT_EQ(wide.value, 0x1234);
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::CameraControl, kCameraControlExposure, narrow), STATUS_SUCCESS);
    EXPECT_EQ(narrow.value, 0x34);
    std::vector<uint16_t> lengths;
    for (const auto& r : rig.sim->ControlLog())
        if (r.setup.request == proto::kReqGetExposure) lengths.push_back(r.setup.length);
    EXPECT_EQ(lengths, (std::vector<uint16_t>{2, 1}));
}

// The image size of an intersected format rounds each row up to 4 bytes:
// ((biWidth * biBitCount + 31) / 32) * 4 * |biHeight|.
TEST(FormatRule, IntersectionRoundsRowsUpToFourBytes) {
    sim::DeviceConfig c;
    c.model = sim::ModelId::VireoB;
    c.location = "f-1";
    c.report = {1001, 600, 1001, 600, 1001, 600, 3, 3, 3, 13, 0};
    Rig rig(c);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    const auto caps = rig.dev->StreamCapabilities();
    if (caps[0].format.width != 1001) GTEST_SKIP() << "a larger device set the capabilities in this process";
    for (int32_t height : {600, -600}) {
        StreamCapability requested = caps[0];
        requested.format.height = height;
        VideoFormat out;
        size_t required = 0;
        ASSERT_EQ(rig.dev->DataIntersection(0, requested, sizeof(VideoFormat), &out, &required), STATUS_SUCCESS);
        EXPECT_EQ(out.imageSize, 1004u * 600u);
        EXPECT_EQ(out.width, 1001);
    }
}

struct ResyncSet {
    PropertySet set;
    uint32_t id;
    uint8_t request;
    bool sent;  // during a resync
};

struct ResyncGet {
    PropertySet set;
    uint32_t id;
    uint8_t request;
    bool read;  // during a resync
};

// While the stream is out of step, the sets marked "skipped during resync" and the gets marked
// "shadow during resync" send nothing; the others still reach the device.
TEST(ResyncRule, EachPropertyThatSkipsSkipsAndTheOthersAreSent) {
    const ResyncSet sets[] = {
        {PropertySet::VideoProcAmp, 1, proto::kReqSetContrast, false},
        {PropertySet::VideoProcAmp, 0, proto::kReqSetBrightness, false},
        {PropertySet::VideoProcAmp, 17, proto::kReqSet17, false},
        {PropertySet::VideoProcAmp, 18, proto::kReqSet18, false},
        {PropertySet::VideoProcAmp, 19, proto::kReqSet19, false},
        {PropertySet::VideoProcAmp, 14, proto::kReqSet14, false},
        {PropertySet::VideoProcAmp, 21, proto::kReqSet21, false},
        {PropertySet::CameraControl, kCameraControlExposure, proto::kReqSetExposure, false},
        {PropertySet::VideoProcAmp, 11, proto::kReqLedGroup1, true},
        {PropertySet::VideoProcAmp, 12, proto::kReqLedGroup0, true},
        {PropertySet::VideoProcAmp, 13, proto::kReqBeeper, true},
        {PropertySet::VideoProcAmp, SensorType, proto::kReqSetSensorType, true},
        {PropertySet::VideoProcAmp, LedControl, proto::kReqSetLed, true},
        {PropertySet::VideoProcAmp, 22, proto::kReqSet22, true},
    };
    const ResyncGet gets[] = {
        {PropertySet::VideoProcAmp, 1, proto::kReqGetContrast, false},
        {PropertySet::VideoProcAmp, 0, proto::kReqGetBrightness, false},
        {PropertySet::VideoProcAmp, 10, proto::kReqGet10, false},
        {PropertySet::VideoProcAmp, 15, proto::kReqGet15, false},
        {PropertySet::VideoProcAmp, 16, proto::kReqGetKeys, false},
        {PropertySet::CameraControl, kCameraControlExposure, proto::kReqGetExposure, false},
        {PropertySet::VideoProcAmp, 18, proto::kReqGet18, true},
        {PropertySet::VideoProcAmp, SensorType, proto::kReqGetSensorType, true},
        {PropertySet::VideoProcAmp, 21, proto::kReqGetExposure, true},
        {PropertySet::VideoProcAmp, 22, proto::kReqGet22, true},
    };
    Rig rig(sim::ModelId::Usb2110, 10);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    rig.sim->InjectSyncLoss(1000000);
    FrameStream stream(rig.dev);
    Collector frames;
    ASSERT_EQ(stream.Start(0, 0, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.dev->Diagnostics().resync; }));

    // The requests a property sent, besides the capture restarts of the resync itself.
    auto requestsDuring = [&](auto&& call) {
        const size_t from = rig.sim->ControlLog().size();
        call();
        std::vector<uint8_t> out;
        const auto log = rig.sim->ControlLog();
        for (size_t i = from; i < log.size(); ++i)
            if (log[i].setup.request != proto::kReqStartCapture) out.push_back(log[i].setup.request);
        return out;
    };
    for (const ResyncSet& s : sets) {
        SCOPED_TRACE("set " + std::to_string(s.id));
        const auto sent = requestsDuring([&] { EXPECT_EQ(rig.dev->SetProperty(s.set, s.id, {5, kFlagManual, 0}), STATUS_SUCCESS); });
        EXPECT_EQ(sent, s.sent ? std::vector<uint8_t>{s.request} : std::vector<uint8_t>{});
    }
    for (const ResyncGet& g : gets) {
        SCOPED_TRACE("get " + std::to_string(g.id));
        PropertyData d;
        const auto sent = requestsDuring([&] { EXPECT_EQ(rig.dev->GetProperty(g.set, g.id, d), STATUS_SUCCESS); });
        EXPECT_EQ(sent, g.read ? std::vector<uint8_t>{g.request} : std::vector<uint8_t>{});
    }
    // The sets that were held back are still answered from the shadow.
    PropertyData brightness;
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, 0, brightness), STATUS_SUCCESS);
    EXPECT_EQ(brightness.value, 5);
    EXPECT_TRUE(rig.dev->Diagnostics().resync);
    stream.Stop();
}

// Only types above 11 carry the LED status in their frames: a 1600 x 1200 unit whose LED status
// was read keeps its picture at byte 60.
TEST(LedStampRule, OnlyTypesAboveElevenCarryTheLedStatus) {
    for (int type : {11, 12, 15}) {
        SCOPED_TRACE("type " + std::to_string(type));
        sim::DeviceConfig c;
        c.model = type == 11 ? sim::ModelId::Usb2112 : type == 15 ? sim::ModelId::IrisLeft : sim::ModelId::VireoB;
        c.framePeriodMs = 15;
        c.testPattern = true;
        c.location = "l-1";
        if (type == 12) c.report = {1536, 2144, 1536, 2144, 1536, 2144, 8, 8, 8, 12, 0};
        const sim::ModelTraits& traits = sim::Traits(c.model);
        Rig rig(c);
        ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
        ASSERT_EQ(rig.dev->Model().modelType, type);
        PropertyData status;
        ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, LedControl, status), STATUS_SUCCESS);
        FrameStream stream(rig.dev);
        Collector frames;
        frames.keep = 1;
        ASSERT_EQ(stream.Start(0, 0, frames.Callback()), STATUS_SUCCESS);
        ASSERT_TRUE(frames.WaitFor(1));
        stream.Stop();
        const auto& f = frames.frames[0];
        const sim::ModeGeometry& g = sim::Mode(traits, 0);
        if (type > 11) {
            EXPECT_EQ(f[60], 7) << "the status's own length";
        } else {
            std::string why;
            EXPECT_GE(PatternFrame(traits, 0, f.data(), f.size(), g.rawWidth, g.rawHeight, &why), 0) << why;
        }
    }
}

// A queued read cancelled by the client completes as cancelled, once.
TEST(CancelRule, CancelledReadCompletesOnceAsCancelled) {
    Rig rig(sim::ModelId::VireoA, 500);  // no frame arrives while the read waits
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, FrameSizeMode, {0, kFlagManual, 0}), STATUS_SUCCESS);
    const auto caps = rig.dev->StreamCapabilities();
    ASSERT_EQ(rig.dev->OpenStream(0, caps[0].format), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->SetStreamState(KsState::Run), STATUS_SUCCESS);
    auto read = std::make_shared<ReadRequest>();
    read->buffer.resize(caps[0].format.imageSize);
    std::atomic<int> completions{0};
    read->completion = [&](ReadRequest& r) {
        if (r.status == STATUS_CANCELLED && r.dataUsed == 0) ++completions;
    };
    ASSERT_EQ(rig.dev->SubmitRead(read), STATUS_SUCCESS);
    EXPECT_EQ(rig.dev->CancelRead(read), STATUS_SUCCESS);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(rig.dev->CancelRead(read), STATUS_NOT_FOUND);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(rig.dev->SetStreamState(KsState::Stop), STATUS_SUCCESS);
    EXPECT_EQ(rig.dev->CloseStream(), STATUS_SUCCESS);
}

// Every property range has a step of 1.
TEST(RangeRule, EveryRangeStepsByOne) {
    Rig rig(sim::ModelId::Usb2110);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    for (uint32_t id : {0u, 1u, 10u, 11u, 12u, 13u, 14u, 15u, 16u, 17u, 18u, 19u, 21u, 22u, 23u, 24u}) {
        PropertyRange r;
        ASSERT_EQ(rig.dev->GetPropertyRange(PropertySet::VideoProcAmp, id, r), STATUS_SUCCESS) << id;
        EXPECT_EQ(r.step, 1) << id;
    }
    PropertyRange exposure;
    ASSERT_EQ(rig.dev->GetPropertyRange(PropertySet::CameraControl, kCameraControlExposure, exposure), STATUS_SUCCESS);
    EXPECT_EQ(exposure.step, 1);
    EXPECT_EQ(exposure.defaultValue, 40);
}

}  // namespace
}  // namespace drvtest
