// Properties mapped onto vendor requests, LEDs, beeper, keys, sensor type and resync behaviour.

#include "Rig.h"
#include "platform/TessikUsbProtocol.h"
#include "sim/Models.h"

namespace drvtest {
namespace {

namespace proto = platform::usb::tessik;
namespace usb = platform::usb;

struct SetCase {
    PropertySet set;
    uint32_t id;
    int64_t value;
    uint8_t request;
    std::vector<uint8_t> payload;
};

TEST(Properties, SetsBecomeEndpointVendorWritesWithTheValuesWidth) {
    const std::vector<SetCase> cases = {
        {PropertySet::VideoProcAmp, 1, 0x1A7, proto::kReqSetContrast, {0xA7}},
        {PropertySet::VideoProcAmp, 0, 77, proto::kReqSetBrightness, {77}},
        {PropertySet::VideoProcAmp, 11, 0xFE, proto::kReqLedGroup1, {0xFE}},
        {PropertySet::VideoProcAmp, 12, 0xF7, proto::kReqLedGroup0, {0xF7}},
        {PropertySet::VideoProcAmp, 13, 1, proto::kReqBeeper, {1}},
        {PropertySet::VideoProcAmp, 14, 9, proto::kReqSet14, {9}},
        {PropertySet::VideoProcAmp, 17, 0x1234, proto::kReqSet17, {0x34, 0x12}},
        {PropertySet::VideoProcAmp, 18, 0x01020304, proto::kReqSet18, {4, 3, 2, 1}},
        {PropertySet::VideoProcAmp, 19, 0xBEEF, proto::kReqSet19, {0xEF, 0xBE}},
        {PropertySet::VideoProcAmp, 21, 0x0102, proto::kReqSet21, {2, 1}},
        {PropertySet::VideoProcAmp, 22, 5, proto::kReqSet22, {5}},
        {PropertySet::VideoProcAmp, LedControl, 0x0151, proto::kReqSetLed, {0x51, 0x01}},
        {PropertySet::VideoProcAmp, SensorType, 0x11C3502, proto::kReqSetSensorType, {0x02, 0x35, 0x1C, 0x01}},
        {PropertySet::CameraControl, kCameraControlExposure, 220, proto::kReqSetExposure, {220}},
    };
    Rig rig(sim::ModelId::IrisLeft);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    for (const auto& c : cases) {
        SCOPED_TRACE("property " + std::to_string(c.id));
        ASSERT_EQ(rig.dev->SetProperty(c.set, c.id, {c.value, kFlagManual, 0}), STATUS_SUCCESS);
        const auto writes = rig.sim->VendorWrites(c.request);
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0].setup.requestType, usb::kTypeVendor | usb::kRecipientEndpoint);
        EXPECT_EQ(writes[0].setup.value, 0);
        EXPECT_EQ(writes[0].setup.index, 0);
        EXPECT_EQ(writes[0].data, c.payload);
    }
    // Stored only or nothing at all: no request.
    const size_t before = rig.sim->ControlLog().size();
    for (uint32_t id : {10u, 15u, 16u, FrameSizeMode})
        EXPECT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, id, {1, kFlagManual, 0}), STATUS_SUCCESS);
    EXPECT_EQ(rig.sim->ControlLog().size(), before);
    EXPECT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, 99, {1, kFlagManual, 0}), STATUS_NOT_FOUND);
    EXPECT_EQ(rig.dev->SetProperty(PropertySet::Other, 1, {1, kFlagManual, 0}), STATUS_NOT_IMPLEMENTED);
}

TEST(Properties, GetsReadTheDevice) {
    Rig rig(sim::ModelId::PloverA);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    PropertyData d;
    // Defaults after initialisation.
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::CameraControl, kCameraControlExposure, d), STATUS_SUCCESS);
    EXPECT_EQ(d.value, 40);
    EXPECT_EQ(d.flags, kFlagManual);
    EXPECT_EQ(d.capabilities, 3u);

    ASSERT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, 0, {2, kFlagManual, 0}), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, 0, d), STATUS_SUCCESS);
    EXPECT_EQ(d.value, 2);
    EXPECT_EQ(d.flags, kFlagManual);
    EXPECT_EQ(d.capabilities, 3u);

    // Keys and foot switch, read while held.
    for (uint8_t keys : {uint8_t(proto::kKeyFootSwitch), uint8_t(0x08), uint8_t(0)}) {
        rig.sim->SetKeys(keys);
        ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, 16, d), STATUS_SUCCESS);
        EXPECT_EQ(d.value, keys);
    }

    // Id 21 reads two bytes into the exposure shadow.
    ASSERT_EQ(rig.dev->SetProperty(PropertySet::CameraControl, kCameraControlExposure, {90, kFlagManual, 0}), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, 21, d), STATUS_SUCCESS);
    EXPECT_EQ(d.value, 90);

    // A row without a returned value leaves the caller's value alone.
    d.value = 1234;
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, 12, d), STATUS_SUCCESS);
    EXPECT_EQ(d.value, 1234);

    PropertyRange range;
    ASSERT_EQ(rig.dev->GetPropertyRange(PropertySet::VideoProcAmp, 0, range), STATUS_SUCCESS);
    EXPECT_EQ(range.maximum, 255);
    EXPECT_EQ(range.defaultValue, 40);
    ASSERT_EQ(rig.dev->GetPropertyRange(PropertySet::VideoProcAmp, SensorType, range), STATUS_SUCCESS);
    EXPECT_EQ(range.maximum, 0xFFFFFFFFll);
    EXPECT_EQ(rig.dev->GetPropertyRange(PropertySet::VideoProcAmp, FrameSizeMode, range), STATUS_NOT_FOUND);
}

TEST(Properties, IrisLedsReachTheDeviceAndItsStatusIsStampedIntoFrames) {
    Rig rig(sim::ModelId::IrisLeft, 15, false);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    PropertyData d;
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, SensorType, d), STATUS_SUCCESS);
    EXPECT_EQ(d.value, int64_t(proto::kSensor640x480));
    ASSERT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, LedControl, {90 | (1 << 8), kFlagManual, 0}), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, LedControl, {70 | (2 << 8), kFlagManual, 0}), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, LedControl, d), STATUS_SUCCESS);

    FrameStream stream(rig.dev);
    Collector frames;
    ASSERT_EQ(stream.Start(0, 0, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(frames.WaitFor(1));
    stream.Stop();
    const auto& f = frames.frames[0];
    EXPECT_EQ(f[60], 7);
    EXPECT_EQ(f[61], 1);
    EXPECT_EQ(f[62], 70);  // red LED 2
    EXPECT_EQ(f[63], 90);  // red LED 1
}

TEST(Properties, DuringResyncMostRequestsUseTheShadow) {
    Rig rig(sim::ModelId::VireoA, 10);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    rig.sim->InjectSyncLoss(1000000);
    FrameStream stream(rig.dev);
    Collector frames;
    ASSERT_EQ(stream.Start(0, 0, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.dev->Diagnostics().resync; }));

    const size_t brightnessWrites = rig.sim->VendorWrites(proto::kReqSetBrightness).size();
    ASSERT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, 0, {123, kFlagManual, 0}), STATUS_SUCCESS);
    EXPECT_EQ(rig.sim->VendorWrites(proto::kReqSetBrightness).size(), brightnessWrites);
    size_t reads = rig.sim->ControlLog().size();
    PropertyData d;
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, 0, d), STATUS_SUCCESS);
    EXPECT_EQ(d.value, 123);
    ASSERT_EQ(rig.dev->SetProperty(PropertySet::CameraControl, kCameraControlExposure, {33, kFlagManual, 0}), STATUS_SUCCESS);
    EXPECT_TRUE(rig.sim->VendorWrites(proto::kReqSetExposure).empty());
    // Only the stream's own restarts may have talked to the device meanwhile.
    for (size_t i = reads; i < rig.sim->ControlLog().size(); ++i) {
        const uint8_t r = rig.sim->ControlLog()[i].setup.request;
        EXPECT_TRUE(r == proto::kReqStartCapture) << int(r);
    }

    // LedControl and SensorType still go out.
    ASSERT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, LedControl, {0x0305, kFlagManual, 0}), STATUS_SUCCESS);
    EXPECT_EQ(rig.sim->VendorWrites(proto::kReqSetLed).size(), 1u);
    ASSERT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, SensorType, {7, kFlagManual, 0}), STATUS_SUCCESS);
    EXPECT_EQ(rig.sim->VendorWrites(proto::kReqSetSensorType).size(), 1u);
    EXPECT_TRUE(WaitUntil([&] { return stream.GetStats().emptyReads > 0; }));
    EXPECT_EQ(frames.Count(), 0u);  // frames out of step are never handed out
    stream.Stop();
}

// A set stores the value and succeeds whatever the device answers: a lost request is tried
// three times and then left; only a device that is gone or never started fails the set.
TEST(Properties, SetSucceedsAndKeepsItsValueWhenTheRequestTimesOut) {
    Rig rig(sim::ModelId::PloverA);
    PropertyData d;
    EXPECT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, 12, {1, kFlagManual, 0}), STATUS_DEVICE_DATA_ERROR);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    // One lost request: the second attempt gets through.
    rig.sim->StallControl(1);
    EXPECT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, 12, {0xFE, kFlagManual, 0}), STATUS_SUCCESS);
    EXPECT_EQ(rig.sim->VendorWrites(proto::kReqLedGroup0).size(), 1u);
    EXPECT_EQ(rig.sim->UnansweredControl().size(), 1u);
    // Three lost requests: still a success, with the value stored.
    struct Case {
        PropertySet set;
        uint32_t id;
        int64_t value;
        uint8_t request;
        std::vector<uint8_t> payload;
    } const cases[] = {
        {PropertySet::VideoProcAmp, 12, 0xFD, proto::kReqLedGroup0, {0xFD}},
        {PropertySet::VideoProcAmp, 0, 99, proto::kReqSetBrightness, {99}},
        {PropertySet::VideoProcAmp, 22, 7, proto::kReqSet22, {7}},
        {PropertySet::CameraControl, kCameraControlExposure, 123, proto::kReqSetExposure, {123}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("property " + std::to_string(c.id));
        const size_t answered = rig.sim->VendorWrites(c.request).size();
        const size_t lostBefore = rig.sim->UnansweredControl().size();
        rig.sim->StallControl(3);
        EXPECT_EQ(rig.dev->SetProperty(c.set, c.id, {c.value, kFlagManual, 0}), STATUS_SUCCESS);
        EXPECT_EQ(rig.sim->VendorWrites(c.request).size(), answered);
        const auto lost = rig.sim->UnansweredControl();
        ASSERT_EQ(lost.size(), lostBefore + 3);  // three attempts, each with the value
        for (size_t i = lostBefore; i < lost.size(); ++i) {
            EXPECT_EQ(lost[i].setup.request, c.request);
            EXPECT_EQ(lost[i].data, c.payload);
        }
    }
    // Brightness keeps the flags of its last set (automatic at initialisation).
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, 0, d), STATUS_SUCCESS);
    EXPECT_EQ(d.flags, kFlagManual);
    EXPECT_EQ(d.capabilities, kFlagAuto | kFlagManual);
    rig.sim->StallControl(1);
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::CameraControl, kCameraControlExposure, d), STATUS_SUCCESS);
    EXPECT_EQ(d.value, 123);  // the read is lost: the stored value answers
    // Gone: the set fails without a request.
    const size_t before = rig.sim->ControlLog().size() + rig.sim->UnansweredControl().size();
    rig.sim->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return rig.dev->Diagnostics().gone; }));
    EXPECT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, 12, {1, kFlagManual, 0}), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(rig.sim->ControlLog().size() + rig.sim->UnansweredControl().size(), before);
}

TEST(Properties, ReadIsTriedOnceAndTheGetAnswersFromTheShadow) {
    Rig rig(sim::ModelId::PloverA);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    // A read is tried once; the get answers from the shadow.
    rig.sim->SetKeys(4);
    PropertyData d;
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, 16, d), STATUS_SUCCESS);
    rig.sim->SetKeys(0);
    rig.sim->StallControl(1);
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, 16, d), STATUS_SUCCESS);
    EXPECT_EQ(d.value, 4);
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, 16, d), STATUS_SUCCESS);
    EXPECT_EQ(d.value, 0);
}

}  // namespace
}  // namespace drvtest
