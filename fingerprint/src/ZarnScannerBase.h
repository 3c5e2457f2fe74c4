#pragma once
// ZarnScannerBase: one open fingerprint scanner. The model classes derive from it, set its
// geometry, constants and selectors in their constructors and fill in the model-specific virtual
// operations (decode, image-type geometry, device record, LEDs, calibration).
//
// Frames come from the camera through the capture graph on the video-capture layer: the grabber
// callback (MakeBufferCB, on the camera's streaming thread) checks, copies and decodes a frame and
// hands it to the image-processing thread, which removes the background, transforms the frame for
// the current image type, stitches rolls and delivers previews. An auto-capture thread polls the
// connection and takes automatic results; a foot-switch thread reads keys and blinks the LEDs.
// The three threads are process-wide and always work on the current scanner (g_pScanner).
//
// Every buffer a capture needs is allocated by InitializeRes and freed by ReleaseRes; nothing in
// the frame path allocates once a mode runs (the hand-off buffer grows to the largest frame once).
// Flags shared between threads are atomics; the hand-off buffer is guarded by m_hImageEvent.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Event.h"
#include "platform/VideoCapture.h"
#include "zarn/SampleGrabberBase.h"
#include "zarn/ZarnTypes.h"

#include "MosaicCalls.h"

// Video modes.
inline constexpr int TK_VIDEO_PREV = 0;
inline constexpr int TK_VIDEO_FULL = 1;
inline constexpr int TK_VIDEO_ROLL = 2;
inline constexpr int TK_VIDEO_NONE = 3;  // no mode yet: the next graph build runs

// Camera property indices.
inline constexpr int kPropBrightness = 0;
inline constexpr int kPropContrast = 1;
inline constexpr int kPropExposure = 10;  // camera-control exposure
inline constexpr int kPropLedGroup1 = 11;
inline constexpr int kPropLedGroup0 = 12;
inline constexpr int kPropBeeper = 13;
inline constexpr int kPropKeys = 16;
inline constexpr int kPropFrameSizeMode = 20;
inline constexpr int kPropertyCount = 21;

// Window message of the platen notifications and the foot switch.
inline constexpr unsigned kScannerMessage = 1125;

// Roll frames kept per roll.
inline constexpr int kRollHistoryFrames = 50;

struct FrameGeometry {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytes = 0;
    int32_t xResolution = 0;
    int32_t yResolution = 0;
};

// The six values of a keystone correction (A, B, L, E, G, K).
struct DistortionSet {
    int32_t values[6] = {};
};

// Frame hand-off between the grabber callback and the image-processing thread.
struct StreamHandOff {
    double sampleTime = 0;
    int32_t lBufferSize = 0;  // bytes allocated
    uint8_t* pBuffer = nullptr;
    int32_t length = 0;       // bytes of the frame held
};

// Where a scanner's notifications go (the registered window of the original platform).
using ScannerMessageSink = void (*)(void* window, unsigned message, intptr_t kind, intptr_t code);

class ZarnScannerBase;

// What the frame pipeline calls of the exported layer. Each is optional; a missing one is skipped.
struct ScannerHooks {
    void (*applyRollParameters)(ZarnScannerBase& scanner) = nullptr;  // pending roll parameters
    int (*takeResultImage)() = nullptr;                              // automatic result: take ...
    int (*acquireResultImage)() = nullptr;                           // ... and deliver
    void (*procLiveImage)(ZarnScannerBase& scanner) = nullptr;       // live segmentation of a preview
};
void SetScannerHooks(const ScannerHooks& hooks);

// The current scanner: the threads work on whatever it points to on each cycle.
extern std::atomic<ZarnScannerBase*> g_pScanner;

// Orientation routines on 8-bit images, in place; 0, or -2 when ContraRotate90 gets no memory.
int ImageUpToDown(uint8_t* image, int width, int height);
int ImageLeftToRight(uint8_t* image, int width, int height);
int ContraRotate90(uint8_t* image, int width, int height);

// Image-type predicates.
bool IsSlapImageType(int type);
bool IsThumbsImageType(int type);
bool IsSingleFlatImageType(int type);
bool IsFlatImageType(int type);
bool IsRollImageType(int type);
bool IsHandImageType(int type);
bool IsSingleFingerScannerType(int scannerType);

class ZarnScannerBase {
public:
    using HRESULT = platform::video::HRESULT;

    ZarnScannerBase();
    virtual ~ZarnScannerBase();
    ZarnScannerBase(const ZarnScannerBase&) = delete;
    ZarnScannerBase& operator=(const ZarnScannerBase&) = delete;

    // ---- virtual operations -------------------------------------------------------------------
    // Copies the w/2 x h/2 window at column w/4, row h/2.
    virtual int CropLowerCentre(const uint8_t* in, int w, int h, uint8_t* out, int* outW, int* outH);
    virtual int RotateImage(uint8_t*, int, int) { return 0; }
    // The result image of a finished roll, or of a flat capture, into ImageInfo (rows bottom-up).
    virtual int RollingResultOutput();
    virtual int FlatResultOutput();
    virtual int ProcessingAfterAcquired() { return 0; }
    // Base sequence: exposure search (mode != 0) and standard backgrounds in the full and roll modes.
    virtual int SetCalibration(int mode);
    virtual int GetImageTypeInfo(int imageType, ZarnImageInfo* info, int halfFlag) = 0;
    // Model decode of a frame in place; may change its length.
    virtual int FilterStream(uint8_t* buffer, long* length) = 0;
    virtual int FillDeviceInfo(ZarnDeviceInfo* info) = 0;
    virtual int BlinkLEDs() { return 0; }
    virtual int ResizeBilinear(const uint8_t* src, int srcHeight, int srcWidth, uint8_t* dst, int dstHeight, int dstWidth,
                               int ignored = 0);
    virtual int ScaleToResult(const uint8_t*, int, int, uint8_t*, int*, int*) { return 0; }
    virtual int SetAutoCaptureDefaults();
    virtual int SetLEDs(int) { return 0; }
    virtual int GetLEDs(int*) { return 0; }
    virtual int GetFullModeResultImage();
    virtual int GetFullModeResultImage_Step2() { return 0; }

    // ---- resources and graph ------------------------------------------------------------------
    int InitializeRes();
    int ReleaseRes();
    int ApplyStaticMemory();
    int ReleaseStaticMemory();
    int GetInterfaces();
    void ClearGraphs();
    HRESULT BuildCaptureGraph(int mode, int force);
    int MatchStreamCaps(int capabilityIndex, int width, int height) const;
    HRESULT GetDefaultCapDevice(std::shared_ptr<platform::video::CaptureFilter>* result);
    int ChageVideoMode(int mode, int force);
    int InitVideoMode(int mode);
    int StopStream();
    int StartStream();
    int ImgTrapezoidConvert(uint8_t* in, int inHeight, int inWidth, uint8_t* out, int outHeight, int outWidth, int ignored,
                            int kind);
    void LogGraphError(const char* text, HRESULT hr);
    // Opens the roll session of the stitcher with the roll image's geometry (the frames it stitches).
    int CreateRollSession(int resolution);
    // Rebuilds the graph for a mode and makes it current: video mode, image type, ImageInfo and the
    // driver's frame-size mode. What the calibration passes and the mode changes of a capture do.
    int EnterVideoMode(int mode, int imageType);
    static int FrameSizeModeOf(int videoMode) { return videoMode == TK_VIDEO_PREV ? 2 : videoMode == TK_VIDEO_ROLL ? 1 : 0; }

    // ---- properties and stream control ----------------------------------------------------------
    int SetVideoProp(int index, int value);
    int GetVideoNoProc(int property);
    int RefreshFrame();
    int RefreshFrameEnhance();
    int CheckCurrentExposure(uint8_t* image, int round, int exposure, int* direction);
    // The search of a calibration pass: from the current exposure, in steps of `step`. 0 with the
    // exposure found, or -627. Walking down, it stops at the lower bound (the frames pass there);
    // climbing, it stops at the upper bound with -627 when the frames are still too dark there.
    int SearchExposure(uint8_t* image, int step, int* exposure);
    int PreviewScaleImage(int srcWidth, int srcHeight, const uint8_t* src, int dstWidth, int dstHeight, uint8_t* dst);
    bool IsDeviceConnected();
    int GetDeviceInfo(const uint8_t* frame, int width, int height);
    int MakeImageData(int halfFlag);
    void PostScannerMessage(int code, int kind);

    // ---- frame pipeline --------------------------------------------------------------------------
    static HRESULT MakeBufferCB(double sampleTime, uint8_t* buffer, long length);
    static void ThreadImgProc();
    static void ThreadAutoCapture();
    static void ThreadFootSwitch();
    int CreateFootSwitchThread();
    // Asks a thread to stop (flag 1, and `wake` set when the thread waits on it), polls every
    // 100 ms until it has (flag 2) and joins it.
    static int CloseThread(std::thread& handle, std::atomic<int>& stopFlag, const char* name,
                           platform::Event* wake = nullptr);
    // The process-wide image-processing and auto-capture threads: started when they do not run;
    // stopped (with the foot-switch thread) in the order foot switch, image processing, auto capture.
    static void StartCaptureThreads();
    static void StopCaptureThreads();
    int ProcessFrame(uint8_t* in, int w, int h, uint8_t* out, int* outW, int* outH);
    int RollingImgOutput(uint8_t* in, int w, int h, uint8_t* out, int* outW, int* outH);
    int PreviewOutput();
    int ProcessBackground();
    int CheckBackgroundClean();
    int IsFingerOn(int height, int width, uint8_t* image);
    // Writes the stored frames of the last roll (at most 50) as bitmaps into a new folder
    // RollingSpeed/<date and time>/ below the debug base folder. 0, or the folder's error.
    int SaveRollingFrames();

    // Stretches the frame waits of RefreshFrame (1 = the scanner's own timing); tests on slow
    // builds raise it together with the simulated frame period.
    static std::atomic<int> s_nWaitScale;
    // Set by Zarn_Capture_Abort, cleared when an initialisation or a calibration begins: a
    // calibration in progress (a hand on the glass makes its exposure search walk the whole range)
    // ends at its next frame wait with ZARN_ERR_CALIBRATION.
    static std::atomic<int> s_nCancelCalibration;
    bool CalibrationCancelled() const { return m_nCalibrating.load() != 0 && s_nCancelCalibration.load() != 0; }

    // ---- LEDs, beeper and the start check ----------------------------------------------------------
    // Group 0 writes property 12, group 1 property 11. 0, -606, -1 (mask outside 0..255) or -1 when
    // the camera refused the write.
    int SetActiveLEDs(int group, int mask);
    int ShutoffAllLight();
    // count beeps of `milliseconds` each on property 13 (blocking); 0, or -3 on a type without one.
    int SetBeepValue(int count, int milliseconds);
    // 1 when `fingerCount` fits the image type and the finger mask of the capture, else 0.
    int CheckFingerCount(int imageType, int fingerCount) const;

    // ---- small helpers -----------------------------------------------------------------------------
    int SetScannerType(int type);
    int GetScannerType() const { return m_nScannerType; }
    void SetScannerName(const char* text);
    void GetScannerName(char* out, size_t size) const;
    void SetUsbPidText(const char* text);
    static int SafeNewUcharArray(uint8_t** pointer, long size, const char* name);
    static void SafeDeleteArray(uint8_t** pointer);
    // The work image of a result's assembly, at least `size` bytes: kept for the next result, so
    // that a result neither allocates nor page-faults, and freed with the static buffers. Its
    // content is undefined; the caller fills it before reading. 0, or ZARN_ERR_MEM_ALLOC (logged
    // as SafeNewUcharArray logs it) with *pointer null.
    int ResultWorkImage(uint8_t** pointer, long size, const char* name);
    ZarnRunningInfo RunningInfo() const;

    // ---- state the exported layer and the models read and write ---------------------------------
    // Geometry (set by the model constructor).
    FrameGeometry m_FullFrame, m_FullImage, m_FlatResult, m_RollFrame, m_RollImage, m_RollOutput, m_PreviewFrame,
        m_PreviewModeImage, m_PreviewModeResult, m_PreviewImage, m_PreviewResult;
    DistortionSet m_FullSet, m_RollSet, m_FlatSet;
    int m_nScannerType = 0;
    char m_szScannerName[1024] = {};
    char m_szUsbPid[32] = {};

    // Model constants.
    int m_nExposureMin = 0, m_nExposureMax = 255;
    int m_nMeanThreshold[2] = {220, 220};  // full, roll
    int m_nExposureStep[2] = {1, 1};       // full, roll
    int m_nCameraFull[3] = {0, 0, 40};     // properties 0, 1 and the exposure of the full pass
    int m_nCameraRoll[3] = {0, 0, 60};     // ... of the roll pass
    int m_nCameraPreview[3] = {0, 0, 40};  // ... of a capture in the preview mode
    float m_fVarThreshold = 400.0f;
    int m_nAutoCaptureThreshold = 250;     // first auto-capture value
    int m_nPlatenCheck = 0;                // 1: stage 1 checks that the platen is clean
    int m_nCropFlag = 0;
    int m_nStretchPercent = 70;
    int m_nResultTransform = 0;
    int m_nRollOutTransform = 0;
    int m_nFlatPreviewTransform = 0;
    int m_nRollPreviewTransform = 0;
    int m_nFrameReadyCount = 1;
    bool m_bPropSupported[kPropertyCount] = {};

    // Capture state.
    std::atomic<int> m_nVideoMode{TK_VIDEO_NONE};
    std::atomic<int> m_nImageType{ZARN_IMAGE_TYPE_COUNT};
    std::atomic<int> m_nCalibrating{0};
    std::atomic<int> m_nFullModeCapture{0};
    std::atomic<int> m_nFullResult{0};
    std::atomic<int> m_nBackgroundStage{0};
    std::atomic<int> m_nBackgroundCountdown{0};
    std::atomic<int> m_nAutoResultAllowed{0};
    // Set: the image thread hands the roll parameters to the stitcher before its next frame. A new
    // scanner hands its model's own, so that a roll never runs on what another scanner left there.
    std::atomic<int> m_nRollParamsPending{1};
    std::atomic<int> m_nStreamRunning{0};
    std::atomic<int> m_nFrameRequest{0};
    std::atomic<int> m_nFrameReady{0};
    std::atomic<int> m_nFrameSizeMode{0};
    std::atomic<int> m_nModeChanging{0};
    struct RunningWords {
        std::atomic<int32_t> initialised{0}, captureStarted{0}, finished{0}, liveDetection{0}, modeArgument{0},
            modeSet{0}, resultTaken{0}, rollingStarted{0}, captureStatus{0};
    } m_Running;
    int m_nFullExposure = 0, m_nRollExposure = 0;  // found by the calibration passes
    int m_nLastSensorResult = 0;                   // CheckSensor2 of the last exposure check
    // Written by the caller's thread and the foot-switch thread (key state) alike.
    std::atomic<int> m_nPropValue[kPropertyCount] = {};
    std::atomic<int> m_nPropFlags[kPropertyCount] = {};
    struct AutoCaptureParams {
        int32_t a = 0, b = 0;
        double c = 0;
        int32_t d = 0, e = 0, f = 0, g = 0, h = 0, i = 0;
    } m_AutoCapture;

    // What the exported layer keeps for the capture.
    std::atomic<int> m_nAutoCaptureFlag{1};  // second argument of Start
    std::atomic<int> m_nFingerCount{0};      // expected fingers, first argument of Start
    std::atomic<int> m_nFingerMask{0};       // bits 0..3, Zarn_Capture_SetAutoCapFinMask
    struct AutoCaptureArea {
        int32_t enable = 0, x = 0, y = 0, width = 0, height = 0;
    } m_AutoCapArea;
    struct RollParameters {
        int32_t maxFrames = 100, slideDetection = 1, slidingPixels = 25000;
        float slidingPercent = 0.5f;
        int32_t p5 = 30, rollBack = -100, p7 = 400;
    } m_RollParams;
    int m_bRollParamsSet = 0;
    int m_nLedValue[2] = {};  // last mask written to LED group 0 and 1

    ZarnImageInfo ImageInfo{};
    char m_szDeviceText[25] = {};
    ZarnDeviceInfo m_DeviceInfo{};

    // Callbacks (registered by the exported layer).
    std::atomic<void*> m_pCallbackContext{nullptr};  // shared by every callback: the last registration wins
    std::atomic<ZarnCallbackPreviewImage> m_pfnPreview{nullptr};
    std::atomic<ZarnCallbackResultImage> m_pfnResult{nullptr};
    std::atomic<ZarnCallbackTakingResultImage> m_pfnTakingResult{nullptr};  // stored, never called
    std::atomic<ZarnCallbackObjectQuality> m_pfnObjectQuality{nullptr};
    std::atomic<ZarnCallbackDeviceIsConnected> m_pfnDeviceConnected{nullptr};
    std::atomic<ZarnCallbackFootSwitch> m_pfnFootSwitch{nullptr};
    std::atomic<ZarnCallbackKeypad> m_pfnKeypad{nullptr};
    std::atomic<int> m_nFootSwitchEnabled{0}, m_nKeypadEnabled{0};
    std::atomic<ScannerMessageSink> m_pfnMessageSink{nullptr};
    void* m_pMessageWindow = nullptr;
    unsigned m_nFootSwitchMessage = 0;

    // Buffers (ApplyStaticMemory).
    uint8_t* m_pDxBuf1 = nullptr;            // raw sample copy, full-frame bytes
    uint8_t* m_pSavedRaw = nullptr;          // last working frame after the background stage
    uint8_t* m_pRollPreviewOut = nullptr;
    uint8_t* m_pFullBackground = nullptr;
    uint8_t* m_pRollBackground = nullptr;
    uint8_t* m_pPreviewBackground = nullptr;
    uint8_t* m_pWorkFrame = nullptr;
    uint8_t* m_pPreviewOutput = nullptr;     // ImageInfo.image
    uint8_t* m_pRollWork[2] = {};
    uint8_t* m_pFlatOutput = nullptr;
    uint8_t* m_pLastRoll = nullptr;
    uint8_t* m_pRollHistory = nullptr;
    uint8_t* m_pQuadBlock = nullptr;
    uint8_t* m_pQuad[4] = {};
    uint8_t* m_pQuadSecond = nullptr;
    uint8_t* m_pPreviewBackgroundHeld = nullptr;  // the preview background while the countdown runs
    uint8_t* m_pImageMask = nullptr;              // sliding mask of a roll that slid (roll-image bytes)
    uint8_t* m_pTransformTemp = nullptr;          // keystone source copy, full-image bytes
    uint8_t* m_pCalibImage = nullptr;             // the calibration's frame, full-image bytes
    std::unique_ptr<uint8_t[]> m_pResultWork;     // see ResultWorkImage
    long m_nResultWorkBytes = 0;

    // Roll state of the current capture.
    std::atomic<int> m_nRollFrameCount{0};  // frames stitched so far
    std::atomic<int> m_nRollFrames{0};      // frames of the last roll
    int m_nStitchState = 0;
    int m_bBackgroundDirty = 0;
    int m_bBlankFrame = 0;

    StreamHandOff m_strStreamCB;
    std::unique_ptr<platform::Event> m_hImageEvent;        // signalled: the hand-off buffer is free
    std::unique_ptr<platform::Event> m_hAutoCaptureEvent;  // take the result now
    std::unique_ptr<platform::Event> m_hGetImageEvent;     // a new frame is in the hand-off buffer
    DistortionCorrectionHandle* m_hDistortion = nullptr;

    // Capture graph.
    std::shared_ptr<platform::video::FilterGraph> m_pGraph;
    std::shared_ptr<platform::video::SampleGrabber> m_pGrabber;
    std::shared_ptr<platform::video::CaptureGraphBuilder> m_pBuilder;
    std::shared_ptr<platform::video::VideoProcAmp> m_pVideoProcAmp;
    std::shared_ptr<platform::video::CameraControl> m_pCameraControl;
    std::mutex m_graphLock;  // the interface pointers: rebuilt on the caller's thread, read by the threads
    // Set while the image thread works on a frame (it writes the work, saved, flat and preview
    // buffers): a stream stop waits for it, so a result built after the stop is never written
    // over by a frame of before the stop.
    std::mutex m_imgBusyLock;
    std::condition_variable m_imgBusyEnded;
    bool m_bImgBusy = false;
    void WaitImageThreadIdle();
    // The end of every SetCalibration, once the caller has stopped asking for frames (frame
    // request or stream flag cleared): see StreamControl.cpp.
    void EndCalibration(int result);
    CSampleGrabberBase m_SampleGrabberCB;

    // Working geometry of the image-processing thread.
    int m_nWorkWidth = 0, m_nWorkHeight = 0, m_nWorkBytes = 0;

    // The frame the flat result is built from is kept once a full-mode result frame arrived.
    std::atomic<int> m_nSavedRawFrozen{0};

private:
    int ProcessTransformFlat(uint8_t* in, int w, int h, uint8_t* out, int* outW, int* outH);
    void FinishRoll(uint8_t* out, int w, int h, int result, bool qualityCheck, int* finalResult);
    int RestartGraph();
    int CalibrationPass(int pass, int mode);
    std::shared_ptr<platform::video::VideoProcAmp> ProcAmp();
    std::shared_ptr<platform::video::CameraControl> CamControl();
    int frameCounter_ = 0;  // frames processed since the ready flag was cleared
    bool firstFrame_ = true;
};

// Process-wide thread state (one image-processing, auto-capture and foot-switch thread).
struct ScannerThreads {
    std::thread imgProc, autoCapture, footSwitch;
    std::atomic<int> imgProcStop{0}, autoCaptureStop{0}, footSwitchStop{0};
    // Ends the foot-switch thread's half-second wait when it is asked to stop.
    platform::Event footSwitchWake{false, false};
};
ScannerThreads& Threads();
// The multi-device table: ReleaseRes of one scanner among several leaves the threads running.
extern ZarnScannerBase* g_pScanners[10];
extern int g_nDeviceIndex;
