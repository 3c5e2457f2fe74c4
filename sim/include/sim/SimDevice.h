#pragma once
// A simulated scanner or iris camera unit on the USB transport: it answers the driver's standard
// and vendor requests from its register file and streams raw frames on its bulk IN endpoint,
// paced by a frame clock, with faults that tests can inject.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/UsbTransport.h"
#include "sim/EyeRender.h"
#include "sim/Models.h"
#include "sim/Render.h"

namespace sim {

class Notifier;

// What the scenario does to a device.
struct DeviceAction {
    enum Kind {
        Empty,     // lift everything and clean the platen
        Place,     // put fingers down in `layout`
        Lift,
        Move,      // shift the hand by (x, y) mm
        Roll,      // roll a finger over `frames` frames
        Dirty,     // on = `on`
        Key,       // keys and foot switch byte = `value` (0 releases)
        Eye,       // eye in front of the camera: `on`
        EyeAt,     // eye centre at (x, y), fractions of the frame
        Distance,  // subject distance `x` mm
        Blink,     // close and reopen the lids over `frames` frames
        LookAway,  // gaze turned aside: `on`
        HeadRoll,  // head rolled by `x` degrees
        Pattern,   // coordinate-encoded test pattern instead of the scene: `on`
        Unplug,
        Replug,
        Set,       // a scene knob: `name` = `x` (see the scenario statement "set")
    } kind = Empty;
    FingerLayout layout = FingerLayout::None;
    double x = 0, y = 0;
    int frames = 0;
    bool on = true;
    uint8_t value = 0;
    std::string name = {};
    std::string text = {};  // the value of a knob that takes text (firmware)
};

// An action keyed to the time since the device was created or to the frames sent since the
// stream last started.
struct TimedAction {
    bool byFrame = false;
    double at = 0;  // milliseconds or frames
    DeviceAction action;
};

struct DeviceConfig {
    ModelId model = ModelId::PloverA;
    std::string location;          // e.g. "1-1"; the bus fills it in when empty
    uint32_t serial = 1001;
    uint16_t date1 = 0, date2 = 0;  // 0: a fixed plausible date
    double framePeriodMs = 0;      // 0: the model's period
    uint16_t frameTimeoutMs = 0;   // reported frame time-out (0: the driver's default)
    uint32_t sensorType = 0x11C3502;  // iris camera: any other value is the 752 x 480 sensor
    uint8_t maxPower = 0xFA;       // bMaxPower of the configuration descriptor
    uint32_t seed = 1;
    uint32_t subject = 1;          // iris camera: whose eyes it sees
    bool testPattern = false;
    uint16_t vendorId = 0;         // 0: the model's
    std::vector<uint16_t> report;  // eleven words answered to the report request; empty: the model's
    std::vector<TimedAction> timeline;
};

// One control request as the device saw it.
struct ControlRecord {
    platform::usb::SetupPacket setup;
    std::vector<uint8_t> data;  // OUT data
    uint64_t atMs = 0;          // since the device was created
};

class SimDevice : public platform::usb::Transport, public std::enable_shared_from_this<SimDevice> {
public:
    static std::shared_ptr<SimDevice> Create(const DeviceConfig& config);
    ~SimDevice() override;

    // Transport.
    platform::usb::TransferStatus Submit(const std::shared_ptr<platform::usb::Transfer>& t) override;
    void Cancel(const std::shared_ptr<platform::usb::Transfer>& t) override;
    void SetRemovalHandler(std::function<void()> handler) override;
    bool IsAttached() const override;
    std::string Location() const override;

    const ModelTraits& traits() const { return traits_; }
    const DeviceConfig& config() const { return config_; }

    // Scene and input.
    void Apply(const DeviceAction& action);
    void SetKeys(uint8_t value);

    // Faults.
    void InjectStrayBytes(size_t count);  // shifts the byte stream out of step with the frames
    void InjectBrightFirstLine(int frames);
    // Types 0 and 1: the masked first line reads `level(column)` in every frame (empty: dark).
    void SetFirstLine(std::function<uint8_t(int column)> level);
    // The next `frames` frames lack their sync pattern (or, on types 0 and 1, their dark line).
    void InjectSyncLoss(int frames);
    // Each frame waits before it starts until `mayStart(frame)` (frames sent since the stream
    // started) answers true, asked again every millisecond; tests pace the device by the host
    // with it. Empty: frames come at their period.
    void GateFrames(std::function<bool(uint32_t frame)> mayStart);
    void StallControl(int count);         // the next `count` control requests never answer
    void SilenceBulk();                   // no bulk data until the pipe is reset
    void FailBulk();                      // pending bulk reads end with an error
    void Unplug();
    void Replug();

    // Observations.
    std::vector<ControlRecord> ControlLog() const;  // requests answered
    std::vector<ControlRecord> UnansweredControl() const;  // requests swallowed by StallControl
    std::vector<ControlRecord> VendorWrites(uint8_t request) const;
    uint32_t FramesSent() const;          // since the stream last started
    uint32_t TotalFrames() const;
    int StartCount() const;               // 0xB2 received
    size_t UnreadBytes() const;           // sent, not yet read by the host
    size_t QueuedBulkReads() const;       // bulk reads waiting for data
    int PipeResets() const;
    int CaptureMode() const;              // FrameSizeMode the device streams in
    bool Streaming() const;

    // Called on attach changes (true: replugged), on a notifier thread.
    void SetAttachHandler(std::function<void(bool)> handler);

    // The device's header and LED status as it answers them.
    std::array<uint8_t, 24> DeviceText() const {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    explicit SimDevice(const DeviceConfig& config);
    void Run();
    void FrameLoop();
    void ApplyLocked(const DeviceAction& action);
    void RunTimelineLocked(bool frameEvents);
    void AnswerControl(platform::usb::Transfer& t);
    std::vector<uint8_t> RenderFrameRaw(uint32_t frameIndex, bool* syncLoss = nullptr);
    void FillBulkLocked(std::vector<std::shared_ptr<platform::usb::Transfer>>& done);
    void DropAllLocked(platform::usb::TransferStatus status,
                       std::vector<std::shared_ptr<platform::usb::Transfer>>& done);
    std::array<uint8_t, 7> LedStatusLocked() const;
    uint64_t NowMs() const;

    const DeviceConfig config_;
    ModelTraits traits_;  // the model's, with the frame sizes of this unit's sensor
    std::array<uint8_t, 24> text_{};
    const std::chrono::steady_clock::time_point created_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable frameWake_;
    bool quit_ = false;
    bool attached_ = true;
    std::function<void()> removalHandler_;
    std::function<void(bool)> attachHandler_;

    std::deque<std::shared_ptr<platform::usb::Transfer>> controlQueue_;
    std::vector<std::shared_ptr<platform::usb::Transfer>> stalled_;
    std::deque<std::shared_ptr<platform::usb::Transfer>> bulkQueue_;
    std::vector<std::shared_ptr<platform::usb::Transfer>> cancelled_;
    std::vector<ControlRecord> log_;

    // Register file.
    std::map<uint8_t, std::vector<uint8_t>> registers_;
    uint8_t keys_ = 0;
    int ledRed1_ = 0, ledRed2_ = 0, ledWhite_ = 0;
    int lastRed1_ = 81, lastRed2_ = 81;  // last non-zero levels, reported in the LED status
    uint32_t sensorType_;

    // Streaming.
    bool streaming_ = false;
    int pendingMode_ = 0;
    int mode_ = 0;
    std::deque<uint8_t> fifo_;
    std::chrono::steady_clock::time_point nextFrame_;
    uint32_t framesSent_ = 0;
    uint32_t totalFrames_ = 0;
    int starts_ = 0;
    int pipeResets_ = 0;
    bool silenced_ = false;
    size_t strayBytes_ = 0;
    int brightFrames_ = 0;
    std::function<uint8_t(int column)> firstLine_;
    int syncLossFrames_ = 0;
    std::function<bool(uint32_t)> frameGate_;
    int stallControl_ = 0;
    std::vector<ControlRecord> unanswered_;

    // Scene.
    FingerScene scene_;
    struct EyeState {
        bool present = true;
        double x = 0.5, y = 0.5, distanceMm = 300, rollDeg = 0;
        bool lookAway = false;
        double gain = 1;  // the sensor's analogue gain
        double cardAlbedo = 0;  // > 0: a uniform grey card of this albedo instead of the eye
        int blinkFrames = 0;
        uint32_t blinkStart = 0;
    } eye_;
    std::shared_ptr<const IrisTexture> irisTexture_;
    EyeSceneParams eyeCacheKey_;  // noiseless scene of eyeCache_
    GreyImage eyeCache_;
    bool testPattern_;
    int rollFrames_ = 0;
    uint32_t rollStart_ = 0;
    std::vector<bool> fired_;

    int landingFrames_ = 3;      // frames a hand takes to come down fully
    uint32_t placeFrame_ = 0;
    bool tremor_ = false;        // a held hand shakes a little
    double restlessMm_ = 0;      // a hand that never holds still: a step of this size every frame
    int rollFault_ = 0;

    // Cache of the last noiseless scene.
    int cacheMode_ = -1;
    FingerScene cacheScene_;
    GreyImage cache_;
    GreyImage framePicture_;  // the frame being drawn, reused from frame to frame

    std::unique_ptr<Notifier> notifier_;
    std::thread thread_;
    std::thread frameThread_;
};

}  // namespace sim
