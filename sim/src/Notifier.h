#pragma once
// A thread that runs posted notices one after another, so that removal and arrival notices never
// run on the thread that completes the device's transfers.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include "platform/ThreadName.h"

namespace sim {

class Notifier {
public:
    Notifier() : core_(std::make_shared<Core>()) {
        thread_ = platform::StartNamedThread("sim-notify", [core = core_] { core->Run(); });
    }
    ~Notifier() {
        {
            std::lock_guard lock(core_->mutex);
            core_->quit = true;
        }
        core_->cv.notify_all();
        // A notice may drop the last owner of this notifier's device; the thread then ends on
        // its own after that notice, holding its own share of the queue.
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
    void Post(std::function<void()> task) {
        {
            std::lock_guard lock(core_->mutex);
            core_->tasks.push_back(std::move(task));
        }
        core_->cv.notify_all();
    }

private:
    struct Core {
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<std::function<void()>> tasks;
        bool quit = false;

        void Run() {
            std::unique_lock lock(mutex);
            for (;;) {
                cv.wait(lock, [&] { return quit || !tasks.empty(); });
                if (tasks.empty()) return;
                auto task = std::move(tasks.front());
                tasks.pop_front();
                lock.unlock();
                task();
                task = nullptr;
                lock.lock();
            }
        }
    };
    std::shared_ptr<Core> core_;
    std::thread thread_;
};

}  // namespace sim
