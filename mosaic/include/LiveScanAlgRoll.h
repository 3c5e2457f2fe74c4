#pragma once
// Rolled-finger stitching and optical distortion correction of libMorwenMosaic.so.
//
// Images are 8-bit grey, one byte a pixel, rows packed. Non-zero results are rows of the
// ErrorMessage table, except the -1/-2/-3/1 codes of the distortion functions.
#include <cstddef>
#include <cstdint>

#include "LiveScanAlgExport.h"

namespace LiveScanAlg {

// ---------------------------------------------------------------------------------------------
// Rolled-finger stitching
// ---------------------------------------------------------------------------------------------

// Finger geometry of one image (32 bytes, little-endian).
struct mm_finger_property {
  int32_t ImageWidth;       // as passed
  int32_t ImageHeight;      // as passed
  int32_t Left;             // left column of the finger
  int32_t Top;              // top row of the finger
  int32_t Width;            // right edge minus left edge
  int32_t Height;           // bottom edge minus top edge
  double ForegroundCount;   // pixels below the foreground threshold
};
static_assert(sizeof(mm_finger_property) == 32);
static_assert(offsetof(mm_finger_property, Left) == 8);
static_assert(offsetof(mm_finger_property, Height) == 20);
static_assert(offsetof(mm_finger_property, ForegroundCount) == 24);

// The one roll session of the process. The library keeps it; callers never pass it.
struct RollStitchSession {
  int32_t Width;              // full frame width W
  int32_t Height;             // full frame height H
  int32_t Resolution;         // 1000, 500 or 250 dpi
  int32_t Decimation;         // D: 8, 4 or 2; the grid is W / D by H / D
  int32_t PreviousCentroid;   // ink centroid of the last analysed frame, grid columns
  int32_t NegativeTravel;     // accumulated motion towards lower columns, pixels
  int32_t PositiveTravel;     // accumulated motion towards higher columns, pixels
  uint8_t* FullBuffer;        // W x H, copied to the auxiliary output of mmRollStitch
  uint8_t* GridFrame;
  uint8_t* GridComposite;     // later reused for the smoothed blend mask
  uint8_t* BlendMask;
  uint8_t* SmoothedFrame;
  uint8_t* SmoothedComposite;
  uint8_t* SlidingMask;
  int32_t WidestFinger;       // widest single-frame finger since the roll started, <= W / 2
  int32_t Disabled;           // fifth argument of mmRollStitchCreate
  int32_t Opened;             // buffers allocated by a successful create
};

// Grid mask values.
inline constexpr uint8_t kRollTakeFrame = 255;
inline constexpr uint8_t kRollOverlap = 254;

LSA_EXPORT int mmRollStitchCreate(int width, int height, int resolution, int resolution2,
                                  int disabled);
LSA_EXPORT int mmRollStitch(unsigned char* frame, int* frameCounter, unsigned char* rolledImage,
                            unsigned char* auxiliaryOutput);
LSA_EXPORT int mmRollStitchRelease();
LSA_EXPORT int mmRollFingerQualityCheck(unsigned char* rolledImage, int width, int height);
LSA_EXPORT int mmGetSlidingMask(unsigned char* output, int width, int height);
LSA_EXPORT int mmGetFingerProperty(unsigned char* image, int width, int height,
                                   mm_finger_property* property);
LSA_EXPORT int mmGetFingerProperty_Roll(unsigned char* image, int width, int height,
                                        mm_finger_property* property);
LSA_EXPORT int mmGetFingerProperty_Roll_V2(unsigned char* image, int width, int height,
                                           mm_finger_property* property);

// ---------------------------------------------------------------------------------------------
// Optical distortion correction
// ---------------------------------------------------------------------------------------------

struct ImageCordinateType {
  int32_t x;  // column
  int32_t y;  // row
};
static_assert(sizeof(ImageCordinateType) == 8);

// Work buffer owned by a correction handle; it grows on demand and never shrinks.
struct DistortionCorrectionHandle {
  uint8_t* Buffer;
  int32_t Size;
};

// Eleven int32: the input size, the output size written back, the six geometry values of the
// scanner model and mode, and the size of the caller's work buffer.
struct DistortionCorrectionRecord {
  int32_t Height;          // 0: input rows H
  int32_t Width;           // 1: input bytes per row W
  int32_t OutputHeight;    // 2: written by the call
  int32_t OutputWidth;     // 3: written by the call
  int32_t A;               // 4: first width
  int32_t B;               // 5: second width
  int32_t L;               // 6: length over which the width runs from A to B
  int32_t E;               // 7: offset
  int32_t G;               // 8: distance
  int32_t K;               // 9: target width
  int32_t WorkBufferSize;  // 10: bytes in the caller's work buffer; a size query writes the need
};
static_assert(sizeof(DistortionCorrectionRecord) == 44);
static_assert(offsetof(DistortionCorrectionRecord, A) == 16);
static_assert(offsetof(DistortionCorrectionRecord, WorkBufferSize) == 40);

// Result codes of the fixed-point and float forms.
inline constexpr int kDistortionSizeQuery = 1;
inline constexpr int kDistortionNoRecord = -1;
inline constexpr int kDistortionOutputTooLarge = -2;
inline constexpr int kDistortionBufferTooSmall = -3;

LSA_EXPORT DistortionCorrectionHandle* TDistortionCorrectInit();
// Frees the handle's buffer and the handle and clears *handle.
LSA_EXPORT void TDistortionCorrectRelease(DistortionCorrectionHandle** handle);
LSA_EXPORT int TDistortionCorrectEx(DistortionCorrectionHandle* handle, unsigned char* image,
                                    DistortionCorrectionRecord* record);
LSA_EXPORT int TDistortionCorrectInt(unsigned char* image, unsigned char* workBuffer,
                                     DistortionCorrectionRecord* record);
LSA_EXPORT int TDistortionCorrectInt_Test(unsigned char* image, unsigned char* workBuffer,
                                          DistortionCorrectionRecord* record);
LSA_EXPORT int TDistortionCorrectFloat(unsigned char* image, unsigned char* workBuffer,
                                       DistortionCorrectionRecord* record);
LSA_EXPORT int TDistortionCorrectInitMt(DistortionCorrectionHandle* handle,
                                        DistortionCorrectionRecord* record);
LSA_EXPORT int TDistortionCorrectStep1Mt(DistortionCorrectionHandle* handle, unsigned char* image,
                                         int firstRow, int endRow,
                                         DistortionCorrectionRecord* record);
LSA_EXPORT int TDistortionCorrectStep2Mt(DistortionCorrectionHandle* handle, unsigned char* image,
                                         int firstRow, int endRow,
                                         DistortionCorrectionRecord* record);
LSA_EXPORT int CalibrateOpticalDistortion1(unsigned char* image,
                                           DistortionCorrectionRecord* record);
LSA_EXPORT int CalibrateOpticalDistortion2(ImageCordinateType firstCorner,
                                           ImageCordinateType lastCorner, unsigned char* window,
                                           DistortionCorrectionRecord* record);
// Warps the 288 x 352 window around (centreX, centreY) through the stored coordinate map, with
// its columns mirrored. sourceHeight bounds the row taps.
LSA_EXPORT int FinchCalibration1(int sourceHeight, int sourceWidth, unsigned char* source,
                                 int centreX, int centreY, int windowWidth, int windowHeight,
                                 int* heightOut, int* widthOut, unsigned char* output);

}  // namespace LiveScanAlg

// The rest of the library's interface. Included last, so that this header works first or alone:
// the other parts' headers may use the records above.
#include "LiveScanAlg.h"
