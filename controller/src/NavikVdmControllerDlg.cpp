#include "NavikVdmControllerDlg.h"

#include <cstdint>
#include <map>

#include "runtime/ConfigFile.h"
#include "runtime/Log.h"
#include "runtime/StringUtils.h"

using ui::BoxButtons;
using ui::BoxIcon;
using ui::BoxResult;
using ui::ControlKind;

namespace {

constexpr const char* kNotConnected = "Not Connected To Tessik Biometrics VDM";
constexpr const char* kCannotConnect = "Cannot connect to Tessik Biometrics Vdm.";

// A label left of a field: from the group's left edge (plus a margin) up to the field.
ui::ControlSpec LabelLeftOf(const char* text, int groupX, int fieldX, int fieldY) {
    return {0, ControlKind::Label, text, {groupX + 7, fieldY + 3, fieldX - groupX - 9, 8}};
}

// Waits for a thread that was started at some time (running or ended); one that never ran, or
// was already waited for, is left alone, so closing the window logs no warning about it.
void JoinIfStarted(Thread& thread) {
    if (thread.getState() != Thread::NotRunning) thread.join();
}

}  // namespace

ui::DialogSpec ControllerDialogSpec() {
    using ui::kCentred;
    using ui::kDisabled;
    using ui::kNumber;
    ui::DialogSpec def;
    def.caption = "Tessik Biometrics VDM Controller";
    def.width = 615;
    def.height = 446;
    def.font = "MS Shell Dlg";
    def.fontSize = 8;
    auto& c = def.controls;
    // Group boxes first: they lie beneath the fields.
    c.push_back({0, ControlKind::GroupBox, "Connect To Vender Device Manager (VDM)", {7, 24, 293, 101}});
    c.push_back({0, ControlKind::GroupBox, "Setup Vender Device Manager (VDM)", {7, 133, 293, 114}});
    c.push_back({0, ControlKind::GroupBox, "Device Manager (DM) Configuration", {313, 24, 295, 223}});
    c.push_back({0, ControlKind::GroupBox, "Device Status", {7, 256, 601, 150}});
    c.push_back({0, ControlKind::GroupBox, "Fingerprint Scanner", {21, 270, 279, 123}});
    c.push_back({0, ControlKind::GroupBox, "Iris Scanner", {313, 270, 280, 123}});

    c.push_back({IDC_STATUS, ControlKind::Static, kNotConnected, {7, 6, 601, 15}, kCentred});
    c.push_back(LabelLeftOf("VDM Connection IP (or Host Name):", 7, 146, 66));
    c.push_back({IDC_VDM_CONNECTION_IP, ControlKind::Edit, "", {146, 66, 143, 14}});
    c.push_back(LabelLeftOf("VDM Connection Port:", 7, 146, 83));
    c.push_back({IDC_VDM_CONNECTION_PORT, ControlKind::Edit, "", {146, 83, 48, 14}, kNumber});
    c.push_back({0, ControlKind::Label, "Put 0 to use Port Range", {200, 86, 90, 8}, kDisabled});
    c.push_back(LabelLeftOf("VDM Connection Port Range:", 7, 146, 101));
    c.push_back({IDC_VDM_CONNECTION_MIN_PORT, ControlKind::Edit, "", {146, 101, 48, 14}, kNumber});
    c.push_back({0, ControlKind::Label, "To", {201, 104, 12, 8}});
    c.push_back({IDC_VDM_CONNECTION_MAX_PORT, ControlKind::Edit, "", {218, 101, 48, 14}, kNumber});
    c.push_back({IDC_CONNECT, ControlKind::Button, "Connect To VDM", {43, 40, 106, 18}});
    c.push_back({IDC_DISCONNECT, ControlKind::Button, "Disconnect From VDM", {155, 40, 103, 18}, kDisabled});

    c.push_back(LabelLeftOf("VDM Name:", 7, 146, 150));
    c.push_back({IDC_VDM_NAME, ControlKind::Edit, "", {146, 150, 143, 14}, kDisabled});
    c.push_back(LabelLeftOf("VDM Version:", 7, 146, 167));
    c.push_back({IDC_VDM_VERSION, ControlKind::Edit, "", {146, 167, 143, 14}, kDisabled});
    c.push_back(LabelLeftOf("VDM Listen Port:", 7, 146, 184));
    c.push_back({IDC_VDM_LISTEN_PORT, ControlKind::Edit, "", {146, 184, 48, 14}, kNumber});
    c.push_back({0, ControlKind::Label, "Put 0 to use Port Range", {200, 187, 90, 8}, kDisabled});
    c.push_back(LabelLeftOf("VDM Listen Port Range:", 7, 146, 202));
    c.push_back({IDC_VDM_LISTEN_MIN_PORT, ControlKind::Edit, "", {146, 202, 48, 14}, kNumber});
    c.push_back({0, ControlKind::Label, "To", {201, 205, 12, 8}});
    c.push_back({IDC_VDM_LISTEN_MAX_PORT, ControlKind::Edit, "", {218, 202, 48, 14}, kNumber});
    c.push_back({IDC_UPDATE_VDM, ControlKind::Button, "Update", {241, 223, 50, 17}});

    c.push_back(LabelLeftOf("DM URI:", 313, 455, 36));
    c.push_back({IDC_DM_URI, ControlKind::Edit, "", {455, 36, 143, 14}, kDisabled});
    c.push_back(LabelLeftOf("DM Connection IP (or Host Name):", 313, 455, 54));
    c.push_back({IDC_DM_IP, ControlKind::Edit, "", {455, 54, 143, 14}});
    c.push_back(LabelLeftOf("DM Connection Port:", 313, 455, 72));
    c.push_back({IDC_DM_PORT, ControlKind::Edit, "", {455, 72, 48, 14}, kNumber});
    c.push_back({0, ControlKind::Label, "Put 0 to use Port Range", {509, 75, 90, 8}, kDisabled});
    c.push_back(LabelLeftOf("DM Port Range:", 313, 455, 90));
    c.push_back({IDC_DM_MIN_PORT, ControlKind::Edit, "", {455, 90, 48, 14}, kDisabled | kNumber});
    c.push_back({0, ControlKind::Label, "To", {510, 93, 12, 8}});
    c.push_back({IDC_DM_MAX_PORT, ControlKind::Edit, "", {527, 90, 45, 14}, kDisabled | kNumber});
    c.push_back(LabelLeftOf("Retry Interval Between Port Attempts:", 313, 455, 107));
    c.push_back({IDC_DM_RETRY_INTERVAL, ControlKind::Edit, "", {455, 107, 48, 14}, kNumber});
    c.push_back({0, ControlKind::Label, "seconds", {509, 110, 40, 8}});
    c.push_back(LabelLeftOf("Sleep Time After Trying All Ports:", 313, 455, 125));
    c.push_back({IDC_DM_SLEEP_TIME, ControlKind::Edit, "", {455, 125, 48, 14}, kNumber});
    c.push_back({0, ControlKind::Label, "seconds", {509, 128, 40, 8}});
    c.push_back({IDC_UPDATE_DM, ControlKind::Button, "Update", {548, 221, 50, 18}});

    struct Group {
        int x, fieldX, model, uri, client, status, statusX;
    };
    for (const Group& g : {Group{21, 145, IDC_FP_MODEL, IDC_FP_URI, IDC_FP_CLIENT_URI, IDC_FP_STATUS, 29},
                           Group{313, 437, IDC_IRIS_MODEL, IDC_IRIS_URI, IDC_IRIS_CLIENT_URI, IDC_IRIS_STATUS, 321}}) {
        c.push_back(LabelLeftOf("Device Model:", g.x, g.fieldX, 285));
        c.push_back({g.model, ControlKind::Edit, "", {g.fieldX, 285, 143, 14}, kDisabled});
        c.push_back(LabelLeftOf("Device Listening URI:", g.x, g.fieldX, 302));
        c.push_back({g.uri, ControlKind::Edit, "", {g.fieldX, 302, 143, 14}, kDisabled});
        c.push_back(LabelLeftOf("Connected Client URI:", g.x, g.fieldX, 319));
        c.push_back({g.client, ControlKind::Edit, "", {g.fieldX, 319, 143, 14}, kDisabled});
        c.push_back({g.status, ControlKind::Static, "", {g.statusX, 369, 264, 8}, kCentred});
    }
    c.push_back({IDC_FP_START, ControlKind::Button, "Start", {58, 342, 50, 17}});
    c.push_back({IDC_FP_STOP, ControlKind::Button, "Stop", {132, 342, 50, 18}});
    c.push_back({IDC_FP_RESTART, ControlKind::Button, "Restart", {206, 342, 50, 18}});
    c.push_back({IDC_IRIS_START, ControlKind::Button, "Start", {329, 342, 50, 18}});
    c.push_back({IDC_IRIS_STOP, ControlKind::Button, "Stop", {397, 342, 50, 18}});
    c.push_back({IDC_IRIS_RESTART, ControlKind::Button, "Restart", {463, 342, 50, 18}});
    c.push_back({IDC_CALIBRATION, ControlKind::Button, "Calibration", {528, 342, 50, 18}});
    c.push_back({IDC_CLOSE, ControlKind::Button, "Close", {558, 415, 50, 20}});
    return def;
}

CNavikVdmControllerDlg::CNavikVdmControllerDlg(std::string configPath, ui::MessageBoxes& boxes)
    : ui::Dialog(ControllerDialogSpec()), configPath_(std::move(configPath)), boxes_(boxes) {
    // The system's names are limited to 15 bytes.
    controllerThread_.setThreadName("ctl-connect");
    calibrationThread_.setThreadName("ctl-calibration");
    OnClick(IDC_CONNECT, [this] { OnBnClickedConnectToVdm(); });
    OnClick(IDC_DISCONNECT, [this] { OnBnClickedDisconnectFromVdm(); });
    OnClick(IDC_UPDATE_DM, [this] { OnBnClickedUpdateDmConfig(); });
    OnClick(IDC_UPDATE_VDM, [this] { OnBnClickedUpdateVdmSetup(); });
    OnClick(IDC_FP_START, [this] { OnBnClickedFpStart(); });
    OnClick(IDC_FP_STOP, [this] { OnBnClickedFpStop(); });
    OnClick(IDC_FP_RESTART, [this] { OnBnClickedFpRestart(); });
    OnClick(IDC_IRIS_START, [this] { OnBnClickedIrisStart(); });
    OnClick(IDC_IRIS_STOP, [this] { OnBnClickedIrisStop(); });
    OnClick(IDC_IRIS_RESTART, [this] { OnBnClickedIrisRestart(); });
    OnClick(IDC_CALIBRATION, [this] { OnBnClickedCalibration(); });
    OnClick(IDC_CLOSE, [this] { EndDialog(1); });
}

CNavikVdmControllerDlg::~CNavikVdmControllerDlg() { OnDestroy(); }


void CNavikVdmControllerDlg::OnDestroy() {
    if (destroyed_.exchange(true)) return;
    windowExists_.store(false);
    socket_.SetController(nullptr);
    // Closing the channel also ends a connect attempt in progress; boxes still open are closed so
    // that the threads waiting on them can end.
    socket_.Close(1);
    boxes_.CloseAll();
    JoinIfStarted(controllerThread_);
    socket_.Close(1);
    JoinIfStarted(calibrationThread_);
}

void CNavikVdmControllerDlg::OnInitDialog() {
    socket_.SetController(this);
    Enable(IDC_CONNECT, true);
    Enable(IDC_DISCONNECT, false);
    DisableControls();
    ClearControls();
    const CConfigFile::ConfigMap* config = CConfigFile::GetInstance();
    SetText(IDC_VDM_CONNECTION_IP, CConfigFile::GetString(config, "VdmConnectionIP", "127.0.0.1"));
    SetText(IDC_VDM_CONNECTION_PORT, CConfigFile::GetString(config, "VdmConnectionPort", "0"));
    SetText(IDC_VDM_CONNECTION_MIN_PORT, CConfigFile::GetString(config, "VdmConnectionMinPort", "7901"));
    SetText(IDC_VDM_CONNECTION_MAX_PORT, CConfigFile::GetString(config, "VdmConnectionMaxPort", "7905"));
}

void CNavikVdmControllerDlg::DisableControls() {
    for (int id : {IDC_UPDATE_DM, IDC_UPDATE_VDM, IDC_FP_START, IDC_FP_STOP, IDC_FP_RESTART, IDC_IRIS_START,
                   IDC_IRIS_STOP, IDC_IRIS_RESTART, IDC_CALIBRATION, IDC_VDM_LISTEN_PORT, IDC_VDM_LISTEN_MIN_PORT,
                   IDC_VDM_LISTEN_MAX_PORT, IDC_DM_IP, IDC_DM_PORT, IDC_DM_RETRY_INTERVAL, IDC_DM_SLEEP_TIME}) {
        Enable(id, false);
    }
    fpRestartPending_.store(0);
    irisRestartPending_.store(0);
}

void CNavikVdmControllerDlg::ClearControls() {
    SetText(IDC_STATUS, kNotConnected);
    for (int id : {IDC_DM_URI, IDC_DM_IP, IDC_DM_PORT, IDC_DM_MIN_PORT, IDC_DM_MAX_PORT, IDC_DM_RETRY_INTERVAL,
                   IDC_DM_SLEEP_TIME, IDC_VDM_NAME, IDC_VDM_VERSION, IDC_VDM_LISTEN_PORT, IDC_VDM_LISTEN_MIN_PORT,
                   IDC_VDM_LISTEN_MAX_PORT, IDC_FP_MODEL, IDC_FP_URI, IDC_FP_CLIENT_URI, IDC_IRIS_MODEL, IDC_IRIS_URI,
                   IDC_IRIS_CLIENT_URI, IDC_FP_STATUS, IDC_IRIS_STATUS}) {
        SetText(id, "");
    }
}

void CNavikVdmControllerDlg::EnableConfigControls() {
    for (int id : {IDC_UPDATE_DM, IDC_UPDATE_VDM, IDC_DM_IP, IDC_DM_PORT, IDC_DM_RETRY_INTERVAL, IDC_DM_SLEEP_TIME,
                   IDC_VDM_CONNECTION_IP, IDC_VDM_LISTEN_PORT, IDC_VDM_LISTEN_MIN_PORT, IDC_VDM_LISTEN_MAX_PORT}) {
        Enable(id, true);
    }
}

void CNavikVdmControllerDlg::ShowNotConnected() {
    SetText(IDC_STATUS, kNotConnected);
    Enable(IDC_CONNECT, true);
    Enable(IDC_DISCONNECT, false);
    DisableControls();
    ClearControls();
}

void CNavikVdmControllerDlg::Warn(const std::string& text) {
    boxes_.Show({kCaptionWarning, text, BoxButtons::Ok, BoxIcon::Warning});
}

// --- connecting ----------------------------------------------------------------------------------

void CNavikVdmControllerDlg::OnBnClickedConnectToVdm() {
    // A run still in progress (its box may be open) is left to finish: the UI thread never waits
    // for the Controller Thread.
    if (controllerThread_.getState() == Thread::Running) return;
    controllerThread_.start();
}

void CNavikVdmControllerDlg::ConnectToVdm() {
    const std::string ip = Text(IDC_VDM_CONNECTION_IP);
    const std::string portText = Text(IDC_VDM_CONNECTION_PORT);
    const std::string lowText = Text(IDC_VDM_CONNECTION_MIN_PORT);
    const std::string highText = Text(IDC_VDM_CONNECTION_MAX_PORT);
    const int port = ParseDecimal(portText);
    const int low = ParseDecimal(lowText);
    const int high = ParseDecimal(highText);
    if (portText.empty()) return Warn("VDM Connection Port should not be empty.");
    if (lowText.empty() || highText.empty()) return Warn("VDM Connection Port Range's value cannot be empty.");
    if (low == 0 || high == 0) return Warn("VDM Connection Port Range's value cannot be 0.");
    if (high < low) return Warn("VDM Connection Min Port cannot be greater than VDM Connection Max Port.");
    if (static_cast<int64_t>(high) - low >= 10) return Warn("VDM Connection Port Range should be no more than 10.");

    Enable(IDC_CONNECT, false);
    // A link still open or closing is closed first, outside the lock: its socket thread may be
    // waiting for the lock.
    linkOpen_.store(false);
    socket_.Close(1);
    connectLock_.lock();
    int current = port != 0 ? port : low;
    bool failed = false;
    while (windowExists_.load()) {
        char status[512];
        snprintf(status, sizeof status, "Connecting to Tessik Biometrics VDM on URI %s:%d", ip.c_str(), current);
        SetText(IDC_STATUS, status);
        // A port outside 1..65535 is never tried: it counts as a failed attempt.
        const bool portValid = current >= 1 && current <= 65535;
        // Open before the attempt: the service may close the link before this thread goes on,
        // and that loss must be shown once the lock is free.
        linkOpen_.store(true);
        if (portValid && socket_.ConnectTo(ip, current, 0, 0, 1)) {
            if (!windowExists_.load()) break;
            SetText(IDC_STATUS, "Connected To Tessik Biometrics VDM on URI " + socket_.GetRemoteSocketURI(0));
            Enable(IDC_CONNECT, false);
            Enable(IDC_DISCONNECT, true);
            EnableConfigControls();
            try {
                CConfigFile::ConfigMap* config = CConfigFile::GetInstance();
                CConfigFile::SetValue(config, "VdmConnectionPort", port);
                CConfigFile::SetValue(config, "VdmConnectionMinPort", low);
                CConfigFile::SetValue(config, "VdmConnectionMaxPort", high);
            } catch (const CConfigureFailure& failure) {
                TSK_LOG(LOGLEVEL_ERROR, kControllerLogModule,
                        "CNavikVdmControllerDlg::ConnectToVdm: Failed to write the connection ports: "
                            << failure.what());
            }
            connected_.store(1);
            break;
        }
        linkOpen_.store(false);
        if (port == 0 && current < high) {
            ++current;
            continue;
        }
        if (windowExists_.load()) {
            ShowNotConnected();
            failed = true;
        }
        connected_.store(0);
        break;
    }
    connectLock_.unlock();
    if (failed) boxes_.Show({kCaptionConnectionFailure, kCannotConnect, BoxButtons::Ok, BoxIcon::Error});
}

void CNavikVdmControllerDlg::OnBnClickedDisconnectFromVdm() {
    linkOpen_.store(false);
    ShowNotConnected();
    socket_.Close(1);
}

bool CNavikVdmControllerDlg::OnVdmDisconnected() {
    if (!linkOpen_.exchange(false)) return true;
    connectLock_.lock();
    connected_.store(0);
    for (const char* caption : {kCaptionConfirmation, kCaptionWarning, kCaptionConnectionFailure,
                                kCaptionCalibrationFailure, kCaptionCalibrationSuccess}) {
        boxes_.CloseByCaption(caption);
    }
    socket_.Close(0);
    ShowNotConnected();
    connectLock_.unlock();
    // Shown without waiting: the socket thread must end, and the lock is free again.
    if (windowExists_.load()) {
        boxes_.ShowAsync({kCaptionConnectionFailure, kCannotConnect, BoxButtons::Ok, BoxIcon::Error});
    }
    return true;
}

bool CNavikVdmControllerDlg::OnVdmSocketError() { return OnVdmDisconnected(); }

// --- settings ------------------------------------------------------------------------------------

void CNavikVdmControllerDlg::OnBnClickedUpdateDmConfig() {
    const std::string ip = Text(IDC_DM_IP);
    const std::string port = Text(IDC_DM_PORT);
    const std::string retry = Text(IDC_DM_RETRY_INTERVAL);
    const std::string sleep = Text(IDC_DM_SLEEP_TIME);
    if (port.empty()) return Warn("DM Connection Port should not be empty");
    if (boxes_.Show({kCaptionConfirmation,
                     "If you make change on IP or port, you need to restart the Tessik Biometrics VDM service to "
                     "take affect.\nAre you sure want to update?",
                     BoxButtons::YesNo, BoxIcon::Question}) != BoxResult::Yes) {
        return;
    }
    socket_.SendConfigVdmCommandRequest({{"DmIP", ip},
                                         {"DmPort", port},
                                         {"DmRetryIntervalBetweenPortAttempts", retry},
                                         {"DmSleepTimeAfterTryingAllPorts", sleep}});
}

void CNavikVdmControllerDlg::OnBnClickedUpdateVdmSetup() {
    const std::string port = Text(IDC_VDM_LISTEN_PORT);
    const std::string lowText = Text(IDC_VDM_LISTEN_MIN_PORT);
    const std::string highText = Text(IDC_VDM_LISTEN_MAX_PORT);
    const int low = ParseDecimal(lowText);
    const int high = ParseDecimal(highText);
    if (port.empty()) return Warn("VDM Listen Port should not be empty");
    if (lowText.empty() || highText.empty()) return Warn("VDM Listen Port Range's value cannot be empty.");
    if (low == 0 || high == 0) return Warn("VDM Listen Port Range's value cannot be 0.");
    if (high < low) return Warn("VDM Listen Min Port cannot be greater than VDM Listen Max Port.");
    if (static_cast<int64_t>(high) - low >= 10) return Warn("VDM Listen Port Range should be no more than 10.");
    if (boxes_.Show({kCaptionConfirmation,
                     "If you make change on port number, you need to restart the Tessik Biometrics VDM service to "
                     "take affect.\nAre you sure want to update?",
                     BoxButtons::YesNo, BoxIcon::Question}) != BoxResult::Yes) {
        return;
    }
    socket_.SendConfigVdmCommandRequest(
        {{"VdmListenMaxPort", highText}, {"VdmListenMinPort", lowText}, {"VdmListenPort", port}});
}

bool CNavikVdmControllerDlg::OnConfigReceived(const std::string& key, const std::string& value) {
    static const std::map<std::string, int> kFields = {
        {"DmIP", IDC_DM_IP},
        {"DmPort", IDC_DM_PORT},
        {"DmMinPort", IDC_DM_MIN_PORT},
        {"DmMaxPort", IDC_DM_MAX_PORT},
        {"DmRetryIntervalBetweenPortAttempts", IDC_DM_RETRY_INTERVAL},
        {"DmSleepTimeAfterTryingAllPorts", IDC_DM_SLEEP_TIME},
        {"VdmName", IDC_VDM_NAME},
        {"VdmVersion", IDC_VDM_VERSION},
        {"VdmListenPort", IDC_VDM_LISTEN_PORT},
        {"VdmListenMinPort", IDC_VDM_LISTEN_MIN_PORT},
        {"VdmListenMaxPort", IDC_VDM_LISTEN_MAX_PORT},
    };
    auto it = kFields.find(key);
    if (it != kFields.end()) SetText(it->second, value);
    return true;
}

bool CNavikVdmControllerDlg::OnDeviceManager(const std::string& deviceManagerURI) {
    SetText(IDC_DM_URI, deviceManagerURI);
    return true;
}

// --- devices -------------------------------------------------------------------------------------

namespace {

struct DeviceFields {
    int model, uri, client, status, start;
    std::vector<int> others;
};

const DeviceFields& FieldsOf(int deviceType) {
    static const DeviceFields kFingerprint{IDC_FP_MODEL, IDC_FP_URI, IDC_FP_CLIENT_URI, IDC_FP_STATUS, IDC_FP_START,
                                           {IDC_FP_STOP, IDC_FP_RESTART}};
    static const DeviceFields kIris{IDC_IRIS_MODEL, IDC_IRIS_URI, IDC_IRIS_CLIENT_URI, IDC_IRIS_STATUS, IDC_IRIS_START,
                                    {IDC_IRIS_STOP, IDC_IRIS_RESTART, IDC_CALIBRATION}};
    return deviceType == 0 ? kFingerprint : kIris;
}

}  // namespace

void CNavikVdmControllerDlg::UpdateDeviceControls(int deviceType, bool connecting, bool startFailed) {
    if (deviceType != 0 && deviceType != 1) return;
    const DeviceFields& f = FieldsOf(deviceType);
    std::atomic<int>& restartPending = deviceType == 0 ? fpRestartPending_ : irisRestartPending_;
    connectLock_.lock();
    auto others = [&](bool enabled) {
        for (int id : f.others) Enable(id, enabled);
    };
    if (connected_.load() == 0 || Text(f.model).empty()) {
        Enable(f.start, false);
        others(false);
        SetText(f.status, "");
        restartPending.store(0);
    } else if (!Text(f.uri).empty()) {
        Enable(f.start, false);
        others(true);
        SetText(f.status, "");
        restartPending.store(0);
    } else {
        others(false);
        if (deviceType == 0 && startFailed) {
            Enable(f.start, true);
            SetText(f.status, "Failed to start");
        } else if (restartPending.load() != 0) {
            Enable(f.start, false);
        } else if (connecting) {
            Enable(f.start, false);
            SetText(f.status, "Starting ...");
        } else {
            Enable(f.start, true);
            SetText(f.status, "");
        }
    }
    connectLock_.unlock();
}

bool CNavikVdmControllerDlg::OnDeviceInfo(int deviceType, const std::string& deviceModel, const std::string& deviceURI,
                                          bool isDeviceConnecting, bool isStartDeviceFailed) {
    if (deviceType != 0 && deviceType != 1) return true;
    const DeviceFields& f = FieldsOf(deviceType);
    SetText(f.model, deviceModel);
    SetText(f.uri, deviceURI);
    if (deviceURI.empty()) SetText(f.client, "");
    UpdateDeviceControls(deviceType, isDeviceConnecting, isStartDeviceFailed);
    return true;
}

bool CNavikVdmControllerDlg::OnDeviceRemoval(int deviceType, const std::string&) {
    if (deviceType != 0 && deviceType != 1) return true;
    const DeviceFields& f = FieldsOf(deviceType);
    SetText(f.model, "");
    SetText(f.uri, "");
    SetText(f.client, "");
    UpdateDeviceControls(deviceType, false, false);
    return true;
}

bool CNavikVdmControllerDlg::OnDeviceClient(int, const std::string& deviceModel, const std::string& clientURI) {
    if (Text(IDC_FP_MODEL) == deviceModel) {
        SetText(IDC_FP_CLIENT_URI, clientURI);
    } else if (Text(IDC_IRIS_MODEL) == deviceModel) {
        SetText(IDC_IRIS_CLIENT_URI, clientURI);
    }
    return true;
}

void CNavikVdmControllerDlg::DeviceCommand(int deviceType, int neededField, const char* status, int restartPending,
                                           int command) {
    if (Text(neededField).empty()) return;
    const DeviceFields& f = FieldsOf(deviceType);
    Enable(f.start, false);
    for (int id : f.others) Enable(id, false);
    (deviceType == 0 ? fpRestartPending_ : irisRestartPending_).store(restartPending);
    SetText(f.status, status);
    socket_.SendDeviceVdmCommandRequest(deviceType, Text(f.model), command);
}

void CNavikVdmControllerDlg::OnBnClickedFpStart() { DeviceCommand(0, IDC_FP_MODEL, "Starting ...", 0, CSocketVdm::Start); }
void CNavikVdmControllerDlg::OnBnClickedFpStop() { DeviceCommand(0, IDC_FP_URI, "Stopping ...", 0, CSocketVdm::Stop); }
void CNavikVdmControllerDlg::OnBnClickedFpRestart() {
    DeviceCommand(0, IDC_FP_URI, "Restarting ...", 1, CSocketVdm::Restart);
}
void CNavikVdmControllerDlg::OnBnClickedIrisStart() {
    DeviceCommand(1, IDC_IRIS_MODEL, "Starting ...", 0, CSocketVdm::Start);
}
void CNavikVdmControllerDlg::OnBnClickedIrisStop() { DeviceCommand(1, IDC_IRIS_URI, "Stopping ...", 0, CSocketVdm::Stop); }
void CNavikVdmControllerDlg::OnBnClickedIrisRestart() {
    DeviceCommand(1, IDC_IRIS_URI, "Restarting ...", 1, CSocketVdm::Restart);
}

void CNavikVdmControllerDlg::OnBnClickedCalibration() {
    if (Text(IDC_IRIS_URI).empty()) return;
    if (boxes_.Show({kCaptionConfirmation, "Please cover the lid. Press OK to continue.", BoxButtons::OkCancel,
                     BoxIcon::Information}) != BoxResult::Ok) {
        return;
    }
    DeviceCommand(1, IDC_IRIS_URI, "Calibrating ...", 0, CSocketVdm::Calibration);
}

bool CNavikVdmControllerDlg::OnCalibrationResult(bool success, const std::string& text) {
    UpdateDeviceControls(1, false, false);
    // The box of an earlier result is still open: its thread runs, and this result is not shown.
    if (calibrationThread_.getState() != Thread::Running && windowExists_.load()) {
        calibrationBox_.success = success ? 1 : 0;
        calibrationBox_.message = success ? "Calibration finished" : text;
        calibrationBox_.caption = success ? kCaptionCalibrationSuccess : kCaptionCalibrationFailure;
        calibrationThread_.start();
    }
    SetText(IDC_IRIS_STATUS, "");
    return true;
}

void CNavikVdmControllerDlg::CShowCalibrationResultMsgBox::run() {
    if (dialog_.connected_.load() == 0) return;
    dialog_.boxes_.Show({caption, message, BoxButtons::Ok, success ? BoxIcon::Information : BoxIcon::Warning});
}
