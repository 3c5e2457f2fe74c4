#pragma once
// One camera unit of the two-eye iris camera (side 1 left eye, side 2 right eye): finds its unit in
// the video-capture device list, builds its capture graph (camera, grabber, null renderer),
// receives every frame on the camera's streaming thread, turns it upright, keeps a copy, feeds the
// auto-capture stages and the preview callback, and drives the unit's LEDs, exposure and sensor
// settings through the camera properties. It also holds the side's frame store and auto-capture
// state (AutoCapture.cpp) and calibrates the level of its red LEDs.
//
// Flags, counters and callback slots are atomics: the exports, the streaming thread and the side's
// auto-capture thread all touch them. No lock is held while a callback runs.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "iris/ZarnIrisApi.h"
#include "irisalg/IrisRecords.h"
#include "platform/Event.h"
#include "platform/VideoCapture.h"
#include "zarn/SampleGrabberBase.h"

namespace iriscap {

using platform::video::HRESULT;

// Custom video-processing properties of the camera driver.
inline constexpr long kPropModeValue = 1;   // property 1: the sensor's mode value, also the connection probe
inline constexpr long kPropFrameSizeMode = 20;
inline constexpr long kPropLed = 23;        // level | selector << 8: 1, 2 red, 3 white
inline constexpr long kPropSensorType = 24;
inline constexpr long kSensor640 = 0x11C3502;
inline constexpr int kControlExposure = 10;  // SetControl code for the exposure

inline constexpr int kStoreSlots = 31;
inline constexpr int kRankedForAnalysis = 10;
inline constexpr int kHeaderBytes = 64;

// One ranked record of the frame store.
struct RankedRecord {
    float score = 0;       // stage-2 iris-quality score
    float finalScore = 0;  // stage-3 score
    int32_t slot = 0;
    IrisQualityRecord quality{};
    IrisLocation location{};
};

// The nine running-state words, one atomic each.
struct RunningWords {
    std::atomic<int32_t> initialised{0}, armed{0}, captureRunning{0}, aborted{0}, autoCapture{0}, modeArgument{0},
        modeSet{0}, done{0}, reserved{0};
    void CopyTo(ZarnRunningInfo* out) const;
    void Clear();
};

// Sleeps ms milliseconds times the library's wait scale (TESSIK_IRIS_WAIT_SCALE, default 1).
void IrisSleep(int ms);
int ScaledMs(int ms);
void SetIrisWaitScale(double scale);  // 0 < scale <= 1

class ZarnIrisBase {
public:
    ZarnIrisBase(int side, int deviceIndex);
    virtual ~ZarnIrisBase();
    ZarnIrisBase(const ZarnIrisBase&) = delete;
    ZarnIrisBase& operator=(const ZarnIrisBase&) = delete;

    // Resets the object and starts the side's auto-capture thread; -7 when it cannot start.
    int StartAutoCaptureThread();
    int InitStillGraph();
    // Reads the sensor type and allocates the frame buffer and the frame store.
    int SetupSensor();
    int SetControl(int code, long value);
    int RunGraph();
    int StopGraph();
    int OpenRedLed();
    int CloseRedLed();
    int OpenWhiteLed();
    int CloseWhiteLed();
    int ReadLedStatus();
    int IsDeviceConnected();
    int ParseFrameHeader(const uint8_t* raw, long length);
    int FillDeviceInfo(ZarnDeviceInfo* info);
    void FillImageInfo(int result);
    int SetCalibration();
    // Teardown: LEDs off, thread stopped, graph released, buffers freed.
    void ReleaseRes();
    void ClearGraphs();
    void CloseThread();

    // The frame function of the side (streaming thread).
    HRESULT OnBuffer(double sampleTime, uint8_t* buffer, long length);

    // Auto-capture (AutoCapture.cpp).
    void ResetCollection(int quality);
    void ClearFrameStore();
    void AutoCaptureThread();

    // Brightness step of the calibration for one image.
    static int BrightnessStep(int low, int high, const uint8_t* image, int width, int height);
    // Target band of the calibration for a serial-number text.
    static void CalibrationBand(const char* serial, int* low, int* high);

    const int side;
    const int deviceIndex;

    // Frame geometry (set by SetupSensor).
    int width = 0, height = 0, frameSize = 0;
    int sensor640 = 0;
    std::atomic<int> framesSinceStart{0};
    std::atomic<int> firstValidFrame{0};
    uint32_t deviceData[6] = {};
    std::atomic<int> eyeSeen{0};

    // Callbacks: one context for the side's three callbacks.
    std::atomic<void*> context{nullptr};
    std::atomic<ZarnCallbackPreviewImage> previewCallback{nullptr};
    std::atomic<ZarnIrisCallbackResultImage> resultCallback{nullptr};
    std::atomic<ZarnCallbackDeviceIsConnected> connectedCallback{nullptr};
    ZarnImageInfo imageInfo{};

    RunningWords running;
    std::atomic<int> quality{0};
    long modeValue = 0, exposure = 0;

    // Frame store and auto-capture state.
    std::vector<uint8_t> store;           // kStoreSlots frame sizes
    uint8_t* slots[kStoreSlots] = {};
    RankedRecord ranked[kStoreSlots];
    std::atomic<bool> present{false}, whiteOn{false}, collectDone{false}, analysed{false};
    std::atomic<int> hits{0}, misses{0}, collected{0}, required{3};
    std::atomic<int> params[7] = {34, 60, 70, 10, 0, 0, 90};

    std::atomic<int> red1{81}, red2{81}, white{6};

    // Auto-capture thread: stop word 0 run, 1 stop requested, 2 stopped.
    std::atomic<int> stopWord{0};
    std::unique_ptr<platform::Event> resultEvent;
    std::thread thread;

    // Graph.
    std::shared_ptr<platform::video::FilterGraph> graph;
    std::shared_ptr<platform::video::CaptureFilter> camera;
    std::shared_ptr<platform::video::SampleGrabber> grabber;
    std::shared_ptr<platform::video::NullRenderer> renderer;
    std::shared_ptr<platform::video::VideoProcAmp> procAmp;
    std::shared_ptr<platform::video::CameraControl> cameraControl;
    CSampleGrabberBase grabberCallback;

    // The latest upright frame. frameMutex guards the writes of the frame buffer and the frame
    // store and the copies out of them; it is never held while a callback runs.
    std::vector<uint8_t> frame;
    std::mutex frameMutex;
    // The image handed to the result callback: a copy of the delivered frame, taken under
    // frameMutex, so that an Abort or SetMode clearing the store (or a restarted graph writing the
    // frame buffer) while the callback reads it cannot change it. Valid until the side's next
    // delivery.
    std::vector<uint8_t> resultFrame;
    // Samples refused for their length.
    std::atomic<int> shortSamples{0};

private:
    int FindCaptureDevice(std::shared_ptr<platform::video::CaptureFilter>* out);
    int SetLed(long value);
};

// The library-wide objects (Exports.cpp).
extern std::atomic<ZarnIrisBase*> g_pIrisL;
extern std::atomic<ZarnIrisBase*> g_pIrisR;
extern std::atomic<int> g_nEyeMode;
extern void* g_DetectorContext[2];

ZarnIrisBase* SideObject(int side);  // 1 left, 2 right
ZarnIrisBase* OtherSide(const ZarnIrisBase& s);

// Auto-capture stages and result delivery (AutoCapture.cpp).
int I_AnalyzeFrame(ZarnIrisBase& s, void* detectorContext);
int I_DetectEye(ZarnIrisBase& s, void* detectorContext);
int I_CollectFrame(ZarnIrisBase& s);
int I_SelectBestFrames(ZarnIrisBase& s);
int I_TakeResultImage(int eyeMode, int automatic);
// Contrast stretch of an image in place: the darkest lowPerMille and brightest highPerMille go to
// the ends of the range.
void StretchContrast(uint8_t* image, int width, int height, int lowPerMille, int highPerMille);

}  // namespace iriscap
