#pragma once
// The service's object for one attached fingerprint scanner. It drives the fingerprint capture
// library through its function table and serves the enrolment client's requests from the device,
// preview and result channels: StartCapture with the finger status table, the preview copy that
// GetFrame turns into a finger image record, quality feedback, the automatic or forced result that
// GetSample hands out, StopCapture, and the device-lost report.
//
// Lock order: device lock, then preview_outer, then preview_inner; the state lock is taken alone
// (with the core object's statusLock inside it). The library's callbacks never block on the device
// lock: the preview callback drops the frame and the quality callback its feedback (the next
// frame's quality brings it again); the result callback retries every 10 ms while the capture runs.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device/BaseDevice.h"
#include "device/IDevice.h"

class CFpDevice : public IDevice, public CBaseDevice {
public:
    // Model code of the VireoA, which captures single fingers only; every other model is a slap model.
    static constexpr int kModelVireoA = 401;
    // Size of the preview buffer: one 8-bit frame of at most this many pixels.
    static constexpr size_t kPreviewBufferSize = 640000;
    // Position code of a text the device does not know.
    static constexpr int kPositionUnknown = 33;
    // Longest time the scanner's initialisation and calibration may take when it is connected. A
    // clean platen takes a few seconds; with a hand on the glass the calibration's exposure search
    // walks the whole range, which takes minutes.
    static constexpr int kConnectLimitMs = 30000;
    // Test seam: the limit in force (kConnectLimitMs unless a test sets another).
    static void SetConnectLimitMs(int ms) { connectLimitMs.store(ms); }

    // A look at the platen of a scanner whose connect ran out of time (a hand left on the glass):
    // the scanner's initialisation and calibration as at connect, with nothing registered and the
    // scanner released afterwards. The library offers no other test of the platen: its calibration
    // ends within seconds on an empty platen and not while something lies on it. The look has the
    // connect's limit, so that it finds empty every platen a connect would calibrate on. True when
    // the calibration ended in success; false when it failed, ran out of time or the service
    // terminates.
    static bool LookAtPlaten(CBaseNavikVdm* owner, int modelCode);

    CFpDevice(const std::string& vdmName, CBaseNavikVdm* owner, int modelCode);
    ~CFpDevice() override;

    // --- CBaseDevice ---
    int Open() override;
    int Close() override;
    int SetState(int state) override;
    int CloseImageChannels(int stopCapture) override;
    int Connect() override;
    int StartCapture(int flag, std::string& failureReason) override;
    int ForceCapture(std::string& failureReason) override;
    int StopCapture(std::string& failureReason) override;
    int GetApiVersion() override;
    int GetDeviceInfo() override;
    int SetMissingBiometric(const std::string& biometricPosition) override;

    // --- IDevice ---
    int ProcessSubscribeCallback(const xercesc::DOMElement* subscribe, const std::string& requestId,
                                 std::string& failureReason, std::map<int, int>& categories) override;
    int ProcessStartCaptureCallback(const xercesc::DOMElement* startCapture, const std::string& requestId,
                                    std::string& failureReason, std::string& videoURI) override;
    int ProcessForceCaptureCallback(const std::string& requestId, std::string& failureReason) override;
    int ProcessStopCaptureCallback(const std::string& requestId, std::string& failureReason) override;
    int ProcessClientConnectedCallback() override;
    int ProcessSocketDeviceCloseEventCallback() override;
    int ProcessSocketDeviceErrorEventCallback() override;
    int ProcessClientGoneCallback() override;
    int ProcessGetFrameCallback(const std::string& requestId) override;
    int ProcessGetSampleImageCallback(const std::string& requestId) override;
    int ProcessSocketPreviewCloseEventCallback() override;
    int ProcessSocketResultCloseEventCallback() override;
    int ProcessSocketPreviewErrorEventCallback() override;
    int ProcessSocketResultErrorEventCallback() override;

    // Position code of a biometric position text (33 for any text the device does not know) and
    // the text of a code ("Unknown" for any other code).
    static int PositionCode(const std::string& text);
    static std::string PositionName(int code);

    // Calls the library's abort whatever the state and sets state 1; reports nothing.
    void StopCaptureIgnoreError() override;

    int GetModelCode() const { return modelCode; }
    // True when the last Connect ran out of time in the scanner's initialisation or calibration.
    bool ConnectTimedOut() const { return connectTimedOut.load(); }
    int GetPositionCode() const { return positionCode.load(); }
    // Finger status (0 not requested, 1 to be captured, 2 missing) of finger 0..9, in the order
    // RightThumb .. RightLittle, LeftThumb .. LeftLittle.
    int GetFingerStatus(int finger) const { return fingerStatus[finger].load(); }
    int GetBiometricCount() const { return biometricCount.load(); }

    // Test seam: the millisecond clock of the feedback interval.
    void SetClock(std::function<int64_t()> clock) { nowMs = std::move(clock); }

private:
    // Initialisation, callbacks and calibration of the scanner; 0 when a step failed or the watch
    // cut the connect short before the calibration, with `initialised` telling whether the scanner
    // needs releasing.
    int ConnectLibrary(const char* op, bool& initialised, const std::function<bool()>& cutShort);
    // Library callbacks; the context is the device.
    static void OnPreviewImageAvailable(void* context, ZarnImageInfo image);
    static void OnTakingResultImage(void* context);
    static void OnResultImageAvailable(void* context, int status, ZarnImageInfo image, int imageType, int reserved);
    static void OnFootSwitch(void* context);
    static void OnObjectQuality(void* context, int state, int* quality, int count);
    static void OnDeviceIsConnected(void* context, int connected);

    void PreviewImageAvailable(const ZarnImageInfo& image);
    void ObjectQuality(int state, const int* quality, int count);
    void ResultImageAvailable(int status, const ZarnImageInfo& image);
    void DeviceIsConnected(int connected);

    // Status 1 for the fingers of a position; 0 for a position the device cannot capture.
    int SetBiometricStatus(int code);
    int SetCaptureMode();
    void ClearFingerStatus();
    // Finger indexes (into the status table) of a position code, in finger order.
    static std::vector<int> FingersOf(int code);

    static const CaptureSide kSide;
    static std::atomic<int> connectLimitMs;
    const int modelCode;
    std::atomic<int> positionCode{kPositionUnknown};
    std::atomic<int> fingerStatus[10];
    std::vector<unsigned char> previewBuffer;            // written under preview_inner
    ZarnImageInfo resultImage{};                          // under resultLock
    std::atomic<int64_t> lastFeedbackMs{0};
    std::atomic<bool> connectTimedOut{false};
    std::function<int64_t()> nowMs;
};
