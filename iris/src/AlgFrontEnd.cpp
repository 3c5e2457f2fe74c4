// The algorithm table of the library's own configuration: the compiled-in front end.
#include "IrisAlgorithm.h"

#include "iris/IrisAlg.h"

namespace iriscap {

using namespace irisfe;

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

}  // namespace iriscap
