#pragma once
// Helpers of the socket and XML tests: log capture, free loopback ports and an endpoint that
// records its events.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "runtime/Log.h"
#include "runtime/SocketController.h"

namespace nettest {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WaitFor;

// Writes a file, making its folder first.
inline void PutFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    testsupport::WriteFile(path, text);
}

// Log module 0 written into a temporary folder at DBG3; Text() flushes and returns every line.
class LogCapture {
public:
    LogCapture() {
        StartLogThread();
        OpenLog("test", dir_.path().string());
        previous_ = currentLevel.load();
        currentLevel.store(LOGLEVEL_DBG3);
    }
    ~LogCapture() {
        StopLogThread();
        currentLevel.store(previous_);
    }
    std::string Text() {
        StopLogThread();
        std::string all;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) all += ReadFile(entry.path());
        return all;
    }

private:
    TempDir dir_;
    int previous_ = LOGLEVEL_INFO;
};

inline int CountOf(const std::string& text, const std::string& piece) {
    int count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size())) ++count;
    return count;
}

// A plain socket listening on 127.0.0.1:port (0: any free port), closed on destruction. With
// `reuseAddress` it binds even while connections of an earlier program linger in TIME_WAIT.
class PlainListener {
public:
    explicit PlainListener(int port = 0, bool reuseAddress = false) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (reuseAddress) ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd_, 8) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~PlainListener() {
        if (fd_ >= 0) ::close(fd_);
    }
    PlainListener(const PlainListener&) = delete;
    PlainListener& operator=(const PlainListener&) = delete;
    bool ok() const { return fd_ >= 0; }
    int port() const { return port_; }
    int fd() const { return fd_; }
    // Accepts one connection (blocking); its descriptor.
    int Accept() { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

private:
    int fd_ = -1;
    int port_ = 0;
};

// `count` consecutive ports that are free on 127.0.0.1 right now, from a region chosen by the
// process id, so that tests running in parallel do not meet. The region stays below the kernel's
// ephemeral ports (32768 and up): a connect to a port without a listener there can be answered by
// the connecting socket itself, and outgoing connections of other tests may take it meanwhile.
inline int FreePortRange(int count) {
    std::mt19937 random(static_cast<unsigned>(::getpid()) * 7919u + static_cast<unsigned>(count));
    for (int attempt = 0; attempt < 200; ++attempt) {
        int base = 20000 + static_cast<int>(random() % 12000u);
        bool free = true;
        std::vector<std::unique_ptr<PlainListener>> probes;
        for (int i = 0; i < count && free; ++i) {
            probes.push_back(std::make_unique<PlainListener>(base + i));
            free = probes.back()->ok();
        }
        if (free) return base;
    }
    return 0;
}

// A client socket connected to 127.0.0.1:port, or -1.
inline int ConnectClient(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until `count` bytes arrived, the peer closed or `timeoutMs` passed.
inline std::string ReadBytes(int fd, size_t count, int timeoutMs = 3000) {
    std::string text;
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char buffer[4096];
    while (text.size() < count) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

struct Event {
    char kind;  // 'N' new, 'C' closed, 'E' error, 'D' data
    int channel;
    std::string data;
    bool terminated;  // data was followed by a NUL
};

// An endpoint that records every event; hooks may act on the loop thread.
class RecordingEndpoint : public CSocketController {
public:
    explicit RecordingEndpoint(const std::string& name = "Recorder") : CSocketController(name, 0) {
        SetWaitBetweenPorts(50);
        SetWaitAfterPass(50);
    }
    ~RecordingEndpoint() override { Close(1); }

    void ProcessNewRemoteConnection(int channel) override { Record({'N', channel, {}, false}); }
    void ProcessSocketCloseEvent(int channel) override {
        Record({'C', channel, {}, false});
        if (onClose) onClose(channel);
    }
    void ProcessSocketErrorEvent(int channel) override { Record({'E', channel, {}, false}); }
    void ProcessReceivedDataNormal(int channel, char* data, int length) override {
        Record({'D', channel, std::string(data, static_cast<size_t>(length)), data[length] == '\0'});
        if (onData) onData(channel);
    }

    // Waits until `done` holds for the events so far (called with the record lock held).
    bool WaitFor(const std::function<bool(const std::vector<Event>&)>& done, int timeoutMs = 5000) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done(events_); });
    }
    bool WaitForCount(char kind, int count, int timeoutMs = 5000) {
        return WaitFor([&](const std::vector<Event>& events) { return Count(events, kind) >= count; }, timeoutMs);
    }
    std::vector<Event> Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::string Received(int channel) {
        std::lock_guard lock(mutex_);
        return Joined(events_, channel);
    }
    // The data of a channel's events, joined.
    static std::string Joined(const std::vector<Event>& events, int channel) {
        std::string all;
        for (const Event& e : events)
            if (e.kind == 'D' && e.channel == channel) all += e.data;
        return all;
    }
    static int Count(const std::vector<Event>& events, char kind) {
        int n = 0;
        for (const Event& e : events) n += e.kind == kind ? 1 : 0;
        return n;
    }

    std::function<void(int)> onData;
    std::function<void(int)> onClose;

private:
    void Record(Event event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

}  // namespace nettest
