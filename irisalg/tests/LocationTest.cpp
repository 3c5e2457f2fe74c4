#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "TskIrisAPI.h"
#include "irisalg/Location.h"
#include "sim/EyeRender.h"

using namespace irisalg;

namespace {

// Switches the location and quality modules on for the test's lifetime (as library start-up does).
struct Modules {
    Modules() {
        SetModule(Module::Location, true);
        SetModule(Module::Quality, true);
    }
    ~Modules() {
        SetModule(Module::Location, false);
        SetModule(Module::Quality, false);
    }
};

sim::EyeSceneParams Scene(uint32_t subject, bool right = false) {
    sim::EyeSceneParams s;
    s.subjectSeed = subject;
    s.rightEye = right;
    s.red1 = s.red2 = 120;
    s.frameSeed = subject * 7 + 1;
    return s;
}

struct Errors {
    double pupilCentre, pupilR, irisCentre, irisR, upper, lower;
    bool Within(double circle, double lid) const {
        return pupilCentre <= circle && pupilR <= circle && irisCentre <= circle && irisR <= circle && upper <= lid &&
               lower <= lid;
    }
};

// Distance of a located lid from the renderer's at the located vertex column, and of the vertex
// rows at the true vertex column.
double LidError(const IrisLocation& loc, const int32_t* words, const sim::LidCurve& truth) {
    const double atTruthVertex = TskIris_Polyval(words, loc.eyelidDegree, truth.x0);
    return std::abs(atTruthVertex - truth.y0);
}

Errors Compare(const IrisLocation& loc, const sim::EyeTruth& t) {
    Errors e{};
    e.pupilCentre = std::hypot(loc.pupilX - t.pupil.x, loc.pupilY - t.pupil.y);
    e.pupilR = std::abs(loc.pupilRadius - t.pupil.r);
    e.irisCentre = std::hypot(loc.irisX - t.iris.x, loc.irisY - t.iris.y);
    e.irisR = std::abs(loc.irisRadius - t.iris.r);
    e.upper = LidError(loc, loc.upperEyelid, t.upperLid);
    e.lower = LidError(loc, loc.lowerEyelid, t.lowerLid);
    return e;
}

std::string Describe(const Errors& e) {
    char b[160];
    std::snprintf(b, sizeof b, "pupil %.1f/%.1f iris %.1f/%.1f lids %.1f/%.1f", e.pupilCentre, e.pupilR, e.irisCentre,
                  e.irisR, e.upper, e.lower);
    return b;
}

}  // namespace

namespace {

struct Case {
    const char* what;
    uint32_t subject;
    bool right;
    double cx = 0.5, cy = 0.5, distance = 300, white = 0, openness = 1, gazeX = 0, blur = 0;
};

sim::EyeFrame Render(const Case& c) {
    sim::EyeSceneParams s = Scene(c.subject, c.right);
    s.centreX = c.cx, s.centreY = c.cy, s.distanceMm = c.distance, s.white = c.white, s.openness = c.openness;
    s.gazeX = c.gazeX, s.extraBlur = c.blur;
    return sim::RenderEyeFrame(s);
}

int32_t Locate(const sim::EyeFrame& f, int method, IrisLocation* loc, char* err) {
    const int32_t opts[6] = {method, 0, 0, 0, 0, 0};
    return TskIris_Location(f.image.pixels.data(), f.image.width, f.image.height, loc, opts, err);
}

// Sharp eyes of several subjects and both sides: pupil sizes (white light constricts, distance
// scales), off-centre eyes and gaze, lower lids, glints on the pupil (red LEDs) and on the iris
// (white LED).
const Case kSharp[] = {
    {"plain", 1, false},
    {"right eye", 2, true},
    {"near, large", 3, false, 0.5, 0.5, 270},
    {"far, small", 4, true, 0.5, 0.5, 360},
    {"constricted, iris glint", 5, false, 0.5, 0.5, 300, 80},
    {"off-centre left", 6, true, 0.38, 0.45},
    {"off-centre right", 7, false, 0.62, 0.56},
    {"gaze", 8, true, 0.5, 0.5, 300, 0, 1, 0.12},
    {"half-closed lids", 9, false, 0.5, 0.5, 300, 0, 0.75},
    {"constricted right", 10, true, 0.45, 0.5, 320, 120},
};

}  // namespace

// The default method (pupil A or B, boundary search) against the renderer's truth: centres and
// radii within 3 pixels, eyelid rows at the true vertex column within 5 pixels on most frames
// (within 8 on every frame: the parabola's four divisors only approximate the rendered lids).
TEST(IrisLocation, SharpEyesMeetTheTolerances) {
    Modules on;
    int met = 0;
    for (const Case& c : kSharp) {
        const sim::EyeFrame f = Render(c);
        IrisLocation loc{};
        char err[64] = {};
        ASSERT_EQ(Locate(f, 13, &loc, err), 0) << c.what << ": " << err;
        const Errors e = Compare(loc, f.truth);
        EXPECT_TRUE(e.Within(3, 8)) << c.what << ": " << Describe(e);
        met += e.Within(3, 5);
        EXPECT_EQ(loc.locationFlag, 255);
        EXPECT_EQ(loc.eyelidDegree, 2);
        EXPECT_GT(loc.upperEyelid[3], 0) << c.what;
        EXPECT_GT(loc.lowerEyelid[3], 0) << c.what;
    }
    std::printf("boundary search: %d of %zu sharp eyes within the tolerances\n", met, std::size(kSharp));
    EXPECT_GE(met, 7);
}

// The class F localiser (method 3) on a subset, and a defocused eye still located roughly.
TEST(IrisLocation, ClassFAndDefocus) {
    Modules on;
    for (size_t i : {0u, 1u, 4u, 6u, 8u}) {
        const sim::EyeFrame f = Render(kSharp[i]);
        IrisLocation loc{};
        char err[64] = {};
        ASSERT_EQ(Locate(f, 3, &loc, err), 0) << kSharp[i].what << ": " << err;
        const Errors e = Compare(loc, f.truth);
        EXPECT_TRUE(e.Within(3, 8)) << kSharp[i].what << ": " << Describe(e);
    }
    Case blurred{"defocus", 11, false};
    blurred.blur = 2.5;
    const sim::EyeFrame f = Render(blurred);
    IrisLocation loc{};
    ASSERT_EQ(Locate(f, 13, &loc, nullptr), 0);
    const Errors e = Compare(loc, f.truth);
    EXPECT_TRUE(e.Within(5, 8)) << Describe(e);
}

// Frames without a usable eye fail with the iris step's code and message; nothing is written.
TEST(IrisLocation, NegativesFailWithTheIrisStepCode) {
    Modules on;
    Case closed{"closed", 3, false};
    closed.openness = 0;
    Case left{"at the left border", 4, false, 0.04};
    Case right{"at the right border", 5, true, 0.96};
    Case top{"at the top border", 6, false, 0.5, 0.05};
    for (const Case& c : {closed, left, right, top}) {
        const sim::EyeFrame f = Render(c);
        IrisLocation loc{};
        loc.pupilX = 77;
        char err[64] = {};
        EXPECT_EQ(Locate(f, 13, &loc, err), -8) << c.what;
        EXPECT_STREQ(err, "Iris and eyelid estimation error") << c.what;
        EXPECT_EQ(loc.pupilX, 77) << c.what;
    }
}

TEST(IrisLocation, ExportChecksModuleAndPointers) {
    const sim::EyeFrame f = Render(kSharp[0]);
    IrisLocation loc{};
    char err[64] = {};
    EXPECT_EQ(Locate(f, 13, &loc, err), -6);
    EXPECT_FLOAT_EQ(TskIris_IrisQuality(f.image.pixels.data(), 640, 480, nullptr, err), -6.0f);
    Modules on;
    EXPECT_EQ(TskIris_Location(nullptr, 640, 480, &loc, nullptr, err), -11);
    EXPECT_STREQ(err, "Unexpected NULL pointer");
    EXPECT_EQ(TskIris_Location(f.image.pixels.data(), 640, 480, nullptr, nullptr, err), -11);
    EXPECT_FLOAT_EQ(TskIris_IrisQuality(nullptr, 640, 480, nullptr, err), -11.0f);
    // A measure that fails inside the module scores 0.0 with its message.
    const int32_t measure0[17] = {0};
    std::memset(err, 0, sizeof err);
    EXPECT_FLOAT_EQ(TskIris_IrisQuality(f.image.pixels.data(), 8, 8, measure0, err), 0.0f);
    EXPECT_STREQ(err, "Too Small Image!");
}

// The method table's caching: groups run their steps once, the iris step "none" only succeeds on
// a slot a class F method filled, concentric methods move the iris centre onto the pupil's.
TEST(IrisLocation, MethodTableAndCaches) {
    const sim::EyeFrame f = Render(kSharp[1]);
    LocationContext* c = CreateLocationContext(f.image.pixels.data(), 640, 480);
    ASSERT_NE(c, nullptr);
    auto result = std::make_unique<LocationResult>();
    EXPECT_EQ(RunLocationMethod(c, 5, result.get()), -2);
    EXPECT_EQ(c->slots[2].words[kWordPupilR], -1);
    EXPECT_EQ(RunLocationMethod(c, 3, result.get()), -1) << "a failed slot fails at once";
    FreeLocationContext(c);

    c = CreateLocationContext(f.image.pixels.data(), 640, 480);
    ASSERT_EQ(RunLocationMethod(c, 3, result.get()), 0);
    const LocationResult first = *result;
    EXPECT_EQ(RunLocationMethod(c, 5, result.get()), 0);
    EXPECT_EQ(std::memcmp(result->words, first.words, sizeof first.words), 0);
    EXPECT_EQ(result->words[kWordFlag], 255);
    EXPECT_EQ(result->words[kWordPupilScore], c->pupil[0][3]);
    // Method 1 then 2: one pupil step A run (its cache), method 2 concentric.
    ASSERT_EQ(RunLocationMethod(c, 1, result.get()), 0);
    const LocationResult one = *result;
    c->pupil[0][0] += 1000;  // a rerun of step A would read this moved cache
    ASSERT_EQ(RunLocationMethod(c, 2, result.get()), 0);
    EXPECT_EQ(result->words[kWordPupilX], one.words[kWordPupilX]);
    EXPECT_EQ(result->words[kWordIrisX], one.words[kWordPupilX]);
    EXPECT_EQ(result->words[kWordIrisY], one.words[kWordPupilY]);
    EXPECT_NE(one.words[kWordIrisX], one.words[kWordPupilX]) << "the rendered pupil is off the iris centre";
    // Method 0 takes the first computed slot (group 1 here).
    ASSERT_EQ(RunLocationMethod(c, 0, result.get()), 0);
    EXPECT_EQ(std::memcmp(result->words, one.words, sizeof one.words), 0);
    // A location given in slot 0 serves every method.
    c->slots[0] = one;
    c->slots[0].words[kWordPupilX] = 111;
    ASSERT_EQ(RunLocationMethod(c, 22, result.get()), 0);
    EXPECT_EQ(result->words[kWordPupilX], 111);
    EXPECT_EQ(result->words[kWordIrisX], 111);
    FreeLocationContext(c);
}

TEST(IrisLocation, DefaultRadiusRangesFollowTheHeight) {
    const struct {
        int height, pmin, pmax, imin, imax;
    } rows[] = {{480, 22, 72, 72, 160}, {960, 44, 192, 72, 480}, {481, 22, 96, 72, 480}, {240, 22, 72, 72, 160}};
    for (const auto& r : rows) {
        LocationContext* c = CreateLocationContext(nullptr, 640, r.height);
        EXPECT_EQ(c->pupilMin, r.pmin) << r.height;
        EXPECT_EQ(c->pupilMax, r.pmax) << r.height;
        EXPECT_EQ(c->irisMin, r.imin) << r.height;
        EXPECT_EQ(c->irisMax, r.imax) << r.height;
        FreeLocationContext(c);
    }
}

// The location record's conversion: circles, degree, score byte, flag, lids in fixed point.
TEST(IrisLocation, CopyLocationResultConvertsTheLids) {
    LocationResult r{};
    int32_t* w = r.words;
    w[kWordPupilX] = 320, w[kWordPupilY] = 240, w[kWordPupilR] = 50;
    w[kWordIrisX] = 322, w[kWordIrisY] = 238, w[kWordIrisR] = 115;
    w[kWordPupilScore] = 0x1234, w[kWordFlag] = 255;
    *UpperLid(&r) = EyelidCurve{100, 50, 400, 7000, {0, 0}};
    IrisLocation loc{};
    CopyLocationResult(&r, &loc);
    EXPECT_EQ(loc.pupilX, 320);
    EXPECT_EQ(loc.irisRadius, 115);
    EXPECT_EQ(loc.eyelidDegree, 2);
    EXPECT_EQ(loc.pupilScore, 0x34);
    EXPECT_EQ(loc.locationFlag, 255);
    EXPECT_EQ(loc.upperEyelid[0], 2400);
    EXPECT_EQ(loc.upperEyelid[1], -4096);
    EXPECT_EQ(loc.upperEyelid[2], 5243);
    EXPECT_EQ(loc.upperEyelid[3], 7000);
    for (int k = 0; k < 6; ++k) EXPECT_EQ(loc.lowerEyelid[k], 0) << "a zero divisor leaves the words 0";
}

// Quality analysis: located or given, with the detection byte from the installed side check.
TEST(IrisLocation, QualityAnalysisFillsTheRecord) {
    Modules on;
    const sim::EyeFrame f = Render(kSharp[0]);
    int32_t options[17] = {};
    IrisLocation loc{};
    IrisQualityRecord q{};
    char err[64] = {};
    ASSERT_EQ(TskIris_QualityAnalysis(f.image.pixels.data(), 640, 480, options, &loc, &q, err), 0) << err;
    EXPECT_EQ(q.bytes[0], 1);
    EXPECT_NEAR(q.bytes[6], 100 * f.truth.pupil.r / f.truth.iris.r, 3);
    EXPECT_NEAR(q.bytes[2], 100 * (1 - f.truth.occludedShare), 6);
    EXPECT_EQ(q.bytes[5], 0) << "no side check installed";
    EXPECT_GT(q.bytes[1], 0);
    EXPECT_GT(q.bytes[7], 40);  // iris above pupil grey
    EXPECT_GT(q.bytes[8], 20);  // sclera above iris grey
    SetEyeSideCheck([](const uint8_t*, int, int, IrisCircle iris, float* c) {
        *c = iris.r > 0 ? 0.625f : 2.0f;
        return 0;
    });
    options[0] = 1;
    IrisQualityRecord given{};
    ASSERT_EQ(TskIris_QualityAnalysis(f.image.pixels.data(), 640, 480, options, &loc, &given, err), 0);
    EXPECT_EQ(given.bytes[5], 62);
    SetEyeSideCheck(nullptr);
    for (int b : {1, 2, 3, 4, 6, 7, 8}) EXPECT_EQ(given.bytes[b], q.bytes[b]) << b;
    loc.eyelidDegree = 4;
    EXPECT_EQ(TskIris_QualityAnalysis(f.image.pixels.data(), 640, 480, options, &loc, &given, err), -1);
    EXPECT_STREQ(err, "invalidate iris circle ");
    EXPECT_EQ(given.bytes[0], 0);
    EXPECT_EQ(given.bytes[5], 0xFF);
    EXPECT_EQ(TskIris_QualityAnalysis(f.image.pixels.data(), 640, 480, options, nullptr, &given, err), -11);
    // Location off: the analysis passes the location's code on.
    SetModule(Module::Location, false);
    options[0] = 0;
    EXPECT_EQ(TskIris_QualityAnalysis(f.image.pixels.data(), 640, 480, options, nullptr, &given, err), -6);
}
