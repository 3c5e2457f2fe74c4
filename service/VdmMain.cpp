// Tessik_VDM: the service program. The first argument chooses what it does: manage the service's
// registration with the service manager (create, delete, start, stop), run as the service
// ("service", started by systemd: it reports its state over the notification socket and stops on
// SIGTERM), or run in console mode, which ends on Enter, on the end of the input, or on SIGINT or
// SIGTERM. SIGINT and SIGTERM are blocked in every thread and read by one thread of the program,
// never in an asynchronous handler; the core object is terminated once, and the program ends only
// after every thread of the core object has ended.
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include "NavikVdm.h"
#include "device/IrisDevice.h"
#include "device/ZarnLibrary.h"
#include "main/MallocArenas.h"
#include "main/ServiceManager.h"
#include "main/VdmServiceCommands.h"
#include "platform/ProgramDir.h"
#include "platform/ThreadName.h"
#include "runtime/ConfigFile.h"
#include "runtime/ConfigureFailure.h"
#include "runtime/Log.h"
#include "runtime/Utilities.h"
#include "xml/XmlMessage.h"

namespace {

std::string commandWord;
int serviceMode = 0;
std::mutex coreMutex;  // Terminate runs once, whichever thread asks first
CNavikVdm* core = nullptr;
int signalFd = -1;

// Service mode: the manager, the status record and the thread that receives the stop control.
CSystemdServiceManager serviceManager;
std::mutex statusMutex;
std::condition_variable statusChanged;
VdmServiceStatus serviceStatus;
std::thread controlThread;
std::atomic<bool> controlThreadEnd{false};

// Service controls.
constexpr int kControlStop = 1;
constexpr int kControlShutdown = 5;

void VdmMain_Print(int level, const std::string& text, int toConsole) {
    if (level != 0 && LogEnabled(level)) TSK_LOG(level, VDM_LOG_MAIN, text);
    if (toConsole != 0 && serviceMode == 0) {
        std::cout << (level == 1 ? "Error: " : level == 2 ? "Warning: " : "") << text << std::endl;
    }
}

void VdmMain_PrintUsage() {
    std::cout << "\nTessik NAVIK VDM help.\n\n\nUsage: TessikNavikVdm.exe [command]\n\n"
              << "  -c (or create)           Create the new service.\n"
              << "  -s (or start)            Start the service.\n"
              << "  -p (or stop)             Stop the service.\n"
              << "  -d (or delete)           Delete the service.\n"
              << "  -o (or console)          Run the program in console mode.(default)\n\n";
}

int VdmMain_InitLog() {
    const std::string path = CUtilities::GetAppDataDir() + "/VdmConfig.cfg";
    int level = 0;
    try {
        CConfigFile::Load(path);
        level = LogLevelFromWord(CConfigFile::GetString(CConfigFile::GetInstance(), "LOG_LEVEL", "INFO"));
    } catch (const CConfigureFailure&) {
        std::cout << "Error: Failed to load " << path << "." << std::endl;
        return 0;
    }
    if (!StartLogThread()) return 0;
    const std::string logDir = platform::GetProgramDirectory() + "/Log";
    OpenLog("TessikVdm", logDir);
    OpenLog("Fingerprint", logDir);
    OpenLog("Iris", logDir);
    currentLevel.store(level);
    DeleteOldLogFiles();
    if (level >= LOGLEVEL_INFO) {
        const std::string line = "VdmMain_InitLog: " + std::string(75, '*') + ". Start new log entry.";
        for (int module : {VDM_LOG_MAIN, VDM_LOG_FINGERPRINT, VDM_LOG_IRIS}) TSK_LOG(LOGLEVEL_INFO, module, line);
    }
    return 1;
}

// Loads the capture libraries by name; a missing library leaves its modality without devices.
void LoadCaptureLibraries() {
    static ZarnFpApi fp{};
    static ZarnIrisApi iris{};
    std::string error;
    if (LoadZarnFpLibrary(ZarnFpLibraryName(), fp, error)) {
        InstallZarnFpApi(&fp);
    } else {
        TSK_LOG(LOGLEVEL_WARNING, VDM_LOG_FINGERPRINT, "VdmMain_LoadCaptureLibraries: " << error);
    }
    if (LoadZarnIrisLibrary(ZarnIrisLibraryName(), iris, error)) {
        InstallZarnIrisApi(&iris);
    } else {
        TSK_LOG(LOGLEVEL_WARNING, VDM_LOG_IRIS, "VdmMain_LoadCaptureLibraries: " << error);
    }
}

// Console: waits for a line end or the end of the input, or for SIGINT / SIGTERM. Service mode:
// waits until the service has stopped (nothing to wait for before the service main has run).
void VdmMain_WaitForEnter() {
    if (serviceMode != 0) {
        if (!controlThread.joinable()) return;
        std::unique_lock guard(statusMutex);
        statusChanged.wait(guard, [] { return serviceStatus.state == VDM_SERVICE_STOPPED; });
        return;
    }
    std::cout << "\nPress Enter to exit" << std::endl;
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (::poll(fds, signalFd >= 0 ? 2 : 1, -1) < 0) continue;
        if (signalFd >= 0 && (fds[1].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                VdmMain_Print(3,
                              std::string("VdmMain_ConsoleCtrlHandler") +
                                  (info.ssi_signo == SIGINT ? ": Received CTRL_C_EVENT" : ": Received CTRL_CLOSE_EVENT"),
                              0);
            }
            return;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            char c = 0;
            const ssize_t n = ::read(STDIN_FILENO, &c, 1);
            if (n <= 0 || c == '\n') return;
            std::cout << "\nPress Enter to exit" << std::endl;
        }
    }
}

// Frees the settings, stops the log writer and the XML platform.
void VdmMain_CleanUp() {
    CConfigFile::DeleteInstance(CConfigFile::GetInstance());
    StopLogThread();
    xercesc::XMLPlatformUtils::Terminate();
}

// Cleans up; ends the process in console mode and returns in service mode.
void VdmMain_Exit() {
    VdmMain_CleanUp();
    if (serviceMode == 0) std::exit(1);
}

void VdmMain_TerminateVdm() {
    std::lock_guard guard(coreMutex);
    if (core == nullptr) return;
    VdmMain_Print(3, "Terminating VDM ...", 1);
    core->Terminate();
    core = nullptr;
    VdmMain_Print(3, "Terminate success.", 1);
}

void ReportServiceStatus(const char* op) {
    VdmServiceStatus status;
    {
        std::lock_guard guard(statusMutex);
        status = serviceStatus;
    }
    if (const int rc = serviceManager.ReportStatus(status); rc != 0)
        VdmMain_Print(1, std::string(op) + ": SetServiceStatus failed, error code = " + std::to_string(rc), 1);
}

void SetServiceState(int state) {
    {
        std::lock_guard guard(statusMutex);
        serviceStatus.state = state;
        serviceStatus.win32ExitCode = 0;
        serviceStatus.checkpoint = 0;
        serviceStatus.waitHintMs = 0;
    }
    statusChanged.notify_all();
}

void VdmMain_StopService(int terminate, int report) {
    if (terminate != 0) VdmMain_TerminateVdm();
    SetServiceState(VDM_SERVICE_STOPPED);
    if (report != 0) ReportServiceStatus("VdmMain_StopService");
}

// Stop and shutdown terminate the core object on this (the control) thread; the stopped state
// follows the termination.
void VdmMain_ServiceHandler(int control) {
    if (control == kControlStop || control == kControlShutdown) {
        {
            std::lock_guard guard(statusMutex);
            serviceStatus.win32ExitCode = 0;
            serviceStatus.checkpoint = 0;
            serviceStatus.waitHintMs = 0;
        }
        VdmMain_TerminateVdm();
        SetServiceState(VDM_SERVICE_STOPPED);
    }
    ReportServiceStatus("VdmMain_ServiceHandler");
}

// The control thread: SIGTERM is the stop control, SIGINT the shutdown control.
void ControlLoop() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    const timespec poll{0, 200 * 1000 * 1000};
    while (!controlThreadEnd.load()) {
        const int signal = ::sigtimedwait(&signals, nullptr, &poll);
        if (signal == SIGTERM || signal == SIGINT) {
            VdmMain_ServiceHandler(signal == SIGTERM ? kControlStop : kControlShutdown);
            return;
        }
    }
}

bool Is(const std::string& word, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (::strcasecmp(word.c_str(), name) == 0) return true;
    }
    return false;
}

void ForgetCore() {
    std::lock_guard guard(coreMutex);
    core = nullptr;
}

void VdmMain_StartVdmConsole() {
    if (serviceMode == 0) {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        if ((signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC)) < 0)
            VdmMain_Print(2, "SetConsoleCtrlHandler failed. Unable to install console control handler.", 1);
    }
    LoadCaptureLibraries();
    std::unique_ptr<CNavikVdm> vdm;
    bool started = false;
    try {
        vdm = std::make_unique<CNavikVdm>();
        vdm->SetIrisDeviceKind(CIrisDevice::Kind());
        {
            std::lock_guard guard(coreMutex);
            core = vdm.get();
        }
        started = vdm->Initialize() != 0;
        if (!started) VdmMain_Print(1, "Tessik NAVIK VDM initializing failed!", 1);
    } catch (const std::runtime_error& error) {
        VdmMain_Print(1, error.what(), 1);
        ForgetCore();
        vdm.reset();
        if (serviceMode != 0) {
            VdmMain_StopService(0, 1);
            return;
        }
        VdmMain_WaitForEnter();
        VdmMain_Exit();
    }
    if (!started) {
        if (serviceMode == 0) {
            ForgetCore();
            vdm.reset();
            VdmMain_WaitForEnter();
            VdmMain_Exit();
        }
        VdmMain_StopService(0, 1);
    } else {
        const std::string stars = "VdmMain_StartVdmConsole: " + std::string(55, '*') + ".";
        TSK_LOG(LOGLEVEL_INFO, VDM_LOG_MAIN, stars);
        VdmMain_Print(3,
                      serviceMode != 0 ? "Tessik Biometric Vendor Device Manager service started successfully."
                                       : "Tessik Biometric Vendor Device Manager console started successfully.",
                      1);
        VdmMain_Print(3, "Version Number = 3.0.0 (Windows)", 1);
        TSK_LOG(LOGLEVEL_INFO, VDM_LOG_MAIN, stars);
    }
    VdmMain_WaitForEnter();
    if (serviceMode != 0) {
        // Stopped: the control thread has terminated the core object (or it never started).
        ForgetCore();
        vdm.reset();
        return;
    }
    VdmMain_TerminateVdm();
    vdm.reset();  // every thread of the core object has ended here
    VdmMain_Exit();
}

void VdmMain_ServiceMain() {
    {
        std::lock_guard guard(statusMutex);
        serviceStatus = VdmServiceStatus();
        serviceStatus.state = VDM_SERVICE_START_PENDING;
    }
    try {
        // With the word in other case the program is not in service mode: the console handles
        // the signals.
        if (serviceMode != 0) controlThread = platform::StartNamedThread("svc-control", ControlLoop);
    } catch (const std::system_error& error) {
        VdmMain_Print(1, "VdmMain_ServiceMain: RegisterServiceCtrlHandler failed, error code = " +
                             std::to_string(error.code().value()),
                      1);
        return;
    }
    // Running is reported before the core object is built.
    SetServiceState(VDM_SERVICE_RUNNING);
    VdmServiceStatus status;
    {
        std::lock_guard guard(statusMutex);
        status = serviceStatus;
    }
    if (const int rc = serviceManager.ReportStatus(status); rc != 0) {
        VdmMain_Print(1, "VdmMain_ServiceMain: SetServiceStatus failed, error code = " + std::to_string(rc), 1);
    } else {
        VdmMain_StartVdmConsole();
    }
    controlThreadEnd.store(true);
    if (controlThread.joinable()) controlThread.join();
}

// No dispatcher on this platform: the service main runs on the main thread.
void VdmMain_ExecuteSubProcess() {
    VdmMain_ServiceMain();
}

int VdmMain_ProcessCommand() {
    const VdmPrint print = VdmMain_Print;
    if (Is(commandWord, {"-c", "create"})) {
        return VdmMain_CreateWinsService(serviceManager, print,
                                         VdmMain_ServiceRegistration(platform::GetProgramPath()));
    }
    if (Is(commandWord, {"-d", "delete"})) return VdmMain_DeleteWinsService(serviceManager, print);
    if (Is(commandWord, {"-s", "start"})) return VdmMain_StartWinsService(serviceManager, print);
    if (Is(commandWord, {"-p", "stop"})) return VdmMain_StopWinsService(serviceManager, print);
    if (Is(commandWord, {"-o", "console"})) {
        VdmMain_StartVdmConsole();
        return 1;
    }
    if (Is(commandWord, {"service"})) {
        VdmMain_ExecuteSubProcess();
        return 1;
    }
    VdmMain_PrintUsage();
    VdmMain_StartVdmConsole();
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // The allocator's arenas are capped before the first thread starts (see main/MallocArenas.h);
    // a limit the user set in the environment stands.
    VdmMain_CapMallocArenas();
    // SIGINT and SIGTERM are read by one thread of the program: they are blocked before the first
    // thread starts, so every thread inherits the mask and none is ended by them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (argc > 1) commandWord = std::string(argv[1]).substr(0, 259);
    serviceMode = commandWord == "service" ? 1 : 0;
    if (VdmMain_InitLog() == 0) {
        VdmMain_WaitForEnter();
        VdmMain_Exit();
        return 0;
    }
    try {
        xercesc::XMLPlatformUtils::Initialize();
    } catch (const xercesc::XMLException& error) {
        TSK_LOG(LOGLEVEL_ERROR, VDM_LOG_MAIN,
                "main: XMLPlatformUtils::Initialize failed! : " << CFromXmlCh(error.getMessage()).str());
        VdmMain_WaitForEnter();
        VdmMain_Exit();
        return 0;
    }
    VdmMain_ProcessCommand();
    // The commands and the service mode end here; the console mode ended the process before.
    VdmMain_CleanUp();
    return 0;
}
