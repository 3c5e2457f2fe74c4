#include "ZarnScannerPloverC.h"

#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "zarn/ZarnTraceLogger.h"

#include "ModelFactory.h"
#include "ModelCommon.h"
#include "SensorFrames.h"

namespace {

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int ModeSlot(int videoMode) {
    switch (videoMode) {
        case TK_VIDEO_FULL: return 0;
        case TK_VIDEO_ROLL: return 1;
        case TK_VIDEO_PREV: return 2;
        default: return -1;
    }
}

// Active-low LED masks by image type: bits 0..4 right thumb .. right little, bits 8..12 left
// thumb .. left little, the other bits the LEDs of the hand types.
constexpr int kLedMasks[33] = {
    0xFFFE, 0xFFFF, 0xFFE1, 0xE1FF, 0xFEFE, 0xFFFE, 0xFEFF,          // 0..6
    0xFF20, 0xFFDF, 0xFF3F, 0xFFA0, 0x20FF, 0xDFFF, 0x3FFF, 0xA0FF,  // 7..14 (hands)
    0xFFFD, 0xFFFB, 0xFFF7, 0xFFEF, 0xFDFF, 0xFBFF, 0xF7FF, 0xEFFF,  // 15..22 (rolled fingers)
    0xFFFE, 0xFFFD, 0xFFFB, 0xFFF7, 0xFFEF, 0xFEFF, 0xFDFF, 0xFBFF, 0xF7FF, 0xEFFF,  // 23..32
};
constexpr int kAllLedsOff = 0xFFFF;

}  // namespace

ZARN_MODEL_CREATOR(ZarnScannerPloverC)
ZARN_MODEL_CREATOR(ZarnScannerPloverD)

ZarnScannerPloverC::ClassState& ZarnScannerPloverC::PloverCState() {
    static ClassState state;
    return state;
}
ZarnScannerPloverC::ClassState& ZarnScannerPloverC::PloverDState() {
    static ClassState state;
    return state;
}

void ZarnScannerPloverC::Release(ClassState& state) {
    std::lock_guard lock(state.lock);
    for (void*& list : state.defectLines)
        if (list != nullptr) LiveScanAlg::DestroyDefectLine(&list);
}

void ZarnScannerPloverC::ReleaseDefectLines() { Release(PloverCState()); }
void ZarnScannerPloverD::ReleaseDefectLines() { Release(PloverDState()); }
void* ZarnScannerPloverC::DefectLineList(int videoMode) {
    const int slot = ModeSlot(videoMode);
    std::lock_guard lock(PloverCState().lock);
    return slot < 0 ? nullptr : PloverCState().defectLines[slot];
}
void* ZarnScannerPloverD::DefectLineList(int videoMode) {
    const int slot = ModeSlot(videoMode);
    std::lock_guard lock(PloverDState().lock);
    return slot < 0 ? nullptr : PloverDState().defectLines[slot];
}

ZarnScannerPloverC::ZarnScannerPloverC()
    : ZarnScannerPloverC("Tessik PloverC", Variant{"ZarnScannerPloverC", false, false}, PloverCState()) {}

ZarnScannerPloverC::ZarnScannerPloverC(const char* name, const Variant& variant, ClassState& state)
    : variant_(variant), state_(state) {
    using zarnmodel::SetGeometry;
    m_nScannerType = 601;
    SetScannerName(name);
    SetUsbPidText("pid_2170");
    SetGeometry(m_FullFrame, 2912, 4512, 600, 850);
    SetGeometry(m_FullImage, 4512, 2912, 850, 600);
    SetGeometry(m_FlatResult, 2552, 2500, 500, 500);
    SetGeometry(m_RollFrame, 832, 1552, 850, 600);
    SetGeometry(m_RollImage, 1552, 832, 850, 600);
    SetGeometry(m_RollOutput, 800, 750, 500, 500);
    SetGeometry(m_PreviewFrame, 1456, 1504, 300, 280);
    SetGeometry(m_PreviewModeImage, 1504, 1456, 280, 300);
    SetGeometry(m_PreviewModeResult, 1276, 1250, 250, 250);
    SetGeometry(m_PreviewImage, 1504, 1456, 280, 300);
    SetGeometry(m_PreviewResult, 1276, 1250, 250, 250);
    for (int* camera : {m_nCameraFull, m_nCameraRoll, m_nCameraPreview}) camera[0] = 80, camera[1] = 0, camera[2] = 40;
    m_nMeanThreshold[0] = m_nMeanThreshold[1] = 220;
    m_nExposureMin = 0, m_nExposureMax = 255;
    m_nExposureStep[0] = 1, m_nExposureStep[1] = 2;
    previewStep_ = 1;
    for (int i : {0, 1, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}) m_bPropSupported[i] = true;
    m_FullSet = {{863, 838, 627, 320, 500, 497}};
    m_RollSet = m_FullSet;
    m_FlatSet = {{287, 279, 314, 161, 251, 249}};
    m_nPlatenCheck = 1;
    m_nCropFlag = 1;
    m_nStretchPercent = 1;
    m_nResultTransform = m_nRollOutTransform = m_nFlatPreviewTransform = m_nRollPreviewTransform = 0;
    m_nFrameReadyCount = 1;
    m_nAutoCaptureThreshold = m_PreviewResult.xResolution;
}

ZarnScannerPloverC::~ZarnScannerPloverC() { Release(state_); }

ZarnScannerPloverD::ZarnScannerPloverD()
    : ZarnScannerPloverC("Tessik PloverD", Variant{"ZarnScannerPloverD", true, true}, PloverDState()) {}

int ZarnScannerPloverC::RotateImage(uint8_t* image, int w, int h) { return quarterTurn_(image, w, h); }

int ZarnScannerPloverD::RotateImage(uint8_t* image, int w, int h) {
    // Output row c, column r = input row r, column c.
    return sensorframes::Transpose(image, w, h);
}

void ZarnScannerPloverC::WhitenCorners(uint8_t* frame, int mode, int w, int h) const {
    auto whiten = [&](int row, int count) {
        if (row >= 0 && row < h && count > 0) std::memset(frame + size_t(row) * size_t(w), 255, size_t(std::min(count, w)));
    };
    switch (mode) {
        case TK_VIDEO_FULL:
            for (int i = 0; i < 255; ++i) whiten(i, 2912 - 11 * i);
            for (int i = 0; i < 255; ++i) whiten(h - 256 + i, 11 * i);
            break;
        case TK_VIDEO_PREV:
            for (int i = 0; i < 92; ++i) whiten(i, 971 - 10 * i);
            for (int i = 0; i < 92; ++i) whiten(h - 93 + i, 10 * i);
            break;
        default:  // TK_VIDEO_ROLL
            for (int i = 0; i <= 216; ++i) whiten(i, 832);
            for (int i = 216; i <= 234; ++i) whiten(i, 832 - 12 * (i - 216));
            break;
    }
}

int ZarnScannerPloverC::FilterStream(uint8_t* buffer, long* length) {
    const int mode = m_nVideoMode.load();
    const int slot = ModeSlot(mode);
    if (slot < 0) return ZARN_ERR_BAD_ARGUMENT;
    const FrameGeometry& raw = mode == TK_VIDEO_FULL ? m_FullFrame : mode == TK_VIDEO_ROLL ? m_RollFrame : m_PreviewFrame;
    const int w = raw.width, h = raw.height;
    if (*length < long(w) * h) return ZARN_ERR_BAD_ARGUMENT;

    // 1. Defective sensor lines: found in each frame (the mode's list is made by its first frame)
    // and repaired by interpolation.
    {
        std::lock_guard lock(state_.lock);
        void*& list = state_.defectLines[slot];
        MM_ScanDefectedLines1(buffer, h, w, &list);
        if (variant_.contraRotate && mode == TK_VIDEO_FULL) {
            std::lock_guard mosaic(zarn::MosaicLock());
            LiveScanAlg::AmendDefectedLines1(buffer, h, w, list);
        } else {
            MM_AmendDefectedLines1(buffer, h, w, list);
        }
    }
    // 2. The unlit corners of the optics.
    WhitenCorners(buffer, mode, w, h);
    // 3. Upright: the image is h wide and w high.
    int result = 0;
    if (variant_.contraRotate) {
        ContraRotate90(buffer, w, h);
    } else {
        result = RotateImage(buffer, w, h);
    }
    // 4. The band the optics leave at the bottom.
    for (int r = w - 26; r < w - 1; ++r) std::memset(buffer + size_t(r) * size_t(h), 255, size_t(h));
    // 5. Preview frames are shifted into place.
    if (mode == TK_VIDEO_PREV) {
        if (variant_.contraRotate) {
            for (int r = 0; r < w; ++r) {
                uint8_t* row = buffer + size_t(r) * size_t(h);
                std::memmove(row, row + 10, size_t(h - 10));
                std::memset(row + h - 10, 255, 10);
            }
        } else {
            // 12 rows down and 10 columns right, from the last row and column backwards so that
            // every source is read before it is overwritten; columns 0..9 keep their values.
            for (int r = w - 1; r >= 12; --r) {
                uint8_t* dst = buffer + size_t(r) * size_t(h);
                const uint8_t* src = buffer + size_t(r - 12) * size_t(h);
                for (int c = h - 1; c >= 10; --c) dst[c] = src[c - 10];
            }
            std::memset(buffer, 255, size_t(13) * size_t(h));
            if (!m_nCalibrating.load() && !m_nFullResult.load()) {
                PreviewScaleImage(m_PreviewModeImage.width, m_PreviewModeImage.height, buffer, m_PreviewImage.width,
                                  m_PreviewImage.height, buffer);
                *length = long(m_PreviewImage.width) * m_PreviewImage.height;
            }
        }
    }
    return variant_.contraRotate ? 0 : result;
}

int ZarnScannerPloverC::GetImageTypeInfo(int type, ZarnImageInfo* info, int half) {
    *info = ZarnImageInfo{};
    auto fill = [&](int w, int h, int xr, int yr, double value) {
        info->width = w, info->height = h;
        info->xResolution = xr, info->yResolution = yr;
        info->typeValue = value;
        return 0;
    };
    if (IsRollImageType(type))
        return fill(m_RollOutput.width, m_RollOutput.height, m_RollOutput.xResolution, m_RollOutput.yResolution, 10.0);
    if (IsSingleFlatImageType(type)) {
        if (half)
            return fill(m_PreviewResult.width / 2, m_PreviewResult.height / 2, m_PreviewResult.xResolution / 2,
                        m_PreviewResult.yResolution / 2, 3.0);
        return fill(m_FlatResult.width / 2, m_FlatResult.height / 2, m_FlatResult.xResolution, m_FlatResult.yResolution,
                    3.0);
    }
    if (IsSlapImageType(type) || IsThumbsImageType(type) || IsHandImageType(type)) {
        const FrameGeometry& g = half ? m_PreviewResult : m_FlatResult;
        return fill(g.width, g.height, g.xResolution, g.yResolution, 3.0);
    }
    return ZARN_ERR_NOT_SUPPORTED;
}

int ZarnScannerPloverC::FillDeviceInfo(ZarnDeviceInfo* info) {
    sensorframes::FillDatedDeviceInfo(info, m_szDeviceText, "PloverC");
    return 0;
}

int ZarnScannerPloverC::LedMaskOf(int imageType) {
    return imageType >= 0 && imageType <= 32 ? kLedMasks[imageType] : kAllLedsOff;
}

int ZarnScannerPloverC::BlinkLEDs() {
    if (state_.blinkPhase.exchange(0) != 0) {
        SetLEDs(kAllLedsOff);
    } else {
        SetLEDs(LedMaskOf(m_nImageType.load()));
        state_.blinkPhase = 1;
    }
    return 0;
}

int ZarnScannerPloverC::SetAutoCaptureDefaults() {
    m_AutoCapture = {m_PreviewResult.xResolution, 230, 1.0, 11, 3, 10, 10, 15, 3000};
    return 0;
}

int ZarnScannerPloverC::SetLEDs(int mask) {
    // Bank 0 takes the low byte, bank 1 the high byte.
    SetActiveLEDs(0, mask & 0xFF);
    SetActiveLEDs(1, (mask >> 8) & 0xFF);
    return 0;
}

int ZarnScannerPloverC::GetLEDs(int* mask) {
    if (mask != nullptr) *mask = 0;
    return 0;
}

int ZarnScannerPloverC::GetFullModeResultImage() {
    ZarnTrace().Log(3, "Enter %s::GetFullModeResultImage()", variant_.className);
    auto finish = [&](int result) {
        ZarnTrace().Log(result == 0 ? 3 : 0, "Exit  %s::GetFullModeResultImage()=%d", variant_.className, result);
        return result;
    };
    if (variant_.stopBeforeResult) {
        const int stopped = StopStream();
        if (stopped != 0) return finish(stopped);
        SleepMs(100);
    }
    int result = ChageVideoMode(TK_VIDEO_FULL, 0);
    if (result != 0) {
        m_nFullModeCapture = 0;
        return finish(result);
    }
    SetVideoProp(kPropFrameSizeMode, 0);
    m_Running.resultTaken = 1;
    m_nFullResult = 1;
    m_nFullModeCapture = 1;
    m_nVideoMode = TK_VIDEO_FULL;
    result = StartStream();
    if (result == 0) result = RefreshFrameEnhance();
    if (result != 0) {
        m_nFullResult = 0;
        m_nFullModeCapture = 0;
        return finish(result);
    }
    // The frame the result is built from stays as it is until the next frame request.
    m_nSavedRawFrozen = 1;
    MakeImageData(0);
    m_nFullModeCapture = 0;
    return finish(0);
}

// One calibration pass in the current video mode (FULL, PREV or ROLL): camera settings, the
// exposure, three fresh frames and the mode's standard background; then on to the next mode.
int ZarnScannerPloverC::CalibrationPassPloverC(int mode, int withExposure) {
    const bool full = mode == TK_VIDEO_FULL, roll = mode == TK_VIDEO_ROLL;
    SetVideoProp(kPropBrightness, m_nCameraFull[0]);
    SetVideoProp(kPropContrast, m_nCameraFull[1]);
    if (!full) SetVideoProp(kPropExposure, m_nCameraFull[2]);
    m_nImageType = roll ? 0 : 2;
    ZarnTrace().LogText(3, full ? "Enter TK_VIDEO_FULL Mode" : roll ? "Enter TK_VIDEO_ROLL Mode" : "Enter TK_VIDEO_PREV Mode");
    GetVideoNoProc(kPropExposure);
    int result = RefreshFrameEnhance();
    if (result != 0) return result;
    MM_SetMeanThreshold(float(m_nMeanThreshold[roll ? 1 : 0]));
    MakeImageData(0);
    const FrameGeometry& g = full ? m_FullImage : roll ? m_RollImage : m_PreviewImage;
    const size_t bytes = size_t(g.width) * size_t(g.height);
    int exposure = m_nPropValue[kPropExposure];
    if (withExposure != 0) {
        const int step = full ? m_nExposureStep[0] : roll ? m_nExposureStep[1] : previewStep_;
        if (SearchExposure(m_pCalibImage, step, &exposure) != 0) return ZARN_ERR_CALIBRATION;
    } else {
        std::memcpy(m_pCalibImage, m_pSavedRaw, bytes);
    }
    ZarnTrace().Log(3, "Current Exposure Value is : %d", exposure);
    for (int i = 0; i < 3; ++i)
        if ((result = RefreshFrameEnhance()) != 0) return result;
    std::memcpy(m_pCalibImage, m_pSavedRaw, bytes);
    if (full) {
        m_nCameraFull[0] = m_nCameraFull[2] = exposure;
        m_nFullExposure = exposure;
        std::memcpy(m_pFullBackground, m_pCalibImage, bytes);
        ZarnTrace().SaveDebugBitmap(1, 0, "InitStandardFullBackground", m_pFullBackground, g.width, g.height);
        return EnterVideoMode(TK_VIDEO_PREV, 2);
    }
    if (!roll) {
        m_nCameraPreview[0] = m_nCameraPreview[2] = m_nCameraFull[0];
        PreviewScaleImage(g.width, g.height, m_pCalibImage, m_PreviewImage.width, m_PreviewImage.height,
                          m_pPreviewBackground);
        std::memcpy(m_pPreviewBackgroundHeld, m_pPreviewBackground, size_t(m_PreviewImage.bytes));
        ZarnTrace().SaveDebugBitmap(1, 0, "InitStandardPreBackground", m_pPreviewBackground, m_PreviewImage.width,
                                    m_PreviewImage.height);
        return EnterVideoMode(TK_VIDEO_ROLL, 0);
    }
    m_nCameraRoll[0] = m_nCameraRoll[2] = m_nCameraFull[0];
    m_nRollExposure = m_nCameraFull[0];
    std::memcpy(m_pRollBackground, m_pCalibImage, bytes);
    ZarnTrace().SaveDebugBitmap(1, 0, "InitStandardRollBackground", m_pRollBackground, g.width, g.height);
    return EnterVideoMode(TK_VIDEO_FULL, 2);
}

int ZarnScannerPloverC::SetCalibration(int withExposure) {
    ZarnTrace().Log(2, "Enter %s::SetCalibration(%d)", variant_.className, withExposure);
    m_nCalibrating = 1;
    MM_SetVarThreshold(float(m_RollParams.p7));
    MM_SetSaturetionThreshold(1.0f);
    int result = EnterVideoMode(TK_VIDEO_FULL, 2);
    if (result == 0) result = StartStream();
    for (int mode : {TK_VIDEO_FULL, TK_VIDEO_PREV, TK_VIDEO_ROLL})
        if (result == 0) result = CalibrationPassPloverC(mode, withExposure);
    m_nStreamRunning = 0;
    EndCalibration(result);
    ZarnTrace().Log(result == 0 ? 2 : 0, "Exit  %s::SetCalibration()=%d", variant_.className, result);
    return result;
}
