#pragma once
// The device channel: a listener on which one enrolment client at a time sends its
// DeviceCommandRequest commands (Subscribe, StartCapture, ForceCapture, StopCapture) and
// acknowledges events with DeviceEventResponse; the service answers with DeviceCommandResponse
// and sends DeviceEventRequest events (CaptureComplete, UserFeedback). Each command becomes one
// call of the owning device's IDevice interface, made on the socket thread without the channel's
// lock.

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include <xercesc/dom/DOMDocument.hpp>

#include "device/IDevice.h"
#include "xml/XmlSocketController.h"

// One item of a UserFeedback event: the position and description are left out when empty, the
// action when it is not one of the codes 0..7.
struct UserFeedbackItem {
    std::string biometricPosition;
    int action = 7;
    std::string description;
};

class CSocketDevice : public CXmlSocketController {
public:
    CSocketDevice(const std::string& name, int logModule);
    ~CSocketDevice() override;

    bool LoadSchemas() override;
    void ProcessNewRemoteConnection(int channel) override;
    void ProcessSocketCloseEvent(int channel) override;
    void ProcessSocketErrorEvent(int channel) override;
    void ProcessReceivedDataNormal(int channel, char* data, int length) override;

    // Answers and events go to the current client; each returns true when handed to the socket.
    bool SendDeviceCommandResponse(const std::string& requestId, const std::string& value,
                                   const std::string& failureReason, MessageId messageId);
    bool SendSubscribeDeviceCommandResponse(const std::string& requestId, const std::string& value,
                                            const std::string& failureReason, const std::map<int, int>& categories);
    bool SendStartCaptureDeviceCommandResponse(const std::string& requestId, const std::string& value,
                                               const std::string& failureReason, const std::string& videoURI);
    bool SendCaptureCompleteDeviceEventRequest(const std::string& sampleURI);
    bool SendUserFeedbackDeviceEventRequest(const std::vector<UserFeedbackItem>& items);

    void SetDevice(IDevice* device) { device_.store(device); }
    int GetClientChannel() const { return clientChannel_.load(); }
    bool IsClientConnected() const { return clientConnected_.load() != 0; }
    // "ip:port" of the current client; empty when none is connected.
    std::string GetClientURI() { return GetRemoteSocketURI(clientChannel_.load()); }

    // Text of an action code ("PresentBiometric" .. "Other"); null for codes outside 0..7.
    static const char* ActionName(int action);

private:
    bool HandleDocument(const std::string& rootTag, const xercesc::DOMElement* root) override;
    void ParseDeviceCommandRequest(const xercesc::DOMElement* root);
    void ParseDeviceEventResponse(const xercesc::DOMElement* root);
    // A DeviceCommandResponse with its Return; false (logged) with no DOM implementation.
    bool StartResponse(const char* op, CXmlMessage& message, const std::string& requestId, const std::string& value,
                       const std::string& failureReason);
    // A DeviceEventRequest with a new requestId holding one element; false as above.
    bool StartEvent(const char* op, CXmlMessage& message, const char* elementName, xercesc::DOMElement*& element,
                    std::string& requestId);
    bool SendMessage(const char* op, xercesc::DOMDocument* document, const std::string& requestId,
                     MessageId messageId, bool isResponse, const std::string& afterId);

    std::atomic<int> clientChannel_{0};
    std::atomic<int> clientConnected_{0};
    std::atomic<IDevice*> device_{nullptr};
};
