#pragma once
// Loopback peers that speak the service's XML streams: documents one after another without
// framing. A document ends with the end tag of its root (the service's roots always have children).
// The test peers of the service and the peer programs in tools/ share them.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <vector>

class XmlPeer {
public:
    XmlPeer() = default;
    explicit XmlPeer(int fd) : fd_(fd) {}
    XmlPeer(const XmlPeer&) = delete;
    XmlPeer& operator=(const XmlPeer&) = delete;
    ~XmlPeer() { Close(); }

    // Connects to 127.0.0.1:port (or another loopback address), from `source` when given.
    bool Connect(int port, const char* address = "127.0.0.1", const char* source = nullptr) {
        Close();
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (source != nullptr) {
            sockaddr_in from{};
            from.sin_family = AF_INET;
            ::inet_pton(AF_INET, source, &from.sin_addr);
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) return false;
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, address, &a.sin_addr);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        buffer_.clear();
        ended_ = false;
    }
    bool Send(const std::string& text) {
        return fd_ >= 0 && ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    // The next whole document; empty when none arrives in time.
    std::string Read(int timeoutMs = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            std::string document = Take();
            if (!document.empty()) return document;
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0 || fd_ < 0) return {};
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) return {};
            char chunk[65536];
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                ended_ = true;
                return {};
            }
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    // True when the service closed the connection within the time.
    bool ClosedByPeer(int timeoutMs = 3000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        char b;
        return ::recv(fd_, &b, 1, 0) == 0;
    }
    int fd() const { return fd_; }
    // True once a read found the connection closed by the other side (or broken).
    bool Ended() const { return ended_; }

private:
    std::string Take() {
        size_t start = buffer_.find('<');
        if (start == std::string::npos) return {};
        size_t nameEnd = buffer_.find_first_of(" />", start + 1);
        if (nameEnd == std::string::npos) return {};
        const std::string endTag = "</" + buffer_.substr(start + 1, nameEnd - start - 1) + ">";
        size_t end = buffer_.find(endTag, nameEnd);
        if (end == std::string::npos) return {};
        end += endTag.size();
        std::string document = buffer_.substr(start, end - start);
        buffer_.erase(0, end);
        return document;
    }

    int fd_ = -1;
    std::string buffer_;
    bool ended_ = false;
};

// A loopback port that is free now (the kernel's pick).
inline int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A loopback listener on a free port that the kernel picks; accepts one peer at a time.
class XmlListener {
public:
    XmlListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 4);
        socklen_t length = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
    }
    ~XmlListener() { ::close(fd_); }
    int port() const { return port_; }
    // The next connection; -1 when none arrives in time.
    int Accept(int timeoutMs = 3000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return -1;
        return ::accept(fd_, nullptr, nullptr);
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// The root's requestId of a document.
inline std::string RequestIdOf(const std::string& document) {
    const std::string key = "requestId=\"";
    size_t at = document.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    size_t end = document.find('"', at);
    return end == std::string::npos ? std::string() : document.substr(at, end - at);
}

