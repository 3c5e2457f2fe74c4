#pragma once
// The device registry: the list of device records the capture libraries walk to learn which
// scanners and cameras are attached, in the style of the system's device set-up interface. Every
// device the camera driver has presented to this process, and every FireWire camera, has a record in
// the Imaging class, with its description, hardware id and device path; a record stays, marked not
// present, after its device has gone.
//
//   DWORD error = 0;
//   auto set = SetupDiGetClassDevs(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, &error);
//   for (DWORD i = 0;; ++i) {
//       SP_DEVINFO_DATA data;
//       error = set->EnumDeviceInfo(i, &data);
//       if (error) break;  // ERROR_NO_MORE_ITEMS after the last one
//       ... set->GetDeviceRegistryProperty(data, SPDRP_DEVICEDESC, &type, buffer, size, &required) ...
//   }

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Guid.h"

namespace platform::setup {

using DWORD = uint32_t;

// Error codes.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;

// Flags of SetupDiGetClassDevs.
inline constexpr DWORD DIGCF_PRESENT = 0x2;
inline constexpr DWORD DIGCF_ALLCLASSES = 0x4;

// Record properties.
inline constexpr DWORD SPDRP_DEVICEDESC = 0x0;   // text
inline constexpr DWORD SPDRP_HARDWAREID = 0x1;   // multi-text: each id NUL-terminated, then one more NUL
inline constexpr DWORD SPDRP_CLASSGUID = 0x8;    // text, "{6BDD1FC6-...}"
inline constexpr DWORD SPDRP_FRIENDLYNAME = 0xC; // text

// Value types of a property.
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_MULTI_SZ = 7;

// The Imaging device class.
inline constexpr Guid GUID_DEVCLASS_IMAGE = {0x6BDD1FC6, 0x810F, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

// One device of a set.
struct SP_DEVINFO_DATA {
    Guid ClassGuid;
    DWORD DevInst = 0;     // the device's number in the registry, stable while the process runs
    bool Present = false;  // attached and working
};

// A snapshot of the registry, taken when the set is opened.
class DeviceInfoSet {
public:
    struct Record {
        Guid classGuid;
        DWORD devInst = 0;
        bool present = false;
        std::string description;
        std::string hardwareId;
        std::string devicePath;
        std::string enumerator = "USB";  // "USB", or "1394" for a FireWire camera
    };
    explicit DeviceInfoSet(std::vector<Record> records) : records_(std::move(records)) {}

    // ERROR_SUCCESS with the index-th device, or ERROR_NO_MORE_ITEMS past the last one.
    DWORD EnumDeviceInfo(DWORD index, SP_DEVINFO_DATA* data) const;

    // Copies a property into `buffer`. `requiredSize` (when given) receives the size it needs in
    // bytes, terminating NULs included; a buffer that is too small (or null) gets
    // ERROR_INSUFFICIENT_BUFFER and is left alone. A property the device lacks: ERROR_INVALID_DATA.
    DWORD GetDeviceRegistryProperty(const SP_DEVINFO_DATA& data, DWORD property, DWORD* propertyRegDataType,
                                    uint8_t* buffer, DWORD bufferSize, DWORD* requiredSize) const;

    const std::vector<Record>& Records() const { return records_; }

private:
    const Record* Find(const SP_DEVINFO_DATA& data) const;
    std::vector<Record> records_;
};

using HDEVINFO = std::unique_ptr<DeviceInfoSet>;

// Opens a set of the registry's devices: those of `classGuid` (all classes with DIGCF_ALLCLASSES),
// only the present ones with DIGCF_PRESENT. `enumerator` is an enumerator name ("USB") or null for
// all. Null with `error` set when the list cannot be opened.
HDEVINFO SetupDiGetClassDevs(const Guid* classGuid, const char* enumerator, DWORD flags, DWORD* error = nullptr);

// Test seam: makes the registry fail as a broken device database would.
struct RegistryFaults {
    DWORD openError = ERROR_SUCCESS;  // SetupDiGetClassDevs fails with this
    int enumFailsAt = -1;             // EnumDeviceInfo at this index fails with enumError
    DWORD enumError = ERROR_GEN_FAILURE;
};
void SetRegistryFaults(const RegistryFaults& faults);

}  // namespace platform::setup
