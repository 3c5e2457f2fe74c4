#pragma once
// The callback interface of the video-capture layer's sample grabber: the object the capture code
// registers to receive each frame on the streaming thread. Kept apart from VideoCapture.h so that
// code implementing a callback needs nothing of the driver.

#include <cstdint>

#include "platform/Guid.h"

namespace platform::video {

using HRESULT = int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = int32_t(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = int32_t(0x80004002);
inline constexpr HRESULT E_POINTER = int32_t(0x80004003);
inline constexpr HRESULT E_FAIL = int32_t(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = int32_t(0x8000FFFF);
inline constexpr HRESULT E_OUTOFMEMORY = int32_t(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = int32_t(0x80070057);
inline constexpr HRESULT CO_E_NOTINITIALIZED = int32_t(0x800401F0);

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// Interface identifiers answered by QueryInterface.
inline constexpr Guid IID_IUnknown = {0x7E55A000, 0x0000, 0x4000, {0x80, 0x00, 0x54, 0x45, 0x53, 0x53, 0x49, 0x4B}};
inline constexpr Guid IID_ISampleGrabberCB = {0x7E55A001, 0x0000, 0x4000, {0x80, 0x00, 0x54, 0x45, 0x53, 0x53, 0x49, 0x4B}};

// One sample as SampleCB sees it. The buffer is valid during the call.
struct MediaSample {
    double time = 0;           // seconds since the stream started
    uint8_t* buffer = nullptr;
    long length = 0;
};

// Registered with SampleGrabber::SetCallback. The grabber calls AddRef when it takes the object
// and Release when it lets go of it; what they do is the object's business.
class SampleGrabberCB {
public:
    virtual HRESULT QueryInterface(const Guid& iid, void** object) = 0;
    virtual unsigned long AddRef() = 0;
    virtual unsigned long Release() = 0;
    // Mode 0: the sample.
    virtual HRESULT SampleCB(double sampleTime, MediaSample* sample) = 0;
    // Mode 1: the sample's time, bytes and length. The buffer is writable and is the callee's
    // until it returns.
    virtual HRESULT BufferCB(double sampleTime, uint8_t* buffer, long length) = 0;

protected:
    ~SampleGrabberCB() = default;
};

}  // namespace platform::video
