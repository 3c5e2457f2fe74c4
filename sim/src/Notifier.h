#pragma once
// A thread that runs posted notices one after another, so that removal and arrival notices never
// run on the thread that completes the device's transfers.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sim {

class Notifier {
public:
    Notifier() : thread_([this] { Run(); }) {}
    ~Notifier() {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void Post(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        cv_.notify_all();
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [&] { return quit_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace sim
