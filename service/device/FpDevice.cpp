#include "device/FpDevice.h"

#include <thread>

#include "ISO19494.h"
#include "device/ZarnApi.h"
#include "platform/ThreadName.h"
#include "runtime/Log.h"
#include "xml/XmlMessage.h"

namespace {

constexpr int kLog = VDM_LOG_FINGERPRINT;
constexpr const char* kDeviceSocketName = "Fp Device Socket";

// Position texts and codes the device knows; single fingers are 22 + finger number.
struct PositionEntry {
    const char* text;
    int code;
};
constexpr PositionEntry kPositions[] = {
    {"RightSlap", 2},    {"LeftSlap", 3},    {"BothThumbs", 4},  {"RightThumb", 23}, {"RightIndex", 24},
    {"RightMiddle", 25}, {"RightRing", 26},  {"RightLittle", 27}, {"LeftThumb", 28},  {"LeftIndex", 29},
    {"LeftMiddle", 30},  {"LeftRing", 31},   {"LeftLittle", 32},
};

// Finger names in the order of the finger status table.
constexpr const char* kFingerNames[10] = {"RightThumb", "RightIndex", "RightMiddle", "RightRing", "RightLittle",
                                          "LeftThumb",  "LeftIndex",  "LeftMiddle",  "LeftRing",  "LeftLittle"};

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Watches the library's initialisation and calibration of a scanner being connected: once they
// have run for the limit, or at once when the service terminates, it asks the library once to end
// them (Zarn_Capture_Abort ends a calibration at its next frame wait); a calibration not yet begun
// is then not begun. One request only: an Abort that met the release of a scanner whose
// initialisation it had just ended would read a scanner being destroyed.
class ConnectWatchdog {
public:
    ConnectWatchdog(CBaseNavikVdm* owner, int limitMs)
        : thread_(platform::StartNamedThread("fp-connect", [this, owner, limitMs] { Watch(owner, limitMs); })) {}
    ~ConnectWatchdog() { Finish(); }
    ConnectWatchdog(const ConnectWatchdog&) = delete;
    ConnectWatchdog& operator=(const ConnectWatchdog&) = delete;
    // Ends the watch once the calls have returned.
    void Finish() {
        done_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    bool TimedOut() const { return timedOut_.load(); }
    bool Terminated() const { return terminated_.load(); }

private:
    void Watch(CBaseNavikVdm* owner, int limitMs) {
        const int64_t deadline = SteadyMs() + limitMs;
        while (!done_.load()) {
            if (owner != nullptr && owner->IsTerminating()) terminated_.store(true);
            else if (SteadyMs() >= deadline) timedOut_.store(true);
            if (terminated_.load() || timedOut_.load()) {
                FpApi().Zarn_Capture_Abort();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::atomic<bool> done_{false}, timedOut_{false}, terminated_{false};
    std::thread thread_;
};

}  // namespace

std::atomic<int> CFpDevice::connectLimitMs{CFpDevice::kConnectLimitMs};

const CBaseDevice::CaptureSide CFpDevice::kSide = {
    0,
    &CaptureInterlock::fpCapturing,
    &CaptureInterlock::irisCapturing,
    &CaptureInterlock::irisDeviceStatus,
    "fingerprint",
    "Fingerprint",
    "Zarn_Capture_Abort",
    0,
    "Cannot perform Fingerprint capture process because fingerprint device is not initialized.",
    "Cannot perform Fingerprint start capture process because Iris device is initializing.",
    "Cannot perform Fingerprint start capture process because Iris capture procedure is in progress.",
    "InvalidRequest_CaptureAlreadyInProgress",
};

CFpDevice::CFpDevice(const std::string& vdmName, CBaseNavikVdm* owner_, int modelCode_)
    : CBaseDevice(vdmName, owner_, "CFpDevice", kDeviceSocketName, "Fp Preview Socket", "Fp Result Socket", kLog),
      modelCode(modelCode_),
      previewBuffer(kPreviewBufferSize, 0),
      nowMs(&SteadyMs) {
    AttachChannels(this);
    ClearFingerStatus();
    capabilities.modality = modelCode == kModelVireoA ? "Fingerprint" : "FingerprintSlap";
    SetState(DEVICE_STATE_CLOSED);
}

CFpDevice::~CFpDevice() {
    if (openFlag.load() != 0) CFpDevice::Close();
    // No channel may call into this object while the base part goes.
    DetachAndCloseChannels();
}

// --- positions and fingers ---------------------------------------------------------------------

int CFpDevice::PositionCode(const std::string& text) {
    for (const auto& entry : kPositions) {
        if (text == entry.text) return entry.code;
    }
    return kPositionUnknown;
}

std::string CFpDevice::PositionName(int code) {
    for (const auto& entry : kPositions) {
        if (code == entry.code) return entry.text;
    }
    return "Unknown";
}

std::vector<int> CFpDevice::FingersOf(int code) {
    switch (code) {
    case ZARN_IMAGE_SLAP_RIGHT: return {1, 2, 3, 4};
    case ZARN_IMAGE_SLAP_LEFT: return {6, 7, 8, 9};
    case ZARN_IMAGE_TWO_THUMBS: return {0, 5};
    default:
        if (code >= ZARN_IMAGE_FLAT_FINGER_FIRST && code < ZARN_IMAGE_FLAT_FINGER_FIRST + 10)
            return {code - ZARN_IMAGE_FLAT_FINGER_FIRST};
        return {};
    }
}

void CFpDevice::ClearFingerStatus() {
    for (auto& status : fingerStatus) status.store(0);
}

int CFpDevice::SetBiometricStatus(int code) {
    if (modelCode == kModelVireoA &&
        (code == ZARN_IMAGE_SLAP_RIGHT || code == ZARN_IMAGE_SLAP_LEFT || code == ZARN_IMAGE_TWO_THUMBS)) {
        TSK_LOG(LOGLEVEL_WARNING, kLog,
                "CFpDevice::SetBiometricStatus: STR_VireoA does not support " << PositionName(code)
                                                                               << " biometric position.");
        return 0;
    }
    const std::vector<int> fingers = FingersOf(code);
    if (fingers.empty()) return 0;
    for (int finger : fingers) fingerStatus[finger].store(1);
    return 1;
}

int CFpDevice::SetMissingBiometric(const std::string& biometricPosition) {
    const std::vector<int> fingers = FingersOf(PositionCode(biometricPosition));
    if (fingers.empty()) return 0;
    for (int finger : fingers) fingerStatus[finger].store(2);
    return 1;
}

// --- state and channels --------------------------------------------------------------------------

int CFpDevice::SetState(int state) {
    return SetStateFor(kSide, state);
}

int CFpDevice::CloseImageChannels(int stopCapture) {
    return CloseCaptureChannels(stopCapture, {});
}

int CFpDevice::Open() {
    return OpenUnderDeviceLock();
}

int CFpDevice::Close() {
    return CloseUnderDeviceLock([] { FpApi().Zarn_Main_DeInitialize(); });
}

// --- library calls -------------------------------------------------------------------------------

int CFpDevice::Connect() {
    const char* op = "CFpDevice::Connect";
    FpApi().Zarn_Main_DeInitialize();
    ConnectWatchdog watchdog(owner, connectLimitMs.load());
    bool initialised = false;
    int result = ConnectLibrary(op, initialised, [&watchdog] { return watchdog.TimedOut() || watchdog.Terminated(); });
    // The release waits for the watchdog: an Abort must not meet the release of the scanner.
    watchdog.Finish();
    if (result == 0 && initialised) FpApi().Zarn_Main_DeInitialize();
    connectTimedOut.store(!watchdog.Terminated() && watchdog.TimedOut());
    if (watchdog.Terminated()) {
        TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": The scanner's initialisation was cut short: the service terminates.");
    } else if (watchdog.TimedOut()) {
        TSK_LOG(LOGLEVEL_WARNING, kLog,
                op << ": The scanner did not finish its initialisation and calibration within "
                   << connectLimitMs.load() / 1000
                   << " s: something on its glass (a hand?) keeps the calibration from finding the empty platen. "
                      "The scanner is tried again once a look at its platen finds it empty.");
    }
    if (result != 0 && (watchdog.Terminated() || watchdog.TimedOut())) {
        // Cut short just as the calls were ending: the scanner is not taken all the same.
        FpApi().Zarn_Main_DeInitialize();
        return 0;
    }
    return result;
}

bool CFpDevice::LookAtPlaten(CBaseNavikVdm* owner, int modelCode) {
    const ZarnFpApi& api = FpApi();
    TSK_LOG(LOGLEVEL_DBG1, kLog, "CFpDevice::LookAtPlaten: Looking at the platen of the scanner.");
    api.Zarn_Main_DeInitialize();
    ConnectWatchdog watchdog(owner, connectLimitMs.load());
    if (api.Zarn_Main_Initialize(modelCode) != 0) return false;
    const bool calibrated = !watchdog.TimedOut() && !watchdog.Terminated() && api.Zarn_Capture_Calibration() == 0;
    // The release waits for the watchdog: an Abort must not meet the release of the scanner.
    watchdog.Finish();
    api.Zarn_Main_DeInitialize();
    return calibrated && !watchdog.TimedOut() && !watchdog.Terminated();
}

int CFpDevice::ConnectLibrary(const char* op, bool& initialised, const std::function<bool()>& cutShort) {
    const ZarnFpApi& api = FpApi();
    if (LibraryInitialized(op, "Zarn_Main_Initialize", api.Zarn_Main_Initialize(modelCode)) == 0) return 0;
    initialised = true;
    api.Zarn_Capture_RegisterCallbackPreviewImage(&OnPreviewImageAvailable, this);
    api.Zarn_Capture_RegisterCallbackTakingResultImage(&OnTakingResultImage, this);
    api.Zarn_Capture_RegisterCallbackResultImage(&OnResultImageAvailable, this);
    api.Zarn_Capture_RegisterCallbackFootSwitch(&OnFootSwitch, this);
    api.Zarn_Capture_RegisterCallbackObjectQuality(&OnObjectQuality, this);
    api.Zarn_Capture_RegisterCallbackDeviceIsConnected(&OnDeviceIsConnected, this);
    int rc = api.Zarn_Capture_SetRollParameters(100, 1, 25000, 0.202f, 36, -400, 500);
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_SetRollParameters", rc);
        return 0;
    }
    if (cutShort()) return 0;
    rc = api.Zarn_Capture_Calibration();
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_Calibration", rc);
        return 0;
    }
    ReportConnected(op);
    return 1;
}

int CFpDevice::GetDeviceInfo() {
    ZarnDeviceInfo info{};
    const int rc = FpApi().Zarn_Main_GetDeviceInfo(&info);
    return TakeDeviceInfo("CFpDevice::GetDeviceInfo", "Zarn_Main_GetDeviceInfo", rc, info);
}

int CFpDevice::GetApiVersion() {
    ZarnApiVersion version{};
    const int rc = FpApi().Zarn_Main_GetAPIVersion(&version);
    return TakeApiVersion("CFpDevice::GetApiVersion", "Zarn_Main_GetAPIVersion", rc, version);
}

int CFpDevice::SetCaptureMode() {
    const int ppi = chosenSampleFormat != nullptr && chosenSampleFormat->pixelResolution == 1000 ? 1000 : 500;
    int width = 0, height = 0, xres = 0, yres = 0;
    const int rc = FpApi().Zarn_Capture_SetMode(positionCode.load(), ppi, 1, 0, &width, &height, &xres, &yres);
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, "CFpDevice::SetCaptureMode", "Zarn_Capture_SetMode", rc);
        return 0;
    }
    return 1;
}

int CFpDevice::StartCapture(int, std::string& failureReason) {
    const char* op = "CFpDevice::StartCapture";
    const int code = positionCode.load();
    int count = 0;
    for (int finger : FingersOf(code)) count += fingerStatus[finger].load() == 1 ? 1 : 0;
    TSK_LOG(LOGLEVEL_INFO, kLog,
            op << ": Trying to start fingerprint capture, finger position:" << PositionName(code)
               << ", finger count:" << count);
    if (count == 0) {
        TSK_LOG(LOGLEVEL_WARNING, kLog, op << ": No Biometrics need to be capture because finger count is 0");
        failureReason = "InvalidRequest_ParameterValueInvalid";
        return 0;
    }
    biometricCount.store(count);
    if (SetCaptureMode() == 0) {
        failureReason = "InvalidRequest_ParameterValueInvalid";
        return 0;
    }
    const ZarnFpApi& api = FpApi();
    api.Zarn_Capture_SetAutoCapInfo(250, 230, 1.0, 12, 2, 10, 10, 15, 3000);
    return CaptureStarted(op, kSide, api.Zarn_Capture_Start(count, 1), failureReason);
}

int CFpDevice::ForceCapture(std::string& failureReason) {
    const ZarnFpApi& api = FpApi();
    if (ForceCaptureWith(
            "CFpDevice::ForceCapture", kSide, [&api] { return api.Zarn_Capture_TakeResultImage(); },
            [&api] { return api.Zarn_Capture_AcquireResultImage(); }, failureReason) == 0)
        return 0;
    api.Zarn_Capture_SetCaptureOK();
    return 1;
}

int CFpDevice::StopCapture(std::string& failureReason) {
    return StopCaptureWith("CFpDevice::StopCapture", kSide, [] { return FpApi().Zarn_Capture_Abort(); },
                           failureReason);
}

void CFpDevice::StopCaptureIgnoreError() {
    StopCaptureQuietly("CFpDevice::StopCaptureIgnoreError", kSide, [] { return FpApi().Zarn_Capture_Abort(); });
}

// --- requests from the channels ----------------------------------------------------------------

int CFpDevice::ProcessSubscribeCallback(const xercesc::DOMElement* subscribe, const std::string&, std::string&,
                                        std::map<int, int>& categories) {
    return SubscribeUnderDeviceLock(subscribe, categories);
}

int CFpDevice::ProcessStartCaptureCallback(const xercesc::DOMElement* startCapture, const std::string&,
                                           std::string& failureReason, std::string& videoURI) {
    const char* op = "CFpDevice::ProcessStartCaptureCallback";
    return StartCaptureUnderDeviceLock(op, kSide, [&](std::string& reason) {
        CloseImageChannels(0);
        SetState(DEVICE_STATE_CAPTURING);
        ClearFingerStatus();
        const std::string position = GetXmlAttribute(startCapture, "biometricPosition");
        positionCode.store(PositionCode(position));
        if (SetBiometricStatus(positionCode.load()) == 0) {
            TSK_LOG(LOGLEVEL_WARNING, kLog, op << ": Invalid biometric position:" << position);
            reason = "InvalidRequest_ParameterValueInvalid";
            return 0;
        }
        lastFeedbackMs.store(nowMs());
        return _ProcessStartCaptureCallback(videoURI, startCapture, reason);
    }, failureReason);
}

int CFpDevice::ProcessForceCaptureCallback(const std::string&, std::string& failureReason) {
    return _ProcessForceCaptureCallback(failureReason);
}

int CFpDevice::ProcessStopCaptureCallback(const std::string&, std::string& failureReason) {
    return StopCaptureUnderDeviceLock(failureReason);
}

int CFpDevice::ProcessClientConnectedCallback() {
    return _ProcessClientConnectedCallback(kSide.deviceType);
}

int CFpDevice::ProcessSocketDeviceCloseEventCallback() {
    return DeviceChannelGone("CFpDevice::ProcessSocketDeviceCloseEventCallback", kDeviceSocketName,
                             ": Connection closed from client, ", kSide.deviceType);
}

int CFpDevice::ProcessSocketDeviceErrorEventCallback() {
    return DeviceChannelGone("CFpDevice::ProcessSocketDeviceErrorEventCallback", kDeviceSocketName,
                             ": Connection lost with client, ", kSide.deviceType);
}

int CFpDevice::ProcessClientGoneCallback() {
    return ClientGone();
}

int CFpDevice::ProcessGetFrameCallback(const std::string& requestId) {
    return SendPreviewRecord(requestId, [this](unsigned char** record, unsigned int* length) {
        if (previewImages.empty()) return false;
        std::vector<IsoImageItem> items;
        for (const auto& [code, image] : previewImages) items.push_back({code, image});
        return CISO19494_4::GenerateIsoFir(items, record, length, 0, 0, 0, 1, 500, 500, 500, 500);
    });
}

int CFpDevice::ProcessGetSampleImageCallback(const std::string& requestId) {
    return SendSampleRecord(
        "CFpDevice::ProcessGetSampleImageCallback", kSide, requestId, [this] { return resultImage.image != nullptr; },
        [this](unsigned char** record, unsigned int* length) {
            const ZarnImageInfo& image = resultImage;
            const int pixelCount = image.width > 0 && image.height > 0 ? image.width * image.height : 0;
            std::vector<unsigned char> upright;
            const unsigned char* pixels = image.image;
            if (image.rowOrder < 0 && pixelCount > 0) {
                upright.resize(static_cast<size_t>(pixelCount));
                CopyUpright(upright.data(), image);
                pixels = upright.data();
            }
            return CISO19494_4::GenerateIsoFir(CISO19494_4::PositionFromImageType(positionCode.load()), image.width,
                                               image.height, pixels, pixelCount, record, length);
        });
}

int CFpDevice::ProcessSocketPreviewCloseEventCallback() {
    return 1;
}

int CFpDevice::ProcessSocketPreviewErrorEventCallback() {
    return ProcessSocketPreviewCloseEventCallback();
}

int CFpDevice::ProcessSocketResultCloseEventCallback() {
    return ResultChannelClosed();
}

int CFpDevice::ProcessSocketResultErrorEventCallback() {
    return ProcessSocketResultCloseEventCallback();
}

// --- library callbacks ---------------------------------------------------------------------------

void CFpDevice::OnPreviewImageAvailable(void* context, ZarnImageInfo image) {
    if (context != nullptr) static_cast<CFpDevice*>(context)->PreviewImageAvailable(image);
}

void CFpDevice::OnTakingResultImage(void*) {
    FpApi().Zarn_Controls_Beeper(3);
}

void CFpDevice::OnResultImageAvailable(void* context, int status, ZarnImageInfo image, int, int) {
    if (context != nullptr) static_cast<CFpDevice*>(context)->ResultImageAvailable(status, image);
}

void CFpDevice::OnFootSwitch(void*) {
    FpApi().Zarn_Controls_Beeper(2);
}

void CFpDevice::OnObjectQuality(void* context, int state, int* quality, int count) {
    if (context != nullptr) static_cast<CFpDevice*>(context)->ObjectQuality(state, quality, count);
}

void CFpDevice::OnDeviceIsConnected(void* context, int connected) {
    if (context != nullptr) static_cast<CFpDevice*>(context)->DeviceIsConnected(connected);
}

void CFpDevice::PreviewImageAvailable(const ZarnImageInfo& image) {
    const char* op = "CFpDevice::OnPreviewImageAvailable";
    firstPreview.store(1);
    ZarnRunningInfo running{};
    if (FpApi().Zarn_Main_GetRunningInfo(&running) == 0 && running.fingerprint.resultTaken != 0 &&
        running.fingerprint.finished == 0) {
        FpApi().Zarn_Controls_Beeper(running.fingerprint.captureStatus == 0 ? 3 : 6);
        return;
    }
    // Only frames that fit the preview buffer are kept; the previous frame stays otherwise.
    if (!Fits(image, kPreviewBufferSize)) {
        TSK_LOG(LOGLEVEL_DBG1, kLog,
                op << ": Preview image " << image.width << "x" << image.height << " dropped: it does not fit.");
        return;
    }
    StorePreview(op, positionCode.load(), image, previewBuffer.data(), previewBuffer.size());
}

void CFpDevice::ObjectQuality(int state, const int* quality, int count) {
    if (subscribedUserFeedback.load() == 0) return;
    if (nowMs() - lastFeedbackMs.load() < 1000) return;
    // The quality callback runs on the library's image thread, which a stop's abort waits for while
    // it holds the device lock: waiting here for that lock would stall the abort and leave the
    // image thread stuck into the next capture. A busy lock drops this feedback instead.
    if (openFlag.load() == 0 || !deviceLock.trylock()) return;
    std::vector<UserFeedbackItem> items;
    if (state == 1) {
        items.push_back({"", 7, "Too many fingers detected."});
    } else if (state == 2) {
        items.push_back({"", 7, "Too few fingers detected."});
    } else if (quality != nullptr) {
        const std::vector<int> fingers = FingersOf(positionCode.load());
        for (int i = 0; i < count; ++i) {
            UserFeedbackItem item;
            switch (quality[i]) {
            case 0: item.action = 0; break;
            case 2: item.action = 5; break;
            case 3: item.action = 6; break;
            case 5:
                item.action = 7;
                item.description = "Press harder or move the finger to center.";
                break;
            default: continue;
            }
            const bool known = i < static_cast<int>(fingers.size()) && fingerStatus[fingers[i]].load() == 1;
            item.biometricPosition = known ? kFingerNames[fingers[i]] : "Unknown";
            items.push_back(item);
        }
    }
    if (!items.empty()) {
        lastFeedbackMs.store(nowMs());
        deviceSocket.SendUserFeedbackDeviceEventRequest(items);
    }
    deviceLock.unlock();
}

void CFpDevice::ResultImageAvailable(int status, const ZarnImageInfo& image) {
    if (GetState() != DEVICE_STATE_CAPTURING) return;
    FpApi().Zarn_Controls_Beeper(status >= 0 ? 3 : 1);
    resultLock.lock();
    resultImage = image;
    resultLock.unlock();
    if (LockWhileCapturing()) CompleteCapture();
}

void CFpDevice::DeviceIsConnected(int connected) {
    DeviceConnection(connected, kSide,
                     "CFpDevice::OnDeviceIsConnected: Detected a fingerprint device connection lost on URI: ");
}
