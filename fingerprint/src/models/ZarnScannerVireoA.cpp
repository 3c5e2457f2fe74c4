// VireoA.
#include "models/ZarnScannerVireoA.h"

#include <cstring>

#include "ModelFactory.h"
#include "models/ModelCommon.h"

using zarnmodel::FillImageType;
using zarnmodel::SetGeometry;

namespace {
// The finger window of the raw frame.
constexpr int kWindowTop = 56, kWindowLeft = 58;
}  // namespace

ZarnScannerVireoA::ZarnScannerVireoA() {
    m_nScannerType = 401;
    SetScannerName("Tessik VireoA");
    SetUsbPidText(I_ProductIdText(401));
    SetGeometry(m_FullFrame, 1600, 1200, 850, 600);
    SetGeometry(m_FullImage, 1496, 945, 850, 600);
    SetGeometry(m_FlatResult, 800, 750, 500, 500);
    m_RollFrame = m_FullFrame;
    m_RollImage = m_FullImage;
    m_RollOutput = m_FlatResult;
    m_PreviewImage = m_FullImage;
    m_PreviewResult = m_FlatResult;
    m_nCameraFull[0] = 100, m_nCameraFull[1] = 0, m_nCameraFull[2] = 100;
    m_nCameraRoll[0] = 100, m_nCameraRoll[1] = 0, m_nCameraRoll[2] = 100;
    m_nMeanThreshold[0] = m_nMeanThreshold[1] = 220;
    m_nExposureMin = 0, m_nExposureMax = 255;
    m_nExposureStep[0] = m_nExposureStep[1] = 1;
    m_bPropSupported[1] = m_bPropSupported[10] = true;
    m_FullSet = {{1350, 1496, 930, 0, 750, 808}};
    m_RollSet = m_FlatSet = m_FullSet;
    m_nStretchPercent = 60;
    m_nResultTransform = 0;
    m_nFlatPreviewTransform = 1;
    m_nRollPreviewTransform = 1;
    m_nFrameReadyCount = 1;
    m_nAutoCaptureThreshold = 250;
}

ZARN_MODEL_CREATOR(ZarnScannerVireoA)

int ZarnScannerVireoA::GetImageTypeInfo(int type, ZarnImageInfo* info, int half) {
    if (IsRollImageType(type)) return FillImageType(info, m_RollOutput, 1, 1, 10.0);
    if (IsSingleFlatImageType(type) || IsThumbsImageType(type))
        return FillImageType(info, half ? m_PreviewResult : m_FlatResult, 1, 1, 3.0);
    *info = ZarnImageInfo{};
    return ZARN_ERR_NOT_SUPPORTED;
}

int ZarnScannerVireoA::FilterStream(uint8_t* buffer, long* length) {
    if (*length < m_FullFrame.bytes || buffer[1] != 255 || buffer[2] != 0 || buffer[3] != 255 || buffer[4] != 0)
        return -1;
    const int w = m_FullImage.width, h = m_FullImage.height, stride = m_FullFrame.width;
    for (int r = 0; r < h; ++r)
        std::memmove(buffer + size_t(r) * w, buffer + size_t(kWindowTop + r) * stride + kWindowLeft, size_t(w));
    ImageUpToDown(buffer, w, h);
    *length = m_FullImage.bytes;
    return 0;
}

int ZarnScannerVireoA::FillDeviceInfo(ZarnDeviceInfo* info) {
    zarnmodel::FillDeviceTexts(info, m_szDeviceText, 500, "VireoA", "USB2.0");
    return 0;
}
