#pragma once
// The simulated USB bus and the scenarios that populate and drive it.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/UsbTransport.h"
#include "sim/SimDevice.h"

namespace sim {

class Notifier;

class SimBus : public platform::usb::Bus {
public:
    SimBus();
    ~SimBus() override;

    // Plugs a new device in; its location is "1-<n>" unless the config names one.
    std::shared_ptr<SimDevice> Add(DeviceConfig config);

    std::vector<std::shared_ptr<platform::usb::Transport>> Devices() override;
    void SetChangeHandler(std::function<void(std::shared_ptr<platform::usb::Transport>, bool)> handler) override;

    std::vector<std::shared_ptr<SimDevice>> SimDevices();
    std::shared_ptr<SimDevice> Find(const std::string& name);  // by scenario device name

    void SetName(const std::shared_ptr<SimDevice>& device, const std::string& name);

private:
    struct Entry {
        std::string name;
        std::shared_ptr<SimDevice> device;
    };
    std::mutex mutex_;
    std::vector<Entry> devices_;
    std::function<void(std::shared_ptr<platform::usb::Transport>, bool)> handler_;
    std::unique_ptr<Notifier> notifier_;
};

// A scenario: the devices on the bus and what happens to them.
//
// Text form, one statement a line, '#' starts a comment:
//   period-scale <factor>                      scales every frame period (tests use small values)
//   device <name> <model> [serial <n>] [period <ms>] [timeout <ms>] [sensor <type>] [pattern]
//   at <ms> <name|*> <action> [arguments]      keyed to the time since the bus started
//   frame <n> <name|*> <action> [arguments]    keyed to frames sent since the stream started
// Actions: empty, place <left-slap|right-slap|thumbs|single>, hold, lift, move <dx-mm> <dy-mm>,
// roll <frames>, dirty <on|off>, key <value>, footswitch <on|off>, eye <on|off>,
// pattern <on|off>, unplug, replug, set <knob> <value>. Knobs: rotation <deg>, gap
// <separate|close|touching>, fingers <mask 0..15>, pressure <0.3..1.6>, skin <normal|dry|wet>,
// phalanx <0..1>, lamp <0..2>, drift <per minute>, roll-fault <none|back|slide|narrow>, landing
// <frames>, tremor <on|off>, restless <step mm 0..5>, defect-row <row>, defect-column <column>,
// gain <factor> (iris camera: the sensor's analogue gain, signal and noise), card <albedo> (iris
// camera: a uniform grey card of that albedo, lit by the LEDs, in place of the eye; 0 removes it),
// firmware <text> (1 to 4 characters: the firmware text in bytes 12..15 of the device text, "1203"
// unless set; the driver reads the text when it starts the device, so set it with "at 0").
struct Scenario {
    std::string name;
    struct Device {
        std::string name;
        DeviceConfig config;
    };
    std::vector<Device> devices;
};

// Parses scenario text; on failure returns nothing and sets `error` to "line <n>: <reason>".
std::optional<Scenario> ParseScenario(const std::string& text, std::string* error);

// Built-in scenarios by name: "plovera", "plovere", "ploverb", "ploverc", "ploverd", "kestrela",
// "vireoa", "vireob", "single" (Finch, Linnet, Siskin, Tanager), "unnamed" (the 1600 x 1200 units
// 0x2110 to 0x2112), "iris", "all".
std::optional<Scenario> BuiltInScenario(const std::string& name);
std::vector<std::string> BuiltInScenarioNames();

// A bus holding the scenario's devices, their timelines running.
std::shared_ptr<SimBus> CreateBus(const Scenario& scenario);

// "sim:<name>" names a built-in scenario; anything else is a scenario file path.
std::shared_ptr<SimBus> OpenSimBus(const std::string& selector, std::string* error);

}  // namespace sim
