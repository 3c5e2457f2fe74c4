#pragma once
// The USB transport under the camera driver: control and bulk IN transfers as objects that are
// submitted, cancelled and completed, a bus that lists the attached devices, and removal notices.
// Backends: the simulated bus (tests and demo); real hardware may follow.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::usb {

// bmRequestType bits.
inline constexpr uint8_t kDirIn = 0x80;
inline constexpr uint8_t kTypeStandard = 0x00;
inline constexpr uint8_t kTypeVendor = 0x40;
inline constexpr uint8_t kRecipientDevice = 0x00;
inline constexpr uint8_t kRecipientEndpoint = 0x02;

// Standard requests the driver uses.
inline constexpr uint8_t kRequestClearFeature = 0x01;
inline constexpr uint8_t kRequestGetDescriptor = 0x06;
inline constexpr uint8_t kRequestSetConfiguration = 0x09;
inline constexpr uint8_t kDescriptorDevice = 1;
inline constexpr uint8_t kDescriptorConfiguration = 2;
inline constexpr uint8_t kDescriptorInterface = 4;
inline constexpr uint8_t kDescriptorEndpoint = 5;
inline constexpr uint16_t kFeatureEndpointHalt = 0;

enum class TransferStatus {
    Success,
    Cancelled,
    Timeout,
    Stall,
    NoDevice,  // the device was unplugged
    Error,
};

const char* ToString(TransferStatus status);

struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;  // data stage length; the data is Transfer::buffer
};

enum class TransferKind { Control, BulkIn };

// One request block. The submitter owns the buffer and keeps it (and the transfer) alive until
// the completion has run. The completion runs exactly once per accepted submission, on a
// transport thread, never inside Submit.
class Transfer {
public:
    using Completion = std::function<void(Transfer&)>;

    TransferKind kind = TransferKind::Control;
    SetupPacket setup;          // control transfers
    uint8_t endpoint = 0;       // bulk transfers
    uint8_t* buffer = nullptr;  // data stage or bulk data
    uint32_t length = 0;        // bytes asked for (bulk) or data stage length (control)
    bool allowShort = true;     // a bulk read may end early on a short packet

    // Results, valid in the completion.
    uint32_t actualLength = 0;
    TransferStatus status = TransferStatus::Success;

    Completion completion;

    // Transport bookkeeping: set while the transfer is submitted and not yet completed.
    std::atomic<bool> pending{false};
};

// One attached device. Every call is thread-safe.
class Transport {
public:
    virtual ~Transport() = default;

    // Queues the transfer. Success: the completion will run. Anything else: the transfer was not
    // accepted and no completion runs (NoDevice after removal).
    virtual TransferStatus Submit(const std::shared_ptr<Transfer>& transfer) = 0;

    // Asks for a pending transfer to end; its completion then reports Cancelled (or its real
    // result when it finished first). Does nothing for a transfer that is not pending.
    virtual void Cancel(const std::shared_ptr<Transfer>& transfer) = 0;

    // Called once when the device is unplugged, after every pending transfer has completed with
    // NoDevice, on a transport thread. The handler must not wait for transfers of this device.
    virtual void SetRemovalHandler(std::function<void()> handler) = 0;

    virtual bool IsAttached() const = 0;

    // Stable text naming where the device sits (used in device paths).
    virtual std::string Location() const = 0;
};

// The devices on the bus and their arrivals and removals.
class Bus {
public:
    virtual ~Bus() = default;
    virtual std::vector<std::shared_ptr<Transport>> Devices() = 0;
    // Called with (device, true) on arrival and (device, false) on removal, on a bus thread.
    virtual void SetChangeHandler(std::function<void(std::shared_ptr<Transport>, bool)> handler) = 0;
};

}  // namespace platform::usb
