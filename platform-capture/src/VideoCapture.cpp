#include "platform/VideoCapture.h"
#include "platform/ThreadName.h"

#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "driver/TessikDriver.h"
#include "platform/DriverDevices.h"
#include "platform/FireWireCameras.h"
#include "platform/Event.h"

namespace platform::video {

namespace drv = tessik::driver;

namespace detail {

constexpr uint32_t kCloseWaitMs = 5000;

// What the video layer keeps per device, shared by every camera object bound to it: the
// frame-size mode last set, which the device applies when a stream next starts (the driver has no
// read-back of it).
struct DeviceChannel {
    std::atomic<long> frameSizeMode{0};
};

std::shared_ptr<DeviceChannel> ChannelOf(const std::shared_ptr<void>& device) {
    static std::mutex mutex;
    static std::map<const void*, std::pair<std::weak_ptr<void>, std::shared_ptr<DeviceChannel>>> channels;
    std::lock_guard lock(mutex);
    std::erase_if(channels, [](const auto& e) { return e.second.first.expired(); });
    auto& entry = channels[device.get()];
    if (!entry.second) entry = {device, std::make_shared<DeviceChannel>()};
    return entry.second;
}

// A running stream of a device; destroying it stops it.
struct DeviceStream {
    virtual ~DeviceStream() = default;
    virtual void Stop() = 0;  // returns when no frame callback is in progress
};

// The device behind a camera object: a USB device of the camera driver or a FireWire camera.
struct Backend {
    virtual ~Backend() = default;
    virtual std::shared_ptr<void> Key() const = 0;  // the device object itself
    virtual bool IsGone() const = 0;
    virtual std::vector<drv::StreamCapability> Capabilities() const = 0;
    virtual HRESULT Start(size_t capability, int frameSizeMode, std::function<void(const drv::Frame&)> onFrame,
                          std::unique_ptr<DeviceStream>* stream) = 0;
    virtual HRESULT Get(drv::PropertySet set, long property, drv::PropertyData& data) = 0;
    virtual HRESULT Set(drv::PropertySet set, long property, const drv::PropertyData& data) = 0;
    virtual HRESULT Range(drv::PropertySet set, long property, drv::PropertyRange& range) = 0;
};

struct DriverStream : DeviceStream {
    explicit DriverStream(std::unique_ptr<drv::FrameStream> s) : stream(std::move(s)) {}
    void Stop() override { stream->Stop(); }
    std::unique_ptr<drv::FrameStream> stream;
};

struct DriverBackend : Backend {
    explicit DriverBackend(std::shared_ptr<drv::Device> d) : device(std::move(d)) {}
    std::shared_ptr<drv::Device> device;

    HRESULT Result(drv::NTSTATUS status) const {
        if (drv::NT_SUCCESS(status)) return S_OK;
        if (device->IsGone()) return HRESULT_DEVICE_NOT_CONNECTED;
        switch (status) {
            case drv::STATUS_NOT_FOUND: return E_PROP_ID_UNSUPPORTED;
            case drv::STATUS_INVALID_PARAMETER: return E_INVALIDARG;
            case drv::STATUS_NOT_IMPLEMENTED: return E_NOTIMPL;
            case drv::STATUS_DEVICE_NOT_CONNECTED: return HRESULT_DEVICE_NOT_CONNECTED;
            default: return HRESULT_FROM_NT(status);
        }
    }
    std::shared_ptr<void> Key() const override { return device; }
    bool IsGone() const override { return device->IsGone(); }
    std::vector<drv::StreamCapability> Capabilities() const override { return device->StreamCapabilities(); }
    HRESULT Start(size_t capability, int frameSizeMode, std::function<void(const drv::Frame&)> onFrame,
                  std::unique_ptr<DeviceStream>* stream) override {
        auto s = std::make_unique<drv::FrameStream>(device);
        const drv::NTSTATUS st = s->Start(capability, frameSizeMode, std::move(onFrame));
        if (!drv::NT_SUCCESS(st)) return Result(st);
        *stream = std::make_unique<DriverStream>(std::move(s));
        return S_OK;
    }
    HRESULT Get(drv::PropertySet set, long property, drv::PropertyData& data) override {
        return Result(device->GetProperty(set, uint32_t(property), data));
    }
    HRESULT Set(drv::PropertySet set, long property, const drv::PropertyData& data) override {
        return Result(device->SetProperty(set, uint32_t(property), data));
    }
    HRESULT Range(drv::PropertySet set, long property, drv::PropertyRange& range) override {
        return Result(device->GetPropertyRange(set, uint32_t(property), range));
    }
};

// A FireWire camera: its three frame sizes as the capabilities, its registers as the properties.
struct FireWireStream : DeviceStream {
    explicit FireWireStream(std::shared_ptr<firewire::Camera> c) : camera(std::move(c)) {}
    ~FireWireStream() override { camera->Stop(); }
    void Stop() override { camera->Stop(); }
    std::shared_ptr<firewire::Camera> camera;
};

struct FireWireBackend : Backend {
    explicit FireWireBackend(std::shared_ptr<firewire::Camera> c) : camera(std::move(c)) {}
    std::shared_ptr<firewire::Camera> camera;

    std::shared_ptr<void> Key() const override { return camera; }
    bool IsGone() const override { return !camera->IsAttached(); }
    std::vector<drv::StreamCapability> Capabilities() const override {
        std::vector<drv::StreamCapability> caps;
        for (const auto& size : camera->Sizes()) {
            drv::StreamCapability c;
            const uint32_t bytes = uint32_t(size.width) * uint32_t(size.height);
            c.sampleSize = bytes;
            c.format.width = size.width;
            c.format.height = size.height;
            c.format.imageSize = bytes;
            c.format.avgTimePerFrame = 2666666;
            c.minFrameInterval = 1000000;
            c.maxFrameInterval = 640000000;
            caps.push_back(c);
        }
        return caps;
    }
    HRESULT Start(size_t, int frameSizeMode, std::function<void(const drv::Frame&)> onFrame,
                  std::unique_ptr<DeviceStream>* stream) override {
        if (!camera->IsAttached()) return HRESULT_DEVICE_NOT_CONNECTED;
        const auto started = std::chrono::steady_clock::now();
        auto sequence = std::make_shared<std::atomic<uint64_t>>(0);
        const bool ok = camera->Start(frameSizeMode, [onFrame, started, sequence](const uint8_t* data, size_t length, int w, int h) {
            drv::Frame f;
            f.sampleTime = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            f.data = data;
            f.length = length;
            f.width = w;
            f.height = h;
            f.sequence = (*sequence)++;
            onFrame(f);
        });
        if (!ok) return camera->IsAttached() ? E_FAIL : HRESULT_DEVICE_NOT_CONNECTED;
        *stream = std::make_unique<FireWireStream>(camera);
        return S_OK;
    }
    HRESULT Get(drv::PropertySet set, long property, drv::PropertyData& data) override {
        const long id = set == drv::PropertySet::CameraControl ? (property == CameraControl_Exposure ? 4 : -1) : property;
        if (id < 0 || (set == drv::PropertySet::VideoProcAmp && property == 4)) return E_PROP_ID_UNSUPPORTED;
        long value = 0;
        if (!camera->GetRegister(id, &value)) return camera->IsAttached() ? E_PROP_ID_UNSUPPORTED : HRESULT_DEVICE_NOT_CONNECTED;
        data.value = value;
        data.flags = VideoProcAmp_Flags_Manual;
        data.capabilities = VideoProcAmp_Flags_Auto | VideoProcAmp_Flags_Manual;
        return S_OK;
    }
    HRESULT Set(drv::PropertySet set, long property, const drv::PropertyData& data) override {
        const long id = set == drv::PropertySet::CameraControl ? (property == CameraControl_Exposure ? 4 : -1) : property;
        if (id < 0 || (set == drv::PropertySet::VideoProcAmp && property == 4)) return E_PROP_ID_UNSUPPORTED;
        if (!camera->SetRegister(id, long(data.value)))
            return camera->IsAttached() ? E_PROP_ID_UNSUPPORTED : HRESULT_DEVICE_NOT_CONNECTED;
        return S_OK;
    }
    HRESULT Range(drv::PropertySet set, long property, drv::PropertyRange& range) override {
        if (!camera->IsAttached()) return HRESULT_DEVICE_NOT_CONNECTED;
        if (set == drv::PropertySet::CameraControl && property != CameraControl_Exposure) return E_PROP_ID_UNSUPPORTED;
        range = {0, 255, 1, property == VideoProcAmp_Brightness || set == drv::PropertySet::CameraControl ? 40 : 0};
        return S_OK;
    }
};

// One camera object: the device, the chosen format, the grabber it feeds and the stream while it
// runs.
struct CaptureSource : std::enable_shared_from_this<CaptureSource> {
    std::shared_ptr<Backend> device;
    std::shared_ptr<DeviceChannel> channel;

    std::mutex mutex;
    size_t formatIndex = 0;         // capability of the next run
    int64_t avgTimePerFrame = 0;    // 0: the capability's own
    std::weak_ptr<SampleGrabber> grabber;
    bool connected = false;
    std::unique_ptr<DeviceStream> stream;
    std::atomic<bool> running{false};
    std::atomic<std::thread::id> streamingThread{};
    std::vector<uint8_t> frame;  // the writable copy handed to the grabber (streaming thread only)
    std::shared_ptr<Event> ended;  // set once a stream stopped from its own callback has closed

    ~CaptureSource() { Stop(); }

    MediaType TypeOf(const drv::StreamCapability& cap) const {
        MediaType t;
        t.majortype = MEDIATYPE_Video;
        t.subtype = MEDIASUBTYPE_RGB8;
        t.formattype = FORMAT_VideoInfo;
        t.lSampleSize = cap.sampleSize ? cap.sampleSize : cap.format.imageSize;
        VideoInfoHeader v;
        v.dwBitRate = cap.format.bitRate;
        v.AvgTimePerFrame = cap.format.avgTimePerFrame;
        v.bmiHeader.biWidth = cap.format.width;
        v.bmiHeader.biHeight = cap.format.height;
        v.bmiHeader.biBitCount = cap.format.bitCount;
        v.bmiHeader.biSizeImage = cap.format.imageSize;
        t.format = v;
        return t;
    }

    MediaType CurrentType() {
        const auto caps = device->Capabilities();
        std::lock_guard lock(mutex);
        if (formatIndex >= caps.size()) return {};
        MediaType t = TypeOf(caps[formatIndex]);
        if (avgTimePerFrame > 0) t.format->AvgTimePerFrame = avgTimePerFrame;
        return t;
    }

    HRESULT Start() {
        std::shared_ptr<Event> previous;
        {
            std::lock_guard lock(mutex);
            if (running) return S_OK;
            previous = std::move(ended);
        }
        // A stream stopped from inside its callback closes on another thread; the device takes a
        // new stream once it has.
        if (previous && std::this_thread::get_id() != streamingThread.load()) previous->Wait(kCloseWaitMs);
        std::lock_guard lock(mutex);
        if (running) return S_OK;
        if (!connected) return VFW_E_NOT_CONNECTED;
        if (device->IsGone()) return HRESULT_DEVICE_NOT_CONNECTED;
        std::weak_ptr<CaptureSource> weak = weak_from_this();
        streamingThread = std::thread::id();  // set by the new stream's first frame
        running = true;
        std::unique_ptr<DeviceStream> s;
        const HRESULT hr = device->Start(formatIndex, int(channel->frameSizeMode.load()),
                                         [weak](const drv::Frame& f) {
                                             if (auto self = weak.lock()) self->OnFrame(f);
                                         },
                                         &s);
        if (FAILED(hr)) {
            running = false;
            return hr;
        }
        stream = std::move(s);
        return S_OK;
    }

    void Stop() {
        std::unique_ptr<DeviceStream> s;
        {
            std::lock_guard lock(mutex);
            running = false;
            s = std::move(stream);
        }
        if (!s) return;
        if (std::this_thread::get_id() == streamingThread.load()) {
            // Asked from inside a frame callback: the streaming thread cannot wait for itself, so
            // another thread ends the stream once the callback has returned. No frame is handed
            // on after this point.
            auto done = std::make_shared<Event>(true, false);
            {
                std::lock_guard lock(mutex);
                ended = done;
            }
            platform::StartNamedThread("vcap-stop", [s = std::move(s), done]() mutable {
                s.reset();
                done->Set();
            }).detach();
            return;
        }
        s->Stop();  // returns when no frame callback is in progress
        streamingThread = std::thread::id();
    }

    void OnFrame(const drv::Frame& f) {
        if (!running || !f.data || f.length == 0) return;
        streamingThread = std::this_thread::get_id();
        auto g = grabber.lock();
        if (!g) return;
        // The callee may work on the buffer in place; the device's buffer goes back to it.
        frame.assign(f.data, f.data + f.length);
        g->Deliver(f.sampleTime, frame.data(), long(f.length));
    }
};

}  // namespace detail

using detail::CaptureSource;

// ---- Stream configuration -----------------------------------------------------------------------

HRESULT StreamConfig::GetNumberOfCapabilities(int* count, int* size) {
    if (!count || !size) return E_POINTER;
    *count = int(source_->device->Capabilities().size());
    *size = int(sizeof(VideoStreamConfigCaps));
    return S_OK;
}

HRESULT StreamConfig::GetStreamCaps(int index, MediaType* mediaType, VideoStreamConfigCaps* caps) {
    if (!mediaType || !caps) return E_POINTER;
    const auto all = source_->device->Capabilities();
    if (index < 0 || size_t(index) >= all.size()) return S_FALSE;
    const drv::StreamCapability& c = all[size_t(index)];
    *mediaType = source_->TypeOf(c);
    caps->guid = FORMAT_VideoInfo;
    caps->width = c.format.width;
    caps->height = c.format.height;
    caps->MinFrameInterval = c.minFrameInterval;
    caps->MaxFrameInterval = c.maxFrameInterval;
    caps->MinBitsPerSecond = c.minBitsPerSecond;
    caps->MaxBitsPerSecond = c.maxBitsPerSecond;
    return S_OK;
}

HRESULT StreamConfig::SetFormat(const MediaType& t) {
    if (t.majortype != MEDIATYPE_Video || !t.format || (t.subtype != GUID_NULL && t.subtype != MEDIASUBTYPE_RGB8))
        return VFW_E_INVALIDMEDIATYPE;
    const BitmapInfoHeader& b = t.format->bmiHeader;
    if (b.biBitCount != 8 || t.format->AvgTimePerFrame < 0) return VFW_E_INVALIDMEDIATYPE;
    CaptureSource& s = *source_;
    const auto caps = s.device->Capabilities();
    size_t index = caps.size();
    for (size_t i = 0; i < caps.size(); ++i)
        if (caps[i].format.width == b.biWidth && caps[i].format.height == std::abs(b.biHeight)) {
            index = i;
            break;
        }
    if (index == caps.size()) return VFW_E_INVALIDMEDIATYPE;
    std::lock_guard lock(s.mutex);
    if (s.running) return VFW_E_NOT_STOPPED;
    s.formatIndex = index;
    s.avgTimePerFrame = t.format->AvgTimePerFrame;
    return S_OK;
}

// ---- Properties ---------------------------------------------------------------------------------

namespace {

constexpr long kFrameSizeMode = long(drv::FrameSizeMode);

template <class Kind>
drv::PropertySet SetOf(Kind kind) {
    return kind == Kind::VideoProcAmp ? drv::PropertySet::VideoProcAmp : drv::PropertySet::CameraControl;
}

bool ValidFlags(long flags) { return flags == VideoProcAmp_Flags_Auto || flags == VideoProcAmp_Flags_Manual; }

HRESULT GetProperty(CaptureSource& s, drv::PropertySet set, long property, long* value, long* flags) {
    if (!value || !flags) return E_POINTER;
    if (property < 0) return E_PROP_ID_UNSUPPORTED;
    drv::PropertyData data;
    const HRESULT hr = s.device->Get(set, property, data);
    if (FAILED(hr)) return hr;
    *value = long(data.value);
    *flags = long(data.flags);
    // The driver only stores the frame-size mode; it is read back from what was set.
    if (set == drv::PropertySet::VideoProcAmp && property == kFrameSizeMode) {
        *value = s.channel->frameSizeMode;
        *flags = VideoProcAmp_Flags_Manual;
    }
    return S_OK;
}

HRESULT SetProperty(CaptureSource& s, drv::PropertySet set, long property, long value, long flags) {
    if (property < 0) return E_PROP_ID_UNSUPPORTED;
    if (!ValidFlags(flags)) return E_INVALIDARG;
    const HRESULT hr = s.device->Set(set, property, {value, uint32_t(flags), 0});
    if (SUCCEEDED(hr) && set == drv::PropertySet::VideoProcAmp && property == kFrameSizeMode)
        s.channel->frameSizeMode = value;
    return hr;
}

HRESULT GetRange(CaptureSource& s, drv::PropertySet set, long property, long* minimum, long* maximum, long* step,
                 long* defaultValue, long* capsFlags) {
    if (!minimum || !maximum || !step || !defaultValue || !capsFlags) return E_POINTER;
    if (property < 0) return E_PROP_ID_UNSUPPORTED;
    drv::PropertyRange r;
    const HRESULT hr = s.device->Range(set, property, r);
    if (FAILED(hr)) return hr;
    *minimum = long(r.minimum);
    *maximum = long(r.maximum);
    *step = long(r.step);
    *defaultValue = long(r.defaultValue);
    *capsFlags = VideoProcAmp_Flags_Auto | VideoProcAmp_Flags_Manual;
    return S_OK;
}

}  // namespace

HRESULT CameraProperties::Get(long property, long* value, long* flags) {
    return GetProperty(*source_, SetOf(kind_), property, value, flags);
}
HRESULT CameraProperties::Set(long property, long value, long flags) {
    return SetProperty(*source_, SetOf(kind_), property, value, flags);
}
HRESULT CameraProperties::GetRange(long property, long* minimum, long* maximum, long* step, long* defaultValue,
                                   long* capsFlags) {
    return platform::video::GetRange(*source_, SetOf(kind_), property, minimum, maximum, step, defaultValue, capsFlags);
}

HRESULT SpecifyPropertyPages::GetPages(std::vector<Guid>* pages) {
    if (!pages) return E_POINTER;
    *pages = {PROPPAGE_CameraSettings};
    return S_OK;
}

// ---- Camera -------------------------------------------------------------------------------------

CaptureFilter::~CaptureFilter() { source_->Stop(); }

HRESULT CaptureFilter::QueryInterface(std::shared_ptr<StreamConfig>* out) {
    if (!out) return E_POINTER;
    *out = std::make_shared<StreamConfig>(source_);
    return S_OK;
}
HRESULT CaptureFilter::QueryInterface(std::shared_ptr<VideoProcAmp>* out) {
    if (!out) return E_POINTER;
    *out = std::make_shared<VideoProcAmp>(source_);
    return S_OK;
}
HRESULT CaptureFilter::QueryInterface(std::shared_ptr<CameraControl>* out) {
    if (!out) return E_POINTER;
    *out = std::make_shared<CameraControl>(source_);
    return S_OK;
}
HRESULT CaptureFilter::QueryInterface(std::shared_ptr<SpecifyPropertyPages>* out) {
    if (!out) return E_POINTER;
    *out = std::make_shared<SpecifyPropertyPages>(source_);
    return S_OK;
}

// ---- Sample grabber -----------------------------------------------------------------------------

SampleGrabber::~SampleGrabber() { SetCallback(nullptr, 1); }

HRESULT SampleGrabber::SetMediaType(const MediaType& type) {
    std::lock_guard lock(mutex_);
    if (connected_) return VFW_E_NOT_STOPPED;
    accepted_ = type;
    return S_OK;
}

HRESULT SampleGrabber::GetConnectedMediaType(MediaType* type) {
    if (!type) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (!connected_) return VFW_E_NOT_CONNECTED;
    *type = *connected_;
    return S_OK;
}

HRESULT SampleGrabber::SetBufferSamples(bool) { return S_OK; }

HRESULT SampleGrabber::SetOneShot(bool oneShot) { return oneShot ? E_NOTIMPL : S_OK; }

HRESULT SampleGrabber::SetCallback(SampleGrabberCB* callback, long whichMethod) {
    if (whichMethod != 0 && whichMethod != 1) return E_INVALIDARG;
    SampleGrabberCB* old;
    {
        std::lock_guard lock(mutex_);
        old = callback_;
        callback_ = callback;
        which_ = whichMethod;
    }
    if (callback) callback->AddRef();
    if (old) old->Release();
    return S_OK;
}

bool SampleGrabber::Accepts(const MediaType& type) const {
    std::lock_guard lock(mutex_);
    if (accepted_.majortype != GUID_NULL && accepted_.majortype != type.majortype) return false;
    if (accepted_.subtype != GUID_NULL && accepted_.subtype != type.subtype) return false;
    return true;
}

void SampleGrabber::SetConnected(std::optional<MediaType> type) {
    std::lock_guard lock(mutex_);
    connected_ = std::move(type);
}

void SampleGrabber::Deliver(double sampleTime, uint8_t* buffer, long length) {
    SampleGrabberCB* cb;
    long which;
    {
        std::lock_guard lock(mutex_);
        cb = callback_;
        which = which_;
    }
    if (!cb) return;
    if (which == 1) {
        cb->BufferCB(sampleTime, buffer, length);
    } else {
        MediaSample sample{sampleTime, buffer, length};
        cb->SampleCB(sampleTime, &sample);
    }
}

// ---- Graph --------------------------------------------------------------------------------------

FilterGraph::~FilterGraph() {
    Stop();
    std::lock_guard lock(mutex_);
    for (auto& f : filters_) f->graph_ = nullptr;
}

HRESULT FilterGraph::AddFilter(const std::shared_ptr<BaseFilter>& filter, const std::string& name) {
    if (!filter) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (filter->graph_) return filter->graph_ == this ? S_OK : E_INVALIDARG;
    filter->graph_ = this;
    filter->name_ = name;
    filters_.push_back(filter);
    return S_OK;
}

bool FilterGraph::Contains(const BaseFilter* filter) const {
    std::lock_guard lock(mutex_);
    return filter && filter->graph_ == this;
}

std::shared_ptr<BaseFilter> FilterGraph::Find(const BaseFilter* filter) const {
    std::lock_guard lock(mutex_);
    for (const auto& f : filters_)
        if (f.get() == filter) return f;
    return nullptr;
}

HRESULT FilterGraph::Run() {
    std::vector<std::shared_ptr<CaptureSource>> cameras;
    {
        std::lock_guard lock(mutex_);
        if (state_ == FilterState::Running) return S_OK;
        for (auto& f : filters_)
            if (auto* camera = dynamic_cast<CaptureFilter*>(f.get())) cameras.push_back(camera->Source());
    }
    for (size_t i = 0; i < cameras.size(); ++i) {
        bool connected;
        {
            std::lock_guard lock(cameras[i]->mutex);
            connected = cameras[i]->connected;
        }
        if (!connected) continue;
        const HRESULT hr = cameras[i]->Start();
        if (FAILED(hr)) {
            for (size_t k = 0; k < i; ++k) cameras[k]->Stop();
            return hr;
        }
    }
    std::lock_guard lock(mutex_);
    state_ = FilterState::Running;
    return S_OK;
}

HRESULT FilterGraph::Stop() {
    std::vector<std::shared_ptr<CaptureSource>> cameras;
    {
        std::lock_guard lock(mutex_);
        for (auto& f : filters_)
            if (auto* camera = dynamic_cast<CaptureFilter*>(f.get())) cameras.push_back(camera->Source());
        state_ = FilterState::Stopped;
    }
    for (auto& c : cameras) c->Stop();
    return S_OK;
}

HRESULT FilterGraph::GetState(uint32_t, FilterState* state) {
    if (!state) return E_POINTER;
    std::lock_guard lock(mutex_);
    *state = state_;
    return S_OK;
}

// ---- Graph builder ------------------------------------------------------------------------------

HRESULT CaptureGraphBuilder::SetFiltergraph(std::shared_ptr<FilterGraph> graph) {
    if (!graph) return E_POINTER;
    if (graph_) return E_UNEXPECTED;  // a builder serves one graph
    graph_ = std::move(graph);
    return S_OK;
}

HRESULT CaptureGraphBuilder::FindInterface(const Guid* category, const Guid* type, BaseFilter* filter,
                                           std::shared_ptr<StreamConfig>* out) {
    if (!filter || !out) return E_POINTER;
    if (category && *category != PIN_CATEGORY_CAPTURE) return E_NOINTERFACE;
    if (type && *type != MEDIATYPE_Video) return E_NOINTERFACE;
    auto* camera = dynamic_cast<CaptureFilter*>(filter);
    if (!camera) return E_NOINTERFACE;
    return camera->QueryInterface(out);
}

HRESULT CaptureGraphBuilder::RenderStream(const Guid* category, const Guid* type, BaseFilter* source,
                                          BaseFilter* intermediate, BaseFilter* sink) {
    if (!source) return E_POINTER;
    if (!graph_) return E_UNEXPECTED;
    if (category && *category != PIN_CATEGORY_CAPTURE) return E_INVALIDARG;
    auto* camera = dynamic_cast<CaptureFilter*>(source);
    if (!camera) return E_INVALIDARG;
    // The camera's one stream is video; there is no interleaved stream.
    if (type && *type != MEDIATYPE_Video) return E_FAIL;
    for (BaseFilter* f : {source, intermediate, sink})
        if (f && !graph_->Contains(f)) return VFW_E_NOT_IN_GRAPH;
    auto* grabber = dynamic_cast<SampleGrabber*>(intermediate);
    if (intermediate && !grabber) return VFW_E_CANNOT_CONNECT;
    if (sink && !dynamic_cast<NullRenderer*>(sink)) return VFW_E_CANNOT_CONNECT;

    CaptureSource& s = *camera->Source();
    if (s.device->IsGone()) return HRESULT_DEVICE_NOT_CONNECTED;
    const MediaType format = s.CurrentType();
    if (!format.format) return VFW_E_CANNOT_CONNECT;
    if (grabber && !grabber->Accepts(format)) return VFW_E_CANNOT_CONNECT;
    if (grabber) grabber->SetConnected(format);

    // The graph owns the grabber; the camera refers to it without keeping it alive.
    auto held = std::dynamic_pointer_cast<SampleGrabber>(graph_->Find(grabber));
    std::lock_guard lock(s.mutex);
    if (s.running) return VFW_E_NOT_STOPPED;
    s.connected = true;
    s.grabber = held;
    return S_OK;
}

// ---- Device list --------------------------------------------------------------------------------

HRESULT DeviceMoniker::Read(const std::string& property, std::string* value) const {
    if (!value) return E_POINTER;
    std::string path, name;
    if (device_) {
        const drv::DeviceIdentity id = device_->Identity();
        path = id.devicePath;
        name = id.description;
    } else {
        path = FireWireCameras::DevicePath(*camera_);
        name = camera_->Description();
    }
    if (property == "DevicePath") {
        *value = path;
        return S_OK;
    }
    if (property == "FriendlyName") {
        *value = name;
        return S_OK;
    }
    return E_FAIL;
}

HRESULT DeviceMoniker::BindToObject(std::shared_ptr<CaptureFilter>* out) const {
    if (!out) return E_POINTER;
    out->reset();
    auto source = std::make_shared<CaptureSource>();
    if (device_)
        source->device = std::make_shared<detail::DriverBackend>(device_);
    else
        source->device = std::make_shared<detail::FireWireBackend>(camera_);
    if (source->device->IsGone()) return HRESULT_DEVICE_NOT_CONNECTED;
    source->channel = detail::ChannelOf(source->device->Key());
    *out = std::make_shared<CaptureFilter>(source);
    return S_OK;
}

HRESULT EnumMoniker::Reset() {
    next_ = 0;
    return S_OK;
}

HRESULT EnumMoniker::Next(std::shared_ptr<DeviceMoniker>* out) {
    if (!out) return E_POINTER;
    if (next_ >= devices_.size()) {
        out->reset();
        return S_FALSE;
    }
    *out = devices_[next_++];
    return S_OK;
}

HRESULT SystemDeviceEnum::CreateClassEnumerator(const Guid& category, std::unique_ptr<EnumMoniker>* out) {
    if (!out) return E_POINTER;
    out->reset();
    if (category != CLSID_VideoInputDeviceCategory) return S_FALSE;
    auto manager = DriverDevices::Manager();
    if (!manager) return E_FAIL;
    std::vector<std::shared_ptr<DeviceMoniker>> devices;
    for (auto& d : manager->Devices())
        if (d && !d->IsGone()) devices.push_back(std::make_shared<DeviceMoniker>(d));
    for (auto& c : FireWireCameras::Present()) devices.push_back(std::make_shared<DeviceMoniker>(c));
    if (devices.empty()) return S_FALSE;
    *out = std::make_unique<EnumMoniker>(std::move(devices));
    return S_OK;
}

}  // namespace platform::video
