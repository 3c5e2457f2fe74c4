#pragma once
// The service as the controller meets it: the real configuration channel on a loopback port, over
// a core object double that keeps the configuration and two devices and sends the events the
// service sends when a controller connects and when a device changes.

#include <map>
#include <mutex>
#include <string>

#include "BaseNavikVdm.h"
#include "CallLog.h"
#include "config/SocketConfig.h"

class ServiceDouble : public CBaseNavikVdm {
public:
    struct Device {
        std::string model;
        std::string uri;  // empty while stopped
        bool present = true;
    };

    ServiceDouble() {
        channel_.SetOwner(this);
        devices_[0] = {"PloverA", "127.0.0.1:5101", true};
        devices_[1] = {"Egret", "127.0.0.1:5102", true};
        config_ = {{"DmIP", "127.0.0.1"},
                   {"DmPort", "4401"},
                   {"DmMinPort", "4401"},
                   {"DmMaxPort", "4410"},
                   {"DmRetryIntervalBetweenPortAttempts", "3"},
                   {"DmSleepTimeAfterTryingAllPorts", "10"},
                   {"VdmListenPort", "0"},
                   {"VdmListenMinPort", "7901"},
                   {"VdmListenMaxPort", "7905"},
                   {"VdmName", "Tessik Biometric VDM"},
                   {"VdmVersion", "3.0.0"}};
    }
    ~ServiceDouble() override { channel_.Close(1); }

    bool Listen(int port) { return channel_.Listen("127.0.0.1", port, 1, 60, 0, 0, 0, 1); }
    void Stop() { channel_.Close(1); }
    CSocketConfig& Channel() { return channel_; }

    std::map<std::string, std::string> Config() {
        std::lock_guard lock(mutex_);
        return config_;
    }
    void SetDevice(int type, Device device) {
        std::lock_guard lock(mutex_);
        devices_[type] = std::move(device);
    }
    // Sends the device's state as the service does when it changes.
    void SendInfo(int type, bool connecting = false, bool failed = false) {
        Device device;
        {
            std::lock_guard lock(mutex_);
            device = devices_[type];
        }
        channel_.SendDeviceVdmInfoEventRequest(type, device.model, device.uri, connecting, failed);
    }

    int ProcessDmSocketCloseEventCallback() override { return 1; }
    int ProcessDmSocketErrorEventCallback() override { return 1; }
    int ProcessDmConnectResponseCallback(const xercesc::DOMElement*) override { return 1; }
    int ProcessDeviceLostEventCallback(int, int) override { return 1; }
    int ProcessControllerConnectedCallback() override {
        calls.Record("ControllerConnected");
        channel_.SendConfigVdmEventRequest(Config());
        channel_.SendDeviceManagerVdmEventRequest("127.0.0.1:4401");
        for (int type = 0; type < 2; ++type) {
            bool present;
            {
                std::lock_guard lock(mutex_);
                present = devices_[type].present;
            }
            if (present) SendInfo(type);
        }
        return 1;
    }
    int SetVdmConfigCallback(const std::string& key, const std::string& value) override {
        calls.Record("Config " + key + "=" + value);
        std::lock_guard lock(mutex_);
        config_[key] = value;
        return 1;
    }
    int StartDeviceCallback(int type) override {
        calls.Record("Start " + std::to_string(type));
        if (startFails) {
            SendInfo(type, false, true);
            return 0;
        }
        SetUri(type, type == 0 ? "127.0.0.1:5101" : "127.0.0.1:5102");
        SendInfo(type);
        return 1;
    }
    int StopDeviceCallback(int type, int) override {
        calls.Record("Stop " + std::to_string(type));
        SetUri(type, "");
        SendInfo(type);
        return 1;
    }
    // The device goes down; it comes back when the test says so (SetUri and SendInfo).
    int RestartDeviceCallback(int type) override {
        calls.Record("Restart " + std::to_string(type));
        SetUri(type, "");
        SendInfo(type);
        return 1;
    }
    int CalibrateDeviceCallback(int type) override {
        calls.Record("Calibrate " + std::to_string(type));
        return calibrateResult;
    }
    int ProcessDeviceClientConnectedCallback(int, const std::string&, const std::string&) override { return 1; }
    int ProcessDeviceClientGoneCallback(int, const std::string&) override { return 1; }

    void SetUri(int type, const std::string& uri) {
        std::lock_guard lock(mutex_);
        devices_[type].uri = uri;
    }

    CallLog calls;
    std::atomic<int> calibrateResult{0};
    std::atomic<bool> startFails{false};

private:
    std::mutex mutex_;
    std::map<std::string, std::string> config_;
    Device devices_[2];
    CSocketConfig channel_{"Config Socket"};
};
