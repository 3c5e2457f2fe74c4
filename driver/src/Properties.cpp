// Video-processing and camera-control properties, mapped onto the device's vendor requests.

#include <algorithm>

#include "DeviceImpl.h"
#include "platform/TessikUsbProtocol.h"

namespace tessik::driver {

namespace proto = platform::usb::tessik;

namespace {

enum class SetKind {
    Send,          // always sent
    SendUnlessResync,
    StoredOnly,
    Nothing,
    FrameSizeMode,
};

enum class GetKind {
    NoValue,             // the value field stays as the caller sent it
    ShadowDuringResync,  // read unless resynchronising, answered from the shadow
    AlwaysRead,
    ExposureShadow,      // id 21: read into the exposure shadow
    LedStatus,           // id 23: read into the LED status buffer
};

struct PropertyRow {
    uint32_t id;
    int64_t minimum, maximum, defaultValue;
    bool hasRange;
    int valueBits;  // 32, 16 or 8: how much of the value field a set takes
    SetKind set;
    uint8_t setRequest;
    uint8_t setBytes;
    GetKind get;
    uint8_t getRequest;
    uint8_t getBytes;
};

// In the order of the driver's property table.
constexpr PropertyRow kVideoProcTable[] = {
    {1, 0, 255, 0, true, 32, SetKind::SendUnlessResync, proto::kReqSetContrast, 1, GetKind::ShadowDuringResync,
     proto::kReqGetContrast, 1},
    {0, 0, 255, 40, true, 32, SetKind::SendUnlessResync, proto::kReqSetBrightness, 1, GetKind::ShadowDuringResync,
     proto::kReqGetBrightness, 1},
    {10, 0, 1, 1, true, 8, SetKind::StoredOnly, 0, 0, GetKind::ShadowDuringResync, proto::kReqGet10, 1},
    {11, 0, 255, 0, true, 8, SetKind::Send, proto::kReqLedGroup1, 1, GetKind::NoValue, 0, 0},
    {12, 0, 255, 0, true, 8, SetKind::Send, proto::kReqLedGroup0, 1, GetKind::NoValue, 0, 0},
    {13, 0, 255, 0, true, 8, SetKind::Send, proto::kReqBeeper, 1, GetKind::NoValue, 0, 0},
    {15, 0, 65535, 0, true, 16, SetKind::Nothing, 0, 0, GetKind::ShadowDuringResync, proto::kReqGet15, 2},
    {16, 0, 255, 0, true, 8, SetKind::Nothing, 0, 0, GetKind::ShadowDuringResync, proto::kReqGetKeys, 1},
    {17, 0, 65535, 0, true, 16, SetKind::SendUnlessResync, proto::kReqSet17, 2, GetKind::NoValue, 0, 0},
    {18, 0, 0xFFFFFFFFll, 0, true, 32, SetKind::SendUnlessResync, proto::kReqSet18, 4, GetKind::AlwaysRead, proto::kReqGet18,
     4},
    {24, 0, 0xFFFFFFFFll, 0, true, 32, SetKind::Send, proto::kReqSetSensorType, 4, GetKind::AlwaysRead,
     proto::kReqGetSensorType, 4},
    {19, 0, 65535, 0, true, 16, SetKind::SendUnlessResync, proto::kReqSet19, 2, GetKind::NoValue, 0, 0},
    {14, 0, 255, 0, true, 8, SetKind::SendUnlessResync, proto::kReqSet14, 1, GetKind::NoValue, 0, 0},
    {20, 0, 0, 0, false, 8, SetKind::FrameSizeMode, 0, 0, GetKind::NoValue, 0, 0},
    {21, 0, 65535, 0, true, 16, SetKind::SendUnlessResync, proto::kReqSet21, 2, GetKind::ExposureShadow,
     proto::kReqGetExposure, 2},
    {23, 0, 65535, 0, true, 16, SetKind::Send, proto::kReqSetLed, 2, GetKind::LedStatus, proto::kReqGetLedStatus, 7},
    {22, 0, 255, 0, true, 8, SetKind::Send, proto::kReqSet22, 1, GetKind::AlwaysRead, proto::kReqGet22, 1},
};

const PropertyRow* FindRow(uint32_t id) {
    for (const auto& r : kVideoProcTable)
        if (r.id == id) return &r;
    return nullptr;
}

int64_t Narrow(int64_t v, int bits) {
    if (bits == 8) return v & 0xFF;
    if (bits == 16) return v & 0xFFFF;
    return v & 0xFFFFFFFFll;
}

int64_t FromLe(const uint8_t* p, int n) {
    int64_t v = 0;
    for (int i = 0; i < n; ++i) v |= int64_t(p[i]) << (8 * i);
    return v;
}

}  // namespace

NTSTATUS Device::Impl::SetPropertyLocked(PropertySet set, uint32_t id, const PropertyData& data) {
    if (set == PropertySet::Other) return STATUS_NOT_IMPLEMENTED;
    // A device that is gone answers nothing: the capture libraries take a failure as the sign.
    if (gone || removed || !started) return STATUS_DEVICE_DATA_ERROR;
    if (set == PropertySet::CameraControl) {
        if (id != kCameraControlExposure) return STATUS_SUCCESS;  // other ids are ignored
        uint8_t byte;
        {
            std::lock_guard lock(shadowMutex);
            exposure = Narrow(data.value, 32);
            exposureFlags = data.flags;
            byte = uint8_t(exposure);
        }
        // The device's answer is not the caller's concern: the value is stored either way.
        if (!resync) VendorWrite(proto::kReqSetExposure, &byte, 1);
        return STATUS_SUCCESS;
    }
    const PropertyRow* row = FindRow(id);
    if (!row) return STATUS_NOT_FOUND;
    const int64_t value = Narrow(data.value, row->valueBits);
    {
        std::lock_guard lock(shadowMutex);
        shadow[id] = value;
        if (id == kVideoProcBrightness || id == kVideoProcContrast) shadowFlags[id] = data.flags;
    }
    switch (row->set) {
        case SetKind::StoredOnly:
        case SetKind::Nothing:
            return STATUS_SUCCESS;
        case SetKind::FrameSizeMode:
            frameSizeMode = uint8_t(value);
            frameSizeModeSet = true;
            return STATUS_SUCCESS;
        case SetKind::SendUnlessResync:
            if (resync) return STATUS_SUCCESS;
            [[fallthrough]];
        case SetKind::Send: {
            uint8_t bytes[4];
            for (int i = 0; i < 4; ++i) bytes[i] = uint8_t(value >> (8 * i));
            // A failed or timed-out request leaves the stored value and is not reported: one lost
            // request must not fail the client's initialisation.
            VendorWrite(row->setRequest, bytes, row->setBytes);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS Device::Impl::GetPropertyLocked(PropertySet set, uint32_t id, PropertyData& data) {
    if (set == PropertySet::Other) return STATUS_NOT_IMPLEMENTED;
    if (gone || removed || !started) return STATUS_DEVICE_DATA_ERROR;
    if (set == PropertySet::CameraControl) {
        if (id != kCameraControlExposure) return STATUS_NOT_FOUND;
        if (!resync) {
            uint8_t byte = 0;
            if (NT_SUCCESS(VendorRead(proto::kReqGetExposure, &byte, 1))) {
                std::lock_guard lock(shadowMutex);
                exposure = byte;
            }
        }
        std::lock_guard lock(shadowMutex);
        data.value = exposure;
        data.flags = exposureFlags;
        data.capabilities = kFlagAuto | kFlagManual;
        return STATUS_SUCCESS;
    }
    const PropertyRow* row = FindRow(id);
    if (!row) return STATUS_NOT_FOUND;
    uint8_t bytes[8] = {};
    switch (row->get) {
        case GetKind::NoValue:
            return STATUS_SUCCESS;
        case GetKind::ShadowDuringResync:
        case GetKind::AlwaysRead:
            if (row->get == GetKind::AlwaysRead || !resync) {
                if (NT_SUCCESS(VendorRead(row->getRequest, bytes, row->getBytes))) {
                    std::lock_guard lock(shadowMutex);
                    shadow[id] = FromLe(bytes, row->getBytes);
                }
            }
            break;
        case GetKind::ExposureShadow:
            if (NT_SUCCESS(VendorRead(row->getRequest, bytes, row->getBytes))) {
                std::lock_guard lock(shadowMutex);
                exposure = FromLe(bytes, row->getBytes);
            }
            {
                std::lock_guard lock(shadowMutex);
                data.value = exposure;
            }
            return STATUS_SUCCESS;
        case GetKind::LedStatus: {
            std::array<uint8_t, 7> status{};
            const bool ok = NT_SUCCESS(VendorRead(row->getRequest, status.data(), row->getBytes));
            std::lock_guard lock(shadowMutex);
            ledStatus = ok ? status : std::array<uint8_t, 7>{};
            ledStatusRead = true;
            return STATUS_SUCCESS;
        }
    }
    std::lock_guard lock(shadowMutex);
    data.value = shadow[id];
    if (id == kVideoProcBrightness || id == kVideoProcContrast) {
        data.flags = shadowFlags[id];
        data.capabilities = kFlagAuto | kFlagManual;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Device::GetProperty(PropertySet set, uint32_t id, PropertyData& data) {
    std::lock_guard lock(impl_->adapterMutex);
    return impl_->GetPropertyLocked(set, id, data);
}

NTSTATUS Device::SetProperty(PropertySet set, uint32_t id, const PropertyData& data) {
    std::lock_guard lock(impl_->adapterMutex);
    return impl_->SetPropertyLocked(set, id, data);
}

NTSTATUS Device::GetPropertyRange(PropertySet set, uint32_t id, PropertyRange& range) const {
    if (set == PropertySet::CameraControl) {
        if (id != kCameraControlExposure) return STATUS_NOT_FOUND;
        range = {0, 255, 1, 40};
        return STATUS_SUCCESS;
    }
    if (set != PropertySet::VideoProcAmp) return STATUS_NOT_IMPLEMENTED;
    const PropertyRow* row = FindRow(id);
    if (!row || !row->hasRange) return STATUS_NOT_FOUND;
    range = {row->minimum, row->maximum, 1, row->defaultValue};
    return STATUS_SUCCESS;
}

}  // namespace tessik::driver
