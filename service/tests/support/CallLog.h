#pragma once
// What a test double was asked, in order, from any thread.

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CallLog {
public:
    void Record(const std::string& call) {
        std::lock_guard guard(mutex_);
        calls_.push_back(call);
    }
    std::vector<std::string> Calls() const {
        std::lock_guard guard(mutex_);
        return calls_;
    }
    void Clear() {
        std::lock_guard guard(mutex_);
        calls_.clear();
    }
    // Number of calls whose text starts with `prefix`.
    int Count(const std::string& prefix) const {
        std::lock_guard guard(mutex_);
        int n = 0;
        for (const auto& call : calls_) n += call.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
        return n;
    }
    // Waits until `count` calls starting with `prefix` (any call for an empty prefix) are there.
    bool WaitFor(size_t count, const std::string& prefix = "", int timeoutMs = 3000) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (static_cast<size_t>(Count(prefix)) < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};
