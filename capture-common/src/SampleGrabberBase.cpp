#include "zarn/SampleGrabberBase.h"

using namespace platform::video;

HRESULT CSampleGrabberBase::QueryInterface(const platform::Guid& iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_ISampleGrabberCB || iid == IID_IUnknown) {
        *object = static_cast<SampleGrabberCB*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT CSampleGrabberBase::BufferCB(double sampleTime, uint8_t* buffer, long length) {
    const BufferFunction function = function_.load();
    if (!function) return E_FAIL;
    return function(sampleTime, buffer, length);
}
