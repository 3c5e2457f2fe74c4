#include "runtime/SocketController.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "runtime/Log.h"

#define EP_LOG(level, op, expr) \
    TSK_LOG(level, logModule, "CSocketController::" op << GetLogPrefix() << expr)

namespace {

// A wait of the loop for events; Close wakes it at once.
constexpr int kLoopTimeoutMs = 2000;

// The system's name of an endpoint's loop thread: "sk-" and the endpoint's name without blanks
// and without a trailing "Socket" ("Fp Preview Socket" -> "sk-FpPreview"), short enough for the
// system's 15 bytes.
std::string LoopThreadName(const std::string& name) {
    std::string compact;
    for (char c : name) {
        if (c != ' ') compact += c;
    }
    const std::string suffix = "Socket";
    if (compact.size() > suffix.size() && compact.compare(compact.size() - suffix.size(), suffix.size(), suffix) == 0)
        compact.resize(compact.size() - suffix.size());
    return "sk-" + compact;
}
constexpr int kAcceptRetryMs = 100;

// Holds a Synchronized for a scope.
class ScopedLock {
public:
    explicit ScopedLock(Synchronized& lock) : lock_(lock) { lock_.lock(); }
    ~ScopedLock() { lock_.unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Synchronized& lock_;
};

}  // namespace

CSocketController::CSocketController(const std::string& name_, int logModule_)
    : Thread(name_, logModule_), threadLock(name_ + " threadLock", logModule_), random(std::random_device{}()) {
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    setThreadName(LoopThreadName(name_));
}

CSocketController::~CSocketController() {
    if (running.load() != 0 || daemon != nullptr) Close(1);
    if (getState() != NotRunning && !OnLoopThread()) join();
    ReleaseParser();
    if (wakeFd >= 0) ::close(wakeFd);
}

// --- virtual operations of the base ---------------------------------------------------------------

bool CSocketController::LoadSchemas() {
    schemaList.clear();
    return true;
}

void CSocketController::ProcessNewRemoteConnection(int) {}
void CSocketController::ProcessSocketCloseEvent(int) {}
void CSocketController::ProcessSocketErrorEvent(int) {}
void CSocketController::ProcessReceivedDataNormal(int, char*, int) {}

// --- helpers -------------------------------------------------------------------------------------

bool CSocketController::OnLoopThread() const {
    return loopThread.load() == std::this_thread::get_id();
}

void CSocketController::Wake() {
    if (wakeFd < 0) return;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
}

void CSocketController::DrainWake() {
    if (wakeFd < 0) return;
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(wakeFd, &value, sizeof value);
}

bool CSocketController::Pause(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    while (running.load() != 0) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        pollfd fd{wakeFd, POLLIN, 0};
        int n = ::poll(&fd, wakeFd >= 0 ? 1 : 0, static_cast<int>(left.count()));
        if (n > 0) return running.load() != 0;
    }
    return false;
}

void CSocketController::SetUri(const std::string& text) {
    std::lock_guard guard(uriMutex);
    uri = text;
}

std::string CSocketController::GetUri() {
    std::lock_guard guard(uriMutex);
    return uri;
}

std::string CSocketController::GetLogPrefix() {
    return ": " + name + "(" + GetUri() + ")";
}

std::string CSocketController::GenerateRequestId() {
    return ::GenerateRequestId();
}

int CSocketController::RandomPort(int nMinPort, int nMaxPort) {
    // Uniform over [nMinPort, nMaxPort); nMaxPort itself is never drawn.
    if (nMaxPort <= nMinPort) return nMinPort;
    return std::uniform_int_distribution<int>(nMinPort, nMaxPort - 1)(random);
}

bool CSocketController::MakeParser() {
    ReleaseParser();
    if (schemaList.empty()) {
        domParser = CUtilities::CreateDOMParser(nullptr, false);
        return true;
    }
    if (CUtilities::LoadGrammars(domParser, grammarPool, schemaList)) return true;
    ReleaseParser();
    return false;
}

void CSocketController::ReleaseParser() {
    CUtilities::ReleaseParser(domParser, grammarPool);
}

bool CSocketController::CheckPortArguments(const char* op, int nSpecificPort, int nMinPort, int nMaxPort) {
    if (nSpecificPort != 0) return true;
    const std::string where = std::string("CSocketController::") + op;
    if (nMinPort == 0) {
        TSK_LOG(LOGLEVEL_ERROR, logModule,
                where << GetLogPrefix() << ": Invalid nMinPort. nMinPort cannot be 0 when nSpecificPort is 0");
        return false;
    }
    if (nMaxPort == 0) {
        TSK_LOG(LOGLEVEL_ERROR, logModule,
                where << GetLogPrefix() << ": Invalid nMaxPort. nMaxPort cannot be 0 when nSpecificPort is 0");
        return false;
    }
    if (nMinPort > nMaxPort) {
        TSK_LOG(LOGLEVEL_ERROR, logModule,
                where << GetLogPrefix() << ": Invalid nMinPort(" << nMinPort << ") must be >= nMaxPort(" << nMaxPort
                      << ").");
        return false;
    }
    return true;
}

bool CSocketController::Open(const char* op) {
    const std::string where = std::string("CSocketController::") + op;
    if (daemon != nullptr) {
        openingThread.store(std::this_thread::get_id());
        Close(1);
        openingThread.store(std::thread::id());
    } else if (getState() != NotRunning && !OnLoopThread()) {
        running.store(0);
        Wake();
        TSK_LOG(LOGLEVEL_DBG2, logModule, where << GetLogPrefix() << " Call join thread.");
        join();
        TSK_LOG(LOGLEVEL_DBG2, logModule, where << GetLogPrefix() << " Join thread success.");
    }
    DrainWake();
    // The loop has ended, so the parser of the last opening is no longer in use (opened again
    // from an event operation, the documents it made are the caller's).
    ScopedLock lock(*this);
    if (!MakeParser()) {
        TSK_LOG(LOGLEVEL_ERROR, logModule, where << GetLogPrefix() << ": Failed to load the XML schemas.");
        return false;
    }
    return true;
}

void CSocketController::StartLoop() {
    {
        ScopedLock lock(*this);
        running.store(1);
    }
    // Opened again from an event operation: the loop that called us carries on with the new
    // endpoint when the operation returns.
    if (OnLoopThread()) return;
    start();
}

// --- opening -------------------------------------------------------------------------------------

bool CSocketController::Listen(const std::string& address, int nSpecificPort, int keepAlive, int keepAliveSeconds,
                               int nMinPort, int nMaxPort, int bRandomPort, int maxClients) {
    if (!CheckPortArguments("Listen", nSpecificPort, nMinPort, nMaxPort)) return false;
    const unsigned epoch = closeEpoch.load();
    if (!Open("Listen")) return false;
    std::unique_ptr<CSocketUtils> made;
    int firstPort = nSpecificPort != 0 ? nSpecificPort : (bRandomPort ? RandomPort(nMinPort, nMaxPort) : nMinPort);
    if (CSocketUtils::CSInit(made, name, address, firstPort, maxClients, logModule) != 0) {
        EP_LOG(LOGLEVEL_ERROR, "Listen", ": CSInit failed.");
        return false;
    }
    running.store(1);
    if (ClosedSince(epoch)) running.store(0);
    const std::string host = made->address.host;
    int current = firstPort;
    int failures = 0;
    std::unique_ptr<NetContext> context;
    while (running.load() != 0) {
        made->address.port = current;
        std::string error;
        context = NetListen(made->address, made->backlog, NET_MODE_SERVER, maxClients, &error);
        if (context != nullptr) break;
        EP_LOG(LOGLEVEL_DBG2, "Listen", " " << error);
        if (nSpecificPort != 0) {
            EP_LOG(LOGLEVEL_WARNING, "Listen", ": Failed to listen on URI: " << host << ":" << current << ".");
            break;
        }
        if (++failures >= 16) {
            EP_LOG(LOGLEVEL_WARNING, "Listen",
                   ": The application has tried to listen on 15 different ports and nothing work. Please check "
                   "your system configuration.");
            break;
        }
        int next = bRandomPort ? RandomPort(nMinPort, nMaxPort) : current + 1;
        if (next > nMaxPort) {
            EP_LOG(LOGLEVEL_WARNING, "Listen",
                   ": Failed to listen on all ports from " << nMinPort << " to " << nMaxPort << ".");
            break;
        }
        EP_LOG(LOGLEVEL_DBG1, "Listen",
               ": Failed to listen on URI: " << host << ":" << current << ". Try to listen on next URI: " << host
                                             << ":" << next);
        current = next;
    }
    if (context == nullptr) {
        running.store(0);
        made->CsDmnClose();
        return false;
    }

    CopySocketText(made->address.host, sizeof made->address.host, context->address);
    made->keepAlive = keepAlive;
    made->keepAliveSeconds = keepAliveSeconds;
    made->sendTimeoutMs = sendTimeoutMs.load();
    made->context = std::move(context);
    made->readSet.Add(made->context->socket);
    made->highestSocket = made->context->socket + 1;
    return Adopt(made, epoch, "Listen", ": Listening on URI: ");
}

bool CSocketController::ConnectTo(const std::string& address, int nSpecificPort, int nMinPort, int nMaxPort,
                                  int bOnePass) {
    if (!CheckPortArguments("ConnectTo", nSpecificPort, nMinPort, nMaxPort)) return false;
    const unsigned epoch = closeEpoch.load();
    if (!Open("ConnectTo")) return false;
    std::unique_ptr<CSocketUtils> made;
    int current = nSpecificPort != 0 ? nSpecificPort : nMinPort;
    if (CSocketUtils::CSInit(made, name, address, current, logModule) != 0) {
        EP_LOG(LOGLEVEL_ERROR, "ConnectTo", ": CSInit failed.");
        return false;
    }
    running.store(1);
    if (ClosedSince(epoch)) running.store(0);
    const std::string host = made->address.host;
    std::unique_ptr<NetContext> context;
    while (running.load() != 0) {
        made->address.port = current;
        std::string error;
        context = NetConnect(made->address, &error, NetConnectLimits{connectTimeoutMs.load(), wakeFd});
        if (context != nullptr) break;
        EP_LOG(LOGLEVEL_DBG2, "ConnectTo", " " << error);
        if (nSpecificPort != 0) {
            EP_LOG(LOGLEVEL_WARNING, "ConnectTo",
                   ": Failed to connect to server URI: " << host << ":" << current << ".");
            if (bOnePass || !Pause(waitBetweenPorts.load())) break;
            continue;
        }
        if (running.load() == 0) break;
        int next = current + 1;
        EP_LOG(LOGLEVEL_WARNING, "ConnectTo",
               ": Failed to connect to server URI: " << host << ":" << current << ". Try to connect to next port "
                                                     << next);
        if (next > nMaxPort) {
            if (bOnePass) {
                EP_LOG(LOGLEVEL_WARNING, "ConnectTo",
                       ": Failed to connect to all ports within nMinPort(" << nMinPort << ") and nMaxPort(" << nMaxPort
                                                                           << ").");
                break;
            }
            EP_LOG(LOGLEVEL_WARNING, "ConnectTo",
                   ": Failed to connect to all ports within nMinPort("
                       << nMinPort << ") and nMaxPort(" << nMaxPort << "). System waits " << waitAfterPass.load()
                       << " milliseconds and will try again.");
            current = nMinPort;
            if (!Pause(waitAfterPass.load())) break;
        } else {
            current = next;
            if (!Pause(waitBetweenPorts.load())) break;
        }
    }
    if (context == nullptr) {
        running.store(0);
        made->CsDmnClose();
        return false;
    }

    CopySocketText(made->address.host, sizeof made->address.host, context->address);
    made->sendTimeoutMs = sendTimeoutMs.load();
    const int socket = context->socket;
    context->clients.assign(1, NetClientSlot{socket, 0});
    made->context = std::move(context);
    SocketPeer peer;
    CopySocketText(peer.address, sizeof peer.address, made->address.host);
    peer.port = made->address.port;
    made->CsDmnAddChannel(socket, peer);
    return Adopt(made, epoch, "ConnectTo", ": Connected to Server, URI: ");
}

bool CSocketController::Adopt(std::unique_ptr<CSocketUtils>& made, unsigned epoch, const char* op,
                              const char* opened) {
    {
        ScopedLock call(*this);
        if (running.load() == 0 || ClosedSince(epoch)) {
            // Closed from another thread while we were opening.
            running.store(0);
            made->CsDmnClose();
            return false;
        }
        port.store(made->address.port);
        SetUri(std::string(made->address.host) + ":" + std::to_string(made->address.port));
        TSK_LOG(LOGLEVEL_INFO, logModule, "CSocketController::" << op << GetLogPrefix() << opened << GetUri());
        ScopedLock table(threadLock);
        daemon = std::move(made);
        failedChannels.clear();
    }
    StartLoop();
    return true;
}

// --- closing -------------------------------------------------------------------------------------

void CSocketController::Close(int join_) {
    // Counted before anything else: an opening on another thread that has begun gives up.
    if (openingThread.load() != std::this_thread::get_id()) ++closeEpoch;
    if (running.load() == 0 && daemon == nullptr) return;
    EP_LOG(LOGLEVEL_DBG1, "Close", " Close Socket.");
    StopThread(join_);
    SetUri("");
}

void CSocketController::StopThread(int join_) {
    EP_LOG(LOGLEVEL_DBG2, "StopThread", " CallLock.");
    lock();
    EP_LOG(LOGLEVEL_DBG2, "StopThread", " Lock success.");
    running.store(0);
    SetUri("");
    port.store(0);
    CloseSockets();
    Wake();
    unlock();
    if (join_ != 0 && !OnLoopThread() && getState() != NotRunning) {
        EP_LOG(LOGLEVEL_DBG2, "StopThread", " Call join thread.");
        join();
        EP_LOG(LOGLEVEL_DBG2, "StopThread", " Join thread success.");
    }
}

void CSocketController::CloseSockets() {
    EP_LOG(LOGLEVEL_DBG2, "CloseSockets", " CallLock.");
    ScopedLock table(threadLock);
    EP_LOG(LOGLEVEL_DBG2, "CloseSockets", " Lock success.");
    if (daemon != nullptr) {
        daemon->CsDmnClose();
        daemon.reset();
        EP_LOG(LOGLEVEL_INFO, "CloseSockets", " Socket closed.");
    }
    failedChannels.clear();
    // The parser stays until the loop has ended (next opening or destruction): an event
    // operation may be using it right now.
}

// --- the loop ------------------------------------------------------------------------------------

void CSocketController::run() {
    loopThread.store(std::this_thread::get_id());
    std::vector<pollfd> fds;
    while (running.load() != 0) {
        threadLock.lock();
        if (!failedChannels.empty() && daemon != nullptr) {
            std::vector<int> failed;
            failed.swap(failedChannels);
            for (int channel : failed) daemon->CsDmnDown(channel);
            threadLock.unlock();
            for (int channel : failed) ProcessSocketErrorEvent(channel);
            continue;
        }
        if (daemon == nullptr) {
            threadLock.unlock();
            break;
        }
        fds.clear();
        for (int socket : daemon->readSet.Sockets()) fds.push_back(pollfd{socket, POLLIN, 0});
        threadLock.unlock();
        fds.push_back(pollfd{wakeFd, POLLIN, 0});

        int n = ::poll(fds.data(), fds.size(), kLoopTimeoutMs);
        if (fds.back().revents & POLLIN) DrainWake();

        NetSocketSet ready;
        if (n > 0) {
            for (size_t i = 0; i + 1 < fds.size(); ++i) {
                // POLLNVAL: a descriptor closed after the set was copied; it is gone from the table.
                if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) ready.Add(fds[i].fd);
            }
        } else if (n < 0 && errno != EINTR) {
            TSK_LOG(LOGLEVEL_ERROR, logModule, "CSocketController::run" << GetLogPrefix() << " poll failed, errno=" << errno);
            Pause(kLoopTimeoutMs);
        }

        int channel = -1;
        int kind = CSocketUtils::EVENT_NONE;
        std::unique_ptr<char[]> buffer;
        int length = 0;
        bool acceptFailed = false;
        {
            ScopedLock table(threadLock);
            if (running.load() == 0 || daemon == nullptr) break;
            // Only descriptors that are still in the table count.
            NetSocketSet current;
            for (int socket : ready.Sockets()) {
                if (daemon->readSet.Contains(socket)) current.Add(socket);
            }
            if (current.Empty()) continue;
            channel = daemon->CSProcEvent(kind, current, NetSocketSet(), NetSocketSet(), buffer, length);
            acceptFailed = kind == CSocketUtils::EVENT_ERROR && channel < 0 && !daemon->acceptRefused;
        }
        switch (kind) {
            case CSocketUtils::EVENT_NEW_CONNECTION: ProcessNewRemoteConnection(channel); break;
            case CSocketUtils::EVENT_CLOSED: ProcessSocketCloseEvent(channel); break;
            case CSocketUtils::EVENT_DATA: ProcessReceivedDataNormal(channel, buffer.get(), length); break;
            case CSocketUtils::EVENT_ERROR: ProcessSocketErrorEvent(channel); break;
            default: break;
        }
        buffer.reset();
        // A failed accept (out of descriptors, say) stays ready: breathe before the next try
        // rather than spinning. A refused client (table full) is gone: no reason to wait.
        if (acceptFailed) Pause(kAcceptRetryMs);
    }
    loopThread.store(std::thread::id());
}

// --- sending -------------------------------------------------------------------------------------

int CSocketController::SendOne(int channel, const char* data, int length, int isResponse,
                               const std::string& requestId, MessageId messageId) {
    if (daemon->ChannelInUse(channel) == nullptr) return -1;
    bool recorded = false;
    if (!requestId.empty()) {
        if (isResponse == 0) {
            recorded = ::AddSentRequestId(daemon.get(), channel, requestId, messageId);
        } else {
            ::RemoveReceivedRequestId(daemon.get(), channel, requestId);
        }
    }
    daemon->sendTimeoutMs = sendTimeoutMs.load();
    int result = daemon->CsDmnQueueSend(channel, data, length);
    if (result >= 0) return 0;
    if (recorded) ::RemoveSentRequestId(daemon.get(), channel, requestId);
    if (result == -10) return -10;
    if (std::find(failedChannels.begin(), failedChannels.end(), channel) == failedChannels.end()) {
        failedChannels.push_back(channel);
    }
    Wake();
    return -2;
}

int CSocketController::Send(int channel, const char* data, int length, int isResponse, const std::string& requestId,
                            MessageId messageId) {
    ScopedLock table(threadLock);
    if (daemon == nullptr) {
        EP_LOG(LOGLEVEL_DBG1, "Send", " Socket is not listened or connected.");
        return -1;
    }
    if (data == nullptr || length <= 0) {
        EP_LOG(LOGLEVEL_WARNING, "Send", " System cannot send empty data.");
        return -1;
    }
    // Every channel is checked, -1 included: a caller's "no channel" never reaches other clients.
    return SendOne(channel, data, length, isResponse, requestId, messageId);
}

int CSocketController::SendDocument(int channel, const xercesc::DOMNode* node, int isResponse,
                                    const std::string& requestId, MessageId messageId) {
    std::string text = CUtilities::XmlDocumentToString(node);
    return Send(channel, text.data(), static_cast<int>(text.size()), isResponse, requestId, messageId);
}

// --- getters and request ids ---------------------------------------------------------------------

std::string CSocketController::GetRemoteSocketIdLog(int channel, int lock_) {
    if (lock_ != 0) {
        EP_LOG(LOGLEVEL_DBG2, "GetRemoteSocketIdLog", " CallLock.");
        threadLock.lock();
        EP_LOG(LOGLEVEL_DBG2, "GetRemoteSocketIdLog", " Lock success.");
    }
    std::string text = "channel Id = " + std::to_string(channel);
    const SocketChannel* entry = daemon != nullptr ? daemon->ChannelInUse(channel) : nullptr;
    if (daemon == nullptr) EP_LOG(LOGLEVEL_DBG1, "GetRemoteSocketIdLog", " Socket is not listened or connected.");
    if (entry != nullptr) {
        text.append("(").append(entry->peer.address).append(":").append(std::to_string(entry->peer.port)).append(")");
    } else {
        text += "(Unknown IP:Unknown Port)";
    }
    if (lock_ != 0) threadLock.unlock();
    return text;
}

std::string CSocketController::GetRemoteSocketURI(int channel) {
    ScopedLock table(threadLock);
    if (daemon == nullptr) {
        EP_LOG(LOGLEVEL_DBG1, "GetRemoteSocketURI", " Socket is not listened or connected.");
        return {};
    }
    const SocketChannel* entry = daemon->ChannelInUse(channel);
    if (entry == nullptr) return {};
    return std::string(entry->peer.address) + ":" + std::to_string(entry->peer.port);
}

int CSocketController::GetConnectedChannelCount() {
    ScopedLock table(threadLock);
    if (daemon == nullptr) return 0;
    int count = 0;
    for (const SocketChannel& entry : daemon->channels) count += entry.socket >= 0 ? 1 : 0;
    return count;
}

bool CSocketController::AddReceivedRequestId(int channel, const std::string& requestId, MessageId messageId) {
    ScopedLock table(threadLock);
    return ::AddReceivedRequestId(daemon.get(), channel, requestId, messageId);
}

CSocketController::ReceivedId CSocketController::RecordReceivedRequestId(int channel, const std::string& requestId,
                                                                         MessageId messageId, std::string* remote) {
    ScopedLock table(threadLock);
    if (daemon == nullptr) return ReceivedId::Closed;
    const bool added = ::AddReceivedRequestId(daemon.get(), channel, requestId, messageId);
    *remote = GetRemoteSocketIdLog(channel, 0);
    return added ? ReceivedId::Recorded : ReceivedId::Repeated;
}

bool CSocketController::FindReceivedRequestId(int channel, const std::string& requestId) {
    ScopedLock table(threadLock);
    return ::FindReceivedRequestId(daemon.get(), channel, requestId);
}

MessageId CSocketController::FindSentRequestId(int channel, const std::string& requestId) {
    ScopedLock table(threadLock);
    return ::FindSentRequestId(daemon.get(), channel, requestId);
}

bool CSocketController::RemoveSentRequestId(int channel, const std::string& requestId) {
    ScopedLock table(threadLock);
    return ::RemoveSentRequestId(daemon.get(), channel, requestId);
}

void CSocketController::CleanRequestIds(int64_t now) {
    ScopedLock table(threadLock);
    ::CleanRequestIds(daemon.get(), now);
}

int CSocketController::CsDmnDown(int channel) {
    ScopedLock table(threadLock);
    if (daemon == nullptr) return 0;
    int removed = daemon->CsDmnDown(channel);
    Wake();  // the loop must stop watching that socket
    return removed;
}
