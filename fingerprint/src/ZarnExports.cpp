// The exported single-device interface: Zarn_Main_*, Zarn_Capture_* and Zarn_Controls_*. Every
// export traces its entry with its arguments and every return with its result.
#include "zarn/ZarnEssentialsApi.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <thread>

#include "zarn/ZarnTraceLogger.h"

#include "LiveImage.h"
#include "ModelFactory.h"
#include "ZarnScannerBase.h"

namespace {

// 1 from a successful take until its result has been acquired (or the take failed).
std::atomic<int> g_nTaking{0};
// Counts the captures: each SetMode and each Abort ends the capture before. A take or an
// acquisition that outlived the Abort's wait (or a new SetMode) belongs to a capture that has
// ended: it leaves the state of the captures after it alone.
std::atomic<int> g_nCapture{0};
// The largest roll working buffer the stitcher was given so far.
int g_nLargestRollBuffer = 0;

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
bool Superseded(int capture) { return g_nCapture.load() != capture; }
unsigned Low(const void* p) { return unsigned(reinterpret_cast<uintptr_t>(p)); }

// The Exit line of an export: level 2 for success, 0 for an error.
int Exit(const char* name, int result) {
    ZarnTrace().Log(result == 0 ? 2 : 0, "Exit  %s()=%d", name, result);
    return result;
}

// The current scanner when it is initialised.
ZarnScannerBase* Initialised() {
    ZarnScannerBase* s = g_pScanner.load();
    return s != nullptr && s->m_Running.initialised.load() != 0 ? s : nullptr;
}

// Zarn_Capture_SetRollParameters on a given scanner: checks the seven values, stores them in the
// scanner and hands them to the stitcher. The image thread hands a scanner's own values this way
// with its first frame, which comes while Initialize calibrates, before the scanner counts as
// initialised.
int SetRollParametersOf(ZarnScannerBase* s, int maxFrames, int slideDetection, int slidingPixels, float slidingPercent,
                        int p5, int rollBack, int p7) {
    static const char* const kName = "Zarn_Capture_SetRollParameters";
    ZarnTrace().Log(2, "Enter Zarn_Capture_SetRollParameters(%d, %d, %d, %f, %d, %d, %d)", maxFrames, slideDetection,
                    slidingPixels, double(slidingPercent), p5, rollBack, p7);
    if (s == nullptr) return Exit(kName, ZARN_ERR_NOT_INITIALIZED);
    if (!(maxFrames > 0 && slidingPercent >= 0.0f && slidingPercent <= 1.0f && rollBack < 0 && p7 >= 200))
        return Exit(kName, ZARN_ERR_BAD_ARGUMENT);
    s->m_RollParams = {maxFrames, slideDetection, slidingPixels, slidingPercent, p5, rollBack, p7};
    MM_SetMaxFrameNumber(maxFrames);
    MM_SetSlideDetectionStatus(slideDetection);
    MM_SetSlidingPixelCounter(slidingPixels);
    MM_SetSlidingPercentageThreshold(slidingPercent);
    MM_SetRollBackThreshold(rollBack);
    MM_SetNoiseLevelThreshold(15);
    if (s->m_RollImage.bytes > g_nLargestRollBuffer) {
        g_nLargestRollBuffer = s->m_RollImage.bytes;
        MM_ReAllocateWorkingBuffer(g_nLargestRollBuffer);
    }
    s->m_bRollParamsSet = 1;
    return Exit(kName, 0);
}

bool IsLedPanelType(int type) { return type == 501 || type == 502; }
bool IsNewerType(int type) { return type == 503 || type == 601 || type == 602; }

// The pipeline's calls into this layer.
void InstallHooks() {
    static const bool installed = [] {
        ScannerHooks hooks;
        hooks.applyRollParameters = [](ZarnScannerBase& s) {
            const auto p = s.m_RollParams;
            SetRollParametersOf(&s, p.maxFrames, p.slideDetection, p.slidingPixels, p.slidingPercent, p.p5, p.rollBack,
                                p.p7);
        };
        hooks.takeResultImage = &Zarn_Capture_TakeResultImage;
        hooks.acquireResultImage = &Zarn_Capture_AcquireResultImage;
        hooks.procLiveImage = [](ZarnScannerBase& s) { I_ProcLiveImage(s); };
        SetScannerHooks(hooks);
        return true;
    }();
    (void)installed;
}

// Destroys the current scanner after a failed Initialize or at DeInitialize.
void DestroyScanner(ZarnScannerBase* s) {
    g_pScanner = nullptr;
    delete s;
}

int InitializeSequence(int type) {
    ZarnTrace().Log(2, "Enter Zarn_Main_Initialize(%d)", type);
    if (Initialised() != nullptr) return Exit("Zarn_Main_Initialize", ZARN_ERR_ALREADY_INITIALIZED);
    ZarnScannerBase::s_nCancelCalibration = 0;
    InstallHooks();
    const int created = I_NewObjectFromType(type);
    ZarnScannerBase* s = created == 0 ? g_pScanner.load() : nullptr;
    // From here on there is a scanner: every later step works on it and destroys it on failure.
    if (s == nullptr) return Exit("Zarn_Main_Initialize", created != 0 ? created : ZARN_ERR_MEM_ALLOC);
    int result = s->InitializeRes();
    if (result == 0) {
        char name[1024] = {};
        s->GetScannerName(name, sizeof name);
        ZarnTrace().Log(2, "GetScannerName(%s)", name);
        if (s->InitVideoMode(TK_VIDEO_FULL) != 0) {
            ZarnTrace().LogText(0, "InitVideoMode(TK_VIDEO_FULL) failed");
            result = ZARN_ERR_INIT_VIDEO_MODE;
        } else {
            ZarnTrace().LogText(2, "InitVideoMode(TK_VIDEO_FULL) successfully");
        }
    }
    if (result == 0) {
        s->SetVideoProp(kPropFrameSizeMode, 0);
        s->m_nVideoMode = TK_VIDEO_FULL;
        s->SetVideoProp(kPropContrast, s->m_nCameraFull[1]);
        if (type == 501 || type == 502 || type == 503 || type == 601 || type == 602 || type == 402) {
            s->SetVideoProp(kPropBrightness, s->m_nCameraFull[0]);
            SleepMs(1000);
            s->ShutoffAllLight();
            s->GetVideoNoProc(kPropKeys);
        }
        result = s->SetCalibration(0);
    }
    if (result == 0) {
        s->m_Running.initialised = 1;
        s->StopStream();
        return Exit("Zarn_Main_Initialize", 0);
    }
    s->ReleaseRes();
    Exit("Zarn_Main_Initialize", result);
    DestroyScanner(s);
    return result;
}

int AbortSequence() {
    ZarnTrace().LogText(2, "Enter Zarn_Capture_Abort()");
    ZarnScannerBase* s = Initialised();
    // Also before the scanner counts as initialised: the calibration of Zarn_Main_Initialize ends.
    // Set after the scanner was read: an initialisation this ends releases its scanner only then.
    ZarnScannerBase::s_nCancelCalibration = 1;
    if (s == nullptr) return Exit("Zarn_Capture_Abort", ZARN_ERR_NOT_INITIALIZED);
    for (int i = 0; i < 50 && g_nTaking.load() == 1; ++i) SleepMs(100);
    // A take that never finished (its acquire failed) must not block the next capture, and one
    // still running must not finish it.
    ++g_nCapture;
    g_nTaking = 0;
    s->m_Running.liveDetection = 0;
    s->m_Running.finished = 1;
    s->m_Running.resultTaken = 1;
    s->m_Running.captureStarted = 0;
    s->m_Running.rollingStarted = 0;
    const int result = s->StopStream();
    if (result == 0) {
        s->SetBeepValue(0, 0);
        s->ShutoffAllLight();
    }
    return Exit("Zarn_Capture_Abort", result);
}

int DeInitializeSequence() {
    ZarnTrace().LogText(2, "Enter Zarn_Main_DeInitialize()");
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Main_DeInitialize", ZARN_ERR_NOT_INITIALIZED);
    const int result = AbortSequence();
    if (s->GetScannerType() != 602) s->SetVideoProp(kPropBrightness, 0);
    SleepMs(500);
    s->ReleaseRes();
    s->m_Running.initialised = 0;
    DestroyScanner(s);
    ZarnTrace().Log(2, "Exit  Zarn_Main_DeInitialize()=%d", result);
    return result;
}

// A callback registration: the function in its slot, the context in the one shared word.
template <class Fn, class Slot>
int Register(const char* name, Fn callback, void* context, Slot slot) {
    ZarnTrace().Log(2, "Enter %s(0x%x, 0x%x)", name, Low(reinterpret_cast<const void*>(callback)), Low(context));
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit(name, ZARN_ERR_NOT_INITIALIZED);
    if (callback == nullptr) return Exit(name, ZARN_ERR_BAD_ARGUMENT);
    (s->*slot) = callback;
    s->m_pCallbackContext = context;
    return Exit(name, 0);
}

}  // namespace

int I_StateLedByte(int imageType, const uint8_t state[8]) {
    // Bit k of the LED byte comes from state[order[k]]; the left slap and the right thumb run
    // mirrored, two thumbs light the outer pairs only.
    static const int kPlain[8] = {0, 1, 2, 3, 4, 5, 6, 7}, kMirrored[8] = {6, 7, 4, 5, 2, 3, 0, 1};
    int byte = 0;
    if (imageType == 4) {
        byte = (state[2] ? 1 : 0) | (state[3] ? 2 : 0) | 0x3C | (state[0] ? 0x40 : 0) | (state[1] ? 0x80 : 0);
    } else {
        const int* order = imageType == 3 || imageType == 23 ? kMirrored : kPlain;
        for (int k = 0; k < 8; ++k) byte |= (state[order[k]] ? 1 : 0) << k;
    }
    return byte;
}

extern "C" {

int Zarn_Main_GetAPIVersion(ZarnApiVersion* version) {
    ZarnTrace().Log(2, "Enter Zarn_Main_GetAPIVersion(0x%x)", Low(version));
    if (version == nullptr) return Exit("Zarn_Main_GetAPIVersion", ZARN_ERR_BAD_ARGUMENT);
    std::memset(version, 0, sizeof *version);
    std::strncpy(version->productName, "Tessik Scanner", sizeof version->productName - 1);
    I_MakeApiVersion(version->libraryVersion);
    if (const char* mosaic = MM_GetStitchDLLVersion())
        std::strncpy(version->algorithmVersion, mosaic, sizeof version->algorithmVersion - 1);
    return Exit("Zarn_Main_GetAPIVersion", 0);
}

int Zarn_Main_Initialize(int scannerType) { return InitializeSequence(scannerType); }

int Zarn_Main_DeInitialize(void) { return DeInitializeSequence(); }

int Zarn_Main_GetDeviceInfo(ZarnDeviceInfo* info) {
    ZarnTrace().Log(2, "Enter Zarn_Main_GetDeviceInfo(0x%x)", Low(info));
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Main_GetDeviceInfo", ZARN_ERR_NOT_INITIALIZED);
    if (info == nullptr) return Exit("Zarn_Main_GetDeviceInfo", ZARN_ERR_BAD_ARGUMENT);
    std::memset(info, 0, sizeof *info);
    return Exit("Zarn_Main_GetDeviceInfo", s->FillDeviceInfo(info));
}

int Zarn_Main_GetRunningInfo(ZarnRunningInfo* info) {
    ZarnTrace().Log(2, "Enter Zarn_Main_GetRunningInfo(0x%x)", Low(info));
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Main_GetRunningInfo", ZARN_ERR_NOT_INITIALIZED);
    if (info == nullptr) return Exit("Zarn_Main_GetRunningInfo", ZARN_ERR_BAD_ARGUMENT);
    *info = s->RunningInfo();
    return Exit("Zarn_Main_GetRunningInfo", 0);
}

int Zarn_Main_FastStartup(int scannerType) {
    ZarnTrace().Log(2, "Enter Zarn_Main_FastStartup(%d)", scannerType);
    return Exit("Zarn_Main_FastStartup", InitializeSequence(scannerType));
}

int Zarn_Main_StandBy(void) {
    ZarnTrace().LogText(2, "Enter Zarn_Main_StandBy()");
    return Exit("Zarn_Main_StandBy", DeInitializeSequence());
}

int Zarn_Main_GetConnectedScanner(ZarnConnectedScanners* scanners) {
    ZarnTrace().Log(2, "Enter Zarn_Main_GetConnectedScanner(0x%x)", Low(scanners));
    if (scanners == nullptr) return Exit("Zarn_Main_GetConnectedScanner", ZARN_ERR_BAD_ARGUMENT);
    return Exit("Zarn_Main_GetConnectedScanner", I_GetConnectedScanner(scanners->entries));
}

int Zarn_Capture_SetMode(int imageType, int ppi, int liveDetect, int modeArgument, int* width, int* height,
                         int* xResolution, int* yResolution) {
    static const char* const kName = "Zarn_Capture_SetMode";
    ZarnTrace().Log(2, "Enter Zarn_Capture_SetMode(%d, %d, %d, %d, 0x%x, 0x%x, 0x%x, 0x%x)", imageType, ppi, liveDetect,
                    modeArgument, Low(width), Low(height), Low(xResolution), Low(yResolution));
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit(kName, ZARN_ERR_NOT_INITIALIZED);
    const int type = s->GetScannerType();
    if (ppi == 1000 && type != 602 && type != 503) return Exit(kName, ZARN_ERR_BAD_ARGUMENT);
    if (width == nullptr || height == nullptr || xResolution == nullptr || yResolution == nullptr)
        return Exit(kName, ZARN_ERR_BAD_ARGUMENT);
    if (imageType < 0 || imageType >= ZARN_IMAGE_TYPE_COUNT) return Exit(kName, ZARN_ERR_NOT_SUPPORTED);
    ZarnImageInfo full{};
    int result = s->GetImageTypeInfo(imageType, &full, 0);
    if (result != 0) return Exit(kName, result);
    *width = full.width;
    *height = full.height;
    *xResolution = int(full.xResolution);
    *yResolution = int(full.yResolution);

    const int mode = IsRollImageType(imageType) ? TK_VIDEO_ROLL : (type == 601 || type == 602) ? TK_VIDEO_PREV
                                                                                               : TK_VIDEO_FULL;
    s->m_Running.modeSet = 0;
    s->m_Running.resultTaken = 0;
    s->m_nImageType = imageType;
    s->m_Running.liveDetection = liveDetect;
    s->m_Running.modeArgument = modeArgument;
    // A new capture starts from the preview geometry: the frames of the last result were full size.
    s->m_nFullResult = 0;
    ++g_nCapture;
    g_nTaking = 0;
    s->MakeImageData(1);
    if (mode != s->m_nVideoMode.load()) {
        if ((result = s->ChageVideoMode(mode, 0)) != 0) return Exit(kName, result);
        s->m_nVideoMode = mode;
        s->SetVideoProp(kPropFrameSizeMode, ZarnScannerBase::FrameSizeModeOf(mode));
    }
    // The mode's brightness and contrast, and the exposure the calibration found for it.
    const int* values = mode == TK_VIDEO_ROLL ? s->m_nCameraRoll : mode == TK_VIDEO_PREV ? s->m_nCameraPreview
                                                                                          : s->m_nCameraFull;
    s->SetVideoProp(kPropBrightness, values[0]);
    s->SetVideoProp(kPropContrast, values[1]);
    s->SetVideoProp(kPropExposure, mode == TK_VIDEO_ROLL ? s->m_nRollExposure
                                   : mode == TK_VIDEO_PREV ? values[2]
                                                           : s->m_nFullExposure);
    if (mode == TK_VIDEO_ROLL) {
        result = MM_mmRollStitchRelease();
        ZarnTrace().Log(2, "Call MM_mmRollStitchRelease(), return code = %d", result);
        if (result != 0) return Exit(kName, result);
        result = s->CreateRollSession(ppi);
        ZarnTrace().Log(2, "Call MM_mmRollStitchCreate(w=%d, h=%d, r=%d, r=%d), return code = %d", s->m_RollImage.width,
                        s->m_RollImage.height, ppi, ppi, result);
        if (result != 0) return Exit(kName, result);
    }
    if ((result = s->StartStream()) != 0) return Exit(kName, result);
    if ((result = s->RefreshFrameEnhance()) != 0) return Exit(kName, result);
    s->m_Running.captureStatus = 0;
    s->m_nAutoCaptureFlag = 1;
    s->m_Running.modeSet = 1;
    s->m_Running.finished = 0;
    s->m_nFingerCount = 0;
    s->m_nFingerMask = 0;
    return Exit(kName, 0);
}

int Zarn_Capture_Start(int fingerCount, int autoCapture) {
    static const char* const kName = "Zarn_Capture_Start";
    ZarnTrace().Log(2, "Enter Zarn_Capture_Start(%d, %d)", fingerCount, autoCapture);
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit(kName, ZARN_ERR_NOT_INITIALIZED);
    if (s->m_Running.finished.load()) return Exit(kName, ZARN_ERR_CAPTURE_FINISHED);
    if (!s->CheckFingerCount(s->m_nImageType.load(), fingerCount)) return Exit(kName, ZARN_ERR_BAD_ARGUMENT);
    if (s->m_Running.captureStarted.load()) return Exit(kName, ZARN_ERR_CAPTURE_STATE);
    s->m_nAutoCaptureFlag = autoCapture;
    s->m_Running.resultTaken = 0;
    s->m_nFingerCount = fingerCount;
    s->m_Running.captureStatus = 0;
    s->m_Running.captureStarted = 1;
    // Stillness is counted within one capture.
    I_ResetLiveImage();
    s->GetVideoNoProc(kPropKeys);
    return Exit(kName, 0);
}

int Zarn_Capture_Abort(void) { return AbortSequence(); }

int Zarn_Capture_TakeResultImage(void) {
    static const char* const kName = "Zarn_Capture_TakeResultImage";
    ZarnTrace().LogText(2, "Enter Zarn_Capture_TakeResultImage()");
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit(kName, ZARN_ERR_NOT_INITIALIZED);
    const bool started = s->m_Running.captureStarted.load() != 0, taken = s->m_Running.resultTaken.load() != 0;
    if (s->m_nVideoMode.load() == TK_VIDEO_ROLL ? (started && !taken) : (!started && !taken))
        return Exit(kName, ZARN_ERR_CAPTURE_STATE);
    if (s->m_Running.finished.load()) return Exit(kName, ZARN_ERR_CAPTURE_FINISHED);
    int expected = 0;
    if (!g_nTaking.compare_exchange_strong(expected, 1)) return Exit(kName, ZARN_ERR_CAPTURE_STATE);
    const int capture = g_nCapture.load();
    ZarnTrace().LogText(2, "Enter Zarn_Capture_TakeResultImage_1()");
    int result = 0;
    if (!IsRollImageType(s->m_nImageType.load())) {
        result = taken ? ZARN_ERR_CAPTURE_STATE : s->GetFullModeResultImage();
        // Aborted meanwhile: the stream and the flags are the next capture's.
        if (Superseded(capture)) return Exit(kName, ZARN_ERR_CAPTURE_FINISHED);
        if (result != 0) {
            g_nTaking = 0;
            return Exit(kName, result);
        }
    }
    ZarnTrace().LogText(2, "Enter Zarn_Capture_TakeResultImage_2()");
    if ((result = s->StopStream()) != 0) {
        g_nTaking = 0;
        return Exit(kName, result);
    }
    ZarnTrace().LogText(2, "Enter Zarn_Capture_TakeResultImage_3()");
    s->m_Running.resultTaken = 1;
    s->m_Running.captureStarted = 0;
    return Exit(kName, 0);
}

int Zarn_Capture_AcquireResultImage(void) {
    static const char* const kName = "Zarn_Capture_AcquireResultImage";
    ZarnTrace().LogText(2, "Enter Zarn_Capture_AcquireResultImage()");
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit(kName, ZARN_ERR_NOT_INITIALIZED);
    if (s->m_Running.finished.load()) return Exit(kName, ZARN_ERR_CAPTURE_FINISHED);
    if (g_nTaking.load() != 1) return Exit(kName, ZARN_ERR_CAPTURE_STATE);
    const int capture = g_nCapture.load();
    const int imageType = s->m_nImageType.load();
    int result = 0;
    if (!IsRollImageType(imageType) && (result = s->GetFullModeResultImage_Step2()) != 0) return Exit(kName, result);
    result = IsRollImageType(imageType) ? s->RollingResultOutput() : s->FlatResultOutput();
    if (result != 0) return Exit(kName, result);
    // An aborted capture delivers no result, and a result callback that returns only after the
    // Abort gave up waiting leaves the next capture (its mode, stream and flags) alone.
    if (Superseded(capture)) return Exit(kName, ZARN_ERR_CAPTURE_FINISHED);
    s->ShutoffAllLight();
    if (auto callback = s->m_pfnResult.load()) {
        ZarnTrace().LogText(2, "Enter g_pScanner->m_pFunctionResultImage()");
        callback(s->m_pCallbackContext.load(), 0, s->ImageInfo, imageType, 0);
        ZarnTrace().LogText(2, "Exit  g_pScanner->m_pFunctionResultImage()");
    }
    if (Superseded(capture)) return Exit(kName, ZARN_ERR_CAPTURE_FINISHED);
    s->ProcessingAfterAcquired();
    g_nTaking = 0;
    s->m_Running.finished = 1;
    return Exit(kName, 0);
}

int Zarn_Capture_GetContrast(int* contrast) {
    ZarnTrace().Log(2, "Enter Zarn_Capture_GetContrast(0x%x)", Low(contrast));
    if (Initialised() == nullptr) return Exit("Zarn_Capture_GetContrast", ZARN_ERR_NOT_INITIALIZED);
    return Exit("Zarn_Capture_GetContrast", contrast == nullptr ? ZARN_ERR_BAD_ARGUMENT : 0);
}

int Zarn_Capture_SetContrast(int contrast) {
    ZarnTrace().Log(2, "Enter Zarn_Capture_SetContrast(%d)", contrast);
    return Exit("Zarn_Capture_SetContrast", Initialised() == nullptr ? ZARN_ERR_NOT_INITIALIZED : 0);
}

int Zarn_Capture_OptimizeContrast(void) {
    ZarnTrace().LogText(2, "Enter Zarn_Capture_OptimizeContrast()");
    return Exit("Zarn_Capture_OptimizeContrast", Initialised() == nullptr ? ZARN_ERR_NOT_INITIALIZED : 0);
}

int Zarn_Capture_SetCaptureOK(void) {
    ZarnTrace().LogText(2, "Enter Zarn_Capture_SetCaptureOK()");
    return Exit("Zarn_Capture_SetCaptureOK", Initialised() == nullptr ? ZARN_ERR_NOT_INITIALIZED : 0);
}

int Zarn_Capture_SetStartRollingFlag(int rolling) {
    ZarnTrace().Log(2, "Enter Zarn_Capture_SetStartRollingFlag(%d)", rolling);
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Capture_SetStartRollingFlag", ZARN_ERR_NOT_INITIALIZED);
    s->m_Running.rollingStarted = rolling;
    return Exit("Zarn_Capture_SetStartRollingFlag", 0);
}

int Zarn_Capture_Calibration(void) {
    ZarnTrace().LogText(2, "Enter Zarn_Capture_Calibration()");
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Capture_Calibration", ZARN_ERR_NOT_INITIALIZED);
    ZarnScannerBase::s_nCancelCalibration = 0;
    int result = s->StartStream();
    if (result == 0) result = s->SetCalibration(1);
    // The stream stops also after a failed step; the step's code is the result.
    const int stopped = s->StopStream();
    return Exit("Zarn_Capture_Calibration", result != 0 ? result : stopped);
}

int Zarn_Capture_GetRollParameters(int* parameters) {
    ZarnTrace().Log(2, "Enter Zarn_Capture_GetRollParameters(0x%x)", Low(parameters));
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Capture_GetRollParameters", ZARN_ERR_NOT_INITIALIZED);
    if (parameters == nullptr) return Exit("Zarn_Capture_GetRollParameters", ZARN_ERR_BAD_ARGUMENT);
    const auto& p = s->m_RollParams;
    const int values[7] = {p.maxFrames, p.slideDetection, p.slidingPixels, std::bit_cast<int>(p.slidingPercent),
                           p.p5, p.rollBack, p.p7};
    std::memcpy(parameters, values, sizeof values);
    return Exit("Zarn_Capture_GetRollParameters", 0);
}

int Zarn_Capture_SetRollParameters(int maxFrames, int slideDetection, int slidingPixels, float slidingPercent, int p5,
                                   int rollBack, int p7) {
    return SetRollParametersOf(Initialised(), maxFrames, slideDetection, slidingPixels, slidingPercent, p5, rollBack, p7);
}

int Zarn_Capture_GetImageMask(uint8_t* mask) {
    ZarnTrace().Log(2, "Enter Zarn_Capture_GetImageMask(0x%x)", Low(mask));
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Capture_GetImageMask", ZARN_ERR_NOT_INITIALIZED);
    if (mask == nullptr) return Exit("Zarn_Capture_GetImageMask", ZARN_ERR_BAD_ARGUMENT);
    const int bytes = std::min(s->m_RollOutput.bytes, s->m_RollImage.bytes);
    std::memcpy(mask, s->m_pImageMask, size_t(bytes));
    return Exit("Zarn_Capture_GetImageMask", 0);
}

int Zarn_Capture_SetAutoCapInfo(int a, int b, double c, int d, int e, int f, int g, int h, int i) {
    ZarnTrace().Log(2, "Enter Zarn_Capture_SetAutoCapInfo(%d, %d, %lf, %d, %d, %d, %d, %d, %d)", a, b, c, d, e, f, g, h,
                    i);
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Capture_SetAutoCapInfo", ZARN_ERR_NOT_INITIALIZED);
    s->m_AutoCapture = {a, b, c, d, e, f, g, h, i};
    return Exit("Zarn_Capture_SetAutoCapInfo", 0);
}

int Zarn_Capture_RegisterCallbackPreviewImage(ZarnCallbackPreviewImage callback, void* context) {
    return Register("Zarn_Capture_RegisterCallbackPreviewImage", callback, context, &ZarnScannerBase::m_pfnPreview);
}

int Zarn_Capture_RegisterCallbackTakingResultImage(ZarnCallbackTakingResultImage callback, void* context) {
    return Register("Zarn_Capture_RegisterCallbackTakingResultImage", callback, context,
                    &ZarnScannerBase::m_pfnTakingResult);
}

int Zarn_Capture_RegisterCallbackResultImage(ZarnCallbackResultImage callback, void* context) {
    return Register("Zarn_Capture_RegisterCallbackResultImage", callback, context, &ZarnScannerBase::m_pfnResult);
}

int Zarn_Capture_RegisterCallbackFootSwitch(ZarnCallbackFootSwitch callback, void* context) {
    const char* name = "Zarn_Capture_RegisterCallbackFootSwitch";
    const int result = Register(name, callback, context, &ZarnScannerBase::m_pfnFootSwitch);
    if (result != 0) return result;
    ZarnScannerBase* s = g_pScanner.load();
    s->m_nFootSwitchEnabled = 1;
    return s->CreateFootSwitchThread();
}

int Zarn_Capture_RegisterCallbackObjectQuality(ZarnCallbackObjectQuality callback, void* context) {
    return Register("Zarn_Capture_RegisterCallbackObjectQuality", callback, context,
                    &ZarnScannerBase::m_pfnObjectQuality);
}

int Zarn_Capture_RegisterCallbackKeypad(ZarnCallbackKeypad callback, void* context) {
    const int result = Register("Zarn_Capture_RegisterCallbackKeypad", callback, context, &ZarnScannerBase::m_pfnKeypad);
    if (result != 0) return result;
    ZarnScannerBase* s = g_pScanner.load();
    s->m_nKeypadEnabled = 1;
    return s->CreateFootSwitchThread();
}

int Zarn_Capture_SetAutoCapArea(int enable, int x, int y, int width, int height) {
    static const char* const kName = "Zarn_Capture_SetAutoCapArea";
    ZarnTrace().Log(2, "Enter Zarn_Capture_SetAutoCapArea(%d, %d, %d, %d, %d)", enable, x, y, width, height);
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit(kName, ZARN_ERR_NOT_INITIALIZED);
    if (enable == 0) {
        s->m_AutoCapArea.enable = 0;
        return Exit(kName, 0);
    }
    if (x < 0 || y < 0 || width < 1 || height < 1) return Exit(kName, ZARN_ERR_BAD_ARGUMENT);
    s->m_AutoCapArea = {enable, x, y, width, height};
    return Exit(kName, 0);
}

int Zarn_Capture_RegisterCallbackDeviceIsConnected(ZarnCallbackDeviceIsConnected callback, void* context) {
    return Register("Zarn_Capture_RegisterCallbackDeviceIsConnected", callback, context,
                    &ZarnScannerBase::m_pfnDeviceConnected);
}

int Zarn_Capture_SetAutoCapFinMask(int mask) {
    ZarnTrace().Log(2, "Enter Zarn_Capture_SetAutoCapFinMask(%d)", mask);
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Capture_SetAutoCapFinMask", ZARN_ERR_NOT_INITIALIZED);
    if (mask < 0 || mask > 15) return Exit("Zarn_Capture_SetAutoCapFinMask", ZARN_ERR_BAD_ARGUMENT);
    s->m_nFingerMask = mask;
    return Exit("Zarn_Capture_SetAutoCapFinMask", 0);
}

int Zarn_Capture_SaveRollingFrame(void) {
    ZarnScannerBase* s = Initialised();
    return s == nullptr ? ZARN_ERR_NOT_INITIALIZED : s->SaveRollingFrames();
}

int Zarn_Controls_SetStateLEDs(int imageType, const uint8_t state[8]) {
    ZarnTrace().Log(2, "Enter Zarn_Controls_SetStateLEDs(%d, 0x%x)", imageType, Low(state));
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Controls_SetStateLEDs", ZARN_ERR_NOT_INITIALIZED);
    if (!IsLedPanelType(s->GetScannerType())) return ZARN_ERR_NOT_SUPPORTED;
    if (state == nullptr) return Exit("Zarn_Controls_SetStateLEDs", ZARN_ERR_BAD_ARGUMENT);
    return Exit("Zarn_Controls_SetStateLEDs", s->SetActiveLEDs(1, I_StateLedByte(imageType, state)));
}

int Zarn_Controls_Beeper(int pattern) {
    static const char* const kName = "Zarn_Controls_Beeper";
    ZarnTrace().Log(2, "Enter Zarn_Controls_Beeper(%d)", pattern);
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit(kName, ZARN_ERR_NOT_INITIALIZED);
    if (pattern < 0 || pattern > 7) return Exit(kName, ZARN_ERR_NOT_SUPPORTED);
    const int type = s->GetScannerType();
    const bool ownPattern = type == 602 || type == 503 ||
                            (type == 601 && std::strncmp(s->m_DeviceInfo.firmware, "1112", sizeof s->m_DeviceInfo.firmware) > 0);
    if (ownPattern) {
        s->SetVideoProp(kPropBeeper, pattern + 1);
        return Exit(kName, 0);
    }
    static const int kBeeps[8][2] = {{1, 1500}, {8, 100}, {4, 200}, {1, 100}, {2, 100}, {1, 300}, {2, 200}, {2, 300}};
    return Exit(kName, s->SetBeepValue(kBeeps[pattern][0], kBeeps[pattern][1]));
}

int Zarn_Controls_RegisterFootSwitchInfo(void* window, int message) {
    ZarnTrace().Log(2, "Enter Zarn_Controls_RegisterFootSwitchInfo(0x%x, %d)", Low(window), message);
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Controls_RegisterFootSwitchInfo", ZARN_ERR_NOT_INITIALIZED);
    s->m_pMessageWindow = window;
    s->m_nFootSwitchMessage = unsigned(message);
    if (window == nullptr) return Exit("Zarn_Controls_RegisterFootSwitchInfo", 0);
    s->m_nFootSwitchEnabled = 1;
    return Exit("Zarn_Controls_RegisterFootSwitchInfo", s->CreateFootSwitchThread());
}

int Zarn_Controls_SetLEDs(int group, int value) {
    ZarnTrace().Log(2, "Enter Zarn_Controls_SetLEDs(%d, %d)", group, value);
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Controls_SetLEDs", ZARN_ERR_NOT_INITIALIZED);
    const int type = s->GetScannerType();
    int result = 0;
    if (group == 0 || group == 1)
        result = IsLedPanelType(type) ? s->SetActiveLEDs(group, value) : ZARN_ERR_NOT_SUPPORTED;
    else if (group == 2)
        result = IsNewerType(type) ? s->SetLEDs(value) : ZARN_ERR_NOT_SUPPORTED;
    return Exit("Zarn_Controls_SetLEDs", result);
}

int Zarn_Controls_GetLEDs(int group, int* value) {
    ZarnTrace().Log(2, "Enter Zarn_Controls_GetLEDs(%d, 0x%x)", group, Low(value));
    ZarnScannerBase* s = Initialised();
    if (s == nullptr) return Exit("Zarn_Controls_GetLEDs", ZARN_ERR_NOT_INITIALIZED);
    if (value == nullptr) return Exit("Zarn_Controls_GetLEDs", ZARN_ERR_BAD_ARGUMENT);
    const int type = s->GetScannerType();
    int result = 0;
    if (group == 0 || group == 1) {
        if (IsLedPanelType(type))
            *value = s->m_nLedValue[group];
        else
            result = ZARN_ERR_NOT_SUPPORTED;
    } else if (group == 2) {
        result = IsNewerType(type) ? s->GetLEDs(value) : ZARN_ERR_NOT_SUPPORTED;
    }
    return Exit("Zarn_Controls_GetLEDs", result);
}

int Zarn_LateralCutAdjust(void) { return ZARN_ERR_NOT_SUPPORTED; }

int Zarn_Set_VideoProp(int property, int value) {
    if (property == 100) zarn::SetVideoProp100Flag(value != 0);
    return ZARN_ERR_NOT_SUPPORTED;
}

}  // extern "C"
