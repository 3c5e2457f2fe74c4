#include "VdmClock.h"

#include <algorithm>
#include <chrono>
#include <ctime>

int64_t CSystemClock::NowSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

bool CSystemClock::WaitFor(int64_t ms, const std::function<bool()>& stopped) {
    std::unique_lock guard(mutex);
    return !signal.wait_for(guard, std::chrono::milliseconds(ms), stopped);
}

void CSystemClock::WakeAll() {
    // Taking the mutex orders the caller's change of a stop condition before a waiter's test of it.
    { std::lock_guard guard(mutex); }
    signal.notify_all();
}

CManualClock::CManualClock(int64_t startSeconds) : nowMs(startSeconds * 1000) {}

int64_t CManualClock::NowSeconds() {
    std::lock_guard guard(mutex);
    return nowMs / 1000;
}

int64_t CManualClock::NowMs() {
    std::lock_guard guard(mutex);
    return nowMs;
}

bool CManualClock::WaitFor(int64_t ms, const std::function<bool()>& stopped) {
    std::unique_lock guard(mutex);
    const int64_t end = nowMs + std::max<int64_t>(ms, 0);
    pendingEnds.push_back(end);
    signal.notify_all();  // AwaitPendingWaits counts this wait
    signal.wait(guard, [&] { return stopped() || nowMs >= end; });
    pendingEnds.erase(std::find(pendingEnds.begin(), pendingEnds.end(), end));
    return !stopped();
}

void CManualClock::WakeAll() {
    { std::lock_guard guard(mutex); }
    signal.notify_all();
}

void CManualClock::Advance(int64_t ms) {
    {
        std::lock_guard guard(mutex);
        nowMs += ms;
    }
    signal.notify_all();
}

bool CManualClock::AwaitPendingWaits(int count, int timeoutMs) {
    std::unique_lock guard(mutex);
    return signal.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        return std::count_if(pendingEnds.begin(), pendingEnds.end(), [this](int64_t end) { return end > nowMs; }) >=
               count;
    });
}
