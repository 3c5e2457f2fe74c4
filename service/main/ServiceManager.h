#pragma once
// The service manager as the service program's commands and its service mode use it: register,
// remove, start, stop and query the service, and, from inside the running service, report its
// state. CSystemdServiceManager keeps the service as a systemd unit and reports over systemd's
// notification socket; tests use a scripted manager of their own. Every call returns 0 on success
// or an error code (an errno value, or the exit status of systemctl) for the failure messages.

#include <cstdint>
#include <string>

// Service states as the status record carries them.
enum VdmServiceState : int {
    VDM_SERVICE_STOPPED = 1,
    VDM_SERVICE_START_PENDING = 2,
    VDM_SERVICE_STOP_PENDING = 3,
    VDM_SERVICE_RUNNING = 4,
};

struct VdmServiceStatus {
    int state = VDM_SERVICE_STOPPED;
    int win32ExitCode = 0;
    int serviceExitCode = 0;
    int checkpoint = 0;
    int waitHintMs = 0;
};

struct VdmServiceRegistration {
    std::string name;         // "Tessik_VDM"
    std::string displayName;
    std::string description;
    std::string commandLine;  // program path + " service"
};

class IServiceManager {
public:
    virtual ~IServiceManager() = default;
    // Access to the manager itself.
    virtual int OpenManager() = 0;
    // Registers the service to start automatically with the system.
    virtual int CreateService(const VdmServiceRegistration& registration) = 0;
    // Access to a registered service.
    virtual int OpenService(const std::string& name) = 0;
    virtual int DeleteService(const std::string& name) = 0;
    virtual int StartService(const std::string& name) = 0;
    // Asks a running service to stop; returns when the request was accepted.
    virtual int StopService(const std::string& name) = 0;
    virtual int QueryStatus(const std::string& name, VdmServiceStatus& status) = 0;
    // From inside the service: tells the manager the service's state.
    virtual int ReportStatus(const VdmServiceStatus& status) = 0;
    // The waits of the start command's polling.
    virtual uint64_t TickMs() = 0;
    virtual void SleepMs(int ms) = 0;
};

class CSystemdServiceManager : public IServiceManager {
public:
    // Unit files go to `unitDirectory` (normally /etc/systemd/system).
    explicit CSystemdServiceManager(std::string unitDirectory = "/etc/systemd/system");

    int OpenManager() override;
    int CreateService(const VdmServiceRegistration& registration) override;
    int OpenService(const std::string& name) override;
    int DeleteService(const std::string& name) override;
    int StartService(const std::string& name) override;
    int StopService(const std::string& name) override;
    int QueryStatus(const std::string& name, VdmServiceStatus& status) override;
    int ReportStatus(const VdmServiceStatus& status) override;
    uint64_t TickMs() override;
    void SleepMs(int ms) override;

    // The unit file's text for a registration.
    static std::string UnitText(const VdmServiceRegistration& registration);
    // The notification of a state: "READY=1", "STOPPING=1" or a status line.
    static std::string NotifyText(const VdmServiceStatus& status);
    // Sends one datagram to the notification socket named by NOTIFY_SOCKET (a path, or an
    // abstract name starting with '@'); 0 also when the variable is not set (not run by systemd).
    static int Notify(const std::string& text);

private:
    std::string UnitPath(const std::string& name) const;
    // Runs systemctl with the arguments (no shell); its exit status, or an errno value when it
    // cannot run. `output` receives its standard output when given.
    static int Systemctl(const std::initializer_list<std::string>& arguments, std::string* output = nullptr);

    std::string unitDirectory;
};
