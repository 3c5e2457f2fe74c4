#include "runtime/SocketController.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <future>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "NetTestSupport.h"
#include "platform/ThreadName.h"

using namespace nettest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Closes a plain descriptor at the end of a scope.
struct Fd {
    explicit Fd(int fd_) : fd(fd_) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
};

std::string Kinds(const std::vector<Event>& events) {
    std::string text;
    for (const Event& e : events) text += e.kind;
    return text;
}

}  // namespace

// --- listening -----------------------------------------------------------------------------------

TEST(SocketListen, WalksPastOccupiedPorts) {
    LogCapture log;
    const int base = FreePortRange(4);
    ASSERT_NE(base, 0);
    PlainListener first(base), second(base + 1);
    ASSERT_TRUE(first.ok() && second.ok());
    RecordingEndpoint endpoint;
    ASSERT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, base, base + 3, 0, 4));
    EXPECT_EQ(endpoint.GetPort(), base + 2);
    EXPECT_EQ(endpoint.GetUri(), "127.0.0.1:" + std::to_string(base + 2));
    endpoint.Close(1);
    EXPECT_EQ(endpoint.GetUri(), "");
    std::string text = log.Text();
    EXPECT_NE(text.find("DBG1   : CSocketController::Listen: Recorder(): Failed to listen on URI: 127.0.0.1:" +
                        std::to_string(base) + ". Try to listen on next URI: 127.0.0.1:" + std::to_string(base + 1)),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("INFO   : CSocketController::Listen: Recorder(127.0.0.1:" + std::to_string(base + 2) +
                        "): Listening on URI: 127.0.0.1:" + std::to_string(base + 2)),
              std::string::npos)
        << text;
}

// The loop thread of an endpoint is shown as "sk-" and its name without blanks and "Socket".
TEST(SocketListen, LoopThreadCarriesTheEndpointName) {
    LogCapture log;
    const struct {
        const char* endpoint;
        const char* shown;
    } cases[] = {{"Fp Preview Socket", "sk-FpPreview"}, {"Iris Device Socket", "sk-IrisDevice"}, {"Recorder", "sk-Recorder"}};
    for (const auto& c : cases) {
        RecordingEndpoint endpoint(c.endpoint);
        ASSERT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, 20000, 40000, 1, 1));
        // The loop records its id once it runs.
        int found = 0;
        for (int polls = 0; polls < 500 && found == 0; ++polls) {
            for (const platform::ThreadInfo& info : platform::ProcessThreads())
                found += info.tid == static_cast<pid_t>(endpoint.getThreadId()) && info.name == c.shown;
            if (found == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(found, 1) << c.endpoint;
        endpoint.Close(1);
    }
}

TEST(SocketListen, GivesUpAtTheEndOfTheRangeOrOnAnOccupiedSpecificPort) {
    LogCapture log;
    PlainListener a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    RecordingEndpoint endpoint;
    EXPECT_FALSE(endpoint.Listen("127.0.0.1", a.port(), 0, 30, 0, 0, 0, 1));
    EXPECT_FALSE(endpoint.IsRunning());
    // A range of one occupied port, walked in order.
    EXPECT_FALSE(endpoint.Listen("127.0.0.1", 0, 0, 30, b.port(), b.port(), 0, 1));
    std::string text = log.Text();
    EXPECT_NE(text.find("WARNING: CSocketController::Listen: Recorder(): Failed to listen on URI: 127.0.0.1:" +
                        std::to_string(a.port()) + ".\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(": Failed to listen on all ports from " + std::to_string(b.port()) + " to " +
                        std::to_string(b.port()) + ".\n"),
              std::string::npos)
        << text;
}

TEST(SocketListen, StopsAfterSixteenAttempts) {
    LogCapture log;
    PlainListener taken;
    ASSERT_TRUE(taken.ok());
    RecordingEndpoint endpoint;
    // Random over [port, port + 1): always the occupied port.
    EXPECT_FALSE(endpoint.Listen("127.0.0.1", 0, 0, 30, taken.port(), taken.port() + 1, 1, 1));
    std::string text = log.Text();
    EXPECT_EQ(CountOf(text, ". Try to listen on next URI: 127.0.0.1:" + std::to_string(taken.port()) + "\n"), 15);
    EXPECT_EQ(CountOf(text, ": The application has tried to listen on 15 different ports and nothing work. Please "
                            "check your system configuration."),
              1);
}

TEST(SocketListen, RandomPortsStayBelowTheTopOfTheRange) {
    const int base = FreePortRange(3);
    ASSERT_NE(base, 0);
    RecordingEndpoint endpoint;
    // A one-port range always draws its first port.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, base, base + 1, 1, 1));
        EXPECT_EQ(endpoint.GetPort(), base);
        endpoint.Close(1);
    }
    std::set<int> seen;
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, base, base + 2, 1, 1));
        seen.insert(endpoint.GetPort());
        endpoint.Close(1);
    }
    EXPECT_EQ(seen, (std::set<int>{base, base + 1}));
}

TEST(SocketListen, RefusesInvalidRanges) {
    LogCapture log;
    RecordingEndpoint endpoint;
    EXPECT_FALSE(endpoint.Listen("127.0.0.1", 0, 0, 30, 0, 100, 0, 1));
    EXPECT_FALSE(endpoint.Listen("127.0.0.1", 0, 0, 30, 100, 0, 0, 1));
    EXPECT_FALSE(endpoint.ConnectTo("127.0.0.1", 0, 200, 100, 1));
    std::string text = log.Text();
    EXPECT_NE(text.find("ERROR  : CSocketController::Listen: Recorder(): Invalid nMinPort. nMinPort cannot be 0 when "
                        "nSpecificPort is 0"),
              std::string::npos);
    EXPECT_NE(text.find(": Invalid nMaxPort. nMaxPort cannot be 0 when nSpecificPort is 0"), std::string::npos);
    EXPECT_NE(text.find("ERROR  : CSocketController::ConnectTo: Recorder(): Invalid nMinPort(200) must be >= "
                        "nMaxPort(100)."),
              std::string::npos);
}

// --- connecting ----------------------------------------------------------------------------------

TEST(SocketConnect, OnePassTriesEachPortWithTheWaitBetweenThem) {
    LogCapture log;
    const int base = FreePortRange(3);
    ASSERT_NE(base, 0);
    RecordingEndpoint endpoint;
    endpoint.SetWaitBetweenPorts(150);
    auto start = Clock::now();
    EXPECT_FALSE(endpoint.ConnectTo("127.0.0.1", 0, base, base + 2, 1));
    auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 300ms);  // two waits: none after the last port
    EXPECT_LT(elapsed, 3000ms);
    std::string text = log.Text();
    EXPECT_NE(text.find("WARNING: CSocketController::ConnectTo: Recorder(): Failed to connect to server URI: "
                        "127.0.0.1:" +
                        std::to_string(base) + ". Try to connect to next port " + std::to_string(base + 1)),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(": Failed to connect to all ports within nMinPort(" + std::to_string(base) + ") and nMaxPort(" +
                        std::to_string(base + 2) + ").\n"),
              std::string::npos)
        << text;

    // A specific port with one pass: one attempt, no wait.
    endpoint.SetWaitBetweenPorts(5000);
    start = Clock::now();
    EXPECT_FALSE(endpoint.ConnectTo("127.0.0.1", base, 0, 0, 1));
    EXPECT_LT(Clock::now() - start, 2500ms);
}

TEST(SocketConnect, RepeatsPassesUntilTheServerAppears) {
    LogCapture log;
    const int base = FreePortRange(2);
    ASSERT_NE(base, 0);
    RecordingEndpoint endpoint;
    endpoint.SetWaitBetweenPorts(20);
    endpoint.SetWaitAfterPass(100);
    std::unique_ptr<PlainListener> server;
    std::thread later([&] {
        std::this_thread::sleep_for(400ms);
        server = std::make_unique<PlainListener>(base + 1);
    });
    EXPECT_TRUE(endpoint.ConnectTo("localhost", 0, base, base + 1, 0));
    later.join();
    EXPECT_EQ(endpoint.GetUri(), "127.0.0.1:" + std::to_string(base + 1));
    EXPECT_EQ(endpoint.GetRemoteSocketURI(0), "127.0.0.1:" + std::to_string(base + 1));
    EXPECT_EQ(endpoint.GetConnectedChannelCount(), 1);
    endpoint.Close(1);
    std::string text = log.Text();
    EXPECT_NE(text.find("). System waits 100 milliseconds and will try again."), std::string::npos) << text;
    EXPECT_NE(text.find("INFO   : CSocketController::ConnectTo: Recorder(127.0.0.1:" + std::to_string(base + 1) +
                        "): Connected to Server, URI: 127.0.0.1:" + std::to_string(base + 1)),
              std::string::npos)
        << text;
}

TEST(SocketConnect, CloseFromAnotherThreadEndsThePortWalk) {
    const int base = FreePortRange(1);
    ASSERT_NE(base, 0);
    RecordingEndpoint endpoint;
    endpoint.SetWaitBetweenPorts(10000);
    endpoint.SetWaitAfterPass(10000);
    auto result = std::async(std::launch::async, [&] { return endpoint.ConnectTo("127.0.0.1", base, 0, 0, 0); });
    std::this_thread::sleep_for(200ms);
    auto start = Clock::now();
    endpoint.Close(1);
    ASSERT_EQ(result.wait_for(3s), std::future_status::ready);
    EXPECT_FALSE(result.get());
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_FALSE(endpoint.IsRunning());
}

// --- events --------------------------------------------------------------------------------------

TEST(SocketEvents, ConnectionDataAndPeerCloseArriveInOrder) {
    RecordingEndpoint endpoint;
    ASSERT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, 20000, 60000, 1, 2));
    Fd client(ConnectClient(endpoint.GetPort()));
    ASSERT_GE(client.fd, 0);
    ASSERT_TRUE(endpoint.WaitForCount('N', 1));
    EXPECT_EQ(endpoint.GetConnectedChannelCount(), 1);
    EXPECT_EQ(endpoint.GetRemoteSocketIdLog(0, 1).rfind("channel Id = 0(127.0.0.1:", 0), 0u);
    ASSERT_EQ(::send(client.fd, "hello", 5, 0), 5);
    ASSERT_TRUE(endpoint.WaitFor([](const auto& e) { return RecordingEndpoint::Count(e, 'D') >= 1; }));
    ::close(client.fd);
    client.fd = -1;
    ASSERT_TRUE(endpoint.WaitForCount('C', 1));
    std::vector<Event> events = endpoint.Events();
    EXPECT_EQ(Kinds(events), "NDC");
    EXPECT_EQ(events[1].data, "hello");
    EXPECT_TRUE(events[1].terminated);
    for (const Event& e : events) EXPECT_EQ(e.channel, 0);
    EXPECT_EQ(endpoint.GetConnectedChannelCount(), 0);  // freed before the close event
    EXPECT_EQ(endpoint.GetRemoteSocketIdLog(0, 1), "channel Id = 0(Unknown IP:Unknown Port)");
}

TEST(SocketEvents, ClientBeyondTheLimitIsClosedWithAWarning) {
    LogCapture log;
    RecordingEndpoint endpoint;
    ASSERT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, 20000, 60000, 1, 1));
    Fd first(ConnectClient(endpoint.GetPort()));
    ASSERT_TRUE(endpoint.WaitForCount('N', 1));
    Fd second(ConnectClient(endpoint.GetPort()));
    ASSERT_GE(second.fd, 0);
    EXPECT_EQ(ReadBytes(second.fd, 1), "");  // closed by the server at once
    ASSERT_TRUE(endpoint.WaitForCount('E', 1));
    std::vector<Event> events = endpoint.Events();
    EXPECT_EQ(Kinds(events), "NE");
    EXPECT_EQ(events[1].channel, -1);
    EXPECT_EQ(endpoint.GetConnectedChannelCount(), 1);
    // The first client still works.
    EXPECT_EQ(endpoint.Send(0, "ok", 2, 0, "", MID_Unknown), 0);
    EXPECT_EQ(ReadBytes(first.fd, 2), "ok");
    endpoint.Close(1);
    EXPECT_NE(log.Text().find("WARNING: CSocketUtils::CSAcceptDmn: Recorder: Detected new client connection request "
                              "but server socket has already reached maximum allow clients (1)"),
              std::string::npos);
}

TEST(SocketEvents, BytesArriveAsTheyCameSplitAndMerged) {
    PlainListener server;
    ASSERT_TRUE(server.ok());
    RecordingEndpoint endpoint;
    ASSERT_TRUE(endpoint.ConnectTo("127.0.0.1", server.port(), 0, 0, 1));
    Fd peer(server.Accept());
    ASSERT_GE(peer.fd, 0);

    // 5000 bytes to a client endpoint: at most 2048 bytes per receive.
    std::string big(5000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(::send(peer.fd, big.data(), big.size(), 0), 5000);
    ASSERT_TRUE(endpoint.WaitFor([](const auto& e) { return RecordingEndpoint::Joined(e, 0).size() >= 5000; }));
    std::vector<Event> events = endpoint.Events();
    EXPECT_GE(RecordingEndpoint::Count(events, 'D'), 3);
    for (const Event& e : events) {
        EXPECT_LE(e.data.size(), 2048u);
        EXPECT_TRUE(e.terminated);
    }
    EXPECT_EQ(endpoint.Received(0), big);

    // Two messages written before the loop reads them come as one buffer, unframed.
    endpoint.onData = [](int) { std::this_thread::sleep_for(100ms); };
    ASSERT_EQ(::send(peer.fd, "<A/>", 4, 0), 4);
    ASSERT_EQ(::send(peer.fd, "<B/>", 4, 0), 4);
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(::send(peer.fd, "<C/>", 4, 0), 4);
    ASSERT_TRUE(endpoint.WaitFor([](const auto& e) { return RecordingEndpoint::Joined(e, 0).size() >= 5012; }));
    EXPECT_EQ(endpoint.Received(0).substr(5000), "<A/><B/><C/>");
    // The loop was busy with the first piece while the rest came: at least two of the three
    // messages share one buffer.
    EXPECT_LE(RecordingEndpoint::Count(endpoint.Events(), 'D') - static_cast<int>(events.size()), 2);
    endpoint.Close(1);
}

TEST(SocketEvents, KeepAliveOnlyForClientsFromOtherAddresses) {
    for (const char* address : {"0.0.0.0", "127.0.0.1"}) {
        RecordingEndpoint endpoint;
        ASSERT_TRUE(endpoint.Listen(address, 0, 1, 45, 20000, 60000, 1, 1));
        Fd client(ConnectClient(endpoint.GetPort()));
        ASSERT_TRUE(endpoint.WaitForCount('N', 1));
        int on = -1, idle = 0, interval = 0;
        {
            Synchronized& lock = endpoint.GetThreadLock();
            lock.lock();
            int fd = endpoint.GetDaemon()->channels[0].socket;
            socklen_t size = sizeof(int);
            ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &size);
            ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size);
            ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &size);
            lock.unlock();
        }
        if (std::string(address) == "0.0.0.0") {
            EXPECT_EQ(on, 1);
            EXPECT_EQ(idle, 45);
            EXPECT_EQ(interval, 3);
        } else {
            EXPECT_EQ(on, 0);  // the client comes from the endpoint's own address
        }
        endpoint.Close(1);
    }
}

// --- sending -------------------------------------------------------------------------------------

TEST(SocketSend, RefusesWhatCannotBeSent) {
    LogCapture log;
    RecordingEndpoint endpoint;
    EXPECT_EQ(endpoint.Send(0, "x", 1, 0, "", MID_Unknown), -1);  // not open
    EXPECT_EQ(endpoint.GetRemoteSocketIdLog(0, 1), "channel Id = 0(Unknown IP:Unknown Port)");
    EXPECT_EQ(endpoint.GetRemoteSocketURI(0), "");
    EXPECT_EQ(endpoint.GetConnectedChannelCount(), 0);

    ASSERT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, 20000, 60000, 1, 2));
    Fd client(ConnectClient(endpoint.GetPort()));
    ASSERT_TRUE(endpoint.WaitForCount('N', 1));
    EXPECT_EQ(endpoint.Send(0, "", 0, 0, "", MID_Unknown), -1);
    EXPECT_EQ(endpoint.Send(0, nullptr, 5, 0, "", MID_Unknown), -1);
    for (int channel : {-1, 1, 2, 1000, -1000}) {
        EXPECT_EQ(endpoint.Send(channel, "x", 1, 0, "", MID_Unknown), -1) << channel;
        EXPECT_EQ(endpoint.GetRemoteSocketIdLog(channel, 1),
                  "channel Id = " + std::to_string(channel) + "(Unknown IP:Unknown Port)");
        EXPECT_EQ(endpoint.GetRemoteSocketURI(channel), "");
        EXPECT_EQ(endpoint.CsDmnDown(channel), 0);
    }
    EXPECT_EQ(endpoint.Send(0, "y", 1, 0, "", MID_Unknown), 0);
    EXPECT_EQ(ReadBytes(client.fd, 1), "y");  // nothing of the refused sends came first
    endpoint.Close(1);
    EXPECT_EQ(endpoint.Send(0, "x", 1, 0, "", MID_Unknown), -1);
    std::string text = log.Text();
    EXPECT_NE(text.find("WARNING: CSocketController::Send: Recorder(127.0.0.1:"), std::string::npos);
    EXPECT_NE(text.find(") System cannot send empty data.\n"), std::string::npos);
    EXPECT_NE(text.find("DBG1   : CSocketController::Send: Recorder() Socket is not listened or connected.\n"),
              std::string::npos);
}

TEST(SocketSend, RecordsRequestIdsAndUndoesThemWhenTheSendFails) {
    PlainListener server;
    RecordingEndpoint endpoint;
    ASSERT_TRUE(endpoint.ConnectTo("127.0.0.1", server.port(), 0, 0, 1));
    Fd peer(server.Accept());
    const std::string request = CSocketController::GenerateRequestId();
    EXPECT_EQ(endpoint.Send(0, "<Ping/>", 7, 0, request, MID_Ping), 0);
    EXPECT_EQ(endpoint.FindSentRequestId(0, request), MID_Ping);

    // A response erases the id it answers from the received records.
    EXPECT_TRUE(endpoint.AddReceivedRequestId(0, "R1", MID_VdmCommand));
    EXPECT_FALSE(endpoint.AddReceivedRequestId(0, "R1", MID_VdmCommand));
    EXPECT_TRUE(endpoint.FindReceivedRequestId(0, "R1"));
    EXPECT_EQ(endpoint.Send(0, "<Answer/>", 9, 1, "R1", MID_VdmCommand), 0);
    EXPECT_FALSE(endpoint.FindReceivedRequestId(0, "R1"));
    // An empty id touches nothing.
    EXPECT_EQ(endpoint.Send(0, "<X/>", 4, 0, "", MID_Ping), 0);
    EXPECT_EQ(endpoint.FindSentRequestId(0, ""), MID_Unknown);

    // Ages out with the cleaning time.
    endpoint.CleanRequestIds(RequestIdNow() + 181);
    EXPECT_EQ(endpoint.FindSentRequestId(0, request), MID_Unknown);

    // The peer goes away with a reset: sending fails, leaves no record, and the loop reports the
    // channel (a close or an error, whichever it sees first).
    linger hard{1, 0};
    ::setsockopt(peer.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(peer.fd);
    peer.fd = -1;
    std::string failedId;
    ASSERT_TRUE(WaitFor([&] {
        failedId = CSocketController::GenerateRequestId();
        int result = endpoint.Send(0, "<Ping/>", 7, 0, failedId, MID_Ping);
        return result != 0;
    }));
    EXPECT_EQ(endpoint.FindSentRequestId(0, failedId), MID_Unknown);
    ASSERT_TRUE(endpoint.WaitFor([](const auto& e) {
        return RecordingEndpoint::Count(e, 'C') + RecordingEndpoint::Count(e, 'E') >= 1;
    }));
    EXPECT_EQ(endpoint.GetConnectedChannelCount(), 0);
}

TEST(SocketSend, PeerThatStopsReadingTimesOutAndIsReported) {
    RecordingEndpoint endpoint;
    endpoint.SetSendTimeout(200);
    ASSERT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, 20000, 60000, 1, 2));
    Fd client(ConnectClient(endpoint.GetPort()));  // never reads
    ASSERT_TRUE(endpoint.WaitForCount('N', 1));
    std::vector<char> block(1 << 20, 'z');
    int result = 0;
    auto start = Clock::now();
    for (int i = 0; i < 64 && result == 0; ++i) {
        result = endpoint.Send(0, block.data(), static_cast<int>(block.size()), 0, "", MID_Unknown);
    }
    EXPECT_EQ(result, -2);
    EXPECT_LT(Clock::now() - start, 8s);
    ASSERT_TRUE(endpoint.WaitForCount('E', 1));
    EXPECT_EQ(endpoint.Events().back().channel, 0);
    EXPECT_EQ(endpoint.GetConnectedChannelCount(), 0);
    EXPECT_EQ(endpoint.Send(0, "x", 1, 0, "", MID_Unknown), -1);
}

TEST(SocketSend, SeveralFailedChannelsAreAllReported) {
    RecordingEndpoint endpoint;
    endpoint.SetSendTimeout(100);
    ASSERT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, 20000, 60000, 1, 3));
    Fd a(ConnectClient(endpoint.GetPort())), b(ConnectClient(endpoint.GetPort()));
    ASSERT_TRUE(endpoint.WaitForCount('N', 2));
    // Block the loop in an event so both failures are pending together.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    endpoint.onData = [released](int) { released.wait(); };
    Fd c(ConnectClient(endpoint.GetPort()));
    ASSERT_TRUE(endpoint.WaitForCount('N', 3));
    ASSERT_EQ(::send(c.fd, "hold", 4, 0), 4);
    ASSERT_TRUE(endpoint.WaitFor([](const auto& e) { return RecordingEndpoint::Count(e, 'D') == 1; }));
    std::vector<char> block(1 << 20, 'q');
    for (int channel : {0, 1}) {
        int result = 0;
        for (int i = 0; i < 64 && result == 0; ++i)
            result = endpoint.Send(channel, block.data(), static_cast<int>(block.size()), 0, "", MID_Unknown);
        EXPECT_EQ(result, -2) << channel;
    }
    release.set_value();
    ASSERT_TRUE(endpoint.WaitForCount('E', 2));
    std::set<int> reported;
    for (const Event& e : endpoint.Events())
        if (e.kind == 'E') reported.insert(e.channel);
    EXPECT_EQ(reported, (std::set<int>{0, 1}));
    EXPECT_EQ(endpoint.GetConnectedChannelCount(), 1);
    endpoint.onData = nullptr;
    endpoint.Close(1);
}

TEST(SocketSend, DocumentsGoOutAsTheRootElementInUtf8) {
    PlainListener server;
    RecordingEndpoint endpoint;
    ASSERT_TRUE(endpoint.ConnectTo("127.0.0.1", server.port(), 0, 0, 1));
    Fd peer(server.Accept());
    std::string source = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Note who=\"Zo\xc3\xab\">\xe2\x82\xac 5</Note>";
    xercesc::DOMLSParser* parser = CUtilities::CreateDOMParser(nullptr, false);
    xercesc::DOMDocument* document = CUtilities::ParseXmlText(parser, source.data(), source.size());
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(endpoint.SendDocument(0, document, 0, "", MID_Unknown), 0);
    const std::string expected = "<Note who=\"Zo\xc3\xab\">\xe2\x82\xac 5</Note>";
    EXPECT_EQ(ReadBytes(peer.fd, expected.size()), expected);
    document->release();
    xercesc::XMLGrammarPool* none = nullptr;
    CUtilities::ReleaseParser(parser, none);
    endpoint.Close(1);
}

// --- closing from the endpoint's own thread --------------------------------------------------------

TEST(SocketClose, CloseFromAnEventDoesNotWaitForItself) {
    RecordingEndpoint endpoint;
    endpoint.onData = [&](int) { endpoint.Close(1); };
    ASSERT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, 20000, 60000, 1, 1));
    Fd client(ConnectClient(endpoint.GetPort()));
    ASSERT_EQ(::send(client.fd, "bye", 3, 0), 3);
    ASSERT_TRUE(WaitFor([&] { return endpoint.getState() == Thread::Ended; }));
    EXPECT_FALSE(endpoint.IsRunning());
    EXPECT_EQ(ReadBytes(client.fd, 1), "");  // the endpoint's sockets are closed
    endpoint.onData = nullptr;
}

TEST(SocketClose, ReconnectFromAnEventCarriesOnWithTheNewConnection) {
    PlainListener first, second;
    RecordingEndpoint endpoint;
    endpoint.onClose = [&](int) { EXPECT_TRUE(endpoint.ConnectTo("127.0.0.1", second.port(), 0, 0, 1)); };
    ASSERT_TRUE(endpoint.ConnectTo("127.0.0.1", first.port(), 0, 0, 1));
    ::close(first.Accept());  // the first server drops us
    Fd peer(second.Accept());
    ASSERT_GE(peer.fd, 0);
    ASSERT_TRUE(endpoint.WaitForCount('C', 1));
    ASSERT_EQ(::send(peer.fd, "again", 5, 0), 5);
    ASSERT_TRUE(endpoint.WaitFor([](const auto& e) { return RecordingEndpoint::Count(e, 'D') == 1; }));
    EXPECT_EQ(endpoint.Received(0), "again");
    EXPECT_EQ(endpoint.GetUri(), "127.0.0.1:" + std::to_string(second.port()));
    endpoint.onClose = nullptr;
    endpoint.Close(1);
}

// A Close from another thread while Listen or ConnectTo is still closing what ran before (here:
// waiting for an event operation to return) is not lost: the opening gives up.
TEST(SocketClose, CloseArrivingWhileAnOpeningBeginsSticks) {
    const int deadPort = FreePortRange(1);
    ASSERT_NE(deadPort, 0);
    for (const bool listen : {false, true}) {
        SCOPED_TRACE(listen ? "Listen" : "ConnectTo");
        PlainListener server;
        ASSERT_TRUE(server.ok());
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        RecordingEndpoint endpoint;
        endpoint.onClose = [released](int) { released.wait(); };
        ASSERT_TRUE(endpoint.ConnectTo("127.0.0.1", server.port(), 0, 0, 1));
        ::close(server.Accept());  // the server drops us; the loop waits in the close event
        ASSERT_TRUE(endpoint.WaitForCount('C', 1));
        auto opening = std::async(std::launch::async, [&] {
            // Without a Close this would listen, or retry the dead port for ever.
            return listen ? endpoint.Listen("127.0.0.1", 0, 0, 30, 20000, 60000, 1, 1)
                          : endpoint.ConnectTo("127.0.0.1", deadPort, 0, 0, 0);
        });
        // The opening has begun stopping the old endpoint and waits for its loop.
        ASSERT_TRUE(WaitFor([&] { return !endpoint.IsRunning(); }));
        // The loop is held by this test's own handler until after the Close, so this Close must
        // not wait for the loop: a joining Close that came while the opening was still closing the
        // old sockets would wait for the loop, and the loop for it, for ever.
        endpoint.Close(0);
        release.set_value();
        const bool ended = opening.wait_for(3s) == std::future_status::ready;
        EXPECT_TRUE(ended);
        if (!ended) endpoint.Close(1);
        EXPECT_FALSE(opening.get());
        EXPECT_FALSE(endpoint.IsRunning());
        EXPECT_EQ(endpoint.GetUri(), "");
        endpoint.onClose = nullptr;
        // A later opening is not affected.
        ASSERT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, 20000, 60000, 1, 1));
        endpoint.Close(1);
    }
}

// An endpoint whose schemas do not load would listen and never answer: Listen and ConnectTo fail.
TEST(SocketListen, SchemasThatDoNotLoadFailTheOpening) {
    class SchemaEndpoint : public RecordingEndpoint {
    public:
        explicit SchemaEndpoint(std::string schema) : RecordingEndpoint("Schemas"), schema_(std::move(schema)) {
            SchemaEndpoint::LoadSchemas();
        }
        bool LoadSchemas() override {
            schemaList = {schema_};
            return true;
        }

    private:
        std::string schema_;
    };
    TempDir dir;
    const std::string missing = (dir.path() / "Missing.xsd").string();
    LogCapture log;
    SchemaEndpoint endpoint(missing);
    EXPECT_FALSE(endpoint.Listen("127.0.0.1", 0, 0, 30, 20000, 60000, 1, 1));
    EXPECT_FALSE(endpoint.IsRunning());
    EXPECT_EQ(endpoint.GetPort(), 0);
    PlainListener server;
    ASSERT_TRUE(server.ok());
    EXPECT_FALSE(endpoint.ConnectTo("127.0.0.1", server.port(), 0, 0, 1));
    EXPECT_FALSE(endpoint.IsRunning());
    const std::string text = log.Text();
    EXPECT_EQ(CountOf(text, "ERROR  : Unable to load " + missing + "\n"), 2) << text;
    EXPECT_EQ(CountOf(text, "ERROR  : CSocketController::Listen: Schemas(): Failed to load the XML schemas.\n"), 1)
        << text;
    EXPECT_EQ(CountOf(text, "ERROR  : CSocketController::ConnectTo: Schemas(): Failed to load the XML schemas.\n"), 1)
        << text;

    // With schemas that load, the same endpoint listens.
    PutFile(missing, "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"><xs:element name=\"A\"/></xs:schema>");
    EXPECT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, 20000, 60000, 1, 1));
    endpoint.Close(1);
}

// With one client allowed, a client that closes and connects again at once is served: the old
// connection's close is handled before the new connection, and a refusal costs no pause. The
// loop is held in a data event while the client goes and comes back, so both wait together.
TEST(SocketEvents, ClientThatReconnectsAtOnceIsServed) {
    RecordingEndpoint endpoint;
    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0, released = 0;
    struct ReleaseAll {  // whatever fails below, the loop is never left waiting
        std::mutex& mutex;
        std::condition_variable& changed;
        int& released;
        ~ReleaseAll() {
            std::lock_guard lock(mutex);
            released = 1 << 20;
            changed.notify_all();
        }
    } releaseAll{mutex, changed, released};
    endpoint.onData = [&](int) {
        std::unique_lock lock(mutex);
        const int mine = ++entered;
        changed.notify_all();
        changed.wait(lock, [&] { return released >= mine; });
    };
    ASSERT_TRUE(endpoint.Listen("127.0.0.1", 0, 0, 30, 20000, 60000, 1, 1));
    Fd client(ConnectClient(endpoint.GetPort()));
    ASSERT_TRUE(endpoint.WaitForCount('N', 1));
    constexpr int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(::send(client.fd, "x", 1, 0), 1);
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return entered == round + 1; }));
        }
        ::close(client.fd);
        client.fd = ConnectClient(endpoint.GetPort());  // waits in the listen queue
        ASSERT_GE(client.fd, 0);
        {
            std::lock_guard lock(mutex);
            ++released;
            changed.notify_all();
        }
        ASSERT_TRUE(endpoint.WaitForCount('N', round + 2, 3000)) << "round " << round;
    }
    const std::vector<Event> events = endpoint.Events();
    EXPECT_EQ(Kinds(events), "NDCNDCNDCN");  // nobody refused
    endpoint.Close(1);
    endpoint.onData = nullptr;
}
