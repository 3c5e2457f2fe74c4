#pragma once
// The channel daemon of one socket endpoint: its address, the channel table with the per-channel
// request-id records, the descriptor set of the poll loop, accepting with a client limit and TCP
// keep-alive, receiving into new buffers and sending. It has no lock: its owner (CSocketController)
// calls it under the endpoint's table lock.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/NetSocket.h"
#include "runtime/Utilities.h"

// A request id's message kind and the time (seconds since the epoch) it was recorded.
struct RequestIdRecord {
    MessageId messageId = MID_Unknown;
    int64_t time = 0;
};
using RequestIdMap = std::map<std::string, RequestIdRecord>;

// Peer of a channel: numeric address text and port in host byte order.
struct SocketPeer {
    char address[64] = {};
    int port = 0;
};

// One entry of the channel table. The id records outlive the connection: a later client on the
// same entry sees them until they age out.
struct SocketChannel {
    RequestIdMap receivedIds;
    RequestIdMap sentIds;
    int socket = -1;  // -1: free
    SocketPeer peer;
    std::unique_ptr<char[]> pending;  // data of the send in progress
    int sendOffset = 0;
    int sendLength = 0;
};

class CSocketUtils {
public:
    // Event kinds of CSProcEvent.
    enum EventKind {
        EVENT_NEW_CONNECTION = 0,
        EVENT_CLOSED = 1,  // closed by the peer
        EVENT_DATA = 2,
        EVENT_ERROR = 4,
        EVENT_NONE = 5,
    };

    // Bytes received per channel of the table in one receive.
    static constexpr int kReceiveBytesPerChannel = 2048;

    // Server form: a listening daemon with maxClients channels. Client form: one channel. The
    // address is normalised ("hostname", empty text). 0 on success.
    static int CSInit(std::unique_ptr<CSocketUtils>& daemon, const std::string& name, const std::string& address,
                      int port, int maxClients, int logModule);
    static int CSInit(std::unique_ptr<CSocketUtils>& daemon, const std::string& name, const std::string& address,
                      int port, int logModule);

    CSocketUtils(const CSocketUtils&) = delete;
    CSocketUtils& operator=(const CSocketUtils&) = delete;
    ~CSocketUtils();

    // First free entry for a new connection, or -1 when the table is full.
    int CsDmnAddChannel(int socket, const SocketPeer& peer);
    // Copies the data into the channel's pending buffer and sends it: -10 when a send is already
    // pending, -1 for a channel that is out of range or free, else CsDmnSend's result.
    int CsDmnQueueSend(int channel, const char* data, int length);
    // Sends the pending buffer (bytes sent, -1 on failure or time-out, 0 when nothing pending).
    int CsDmnSend(int channel);
    // One event after a poll: the channel (or -1), its kind and, for data, a new buffer holding
    // `length` bytes followed by a NUL.
    int CSProcEvent(int& kind, const NetSocketSet& readSet, const NetSocketSet& writeSet,
                    const NetSocketSet& exceptSet, std::unique_ptr<char[]>& buffer, int& length);
    // One receive on a channel: 0 data, -2 closed by the peer, -10 nothing to read now (the
    // channel stays), -1 error. The channel is removed for -2 and -1.
    int CSDmnRcvReq(int socket, int channel, std::unique_ptr<char[]>& buffer, int& length);
    // Accepts a pending connection: its channel, or -1. `acceptRefused` tells a connection
    // accepted and closed because the table is full apart from a failed accept.
    int CSAcceptDmn();
    // Closes a channel's socket and frees the entry (its id records stay). 1 removed, 0 when the
    // channel was free or out of range.
    int CsDmnDown(int channel, SocketPeer* peer = nullptr);
    // Closes every socket once and drops the table.
    void CsDmnClose();

    // The entry of a channel in use, or null for a free entry or a channel outside the table.
    SocketChannel* ChannelInUse(int channel);
    // The entry of a channel inside the table, in use or not; null outside it.
    SocketChannel* ChannelAt(int channel);
    int ChannelCount() const { return static_cast<int>(channels.size()); }

    // This machine's IPv4 addresses, public first, then private, then loopback. 0, or -1 when
    // the addresses cannot be read.
    static int CSGetLocalIpList(std::vector<std::string>& list);
    // This machine's own address: its resolved name when that is a local address, else the
    // first local address, else the resolved text.
    static std::string CSGetHostAddress();
    // Lower-cases an address text; "hostname" becomes the host address, an empty text
    // "localhost".
    static std::string NormaliseAddress(std::string address);

    std::string name;
    int logModule = 0;
    NetAddress address{};  // numeric text once opened
    int isServer = 0;
    int keepAlive = 0;
    int keepAliveSeconds = 30;
    int backlog = 10;
    int sendTimeoutMs = kNetDefaultSendTimeoutMs;
    std::unique_ptr<NetContext> context;
    std::vector<SocketChannel> channels;
    int highestSocket = 0;  // highest descriptor + 1
    NetSocketSet readSet;
    NetSocketSet writeSet;   // stays empty
    NetSocketSet exceptSet;  // stays empty
    bool acceptRefused = false;  // the last accept ended in a refusal, not a failure

private:
    CSocketUtils() = default;
    void RebuildReadSet();
    int AcceptEvent(int& kind);  // the listening socket is ready
    std::string Describe(int channel) const;  // "channel Id = n(ip:port)"
};

// Copies a text into a fixed field, cut to fit and always ended.
void CopySocketText(char* target, size_t size, const char* text);

// Orders IPv4 address texts as CSGetLocalIpList lists them: public addresses in the given order,
// then private ones (10., 169.254., 192.168., 172.16-31.), then loopback (127.), then
// "127.0.0.1" once more when it was among them. Texts starting with "0." are dropped.
std::vector<std::string> ClassifyLocalAddresses(const std::vector<std::string>& addresses);

// The host address rule: `resolved` when it is in `list`, else the list's first entry, else
// `resolved`.
std::string ChooseHostAddress(const std::string& resolved, const std::vector<std::string>& list);
