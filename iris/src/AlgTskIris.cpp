// The algorithm table of the forwarding configuration: every call goes to the iris algorithm
// library's exports of the same meaning.
#include "IrisAlgorithm.h"

#include "TskIrisAPI.h"

namespace iriscap {

#if __has_include("irisalg/EyeDetection.h") || defined(TSKIRIS_HAVE_DETECTION)
#define TESSIK_IRIS_TSK_DETECTION 1
#endif

const IrisAlgorithm& BuiltInAlgorithm() {
    static const IrisAlgorithm table = {
        [](char* message) -> int32_t {
            // Module switches 0, 5, 10, 20 and 30 on.
            int32_t options[128] = {};
            for (int word : {0, 5, 10, 20, 30}) options[word] = 1;
            return TskIris_Init(nullptr, options, message);
        },
        []() -> int32_t { return TskIris_Destroy(); },
#ifdef TESSIK_IRIS_TSK_DETECTION
        [](void** context, char* message) -> int32_t { return TskIris_Detection_Create(context, nullptr, message); },
        [](void* context) -> int32_t { return TskIris_Detection_Destroy(context, nullptr); },
        [](void* context, const uint8_t* image, int32_t w, int32_t h, EyeDetectionRecord* record, char* message) -> int32_t {
            return TskIris_Detection(context, image, w, h, record, message);
        },
#else
        [](void**, char*) -> int32_t { return -1; },
        [](void*) -> int32_t { return 0; },
        [](void*, const uint8_t*, int32_t, int32_t, EyeDetectionRecord*, char*) -> int32_t { return -1; },
#endif
        [](const uint8_t* image, int32_t w, int32_t h, const int32_t* options, char* message) -> float {
            return TskIris_IrisQuality(image, w, h, options, message);
        },
        [](const uint8_t* image, int32_t w, int32_t h, const int32_t* options, IrisLocation* location,
           IrisQualityRecord* record, char* message) -> int32_t {
            return TskIris_QualityAnalysis(image, w, h, options, location, record, message);
        }};
    return table;
}

}  // namespace iriscap
