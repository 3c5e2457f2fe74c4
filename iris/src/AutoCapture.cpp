// Auto-capture of one eye, in three stages on every analysed frame (streaming thread): stage 1
// finds a centred eye and, after three hits, lights the white LED; stage 2 grades and stores frames
// while the white LED is on; stage 3 analyses the ten best, ranks them and wakes the side's
// auto-capture thread, which delivers the best frame through the result callback. Eye mode 3 runs
// both sides in step. The same delivery serves a manual capture.
#include <algorithm>
#include <cstring>

#include "IrisAlgorithm.h"
#include "ZarnIrisBase.h"
#include "zarn/ZarnTraceLogger.h"

namespace iriscap {

namespace {

// Result-busy flags of the two sides: one delivery of a side at a time.
std::atomic<bool> g_resultBusy[2] = {false, false};

bool BothMode() { return g_nEyeMode.load() == 3; }

// Saturating byte.
uint8_t Byte(int v) { return uint8_t(std::clamp(v, 0, 255)); }

// The side's final ranking test and score (stage 3).
void GradeRecord(const ZarnIrisBase& s, RankedRecord& rec) {
    const uint8_t* q = rec.quality.bytes;
    const double x = rec.location.irisX, y = rec.location.irisY, r = rec.location.irisRadius;
    const int p[7] = {s.params[0], s.params[1], s.params[2], s.params[3], s.params[4], s.params[5], s.params[6]};
    const bool pass = x - 1.6 * r > 0 && x + 1.6 * r < s.width && y - 1.2 * r > 0 && y + 1.2 * r < s.height &&
                      q[0] != 0 && q[1] > p[3] && q[2] > p[2] && q[5] > p[1] && q[7] > p[5] && q[8] > p[4] &&
                      r > p[6];
    if (pass) {
        rec.finalScore = float(q[2] * q[1] / 50.0);
        rec.quality.bytes[1] = Byte(int(rec.finalScore));
    } else {
        rec.finalScore = 0.0f;
        rec.quality.bytes[1] = 0;
    }
}

void SwitchWhite(ZarnIrisBase& s, bool on) {
    if (on) {
        s.OpenWhiteLed();
    } else {
        s.CloseWhiteLed();
    }
    s.whiteOn = on;
}

}  // namespace

void ZarnIrisBase::ResetCollection(int q) {
    present = false;
    whiteOn = false;
    collectDone = false;
    analysed = false;
    hits = 0;
    misses = 0;
    collected = 0;
    required = q == 1 ? 6 : q == 2 ? 10 : 3;
}

void ZarnIrisBase::ClearFrameStore() {
    std::lock_guard lock(frameMutex);
    if (store.empty()) return;
    std::fill(store.begin(), store.end(), uint8_t(0));
    for (auto& r : ranked) {
        r.score = 0.0f;
        r.finalScore = 0.0f;
        r.slot = 0;
    }
}

void StretchContrast(uint8_t* image, int width, int height, int lowPerMille, int highPerMille) {
    int histogram[256] = {};
    for (int y = 0; y < height; y += 2)
        for (int x = 0; x < width; x += 2) ++histogram[image[size_t(y) * width + x]];
    const int unit = (width * height / 1000) / 4;
    int low = 0, count = 0;
    for (low = 0; low < 256; ++low) {
        count += histogram[low];
        if (count > lowPerMille * unit) break;
    }
    int high = 255;
    if (low >= 255) {
        high = 255;
    } else {
        count = 0;
        for (high = 255; high > low; --high) {
            count += histogram[high];
            if (count > highPerMille * unit) break;
        }
    }
    uint8_t table[256];
    const float f = high > low ? 255.0f / float(high - low) : 0.0f;
    for (int v = 0; v < 256; ++v) {
        if (v <= low) {
            table[v] = 0;
        } else if (v >= high) {
            table[v] = 255;
        } else {
            table[v] = uint8_t(std::min(255.0f, float(v - low) * f));
        }
    }
    const size_t n = size_t(width) * height;
    for (size_t i = 0; i < n; ++i) image[i] = table[image[i]];
}

int I_DetectEye(ZarnIrisBase& s, void* detectorContext) {
    EyeDetectionRecord record{};
    record.words[1] = 6;
    record.words[2] = 2;
    record.words[3] = 1;
    char message[kAlgMessageSize] = {};
    const int result = Algorithm().detection(detectorContext, s.frame.data(), s.width, s.height, &record, message);
    if (result != 0) return result;
    const int cx = record.words[16] + record.words[18] / 2, cy = record.words[17] + record.words[19] / 2;
    const bool centred =
        s.width / 5 < cx && cx < s.width * 4 / 5 && s.height / 5 < cy && cy < s.height * 4 / 5;
    ZarnIrisBase* other = OtherSide(s);
    if (record.words[15] >= 1 && centred) {
        {
            std::lock_guard lock(s.frameMutex);
            StretchContrast(s.frame.data(), s.width, s.height, 2, 3);
        }
        ++s.hits;
        s.misses = 0;
        if (s.hits.load() >= 3) {
            s.present = true;
            if (BothMode()) {
                ZarnIrisBase* left = SideObject(1);
                ZarnIrisBase* right = SideObject(2);
                // A side that is already done keeps its LED off.
                if (left && right && left->present && right->present && !left->whiteOn && !right->whiteOn &&
                    !(left->collectDone && right->collectDone)) {
                    SwitchWhite(*left, true);
                    SwitchWhite(*right, true);
                }
            } else if (!s.whiteOn) {
                SwitchWhite(s, true);
            }
        }
        s.eyeSeen = 1;
        return 0;
    }
    s.eyeSeen = 0;
    if (s.present.load() && ++s.misses >= 8) {
        if (BothMode() && other != nullptr) {
            if (s.collected >= s.required && other->collected >= other->required) {
                s.collectDone = true;
            } else {
                for (ZarnIrisBase* side : {SideObject(1), SideObject(2)}) {
                    if (side == nullptr) continue;
                    side->ResetCollection(side->quality);
                    side->ClearFrameStore();
                }
                for (ZarnIrisBase* side : {SideObject(1), SideObject(2)})
                    if (side) SwitchWhite(*side, false);
            }
        } else if (s.collected >= s.required) {
            s.collectDone = true;
        } else {
            s.ResetCollection(s.quality);
            s.ClearFrameStore();
            SwitchWhite(s, false);
        }
    }
    return 0;
}

int I_CollectFrame(ZarnIrisBase& s) {
    if (s.collectDone.load()) return 0;
    if (s.collected.load() >= kStoreSlots) {
        s.collectDone = true;
        return 0;
    }
    if (s.eyeSeen.load() == 0) return 0;
    const int32_t options[32] = {6};
    char message[kAlgMessageSize] = {};
    const float score = Algorithm().irisQuality(s.frame.data(), s.width, s.height, options, message);
    if (score < float(s.params[0].load())) return -804;
    std::lock_guard lock(s.frameMutex);
    const int n = s.collected.load();
    std::memcpy(s.slots[n], s.frame.data(), size_t(s.frameSize));
    s.ranked[n].score = score;
    s.ranked[n].slot = n;
    s.collected = n + 1;
    // Move the new record up past every record with a strictly lower score.
    for (int i = n; i > 0 && s.ranked[i - 1].score < s.ranked[i].score; --i) {
        std::swap(s.ranked[i - 1].score, s.ranked[i].score);
        std::swap(s.ranked[i - 1].slot, s.ranked[i].slot);
    }
    return 0;
}

int I_SelectBestFrames(ZarnIrisBase& s) {
    ZarnIrisBase* left = SideObject(1);
    ZarnIrisBase* right = SideObject(2);
    if (BothMode()) {
        if (!(left && right && left->collectDone && right->collectDone)) return 0;
        for (ZarnIrisBase* side : {left, right})
            if (side->whiteOn) SwitchWhite(*side, false);
    } else {
        if (!s.collectDone) return 0;
        if (s.whiteOn) SwitchWhite(s, false);
    }
    for (int i = 0; i < kRankedForAnalysis; ++i) {
        RankedRecord& rec = s.ranked[i];
        int32_t options[32] = {};
        char message[kAlgMessageSize] = {};
        Algorithm().qualityAnalysis(s.slots[rec.slot], s.width, s.height, options, &rec.location, &rec.quality,
                                    message);
        GradeRecord(s, rec);
    }
    std::stable_sort(s.ranked, s.ranked + kRankedForAnalysis,
                     [](const RankedRecord& a, const RankedRecord& b) { return a.finalScore > b.finalScore; });
    s.analysed = true;
    if (BothMode()) {
        if (left && right && left->analysed && right->analysed) {
            left->resultEvent->Set();
            right->resultEvent->Set();
        }
    } else {
        s.resultEvent->Set();
    }
    return 0;
}

int I_AnalyzeFrame(ZarnIrisBase& s, void* detectorContext) {
    if (I_DetectEye(s, detectorContext) != 0) return 0;
    bool white = s.whiteOn.load();
    if (BothMode()) {
        ZarnIrisBase* left = SideObject(1);
        ZarnIrisBase* right = SideObject(2);
        white = left && right && left->whiteOn && right->whiteOn;
    }
    if (white && I_CollectFrame(s) != 0) return 0;
    return I_SelectBestFrames(s);
}

namespace {

int DeliverSide(ZarnIrisBase& s, int automatic) {
    const int index = s.side == 1 ? 0 : 1;
    if (g_resultBusy[index].exchange(true)) return ZARN_ERR_CAPTURE_STATE;
    int result = s.StopGraph();
    if (result != 0) {
        g_resultBusy[index] = false;
        return result;
    }
    ZarnIrisCallbackResultImage callback = s.resultCallback.load();
    if (s.running.armed.load() == 1 && callback != nullptr) {
        // Automatic: the best ranked frame; manual: the latest frame, with both white LEDs off.
        if (!automatic)
            for (ZarnIrisBase* side : {SideObject(1), SideObject(2)})
                if (side) SwitchWhite(*side, false);
        char name[160];
        {
            // The callback gets a copy: the store and the frame buffer may be cleared or written
            // again (Abort, the next SetMode) while it still reads the image.
            std::lock_guard lock(s.frameMutex);
            const RankedRecord& best = s.ranked[0];
            const uint8_t* source = automatic ? s.slots[best.slot] : s.frame.data();
            s.resultFrame.assign(source, source + s.frameSize);
            const uint8_t* q = best.quality.bytes;
            std::snprintf(name, sizeof name, "ResultOutput_%s-q%d-g%d-o%d-f%d-b%d-cip%d-csi%d-px%d-py%d-pr%d-ir%d",
                          s.side == 1 ? "L" : "R", q[1], q[5], q[2], q[3], q[4], q[7], q[8], best.location.pupilX,
                          best.location.pupilY, best.location.pupilRadius, best.location.irisRadius);
        }
        s.FillImageInfo(1);
        s.imageInfo.image = s.resultFrame.data();
        const ZarnImageInfo image = s.imageInfo;
        ZarnTrace().SaveDebugBitmap(2, 1, name, image.image, s.width, s.height);
        // The side is disarmed before the caller hears of the result: a capture the caller arms
        // from the callback (or right after it) must not be disarmed by this delivery.
        s.running.armed = 0;
        s.running.done = 1;
        s.running.captureRunning = 0;
        callback(s.context.load(), 0, image);
    }
    g_resultBusy[index] = false;
    return result;
}

}  // namespace

int I_TakeResultImage(int eyeMode, int automatic) {
    ZarnTrace().Log(3, "Enter I_TakeResultImage(%d, %d)", eyeMode, automatic);
    int result = 0;
    if (eyeMode == 0 || eyeMode == 1 || eyeMode == 3) {
        if (ZarnIrisBase* left = g_pIrisL.load()) result = DeliverSide(*left, automatic);
    }
    if ((eyeMode == 2 || eyeMode == 3) && result == 0) {
        if (ZarnIrisBase* right = g_pIrisR.load()) result = DeliverSide(*right, automatic);
    }
    ZarnTrace().Log(3, "Exit  I_TakeResultImage() = %d", result);
    return result;
}

void ZarnIrisBase::AutoCaptureThread() {
    if (stopWord.load() == 1) {
        stopWord = 2;
        return;
    }
    while (stopWord.load() != 1) {
        resultEvent->Reset();
        bool signalled = false;
        while (!signalled) {
            if (stopWord.load() == 1) {
                stopWord = 2;
                return;
            }
            if (auto cb = connectedCallback.load()) cb(context.load(), IsDeviceConnected());
            signalled = resultEvent->Wait(100);
        }
        if (running.autoCapture.load() != 0) I_TakeResultImage(side, 1);
    }
    stopWord = 2;
}

}  // namespace iriscap
