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
    // What tells the fingerprint and iris devices apart in the steps they share: their words in the
    // core object's capture interlock, their code towards it, and the texts of their log lines.
    struct CaptureSide {
        int deviceType;                         // 0 fingerprint, 1 iris, in the reports to the core object
        int CaptureInterlock::*capturing;       // set while this device captures
        int CaptureInterlock::*otherCapturing;  // set while the other device captures
        int CaptureInterlock::*otherStatus;     // DeviceStatus of the other device (1: being added)
        const char* name;                       // "Trying to force <name> capture."
        const char* title;                      // "<title> capture success."
        const char* abortCall;                  // the library's abort, as its failure is logged
        int closeWhenIdle;                      // StopCapture closes the image channels also when idle
        const char* notInitialized;             // StartCapture refusals: this device is closed,
        const char* otherInitializing;          // the other device is being added,
        const char* otherBusy;                  // the other device keeps capturing,
        const char* otherBusyReason;            // and the failure word of the last one
    };

    // Gives the three channels the device object they call (null: none).
    void AttachChannels(IDevice* device);
    // The end of a derived destructor: no channel calls into the derived part any more, and all
    // three channels are closed.
    void DetachAndCloseChannels();
    // Sets DeviceState and, inside the state lock, the side's capturing word of the core object.
    int SetStateFor(const CaptureSide& side, int state);
    // A word of the core object's capture interlock, read under its statusLock.
    int ReadInterlock(int CaptureInterlock::*word);
    // CloseImageChannels of both device kinds: closes the image channels, stops a running capture
    // when asked, drops what the capture collected (`dropResults` may be empty) and the preview
    // table, and sets state 1.
    int CloseCaptureChannels(int stopCapture, const std::function<void()>& dropResults);
    // Logs "<op>: <function> failed, returned code: <code>".
    void LogFailure(int level, const char* op, const char* function, int code) const;
    // The library's initialization result: logged either way; 1 when it succeeded.
    int LibraryInitialized(const char* op, const char* function, int code) const;
    // Reads the device record and the library version into the capability record and logs the
    // connected device.
    void ReportConnected(const char* op);
    // Keeps the library's device record or version (when `code` is 0) and logs it; 1 or 0.
    int TakeDeviceInfo(const char* op, const char* function, int code, const ZarnDeviceInfo& info);
    int TakeApiVersion(const char* op, const char* function, int code, const ZarnApiVersion& version);
    // The end of StartCapture: the start call's code, then the first preview image.
    int CaptureStarted(const char* op, const CaptureSide& side, int code, std::string& failureReason);
    // ForceCapture: refused unless capturing, then the library's take and acquire calls.
    int ForceCaptureWith(const char* op, const CaptureSide& side, const std::function<int()>& take,
                         const std::function<int()>& acquire, std::string& failureReason);
    // StopCapture: aborts a running capture (state 1 whatever the code), then closes the image
    // channels, also without a capture when the side says so.
    int StopCaptureWith(const char* op, const CaptureSide& side, const std::function<int()>& abort,
                        std::string& failureReason);
    // StopCaptureIgnoreError: aborts whatever the state and sets state 1; logs only a stopped capture.
    void StopCaptureQuietly(const char* op, const CaptureSide& side, const std::function<int()>& abort);
    // ProcessStartCaptureCallback of both device kinds, under the device lock: waits up to 3 s for
    // a fetched result, refuses a closed device, marks this side capturing, refuses while the other
    // device is being added or keeps capturing (up to 100 polls in all), then runs `begin`. Any
    // refusal or failure leaves state 1.
    int StartCaptureUnderDeviceLock(const char* op, const CaptureSide& side,
                                    const std::function<int(std::string&)>& begin, std::string& failureReason);
    // The IDevice requests that are the same for both device kinds.
    int SubscribeUnderDeviceLock(const xercesc::DOMElement* subscribe, std::map<int, int>& categories);
    int StopCaptureUnderDeviceLock(std::string& failureReason);
    int ClientGone();
    int ResultChannelClosed();
    // GetFrame: `build` makes the record of the preview table under both preview locks (false:
    // nothing to send); the record goes out on the preview channel.
    int SendPreviewRecord(const std::string& requestId, const std::function<bool(unsigned char**, unsigned int*)>& build);
    // GetSample: under the result lock, `present` tells whether a result exists and `build` makes
    // its record; the record goes out on the result channel.
    int SendSampleRecord(const char* op, const CaptureSide& side, const std::string& requestId,
                         const std::function<bool()>& present,
                         const std::function<bool(unsigned char**, unsigned int*)>& build);
    // A preview frame from a library thread: kept under `key`, upright, in `buffer` (`size` bytes,
    // which the frame fits); dropped when the device lock is busy.
    void StorePreview(const char* op, int key, const ZarnImageInfo& image, unsigned char* buffer, size_t size);
    // A result from a library thread: takes the device lock while the capture runs (false, lock not
    // held, once it no longer does).
    bool LockWhileCapturing();
    // The capture is complete: opens the result channel, announces it, sets state 3 and releases
    // the device lock.
    void CompleteCapture();
    // The library reports the device connection (connected 0: lost): reported once to the core
    // object, without the device lock held; `lostText` is the whole log line but the URI.
    void DeviceConnection(int connected, const CaptureSide& side, const char* lostText);

    static void SleepMs(int ms);
    // An image whose pixels exist and number at most `limit`.
    static bool Fits(const ZarnImageInfo& image, size_t limit);
    // Copies width x height pixels, in reverse row order when the image's rows run bottom-up; the
    // copy's rows always run top-down.
    static void CopyUpright(unsigned char* target, const ZarnImageInfo& image);

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
    Synchronized resultLock;                // guards the derived device's result images
};
