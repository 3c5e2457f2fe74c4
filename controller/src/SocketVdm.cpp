#include "SocketVdm.h"

#include "runtime/Log.h"
#include "runtime/RequestIds.h"
#include "runtime/StringUtils.h"
#include "xml/XmlMessage.h"

using namespace xercesc;

CSocketVdm::CSocketVdm(const std::string& name)
    : CXmlSocketController(name, kControllerLogModule, "CSocketVdm", "<Vdm", CXmlStreamAssembler::KeepLastFailedPiece,
                           LOGLEVEL_DBG2) {
    CSocketVdm::LoadSchemas();
    // A host that does not answer is given up after a few seconds, so that the port walk goes on.
    SetConnectTimeout(5000);
}

CSocketVdm::~CSocketVdm() {
    Close(1);
}

bool CSocketVdm::LoadSchemas() {
    schemaList.clear();
    schemaList.push_back(CUtilities::GetAppDataDir() + "/VdmEventRequest.xsd");
    schemaList.push_back(CUtilities::GetAppDataDir() + "/VdmCommandResponse.xsd");
    return true;
}

void CSocketVdm::ProcessNewRemoteConnection(int) {}

void CSocketVdm::ProcessSocketCloseEvent(int) {
    if (INavikVdmController* controller = controller_.load()) controller->OnVdmDisconnected();
}

void CSocketVdm::ProcessSocketErrorEvent(int) {
    if (INavikVdmController* controller = controller_.load()) controller->OnVdmSocketError();
}

std::string CSocketVdm::CalibrationFailureText(const std::string& failureReason) {
    if (failureReason == "UnableToPerformRequest") return "Calibration failed. Fingerprint or Iris device is in use.";
    if (failureReason == "InvalidRequest_CaptureAlreadyInProgress") {
        return "Calibration failed. Fingerprint or Iris capture is in progress.";
    }
    if (failureReason == "Aborted") return "Calibration failed. Please check the lid is covered.";
    return "";
}

// --- sending -------------------------------------------------------------------------------------

bool CSocketVdm::SendRequest(const char* op, DOMDocument* document, const std::string& requestId,
                             MessageId messageId) {
    return SendXml({op, CUtilities::GetCommandName(messageId), kControllerLogModule, LOGLEVEL_DBG2, LOGLEVEL_ERROR,
                    false, ""},
                   currentChannel.load(), document, requestId, messageId, false) == 0;
}

bool CSocketVdm::SendConfigVdmCommandRequest(const std::map<std::string, std::string>& pairs) {
    const char* op = "CSocketVdm::SendConfigVdmCommandRequest";
    CXmlMessage message("VdmCommandRequest");
    if (!CheckMessage(message, op, kControllerLogModule, LOGLEVEL_WARNING)) return false;
    const std::string requestId = GenerateRequestId();
    SetXmlAttribute(message.Root(), "requestId", requestId);
    for (const auto& [key, value] : pairs) {
        DOMElement* config = message.Add(message.Root(), "Config");
        SetXmlAttribute(config, "key", key);
        SetXmlAttribute(config, "value", value);
    }
    return SendRequest(op, message.Document(), requestId, MID_Config);
}

bool CSocketVdm::SendDeviceVdmCommandRequest(int deviceType, const std::string& deviceModel, int command) {
    const char* op = "CSocketVdm::SendDeviceVdmCommandRequest";
    static const struct {
        const char* element;
        MessageId id;
    } kCommands[] = {{"Start", MID_StartDevice},
                     {"Stop", MID_StopDevice},
                     {"Restart", MID_RestartDevice},
                     {"Calibration", MID_CalibrateDevice}};
    if (command < Start || command > Calibration) return false;
    CXmlMessage message("VdmCommandRequest");
    if (!CheckMessage(message, op, kControllerLogModule, LOGLEVEL_WARNING)) return false;
    const std::string requestId = GenerateRequestId();
    SetXmlAttribute(message.Root(), "requestId", requestId);
    DOMElement* device = message.Add(message.Root(), "Device");
    SetXmlAttribute(device, "deviceType", std::to_string(deviceType));
    SetXmlAttribute(device, "deviceModel", deviceModel);
    message.Add(device, kCommands[command].element);
    return SendRequest(op, message.Document(), requestId, kCommands[command].id);
}

bool CSocketVdm::SendVdmEventResponse(const std::string& requestId, const std::string& value,
                                      const std::string& failureReason, MessageId messageId) {
    const char* op = "CSocketVdm::SendVdmEventResponse";
    CXmlMessage message("VdmEventResponse");
    if (!CheckMessage(message, op, kControllerLogModule, LOGLEVEL_WARNING)) return false;
    SetXmlAttribute(message.Root(), "requestId", requestId);
    DOMElement* ret = message.Add(message.Root(), "Return");
    SetXmlAttribute(ret, "value", value);
    SetXmlAttribute(ret, "failureReason", failureReason);
    return SendXml({op, CUtilities::GetCommandName(messageId), kControllerLogModule, LOGLEVEL_DBG2, LOGLEVEL_ERROR,
                    false, ""},
                   currentChannel.load(), message.Document(), requestId, messageId, true) == 0;
}

// --- receiving -----------------------------------------------------------------------------------

void CSocketVdm::ProcessReceivedDataNormal(int channel, char* data, int length) {
    currentChannel.store(channel);
    ReceiveXml(data, length);
}

bool CSocketVdm::HandleDocument(const std::string& rootTag, const DOMElement* root) {
    if (rootTag == "VdmCommandResponse") {
        ParseVdmCommandResponse(root);
    } else if (rootTag == "VdmEventRequest") {
        ParseVdmEventRequest(root);
    } else {
        return false;
    }
    return true;
}

void CSocketVdm::ParseVdmCommandResponse(const DOMElement* root) {
    const char* op = "CSocketVdm::ParseVdmCommandResponse";
    const AnswerLog log{op, [](MessageId) { return kControllerLogModule; }, [](MessageId) { return LOGLEVEL_DBG2; }};
    MessageId kind = MID_Unknown;
    bool recorded = false;
    if (!ReadAnswer(log, currentChannel.load(), root, kind, recorded)) return;

    // An answer without its Return element says nothing of success: it counts as a failure.
    const DOMElement* ret = root->getFirstElementChild();
    bool failed = true;
    std::string reason;
    if (ret == nullptr || GetXmlTagName(ret) != "Return") {
        TSK_LOG(LOGLEVEL_ERROR, kControllerLogModule,
                op << GetLogPrefix() << " " << CUtilities::GetCommandName(kind)
                   << " request failure, the response has no Return element.");
    } else {
        failed = GetXmlAttribute(ret, "value") == "Failure";
        reason = GetXmlAttribute(ret, "failureReason");
    }
    if (kind != MID_CalibrateDevice) return;
    INavikVdmController* controller = controller_.load();
    if (controller == nullptr) return;
    if (!failed) {
        controller->OnCalibrationResult(true, "");
        return;
    }
    const std::string text = CalibrationFailureText(reason);
    if (!text.empty()) controller->OnCalibrationResult(false, text);
}

void CSocketVdm::ParseVdmEventRequest(const DOMElement* root) {
    const char* op = "CSocketVdm::ParseVdmEventRequest";
    const std::string requestId = GetXmlAttribute(root, "requestId");
    const int channel = currentChannel.load();
    // Received ids are recorded, as the service does, so that a repeated event is refused; the
    // answer's send removes the id again.
    std::string remote;
    const ReceivedId recorded = RecordReceivedRequestId(channel, requestId, MID_Unknown, &remote);
    if (recorded == ReceivedId::Closed) return;
    if (recorded == ReceivedId::Repeated) {
        TSK_LOG(LOGLEVEL_ERROR, kControllerLogModule, op << GetLogPrefix() << " The received requestId is already exist.");
        SendVdmEventResponse(requestId, "Failure", "InvalidRequest_ParameterValueInvalid", MID_Unknown);
        return;
    }
    auto received = [&](MessageId id) {
        TSK_LOG(LOGLEVEL_DBG2, kControllerLogModule,
                op << GetLogPrefix() << " Received \"" << CUtilities::GetCommandName(id)
                   << "\" request with requestId: " << requestId << " from " << remote);
    };
    INavikVdmController* controller = controller_.load();

    std::vector<DOMElement*> configs = GetXmlElementsByTagName(root, "Config");
    if (!configs.empty()) {
        received(MID_Config);
        for (const DOMElement* config : configs) {
            std::string value = GetXmlAttribute(config, "value");
            Trim(value);
            if (controller != nullptr) controller->OnConfigReceived(GetXmlAttribute(config, "key"), value);
        }
        SendVdmEventResponse(requestId, "Success", "Success", MID_Config);
        return;
    }

    std::vector<DOMElement*> devices = GetXmlElementsByTagName(root, "Device");
    if (!devices.empty()) {
        for (const DOMElement* device : devices) {
            const int deviceType = ParseDecimal(GetXmlAttribute(device, "deviceType"));
            const std::string deviceModel = GetXmlAttribute(device, "deviceModel");
            const bool iris = deviceType == 1;
            const DOMElement* event = device->getFirstElementChild();
            if (event == nullptr) {
                // A device event names its kind by its first child: without one there is nothing to show.
                TSK_LOG(LOGLEVEL_WARNING, kControllerLogModule,
                        op << GetLogPrefix() << " Received a Device element without an event, requestId: "
                           << requestId);
                SendVdmEventResponse(requestId, "Failure", "InvalidRequest_ParameterValueInvalid", MID_Unknown);
                continue;
            }
            const std::string kind = GetXmlTagName(event);
            MessageId id;
            if (kind == "DeviceInfo") {
                id = iris ? MID_IrisConfigDeviceInfo : MID_FingerprintConfigDeviceInfo;
                received(id);
                if (controller != nullptr) {
                    controller->OnDeviceInfo(deviceType, deviceModel, GetXmlAttribute(event, "deviceURI"),
                                             GetXmlAttribute(event, "isDeviceConnecting") == "true",
                                             GetXmlAttribute(event, "isStartDeviceFailed") == "true");
                }
            } else if (kind == "Removal") {
                id = iris ? MID_IrisConfigDeviceRemoval : MID_FingerprintConfigDeviceRemoval;
                received(id);
                if (controller != nullptr) controller->OnDeviceRemoval(deviceType, deviceModel);
            } else {
                id = iris ? MID_IrisConfigDeviceClient : MID_FingerprintConfigDeviceClient;
                received(id);
                if (controller != nullptr) {
                    controller->OnDeviceClient(deviceType, deviceModel, GetXmlAttribute(event, "clientURI"));
                }
            }
            SendVdmEventResponse(requestId, "Success", "Success", id);
        }
        return;
    }

    received(MID_ConfigDeviceManager);
    for (const DOMElement* manager : GetXmlElementsByTagName(root, "DeviceManager")) {
        if (controller != nullptr) controller->OnDeviceManager(GetXmlAttribute(manager, "deviceManagerURI"));
    }
    SendVdmEventResponse(requestId, "Success", "Success", MID_ConfigDeviceManager);
}
