#pragma once
// A minimal scanner model on the PloverA geometry for the base-class tests, and a reader of the
// library's trace lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/Mailslot.h"
#include "zarn/TraceRecord.h"
#include "zarn/ZarnTraceLogger.h"

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
};

// Collects the library's trace lines from its trace slot.
class TraceLines {
public:
    TraceLines() : reader_(ZarnTrace().slotName()) {
        thread_ = std::thread([this] {
            TraceRecord record;
            for (;;) {
                auto r = reader_.Read(&record, sizeof record, -1);
                if (r.status != platform::MailslotReader::Status::Received) return;
                std::string text(record.text, strnlen(record.text, sizeof record.text));
                std::lock_guard lock(mutex_);
                lines_.push_back(std::move(text));
                cv_.notify_all();
            }
        });
    }
    ~TraceLines() {
        reader_.Shutdown();
        thread_.join();
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    size_t Count(const std::string& prefix) {
        std::lock_guard lock(mutex_);
        return size_t(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
    }
    bool WaitFor(const std::string& prefix, int ms = 10000) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
            return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        });
    }
    bool IsOpen() const { return reader_.IsOpen(); }

private:
    platform::MailslotReader reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

template <class Pred>
bool WaitUntil(Pred pred, int ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

}  // namespace scannertest
