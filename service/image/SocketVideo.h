#pragma once
// Preview and result image channels of a device: a listener with one client that answers BER
// GetFrame and GetSample requests with DER responses carrying an ISO record.

#include <atomic>
#include <string>
#include <thread>

#include "ImageMessageCodec.h"
#include "device/IDevice.h"
#include "runtime/SocketController.h"
#include "runtime/Synchronized.h"

class CSocketVideo : public CSocketController {
public:
    enum Kind { Preview = 0, Result = 1 };

    CSocketVideo(const std::string& name, int kind, int logModule);
    ~CSocketVideo() override;

    // Closes the channel and returns only after a request in progress has been answered.
    void Close(int join) override;
    bool LoadSchemas() override;  // no XML arrives here
    void ProcessNewRemoteConnection(int channel) override;
    void ProcessSocketCloseEvent(int channel) override;
    void ProcessSocketErrorEvent(int channel) override;
    void ProcessReceivedDataNormal(int channel, char* data, int length) override;

    // Sends a ResponseMessage with the record to the client; true when it went out. The caller
    // keeps the record. `messageId` is MID_GetFrame for previews, MID_GetSample for results.
    bool SendImage(const unsigned char* record, unsigned int recordLength, const std::string& requestId,
                   MessageId messageId);

    void SetDevice(IDevice* device) { device_.store(device); }
    int GetKind() const { return kind_; }
    int GetClientChannel() const { return clientChannel_.load(); }

private:
    std::atomic<int> clientChannel_{0};
    std::atomic<std::thread::id> handlingThread_{};
    Synchronized lock_;
    std::atomic<IDevice*> device_{nullptr};
    const int kind_;
    image_messages::RequestAssembler assembler_;  // used on the socket thread only
};
