#pragma once
// Records of the iris algorithm interface, shared by the iris algorithm library and the iris
// capture library. Records without pointers keep their byte layout; integers are little-endian
// in memory.

#include <cstddef>
#include <cstdint>

#ifdef __cplusplus
extern "C" {
#endif

// Location of one eye: circles, the two eyelid polynomials, scores.
typedef struct IrisLocation {
    int16_t pupilX;
    int16_t pupilY;
    int16_t pupilRadius;
    int16_t irisX;
    int16_t irisY;
    int16_t irisRadius;
    // c0, c1, c2 of row = f(column) in fixed point (coefficient k scaled by 32 * 256^k), the
    // eyelid score, two words 0.
    int32_t upperEyelid[6];
    int32_t lowerEyelid[6];
    uint8_t eyelidDegree;
    uint8_t pupilScore;    // low 8 bits of the pupil step's score
    uint8_t locationFlag;  // 255 after a successful iris step
    uint8_t reserved[9];
} IrisLocation;

// Quality of one eye image, byte by byte (0xFF where a measure did not run).
typedef struct IrisQualityRecord {
    uint8_t bytes[16];
} IrisQualityRecord;

// In/out words of eye detection: 0 scan mode, 1 working width code, 2 minimum neighbours,
// 3 border mode; out: 15 neighbour count, 16..19 x, y, width, height.
typedef struct EyeDetectionRecord {
    int32_t words[20];
} EyeDetectionRecord;

// Optional caller block carried through a template (never restored by the reader).
typedef struct IrisExtraBlock {
    int32_t unused[2];
    uint32_t value;      // carried in host byte order
    int32_t byteValue;   // its low byte is carried
    int32_t length;      // bytes at data
    uint8_t* data;
} IrisExtraBlock;

enum { IRIS_MAX_FEATURES = 16 };

// In-memory template. Geometry and quality are plain heap blocks, feature data aligned blocks
// (IrisAlignedAlloc); TskIris_Free_IMF releases them.
typedef struct IMF {
    IrisLocation* geometry;
    IrisQualityRecord* quality;
    int32_t count;                           // features, 0..16
    uint32_t version[IRIS_MAX_FEATURES];     // one number a byte, most significant first
    uint8_t* data[IRIS_MAX_FEATURES];
    uint8_t id[IRIS_MAX_FEATURES];           // feature ids 32..41
    int32_t length[IRIS_MAX_FEATURES];       // data bytes
    IrisExtraBlock* extra;                   // owned by the caller
} IMF;

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(IrisLocation) == 72, "IrisLocation is 72 bytes");
static_assert(offsetof(IrisLocation, upperEyelid) == 12 && offsetof(IrisLocation, lowerEyelid) == 36 &&
                  offsetof(IrisLocation, eyelidDegree) == 60 && offsetof(IrisLocation, locationFlag) == 62,
              "IrisLocation field offsets");
static_assert(sizeof(IrisQualityRecord) == 16, "IrisQualityRecord is 16 bytes");
static_assert(sizeof(EyeDetectionRecord) == 80, "EyeDetectionRecord is 20 words");

namespace irisalg {

// Result codes of the image routines.
inline constexpr int32_t kBadArgument = int32_t(0xFECD4AD2);  // -20100398
inline constexpr int32_t kNoMemory = int32_t(0xFECD4AD3);     // -20100397
inline constexpr int32_t kNotFound = int32_t(0xFECD4AD0);     // -20100400

// An eyelid as a parabola: row = vertexY + (x - vertexX)^2 / divisor (divisor > 0 for an upper
// lid, < 0 for a lower one).
struct EyelidCurve {
    int32_t vertexX = 0, vertexY = 0, divisor = 0, score = 0, zero[2] = {0, 0};
};
static_assert(sizeof(EyelidCurve) == 24, "EyelidCurve is six words");

// Working location record: 1280 words (circles at 11..13 and 15..17, eyelids at 19..24, 25..30).
struct LocationResult {
    int32_t words[1280];
};

// Rectangle {first row, last row, first column, last column}, inclusive; circle {x, y, radius}.
struct IrisRect {
    int32_t r0, r1, c0, c1;
};
struct IrisCircle {
    int32_t x, y, r;
};

}  // namespace irisalg
#endif
