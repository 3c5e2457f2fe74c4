#pragma once
// The video-capture layer the capture libraries build their capture graphs with, in the style of
// the system's capture framework, over the user-space camera driver:
//
//   SystemDeviceEnum::CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &devices);
//   while (devices->Next(&moniker) == S_OK) { moniker->Read("DevicePath", &path); ... }
//   moniker->BindToObject(&camera);
//   builder.FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.get(), &streamConfig);
//   streamConfig->GetStreamCaps(i, &type, &caps); type.format->AvgTimePerFrame = ...;
//   streamConfig->SetFormat(type);                        // before the pin is connected
//   graph->AddFilter(camera, "Cap"); graph->AddFilter(grabber, "Grabber"); ...
//   builder.SetFiltergraph(graph);
//   builder.RenderStream(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, camera.get(), grabber.get(), renderer.get());
//   grabber->SetCallback(&callbackObject, 1);              // BufferCB(time, buffer, length)
//   graph->Run(); ... graph->Stop();
//
// Frames reach the grabber's callback on the camera's streaming thread, one call per frame that
// carries data, with the frame's bytes in a writable buffer. Stop returns once a callback in
// progress has returned; no callback follows it. Camera properties go to the driver and from there
// to the device as vendor requests; once the device is gone every property call fails.
//
// Objects are held by shared pointers instead of reference counts. A graph's filters live at
// least as long as the graph.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Guid.h"
#include "platform/SampleGrabberCallback.h"

namespace tessik::driver {
class Device;
}

namespace platform::firewire {
class Camera;
}

namespace platform::video {

// Results besides those of SampleGrabberCallback.h.
inline constexpr HRESULT E_PROP_ID_UNSUPPORTED = int32_t(0x80070490);
inline constexpr HRESULT HRESULT_DEVICE_NOT_CONNECTED = int32_t(0x8007048F);
inline constexpr HRESULT VFW_E_INVALIDMEDIATYPE = int32_t(0x80040200);
inline constexpr HRESULT VFW_E_NOT_CONNECTED = int32_t(0x80040209);
inline constexpr HRESULT VFW_E_CANNOT_CONNECT = int32_t(0x80040217);
inline constexpr HRESULT VFW_E_NOT_STOPPED = int32_t(0x80040224);
inline constexpr HRESULT VFW_E_NOT_IN_GRAPH = int32_t(0x8004025F);

// A driver status that is not one of the above, as a result.
inline constexpr HRESULT HRESULT_FROM_NT(int32_t status) { return int32_t(uint32_t(status) | 0x10000000u); }

// Categories, media types and formats.
inline constexpr Guid GUID_NULL = {};
inline constexpr Guid CLSID_VideoInputDeviceCategory = {0x7E55B000, 0, 0x4000, {0x80, 0, 'T', 'E', 'S', 'S', 'I', 'K'}};
inline constexpr Guid PIN_CATEGORY_CAPTURE = {0x7E55B001, 0, 0x4000, {0x80, 0, 'T', 'E', 'S', 'S', 'I', 'K'}};
inline constexpr Guid MEDIATYPE_Video = {0x73646976 /* 'vids' */, 0, 0x4000, {0x80, 0, 'T', 'E', 'S', 'S', 'I', 'K'}};
inline constexpr Guid MEDIATYPE_Interleaved = {0x73766169 /* 'iavs' */, 0, 0x4000, {0x80, 0, 'T', 'E', 'S', 'S', 'I', 'K'}};
inline constexpr Guid MEDIASUBTYPE_RGB8 = {0x7E55B002, 0, 0x4000, {0x80, 0, 'T', 'E', 'S', 'S', 'I', 'K'}};
inline constexpr Guid FORMAT_VideoInfo = {0x7E55B003, 0, 0x4000, {0x80, 0, 'T', 'E', 'S', 'S', 'I', 'K'}};
inline constexpr Guid PROPPAGE_CameraSettings = {0x7E55B004, 0, 0x4000, {0x80, 0, 'T', 'E', 'S', 'S', 'I', 'K'}};

struct BitmapInfoHeader {
    int32_t biWidth = 0;
    int32_t biHeight = 0;
    uint16_t biPlanes = 1;
    uint16_t biBitCount = 0;
    uint32_t biSizeImage = 0;  // bytes of one frame
};

struct VideoInfoHeader {
    uint32_t dwBitRate = 0;
    int64_t AvgTimePerFrame = 0;  // 100 ns units
    BitmapInfoHeader bmiHeader;
};

struct MediaType {
    Guid majortype;
    Guid subtype;
    bool bFixedSizeSamples = true;
    uint32_t lSampleSize = 0;
    Guid formattype;
    std::optional<VideoInfoHeader> format;  // the format block; absent when the type has none
};

// One stream capability besides its media type.
struct VideoStreamConfigCaps {
    Guid guid = FORMAT_VideoInfo;
    int32_t width = 0, height = 0;
    int64_t MinFrameInterval = 0, MaxFrameInterval = 0;
    uint32_t MinBitsPerSecond = 0, MaxBitsPerSecond = 0;
};

enum class FilterState { Stopped = 0, Paused = 1, Running = 2 };

// Camera property ids and flags.
inline constexpr long VideoProcAmp_Brightness = 0;
inline constexpr long VideoProcAmp_Contrast = 1;
inline constexpr long VideoProcAmp_Flags_Auto = 1;
inline constexpr long VideoProcAmp_Flags_Manual = 2;
inline constexpr long CameraControl_Exposure = 4;
inline constexpr long CameraControl_Flags_Auto = 1;
inline constexpr long CameraControl_Flags_Manual = 2;

namespace detail {
struct CaptureSource;
}

class FilterGraph;

// A filter of a graph.
class BaseFilter {
public:
    virtual ~BaseFilter() = default;
    const std::string& Name() const { return name_; }  // as added to its graph
    const FilterGraph* Graph() const { return graph_; }

private:
    friend class FilterGraph;
    std::string name_;
    const FilterGraph* graph_ = nullptr;
};

// The capture pin's formats: the driver's stream capabilities in their order.
class StreamConfig {
public:
    explicit StreamConfig(std::shared_ptr<detail::CaptureSource> source) : source_(std::move(source)) {}
    HRESULT GetNumberOfCapabilities(int* count, int* size);
    HRESULT GetStreamCaps(int index, MediaType* mediaType, VideoStreamConfigCaps* caps);
    // Chooses the format of the next run: one of the capabilities' sizes, 8 bits a pixel, with the
    // caller's frame time. Refused while the camera runs.
    HRESULT SetFormat(const MediaType& mediaType);

private:
    std::shared_ptr<detail::CaptureSource> source_;
};

// One of the camera's property sets: get, set with the auto or manual flag, and range.
class CameraProperties {
public:
    HRESULT Get(long property, long* value, long* flags);
    HRESULT Set(long property, long value, long flags);
    HRESULT GetRange(long property, long* minimum, long* maximum, long* step, long* defaultValue, long* capsFlags);

protected:
    enum class Kind { VideoProcAmp, CameraControl };
    CameraProperties(std::shared_ptr<detail::CaptureSource> source, Kind kind) : source_(std::move(source)), kind_(kind) {}

private:
    std::shared_ptr<detail::CaptureSource> source_;
    Kind kind_;
};

// Video-processing properties (the driver's property ids, 20 FrameSizeMode, 23 LedControl,
// 24 SensorType among them).
class VideoProcAmp : public CameraProperties {
public:
    explicit VideoProcAmp(std::shared_ptr<detail::CaptureSource> source) : CameraProperties(std::move(source), Kind::VideoProcAmp) {}
};

class CameraControl : public CameraProperties {
public:
    explicit CameraControl(std::shared_ptr<detail::CaptureSource> source) : CameraProperties(std::move(source), Kind::CameraControl) {}
};

class SpecifyPropertyPages {
public:
    explicit SpecifyPropertyPages(std::shared_ptr<detail::CaptureSource> source) : source_(std::move(source)) {}
    // The camera's property pages (at least one).
    HRESULT GetPages(std::vector<Guid>* pages);

private:
    std::shared_ptr<detail::CaptureSource> source_;
};

// A camera bound from the device list.
class CaptureFilter : public BaseFilter {
public:
    explicit CaptureFilter(std::shared_ptr<detail::CaptureSource> source) : source_(std::move(source)) {}
    ~CaptureFilter() override;

    HRESULT QueryInterface(std::shared_ptr<StreamConfig>* out);  // the capture pin's
    HRESULT QueryInterface(std::shared_ptr<VideoProcAmp>* out);
    HRESULT QueryInterface(std::shared_ptr<CameraControl>* out);
    HRESULT QueryInterface(std::shared_ptr<SpecifyPropertyPages>* out);

    const std::shared_ptr<detail::CaptureSource>& Source() const { return source_; }

private:
    std::shared_ptr<detail::CaptureSource> source_;
};

// Hands each frame to the registered callback object.
class SampleGrabber : public BaseFilter {
public:
    SampleGrabber() = default;
    ~SampleGrabber() override;

    // The type it accepts: a major type (GUID_NULL: any) and a subtype (GUID_NULL: any).
    HRESULT SetMediaType(const MediaType& type);
    HRESULT GetConnectedMediaType(MediaType* type);
    // Frames are handed over as they come; a copy is kept only for the duration of the call.
    HRESULT SetBufferSamples(bool buffer);
    HRESULT SetOneShot(bool oneShot);  // one-shot capture is not offered: E_NOTIMPL for true
    // whichMethod 0: SampleCB, 1: BufferCB. Null unregisters. The grabber AddRefs the object it
    // takes and Releases the one it lets go of.
    HRESULT SetCallback(SampleGrabberCB* callback, long whichMethod);

    // From the camera's streaming thread.
    void Deliver(double sampleTime, uint8_t* buffer, long length);
    bool Accepts(const MediaType& type) const;
    void SetConnected(std::optional<MediaType> type);

private:
    mutable std::mutex mutex_;
    MediaType accepted_;
    std::optional<MediaType> connected_;
    SampleGrabberCB* callback_ = nullptr;
    long which_ = 1;
};

// The end of the chain; it takes frames and drops them.
class NullRenderer : public BaseFilter {};

// A filter graph with its media control.
class FilterGraph {
public:
    FilterGraph() = default;
    ~FilterGraph();  // stops the graph
    FilterGraph(const FilterGraph&) = delete;
    FilterGraph& operator=(const FilterGraph&) = delete;

    HRESULT AddFilter(const std::shared_ptr<BaseFilter>& filter, const std::string& name);
    bool Contains(const BaseFilter* filter) const;
    std::shared_ptr<BaseFilter> Find(const BaseFilter* filter) const;

    // Media control. Run starts every connected camera; Stop stops them and returns once no
    // frame callback is in progress.
    HRESULT Run();
    HRESULT Stop();
    HRESULT GetState(uint32_t timeoutMs, FilterState* state);

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<BaseFilter>> filters_;
    FilterState state_ = FilterState::Stopped;
};

// Connects a camera's capture pin through a grabber to a renderer.
class CaptureGraphBuilder {
public:
    HRESULT SetFiltergraph(std::shared_ptr<FilterGraph> graph);
    // The capture pin's stream configuration of `filter` (a camera).
    HRESULT FindInterface(const Guid* category, const Guid* type, BaseFilter* filter, std::shared_ptr<StreamConfig>* out);
    // Connects source -> intermediate -> sink, all in the graph set before. The source must be a
    // camera with a video stream of `type` (null: any), the intermediate (optional) a grabber that
    // accepts the camera's format, the sink (optional) a renderer.
    HRESULT RenderStream(const Guid* category, const Guid* type, BaseFilter* source, BaseFilter* intermediate,
                         BaseFilter* sink);

private:
    std::shared_ptr<FilterGraph> graph_;
};

// One entry of the device list.
class DeviceMoniker {
public:
    explicit DeviceMoniker(std::shared_ptr<tessik::driver::Device> device) : device_(std::move(device)) {}
    explicit DeviceMoniker(std::shared_ptr<firewire::Camera> camera) : camera_(std::move(camera)) {}
    // "DevicePath" ("\\?\usb#vid_0547&pid_2150#..." or "\\?\1394#KestrelB-Firewire#...") or
    // "FriendlyName" ("Tessik PloverA").
    HRESULT Read(const std::string& property, std::string* value) const;
    // A new camera object for the device; fails once the device has gone.
    HRESULT BindToObject(std::shared_ptr<CaptureFilter>* out) const;

private:
    std::shared_ptr<tessik::driver::Device> device_;  // a USB device of the camera driver, or
    std::shared_ptr<firewire::Camera> camera_;        // a FireWire camera
};

class EnumMoniker {
public:
    explicit EnumMoniker(std::vector<std::shared_ptr<DeviceMoniker>> devices) : devices_(std::move(devices)) {}
    HRESULT Reset();
    // S_OK with the next device, S_FALSE after the last.
    HRESULT Next(std::shared_ptr<DeviceMoniker>* out);

private:
    std::vector<std::shared_ptr<DeviceMoniker>> devices_;
    size_t next_ = 0;
};

class SystemDeviceEnum {
public:
    // The attached devices of a category, in the order they arrived: S_OK with an enumerator, or
    // S_FALSE and null when the category is empty; E_FAIL when the device bus cannot be opened.
    static HRESULT CreateClassEnumerator(const Guid& category, std::unique_ptr<EnumMoniker>* out);
};

}  // namespace platform::video
