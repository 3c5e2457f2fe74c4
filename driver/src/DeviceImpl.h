#pragma once
// The driver's per-device state, shared by the device, stream and property code.

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "driver/TessikDriver.h"
#include "platform/Event.h"
#include "platform/UsbTransport.h"

namespace tessik::driver {

namespace usb = platform::usb;

// Frame bytes and bulk read length for a model type and FrameSizeMode.
struct FrameGeometry {
    uint32_t frameBytes = 0;
    uint32_t chunkBytes = 0;
    int width = 0, height = 0;  // delivered size
};

struct Device::Impl : std::enable_shared_from_this<Device::Impl> {
    Impl(std::shared_ptr<usb::Transport> t, Timing tm) : usb(std::move(t)), timing(tm) {}

    std::shared_ptr<usb::Transport> usb;
    const Timing timing;

    // Adapter and stream control requests are handled one at a time.
    mutable std::mutex adapterMutex;
    // USB control requests are serialised.
    std::mutex requestMutex;

    // Device (set by initialisation).
    int openCount = 0;
    uint16_t vendorId = 0, productId = 0, bcdDevice = 0;
    uint8_t bulkEndpoint = 0x82;
    int powerVariant = 2;
    int modelType = 0;
    int fullW = 0, fullH = 0, mode2W = 0, mode2H = 0, mode1W = 0, mode1H = 0;
    uint16_t divFull = 0, div2 = 0, div1 = 0;
    uint16_t frameTimeoutMs = 0;
    std::array<uint8_t, 26> header{};
    int powerState = 1;

    std::atomic<bool> started{false};
    std::atomic<bool> gone{false};
    std::atomic<bool> removed{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> running{false};
    std::atomic<bool> readsInFlight{false};
    std::atomic<bool> resync{false};
    std::atomic<int> transferState{kTransferIdle};
    std::atomic<int> resyncAttempts{0};

    // Property shadows.
    std::mutex shadowMutex;
    std::map<uint32_t, int64_t> shadow;
    std::map<uint32_t, uint32_t> shadowFlags;
    int64_t exposure = 40;
    uint32_t exposureFlags = kFlagManual;
    std::atomic<uint8_t> frameSizeMode{0};
    std::atomic<bool> frameSizeModeSet{false};  // lets the worker copy frames
    std::array<uint8_t, 7> ledStatus{};
    std::atomic<bool> ledStatusRead{false};

    // Frame transfer. The bulk reads fill the frame buffer on the transport's thread while the
    // worker copies the ready half out of it: the half the worker is reading (`copying`) belongs
    // to it alone, so a read whose next place lies in that half is held back (`heldReads`) and
    // submitted when the copy ends. Everything below is guarded by bufferMutex; whether a read
    // goes on is decided under it, so a canceller that has cleared the running state and taken
    // the lock once sees every read either out at the transport or finished.
    std::vector<uint8_t> frameBuffer;  // twice the largest full frame
    std::mutex bufferMutex;
    std::condition_variable copyEnded;
    bool copying = false;
    size_t copyOffset = 0;
    std::vector<std::shared_ptr<usb::Transfer>> heldReads;
    uint32_t frameBytes = 0;
    uint32_t chunkBytes = 0;
    int frameW = 0, frameH = 0;
    size_t writePos = 0;
    bool wrapped = false;
    size_t readyOffset = 0;
    uint64_t chunksLanded = 0;     // completed reads since the transfer started
    uint64_t chunksAtReady = 0;    // chunksLanded when the ready frame was complete
    uint64_t framesReady = 0;      // whole frames seen since the device started; never reset
    int finishedReads = 0;
    std::array<std::shared_ptr<usb::Transfer>, 2> reads;
    platform::Event frameReady{false, false};
    platform::Event readsFinished{true, false};
    platform::Event streamClosed{true, true};

    // Stream.
    bool streamOpen = false;
    int instances = 0;
    int firstProperty = 0;
    std::atomic<int> ksState{int(KsState::Stop)};
    // The worker and adapter requests share these; never held while taking another lock.
    std::mutex streamInfoMutex;
    VideoFormat storedFormat;
    int64_t frameDuration = 0;
    int64_t presentationTime = 0;
    uint64_t pictureNumber = 0;
    uint64_t dropCount = 0;
    std::mutex clockMutex;  // the worker reads the clock while a client may replace it
    std::function<int64_t()> clock;
    int64_t ReadClock(bool& has);
    std::mutex dataMutex;
    std::deque<std::shared_ptr<ReadRequest>> dataQueue;
    std::thread worker;
    std::atomic<bool> workerQuit{false};
    std::mutex resyncThreadMutex;
    std::thread resyncThread;

    std::mutex callbackMutex;
    std::function<void()> removalCallback;

    // Diagnostics.
    std::atomic<uint64_t> framesHandedOut{0}, emptyReads{0}, resyncRestarts{0}, pipeResets{0};

    // USB helpers (Device.cpp).
    NTSTATUS Control(const usb::SetupPacket& setup, uint8_t* data, uint32_t* actual, bool serialise = true);
    NTSTATUS VendorCommand(uint8_t request);
    NTSTATUS VendorRead(uint8_t request, uint8_t* buffer, uint16_t length);
    NTSTATUS VendorWrite(uint8_t request, const uint8_t* buffer, uint16_t length);
    NTSTATUS ResetPipe();

    NTSTATUS InitializeLocked();
    void ApplyModelTable(bool reportValid, const uint16_t* report);
    NTSTATUS SurpriseRemovalLocked();
    void NotifyRemoval();

    // Stream (Stream.cpp).
    FrameGeometry Geometry(int mode) const;
    NTSTATUS OpenStreamLocked(int streamNumber, const VideoFormat& format);
    NTSTATUS CloseStreamLocked();
    NTSTATUS SetStateLocked(KsState state);
    void ApplyFrameSizeModeLocked();
    void StartTransfer();
    void CancelReads();
    void CancelReadsAndWait(bool bounded);
    void OnReadComplete(usb::Transfer& t);
    bool ReadsGoOnLocked() const;
    void FinishReadLocked();
    void SubmitReadLocked(const std::shared_ptr<usb::Transfer>& t);
    bool TakeHalf(size_t offset, uint64_t readyMark);
    void ReleaseHalf();
    bool SyncPatternOk(size_t halfOffset) const;
    bool ChecksSyncPattern() const;
    void StartResync();
    void WorkerLoop();
    void ResyncThread();
    void StopThreads();
    void CompleteQueuedReads(NTSTATUS status);
    std::shared_ptr<ReadRequest> TakeRead();
    void CopyFrame(ReadRequest& r, size_t offset);
    bool ReadyFrameOverrun(uint64_t readyMark) const;
    bool MatchesRange(const VideoFormat& f) const;

    // Properties (Properties.cpp).
    NTSTATUS GetPropertyLocked(PropertySet set, uint32_t id, PropertyData& data);
    NTSTATUS SetPropertyLocked(PropertySet set, uint32_t id, const PropertyData& data);
};

// Process-wide: the largest full frame seen and the data ranges patched from it.
std::vector<StreamCapability> CurrentRanges();
void RecordFrameSizes(int fullW, int fullH, int mode1W, int mode1H, int mode2W, int mode2H);
size_t LargestFrameBytes();
// Initialisation and the last uninitialisation of a device; the record above starts again from
// the static ranges when no device is left.
void DeviceCameUp();
void DeviceWentDown();

}  // namespace tessik::driver
