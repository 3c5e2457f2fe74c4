#pragma once
// The clock of the core object's background work: the time the heartbeat's loss test and the
// request-id clean-up measure, and the waits of the heartbeat, detection, clean-up and reconnect.
// Every wait ends early when the core object wakes its waiters to stop (or, for the heartbeat, when
// the DM connection is lost). The system clock runs in
// real time; the manual clock only moves when a test advances it, so that the five-minute loss
// limit and clean-up period can be tested without waiting for them.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class IVdmClock {
public:
    virtual ~IVdmClock() = default;
    // Seconds since the epoch.
    virtual int64_t NowSeconds() = 0;
    // Waits `ms` milliseconds; false when `stop` was set before or during the wait.
    bool WaitFor(int64_t ms, const std::atomic<bool>& stop) {
        return WaitFor(ms, [&stop] { return stop.load(); });
    }
    // Waits `ms` milliseconds; false when `stopped` holds before or during the wait. It is looked at
    // when the wait begins, at every WakeAll and when the time is up.
    virtual bool WaitFor(int64_t ms, const std::function<bool()>& stopped) = 0;
    // Makes every wait look at its stop condition again (call after changing it).
    virtual void WakeAll() = 0;
};

class CSystemClock : public IVdmClock {
public:
    int64_t NowSeconds() override;
    using IVdmClock::WaitFor;
    bool WaitFor(int64_t ms, const std::function<bool()>& stopped) override;
    void WakeAll() override;

private:
    std::mutex mutex;
    std::condition_variable signal;
};

class CManualClock : public IVdmClock {
public:
    // Starts at `startSeconds` since the epoch.
    explicit CManualClock(int64_t startSeconds);

    int64_t NowSeconds() override;
    using IVdmClock::WaitFor;
    bool WaitFor(int64_t ms, const std::function<bool()>& stopped) override;
    void WakeAll() override;

    // Moves the time on and ends the waits that are due.
    void Advance(int64_t ms);
    int64_t NowMs();
    // Waits (in real time, at most `timeoutMs`) until `count` waits are pending, that is, have
    // not reached their end; false on timeout. A test calls it before Advance so that a thread
    // about to wait is not overtaken by the advance.
    bool AwaitPendingWaits(int count, int timeoutMs);

private:
    std::mutex mutex;
    std::condition_variable signal;
    int64_t nowMs;
    std::vector<int64_t> pendingEnds;  // end times of the waits in progress
};
