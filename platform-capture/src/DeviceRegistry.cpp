#include "platform/DeviceRegistry.h"

#include <algorithm>
#include <cstring>
#include <strings.h>
#include <mutex>

#include "platform/DriverDevices.h"
#include "platform/FireWireCameras.h"

namespace platform::setup {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<DeviceInfoSet::Record> known;  // every device seen, in the order it was first seen
    RegistryFaults faults;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

// One attached device as the registry records it.
struct Seen {
    std::string devicePath, description, hardwareId, enumerator;
    bool present = false;
};

std::vector<Seen> AttachedDevices(const std::vector<std::shared_ptr<tessik::driver::Device>>& devices) {
    std::vector<Seen> out;
    for (const auto& d : devices) {
        const tessik::driver::DeviceIdentity id = d->Identity();
        out.push_back({id.devicePath, id.description, id.hardwareId, "USB", !d->IsGone()});
    }
    for (const auto& c : FireWireCameras::Present())
        out.push_back({FireWireCameras::DevicePath(*c), c->Description(), c->HardwareId(), "1394", c->IsAttached()});
    return out;
}

// Brings the records up to date with the attached devices: new devices get a record, devices no
// longer present keep theirs, marked not present. A device that comes back (the same device path)
// takes its old record again.
void RefreshLocked(Registry& r, const std::vector<Seen>& devices) {
    for (auto& rec : r.known) rec.present = false;
    for (const auto& d : devices) {
        auto it = std::find_if(r.known.begin(), r.known.end(),
                               [&](const DeviceInfoSet::Record& rec) { return rec.devicePath == d.devicePath; });
        if (it == r.known.end()) {
            DeviceInfoSet::Record rec;
            rec.classGuid = GUID_DEVCLASS_IMAGE;
            rec.devInst = DWORD(r.known.size() + 1);
            rec.devicePath = d.devicePath;
            r.known.push_back(rec);
            it = r.known.end() - 1;
        }
        it->description = d.description;
        it->hardwareId = d.hardwareId;
        it->enumerator = d.enumerator;
        it->present = d.present;
    }
}

DWORD CopyOut(const std::string& bytes, uint8_t* buffer, DWORD bufferSize, DWORD* requiredSize) {
    const DWORD need = DWORD(bytes.size());
    if (requiredSize) *requiredSize = need;
    if (!buffer || bufferSize < need) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, bytes.data(), need);
    return ERROR_SUCCESS;
}

}  // namespace

HDEVINFO SetupDiGetClassDevs(const Guid* classGuid, const char* enumerator, DWORD flags, DWORD* error) {
    auto fail = [&](DWORD e) {
        if (error) *error = e;
        return HDEVINFO{};
    };
    if (flags & ~(DIGCF_PRESENT | DIGCF_ALLCLASSES)) return fail(ERROR_INVALID_FLAGS);
    if (!classGuid && !(flags & DIGCF_ALLCLASSES)) return fail(ERROR_INVALID_PARAMETER);

    Registry& r = TheRegistry();
    {
        std::lock_guard lock(r.mutex);
        if (r.faults.openError != ERROR_SUCCESS) return fail(r.faults.openError);
    }
    auto manager = DriverDevices::Manager();
    if (!manager) return fail(ERROR_INVALID_DATA);
    const std::vector<Seen> devices = AttachedDevices(manager->Devices());

    std::vector<DeviceInfoSet::Record> picked;
    {
        std::lock_guard lock(r.mutex);
        RefreshLocked(r, devices);
        for (const auto& rec : r.known) {
            if ((flags & DIGCF_PRESENT) && !rec.present) continue;
            if (!(flags & DIGCF_ALLCLASSES) && rec.classGuid != *classGuid) continue;
            // USB devices come from the camera driver, "1394" ones from the FireWire bus.
            if (enumerator && *enumerator && strcasecmp(enumerator, rec.enumerator.c_str()) != 0) continue;
            picked.push_back(rec);
        }
    }
    if (error) *error = ERROR_SUCCESS;
    return std::make_unique<DeviceInfoSet>(std::move(picked));
}

DWORD DeviceInfoSet::EnumDeviceInfo(DWORD index, SP_DEVINFO_DATA* data) const {
    if (!data) return ERROR_INVALID_PARAMETER;
    {
        Registry& r = TheRegistry();
        std::lock_guard lock(r.mutex);
        if (r.faults.enumFailsAt >= 0 && DWORD(r.faults.enumFailsAt) == index) return r.faults.enumError;
    }
    if (index >= records_.size()) return ERROR_NO_MORE_ITEMS;
    const Record& rec = records_[index];
    data->ClassGuid = rec.classGuid;
    data->DevInst = rec.devInst;
    data->Present = rec.present;
    return ERROR_SUCCESS;
}

const DeviceInfoSet::Record* DeviceInfoSet::Find(const SP_DEVINFO_DATA& data) const {
    for (const auto& rec : records_)
        if (rec.devInst == data.DevInst) return &rec;
    return nullptr;
}

DWORD DeviceInfoSet::GetDeviceRegistryProperty(const SP_DEVINFO_DATA& data, DWORD property,
                                               DWORD* propertyRegDataType, uint8_t* buffer, DWORD bufferSize,
                                               DWORD* requiredSize) const {
    const Record* rec = Find(data);
    if (!rec) return ERROR_INVALID_PARAMETER;
    std::string bytes;
    DWORD type = REG_SZ;
    switch (property) {
        case SPDRP_DEVICEDESC:
        case SPDRP_FRIENDLYNAME:
            bytes = rec->description;
            bytes.push_back('\0');
            break;
        case SPDRP_HARDWAREID:
            type = REG_MULTI_SZ;
            bytes = rec->hardwareId;
            bytes.append(2, '\0');
            break;
        case SPDRP_CLASSGUID:
            bytes = rec->classGuid.ToString();
            bytes.push_back('\0');
            break;
        default:
            return ERROR_INVALID_DATA;
    }
    if (propertyRegDataType) *propertyRegDataType = type;
    return CopyOut(bytes, buffer, bufferSize, requiredSize);
}

void SetRegistryFaults(const RegistryFaults& faults) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.faults = faults;
}

}  // namespace platform::setup
