#include "runtime/ThreadPool.h"

#include <exception>
#include <string>

#include "runtime/Log.h"

// ---- TaskManager ----

TaskManager::TaskManager(ThreadPool* owner_, const std::string& threadName)
    : Synchronized("", 0), thread(this, "", 0), owner(owner_) {
    thread.setThreadName(threadName);
    thread.start();
    TSK_LOG(LOGLEVEL_DBG2, 0, "TaskManager::TaskManager: thread started");
}

TaskManager::~TaskManager() {
    lock();
    running.store(0);
    notify();
    unlock();
    thread.join();
    TSK_LOG(LOGLEVEL_DBG2, 0, "TaskManager::~TaskManager: thread stopped");
}

bool TaskManager::set_task(Runnable* newTask) {
    lock();
    if (task.load() == nullptr) {
        task.store(newTask);
        notify();
        unlock();
        TSK_LOG(LOGLEVEL_DBG2, 0, "TaskManager::set_task: after notify");
        return true;
    }
    unlock();
    TSK_LOG(LOGLEVEL_DBG2, 0, "TaskManager::set_task: got already a task");
    return false;
}

void TaskManager::run() {
    lock();
    // A task handed over just before the stop still runs: it was accepted.
    while (running.load() || task.load() != nullptr) {
        Runnable* current = task.load();
        if (current == nullptr) {
            wait(platform::kInfinite);
            continue;
        }
        // The task runs without the worker's lock, so a task may hand new tasks to the pool
        // while the pool hands tasks to workers under its queue lock.
        unlock();
        try {
            current->run();
        } catch (const std::exception& e) {
            TSK_LOG(LOGLEVEL_ERROR, 0, "TaskManager::run: task failed: " << e.what());
        } catch (...) {
            TSK_LOG(LOGLEVEL_ERROR, 0, "TaskManager::run: task failed");
        }
        delete current;
        lock();
        task.store(nullptr);
        unlock();
        owner->workerFreed();
        lock();
    }
    unlock();
}

// ---- ThreadPool ----

ThreadPool::ThreadPool(int workers) : Synchronized("", 0) {
    if (workers < 1)
        workers = 1;
    for (int i = 0; i < workers; ++i)
        managers.push_back(new TaskManager(this, "pool-" + std::to_string(i + 1)));
}

ThreadPool::~ThreadPool() {
    shutdown();
}

void ThreadPool::shutdown() {
    Synchronized::lock();
    closing = true;
    std::vector<TaskManager*> workers;
    workers.swap(managers);
    Synchronized::unlock();
    for (TaskManager* m : workers)
        delete m;
}

void ThreadPool::execute(Runnable* task) {
    Synchronized::lock();
    for (;;) {
        if (closing) {
            Synchronized::unlock();
            TSK_LOG(LOGLEVEL_WARNING, 0, "ThreadPool::execute: pool is stopping, task dropped");
            delete task;
            return;
        }
        for (size_t i = 0; i < managers.size(); ++i) {
            TaskManager* m = managers[i];
            if (!m->isFree())
                continue;
            TSK_LOG(LOGLEVEL_DBG2, 0, "ThreadPool::execute: task manager found");
            Synchronized::unlock();
            if (m->set_task(task))
                return;
            Synchronized::lock();
            if (closing)
                break;
        }
        if (!closing)
            Synchronized::wait(1000);
    }
}

void ThreadPool::workerFreed() {
    Synchronized::lock();
    Synchronized::notify();
    Synchronized::unlock();
}

// ---- QueuedThreadPool ----

QueuedThreadPool::QueuedThreadPool(int workers) : ThreadPool(workers), Thread("", 0) {
    setThreadName("pool-dispatch");
}

QueuedThreadPool::~QueuedThreadPool() {
    // Stop the dispatch loop, then the workers (they call workerFreed on this object), and only
    // then drop what is still queued.
    Thread::lock();
    running.store(0);
    queueClosing = true;
    Thread::notify();
    Thread::unlock();
    if (Thread::getState() != NotRunning)
        Thread::join();
    shutdown();
    Thread::lock();
    std::deque<Runnable*> left;
    left.swap(queue);
    Thread::unlock();
    for (Runnable* task : left)
        delete task;
}

bool QueuedThreadPool::assign(Runnable* task) {
    if (queueClosing)
        return false;
    // Workers are handed tasks only under the queue lock, so a worker seen free here takes the
    // task. set_task under the queue lock cannot deadlock: a worker holds its own lock only
    // briefly and never while it runs a task or takes the queue lock.
    for (TaskManager* m : managers) {
        if (!m->isFree())
            continue;
        TSK_LOG(LOGLEVEL_DBG2, 0, "QueuedThreadPool::assign: task manager found");
        if (m->set_task(task))
            return true;
    }
    return false;
}

void QueuedThreadPool::execute(Runnable* task) {
    Thread::lock();
    // Older tasks go first: a new task bypasses the queue only when it is empty.
    if (!queue.empty() || !assign(task)) {
        queue.push_back(task);
        Thread::notify();
    }
    Thread::unlock();
}

void QueuedThreadPool::workerFreed() {
    Thread::lock();
    Thread::notify();
    Thread::unlock();
    ThreadPool::workerFreed();
}

void QueuedThreadPool::run() {
    Thread::lock();
    while (running.load()) {
        if (!queue.empty() && assign(queue.front())) {
            queue.pop_front();
            continue;
        }
        // Nothing to hand out, or every worker busy: sleep until execute or a freed worker
        // wakes us, instead of retrying at full speed.
        Thread::wait(platform::kInfinite);
    }
    Thread::unlock();
}

size_t QueuedThreadPool::queuedCount() {
    Thread::lock();
    const size_t n = queue.size();
    Thread::unlock();
    return n;
}
