// Sync loss and recovery, a silent pipe, read errors and removal.

#include "Rig.h"
#include "platform/TessikUsbProtocol.h"
#include "sim/Models.h"

namespace drvtest {
namespace {

namespace proto = platform::usb::tessik;

struct SyncCase {
    sim::ModelId model;
    int mode;
};

class SyncLoss : public ::testing::TestWithParam<SyncCase> {};

// Stray bytes put the stream out of step with the frame buffer: the driver hands out no frame
// until its third detection restarts the capture, after which whole frames flow again.
TEST_P(SyncLoss, StreamOutOfStepRecoversAfterTheThirdDetection) {
    const SyncCase c = GetParam();
    const sim::ModelSpec& spec = sim::Spec(c.model);
    Rig rig(c.model, 12);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    FrameStream stream(rig.dev);
    std::mutex m;
    std::vector<int> numbers;
    std::vector<std::vector<uint8_t>> afterRestart;
    std::atomic<bool> restarted{false};
    const sim::ModeGeometry& g = sim::Mode(spec, c.mode);
    ASSERT_EQ(stream.Start(size_t(c.mode), c.mode,
                           [&](const Frame& f) {
                               const int n = PatternFrame(spec, c.mode, f.data, f.length, g.rawWidth, g.rawHeight);
                               std::lock_guard lock(m);
                               numbers.push_back(n);
                               if (restarted) afterRestart.emplace_back(f.data, f.data + f.length);
                           }),
              STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(m);
        return numbers.size() >= 2;
    }));
    rig.sim->InjectStrayBytes(1000);
    ASSERT_TRUE(WaitUntil([&] { return rig.dev->Diagnostics().resyncRestarts >= 1; }));
    restarted = true;
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(m);
        return afterRestart.size() >= 2;
    }));
    stream.Stop();
    EXPECT_GE(rig.sim->StartCount(), 2);
    std::lock_guard lock(m);
    for (int n : numbers) EXPECT_GE(n, 0) << "a frame out of step was handed out";
}

INSTANTIATE_TEST_SUITE_P(Models, SyncLoss,
                         ::testing::Values(SyncCase{sim::ModelId::VireoA, 0}, SyncCase{sim::ModelId::PloverA, 2},
                                           SyncCase{sim::ModelId::IrisLeft, 0}),
                         [](const ::testing::TestParamInfo<SyncCase>& info) {
                             return std::string(sim::Spec(info.param.model).name);
                         });

TEST(Faults, LitFirstLineOfAPloverFrameHoldsFramesBack) {
    Rig rig(sim::ModelId::PloverB, 12);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    rig.sim->InjectBrightFirstLine(1000000);
    FrameStream stream(rig.dev);
    Collector frames;
    ASSERT_EQ(stream.Start(2, 2, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.dev->Diagnostics().resyncRestarts >= 1; }));
    EXPECT_EQ(frames.Count(), 0u);
    rig.sim->InjectBrightFirstLine(0);
    EXPECT_TRUE(frames.WaitFor(2));
    stream.Stop();
}

TEST(Faults, SilentPipeIsResetAfterTheFrameTimeout) {
    sim::DeviceConfig c;
    c.model = sim::ModelId::IrisLeft;
    c.framePeriodMs = 10;
    c.testPattern = true;
    c.frameTimeoutMs = 80;
    Rig rig(c);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    FrameStream stream(rig.dev);
    Collector frames;
    ASSERT_EQ(stream.Start(0, 0, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(frames.WaitFor(2));
    rig.sim->SilenceBulk();
    ASSERT_TRUE(WaitUntil([&] { return rig.sim->PipeResets() >= 1; }));
    const size_t before = frames.Count();
    EXPECT_TRUE(frames.WaitFor(before + 2));
    EXPECT_GE(rig.dev->Diagnostics().pipeResets, 1u);
    stream.Stop();
}

TEST(Faults, RemovalEndsTheStreamAndEveryPropertyRequestFails) {
    Rig rig(sim::ModelId::PloverA, 12);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    std::atomic<int> removals{0}, ends{0};
    rig.dev->SetRemovalCallback([&] { ++removals; });
    FrameStream stream(rig.dev);
    stream.SetEndCallback([&] { ++ends; });
    Collector frames;
    ASSERT_EQ(stream.Start(2, 2, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(frames.WaitFor(1));
    PropertyData d;
    ASSERT_EQ(rig.dev->GetProperty(PropertySet::CameraControl, kCameraControlExposure, d), STATUS_SUCCESS);

    rig.sim->Unplug();
    ASSERT_TRUE(WaitUntil([&] { return removals == 1 && ends == 1; }));
    EXPECT_TRUE(rig.dev->IsGone());
    EXPECT_FALSE(stream.Running());
    EXPECT_EQ(rig.dev->GetProperty(PropertySet::CameraControl, kCameraControlExposure, d), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, kVideoProcContrast, d), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, 12, d), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, 13, {1, kFlagManual, 0}), STATUS_DEVICE_DATA_ERROR);
    const size_t logged = rig.sim->ControlLog().size();
    EXPECT_EQ(stream.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(rig.sim->ControlLog().size(), logged);  // no stop-capture to a device that is gone
    auto late = std::make_shared<ReadRequest>();
    EXPECT_EQ(rig.dev->SubmitRead(late), STATUS_CANCELLED);
    EXPECT_EQ(removals, 1);
}

TEST(Faults, ReadErrorMarksTheDeviceGone) {
    Rig rig(sim::ModelId::VireoA, 100);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    std::atomic<int> ends{0};
    FrameStream stream(rig.dev);
    stream.SetEndCallback([&] { ++ends; });
    Collector frames;
    ASSERT_EQ(stream.Start(0, 0, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return rig.dev->Diagnostics().transferState == kTransferRunning; }));
    rig.sim->FailBulk();
    ASSERT_TRUE(WaitUntil([&] { return rig.dev->Diagnostics().gone; }));
    EXPECT_TRUE(WaitUntil([&] { return ends == 1; }));
    PropertyData d;
    EXPECT_EQ(rig.dev->GetProperty(PropertySet::VideoProcAmp, kVideoProcContrast, d), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(rig.dev->Diagnostics().transferState, kTransferStopped);
    stream.Stop();
}

}  // namespace
}  // namespace drvtest

namespace drvtest {
namespace {

TEST(Faults, PowerDownStopsTheTransferAndTheStreamStillCloses) {
    Rig rig(sim::ModelId::IrisLeft, 10);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    FrameStream stream(rig.dev);
    Collector frames;
    ASSERT_EQ(stream.Start(0, 0, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(frames.WaitFor(1));
    ASSERT_EQ(rig.dev->ChangePowerState(kPowerD3), STATUS_SUCCESS);
    EXPECT_EQ(rig.dev->Diagnostics().transferState, kTransferStopped);
    const size_t after = frames.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_LE(frames.Count(), after + 1);  // at most the frame that was already being handed out
    EXPECT_EQ(stream.Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(rig.dev->IsGone());
}

}  // namespace
}  // namespace drvtest
