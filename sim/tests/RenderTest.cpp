// The optics of the simulated scanners: the sensor response, sensor and platen faults, and the
// fingers the renderer draws, checked against the ground truth it reports.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <set>
#include <tuple>

#include "sim/Models.h"
#include "sim/Optics.h"
#include "sim/Render.h"
#include "PrintMeasures.h"

namespace {

using namespace sim;

double Mean(const GreyImage& img, int x0, int y0, int x1, int y1) {
    double sum = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) sum += img.at(x, y);
    return sum / (double(x1 - x0) * (y1 - y0));
}

PlatenParams Platen(int w = 320, int h = 240) {
    PlatenParams p;
    p.width = w;
    p.height = h;
    return p;
}

FingerScene Hand(FingerLayout layout, int w = 800, int h = 750, double ppi = 250) {
    FingerScene s;
    s.platen = Platen(w, h);
    s.platen.ppiX = s.platen.ppiY = ppi;
    s.layout = layout;
    return s;
}

// Grey rises with exposure, gain and lamp, clips at 255; brightness offsets and contrast
// multiplies as a camera's do; the lamp drifts over time.
TEST(Sensor, ResponseFollowsExposureRegistersLampAndTime) {
    struct Case {
        const char* name;
        double exposure, brightness, contrast, lamp, drift, timeMs, expected;
    };
    const Case cases[] = {
        {"dark", 0, 40, 0, 1, 0, 0, 130},
        {"exposure 30", 30, 40, 0, 1, 0, 0, 205},
        {"brightness 80", 30, 80, 0, 1, 0, 0, 215},
        {"brightness 0", 30, 0, 0, 1, 0, 0, 195},
        {"contrast 64", 0, 40, 64, 1, 0, 0, 195},
        {"half lamp", 30, 40, 0, 0.5, 0, 0, 102.5},
        {"failed lamp", 30, 40, 0, 0, 0, 0, 0},
        {"drifted a minute", 30, 40, 0, 1, -0.1, 60000, 184.5},
        {"clipped", 100, 40, 0, 1, 0, 0, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PlatenParams p = Platen();
        p.exposure = c.exposure;
        p.brightness = c.brightness;
        p.contrast = c.contrast;
        p.lamp = c.lamp;
        p.driftPerMinute = c.drift;
        p.timeMs = c.timeMs;
        EXPECT_NEAR(std::min(255.0, std::max(0.0, SensorLevel(p, 1.0))), c.expected, 1e-9);
        const GreyImage img = RenderPlaten(p, 1);
        const double centre = Mean(img, 140, 100, 180, 140);
        EXPECT_NEAR(centre, c.expected, 2.0);
        const double corner = Mean(img, 0, 0, 10, 10);
        if (c.expected > 20 && c.expected < 250) {
            EXPECT_LT(corner, centre - 0.05 * c.expected);
        }
    }
}

TEST(Sensor, SaturatedShareGrowsAsTheWhiteLevelPassesTheTop) {
    PlatenParams p = Platen();
    double last = -1;
    for (double e : {40.0, 48.0, 52.0, 56.0, 70.0}) {
        p.exposure = e;
        const GreyImage img = RenderPlaten(p, 2);
        const double share = double(std::count(img.pixels.begin(), img.pixels.end(), 255)) / img.pixels.size();
        EXPECT_GE(share, last) << e;
        if (SensorLevel(p, 1.0) < 245) {
            EXPECT_EQ(share, 0) << e;
        }
        if (SensorLevel(p, 1.0 - p.vignetting) > 262) {
            EXPECT_GT(share, 0.99) << e;
        }
        last = share;
    }
    EXPECT_GT(last, 0.99);
}

// Defective lines read darker than both neighbours along their whole length, as the library's
// defect-line scan requires (15 levels).
TEST(Sensor, DefectiveRowsAndColumnsReadDark) {
    PlatenParams p = Platen();
    p.exposure = 30;
    p.defectRows = {37, 200};
    p.defectColumns = {5, 101};
    const GreyImage img = RenderPlaten(p, 3);
    for (int r : p.defectRows)
        for (int x = 0; x < img.width; ++x) {
            ASSERT_LE(img.at(x, r) + 15, img.at(x, r - 1)) << r << "," << x;
            ASSERT_LE(img.at(x, r) + 15, img.at(x, r + 1)) << r << "," << x;
        }
    // The first row can be defective too; lines outside the sensor are ignored.
    p.defectRows = {0, -1, 240, 100000};
    p.defectColumns = {-3, 320, 5000};
    const GreyImage edge = RenderPlaten(p, 3);
    for (int x = 0; x < edge.width; ++x) ASSERT_LE(edge.at(x, 0) + 15, edge.at(x, 1)) << x;
    EXPECT_NEAR(Mean(edge, 0, 10, 1, 230), Mean(edge, 1, 10, 2, 230), 4);
    EXPECT_NEAR(Mean(edge, 319, 10, 320, 230), Mean(edge, 318, 10, 319, 230), 4);
    EXPECT_NEAR(Mean(edge, 0, 239, 320, 240), Mean(edge, 0, 238, 320, 239), 4);
    p.defectRows = {37, 200};
    p.defectColumns = {5, 101};
    for (int c : p.defectColumns)
        for (int y = 0; y < img.height; ++y)
            if (y != 37 && y != 200 && y != 36 && y != 38 && y != 199 && y != 201) {
                ASSERT_LE(img.at(c, y) + 15, img.at(c - 1, y)) << c << "," << y;
                ASSERT_LE(img.at(c, y) + 15, img.at(c + 1, y)) << c << "," << y;
            }
}

// Dirt darkens enough of the glass for the platen check, in several places and in shapes that
// are no round blots: its darkened area is spread far wider than it is deep.
TEST(Platen, DirtIsSmudgesScratchesAndALatentPrint) {
    PlatenParams p = Platen(640, 480);
    p.exposure = 30;
    p.noise = 0;
    const GreyImage clean = RenderPlaten(p, 4);
    p.dirty = true;
    const GreyImage dirty = RenderPlaten(p, 4);
    size_t darker = 0;
    std::set<int> cells;  // 8 x 6 coarse cells holding darkened pixels
    for (int y = 0; y < clean.height; ++y)
        for (int x = 0; x < clean.width; ++x)
            if (clean.at(x, y) > dirty.at(x, y) + 9) {
                ++darker;
                cells.insert((y / 80) * 8 + x / 80);
            }
    EXPECT_GT(darker, clean.pixels.size() / 50);
    EXPECT_GE(cells.size(), 6u);
    // Nowhere does the dirt fill a whole coarse cell: it is patchy, not a blot.
    EXPECT_LT(double(darker), 0.5 * cells.size() * 80 * 80);
}

struct LayoutCase {
    FingerLayout layout;
    std::vector<int> iso;  // left to right
};

TEST(Fingers, TruthNamesEveryFingerWhereItLies) {
    const LayoutCase cases[] = {
        {FingerLayout::RightSlap, {2, 3, 4, 5}},
        {FingerLayout::LeftSlap, {10, 9, 8, 7}},
        {FingerLayout::TwoThumbs, {6, 1}},
        {FingerLayout::SingleFinger, {2}},
        {FingerLayout::None, {}},
    };
    for (const LayoutCase& c : cases) {
        FingerScene s = Hand(c.layout);
        s.platen.noise = 0;
        SceneTruth truth;
        const GreyImage img = RenderFingers(s, 9, &truth);
        ASSERT_EQ(truth.fingers.size(), c.iso.size());
        for (size_t k = 0; k < c.iso.size(); ++k) {
            const FingerTruth& f = truth.fingers[k];
            EXPECT_EQ(f.isoFinger, c.iso[k]);
            // The contact is there and dark, the glass around its box is clear.
            EXPECT_LT(Mean(img, int(f.centreX) - 5, int(f.centreY) - 5, int(f.centreX) + 5, int(f.centreY) + 5),
                      0.8 * PlatenLevel(s.platen));
            EXPECT_GT(f.areaPx, 0.7 * (f.right - f.left) * (f.bottom - f.top));
            EXPECT_LT(f.areaPx, 0.85 * (f.right - f.left) * (f.bottom - f.top));
            // A fingertip is longer than it is wide.
            EXPECT_GT(f.bottom - f.top, 1.2 * (f.right - f.left) * std::cos(f.angleDeg * M_PI / 180) - 20);
        }
    }
}

TEST(Fingers, KnobsMoveTurnDropAndCloseTheFingers) {
    auto truthOf = [](const FingerScene& s) {
        SceneTruth t;
        RenderFingers(s, 9, &t);
        return t;
    };
    FingerScene s = Hand(FingerLayout::RightSlap);
    const SceneTruth base = truthOf(s);
    s.rotationDeg = 20;
    const SceneTruth turned = truthOf(s);
    for (size_t k = 0; k < 4; ++k) EXPECT_NEAR(turned.fingers[k].angleDeg, base.fingers[k].angleDeg + 20, 1e-9);
    s.rotationDeg = 0;
    s.fingerMask = 0b1001;
    const SceneTruth two = truthOf(s);
    ASSERT_EQ(two.fingers.size(), 2u);
    EXPECT_EQ(two.fingers[0].isoFinger, 2);
    EXPECT_EQ(two.fingers[1].isoFinger, 5);
    s.fingerMask = 0xF;
    double lastGap = 1e9;
    for (FingerGap g : {FingerGap::Separate, FingerGap::Close, FingerGap::Touching}) {
        s.gap = g;
        const SceneTruth t = truthOf(s);
        const double gap = t.fingers[2].left - t.fingers[1].right;  // middle to ring
        EXPECT_LT(gap, lastGap);
        if (g == FingerGap::Separate) {
            EXPECT_GT(gap, 20);  // about 4 mm at 250 ppi
        }
        if (g == FingerGap::Touching) {
            EXPECT_LE(gap, 2);
        }
        lastGap = gap;
    }
}

TEST(Fingers, ContactGrowsWithLandingAndPressureAndTheSecondPhalanxTouches) {
    FingerScene s = Hand(FingerLayout::SingleFinger);
    double last = 0;
    for (double landing : {0.2, 0.6, 1.0}) {
        s.landing = landing;
        SceneTruth t;
        RenderFingers(s, 9, &t);
        EXPECT_GT(t.fingers[0].areaPx, last * 1.2);
        last = t.fingers[0].areaPx;
    }
    SceneTruth light, hard;
    s.pressure = 0.6;
    RenderFingers(s, 9, &light);
    s.pressure = 1.4;
    const GreyImage hardImg = RenderFingers(s, 9, &hard);
    EXPECT_GT(hard.fingers[0].areaPx, 1.5 * light.fingers[0].areaPx);
    // Below the fingertip's box only the second phalanx can darken the glass.
    s.pressure = 1;
    s.platen.noise = 0;
    SceneTruth t;
    const GreyImage without = RenderFingers(s, 9, &t);
    s.phalanx = 1;
    const GreyImage with = RenderFingers(s, 9, &t);
    EXPECT_TRUE(t.fingers[0].phalanx);
    const int x0 = t.fingers[0].left + 20, x1 = t.fingers[0].right - 20, y0 = t.fingers[0].bottom + 40;
    EXPECT_NEAR(Mean(without, x0, y0, x1, y0 + 30), PlatenLevel(s.platen), 6);
    EXPECT_LT(Mean(with, x0, y0, x1, y0 + 30), 0.85 * PlatenLevel(s.platen));
}

// Each finger carries a ridge pattern of a real class with a fingertip's count of minutiae.
TEST(Fingers, PatternsOfRealClassesWithTensOfMinutiae) {
    std::set<PatternClass> classes;
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        FingerScene s = Hand(FingerLayout::RightSlap, 1600, 1500, 500);
        SceneTruth t;
        RenderFingers(s, seed, &t);
        EXPECT_NEAR(t.ridgePeriodPxX, 0.48 / 25.4 * 500, 1e-9);
        for (const FingerTruth& f : t.fingers) {
            classes.insert(f.pattern);
            EXPECT_GE(f.minutiae, 30) << f.isoFinger;
            EXPECT_LE(f.minutiae, 110) << f.isoFinger;
        }
    }
    EXPECT_GE(classes.size(), 3u);
}

// Dry skin prints light and broken ridges, wet skin fills the valleys.
TEST(Fingers, SkinAndPressureSetTheContrast) {
    auto stats = [](SkinType skin) {
        FingerScene s = Hand(FingerLayout::SingleFinger, 400, 400, 500);
        s.skin = skin;
        s.platen.noise = 0;
        SceneTruth t;
        const GreyImage img = RenderFingers(s, 9, &t);
        const FingerTruth& f = t.fingers[0];
        const int cx = int(f.centreX), cy = int(f.centreY);
        double sum = 0, sq = 0;
        int n = 0;
        for (int y = cy - 60; y < cy + 60; ++y)
            for (int x = cx - 40; x < cx + 40; ++x) sum += img.at(x, y), sq += img.at(x, y) * img.at(x, y), ++n;
        const double mean = sum / n;
        return std::pair(mean, std::sqrt(sq / n - mean * mean));
    };
    const auto normal = stats(SkinType::Normal), dry = stats(SkinType::Dry), wet = stats(SkinType::Wet);
    EXPECT_GT(normal.second, 50);  // clear ridges
    EXPECT_GT(dry.first, normal.first + 15);
    EXPECT_LT(wet.first, normal.first - 15);
    EXPECT_LT(wet.second, normal.second);
    EXPECT_LT(dry.second, normal.second);
}

// Rendered prints measure like real ones (print quality tools find in real prints a standard
// deviation of 29 to 36 grey levels among ridge pixels): ridges grainy, broken by pores and
// creases, of widths that change from ridge to ridge on every skin kind, valleys grey where the
// skin presses on the glass.
TEST(Fingers, RidgesAreGrainyAndUnevenAndTheValleysGrey) {
    for (SkinType skin : {SkinType::Normal, SkinType::Dry, SkinType::Wet}) {
        SCOPED_TRACE(int(skin));
        FingerScene s = Hand(FingerLayout::RightSlap, 1600, 1500, 500);
        // Clean glass reads 255, as after the background calibration.
        s.platen.base = 255, s.platen.gain = 0, s.platen.vignetting = 0;
        s.skin = skin;
        SceneTruth t;
        const GreyImage img = RenderFingers(s, 3, &t);
        auto inside = [&](int x, int y) {
            for (const FingerTruth& f : t.fingers) {
                const double u = (x - (f.left + f.right) / 2.0) / ((f.right - f.left) * 0.4);
                const double v = (y - (f.top + f.bottom) / 2.0) / ((f.bottom - f.top) * 0.4);
                if (u * u + v * v < 1) return true;
            }
            return false;
        };
        const printmeasures::Measures m = printmeasures::Measure(img.pixels.data(), img.width, img.height, inside, false);
        ASSERT_GT(m.blocks, 100);
        if (skin == SkinType::Normal) {
            EXPECT_GE(m.ridgePixelStd, 29);
            EXPECT_LE(m.ridgePixelStd, 36);
        } else {
            EXPECT_GE(m.ridgePixelStd, 18);  // wet ridges print darker and flatter, but not flat
        }
        // Ridges and valleys a period wide together, in every block; the share of the ridge
        // changes from block to block.
        EXPECT_NEAR(m.ridgeWidthMean + m.valleyWidthMean, t.ridgePeriodPxX, 1.5);
        EXPECT_GT(m.ratioStd, 0.05);
        // Valley floors, averaged along the ridges, are grey where the skin presses on the glass
        // (dry skin barely sweats).
        if (skin != SkinType::Dry) {
            EXPECT_LT(m.valleyGrey, 0.9 * 255);
        }
    }
}

// Pressing harder flattens the fingertip more across than along, and the fingers of a slap
// press each a little differently: one finger's contact width changes from slap to slap.
TEST(Fingers, PressureWidensTheContactFingerByFinger) {
    FingerScene s = Hand(FingerLayout::SingleFinger);
    SceneTruth light, hard;
    s.pressure = 0.6;
    RenderFingers(s, 9, &light);
    s.pressure = 1.4;
    RenderFingers(s, 9, &hard);
    const FingerTruth &l = light.fingers[0], &h = hard.fingers[0];
    const double across = double(h.right - h.left) / (l.right - l.left), along = double(h.bottom - h.top) / (l.bottom - l.top);
    EXPECT_GT(across, along * 1.1);
    EXPECT_GT(along, 1.05);
    std::set<int> widths;
    for (uint32_t seed : {1u, 2u, 3u, 4u, 5u}) {
        SceneTruth t;
        RenderFingers(Hand(FingerLayout::RightSlap), seed, &t);
        for (const FingerTruth& f : t.fingers)
            if (f.isoFinger == 3) widths.insert(f.right - f.left);
    }
    EXPECT_GE(widths.size(), 4u);
}

// A rolled finger's skin stays on the glass: where two frames of the roll both touch, they show
// the same ridges; a sliding finger drags them along.
TEST(Fingers, RolledSkinStaysOnTheGlass) {
    auto frame = [](double phase, RollFault fault) {
        FingerScene s = Hand(FingerLayout::Roll, 500, 400, 500);
        s.platen.noise = 0;
        s.rollPhase = phase;
        s.rollFault = fault;
        return RenderFingers(s, 3);
    };
    auto correlation = [](const GreyImage& a, const GreyImage& b) {
        // Over a strip at the platen centre that both contacts cover.
        double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, n = 0;
        for (int y = 150; y < 250; ++y)
            for (int x = 240; x < 260; ++x) {
                const double u = a.at(x, y), v = b.at(x, y);
                sa += u, sb += v, saa += u * u, sbb += v * v, sab += u * v, ++n;
            }
        return (sab - sa * sb / n) / std::sqrt((saa - sa * sa / n) * (sbb - sb * sb / n));
    };
    EXPECT_GT(correlation(frame(0.45, RollFault::None), frame(0.55, RollFault::None)), 0.8);
    EXPECT_LT(correlation(frame(0.55, RollFault::Slide), frame(0.6, RollFault::Slide)), 0.5);
}

// Each keystone-corrected model carries its library's full-mode distortion set and result
// resolution; the others carry none.
TEST(Optics, KeystoneSetsOfTheModels) {
    struct Row {
        const char* name;
        std::array<double, 6> set;
        double ppi;
    };
    const Row rows[] = {
        {"PloverA", {701, 678, 496, 614, 404, 404}, 500}, {"PloverB", {727, 701, 530, 254, 411, 408}, 500},
        {"PloverC", {863, 838, 627, 320, 500, 497}, 500}, {"PloverD", {863, 838, 627, 320, 500, 497}, 500},
        {"VireoA", {1350, 1496, 930, 0, 750, 808}, 500}, {"LinnetA", {700, 836, 752, 0, 480, 320}, 500},
        {"PloverE", {}, 0}, {"KestrelA", {}, 0},
        {"TanagerA", {}, 0},                               {"Finch", {}, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ModelTraits t = Traits(ModelId::PloverA);  // geometry of a scanner, under the row's name
        t.name = r.name;
        const Keystone k = KeystoneFor(t, 0);
        EXPECT_EQ(k.on, r.ppi > 0);
        if (!k.on) continue;
        EXPECT_EQ((std::array<double, 6>{k.a, k.b, k.l, k.e, k.g, k.k}), r.set);
        EXPECT_EQ(k.outPpi, r.ppi);
    }
}

TEST(Optics, KeystoneAndFramePeriodsPerModel) {
    const ModelTraits& plover = Traits(ModelId::PloverA);
    EXPECT_TRUE(KeystoneFor(plover, 0).on);
    EXPECT_EQ(KeystoneFor(plover, 0).a, 701);
    EXPECT_EQ(KeystoneFor(plover, 2).scale, 2);  // the preview is the frame at half size
    EXPECT_EQ(KeystoneFor(plover, 1).offsetY, 1840 - 880);  // the roll window sits at the bottom
    EXPECT_EQ(KeystoneFor(plover, 1).offsetX, (2944 - 1408) / 2);
    // PloverC's preview is its full frame reduced by three across and by two down (4512 x 2912 to
    // 1504 x 1456): every preview pixel, the corners too, shows the glass of the full-frame pixel it
    // is taken from.
    const ModelTraits& c = Traits(ModelId::PloverC);
    PlatenParams full, preview;
    full.width = 4512, full.height = 2912, full.ppiX = 850, full.ppiY = 600, full.keystone = KeystoneFor(c, 0);
    preview.width = 1504, preview.height = 1456, preview.ppiX = 280, preview.ppiY = 300;
    preview.keystone = KeystoneFor(c, 2);
    for (auto [x, y] : {std::pair{0, 0}, std::pair{1503, 0}, std::pair{752, 728}, std::pair{0, 1455}, std::pair{1503, 1455}}) {
        double px = 0, py = 0, fx = 0, fy = 0;
        PlatenPointMm(preview, x, y, &px, &py);
        PlatenPointMm(full, 3 * x, 2 * y, &fx, &fy);
        EXPECT_NEAR(px, fx, 0.01) << x << "," << y;
        EXPECT_NEAR(py, fy, 0.01) << x << "," << y;
    }
    EXPECT_FALSE(KeystoneFor(Traits(ModelId::PloverE), 0).on);  // its result is only resized
    EXPECT_FALSE(KeystoneFor(Traits(ModelId::IrisLeft), 0).on);
    // A roll frame is a quarter of the full frame's bytes and comes four times as often.
    EXPECT_NEAR(ModeFramePeriodMs(plover, 1, 266.6666), 266.6666 * 1408 * 880 / (2944.0 * 1840), 1e-6);
    EXPECT_NEAR(ModeFramePeriodMs(plover, 0, 266.6666), 266.6666, 1e-9);
    EXPECT_NEAR(ModeFramePeriodMs(plover, 1, 5), 5, 1e-9);  // test periods are not shortened further
    EXPECT_NEAR(ModeFramePeriodMs(Traits(ModelId::VireoA), 2, 266.6666), 266.6666 * 768 * 600 / (1600.0 * 1200), 1e-6);
}

}  // namespace

// PloverC and PloverD roll a finger on their roll window, which lies at the platen's edge: the
// whole roll lies in the middle of the window's lit part; other scanners roll on the platen centre.
TEST(Optics, FingersRollOnTheRollWindowOfPloverCAndPloverD) {
    EXPECT_FALSE(RollAreaMm(Traits(ModelId::PloverA)).has_value());
    for (ModelId id : {ModelId::PloverC, ModelId::PloverD}) {
        const ModelTraits& t = Traits(id);
        SCOPED_TRACE(t.name);
        const auto area = RollAreaMm(t);
        ASSERT_TRUE(area.has_value());
        const ModeGeometry& g = Mode(t, 1);
        // The lit columns of the roll window, as the optics leave them.
        int first = g.sceneWidth, last = -1;
        for (int x = 0; x < g.sceneWidth; ++x)
            if (SourceOf(t, 1, x, g.sceneHeight / 2).kind != SceneSource::White) first = std::min(first, x), last = std::max(last, x);
        FingerScene s;
        s.platen.width = g.sceneWidth, s.platen.height = g.sceneHeight;
        s.platen.ppiX = g.ppiX, s.platen.ppiY = g.ppiY;
        s.platen.keystone = KeystoneFor(t, 1);
        s.layout = FingerLayout::Roll;
        std::tie(s.offsetXmm, s.offsetYmm) = *area;
        SceneTruth start, end;
        s.rollPhase = 0;
        RenderFingers(s, 1, &start);
        s.rollPhase = 1;
        RenderFingers(s, 1, &end);
        ASSERT_EQ(start.fingers.size(), 1u);
        ASSERT_EQ(end.fingers.size(), 1u);
        const FingerTruth& a = start.fingers[0];
        const FingerTruth& b = end.fingers[0];
        // Margins to the lit part's edges equal within a few pixels; the window's middle row.
        EXPECT_GT(a.left - first, 100);
        EXPECT_NEAR(a.left - first, last - b.right, 12);
        EXPECT_NEAR((a.top + a.bottom) / 2.0, g.sceneHeight / 2.0, 12);
        EXPECT_GT(a.top, 0);
        EXPECT_LT(a.bottom, g.sceneHeight - 1);
    }
}
