#pragma once
// The iris device as the core object drives it: a device object (channels, Arrival body, lock)
// that also calibrates the LED level of its two cameras. The iris device object derives from it;
// the core object makes it through an IrisDeviceKind, so that the core's iris side (detection,
// add, remove, calibration, reports) runs over the iris function table whatever object serves
// the captures.

#include <functional>
#include <memory>
#include <string>

#include "device/BaseDevice.h"

class CIrisDeviceBase : public CBaseDevice {
public:
    using CBaseDevice::CBaseDevice;
    // Calibrates both cameras (the core's irisCalibrating word is set while it runs): 1 success,
    // 0 failure.
    virtual int CalibrateDevice() = 0;
};

// How the core object makes its iris device and the iris preview buffers. An empty `create`
// means that the program has no iris device object: a found iris unit then fails to be added.
struct IrisDeviceKind {
    std::function<std::unique_ptr<CIrisDeviceBase>(const std::string& vdmName, CBaseNavikVdm* owner)> create;
    std::function<int()> allocatePreviewBuffers;  // 1 ready, 0 failed; empty: nothing to prepare
    std::function<void()> freePreviewBuffers;     // empty: nothing to free
};
