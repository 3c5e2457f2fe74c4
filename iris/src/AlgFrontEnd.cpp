// The algorithm table of the library's own configuration: the compiled-in front end.
#include "IrisAlgorithm.h"

#if __has_include("iris/IrisAlg.h")
#include "iris/IrisAlg.h"
#define TESSIK_IRIS_HAVE_FRONT_END 1
#endif

namespace iriscap {

#ifdef TESSIK_IRIS_HAVE_FRONT_END
const IrisAlgorithm& BuiltInAlgorithm() {
    static const IrisAlgorithm table = {
        [](char* message) -> int32_t { return IrisAlg_Init(nullptr, nullptr, nullptr, message); },
        []() -> int32_t { return IrisAlg_Destroy(0); },
        [](void** context, char* message) -> int32_t {
            return IrisAlg_Detection_Create(reinterpret_cast<DetectorContext**>(context), nullptr, message);
        },
        [](void* context) -> int32_t { return IrisAlg_Detection_Destroy(static_cast<DetectorContext*>(context), nullptr); },
        [](void* context, const uint8_t* image, int32_t w, int32_t h, EyeDetectionRecord* record, char* message) -> int32_t {
            return IrisAlg_Detection(static_cast<DetectorContext*>(context), image, w, h, record, message);
        },
        [](const uint8_t* image, int32_t w, int32_t h, const int32_t* options, char* message) -> float {
            return IrisAlg_IrisQuality(image, w, h, options, message);
        },
        [](const uint8_t* image, int32_t w, int32_t h, const int32_t* options, IrisLocation* location,
           IrisQualityRecord* record, char* message) -> int32_t {
            return IrisAlg_QualityAnalysis(image, w, h, options, location, record, message);
        }};
    return table;
}
#else
// Until the front end is part of the build, initialisation reports it missing.
const IrisAlgorithm& BuiltInAlgorithm() {
    static const IrisAlgorithm table = {
        [](char*) -> int32_t { return -1; },
        []() -> int32_t { return 0; },
        [](void**, char*) -> int32_t { return -1; },
        [](void*) -> int32_t { return 0; },
        [](void*, const uint8_t*, int32_t, int32_t, EyeDetectionRecord*, char*) -> int32_t { return -1; },
        [](const uint8_t*, int32_t, int32_t, const int32_t*, char*) -> float { return -1.0f; },
        [](const uint8_t*, int32_t, int32_t, const int32_t*, IrisLocation*, IrisQualityRecord*, char*) -> int32_t {
            return -1;
        }};
    return table;
}
#endif

}  // namespace iriscap
