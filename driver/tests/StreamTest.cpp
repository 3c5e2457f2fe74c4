// Each simulated model streamed through the driver with a coordinate-encoded test pattern.

#include "Rig.h"
#include "platform/TessikUsbProtocol.h"
#include "sim/Models.h"

namespace drvtest {
namespace {

namespace proto = platform::usb::tessik;

// The header the driver stamps into every frame: the device's 26 header bytes (the 24 bytes of
// device text and two more), or only bytes 12..15 for the types that read 4 header bytes, with the
// device's revision in the last two. Types 0 and 1 carry it at bytes 1..26 of the column-ordered
// raw frame, the others at bytes 12..37 of the raw frame.
void CheckHeader(const sim::ModelTraits& traits, const std::array<uint8_t, 24>& text, const std::vector<uint8_t>& f, int w,
                 int h) {
    const int t = traits.modelType;
    const bool whole = t == 0 || t == 1 || t == 8 || t == 10 || t > 14;
    std::array<uint8_t, 26> header{};
    for (int k = 0; k < 24; ++k) header[size_t(k)] = (whole || (k >= 12 && k < 16)) ? text[size_t(k)] : 0;
    header[24] = uint8_t(traits.bcdDevice);
    header[25] = uint8_t(traits.bcdDevice >> 8);
    for (int k = 0; k < 26; ++k) {
        size_t at;
        if (traits.layout == sim::RawLayout::ColumnsBottomUp)
            at = size_t(h - 2 - k) * w;  // raw byte 1 + k: column 0, from row height - 2 upwards
        else if (traits.layout == sim::RawLayout::RowsBottomUp)
            at = size_t(h - 1) * w + 12 + k;  // raw row 0 is delivered last
        else
            at = size_t(12 + k);
        EXPECT_EQ(f[at], header[size_t(k)]) << "header byte " << k;
    }
}

// Frame bytes and the frame-size command by model type and FrameSizeMode, as the driver documents
// them; 0 bytes for the types that take their sizes from the device report.
uint32_t DocumentedFrameBytes(int type, int mode) {
    if (type == 0 || type == 1) return mode == 1 ? 1239040 : mode == 2 ? 1354240 : 5416960;
    if (type == 6 || type == 7) return 307200;
    if (type == 8) return mode == 1 ? 1291264 : mode == 2 ? 2189824 : 13138944;
    if (type >= 2 && type <= 11) return mode == 2 ? 460800 : 1920000;
    return 0;
}

uint8_t DocumentedModeCommand(int type, int mode) {
    if (type == 6 || type == 7 || mode == 0) return 0;
    if (mode == 2) return proto::kReqFrameSizeMode2;
    const bool noMode1 = (type >= 2 && type <= 5) || (type >= 9 && type <= 11);
    return noMode1 ? 0 : proto::kReqFrameSizeMode1;
}

struct Case {
    sim::ModelId model;
    int mode;
};

std::vector<Case> EveryModelAndMode() {
    std::vector<Case> all;
    for (sim::ModelId id : sim::AllModels())
        for (int mode : {0, 1, 2}) all.push_back({id, mode});
    return all;
}

class ModelStream : public ::testing::TestWithParam<Case> {};

// Every row of the driver's model table and the report-sized models, in each FrameSizeMode: the
// coordinate-encoded pattern comes through the driver's copy and the library's decode pixel for
// pixel, frames in order, with the header stamped and the documented frame-size command.
TEST_P(ModelStream, FramesArriveInOrderWithTheModelsLayout) {
    const Case c = GetParam();
    const sim::ModelTraits& traits = sim::Traits(c.model);
    const sim::ModeGeometry& g = sim::Mode(traits, c.mode);
    const size_t bytes = size_t(g.rawWidth) * g.rawHeight;
    if (const uint32_t documented = DocumentedFrameBytes(traits.modelType, c.mode)) {
        ASSERT_EQ(bytes, documented) << "the simulated device sends the documented frame size";
    }
    // Large frames come slowly enough for the copy of one to end before the next overwrites it.
    Rig rig(c.model, bytes > 4000000 ? 150 : 15);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    if (rig.dev->StreamCapabilities()[size_t(c.mode)].sampleSize < bytes)
        GTEST_SKIP() << "the capabilities carry the sizes of a larger device streamed earlier in this process";
    FrameStream stream(rig.dev);
    Collector frames;
    frames.keep = bytes > 4000000 ? 2 : 3;  // two are enough to see the order of large frames
    ASSERT_EQ(stream.Start(size_t(c.mode), c.mode, frames.Callback()), STATUS_SUCCESS);
    ASSERT_TRUE(frames.WaitFor(frames.keep, 40000)) << "frames: " << frames.Count();
    stream.Stop();
    EXPECT_EQ(rig.dev->Diagnostics().frameBytes, bytes);

    int last = -1;
    for (size_t i = 0; i < frames.frames.size(); ++i) {
        const auto& f = frames.frames[i];
        ASSERT_EQ(f.size(), bytes);
        EXPECT_EQ(frames.sizes[i], std::make_pair(g.rawWidth, g.rawHeight));
        std::string why;
        const int n = PatternFrame(traits, c.mode, f.data(), f.size(), g.rawWidth, g.rawHeight, &why);
        ASSERT_GE(n, 0) << traits.name << " mode " << c.mode << ": " << why;
        EXPECT_GT(n, last) << "frames out of order";
        last = n;
        CheckHeader(traits, rig.sim->DeviceText(), f, g.rawWidth, g.rawHeight);
    }

    // The frame-size command went out once, before capture started, and capture stopped on close.
    std::vector<uint8_t> commands;
    for (const auto& r : rig.sim->ControlLog())
        if (r.setup.requestType == (platform::usb::kTypeVendor | platform::usb::kRecipientDevice)) commands.push_back(r.setup.request);
    std::vector<uint8_t> expected;
    if (const uint8_t command = DocumentedModeCommand(traits.modelType, c.mode)) expected.push_back(command);
    expected.push_back(proto::kReqStartCapture);
    expected.push_back(proto::kReqStopCapture);
    EXPECT_EQ(commands, expected);
}

INSTANTIATE_TEST_SUITE_P(AllModels, ModelStream, ::testing::ValuesIn(EveryModelAndMode()),
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

// A device that sends as fast as it can (four reads a frame, frames back to back): the reads that
// reach the half being copied wait for the copy, so every frame handed out is whole and the
// stream goes on after each copy. The ThreadSanitizer build checks that no read writes the half
// the worker reads.
TEST(Stream, FramesStayWholeWhenTheDeviceOutrunsTheCopy) {
    Rig rig(sim::ModelId::SiskinA, 1);
    ASSERT_EQ(rig.dev->Initialize(), STATUS_SUCCESS);
    const sim::ModelTraits& traits = rig.sim->traits();
    FrameStream stream(rig.dev);
    Collector frames;
    frames.keep = 16;
    ASSERT_EQ(stream.Start(0, 0, frames.Callback(), 4), STATUS_SUCCESS);
    ASSERT_TRUE(frames.WaitFor(frames.keep, 20000)) << "frames: " << frames.Count();
    stream.Stop();
    int last = -1;
    for (size_t i = 0; i < frames.frames.size(); ++i) {
        std::string why;
        const int n = PatternFrame(traits, 0, frames.frames[i].data(), frames.frames[i].size(), frames.sizes[i].first,
                                   frames.sizes[i].second, &why);
        ASSERT_GE(n, 0) << "frame " << i << ": " << why;
        EXPECT_GT(n, last) << "frames out of order";
        last = n;
    }
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
