#pragma once
// A simulated device under the driver, with short frame periods and time-outs.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "driver/TessikDriver.h"
#include "sim/Models.h"
#include "sim/SimDevice.h"

namespace drvtest {

using namespace tessik::driver;

inline Device::Timing FastTiming() {
    Device::Timing t;
    t.controlTimeoutMs = 300;  // short, yet long enough for a loaded sanitizer run
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

// Decodes a delivered frame as the capture library would and checks every scene pixel against
// the test pattern. Returns the frame number the pattern was rendered for, or -1 with the count
// and place of the wrong pixels in `why`.
inline int PatternFrame(const sim::ModelTraits& traits, int mode, const uint8_t* data, size_t length, int w, int h,
                        std::string* why = nullptr) {
    const sim::ModeGeometry& g = sim::Mode(traits, mode);
    if (w != g.rawWidth || h != g.rawHeight || length != size_t(w) * h) {
        if (why) *why = "delivered size " + std::to_string(w) + "x" + std::to_string(h);
        return -1;
    }
    sim::GreyImage d(w, h);
    d.pixels.assign(data, data + length);
    const sim::GreyImage s = sim::LibraryDecode(traits, mode, d);
    const int cx = s.width / 2, cy = s.height / 2;
    const uint32_t n = sim::TestPatternFrame(s.at(cx, cy), cx, cy);
    // The reserved pixels of the last model and mode asked for.
    static std::pair<sim::ModelId, int> key{sim::ModelId::PloverA, -1};
    static std::vector<bool> reserved;
    if (key != std::make_pair(traits.id, mode)) {
        reserved = sim::ReservedScenePixels(traits, mode);
        key = {traits.id, mode};
    }
    size_t bad = 0;
    int fx = -1, fy = -1;
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            if (!reserved[size_t(y) * s.width + x] && s.at(x, y) != sim::TestPatternValue(x, y, n) && bad++ == 0)
                fx = x, fy = y;
    if (bad && why) *why = std::to_string(bad) + " wrong pixels, the first at " + std::to_string(fx) + "," + std::to_string(fy);
    return bad ? -1 : int(n);
}

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
