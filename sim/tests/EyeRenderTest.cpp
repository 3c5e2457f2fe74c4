#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "sim/EyeRender.h"

using namespace sim;

namespace {

EyeSceneParams Quiet() {
    EyeSceneParams s;
    s.noise = 0;
    return s;
}

double MeanIn(const GreyImage& img, double cx, double cy, double r0, double r1, double fromDeg, double toDeg) {
    double sum = 0;
    int n = 0;
    for (double r = r0; r <= r1; r += 1)
        for (double a = fromDeg; a <= toDeg; a += 2) {
            const int x = int(std::lround(cx + r * std::cos(a * M_PI / 180))), y = int(std::lround(cy + r * std::sin(a * M_PI / 180)));
            if (x < 0 || y < 0 || x >= img.width || y >= img.height) continue;
            sum += img.at(x, y);
            ++n;
        }
    return n ? sum / n : -1;
}

}  // namespace

TEST(EyeRender, DeterministicPerSubjectEyeAndFrame) {
    EyeSceneParams s;
    const auto a = RenderEyeFrame(s), b = RenderEyeFrame(s);
    EXPECT_EQ(a.image.pixels, b.image.pixels);
    s.frameSeed = 2;  // only the noise differs
    const auto c = RenderEyeFrame(s);
    EXPECT_NE(a.image.pixels, c.image.pixels);
    EXPECT_EQ(a.truth.iris.r, c.truth.iris.r);
    s.rightEye = true;
    EXPECT_NE(RenderEyeFrame(s).truth.iris.r, a.truth.iris.r);
}

TEST(EyeRender, RegionsHaveTheirLevelsAndTheSizesFollowTheDistance) {
    const auto f = RenderEyeFrame(Quiet());
    const EyeTruth& t = f.truth;
    ASSERT_TRUE(t.eyeVisible);
    EXPECT_GE(t.iris.r, 95);
    EXPECT_LE(t.iris.r, 140);
    EXPECT_GT(t.pupil.r / t.iris.r, 0.3);
    EXPECT_LT(t.pupil.r / t.iris.r, 0.47);
    // Not concentric, but close.
    const double off = std::hypot(t.pupil.x - t.iris.x, t.pupil.y - t.iris.y);
    EXPECT_GT(off, 0.3);
    EXPECT_LT(off, 4.5);
    // Pupil dark, iris mid grey, sclera brighter than the iris (sampled left and right, away from
    // the glints), measured on the image against the truth levels.
    const double pupil = MeanIn(f.image, t.pupil.x, t.pupil.y, 0, t.pupil.r * 0.6, 200, 340);
    const double iris = MeanIn(f.image, t.iris.x, t.iris.y, t.pupil.r + 4, t.iris.r - 4, -30, 30);
    const double sclera = MeanIn(f.image, t.iris.x, t.iris.y, t.iris.r + 4, t.iris.r * 1.25, -10, 10);
    EXPECT_NEAR(pupil, t.pupilLevel, 6);
    EXPECT_NEAR(iris, t.irisLevel, 12);
    EXPECT_GT(sclera, iris + 30);
    EXPECT_LT(pupil, iris - 40);
    // Nearer means larger.
    EyeSceneParams near = Quiet();
    near.distanceMm = near.focusMm = 250;
    EXPECT_NEAR(RenderEyeFrame(near).truth.iris.r / t.iris.r, 300.0 / 250.0, 1e-9);
}

TEST(EyeRender, IrisTextureIsFixedPerEyeAndTurnsOnlyWithTheHead) {
    // Texture differs between subjects and eyes, carries energy across the encoder wavelengths
    // (8..40 columns of 512) and is the same object for every frame.
    const auto a = MakeIrisTexture(1, false), b = MakeIrisTexture(1, true), c = MakeIrisTexture(2, false);
    EXPECT_EQ(a->offset, MakeIrisTexture(1, false)->offset);
    EXPECT_NE(a->offset, b->offset);
    EXPECT_NE(a->offset, c->offset);
    const int row = 40;
    auto bandEnergy = [&](int kLo, int kHi) {
        double e = 0;
        for (int k = kLo; k <= kHi; ++k) {
            double re = 0, im = 0;
            for (int i = 0; i < IrisTexture::kAngles; ++i) {
                re += a->at(i, row) * std::cos(2 * M_PI * k * i / IrisTexture::kAngles);
                im += a->at(i, row) * std::sin(2 * M_PI * k * i / IrisTexture::kAngles);
            }
            e += re * re + im * im;
        }
        return e;
    };
    // Wavelength 40..20 columns and 20..8: both bands carry a real share.
    const double low = bandEnergy(13, 25), high = bandEnergy(26, 64), total = bandEnergy(1, 255);
    EXPECT_GT(low / total, 0.1);
    EXPECT_GT(high / total, 0.1);

    // Head roll turns the iris pattern about its centre: a ring sampled at angle a before matches
    // the ring at a + roll after; without roll it stays put.
    EyeSceneParams s = Quiet();
    const auto base = RenderEyeFrame(s);
    s.headRollDeg = 10;
    const auto rolled = RenderEyeFrame(s);
    const Circle& i0 = base.truth.iris;
    const Circle& i1 = rolled.truth.iris;
    const double r = (base.truth.pupil.r + i0.r) / 2;
    double same = 0, shifted = 0;
    for (int deg = -40; deg <= 40; ++deg) {
        const auto at = [&](const GreyImage& img, const Circle& c, double d) {
            return double(img.at(int(std::lround(c.x + r * std::cos(d * M_PI / 180))), int(std::lround(c.y + r * std::sin(d * M_PI / 180)))));
        };
        same += std::abs(at(base.image, i0, deg) - at(rolled.image, i1, deg));
        shifted += std::abs(at(base.image, i0, deg) - at(rolled.image, i1, deg + 10));
    }
    EXPECT_LT(shifted * 2, same);
}

TEST(EyeRender, PupilFollowsTheWhiteLedAndTheTextureStretchesWithIt) {
    EyeSceneParams s = Quiet();
    const auto dark = RenderEyeFrame(s);
    s.white = 6;
    const auto lit = RenderEyeFrame(s);
    EXPECT_LT(lit.truth.pupil.r, dark.truth.pupil.r - 5);
    EXPECT_EQ(lit.truth.iris.r, dark.truth.iris.r);
    // The white LED adds its own glint on the iris, below the pupil.
    ASSERT_EQ(dark.truth.glints.size(), 2u);
    ASSERT_EQ(lit.truth.glints.size(), 3u);
    const Glint& w = lit.truth.glints[2];
    EXPECT_EQ(w.source, Glint::White);
    const double dw = std::hypot(w.x - lit.truth.pupil.x, w.y - lit.truth.pupil.y);
    EXPECT_GT(dw, lit.truth.pupil.r + w.r);
    EXPECT_LT(dw, lit.truth.iris.r - w.r);
}

TEST(EyeRender, GlintsSitOnThePupilOnePerLitLed) {
    EyeSceneParams s = Quiet();
    const auto f = RenderEyeFrame(s);
    ASSERT_EQ(f.truth.glints.size(), 2u);
    for (const Glint& g : f.truth.glints) {
        EXPECT_GE(g.r, 3);
        EXPECT_LE(g.r, 6);
        EXPECT_LE(std::hypot(g.x - f.truth.pupil.x, g.y - f.truth.pupil.y) + g.r + 2, f.truth.pupil.r * 0.97);
        EXPECT_GE(f.image.at(int(g.x), int(g.y)), 250);
    }
    EXPECT_NE(f.truth.glints[0].x, f.truth.glints[1].x);
    s.red2 = 0;
    const auto one = RenderEyeFrame(s);
    ASSERT_EQ(one.truth.glints.size(), 1u);
    EXPECT_EQ(one.truth.glints[0].source, Glint::Red1);
}

TEST(EyeRender, LidsCoverPartOfTheIrisAndCloseInABlink) {
    EyeSceneParams s = Quiet();
    const auto f = RenderEyeFrame(s);
    const EyeTruth& t = f.truth;
    // Upper vertex above the centre, lower below, both cutting the iris circle.
    EXPECT_LT(t.upperLid.y0, t.iris.y - 0.6 * t.iris.r);
    EXPECT_GT(t.upperLid.y0, t.iris.y - t.iris.r);
    EXPECT_GT(t.lowerLid.y0, t.iris.y + 0.8 * t.iris.r);
    EXPECT_LT(t.lowerLid.y0, t.iris.y + t.iris.r);
    EXPECT_GT(t.upperLid.p, 0);
    EXPECT_LT(t.lowerLid.p, 0);
    EXPECT_GT(t.occludedShare, 0.03);
    EXPECT_LT(t.occludedShare, 0.3);
    // Corners tapered: the lids meet there, about 2.1 R either side.
    for (int side = 0; side < 2; ++side) {
        EXPECT_NEAR(std::abs(t.cornerX[size_t(side)] - t.iris.x), 2.1 * t.iris.r, 0.15 * t.iris.r);
        EXPECT_NEAR(t.upperLid.at(t.cornerX[size_t(side)]), t.lowerLid.at(t.cornerX[size_t(side)]), 1.0);
    }
    // Just below the upper lid's edge on the iris is iris; just above is the dark lash line.
    const int x = int(t.iris.x) - 20;
    const double edge = t.upperLid.at(x);
    EXPECT_LT(f.image.at(x, int(edge) - 3), 70);
    EXPECT_GT(f.image.at(x, int(edge) + 8), f.image.at(x, int(edge) - 3) + 30);
    // The lash line's top edge: skin above it, the dark line below it, on most columns across the
    // iris (lashes cross some of them).
    int crisp = 0;
    for (int c = int(t.iris.x) - 40; c <= int(t.iris.x) + 40; c += 4) {
        const double top = t.upperLashTop.at(c);
        EXPECT_NEAR(t.upperLid.at(c) - top, 5 * t.scale, 0.5) << c;
        crisp += f.image.at(c, int(std::lround(top)) - 3) > f.image.at(c, int(std::lround(top)) + 2) + 40;
    }
    EXPECT_GE(crisp, 14) << "of 21 columns";
    // Half closed covers more, closed covers all.
    s.openness = 0.5;
    EXPECT_GT(RenderEyeFrame(s).truth.occludedShare, t.occludedShare + 0.2);
    s.openness = 0;
    const auto closed = RenderEyeFrame(s);
    EXPECT_NEAR(closed.truth.occludedShare, 1.0, 1e-9);
    EXPECT_FALSE(closed.truth.eyeVisible);
    EXPECT_TRUE(closed.truth.glints.empty());
}

TEST(EyeRender, LookingAwayMovesTheIrisUnderTheLids) {
    EyeSceneParams s = Quiet();
    const auto f = RenderEyeFrame(s);
    s.gazeX = 0.85;
    s.gazeY = -0.25;
    const auto away = RenderEyeFrame(s);
    EXPECT_NEAR(away.truth.iris.x - f.truth.iris.x, 0.85 * f.truth.iris.r, 1e-6);
    EXPECT_GT(away.truth.occludedShare, f.truth.occludedShare + 0.1);
}

TEST(EyeRender, BrightnessFollowsLedsExposureAndGain) {
    EyeSceneParams s = Quiet();
    auto mean = [](const EyeSceneParams& p) {
        const auto f = RenderEyeFrame(p);
        double sum = 0;
        for (uint8_t v : f.image.pixels) sum += v;
        return sum / f.image.pixels.size();
    };
    double last = -1;
    for (double red : {20.0, 60.0, 100.0, 140.0}) {
        s.red1 = s.red2 = red;
        const double m = mean(s);
        EXPECT_GT(m, last + 5) << red;
        last = m;
    }
    s.red1 = s.red2 = 81;
    const double base = mean(s);
    s.exposure = 60;
    EXPECT_LT(mean(s), base - 20);
    s.exposure = 220;
    s.gain = 1.3;
    EXPECT_GT(mean(s), base + 15);
}

TEST(EyeRender, DefocusFollowsTheDistanceAndNoiseHasItsSigma) {
    EyeSceneParams s = Quiet();
    s.distanceMm = 340;
    const auto f = RenderEyeFrame(s);
    EXPECT_NEAR(f.truth.blurSigma, 0.12 * 40 * 300 / 340, 1e-9);
    EXPECT_NEAR(f.truth.scale, 300.0 / 340, 1e-12);
    // Noise: the difference of two frames differing only in noise has sigma * sqrt(2).
    EyeSceneParams n = Quiet();
    n.eyePresent = false;
    n.noise = 2.5;
    n.frameSeed = 1;
    const auto a = RenderEyeFrame(n);
    n.frameSeed = 2;
    const auto b = RenderEyeFrame(n);
    double s2 = 0;
    for (size_t i = 0; i < a.image.pixels.size(); ++i) {
        const double d = double(a.image.pixels[i]) - b.image.pixels[i];
        s2 += d * d;
    }
    EXPECT_NEAR(std::sqrt(s2 / a.image.pixels.size() / 2), 2.5, 0.35);
}

TEST(EyeRender, BoxGaussianBlurHasTheRequestedSpread) {
    // A single bright pixel spreads with the variance sigma^2 in each axis.
    for (double sigma : {0.8, 2.0, 4.5}) {
        const int n = 81;
        std::vector<float> img(size_t(n) * n, 0.f);
        img[size_t(40) * n + 40] = 1000.f;
        BoxGaussianBlur(img, n, n, sigma);
        double sum = 0, var = 0;
        for (int x = 0; x < n; ++x) {
            sum += img[size_t(40) * n + x];
            var += img[size_t(40) * n + x] * (x - 40.0) * (x - 40.0);
        }
        EXPECT_NEAR(std::sqrt(var / sum), sigma, 0.12 * sigma) << sigma;
    }
}

TEST(EyeRender, WideSensorAndNoEye) {
    EyeSceneParams s = Quiet();
    s.width = 752;
    const auto f = RenderEyeFrame(s);
    EXPECT_EQ(f.image.width, 752);
    EXPECT_NEAR(f.truth.iris.x, 376, 5);
    s.eyePresent = false;
    const auto none = RenderEyeFrame(s);
    EXPECT_FALSE(none.truth.eyeVisible);
    EXPECT_TRUE(none.truth.glints.empty());
}

namespace {

// Mean grey of a square of half-size 0.12 iris radii at (u, v) iris radii from the iris centre, u
// towards the nose (the left eye has its nose towards +x on screen, the right eye towards -x).
double Patch(const EyeFrame& f, bool rightEye, double u, double v) {
    const EyeTruth& t = f.truth;
    const double R = t.iris.r;
    const int h = int(0.12 * R);
    const int cx = int(std::lround(t.iris.x + (rightEye ? -u : u) * R)), cy = int(std::lround(t.iris.y + v * R));
    double sum = 0;
    int n = 0;
    for (int y = cy - h; y <= cy + h; ++y)
        for (int x = cx - h; x <= cx + h; ++x) {
            if (x < 0 || y < 0 || x >= f.image.width || y >= f.image.height) continue;
            sum += f.image.at(x, y);
            ++n;
        }
    return n ? sum / n : -1;
}

}  // namespace

TEST(EyeRender, SkinAroundTheEyeShowsTheLitReliefOfTheFace) {
    // Far enough for the whole orbit to be in the frame. The lamps sit by the lens: the brow
    // ridge catches the light while the orbit's hollow beside the nose lies in shade, the cheek
    // is brighter than the band under the eye, and the temple turns away from the light while the
    // side of the nose faces it. Both eyes, so that the nose side follows the eye.
    for (uint32_t subject = 1; subject <= 6; ++subject)
        for (bool right : {false, true}) {
            EyeSceneParams s = Quiet();
            s.subjectSeed = subject;
            s.rightEye = right;
            s.distanceMm = s.focusMm = 600;
            const auto f = RenderEyeFrame(s);
            EXPECT_GT(Patch(f, right, 0.6, -1.45), Patch(f, right, 1.6, -0.75) + 20) << subject << " ridge / hollow";
            EXPECT_GT(Patch(f, right, 0, 2.3), Patch(f, right, 0, 1.5) + 5) << subject << " cheek / under the eye";
            EXPECT_GT(Patch(f, right, 3.3, 0), Patch(f, right, -3.3, 0) + 10) << subject << " nose side / temple";
        }
}

TEST(EyeRender, LashesVaryInNumberFromEyeToEye) {
    // Dark pixels in the band above the lash line's top edge, across the eye: the lashes that
    // stand out of it. Sparse and dense lashes differ by more than a factor of two.
    double fewest = 1e9, most = 0;
    for (uint32_t subject = 1; subject <= 12; ++subject) {
        EyeSceneParams s = Quiet();
        s.subjectSeed = subject;
        const auto f = RenderEyeFrame(s);
        const EyeTruth& t = f.truth;
        int dark = 0;
        for (int x = int(t.cornerX[0]); x <= int(t.cornerX[1]); ++x) {
            const double top = t.upperLashTop.at(x);
            for (int y = int(top - 0.35 * t.iris.r); y < int(top) - 1; ++y)
                if (y >= 0 && f.image.at(x, y) < 0.6 * t.skinLevel) ++dark;
        }
        fewest = std::min(fewest, double(dark));
        most = std::max(most, double(dark));
    }
    EXPECT_GT(fewest, 0);
    EXPECT_GT(most, 2 * fewest);
}

TEST(EyeRender, SomeSubjectsWearGlassesWhoseReflectionsStayOffTheEye) {
    // The lamps' reflections on a lens show as a bright patch above the eye on the temple side.
    // About one subject in five wears glasses; the frame runs round the eye clear of its corners,
    // and the reflections never fall into the eye opening, where the only pixels above the sclera
    // are the glints of the truth.
    int glasses = 0;
    for (uint32_t subject = 1; subject <= 40; ++subject) {
        EyeSceneParams s = Quiet();
        s.subjectSeed = subject;
        s.distanceMm = s.focusMm = 600;
        const auto f = RenderEyeFrame(s);
        const EyeTruth& t = f.truth;
        const double R = t.iris.r;
        int brightest = 0;
        for (int dy = -int(0.1 * R); dy <= int(0.1 * R); ++dy)
            for (int dx = -int(0.2 * R); dx <= int(0.2 * R); ++dx)
                brightest = std::max<int>(brightest, f.image.at(int(t.iris.x - 1.5 * R) + dx, int(t.iris.y - 1.2 * R) + dy));
        const bool wearsGlasses = brightest > t.skinLevel + 30;
        glasses += wearsGlasses;
        // The frame: a narrow dark line across the row through the eye, on both sides and well
        // clear of the eye corners; without glasses no such line.
        const int y = int(std::lround(t.iris.y)), d = int(0.3 * R);
        int leftOfEye = 0, rightOfEye = 0, nearEye = 0;
        for (int x = d; x < f.image.width - d; ++x) {
            const int p = f.image.at(x, y);
            if (p >= std::min(f.image.at(x - d, y), f.image.at(x + d, y)) - 20) continue;
            if (x < t.cornerX[0] - 0.5 * R) ++leftOfEye;
            else if (x > t.cornerX[1] + 0.5 * R) ++rightOfEye;
            else if (x < t.cornerX[0] - 0.15 * R || x > t.cornerX[1] + 0.15 * R) ++nearEye;  // the lash line ends at the corners
        }
        EXPECT_EQ(nearEye, 0) << subject;
        EXPECT_EQ(leftOfEye > 0 && rightOfEye > 0, wearsGlasses) << subject << ": " << leftOfEye << " " << rightOfEye;
        if (!wearsGlasses) EXPECT_EQ(leftOfEye + rightOfEye, 0) << subject;
        int stray = 0;
        for (int x = int(t.cornerX[0]) + 1; x < int(t.cornerX[1]); ++x)
            for (int y = int(t.upperLid.at(x)) + 1; y < int(t.lowerLid.at(x)); ++y) {
                if (f.image.at(x, y) <= t.scleraLevel + 20) continue;
                bool onGlint = false;
                for (const Glint& g : t.glints) onGlint |= std::hypot(x - g.x, y - g.y) < g.r + 2;
                stray += !onGlint;
            }
        EXPECT_EQ(stray, 0) << subject;
    }
    EXPECT_GE(glasses, 3);
    EXPECT_LE(glasses, 14);
}
