#pragma once
// The service's TCP listener for its controller: VdmCommandRequest commands (configuration keys,
// start, stop, restart and calibration of a device) answered with VdmCommandResponse, and
// VdmEventRequest events about the configuration, the devices, their clients and the Device
// Manager, acknowledged by VdmEventResponse. Everything received is handled on the socket thread.

#include <atomic>
#include <map>
#include <string>

#include <xercesc/dom/DOMDocument.hpp>

#include "BaseNavikVdm.h"
#include "xml/XmlSocketController.h"

class CSocketConfig : public CXmlSocketController {
public:
    explicit CSocketConfig(const std::string& name);
    ~CSocketConfig() override;

    bool LoadSchemas() override;
    void ProcessNewRemoteConnection(int channel) override;
    void ProcessSocketCloseEvent(int channel) override;
    void ProcessSocketErrorEvent(int channel) override;
    void ProcessReceivedDataNormal(int channel, char* data, int length) override;

    // Each returns true when the message was handed to the socket; false with no controller.
    bool SendVdmCommandResponse(const std::string& requestId, const std::string& value,
                                const std::string& failureReason, MessageId messageId);
    bool SendConfigVdmEventRequest(const std::map<std::string, std::string>& config);
    bool SendDeviceVdmInfoEventRequest(int deviceType, const std::string& deviceModel, const std::string& deviceURI,
                                       bool isDeviceConnecting, bool isStartDeviceFailed);
    bool SendDeviceVdmRemovalEventRequest(int deviceType, const std::string& deviceModel);
    bool SendDeviceVdmClientEventRequest(int deviceType, const std::string& deviceModel, const std::string& clientURI);
    bool SendDeviceManagerVdmEventRequest(const std::string& deviceManagerURI);

    void SetOwner(CBaseNavikVdm* owner) { pVdm.store(owner); }
    int GetControllerChannel() const { return nControllerChannel.load(); }

    // Most configuration pairs one command may carry; more are refused as an invalid value.
    static constexpr size_t kMaxConfigPairs = 64;

    // Reply words of a command result: -1..-4 a failure word, anything else "Success".
    static const char* FailureReasonOf(int commandResult);
    // Whether a configuration pair may be written to the configuration file: a key or value that
    // would break the file's lines (line ends, control characters, '=' or '#' in a key, '#' in a
    // value, a line longer than the reader takes) is refused. The value is the trimmed one.
    static bool IsWritableConfigPair(const std::string& key, const std::string& value);

private:
    bool HandleDocument(const std::string& rootTag, const xercesc::DOMElement* root) override;
    void ParseVdmCommandRequest(const xercesc::DOMElement* root);
    void ParseVdmEventResponse(const xercesc::DOMElement* root);
    // Starts an event with a new requestId; false (logged) with no DOM implementation.
    bool StartEvent(const char* op, CXmlMessage& message, int module, std::string& requestId);
    bool SendMessage(const char* op, xercesc::DOMDocument* document, const std::string& requestId,
                     MessageId messageId, bool isResponse, int module, int failureLevel);
    // Builds and sends an event with one Device element holding one child; false with no
    // controller.
    bool SendDeviceEvent(const char* op, int deviceType, const std::string& deviceModel, const char* childName,
                         MessageId messageId, const std::map<std::string, std::string>& attributes,
                         const char* const* attributeOrder, size_t attributeCount);

    std::atomic<int> nControllerChannel{-1};
    std::atomic<CBaseNavikVdm*> pVdm{nullptr};
};
