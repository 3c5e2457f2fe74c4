#pragma once
// The controller's end of the service's configuration channel: a TCP client that sends
// configuration and device commands (VdmCommandRequest), reads the service's answers
// (VdmCommandResponse) and events (VdmEventRequest), acknowledges each event (VdmEventResponse)
// and hands answers and events to the dialog through INavikVdmController, on the socket thread.

#include <atomic>
#include <map>
#include <string>

#include <xercesc/dom/DOMElement.hpp>

#include "NavikVdmController.h"
#include "xml/XmlSocketController.h"

// The controller's only log module.
inline constexpr int kControllerLogModule = 0;

class CSocketVdm : public CXmlSocketController {
public:
    // Commands of a device command request.
    enum Command { Start = 0, Stop = 1, Restart = 2, Calibration = 3 };

    explicit CSocketVdm(const std::string& name = "VDM Socket");
    ~CSocketVdm() override;

    bool LoadSchemas() override;
    void ProcessNewRemoteConnection(int channel) override;
    void ProcessSocketCloseEvent(int channel) override;
    void ProcessSocketErrorEvent(int channel) override;
    void ProcessReceivedDataNormal(int channel, char* data, int length) override;

    void SetController(INavikVdmController* controller) { controller_.store(controller); }

    // Each returns true when the message was handed to the socket.
    bool SendConfigVdmCommandRequest(const std::map<std::string, std::string>& pairs);
    bool SendDeviceVdmCommandRequest(int deviceType, const std::string& deviceModel, int command);
    bool SendVdmEventResponse(const std::string& requestId, const std::string& value,
                              const std::string& failureReason, MessageId messageId);

    // Text shown for a calibration refused with this reason; empty when the reason is not one the
    // dialog explains.
    static std::string CalibrationFailureText(const std::string& failureReason);

private:
    bool HandleDocument(const std::string& rootTag, const xercesc::DOMElement* root) override;
    void ParseVdmCommandResponse(const xercesc::DOMElement* root);
    void ParseVdmEventRequest(const xercesc::DOMElement* root);
    bool SendRequest(const char* op, xercesc::DOMDocument* document, const std::string& requestId,
                     MessageId messageId);

    std::atomic<int> currentChannel{0};
    std::atomic<INavikVdmController*> controller_{nullptr};
};
