#pragma once
// Runnable tasks and named threads.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/Synchronized.h"

class Runnable {
public:
    virtual ~Runnable() = default;
    virtual void run() = 0;
};

// A thread that runs its own `run` or that of another Runnable. There is no stop operation:
// a subclass loops on a flag of its own, and must stop and join in its own destructor, since
// this destructor runs after the subclass's members are gone.
class Thread : public Synchronized, public Runnable {
public:
    enum State : int { NotRunning = 0, Running = 1, Ended = 2 };

    Thread(std::string name, int logModule);
    Thread(Runnable* target, std::string name, int logModule);
    ~Thread() override;

    // Starts the thread; refused while it runs. A thread whose routine ended is joined and
    // started again.
    void start();
    // Waits for the routine to end; the thread is then not running.
    void join();

    void run() override;

    int getState() const { return state.load(); }
    // The name the system shows for the thread (at most 15 bytes are kept); the thread's log
    // name when none is set. Set before start.
    void setThreadName(std::string osName) { threadName = std::move(osName); }
    const std::string& getThreadName() const { return threadName.empty() ? name : threadName; }
    // Kernel id of the running thread, 0 before the first start.
    uint32_t getThreadId() const { return threadId.load(); }

protected:
    Runnable* target;
    std::atomic<int> state{NotRunning};
    // Kept for reference; threads get the platform's default stack, as 64 KiB is too small for
    // the XML and record code that runs on them.
    const int stackSize = 65536;

private:
    static void thread_starter(Thread* self);

    std::string threadName;
    std::mutex handleMutex;  // guards `handle` between start and join
    std::thread handle;
    std::atomic<uint32_t> threadId{0};
};
