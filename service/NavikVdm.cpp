#include "NavikVdm.h"

#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "device/ZarnApi.h"
#include "runtime/ConfigFile.h"
#include "runtime/ConfigureFailure.h"
#include "runtime/Log.h"
#include "runtime/Utilities.h"
#include "xml/XmlMessage.h"

namespace {

constexpr int kLog = VDM_LOG_MAIN;

// Name of a model code of a modality.
std::string ModelName(int modality, int modelCode) {
    if (modality == 1) return "Egret";
    return modelCode == CNavikVdm::kFpModelVireoA ? "VireoA" : "PloverA";
}

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

CNavikVdm::CNavikVdm() {
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
    clock->WakeAll();
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

int CNavikVdm::ReadWord(const int& word) {
    statusLock.lock();
    const int value = word;
    statusLock.unlock();
    return value;
}

void CNavikVdm::WriteWord(int& word, int value) {
    statusLock.lock();
    word = value;
    statusLock.unlock();
}

void CNavikVdm::StartThread(Thread& thread) {
    std::lock_guard guard(threadMutex);
    if (thread.getState() == Thread::Running || stopping.load()) return;
    thread.start();  // a thread whose run has ended starts again
}

void CNavikVdm::JoinThread(Thread& thread) {
    std::lock_guard guard(threadMutex);
    if (thread.getState() == Thread::NotRunning || thread.getThreadId() == static_cast<uint32_t>(::gettid())) return;
    thread.join();
}

// Each background thread is joined before its members go: the base's destructor would join it
// only after them.
CNavikVdm::CPing::~CPing() {
    if (getState() != NotRunning) join();
}

CNavikVdm::CDetectDevices::~CDetectDevices() {
    if (getState() != NotRunning) join();
}

CNavikVdm::CCleanRequestIds::~CCleanRequestIds() {
    if (getState() != NotRunning) join();
}

std::string CNavikVdm::GetDeviceURI(int modality) {
    if (modality != 0 && modality != 1) return {};
    objectLock.lock();
    std::string uri = sides[modality].device ? sides[modality].device->GetDeviceURI() : std::string();
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
    if (irisKind.allocatePreviewBuffers && irisKind.allocatePreviewBuffers() == 0) {
        TSK_LOG(LOGLEVEL_ERROR, VDM_LOG_IRIS, op << ": Failed to initialize Iris algorithm.");
        // Back to "not initialised", so that a later Initialize tries again instead of reporting
        // success for a core object that never started.
        vdmState.store(0);
        initializeLock.unlock();
        return 0;
    }
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
        detectThread.SetInterval(interval < 1 ? kMinIntervalMs : interval * 1000);
        WriteWord(captureInterlock.fpDeviceStatus, 0);
        sides[0].enabled.store(CConfigFile::GetBool(config, "Fingerprint") ? 1 : 0);
        WriteWord(captureInterlock.irisDeviceStatus, 0);
        sides[1].enabled.store(CConfigFile::GetBool(config, "Iris") ? 1 : 0);
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
    StartThread(detectThread);
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
    clock->WakeAll();
    objectLock.lock();
    for (const DeviceSide& side : sides) {
        if (side.device) dmSocket.SendRemovalDeviceManagerEventRequest(side.modality, side.device->GetDeviceURI());
    }
    objectLock.unlock();
    dmConnected.store(0);
    dmSocket.Close(1);
    configSocket.Close(1);
    statusLock.lock();
    captureInterlock.irisCapturing = 0;
    captureInterlock.fpCapturing = 0;
    statusLock.unlock();
    for (int modality : {1, 0}) {
        objectLock.lock();
        _RemoveDevice(modality);
        objectLock.unlock();
    }
    JoinThread(pingThread);
    JoinThread(detectThread);
    JoinThread(cleanThread);
    pingStarted.store(0);
    vdmState.store(0);
    if (irisKind.freePreviewBuffers) irisKind.freePreviewBuffers();
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
    lastDmMessageTime.store(NowSeconds());
    TSK_LOG(LOGLEVEL_DBG1, kLog, op << ": Connected to Device Manager successfully.");
    dmSocket.SendConnectDeviceManagerEventRequest(vdmSettings.apiVersion, vdmSettings.vendor, vdmSettings.protocolVersion,
                                                  vdmSettings.vdmName, vdmSettings.vdmVersion);
    configSocket.SendDeviceManagerVdmEventRequest(dmSocket.GetRemoteSocketURI(dmSocket.GetChannelId()));
}

void CNavikVdm::HandleDmConnectionLost(int joinPing) {
    // One loss, one reconnect: whoever clears the flag first handles it.
    if (dmConnected.exchange(0) == 0) return;
    // The heartbeat's wait ends with the connection, so the join does not wait out its interval.
    clock->WakeAll();
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
    dmSettings.apiVersion = GetXmlAttribute(connectResponse, "apiVersion");
    dmSettings.vendor = GetXmlAttribute(connectResponse, "vendor");
    dmSettings.dmName = GetXmlAttribute(connectResponse, "dmName");
    dmSettings.dmVersion = GetXmlAttribute(connectResponse, "dmVersion");
    dmSettings.heartBeatSeconds = DecimalOf(GetXmlAttribute(connectResponse, "heartBeat")) / 2;
    if (vdmState.load() != 2) {
        pingStarted.store(1);
        return 1;
    }
    StartThread(pingThread);
    StartThread(cleanThread);
    // Set in the same hold of the object lock that announces the present devices, so that a
    // device added meanwhile is announced exactly once: by this answer when the add task came
    // first, by the add task (which tests the flag under the same lock) when it comes later.
    objectLock.lock();
    pingStarted.store(1);
    for (const DeviceSide& side : sides) {
        if (!side.device) continue;
        dmSocket.SendArrivalDeviceManagerEventRequest(side.device->GetArrivalDocument(), side.modality);
        ReportDevice(side);
    }
    objectLock.unlock();
    return 1;
}

void CNavikVdm::CPing::run() {
    // In 64 bits: the DM's value may be as large as an int holds.
    const int64_t heartBeat = owner->dmSettings.heartBeatSeconds;
    // A Ping at most once a second, whatever the DM asks.
    const int64_t intervalMs = heartBeat * 1000 < kMinIntervalMs ? kMinIntervalMs : heartBeat * 1000;
    TSK_LOG(LOGLEVEL_INFO, kLog,
            "CNavikVdm::CPing::run: Start sending Ping message to Device Manager every: " << intervalMs
                                                                                           << " milliseconds.");
    const int64_t lossLimit = 10 * heartBeat < 300 ? 300 : 10 * heartBeat;
    // The wait between Pings ends early at termination and when the connection is lost.
    const auto ended = [this] { return owner->stopping.load() || owner->dmConnected.load() == 0; };
    while (!ended()) {
        owner->dmSocket.SendPingDeviceManagerEventRequest(owner->vdmSettings.vdmName);
        if (!owner->clock->WaitFor(intervalMs, ended)) return;
        if (owner->NowSeconds() - owner->lastDmMessageTime.load() > lossLimit) {
            owner->HandleDmConnectionLost(0);
            return;
        }
    }
}

void CNavikVdm::CCleanRequestIds::run() {
    while (owner->vdmState.load() == 2 && owner->Sleep(300000)) {
        const int64_t now = owner->NowSeconds();
        owner->dmSocket.CleanRequestIds(now);
        owner->configSocket.CleanRequestIds(now);
        owner->objectLock.lock();
        for (const DeviceSide& side : owner->sides) {
            if (side.device) side.device->GetDeviceSocket().CleanRequestIds(now);
        }
        owner->objectLock.unlock();
    }
}

// --- detection and devices ----------------------------------------------------------------------------

void CNavikVdm::CDetectDevices::run() {
    CNavikVdm* const vdm = owner;
    DeviceSide* const sides = vdm->sides;
    while ((sides[0].enabled.load() != 0 || sides[1].enabled.load() != 0) && vdm->vdmState.load() == 2 &&
           !vdm->stopping.load()) {
        DeviceSide* look = nullptr;
        vdm->objectLock.lock();
        // The iris side first.
        for (DeviceSide* side : {&sides[1], &sides[0]}) {
            if (side->enabled.load() == 0 || vdm->ReadWord(vdm->StatusWord(side->modality)) != 0) continue;
            if (!side->awaitingEmptyPlaten) vdm->CheckConnectedScanner(*side, 1, 0);
            else if (vdm->PlatenLookDue(*side)) look = side;
        }
        vdm->objectLock.unlock();
        if (look != nullptr) vdm->LookAtPlaten(*look);
        if (!vdm->Sleep(detectionIntervalMs.load())) return;
    }
}

bool CNavikVdm::ProbeScanner(const DeviceSide& side, int& modelCode, std::string& name) {
    if (side.modality == 1) {
        int count = 0;
        if (IrisApi().Zarn_IRIS_Main_GetConnectedDevice(&count) != 0 || count <= 0 || count != kIrisCameraCount)
            return false;
        modelCode = 0;
        name = ModelName(1, 0);
        return true;
    }
    ZarnConnectedScanners scanners{};
    if (FpApi().Zarn_Main_GetConnectedScanner(&scanners) != 0) return false;
    if (scanners.entries[ZARN_FAMILY_PLOVER_A] != 0) modelCode = kFpModelPloverA;
    else if (scanners.entries[ZARN_FAMILY_VIREO_A] != 0) modelCode = kFpModelVireoA;
    else return false;
    name = ModelName(0, modelCode);
    return true;
}

void CNavikVdm::ReportDevice(const DeviceSide& side) {
    TellDeviceInfo(side.modality, side.device->GetModel(), side.device->GetDeviceURI(), false, false);
}

void CNavikVdm::TellDeviceInfo(int modality, const std::string& model, const std::string& uri, bool connecting,
                               bool failed) {
    std::lock_guard guard(knownLock);
    KnownDevice& told = known[modality];
    // A client belongs to the device it connected to.
    if (told.uri != uri) told.client.clear();
    told.model = model;
    told.uri = uri;
    told.connecting = connecting;
    told.failed = failed;
    configSocket.SendDeviceVdmInfoEventRequest(modality, model, uri, connecting, failed);
}

void CNavikVdm::TellRemoval(int modality, const std::string& model) {
    std::lock_guard guard(knownLock);
    known[modality] = KnownDevice();
    configSocket.SendDeviceVdmRemovalEventRequest(modality, model);
}

void CNavikVdm::TellClient(int modality, const std::string& model, const std::string& clientURI) {
    std::lock_guard guard(knownLock);
    if (modality == 0 || modality == 1) known[modality].client = clientURI;
    configSocket.SendDeviceVdmClientEventRequest(modality, model, clientURI);
}

void CNavikVdm::TellKnownDevices() {
    std::lock_guard guard(knownLock);
    for (const DeviceSide& side : sides) {
        if (side.enabled.load() == 0) continue;
        const KnownDevice& told = known[side.modality];
        if (told.model.empty()) {
            configSocket.SendDeviceVdmRemovalEventRequest(side.modality, "");
            continue;
        }
        configSocket.SendDeviceVdmInfoEventRequest(side.modality, told.model, told.uri, told.connecting, told.failed);
        if (!told.client.empty()) configSocket.SendDeviceVdmClientEventRequest(side.modality, told.model, told.client);
    }
}

bool CNavikVdm::FreeToStartLocked(const DeviceSide& side) {
    // No add once termination has begun: a detection pass that waited for objectLock behind a
    // long add would otherwise start another one that the termination has to wait for.
    return captureInterlock.fpCapturing == 0 && captureInterlock.irisCapturing == 0 &&
           captureInterlock.irisCalibrating == 0 && side.held.load() == 0 && !stopping.load();
}

bool CNavikVdm::PlatenLookDue(DeviceSide& side) {
    if (CheckConnectedScanner(side, 0, 0) == 0) return false;
    // The first pass after the attempt only reports: the look comes a detection interval later.
    if (!side.lookDue) {
        side.lookDue = true;
        return false;
    }
    // A look streams the scanner as an add does: not while the other modality is being added.
    statusLock.lock();
    const bool free = FreeToStartLocked(side) && StatusWord(1 - side.modality) != 1;
    statusLock.unlock();
    side.looking = free;
    return free;
}

void CNavikVdm::LookAtPlaten(DeviceSide& side) {
    const bool empty = CFpDevice::LookAtPlaten(this, side.platenModelCode);
    objectLock.lock();
    side.looking = false;
    // A controller's Start meanwhile ended the wait already: the next detection pass adds the scanner.
    if (empty && side.awaitingEmptyPlaten) {
        side.awaitingEmptyPlaten = false;
        TSK_LOG(LOGLEVEL_INFO, side.logModule,
                "CNavikVdm::LookAtPlaten: The platen of the " << ModelName(side.modality, side.platenModelCode)
                                                             << " scanner is empty: connecting it.");
        CheckConnectedScanner(side, 1, 0);
    }
    objectLock.unlock();
}

int CNavikVdm::CheckConnectedScanner(DeviceSide& side, int canAdd, int forceReport) {
    const char* op = side.modality == 0 ? "CNavikVdm::CheckConnectedFpScanner" : "CNavikVdm::CheckConnectedIrisScanner";
    if (ReadWord(StatusWord(side.modality)) > 0) {
        if (forceReport == 0) return 0;
        canAdd = 0;
    }
    if (side.looking) {
        // The look has the scanner: the library is not asked again meanwhile, and nothing is added.
        if (forceReport != 0) TellDeviceInfo(side.modality, side.reportedModel, "", false, false);
        return 1;
    }
    TSK_LOG(LOGLEVEL_DBG1, side.logModule, op << ": Finding " << side.word << " device.");
    int modelCode = 0;
    std::string name;
    if (!ProbeScanner(side, modelCode, name)) {
        side.held.store(0);  // seen absent: a held scanner may be added when it comes back
        side.awaitingEmptyPlaten = false;  // and one plugged in again is added as any other
        if (!side.reportedModel.empty() || forceReport != 0) TellRemoval(side.modality, side.reportedModel);
        side.reportedModel.clear();
        return 0;
    }
    statusLock.lock();
    const bool free = FreeToStartLocked(side);
    if (canAdd != 0 && free) StatusWord(side.modality) = 1;
    const int connecting = StatusWord(side.modality) == 1;
    statusLock.unlock();
    if (canAdd != 0 && free) {
        TSK_LOG(LOGLEVEL_INFO, side.logModule,
                op << ": Found " << (side.modality == 0 ? name : std::string("Iris")) << " Device. Connecting ...");
        Post(new CAddDevice(this, side.modality, modelCode));
    }
    if (name != side.reportedModel || forceReport != 0) {
        if (side.device) ReportDevice(side);
        else TellDeviceInfo(side.modality, name, "", connecting, false);
    }
    side.reportedModel = name;
    return 1;
}

std::unique_ptr<CBaseDevice> CNavikVdm::MakeDevice(const DeviceSide& side, int modelCode) {
    if (side.modality == 0) return std::make_unique<CFpDevice>(vdmSettings.vdmName, this, modelCode);
    if (!irisKind.create) return nullptr;
    return irisKind.create(vdmSettings.vdmName, this);
}

void CNavikVdm::WaitForCaptureEnd(const DeviceSide& side) {
    for (int polls = 0; ReadWord(CapturingWord(side.modality)) != 0; ++polls) {
        if (polls == kOtherCapturePolls) {
            TSK_LOG(LOGLEVEL_WARNING, side.logModule,
                    "CNavikVdm::WaitForCaptureEnd: The " << side.word << " capture did not end; going on.");
            return;
        }
        if (!Sleep(500)) return;
    }
}

void CNavikVdm::CloseBesideOther(DeviceSide& side, std::unique_ptr<CBaseDevice>& device) {
    DeviceSide& other = sides[1 - side.modality];
    if (other.device) {
        WaitForCaptureEnd(other);
        other.device->GetDeviceLock().lock();
        device->Close();
        other.device->GetDeviceLock().unlock();
    } else {
        device->Close();
    }
    device.reset();
}

void CNavikVdm::AddDeviceCallbackThread(int modality, int modelCode) {
    const char* op = "CNavikVdm::AddDeviceCallbackThread";
    if (modality != 0 && modality != 1) return;
    DeviceSide& side = sides[modality];
    if (modality == 0 && modelCode == 0) {
        WriteWord(StatusWord(0), 0);
        StartThread(detectThread);
        return;
    }
    const std::string name = ModelName(modality, modelCode);
    objectLock.lock();
    TSK_LOG(LOGLEVEL_DBG1, side.logModule, op << ": Trying to initialize " << side.article << " " << side.word << " device.");
    std::unique_ptr<CBaseDevice> device = MakeDevice(side, modelCode);
    if (!device || device->Open() == 0) {
        TSK_LOG(LOGLEVEL_ERROR, side.logModule, op << ": Failed to add " << side.article << " " << side.word << " device");
        // Only fingerprint devices live on side 0.
        if (modality == 0 && device && static_cast<CFpDevice*>(device.get())->ConnectTimedOut()) {
            side.awaitingEmptyPlaten = true;
            side.lookDue = false;
            side.platenModelCode = modelCode;
            TSK_LOG(LOGLEVEL_INFO, side.logModule,
                    op << ": Waiting for an empty platen before the " << name << " scanner is connected again.");
        }
        device.reset();
        WriteWord(StatusWord(modality), 0);
        TellDeviceInfo(modality, name, "", false, true);
        objectLock.unlock();
        StartThread(detectThread);
        return;
    }
    if (vdmState.load() != 2) {
        TSK_LOG(LOGLEVEL_DBG1, side.logModule,
                op << ": System aborted to add " << side.article << " " << side.word
                   << " device with URI: " << device->GetDeviceURI() << " because VDM Terminate request is pending.");
        WriteWord(CapturingWord(modality), 0);
        CloseBesideOther(side, device);
        WriteWord(StatusWord(modality), 0);
        TellDeviceInfo(modality, name, "", false, true);
        objectLock.unlock();
        return;
    }
    TSK_LOG(LOGLEVEL_DBG1, side.logModule,
            op << ": Added " << side.article << " " << side.word << " device with URI = " << device->GetDeviceURI());
    side.device = std::move(device);
    WriteWord(StatusWord(modality), 2);
    if (pingStarted.load() != 0) dmSocket.SendArrivalDeviceManagerEventRequest(side.device->GetArrivalDocument(), modality);
    ReportDevice(side);
    objectLock.unlock();
}

void CNavikVdm::StartDeviceCallbackThread(int modality) {
    if (modality != 0 && modality != 1) return;
    DeviceSide& side = sides[modality];
    // A removal still under way ends first (at most 60 s).
    for (int polls = 0; polls < 600; ++polls) {
        objectLock.lock();
        const bool present = side.device != nullptr;
        objectLock.unlock();
        if (!present && ReadWord(StatusWord(modality)) != 2) break;
        if (!Sleep(100)) return;
    }
    side.held.store(0);
    objectLock.lock();
    // The operator's Start connects the scanner whatever lies on its glass (after a look that runs).
    side.awaitingEmptyPlaten = false;
    CheckConnectedScanner(side, 1, 0);
    objectLock.unlock();
}

void CNavikVdm::RemoveDevice(int modality, int lockFlag, bool lost) {
    if (modality != 0 && modality != 1) return;
    const DeviceSide& side = sides[modality];
    if (lost) {
        TSK_LOG(LOGLEVEL_DBG1, side.logModule,
                "CNavikVdm::ProcessDeviceLostEventCallbackThread: Trying to remove " << side.word
                                                                                    << " device due to connection lost.");
    } else {
        TSK_LOG(LOGLEVEL_DBG1, side.logModule,
                "CNavikVdm::ProcessRemoveDeviceEventCallbackThread: Trying to remove " << side.word << " device.");
    }
    WriteWord(CapturingWord(modality), 0);
    if (lockFlag != 0) objectLock.lock();
    _RemoveDevice(modality);
    if (lockFlag != 0) objectLock.unlock();
}

void CNavikVdm::_RemoveDevice(int modality) {
    DeviceSide& side = sides[modality];
    if (!side.device) return;
    const std::string uri = side.device->GetDeviceURI();
    TSK_LOG(LOGLEVEL_DBG1, side.logModule,
            "CNavikVdm::_RemoveDevice: Trying to remove " << side.article << " " << side.word << " device on URI: " << uri);
    if (vdmState.load() != 3) dmSocket.SendRemovalDeviceManagerEventRequest(modality, uri);
    CloseBesideOther(side, side.device);
    WriteWord(StatusWord(modality), 0);
    CheckConnectedScanner(side, 0, 1);
    TSK_LOG(LOGLEVEL_DBG1, side.logModule,
            "CNavikVdm::_RemoveDevice: Removed " << side.article << " " << side.word << " device on URI: " << uri);
    if (vdmState.load() != 3) StartThread(detectThread);
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
    int tries = 1;
    for (; !objectLock.trylock(); ++tries) {
        if (tries == kControllerReportTries) {
            // An add holds the lock until its device has opened (half a minute for a scanner with
            // a hand on it): the controller learns at once what is known.
            TellKnownDevices();
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (DeviceSide& side : sides) {
        if (side.device) {
            ReportDevice(side);
            if (side.device->GetDeviceSocket().IsClientConnected())
                TellClient(side.modality, side.device->GetModel(), side.device->GetDeviceSocket().GetClientURI());
        } else if (side.enabled.load() != 0) {
            CheckConnectedScanner(side, 0, 1);
        }
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
    if (modality != 0 && modality != 1) return 0;
    sides[modality].held.store(hold);
    WriteWord(CapturingWord(modality), 0);
    Post(new CRemoveDevice(this, modality, 0, 1));
    return 1;
}

int CNavikVdm::RestartDeviceCallback(int modality) {
    if (StopDeviceCallback(modality, 0) == 0) return 0;
    return StartDeviceCallback(modality);
}

int CNavikVdm::CalibrateDeviceCallback(int modality) {
    if (modality != 1) return -2;
    statusLock.lock();
    const CaptureInterlock words = captureInterlock;
    statusLock.unlock();
    if (words.irisDeviceStatus < 2 || words.fpDeviceStatus == 1) return -2;
    if (words.fpCapturing != 0 || words.irisCapturing != 0) return -3;
    objectLock.lock();
    auto* iris = static_cast<CIrisDeviceBase*>(sides[1].device.get());  // only iris devices live there
    if (iris == nullptr) {
        objectLock.unlock();
        return -2;
    }
    CBaseDevice* fp = sides[0].device.get();
    int result = -3;
    if (fp != nullptr) fp->GetDeviceLock().lock();
    if (ReadWord(captureInterlock.fpCapturing) == 0) {
        iris->GetDeviceLock().lock();
        if (ReadWord(captureInterlock.irisCapturing) == 0) result = iris->CalibrateDevice() != 0 ? 0 : -4;
        iris->GetDeviceLock().unlock();
    }
    if (fp != nullptr) fp->GetDeviceLock().unlock();
    objectLock.unlock();
    return result;
}

int CNavikVdm::ProcessDeviceClientConnectedCallback(int modality, const std::string& model,
                                                    const std::string& clientURI) {
    TellClient(modality, model, clientURI);
    return 1;
}

int CNavikVdm::ProcessDeviceClientGoneCallback(int modality, const std::string& model) {
    TellClient(modality, model, "");
    return 1;
}
