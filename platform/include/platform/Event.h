#pragma once
// Events in the style the capture and service code expects: auto- or manual-reset, a timed wait
// on the monotonic clock, and a wait for the first of several events.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace platform {

// Wait without a time limit.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Event {
public:
    // An auto-reset event releases one waiter per Set and resets itself when a wait takes it;
    // a manual-reset event stays set, releasing every waiter, until Reset.
    explicit Event(bool manualReset = false, bool initiallySet = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event();

    void Set();
    void Reset();
    bool IsSet() const;

    // True when the event was set within `ms` milliseconds (kInfinite waits for ever).
    bool Wait(uint32_t ms = kInfinite);

    // Index of the first set event among `events`, taking it when it is auto-reset,
    // or -1 when none was set within `ms`.
    static int WaitAny(std::span<Event* const> events, uint32_t ms = kInfinite);

private:
    struct Waiter;
    bool TakeLocked();  // caller holds mutex_

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    const bool manual_;
    bool signalled_;
    std::vector<Waiter*> waiters_;  // WaitAny callers currently parked on this event
};

}  // namespace platform
