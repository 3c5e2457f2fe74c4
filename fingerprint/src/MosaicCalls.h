#pragma once
// The capture library's calls into the live-scan image library: one MM_ wrapper per imported
// function. A wrapper passes its arguments through, turns a non-zero status r into the capture
// library's code -(800 + r) where the function returns a status, and traces the calibration and
// stitching steps. The image library keeps process-wide state (parameter block, roll session,
// distortion-map cache) and has no lock of its own, so every wrapper runs under one library-wide
// lock: the image-processing thread, the auto-capture thread and the caller's thread never call
// into it at the same time.
//
// MM_SR3 also stands for the resolution-improvement step of the two-times models: background
// correction, palm-movement test and the Detailer step SR3 (see Detailer.h).

#include <cstdint>
#include <mutex>

#include "LiveScanAlgMosaic.h"

struct BSRT;

namespace zarn {
// Held by every wrapper; callers that need several calls to see one state hold it across them.
std::recursive_mutex& MosaicLock();
// The flag of camera property 100: MM_CalibrateBackgroundSimple then passes selector 3.
void SetVideoProp100Flag(bool on);
bool VideoProp100Flag();
}  // namespace zarn

using LiveScanAlg::DistortionCorrectionHandle;
using LiveScanAlg::DistortionCorrectionRecord;
using LiveScanAlg::ImageCordinateType;
using LiveScanAlg::MosaicImagePropertyType;
using LiveScanAlg::RectangleBlockInfoType;
using LiveScanAlg::mm_finger_property;

int MM_CheckSensor(int height, int width, unsigned char* raw, int threshold);
int MM_IsFingerON(int height, int width, unsigned char* image, int varThreshold, int* fingerOn, float* variance);
int MM_MorwenConstructImage(int* frameNumber, int height, int width, unsigned char* frame, unsigned char* mask,
                            unsigned char* mosaic, unsigned char* coverage, RectangleBlockInfoType* blockInfo);
int MM_EvaluateConstructedImageQuality(RectangleBlockInfoType info, unsigned char* image, unsigned char* constructed,
                                       int frameCount, MosaicImagePropertyType* property);

// Setters of the roll parameters: the library returns the previous value, which these map like a
// status; their one caller ignores the results.
int MM_SetMaxFrameNumber(int value);
int MM_SetSlideDetectionStatus(int value);
int MM_SetSlidingPixelCounter(int value);
int MM_SetRollBackThreshold(int value);
int MM_SetNoiseLevelThreshold(unsigned char value);
float MM_SetSlidingPercentageThreshold(float value);

int MM_GetMaxFrameNumber();
int MM_GetSlideDetectionStatus();
int MM_GetSlidingPixelCounter();
float MM_GetSlidingPercentageThreshold();
int MM_GetRollBackThreshold();
int MM_GetLowBrightnessThreshold();
int MM_GetSmallDynamicRangeThreshold();
int MM_GetBackGroundBoarderthickness();
char* MM_GetStitchDLLVersion();

float MM_SetVarThreshold(float value);
float MM_SetMeanThreshold(float value);
float MM_SetSaturetionThreshold(float value);
float MM_GetVarThreshold();
float MM_GetMeanThreshold();
float MM_GetSaturetionThreshold();
int MM_SetDirtySensorWindow1Threshold(int value);

int MM_CalibrateForeground(int height, int width, unsigned char* image);
int MM_CalibrateForeground1(int height, int width, unsigned char* image);
int MM_CalibrateForeground2(int height, int width, unsigned char* image);
int MM_CalibrateOpticalDistortion1(unsigned char* image, DistortionCorrectionRecord* record);
int MM_CalibrateOpticalDistortion2(ImageCordinateType firstCorner, ImageCordinateType lastCorner, unsigned char* window,
                                   DistortionCorrectionRecord* record);
int MM_CheckSensor2(int height, int width, unsigned char* image, float* mean, float* variance, float* saturation);
int MM_CalibrateBackgroundSimple(int selector, int height, int width, unsigned char* background, unsigned char* raw);
int MM_IsNewBackgroundClean(int height, int width, unsigned char* standardBackground, unsigned char* newBackground);
int MM_PhotoShopCalibrateForeground(int height, int width, unsigned char* image, int per);
int MM_SmartForegroundStretch(int height, int width, unsigned char* image, int per);
int MM_ReAllocateWorkingBuffer(int size);
int MM_ScanDefectedLines(unsigned char* image, int rows, int columns);
int MM_ScanDefectedLines1(unsigned char* image, int rows, int columns, void** list);
void MM_AmendDefectedLines(unsigned char* image, int rows, int columns);
void MM_AmendDefectedLines1(unsigned char* image, int rows, int columns, void* list);
int MM_GenerateMask(int height, int width, unsigned char* image);
void MM_CleanResidule(int height, int width, unsigned char* image);
void MM_DestroyLiveScanParameter();
// Traces the moving flag; returns nothing of it.
void MM_IsPalmMoving1(int step, int height, int width, const unsigned char* first, const unsigned char* second,
                      float threshold, int* used, int* moving);
int MM_CalibrateBackgroundKestrelB(int* count, int selector, int height, int width, unsigned char* background,
                                   unsigned char* raw);
// count 0 starts a new combination; the frame's byte 5 tags its view. The background is that of the
// current scanner; palm movement is reported through its capture status (-622), not the result.
int MM_SR3(int count, int height, int width, unsigned char* frame, BSRT** state);

int MM_mmRollStitch(unsigned char* frame, int* frameCounter, unsigned char* rolledImage, unsigned char* auxiliaryOutput);
int MM_mmRollFingerQualityCheck(unsigned char* rolledImage, int width, int height);
int MM_mmGetFingerProperty(unsigned char* image, int width, int height, mm_finger_property* property);
int MM_mmGetSlidingMask(unsigned char* output, int width, int height);
int MM_mmRollStitchRelease();
int MM_mmRollStitchCreate(int width, int height, int resolution, int resolution2, int disabled);

DistortionCorrectionHandle* MM_TDistortionCorrectInit();
int MM_TDistortionCorrectEx(DistortionCorrectionHandle* handle, unsigned char* image, DistortionCorrectionRecord* record);
// MM_TDistortionCorrectEx with each pass's rows spread over the row threads: the same image and
// record, for the largest images.
int MM_TDistortionCorrectRows(DistortionCorrectionHandle* handle, unsigned char* image,
                              DistortionCorrectionRecord* record);
void MM_TDistortionCorrectRelease(DistortionCorrectionHandle** handle);
int MM_InitializeRectangleBlockInfo(int height, int width, int blockWidth, int blockHeight, RectangleBlockInfoType* info);
void MM_InitializeErrorMessage();

// The four steps of the Finch model's image path that this layer leaves empty: each does nothing
// and leaves every buffer and in/out value as it is, so the Finch model supplies the work itself.
//   reduction (8 arguments): frame, height, width, two factors, the image, width and height it
//     would produce;
//   resolution (10 arguments): the reduced image, its width and height, the frame, the result
//     height and width, two constants and the target width and height;
//   background (4 arguments, no result): background, image, width and height;
//   warp (8 arguments): image, height, width, two scale factors, the output image, its width and
//     height.
int MM_FinchReduce(unsigned char* frame, int height, int width, int factorY, int factorX, unsigned char** image,
                   int* imageWidth, int* imageHeight);
int MM_FinchResolution(unsigned char** image, int* imageWidth, int* imageHeight, unsigned char* frame,
                       int resultHeight, int resultWidth, int constantA, int constantB, int targetWidth,
                       int targetHeight);
void MM_FinchBackground(unsigned char* background, unsigned char* image, int width, int height);
int MM_FinchWarp(unsigned char* image, int height, int width, double scaleY, double scaleX, unsigned char** output,
                 int* outputWidth, int* outputHeight);
