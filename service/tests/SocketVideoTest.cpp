#include "SocketVideo.h"
#include "XmlTestEnvironment.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace image_messages;
using namespace std::chrono_literals;

namespace {

// A device that answers GetFrame with a small record and GetSample with a bigger one, and counts
// what the channel tells it.
class FakeDevice : public IDevice {
public:
    CSocketVideo* channel = nullptr;
    std::vector<uint8_t> frame{1, 2, 3, 4};
    std::vector<uint8_t> sample = std::vector<uint8_t>(300'000, 0x5A);
    std::atomic<int> frames{0}, samples{0}, closes{0}, errors{0};
    std::atomic<int> delayMs{0};

    int ProcessGetFrameCallback(const std::string& id) override {
        ++frames;
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
        return channel->SendImage(frame.data(), static_cast<unsigned>(frame.size()), id, MID_GetFrame);
    }
    int ProcessGetSampleImageCallback(const std::string& id) override {
        ++samples;
        return channel->SendImage(sample.data(), static_cast<unsigned>(sample.size()), id, MID_GetSample);
    }
    int ProcessSocketPreviewCloseEventCallback() override { return ++closes; }
    int ProcessSocketResultCloseEventCallback() override { return ++closes; }
    int ProcessSocketPreviewErrorEventCallback() override { return ++errors; }
    int ProcessSocketResultErrorEventCallback() override { return ++errors; }

    int ProcessSubscribeCallback(const xercesc::DOMElement*, const std::string&, std::string&,
                                 std::map<int, int>&) override { return 0; }
    int ProcessStartCaptureCallback(const xercesc::DOMElement*, const std::string&, std::string&,
                                    std::string&) override { return 0; }
    int ProcessForceCaptureCallback(const std::string&, std::string&) override { return 0; }
    int ProcessStopCaptureCallback(const std::string&, std::string&) override { return 0; }
    int ProcessClientConnectedCallback() override { return 0; }
    int ProcessSocketDeviceCloseEventCallback() override { return 0; }
    int ProcessSocketDeviceErrorEventCallback() override { return 0; }
    int ProcessClientGoneCallback() override { return 0; }
};

class Client {
public:
    explicit Client(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { close(fd_); }
    bool connected() const { return connected_; }
    void Send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Reads one DER response, using its outer length; false when none arrives in time.
    bool Read(DecodedResponse& out, int timeoutMs = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            size_t consumed = 0;
            if (!buffer_.empty() && DecodeResponse(buffer_.data(), buffer_.size(), out, consumed) == DecodeStatus::Ok) {
                buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
                return true;
            }
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now()).count());
            if (left <= 0)
                return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0)
                return false;
            uint8_t chunk[65536];
            ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0)
                return false;
            buffer_.insert(buffer_.end(), chunk, chunk + n);
        }
    }
    // True when the service closed the connection within the time.
    bool ClosedByPeer(int timeoutMs = 3000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        uint8_t b;
        return recv(fd_, &b, 1, 0) == 0;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::vector<uint8_t> buffer_;
};

std::vector<uint8_t> Request(long type, long code, const std::string& id) {
    std::vector<uint8_t> ber;
    EXPECT_TRUE(EncodeRequest(type, code, id, ber));
    return ber;
}

class SocketVideoTest : public ::testing::Test {
protected:
    void SetUp() override {
        device.channel = &channel;
        channel.SetDevice(&device);
        ASSERT_TRUE(channel.Listen("127.0.0.1", 0, 0, 30, 5000, 10000, 1, 1));
        port = channel.GetPort();
        ASSERT_GE(port, 5000);
        ASSERT_LT(port, 10000);
    }
    void TearDown() override { channel.Close(1); }

    FakeDevice device;
    CSocketVideo channel{"Fp Preview Socket", CSocketVideo::Preview, 0};
    int port = 0;
};

}  // namespace

TEST_F(SocketVideoTest, RequestsInOneWriteAreAnsweredInOrder) {
    Client client(port);
    ASSERT_TRUE(client.connected());
    auto a = Request(0, 1, "FRAME-1"), b = Request(0, 5, "SAMPLE-2");
    a.insert(a.end(), b.begin(), b.end());
    client.Send(a);
    DecodedResponse r1, r2;
    ASSERT_TRUE(client.Read(r1));
    ASSERT_TRUE(client.Read(r2));
    EXPECT_EQ(r1.requestId, "FRAME-1");
    EXPECT_EQ(r1.data, device.frame);
    EXPECT_EQ(r2.requestId, "SAMPLE-2");  // request code 5 counts as GetSample
    EXPECT_EQ(r2.data, device.sample);
    EXPECT_EQ(r2.messageType, 1);
    EXPECT_EQ(r2.returnValue, 1);
    EXPECT_EQ(r2.failureReason, 0);
}

TEST_F(SocketVideoTest, RequestSplitAcrossWritesIsAnsweredOnce) {
    Client client(port);
    auto req = Request(0, 1, "1B4E28BA-2FA1-11D2-883F-0016D3CCA427");
    client.Send(std::vector<uint8_t>(req.begin(), req.begin() + 7));
    std::this_thread::sleep_for(100ms);
    client.Send(std::vector<uint8_t>(req.begin() + 7, req.end()));
    DecodedResponse r;
    ASSERT_TRUE(client.Read(r));
    EXPECT_EQ(r.requestId, "1B4E28BA-2FA1-11D2-883F-0016D3CCA427");
    EXPECT_FALSE(client.Read(r, 300));
    EXPECT_EQ(device.frames, 1);
}

TEST_F(SocketVideoTest, ResponsesAndGarbageGetNoAnswerAndTheChannelKeepsWorking) {
    Client client(port);
    client.Send(Request(1, 1, "NOT-A-REQUEST"));
    DecodedResponse r;
    EXPECT_FALSE(client.Read(r, 300));
    client.Send({0x13, 0x37, 0xFF, 0xFF, 0x00, 0x01});
    EXPECT_FALSE(client.Read(r, 300));
    client.Send(Request(0, 1, ""));
    ASSERT_TRUE(client.Read(r));
    EXPECT_EQ(r.requestId, "");
    EXPECT_EQ(device.frames, 1);
}

TEST_F(SocketVideoTest, SecondClientIsRefusedWhileTheFirstKeepsWorking) {
    Client first(port);
    DecodedResponse r;
    first.Send(Request(0, 1, "A"));
    ASSERT_TRUE(first.Read(r));
    Client second(port);
    EXPECT_TRUE(second.ClosedByPeer());
    first.Send(Request(0, 1, "B"));
    ASSERT_TRUE(first.Read(r));
    EXPECT_EQ(r.requestId, "B");
}

TEST_F(SocketVideoTest, ClientClosingTellsTheDevice) {
    {
        Client client(port);
        DecodedResponse r;
        client.Send(Request(0, 1, "A"));
        ASSERT_TRUE(client.Read(r));
    }
    for (int i = 0; i < 100 && device.closes == 0; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(device.closes, 1);
}

TEST_F(SocketVideoTest, CloseWaitsForARequestInProgress) {
    device.delayMs = 300;
    Client client(port);
    client.Send(Request(0, 1, "SLOW"));
    while (device.frames == 0) std::this_thread::sleep_for(5ms);
    auto start = std::chrono::steady_clock::now();
    channel.Close(1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    EXPECT_EQ(device.frames, 1);
}
