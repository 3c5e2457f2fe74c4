#pragma once
// The eye detector of the iris algorithm library: boosted cascades built from the stored tables
// (irisalg/EyeCascadeTable.h), the window search over scales with voted grouping, the eye-region
// detection and the side check around a known iris circle.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace irisalg {

inline constexpr size_t kCascadeArenaBytes = 0x400000;  // 4 MiB per run-time cascade

// A stage of the run-time cascade: corners per scale, bin pairs {a = 8192 - L, M} and lookups.
struct EyeCascadeStage {
    int32_t threshold;    // stored T - 358
    int32_t features;     // N
    int32_t count[6];     // c0..c5
    const uint32_t* geometry;
    int32_t* corners[20];  // per scale: (2N + c2) x 4 offsets
    const int32_t* bins;   // N x {a, M}
    const int32_t* lut;    // N x 48
};

// The run-time cascade; everything lives in one arena.
struct EyeCascade {
    int32_t stages;
    int32_t scales;  // 20
    int32_t width, height;
    const int64_t* area;  // 20 normalisation areas
    EyeCascadeStage* stage;
    // Filled for each search.
    const uint32_t* sum;
    const uint64_t* squares;
    int32_t stride;
    const uint32_t *s0, *s1, *s2, *s3;
    const uint64_t *q0, *q1, *q2, *q3;
    uint8_t* arena;
    size_t used;
};

// Builds a cascade from a stored table; null when the arena cannot be allocated or the table does
// not fit it.
EyeCascade* LoadCascade(const int32_t* table, int32_t scales);
void FreeCascade(EyeCascade* cascade);
// Points every feature at its corners for all 20 scales, for integral images of `width` columns.
void PrepareScales(EyeCascade* cascade, const uint32_t* sum, const uint64_t* squares, int32_t width);
// The normalisation window of scale factor f.
void SetScale(EyeCascade* cascade, double factor);
// 1 when the window at (x, y) passes every stage; 0 when the first stage fails or the window is
// flat; minus the index of the failing stage otherwise; *margin the failing stage's sum minus its
// threshold.
int32_t EvaluateWindow(const EyeCascade* cascade, int32_t x, int32_t y, int32_t scale, int32_t* margin);

struct EyeWindowGroup {
    int32_t x, y, width, height, neighbours;
};

// Window search of an 8-bit image (stride = width): mode 0 the 2-pixel grid, any other value the
// proportional step; groups of at least m hits, or every hit with neighbour count 0 when m is 0.
std::vector<EyeWindowGroup> SearchWindows(const uint8_t* image, int32_t width, int32_t height, EyeCascade* cascade,
                                          int32_t minNeighbours, int32_t scanMode);

// Grouping of the hits (neighbour counts 0) in scan order: classes of the closure of "alike",
// kept with at least m members as rounded means; every hit as it is when m is 0.
std::vector<EyeWindowGroup> GroupWindows(const std::vector<EyeWindowGroup>& hits, int32_t minNeighbours);

// Bilinear reduction of a region in 16.16 (target (i, j) reads region origin + (i sx, j sy)).
void ReduceRegion(const uint8_t* src, int32_t srcWidth, int32_t x0, int32_t y0, int32_t regionWidth,
                  int32_t regionHeight, uint8_t* dst, int32_t dstWidth, int32_t dstHeight);

inline constexpr int32_t kDetectorPad = 60;

// Pads by 60 on every side: rows above repeat row 0, rows below row height - 2, columns left the
// row's first pixel, columns right its pixel width - 2; the corner blocks repeat the nearest
// filled pixel.
std::vector<uint8_t> PadImage(const uint8_t* image, int32_t width, int32_t height);

struct DetectorContext {
    int32_t reserved;
    struct ClassifierSet {
        EyeCascade* eye;
        int32_t* result;  // 16000 bytes; the best rectangle x, y, width, height at its start
        EyeCascade* side;
    }* set;
    int32_t created;
};

inline constexpr int32_t kDetectorLoadFailed = 0x7002;
inline constexpr int32_t kDetectorNotBuilt = 0x7003;
inline constexpr int32_t kDetectorNoSet = 0x7004;

struct EyeRegionResult {
    int32_t count;  // neighbour count of the best group, 0 when nothing was found
    int32_t x, y, width, height;
};

struct SideCheckRecord {
    int32_t leftX, leftY, leftCount;
    int32_t rightX, rightY, rightCount;
    float confidence;
};

// options: first word non-zero selects eye table 1, else eye table 2.
int32_t DetectorCreate(const int32_t* options, DetectorContext** out);
int32_t DetectorDestroy(DetectorContext* context);
// workingCode: working width workingCode x 32 (160 below 2); borderMode 0 pads, 1 uses the image
// as it is, anything else finds nothing; scanMode 0 the proportional step, else the 2-pixel grid.
int32_t DetectEyeRegion(DetectorContext* context, const uint8_t* image, int32_t width, int32_t height, int32_t bits,
                        int32_t workingCode, int32_t minNeighbours, EyeRegionResult* result, int32_t scanMode,
                        int32_t borderMode);
// Width a side region of the side check is searched at: about 18 pixels per iris radius,
// ((18 x regionWidth / radius + 3) rounded down to a multiple of 4) + 4, when the region is
// wider than that; else the region's own width (it is copied).
int32_t SideRegionWidth(int32_t regionWidth, int32_t radius);
// circle: x, y, radius.
int32_t SideCheck(DetectorContext* context, const uint8_t* image, int32_t width, int32_t height, int32_t bits,
                  const int32_t circle[3], SideCheckRecord* record);

}  // namespace irisalg
