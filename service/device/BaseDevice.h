#pragma once
// Common part of the fingerprint and iris device objects: the device, preview and result channels,
// the device's locks and state, its capability record read from the capability file, the Arrival
// body announced to the Device Manager, and the request parsing that is the same for both
// modalities (subscriptions, StartCapture, the manual-capture gate of ForceCapture).
//
// A derived class also derives from IDevice, gives the three channels its IDevice pointer, and
// supplies the library calls (Connect, StartCapture, ForceCapture, StopCapture, GetApiVersion,
// GetDeviceInfo, SetMissingBiometric) and SetState.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include <xercesc/dom/DOMDocument.hpp>

#include "BaseNavikVdm.h"
#include "device/DeviceArrival.h"
#include "device/SocketDevice.h"
#include "image/SocketVideo.h"
#include "runtime/Synchronized.h"
#include "zarn/ZarnTypes.h"

// DeviceState of a device object.
enum DeviceState : int {
    DEVICE_STATE_CLOSED = 0,
    DEVICE_STATE_READY = 1,
    DEVICE_STATE_CAPTURING = 2,
    DEVICE_STATE_RESULT_READY = 3,
};

// Subscription categories of a Subscribe answer.
enum SubscribeCategory : int {
    CATEGORY_DETECTION = 0,
    CATEGORY_USER_FEEDBACK = 1,
    CATEGORY_GRAPHICAL_FEEDBACK = 2,
    CATEGORY_CAPTURE_COMPLETION = 3,
};

class CBaseDevice {
public:
    // The channel ports of a device: drawn at random from 5000 up to, not including, 10000.
    static constexpr int kMinPort = 5000;
    static constexpr int kMaxPort = 10000;

    CBaseDevice(const std::string& vdmName, CBaseNavikVdm* owner, const std::string& className,
                const std::string& deviceSocketName, const std::string& previewSocketName,
                const std::string& resultSocketName, int logModule);
    CBaseDevice(const CBaseDevice&) = delete;
    CBaseDevice& operator=(const CBaseDevice&) = delete;
    // Closes the device channels when still open; a derived class closes itself in its own
    // destructor first.
    virtual ~CBaseDevice();

    // Connects the library, opens the device channel at VdmIP and builds the Arrival body; 1 at
    // once when already open, 0 on any failure.
    virtual int Open();
    // Closes the device channel and the image channels and drops the Arrival body.
    virtual int Close();
    virtual int SetState(int state) = 0;
    // Closes both image channels and clears the biometric count and the first-preview flag.
    virtual int CloseImageChannels(int stopCapture);
    virtual int Connect() = 0;
    virtual int StartCapture(int flag, std::string& failureReason) = 0;
    virtual int ForceCapture(std::string& failureReason) = 0;
    virtual int StopCapture(std::string& failureReason) = 0;
    virtual int GetApiVersion() = 0;
    virtual int GetDeviceInfo() = 0;
    // 1 when the device knows the position, 0 otherwise.
    virtual int SetMissingBiometric(const std::string& biometricPosition) = 0;
    // Reads the capability file and builds the Arrival body; 1 or 0.
    virtual int ReadConfigFiles();
    // Calls the library's abort whatever the state and sets state 1.
    virtual void StopCaptureIgnoreError() = 0;

    // How long a started capture may wait for its first preview image.
    static constexpr int kFirstPreviewTimeoutMs = 10000;
    void SetFirstPreviewTimeoutMs(int ms) { firstPreviewTimeoutMs.store(ms); }

    std::string GetDeviceURI() const;
    std::string GetModel() const { return capabilities.deviceModel; }
    // The Arrival body the DM channel sends (null when not built); the device keeps it.
    xercesc::DOMDocument* GetArrivalDocument() const { return arrivalDocument; }
    const CDeviceArrival& GetCapabilities() const { return capabilities; }
    const CSampleFormat* GetChosenSampleFormat() const { return chosenSampleFormat; }
    int GetAllowManualCapture() const { return allowManualCapture.load(); }
    int IsOpen() const { return openFlag.load(); }
    int GetState();
    CSocketDevice& GetDeviceSocket() { return deviceSocket; }
    CSocketVideo& GetPreviewSocket() { return previewSocket; }
    CSocketVideo& GetResultSocket() { return resultSocket; }
    Synchronized& GetDeviceLock() { return deviceLock; }

    // A text field of a library record: up to its NUL within the field, cut at the first byte that
    // is not printable ASCII, as the texts go into XML attributes.
    static std::string DeviceText(const char* field, size_t size);
    // The configured address of the device's channels (VdmIP; empty when missing).
    static std::string ReadVdmIP();

protected:
    // Parts of the IDevice operations that both device kinds share.
    int _ProcessClientConnectedCallback(int deviceType);
    int _ProcessSubscribeCallback(const xercesc::DOMElement* subscribe, std::map<int, int>& categories);
    int _ProcessStartCaptureCallback(std::string& videoURI, const xercesc::DOMElement* startCapture,
                                     std::string& failureReason);
    int _ProcessForceCaptureCallback(std::string& failureReason);
    // Fill the capability record from the library's records.
    void StoreDeviceInfo(const ZarnDeviceInfo& info);
    void StoreApiVersion(const ZarnApiVersion& version);
    // Opens the result channel as the preview channel is opened; 1 or 0.
    int OpenResultChannel();
    void ReleaseArrivalDocument();
    // Open and Close of both device kinds: Open takes the device lock without waiting (a device being
    // opened elsewhere answers 0) and closes again on failure; Close closes the device channel
    // first, outside the device lock (its socket thread may wait for that lock in a request, and
    // closing joins it), then the image channels and the library (deinitialize), and sets state 0
    // last, as a closed device must never read as ready.
    int OpenUnderDeviceLock();
    int CloseUnderDeviceLock(const std::function<void()>& deinitialize);
    // Empties the preview table under both preview locks.
    void ClearPreviewTable();
    // Waits for the first preview image of a started capture; on the bound, stops the capture and
    // gives 0 with "UnableToPerformRequest".
    int WaitForFirstPreview(const char* op, std::string& failureReason);
    // The device channel closed or failed: closes the image channels (stopping a capture) under the
    // device lock, then tells the core object (deviceType 0 fingerprint, 1 iris) without it.
    int DeviceChannelGone(const char* op, const char* socketName, const char* what, int deviceType);

    Synchronized deviceLock;
    CSocketDevice deviceSocket;
    CSocketVideo previewSocket;
    CSocketVideo resultSocket;
    std::atomic<int> subscribedDetection{0};
    std::atomic<int> subscribedUserFeedback{0};
    std::atomic<int> subscribedGraphicalFeedback{0};
    xercesc::DOMDocument* arrivalDocument = nullptr;
    std::atomic<int> openFlag{0};
    CDeviceArrival capabilities;
    std::atomic<int> allowManualCapture{1};
    std::atomic<int> biometricCount{0};
    std::atomic<int64_t> captureStartTime{0};
    CBaseNavikVdm* const owner;
    const CSampleFormat* chosenSampleFormat = nullptr;
    Synchronized previewInnerLock;
    Synchronized previewOuterLock;
    std::atomic<int> firstPreview{0};
    std::map<int, ZarnImageInfo> previewImages;  // under preview_inner
    std::atomic<int> firstPreviewTimeoutMs{kFirstPreviewTimeoutMs};
    const int logModule;
    Synchronized stateLock;
    int deviceState = DEVICE_STATE_CLOSED;  // under stateLock
};
