#include "runtime/SocketUtils.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "runtime/Log.h"

#define DMN_LOG(level, op, expr) TSK_LOG(level, logModule, "CSocketUtils::" op ": " << name << expr)

void CopySocketText(char* target, size_t size, const char* text) {
    size_t length = std::min(std::strlen(text), size - 1);
    std::memcpy(target, text, length);
    target[length] = '\0';
}

int CSocketUtils::CSInit(std::unique_ptr<CSocketUtils>& daemon, const std::string& name, const std::string& address,
                         int port, int maxClients, int logModule) {
    daemon.reset();
    if (NetStartup() != 0) return -1;
    std::unique_ptr<CSocketUtils> made(new CSocketUtils());
    made->name = name.substr(0, 259);
    made->logModule = logModule;
    CopySocketText(made->address.host, 65, NormaliseAddress(address).c_str());
    made->address.port = port;
    made->isServer = 1;
    made->channels.resize(static_cast<size_t>(std::max(maxClients, 0)));
    daemon = std::move(made);
    return 0;
}

int CSocketUtils::CSInit(std::unique_ptr<CSocketUtils>& daemon, const std::string& name, const std::string& address,
                         int port, int logModule) {
    int rc = CSInit(daemon, name, address, port, 1, logModule);
    if (rc == 0) daemon->isServer = 0;
    return rc;
}

CSocketUtils::~CSocketUtils() {
    CsDmnClose();
}

SocketChannel* CSocketUtils::ChannelAt(int channel) {
    if (channel < 0 || channel >= ChannelCount()) return nullptr;
    return &channels[static_cast<size_t>(channel)];
}

SocketChannel* CSocketUtils::ChannelInUse(int channel) {
    SocketChannel* entry = ChannelAt(channel);
    return entry != nullptr && entry->socket >= 0 ? entry : nullptr;
}

std::string CSocketUtils::Describe(int channel) const {
    const SocketChannel& entry = channels[static_cast<size_t>(channel)];
    return "channel Id = " + std::to_string(channel) + "(" + entry.peer.address + ":" + std::to_string(entry.peer.port) +
           ")";
}

void CSocketUtils::RebuildReadSet() {
    readSet.Clear();
    int highest = -1;
    if (context != nullptr) {
        NetCollectSockets(context.get(), readSet, &highest);
        if (context->socket >= 0) {
            readSet.Add(context->socket);
            highest = std::max(highest, context->socket);
        }
    }
    highestSocket = highest + 1;
}

int CSocketUtils::CsDmnAddChannel(int socket, const SocketPeer& peer) {
    for (size_t i = 0; i < channels.size(); ++i) {
        SocketChannel& entry = channels[i];
        if (entry.socket >= 0) continue;
        entry.socket = socket;
        CopySocketText(entry.peer.address, sizeof entry.peer.address, peer.address);
        entry.peer.port = peer.port;
        entry.pending.reset();
        entry.sendOffset = entry.sendLength = 0;
        readSet.Add(socket);
        highestSocket = std::max(highestSocket, socket + 1);
        return static_cast<int>(i);
    }
    return -1;
}

int CSocketUtils::CsDmnQueueSend(int channel, const char* data, int length) {
    SocketChannel* entry = ChannelInUse(channel);
    if (entry == nullptr || data == nullptr || length <= 0) return -1;
    if (entry->pending != nullptr) return -10;
    entry->pending.reset(new char[static_cast<size_t>(length)]);
    std::memcpy(entry->pending.get(), data, static_cast<size_t>(length));
    entry->sendOffset = 0;
    entry->sendLength = length;
    return CsDmnSend(channel);
}

int CSocketUtils::CsDmnSend(int channel) {
    SocketChannel* entry = ChannelInUse(channel);
    if (entry == nullptr || entry->pending == nullptr) return 0;
    DMN_LOG(LOGLEVEL_DBG3, "CsDmnSend", ": Sending data to " << Describe(channel));
    int result = NetSend(context.get(), entry->socket, entry->pending.get() + entry->sendOffset,
                         entry->sendLength - entry->sendOffset, sendTimeoutMs);
    if (result >= 0) {
        DMN_LOG(LOGLEVEL_DBG3, "CsDmnSend", ": Successfully sent data to channel Id = " << channel);
        DMN_LOG(LOGLEVEL_DBG3, "CsDmnSend", ": Successfully sent to channel Id = " << channel);
    }
    entry->pending.reset();
    entry->sendOffset = entry->sendLength = 0;
    return result;
}

int CSocketUtils::AcceptEvent(int& kind) {
    int channel = CSAcceptDmn();
    if (channel < 0) {
        kind = errno == EAGAIN || errno == EWOULDBLOCK ? EVENT_NONE : EVENT_ERROR;
        return -1;
    }
    kind = EVENT_NEW_CONNECTION;
    SocketChannel& entry = channels[static_cast<size_t>(channel)];
    if (keepAlive && std::strcmp(entry.peer.address, address.host) != 0) {
        if (NetSetKeepAlive(entry.socket, keepAliveSeconds, 3) == 0) {
            DMN_LOG(LOGLEVEL_DBG2, "CSProcEvent",
                    ": TcpKeepAlive set on socket. TCP_KEEPIDLE: " << keepAliveSeconds
                                                                   << "sec, TCP_KEEPINTVL: " << 3
                                                                   << "sec, TCP_KEEPCNT: default value.");
        } else {
            DMN_LOG(LOGLEVEL_ERROR, "CSProcEvent", ": WSAIoctl() failed to set TcpKeepAlive. Error code:" << errno);
        }
    }
    return channel;
}

int CSocketUtils::CSProcEvent(int& kind, const NetSocketSet& readyRead, const NetSocketSet& readyWrite,
                              const NetSocketSet& readyExcept, std::unique_ptr<char[]>& buffer, int& length) {
    buffer.reset();
    length = 0;
    kind = EVENT_NONE;
    if (context == nullptr) return -1;
    // Data and closes of connected clients come before a new connection: a client that closes
    // and connects again finds its old channel gone when the new connection is taken.
    int readyKind = 0;
    int socket = NetGetReadySkt(context.get(), &readyKind, readyRead, readyWrite, readyExcept);
    if (socket < 0 && isServer && context->socket >= 0 && readyRead.Contains(context->socket)) {
        return AcceptEvent(kind);
    }
    if (socket < 0) {
        DMN_LOG(LOGLEVEL_ERROR, "CSProcEvent", ": NetGetReadySkt return failed.");
        return -1;
    }
    int channel = -1;
    for (size_t i = 0; i < channels.size(); ++i) {
        if (channels[i].socket == socket) {
            channel = static_cast<int>(i);
            break;
        }
    }
    if (channel < 0) {
        DMN_LOG(LOGLEVEL_ERROR, "CSProcEvent",
                ": CSDmnGetIdxBySkt return failed. Failed to find the SOCKET id in the socket list!");
        return -1;
    }
    if (readyKind != NET_READY_READ) return channel;
    switch (CSDmnRcvReq(socket, channel, buffer, length)) {
        case 0: kind = EVENT_DATA; break;
        case -2: kind = EVENT_CLOSED; break;
        case -10: kind = EVENT_NONE; break;
        default: kind = EVENT_ERROR; break;
    }
    return channel;
}

int CSocketUtils::CSDmnRcvReq(int socket, int channel, std::unique_ptr<char[]>& buffer, int& length) {
    // One byte more than a receive can fill, for the NUL after the data.
    const int capacity = std::max(ChannelCount(), 1) * kReceiveBytesPerChannel;
    buffer.reset(new char[static_cast<size_t>(capacity) + 1]);
    int received = NetRecv(context.get(), socket, buffer.get(), capacity);
    if (received > 0) {
        buffer[static_cast<size_t>(received)] = '\0';
        length = received;
        return 0;
    }
    int error = errno;
    buffer.reset();
    length = 0;
    DMN_LOG(LOGLEVEL_DBG2, "CSDmnRcvReq",
            ": Failed to received data from " << Describe(channel) << ", return value: " << received);
    if (received < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) {
        return -10;  // nothing to read after all: the connection is fine and stays
    }
    CsDmnDown(channel);
    return received == 0 ? -2 : -1;
}

int CSocketUtils::CSAcceptDmn() {
    acceptRefused = false;
    sockaddr_in peerAddress{};
    socklen_t size = sizeof peerAddress;
    int socket = -1;
    do {
        socket = ::accept4(context->socket, reinterpret_cast<sockaddr*>(&peerAddress), &size, SOCK_CLOEXEC);
    } while (socket < 0 && errno == ECONNABORTED);
    if (socket < 0) {
        int error = errno;
        if (error == EINTR) {
            DMN_LOG(LOGLEVEL_ERROR, "CSAcceptDmn", ": Socket accept error (EINTR)");
        } else if (error != EAGAIN && error != EWOULDBLOCK) {
            DMN_LOG(LOGLEVEL_ERROR, "CSAcceptDmn", ": Socket accept error (" << error << ").");
        }
        errno = error;
        return -1;
    }
    SocketPeer peer;
    ::inet_ntop(AF_INET, &peerAddress.sin_addr, peer.address, sizeof peer.address);
    peer.port = ntohs(peerAddress.sin_port);
    int slot = NetAddClient(context.get(), socket);
    int channel = slot >= 0 ? CsDmnAddChannel(socket, peer) : -1;
    if (channel < 0) {
        if (slot >= 0) NetCloseClient(context.get(), socket);
        else {
            ::shutdown(socket, SHUT_RDWR);
            ::close(socket);
        }
        DMN_LOG(LOGLEVEL_WARNING, "CSAcceptDmn",
                ": Detected new client connection request but server socket has already reached maximum allow "
                "clients ("
                    << context->clients.size() << ")");
        acceptRefused = true;
        errno = 0;
        return -1;
    }
    DMN_LOG(LOGLEVEL_DBG1, "CSAcceptDmn", ": New client connected successfully, " << Describe(channel));
    return channel;
}

int CSocketUtils::CsDmnDown(int channel, SocketPeer* peer) {
    SocketChannel* entry = ChannelInUse(channel);
    if (entry == nullptr) return 0;
    DMN_LOG(LOGLEVEL_DBG2, "CsDmnDown", ": Removed socket with " << Describe(channel));
    if (context == nullptr || NetCloseClient(context.get(), entry->socket) < 0) {
        ::shutdown(entry->socket, SHUT_RDWR);
        ::close(entry->socket);
    }
    entry->pending.reset();
    entry->sendOffset = entry->sendLength = 0;
    entry->socket = -1;
    RebuildReadSet();
    if (peer != nullptr) *peer = entry->peer;
    return 1;
}

void CSocketUtils::CsDmnClose() {
    for (size_t i = 0; i < channels.size(); ++i) {
        SocketChannel& entry = channels[i];
        if (entry.socket >= 0) {
            // Through the context, which also forgets a client context's own (same) socket.
            if (context == nullptr || NetCloseClient(context.get(), entry.socket) < 0) {
                ::shutdown(entry.socket, SHUT_RDWR);
                ::close(entry.socket);
            }
            entry.socket = -1;
        }
        entry.pending.reset();
    }
    channels.clear();
    if (context != nullptr) NetCloseContext(context.get());
    context.reset();
    readSet.Clear();
    highestSocket = 0;
}
