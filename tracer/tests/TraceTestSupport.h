#pragma once
// Helpers of the trace viewer's tests: records as the slot carries them, a slot of the test's own,
// waiting.

#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "zarn/TraceRecord.h"

// 157 bytes: magic, the 23 time characters, source, level, text (cut at 128, NUL-padded).
inline std::array<uint8_t, sizeof(TraceRecord)> RecordBytes(uint8_t source, uint8_t level, const std::string& text,
                                                           const std::string& time = "2010-05-04 13:07:59.042") {
    std::array<uint8_t, sizeof(TraceRecord)> bytes{};
    const uint8_t magic[4] = {0xAA, 0xBB, 0xCC, 0xDD};
    std::memcpy(bytes.data(), magic, 4);
    std::memcpy(bytes.data() + 4, time.data(), std::min<size_t>(time.size(), 23));
    bytes[27] = source;
    bytes[28] = level;
    std::memcpy(bytes.data() + 29, text.data(), std::min<size_t>(text.size(), 128));
    return bytes;
}

// A slot name no other test uses.
inline std::string TestSlotName() {
    static std::atomic<int> counter{0};
    return "ZarnTraceTest-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
