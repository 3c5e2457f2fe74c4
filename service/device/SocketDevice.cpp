#include "device/SocketDevice.h"

#include <cstring>

#include "runtime/Log.h"
#include "runtime/RequestIds.h"
#include "xml/XmlMessage.h"

using namespace xercesc;

namespace {

std::string Quoted(MessageId id) {
    std::string text(1, '"');
    text += CUtilities::GetCommandName(id);
    text += '"';
    return text;
}

// Answer of a Subscribe: attribute name of each category, in the order they are written.
const char* const kCategoryAttributes[] = {"detected", "userFeedback", "graphicalFeedback", "captureCompletion"};

}  // namespace

CSocketDevice::CSocketDevice(const std::string& name, int logModule_)
    : CXmlSocketController(name, logModule_, "CSocketDevice", "<Device", CXmlStreamAssembler::KeepTrailingFailedPiece) {
    CSocketDevice::LoadSchemas();
}

CSocketDevice::~CSocketDevice() {
    Close(1);
}

bool CSocketDevice::LoadSchemas() {
    schemaList.clear();
    schemaList.push_back(CUtilities::GetAppDataDir() + "/DeviceCommandRequest.xsd");
    schemaList.push_back(CUtilities::GetAppDataDir() + "/DeviceEventResponse.xsd");
    return true;
}

const char* CSocketDevice::ActionName(int action) {
    static const char* const kActions[] = {"PresentBiometric", "MoveLeft",    "MoveRight",    "MoveUp",
                                           "MoveDown",         "PressHarder", "PressLighter", "Other"};
    return action >= 0 && action <= 7 ? kActions[action] : nullptr;
}

// --- connections ---------------------------------------------------------------------------------

void CSocketDevice::ProcessNewRemoteConnection(int channel) {
    const char* op = "CSocketDevice::ProcessNewRemoteConnection";
    int other = -1;
    bool sameAddress = false;
    std::string otherLog, newLog;
    {
        Synchronized& lock = GetThreadLock();
        lock.lock();
        CSocketUtils* daemon = GetDaemon();
        const SocketChannel* accepted = daemon != nullptr ? daemon->ChannelInUse(channel) : nullptr;
        for (int i = 0; daemon != nullptr && i < daemon->ChannelCount(); ++i) {
            const SocketChannel* entry = daemon->ChannelInUse(i);
            if (i == channel || entry == nullptr) continue;
            other = i;
            sameAddress = accepted != nullptr && std::strcmp(entry->peer.address, accepted->peer.address) == 0;
            break;
        }
        if (other >= 0) {
            otherLog = GetRemoteSocketIdLog(other, 0);
            newLog = GetRemoteSocketIdLog(channel, 0);
        }
        lock.unlock();
    }
    if (other >= 0 && !sameAddress) {
        TSK_LOG(LOGLEVEL_DBG1, logModule,
                op << GetLogPrefix()
                   << "Detected a new client connection but an another client connection with different IP address "
                      "exists, the new connection "
                   << newLog << "is refused.");
        CsDmnDown(channel);
        return;
    }
    if (other >= 0) {
        TSK_LOG(LOGLEVEL_DBG1, logModule,
                op << GetLogPrefix()
                   << "Detected a new client connection but an another connection with the same IP address exists. "
                      "The old connection "
                   << otherLog << "is removed.");
        CsDmnDown(other);
        // The old client is gone as if it had closed the channel itself: its capture ends, so
        // the new client can start one at once.
        ProcessSocketCloseEvent(other);
    }
    clientChannel_.store(channel);
    clientConnected_.store(1);
    if (IDevice* device = device_.load()) device->ProcessClientConnectedCallback();
}

void CSocketDevice::ProcessSocketCloseEvent(int channel) {
    if (channel != clientChannel_.load()) return;
    clientConnected_.store(0);
    if (IDevice* device = device_.load()) device->ProcessSocketDeviceCloseEventCallback();
}

void CSocketDevice::ProcessSocketErrorEvent(int channel) {
    if (channel != clientChannel_.load()) return;
    clientConnected_.store(0);
    if (IDevice* device = device_.load()) device->ProcessSocketDeviceErrorEventCallback();
}

// --- receiving -----------------------------------------------------------------------------------

void CSocketDevice::ProcessReceivedDataNormal(int, char* data, int length) {
    ReceiveXml(data, length);
}

bool CSocketDevice::HandleDocument(const std::string& rootTag, const DOMElement* root) {
    if (rootTag == "DeviceCommandRequest") {
        ParseDeviceCommandRequest(root);
    } else if (rootTag == "DeviceEventResponse") {
        ParseDeviceEventResponse(root);
    } else {
        return false;
    }
    return true;
}

void CSocketDevice::ParseDeviceCommandRequest(const DOMElement* root) {
    const char* op = "CSocketDevice::ParseDeviceCommandRequest";
    const std::string requestId = GetXmlAttribute(root, "requestId");
    const int channel = clientChannel_.load();
    Synchronized& lock = GetThreadLock();

    lock.lock();
    if (GetDaemon() == nullptr) {
        lock.unlock();
        return;
    }
    const bool duplicate = ::FindReceivedRequestId(GetDaemon(), channel, requestId);
    lock.unlock();
    if (duplicate) {
        TSK_LOG(LOGLEVEL_ERROR, logModule, op << GetLogPrefix() << " The received requestId is already exist.");
        SendDeviceCommandResponse(requestId, "Failure", "InvalidRequest_ParameterValueInvalid", MID_Unknown);
        return;
    }

    const DOMElement* command = root->getFirstElementChild();
    if (command == nullptr) {
        TSK_LOG(LOGLEVEL_WARNING, logModule,
                op << GetLogPrefix() << " Received invalid XML, no device command request included.");
        SendDeviceCommandResponse(requestId, "Failure", "InvalidRequest_XMLError", MID_Unknown);
        return;
    }
    const std::string tag = GetXmlTagName(command);
    MessageId kind;
    if (tag == "Subscribe") {
        kind = MID_Subscribe;
    } else if (tag == "StartCapture") {
        kind = MID_StartCapture;
    } else if (tag == "ForceCapture") {
        kind = MID_ForceCapture;
    } else if (tag == "StopCapture") {
        kind = MID_StopCapture;
    } else {
        TSK_LOG(LOGLEVEL_WARNING, logModule,
                op << GetLogPrefix() << " Received invalid XML, unexpected XML root tag name: " << tag);
        return;
    }

    lock.lock();
    if (GetDaemon() == nullptr) {
        lock.unlock();
        return;
    }
    TSK_LOG(LOGLEVEL_INFO, logModule,
            op << GetLogPrefix() << " Received " << Quoted(kind) << " request with requestId: " << requestId
               << " from " << GetRemoteSocketIdLog(channel, 0));
    ::AddReceivedRequestId(GetDaemon(), channel, requestId, kind);
    lock.unlock();

    IDevice* device = device_.load();
    std::string failureReason;
    int result = 0;
    switch (kind) {
        case MID_Subscribe: {
            std::map<int, int> categories;
            if (device != nullptr) result = device->ProcessSubscribeCallback(command, requestId, failureReason, categories);
            SendSubscribeDeviceCommandResponse(requestId, result ? "Success" : "Failure",
                                               result ? "Success" : failureReason, categories);
            break;
        }
        case MID_StartCapture: {
            std::string videoURI;
            if (device != nullptr) result = device->ProcessStartCaptureCallback(command, requestId, failureReason, videoURI);
            SendStartCaptureDeviceCommandResponse(requestId, result ? "Success" : "Failure",
                                                  result ? "Success" : failureReason, result ? videoURI : "");
            break;
        }
        case MID_ForceCapture:
        case MID_StopCapture:
            if (device != nullptr) {
                result = kind == MID_ForceCapture ? device->ProcessForceCaptureCallback(requestId, failureReason)
                                                  : device->ProcessStopCaptureCallback(requestId, failureReason);
            }
            SendDeviceCommandResponse(requestId, result ? "Success" : "Failure", result ? "Success" : failureReason,
                                      kind);
            break;
        default: break;
    }
}

void CSocketDevice::ParseDeviceEventResponse(const DOMElement* root) {
    const int module = logModule;
    const AnswerLog log{"CSocketDevice::ParseDeviceEventResponse", [module](MessageId) { return module; },
                        [](MessageId) { return LOGLEVEL_INFO; }};
    MessageId kind = MID_Unknown;
    bool recorded = false;
    if (!ReadAnswer(log, clientChannel_.load(), root, kind, recorded)) return;
    // The client has fetched its sample: whatever its answer says, the capture is over.
    if (kind == MID_Complete) {
        if (IDevice* device = device_.load()) device->ProcessClientGoneCallback();
    }
}

// --- sending -------------------------------------------------------------------------------------

bool CSocketDevice::SendMessage(const char* op, DOMDocument* document, const std::string& requestId,
                                MessageId messageId, bool isResponse, const std::string& afterId) {
    return SendXml({op, CUtilities::GetCommandName(messageId), logModule, LOGLEVEL_INFO, LOGLEVEL_ERROR, false,
                    afterId},
                   clientChannel_.load(), document, requestId, messageId, isResponse) == 0;
}

bool CSocketDevice::StartResponse(const char* op, CXmlMessage& message, const std::string& requestId,
                                  const std::string& value, const std::string& failureReason) {
    if (!CheckMessage(message, op, logModule, LOGLEVEL_ERROR)) return false;
    SetXmlAttribute(message.Root(), "requestId", requestId);
    DOMElement* ret = message.Add(message.Root(), "Return");
    SetXmlAttribute(ret, "value", value);
    SetXmlAttribute(ret, "failureReason", failureReason);
    return true;
}

bool CSocketDevice::StartEvent(const char* op, CXmlMessage& message, const char* elementName, DOMElement*& element,
                               std::string& requestId) {
    if (!CheckMessage(message, op, logModule, LOGLEVEL_ERROR)) return false;
    requestId = GenerateRequestId();
    SetXmlAttribute(message.Root(), "requestId", requestId);
    element = message.Add(message.Root(), elementName);
    return true;
}

bool CSocketDevice::SendDeviceCommandResponse(const std::string& requestId, const std::string& value,
                                              const std::string& failureReason, MessageId messageId) {
    const char* op = "CSocketDevice::SendDeviceCommandResponse";
    CXmlMessage message("DeviceCommandResponse");
    if (!StartResponse(op, message, requestId, value, failureReason)) return false;
    return SendMessage(op, message.Document(), requestId, messageId, true, "");
}

bool CSocketDevice::SendSubscribeDeviceCommandResponse(const std::string& requestId, const std::string& value,
                                                       const std::string& failureReason,
                                                       const std::map<int, int>& categories) {
    const char* op = "CSocketDevice::SendSubscribeDeviceCommandResponse";
    CXmlMessage message("DeviceCommandResponse");
    if (!StartResponse(op, message, requestId, value, failureReason)) return false;
    if (!categories.empty()) {
        DOMElement* state = message.Add(message.Root(), "State");
        for (int category = 0; category < 4; ++category) {
            auto found = categories.find(category);
            if (found == categories.end()) continue;
            SetXmlAttribute(state, kCategoryAttributes[category], found->second != 0 ? "true" : "false");
        }
    }
    return SendMessage(op, message.Document(), requestId, MID_Subscribe, true, "");
}

bool CSocketDevice::SendStartCaptureDeviceCommandResponse(const std::string& requestId, const std::string& value,
                                                          const std::string& failureReason,
                                                          const std::string& videoURI) {
    const char* op = "CSocketDevice::SendStartCaptureDeviceCommandResponse";
    CXmlMessage message("DeviceCommandResponse");
    if (!StartResponse(op, message, requestId, value, failureReason)) return false;
    if (!videoURI.empty()) SetXmlAttribute(message.Add(message.Root(), "Video"), "videoURI", videoURI);
    return SendMessage(op, message.Document(), requestId, MID_StartCapture, true,
                       "and preview Socket URI: " + videoURI);
}

bool CSocketDevice::SendCaptureCompleteDeviceEventRequest(const std::string& sampleURI) {
    const char* op = "CSocketDevice::SendCaptureCompleteDeviceEventRequest";
    CXmlMessage message("DeviceEventRequest");
    DOMElement* complete = nullptr;
    std::string requestId;
    if (!StartEvent(op, message, "CaptureComplete", complete, requestId)) return false;
    SetXmlAttribute(complete, "sampleURI", sampleURI);
    return SendMessage(op, message.Document(), requestId, MID_Complete, false, "");
}

bool CSocketDevice::SendUserFeedbackDeviceEventRequest(const std::vector<UserFeedbackItem>& items) {
    const char* op = "CSocketDevice::SendUserFeedbackDeviceEventRequest";
    if (items.empty()) return false;
    CXmlMessage message("DeviceEventRequest");
    DOMElement* feedback = nullptr;
    std::string requestId;
    if (!StartEvent(op, message, "UserFeedback", feedback, requestId)) return false;
    for (const UserFeedbackItem& item : items) {
        DOMElement* element = message.Add(feedback, "Message");
        if (!item.biometricPosition.empty()) SetXmlAttribute(element, "biometricPosition", item.biometricPosition);
        if (const char* action = ActionName(item.action)) SetXmlAttribute(element, "action", action);
        if (!item.description.empty()) SetXmlAttribute(element, "description", item.description);
    }
    return SendMessage(op, message.Document(), requestId, MID_UserFeedback, false, "");
}
