#include "ImageMessageCodec.h"

#include <gtest/gtest.h>

using namespace image_messages;

namespace {
std::vector<uint8_t> Bytes(std::initializer_list<int> v) {
    std::vector<uint8_t> out;
    for (int b : v) out.push_back(static_cast<uint8_t>(b));
    return out;
}
}  // namespace

TEST(ImageMessageCodec, ResponseHasTheDocumentedDerLayout) {
    const uint8_t record[] = {0xDE, 0xAD, 0xBE, 0xEF};
    std::vector<uint8_t> der;
    ASSERT_TRUE(EncodeResponse("AB", record, sizeof record, der));
    EXPECT_EQ(der, Bytes({0x30, 0x1A, 0x02, 0x01, 0x01, 0x04, 0x02, 0x41, 0x42, 0x30, 0x06, 0x02, 0x01, 0x01,
                          0x02, 0x01, 0x00, 0x30, 0x09, 0x04, 0x01, 0x20, 0x04, 0x04, 0xDE, 0xAD, 0xBE, 0xEF}));
}

TEST(ImageMessageCodec, LargeRecordUsesLongFormLengthsAndDecodesBack) {
    std::vector<uint8_t> record(1'600'046);
    for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(i * 7);
    std::string id(36, 'F');
    std::vector<uint8_t> der;
    ASSERT_TRUE(EncodeResponse(id, record.data(), record.size(), der));
    EXPECT_EQ(der[0], 0x30);
    EXPECT_EQ(der[1], 0x83);  // three length bytes follow
    size_t declared = (size_t{der[2]} << 16) | (size_t{der[3]} << 8) | der[4];
    EXPECT_EQ(declared + 5, der.size());

    DecodedResponse response;
    size_t consumed = 0;
    ASSERT_EQ(DecodeResponse(der.data(), der.size(), response, consumed), DecodeStatus::Ok);
    EXPECT_EQ(consumed, der.size());
    EXPECT_EQ(response.messageType, 1);
    EXPECT_EQ(response.requestId, id);
    EXPECT_EQ(response.returnValue, 1);
    EXPECT_EQ(response.failureReason, 0);
    ASSERT_TRUE(response.hasSample);
    EXPECT_EQ(response.format, std::string("\x20"));
    EXPECT_EQ(response.data, record);
}

TEST(ImageMessageCodec, RequestIdOctetsSurviveUnchanged) {
    const std::string ids[] = {"", std::string("A\0B", 3), "0123456789ABCDEF0123456789ABCDEF0123"};
    for (const std::string& id : ids) {
        std::vector<uint8_t> ber;
        ASSERT_TRUE(EncodeRequest(0, 1, id, ber));
        DecodeResult r = DecodeRequest(ber.data(), ber.size());
        ASSERT_EQ(r.status, DecodeStatus::Ok);
        EXPECT_EQ(r.request.requestId, id);
        EXPECT_EQ(r.consumed, ber.size());

        std::vector<uint8_t> der;
        ASSERT_TRUE(EncodeResponse(r.request.requestId, nullptr, 0, der));
        DecodedResponse response;
        size_t consumed = 0;
        ASSERT_EQ(DecodeResponse(der.data(), der.size(), response, consumed), DecodeStatus::Ok);
        EXPECT_EQ(response.requestId, id);
    }
}

TEST(ImageMessageCodec, BerFormsAndUncheckedValuesAreAccepted) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        long messageType, requestCode;
        std::string id;
    } cases[] = {
        {"definite", Bytes({0x30, 0x0A, 0x02, 0x01, 0x00, 0x02, 0x01, 0x01, 0x04, 0x02, 'i', 'd'}), 0, 1, "id"},
        {"indefinite length",
         Bytes({0x30, 0x80, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x04, 0x01, 'x', 0x00, 0x00}), 0, 0, "x"},
        {"request code 5 is outside the range but decodes",
         Bytes({0x30, 0x08, 0x02, 0x01, 0x00, 0x02, 0x01, 0x05, 0x04, 0x00}), 0, 5, ""},
        {"long-form length", Bytes({0x30, 0x81, 0x08, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01, 0x04, 0x00}), 1, 1, ""},
    };
    for (const Case& c : cases) {
        DecodeResult r = DecodeRequest(c.bytes.data(), c.bytes.size());
        ASSERT_EQ(r.status, DecodeStatus::Ok) << c.what;
        EXPECT_EQ(r.consumed, c.bytes.size()) << c.what;
        EXPECT_EQ(r.request.messageType, c.messageType) << c.what;
        EXPECT_EQ(r.request.requestCode, c.requestCode) << c.what;
        EXPECT_EQ(r.request.requestId, c.id) << c.what;
    }
}

TEST(ImageMessageCodec, MalformedInputFailsOrWaits) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        DecodeStatus expected;
    } cases[] = {
        {"wrong outer tag", Bytes({0x31, 0x03, 0x02, 0x01, 0x00}), DecodeStatus::Failed},
        {"text", Bytes({'G', 'E', 'T', ' ', '/'}), DecodeStatus::Failed},
        {"member of the wrong type", Bytes({0x30, 0x03, 0x04, 0x01, 0x00}), DecodeStatus::Failed},
        {"truncated", Bytes({0x30, 0x0A, 0x02, 0x01, 0x00}), DecodeStatus::NeedMore},
        {"huge declared length", Bytes({0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 0x02}), DecodeStatus::NeedMore},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecodeRequest(c.bytes.data(), c.bytes.size()).status, c.expected) << c.what;
}

TEST(RequestAssembler, RequestSplitAcrossReadsIsDecodedOnceWhole) {
    std::vector<uint8_t> ber;
    ASSERT_TRUE(EncodeRequest(0, 1, "REQ-1", ber));
    for (size_t cut = 1; cut < ber.size(); ++cut) {
        RequestAssembler a;
        auto first = a.Feed(ber.data(), cut);
        EXPECT_TRUE(first.requests.empty()) << cut;
        EXPECT_FALSE(first.failed) << cut;
        auto second = a.Feed(ber.data() + cut, ber.size() - cut);
        ASSERT_EQ(second.requests.size(), 1u) << cut;
        EXPECT_EQ(second.requests[0].requestId, "REQ-1");
        EXPECT_EQ(a.PendingBytes(), 0u);
    }
}

TEST(RequestAssembler, SeveralRequestsInOneReadComeOutInOrder) {
    std::vector<uint8_t> stream, one;
    for (const char* id : {"A", "B", "C"}) {
        ASSERT_TRUE(EncodeRequest(0, id[0] == 'B' ? 0 : 1, id, one));
        stream.insert(stream.end(), one.begin(), one.end());
    }
    RequestAssembler a;
    auto out = a.Feed(stream.data(), stream.size());
    ASSERT_EQ(out.requests.size(), 3u);
    EXPECT_EQ(out.requests[0].requestId, "A");
    EXPECT_EQ(out.requests[1].requestCode, 0);
    EXPECT_EQ(out.requests[2].requestId, "C");
}

TEST(RequestAssembler, GarbageDropsTheRestOfTheChunkButNotLaterReads) {
    std::vector<uint8_t> good;
    ASSERT_TRUE(EncodeRequest(0, 1, "OK", good));
    std::vector<uint8_t> chunk = good;
    chunk.insert(chunk.end(), {0xFF, 0xFF, 0x00});
    chunk.insert(chunk.end(), good.begin(), good.end());  // after the garbage: dropped
    RequestAssembler a;
    auto out = a.Feed(chunk.data(), chunk.size());
    EXPECT_EQ(out.requests.size(), 1u);
    EXPECT_TRUE(out.failed);
    EXPECT_EQ(out.failedPosition, good.size());
    EXPECT_EQ(a.PendingBytes(), 0u);
    auto next = a.Feed(good.data(), good.size());
    EXPECT_EQ(next.requests.size(), 1u);
}

TEST(RequestAssembler, AnIncompleteRequestCannotGrowWithoutBound) {
    RequestAssembler a;
    std::vector<uint8_t> head = Bytes({0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x00, 0x02, 0x01, 0x01,
                                       0x04, 0x84, 0x7F, 0xFF, 0xFF, 0xF0});
    auto first = a.Feed(head.data(), head.size());
    EXPECT_FALSE(first.overflow);
    EXPECT_FALSE(first.failed);
    EXPECT_EQ(a.PendingBytes(), head.size());
    std::vector<uint8_t> filler(16 * 1024, 0x41);
    bool overflowed = false;
    for (int i = 0; i < 8 && !overflowed; ++i)
        overflowed = a.Feed(filler.data(), filler.size()).overflow;
    EXPECT_TRUE(overflowed);
    EXPECT_EQ(a.PendingBytes(), 0u);
}
