#pragma once
// The FireWire cameras of this process, beside the camera driver's USB devices: the device
// registry and the video-capture layer list both. There is no FireWire bus until one is given;
// tests and the demo give the simulated one.

#include <memory>
#include <string>
#include <vector>

#include "platform/FireWireCamera.h"

namespace platform {

class __attribute__((visibility("default"))) FireWireCameras {
public:
    // Uses `bus` from now on; null: no FireWire bus.
    static void Use(std::shared_ptr<firewire::Bus> bus);
    // The attached cameras.
    static std::vector<std::shared_ptr<firewire::Camera>> Present();
    // "\\?\1394#<hardware id>#<location>#{imaging}"
    static std::string DevicePath(const firewire::Camera& camera);
};

}  // namespace platform
