// The capture library's cascade engine on hand-made tables (exact stage sums, early exits, the
// per-scale geometry, grouping, the centring score) and its trained tables on renders that the
// trainer never saw.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "iris/EyeCascade.h"
#include "irisalg/EyeCascadeTable.h"
#include "irisalg/IrisRecords.h"
#include "sim/EyeRender.h"
#include "CascadeTestFeatures.h"
#include "VariedEyeScenes.h"

namespace {

using namespace irisfe;
namespace tbl = irisalg::cascade;
using cascadetest::Feature;
using cascadetest::RectSum;

struct Cascade {
    IrisOtaCascade* c = nullptr;
    std::vector<int32_t> words;
    explicit Cascade(const tbl::Table& t) : words(tbl::WriteTable(t)) {
        EXPECT_EQ(IRIS_OTA_LoadCascade(&c, words.data(), kOtaScales, nullptr), 0);
    }
    Cascade(const int32_t* table) { EXPECT_EQ(IRIS_OTA_LoadCascade(&c, table, kOtaScales, nullptr), 0); }
    ~Cascade() { IRIS_OTA_FreeCascade(c); }
};

struct Info {
    IRIS_OTA_DetImgInfo i{};
    ~Info() { IRIS_OTA_FreeDetImgInfo(&i); }
};

// A 24 x 20 test image: a vertical ramp with a dark bar.
std::vector<uint8_t> RampImage(int w, int h) {
    std::vector<uint8_t> im(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) im[size_t(y) * w + x] = uint8_t(40 + 7 * y + (x >= 8 && x < 12 ? -30 : 0) + x);
    return im;
}

// The normalisation of the 24 x 20 window at scale 1.0, from the pixels: the window inset by one
// pixel, 22 x 18.
int64_t Norm(const std::vector<uint8_t>& im, int w) {
    const int64_t sum = RectSum(im, w, 1, 1, 22, 18), sq = RectSum(im, w, 1, 1, 22, 18, true);
    const int64_t var = sq * 396 - sum * sum;
    return (int64_t(1) << 28) / int64_t(std::sqrt(double(var)));
}

int BinFromPixels(int64_t value, int64_t norm, int32_t lower, int32_t mult) {
    const int64_t t = ((((value * norm + 8192 - lower) >> 14) * mult) + (1 << 20)) >> 21;
    return int(std::clamp<int64_t>(t, 0, 47));
}

TEST(EyeCascadeLoad, ScalesAreasThresholdsAndBounds) {
    tbl::Table t{41604, 24, 20, {tbl::TableStage{1000, {Feature(0, {0, 12, 3, 2}, {0, 12, 3, 1}, -5983152, 129675, 1)}}}};
    Cascade c(t);
    ASSERT_NE(c.c, nullptr);
    EXPECT_EQ(c.c->factor[19], 1024);
    EXPECT_EQ(c.c->factor[18], 1228);
    EXPECT_EQ(c.c->factor[0], 32714);
    EXPECT_EQ(c.c->area[19], 22 * 18);
    EXPECT_EQ(c.c->area[18], ((1228 * 18 + 512) >> 10) * ((1228 * 22 + 512) >> 10));
    EXPECT_EQ(c.c->stage[0].threshold, 1000 - 358);
    EXPECT_EQ(c.c->stage[0].bounds[0], 8192 + 5983152);
    EXPECT_EQ(c.c->stage[0].bounds[1], 129675);
    EXPECT_EQ(c.c->pointsPerScale, 8);
    EXPECT_EQ(c.c->id, 1);
    // A second load into a set cascade does nothing.
    IrisOtaCascade* same = c.c;
    EXPECT_EQ(IRIS_OTA_LoadCascade(&same, c.words.data(), kOtaScales, nullptr), 0);
    EXPECT_EQ(same, c.c);
}

TEST(EyeCascadeEval, ExactStageSumsAndEarlyExit) {
    const int W = 24, H = 20;
    const std::vector<uint8_t> im = RampImage(W, H);
    const int64_t norm = Norm(im, W);
    // Stage 1: a kind 0 top-half feature and a kind 1 middle-third feature; stage 2: kind 2 and 3.
    const auto f0 = Feature(0, {2, 2, 6, 4}, {2, 2, 6, 2}, -50000000, 12000, 1000);
    const auto f1 = Feature(1, {6, 3, 9, 5}, {9, 3, 3, 5}, -50000000, 9000, 100000);
    const auto f2 = Feature(2, {4, 4, 8, 6}, {4, 4, 4, 3}, -40000000, 15000, 1000);
    const auto f3 = Feature(3, {1, 10, 5, 4}, {12, 10, 5, 4}, -50000000, 11000, 100000);
    const int64_t v0 = 2 * RectSum(im, W, 2, 2, 6, 2) - RectSum(im, W, 2, 2, 6, 4);
    const int64_t v1 = 3 * RectSum(im, W, 9, 3, 3, 5) - RectSum(im, W, 6, 3, 9, 5);
    const int64_t v2 = 2 * RectSum(im, W, 4, 4, 4, 3) + 2 * RectSum(im, W, 8, 7, 4, 3) - RectSum(im, W, 4, 4, 8, 6);
    const int64_t v3 = RectSum(im, W, 12, 10, 5, 4) - RectSum(im, W, 1, 10, 5, 4);
    const int b0 = BinFromPixels(v0, norm, f0.lower, f0.mult), b1 = BinFromPixels(v1, norm, f1.lower, f1.mult);
    const int b2 = BinFromPixels(v2, norm, f2.lower, f2.mult), b3 = BinFromPixels(v3, norm, f3.lower, f3.mult);
    // Bins away from the clamps, so the sums tell the bins apart.
    for (int b : {b0, b1, b2, b3}) {
        EXPECT_GT(b, 0);
        EXPECT_LT(b, 47);
    }
    const int64_t sum1 = (b0 + 1) * 1000 + (b1 + 1) * 100000, sum2 = (b2 + 1) * 1000 + (b3 + 1) * 100000;

    struct Case {
        int32_t t1, t2;
        int32_t result, margin;
    } cases[] = {
        {int32_t(sum1 + 358), int32_t(sum2 + 358), 1, 0},            // both exactly at their thresholds
        {int32_t(sum1 + 359), int32_t(sum2), -1, -1},                // stage 1 one short: stops there
        {int32_t(sum1 - 500), int32_t(sum2 + 359 + 77), -1, -78},    // stage 2 fails by 78
        {int32_t(sum1 - 500), int32_t(sum2 - 1000), 1, 1000 + 358},  // passes, margin of the last stage
    };
    for (const Case& k : cases) {
        tbl::Table t{0, 24, 20, {tbl::TableStage{k.t1, {f1, f0}}, tbl::TableStage{k.t2, {f3, f2}}}};
        Cascade c(t);
        Info info;
        ASSERT_EQ(IRIS_OTA_Initial_DetImgInfo(c.c, W, H, &info.i, nullptr), 0);
        EXPECT_EQ(info.i.firstScale, 19);
        std::memcpy(info.i.image, im.data(), im.size());
        IRIS_OTA_IntegralImages(&info.i);
        IRIS_OTA_SetScale(c.c, &info.i, 19);
        int32_t margin = 12345;
        EXPECT_EQ(IRIS_OTA_EvalCascade(c.c, &info.i, 19, 0, &margin), k.result) << k.t1 << " " << k.t2;
        EXPECT_EQ(margin, k.margin) << k.t1 << " " << k.t2;
        std::vector<int64_t> values(4);
        ASSERT_TRUE(IRIS_OTA_FeatureValues(c.c, &info.i, 19, 0, values.data()));
        // Stored order groups by kind: stage 1 holds f0 then f1.
        EXPECT_EQ(values[0], v0 * norm);
        EXPECT_EQ(values[1], v1 * norm);
        EXPECT_EQ(values[2], v2 * norm);
        EXPECT_EQ(values[3], v3 * norm);
    }
}

TEST(EyeCascadeEval, FlatWindowAndClampedBins) {
    const int W = 24, H = 20;
    tbl::Table t{0, 24, 20, {tbl::TableStage{0, {Feature(0, {2, 2, 6, 4}, {2, 2, 6, 2}, INT32_MAX - 9000, 1 << 30, 1)}}}};
    Cascade c(t);
    Info info;
    ASSERT_EQ(IRIS_OTA_Initial_DetImgInfo(c.c, W, H, &info.i, nullptr), 0);
    std::memset(info.i.image, 77, size_t(W) * H);
    IRIS_OTA_IntegralImages(&info.i);
    IRIS_OTA_SetScale(c.c, &info.i, 19);
    int32_t margin = 5;
    EXPECT_EQ(IRIS_OTA_EvalCascade(c.c, &info.i, 19, 0, &margin), -1);  // flat: rejected by the variance test
    EXPECT_EQ(margin, 0);
    // A bound far above every value: the bin clamps to 0 (entry 1); the threshold 1 + 358 passes.
    const std::vector<uint8_t> im = RampImage(W, H);
    std::memcpy(info.i.image, im.data(), im.size());
    IRIS_OTA_IntegralImages(&info.i);
    t.stages[0].threshold = 1 + 358;
    Cascade low(t);
    Info li;
    ASSERT_EQ(IRIS_OTA_Initial_DetImgInfo(low.c, W, H, &li.i, nullptr), 0);
    std::memcpy(li.i.image, im.data(), im.size());
    IRIS_OTA_IntegralImages(&li.i);
    IRIS_OTA_SetScale(low.c, &li.i, 19);
    EXPECT_EQ(IRIS_OTA_EvalCascade(low.c, &li.i, 19, 0, &margin), 1);
    EXPECT_EQ(margin, 0);
    // A bound far below every value with a huge multiplier: the bin clamps to 47 (entry 48).
    t.stages[0].features[0].lower = -2000000000;
    t.stages[0].threshold = 49 + 358;
    Cascade high(t);
    Info hi;
    ASSERT_EQ(IRIS_OTA_Initial_DetImgInfo(high.c, W, H, &hi.i, nullptr), 0);
    std::memcpy(hi.i.image, im.data(), im.size());
    IRIS_OTA_IntegralImages(&hi.i);
    IRIS_OTA_SetScale(high.c, &hi.i, 19);
    EXPECT_EQ(IRIS_OTA_EvalCascade(high.c, &hi.i, 19, 0, &margin), -1);
    EXPECT_EQ(margin, -1);
    // No stages: every window with variance passes.
    Cascade none(tbl::Table{0, 24, 20, {}});
    Info ni;
    ASSERT_EQ(IRIS_OTA_Initial_DetImgInfo(none.c, W, H, &ni.i, nullptr), 0);
    std::memcpy(ni.i.image, im.data(), im.size());
    IRIS_OTA_IntegralImages(&ni.i);
    IRIS_OTA_SetScale(none.c, &ni.i, 19);
    EXPECT_EQ(IRIS_OTA_EvalCascade(none.c, &ni.i, 19, 0, &margin), 1);
}

TEST(EyeCascadeGeometry, ScaledCornersPerKind) {
    // At scale index 18 (s = 1228) on a 100 x 80 image: sc(v) = (v x 1228 + 512) >> 10.
    const int W = 100;
    auto sc = [](int v) { return (v * 1228 + 512) >> 10; };
    auto w2 = [](int v) { return (((2 * v * 1228 + 512) >> 10) + 1) >> 1; };
    auto off = [&](int x, int y) { return y * (W + 1) + x; };
    struct Case {
        tbl::TableFeature f;
        std::vector<int> rects;  // x, y, w, h per rectangle
    };
    const int third = (sc(9) * 1365 + 2048) >> 12;
    const int aw2 = sc(5) + (sc(5) & 1), ah2 = sc(7) + (sc(7) & 1);
    const Case cases[] = {
        // kind 0, top half: A's height made even.
        {Feature(0, {0, 12, 3, 3}, {0, 12, 3, 1}, 0, 1, 1), {0, sc(12), sc(3), 4, 0, sc(12), sc(3), 2}},
        // kind 1, middle third of the columns.
        {Feature(1, {2, 1, 9, 4}, {5, 1, 3, 4}, 0, 1, 1), {sc(2), sc(1), 3 * third, sc(4), sc(2) + third, sc(1), third, sc(4)}},
        // kind 2: even sizes, quarters meeting at the centre.
        {Feature(2, {3, 2, 5, 7}, {3, 2, 2, 3}, 0, 1, 1),
         {sc(3), sc(2), aw2, ah2, sc(3), sc(2), aw2 / 2, ah2 / 2, sc(3) + aw2 / 2, sc(2) + ah2 / 2, aw2 / 2, ah2 / 2}},
        // kind 3, side by side (same row).
        {Feature(3, {1, 4, 5, 3}, {9, 4, 5, 3}, 0, 1, 1), {sc(1), sc(4), w2(5), w2(3), sc(9), sc(4), w2(5), w2(3)}},
        // kind 3, diagonal below and left: A's bottom-left minus the width.
        {Feature(3, {7, 2, 4, 3}, {3, 5, 4, 3}, 0, 1, 1), {sc(7), sc(2), w2(4), w2(3), sc(7) - w2(4), sc(2) + w2(3), w2(4), w2(3)}},
        // kind 3, B turned by a quarter: at A's bottom-right.
        {Feature(3, {2, 2, 4, 2}, {6, 4, 2, 4}, 0, 1, 1), {sc(2), sc(2), w2(4), w2(2), sc(2) + w2(4), sc(2) + w2(2), w2(2), w2(4)}},
    };
    for (const Case& k : cases) {
        Cascade c(tbl::Table{0, 24, 20, {tbl::TableStage{0, {k.f}}}});
        Info info;
        ASSERT_EQ(IRIS_OTA_Initial_DetImgInfo(c.c, W, 80, &info.i, nullptr), 0);
        const int32_t* p = info.i.points + 18 * c.c->pointsPerScale;
        ASSERT_EQ(size_t(c.c->pointsPerScale), k.rects.size());
        for (size_t r = 0; r < k.rects.size() / 4; ++r) {
            const int x = k.rects[4 * r], y = k.rects[4 * r + 1], w = k.rects[4 * r + 2], h = k.rects[4 * r + 3];
            EXPECT_EQ(p[4 * r], off(x, y)) << "kind " << k.f.kind << " rect " << r;
            EXPECT_EQ(p[4 * r + 1], off(x + w, y)) << "kind " << k.f.kind << " rect " << r;
            EXPECT_EQ(p[4 * r + 2], off(x, y + h)) << "kind " << k.f.kind << " rect " << r;
            EXPECT_EQ(p[4 * r + 3], off(x + w, y + h)) << "kind " << k.f.kind << " rect " << r;
        }
    }
}

IRIS_OTA_RectChain Chain(std::initializer_list<IRIS_OTA_Rect> rects) {
    IRIS_OTA_RectChain c{};
    EXPECT_EQ(IRIS_OTA_InitialRectChain(&c, nullptr), 0);
    for (const auto& r : rects) IRIS_OTA_AddRect(&c, r);
    return c;
}

TEST(EyeCascadeGroup, AlikeClosureMinimumAndRoundedMeans) {
    // Widths 40 (t = 10): the first three are alike in a chain (0-1, 1-2 but not 0-2 directly);
    // the fourth stands alone; the fifth differs in width by 10 (not below t).
    IRIS_OTA_RectChain c = Chain({{0, 0, 40, 33, 1, -1}, {9, 0, 44, 30, 1, -1}, {17, 1, 47, 31, 1, -1},
                                  {100, 100, 40, 33, 1, -1}, {100, 100, 50, 40, 1, -1}});
    IRIS_OTA_GroupRects(&c, 1);
    ASSERT_EQ(c.count, 3);
    EXPECT_EQ(c.rects[0].count, 3);
    EXPECT_EQ(c.rects[0].x, (2 * 26 + 3) / 6);
    EXPECT_EQ(c.rects[0].y, (2 * 1 + 3) / 6);
    EXPECT_EQ(c.rects[0].width, (2 * 131 + 3) / 6);
    EXPECT_EQ(c.rects[0].height, (2 * 94 + 3) / 6);
    EXPECT_EQ(c.rects[1].count, 1);
    EXPECT_EQ(c.rects[1].width, 40);
    EXPECT_EQ(c.rects[2].width, 50);
    IRIS_OTA_FreeRectChain(&c);

    IRIS_OTA_RectChain d = Chain({{0, 0, 40, 33, 1, -1}, {9, 0, 44, 30, 1, -1}, {17, 1, 47, 31, 1, -1},
                                  {100, 100, 40, 33, 1, -1}, {101, 100, 40, 33, 1, -1}});
    IRIS_OTA_GroupRects(&d, 3);
    ASSERT_EQ(d.count, 1);  // a pair is not enough
    EXPECT_EQ(d.rects[0].count, 3);
    IRIS_OTA_FreeRectChain(&d);

    // The chain grows past its first 128 records.
    IRIS_OTA_RectChain e = Chain({});
    for (int i = 0; i < 300; ++i) ASSERT_EQ(IRIS_OTA_AddRect(&e, {i * 50, 0, 24, 20, 1, -1}), 0);
    EXPECT_EQ(e.capacity, 384);
    IRIS_OTA_GroupRects(&e, 1);
    EXPECT_EQ(e.count, 300);
    EXPECT_EQ(e.rects[299].x, 299 * 50);
    IRIS_OTA_FreeRectChain(&e);
}

TEST(EyeCascadeDetect, ArgumentsWorkingSizeAndEqualGroups) {
    Cascade none(tbl::Table{0, 24, 20, {}});
    Info info;
    int32_t result[4] = {1, 2, 3, 4};
    char text[128] = "";
    std::vector<uint8_t> frame(640 * 480, 0);
    EXPECT_EQ(IRIS_OTA_Detect(none.c, &info.i, nullptr, 640, 480, 8, 6, 1, result, 0, text), irisalg::kBadArgument);
    EXPECT_STREQ(text, "Input parameter error: NULL point.");
    EXPECT_EQ(IRIS_OTA_Detect(none.c, &info.i, frame.data(), 23, 480, 8, 6, 1, result, 0, text), irisalg::kBadArgument);
    EXPECT_STREQ(text, "Input parameter error: small image size or error color-bit");
    EXPECT_EQ(IRIS_OTA_Detect(none.c, &info.i, frame.data(), 640, 480, 24, 6, 1, result, 0, nullptr), irisalg::kBadArgument);
    // 640 x 480 with the default parameter works at 192 x 144, factor 218453.
    EXPECT_EQ(IRIS_OTA_PrepareImage(frame.data(), 640, 480, 192, none.c, &info.i, nullptr), 218453);
    EXPECT_EQ(info.i.width, 192);
    EXPECT_EQ(info.i.height, 144);
    // A frame exactly 24 wide passes the checks but has no window position.
    EXPECT_EQ(IRIS_OTA_Detect(none.c, &info.i, frame.data(), 24, 40, 8, 6, 1, result, 0, nullptr), 1);
    EXPECT_EQ(result[0] + result[1] + result[2] + result[3], 0);

    // Without stages every window with variance is a hit. On a 30 x 26 textured frame scale 18
    // (factor 1228 < min(30 x 1024 / 24, 26 x 1024 / 20)) gives one 29 x 24 window at (0, 0) and
    // scale 19 nine 24 x 20 windows at x, y = 0, 2, 4; all ten are alike (t = 29 / 4 = 7), so one
    // group of rounded means: x = y = (2 x 18 + 10) / 20, width (2 x 245 + 10) / 20, height
    // (2 x 204 + 10) / 20, unscaled.
    // The frame is 25 rows high, so the 24-row window of scale 18 fits with one row to spare.
    std::vector<uint8_t> small(30 * 25);
    for (size_t i = 0; i < small.size(); ++i) small[i] = uint8_t(i * 37 % 251);
    EXPECT_EQ(IRIS_OTA_Detect(none.c, &info.i, small.data(), 30, 25, 8, 6, 1, result, 0, nullptr), 0);
    EXPECT_EQ(result[0], 2);
    EXPECT_EQ(result[1], 2);
    EXPECT_EQ(result[2], 25);
    EXPECT_EQ(result[3], 20);
    // With at least 11 members nothing survives.
    EXPECT_EQ(IRIS_OTA_Detect(none.c, &info.i, small.data(), 30, 25, 8, 6, 11, result, 0, nullptr), 1);
}

TEST(EyeCascadeResize, BilinearStepAndLastRowRule) {
    // A horizontal ramp 0, 4, 8, ... reduced by 2: destination x reads source 2x exactly.
    std::vector<uint8_t> src(40 * 20), dst(20 * 10);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x) src[size_t(y) * 40 + x] = uint8_t(4 * x + y);
    EXPECT_EQ(IRIS_OTA_ResizeImg(src.data(), 40, 20, dst.data(), 20, 10, nullptr), 2 << 16);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x) EXPECT_EQ(dst[size_t(y) * 20 + x], 8 * x + 2 * y) << x << "," << y;
    // A step of 1.5: destination 1 blends source 1 and 2 halfway.
    std::vector<uint8_t> d2(26 * 13);
    IRIS_OTA_ResizeImg(src.data(), 40, 20, d2.data(), 26, 13, nullptr);
    const int32_t step = (40 << 16) / 26;
    const int64_t sx = step, wx = sx & 0xFFFF;
    EXPECT_EQ(d2[1], uint8_t(((int64_t(4) << 16) + 4 * wx) >> 16));
    // Regions read from their origin; a region past the source's last column reads the last pair.
    const int32_t roi[4] = {30, 5, 10, 10};
    std::vector<uint8_t> d3(5 * 5);
    EXPECT_EQ(IRIS_OTA_ResizeROI(src.data(), 40, 20, roi, d3.data(), 5, 5, nullptr), 2 << 16);
    EXPECT_EQ(d3[0], 4 * 30 + 5);
    EXPECT_EQ(d3[4], 4 * 38 + 5);
    // A position on or past the last column reads the last pair with full weight on the last pixel.
    const int32_t edge[4] = {31, 5, 9, 9};
    std::vector<uint8_t> d4(3 * 3);
    EXPECT_EQ(IRIS_OTA_ResizeROI(src.data(), 40, 20, edge, d4.data(), 3, 3, nullptr), 3 << 16);
    EXPECT_EQ(d4[0], 4 * 31 + 5);
    EXPECT_EQ(d4[2], 4 * 37 + 5);
    char text[128] = "";
    const int32_t empty[4] = {0, 0, 0, 10};
    EXPECT_EQ(IRIS_OTA_ResizeROI(src.data(), 40, 20, empty, d3.data(), 5, 5, text), irisalg::kBadArgument);
    EXPECT_STREQ(text, "IRIS_OTA_ResizeROI: Size of target image is zero.");
}

TEST(EyeCascadeSide, CentringScores) {
    const int32_t circle[3] = {300, 200, 100};
    struct Case {
        IRIS_OTA_SideRecord in;
        float score;
        int32_t leftX, rightX;
    } cases[] = {
        {{0, 0, 0, 0, 0, 0, 0}, -10.0f, 0, 0},                         // neither found
        {{0, 0, 0, 512, 230, 4, 0}, 1.0f - 0.005f, 512 - 425, 512},   // only right: left placed 17r/4 away
        {{90, 230, 3, 0, 0, 0, 0}, 1.0f - std::fabs((90 + 515) * 0.5f - 300) / 100, 90, 515},
        {{90, 310, 3, 510, 310, 3, 0}, 0.0f, 90, 510},                  // mean y below cy + r
        {{90, 280, 3, 510, 290, 3, 0}, 1.0f - (0.25f - 0.15f), 90, 510},  // t = 0.15 is penalised
        {{90, 250, 3, 510, 250, 3, 0}, 1.0f, 90, 510},                  // centred, t = 0.5
        {{90, 290, 1, 510, 290, 1, 0}, 1.0f - 0.15f, 90, 510},          // count 1 is found: t = 0.1 penalised
        {{0, 250, 3, 900, 250, 3, 0}, 0.0f, 0, 900},                    // far off centre: clamped
    };
    for (auto& k : cases) {
        IRIS_OTA_SideRecord r = k.in;
        EXPECT_FLOAT_EQ(IRIS_OTA_CentringScore(circle, &r), k.score);
        EXPECT_FLOAT_EQ(r.score, k.score);
        if (k.in.leftCount == 0 && k.in.rightCount > 0) {
            EXPECT_EQ(r.leftCount, 1);
        }
        if (k.score != -10.0f) {
            EXPECT_EQ(r.leftX, k.leftX);
            EXPECT_EQ(r.rightX, k.rightX);
            EXPECT_GT(r.leftCount, 0);
            EXPECT_GT(r.rightCount, 0);
        }
    }
}

TEST(EyeCascadeSide, ArgumentsAndGeometricOutcomes) {
    Cascade side(tbl::kSideTable);
    Info info;
    std::vector<uint8_t> frame(100 * 80, 90);
    IRIS_OTA_SideRecord rec{};
    char text[128] = "";
    const int32_t noRadius[3] = {50, 40, 0}, outside[3] = {-100, 40, 30}, inside[3] = {50, 40, 10};
    EXPECT_EQ(IRIS_OTA_SideLandmarks(side.c, &info.i, frame.data(), 100, 80, 8, nullptr, &rec, 0, text), irisalg::kBadArgument);
    EXPECT_STREQ(text, "Input parameter error: NULL point.");
    EXPECT_EQ(IRIS_OTA_SideLandmarks(side.c, &info.i, frame.data(), 17, 80, 8, inside, &rec, 0, text), irisalg::kBadArgument);
    EXPECT_EQ(IRIS_OTA_SideLandmarks(side.c, &info.i, frame.data(), 100, 80, 8, noRadius, &rec, 0, nullptr), 0);
    EXPECT_FLOAT_EQ(rec.score, -20.0f);
    EXPECT_EQ(IRIS_OTA_SideLandmarks(side.c, &info.i, frame.data(), 100, 80, 8, outside, &rec, 0, nullptr), 0);
    EXPECT_FLOAT_EQ(rec.score, -15.0f);
    // The box may start on the padded image's first column (x0 = 5 + 60 - 65 = 0).
    const int32_t atEdge[3] = {5, 40, 130};
    EXPECT_EQ(IRIS_OTA_SideLandmarks(side.c, &info.i, frame.data(), 100, 80, 8, atEdge, &rec, 0, nullptr), 0);
    EXPECT_FLOAT_EQ(rec.score, -10.0f);
    // A region no wider than its target is searched as it is.
    std::vector<uint8_t> padded(160 * 200, 0);
    for (size_t i = 0; i < padded.size(); ++i) padded[i] = uint8_t(i * 37 % 251);
    IRIS_OTA_RectChain chain{};
    ASSERT_EQ(IRIS_OTA_InitialRectChain(&chain, nullptr), 0);
    Cascade none(tbl::Table{0, 18, 24, {}});
    Info roiInfo;
    const int32_t roi[4] = {10, 20, 40, 60};
    int32_t x = 0, y = 0, count = 0;
    EXPECT_EQ(IRIS_OTA_DetectInROI(padded.data(), 160, 200, roi, &chain, none.c, &roiInfo.i, 44, false, nullptr, &x, &y, &count), 0);
    EXPECT_EQ(roiInfo.i.width, 40);
    EXPECT_EQ(roiInfo.i.height, 60);
    EXPECT_GE(count, 3);
    EXPECT_GE(x, 10);
    EXPECT_GE(y, 20);
    IRIS_OTA_FreeRectChain(&chain);
    // A flat frame has no landmark on either side.
    EXPECT_EQ(IRIS_OTA_SideLandmarks(side.c, &info.i, frame.data(), 100, 80, 8, inside, &rec, 0, nullptr), 0);
    EXPECT_FLOAT_EQ(rec.score, -10.0f);
    EXPECT_EQ(rec.leftCount + rec.rightCount, 0);
}

TEST(EyeCascadeTables, LayoutOfTheTrainedTables) {
    struct Case {
        const int32_t* words;
        size_t count;
        int32_t word0, w, h;
        std::vector<size_t> features;
    } cases[] = {
        {tbl::kEyeTable1, tbl::kEyeTable1Words, 0, 24, 20, {8, 31, 56, 60}},
        {tbl::kEyeTable2, tbl::kEyeTable2Words, 41604, 24, 20, {8, 20, 40}},
        {tbl::kSideTable, tbl::kSideTableWords, 358392, 18, 24, {8, 20, 40, 60, 80, 120, 120, 100}},
    };
    for (const Case& k : cases) {
        tbl::Table t;
        std::string err;
        ASSERT_TRUE(tbl::ReadTable(k.words, k.count, t, &err)) << err;
        EXPECT_EQ(tbl::TableWords(k.words, k.count), k.count);
        EXPECT_EQ(t.word0, k.word0);
        EXPECT_EQ(t.width, k.w);
        EXPECT_EQ(t.height, k.h);
        ASSERT_EQ(t.stages.size(), k.features.size());
        for (size_t s = 0; s < t.stages.size(); ++s) {
            EXPECT_EQ(t.stages[s].features.size(), k.features[s]);
            for (const auto& f : t.stages[s].features) {
                EXPECT_LE(f.kind, 3);
                for (int32_t v : f.lut) EXPECT_LE(std::abs(v), tbl::kLutLimit);
            }
        }
        EXPECT_EQ(tbl::WriteTable(t), std::vector<int32_t>(k.words, k.words + k.count));
    }
}

// Renders of subjects the trainer never used (it draws from subjects 100000 and up).
sim::EyeSceneParams TestScene(uint32_t i) {
    return iristest::VariedScene(i, {1, 9000, 0.35, 0.3, 11, 0.38, 0.24, 7, 260, 10, 0.7, 0.03, 10, -8, 17, 80.0});
}

TEST(EyeCascadeTrained, FindsUnseenEyesAndTheirCornersAndNothingElse) {
    Cascade eye(tbl::kEyeTable2), side(tbl::kSideTable);
    Info info;
    const int frames = 24;
    int found = 0, cornersNear = 0, cornerTries = 0;
    for (int i = 0; i < frames; ++i) {
        const sim::EyeFrame f = sim::RenderEyeFrame(TestScene(uint32_t(i)));
        ASSERT_TRUE(f.truth.eyeVisible);
        int32_t box[4];
        const int32_t rc = IRIS_OTA_Detect(eye.c, &info.i, f.image.pixels.data(), 640, 480, 8, 6, 2, box, 0, nullptr);
        if (rc == 0) {
            const double ex = box[0] + box[2] / 2.0 - f.truth.iris.x, ey = box[1] + box[3] / 2.0 - f.truth.iris.y;
            EXPECT_LT(std::hypot(ex, ey), 0.25 * f.truth.iris.r) << "frame " << i;
            found += std::hypot(ex, ey) < 0.25 * f.truth.iris.r;
        }
        if (i % 3) continue;  // the side search on every third frame
        Info sideInfo;
        const int32_t circle[3] = {int32_t(f.truth.iris.x), int32_t(f.truth.iris.y), int32_t(f.truth.iris.r)};
        IRIS_OTA_SideRecord rec{};
        ASSERT_EQ(IRIS_OTA_SideLandmarks(side.c, &sideInfo.i, f.image.pixels.data(), 640, 480, 8, circle, &rec, 0, nullptr), 0);
        const double r = f.truth.iris.r;
        for (int s = 0; s < 2; ++s) {
            const int32_t count = s ? rec.rightCount : rec.leftCount;
            const double x = s ? rec.rightX : rec.leftX, y = s ? rec.rightY : rec.leftY;
            ++cornerTries;
            if (count > 1 && std::hypot(x - f.truth.cornerX[size_t(s)], y - f.truth.cornerY[size_t(s)]) < 0.25 * r) ++cornersNear;
        }
        EXPECT_GT(rec.score, 0.6f) << "frame " << i;
    }
    EXPECT_EQ(found, frames);
    EXPECT_GE(cornersNear, cornerTries - 1);

    // Eye-less frames: an empty room, brow and cheek without the eye, distractors over both.
    int falseWindows = 0;
    for (int i = 0; i < frames; ++i) {
        sim::EyeSceneParams s = TestScene(uint32_t(100 + i));
        if (i % 2) s.eyePresent = false;
        else s.centreY = -0.5;
        sim::EyeFrame f = sim::RenderEyeFrame(s);
        sim::DrawEyeDistractors(f.image, uint32_t(5000 + i), 3);
        int32_t box[4];
        falseWindows += IRIS_OTA_Detect(eye.c, &info.i, f.image.pixels.data(), 640, 480, 8, 6, 1, box, 0, nullptr) == 0;
    }
    EXPECT_EQ(falseWindows, 0);
}

}  // namespace
