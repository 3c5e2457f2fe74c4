#pragma once
// The camera driver, run in user space over a USB transport. It presents each USB scanner and
// iris camera unit as a video capture device with one stream: three 8-bit formats, frames copied
// into the client's read buffers in the model's layout, and video-processing and camera-control
// properties mapped onto the device's vendor requests.
//
// Results are NT-style status codes; the driver writes no log.
//
// Typical client:
//   auto manager = tessik::driver::DeviceManager::FromEnvironment(&error);  // TESSIK_USB
//   for (auto& dev : manager->Devices()) { dev->Identity().description ... }
//   tessik::driver::FrameStream stream(dev);
//   stream.Start(0 /* capability */, 0 /* FrameSizeMode */, [](const Frame& f) { ... });
//   dev->SetProperty(PropertySet::CameraControl, kCameraControlExposure, {40, kFlagManual});
//   stream.Stop();

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/UsbTransport.h"

#define TESSIK_DRIVER_API __attribute__((visibility("default")))

namespace tessik::driver {

using NTSTATUS = int32_t;

inline constexpr NTSTATUS STATUS_SUCCESS = 0;
inline constexpr NTSTATUS STATUS_PENDING = 0x103;
inline constexpr NTSTATUS STATUS_NO_DATA_DETECTED = int32_t(0x80000022);
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = int32_t(0xC0000001);
inline constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = int32_t(0xC0000002);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = int32_t(0xC000000D);
inline constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = int32_t(0xC0000016);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = int32_t(0xC0000023);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = int32_t(0xC000009A);
inline constexpr NTSTATUS STATUS_DEVICE_DATA_ERROR = int32_t(0xC000009C);
inline constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = int32_t(0xC000009D);
inline constexpr NTSTATUS STATUS_IO_TIMEOUT = int32_t(0xC00000B5);
inline constexpr NTSTATUS STATUS_CANCELLED = int32_t(0xC0000120);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = int32_t(0xC0000184);
inline constexpr NTSTATUS STATUS_NOT_FOUND = int32_t(0xC0000225);
inline constexpr NTSTATUS STATUS_NO_MATCH = int32_t(0xC0000272);

inline bool NT_SUCCESS(NTSTATUS s) { return s >= 0; }

// Adapter request codes.
enum AdapterRequest : uint32_t {
    kGetStreamInfo = 0x100,
    kOpenStream = 0x101,
    kCloseStream = 0x102,
    kGetDeviceProperty = 0x105,
    kSetDeviceProperty = 0x106,
    kInitializeDevice = 0x107,
    kChangePowerState = 0x108,
    kUninitializeDevice = 0x109,
    kPagingOutDriver = 0x10B,
    kDataIntersection = 0x10C,
    kInitializationComplete = 0x10D,
    kSurpriseRemoval = 0x10E,
};

// Stream states as the client sees them.
enum class KsState : int { Stop = 0, Acquire = 1, Pause = 2, Run = 3 };

// State of the bulk transfer inside the driver.
enum TransferState : int {
    kTransferIdle = 0,
    kTransferRunning = 1,
    kTransferPaused = 2,
    kTransferStopped = 3,
    kTransferResync = 4,
};

inline constexpr int kPowerD3 = 4;

enum class PropertySet { VideoProcAmp, CameraControl, Other };

// Video-processing property ids, and the system's own.
inline constexpr uint32_t kVideoProcBrightness = 0;
inline constexpr uint32_t kVideoProcContrast = 1;
inline constexpr uint32_t FrameSizeMode = 20;
inline constexpr uint32_t LedControl = 23;
inline constexpr uint32_t SensorType = 24;
// Camera-control property id.
inline constexpr uint32_t kCameraControlExposure = 4;

inline constexpr uint32_t kFlagAuto = 1;
inline constexpr uint32_t kFlagManual = 2;

// The value part of a property record.
struct PropertyData {
    int64_t value = 0;
    uint32_t flags = 0;
    uint32_t capabilities = 0;
};

struct PropertyRange {
    int64_t minimum = 0;
    int64_t maximum = 0;
    int64_t step = 1;
    int64_t defaultValue = 0;
};

// The video format of a stream (8 bits a pixel, one plane).
struct VideoFormat {
    int32_t width = 0;
    int32_t height = 0;
    uint16_t bitCount = 8;
    uint32_t imageSize = 0;        // bytes of one image; the client's read buffers hold this much
    int64_t avgTimePerFrame = 0;   // 100 ns units
    uint32_t bitRate = 0;
};

// One data range of the stream, in capability order: 0 full, 1 mode 1 (roll), 2 mode 2 (preview).
struct StreamCapability {
    VideoFormat format;
    uint32_t sampleSize = 0;
    int64_t minFrameInterval = 0;
    int64_t maxFrameInterval = 0;
    uint32_t minBitsPerSecond = 0;
    uint32_t maxBitsPerSecond = 0;
};

struct DeviceIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t revision = 0;
    std::string description;  // "Tessik PloverA"
    std::string hardwareId;   // "USB\VID_0547&PID_2150&REV_0000"
    std::string devicePath;   // "\\?\usb#vid_0547&pid_2150#<location>#{imaging}"
};

// What the device initialisation found.
struct ModelInfo {
    int modelType = 0;
    int fullWidth = 0, fullHeight = 0;
    int mode1Width = 0, mode1Height = 0;
    int mode2Width = 0, mode2Height = 0;
    int frameTimeoutMs = 0;
    int powerVariant = 2;
    size_t frameBufferBytes = 0;
    uint8_t header[26] = {};
};

// One read of the stream. The client fills `buffer` (at least the format's image size) and
// `completion`; the driver fills the rest and calls `completion` once.
struct ReadRequest {
    std::vector<uint8_t> buffer;
    std::function<void(ReadRequest&)> completion;

    NTSTATUS status = STATUS_SUCCESS;
    uint32_t dataUsed = 0;  // 0: no new frame in this read
    int32_t width = 0, height = 0;
    int64_t presentationTime = 0;  // 100 ns units, from the stream clock
    int64_t duration = 0;
    uint64_t pictureNumber = 0;
    bool timeValid = false;
};

struct DroppedFrames {
    uint64_t pictureNumber = 0;
    uint64_t dropCount = 0;
    uint32_t averageFrameSize = 0;
};

struct AllocatorFraming {
    uint32_t optionsFlags = 0;
    uint32_t poolType = 0;
    uint32_t frames = 0;
    uint32_t frameSize = 0;
    uint32_t fileAlignment = 0;
};

// Internal state for tests and diagnostics.
struct StreamDiagnostics {
    int transferState = 0;
    bool resync = false;
    int resyncAttempts = 0;
    uint32_t frameBytes = 0;
    uint32_t chunkBytes = 0;
    uint64_t framesHandedOut = 0;
    uint64_t emptyReads = 0;  // reads completed without a frame (resynchronising, no copy)
    uint64_t resyncRestarts = 0;
    uint64_t pipeResets = 0;
    bool gone = false;
};

class TESSIK_DRIVER_API Device {
public:
    struct Timing {
        uint32_t controlTimeoutMs = 500;       // each USB control request
        uint32_t removalWaitMs = 3000;         // surprise removal waits this long for the reads
        uint32_t defaultFrameTimeoutMs = 3000; // when the device reports 0
    };

    static std::shared_ptr<Device> Create(std::shared_ptr<platform::usb::Transport> usb, Timing timing);
    static std::shared_ptr<Device> Create(std::shared_ptr<platform::usb::Transport> usb);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Adapter requests. Requests are handled one at a time.
    NTSTATUS Initialize();                 // 0x107
    NTSTATUS Uninitialize();               // 0x109
    NTSTATUS SurpriseRemoval();            // 0x10E
    NTSTATUS ChangePowerState(int state);  // 0x108
    NTSTATUS HandleAdapterRequest(uint32_t code);  // requests without data (0x10B, 0x10D, others)

    DeviceIdentity Identity() const;
    ModelInfo Model() const;

    std::vector<StreamCapability> StreamCapabilities() const;  // 0x100
    // 0x10C: the format for a requested range; with bufferSize 4 only `requiredSize` is given.
    NTSTATUS DataIntersection(int streamNumber, const StreamCapability& requested, size_t bufferSize,
                              VideoFormat* result, size_t* requiredSize) const;

    // 0x105 / 0x106.
    NTSTATUS GetProperty(PropertySet set, uint32_t id, PropertyData& data);
    NTSTATUS SetProperty(PropertySet set, uint32_t id, const PropertyData& data);
    NTSTATUS GetPropertyRange(PropertySet set, uint32_t id, PropertyRange& range) const;

    // Stream 0.
    NTSTATUS OpenStream(int streamNumber, const VideoFormat& format);  // 0x101
    NTSTATUS CloseStream();                                             // 0x102
    NTSTATUS SetStreamState(KsState state);
    NTSTATUS GetStreamState(KsState& state) const;
    NTSTATUS GetDroppedFrames(DroppedFrames& out);        // stream property
    NTSTATUS GetAllocatorFraming(AllocatorFraming& out);  // stream property
    NTSTATUS SetClock(std::function<int64_t()> clock);    // master clock, 100 ns units; empty: none
    NTSTATUS ProposeDataFormat(const VideoFormat& format) const;
    NTSTATUS SetDataFormat(const VideoFormat& format);
    NTSTATUS SubmitRead(const std::shared_ptr<ReadRequest>& read);
    NTSTATUS CancelRead(const std::shared_ptr<ReadRequest>& read);

    // Called once, on a transport thread, when the device is removed.
    void SetRemovalCallback(std::function<void()> callback);
    bool IsGone() const;

    StreamDiagnostics Diagnostics() const;

    struct Impl;

private:
    explicit Device(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

// The devices on a USB bus, each initialised as it arrives and removed as it leaves.
class TESSIK_DRIVER_API DeviceManager {
public:
    explicit DeviceManager(std::shared_ptr<platform::usb::Bus> bus, Device::Timing timing = {});
    ~DeviceManager();

    // The bus named by TESSIK_USB: "sim:<scenario>" or a scenario file path. Unset or empty:
    // an empty bus. Returns null with `error` set when the selection cannot be opened.
    static std::shared_ptr<DeviceManager> FromEnvironment(std::string* error, Device::Timing timing = {});
    static std::shared_ptr<platform::usb::Bus> OpenBus(const std::string& selector, std::string* error);

    std::vector<std::shared_ptr<Device>> Devices();
    std::shared_ptr<platform::usb::Bus> Bus() const { return bus_; }

    // Called with (device, true) when a device arrives and (device, false) when it leaves.
    void SetChangeHandler(std::function<void(std::shared_ptr<Device>, bool)> handler);

private:
    struct State;
    std::shared_ptr<platform::usb::Bus> bus_;
    std::shared_ptr<State> state_;
};

// A frame handed to a FrameStream client.
struct Frame {
    double sampleTime = 0;  // seconds since the stream started
    const uint8_t* data = nullptr;
    size_t length = 0;
    int width = 0, height = 0;
    uint64_t sequence = 0;  // frames delivered by this stream so far, from 0
};

// A client of one device's stream: sets FrameSizeMode, opens the stream with a capability's
// format, runs it, keeps reads queued and calls back for every frame with data, on its own
// thread. Reads that come back without a frame are not passed on. The frame and end callbacks
// may use the device's properties but must not stop the stream themselves.
class TESSIK_DRIVER_API FrameStream {
public:
    using FrameCallback = std::function<void(const Frame&)>;

    explicit FrameStream(std::shared_ptr<Device> device);
    ~FrameStream();
    FrameStream(const FrameStream&) = delete;
    FrameStream& operator=(const FrameStream&) = delete;

    NTSTATUS Start(size_t capabilityIndex, int frameSizeMode, FrameCallback callback, int queuedReads = 2);
    NTSTATUS Stop();
    bool Running() const;

    // Called once when the stream ends by itself (device removed or the transfer failed).
    void SetEndCallback(std::function<void()> callback);

    struct Stats {
        uint64_t frames = 0;
        uint64_t emptyReads = 0;
        uint64_t cancelledReads = 0;
    };
    Stats GetStats() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace tessik::driver
