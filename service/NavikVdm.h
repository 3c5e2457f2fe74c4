#pragma once
// The service's core object: the DM and configuration channels, the fingerprint device, the pool
// of four workers that connects to the Device Manager and adds and removes devices, and the three
// background threads (heartbeat, device detection, request-id clean-up). Every wait that Terminate
// must cut short waits on one stop signal; the time that the heartbeat and the clean-up measure
// comes from a clock that tests can replace.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "BaseNavikVdm.h"
#include "config/SocketConfig.h"
#include "device/FpDevice.h"
#include "dm/SocketDm.h"
#include "runtime/ThreadPool.h"

struct DmSettings {
    std::string dmIP = "localhost";
    int dmPort = 4401;
    int dmMinPort = 4401;
    int dmMaxPort = 4410;
    int retryIntervalMs = 3000;
    int sleepTimeMs = 10000;
    std::string apiVersion, vendor, dmName, dmVersion;
    int heartBeatSeconds = 0;  // half of the DM's heartBeat
};

struct VdmSettings {
    int listenPort = 7901;
    int listenMinPort = 7901;
    int listenMaxPort = 7905;
    std::string protocolVersion = "3.0.0";
    std::string apiVersion = "3.0.0";
    std::string vendor = "Tessik Systems, Inc";
    std::string vdmName = "Tessik Biometric VDM";
    std::string vdmVersion = "3.0.0";
};

class CNavikVdm : public CBaseNavikVdm {
public:
    static constexpr int kFpModelPloverA = 502;
    static constexpr int kFpModelVireoA = 401;
    // Shortest heartbeat and detection interval: a DM or a file asking for less gets this.
    static constexpr int kMinIntervalMs = 1000;

    // Runs the self test of the data files; throws std::runtime_error when it fails.
    CNavikVdm();
    ~CNavikVdm() override;

    int Initialize();
    int Terminate();

    // --- CBaseNavikVdm ---
    int ProcessDmSocketCloseEventCallback() override;
    int ProcessDmSocketErrorEventCallback() override;
    int ProcessDmConnectResponseCallback(const xercesc::DOMElement* connectResponse) override;
    int ProcessDeviceLostEventCallback(int modality, int lockFlag) override;
    int ProcessControllerConnectedCallback() override;
    int SetVdmConfigCallback(const std::string& key, const std::string& value) override;
    int StartDeviceCallback(int modality) override;
    int StopDeviceCallback(int modality, int hold) override;
    int RestartDeviceCallback(int modality) override;
    int CalibrateDeviceCallback(int modality) override;
    int ProcessDeviceClientConnectedCallback(int modality, const std::string& model,
                                             const std::string& clientURI) override;
    int ProcessDeviceClientGoneCallback(int modality, const std::string& model) override;

    // Seconds clock of the heartbeat's loss test and the request-id clean-up (test seam).
    void SetClock(std::function<int64_t()> seconds) { nowSeconds = std::move(seconds); }
    // Scales every background wait (heartbeat, detection, clean-up, reconnect) by 1/divisor (test seam).
    void SetTimeDivisor(int divisor) { timeDivisor.store(divisor > 0 ? divisor : 1); }

    int GetVdmState() const { return vdmState.load(); }
    bool IsDmConnected() const { return dmConnected.load() != 0; }
    int GetConfigPort() const { return configSocket.GetPort(); }
    std::string GetFpDeviceURI();
    const DmSettings& GetDmSettings() const { return dmSettings; }

private:
    class CConnect;
    class CStartDevice;
    class CRemoveDevice;
    class CAddDevice;

    void ConnectToCentralDmCallbackThread(int reconnect);
    void HandleDmConnectionLost(int joinPing);
    int CheckConnectedFpScanner(int canAdd, int forceReport);
    void AddDeviceCallbackThread(int modality, int modelCode);
    void StartDeviceCallbackThread(int modality);
    void RemoveDevice(int modality, int lockFlag, bool lost);
    void _RemoveDevice(int modality);

    void PingLoop();
    void DetectLoop();
    void CleanLoop();
    void StartThread(std::thread& thread, std::atomic<int>& running, void (CNavikVdm::*loop)());
    void JoinThread(std::thread& thread);
    // Sleeps `ms` (scaled); false when termination cut the wait short.
    bool Sleep(int64_t ms);
    void Post(Runnable* task);

    Synchronized objectLock{"Object Lock", VDM_LOG_MAIN};
    CSocketDm dmSocket{"DM Socket"};
    CSocketConfig configSocket{"Config Socket"};
    std::string configFilePath;
    std::atomic<int> fpEnabled{1};
    std::atomic<int> fpHeld{0};
    std::string fpReportedModel;  // under objectLock
    std::atomic<int> irisEnabled{1};
    DmSettings dmSettings;
    VdmSettings vdmSettings;
    std::atomic<int> detectionIntervalMs{15000};
    std::atomic<int> dmConnected{0};
    std::atomic<int> pingStarted{0};
    std::atomic<int> vdmState{0};
    Synchronized initializeLock{"Initialize Lock", VDM_LOG_MAIN};
    std::unique_ptr<CFpDevice> fpDevice;  // under objectLock

    std::thread pingThread, detectThread, cleanThread;
    std::atomic<int> pingRunning{0}, detectRunning{0}, cleanRunning{0};
    std::mutex threadMutex;  // guards starting and joining the three threads
    std::mutex waitMutex;
    std::condition_variable waitSignal;
    std::atomic<bool> stopping{false};
    std::atomic<int> timeDivisor{1};
    std::function<int64_t()> nowSeconds;
    std::unique_ptr<QueuedThreadPool> taskPool;  // last: its workers end first
};
