#pragma once
// Scripted stand-ins for the two capture libraries, installed through the service's function
// tables. Like the real libraries they deliver previews, quality, automatic results and connection
// polls on threads of their own, deliver manual results on the caller's thread, keep one context
// word per library object (the last registration wins), and never wait for a callback in progress
// when asked to abort or close. Every call is recorded with its arguments.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CallLog.h"
#include "device/ZarnApi.h"
#include "platform/ThreadName.h"

namespace fakezarn {

// The threads of a scripted library. A thread that has finished is joined when the next one
// starts, so that a long run of captures keeps no finished threads; the rest are taken at reset.
class WorkerList {
public:
    template <typename F>
    void Spawn(F function) {
        Reap();
        auto done = std::make_shared<std::atomic<bool>>(false);
        workers_.push_back({platform::StartNamedThread("fake-zarn",
                                                       [function, done] {
                                                           function();
                                                           done->store(true);
                                                       }),
                            done});
    }
    // Every thread, running or not, for the caller to join.
    std::vector<std::thread> TakeAll() {
        std::vector<std::thread> threads;
        for (Worker& worker : workers_) threads.push_back(std::move(worker.thread));
        workers_.clear();
        return threads;
    }

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void Reap() {
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::vector<Worker> workers_;
};

// What both scripted libraries keep: the call record, their threads and the words that end them,
// the connection the polls report, and how many polls went out.
class ScriptedLibrary {
public:
    void SetConnected(bool connected) { connected_.store(connected); }
    std::vector<std::string> Calls() const { return calls_.Calls(); }
    // Number of recorded calls whose text starts with `prefix`.
    int Count(const std::string& prefix) const { return calls_.Count(prefix); }
    int ConnectionPolls() const { return polls_.load(); }

protected:
    // Ends the threads of the current generation (not initialised any more) and joins them.
    void EndThreads();
    // The connection poll thread: every 100 ms while initialised and of its generation, `report`
    // calls the registered connection callbacks, and the poll is counted.
    void PollConnection(int generation, const std::function<void()>& report);

    std::mutex mutex_;
    CallLog calls_;
    WorkerList threads_;
    std::atomic<int> generation_{0};
    std::atomic<bool> initialised_{false};
    std::atomic<bool> connected_{true};
    std::atomic<int> polls_{0};
};

struct FpScript {
    int connectedFamily = ZARN_FAMILY_PLOVER_A;  // family flag GetConnectedScanner sets; 0 none
    int initializeResult = 0;
    int setModeResult = 0;
    int startResult = 0;
    int calibrationResult = 0;
    // Something lies on the platen: a calibration runs until the hand is lifted (then it succeeds)
    // or an abort ends it (ZARN_ERR_CALIBRATION), as the exposure search of a scanner does.
    bool handOnPlaten = false;
    int previewIntervalMs = 10;
    int previewWidth = 80;
    int previewHeight = 60;
    int previewRowOrder = 1;  // negative: bottom-up rows
    // Previews before an automatic result is delivered on the capture thread; negative: never.
    int autoResultAfterFrames = -1;
    int resultStatus = 0;
    int resultWidth = 160;
    int resultHeight = 120;
    int qualityState = 0;
    std::vector<int> quality;  // qualities reported with every preview; empty: no quality callbacks
    std::string model = "PloverA";
    std::string serial = "PA-000123";
    uint32_t hardwareWord = 0x00323156u;  // "V12" followed by a NUL
    std::string productName = "Tessik Scanner";
    std::string libraryVersion = "2.16.120.1";
};

class FakeFpLibrary : public ScriptedLibrary {
public:
    static FakeFpLibrary& Instance();
    // Installs the fake's table into the service.
    static void Install();

    // Ends the library's threads (joining them) and starts over with a new script.
    void Reset(const FpScript& script = FpScript());

    int PreviewsDelivered() const { return previews_.load(); }
    void SetHandOnPlaten(bool on) { handOnPlaten_.store(on); }
    // Thread id of the last delivered result.
    std::thread::id LastResultThread();

    // Library functions (the table points at these through small wrappers).
    int GetAPIVersion(ZarnApiVersion* out);
    int Initialize(int modelCode);
    int DeInitialize();
    int GetDeviceInfo(ZarnDeviceInfo* out);
    int GetRunningInfo(ZarnRunningInfo* out);
    int GetConnectedScanner(ZarnConnectedScanners* out);
    int SetMode(int imageType, int ppi, int liveDetect, int modeArg, int* width, int* height, int* xres, int* yres);
    int Start(int fingerCount, int autoCapture);
    int Abort();
    int TakeResultImage();
    int SetCaptureOK();
    int Calibration();
    int Beeper(int pattern);
    int SetRollParameters(int a, int b, int c, float d, int e, int f, int g);
    int AcquireResultImage();
    int SetAutoCapInfo(int a, int b, double c, int d, int e, int f, int g, int h, int i);
    int RegisterPreview(ZarnCallbackPreviewImage callback, void* context);
    int RegisterTaking(ZarnCallbackTakingResultImage callback, void* context);
    int RegisterResult(ZarnCallbackResultImage callback, void* context);
    int RegisterFootSwitch(ZarnCallbackFootSwitch callback, void* context);
    int RegisterQuality(ZarnCallbackObjectQuality callback, void* context);
    int RegisterConnected(ZarnCallbackDeviceIsConnected callback, void* context);

private:
    FakeFpLibrary() = default;
    void JoinThreads();
    // Forgets every registered callback and its context (the caller holds mutex_).
    void DropRegistrations();
    void CaptureLoop(int generation);
    void ConnectionLoop(int generation);
    void DeliverResult();
    ZarnImageInfo ResultImage();

    FpScript script_;
    // Registered callbacks and the one context word they share (the last registration wins).
    ZarnCallbackPreviewImage preview_ = nullptr;
    ZarnCallbackTakingResultImage taking_ = nullptr;
    ZarnCallbackResultImage result_ = nullptr;
    ZarnCallbackFootSwitch footSwitch_ = nullptr;
    ZarnCallbackObjectQuality quality_ = nullptr;
    ZarnCallbackDeviceIsConnected connectedCallback_ = nullptr;
    void* context_ = nullptr;
    std::atomic<bool> capturing_{false};
    std::atomic<bool> handOnPlaten_{false};
    std::atomic<bool> calibrationCancelled_{false};
    std::atomic<int> reporting_{0};  // connection reports in progress
    std::atomic<int> previews_{0};
    int imageType_ = 0;
    ZarnFingerprintRunningInfo running_{};
    std::vector<uint8_t> resultPixels_;
    std::thread::id lastResultThread_;
};

struct IrisScript {
    int connectedCount = 2;
    int initializeResult = 0;
    int setModeResult = 0;
    int calibrationResult = 0;
    int previewIntervalMs = 10;
    int width = 64;
    int height = 48;
    // Frames of an armed camera before its automatic result; negative: never.
    int autoResultAfterFrames = -1;
    std::string model = "Egret";
    std::string serial = "0042";
};

class FakeIrisLibrary : public ScriptedLibrary {
public:
    static FakeIrisLibrary& Instance();
    static void Install();

    void Reset(const IrisScript& script = IrisScript());
    // What the next calibrations answer.
    void SetCalibrationResult(int result);
    int PreviewsDelivered(int side) const { return previews_[side == 2 ? 1 : 0].load(); }

    int GetAPIVersion(ZarnApiVersion* out);
    int Initialize();
    int DeInitialize();
    int GetDeviceInfo(ZarnDeviceInfo* out);
    int GetConnectedDevice(int* count);
    int GetRunningInfo(int side, ZarnRunningInfo* out);
    int SetMode(int eyeMode, int quality, int autoCapture, int extra);
    int Start();
    int Abort();
    int Calibration(int eyeMode);
    int Beeper(int pattern);
    int TakeResultImage(int eyeMode);
    int AcquireResultImage();
    int RegisterPreview(int side, ZarnCallbackPreviewImage callback, void* context);
    int RegisterResult(int side, ZarnIrisCallbackResultImage callback, void* context);
    int RegisterConnected(ZarnCallbackDeviceIsConnected callback, void* context);

private:
    struct Camera {
        ZarnCallbackPreviewImage preview = nullptr;
        ZarnIrisCallbackResultImage result = nullptr;
        ZarnCallbackDeviceIsConnected connected = nullptr;
        void* context = nullptr;
        ZarnIrisRunningInfo running{};
        std::vector<uint8_t> pixels;
    };
    FakeIrisLibrary() = default;
    // Records a callback registration of one camera (side 2 the right one, 0 and 1 the left) and
    // keeps the callback in `slot` with the context word.
    template <typename Callback>
    int RegisterCamera(const char* function, int side, Callback Camera::*slot, Callback callback, void* context);
    void JoinThreads();
    void CameraLoop(int index, int generation);
    void ConnectionLoop(int generation);
    // Delivers the result of one camera on the calling thread.
    void DeliverResult(int index);

    IrisScript script_;
    Camera cameras_[2];
    std::atomic<bool> armed_[2]{false, false};
    std::atomic<bool> delivering_{false};
    std::atomic<int> previews_[2]{0, 0};
};

}  // namespace fakezarn
