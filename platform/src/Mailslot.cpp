#include "platform/Mailslot.h"

#include "platform/LocalTime.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {
namespace {

// How long a writer waits for room in a live reader's queue before it drops the message. The
// kernel queues only a few datagrams per socket, so a short burst needs this grace; a stalled
// reader costs each writer no more than this.
constexpr int kFullQueueWaitMs = 20;

// Abstract-namespace address: a leading NUL, then the name (not NUL-terminated).
bool MakeAddress(const std::string& name, sockaddr_un& addr, socklen_t& length) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (name.empty() || name.size() > sizeof(addr.sun_path) - 1) {
        return false;
    }
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

}  // namespace

std::string TraceSlotName() {
    const char* env = std::getenv("TESSIK_TRACE_SLOT");
    if (env != nullptr && env[0] != '\0') {
        return env;
    }
    return kTraceSlotName;
}

bool MailslotWrite(const std::string& name, const void* data, size_t size) {
    sockaddr_un addr;
    socklen_t length;
    if (!MakeAddress(name, addr, length)) {
        return false;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    bool sent = false;
    // Connecting first lets poll tell when the reader's queue has room again.
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), length) == 0) {
        // Other writers may take the room poll reported, so try again until the grace is spent.
        const uint64_t deadline = MonotonicMilliseconds() + kFullQueueWaitMs;
        ssize_t n = send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        while (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            const uint64_t now = MonotonicMilliseconds();
            if (now >= deadline) {
                break;
            }
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, static_cast<int>(deadline - now)) < 0 && errno != EINTR) {
                break;
            }
            n = send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        sent = n == static_cast<ssize_t>(size);
    }
    close(fd);
    return sent;
}

MailslotReader::MailslotReader(const std::string& name) : name_(name) {
    sockaddr_un addr;
    socklen_t length;
    if (!MakeAddress(name, addr, length)) {
        error_ = ENAMETOOLONG;
        return;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = errno;
        return;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), length) != 0) {
        error_ = errno;  // EADDRINUSE: another reader owns the slot
        close(fd);
        return;
    }
    fd_ = fd;
}

MailslotReader::~MailslotReader() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

MailslotReader::ReadResult MailslotReader::Read(void* buffer, size_t capacity, int timeoutMs) {
    if (fd_ < 0 || shutdown_.load()) {
        return {Status::Closed, 0};
    }
    pollfd p{fd_, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        return {Status::Closed, 0};
    }
    if (shutdown_.load()) {
        return {Status::Closed, 0};
    }
    if (ready == 0) {
        return {Status::Timeout, 0};
    }
    // MSG_TRUNC makes recv report the message's full length even when it is cut.
    ssize_t n;
    do {
        n = recv(fd_, buffer, capacity, MSG_TRUNC | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return {Status::Timeout, 0};
        }
        return {Status::Closed, 0};
    }
    if (shutdown_.load()) {
        return {Status::Closed, 0};
    }
    return {Status::Received, static_cast<size_t>(n)};
}

void MailslotReader::Shutdown() {
    shutdown_.store(true);
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);  // wakes a poll in progress
    }
}

}  // namespace platform
