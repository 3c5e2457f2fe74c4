#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "TskIrisAPI.h"
#include "irisalg/EyeDetector.h"
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
    // The upper lid's edge measure takes the stronger of the two edges of the dark lash line along
    // the lid: its bottom (the lid edge) or its top (skin above the lashes), whichever is nearer.
    e.upper = std::min(LidError(loc, loc.upperEyelid, t.upperLid), LidError(loc, loc.upperEyelid, t.upperLashTop));
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
    bool eye = true;
};

sim::EyeFrame Render(const Case& c) {
    sim::EyeSceneParams s = Scene(c.subject, c.right);
    s.centreX = c.cx, s.centreY = c.cy, s.distanceMm = c.distance, s.white = c.white, s.openness = c.openness;
    s.gazeX = c.gazeX, s.extraBlur = c.blur, s.eyePresent = c.eye;
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
// radii within 3 pixels, eyelid rows at the true vertex column within 5 pixels on nine frames of ten
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
    EXPECT_GE(met, 9);
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

// Frames without a usable eye fail with the iris step's code and message; nothing is written. An
// iris below the smallest configured radius (72) and a frame without an eye leave only a weak ring,
// or a ring pressed against the smallest radius whose edge lies further in: that is no limbus, not
// a location, for the boundary search (13) and the class F localiser (3) alike. Eyes cut by the
// border are refused by the boundary search; the class F localiser locates what it sees of them.
TEST(IrisLocation, NegativesFailWithTheIrisStepCode) {
    Modules on;
    Case closed{"closed", 3, false};
    closed.openness = 0;
    Case left{"at the left border", 4, false, 0.04};
    Case right{"at the right border", 5, true, 0.96};
    Case top{"at the top border", 6, false, 0.5, 0.05};
    Case under500{"iris just under the smallest radius (500 mm)", 11, false, 0.5, 0.5, 500};
    Case under525{"iris just under the smallest radius (525 mm)", 12, true, 0.5, 0.5, 525};
    Case small1300{"iris too small (1300 mm)", 7, false, 0.5, 0.5, 1300};
    Case small2000{"iris too small (2000 mm)", 8, true, 0.5, 0.5, 2000};
    Case noEye{"no eye", 9, false};
    noEye.eye = false;
    // Two frames whose best class F ring lies well above the smallest radius but is weak.
    Case room{"no eye, another room", 24, true, 0.5, 0.5, 437};
    room.eye = false;
    Case shut{"closed, near", 26, true, 0.5, 0.5, 311};
    shut.openness = 0;
    for (const Case& c : {closed, left, right, top, under500, under525, small1300, small2000, noEye, room, shut}) {
        const sim::EyeFrame f = Render(c);
        if (c.eye && c.distance >= 500 && c.distance < 1000) {
            ASSERT_LT(f.truth.iris.r, 70) << c.what;
        }
        const bool border = c.cx < 0.1 || c.cx > 0.9 || c.cy < 0.1;
        for (int method : {13, 3}) {
            if (border && method == 3) continue;
            IrisLocation loc{};
            loc.pupilX = 77;
            char err[64] = {};
            EXPECT_EQ(Locate(f, method, &loc, err), -8) << c.what << ", method " << method;
            EXPECT_STREQ(err, "Iris and eyelid estimation error") << c.what;
            EXPECT_EQ(loc.pupilX, 77) << c.what;
        }
    }
    // The weakest limbus that still meets the tolerances, and irises just above the smallest
    // radius: both searches locate them.
    const Case edges[] = {{"small but in range", 7, false, 0.5, 0.5, 450},
                          {"just above the smallest radius (450 mm)", 9, false, 0.5, 0.5, 450}};
    for (const Case& c : edges) {
        const sim::EyeFrame f = Render(c);
        ASSERT_GT(f.truth.iris.r, 74) << c.what;
        ASSERT_LT(f.truth.iris.r, 83) << c.what;
        for (int method : {13, 3}) {
            IrisLocation loc{};
            ASSERT_EQ(Locate(f, method, &loc, nullptr), 0) << c.what << ", method " << method;
            EXPECT_TRUE(Compare(loc, f.truth).Within(3, 1000)) << c.what << ", method " << method << ": "
                                                                << Describe(Compare(loc, f.truth));
        }
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
    EXPECT_EQ(result->words[kWordState], 255);
    EXPECT_EQ(result->words[kWordScore], c->pupil[0][3]);
    // Group 6: method 17 (iris step none) returns what method 15 (class F) computed.
    ASSERT_EQ(RunLocationMethod(c, 15, result.get()), 0);
    const LocationResult fifteen = *result;
    ASSERT_EQ(RunLocationMethod(c, 17, result.get()), 0);
    EXPECT_EQ(std::memcmp(result->words, fifteen.words, sizeof fifteen.words), 0);
    EXPECT_EQ(RunLocationMethod(c, 23, result.get()), -2) << "group 8 was not computed";
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

// Option words 4 and 5 are the smallest and the largest iris radius of the search (each used when
// above 0): a range about the true radius finds it, a range that leaves it out gives another
// boundary or none, never the true one.
TEST(IrisLocation, IrisRadiusRangeOfTheOptions) {
    Modules on;
    for (const Case& c : {kSharp[0], kSharp[2], kSharp[3]}) {
        const sim::EyeFrame f = Render(c);
        const int truth = int(std::lround(f.truth.iris.r));
        const auto locate = [&](int32_t smallest, int32_t largest, IrisLocation* loc) {
            const int32_t opts[6] = {13, 0, 0, 0, smallest, largest};
            char err[64] = {};
            *loc = {};
            return TskIris_Location(f.image.pixels.data(), f.image.width, f.image.height, loc, opts, err);
        };
        IrisLocation loc{};
        for (const auto& [smallest, largest] : {std::pair{0, 0}, std::pair{truth - 10, truth + 10}}) {
            ASSERT_EQ(locate(smallest, largest, &loc), 0) << c.what;
            EXPECT_NEAR(loc.irisRadius, truth, 3) << c.what << " " << smallest << ".." << largest;
        }
        const int32_t below = locate(0, truth - 24, &loc);
        EXPECT_TRUE(below == -8 || (below == 0 && loc.irisRadius < truth - 10)) << c.what << ": " << below << " r "
                                                                                 << loc.irisRadius;
        const int32_t above = locate(truth + 24, 0, &loc);
        EXPECT_TRUE(above == -8 || (above == 0 && loc.irisRadius > truth + 10)) << c.what << ": " << above << " r "
                                                                                 << loc.irisRadius;
    }
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
    w[kWordScore] = 0x1234, w[kWordState] = 255;
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

// Quality analysis: located or given, with the detection byte from the side check around the iris.
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
    EXPECT_GT(q.bytes[1], 0);
    EXPECT_GT(q.bytes[7], 40);  // iris above pupil grey
    EXPECT_GT(q.bytes[8], 20);  // sclera above iris grey
    // The eye corners sit level with and either side of a centred iris: a confident detection,
    // the side check's own confidence in hundredths.
    EXPECT_GE(q.bytes[5], 60);
    EXPECT_LE(q.bytes[5], 100);
    DetectorContext* detector = nullptr;
    ASSERT_EQ(DetectorCreate(nullptr, &detector), 0);
    const int32_t circle[3] = {loc.irisX, loc.irisY, loc.irisRadius};
    SideCheckRecord side{};
    ASSERT_EQ(SideCheck(detector, f.image.pixels.data(), 640, 480, 8, circle, &side), 0);
    EXPECT_EQ(q.bytes[5], int(side.confidence * 100));
    // A circle one iris radius beside the eye is far off the corners' midpoint: no confidence.
    options[0] = 1;
    IrisLocation beside = loc;
    beside.irisX = int16_t(loc.irisX + loc.irisRadius);
    beside.pupilX = beside.irisX;
    IrisQualityRecord given{};
    ASSERT_EQ(TskIris_QualityAnalysis(f.image.pixels.data(), 640, 480, options, &beside, &given, err), 0);
    const int32_t besideCircle[3] = {beside.irisX, beside.irisY, beside.irisRadius};
    ASSERT_EQ(SideCheck(detector, f.image.pixels.data(), 640, 480, 8, besideCircle, &side), 0);
    DetectorDestroy(detector);
    EXPECT_LT(side.confidence, 0.3f);
    EXPECT_EQ(given.bytes[5], std::max(0, int(side.confidence * 100)));
    // No eye at all (an even grey): neither side is found and the byte is 0.
    const std::vector<uint8_t> grey(640 * 480, 128);
    ASSERT_EQ(TskIris_QualityAnalysis(grey.data(), 640, 480, options, &loc, &given, err), 0);
    EXPECT_EQ(given.bytes[0], 1);
    EXPECT_EQ(given.bytes[5], 0);
    ASSERT_EQ(TskIris_QualityAnalysis(f.image.pixels.data(), 640, 480, options, &loc, &given, err), 0);
    EXPECT_EQ(given.bytes[5], q.bytes[5]);
    for (int b : {1, 2, 3, 4, 6, 7, 8}) EXPECT_EQ(given.bytes[b], q.bytes[b]) << b;
    // A given location without radii: no ratio byte, and no division by zero.
    IrisLocation bare = loc;
    bare.pupilRadius = bare.irisRadius = 0;
    ASSERT_EQ(TskIris_QualityAnalysis(f.image.pixels.data(), 640, 480, options, &bare, &given, err), 0);
    EXPECT_EQ(given.bytes[6], 0xFF);
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

namespace {

// A dark disc on a mid-grey field.
std::vector<uint8_t> Disc(int w, int h, int cx, int cy, int r, uint8_t in = 30, uint8_t out = 150) {
    std::vector<uint8_t> img(size_t(w) * h, out);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) img[size_t(y) * w + x] = in;
    return img;
}

}  // namespace

// Both pupil searches find a drawn disc; a large image is searched in its central crop and the
// result shifted back; a flat image gives method A a zero score and method B no ring.
TEST(PupilSearch, DiscsCropsAndFlatImages) {
    int32_t x, y, r, s;
    const auto small = Disc(640, 480, 300, 250, 40);
    ASSERT_EQ(LocatePupilSymmetry(small.data(), 640, 480, 0, &x, &y, &r, &s, 22, 72), 0);
    EXPECT_NEAR(x, 300, 4);
    EXPECT_NEAR(y, 250, 4);
    EXPECT_NEAR(r, 40, 8);
    EXPECT_GT(s, 0);
    ASSERT_EQ(LocatePupilBalanced(small.data(), 640, 480, 0, &x, &y, &r, &s, 22, 160, 480 / 150 + 1), 0);
    EXPECT_NEAR(x, 300, 4);
    EXPECT_NEAR(y, 250, 4);
    EXPECT_NEAR(r, 40, 8);
    // Flipped rows are searched upside down and mapped back.
    ASSERT_EQ(LocatePupilSymmetry(small.data(), 640, 480, 1, &x, &y, &r, &s, 22, 72), 0);
    EXPECT_NEAR(y, 250, 4);
    const auto big = Disc(1600, 1200, 700, 500, 48);
    ASSERT_EQ(LocatePupilSymmetry(big.data(), 1600, 1200, 0, &x, &y, &r, &s, 22, 72), 0);
    EXPECT_NEAR(x, 700, 4);
    EXPECT_NEAR(y, 500, 4);
    const std::vector<uint8_t> flat(640 * 480, 120);
    ASSERT_EQ(LocatePupilSymmetry(flat.data(), 640, 480, 0, &x, &y, &r, &s, 22, 72), 0);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(LocatePupilBalanced(flat.data(), 640, 480, 0, &x, &y, &r, &s, 22, 160, 4), -1);
    EXPECT_EQ(LocatePupilSymmetry(nullptr, 640, 480, 0, &x, &y, &r, &s, 22, 72), 1);
}

// An edge whose dark side faces straight down never votes; turned upside down it does.
TEST(PupilSearch, DownwardEdgesNeverVote) {
    std::vector<uint8_t> img(64 * 64, 200);
    for (int y = 32; y < 64; ++y)
        for (int x = 0; x < 64; ++x) img[size_t(y) * 64 + x] = 40;
    int32_t x, y, r, s;
    RadialVoteSearch(img.data(), 64, 64, &x, &y, &r, &s, 4, 8, 33, 255);
    EXPECT_EQ(s, 0);
    std::reverse(img.begin(), img.end());
    RadialVoteSearch(img.data(), 64, 64, &x, &y, &r, &s, 4, 8, 33, 255);
    EXPECT_GT(s, 0);
}

TEST(PupilSearch, RingChoiceAndPeak) {
    const int32_t xs[8] = {10, 10, 10, 10, 10, 10, 10, 10}, ys[8] = {10, 10, 10, 10, 10, 10, 10, 10};
    int32_t index = -7;
    const int32_t none[4] = {0, 2, 1, 0};  // every v / (i + 3) below 1
    EXPECT_EQ(ChoosePupilRing(none, xs, ys, 4, &index), -1);
    EXPECT_EQ(ChoosePupilRing(none, xs, ys, 0, &index), -1);
    const int32_t one[1] = {30};
    EXPECT_EQ(ChoosePupilRing(one, xs, ys, 1, &index), 1);
    EXPECT_EQ(index, 0);
    // One clear ring at layer 4: the strongest wins.
    const int32_t single[8] = {3, 8, 20, 60, 210, 60, 20, 10};
    EXPECT_EQ(ChoosePupilRing(single, xs, ys, 8, &index), 1);
    EXPECT_EQ(index, 4);
    // A strong outer ring (layer 6) and a consistent inner one (layer 2): the inner one wins.
    const int32_t two[8] = {3, 10, 200, 30, 20, 80, 450, 90};
    EXPECT_EQ(ChoosePupilRing(two, xs, ys, 8, &index), 2);
    EXPECT_EQ(index, 2);
    // With the inner ring's centre far away it does not.
    const int32_t farX[8] = {10, 10, 60, 10, 10, 10, 10, 10};
    EXPECT_EQ(ChoosePupilRing(two, farX, ys, 8, &index), 2);
    EXPECT_EQ(index, 6);

    std::vector<uint32_t> map(10 * 10, 0);
    int32_t px, py;
    uint32_t v;
    map[5 * 10 + 6] = 700;
    map[6 * 10 + 3] = 700;
    map[0] = 100000;  // inside the margin: neither counted nor chosen
    ASSERT_EQ(FindMapPeak(map.data(), 10, 10, &px, &py, &v, 4, 2), 0);
    EXPECT_EQ(px, 6);
    EXPECT_EQ(py, 5);
    EXPECT_EQ(v, 700u);
    map[5 * 10 + 6] = 599, map[6 * 10 + 3] = 0;
    EXPECT_EQ(FindMapPeak(map.data(), 10, 10, &px, &py, &v, 4, 2), -1);
    EXPECT_EQ(px, 5);
    EXPECT_EQ(py, 5);
    EXPECT_EQ(FindMapPeak(map.data(), 10, 4, &px, &py, &v, 4, 2), -1);
}

TEST(PupilSearch, ImageOperations) {
    std::vector<uint8_t> src(6 * 4);
    for (int i = 0; i < 24; ++i) src[size_t(i)] = uint8_t(i);
    std::vector<uint8_t> dst(24, 0);
    ASSERT_EQ(CropImage(dst.data(), src.data(), 6, 4, 1, 1, 2, 1), 0);
    EXPECT_EQ(dst[0], 8);
    EXPECT_EQ(dst[2], 10);
    EXPECT_EQ(dst[3], 14);
    EXPECT_EQ(CropImage(dst.data(), src.data(), 6, 4, 2, 2, 0, 0), 1);
    EXPECT_EQ(CropImage(dst.data(), src.data(), 6, 4, 0, 0, 3, 3), 1);
    int cols, rows;
    ASSERT_EQ(DecimateImage(dst.data(), &cols, &rows, src.data(), 6, 4, 3), 0);
    EXPECT_EQ(cols, 2);
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(dst[0], 7);
    EXPECT_EQ(dst[1], 10);
    std::vector<uint32_t> map(7 * 7, 2709);
    ASSERT_EQ(SmoothMap32(map.data(), 7, 7, kVoteSmoothKernel5, 5), 0);
    EXPECT_EQ(map[0], 0u);
    EXPECT_EQ(map[3 * 7 + 3], 2709u);
    EXPECT_EQ(map[2 * 7 + 2], 2709u);
    EXPECT_EQ(map[1 * 7 + 3], 0u);
    std::vector<uint8_t> img(5 * 5, 0);
    img[12] = 250;
    ASSERT_EQ(SmoothImage8(img.data(), 5, 5, kPupilSmoothKernel3, 3), 0);
    EXPECT_EQ(img[12], 250 * 204 / 1000);
    EXPECT_EQ(img[7], 250 * 124 / 1000);
    EXPECT_EQ(img[0], 0);
    const uint32_t levels[4] = {10, 20, 30, 10};
    uint8_t out[4];
    NormaliseMapToLevels(levels, 2, 2, 255, out);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 127);
    EXPECT_EQ(out[2], 255);
}

// Specular spots: a small inner spot is filled from its four anchors; one at the border or larger
// than the extent limit stays.
TEST(IrisBoundarySearch, SpecularSpotsAndStageChecks) {
    const int W = 120, H = 100;
    std::vector<uint8_t> img(size_t(W) * H, 100);
    auto square = [&](int x0, int y0, int n) {
        for (int y = y0; y < y0 + n; ++y)
            for (int x = x0; x < x0 + n; ++x) img[size_t(y) * W + x] = 250;
    };
    square(20, 20, 5);
    square(0, 60, 4);
    square(50, 30, 56);  // 58 wide after the 3 x 3 dilation
    int32_t p3[3] = {256, 0, 0};  // a threshold outside 1..255 takes the default
    ASSERT_EQ(FillSpecularSpots(img.data(), H, W, p3), 0);
    EXPECT_EQ(p3[0], 180);
    EXPECT_EQ(p3[1], 3);
    EXPECT_EQ(p3[2], 55);
    EXPECT_EQ(img[size_t(22) * W + 22], 100);
    EXPECT_EQ(img[size_t(61) * W + 1], 250);
    EXPECT_EQ(img[size_t(40) * W + 60], 250);
    // Stage checks of the boundary search.
    LocationResult rec{};
    rec.words[kWordPupilX] = 9, rec.words[kWordPupilY] = 50, rec.words[kWordPupilR] = 20;
    int32_t params[32] = {};
    EXPECT_EQ(LocateIrisAndEyelids(img.data(), H, W, &rec, params), kBadArgument);
    rec.words[kWordPupilX] = 60, rec.words[kWordIrisX] = 60, rec.words[kWordIrisY] = 50;
    rec.words[kWordPupilR] = 9, rec.words[kWordIrisR] = 40;
    EXPECT_EQ(LocateEyelids(img.data(), H, W, &rec, nullptr), kBadArgument);
    // A tiny pupil leaves no room for an iris of 10 pixels: step result 1, no eyelid search.
    const auto disc = Disc(200, 160, 100, 80, 6);
    LocationResult tiny{};
    tiny.words[kWordPupilX] = 100, tiny.words[kWordPupilY] = 80, tiny.words[kWordPupilR] = 6;
    tiny.words[kWordUpperLid] = 5;
    int32_t narrow[32] = {};
    narrow[14] = 18;
    EXPECT_EQ(LocateIrisAndEyelids(disc.data(), 160, 200, &tiny, narrow), 1);
    EXPECT_EQ(tiny.words[kWordIrisR], 0);
    EXPECT_EQ(tiny.words[kWordUpperLid], 5);
}

// A large pupil scales the search down and the results back up; eyelid scores stay unscaled.
TEST(IrisBoundarySearch, LargePupilScalesTheSearch) {
    sim::EyeSceneParams s = Scene(12);
    s.width = 1280, s.height = 960;
    s.distanceMm = s.focusMm = 150;  // pupil radius about 105: scale 2; in focus (a limbus
                                     // blurred over the lens's defocus at 300 mm is too weak to count)
    const sim::EyeFrame f = sim::RenderEyeFrame(s);
    LocationResult rec{};
    rec.words[kWordPupilX] = int32_t(f.truth.pupil.x) + 3;
    rec.words[kWordPupilY] = int32_t(f.truth.pupil.y) - 2;
    rec.words[kWordPupilR] = int32_t(f.truth.pupil.r);
    int32_t params[32] = {};
    params[7] = 44, params[14] = 480, params[15] = 72;
    ASSERT_EQ(LocateIrisAndEyelids(f.image.pixels.data(), 960, 1280, &rec, params), 0);
    EXPECT_NEAR(rec.words[kWordPupilX], f.truth.pupil.x, 4);
    EXPECT_NEAR(rec.words[kWordPupilR], f.truth.pupil.r, 8);  // a 2-pixel grid on a slightly elliptic pupil
    EXPECT_NEAR(rec.words[kWordIrisR], f.truth.iris.r, 6);
    EXPECT_EQ(rec.words[kWordIrisR] % 2, 0);
    EXPECT_EQ(rec.words[kWordPupilR2], rec.words[kWordPupilR]);
    EXPECT_EQ(UpperLid(&rec)->vertexY % 2, 0);
    EXPECT_EQ(UpperLid(&rec)->divisor % 2, 0);
    EXPECT_LT(UpperLid(&rec)->vertexY, f.truth.pupil.y - f.truth.pupil.r);
    EXPECT_GT(LowerLid(&rec)->vertexY, f.truth.pupil.y + f.truth.pupil.r);
}

// Class F: the working scale, the pupil size limit, mode 1, and the reflection fill limits.
TEST(ClassF, PreparationAndLimits) {
    const struct {
        int height, rows, factor;
    } scales[] = {{480, 480, 1}, {481, 240, 2}, {960, 480, 2}, {961, 320, 3}};
    for (const auto& s : scales) {
        std::vector<uint8_t> img(size_t(64) * s.height, 90), out(img.size());
        int rows, cols, f;
        ASSERT_EQ(PrepareClassFImage(img.data(), s.height, 64, out.data(), &rows, &cols, &f), 0);
        EXPECT_EQ(f, s.factor) << s.height;
        EXPECT_EQ(rows, s.rows) << s.height;
    }
    const auto disc = Disc(640, 480, 320, 240, 40);
    int32_t ix = 0, iy = 0, px = 320, py = 240, ir = 0, pr = 4;
    EXPECT_EQ(LocateClassFCircles(disc.data(), 480, 640, 0, &ix, &iy, &px, &py, &ir, &pr, 72, 160), -2);
    pr = 40;
    EXPECT_EQ(LocateClassFCircles(disc.data(), 480, 640, 1, &ix, &iy, &px, &py, &ir, &pr, 72, 160), -3);
    EXPECT_EQ(LocateClassFCircles(disc.data(), 480, 640, 0, &ix, &iy, &px, &py, &ir, &pr, 160, 72), -3);
    EXPECT_EQ(px, 320);
    int32_t lids[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    ir = 9;
    EXPECT_EQ(LocateClassFEyelids(disc.data(), 480, 640, 0, &ix, &iy, &px, &py, &ir, &pr, lids), -2);
    EXPECT_EQ(lids[0], 0);

    const int W = 200, H = 150;
    std::vector<uint8_t> img(size_t(W) * H, 100);
    auto block = [&](int x0, int y0, int w, int h) {
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x) img[size_t(y) * W + x] = 240;
    };
    block(20, 20, 44, 44);   // 50 x 50 after the 7 x 7 disc: filled
    block(100, 20, 45, 10);  // 51 columns: left alone
    block(20, 144, 5, 6);    // touches the bottom row: left alone
    block(180, 130, 3, 3);   // the last region labelled: filled
    ASSERT_EQ(FillClassFReflections(img.data(), H, W), 0);
    EXPECT_EQ(img[size_t(131) * W + 181], 100);
    EXPECT_EQ(img[size_t(40) * W + 40], 100);
    EXPECT_EQ(img[size_t(25) * W + 120], 240);
    EXPECT_EQ(img[size_t(147) * W + 22], 240);
}

// The filter bank: twelve odd kernels of four sizes, the code sizes and the band layout.
TEST(ClassF, FilterBankAndLayout) {
    ASSERT_EQ(ClassFInit(), 0);
    const GaborBank& bank = ClassFModuleBank();
    ASSERT_EQ(bank.count, 12);
    const int sizes[4] = {23, 33, 45, 63};
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(bank.cols[i], sizes[i % 4]) << i;
        EXPECT_EQ(bank.rows[i], sizes[i % 4]) << i;
        EXPECT_FLOAT_EQ(bank.wavelength[i], 1.8f * bank.sigmaAlong[i]);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(bank.kernel[i]) % 4, 0u);
    }
    EXPECT_FLOAT_EQ(bank.angle[4], 45.0f);
    EXPECT_FLOAT_EQ(bank.angle[8], 45.0f);
    EXPECT_NEAR(bank.sigmaAlong[3], 15.556f, 0.001f);
    // Odd along the wave: the centre is 0 and mirrored columns have opposite signs.
    const int32_t* k0 = bank.kernel[0];
    EXPECT_EQ(k0[11 * 23 + 11], 0);
    EXPECT_EQ(k0[11 * 23 + 13], -k0[11 * 23 + 9]);
    EXPECT_EQ(k0[11 * 23 + 13], int32_t(RoundHalfAway(std::sin(6.283185 * 2 / 9.9) * std::exp(-0.5 * 4 / (5.5 * 5.5)) * 1000)));
    EXPECT_EQ(std::memcmp(bank.kernel[4], bank.kernel[8], sizeof(int32_t) * 23 * 23), 0);
    int32_t code, part, feature;
    ClassFCodeSizes(&code, &part, &feature);
    EXPECT_EQ(code, 128);
    EXPECT_EQ(part, 1536);
    EXPECT_EQ(feature, 1664);
    const ClassFLayout& l = ClassFModuleLayout();
    EXPECT_EQ(l.bandRows, 80);
    EXPECT_EQ(l.bandCols, 512);
    EXPECT_EQ(l.lastRow, 63);
    EXPECT_EQ(ClassFDestroy(), 0);
    EXPECT_EQ(ClassFModuleBank().count, 0);
    EXPECT_EQ(ClassFDestroy(), 0) << "an empty bank is left alone";

    ClassFLayout layout;
    EXPECT_EQ(SetClassFLayout(&layout, 80, 512, 5, 128, 0, 80), -3);
    EXPECT_EQ(SetClassFLayout(&layout, 80, 512, 5, 128, 0, 79), 0);
    EXPECT_EQ(layout.codeRows, 8);
    EXPECT_EQ(SetClassFLayout(&layout, 10, 20, 4, 30, 0, 9), 0);
    EXPECT_EQ(layout.bandRows, 80) << "a code larger than the band leaves the record";
    GaborBank b;
    const float angles[1] = {0};
    EXPECT_EQ(BuildGaborBank(&b, 0, 1, angles, 1, 5.5f, 1.8f), -3);
    EXPECT_EQ(BuildGaborBank(&b, 1, 1, angles, 1, 5.5f, 0.0f), -3);
    int32_t k[9];
    EXPECT_EQ(MakeClassFKernel(0.9f, 0, 1, 1, k), -3);
    EXPECT_EQ(MakeClassFKernel(2, 0, 0.2f, 1, k), -3);
    void* p = ClassFAlignedAlloc(10, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4, 0u);
    ClassFAlignedFree(p);
    ClassFAlignedFree(nullptr);
}

// Pupil searches no location method selects: the 640 x 480 search with its sharpness score, the
// balanced search with a second ring, and the symmetry map.
TEST(LocationVariants, PupilSearchesOutsideTheTable) {
    int32_t x, y, r, s;
    // A 1600 x 1200 image is searched in its central 640 x 480 (columns 480..1119, rows 360..839)
    // and mapped back; a pupil near that crop's far corner is found, one outside it is not.
    // Radii are searched on the image reduced by 4 from 22 / 4 = 5 in steps of 2: 52 is one of them.
    const auto big = Disc(1600, 1200, 1060, 790, 52);
    ASSERT_EQ(LocatePupil640(big.data(), 1600, 1200, 0, &x, &y, &r, &s, 22, 72), 0);
    EXPECT_NEAR(x, 1060, 4);
    EXPECT_NEAR(y, 790, 4);
    EXPECT_NEAR(r, 52, 2);
    ASSERT_EQ(LocatePupil640(big.data(), 1600, 1200, 1, &x, &y, &r, &s, 22, 72), 0);
    EXPECT_NEAR(y, 790, 4);
    const auto outside = Disc(1600, 1200, 300, 200, 52);
    ASSERT_EQ(LocatePupil640(outside.data(), 1600, 1200, 0, &x, &y, &r, &s, 22, 72), 0);
    EXPECT_GE(x, 480);
    EXPECT_GE(y, 360);
    // The largest radius searched is 72 / 4 = 18 reduced pixels: a pupil of 68 (17) is in range.
    const auto wide = Disc(640, 480, 320, 240, 68);
    ASSERT_EQ(LocatePupil640(wide.data(), 640, 480, 0, &x, &y, &r, &s, 22, 72), 0);
    EXPECT_NEAR(r, 68, 2);
    EXPECT_EQ(LocatePupil640(big.data(), 1600, 1200, 0, nullptr, &y, &r, &s, 22, 72), 1);
    EXPECT_EQ(LocatePupil640(big.data(), 1600, 1200, 0, &x, &y, &r, nullptr, 22, 72), 1);
    // The score sums the edges inside dark regions (a pixel counts when it and its four diagonal
    // neighbours 4 pixels away are dark): an even pupil on a bright field has none, a blurred one
    // carries its edge inside.
    auto disc = Disc(640, 480, 300, 250, 44, 30, 220);
    ASSERT_EQ(LocatePupil640(disc.data(), 640, 480, 0, &x, &y, &r, &s, 22, 72), 0);
    EXPECT_NEAR(x, 300, 4);
    EXPECT_EQ(s, 0);
    ASSERT_EQ(GaussianSmooth(disc.data(), 480, 640, 9, 4.0), 0);
    ASSERT_EQ(LocatePupil640(disc.data(), 640, 480, 0, &x, &y, &r, &s, 22, 72), 0);
    EXPECT_NEAR(x, 300, 4);
    EXPECT_GT(s, 0);
    const std::vector<uint8_t> flat(640 * 480, 100);
    ASSERT_EQ(LocatePupil640(flat.data(), 640, 480, 0, &x, &y, &r, &s, 22, 72), 0);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(LocatePupil640(nullptr, 640, 480, 0, &x, &y, &r, &s, 22, 72), 1);

    // Pupil (r 40) inside an iris (r 100): the smaller ring is the pupil, the larger the second.
    std::vector<uint8_t> eye = Disc(640, 480, 320, 240, 100, 90, 180);
    for (int v = 0; v < 480; ++v)
        for (int u = 0; u < 640; ++u)
            if ((u - 320) * (u - 320) + (v - 240) * (v - 240) <= 40 * 40) eye[size_t(v) * 640 + u] = 30;
    int32_t pupil[4], ring[4];
    ASSERT_EQ(LocatePupilTwoRings(eye.data(), 640, 480, 0, pupil, ring, 22, 160, 4), 0);
    EXPECT_NEAR(pupil[0], 320, 4);
    EXPECT_NEAR(pupil[1], 240, 4);
    EXPECT_NEAR(pupil[2], 40, 6);
    EXPECT_GT(pupil[3], 0);
    EXPECT_NEAR(ring[0], 320, 6);
    EXPECT_NEAR(ring[1], 240, 6);
    EXPECT_NEAR(ring[2], 100, 8);
    EXPECT_GT(ring[3], 0);
    // One ring only: no second circle.
    const auto single = Disc(640, 480, 320, 240, 40);
    ASSERT_EQ(LocatePupilTwoRings(single.data(), 640, 480, 0, pupil, ring, 22, 72, 4), 0);
    EXPECT_NEAR(pupil[2], 40, 6);
    EXPECT_EQ(std::vector<int32_t>(ring, ring + 4), std::vector<int32_t>(4, 0));
    EXPECT_EQ(LocatePupilTwoRings(flat.data(), 640, 480, 0, pupil, ring, 22, 160, 4), -1);
    EXPECT_EQ(LocatePupilTwoRings(nullptr, 640, 480, 0, pupil, ring, 22, 160, 4), 1);

    // Symmetry map: largest (6) at the centre of a dark disc; edges next to pixels brighter than
    // 255 - margin are left out, so a disc on a field of 250 gives no votes with margin 10.
    const auto small = Disc(160, 120, 70, 64, 12, 30, 150);
    std::vector<float> sym(160 * 120, -1.0f);
    ASSERT_EQ(SymmetryMap(small.data(), 160, 120, 8, 16, 0, sym.data()), 0);
    const size_t peak = size_t(std::max_element(sym.begin(), sym.end()) - sym.begin());
    EXPECT_FLOAT_EQ(sym[peak], 6.0f);
    EXPECT_NEAR(int(peak % 160), 70, 2);
    EXPECT_NEAR(int(peak / 160), 64, 2);
    EXPECT_FLOAT_EQ(*std::min_element(sym.begin(), sym.end()), 0.0f);
    const auto glare = Disc(160, 120, 70, 64, 12, 30, 250);
    ASSERT_EQ(SymmetryMap(glare.data(), 160, 120, 8, 16, 0, sym.data()), 0);
    EXPECT_FLOAT_EQ(*std::max_element(sym.begin(), sym.end()), 6.0f);
    ASSERT_EQ(SymmetryMap(glare.data(), 160, 120, 8, 16, 10, sym.data()), 0);
    EXPECT_FLOAT_EQ(*std::max_element(sym.begin(), sym.end()), 0.0f);
    EXPECT_EQ(SymmetryMap(nullptr, 160, 120, 8, 16, 0, sym.data()), 1);
    const float levels[4] = {1, 3, 5, 2};
    float scaled[4];
    NormaliseMapToLevelsF(levels, 2, 2, 6.0f, scaled);
    EXPECT_EQ(std::vector<float>(scaled, scaled + 4), (std::vector<float>{0, 3, 6, 1.5f}));
}

// Routines no location method selects, called directly.
TEST(LocationVariants, PupilIrisAndEyelidVariants) {
    int32_t x, y, r, s;
    const auto disc = Disc(640, 480, 280, 230, 44);
    ASSERT_EQ(LocatePupilFixed4(disc.data(), 640, 480, 0, &x, &y, &r, &s, 22, 72), 0);
    EXPECT_NEAR(x, 280, 4);
    EXPECT_NEAR(r, 44, 8);
    // An upper grey level below the field's level drops the edges that touch the field.
    ASSERT_EQ(LocatePupilLevel(disc.data(), 640, 480, 0, &x, &y, &r, &s, 22, 72, 100), 0);
    const int32_t capped = s;
    ASSERT_EQ(LocatePupilLevel(disc.data(), 640, 480, 0, &x, &y, &r, &s, 22, 72, 255), 0);
    EXPECT_NEAR(y, 230, 4);
    EXPECT_LT(capped, s / 2);

    Modules on;
    const sim::EyeFrame f = Render(kSharp[2]);
    LocationContext* c = CreateLocationContext(f.image.pixels.data(), 640, 480);
    auto full = std::make_unique<LocationResult>();
    ASSERT_EQ(RunLocationMethod(c, 1, full.get()), 0);
    LocationResult iris{};
    iris.words[kWordPupilX] = c->pupil[0][0], iris.words[kWordPupilY] = c->pupil[0][1];
    iris.words[kWordPupilR] = c->pupil[0][2];
    FreeLocationContext(c);
    int32_t params[32] = {};
    params[7] = 22, params[14] = 160, params[15] = 72;
    ASSERT_EQ(LocateIrisOnly(f.image.pixels.data(), 480, 640, &iris, params), 0);
    for (int w = kWordPupilX; w <= kWordIrisR; ++w) EXPECT_EQ(iris.words[w], full->words[w]) << w;
    EXPECT_EQ(UpperLid(&iris)->divisor, 0);
    ASSERT_EQ(LocateEyelidsOnly(f.image.pixels.data(), 480, 640, &iris, params), 0);
    EXPECT_EQ(std::memcmp(UpperLid(&iris), UpperLid(full.get()), 12 * sizeof(int32_t)), 0);

    EXPECT_EQ(CountBits32(0), 0);
    EXPECT_EQ(CountBits32(0xFFFFFFFFu), 32);
    EXPECT_EQ(CountBits32(0x80000001u), 2);
    EXPECT_EQ(ApproxHypot(0, 7), 7);
    EXPECT_NEAR(ApproxHypot(300, 400), 500, 3);
    EXPECT_NEAR(ApproxHypot(100, 100), 141, 2);
    uint16_t table[256];
    ReciprocalTable(table);
    EXPECT_EQ(table[0], 32768);
    EXPECT_EQ(table[1], 32768);
    EXPECT_EQ(table[3], 10923);
    EXPECT_EQ(table[255], 129);
}

TEST(LocationVariants, ImageTools) {
    const std::string path = ::testing::TempDir() + "iris_dump.pgm";
    const int32_t values[6] = {-10, 0, 10, 20, 30, 40};
    ASSERT_EQ(DumpDebugPgm(path.c_str(), values, 2, 3, 2), 0);
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char head[16] = {};
    ASSERT_EQ(std::fread(head, 1, 11, f), 11u);
    EXPECT_STREQ(head, "P5\n3 2\n255\n");
    uint8_t px[6];
    ASSERT_EQ(std::fread(px, 1, 6, f), 6u);
    std::fclose(f);
    EXPECT_EQ(px[0], 0);
    EXPECT_EQ(px[1], 51);
    EXPECT_EQ(px[5], 255);
    std::remove(path.c_str());
    EXPECT_EQ(DumpDebugPgm("/nonexistent-dir/x.pgm", values, 2, 3, 2), -1) << "reported, the process goes on";

    std::vector<uint8_t> img(5 * 5, 0);
    img[12] = 90;
    ASSERT_EQ(BoxMeanFloor1(img.data(), 5, 5, 1), 0);
    EXPECT_EQ(img[12], 10);
    EXPECT_EQ(img[0], 1) << "at least 1";
    EXPECT_EQ(img[6], 10);

    std::vector<uint8_t> src(4 * 4);
    for (int i = 0; i < 16; ++i) src[size_t(i)] = uint8_t(i);
    uint8_t dst[4];
    ASSERT_EQ(ResampleNearest(src.data(), 4, 4, dst, 2, 2), 0);
    EXPECT_EQ(dst[0], 5);
    EXPECT_EQ(dst[3], 15);

    int32_t k[9];
    EXPECT_EQ(GaussianKernel(k, 3, 1.0, 1.0), 100 + 4 * 36 + 4 * 13);
    EXPECT_EQ(k[4], 100);
    EXPECT_EQ(k[1], 36);
    EXPECT_EQ(k[0], 13);
    std::vector<uint8_t> flat(6 * 6, 77);
    ASSERT_EQ(GaussianSmooth(flat.data(), 6, 6, 9, 4.0), 0);
    EXPECT_EQ(flat[14], 77);
}
