#pragma once
// Worker threads that run Runnable tasks. A task handed to a pool is owned by it: it runs once
// on a worker and is deleted right after its run; tasks never run are deleted by the pool.

#include <atomic>
#include <deque>
#include <vector>

#include "runtime/Thread.h"

class ThreadPool;

// One worker: a thread that runs the task it was given, then deletes it.
class TaskManager final : public Synchronized, public Runnable {
public:
    // `threadName`: the name the system shows for the worker's thread.
    explicit TaskManager(ThreadPool* owner, const std::string& threadName = "pool-worker");
    ~TaskManager() override;  // waits for a task in progress, then stops the thread

    // True when the worker was free and took the task.
    bool set_task(Runnable* task);
    bool isFree() const { return task.load() == nullptr; }

    void run() override;

private:
    Thread thread;
    ThreadPool* owner;
    std::atomic<Runnable*> task{nullptr};
    std::atomic<int> running{1};
};

// A fixed set of workers; execute blocks until a worker takes the task.
class ThreadPool : public Synchronized {
public:
    explicit ThreadPool(int workers = 4);
    virtual ~ThreadPool();

    virtual void execute(Runnable* task);
    // Called by a worker after each task.
    virtual void workerFreed();

protected:
    // Stops and joins every worker (tasks in progress run to their end). A derived pool calls it
    // first thing in its destructor, so workers never call into a half-destroyed pool.
    void shutdown();

    std::vector<TaskManager*> managers;
    bool closing = false;  // under the pool lock
};

// A pool with a first-in, first-out queue and a dispatch thread: execute never blocks on busy
// workers, and tasks start strictly in order of arrival. The owner starts the dispatch thread
// with start(); until then tasks that find no free worker stay queued.
class QueuedThreadPool : public ThreadPool, public Thread {
public:
    explicit QueuedThreadPool(int workers = 4);
    ~QueuedThreadPool() override;

    void execute(Runnable* task) override;
    void workerFreed() override;
    void run() override;  // dispatch loop

    size_t queuedCount();

private:
    // Called with the queue lock held: hands the task to a free worker; false when all are busy.
    bool assign(Runnable* task);

    std::deque<Runnable*> queue;  // under the queue lock (the Thread part's lock)
    // Set from construction, so a destructor that runs right after start() is never undone
    // by the starting dispatch loop.
    std::atomic<int> running{1};
    bool queueClosing = false;    // under the queue lock
};
