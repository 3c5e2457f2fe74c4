#pragma once
// The service's object for the two-eye iris camera. It drives the iris capture library through its
// function table and serves the enrolment client's requests from the device, preview and result
// channels: StartCapture of one or both eyes (interlocked with the fingerprint device and the iris
// calibration), the per-eye preview copies that GetFrame turns into an iris image record, the
// per-eye results that complete the capture and that GetSample hands out, StopCapture, the forced
// capture, and the device-lost report.
//
// Lock order: device lock, then preview_outer, then preview_inner; the state lock is taken alone
// (with the core object's statusLock inside it). The library's threads never block on the device
// lock: a preview is dropped when the lock is busy, a result retries every 10 ms while the capture
// runs, the connection report gives up until the next poll.

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "device/IDevice.h"
#include "device/IrisDeviceBase.h"

class CIrisDevice : public IDevice, public CIrisDeviceBase {
public:
    // Eye codes: the requested position and the keys of the image maps.
    static constexpr int kEyeNone = 0;
    static constexpr int kEyeLeft = 1;
    static constexpr int kEyeRight = 2;
    static constexpr int kEyeBoth = 3;
    // One preview buffer per eye, process-wide.
    static constexpr size_t kPreviewBufferSize = 640000;

    CIrisDevice(const std::string& vdmName, CBaseNavikVdm* owner);
    ~CIrisDevice() override;

    // How the core object makes iris devices and their preview buffers.
    static IrisDeviceKind Kind();
    // The two process-wide preview buffers: allocated once (1), freed by FreeIrisPreviewBuffers.
    static int AllocateIrisPreviewBuffers();
    static void FreeIrisPreviewBuffers();

    // --- CBaseDevice ---
    int Open() override;
    int Close() override;
    int SetState(int state) override;
    int CloseImageChannels(int stopCapture) override;
    int Connect() override;
    int StartCapture(int autoCapture, std::string& failureReason) override;
    int ForceCapture(std::string& failureReason) override;
    int StopCapture(std::string& failureReason) override;
    int GetApiVersion() override;
    int GetDeviceInfo() override;
    int SetMissingBiometric(const std::string& biometricPosition) override;
    // --- CIrisDeviceBase ---
    int CalibrateDevice() override;

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

    // Eye code of a biometric position text (0 for any other text) and the text of a code.
    static int ParseEyePosition(const std::string& text);
    static std::string EyePositionName(int code);

    // Calls the library's abort whatever the state and sets state 1.
    void StopCaptureIgnoreError() override;

    int GetEyePosition() const { return eyePosition.load(); }
    // 0 not requested, 1 to be captured, 2 declared missing.
    int GetEyeFlag(int eye) const { return eye == kEyeLeft ? leftFlag.load() : rightFlag.load(); }
    int GetPendingResults() const { return pendingResults.load(); }

private:
    static void OnPreviewImageAvailable_L(void* context, ZarnImageInfo image);
    static void OnPreviewImageAvailable_R(void* context, ZarnImageInfo image);
    static void OnResultImageAvailable_L(void* context, int status, ZarnImageInfo image);
    static void OnResultImageAvailable_R(void* context, int status, ZarnImageInfo image);
    static void OnDeviceIsConnected(void* context, int connected);

    void PreviewImageAvailable(int eye, const ZarnImageInfo& image);
    void ResultImageAvailable(int eye, int status, const ZarnImageInfo& image);
    void DeviceIsConnected(int connected);
    int SetCaptureMode(int eye, int autoCapture);
    void FreeResultImages();
    // Builds the iris record of the given eyes; the caller frees it.
    bool BuildIrisIsoRecord(const std::map<int, ZarnImageInfo>& images, unsigned char** record, unsigned int* length);

    std::atomic<int> eyePosition{kEyeNone};
    std::atomic<int> leftFlag{0}, rightFlag{0};
    std::atomic<int> pendingResults{0};
    static const CaptureSide kSide;
    std::map<int, ZarnImageInfo> resultImages;   // pixels owned (malloc); written under the device lock,
                                                 // read by GetSample under resultLock
};
