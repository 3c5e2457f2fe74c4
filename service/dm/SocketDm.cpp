#include "dm/SocketDm.h"

#include "runtime/Log.h"
#include "runtime/RequestIds.h"
#include "xml/XmlMessage.h"

using namespace xercesc;

namespace {

MessageId ArrivalId(int deviceType) {
    return deviceType == 0 ? MID_FingerprintDeviceArrival
                           : deviceType == 1 ? MID_IrisDeviceArrival : MID_Unknown;
}

MessageId RemovalId(int deviceType) {
    return deviceType == 0 ? MID_FingerprintDeviceRemoval
                           : deviceType == 1 ? MID_IrisDeviceRemoval : MID_Unknown;
}

int ModuleOf(MessageId id) {
    switch (id) {
        case MID_FingerprintDeviceArrival:
        case MID_FingerprintDeviceRemoval: return VDM_LOG_FINGERPRINT;
        case MID_IrisDeviceArrival:
        case MID_IrisDeviceRemoval: return VDM_LOG_IRIS;
        default: return VDM_LOG_MAIN;
    }
}

}  // namespace

CSocketDm::CSocketDm(const std::string& name)
    : CXmlSocketController(name, VDM_LOG_MAIN, "CSocketDm", "<Device", CXmlStreamAssembler::KeepLastFailedPiece) {
    CSocketDm::LoadSchemas();
}

CSocketDm::~CSocketDm() {
    Close(1);
}

bool CSocketDm::LoadSchemas() {
    schemaList.clear();
    schemaList.push_back(CUtilities::GetAppDataDir() + "/DeviceManagerEventResponse.xsd");
    return true;
}

void CSocketDm::ProcessSocketCloseEvent(int) {
    if (CBaseNavikVdm* owner = owner_.load()) owner->ProcessDmSocketCloseEventCallback();
}

void CSocketDm::ProcessSocketErrorEvent(int) {
    if (CBaseNavikVdm* owner = owner_.load()) owner->ProcessDmSocketErrorEventCallback();
}

bool CSocketDm::SendRequest(const char* op, const char* messageName, DOMDocument* document,
                            const std::string& requestId, MessageId messageId, int module, int level) {
    return SendXml({op, messageName, module, level, LOGLEVEL_ERROR, false, ""}, channelId_.load(), document,
                   requestId, messageId, false) == 0;
}

bool CSocketDm::BuildRequest(const char* op, CXmlMessage& message, const char* elementName, int module,
                             DOMElement*& element, std::string& requestId) {
    if (!CheckMessage(message, op, module, LOGLEVEL_WARNING)) return false;
    requestId = GenerateRequestId();
    SetXmlAttribute(message.Root(), "requestId", requestId);
    element = message.Document()->createElement(CToXmlCh(elementName));
    return true;
}

bool CSocketDm::SendConnectDeviceManagerEventRequest(const std::string& apiVersion, const std::string& vendor,
                                                     const std::string& version, const std::string& vdmName,
                                                     const std::string& vdmVersion) {
    const char* op = "CSocketDm::SendConnectDeviceManagerEventRequest";
    CXmlMessage message("DeviceManagerEventRequest");
    DOMElement* connect = nullptr;
    std::string requestId;
    if (!BuildRequest(op, message, "Connect", VDM_LOG_MAIN, connect, requestId)) return false;
    SetXmlAttribute(message.Root(), "version", version);
    SetXmlAttribute(connect, "apiVersion", apiVersion);
    DOMElement* vdm = message.Add(connect, "VDM");
    SetXmlAttribute(vdm, "vendor", vendor);
    SetXmlAttribute(vdm, "vdmName", vdmName);
    SetXmlAttribute(vdm, "vdmVersion", vdmVersion);
    message.Root()->appendChild(connect);
    return SendRequest(op, "Connect", message.Document(), requestId, MID_Connect, VDM_LOG_MAIN, LOGLEVEL_INFO);
}

bool CSocketDm::SendArrivalDeviceManagerEventRequest(DOMDocument* document, int deviceType) {
    const char* op = "CSocketDm::SendArrivalDeviceManagerEventRequest";
    if (document == nullptr || document->getDocumentElement() == nullptr) return false;
    const std::string requestId = GenerateRequestId();
    SetXmlAttribute(document->getDocumentElement(), "requestId", requestId);
    const MessageId id = ArrivalId(deviceType);
    return SendRequest(op, "Arrival", document, requestId, id, ModuleOf(id), LOGLEVEL_INFO);
}

bool CSocketDm::SendRemovalDeviceManagerEventRequest(int deviceType, const std::string& deviceURI) {
    const char* op = "CSocketDm::SendRemovalDeviceManagerEventRequest";
    const MessageId id = RemovalId(deviceType);
    CXmlMessage message("DeviceManagerEventRequest");
    DOMElement* removal = nullptr;
    std::string requestId;
    if (!BuildRequest(op, message, "Removal", ModuleOf(id), removal, requestId)) return false;
    SetXmlAttribute(removal, "deviceURI", deviceURI);
    message.Root()->appendChild(removal);
    return SendRequest(op, "Removal", message.Document(), requestId, id, ModuleOf(id), LOGLEVEL_INFO);
}

bool CSocketDm::SendPingDeviceManagerEventRequest(const std::string& vdmName) {
    const char* op = "CSocketDm::SendPingDeviceManagerEventRequest";
    CXmlMessage message("DeviceManagerEventRequest");
    DOMElement* ping = nullptr;
    std::string requestId;
    if (!BuildRequest(op, message, "Ping", VDM_LOG_MAIN, ping, requestId)) return false;
    SetXmlAttribute(ping, "vdmName", vdmName);
    message.Root()->appendChild(ping);
    return SendRequest(op, "Ping", message.Document(), requestId, MID_Ping, VDM_LOG_MAIN, LOGLEVEL_DBG3);
}

void CSocketDm::ProcessReceivedDataNormal(int channel, char* data, int length) {
    // Any data, valid or not, tells the ping thread that the DM is alive.
    if (CBaseNavikVdm* owner = owner_.load()) owner->lastDmMessageTime.store(owner->NowSeconds());
    channelId_.store(channel);
    ReceiveXml(data, length);
}

bool CSocketDm::HandleDocument(const std::string& rootTag, const DOMElement* root) {
    if (rootTag != "DeviceManagerEventResponse") return false;
    ParseDeviceManagerEventResponse(root);
    return true;
}

void CSocketDm::ParseDeviceManagerEventResponse(const DOMElement* root) {
    const AnswerLog log{"CSocketDm::ParseDeviceManagerEventResponse", ModuleOf,
                        [](MessageId id) { return id == MID_Ping ? LOGLEVEL_DBG3 : LOGLEVEL_INFO; }};
    MessageId kind = MID_Unknown;
    bool recorded = false;
    // An answer to nothing this channel is waiting for is not acted on.
    if (!ReadAnswer(log, channelId_.load(), root, kind, recorded) || !recorded) return;
    std::vector<DOMElement*> connectResponses = GetXmlElementsByTagName(root, "ConnectResponse");
    CBaseNavikVdm* owner = owner_.load();
    if (!connectResponses.empty() && owner != nullptr) owner->ProcessDmConnectResponseCallback(connectResponses.front());
}
