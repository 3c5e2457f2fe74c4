#pragma once
// A named lock with one wake-up event. The name only appears in log lines.
//
// The lock is not recursive but flattening: when its owner locks it again, the extra hold is
// dropped at once with a warning, so one unlock frees it however often the owner locked it.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Event.h"

class Synchronized {
public:
    Synchronized(std::string name, int logModule);
    Synchronized(const Synchronized&) = delete;
    Synchronized& operator=(const Synchronized&) = delete;
    ~Synchronized();

    // Blocks until the lock is held by the caller.
    void lock();
    // Releases the caller's hold; a thread that does not hold the lock changes nothing.
    void unlock();
    // True when the lock was free and is now held; false when busy or already held by the caller.
    bool trylock();
    // Called with the lock held: releases it, waits for a notify for up to `ms` milliseconds
    // (platform::kInfinite: no limit), then holds it again. True when the wait timed out.
    bool wait(uint32_t ms);
    // Wakes one waiter; with nobody waiting, the next wait returns at once (notifies don't add up).
    void notify();

    const std::string& getName() const { return name; }
    // The name and ": " as log lines carry it after the operation; nothing for an unnamed lock,
    // whose lines read "Class::Operation: message".
    std::string LogName() const { return name.empty() ? std::string() : name + ": "; }
    int getLogModule() const { return logModule; }

protected:
    std::string name;
    int logModule;

private:
    bool heldByCaller() const { return owner.load() == std::this_thread::get_id(); }

    platform::Event event;  // auto-reset
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};
    int locked = 0;  // only touched by the owner
};
