#pragma once
// A Device Manager stand-in for tests and demos: listens on a loopback port, takes one service
// connection at a time, answers a Connect with a ConnectResponse and every other request with its
// Return, and records the Arrival and Removal messages it receives (and prints them when asked).

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace peers {

struct DmEvent {
    std::string kind;        // "Connect", "Arrival", "Removal", "Ping" or the element's name
    std::string deviceURI;   // Arrival and Removal
    std::string modality;    // Arrival
    std::string deviceModel; // Arrival
    std::string serialNumber; // Arrival
};

class CDmStub {
public:
    // Longest document the stub keeps waiting for; a longer unfinished input drops the connection.
    static constexpr size_t kMaxDocument = 1 << 20;

    CDmStub() = default;
    CDmStub(const CDmStub&) = delete;
    CDmStub& operator=(const CDmStub&) = delete;
    ~CDmStub() { Stop(); }

    // Listens on 127.0.0.1:port (0: a free port the kernel picks); false when it cannot.
    bool Start(int port, int heartBeat = 20, bool print = false);
    void Stop();
    int Port() const { return port_; }

    // Drops the current service connection (the service sees the DM lost).
    void DropConnection();
    // Sends bytes as they are to the connected service (for tests of bad input).
    void SendRaw(const std::string& bytes);
    std::vector<DmEvent> Events();
    // Number of recorded events of a kind.
    int Count(const std::string& kind);
    // Waits until `count` events of `kind` were recorded; false on timeout.
    bool WaitFor(const std::string& kind, int count, int timeoutMs);
    int Connections() const { return connections_.load(); }

private:
    void Loop();
    // Handles the complete documents at the start of `buffer`; false to drop the connection.
    bool HandleBuffer(int fd, std::string& buffer);
    void Record(const DmEvent& event);

    int listenFd_ = -1;
    int port_ = 0;
    int heartBeat_ = 20;
    bool print_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> drop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<DmEvent> events_;
    std::string raw_;  // under mutex_
};

// Attribute `name` of the first element `element` in a document; empty when absent.
std::string ElementAttribute(const std::string& document, const std::string& element, const std::string& name);
// True when the document holds an element of that name.
bool HasElement(const std::string& document, const std::string& element);
// Length of the first complete XML document at the start of `buffer` (after leading blanks),
// 0 when it is not complete yet, std::string::npos when the bytes cannot start a document.
size_t CompleteDocumentLength(const std::string& buffer);

}  // namespace peers
