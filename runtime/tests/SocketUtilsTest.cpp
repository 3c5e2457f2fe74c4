#include "runtime/SocketUtils.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "NetTestSupport.h"

using namespace nettest;

namespace {

// A listening daemon of two channels whose channel 0 is one end of a socket pair.
struct PairDaemon {
    PairDaemon() {
        CSocketUtils::CSInit(daemon, "pair", "127.0.0.1", 0, 2, 0);
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        peer = fds[1];
        daemon->context = std::make_unique<NetContext>();
        daemon->context->mode = NET_MODE_SERVER;
        daemon->context->clients.assign(2, {});
        NetAddClient(daemon->context.get(), fds[0]);
        SocketPeer from;
        CopySocketText(from.address, sizeof from.address, "10.0.0.7");
        from.port = 4401;
        channel = daemon->CsDmnAddChannel(fds[0], from);
        own = fds[0];
    }
    ~PairDaemon() {
        if (peer >= 0) ::close(peer);
    }
    std::unique_ptr<CSocketUtils> daemon;
    int own = -1;
    int peer = -1;
    int channel = -1;
};

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

}  // namespace

TEST(SocketDaemon, ReceiveKeepsTheChannelWhenNothingIsThereAndEndsTheDataWithNul) {
    PairDaemon pair;
    ASSERT_EQ(pair.channel, 0);
    EXPECT_TRUE(pair.daemon->readSet.Contains(pair.own));
    std::unique_ptr<char[]> buffer;
    int length = -1;
    EXPECT_EQ(pair.daemon->CSDmnRcvReq(pair.own, 0, buffer, length), -10);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_NE(pair.daemon->ChannelInUse(0), nullptr);  // would-block is no failure

    ASSERT_EQ(::write(pair.peer, "abc", 3), 3);
    EXPECT_EQ(pair.daemon->CSDmnRcvReq(pair.own, 0, buffer, length), 0);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(std::string(buffer.get()), "abc");  // NUL after the data

    ::close(pair.peer);
    pair.peer = -1;
    EXPECT_EQ(pair.daemon->CSDmnRcvReq(pair.own, 0, buffer, length), -2);
    EXPECT_EQ(pair.daemon->ChannelInUse(0), nullptr);
    EXPECT_FALSE(pair.daemon->readSet.Contains(pair.own));
    EXPECT_FALSE(IsOpen(pair.own));
}

TEST(SocketDaemon, ChannelsAreBoundsCheckedAndABusyChannelRefusesData) {
    PairDaemon pair;
    for (int channel : {-1, 1, 2, 99}) {
        EXPECT_EQ(pair.daemon->CsDmnQueueSend(channel, "x", 1), -1) << channel;
        EXPECT_EQ(pair.daemon->CsDmnDown(channel), 0) << channel;
        EXPECT_EQ(pair.daemon->ChannelInUse(channel), nullptr) << channel;
    }
    EXPECT_EQ(pair.daemon->ChannelAt(1)->socket, -1);
    EXPECT_EQ(pair.daemon->ChannelAt(2), nullptr);

    SocketChannel& entry = pair.daemon->channels[0];
    entry.pending.reset(new char[4]{'b', 'u', 's', 'y'});
    entry.sendLength = 4;
    EXPECT_EQ(pair.daemon->CsDmnQueueSend(0, "new", 3), -10);
    EXPECT_EQ(std::string(entry.pending.get(), 4), "busy");  // untouched
    entry.pending.reset();
    entry.sendLength = 0;

    EXPECT_EQ(pair.daemon->CsDmnQueueSend(0, "sent", 4), 4);
    EXPECT_EQ(entry.pending, nullptr);  // freed when the send returned
    EXPECT_EQ(ReadBytes(pair.peer, 4), "sent");

    SocketPeer peer;
    EXPECT_EQ(pair.daemon->CsDmnDown(0, &peer), 1);
    EXPECT_STREQ(peer.address, "10.0.0.7");
    EXPECT_EQ(peer.port, 4401);
    EXPECT_EQ(pair.daemon->CsDmnDown(0, &peer), 0);
}

TEST(SocketDaemon, IdRecordsOutliveTheConnectionOfTheirEntry) {
    PairDaemon pair;
    pair.daemon->channels[0].receivedIds["R"] = {MID_Subscribe, 1};
    EXPECT_EQ(pair.daemon->CsDmnDown(0), 1);
    EXPECT_EQ(pair.daemon->channels[0].receivedIds.count("R"), 1u);
}

TEST(SocketEndpoint, ClientSocketIsClosedOnceAndNotWatchedAfterThePeerLeft) {
    PlainListener server;
    RecordingEndpoint endpoint;
    ASSERT_TRUE(endpoint.ConnectTo("127.0.0.1", server.port(), 0, 0, 1));
    int own = -1;
    {
        Synchronized& lock = endpoint.GetThreadLock();
        lock.lock();
        own = endpoint.GetDaemon()->channels[0].socket;
        lock.unlock();
    }
    ::close(server.Accept());
    ASSERT_TRUE(endpoint.WaitForCount('C', 1));
    {
        Synchronized& lock = endpoint.GetThreadLock();
        lock.lock();
        EXPECT_TRUE(endpoint.GetDaemon()->readSet.Empty());
        EXPECT_EQ(endpoint.GetDaemon()->context->socket, -1);
        lock.unlock();
    }
    // The number is free again and may be reused by anyone; closing the endpoint must not touch it.
    ASSERT_FALSE(IsOpen(own));
    int fresh = ::eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(fresh, 0);
    int reused = fresh == own ? fresh : ::dup2(fresh, own);
    if (fresh != own) ::close(fresh);
    ASSERT_EQ(reused, own);
    endpoint.Close(1);
    EXPECT_TRUE(IsOpen(reused));
    ::close(reused);
    EXPECT_EQ(RecordingEndpoint::Count(endpoint.Events(), 'E'), 0);
}
