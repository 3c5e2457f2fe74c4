#include "ImageMessageCodec.h"

#include "RequestMessage.h"
#include "ResponseMessage.h"
#include "der_encoder.h"

#include <cstdlib>
#include <cstring>

namespace image_messages {
namespace {

// Bounds the decoder's recursion on hostile input.
constexpr size_t kMaxDecoderStack = 30000;

template <typename T>
struct AsnPtr {
    asn_TYPE_descriptor_t* type;
    T* value = nullptr;
    explicit AsnPtr(asn_TYPE_descriptor_t* t) : type(t) {}
    ~AsnPtr() {
        if (value)
            ASN_STRUCT_FREE(*type, value);
    }
    AsnPtr(const AsnPtr&) = delete;
    AsnPtr& operator=(const AsnPtr&) = delete;
};

bool SetOctets(OCTET_STRING_t& s, const void* data, size_t length) {
    // OCTET_STRING_fromBuf treats a negative size as "use strlen", so give it explicit sizes only.
    if (length > static_cast<size_t>(INT32_MAX))
        return false;
    return OCTET_STRING_fromBuf(&s, static_cast<const char*>(data), static_cast<int>(length)) == 0;
}

std::string Octets(const OCTET_STRING_t& s) {
    return s.buf ? std::string(reinterpret_cast<const char*>(s.buf), s.size) : std::string();
}

int AppendBytes(const void* buffer, size_t size, void* key) {
    auto* out = static_cast<std::vector<uint8_t>*>(key);
    const auto* p = static_cast<const uint8_t*>(buffer);
    out->insert(out->end(), p, p + size);
    return 0;
}

template <typename T>
bool DerEncode(asn_TYPE_descriptor_t* type, T* value, std::vector<uint8_t>& out) {
    out.clear();
    asn_enc_rval_t measured = der_encode(type, value, nullptr, nullptr);
    if (measured.encoded < 0)
        return false;
    out.reserve(static_cast<size_t>(measured.encoded));
    asn_enc_rval_t written = der_encode(type, value, AppendBytes, &out);
    return written.encoded == measured.encoded && out.size() == static_cast<size_t>(written.encoded);
}

}  // namespace

DecodeResult DecodeRequest(const uint8_t* data, size_t length) {
    DecodeResult result;
    AsnPtr<RequestMessage_t> msg(&asn_DEF_RequestMessage);
    asn_codec_ctx_t ctx{kMaxDecoderStack};
    asn_dec_rval_t rv = ber_decode(&ctx, &asn_DEF_RequestMessage, reinterpret_cast<void**>(&msg.value), data, length);
    result.consumed = rv.consumed;
    if (rv.code == RC_WMORE) {
        result.status = DecodeStatus::NeedMore;
        return result;
    }
    if (rv.code != RC_OK || !msg.value) {
        result.status = DecodeStatus::Failed;
        return result;
    }
    result.status = DecodeStatus::Ok;
    result.request.messageType = msg.value->messageType;
    result.request.requestCode = msg.value->requestCode;
    result.request.requestId = Octets(msg.value->requestId);
    return result;
}

bool EncodeResponse(const std::string& requestId, const uint8_t* record, size_t recordLength,
                    std::vector<uint8_t>& out) {
    AsnPtr<ResponseMessage_t> msg(&asn_DEF_ResponseMessage);
    msg.value = static_cast<ResponseMessage_t*>(calloc(1, sizeof(ResponseMessage_t)));
    if (!msg.value)
        return false;
    msg.value->biometricSample = static_cast<BiometricSample_t*>(calloc(1, sizeof(BiometricSample_t)));
    if (!msg.value->biometricSample)
        return false;
    msg.value->messageType = 1;
    msg.value->Return.returnValue = 1;
    msg.value->Return.failureReason = 0;
    const uint8_t format = 0x20;
    if (!SetOctets(msg.value->requestId, requestId.data(), requestId.size()) ||
        !SetOctets(msg.value->biometricSample->format, &format, 1) ||
        !SetOctets(msg.value->biometricSample->data, record, recordLength))
        return false;
    return DerEncode(&asn_DEF_ResponseMessage, msg.value, out);
}

bool EncodeRequest(long messageType, long requestCode, const std::string& requestId, std::vector<uint8_t>& out) {
    AsnPtr<RequestMessage_t> msg(&asn_DEF_RequestMessage);
    msg.value = static_cast<RequestMessage_t*>(calloc(1, sizeof(RequestMessage_t)));
    if (!msg.value)
        return false;
    msg.value->messageType = messageType;
    msg.value->requestCode = requestCode;
    if (!SetOctets(msg.value->requestId, requestId.data(), requestId.size()))
        return false;
    return DerEncode(&asn_DEF_RequestMessage, msg.value, out);
}

DecodeStatus DecodeResponse(const uint8_t* data, size_t length, DecodedResponse& response, size_t& consumed) {
    AsnPtr<ResponseMessage_t> msg(&asn_DEF_ResponseMessage);
    asn_codec_ctx_t ctx{kMaxDecoderStack};
    asn_dec_rval_t rv = ber_decode(&ctx, &asn_DEF_ResponseMessage, reinterpret_cast<void**>(&msg.value), data, length);
    consumed = rv.consumed;
    if (rv.code == RC_WMORE)
        return DecodeStatus::NeedMore;
    if (rv.code != RC_OK || !msg.value)
        return DecodeStatus::Failed;
    response.messageType = msg.value->messageType;
    response.requestId = Octets(msg.value->requestId);
    response.returnValue = msg.value->Return.returnValue;
    response.failureReason = msg.value->Return.failureReason;
    response.hasSample = msg.value->biometricSample != nullptr;
    if (response.hasSample) {
        response.format = Octets(msg.value->biometricSample->format);
        const OCTET_STRING_t& d = msg.value->biometricSample->data;
        response.data.assign(d.buf, d.buf + d.size);
    }
    return DecodeStatus::Ok;
}

RequestAssembler::Outcome RequestAssembler::Feed(const uint8_t* data, size_t length) {
    Outcome outcome;
    pending_.insert(pending_.end(), data, data + length);
    outcome.receivedLength = pending_.size();
    size_t position = 0;
    while (position < pending_.size()) {
        DecodeResult r = DecodeRequest(pending_.data() + position, pending_.size() - position);
        if (r.status == DecodeStatus::Ok) {
            r.request.position = position;
            r.request.consumed = r.consumed;
            outcome.requests.push_back(std::move(r.request));
            position += r.consumed;
            continue;
        }
        if (r.status == DecodeStatus::NeedMore) {
            // Keep the start of the request for the next read, unless it has grown past any real request.
            if (pending_.size() - position > kMaxPending) {
                outcome.overflow = true;
                position = pending_.size();
            }
            break;
        }
        outcome.failed = true;
        outcome.failedConsumed = r.consumed;
        outcome.failedPosition = position;
        position = pending_.size();
        break;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(position));
    return outcome;
}

}  // namespace image_messages
