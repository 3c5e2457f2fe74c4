// The iris camera object: unit discovery, capture graph, sensor set-up, the frame callback, the
// frame header and device information, LEDs, camera properties and teardown.
#include "ZarnIrisBase.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/DriverDevices.h"
#include "platform/ThreadName.h"
#include "zarn/ZarnTraceLogger.h"

namespace iriscap {

using namespace platform::video;

namespace {

unsigned Low(const void* p) { return unsigned(reinterpret_cast<uintptr_t>(p)); }

// Factor on every pause of the library: TESSIK_IRIS_WAIT_SCALE (0 < scale <= 1), else 1. The wait
// for the cameras' first frames keeps its full length in time (shorter polls, more of them).
std::atomic<double> g_waitScale{[] {
    const char* text = std::getenv("TESSIK_IRIS_WAIT_SCALE");
    const double v = text ? std::atof(text) : 1.0;
    return v > 0 && v <= 1 ? v : 1.0;
}()};

double WaitScale() { return g_waitScale.load(); }

// The library-wide connected flag of IsDeviceConnected (one for both sides).
std::atomic<int> g_connected{0};

// Plausible packed date: year field at most 100, month 1..12, day not 0.
bool PlausibleDate(uint16_t v) {
    const int year = v & 0x7F, day = (v >> 7) & 0x1F, month = (v >> 12) & 0xF;
    return year <= 100 && month >= 1 && month <= 12 && day != 0;
}

void DateText(uint16_t v, char* out, size_t size) {
    std::snprintf(out, size, "%04d%02d%02d", 2000 + (v & 0x7F), (v >> 12) & 0xF, (v >> 7) & 0x1F);
}

HRESULT BufferL(double t, uint8_t* b, long n) {
    ZarnTrace().Log(4, "Enter ZarnIrisBase::MakeBufferCB_Iris_L(%lf, 0x%x, %ld)", t, Low(b), n);
    ZarnIrisBase* s = g_pIrisL.load();
    return s ? s->OnBuffer(t, b, n) : E_FAIL;
}

HRESULT BufferR(double t, uint8_t* b, long n) {
    ZarnTrace().Log(4, "Enter ZarnIrisBase::MakeBufferCB_Iris_R(%lf, 0x%x, %ld)", t, Low(b), n);
    ZarnIrisBase* s = g_pIrisR.load();
    return s ? s->OnBuffer(t, b, n) : E_FAIL;
}

}  // namespace

void SetIrisWaitScale(double scale) {
    if (scale > 0 && scale <= 1) g_waitScale = scale;
}

int ScaledMs(int ms) { return std::max(ms > 0 ? 1 : 0, int(ms * WaitScale())); }

void IrisSleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ScaledMs(ms))); }

void RunningWords::CopyTo(ZarnRunningInfo* out) const {
    ZarnIrisRunningInfo& r = out->iris;
    r.initialised = initialised;
    r.armed = armed;
    r.captureRunning = captureRunning;
    r.aborted = aborted;
    r.autoCapture = autoCapture;
    r.modeArgument = modeArgument;
    r.modeSet = modeSet;
    r.done = done;
    r.reserved = reserved;
}

void RunningWords::Clear() {
    for (auto* w : {&initialised, &armed, &captureRunning, &aborted, &autoCapture, &modeArgument, &modeSet, &done,
                    &reserved})
        w->store(0);
}

ZarnIrisBase::ZarnIrisBase(int side, int deviceIndex) : side(side), deviceIndex(deviceIndex) {}

ZarnIrisBase::~ZarnIrisBase() {
    CloseThread();
    grabber.reset();
    graph.reset();
}

int ZarnIrisBase::StartAutoCaptureThread() {
    ZarnTrace().LogText(3, "Enter ZarnIrisBase::StartAutoCaptureThread()");
    framesSinceStart = 0;
    context = nullptr;
    previewCallback = nullptr;
    resultCallback = nullptr;
    connectedCallback = nullptr;
    running.Clear();
    std::fill(std::begin(deviceData), std::end(deviceData), 0u);
    firstValidFrame = 0;
    ClearGraphs();
    ResetCollection(0);
    const int defaults[7] = {34, 60, 70, 10, 0, 0, 90};
    for (int i = 0; i < 7; ++i) params[i] = defaults[i];
    red1 = 81, red2 = 81, white = 6;
    resultEvent = std::make_unique<platform::Event>(false, true);
    stopWord = 0;
    int result = 0;
    if (!thread.joinable()) {
        try {
            thread = platform::StartNamedThread(side == 1 ? "iris-autocap-L" : "iris-autocap-R",
                                                [this] { AutoCaptureThread(); });
        } catch (const std::system_error&) {
            result = ZARN_ERR_THREAD_CREATE;
        }
    }
    ZarnTrace().Log(3, "Exit  ZarnIrisBase::StartAutoCaptureThread()=%d", result);
    return result;
}

int ZarnIrisBase::FindCaptureDevice(std::shared_ptr<CaptureFilter>* out) {
    out->reset();
    std::unique_ptr<EnumMoniker> devices;
    if (SystemDeviceEnum::CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &devices) != S_OK || !devices)
        return 0;
    devices->Reset();
    int untaggedSkipped = 0;
    std::shared_ptr<DeviceMoniker> moniker;
    while (devices->Next(&moniker) == S_OK) {
        std::string path;
        if (moniker->Read("DevicePath", &path) != S_OK) continue;
        if (path.size() > 1023) path.resize(1023);
        using platform::ContainsNoCase;
        if (!(ContainsNoCase(path, "vid_0547") || ContainsNoCase(path, "vid_6d3b")) || !ContainsNoCase(path, "pid_2113"))
            continue;
        const bool left = ContainsNoCase(path, "irisl"), right = ContainsNoCase(path, "irisr");
        if (!left && !right) {
            if (deviceIndex != untaggedSkipped) {
                ++untaggedSkipped;
                continue;
            }
        } else if (!((side == 1 && left) || (side == 2 && right))) {
            continue;
        }
        std::shared_ptr<CaptureFilter> filter;
        if (moniker->BindToObject(&filter) == S_OK && filter) {
            *out = std::move(filter);
            return 0;
        }
    }
    return 0;
}

int ZarnIrisBase::InitStillGraph() {
    ZarnTrace().LogText(4, "Enter InitStillGraph()");
    auto fail = [&](HRESULT hr, const char* text) {
        ZarnTrace().Log(4, text, unsigned(hr));
        ClearGraphs();
        return int(hr);
    };
    graph = std::make_shared<FilterGraph>();
    std::shared_ptr<CaptureFilter> unit;
    FindCaptureDevice(&unit);
    if (!unit) return fail(E_FAIL, "No video capture device was detected.");
    camera = unit;
    CaptureGraphBuilder finder;
    std::shared_ptr<StreamConfig> config;
    HRESULT hr = finder.FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.get(), &config);
    if (FAILED(hr) || !config) return fail(FAILED(hr) ? hr : E_FAIL, "FindInterface RetCode = %x");
    int count = 0, size = 0;
    hr = config->GetNumberOfCapabilities(&count, &size);
    if (FAILED(hr)) return fail(hr, "GetNumberOfCapabilities RetCode = %x");
    if (count < 1) {
        ZarnTrace().Log(4, "k(%d) >= CapCount(%d)", 0, count);
        ClearGraphs();
        return -1;
    }
    MediaType type;
    VideoStreamConfigCaps caps;
    hr = config->GetStreamCaps(0, &type, &caps);
    if (FAILED(hr)) return fail(hr, "GetStreamCaps RetCode = %x");
    if (!type.format) {
        ClearGraphs();
        return -1;
    }
    config->SetFormat(type);
    if (FAILED(hr = graph->AddFilter(camera, "Cap"))) return fail(E_FAIL, "AddFilter RetCode = %x");
    grabber = std::make_shared<SampleGrabber>();
    MediaType wanted;
    wanted.majortype = MEDIATYPE_Video;
    if (FAILED(hr = grabber->SetMediaType(wanted))) return fail(hr, "Could not set media type (%x)");
    if (FAILED(hr = graph->AddFilter(grabber, "Grabber"))) return fail(hr, "Could not put sample grabber in graph (%x)");
    CaptureGraphBuilder builder;
    if (FAILED(hr = builder.SetFiltergraph(graph))) return fail(hr, "SetFiltergraph (%x)");
    renderer = std::make_shared<NullRenderer>();
    if (FAILED(hr = graph->AddFilter(renderer, "NULL renderer"))) return fail(hr, "Can't add the filter to graph (%x)");
    hr = builder.RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.get(), grabber.get(), renderer.get());
    ZarnTrace().Log(4, "RenderStream (%x, %x, %x)", Low(camera.get()), Low(grabber.get()), Low(renderer.get()));
    if (FAILED(hr)) return fail(E_NOINTERFACE, "RenderStream (Capture!!!)");
    grabber->SetBufferSamples(true);
    grabber->SetOneShot(false);
    if (side == 1) {
        grabberCallback.SetBufferFunction(&BufferL);
    } else if (side == 2) {
        grabberCallback.SetBufferFunction(&BufferR);
    } else {
        ZarnTrace().LogText(4, "Iris type error");
        ClearGraphs();
        return -1;
    }
    grabber->SetCallback(&grabberCallback, 1);
    if (FAILED(hr = camera->QueryInterface(&cameraControl))) return fail(hr, "QueryInterface IID_IAMCameraControl(%x)");
    if (FAILED(hr = camera->QueryInterface(&procAmp))) return fail(hr, "QueryInterface IID_IAMVideoProcAmp(%x)");
    procAmp->Set(kPropFrameSizeMode, 0, VideoProcAmp_Flags_Manual);
    ZarnTrace().LogText(4, "Exit  InitStillGraph()");
    return 0;
}

int ZarnIrisBase::SetupSensor() {
    ZarnTrace().LogText(3, "Enter ZarnIrisBase::GetCmosType()");
    if (!procAmp) return ZARN_ERR_CONTROL_INTERFACE;
    long value = 0, flags = 0;
    const HRESULT hr = procAmp->Get(kPropSensorType, &value, &flags);
    ZarnTrace().Log(3, "Exit  ZarnIrisBase::GetCmosType()=%d, Cmos Type = %d, Error Code = 0x%x", FAILED(hr) ? -610 : 0,
                    int(value), unsigned(hr));
    if (FAILED(hr)) return ZARN_ERR_SENSOR_TYPE;
    sensor640 = value == kSensor640 ? 1 : 0;
    height = 480;
    if (sensor640) {
        width = 640, exposure = 220, modeValue = 23;
    } else {
        width = 752, exposure = 20, modeValue = 0;
    }
    frameSize = width * height;
    try {
        frame.assign(size_t(frameSize), 0);
        quality = 0;
        store.assign(size_t(frameSize) * kStoreSlots, 0);
        resultFrame.assign(size_t(frameSize), 0);
    } catch (const std::bad_alloc&) {
        return ZARN_ERR_MEM_ALLOC;
    }
    for (int i = 0; i < kStoreSlots; ++i) slots[i] = store.data() + size_t(i) * frameSize;
    return 0;
}

int ZarnIrisBase::SetControl(int code, long value) {
    if (!procAmp || !cameraControl) return ZARN_ERR_CONTROL_INTERFACE;
    const HRESULT hr = code == kControlExposure
                           ? cameraControl->Set(CameraControl_Exposure, value, CameraControl_Flags_Manual)
                           : procAmp->Set(code, value, VideoProcAmp_Flags_Manual);
    return FAILED(hr) ? ZARN_ERR_SET_PROPERTY : 0;
}

int ZarnIrisBase::RunGraph() {
    if (!graph) return ZARN_ERR_GRAPH_STATE;
    FilterState state;
    if (FAILED(graph->GetState(10, &state))) return ZARN_ERR_GRAPH_STATE;
    if (state != FilterState::Running) {
        framesSinceStart = 0;
        graph->Run();
    }
    return 0;
}

int ZarnIrisBase::StopGraph() {
    if (!graph) return ZARN_ERR_GRAPH_STATE;
    FilterState state;
    if (FAILED(graph->GetState(10, &state))) return ZARN_ERR_GRAPH_STATE;
    if (state != FilterState::Stopped) graph->Stop();
    return 0;
}

int ZarnIrisBase::SetLed(long value) {
    if (!procAmp) return ZARN_ERR_CONTROL_INTERFACE;
    return FAILED(procAmp->Set(kPropLed, value, VideoProcAmp_Flags_Manual)) ? ZARN_ERR_SET_PROPERTY : 0;
}

int ZarnIrisBase::OpenRedLed() {
    ZarnTrace().Log(4, "Enter OpenRedLed(%d, %d)", red1.load(), red2.load());
    IrisSleep(500);
    SetLed(red1 | 0x100);
    IrisSleep(500);
    const int result = SetLed(red2 | 0x200);
    ZarnTrace().Log(4, "Exit  ZarnIrisBase::OpenRedLed()=%d", result);
    return result;
}

int ZarnIrisBase::CloseRedLed() {
    ZarnTrace().LogText(4, "Enter CloseRedLed()");
    IrisSleep(500);
    SetLed(0x100);
    IrisSleep(500);
    const int result = SetLed(0x200);
    ZarnTrace().Log(4, "Exit  ZarnIrisBase::CloseRedLed()=%d", result);
    return result;
}

int ZarnIrisBase::OpenWhiteLed() {
    ZarnTrace().LogText(4, "Enter ZarnIrisBase::OpenWhiteLed()");
    IrisSleep(30);
    const int result = SetLed(white | 0x300);
    ZarnTrace().LogText(4, "Exit  ZarnIrisBase::OpenWhiteLed()");
    return result;
}

int ZarnIrisBase::CloseWhiteLed() {
    ZarnTrace().LogText(4, "Enter ZarnIrisBase::CloseWhiteLed()");
    IrisSleep(30);
    const int result = SetLed(0x300);
    ZarnTrace().LogText(4, "Exit  ZarnIrisBase::CloseWhiteLed()");
    return result;
}

int ZarnIrisBase::ReadLedStatus() {
    if (!procAmp) return ZARN_ERR_CONTROL_INTERFACE;
    long value = 0, flags = 0;
    procAmp->Get(kPropLed, &value, &flags);
    return 0;
}

int ZarnIrisBase::IsDeviceConnected() {
    long value = 0, flags = 0;
    const bool ok = procAmp && SUCCEEDED(procAmp->Get(kPropModeValue, &value, &flags));
    if (ok) {
        g_connected = 1;
        return 1;
    }
    if (g_connected.exchange(0) == 1) ZarnTrace().LogText(2, "Iris has been disconnected.");
    return 0;
}

int ZarnIrisBase::ParseFrameHeader(const uint8_t* raw, long length) {
    // A sample too short to hold the header counts as one without a valid header.
    if (length < kHeaderBytes) {
        firstValidFrame = 0;
        return 0;
    }
    if (raw[60] == 7 && raw[61] == 1) {
        if (raw[63] != 0) red1 = raw[63];
        if (raw[62] != 0) red2 = raw[62];
    } else {
        firstValidFrame = 0;
    }
    for (int i = 0; i < 6; ++i) {
        const uint8_t* p = raw + 12 + 4 * i;
        deviceData[i] = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    return 0;
}

int ZarnIrisBase::FillDeviceInfo(ZarnDeviceInfo* info) {
    info->resolution = 500;
    std::snprintf(info->vendor, sizeof info->vendor, "%s", "Tessik Systems");
    std::snprintf(info->model, sizeof info->model, "%s", "Egret");
    std::snprintf(info->interfaceType, sizeof info->interfaceType, "%s", "USB2.0");
    const uint16_t first = uint16_t(deviceData[5] & 0xFFFF), second = uint16_t(deviceData[5] >> 16);
    if (PlausibleDate(first) && PlausibleDate(second)) {
        std::snprintf(info->serialNumber, sizeof info->serialNumber, "%d", int32_t(deviceData[4]));
        DateText(first, info->firstDate, sizeof info->firstDate);
        DateText(second, info->secondDate, sizeof info->secondDate);
    } else {
        std::snprintf(info->serialNumber, sizeof info->serialNumber, "%s", "0000");
        std::snprintf(info->firstDate, sizeof info->firstDate, "%s", "20100830");
        std::snprintf(info->secondDate, sizeof info->secondDate, "%s", "20100830");
    }
    info->hardwareWord = deviceData[3];
    return 0;
}

void ZarnIrisBase::FillImageInfo(int result) {
    imageInfo.image = frame.data();
    imageInfo.width = width;
    imageInfo.height = height;
    imageInfo.xResolution = 500.0;
    imageInfo.yResolution = 500.0;
    imageInfo.typeValue = 30.0;
    imageInfo.rowOrder = 1;
    imageInfo.bitsPerPixel = 8;
    imageInfo.reserved = 0;
    imageInfo.isResult = result;
}

HRESULT ZarnIrisBase::OnBuffer(double, uint8_t* buffer, long length) {
    if (buffer == nullptr || length < 1) return E_POINTER;
    if (firstValidFrame.load() == 0) {
        firstValidFrame = 1;
        ParseFrameHeader(buffer, length);
    }
    if (framesSinceStart.load() < 1) {
        ++framesSinceStart;
        return 0;
    }
    // The frame size comes from the sensor type; a sample shorter than a frame is not used, and
    // only one frame's bytes of a longer one are.
    if (frameSize <= 0 || length < frameSize) {
        ++shortSamples;
        ZarnTrace().Log(4, "Sample of %ld bytes is shorter than a frame (%d)", length, frameSize);
        return 0;
    }
    // Turn the frame upright: swap rows i and height-1-i, then reverse every row.
    for (int i = 0; i < height / 2; ++i)
        std::swap_ranges(buffer + size_t(i) * width, buffer + size_t(i + 1) * width,
                         buffer + size_t(height - 1 - i) * width);
    for (int i = 0; i < height; ++i) std::reverse(buffer + size_t(i) * width, buffer + size_t(i + 1) * width);
    {
        std::lock_guard lock(frameMutex);
        std::memcpy(frame.data(), buffer, size_t(frameSize));
    }
    FillImageInfo(0);
    if (running.autoCapture.load() != 0 && !analysed.load()) I_AnalyzeFrame(*this, g_DetectorContext[side == 1 ? 0 : 1]);
    if (auto cb = previewCallback.load()) cb(context.load(), imageInfo);
    return 0;
}

void ZarnIrisBase::ClearGraphs() {
    if (!graph && !grabber && !camera) return;
    ZarnTrace().LogText(4, "Enter ZarnIrisBase::ClearGraphs()");
    if (graph) graph->Stop();
    if (grabber) grabber->SetCallback(nullptr, 1);
    graph.reset();
    grabber.reset();
    renderer.reset();
    procAmp.reset();
    cameraControl.reset();
    camera.reset();
    ZarnTrace().LogText(4, "Exit  ZarnIrisBase::ClearGraphs()");
}

void ZarnIrisBase::CloseThread() {
    if (!thread.joinable()) return;
    ZarnTrace().Log(4, "Enter ZarnIrisBase::CloseThread(0x%x, %d)", Low(this), stopWord.load());
    if (thread.get_id() == std::this_thread::get_id()) {
        // Asked from the side's own thread (a result callback): it ends when the callback returns.
        stopWord = 1;
        thread.detach();
        return;
    }
    stopWord = 1;
    int steps = 0;
    while (stopWord.load() != 2 && steps < 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ++steps;
    }
    // A thread that is still busy (in a result callback) is waited for, never cut off.
    if (stopWord.load() != 2) ZarnTrace().LogText(2, "Auto-capture thread busy, waiting for it to end");
    thread.join();
    ZarnTrace().LogText(4, "Exit  ZarnIrisBase::CloseThread()=0");
}

void ZarnIrisBase::ReleaseRes() {
    ZarnTrace().LogText(4, "Enter ReleaseRes()");
    CloseRedLed();
    CloseWhiteLed();
    CloseThread();
    ZarnTrace().LogText(4, side == 1 ? "Close m_hAutoCaptureThread_L thread successfully"
                                     : "Close m_hAutoCaptureThread_R thread successfully");
    resultEvent.reset();
    ClearGraphs();
    std::vector<uint8_t>().swap(frame);
    std::vector<uint8_t>().swap(store);
    std::vector<uint8_t>().swap(resultFrame);
    std::fill(std::begin(slots), std::end(slots), nullptr);
    ZarnTrace().LogText(4, "Exit  ReleaseRes()");
}

}  // namespace iriscap
