#pragma once
// CSampleGrabberBase: the sample-grabber callback object of both capture libraries. The capture
// object embeds one, stores its frame function in it right before registering it with the grabber
// for buffer callbacks, and from then on every frame reaches that function on the camera's
// streaming thread with the sample time, the frame bytes and their length.
//
// There is no reference counting: the object lives and dies with the capture object that embeds
// it (AddRef answers 2 and Release 1 and neither does anything).

#include <atomic>
#include <cstdint>

#include "platform/SampleGrabberCallback.h"

class CSampleGrabberBase : public platform::video::SampleGrabberCB {
public:
    using HRESULT = platform::video::HRESULT;
    // The frame function: (sample time in seconds, frame bytes, length) -> result.
    using BufferFunction = HRESULT (*)(double sampleTime, uint8_t* buffer, long length);

    CSampleGrabberBase() = default;
    CSampleGrabberBase(const CSampleGrabberBase&) = delete;
    CSampleGrabberBase& operator=(const CSampleGrabberBase&) = delete;
    virtual ~CSampleGrabberBase() = default;

    // The grabber callback interface and the base interface answer with this object.
    HRESULT QueryInterface(const platform::Guid& iid, void** object) override;
    unsigned long AddRef() override { return 2; }
    unsigned long Release() override { return 1; }
    // Not registered: whole samples are not used.
    HRESULT SampleCB(double, platform::video::MediaSample*) override { return platform::video::S_OK; }
    // Forwards its arguments unchanged to the frame function and returns that function's result.
    // Without a frame function the frame is not taken (E_FAIL).
    HRESULT BufferCB(double sampleTime, uint8_t* buffer, long length) override;

    void SetBufferFunction(BufferFunction function) { function_.store(function); }
    BufferFunction GetBufferFunction() const { return function_.load(); }

private:
    // Set on the caller's thread, read on the streaming thread.
    std::atomic<BufferFunction> function_{nullptr};
};
