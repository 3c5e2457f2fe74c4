// The devices on a bus, and the choice of bus at run time.

#include <cstdlib>
#include <map>
#include <mutex>

#include "driver/TessikDriver.h"
#include "sim/SimBus.h"

namespace tessik::driver {

namespace {

// A bus without devices, for a system without a USB backend.
class EmptyBus : public platform::usb::Bus {
public:
    std::vector<std::shared_ptr<platform::usb::Transport>> Devices() override { return {}; }
    void SetChangeHandler(std::function<void(std::shared_ptr<platform::usb::Transport>, bool)>) override {}
};

}  // namespace

struct DeviceManager::State {
    Device::Timing timing;
    std::mutex mutex;
    std::map<platform::usb::Transport*, std::shared_ptr<Device>> devices;
    std::vector<std::shared_ptr<Device>> order;
    std::function<void(std::shared_ptr<Device>, bool)> handler;

    std::shared_ptr<Device> Arrive(const std::shared_ptr<platform::usb::Transport>& usb) {
        auto dev = Device::Create(usb, timing);
        if (!dev || !NT_SUCCESS(dev->Initialize())) return nullptr;
        std::lock_guard lock(mutex);
        devices[usb.get()] = dev;
        order.push_back(dev);
        return dev;
    }
    std::shared_ptr<Device> Leave(platform::usb::Transport* usb) {
        std::lock_guard lock(mutex);
        auto it = devices.find(usb);
        if (it == devices.end()) return nullptr;
        auto dev = it->second;
        devices.erase(it);
        std::erase(order, dev);
        return dev;
    }
};

DeviceManager::DeviceManager(std::shared_ptr<platform::usb::Bus> bus, Device::Timing timing)
    : bus_(bus ? std::move(bus) : std::make_shared<EmptyBus>()), state_(std::make_shared<State>()) {
    state_->timing = timing;
    std::weak_ptr<State> weak = state_;
    bus_->SetChangeHandler([weak](std::shared_ptr<platform::usb::Transport> usb, bool arrived) {
        auto st = weak.lock();
        if (!st) return;
        std::shared_ptr<Device> dev = arrived ? st->Arrive(usb) : st->Leave(usb.get());
        if (!dev) return;
        std::function<void(std::shared_ptr<Device>, bool)> h;
        {
            std::lock_guard lock(st->mutex);
            h = st->handler;
        }
        if (h) h(dev, arrived);
    });
    for (auto& usb : bus_->Devices()) state_->Arrive(usb);
}

DeviceManager::~DeviceManager() {
    bus_->SetChangeHandler(nullptr);
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard lock(state_->mutex);
        devices.swap(state_->order);
        state_->devices.clear();
    }
    for (auto& d : devices) d->Uninitialize();
}

std::vector<std::shared_ptr<Device>> DeviceManager::Devices() {
    std::lock_guard lock(state_->mutex);
    return state_->order;
}

void DeviceManager::SetChangeHandler(std::function<void(std::shared_ptr<Device>, bool)> handler) {
    std::lock_guard lock(state_->mutex);
    state_->handler = std::move(handler);
}

std::shared_ptr<platform::usb::Bus> DeviceManager::OpenBus(const std::string& selector, std::string* error) {
    if (selector.empty()) return std::make_shared<EmptyBus>();
    return sim::OpenSimBus(selector, error);
}

std::shared_ptr<DeviceManager> DeviceManager::FromEnvironment(std::string* error, Device::Timing timing) {
    const char* env = std::getenv("TESSIK_USB");
    auto bus = OpenBus(env ? env : "", error);
    if (!bus) return nullptr;
    return std::make_shared<DeviceManager>(bus, timing);
}

}  // namespace tessik::driver
