#include "SocketVideo.h"

#include "runtime/Log.h"

#include <sstream>

namespace {
const char* RequestName(MessageId id) { return id == MID_GetSample ? "GetSample" : "GetFrame"; }
}  // namespace

CSocketVideo::CSocketVideo(const std::string& name, int kind, int logModule)
    : CSocketController(name, logModule), lock_("", logModule), kind_(kind) {
    CSocketVideo::LoadSchemas();
}

CSocketVideo::~CSocketVideo() {
    CSocketController::Close(1);
}

void CSocketVideo::Close(int join) {
    CSocketController::Close(join);
    // Wait for a request being handled on the socket thread, unless the device closes the channel
    // from inside that request.
    if (handlingThread_.load() == std::this_thread::get_id())
        return;
    lock_.lock();
    lock_.unlock();
}

bool CSocketVideo::LoadSchemas() {
    schemaList.clear();
    return true;
}

void CSocketVideo::ProcessNewRemoteConnection(int channel) {
    clientChannel_.store(channel);
    assembler_.Clear();  // a new client never continues an earlier client's request
}

void CSocketVideo::ProcessSocketCloseEvent(int channel) {
    IDevice* device = device_.load();
    if (channel != clientChannel_.load() || !device)
        return;
    if (kind_ == Preview)
        device->ProcessSocketPreviewCloseEventCallback();
    else if (kind_ == Result)
        device->ProcessSocketResultCloseEventCallback();
}

void CSocketVideo::ProcessSocketErrorEvent(int channel) {
    IDevice* device = device_.load();
    if (channel != clientChannel_.load() || !device)
        return;
    if (kind_ == Preview)
        device->ProcessSocketPreviewErrorEventCallback();
    else if (kind_ == Result)
        device->ProcessSocketResultErrorEventCallback();
}

void CSocketVideo::ProcessReceivedDataNormal(int /*channel*/, char* data, int length) {
    const std::string op = "CSocketVideo::ProcessReceivedDataNormal";
    lock_.lock();
    handlingThread_.store(std::this_thread::get_id());
    auto outcome = assembler_.Feed(reinterpret_cast<const uint8_t*>(data), length > 0 ? static_cast<size_t>(length) : 0);
    IDevice* device = device_.load();
    for (const auto& request : outcome.requests) {
        if (request.messageType != 0) {
            TSK_LOG(LOGLEVEL_WARNING, lock_.getLogModule(),
                    op << GetLogPrefix()
                       << " Received unexpected get frame response message while waiting for request message.");
            break;  // the rest of the read is dropped
        }
        if (request.requestCode == 1) {
            TSK_LOG(LOGLEVEL_DBG3, lock_.getLogModule(),
                    op << GetLogPrefix() << " Received \"GetFrame\" request with requestId: " << request.requestId
                       << ", nPos:" << request.position << ", consumed:" << request.consumed
                       << ", received length:" << outcome.receivedLength);
            if (device)
                device->ProcessGetFrameCallback(request.requestId);
        } else {
            TSK_LOG(LOGLEVEL_DBG1, lock_.getLogModule(),
                    op << GetLogPrefix() << " Received \"GetSample\" request with requestId: " << request.requestId);
            if (device)
                device->ProcessGetSampleImageCallback(request.requestId);
        }
    }
    if (outcome.failed)
        TSK_LOG(LOGLEVEL_WARNING, lock_.getLogModule(),
                op << GetLogPrefix() << " ber_decode failed, consumed:" << outcome.failedConsumed
                   << ", received length:" << outcome.receivedLength << ", buffer position:" << outcome.failedPosition);
    if (outcome.overflow)
        TSK_LOG(LOGLEVEL_WARNING, lock_.getLogModule(),
                op << GetLogPrefix() << " Dropped an incomplete request of more than "
                   << image_messages::RequestAssembler::kMaxPending << " bytes.");
    handlingThread_.store(std::thread::id());
    lock_.unlock();
}

bool CSocketVideo::SendImage(const unsigned char* record, unsigned int recordLength, const std::string& requestId,
                             MessageId messageId) {
    const std::string op = "CSocketVideo::SendImage";
    const int module = lock_.getLogModule();
    std::vector<uint8_t> der;
    if (!image_messages::EncodeResponse(requestId, record, recordLength, der) || der.size() > INT32_MAX) {
        TSK_LOG(LOGLEVEL_ERROR, module, op << GetLogPrefix() << " der_encode failed");
        return false;
    }
    const int channel = clientChannel_.load();
    TSK_LOG(messageId == MID_GetSample ? LOGLEVEL_DBG1 : LOGLEVEL_DBG3, module,
            op << GetLogPrefix() << " Trying to send \"" << RequestName(messageId)
               << "\" response with requestId: " << requestId << " to " << GetRemoteSocketIdLog(channel, 1));
    int rc = Send(channel, reinterpret_cast<const char*>(der.data()), static_cast<int>(der.size()), 1, requestId,
                  messageId);
    if (rc == -2)
        TSK_LOG(LOGLEVEL_ERROR, module,
                op << GetLogPrefix() << " Failed to send \"" << RequestName(messageId)
                   << "\" response with requestId: " << requestId << " to " << GetRemoteSocketIdLog(channel, 1));
    return rc == 0;
}
