#include "config/SocketConfig.h"

#include "runtime/Log.h"
#include "runtime/RequestIds.h"
#include "runtime/StringUtils.h"
#include "xml/XmlMessage.h"

using namespace xercesc;

namespace {

// Longest configuration line the reader takes.
constexpr size_t kMaxConfigLine = 255;

int ModuleOfEvent(MessageId id) {
    if (id >= MID_FingerprintConfigDeviceInfo && id <= MID_FingerprintConfigDeviceClient) return VDM_LOG_FINGERPRINT;
    if (id >= MID_IrisConfigDeviceInfo && id <= MID_IrisConfigDeviceClient) return VDM_LOG_IRIS;
    return VDM_LOG_MAIN;
}

MessageId DeviceEventId(int deviceType, MessageId fingerprint, MessageId iris) {
    return deviceType == 0 ? fingerprint : deviceType == 1 ? iris : MID_Unknown;
}

bool HasControlCharacter(const std::string& text, bool allowTab) {
    for (unsigned char c : text) {
        if (c == 0x7F || (c < 0x20 && !(allowTab && c == '\t'))) return true;
    }
    return false;
}

}  // namespace

CSocketConfig::CSocketConfig(const std::string& name)
    : CXmlSocketController(name, VDM_LOG_MAIN, "CSocketConfig", "<Vdm", CXmlStreamAssembler::KeepLastFailedPiece) {
    CSocketConfig::LoadSchemas();
}

CSocketConfig::~CSocketConfig() {
    Close(1);
}

bool CSocketConfig::LoadSchemas() {
    schemaList.clear();
    schemaList.push_back(CUtilities::GetAppDataDir() + "/VdmEventResponse.xsd");
    schemaList.push_back(CUtilities::GetAppDataDir() + "/VdmCommandRequest.xsd");
    return true;
}

void CSocketConfig::ProcessNewRemoteConnection(int channel) {
    nControllerChannel.store(channel);
    if (CBaseNavikVdm* owner = pVdm.load()) owner->ProcessControllerConnectedCallback();
}

// Only the controller's own channel ends the link: a refused second connection is reported here
// too (with its own channel, or -1), and must not cut off the connected controller.
void CSocketConfig::ProcessSocketCloseEvent(int channel) {
    int expected = channel;
    nControllerChannel.compare_exchange_strong(expected, -1);
}

void CSocketConfig::ProcessSocketErrorEvent(int channel) {
    int expected = channel;
    nControllerChannel.compare_exchange_strong(expected, -1);
}

const char* CSocketConfig::FailureReasonOf(int commandResult) {
    switch (commandResult) {
        case -1: return "InvalidRequest_ParameterValueInvalid";
        case -2: return "UnableToPerformRequest";
        case -3: return "InvalidRequest_CaptureAlreadyInProgress";
        case -4: return "Aborted";
        default: return "Success";
    }
}

bool CSocketConfig::IsWritableConfigPair(const std::string& key, const std::string& value) {
    if (key.empty() || HasControlCharacter(key, false) || key.find_first_of("=#") != std::string::npos) return false;
    if (key.front() == ' ' || key.back() == ' ' || key.front() == '"') return false;
    if (HasControlCharacter(value, true) || value.find('#') != std::string::npos) return false;
    return key.size() + 3 + value.size() <= kMaxConfigLine;  // written as key " = " value
}

// --- sending -------------------------------------------------------------------------------------

bool CSocketConfig::SendMessage(const char* op, DOMDocument* document, const std::string& requestId,
                                MessageId messageId, bool isResponse, int module, int failureLevel) {
    return SendXml({op, CUtilities::GetCommandName(messageId), module, LOGLEVEL_DBG1, failureLevel, true, ""},
                   nControllerChannel.load(), document, requestId, messageId, isResponse) == 0;
}

bool CSocketConfig::StartEvent(const char* op, CXmlMessage& message, int module, std::string& requestId) {
    if (!CheckMessage(message, op, module, LOGLEVEL_WARNING)) return false;
    requestId = GenerateRequestId();
    SetXmlAttribute(message.Root(), "requestId", requestId);
    return true;
}

bool CSocketConfig::SendVdmCommandResponse(const std::string& requestId, const std::string& value,
                                           const std::string& failureReason, MessageId messageId) {
    const char* op = "CSocketConfig::SendVdmCommandResponse";
    if (nControllerChannel.load() < 0) return false;
    CXmlMessage message("VdmCommandResponse");
    if (!CheckMessage(message, op, VDM_LOG_MAIN, LOGLEVEL_WARNING)) return false;
    SetXmlAttribute(message.Root(), "requestId", requestId);
    DOMElement* ret = message.Add(message.Root(), "Return");
    SetXmlAttribute(ret, "value", value);
    SetXmlAttribute(ret, "failureReason", failureReason);
    return SendMessage(op, message.Document(), requestId, messageId, true, VDM_LOG_MAIN, LOGLEVEL_WARNING);
}

bool CSocketConfig::SendConfigVdmEventRequest(const std::map<std::string, std::string>& config) {
    const char* op = "CSocketConfig::SendConfigVdmEventRequest";
    if (nControllerChannel.load() < 0) return false;
    CXmlMessage message("VdmEventRequest");
    std::string requestId;
    if (!StartEvent(op, message, VDM_LOG_MAIN, requestId)) return false;
    for (const auto& [key, value] : config) {
        DOMElement* element = message.Add(message.Root(), "Config");
        SetXmlAttribute(element, "key", key);
        SetXmlAttribute(element, "value", value);
    }
    return SendMessage(op, message.Document(), requestId, MID_Config, false, VDM_LOG_MAIN, LOGLEVEL_WARNING);
}

bool CSocketConfig::SendDeviceEvent(const char* op, int deviceType, const std::string& deviceModel,
                                    const char* childName, MessageId messageId,
                                    const std::map<std::string, std::string>& attributes,
                                    const char* const* attributeOrder, size_t attributeCount) {
    if (nControllerChannel.load() < 0) return false;
    const int module = VdmLogModuleOf(deviceType);
    CXmlMessage message("VdmEventRequest");
    std::string requestId;
    if (!StartEvent(op, message, module, requestId)) return false;
    DOMElement* device = message.Add(message.Root(), "Device");
    SetXmlAttribute(device, "deviceType", std::to_string(deviceType));
    SetXmlAttribute(device, "deviceModel", deviceModel);
    DOMElement* child = message.Add(device, childName);
    for (size_t i = 0; i < attributeCount; ++i) {
        SetXmlAttribute(child, attributeOrder[i], attributes.at(attributeOrder[i]));
    }
    return SendMessage(op, message.Document(), requestId, messageId, false, module, LOGLEVEL_ERROR);
}

bool CSocketConfig::SendDeviceVdmInfoEventRequest(int deviceType, const std::string& deviceModel,
                                                  const std::string& deviceURI, bool isDeviceConnecting,
                                                  bool isStartDeviceFailed) {
    static const char* const kOrder[] = {"deviceURI", "isDeviceConnecting", "isStartDeviceFailed"};
    return SendDeviceEvent("CSocketConfig::SendDeviceVdmInfoEventRequest", deviceType, deviceModel, "DeviceInfo",
                           DeviceEventId(deviceType, MID_FingerprintConfigDeviceInfo, MID_IrisConfigDeviceInfo),
                           {{"deviceURI", deviceURI},
                            {"isDeviceConnecting", isDeviceConnecting ? "true" : "false"},
                            {"isStartDeviceFailed", isStartDeviceFailed ? "true" : "false"}},
                           kOrder, 3);
}

bool CSocketConfig::SendDeviceVdmRemovalEventRequest(int deviceType, const std::string& deviceModel) {
    return SendDeviceEvent("CSocketConfig::SendDeviceVdmRemovalEventRequest", deviceType, deviceModel, "Removal",
                           DeviceEventId(deviceType, MID_FingerprintConfigDeviceRemoval, MID_IrisConfigDeviceRemoval),
                           {}, nullptr, 0);
}

bool CSocketConfig::SendDeviceVdmClientEventRequest(int deviceType, const std::string& deviceModel,
                                                    const std::string& clientURI) {
    static const char* const kOrder[] = {"clientURI"};
    return SendDeviceEvent("CSocketConfig::SendDeviceVdmClientEventRequest", deviceType, deviceModel, "Client",
                           DeviceEventId(deviceType, MID_FingerprintConfigDeviceClient, MID_IrisConfigDeviceClient),
                           {{"clientURI", clientURI}}, kOrder, 1);
}

bool CSocketConfig::SendDeviceManagerVdmEventRequest(const std::string& deviceManagerURI) {
    const char* op = "CSocketConfig::SendDeviceManagerVdmEventRequest";
    if (nControllerChannel.load() < 0) return false;
    CXmlMessage message("VdmEventRequest");
    std::string requestId;
    if (!StartEvent(op, message, VDM_LOG_MAIN, requestId)) return false;
    SetXmlAttribute(message.Add(message.Root(), "DeviceManager"), "deviceManagerURI", deviceManagerURI);
    return SendMessage(op, message.Document(), requestId, MID_ConfigDeviceManager, false, VDM_LOG_MAIN,
                       LOGLEVEL_WARNING);
}

// --- receiving -----------------------------------------------------------------------------------

void CSocketConfig::ProcessReceivedDataNormal(int channel, char* data, int length) {
    nControllerChannel.store(channel);
    ReceiveXml(data, length);
}

bool CSocketConfig::HandleDocument(const std::string& rootTag, const DOMElement* root) {
    if (rootTag == "VdmCommandRequest") {
        ParseVdmCommandRequest(root);
    } else if (rootTag == "VdmEventResponse") {
        ParseVdmEventResponse(root);
    } else {
        return false;
    }
    return true;
}

void CSocketConfig::ParseVdmCommandRequest(const DOMElement* root) {
    const char* op = "CSocketConfig::ParseVdmCommandRequest";
    const std::string requestId = GetXmlAttribute(root, "requestId");
    const int channel = nControllerChannel.load();
    std::string remote;
    const ReceivedId recorded = RecordReceivedRequestId(channel, requestId, MID_VdmCommand, &remote);
    if (recorded == ReceivedId::Closed) return;
    if (recorded == ReceivedId::Repeated) {
        TSK_LOG(LOGLEVEL_ERROR, VDM_LOG_MAIN, op << GetLogPrefix() << " The received requestId is already exist.");
        SendVdmCommandResponse(requestId, "Failure", "InvalidRequest_ParameterValueInvalid", MID_Unknown);
        return;
    }

    CBaseNavikVdm* owner = pVdm.load();
    int commandResult = 0;
    std::vector<DOMElement*> configs = GetXmlElementsByTagName(root, "Config");
    if (!configs.empty()) {
        TSK_LOG(LOGLEVEL_DBG1, VDM_LOG_MAIN,
                op << GetLogPrefix() << " Received \"Config\" request with requestId: " << requestId << " from "
                   << remote);
    }
    // Every pair rewrites the configuration file: a request asking for more pairs than the
    // service has settings is refused whole, as an invalid value.
    if (configs.size() > kMaxConfigPairs) {
        TSK_LOG(LOGLEVEL_WARNING, VDM_LOG_MAIN,
                op << GetLogPrefix() << " Refused " << configs.size() << " configuration pairs in one request, at most "
                   << kMaxConfigPairs << " are taken.");
        configs.clear();
        commandResult = -1;
    }
    for (const DOMElement* config : configs) {
        const std::string key = GetXmlAttribute(config, "key");
        std::string value = GetXmlAttribute(config, "value");
        Trim(value);
        if (value.empty()) {
            commandResult = -1;
            continue;
        }
        // A pair that would add or break lines of the configuration file is refused like an empty
        // value; the other pairs are still applied.
        if (!IsWritableConfigPair(key, value)) {
            TSK_LOG(LOGLEVEL_WARNING, VDM_LOG_MAIN,
                    op << GetLogPrefix() << " Refused configuration key or value that cannot be stored, key length: "
                       << key.size() << ", value length: " << value.size() << ".");
            commandResult = -1;
            continue;
        }
        if (owner != nullptr) owner->SetVdmConfigCallback(key, value);
    }

    std::vector<DOMElement*> devices = GetXmlElementsByTagName(root, "Device");
    if (devices.size() == 1) {
        const DOMElement* device = devices.front();
        const int deviceType = ParseDecimal(GetXmlAttribute(device, "deviceType"));
        const std::string deviceModel = GetXmlAttribute(device, "deviceModel");
        const std::string command = GetXmlTagName(device->getFirstElementChild());
        static const struct {
            const char* command;
            const char* name;
        } kCommands[] = {{"Start", "StartDevice"}, {"Stop", "StopDevice"}, {"Restart", "RestartDevice"},
                         {"Calibration", "CalibrateDevice"}};
        for (const auto& known : kCommands) {
            if (command != known.command) continue;
            TSK_LOG(LOGLEVEL_DBG1, VdmLogModuleOf(deviceType),
                    op << GetLogPrefix() << " Received \"" << known.name << "\" request for " << deviceModel
                       << " with requestId: " << requestId << " from " << remote);
            if (owner == nullptr) {
                commandResult = -2;
            } else if (command == "Start") {
                if (owner->StartDeviceCallback(deviceType) == 0) commandResult = -2;
            } else if (command == "Stop") {
                if (owner->StopDeviceCallback(deviceType, 1) == 0) commandResult = -2;
            } else if (command == "Restart") {
                if (owner->RestartDeviceCallback(deviceType) == 0) commandResult = -2;
            } else {
                commandResult = owner->CalibrateDeviceCallback(deviceType);
            }
            break;
        }
    }

    const char* reason = FailureReasonOf(commandResult);
    SendVdmCommandResponse(requestId, std::string(reason) == "Success" ? "Success" : "Failure", reason, MID_VdmCommand);
}

void CSocketConfig::ParseVdmEventResponse(const DOMElement* root) {
    const AnswerLog log{"CSocketConfig::ParseVdmEventResponse", ModuleOfEvent,
                        [](MessageId) { return LOGLEVEL_DBG1; }};
    MessageId kind = MID_Unknown;
    bool recorded = false;
    ReadAnswer(log, nControllerChannel.load(), root, kind, recorded);
}
