// The location pipeline: 24 methods, each a pupil step, an iris step and a final step, with the
// pupil and iris results cached per context so that several methods on one image compute each
// step once. Also the location and quality exports built on it.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "TskIrisAPI.h"
#include "irisalg/EyeDetector.h"
#include "irisalg/Location.h"

namespace irisalg {

namespace {

using P = PupilStep;
using I = IrisStep;
using F = FinalStep;

}  // namespace

const LocationMethod kLocationMethods[25] = {
    {1, P::A, I::Boundary, F::Copy}, {1, P::A, I::Boundary, F::Copy}, {1, P::A, I::Boundary, F::Concentric},
    {2, P::A, I::ClassF, F::Copy},   {2, P::A, I::ClassF, F::Concentric}, {2, P::A, I::None, F::Copy},
    {2, P::A, I::None, F::Copy},     {3, P::B, I::Boundary, F::Copy},   {3, P::B, I::Boundary, F::Concentric},
    {4, P::B, I::ClassF, F::Copy},   {4, P::B, I::ClassF, F::Concentric}, {4, P::B, I::None, F::Copy},
    {4, P::B, I::None, F::Copy},     {5, P::C, I::Boundary, F::Copy},   {5, P::C, I::Boundary, F::Concentric},
    {6, P::C, I::ClassF, F::Copy},   {6, P::C, I::ClassF, F::Concentric}, {6, P::C, I::None, F::Copy},
    {6, P::C, I::None, F::Copy},     {7, P::D, I::Boundary, F::Copy},   {7, P::D, I::Boundary, F::Concentric},
    {8, P::D, I::ClassF, F::Copy},   {8, P::D, I::ClassF, F::Concentric}, {8, P::D, I::None, F::Copy},
    {8, P::D, I::None, F::Copy},
};

LocationContext* CreateLocationContext(const uint8_t* image, int width, int height) {
    auto* c = new (std::nothrow) LocationContext();
    if (!c) return nullptr;
    c->image = image;
    c->width = width;
    c->height = height;
    const double s = height > 480 ? height / 480.0 : 1.0;
    c->pupilMin = int32_t(22 * s);
    c->pupilMax = height > 480 ? int32_t((s * 4 / 3) * 72) : 72;
    c->irisMin = 72;
    c->irisMax = height <= 480 ? 160 : 240 * ((height - 1) / 480 + 1);
    return c;
}

void FreeLocationContext(LocationContext* context) { delete context; }

namespace {

// Runs (or reuses) a pupil step; its cache row on success, null on failure.
int32_t* RunPupilStep(LocationContext* c, PupilStep step) {
    int32_t* cache = c->pupil[int(step)];
    if (cache[2] > 0) return cache;
    if (cache[2] < 0) return nullptr;
    auto fail = [&] {
        cache[2] = -1;
        return nullptr;
    };
    switch (step) {
        case PupilStep::A:
            if (LocatePupilSymmetry(c->image, c->width, c->height, 0, &cache[0], &cache[1], &cache[2], &cache[3],
                                    c->pupilMin, c->pupilMax) != 0)
                return fail();
            break;
        case PupilStep::B:
            if (LocatePupilBalanced(c->image, c->width, c->height, 0, &cache[0], &cache[1], &cache[2], &cache[3],
                                    c->pupilMin, c->height / 3, c->height / 150 + 1) != 0)
                return fail();
            break;
        case PupilStep::C: {
            const int32_t* used = RunPupilStep(c, PupilStep::A);
            if (!used || used[2] < 0) used = RunPupilStep(c, PupilStep::B);
            if (!used) return fail();
            std::memcpy(cache, used, 4 * sizeof(int32_t));
            break;
        }
        case PupilStep::D: {
            const int32_t* a = RunPupilStep(c, PupilStep::A);
            const int32_t* b = RunPupilStep(c, PupilStep::B);
            const int32_t* used = a && (!b || a[3] >= b[3]) ? a : b;
            if (!used) return fail();
            std::memcpy(cache, used, 4 * sizeof(int32_t));
            break;
        }
    }
    if (cache[2] < 1) return fail();
    return cache;
}

bool RunIrisStep(LocationContext* c, IrisStep step, LocationResult* slot, const int32_t* pupil) {
    int32_t* w = slot->words;
    switch (step) {
        case IrisStep::Boundary: {
            w[kWordPupilX] = pupil[0], w[kWordPupilY] = pupil[1], w[kWordPupilR] = pupil[2];
            int32_t params[32] = {};
            params[7] = c->pupilMin;
            params[14] = c->irisMax;
            params[15] = c->irisMin;
            return LocateIrisAndEyelids(c->image, c->height, c->width, slot, params) == 0;
        }
        case IrisStep::ClassF: {
            int32_t circle[6] = {pupil[0], pupil[1], pupil[0], pupil[1], pupil[2], pupil[2]};  // ix iy px py ir pr
            if (LocateClassFCircles(c->image, c->height, c->width, 0, &circle[0], &circle[1], &circle[2], &circle[3],
                                    &circle[4], &circle[5], c->irisMin, c->irisMax) != 0)
                return false;
            int32_t lids[8];
            if (LocateClassFEyelids(c->image, c->height, c->width, 0, &circle[0], &circle[1], &circle[2], &circle[3],
                                    &circle[4], &circle[5], lids) != 0)
                return false;
            w[kWordPupilX] = circle[2], w[kWordPupilY] = circle[3], w[kWordPupilR] = circle[5];
            w[kWordIrisX] = circle[0], w[kWordIrisY] = circle[1], w[kWordIrisR] = circle[4];
            std::memcpy(w + 19, lids, 4 * sizeof(int32_t));
            std::memcpy(w + 25, lids + 4, 4 * sizeof(int32_t));
            return true;
        }
        case IrisStep::None:
            return false;
    }
    return false;
}

}  // namespace

int32_t RunLocationMethod(LocationContext* c, int method, LocationResult* result) {
    if (!c || !result || method < 0 || method > 24) return -3;
    LocationResult* slot = nullptr;
    if (method == 0) {
        for (auto& s : c->slots)
            if (s.words[kWordPupilR] > 0) {
                slot = &s;
                break;
            }
        if (!slot) method = 1;
    }
    const LocationMethod& row = kLocationMethods[method];
    if (!slot) {
        slot = c->slots[0].words[kWordPupilR] > 0 ? &c->slots[0] : &c->slots[row.group];
        int32_t& state = slot->words[kWordPupilR];
        if (state < 0) return -1;
        if (state == 0) {
            const int32_t* pupil = RunPupilStep(c, row.pupil);
            if (!pupil) {
                state = -1;
                return -1;
            }
            if (!RunIrisStep(c, row.iris, slot, pupil)) {
                slot->words[kWordPupilR] = -1;
                return -2;
            }
            slot->words[kWordState] = 255;
            slot->words[kWordScore] = pupil[3];
        }
    }
    *result = *slot;
    if (row.final == FinalStep::Concentric) {
        result->words[kWordIrisX] = result->words[kWordPupilX];
        result->words[kWordIrisY] = result->words[kWordPupilY];
    }
    return 0;
}

void CopyLocationResult(const LocationResult* r, IrisLocation* out) {
    if (!r || !out) return;
    *out = IrisLocation{};
    const int32_t* w = r->words;
    out->pupilX = int16_t(w[kWordPupilX]), out->pupilY = int16_t(w[kWordPupilY]), out->pupilRadius = int16_t(w[kWordPupilR]);
    out->irisX = int16_t(w[kWordIrisX]), out->irisY = int16_t(w[kWordIrisY]), out->irisRadius = int16_t(w[kWordIrisR]);
    out->eyelidDegree = 2;
    const EyelidCurve* lids[2] = {reinterpret_cast<const EyelidCurve*>(w + kWordUpperLid),
                                  reinterpret_cast<const EyelidCurve*>(w + kWordLowerLid)};
    int32_t* dst[2] = {out->upperEyelid, out->lowerEyelid};
    for (int i = 0; i < 2; ++i) {
        int c[4] = {};
        if (VertexFormToPolynomial(lids[i], c) == 0) std::memcpy(dst[i], c, sizeof c);
    }
    out->pupilScore = uint8_t(w[kWordScore] & 0xFF);
    out->locationFlag = uint8_t(w[kWordState] & 0xFF);
}

int32_t Locate(const uint8_t* image, int width, int height, IrisLocation* out, const int32_t* options, char* errtext) {
    if (!ModuleOn(Module::Location)) return -6;
    if (!image || !out) {
        SetMessage(errtext, "Unexpected NULL pointer");
        return -11;
    }
    LocationContext* c = CreateLocationContext(image, width, height);
    if (!c) {
        SetMessage(errtext, "alloc location context failed");
        return -15;
    }
    int method = 13;
    if (options) {
        if (options[2] > 0) c->pupilMin = options[2];
        if (options[3] > 0) c->pupilMax = options[3];
        if (options[4] > 0) c->irisMin = options[4];
        if (options[5] > 0) c->irisMax = options[5];
        if (options[1] == 1) c->pupilMin = 22, c->pupilMax = 72, c->irisMin = 0, c->irisMax = 160;
        if (options[0] >= 1 && options[0] <= 24) method = options[0];
    }
    auto* result = new (std::nothrow) LocationResult();
    int32_t rc = result ? RunLocationMethod(c, method, result) : -15;
    if (rc == 0) {
        CopyLocationResult(result, out);
    } else if (rc == -1) {
        SetMessage(errtext, "Pupil circle estimation error");
        rc = -7;
    } else if (rc == -2) {
        SetMessage(errtext, "Iris and eyelid estimation error");
        rc = -8;
    } else if (rc == -15) {
        SetMessage(errtext, "alloc location context failed");
    } else {
        SetMessage(errtext, "Iris location failed");
        rc = -1;
    }
    delete result;
    FreeLocationContext(c);
    return rc;
}

float IrisQuality(const uint8_t* image, int width, int height, const int32_t* options, char* errtext) {
    if (!ModuleOn(Module::Quality)) return -6.0f;
    if (!image) {
        SetMessage(errtext, "Unexpected NULL pointer");
        return -11.0f;
    }
    return FocusScoreOfOptions(image, width, height, options, errtext);
}

int32_t QualityAnalysis(const uint8_t* image, int width, int height, const int32_t* options, IrisLocation* location,
                        IrisQualityRecord* record, char* errtext) {
    if (!image || !record || !options) {
        SetMessage(errtext, "Unexpected NULL pointer");
        return -11;
    }
    std::memset(record->bytes, 0xFF, sizeof record->bytes);
    record->bytes[0] = 0;
    IrisLocation own{};
    IrisLocation* loc = location ? location : &own;
    if (options[0] == 1) {
        if (!location) {
            SetMessage(errtext, "Unexpected NULL pointer");
            return -11;
        }
        const IrisLocation& l = *location;
        if (l.pupilX < 0 || l.pupilX >= width || l.pupilY < 0 || l.pupilY >= height || l.irisX < 0 || l.irisX >= width ||
            l.irisY < 0 || l.irisY >= height || l.pupilRadius < 0 || l.irisRadius < l.pupilRadius ||
            (l.eyelidDegree != 2 && l.eyelidDegree != 3)) {
            SetMessage(errtext, "invalidate iris circle ");
            return -1;
        }
    } else {
        const int32_t locOptions[6] = {0, 0, options[2], options[3], options[4], options[5]};
        const int32_t rc = Locate(image, width, height, loc, locOptions, errtext);
        if (rc != 0) return rc;
    }
    int32_t qOptions[17] = {};
    qOptions[0] = 8;
    qOptions[11] = loc->pupilX, qOptions[12] = loc->pupilY, qOptions[13] = loc->pupilRadius;
    const float s = IrisQuality(image, width, height, qOptions, errtext);
    if (s >= 0) {
        record->bytes[3] = record->bytes[4] = uint8_t(std::trunc(std::min(s, 100.0f)));
        record->bytes[1] = uint8_t(std::min(255.0f, std::trunc(s + 0.5f)));
    }
    // No iris radius, no ratio: the byte stays unset rather than dividing by zero.
    if (loc->irisRadius > 0) record->bytes[6] = uint8_t(std::clamp(loc->pupilRadius * 100 / loc->irisRadius, 0, 255));
    float usable = 0;
    if (BuildOcclusionMasks(image, width, height, options, loc, &usable, nullptr, errtext) == 0)
        record->bytes[2] = uint8_t(std::trunc(usable * 100));
    // Eye detection around the iris circle, with a context of its own for this call.
    record->bytes[5] = 0;
    DetectorContext* detector = nullptr;
    if (DetectorCreate(nullptr, &detector) == 0) {
        const int32_t circle[3] = {loc->irisX, loc->irisY, loc->irisRadius};
        SideCheckRecord side{};
        if (SideCheck(detector, image, width, height, 8, circle, &side) == 0 && side.confidence >= 0 &&
            side.confidence <= 1)
            record->bytes[5] = uint8_t(std::trunc(side.confidence * 100));
        DetectorDestroy(detector);
    }
    MeasureIrisContrast(image, width, height, loc, record);
    record->bytes[0] = 1;
    return 0;
}

}  // namespace irisalg

extern "C" {

int32_t TskIris_Location(const uint8_t* image, int32_t width, int32_t height, IrisLocation* out, const int32_t* options,
                         char* errtext) {
    return irisalg::Locate(image, width, height, out, options, errtext);
}

float TskIris_IrisQuality(const uint8_t* image, int32_t width, int32_t height, const int32_t* options, char* errtext) {
    return irisalg::IrisQuality(image, width, height, options, errtext);
}

int32_t TskIris_QualityAnalysis(const uint8_t* image, int32_t width, int32_t height, const int32_t* options,
                                IrisLocation* location, IrisQualityRecord* record, char* errtext) {
    return irisalg::QualityAnalysis(image, width, height, options, location, record, errtext);
}

}  // extern "C"
