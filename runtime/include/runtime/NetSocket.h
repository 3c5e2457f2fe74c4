#pragma once
// Plain socket functions over POSIX TCP sockets: connect, listen with a client table, descriptor
// sets for the poll loop, and send/receive. The channel daemon (CSocketUtils) is their user.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>


// Address record given by the caller: host name or dotted address (empty means this machine)
// and port. NetListen and NetConnect update it (machine name, chosen port).
struct NetAddress {
    char host[68];
    int port;
};

// Kinds of connection context.
enum NetMode {
    NET_MODE_SERVER = 1,           // listening socket with a client table
    NET_MODE_CLIENT_ACCEPTED = 2,  // read like a connected client
    NET_MODE_CLIENT = 3,           // connected client
};

// Kinds of the last error of the calling thread.
enum NetErrorKind {
    NET_ERROR_NONE = 0,
    NET_ERROR_RESOLVE = 5,
    NET_ERROR_CONNECT = 7,
    NET_ERROR_BIND = 8,
    NET_ERROR_LISTEN = 9,
    NET_ERROR_SOCKNAME = 10,
};

struct NetClientSlot {
    int socket = -1;  // -1: free
    int sequence = 0;
};

// A listening or connected socket with its client table.
struct NetContext {
    char address[16] = {};  // numeric address text
    int port = 0;
    int socket = -1;  // -1 once closed
    int backlog = 0;
    int mode = 0;
    std::vector<NetClientSlot> clients;
    int sequence = 0;  // raised on every send or receive through the table
};

// A set of descriptors for the poll loop. Unlike an fd_set it holds any descriptor value and any
// number of them.
class NetSocketSet {
public:
    void Clear() { sockets_.clear(); }
    bool Contains(int socket) const;
    void Add(int socket);  // no duplicates
    void Remove(int socket);
    bool Empty() const { return sockets_.empty(); }
    size_t Size() const { return sockets_.size(); }
    const std::vector<int>& Sockets() const { return sockets_; }

private:
    std::vector<int> sockets_;
};

// Readiness kinds reported by NetGetReadySkt.
enum NetReadyKind { NET_READY_READ = 1, NET_READY_WRITE = 2, NET_READY_EXCEPT = 3 };

// Bounds of one connect attempt: a time limit and a descriptor that cancels the attempt when it
// becomes readable (-1: none).
struct NetConnectLimits {
    int timeoutMs = 20000;
    int cancelFd = -1;
};

// Send time-out used when the caller gives none.
inline constexpr int kNetDefaultSendTimeoutMs = 10000;

int NetStartup();  // 0 ok
int NetGetLastError();  // NetErrorKind of the calling thread's last failure

// 1 when every character is a digit or '.', also for the empty text; else 0.
int NetIsDotted(const char* text);

// First IPv4 address of a name (network byte order). 0 ok, -1 with "gethostbyname(%s)=NULL".
int NetResolve(const char* name, uint32_t* address, std::string* errorText);

// One connect attempt to address:port, bounded by `limits`. A dotted host must be a valid IPv4
// address; other hosts are resolved. Null on failure with the error text and kind set.
std::unique_ptr<NetContext> NetConnect(NetAddress& address, std::string* errorText,
                                       const NetConnectLimits& limits = {});

// Opens a listening socket on address:port (empty host: any address, the record gets the
// machine's name; port 0: the record gets the chosen port). Mode 1 gets `clientSlots` slots.
std::unique_ptr<NetContext> NetListen(NetAddress& address, int backlog, int mode,
                                                  int clientSlots, std::string* errorText);

// Shuts down and closes the context's own socket once.
void NetCloseContext(NetContext* context);

int NetAddClient(NetContext* context, int socket);    // slot or -1 (table full)
int NetCloseClient(NetContext* context, int socket);  // slot or -1 (not in table)

// Adds every client socket to `set`; `highest` gets the highest socket or -1.
int NetCollectSockets(NetContext* context, NetSocketSet& set, int* highest);

// First client in table order that is in the exception set (kind 3), else the write set (2), else
// the read set (1); -1 when none.
int NetGetReadySkt(NetContext* context, int* kind, const NetSocketSet& readSet,
                               const NetSocketSet& writeSet, const NetSocketSet& exceptSet);

// Sends all bytes, waiting at most `timeoutMs` for the peer to take them. Bytes sent, or -1 (a
// server's socket missing from its table, a broken connection, or the time-out: errno ETIMEDOUT).
// Never raises SIGPIPE.
int NetSend(NetContext* context, int socket, const char* data, int length,
                        int timeoutMs = kNetDefaultSendTimeoutMs);

// One receive without blocking: bytes, 0 when the peer closed, -1 on error (errno kept).
int NetRecv(NetContext* context, int socket, char* buffer, int length);

// TCP keep-alive on a socket: on, first probe after idleSeconds, then every intervalSeconds.
int NetSetKeepAlive(int socket, int idleSeconds, int intervalSeconds);
