#pragma once
// A simulated bus under the driver, installed as the process's devices, and a capture graph built
// the way the capture libraries build theirs.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/TessikDriver.h"
#include "platform/DriverDevices.h"
#include "platform/VideoCapture.h"
#include "sim/SimBus.h"

namespace capturetest {

using namespace platform::video;

// Opens the scenario's devices with short driver time-outs and makes them the process's devices.
// A slow build (a sanitizer's) stretches the time-outs by `slowdown`.
struct Bus {
    std::shared_ptr<sim::SimBus> sim;
    std::shared_ptr<tessik::driver::DeviceManager> manager;

    explicit Bus(const std::string& scenarioText, double slowdown = 1.0) {
        std::string error;
        auto sc = sim::ParseScenario(scenarioText, &error);
        EXPECT_TRUE(sc) << error;
        if (!sc) return;
        sim = sim::CreateBus(*sc);
        tessik::driver::Device::Timing t;
        t.controlTimeoutMs = uint32_t(200 * slowdown);
        t.removalWaitMs = uint32_t(1000 * slowdown);
        t.defaultFrameTimeoutMs = uint32_t(2000 * slowdown);
        manager = std::make_shared<tessik::driver::DeviceManager>(sim, t);
        platform::DriverDevices::Use(manager);
    }
    ~Bus() {
        platform::DriverDevices::Use(nullptr);
        manager.reset();
        sim.reset();
    }
    std::shared_ptr<sim::SimDevice> Device(const std::string& name) { return sim->Find(name); }
};

// A grabber callback that records what arrives; it can hold a frame in the callback until released.
class FrameSink : public SampleGrabberCB {
public:
    HRESULT QueryInterface(const platform::Guid&, void**) override { return E_NOINTERFACE; }
    unsigned long AddRef() override { return ++refs; }
    unsigned long Release() override { return --refs; }
    HRESULT SampleCB(double, MediaSample*) override { return S_OK; }
    HRESULT BufferCB(double time, uint8_t* buffer, long length) override {
        std::function<void()> then;
        {
            std::unique_lock lock(mutex);
            then = onFrame;
            inCallback = true;
            if (lengths.size() < 64) lengths.push_back(length);
            times.push_back(time);
            if (first.empty()) first.assign(buffer, buffer + length);
            // The buffer is the callee's: writing to it must be safe.
            buffer[0] ^= 0xFF;
            buffer[length - 1] ^= 0xFF;
            ++count;
            cv.notify_all();
            if (hold) cv.wait_for(lock, std::chrono::milliseconds(holdMs), [&] { return !hold; });
            inCallback = false;
            ++returned;
        }
        cv.notify_all();
        if (then) then();
        return S_OK;
    }

    bool WaitFor(size_t n, int ms = 8000) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return count >= n; });
    }
    bool WaitInCallback(int ms = 8000) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return inCallback; });
    }
    size_t Count() {
        std::lock_guard lock(mutex);
        return count;
    }

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<long> lengths;
    std::vector<double> times;
    std::vector<uint8_t> first;
    size_t count = 0, returned = 0;
    bool inCallback = false;
    bool hold = false;
    int holdMs = 3000;
    std::function<void()> onFrame;  // run after each frame, outside the lock; set it with OnFrame
    int refs = 0;

    void OnFrame(std::function<void()> f) {
        std::lock_guard lock(mutex);
        onFrame = std::move(f);
    }
};

// The first camera whose device path holds every one of `parts` (case-insensitive).
inline std::shared_ptr<CaptureFilter> BindCamera(const std::vector<std::string>& parts, std::string* pathOut = nullptr) {
    std::unique_ptr<EnumMoniker> devices;
    if (SystemDeviceEnum::CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &devices) != S_OK) return nullptr;
    devices->Reset();
    std::shared_ptr<DeviceMoniker> moniker;
    while (devices->Next(&moniker) == S_OK) {
        std::string path;
        if (moniker->Read("DevicePath", &path) != S_OK) continue;
        bool all = true;
        for (const auto& p : parts) all = all && platform::ContainsNoCase(path, p);
        if (!all) continue;
        std::shared_ptr<CaptureFilter> camera;
        if (moniker->BindToObject(&camera) == S_OK && camera) {
            if (pathOut) *pathOut = path;
            return camera;
        }
    }
    return nullptr;
}

// A graph as the capture libraries build it: camera "Cap" with the chosen capability as its
// format, grabber "Grabber" for 8-bit video, "NULL renderer", and the buffer callback.
struct Graph {
    std::shared_ptr<FilterGraph> graph = std::make_shared<FilterGraph>();
    std::shared_ptr<CaptureFilter> camera;
    std::shared_ptr<SampleGrabber> grabber = std::make_shared<SampleGrabber>();
    std::shared_ptr<NullRenderer> renderer = std::make_shared<NullRenderer>();
    std::shared_ptr<VideoProcAmp> procAmp;
    std::shared_ptr<CameraControl> cameraControl;
    std::shared_ptr<StreamConfig> config;

    // Returns the first failure.
    HRESULT Build(std::shared_ptr<CaptureFilter> cam, int capability, SampleGrabberCB* sink) {
        camera = std::move(cam);
        if (!camera) return E_FAIL;
        CaptureGraphBuilder finder;
        HRESULT hr = finder.FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.get(), &config);
        if (FAILED(hr)) return hr;
        std::shared_ptr<SpecifyPropertyPages> pages;
        std::vector<platform::Guid> list;
        if (FAILED(hr = camera->QueryInterface(&pages)) || FAILED(hr = pages->GetPages(&list))) return hr;
        if (list.empty()) return E_FAIL;
        int count = 0, size = 0;
        if (FAILED(hr = config->GetNumberOfCapabilities(&count, &size))) return hr;
        if (capability >= count) return E_INVALIDARG;
        MediaType type;
        VideoStreamConfigCaps caps;
        if ((hr = config->GetStreamCaps(capability, &type, &caps)) != S_OK) return FAILED(hr) ? hr : E_FAIL;
        if (!type.format) return E_FAIL;
        type.format->AvgTimePerFrame = 2666666;
        if (FAILED(hr = config->SetFormat(type))) return hr;
        if (FAILED(hr = camera->QueryInterface(&procAmp)) || FAILED(hr = camera->QueryInterface(&cameraControl))) return hr;
        if (FAILED(hr = graph->AddFilter(camera, "Cap"))) return hr;
        MediaType wanted;
        wanted.majortype = MEDIATYPE_Video;
        wanted.subtype = MEDIASUBTYPE_RGB8;
        if (FAILED(hr = grabber->SetMediaType(wanted)) || FAILED(hr = graph->AddFilter(grabber, "Grabber"))) return hr;
        CaptureGraphBuilder builder;
        if (FAILED(hr = builder.SetFiltergraph(graph))) return hr;
        if (FAILED(hr = graph->AddFilter(renderer, "NULL renderer"))) return hr;
        hr = builder.RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Interleaved, camera.get(), grabber.get(), renderer.get());
        if (FAILED(hr))
            hr = builder.RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.get(), grabber.get(), renderer.get());
        if (FAILED(hr)) return hr;
        return grabber->SetCallback(sink, 1);
    }
};

template <class Pred>
bool WaitUntil(Pred pred, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

}  // namespace capturetest
