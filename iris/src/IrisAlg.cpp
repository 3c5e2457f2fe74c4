// Entry points of the capture library's iris algorithm front end: initialisation of the two
// cascades, per-eye detection contexts, eye detection, location, the focus score and the quality
// record.
#include "iris/IrisAlg.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "iris/EyeCascadeMessage.h"
#include "irisalg/EyeCascadeTable.h"
#include "irisalg/IrisAlg.h"

namespace irisfe {

namespace {

// The cascades exist while the flag is set; after initialisation they are only read.
std::atomic<bool> gInitialised{false};
IrisOtaCascade* gEyeCascade = nullptr;
IrisOtaCascade* gSideCascade = nullptr;

void Message(char* message, const char* format, int32_t value) {
    if (message) std::snprintf(message, kOtaMessageSize, format, value);
}

// Smallest pupil score the location step accepts from the coarse search.
constexpr int32_t kMinPupilScore = 10;
// Smallest usable share of the iris annulus for a location to count.
constexpr float kMinUsableShare = 0.2f;

}  // namespace

int32_t IrisAlg_Init(void* /*reserved1*/, void* /*reserved2*/, const int32_t* /*options*/, char* message) {
    if (gInitialised.load()) return 0;
    char text[256] = {};
    int32_t rc = IRIS_OTA_LoadCascade(&gEyeCascade, irisalg::cascade::kEyeTable2, kOtaScales, text);
    if (rc == 0) rc = IRIS_OTA_LoadCascade(&gSideCascade, irisalg::cascade::kSideTable, kOtaScales, text);
    if (rc != 0) {
        IRIS_OTA_FreeCascade(gEyeCascade);
        IRIS_OTA_FreeCascade(gSideCascade);
        gEyeCascade = gSideCascade = nullptr;
        if (message) std::snprintf(message, kOtaMessageSize, "Iris detect init fail(%d) : %s", rc, text);
        return kAlgFailed;
    }
    gInitialised.store(true);
    return 0;
}

int32_t IrisAlg_Destroy(int32_t /*reserved*/) {
    gInitialised.store(false);
    IRIS_OTA_FreeCascade(gEyeCascade);
    IRIS_OTA_FreeCascade(gSideCascade);
    gEyeCascade = gSideCascade = nullptr;
    return 0;
}

int32_t IrisAlg_Detection_Create(DetectorContext** out, const int32_t* /*options*/, char* message) {
    if (!gInitialised.load()) return kAlgContextBeforeInit;
    if (!out) {
        OtaMessage(message, "Input point of handle is NULL.");
        return irisalg::kBadArgument;
    }
    *out = new (std::nothrow) DetectorContext{};
    if (!*out) {
        OtaMessage(message, "Can not allocate memory for Handle.");
        return irisalg::kNoMemory;
    }
    return 0;
}

int32_t IrisAlg_Detection_Destroy(DetectorContext* context, char* /*message*/) {
    if (context) {
        IRIS_OTA_FreeDetImgInfo(&context->info);
        delete context;
    }
    return 0;
}

int32_t IrisAlg_Detection(DetectorContext* context, const uint8_t* image, int32_t width, int32_t height,
                          EyeDetectionRecord* record, char* message) {
    if (!context || !image || !record) {
        OtaMessage(message, "Unexpected NULL pointer");
        return kAlgNullPointer;
    }
    int32_t* w = record->words;
    w[15] = 0;
    const int32_t minSize = w[1] > 0 ? w[1] : 6;
    const int32_t minGroup = std::max(1, w[2]);
    if (!gEyeCascade) {
        Message(message, "Iris detect failed: %d", irisalg::kBadArgument);
        return kAlgFailed;
    }
    int32_t box[4] = {0, 0, 0, 0};
    const int32_t rc = IRIS_OTA_Detect(gEyeCascade, &context->info, image, width, height, 8, minSize, minGroup, box, 0,
                                       nullptr);
    if (rc < 0) {
        Message(message, "Iris detect failed: %d", rc);
        return kAlgFailed;
    }
    w[15] = 1;
    for (int k = 0; k < 4; ++k) w[16 + k] = rc == 0 ? box[k] : 0;
    return 0;
}

float IrisAlg_IrisQuality(const uint8_t* image, int32_t width, int32_t height, const int32_t* options,
                          char* message) {
    if (!image) {
        OtaMessage(message, "Unexpected NULL pointer");
        return -11.0f;
    }
    return irisalg::FocusScoreOfOptions(image, width, height, options, message);
}

namespace {

// Radius ranges of the location step for a frame of `height` rows.
void LocationRanges(int32_t height, const int32_t* options, int32_t ranges[kRangeWords]) {
    if (height <= 480) {
        ranges[0] = 16, ranges[1] = 72, ranges[2] = 72, ranges[3] = 160;
    } else {
        const double s = double(height) / 480.0;
        ranges[0] = int32_t(16 * s);
        ranges[1] = int32_t(72 * s * 4.0 / 3.0);
        ranges[2] = 72;
        ranges[3] = ((height - 1) / 480 + 1) * 240;
    }
    ranges[4] = 0;
    if (options)
        for (int k = 0; k < 4; ++k)
            if (options[2 + k] > 0) ranges[k] = options[2 + k];
}

}  // namespace

int32_t IrisAlg_Location(const uint8_t* image, int32_t width, int32_t height, IrisLocation* out,
                         const int32_t* options, char* message) {
    if (!image || !out) {
        OtaMessage(message, "Unexpected NULL pointer");
        return kAlgNullPointer;
    }
    if (!gInitialised.load()) return kAlgNotInitialised;
    int32_t ranges[kRangeWords];
    LocationRanges(height, options, ranges);

    int32_t pupil[kPupilSearchWords] = {};
    pupil[kPupilMethod] = 2;
    pupil[kPupilDecimation] = 4;
    const int32_t side = std::min(width, height);
    if (IrisFE_FindPupil(image, width, height, 16, side / 3, pupil) != 0 || pupil[kPupilScore] < kMinPupilScore) {
        OtaMessage(message, "Pupil circle estimation error");
        return kAlgPupilFailed;
    }
    ranges[3] = side / 2;
    FrontEndLocation found;
    found.pupilX = pupil[kPupilX], found.pupilY = pupil[kPupilY], found.pupilRadius = pupil[kPupilRadius];
    if (IrisFE_BoundarySearch(image, height, width, &found, ranges) != 0) {
        OtaMessage(message, "Iris and eyelid estimation error");
        return kAlgIrisFailed;
    }

    IrisLocation loc{};
    loc.pupilX = int16_t(found.pupilX), loc.pupilY = int16_t(found.pupilY), loc.pupilRadius = int16_t(found.pupilRadius);
    loc.irisX = int16_t(found.irisX), loc.irisY = int16_t(found.irisY), loc.irisRadius = int16_t(found.irisRadius);
    std::copy(found.upperWords, found.upperWords + 4, loc.upperEyelid);
    std::copy(found.lowerWords, found.lowerWords + 4, loc.lowerEyelid);
    loc.eyelidDegree = 2;
    loc.pupilScore = uint8_t(pupil[kPupilScore]);
    loc.locationFlag = 255;

    float usable = 0.0f;
    if (irisalg::BuildOcclusionMasks(image, width, height, nullptr, &loc, &usable, nullptr, nullptr) != 0 ||
        usable < kMinUsableShare) {
        OtaMessage(message, "Iris location failed");
        return kAlgFailed;
    }
    *out = loc;
    return 0;
}

int32_t IrisAlg_QualityAnalysis(const uint8_t* image, int32_t width, int32_t height, const int32_t* options,
                                IrisLocation* location, IrisQualityRecord* record, char* message) {
    if (!image || !record || !options) {
        OtaMessage(message, "Unexpected NULL pointer");
        return kAlgNullPointer;
    }
    if (!gInitialised.load()) return kAlgNotInitialised;
    std::memset(record->bytes, 0xFF, sizeof record->bytes);
    record->bytes[0] = 0;
    IrisLocation own{};
    IrisLocation* loc = location ? location : &own;
    if (options[0] == 1) {
        if (!location) {
            OtaMessage(message, "Unexpected NULL pointer");
            return kAlgNullPointer;
        }
        const IrisLocation& l = *location;
        if (l.pupilX < 0 || l.pupilX >= width || l.irisX < 0 || l.irisX >= width || l.pupilY < 0 ||
            l.pupilY >= height || l.irisY < 0 || l.irisY >= height || l.pupilRadius < 0 ||
            l.pupilRadius > l.irisRadius || (l.eyelidDegree != 2 && l.eyelidDegree != 3)) {
            OtaMessage(message, "Invalidate iris circle ");
            return kAlgFailed;
        }
    } else {
        const int32_t locOptions[6] = {0, 0, options[2], options[3], options[4], options[5]};
        if (const int32_t rc = IrisAlg_Location(image, width, height, loc, locOptions, message); rc != 0) return rc;
    }

    int32_t focusOptions[17] = {};
    focusOptions[0] = 8;
    focusOptions[11] = loc->pupilX, focusOptions[12] = loc->pupilY, focusOptions[13] = loc->pupilRadius;
    const float score = IrisAlg_IrisQuality(image, width, height, focusOptions, message);
    if (score >= 0) {
        record->bytes[3] = record->bytes[4] = uint8_t(std::trunc(std::min(score, 100.0f)));
        // Saturates rather than wrapping for scores of 255.5 and more.
        record->bytes[1] = uint8_t(std::min(255.0f, std::trunc(score + 0.5f)));
    }
    // A location without an iris radius has no ratio: the byte stays unset.
    if (loc->irisRadius > 0) record->bytes[6] = uint8_t(loc->pupilRadius * 100 / loc->irisRadius);

    float usable = 0.0f;
    if (irisalg::BuildOcclusionMasks(image, width, height, nullptr, loc, &usable, nullptr, nullptr) == 0)
        record->bytes[2] = uint8_t(std::trunc(usable * 100));

    if (DetectorContext* context = new (std::nothrow) DetectorContext{}) {
        const int32_t circle[3] = {loc->irisX, loc->irisY, loc->irisRadius};
        IRIS_OTA_SideRecord side{};
        if (gSideCascade &&
            IRIS_OTA_SideLandmarks(gSideCascade, &context->info, image, width, height, 8, circle, &side, 0, nullptr) == 0 &&
            side.score >= 0.0f && side.score <= 1.0f)
            record->bytes[5] = uint8_t(std::trunc(side.score * 100));
        IrisAlg_Detection_Destroy(context, nullptr);
    }

    irisalg::MeasureIrisContrast(image, width, height, loc, record);
    record->bytes[0] = 1;
    return 0;
}

}  // namespace irisfe
