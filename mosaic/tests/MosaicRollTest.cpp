// A synthetic roll constructed into a mosaic by each kernel, checked against the platen it shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "LiveScanAlg.h"
#include "MosaicTestSupport.h"

using namespace LiveScanAlg;
using namespace mosaic_test;

namespace {

constexpr int kHeight = 480;
constexpr int kWidth = 800;
constexpr int kTop = 40;
constexpr int kBottom = 440;
constexpr int kHalfWidth = 120;
constexpr int kBorder = 20;  // default BackGroundBoarderthickness

enum class Kernel { Stitch, Construct2, Block, Preview, Quick };

std::string KernelName(const testing::TestParamInfo<Kernel>& info)
{
    switch (info.param) {
    case Kernel::Stitch: return "StitchKernal";
    case Kernel::Construct2: return "MorwenConstructImage2";
    case Kernel::Block: return "StitchKernalBlock";
    case Kernel::Preview: return "PreviewConstructImage";
    case Kernel::Quick: return "MorwenConstructImageQuick";
    }
    return "unknown";
}

// One mosaic sequence driven the way the capture side drives it: finger test, then the kernel.
class RollSequence {
public:
    explicit RollSequence(Kernel kernel)
        : kernel_(kernel),
          buffers_(kHeight, kWidth, MaskBytes(kernel), MaskBytes(kernel)),
          best_(static_cast<size_t>(kHeight) * kWidth, 0)
    {
        InitializeRectangleBlockInfo(kHeight, kWidth, 1, 1, &blockInfo_);
    }

    static size_t MaskBytes(Kernel kernel)
    {
        return kernel == Kernel::Quick ? static_cast<size_t>(kHeight / 4) * (kWidth / 4)
                                       : static_cast<size_t>(kHeight) * kWidth;
    }

    int Feed(const Contact& contact)
    {
        Image frame = RenderFrame(kHeight, kWidth, contact);
        return FeedFrame(frame);
    }

    int FeedFrame(Image& frame)
    {
        RunFingerTest(kHeight, kWidth, frame);
        unsigned char* f = frame.data();
        unsigned char* mask = buffers_.mask.data();
        unsigned char* mosaic = buffers_.mosaic.data();
        unsigned char* coverage = buffers_.coverage.data();
        switch (kernel_) {
        case Kernel::Stitch:
            return MorwenConstructImage(&frameNumber_, kHeight, kWidth, f, mask, mosaic, coverage,
                                        nullptr);
        case Kernel::Construct2:
            return MorwenConstructImage2(&frameNumber_, kHeight, kWidth, f, mask, mosaic, coverage,
                                         best_.data());
        case Kernel::Block:
            return StitchKernalBlock(&frameNumber_, kHeight, kWidth, f, mask, mosaic, coverage);
        case Kernel::Preview:
            return PreviewConstructImage(&frameNumber_, kHeight, kWidth, f, mask, mosaic, coverage,
                                         &blockInfo_);
        case Kernel::Quick:
            return MorwenConstructImageQuick(&frameNumber_, kHeight, kWidth, f, mask, mosaic,
                                             coverage);
        }
        return -1;
    }

    // Coverage of a full-size pixel (the quick kernel keeps it per 4 x 4 block).
    int CoverageAt(int x, int y) const
    {
        if (kernel_ == Kernel::Quick) {
            return buffers_.coverage[static_cast<size_t>(y / 4) * (kWidth / 4) + x / 4];
        }
        return buffers_.coverage[static_cast<size_t>(y) * kWidth + x];
    }

    // The constructed image as the evaluation takes it: mosaic pixels where coverage is non-zero.
    Image Constructed() const
    {
        Image out(static_cast<size_t>(kHeight) * kWidth, 0);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                if (CoverageAt(x, y)) out[static_cast<size_t>(y) * kWidth + x] = Mosaic(x, y);
            }
        }
        return out;
    }

    unsigned char Mosaic(int x, int y) const
    {
        return buffers_.mosaic[static_cast<size_t>(y) * kWidth + x];
    }

    int frameNumber_ = 0;
    Kernel kernel_;
    MosaicBuffers buffers_;
    Image best_;
    RectangleBlockInfoType blockInfo_{};
};

class MosaicSequence : public testing::Test {
protected:
    void SetUp() override
    {
        DestroyLiveScanParameter();
        SetSlideDetectionStatus(1);  // a faithful roll must never look like a slide
    }
    void TearDown() override { DestroyLiveScanParameter(); }
};

class MosaicRoll : public MosaicSequence, public testing::WithParamInterface<Kernel> {};

// The platen as the frames show it: ridges wherever some contact lay, background elsewhere.
unsigned char Platen(int x, int y, int firstCentre, int lastCentre)
{
    const bool touched = y >= kTop && y < kBottom && x >= firstCentre - kHalfWidth &&
                         x < lastCentre + kHalfWidth;
    return touched ? Ridge(x, y) : kBackground;
}

std::vector<int> RollCentres(int first, int last, int step)
{
    std::vector<int> centres;
    for (int c = first; c <= last; c += step) centres.push_back(c);
    return centres;
}

Contact At(int centre)
{
    return Contact{centre, kHalfWidth, kTop, kBottom};
}

}  // namespace

TEST_P(MosaicRoll, EveryFramePassesAndTheMosaicShowsThePlaten)
{
    RollSequence roll(GetParam());
    const std::vector<int> centres = RollCentres(160, 640, 12);
    for (size_t i = 0; i < centres.size(); ++i) {
        ASSERT_EQ(roll.Feed(At(centres[i])), 0) << "frame " << i;
        EXPECT_EQ(roll.frameNumber_, static_cast<int>(i) + 1);
    }

    // Every covered pixel of the mosaic holds what the platen shows there: frames agree on the
    // platen, so neither the copies nor any of the blends may change a value.
    int covered = 0;
    int mismatches = 0;
    int minX = kWidth, maxX = -1;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            if (!roll.CoverageAt(x, y)) continue;
            ++covered;
            minX = std::min(minX, x);
            maxX = std::max(maxX, x);
            mismatches += roll.Mosaic(x, y) != Platen(x, y, centres.front(), centres.back());
        }
    }
    EXPECT_EQ(mismatches, 0);
    // The coverage spans the roll, less the edge bands of the first and last contact.
    EXPECT_GT(covered, 300 * (kBottom - kTop));
    EXPECT_GE(minX, centres.front() - kHalfWidth - 4);
    EXPECT_LE(minX, centres.front() - kHalfWidth + 64);
    EXPECT_LE(maxX, centres.back() + kHalfWidth + 4);
    EXPECT_GE(maxX, centres.back() + kHalfWidth - 64);
}

INSTANTIATE_TEST_SUITE_P(Kernels, MosaicRoll,
                         testing::Values(Kernel::Stitch, Kernel::Construct2, Kernel::Block,
                                         Kernel::Preview, Kernel::Quick),
                         KernelName);

TEST_F(MosaicSequence, FullKernelGeometryAndQualityMatchTheRoll)
{
    RollSequence roll(Kernel::Stitch);
    const std::vector<int> centres = RollCentres(160, 640, 12);
    for (int centre : centres) ASSERT_EQ(roll.Feed(At(centre)), 0);

    // Coverage counts the frames whose non-edge foreground held the pixel. Inside the contact rows,
    // away from the smoothed top and bottom, that is exact: columns [c - 100, c + 100) of each.
    for (int x = centres.front() - kHalfWidth; x < centres.back() + kHalfWidth; x += 7) {
        int expected = 0;
        for (int c : centres) {
            expected += x >= c - kHalfWidth + kBorder && x < c + kHalfWidth - kBorder;
        }
        for (int y = kTop + 16; y < kBottom - 16; y += 37) {
            ASSERT_EQ(roll.CoverageAt(x, y), expected) << x << "," << y;
        }
    }

    Image constructed = roll.Constructed();
    Image image = constructed;
    RectangleBlockInfoType info{};
    ASSERT_EQ(InitializeRectangleBlockInfo(kHeight, kWidth, 32, 32, &info), 0);
    MosaicImagePropertyType property{};
    ASSERT_EQ(EvaluateConstructedImageQuality(info, image.data(), constructed.data(),
                                              roll.frameNumber_, &property),
              0);

    // The walk stops on the first empty column outside the covered band.
    const int left = centres.front() - kHalfWidth + kBorder - 1;
    const int right = centres.back() + kHalfWidth - kBorder;
    EXPECT_EQ(property.LeftColumn, left);
    EXPECT_EQ(property.RightColumn, right);
    EXPECT_EQ(property.ForegroundWidth, right - left + 1);
    EXPECT_NEAR(property.CentreX, (left + right) / 2, 1);
    // Rows: the mask reaches at most 16 rows past the contact (half the smoothing window).
    EXPECT_GE(property.TopRow, kTop - 17);
    EXPECT_LE(property.TopRow, kTop - 1);
    EXPECT_GE(property.BottomRow, kBottom);
    EXPECT_LE(property.BottomRow, kBottom + 16);
    EXPECT_EQ(property.ForegroundHeight, property.BottomRow - property.TopRow + 1);
    EXPECT_NEAR(property.CentreY, (kTop + kBottom) / 2, 2);
    const int coveredWidth = right - left - 1;
    EXPECT_GE(property.ForegroundArea, coveredWidth * (kBottom - kTop));
    EXPECT_LE(property.ForegroundArea, coveredWidth * (kBottom - kTop + 32));
    // Grey statistics of a ridge field of 40..140 around 90 (plus a little background).
    EXPECT_EQ(property.LowestGrey, 40);
    EXPECT_NEAR(property.MeanGrey, 90.0, 8.0);
    EXPECT_GT(property.GreyVariance, 900.0f);
    EXPECT_FLOAT_EQ(property.ReservedFloat1, 100.0f);
}

TEST_F(MosaicSequence, RollingBackAfterALongRollIsRefusedAndLeavesTheMosaic)
{
    RollSequence roll(Kernel::Stitch);
    int centre = 160;
    for (int i = 0; i < 20; ++i, centre += 12) ASSERT_EQ(roll.Feed(At(centre)), 0);
    centre -= 12;
    // Rightward sum 12 x 18 = 216; leftward 12, 24 pass, 36 passes 30 with the other above 200.
    centre -= 12;
    ASSERT_EQ(roll.Feed(At(centre)), 0);
    centre -= 12;
    ASSERT_EQ(roll.Feed(At(centre)), 0);
    const Image mosaic = roll.buffers_.mosaic;
    const Image coverage = roll.buffers_.coverage;
    centre -= 12;
    EXPECT_EQ(roll.Feed(At(centre)), 27);
    EXPECT_EQ(roll.buffers_.mosaic, mosaic);
    EXPECT_EQ(roll.buffers_.coverage, coverage);
}

TEST_F(MosaicSequence, ShortRollReversalRestartsTheMosaicFromTheCurrentFrame)
{
    RollSequence roll(Kernel::Stitch);
    int centre = 300;
    for (int i = 0; i < 5; ++i, centre += 12) ASSERT_EQ(roll.Feed(At(centre)), 0);
    centre -= 12;  // last fed centre; rightward sum 36
    for (int i = 0; i < 2; ++i) {
        centre -= 12;
        ASSERT_EQ(roll.Feed(At(centre)), 0);
    }
    centre -= 12;  // leftward sum reaches 36: both above 30, neither at 200
    Image frame = RenderFrame(kHeight, kWidth, At(centre));
    ASSERT_EQ(roll.FeedFrame(frame), 0);
    EXPECT_EQ(roll.buffers_.mosaic, frame);
    // The new mosaic counts exactly this frame's non-edge foreground.
    for (int x = 0; x < kWidth; x += 3) {
        const bool inside = x >= centre - kHalfWidth + kBorder && x < centre + kHalfWidth - kBorder;
        EXPECT_EQ(roll.CoverageAt(x, (kTop + kBottom) / 2), inside ? 1 : 0) << x;
    }
    EXPECT_EQ(GetParameter()->LeftMoveSum, 0.0f);
    EXPECT_EQ(GetParameter()->RightMoveSum, 0.0f);
}

TEST_F(MosaicSequence, AJumpIsTooFastAndALiftedFingerIsReportedAsLifted)
{
    RollSequence roll(Kernel::Stitch);
    ASSERT_EQ(roll.Feed(At(160)), 0);
    ASSERT_EQ(roll.Feed(At(172)), 0);
    const Image mosaic = roll.buffers_.mosaic;
    const Image coverage = roll.buffers_.coverage;
    EXPECT_EQ(roll.Feed(At(560)), 25);  // a whole contact with no overlap
    Contact lifted = At(560);
    lifted.HalfWidth = 40;  // a small contact away from the mosaic
    EXPECT_EQ(roll.Feed(lifted), 39);
    EXPECT_EQ(roll.buffers_.mosaic, mosaic);
    EXPECT_EQ(roll.buffers_.coverage, coverage);
}

TEST_F(MosaicSequence, ASlidFingerIsReported)
{
    for (Kernel kernel : {Kernel::Stitch, Kernel::Block, Kernel::Preview, Kernel::Quick}) {
        SCOPED_TRACE(static_cast<int>(kernel));
        DestroyLiveScanParameter();
        SetSlideDetectionStatus(1);
        RollSequence roll(kernel);
        for (int centre = 200; centre <= 260; centre += 12) ASSERT_EQ(roll.Feed(At(centre)), 0);
        const Image mosaic = roll.buffers_.mosaic;
        Contact slid = At(272);
        slid.Phase = 3.0;  // the ridges no longer line up with the mosaic
        EXPECT_EQ(roll.Feed(slid), 28);
        EXPECT_EQ(roll.buffers_.mosaic, mosaic);
        if (kernel == Kernel::Preview) {
            // The preview kernel leaves the slide map: 1 over the overlap, 0 elsewhere.
            const Image& map = roll.buffers_.mask;
            EXPECT_TRUE(std::all_of(map.begin(), map.end(), [](unsigned char v) { return v <= 1; }));
            EXPECT_EQ(map[static_cast<size_t>(240) * kWidth + 250], 1);
            EXPECT_EQ(map[static_cast<size_t>(240) * kWidth + 700], 0);
        }
    }
}

TEST_F(MosaicSequence, SlideTestIsOffByDefault)
{
    DestroyLiveScanParameter();
    RollSequence roll(Kernel::Stitch);
    for (int centre = 200; centre <= 260; centre += 12) ASSERT_EQ(roll.Feed(At(centre)), 0);
    Contact slid = At(272);
    slid.Phase = 3.0;
    EXPECT_EQ(roll.Feed(slid), 0);
}

TEST_F(MosaicSequence, QuickKernelSplitsTooLittleOverlapAtTheQuarterSizeCut)
{
    // The quick kernel counts its frame mask at quarter size, so the cut between a lifted finger
    // and a fast roll is 54997 / 16: a whole contact jumping away is too fast (25), not lifted.
    RollSequence roll(Kernel::Quick);
    ASSERT_EQ(roll.Feed(At(160)), 0);
    ASSERT_EQ(roll.Feed(At(172)), 0);
    EXPECT_EQ(roll.Feed(At(560)), 25);
    Contact lifted = At(560);
    lifted.HalfWidth = 40;
    EXPECT_EQ(roll.Feed(lifted), 39);
}

TEST_F(MosaicSequence, SecondConstructorKeepsTheLastAcceptedFrame)
{
    RollSequence roll(Kernel::Construct2);
    Image first = RenderFrame(kHeight, kWidth, At(200));
    ASSERT_EQ(roll.FeedFrame(first), 0);
    EXPECT_EQ(roll.best_, first);
    Image second = RenderFrame(kHeight, kWidth, At(212));
    ASSERT_EQ(roll.FeedFrame(second), 0);
    EXPECT_EQ(roll.best_, second);
    // A refused frame is not kept.
    Image jump = RenderFrame(kHeight, kWidth, At(600));
    ASSERT_EQ(roll.FeedFrame(jump), 25);
    EXPECT_EQ(roll.best_, second);
}

TEST_F(MosaicSequence, CopyPhaseCountsTheWholeCopiedFrame)
{
    // Until the finger has moved 10 pixels from where the mosaic started, the preview and quick
    // kernels copy whole frames; the coverage then counts the copied frame's whole foreground.
    for (Kernel kernel : {Kernel::Preview, Kernel::Quick}) {
        SCOPED_TRACE(static_cast<int>(kernel));
        DestroyLiveScanParameter();
        RollSequence roll(kernel);
        ASSERT_EQ(roll.Feed(At(300)), 0);
        Image frame = RenderFrame(kHeight, kWidth, At(304));
        ASSERT_EQ(roll.FeedFrame(frame), 0);
        EXPECT_EQ(roll.buffers_.mosaic, frame);
        EXPECT_EQ(GetParameter()->MixFlag, 0);
        const int y = (kTop + kBottom) / 2;
        for (int x : {304 - 50, 304, 304 + 50}) EXPECT_EQ(roll.CoverageAt(x, y), 1) << x;
        for (int x : {304 - 180, 304 + 180}) EXPECT_EQ(roll.CoverageAt(x, y), 0) << x;
        ASSERT_EQ(roll.Feed(At(316)), 0);
        EXPECT_EQ(GetParameter()->MixFlag, 1);  // moved 16 from the first frame
        ASSERT_EQ(roll.Feed(At(328)), 0);      // and the roll goes on with enough overlap
    }
}

TEST_F(MosaicSequence, PreviewClearsNoMoreCoverageThanTheFrameHolds)
{
    // The block record's count says how many coverage bytes the copy phase clears; a count larger
    // than the frame is held to the frame.
    RollSequence roll(Kernel::Preview);
    roll.blockInfo_.BlockCount = 0x7fffffff;
    for (int centre = 300; centre <= 360; centre += 12) ASSERT_EQ(roll.Feed(At(centre)), 0);
    // A count of 0 clears nothing: the first frame's coverage stays under the copied frame's.
    DestroyLiveScanParameter();
    RollSequence partial(Kernel::Preview);
    partial.blockInfo_.BlockCount = 0;
    ASSERT_EQ(partial.Feed(At(300)), 0);
    ASSERT_EQ(partial.Feed(At(304)), 0);
    EXPECT_EQ(partial.CoverageAt(300, (kTop + kBottom) / 2), 2);
}
