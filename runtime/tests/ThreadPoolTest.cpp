#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/ThreadName.h"
#include "runtime/ThreadPool.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Counts runs and deletions; a task deleted twice or before its run is a failure.
struct Tally {
    std::atomic<int> runs{0};
    std::atomic<int> deletes{0};
    std::atomic<int> badDeletes{0};
    std::mutex orderMutex;
    std::vector<int> order;
};

class Task : public Runnable {
public:
    Task(Tally& tally, int id, Gate* gate = nullptr) : tally(tally), id(id), gate(gate) {}
    ~Task() override {
        if (deleted.exchange(true))
            ++tally.badDeletes;
        ++tally.deletes;
    }
    void run() override {
        {
            std::lock_guard l(tally.orderMutex);
            tally.order.push_back(id);
        }
        ++tally.runs;
        if (gate)
            gate->Pass();
    }

private:
    Tally& tally;
    int id;
    Gate* gate;
    std::atomic<bool> deleted{false};
};

double ProcessCpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Hands every worker of a fresh pool a task that waits at `gate`, and waits until all run.
void OccupyAllWorkers(ThreadPool& pool, Tally& tally, Gate& gate) {
    for (int i = 0; i < 4; ++i)
        pool.execute(new Task(tally, i, &gate));
    ASSERT_TRUE(WaitFor([&] { return tally.runs == 4; }));
}

using ThreadPoolTest = LogFixture;

TEST_F(ThreadPoolTest, PlainPoolBlocksTheFifthTaskUntilAWorkerFrees) {
    Tally tally;
    Gate gate;
    {
        ThreadPool pool;
        ASSERT_NO_FATAL_FAILURE(OccupyAllWorkers(pool, tally, gate));
        auto fifth = std::async(std::launch::async, [&] { pool.execute(new Task(tally, 4)); });
        EXPECT_EQ(fifth.wait_for(200ms), std::future_status::timeout);
        gate.Open();
        EXPECT_EQ(fifth.wait_for(5s), std::future_status::ready);
        ASSERT_TRUE(WaitFor([&] { return tally.runs == 5; }));
    }
    EXPECT_EQ(tally.deletes, 5);
    EXPECT_EQ(tally.badDeletes, 0);
}

TEST_F(ThreadPoolTest, QueuedPoolQueuesWhileBusyAndRunsWhenAWorkerFrees) {
    Tally tally;
    Gate gate;
    {
        QueuedThreadPool pool;
        pool.start();
        ASSERT_NO_FATAL_FAILURE(OccupyAllWorkers(pool, tally, gate));
        auto fifth = std::async(std::launch::async, [&] { pool.execute(new Task(tally, 4)); });
        ASSERT_EQ(fifth.wait_for(1s), std::future_status::ready);  // returns at once
        EXPECT_EQ(pool.queuedCount(), 1u);
        gate.Open();
        EXPECT_TRUE(WaitFor([&] { return tally.runs == 5; }, 2000));
    }
    EXPECT_EQ(tally.deletes, 5);
    EXPECT_EQ(tally.badDeletes, 0);
}

// The pool's locks have empty names, so its lines read "Class::Operation: message".
TEST_F(ThreadPoolTest, PoolLinesCarryOneColonAfterTheOperation) {
    currentLevel = LOGLEVEL_DBG2;
    Tally tally;
    {
        ThreadPool pool(1);
        pool.execute(new Task(tally, 0));
        ASSERT_TRUE(WaitFor([&] { return tally.deletes == 1; }));
    }
    const std::string text = Text();
    for (const char* line : {"DBG2   : TaskManager::TaskManager: thread started\n",
                             "DBG2   : TaskManager::set_task: after notify\n",
                             "DBG2   : ThreadPool::execute: task manager found\n",
                             "DBG2   : TaskManager::~TaskManager: thread stopped\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find(": : "), std::string::npos) << text;
}

// With one worker the start order is the order in which tasks were handed out; new tasks keep
// arriving while the queue drains, so a new task bypassing older queued ones shows up.
TEST_F(ThreadPoolTest, QueuedPoolStartsTasksInOrderOfArrival) {
    Tally tally;
    Gate gate;
    constexpr int kTasks = 300;
    {
        QueuedThreadPool pool(1);
        pool.start();
        pool.execute(new Task(tally, 0, &gate));
        for (int i = 1; i < 50; ++i)
            pool.execute(new Task(tally, i));
        gate.Open();
        for (int i = 50; i < kTasks; ++i)
            pool.execute(new Task(tally, i));
        ASSERT_TRUE(WaitFor([&] { return tally.runs == kTasks; }));
    }
    std::vector<int> expected(kTasks);
    for (int i = 0; i < kTasks; ++i)
        expected[static_cast<size_t>(i)] = i;
    EXPECT_EQ(tally.order, expected);
    EXPECT_EQ(tally.deletes, kTasks);
}

// While every worker is busy and a task waits, the dispatch thread must sleep, not spin.
TEST_F(ThreadPoolTest, QueuedPoolDoesNotSpinWhileAllWorkersAreBusy) {
    Tally tally;
    Gate gate;
    QueuedThreadPool pool;
    pool.start();
    ASSERT_NO_FATAL_FAILURE(OccupyAllWorkers(pool, tally, gate));
    pool.execute(new Task(tally, 4));
    pool.execute(new Task(tally, 5));
    const double cpu0 = ProcessCpuSeconds();
    std::this_thread::sleep_for(500ms);
    const double used = ProcessCpuSeconds() - cpu0;
    EXPECT_LT(used, 0.1) << "process used " << used << " s of CPU in 0.5 s while idle";
    gate.Open();
    EXPECT_TRUE(WaitFor([&] { return tally.runs == 6; }));
}

TEST_F(ThreadPoolTest, EveryTaskIsDeletedOnceAfterItsRun) {
    Tally tally;
    constexpr int kTasks = 400;
    {
        QueuedThreadPool pool;
        pool.start();
        std::vector<std::thread> producers;
        for (int p = 0; p < 4; ++p)
            producers.emplace_back([&, p] {
                for (int i = 0; i < kTasks / 4; ++i)
                    pool.execute(new Task(tally, p * 1000 + i));
            });
        for (auto& t : producers)
            t.join();
        ASSERT_TRUE(WaitFor([&] { return tally.runs == kTasks; }));
    }
    EXPECT_EQ(tally.deletes, kTasks);
    EXPECT_EQ(tally.badDeletes, 0);
}

TEST_F(ThreadPoolTest, NeverStartedPoolDeletesQueuedTasksUnrun) {
    Tally blockers, queued;
    Gate gate;
    {
        QueuedThreadPool pool;  // dispatch thread not started: free workers still take tasks
        ASSERT_NO_FATAL_FAILURE(OccupyAllWorkers(pool, blockers, gate));
        for (int i = 0; i < 3; ++i)
            pool.execute(new Task(queued, i));
        gate.Open();
        ASSERT_TRUE(WaitFor([&] { return blockers.deletes == 4; }));
        EXPECT_EQ(pool.queuedCount(), 3u);
    }
    EXPECT_EQ(queued.runs, 0);
    EXPECT_EQ(queued.deletes, 3);
    EXPECT_EQ(queued.badDeletes, 0);
}

// Destroying a busy pool: workers finishing their tasks call back into the pool while it is torn
// down (the sanitizer build catches a use after destruction); every task goes exactly once.
TEST_F(ThreadPoolTest, DestroyingABusyPoolStopsWorkersFirst) {
    Tally tally;
    struct Slow : Task {
        using Task::Task;
        void run() override {
            Task::run();
            std::this_thread::sleep_for(20ms);
        }
    };
    {
        QueuedThreadPool pool;
        pool.start();
        for (int i = 0; i < 12; ++i)
            pool.execute(new Slow(tally, i));
        ASSERT_TRUE(WaitFor([&] { return tally.runs >= 1; }));
    }
    EXPECT_EQ(tally.deletes, 12);
    EXPECT_EQ(tally.badDeletes, 0);
    EXPECT_GE(tally.runs, 4);  // the four handed out at once all ran
}

// A task may hand further tasks to the pool it runs on.
TEST_F(ThreadPoolTest, TaskCanQueueFollowUpTasks) {
    std::atomic<int> done{0};
    struct Chain : Runnable {
        Chain(QueuedThreadPool& p, std::atomic<int>& d, int left) : pool(p), done(d), left(left) {}
        void run() override {
            if (left > 0)
                pool.execute(new Chain(pool, done, left - 1));
            ++done;
        }
        QueuedThreadPool& pool;
        std::atomic<int>& done;
        int left;
    };
    QueuedThreadPool pool;
    pool.start();
    pool.execute(new Chain(pool, done, 20));
    EXPECT_TRUE(WaitFor([&] { return done == 21; }));
}

}  // namespace

// Each worker and the dispatch thread carry a name of their own that the system shows.
TEST_F(ThreadPoolTest, WorkersAndDispatchAreNamed) {
    struct NameTask : Runnable {
        NameTask(std::mutex& m, std::vector<std::string>& names, Gate& gate) : m(m), names(names), gate(gate) {}
        void run() override {
            {
                std::lock_guard l(m);
                names.push_back(platform::CurrentThreadName());
            }
            gate.Pass();
        }
        std::mutex& m;
        std::vector<std::string>& names;
        Gate& gate;
    };
    std::mutex m;
    std::vector<std::string> names;
    Gate gate;
    {
        QueuedThreadPool pool(4);
        pool.start();
        // Four tasks held at the gate take the four workers.
        for (int i = 0; i < 4; ++i)
            pool.execute(new NameTask(m, names, gate));
        ASSERT_TRUE(WaitFor([&] {
            std::lock_guard l(m);
            return names.size() == 4;
        }));
        // The dispatch thread names itself once it runs.
        EXPECT_TRUE(WaitFor([] {
            int dispatchers = 0;
            for (const platform::ThreadInfo& info : platform::ProcessThreads())
                dispatchers += info.name == "pool-dispatch";
            return dispatchers == 1;
        }));
        gate.Open();
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"pool-1", "pool-2", "pool-3", "pool-4"}));
}
