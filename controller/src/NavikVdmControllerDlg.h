#pragma once
// The controller's dialog: connects to the service's configuration channel on its own thread,
// shows the service's settings, its Device Manager link and both devices, and sends the settings
// and device commands. Control updates from the connect and socket threads go into the dialog
// model, which shows them on the UI thread later; no lock is held while a message box is open.

#include <atomic>
#include <string>

#include "NavikVdmController.h"
#include "SocketVdm.h"
#include "runtime/Synchronized.h"
#include "runtime/Thread.h"
#include "ui/Dialog.h"
#include "ui/MessageBoxes.h"

// Control ids of the dialog.
enum ControllerControl : int {
    IDC_DM_URI = 1000,
    IDC_DM_IP = 1001,
    IDC_DM_PORT = 1002,
    IDC_DM_MIN_PORT = 1003,
    IDC_DM_MAX_PORT = 1004,
    IDC_DM_RETRY_INTERVAL = 1005,
    IDC_DM_SLEEP_TIME = 1006,
    IDC_VDM_NAME = 1008,
    IDC_VDM_VERSION = 1009,
    IDC_VDM_LISTEN_PORT = 1010,
    IDC_VDM_LISTEN_MIN_PORT = 1011,
    IDC_VDM_CONNECTION_PORT = 1012,
    IDC_VDM_CONNECTION_MIN_PORT = 1013,
    IDC_VDM_CONNECTION_IP = 1014,
    IDC_CONNECT = 1015,
    IDC_DISCONNECT = 1016,
    IDC_UPDATE_DM = 1018,
    IDC_FP_START = 1021,
    IDC_FP_STOP = 1022,
    IDC_FP_RESTART = 1023,
    IDC_FP_URI = 1024,
    IDC_FP_CLIENT_URI = 1025,
    IDC_UPDATE_VDM = 1026,
    IDC_IRIS_URI = 1027,
    IDC_IRIS_CLIENT_URI = 1028,
    IDC_IRIS_START = 1031,
    IDC_IRIS_STOP = 1032,
    IDC_IRIS_RESTART = 1033,
    IDC_VDM_LISTEN_MAX_PORT = 1034,
    IDC_VDM_CONNECTION_MAX_PORT = 1035,
    IDC_STATUS = 1037,
    IDC_FP_MODEL = 1038,
    IDC_IRIS_MODEL = 1039,
    IDC_FP_STATUS = 1042,
    IDC_IRIS_STATUS = 1043,
    IDC_CALIBRATION = 1046,
    IDC_CLOSE = 1047,
};

// Message box captions; each ends in three blanks.
inline constexpr const char* kCaptionConfirmation = "Confirmation   ";
inline constexpr const char* kCaptionWarning = "Warning   ";
inline constexpr const char* kCaptionConnectionFailure = "Connection Failure   ";
inline constexpr const char* kCaptionCalibrationFailure = "Calibration Failure   ";
inline constexpr const char* kCaptionCalibrationSuccess = "Calibration Success   ";

// The dialog's template: caption, size and every control.
ui::DialogSpec ControllerDialogSpec();

class CNavikVdmControllerDlg : public ui::Dialog, public INavikVdmController {
public:
    CNavikVdmControllerDlg(std::string configPath, ui::MessageBoxes& boxes);
    ~CNavikVdmControllerDlg() override;

    // Set-up before the dialog is shown.
    void OnInitDialog();
    // The dialog is gone: connecting stops, the channel is closed and every thread joined. Also
    // run by the destructor.
    void OnDestroy();

    // Button handlers (UI thread).
    void OnBnClickedConnectToVdm();
    void OnBnClickedDisconnectFromVdm();
    void OnBnClickedUpdateDmConfig();
    void OnBnClickedUpdateVdmSetup();
    void OnBnClickedFpStart();
    void OnBnClickedFpStop();
    void OnBnClickedFpRestart();
    void OnBnClickedIrisStart();
    void OnBnClickedIrisStop();
    void OnBnClickedIrisRestart();
    void OnBnClickedCalibration();

    // The port walk, on the Controller Thread.
    void ConnectToVdm();
    void UpdateDeviceControls(int deviceType, bool connecting, bool startFailed);

    // INavikVdmController, on the socket thread.
    bool OnVdmDisconnected() override;
    bool OnVdmSocketError() override;
    bool OnConfigReceived(const std::string& key, const std::string& value) override;
    bool OnDeviceInfo(int deviceType, const std::string& deviceModel, const std::string& deviceURI,
                      bool isDeviceConnecting, bool isStartDeviceFailed) override;
    bool OnDeviceRemoval(int deviceType, const std::string& deviceModel) override;
    bool OnDeviceClient(int deviceType, const std::string& deviceModel, const std::string& clientURI) override;
    bool OnDeviceManager(const std::string& deviceManagerURI) override;
    bool OnCalibrationResult(bool success, const std::string& text) override;

    CSocketVdm& Socket() { return socket_; }
    bool IsConnected() const { return connected_.load() != 0; }
    // True while the Controller Thread runs.
    bool IsConnecting() const { return controllerThread_.getState() == Thread::Running; }
    // Waits until the Controller Thread has finished its run.
    void WaitForConnect() { controllerThread_.join(); }

private:
    class CConnect : public Runnable {
    public:
        explicit CConnect(CNavikVdmControllerDlg& dialog) : dialog_(dialog) {}
        void run() override { dialog_.ConnectToVdm(); }

    private:
        CNavikVdmControllerDlg& dialog_;
    };
    class CShowCalibrationResultMsgBox : public Runnable {
    public:
        explicit CShowCalibrationResultMsgBox(CNavikVdmControllerDlg& dialog) : dialog_(dialog) {}
        void run() override;
        std::string message;
        std::string caption;
        int success = 0;

    private:
        CNavikVdmControllerDlg& dialog_;
    };

    void DisableControls();
    void ClearControls();
    void EnableConfigControls();
    void ShowNotConnected();
    void Warn(const std::string& text);
    void DeviceCommand(int deviceType, int neededField, const char* status, int restartPending, int command);

    CSocketVdm socket_{"VDM Socket"};
    const std::string configPath_;
    ui::MessageBoxes& boxes_;
    std::atomic<int> fpRestartPending_{0};
    std::atomic<int> irisRestartPending_{0};
    std::atomic<int> connected_{0};
    // True from a successful connect until the link is closed here or lost; a close event of a
    // link that was already closed here changes nothing.
    std::atomic<bool> linkOpen_{false};
    // False once the dialog is gone: connecting stops and nothing is shown.
    std::atomic<bool> windowExists_{true};
    CConnect connect_{*this};
    Thread controllerThread_{&connect_, "Controller Thread", kControllerLogModule};
    Synchronized connectLock_{"ConnectLock", kControllerLogModule};
    CShowCalibrationResultMsgBox calibrationBox_{*this};
    Thread calibrationThread_{&calibrationBox_, "Show Calibration Result", kControllerLogModule};
    std::atomic<bool> destroyed_{false};
};
