// ZarnScannerBase: resources, static buffers, the capture graph and the keystone correction.
#include <algorithm>
#include <cstring>
#include <new>

#include "platform/DriverDevices.h"
#include "platform/ThreadName.h"
#include "zarn/ZarnTraceLogger.h"

#include "ModelFactory.h"
#include "ZarnScannerBase.h"

using namespace platform::video;

std::atomic<ZarnScannerBase*> g_pScanner{nullptr};
ZarnScannerBase* g_pScanners[10] = {};
int g_nDeviceIndex = 0;

ScannerThreads& Threads() {
    static ScannerThreads threads;
    return threads;
}

namespace {

// A graph rebuild in progress (the connection poll counts the scanner as connected meanwhile).
std::atomic<int> g_modeChanging{0};
// Serialises graph rebuilds: a second caller waits for the first and then does its own.
std::mutex g_modeChangeLock;

bool g_powerChanged = false;
int g_savedPowerLevel = 0;

unsigned Low(const void* p) { return unsigned(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

bool IsSlapImageType(int type) { return type == 2 || type == 3; }
bool IsThumbsImageType(int type) { return type == 4; }
bool IsSingleFlatImageType(int type) { return type == 1 || (type >= 23 && type <= 32); }
bool IsFlatImageType(int type) { return IsSlapImageType(type) || IsThumbsImageType(type) || IsSingleFlatImageType(type); }
bool IsRollImageType(int type) { return type == 0 || type == 5 || type == 6 || (type >= 15 && type <= 22); }
bool IsHandImageType(int type) { return type >= 7 && type <= 14; }
bool IsSingleFingerScannerType(int t) {
    return (t >= 301 && t <= 306) || t == 401 || t == 402 || t == 801;
}

ZarnScannerBase::ZarnScannerBase() { m_nPropFlags[kPropFrameSizeMode] = 0; }

ZarnScannerBase::~ZarnScannerBase() {
    ZarnScannerBase* self = this;
    g_pScanner.compare_exchange_strong(self, nullptr);
    ClearGraphs();
    delete[] m_strStreamCB.pBuffer;
    m_strStreamCB.pBuffer = nullptr;
    ReleaseStaticMemory();
    if (m_hDistortion != nullptr) MM_TDistortionCorrectRelease(&m_hDistortion);
}

namespace {
// new[] of `size` bytes, left as they come; a failure (or a size below 1) is logged and gives null.
uint8_t* NewUcharArrayLogged(long size, const char* name) {
    uint8_t* p = size > 0 ? new (std::nothrow) uint8_t[size_t(size)] : nullptr;
    if (p == nullptr)
        ZarnTrace().Log(0, "SafeNewUcharArray()-*%s ZARN_ERR_MEM_ALLOC. ArraySize = %ld, RetCode = %ld", name, size,
                        long(ZARN_ERR_MEM_ALLOC));
    return p;
}
}  // namespace

int ZarnScannerBase::SafeNewUcharArray(uint8_t** pointer, long size, const char* name) {
    *pointer = NewUcharArrayLogged(size, name);
    if (*pointer == nullptr) return ZARN_ERR_MEM_ALLOC;
    std::memset(*pointer, 255, size_t(size));
    return 0;
}

void ZarnScannerBase::SafeDeleteArray(uint8_t** pointer) {
    delete[] *pointer;
    *pointer = nullptr;
}

int ZarnScannerBase::ResultWorkImage(uint8_t** pointer, long size, const char* name) {
    *pointer = nullptr;
    if (size < 1 || m_nResultWorkBytes < size) {
        m_pResultWork.reset();
        m_nResultWorkBytes = 0;
        m_pResultWork.reset(NewUcharArrayLogged(size, name));
        if (!m_pResultWork) return ZARN_ERR_MEM_ALLOC;
        m_nResultWorkBytes = size;
    }
    *pointer = m_pResultWork.get();
    return 0;
}

int ZarnScannerBase::ApplyStaticMemory() {
    const long frame = m_FullFrame.bytes, full = m_FullImage.bytes, roll = m_RollImage.bytes, prev = m_PreviewImage.bytes;
    int result = 0;
    auto get = [&](uint8_t** p, long size, const char* name) {
        if (SafeNewUcharArray(p, size, name) != 0) result = ZARN_ERR_MEM_ALLOC;
    };
    // The largest buffers are only ever read where they were written first (the roll history
    // frame by frame, the KestrelD grid by its four placements; KestrelB and KestrelC never use
    // the grid): they are not filled, so their pages are not touched until a capture needs them.
    auto getUnfilled = [&](uint8_t** p, long size, const char* name) {
        if ((*p = NewUcharArrayLogged(size, name)) == nullptr) result = ZARN_ERR_MEM_ALLOC;
    };
    get(&m_pDxBuf1, frame, "m_pDxBuf1");
    get(&m_pSavedRaw, full, "m_pSavedRaw");
    get(&m_pRollPreviewOut, full, "m_pRollPreviewOut");
    get(&m_pFullBackground, full, "m_pFullBackground");
    get(&m_pRollBackground, roll, "m_pRollBackground");
    get(&m_pPreviewBackground, prev, "m_pPreviewBackground");
    get(&m_pPreviewBackgroundHeld, prev, "m_pPreviewBackgroundHeld");
    get(&m_pWorkFrame, full, "m_pWorkFrame");
    get(&m_pPreviewOutput, full, "m_pPreviewOutput");
    get(&m_pRollWork[0], roll, "m_pRollWork[0]");
    get(&m_pRollWork[1], roll, "m_pRollWork[1]");
    get(&m_pFlatOutput, full, "m_pFlatOutput");
    get(&m_pLastRoll, roll, "m_pLastRoll");
    get(&m_pImageMask, roll, "m_pImageMask");
    get(&m_pTransformTemp, full, "m_pTransformTemp");
    get(&m_pCalibImage, full, "m_pCalibImage");
    getUnfilled(&m_pRollHistory, roll * kRollHistoryFrames, "m_pRollHistory");
    if (m_nScannerType == 602) {
        get(&m_pQuadBlock, 4 * frame, "m_pQuadBlock");
        getUnfilled(&m_pQuadSecond, 4 * frame, "m_pQuadSecond");
        for (int i = 0; i < 4; ++i) m_pQuad[i] = m_pQuadBlock ? m_pQuadBlock + size_t(i) * size_t(frame) : nullptr;
    }
    return result;
}

int ZarnScannerBase::ReleaseStaticMemory() {
    for (uint8_t** p : {&m_pDxBuf1, &m_pSavedRaw, &m_pRollPreviewOut, &m_pFullBackground, &m_pRollBackground,
                        &m_pPreviewBackground, &m_pPreviewBackgroundHeld, &m_pWorkFrame, &m_pPreviewOutput,
                        &m_pRollWork[0], &m_pRollWork[1], &m_pFlatOutput, &m_pLastRoll, &m_pImageMask,
                        &m_pTransformTemp, &m_pCalibImage, &m_pRollHistory, &m_pQuadBlock, &m_pQuadSecond})
        SafeDeleteArray(p);
    for (auto& q : m_pQuad) q = nullptr;
    m_pResultWork.reset();
    m_nResultWorkBytes = 0;
    return 0;
}

int ZarnScannerBase::InitializeRes() {
    ZarnTrace().Log(3, "Enter ZarnScannerBase::InitializeRes()");
    m_strStreamCB.sampleTime = 0;
    m_strStreamCB.length = 0;
    for (auto* w : {&m_Running.initialised, &m_Running.captureStarted, &m_Running.liveDetection, &m_Running.modeArgument,
                    &m_Running.modeSet, &m_Running.resultTaken, &m_Running.rollingStarted, &m_Running.captureStatus})
        w->store(0);
    m_nImageType = ZARN_IMAGE_TYPE_COUNT;
    m_nVideoMode = TK_VIDEO_NONE;
    m_nCalibrating = 1;
    m_nStreamRunning = 1;
    m_Running.finished = 1;
    m_nAutoResultAllowed = 1;
    m_bPropSupported[kPropFrameSizeMode] = true;
    m_nBackgroundCountdown = 3;
    m_nBackgroundStage = 0;
    m_nFullModeCapture = 0;
    m_nFullResult = 0;
    m_nFrameRequest = 0;
    m_nFrameReady = 0;
    m_nSavedRawFrozen = 0;
    m_nRollFrameCount = 0;
    m_nStitchState = m_bBackgroundDirty = m_bBlankFrame = 0;
    firstFrame_ = true;

    if (!g_powerChanged) {
        g_powerChanged = true;
        int level = 0;
        if (I_GetCpuPowerLevel(&level) == 0 && level != 0) {
            g_savedPowerLevel = level;
            ZarnTrace().Log(3, "Called I_SetCpuPowerLevel(0)=%d", I_SetCpuPowerLevel(0));
        }
    }

    ClearGraphs();
    std::memset(m_szDeviceText, 0, sizeof m_szDeviceText);
    SetAutoCaptureDefaults();

    int result = ApplyStaticMemory();
    if (result == 0) {
        MM_InitializeErrorMessage();
        if (m_hDistortion == nullptr) m_hDistortion = MM_TDistortionCorrectInit();
        if (m_hDistortion == nullptr) result = ZarnAlgorithmError(12);
    }
    if (result == 0) {
        MakeImageData(1);
        m_hAutoCaptureEvent = std::make_unique<platform::Event>(false, true);
        m_hImageEvent = std::make_unique<platform::Event>(false, true);
        m_hGetImageEvent = std::make_unique<platform::Event>(false, false);
        StartCaptureThreads();
    }
    if (result != 0) ReleaseStaticMemory();
    ZarnTrace().Log(3, "Exit  ZarnScannerBase::InitializeRes()=%d", result);
    return result;
}

void ZarnScannerBase::StartCaptureThreads() {
    ScannerThreads& t = Threads();
    t.imgProcStop = 0;
    if (!t.imgProc.joinable()) t.imgProc = platform::StartNamedThread("fp-imgproc", &ZarnScannerBase::ThreadImgProc);
    t.autoCaptureStop = 0;
    if (!t.autoCapture.joinable()) t.autoCapture = platform::StartNamedThread("fp-autocapture", &ZarnScannerBase::ThreadAutoCapture);
}

void ZarnScannerBase::StopCaptureThreads() {
    ScannerThreads& t = Threads();
    CloseThread(t.footSwitch, t.footSwitchStop, "ThreadFootSwitch", &t.footSwitchWake);
    ZarnTrace().Log(3, "Close FootSwitchThread thread successfully");
    CloseThread(t.imgProc, t.imgProcStop, "ThreadImgProc");
    ZarnTrace().Log(3, "Close ThreadImgProc thread successfully");
    CloseThread(t.autoCapture, t.autoCaptureStop, "ThreadAutoCapture");
    ZarnTrace().Log(3, "Close m_hAutoCaptureThread thread successfully");
}

int ZarnScannerBase::ReleaseRes() {
    ZarnTrace().Log(3, "Enter ZarnScannerBase::ReleaseRes()");
    if (SetVideoProp(kPropFrameSizeMode, 0) == 1) m_nFrameSizeMode = 0;
    ClearGraphs();
    int result = 0;
    int inUse = 0;
    for (ZarnScannerBase* s : g_pScanners) inUse += s != nullptr;
    if (inUse <= 1) {
        StopCaptureThreads();
        m_hAutoCaptureEvent.reset();
        m_hImageEvent.reset();
        m_hGetImageEvent.reset();
        if (g_powerChanged) {
            int level = 0;
            result = I_GetCpuPowerLevel(&level);
            if (result == 0 && g_savedPowerLevel != 0) {
                result = I_SetCpuPowerLevel(g_savedPowerLevel);
                g_savedPowerLevel = 0;
            }
            g_powerChanged = false;
        }
        delete[] m_strStreamCB.pBuffer;
        m_strStreamCB.pBuffer = nullptr;
        m_strStreamCB.lBufferSize = 0;
        ReleaseStaticMemory();
    }
    // With other scanners open the threads may still hold this scanner's buffers for a cycle: they
    // go with the object.
    if (m_hDistortion != nullptr && inUse <= 1) MM_TDistortionCorrectRelease(&m_hDistortion);
    ZarnTrace().Log(3, "Exit  ZarnScannerBase::ReleaseRes()=%d", result);
    return result;
}

int ZarnScannerBase::GetInterfaces() {
    std::lock_guard lock(m_graphLock);
    m_pGraph = std::make_shared<FilterGraph>();
    m_pBuilder = std::make_shared<CaptureGraphBuilder>();
    m_pGrabber = std::make_shared<SampleGrabber>();
    return 1;
}

void ZarnScannerBase::ClearGraphs() {
    ZarnTrace().Log(5, "Enter ZarnScannerBase::ClearGraphs()");
    std::shared_ptr<FilterGraph> graph;
    std::shared_ptr<SampleGrabber> grabber;
    {
        std::lock_guard lock(m_graphLock);
        graph = std::move(m_pGraph);
        grabber = std::move(m_pGrabber);
        m_pBuilder.reset();
        m_pVideoProcAmp.reset();
        m_pCameraControl.reset();
    }
    // Stop returns once no frame callback is in progress; none follows.
    if (graph) graph->Stop();
    if (grabber) grabber->SetCallback(nullptr, 1);
    ZarnTrace().Log(5, "Exit  ZarnScannerBase::ClearGraphs()");
}

std::shared_ptr<VideoProcAmp> ZarnScannerBase::ProcAmp() {
    std::lock_guard lock(m_graphLock);
    return m_pVideoProcAmp;
}
std::shared_ptr<CameraControl> ZarnScannerBase::CamControl() {
    std::lock_guard lock(m_graphLock);
    return m_pCameraControl;
}

void ZarnScannerBase::LogGraphError(const char* text, HRESULT hr) {
    if (hr != 0)
        ZarnTrace().Log(5, "Err: %s; hr=0x%x", text, unsigned(hr));
    else
        ZarnTrace().LogText(3, text);
}

int ZarnScannerBase::MatchStreamCaps(int index, int w, int h) const {
    auto is = [&](int a, int b) { return w == a && h == b; };
    if (m_nScannerType == 602) {
        return (index == 0 && is(2912, 4512)) || (index == 1 && is(2144, 1536)) || (index == 2 && is(1456, 1504));
    }
    if (m_nScannerType == 503) return (index == 0 && is(3024, 3584)) || (index == 1 && is(1520, 1792));
    if (index == 0) return is(2944, 1840) || is(2912, 4512) || is(1600, 1200) || is(1536, 2144) || is(640, 480);
    if (index == 1) return is(1408, 880) || is(832, 1552);
    if (index == 2) return is(1456, 1504);
    return 0;
}

ZarnScannerBase::HRESULT ZarnScannerBase::GetDefaultCapDevice(std::shared_ptr<CaptureFilter>* result) {
    ZarnTrace().Log(4, "Enter ZarnScannerBase::GetDefaultCapDevice(0x%x)", Low(result));
    if (result == nullptr) return 0;
    result->reset();
    std::unique_ptr<EnumMoniker> devices;
    HRESULT hr = SystemDeviceEnum::CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &devices);
    if (hr != S_OK || !devices) {
        ZarnTrace().Log(0, "No video capture device was detected.");
        return hr == S_OK ? E_FAIL : hr;
    }
    devices->Reset();
    int index = g_nDeviceIndex;
    std::shared_ptr<DeviceMoniker> moniker;
    while ((hr = devices->Next(&moniker)) == S_OK) {
        std::string path;
        if (moniker->Read("DevicePath", &path) != S_OK) continue;
        bool match;
        if (platform::ContainsNoCase(path, "vid_0547") || platform::ContainsNoCase(path, "vid_6d3b"))
            match = platform::ContainsNoCase(path, m_szUsbPid) || platform::ContainsNoCase(path, "pid_2171");
        else
            match = platform::ContainsNoCase(path, m_szUsbPid) || platform::ContainsNoCase(path, "kestrela-firewire");
        if (!match || --index >= 0) continue;
        std::shared_ptr<CaptureFilter> camera;
        hr = moniker->BindToObject(&camera);
        if (camera) {
            *result = camera;
            break;
        }
    }
    ZarnTrace().Log(4, "Exit  ZarnScannerBase::GetDefaultCapDevice()=0x%x", unsigned(hr));
    return hr;
}

ZarnScannerBase::HRESULT ZarnScannerBase::BuildCaptureGraph(int mode, int force) {
    if (force == 0 && mode == m_nVideoMode.load()) return 0;
    int width, height, sizeMode;
    if (mode == TK_VIDEO_ROLL) {
        width = m_RollFrame.width, height = m_RollFrame.height, sizeMode = 1;
        m_nBackgroundCountdown = 3;
    } else if (mode == TK_VIDEO_PREV) {
        width = m_PreviewFrame.width, height = m_PreviewFrame.height, sizeMode = 2;
        m_nBackgroundCountdown = 3;
    } else {
        width = m_FullFrame.width, height = m_FullFrame.height, sizeMode = 0;
    }
    ClearGraphs();
    if (!GetInterfaces()) return E_FAIL;
    std::shared_ptr<CaptureFilter> camera;
    GetDefaultCapDevice(&camera);
    auto fail = [&](const char* text, HRESULT hr) {
        LogGraphError(text, hr);
        ClearGraphs();
        return hr;
    };
    if (!camera) {
        ZarnTrace().Log(0,
                        "No video capture device was detected on your system. Check that the scanner is plugged in "
                        "and that its driver has loaded.");
        ClearGraphs();
        return E_FAIL;
    }
    std::shared_ptr<FilterGraph> graph;
    std::shared_ptr<SampleGrabber> grabber;
    std::shared_ptr<CaptureGraphBuilder> builder;
    {
        std::lock_guard lock(m_graphLock);
        graph = m_pGraph, grabber = m_pGrabber, builder = m_pBuilder;
    }
    std::shared_ptr<StreamConfig> config;
    HRESULT hr = builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.get(), &config);
    if (FAILED(hr)) return fail("Could not find interface in graph", hr);
    std::shared_ptr<SpecifyPropertyPages> pages;
    if (FAILED(hr = camera->QueryInterface(&pages))) return fail("Could not query interface in graph", hr);
    std::vector<platform::Guid> list;
    hr = pages->GetPages(&list);
    if (FAILED(hr)) return fail("Could not get pages in graph", hr);
    if (hr == S_OK && !list.empty()) {
        int count = 0, size = 0;
        if (FAILED(hr = config->GetNumberOfCapabilities(&count, &size)))
            return fail("Could not get number of capabilities in graph", hr);
        bool found = false;
        for (int i = 0; i < count && !found; ++i) {
            MediaType type;
            VideoStreamConfigCaps caps;
            hr = config->GetStreamCaps(i, &type, &caps);
            if (hr != S_OK) {
                ZarnTrace().Log(5, "Call pSC->GetStreamCaps Failed(0x%x)", unsigned(hr));
                ClearGraphs();
                return -1;
            }
            if (!type.format) {
                ZarnTrace().Log(5, "Call pSC->GetStreamCaps Failed(pvi == NULL)");
                ClearGraphs();
                return -1;
            }
            if (MatchStreamCaps(i, width, height)) {
                type.format->AvgTimePerFrame = 2666666;
                if (FAILED(hr = config->SetFormat(type))) return fail("Could not set format", hr);
                found = true;
            }
        }
        if (!found) {
            ZarnTrace().Log(5, "Could not find this mode (%d, %d)", width, height);
            ClearGraphs();
            return -1;
        }
    }
    std::shared_ptr<VideoProcAmp> procAmp;
    std::shared_ptr<CameraControl> cameraControl;
    if (FAILED(hr = camera->QueryInterface(&procAmp))) return fail("Could not query IID_IAMVideoProcAmp interface", hr);
    if (FAILED(hr = camera->QueryInterface(&cameraControl)))
        return fail("Could not query IID_IAMCameraControl interface", hr);
    {
        std::lock_guard lock(m_graphLock);
        m_pVideoProcAmp = procAmp;
        m_pCameraControl = cameraControl;
    }
    // The driver takes the frame size when the stream starts: it is set on the camera of this
    // graph, so that also the first build after InitializeRes and a build after a failed one run
    // in the size of their mode.
    if (SetVideoProp(kPropFrameSizeMode, sizeMode) == 1) m_nFrameSizeMode = sizeMode;
    if (FAILED(graph->AddFilter(camera, "Cap"))) return fail("Could not put capture device in graph", E_FAIL);
    MediaType wanted;
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = MEDIASUBTYPE_RGB8;
    if (FAILED(hr = grabber->SetMediaType(wanted))) return fail("Could not set media type", hr);
    if (FAILED(hr = graph->AddFilter(grabber, "Grabber"))) return fail("Could not put sample grabber in graph", hr);
    if (FAILED(hr = builder->SetFiltergraph(graph))) return fail("SetGraph failed", hr);
    auto renderer = std::make_shared<NullRenderer>();
    if (FAILED(hr = graph->AddFilter(renderer, "NULL renderer"))) return fail("Can't add the filter to graph", hr);
    hr = builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Interleaved, camera.get(), grabber.get(), renderer.get());
    if (FAILED(hr))
        hr = builder->RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.get(), grabber.get(), renderer.get());
    if (FAILED(hr)) return fail("Can't build the graph", hr);
    m_SampleGrabberCB.SetBufferFunction(&ZarnScannerBase::MakeBufferCB);
    if (FAILED(hr = grabber->SetCallback(&m_SampleGrabberCB, 1))) return fail("Could not set Callback", hr);
    return 0;
}

int ZarnScannerBase::ChageVideoMode(int mode, int force) {
    ZarnTrace().Log(4, "Enter ZarnScannerBase::ChageVideoMode(%d, %d)", mode, force);
    std::lock_guard lock(g_modeChangeLock);
    g_modeChanging = 1;
    m_nModeChanging = 1;
    int result = 0;
    if (BuildCaptureGraph(mode, force) != 0) {
        result = ZARN_ERR_GRAPH_BUILD;
    } else {
        std::shared_ptr<FilterGraph> graph;
        {
            std::lock_guard g(m_graphLock);
            graph = m_pGraph;
        }
        HRESULT hr = graph ? graph->Run() : E_FAIL;
        if (graph && FAILED(hr)) {
            LogGraphError("Could not run graph", hr);
            result = ZARN_ERR_GRAPH_RERUN;
        }
    }
    m_nModeChanging = 0;
    g_modeChanging = 0;
    ZarnTrace().Log(4, "Exit  ZarnScannerBase::ChageVideoMode()=%d", result);
    return result;
}

int ZarnScannerBase::InitVideoMode(int mode) {
    ZarnTrace().Log(4, "Enter ZarnScannerBase::InitVideoMode(%d)", mode);
    return ChageVideoMode(mode, 0);
}

int ZarnScannerBase::StopStream() {
    std::shared_ptr<FilterGraph> graph;
    {
        std::lock_guard g(m_graphLock);
        graph = m_pGraph;
    }
    ZarnTrace().Log(4, "Enter ZarnScannerBase::StopStream()");
    int result = 0;
    if (m_nStreamRunning.exchange(0) != 0) {
        m_nFrameRequest = 0;
        if (!graph) {
            result = ZARN_ERR_DEVICE_INDEX;  // -618: no media control
        } else if (FAILED(graph->Stop())) {
            LogGraphError("StopStream() - Could not stop graph", E_FAIL);
            result = ZARN_ERR_STREAM_RUN_STOP;
        }
        // No frame is handed over any more; the one the image thread may be working on ends first.
        WaitImageThreadIdle();
    }
    ZarnTrace().Log(4, "Exit  ZarnScannerBase::StopStream()= %d", result);
    return result;
}

int ZarnScannerBase::StartStream() {
    ZarnTrace().Log(4, "Enter ZarnScannerBase::StartStream()");
    int result = 0;
    if (m_nStreamRunning.load() == 0) {
        m_nStreamRunning = 1;
        m_nFrameRequest = 1;
        m_nSavedRawFrozen = 0;
        std::shared_ptr<FilterGraph> graph;
        {
            std::lock_guard g(m_graphLock);
            graph = m_pGraph;
        }
        if (!graph) {
            result = ZARN_ERR_DEVICE_INDEX;
        } else {
            const HRESULT hr = graph->Run();
            if (FAILED(hr)) {
                LogGraphError("StartStream() - Could not run graph", hr);
                result = ZARN_ERR_STREAM_RUN_STOP;
            }
        }
    }
    ZarnTrace().Log(4, "Exit  ZarnScannerBase::StartStream()= %d", result);
    return result;
}

int ZarnScannerBase::CreateRollSession(int resolution) {
    return MM_mmRollStitchCreate(m_RollImage.width, m_RollImage.height, resolution, resolution, 0);
}

int ZarnScannerBase::ImgTrapezoidConvert(uint8_t* in, int inH, int inW, uint8_t* out, int outH, int outW, int, int kind) {
    ZarnTrace().Log(4,
                    "Enter ZarnScannerBase::ImgTrapezoidConvert(ImageIn = 0x%x, H = %d, W = %d, ImageOut = 0x%x, H = %d, "
                    "W = %d...)",
                    Low(in), inH, inW, Low(out), outH, outW);
    if (inH < outH || inW < outW) return -1;
    DistortionCorrectionRecord rec{};
    const DistortionSet* set = nullptr;
    int result = 0;
    // The full-resolution images of the FireWire scanners have their rows spread over threads.
    constexpr size_t kRowThreadPixels = size_t(16) << 20;
    auto correct = [&] {
        return size_t(inH) * size_t(inW) >= kRowThreadPixels ? MM_TDistortionCorrectRows(m_hDistortion, in, &rec)
                                                             : MM_TDistortionCorrectEx(m_hDistortion, in, &rec);
    };
    auto fill = [&](const DistortionSet& s, int h, int w) {
        rec.Height = h;
        rec.Width = w;
        rec.A = s.values[0], rec.B = s.values[1], rec.L = s.values[2], rec.E = s.values[3], rec.G = s.values[4],
        rec.K = s.values[5];
    };
    switch (kind) {
        case 1:
            set = (m_nCalibrating.load() || m_nFullResult.load()) ? &m_FullSet : &m_FlatSet;
            fill(*set, inH, inW);
            result = correct();
            break;
        case 0:
            fill(m_FlatSet, inH, inW);
            result = correct();
            break;
        case 2: {
            fill(m_RollSet, m_FullImage.height, m_FullImage.width);
            if (m_nScannerType == 602 || m_nScannerType == 401 || m_nScannerType == 402) {
                result = correct();
            } else {
                const int bottom = m_FullImage.height - 1, top = m_FullImage.height - m_RollImage.height;
                int left, right;
                if (m_nScannerType == 601 && std::strstr(m_szScannerName, "Tessik PloverD") != nullptr) {
                    left = 0, right = m_RollImage.width - 1;
                } else if (m_nScannerType == 601) {
                    right = m_FullImage.width - 1, left = m_FullImage.width - m_RollImage.width;
                } else {
                    left = (m_FullImage.width - m_RollImage.width) / 2, right = left + m_RollImage.width - 1;
                }
                result = MM_CalibrateOpticalDistortion2({left, top}, {right, bottom}, in, &rec);
            }
            break;
        }
        default:
            return 0;
    }
    if (result == 0) {
        const int cw = rec.OutputWidth, ch = rec.OutputHeight;
        const int rows = std::min(outH, ch);
        if (cw <= outW) {
            for (int r = 0; r < rows; ++r) std::memmove(out + size_t(r) * outW, in + size_t(r) * cw, size_t(cw));
        } else {
            const int x0 = (cw - outW) / 2;
            for (int r = 0; r < rows; ++r) std::memmove(out + size_t(r) * outW, in + size_t(r) * cw + x0, size_t(outW));
        }
    }
    ZarnTrace().Log(4, "Exit ZarnScannerBase::ImgTrapezoidConvert()=%d", result);
    return result;
}

int ZarnScannerBase::CropLowerCentre(const uint8_t* in, int w, int h, uint8_t* out, int* outW, int* outH) {
    const int cw = w / 2, ch = h / 2, x0 = w / 4, y0 = h / 2;
    for (int r = 0; r < ch; ++r) std::memmove(out + size_t(r) * cw, in + size_t(y0 + r) * w + x0, size_t(cw));
    if (outW) *outW = cw;
    if (outH) *outH = ch;
    return 0;
}

int ZarnScannerBase::SetScannerType(int type) {
    ZarnTrace().Log(4, "Enter ZarnScannerBase::SetScannerType(%d)", type);
    int result = 0;
    if (type == -1)
        result = ZARN_ERR_UNKNOWN_SCANNER_TYPE;
    else
        m_nScannerType = type;
    ZarnTrace().Log(4, "Exit  ZarnScannerBase::SetScannerType()=%d", result);
    return result;
}

void ZarnScannerBase::SetScannerName(const char* text) {
    std::memset(m_szScannerName, 0, sizeof m_szScannerName);
    if (text) std::strncpy(m_szScannerName, text, sizeof m_szScannerName - 1);
}

void ZarnScannerBase::GetScannerName(char* out, size_t size) const {
    if (out == nullptr || size == 0) return;
    std::strncpy(out, m_szScannerName, size - 1);
    out[size - 1] = 0;
}

void ZarnScannerBase::SetUsbPidText(const char* text) {
    std::memset(m_szUsbPid, 0, sizeof m_szUsbPid);
    if (text) std::strncpy(m_szUsbPid, text, sizeof m_szUsbPid - 1);
}

ZarnRunningInfo ZarnScannerBase::RunningInfo() const {
    ZarnRunningInfo r{};
    auto& f = r.fingerprint;
    f.initialised = m_Running.initialised, f.captureStarted = m_Running.captureStarted, f.finished = m_Running.finished;
    f.liveDetection = m_Running.liveDetection, f.modeArgument = m_Running.modeArgument, f.modeSet = m_Running.modeSet;
    f.resultTaken = m_Running.resultTaken, f.rollingStarted = m_Running.rollingStarted;
    f.captureStatus = m_Running.captureStatus;
    return r;
}
