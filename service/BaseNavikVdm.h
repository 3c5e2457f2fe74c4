#pragma once
// What the DM channel, the configuration channel and the device objects call on the core object.
// Modality (deviceType) is 0 for fingerprint and 1 for iris everywhere.

#include <atomic>
#include <cstdint>
#include <string>

#include <xercesc/dom/DOMElement.hpp>

#include "runtime/RequestIds.h"
#include "runtime/Synchronized.h"

// Log modules of the service, in the order the service opens them.
enum VdmLogModule : int {
    VDM_LOG_MAIN = 0,         // "TessikVdm": core object and channels
    VDM_LOG_FINGERPRINT = 1,  // "Fingerprint": the fingerprint device
    VDM_LOG_IRIS = 2,         // "Iris": the iris device
};

// Log module of a modality's lines: fingerprint, iris, or the main module for any other value.
inline int VdmLogModuleOf(int deviceType) {
    return deviceType == 0 ? VDM_LOG_FINGERPRINT : deviceType == 1 ? VDM_LOG_IRIS : VDM_LOG_MAIN;
}

// Which devices are present and what they do; read and written only under statusLock.
struct CaptureInterlock {
    int fpDeviceStatus = 0;    // DeviceStatus: 0 none, 1 found and connecting, 2 added
    int irisDeviceStatus = 0;  // same for the iris side
    int fpCapturing = 0;       // 1 while the fingerprint device captures
    int irisCapturing = 0;     // 1 while the iris device captures
    int irisCalibrating = 0;   // 1 while the iris device calibrates
};

class CBaseNavikVdm {
public:
    CBaseNavikVdm() = default;
    CBaseNavikVdm(const CBaseNavikVdm&) = delete;
    CBaseNavikVdm& operator=(const CBaseNavikVdm&) = delete;
    virtual ~CBaseNavikVdm() = default;

    // DM channel, on its socket thread.
    virtual int ProcessDmSocketCloseEventCallback() = 0;
    virtual int ProcessDmSocketErrorEventCallback() = 0;
    // The first ConnectResponse element of a DM answer; valid only during the call.
    virtual int ProcessDmConnectResponseCallback(const xercesc::DOMElement* connectResponse) = 0;
    // A device whose library reports it disconnected (library thread).
    virtual int ProcessDeviceLostEventCallback(int modality, int lockFlag) = 0;
    // Configuration channel, on its socket thread.
    virtual int ProcessControllerConnectedCallback() = 0;
    virtual int SetVdmConfigCallback(const std::string& key, const std::string& value) = 0;
    virtual int StartDeviceCallback(int modality) = 0;
    virtual int StopDeviceCallback(int modality, int hold) = 0;
    virtual int RestartDeviceCallback(int modality) = 0;
    // 0 success, -2 unable, -3 a capture in progress, -4 the calibration failed.
    virtual int CalibrateDeviceCallback(int modality) = 0;
    // A device, when an enrolment client connects to its device channel or leaves it.
    virtual int ProcessDeviceClientConnectedCallback(int modality, const std::string& model,
                                                     const std::string& clientURI) = 0;
    virtual int ProcessDeviceClientGoneCallback(int modality, const std::string& model) = 0;

    // True once the core object terminates: long device work (a scanner's calibration) ends early.
    virtual bool IsTerminating() const { return false; }
    // Seconds since the epoch by the core object's clock, which stamps lastDmMessageTime.
    virtual int64_t NowSeconds() { return RequestIdNow(); }

    // Seconds since the epoch of the last data received on the DM channel.
    std::atomic<int64_t> lastDmMessageTime{0};
    Synchronized statusLock{"", VDM_LOG_MAIN};
    CaptureInterlock captureInterlock;
};
