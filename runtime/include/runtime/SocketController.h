#pragma once
// TCP endpoint base class of every socket of the service and the controller. It listens (fixed,
// random or walked port) or connects (port walk with waits), runs one poll loop on its own thread
// and hands every event to the derived class's virtual operations. There is no framing: bytes go
// out unchanged and come in one receive at a time.
//
// Locks: the call lock (the Thread's own) serialises opening and closing; the thread lock guards
// the channel table and its request-id records and is taken by the loop, Send, the getters and
// the request-id members. Neither is held across poll or a virtual operation. The request-id
// members below take the thread lock themselves; code that holds it (GetThreadLock) uses the free
// functions of RequestIds.h on GetDaemon() instead.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "runtime/RequestIds.h"
#include "runtime/SocketUtils.h"
#include "runtime/Synchronized.h"
#include "runtime/Thread.h"
#include "runtime/Utilities.h"

class CSocketController : public Thread {
public:
    CSocketController(const std::string& name, int logModule);
    // Closes the endpoint when still open. A derived class must call Close(1) in its own
    // destructor, since the loop calls its virtual operations.
    ~CSocketController() override;

    // Loop of the endpoint's thread.
    void run() override;
    // Closes the endpoint; with join, waits for the loop to end (not when called on the loop
    // thread itself, which ends after the current operation returns).
    virtual void Close(int join);
    // Fills the schema list used for the endpoint's validating parser. The base clears it.
    virtual bool LoadSchemas();
    // Events, on the loop thread with no lock held. `data` holds `length` bytes and a NUL after
    // them; it is freed when the call returns.
    virtual void ProcessNewRemoteConnection(int channel);
    virtual void ProcessSocketCloseEvent(int channel);
    virtual void ProcessSocketErrorEvent(int channel);  // -1: an accept failed
    virtual void ProcessReceivedDataNormal(int channel, char* data, int length);

    // Listens on `uri` ("hostname" and "" are normalised): on nSpecificPort alone when not 0,
    // else on nMinPort..nMaxPort in order, or at random in [nMinPort, nMaxPort) with bRandomPort,
    // at most 16 attempts. maxClients sizes the channel table.
    bool Listen(const std::string& uri, int nSpecificPort, int keepAlive, int keepAliveSeconds, int nMinPort,
                int nMaxPort, int bRandomPort, int maxClients);
    // Connects to `uri`: on nSpecificPort alone when not 0 (retried unless bOnePass), else over
    // nMinPort..nMaxPort with the wait between ports after each failed port and the wait after a
    // pass after the last one; with bOnePass one pass only. Blocks until connected, given up or
    // closed from another thread.
    bool ConnectTo(const std::string& uri, int nSpecificPort, int nMinPort, int nMaxPort, int bOnePass);
    void StopThread(int join);
    void CloseSockets();

    // 0 sent; -1 not open, empty data, or a channel that is free or outside the table (-1
    // included); -2 the send failed or timed out (the loop removes the channel and reports it to
    // ProcessSocketErrorEvent).
    int Send(int channel, const char* data, int length, int isResponse, const std::string& requestId,
             MessageId messageId);
    // Sends the root element of a document (or the given element) as UTF-8 text without an XML
    // declaration; Send's result.
    int SendDocument(int channel, const xercesc::DOMNode* node, int isResponse, const std::string& requestId,
                     MessageId messageId);

    // "channel Id = n(ip:port)", with "(Unknown IP:Unknown Port)" for a channel that is not
    // connected. With lock 0 the caller holds the thread lock (or is the loop thread).
    std::string GetRemoteSocketIdLog(int channel, int lock);
    std::string GetRemoteSocketURI(int channel);  // "ip:port", empty when not connected
    int GetConnectedChannelCount();
    std::string GetUri();
    std::string GetLogPrefix();  // ": " + name + "(" + URI + ")"
    int GetPort() const { return port.load(); }
    bool IsRunning() const { return running.load() != 0; }
    static std::string GenerateRequestId();

    // Request-id records of a channel, under the thread lock.
    bool AddReceivedRequestId(int channel, const std::string& requestId, MessageId messageId);
    bool FindReceivedRequestId(int channel, const std::string& requestId);
    MessageId FindSentRequestId(int channel, const std::string& requestId);
    bool RemoveSentRequestId(int channel, const std::string& requestId);
    // Records the id of a request received on a channel and gives the peer's text for log lines,
    // in one hold of the thread lock. Closed: the endpoint has no channels (nothing to answer);
    // Repeated: the id is already recorded on that channel.
    enum class ReceivedId { Closed, Repeated, Recorded };
    ReceivedId RecordReceivedRequestId(int channel, const std::string& requestId, MessageId messageId,
                                       std::string* remote);
    void CleanRequestIds(int64_t now);
    // Drops a client (closes its socket, frees its entry). 1 removed, 0 not connected.
    int CsDmnDown(int channel);

    // The thread lock and the channel daemon (null while closed), for code that needs several
    // table operations in one hold.
    Synchronized& GetThreadLock() { return threadLock; }
    CSocketUtils* GetDaemon() { return daemon.get(); }
    // The endpoint's parser (validating when the schema list was not empty); used on the loop
    // thread, kept until the endpoint opens again or is destroyed.
    xercesc::DOMLSParser* GetDOMParser() { return domParser; }

    // Waits of ConnectTo, in milliseconds (3000 and 10000 unless changed).
    void SetWaitBetweenPorts(int ms) { waitBetweenPorts.store(ms); }
    void SetWaitAfterPass(int ms) { waitAfterPass.store(ms); }
    int GetWaitBetweenPorts() const { return waitBetweenPorts.load(); }
    int GetWaitAfterPass() const { return waitAfterPass.load(); }
    // Limit of one connect attempt and of one send to a peer that does not read.
    void SetConnectTimeout(int ms) { connectTimeoutMs.store(ms); }
    void SetSendTimeout(int ms) { sendTimeoutMs.store(ms); }

protected:
    std::vector<std::string> schemaList;

private:
    bool CheckPortArguments(const char* op, int nSpecificPort, int nMinPort, int nMaxPort);
    // Closes or joins what ran before and makes the parser for the schema list; false (logged)
    // when the schemas do not load.
    bool Open(const char* op);
    // Whether a Close came after an opening began at `epoch`; an opening that finds one gives up.
    bool ClosedSince(unsigned epoch) const { return closeEpoch.load() != epoch; }
    // The end of an opening that began at `epoch`: the opened daemon becomes this controller's
    // and its loop starts, its URI logged after `opened`; a Close meanwhile closes it instead
    // (false).
    bool Adopt(std::unique_ptr<CSocketUtils>& made, unsigned epoch, const char* op, const char* opened);
    bool OnLoopThread() const;
    int RandomPort(int nMinPort, int nMaxPort);
    bool MakeParser();
    void ReleaseParser();
    void StartLoop();
    bool Pause(int ms);  // sleeps; false when closed meanwhile
    void Wake();
    void DrainWake();
    void SetUri(const std::string& uri);
    int SendOne(int channel, const char* data, int length, int isResponse, const std::string& requestId,
                MessageId messageId);

    std::atomic<int> waitBetweenPorts{3000};
    std::atomic<int> waitAfterPass{10000};
    std::atomic<int> connectTimeoutMs{20000};
    std::atomic<int> sendTimeoutMs{kNetDefaultSendTimeoutMs};
    std::vector<int> failedChannels;  // under threadLock
    std::atomic<int> running{0};
    std::unique_ptr<CSocketUtils> daemon;  // under threadLock
    xercesc::DOMLSParser* domParser = nullptr;
    xercesc::XMLGrammarPool* grammarPool = nullptr;
    std::mutex uriMutex;
    std::string uri;
    std::atomic<int> port{0};
    Synchronized threadLock;
    int wakeFd = -1;  // eventfd: wakes the loop and ends waits and connects on Close
    std::atomic<std::thread::id> loopThread{};
    // Counts Close calls from other threads than an opening's own, so that a Close arriving
    // while Listen or ConnectTo gets going is not lost.
    std::atomic<unsigned> closeEpoch{0};
    std::atomic<std::thread::id> openingThread{};
    std::mt19937 random;
};
