#pragma once
// BER decoding of image requests and DER encoding of image responses, over the code that asn1c
// generates from ImageMessages.asn1. Only this file's implementation sees the generated types.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace image_messages {

enum class DecodeStatus {
    Ok,        // one request decoded; `consumed` bytes used
    NeedMore,  // the bytes so far are the start of a request
    Failed,    // the bytes are not a request
};

struct DecodedRequest {
    long messageType = 0;
    long requestCode = 0;
    std::string requestId;  // the octets as received, embedded zero bytes included
    size_t position = 0;    // where the request began in the bytes gathered for the round
    size_t consumed = 0;    // its encoded length
};

struct DecodeResult {
    DecodeStatus status = DecodeStatus::Failed;
    size_t consumed = 0;
    DecodedRequest request;
};

// Decodes one BER RequestMessage from the start of `data`.
DecodeResult DecodeRequest(const uint8_t* data, size_t length);

// DER-encodes a ResponseMessage: messageType 1, the request id echoed, Return {1, 0} and a
// BiometricSample with format 0x20 and the record as data.
bool EncodeResponse(const std::string& requestId, const uint8_t* record, size_t recordLength,
                    std::vector<uint8_t>& out);

// The peer's side: a client builds requests and reads responses with these.
bool EncodeRequest(long messageType, long requestCode, const std::string& requestId, std::vector<uint8_t>& out);

struct DecodedResponse {
    long messageType = 0;
    std::string requestId;
    long returnValue = 0;
    long failureReason = 0;
    bool hasSample = false;
    std::string format;
    std::vector<uint8_t> data;
};
DecodeStatus DecodeResponse(const uint8_t* data, size_t length, DecodedResponse& response, size_t& consumed);

// Gathers requests from a byte stream: a request split across reads is kept and decoded when the
// rest arrives. What is kept is bounded; undecodable bytes end the chunk.
class RequestAssembler {
public:
    static constexpr size_t kMaxPending = 64 * 1024;

    struct Outcome {
        std::vector<DecodedRequest> requests;  // in the order they arrived
        bool failed = false;                   // undecodable bytes met; the rest was dropped
        size_t failedConsumed = 0;             // bytes the decoder consumed before failing
        size_t failedPosition = 0;             // where in the gathered bytes decoding failed
        size_t receivedLength = 0;             // bytes gathered for this round (kept + new)
        bool overflow = false;                 // an incomplete request outgrew kMaxPending
    };

    Outcome Feed(const uint8_t* data, size_t length);
    size_t PendingBytes() const { return pending_.size(); }
    void Clear() { pending_.clear(); }

private:
    std::vector<uint8_t> pending_;
};

}  // namespace image_messages
