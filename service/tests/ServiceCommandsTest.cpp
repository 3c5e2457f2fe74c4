// The service-manager commands over a scripted manager (its clock moves only by the commands'
// sleeps), and the systemd layer: unit text, notification datagrams, and its systemctl calls
// against a stand-in systemctl found first on PATH.
#include "main/VdmServiceCommands.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

class ScriptedManager : public IServiceManager {
public:
    int openManager = 0, create = 0, openService = 0, remove = 0, start = 0, stop = 0, queryFailure = 0;
    std::deque<VdmServiceStatus> statuses;  // one per query; the last repeats
    std::vector<std::string> calls;
    std::vector<int> sleeps;
    uint64_t now = 1000000;
    VdmServiceRegistration registered;

    int OpenManager() override { return Call("OpenManager", openManager); }
    int CreateService(const VdmServiceRegistration& registration) override {
        registered = registration;
        return Call("Create", create);
    }
    int OpenService(const std::string& name) override { return Call("OpenService " + name, openService); }
    int DeleteService(const std::string& name) override { return Call("Delete " + name, remove); }
    int StartService(const std::string& name) override { return Call("Start " + name, start); }
    int StopService(const std::string& name) override { return Call("Stop " + name, stop); }
    int QueryStatus(const std::string&, VdmServiceStatus& status) override {
        calls.push_back("Query");
        if (queryFailure != 0 && --queryFailure == 0) return 6;
        status = statuses.front();
        if (statuses.size() > 1) statuses.pop_front();
        return 0;
    }
    int ReportStatus(const VdmServiceStatus&) override { return 0; }
    uint64_t TickMs() override { return now; }
    void SleepMs(int ms) override {
        sleeps.push_back(ms);
        now += static_cast<uint64_t>(ms);
    }

private:
    int Call(const std::string& what, int result) {
        calls.push_back(what);
        return result;
    }
};

struct Printed {
    int level;
    std::string text;
    int toConsole;
    bool operator==(const Printed& other) const {
        return level == other.level && text == other.text && toConsole == other.toConsole;
    }
};
std::ostream& operator<<(std::ostream& out, const Printed& p) {
    return out << "(" << p.level << ", \"" << p.text << "\", " << p.toConsole << ")";
}

VdmServiceStatus State(int state, int checkpoint = 0, int waitHintMs = 0, int exitCode = 0) {
    VdmServiceStatus status;
    status.state = state;
    status.checkpoint = checkpoint;
    status.waitHintMs = waitHintMs;
    status.win32ExitCode = exitCode;
    return status;
}

class ServiceCommandsTest : public ::testing::Test {
protected:
    VdmPrint print = [this](int level, const std::string& text, int toConsole) {
        printed.push_back({level, text, toConsole});
    };
    ScriptedManager manager;
    std::vector<Printed> printed;
};

TEST_F(ServiceCommandsTest, CreateRegistersTheServiceToStartWithTheSystem) {
    EXPECT_EQ(VdmMain_CreateWinsService(manager, print, VdmMain_ServiceRegistration("/opt/tessik/Tessik_VDM")), 1);
    EXPECT_EQ(printed, (std::vector<Printed>{{3, "VdmMain_CreateWinsService: Service Tessik_VDM installed.", 1}}));
    EXPECT_EQ(manager.registered.name, "Tessik_VDM");
    EXPECT_EQ(manager.registered.displayName, "Tessik Biometrics Vendor Device Manager");
    EXPECT_EQ(manager.registered.commandLine, "/opt/tessik/Tessik_VDM service");
    EXPECT_EQ(manager.registered.description,
              "Manages Tessik biometics devices. When the service starts, it tries to connect to the Biometrics "
              "Device Manager (DM) and sends the device arrival messages. Then, it waits for the NVK enrollment "
              "client to do biometric capture procedure.");
    // The unit file starts the program with the word "service" and waits for its readiness report.
    const std::string unit = CSystemdServiceManager::UnitText(manager.registered);
    EXPECT_NE(unit.find("\nExecStart=/opt/tessik/Tessik_VDM service\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("\nDescription=Tessik Biometrics Vendor Device Manager\n"), std::string::npos);
    EXPECT_NE(unit.find("\nWantedBy=multi-user.target\n"), std::string::npos);
}

// Every refusal of the manager, with the command's line and result.
TEST_F(ServiceCommandsTest, ManagerFailuresArePrintedAsErrors) {
    struct Case {
        const char* command;
        int ScriptedManager::*failure;
        std::string line;
    };
    const Case cases[] = {
        {"create", &ScriptedManager::openManager, "VdmMain_CreateWinsService: OpenSCManager failed, error code = 5"},
        {"create", &ScriptedManager::create, "VdmMain_CreateWinsService: Failed to create service Tessik_VDM, error code = 5"},
        {"delete", &ScriptedManager::openManager, "VdmMain_DeleteWinsService: OpenSCManager failed, error code = 5"},
        {"delete", &ScriptedManager::openService, "VdmMain_DeleteWinsService: OpenService failed, error code = 5"},
        {"delete", &ScriptedManager::remove, "VdmMain_DeleteWinsService: Failed to delete service Tessik_VDM, error code = 5"},
        {"start", &ScriptedManager::openManager, "VdmMain_StartWinsService: OpenSCManager failed, error code = 5"},
        {"start", &ScriptedManager::openService, "VdmMain_StartWinsService: OpenService failed, error code = 5"},
        {"start", &ScriptedManager::start, "VdmMain_StartWinsService: StartService failed, error code = 5"},
        {"stop", &ScriptedManager::openManager, "VdmMain_StopWinsService: OpenSCManager failed, error code = 5"},
        {"stop", &ScriptedManager::openService, "VdmMain_StopWinsService: OpenService failed, error code = 5"},
        {"stop", &ScriptedManager::stop, "VdmMain_StopWinsService: ControlService failed, error code = 5"},
    };
    for (const Case& c : cases) {
        ScriptedManager failing;
        failing.*(c.failure) = 5;
        failing.statuses = {State(VDM_SERVICE_STOPPED)};
        printed.clear();
        const std::string command = c.command;
        const int result = command == "create" ? VdmMain_CreateWinsService(failing, print, VdmMain_ServiceRegistration("/p"))
                           : command == "delete" ? VdmMain_DeleteWinsService(failing, print)
                           : command == "start"  ? VdmMain_StartWinsService(failing, print)
                                                 : VdmMain_StopWinsService(failing, print);
        EXPECT_EQ(result, 0) << c.line;
        EXPECT_EQ(printed, (std::vector<Printed>{{1, c.line, 1}}));
    }
}

TEST_F(ServiceCommandsTest, DeleteAndStopSucceed) {
    EXPECT_EQ(VdmMain_DeleteWinsService(manager, print), 1);
    EXPECT_EQ(VdmMain_StopWinsService(manager, print), 1);
    EXPECT_EQ(printed, (std::vector<Printed>{{3, "VdmMain_DeleteWinsService: Service Tessik_VDM deleted.", 1},
                                             {3, "VdmMain_StopWinsService: Service stopped successfully.", 1}}));
    // Stop does not wait for the stopped state: no query.
    EXPECT_EQ(manager.calls, (std::vector<std::string>{"OpenManager", "OpenService Tessik_VDM", "Delete Tessik_VDM",
                                                       "OpenManager", "OpenService Tessik_VDM", "Stop Tessik_VDM"}));
}

TEST_F(ServiceCommandsTest, StartWaitsWhileTheStartMakesProgress) {
    manager.statuses = {State(VDM_SERVICE_STOPPED), State(VDM_SERVICE_START_PENDING, 1, 30000),
                        State(VDM_SERVICE_START_PENDING, 2, 500), State(VDM_SERVICE_START_PENDING, 3, 200000),
                        State(VDM_SERVICE_RUNNING)};
    EXPECT_EQ(VdmMain_StartWinsService(manager, print), 1);
    EXPECT_EQ(printed, (std::vector<Printed>{{3, "VdmMain_StartWinsService: Service started successfully.", 1}}));
    // A tenth of the wait hint, kept within 1 to 10 s.
    EXPECT_EQ(manager.sleeps, (std::vector<int>{3000, 1000, 10000}));
}

TEST_F(ServiceCommandsTest, StartRefusalsAndTimeouts) {
    // Running already: the log only.
    manager.statuses = {State(VDM_SERVICE_RUNNING)};
    EXPECT_EQ(VdmMain_StartWinsService(manager, print), 0);
    EXPECT_EQ(printed.back(), (Printed{1, "VdmMain_StartWinsService: Cannot start the service because it is already running.", 0}));
    EXPECT_EQ(std::count(manager.calls.begin(), manager.calls.end(), "Start Tessik_VDM"), 0);

    // The query fails: the log only.
    ScriptedManager broken;
    broken.queryFailure = 1;
    broken.statuses = {State(VDM_SERVICE_STOPPED)};
    EXPECT_EQ(VdmMain_StartWinsService(broken, print), 0);
    EXPECT_EQ(printed.back(), (Printed{1, "VdmMain_StartWinsService: QueryServiceStatusEx failed, error code = 6", 0}));

    // A stop that makes no progress for longer than its wait hint (4 s, polled every second).
    ScriptedManager stuck;
    stuck.statuses = {State(VDM_SERVICE_STOP_PENDING, 7, 4000)};
    EXPECT_EQ(VdmMain_StartWinsService(stuck, print), 0);
    EXPECT_EQ(printed.back(), (Printed{1, "VdmMain_StartWinsService: Timeout waiting for service to stop.", 0}));
    EXPECT_EQ(stuck.sleeps.size(), 5u);
    EXPECT_EQ(std::count(stuck.calls.begin(), stuck.calls.end(), "Start Tessik_VDM"), 0);

    // A start that stays pending without progress: the state is logged, the command succeeded.
    ScriptedManager slow;
    slow.statuses = {State(VDM_SERVICE_STOPPED), State(VDM_SERVICE_START_PENDING, 0, 2000, 3)};
    EXPECT_EQ(VdmMain_StartWinsService(slow, print), 1);
    EXPECT_EQ(printed.back(),
              (Printed{1, "VdmMain_StartWinsService: Service not started, Current State = 2, Exist Code = 3", 0}));
    EXPECT_EQ(slow.sleeps.size(), 3u);
}

// The service's reports reach the notification socket as systemd reads them.
TEST(SystemdLayerTest, StatusReportsAreNotificationDatagrams) {
    const std::string name = "@tessik-notify-" + std::to_string(::getpid());
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.c_str() + 1, name.size() - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())),
              0);
    ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
    CSystemdServiceManager manager("/nonexistent");
    EXPECT_EQ(manager.ReportStatus(State(VDM_SERVICE_RUNNING)), 0);
    EXPECT_EQ(manager.ReportStatus(State(VDM_SERVICE_STOPPED)), 0);
    char buffer[256];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), "READY=1");
    n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), "STOPPING=1\nSTATUS=Stopped");
    // A socket name must leave room for its terminating NUL in the 108-byte address.
    ::setenv("NOTIFY_SOCKET", ("/" + std::string(107, 's')).c_str(), 1);
    EXPECT_EQ(manager.ReportStatus(State(VDM_SERVICE_RUNNING)), ENAMETOOLONG);
    ::setenv("NOTIFY_SOCKET", ("/" + std::string(106, 's')).c_str(), 1);
    EXPECT_EQ(manager.ReportStatus(State(VDM_SERVICE_RUNNING)), ENOENT);  // no such socket
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(manager.ReportStatus(State(VDM_SERVICE_RUNNING)), 0);  // not run by systemd: nothing to tell
    EXPECT_NE(manager.OpenService("Tessik_VDM"), 0);
    ::close(fd);
}

// A systemctl of the test's own, first on PATH: it appends its arguments as one line to calls.txt,
// prints show.txt for "show" and exits with the number in status.txt (0 when missing).
class FakeSystemctl {
public:
    FakeSystemctl() : dir(std::filesystem::temp_directory_path() / ("tessik-systemctl-" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / "units");
        const std::filesystem::path script = dir / "systemctl";
        std::ofstream(script) << "#!/bin/sh\n"
                              << "d='" << dir.string() << "'\n"
                              << "echo \"$*\" >> \"$d/calls.txt\"\n"
                              << "[ \"$1\" = show ] && [ -f \"$d/show.txt\" ] && cat \"$d/show.txt\"\n"
                              << "[ -f \"$d/status.txt\" ] && exit $(cat \"$d/status.txt\")\n"
                              << "exit 0\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        const char* path = std::getenv("PATH");
        savedPath = path != nullptr ? path : "";
        ::setenv("PATH", (dir.string() + ":" + savedPath).c_str(), 1);
    }
    ~FakeSystemctl() {
        ::setenv("PATH", savedPath.c_str(), 1);
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    // The calls since the last look.
    std::vector<std::string> Calls() {
        std::vector<std::string> lines;
        std::ifstream in(dir / "calls.txt");
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        std::filesystem::remove(dir / "calls.txt");
        return lines;
    }
    void Show(const std::string& text) { std::ofstream(dir / "show.txt") << text; }
    void ExitWith(int status) { std::ofstream(dir / "status.txt") << status << "\n"; }
    std::string Units() const { return (dir / "units").string(); }

    std::filesystem::path dir;
    std::string savedPath;
};

using Calls = std::vector<std::string>;

// Create writes the unit file and enables it, once; delete disables it and removes the file; start
// and stop do not wait for systemd; a failing systemctl's exit status is the call's result.
TEST(SystemdLayerTest, UnitFileAndSystemctlCalls) {
    FakeSystemctl systemctl;
    CSystemdServiceManager manager(systemctl.Units());
    const VdmServiceRegistration registration = VdmMain_ServiceRegistration("/opt/tessik/Tessik_VDM");
    const std::string unitPath = systemctl.Units() + "/Tessik_VDM.service";
    EXPECT_EQ(manager.OpenService("Tessik_VDM"), ENOENT);
    ASSERT_EQ(manager.CreateService(registration), 0);
    EXPECT_EQ(systemctl.Calls(), (Calls{"daemon-reload", "enable Tessik_VDM.service"}));
    std::ifstream unit(unitPath);
    std::stringstream text;
    text << unit.rdbuf();
    EXPECT_EQ(text.str(), CSystemdServiceManager::UnitText(registration));
    EXPECT_EQ(manager.OpenService("Tessik_VDM"), 0);
    EXPECT_EQ(manager.CreateService(registration), EEXIST);
    EXPECT_TRUE(systemctl.Calls().empty());

    EXPECT_EQ(manager.StartService("Tessik_VDM"), 0);
    EXPECT_EQ(manager.StopService("Tessik_VDM"), 0);
    EXPECT_EQ(systemctl.Calls(), (Calls{"start --no-block Tessik_VDM.service", "stop --no-block Tessik_VDM.service"}));
    ASSERT_EQ(manager.DeleteService("Tessik_VDM"), 0);
    EXPECT_EQ(systemctl.Calls(), (Calls{"disable Tessik_VDM.service", "daemon-reload"}));
    EXPECT_EQ(manager.OpenService("Tessik_VDM"), ENOENT);

    // A unit folder that is not there: nothing written, systemctl not called.
    CSystemdServiceManager nowhere(systemctl.Units() + "/missing");
    EXPECT_EQ(nowhere.CreateService(registration), ENOENT);
    EXPECT_TRUE(systemctl.Calls().empty());

    systemctl.ExitWith(5);
    EXPECT_EQ(manager.StartService("Tessik_VDM"), 5);
    EXPECT_EQ(manager.CreateService(registration), 5);  // the reload failed: not enabled
    EXPECT_EQ(systemctl.Calls(), (Calls{"start --no-block Tessik_VDM.service", "daemon-reload"}));
    EXPECT_EQ(manager.DeleteService("Tessik_VDM"), 5);  // not disabled: the file stays
    EXPECT_EQ(manager.OpenService("Tessik_VDM"), 0);
    VdmServiceStatus status;
    EXPECT_EQ(manager.QueryStatus("Tessik_VDM", status), 5);
}

// systemctl's unit states read as service states; a pending state gets a 30-s wait hint.
TEST(SystemdLayerTest, QueryReadsTheUnitState) {
    FakeSystemctl systemctl;
    CSystemdServiceManager manager(systemctl.Units());
    struct Case {
        const char* show;
        int state, exitCode, waitHintMs;
    } cases[] = {
        {"ActiveState=active\nExecMainStatus=0\n", VDM_SERVICE_RUNNING, 0, 0},
        {"ActiveState=reloading\nExecMainStatus=0\n", VDM_SERVICE_RUNNING, 0, 0},
        {"ActiveState=activating\nExecMainStatus=0\n", VDM_SERVICE_START_PENDING, 0, 30000},
        {"ActiveState=deactivating\nExecMainStatus=0\n", VDM_SERVICE_STOP_PENDING, 0, 30000},
        {"ActiveState=inactive\nExecMainStatus=0\n", VDM_SERVICE_STOPPED, 0, 0},
        {"ActiveState=failed\nExecMainStatus=3\n", VDM_SERVICE_STOPPED, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.show);
        systemctl.Show(c.show);
        VdmServiceStatus status;
        status.checkpoint = 9;
        ASSERT_EQ(manager.QueryStatus("Tessik_VDM", status), 0);
        EXPECT_EQ(status.state, c.state);
        EXPECT_EQ(status.win32ExitCode, c.exitCode);
        EXPECT_EQ(status.waitHintMs, c.waitHintMs);
        EXPECT_EQ(status.checkpoint, 0);
        EXPECT_EQ(systemctl.Calls(), (Calls{"show --property=ActiveState,ExecMainStatus Tessik_VDM.service"}));
    }
}

}  // namespace
