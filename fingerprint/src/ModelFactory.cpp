// Device enumeration, the model factory and the library version.
#include "ModelFactory.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/DeviceRegistry.h"
#include "platform/DriverDevices.h"
#include "zarn/ZarnTraceLogger.h"
#include "zarn/ZarnVersionText.h"

#include "ZarnScannerBase.h"

using namespace platform::setup;

// ---- the model table ----------------------------------------------------------------------------
// Each model's source defines its creator with ZARN_MODEL_CREATOR; a model not built into the
// library leaves its creator null.
#define ZARN_MODEL(Class) ZarnScannerBase* ZarnNew##Class() __attribute__((weak));
ZARN_MODEL(ZarnScannerPloverA)
ZARN_MODEL(ZarnScannerPloverB)
ZARN_MODEL(ZarnScannerPloverE)
ZARN_MODEL(ZarnScannerPloverC)
ZARN_MODEL(ZarnScannerPloverD)
ZARN_MODEL(ZarnScannerKestrelA)
ZARN_MODEL(ZarnScannerKestrelB)
ZARN_MODEL(ZarnScannerKestrelC)
ZARN_MODEL(ZarnScannerKestrelD)
ZARN_MODEL(ZarnScannerVireoA)
ZARN_MODEL(ZarnScannerVireoB)
ZARN_MODEL(ZarnScannerTanagerA)
ZARN_MODEL(ZarnScannerTanagerB)
ZARN_MODEL(ZarnScannerLinnetA)
ZARN_MODEL(ZarnScannerLinnetB)
ZARN_MODEL(ZarnScannerFinch)
ZARN_MODEL(ZarnScannerSiskinA)
ZARN_MODEL(ZarnScannerSiskinB)
#undef ZARN_MODEL

namespace {

constexpr int kAnySubType = INT_MIN;  // any sub-type, also "no device found" (-1)

struct ModelRow {
    int type;
    int subType;  // the first row of the type whose sub-type matches (or is kAnySubType) wins
    ZarnScannerBase* (*create)();
    const char* name;  // the model's device-description name
};

// One row per model class.
const ModelRow kModels[] = {
    {501, kAnySubType, &ZarnNewZarnScannerPloverB, "Tessik PloverB"},
    {502, 0, &ZarnNewZarnScannerPloverA, "Tessik PloverA"},
    {502, kAnySubType, &ZarnNewZarnScannerPloverE, "Tessik PloverE"},
    {503, kAnySubType, &ZarnNewZarnScannerKestrelA, "Tessik KestrelA"},
    {601, 0, &ZarnNewZarnScannerPloverC, "Tessik PloverC"},
    {601, kAnySubType, &ZarnNewZarnScannerPloverD, "Tessik PloverD"},
    {602, 0, &ZarnNewZarnScannerKestrelB, "Tessik KestrelB"},
    {602, 1, &ZarnNewZarnScannerKestrelC, "Tessik KestrelC"},
    {602, kAnySubType, &ZarnNewZarnScannerKestrelD, "Tessik KestrelD"},
    {401, kAnySubType, &ZarnNewZarnScannerVireoA, "Tessik VireoA"},
    {402, kAnySubType, &ZarnNewZarnScannerVireoB, "Tessik VireoB"},
    {302, 0, &ZarnNewZarnScannerTanagerA, "Tessik TanagerA"},
    {302, kAnySubType, &ZarnNewZarnScannerTanagerB, "Tessik TanagerB"},
    {303, 0, &ZarnNewZarnScannerLinnetA, "Tessik LinnetA"},
    {303, kAnySubType, &ZarnNewZarnScannerLinnetB, "Tessik LinnetB"},
    {304, kAnySubType, &ZarnNewZarnScannerFinch, "Tessik Finch"},
    {305, kAnySubType, &ZarnNewZarnScannerSiskinB, "SiskinB"},
    {306, kAnySubType, &ZarnNewZarnScannerSiskinA, "SiskinA"},
};

// USB product id tested for each type's sub-type; type 602 is a FireWire scanner.
const struct {
    int type;
    const char* pid;
} kProductIds[] = {
    {501, "pid_2130"}, {502, "pid_2150"}, {503, "pid_2158"}, {601, "pid_2170"}, {401, "pid_2160"}, {402, "pid_2161"},
    {302, "pid_2120"}, {303, "pid_2140"}, {304, "pid_2141"}, {305, "pid_2100"}, {306, "pid_2102"},
};

// Device descriptions in the order they are tested; the first match wins.
const struct {
    const char* text;
    int family;
    const char* detected;
} kDescriptions[] = {
    {"Tessik PloverB", ZARN_FAMILY_PLOVER_B, "Detected PloverB"},
    {"Tessik PloverA", ZARN_FAMILY_PLOVER_A, "Detected PloverA"},
    {"KestrelB-Firewire", ZARN_FAMILY_KESTREL_B, "Detected KestrelB"},
    {"KestrelB-Flat-Firewire", ZARN_FAMILY_KESTREL_B, "Detected KestrelB"},
    {"KestrelB-II-Firewire", ZARN_FAMILY_KESTREL_B, "Detected KestrelB"},
    {"Tessik KestrelB (TP)", ZARN_FAMILY_KESTREL_A, "Detected KestrelA"},
    {"Tessik PloverC", ZARN_FAMILY_PLOVER_C, "Detected PloverC"},
    {"Tessik KestrelB", ZARN_FAMILY_KESTREL_B, "Detected KestrelB"},
    {"Tessik LinnetA", ZARN_FAMILY_LINNET_A, "Detected LinnetA"},
    {"Tessik TanagerA", ZARN_FAMILY_TANAGER_A, "Detected TanagerA"},
    {"Tessik VireoB", ZARN_FAMILY_VIREO_B, "Detected VireoB"},
    {"Tessik VireoA", ZARN_FAMILY_VIREO_A, "Detected VireoA"},
    {"Tessik Finch", ZARN_FAMILY_FINCH, "Detected Finch"},
    {"Tessik SiskinB", ZARN_FAMILY_SISKIN_B, "Detected SiskinB"},
    {"Tessik SiskinA", ZARN_FAMILY_SISKIN_A, "Detected SiskinA"},
};

const ModelRow* FindModel(int type, int subType) {
    for (const ModelRow& row : kModels)
        if (row.type == type && (row.subType == subType || row.subType == kAnySubType)) return &row;
    return nullptr;
}

unsigned Low(const void* p) { return unsigned(reinterpret_cast<uintptr_t>(p)); }

// A text property of a device; empty when it has none.
std::string TextProperty(const DeviceInfoSet& set, const SP_DEVINFO_DATA& data, DWORD property) {
    std::vector<uint8_t> buffer(64);
    for (;;) {
        DWORD type = 0, required = 0;
        const DWORD error =
            set.GetDeviceRegistryProperty(data, property, &type, buffer.data(), DWORD(buffer.size()), &required);
        if (error == ERROR_SUCCESS) break;
        if (error != ERROR_INSUFFICIENT_BUFFER || required <= buffer.size()) return {};
        buffer.resize(required);
    }
    // A multi-text (hardware ids) is read as one text: its ids are joined by their NULs.
    std::string text(reinterpret_cast<const char*>(buffer.data()), buffer.size());
    while (!text.empty() && text.back() == '\0') text.pop_back();
    for (char& c : text)
        if (c == '\0') c = ' ';
    return text;
}

// Walks the present devices; `visit` returns false to stop. 0, -618 or -628.
template <class Visit>
int WalkDevices(Visit visit) {
    DWORD error = ERROR_SUCCESS;
    HDEVINFO set = SetupDiGetClassDevs(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, &error);
    if (!set) return ZARN_ERR_DEVICE_INDEX;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA data;
        error = set->EnumDeviceInfo(index, &data);
        if (error != ERROR_SUCCESS) break;
        if (!visit(*set, data)) return 0;
    }
    if (error != ERROR_NO_MORE_ITEMS && error != ERROR_SUCCESS) {
        ZarnTrace().Log(3, "Call SetupDiEnumDeviceInfo()=%d", int(error));
        return ZARN_ERR_ENUMERATION;
    }
    return 0;
}

}  // namespace

const char* I_ModelNameFor(int type, int subType) {
    const ModelRow* row = FindModel(type, subType);
    return row != nullptr && row->create != nullptr ? row->name : nullptr;
}

const char* I_ProductIdText(int type) {
    for (const auto& p : kProductIds)
        if (p.type == type) return p.pid;
    return nullptr;
}

namespace {
// The attached scanners by family: a flag (count false) or a count per family, and the total.
int ConnectedScanners(int* out, bool count) {
    std::memset(out, 0, sizeof(ZarnConnectedScanners));
    int result = WalkDevices([&](const DeviceInfoSet& set, const SP_DEVINFO_DATA& data) {
        if (!(data.ClassGuid == GUID_DEVCLASS_IMAGE)) return true;
        const std::string description = TextProperty(set, data, SPDRP_DEVICEDESC);
        for (const auto& d : kDescriptions) {
            if (!platform::ContainsNoCase(description, d.text)) continue;
            out[d.family] = count ? out[d.family] + 1 : 1;
            ++out[0];
            ZarnTrace().LogText(2, d.detected);
            break;
        }
        return true;
    });
    if (result == 0 && out[0] == 0) result = ZARN_ERR_NO_SCANNER;
    return result;
}
}  // namespace

int I_GetConnectedScanner(int* out) {
    ZarnTrace().Log(3, "Enter I_GetConnectedScanner(0x%x)", Low(out));
    const int result = ConnectedScanners(out, false);
    ZarnTrace().Log(3, "Exit  I_GetConnectedScanner()=%d", result);
    return result;
}

int I_GetConnectedNum(int* counts) {
    ZarnTrace().Log(3, "Enter I_GetConnectedNum(0x%x)", Low(counts));
    const int result = ConnectedScanners(counts, true);
    ZarnTrace().Log(3, "Exit  I_GetConnectedNum()=%d", result);
    return result;
}

int I_GetDeviceSubType(int type, int* subType, int deviceIndex) {
    ZarnTrace().Log(3, "Enter I_GetDeviceSubType(%d, 0x%x)", type, Low(subType));
    const char* pid = I_ProductIdText(type);
    int seen = 0;
    const int result = WalkDevices([&](const DeviceInfoSet& set, const SP_DEVINFO_DATA& data) {
        const std::string id = TextProperty(set, data, SPDRP_HARDWAREID);
        int found = -1;
        if (platform::ContainsNoCase(id, "vid_0547") || platform::ContainsNoCase(id, "vid_6d3b")) {
            if (pid != nullptr && platform::ContainsNoCase(id, pid)) found = platform::ContainsNoCase(id, "rev_0000") ? 0 : 1;
        } else if (type == 602) {
            // The longer names first: "KestrelB-Firewire" is no part of the other two.
            if (platform::ContainsNoCase(id, "KestrelB-Flat-Firewire"))
                found = 1;
            else if (platform::ContainsNoCase(id, "KestrelB-II-Firewire"))
                found = 2;
            else if (platform::ContainsNoCase(id, "KestrelB-Firewire"))
                found = 0;
        }
        if (found < 0 || seen++ != deviceIndex) return true;
        *subType = found;
        ZarnTrace().Log(3, "Detected ZARN_SCANNER_SUB_TYPE_%d", found);
        return false;
    });
    ZarnTrace().Log(3, "Exit  I_GetDeviceSubType()=%d", result);
    return result;
}

int I_NewObjectFromType(int type, int deviceIndex) {
    ZarnTrace().Log(2, "Enter I_NewObjectFromType(%d, 0x%x)", type, unsigned(deviceIndex));
    int subType = -1;
    int result = I_GetDeviceSubType(type, &subType, deviceIndex);
    if (result == 0) {
        const ModelRow* row = FindModel(type, subType);
        if (row == nullptr || row->create == nullptr) {
            result = ZARN_ERR_UNKNOWN_SCANNER_TYPE;
        } else if (ZarnScannerBase* scanner = row->create()) {
            g_pScanner = scanner;
        } else {
            result = ZARN_ERR_MEM_ALLOC;
        }
    }
    ZarnTrace().Log(result == 0 ? 2 : 0, "Exit  I_NewObjectFromType()=%d", result);
    return result;
}

int I_SetCpuPowerLevel(int level) {
    ZarnTrace().Log(4, "Enter I_SetCpuPowerLevel(%d)", level);
    ZarnTrace().Log(4, "Change CPU power state to level C%d succeeded", level);
    ZarnTrace().Log(4, "Exit  I_SetCpuPowerLevel()=0x%x", 0u);
    return 0;
}

int I_GetCpuPowerLevel(int* level) {
    *level = 0;
    ZarnTrace().Log(4, "Exit  I_GetCpuPowerLevel()=%d, return %d", *level, 0);
    return 0;
}

void I_MakeVersionText(const char* buildDate, char* out, size_t size) { ZarnVersionText(buildDate, 2006, out, size); }

int I_MakeApiVersion(char* out) {
#ifdef TESSIK_ZARN_BUILD_DATE
    I_MakeVersionText(TESSIK_ZARN_BUILD_DATE, out, ZARN_TEXT_LENGTH);
#else
    I_MakeVersionText(__DATE__, out, ZARN_TEXT_LENGTH);
#endif
    return 0;
}
