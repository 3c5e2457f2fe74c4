#include "device/FpDevice.h"

#include <cstdlib>
#include <cstring>
#include <thread>

#include "ISO19494.h"
#include "device/ZarnApi.h"
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

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void LogFailure(int level, const char* op, const char* function, int code) {
    TSK_LOG(level, kLog, op << ": " << function << " failed, returned code: " << code);
}

// Copies the rows of an image in reverse order (bottom-up rows become top-down).
void CopyRowsReversed(unsigned char* target, const unsigned char* source, int width, int height) {
    for (int row = 0; row < height; ++row) {
        std::memcpy(target + static_cast<size_t>(row) * width,
                    source + static_cast<size_t>(height - 1 - row) * width, static_cast<size_t>(width));
    }
}

}  // namespace

CFpDevice::CFpDevice(const std::string& vdmName, CBaseNavikVdm* owner_, int modelCode_)
    : CBaseDevice(vdmName, owner_, "CFpDevice", kDeviceSocketName, "Fp Preview Socket", "Fp Result Socket", kLog),
      modelCode(modelCode_),
      previewBuffer(kPreviewBufferSize, 0),
      resultLock("", kLog),
      nowMs(&SteadyMs) {
    deviceSocket.SetDevice(this);
    previewSocket.SetDevice(this);
    resultSocket.SetDevice(this);
    ClearFingerStatus();
    capabilities.modality = modelCode == kModelVireoA ? "Fingerprint" : "FingerprintSlap";
    stateLock.lock();
    deviceState = DEVICE_STATE_CLOSED;
    stateLock.unlock();
    if (owner != nullptr) {
        owner->statusLock.lock();
        owner->captureInterlock.fpCapturing = 0;
        owner->statusLock.unlock();
    }
}

CFpDevice::~CFpDevice() {
    if (openFlag.load() != 0) CFpDevice::Close();
    // No channel may call into this object while the base part goes.
    deviceSocket.SetDevice(nullptr);
    previewSocket.SetDevice(nullptr);
    resultSocket.SetDevice(nullptr);
    deviceSocket.Close(1);
    previewSocket.Close(1);
    resultSocket.Close(1);
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
    stateLock.lock();
    deviceState = state;
    if (owner != nullptr) {
        owner->statusLock.lock();
        owner->captureInterlock.fpCapturing = state == DEVICE_STATE_CAPTURING ? 1 : 0;
        owner->statusLock.unlock();
    }
    stateLock.unlock();
    return 1;
}

int CFpDevice::CloseImageChannels(int stopCapture) {
    CBaseDevice::CloseImageChannels(stopCapture);
    if (stopCapture != 0) StopCaptureIgnoreError();
    ClearPreviewTable();
    SetState(DEVICE_STATE_READY);
    return 1;
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
    const ZarnFpApi& api = FpApi();
    api.Zarn_Main_DeInitialize();
    int rc = api.Zarn_Main_Initialize(modelCode);
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Main_Initialize", rc);
        return 0;
    }
    TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Zarn_Main_Initialize success");
    api.Zarn_Capture_RegisterCallbackPreviewImage(&OnPreviewImageAvailable, this);
    api.Zarn_Capture_RegisterCallbackTakingResultImage(&OnTakingResultImage, this);
    api.Zarn_Capture_RegisterCallbackResultImage(&OnResultImageAvailable, this);
    api.Zarn_Capture_RegisterCallbackFootSwitch(&OnFootSwitch, this);
    api.Zarn_Capture_RegisterCallbackObjectQuality(&OnObjectQuality, this);
    api.Zarn_Capture_RegisterCallbackDeviceIsConnected(&OnDeviceIsConnected, this);
    rc = api.Zarn_Capture_SetRollParameters(100, 1, 25000, 0.202f, 36, -400, 500);
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_SetRollParameters", rc);
        api.Zarn_Main_DeInitialize();
        return 0;
    }
    rc = api.Zarn_Capture_Calibration();
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_Calibration", rc);
        api.Zarn_Main_DeInitialize();
        return 0;
    }
    GetDeviceInfo();
    GetApiVersion();
    TSK_LOG(LOGLEVEL_INFO, kLog,
            op << ": Successfully connected to " << capabilities.deviceModel << " " << capabilities.serialNumber
               << " device");
    return 1;
}

int CFpDevice::GetDeviceInfo() {
    ZarnDeviceInfo info{};
    const int rc = FpApi().Zarn_Main_GetDeviceInfo(&info);
    if (rc != 0) {
        LogFailure(LOGLEVEL_WARNING, "CFpDevice::GetDeviceInfo", "Zarn_Main_GetDeviceInfo", rc);
        return 0;
    }
    StoreDeviceInfo(info);
    TSK_LOG(LOGLEVEL_DBG1, kLog,
            "CFpDevice::GetDeviceInfo: DeviceModel=" << capabilities.deviceModel << " FirmwareRev="
                                                     << capabilities.firmwareRev << " SerialNumber="
                                                     << capabilities.serialNumber);
    return 1;
}

int CFpDevice::GetApiVersion() {
    ZarnApiVersion version{};
    const int rc = FpApi().Zarn_Main_GetAPIVersion(&version);
    if (rc != 0) {
        LogFailure(LOGLEVEL_WARNING, "CFpDevice::GetApiVersion", "Zarn_Main_GetAPIVersion", rc);
        return 0;
    }
    StoreApiVersion(version);
    TSK_LOG(LOGLEVEL_DBG1, kLog,
            "CFpDevice::GetApiVersion: DeviceMake=" << capabilities.deviceMake << " HardwareRev="
                                                    << capabilities.hardwareRev);
    return 1;
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
    const int rc = api.Zarn_Capture_Start(count, 1);
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_Start", rc);
        failureReason = "UnableToPerformRequest";
        return 0;
    }
    // The first frame shows the scanner really streams; a dead camera must not hold the channel.
    if (WaitForFirstPreview(op, failureReason) == 0) return 0;
    TSK_LOG(LOGLEVEL_INFO, kLog, op << ": Fingerprint capture is started successfully.");
    return 1;
}

int CFpDevice::ForceCapture(std::string& failureReason) {
    const char* op = "CFpDevice::ForceCapture";
    TSK_LOG(LOGLEVEL_INFO, kLog, op << ": Trying to force fingerprint capture.");
    if (GetState() != DEVICE_STATE_CAPTURING) {
        TSK_LOG(LOGLEVEL_WARNING, kLog, op << ": Capture has not started yet.");
        failureReason = "UnableToPerformRequest";
        return 0;
    }
    const ZarnFpApi& api = FpApi();
    int rc = api.Zarn_Capture_TakeResultImage();
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_TakeResultImage", rc);
        failureReason = "UnableToPerformRequest";
        return 0;
    }
    rc = api.Zarn_Capture_AcquireResultImage();
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_AcquireResultImage", rc);
        failureReason = "UnableToPerformRequest";
        return 0;
    }
    TSK_LOG(LOGLEVEL_INFO, kLog, op << ": Fingerprint capture success.");
    api.Zarn_Capture_SetCaptureOK();
    return 1;
}

int CFpDevice::StopCapture(std::string& failureReason) {
    const char* op = "CFpDevice::StopCapture";
    TSK_LOG(LOGLEVEL_INFO, kLog, op << ": Trying to stop fingerprint capture.");
    if (GetState() != DEVICE_STATE_CAPTURING) return 1;
    const int rc = FpApi().Zarn_Capture_Abort();
    SetState(DEVICE_STATE_READY);
    int result = 1;
    if (rc == 0) {
        TSK_LOG(LOGLEVEL_INFO, kLog, op << ": Fingerprint capture stopped.");
    } else {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_Abort", rc);
        failureReason = "UnableToPerformRequest";
        result = 0;
    }
    CloseImageChannels(0);
    return result;
}

void CFpDevice::StopCaptureIgnoreError() {
    const int wasCapturing = GetState() == DEVICE_STATE_CAPTURING;
    const int rc = FpApi().Zarn_Capture_Abort();
    if (wasCapturing && rc == 0) {
        TSK_LOG(LOGLEVEL_DBG1, kLog, "CFpDevice::StopCaptureIgnoreError: Fingerprint capture stopped.");
    }
    SetState(DEVICE_STATE_READY);
}

// --- requests from the channels ----------------------------------------------------------------

int CFpDevice::ProcessSubscribeCallback(const xercesc::DOMElement* subscribe, const std::string&, std::string&,
                                        std::map<int, int>& categories) {
    deviceLock.lock();
    const int result = _ProcessSubscribeCallback(subscribe, categories);
    deviceLock.unlock();
    return result;
}

int CFpDevice::ProcessStartCaptureCallback(const xercesc::DOMElement* startCapture, const std::string&,
                                           std::string& failureReason, std::string& videoURI) {
    const char* op = "CFpDevice::ProcessStartCaptureCallback";
    deviceLock.lock();
    int polls = 0;
    int state = GetState();
    // A result the client still fetches: give it up to 3 s to close the result channel.
    while (state == DEVICE_STATE_RESULT_READY && polls < 100) {
        Sleep(30);
        ++polls;
        state = GetState();
    }
    if (state == DEVICE_STATE_CLOSED) {
        TSK_LOG(LOGLEVEL_WARNING, kLog,
                op << ": Cannot perform Fingerprint capture process because fingerprint device is not initialized.");
        failureReason = "Aborted";
        deviceLock.unlock();
        return 0;
    }
    int result = 0;
    owner->statusLock.lock();
    owner->captureInterlock.fpCapturing = 1;
    const int irisAdding = owner->captureInterlock.irisDeviceStatus == 1;
    owner->statusLock.unlock();
    if (irisAdding) {
        TSK_LOG(LOGLEVEL_WARNING, kLog,
                op << ": Cannot perform Fingerprint start capture process because Iris device is initializing.");
        failureReason = "Aborted";
    } else {
        auto irisCapturing = [this] {
            owner->statusLock.lock();
            const int capturing = owner->captureInterlock.irisCapturing;
            owner->statusLock.unlock();
            return capturing != 0;
        };
        bool busy = irisCapturing();
        while (busy && polls < 100) {
            Sleep(70);
            ++polls;
            busy = irisCapturing();
        }
        if (busy) {
            TSK_LOG(LOGLEVEL_WARNING, kLog,
                    op << ": Cannot perform Fingerprint start capture process because Iris capture procedure is in "
                          "progress.");
            failureReason = "InvalidRequest_CaptureAlreadyInProgress";
        } else {
            CloseImageChannels(0);
            SetState(DEVICE_STATE_CAPTURING);
            ClearFingerStatus();
            const std::string position = GetXmlAttribute(startCapture, "biometricPosition");
            positionCode.store(PositionCode(position));
            if (SetBiometricStatus(positionCode.load()) == 0) {
                TSK_LOG(LOGLEVEL_WARNING, kLog, op << ": Invalid biometric position:" << position);
                failureReason = "InvalidRequest_ParameterValueInvalid";
            } else {
                lastFeedbackMs.store(nowMs());
                result = _ProcessStartCaptureCallback(videoURI, startCapture, failureReason);
            }
        }
    }
    if (result == 0) SetState(DEVICE_STATE_READY);
    deviceLock.unlock();
    return result;
}

int CFpDevice::ProcessForceCaptureCallback(const std::string&, std::string& failureReason) {
    return _ProcessForceCaptureCallback(failureReason);
}

int CFpDevice::ProcessStopCaptureCallback(const std::string&, std::string& failureReason) {
    deviceLock.lock();
    const int result = StopCapture(failureReason);
    deviceLock.unlock();
    return result;
}

int CFpDevice::ProcessClientConnectedCallback() {
    return _ProcessClientConnectedCallback(0);
}

int CFpDevice::ProcessSocketDeviceCloseEventCallback() {
    return DeviceChannelGone("CFpDevice::ProcessSocketDeviceCloseEventCallback", kDeviceSocketName,
                             ": Connection closed from client, ", 0);
}

int CFpDevice::ProcessSocketDeviceErrorEventCallback() {
    return DeviceChannelGone("CFpDevice::ProcessSocketDeviceCloseEventCallback", kDeviceSocketName,
                             ": Connection lost with client, ", 0);
}

int CFpDevice::ProcessClientGoneCallback() {
    deviceLock.lock();
    if (GetState() == DEVICE_STATE_CAPTURING) StopCaptureIgnoreError();
    CloseImageChannels(0);
    deviceLock.unlock();
    return 1;
}

int CFpDevice::ProcessGetFrameCallback(const std::string& requestId) {
    previewOuterLock.lock();
    previewInnerLock.lock();
    if (previewImages.empty()) {
        previewInnerLock.unlock();
        previewOuterLock.unlock();
        return 0;
    }
    std::vector<IsoImageItem> items;
    for (const auto& [code, image] : previewImages) items.push_back({code, image});
    unsigned char* record = nullptr;
    unsigned int length = 0;
    const bool built = CISO19494_4::GenerateIsoFir(items, &record, &length, 0, 0, 0, 1, 500, 500, 500, 500);
    previewInnerLock.unlock();
    if (built) previewSocket.SendImage(record, length, requestId, MID_GetFrame);
    previewOuterLock.unlock();
    std::free(record);
    return built ? 1 : 0;
}

int CFpDevice::ProcessGetSampleImageCallback(const std::string& requestId) {
    const char* op = "CFpDevice::ProcessGetSampleImageCallback";
    resultLock.lock();
    const ZarnImageInfo image = resultImage;
    if (image.image == nullptr) {
        resultLock.unlock();
        TSK_LOG(LOGLEVEL_WARNING, kLog, op << ": Received the get sample image request, but the result image is not exist.");
        return 0;
    }
    const int pixelCount = image.width > 0 && image.height > 0 ? image.width * image.height : 0;
    std::vector<unsigned char> reversed;
    const unsigned char* pixels = image.image;
    if (image.rowOrder < 0 && pixelCount > 0) {
        reversed.resize(static_cast<size_t>(pixelCount));
        CopyRowsReversed(reversed.data(), image.image, image.width, image.height);
        pixels = reversed.data();
    }
    unsigned char* record = nullptr;
    unsigned int length = 0;
    const bool built =
        CISO19494_4::GenerateIsoFir(CISO19494_4::PositionFromImageType(positionCode.load()), image.width,
                                    image.height, pixels, pixelCount, &record, &length);
    resultLock.unlock();
    if (!built) {
        TSK_LOG(LOGLEVEL_ERROR, kLog, op << ": Failed to build fingerprint ISO image.");
        return 0;
    }
    resultSocket.SendImage(record, length, requestId, MID_GetSample);
    std::free(record);
    return 1;
}

int CFpDevice::ProcessSocketPreviewCloseEventCallback() {
    return 1;
}

int CFpDevice::ProcessSocketPreviewErrorEventCallback() {
    return ProcessSocketPreviewCloseEventCallback();
}

int CFpDevice::ProcessSocketResultCloseEventCallback() {
    SetState(DEVICE_STATE_READY);
    return 1;
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
    if (image.image == nullptr || image.width <= 0 || image.height <= 0 ||
        static_cast<int64_t>(image.width) * image.height > static_cast<int64_t>(kPreviewBufferSize)) {
        TSK_LOG(LOGLEVEL_DBG1, kLog,
                op << ": Preview image " << image.width << "x" << image.height << " dropped: it does not fit.");
        return;
    }
    TSK_LOG(LOGLEVEL_DBG3, kLog, op << ": Try lock.");
    if (!deviceLock.trylock()) return;
    previewInnerLock.lock();
    ZarnImageInfo& stored = previewImages[positionCode.load()];
    stored = image;
    stored.image = previewBuffer.data();
    std::memset(previewBuffer.data(), 0, previewBuffer.size());
    if (image.rowOrder < 0) {
        CopyRowsReversed(previewBuffer.data(), image.image, image.width, image.height);
        stored.rowOrder = 1;
    } else {
        std::memcpy(previewBuffer.data(), image.image, static_cast<size_t>(image.width) * image.height);
    }
    previewInnerLock.unlock();
    deviceLock.unlock();
}

void CFpDevice::ObjectQuality(int state, const int* quality, int count) {
    if (subscribedUserFeedback.load() == 0) return;
    if (nowMs() - lastFeedbackMs.load() < 1000) return;
    while (!deviceLock.trylock()) {
        if (openFlag.load() == 0) return;
        Sleep(10);
    }
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
    while (!deviceLock.trylock()) {
        if (GetState() != DEVICE_STATE_CAPTURING) return;
        Sleep(10);
    }
    if (GetState() != DEVICE_STATE_CAPTURING) {
        deviceLock.unlock();
        return;
    }
    if (OpenResultChannel() != 0) {
        ClearPreviewTable();
        deviceSocket.SendCaptureCompleteDeviceEventRequest(resultSocket.GetUri());
    }
    SetState(DEVICE_STATE_RESULT_READY);
    deviceLock.unlock();
}

void CFpDevice::DeviceIsConnected(int connected) {
    if (connected != 0 || openFlag.load() == 0 || !deviceLock.trylock()) return;
    TSK_LOG(LOGLEVEL_WARNING, kLog,
            "CFpDevice::OnDeviceIsConnected: Detected a fingerprint device connection lost on URI: "
                << deviceSocket.GetUri());
    const bool wasOpen = openFlag.exchange(0) != 0;
    deviceLock.unlock();
    // Reported once, without the device lock held: the core object removes the device.
    if (wasOpen && owner != nullptr) owner->ProcessDeviceLostEventCallback(0, 1);
}
