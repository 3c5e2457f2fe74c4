#include "platform/DriverDevices.h"

#include <algorithm>
#include <cctype>
#include <mutex>

namespace platform {

namespace {

struct Host {
    std::mutex mutex;
    std::shared_ptr<tessik::driver::DeviceManager> manager;
};

Host& TheHost() {
    static Host host;
    return host;
}

}  // namespace

std::shared_ptr<tessik::driver::DeviceManager> DriverDevices::Manager(std::string* error) {
    Host& h = TheHost();
    std::lock_guard lock(h.mutex);
    if (!h.manager) {
        std::string why;
        h.manager = tessik::driver::DeviceManager::FromEnvironment(&why);
        if (!h.manager && error) *error = why;
    }
    return h.manager;
}

void DriverDevices::Use(std::shared_ptr<tessik::driver::DeviceManager> manager) {
    Host& h = TheHost();
    std::shared_ptr<tessik::driver::DeviceManager> old;
    {
        std::lock_guard lock(h.mutex);
        old.swap(h.manager);
        h.manager = std::move(manager);
    }
    // The previous manager (if nobody else holds it) closes its devices here, outside the lock.
}

std::vector<std::shared_ptr<tessik::driver::Device>> DriverDevices::Present(std::string* error) {
    std::vector<std::shared_ptr<tessik::driver::Device>> out;
    auto manager = Manager(error);
    if (!manager) return out;
    for (auto& d : manager->Devices())
        if (d && !d->IsGone()) out.push_back(d);
    return out;
}

bool ContainsNoCase(const std::string& text, const std::string& part) {
    auto it = std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != text.end();
}

}  // namespace platform
