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
    : CSocketController(name, VDM_LOG_MAIN),
      pendingXml_("<Device", CXmlStreamAssembler::KeepLastFailedPiece) {
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
    const int channel = channelId_.load();
    if (LogEnabled(level)) {
        TSK_LOG(level, module,
                op << GetLogPrefix() << " Trying to send \"" << messageName << "\" request with requestId: "
                   << requestId << " to " << GetRemoteSocketIdLog(channel, 1));
        TSK_LOG(level, module, op << GetLogPrefix() << " Send XML detail: " << CUtilities::XmlDocumentToString(document));
    }
    int result = SendDocument(channel, document, 0, requestId, messageId);
    if (result == -2) {
        TSK_LOG(LOGLEVEL_ERROR, module,
                op << GetLogPrefix() << " Failed to send \"" << messageName << "\" request with requestId: "
                   << requestId << " to " << GetRemoteSocketIdLog(channel, 1));
    }
    return result == 0;
}

bool CSocketDm::SendConnectDeviceManagerEventRequest(const std::string& apiVersion, const std::string& vendor,
                                                     const std::string& version, const std::string& vdmName,
                                                     const std::string& vdmVersion) {
    const char* op = "CSocketDm::SendConnectDeviceManagerEventRequest";
    CXmlMessage message("DeviceManagerEventRequest");
    if (!message.IsValid()) {
        TSK_LOG(LOGLEVEL_WARNING, VDM_LOG_MAIN, op << GetLogPrefix() << " Requested DOMImplementation is not supported");
        return false;
    }
    const std::string requestId = GenerateRequestId();
    SetXmlAttribute(message.Root(), "requestId", requestId);
    SetXmlAttribute(message.Root(), "version", version);
    DOMElement* connect = message.Document()->createElement(CToXmlCh("Connect"));
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
    if (!message.IsValid()) {
        TSK_LOG(LOGLEVEL_WARNING, ModuleOf(id), op << GetLogPrefix() << " Requested DOMImplementation is not supported");
        return false;
    }
    const std::string requestId = GenerateRequestId();
    SetXmlAttribute(message.Root(), "requestId", requestId);
    SetXmlAttribute(message.Add(message.Root(), "Removal"), "deviceURI", deviceURI);
    return SendRequest(op, "Removal", message.Document(), requestId, id, ModuleOf(id), LOGLEVEL_INFO);
}

bool CSocketDm::SendPingDeviceManagerEventRequest(const std::string& vdmName) {
    const char* op = "CSocketDm::SendPingDeviceManagerEventRequest";
    CXmlMessage message("DeviceManagerEventRequest");
    if (!message.IsValid()) {
        TSK_LOG(LOGLEVEL_WARNING, VDM_LOG_MAIN, op << GetLogPrefix() << " Requested DOMImplementation is not supported");
        return false;
    }
    const std::string requestId = GenerateRequestId();
    SetXmlAttribute(message.Root(), "requestId", requestId);
    SetXmlAttribute(message.Add(message.Root(), "Ping"), "vdmName", vdmName);
    return SendRequest(op, "Ping", message.Document(), requestId, MID_Ping, VDM_LOG_MAIN, LOGLEVEL_DBG3);
}

void CSocketDm::ProcessReceivedDataNormal(int channel, char* data, int length) {
    // Any data, valid or not, tells the ping thread that the DM is alive.
    if (CBaseNavikVdm* owner = owner_.load()) owner->lastDmMessageTime.store(RequestIdNow());
    channelId_.store(channel);
    const std::string op = "CSocketDm::ProcessReceivedDataNormal";
    pendingXml_.Feed(
        data, length > 0 ? static_cast<size_t>(length) : 0,
        [this](const std::string& text) {
            DOMDocument* document = CUtilities::ParseXmlText(GetDOMParser(), text.data(), text.size());
            if (document == nullptr) return false;
            ParseReceivedXMLData(document);
            document->release();
            return true;
        },
        [this, &op](int level, const std::string& text) { WriteLog(level, op + GetLogPrefix() + text, VDM_LOG_MAIN); });
}

void CSocketDm::ParseReceivedXMLData(DOMDocument* document) {
    const DOMElement* root = document->getDocumentElement();
    const std::string tag = GetXmlTagName(root);
    if (tag == "DeviceManagerEventResponse") {
        ParseDeviceManagerEventResponse(root);
    } else {
        TSK_LOG(LOGLEVEL_WARNING, VDM_LOG_MAIN,
                "CSocketDm::ParseReceivedXMLData" << GetLogPrefix()
                                                  << " Received invalid XML, unexpected XML root tag name: " << tag);
    }
}

void CSocketDm::ParseDeviceManagerEventResponse(const DOMElement* root) {
    const char* op = "CSocketDm::ParseDeviceManagerEventResponse";
    const std::string requestId = GetXmlAttribute(root, "requestId");
    const int channel = channelId_.load();
    Synchronized& lock = GetThreadLock();
    lock.lock();
    CSocketUtils* daemon = GetDaemon();
    if (daemon == nullptr) {
        lock.unlock();
        return;
    }
    const MessageId id = ::FindSentRequestId(daemon, channel, requestId);
    const int module = ModuleOf(id);
    const std::string name = CUtilities::GetCommandName(id);
    const std::string remote = GetRemoteSocketIdLog(channel, 0);
    TSK_LOG(id == MID_Ping ? LOGLEVEL_DBG3 : LOGLEVEL_INFO, module,
            op << GetLogPrefix() << " Received \"" << name << "\" response with requestId: " << requestId << " from "
               << remote);
    std::vector<DOMElement*> returns = GetXmlElementsByTagName(root, "Return");
    if (!returns.empty()) {
        const std::string value = GetXmlAttribute(returns.front(), "value");
        const std::string reason = GetXmlAttribute(returns.front(), "failureReason");
        if (value == "Failure" && reason != "Success") {
            TSK_LOG(LOGLEVEL_ERROR, module,
                    op << GetLogPrefix() << " " << name << " request failure, failure reason:" << reason << ".");
        }
    }
    if (!::RemoveSentRequestId(daemon, channel, requestId)) {
        TSK_LOG(LOGLEVEL_WARNING, module,
                op << GetLogPrefix() << " The sent requestId:" << requestId << " string not find from " << remote
                   << ".");
        lock.unlock();
        return;
    }
    lock.unlock();
    std::vector<DOMElement*> connectResponses = GetXmlElementsByTagName(root, "ConnectResponse");
    CBaseNavikVdm* owner = owner_.load();
    if (!connectResponses.empty() && owner != nullptr) owner->ProcessDmConnectResponseCallback(connectResponses.front());
}
