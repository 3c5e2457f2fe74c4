#pragma once
// A core object double: records what the channels and devices call and answers as scripted.

#include <string>
#include <vector>

#include "CallLog.h"

#include "BaseNavikVdm.h"
#include "xml/XmlMessage.h"

class FakeVdm : public CBaseNavikVdm {
public:
    int ProcessDmSocketCloseEventCallback() override { return Record("DmClose"); }
    int ProcessDmSocketErrorEventCallback() override { return Record("DmError"); }
    int ProcessDmConnectResponseCallback(const xercesc::DOMElement* element) override {
        std::string text = "ConnectResponse";
        for (const char* name : {"apiVersion", "vendor", "dmName", "dmVersion", "heartBeat"}) {
            text += std::string(" ") + name + "=" + GetXmlAttribute(element, name);
        }
        return Record(text);
    }
    int ProcessDeviceLostEventCallback(int modality, int lockFlag) override {
        return Record("DeviceLost " + std::to_string(modality) + " " + std::to_string(lockFlag));
    }
    int ProcessControllerConnectedCallback() override { return Record("ControllerConnected"); }
    int SetVdmConfigCallback(const std::string& key, const std::string& value) override {
        return Record("Config " + key + "=" + value);
    }
    int StartDeviceCallback(int modality) override {
        Record("Start " + std::to_string(modality));
        return startResult;
    }
    int StopDeviceCallback(int modality, int hold) override {
        Record("Stop " + std::to_string(modality) + " " + std::to_string(hold));
        return stopResult;
    }
    int RestartDeviceCallback(int modality) override {
        Record("Restart " + std::to_string(modality));
        return restartResult;
    }
    int CalibrateDeviceCallback(int modality) override {
        Record("Calibrate " + std::to_string(modality));
        return calibrateResult;
    }
    int ProcessDeviceClientConnectedCallback(int modality, const std::string& model,
                                             const std::string& clientURI) override {
        return Record("ClientConnected " + std::to_string(modality) + " " + model + " " + clientURI);
    }
    int ProcessDeviceClientGoneCallback(int modality, const std::string& model) override {
        return Record("ClientGone " + std::to_string(modality) + " " + model);
    }

    std::vector<std::string> Calls() const { return log_.Calls(); }
    void ClearCalls() { log_.Clear(); }
    // Waits until `count` calls have been recorded in all.
    bool WaitForCalls(size_t count, int timeoutMs = 3000) const { return log_.WaitFor(count, "", timeoutMs); }

    int startResult = 1;
    int stopResult = 1;
    int restartResult = 1;
    int calibrateResult = 0;

private:
    int Record(const std::string& call) {
        log_.Record(call);
        return 1;
    }

    CallLog log_;
};
