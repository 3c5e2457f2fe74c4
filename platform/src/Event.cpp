#include "platform/Event.h"

#include <algorithm>
#include <chrono>

namespace platform {

struct Event::Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool poked = false;
};

Event::Event(bool manualReset, bool initiallySet) : manual_(manualReset), signalled_(initiallySet) {}

Event::~Event() = default;

void Event::Set() {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    if (manual_)
        cv_.notify_all();
    else
        cv_.notify_one();
    // Lock order is always event, then waiter.
    for (Waiter* w : waiters_) {
        std::lock_guard wl(w->mutex);
        w->poked = true;
        w->cv.notify_one();
    }
}

void Event::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool Event::IsSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

bool Event::TakeLocked() {
    if (!signalled_)
        return false;
    if (!manual_)
        signalled_ = false;
    return true;
}

bool Event::Wait(uint32_t ms) {
    std::unique_lock lock(mutex_);
    auto ready = [this] { return signalled_; };
    if (ms == kInfinite) {
        cv_.wait(lock, ready);
    } else if (!cv_.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), ready)) {
        return false;
    }
    return TakeLocked();
}

int Event::WaitAny(std::span<Event* const> events, uint32_t ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms == kInfinite ? 0 : ms);
    Waiter waiter;
    for (Event* e : events) {
        std::lock_guard lock(e->mutex_);
        e->waiters_.push_back(&waiter);
    }
    int found = -1;
    for (;;) {
        for (size_t i = 0; i < events.size() && found < 0; ++i) {
            std::lock_guard lock(events[i]->mutex_);
            if (events[i]->TakeLocked())
                found = static_cast<int>(i);
        }
        if (found >= 0)
            break;
        std::unique_lock wl(waiter.mutex);
        if (ms == kInfinite) {
            waiter.cv.wait(wl, [&] { return waiter.poked; });
        } else if (!waiter.cv.wait_until(wl, deadline, [&] { return waiter.poked; })) {
            wl.unlock();
            // Time is up: one last look, so a Set that raced the deadline is not lost.
            for (size_t i = 0; i < events.size() && found < 0; ++i) {
                std::lock_guard lock(events[i]->mutex_);
                if (events[i]->TakeLocked())
                    found = static_cast<int>(i);
            }
            break;
        }
        waiter.poked = false;
    }
    for (Event* e : events) {
        std::lock_guard lock(e->mutex_);
        auto& w = e->waiters_;
        w.erase(std::remove(w.begin(), w.end(), &waiter), w.end());
    }
    return found;
}

}  // namespace platform
