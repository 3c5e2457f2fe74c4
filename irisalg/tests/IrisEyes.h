#pragma once
// Rendered eyes for the encoder and matcher tests: captures of a subject's eye with pupil
// dilation, head roll, sensor noise and lid changes, and the extraction options that hand the
// renderer's ground truth to the feature extractor as a given location.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "irisalg/IrisAlg.h"
#include "irisalg/IrisEncode.h"
#include "sim/EyeRender.h"

namespace iristest {

// Capture c of a subject's eye: a different frame seed, pupil size, roll and lid opening each time.
inline sim::EyeSceneParams Capture(int subject, bool right, int c, double roll = 1e9) {
    static constexpr double kRoll[6] = {0, 5, -6, 3, -3, 7};
    static constexpr double kWhite[6] = {0, 6, 2, 12, 1, 4};
    static constexpr double kOpen[6] = {1, 0.9, 0.8, 0.95, 0.85, 1};
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
