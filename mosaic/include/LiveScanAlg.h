#pragma once
// Public interface of libMorwenMosaic.so: live-scan fingerprint image algorithms over caller-owned
// 8-bit grey images (one byte a pixel, rows packed, row-major unless a function says otherwise).
//
// Results are row numbers of the ErrorMessage table (0 = "You Passed!"). A pointer argument that is
// null or holds the fill pattern 0xCCCCCCCC counts as missing. Buffers the library allocates for a
// caller are released through the library (FreeMask, DestroyDefectLine, DestroyLiveScanParameter).
//
// The library keeps one process-wide parameter block (thresholds, stitch state, working buffer).
// Its creation is thread-safe; the algorithms themselves share that state, so callers run one
// capture's calls at a time.

#include <cstddef>
#include <cstdint>

#include "LiveScanAlgExport.h"

namespace LiveScanAlg {

// ---------------------------------------------------------------------------------------------
// Result codes: rows of ErrorMessage. Rows 39 to 42 have no text.
// ---------------------------------------------------------------------------------------------
enum LiveScanResult : int {
  LSA_PASSED = 0,
  LSA_INVALID_INPUT = 1,        // null histogram, bad size in an internal routine
  LSA_INVALID_INPUT1 = 2,       // height below 1
  LSA_INVALID_INPUT2 = 3,       // width below 1
  LSA_INVALID_INPUT3 = 4,       // image missing
  LSA_INVALID_INPUT4 = 5,       // second buffer missing
  LSA_INVALID_INPUT5 = 6,
  LSA_INVALID_INPUT6 = 7,
  LSA_INVALID_INPUT7 = 8,
  LSA_INVALID_INPUT8 = 9,
  LSA_INVALID_INPUT9 = 10,
  LSA_INVALID_POINTER = 11,     // output pointer missing
  LSA_NO_MEMORY = 12,
  LSA_CANT_OPEN_FILE = 13,
  LSA_CANT_OPEN_IMAGE_FILE = 14,
  LSA_CANT_READ_IMAGE_DATA = 15,
  LSA_NO_CAPTURE_DEVICE = 16,
  LSA_DIRTY_SENSOR = 17,
  LSA_LOW_CONTRAST = 18,
  LSA_LOW_EXPOSURE = 19,
  LSA_LOW_BRIGHTNESS = 20,
  LSA_TOO_WHITE = 21,
  LSA_TOO_DARK = 22,
  LSA_SMALL_DYNAMIC_RANGE = 23,
  LSA_SMALL_VARIANCE = 24,
  LSA_ROLL_TOO_FAST = 25,
  LSA_ROLL_TOO_SLOW = 26,
  LSA_ROLL_BACKWARDS = 27,
  LSA_SLIDING = 28,
  LSA_FOREGROUND_TOO_SMALL = 29,
  LSA_WIDTH_TOO_SMALL = 30,
  LSA_HEIGHT_TOO_SMALL = 31,
  LSA_WIDTH_TOO_SMALL_LEFT = 32,
  LSA_CENTRE_TOO_LOW = 33,
  LSA_CENTRE_TOO_HIGH = 34,
  LSA_QUALITY_TOO_LOW = 35,
  LSA_DRY_FINGER = 36,
  LSA_WET_FINGER = 37,
  LSA_FINGER_ON_SENSOR = 38,
  LSA_FINGER_LIFTED = 39,       // too little overlap with a small frame foreground (no text)
  LSA_SATURATED_SENSOR = 40,    // no text
  LSA_DEFECT_LIST_FULL = 41,    // no text
  LSA_SENSOR_TOO_BRIGHT = 42,   // no text
};

constexpr int kErrorMessageRows = 43;
constexpr int kErrorMessageLength = 200;

// Filled by InitializeErrorMessage (rows 0..38); zero until then.
extern LSA_EXPORT char ErrorMessage[kErrorMessageRows][kErrorMessageLength];

// ---------------------------------------------------------------------------------------------
// Shared records
// ---------------------------------------------------------------------------------------------

// A 2-D point or size passed by value: x is a column (or a width), y a row (or a height).
struct Cordinate2DType {
  int32_t x;
  int32_t y;
};
static_assert(sizeof(Cordinate2DType) == 8);

struct HistogramBin {
  int32_t level;
  int32_t count;
};

// Grey-level histogram: entry i holds level i.
struct HistogramType {
  HistogramBin entry[256];
};
static_assert(sizeof(HistogramType) == 2048);

// One defective sensor line: a row r is stored as (0, r), a column c as (c, 0).
struct DefectLineEntry {
  int32_t column;
  int32_t row;
};

// Defect-line list; the capture library holds it as an opaque void*.
struct DefectLineList {
  int32_t capacity;             // 10
  int32_t count;                // entries in use
  DefectLineEntry* entries;     // capacity entries
};

constexpr int kDefectLineCapacity = 10;
constexpr int kFrameRecordWords = 25;

// The process-wide parameter block. Offsets 0..2739 are fixed (checked below); the pointer tail
// follows in the native layout.
struct StitchParameterType {
  int32_t MaxFrameNumber;               // 0
  int32_t WhiteLevelThreshold;          // 4
  int32_t DarkLevelThreshold;           // 8
  int32_t DynamicRangeThreshold;        // 12
  int32_t CoverageLimit;                // 16 (the mosaic reads its low byte)
  int32_t Reserved20[3];                // 20: 12, 25, 3
  int32_t ProfileThreshold;             // 32
  int32_t Reserved36;                   // 36: 10
  int32_t MosaicHeightLimit;            // 40
  int32_t MosaicCentreMargin;           // 44
  int32_t MosaicMinWidth;               // 48
  int32_t Reserved52;                   // 52: 1100
  int32_t MosaicMinArea;                // 56
  int32_t Reserved60[5];                // 60: 2100, 3300, 2, 0, 1
  int32_t RollBackThreshold;            // 80
  int32_t Reserved84;                   // 84: 0
  uint8_t Reserved88;                   // 88: 64
  uint8_t Padding89[3];
  int32_t Reserved92;                   // 92: 44
  int32_t Reserved96;                   // 96: 70
  int32_t SlidingSADMeanThreshlod;      // 100
  float SlidingPercentageThreshold;     // 104
  uint8_t EdgeLabel;                    // 108
  uint8_t OverlapLabel;                 // 109
  uint8_t Reserved110;                  // 110: 32
  uint8_t NewLabel;                     // 111
  uint8_t Reserved112[4];               // 112: 32, 255, 255, 235
  int32_t Reserved116;                  // 116: 127
  int32_t SaturatedLabel;               // 120
  int32_t Reserved124;                  // 124: 251
  int32_t LowBrightnessThreshold;       // 128
  int32_t SmallDynamicRangeThreshold;   // 132
  int32_t BackGroundBoarderthickness;   // 136
  int32_t FingerLevelThreshold;         // 140
  int32_t DirtySensorWindow1Threshold;  // 144
  int32_t SlideDetectionStatus;         // 148
  int32_t SlidingPixelCounter;          // 152
  int32_t MinOverlapCount;              // 156
  int32_t MinFirstFrameCount;           // 160
  int32_t FirstFrameRecord[kFrameRecordWords];     // 164
  uint8_t LastFrameThreshold;           // 264
  uint8_t Padding265[3];
  int32_t LastMeanRounded;              // 268
  int32_t MixFlag;                      // 272
  int32_t BackgroundUpdateDisabled;     // 276: non-zero stops frame background updates (mode 1)
                                        //      and the output step of GetPloverCFinalImage
  int32_t LastMovement[2];              // 280
  int32_t PreviousFrameRecord[kFrameRecordWords];  // 288
  float LastMean;                       // 388
  float LastMeanDeviation;              // 392
  float LastVariance;                   // 396
  uint8_t LastMinLevel;                 // 400
  uint8_t LastMaxLevel;                 // 401
  uint8_t Padding402[2];
  HistogramType LastHistogram;          // 404
  char Version[128];                    // 2452
  float MeanThreshold;                  // 2580
  float VarThreshold;                   // 2584
  float Reserved2588[15];               // 2588..2644
  float SaturetionThreshold;            // 2648
  uint8_t Reserved2652[8];              // 2652
  int32_t Reserved2660;                 // 2660
  uint8_t NoiseLevelThreshold;          // 2664
  uint8_t SignalLevelThreshold;         // 2665
  uint8_t MaskLevelThreshold;           // 2666
  uint8_t Reserved2667[13];             // 2667
  uint8_t Reserved2680[2];              // 2680: 146, 227
  uint8_t Padding2682[2];
  int32_t MaskMinRegionSize;            // 2684
  int32_t MaskMaxRegions;               // 2688
  int32_t BackgroundCallCount;          // 2692
  int32_t MaskRegionFilter;             // 2696
  int32_t RollBeginBuffSize;            // 2700
  float LeftMoveSum;                    // 2704
  float RightMoveSum;                   // 2708
  int32_t LastFingerOn;                 // 2712
  float LastFingerVariance;             // 2716
  int32_t LastForegroundCount;          // 2720
  int32_t WorkingState;                 // 2724
  int32_t StretchOffset;                // 2728
  int32_t StretchReserved;              // 2732: 10
  int32_t StretchMinimumRange;          // 2736
  // Native pointer tail.
  DefectLineList* DefectLine;           // the block's own defect-line list
  uint8_t* StretchTable;                // 256 x 256 bytes: row = local range, column = grey
  uint8_t* WorkingBuffer;               // shared scratch buffer (holds the last GenerateMask mask)
  uint8_t* ThirdBuffer;                 // never allocated; freed with the block
};

static_assert(offsetof(StitchParameterType, WhiteLevelThreshold) == 4);
static_assert(offsetof(StitchParameterType, CoverageLimit) == 16);
static_assert(offsetof(StitchParameterType, ProfileThreshold) == 32);
static_assert(offsetof(StitchParameterType, MosaicMinArea) == 56);
static_assert(offsetof(StitchParameterType, RollBackThreshold) == 80);
static_assert(offsetof(StitchParameterType, SlidingSADMeanThreshlod) == 100);
static_assert(offsetof(StitchParameterType, SlidingPercentageThreshold) == 104);
static_assert(offsetof(StitchParameterType, EdgeLabel) == 108);
static_assert(offsetof(StitchParameterType, NewLabel) == 111);
static_assert(offsetof(StitchParameterType, SaturatedLabel) == 120);
static_assert(offsetof(StitchParameterType, LowBrightnessThreshold) == 128);
static_assert(offsetof(StitchParameterType, FingerLevelThreshold) == 140);
static_assert(offsetof(StitchParameterType, MinFirstFrameCount) == 160);
static_assert(offsetof(StitchParameterType, FirstFrameRecord) == 164);
static_assert(offsetof(StitchParameterType, LastFrameThreshold) == 264);
static_assert(offsetof(StitchParameterType, LastMeanRounded) == 268);
static_assert(offsetof(StitchParameterType, BackgroundUpdateDisabled) == 276);
static_assert(offsetof(StitchParameterType, PreviousFrameRecord) == 288);
static_assert(offsetof(StitchParameterType, LastMean) == 388);
static_assert(offsetof(StitchParameterType, LastMinLevel) == 400);
static_assert(offsetof(StitchParameterType, LastHistogram) == 404);
static_assert(offsetof(StitchParameterType, Version) == 2452);
static_assert(offsetof(StitchParameterType, MeanThreshold) == 2580);
static_assert(offsetof(StitchParameterType, SaturetionThreshold) == 2648);
static_assert(offsetof(StitchParameterType, NoiseLevelThreshold) == 2664);
static_assert(offsetof(StitchParameterType, MaskLevelThreshold) == 2666);
static_assert(offsetof(StitchParameterType, Reserved2680) == 2680);
static_assert(offsetof(StitchParameterType, MaskMinRegionSize) == 2684);
static_assert(offsetof(StitchParameterType, RollBeginBuffSize) == 2700);
static_assert(offsetof(StitchParameterType, LeftMoveSum) == 2704);
static_assert(offsetof(StitchParameterType, LastFingerOn) == 2712);
static_assert(offsetof(StitchParameterType, LastForegroundCount) == 2720);
static_assert(offsetof(StitchParameterType, StretchMinimumRange) == 2736);

// ---------------------------------------------------------------------------------------------
// Parameter block and error table
// ---------------------------------------------------------------------------------------------

// The one block, created with its defaults on first use; null only when memory is exhausted.
LSA_EXPORT StitchParameterType* GetParameter();
// Frees the block (and the cached distortion maps); the next use recreates it with the defaults.
LSA_EXPORT void DestroyLiveScanParameter();
LSA_EXPORT char* GetStitchDLLVersion();
// 0, or 12 (the previous buffer and size are kept).
LSA_EXPORT int ReAllocateWorkingBuffer(int size);
LSA_EXPORT void InitializeErrorMessage();

// Each Set stores its argument and returns the previous value; each Get returns the field.
LSA_EXPORT int SetMaxFrameNumber(int value);
LSA_EXPORT int GetMaxFrameNumber();
LSA_EXPORT int SetLowBrightnessThreshold(int value);
LSA_EXPORT int GetLowBrightnessThreshold();
LSA_EXPORT int SetSmallDynamicRangeThreshold(int value);
LSA_EXPORT int GetSmallDynamicRangeThreshold();
LSA_EXPORT int SetBackGroundBoarderthickness(int value);
LSA_EXPORT int GetBackGroundBoarderthickness();
LSA_EXPORT int SetSlideDetectionStatus(int value);
LSA_EXPORT int GetSlideDetectionStatus();
LSA_EXPORT int SetSlidingPixelCounter(int value);
LSA_EXPORT int GetSlidingPixelCounter();
LSA_EXPORT float SetSlidingPercentageThreshold(float value);
LSA_EXPORT float GetSlidingPercentageThreshold();
LSA_EXPORT int SetSlidingSADMeanThreshlod(int value);
LSA_EXPORT int SetRollBackThreshold(int value);
LSA_EXPORT int GetRollBackThreshold();
LSA_EXPORT float SetVarThreshold(float value);
LSA_EXPORT float GetVarThreshold();
LSA_EXPORT float SetMeanThreshold(float value);
LSA_EXPORT float GetMeanThreshold();
LSA_EXPORT int SetDirtySensorWindow1Threshold(int value);
LSA_EXPORT int GetDirtySensorWindow1Threshold();
LSA_EXPORT float SetSaturetionThreshold(float value);
LSA_EXPORT float GetSaturetionThreshold();
LSA_EXPORT unsigned char SetNoiseLevelThreshold(unsigned char value);
LSA_EXPORT unsigned char GetNoiseLevelThreshold();
LSA_EXPORT unsigned char SetSignalLevelThreshold(unsigned char value);
LSA_EXPORT unsigned char GetSignalLevelThreshold();
// Stores size when it is 0 or more; returns its argument either way.
LSA_EXPORT int SetRollBeginBuffSize(int size);

// ---------------------------------------------------------------------------------------------
// Finger presence and palm movement
// ---------------------------------------------------------------------------------------------
LSA_EXPORT int CalculateImageHistogram1(int height, int width, unsigned char* image,
                                        HistogramType* histogram);
LSA_EXPORT int IsFingerON(int height, int width, unsigned char* image, int varThreshold,
                          int* fingerOn, float* variance);
// Width before height.
LSA_EXPORT void IsFingerOnFast(int gridLimit, float varThreshold, unsigned char* image, int width,
                               int height, int* fingerOn);
LSA_EXPORT void IsFingerOnFast1(int gridLimit, float varThreshold, const unsigned char* image,
                                int width, int height, int* fingerOn, Cordinate2DType* offset);
LSA_EXPORT void IsPalmMoving(int height, int width, const unsigned char* first,
                             const unsigned char* second, int threshold, int* differing,
                             int* moving);
LSA_EXPORT void IsPalmMoving1(int step, int height, int width, const unsigned char* first,
                              const unsigned char* second, float threshold, int* used,
                              int* moving);
LSA_EXPORT int DetectActiveArea(int height, int width, unsigned char* image,
                                Cordinate2DType window, Cordinate2DType from, Cordinate2DType to,
                                Cordinate2DType* origin);

// ---------------------------------------------------------------------------------------------
// Background calibration and foreground mask
// ---------------------------------------------------------------------------------------------
LSA_EXPORT void SubBackground(int count, unsigned char* background, unsigned char* image);
LSA_EXPORT void SubBackground2(const unsigned char* background, unsigned char* image, int height,
                               int width);
LSA_EXPORT int CalibrateBackgroundSimple(int mode, int height, int width,
                                         unsigned char* background, unsigned char* image);
LSA_EXPORT int CalibrateBackgroundKestrelB(int* phase, int mode, int height, int width,
                                           unsigned char* background, unsigned char* image);
LSA_EXPORT int GetPloverCFinalImage(int height, int width, unsigned char* background,
                                    unsigned char* mask, int outHeight, int outWidth,
                                    unsigned char* out);
LSA_EXPORT int IsNewBackgroundClean(int height, int width, unsigned char* standardBackground,
                                    unsigned char* newBackground);
// Builds the mask of the image into the block's working buffer (read by CleanResidule).
LSA_EXPORT int GenerateMask(int height, int width, unsigned char* image);
// Builds the mask into *mask (height x width bytes; allocated when *mask is null, released with
// FreeMask); *count receives the number of foreground pixels.
LSA_EXPORT int QuickGetMaskNew(Cordinate2DType block, int height, int width,
                               unsigned char* image, unsigned char** mask, int* count);
LSA_EXPORT void CleanResidule(int height, int width, unsigned char* image);
LSA_EXPORT void FreeMask(unsigned char** mask);

// ---------------------------------------------------------------------------------------------
// Foreground contrast stretching
// ---------------------------------------------------------------------------------------------
LSA_EXPORT int SmartForegroundStretch1(int height, int width, unsigned char* image, int lowPer,
                                       int highPer);
LSA_EXPORT int SmartForegroundStretch(int height, int width, unsigned char* image, int per);
LSA_EXPORT int SmartForegroundStretch3(int height, int width, unsigned char* image, int lowPer,
                                       int highPer, int boost);
LSA_EXPORT int SmartForegroundStretch2(int height, int width, unsigned char* image, int per);
LSA_EXPORT int SmartForegroundStretch7(int height, int width, unsigned char* image);
LSA_EXPORT int PhotoShopCalibrateForeground(int height, int width, unsigned char* image, int per);
LSA_EXPORT int HistogramStretct(int height, int width, unsigned char* image,
                                HistogramType* histogram);
LSA_EXPORT int CalibrateForeground(int height, int width, unsigned char* image);
LSA_EXPORT int CalibrateForeground1(int height, int width, unsigned char* image);
LSA_EXPORT int CalibrateForeground1(int height, int width, unsigned char* image,
                                    unsigned char level);
LSA_EXPORT int CalibrateForeground2(int height, int width, unsigned char* image);
LSA_EXPORT int CalibrateForegroundBackup(int height, int width, unsigned char* image);
LSA_EXPORT int AnalysizeNoiseLevel(int height, int width, unsigned char* reference,
                                   unsigned char* image);
LSA_EXPORT int ScanDifferentLine(int height, int width, unsigned char* reference,
                                 unsigned char* image, Cordinate2DType from, Cordinate2DType to,
                                 unsigned char threshold, int mode, int* first, int* second);

// ---------------------------------------------------------------------------------------------
// Sensor checks and defect-line repair (defect-line functions take rows, then row length)
// ---------------------------------------------------------------------------------------------
LSA_EXPORT int CalculateMeanVarMinMax(HistogramType* histogram, float* variance, float* mean,
                                      unsigned char* minimum, unsigned char* maximum);
LSA_EXPORT int CalculateMeanPowerMinMax(HistogramType* histogram, float* power, float* mean,
                                        unsigned char* minimum, unsigned char* maximum);
LSA_EXPORT int CheckSensor(int height, int width, unsigned char* image, int varThreshold);
LSA_EXPORT int CheckSensor1(int height, int width, unsigned char* image, float* mean,
                            float* variance);
LSA_EXPORT int CheckSensor2(int height, int width, unsigned char* image, float* mean,
                            float* variance, float* saturation);
LSA_EXPORT int CheckSensor2(int height, int width, unsigned char* image, int mode, float* mean,
                            float* variance);
LSA_EXPORT int CheckSensor3(int height, int width, const unsigned char* image, float* mean,
                            float* variance, float* saturation, int targetMean, int varThreshold);
LSA_EXPORT void DestroyDefectLine(void** list);
LSA_EXPORT int ScanDefectedLines1(unsigned char* image, int rows, int columns, void** list);
LSA_EXPORT int ScanDefectedLines(unsigned char* image, int rows, int columns);
LSA_EXPORT void AmendDefectedLines1(unsigned char* image, int rows, int columns, void* list);
LSA_EXPORT void AmendDefectedLines(unsigned char* image, int rows, int columns);

// ---------------------------------------------------------------------------------------------
// Image utilities (argument orders differ per function)
// ---------------------------------------------------------------------------------------------
// 8-bit grey BMP. *image is allocated (release with FreeMask) when null; a caller's buffer must
// hold width x height bytes.
// The path is only read; the exported names take char* as the library always declared them, and
// the inline const char* forms below serve const-correct callers.
LSA_EXPORT int ReadBMPToRawData(char* path, unsigned char** image, int* height, int* width);
LSA_EXPORT int SaveRawDataToBMP(char* path, unsigned char* image, int height, int width);
inline int ReadBMPToRawData(const char* path, unsigned char** image, int* height, int* width) {
  return ReadBMPToRawData(const_cast<char*>(path), image, height, width);
}
inline int SaveRawDataToBMP(const char* path, unsigned char* image, int height, int width) {
  return SaveRawDataToBMP(const_cast<char*>(path), image, height, width);
}
// Nearest neighbour, corners kept.
LSA_EXPORT int ScaleImage(int width, int height, unsigned char* image, int newWidth,
                          int newHeight, unsigned char** out);
// Interpolating; factors are source pixels per output pixel.
LSA_EXPORT int ScaleImage(unsigned char* image, int height, int width, float xFactor,
                          float yFactor, unsigned char** out, int* newHeight, int* newWidth);
LSA_EXPORT int ScaleImage1(unsigned char* image, int height, int width, int xStep, int yStep,
                           unsigned char** out, int* newHeight, int* newWidth);
LSA_EXPORT void RotateImage(const unsigned char* source, int width, int height,
                            unsigned char* destination, int centreX, int centreY, float angle,
                            unsigned char fill);
LSA_EXPORT int PrintGrayscaleImageToText(unsigned char* image, int height, int width, char* path);
inline int PrintGrayscaleImageToText(unsigned char* image, int height, int width, const char* path) {
  return PrintGrayscaleImageToText(image, height, width, const_cast<char*>(path));
}

}  // namespace LiveScanAlg

// Records and functions of the other parts of the library.
#include "LiveScanAlgRoll.h"
#include "LiveScanAlgMosaic.h"
