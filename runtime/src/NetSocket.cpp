#include "runtime/NetSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

thread_local int lastError = NET_ERROR_NONE;

void SetText(std::string* errorText, const char* format, auto... args) {
    if (errorText == nullptr) return;
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    *errorText = text;
}

void CloseSocket(int socket) {
    if (socket < 0) return;
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits for `events` on the socket until the deadline; `cancelFd` readable ends the wait.
// 1 ready, 0 time-out, -1 cancelled or failed (errno set).
int WaitSocket(int socket, short events, int64_t deadline, int cancelFd) {
    for (;;) {
        int64_t left = deadline - NowMs();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return 0;
        }
        pollfd fds[2] = {{socket, events, 0}, {cancelFd, POLLIN, 0}};
        int n = ::poll(fds, cancelFd >= 0 ? 2 : 1, static_cast<int>(std::min<int64_t>(left, 1 << 30)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) continue;  // the loop ends on the deadline
        if (cancelFd >= 0 && (fds[1].revents & POLLIN)) {
            errno = ECANCELED;
            return -1;
        }
        if (fds[0].revents != 0) return 1;
    }
}

int FindSlot(const NetContext* context, int socket) {
    for (size_t i = 0; i < context->clients.size(); ++i) {
        if (context->clients[i].socket == socket) return static_cast<int>(i);
    }
    return -1;
}

// Parses a dotted IPv4 address; false for anything else (too long, five parts, empty...).
bool ParseDotted(const char* text, in_addr* address) {
    return std::strlen(text) < INET_ADDRSTRLEN && ::inet_pton(AF_INET, text, address) == 1;
}

}  // namespace

bool NetSocketSet::Contains(int socket) const {
    return std::find(sockets_.begin(), sockets_.end(), socket) != sockets_.end();
}

void NetSocketSet::Add(int socket) {
    if (socket >= 0 && !Contains(socket)) sockets_.push_back(socket);
}

void NetSocketSet::Remove(int socket) {
    sockets_.erase(std::remove(sockets_.begin(), sockets_.end(), socket), sockets_.end());
}

int NetStartup() {
    return 0;
}

int NetGetLastError() {
    return lastError;
}

int NetIsDotted(const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        if (!((*p >= '0' && *p <= '9') || *p == '.')) return 0;
    }
    return 1;
}

int NetResolve(const char* name, uint32_t* address, std::string* errorText) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) {
        SetText(errorText, "gethostbyname(%s)=NULL", name);
        lastError = NET_ERROR_RESOLVE;
        return -1;
    }
    *address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(result);
    return 0;
}

std::unique_ptr<NetContext> NetConnect(NetAddress& address, std::string* errorText,
                                       const NetConnectLimits& limits) {
    address.host[sizeof address.host - 1] = '\0';
    auto context = std::make_unique<NetContext>();
    in_addr ip{};
    if (NetIsDotted(address.host)) {
        // A dotted text is used as it is, so it must be a real address that fits the context.
        if (!ParseDotted(address.host, &ip)) {
            SetText(errorText, "gethostbyname(%s)=NULL", address.host);
            lastError = NET_ERROR_RESOLVE;
            return nullptr;
        }
    } else if (NetResolve(address.host, &ip.s_addr, errorText) != 0) {
        return nullptr;
    }
    ::inet_ntop(AF_INET, &ip, context->address, sizeof context->address);
    context->port = address.port;
    context->mode = NET_MODE_CLIENT;

    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0) {
        SetText(errorText, "connect(%d,%s:%d): errno=%d", socket, context->address, address.port, errno);
        lastError = NET_ERROR_CONNECT;
        return nullptr;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(address.port));
    peer.sin_addr = ip;
    int rc = ::connect(socket, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    if (rc != 0 && errno == EINPROGRESS) {
        int64_t deadline = NowMs() + std::max(limits.timeoutMs, 1);
        int ready = WaitSocket(socket, POLLOUT, deadline, limits.cancelFd);
        if (ready == 1) {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length);
            rc = error == 0 ? 0 : -1;
            errno = error;
        } else {
            rc = -1;
        }
    }
    if (rc != 0) {
        int error = errno;
        SetText(errorText, "connect(%d,%s:%d): errno=%d", socket, context->address, address.port, error);
        CloseSocket(socket);
        lastError = NET_ERROR_CONNECT;
        errno = error;
        return nullptr;
    }
    // Back to blocking mode: sends and receives choose per call (MSG_DONTWAIT).
    ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) & ~O_NONBLOCK);
    context->socket = socket;
    return context;
}

std::unique_ptr<NetContext> NetListen(NetAddress& address, int backlog, int mode, int clientSlots,
                                      std::string* errorText) {
    address.host[sizeof address.host - 1] = '\0';
    auto context = std::make_unique<NetContext>();
    context->backlog = backlog;
    context->mode = mode;
    if (mode == NET_MODE_SERVER) context->clients.assign(static_cast<size_t>(std::max(clientSlots, 0)), {});

    in_addr bindAddress{};
    if (address.host[0] == '\0') {
        // This machine: bind to every address and report the machine's name and first address.
        char name[sizeof address.host] = {};
        ::gethostname(name, sizeof name - 1);
        std::memcpy(address.host, name, sizeof name);
        in_addr own{};
        if (NetResolve(address.host, &own.s_addr, errorText) != 0) return nullptr;
        ::inet_ntop(AF_INET, &own, context->address, sizeof context->address);
        bindAddress.s_addr = htonl(INADDR_ANY);
    } else {
        if (address.host[0] >= '0' && address.host[0] <= '9') {
            if (!ParseDotted(address.host, &bindAddress)) {
                SetText(errorText, "gethostbyname(%s)=NULL", address.host);
                lastError = NET_ERROR_RESOLVE;
                return nullptr;
            }
        } else if (NetResolve(address.host, &bindAddress.s_addr, errorText) != 0) {
            return nullptr;
        }
        ::inet_ntop(AF_INET, &bindAddress, context->address, sizeof context->address);
    }

    // Non-blocking, so that an accept after a connection vanished cannot hang the loop.
    int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0) {
        SetText(errorText, "bind(%d,%s:%d): errno=%d", socket, context->address, address.port, errno);
        lastError = NET_ERROR_BIND;
        return nullptr;
    }
    // A restarted service must be able to take its port again while old connections linger in
    // TIME_WAIT.
    int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(address.port));
    local.sin_addr = bindAddress;
    if (::bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        SetText(errorText, "bind(%d,%s:%d): errno=%d", socket, context->address, address.port, errno);
        ::close(socket);
        lastError = NET_ERROR_BIND;
        return nullptr;
    }
    if (address.port == 0) {
        socklen_t length = sizeof local;
        if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
            SetText(errorText, "getsockname(%d): errno=%d", socket, errno);
            ::close(socket);
            lastError = NET_ERROR_SOCKNAME;
            return nullptr;
        }
        address.port = ntohs(local.sin_port);
    }
    if (::listen(socket, backlog) != 0) {
        SetText(errorText, "listen(%d): errno=%d", socket, errno);
        ::close(socket);
        lastError = NET_ERROR_LISTEN;
        return nullptr;
    }
    context->port = address.port;
    context->socket = socket;
    return context;
}

void NetCloseContext(NetContext* context) {
    if (context == nullptr) return;
    CloseSocket(context->socket);
    context->socket = -1;
}

int NetAddClient(NetContext* context, int socket) {
    int slot = FindSlot(context, -1);
    if (slot < 0) return -1;
    context->clients[static_cast<size_t>(slot)].socket = socket;
    context->clients[static_cast<size_t>(slot)].sequence = ++context->sequence;
    return slot;
}

int NetCloseClient(NetContext* context, int socket) {
    int slot = socket < 0 ? -1 : FindSlot(context, socket);
    if (slot < 0) return -1;
    CloseSocket(socket);
    // A client context's table holds its own connected socket: that descriptor is now closed
    // and must not be closed again or watched.
    for (auto& client : context->clients) {
        if (client.socket == socket) client.socket = -1;
    }
    if (context->socket == socket) context->socket = -1;
    return slot;
}

int NetCollectSockets(NetContext* context, NetSocketSet& set, int* highest) {
    int top = -1;
    for (const auto& client : context->clients) {
        if (client.socket < 0) continue;
        set.Add(client.socket);
        top = std::max(top, client.socket);
    }
    if (highest != nullptr) *highest = top;
    return 0;
}

int NetGetReadySkt(NetContext* context, int* kind, const NetSocketSet& readSet,
                   const NetSocketSet& writeSet, const NetSocketSet& exceptSet) {
    const std::pair<const NetSocketSet*, int> order[] = {
        {&exceptSet, NET_READY_EXCEPT}, {&writeSet, NET_READY_WRITE}, {&readSet, NET_READY_READ}};
    for (const auto& [set, k] : order) {
        for (const auto& client : context->clients) {
            if (client.socket >= 0 && set->Contains(client.socket)) {
                if (kind != nullptr) *kind = k;
                return client.socket;
            }
        }
    }
    return -1;
}

int NetSend(NetContext* context, int socket, const char* data, int length, int timeoutMs) {
    if (context == nullptr || socket < 0 || data == nullptr || length < 0) return -1;
    if (context->mode == NET_MODE_SERVER) {
        int slot = FindSlot(context, socket);
        if (slot < 0) return -1;
        context->clients[static_cast<size_t>(slot)].sequence = ++context->sequence;
    }
    int64_t deadline = NowMs() + std::max(timeoutMs, 1);
    int sent = 0;
    while (sent < length) {
        ssize_t n = ::send(socket, data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
            // The peer is not taking data yet: wait for room, but not for ever.
            int ready = WaitSocket(socket, POLLOUT, deadline, -1);
            if (ready == 1) continue;
            return -1;
        }
        return -1;
    }
    return sent;
}

int NetRecv(NetContext* context, int socket, char* buffer, int length) {
    if (context == nullptr || socket < 0 || buffer == nullptr || length <= 0) return -1;
    if (context->mode == NET_MODE_SERVER) {
        int slot = FindSlot(context, socket);
        if (slot < 0) return -1;
        context->clients[static_cast<size_t>(slot)].sequence = ++context->sequence;
    }
    for (;;) {
        ssize_t n = ::recv(socket, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<int>(n);
    }
}

int NetSetKeepAlive(int socket, int idleSeconds, int intervalSeconds) {
    int on = 1;
    if (::setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return -1;
    if (::setsockopt(socket, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) != 0) return -1;
    if (::setsockopt(socket, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds) != 0) return -1;
    return 0;
}
