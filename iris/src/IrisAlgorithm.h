#pragma once
// The algorithm calls of the capture library: initialisation, one detection context per eye, eye
// detection, the iris-quality score and the full quality analysis. The library is built in two
// configurations that fill this table differently: with its own compiled-in front end, or
// forwarding to the iris algorithm library's exports. Tests may put a table of their own in place.

#include <cstdint>

#include "irisalg/IrisRecords.h"

namespace iriscap {

struct IrisAlgorithm {
    // 0 or the algorithm's failure result.
    int32_t (*init)(char* message);
    int32_t (*destroy)();
    int32_t (*detectionCreate)(void** context, char* message);
    int32_t (*detectionDestroy)(void* context);
    int32_t (*detection)(void* context, const uint8_t* image, int32_t width, int32_t height,
                         EyeDetectionRecord* record, char* message);
    // Score of the method in options[0], or a negative failure.
    float (*irisQuality)(const uint8_t* image, int32_t width, int32_t height, const int32_t* options, char* message);
    int32_t (*qualityAnalysis)(const uint8_t* image, int32_t width, int32_t height, const int32_t* options,
                               IrisLocation* location, IrisQualityRecord* record, char* message);
};

// The configuration's table (one definition per library build).
const IrisAlgorithm& BuiltInAlgorithm();

// The table in use: the built-in one unless a test installed its own (null restores it). Installing
// a table destroys the detection contexts of the one before; only while the library is not
// initialised.
const IrisAlgorithm& Algorithm();
void InstallAlgorithm(const IrisAlgorithm* table);

// Size of the message buffers handed to the algorithm.
inline constexpr int kAlgMessageSize = 256;

}  // namespace iriscap
