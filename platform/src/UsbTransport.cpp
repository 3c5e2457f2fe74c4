#include "platform/UsbTransport.h"

namespace platform::usb {

const char* ToString(TransferStatus status) {
    switch (status) {
        case TransferStatus::Success: return "success";
        case TransferStatus::Cancelled: return "cancelled";
        case TransferStatus::Timeout: return "time-out";
        case TransferStatus::Stall: return "stall";
        case TransferStatus::NoDevice: return "no device";
        case TransferStatus::Error: return "error";
    }
    return "unknown";
}

}  // namespace platform::usb
