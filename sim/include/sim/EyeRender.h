#pragma once
// Near-infrared eye renderer for the simulated iris camera and every iris test.
//
// A frame is a pure function of the subject seed, the eye side and the scene: the same inputs give
// the same bytes. Each subject and eye owns an iris texture (radial fibres, crypts, a collarette,
// furrows) that stays fixed across frames, stretches with the pupil and turns only with the head
// roll. The frame comes with its ground truth: circles, eyelid parabolas, glints, the occluded
// share of the iris and the blur that was applied.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/Render.h"

namespace sim {

// The polar iris texture of one eye: an albedo offset around the iris mean, indexed by angle
// (kAngles columns over a full turn, counter-clockwise from the eye's +x axis with rows growing
// downward) and by normalised radius from the pupil edge (row 0) to the limbus (kRadii - 1).
struct IrisTexture {
    static constexpr int kAngles = 512;
    static constexpr int kRadii = 64;
    uint32_t seed = 0;
    bool rightEye = false;
    std::vector<float> offset;  // kAngles * kRadii, row by row from the pupil edge
    float at(int a, int r) const { return offset[size_t(r) * kAngles + (a & (kAngles - 1))]; }
};

std::shared_ptr<const IrisTexture> MakeIrisTexture(uint32_t subjectSeed, bool rightEye);

struct EyeSceneParams {
    int width = 640;
    int height = 480;
    uint32_t subjectSeed = 1;
    bool rightEye = false;
    uint32_t frameSeed = 1;   // sensor noise only

    bool eyePresent = true;
    double centreX = 0.5;       // eye centre as a fraction of the frame
    double centreY = 0.5;
    double distanceMm = 300;    // subject distance; scale and defocus follow it
    double focusMm = 300;       // distance the lens is focused at
    double extraBlur = 0;       // further Gaussian blur (sigma, pixels) on top of the defocus
    double openness = 1;        // 1 open, 0 closed (blink)
    double gazeX = 0, gazeY = 0;  // iris shift inside the opening as a fraction of the iris radius
    double headRollDeg = 0;     // turns the whole eye about its centre, clockwise on screen

    // Illumination and sensor.
    double exposure = 220;      // exposure register; brightness saturates smoothly with it
    double referenceExposure = 220;
    double gain = 1;            // analogue gain: signal and noise
    double red1 = 81, red2 = 81;  // near-infrared LED levels 0..255
    double white = 0;           // white LED level 0..255: constricts the pupil, adds a glint
    double noise = 2.5;         // sensor noise sigma at gain 1

    bool operator==(const EyeSceneParams&) const = default;
};

struct Circle {
    double x = 0, y = 0, r = 0;
};

// row = y0 + (x - x0)^2 / p in image pixels (p > 0 opens downward on screen, the lower lid has
// p < 0). With a head roll the curves hold in the eye's own frame, rotated by `headRollDeg`.
struct LidCurve {
    double x0 = 0, y0 = 0, p = 0;
    double at(double x) const { return y0 + (x - x0) * (x - x0) / p; }
};

struct Glint {
    enum Source { Red1, Red2, White } source = Red1;
    double x = 0, y = 0, r = 0;
};

struct EyeTruth {
    bool eyeVisible = false;      // an eye is in the frame with its iris at least partly open
    Circle pupil;                 // mean radius of the slightly elliptical pupil
    double pupilEllipticity = 0;  // (major - minor) / (major + minor)
    Circle iris;
    LidCurve upperLid, lowerLid;
    // Top edge of the dark lash line that runs along the upper lid above its edge (the lid edge
    // is the line's bottom edge): the two strongest horizontal edges above the eye.
    LidCurve upperLashTop;
    std::array<double, 2> cornerX{}, cornerY{};  // where the lids meet, left and right on screen
    std::vector<Glint> glints;
    double occludedShare = 0;     // share of the iris annulus (outside the pupil circle) under the lids
    double blurSigma = 0;         // Gaussian sigma of the defocus applied, pixels
    double scale = 1;             // image scale relative to the nominal distance
    double headRollDeg = 0;
    // Noise-free grey levels of the regions (at the illumination of this frame).
    double pupilLevel = 0, irisLevel = 0, scleraLevel = 0, skinLevel = 0;
};

struct EyeFrame {
    GreyImage image;
    EyeTruth truth;
};

// Renders one frame; `texture` may be passed to skip rebuilding the eye's iris texture (it must
// belong to the scene's subject and eye).
EyeFrame RenderEyeFrame(const EyeSceneParams& scene, const IrisTexture* texture = nullptr);

// The sensor noise of a frame (a function of the frame seed), as RenderEyeFrame adds it: a frame
// rendered with noise 0 and then given this noise equals the frame rendered with noise.
void AddSensorNoise(GreyImage& image, const EyeSceneParams& scene);

// Mean grey levels of an image of the eye against its truth circles: inside 0.7 of the pupil
// radius, and in the iris ring below the pupil (1.3 pupil radii to 0.9 iris radii). A region
// without a pixel in the image has count 0 and mean 0.
struct PupilAndRing {
    double pupil = 0, ring = 0;
    int pupilCount = 0, ringCount = 0;
};
PupilAndRing MeanPupilAndRing(const uint8_t* pixels, int width, int height, const Circle& pupil, const Circle& iris);

// Illumination factor of a scene: grey level = albedo x factor (before the white LED's lift).
double EyeIllumination(const EyeSceneParams& scene);

// Blurs an image in place with three box passes per axis approximating a Gaussian of `sigma`.
void BoxGaussianBlur(std::vector<float>& image, int width, int height, double sigma);

}  // namespace sim

namespace sim {

// Eye-like distractors drawn over a frame for the negatives of the eye detectors: nostrils (dark
// ellipse pairs), frames of glasses (thick dark rims), brows (dark textured arcs) and loose lash
// strokes. `count` shapes are drawn, a pure function of the seed.
void DrawEyeDistractors(GreyImage& image, uint32_t seed, int count);

}  // namespace sim
