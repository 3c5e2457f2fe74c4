#pragma once
// The IEEE 1394 camera interface under the video-capture layer: the FireWire scanners are no USB
// devices and do not go through the camera driver; the video-capture layer talks to them directly.
// Backends: the simulated cameras in sim/.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::firewire {

struct FrameSize {
    int width = 0;
    int height = 0;
};

class Camera {
public:
    virtual ~Camera() = default;

    // Identity: the hardware id the capture libraries match ("KestrelB-Firewire"), the description
    // and a stable text naming where the camera sits.
    virtual std::string HardwareId() const = 0;
    virtual std::string Description() const = 0;
    virtual std::string Location() const = 0;

    // Frame sizes of FrameSizeMode 0 (full), 1 (roll) and 2 (preview), in that order.
    virtual std::vector<FrameSize> Sizes() const = 0;

    // Streams frames of the mode's size to `frame` on a camera thread until Stop. False when the
    // camera is gone or already streaming.
    using FrameHandler = std::function<void(const uint8_t* data, size_t length, int width, int height)>;
    virtual bool Start(int frameSizeMode, FrameHandler frame) = 0;
    // Returns once no frame call is in progress; no call follows.
    virtual void Stop() = 0;

    // Camera registers by the video-processing ids of the USB scanners (0 brightness, 1 contrast,
    // 11 to 13 LEDs and beeper, 16 keys) and 4 for the exposure. False when the camera is gone or
    // has no such register.
    virtual bool SetRegister(long id, long value) = 0;
    virtual bool GetRegister(long id, long* value) = 0;

    virtual bool IsAttached() const = 0;
};

// The cameras on the FireWire bus.
class Bus {
public:
    virtual ~Bus() = default;
    virtual std::vector<std::shared_ptr<Camera>> Cameras() = 0;
};

}  // namespace platform::firewire
