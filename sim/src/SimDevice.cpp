#include "sim/SimDevice.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>

#include "Notifier.h"
#include "platform/TessikUsbProtocol.h"
#include "platform/ThreadName.h"
#include "sim/Optics.h"
#include "FingerSkin.h"

namespace sim {

namespace usb = platform::usb;
namespace proto = platform::usb::tessik;
using Clock = std::chrono::steady_clock;
using TransferPtr = std::shared_ptr<usb::Transfer>;

namespace {

constexpr uint8_t kBulkEndpoint = 0x82;
constexpr size_t kFifoLimitFrames = 2;  // the device's own frame memory
constexpr int kReadoutSlices = 8;

void PutLe16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

uint32_t Le(const std::vector<uint8_t>& v) {
    uint32_t x = 0;
    for (size_t i = 0; i < v.size() && i < 4; ++i) x |= uint32_t(v[i]) << (8 * i);
    return x;
}

}  // namespace

std::shared_ptr<SimDevice> SimDevice::Create(const DeviceConfig& config) {
    std::shared_ptr<SimDevice> d(new SimDevice(config));
    d->thread_ = platform::StartNamedThread("sim-usb", [p = d.get()] { p->Run(); });
    d->frameThread_ = platform::StartNamedThread("sim-frames", [p = d.get()] { p->FrameLoop(); });
    return d;
}

SimDevice::SimDevice(const DeviceConfig& config)
    : config_(config), traits_(Traits(config.model)), created_(Clock::now()), sensorType_(config.sensorType),
      testPattern_(config.testPattern), fired_(config.timeline.size(), false), notifier_(std::make_unique<Notifier>()) {
    const uint16_t d1 = config.date1 ? config.date1 : PackDate(2024, 5, 14);
    const uint16_t d2 = config.date2 ? config.date2 : PackDate(2024, 6, 3);
    if (!traits_.scanner && sensorType_ != platform::usb::tessik::kSensor640x480)
        for (auto& m : traits_.modes) m = {752, 480, 752, 480, 500, 500, 4};
    text_ = MakeDeviceText(traits_, config.serial, d1, d2);
    registers_[proto::kReqSetExposure] = {40};
    registers_[proto::kReqSetBrightness] = {40};
    registers_[proto::kReqSetContrast] = {0};
    scene_.platen.base = traits_.platenBase;
    scene_.platen.gain = traits_.platenGain;
}

SimDevice::~SimDevice() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    frameWake_.notify_all();
    if (frameThread_.joinable()) frameThread_.join();
    if (thread_.joinable()) thread_.join();
    notifier_.reset();
}

uint64_t SimDevice::NowMs() const {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - created_).count());
}

usb::TransferStatus SimDevice::Submit(const TransferPtr& t) {
    if (!t) return usb::TransferStatus::Error;
    {
        std::lock_guard lock(mutex_);
        if (!attached_ || quit_) return usb::TransferStatus::NoDevice;
        t->actualLength = 0;
        t->status = usb::TransferStatus::Success;
        t->pending = true;
        if (t->kind == usb::TransferKind::Control)
            controlQueue_.push_back(t);
        else
            bulkQueue_.push_back(t);
    }
    wake_.notify_all();
    return usb::TransferStatus::Success;
}

void SimDevice::Cancel(const TransferPtr& t) {
    if (!t) return;
    {
        std::lock_guard lock(mutex_);
        if (!t->pending) return;
        cancelled_.push_back(t);
    }
    wake_.notify_all();
}

void SimDevice::SetRemovalHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    removalHandler_ = std::move(handler);
}

void SimDevice::SetAttachHandler(std::function<void(bool)> handler) {
    std::lock_guard lock(mutex_);
    attachHandler_ = std::move(handler);
}

bool SimDevice::IsAttached() const {
    std::lock_guard lock(mutex_);
    return attached_;
}

std::string SimDevice::Location() const { return config_.location; }

void SimDevice::Apply(const DeviceAction& action) {
    {
        std::lock_guard lock(mutex_);
        ApplyLocked(action);
    }
    wake_.notify_all();
}

void SimDevice::SetKeys(uint8_t value) {
    std::lock_guard lock(mutex_);
    keys_ = value;
}

void SimDevice::InjectStrayBytes(size_t count) {
    std::lock_guard lock(mutex_);
    strayBytes_ += count;
}

void SimDevice::InjectBrightFirstLine(int frames) {
    std::lock_guard lock(mutex_);
    brightFrames_ = frames;
}

void SimDevice::SetFirstLine(std::function<uint8_t(int column)> level) {
    std::lock_guard lock(mutex_);
    firstLine_ = std::move(level);
}

void SimDevice::InjectSyncLoss(int frames) {
    std::lock_guard lock(mutex_);
    syncLossFrames_ = frames;
}

void SimDevice::GateFrames(std::function<bool(uint32_t frame)> mayStart) {
    std::lock_guard lock(mutex_);
    frameGate_ = std::move(mayStart);
    frameWake_.notify_all();
}

void SimDevice::StallControl(int count) {
    std::lock_guard lock(mutex_);
    stallControl_ = count;
}

void SimDevice::SilenceBulk() {
    std::lock_guard lock(mutex_);
    silenced_ = true;
}

void SimDevice::FailBulk() {
    std::vector<TransferPtr> done;
    {
        std::lock_guard lock(mutex_);
        for (auto& t : bulkQueue_) {
            t->status = usb::TransferStatus::Error;
            done.push_back(t);
        }
        bulkQueue_.clear();
    }
    for (auto& t : done) {
        t->pending = false;
        if (t->completion) t->completion(*t);
    }
}

void SimDevice::Unplug() { Apply({DeviceAction::Unplug}); }
void SimDevice::Replug() { Apply({DeviceAction::Replug}); }

std::vector<ControlRecord> SimDevice::ControlLog() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::vector<ControlRecord> SimDevice::UnansweredControl() const {
    std::lock_guard lock(mutex_);
    return unanswered_;
}

std::vector<ControlRecord> SimDevice::VendorWrites(uint8_t request) const {
    std::lock_guard lock(mutex_);
    std::vector<ControlRecord> out;
    for (const auto& r : log_)
        if ((r.setup.requestType & 0x60) == usb::kTypeVendor && !(r.setup.requestType & usb::kDirIn) &&
            r.setup.request == request)
            out.push_back(r);
    return out;
}

uint32_t SimDevice::FramesSent() const {
    std::lock_guard lock(mutex_);
    return framesSent_;
}
uint32_t SimDevice::TotalFrames() const {
    std::lock_guard lock(mutex_);
    return totalFrames_;
}
int SimDevice::StartCount() const {
    std::lock_guard lock(mutex_);
    return starts_;
}
size_t SimDevice::UnreadBytes() const {
    std::lock_guard lock(mutex_);
    return fifo_.size();
}
size_t SimDevice::QueuedBulkReads() const {
    std::lock_guard lock(mutex_);
    return bulkQueue_.size();
}
int SimDevice::PipeResets() const {
    std::lock_guard lock(mutex_);
    return pipeResets_;
}
int SimDevice::CaptureMode() const {
    std::lock_guard lock(mutex_);
    return mode_;
}
bool SimDevice::Streaming() const {
    std::lock_guard lock(mutex_);
    return streaming_;
}

void SimDevice::ApplyLocked(const DeviceAction& a) {
    switch (a.kind) {
        case DeviceAction::Empty:
            scene_.layout = FingerLayout::None;
            scene_.platen.dirty = false;
            rollFrames_ = 0;
            break;
        case DeviceAction::Place:
            scene_.layout = a.layout;
            scene_.offsetXmm = scene_.offsetYmm = 0;
            placeFrame_ = framesSent_;
            break;
        case DeviceAction::Lift:
            scene_.layout = FingerLayout::None;
            rollFrames_ = 0;
            break;
        case DeviceAction::Move:
            scene_.offsetXmm += a.x;
            scene_.offsetYmm += a.y;
            break;
        case DeviceAction::Roll:
            scene_.layout = FingerLayout::Roll;
            rollFrames_ = std::max(1, a.frames);
            rollStart_ = framesSent_;
            placeFrame_ = 0;  // a rolled finger is down from the start
            // On scanners whose roll window lies at the edge of the platen, the finger is rolled
            // there, not on the platen centre.
            if (const auto area = RollAreaMm(traits_)) std::tie(scene_.offsetXmm, scene_.offsetYmm) = *area;
            break;
        case DeviceAction::Set: {
            const double v = a.x;
            if (a.name == "rotation") scene_.rotationDeg = v;
            if (a.name == "gap") scene_.gap = FingerGap(std::clamp(int(v), 0, 2));
            if (a.name == "fingers") scene_.fingerMask = unsigned(v) & 0xF;
            if (a.name == "pressure") scene_.pressure = v;
            if (a.name == "skin") scene_.skin = SkinType(std::clamp(int(v), 0, 2));
            if (a.name == "phalanx") scene_.phalanx = v;
            if (a.name == "lamp") scene_.platen.lamp = v;
            if (a.name == "drift") scene_.platen.driftPerMinute = v;
            if (a.name == "roll-fault") scene_.rollFault = RollFault(std::clamp(int(v), 0, 3));
            if (a.name == "landing") landingFrames_ = std::max(1, int(v));
            if (a.name == "tremor") tremor_ = v != 0;
            if (a.name == "restless") restlessMm_ = v;
            if (a.name == "defect-row") scene_.platen.defectRows.push_back(int(v));
            if (a.name == "defect-column") scene_.platen.defectColumns.push_back(int(v));
            if (a.name == "gain") eye_.gain = std::max(0.0, v);
            if (a.name == "card") eye_.cardAlbedo = std::max(0.0, v);
            if (a.name == "firmware") {
                // The firmware text of the hardware word, padded with zero bytes.
                std::fill(text_.begin() + 12, text_.begin() + 16, uint8_t(0));
                std::copy_n(a.text.begin(), std::min<size_t>(a.text.size(), 4), text_.begin() + 12);
            }
            break;
        }
        case DeviceAction::Dirty:
            scene_.platen.dirty = a.on;
            break;
        case DeviceAction::Key:
            keys_ = a.value;
            break;
        case DeviceAction::Eye:
            eye_.present = a.on;
            break;
        case DeviceAction::EyeAt:
            eye_.x = a.x, eye_.y = a.y;
            break;
        case DeviceAction::Distance:
            eye_.distanceMm = a.x;
            break;
        case DeviceAction::Blink:
            eye_.blinkFrames = std::max(1, a.frames);
            eye_.blinkStart = framesSent_;
            break;
        case DeviceAction::LookAway:
            eye_.lookAway = a.on;
            break;
        case DeviceAction::HeadRoll:
            eye_.rollDeg = a.x;
            break;
        case DeviceAction::Pattern:
            testPattern_ = a.on;
            break;
        case DeviceAction::Unplug: {
            if (!attached_) break;
            attached_ = false;
            streaming_ = false;
            fifo_.clear();
            // Pending transfers end with NoDevice on the device thread, then the notices go out.
            wake_.notify_all();
            break;
        }
        case DeviceAction::Replug: {
            if (attached_) break;
            attached_ = true;
            // Power-on state.
            streaming_ = false;
            mode_ = pendingMode_ = 0;
            silenced_ = false;
            strayBytes_ = 0;
            stallControl_ = 0;
            removalHandler_ = nullptr;
            registers_[proto::kReqSetExposure] = {40};
            notifier_->Post([this] {
                std::function<void(bool)> h;
                {
                    std::lock_guard lock(mutex_);
                    h = attachHandler_;
                }
                if (h) h(true);
            });
            break;
        }
    }
}

void SimDevice::RunTimelineLocked(bool frameEvents) {
    const uint64_t now = NowMs();
    for (size_t i = 0; i < config_.timeline.size(); ++i) {
        const TimedAction& t = config_.timeline[i];
        if (fired_[i] || t.byFrame != frameEvents) continue;
        const bool due = frameEvents ? (streaming_ && framesSent_ >= t.at) : (double(now) >= t.at);
        if (!due) continue;
        fired_[i] = true;
        ApplyLocked(t.action);
    }
}

std::array<uint8_t, 7> SimDevice::LedStatusLocked() const {
    return {7, 1, uint8_t(lastRed2_), uint8_t(lastRed1_), uint8_t(ledWhite_), 0, 0};
}

void SimDevice::AnswerControl(usb::Transfer& t) {
    const usb::SetupPacket& s = t.setup;
    const bool in = s.requestType & usb::kDirIn;
    const uint8_t type = s.requestType & 0x60;
    std::vector<uint8_t> reply;
    bool stall = false;
    ControlRecord rec{s, {}, NowMs()};
    if (!in && t.buffer && s.length) rec.data.assign(t.buffer, t.buffer + std::min<uint32_t>(s.length, t.length));

    if (type == usb::kTypeStandard) {
        if (in && s.request == usb::kRequestGetDescriptor && (s.value >> 8) == usb::kDescriptorDevice) {
            reply = {18, usb::kDescriptorDevice, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64};
            PutLe16(reply, config_.vendorId ? config_.vendorId : traits_.vendorId);
            PutLe16(reply, traits_.productId);
            PutLe16(reply, traits_.bcdDevice);
            reply.insert(reply.end(), {1, 2, 3, 1});
        } else if (in && s.request == usb::kRequestGetDescriptor && (s.value >> 8) == usb::kDescriptorConfiguration) {
            reply = {9, usb::kDescriptorConfiguration, 25, 0, 1, 1, 0, 0x80, config_.maxPower,
                     9, usb::kDescriptorInterface, 0, 0, 1, 0xFF, 0, 0, 0,
                     7, usb::kDescriptorEndpoint, kBulkEndpoint, 0x02, 0x00, 0x02, 0};
        } else if (!in && s.request == usb::kRequestSetConfiguration) {
        } else if (!in && s.request == usb::kRequestClearFeature && (s.requestType & 0x1F) == usb::kRecipientEndpoint &&
                   s.index == kBulkEndpoint) {
            ++pipeResets_;
            silenced_ = false;
        } else {
            stall = true;
        }
    } else if (type == usb::kTypeVendor && in) {
        switch (s.request) {
            case proto::kReqDeviceReport: {
                if (!config_.report.empty()) {
                    for (uint16_t w : config_.report) PutLe16(reply, w);
                    break;
                }
                const auto& m = traits_.modes;
                for (uint16_t w : {uint16_t(m[0].rawWidth), uint16_t(m[0].rawHeight), uint16_t(m[2].rawWidth),
                                   uint16_t(m[2].rawHeight), uint16_t(m[1].rawWidth), uint16_t(m[1].rawHeight),
                                   m[0].divisor, m[2].divisor, m[1].divisor, uint16_t(traits_.modelType),
                                   config_.frameTimeoutMs})
                    PutLe16(reply, w);
                break;
            }
            case proto::kReqDeviceHeader:
                if (s.length == 4)
                    reply.assign(text_.begin() + 12, text_.begin() + 16);
                else {
                    reply.assign(text_.begin(), text_.end());
                    reply.push_back(0);
                    reply.push_back(0);
                }
                break;
            case proto::kReqGetBrightness: reply = registers_[proto::kReqSetBrightness]; break;
            case proto::kReqGetContrast: reply = registers_[proto::kReqSetContrast]; break;
            case proto::kReqGetExposure: {
                // The exposure register is 16 bits wide: 0xB4 writes its low byte, 0xCC both.
                const auto& e = registers_[proto::kReqSetExposure];
                reply = {e.empty() ? uint8_t(0) : e[0], e.size() > 1 ? e[1] : uint8_t(0)};
                break;
            }
            case proto::kReqGet10: reply = {1}; break;
            case proto::kReqGet15: reply = {0, 0}; break;
            case proto::kReqGetKeys: reply = {keys_}; break;
            case proto::kReqGet22: reply = registers_[proto::kReqSet22]; break;
            case proto::kReqGet18: reply = registers_[proto::kReqSet18]; break;
            case proto::kReqGetSensorType:
                reply = {uint8_t(sensorType_), uint8_t(sensorType_ >> 8), uint8_t(sensorType_ >> 16), uint8_t(sensorType_ >> 24)};
                break;
            case proto::kReqGetLedStatus: {
                auto st = LedStatusLocked();
                reply.assign(st.begin(), st.end());
                break;
            }
            default:
                stall = true;
        }
        reply.resize(s.length, 0);
    } else if (type == usb::kTypeVendor) {
        switch (s.request) {
            case proto::kReqStartCapture:
                streaming_ = true;
                mode_ = pendingMode_;
                fifo_.clear();
                strayBytes_ = 0;
                framesSent_ = 0;
                ++starts_;
                nextFrame_ = Clock::now() + std::chrono::microseconds(int64_t(
                                                ModeFramePeriodMs(traits_, mode_, config_.framePeriodMs > 0 ? config_.framePeriodMs : traits_.framePeriodMs) * 1000));
                frameWake_.notify_all();
                break;
            case proto::kReqStopCapture:
                // The chosen frame size lasts until the capture stops.
                streaming_ = false;
                fifo_.clear();
                pendingMode_ = 0;
                break;
            case proto::kReqFrameSizeMode1: pendingMode_ = 1; break;
            case proto::kReqFrameSizeMode2: pendingMode_ = 2; break;
            case proto::kReqSetLed: {
                const uint32_t v = Le(rec.data);
                const int level = int(v & 0xFF), selector = int((v >> 8) & 0xFF);
                if (selector == 1) ledRed1_ = level, lastRed1_ = level ? level : lastRed1_;
                if (selector == 2) ledRed2_ = level, lastRed2_ = level ? level : lastRed2_;
                if (selector == 3) ledWhite_ = level;
                break;
            }
            case proto::kReqSetSensorType:
                registers_[s.request] = rec.data;
                break;
            default:
                if (s.request >= 0x80 && s.request <= 0x82) {
                    registers_[s.request] = rec.data;
                } else if (s.request >= proto::kReqSetExposure && s.request <= proto::kReqSetLed) {
                    registers_[s.request] = rec.data;
                    if (s.request == proto::kReqSet21) registers_[proto::kReqSetExposure] = rec.data;
                } else {
                    stall = true;
                }
        }
    } else {
        stall = true;
    }
    log_.push_back(std::move(rec));
    if (stall) {
        t.status = usb::TransferStatus::Stall;
        return;
    }
    if (in) {
        const uint32_t n = std::min<uint32_t>({uint32_t(reply.size()), s.length, t.length});
        if (n && t.buffer) std::memcpy(t.buffer, reply.data(), n);
        t.actualLength = n;
    } else {
        t.actualLength = std::min<uint32_t>(s.length, t.length);
    }
    t.status = usb::TransferStatus::Success;
}

std::vector<uint8_t> SimDevice::RenderFrameRaw(uint32_t frameIndex, bool* syncLossOut) {
    // Called with the lock held only for the snapshot; rendering runs unlocked.
    std::unique_lock lock(mutex_);
    const int mode = mode_;
    const ModeGeometry& g = Mode(traits_, mode);
    FingerScene scene = scene_;
    scene.platen.width = g.sceneWidth;
    scene.platen.height = g.sceneHeight;
    scene.platen.ppiX = g.ppiX;
    scene.platen.ppiY = g.ppiY;
    auto reg = [&](uint8_t request, double fallback) {
        const auto& r = registers_[request];
        return r.empty() ? fallback : double(r[0]);
    };
    scene.platen.exposure = reg(proto::kReqSetExposure, 40);
    scene.platen.brightness = reg(proto::kReqSetBrightness, 40);
    scene.platen.contrast = reg(proto::kReqSetContrast, 0);
    scene.platen.keystone = KeystoneFor(traits_, mode);
    if (rollFrames_ > 0) scene.rollPhase = std::min(1.0, double(framesSent_ - rollStart_) / rollFrames_);
    // The hand comes down over a few frames, and shakes a little while it is held.
    const int64_t sincePlaced = int64_t(framesSent_) - int64_t(placeFrame_);
    scene.landing = sincePlaced < 0 ? 1.0 : std::min(1.0, double(sincePlaced + 1) / landingFrames_);
    if (tremor_ && scene.layout != FingerLayout::None && scene.layout != FingerLayout::Roll) {
        scene.jitterXmm = (skin::Uniform(config_.seed, framesSent_ * 2) - 0.5) * 0.06;
        scene.jitterYmm = (skin::Uniform(config_.seed, framesSent_ * 2 + 1) - 0.5) * 0.06;
    }
    // A restless hand is somewhere else in every frame, however late the frames come: it walks
    // through 35 places (steps of 0..4 and 0..6) one frame at a time.
    if (restlessMm_ > 0 && scene.layout != FingerLayout::None && scene.layout != FingerLayout::Roll) {
        scene.jitterXmm += restlessMm_ * double(framesSent_ % 5);
        scene.jitterYmm += restlessMm_ * double(framesSent_ % 7);
    }
    const bool pattern = testPattern_;
    const bool syncLoss = syncLossFrames_ > 0;
    if (syncLoss) --syncLossFrames_;
    if (syncLossOut) *syncLossOut = syncLoss;
    const bool bright = brightFrames_ > 0 || (syncLoss && traits_.layout == RawLayout::ColumnsBottomUp);
    if (brightFrames_ > 0) --brightFrames_;
    const std::function<uint8_t(int)> firstLine = firstLine_;
    auto led = LedStatusLocked();
    EyeSceneParams eye;
    eye.width = g.sceneWidth;
    eye.height = g.sceneHeight;
    eye.subjectSeed = config_.subject;
    eye.rightEye = traits_.id == ModelId::IrisRight;
    eye.frameSeed = config_.seed * 7919u + frameIndex;
    eye.eyePresent = eye_.present;
    eye.centreX = eye_.x;
    eye.centreY = eye_.y;
    eye.distanceMm = eye_.distanceMm;
    eye.headRollDeg = eye_.rollDeg;
    if (eye_.lookAway) eye.gazeX = eye.rightEye ? 0.85 : -0.85, eye.gazeY = -0.25;
    if (eye_.blinkFrames > 0) {
        // The lids close over the first half of the blink and open over the second.
        const double t = double(framesSent_ - eye_.blinkStart) / eye_.blinkFrames;
        if (t >= 1) eye_.blinkFrames = 0;
        else eye.openness = std::abs(2 * t - 1);
    }
    // The sensor's exposure register against the value the capture library sets for it.
    eye.referenceExposure = g.sceneWidth == 640 ? 220 : 20;
    eye.exposure = registers_[proto::kReqSetExposure].empty() ? 0 : registers_[proto::kReqSetExposure][0];
    eye.red1 = ledRed1_;
    eye.red2 = ledRed2_;
    eye.white = ledWhite_;
    eye.gain = eye_.gain;
    const double cardAlbedo = eye_.cardAlbedo;
    if (!traits_.scanner && (!irisTexture_ || irisTexture_->rightEye != eye.rightEye))
        irisTexture_ = MakeIrisTexture(eye.subjectSeed, eye.rightEye);
    const std::shared_ptr<const IrisTexture> texture = irisTexture_;
    const auto text = text_;
    const double timeMs = double(NowMs());
    lock.unlock();
    // The lamp drifts with time; the drift only shows when it is switched on.
    if (scene.platen.driftPerMinute != 0) scene.platen.timeMs = timeMs;

    const uint32_t seed = config_.seed * 7919u + frameIndex;
    // The frame is drawn into a picture kept from the last frame (only the frame thread renders).
    GreyImage& img = framePicture_;
    if (pattern) {
        img = RenderTestPattern(g.sceneWidth, g.sceneHeight, frameIndex);
    } else if (traits_.scanner) {
        FingerScene quiet = scene;
        quiet.platen.noise = 0;
        if (mode != cacheMode_ || !(quiet == cacheScene_)) {
            cache_ = RenderFingers(quiet, config_.seed);
            cacheScene_ = quiet;
            cacheMode_ = mode;
        }
        img = cache_;
        AddNoise(img, scene.platen.noise, seed);
    } else if (cardAlbedo > 0) {
        // A uniform grey card in front of the camera, lit like an eye.
        const double level = std::clamp(cardAlbedo * EyeIllumination(eye), 0.0, 255.0);
        img = GreyImage(g.sceneWidth, g.sceneHeight, uint8_t(std::lround(level)));
        AddSensorNoise(img, eye);
    } else {
        // The scene changes only with the script and the LEDs; each frame has its own noise.
        EyeSceneParams quiet = eye;
        quiet.frameSeed = 0;
        quiet.noise = 0;
        if (eyeCache_.pixels.empty() || !(quiet == eyeCacheKey_)) {
            eyeCache_ = RenderEyeFrame(quiet, texture.get()).image;
            eyeCacheKey_ = quiet;
        }
        img = eyeCache_;
        AddSensorNoise(img, eye);
    }
    RawExtras extras;
    extras.deviceText = text.data();
    extras.ledStatus = traits_.scanner ? nullptr : led.data();
    extras.brightFirstLine = bright;
    extras.firstLine = firstLine;
    std::vector<uint8_t> raw = EncodeRaw(traits_, mode, img, extras);
    if (syncLoss && traits_.syncBytes && raw.size() > 4) std::fill(raw.begin() + 1, raw.begin() + 5, 0x11);
    return raw;
}

void SimDevice::FillBulkLocked(std::vector<TransferPtr>& done) {
    while (!bulkQueue_.empty() && !fifo_.empty() && !silenced_) {
        TransferPtr t = bulkQueue_.front();
        const uint32_t n = std::min<uint32_t>(t->length - t->actualLength, uint32_t(fifo_.size()));
        if (t->buffer) std::copy_n(fifo_.begin(), n, t->buffer + t->actualLength);
        fifo_.erase(fifo_.begin(), fifo_.begin() + n);
        t->actualLength += n;
        if (t->actualLength == t->length) {
            t->status = usb::TransferStatus::Success;
            done.push_back(t);
            bulkQueue_.pop_front();
        }
    }
}

void SimDevice::DropAllLocked(usb::TransferStatus status, std::vector<TransferPtr>& done) {
    for (auto* q : {&controlQueue_, &bulkQueue_})
        for (auto& t : *q) {
            t->status = status;
            done.push_back(t);
        }
    controlQueue_.clear();
    bulkQueue_.clear();
    for (auto& t : stalled_) {
        t->status = status;
        done.push_back(t);
    }
    stalled_.clear();
    cancelled_.clear();
}

void SimDevice::FrameLoop() {
    // Frames are rendered here so that control requests never wait for a large frame.
    std::unique_lock lock(mutex_);
    while (!quit_) {
        const auto now = Clock::now();
        if (!(streaming_ && attached_)) {
            frameWake_.wait_for(lock, std::chrono::milliseconds(20));
            continue;
        }
        if (now < nextFrame_) {
            frameWake_.wait_until(lock, nextFrame_);
            continue;
        }
        if (frameGate_) {
            const std::function<bool(uint32_t)> gate = frameGate_;
            const uint32_t frame = framesSent_;
            const int gateStarts = starts_;
            lock.unlock();
            const bool go = gate(frame);
            lock.lock();
            if (!go) {
                frameWake_.wait_for(lock, std::chrono::milliseconds(1));
                continue;
            }
            if (!(streaming_ && attached_) || gateStarts != starts_) continue;  // stopped or restarted meanwhile
        }
        RunTimelineLocked(true);
        const double period =
            ModeFramePeriodMs(traits_, mode_, config_.framePeriodMs > 0 ? config_.framePeriodMs : traits_.framePeriodMs);
        nextFrame_ += std::chrono::microseconds(int64_t(period * 1000));
        if (nextFrame_ < now) nextFrame_ = now;
        const uint32_t index = totalFrames_;
        const int starts = starts_;
        lock.unlock();
        bool syncLoss = false;
        std::vector<uint8_t> raw = RenderFrameRaw(index, &syncLoss);
        lock.lock();
        if (!streaming_ || starts != starts_ || !attached_) continue;  // stopped or restarted meanwhile
        if (strayBytes_) {
            fifo_.insert(fifo_.end(), strayBytes_, 0x55);
            strayBytes_ = 0;
        }
        // With the frame memory full (the host is not reading), the new frame is dropped whole.
        // A frame that never leaves the device keeps its injected sync loss for the next one.
        if (fifo_.size() >= kFifoLimitFrames * raw.size()) {
            if (syncLoss) ++syncLossFrames_;
            continue;
        }
        // The sensor is read out over most of the frame period, not in one burst.
        const auto slice = std::chrono::microseconds(int64_t(period * 1000 * 0.6 / kReadoutSlices));
        for (int i = 0; i < kReadoutSlices; ++i) {
            const size_t from = raw.size() * i / kReadoutSlices, to = raw.size() * (i + 1) / kReadoutSlices;
            fifo_.insert(fifo_.end(), raw.begin() + from, raw.begin() + to);
            wake_.notify_all();
            if (i + 1 < kReadoutSlices) {
                frameWake_.wait_for(lock, slice);
                if (quit_ || !streaming_ || starts != starts_ || !attached_) break;
            }
        }
        if (quit_ || !streaming_ || starts != starts_ || !attached_) continue;
        ++framesSent_;
        ++totalFrames_;
        wake_.notify_all();
    }
}

void SimDevice::Run() {
    std::unique_lock lock(mutex_);
    bool wasAttached = true;
    while (!quit_) {
        std::vector<TransferPtr> done;
        RunTimelineLocked(false);

        if (!attached_) {
            DropAllLocked(usb::TransferStatus::NoDevice, done);
            if (wasAttached) {
                wasAttached = false;
                lock.unlock();
                for (auto& t : done) {
                    t->pending = false;
                    if (t->completion) t->completion(*t);
                }
                done.clear();
                notifier_->Post([this] {
                    std::function<void()> removal;
                    std::function<void(bool)> attach;
                    {
                        std::lock_guard l(mutex_);
                        removal = std::move(removalHandler_);
                        removalHandler_ = nullptr;
                        attach = attachHandler_;
                    }
                    if (removal) removal();
                    if (attach) attach(false);
                });
                lock.lock();
            }
        } else {
            wasAttached = true;
        }

        // Cancellations.
        for (auto& c : cancelled_) {
            auto drop = [&](auto& q) {
                auto it = std::find(q.begin(), q.end(), c);
                if (it == q.end()) return false;
                q.erase(it);
                return true;
            };
            if (drop(controlQueue_) || drop(stalled_) || drop(bulkQueue_)) {
                c->status = usb::TransferStatus::Cancelled;
                done.push_back(c);
            }
        }
        cancelled_.clear();

        // Control requests.
        while (!controlQueue_.empty()) {
            TransferPtr t = controlQueue_.front();
            controlQueue_.pop_front();
            if (stallControl_ > 0) {
                --stallControl_;
                ControlRecord lost{t->setup, {}, NowMs()};
                if (!(t->setup.requestType & usb::kDirIn) && t->buffer && t->setup.length)
                    lost.data.assign(t->buffer, t->buffer + std::min<uint32_t>(t->setup.length, t->length));
                unanswered_.push_back(std::move(lost));
                stalled_.push_back(t);
                continue;
            }
            AnswerControl(*t);
            done.push_back(t);
        }

        FillBulkLocked(done);

        if (!done.empty()) {
            lock.unlock();
            for (auto& t : done) {
                t->pending = false;
                if (t->completion) t->completion(*t);
            }
            lock.lock();
            continue;
        }
        if (!controlQueue_.empty() || !cancelled_.empty()) continue;

        // Sleep until the next timed action or new work.
        wake_.wait_for(lock, std::chrono::milliseconds(20));
    }
    std::vector<TransferPtr> done;
    DropAllLocked(usb::TransferStatus::NoDevice, done);
    lock.unlock();
    for (auto& t : done) {
        t->pending = false;
        if (t->completion) t->completion(*t);
    }
}

}  // namespace sim
