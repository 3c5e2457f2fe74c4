#pragma once
// The iris algorithm front end of the capture library: eight entry points with the names, argument
// lists and records of the iris algorithm library's interface (none is exported), and the front
// end's pupil and boundary search that its location step drives.
//
// Results of the IrisAlg_* entry points: 0 success, -1 failed, -2 not initialised, -6 detection
// context requested before initialisation, -7 pupil, -8 iris and eyelids, -11 null pointer, and
// the cascade code's kBadArgument / kNoMemory. Messages go into an optional caller buffer of at
// least kOtaMessageSize (128) bytes.

#include <cstdint>

#include "iris/EyeCascade.h"
#include "irisalg/IrisRecords.h"

namespace irisfe {

// Per-eye detection context: the cascade detector's working record, reused between frames.
struct DetectorContext {
    IRIS_OTA_DetImgInfo info;
};

inline constexpr int32_t kAlgFailed = -1;
inline constexpr int32_t kAlgNotInitialised = -2;
inline constexpr int32_t kAlgContextBeforeInit = -6;
inline constexpr int32_t kAlgPupilFailed = -7;
inline constexpr int32_t kAlgIrisFailed = -8;
inline constexpr int32_t kAlgNullPointer = -11;

// Builds the eye cascade and the side-landmark cascade once; the pointers and options are not read.
int32_t IrisAlg_Init(void* reserved1, void* reserved2, const int32_t* options, char* message);
// Frees both cascades and clears the initialised flag.
int32_t IrisAlg_Destroy(int32_t reserved);
// Focus score of the image (measure options[0] with parameters options[11..16]); -11.0 for a null image.
float IrisAlg_IrisQuality(const uint8_t* image, int32_t width, int32_t height, const int32_t* options,
                          char* message);
// Fills the 16-byte quality record; options[0] = 1 grades the given location, anything else locates first.
int32_t IrisAlg_QualityAnalysis(const uint8_t* image, int32_t width, int32_t height, const int32_t* options,
                                IrisLocation* location, IrisQualityRecord* record, char* message);
// Pupil, iris and eyelids of one frame; options words 2..5 (when positive) replace the radius ranges.
int32_t IrisAlg_Location(const uint8_t* image, int32_t width, int32_t height, IrisLocation* out,
                         const int32_t* options, char* message);
int32_t IrisAlg_Detection_Create(DetectorContext** out, const int32_t* options, char* message);
int32_t IrisAlg_Detection_Destroy(DetectorContext* context, char* message);
// Eye-region detection: words 1 (minimum eye size) and 2 (smallest group) in, 15 and 16..19 out.
int32_t IrisAlg_Detection(DetectorContext* context, const uint8_t* image, int32_t width, int32_t height,
                          EyeDetectionRecord* record, char* message);

// Pupil search record words.
enum PupilSearchWord : int32_t {
    kPupilMethod = 0,   // 1 method 1, 2 the voting search, anything else method 0
    kPupilX = 1,
    kPupilY = 2,
    kPupilRadius = 3,
    kPupilScore = 4,
    kPupilDecimation = 9,  // 2..6, else 4
    kPupilSearchWords = 10,
};

// Coarse pupil search on a decimated copy of the frame: 0 with words 1..4 set (frame pixels), -99
// for a null image or a failed allocation, the method's negative result, or -1 when the outputs
// are out of range. Words 1..4 are written before the result is looked at.
int32_t IrisFE_FindPupil(const uint8_t* image, int32_t width, int32_t height, int32_t minRadius, int32_t maxRadius,
                         int32_t* record);

// Working location record of the boundary search: circles, the eyelid parabolas
// row = b + (x - a)^2 / c (vertexX = a, vertexY = b, divisor = c) and their result words.
struct FrontEndLocation {
    int32_t pupilX = 0, pupilY = 0, pupilRadius = 0;
    int32_t irisX = 0, irisY = 0, irisRadius = 0;
    irisalg::EyelidCurve upper, lower;
    int32_t upperWords[4] = {0, 0, 0, 0};
    int32_t lowerWords[4] = {0, 0, 0, 0};
};

// Search ranges: minimum and maximum pupil radius, minimum and maximum iris radius, a fifth word.
inline constexpr int kRangeWords = 5;

// Refines the pupil, finds the iris circle and fits both eyelids around the record's pupil circle
// (frame pixels; rows first). 0, kBadArgument, kNoMemory or a refinement stage's negative result.
int32_t IrisFE_BoundarySearch(const uint8_t* image, int32_t rows, int32_t columns, FrontEndLocation* record,
                              const int32_t* ranges);

// Constant, linear and quadratic terms of row = b + (x - a)^2 / c scaled by 32, 8192 and 2^21,
// then the score; kBadArgument for null or identical pointers or c = 0.
int32_t IrisFE_EyelidWords(const irisalg::EyelidCurve* parabola, int32_t words[4]);

}  // namespace irisfe
