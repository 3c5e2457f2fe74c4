#pragma once
// Common part of the service's XML channels (DM, configuration, device): received reads go
// through the stream assembler, each document found is validated by the endpoint's parser and
// handed to the derived class by its root tag; messages are sent with the channel's log lines.

#include <functional>
#include <string>

#include <xercesc/dom/DOMDocument.hpp>

#include "runtime/Log.h"
#include "runtime/SocketController.h"
#include "xml/XmlMessage.h"
#include "xml/XmlStreamAssembler.h"

class CXmlSocketController : public CSocketController {
public:
    // `className` starts the channel's log lines ("CSocketDm"); `rootPrefix` marks the start of a
    // document ("<Device", "<Vdm").
    // `detailLevel`: level of the " Received: " and " Detected " lines of the receive path.
    CXmlSocketController(const std::string& name, int logModule, const char* className, const char* rootPrefix,
                         CXmlStreamAssembler::KeepPolicy policy, int detailLevel = LOGLEVEL_DBG1);

protected:
    // Handles one read of the socket thread.
    void ReceiveXml(char* data, int length);
    // A parsed document, by its root tag; false for a root this channel does not read.
    virtual bool HandleDocument(const std::string& rootTag, const xercesc::DOMElement* root) = 0;

    // True when the message was made; otherwise writes " Requested DOMImplementation is not
    // supported" at `level`.
    bool CheckMessage(const CXmlMessage& message, const char* op, int module, int level);

    struct SendLog {
        const char* op;          // class-qualified sender name
        std::string name;        // message name as written between double quotes
        int module;              // log module of the lines
        int level;               // level of "Trying to send" and "Send XML detail"
        int failureLevel;        // level of "Failed to send"
        bool everyFailure;       // log every failed result, not only a failed transmission (-2)
        std::string afterId;     // text written right after the requestId in "Trying to send"
    };
    // Logs, sends to `channel` and logs a failure; Send's result.
    int SendXml(const SendLog& log, int channel, xercesc::DOMDocument* document, const std::string& requestId,
                MessageId messageId, bool isResponse);

    struct AnswerLog {
        const char* op;                        // class-qualified parser name
        std::function<int(MessageId)> module;  // log module, by the kind of the answered request
        std::function<int(MessageId)> level;   // level of the "Received" line, by the same kind
    };
    // Handles the answer `root` to a request sent on `channel`: finds the request's kind (MID_Unknown
    // when the id is not recorded), logs the answer and a failure its Return reports, and erases
    // the id, logging an id that was not recorded. False when the channel is closed.
    bool ReadAnswer(const AnswerLog& log, int channel, const xercesc::DOMElement* root, MessageId& kind,
                    bool& recorded);

private:
    void ParseReceivedXMLData(xercesc::DOMDocument* document);

    const std::string className_;
    CXmlStreamAssembler assembler_;
};
