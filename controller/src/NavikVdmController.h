#pragma once
// What the configuration-channel client tells the dialog, on the channel's socket thread. Every
// operation returns true.

#include <string>

class INavikVdmController {
public:
    virtual ~INavikVdmController() = default;
    // The service closed the connection.
    virtual bool OnVdmDisconnected() = 0;
    // A receive or send failed.
    virtual bool OnVdmSocketError() = 0;
    // A third notification that nothing sends.
    virtual bool OnVdmNotification() { return true; }
    virtual bool OnConfigReceived(const std::string& key, const std::string& value) = 0;
    virtual bool OnDeviceInfo(int deviceType, const std::string& deviceModel, const std::string& deviceURI,
                              bool isDeviceConnecting, bool isStartDeviceFailed) = 0;
    virtual bool OnDeviceRemoval(int deviceType, const std::string& deviceModel) = 0;
    virtual bool OnDeviceClient(int deviceType, const std::string& deviceModel, const std::string& clientURI) = 0;
    virtual bool OnDeviceManager(const std::string& deviceManagerURI) = 0;
    virtual bool OnCalibrationResult(bool success, const std::string& text) = 0;
};
