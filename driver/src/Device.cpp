// Device initialisation, the model table, removal and power, and the USB request helpers.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "DeviceImpl.h"
#include "platform/TessikUsbProtocol.h"

namespace tessik::driver {

namespace proto = platform::usb::tessik;

namespace {

struct ModelRow {
    uint16_t productId;
    int type;
    int fullW, fullH, mode1W, mode1H, mode2W, mode2H;
};

// Products with fixed sizes; any other product takes its sizes from its device report.
constexpr ModelRow kModelTable[] = {
    {0x2100, 7, 640, 480, 640, 480, 640, 480},
    {0x2102, 6, 640, 480, 640, 480, 640, 480},
    {0x2110, 10, 1600, 1200, 1600, 1200, 1600, 1200},
    {0x2111, 5, 1600, 1200, 1600, 1200, 768, 600},
    {0x2112, 11, 1600, 1200, 1600, 1200, 1600, 1200},
    {0x2120, 3, 1600, 1200, 1600, 1200, 1600, 1200},
    {0x2130, 0, 2944, 1840, 1408, 880, 1472, 920},
    {0x2140, 2, 1600, 1200, 1600, 1200, 1600, 1200},
    {0x2141, 9, 1600, 1200, 1600, 1200, 1600, 1200},
    {0x2150, 1, 2944, 1840, 1408, 880, 1472, 920},
    {0x2160, 4, 1600, 1200, 1600, 1200, 1600, 1200},
    {0x2170, 8, 2912, 4512, 832, 1552, 1456, 1504},
};

// Products 0x2100 to 0x2170 select a row; 0x2170 itself is the last row of the table.
const ModelRow* FindRow(uint16_t pid) {
    if (uint16_t(pid - 0x2100) > 0x70) return nullptr;
    for (const auto& r : kModelTable)
        if (r.productId == pid) return &r;
    return nullptr;
}

// The description each product is installed under, one per product id: later revisions of a
// product (PloverE under PloverA, TanagerB, LinnetB) keep it, and the capture libraries tell them
// apart by the revision in the hardware id.
struct DescriptionRow {
    uint16_t productId;
    const char* name;
};

constexpr DescriptionRow kDescriptions[] = {
    {0x2100, "Tessik SiskinB"},
    {0x2102, "Tessik SiskinA"},
    {0x2113, "Tessik Iris"},
    {0x2120, "Tessik TanagerA"},
    {0x2130, "Tessik PloverB"},
    {0x2140, "Tessik LinnetA"},
    {0x2141, "Tessik Finch"},
    {0x2150, "Tessik PloverA"},
    {0x2158, "Tessik KestrelB (TP)"},
    {0x2160, "Tessik VireoA"},
    {0x2161, "Tessik VireoB"},
    {0x2170, "Tessik PloverC"},
};

std::mutex g_rangeMutex;
struct Largest {
    size_t bytes = 0;
    int fullW = 2944, fullH = 1840, mode1W = 1408, mode1H = 880, mode2W = 1472, mode2H = 920;
} g_largest;
// Devices initialised and not yet uninitialised. The largest-frame record belongs to the driver
// while it has devices: when the last one leaves, the driver is done (a kernel driver would be
// unloaded), and the next device starts from the static ranges again rather than inheriting the
// sizes of scanners that are long gone.
int g_liveDevices = 0;

StreamCapability MakeRange(int w, int h) {
    StreamCapability c;
    const uint32_t sample = uint32_t(w) * uint32_t(h);
    c.sampleSize = sample;
    c.format.width = w;
    c.format.height = h;
    c.format.bitCount = 8;
    c.format.imageSize = sample;
    c.format.avgTimePerFrame = 100000;
    c.format.bitRate = 10 * sample;
    c.minFrameInterval = 1000000;
    c.maxFrameInterval = 640000000;
    c.minBitsPerSecond = 8 * sample;
    c.maxBitsPerSecond = 80 * sample;
    return c;
}

NTSTATUS FromTransfer(usb::TransferStatus s) {
    switch (s) {
        case usb::TransferStatus::Success: return STATUS_SUCCESS;
        case usb::TransferStatus::Cancelled: return STATUS_CANCELLED;
        case usb::TransferStatus::Timeout: return STATUS_IO_TIMEOUT;
        case usb::TransferStatus::NoDevice: return STATUS_DEVICE_NOT_CONNECTED;
        case usb::TransferStatus::Stall:
        case usb::TransferStatus::Error: return STATUS_UNSUCCESSFUL;
    }
    return STATUS_UNSUCCESSFUL;
}

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

}  // namespace

std::vector<StreamCapability> CurrentRanges() {
    std::lock_guard lock(g_rangeMutex);
    // Capability order the capture libraries rely on: full, mode 1 (roll), mode 2 (preview).
    return {MakeRange(g_largest.fullW, g_largest.fullH), MakeRange(g_largest.mode1W, g_largest.mode1H),
            MakeRange(g_largest.mode2W, g_largest.mode2H)};
}

void RecordFrameSizes(int fullW, int fullH, int mode1W, int mode1H, int mode2W, int mode2H) {
    std::lock_guard lock(g_rangeMutex);
    const size_t bytes = size_t(fullW) * size_t(fullH);
    if (bytes > g_largest.bytes) g_largest = {bytes, fullW, fullH, mode1W, mode1H, mode2W, mode2H};
}

size_t LargestFrameBytes() {
    std::lock_guard lock(g_rangeMutex);
    return g_largest.bytes;
}

void DeviceCameUp() {
    std::lock_guard lock(g_rangeMutex);
    ++g_liveDevices;
}

void DeviceWentDown() {
    std::lock_guard lock(g_rangeMutex);
    if (g_liveDevices > 0 && --g_liveDevices == 0) g_largest = Largest{};
}

// ---- USB helpers ---------------------------------------------------------------------------

NTSTATUS Device::Impl::Control(const usb::SetupPacket& setup, uint8_t* data, uint32_t* actual, bool serialise) {
    std::unique_lock<std::mutex> lock(requestMutex, std::defer_lock);
    if (serialise) lock.lock();
    if (!started || gone) return STATUS_DEVICE_DATA_ERROR;

    // The transfer owns its data stage, so a late completion never writes into a caller's frame.
    struct Pending {
        platform::Event done{true, false};
        std::vector<uint8_t> data;
    };
    auto pending = std::make_shared<Pending>();
    pending->data.assign(setup.length, 0);
    const bool in = setup.requestType & usb::kDirIn;
    if (!in && setup.length && data) std::memcpy(pending->data.data(), data, setup.length);
    auto t = std::make_shared<usb::Transfer>();
    t->kind = usb::TransferKind::Control;
    t->setup = setup;
    t->buffer = pending->data.data();
    t->length = setup.length;
    t->completion = [pending](usb::Transfer&) { pending->done.Set(); };
    const usb::TransferStatus submitted = usb->Submit(t);
    if (submitted != usb::TransferStatus::Success) return STATUS_DEVICE_DATA_ERROR;
    if (!pending->done.Wait(timing.controlTimeoutMs)) {
        usb->Cancel(t);
        pending->done.Wait(std::max<uint32_t>(timing.controlTimeoutMs, 100));
        return STATUS_IO_TIMEOUT;
    }
    const NTSTATUS status = FromTransfer(t->status);
    if (actual) *actual = t->actualLength;
    if (in && data && NT_SUCCESS(status)) std::memcpy(data, pending->data.data(), std::min<uint32_t>(t->actualLength, setup.length));
    return status;
}

NTSTATUS Device::Impl::VendorCommand(uint8_t request) {
    return Control({usb::kTypeVendor | usb::kRecipientDevice, request, 0, 0, 0}, nullptr, nullptr);
}

NTSTATUS Device::Impl::VendorRead(uint8_t request, uint8_t* buffer, uint16_t length) {
    return Control({usb::kDirIn | usb::kTypeVendor | usb::kRecipientDevice, request, 0, 0, length}, buffer, nullptr);
}

NTSTATUS Device::Impl::VendorWrite(uint8_t request, const uint8_t* buffer, uint16_t length) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (int attempt = 0; attempt < 3; ++attempt) {
        status = Control({usb::kTypeVendor | usb::kRecipientEndpoint, request, 0, 0, length}, const_cast<uint8_t*>(buffer),
                         nullptr);
        if (NT_SUCCESS(status) || status == STATUS_DEVICE_DATA_ERROR) break;
    }
    return status;
}

NTSTATUS Device::Impl::ResetPipe() {
    ++pipeResets;
    return Control({usb::kTypeStandard | usb::kRecipientEndpoint, usb::kRequestClearFeature, usb::kFeatureEndpointHalt,
                    bulkEndpoint, 0},
                   nullptr, nullptr, /*serialise=*/false);
}

// ---- Initialisation ------------------------------------------------------------------------

void Device::Impl::ApplyModelTable(bool reportValid, const uint16_t* report) {
    if (vendorId != proto::kVendorId && vendorId != proto::kVendorIdAlt) {
        fullW = fullH = 0;  // never run
    } else if (const ModelRow* row = FindRow(productId)) {
        modelType = row->type;
        fullW = row->fullW, fullH = row->fullH;
        mode1W = row->mode1W, mode1H = row->mode1H;
        mode2W = row->mode2W, mode2H = row->mode2H;
    } else if (reportValid) {
        modelType = report[proto::kReportModelType];
        fullW = report[proto::kReportFullWidth], fullH = report[proto::kReportFullHeight];
        mode2W = report[proto::kReportMode2Width], mode2H = report[proto::kReportMode2Height];
        mode1W = report[proto::kReportMode1Width], mode1H = report[proto::kReportMode1Height];
    } else {
        fullW = fullH = 0;  // a device without a usable report is never run
    }
    if (fullW > 0 && fullH > 0) RecordFrameSizes(fullW, fullH, mode1W, mode1H, mode2W, mode2H);
    frameBuffer.assign(2 * std::max<size_t>(LargestFrameBytes(), size_t(fullW) * size_t(fullH)), 0);
}

namespace {

// The report sizes buffers, so it is checked before use: sizes present and at most the full
// size, every divisor at least 3 (so both halves of the double buffer see a whole frame) and
// dividing its frame, and a model type of its own (types up to 11 have fixed sizes).
bool ReportIsUsable(const uint16_t* r) {
    const int w[3] = {r[proto::kReportFullWidth], r[proto::kReportMode1Width], r[proto::kReportMode2Width]};
    const int h[3] = {r[proto::kReportFullHeight], r[proto::kReportMode1Height], r[proto::kReportMode2Height]};
    const int d[3] = {r[proto::kReportFullDivisor], r[proto::kReportMode1Divisor], r[proto::kReportMode2Divisor]};
    if (r[proto::kReportModelType] <= 11) return false;
    const size_t full = size_t(w[0]) * size_t(h[0]);
    for (int i = 0; i < 3; ++i) {
        const size_t bytes = size_t(w[i]) * size_t(h[i]);
        if (w[i] == 0 || h[i] == 0 || bytes > full || d[i] < 3 || bytes % size_t(d[i]) != 0) return false;
    }
    return true;
}

}  // namespace

NTSTATUS Device::Impl::InitializeLocked() {
    if (++openCount == 1) DeviceCameUp();
    started = true;
    gone = false;
    removed = false;
    frameSizeModeSet = false;
    ledStatusRead = false;
    for (auto& r : reads)
        if (!r) r = std::make_shared<usb::Transfer>();

    // Device and configuration descriptors.
    uint8_t dd[18] = {};
    uint32_t got = 0;
    NTSTATUS status = Control({usb::kDirIn, usb::kRequestGetDescriptor, uint16_t(usb::kDescriptorDevice << 8), 0, 18}, dd, &got);
    if (!NT_SUCCESS(status) || got < 18) {
        fullW = fullH = 0;
        return NT_SUCCESS(status) ? STATUS_DEVICE_DATA_ERROR : status;
    }
    vendorId = Le16(dd + 8);
    productId = Le16(dd + 10);
    bcdDevice = Le16(dd + 12);

    uint8_t head[9] = {};
    status = Control({usb::kDirIn, usb::kRequestGetDescriptor, uint16_t(usb::kDescriptorConfiguration << 8), 0, 9}, head, &got);
    uint8_t configValue = 1;
    if (NT_SUCCESS(status) && got >= 9) {
        powerVariant = head[8] == 0x32 ? 1 : 2;
        configValue = head[5];
        const uint16_t total = std::min<uint16_t>(Le16(head + 2), 1024);
        std::vector<uint8_t> cfg(total, 0);
        if (total >= 9 &&
            NT_SUCCESS(Control({usb::kDirIn, usb::kRequestGetDescriptor, uint16_t(usb::kDescriptorConfiguration << 8), 0, total},
                               cfg.data(), &got))) {
            // The first bulk IN endpoint of the first interface.
            for (size_t at = 0; at + 2 <= std::min<size_t>(got, cfg.size());) {
                const uint8_t len = cfg[at];
                if (len < 2 || at + len > got) break;
                if (cfg[at + 1] == usb::kDescriptorEndpoint && len >= 7 && (cfg[at + 2] & 0x80) && (cfg[at + 3] & 3) == 2) {
                    bulkEndpoint = cfg[at + 2];
                    break;
                }
                at += len;
            }
        }
    }
    Control({usb::kTypeStandard, usb::kRequestSetConfiguration, configValue, 0, 0}, nullptr, nullptr);

    // Device report.
    uint16_t report[11] = {};
    bool reportValid = false;
    if (productId != 0x2100 && productId != 0x2102) {
        uint8_t raw[proto::kDeviceReportBytes] = {};
        if (NT_SUCCESS(VendorRead(proto::kReqDeviceReport, raw, sizeof raw))) {
            for (int i = 0; i < 11; ++i) report[i] = Le16(raw + 2 * i);
            divFull = report[proto::kReportFullDivisor];
            div2 = report[proto::kReportMode2Divisor];
            div1 = report[proto::kReportMode1Divisor];
            frameTimeoutMs = report[proto::kReportFrameTimeoutMs];
            reportValid = ReportIsUsable(report);
        }
    }
    ApplyModelTable(reportValid, report);

    // Device header.
    header.fill(0);
    if (modelType == 0 || modelType == 1 || modelType == 8 || modelType == 10 || modelType > 14)
        VendorRead(proto::kReqDeviceHeader, header.data(), proto::kDeviceHeaderBytes);
    else
        VendorRead(proto::kReqDeviceHeader, header.data() + 12, 4);

    {
        std::lock_guard lock(shadowMutex);
        shadow.clear();
        shadowFlags.clear();
        shadow[kVideoProcBrightness] = 40;
        shadowFlags[kVideoProcBrightness] = kFlagAuto;
        shadow[kVideoProcContrast] = 0;
        shadowFlags[kVideoProcContrast] = kFlagAuto;
        exposure = 40;
        exposureFlags = kFlagManual;
    }
    header[24] = uint8_t(bcdDevice);
    header[25] = uint8_t(bcdDevice >> 8);

    std::weak_ptr<Impl> weak = weak_from_this();
    usb->SetRemovalHandler([weak] {
        if (auto self = weak.lock()) {
            {
                std::lock_guard lock(self->adapterMutex);
                self->SurpriseRemovalLocked();
            }
            self->NotifyRemoval();
        }
    });
    return STATUS_SUCCESS;
}

NTSTATUS Device::Impl::SurpriseRemovalLocked() {
    stopping = true;
    gone = true;
    removed = true;
    if (readsInFlight) {
        transferState = kTransferStopped;
        readsInFlight = false;
        CancelReads();
        readsFinished.Wait(timing.removalWaitMs);
    }
    frameReady.Set();  // the worker sees the state and ends
    return STATUS_SUCCESS;
}

void Device::Impl::NotifyRemoval() {
    std::function<void()> cb;
    {
        std::lock_guard lock(callbackMutex);
        cb = std::move(removalCallback);
        removalCallback = nullptr;
    }
    if (cb) cb();
}

// ---- Device ---------------------------------------------------------------------------------

Device::Device(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::shared_ptr<Device> Device::Create(std::shared_ptr<usb::Transport> usb, Timing timing) {
    if (!usb) return nullptr;
    return std::shared_ptr<Device>(new Device(std::make_shared<Impl>(std::move(usb), timing)));
}

std::shared_ptr<Device> Device::Create(std::shared_ptr<usb::Transport> usb) { return Create(std::move(usb), Timing{}); }

Device::~Device() {
    if (impl_->openCount > 0) Uninitialize();
    impl_->usb->SetRemovalHandler(nullptr);
}

NTSTATUS Device::Initialize() {
    std::lock_guard lock(impl_->adapterMutex);
    return impl_->InitializeLocked();
}

NTSTATUS Device::Uninitialize() {
    std::lock_guard lock(impl_->adapterMutex);
    Impl& d = *impl_;
    if (d.openCount == 0) return STATUS_SUCCESS;
    if (--d.openCount > 0) return STATUS_SUCCESS;
    if (d.streamOpen) d.CloseStreamLocked();
    d.StopThreads();
    d.CancelReadsAndWait(false);
    // A removal stops waiting for the reads after a while; the buffer they fill is only freed
    // once neither is out any more.
    bool out = false;
    for (auto& r : d.reads)
        if (r && r->pending) {
            d.usb->Cancel(r);
            out = true;
        }
    if (out) d.readsFinished.Wait();
    d.started = false;
    d.usb->SetRemovalHandler(nullptr);
    d.frameBuffer.clear();
    d.frameBuffer.shrink_to_fit();
    DeviceWentDown();
    return STATUS_SUCCESS;
}

NTSTATUS Device::SurpriseRemoval() {
    NTSTATUS s;
    {
        std::lock_guard lock(impl_->adapterMutex);
        s = impl_->SurpriseRemovalLocked();
    }
    impl_->NotifyRemoval();
    return s;
}

NTSTATUS Device::ChangePowerState(int state) {
    std::lock_guard lock(impl_->adapterMutex);
    Impl& d = *impl_;
    d.powerState = state;
    if (state == kPowerD3) {
        d.transferState = kTransferStopped;
        if (d.readsInFlight && !d.gone) {
            d.CancelReads();
            d.readsFinished.Wait();
            d.readsInFlight = false;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS Device::HandleAdapterRequest(uint32_t code) {
    switch (code) {
        case kInitializeDevice: return Initialize();
        case kUninitializeDevice: return Uninitialize();
        case kSurpriseRemoval: return SurpriseRemoval();
        case kPagingOutDriver:
        case kInitializationComplete: return STATUS_SUCCESS;
        default: return STATUS_NOT_IMPLEMENTED;
    }
}

DeviceIdentity Device::Identity() const {
    std::lock_guard lock(impl_->adapterMutex);
    const Impl& d = *impl_;
    DeviceIdentity id;
    id.vendorId = d.vendorId;
    id.productId = d.productId;
    id.revision = d.bcdDevice;
    char buf[160];
    std::snprintf(buf, sizeof buf, "USB\\VID_%04X&PID_%04X&REV_%04X", d.vendorId, d.productId, d.bcdDevice);
    id.hardwareId = buf;
    std::snprintf(buf, sizeof buf, "\\\\?\\usb#vid_%04x&pid_%04x#%s#{imaging}", d.vendorId, d.productId,
                  d.usb->Location().substr(0, 64).c_str());
    id.devicePath = buf;
    id.description = "Tessik USB camera";
    for (const auto& r : kDescriptions)
        if (r.productId == d.productId) id.description = r.name;
    return id;
}

ModelInfo Device::Model() const {
    std::lock_guard lock(impl_->adapterMutex);
    const Impl& d = *impl_;
    ModelInfo m;
    m.modelType = d.modelType;
    m.fullWidth = d.fullW, m.fullHeight = d.fullH;
    m.mode1Width = d.mode1W, m.mode1Height = d.mode1H;
    m.mode2Width = d.mode2W, m.mode2Height = d.mode2H;
    m.frameTimeoutMs = d.frameTimeoutMs;
    m.powerVariant = d.powerVariant;
    m.frameBufferBytes = d.frameBuffer.size();
    std::memcpy(m.header, d.header.data(), sizeof m.header);
    return m;
}

void Device::SetRemovalCallback(std::function<void()> callback) {
    std::lock_guard lock(impl_->callbackMutex);
    impl_->removalCallback = std::move(callback);
}

bool Device::IsGone() const { return impl_->gone || impl_->removed; }

StreamDiagnostics Device::Diagnostics() const {
    std::lock_guard lock(impl_->adapterMutex);
    const Impl& d = *impl_;
    StreamDiagnostics s;
    s.transferState = d.transferState;
    s.resync = d.resync;
    s.resyncAttempts = d.resyncAttempts;
    s.frameBytes = d.frameBytes;
    s.chunkBytes = d.chunkBytes;
    s.framesHandedOut = d.framesHandedOut;
    s.emptyReads = d.emptyReads;
    s.resyncRestarts = d.resyncRestarts;
    s.pipeResets = d.pipeResets;
    s.gone = d.gone;
    return s;
}

}  // namespace tessik::driver
