#include "runtime/NetSocket.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "NetTestSupport.h"

using namespace nettest;

namespace {

NetAddress Address(const char* host, int port) {
    NetAddress address{};
    std::strncpy(address.host, host, sizeof address.host - 1);
    address.port = port;
    return address;
}

// A listening context on an ephemeral loopback port and one connected client context.
struct Pair {
    std::unique_ptr<NetContext> server;
    std::unique_ptr<NetContext> client;
    int accepted = -1;
};

Pair Connect() {
    Pair pair;
    NetAddress address = Address("127.0.0.1", 0);
    pair.server = NetListen(address, 10, NET_MODE_SERVER, 2, nullptr);
    if (pair.server == nullptr) return pair;
    NetAddress target = Address("127.0.0.1", address.port);
    pair.client = NetConnect(target, nullptr);
    pollfd fd{pair.server->socket, POLLIN, 0};
    ::poll(&fd, 1, 2000);
    pair.accepted = ::accept(pair.server->socket, nullptr, nullptr);
    NetAddClient(pair.server.get(), pair.accepted);
    return pair;
}

}  // namespace

TEST(NetSocket, ListenOnPortZeroReportsTheChosenPortAndAcceptsConnections) {
    Pair pair = Connect();
    ASSERT_NE(pair.server, nullptr);
    ASSERT_NE(pair.client, nullptr);
    EXPECT_GT(pair.server->port, 0);
    EXPECT_STREQ(pair.server->address, "127.0.0.1");
    EXPECT_STREQ(pair.client->address, "127.0.0.1");
    EXPECT_EQ(pair.client->mode, NET_MODE_CLIENT);

    // Through the server's table both ways; a socket missing from the table is refused.
    EXPECT_EQ(NetSend(pair.server.get(), pair.accepted, "ping", 4), 4);
    char buffer[16] = {};
    pollfd fd{pair.client->socket, POLLIN, 0};
    ::poll(&fd, 1, 2000);
    EXPECT_EQ(NetRecv(pair.client.get(), pair.client->socket, buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "ping");
    EXPECT_EQ(NetSend(pair.server.get(), pair.client->socket, "x", 1), -1);
    EXPECT_EQ(NetRecv(pair.server.get(), pair.client->socket, buffer, sizeof buffer), -1);

    NetSocketSet ready;
    ready.Add(pair.accepted);
    int kind = 0;
    EXPECT_EQ(NetGetReadySkt(pair.server.get(), &kind, ready, {}, {}), pair.accepted);
    EXPECT_EQ(kind, NET_READY_READ);

    EXPECT_EQ(NetCloseClient(pair.server.get(), pair.accepted), 0);
    EXPECT_EQ(NetCloseClient(pair.server.get(), pair.accepted), -1);  // closed once only
    NetCloseContext(pair.client.get());
    NetCloseContext(pair.server.get());
}

TEST(NetSocket, EmptyHostBindsEveryAddressAndNamesTheMachine) {
    NetAddress address = Address("", 0);
    auto server = NetListen(address, 10, NET_MODE_SERVER, 1, nullptr);
    if (server == nullptr) GTEST_SKIP() << "the machine's name does not resolve here";
    char name[68] = {};
    ::gethostname(name, sizeof name - 1);
    EXPECT_STREQ(address.host, name);
    NetAddress loopback = Address("127.0.0.1", address.port);
    auto client = NetConnect(loopback, nullptr);
    EXPECT_NE(client, nullptr);  // reachable on loopback: bound to any address
    NetCloseContext(client.get());
    NetCloseContext(server.get());
}

TEST(NetSocket, FailuresGiveTheirKindAndText) {
    PlainListener taken;
    ASSERT_TRUE(taken.ok());
    std::string error;
    NetAddress address = Address("127.0.0.1", taken.port());
    EXPECT_EQ(NetListen(address, 10, NET_MODE_SERVER, 1, &error), nullptr);
    EXPECT_EQ(NetGetLastError(), NET_ERROR_BIND);
    EXPECT_EQ(error.rfind("bind(", 0), 0u) << error;
    EXPECT_NE(error.find("127.0.0.1:" + std::to_string(taken.port()) + "): errno=" + std::to_string(EADDRINUSE)),
              std::string::npos)
        << error;

    // Nobody listens on a port that was just released.
    int closedPort = 0;
    {
        PlainListener gone;
        closedPort = gone.port();
    }
    NetAddress target = Address("127.0.0.1", closedPort);
    EXPECT_EQ(NetConnect(target, &error), nullptr);
    EXPECT_EQ(NetGetLastError(), NET_ERROR_CONNECT);
    EXPECT_EQ(error.rfind("connect(", 0), 0u) << error;
}

TEST(NetSocket, ConnectRefusesDottedTextThatIsNoAddress) {
    const char* bad[] = {"1.2.3.4.5", "999.1.1.1", "127.000.000.001.1", "1234567890123456789012345", "..."};
    for (const char* host : bad) {
        std::string error;
        NetAddress address = Address(host, 80);
        EXPECT_EQ(NetConnect(address, &error), nullptr) << host;
        EXPECT_EQ(NetGetLastError(), NET_ERROR_RESOLVE) << host;
        EXPECT_EQ(error, std::string("gethostbyname(") + host + ")=NULL");
    }
    EXPECT_EQ(NetIsDotted(""), 1);
    EXPECT_EQ(NetIsDotted("10.0.0.1"), 1);
    EXPECT_EQ(NetIsDotted("localhost"), 0);
}

TEST(NetSocket, ConnectIsCancelledThroughItsCancelDescriptor) {
    // 192.0.2.1 (TEST-NET-1) is never routed; without a route the attempt fails at once, with one it
    // hangs until cancelled. Either way it must end promptly.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ASSERT_EQ(::write(pipeFds[1], "x", 1), 1);
    NetAddress address = Address("192.0.2.1", 9);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(NetConnect(address, nullptr, NetConnectLimits{20000, pipeFds[0]}), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(NetSocket, SendToAPeerThatStopsReadingTimesOut) {
    Pair pair = Connect();
    ASSERT_NE(pair.client, nullptr);
    std::vector<char> block(1 << 20, 'a');
    int result = 0;
    int errorNumber = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 64 && result >= 0; ++i) {
        result = NetSend(pair.client.get(), pair.client->socket, block.data(), static_cast<int>(block.size()), 100);
        errorNumber = errno;
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errorNumber, ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    NetCloseClient(pair.server.get(), pair.accepted);
    NetCloseContext(pair.client.get());
    NetCloseContext(pair.server.get());
}

TEST(NetSocket, SendToAVanishedPeerFailsWithoutSignal) {
    Pair pair = Connect();
    ASSERT_NE(pair.client, nullptr);
    // The peer goes away with a reset; writing to it must give -1, not SIGPIPE.
    linger hard{1, 0};
    ::setsockopt(pair.accepted, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    NetCloseClient(pair.server.get(), pair.accepted);
    int result = 0;
    for (int i = 0; i < 50 && result >= 0; ++i) {
        result = NetSend(pair.client.get(), pair.client->socket, "data", 4, 500);
        ::usleep(10000);
    }
    EXPECT_EQ(result, -1);
    NetCloseContext(pair.client.get());
    NetCloseContext(pair.server.get());
}

TEST(NetSocket, KeepAliveOptionsAreSet) {
    Pair pair = Connect();
    ASSERT_NE(pair.client, nullptr);
    ASSERT_EQ(NetSetKeepAlive(pair.accepted, 45, 3), 0);
    int on = 0, idle = 0, interval = 0;
    socklen_t size = sizeof(int);
    ::getsockopt(pair.accepted, SOL_SOCKET, SO_KEEPALIVE, &on, &size);
    ::getsockopt(pair.accepted, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size);
    ::getsockopt(pair.accepted, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &size);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(idle, 45);
    EXPECT_EQ(interval, 3);
    NetCloseClient(pair.server.get(), pair.accepted);
    NetCloseContext(pair.client.get());
    NetCloseContext(pair.server.get());
}
