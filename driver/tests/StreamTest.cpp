// Each simulated model streamed through the driver with a coordinate-encoded test pattern.

#include "Rig.h"
#include "platform/TessikUsbProtocol.h"
#include "sim/Models.h"

namespace drvtest {
namespace {

namespace proto = platform::usb::tessik;

void CheckDeviceText(const sim::ModelTraits& traits, const std::array<uint8_t, 24>& text, const std::vector<uint8_t>& f, int w,
                     int h) {
    if (traits.layout == sim::RawLayout::ColumnsBottomUp) {
        // Column 0, from row height - 2 upwards.
        for (int k = 0; k < 24; ++k) EXPECT_EQ(f[size_t(h - 2 - k) * w], text[k]) << "text byte " << k;
    } else if (traits.modelType == 4) {
        // The header request of this type reads 4 bytes into bytes 12..15 of the header.
        for (int k = 12; k < 16; ++k) EXPECT_EQ(f[12 + k], text[k]) << "text byte " << k;
    } else {
        for (int k = 0; k < 24; ++k) EXPECT_EQ(f[12 + k], text[k]) << "text byte " << k;
    }
}

struct Case {
    sim::ModelId model;
    int mode;
    uint8_t modeCommand;  // vendor command expected at the first stream property, 0 for none
};

class ModelStream : public ::testing::TestWithParam<Case> {};

TEST_P(ModelStream, FramesArriveInOrderWithTheModelsLayout) {
    const Case c = GetParam();
    const sim::ModelTraits& traits = sim::Traits(c.model);
    Rig rig(c.model, c.mode == 0 && traits.scanner ? 40 : 15);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    const sim::ModeGeometry& mode = sim::Mode(traits, c.mode);
    if (rig.dev->StreamCapabilities()[size_t(c.mode)].sampleSize < size_t(mode.rawWidth) * mode.rawHeight)
        GTEST_SKIP() << "the capabilities carry the sizes of a larger device streamed earlier in this process";
    FrameStream stream(rig.dev);
    Collector frames;
    frames.keep = 3;
    ASSERT_EQ(stream.Start(size_t(c.mode), c.mode, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(frames.WaitFor(3)) << "frames: " << frames.Count();
    stream.Stop();

    const sim::ModeGeometry& g = sim::Mode(traits, c.mode);
    int last = -1;
    for (size_t i = 0; i < frames.frames.size(); ++i) {
        const auto& f = frames.frames[i];
        ASSERT_EQ(f.size(), size_t(g.rawWidth) * g.rawHeight);
        EXPECT_EQ(frames.sizes[i], std::make_pair(g.rawWidth, g.rawHeight));
        std::string why;
        const int n = PatternFrame(traits, c.mode, f.data(), f.size(), g.rawWidth, g.rawHeight, &why);
        ASSERT_GE(n, 0) << traits.name << " mode " << c.mode << ": " << why;
        EXPECT_GT(n, last) << "frames out of order";
        last = n;
        CheckDeviceText(traits, rig.sim->DeviceText(), f, g.rawWidth, g.rawHeight);
    }

    // The frame-size command went out once, before capture started, and capture stopped on close.
    std::vector<uint8_t> commands;
    for (const auto& r : rig.sim->ControlLog())
        if (r.setup.requestType == (platform::usb::kTypeVendor | platform::usb::kRecipientDevice)) commands.push_back(r.setup.request);
    std::vector<uint8_t> expected;
    if (c.modeCommand) expected.push_back(c.modeCommand);
    expected.push_back(proto::kReqStartCapture);
    expected.push_back(proto::kReqStopCapture);
    EXPECT_EQ(commands, expected);
}

INSTANTIATE_TEST_SUITE_P(
    AllModels, ModelStream,
    ::testing::Values(Case{sim::ModelId::PloverA, 0, 0}, Case{sim::ModelId::PloverA, 1, proto::kReqFrameSizeMode1},
                      Case{sim::ModelId::PloverA, 2, proto::kReqFrameSizeMode2},
                      Case{sim::ModelId::PloverE, 2, proto::kReqFrameSizeMode2},
                      Case{sim::ModelId::PloverB, 1, proto::kReqFrameSizeMode1}, Case{sim::ModelId::VireoA, 0, 0},
                      Case{sim::ModelId::VireoA, 1, 0}, Case{sim::ModelId::VireoA, 2, proto::kReqFrameSizeMode2},
                      Case{sim::ModelId::IrisLeft, 0, 0}, Case{sim::ModelId::IrisRight, 0, 0}),
    [](const ::testing::TestParamInfo<Case>& info) {
        return std::string(sim::Traits(info.param.model).name) + "_mode" + std::to_string(info.param.mode);
    });

TEST(Stream, FrameSizeModeSurvivesCloseButTheCopyPermissionDoesNot) {
    Rig rig(sim::ModelId::PloverA);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    {
        FrameStream stream(rig.dev);
        Collector frames;
        ASSERT_EQ(stream.Start(2, 2, frames.Callback()), STATUS_SUCCESS);
        ASSERT_TRUE(frames.WaitFor(1));
        EXPECT_EQ(frames.sizes[0], std::make_pair(1472, 920));
    }
    // Reopen without setting FrameSizeMode: the mode byte is still 2, but nothing is copied.
    const auto caps = rig.dev->StreamCapabilities();
    ASSERT_EQ(rig.dev->OpenStream(0, caps[2].format), STATUS_SUCCESS);
    AllocatorFraming framing;
    ASSERT_EQ(rig.dev->GetAllocatorFraming(framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.frameSize, 1472u * 920u);
    EXPECT_EQ(rig.dev->Diagnostics().frameBytes, 1354240u);
    EXPECT_EQ(rig.dev->Diagnostics().chunkBytes, 270848u);
    ASSERT_EQ(rig.dev->SetStreamState(KsState::Run), STATUS_SUCCESS);
    std::mutex m;
    int empty = 0, withData = 0;
    auto read = std::make_shared<ReadRequest>();
    read->buffer.resize(caps[2].format.imageSize);
    read->completion = [&](ReadRequest& r) {
        std::lock_guard lock(m);
        (r.dataUsed ? withData : empty)++;
    };
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(rig.dev->SubmitRead(read), STATUS_SUCCESS);
        ASSERT_TRUE(WaitUntil([&] {
            std::lock_guard lock(m);
            return empty + withData > i;
        }));
    }
    EXPECT_EQ(withData, 0);
    EXPECT_EQ(empty, 3);
    EXPECT_EQ(rig.dev->SetStreamState(KsState::Stop), STATUS_SUCCESS);
    EXPECT_EQ(rig.dev->CloseStream(), STATUS_SUCCESS);
    // Both opens sent the mode-2 command.
    EXPECT_EQ(rig.sim->VendorWrites(proto::kReqFrameSizeMode2).size(), 2u);
}

TEST(Stream, StopCompletesQueuedReadsAsCancelledAfterBothBulkReadsEnded) {
    Rig rig(sim::ModelId::VireoA, 200);  // slow frames: the reads are still waiting at the stop
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->SetProperty(PropertySet::VideoProcAmp, FrameSizeMode, {0, kFlagManual, 0}), STATUS_SUCCESS);
    const auto caps = rig.dev->StreamCapabilities();
    ASSERT_EQ(rig.dev->OpenStream(0, caps[0].format), STATUS_SUCCESS);
    ASSERT_EQ(rig.dev->SetStreamState(KsState::Run), STATUS_SUCCESS);
    std::vector<std::shared_ptr<ReadRequest>> reads;
    std::atomic<int> cancelled{0};
    for (int i = 0; i < 3; ++i) {
        auto r = std::make_shared<ReadRequest>();
        r->buffer.resize(caps[0].format.imageSize);
        r->completion = [&](ReadRequest& rr) {
            if (rr.status == STATUS_CANCELLED && rr.dataUsed == 0) ++cancelled;
        };
        reads.push_back(r);
        ASSERT_EQ(rig.dev->SubmitRead(r), STATUS_SUCCESS);
    }
    EXPECT_EQ(rig.dev->SetStreamState(KsState::Stop), STATUS_SUCCESS);
    EXPECT_EQ(cancelled, 3);
    EXPECT_EQ(rig.dev->Diagnostics().transferState, kTransferStopped);
    // A read on the stopped stream completes at once without data.
    auto late = std::make_shared<ReadRequest>();
    late->buffer.resize(16);
    EXPECT_EQ(rig.dev->SubmitRead(late), STATUS_SUCCESS);
    EXPECT_EQ(late->dataUsed, 0u);
    EXPECT_EQ(rig.dev->CloseStream(), STATUS_SUCCESS);
}

TEST(Stream, PausedStreamRunsAgain) {
    Rig rig(sim::ModelId::IrisLeft);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    FrameStream stream(rig.dev);
    Collector frames;
    ASSERT_EQ(stream.Start(0, 0, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(frames.WaitFor(2));
    ASSERT_EQ(rig.dev->SetStreamState(KsState::Pause), STATUS_SUCCESS);
    KsState state;
    EXPECT_EQ(rig.dev->GetStreamState(state), STATUS_NO_DATA_DETECTED);
    EXPECT_EQ(state, KsState::Pause);
    const size_t before = frames.Count();
    ASSERT_EQ(rig.dev->SetStreamState(KsState::Run), STATUS_SUCCESS);
    EXPECT_TRUE(frames.WaitFor(before + 2));
    stream.Stop();
}

// The picture number, drop count and stored format are shared between the worker and adapter
// requests; asking for them while frames flow is safe (the ThreadSanitizer build checks it).
TEST(Stream, StreamFiguresCanBeAskedForWhileFramesFlow) {
    Rig rig(sim::ModelId::IrisLeft, 5);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    FrameStream stream(rig.dev);
    Collector frames;
    ASSERT_EQ(stream.Start(0, 0, frames.Callback()), STATUS_SUCCESS);
    const VideoFormat format = rig.dev->StreamCapabilities()[0].format;
    uint64_t lastPicture = 0;
    const size_t target = frames.Count() + 6;
    while (frames.Count() < target) {
        DroppedFrames dropped;
        ASSERT_EQ(rig.dev->GetDroppedFrames(dropped), STATUS_SUCCESS);
        EXPECT_GE(dropped.pictureNumber, lastPicture);  // the clock only moves on
        lastPicture = dropped.pictureNumber;
        EXPECT_EQ(dropped.averageFrameSize,
                  format.imageSize ? format.imageSize : uint32_t(format.width) * uint32_t(std::abs(format.height)));
        AllocatorFraming framing;
        ASSERT_EQ(rig.dev->GetAllocatorFraming(framing), STATUS_SUCCESS);
        EXPECT_EQ(framing.frameSize, dropped.averageFrameSize);
        ASSERT_EQ(rig.dev->SetDataFormat(format), STATUS_SUCCESS);
        ASSERT_TRUE(frames.WaitFor(frames.Count() + 1));
    }
    stream.Stop();
}

}  // namespace
}  // namespace drvtest
