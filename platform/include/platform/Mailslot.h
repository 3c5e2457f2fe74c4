#pragma once
// Mailslot: a one-reader, many-writer message slot on a Unix datagram socket in the abstract
// namespace, named after the slot. Every write is one message and keeps its boundaries. With no
// reader a message is dropped silently, and a writer never waits long: when the reader's queue
// stays full for a few milliseconds the message is dropped too.

#include <atomic>
#include <cstddef>
#include <string>

namespace platform {

// The slot the capture libraries trace to and the trace viewer reads.
inline constexpr const char* kTraceSlotName = "ZarnTraceSlot";

// Name of the trace slot for this process: the environment variable TESSIK_TRACE_SLOT when it is
// set and not empty (tests and parallel viewers), else kTraceSlotName.
std::string TraceSlotName();

// Sends one message to the slot. True when the reader's queue took it; false when it was dropped
// (no reader, queue full, name too long, message too large).
bool MailslotWrite(const std::string& name, const void* data, size_t size);

class MailslotReader {
public:
    enum class Status { Received, Timeout, Closed };
    struct ReadResult {
        Status status;
        size_t length;  // full length of the received message; more than the capacity when cut
    };

    // Binds the slot. Only one reader can own a slot: a second one is not open (error() says why).
    explicit MailslotReader(const std::string& name);
    ~MailslotReader();
    MailslotReader(const MailslotReader&) = delete;
    MailslotReader& operator=(const MailslotReader&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int error() const { return error_; }  // errno of a failed open
    const std::string& name() const { return name_; }

    // Reads the next message into buffer, cutting it at capacity. A negative timeout waits for
    // ever. Closed when the slot is not open, after Shutdown, or on a read error.
    ReadResult Read(void* buffer, size_t capacity, int timeoutMs);

    // Wakes a Read blocked on another thread and makes every later Read return Closed. The slot
    // itself is released by the destructor.
    void Shutdown();

private:
    std::string name_;
    int fd_ = -1;
    int error_ = 0;
    std::atomic<bool> shutdown_{false};
};

}  // namespace platform
