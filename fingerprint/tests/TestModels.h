#pragma once
// Minimal scanner models for the base-class tests and benchmarks: the PloverA geometry (the base
// class's main road) and the VireoA geometry (a single-finger scanner whose decode cuts a window).

#include <atomic>
#include <cstring>

#include "ZarnScannerBase.h"

namespace scannertest {

// The PloverA sensor: full frames of 2944 x 1840 at 850 x 600 ppi, halved for the preview by the
// model's decode outside the full-result and calibration paths; rolls from a 1408 x 880 window.
class TestModel : public ZarnScannerBase {
public:
    TestModel() {
        auto set = [](FrameGeometry& g, int w, int h, int xr, int yr) { g = {w, h, w * h, xr, yr}; };
        set(m_FullFrame, 2944, 1840, 850, 600);
        m_FullImage = m_FullFrame;
        set(m_FlatResult, 1600, 1500, 500, 500);
        set(m_RollFrame, 1408, 880, 850, 600);
        m_RollImage = m_RollFrame;
        set(m_RollOutput, 800, 750, 500, 500);
        set(m_PreviewImage, 1472, 920, 425, 300);
        set(m_PreviewResult, 800, 750, 250, 250);
        m_nScannerType = 502;
        SetScannerName("Tessik PloverA");
        SetUsbPidText("pid_2150");
        m_nCameraFull[0] = 2, m_nCameraFull[1] = 0, m_nCameraFull[2] = 40;
        m_nCameraRoll[0] = 2, m_nCameraRoll[1] = 0, m_nCameraRoll[2] = 60;
        m_nMeanThreshold[0] = m_nMeanThreshold[1] = 220;
        m_nExposureMin = 0, m_nExposureMax = 255;
        m_nExposureStep[0] = 1, m_nExposureStep[1] = 2;
        for (int i : {0, 1, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}) m_bPropSupported[i] = true;
        m_FullSet = {{701, 678, 496, 614, 404, 404}};
        m_RollSet = m_FullSet;
        for (int i = 0; i < 6; ++i) m_FlatSet.values[i] = m_FullSet.values[i] / 2 + 1;
        m_nPlatenCheck = 1;
        m_nCropFlag = 1;
        m_nStretchPercent = 70;
        m_nResultTransform = 0, m_nRollOutTransform = 0, m_nFlatPreviewTransform = 1, m_nRollPreviewTransform = 1;
        m_nFrameReadyCount = 2;
        m_nAutoCaptureThreshold = 250;
    }
    ~TestModel() override = default;

    int GetImageTypeInfo(int type, ZarnImageInfo* info, int half) override {
        *info = ZarnImageInfo{};
        auto fill = [&](const FrameGeometry& g, int div, double value) {
            info->width = g.width / div, info->height = g.height / div;
            info->xResolution = g.xResolution / div, info->yResolution = g.yResolution / div;
            info->typeValue = value;
            return 0;
        };
        if (IsRollImageType(type)) return fill(m_RollOutput, 1, 10.0);
        if (IsSingleFlatImageType(type)) {
            if (half) {
                info->width = m_PreviewResult.width / 2, info->height = m_PreviewResult.height / 2;
                info->xResolution = m_PreviewResult.xResolution / 2, info->yResolution = m_PreviewResult.yResolution / 2;
                info->typeValue = 3.0;
                return 0;
            }
            return fill(m_FlatResult, 2, 3.0);
        }
        if (IsSlapImageType(type) || IsThumbsImageType(type)) return fill(half ? m_PreviewResult : m_FlatResult, 1, 3.0);
        return ZARN_ERR_NOT_SUPPORTED;
    }

    // Halves a full frame for the preview, unless the frame is wanted at full size.
    int FilterStream(uint8_t* buffer, long* length) override {
        ++filtered;
        if (dead.load()) return -1;
        if (m_nVideoMode.load() == TK_VIDEO_ROLL || m_nCalibrating.load() || m_nFullResult.load()) return 0;
        PreviewScaleImage(m_FullImage.width, m_FullImage.height, buffer, m_PreviewImage.width, m_PreviewImage.height, buffer);
        *length = m_PreviewImage.bytes;
        return 0;
    }

    int FillDeviceInfo(ZarnDeviceInfo* info) override {
        std::memset(info, 0, sizeof *info);
        info->resolution = 500;
        std::memcpy(info->serialNumber, m_szDeviceText + 16, 4);
        return 0;
    }

    std::atomic<int> filtered{0};
    // Set: no frame of the camera reaches the library any more, whatever is restarted.
    std::atomic<bool> dead{false};
};

// The VireoA sensor: 1600 x 1200 frames whose 1496 x 945 finger window (rows 56..1000, columns
// 58..1553) is stored bottom-up; previews and results 800 x 750 at 500 ppi.
class VireoModel : public ZarnScannerBase {
public:
    VireoModel() {
        auto set = [](FrameGeometry& g, int w, int h, int xr, int yr) { g = {w, h, w * h, xr, yr}; };
        set(m_FullFrame, 1600, 1200, 850, 600);
        set(m_FullImage, 1496, 945, 850, 600);
        set(m_FlatResult, 800, 750, 500, 500);
        m_RollFrame = m_FullFrame;
        m_RollImage = m_FullImage;
        m_RollOutput = m_FlatResult;
        m_PreviewImage = m_FullImage;
        m_PreviewResult = m_FlatResult;
        m_nScannerType = 401;
        SetScannerName("Tessik VireoA");
        SetUsbPidText("pid_2160");
        for (int i : {1, 10}) m_bPropSupported[i] = true;
        m_FullSet = {{1350, 1496, 930, 0, 750, 808}};
        m_RollSet = m_FlatSet = m_FullSet;
        m_nStretchPercent = 60;
        m_nResultTransform = 0, m_nFlatPreviewTransform = 1, m_nRollPreviewTransform = 1;
        m_nFrameReadyCount = 1;
    }

    int GetImageTypeInfo(int type, ZarnImageInfo* info, int half) override {
        *info = ZarnImageInfo{};
        if (!IsRollImageType(type) && !IsSingleFlatImageType(type) && !IsThumbsImageType(type)) return ZARN_ERR_NOT_SUPPORTED;
        const FrameGeometry& g = IsRollImageType(type) ? m_RollOutput : half ? m_PreviewResult : m_FlatResult;
        info->width = g.width, info->height = g.height;
        info->xResolution = g.xResolution, info->yResolution = g.yResolution;
        info->typeValue = IsRollImageType(type) ? 10.0 : 3.0;
        return 0;
    }

    int FilterStream(uint8_t* buffer, long* length) override {
        if (buffer[1] != 0xFF || buffer[2] != 0x00 || buffer[3] != 0xFF || buffer[4] != 0x00) return -1;
        const int w = m_FullImage.width, h = m_FullImage.height;
        for (int r = 0; r < h; ++r) std::memmove(buffer + size_t(r) * w, buffer + size_t(56 + r) * 1600 + 58, size_t(w));
        ImageUpToDown(buffer, w, h);
        *length = m_FullImage.bytes;
        return 0;
    }

    int FillDeviceInfo(ZarnDeviceInfo* info) override {
        std::memset(info, 0, sizeof *info);
        info->resolution = 500;
        return 0;
    }
};

}  // namespace scannertest
