#pragma once
// Rendered eyes for the encoder and matcher tests: captures of a subject's eye with pupil
// dilation, head roll, sensor noise and lid changes (in focus, or spread over what the iris capture
// library accepts), and the extraction options that hand the renderer's ground truth to the feature
// extractor as a given location.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "irisalg/IrisAlg.h"
#include "irisalg/IrisEncode.h"
#include "sim/EyeRender.h"

namespace iristest {

// What the iris capture library accepts of a frame, with its default automatic-capture parameters
// (Zarn_IRIS_Capture_SetAutoCapParams): an iris radius above 90 pixels, a usable iris share above
// 70 per cent, and the iris circle inside the camera's frame with room of 1.6 radii beside it and
// 1.2 radii above and below. The renderer's truth stands in for what the library locates. Its
// focus gate is not measured here: it passes every distance from 270 to 350 mm with the lens
// focused at 300 mm, the range the scenes below keep to.
inline constexpr double kAcceptedIrisRadius = 90;
inline constexpr double kAcceptedOccludedShare = 0.30;
inline constexpr int kCameraWidth = 640, kCameraHeight = 480;

// Head roll of every capture lies within +-kMaxRollDeg, so that two captures of one eye differ by
// at most 2 x kMaxRollDeg: inside the 11.25 degrees (4 byte shifts of a 128-byte row) that the
// matcher searches by default.
inline constexpr double kMaxRollDeg = 5;

// Whether the capture library would keep a frame of this scene: its iris size, the share of the
// iris the lids leave open and its place in a camera frame centred where the scene is. A scene
// rendered smaller than the camera's frame is taken as a cut from it.
inline bool Accepted(const sim::EyeSceneParams& s, const sim::EyeTruth& t) {
    const double x = t.iris.x + (kCameraWidth - s.width) * s.centreX;
    const double y = t.iris.y + (kCameraHeight - s.height) * s.centreY;
    const double r = t.iris.r;
    return r > kAcceptedIrisRadius && t.occludedShare < kAcceptedOccludedShare && x - 1.6 * r > 0 &&
           x + 1.6 * r < kCameraWidth && y - 1.2 * r > 0 && y + 1.2 * r < kCameraHeight;
}

// Renders a capture as the capture library would keep it: a frame it would refuse (the lids too far
// down in a blink) is followed by the next one, the eye opened by another 5 per cent. Returns
// false when even the open eye is refused.
inline bool RenderAccepted(sim::EyeSceneParams& s, const sim::IrisTexture* texture, sim::EyeFrame& out) {
    for (;;) {
        out = sim::RenderEyeFrame(s, texture);
        if (Accepted(s, out.truth)) return true;
        if (s.openness >= 1) return false;
        s.openness = std::min(1.0, s.openness + 0.05);
    }
}

// Capture c of a subject's eye, in focus: a different frame seed, pupil size, roll and lid opening
// each time, all within what the capture library accepts.
inline sim::EyeSceneParams Capture(int subject, bool right, int c, double roll = 1e9) {
    static constexpr double kRoll[6] = {0, 5, -5, 3, -3, 2};
    static constexpr double kWhite[6] = {0, 6, 2, 12, 1, 4};
    static constexpr double kOpen[6] = {1, 0.9, 0.95, 0.95, 0.9, 1};
    sim::EyeSceneParams s;
    s.width = 400;  // the eye with a little sclera around it: cheap to render
    s.height = 320;
    s.red1 = s.red2 = 120;
    s.subjectSeed = uint32_t(1000 + subject);
    s.rightEye = right;
    s.frameSeed = uint32_t(subject * 97 + c * 13 + (right ? 5 : 0) + 1);
    s.headRollDeg = roll < 1e8 ? roll : kRoll[c % 6];
    s.white = kWhite[c % 6];
    s.openness = kOpen[c % 6];
    s.centreX = 0.5 + 0.02 * ((c % 3) - 1);
    s.centreY = 0.5 + 0.015 * ((c % 2) ? 1 : -1);
    return s;
}

// Uniform in [0, 1): a hash of the capture and of which of its values is drawn.
inline double CaptureDraw(int subject, bool right, int c, int value) {
    uint64_t z = (uint64_t(uint32_t(subject)) << 32 | uint64_t(c) << 8 | uint64_t(right) << 4 | uint64_t(value)) +
                 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return double((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
}

// Capture c of a subject's eye as the capture library takes it: a full camera frame at the red LED
// level it sets, the subject anywhere from 270 to 350 mm with the lens focused at 300 mm, the pupil
// anywhere from wide open (white LED off) to narrow (white LED full on), the lids anywhere from
// open to a fifth of the way into a blink (RenderAccepted takes a refused frame again, more open),
// and head roll within +-kMaxRollDeg.
inline sim::EyeSceneParams AcceptanceCapture(int subject, bool right, int c) {
    // White LED levels from off to full; the pupil reacts most at the low levels.
    static constexpr double kWhite[8] = {0, 1, 2, 3, 5, 8, 16, 255};
    const auto draw = [&](int value, double lo, double hi) { return lo + (hi - lo) * CaptureDraw(subject, right, c, value); };
    sim::EyeSceneParams s;
    s.width = kCameraWidth;
    s.height = kCameraHeight;
    s.subjectSeed = uint32_t(1000 + subject);
    s.rightEye = right;
    s.frameSeed = uint32_t(subject * 97 + c * 13 + (right ? 5 : 0) + 1);
    s.red1 = s.red2 = 81;
    s.distanceMm = draw(0, 270, 350);
    s.focusMm = 300;
    s.white = kWhite[int(draw(1, 0, 8))];
    s.openness = draw(2, 0.8, 1);
    s.headRollDeg = draw(3, -kMaxRollDeg, kMaxRollDeg);
    s.centreX = draw(4, 0.45, 0.55);
    s.centreY = draw(5, 0.45, 0.55);
    return s;
}

// Extraction options: the requested kinds and the truth as a given location.
inline std::array<int32_t, 256> Options(const sim::EyeTruth& t, uint32_t tags) {
    std::array<int32_t, 256> o{};
    o[0] = int32_t(tags);
    o[1] = 1;
    o[11] = int32_t(std::lround(t.pupil.x)), o[12] = int32_t(std::lround(t.pupil.y));
    o[13] = int32_t(std::lround(t.pupil.r));
    o[14] = int32_t(std::lround(t.iris.x)), o[15] = int32_t(std::lround(t.iris.y)), o[16] = int32_t(std::lround(t.iris.r));
    o[20] = 2;
    const auto lid = [](const sim::LidCurve& c, int32_t* words) {
        irisalg::EyelidCurve e;
        e.vertexX = int32_t(std::lround(c.x0));
        e.vertexY = int32_t(std::lround(c.y0));
        e.divisor = int32_t(std::lround(c.p));
        e.score = 4000;
        int w[4] = {0, 0, 0, 0};
        irisalg::VertexFormToPolynomial(&e, w);
        std::memcpy(words, w, sizeof w);
    };
    lid(t.upperLid, o.data() + 21);
    lid(t.lowerLid, o.data() + 27);
    return o;
}

// The truth as a working location record (eyelids present).
inline irisalg::LocationResult Location(const sim::EyeTruth& t) {
    irisalg::LocationResult r{};
    int32_t* w = r.words;
    w[irisalg::kWordPupilX] = int32_t(std::lround(t.pupil.x)), w[irisalg::kWordPupilY] = int32_t(std::lround(t.pupil.y));
    w[irisalg::kWordPupilR] = int32_t(std::lround(t.pupil.r));
    w[irisalg::kWordIrisX] = int32_t(std::lround(t.iris.x)), w[irisalg::kWordIrisY] = int32_t(std::lround(t.iris.y));
    w[irisalg::kWordIrisR] = int32_t(std::lround(t.iris.r));
    const auto lid = [](const sim::LidCurve& c, int32_t* d) {
        d[0] = int32_t(std::lround(c.x0)), d[1] = int32_t(std::lround(c.y0)), d[2] = int32_t(std::lround(c.p)), d[3] = 4000;
    };
    lid(t.upperLid, w + irisalg::kWordUpperLid);
    lid(t.lowerLid, w + irisalg::kWordLowerLid);
    return r;
}

}  // namespace iristest
