#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "TestSupport.h"
#include "platform/ThreadName.h"
#include "runtime/Synchronized.h"
#include "runtime/Thread.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

bool TryLockFromOtherThread(Synchronized& s) {
    return std::async(std::launch::async, [&s] {
        const bool taken = s.trylock();
        if (taken)
            s.unlock();
        return taken;
    }).get();
}

using SynchronizedTest = LogFixture;

TEST_F(SynchronizedTest, OwnerLockingAgainFlattensAndOneUnlockFrees) {
    Synchronized s("Initialize Lock", 0);
    s.lock();
    s.lock();
    EXPECT_FALSE(TryLockFromOtherThread(s));
    s.unlock();
    EXPECT_TRUE(TryLockFromOtherThread(s));
    const std::string text = Text();
    EXPECT_NE(text.find(" WARNING: Synchronized::lock: Initialize Lock: recursive locking detected!\n"),
              std::string::npos)
        << text;
}

TEST_F(SynchronizedTest, TrylockByHolderFailsAndKeepsTheLock) {
    Synchronized s("L", 0);
    EXPECT_TRUE(s.trylock());
    EXPECT_FALSE(s.trylock());
    EXPECT_FALSE(TryLockFromOtherThread(s));
    s.unlock();
    EXPECT_TRUE(TryLockFromOtherThread(s));
}

TEST_F(SynchronizedTest, UnlockByAnotherThreadChangesNothing) {
    Synchronized s("Shared", 0);
    s.lock();
    std::async(std::launch::async, [&s] { s.unlock(); }).get();
    EXPECT_FALSE(TryLockFromOtherThread(s));  // still held by this thread
    EXPECT_FALSE(s.trylock());                // and still known as held by it
    s.unlock();
    EXPECT_TRUE(TryLockFromOtherThread(s));
    EXPECT_NE(Text().find(" WARNING: Synchronized::unlock: Shared: unlock failed\n"), std::string::npos);
}

TEST_F(SynchronizedTest, LockExcludesOtherThreads) {
    Synchronized s("Counter", 0);
    int counter = 0;  // plain int: the sanitizer build catches a lock that does not exclude
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                s.lock();
                ++counter;
                s.unlock();
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 8000);
}

TEST_F(SynchronizedTest, NotifyBeforeWaitIsKeptOnceAndTimeoutIsReported) {
    Synchronized s("Waiter", 0);
    s.notify();
    s.notify();  // several notifies before a wait count as one
    s.lock();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.wait(1000));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
    EXPECT_TRUE(s.wait(100));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 100ms);
    EXPECT_FALSE(TryLockFromOtherThread(s));  // held again after the wait
    s.unlock();
    EXPECT_NE(Text().find(" WARNING: Synchronized::wait: Waiter: timeout on wait\n"), std::string::npos);
}

TEST_F(SynchronizedTest, WaitReleasesTheLockUntilNotified) {
    Synchronized s("Waiter", 0);
    std::atomic<bool> woke{false};
    std::atomic<bool> timedOut{true};
    std::thread waiter([&] {
        s.lock();
        timedOut = s.wait(platform::kInfinite);
        woke = true;
        s.unlock();
    });
    // The waiter gives the lock up while it waits, so this thread can take it and notify.
    ASSERT_TRUE(WaitFor([&] {
        if (!s.trylock())
            return false;
        s.notify();
        s.unlock();
        return true;
    }));
    waiter.join();
    EXPECT_TRUE(woke);
    EXPECT_FALSE(timedOut);
}

// ---- Thread ----

class CountingThread : public Thread {
public:
    CountingThread() : Thread("Counter", 0) {}
    ~CountingThread() override {
        if (getState() != NotRunning)
            join();
    }
    void run() override {
        ++runs;
        if (gate)
            gate->Pass();
    }
    std::atomic<int> runs{0};
    Gate* gate = nullptr;
};

using ThreadTest = LogFixture;

TEST_F(ThreadTest, ShortRunEndsAsEndedAndStartsAgain) {
    CountingThread t;
    EXPECT_EQ(t.getState(), Thread::NotRunning);
    for (int i = 1; i <= 100; ++i) {
        t.start();  // restarting an ended thread reaps the old one first
        ASSERT_TRUE(WaitFor([&] { return t.getState() == Thread::Ended; })) << "run " << i;
        EXPECT_EQ(t.runs, i);
    }
    t.join();
    EXPECT_EQ(t.getState(), Thread::NotRunning);
}

TEST_F(ThreadTest, StartWhileRunningIsRefused) {
    Gate gate;
    CountingThread t;
    t.gate = &gate;
    t.start();
    ASSERT_TRUE(WaitFor([&] { return t.runs == 1; }));
    t.start();
    EXPECT_EQ(t.getState(), Thread::Running);
    gate.Open();
    t.join();
    EXPECT_EQ(t.runs, 1);
    EXPECT_EQ(t.getState(), Thread::NotRunning);
    t.join();  // not running any more: only a warning
    const std::string text = Text();
    EXPECT_NE(text.find(" ERROR  : Thread::start: Counter: thread already running!\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" WARNING: Thread::join: Counter: thread is not running\n"), std::string::npos) << text;
}

TEST_F(ThreadTest, RunsAnotherRunnableAndLogsStartAndEnd) {
    currentLevel = LOGLEVEL_DBG2;
    struct Task : Runnable {
        void run() override { ran = true; }
        std::atomic<bool> ran{false};
    } task;
    Thread t(&task, "Worker", 0);
    t.start();
    t.join();
    EXPECT_TRUE(task.ran);
    const std::string tid = std::to_string(t.getThreadId());
    const std::string text = Text();
    EXPECT_NE(text.find(" DBG2   : thread_starter: Worker: started, tid:" + tid + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" DBG2   : thread_starter: Worker: ended, tid:" + tid + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" DBG2   : Thread::join: Worker: joined thread successfully\n"), std::string::npos);
}

// The system shows a thread under its log name, or under the name set for the system; the log
// lines keep the log name.
TEST_F(ThreadTest, SystemShowsTheThreadName) {
    currentLevel = LOGLEVEL_DBG2;
    struct Seen : Runnable {
        void run() override { name = platform::CurrentThreadName(); }
        std::string name;
    };
    const struct {
        const char* logName;
        const char* systemName;  // nullptr: none set
        const char* shown;
    } cases[] = {
        {"Worker", nullptr, "Worker"},
        {"Show Calibration Result", nullptr, "Show Calibratio"},  // cut to 15 bytes
        {"Controller Thread", "ctl-connect", "ctl-connect"},
    };
    for (const auto& c : cases) {
        Seen seen;
        Thread t(&seen, c.logName, 0);
        if (c.systemName != nullptr)
            t.setThreadName(c.systemName);
        t.start();
        t.join();
        EXPECT_EQ(seen.name, c.shown) << c.logName;
    }
    const std::string text = Text();
    for (const auto& c : cases)
        EXPECT_NE(text.find(std::string("thread_starter: ") + c.logName + ": started, tid:"), std::string::npos) << text;
}

TEST_F(ThreadTest, DefaultRunOnlyWarnsAndDestructorJoins) {
    {
        Thread t("Empty", 0);
        t.start();
    }  // joined by the destructor
    EXPECT_NE(Text().find(" WARNING: Thread::run: Empty: empty run method!\n"), std::string::npos);
}

// The threads get the platform's default stack, not 64 KiB: code with large frames
// (XML validation, record building) must not overflow.
TEST_F(ThreadTest, StackHoldsLargeFrames) {
    struct Deep : Runnable {
        void run() override {
            volatile char buffer[512 * 1024];
            std::memset(const_cast<char*>(buffer), 1, sizeof buffer);
            sum = buffer[0] + buffer[sizeof buffer - 1];
        }
        int sum = 0;
    } deep;
    Thread t(&deep, "Deep", 0);
    t.start();
    t.join();
    EXPECT_EQ(deep.sum, 2);
}

}  // namespace
