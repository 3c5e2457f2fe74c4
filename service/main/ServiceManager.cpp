#include "main/ServiceManager.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

CSystemdServiceManager::CSystemdServiceManager(std::string unitDirectory_) : unitDirectory(std::move(unitDirectory_)) {}

std::string CSystemdServiceManager::UnitPath(const std::string& name) const {
    return unitDirectory + "/" + name + ".service";
}

std::string CSystemdServiceManager::UnitText(const VdmServiceRegistration& registration) {
    std::ostringstream text;
    text << "# " << registration.description << "\n"
         << "[Unit]\n"
         << "Description=" << registration.displayName << "\n"
         << "After=network.target\n\n"
         << "[Service]\n"
         << "Type=notify\n"
         << "NotifyAccess=main\n"
         << "ExecStart=" << registration.commandLine << "\n"
         << "KillSignal=SIGTERM\n"
         << "TimeoutStopSec=120\n\n"
         << "[Install]\n"
         << "WantedBy=multi-user.target\n";
    return text.str();
}

std::string CSystemdServiceManager::NotifyText(const VdmServiceStatus& status) {
    switch (status.state) {
    case VDM_SERVICE_RUNNING: return "READY=1";
    case VDM_SERVICE_STOP_PENDING: return "STOPPING=1";
    case VDM_SERVICE_STOPPED: return "STOPPING=1\nSTATUS=Stopped";
    default: return "STATUS=Starting";
    }
}

int CSystemdServiceManager::Notify(const std::string& text) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || *name == '\0') return 0;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(name);
    if (length >= sizeof address.sun_path) return ENAMETOOLONG;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';  // abstract namespace
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const ssize_t sent = ::sendto(fd, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address), size);
    const int error = sent < 0 ? errno : 0;
    ::close(fd);
    return error;
}

int CSystemdServiceManager::Systemctl(const std::initializer_list<std::string>& arguments, std::string* output) {
    std::vector<std::string> words{"systemctl"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output != nullptr) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) return errno;
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    }
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output != nullptr) ::close(pipeFds[1]);
    if (rc != 0) {
        if (output != nullptr) ::close(pipeFds[0]);
        return rc;
    }
    if (output != nullptr) {
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(pipeFds[0], chunk, sizeof chunk)) > 0) output->append(chunk, static_cast<size_t>(n));
        ::close(pipeFds[0]);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : ECHILD;
}

int CSystemdServiceManager::OpenManager() {
    // The manager is there when systemd runs the system.
    return ::access("/run/systemd/system", F_OK) == 0 ? 0 : ENOENT;
}

int CSystemdServiceManager::CreateService(const VdmServiceRegistration& registration) {
    const std::string path = UnitPath(registration.name);
    if (::access(path.c_str(), F_OK) == 0) return EEXIST;
    {
        std::ofstream unit(path, std::ios::trunc);
        if (!(unit << UnitText(registration))) return errno != 0 ? errno : EIO;
    }
    if (const int rc = Systemctl({"daemon-reload"}); rc != 0) return rc;
    return Systemctl({"enable", registration.name + ".service"});
}

int CSystemdServiceManager::OpenService(const std::string& name) {
    return ::access(UnitPath(name).c_str(), F_OK) == 0 ? 0 : ENOENT;
}

int CSystemdServiceManager::DeleteService(const std::string& name) {
    if (const int rc = Systemctl({"disable", name + ".service"}); rc != 0) return rc;
    if (::unlink(UnitPath(name).c_str()) != 0) return errno;
    return Systemctl({"daemon-reload"});
}

int CSystemdServiceManager::StartService(const std::string& name) {
    return Systemctl({"start", "--no-block", name + ".service"});
}

int CSystemdServiceManager::StopService(const std::string& name) {
    return Systemctl({"stop", "--no-block", name + ".service"});
}

int CSystemdServiceManager::QueryStatus(const std::string& name, VdmServiceStatus& status) {
    std::string text;
    if (const int rc = Systemctl({"show", "--property=ActiveState,ExecMainStatus", name + ".service"}, &text); rc != 0)
        return rc;
    status = VdmServiceStatus();
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line == "ActiveState=active" || line == "ActiveState=reloading") status.state = VDM_SERVICE_RUNNING;
        else if (line == "ActiveState=activating") status.state = VDM_SERVICE_START_PENDING;
        else if (line == "ActiveState=deactivating") status.state = VDM_SERVICE_STOP_PENDING;
        else if (line.rfind("ExecMainStatus=", 0) == 0) status.win32ExitCode = std::atoi(line.c_str() + 15);
    }
    // systemd gives no progress counter: a pending state is waited for up to 30 s.
    if (status.state == VDM_SERVICE_START_PENDING || status.state == VDM_SERVICE_STOP_PENDING) status.waitHintMs = 30000;
    return 0;
}

int CSystemdServiceManager::ReportStatus(const VdmServiceStatus& status) {
    return Notify(NotifyText(status));
}

uint64_t CSystemdServiceManager::TickMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void CSystemdServiceManager::SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
