#include "MosaicCalls.h"

#include <atomic>
#include <climits>

#include "zarn/ZarnTraceLogger.h"
#include "zarn/ZarnTypes.h"

#include "Detailer.h"
#include "RowBands.h"
#include "ZarnScannerBase.h"

using namespace LiveScanAlg;

namespace zarn {

std::recursive_mutex& MosaicLock() {
    static std::recursive_mutex lock;
    return lock;
}

namespace {
std::atomic<bool> g_videoProp100{false};
// The frame of the previous MM_SR3 call, for the palm-movement test.
unsigned char* g_sr3Previous = nullptr;
}  // namespace

void SetVideoProp100Flag(bool on) { g_videoProp100.store(on); }
bool VideoProp100Flag() { return g_videoProp100.load(); }

}  // namespace zarn

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// A value too large for -(800 + r) (a setter's previous value can be any int) saturates.
int Map(int r) { return r == 0 ? 0 : r > INT_MAX - 800 ? INT_MIN : ZarnAlgorithmError(r); }

int Exit(const char* name, int result) {
    ZarnTrace().Log(4, "Exit  %s()=%d", name, result);
    return result;
}

unsigned Low(const void* p) { return unsigned(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

int MM_CheckSensor(int height, int width, unsigned char* raw, int threshold) {
    Guard g(zarn::MosaicLock());
    ZarnTrace().Log(4, "Enter MM_CheckSensor(H = %d, W = %d, Raw = 0x%x, Threshold = %d)", height, width, Low(raw), threshold);
    return Exit("MM_CheckSensor", Map(CheckSensor(height, width, raw, threshold)));
}

int MM_IsFingerON(int height, int width, unsigned char* image, int varThreshold, int* fingerOn, float* variance) {
    Guard g(zarn::MosaicLock());
    return Map(IsFingerON(height, width, image, varThreshold, fingerOn, variance));
}

int MM_MorwenConstructImage(int* frameNumber, int height, int width, unsigned char* frame, unsigned char* mask,
                            unsigned char* mosaic, unsigned char* coverage, RectangleBlockInfoType* blockInfo) {
    Guard g(zarn::MosaicLock());
    return Map(MorwenConstructImage(frameNumber, height, width, frame, mask, mosaic, coverage, blockInfo));
}

int MM_EvaluateConstructedImageQuality(RectangleBlockInfoType info, unsigned char* image, unsigned char* constructed,
                                       int frameCount, MosaicImagePropertyType* property) {
    Guard g(zarn::MosaicLock());
    return Map(EvaluateConstructedImageQuality(info, image, constructed, frameCount, property));
}

int MM_SetMaxFrameNumber(int value) { Guard g(zarn::MosaicLock()); return Map(SetMaxFrameNumber(value)); }
int MM_SetSlideDetectionStatus(int value) { Guard g(zarn::MosaicLock()); return Map(SetSlideDetectionStatus(value)); }
int MM_SetSlidingPixelCounter(int value) { Guard g(zarn::MosaicLock()); return Map(SetSlidingPixelCounter(value)); }
int MM_SetRollBackThreshold(int value) { Guard g(zarn::MosaicLock()); return Map(SetRollBackThreshold(value)); }
int MM_SetNoiseLevelThreshold(unsigned char value) { Guard g(zarn::MosaicLock()); return Map(SetNoiseLevelThreshold(value)); }
float MM_SetSlidingPercentageThreshold(float value) { Guard g(zarn::MosaicLock()); return SetSlidingPercentageThreshold(value); }

int MM_GetMaxFrameNumber() { Guard g(zarn::MosaicLock()); return GetMaxFrameNumber(); }
int MM_GetSlideDetectionStatus() { Guard g(zarn::MosaicLock()); return GetSlideDetectionStatus(); }
int MM_GetSlidingPixelCounter() { Guard g(zarn::MosaicLock()); return GetSlidingPixelCounter(); }
float MM_GetSlidingPercentageThreshold() { Guard g(zarn::MosaicLock()); return GetSlidingPercentageThreshold(); }
int MM_GetRollBackThreshold() { Guard g(zarn::MosaicLock()); return GetRollBackThreshold(); }
int MM_GetLowBrightnessThreshold() { Guard g(zarn::MosaicLock()); return GetLowBrightnessThreshold(); }
int MM_GetSmallDynamicRangeThreshold() { Guard g(zarn::MosaicLock()); return GetSmallDynamicRangeThreshold(); }
int MM_GetBackGroundBoarderthickness() { Guard g(zarn::MosaicLock()); return GetBackGroundBoarderthickness(); }
char* MM_GetStitchDLLVersion() { Guard g(zarn::MosaicLock()); return GetStitchDLLVersion(); }

float MM_SetVarThreshold(float value) { Guard g(zarn::MosaicLock()); return SetVarThreshold(value); }
float MM_SetMeanThreshold(float value) { Guard g(zarn::MosaicLock()); return SetMeanThreshold(value); }
float MM_SetSaturetionThreshold(float value) { Guard g(zarn::MosaicLock()); return SetSaturetionThreshold(value); }
float MM_GetVarThreshold() { Guard g(zarn::MosaicLock()); return GetVarThreshold(); }
float MM_GetMeanThreshold() { Guard g(zarn::MosaicLock()); return GetMeanThreshold(); }
float MM_GetSaturetionThreshold() { Guard g(zarn::MosaicLock()); return GetSaturetionThreshold(); }
int MM_SetDirtySensorWindow1Threshold(int value) { Guard g(zarn::MosaicLock()); return SetDirtySensorWindow1Threshold(value); }

int MM_CalibrateForeground(int height, int width, unsigned char* image) {
    Guard g(zarn::MosaicLock());
    return Map(CalibrateForeground(height, width, image));
}
int MM_CalibrateForeground1(int height, int width, unsigned char* image) {
    Guard g(zarn::MosaicLock());
    return Map(CalibrateForeground1(height, width, image));
}
int MM_CalibrateForeground2(int height, int width, unsigned char* image) {
    Guard g(zarn::MosaicLock());
    return Map(CalibrateForeground2(height, width, image));
}
int MM_CalibrateOpticalDistortion1(unsigned char* image, DistortionCorrectionRecord* record) {
    Guard g(zarn::MosaicLock());
    return Map(CalibrateOpticalDistortion1(image, record));
}
int MM_CalibrateOpticalDistortion2(ImageCordinateType firstCorner, ImageCordinateType lastCorner, unsigned char* window,
                                   DistortionCorrectionRecord* record) {
    Guard g(zarn::MosaicLock());
    return Map(CalibrateOpticalDistortion2(firstCorner, lastCorner, window, record));
}
int MM_CheckSensor2(int height, int width, unsigned char* image, float* mean, float* variance, float* saturation) {
    Guard g(zarn::MosaicLock());
    return Map(CheckSensor2(height, width, image, mean, variance, saturation));
}

int MM_CalibrateBackgroundSimple(int selector, int height, int width, unsigned char* background, unsigned char* raw) {
    Guard g(zarn::MosaicLock());
    if (zarn::VideoProp100Flag()) selector = 3;
    ZarnTrace().Log(4, "Call MM_CalibrateBackgroundSimple(Sel = %d, H = %d, W = %d, Back = 0x%x, Raw = 0x%x)", selector,
                    height, width, Low(background), Low(raw));
    return Exit("MM_CalibrateBackgroundSimple", Map(CalibrateBackgroundSimple(selector, height, width, background, raw)));
}

int MM_IsNewBackgroundClean(int height, int width, unsigned char* standardBackground, unsigned char* newBackground) {
    Guard g(zarn::MosaicLock());
    ZarnTrace().Log(4, "Enter MM_IsNewBackgroundClean(H = %d, W = %d, StandBack = 0x%x, NewBack = %d)", height, width,
                    Low(standardBackground), int(Low(newBackground)));
    return Exit("MM_IsNewBackgroundClean", Map(IsNewBackgroundClean(height, width, standardBackground, newBackground)));
}

int MM_PhotoShopCalibrateForeground(int height, int width, unsigned char* image, int per) {
    Guard g(zarn::MosaicLock());
    ZarnTrace().Log(4, "Enter MM_PhotoShopCalibrateForeground(H = %d, W = %d, Image = 0x%x, Per = %d)", height, width,
                    Low(image), per);
    return Exit("MM_PhotoShopCalibrateForeground", Map(SmartForegroundStretch1(height, width, image, per, 5)));
}

int MM_SmartForegroundStretch(int height, int width, unsigned char* image, int per) {
    Guard g(zarn::MosaicLock());
    ZarnTrace().Log(4, "Enter MM_SmartForegroundStretch(H = %d, W = %d, Image = 0x%x, Per = %d)", height, width, Low(image),
                    per);
    return Exit("MM_SmartForegroundStretch", Map(SmartForegroundStretch(height, width, image, per)));
}

int MM_ReAllocateWorkingBuffer(int size) { Guard g(zarn::MosaicLock()); return Map(ReAllocateWorkingBuffer(size)); }

int MM_ScanDefectedLines(unsigned char* image, int rows, int columns) {
    Guard g(zarn::MosaicLock());
    return Map(ScanDefectedLines(image, rows, columns));
}

int MM_ScanDefectedLines1(unsigned char* image, int rows, int columns, void** list) {
    Guard g(zarn::MosaicLock());
    ZarnTrace().Log(4, "Enter MM_ScanDefectedLines1(0x%x, W = %d, H = %d)", Low(image), rows, columns);
    return Exit("MM_ScanDefectedLines1", Map(ScanDefectedLines1(image, rows, columns, list)));
}

void MM_AmendDefectedLines(unsigned char* image, int rows, int columns) {
    Guard g(zarn::MosaicLock());
    AmendDefectedLines(image, rows, columns);
}

void MM_AmendDefectedLines1(unsigned char* image, int rows, int columns, void* list) {
    Guard g(zarn::MosaicLock());
    ZarnTrace().Log(4, "Enter MM_AmendDefectedLines1(Raw = 0x%x, W = %d, H = %d)", Low(image), rows, columns);
    AmendDefectedLines1(image, rows, columns, list);
    ZarnTrace().Log(4, "Exit  MM_AmendDefectedLines1()=0");
}

int MM_GenerateMask(int height, int width, unsigned char* image) {
    Guard g(zarn::MosaicLock());
    return Map(GenerateMask(height, width, image));
}
void MM_CleanResidule(int height, int width, unsigned char* image) {
    Guard g(zarn::MosaicLock());
    CleanResidule(height, width, image);
}
void MM_DestroyLiveScanParameter() {
    Guard g(zarn::MosaicLock());
    DestroyLiveScanParameter();
}

void MM_IsPalmMoving1(int step, int height, int width, const unsigned char* first, const unsigned char* second,
                      float threshold, int* used, int* moving) {
    Guard g(zarn::MosaicLock());
    ZarnTrace().Log(4, "Enter MM_IsPalmMoving1(Step = 0x%x, H = %d, W = %d, F = 0x%x, P = 0x%x, Thre = %lf)", unsigned(step),
                    height, width, Low(first), Low(second), double(threshold));
    IsPalmMoving1(step, height, width, first, second, threshold, used, moving);
    ZarnTrace().Log(4, "Exit  MM_IsPalmMoving1()=%d", moving ? *moving : 0);
}

int MM_CalibrateBackgroundKestrelB(int* count, int selector, int height, int width, unsigned char* background,
                                   unsigned char* raw) {
    Guard g(zarn::MosaicLock());
    ZarnTrace().Log(4, "Enter MM_CalibrateBackgroundKestrelB(Count = 0x%x, Sel = %d, H = %d, W = %d, Back = 0x%x, Raw = 0x%x)",
                    Low(count), selector, height, width, Low(background), Low(raw));
    return Exit("MM_CalibrateBackgroundKestrelB",
                Map(CalibrateBackgroundKestrelB(count, selector, height, width, background, raw)));
}

int MM_SR3(int count, int height, int width, unsigned char* frame, BSRT** state) {
    Guard g(zarn::MosaicLock());
    ZarnTrace().Log(4, "Enter MM_SR3(count = 0x%x, H = %d, W = %d, ImgD = 0x%x, ImgO = 0x%x)", unsigned(count), height,
                    width, Low(frame), Low(state));
    ZarnScannerBase* scanner = g_pScanner.load();
    if (frame != nullptr && height > 0 && width > 0) {
        // The view's tag survives the background correction.
        const unsigned char tag = frame[5];
        int phase = 0;
        CalibrateBackgroundKestrelB(&phase, 2, height, width, scanner ? scanner->m_pFullBackground : nullptr, frame);
        frame[5] = tag;
        if (count != 0 && zarn::g_sr3Previous != nullptr) {
            int used = 0, moving = 0;
            ZarnTrace().Log(4, "Enter MM_IsPalmMoving1(Step = 0x%x, H = %d, W = %d, F = 0x%x, P = 0x%x, Thre = %lf)", 1u,
                            height, width, Low(zarn::g_sr3Previous), Low(frame), 0.115);
            IsPalmMoving1(1, height, width, zarn::g_sr3Previous, frame, 0.115f, &used, &moving);
            ZarnTrace().Log(4, "Exit  MM_IsPalmMoving1()=%d", moving);
            if (moving == 1 && scanner != nullptr) {
                scanner->PostScannerMessage(ZARN_ERR_CAPTURE_PALMMOVING, 1);
                scanner->m_Running.captureStatus.store(ZARN_ERR_CAPTURE_PALMMOVING);
                ZarnTrace().Log(4, "MM_SR3(ZARN_ERR_CAPTURE_PALMMOVING)");
            }
        }
        zarn::g_sr3Previous = frame;
    }
    const int result = Map(SR3(count == 0 ? 1 : 0, height, width, frame, state));
    return Exit("MM_SR3", result);
}

int MM_mmRollStitch(unsigned char* frame, int* frameCounter, unsigned char* rolledImage, unsigned char* auxiliaryOutput) {
    Guard g(zarn::MosaicLock());
    return Map(mmRollStitch(frame, frameCounter, rolledImage, auxiliaryOutput));
}
int MM_mmRollFingerQualityCheck(unsigned char* rolledImage, int width, int height) {
    Guard g(zarn::MosaicLock());
    return Map(mmRollFingerQualityCheck(rolledImage, width, height));
}
int MM_mmGetFingerProperty(unsigned char* image, int width, int height, mm_finger_property* property) {
    Guard g(zarn::MosaicLock());
    return Map(mmGetFingerProperty(image, width, height, property));
}
int MM_mmGetSlidingMask(unsigned char* output, int width, int height) {
    Guard g(zarn::MosaicLock());
    return Map(mmGetSlidingMask(output, width, height));
}
int MM_mmRollStitchRelease() { Guard g(zarn::MosaicLock()); return Map(mmRollStitchRelease()); }
int MM_mmRollStitchCreate(int width, int height, int resolution, int resolution2, int disabled) {
    Guard g(zarn::MosaicLock());
    return Map(mmRollStitchCreate(width, height, resolution, resolution2, disabled));
}

DistortionCorrectionHandle* MM_TDistortionCorrectInit() { Guard g(zarn::MosaicLock()); return TDistortionCorrectInit(); }
int MM_TDistortionCorrectEx(DistortionCorrectionHandle* handle, unsigned char* image, DistortionCorrectionRecord* record) {
    Guard g(zarn::MosaicLock());
    return TDistortionCorrectEx(handle, image, record);
}
int MM_TDistortionCorrectRows(DistortionCorrectionHandle* handle, unsigned char* image,
                              DistortionCorrectionRecord* record) {
    Guard g(zarn::MosaicLock());
    if (handle == nullptr || image == nullptr || record == nullptr) return TDistortionCorrectEx(handle, image, record);
    DistortionCorrectionRecord copy = *record;
    copy.OutputHeight = 0;
    copy.OutputWidth = 0;
    // Whatever the row-range form refuses goes the whole-image way, with its own result.
    if (TDistortionCorrectInitMt(handle, &copy) != 0) return TDistortionCorrectEx(handle, image, record);
    // The passes touch only the image and the handle's buffer: the bands run without the lock,
    // which this thread holds for them.
    std::atomic<int> failed{0};
    auto pass = [&](int rows, auto step) {
        zarn::ForRowBands(rows, 512, "KeystoneRows", [&](int first, int end) {
            const int r = step(handle, image, first, end, &copy);
            if (r != 0) failed.store(r);
        });
    };
    pass(copy.Height, TDistortionCorrectStep1Mt);
    if (failed.load() == 0) pass(copy.OutputHeight, TDistortionCorrectStep2Mt);
    record->OutputHeight = copy.OutputHeight;
    record->OutputWidth = copy.OutputWidth;
    return failed.load();
}
void MM_TDistortionCorrectRelease(DistortionCorrectionHandle** handle) {
    Guard g(zarn::MosaicLock());
    TDistortionCorrectRelease(handle);
}
int MM_InitializeRectangleBlockInfo(int height, int width, int blockWidth, int blockHeight, RectangleBlockInfoType* info) {
    Guard g(zarn::MosaicLock());
    return Map(InitializeRectangleBlockInfo(height, width, blockWidth, blockHeight, info));
}
void MM_InitializeErrorMessage() {
    Guard g(zarn::MosaicLock());
    InitializeErrorMessage();
}

int MM_FinchReduce(unsigned char*, int, int, int, int, unsigned char**, int*, int*) { return 0; }
int MM_FinchResolution(unsigned char**, int*, int*, unsigned char*, int, int, int, int, int, int) { return 0; }
void MM_FinchBackground(unsigned char*, unsigned char*, int, int) {}
int MM_FinchWarp(unsigned char*, int, int, double, double, unsigned char**, int*, int*) { return 0; }
