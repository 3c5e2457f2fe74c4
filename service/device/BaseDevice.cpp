#include "device/BaseDevice.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "runtime/ConfigFile.h"
#include "runtime/Log.h"
#include "runtime/StringUtils.h"
#include "runtime/Utilities.h"
#include "xml/XmlMessage.h"

using namespace xercesc;

CBaseDevice::CBaseDevice(const std::string& vdmName, CBaseNavikVdm* owner_, const std::string& className,
                         const std::string& deviceSocketName, const std::string& previewSocketName,
                         const std::string& resultSocketName, int logModule_)
    : deviceLock(className, logModule_),
      deviceSocket(deviceSocketName, logModule_),
      previewSocket(previewSocketName, CSocketVideo::Preview, logModule_),
      resultSocket(resultSocketName, CSocketVideo::Result, logModule_),
      owner(owner_),
      previewInnerLock(className + " preview_inner", logModule_),
      previewOuterLock(className + " preview_outer", logModule_),
      logModule(logModule_),
      stateLock("", logModule_),
      resultLock("", logModule_) {
    capabilities.vdmName = vdmName;
}

CBaseDevice::~CBaseDevice() {
    // The derived part is gone: no channel may call into it any more.
    deviceSocket.SetDevice(nullptr);
    previewSocket.SetDevice(nullptr);
    resultSocket.SetDevice(nullptr);
    if (openFlag.load() != 0) CBaseDevice::Close();
    deviceSocket.Close(1);
    CBaseDevice::CloseImageChannels(0);
    ReleaseArrivalDocument();
}

int CBaseDevice::GetState() {
    stateLock.lock();
    int state = deviceState;
    stateLock.unlock();
    return state;
}

std::string CBaseDevice::GetDeviceURI() const {
    return capabilities.deviceURI;
}

std::string CBaseDevice::DeviceText(const char* field, size_t size) {
    std::string text;
    for (size_t i = 0; field != nullptr && i < size && field[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        if (c < 0x20 || c > 0x7E) break;
        text.push_back(static_cast<char>(c));
    }
    return text;
}

std::string CBaseDevice::ReadVdmIP() {
    try {
        return CConfigFile::GetString(CConfigFile::GetInstance(), "VdmIP", "");
    } catch (...) {
        return {};
    }
}

void CBaseDevice::StoreDeviceInfo(const ZarnDeviceInfo& info) {
    capabilities.deviceModel = DeviceText(info.model, sizeof info.model);
    capabilities.serialNumber = DeviceText(info.serialNumber, sizeof info.serialNumber);
    // The firmware field holds a binary word on most models: only its printable start is text.
    capabilities.firmwareRev = DeviceText(info.firmware, sizeof info.firmware);
}

void CBaseDevice::StoreApiVersion(const ZarnApiVersion& version) {
    capabilities.deviceMake = DeviceText(version.productName, sizeof version.productName);
    capabilities.hardwareRev = DeviceText(version.libraryVersion, sizeof version.libraryVersion);
}

void CBaseDevice::ReleaseArrivalDocument() {
    if (arrivalDocument != nullptr) arrivalDocument->release();
    arrivalDocument = nullptr;
}

int CBaseDevice::Open() {
    if (openFlag.load() != 0) return 1;
    if (Connect() == 0) return 0;
    const std::string vdmIP = ReadVdmIP();
    if (!deviceSocket.Listen(vdmIP, 0, 1, 30, kMinPort, kMaxPort, 1, 1000)) return 0;
    if (ReadConfigFiles() == 0) {
        // Not announced: no client may reach a device that is not open.
        deviceSocket.Close(1);
        return 0;
    }
    openFlag.store(1);
    return 1;
}

int CBaseDevice::Close() {
    deviceSocket.Close(1);
    openFlag.store(0);
    CloseImageChannels(0);
    ReleaseArrivalDocument();
    return 1;
}

int CBaseDevice::CloseImageChannels(int) {
    previewSocket.Close(1);
    resultSocket.Close(1);
    biometricCount.store(0);
    firstPreview.store(0);
    return 1;
}

int CBaseDevice::OpenResultChannel() {
    return resultSocket.Listen(ReadVdmIP(), 0, 0, 30, kMinPort, kMaxPort, 1, 1) ? 1 : 0;
}

int CBaseDevice::ReadConfigFiles() {
    const char* op = "CBaseDevice::ReadConfigFiles";
    const std::string appData = CUtilities::GetAppDataDir();
    DOMDocument* capabilityFile =
        CUtilities::ReadXMLConfigFile({appData + "/DeviceCapabilities.xsd"}, appData + "/DeviceCapabilities.xml");
    if (capabilityFile == nullptr) {
        TSK_LOG(LOGLEVEL_ERROR, logModule, op << ": ReadXMLConfigFile() failed.");
        return 0;
    }
    const DOMElement* root = capabilityFile->getDocumentElement();
    const DOMElement* modelList = root != nullptr ? root->getLastElementChild() : nullptr;

    CXmlMessage arrival("DeviceManagerEventRequest");
    if (!arrival.IsValid()) {
        TSK_LOG(LOGLEVEL_ERROR, logModule, op << ": pArrivalDOMImpl is NULL.");
        capabilityFile->release();
        return 0;
    }
    ReleaseArrivalDocument();
    chosenSampleFormat = nullptr;
    capabilities.videoFormats.clear();
    capabilities.sampleFormats.clear();
    capabilities.deviceURI = deviceSocket.GetUri();
    SetXmlAttribute(arrival.Root(), "requestId", "");
    DOMElement* arrivalElement = arrival.Document()->createElement(CToXmlCh("Arrival"));
    SetXmlAttribute(arrivalElement, "vdmName", capabilities.vdmName);
    SetXmlAttribute(arrivalElement, "deviceURI", capabilities.deviceURI);
    SetXmlAttribute(arrivalElement, "modality", capabilities.modality);
    SetXmlAttribute(arrivalElement, "deviceMake", capabilities.deviceMake);
    SetXmlAttribute(arrivalElement, "deviceModel", capabilities.deviceModel);
    SetXmlAttribute(arrivalElement, "hardwareRev", capabilities.hardwareRev);
    SetXmlAttribute(arrivalElement, "firmwareRev", capabilities.firmwareRev);
    SetXmlAttribute(arrivalElement, "serialNumber", capabilities.serialNumber);

    // The later entry of a model wins: walk from the last.
    const DOMElement* entry = nullptr;
    std::vector<DOMElement*> devices = GetXmlElementsByTagName(modelList, "Device");
    for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
        if (GetXmlAttribute(*it, "deviceModel") == capabilities.deviceModel) {
            entry = *it;
            break;
        }
    }
    const DOMElement* capability = entry != nullptr ? entry->getFirstElementChild() : nullptr;
    if (capability == nullptr) {
        capabilityFile->release();
        // The incomplete body stays until the next build or Close.
        arrivalDocument = arrival.Detach();
        TSK_LOG(LOGLEVEL_ERROR, logModule,
                op << ": No configuration was not found for model " << capabilities.deviceModel
                   << "in \"/DeviceCapabilities.xsd\".");
        return 0;
    }
    arrivalElement->appendChild(arrival.Document()->importNode(capability, true));

    struct {
        const char* name;
        int* field;
    } const flags[] = {{"detection", &capabilities.detection},
                       {"video", &capabilities.video},
                       {"autoCapture", &capabilities.autoCapture},
                       {"disableAutoCapture", &capabilities.disableAutoCapture},
                       {"userFeedback", &capabilities.userFeedback},
                       {"graphicalFeedback", &capabilities.graphicalFeedback}};
    for (const auto& flag : flags) {
        *flag.field = CDeviceArrival::ConvertStringToBOOL(GetXmlAttribute(capability, flag.name), *flag.field,
                                                          logModule);
    }

    const DOMElement* videoFormats = capability->getFirstElementChild();
    if (videoFormats == nullptr) {
        TSK_LOG(LOGLEVEL_ERROR, logModule, op << ": pVideoFormatsElement is NULL.");
        capabilityFile->release();
        return 0;
    }
    for (const DOMElement* element : GetXmlElementsByTagName(videoFormats, "VideoFormat")) {
        auto format = std::make_unique<CVideoFormat>();
        format->videoFormatId = GetXmlAttribute(element, "videoFormatId");
        format->modality = GetXmlAttribute(element, "modality");
        for (const DOMElement* frame : GetXmlElementsByTagName(element, "FrameType")) {
            CFrameType type;
            type.biometricPosition = GetXmlAttribute(frame, "biometricPosition");
            CDeviceArrival::ConvertSize(GetXmlAttribute(frame, "size"), type.width, type.height);
            type.pixelFormat = CDeviceArrival::ConvertPixelFormat(GetXmlAttribute(frame, "pixelFormat"));
            type.pixelResolution = CDeviceArrival::ConvertPixelResolution(GetXmlAttribute(frame, "pixelResolution"));
            format->frameTypes.push_back(type);
        }
        capabilities.videoFormats.push_back(std::move(format));
    }

    const DOMElement* sampleFormats = capability->getLastElementChild();
    if (sampleFormats == nullptr) {
        TSK_LOG(LOGLEVEL_ERROR, logModule, op << ": pSampleFormatsElement is NULL.");
        capabilityFile->release();
        return 0;
    }
    for (const DOMElement* element : GetXmlElementsByTagName(sampleFormats, "SampleFormat")) {
        auto format = std::make_unique<CSampleFormat>();
        format->formatId = GetXmlAttribute(element, "formatId");
        format->format = GetXmlAttribute(element, "format");
        format->views = ParseDecimal(GetXmlAttribute(element, "views"));
        CDeviceArrival::ConvertSize(GetXmlAttribute(element, "size"), format->width, format->height);
        format->pixelResolution = CDeviceArrival::ConvertPixelResolution(GetXmlAttribute(element, "pixelResolution"));
        capabilities.sampleFormats.push_back(std::move(format));
    }

    capabilityFile->release();
    arrival.Root()->appendChild(arrivalElement);
    arrivalDocument = arrival.Detach();
    return 1;
}

// --- shared request handling ---------------------------------------------------------------------

int CBaseDevice::_ProcessClientConnectedCallback(int deviceType) {
    subscribedDetection.store(0);
    subscribedUserFeedback.store(0);
    subscribedGraphicalFeedback.store(0);
    // The current client's channel: after a takeover by a client of the same address it is no
    // longer the first one.
    const std::string clientURI = deviceSocket.GetClientURI();
    if (owner != nullptr) owner->ProcessDeviceClientConnectedCallback(deviceType, capabilities.deviceModel, clientURI);
    return 1;
}

int CBaseDevice::_ProcessSubscribeCallback(const DOMElement* subscribe, std::map<int, int>& categories) {
    for (const DOMElement* event : GetXmlElementsByTagName(subscribe, "Event")) {
        const std::string category = GetXmlAttribute(event, "eventCategory");
        if (category == "Detection") {
            if (capabilities.detection == 1) subscribedDetection.store(1);
            categories[CATEGORY_DETECTION] = capabilities.detection;
        } else if (category == "UserFeedback") {
            if (capabilities.userFeedback == 1) subscribedUserFeedback.store(1);
            categories[CATEGORY_USER_FEEDBACK] = capabilities.userFeedback;
        } else if (category == "GraphicalFeedback") {
            if (capabilities.graphicalFeedback == 1) subscribedGraphicalFeedback.store(1);
            categories[CATEGORY_GRAPHICAL_FEEDBACK] = capabilities.graphicalFeedback;
        } else if (category == "CaptureCompletion") {
            categories[CATEGORY_CAPTURE_COMPLETION] = 1;
        }
    }
    return 1;
}

int CBaseDevice::_ProcessStartCaptureCallback(std::string& videoURI, const DOMElement* startCapture,
                                              std::string& failureReason) {
    const char* op = "CBaseDevice::_ProcessStartCaptureCallback";
    allowManualCapture.store(GetXmlAttribute(startCapture, "allowManualCapture") == "false" ? 0 : 1);

    const DOMElement* missingList = startCapture != nullptr ? startCapture->getFirstElementChild() : nullptr;
    if (missingList != nullptr) {
        std::vector<DOMElement*> missing = GetXmlElementsByTagName(missingList, "MissingBiometric");
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            const std::string position = GetXmlAttribute(*it, "biometricPosition");
            if (SetMissingBiometric(position) == 0) {
                TSK_LOG(LOGLEVEL_WARNING, logModule,
                        op << ": Invalid missing biometric position:" << position << "for biometric position:"
                           << GetXmlAttribute(startCapture, "biometricPosition"));
                failureReason = "InvalidRequest_ParameterValueInvalid";
                return 0;
            }
        }
    }

    const std::string sampleFormatId = GetXmlAttribute(startCapture, "sampleFormatId");
    chosenSampleFormat = nullptr;
    for (const auto& format : capabilities.sampleFormats) {
        if (format->formatId == sampleFormatId) {
            chosenSampleFormat = format.get();
            break;
        }
    }
    if (chosenSampleFormat == nullptr) {
        if (capabilities.sampleFormats.empty()) {
            TSK_LOG(LOGLEVEL_WARNING, logModule,
                    op << ": At least on SampleFormat element must be present in DeviceCapabilities.xml");
            failureReason = "InternalError_Unknown";
            return 0;
        }
        chosenSampleFormat = capabilities.sampleFormats.front().get();
    }
    captureStartTime.store(static_cast<int64_t>(std::time(nullptr)));

    if (StartCapture(1, failureReason) == 0) return 0;

    if (!previewSocket.Listen(ReadVdmIP(), 0, 0, 30, kMinPort, kMaxPort, 1, 1)) {
        failureReason = "InternalError_Unknown";
        return 0;
    }
    videoURI = previewSocket.GetUri();
    return 1;
}

int CBaseDevice::_ProcessForceCaptureCallback(std::string& failureReason) {
    if (allowManualCapture.load() != 0) return ForceCapture(failureReason);
    failureReason = "UnableToPerformRequest";
    TSK_LOG(LOGLEVEL_WARNING, logModule,
            "CBaseDevice::_ProcessForceCaptureCallback: Manual capture is not allow because allowManualCapture "
            "attribute is set to false in StartCapture DeviceCommandRequest.");
    return 0;
}

int CBaseDevice::OpenUnderDeviceLock() {
    if (!deviceLock.trylock()) return 0;
    const int result = CBaseDevice::Open();
    if (result != 0) SetState(DEVICE_STATE_READY);
    deviceLock.unlock();
    if (result == 0) Close();
    return result;
}

int CBaseDevice::CloseUnderDeviceLock(const std::function<void()>& deinitialize) {
    deviceSocket.Close(1);
    deviceLock.lock();
    openFlag.store(0);
    CloseImageChannels(0);
    ReleaseArrivalDocument();
    deinitialize();
    SetState(DEVICE_STATE_CLOSED);
    deviceLock.unlock();
    return 1;
}

void CBaseDevice::ClearPreviewTable() {
    previewOuterLock.lock();
    previewInnerLock.lock();
    previewImages.clear();
    previewInnerLock.unlock();
    previewOuterLock.unlock();
}

int CBaseDevice::WaitForFirstPreview(const char* op, std::string& failureReason) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(firstPreviewTimeoutMs.load());
    while (firstPreview.load() == 0) {
        if (Clock::now() >= deadline) {
            TSK_LOG(LOGLEVEL_ERROR, logModule, op << ": No preview image arrived after the capture started.");
            StopCaptureIgnoreError();
            failureReason = "UnableToPerformRequest";
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    return 1;
}

int CBaseDevice::DeviceChannelGone(const char* op, const char* socketName, const char* what, int deviceType) {
    deviceLock.lock();
    TSK_LOG(LOGLEVEL_INFO, logModule,
            op << ": " << socketName << what << deviceSocket.GetRemoteSocketIdLog(deviceSocket.GetClientChannel(), 1));
    CloseImageChannels(1);
    const std::string model = capabilities.deviceModel;
    deviceLock.unlock();
    // The core object is called without the device lock held.
    if (owner != nullptr) owner->ProcessDeviceClientGoneCallback(deviceType, model);
    return 1;
}

// --- steps both device kinds share -----------------------------------------------------------------

void CBaseDevice::SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool CBaseDevice::Fits(const ZarnImageInfo& image, size_t limit) {
    return image.image != nullptr && image.width > 0 && image.height > 0 &&
           static_cast<uint64_t>(image.width) * static_cast<uint64_t>(image.height) <= limit;
}

void CBaseDevice::CopyUpright(unsigned char* target, const ZarnImageInfo& image) {
    const size_t w = static_cast<size_t>(image.width);
    if (image.rowOrder < 0) {
        for (int row = 0; row < image.height; ++row)
            std::memcpy(target + row * w, image.image + (image.height - 1 - row) * w, w);
    } else {
        std::memcpy(target, image.image, w * image.height);
    }
}

void CBaseDevice::AttachChannels(IDevice* device) {
    deviceSocket.SetDevice(device);
    previewSocket.SetDevice(device);
    resultSocket.SetDevice(device);
}

void CBaseDevice::DetachAndCloseChannels() {
    AttachChannels(nullptr);
    deviceSocket.Close(1);
    previewSocket.Close(1);
    resultSocket.Close(1);
}

int CBaseDevice::SetStateFor(const CaptureSide& side, int state) {
    stateLock.lock();
    deviceState = state;
    if (owner != nullptr) {
        owner->statusLock.lock();
        owner->captureInterlock.*side.capturing = state == DEVICE_STATE_CAPTURING ? 1 : 0;
        owner->statusLock.unlock();
    }
    stateLock.unlock();
    return 1;
}

int CBaseDevice::ReadInterlock(int CaptureInterlock::*word) {
    owner->statusLock.lock();
    const int value = owner->captureInterlock.*word;
    owner->statusLock.unlock();
    return value;
}

int CBaseDevice::CloseCaptureChannels(int stopCapture, const std::function<void()>& dropResults) {
    CBaseDevice::CloseImageChannels(stopCapture);
    if (stopCapture != 0) StopCaptureIgnoreError();
    if (dropResults) dropResults();
    ClearPreviewTable();
    SetState(DEVICE_STATE_READY);
    return 1;
}

void CBaseDevice::LogFailure(int level, const char* op, const char* function, int code) const {
    TSK_LOG(level, logModule, op << ": " << function << " failed, returned code: " << code);
}

int CBaseDevice::LibraryInitialized(const char* op, const char* function, int code) const {
    if (code != 0) {
        LogFailure(LOGLEVEL_ERROR, op, function, code);
        return 0;
    }
    TSK_LOG(LOGLEVEL_DBG1, logModule, op << ": " << function << " success");
    return 1;
}

void CBaseDevice::ReportConnected(const char* op) {
    GetDeviceInfo();
    GetApiVersion();
    TSK_LOG(LOGLEVEL_INFO, logModule,
            op << ": Successfully connected to " << capabilities.deviceModel << " " << capabilities.serialNumber
               << " device");
}

int CBaseDevice::TakeDeviceInfo(const char* op, const char* function, int code, const ZarnDeviceInfo& info) {
    if (code != 0) {
        LogFailure(LOGLEVEL_WARNING, op, function, code);
        return 0;
    }
    StoreDeviceInfo(info);
    TSK_LOG(LOGLEVEL_DBG1, logModule,
            op << ": DeviceModel=" << capabilities.deviceModel << " FirmwareRev=" << capabilities.firmwareRev
               << " SerialNumber=" << capabilities.serialNumber);
    return 1;
}

int CBaseDevice::TakeApiVersion(const char* op, const char* function, int code, const ZarnApiVersion& version) {
    if (code != 0) {
        LogFailure(LOGLEVEL_WARNING, op, function, code);
        return 0;
    }
    StoreApiVersion(version);
    TSK_LOG(LOGLEVEL_DBG1, logModule,
            op << ": DeviceMake=" << capabilities.deviceMake << " HardwareRev=" << capabilities.hardwareRev);
    return 1;
}

int CBaseDevice::CaptureStarted(const char* op, const CaptureSide& side, int code, std::string& failureReason) {
    if (code != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_Start", code);
        failureReason = "UnableToPerformRequest";
        return 0;
    }
    // The first frame shows the device really streams; a dead camera must not hold the channel.
    if (WaitForFirstPreview(op, failureReason) == 0) return 0;
    TSK_LOG(LOGLEVEL_INFO, logModule, op << ": " << side.title << " capture is started successfully.");
    return 1;
}

int CBaseDevice::ForceCaptureWith(const char* op, const CaptureSide& side, const std::function<int()>& take,
                                  const std::function<int()>& acquire, std::string& failureReason) {
    TSK_LOG(LOGLEVEL_INFO, logModule, op << ": Trying to force " << side.name << " capture.");
    if (GetState() != DEVICE_STATE_CAPTURING) {
        TSK_LOG(LOGLEVEL_WARNING, logModule, op << ": Capture has not started yet.");
        failureReason = "UnableToPerformRequest";
        return 0;
    }
    int rc = take();
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_TakeResultImage", rc);
        failureReason = "UnableToPerformRequest";
        return 0;
    }
    rc = acquire();
    if (rc != 0) {
        LogFailure(LOGLEVEL_ERROR, op, "Zarn_Capture_AcquireResultImage", rc);
        failureReason = "UnableToPerformRequest";
        return 0;
    }
    TSK_LOG(LOGLEVEL_INFO, logModule, op << ": " << side.title << " capture success.");
    return 1;
}

int CBaseDevice::StopCaptureWith(const char* op, const CaptureSide& side, const std::function<int()>& abort,
                                 std::string& failureReason) {
    TSK_LOG(LOGLEVEL_INFO, logModule, op << ": Trying to stop " << side.name << " capture.");
    int result = 1;
    if (GetState() == DEVICE_STATE_CAPTURING) {
        const int rc = abort();
        SetState(DEVICE_STATE_READY);
        if (rc == 0) {
            TSK_LOG(LOGLEVEL_INFO, logModule, op << ": " << side.title << " capture stopped.");
        } else {
            LogFailure(LOGLEVEL_ERROR, op, side.abortCall, rc);
            failureReason = "UnableToPerformRequest";
            result = 0;
        }
    } else if (side.closeWhenIdle == 0) {
        return result;
    }
    CloseImageChannels(0);
    return result;
}

void CBaseDevice::StopCaptureQuietly(const char* op, const CaptureSide& side, const std::function<int()>& abort) {
    const int wasCapturing = GetState() == DEVICE_STATE_CAPTURING;
    const int rc = abort();
    if (wasCapturing && rc == 0) TSK_LOG(LOGLEVEL_DBG1, logModule, op << ": " << side.title << " capture stopped.");
    SetState(DEVICE_STATE_READY);
}

int CBaseDevice::StartCaptureUnderDeviceLock(const char* op, const CaptureSide& side,
                                             const std::function<int(std::string&)>& begin,
                                             std::string& failureReason) {
    deviceLock.lock();
    int polls = 0;
    int state = GetState();
    // A result the client still fetches: give it up to 3 s to close the result channel.
    while (state == DEVICE_STATE_RESULT_READY && polls < 100) {
        SleepMs(30);
        ++polls;
        state = GetState();
    }
    if (state == DEVICE_STATE_CLOSED) {
        TSK_LOG(LOGLEVEL_WARNING, logModule, op << ": " << side.notInitialized);
        failureReason = "Aborted";
        deviceLock.unlock();
        return 0;
    }
    owner->statusLock.lock();
    owner->captureInterlock.*side.capturing = 1;
    const int otherAdding = owner->captureInterlock.*side.otherStatus == 1;
    owner->statusLock.unlock();
    int result = 0;
    if (otherAdding) {
        TSK_LOG(LOGLEVEL_WARNING, logModule, op << ": " << side.otherInitializing);
        failureReason = "Aborted";
    } else {
        bool busy = ReadInterlock(side.otherCapturing) != 0;
        while (busy && polls < 100) {
            SleepMs(70);
            ++polls;
            busy = ReadInterlock(side.otherCapturing) != 0;
        }
        if (busy) {
            TSK_LOG(LOGLEVEL_WARNING, logModule, op << ": " << side.otherBusy);
            failureReason = side.otherBusyReason;
        } else {
            result = begin(failureReason);
        }
    }
    if (result == 0) SetState(DEVICE_STATE_READY);
    deviceLock.unlock();
    return result;
}

int CBaseDevice::SubscribeUnderDeviceLock(const DOMElement* subscribe, std::map<int, int>& categories) {
    deviceLock.lock();
    const int result = _ProcessSubscribeCallback(subscribe, categories);
    deviceLock.unlock();
    return result;
}

int CBaseDevice::StopCaptureUnderDeviceLock(std::string& failureReason) {
    deviceLock.lock();
    const int result = StopCapture(failureReason);
    deviceLock.unlock();
    return result;
}

int CBaseDevice::ClientGone() {
    deviceLock.lock();
    if (GetState() == DEVICE_STATE_CAPTURING) StopCaptureIgnoreError();
    CloseImageChannels(0);
    deviceLock.unlock();
    return 1;
}

// The client has the result once it closes the result channel: the device is ready again.
int CBaseDevice::ResultChannelClosed() {
    SetState(DEVICE_STATE_READY);
    return 1;
}

int CBaseDevice::SendPreviewRecord(const std::string& requestId,
                                   const std::function<bool(unsigned char**, unsigned int*)>& build) {
    previewOuterLock.lock();
    previewInnerLock.lock();
    unsigned char* record = nullptr;
    unsigned int length = 0;
    const bool built = build(&record, &length);
    previewInnerLock.unlock();
    if (built) previewSocket.SendImage(record, length, requestId, MID_GetFrame);
    previewOuterLock.unlock();
    std::free(record);
    return built ? 1 : 0;
}

int CBaseDevice::SendSampleRecord(const char* op, const CaptureSide& side, const std::string& requestId,
                                  const std::function<bool()>& present,
                                  const std::function<bool(unsigned char**, unsigned int*)>& build) {
    resultLock.lock();
    if (!present()) {
        resultLock.unlock();
        TSK_LOG(LOGLEVEL_WARNING, logModule,
                op << ": Received the get sample image request, but the result image is not exist.");
        return 0;
    }
    unsigned char* record = nullptr;
    unsigned int length = 0;
    const bool built = build(&record, &length);
    resultLock.unlock();
    if (!built) {
        TSK_LOG(LOGLEVEL_ERROR, logModule, op << ": Failed to build " << side.name << " ISO image.");
        return 0;
    }
    resultSocket.SendImage(record, length, requestId, MID_GetSample);
    std::free(record);
    return 1;
}

void CBaseDevice::StorePreview(const char* op, int key, const ZarnImageInfo& image, unsigned char* buffer,
                               size_t size) {
    TSK_LOG(LOGLEVEL_DBG3, logModule, op << ": Try lock.");
    if (!deviceLock.trylock()) return;
    previewInnerLock.lock();
    ZarnImageInfo& stored = previewImages[key];
    stored = image;
    std::memset(buffer, 0, size);
    stored.image = buffer;
    CopyUpright(buffer, image);
    if (image.rowOrder < 0) stored.rowOrder = 1;
    previewInnerLock.unlock();
    deviceLock.unlock();
}

bool CBaseDevice::LockWhileCapturing() {
    while (!deviceLock.trylock()) {
        if (GetState() != DEVICE_STATE_CAPTURING) return false;
        SleepMs(10);
    }
    if (GetState() != DEVICE_STATE_CAPTURING) {
        deviceLock.unlock();
        return false;
    }
    return true;
}

void CBaseDevice::CompleteCapture() {
    if (OpenResultChannel() != 0) {
        ClearPreviewTable();
        deviceSocket.SendCaptureCompleteDeviceEventRequest(resultSocket.GetUri());
    }
    SetState(DEVICE_STATE_RESULT_READY);
    deviceLock.unlock();
}

void CBaseDevice::DeviceConnection(int connected, const CaptureSide& side, const char* lostText) {
    if (connected != 0 || openFlag.load() == 0 || !deviceLock.trylock()) return;
    TSK_LOG(LOGLEVEL_WARNING, logModule, lostText << deviceSocket.GetUri());
    const bool wasOpen = openFlag.exchange(0) != 0;
    deviceLock.unlock();
    // Reported once, without the device lock held: the core object removes the device.
    if (wasOpen && owner != nullptr) owner->ProcessDeviceLostEventCallback(side.deviceType, 1);
}
