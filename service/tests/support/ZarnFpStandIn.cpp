// The scripted fingerprint library as a shared library exporting the capture library's Zarn_*
// functions, so that a program that loads its capture library by name can run against it. Every
// function goes to the scripted library, installed when the library is loaded. The environment
// variable TESSIK_ZARN_STANDIN_SCRIPT sets script fields as "name=value" pairs separated by ';'
// (autoResultAfterFrames, previewIntervalMs, previewWidth, previewHeight, resultWidth, resultHeight,
// connectedFamily: 2 PloverA, 3 VireoA). With unplugFile=<path> the scanner reads as unplugged
// while that file exists (looked at every 20 ms), so that a test or the soak program can unplug
// and replug it from outside the service.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "FakeZarn.h"

namespace {

std::string unplugFile;

fakezarn::FpScript ScriptFromEnvironment() {
    fakezarn::FpScript script;
    const char* text = std::getenv("TESSIK_ZARN_STANDIN_SCRIPT");
    const std::string pairs = text != nullptr ? text : "";
    for (size_t at = 0; at < pairs.size();) {
        size_t end = pairs.find(';', at);
        if (end == std::string::npos) end = pairs.size();
        const std::string pair = pairs.substr(at, end - at);
        at = end + 1;
        const size_t equals = pair.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = pair.substr(0, equals);
        const int value = std::atoi(pair.c_str() + equals + 1);
        if (name == "autoResultAfterFrames") script.autoResultAfterFrames = value;
        else if (name == "previewIntervalMs") script.previewIntervalMs = value;
        else if (name == "previewWidth") script.previewWidth = value;
        else if (name == "previewHeight") script.previewHeight = value;
        else if (name == "resultWidth") script.resultWidth = value;
        else if (name == "resultHeight") script.resultHeight = value;
        else if (name == "connectedFamily") script.connectedFamily = value;
        else if (name == "unplugFile") unplugFile = pair.substr(equals + 1);
    }
    if (script.connectedFamily == ZARN_FAMILY_VIREO_A) {
        script.model = "VireoA";
        script.serial = "VA-000456";
    }
    return script;
}

struct Installer {
    Installer() {
        fakezarn::FakeFpLibrary::Instance().Reset(ScriptFromEnvironment());
        fakezarn::FakeFpLibrary::Install();
        if (!unplugFile.empty()) watcher = platform::StartNamedThread("standin-unplug", [this] { Watch(); });
    }
    ~Installer() {
        stop.store(true);
        if (watcher.joinable()) watcher.join();
        fakezarn::FakeFpLibrary::Instance().Reset();
    }
    void Watch() {
        while (!stop.load()) {
            fakezarn::FakeFpLibrary::Instance().SetConnected(::access(unplugFile.c_str(), F_OK) != 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    std::atomic<bool> stop{false};
    std::thread watcher;
} installer;

}  // namespace

#define TESSIK_STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#define FORWARD(name, params, args) \
    TESSIK_STANDIN_EXPORT int name params { return FpApi().name args; }

FORWARD(Zarn_Main_GetAPIVersion, (ZarnApiVersion * o), (o))
FORWARD(Zarn_Main_Initialize, (int m), (m))
FORWARD(Zarn_Main_DeInitialize, (), ())
FORWARD(Zarn_Main_GetDeviceInfo, (ZarnDeviceInfo * o), (o))
FORWARD(Zarn_Main_GetRunningInfo, (ZarnRunningInfo * o), (o))
FORWARD(Zarn_Main_GetConnectedScanner, (ZarnConnectedScanners * o), (o))
FORWARD(Zarn_Capture_SetMode, (int a, int b, int c, int d, int* w, int* h, int* x, int* y), (a, b, c, d, w, h, x, y))
FORWARD(Zarn_Capture_Start, (int a, int b), (a, b))
FORWARD(Zarn_Capture_Abort, (), ())
FORWARD(Zarn_Capture_TakeResultImage, (), ())
FORWARD(Zarn_Capture_SetCaptureOK, (), ())
FORWARD(Zarn_Capture_Calibration, (), ())
FORWARD(Zarn_Controls_Beeper, (int p), (p))
FORWARD(Zarn_Capture_SetRollParameters, (int a, int b, int c, float d, int e, int f, int g), (a, b, c, d, e, f, g))
FORWARD(Zarn_Capture_AcquireResultImage, (), ())
FORWARD(Zarn_Capture_SetAutoCapInfo, (int a, int b, double c, int d, int e, int f, int g, int h, int i),
        (a, b, c, d, e, f, g, h, i))
FORWARD(Zarn_Capture_RegisterCallbackPreviewImage, (ZarnCallbackPreviewImage f, void* c), (f, c))
FORWARD(Zarn_Capture_RegisterCallbackTakingResultImage, (ZarnCallbackTakingResultImage f, void* c), (f, c))
FORWARD(Zarn_Capture_RegisterCallbackResultImage, (ZarnCallbackResultImage f, void* c), (f, c))
FORWARD(Zarn_Capture_RegisterCallbackFootSwitch, (ZarnCallbackFootSwitch f, void* c), (f, c))
FORWARD(Zarn_Capture_RegisterCallbackObjectQuality, (ZarnCallbackObjectQuality f, void* c), (f, c))
FORWARD(Zarn_Capture_RegisterCallbackDeviceIsConnected, (ZarnCallbackDeviceIsConnected f, void* c), (f, c))
