#include "sim/SimKestrel.h"

#include "sim/Models.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include "platform/ThreadName.h"

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// Sizes of FrameSizeMode 0, 1 and 2: full frame, roll frame, preview frame.
constexpr platform::firewire::FrameSize kSizes[3] = {{2912, 4512}, {2144, 1536}, {1456, 1504}};

// Grid offsets (row, column) of part index 0..3 on the double-resolution grid.
constexpr SubPixelShift kPartOffsets[4] = {{1, 0}, {0, 0}, {0, 1}, {1, 1}};

int ModeIndex(int mode) { return mode == 1 || mode == 2 ? mode : 0; }

}  // namespace

std::shared_ptr<SimKestrel> SimKestrel::Create(const KestrelConfig& config) {
    return std::shared_ptr<SimKestrel>(new SimKestrel(config));
}

SimKestrel::SimKestrel(const KestrelConfig& config) : config_(config) {
    const char* model = config.variant == KestrelVariant::B ? "KESTRELB" : config.variant == KestrelVariant::C ? "KESTRELC" : "KESTRELD";
    std::memcpy(text_.data(), model, 8);
    std::memcpy(&text_[12], "2107", 4);
    for (int i = 0; i < 4; ++i) text_[16 + size_t(i)] = uint8_t(config.serial >> (8 * i));
    const uint16_t date = uint16_t((2024 - 2000) | (14 << 7) | (5 << 12));
    text_[20] = text_[22] = uint8_t(date);
    text_[21] = text_[23] = uint8_t(date >> 8);
    registers_ = {{0, 80}, {1, 0}, {kExposureRegister, 40}, {16, 0}};
}

SimKestrel::~SimKestrel() { Stop(); }

std::string SimKestrel::HardwareId() const {
    switch (config_.variant) {
        case KestrelVariant::B: return "KestrelB-Firewire";
        case KestrelVariant::C: return "KestrelB-Flat-Firewire";
        case KestrelVariant::D: return "KestrelB-II-Firewire";
    }
    return {};
}

std::string SimKestrel::Description() const { return HardwareId(); }

std::vector<platform::firewire::FrameSize> SimKestrel::Sizes() const { return {kSizes[0], kSizes[1], kSizes[2]}; }

SubPixelShift SimKestrel::ShiftOfTag(KestrelVariant variant, uint8_t tag) {
    if (tag < kFirstTag || tag > kFirstTag + 3) return {};
    int part = tag - kFirstTag;
    // KestrelC and KestrelD count their parts with 129/130 and 131/132 swapped.
    if (variant != KestrelVariant::B) part ^= 1;
    return kPartOffsets[part];
}

uint8_t SimKestrel::PatternGroundTruth(uint32_t set, int X, int Y) { return TestPatternValue(X, Y, set); }

bool SimKestrel::Start(int frameSizeMode, FrameHandler frame) {
    std::unique_lock lock(mutex_);
    if (!attached_ || streaming_ || !frame) return false;
    if (thread_.joinable()) {
        lock.unlock();
        thread_.join();
        lock.lock();
    }
    streaming_ = true;
    handler_ = std::move(frame);
    const uint64_t generation = ++generation_;
    thread_ = platform::StartNamedThread("sim-kestrel", [self = shared_from_this(), mode = ModeIndex(frameSizeMode), generation] {
        self->Loop(mode, generation);
    });
    return true;
}

void SimKestrel::Stop() {
    std::thread t;
    {
        std::lock_guard lock(mutex_);
        streaming_ = false;
        ++generation_;
        t = std::move(thread_);
    }
    wake_.notify_all();
    if (!t.joinable()) return;
    if (t.get_id() == std::this_thread::get_id()) {
        t.detach();  // asked from a frame call: the loop ends once the call returns
        return;
    }
    t.join();
}

void SimKestrel::Roll(int frames) {
    std::lock_guard lock(mutex_);
    rollFrames_ = std::max(1, frames);
    rollStart_ = rollFramesSent_;
}

void SimKestrel::Lift() {
    std::lock_guard lock(mutex_);
    rollFrames_ = 0;
}

void SimKestrel::Unplug() {
    attached_ = false;
    Stop();
}

bool SimKestrel::SetRegister(long id, long value) {
    if (!attached_ || id < 0 || id > 24) return false;
    std::lock_guard lock(mutex_);
    registers_[id] = value;
    return true;
}

bool SimKestrel::GetRegister(long id, long* value) {
    if (!attached_ || !value || id < 0 || id > 24) return false;
    std::lock_guard lock(mutex_);
    auto it = registers_.find(id);
    *value = it == registers_.end() ? 0 : it->second;
    return true;
}

PlatenParams SimKestrel::Settings() {
    PlatenParams p;
    std::lock_guard lock(mutex_);
    p.exposure = double(registers_[kExposureRegister]);
    p.brightness = double(registers_[0]);
    p.contrast = double(registers_[1]);
    return p;
}

namespace {

// The settings the platen is drawn under: exposure 0, neutral brightness and contrast, under which
// clean glass stays well below the clipping level. The camera's response maps them to its own.
PlatenParams ReferenceSettings() {
    PlatenParams p;
    p.exposure = 0;
    return p;
}

// The platen upright, as the library's assembled 9024 x 5824 image shows it before its keystone
// correction, drawn at half that size (pixel (x, y) shows the assembled image's (2x, 2y)) at the
// reference settings. The optics image the glass as a trapezoid narrower at the bottom
// with rows closer together towards the top, exactly as the full-mode distortion set (1664, 1618,
// 1160, 2450, 1008, 1008) takes back to an even 1000 ppi; the unlit corners the library whitens
// lie outside it. A drawing of this size takes seconds, so the last one is kept for the next
// camera with the same hand.
std::shared_ptr<const GreyImage> UprightPlaten(const KestrelConfig& config) {
    struct Key {
        FingerLayout layout;
        double offsetXmm, offsetYmm;
        uint32_t seed;
        bool operator==(const Key&) const = default;
    };
    static std::mutex mutex;
    static Key lastKey{};
    static std::shared_ptr<const GreyImage> last;
    const Key key{config.layout, config.offsetXmm, config.offsetYmm, config.seed};
    std::lock_guard lock(mutex);
    if (last && lastKey == key) return last;
    FingerScene scene;
    scene.platen = ReferenceSettings();
    scene.platen.width = SimKestrel::kFullHeight;
    scene.platen.height = SimKestrel::kFullWidth;
    Keystone& k = scene.platen.keystone;
    k.on = true;
    k.a = 1664, k.b = 1618, k.l = 1160, k.e = 2450, k.g = 1008, k.k = 1008;
    k.outPpi = 1000;
    k.frameWidth = 2 * SimKestrel::kFullHeight;
    k.frameHeight = 2 * SimKestrel::kFullWidth;
    k.scale = 2;
    scene.layout = config.layout;
    scene.offsetXmm = config.offsetXmm;
    scene.offsetYmm = config.offsetYmm;
    last = std::make_shared<const GreyImage>(RenderFingers(scene, config.seed));
    lastKey = key;
    return last;
}

}  // namespace

const GreyImage& SimKestrel::HighResolution() {
    if (highResolution_.pixels.empty()) {
        const std::shared_ptr<const GreyImage> half = UprightPlaten(config_);
        const int hw = half->width, hh = half->height;
        // The library turns each part (KestrelB and KestrelC) or the assembled grid (KestrelD) into
        // the upright image: grid point (X, Y) of the sensor is the upright image's (Y, 2 x 2912 - 1
        // - X) on KestrelC and KestrelD, which transpose it and turn it top to bottom. KestrelB's
        // turn also mirrors it, so its optics show it the glass the other way round: its grid point
        // (X, Y) is the upright image's (2 x 4512 - 1 - Y, 2 x 2912 - 1 - X). A point between the
        // pixels of the half-size drawing is the mean of its neighbours.
        const int gw = 2 * kFullWidth, gh = 2 * kFullHeight;
        const bool mirrored = config_.variant == KestrelVariant::B;
        highResolution_ = GreyImage(gw, gh);
        for (int X = 0; X < gw; ++X) {
            const int v = gw - 1 - X;  // row of the upright image
            const uint8_t* r0 = &half->pixels[size_t(v / 2) * size_t(hw)];
            const uint8_t* r1 = &half->pixels[size_t(std::min((v + 1) / 2, hh - 1)) * size_t(hw)];
            for (int Y = 0; Y < gh; ++Y) {
                const int u = mirrored ? gh - 1 - Y : Y;  // column of the upright image
                const int c0 = u / 2, c1 = std::min((u + 1) / 2, hw - 1);
                highResolution_.pixels[size_t(Y) * gw + size_t(X)] = uint8_t((r0[c0] + r0[c1] + r1[c0] + r1[c1] + 2) / 4);
            }
        }
    }
    return highResolution_;
}

std::array<uint8_t, 256> SimKestrel::ResponseAt(const PlatenParams& now) {
    // A grey level of the reference picture is a reflectance seen under the reference settings;
    // the sensor shows that reflectance under the camera's current ones.
    const PlatenParams reference = ReferenceSettings();
    const double dark = SensorLevel(reference, 0), white = SensorLevel(reference, 1);
    std::array<uint8_t, 256> lut{};
    for (int v = 0; v < 256; ++v) {
        const double level = SensorLevel(now, (v - dark) / (white - dark));
        lut[size_t(v)] = uint8_t(std::clamp(level + 0.5, 0.0, 255.0));
    }
    return lut;
}

void SimKestrel::RenderFrame(int mode, uint64_t index, std::vector<uint8_t>& frame) {
    const auto size = kSizes[mode];
    const int W = size.width, H = size.height;
    if (mode == 0) {
        frame.resize(size_t(W) * H);  // every byte is written below
        const std::vector<uint8_t>& sequence = config_.tagSequence;
        const size_t n = sequence.empty() ? 4 : sequence.size();
        const uint8_t tag = sequence.empty() ? uint8_t(kFirstTag + index % 4) : sequence[index % n];
        const uint32_t set = config_.stillPattern ? 0u : uint32_t(index / n);
        const SubPixelShift s = ShiftOfTag(config_.variant, tag);
        const int moved = config_.palmMovesAt >= 0 && int(index % n) >= config_.palmMovesAt ? config_.palmShift : 0;
        // Sensor pixel (x, y) samples grid point (2x + dx + moved, 2y + dy), held at the grid's
        // edge when the palm moved it off.
        const int X0 = s.dx + moved;
        const int first = std::clamp((-X0 + 1) / 2, 0, W), last = std::clamp((2 * W - X0 + 1) / 2, first, W);
        if (config_.testPattern) {
            for (int y = 0; y < H; ++y) {
                uint8_t* row = &frame[size_t(y) * W];
                for (int x = 0; x < W; ++x) row[x] = PatternGroundTruth(set, 2 * x + X0, 2 * y + s.dy);
            }
        } else {
            // The platen brightens with the exposure, brightness and contrast the camera is set to.
            const GreyImage& grid = HighResolution();
            const std::array<uint8_t, 256> response = ResponseAt(Settings());
            for (int y = 0; y < H; ++y) {
                const uint8_t* src = &grid.pixels[size_t(2 * y + s.dy) * size_t(grid.width)];
                uint8_t* row = &frame[size_t(y) * W];
                for (int x = 0; x < first; ++x) row[x] = response[src[0]];
                for (int x = first; x < last; ++x) row[x] = response[src[2 * x + X0]];
                for (int x = last; x < W; ++x) row[x] = response[src[2 * W - 1]];
            }
        }
        frame[kTagByte] = tag;
    } else {
        // Roll and preview: the scene the library's decode gives back, put into the raw layout.
        const ModelTraits& traits = Traits(config_.variant == KestrelVariant::B   ? ModelId::KestrelB
                                           : config_.variant == KestrelVariant::C ? ModelId::KestrelC
                                                                                  : ModelId::KestrelD);
        const ModeGeometry& g = Mode(traits, mode);
        if (config_.testPattern) {
            frame = EncodeRaw(traits, mode, RenderTestPattern(g.sceneWidth, g.sceneHeight, uint32_t(index)));
        } else {
            // The hand lies still: the platen is drawn once for each mode, camera setting and roll
            // phase, and the frames that follow show that picture until one of them changes.
            FingerScene f;
            f.platen = Settings();
            f.platen.width = g.sceneWidth;
            f.platen.height = g.sceneHeight;
            f.platen.ppiX = g.ppiX;
            f.platen.ppiY = g.ppiY;
            f.layout = config_.layout;
            f.offsetXmm = config_.offsetXmm;
            f.offsetYmm = config_.offsetYmm;
            if (mode == 1) {
                std::lock_guard lock(mutex_);
                if (rollFrames_ > 0) {
                    f.layout = FingerLayout::Roll;
                    f.offsetXmm = f.offsetYmm = 0;
                    f.rollPhase = std::min(1.0, double(rollFramesSent_ - rollStart_) / rollFrames_);
                }
            }
            // One seed for every frame: it chooses the skin, which must not change while the finger
            // rolls.
            if (platenRaw_.empty() || !(f == platenScene_)) {
                platenRaw_ = EncodeRaw(traits, mode, RenderFingers(f, config_.seed));
                platenScene_ = f;
            }
            frame.assign(platenRaw_.begin(), platenRaw_.end());
        }
    }
    std::memcpy(&frame[kTextAt], text_.data(), text_.size());
    if (mode == 1) ++rollFramesSent_;
}

void SimKestrel::Loop(int mode, uint64_t generation) {
    const auto period = std::chrono::microseconds(int64_t(config_.framePeriodMs * 1000));
    auto next = Clock::now() + period;
    uint64_t index = 0;
    std::vector<uint8_t> frame;  // one buffer for the whole stream: a full frame is 13 MB
    std::unique_lock lock(mutex_);
    while (true) {
        if (wake_.wait_until(lock, next, [&] { return !streaming_ || generation_ != generation || !attached_; })) break;
        next += period;
        if (next < Clock::now()) next = Clock::now();
        FrameHandler handler = handler_;
        lock.unlock();
        RenderFrame(mode, index++, frame);
        {
            std::lock_guard call(callMutex_);
            bool current;
            {
                std::lock_guard l(mutex_);
                current = streaming_ && generation_ == generation && attached_;
            }
            if (current && handler) handler(frame.data(), frame.size(), kSizes[mode].width, kSizes[mode].height);
        }
        lock.lock();
    }
}

std::shared_ptr<SimKestrel> SimFireWireBus::Add(const KestrelConfig& config) {
    auto camera = SimKestrel::Create(config);
    std::lock_guard lock(mutex_);
    cameras_.push_back(camera);
    return camera;
}

std::vector<std::shared_ptr<platform::firewire::Camera>> SimFireWireBus::Cameras() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<platform::firewire::Camera>> out;
    for (auto& c : cameras_)
        if (c->IsAttached()) out.push_back(c);
    return out;
}

}  // namespace sim
