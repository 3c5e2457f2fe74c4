#include "device/IrisDevice.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "ISO19494.h"
#include "device/ZarnApi.h"
#include "runtime/Log.h"
#include "xml/XmlMessage.h"

namespace {

constexpr int kLog = VDM_LOG_IRIS;
constexpr const char* kDeviceSocketName = "Iris Device Socket";

// The two process-wide preview buffers, left and right eye.
std::atomic<unsigned char*> g_previewBuffers[2] = {nullptr, nullptr};

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void LogFailure(int level, const char* op, const char* function, int code) {
    TSK_LOG(level, kLog, op << ": " << function << " failed, returned code: " << code);
}

// Copies width x height pixels, in reverse row order when the image's rows run bottom-up; the
// copy's rows always run top-down.
void CopyUpright(unsigned char* target, const ZarnImageInfo& image) {
    const size_t w = static_cast<size_t>(image.width);
    if (image.rowOrder < 0) {
        for (int row = 0; row < image.height; ++row)
            std::memcpy(target + row * w, image.image + (image.height - 1 - row) * w, w);
    } else {
        std::memcpy(target, image.image, w * image.height);
    }
}

bool Fits(const ZarnImageInfo& image, size_t limit) {
    return image.image != nullptr && image.width > 0 && image.height > 0 &&
           static_cast<uint64_t>(image.width) * static_cast<uint64_t>(image.height) <= limit;
}

}  // namespace

CIrisDevice::CIrisDevice(const std::string& vdmName, CBaseNavikVdm* owner_)
    : CIrisDeviceBase(vdmName, owner_, "CIrisDevice", kDeviceSocketName, "Iris Preview Socket", "Iris Result Socket",
                      kLog),
      resultLock("", kLog) {
    deviceSocket.SetDevice(this);
    previewSocket.SetDevice(this);
    resultSocket.SetDevice(this);
    capabilities.modality = "TwoIris";
    SetState(DEVICE_STATE_CLOSED);
}

CIrisDevice::~CIrisDevice() {
    if (openFlag.load() != 0) CIrisDevice::Close();
    deviceSocket.SetDevice(nullptr);
    previewSocket.SetDevice(nullptr);
    resultSocket.SetDevice(nullptr);
    deviceSocket.Close(1);
    previewSocket.Close(1);
    resultSocket.Close(1);
    FreeResultImages();
}

IrisDeviceKind CIrisDevice::Kind() {
    IrisDeviceKind kind;
    kind.create = [](const std::string& vdmName, CBaseNavikVdm* owner) -> std::unique_ptr<CIrisDeviceBase> {
        return std::make_unique<CIrisDevice>(vdmName, owner);
    };
    kind.allocatePreviewBuffers = &CIrisDevice::AllocateIrisPreviewBuffers;
    kind.freePreviewBuffers = &CIrisDevice::FreeIrisPreviewBuffers;
    return kind;
}

int CIrisDevice::AllocateIrisPreviewBuffers() {
    for (auto& buffer : g_previewBuffers) {
        if (buffer.load() == nullptr) buffer.store(static_cast<unsigned char*>(std::calloc(kPreviewBufferSize, 1)));
    }
    return 1;
}

void CIrisDevice::FreeIrisPreviewBuffers() {
    for (auto& buffer : g_previewBuffers) std::free(buffer.exchange(nullptr));
}

// --- positions -----------------------------------------------------------------------------------

int CIrisDevice::ParseEyePosition(const std::string& text) {
    if (text == "LeftIris") return kEyeLeft;
    if (text == "RightIris") return kEyeRight;
    if (text == "BothIris") return kEyeBoth;
    return kEyeNone;
}

std::string CIrisDevice::EyePositionName(int code) {
    switch (code) {
    case kEyeLeft: return "LeftIris";
    case kEyeRight: return "RightIris";
    case kEyeBoth: return "BothIris";
    default: return "Unknown";
    }
}

int CIrisDevice::SetMissingBiometric(const std::string& biometricPosition) {
    const int code = ParseEyePosition(biometricPosition);
    if (code == kEyeNone) return 0;
    if (code == kEyeLeft || code == kEyeBoth) leftFlag.store(2);
    if (code == kEyeRight || code == kEyeBoth) rightFlag.store(2);
    return 1;
}

// --- state and channels --------------------------------------------------------------------------

int CIrisDevice::SetState(int state) {
    stateLock.lock();
    deviceState = state;
    if (owner != nullptr) {
        owner->statusLock.lock();
        owner->captureInterlock.irisCapturing = state == DEVICE_STATE_CAPTURING ? 1 : 0;
        owner->statusLock.unlock();
    }
    stateLock.unlock();
    return 1;
}

void CIrisDevice::ClearPreviewMap() {
    previewOuterLock.lock();
    previewInnerLock.lock();
    previewImages.clear();
    previewInnerLock.unlock();
    previewOuterLock.unlock();
}

void CIrisDevice::FreeResultImages() {
    resultLock.lock();
    for (auto& [eye, image] : resultImages) std::free(image.image);
    resultImages.clear();
    resultLock.unlock();
}

int CIrisDevice::CloseImageChannels(int stopCapture) {
    CBaseDevice::CloseImageChannels(stopCapture);
    if (stopCapture != 0) StopCaptureIgnoreError();
    pendingResults.store(0);
    ClearPreviewMap();
    FreeResultImages();
    SetState(DEVICE_STATE_READY);
    return 1;
}

int CIrisDevice::Open() {
    if (!deviceLock.trylock()) return 0;
    const int result = CBaseDevice::Open();
    if (result != 0) SetState(DEVICE_STATE_READY);
    deviceLock.unlock();
    if (result == 0) Close();
    return result;
}

int CIrisDevice::Close() {
    // The device channel goes first, outside the device lock: its socket thread may be waiting for
    // that lock in a request, and closing joins it.
    deviceSocket.Close(1);
    deviceLock.lock();
    openFlag.store(0);
    CloseImageChannels(0);
    ReleaseArrivalDocument();
    IrisApi().Zarn_IRIS_Main_DeInitialize();
    // Last: a closed device must never read as ready.
    SetState(DEVICE_STATE_CLOSED);
    deviceLock.unlock();
    return 1;
}

// --- library calls -------------------------------------------------------------------------------

int CIrisDevice::Connect() {
    const char* op = "CIrisDevice::Connect";
    if (openFlag.load() != 0) return 1;
    const ZarnIrisApi& api = IrisApi();
    api.Zarn_IRIS_Main_DeInitialize();
    const int rc = api.Zarn_IRIS_Main_Initialize();
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_IRIS_Main_Initialize", rc);
        return 0;
    }
    TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Zarn_IRIS_Main_Initialize success");
    api.Zarn_IRIS_Capture_RegisterCallbackPreviewImage(1, &OnPreviewImageAvailable_L, this);
    api.Zarn_IRIS_Capture_RegisterCallbackPreviewImage(2, &OnPreviewImageAvailable_R, this);
    api.Zarn_IRIS_Capture_RegisterCallbackResultImage(1, &OnResultImageAvailable_L, this);
    api.Zarn_IRIS_Capture_RegisterCallbackResultImage(2, &OnResultImageAvailable_R, this);
    api.Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected(&OnDeviceIsConnected, this);
    GetDeviceInfo();
    GetApiVersion();
    TSK_LOG(LOGLEVEL_INFO, kLog,
            op << ": Successfully connected to " << capabilities.deviceModel << " " << capabilities.serialNumber
               << " device");
    return 1;
}

int CIrisDevice::GetDeviceInfo() {
    ZarnDeviceInfo info{};
    const int rc = IrisApi().Zarn_IRIS_Main_GetDeviceInfo(&info);
    if (rc != 0) {
        LogFailure(LOGLEVEL_WARNING, "CIrisDevice::GetDeviceInfo", "Zarn_IRIS_Main_GetDeviceInfo", rc);
        return 0;
    }
    StoreDeviceInfo(info);
    TSK_LOG(LOGLEVEL_DBG1, kLog,
            "CIrisDevice::GetDeviceInfo: DeviceModel=" << capabilities.deviceModel << " FirmwareRev="
                                                       << capabilities.firmwareRev << " SerialNumber="
                                                       << capabilities.serialNumber);
    return 1;
}

int CIrisDevice::GetApiVersion() {
    ZarnApiVersion version{};
    const int rc = IrisApi().Zarn_IRIS_Main_GetAPIVersion(&version);
    if (rc != 0) {
        LogFailure(LOGLEVEL_WARNING, "CIrisDevice::GetApiVersion", "Zarn_IRIS_Main_GetAPIVersion", rc);
        return 0;
    }
    StoreApiVersion(version);
    TSK_LOG(LOGLEVEL_DBG1, kLog,
            "CIrisDevice::GetApiVersion: DeviceMake=" << capabilities.deviceMake << " HardwareRev="
                                                      << capabilities.hardwareRev);
    return 1;
}

int CIrisDevice::CalibrateDevice() {
    const char* op = "CIrisDevice::CalibrateDevice";
    if (owner != nullptr) {
        owner->statusLock.lock();
        owner->captureInterlock.irisCalibrating = 1;
        owner->statusLock.unlock();
    }
    TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Calibrating Iris Device ...");
    int result = 0;
    if (IrisApi().Zarn_IRIS_Capture_Calibration(kEyeBoth) == 0) {
        TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Calibrated Iris Device.");
        result = 1;
    } else {
        TSK_LOG(LOGLEVEL_ERROR, kLog, op << ": Zarn_IRIS_Capture_Calibration failed.");
    }
    if (owner != nullptr) {
        owner->statusLock.lock();
        owner->captureInterlock.irisCalibrating = 0;
        owner->statusLock.unlock();
    }
    return result;
}

int CIrisDevice::SetCaptureMode(int eye, int autoCapture) {
    const int rc = IrisApi().Zarn_IRIS_Capture_SetMode(eye, 1, autoCapture, 0);
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, "CIrisDevice::SetCaptureMode", "Zarn_IRIS_Capture_SetMode", rc);
        return 0;
    }
    return 1;
}

int CIrisDevice::StartCapture(int autoCapture, std::string& failureReason) {
    const char* op = "CIrisDevice::StartCapture";
    const int position = eyePosition.load();
    TSK_LOG(LOGLEVEL_INFO, kLog, op << ": Trying to start iris capture, eye position:" << EyePositionName(position));
    const int left = leftFlag.load() == 1 ? 1 : 0, right = rightFlag.load() == 1 ? 1 : 0;
    const int count = position == kEyeLeft ? left : position == kEyeRight ? right : position == kEyeBoth ? left + right : 0;
    biometricCount.store(count);
    if (count == 0) {
        TSK_LOG(LOGLEVEL_WARNING, kLog, op << ": No Biometrics need to be capture because finger count is 0");
        failureReason = "InvalidRequest_ParameterValueInvalid";
        return 0;
    }
    pendingResults.store(count);
    const int eye = count == 2 ? kEyeBoth : left == 1 ? kEyeLeft : kEyeRight;
    if (SetCaptureMode(eye, autoCapture) == 0) {
        failureReason = "InvalidRequest_ParameterValueInvalid";
        return 0;
    }
    const int rc = IrisApi().Zarn_IRIS_Capture_Start();
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_Start", rc);
        failureReason = "UnableToPerformRequest";
        return 0;
    }
    // The first frame shows the cameras really stream; a dead camera must not hold the channel.
    const int64_t deadline = SteadyMs() + firstPreviewTimeoutMs.load();
    while (firstPreview.load() == 0) {
        if (SteadyMs() >= deadline) {
            TSK_LOG(LOGLEVEL_ERROR, kLog, op << ": No preview image arrived after the capture started.");
            StopCaptureIgnoreError();
            failureReason = "UnableToPerformRequest";
            return 0;
        }
        Sleep(15);
    }
    TSK_LOG(LOGLEVEL_INFO, kLog, op << ": Iris capture is started successfully.");
    return 1;
}

int CIrisDevice::ForceCapture(std::string& failureReason) {
    const char* op = "CIrisDevice::ForceCapture";
    TSK_LOG(LOGLEVEL_INFO, kLog, op << ": Trying to force iris capture.");
    if (GetState() != DEVICE_STATE_CAPTURING) {
        TSK_LOG(LOGLEVEL_WARNING, kLog, op << ": Capture has not started yet.");
        failureReason = "UnableToPerformRequest";
        return 0;
    }
    const ZarnIrisApi& api = IrisApi();
    int rc = api.Zarn_IRIS_Capture_TakeResultImage(eyePosition.load());
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_TakeResultImage", rc);
        failureReason = "UnableToPerformRequest";
        return 0;
    }
    rc = api.Zarn_IRIS_Capture_AcquireResultImage();
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_AcquireResultImage", rc);
        failureReason = "UnableToPerformRequest";
        return 0;
    }
    TSK_LOG(LOGLEVEL_INFO, kLog, op << ": Iris capture success.");
    return 1;
}

int CIrisDevice::StopCapture(std::string& failureReason) {
    const char* op = "CIrisDevice::StopCapture";
    TSK_LOG(LOGLEVEL_INFO, kLog, op << ": Trying to stop iris capture.");
    int result = 1;
    if (GetState() == DEVICE_STATE_CAPTURING) {
        const int rc = IrisApi().Zarn_IRIS_Capture_Abort();
        SetState(DEVICE_STATE_READY);
        if (rc == 0) {
            TSK_LOG(LOGLEVEL_INFO, kLog, op << ": Iris capture stopped.");
        } else {
            LogFailure(LOGLEVEL_ERROR, op, "Zarn_IRIS_Capture_Abort", rc);
            failureReason = "UnableToPerformRequest";
            result = 0;
        }
    }
    CloseImageChannels(0);
    return result;
}

void CIrisDevice::StopCaptureIgnoreError() {
    const int wasCapturing = GetState() == DEVICE_STATE_CAPTURING;
    const int rc = IrisApi().Zarn_IRIS_Capture_Abort();
    if (wasCapturing && rc == 0) TSK_LOG(LOGLEVEL_DBG1, kLog, "CIrisDevice::StopCaptureIgnoreError: Iris capture stopped.");
    SetState(DEVICE_STATE_READY);
}

// --- requests from the channels ----------------------------------------------------------------

int CIrisDevice::ProcessSubscribeCallback(const xercesc::DOMElement* subscribe, const std::string&, std::string&,
                                          std::map<int, int>& categories) {
    deviceLock.lock();
    const int result = _ProcessSubscribeCallback(subscribe, categories);
    deviceLock.unlock();
    return result;
}

int CIrisDevice::ProcessStartCaptureCallback(const xercesc::DOMElement* startCapture, const std::string&,
                                             std::string& failureReason, std::string& videoURI) {
    const char* op = "CIrisDevice::ProcessStartCaptureCallback";
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
                op << ": Cannot perform Iris capture process because Iris device is not initialized.");
        failureReason = "Aborted";
        deviceLock.unlock();
        return 0;
    }
    auto readWord = [this](const int& word) {
        owner->statusLock.lock();
        const int value = word;
        owner->statusLock.unlock();
        return value;
    };
    owner->statusLock.lock();
    owner->captureInterlock.irisCapturing = 1;
    const int fpAdding = owner->captureInterlock.fpDeviceStatus == 1;
    owner->statusLock.unlock();
    int result = 0;
    if (fpAdding) {
        TSK_LOG(LOGLEVEL_WARNING, kLog,
                op << ": Cannot perform Iris start capture process because Fingerprint device is initializing.");
        failureReason = "Aborted";
    } else {
        bool busy = readWord(owner->captureInterlock.fpCapturing) != 0;
        while (busy && polls < 100) {
            ++polls;
            Sleep(70);
            busy = readWord(owner->captureInterlock.fpCapturing) != 0;
        }
        if (busy) {
            TSK_LOG(LOGLEVEL_WARNING, kLog,
                    op << ": Cannot perform Iris start capture process because Fingerprint capture procedure is in "
                          "progress.");
            failureReason = "Aborted";
        } else {
            while (readWord(owner->captureInterlock.irisCalibrating) != 0) Sleep(10);
            CloseImageChannels(1);
            SetState(DEVICE_STATE_CAPTURING);
            leftFlag.store(0);
            rightFlag.store(0);
            const std::string position = GetXmlAttribute(startCapture, "biometricPosition");
            const int code = ParseEyePosition(position);
            eyePosition.store(code);
            if (code == kEyeLeft || code == kEyeBoth) leftFlag.store(1);
            if (code == kEyeRight || code == kEyeBoth) rightFlag.store(1);
            if (code == kEyeNone) {
                TSK_LOG(LOGLEVEL_WARNING, kLog, op << ": Invalid biometric position:" << position);
                failureReason = "InvalidRequest_ParameterValueInvalid";
            } else {
                result = _ProcessStartCaptureCallback(videoURI, startCapture, failureReason);
            }
        }
    }
    if (result == 0) SetState(DEVICE_STATE_READY);
    deviceLock.unlock();
    return result;
}

int CIrisDevice::ProcessForceCaptureCallback(const std::string&, std::string& failureReason) {
    return _ProcessForceCaptureCallback(failureReason);
}

int CIrisDevice::ProcessStopCaptureCallback(const std::string&, std::string& failureReason) {
    deviceLock.lock();
    const int result = StopCapture(failureReason);
    deviceLock.unlock();
    return result;
}

int CIrisDevice::ProcessClientConnectedCallback() {
    return _ProcessClientConnectedCallback(1);
}

int CIrisDevice::DeviceChannelGone(const char* what) {
    deviceLock.lock();
    TSK_LOG(LOGLEVEL_INFO, kLog,
            "CIrisDevice::ProcessSocketDeviceCloseEventCallback: "
                << kDeviceSocketName << what << deviceSocket.GetRemoteSocketIdLog(deviceSocket.GetClientChannel(), 1));
    CloseImageChannels(1);
    const std::string model = capabilities.deviceModel;
    deviceLock.unlock();
    // The core object is called without the device lock held.
    if (owner != nullptr) owner->ProcessDeviceClientGoneCallback(1, model);
    return 1;
}

int CIrisDevice::ProcessSocketDeviceCloseEventCallback() {
    return DeviceChannelGone(": Connection closed from client, ");
}

int CIrisDevice::ProcessSocketDeviceErrorEventCallback() {
    return DeviceChannelGone(": Connection lost with client, ");
}

int CIrisDevice::ProcessClientGoneCallback() {
    deviceLock.lock();
    if (GetState() == DEVICE_STATE_CAPTURING) StopCaptureIgnoreError();
    CloseImageChannels(0);
    deviceLock.unlock();
    return 1;
}

bool CIrisDevice::BuildIrisIsoRecord(const std::map<int, ZarnImageInfo>& images, unsigned char** record,
                                     unsigned int* length) {
    std::vector<IsoImageItem> items;
    for (const auto& [eye, image] : images) items.push_back({eye, image});
    return CISO19494_6::GenerateIsoIir(items, record, length, capabilities.serialNumber.c_str(), 0, 80, 2);
}

int CIrisDevice::ProcessGetFrameCallback(const std::string& requestId) {
    previewOuterLock.lock();
    previewInnerLock.lock();
    const bool ready = !previewImages.empty() &&
                       (biometricCount.load() <= 1 ||
                        (previewImages.count(kEyeLeft) != 0 && previewImages.count(kEyeRight) != 0));
    if (!ready) {
        previewInnerLock.unlock();
        previewOuterLock.unlock();
        return 0;
    }
    const std::map<int, ZarnImageInfo> images = previewImages;
    unsigned char* record = nullptr;
    unsigned int length = 0;
    const bool built = BuildIrisIsoRecord(images, &record, &length);
    previewInnerLock.unlock();
    if (built) previewSocket.SendImage(record, length, requestId, MID_GetFrame);
    previewOuterLock.unlock();
    std::free(record);
    return built ? 1 : 0;
}

int CIrisDevice::ProcessGetSampleImageCallback(const std::string& requestId) {
    const char* op = "CIrisDevice::ProcessGetSampleImageCallback";
    resultLock.lock();
    if (resultImages.empty()) {
        resultLock.unlock();
        TSK_LOG(LOGLEVEL_WARNING, kLog, op << ": Received the get sample image request, but the result image is not exist.");
        return 0;
    }
    unsigned char* record = nullptr;
    unsigned int length = 0;
    const bool built = BuildIrisIsoRecord(resultImages, &record, &length);
    resultLock.unlock();
    if (!built) {
        TSK_LOG(LOGLEVEL_ERROR, kLog, op << ": Failed to build iris ISO image.");
        return 0;
    }
    resultSocket.SendImage(record, length, requestId, MID_GetSample);
    std::free(record);
    return 1;
}

int CIrisDevice::ProcessSocketPreviewCloseEventCallback() {
    return 1;
}

int CIrisDevice::ProcessSocketPreviewErrorEventCallback() {
    return 1;
}

// The client has the result once it closes the result channel: the device is ready again.
int CIrisDevice::ProcessSocketResultCloseEventCallback() {
    SetState(DEVICE_STATE_READY);
    return 1;
}

int CIrisDevice::ProcessSocketResultErrorEventCallback() {
    return ProcessSocketResultCloseEventCallback();
}

// --- library callbacks ---------------------------------------------------------------------------

void CIrisDevice::OnPreviewImageAvailable_L(void* context, ZarnImageInfo image) {
    if (context != nullptr) static_cast<CIrisDevice*>(context)->PreviewImageAvailable(kEyeLeft, image);
}

void CIrisDevice::OnPreviewImageAvailable_R(void* context, ZarnImageInfo image) {
    if (context != nullptr) static_cast<CIrisDevice*>(context)->PreviewImageAvailable(kEyeRight, image);
}

void CIrisDevice::OnResultImageAvailable_L(void* context, int status, ZarnImageInfo image) {
    if (context != nullptr) static_cast<CIrisDevice*>(context)->ResultImageAvailable(kEyeLeft, status, image);
}

void CIrisDevice::OnResultImageAvailable_R(void* context, int status, ZarnImageInfo image) {
    if (context != nullptr) static_cast<CIrisDevice*>(context)->ResultImageAvailable(kEyeRight, status, image);
}

void CIrisDevice::OnDeviceIsConnected(void* context, int connected) {
    if (context != nullptr) static_cast<CIrisDevice*>(context)->DeviceIsConnected(connected);
}

void CIrisDevice::PreviewImageAvailable(int eye, const ZarnImageInfo& image) {
    const char* op = eye == kEyeLeft ? "CIrisDevice::OnPreviewImageAvailable_L" : "CIrisDevice::OnPreviewImageAvailable_R";
    firstPreview.store(1);
    ZarnRunningInfo running{};
    if (IrisApi().Zarn_IRIS_Main_GetRunningInfo(eye, &running) == 0 && running.iris.done != 0 &&
        running.iris.aborted == 0)
        return;
    unsigned char* buffer = g_previewBuffers[eye == kEyeLeft ? 0 : 1].load();
    // Only frames that fit the preview buffer are kept; the previous frame stays otherwise.
    if (buffer == nullptr || !Fits(image, kPreviewBufferSize)) {
        TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Preview image " << image.width << "x" << image.height << " dropped.");
        return;
    }
    TSK_LOG(LOGLEVEL_DBG3, kLog, op << ": Try lock.");
    if (!deviceLock.trylock()) return;
    previewInnerLock.lock();
    ZarnImageInfo& stored = previewImages[eye];
    stored = image;
    std::memset(buffer, 0, kPreviewBufferSize);
    stored.image = buffer;
    CopyUpright(buffer, image);
    if (image.rowOrder < 0) stored.rowOrder = 1;
    previewInnerLock.unlock();
    deviceLock.unlock();
}

void CIrisDevice::ResultImageAvailable(int eye, int status, const ZarnImageInfo& image) {
    const char* op = "CIrisDevice::OnResultImageAvailable";
    if (GetState() != DEVICE_STATE_CAPTURING) return;
    IrisApi().Zarn_IRIS_Controls_Beeper(status >= 0 ? 3 : 1);
    // The library's pixels are valid during this call only: copy them first, store the copy under
    // the device lock once the capture is known to be still running.
    if (!Fits(image, SIZE_MAX)) {
        TSK_LOG(LOGLEVEL_ERROR, kLog, op << ": Result image " << image.width << "x" << image.height << " refused.");
        return;
    }
    ZarnImageInfo stored = image;
    stored.image = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(image.width) * image.height));
    if (stored.image == nullptr) {
        TSK_LOG(LOGLEVEL_ERROR, kLog, op << ": No memory for the result image of " << EyePositionName(eye) << ".");
        return;
    }
    CopyUpright(stored.image, image);
    if (image.rowOrder < 0) stored.rowOrder = 1;

    while (!deviceLock.trylock()) {
        if (GetState() != DEVICE_STATE_CAPTURING) {
            std::free(stored.image);
            return;
        }
        Sleep(10);
    }
    if (GetState() != DEVICE_STATE_CAPTURING) {
        deviceLock.unlock();
        std::free(stored.image);
        return;
    }
    resultLock.lock();
    auto found = resultImages.find(eye);
    if (found != resultImages.end()) std::free(found->second.image);
    resultImages[eye] = stored;
    resultLock.unlock();
    if (pendingResults.fetch_sub(1) - 1 > 0) {
        deviceLock.unlock();
        return;
    }
    if (OpenResultChannel() != 0) {
        ClearPreviewMap();
        deviceSocket.SendCaptureCompleteDeviceEventRequest(resultSocket.GetUri());
    }
    SetState(DEVICE_STATE_RESULT_READY);
    deviceLock.unlock();
}

void CIrisDevice::DeviceIsConnected(int connected) {
    if (connected != 0 || openFlag.load() == 0 || !deviceLock.trylock()) return;
    TSK_LOG(LOGLEVEL_WARNING, kLog,
            "CIrisDevice::OnDeviceIsConnected: Detected an iris device connection lost on URI: "
                << deviceSocket.GetUri());
    const bool wasOpen = openFlag.exchange(0) != 0;
    deviceLock.unlock();
    // Reported once, without the device lock held: the core object removes the device.
    if (wasOpen && owner != nullptr) owner->ProcessDeviceLostEventCallback(1, 1);
}
