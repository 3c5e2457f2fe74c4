// The algorithm table of the forwarding configuration: every call goes to the iris algorithm
// library's exports of the same meaning.
#include "IrisAlgorithm.h"

#include <initializer_list>

#include "TskIrisAPI.h"

namespace iriscap {

const IrisAlgorithm& BuiltInAlgorithm() {
    static const IrisAlgorithm table = {
        [](char* message) -> int32_t {
            // Module switches 0, 5, 10, 20 and 30 on.
            int32_t options[128] = {};
            for (int word : {0, 5, 10, 20, 30}) options[word] = 1;
            return TskIris_Init(nullptr, options, message);
        },
        []() -> int32_t { return TskIris_Destroy(); },
        [](void** context, char*) -> int32_t {
            return TskIris_Detection_Create(reinterpret_cast<TskIrisDetectorContext**>(context), nullptr, nullptr);
        },
        [](void* context) -> int32_t {
            return TskIris_Detection_Destroy(static_cast<TskIrisDetectorContext*>(context), nullptr);
        },
        [](void* context, const uint8_t* image, int32_t w, int32_t h, EyeDetectionRecord* record, char* message) -> int32_t {
            return TskIris_Detection(static_cast<TskIrisDetectorContext*>(context), image, w, h, record, message);
        },
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
