#pragma once
// What the device, preview and result channels call on the device object that owns them. Every
// operation runs on the socket thread of the channel that received the request. Request ids are
// the bytes the client sent, unchanged. Operations return 1 for success, 0 for a refusal whose
// word is written into `failureReason`.

#include <map>
#include <string>

#include <xercesc/dom/DOMElement.hpp>

class IDevice {
public:
    virtual int ProcessSubscribeCallback(const xercesc::DOMElement* subscribe, const std::string& requestId,
                                         std::string& failureReason, std::map<int, int>& categories) = 0;
    virtual int ProcessStartCaptureCallback(const xercesc::DOMElement* startCapture, const std::string& requestId,
                                            std::string& failureReason, std::string& videoURI) = 0;
    virtual int ProcessForceCaptureCallback(const std::string& requestId, std::string& failureReason) = 0;
    virtual int ProcessStopCaptureCallback(const std::string& requestId, std::string& failureReason) = 0;
    virtual int ProcessClientConnectedCallback() = 0;
    virtual int ProcessSocketDeviceCloseEventCallback() = 0;
    virtual int ProcessSocketDeviceErrorEventCallback() = 0;
    virtual int ProcessClientGoneCallback() = 0;
    virtual int ProcessGetFrameCallback(const std::string& requestId) = 0;
    virtual int ProcessGetSampleImageCallback(const std::string& requestId) = 0;
    virtual int ProcessSocketPreviewCloseEventCallback() = 0;
    virtual int ProcessSocketResultCloseEventCallback() = 0;
    virtual int ProcessSocketPreviewErrorEventCallback() = 0;
    virtual int ProcessSocketResultErrorEventCallback() = 0;

protected:
    ~IDevice() = default;  // never deleted through this interface
};
