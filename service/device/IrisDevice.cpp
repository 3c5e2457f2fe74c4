#include "device/IrisDevice.h"

#include <cstdint>
#include <cstdlib>
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

}  // namespace

const CBaseDevice::CaptureSide CIrisDevice::kSide = {
    1,
    &CaptureInterlock::irisCapturing,
    &CaptureInterlock::fpCapturing,
    &CaptureInterlock::fpDeviceStatus,
    "iris",
    "Iris",
    "Zarn_IRIS_Capture_Abort",
    1,
    "Cannot perform Iris capture process because Iris device is not initialized.",
    "Cannot perform Iris start capture process because Fingerprint device is initializing.",
    "Cannot perform Iris start capture process because Fingerprint capture procedure is in progress.",
    "Aborted",
};

CIrisDevice::CIrisDevice(const std::string& vdmName, CBaseNavikVdm* owner_)
    : CIrisDeviceBase(vdmName, owner_, "CIrisDevice", kDeviceSocketName, "Iris Preview Socket", "Iris Result Socket",
                      kLog) {
    AttachChannels(this);
    capabilities.modality = "TwoIris";
    SetState(DEVICE_STATE_CLOSED);
}

CIrisDevice::~CIrisDevice() {
    if (openFlag.load() != 0) CIrisDevice::Close();
    DetachAndCloseChannels();
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
    return SetStateFor(kSide, state);
}

void CIrisDevice::FreeResultImages() {
    resultLock.lock();
    for (auto& [eye, image] : resultImages) std::free(image.image);
    resultImages.clear();
    resultLock.unlock();
}

int CIrisDevice::CloseImageChannels(int stopCapture) {
    return CloseCaptureChannels(stopCapture, [this] {
        pendingResults.store(0);
        FreeResultImages();
    });
}

int CIrisDevice::Open() {
    return OpenUnderDeviceLock();
}

int CIrisDevice::Close() {
    return CloseUnderDeviceLock([] { IrisApi().Zarn_IRIS_Main_DeInitialize(); });
}

// --- library calls -------------------------------------------------------------------------------

int CIrisDevice::Connect() {
    const char* op = "CIrisDevice::Connect";
    if (openFlag.load() != 0) return 1;
    const ZarnIrisApi& api = IrisApi();
    api.Zarn_IRIS_Main_DeInitialize();
    if (LibraryInitialized(op, "Zarn_IRIS_Main_Initialize", api.Zarn_IRIS_Main_Initialize()) == 0) return 0;
    api.Zarn_IRIS_Capture_RegisterCallbackPreviewImage(1, &OnPreviewImageAvailable_L, this);
    api.Zarn_IRIS_Capture_RegisterCallbackPreviewImage(2, &OnPreviewImageAvailable_R, this);
    api.Zarn_IRIS_Capture_RegisterCallbackResultImage(1, &OnResultImageAvailable_L, this);
    api.Zarn_IRIS_Capture_RegisterCallbackResultImage(2, &OnResultImageAvailable_R, this);
    api.Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected(&OnDeviceIsConnected, this);
    ReportConnected(op);
    return 1;
}

int CIrisDevice::GetDeviceInfo() {
    ZarnDeviceInfo info{};
    const int rc = IrisApi().Zarn_IRIS_Main_GetDeviceInfo(&info);
    return TakeDeviceInfo("CIrisDevice::GetDeviceInfo", "Zarn_IRIS_Main_GetDeviceInfo", rc, info);
}

int CIrisDevice::GetApiVersion() {
    ZarnApiVersion version{};
    const int rc = IrisApi().Zarn_IRIS_Main_GetAPIVersion(&version);
    return TakeApiVersion("CIrisDevice::GetApiVersion", "Zarn_IRIS_Main_GetAPIVersion", rc, version);
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
    return CaptureStarted(op, kSide, IrisApi().Zarn_IRIS_Capture_Start(), failureReason);
}

int CIrisDevice::ForceCapture(std::string& failureReason) {
    const ZarnIrisApi& api = IrisApi();
    return ForceCaptureWith(
        "CIrisDevice::ForceCapture", kSide, [&] { return api.Zarn_IRIS_Capture_TakeResultImage(eyePosition.load()); },
        [&api] { return api.Zarn_IRIS_Capture_AcquireResultImage(); }, failureReason);
}

int CIrisDevice::StopCapture(std::string& failureReason) {
    return StopCaptureWith("CIrisDevice::StopCapture", kSide, [] { return IrisApi().Zarn_IRIS_Capture_Abort(); },
                           failureReason);
}

void CIrisDevice::StopCaptureIgnoreError() {
    StopCaptureQuietly("CIrisDevice::StopCaptureIgnoreError", kSide,
                       [] { return IrisApi().Zarn_IRIS_Capture_Abort(); });
}

// --- requests from the channels ----------------------------------------------------------------

int CIrisDevice::ProcessSubscribeCallback(const xercesc::DOMElement* subscribe, const std::string&, std::string&,
                                          std::map<int, int>& categories) {
    return SubscribeUnderDeviceLock(subscribe, categories);
}

int CIrisDevice::ProcessStartCaptureCallback(const xercesc::DOMElement* startCapture, const std::string&,
                                             std::string& failureReason, std::string& videoURI) {
    const char* op = "CIrisDevice::ProcessStartCaptureCallback";
    return StartCaptureUnderDeviceLock(op, kSide, [&](std::string& reason) {
        while (ReadInterlock(&CaptureInterlock::irisCalibrating) != 0) SleepMs(10);
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
            reason = "InvalidRequest_ParameterValueInvalid";
            return 0;
        }
        return _ProcessStartCaptureCallback(videoURI, startCapture, reason);
    }, failureReason);
}

int CIrisDevice::ProcessForceCaptureCallback(const std::string&, std::string& failureReason) {
    return _ProcessForceCaptureCallback(failureReason);
}

int CIrisDevice::ProcessStopCaptureCallback(const std::string&, std::string& failureReason) {
    return StopCaptureUnderDeviceLock(failureReason);
}

int CIrisDevice::ProcessClientConnectedCallback() {
    return _ProcessClientConnectedCallback(kSide.deviceType);
}

int CIrisDevice::ProcessSocketDeviceCloseEventCallback() {
    return DeviceChannelGone("CIrisDevice::ProcessSocketDeviceCloseEventCallback", kDeviceSocketName,
                             ": Connection closed from client, ", kSide.deviceType);
}

int CIrisDevice::ProcessSocketDeviceErrorEventCallback() {
    return DeviceChannelGone("CIrisDevice::ProcessSocketDeviceErrorEventCallback", kDeviceSocketName,
                             ": Connection lost with client, ", kSide.deviceType);
}

int CIrisDevice::ProcessClientGoneCallback() {
    return ClientGone();
}

bool CIrisDevice::BuildIrisIsoRecord(const std::map<int, ZarnImageInfo>& images, unsigned char** record,
                                     unsigned int* length) {
    std::vector<IsoImageItem> items;
    for (const auto& [eye, image] : images) items.push_back({eye, image});
    return CISO19494_6::GenerateIsoIir(items, record, length, capabilities.serialNumber.c_str(), 0, 80, 2);
}

int CIrisDevice::ProcessGetFrameCallback(const std::string& requestId) {
    return SendPreviewRecord(requestId, [this](unsigned char** record, unsigned int* length) {
        const bool ready = !previewImages.empty() &&
                           (biometricCount.load() <= 1 ||
                            (previewImages.count(kEyeLeft) != 0 && previewImages.count(kEyeRight) != 0));
        return ready && BuildIrisIsoRecord(previewImages, record, length);
    });
}

int CIrisDevice::ProcessGetSampleImageCallback(const std::string& requestId) {
    return SendSampleRecord(
        "CIrisDevice::ProcessGetSampleImageCallback", kSide, requestId, [this] { return !resultImages.empty(); },
        [this](unsigned char** record, unsigned int* length) { return BuildIrisIsoRecord(resultImages, record, length); });
}

int CIrisDevice::ProcessSocketPreviewCloseEventCallback() {
    return 1;
}

int CIrisDevice::ProcessSocketPreviewErrorEventCallback() {
    return 1;
}

int CIrisDevice::ProcessSocketResultCloseEventCallback() {
    return ResultChannelClosed();
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
    StorePreview(op, eye, image, buffer, kPreviewBufferSize);
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

    if (!LockWhileCapturing()) {
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
    CompleteCapture();
}

void CIrisDevice::DeviceIsConnected(int connected) {
    DeviceConnection(connected, kSide,
                     "CIrisDevice::OnDeviceIsConnected: Detected an iris device connection lost on URI: ");
}
