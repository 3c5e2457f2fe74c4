// The FireWire ten-print scanners KestrelB, KestrelC and KestrelD (type 602): decode of the three
// video modes, calibration, and the full-resolution result from four tagged full frames.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <utility>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "zarn/ZarnTraceLogger.h"

#include "Detailer.h"
#include "RowBands.h"
#include "ModelFactory.h"
#include "models/ModelCommon.h"
#include "models/ZarnScannerKestrel.h"

ZARN_MODEL_CREATOR(ZarnScannerKestrelB)
ZARN_MODEL_CREATOR(ZarnScannerKestrelC)
ZARN_MODEL_CREATOR(ZarnScannerKestrelD)

namespace {
void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
unsigned Low(const void* p) { return unsigned(reinterpret_cast<uintptr_t>(p)); }

constexpr int kFirstPartTag = 129;
constexpr int kTagByte = 5;
constexpr int kAllParts = 15;
// Cell (row, column) of part n within a 2 x 2 block of the interleaved grid.
constexpr int kGridOffset[4][2] = {{1, 0}, {0, 0}, {0, 1}, {1, 1}};
}  // namespace

ZarnScannerKestrelFamily::ZarnScannerKestrelFamily(Variant variant, const char* name, const char* className)
    : variant_(variant), className_(className) {
    using zarnmodel::SetGeometry;
    m_nScannerType = 602;
    SetScannerName(name);
    SetUsbPidText(name);
    SetGeometry(m_FullFrame, 2912, 4512, 600, 850);
    SetGeometry(m_FullImage, 4512, 2912, 850, 600);
    SetGeometry(m_FlatResult, 2552, 2500, 500, 500);
    SetGeometry(m_RollFrame, 2144, 1536, 1200, 1200);
    m_RollImage = m_RollFrame;
    SetGeometry(m_RollOutput, 1600, 1500, 1000, 1000);
    SetGeometry(m_PreviewFrame, 1456, 1504, 300, 280);
    SetGeometry(m_PreviewImage, 1504, 1456, 280, 300);
    SetGeometry(m_PreviewResult, 1276, 1250, 250, 250);
    m_nCameraFull[0] = 80, m_nCameraFull[1] = 0, m_nCameraFull[2] = 40;
    m_nCameraRoll[0] = 170, m_nCameraRoll[1] = 0, m_nCameraRoll[2] = 40;
    m_nCameraPreview[0] = 80, m_nCameraPreview[1] = 0, m_nCameraPreview[2] = 40;
    m_FullSet = {{1664, 1618, 1160, 2450, 1008, 1008}};
    m_RollSet = {{1496, 1350, 930, 0, 750, 800}};
    m_FlatSet = {{287, 279, 314, 161, 251, 249}};
    SetTenPrintExposureDefaults(*this, 255.0f);
    m_RollParams = {100, 1, 25000, 0.115f, 34, -200, 255};
    m_nCropFlag = 1, m_nStretchPercent = 100;
    m_nResultTransform = 0, m_nRollOutTransform = 1, m_nFlatPreviewTransform = 0, m_nRollPreviewTransform = 2;
}

ZarnScannerKestrelFamily::~ZarnScannerKestrelFamily() {
    DestroyDefectLines(m_pDefectLines);
    SR3Release(&m_pStitched);
}

// ---- masks and orientation ---------------------------------------------------------------------

void ZarnScannerKestrelFamily::MaskFullCorners(uint8_t* image) const {
    const int w = m_FullFrame.width, h = m_FullFrame.height;
    for (int r = 0; r < 255; ++r) {
        std::memset(image + size_t(r) * w, 255, size_t(std::max(0, w - 11 * r)));
        std::memset(image + size_t(h - 256 + r) * w, 255, size_t(std::min(w, 11 * r)));
    }
}

void ZarnScannerKestrelFamily::MaskPreviewCorners(uint8_t* image) const {
    const int w = m_PreviewFrame.width, h = m_PreviewFrame.height;
    for (int r = 0; r < 92; ++r) {
        std::memset(image + size_t(r) * w, 255, size_t(std::max(0, 971 - 10 * r)));
        std::memset(image + size_t(h - 93 + r) * w, 255, size_t(std::min(w, 10 * r)));
    }
}

void ZarnScannerKestrelFamily::MaskRollCorners(uint8_t* image) const {
    const int w = m_RollFrame.width;
    for (int r = 0; r < 217; ++r) std::memset(image + size_t(r) * w, 255, 832);
    for (int r = 0; r < 19; ++r) std::memset(image + size_t(216 + r) * w, 255, size_t(832 - 12 * r));
}

int ZarnScannerKestrelFamily::RotateImage(uint8_t* image, int W, int H) {
    const size_t n = size_t(W) * size_t(H);
    uint8_t* temp = new (std::nothrow) uint8_t[n];
    if (temp == nullptr) return ZARN_ERR_MEM_ALLOC;
    std::memcpy(temp, image, n);
    // Output row r, column c (H wide, W high): KestrelB takes input row H-1-c, column W-1-r;
    // KestrelC and KestrelD input row c, column W-1-r. In tiles, for the cache.
    const bool b = variant_ == Variant::B;
    constexpr int kTile = 64;
    for (int r0 = 0; r0 < W; r0 += kTile)
        for (int c0 = 0; c0 < H; c0 += kTile) {
            const int r1 = std::min(W, r0 + kTile), c1 = std::min(H, c0 + kTile);
            for (int r = r0; r < r1; ++r) {
                uint8_t* out = image + size_t(r) * H;
                const uint8_t* column = temp + (W - 1 - r);
                if (b) {
                    for (int c = c0; c < c1; ++c) out[c] = column[size_t(H - 1 - c) * W];
                } else {
                    for (int c = c0; c < c1; ++c) out[c] = column[size_t(c) * W];
                }
            }
        }
    delete[] temp;
    return 0;
}

// ---- frame decode --------------------------------------------------------------------------------

int ZarnScannerKestrelFamily::FilterStream(uint8_t* buffer, long* length) {
    const int mode = m_nVideoMode.load();
    if (mode == TK_VIDEO_ROLL) return variant_ == Variant::C ? ZARN_ERR_BAD_ARGUMENT : 0;
    if (mode != TK_VIDEO_FULL && mode != TK_VIDEO_PREV) return ZARN_ERR_BAD_ARGUMENT;
    const bool full = mode == TK_VIDEO_FULL;
    const FrameGeometry& g = full ? m_FullFrame : m_PreviewFrame;
    if (buffer == nullptr || length == nullptr || *length < long(g.bytes)) {
        ZarnTrace().Log(4, "%s::FilterStream() short frame %ld of %d bytes", className_, length ? *length : 0L, g.bytes);
        return ZARN_ERR_BAD_ARGUMENT;
    }
    int part = -1;
    if (full) {
        int tag = buffer[kTagByte];
        if (variant_ != Variant::B) {
            // KestrelC and KestrelD count 129/130 and 131/132 the other way round.
            if (tag < kFirstPartTag || tag > kFirstPartTag + 3) {
                ZarnTrace().Log(4, "%s::FilterStream() part number %d out of range", className_, tag);
                return ZARN_ERR_BAD_ARGUMENT;
            }
            tag = kFirstPartTag + ((tag - kFirstPartTag) ^ 1);
        }
        m_nLastTag = tag;
        if (tag >= kFirstPartTag && tag <= kFirstPartTag + 3) part = tag - kFirstPartTag;
    }
    void*& list = m_pDefectLines[full ? 0 : 1];
    if (list == nullptr) MM_ScanDefectedLines1(buffer, g.height, g.width, &list);
    MM_AmendDefectedLines1(buffer, g.height, g.width, list);
    if (full)
        MaskFullCorners(buffer);
    else
        MaskPreviewCorners(buffer);
    if (!(full && variant_ == Variant::D)) {
        const int r = RotateImage(buffer, g.width, g.height);
        if (r != 0) return r;
        // Rotated: g.height wide, g.width high.
        if (variant_ != Variant::D) std::memset(buffer + size_t(g.width - 26) * g.height, 255, size_t(25) * g.height);
        if (!full) {
            for (int r2 = 0; r2 < g.width; ++r2) {
                uint8_t* row = buffer + size_t(r2) * g.height;
                std::memmove(row + 10, row, size_t(g.height - 10));
                std::memset(row, 255, 10);
            }
        }
    }
    if (full && part >= 0 && m_nCollectState.load() == 1) {
        const int mask = m_nPartsMask.load();
        if ((mask & (1 << part)) == 0) {
            uint8_t* quarter = m_pQuad[part];
            if (quarter != nullptr) {
                std::memcpy(quarter, buffer, size_t(g.bytes));
                if (variant_ != Variant::D) quarter[kTagByte] = uint8_t(kFirstPartTag + part);
                const int now = mask | (1 << part);
                m_nLastPart = part;
                if (now == kAllParts) {
                    m_nPartsMask = 0;
                    m_nCollectState = 2;
                    m_nLastPart = -1;
                } else {
                    m_nPartsMask = now;
                }
            }
        } else {
            ZarnTrace().Log(4, "%s::FilterStream() part %d repeated", className_, part);
        }
    }
    return 0;
}

// ---- geometry, device record, LEDs ---------------------------------------------------------------

int ZarnScannerKestrelFamily::GetImageTypeInfo(int type, ZarnImageInfo* info, int half) {
    if (info == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    auto fill = [&](int w, int h, int ppi, double value) {
        info->width = w, info->height = h, info->xResolution = info->yResolution = ppi, info->typeValue = value;
        return 0;
    };
    if (IsRollImageType(type))
        return variant_ == Variant::C ? ZARN_ERR_NOT_SUPPORTED : fill(m_RollOutput.width, m_RollOutput.height, 1000, 10.0);
    if (IsSingleFlatImageType(type))
        return half ? fill(m_PreviewResult.width / 2, m_PreviewResult.height / 2, 125, 3.0)
                    : fill(m_FlatResult.width, m_FlatResult.height, 1000, 3.0);
    if (IsSlapImageType(type) || IsThumbsImageType(type) || IsHandImageType(type))
        return half ? fill(m_PreviewResult.width, m_PreviewResult.height, 250, 3.0)
                    : fill(2 * m_FlatResult.width, 2 * m_FlatResult.height, 1000, 3.0);
    return ZARN_ERR_NOT_SUPPORTED;
}

int ZarnScannerKestrelFamily::FillDeviceInfo(ZarnDeviceInfo* info) {
    if (info == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    static constexpr int kFallback[3] = {2009, 8, 30};
    FillTenPrintDeviceInfo(m_szDeviceText, info, "KestrelB", 22, kFallback);
    std::snprintf(info->firmware, sizeof info->firmware, "%x%x", unsigned(uint8_t(m_szDeviceText[14])),
                  unsigned(uint8_t(m_szDeviceText[12])));
    return 0;
}

int ZarnScannerKestrelFamily::BlinkLEDs() { return BlinkTenPrintLEDs(*this, m_nBlinkPhase); }
int ZarnScannerKestrelFamily::SetLEDs(int mask) { return SetTenPrintLEDs(*this, mask); }
int ZarnScannerKestrelFamily::GetLEDs(int* mask) {
    if (mask) *mask = 0;
    return 0;
}

int ZarnScannerKestrelFamily::SetAutoCaptureDefaults() {
    m_AutoCapture = {250, 230, 1.0, 11, 3, 10, 10, 15, 3000};
    return 0;
}

// ---- results ---------------------------------------------------------------------------------------

int ZarnScannerKestrelFamily::ProcessingAfterAcquired() {
    ZarnTrace().Log(4, "Enter %s::ProcessingAfterAcquired()", className_);
    int result = 0;
    if (!IsRollImageType(m_nImageType.load())) {
        result = ChageVideoMode(TK_VIDEO_PREV, 0);
        if (result == 0) {
            SetVideoProp(kPropFrameSizeMode, 2);
            m_nVideoMode = TK_VIDEO_PREV;
            result = StopStream();
        }
    }
    ZarnTrace().Log(4, "Exit  %s::ProcessingAfterAcquired()=%d", className_, result);
    return result;
}

int ZarnScannerKestrelFamily::CombinePart(int index) {
    const int r = MM_SR3(m_nStitchCount, m_FullImage.height, m_FullImage.width, m_pQuad[index], &m_pStitched);
    ++m_nStitchCount;
    return r;
}

// Waits for the four parts, combining each as it arrives (when `combine`). 0 once all four are
// there, -602 after `rounds` rounds of at most 100 ms, or the first combining failure.
int ZarnScannerKestrelFamily::CollectParts(int rounds, bool combine) {
    m_nPartsMask = 0;
    m_nLastPart = -1;
    m_nCollectedMask = 0;
    m_nStitchCount = 0;
    m_nCollectState = 1;
    for (int round = 0; round < rounds; ++round) {
        if (m_nCollectState.load() == 2) return 0;
        const int last = m_nLastPart.load();
        if (combine && last >= 0 && last <= 3 && (m_nCollectedMask.load() & (1 << last)) == 0) {
            m_nCollectedMask |= 1 << last;
            const int r = CombinePart(last);
            if (r != 0) return r;
            continue;
        }
        SleepMs(100);
    }
    return m_nCollectState.load() == 2 ? 0 : ZARN_ERR_CAMERA_STEP;
}

int ZarnScannerKestrelFamily::CaptureParts() {
    int result = ChageVideoMode(TK_VIDEO_FULL, 0);
    if (result == 0) {
        SetVideoProp(kPropFrameSizeMode, 0);
        m_nFullResult = 1;
        m_nFullModeCapture = 1;
        m_nVideoMode = TK_VIDEO_FULL;
        // A stream that does not start brings no parts: that ends the capture at once.
        result = StartStream();
        if (result != 0) m_nFullResult = 0;
    }
    if (result == 0) {
        result = CollectParts(kResultRounds, true);
        // Nothing more goes into the quarters once the collection ended, however it ended.
        m_nCollectState = 0;
        if (result == 0) result = StopStream();
    }
    if (result != 0) m_nFullModeCapture = 0;
    return result;
}

int ZarnScannerKestrelFamily::GetFullModeResultImage() {
    const int level = variant_ == Variant::C ? 2 : 3;
    ZarnTrace().Log(level, "Enter %s::GetFullModeResultImage()", className_);
    m_nCollectedMask = 0;
    m_nStitchCount = 0;
    SR3Release(&m_pStitched);
    const int result = CaptureParts();
    ZarnTrace().Log(result == 0 ? level : (variant_ == Variant::C ? 0 : 5), "Exit  %s::GetFullModeResultImage()=%d",
                    className_, result);
    return result;
}

int ZarnScannerKestrelFamily::GetFullModeResultImage_Step2() {
    int result = 0;
    for (int index = 0; index < 4; ++index) {
        if (m_nCollectedMask.load() & (1 << index)) continue;
        m_nCollectedMask |= 1 << index;
        const int r = CombinePart(index);
        result = variant_ == Variant::C ? (result | r) : r;
    }
    const size_t capacity = 4 * size_t(m_FullFrame.bytes);
    if (m_pStitched != nullptr && m_pStitched->pixels != nullptr &&
        size_t(m_pStitched->width) * size_t(m_pStitched->height) <= capacity)
        std::memcpy(m_pQuadBlock, m_pStitched->pixels, size_t(m_pStitched->width) * size_t(m_pStitched->height));
    else if (result == 0)
        result = ZARN_ERR_CAMERA_STEP;  // nothing was combined
    MakeImageData(0);
    m_nFullModeCapture = 0;
    if (variant_ != Variant::C)
        ZarnTrace().Log(result != 0 ? 5 : 3, "Exit  %s::GetFullModeResultImage_Step2()=%d", className_, result);
    return result;
}

// Stretch, keystone correction to 5104 x 5000, the single-finger window, flip: shared by the
// family; `work` holds the assembled 9024 x 5824 image, `target` receives the result.
static int FinishFlatResult(ZarnScannerKestrelFamily& s, uint8_t* work, uint8_t* target, const char* className) {
    const int W = 2 * s.m_FullImage.width, H = 2 * s.m_FullImage.height;
    MM_PhotoShopCalibrateForeground(H, W, work, s.m_nStretchPercent);
    const int result = s.ImgTrapezoidConvert(work, H, W, target, 2 * s.m_FlatResult.height, 2 * s.m_FlatResult.width, 0, 1);
    if (s.m_nCropFlag == 1 && IsSingleFlatImageType(s.m_nImageType.load())) {
        int w = 0, h = 0;
        s.CropLowerCentre(target, 2 * s.m_FlatResult.width, 2 * s.m_FlatResult.height, work, &w, &h);
        std::memcpy(target, work, size_t(w) * size_t(h));
    }
    if (result == 0) {
        s.MakeImageData(0);
        s.ImageInfo.image = target;
        ZarnTrace().SaveDebugBitmap(1, 0, "Flat", target, s.ImageInfo.width, s.ImageInfo.height);
    }
    // The image is turned bottom row first; a failed transform leaves ImageInfo on the preview
    // buffer, which is only turned when the geometry fits it.
    const size_t capacity = s.ImageInfo.image == target ? 4 * size_t(s.m_FullFrame.bytes) : size_t(s.m_FullImage.bytes);
    if (s.ImageInfo.image != nullptr && size_t(s.ImageInfo.width) * size_t(s.ImageInfo.height) <= capacity)
        ImageUpToDown(s.ImageInfo.image, s.ImageInfo.width, s.ImageInfo.height);
    ZarnTrace().Log(3, "Exit  %s::FlatResultOutput()=%d", className, result);
    return result;
}

int ZarnScannerKestrelFamily::FlatResultOutput() {
    ZarnTrace().Log(3, "Enter %s::FlatResultOutput()", className_);
    uint8_t* work = nullptr;
    const long bytes = 4L * m_FullImage.bytes;
    if (ResultWorkImage(&work, bytes, "pWorkImage") != 0) return ZARN_ERR_MEM_ALLOC;
    std::memcpy(work, m_pQuadBlock, size_t(bytes));
    return FinishFlatResult(*this, work, m_pQuadBlock, className_);
}

int ZarnScannerKestrelFamily::RollingResultOutput() {
    if (variant_ == Variant::C) return ZarnScannerBase::RollingResultOutput();
    ZarnTrace().Log(3, "Enter %s::RollingResultOutput()", className_);
    const int w = m_RollImage.width, h = m_RollImage.height;
    ImageUpToDown(m_pLastRoll, w, h);
    MM_PhotoShopCalibrateForeground(h, w, m_pLastRoll, m_nStretchPercent);
    const int result = ResizeBilinear(m_pLastRoll, h, w, m_pFlatOutput, m_RollOutput.height, m_RollOutput.width);
    if (result == 0 && MakeImageData(0) == 0) {
        std::memcpy(ImageInfo.image, m_pFlatOutput, size_t(m_RollOutput.bytes));
        ZarnTrace().SaveDebugBitmap(1, 0, "Roll", ImageInfo.image, m_RollOutput.width, -m_RollOutput.height);
    }
    ZarnTrace().Log(3, "Exit  %s::RollingResultOutput()=%d", className_, result);
    return result;
}

// ---- calibration ---------------------------------------------------------------------------------

// One pass in the current video mode: exposure, then the standard background of the mode.
int ZarnScannerKestrelFamily::CalibrationPassF(int pass, int mode) {
    const FrameGeometry* g = &m_FullImage;
    int step = m_nExposureStep[0], threshold = m_nMeanThreshold[0], type = 2;
    if (pass == TK_VIDEO_FULL) {
        SetVideoProp(kPropBrightness, m_nCameraFull[0]);
        SetVideoProp(kPropContrast, m_nCameraFull[1]);
        GetVideoNoProc(kPropExposure);
        ZarnTrace().LogText(3, "Enter TK_VIDEO_FULL Mode");
    } else if (pass == TK_VIDEO_ROLL) {
        SetVideoProp(kPropBrightness, m_nCameraRoll[0]);
        SetVideoProp(kPropContrast, m_nCameraRoll[1]);
        GetVideoNoProc(kPropExposure);
        SetVideoProp(kPropExposure, m_nPropValue[kPropExposure]);
        g = &m_RollImage, step = m_nExposureStep[1], threshold = m_nMeanThreshold[1], type = 0;
        ZarnTrace().LogText(3, "Enter TK_VIDEO_ROLL Mode");
    } else {
        SetVideoProp(kPropBrightness, m_nCameraFull[0]);
        SetVideoProp(kPropContrast, m_nCameraFull[1]);
        SetVideoProp(kPropExposure, m_nCameraFull[2]);
        GetVideoNoProc(kPropExposure);
        g = &m_PreviewImage, step = m_nPreviewStep;
        ZarnTrace().LogText(3, "Enter TK_VIDEO_PREV Mode");
    }
    m_nImageType = type;
    int result = RefreshFrameEnhance();
    if (result != 0) return result;
    MM_SetMeanThreshold(float(threshold));
    MakeImageData(0);
    int exposure = m_nPropValue[kPropExposure];
    if (mode != 0 && SearchExposure(m_pCalibImage, step, &exposure) != 0) return ZARN_ERR_CALIBRATION;
    ZarnTrace().Log(3, "Current Exposure Value is : %d", exposure);
    for (int i = 0; i < 3; ++i)
        if ((result = RefreshFrameEnhance()) != 0) return result;
    const size_t bytes = size_t(g->width) * size_t(g->height);
    std::memcpy(m_pCalibImage, m_pSavedRaw, bytes);
    if (pass == TK_VIDEO_FULL) {
        m_nCameraFull[0] = m_nCameraFull[2] = exposure;
        m_nFullExposure = exposure;
        // The full background is a collected part, as the result is built from them.
        result = CollectParts(kCalibrationRounds, false);
        m_nCollectState = 0;
        if (result != 0) return result;
        std::memcpy(m_pFullBackground, m_pQuad[1], size_t(m_FullImage.bytes));
        ZarnTrace().SaveDebugBitmap(1, 0, "InitStandardFullBackground", m_pFullBackground, m_FullImage.width,
                                    m_FullImage.height);
        return EnterVideoMode(TK_VIDEO_PREV, 2);
    }
    if (pass == TK_VIDEO_PREV) {
        m_nCameraPreview[0] = m_nCameraPreview[2] = m_nCameraFull[0];
        std::memcpy(m_pPreviewBackground, m_pCalibImage, bytes);
        std::memcpy(m_pPreviewBackgroundHeld, m_pPreviewBackground, bytes);
        ZarnTrace().SaveDebugBitmap(1, 0, "InitStandardPreBackground", m_pPreviewBackground, g->width, g->height);
        if (variant_ != Variant::C) return EnterVideoMode(TK_VIDEO_ROLL, 0);
        // KestrelC has no roll mode: it passes through the full mode back to the preview.
        if ((result = ChageVideoMode(TK_VIDEO_FULL, 0)) != 0) return result;
        SetVideoProp(kPropFrameSizeMode, 0);
        return EnterVideoMode(TK_VIDEO_PREV, 2);
    }
    m_nCameraRoll[2] = m_nRollExposure = exposure;
    std::memcpy(m_pRollBackground, m_pCalibImage, bytes);
    ZarnTrace().SaveDebugBitmap(1, 0, "InitStandardRollBackground", m_pRollBackground, g->width, g->height);
    return 0;
}

int ZarnScannerKestrelFamily::SetCalibration(int mode) {
    const bool quiet = variant_ != Variant::B;  // KestrelC and KestrelD log at levels 2 and 0
    ZarnTrace().Log(quiet ? 2 : 3, "Enter %s::SetCalibration(%d)", className_, mode);
    m_nCalibrating = 1;
    // The sensor check's variance limit is the seventh roll parameter: the model's own, or the one
    // set last.
    MM_SetVarThreshold(float(m_RollParams.p7));
    MM_SetSaturetionThreshold(1.0f);
    int result = EnterVideoMode(TK_VIDEO_FULL, 2);
    if (result == 0) result = StartStream();
    const int passes[3] = {TK_VIDEO_FULL, TK_VIDEO_PREV, TK_VIDEO_ROLL};
    const int count = variant_ == Variant::C ? 2 : 3;
    for (int i = 0; i < count && result == 0; ++i) result = CalibrationPassF(passes[i], mode);
    m_nFrameRequest = 0;
    EndCalibration(result);
    ZarnTrace().Log(result == 0 ? (quiet ? 2 : 3) : (quiet ? 0 : 5), "Exit  %s::SetCalibration()=%d", className_, result);
    return result;
}

// ---- KestrelD: the interleaved grid --------------------------------------------------------------

int ZarnScannerKestrelD::FillUpBigImage(int index, uint8_t* part, uint8_t* big) {
    ZarnTrace().Log(4, "Enter ZarnScannerKestrelD::FillUpBigImage(SerNum = %d, SubImg = 0x%x, BigImg = 0x%x)", index,
                    Low(part), Low(big));
    if (index < 0 || index > 3 || part == nullptr || big == nullptr) {
        ZarnTrace().Log(4, "Exit  ZarnScannerKestrelD::FillUpBigImage()=%d", -1);
        return -1;
    }
    const int W = m_FullFrame.width, H = m_FullFrame.height;
    // The correction's own phase advances inside the call; the counter of the capture advances
    // once per placement.
    int phase = m_nBackgroundCounter;
    MM_CalibrateBackgroundKestrelB(&phase, 2, H, W, m_pFullBackground, part);
    if (m_nBackgroundCounter != 0 && m_pPreviousPart != nullptr) {
        int used = 0, moving = 0;
        MM_IsPalmMoving1(1, H, W, m_pPreviousPart, part, 0.115f, &used, &moving);
        if (moving == 1) {
            PostScannerMessage(ZARN_ERR_CAPTURE_PALMMOVING, 1);
            m_Running.captureStatus = ZARN_ERR_CAPTURE_PALMMOVING;
            ZarnTrace().LogText(4, "ZarnScannerKestrelD::FillUpBigImage(ZARN_ERR_CAPTURE_PALMMOVING)");
        }
    }
    m_pPreviousPart = part;
    const int dy = kGridOffset[index][0], dx = kGridOffset[index][1];
    const size_t bigW = 2 * size_t(W);
    // Each part row lands on its own grid row: the rows are independent.
    zarn::ForRowBands(H, 256, "KestrelGrid", [&](int firstRow, int endRow) {
        for (int y = firstRow; y < endRow; ++y) {
            uint8_t* row = big + (2 * size_t(y) + dy) * bigW + dx;
            const uint8_t* src = part + size_t(y) * W;
            for (int x = 0; x < W; ++x) row[2 * size_t(x)] = src[x];
        }
    });
    m_nBackgroundCounter = m_nBackgroundCounter >= 3 ? 0 : m_nBackgroundCounter + 1;
    ZarnTrace().Log(4, "Exit  ZarnScannerKestrelD::FillUpBigImage()=%d", 0);
    return 0;
}

int ZarnScannerKestrelD::CombinePart(int index) {
    ++m_nStitchCount;
    return FillUpBigImage(index, m_pQuad[index], m_pQuadSecond);
}

int ZarnScannerKestrelD::GetFullModeResultImage() {
    ZarnTrace().Log(2, "Enter ZarnScannerKestrelD::GetFullModeResultImage()");
    m_nCollectedMask = 0;
    m_nStitchCount = 0;
    // A new capture: its first part is checked against nothing.
    m_nBackgroundCounter = 0;
    m_pPreviousPart = nullptr;
    int result = StopStream();
    if (result == 0) {
        SleepMs(100);
        result = CaptureParts();
    } else {
        m_nFullModeCapture = 0;
    }
    ZarnTrace().Log(result == 0 ? 2 : 0, "Exit  ZarnScannerKestrelD::GetFullModeResultImage()=%d", result);
    return result;
}

int ZarnScannerKestrelD::GetFullModeResultImage_Step2() {
    ZarnTrace().Log(4, "Enter ZarnScannerKestrelD::GetFullModeResultImage_Step2()");
    for (int index = 0; index < 4; ++index) {
        if (m_nCollectedMask.load() & (1 << index)) continue;
        m_nCollectedMask |= 1 << index;
        CombinePart(index);
    }
    ZarnTrace().LogText(4, "****: etHighresolutionRow - 1");
    SmoothImageRows(m_pQuadSecond, 2 * m_FullFrame.width, 2 * m_FullFrame.height, 8);
    ZarnTrace().LogText(4, "****: etHighresolutionRow - 2");
    MakeImageData(0);
    m_nFullModeCapture = 0;
    ZarnTrace().Log(4, "Exit  ZarnScannerKestrelD::GetFullModeResultImage_Step2()=%d", 0);
    return 0;
}

int ZarnScannerKestrelD::FlatResultOutput() {
    ZarnTrace().Log(3, "Enter ZarnScannerKestrelD::FlatResultOutput()");
    uint8_t* work = nullptr;
    const int W = 2 * m_FullFrame.width, H = 2 * m_FullFrame.height;  // the grid: 5824 x 9024
    if (ResultWorkImage(&work, long(W) * H, "pWorkImage") != 0) {
        ZarnTrace().Log(3, "Exit  ZarnScannerKestrelD::FlatResultOutput()=%d", ZARN_ERR_MEM_ALLOC);
        return ZARN_ERR_MEM_ALLOC;
    }
    ZarnTrace().LogText(4, "****: etTranspose - 1");
    TransposeImage(m_pQuadSecond, work, W, H);
    ZarnTrace().LogText(4, "****: etTranspose - 2");
    ImageUpToDown(work, H, W);
    return FinishFlatResult(*this, work, m_pQuadSecond, "ZarnScannerKestrelD");
}

// ---- row sharpening and transpose ------------------------------------------------------------------

namespace {
// Eight 16-bit lanes with unsigned saturating addition and subtraction: SSE2 where the compiler
// has it, plain lanes elsewhere. Both give the same numbers.
#if defined(__SSE2__)
struct Lanes {
    __m128i v;
    static Lanes Load(const uint16_t* p) { return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))}; }
    void Store(uint16_t* p) const { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static Lanes Splat(uint16_t x) { return {_mm_set1_epi16(short(x))}; }
    friend Lanes operator+(Lanes a, Lanes b) { return {_mm_adds_epu16(a.v, b.v)}; }
    friend Lanes operator-(Lanes a, Lanes b) { return {_mm_subs_epu16(a.v, b.v)}; }
    Lanes Shr4() const { return {_mm_srli_epi16(v, 4)}; }
};
#else
struct Lanes {
    uint16_t v[8];
    static Lanes Load(const uint16_t* p) {
        Lanes l;
        std::memcpy(l.v, p, sizeof l.v);
        return l;
    }
    void Store(uint16_t* p) const { std::memcpy(p, v, sizeof v); }
    static Lanes Splat(uint16_t x) {
        Lanes l;
        for (auto& e : l.v) e = x;
        return l;
    }
    friend Lanes operator+(Lanes a, Lanes b) {
        for (int i = 0; i < 8; ++i) a.v[i] = uint16_t(std::min(65535, a.v[i] + b.v[i]));
        return a;
    }
    friend Lanes operator-(Lanes a, Lanes b) {
        for (int i = 0; i < 8; ++i) a.v[i] = uint16_t(a.v[i] > b.v[i] ? a.v[i] - b.v[i] : 0);
        return a;
    }
    Lanes Shr4() const {
        Lanes l = *this;
        for (auto& e : l.v) e = uint16_t(e >> 4);
        return l;
    }
};
#endif
constexpr int kLanes = 8;
}  // namespace

namespace {
// SmoothImageRows over the rows [firstRow, endRow).
void SmoothRowBand(uint8_t* image, int width, int firstRow, int endRow, int passes) {
    // The row with two mirrored samples on each side, padded to whole lane groups; b and the
    // next pass's row beside it.
    constexpr int kPad = kLanes;
    const int groups = (width + kLanes - 1) / kLanes;
    const size_t span = size_t(groups) * kLanes;
    std::vector<uint16_t> buffer(3 * (span + 2 * kPad), 0);
    uint16_t* a = buffer.data() + kPad;
    uint16_t* next = a + span + 2 * kPad;
    uint16_t* b = next + span + 2 * kPad;
    auto mirror = [width](uint16_t* r) {
        r[-1] = r[1], r[-2] = r[2];
        r[width] = r[width - 2], r[width + 1] = r[width - 3];
    };
    for (int y = firstRow; y < endRow; ++y) {
        uint8_t* pixels = image + size_t(y) * size_t(width);
        for (int i = 0; i < width; ++i) a[i] = uint16_t(4 * pixels[i]);
        mirror(a);
        // Reference: b = 4 (a[i-1] + 2 a[i] + a[i+1]).
        for (size_t i = 0; i < span; i += kLanes) {
            const Lanes s = Lanes::Load(a + i - 1) + Lanes::Load(a + i) + Lanes::Load(a + i) + Lanes::Load(a + i + 1);
            const Lanes s2 = s + s;
            (s2 + s2).Store(b + i);
        }
        const Lanes eight = Lanes::Splat(8);
        for (int p = 0; p < passes; ++p) {
            for (size_t i = 0; i < span; i += kLanes) {
                const Lanes m2 = Lanes::Load(a + i - 2), m1 = Lanes::Load(a + i - 1), c = Lanes::Load(a + i),
                            p1 = Lanes::Load(a + i + 1), p2 = Lanes::Load(a + i + 2);
                // [1 4 6 4 1] as four successive two-sample sums.
                const Lanes s1a = m2 + m1, s1b = m1 + c, s1c = c + p1, s1d = p1 + p2;
                const Lanes s2a = s1a + s1b, s2b = s1b + s1c, s2c = s1c + s1d;
                const Lanes g = (s2a + s2b) + (s2b + s2c);
                const Lanes c2 = c + c, c4 = c2 + c2, c8 = c4 + c4, c16 = c8 + c8;
                (((c16 + Lanes::Load(b + i)) - g) + eight).Shr4().Store(next + i);
            }
            std::swap(a, next);
            mirror(a);
        }
        for (int i = 0; i < width; ++i) pixels[i] = uint8_t(std::min((a[i] + 2) >> 2, 255));
    }
}
}  // namespace

int SmoothImageRows(uint8_t* image, int width, int height, int passes) {
    if (image == nullptr || width < 4 || height < 1 || passes < 0) return 0;
    // Each row is sharpened on its own: the rows are spread over the row threads.
    zarn::ForRowBands(height, 256, "KestrelSharpen",
                      [&](int first, int end) { SmoothRowBand(image, width, first, end, passes); });
    return 1;
}

int TransposeImage(const uint8_t* source, uint8_t* destination, int w, int h) {
    if (source == nullptr || destination == nullptr || w < 1 || h < 1) return 0;
    // In tiles, so that both images are walked through the cache a few lines at a time; the
    // destination rows (source columns) are spread over the row threads in whole tiles.
    constexpr int kTile = 64;
    const int tiles = (w + kTile - 1) / kTile;
    zarn::ForRowBands(tiles, 8, "KestrelTurn", [&](int firstTile, int endTile) {
        for (int i0 = firstTile * kTile; i0 < std::min(w, endTile * kTile); i0 += kTile)
            for (int j0 = 0; j0 < h; j0 += kTile) {
                const int i1 = std::min(w, i0 + kTile), j1 = std::min(h, j0 + kTile);
                for (int i = i0; i < i1; ++i) {
                    uint8_t* out = destination + size_t(i) * size_t(h);
                    for (int j = j0; j < j1; ++j) out[j] = source[size_t(j) * size_t(w) + i];
                }
            }
    });
    return 0;
}
