#include "runtime/Synchronized.h"

#include "runtime/Log.h"

Synchronized::Synchronized(std::string name_, int logModule_)
    : name(std::move(name_)), logModule(logModule_), event(false, false) {}

Synchronized::~Synchronized() {
    // Destroying a held std::mutex is undefined; an owner that forgot to unlock frees it here.
    if (heldByCaller())
        mutex.unlock();
}

void Synchronized::lock() {
    if (heldByCaller()) {
        TSK_LOG(LOGLEVEL_WARNING, logModule, "Synchronized::lock: " << LogName() << "recursive locking detected!");
        return;
    }
    mutex.lock();
    owner.store(std::this_thread::get_id());
    locked = 1;
}

void Synchronized::unlock() {
    if (!heldByCaller()) {
        TSK_LOG(LOGLEVEL_WARNING, logModule, "Synchronized::unlock: " << LogName() << "unlock failed");
        return;
    }
    locked = 0;
    owner.store(std::thread::id());
    mutex.unlock();
}

bool Synchronized::trylock() {
    if (heldByCaller())
        return false;
    if (!mutex.try_lock()) {
        TSK_LOG(LOGLEVEL_DBG3, logModule, "Synchronized::trylock: " << LogName() << "try lock failed");
        return false;
    }
    owner.store(std::this_thread::get_id());
    locked = 1;
    return true;
}

bool Synchronized::wait(uint32_t ms) {
    const bool held = heldByCaller();
    if (held) {
        locked = 0;
        owner.store(std::thread::id());
        mutex.unlock();
    } else {
        // Waiting without the lock: wait all the same, but never take a lock the caller
        // did not hold.
        TSK_LOG(LOGLEVEL_ERROR, logModule, "Synchronized::wait: " << LogName() << "releasing mutex failed");
    }
    const bool timedOut = !event.Wait(ms);
    if (timedOut)
        TSK_LOG(LOGLEVEL_WARNING, logModule, "Synchronized::wait: " << LogName() << "timeout on wait");
    if (held) {
        mutex.lock();
        owner.store(std::this_thread::get_id());
        locked = 1;
    }
    return timedOut;
}

void Synchronized::notify() {
    event.Set();
}
