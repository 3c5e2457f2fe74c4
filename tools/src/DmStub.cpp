#include "peers/DmStub.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include "platform/ThreadName.h"

namespace peers {

std::string ElementAttribute(const std::string& document, const std::string& element, const std::string& name) {
    size_t at = 0;
    for (;;) {
        at = document.find("<" + element, at);
        if (at == std::string::npos) return {};
        const char next = at + element.size() + 1 < document.size() ? document[at + element.size() + 1] : '\0';
        if (next == ' ' || next == '/' || next == '>' || next == '\t' || next == '\n' || next == '\r') break;
        at += element.size() + 1;
    }
    const size_t end = document.find('>', at);
    const std::string tag = document.substr(at, end == std::string::npos ? std::string::npos : end - at);
    for (size_t pos = 0;;) {
        pos = tag.find(name + "=", pos);
        if (pos == std::string::npos) return {};
        if (pos == 0 || (tag[pos - 1] != ' ' && tag[pos - 1] != '\t' && tag[pos - 1] != '\n')) {
            pos += name.size();
            continue;
        }
        pos += name.size() + 1;
        if (pos >= tag.size() || (tag[pos] != '"' && tag[pos] != '\'')) return {};
        const size_t close = tag.find(tag[pos], pos + 1);
        if (close == std::string::npos) return {};
        return tag.substr(pos + 1, close - pos - 1);
    }
}

bool HasElement(const std::string& document, const std::string& element) {
    for (size_t at = document.find("<" + element); at != std::string::npos;
         at = document.find("<" + element, at + 1)) {
        const size_t after = at + element.size() + 1;
        if (after >= document.size()) return false;
        const char next = document[after];
        if (next == ' ' || next == '/' || next == '>' || next == '\t' || next == '\n' || next == '\r') return true;
    }
    return false;
}

size_t CompleteDocumentLength(const std::string& buffer) {
    size_t start = buffer.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return 0;
    if (buffer[start] != '<') return std::string::npos;
    // Skip an XML declaration.
    if (buffer.compare(start, 5, "<?xml") == 0) {
        const size_t end = buffer.find("?>", start);
        if (end == std::string::npos) return 0;
        start = buffer.find_first_not_of(" \t\r\n", end + 2);
        if (start == std::string::npos) return 0;
        if (buffer[start] != '<') return std::string::npos;
    }
    const size_t nameEnd = buffer.find_first_of(" \t\r\n/>", start + 1);
    if (nameEnd == std::string::npos) return 0;
    const std::string name = buffer.substr(start + 1, nameEnd - start - 1);
    if (name.empty()) return std::string::npos;
    const size_t tagEnd = buffer.find('>', nameEnd);
    if (tagEnd == std::string::npos) return 0;
    if (buffer[tagEnd - 1] == '/') return tagEnd + 1;  // an empty root
    const std::string endTag = "</" + name + ">";
    const size_t end = buffer.find(endTag, tagEnd);
    return end == std::string::npos ? 0 : end + endTag.size();
}

bool CDmStub::Start(int port, int heartBeat, bool print) {
    Stop();
    heartBeat_ = heartBeat;
    print_ = print;
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return false;
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    port_ = ntohs(a.sin_port);
    stop_.store(false);
    thread_ = platform::StartNamedThread("dm-stub", [this] { Loop(); });
    return true;
}

void CDmStub::Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

void CDmStub::DropConnection() {
    drop_.store(true);
}

void CDmStub::SendRaw(const std::string& bytes) {
    std::lock_guard guard(mutex_);
    raw_ += bytes;
}

std::vector<DmEvent> CDmStub::Events() {
    std::lock_guard guard(mutex_);
    return events_;
}

int CDmStub::Count(const std::string& kind) {
    std::lock_guard guard(mutex_);
    int count = 0;
    for (const auto& event : events_) count += event.kind == kind ? 1 : 0;
    return count;
}

bool CDmStub::WaitFor(const std::string& kind, int count, int timeoutMs) {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        int seen = 0;
        for (const auto& event : events_) seen += event.kind == kind ? 1 : 0;
        return seen >= count;
    });
}

void CDmStub::Record(const DmEvent& event) {
    if (print_ && (event.kind == "Arrival" || event.kind == "Removal")) {
        std::printf("DM stub: %s deviceURI=%s%s%s\n", event.kind.c_str(), event.deviceURI.c_str(),
                    event.deviceModel.empty() ? "" : " deviceModel=", event.deviceModel.c_str());
        std::fflush(stdout);
    }
    std::lock_guard guard(mutex_);
    events_.push_back(event);
    changed_.notify_all();
}

bool CDmStub::HandleBuffer(int fd, std::string& buffer) {
    for (;;) {
        const size_t length = CompleteDocumentLength(buffer);
        if (length == std::string::npos) return false;
        if (length == 0) return buffer.size() <= kMaxDocument;
        const std::string document = buffer.substr(0, length);
        buffer.erase(0, length);
        const std::string requestId = ElementAttribute(document, "DeviceManagerEventRequest", "requestId");
        DmEvent event;
        std::string extra;
        for (const char* kind : {"Connect", "Arrival", "Removal", "Ping"}) {
            if (HasElement(document, kind)) {
                event.kind = kind;
                break;
            }
        }
        if (event.kind.empty()) event.kind = "Other";
        event.deviceURI = ElementAttribute(document, event.kind, "deviceURI");
        event.modality = ElementAttribute(document, event.kind, "modality");
        event.deviceModel = ElementAttribute(document, event.kind, "deviceModel");
        event.serialNumber = ElementAttribute(document, event.kind, "serialNumber");
        if (event.kind == "Connect") {
            extra = "<ConnectResponse apiVersion=\"3.0.0\" vendor=\"Tessik\" dmName=\"DM stub\" dmVersion=\"1.0\" "
                    "heartBeat=\"" + std::to_string(heartBeat_) + "\"/>";
        }
        const std::string answer = "<DeviceManagerEventResponse requestId=\"" + requestId +
                                   "\"><Return value=\"Success\" failureReason=\"Success\"/>" + extra +
                                   "</DeviceManagerEventResponse>";
        Record(event);
        if (::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size()))
            return false;
    }
}

void CDmStub::Loop() {
    int fd = -1;
    std::string buffer;
    while (!stop_.load()) {
        if (fd >= 0 && drop_.exchange(false)) {
            ::close(fd);
            fd = -1;
        }
        std::string raw;
        {
            std::lock_guard guard(mutex_);
            raw.swap(raw_);
        }
        if (fd >= 0 && !raw.empty()) ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
        pollfd p{fd >= 0 ? fd : listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        if (fd < 0) {
            fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            buffer.clear();
            if (fd >= 0) connections_.fetch_add(1);
            drop_.store(false);
            continue;
        }
        char chunk[65536];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            ::close(fd);
            fd = -1;
            continue;
        }
        buffer.append(chunk, static_cast<size_t>(n));
        if (!HandleBuffer(fd, buffer)) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd >= 0) ::close(fd);
}

}  // namespace peers
