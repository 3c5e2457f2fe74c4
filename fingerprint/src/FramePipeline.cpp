// ZarnScannerBase: the frame path from the grabber callback to the preview callback, the roll
// path, and the process-wide image-processing, auto-capture and foot-switch threads.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <thread>

#include "platform/LocalTime.h"
#include "zarn/ZarnTraceLogger.h"

#include "ZarnScannerBase.h"

using namespace platform::video;

namespace {

ScannerHooks g_hooks;
std::mutex g_hooksLock;

ScannerHooks Hooks() {
    std::lock_guard lock(g_hooksLock);
    return g_hooks;
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
unsigned Low(const void* p) { return unsigned(reinterpret_cast<uintptr_t>(p)); }

// Longest wait of the grabber callback for the hand-off buffer.
constexpr int kHandOffWaitMs = 1000;
// Longest wait of a stream stop for the frame the image thread is working on.
constexpr int kImageIdleWaitMs = 3000;

thread_local bool t_onImageThread = false;

}  // namespace

void SetScannerHooks(const ScannerHooks& hooks) {
    std::lock_guard lock(g_hooksLock);
    g_hooks = hooks;
}

int ImageUpToDown(uint8_t* image, int width, int height) {
    const int h = std::abs(height);
    for (int i = 0; i < h / 2; ++i)
        std::swap_ranges(image + size_t(i) * width, image + size_t(i) * width + width, image + size_t(h - 1 - i) * width);
    return 0;
}

int ImageLeftToRight(uint8_t* image, int width, int height) {
    const int h = std::abs(height);
    for (int i = 0; i < h; ++i) std::reverse(image + size_t(i) * width, image + size_t(i) * width + width);
    return 0;
}

int ContraRotate90(uint8_t* image, int width, int height) {
    const size_t n = size_t(width) * size_t(height);
    uint8_t* copy = new (std::nothrow) uint8_t[n];
    if (copy == nullptr) return ZARN_ERR_MEM_ALLOC;
    std::memcpy(copy, image, n);
    // Output row k, column i = input row i, column width - 1 - k: width rows of height pixels.
    for (int k = 0; k < width; ++k)
        for (int i = 0; i < height; ++i) image[size_t(k) * height + i] = copy[size_t(i) * width + (width - 1 - k)];
    delete[] copy;
    return 0;
}

int ZarnScannerBase::IsFingerOn(int height, int width, uint8_t* image) {
    int on = 0;
    float variance = 0;
    MM_IsFingerON(height, width, image, 200, &on, &variance);
    return on;
}

ZarnScannerBase::HRESULT ZarnScannerBase::MakeBufferCB(double sampleTime, uint8_t* buffer, long length) {
    ZarnScannerBase* s = g_pScanner.load();
    ZarnTrace().Log(5, "Enter ZarnScannerBase::MakeBufferCB(%lf, 0x%x, %ld)", sampleTime, Low(buffer), length);
    if (s == nullptr) return E_FAIL;
    if (buffer == nullptr || length < 1) return E_POINTER;
    const int mode = s->m_nVideoMode.load();
    const FrameGeometry* g = mode == TK_VIDEO_FULL ? &s->m_FullFrame
                             : mode == TK_VIDEO_ROLL ? &s->m_RollFrame
                             : mode == TK_VIDEO_PREV ? &s->m_PreviewFrame
                                                     : nullptr;
    const long expected = g ? long(g->bytes) : -1;
    if (length != expected) {
        ZarnTrace().Log(5, "lBufferSize=%ld, lSize=%ld", length, expected);
        return E_FAIL;
    }
    std::memcpy(s->m_pDxBuf1, buffer, size_t(length));
    if (s->firstFrame_) {
        s->firstFrame_ = false;
        s->GetDeviceInfo(s->m_pDxBuf1, g->width, g->height);
        s->FillDeviceInfo(&s->m_DeviceInfo);
    }
    ZarnTrace().SaveDebugBitmap(3, 0, "MakeBufferCB_m_pDxBuf1", s->m_pDxBuf1, g->width, g->height);
    // A frame whose first fortieth is black throughout is a frame of zeros.
    int sum = 0;
    const long probe = length / 40;
    for (long i = 0; i < probe && sum <= 127; ++i) sum += s->m_pDxBuf1[i];
    if (sum <= 127) {
        ZarnTrace().Log(4, "Occurred the frame with all 0 value.");
        return -1;
    }
    const int filtered = s->FilterStream(s->m_pDxBuf1, &length);
    if (filtered != 0) {
        ZarnTrace().Log(4, "FilterStream(0x%x, 0x%x, 0x%x, 0x%x)=%d", s->m_pDxBuf1[1], s->m_pDxBuf1[2], s->m_pDxBuf1[3],
                        s->m_pDxBuf1[4], filtered);
        return filtered;
    }
    if (s->m_nStreamRunning.load() != 0) {
        platform::Event& lock = *s->m_hImageEvent;
        // The image thread holds the buffer only while it copies it out; a stop request ends the wait.
        bool held = false;
        for (int waited = 0; waited < kHandOffWaitMs && !held; waited += 20) {
            held = lock.Wait(20);
            if (!held && s->m_nStreamRunning.load() == 0) return S_FALSE;
        }
        if (!held) {
            ZarnTrace().Log(0, "MakeBufferCB() m_hImageEvent Timeout! RetCode = %ld", long(0x102));
            return 0x102;
        }
        StreamHandOff& h = s->m_strStreamCB;
        if (h.lBufferSize < length) {
            // Grown only while the buffer is held: the image thread never sees a freed buffer.
            uint8_t* grown = new (std::nothrow) uint8_t[size_t(length)];
            if (grown == nullptr) {
                ZarnTrace().Log(0,
                                "MakeBufferCB()-m_strStreamCB.pBuffer ZARN_ERR_MEM_ALLOC. m_strStreamCB.lBufferSize = %ld, "
                                "RetCode = %ld",
                                long(h.lBufferSize), long(ZARN_ERR_MEM_ALLOC));
                lock.Set();
                return E_OUTOFMEMORY;
            }
            delete[] h.pBuffer;
            h.pBuffer = grown;
            h.lBufferSize = int32_t(length);
        }
        h.sampleTime = sampleTime;
        h.length = int32_t(length);
        std::memcpy(h.pBuffer, s->m_pDxBuf1, size_t(length));
        lock.Set();
        s->m_hGetImageEvent->Set();
    }
    ZarnTrace().Log(5, "Exit  ZarnScannerBase::MakeBufferCB()=%d", 0);
    return 0;
}

void ZarnScannerBase::WaitImageThreadIdle() {
    // The image thread itself stops the stream at the end of a roll: it is not waiting for itself.
    if (t_onImageThread) return;
    std::unique_lock lock(m_imgBusyLock);
    m_imgBusyEnded.wait_for(lock, std::chrono::milliseconds(kImageIdleWaitMs), [&] { return !m_bImgBusy; });
}

void ZarnScannerBase::ThreadImgProc() {
    ScannerThreads& t = Threads();
    t_onImageThread = true;
    for (;;) {
        if (t.imgProcStop.load() == 1) {
            t.imgProcStop = 2;
            ZarnTrace().Log(3, "Exit  ZarnScannerBase::ThreadImgProc()=%d", 0);
            return;
        }
        ZarnScannerBase* s = g_pScanner.load();
        if (s == nullptr || !s->m_hImageEvent || s->m_nFrameRequest.load() == 0) {
            SleepMs(100);
            continue;
        }
        if (s->m_nRollParamsPending.exchange(0) != 0) {
            if (auto apply = Hooks().applyRollParameters) apply(*s);
        }
        if (!s->m_hGetImageEvent->Wait(100)) continue;
        if (!s->m_hImageEvent->Wait(100)) continue;
        {
            std::lock_guard busy(s->m_imgBusyLock);
            s->m_bImgBusy = true;
        }
        const StreamHandOff h = s->m_strStreamCB;
        if (s->m_nFrameReady.load() == 0) ++s->frameCounter_;
        bool process = false;
        // A frame handed over before the stream stopped is not worked on after the stop.
        if (h.pBuffer != nullptr && s->m_nStreamRunning.load() != 0) {
            const int mode = s->m_nVideoMode.load();
            const FrameGeometry& g = mode == TK_VIDEO_ROLL ? s->m_RollImage
                                     : (mode == TK_VIDEO_PREV || (!s->m_nCalibrating.load() && !s->m_nFullResult.load()))
                                         ? s->m_PreviewImage
                                         : s->m_FullImage;
            const bool shortFull = &g == &s->m_FullImage && h.length < s->m_FullImage.bytes;
            if (!shortFull && h.length >= g.width * g.height) {
                ZarnTrace().SaveDebugBitmap(3, 0, "CopyBitmap_pBuffer", h.pBuffer, g.width, g.height);
                std::memcpy(s->m_pWorkFrame, h.pBuffer, size_t(g.width) * size_t(g.height));
                s->m_nWorkWidth = g.width, s->m_nWorkHeight = g.height, s->m_nWorkBytes = g.width * g.height;
                process = true;
            }
        }
        // The working copy is the thread's own: the callback may fill the buffer again meanwhile.
        s->m_hImageEvent->Set();
        if (process) {
            const int w = s->m_nWorkWidth, hgt = s->m_nWorkHeight;
            s->ProcessBackground();
            const int mode = s->m_nVideoMode.load();
            const bool skip = (s->m_nScannerType == 601 || s->m_nScannerType == 602) && mode == TK_VIDEO_FULL;
            if (!skip && (s->m_nCalibrating.load() || s->m_nBackgroundStage.load() == 3)) {
                int ow = 0, oh = 0;
                s->ProcessFrame(s->m_pWorkFrame, w, hgt, s->m_pFlatOutput, &ow, &oh);
            }
            if (s->m_nBackgroundStage.load() == 3 && s->m_Running.finished.load() == 0 &&
                s->m_Running.resultTaken.load() == 0)
                s->PreviewOutput();
        }
        if (s->m_nFrameReady.load() == 0 && s->frameCounter_ >= s->m_nFrameReadyCount) {
            s->frameCounter_ = 0;
            // The waiter reads the saved raw frame once it sees the frame ready: it stays as it
            // is until the next frame request, so no later frame is copied over it meanwhile.
            s->m_nSavedRawFrozen = 1;
            s->m_nFrameReady = 1;
        }
        {
            std::lock_guard busy(s->m_imgBusyLock);
            s->m_bImgBusy = false;
            s->m_imgBusyEnded.notify_all();
        }
    }
}

int ZarnScannerBase::CheckBackgroundClean() {
    if (!m_nPlatenCheck) return 0;
    uint8_t* background = m_nVideoMode.load() == TK_VIDEO_ROLL ? m_pRollBackground : m_pPreviewBackground;
    const int r = MM_IsNewBackgroundClean(m_nWorkHeight, m_nWorkWidth, background, m_pWorkFrame);
    if (r != 0) {
        PostScannerMessage(r, 1);
        m_bBackgroundDirty = 1;
        m_Running.captureStatus = r;
        m_bBlankFrame = 1;
    } else {
        if (m_bBackgroundDirty) {
            PostScannerMessage(0, 3);
            m_bBackgroundDirty = 0;
        }
        m_Running.captureStatus = 0;
    }
    return r;
}

int ZarnScannerBase::ProcessBackground() {
    const int w = m_nWorkWidth, h = m_nWorkHeight;
    uint8_t* frame = m_pWorkFrame;
    if (!m_nCalibrating.load() && !m_nFullModeCapture.load()) {
        const int stage = m_nBackgroundStage.load();
        if (stage == 1) {
            if (CheckBackgroundClean() != 0) {
                std::memset(frame, 0, size_t(w) * size_t(h));
            } else if (m_bBlankFrame) {
                m_bBlankFrame = 0;
            } else {
                m_nBackgroundStage = 2;
            }
        } else if (stage == 2 || stage == 3) {
            const int mode = m_nVideoMode.load();
            if (mode == TK_VIDEO_ROLL) {
                ZarnTrace().SaveDebugBitmap(3, 0, "StandardRollBackground", m_pRollBackground, w, h);
                MM_CalibrateBackgroundSimple(0, h, w, m_pRollBackground, frame);
            } else if (mode == TK_VIDEO_PREV && m_nBackgroundCountdown.load() > 0) {
                // Right after a graph build the preview background is held as it is.
                --m_nBackgroundCountdown;
                std::memcpy(m_pPreviewBackgroundHeld, m_pPreviewBackground, size_t(m_PreviewImage.bytes));
                MM_CalibrateBackgroundSimple(0, h, w, m_pPreviewBackground, frame);
                std::memcpy(m_pPreviewBackground, m_pPreviewBackgroundHeld, size_t(m_PreviewImage.bytes));
            } else {
                ZarnTrace().SaveDebugBitmap(3, 0, "StandardPrevBackground", m_pPreviewBackground, m_PreviewImage.width,
                                            m_PreviewImage.height);
                MM_CalibrateBackgroundSimple(0, m_PreviewImage.height, m_PreviewImage.width, m_pPreviewBackground, frame);
            }
            ZarnTrace().SaveDebugBitmap(3, 0, "CalibrateBackgroundSimple_AR", frame, w, h);
            m_nBackgroundStage = 3;
        }
    }
    // The raw copy the flat result is built from; kept while a taken result still needs it.
    if (!m_nSavedRawFrozen.load()) std::memcpy(m_pSavedRaw, frame, size_t(w) * size_t(h));
    return 0;
}

int ZarnScannerBase::ProcessTransformFlat(uint8_t* in, int w, int h, uint8_t* out, int* outW, int* outH) {
    const bool fullSize = m_nCalibrating.load() || m_nFullResult.load();
    const FrameGeometry& target = fullSize ? m_FlatResult : m_PreviewResult;
    *outW = target.width, *outH = target.height;
    switch (m_nFlatPreviewTransform) {
        case 0:
            return ImgTrapezoidConvert(in, h, w, out, target.height, target.width, 0, 0);
        case 1:
            return ImgTrapezoidConvert(in, h, w, out, target.height, target.width, 0, 1);
        case 2:
            *outW = m_PreviewResult.width, *outH = m_PreviewResult.height;
            return ResizeBilinear(in, h, w, out, m_PreviewResult.height, m_PreviewResult.width);
        case 3:
            *outW = m_FlatResult.width, *outH = m_FlatResult.height;
            std::memcpy(out, in, std::min(size_t(m_FlatResult.bytes), size_t(w) * size_t(h)));
            return 0;
        default:
            return ZARN_ERR_NOT_SUPPORTED;
    }
}

int ZarnScannerBase::ProcessFrame(uint8_t* in, int w, int h, uint8_t* out, int* outW, int* outH) {
    const int type = m_nImageType.load();
    const uint8_t* source = out;
    int ow = w, oh = h;
    if (!IsRollImageType(type)) {
        const int r = ProcessTransformFlat(in, w, h, out, &ow, &oh);
        if (r != 0) return r;
    } else if (m_Running.finished.load() == 0 && m_Running.rollingStarted.load()) {
        const int r = RollingImgOutput(in, w, h, out, &ow, &oh);
        if (m_Running.resultTaken.load()) return r;
    } else {
        source = in;
    }
    if (m_nCropFlag == 1 && IsSingleFlatImageType(type)) {
        CropLowerCentre(source, ow, oh, m_pPreviewOutput, &ow, &oh);
    } else {
        std::memmove(m_pPreviewOutput, source, size_t(ow) * size_t(oh));
    }
    ImageUpToDown(m_pPreviewOutput, ow, oh);
    *outW = ow, *outH = oh;
    return 0;
}

void ZarnScannerBase::FinishRoll(uint8_t* out, int w, int h, int result, bool qualityCheck, int* finalResult) {
    ZarnTrace().ReportSpeed(3, 1, m_nRollFrameCount);
    m_nRollFrames = m_nRollFrameCount.load();
    m_nRollFrameCount = 0;
    m_nStitchState = 0;
    if (qualityCheck) {
        const int q = MM_mmRollFingerQualityCheck(out, w, h);
        if (q != 0) {
            *finalResult = q;
            return;
        }
    }
    std::memcpy(m_pLastRoll, out, std::min(size_t(w) * size_t(h), size_t(m_RollImage.bytes)));
    StopStream();
    m_Running.resultTaken = 1;
    m_Running.captureStarted = 0;
    m_Running.rollingStarted = 0;
    m_Running.captureStatus = result;
    auto preview = m_pfnPreview.load();
    if (preview && m_Running.modeSet.load() == 1 && !m_nFullModeCapture.load()) preview(m_pCallbackContext, ImageInfo);
    *finalResult = result;
}

int ZarnScannerBase::RollingImgOutput(uint8_t* in, int w, int h, uint8_t* out, int* outW, int* outH) {
    ZarnTrace().Log(4, "Enter ZarnScannerBase::RollingImgOutput(0x%x, %d, %d, 0x%x, 0x%x, 0x%x)", Low(in), w, h, Low(out),
                    Low(outW), Low(outH));
    *outW = w, *outH = h;
    int result = 0;
    if (!IsFingerOn(h, w, in)) {
        if (m_nRollFrameCount == 0) {
            std::memmove(out, in, size_t(w) * size_t(h));
            return 0;
        }
        ZarnTrace().Log(4, "Called IsFingerOnPack()=%d", 0);
        FinishRoll(out, w, h, 0, true, &result);
        ZarnTrace().Log(4, "Exit  ZarnScannerBase::RollingImgOutput()=%d", result);
        return result;
    }
    ZarnTrace().SaveDebugBitmap(3, 3, "RollingSource", in, w, h);
    if (m_nRollFrameCount < kRollHistoryFrames)
        std::memcpy(m_pRollHistory + size_t(m_nRollFrameCount) * size_t(m_RollImage.bytes), in,
                    std::min(size_t(w) * size_t(h), size_t(m_RollImage.bytes)));
    if (m_nRollFrameCount == 0) {
        ZarnTrace().ReportSpeed(3, 0, 0);
        m_nStitchState = 0;
        std::memset(m_pRollWork[0], 0, size_t(m_RollImage.bytes));
        std::memset(m_pRollWork[1], 0, size_t(m_RollImage.bytes));
        // A new roll has not slid yet: the mask of an earlier roll must not be handed out for it.
        std::memset(m_pImageMask, 0, size_t(m_RollImage.bytes));
        std::memset(out, 255, size_t(w) * size_t(h));
    }
    const int r = MM_mmRollStitch(in, &m_nStitchState, out, nullptr);
    if (r == 0) {
        ZarnTrace().SaveDebugBitmap(3, 4, "RollingConstructed", out, w, h);
        ++m_nRollFrameCount;
        ZarnTrace().Log(4, "Exit  ZarnScannerBase::RollingImgOutput()=%d", 0);
        return 0;
    }
    if (r == ZarnAlgorithmError(39) || r == ZarnAlgorithmError(27)) {
        FinishRoll(out, w, h, 0, true, &result);
    } else if (r == ZarnAlgorithmError(28)) {
        // The finger slid: its mask is handed out, and the roll ends at the roll-output size.
        {
            std::lock_guard<std::recursive_mutex> guard(zarn::MosaicLock());
            LiveScanAlg::mmGetSlidingMask(m_pImageMask, w, h);
        }
        int transformed = 0;
        std::memcpy(m_pTransformTemp, out, size_t(w) * size_t(h));
        if (m_nRollOutTransform == 0)
            transformed = ImgTrapezoidConvert(m_pTransformTemp, h, w, out, m_RollOutput.height, m_RollOutput.width, 0, 2);
        else if (m_nRollOutTransform == 1)
            transformed = ResizeBilinear(m_pTransformTemp, h, w, out, m_RollOutput.height, m_RollOutput.width);
        else
            transformed = ZARN_ERR_NOT_SUPPORTED;
        FinishRoll(out, w, h, transformed != 0 ? transformed : r, false, &result);
    } else {
        FinishRoll(out, w, h, r, false, &result);
    }
    ZarnTrace().Log(4, "Exit  ZarnScannerBase::RollingImgOutput()=%d", result);
    return result;
}

int ZarnScannerBase::SaveRollingFrames() {
    std::string base;
    const int folder = ZarnTrace().GetFolder(0, base);
    if (folder != 0) return folder;
    const platform::LocalTime t = platform::GetLocalTime();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    const std::string dir = base + "RollingSpeed/" + stamp;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return ZARN_ERR_DEBUG_FOLDER_CREATE;
    const int frames = std::min(m_nRollFrames.load(), kRollHistoryFrames);
    for (int i = 0; i < frames; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "//%s_%03d.bmp", stamp, i);
        ZarnTraceLogger::SaveDibFile((dir + name).c_str(), m_pRollHistory + size_t(i) * size_t(m_RollImage.bytes),
                                     m_RollImage.width, m_RollImage.height);
    }
    return 0;
}

int ZarnScannerBase::PreviewOutput() {
    const int type = m_nImageType.load();
    if (IsRollImageType(type)) {
        const int rw = m_RollImage.width, rh = m_RollImage.height, ow = m_RollOutput.width, oh = m_RollOutput.height;
        switch (m_nRollPreviewTransform) {
            case 0:
            case 1:
                std::memcpy(m_pTransformTemp, m_pPreviewOutput, size_t(m_RollImage.bytes));
                ImgTrapezoidConvert(m_pTransformTemp, rh, rw, m_pRollPreviewOut, oh, ow, 0, 2);
                break;
            case 2:
                PreviewScaleImage(rw, rh, m_pPreviewOutput, ow, oh, m_pRollPreviewOut);
                break;
            case 3:
                std::memcpy(m_pRollPreviewOut, m_pPreviewOutput, size_t(ow) * size_t(oh));
                break;
            default:
                return ZARN_ERR_NOT_SUPPORTED;
        }
        std::memcpy(ImageInfo.image, m_pRollPreviewOut, size_t(ow) * size_t(oh));
    }
    MM_PhotoShopCalibrateForeground(ImageInfo.height, ImageInfo.width, ImageInfo.image, m_nStretchPercent);
    auto preview = m_pfnPreview.load();
    if (preview && m_Running.modeSet.load() == 1 && !m_nFullModeCapture.load()) preview(m_pCallbackContext, ImageInfo);
    ZarnTrace().SaveDebugBitmap(3, 0, "Preview", ImageInfo.image, ImageInfo.width, ImageInfo.height);
    if (m_Running.liveDetection.load() && (IsSlapImageType(type) || IsThumbsImageType(type) || IsSingleFlatImageType(type))) {
        if (auto live = Hooks().procLiveImage) live(*this);
    }
    return 0;
}

void ZarnScannerBase::ThreadAutoCapture() {
    ScannerThreads& t = Threads();
    ZarnTrace().Log(3, "Enter ZarnScannerBase::ThreadAutoCapture(0x%x)", 0u);
    while (t.autoCaptureStop.load() != 1) {
        ZarnScannerBase* s = g_pScanner.load();
        if (s == nullptr || !s->m_hAutoCaptureEvent) {
            SleepMs(100);
            continue;
        }
        s->m_hAutoCaptureEvent->Reset();
        bool fired = false;
        while (t.autoCaptureStop.load() != 1 && !fired) {
            fired = s->m_hAutoCaptureEvent->Wait(100);
            if (fired || t.autoCaptureStop.load() == 1) break;
            if (g_pScanner.load() != s) break;
            if (auto connected = s->m_pfnDeviceConnected.load()) connected(s->m_pCallbackContext, s->IsDeviceConnected() ? 1 : 0);
        }
        if (!fired) continue;
        const int type = s->m_nImageType.load();
        if (s->m_Running.liveDetection.load() && (IsSlapImageType(type) || IsThumbsImageType(type) || IsSingleFlatImageType(type)) &&
            s->m_nAutoResultAllowed.load()) {
            const ScannerHooks hooks = Hooks();
            if (hooks.takeResultImage && hooks.takeResultImage() == 0 && hooks.acquireResultImage) hooks.acquireResultImage();
        }
    }
    t.autoCaptureStop = 2;
    ZarnTrace().Log(3, "Exit  ZarnScannerBase::ThreadAutoCapture()=%d", 0);
}

void ZarnScannerBase::ThreadFootSwitch() {
    ScannerThreads& t = Threads();
    while (t.footSwitchStop.load() != 1) {
        ZarnScannerBase* s = g_pScanner.load();
        if (s != nullptr) {
            const int type = s->m_nScannerType;
            const int mask = (type == 501 || type == 502) ? 0xC : 0xF;
            if (!s->m_nModeChanging.load() && s->GetVideoNoProc(kPropKeys)) {
                const int v = s->m_nPropValue[kPropKeys] & mask;
                if (s->m_nFootSwitchEnabled.load() && v == 4) {
                    if (auto sink = s->m_pfnMessageSink.load()) sink(s->m_pMessageWindow, s->m_nFootSwitchMessage, 0x80, 0);
                    if (auto foot = s->m_pfnFootSwitch.load()) foot(s->m_pCallbackContext);
                } else if (s->m_nKeypadEnabled.load()) {
                    auto keypad = s->m_pfnKeypad.load();
                    if (keypad && mask == 0xC && v == 8) keypad(s->m_pCallbackContext, 0);
                    if (keypad && mask == 0xF && v == 1) keypad(s->m_pCallbackContext, 0);
                    if (keypad && mask == 0xF && v == 2) keypad(s->m_pCallbackContext, 1);
                }
            }
            if (s->m_Running.captureStarted.load()) s->BlinkLEDs();
        }
        for (int i = 0; i < 10 && t.footSwitchStop.load() != 1; ++i) SleepMs(50);
    }
    t.footSwitchStop = 2;
    ZarnTrace().Log(3, "Exit  ZarnScannerBase::ThreadFootSwitch()");
}

int ZarnScannerBase::CreateFootSwitchThread() {
    const int type = m_nScannerType;
    if (type != 501 && type != 502 && type != 503 && type != 601 && type != 602) return 0;
    ScannerThreads& t = Threads();
    CloseThread(t.footSwitch, t.footSwitchStop, "ThreadFootSwitch");
    t.footSwitchStop = 0;
    try {
        t.footSwitch = std::thread(&ZarnScannerBase::ThreadFootSwitch);
    } catch (const std::system_error&) {
        return ZARN_ERR_THREAD_CREATE;
    }
    return 0;
}

int ZarnScannerBase::CloseThread(std::thread& handle, std::atomic<int>& stopFlag, const char* name) {
    ZarnTrace().Log(4, "Enter ZarnScannerBase::CloseThread(0x%x, %d)", handle.joinable() ? 1u : 0u, stopFlag.load());
    if (handle.joinable()) {
        stopFlag = 1;
        if (handle.get_id() == std::this_thread::get_id()) {
            // Asked from the thread itself (a callback released the scanner): it ends after this cycle.
            handle.detach();
        } else {
            int polls = 0;
            for (; polls < 100 && stopFlag.load() != 2; ++polls) SleepMs(100);
            if (stopFlag.load() != 2) ZarnTrace().Log(0, "%s has not stopped within 10 s; waiting for it", name);
            handle.join();
        }
    }
    ZarnTrace().Log(4, "Exit  ZarnScannerBase::CloseThread()=%d", 0);
    return 0;
}
