#pragma once
// The simulated FireWire ten-print scanners KestrelB, KestrelC and KestrelD. They reach the system
// through the video-capture layer, not the USB driver. In the full mode the camera sends sets of
// four frames, tagged 129 to 132 in byte 5, each a view of the platen shifted by half a pixel:
// together they sample a grid of twice the width and twice the height, which the capture library
// interleaves into its full-resolution image.

#include <array>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/FireWireCamera.h"
#include "sim/Render.h"

namespace sim {

enum class KestrelVariant { B, C, D };

// The half-pixel shift of a part: its pixel (row y, column x) shows the point (2y + dy, 2x + dx)
// of the double-resolution grid, in the sensor's own (raw) orientation.
struct SubPixelShift {
    int dy = 0, dx = 0;
    bool operator==(const SubPixelShift&) const = default;
};

struct KestrelConfig {
    KestrelVariant variant = KestrelVariant::B;
    std::string location = "fw-1";
    double framePeriodMs = 266.6666;
    uint32_t seed = 1;
    uint32_t serial = 2001;
    bool testPattern = false;           // coordinate-encoded pattern instead of the platen
    FingerLayout layout = FingerLayout::None;
    double offsetXmm = 0, offsetYmm = 0;  // where the hand lies, from the platen centre (y down)
    // The tags of the full frames in the order sent, repeated; empty: 129, 130, 131, 132. A tag left
    // out is a lost part, a tag given twice a repeated one, a value outside 129..132 a wrong tag.
    // Set n of the test pattern is the n-th pass through the sequence.
    std::vector<uint8_t> tagSequence;
    // Palm movement: from this position of the sequence on, the platen shows the picture moved by
    // `palmShift` grid columns (-1: never).
    int palmMovesAt = -1;
    int palmShift = 0;
    // Every pass shows set 0 of the test pattern: a hand that lies still.
    bool stillPattern = false;
};

class SimKestrel : public platform::firewire::Camera, public std::enable_shared_from_this<SimKestrel> {
public:
    static constexpr int kFullWidth = 2912, kFullHeight = 4512;
    static constexpr int kTagByte = 5;
    static constexpr uint8_t kFirstTag = 129;
    static constexpr int kTextAt = 6;  // 24 bytes of device text
    static constexpr long kExposureRegister = 4;

    static std::shared_ptr<SimKestrel> Create(const KestrelConfig& config);
    ~SimKestrel() override;

    // Camera.
    std::string HardwareId() const override;
    std::string Description() const override;
    std::string Location() const override { return config_.location; }
    std::vector<platform::firewire::FrameSize> Sizes() const override;
    bool Start(int frameSizeMode, FrameHandler frame) override;
    void Stop() override;
    bool SetRegister(long id, long value) override;
    bool GetRegister(long id, long* value) override;
    bool IsAttached() const override { return attached_; }

    // Ground truth. The tags go out in the order 129, 130, 131, 132; the shift of each is the one
    // the capture library of this variant places the tagged part at.
    static SubPixelShift ShiftOfTag(KestrelVariant variant, uint8_t tag);
    // The double-resolution picture that set `set` of the test pattern samples, at grid point
    // (column X, row Y): 2 x 2912 columns, 2 x 4512 rows.
    static uint8_t PatternGroundTruth(uint32_t set, int X, int Y);

    void Unplug();
    // A finger rolled across the middle of the roll window, from nail side to nail side over the
    // next `frames` roll frames, after which it lies still, rolled; Lift takes it off the glass.
    // The roll frames show nothing else meanwhile (no hand of the configuration).
    void Roll(int frames);
    void Lift();
    // Roll frames sent so far.
    uint64_t RollFramesSent() const { return rollFramesSent_; }
    std::array<uint8_t, 24> DeviceText() const { return text_; }
    KestrelVariant Variant() const { return config_.variant; }

private:
    explicit SimKestrel(const KestrelConfig& config);
    void Loop(int mode, uint64_t generation);
    // Renders frame `index` of the mode into `frame`, which keeps its storage from frame to frame.
    void RenderFrame(int mode, uint64_t index, std::vector<uint8_t>& frame);
    // The platen at double resolution under reference settings, rendered once; the camera's
    // response maps its grey levels to the current settings.
    const GreyImage& HighResolution();
    static std::array<uint8_t, 256> ResponseAt(const PlatenParams& settings);
    // Exposure, brightness and contrast as the registers hold them now.
    PlatenParams Settings();

    const KestrelConfig config_;
    std::array<uint8_t, 24> text_{};
    std::atomic<bool> attached_{true};

    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<long, long> registers_;
    bool streaming_ = false;
    uint64_t generation_ = 0;
    FrameHandler handler_;
    std::thread thread_;
    std::mutex callMutex_;  // held while a frame is handed over
    GreyImage highResolution_;  // the platen on the double-resolution grid, in the sensor's orientation
    // The last roll or preview frame of the platen and the scene it shows (the mode's size and
    // resolution, the camera settings, the roll phase); used by the stream's thread only.
    std::vector<uint8_t> platenRaw_;
    FingerScene platenScene_;
    // The roll: frames it lasts (0: no finger rolled), roll frames sent when it began (guarded by
    // mutex_).
    int rollFrames_ = 0;
    uint64_t rollStart_ = 0;
    std::atomic<uint64_t> rollFramesSent_{0};
};

// The FireWire bus with its simulated cameras.
class SimFireWireBus : public platform::firewire::Bus {
public:
    std::shared_ptr<SimKestrel> Add(const KestrelConfig& config);
    std::vector<std::shared_ptr<platform::firewire::Camera>> Cameras() override;

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<SimKestrel>> cameras_;
};

}  // namespace sim
