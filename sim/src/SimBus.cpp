#include "sim/SimBus.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

#include "Notifier.h"

namespace sim {

SimBus::SimBus() : notifier_(std::make_unique<Notifier>()) {}

SimBus::~SimBus() {
    {
        std::lock_guard lock(mutex_);
        for (auto& e : devices_) e.device->SetAttachHandler(nullptr);
    }
    notifier_.reset();
    std::vector<Entry> devices;
    {
        std::lock_guard lock(mutex_);
        devices.swap(devices_);
    }
}

std::shared_ptr<SimDevice> SimBus::Add(DeviceConfig config) {
    std::shared_ptr<SimDevice> device;
    {
        std::lock_guard lock(mutex_);
        if (config.location.empty()) {
            // Iris units carry their eye in the location, which the device path shows.
            config.location = "1-" + std::to_string(devices_.size() + 1);
            if (config.model == ModelId::IrisLeft) config.location += "-irisl";
            if (config.model == ModelId::IrisRight) config.location += "-irisr";
        }
        device = SimDevice::Create(config);
        devices_.push_back({"", device});
    }
    std::weak_ptr<SimDevice> weak = device;
    // The device's own notice thread never holds the device, so the device is never destroyed
    // on it.
    device->SetAttachHandler([this, weak](bool attached) {
        std::function<void(std::shared_ptr<platform::usb::Transport>, bool)> h;
        {
            std::lock_guard lock(mutex_);
            h = handler_;
        }
        if (h)
            notifier_->Post([h, weak, attached] {
                if (auto d = weak.lock()) h(d, attached);
            });
    });
    return device;
}

std::vector<std::shared_ptr<platform::usb::Transport>> SimBus::Devices() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<platform::usb::Transport>> out;
    for (auto& e : devices_)
        if (e.device->IsAttached()) out.push_back(e.device);
    return out;
}

void SimBus::SetChangeHandler(std::function<void(std::shared_ptr<platform::usb::Transport>, bool)> handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<std::shared_ptr<SimDevice>> SimBus::SimDevices() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<SimDevice>> out;
    for (auto& e : devices_) out.push_back(e.device);
    return out;
}

std::shared_ptr<SimDevice> SimBus::Find(const std::string& name) {
    std::lock_guard lock(mutex_);
    for (auto& e : devices_)
        if (e.name == name) return e.device;
    return nullptr;
}

void SimBus::SetName(const std::shared_ptr<SimDevice>& device, const std::string& name) {
    std::lock_guard lock(mutex_);
    for (auto& e : devices_)
        if (e.device == device) e.name = name;
}

namespace {

std::optional<FingerLayout> LayoutByName(const std::string& s) {
    if (s == "left-slap") return FingerLayout::LeftSlap;
    if (s == "right-slap") return FingerLayout::RightSlap;
    if (s == "thumbs") return FingerLayout::TwoThumbs;
    if (s == "single") return FingerLayout::SingleFinger;
    return std::nullopt;
}

bool ParseNumber(const std::string& s, double& out) {
    try {
        size_t used = 0;
        out = std::stod(s, &used);
        return used == s.size() && out == out;
    } catch (...) {
        return false;
    }
}

bool ParseOnOff(const std::string& s, bool& out) {
    if (s == "on") return out = true, true;
    if (s == "off") return out = false, true;
    return false;
}

// Parses "<action> [arguments]" starting at words[i].
std::optional<DeviceAction> ParseAction(const std::vector<std::string>& w, size_t i, std::string& why) {
    if (i >= w.size()) return why = "action missing", std::nullopt;
    const std::string& a = w[i];
    const size_t args = w.size() - i - 1;
    DeviceAction act;
    auto need = [&](size_t n) {
        if (args != n) why = "'" + a + "' takes " + std::to_string(n) + " argument(s)";
        return args == n;
    };
    double num = 0;
    if (a == "empty" || a == "hold" || a == "lift" || a == "unplug" || a == "replug") {
        if (!need(0)) return std::nullopt;
        act.kind = a == "empty"    ? DeviceAction::Empty
                   : a == "hold"   ? DeviceAction::Move  // nothing changes
                   : a == "lift"   ? DeviceAction::Lift
                   : a == "unplug" ? DeviceAction::Unplug
                                   : DeviceAction::Replug;
        return act;
    }
    if (a == "place") {
        if (!need(1)) return std::nullopt;
        auto layout = LayoutByName(w[i + 1]);
        if (!layout) return why = "unknown finger layout '" + w[i + 1] + "'", std::nullopt;
        act.kind = DeviceAction::Place;
        act.layout = *layout;
        return act;
    }
    if (a == "move") {
        if (!need(2)) return std::nullopt;
        if (!ParseNumber(w[i + 1], act.x) || !ParseNumber(w[i + 2], act.y) || std::abs(act.x) > 100 || std::abs(act.y) > 100)
            return why = "bad distance", std::nullopt;
        act.kind = DeviceAction::Move;
        return act;
    }
    if (a == "roll" || a == "blink") {
        if (!need(1)) return std::nullopt;
        if (!ParseNumber(w[i + 1], num) || num < 1 || num > 10000) return why = "bad frame count", std::nullopt;
        act.kind = a == "roll" ? DeviceAction::Roll : DeviceAction::Blink;
        act.frames = int(num);
        return act;
    }
    if (a == "key") {
        if (!need(1)) return std::nullopt;
        try {
            size_t used = 0;
            const unsigned long v = std::stoul(w[i + 1], &used, 0);
            if (used != w[i + 1].size() || v > 255) throw 0;
            act.value = uint8_t(v);
        } catch (...) {
            return why = "bad key value", std::nullopt;
        }
        act.kind = DeviceAction::Key;
        return act;
    }
    // The iris camera's eye: position (frame fractions), distance, blink, gaze and head roll.
    if (a == "eye-at") {
        if (!need(2)) return std::nullopt;
        if (!ParseNumber(w[i + 1], act.x) || !ParseNumber(w[i + 2], act.y) || act.x < -0.5 || act.x > 1.5 ||
            act.y < -0.5 || act.y > 1.5)
            return why = "bad eye position", std::nullopt;
        act.kind = DeviceAction::EyeAt;
        return act;
    }
    if (a == "distance" || a == "head-roll") {
        if (!need(1)) return std::nullopt;
        const bool distance = a == "distance";
        if (!ParseNumber(w[i + 1], act.x) || (distance ? act.x < 50 || act.x > 3000 : std::abs(act.x) > 90))
            return why = distance ? "bad distance" : "bad angle", std::nullopt;
        act.kind = distance ? DeviceAction::Distance : DeviceAction::HeadRoll;
        return act;
    }
    if (a == "look-away") {
        if (!need(1)) return std::nullopt;
        if (!ParseOnOff(w[i + 1], act.on)) return why = "expected on or off", std::nullopt;
        act.kind = DeviceAction::LookAway;
        return act;
    }
    if (a == "dirty" || a == "eye" || a == "pattern" || a == "footswitch") {
        if (!need(1)) return std::nullopt;
        if (!ParseOnOff(w[i + 1], act.on)) return why = "expected on or off", std::nullopt;
        act.kind = a == "dirty" ? DeviceAction::Dirty : a == "eye" ? DeviceAction::Eye : a == "pattern" ? DeviceAction::Pattern
                                                                                                       : DeviceAction::Key;
        if (a == "footswitch") act.value = act.on ? 0x04 : 0x00;
        return act;
    }
    if (a == "set") {
        // Scene knobs: set <name> <value>; a few take words instead of numbers.
        if (!need(2)) return std::nullopt;
        static const std::map<std::string, std::map<std::string, double>> words = {
            {"gap", {{"separate", 0}, {"close", 1}, {"touching", 2}}},
            {"skin", {{"normal", 0}, {"dry", 1}, {"wet", 2}}},
            {"roll-fault", {{"none", 0}, {"back", 1}, {"slide", 2}, {"narrow", 3}}},
            {"tremor", {{"off", 0}, {"on", 1}}},
        };
        static const std::map<std::string, std::pair<double, double>> ranges = {
            {"rotation", {-90, 90}}, {"fingers", {0, 15}}, {"pressure", {0.3, 1.6}}, {"phalanx", {0, 1}},
            {"lamp", {0, 2}},        {"drift", {-1, 1}},   {"landing", {1, 100}},    {"defect-row", {0, 10000}},
            {"defect-column", {0, 10000}}, {"restless", {0, 5}}, {"gain", {0, 32}}, {"card", {0, 4000}},
        };
        act.kind = DeviceAction::Set;
        act.name = w[i + 1];
        if (act.name == "firmware") {
            // One to four printable characters, as the hardware word of the device text holds them.
            const std::string& v = w[i + 2];
            if (v.size() > 4 || std::any_of(v.begin(), v.end(), [](char c) { return c < 0x21 || c > 0x7E; }))
                return why = "bad value '" + v + "' for 'firmware'", std::nullopt;
            act.text = v;
            return act;
        }
        if (auto it = words.find(act.name); it != words.end()) {
            auto v = it->second.find(w[i + 2]);
            if (v == it->second.end()) return why = "bad value '" + w[i + 2] + "' for '" + act.name + "'", std::nullopt;
            act.x = v->second;
            return act;
        }
        auto r = ranges.find(act.name);
        if (r == ranges.end()) return why = "unknown setting '" + act.name + "'", std::nullopt;
        if (!ParseNumber(w[i + 2], act.x) || act.x < r->second.first || act.x > r->second.second)
            return why = "bad value '" + w[i + 2] + "' for '" + act.name + "'", std::nullopt;
        return act;
    }
    why = "unknown action '" + a + "'";
    return std::nullopt;
}

}  // namespace

std::optional<Scenario> ParseScenario(const std::string& text, std::string* error) {
    Scenario sc;
    double periodScale = 1.0;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    auto fail = [&](const std::string& why) -> std::optional<Scenario> {
        if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
        return std::nullopt;
    };
    auto findDevice = [&](const std::string& name) -> Scenario::Device* {
        for (auto& d : sc.devices)
            if (d.name == name) return &d;
        return nullptr;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        std::istringstream ls(line);
        std::vector<std::string> w;
        for (std::string word; ls >> word;) w.push_back(word);
        if (w.empty()) continue;
        if (w.size() > 16) return fail("line too long");
        if (w[0] == "period-scale") {
            if (w.size() != 2 || !ParseNumber(w[1], periodScale) || periodScale <= 0 || periodScale > 100)
                return fail("bad period scale");
        } else if (w[0] == "device") {
            if (w.size() < 3) return fail("device needs a name and a model");
            if (findDevice(w[1]) || w[1] == "*") return fail("device name '" + w[1] + "' used twice");
            auto model = ModelByName(w[2]);
            if (!model) return fail("unknown model '" + w[2] + "'");
            if (sc.devices.size() >= 16) return fail("too many devices");
            Scenario::Device d{w[1], {}};
            d.config.model = *model;
            for (size_t i = 3; i < w.size(); ++i) {
                double v = 0;
                if (w[i] == "pattern") {
                    d.config.testPattern = true;
                } else if ((w[i] == "serial" || w[i] == "period" || w[i] == "timeout" || w[i] == "sensor" ||
                            w[i] == "subject") &&
                           i + 1 < w.size() && ParseNumber(w[i + 1], v) && v >= 0 && v <= 4e9) {
                    if (w[i] == "serial") d.config.serial = uint32_t(v);
                    if (w[i] == "sensor") d.config.sensorType = uint32_t(v);
                    if (w[i] == "subject") d.config.subject = uint32_t(v);
                    if (w[i] == "period") d.config.framePeriodMs = std::max(1.0, v);
                    if (w[i] == "timeout") d.config.frameTimeoutMs = uint16_t(std::min(v, 65535.0));
                    ++i;
                } else {
                    return fail("bad device option '" + w[i] + "'");
                }
            }
            d.config.seed = uint32_t(sc.devices.size() + 1);
            sc.devices.push_back(d);
        } else if (w[0] == "at" || w[0] == "frame") {
            if (w.size() < 4) return fail("'" + w[0] + "' needs a value, a device and an action");
            double at = 0;
            if (!ParseNumber(w[1], at) || at < 0) return fail("bad " + std::string(w[0] == "at" ? "time" : "frame"));
            std::string why;
            auto act = ParseAction(w, 3, why);
            if (!act) return fail(why);
            std::vector<Scenario::Device*> targets;
            if (w[2] == "*") {
                for (auto& d : sc.devices) targets.push_back(&d);
            } else if (auto* d = findDevice(w[2])) {
                targets.push_back(d);
            } else {
                return fail("unknown device '" + w[2] + "'");
            }
            for (auto* d : targets) {
                if (d->config.timeline.size() >= 10000) return fail("too many events");
                d->config.timeline.push_back({w[0] == "frame", at, *act});
            }
        } else {
            return fail("unknown statement '" + w[0] + "'");
        }
    }
    if (sc.devices.empty()) return fail("no device");
    for (auto& d : sc.devices) {
        const double period = d.config.framePeriodMs > 0 ? d.config.framePeriodMs : Traits(d.config.model).framePeriodMs;
        d.config.framePeriodMs = std::max(1.0, period * periodScale);
    }
    return sc;
}

namespace {

const std::map<std::string, std::string>& BuiltIns() {
    static const std::map<std::string, std::string> scenarios = [] {
        // One capture round of a ten-print scanner: empty platen for the calibration, a right
        // slap, a left slap, two thumbs, a roll and a dirty platen, with the foot switch pressed.
        auto tenPrint = [](const std::string& model) {
            return "device " + model + " " + model +
                   "\n"
                   "frame 0 * empty\n"
                   "frame 0 * set tremor on\n"
                   "frame 3 * place right-slap\n"
                   "frame 6 * move 1.5 -1\n"
                   "frame 8 * lift\n"
                   "frame 9 * set rotation -12\n"
                   "frame 9 * set gap close\n"
                   "frame 9 * set phalanx 0.8\n"
                   "frame 9 * place left-slap\n"
                   "frame 12 * lift\n"
                   "frame 12 * set rotation 0\n"
                   "frame 12 * set gap separate\n"
                   "frame 12 * set phalanx 0\n"
                   "frame 13 * set skin dry\n"
                   "frame 13 * place thumbs\n"
                   "frame 16 * footswitch on\n"
                   "frame 17 * footswitch off\n"
                   "frame 17 * lift\n"
                   "frame 17 * set skin normal\n"
                   "frame 18 * roll 8\n"
                   "frame 27 * lift\n"
                   "frame 28 * dirty on\n"
                   "frame 31 * empty\n";
        };
        std::map<std::string, std::string> m;
        m["plovera"] = tenPrint("PloverA");
        m["plovere"] = tenPrint("PloverE");
        m["ploverb"] = tenPrint("PloverB");
        m["vireoa"] =
            "device VireoA VireoA\n"
            "frame 0 * empty\n"
            "frame 0 * set tremor on\n"
            "frame 3 * set skin wet\n"
            "frame 3 * place single\n"
            "frame 8 * lift\n"
            "frame 10 * place thumbs\n"
            "frame 14 * lift\n";
        m["ploverc"] = tenPrint("PloverC");
        m["ploverd"] = tenPrint("PloverD");
        m["kestrela"] = tenPrint("KestrelA");
        m["vireob"] =
            "device VireoB VireoB\n"
            "frame 0 * empty\n"
            "frame 3 * place single\n"
            "frame 8 * lift\n"
            "frame 10 * place thumbs\n"
            "frame 14 * lift\n";
        // The single-finger scanners and the unnamed 1600 x 1200 units: a finger comes and goes.
        auto single = [](std::initializer_list<const char*> models) {
            std::string text;
            for (const char* model : models) text += std::string("device ") + model + " " + model + "\n";
            return text +
                   "frame 0 * empty\n"
                   "frame 3 * place single\n"
                   "frame 6 * move 1 -1\n"
                   "frame 9 * lift\n";
        };
        m["single"] = single({"Finch", "LinnetA", "LinnetB", "SiskinA", "SiskinB", "TanagerA", "TanagerB"});
        m["unnamed"] = single({"Usb2110", "Usb2111", "Usb2112"});
        m["iris"] =
            "device left IrisLeft serial 30001\n"
            "device right IrisRight serial 30002\n"
            "frame 0 * eye off\n"
            "frame 3 * eye on\n"
            "frame 3 * eye-at 0.42 0.55\n"
            "frame 3 * distance 340\n"
            "frame 6 * eye-at 0.5 0.5\n"
            "frame 6 * distance 300\n"
            "frame 12 * blink 6\n"
            "frame 21 * look-away on\n"
            "frame 24 * look-away off\n"
            "frame 27 * head-roll 8\n"
            "frame 33 * head-roll 0\n";
        m["all"] = tenPrint("PloverA") +
                   "device VireoA VireoA\n"
                   "device left IrisLeft serial 30001\n"
                   "device right IrisRight serial 30002\n";
        return m;
    }();
    return scenarios;
}

}  // namespace

std::optional<Scenario> BuiltInScenario(const std::string& name) {
    auto it = BuiltIns().find(name);
    if (it == BuiltIns().end()) return std::nullopt;
    std::string error;
    auto sc = ParseScenario(it->second, &error);
    if (sc) sc->name = name;
    return sc;
}

std::vector<std::string> BuiltInScenarioNames() {
    std::vector<std::string> names;
    for (auto& [n, text] : BuiltIns()) names.push_back(n);
    return names;
}

std::shared_ptr<SimBus> CreateBus(const Scenario& scenario) {
    auto bus = std::make_shared<SimBus>();
    for (const auto& d : scenario.devices) bus->SetName(bus->Add(d.config), d.name);
    return bus;
}

std::shared_ptr<SimBus> OpenSimBus(const std::string& selector, std::string* error) {
    std::optional<Scenario> sc;
    if (selector.rfind("sim:", 0) == 0) {
        sc = BuiltInScenario(selector.substr(4));
        if (!sc && error) *error = "no built-in scenario '" + selector.substr(4) + "'";
    } else {
        std::ifstream f(selector);
        if (!f) {
            if (error) *error = "cannot read scenario file '" + selector + "'";
            return nullptr;
        }
        std::ostringstream text;
        text << f.rdbuf();
        if (text.str().size() > 1 << 20) {
            if (error) *error = "scenario file too large";
            return nullptr;
        }
        sc = ParseScenario(text.str(), error);
        if (sc) sc->name = selector;
    }
    if (!sc) return nullptr;
    return CreateBus(*sc);
}

}  // namespace sim
