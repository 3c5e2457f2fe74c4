#pragma once
// A simulated device under the driver, with short frame periods and time-outs.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "driver/TessikDriver.h"
#include "sim/SimDevice.h"

namespace drvtest {

using namespace tessik::driver;

inline Device::Timing FastTiming() {
    Device::Timing t;
    t.controlTimeoutMs = 60;
    t.removalWaitMs = 1000;
    t.defaultFrameTimeoutMs = 2000;
    return t;
}

struct Rig {
    std::shared_ptr<sim::SimDevice> sim;
    std::shared_ptr<Device> dev;

    explicit Rig(sim::ModelId model, double periodMs = 15, bool pattern = true) {
        sim::DeviceConfig c;
        c.model = model;
        c.framePeriodMs = periodMs;
        c.testPattern = pattern;
        c.location = "t-1";
        Make(c);
    }
    explicit Rig(const sim::DeviceConfig& c) { Make(c); }
    void Make(const sim::DeviceConfig& c) {
        sim = sim::SimDevice::Create(c);
        dev = Device::Create(sim, FastTiming());
    }
    ~Rig() {
        dev.reset();
        sim.reset();
    }
};

// Collects frames a FrameStream delivers.
struct Collector {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<std::pair<int, int>> sizes;
    size_t keep = 4;
    size_t count = 0;

    FrameStream::FrameCallback Callback() {
        return [this](const Frame& f) {
            std::lock_guard lock(mutex);
            ++count;
            if (frames.size() < keep) {
                frames.emplace_back(f.data, f.data + f.length);
                sizes.emplace_back(f.width, f.height);
            }
            cv.notify_all();
        };
    }
    bool WaitFor(size_t n, int ms = 8000) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return count >= n; });
    }
    size_t Count() {
        std::lock_guard lock(mutex);
        return count;
    }
};

template <class Pred>
bool WaitUntil(Pred pred, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

}  // namespace drvtest
