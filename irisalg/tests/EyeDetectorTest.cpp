// The algorithm library's eye detector: its cascade on hand-made tables (exact stage sums and the
// results of each exit), the window search steps and grouping, detection and side-check outcomes,
// and the trained tables on renders the trainer never saw.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "irisalg/EyeCascadeTable.h"
#include "irisalg/EyeDetector.h"
#include "TskIrisAPI.h"
#include "sim/EyeRender.h"
#include "CascadeTestFeatures.h"

namespace {

using namespace irisalg;
namespace tbl = irisalg::cascade;
using cascadetest::Feature;
using cascadetest::RectSum;

struct Loaded {
    std::vector<int32_t> words;
    EyeCascade* c;
    explicit Loaded(const tbl::Table& t) : words(tbl::WriteTable(t)), c(LoadCascade(words.data(), 20)) {}
    ~Loaded() { FreeCascade(c); }
};

std::vector<uint8_t> Texture(int w, int h) {
    std::vector<uint8_t> im(size_t(w) * h);
    for (size_t i = 0; i < im.size(); ++i) im[i] = uint8_t(i * 37 % 251);
    return im;
}

// Runs one window of a 24 x 20 image through a cascade at scale 1.0.
int32_t EvaluateOnly(const tbl::Table& t, const std::vector<uint8_t>& im, int32_t* margin) {
    Loaded l(t);
    EXPECT_NE(l.c, nullptr);
    std::vector<uint32_t> sum(25 * 21);
    std::vector<uint64_t> sq(25 * 21);
    tbl::IntegralImages(im.data(), 24, 20, 24, sum.data(), sq.data());
    PrepareScales(l.c, sum.data(), sq.data(), 24);
    SetScale(l.c, 1.0);
    return EvaluateWindow(l.c, 0, 0, 19, margin);
}

TEST(EyeDetectorCascade, StageSumsAndResultOfEachExit) {
    std::vector<uint8_t> im(24 * 20);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 24; ++x) im[size_t(y) * 24 + x] = uint8_t(40 + 7 * y + x + (x >= 8 && x < 12 ? -30 : 0));
    // Normalisation from the pixels: the 22 x 18 window one pixel in, area 396.
    const int64_t s = RectSum(im, 24, 1, 1, 22, 18), q = RectSum(im, 24, 1, 1, 22, 18, true);
    const int64_t norm = (int64_t(1) << 28) / int64_t(std::sqrt(double(q * 396 - s * s)));
    const auto f0 = Feature(0, {2, 2, 6, 4}, {2, 2, 6, 2}, -50000000, 12000, 1000);
    const auto f2 = Feature(2, {4, 4, 8, 6}, {4, 4, 4, 3}, -40000000, 15000, 100000);
    auto bin = [&](int64_t v, const tbl::TableFeature& f) {
        return int(std::clamp<int64_t>(((((v * norm + 8192 - f.lower) >> 14) * f.mult) + (1 << 20)) >> 21, 0, 47));
    };
    const int b0 = bin(2 * RectSum(im, 24, 2, 2, 6, 2) - RectSum(im, 24, 2, 2, 6, 4), f0);
    const int b2 = bin(2 * RectSum(im, 24, 4, 4, 4, 3) + 2 * RectSum(im, 24, 8, 7, 4, 3) - RectSum(im, 24, 4, 4, 8, 6), f2);
    ASSERT_GT(b0, 0);
    ASSERT_LT(b0, 47);
    ASSERT_GT(b2, 0);
    ASSERT_LT(b2, 47);
    const int32_t sum1 = (b0 + 1) * 1000 + (b2 + 1) * 100000;  // both features in each stage
    struct Case {
        int32_t t1, t2, t3;
        int32_t result, margin;
    } cases[] = {
        {sum1 + 358, sum1 + 358, sum1 + 358, 1, 12345},  // every stage exactly at its threshold
        {sum1 + 359, 0, 0, 0, -1},                       // the first stage fails: 0
        {0, sum1 + 358 + 5, 0, -1, -5},                  // the second stage (index 1) fails: -1
        {0, 0, sum1 + 400, -2, -42},                     // the third: -2
    };
    for (const Case& k : cases) {
        tbl::Table t{0, 24, 20, {{k.t1, {f2, f0}}, {k.t2, {f0, f2}}, {k.t3, {f0, f2}}}};
        int32_t margin = 12345;
        EXPECT_EQ(EvaluateOnly(t, im, &margin), k.result) << k.t1 << " " << k.t2 << " " << k.t3;
        EXPECT_EQ(margin, k.margin);
    }
    // A window of constant grey is rejected before any stage.
    int32_t margin = 7;
    EXPECT_EQ(EvaluateOnly(tbl::Table{0, 24, 20, {{-100000000, {f0}}}}, std::vector<uint8_t>(24 * 20, 99), &margin), 0);
    EXPECT_EQ(margin, 0);
}

TEST(EyeDetectorCascade, AreasAndArenaLimit) {
    Loaded l(tbl::Table{0, 24, 20, {}});
    ASSERT_NE(l.c, nullptr);
    EXPECT_EQ(l.c->area[19], 22 * 18);
    EXPECT_EQ(l.c->area[18], int64_t(std::lround(22 * 1.2)) * int64_t(18 * 1.2 + 0.5));
    double f0 = 1;
    for (int k = 0; k < 19; ++k) f0 *= 1.2;
    EXPECT_EQ(l.c->area[0], int64_t(22 * f0 + 0.5) * int64_t(18 * f0 + 0.5));
    Loaded side(tbl::Table{0, 18, 24, {}});
    EXPECT_EQ(side.c->area[19], 16 * 22);
    // A table too large for the 4 MiB arena is refused rather than half loaded.
    tbl::Table big{0, 24, 20, {tbl::TableStage{0, std::vector<tbl::TableFeature>(6000, Feature(0, {0, 0, 4, 2}, {0, 0, 4, 1}, 0, 1, 1))}}};
    Loaded tooBig(big);
    EXPECT_EQ(tooBig.c, nullptr);
}

TEST(EyeDetectorCascade, AlgorithmScalingOfPairedRectangles) {
    const int32_t s = 1228;  // scale index 18
    auto sc = [](int v) { return (v * 1228 + 512) >> 10; };
    auto w2 = [](int v) { return (((2 * v * 1228 + 512) >> 10) + 1) >> 1; };
    auto words = [](tbl::Rect8 a, tbl::Rect8 b) {
        return std::vector<uint32_t>{tbl::PackRect(a), tbl::PackRect(b)};
    };
    tbl::ScaledRect r[3];
    // B half of A's height lower and elsewhere: placed on its own.
    auto w = words({2, 4, 5, 6}, {9, 7, 5, 6});
    tbl::ScaleFeature(tbl::Scaling::Algorithm, 3, w.data(), s, r);
    EXPECT_EQ(r[1].x, sc(9));
    EXPECT_EQ(r[1].y, sc(7));
    // B below and left: B at (sc(B.x), sc(A.y) + h), A moved to B's right.
    w = words({7, 2, 4, 3}, {3, 5, 4, 3});
    tbl::ScaleFeature(tbl::Scaling::Algorithm, 3, w.data(), s, r);
    EXPECT_EQ(r[1].x, sc(3));
    EXPECT_EQ(r[1].y, sc(2) + w2(3));
    EXPECT_EQ(r[0].x, sc(3) + w2(4));
    // Kind 1 middle third of the rows: third = (sc(9) x 1365 + 2048) >> 12.
    w = words({1, 2, 5, 9}, {1, 5, 5, 3});
    tbl::ScaleFeature(tbl::Scaling::Algorithm, 1, w.data(), s, r);
    const int third = (sc(9) * 1365 + 2048) >> 12;
    EXPECT_EQ(r[0].h, 3 * third);
    EXPECT_EQ(r[1].y, sc(2) + third);
}

TEST(EyeDetectorSearch, StepsOfBothScanModes) {
    Loaded none(tbl::Table{0, 24, 20, {}});
    // 30 x 26: only the training window fits. Proportional step 2 by 2: x, y in 0, 2, 4.
    const std::vector<uint8_t> small = Texture(30, 26);
    std::vector<EyeWindowGroup> hits = SearchWindows(small.data(), 30, 26, none.c, 0, 1);
    ASSERT_EQ(hits.size(), 9u);
    EXPECT_EQ(hits[1].x, 2);
    EXPECT_EQ(hits[3].y, 2);
    EXPECT_EQ(hits[8].width, 24);
    EXPECT_EQ(hits[8].neighbours, 0);
    // The 2-pixel grid: (30 - 24 - 1) / 2 = 2 columns and (26 - 20 - 1) / 2 = 2 rows.
    hits = SearchWindows(small.data(), 30, 26, none.c, 0, 0);
    ASSERT_EQ(hits.size(), 4u);
    EXPECT_EQ(hits[3].x, 2);
    EXPECT_EQ(hits[3].y, 2);
    // All nine hits are alike: one group, rounded means, neighbour count 9.
    hits = SearchWindows(small.data(), 30, 26, none.c, 1, 1);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].neighbours, 9);
    EXPECT_EQ(hits[0].x, 2);
    // 75 x 56: the first scale is 1.2^5 (window 60 x 50), stepped 6 columns by 4 rows.
    const std::vector<uint8_t> wide = Texture(75, 56);
    hits = SearchWindows(wide.data(), 75, 56, none.c, 0, 1);
    ASSERT_GE(hits.size(), 6u);
    const int expect[6][2] = {{0, 0}, {6, 0}, {12, 0}, {0, 4}, {6, 4}, {12, 4}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(hits[size_t(i)].x, expect[i][0]);
        EXPECT_EQ(hits[size_t(i)].y, expect[i][1]);
        EXPECT_EQ(hits[size_t(i)].width, 60);
        EXPECT_EQ(hits[size_t(i)].height, 50);
    }
    EXPECT_EQ(hits[6].width, 50);  // the next scale
    // Smaller than the window: nothing.
    EXPECT_TRUE(SearchWindows(small.data(), 23, 26, none.c, 0, 1).empty());
}

TEST(EyeDetectorSearch, GroupingClosureAndMinimum) {
    // 40 and 50 differ by more than 20%: never alike directly; 45 is alike to both.
    const std::vector<EyeWindowGroup> apart = {{0, 0, 40, 33, 0}, {2, 2, 50, 41, 0}};
    EXPECT_EQ(GroupWindows(apart, 1).size(), 2u);
    const std::vector<EyeWindowGroup> linked = {{0, 0, 40, 33, 0}, {2, 2, 50, 41, 0}, {1, 1, 45, 37, 0}};
    std::vector<EyeWindowGroup> g = GroupWindows(linked, 1);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].neighbours, 3);
    EXPECT_EQ(g[0].x, (2 * 3 + 3) / 6);
    EXPECT_EQ(g[0].width, (2 * 135 + 3) / 6);
    // Positions more than round(0.2 w) apart stay apart; m = 3 drops the classes of one and two.
    const std::vector<EyeWindowGroup> mixed = {{0, 0, 40, 33, 0}, {9, 0, 40, 33, 0}, {100, 0, 40, 33, 0},
                                               {108, 0, 40, 33, 0}, {104, 4, 40, 33, 0}};
    EXPECT_EQ(GroupWindows(mixed, 1).size(), 3u);
    g = GroupWindows(mixed, 3);
    ASSERT_EQ(g.size(), 1u);
    EXPECT_EQ(g[0].x, 104);
    EXPECT_EQ(g[0].neighbours, 3);
}

TEST(EyeDetectorImage, PaddingRepeatsTheSecondToLastRowAndColumn) {
    const uint8_t im[3 * 3] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::vector<uint8_t> p = PadImage(im, 3, 3);
    const int pw = 123;
    EXPECT_EQ(p[size_t(0) * pw + 61], 2);         // above: row 0
    EXPECT_EQ(p[size_t(122) * pw + 61], 5);       // below: row height - 2
    EXPECT_EQ(p[size_t(61) * pw + 0], 4);         // left: the row's first pixel
    EXPECT_EQ(p[size_t(61) * pw + 122], 5);       // right: the row's pixel width - 2
    EXPECT_EQ(p[size_t(62) * pw + 62], 9);        // the image itself
    EXPECT_EQ(p[size_t(62) * pw + 63], 8);        // right of the last row: its pixel width - 2
    const uint8_t one = 42;
    const std::vector<uint8_t> q = PadImage(&one, 1, 1);  // one pixel: nothing read outside it
    EXPECT_EQ(q.size(), 121u * 121u);
    EXPECT_EQ(q.front(), 42);
    EXPECT_EQ(q.back(), 42);
    // Reduction by exactly 2 reads every second pixel.
    std::vector<uint8_t> src(8 * 4), dst(4 * 2);
    for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 3);
    ReduceRegion(src.data(), 8, 0, 0, 8, 4, dst.data(), 4, 2);
    EXPECT_EQ(dst[1], src[2]);
    EXPECT_EQ(dst[5], src[2 * 8 + 2]);
}

TEST(EyeDetectorDetect, CodesBordersAndClipping) {
    DetectorContext* ctx = nullptr;
    ASSERT_EQ(DetectorCreate(nullptr, &ctx), 0);
    std::vector<uint8_t> im = Texture(100, 80);
    EyeRegionResult r{};
    EXPECT_EQ(DetectEyeRegion(nullptr, im.data(), 100, 80, 8, 6, 1, &r, 0, 0), kDetectorNotBuilt);
    EXPECT_EQ(DetectEyeRegion(ctx, im.data(), 100, 80, 16, 6, 1, &r, 0, 0), 2);
    EXPECT_EQ(DetectEyeRegion(ctx, im.data(), 100, 80, 24, 6, 1, &r, 0, 0), -3);
    EXPECT_EQ(DetectEyeRegion(ctx, nullptr, 100, 80, 8, 6, 1, &r, 0, 0), 2);
    r.count = 5;
    EXPECT_EQ(DetectEyeRegion(ctx, im.data(), 100, 80, 8, 6, 1, &r, 0, 2), 0);  // border mode 2
    EXPECT_EQ(r.count, 0);

    // With a cascade that takes every window: a 60 x 50 image used as it is (narrower than the
    // working width, so not rescaled); the best box is cut to end one pixel inside.
    Loaded none(tbl::Table{0, 24, 20, {}});
    EyeCascade* trained = ctx->set->eye;
    ctx->set->eye = none.c;
    im = Texture(60, 50);
    ASSERT_EQ(DetectEyeRegion(ctx, im.data(), 60, 50, 8, 6, 1, &r, 0, 1), 0);
    EXPECT_GT(r.count, 1);
    EXPECT_LE(r.x + r.width, 59);
    EXPECT_LE(r.y + r.height, 49);
    ctx->set->eye = trained;

    SideCheckRecord side{};
    const int32_t noRadius[3] = {50, 40, 0}, flatCircle[3] = {50, 40, 20};
    EXPECT_EQ(SideCheck(ctx, im.data(), 60, 50, 8, noRadius, &side), 0);
    EXPECT_FLOAT_EQ(side.confidence, -20.0f);
    const std::vector<uint8_t> flat(200 * 150, 100);
    EXPECT_EQ(SideCheck(ctx, flat.data(), 200, 150, 8, flatCircle, &side), 0);
    EXPECT_FLOAT_EQ(side.confidence, -10.0f);
    EXPECT_EQ(DetectorDestroy(ctx), 0);
    EXPECT_EQ(DetectorDestroy(nullptr), kDetectorNoSet);
    // A context without classifier set is released all the same (the sanitizer sees a leak).
    EXPECT_EQ(DetectorDestroy(new DetectorContext{}), kDetectorNoSet);
}

TEST(EyeDetectorTrained, FindsUnseenEyesWithBothTablesAndCentresTheSideCheck) {
    DetectorContext *t2 = nullptr, *t1 = nullptr;
    const int32_t table1[1] = {1};
    ASSERT_EQ(DetectorCreate(nullptr, &t2), 0);
    ASSERT_EQ(DetectorCreate(table1, &t1), 0);
    for (uint32_t i = 0; i < 8; ++i) {
        sim::EyeSceneParams s;
        s.subjectSeed = 50 + i;  // the trainer draws from subjects 100000 and up
        s.rightEye = i % 2;
        s.frameSeed = 77 + i;
        s.centreX = 0.4 + 0.03 * i;
        s.centreY = 0.45 + 0.02 * i;
        s.distanceMm = 270 + 10 * i;
        s.focusMm = s.distanceMm;
        s.headRollDeg = double(i) - 4;
        const sim::EyeFrame f = sim::RenderEyeFrame(s);
        for (DetectorContext* ctx : {t2, t1}) {
            EyeRegionResult r{};
            ASSERT_EQ(DetectEyeRegion(ctx, f.image.pixels.data(), 640, 480, 8, 6, 2, &r, 0, 0), 0);
            EXPECT_GE(r.count, 2) << "frame " << i;
            EXPECT_LT(std::hypot(r.x + r.width / 2.0 - f.truth.iris.x, r.y + r.height / 2.0 - f.truth.iris.y), 0.25 * f.truth.iris.r)
                << "frame " << i;
        }
        if (i % 2) continue;
        const int32_t circle[3] = {int32_t(f.truth.iris.x), int32_t(f.truth.iris.y), int32_t(f.truth.iris.r)};
        SideCheckRecord side{};
        ASSERT_EQ(SideCheck(t2, f.image.pixels.data(), 640, 480, 8, circle, &side), 0);
        EXPECT_GT(side.confidence, 0.6f) << "frame " << i;
        EXPECT_LT(std::hypot(side.leftX - f.truth.cornerX[0], side.leftY - f.truth.cornerY[0]), 0.3 * f.truth.iris.r) << i;
        EXPECT_LT(std::hypot(side.rightX - f.truth.cornerX[1], side.rightY - f.truth.cornerY[1]), 0.3 * f.truth.iris.r) << i;
    }
    DetectorDestroy(t1);
    DetectorDestroy(t2);
}

// A side region is searched at ((18 x width / radius + 3) rounded down to a multiple of 4) + 4
// pixels when it is wider than that, else at its own width.
TEST(EyeDetectorSideCheck, RegionWidthFollowsTheIrisRadius) {
    const struct {
        int32_t width, radius, searched;
    } cases[] = {
        {300, 100, 60},  // 54 + 3 = 57 -> 56 -> 60
        {250, 100, 52},  // 45 + 3 = 48 -> 48 -> 52
        {200, 90, 44},   // 40 + 3 = 43 -> 40 -> 44
        {40, 100, 12},   // 7 + 3 = 10 -> 8 -> 12
        {640, 37, 316},  // 311 + 3 = 314 -> 312 -> 316
        {9, 100, 8},     // 1 + 3 = 4 -> 4 -> 8
        {7, 100, 7},     // not wider than 8: copied
        {5, 1, 5},
    };
    for (const auto& c : cases) EXPECT_EQ(SideRegionWidth(c.width, c.radius), c.searched) << c.width << " " << c.radius;
}

TEST(EyeDetectorExports, CreateDetectAndDestroyThroughTheInterface) {
    char err[64] = {};
    TskIrisDetectorContext* ctx = nullptr;
    ASSERT_EQ(TskIris_Destroy(), 0);
    EXPECT_EQ(TskIris_Detection_Create(&ctx, nullptr, nullptr), -6);  // detection module off
    int32_t init[128] = {};
    init[30] = 1;
    ASSERT_EQ(TskIris_Init(nullptr, init, err), 0) << err;
    const int32_t table1[1] = {1};
    TskIrisDetectorContext* one = nullptr;
    ASSERT_EQ(TskIris_Detection_Create(&ctx, nullptr, nullptr), 0);
    ASSERT_EQ(TskIris_Detection_Create(&one, table1, nullptr), 0);
    EXPECT_EQ(TskIris_Detection_Create(nullptr, nullptr, nullptr), kDetectorLoadFailed);
    EXPECT_EQ(ctx->set->eye->stages, 3);  // eye table 2
    EXPECT_EQ(one->set->eye->stages, 4);  // eye table 1
    EXPECT_EQ(ctx->set->side->stages, 8);

    sim::EyeSceneParams s;
    s.subjectSeed = 61;
    s.frameSeed = 5;
    s.centreX = 0.45;
    s.centreY = 0.55;
    const sim::EyeFrame f = sim::RenderEyeFrame(s);
    const uint8_t* px = f.image.pixels.data();
    EyeDetectionRecord rec{};
    EXPECT_EQ(TskIris_Detection(nullptr, px, 640, 480, &rec, err), -11);
    EXPECT_STREQ(err, "input pointer is null");
    EXPECT_EQ(TskIris_Detection(ctx, nullptr, 640, 480, &rec, err), -11);
    EXPECT_EQ(TskIris_Detection(ctx, px, 640, 480, nullptr, err), -11);

    // Words 0..3 zero take the defaults; only word 15 and the box are written.
    for (TskIrisDetectorContext* c : {ctx, one}) {
        for (int32_t& w : rec.words) w = -7;
        rec.words[0] = rec.words[1] = rec.words[2] = rec.words[3] = 0;
        ASSERT_EQ(TskIris_Detection(c, px, 640, 480, &rec, err), 0);
        EXPECT_GE(rec.words[15], 1);
        const int32_t* box = rec.words + 16;
        EXPECT_LT(std::hypot(box[0] + box[2] / 2.0 - f.truth.iris.x, box[1] + box[3] / 2.0 - f.truth.iris.y),
                  0.25 * f.truth.iris.r);
        for (int k = 4; k < 15; ++k) EXPECT_EQ(rec.words[k], -7) << k;
        // The defaults are working width 6 x 32, one neighbour, padded borders, proportional step.
        EyeRegionResult direct{};
        ASSERT_EQ(DetectEyeRegion(c, px, 640, 480, 8, 6, 1, &direct, 0, 0), 0);
        EXPECT_EQ(rec.words[15], direct.count);
        EXPECT_EQ(std::vector<int32_t>(box, box + 4), (std::vector<int32_t>{direct.x, direct.y, direct.width, direct.height}));
    }
    // Explicit words reach the detector: a narrower working width finds a different grouping, and
    // a group minimum above any count leaves nothing (box untouched).
    rec = {};
    rec.words[1] = 4;
    rec.words[2] = 2;
    ASSERT_EQ(TskIris_Detection(ctx, px, 640, 480, &rec, err), 0);
    EyeRegionResult direct{};
    ASSERT_EQ(DetectEyeRegion(ctx, px, 640, 480, 8, 4, 2, &direct, 0, 0), 0);
    EXPECT_EQ(rec.words[15], direct.count);
    EXPECT_EQ(rec.words[16], direct.x);
    EXPECT_EQ(rec.words[18], direct.width);
    rec = {};
    rec.words[2] = 10000;
    rec.words[16] = 123;
    ASSERT_EQ(TskIris_Detection(ctx, px, 640, 480, &rec, err), 0);
    EXPECT_EQ(rec.words[15], 0);
    EXPECT_EQ(rec.words[16], 123);
    rec = {};
    rec.words[3] = 2;  // border mode 2 finds nothing and succeeds
    ASSERT_EQ(TskIris_Detection(ctx, px, 640, 480, &rec, err), 0);
    EXPECT_EQ(rec.words[15], 0);
    // Word 3 = 1 searches the image as it is: on a 26 x 22 image a cascade taking every window
    // meets exactly one window (24 x 20 at the origin), a group of one whose box is written.
    Loaded every(tbl::Table{0, 24, 20, {}});
    EyeCascade* trained = ctx->set->eye;
    ctx->set->eye = every.c;
    const std::vector<uint8_t> tiny = Texture(26, 22);
    for (int32_t& w : rec.words) w = -7;
    rec.words[0] = 0, rec.words[1] = 6, rec.words[2] = 1, rec.words[3] = 1;
    ASSERT_EQ(TskIris_Detection(ctx, tiny.data(), 26, 22, &rec, err), 0);
    EXPECT_EQ(std::vector<int32_t>(rec.words + 15, rec.words + 20), (std::vector<int32_t>{1, 0, 0, 24, 20}));
    ctx->set->eye = trained;
    // A detector failure (a context never built) is -1 with its message.
    TskIrisDetectorContext* unbuilt = new DetectorContext{};
    std::memset(err, 0, sizeof err);
    EXPECT_EQ(TskIris_Detection(unbuilt, px, 640, 480, &rec, err), -1);
    EXPECT_STREQ(err, "Iris detect failed");
    EXPECT_EQ(TskIris_Detection(ctx, px, 0, 480, &rec, err), -1);
    EXPECT_EQ(TskIris_Detection_Destroy(unbuilt, nullptr), kDetectorNoSet);
    EXPECT_EQ(TskIris_Detection_Destroy(nullptr, nullptr), kDetectorNoSet);
    EXPECT_EQ(TskIris_Detection_Destroy(one, nullptr), 0);
    EXPECT_EQ(TskIris_Detection_Destroy(ctx, nullptr), 0);
    ASSERT_EQ(TskIris_Destroy(), 0);
    EXPECT_EQ(TskIris_Detection_Create(&ctx, nullptr, nullptr), -6);
}

}  // namespace
