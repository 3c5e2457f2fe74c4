// Location and quality as seen by template extraction (see LocationSeam.h).

#include "irisalg/LocationSeam.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "irisalg/IrisAlg.h"
#include "irisalg/IrisEncode.h"

namespace irisalg {

namespace {

constexpr int kMethods = 25;
// Methods whose final step puts the iris centre on the pupil centre.
bool Concentric(int method) {
    switch (method) {
    case 2: case 4: case 8: case 10: case 14: case 16: case 20: case 22: return true;
    default: return false;
    }
}

}  // namespace

FeatureLocator::FeatureLocator(const uint8_t* image, int width, int height, const int32_t radii[4])
    : image_(image), width_(width), height_(height) {
    for (int i = 0; i < 4; ++i) radii_[i] = radii ? radii[i] : 0;
}

void FeatureLocator::Give(const LocationResult& given) { slot0_ = given; }

int32_t FeatureLocator::Run(int method, LocationResult* result) {
    if (method < 0 || method >= kMethods || !result) return -3;
    if (slot0_.words[kWordPupilR] > 0) {
        *result = slot0_;
        if (method != 0 && Concentric(method)) {
            result->words[kWordIrisX] = result->words[kWordPupilX];
            result->words[kWordIrisY] = result->words[kWordPupilY];
        }
        return 0;
    }
    // No location pipeline in this build: nothing locates an image without a given location.
    (void)image_, (void)width_, (void)height_;
    return -1;
}

// The Class F localiser is part of the location pipeline; this build has nothing to set up.
int32_t SetUpClassF() { return 0; }
void TearDownClassF() {}

void LocationToRecord(const LocationResult& r, IrisLocation* out) {
    std::memset(out, 0, sizeof *out);
    const int32_t* w = r.words;
    out->pupilX = int16_t(w[kWordPupilX]), out->pupilY = int16_t(w[kWordPupilY]);
    out->pupilRadius = int16_t(w[kWordPupilR]);
    out->irisX = int16_t(w[kWordIrisX]), out->irisY = int16_t(w[kWordIrisY]), out->irisRadius = int16_t(w[kWordIrisR]);
    out->eyelidDegree = 2;
    for (int lid = 0; lid < 2; ++lid) {
        const int32_t* c = w + (lid ? kWordLowerLid : kWordUpperLid);
        EyelidCurve curve;
        curve.vertexX = c[0], curve.vertexY = c[1], curve.divisor = c[2], curve.score = c[3];
        int words[4] = {0, 0, 0, 0};
        if (curve.divisor != 0) VertexFormToPolynomial(&curve, words);
        std::memcpy(lid ? out->lowerEyelid : out->upperEyelid, words, sizeof words);
    }
    out->pupilScore = uint8_t(w[kWordScore]);
    out->locationFlag = uint8_t(w[kWordState]);
}

int32_t AnalyseTemplateQuality(const uint8_t* image, int width, int height, const IrisLocation& loc,
                               IrisQualityRecord* record) {
    if (!image || !record) return -11;
    std::memset(record->bytes, 0xFF, sizeof record->bytes);
    record->bytes[0] = 0;
    if (loc.irisRadius <= 0) return -1;
    // Focus by measure 8 around the pupil.
    const int32_t circle[6] = {loc.pupilX, loc.pupilY, loc.pupilRadius, loc.irisX, loc.irisY, loc.irisRadius};
    float focus = 0.0f;
    if (ComputeIrisQuality(image, height, width, 8, circle, &focus, nullptr) != 0) focus = 0.0f;
    if (focus >= 0) {
        record->bytes[3] = record->bytes[4] = uint8_t(std::fmin(focus, 100.0f));
        record->bytes[1] = uint8_t(std::fmin(focus + 0.5f, 255.0f));
    }
    record->bytes[6] = uint8_t(loc.pupilRadius * 100 / loc.irisRadius);
    float usable = 0.0f;
    if (BuildOcclusionMasks(image, width, height, nullptr, &loc, &usable, nullptr, nullptr) == 0)
        record->bytes[2] = uint8_t(usable * 100);
    // No eye detector runs here: the detection confidence stays 0.
    record->bytes[5] = 0;
    MeasureIrisContrast(image, width, height, &loc, record);
    record->bytes[0] = 1;
    return 0;
}

}  // namespace irisalg
