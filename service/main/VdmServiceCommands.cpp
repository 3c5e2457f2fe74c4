#include "main/VdmServiceCommands.h"

#include <algorithm>

const char* const kVdmServiceName = "Tessik_VDM";

namespace {

std::string Failed(const char* op, const char* what, int code) {
    return std::string(op) + ": " + what + " failed, error code = " + std::to_string(code);
}

// Opens the manager and the service; false after printing the failure.
bool OpenBoth(IServiceManager& manager, const VdmPrint& print, const char* op) {
    if (const int rc = manager.OpenManager(); rc != 0) {
        print(1, Failed(op, "OpenSCManager", rc), 1);
        return false;
    }
    if (const int rc = manager.OpenService(kVdmServiceName); rc != 0) {
        print(1, Failed(op, "OpenService", rc), 1);
        return false;
    }
    return true;
}

int PollMs(const VdmServiceStatus& status) {
    return std::clamp(status.waitHintMs / 10, 1000, 10000);
}

}  // namespace

VdmServiceRegistration VdmMain_ServiceRegistration(const std::string& programPath) {
    VdmServiceRegistration registration;
    registration.name = kVdmServiceName;
    registration.displayName = "Tessik Biometrics Vendor Device Manager";
    registration.description =
        std::string("Manages Tessik biometics devices. When the service starts, it tries to connect ") +
        "to the Biometrics Device Manager (DM) and sends the device arrival messages. " +
        "Then, it waits for the NVK enrollment client to do biometric capture procedure.";
    registration.commandLine = programPath + " service";
    return registration;
}

int VdmMain_CreateWinsService(IServiceManager& manager, const VdmPrint& print, const VdmServiceRegistration& registration) {
    const char* op = "VdmMain_CreateWinsService";
    if (const int rc = manager.OpenManager(); rc != 0) {
        print(1, Failed(op, "OpenSCManager", rc), 1);
        return 0;
    }
    if (const int rc = manager.CreateService(registration); rc != 0) {
        print(1, std::string(op) + ": Failed to create service Tessik_VDM, error code = " + std::to_string(rc), 1);
        return 0;
    }
    print(3, std::string(op) + ": Service Tessik_VDM installed.", 1);
    return 1;
}

int VdmMain_DeleteWinsService(IServiceManager& manager, const VdmPrint& print) {
    const char* op = "VdmMain_DeleteWinsService";
    if (!OpenBoth(manager, print, op)) return 0;
    if (const int rc = manager.DeleteService(kVdmServiceName); rc != 0) {
        print(1, std::string(op) + ": Failed to delete service Tessik_VDM, error code = " + std::to_string(rc), 1);
        return 0;
    }
    print(3, std::string(op) + ": Service Tessik_VDM deleted.", 1);
    return 1;
}

int VdmMain_StartWinsService(IServiceManager& manager, const VdmPrint& print) {
    const char* op = "VdmMain_StartWinsService";
    if (!OpenBoth(manager, print, op)) return 0;
    VdmServiceStatus status;
    auto query = [&] {
        const int rc = manager.QueryStatus(kVdmServiceName, status);
        if (rc != 0) print(1, Failed(op, "QueryServiceStatusEx", rc), 0);
        return rc == 0;
    };
    if (!query()) return 0;
    if (status.state != VDM_SERVICE_STOPPED && status.state != VDM_SERVICE_STOP_PENDING) {
        print(1, std::string(op) + ": Cannot start the service because it is already running.", 0);
        return 0;
    }
    // A stop under way: wait while it makes progress, give up after a wait hint without any.
    uint64_t since = manager.TickMs();
    int checkpoint = status.checkpoint;
    while (status.state == VDM_SERVICE_STOP_PENDING) {
        manager.SleepMs(PollMs(status));
        if (!query()) return 0;
        if (status.checkpoint > checkpoint) {
            since = manager.TickMs();
            checkpoint = status.checkpoint;
        } else if (manager.TickMs() - since > static_cast<uint64_t>(status.waitHintMs)) {
            print(1, std::string(op) + ": Timeout waiting for service to stop.", 0);
            return 0;
        }
    }
    if (const int rc = manager.StartService(kVdmServiceName); rc != 0) {
        print(1, Failed(op, "StartService", rc), 1);
        return 0;
    }
    if (!query()) return 0;
    since = manager.TickMs();
    checkpoint = status.checkpoint;
    while (status.state == VDM_SERVICE_START_PENDING) {
        manager.SleepMs(PollMs(status));
        if (!query()) break;
        if (status.checkpoint > checkpoint) {
            since = manager.TickMs();
            checkpoint = status.checkpoint;
        } else if (manager.TickMs() - since > static_cast<uint64_t>(status.waitHintMs)) {
            break;
        }
    }
    if (status.state == VDM_SERVICE_RUNNING) {
        print(3, std::string(op) + ": Service started successfully.", 1);
    } else {
        print(1,
              std::string(op) + ": Service not started, Current State = " + std::to_string(status.state) +
                  ", Exist Code = " + std::to_string(status.win32ExitCode),
              0);
    }
    return 1;
}

int VdmMain_StopWinsService(IServiceManager& manager, const VdmPrint& print) {
    const char* op = "VdmMain_StopWinsService";
    if (!OpenBoth(manager, print, op)) return 0;
    if (const int rc = manager.StopService(kVdmServiceName); rc != 0) {
        print(1, Failed(op, "ControlService", rc), 1);
        return 0;
    }
    print(3, std::string(op) + ": Service stopped successfully.", 1);
    return 1;
}
