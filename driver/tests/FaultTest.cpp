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
    const sim::ModelTraits& traits = sim::Traits(c.model);
    Rig rig(c.model, 12);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    FrameStream stream(rig.dev);
    std::mutex m;
    std::vector<int> numbers;
    std::vector<std::vector<uint8_t>> afterRestart;
    std::atomic<bool> restarted{false};
    const sim::ModeGeometry& g = sim::Mode(traits, c.mode);
    ASSERT_EQ(stream.Start(size_t(c.mode), c.mode,
                           [&](const Frame& f) {
                               const int n = PatternFrame(traits, c.mode, f.data, f.length, g.rawWidth, g.rawHeight);
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
                             return std::string(sim::Traits(info.param.model).name);
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

// The masked first line counts as lit when the mean of its samples (every tenth column from a
// tenth of the width) is above 7, exactly: samples alternating 4 and 11 (mean 7.5) hold frames
// back, 4 and 10 (mean 7) do not. Every sample is within 7 of the first byte (4).
TEST(Faults, FirstLineMeanJustAboveSevenHoldsFramesBack) {
    struct Case {
        uint8_t high;
        bool heldBack;
    } const cases[] = {{11, true}, {10, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("samples 4 and " + std::to_string(c.high));
        Rig rig(sim::ModelId::PloverB, 12);
        ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
        const uint8_t high = c.high;
        rig.sim->SetFirstLine([high](int column) { return uint8_t(column > 0 && (column / 10) % 2 ? high : 4); });
        FrameStream stream(rig.dev);
        Collector frames;
        ASSERT_EQ(stream.Start(2, 2, frames.Callback()), STATUS_SUCCESS);
        if (c.heldBack) {
            ASSERT_TRUE(WaitUntil([&] { return rig.dev->Diagnostics().resyncRestarts >= 1; }));
            EXPECT_EQ(frames.Count(), 0u);
        } else {
            EXPECT_TRUE(frames.WaitFor(3));
            EXPECT_EQ(rig.dev->Diagnostics().resyncRestarts, 0u);
        }
        stream.Stop();
    }
}

// Only the sampled columns count: every tenth from a tenth of the width up to, not including,
// nine tenths. A line dark there and lit everywhere else lets frames through.
TEST(Faults, FirstLineIsSampledAtEveryTenthColumnOfTheMiddle) {
    Rig rig(sim::ModelId::PloverB, 12);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    const int w = sim::Mode(sim::Traits(sim::ModelId::PloverB), 2).rawWidth;
    rig.sim->SetFirstLine([w](int column) {
        const bool sampled = column >= w / 10 && column < 9 * w / 10 && (column - w / 10) % 10 == 0;
        return uint8_t(column == 0 || sampled ? 4 : 200);
    });
    FrameStream stream(rig.dev);
    Collector frames;
    ASSERT_EQ(stream.Start(2, 2, frames.Callback()), STATUS_SUCCESS);
    EXPECT_TRUE(frames.WaitFor(3));
    EXPECT_EQ(rig.dev->Diagnostics().resyncRestarts, 0u);
    stream.Stop();
}

// The simulated device, with the first cancellation held until the test lets it go.
class HoldingTransport : public platform::usb::Transport {
public:
    explicit HoldingTransport(std::shared_ptr<sim::SimDevice> device) : inner(std::move(device)) {}
    platform::usb::TransferStatus Submit(const std::shared_ptr<platform::usb::Transfer>& t) override {
        return inner->Submit(t);
    }
    void Cancel(const std::shared_ptr<platform::usb::Transfer>& t) override {
        {
            std::unique_lock lock(mutex);
            if (!released) {
                holding = true;
                changed.notify_all();
                changed.wait(lock, [this] { return released; });
            }
        }
        inner->Cancel(t);
        std::lock_guard lock(mutex);
        ++cancels;
        changed.notify_all();
    }
    void SetRemovalHandler(std::function<void()> handler) override { inner->SetRemovalHandler(std::move(handler)); }
    bool IsAttached() const override { return inner->IsAttached(); }
    std::string Location() const override { return inner->Location(); }

    bool WaitFor(const std::function<bool()>& done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(8), done);
    }
    void Release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }

    std::shared_ptr<sim::SimDevice> inner;
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false, released = false;
    int cancels = 0;
};

// A pause that comes while the resync restart waits for its cancelled reads is kept: the restart
// does not set the transfer running again.
TEST(Faults, PauseDuringAResyncRestartStaysPaused) {
    sim::DeviceConfig c;
    c.model = sim::ModelId::PloverB;
    c.framePeriodMs = 12;
    c.testPattern = true;
    c.location = "t-1";
    auto device = sim::SimDevice::Create(c);
    auto transport = std::make_shared<HoldingTransport>(device);
    auto dev = Device::Create(transport, FastTiming());
    ASSERT_EQ(dev->Initialize(), STATUS_SUCCESS);
    device->InjectBrightFirstLine(1000000);
    {
        FrameStream stream(dev);
        Collector frames;
        ASSERT_EQ(stream.Start(2, 2, frames.Callback()), STATUS_SUCCESS);
        // Whatever fails below, the held cancellation is let go before the stream stops.
        struct ReleaseAtExit {
            HoldingTransport& t;
            ~ReleaseAtExit() { t.Release(); }
        } releaseAtExit{*transport};
        // The third lit line: the restart has begun and cancels the reads.
        ASSERT_TRUE(transport->WaitFor([&] { return transport->holding; }));
        EXPECT_EQ(dev->Diagnostics().transferState, kTransferResync);
        ASSERT_EQ(dev->SetStreamState(KsState::Pause), STATUS_SUCCESS);
        EXPECT_EQ(dev->Diagnostics().transferState, kTransferPaused);
        transport->Release();
        ASSERT_TRUE(transport->WaitFor([&] { return transport->cancels == 2; }));
        // The restart ends right after the reads; the pause must outlast it.
        EXPECT_FALSE(WaitUntil([&] { return dev->Diagnostics().transferState != kTransferPaused; }, 300));
        EXPECT_EQ(dev->Diagnostics().resyncRestarts, 0u);
        stream.Stop();
    }
    dev.reset();
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
