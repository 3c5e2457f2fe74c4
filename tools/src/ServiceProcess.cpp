#include "peers/ServiceProcess.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/ThreadName.h"

namespace fs = std::filesystem;

namespace peers {

CServiceProcess::~CServiceProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (stdinPipe_ >= 0) ::close(stdinPipe_);
    if (!dir_.empty()) {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
}

bool CServiceProcess::Start(const ServiceSetup& setup) {
    static std::atomic<int> counter{0};
    dir_ = (fs::temp_directory_path() /
            ("tessik-vdm-" + std::to_string(::getpid()) + "-" + std::to_string(counter++)))
               .string();
    std::error_code error;
    fs::remove_all(dir_, error);
    fs::create_directories(dir_, error);
    fs::copy(setup.appData, fs::path(dir_) / "App_Data", error);
    if (error) return false;
    // The program finds App_Data beside itself: a copy of the program lives in the folder.
    fs::copy_file(setup.program, fs::path(dir_) / "Tessik_VDM", error);
    if (error) return false;
    if (setup.writeConfig)
        std::ofstream(fs::path(dir_) / "App_Data" / "VdmConfig.cfg", std::ios::trunc)
        << (setup.logLevel.empty() ? "" : "LOG_LEVEL = " + setup.logLevel + "\n") << "DmIP = 127.0.0.1\nDmPort = " << setup.dmPort
        << "\nDmRetryIntervalBetweenPortAttempts = 1\nDmSleepTimeAfterTryingAllPorts = 1\n"
        << (setup.configPort < 0 ? "" : "VdmListenPort = " + std::to_string(setup.configPort) + "\n")
        << "VdmIP = 127.0.0.1\n"
        << "DeviceDetectionInterval = 1\nFingerprint = " << (setup.fingerprint ? "TRUE" : "FALSE")
        << "\nIris = " << (setup.iris ? "TRUE" : "FALSE") << "\n";
    const std::string script = setup.script + (setup.script.empty() ? "" : ";") + "unplugFile=" + dir_ + "/unplugged";
    int fds[2];
    if (::pipe(fds) != 0) return false;
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        ::dup2(fds[0], STDIN_FILENO);
        // Nothing else of the caller's is inherited: a listening socket of the DM stub kept open
        // by the service would hold the stub's port after the stub closed it.
        ::close_range(3, ~0U, 0);
        const std::string out = dir_ + "/console.txt";
        if (std::freopen(out.c_str(), "w", stdout) == nullptr) ::_exit(126);
        ::setenv("TESSIK_ZARN_FP_LIBRARY", setup.fpLibrary.c_str(), 1);
        ::setenv("TESSIK_ZARN_STANDIN_SCRIPT", script.c_str(), 1);
        if (!setup.irisLibrary.empty()) ::setenv("TESSIK_ZARN_IRIS_LIBRARY", setup.irisLibrary.c_str(), 1);
        for (const std::string& entry : setup.environment) ::putenv(const_cast<char*>(entry.c_str()));
        const std::string program = dir_ + "/Tessik_VDM";
        if (setup.word.empty()) ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        else ::execl(program.c_str(), program.c_str(), setup.word.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[0]);
    stdinPipe_ = fds[1];  // kept open: the end of the input would end the console
    return true;
}

int CServiceProcess::Terminate(int waitMs, int signal) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    return Wait(waitMs);
}

int CServiceProcess::Wait(int waitMs) {
    if (pid_ <= 0) return -1;
    for (int waited = 0; waited < waitMs; waited += 10) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

std::string CServiceProcess::ConsoleText() const {
    std::ifstream in(dir_ + "/console.txt");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool CServiceProcess::WriteInput(const std::string& text) {
    return stdinPipe_ >= 0 && ::write(stdinPipe_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void CServiceProcess::SetPlugged(bool plugged) {
    const std::string path = dir_ + "/unplugged";
    if (plugged) std::remove(path.c_str());
    else std::ofstream(path, std::ios::trunc) << "unplugged\n";
}

long CServiceProcess::ResidentKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

double CServiceProcess::CpuSeconds() const {
    return platform::ProcessCpuSeconds(pid_);
}

}  // namespace peers
