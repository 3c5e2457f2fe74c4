#pragma once
// The service's TCP client channel to the Device Manager: writes Connect, Arrival, Removal and Ping
// requests, receives DeviceManagerEventResponse answers and hands a ConnectResponse to the core
// object. Every received byte counts as a sign of life of the DM.

#include <atomic>
#include <string>

#include <xercesc/dom/DOMDocument.hpp>

#include "BaseNavikVdm.h"
#include "xml/XmlSocketController.h"

class CSocketDm : public CXmlSocketController {
public:
    explicit CSocketDm(const std::string& name);
    ~CSocketDm() override;

    bool LoadSchemas() override;
    void ProcessSocketCloseEvent(int channel) override;
    void ProcessSocketErrorEvent(int channel) override;
    void ProcessReceivedDataNormal(int channel, char* data, int length) override;

    // Each returns true when the request was handed to the socket.
    bool SendConnectDeviceManagerEventRequest(const std::string& apiVersion, const std::string& vendor,
                                              const std::string& version, const std::string& vdmName,
                                              const std::string& vdmVersion);
    // Sets a new requestId on the root of the caller's document and sends it; the caller keeps the
    // document.
    bool SendArrivalDeviceManagerEventRequest(xercesc::DOMDocument* document, int deviceType);
    bool SendRemovalDeviceManagerEventRequest(int deviceType, const std::string& deviceURI);
    bool SendPingDeviceManagerEventRequest(const std::string& vdmName);

    void SetOwner(CBaseNavikVdm* owner) { owner_.store(owner); }
    CBaseNavikVdm* GetOwner() const { return owner_.load(); }
    int GetChannelId() const { return channelId_.load(); }

private:
    bool HandleDocument(const std::string& rootTag, const xercesc::DOMElement* root) override;
    void ParseDeviceManagerEventResponse(const xercesc::DOMElement* root);
    // Builds a request with a new requestId whose root holds one message element; the element
    // and the id come back to the caller. False (logged) when no DOM implementation is offered.
    bool BuildRequest(const char* op, CXmlMessage& message, const char* elementName, int module,
                      xercesc::DOMElement*& element, std::string& requestId);
    // Sends a request on the stored channel; true when sent.
    bool SendRequest(const char* op, const char* messageName, xercesc::DOMDocument* document,
                     const std::string& requestId, MessageId messageId, int module, int level);

    std::atomic<int> channelId_{0};
    std::atomic<CBaseNavikVdm*> owner_{nullptr};
};
