#pragma once
// The service's core object: the DM and configuration channels, the fingerprint and iris devices,
// the pool of four workers that connects to the Device Manager and adds and removes devices, and
// the three background threads (heartbeat, device detection, request-id clean-up). Both
// modalities run the same detection, add and remove code over their own side record; only the
// probe of the capture library and the device object differ. Every wait that Terminate must cut
// short waits on one stop flag through the core object's clock, which tests can replace.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "BaseNavikVdm.h"
#include "VdmClock.h"
#include "config/SocketConfig.h"
#include "device/FpDevice.h"
#include "device/IrisDeviceBase.h"
#include "dm/SocketDm.h"
#include "runtime/Thread.h"
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
    // Number of cameras an iris unit has; a unit with fewer connected is absent.
    static constexpr int kIrisCameraCount = 2;
    // Shortest heartbeat and detection interval: a DM or a file asking for less gets this.
    static constexpr int kMinIntervalMs = 1000;
    // Longest wait of a removal for the other modality's capture to end: 120 polls of 500 ms.
    static constexpr int kOtherCapturePolls = 120;
    // Longest wait of a controller's connect report for objectLock: 50 tries 10 ms apart. A
    // detection pass holds the lock for a moment; an add holds it for as long as its device takes
    // to open, and the controller is told the devices it knows instead.
    static constexpr int kControllerReportTries = 50;

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
    int64_t NowSeconds() override { return clock->NowSeconds(); }
    bool IsTerminating() const override { return stopping.load(); }

    // The clock of the background work (test seam); set before Initialize.
    void SetClock(std::shared_ptr<IVdmClock> replacement) { clock = std::move(replacement); }
    // How the iris device is made; set before Initialize.
    void SetIrisDeviceKind(IrisDeviceKind kind) { irisKind = std::move(kind); }

    int GetVdmState() const { return vdmState.load(); }
    bool IsDmConnected() const { return dmConnected.load() != 0; }
    int GetConfigPort() const { return configSocket.GetPort(); }
    // Device channel URI of a modality's device; empty when there is none.
    std::string GetDeviceURI(int modality);
    const DmSettings& GetDmSettings() const { return dmSettings; }
    CSocketDm& GetDmSocket() { return dmSocket; }

private:
    class CConnect;
    class CStartDevice;
    class CRemoveDevice;
    class CAddDevice;

    // The three background threads of the core object. Each runs its loop on its own thread,
    // ends when the loop's condition no longer holds (or termination cuts its wait short) and
    // can then be started again; the owner starts one only when it is not running.
    class CPing : public Thread {
    public:
        explicit CPing(CNavikVdm* owner) : Thread("CPing", VDM_LOG_MAIN), owner(owner) {}
        ~CPing() override;
        // Pings the DM every heartbeat while it is connected; declares it lost after the limit.
        void run() override;

    private:
        CNavikVdm* const owner;
    };
    class CDetectDevices : public Thread {
    public:
        explicit CDetectDevices(CNavikVdm* owner) : Thread("CDetectDevices", VDM_LOG_MAIN), owner(owner) {}
        ~CDetectDevices() override;
        // A detection pass every interval while a modality is enabled and the service runs.
        void run() override;
        void SetInterval(int ms) { detectionIntervalMs.store(ms); }

    private:
        CNavikVdm* const owner;
        // 15000 until Initialize reads DeviceDetectionInterval.
        std::atomic<int> detectionIntervalMs{15000};
    };
    class CCleanRequestIds : public Thread {
    public:
        explicit CCleanRequestIds(CNavikVdm* owner) : Thread("CCleanRequestIds", VDM_LOG_MAIN), owner(owner) {}
        ~CCleanRequestIds() override;
        // Drops request ids older than 180 s every 300 s while the service runs.
        void run() override;

    private:
        CNavikVdm* const owner;
    };

    // What the core keeps per modality (0 fingerprint, 1 iris).
    struct DeviceSide {
        DeviceSide(int modality, int logModule, const char* word, const char* article)
            : modality(modality), logModule(logModule), word(word), article(article) {}
        const int modality;
        const int logModule;
        const char* const word;     // "fingerprint", "iris"
        const char* const article;  // "a", "an"
        std::atomic<int> enabled{1};
        std::atomic<int> held{0};
        std::string reportedModel;             // under objectLock
        std::unique_ptr<CBaseDevice> device;   // under objectLock
        // A connect of the side's scanner ran out of time (a hand left on the glass): detection
        // looks at the platen instead of adding the scanner until a look finds it empty, so that
        // the other modality is not kept waiting by one add after another. Under objectLock.
        bool awaitingEmptyPlaten = false;
        bool lookDue = false;        // a detection interval has passed since the attempt
        bool looking = false;        // a look runs, on the detection thread, without objectLock
        int platenModelCode = 0;     // the scanner looked at
    };
    // What the controller was last told about a modality: a controller that connects while an add
    // holds objectLock is told this at once. Under knownLock.
    struct KnownDevice {
        std::string model;  // empty: nothing, or a Removal
        std::string uri;
        bool connecting = false;
        bool failed = false;
        std::string client;
    };

    void ConnectToCentralDmCallbackThread(int reconnect);
    void HandleDmConnectionLost(int joinPing);
    int CheckConnectedFpScanner(int canAdd, int forceReport) { return CheckConnectedScanner(sides[0], canAdd, forceReport); }
    int CheckConnectedIrisScanner(int canAdd, int forceReport) { return CheckConnectedScanner(sides[1], canAdd, forceReport); }
    int CheckConnectedScanner(DeviceSide& side, int canAdd, int forceReport);
    // Asks the modality's capture library for a connected scanner: its model code and name.
    bool ProbeScanner(const DeviceSide& side, int& modelCode, std::string& name);
    std::unique_ptr<CBaseDevice> MakeDevice(const DeviceSide& side, int modelCode);
    void AddDeviceCallbackThread(int modality, int modelCode);
    void StartDeviceCallbackThread(int modality);
    void RemoveDevice(int modality, int lockFlag, bool lost);
    void _RemoveDevice(int modality);
    // Waits (500 ms polls, bounded) until the modality's capture has ended; called with objectLock.
    void WaitForCaptureEnd(const DeviceSide& side);
    // Closes a side's device while holding the other side's device lock; objectLock held.
    void CloseBesideOther(DeviceSide& side, std::unique_ptr<CBaseDevice>& device);
    void ReportDevice(const DeviceSide& side);
    // Detection pass of a side awaiting an empty platen (objectLock held): reports the scanner as
    // a pass does but adds nothing; true when a look at its platen is to run now.
    bool PlatenLookDue(DeviceSide& side);
    // Looks at the platen (objectLock not held) and connects the scanner when it is empty.
    void LookAtPlaten(DeviceSide& side);
    // Nothing keeps a scanner of the side from starting: no capture or iris calibration, the side
    // not held, no termination. Called with statusLock held.
    bool FreeToStartLocked(const DeviceSide& side);
    // Device events to the controller, remembered for a controller that connects later.
    void TellDeviceInfo(int modality, const std::string& model, const std::string& uri, bool connecting, bool failed);
    void TellRemoval(int modality, const std::string& model);
    void TellClient(int modality, const std::string& model, const std::string& clientURI);
    // Tells the controller what it was last told about each enabled modality.
    void TellKnownDevices();

    // CaptureInterlock words of a modality, read and written under statusLock.
    int& StatusWord(int modality) { return modality == 0 ? captureInterlock.fpDeviceStatus : captureInterlock.irisDeviceStatus; }
    int& CapturingWord(int modality) { return modality == 0 ? captureInterlock.fpCapturing : captureInterlock.irisCapturing; }
    int ReadWord(const int& word);
    void WriteWord(int& word, int value);

    // Starts a background thread unless it runs or termination has begun.
    void StartThread(Thread& thread);
    // Waits for a background thread to end (not when called on that thread).
    void JoinThread(Thread& thread);
    // Sleeps `ms` by the clock; false when termination cut the wait short.
    bool Sleep(int64_t ms) { return clock->WaitFor(ms, stopping); }
    void Post(Runnable* task);

    Synchronized objectLock{"CNavikVdm", VDM_LOG_MAIN};
    CSocketDm dmSocket{"DM Socket"};
    CSocketConfig configSocket{"Config Socket"};
    std::string configFilePath;
    DeviceSide sides[2] = {{0, VDM_LOG_FINGERPRINT, "fingerprint", "a"}, {1, VDM_LOG_IRIS, "iris", "an"}};
    std::mutex knownLock;  // taken after objectLock, before a channel's lock
    KnownDevice known[2];
    IrisDeviceKind irisKind;
    DmSettings dmSettings;
    VdmSettings vdmSettings;
    std::atomic<int> dmConnected{0};
    std::atomic<int> pingStarted{0};
    std::atomic<int> vdmState{0};
    Synchronized initializeLock{"Initialize Lock", VDM_LOG_MAIN};

    std::shared_ptr<IVdmClock> clock = std::make_shared<CSystemClock>();
    CPing pingThread{this};
    CDetectDevices detectThread{this};
    CCleanRequestIds cleanThread{this};
    std::mutex threadMutex;  // guards starting and joining the three threads
    std::atomic<bool> stopping{false};
    std::unique_ptr<QueuedThreadPool> taskPool;  // last: its workers end first
};
