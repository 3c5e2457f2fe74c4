// PloverA, PloverB and PloverE.
#include "models/ZarnScannerPlover.h"

#include <cstdint>
#include <cstring>

#include "ModelFactory.h"
#include "models/ModelCommon.h"

using zarnmodel::FillImageType;
using zarnmodel::SetGeometry;

namespace {

const DistortionSet kPloverASet = {{701, 678, 496, 614, 404, 404}};
const DistortionSet kPloverBSet = {{727, 701, 530, 254, 411, 408}};

std::atomic<int> g_blinkA{0}, g_blinkB{0}, g_blinkE{0};

// A packed date word: year - 2000 in bits 0..6, day in bits 7..11, month in bits 12..15.
struct Date {
    int year, month, day;
    explicit Date(uint16_t w) : year(2000 + (w & 0x7F)), month(w >> 12), day((w >> 7) & 0x1F) {}
    bool Plausible() const { return year <= 2100 && month >= 1 && month <= 12 && day != 0; }
};

}  // namespace

ZarnScannerPlover::ZarnScannerPlover(const PloverVariant& v, std::atomic<int>& blinkPhase)
    : productText_(v.productText), blinkPhase_(blinkPhase) {
    m_nScannerType = v.scannerType;
    SetScannerName(v.deviceName);
    SetUsbPidText(I_ProductIdText(v.scannerType));
    SetGeometry(m_FullFrame, 2944, 1840, 850, 600);
    m_FullImage = m_FullFrame;
    SetGeometry(m_FlatResult, 1600, 1500, 500, 500);
    SetGeometry(m_RollFrame, 1408, 880, 850, 600);
    m_RollImage = m_RollFrame;
    SetGeometry(m_RollOutput, 800, 750, 500, 500);
    // The preview image is the full image halved, the preview result the flat result halved.
    SetGeometry(m_PreviewImage, m_FullImage.width / 2, m_FullImage.height / 2, m_FullImage.xResolution / 2,
                m_FullImage.yResolution / 2);
    SetGeometry(m_PreviewResult, m_FlatResult.width / 2, m_FlatResult.height / 2, m_FlatResult.xResolution / 2,
                m_FlatResult.yResolution / 2);
    m_nCameraFull[0] = v.cameraFirst, m_nCameraFull[1] = 0, m_nCameraFull[2] = 40;
    m_nCameraRoll[0] = v.cameraFirst, m_nCameraRoll[1] = 0, m_nCameraRoll[2] = 60;
    m_nMeanThreshold[0] = m_nMeanThreshold[1] = v.meanThreshold;
    m_nExposureMin = 0, m_nExposureMax = 255;
    m_nExposureStep[0] = 1, m_nExposureStep[1] = 2;
    for (int i = 0; i < 20; ++i) m_bPropSupported[i] = i <= 1 || i >= 10;
    if (v.distortion != nullptr) {
        m_FullSet = m_RollSet = *v.distortion;
        for (int i = 0; i < 6; ++i) m_FlatSet.values[i] = int32_t(m_FullSet.values[i] * 0.5 + 1);
    }
    m_nPlatenCheck = 1;
    m_nCropFlag = 1;
    m_nStretchPercent = 70;
    m_nResultTransform = m_nRollOutTransform = v.resultTransform;
    m_nFlatPreviewTransform = m_nRollPreviewTransform = v.previewTransform;
    m_nFrameReadyCount = v.frameReadyCount;
    m_nAutoCaptureThreshold = 250;
}

ZarnScannerPloverA::ZarnScannerPloverA()
    : ZarnScannerPlover({502, "Tessik PloverA", "PloverA", 2, 220, &kPloverASet, 0, 1, 2}, g_blinkA) {}
ZarnScannerPloverB::ZarnScannerPloverB()
    : ZarnScannerPlover({501, "Tessik PloverB", "PloverB", 1, 240, &kPloverBSet, 0, 1, 2}, g_blinkB) {}
ZarnScannerPloverE::ZarnScannerPloverE()
    : ZarnScannerPlover({502, "Tessik PloverE", "PloverA", 2, 240, nullptr, 1, 2, 1}, g_blinkE) {}

ZARN_MODEL_CREATOR(ZarnScannerPloverA)
ZARN_MODEL_CREATOR(ZarnScannerPloverB)
ZARN_MODEL_CREATOR(ZarnScannerPloverE)

int ZarnScannerPlover::GetImageTypeInfo(int type, ZarnImageInfo* info, int half) {
    if (IsRollImageType(type)) return FillImageType(info, m_RollOutput, 1, 1, 10.0);
    if (IsSingleFlatImageType(type))
        return half ? FillImageType(info, m_PreviewResult, 2, 2, 3.0) : FillImageType(info, m_FlatResult, 2, 1, 3.0);
    if (IsSlapImageType(type) || IsThumbsImageType(type))
        return FillImageType(info, half ? m_PreviewResult : m_FlatResult, 1, 1, 3.0);
    *info = ZarnImageInfo{};
    return ZARN_ERR_NOT_SUPPORTED;
}

int ZarnScannerPlover::FilterStream(uint8_t* buffer, long* length) {
    if (m_nVideoMode.load() == TK_VIDEO_ROLL || m_nCalibrating.load() || m_nFullResult.load()) return 0;
    const int result = PreviewScaleImage(m_FullImage.width, m_FullImage.height, buffer, m_PreviewImage.width,
                                         m_PreviewImage.height, buffer);
    *length = long(m_PreviewImage.width) * m_PreviewImage.height;
    return result;
}

int ZarnScannerPlover::FillDeviceInfo(ZarnDeviceInfo* info) {
    zarnmodel::FillDeviceTexts(info, m_szDeviceText, 500, productText_, "USB2.0");
    uint32_t serial = 0;
    uint16_t words[2] = {};
    std::memcpy(&serial, m_szDeviceText + 16, 4);
    std::memcpy(words, m_szDeviceText + 20, 4);
    const Date first(words[0]), second(words[1]);
    if (first.Plausible() && second.Plausible()) {
        std::snprintf(info->serialNumber, sizeof info->serialNumber, "%d", int(serial));
        std::snprintf(info->firstDate, sizeof info->firstDate, "%04d%02d%02d", first.year, first.month, first.day);
        std::snprintf(info->secondDate, sizeof info->secondDate, "%04d%02d%02d", second.year, second.month, second.day);
    } else {
        std::snprintf(info->serialNumber, sizeof info->serialNumber, "%04d", 0);
        std::snprintf(info->firstDate, sizeof info->firstDate, "%04d%02d%02d", 2008, 4, 30);
        std::snprintf(info->secondDate, sizeof info->secondDate, "%04d%02d%02d", 2008, 4, 30);
    }
    return 0;
}

int ZarnScannerPlover::BlinkMask(int type) {
    if (IsRollImageType(type)) return 0xEF;
    switch (type) {
        case 2: return 0xF7;
        case 3: return 0xFE;
        case 4: return 0xF9;
        case 23: return 0xFB;
        case 28: return 0xFD;
        default: return 0xFF;
    }
}

int ZarnScannerPlover::BlinkLEDs() {
    if (blinkPhase_.exchange(0) != 0) {
        SetActiveLEDs(0, 0xFF);
    } else {
        SetActiveLEDs(0, BlinkMask(m_nImageType.load()));
        blinkPhase_ = 1;
    }
    return 0;
}
