// Tessik_VDM: the service program. The first argument chooses what it does; this build runs the
// service in console mode, which ends on Enter, on the end of the input, or on SIGINT or SIGTERM.
// Shutdown runs once, on the main thread, after the core object's threads have all ended.
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include "NavikVdm.h"
#include "device/ZarnLibrary.h"
#include "platform/ProgramDir.h"
#include "runtime/ConfigFile.h"
#include "runtime/ConfigureFailure.h"
#include "runtime/Log.h"
#include "runtime/Utilities.h"
#include "xml/XmlMessage.h"

namespace {

std::string commandWord;
int serviceMode = 0;
CNavikVdm* core = nullptr;
int signalFd = -1;

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
        const std::string text = CConfigFile::GetString(CConfigFile::GetInstance(), "LOG_LEVEL", "INFO");
        const char* const names[] = {"NONE", "ERROR", "WARNING", "INFO", "DBG1", "DBG2", "DBG3"};
        for (int i = 0; i < 7; ++i) {
            if (text == names[i]) level = i;
        }
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

// Waits for a line end or the end of the input, or for SIGINT / SIGTERM.
void VdmMain_WaitForEnter() {
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

[[noreturn]] void VdmMain_Exit() {
    StopLogThread();
    xercesc::XMLPlatformUtils::Terminate();
    std::exit(1);
}

void VdmMain_TerminateVdm() {
    if (core == nullptr) return;
    VdmMain_Print(3, "Terminating VDM ...", 1);
    core->Terminate();
    core = nullptr;
    VdmMain_Print(3, "Terminate success.", 1);
}

void VdmMain_StartVdmConsole() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if ((signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC)) < 0)
        VdmMain_Print(2, "SetConsoleCtrlHandler failed. Unable to install console control handler.", 1);
    LoadCaptureLibraries();
    std::unique_ptr<CNavikVdm> vdm;
    try {
        vdm = std::make_unique<CNavikVdm>();
        core = vdm.get();
        if (vdm->Initialize() == 0) {
            VdmMain_Print(1, "Tessik NAVIK VDM initializing failed!", 1);
            core = nullptr;
            vdm.reset();
            VdmMain_WaitForEnter();
            VdmMain_Exit();
        }
    } catch (const std::runtime_error& error) {
        VdmMain_Print(1, error.what(), 1);
        core = nullptr;
        vdm.reset();
        VdmMain_WaitForEnter();
        VdmMain_Exit();
    }
    const std::string stars = "VdmMain_StartVdmConsole: " + std::string(55, '*') + ".";
    TSK_LOG(LOGLEVEL_INFO, VDM_LOG_MAIN, stars);
    VdmMain_Print(3, "Tessik Biometric Vendor Device Manager console started successfully.", 1);
    VdmMain_Print(3, "Version Number = 3.0.0 (Windows)", 1);
    TSK_LOG(LOGLEVEL_INFO, VDM_LOG_MAIN, stars);
    VdmMain_WaitForEnter();
    VdmMain_TerminateVdm();
    vdm.reset();  // every thread of the core object has ended here
    VdmMain_Exit();
}

bool Is(const std::string& word, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (::strcasecmp(word.c_str(), name) == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // SIGINT and SIGTERM are read from a descriptor by the main thread: they are blocked before the
    // first thread starts, so every thread inherits the mask and none is ended by them.
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
    }
    try {
        xercesc::XMLPlatformUtils::Initialize();
    } catch (const xercesc::XMLException& error) {
        TSK_LOG(LOGLEVEL_ERROR, VDM_LOG_MAIN,
                "main: XMLPlatformUtils::Initialize failed! : " << CFromXmlCh(error.getMessage()).str());
        VdmMain_WaitForEnter();
        VdmMain_Exit();
    }
    if (Is(commandWord, {"-o", "console"})) {
        VdmMain_StartVdmConsole();
    } else if (Is(commandWord, {"-c", "create", "-d", "delete", "-s", "start", "-p", "stop", "service"})) {
        VdmMain_Print(1, "The service manager is not available in this build; run the program in console mode.", 1);
        return 0;
    } else {
        VdmMain_PrintUsage();
        VdmMain_StartVdmConsole();
    }
    return 0;
}
