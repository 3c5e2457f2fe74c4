#pragma once
// A minimal scanner model on the PloverA geometry for the base-class tests, and a reader of the
// library's trace lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/Mailslot.h"
#include "sim/Render.h"
#include "sim/SimDevice.h"
#include "zarn/TraceRecord.h"
#include "zarn/ZarnEssentialsApi.h"
#include "zarn/ZarnTraceLogger.h"

#include "TestModels.h"

namespace scannertest {

// TESSIK_SCANNER_TEST_SLOWDOWN (1..100) stretches the simulated frame period and every wait of
// these tests, for slow builds (the thread sanitizer's).
inline double Slowdown() {
    const char* v = std::getenv("TESSIK_SCANNER_TEST_SLOWDOWN");
    const double s = v ? std::atof(v) : 1.0;
    return s >= 1.0 && s <= 100.0 ? s : 1.0;
}

// Collects the library's trace lines from its trace slot.
class TraceLines {
public:
    TraceLines() : reader_(ZarnTrace().slotName()) {
        thread_ = std::thread([this] {
            TraceRecord record;
            for (;;) {
                auto r = reader_.Read(&record, sizeof record, -1);
                if (r.status != platform::MailslotReader::Status::Received) return;
                std::string text(record.text, strnlen(record.text, sizeof record.text));
                std::lock_guard lock(mutex_);
                lines_.push_back(std::move(text));
                cv_.notify_all();
            }
        });
    }
    ~TraceLines() {
        reader_.Shutdown();
        thread_.join();
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    size_t Count(const std::string& prefix) {
        std::lock_guard lock(mutex_);
        return size_t(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
    }
    bool WaitFor(const std::string& prefix, int ms = 10000) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(int64_t(ms * Slowdown())), [&] {
            return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        });
    }
    bool IsOpen() const { return reader_.IsOpen(); }

private:
    platform::MailslotReader reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

template <class Pred>
bool WaitUntil(Pred pred, int ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t(ms * Slowdown()));
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

// Centroid of the dark pixels of a top-down image inside a box (inclusive); false for fewer than
// 500 dark pixels.
inline bool DarkCentroid(const std::vector<uint8_t>& image, int width, int height, int l, int t, int r, int b, double* x,
                         double* y) {
    double sx = 0, sy = 0, n = 0;
    for (int row = std::max(0, t); row <= std::min(height - 1, b); ++row)
        for (int col = std::max(0, l); col <= std::min(width - 1, r); ++col)
            if (image[size_t(row) * width + col] < 128) sx += col, sy += row, n += 1;
    if (n < 500) return false;
    *x = sx / n, *y = sy / n;
    return true;
}

// Columns of the leftmost and rightmost pixel darker than `threshold` of a packed image; left > right
// when there is none.
inline void DarkColumns(const std::vector<uint8_t>& image, int width, int height, int threshold, int* left, int* right) {
    *left = width, *right = -1;
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col)
            if (image[size_t(row) * width + col] < threshold) *left = std::min(*left, col), *right = std::max(*right, col);
}

// The first byte of every write of a vendor request that the simulated device received, in order
// (LED masks, beeper states).
inline std::vector<uint8_t> Writes(const sim::SimDevice& device, uint8_t request) {
    std::vector<uint8_t> bytes;
    for (const auto& w : device.VendorWrites(request))
        if (!w.data.empty()) bytes.push_back(w.data[0]);
    return bytes;
}

// The width in pixels, at `ppi`, of the skin the renderer has rolled over by the end of a roll (it
// does not depend on the canvas).
inline double RolledPrintWidthPx(double ppi) {
    sim::FingerScene scene;
    scene.platen.width = scene.platen.height = 8;
    scene.layout = sim::FingerLayout::Roll;
    scene.rollPhase = 1;
    sim::SceneTruth truth;
    sim::RenderFingers(scene, 1, &truth);
    return truth.rollPrintWidthMm / 25.4 * ppi;
}

// A roll's print is as wide as the renderer rolled the finger, at `ppi`: the stitcher takes the
// first contact only from where the roll moves on, so the print may lose up to a contact's
// half-width (5 mm) in all; it gains at most `gain` pixels.
inline void ExpectRolledWidth(int width, double ppi, double gain) {
    const double rolled = RolledPrintWidthPx(ppi), halfContact = 5 / 25.4 * ppi;
    EXPECT_GE(width, rolled - halfContact);
    EXPECT_LE(width, rolled + gain);
}

// A finger rolled over `frames` frames on a scanner whose roll capture runs, lifted `settle`
// frames after the roll ended; then the wait until the library has taken the roll's result, which
// it reports as a success.
inline void RollAndLift(sim::SimDevice& device, int frames, int settle, int timeoutMs) {
    device.Apply({sim::DeviceAction::Roll, sim::FingerLayout::None, 0, 0, frames});
    const uint32_t start = device.FramesSent();
    ASSERT_TRUE(WaitUntil([&] { return device.FramesSent() >= start + uint32_t(frames + settle); }, timeoutMs));
    device.Apply({sim::DeviceAction::Lift});
    ZarnRunningInfo running{};
    ASSERT_TRUE(WaitUntil([&] { return Zarn_Main_GetRunningInfo(&running) == 0 && running.fingerprint.resultTaken == 1; }, 30000));
    EXPECT_EQ(running.fingerprint.captureStatus, 0);
}

// Presses key 0 (byte 0x01) or key 1 (0x02) of each of `keys` in turn on a scanner with two keys
// and a foot switch, each until the library reports that key, then the foot switch (0x04) until it
// is reported, and releases them. `events` holds the callbacks' `keys` and `foot` under `mutex`.
template <class Events>
void PressKeysAndFootSwitch(sim::SimDevice& device, Events& events, std::initializer_list<uint8_t> keys) {
    for (uint8_t k : keys) {
        device.SetKeys(k);
        const int key = k == 0x01 ? 0 : 1;
        EXPECT_TRUE(WaitUntil([&] { std::lock_guard l(events.mutex); return !events.keys.empty() && events.keys.back() == key; }, 5000))
            << "key " << key;
    }
    device.SetKeys(0x04);
    EXPECT_TRUE(WaitUntil([&] { std::lock_guard l(events.mutex); return events.foot >= 1; }, 5000));
    device.SetKeys(0);
}

// Keeps the last preview the library hands out.
struct Previews {
    std::mutex mutex;
    int count = 0;
    ZarnImageInfo last{};
    std::vector<uint8_t> image;
    static void Callback(void* context, ZarnImageInfo info) {
        auto* p = static_cast<Previews*>(context);
        std::lock_guard lock(p->mutex);
        ++p->count;
        p->last = info;
        p->image.assign(info.image, info.image + size_t(info.width) * size_t(info.height));
    }
    int Count() {
        std::lock_guard lock(mutex);
        return count;
    }
    // Share of pixels darker than 128 in the last preview.
    double DarkShare() {
        std::lock_guard lock(mutex);
        if (image.empty()) return -1;
        return double(std::count_if(image.begin(), image.end(), [](uint8_t v) { return v < 128; })) / double(image.size());
    }
};

// Starts previews of an image type as a capture does, into `previews`.
inline void StartPreviews(ZarnScannerBase& model, Previews& previews, int type) {
    model.m_nImageType = type;
    model.MakeImageData(1);
    model.m_pCallbackContext = &previews;
    model.m_pfnPreview = &Previews::Callback;
    model.m_Running.finished = 0;
    model.m_Running.resultTaken = 0;
    model.m_Running.captureStarted = 1;
    model.m_Running.modeSet = 1;
    ASSERT_EQ(model.StartStream(), 0);
    model.m_nFrameRequest = 1;
}

}  // namespace scannertest
