// ZarnScannerKestrelA: the 1000 ppi ten-print USB scanner (type 503), and the LED table of the
// ten-print models.
#include <cstdio>
#include <cstring>
#include <new>

#include "zarn/ZarnTraceLogger.h"

#include "ModelFactory.h"
#include "models/ModelCommon.h"
#include "models/ZarnScannerKestrel.h"

ZARN_MODEL_CREATOR(ZarnScannerKestrelA)

namespace {
unsigned Low(const void* p) { return unsigned(reinterpret_cast<uintptr_t>(p)); }

constexpr uint16_t kLedMasks[33] = {
    0xFFFE, 0xFFFF, 0xFFE1, 0xE1FF, 0xFEFE, 0xFFFE, 0xFEFF, 0xFF20, 0xFFDF, 0xFF3F, 0xFFA0,
    0x20FF, 0xDFFF, 0x3FFF, 0xA0FF, 0xFFFD, 0xFFFB, 0xFFF7, 0xFFEF, 0xFDFF, 0xFBFF, 0xF7FF,
    0xEFFF, 0xFFFE, 0xFFFD, 0xFFFB, 0xFFF7, 0xFFEF, 0xFEFF, 0xFDFF, 0xFBFF, 0xF7FF, 0xEFFF,
};

// Header rows and left margins of the raw frames.
constexpr int kHeaderRows = 32;
constexpr int kFullMargin = 12, kRollMargin = 8;
}  // namespace

uint16_t KestrelLedMask(int imageType) {
    return imageType >= 0 && imageType <= 32 ? kLedMasks[imageType] : uint16_t(0xFFFF);
}

ZarnScannerKestrelA::ZarnScannerKestrelA() {
    using zarnmodel::SetGeometry;
    m_nScannerType = 503;
    SetScannerName("Tessik KestrelB (TP)");
    SetUsbPidText("pid_2158");
    SetGeometry(m_FullFrame, 3024, 3584, 1000, 1000);
    SetGeometry(m_FullImage, 3520, 3000, 1000, 1000);
    SetGeometry(m_FlatResult, 3200, 3000, 1000, 1000);
    SetGeometry(m_RollFrame, 1520, 1792, 1000, 1000);
    SetGeometry(m_RollImage, 1760, 1500, 1000, 1000);
    SetGeometry(m_RollOutput, 1600, 1500, 1000, 1000);
    SetGeometry(m_PreviewResult, 800, 750, 250, 250);
    SetGeometry(m_PreviewImage, 880, 750, 250, 250);
    m_nCameraFull[0] = 65, m_nCameraFull[1] = 0, m_nCameraFull[2] = 0;
    m_nCameraRoll[0] = 30, m_nCameraRoll[1] = 0, m_nCameraRoll[2] = 0;
    m_FullSet = {{701, 678, 496, 614, 404, 404}};
    m_RollSet = m_FullSet;
    // The flat set is the full set at a quarter of the size; its sixth value is the fifth's.
    for (int i = 0; i < 5; ++i) m_FlatSet.values[i] = int(m_FullSet.values[i] * 0.25 + 1);
    m_FlatSet.values[5] = m_FlatSet.values[4];
    SetTenPrintExposureDefaults(*this, 400.0f);
    m_nCropFlag = 1, m_nStretchPercent = 70;
    m_nResultTransform = 1, m_nRollOutTransform = 1, m_nFlatPreviewTransform = 2, m_nRollPreviewTransform = 2;
}

ZarnScannerKestrelA::~ZarnScannerKestrelA() { DestroyDefectLines(m_pDefectLines); }

void SetTenPrintExposureDefaults(ZarnScannerBase& s, float varThreshold) {
    s.m_nMeanThreshold[0] = s.m_nMeanThreshold[1] = 220;
    s.m_nExposureMin = 0, s.m_nExposureMax = 255;
    s.m_nExposureStep[0] = 1, s.m_nExposureStep[1] = 2;
    s.m_nAutoCaptureThreshold = 250;
    s.m_fVarThreshold = varThreshold;
    for (int i : {0, 1, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}) s.m_bPropSupported[i] = true;
}

void DestroyDefectLines(void* (&lists)[3]) {
    for (auto& list : lists) {
        if (list) LiveScanAlg::DestroyDefectLine(&list);
        list = nullptr;
    }
}

int ZarnScannerKestrelA::CropLowerCentre(const uint8_t* in, int w, int h, uint8_t* out, int* outW, int* outH) {
    const int w2 = w / 2, h2 = h / 2;
    for (int r = 0; r < h2; ++r) std::memmove(out + size_t(r) * w2, in + size_t(h / 2 + r) * size_t(w), size_t(w2));
    *outW = w2, *outH = h2;
    return 0;
}

int ZarnScannerKestrelA::RotateImage(uint8_t* image, int width, int height) {
    ZarnTrace().Log(4, "Enter ZarnScannerKestrelA::RotateImage(0x%x, W = %d, H = %d)", Low(image), width, height);
    const size_t n = size_t(width) * size_t(height);
    uint8_t* temp = new (std::nothrow) uint8_t[n];
    if (temp == nullptr) {
        ZarnTrace().Log(4, "Exit  ZarnScannerKestrelA::RotateImage()=%d", ZARN_ERR_MEM_ALLOC);
        return ZARN_ERR_MEM_ALLOC;
    }
    std::memcpy(temp, image, n);
    TransposeImage(temp, image, width, height);
    delete[] temp;
    ZarnTrace().Log(4, "Exit  ZarnScannerKestrelA::RotateImage()=%d", 0);
    return 0;
}

int ZarnScannerKestrelA::FilterStream(uint8_t* buffer, long* length) {
    ZarnTrace().Log(4, "Enter ZarnScannerKestrelA::FilterStream(0x%x, %ld)", Low(buffer), length ? *length : 0L);
    const int mode = m_nVideoMode.load();
    int result = 0;
    if (mode != TK_VIDEO_FULL && mode != TK_VIDEO_ROLL) {
        result = ZARN_ERR_BAD_ARGUMENT;
    } else {
        const bool full = mode == TK_VIDEO_FULL;
        const FrameGeometry& frame = full ? m_FullFrame : m_RollFrame;
        if (*length < long(frame.bytes)) {
            result = ZARN_ERR_BAD_ARGUMENT;  // a short frame holds no whole image
        } else {
            const int d = full && !m_nCalibrating.load() && !m_nFullResult.load() ? 4 : 1;
            int frameW = frame.width, frameH = frame.height;
            if (d == 4) {
                PreviewScaleImage(frameW, frameH, buffer, frameW / 4, frameH / 4, buffer);
                frameW /= 4, frameH /= 4;
            }
            MM_ScanDefectedLines1(buffer, frameH, frameW, &m_pDefectLines[0]);
            MM_AmendDefectedLines1(buffer, frameH, frameW, m_pDefectLines[0]);
            const char* name = full ? "DecodeFull" : "DecodeRoll";
            ZarnTrace().Log(4, "Enter ZarnScannerKestrelA::%s()", name);
            // Image rows are the sensor's columns: `rows` rows of `bytes` bytes from the margin on.
            const int rows = full ? 3520 / d : 1760, bytes = full ? 3000 / d : 1500;
            const int margin = full ? kFullMargin / d : kRollMargin;
            const uint8_t* src = buffer + size_t(kHeaderRows / d) * size_t(frameW) + size_t(margin);
            for (int r = 0; r < rows; ++r) std::memmove(buffer + size_t(r) * bytes, src + size_t(r) * frameW, size_t(bytes));
            ZarnTrace().Log(4, "Exit  ZarnScannerKestrelA::%s()=%d", name, 0);
            result = RotateImage(buffer, bytes, rows);
            if (result == 0) {
                ImageUpToDown(buffer, rows, bytes);
                *length = long(rows) * bytes;
            }
        }
    }
    ZarnTrace().Log(4, "Exit ZarnScannerKestrelA::FilterStream()=%d", result);
    return result;
}

int ZarnScannerKestrelA::GetImageTypeInfo(int type, ZarnImageInfo* info, int half) {
    if (info == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    auto fill = [&](int w, int h, int ppi, double value) {
        info->width = w, info->height = h, info->xResolution = info->yResolution = ppi, info->typeValue = value;
        return 0;
    };
    if (IsRollImageType(type)) return fill(m_RollOutput.width, m_RollOutput.height, 1000, 10.0);
    if (IsSingleFlatImageType(type))
        return half ? fill(m_PreviewResult.width / 2, m_PreviewResult.height / 2, 125, 3.0)
                    : fill(m_FlatResult.width / 2, m_FlatResult.height / 2, 1000, 3.0);
    if (IsSlapImageType(type) || IsThumbsImageType(type))
        return half ? fill(m_PreviewResult.width, m_PreviewResult.height, 250, 3.0)
                    : fill(m_FlatResult.width, m_FlatResult.height, 1000, 3.0);
    return ZARN_ERR_NOT_SUPPORTED;
}

namespace {
// The packed date word of the device text: year - 2000 in bits 0..6, day in 7..11, month in 12..15.
struct PackedDate {
    int year, month, day;
    explicit PackedDate(uint16_t w) : year(2000 + (w & 127)), month(w >> 12), day((w >> 7) & 31) {}
    bool Valid() const { return year <= 2100 && month >= 1 && month <= 12 && day >= 1; }
};
uint16_t Word16(const char* text, int at) { return uint16_t(uint8_t(text[at]) | uint8_t(text[at + 1]) << 8); }
uint32_t Word32(const char* text, int at) { return uint32_t(Word16(text, at)) | uint32_t(Word16(text, at + 2)) << 16; }
}  // namespace

void FillTenPrintDeviceInfo(const char* text, ZarnDeviceInfo* info, const char* product, int secondDateAt,
                            const int fallback[3]) {
    std::memset(info, 0, sizeof *info);
    zarnmodel::FillDeviceTexts(info, text, 1000, product, "1394b", false);
    const PackedDate first(Word16(text, 20)), second(Word16(text, secondDateAt));
    if (!first.Valid()) {
        std::snprintf(info->serialNumber, sizeof info->serialNumber, "%04d", 0);
        std::snprintf(info->firstDate, sizeof info->firstDate, "%04d%02d%02d", fallback[0], fallback[1], fallback[2]);
        std::snprintf(info->secondDate, sizeof info->secondDate, "%04d%02d%02d", fallback[0], fallback[1], fallback[2]);
        return;
    }
    std::snprintf(info->serialNumber, sizeof info->serialNumber, "%02d%05d", Word16(text, 20) & 127,
                  int(Word32(text, 16)));
    std::snprintf(info->firstDate, sizeof info->firstDate, "%04d%02d%02d", first.year, first.month, first.day);
    std::snprintf(info->secondDate, sizeof info->secondDate, "%04d%02d%02d", second.year, second.month, second.day);
}

int ZarnScannerKestrelA::FillDeviceInfo(ZarnDeviceInfo* info) {
    if (info == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    static constexpr int kFallback[3] = {2011, 2, 1};
    // One date word serves both dates on this model.
    FillTenPrintDeviceInfo(m_szDeviceText, info, "KestrelA", 20, kFallback);
    info->hardwareWord = Word32(m_szDeviceText, 12);
    return 0;
}

int BlinkTenPrintLEDs(ZarnScannerBase& scanner, int& phase) {
    const int mask = phase == 0 ? KestrelLedMask(scanner.m_nImageType.load()) : 0xFFFF;
    phase ^= 1;
    scanner.SetLEDs(mask);
    return 0;
}

int SetTenPrintLEDs(ZarnScannerBase& scanner, int mask) {
    scanner.SetActiveLEDs(0, mask & 0xFF);
    scanner.SetActiveLEDs(1, (mask & 0xFF00) >> 8);
    return 0;
}

int ZarnScannerKestrelA::BlinkLEDs() { return BlinkTenPrintLEDs(*this, m_nBlinkPhase); }
int ZarnScannerKestrelA::SetLEDs(int mask) { return SetTenPrintLEDs(*this, mask); }

int ZarnScannerKestrelA::GetLEDs(int* mask) {
    if (mask) *mask = 0;
    return 0;
}

int ZarnScannerKestrelA::SetAutoCaptureDefaults() {
    m_AutoCapture = {250, 230, 1.0, 11, 1, 10, 10, 15, 3000};
    return 0;
}

int ZarnScannerKestrelA::CalibrationPassA(bool full, int mode) {
    SetVideoProp(kPropBrightness, m_nCameraFull[0]);
    SetVideoProp(kPropContrast, m_nCameraFull[1]);
    if (!full) SetVideoProp(kPropExposure, m_nCameraFull[2]);
    GetVideoNoProc(kPropExposure);
    const FrameGeometry& g = full ? m_FullImage : m_RollImage;
    m_nImageType = full ? 2 : 0;
    ZarnTrace().LogText(3, full ? "Enter TK_VIDEO_FULL Mode" : "Enter TK_VIDEO_ROLL Mode");
    int result = RefreshFrameEnhance();
    if (result != 0) return result;
    MM_SetMeanThreshold(float(m_nMeanThreshold[full ? 0 : 1]));
    MakeImageData(0);
    int exposure = m_nPropValue[kPropExposure];
    if (mode != 0) {
        if (SearchExposure(m_pCalibImage, m_nExposureStep[full ? 0 : 1], &exposure) != 0) return ZARN_ERR_CALIBRATION;
    }
    ZarnTrace().Log(3, "Current Exposure Value is : %d", exposure);
    for (int i = 0; i < 3; ++i)
        if ((result = RefreshFrameEnhance()) != 0) return result;
    const size_t bytes = size_t(g.width) * size_t(g.height);
    std::memcpy(m_pCalibImage, m_pSavedRaw, bytes);
    if (!full) {
        m_nCameraRoll[0] = m_nCameraRoll[2] = m_nCameraFull[0];
        m_nRollExposure = exposure;
        std::memcpy(m_pRollBackground, m_pCalibImage, bytes);
        ZarnTrace().SaveDebugBitmap(1, 0, "InitStandardRollBackground", m_pRollBackground, g.width, g.height);
        return EnterVideoMode(TK_VIDEO_FULL, 2);
    }
    m_nCameraFull[0] = m_nCameraFull[2] = exposure;
    m_nFullExposure = exposure;
    std::memcpy(m_pFullBackground, m_pCalibImage, bytes);
    PreviewScaleImage(g.width, g.height, m_pFullBackground, m_PreviewImage.width, m_PreviewImage.height,
                      m_pPreviewBackground);
    std::memcpy(m_pPreviewBackgroundHeld, m_pPreviewBackground, size_t(m_PreviewImage.bytes));
    ZarnTrace().SaveDebugBitmap(1, 0, "InitStandardFullBackground", m_pFullBackground, g.width, g.height);
    return EnterVideoMode(TK_VIDEO_ROLL, 0);
}

int ZarnScannerKestrelA::SetCalibration(int mode) {
    ZarnTrace().Log(3, "Enter ZarnScannerKestrelA::SetCalibration(%d)", mode);
    m_nCalibrating = 1;
    // The sensor check's variance limit is the seventh roll parameter: the model's own, or the one
    // set last.
    MM_SetVarThreshold(float(m_RollParams.p7));
    MM_SetSaturetionThreshold(1.0f);
    int result = 0;
    // The passes start in the current mode; a scanner that has no mode yet starts in the full one.
    if (m_nVideoMode.load() != TK_VIDEO_FULL && m_nVideoMode.load() != TK_VIDEO_ROLL) {
        result = EnterVideoMode(TK_VIDEO_FULL, 2);
        if (result == 0) result = StartStream();
    }
    for (int pass = 0; pass < 2 && result == 0; ++pass) result = CalibrationPassA(m_nVideoMode.load() == TK_VIDEO_FULL, mode);
    m_nFrameRequest = 0;
    EndCalibration(result);
    ZarnTrace().Log(result == 0 ? 3 : 5, "Exit  ZarnScannerKestrelA::SetCalibration()=%d", result);
    return result;
}
