// The capture stream: formats, open and close, run/pause/stop, the two bulk reads into the
// double frame buffer, the worker that hands frames to the client's reads, and resync.

#include <algorithm>
#include <cstring>

#include "DeviceImpl.h"
#include "platform/TessikUsbProtocol.h"
#include "platform/ThreadName.h"

namespace tessik::driver {

namespace proto = platform::usb::tessik;

// ---- Frame geometry ------------------------------------------------------------------------

FrameGeometry Device::Impl::Geometry(int mode) const {
    const int t = modelType;
    auto g = [](uint32_t bytes, uint32_t chunk, int w, int h) { return FrameGeometry{bytes, chunk, w, h}; };
    if (t == 0 || t == 1) {
        if (mode == 1) return g(1239040, 1239040 / 5, 1408, 880);
        if (mode == 2) return g(1354240, 1354240 / 5, 1472, 920);
        return g(5416960, 235520, 2944, 1840);
    }
    if (t == 6 || t == 7) return g(307200, 76800, 640, 480);
    if (t == 8) {
        if (mode == 1) return g(1291264, 99328, 832, 1552);
        if (mode == 2) return g(2189824, 2189824 / 7, 1456, 1504);
        return g(13138944, 39936, 2912, 4512);
    }
    if (t >= 2 && t <= 11) {
        if (mode == 2) return g(460800, 460800 / 4, 768, 600);
        return g(1920000, 384000, 1600, 1200);
    }
    // Sizes and divisors from the (checked) device report.
    int w = fullW, h = fullH;
    uint16_t div = divFull;
    if (mode == 1) w = mode1W, h = mode1H, div = div1;
    if (mode == 2) w = mode2W, h = mode2H, div = div2;
    const uint32_t bytes = uint32_t(w) * uint32_t(h);
    if (div == 0) return {};
    return g(bytes, bytes / div, w, h);
}

bool Device::Impl::MatchesRange(const VideoFormat& f) const {
    if (f.bitCount != 8) return false;
    for (const auto& r : CurrentRanges())
        if (r.format.width == f.width && r.format.height == std::abs(f.height)) return true;
    return false;
}

// ---- Stream requests ------------------------------------------------------------------------

NTSTATUS Device::Impl::OpenStreamLocked(int streamNumber, const VideoFormat& format) {
    if (!reads[0] || !reads[1]) return STATUS_NOT_IMPLEMENTED;
    if (streamNumber != 0 || instances > 0 || !MatchesRange(format)) return STATUS_INVALID_PARAMETER;
    gone = removed ? true : false;
    resyncAttempts = 0;
    firstProperty = 0;
    running = false;
    stopping = false;
    {
        std::lock_guard lock(streamInfoMutex);
        storedFormat = format;
        // The image size is the client's buffer size: frames larger than this are not copied.
        if (storedFormat.imageSize == 0)
            storedFormat.imageSize = uint32_t(format.width) * uint32_t(std::abs(format.height));
        frameDuration = format.avgTimePerFrame;
        presentationTime = 0;
        pictureNumber = 0;
        dropCount = 0;
    }
    ++instances;
    streamOpen = true;
    ksState = int(KsState::Stop);
    streamClosed.Reset();
    return STATUS_SUCCESS;
}

void Device::Impl::ApplyFrameSizeModeLocked() {
    if (firstProperty != 0) return;
    firstProperty = 1;
    const int mode = frameSizeMode;
    const FrameGeometry g = Geometry(mode);
    frameBytes = g.frameBytes;
    chunkBytes = g.chunkBytes;
    frameW = g.width;
    frameH = g.height;
    const bool fixedSize = modelType == 6 || modelType == 7;
    const bool noMode1 = (modelType >= 2 && modelType <= 5) || (modelType >= 9 && modelType <= 11);
    if (!fixedSize && mode == 2) VendorCommand(proto::kReqFrameSizeMode2);
    if (!fixedSize && !noMode1 && mode == 1) VendorCommand(proto::kReqFrameSizeMode1);
    firstProperty = 6;
}

void Device::Impl::StartTransfer() {
    readsInFlight = true;
    {
        std::unique_lock lock(bufferMutex);
        // A restart after a resync may come while the worker still copies a frame out.
        copyEnded.wait(lock, [&] { return !copying; });
        heldReads.clear();
        finishedReads = 0;
        std::fill(frameBuffer.begin(), frameBuffer.end(), 0);
        writePos = 0;
        wrapped = false;
        chunksLanded = chunksAtReady = 0;
    }
    readsFinished.Reset();
    frameReady.Reset();
    VendorCommand(proto::kReqStartCapture);
    std::weak_ptr<Impl> weak = weak_from_this();
    std::lock_guard lock(bufferMutex);
    for (int i = 0; i < 2; ++i) {
        auto& t = reads[i];
        const size_t at = writePos;
        if (i == 0) {
            writePos += chunkBytes;
            if (writePos >= 2 * size_t(frameBytes)) writePos = 0;
        }
        t->kind = usb::TransferKind::BulkIn;
        t->endpoint = bulkEndpoint;
        t->buffer = frameBuffer.data() + at;
        t->length = chunkBytes;
        t->completion = [weak](usb::Transfer& done) {
            if (auto self = weak.lock()) self->OnReadComplete(done);
        };
        SubmitReadLocked(t);
    }
}

bool Device::Impl::ReadsGoOnLocked() const {
    return !stopping && transferState == kTransferRunning && !gone && readsInFlight;
}

void Device::Impl::FinishReadLocked() {
    frameReady.Set();
    if (++finishedReads == 2) readsFinished.Set();
}

void Device::Impl::SubmitReadLocked(const std::shared_ptr<usb::Transfer>& t) {
    if (t && usb->Submit(t) == usb::TransferStatus::Success) return;
    gone = true;
    transferState = kTransferStopped;
    FinishReadLocked();
}

// The caller has already taken the transfer out of the running state, so no completion submits
// its read again once the lock below has been taken: a read held back for the worker's copy is
// finished here, any other is out at the transport and is cancelled there.
void Device::Impl::CancelReads() {
    {
        std::lock_guard lock(bufferMutex);
        for (size_t i = 0; i < heldReads.size(); ++i) FinishReadLocked();
        heldReads.clear();
    }
    for (auto& r : reads)
        if (r) usb->Cancel(r);
}

// The worker owns the ready half from TakeHalf until ReleaseHalf. It takes it only while no read
// can be writing there; reads that reach it meanwhile wait in heldReads.
bool Device::Impl::TakeHalf(size_t offset, uint64_t readyMark) {
    if (ReadyFrameOverrun(readyMark)) return false;
    copying = true;
    copyOffset = offset;
    return true;
}

void Device::Impl::ReleaseHalf() {
    std::lock_guard lock(bufferMutex);
    copying = false;
    // A submission never completes inside Submit, so the list stays as it is while it is walked.
    for (auto& t : heldReads) {
        if (ReadsGoOnLocked())
            SubmitReadLocked(t);
        else
            FinishReadLocked();
    }
    heldReads.clear();
    copyEnded.notify_all();
}

void Device::Impl::CancelReadsAndWait(bool bounded) {
    if (!readsInFlight) return;
    readsInFlight = false;
    CancelReads();
    if (bounded)
        readsFinished.Wait(timing.removalWaitMs);
    else
        readsFinished.Wait();
}

// The types whose frames carry the sync pattern: the read completion checks it on both halves.
bool Device::Impl::ChecksSyncPattern() const {
    const int ty = modelType;
    return (ty >= 2 && ty <= 5) || ty > 7;
}

bool Device::Impl::SyncPatternOk(size_t half) const {
    const uint8_t* p = frameBuffer.data() + half;
    return p[1] == 0xFF && p[2] == 0x00 && p[3] == 0xFF && p[4] == 0x00;
}

void Device::Impl::OnReadComplete(usb::Transfer& t) {
    const bool ok = t.status == usb::TransferStatus::Success;
    if (!ok && t.status != usb::TransferStatus::Cancelled) {
        transferState = kTransferStopped;
        gone = true;
    }
    std::shared_ptr<usb::Transfer> self;
    for (auto& r : reads)
        if (r.get() == &t) self = r;
    std::lock_guard lock(bufferMutex);
    if (ok) {
        const size_t twice = 2 * size_t(frameBytes);
        ++chunksLanded;
        writePos += chunkBytes;
        if (writePos >= twice) {
            writePos = 0;
            wrapped = true;
        }
        bool ready = false;
        if (writePos == size_t(frameBytes) + 2 * chunkBytes) {
            readyOffset = 0;
            ready = true;
        } else if (writePos == 2 * size_t(chunkBytes) && wrapped) {
            readyOffset = frameBytes;
            wrapped = false;
            ready = true;
        }
        if (ready) {
            chunksAtReady = chunksLanded;
            ++framesReady;
            if (ChecksSyncPattern()) resync = !(SyncPatternOk(0) && SyncPatternOk(frameBytes));
            frameReady.Set();
        }
    }
    if (!ReadsGoOnLocked()) {
        FinishReadLocked();
        return;
    }
    // Read on at the current write position, unless the worker is copying the frame there.
    t.buffer = frameBuffer.data() + writePos;
    t.length = chunkBytes;
    if (copying && writePos >= copyOffset && writePos < copyOffset + frameBytes) {
        heldReads.push_back(self);
        return;
    }
    SubmitReadLocked(self);
}

std::shared_ptr<ReadRequest> Device::Impl::TakeRead() {
    std::lock_guard lock(dataMutex);
    if (dataQueue.empty()) return nullptr;
    auto r = dataQueue.front();
    dataQueue.pop_front();
    return r;
}

void Device::Impl::CompleteQueuedReads(NTSTATUS status) {
    std::deque<std::shared_ptr<ReadRequest>> all;
    {
        std::lock_guard lock(dataMutex);
        all.swap(dataQueue);
    }
    for (auto& r : all) {
        r->status = status;
        r->dataUsed = 0;
        if (r->completion) r->completion(*r);
    }
}

// The reads fill the other half first; once they may have reached the ready half again, the
// frame there is no longer whole. A read in progress may already be writing there while the
// count still shows the previous completion, hence the one chunk of margin.
bool Device::Impl::ReadyFrameOverrun(uint64_t readyMark) const {
    const uint64_t chunksPerFrame = chunkBytes ? frameBytes / chunkBytes : 0;
    return chunksLanded - readyMark + 2 >= chunksPerFrame;
}

void Device::Impl::CopyFrame(ReadRequest& r, size_t offset) {
    r.dataUsed = 0;
    uint32_t imageSize;
    {
        std::lock_guard lock(streamInfoMutex);
        imageSize = storedFormat.imageSize;
    }
    if (imageSize < frameBytes || r.buffer.size() < frameBytes) return;
    if (resync) return;  // a frame out of step is not handed out as a new one
    uint8_t* frame = frameBuffer.data() + offset;
    // Stamp the device header, and on the iris camera the LED status.
    if (modelType == 0 || modelType == 1) {
        std::memcpy(frame + 1, header.data(), header.size());
    } else {
        std::memcpy(frame + 12, header.data(), header.size());
        if (modelType > 11 && ledStatusRead) {
            std::lock_guard lock(shadowMutex);
            const size_t n = std::min<size_t>(ledStatus[0], ledStatus.size());
            std::memcpy(frame + 60, ledStatus.data(), n);
        }
    }
    const int W = frameW, H = frameH;
    uint8_t* out = r.buffer.data();
    if (modelType == 0 || modelType == 1) {
        // Column by column from the bottom up, into rows from the top.
        for (int i = 0; i < W; ++i) {
            const uint8_t* column = frame + size_t(i) * H;
            for (int j = 0; j < H; ++j) out[size_t(H - 1 - j) * W + i] = column[j];
        }
    } else if (modelType == 6 || modelType == 7) {
        for (int row = 0; row < H; ++row) std::memcpy(out + size_t(row) * W, frame + size_t(H - 1 - row) * W, size_t(W));
    } else {
        std::memcpy(out, frame, frameBytes);
    }
    std::lock_guard lock(streamInfoMutex);
    storedFormat.width = W;
    storedFormat.height = H;
    r.width = W;
    r.height = H;
    r.dataUsed = frameBytes;
}

int64_t Device::Impl::ReadClock(bool& has) {
    std::function<int64_t()> c;
    {
        std::lock_guard lock(clockMutex);
        c = clock;
    }
    has = bool(c);
    return has ? c() : 0;
}

void Device::Impl::WorkerLoop() {
    const uint32_t timeout = frameTimeoutMs ? frameTimeoutMs : timing.defaultFrameTimeoutMs;
    uint64_t handled;
    {
        std::lock_guard lock(bufferMutex);
        handled = framesReady;
    }
    while (!workerQuit) {
        const int ts = transferState;
        if (ts == kTransferPaused || ts == kTransferStopped || ksState == int(KsState::Stop)) break;
        if (!frameReady.Wait(timeout)) {
            if (running && !gone)
                ResetPipe();
            else
                transferState = kTransferStopped;
            continue;
        }
        if (workerQuit || transferState != kTransferRunning || gone) continue;
        bool hasClock = false;
        const int64_t now = ReadClock(hasClock);
        int64_t time, duration;
        {
            std::lock_guard lock(streamInfoMutex);
            if (hasClock) presentationTime = now + frameDuration;
            time = presentationTime;
            duration = frameDuration;
        }
        if (ksState != int(KsState::Run)) continue;

        size_t offset;
        bool taken;
        {
            // Wake-ups from reads that ended (stop, resync restart) bring no frame.
            std::lock_guard lock(bufferMutex);
            if (framesReady == handled) continue;
            handled = framesReady;
            offset = readyOffset;
            taken = TakeHalf(offset, chunksAtReady);
        }
        if (!taken) {
            {
                std::lock_guard lock(streamInfoMutex);
                ++dropCount;  // the reads are already filling this half again with the next frame
            }
            // The completion checked the pattern while the frame was whole, so a failed check
            // still counts: a worker that comes late must not let a sync loss go unseen.
            if (ChecksSyncPattern() && resync && running && !gone) StartResync();
            continue;
        }
        if (modelType == 0 || modelType == 1) {
            // The sensor's first line is masked and must read dark; a lit one means the frame
            // boundary is out of step.
            const uint8_t* f = frameBuffer.data() + offset;
            const int W = frameW, H = frameH;
            const uint8_t first = f[0];
            int sum = 0, n = 0;
            bool differs = false;
            for (int col = W / 10; col < 9 * W / 10; col += 10, ++n) {
                const uint8_t v = f[size_t(col) * H];
                sum += v;
                if (std::abs(int(v) - int(first)) > 7) differs = true;
            }
            // The exact mean: 7.5 is above 7.
            resync = differs || (n > 0 && sum > 7 * n);
        }
        auto read = TakeRead();
        if (resync && running && !gone) {
            ReleaseHalf();  // before the join: a resync restart waits for the copy to end
            StartResync();
            if (read) {
                // The client sees a read without a frame.
                read->status = STATUS_SUCCESS;
                read->dataUsed = 0;
                ++emptyReads;
                if (read->completion) read->completion(*read);
            }
            continue;
        }
        if (!read) {
            ReleaseHalf();
            continue;
        }
        read->status = STATUS_SUCCESS;
        if (frameSizeModeSet) CopyFrame(*read, offset);
        else read->dataUsed = 0;
        ReleaseHalf();
        read->duration = duration;
        read->timeValid = hasClock;
        read->presentationTime = hasClock ? time : 0;
        // A format without a frame duration gives no picture numbers rather than a division by 0.
        read->pictureNumber = (hasClock && duration > 0) ? uint64_t(std::max<int64_t>(0, time) / duration) : 0;
        {
            std::lock_guard lock(streamInfoMutex);
            pictureNumber = read->pictureNumber;
        }
        if (read->dataUsed) ++framesHandedOut;
        else ++emptyReads;
        if (read->completion) read->completion(*read);
    }
    if (gone) CompleteQueuedReads(STATUS_CANCELLED);
}

void Device::Impl::StartResync() {
    std::lock_guard lock(resyncThreadMutex);
    if (resyncThread.joinable()) resyncThread.join();
    resyncThread = platform::StartNamedThread("drv-resync", [this] { ResyncThread(); });
}

void Device::Impl::ResyncThread() {
    if (!resync) return;
    if (++resyncAttempts <= 2) return;
    resyncAttempts = 0;
    int expected = kTransferRunning;
    if (gone || !transferState.compare_exchange_strong(expected, kTransferResync)) return;
    CancelReads();
    readsFinished.Wait();
    // A stop or pause that came meanwhile set its own transfer state and cleared the running
    // flag: both stay as it left them. The flag goes up first, so that a stop coming after the
    // state change below clears it again.
    running = true;
    expected = kTransferResync;
    if (!transferState.compare_exchange_strong(expected, kTransferRunning)) {
        running = false;
        return;
    }
    if (!stopping) {
        ++resyncRestarts;
        StartTransfer();
    }
}

void Device::Impl::StopThreads() {
    workerQuit = true;
    frameReady.Set();
    if (worker.joinable()) worker.join();
    std::lock_guard lock(resyncThreadMutex);
    if (resyncThread.joinable()) resyncThread.join();
}

NTSTATUS Device::Impl::SetStateLocked(KsState state) {
    switch (state) {
        case KsState::Run: {
            if (ksState == int(KsState::Run)) return STATUS_SUCCESS;
            if (fullW == 0 || fullH == 0) return STATUS_INVALID_DEVICE_STATE;
            if (gone) return STATUS_DEVICE_DATA_ERROR;
            ApplyFrameSizeModeLocked();  // when no stream property came since the open
            if (chunkBytes == 0 || frameBytes % chunkBytes != 0 || 2 * size_t(frameBytes) > frameBuffer.size())
                return STATUS_INVALID_DEVICE_STATE;
            // Reads still out from before a pause end first, so no read is submitted twice.
            StopThreads();
            stopping = true;
            CancelReadsAndWait(false);
            running = true;
            transferState = kTransferRunning;
            {
                std::lock_guard lock(streamInfoMutex);
                presentationTime = 0;
            }
            resyncAttempts = 0;
            resync = false;
            stopping = false;
            workerQuit = false;
            ksState = int(KsState::Run);
            frameReady.Reset();
            try {
                worker = platform::StartNamedThread("drv-worker", [this] { WorkerLoop(); });
            } catch (...) {
                running = false;
                transferState = kTransferStopped;
                ksState = int(KsState::Stop);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            StartTransfer();
            return STATUS_SUCCESS;
        }
        case KsState::Pause:
        case KsState::Acquire: {
            const int from = ksState;
            if (state == KsState::Pause) {
                transferState = kTransferPaused;
                running = false;
                stopping = true;
            }
            if (from == int(KsState::Stop) || from == int(KsState::Acquire)) {
                std::lock_guard lock(streamInfoMutex);
                pictureNumber = 0;
                dropCount = 0;
                presentationTime = 0;
            }
            ksState = int(state);
            return STATUS_SUCCESS;
        }
        case KsState::Stop: {
            transferState = kTransferStopped;
            running = false;
            stopping = true;
            ksState = int(KsState::Stop);
            StopThreads();
            CancelReadsAndWait(false);
            CompleteQueuedReads(STATUS_CANCELLED);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS Device::Impl::CloseStreamLocked() {
    if (!streamOpen) return STATUS_INVALID_DEVICE_STATE;
    transferState = kTransferStopped;
    stopping = true;
    running = false;
    frameSizeModeSet = false;
    ksState = int(KsState::Stop);
    if (instances > 0) --instances;
    StopThreads();
    CancelReadsAndWait(false);
    if (!gone) VendorCommand(proto::kReqStopCapture);
    CompleteQueuedReads(STATUS_CANCELLED);
    streamOpen = false;
    {
        std::lock_guard lock(clockMutex);
        clock = nullptr;
    }
    streamClosed.Set();
    return STATUS_SUCCESS;
}

// ---- Device stream interface ------------------------------------------------------------------

std::vector<StreamCapability> Device::StreamCapabilities() const { return CurrentRanges(); }

NTSTATUS Device::DataIntersection(int streamNumber, const StreamCapability& requested, size_t bufferSize,
                                  VideoFormat* result, size_t* requiredSize) const {
    if (streamNumber != 0) return STATUS_NOT_IMPLEMENTED;
    for (const auto& r : CurrentRanges()) {
        const VideoFormat& f = requested.format;
        if (f.width != r.format.width || std::abs(f.height) != r.format.height || f.bitCount != 8 ||
            requested.sampleSize != r.sampleSize || requested.minFrameInterval != r.minFrameInterval ||
            requested.maxFrameInterval != r.maxFrameInterval)
            continue;
        VideoFormat out = f;
        out.imageSize = uint32_t(((int64_t(f.width) * f.bitCount + 31) / 32) * 4 * std::abs(int64_t(f.height)));
        if (requiredSize) *requiredSize = sizeof(VideoFormat);
        if (bufferSize == 4) return STATUS_SUCCESS;
        if (bufferSize < sizeof(VideoFormat) || !result) return STATUS_BUFFER_TOO_SMALL;
        *result = out;
        return STATUS_SUCCESS;
    }
    if (requiredSize) *requiredSize = 0;
    return STATUS_SUCCESS;
}

NTSTATUS Device::OpenStream(int streamNumber, const VideoFormat& format) {
    std::lock_guard lock(impl_->adapterMutex);
    return impl_->OpenStreamLocked(streamNumber, format);
}

NTSTATUS Device::CloseStream() {
    std::lock_guard lock(impl_->adapterMutex);
    return impl_->CloseStreamLocked();
}

NTSTATUS Device::SetStreamState(KsState state) {
    std::lock_guard lock(impl_->adapterMutex);
    if (!impl_->streamOpen) return STATUS_INVALID_DEVICE_STATE;
    return impl_->SetStateLocked(state);
}

NTSTATUS Device::GetStreamState(KsState& state) const {
    state = KsState(impl_->ksState.load());
    return state == KsState::Pause ? STATUS_NO_DATA_DETECTED : STATUS_SUCCESS;
}

NTSTATUS Device::GetDroppedFrames(DroppedFrames& out) {
    std::lock_guard lock(impl_->adapterMutex);
    Impl& d = *impl_;
    if (!d.streamOpen) return STATUS_INVALID_DEVICE_STATE;
    d.ApplyFrameSizeModeLocked();
    std::lock_guard info(d.streamInfoMutex);
    out.pictureNumber = d.pictureNumber;
    out.dropCount = d.dropCount;
    out.averageFrameSize = d.storedFormat.imageSize;
    return STATUS_SUCCESS;
}

NTSTATUS Device::GetAllocatorFraming(AllocatorFraming& out) {
    std::lock_guard lock(impl_->adapterMutex);
    Impl& d = *impl_;
    if (!d.streamOpen) return STATUS_INVALID_DEVICE_STATE;
    d.ApplyFrameSizeModeLocked();
    out.optionsFlags = 0x80000003;
    out.poolType = 1;
    out.frames = 1;
    std::lock_guard info(d.streamInfoMutex);
    out.frameSize = d.storedFormat.imageSize;
    out.fileAlignment = 0;
    return STATUS_SUCCESS;
}

NTSTATUS Device::SetClock(std::function<int64_t()> clock) {
    std::lock_guard lock(impl_->clockMutex);
    impl_->clock = std::move(clock);
    return STATUS_SUCCESS;
}

NTSTATUS Device::ProposeDataFormat(const VideoFormat& format) const {
    return impl_->MatchesRange(format) ? STATUS_SUCCESS : STATUS_NO_MATCH;
}

NTSTATUS Device::SetDataFormat(const VideoFormat& format) {
    std::lock_guard lock(impl_->adapterMutex);
    Impl& d = *impl_;
    if (!d.MatchesRange(format)) return STATUS_NO_MATCH;
    std::lock_guard info(d.streamInfoMutex);
    d.storedFormat = format;
    if (d.storedFormat.imageSize == 0) d.storedFormat.imageSize = uint32_t(format.width) * uint32_t(std::abs(format.height));
    d.frameDuration = format.avgTimePerFrame;
    return STATUS_SUCCESS;
}

NTSTATUS Device::SubmitRead(const std::shared_ptr<ReadRequest>& read) {
    if (!read) return STATUS_INVALID_PARAMETER;
    Impl& d = *impl_;
    read->dataUsed = 0;
    NTSTATUS immediate = STATUS_PENDING;
    {
        std::lock_guard lock(d.dataMutex);
        if (d.gone || d.removed)
            immediate = STATUS_CANCELLED;
        else if (!d.streamOpen || d.ksState == int(KsState::Stop) || d.powerVariant == 1)
            immediate = STATUS_SUCCESS;  // completed at once without data
        else
            d.dataQueue.push_back(read);
    }
    if (immediate == STATUS_PENDING) return STATUS_SUCCESS;
    read->status = immediate;
    if (read->completion) read->completion(*read);
    return immediate;
}

NTSTATUS Device::CancelRead(const std::shared_ptr<ReadRequest>& read) {
    Impl& d = *impl_;
    d.transferState = kTransferStopped;
    d.stopping = true;
    bool found = false;
    {
        std::lock_guard lock(d.dataMutex);
        auto it = std::find(d.dataQueue.begin(), d.dataQueue.end(), read);
        if (it != d.dataQueue.end()) {
            d.dataQueue.erase(it);
            found = true;
        }
    }
    if (found) {
        read->dataUsed = 0;
        read->status = STATUS_CANCELLED;
        if (read->completion) read->completion(*read);
    }
    return found ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

}  // namespace tessik::driver
