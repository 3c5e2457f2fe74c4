#include "xml/XmlSocketController.h"

#include "runtime/Log.h"
#include "runtime/RequestIds.h"

using namespace xercesc;

CXmlSocketController::CXmlSocketController(const std::string& name, int logModule_, const char* className,
                                           const char* rootPrefix, CXmlStreamAssembler::KeepPolicy policy,
                                           int detailLevel)
    : CSocketController(name, logModule_),
      className_(className),
      assembler_(rootPrefix, policy, CXmlStreamAssembler::kDefaultMaxPending, detailLevel) {}

void CXmlSocketController::ReceiveXml(char* data, int length) {
    const std::string op = className_ + "::ProcessReceivedDataNormal";
    assembler_.Feed(
        data, length > 0 ? static_cast<size_t>(length) : 0,
        [this](const std::string& text) {
            DOMDocument* document = CUtilities::ParseXmlText(GetDOMParser(), text.data(), text.size());
            if (document == nullptr) return false;
            ParseReceivedXMLData(document);
            document->release();
            return true;
        },
        [this, &op](int level, const std::string& text) { WriteLog(level, op + GetLogPrefix() + text, logModule); });
}

void CXmlSocketController::ParseReceivedXMLData(DOMDocument* document) {
    const DOMElement* root = document->getDocumentElement();
    const std::string tag = GetXmlTagName(root);
    if (!HandleDocument(tag, root)) {
        TSK_LOG(LOGLEVEL_WARNING, logModule,
                className_ << "::ParseReceivedXMLData" << GetLogPrefix()
                           << " Received invalid XML, unexpected XML root tag name: " << tag);
    }
}

bool CXmlSocketController::CheckMessage(const CXmlMessage& message, const char* op, int module, int level) {
    if (message.IsValid()) return true;
    TSK_LOG(level, module, op << GetLogPrefix() << " Requested DOMImplementation is not supported");
    return false;
}

int CXmlSocketController::SendXml(const SendLog& log, int channel, DOMDocument* document,
                                  const std::string& requestId, MessageId messageId, bool isResponse) {
    const char* kind = isResponse ? "\" response with requestId: " : "\" request with requestId: ";
    if (LogEnabled(log.level)) {
        TSK_LOG(log.level, log.module,
                log.op << GetLogPrefix() << " Trying to send \"" << log.name << kind << requestId << log.afterId
                       << " to " << GetRemoteSocketIdLog(channel, 1));
        TSK_LOG(log.level, log.module,
                log.op << GetLogPrefix() << " Send XML detail: " << CUtilities::XmlDocumentToString(document));
    }
    const int result = SendDocument(channel, document, isResponse ? 1 : 0, requestId, messageId);
    if (result == -2 || (result != 0 && log.everyFailure)) {
        TSK_LOG(log.failureLevel, log.module,
                log.op << GetLogPrefix() << " Failed to send \"" << log.name << kind << requestId << " to "
                       << GetRemoteSocketIdLog(channel, 1));
    }
    return result;
}

bool CXmlSocketController::ReadAnswer(const AnswerLog& log, int channel, const DOMElement* root, MessageId& kind,
                                      bool& recorded) {
    const std::string requestId = GetXmlAttribute(root, "requestId");
    Synchronized& lock = GetThreadLock();
    lock.lock();
    CSocketUtils* daemon = GetDaemon();
    if (daemon == nullptr) {
        lock.unlock();
        return false;
    }
    kind = ::FindSentRequestId(daemon, channel, requestId);
    const int module = log.module(kind);
    const std::string name = CUtilities::GetCommandName(kind);
    const std::string remote = GetRemoteSocketIdLog(channel, 0);
    TSK_LOG(log.level(kind), module,
            log.op << GetLogPrefix() << " Received \"" << name << "\" response with requestId: " << requestId
                   << " from " << remote);
    std::vector<DOMElement*> returns = GetXmlElementsByTagName(root, "Return");
    if (!returns.empty() && GetXmlAttribute(returns.front(), "value") == "Failure") {
        const std::string reason = GetXmlAttribute(returns.front(), "failureReason");
        if (reason != "Success") {
            TSK_LOG(LOGLEVEL_ERROR, module,
                    log.op << GetLogPrefix() << " " << name << " request failure, failure reason:" << reason << ".");
        }
    }
    recorded = ::RemoveSentRequestId(daemon, channel, requestId);
    if (!recorded) {
        TSK_LOG(LOGLEVEL_WARNING, module,
                log.op << GetLogPrefix() << " The sent requestId:" << requestId << " string not find from " << remote
                       << ".");
    }
    lock.unlock();
    return true;
}
