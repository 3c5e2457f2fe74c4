#include "platform/FireWireCameras.h"

#include <mutex>

namespace platform {

namespace {

struct Host {
    std::mutex mutex;
    std::shared_ptr<firewire::Bus> bus;
};

Host& TheHost() {
    static Host host;
    return host;
}

}  // namespace

void FireWireCameras::Use(std::shared_ptr<firewire::Bus> bus) {
    Host& h = TheHost();
    std::lock_guard lock(h.mutex);
    h.bus = std::move(bus);
}

std::vector<std::shared_ptr<firewire::Camera>> FireWireCameras::Present() {
    std::shared_ptr<firewire::Bus> bus;
    {
        Host& h = TheHost();
        std::lock_guard lock(h.mutex);
        bus = h.bus;
    }
    std::vector<std::shared_ptr<firewire::Camera>> out;
    if (!bus) return out;
    for (auto& c : bus->Cameras())
        if (c && c->IsAttached()) out.push_back(c);
    return out;
}

std::string FireWireCameras::DevicePath(const firewire::Camera& camera) {
    return "\\\\?\\1394#" + camera.HardwareId() + "#" + camera.Location().substr(0, 64) + "#{imaging}";
}

}  // namespace platform
