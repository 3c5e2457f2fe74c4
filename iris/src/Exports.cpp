// The exported interface of the iris capture library: thin shells over the two camera objects
// (left and right), each tracing its entry with its arguments and its exit with its result.
#include "iris/ZarnIrisApi.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "IrisAlgorithm.h"
#include "ZarnIrisBase.h"
#include "platform/DeviceRegistry.h"
#include "platform/DriverDevices.h"
#include "zarn/ZarnTraceLogger.h"
#include "zarn/ZarnVersionText.h"

#ifndef TESSIK_IRIS_BUILD_DATE
#define TESSIK_IRIS_BUILD_DATE __DATE__
#endif

namespace iriscap {

std::atomic<ZarnIrisBase*> g_pIrisL{nullptr};
std::atomic<ZarnIrisBase*> g_pIrisR{nullptr};
std::atomic<int> g_nEyeMode{0};
void* g_DetectorContext[2] = {nullptr, nullptr};

ZarnIrisBase* SideObject(int side) { return side == 1 ? g_pIrisL.load() : side == 2 ? g_pIrisR.load() : nullptr; }
ZarnIrisBase* OtherSide(const ZarnIrisBase& s) { return SideObject(s.side == 1 ? 2 : 1); }

namespace {

const IrisAlgorithm* g_installed = nullptr;

unsigned Low(const void* p) { return unsigned(reinterpret_cast<uintptr_t>(p)); }

int Exit(const char* name, int result) {
    ZarnTrace().Log(2, "Exit  %s() = %d", name, result);
    return result;
}

bool Initialised() {
    ZarnIrisBase* l = g_pIrisL.load();
    ZarnIrisBase* r = g_pIrisR.load();
    return l && r && l->running.initialised.load() == 1 && r->running.initialised.load() == 1;
}

bool IncludesLeft(int eyeMode) { return eyeMode == 0 || eyeMode == 1 || eyeMode == 3; }
bool IncludesRight(int eyeMode) { return eyeMode == 2 || eyeMode == 3; }

// Releases a camera object and clears its pointer.
void DropCamera(std::atomic<ZarnIrisBase*>& pointer) {
    ZarnIrisBase* s = pointer.load();
    if (s == nullptr) return;
    s->ReleaseRes();
    s->running.initialised = 0;
    pointer = nullptr;
    delete s;
}

int CreateCamera(std::atomic<ZarnIrisBase*>& pointer, int side, int index) {
    ZarnIrisBase* s = new (std::nothrow) ZarnIrisBase(side, index);
    if (s == nullptr) return ZARN_ERR_MEM_ALLOC;
    pointer = s;
    int result = s->StartAutoCaptureThread();
    if (result == 0) result = s->InitStillGraph();
    if (result == 0) result = s->SetupSensor();
    if (result == 0) {
        s->SetControl(kControlExposure, s->exposure);
        s->SetControl(int(kPropModeValue), s->modeValue);
    }
    return result;
}

void DestroyContexts() {
    for (void*& context : g_DetectorContext) {
        if (context) Algorithm().detectionDestroy(context);
        context = nullptr;
    }
}

int InitializeSequence() {
    ZarnTrace().LogText(2, "Enter Zarn_IRIS_Main_Initialize()");
    if (Initialised()) return Exit("Zarn_IRIS_Main_Initialize", ZARN_ERR_ALREADY_INITIALIZED);
    char message[kAlgMessageSize] = {};
    int a = Algorithm().init(message);
    // A failed earlier initialisation may have left its contexts: they are made once.
    for (int i = 0; i < 2 && a == 0; ++i)
        if (g_DetectorContext[i] == nullptr) a = Algorithm().detectionCreate(&g_DetectorContext[i], message);
    if (a != 0) return Exit("Zarn_IRIS_Main_Initialize", ZarnAlgorithmError(a));

    int result = CreateCamera(g_pIrisL, 1, 0);
    if (result == 0) result = CreateCamera(g_pIrisR, 2, 1);
    ZarnIrisBase* l = g_pIrisL.load();
    ZarnIrisBase* r = g_pIrisR.load();
    if (result == 0) {
        l->RunGraph();
        r->RunGraph();
        IrisSleep(100);
        l->ReadLedStatus();
        r->ReadLedStatus();
        // The cameras are given 50 polls of 100 ms for their first valid frames. A wait scale
        // below 1 makes the polls shorter, not the time given: a loaded machine may need it all.
        const int maxPolls = 50 * 100 / ScaledMs(100);
        int polls = 0;
        while (!(l->firstValidFrame.load() == 1 && r->firstValidFrame.load() == 1)) {
            if (++polls > maxPolls) {
                result = ZARN_ERR_NO_FIRST_FRAME;
                break;
            }
            IrisSleep(100);
        }
    }
    if (result == 0) {
        l->OpenRedLed();
        r->OpenRedLed();
        l->running.initialised = 1;
        r->running.initialised = 1;
        l->StopGraph();
        r->StopGraph();
        ZarnTrace().Log(2, "Exit  Zarn_IRIS_Main_Initialize()=%d", 0);
        return 0;
    }
    if (g_pIrisL.load()) {
        DropCamera(g_pIrisL);
        ZarnTrace().LogText(2, "Exit  Zarn_IRIS_Main_Initialize - g_pIrisL->ReleaseRes()");
    }
    if (g_pIrisR.load()) {
        DropCamera(g_pIrisR);
        ZarnTrace().LogText(2, "Exit  Zarn_IRIS_Main_Initialize - g_pIrisR->ReleaseRes()");
    }
    return Exit("Zarn_IRIS_Main_Initialize", result);
}

int AbortSequence() {
    ZarnTrace().LogText(2, "Enter Zarn_IRIS_Capture_Abort()");
    if (!Initialised()) return Exit("Zarn_IRIS_Capture_Abort", ZARN_ERR_NOT_INITIALIZED);
    int result = 0;
    for (ZarnIrisBase* s : {g_pIrisL.load(), g_pIrisR.load()}) {
        if (s->running.armed.load() != 1) continue;
        s->ClearFrameStore();
        s->running.armed = 0;
        s->running.autoCapture = 0;
        s->running.aborted = 1;
        s->running.done = 1;
        s->running.captureRunning = 0;
        result = s->StopGraph();
        if (result != 0) break;
    }
    // The white LEDs go off even when a graph could not be stopped.
    g_pIrisL.load()->CloseWhiteLed();
    g_pIrisR.load()->CloseWhiteLed();
    return Exit("Zarn_IRIS_Capture_Abort", result);
}

template <class Fn>
int RegisterSide(const char* name, int side, Fn callback, void* context, std::atomic<Fn> ZarnIrisBase::*slot) {
    ZarnTrace().Log(2, "Enter %s(%d, 0x%x, 0x%x)", name, side, Low(reinterpret_cast<const void*>(callback)),
                    Low(context));
    if (!Initialised()) return Exit(name, ZARN_ERR_NOT_INITIALIZED);
    ZarnIrisBase* s = side == 0 || side == 1 ? g_pIrisL.load() : side == 2 ? g_pIrisR.load() : nullptr;
    if (callback == nullptr || s == nullptr) return Exit(name, ZARN_ERR_BAD_ARGUMENT);
    (s->*slot) = callback;
    s->context = context;
    return Exit(name, 0);
}

}  // namespace

const IrisAlgorithm& Algorithm() { return g_installed ? *g_installed : BuiltInAlgorithm(); }
void InstallAlgorithm(const IrisAlgorithm* table) {
    // Detection contexts belong to the table that made them.
    DestroyContexts();
    g_installed = table;
}

}  // namespace iriscap

using namespace iriscap;

extern "C" {

int Zarn_IRIS_Main_GetAPIVersion(ZarnApiVersion* version) {
    ZarnTrace().Log(2, "Enter Zarn_IRIS_Main_GetAPIVersion(0x%x)", Low(version));
    int result = ZARN_ERR_BAD_ARGUMENT;
    if (version != nullptr) {
        std::memset(version, 0, sizeof *version);
        std::snprintf(version->productName, sizeof version->productName, "%s", "Tessik Iris");
        ZarnVersionText(TESSIK_IRIS_BUILD_DATE, 2010, version->libraryVersion, sizeof version->libraryVersion);
        std::snprintf(version->algorithmVersion, sizeof version->algorithmVersion, "%s", "2.4.0.3");
        result = 0;
    }
    ZarnTrace().Log(2, "Exit  Zarn_IRIS_Main_GetAPIVersion()=%d", result);
    return result;
}

int Zarn_IRIS_Main_Initialize(void) { return InitializeSequence(); }

int Zarn_IRIS_Main_DeInitialize(void) {
    ZarnTrace().LogText(2, "Enter Zarn_Main_DeInitialize()");
    if (!Initialised()) return Exit("Zarn_Main_DeInitialize", ZARN_ERR_NOT_INITIALIZED);
    AbortSequence();
    DropCamera(g_pIrisL);
    DropCamera(g_pIrisR);
    DestroyContexts();
    return Exit("Zarn_Main_DeInitialize", Algorithm().destroy());
}

int Zarn_IRIS_Main_GetDeviceInfo(ZarnDeviceInfo* info) {
    ZarnTrace().Log(2, "Enter Zarn_IRIS_Main_GetDeviceInfo(0x%x), info", Low(info));
    if (!Initialised()) return Exit("Zarn_IRIS_Main_GetDeviceInfo", ZARN_ERR_NOT_INITIALIZED);
    if (info == nullptr) return Exit("Zarn_IRIS_Main_GetDeviceInfo", ZARN_ERR_BAD_ARGUMENT);
    std::memset(info, 0, sizeof *info);
    return Exit("Zarn_IRIS_Main_GetDeviceInfo", g_pIrisL.load()->FillDeviceInfo(info));
}

int Zarn_IRIS_Capture_SetMode(int eyeMode, int quality, int autoCapture, int extra) {
    ZarnTrace().Log(2, "Enter Zarn_IRIS_Capture_SetMode(%d, %d, %d, %d)", eyeMode, quality, autoCapture, extra);
    if (!Initialised()) return Exit("Zarn_IRIS_Capture_SetMode", ZARN_ERR_NOT_INITIALIZED);
    // The eye mode is in place before a graph runs, so the first frames see the mode they run in.
    g_nEyeMode = eyeMode;
    for (ZarnIrisBase* s : {IncludesLeft(eyeMode) ? g_pIrisL.load() : nullptr,
                            IncludesRight(eyeMode) ? g_pIrisR.load() : nullptr}) {
        if (s == nullptr) continue;
        s->ClearFrameStore();
        s->running.armed = 1;
        s->running.modeSet = 1;
        s->running.aborted = 0;
        s->running.done = 0;
        s->running.autoCapture = autoCapture;
        s->running.modeArgument = extra;
        s->running.captureRunning = 1;
        s->quality = quality;
        s->ResetCollection(quality);
        const int result = s->RunGraph();
        if (result != 0) return Exit("Zarn_IRIS_Capture_SetMode", result);
    }
    if (autoCapture == 0) {
        g_pIrisL.load()->OpenWhiteLed();
        g_pIrisR.load()->OpenWhiteLed();
    }
    return Exit("Zarn_IRIS_Capture_SetMode", 0);
}

int Zarn_IRIS_Capture_Start(void) {
    ZarnTrace().LogText(2, "Enter Zarn_IRIS_Capture_Start()");
    return Exit("Zarn_IRIS_Capture_Start", Initialised() ? 0 : ZARN_ERR_NOT_INITIALIZED);
}

int Zarn_IRIS_Capture_Abort(void) { return AbortSequence(); }

int Zarn_IRIS_Capture_Calibration(int eyeMode) {
    ZarnTrace().Log(2, "Enter Zarn_IRIS_Capture_Calibration(%d)", eyeMode);
    // Without the cameras there is nothing to calibrate.
    if (!Initialised()) return Exit("Zarn_IRIS_Capture_Calibration", ZARN_ERR_NOT_INITIALIZED);
    int result = 0;
    bool leftFailed = false;
    if (IncludesLeft(eyeMode)) {
        ZarnIrisBase* l = g_pIrisL.load();
        result = l->RunGraph();
        if (result == 0) {
            result = l->SetCalibration();
            l->StopGraph();
        }
        leftFailed = result != 0;
    }
    if (IncludesRight(eyeMode) && !leftFailed) {
        ZarnIrisBase* r = g_pIrisR.load();
        result = r->RunGraph();
        if (result == 0) {
            result = r->SetCalibration();
            r->StopGraph();
        }
    }
    return Exit("Zarn_IRIS_Capture_Calibration", result);
}

int Zarn_IRIS_Controls_Beeper(int pattern) {
    ZarnTrace().Log(2, "Enter Zarn_IRIS_Controls_Beeper(%d)", pattern);
    return Exit("Zarn_IRIS_Controls_Beeper", Initialised() ? ZARN_ERR_NOT_SUPPORTED : ZARN_ERR_NOT_INITIALIZED);
}

int Zarn_IRIS_Capture_TakeResultImage(int eyeMode) {
    ZarnTrace().Log(2, "Enter Zarn_IRIS_Capture_TakeResultImage(%d)", eyeMode);
    if (!Initialised()) return Exit("Zarn_IRIS_Capture_TakeResultImage", ZARN_ERR_NOT_INITIALIZED);
    return Exit("Zarn_IRIS_Capture_TakeResultImage", I_TakeResultImage(eyeMode, 0));
}

int Zarn_IRIS_Capture_AcquireResultImage(void) {
    ZarnTrace().LogText(2, "Enter Zarn_IRIS_Capture_AcquireResultImage()");
    return Exit("Zarn_IRIS_Capture_AcquireResultImage", Initialised() ? 0 : ZARN_ERR_NOT_INITIALIZED);
}

int Zarn_IRIS_Main_GetConnectedDevice(int* count) {
    ZarnTrace().Log(2, "Enter Zarn_IRIS_Main_GetConnectedDevice(0x%x)", Low(count));
    int result = ZARN_ERR_BAD_ARGUMENT;
    if (count != nullptr) {
        using namespace platform::setup;
        DWORD error = ERROR_SUCCESS;
        HDEVINFO set = SetupDiGetClassDevs(nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, &error);
        int found = 0;
        if (set) {
            for (DWORD i = 0;; ++i) {
                SP_DEVINFO_DATA data;
                error = set->EnumDeviceInfo(i, &data);
                if (error != ERROR_SUCCESS) break;
#ifdef TESSIK_IRIS_IMAGING_CLASS_ONLY
                if (!(data.ClassGuid == GUID_DEVCLASS_IMAGE)) continue;
#endif
                std::vector<uint8_t> text(64);
                DWORD type = 0, required = 0, status;
                while ((status = set->GetDeviceRegistryProperty(data, SPDRP_DEVICEDESC, &type, text.data(),
                                                                DWORD(text.size()), &required)) ==
                       ERROR_INSUFFICIENT_BUFFER)
                    text.resize(std::max<size_t>(required, text.size() * 2));
                if (status != ERROR_SUCCESS) continue;
                const std::string description(reinterpret_cast<const char*>(text.data()),
                                              strnlen(reinterpret_cast<const char*>(text.data()), text.size()));
                if (platform::ContainsNoCase(description, "Tessik Iris") ||
                    platform::ContainsNoCase(description, "Tessik Egret"))
                    ++found;
            }
        }
        if (!set || error != ERROR_NO_MORE_ITEMS || found == 0) {
            result = ZARN_ERR_NO_CAMERA;
        } else {
            *count = found;
            result = 0;
        }
    }
    ZarnTrace().Log(2, "Exit  Zarn_IRIS_Main_GetConnectedDevice()=%d", result);
    return result;
}

int Zarn_IRIS_Main_GetRunningInfo(int side, ZarnRunningInfo* info) {
    ZarnTrace().Log(2, "Enter Zarn_IRIS_Main_GetRunningInfo(%d, 0x%x)", side, Low(info));
    if (!Initialised()) return Exit("Zarn_IRIS_Main_GetRunningInfo", ZARN_ERR_NOT_INITIALIZED);
    if (info == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    ZarnIrisBase* s = side == 1 || side == 2 ? SideObject(side) : nullptr;
    if (s == nullptr) return Exit("Zarn_IRIS_Main_GetRunningInfo", ZARN_ERR_BAD_ARGUMENT);
    s->running.CopyTo(info);
    return Exit("Zarn_IRIS_Main_GetRunningInfo", 0);
}

int Zarn_IRIS_Capture_RegisterCallbackPreviewImage(int side, ZarnCallbackPreviewImage callback, void* context) {
    return RegisterSide("Zarn_IRIS_Capture_RegisterCallbackPreviewImage", side, callback, context,
                        &ZarnIrisBase::previewCallback);
}

int Zarn_IRIS_Capture_RegisterCallbackResultImage(int side, ZarnIrisCallbackResultImage callback, void* context) {
    return RegisterSide("Zarn_IRIS_Capture_RegisterCallbackResultImage", side, callback, context,
                        &ZarnIrisBase::resultCallback);
}

int Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected(ZarnCallbackDeviceIsConnected callback, void* context) {
    ZarnTrace().Log(2, "Enter Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected(0x%x, 0x%x)",
                    Low(reinterpret_cast<const void*>(callback)), Low(context));
    const char* name = "Zarn_IRIS_Capture_RegisterCallbackDeviceIsConnected";
    if (!Initialised()) return Exit(name, ZARN_ERR_NOT_INITIALIZED);
    if (callback == nullptr) return Exit(name, ZARN_ERR_BAD_ARGUMENT);
    for (ZarnIrisBase* s : {g_pIrisL.load(), g_pIrisR.load()}) {
        s->connectedCallback = callback;
        s->context = context;
    }
    return Exit(name, 0);
}

int Zarn_IRIS_Capture_SetAutoCapParams(int a, int b, int c, int d, int e, int f, int g) {
    ZarnTrace().Log(2, "Enter Zarn_Capture_SetAutoCapInfo(%d, %d, %d, %d, %d, %d, %d)", a, b, c, d, e, f, g);
    if (!Initialised()) return Exit("Zarn_IRIS_Capture_SetAutoCapParams", ZARN_ERR_NOT_INITIALIZED);
    const int values[7] = {a, b, c, d, e, f, g};
    for (ZarnIrisBase* s : {g_pIrisL.load(), g_pIrisR.load()})
        for (int i = 0; i < 7; ++i) s->params[i] = values[i];
    return Exit("Zarn_IRIS_Capture_SetAutoCapParams", 0);
}

int Zarn_IRIS_GetImageAddr(int side, uint8_t* frames, uint8_t* quality, uint16_t* geometry) {
    ZarnTrace().Log(2, "Enter Zarn_IRIS_GetImageAddr(%d, 0x%x, 0x%x, 0x%x)", side, Low(frames), Low(quality),
                    Low(geometry));
    // Without the cameras or the caller's buffers there is nothing to copy.
    if (!Initialised()) return Exit("Zarn_IRIS_GetImageAddr", ZARN_ERR_NOT_INITIALIZED);
    if (frames == nullptr || quality == nullptr || geometry == nullptr)
        return Exit("Zarn_IRIS_GetImageAddr", ZARN_ERR_BAD_ARGUMENT);
    ZarnIrisBase* s = side == 1 ? g_pIrisL.load() : g_pIrisR.load();
    static const int kOrder[8] = {1, 2, 3, 4, 5, 8, 7, 6};
    std::lock_guard lock(s->frameMutex);
    for (int i = 0; i < kRankedForAnalysis; ++i) {
        const RankedRecord& rec = s->ranked[i];
        std::memcpy(frames + size_t(i) * s->frameSize, s->slots[rec.slot], size_t(s->frameSize));
        for (int k = 0; k < 8; ++k) quality[i * 8 + k] = rec.quality.bytes[kOrder[k]];
        geometry[i * 4 + 0] = uint16_t(rec.location.pupilX);
        geometry[i * 4 + 1] = uint16_t(rec.location.pupilY);
        geometry[i * 4 + 2] = uint16_t(rec.location.pupilRadius);
        geometry[i * 4 + 3] = uint16_t(rec.location.irisRadius);
    }
    return Exit("Zarn_IRIS_GetImageAddr", 0);
}

}  // extern "C"
