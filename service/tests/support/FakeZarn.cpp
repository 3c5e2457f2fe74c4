#include "FakeZarn.h"

#include <chrono>
#include <cstring>
#include <sstream>

namespace fakezarn {

namespace {

void CopyText(char* field, size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

template <typename... A>
std::string Format(const char* name, A... args) {
    std::ostringstream text;
    text << name << "(";
    const char* separator = "";
    ((text << separator << args, separator = ","), ...);
    text << ")";
    return text.str();
}

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

void ScriptedLibrary::EndThreads() {
    generation_.fetch_add(1);
    initialised_.store(false);
    std::vector<std::thread> threads;
    {
        std::lock_guard guard(mutex_);
        threads = threads_.TakeAll();
    }
    for (auto& thread : threads) thread.join();
}

void ScriptedLibrary::PollConnection(int generation, const std::function<void()>& report) {
    while (initialised_.load() && generation_.load() == generation) {
        Sleep(100);
        if (!initialised_.load() || generation_.load() != generation) break;
        report();
        polls_.fetch_add(1);
    }
}

// --- fingerprint ---------------------------------------------------------------------------------

FakeFpLibrary& FakeFpLibrary::Instance() {
    static FakeFpLibrary library;
    return library;
}

void FakeFpLibrary::Install() {
    static const ZarnFpApi table = {
        [](ZarnApiVersion* o) { return Instance().GetAPIVersion(o); },
        [](int m) { return Instance().Initialize(m); },
        []() { return Instance().DeInitialize(); },
        [](ZarnDeviceInfo* o) { return Instance().GetDeviceInfo(o); },
        [](ZarnRunningInfo* o) { return Instance().GetRunningInfo(o); },
        [](ZarnConnectedScanners* o) { return Instance().GetConnectedScanner(o); },
        [](int a, int b, int c, int d, int* w, int* h, int* x, int* y) {
            return Instance().SetMode(a, b, c, d, w, h, x, y);
        },
        [](int a, int b) { return Instance().Start(a, b); },
        []() { return Instance().Abort(); },
        []() { return Instance().TakeResultImage(); },
        []() { return Instance().SetCaptureOK(); },
        []() { return Instance().Calibration(); },
        [](int p) { return Instance().Beeper(p); },
        [](int a, int b, int c, float d, int e, int f, int g) {
            return Instance().SetRollParameters(a, b, c, d, e, f, g);
        },
        []() { return Instance().AcquireResultImage(); },
        [](int a, int b, double c, int d, int e, int f, int g, int h, int i) {
            return Instance().SetAutoCapInfo(a, b, c, d, e, f, g, h, i);
        },
        [](ZarnCallbackPreviewImage f, void* c) { return Instance().RegisterPreview(f, c); },
        [](ZarnCallbackTakingResultImage f, void* c) { return Instance().RegisterTaking(f, c); },
        [](ZarnCallbackResultImage f, void* c) { return Instance().RegisterResult(f, c); },
        [](ZarnCallbackFootSwitch f, void* c) { return Instance().RegisterFootSwitch(f, c); },
        [](ZarnCallbackObjectQuality f, void* c) { return Instance().RegisterQuality(f, c); },
        [](ZarnCallbackDeviceIsConnected f, void* c) { return Instance().RegisterConnected(f, c); },
    };
    InstallZarnFpApi(&table);
}

std::thread::id FakeFpLibrary::LastResultThread() {
    std::lock_guard guard(mutex_);
    return lastResultThread_;
}

void FakeFpLibrary::JoinThreads() {
    capturing_.store(false);
    EndThreads();
}

void FakeFpLibrary::DropRegistrations() {
    preview_ = nullptr;
    taking_ = nullptr;
    result_ = nullptr;
    footSwitch_ = nullptr;
    quality_ = nullptr;
    connectedCallback_ = nullptr;
    context_ = nullptr;
}

void FakeFpLibrary::Reset(const FpScript& script) {
    JoinThreads();
    std::lock_guard guard(mutex_);
    script_ = script;
    handOnPlaten_.store(script.handOnPlaten);
    calls_.Clear();
    DropRegistrations();
    connected_.store(true);
    previews_.store(0);
    polls_.store(0);
    running_ = ZarnFingerprintRunningInfo{};
    resultPixels_.clear();
    lastResultThread_ = std::thread::id();
}

int FakeFpLibrary::GetAPIVersion(ZarnApiVersion* out) {
    calls_.Record("Zarn_Main_GetAPIVersion()");
    if (out == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    std::lock_guard guard(mutex_);
    std::memset(out, 0, sizeof *out);
    CopyText(out->productName, sizeof out->productName, script_.productName);
    CopyText(out->libraryVersion, sizeof out->libraryVersion, script_.libraryVersion);
    return ZARN_OK;
}

int FakeFpLibrary::Initialize(int modelCode) {
    calls_.Record(Format("Zarn_Main_Initialize", modelCode));
    calibrationCancelled_.store(false);
    std::lock_guard guard(mutex_);
    if (script_.initializeResult != 0) return script_.initializeResult;
    if (initialised_.exchange(true)) return ZARN_ERR_ALREADY_INITIALIZED;
    running_ = ZarnFingerprintRunningInfo{};
    running_.initialised = 1;
    const int generation = generation_.load();
    threads_.Spawn([this, generation] { ConnectionLoop(generation); });
    return ZARN_OK;
}

int FakeFpLibrary::DeInitialize() {
    calls_.Record("Zarn_Main_DeInitialize()");
    // Like the real library this does not wait for a capture callback in progress; the connection
    // report in progress ends first, as the real library's release ends that thread (the device
    // may go right after the release).
    generation_.fetch_add(1);
    while (reporting_.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    capturing_.store(false);
    initialised_.store(false);
    std::lock_guard guard(mutex_);
    running_.initialised = 0;
    // The registrations go with the scanner, as in the real library.
    DropRegistrations();
    return ZARN_OK;
}

int FakeFpLibrary::GetDeviceInfo(ZarnDeviceInfo* out) {
    calls_.Record("Zarn_Main_GetDeviceInfo()");
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    std::lock_guard guard(mutex_);
    std::memset(out, 0, sizeof *out);
    CopyText(out->model, sizeof out->model, script_.model);
    CopyText(out->serialNumber, sizeof out->serialNumber, script_.serial);
    out->hardwareWord = script_.hardwareWord;
    return ZARN_OK;
}

int FakeFpLibrary::GetRunningInfo(ZarnRunningInfo* out) {
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    std::lock_guard guard(mutex_);
    out->fingerprint = running_;
    return ZARN_OK;
}

int FakeFpLibrary::GetConnectedScanner(ZarnConnectedScanners* out) {
    calls_.Record("Zarn_Main_GetConnectedScanner()");
    if (out == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    std::lock_guard guard(mutex_);
    std::memset(out, 0, sizeof *out);
    if (script_.connectedFamily <= 0 || script_.connectedFamily > 12 || !connected_.load()) return ZARN_ERR_NO_SCANNER;
    out->entries[0] = 1;
    out->entries[script_.connectedFamily] = 1;
    return ZARN_OK;
}

int FakeFpLibrary::SetMode(int imageType, int ppi, int liveDetect, int modeArg, int* width, int* height, int* xres,
                           int* yres) {
    calls_.Record(Format("Zarn_Capture_SetMode", imageType, ppi, liveDetect, modeArg));
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    if (width == nullptr || height == nullptr || xres == nullptr || yres == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    if (imageType >= ZARN_IMAGE_TYPE_COUNT) return ZARN_ERR_NOT_SUPPORTED;
    std::lock_guard guard(mutex_);
    if (script_.setModeResult != 0) return script_.setModeResult;
    imageType_ = imageType;
    *width = script_.resultWidth;
    *height = script_.resultHeight;
    *xres = *yres = ppi;
    running_.modeSet = 1;
    running_.finished = 0;
    running_.resultTaken = 0;
    return ZARN_OK;
}

int FakeFpLibrary::Start(int fingerCount, int autoCapture) {
    calls_.Record(Format("Zarn_Capture_Start", fingerCount, autoCapture));
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    std::lock_guard guard(mutex_);
    if (script_.startResult != 0) return script_.startResult;
    if (capturing_.exchange(true)) return ZARN_ERR_CAPTURE_STATE;
    running_.captureStarted = 1;
    resultPixels_.assign(static_cast<size_t>(script_.resultWidth) * script_.resultHeight, 0x80);
    const int generation = generation_.load();
    threads_.Spawn([this, generation] { CaptureLoop(generation); });
    return ZARN_OK;
}

int FakeFpLibrary::Abort() {
    calls_.Record("Zarn_Capture_Abort()");
    // Also before the scanner counts as initialised, as the library's abort does.
    calibrationCancelled_.store(true);
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    capturing_.store(false);  // the capture thread ends by itself; nobody waits for it here
    std::lock_guard guard(mutex_);
    running_.captureStarted = 0;
    running_.finished = 1;
    running_.resultTaken = 1;
    return ZARN_OK;
}

int FakeFpLibrary::TakeResultImage() {
    calls_.Record("Zarn_Capture_TakeResultImage()");
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    std::lock_guard guard(mutex_);
    if (running_.finished != 0 || running_.captureStarted == 0) return ZARN_ERR_CAPTURE_FINISHED;
    running_.resultTaken = 1;
    return ZARN_OK;
}

int FakeFpLibrary::SetCaptureOK() {
    calls_.Record("Zarn_Capture_SetCaptureOK()");
    return ZARN_OK;
}

int FakeFpLibrary::Calibration() {
    calls_.Record("Zarn_Capture_Calibration()");
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    while (handOnPlaten_.load()) {
        if (calibrationCancelled_.load()) return ZARN_ERR_CALIBRATION;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard guard(mutex_);
    return script_.calibrationResult;
}

int FakeFpLibrary::Beeper(int pattern) {
    calls_.Record(Format("Zarn_Controls_Beeper", pattern));
    return pattern >= 0 && pattern <= 7 ? ZARN_OK : ZARN_ERR_NOT_SUPPORTED;
}

int FakeFpLibrary::SetRollParameters(int a, int b, int c, float d, int e, int f, int g) {
    calls_.Record(Format("Zarn_Capture_SetRollParameters", a, b, c, d, e, f, g));
    return initialised_.load() ? ZARN_OK : ZARN_ERR_NOT_INITIALIZED;
}

int FakeFpLibrary::SetAutoCapInfo(int a, int b, double c, int d, int e, int f, int g, int h, int i) {
    calls_.Record(Format("Zarn_Capture_SetAutoCapInfo", a, b, c, d, e, f, g, h, i));
    return initialised_.load() ? ZARN_OK : ZARN_ERR_NOT_INITIALIZED;
}

int FakeFpLibrary::AcquireResultImage() {
    calls_.Record("Zarn_Capture_AcquireResultImage()");
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    {
        std::lock_guard guard(mutex_);
        if (running_.resultTaken == 0 || running_.finished != 0) return ZARN_ERR_CAPTURE_STATE;
    }
    capturing_.store(false);
    DeliverResult();  // on the caller's thread, before returning
    return ZARN_OK;
}

#define FAKE_REGISTER(member, name)                            \
    calls_.Record(Format(name, callback != nullptr ? "fn" : "null")); \
    if (callback == nullptr) return ZARN_ERR_BAD_ARGUMENT;     \
    std::lock_guard guard(mutex_);                             \
    member = callback;                                         \
    context_ = context;                                        \
    return ZARN_OK;

int FakeFpLibrary::RegisterPreview(ZarnCallbackPreviewImage callback, void* context) {
    FAKE_REGISTER(preview_, "Zarn_Capture_RegisterCallbackPreviewImage")
}
int FakeFpLibrary::RegisterTaking(ZarnCallbackTakingResultImage callback, void* context) {
    FAKE_REGISTER(taking_, "Zarn_Capture_RegisterCallbackTakingResultImage")
}
int FakeFpLibrary::RegisterResult(ZarnCallbackResultImage callback, void* context) {
    FAKE_REGISTER(result_, "Zarn_Capture_RegisterCallbackResultImage")
}
int FakeFpLibrary::RegisterFootSwitch(ZarnCallbackFootSwitch callback, void* context) {
    FAKE_REGISTER(footSwitch_, "Zarn_Capture_RegisterCallbackFootSwitch")
}
int FakeFpLibrary::RegisterQuality(ZarnCallbackObjectQuality callback, void* context) {
    FAKE_REGISTER(quality_, "Zarn_Capture_RegisterCallbackObjectQuality")
}
int FakeFpLibrary::RegisterConnected(ZarnCallbackDeviceIsConnected callback, void* context) {
    FAKE_REGISTER(connectedCallback_, "Zarn_Capture_RegisterCallbackDeviceIsConnected")
}

ZarnImageInfo FakeFpLibrary::ResultImage() {
    ZarnImageInfo image{};
    image.image = resultPixels_.data();
    image.width = script_.resultWidth;
    image.height = script_.resultHeight;
    image.xResolution = image.yResolution = 500.0;
    image.typeValue = 3.0;
    image.rowOrder = -1;
    image.bitsPerPixel = 8;
    image.isResult = 1;
    return image;
}

void FakeFpLibrary::DeliverResult() {
    ZarnCallbackResultImage callback;
    void* context;
    ZarnImageInfo image;
    int status, type;
    {
        std::lock_guard guard(mutex_);
        callback = result_;
        context = context_;
        image = ResultImage();
        status = script_.resultStatus;
        type = imageType_;
        running_.finished = 1;
        running_.captureStarted = 0;
        lastResultThread_ = std::this_thread::get_id();
    }
    if (callback != nullptr) callback(context, status, image, type, 0);
}

void FakeFpLibrary::CaptureLoop(int generation) {
    int frames = 0;
    std::vector<uint8_t> pixels;
    while (capturing_.load() && generation_.load() == generation) {
        ZarnCallbackPreviewImage preview;
        ZarnCallbackObjectQuality quality;
        void* context;
        FpScript script;
        {
            std::lock_guard guard(mutex_);
            preview = preview_;
            quality = quality_;
            context = context_;
            script = script_;
        }
        Sleep(script.previewIntervalMs);
        if (!capturing_.load() || generation_.load() != generation) break;
        pixels.assign(static_cast<size_t>(script.previewWidth) * script.previewHeight,
                      static_cast<uint8_t>(frames & 0xFF));
        ZarnImageInfo image{};
        image.image = pixels.data();
        image.width = script.previewWidth;
        image.height = script.previewHeight;
        image.xResolution = image.yResolution = 500.0;
        image.typeValue = 3.0;
        image.rowOrder = script.previewRowOrder;
        image.bitsPerPixel = 8;
        if (preview != nullptr) preview(context, image);
        previews_.fetch_add(1);
        if (quality != nullptr && !script.quality.empty()) {
            std::vector<int> values = script.quality;
            values.resize(4, 0);
            quality(context, script.qualityState, values.data(), static_cast<int>(script.quality.size()));
        }
        ++frames;
        if (script.autoResultAfterFrames >= 0 && frames >= script.autoResultAfterFrames) {
            {
                std::lock_guard guard(mutex_);
                running_.resultTaken = 1;
            }
            capturing_.store(false);
            DeliverResult();
            break;
        }
    }
}

void FakeFpLibrary::ConnectionLoop(int generation) {
    PollConnection(generation, [this, generation] {
        reporting_.fetch_add(1);
        if (generation_.load() != generation) {
            reporting_.fetch_sub(1);
            return;
        }
        ZarnCallbackDeviceIsConnected callback;
        void* context;
        {
            std::lock_guard guard(mutex_);
            callback = connectedCallback_;
            context = context_;
        }
        if (callback != nullptr) callback(context, connected_.load() ? 1 : 0);
        reporting_.fetch_sub(1);
    });
}

// --- iris ----------------------------------------------------------------------------------------

FakeIrisLibrary& FakeIrisLibrary::Instance() {
    static FakeIrisLibrary library;
    return library;
}

void FakeIrisLibrary::Install() {
    static const ZarnIrisApi table = {
        [](ZarnApiVersion* o) { return Instance().GetAPIVersion(o); },
        []() { return Instance().Initialize(); },
        []() { return Instance().DeInitialize(); },
        [](ZarnDeviceInfo* o) { return Instance().GetDeviceInfo(o); },
        [](int* c) { return Instance().GetConnectedDevice(c); },
        [](int s, ZarnRunningInfo* o) { return Instance().GetRunningInfo(s, o); },
        [](int e, int q, int a, int x) { return Instance().SetMode(e, q, a, x); },
        []() { return Instance().Start(); },
        []() { return Instance().Abort(); },
        [](int e) { return Instance().Calibration(e); },
        [](int p) { return Instance().Beeper(p); },
        [](int e) { return Instance().TakeResultImage(e); },
        []() { return Instance().AcquireResultImage(); },
        [](int s, ZarnCallbackPreviewImage f, void* c) { return Instance().RegisterPreview(s, f, c); },
        [](int s, ZarnIrisCallbackResultImage f, void* c) { return Instance().RegisterResult(s, f, c); },
        [](ZarnCallbackDeviceIsConnected f, void* c) { return Instance().RegisterConnected(f, c); },
    };
    InstallZarnIrisApi(&table);
}

void FakeIrisLibrary::JoinThreads() {
    armed_[0].store(false);
    armed_[1].store(false);
    EndThreads();
}

void FakeIrisLibrary::Reset(const IrisScript& script) {
    JoinThreads();
    std::lock_guard guard(mutex_);
    script_ = script;
    calls_.Clear();
    cameras_[0] = Camera();
    cameras_[1] = Camera();
    connected_.store(true);
    delivering_.store(false);
    previews_[0].store(0);
    previews_[1].store(0);
    polls_.store(0);
}

void FakeIrisLibrary::SetCalibrationResult(int result) {
    std::lock_guard guard(mutex_);
    script_.calibrationResult = result;
}

int FakeIrisLibrary::GetAPIVersion(ZarnApiVersion* out) {
    calls_.Record("Zarn_IRIS_Main_GetAPIVersion()");
    if (out == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    std::memset(out, 0, sizeof *out);
    CopyText(out->productName, sizeof out->productName, "Tessik Iris");
    CopyText(out->libraryVersion, sizeof out->libraryVersion, "1.16.120.1");
    CopyText(out->algorithmVersion, sizeof out->algorithmVersion, "2.4.0.3");
    return ZARN_OK;
}

int FakeIrisLibrary::Initialize() {
    calls_.Record("Zarn_IRIS_Main_Initialize()");
    std::lock_guard guard(mutex_);
    if (script_.initializeResult != 0) return script_.initializeResult;
    if (initialised_.exchange(true)) return ZARN_ERR_ALREADY_INITIALIZED;
    for (Camera& camera : cameras_) camera.running = ZarnIrisRunningInfo{1, 0, 0, 0, 0, 0, 0, 0, 0};
    const int generation = generation_.load();
    threads_.Spawn([this, generation] { ConnectionLoop(generation); });
    return ZARN_OK;
}

int FakeIrisLibrary::DeInitialize() {
    calls_.Record("Zarn_IRIS_Main_DeInitialize()");
    generation_.fetch_add(1);
    initialised_.store(false);
    armed_[0].store(false);
    armed_[1].store(false);
    return ZARN_OK;
}

int FakeIrisLibrary::GetDeviceInfo(ZarnDeviceInfo* out) {
    calls_.Record("Zarn_IRIS_Main_GetDeviceInfo()");
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    if (out == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    std::lock_guard guard(mutex_);
    std::memset(out, 0, sizeof *out);
    CopyText(out->model, sizeof out->model, script_.model);
    CopyText(out->serialNumber, sizeof out->serialNumber, script_.serial);
    CopyText(out->firmware, sizeof out->firmware, "E1");
    return ZARN_OK;
}

int FakeIrisLibrary::GetConnectedDevice(int* count) {
    calls_.Record("Zarn_IRIS_Main_GetConnectedDevice()");
    if (count == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    std::lock_guard guard(mutex_);
    *count = connected_.load() ? script_.connectedCount : 0;
    return *count > 0 ? ZARN_OK : ZARN_ERR_NO_CAMERA;
}

int FakeIrisLibrary::GetRunningInfo(int side, ZarnRunningInfo* out) {
    if (out == nullptr || (side != 1 && side != 2)) return ZARN_ERR_BAD_ARGUMENT;
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    std::lock_guard guard(mutex_);
    out->iris = cameras_[side - 1].running;
    return ZARN_OK;
}

int FakeIrisLibrary::SetMode(int eyeMode, int quality, int autoCapture, int extra) {
    calls_.Record(Format("Zarn_IRIS_Capture_SetMode", eyeMode, quality, autoCapture, extra));
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    std::lock_guard guard(mutex_);
    if (script_.setModeResult != 0) return script_.setModeResult;
    const bool select[2] = {eyeMode == 0 || eyeMode == 1 || eyeMode == 3, eyeMode == 2 || eyeMode == 3};
    const int generation = generation_.load();
    for (int i = 0; i < 2; ++i) {
        if (!select[i]) continue;
        ZarnIrisRunningInfo& running = cameras_[i].running;
        running.armed = running.captureRunning = 1;
        running.aborted = running.done = 0;
        running.autoCapture = autoCapture;
        running.modeArgument = extra;
        running.modeSet = 1;
        cameras_[i].pixels.assign(static_cast<size_t>(script_.width) * script_.height, static_cast<uint8_t>(0x40 + i));
        if (!armed_[i].exchange(true)) threads_.Spawn([this, i, generation] { CameraLoop(i, generation); });
    }
    return ZARN_OK;
}

int FakeIrisLibrary::Start() {
    calls_.Record("Zarn_IRIS_Capture_Start()");
    return initialised_.load() ? ZARN_OK : ZARN_ERR_NOT_INITIALIZED;
}

int FakeIrisLibrary::AcquireResultImage() {
    calls_.Record("Zarn_IRIS_Capture_AcquireResultImage()");
    return initialised_.load() ? ZARN_OK : ZARN_ERR_NOT_INITIALIZED;
}

int FakeIrisLibrary::Abort() {
    calls_.Record("Zarn_IRIS_Capture_Abort()");
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    std::lock_guard guard(mutex_);
    for (int i = 0; i < 2; ++i) {
        armed_[i].store(false);
        ZarnIrisRunningInfo& running = cameras_[i].running;
        running.armed = running.captureRunning = running.autoCapture = 0;
        running.aborted = running.done = 1;
    }
    return ZARN_OK;
}

int FakeIrisLibrary::Calibration(int eyeMode) {
    calls_.Record(Format("Zarn_IRIS_Capture_Calibration", eyeMode));
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    std::lock_guard guard(mutex_);
    return script_.calibrationResult;
}

int FakeIrisLibrary::Beeper(int pattern) {
    calls_.Record(Format("Zarn_IRIS_Controls_Beeper", pattern));
    return initialised_.load() ? ZARN_ERR_NOT_SUPPORTED : ZARN_ERR_NOT_INITIALIZED;
}

int FakeIrisLibrary::TakeResultImage(int eyeMode) {
    calls_.Record(Format("Zarn_IRIS_Capture_TakeResultImage", eyeMode));
    if (!initialised_.load()) return ZARN_ERR_NOT_INITIALIZED;
    if (delivering_.exchange(true)) return ZARN_ERR_CAPTURE_STATE;
    if (eyeMode == 0 || eyeMode == 1 || eyeMode == 3) DeliverResult(0);
    if (eyeMode == 2 || eyeMode == 3) DeliverResult(1);
    delivering_.store(false);
    return ZARN_OK;
}

template <typename Callback>
int FakeIrisLibrary::RegisterCamera(const char* function, int side, Callback Camera::*slot, Callback callback,
                                    void* context) {
    calls_.Record(Format(function, side));
    if (callback == nullptr || side < 0 || side > 2) return ZARN_ERR_BAD_ARGUMENT;
    std::lock_guard guard(mutex_);
    Camera& camera = cameras_[side == 2 ? 1 : 0];
    camera.*slot = callback;
    camera.context = context;
    return ZARN_OK;
}

int FakeIrisLibrary::RegisterPreview(int side, ZarnCallbackPreviewImage callback, void* context) {
    return RegisterCamera("Zarn_IRIS_Capture_RegisterCallbackPreviewImage", side, &Camera::preview, callback, context);
}

int FakeIrisLibrary::RegisterResult(int side, ZarnIrisCallbackResultImage callback, void* context) {
    return RegisterCamera("Zarn_IRIS_Capture_RegisterCallbackResultImage", side, &Camera::result, callback, context);
}

int FakeIrisLibrary::RegisterConnected(ZarnCallbackDeviceIsConnected callback, void* context) {
    calls_.Record("Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected()");
    if (callback == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    std::lock_guard guard(mutex_);
    for (Camera& camera : cameras_) {
        camera.connected = callback;
        camera.context = context;
    }
    return ZARN_OK;
}

void FakeIrisLibrary::DeliverResult(int index) {
    ZarnIrisCallbackResultImage callback;
    void* context;
    ZarnImageInfo image{};
    {
        std::lock_guard guard(mutex_);
        Camera& camera = cameras_[index];
        callback = camera.result;
        context = camera.context;
        image.image = camera.pixels.empty() ? nullptr : camera.pixels.data();
        image.width = script_.width;
        image.height = script_.height;
        image.typeValue = 30.0;
        image.rowOrder = 1;
        image.bitsPerPixel = 8;
        image.isResult = 1;
        camera.running.armed = camera.running.captureRunning = 0;
        camera.running.done = 1;
        armed_[index].store(false);
    }
    if (callback != nullptr) callback(context, 0, image);
}

void FakeIrisLibrary::CameraLoop(int index, int generation) {
    int frames = 0;
    std::vector<uint8_t> pixels;
    while (armed_[index].load() && generation_.load() == generation) {
        ZarnCallbackPreviewImage preview;
        void* context;
        IrisScript script;
        int autoCapture;
        {
            std::lock_guard guard(mutex_);
            preview = cameras_[index].preview;
            context = cameras_[index].context;
            script = script_;
            autoCapture = cameras_[index].running.autoCapture;
        }
        Sleep(script.previewIntervalMs);
        if (!armed_[index].load() || generation_.load() != generation) break;
        ++frames;
        if (frames == 1) continue;  // the first frame of a camera is never shown
        pixels.assign(static_cast<size_t>(script.width) * script.height, static_cast<uint8_t>(frames & 0xFF));
        ZarnImageInfo image{};
        image.image = pixels.data();
        image.width = script.width;
        image.height = script.height;
        image.typeValue = 30.0;
        image.rowOrder = 1;
        image.bitsPerPixel = 8;
        if (preview != nullptr) preview(context, image);
        previews_[index].fetch_add(1);
        if (autoCapture != 0 && script.autoResultAfterFrames >= 0 && frames > script.autoResultAfterFrames) {
            DeliverResult(index);
            break;
        }
    }
}

void FakeIrisLibrary::ConnectionLoop(int generation) {
    PollConnection(generation, [this] {
        for (int i = 0; i < 2; ++i) {
            ZarnCallbackDeviceIsConnected callback;
            void* context;
            {
                std::lock_guard guard(mutex_);
                callback = cameras_[i].connected;
                context = cameras_[i].context;
            }
            if (callback != nullptr) callback(context, connected_.load() ? 1 : 0);
        }
    });
}

}  // namespace fakezarn
