#include "runtime/Thread.h"

#include <system_error>
#include <unistd.h>

#include "platform/ThreadName.h"
#include "runtime/Log.h"

Thread::Thread(std::string name_, int logModule_)
    : Synchronized(std::move(name_), logModule_), target(this) {}

Thread::Thread(Runnable* target_, std::string name_, int logModule_)
    : Synchronized(std::move(name_), logModule_), target(target_) {}

Thread::~Thread() {
    if (state.load() != NotRunning)
        join();
}

void Thread::run() {
    TSK_LOG(LOGLEVEL_WARNING, logModule, "Thread::run: " << LogName() << "empty run method!");
}

void Thread::thread_starter(Thread* self) {
    platform::SetCurrentThreadName(self->getThreadName());
    const uint32_t tid = static_cast<uint32_t>(gettid());
    self->threadId.store(tid);
    TSK_LOG(LOGLEVEL_DBG2, self->logModule, "thread_starter: " << self->LogName() << "started, tid:" << tid);
    self->target->run();
    TSK_LOG(LOGLEVEL_DBG2, self->logModule, "thread_starter: " << self->LogName() << "ended, tid:" << tid);
    self->state.store(Ended);
}

void Thread::start() {
    std::lock_guard guard(handleMutex);
    if (state.load() == Running) {
        TSK_LOG(LOGLEVEL_ERROR, logModule, "Thread::start: " << LogName() << "thread already running!");
        return;
    }
    // The previous run has ended: reap its thread before starting a new one.
    if (handle.joinable())
        handle.join();
    // Marked running before the thread exists, so a routine that ends at once leaves "ended".
    state.store(Running);
    try {
        handle = std::thread(thread_starter, this);
    } catch (const std::system_error&) {
        TSK_LOG(LOGLEVEL_ERROR, logModule, "Thread::start: " << LogName() << "cannot start thread");
        state.store(NotRunning);
    }
}

void Thread::join() {
    std::lock_guard guard(handleMutex);
    if (state.load() == NotRunning) {
        TSK_LOG(LOGLEVEL_WARNING, logModule, "Thread::join: " << LogName() << "thread is not running");
        return;
    }
    if (handle.get_id() == std::this_thread::get_id()) {
        // A thread cannot wait for itself; let it finish on its own.
        TSK_LOG(LOGLEVEL_ERROR, logModule, "Thread::join: " << LogName() << "join failed");
        handle.detach();
    } else if (handle.joinable()) {
        handle.join();
        TSK_LOG(LOGLEVEL_DBG2, logModule, "Thread::join: " << LogName() << "joined thread successfully");
    }
    state.store(NotRunning);
}
