#include "device/ZarnLibrary.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Exported names in the order of the table's members.
const char* const kFpNames[] = {
    "Zarn_Main_GetAPIVersion",
    "Zarn_Main_Initialize",
    "Zarn_Main_DeInitialize",
    "Zarn_Main_GetDeviceInfo",
    "Zarn_Main_GetRunningInfo",
    "Zarn_Main_GetConnectedScanner",
    "Zarn_Capture_SetMode",
    "Zarn_Capture_Start",
    "Zarn_Capture_Abort",
    "Zarn_Capture_TakeResultImage",
    "Zarn_Capture_SetCaptureOK",
    "Zarn_Capture_Calibration",
    "Zarn_Controls_Beeper",
    "Zarn_Capture_SetRollParameters",
    "Zarn_Capture_AcquireResultImage",
    "Zarn_Capture_SetAutoCapInfo",
    "Zarn_Capture_RegisterCallbackPreviewImage",
    "Zarn_Capture_RegisterCallbackTakingResultImage",
    "Zarn_Capture_RegisterCallbackResultImage",
    "Zarn_Capture_RegisterCallbackFootSwitch",
    "Zarn_Capture_RegisterCallbackObjectQuality",
    "Zarn_Capture_RegisterCallbackDeviceIsConnected",
};

const char* const kIrisNames[] = {
    "Zarn_IRIS_Main_GetAPIVersion",
    "Zarn_IRIS_Main_Initialize",
    "Zarn_IRIS_Main_DeInitialize",
    "Zarn_IRIS_Main_GetDeviceInfo",
    "Zarn_IRIS_Main_GetConnectedDevice",
    "Zarn_IRIS_Main_GetRunningInfo",
    "Zarn_IRIS_Capture_SetMode",
    "Zarn_IRIS_Capture_Start",
    "Zarn_IRIS_Capture_Abort",
    "Zarn_IRIS_Capture_Calibration",
    "Zarn_IRIS_Controls_Beeper",
    "Zarn_IRIS_Capture_TakeResultImage",
    "Zarn_IRIS_Capture_AcquireResultImage",
    "Zarn_IRIS_Capture_RegisterCallbackPreviewImage",
    "Zarn_IRIS_Capture_RegisterCallbackResultImage",
    "Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected",
};

using Entry = void (*)();
static_assert(sizeof(ZarnFpApi) == sizeof(kFpNames) / sizeof(kFpNames[0]) * sizeof(Entry),
              "one exported name per fingerprint table entry");
static_assert(sizeof(ZarnIrisApi) == sizeof(kIrisNames) / sizeof(kIrisNames[0]) * sizeof(Entry),
              "one exported name per iris table entry");

// Every member of a table is a function pointer: the entries are filled in member order.
bool Load(const std::string& name, const char* const* names, size_t count, void* table, std::string& error) {
    void* library = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = ::dlerror();
        error = "cannot load " + name + ": " + (reason != nullptr ? reason : "unknown error");
        return false;
    }
    std::vector<Entry> entries(count);
    for (size_t i = 0; i < count; ++i) {
        void* symbol = ::dlsym(library, names[i]);
        if (symbol == nullptr) {
            error = name + " does not export " + names[i];
            ::dlclose(library);
            return false;
        }
        entries[i] = reinterpret_cast<Entry>(symbol);
    }
    std::memcpy(table, entries.data(), count * sizeof(Entry));
    return true;
}

std::string FromEnvironment(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

std::string ZarnFpLibraryName() {
    return FromEnvironment("TESSIK_ZARN_FP_LIBRARY", "libZarnEssentialsApi.so");
}

std::string ZarnIrisLibraryName() {
    return FromEnvironment("TESSIK_ZARN_IRIS_LIBRARY", "libZarnIrisApi.so");
}

bool LoadZarnFpLibrary(const std::string& name, ZarnFpApi& table, std::string& error) {
    return Load(name, kFpNames, sizeof(kFpNames) / sizeof(kFpNames[0]), &table, error);
}

bool LoadZarnIrisLibrary(const std::string& name, ZarnIrisApi& table, std::string& error) {
    return Load(name, kIrisNames, sizeof(kIrisNames) / sizeof(kIrisNames[0]), &table, error);
}
