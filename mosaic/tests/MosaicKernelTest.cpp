// Edge cases of the frame mosaic kernels and their internal steps.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "LiveScanAlg.h"
#include "MosaicInternal.h"
#include "MosaicTestSupport.h"

using namespace LiveScanAlg;
using namespace LiveScanAlg::mosaic;
using namespace mosaic_test;

namespace {

constexpr int kH = 480;
constexpr int kW = 640;
constexpr unsigned char kDark = 60;

unsigned char* Fill()
{
    return reinterpret_cast<unsigned char*>(static_cast<uintptr_t>(0xCCCCCCCCCCCCCCCCull));
}

// A frame with full-height dark columns [x0, x1) and, in column x1, dark rows [0, partialRows).
Image StripeFrame(int x0, int x1, int partialRows = 0)
{
    Image frame(static_cast<size_t>(kH) * kW, kBackground);
    for (int y = 0; y < kH; ++y) {
        for (int x = x0; x < x1; ++x) frame[static_cast<size_t>(y) * kW + x] = kDark;
        if (y < partialRows) frame[static_cast<size_t>(y) * kW + x1] = kDark;
    }
    return frame;
}

class MosaicKernel : public testing::Test {
protected:
    void SetUp() override { DestroyLiveScanParameter(); }
    void TearDown() override { DestroyLiveScanParameter(); }

    int Stitch(Image& frame)
    {
        RunFingerTest(kH, kW, frame);
        return StitchKernal(&frameNumber, kH, kW, frame.data(), mask.data(), mosaic.data(),
                            coverage.data());
    }

    int frameNumber = 0;
    Image mask = Image(static_cast<size_t>(kH) * kW, 0);
    Image mosaic = Image(static_cast<size_t>(kH) * kW, 7);
    Image coverage = Image(static_cast<size_t>(kH) * kW, 0);
};

}  // namespace

TEST_F(MosaicKernel, FirstFrameTooSmallLeavesEverythingAndStartsAgain)
{
    Image frame = StripeFrame(100, 200);  // 48000 foreground pixels, below 58000
    EXPECT_EQ(Stitch(frame), 0);
    EXPECT_EQ(frameNumber, 0);
    EXPECT_EQ(mosaic, Image(mosaic.size(), 7));
    EXPECT_EQ(coverage, Image(coverage.size(), 0));
}

TEST_F(MosaicKernel, FirstAcceptedFrameCountsItsNonEdgeForeground)
{
    Image frame = StripeFrame(100, 260);  // 76800 foreground pixels
    ASSERT_EQ(Stitch(frame), 0);
    EXPECT_EQ(frameNumber, 1);
    EXPECT_EQ(mosaic, frame);
    const StitchParameterType* p = GetParameter();
    for (int y = 0; y < kH; y += 13) {
        for (int x = 0; x < kW; ++x) {
            const size_t i = static_cast<size_t>(y) * kW + x;
            const bool counted = x >= 120 && x < 240;
            ASSERT_EQ(coverage[i], counted ? 1 : 0) << x << "," << y;
            const bool edge = (x >= 100 && x < 120) || (x >= 240 && x < 260);
            ASSERT_EQ(mask[i], counted ? p->NewLabel : edge ? p->EdgeLabel : 0) << x << "," << y;
        }
    }
    // The labelling of a first frame starts the mosaic; the frame's own record stays zero.
    FrameRecord first = LoadFirstRecord();
    EXPECT_EQ(first.ForegroundCount, 120 * kH);
    EXPECT_EQ(first.ForegroundX, (120 + 239) / 2);
    EXPECT_EQ(LoadPreviousRecord().ForegroundCount, 0);
}

TEST_F(MosaicKernel, IdenticalSecondFrameOverlapsWhatTheFirstCounted)
{
    Image frame = StripeFrame(100, 260);
    ASSERT_EQ(Stitch(frame), 0);
    const Image firstMosaic = mosaic;
    ASSERT_EQ(Stitch(frame), 0);
    const StitchParameterType* p = GetParameter();
    for (size_t i = 0; i < mask.size(); i += 7) {
        const int x = static_cast<int>(i % kW);
        if (x >= 120 && x < 240) {
            ASSERT_EQ(mask[i], p->OverlapLabel);
            ASSERT_EQ(coverage[i], 2);
        }
    }
    EXPECT_EQ(mosaic, firstMosaic);
    EXPECT_EQ(p->LeftMoveSum, 0.0f);
    EXPECT_EQ(p->RightMoveSum, 0.0f);
    EXPECT_EQ(LoadPreviousRecord().OverlapCount, 120 * kH);
}

TEST_F(MosaicKernel, MovementSumsRestartOrRefuse)
{
    struct Case {
        float left, right;
        int result;
    };
    for (const Case& c : {Case{31, 150, 0}, Case{31, 200, 27}, Case{150, 31, 0}, Case{30, 150, 0}}) {
        SCOPED_TRACE(testing::Message() << c.left << "/" << c.right);
        DestroyLiveScanParameter();
        frameNumber = 0;
        Image frame = StripeFrame(100, 260);
        ASSERT_EQ(Stitch(frame), 0);
        ASSERT_EQ(Stitch(frame), 0);
        GetParameter()->LeftMoveSum = c.left;
        GetParameter()->RightMoveSum = c.right;
        const Image coverageBefore = coverage;
        // The third frame moved nothing (dx 0): only the sums decide.
        EXPECT_EQ(Stitch(frame), c.result);
        if (c.result == 27) {
            EXPECT_EQ(coverage, coverageBefore);
        } else if (c.left > 30 && c.right > 30) {
            // Restarted: coverage counts this frame alone, sums cleared.
            EXPECT_EQ(coverage[static_cast<size_t>(240) * kW + 150], 1);
            EXPECT_EQ(GetParameter()->LeftMoveSum, 0.0f);
        } else {
            EXPECT_EQ(coverage[static_cast<size_t>(240) * kW + 150], 3);
        }
    }
}

TEST_F(MosaicKernel, TooLittleOverlapSplitsLiftedFromFastAt54997)
{
    for (const int target : {54996, 54997}) {
        SCOPED_TRACE(target);
        DestroyLiveScanParameter();
        frameNumber = 0;
        Image first = StripeFrame(20, 160);
        ASSERT_EQ(Stitch(first), 0);
        // Find the frame whose mask holds exactly `target` pixels, far from the first frame: 114
        // full columns and part of one more.
        StitchParameterType* p = GetParameter();
        const unsigned char savedThreshold = p->LastFrameThreshold;
        Image second;
        int found = -1;
        for (int rows = 150; rows < 470 && found < 0; ++rows) {
            Image candidate = StripeFrame(400, 514, rows);
            RunFingerTest(kH, kW, candidate);
            Image scratch(candidate.size());
            p->LastFrameThreshold = savedThreshold;
            if (PrepareFrameMask(1, kH, kW, candidate.data(), scratch.data()) == target) {
                found = rows;
                second = candidate;
            }
        }
        p->LastFrameThreshold = savedThreshold;
        ASSERT_GE(found, 0);
        const Image mosaicBefore = mosaic;
        const Image coverageBefore = coverage;
        EXPECT_EQ(Stitch(second), target < 54997 ? 39 : 25);
        EXPECT_EQ(p->LastForegroundCount, target);
        EXPECT_EQ(mosaic, mosaicBefore);
        EXPECT_EQ(coverage, coverageBefore);
    }
}

TEST_F(MosaicKernel, RowsNeedElevenOverlapPixelsForASeam)
{
    const int height = 4, width = 64;
    const unsigned char overlap = GetParameter()->OverlapLabel;
    Image labels(static_cast<size_t>(height) * width, 0);
    const int counts[height] = {10, 11, 0, 30};
    for (int r = 0; r < height; ++r) {
        for (int i = 0; i < counts[r]; ++i) labels[static_cast<size_t>(r) * width + 20 + i] = overlap;
    }
    const std::vector<int> leftmost =
        FindSeams(height, width, labels.data(), 0, height, 0, width, false, true, true);
    EXPECT_EQ(leftmost, (std::vector<int>{0, 20, 0, 20}));
    const std::vector<int> rightmost =
        FindSeams(height, width, labels.data(), 0, height, 0, width, false, false, true);
    EXPECT_EQ(rightmost, (std::vector<int>{0, 30, 0, 49}));
    // Without the minimum (the block kernel's outermost-column rule) ten pixels make a seam.
    const std::vector<int> anyCount =
        FindSeams(height, width, labels.data(), 0, height, 0, width, false, true, false);
    EXPECT_EQ(anyCount, (std::vector<int>{20, 20, 0, 20}));
    // Mean rule: mean columns 25 and 34 at x = -1 and 1 give the line 29.5 + 4.5 x.
    const std::vector<int> fitted =
        FindSeams(height, width, labels.data(), 0, height, 0, width, true, true, true);
    EXPECT_EQ(fitted, (std::vector<int>{20, 25, 29, 34}));
}

TEST(SeamPolynomial, FitsAsManyCoefficientsAsThePointsAllow)
{
    const double x3[] = {-2, 0, 1, 3};
    double y3[4];
    for (int i = 0; i < 4; ++i) y3[i] = (0.5 * x3[i] - 3) * x3[i] + 100;
    SeamPolynomial fit = FitSeamPolynomial(x3, y3, 4);
    EXPECT_NEAR(fit.a, 0.5, 1e-9);
    EXPECT_NEAR(fit.b, -3, 1e-9);
    EXPECT_NEAR(fit.c, 100, 1e-9);

    const double x2[] = {100, 300}, y2[] = {10, 50};
    fit = FitSeamPolynomial(x2, y2, 2);
    EXPECT_NEAR(fit.a, 0, 1e-12);
    EXPECT_NEAR(fit.b, 0.2, 1e-9);
    EXPECT_NEAR(fit.c, -10, 1e-9);

    const double x1[] = {-240}, y1[] = {321};
    fit = FitSeamPolynomial(x1, y1, 1);
    EXPECT_EQ(fit.a, 0);
    EXPECT_EQ(fit.b, 0);
    EXPECT_EQ(fit.c, 321);

    fit = FitSeamPolynomial(nullptr, nullptr, 0);
    EXPECT_EQ(fit.a, 0);
    EXPECT_EQ(fit.b, 0);
    EXPECT_EQ(fit.c, 0);
}

TEST_F(MosaicKernel, SlideTestNeedsMoreThan550Pixels)
{
    const unsigned char overlap = GetParameter()->OverlapLabel;
    // Frame and mosaic anti-correlated: a slide whenever the test has enough pixels.
    Image frame(static_cast<size_t>(kH) * kW), mos(frame.size()), labels(frame.size(), 0);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<unsigned char>(50 + (i * 37) % 150);
        mos[i] = static_cast<unsigned char>(255 - frame[i]);
    }
    struct Case {
        int pixels;
        float threshold;
        int frameNumber;
        bool slide;
    };
    for (const Case& c : {Case{550, 0.115f, 5, false}, Case{551, 0.115f, 5, true},
                          Case{550, 1.5f, 5, true}, Case{5000, 0.115f, 0, false}}) {
        SCOPED_TRACE(c.pixels);
        std::fill(labels.begin(), labels.end(), 0);
        std::fill(labels.begin(), labels.begin() + c.pixels, overlap);
        SetSlidingPercentageThreshold(c.threshold);
        EXPECT_EQ(DetectSlide(c.frameNumber, kH, kW, labels.data(), 1, kW, frame.data(), mos.data()),
                  c.slide);
    }
    // Identical overlap is no slide.
    SetSlidingPercentageThreshold(0.115f);
    std::fill(labels.begin(), labels.begin() + 5000, overlap);
    EXPECT_FALSE(DetectSlide(3, kH, kW, labels.data(), 1, kW, frame.data(), frame.data()));
}

TEST_F(MosaicKernel, ThresholdOfAFrameWithNothingAboveLevelZero)
{
    // No pixel above level 0: the mean is taken as 0 instead of dividing by zero.
    Image black(static_cast<size_t>(kH) * kW, 0);
    RunFingerTest(kH, kW, black);
    EXPECT_EQ(FrameMaskThreshold(0, kFrameMaskRule), 240);
    EXPECT_EQ(GetParameter()->LastFrameThreshold, 240);
    // Later frames average with the previous threshold: (12 + 240) / 2.
    EXPECT_EQ(FrameMaskThreshold(1, kFrameMaskRule), 126);
}

TEST_F(MosaicKernel, KernelArgumentChecks)
{
    Image frame = StripeFrame(100, 260);
    struct Case {
        const char* name;
        int height, width;
        unsigned char *frame, *mask, *mosaic, *coverage;
        int result;
    };
    unsigned char* f = frame.data();
    unsigned char* m = mask.data();
    unsigned char* o = mosaic.data();
    unsigned char* c = coverage.data();
    const Case cases[] = {
        {"no frame", kH, kW, nullptr, m, o, c, 3},  {"filled frame", kH, kW, Fill(), m, o, c, 3},
        {"width 0", kH, 0, f, m, o, c, 3},          {"height 0", 0, kW, f, m, o, c, 4},
        {"no mask", kH, kW, f, nullptr, o, c, 11},  {"no mosaic", kH, kW, f, m, nullptr, c, 11},
        {"no coverage", kH, kW, f, m, o, nullptr, 11},
    };
    using KernelFn = int (*)(int*, int, int, unsigned char*, unsigned char*, unsigned char*,
                             unsigned char*);
    for (KernelFn kernel : {KernelFn{StitchKernal}, KernelFn{StitchKernalBlock},
                            KernelFn{MorwenConstructImageQuick}}) {
        for (const Case& k : cases) {
            SCOPED_TRACE(k.name);
            int n = 5;
            EXPECT_EQ(kernel(&n, k.height, k.width, k.frame, k.mask, k.mosaic, k.coverage), k.result);
            EXPECT_EQ(n, 6);  // the call still counts as a frame
            EXPECT_EQ(mosaic, Image(mosaic.size(), 7));
        }
        EXPECT_EQ(kernel(nullptr, kH, kW, f, m, o, c), 11);
    }
    // The quick kernel needs a quarter image of at least 2 x 2.
    int n = 0;
    EXPECT_EQ(MorwenConstructImageQuick(&n, kH, 7, f, m, o, c), 3);
    EXPECT_EQ(MorwenConstructImageQuick(&n, 7, kW, f, m, o, c), 4);
    // A frame number outside 0 .. MaxFrameNumber - 1 starts a new sequence.
    SetMaxFrameNumber(10);
    n = 10;
    RunFingerTest(kH, kW, frame);
    EXPECT_EQ(StitchKernal(&n, kH, kW, f, m, o, c), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(mosaic, frame);
}

TEST_F(MosaicKernel, PreviewArgumentChecks)
{
    Image frame = StripeFrame(100, 260);
    RectangleBlockInfoType info{};
    ASSERT_EQ(InitializeRectangleBlockInfo(kH, kW, 1, 1, &info), 0);
    RectangleBlockInfoType other = info;
    other.ImageHeight = kH - 1;
    unsigned char* f = frame.data();
    unsigned char* m = mask.data();
    unsigned char* o = mosaic.data();
    unsigned char* c = coverage.data();
    struct Case {
        const char* name;
        int height, width;
        unsigned char *frame, *mask, *mosaic, *coverage;
        RectangleBlockInfoType* info;
        int result;
    };
    const Case cases[] = {
        {"height 0", 0, kW, f, m, o, c, &info, 3},   {"width 0", kH, 0, f, m, o, c, &info, 4},
        {"no frame", kH, kW, nullptr, m, o, c, &info, 5},
        {"no mask", kH, kW, f, nullptr, o, c, &info, 6},
        {"no mosaic", kH, kW, f, m, Fill(), c, &info, 7},
        {"no coverage", kH, kW, f, m, o, nullptr, &info, 8},
        {"other height", kH, kW, f, m, o, c, &other, 9},
        {"no block record", kH, kW, f, m, o, c, nullptr, 11},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        int n = 3;
        EXPECT_EQ(PreviewConstructImage(&n, k.height, k.width, k.frame, k.mask, k.mosaic,
                                        k.coverage, k.info),
                  k.result);
        EXPECT_EQ(n, 3);
    }
    EXPECT_EQ(PreviewConstructImage(nullptr, kH, kW, f, m, o, c, &info), 11);
}

TEST(RectangleBlockInfo, FillsTheBlockGeometry)
{
    RectangleBlockInfoType info;
    std::memset(&info, 0x5A, sizeof info);
    ASSERT_EQ(InitializeRectangleBlockInfo(480, 640, 32, 32, &info), 0);
    EXPECT_EQ(info.ImageHeight, 480);
    EXPECT_EQ(info.ImageWidth, 640);
    EXPECT_EQ(info.BlockLeftHalf, 16);
    EXPECT_EQ(info.BlockRightHalf, 15);
    EXPECT_EQ(info.BlockTopHalf, 16);
    EXPECT_EQ(info.BlockBottomHalf, 15);
    EXPECT_EQ(info.BlockRows, 15);
    EXPECT_EQ(info.BlockColumns, 20);
    EXPECT_EQ(info.BlockCount, 300);
    for (int v : info.Reserved0) EXPECT_EQ(v, 0);
    for (int v : info.Reserved1) EXPECT_EQ(v, 0);

    ASSERT_EQ(InitializeRectangleBlockInfo(481, 641, 7, 30, &info), 0);
    EXPECT_EQ(info.BlockLeftHalf, 3);
    EXPECT_EQ(info.BlockRightHalf, 3);
    EXPECT_EQ(info.BlockRows, 17);
    EXPECT_EQ(info.BlockColumns, 92);
    EXPECT_EQ(info.BlockCount, 17 * 92);

    struct Case {
        int height, width, blockWidth, blockHeight;
        RectangleBlockInfoType* info;
        int result;
    };
    const Case cases[] = {
        {0, 640, 32, 32, &info, 2},
        {480, 0, 32, 32, &info, 3},
        {480, 640, 0, 32, &info, 4},
        {480, 640, 32, -1, &info, 5},
        {480, 640, 32, 32, nullptr, 6},
        {480, 640, 32, 32, reinterpret_cast<RectangleBlockInfoType*>(Fill()), 6},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(InitializeRectangleBlockInfo(c.height, c.width, c.blockWidth, c.blockHeight, c.info),
                  c.result);
    }
}

TEST(MeanImageBlock, AveragesInsideTheRectangleOnly)
{
    const int height = 100, width = 120;
    Image image(static_cast<size_t>(height) * width);
    // Left half 40, right half 200: a vertical edge at column 60.
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) image[static_cast<size_t>(y) * width + x] = x < 60 ? 40 : 200;
    }
    Image out(image.size(), 1);
    ImageCordinateType topLeft{10, 5};
    ImageCordinateType bottomRight{110, 95};
    GetMeanImageBlock(height, width, image.data(), out.data(), &topLeft, &bottomRight);
    auto at = [&](int x, int y) { return out[static_cast<size_t>(y) * width + x]; };
    EXPECT_EQ(at(5, 50), 1);    // left of the rectangle: untouched
    EXPECT_EQ(at(50, 2), 1);    // above it
    EXPECT_EQ(at(12, 50), 40);  // first 16 columns copied
    EXPECT_EQ(at(30, 50), 40);  // window 14..45 all 40
    EXPECT_EQ(at(60, 50), 120); // window 44..75: 16 x 40 + 16 x 200 = 3840, / 32
    EXPECT_EQ(at(61, 50), 125); // 15 x 40 + 17 x 200 = 4000, >> 5
    EXPECT_EQ(at(100, 50), 200);

    // A rectangle reaching past the image is clipped, never read or written outside.
    Image small(16 * 16, 9), smallOut(16 * 16, 0);
    ImageCordinateType from{-8, -8};
    ImageCordinateType to{64, 64};
    GetMeanImageBlock(16, 16, small.data(), smallOut.data(), &from, &to);
    EXPECT_EQ(smallOut, small);
}

TEST(MosaicInterface, KeptEntriesDoNothing)
{
    Image image(64, 3);
    int values[4] = {1, 2, 3, 4};
    float a = 1, b = 2, c = 3;
    int n = 5;
    EXPECT_EQ(ConstructImage1000DPI(&n, 8, 8, image.data(), image.data(), image.data(), image.data(),
                                    nullptr),
              0);
    EXPECT_EQ(CalibrateOpticalDistortion0(image.data(), values), 0);
    EXPECT_EQ(EvaluateCalibrateResult1(8, 8, image.data(), &a, &b, &c), 0);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(image, Image(64, 3));
    EXPECT_EQ(values[3], 4);
    EXPECT_EQ(a + b + c, 6.0f);
    CMorwenMosaic x, y;
    EXPECT_EQ(&(x = y), &x);
}
