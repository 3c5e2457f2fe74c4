#pragma once
// The boosted cascades of the iris capture library's front end: the eye-region cascade (id 1,
// 24 x 20 window) and the side-landmark cascade (id 2, 18 x 24), built from stored tables
// (irisalg/EyeCascadeTable.h), the per-image detection record, the eye-region detector and the
// side-landmark search with its centring score.

#include <cstddef>
#include <cstdint>

namespace irisfe {

struct IrisOtaStage {
    int32_t threshold;        // stored T - 358
    int32_t geometryWords;    // geometry words of the stage
    int32_t count[6];         // features per kind
    const uint32_t* geometry; // geometryWords words, grouped by kind
    const int32_t* lut;       // N x 48
    const int32_t* bounds;    // N x {bias = 8192 - L, M}
    void* block;              // owning allocation
};

struct IrisOtaCascade {
    int32_t stages;
    int32_t scales;           // always 20
    int32_t pointsPerScale;   // 4 x all geometry words
    uint8_t id;               // 1 eye cascade, 2 side-landmark cascade
    int32_t width, height;    // window at scale 1.0
    int32_t* area;            // 20 normalisation areas, followed by
    int32_t* factor;          // 20 scale factors in 1/1024
    IrisOtaStage* stage;
};

struct IRIS_OTA_DetImgInfo {
    int32_t width, height;
    int32_t firstScale;
    uint8_t cascadeId;
    const IrisOtaCascade* cascade;  // the cascade the point offsets were built for
    uint8_t* image;
    uint32_t* sum;
    uint64_t* squares;
    const uint32_t *s0, *s1, *s2, *s3;  // normalisation window corners of the current scale
    const uint64_t *q0, *q1, *q2, *q3;
    int32_t normInset;                   // current scale: inset of the window in pixels
    int32_t* points;                     // 20 x pointsPerScale offsets
    void* block;
};

struct IRIS_OTA_Rect {
    int32_t x, y, width, height, count, parent;
};

struct IRIS_OTA_RectChain {
    IRIS_OTA_Rect* rects;
    int32_t count;
    int32_t capacity;
};

inline constexpr int32_t kOtaScales = 20;
inline constexpr int32_t kThresholdOffset = 358;
inline constexpr int32_t kBoundOffset = 8192;

// 16-byte aligned blocks: the distance to the raw block sits in the byte before the address.
void* IRIS_OTA_AlignedAlloc(size_t size);
void IRIS_OTA_AlignedFree(void* p);

int32_t IRIS_OTA_LoadCascade(IrisOtaCascade** cascade, const int32_t* table, int32_t scales, char* errtext);
void IRIS_OTA_FreeCascade(IrisOtaCascade* cascade);
int32_t IRIS_OTA_Initial_DetImgInfo(const IrisOtaCascade* cascade, int32_t width, int32_t height,
                                    IRIS_OTA_DetImgInfo* info, char* errtext);
void IRIS_OTA_FreeDetImgInfo(IRIS_OTA_DetImgInfo* info);
void IRIS_OTA_IntegralImages(IRIS_OTA_DetImgInfo* info);
// Points the normalisation window corners at scale index `scale`.
void IRIS_OTA_SetScale(const IrisOtaCascade* cascade, IRIS_OTA_DetImgInfo* info, int32_t scale);
// 1 when the window at integral-image offset `offset` passes every stage, -1 when rejected.
int32_t IRIS_OTA_EvalCascade(const IrisOtaCascade* cascade, const IRIS_OTA_DetImgInfo* info, int32_t scale,
                             int32_t offset, int32_t* margin);
// The normalised value (feature value x 2^28 / deviation) of every feature of the cascade, in
// stage and stored order, for one window (the trainer's view of what the evaluation bins).
// False, with nothing written, when the window has no variance.
bool IRIS_OTA_FeatureValues(const IrisOtaCascade* cascade, const IRIS_OTA_DetImgInfo* info, int32_t scale,
                            int32_t offset, int64_t* values);

// Eye-region detector.
int32_t IRIS_OTA_ResizeImg(const uint8_t* src, int32_t srcWidth, int32_t srcHeight, uint8_t* dst,
                           int32_t dstWidth, int32_t dstHeight, char* errtext);
int32_t IRIS_OTA_PrepareImage(const uint8_t* image, int32_t width, int32_t height, int32_t target,
                              const IrisOtaCascade* cascade, IRIS_OTA_DetImgInfo* info, char* errtext);
int32_t IRIS_OTA_InitialRectChain(IRIS_OTA_RectChain* chain, char* errtext);
int32_t IRIS_OTA_AddRect(IRIS_OTA_RectChain* chain, const IRIS_OTA_Rect& rect);
void IRIS_OTA_FreeRectChain(IRIS_OTA_RectChain* chain);
// Scans every scale of the working image, groups the hits, keeps groups of at least
// *minGroup members as rounded means.
int32_t IRIS_OTA_ScanAndGroup(const IrisOtaCascade* cascade, IRIS_OTA_DetImgInfo* info, const int32_t* minGroup,
                              IRIS_OTA_RectChain* chain);
// Grouping step of the scan on a filled chain (the raw hits, count 1 and parent -1 each).
void IRIS_OTA_GroupRects(IRIS_OTA_RectChain* chain, int32_t minGroup);
int32_t IRIS_OTA_Detect(const IrisOtaCascade* cascade, IRIS_OTA_DetImgInfo* info, const uint8_t* image,
                        int32_t width, int32_t height, int32_t bits, int32_t target, int32_t minGroup,
                        int32_t result[4], int32_t reserved, char* errtext);

// Side-landmark search.
struct IRIS_OTA_SideRecord {
    int32_t leftX, leftY, leftCount;
    int32_t rightX, rightY, rightCount;
    float score;
};
static_assert(sizeof(IRIS_OTA_SideRecord) == 28);

inline constexpr int32_t kSidePad = 60;

void IRIS_OTA_PadImage(const uint8_t* image, int32_t width, int32_t height, uint8_t* padded);
int32_t IRIS_OTA_ResizeROI(const uint8_t* src, int32_t srcWidth, int32_t srcHeight, const int32_t roi[4],
                           uint8_t* dst, int32_t dstWidth, int32_t dstHeight, char* errtext);
void IRIS_OTA_MirrorRows(uint8_t* image, int32_t width, int32_t height);
int32_t IRIS_OTA_DetectInROI(const uint8_t* padded, int32_t paddedWidth, int32_t paddedHeight, const int32_t roi[4],
                             IRIS_OTA_RectChain* chain, const IrisOtaCascade* cascade, IRIS_OTA_DetImgInfo* info,
                             int32_t target, bool mirror, char* errtext, int32_t* x, int32_t* y, int32_t* count);
// The centring score of the iris circle between the two landmarks (fills the record's score and
// completes a missing landmark).
float IRIS_OTA_CentringScore(const int32_t circle[3], IRIS_OTA_SideRecord* record);
int32_t IRIS_OTA_SideLandmarks(const IrisOtaCascade* cascade, IRIS_OTA_DetImgInfo* info, const uint8_t* image,
                               int32_t width, int32_t height, int32_t bits, const int32_t circle[3],
                               IRIS_OTA_SideRecord* out, int32_t reserved, char* errtext);

}  // namespace irisfe
