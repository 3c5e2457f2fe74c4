// The simulated scanners measured by the project's own algorithms: rolls stitched by the live-scan
// library, the exposure search on the simulated sensor, the keystone undone by the distortion
// correction, the live slap segmentation on every hand layout and the block-frequency analysis on
// rendered contacts. Expectations come from the renderer's ground truth.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "BlockFrequency.h"
#include "LiveScanAlg.h"
#include "LiveScanAlgRoll.h"
#include "SlapSegmentation.h"
#include "sim/Models.h"
#include "sim/Optics.h"
#include "sim/Render.h"

namespace {

using namespace sim;

constexpr double kMmPerInch = 25.4;

FingerScene Scene(int width, int height, double ppi, FingerLayout layout) {
    FingerScene s;
    s.platen.width = width;
    s.platen.height = height;
    s.platen.ppiX = s.platen.ppiY = ppi;
    s.layout = layout;
    return s;
}

// The frame with the empty platen subtracted, as the capture library hands frames on: white
// background, dark ridges.
GreyImage Calibrated(const FingerScene& s, uint32_t seed) {
    GreyImage frame = RenderFingers(s, seed);
    GreyImage background = RenderPlaten(s.platen, seed + 1000);
    LiveScanAlg::CalibrateBackgroundSimple(0, frame.height, frame.width, background.pixels.data(), frame.pixels.data());
    return frame;
}

// ---- Rolls through the roll stitcher -------------------------------------------------------

struct RollRun {
    std::vector<int> results;
    int quality = -99;
    double widthPx = 0;
    double truthWidthMm = 0;
};

RollRun Roll(RollFault fault, int frames = 16) {
    const int W = 640, H = 600;
    const double ppi = 500;
    EXPECT_EQ(LiveScanAlg::mmRollStitchCreate(W, H, 500, 500, 0), 0);
    std::vector<uint8_t> rolled(size_t(W) * H, 255);
    int counter = 0;
    RollRun run;
    for (int i = 0; i < frames; ++i) {
        FingerScene s = Scene(W, H, ppi, FingerLayout::Roll);
        s.rollPhase = double(i) / (frames - 1);
        s.rollFault = fault;
        SceneTruth truth;
        RenderFingers(s, 5, &truth);
        run.truthWidthMm = truth.rollPrintWidthMm;
        GreyImage frame = Calibrated(s, 5);
        run.results.push_back(LiveScanAlg::mmRollStitch(frame.pixels.data(), &counter, rolled.data(), nullptr));
    }
    run.quality = LiveScanAlg::mmRollFingerQualityCheck(rolled.data(), W, H);
    LiveScanAlg::mm_finger_property prop{};
    LiveScanAlg::mmGetFingerProperty_Roll(rolled.data(), W, H, &prop);
    run.widthPx = prop.Width;
    LiveScanAlg::mmRollStitchRelease();
    return run;
}

TEST(SimulatedRoll, StitchesIntoOnePrintOfThePrintedWidth) {
    const RollRun run = Roll(RollFault::None);
    for (size_t i = 0; i < run.results.size(); ++i) EXPECT_EQ(run.results[i], 0) << "frame " << i;
    EXPECT_EQ(run.quality, 0);
    const double expected = run.truthWidthMm / kMmPerInch * 500;
    EXPECT_NEAR(run.widthPx, expected, 0.15 * expected);
}

TEST(SimulatedRoll, FaultsAreReportedAsTheStitcherNamesThem) {
    const RollRun back = Roll(RollFault::Back);
    EXPECT_NE(std::find(back.results.begin(), back.results.end(), 27), back.results.end());
    // A slide starts half way: the first half stitches cleanly, the second reports it.
    const RollRun slide = Roll(RollFault::Slide);
    for (size_t i = 0; i < slide.results.size() / 2; ++i) EXPECT_EQ(slide.results[i], 0) << "frame " << i;
    EXPECT_NE(std::find(slide.results.begin(), slide.results.end(), 28), slide.results.end());
    const RollRun narrow = Roll(RollFault::Narrow);
    for (int r : narrow.results) EXPECT_EQ(r, 0);
    EXPECT_EQ(narrow.quality, 30);
}

// ---- The exposure search on the simulated sensor ---------------------------------------------

// The search a model calibration runs: walk down while the frame passes the sensor check, up
// while it is too dark, stop at the first pass after a climb; an exposure out of range fails.
int ExposureSearch(const std::function<GreyImage(int)>& frameAt, int start, int step, int* found) {
    int exposure = start < 0 || start > 255 ? 0 : start;
    int direction = 0;
    for (int round = 0;; ++round) {
        if (exposure < 0 || exposure > 255) return -627;
        GreyImage f = frameAt(exposure);
        float mean = 0, variance = 0, saturation = 0;
        const int r = LiveScanAlg::CheckSensor2(f.height, f.width, f.pixels.data(), &mean, &variance, &saturation);
        if (r == 0)
            direction = round == 0 ? -1 : direction == -1 ? -1 : 0;
        else if (r == 22 || r == 17 || r == 38)
            direction = 1;
        if (direction == 0) break;
        exposure += direction * step;
    }
    *found = exposure;
    return 0;
}

struct SearchCase {
    const char* model;
    double brightness, contrast;
    int start, step;
    double meanThreshold;
};

TEST(SimulatedSensor, ExposureSearchConvergesAndFailsWithADimLamp) {
    const SearchCase cases[] = {
        {"PloverA", 2, 0, 40, 1, 220},
        {"PloverB", 1, 0, 40, 1, 240},
        {"VireoA", 100, 0, 90, 1, 220},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.model);
        const ModelTraits& traits = Traits(*ModelByName(c.model));
        const ModeGeometry& g = Mode(traits, 0);
        PlatenParams p;
        p.width = g.sceneWidth / 4;  // the frame reduced: the check weighs shares
        p.height = g.sceneHeight / 4;
        p.ppiX = g.ppiX / 4;
        p.ppiY = g.ppiY / 4;
        p.base = traits.platenBase;
        p.gain = traits.platenGain;
        p.brightness = c.brightness;
        p.contrast = c.contrast;
        LiveScanAlg::SetMeanThreshold(float(c.meanThreshold));
        LiveScanAlg::SetVarThreshold(500.0f);
        LiveScanAlg::SetSaturetionThreshold(1.0f);
        auto frameAt = [&](int e) {
            p.exposure = e;
            return RenderPlaten(p, uint32_t(e));
        };
        int found = -1;
        ASSERT_EQ(ExposureSearch(frameAt, c.start, c.step, &found), 0);
        // Truth: a pass needs the centre at the threshold; the corners darken by the vignetting.
        PlatenParams q = p;
        q.exposure = found;
        EXPECT_GE(SensorLevel(q, 1.0), c.meanThreshold - 1);
        q.exposure = found - c.step;
        EXPECT_LT(SensorLevel(q, 1.0 - p.vignetting), c.meanThreshold);
        EXPECT_LT(found, 255);

        // A dim lamp: the search climbs out of range (a small frame: it takes every step).
        p.lamp = 0.2;
        p.width = 160;
        p.height = 100;
        EXPECT_EQ(ExposureSearch(frameAt, c.start, c.step, &found), -627);
        p.lamp = 1.0;
    }
}

TEST(SimulatedSensor, SaturatedShareTripsTheSaturationCheck) {
    PlatenParams p;
    p.width = 400;
    p.height = 300;
    LiveScanAlg::SetSaturetionThreshold(0.3f);
    float mean = 0, variance = 0, saturation = 0;
    for (double e : {40.0, 100.0}) {
        p.exposure = e;
        GreyImage f = RenderPlaten(p, 3);
        const int r = LiveScanAlg::CheckSensor2(f.height, f.width, f.pixels.data(), &mean, &variance, &saturation);
        if (SensorLevel(p, 1 - p.vignetting) > 262) {
            EXPECT_GT(saturation, 0.9f);
            EXPECT_EQ(r, 40);
        } else {
            EXPECT_LT(saturation, 0.01f);
            EXPECT_NE(r, 40);
        }
    }
}

// ---- The keystone undone by the library's correction ------------------------------------------

TEST(SimulatedKeystone, DistortionCorrectionTurnsTheFrameUpright) {
    const ModelTraits& traits = Traits(ModelId::PloverA);
    const ModeGeometry& g = Mode(traits, 0);
    // One finger in the middle and one near a corner of the platen.
    for (auto [x, y] : {std::pair{0.0, 0.0}, std::pair{-22.0, -18.0}, std::pair{24.0, 16.0}}) {
        SCOPED_TRACE(testing::Message() << x << ", " << y);
        FingerScene s = Scene(g.sceneWidth, g.sceneHeight, g.ppiX, FingerLayout::SingleFinger);
        s.platen.ppiY = g.ppiY;
        s.platen.noise = 0;
        s.platen.keystone = KeystoneFor(traits, 0);
        s.offsetXmm = x;
        s.offsetYmm = y;
        GreyImage frame = RenderFingers(s, 2);
        auto* handle = LiveScanAlg::TDistortionCorrectInit();
        LiveScanAlg::DistortionCorrectionRecord rec{};
        rec.Height = frame.height;
        rec.Width = frame.width;
        rec.A = 701, rec.B = 678, rec.L = 496, rec.E = 614, rec.G = 404, rec.K = 404;
        ASSERT_EQ(LiveScanAlg::TDistortionCorrectEx(handle, frame.pixels.data(), &rec), 0);
        LiveScanAlg::TDistortionCorrectRelease(&handle);
        // The contact's centroid in the corrected image sits where the finger was put, at the
        // flat result's 500 ppi around the image centre.
        double sx = 0, sy = 0, n = 0;
        for (int r = 0; r < rec.OutputHeight; ++r)
            for (int c = 0; c < rec.OutputWidth; ++c)
                if (frame.pixels[size_t(r) * rec.OutputWidth + c] < 120) sx += c, sy += r, n += 1;
        ASSERT_GT(n, 1000);
        EXPECT_NEAR(sx / n, rec.OutputWidth / 2.0 + x / kMmPerInch * 500, 6);
        EXPECT_NEAR(sy / n, rec.OutputHeight / 2.0 + y / kMmPerInch * 500, 6);
    }
}

// ---- Live slap segmentation on every hand layout -----------------------------------------------

struct SegCase {
    const char* name;
    FingerLayout layout;
    int position, mask;
    double rotation = 0;
    FingerGap gap = FingerGap::Separate;
    unsigned present = 0xF;
    SkinType skin = SkinType::Normal;
    int expected = 0;
    double pressure = 1, phalanx = 0;
};

TEST(SimulatedHands, LiveSegmentationFindsTheFingersOfEveryLayout) {
    const SegCase cases[] = {
        {"right slap", FingerLayout::RightSlap, kSlapRightHand, 0xF, 0, FingerGap::Separate, 0xF, SkinType::Normal, 4},
        {"left slap", FingerLayout::LeftSlap, kSlapLeftHand, 0xF, 0, FingerGap::Separate, 0xF, SkinType::Normal, 4},
        {"turned 15", FingerLayout::RightSlap, kSlapRightHand, 0xF, 15, FingerGap::Separate, 0xF, SkinType::Normal, 4},
        {"turned -15", FingerLayout::LeftSlap, kSlapLeftHand, 0xF, -15, FingerGap::Separate, 0xF, SkinType::Normal, 4},
        {"close", FingerLayout::RightSlap, kSlapRightHand, 0xF, 0, FingerGap::Close, 0xF, SkinType::Normal, 4},
        // Touching fingers merge into fewer regions than fingers: the early return, no grades.
        {"touching", FingerLayout::LeftSlap, kSlapLeftHand, 0xF, 0, FingerGap::Touching, 0xF, SkinType::Normal, -1},
        {"hard press", FingerLayout::RightSlap, kSlapRightHand, 0xF, 0, FingerGap::Separate, 0xF, SkinType::Normal, 4, 1.4, 1},
        {"dry", FingerLayout::RightSlap, kSlapRightHand, 0xF, 0, FingerGap::Separate, 0xF, SkinType::Dry, 4},
        {"wet", FingerLayout::LeftSlap, kSlapLeftHand, 0xF, 0, FingerGap::Separate, 0xF, SkinType::Wet, 4},
        {"two of four", FingerLayout::RightSlap, kSlapRightHand, 0xA, 0, FingerGap::Separate, 0xA, SkinType::Normal, 2},
        {"thumbs", FingerLayout::TwoThumbs, kSlapTwoThumbs, 3, 0, FingerGap::Separate, 3, SkinType::Normal, 2},
        {"right thumb alone", FingerLayout::TwoThumbs, kSlapTwoThumbs, 1, 0, FingerGap::Separate, 2, SkinType::Normal, 1},
    };
    for (const SegCase& c : cases) {
        SCOPED_TRACE(c.name);
        FingerScene s = Scene(800, 750, 250, c.layout);
        s.rotationDeg = c.rotation;
        s.gap = c.gap;
        s.fingerMask = c.present;
        s.skin = c.skin;
        s.pressure = c.pressure;
        s.phalanx = c.phalanx;
        SceneTruth truth;
        RenderFingers(s, 11, &truth);
        GreyImage img = Calibrated(s, 11);
        FingerInfo fingers[4] = {};
        SegmentParams params = {3, 180, 0, 0, 0, 0, 0};
        char err[64] = "";
        const int found = FlatSegmentLite(img.pixels.data(), img.height, img.width, 250, c.position, c.mask, fingers,
                                          &params, err, sizeof err);
        if (c.expected < 0) {
            EXPECT_GE(found, 1) << err;
            EXPECT_LT(found, 4);
            EXPECT_EQ(params.Presence, 1);
            for (const FingerInfo& f : fingers) EXPECT_EQ(f.Qty, 0);
            continue;
        }
        ASSERT_EQ(found, c.expected) << err;
        ASSERT_EQ(truth.fingers.size(), size_t(c.expected));
        // Each finger found lies on the rendered fingertip of its number, with the hand's angle.
        size_t k = 0;
        for (const FingerInfo& f : fingers) {
            if (f.Finger == 0) continue;
            ++k;
            auto t = std::find_if(truth.fingers.begin(), truth.fingers.end(),
                                  [&](const FingerTruth& x) { return x.isoFinger == f.Finger; });
            ASSERT_NE(t, truth.fingers.end()) << "finger " << f.Finger;
            EXPECT_LE(f.Y, t->right + 10) << "finger " << f.Finger;
            EXPECT_GE(f.Y, t->left - 10) << "finger " << f.Finger;
            EXPECT_LE(f.X, t->bottom + 60) << "finger " << f.Finger;
            EXPECT_GE(f.X, t->top - 10) << "finger " << f.Finger;
            if (c.expected > 1) {
                EXPECT_NEAR(f.Measure, 90 + c.rotation, 8) << "finger " << f.Finger;
            }
        }
        EXPECT_EQ(k, truth.fingers.size());
    }
}

// ---- Block frequency on rendered contacts ---------------------------------------------------------

TEST(SimulatedHands, BlockFrequencyMeasuresTheNominalRidgeFrequency) {
    for (double ppi : {250.0, 500.0}) {
        SCOPED_TRACE(ppi);
        const int side = int(ppi * 1.4);
        FingerScene s = Scene(side, side, ppi, FingerLayout::SingleFinger);
        SceneTruth truth;
        RenderFingers(s, 4, &truth);
        GreyImage img = Calibrated(s, 4);
        ASSERT_EQ(truth.fingers.size(), 1u);
        const FingerTruth& t = truth.fingers[0];
        // The spectral peak of 16 x 16 windows well inside the contact.
        double sum = 0;
        int n = 0;
        std::vector<uint8_t> block(256);
        std::vector<double> re(256), im(256);
        const int cx = int(t.centreX), cy = int(t.centreY);
        const int rx = (t.right - t.left) / 4, ry = (t.bottom - t.top) / 4;
        for (int y = cy - ry; y <= cy + ry; y += 8)
            for (int x = cx - rx; x <= cx + rx; x += 8) {
                for (int r = 0; r < 16; ++r)
                    for (int c = 0; c < 16; ++c) block[r * 16 + c] = img.at(x - 8 + c, y - 8 + r);
                ASSERT_EQ(ByteBlockFft(block.data(), 16, 16, re.data(), im.data()), 0);
                double best = 0, f = 0;
                for (int k1 = -7; k1 <= 7; ++k1)
                    for (int k2 = 0; k2 <= 7; ++k2) {
                        if (k1 * k1 + k2 * k2 < 2) continue;
                        const int i = ((k1 + 16) % 16) * 16 + k2;
                        const double power = re[i] * re[i] + im[i] * im[i];
                        if (power > best) best = power, f = std::sqrt(double(k1 * k1 + k2 * k2));
                    }
                sum += f;
                ++n;
            }
        ASSERT_GT(n, 10);
        EXPECT_NEAR(sum / n, 16.0 / truth.ridgePeriodPxX, 0.45);

        // The analysis marks the contact as one large ridge region (at 500 ppi on the image
        // reduced by 2, as its callers pass it).
        GreyImage a = img;
        if (ppi > 300) {
            GreyImage half(img.width / 2, img.height / 2);
            ASSERT_EQ(ReduceImageByBlocks(img.pixels.data(), img.height, img.width, 0, 0, img.height, img.width,
                                          half.pixels.data(), 2),
                      0);
            a = half;
        }
        const int cr = a.height / 4, cc = a.width / 4;
        std::vector<uint8_t> map(size_t(2) * cr * cc);
        ASSERT_EQ(ReduceImageByBlocks(a.pixels.data(), a.height, a.width, 0, 0, a.height, a.width,
                                      map.data() + size_t(cr) * cc, 4),
                  0);
        ASSERT_EQ(AnalyseBlockFrequency(a.pixels.data(), a.height, a.width, 3, 150, 50, 1, map.data()), 0);
        const double f = ppi > 300 ? 2.0 : 1.0;
        int inside = 0, ridge = 0;
        for (int i = 0; i < cr; ++i)
            for (int j = 0; j < cc; ++j) {
                const double dx = (j * 4 + 2) * f - t.centreX, dy = (i * 4 + 2) * f - t.centreY;
                const double ex = dx / ((t.right - t.left) * 0.35), ey = dy / ((t.bottom - t.top) * 0.35);
                if (ex * ex + ey * ey > 1) continue;
                ++inside;
                ridge += map[size_t(cr) * cc + size_t(i) * cc + j] == kRegionLargeRidge;
            }
        ASSERT_GT(inside, 20);
        EXPECT_GT(ridge, inside * 9 / 10);
    }
}

}  // namespace
