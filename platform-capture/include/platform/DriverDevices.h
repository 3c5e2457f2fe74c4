#pragma once
// The camera driver's devices for this process, shared by the device registry and the
// video-capture layer. By default they are the devices on the USB bus that TESSIK_USB selects,
// opened on first use; tests put a manager over their own bus in its place.
//
// Both capture libraries link this code; the two entry points are exported so that a process
// holding both libraries resolves them to one definition and sees one set of devices.

#include <memory>
#include <string>
#include <vector>

#include "driver/TessikDriver.h"

namespace platform {

class __attribute__((visibility("default"))) DriverDevices {
public:
    // The process's device manager; null (and `error` set) when the selected bus cannot be opened.
    static std::shared_ptr<tessik::driver::DeviceManager> Manager(std::string* error = nullptr);

    // Uses `manager` from now on; null goes back to the bus TESSIK_USB selects.
    static void Use(std::shared_ptr<tessik::driver::DeviceManager> manager);

    // The devices that are attached and working, in the order they arrived.
    static std::vector<std::shared_ptr<tessik::driver::Device>> Present(std::string* error = nullptr);
};

// Case-insensitive substring test, as device descriptions, hardware ids and device paths are
// matched.
bool ContainsNoCase(const std::string& text, const std::string& part);

}  // namespace platform
