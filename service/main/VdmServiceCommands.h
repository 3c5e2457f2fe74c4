#pragma once
// The service program's four service-manager commands (create, delete, start, stop) over an
// IServiceManager, with their console and log lines. `print` is the program's VdmMain_Print
// (level, text, toConsole): level 1 errors, 3 information; toConsole 0 writes the log only.

#include <functional>
#include <string>

#include "main/ServiceManager.h"

using VdmPrint = std::function<void(int level, const std::string& text, int toConsole)>;

// "Tessik_VDM".
extern const char* const kVdmServiceName;

// The registration of the service for the program at `programPath`.
VdmServiceRegistration VdmMain_ServiceRegistration(const std::string& programPath);

// Each returns 1 on success and 0 on failure, as the command's result.
int VdmMain_CreateWinsService(IServiceManager& manager, const VdmPrint& print, const VdmServiceRegistration& registration);
int VdmMain_DeleteWinsService(IServiceManager& manager, const VdmPrint& print);
// Waits while a previous stop is pending, starts the service and waits while its start is pending
// (polls of a tenth of the wait hint, 1 to 10 s); 1 once the start was asked for.
int VdmMain_StartWinsService(IServiceManager& manager, const VdmPrint& print);
// Asks the service to stop and returns without waiting for it.
int VdmMain_StopWinsService(IServiceManager& manager, const VdmPrint& print);
