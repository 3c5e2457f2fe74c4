#include "NavikVdm.h"

#include <chrono>
#include <ctime>
#include <stdexcept>

#include "device/ZarnApi.h"
#include "runtime/ConfigFile.h"
#include "runtime/ConfigureFailure.h"
#include "runtime/Log.h"
#include "runtime/Utilities.h"
#include "xml/XmlMessage.h"

namespace {

constexpr int kLog = VDM_LOG_MAIN;
constexpr int kFpLog = VDM_LOG_FINGERPRINT;

// Decimal value of a text: leading digits with an optional sign; anything else 0.
int DecimalOf(const std::string& text) {
    size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
    long long value = 0;
    bool digits = false;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        digits = true;
        value = value * 10 + (text[at] - '0');
        if (value > 0x7fffffff) return 0;
    }
    if (!digits || at != text.size()) return 0;
    return static_cast<int>(negative ? -value : value);
}

}  // namespace

// --- tasks ------------------------------------------------------------------------------------------

class CNavikVdm::CConnect : public Runnable {
public:
    CConnect(CNavikVdm* owner, int reconnect) : owner(owner), reconnect(reconnect) {}
    void run() override { owner->ConnectToCentralDmCallbackThread(reconnect); }
    CNavikVdm* owner;
    int reconnect;
};

class CNavikVdm::CStartDevice : public Runnable {
public:
    CStartDevice(CNavikVdm* owner, int modality) : owner(owner), modality(modality) {}
    void run() override { owner->StartDeviceCallbackThread(modality); }
    CNavikVdm* owner;
    int modality;
};

class CNavikVdm::CRemoveDevice : public Runnable {
public:
    CRemoveDevice(CNavikVdm* owner, int modality, int lost, int lockFlag)
        : owner(owner), modality(modality), lost(lost), lockFlag(lockFlag) {}
    void run() override { owner->RemoveDevice(modality, lockFlag, lost != 0); }
    CNavikVdm* owner;
    int modality, lost, lockFlag;
};

class CNavikVdm::CAddDevice : public Runnable {
public:
    CAddDevice(CNavikVdm* owner, int modality, int modelCode) : owner(owner), modality(modality), modelCode(modelCode) {}
    void run() override { owner->AddDeviceCallbackThread(modality, modelCode); }
    CNavikVdm* owner;
    int modality, modelCode;
};

// --- construction -----------------------------------------------------------------------------------

CNavikVdm::CNavikVdm() : nowSeconds([] { return static_cast<int64_t>(std::time(nullptr)); }) {
    statusLock.lock();
    captureInterlock = CaptureInterlock();
    statusLock.unlock();
    if (!CUtilities::SelfTest()) throw std::runtime_error("Error: SelfTest failed, check the log file.");
    configFilePath = CUtilities::GetAppDataDir() + "/VdmConfig.cfg";
    taskPool = std::make_unique<QueuedThreadPool>(4);
    taskPool->start();
}

CNavikVdm::~CNavikVdm() {
    if (vdmState.load() != 0) Terminate();
    stopping.store(true);
    waitSignal.notify_all();
    JoinThread(pingThread);
    JoinThread(detectThread);
    JoinThread(cleanThread);
    taskPool.reset();  // tasks in progress end first (their waits are cut short)
    dmSocket.Close(1);
    configSocket.Close(1);
}

void CNavikVdm::Post(Runnable* task) {
    taskPool->execute(task);
}

bool CNavikVdm::Sleep(int64_t ms) {
    std::unique_lock guard(waitMutex);
    const auto wait = std::chrono::milliseconds(ms / timeDivisor.load());
    return !waitSignal.wait_for(guard, wait, [this] { return stopping.load(); });
}

void CNavikVdm::StartThread(std::thread& thread, std::atomic<int>& running, void (CNavikVdm::*loop)()) {
    std::lock_guard guard(threadMutex);
    if (running.load() != 0 || stopping.load()) return;
    if (thread.joinable()) thread.join();  // its run has ended
    running.store(1);
    thread = std::thread([this, &running, loop] {
        (this->*loop)();
        running.store(0);
    });
}

void CNavikVdm::JoinThread(std::thread& thread) {
    std::lock_guard guard(threadMutex);
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

std::string CNavikVdm::GetFpDeviceURI() {
    objectLock.lock();
    std::string uri = fpDevice ? fpDevice->GetDeviceURI() : std::string();
    objectLock.unlock();
    return uri;
}

// --- Initialize and Terminate -------------------------------------------------------------------

int CNavikVdm::Initialize() {
    const char* op = "CNavikVdm::Initialize";
    initializeLock.lock();
    if (vdmState.load() != 0) {
        initializeLock.unlock();
        return 1;
    }
    vdmState.store(1);
    stopping.store(false);
    TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Initializing VDM.");
    dmSocket.SetOwner(this);
    try {
        const CConfigFile::ConfigMap* config = CConfigFile::GetInstance();
        dmSettings.dmIP = CConfigFile::GetString(config, "DmIP", "localhost");
        dmSettings.dmPort = CConfigFile::GetInt(config, "DmPort", 4401);
        dmSettings.dmMinPort = CConfigFile::GetInt(config, "DmMinPort", 4401);
        dmSettings.dmMaxPort = CConfigFile::GetInt(config, "DmMaxPort", 4410);
        dmSettings.retryIntervalMs = CConfigFile::GetInt(config, "DmRetryIntervalBetweenPortAttempts", 3) * 1000;
        dmSettings.sleepTimeMs = CConfigFile::GetInt(config, "DmSleepTimeAfterTryingAllPorts", 10) * 1000;
        vdmSettings.listenPort = CConfigFile::GetInt(config, "VdmListenPort", 7901);
        vdmSettings.listenMinPort = CConfigFile::GetInt(config, "VdmListenMinPort", 7901);
        vdmSettings.listenMaxPort = CConfigFile::GetInt(config, "VdmListenMaxPort", 7905);
        // Detection never runs more often than once a second.
        const int interval = CConfigFile::GetInt(config, "DeviceDetectionInterval", 15);
        detectionIntervalMs.store(interval < 1 ? kMinIntervalMs : interval * 1000);
        statusLock.lock();
        captureInterlock.fpDeviceStatus = 0;
        statusLock.unlock();
        fpEnabled.store(CConfigFile::GetBool(config, "Fingerprint") ? 1 : 0);
        statusLock.lock();
        captureInterlock.irisDeviceStatus = 0;
        statusLock.unlock();
        irisEnabled.store(CConfigFile::GetBool(config, "Iris") ? 1 : 0);
    } catch (const CConfigureFailure&) {
        vdmState.store(0);
        TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Failed to initialize VDM.");
        initializeLock.unlock();
        throw;
    }
    dmSocket.SetWaitBetweenPorts(dmSettings.retryIntervalMs);
    dmSocket.SetWaitAfterPass(dmSettings.sleepTimeMs);
    configSocket.SetOwner(this);
    if (!configSocket.Listen("0.0.0.0", vdmSettings.listenPort, 1, 60, vdmSettings.listenMinPort,
                             vdmSettings.listenMaxPort, 0, 1)) {
        TSK_LOG(LOGLEVEL_ERROR, kLog,
                op << ": Config socket failed to listen, Vdm controller cannot be able to connect to VDM.");
    }
    vdmState.store(2);
    Post(new CConnect(this, 0));
    StartThread(detectThread, detectRunning, &CNavikVdm::DetectLoop);
    TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Initialized VDM successfully.");
    initializeLock.unlock();
    return 1;
}

int CNavikVdm::Terminate() {
    const char* op = "CNavikVdm::Terminate";
    initializeLock.lock();
    vdmState.store(3);
    TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Terminating VDM.");
    // Every background wait ends now; no reconnect starts from here on.
    stopping.store(true);
    waitSignal.notify_all();
    objectLock.lock();
    if (fpDevice) dmSocket.SendRemovalDeviceManagerEventRequest(0, fpDevice->GetDeviceURI());
    objectLock.unlock();
    dmConnected.store(0);
    dmSocket.Close(1);
    configSocket.Close(1);
    statusLock.lock();
    captureInterlock.irisCapturing = 0;
    captureInterlock.fpCapturing = 0;
    statusLock.unlock();
    objectLock.lock();
    _RemoveDevice(0);
    objectLock.unlock();
    JoinThread(pingThread);
    JoinThread(detectThread);
    JoinThread(cleanThread);
    pingStarted.store(0);
    vdmState.store(0);
    TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Terminated VDM successfully.");
    initializeLock.unlock();
    return 1;
}

// --- Device Manager ----------------------------------------------------------------------------------

void CNavikVdm::ConnectToCentralDmCallbackThread(int reconnect) {
    const char* op = "CNavikVdm::ConnectToCentralDmCallbackThread";
    if (reconnect != 0 && !Sleep(1000)) return;
    if (stopping.load()) return;
    TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Connecting to Device Manager.");
    if (!dmSocket.ConnectTo(dmSettings.dmIP, dmSettings.dmPort, dmSettings.dmMinPort, dmSettings.dmMaxPort, 0) ||
        stopping.load()) {
        TSK_LOG(LOGLEVEL_ERROR, kLog, op << ": Failed to connect to Device Manager");
        return;
    }
    dmConnected.store(1);
    lastDmMessageTime.store(nowSeconds());
    TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Connected to Device Manager successfully.");
    dmSocket.SendConnectDeviceManagerEventRequest(vdmSettings.apiVersion, vdmSettings.vendor, vdmSettings.protocolVersion,
                                                  vdmSettings.vdmName, vdmSettings.vdmVersion);
    configSocket.SendDeviceManagerVdmEventRequest(dmSocket.GetRemoteSocketURI(dmSocket.GetChannelId()));
}

void CNavikVdm::HandleDmConnectionLost(int joinPing) {
    // One loss, one reconnect: whoever clears the flag first handles it.
    if (dmConnected.exchange(0) == 0) return;
    if (pingStarted.load() != 0 && joinPing != 0) JoinThread(pingThread);
    pingStarted.store(0);
    TSK_LOG(LOGLEVEL_WARNING, kLog, "CNavikVdm::HandleDmConnectionLost: Connection lost with Device Manager.");
    dmSocket.Close(1);  // on the channel's own thread this does not wait for itself
    configSocket.SendDeviceManagerVdmEventRequest("");
    if (vdmState.load() == 2 && !stopping.load()) Post(new CConnect(this, 1));
}

int CNavikVdm::ProcessDmSocketCloseEventCallback() {
    HandleDmConnectionLost(1);
    return 1;
}

int CNavikVdm::ProcessDmSocketErrorEventCallback() {
    HandleDmConnectionLost(1);
    return 1;
}

int CNavikVdm::ProcessDmConnectResponseCallback(const xercesc::DOMElement* connectResponse) {
    // Set under the object lock, so that a device added meanwhile is announced exactly once: by
    // the add task when it comes later, by this answer when it came earlier.
    objectLock.lock();
    pingStarted.store(1);
    objectLock.unlock();
    dmSettings.apiVersion = GetXmlAttribute(connectResponse, "apiVersion");
    dmSettings.vendor = GetXmlAttribute(connectResponse, "vendor");
    dmSettings.dmName = GetXmlAttribute(connectResponse, "dmName");
    dmSettings.dmVersion = GetXmlAttribute(connectResponse, "dmVersion");
    dmSettings.heartBeatSeconds = DecimalOf(GetXmlAttribute(connectResponse, "heartBeat")) / 2;
    if (vdmState.load() != 2) return 1;
    StartThread(pingThread, pingRunning, &CNavikVdm::PingLoop);
    StartThread(cleanThread, cleanRunning, &CNavikVdm::CleanLoop);
    objectLock.lock();
    if (fpDevice) {
        dmSocket.SendArrivalDeviceManagerEventRequest(fpDevice->GetArrivalDocument(), 0);
        configSocket.SendDeviceVdmInfoEventRequest(0, fpDevice->GetModel(), fpDevice->GetDeviceURI(), false, false);
    }
    objectLock.unlock();
    return 1;
}

void CNavikVdm::PingLoop() {
    const int heartBeat = dmSettings.heartBeatSeconds;
    // A Ping at most once a second, whatever the DM asks.
    const int64_t intervalMs = heartBeat * 1000 < kMinIntervalMs ? kMinIntervalMs : heartBeat * 1000;
    TSK_LOG(LOGLEVEL_INFO, kLog,
            "CNavikVdm::CPing::run: Start sending Ping message to Device Manager every: " << heartBeat * 1000
                                                                                           << " milliseconds.");
    const int64_t lossLimit = 10 * heartBeat < 300 ? 300 : 10 * heartBeat;
    while (dmConnected.load() != 0 && !stopping.load()) {
        dmSocket.SendPingDeviceManagerEventRequest(vdmSettings.vdmName);
        if (!Sleep(intervalMs)) return;
        if (nowSeconds() - lastDmMessageTime.load() > lossLimit) {
            HandleDmConnectionLost(0);
            return;
        }
    }
}

void CNavikVdm::CleanLoop() {
    while (vdmState.load() == 2 && Sleep(300000)) {
        const int64_t now = nowSeconds();
        dmSocket.CleanRequestIds(now);
        configSocket.CleanRequestIds(now);
        objectLock.lock();
        if (fpDevice) fpDevice->GetDeviceSocket().CleanRequestIds(now);
        objectLock.unlock();
    }
}

// --- detection and devices ----------------------------------------------------------------------------

void CNavikVdm::DetectLoop() {
    while (fpEnabled.load() != 0 && vdmState.load() == 2 && !stopping.load()) {
        objectLock.lock();
        statusLock.lock();
        const int status = captureInterlock.fpDeviceStatus;
        statusLock.unlock();
        if (status == 0) CheckConnectedFpScanner(1, 0);
        objectLock.unlock();
        if (!Sleep(detectionIntervalMs.load())) return;
    }
}

int CNavikVdm::CheckConnectedFpScanner(int canAdd, int forceReport) {
    const char* op = "CNavikVdm::CheckConnectedFpScanner";
    statusLock.lock();
    const int status = captureInterlock.fpDeviceStatus;
    statusLock.unlock();
    if (status > 0) {
        if (forceReport == 0) return 0;
        canAdd = 0;
    }
    TSK_LOG(LOGLEVEL_DBG1, kFpLog, op << ": Finding fingerprint device.");
    ZarnConnectedScanners scanners{};
    int modelCode = 0;
    std::string name;
    if (FpApi().Zarn_Main_GetConnectedScanner(&scanners) == 0) {
        if (scanners.entries[ZARN_FAMILY_PLOVER_A] != 0) {
            modelCode = kFpModelPloverA;
            name = "PloverA";
        } else if (scanners.entries[ZARN_FAMILY_VIREO_A] != 0) {
            modelCode = kFpModelVireoA;
            name = "VireoA";
        }
    }
    if (modelCode == 0) {
        fpHeld.store(0);
        if (!fpReportedModel.empty() || forceReport != 0)
            configSocket.SendDeviceVdmRemovalEventRequest(0, fpReportedModel);
        fpReportedModel.clear();
        return 0;
    }
    statusLock.lock();
    const bool free = captureInterlock.fpCapturing == 0 && captureInterlock.irisCapturing == 0 &&
                      captureInterlock.irisCalibrating == 0 && fpHeld.load() == 0;
    if (canAdd != 0 && free) captureInterlock.fpDeviceStatus = 1;
    const int connecting = captureInterlock.fpDeviceStatus == 1;
    statusLock.unlock();
    if (canAdd != 0 && free) {
        TSK_LOG(LOGLEVEL_INFO, kFpLog, op << ": Found " << name << " Device. Connecting ...");
        Post(new CAddDevice(this, 0, modelCode));
    }
    if (name != fpReportedModel || forceReport != 0) {
        if (fpDevice)
            configSocket.SendDeviceVdmInfoEventRequest(0, fpDevice->GetModel(), fpDevice->GetDeviceURI(), false, false);
        else
            configSocket.SendDeviceVdmInfoEventRequest(0, name, "", connecting, false);
    }
    fpReportedModel = name;
    return 1;
}

void CNavikVdm::AddDeviceCallbackThread(int modality, int modelCode) {
    const char* op = "CNavikVdm::AddDeviceCallbackThread";
    if (modality != 0) return;
    const std::string name = modelCode == kFpModelVireoA ? "VireoA" : "PloverA";
    if (modelCode == 0) {
        statusLock.lock();
        captureInterlock.fpDeviceStatus = 0;
        statusLock.unlock();
        StartThread(detectThread, detectRunning, &CNavikVdm::DetectLoop);
        return;
    }
    objectLock.lock();
    TSK_LOG(LOGLEVEL_DBG1, kFpLog, op << ": Trying to initialize a fingerprint device.");
    auto device = std::make_unique<CFpDevice>(vdmSettings.vdmName, this, modelCode);
    if (device->Open() == 0) {
        TSK_LOG(LOGLEVEL_ERROR, kFpLog, op << ": Failed to add a fingerprint device");
        device.reset();
        statusLock.lock();
        captureInterlock.fpDeviceStatus = 0;
        statusLock.unlock();
        configSocket.SendDeviceVdmInfoEventRequest(0, name, "", false, true);
        objectLock.unlock();
        StartThread(detectThread, detectRunning, &CNavikVdm::DetectLoop);
        return;
    }
    if (vdmState.load() != 2) {
        TSK_LOG(LOGLEVEL_DBG1, kFpLog,
                op << ": System aborted to add a fingerprint device with URI: " << device->GetDeviceURI()
                   << " because VDM Terminate request is pending.");
        device->Close();
        device.reset();
        statusLock.lock();
        captureInterlock.fpCapturing = 0;
        captureInterlock.fpDeviceStatus = 0;
        statusLock.unlock();
        configSocket.SendDeviceVdmInfoEventRequest(0, name, "", false, true);
        objectLock.unlock();
        return;
    }
    TSK_LOG(LOGLEVEL_DBG1, kFpLog, op << ": Added a fingerprint device with URI = " << device->GetDeviceURI());
    fpDevice = std::move(device);
    statusLock.lock();
    captureInterlock.fpDeviceStatus = 2;
    statusLock.unlock();
    if (pingStarted.load() != 0) dmSocket.SendArrivalDeviceManagerEventRequest(fpDevice->GetArrivalDocument(), 0);
    configSocket.SendDeviceVdmInfoEventRequest(0, fpDevice->GetModel(), fpDevice->GetDeviceURI(), false, false);
    objectLock.unlock();
}

void CNavikVdm::StartDeviceCallbackThread(int modality) {
    if (modality != 0) return;
    for (int polls = 0; polls < 600; ++polls) {
        objectLock.lock();
        const bool present = fpDevice != nullptr;
        objectLock.unlock();
        statusLock.lock();
        const bool added = captureInterlock.fpDeviceStatus == 2;
        statusLock.unlock();
        if (!present && !added) break;
        if (!Sleep(100)) return;
    }
    fpHeld.store(0);
    objectLock.lock();
    CheckConnectedFpScanner(1, 0);
    objectLock.unlock();
}

void CNavikVdm::RemoveDevice(int modality, int lockFlag, bool lost) {
    if (modality != 0) return;
    TSK_LOG(LOGLEVEL_DBG1, kFpLog,
            (lost ? "CNavikVdm::ProcessDeviceLostEventCallbackThread: Trying to remove fingerprint device due to "
                    "connection lost."
                  : "CNavikVdm::ProcessRemoveDeviceEventCallbackThread: Trying to remove fingerprint device."));
    statusLock.lock();
    captureInterlock.fpCapturing = 0;
    statusLock.unlock();
    if (lockFlag != 0) objectLock.lock();
    _RemoveDevice(0);
    if (lockFlag != 0) objectLock.unlock();
}

void CNavikVdm::_RemoveDevice(int modality) {
    if (modality != 0 || !fpDevice) return;
    const std::string uri = fpDevice->GetDeviceURI();
    TSK_LOG(LOGLEVEL_DBG1, kFpLog, "CNavikVdm::_RemoveDevice: Trying to remove a fingerprint device on URI: " << uri);
    if (vdmState.load() != 3) dmSocket.SendRemovalDeviceManagerEventRequest(0, uri);
    fpDevice->Close();
    fpDevice.reset();
    statusLock.lock();
    captureInterlock.fpDeviceStatus = 0;
    statusLock.unlock();
    CheckConnectedFpScanner(0, 1);
    TSK_LOG(LOGLEVEL_DBG1, kFpLog, "CNavikVdm::_RemoveDevice: Removed a fingerprint device on URI: " << uri);
    if (vdmState.load() != 3) StartThread(detectThread, detectRunning, &CNavikVdm::DetectLoop);
}

int CNavikVdm::ProcessDeviceLostEventCallback(int modality, int lockFlag) {
    if (vdmState.load() == 2) Post(new CRemoveDevice(this, modality, 1, lockFlag));
    return 1;
}

// --- controller ---------------------------------------------------------------------------------------

int CNavikVdm::ProcessControllerConnectedCallback() {
    std::map<std::string, std::string> config = CConfigFile::GetAll(CConfigFile::GetInstance());
    config.emplace("VdmName", vdmSettings.vdmName);
    config.emplace("VdmVersion", vdmSettings.vdmVersion);
    configSocket.SendConfigVdmEventRequest(config);
    if (dmConnected.load() != 0)
        configSocket.SendDeviceManagerVdmEventRequest(dmSocket.GetRemoteSocketURI(dmSocket.GetChannelId()));
    objectLock.lock();
    if (fpDevice) {
        configSocket.SendDeviceVdmInfoEventRequest(0, fpDevice->GetModel(), fpDevice->GetDeviceURI(), false, false);
        if (fpDevice->GetDeviceSocket().IsClientConnected())
            configSocket.SendDeviceVdmClientEventRequest(0, fpDevice->GetModel(),
                                                         fpDevice->GetDeviceSocket().GetClientURI());
    } else if (fpEnabled.load() != 0) {
        CheckConnectedFpScanner(0, 1);
    }
    objectLock.unlock();
    return 1;
}

int CNavikVdm::SetVdmConfigCallback(const std::string& key, const std::string& value) {
    if (key == "DmIP") dmSettings.dmIP = value;
    else if (key == "DmPort") dmSettings.dmPort = DecimalOf(value);
    else if (key == "DmMinPort") dmSettings.dmMinPort = DecimalOf(value);
    else if (key == "DmMaxPort") dmSettings.dmMaxPort = DecimalOf(value);
    try {
        CConfigFile::SetValue(CConfigFile::GetInstance(), key, value);
    } catch (const CConfigureFailure& failure) {
        TSK_LOG(LOGLEVEL_WARNING, kLog, "CNavikVdm::SetVdmConfigCallback: " << failure.what());
        return 0;
    }
    return 1;
}

int CNavikVdm::StartDeviceCallback(int modality) {
    Post(new CStartDevice(this, modality));
    return 1;
}

int CNavikVdm::StopDeviceCallback(int modality, int hold) {
    if (modality == 0 && hold != 0) fpHeld.store(1);
    Post(new CRemoveDevice(this, modality, 0, 1));
    return 1;
}

int CNavikVdm::RestartDeviceCallback(int modality) {
    StopDeviceCallback(modality, 0);
    StartDeviceCallback(modality);
    return 1;
}

int CNavikVdm::CalibrateDeviceCallback(int modality) {
    // Only the iris device calibrates, and there is none here.
    (void)modality;
    return -2;
}

int CNavikVdm::ProcessDeviceClientConnectedCallback(int modality, const std::string& model,
                                                    const std::string& clientURI) {
    configSocket.SendDeviceVdmClientEventRequest(modality, model, clientURI);
    return 1;
}

int CNavikVdm::ProcessDeviceClientGoneCallback(int modality, const std::string& model) {
    configSocket.SendDeviceVdmClientEventRequest(modality, model, "");
    return 1;
}
