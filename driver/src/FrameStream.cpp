// A stream client: keeps reads queued and hands frames with data to a callback on its own thread.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "driver/TessikDriver.h"
#include "platform/ThreadName.h"

namespace tessik::driver {

struct FrameStream::State : std::enable_shared_from_this<FrameStream::State> {
    std::shared_ptr<Device> device;
    FrameCallback callback;
    std::function<void()> endCallback;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::shared_ptr<ReadRequest>> done;
    std::vector<std::shared_ptr<ReadRequest>> reads;
    bool active = false;
    bool quit = false;
    bool ended = false;
    Stats stats;
    std::thread thread;
    std::chrono::steady_clock::time_point started;
    uint64_t sequence = 0;

    void Completed(const std::shared_ptr<ReadRequest>& r) {
        {
            std::lock_guard lock(mutex);
            done.push_back(r);
        }
        cv.notify_all();
    }

    void Run() {
        std::unique_lock lock(mutex);
        for (;;) {
            cv.wait(lock, [&] { return quit || !done.empty(); });
            if (done.empty()) return;
            auto r = done.front();
            done.pop_front();
            const bool active_ = active;
            std::function<void()> endNow;
            if (r->status == STATUS_CANCELLED) {
                ++stats.cancelledReads;
                if (active_ && device->IsGone() && !ended) {
                    ended = true;
                    endNow = endCallback;
                }
            } else if (r->dataUsed == 0) {
                ++stats.emptyReads;
            } else {
                ++stats.frames;
            }
            const uint64_t seq = r->dataUsed ? sequence++ : 0;
            const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            FrameCallback cb = callback;
            lock.unlock();
            if (r->dataUsed && cb) {
                Frame f;
                f.sampleTime = t;
                f.data = r->buffer.data();
                f.length = r->dataUsed;
                f.width = r->width;
                f.height = r->height;
                f.sequence = seq;
                cb(f);
            }
            if (endNow) endNow();
            lock.lock();
            if (active && r->status == STATUS_SUCCESS) {
                if (r->dataUsed == 0) {
                    // A read that came back at once without data: give the stream a moment.
                    lock.unlock();
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    lock.lock();
                    if (!active) continue;
                }
                lock.unlock();
                device->SubmitRead(r);
                lock.lock();
            }
        }
    }
};

FrameStream::FrameStream(std::shared_ptr<Device> device) : state_(std::make_shared<State>()) {
    state_->device = std::move(device);
}

FrameStream::~FrameStream() { Stop(); }

NTSTATUS FrameStream::Start(size_t capabilityIndex, int frameSizeMode, FrameCallback callback, int queuedReads) {
    State& s = *state_;
    if (!s.device) return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard lock(s.mutex);
        if (s.active) return STATUS_INVALID_DEVICE_STATE;
    }
    const auto caps = s.device->StreamCapabilities();
    if (capabilityIndex >= caps.size() || queuedReads < 1 || queuedReads > 8) return STATUS_INVALID_PARAMETER;
    const VideoFormat format = caps[capabilityIndex].format;

    // FrameSizeMode is set before the stream opens; the first stream property applies it.
    NTSTATUS st = s.device->SetProperty(PropertySet::VideoProcAmp, FrameSizeMode, {frameSizeMode, kFlagManual, 0});
    if (!NT_SUCCESS(st)) return st;
    st = s.device->OpenStream(0, format);
    if (!NT_SUCCESS(st)) return st;
    AllocatorFraming framing;
    s.device->GetAllocatorFraming(framing);
    s.started = std::chrono::steady_clock::now();
    s.device->SetClock([start = s.started] {
        return int64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count() / 100);
    });
    st = s.device->SetStreamState(KsState::Run);
    if (!NT_SUCCESS(st)) {
        s.device->CloseStream();
        return st;
    }
    {
        std::lock_guard lock(s.mutex);
        s.callback = std::move(callback);
        s.active = true;
        s.quit = false;
        s.ended = false;
        s.done.clear();
        s.reads.clear();
        s.sequence = 0;
        s.stats = {};
    }
    s.thread = platform::StartNamedThread("drv-frames", [st = state_] { st->Run(); });
    std::weak_ptr<State> weak = state_;
    for (int i = 0; i < queuedReads; ++i) {
        auto r = std::make_shared<ReadRequest>();
        r->buffer.assign(format.imageSize, 0);
        r->completion = [weak, r = std::weak_ptr<ReadRequest>(r)](ReadRequest&) {
            auto st = weak.lock();
            auto rr = r.lock();
            if (st && rr) st->Completed(rr);
        };
        {
            std::lock_guard lock(s.mutex);
            s.reads.push_back(r);
        }
        s.device->SubmitRead(r);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FrameStream::Stop() {
    State& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        if (!s.active && !s.thread.joinable()) return STATUS_SUCCESS;
        s.active = false;
    }
    s.device->SetStreamState(KsState::Stop);
    s.device->CloseStream();
    {
        std::lock_guard lock(s.mutex);
        s.quit = true;
    }
    s.cv.notify_all();
    if (s.thread.joinable()) s.thread.join();
    std::lock_guard lock(s.mutex);
    s.reads.clear();
    s.done.clear();
    return STATUS_SUCCESS;
}

bool FrameStream::Running() const {
    std::lock_guard lock(state_->mutex);
    return state_->active && !state_->ended;
}

void FrameStream::SetEndCallback(std::function<void()> callback) {
    std::lock_guard lock(state_->mutex);
    state_->endCallback = std::move(callback);
}

FrameStream::Stats FrameStream::GetStats() const {
    std::lock_guard lock(state_->mutex);
    return state_->stats;
}

}  // namespace tessik::driver
