#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "irisalg/IrisAlg.h"
#include "sim/EyeRender.h"

using namespace irisalg;

namespace {

sim::EyeSceneParams Scene(double blur = 0) {
    sim::EyeSceneParams s;
    s.red1 = s.red2 = 120;  // about where the LED calibration settles
    s.extraBlur = blur;
    s.frameSeed = 7;
    return s;
}

// The renderer's truth as the library's location record.
IrisLocation Location(const sim::EyeTruth& t) {
    IrisLocation loc{};
    loc.pupilX = int16_t(std::lround(t.pupil.x));
    loc.pupilY = int16_t(std::lround(t.pupil.y));
    loc.pupilRadius = int16_t(std::lround(t.pupil.r));
    loc.irisX = int16_t(std::lround(t.iris.x));
    loc.irisY = int16_t(std::lround(t.iris.y));
    loc.irisRadius = int16_t(std::lround(t.iris.r));
    loc.eyelidDegree = 2;
    auto lid = [](const sim::LidCurve& c, int32_t* words) {
        EyelidCurve e;
        e.vertexX = int32_t(std::lround(c.x0));
        e.vertexY = int32_t(std::lround(c.y0));
        e.divisor = int32_t(std::lround(c.p));
        e.score = 4000;
        int w[4];
        ASSERT_EQ(VertexFormToPolynomial(&e, w), 0);
        std::memcpy(words, w, sizeof w);
    };
    lid(t.upperLid, loc.upperEyelid);
    lid(t.lowerLid, loc.lowerEyelid);
    return loc;
}

std::vector<int32_t> Circles(const sim::EyeTruth& t) {
    return {int32_t(t.pupil.x), int32_t(t.pupil.y), int32_t(t.pupil.r), int32_t(t.iris.x), int32_t(t.iris.y), int32_t(t.iris.r)};
}

float Measure(const sim::EyeFrame& f, int measure, const std::vector<int32_t>& circle) {
    float score = -1;
    char err[64] = {};
    EXPECT_EQ(ComputeIrisQuality(f.image.pixels.data(), f.image.height, f.image.width, measure, circle.data(), &score, err), 0)
        << err;
    return score;
}

}  // namespace

// Every focus measure falls as the renderer's defocus grows, and an eye-less frame scores low.
TEST(IrisQuality, FocusMeasuresFallWithDefocusAndStayLowWithoutAnEye) {
    const double blurs[] = {0, 1, 2, 3, 4.5};
    std::vector<sim::EyeFrame> frames;
    for (double b : blurs) frames.push_back(sim::RenderEyeFrame(Scene(b)));
    sim::EyeSceneParams none = Scene();
    none.eyePresent = false;
    const sim::EyeFrame empty = sim::RenderEyeFrame(none);
    const std::vector<int32_t> circle = Circles(frames[0].truth);
    for (int measure : {0, 1, 2, 3, 4, 5, 6, 7, 8}) {
        std::vector<float> scores;
        for (const auto& f : frames) scores.push_back(Measure(f, measure, circle));
        for (size_t i = 1; i < scores.size(); ++i)
            if (measure == 8 && scores[i] == 0) EXPECT_LE(scores[i], scores[i - 1]) << measure;
            else EXPECT_LT(scores[i], scores[i - 1]) << "measure " << measure << " blur " << blurs[i];
        EXPECT_GT(scores[0], 1.25 * scores.back()) << measure;
        EXPECT_LT(Measure(empty, measure, circle), 0.4 * scores[0]) << measure;
    }
    // The sharp eye passes the capture library's gates; the eye-less frame fails measure 8 at once.
    EXPECT_GE(Measure(frames[0], 6, circle), 34);
    EXPECT_GT(Measure(frames[0], 8, circle), 10);
    EXPECT_EQ(Measure(empty, 8, circle), 0);
}

TEST(IrisQuality, EdgeCasesOfTheMeasures) {
    const std::vector<int32_t> circle(6, 5);
    std::vector<uint8_t> small(11 * 11, 100);
    float score = -1;
    char err[64] = {};
    EXPECT_EQ(ComputeIrisQuality(small.data(), 11, 11, 0, circle.data(), &score, err), -6);
    EXPECT_STREQ(err, "Too Small Image!");
    // 12 x 12 has one point; 4 x 4 has a negative count on both axes and must not pass.
    EXPECT_EQ(ComputeIrisQuality(small.data(), 12, 12 - 1, 6, circle.data(), &score, err), -6);
    std::vector<uint8_t> tiny(16, 0);
    EXPECT_EQ(ComputeIrisQuality(tiny.data(), 4, 4, 0, circle.data(), &score, err), -6);
    std::vector<uint8_t> flat(64 * 48, 90);
    for (int m : {0, 6, 1}) {
        score = -1;
        EXPECT_EQ(ComputeIrisQuality(flat.data(), 48, 64, m, circle.data(), &score, err), 0);
        EXPECT_EQ(score, 0.f) << m;
    }
    score = -1;
    EXPECT_EQ(ComputeIrisQuality(flat.data(), 48, 64, 9, circle.data(), &score, err), 0);
    EXPECT_EQ(score, 0.f);
    EXPECT_EQ(ComputeIrisQuality(nullptr, 48, 64, 0, circle.data(), &score, err), -1);
    EXPECT_STREQ(err, "Unexpected Null Pointer!");
    // Pupil in the top grid row: measures 4 and 5 read nothing above the image (ASan watches).
    std::vector<uint8_t> exact(64 * 48, 50);
    const int32_t top[6] = {30, 1, 8, 30, 2, 20};
    for (int m : {4, 5}) EXPECT_EQ(ComputeIrisQuality(exact.data(), 48, 64, m, top, &score, err), 0);
}

// Measure 1 leaves out the neighbourhood of specular spots once there are more than five.
TEST(IrisQuality, ReflectionsAreLeftOutOfMeasureOne) {
    const int W = 160, H = 120;
    std::vector<uint8_t> img(size_t(W) * H, 60);
    const int32_t circle[6] = {};
    float plain = 0, spotted = 0;
    ASSERT_EQ(ComputeIrisQuality(img.data(), H, W, 1, circle, &plain, nullptr), 0);
    // Six 5 x 5 spots of 255: their edges would give large gradients.
    for (int k = 0; k < 6; ++k)
        for (int y = 20; y < 25; ++y)
            for (int x = 15 + 22 * k; x < 20 + 22 * k; ++x) img[size_t(y) * W + x] = 255;
    ASSERT_EQ(ComputeIrisQuality(img.data(), H, W, 1, circle, &spotted, nullptr), 0);
    float all = 0;
    ASSERT_EQ(ComputeIrisQuality(img.data(), H, W, 0, circle, &all, nullptr), 0);
    EXPECT_EQ(plain, 0.f);
    EXPECT_GT(all, 5.f);
    // Only the five largest are left out: the sixth still counts.
    EXPECT_GT(spotted, 0.f);
    EXPECT_LT(spotted, all / 3);
}

TEST(Occlusion, ShareFollowsTheRenderedEyelids) {
    struct Case {
        double openness, gazeX, roll;
    } cases[] = {{1, 0, 0}, {0.8, 0, 0}, {0.55, 0, 0}, {1, 0.5, 0}};
    for (const auto& c : cases) {
        sim::EyeSceneParams s = Scene();
        s.openness = c.openness;
        s.gazeX = c.gazeX;
        const auto f = sim::RenderEyeFrame(s);
        const IrisLocation loc = Location(f.truth);
        float value = -1;
        std::vector<uint8_t> mask(f.image.pixels.size(), 7);
        char err[64] = {};
        ASSERT_EQ(BuildOcclusionMasks(f.image.pixels.data(), f.image.width, f.image.height, nullptr, &loc, &value,
                                      mask.data(), err),
                  0)
            << err;
        EXPECT_NEAR(1 - value, f.truth.occludedShare, 0.03) << c.openness << " " << c.gazeX;
        // The mask marks exactly the usable pixels: none outside the iris box.
        size_t marked = 0;
        for (size_t i = 0; i < mask.size(); ++i) {
            marked += mask[i] == 255;
            ASSERT_TRUE(mask[i] == 0 || mask[i] == 255);
        }
        const double annulus = M_PI * (double(loc.irisRadius) * loc.irisRadius - double(loc.pupilRadius) * loc.pupilRadius);
        EXPECT_NEAR(double(marked) / annulus, value, 0.01);
    }
}

TEST(Occlusion, LowScoresLeaveTheWholeAnnulusAndBadSizesAreRefused) {
    const auto f = sim::RenderEyeFrame(Scene());
    IrisLocation loc = Location(f.truth);
    loc.upperEyelid[3] = loc.lowerEyelid[3] = 3500;  // at the threshold: not used
    float value = 0;
    ASSERT_EQ(BuildOcclusionMasks(f.image.pixels.data(), 640, 480, nullptr, &loc, &value, nullptr, nullptr), 0);
    EXPECT_GT(value, 0.97f);
    EXPECT_LE(value, 1.0f);
    // A caller's threshold below the scores brings the lids back.
    int32_t options[16] = {};
    options[9] = 3000;
    ASSERT_EQ(BuildOcclusionMasks(f.image.pixels.data(), 640, 480, options, &loc, &value, nullptr, nullptr), 0);
    EXPECT_NEAR(1 - value, f.truth.occludedShare, 0.03);
    // Equal radii have no annulus: value 0, not a division by zero.
    loc.pupilRadius = loc.irisRadius;
    ASSERT_EQ(BuildOcclusionMasks(f.image.pixels.data(), 640, 480, nullptr, &loc, &value, nullptr, nullptr), 0);
    EXPECT_EQ(value, 0.f);
    char err[64] = {};
    EXPECT_EQ(BuildOcclusionMasks(f.image.pixels.data(), 0, 480, nullptr, &loc, &value, nullptr, err), -1);
    EXPECT_STREQ(err, "image size error");
    EXPECT_EQ(BuildOcclusionMasks(nullptr, 640, 480, nullptr, &loc, &value, nullptr, err), -11);
    EXPECT_STREQ(err, "input pointer is null");
    // A lid polynomial far outside the frame saturates instead of overflowing.
    loc = Location(f.truth);
    loc.upperEyelid[2] = 2147483647;
    ASSERT_EQ(BuildOcclusionMasks(f.image.pixels.data(), 640, 480, nullptr, &loc, &value, nullptr, nullptr), 0);
    EXPECT_EQ(value, 0.f);
}

TEST(Contrast, FollowsTheRenderedLevels) {
    for (double red : {80.0, 120.0, 160.0}) {
        sim::EyeSceneParams s = Scene();
        s.red1 = s.red2 = red;
        const auto f = sim::RenderEyeFrame(s);
        const IrisLocation loc = Location(f.truth);
        IrisQualityRecord rec;
        std::memset(&rec, 0xFF, sizeof rec);
        ASSERT_EQ(MeasureIrisContrast(f.image.pixels.data(), 640, 480, &loc, &rec), 0);
        const double ip = f.truth.irisLevel - f.truth.pupilLevel, si = f.truth.scleraLevel - f.truth.irisLevel;
        EXPECT_NEAR(rec.bytes[7], ip, 0.15 * ip + 4) << red;
        EXPECT_NEAR(rec.bytes[8], si, 0.2 * si + 4) << red;
        EXPECT_EQ(rec.bytes[6], 0xFF);  // nothing else is touched
    }
}

TEST(Contrast, DarkScleraGivesNoContrastAndEmptyClassesGiveZero) {
    // One row: pupil 20, iris 140..160, "sclera" 100 darker than the iris.
    const int W = 200, H = 3;
    std::vector<uint8_t> img(size_t(W) * H, 0);
    IrisLocation loc{};
    loc.pupilX = 100, loc.pupilY = 1, loc.pupilRadius = 20, loc.irisX = 100, loc.irisY = 1, loc.irisRadius = 60;
    for (int x = 0; x < W; ++x) {
        const int d = std::abs(x - 100);
        img[size_t(W) + x] = uint8_t(d < 20 ? 20 : d < 60 ? 140 + x % 21 : 100);
    }
    IrisQualityRecord rec{};
    ASSERT_EQ(MeasureIrisContrast(img.data(), W, H, &loc, &rec), 0);
    EXPECT_NEAR(rec.bytes[7], 130, 3);
    EXPECT_EQ(rec.bytes[8], 0);  // not about 206
    // Pupil radius 0 and a row outside the image: no division by an empty class.
    loc.pupilRadius = 0;
    ASSERT_EQ(MeasureIrisContrast(img.data(), W, H, &loc, &rec), 0);
    EXPECT_GE(rec.bytes[7], 140);  // the empty pupil class counts as grey 0
    EXPECT_LE(rec.bytes[7], 160);
    loc.pupilY = 40;
    ASSERT_EQ(MeasureIrisContrast(img.data(), W, H, &loc, &rec), 0);
    EXPECT_EQ(rec.bytes[7], 0);
    EXPECT_EQ(rec.bytes[8], 0);
}

// The mask follows the rule pixel by pixel: strictly between the lids, inside or on the iris
// circle, outside or on the pupil circle (a flat upper lid through the iris centre here).
TEST(Occlusion, MaskFollowsTheRuleExactly) {
    const int W = 120, H = 100;
    std::vector<uint8_t> img(size_t(W) * H, 100);
    IrisLocation loc{};
    loc.pupilX = 61, loc.pupilY = 50, loc.pupilRadius = 9, loc.irisX = 60, loc.irisY = 50, loc.irisRadius = 30;
    loc.eyelidDegree = 2;
    loc.upperEyelid[0] = 32 * 50;  // row 50 at every column
    loc.upperEyelid[3] = 4000;
    loc.lowerEyelid[0] = 32 * 75, loc.lowerEyelid[2] = -2097152 / 100;  // row 75 - (x^2) / 100
    loc.lowerEyelid[3] = 4000;
    std::vector<uint8_t> mask(img.size());
    float value = 0;
    ASSERT_EQ(BuildOcclusionMasks(img.data(), W, H, nullptr, &loc, &value, mask.data(), nullptr), 0);
    int count = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const double lower = 75 + double(-2097152 / 100) * x * x / 2097152;  // the fixed-point words
            const bool usable = y > 50 && y < int(std::trunc(lower)) && (x - 60) * (x - 60) + (y - 50) * (y - 50) <= 900 &&
                                (x - 61) * (x - 61) + (y - 50) * (y - 50) >= 81;
            count += usable;
            ASSERT_EQ(mask[size_t(y) * W + x], usable ? 255 : 0) << x << "," << y;
        }
    EXPECT_FLOAT_EQ(value, float(count / (3.1415926 * (900 - 81))));
    float v2 = 0;
    EXPECT_EQ(BuildOcclusionMasks(img.data(), W, H, nullptr, nullptr, &v2, nullptr, nullptr), -11);
    EXPECT_EQ(BuildOcclusionMasks(img.data(), W, H, nullptr, &loc, nullptr, nullptr, nullptr), -11);
}

TEST(Contrast, ScanReachesColumnOneAndRowZero) {
    // Row 0 carries the eye; the left sclera band is cut to column 1 alone, which is bright.
    const int W = 200, H = 2;
    std::vector<uint8_t> img(size_t(W) * H, 0);
    IrisLocation loc{};
    loc.pupilX = 30, loc.pupilY = 0, loc.pupilRadius = 10, loc.irisX = 30, loc.irisY = 0, loc.irisRadius = 28;
    for (int x = 0; x < W; ++x) {
        const int d = x - 30;
        img[size_t(x)] = uint8_t(x == 1 ? 250 : (d >= -10 && d < 10) ? 20 : (d >= -28 && d < 28) ? 60 + x % 5 : 100);
    }
    IrisQualityRecord rec{};
    ASSERT_EQ(MeasureIrisContrast(img.data(), W, H, &loc, &rec), 0);
    // Sclera samples: column 1 (250) and columns 58..65 (100): the brighter half is all nine.
    const int S = (250 + 8 * 100) / 9;
    EXPECT_GE(rec.bytes[8], S - 62 - 2);
    EXPECT_LE(rec.bytes[8], S - 60);
    EXPECT_NEAR(rec.bytes[7], 62 - 20, 2);
    EXPECT_EQ(MeasureIrisContrast(nullptr, W, H, &loc, &rec), kBadArgument);
    EXPECT_EQ(MeasureIrisContrast(img.data(), W, H, nullptr, &rec), kBadArgument);
    EXPECT_EQ(MeasureIrisContrast(img.data(), W, H, &loc, nullptr), kBadArgument);
    EXPECT_EQ(MeasureIrisContrast(img.data(), 0, H, &loc, &rec), kBadArgument);
}

// Sobel magnitudes on a plane: grey = 5 y + 2 x gives |gx| + |gy| = 4 * 2 * 2 + 4 * 2 * 5 = 56
// at every grid point, so every gradient mean is exactly 56.
TEST(IrisQuality, SobelOnAPlaneAndSmallImagesPerMeasure) {
    const int rows = 24, cols = 28;
    std::vector<uint8_t> img(size_t(rows) * cols);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) img[size_t(y) * cols + x] = uint8_t(5 * y + 2 * x);
    const int32_t circle[6] = {14, 12, 2, 14, 12, 20};
    for (int m : {0, 6}) {
        float score = 0;
        ASSERT_EQ(ComputeIrisQuality(img.data(), rows, cols, m, circle, &score, nullptr), 0);
        EXPECT_FLOAT_EQ(score, 56.f) << m;
    }
    float score = 0;
    ASSERT_EQ(ComputeIrisQuality(img.data(), rows, cols, 2, circle, &score, nullptr), 0);
    EXPECT_FLOAT_EQ(score, 56.f);
    std::vector<uint8_t> small(11 * 40, 9);
    for (int m : {0, 1, 6, 8}) {
        char err[64] = {};
        EXPECT_EQ(ComputeIrisQuality(small.data(), 11, 40, m, circle, &score, err), -6) << m;
        EXPECT_STREQ(err, "Too Small Image!");
    }
}
