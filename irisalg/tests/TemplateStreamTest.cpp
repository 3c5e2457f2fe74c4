#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "TskIrisAPI.h"
#include "irisalg/IrisAlg.h"

using namespace irisalg;

namespace {

// An IMF with geometry, quality, two features and optionally a caller's extra block.
struct Template {
    IMF imf{};
    IrisExtraBlock extra{};
    uint8_t extraData[3] = {7, 8, 9};
    Template(bool withExtra) {
        imf.geometry = static_cast<IrisLocation*>(std::calloc(1, sizeof(IrisLocation)));
        *imf.geometry = IrisLocation{310, 242, 48, 312, 240, 118, {2400, -4096, 5243, 4100, 0, 0},
                                     {-800, 4096, -5243, 3900, 0, 0}, 2, 77, 255, {}};
        imf.quality = static_cast<IrisQualityRecord*>(std::malloc(sizeof(IrisQualityRecord)));
        for (int i = 0; i < 16; ++i) imf.quality->bytes[i] = uint8_t(i * 13);
        const int lengths[2] = {40, 2304};
        for (int i = 0; i < 2; ++i) {
            imf.data[i] = static_cast<uint8_t*>(IrisAlignedAlloc(size_t(lengths[i]), 16));
            for (int k = 0; k < lengths[i]; ++k) imf.data[i][k] = uint8_t(k * 7 + i);
            imf.length[i] = lengths[i];
            imf.id[i] = uint8_t(i == 0 ? 32 : 41);  // the first and the last feature id
            imf.version[i] = i == 0 ? 0x02000000u : 0x0A0B0C0Du;
        }
        imf.count = 2;
        if (withExtra) {
            extra.value = 0x11223344;
            extra.byteValue = 0x1A5;
            extra.length = 3;
            extra.data = extraData;
            imf.extra = &extra;
        }
    }
    ~Template() { TskIris_Free_IMF(&imf); }
};

std::vector<uint8_t> Encode(const IMF& imf, int32_t room = 10240) {
    uint32_t header[16] = {};
    header[1] = 0x01E00280;  // caller words, copied as they stand
    std::vector<uint8_t> out(size_t(room) + 8, 0xEE);
    char err[64] = {};
    int32_t size = room;
    EXPECT_EQ(TskIris_FeatureEncode_Ex(&imf, header, out.data(), &size, 0, err), 0) << err;
    out.resize(size_t(size));
    return out;
}

void Reseal(std::vector<uint8_t>& s) {
    uint32_t sum = 0;
    for (size_t i = 0; i < s.size(); ++i)
        if (i != 12) sum += s[i];
    s[12] = uint8_t(sum);
}

int32_t Decode(const std::vector<uint8_t>& s, IMF& out, std::string* message = nullptr, int32_t length = -1) {
    char err[64] = {};
    int reserved = 0;
    const int32_t rc = TskIris_FeatureDecode_Ex(s.data(), length < 0 ? int32_t(s.size()) : length, &out, &reserved, err);
    if (message) *message = err;
    return rc;
}

}  // namespace

TEST(TemplateStream, RoundTripsEverythingButTheExtraBlock) {
    Template t(true);
    const std::vector<uint8_t> s = Encode(t.imf);
    // Length: header, geometry, quality, two features, the extra block, end marker.
    ASSERT_EQ(s.size(), size_t(64 + 69 + 22 + (40 + 20) + (2304 + 20) + (3 + 11) + 2));
    EXPECT_EQ((uint32_t(s[0]) << 24 | s[1] << 16 | s[2] << 8 | s[3]), s.size());
    EXPECT_EQ(s[4], 0x80);  // header word 1, memory order
    EXPECT_EQ(s[s.size() - 1], 0xFF);
    EXPECT_EQ(s[s.size() - 2], 0xFF);
    // The version text of 2.0.0.0 fills its ten bytes with zeros; 10.11.12.13 keeps ten bytes.
    const size_t f0 = 64 + 69 + 22;
    EXPECT_EQ(s[f0 + 1], 32);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&s[f0 + 10]), 10), std::string("2.0.0.0\0\0\0", 10));
    const size_t f1 = f0 + 60;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&s[f1 + 10]), 10), "10.11.12.1");

    IMF back{};
    ASSERT_EQ(Decode(s, back), 0);
    ASSERT_NE(back.geometry, nullptr);
    EXPECT_EQ(std::memcmp(back.geometry, t.imf.geometry, sizeof(IrisLocation)), 0);
    ASSERT_NE(back.quality, nullptr);
    EXPECT_EQ(std::memcmp(back.quality, t.imf.quality, 16), 0);
    ASSERT_EQ(back.count, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(back.id[i], t.imf.id[i]);
        EXPECT_EQ(back.version[i], t.imf.version[i]);
        ASSERT_EQ(back.length[i], t.imf.length[i]);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(back.data[i]) % 16, 0u);
        EXPECT_EQ(std::memcmp(back.data[i], t.imf.data[i], size_t(back.length[i])), 0);
    }
    EXPECT_EQ(back.extra, nullptr);
    // Re-encoding what was read gives the same stream without the extra block.
    Template plain(false);
    EXPECT_EQ(Encode(back), Encode(plain.imf));
    TskIris_Free_IMF(&back);
    EXPECT_EQ(back.geometry, nullptr);
    EXPECT_EQ(back.count, 0);
}

TEST(TemplateStream, EncoderRefusesWithoutRoomOrPointers) {
    Template t(false);
    const size_t L = Encode(t.imf).size();
    uint32_t header[16] = {};
    std::vector<uint8_t> out(L, 0xAB);
    char err[64] = {};
    int32_t size = int32_t(L - 1);
    EXPECT_EQ(TskIris_FeatureEncode_Ex(&t.imf, header, out.data(), &size, 0, err), -12);
    EXPECT_STREQ(err, "Not enough memory for CID buffer");
    EXPECT_EQ(out, std::vector<uint8_t>(L, 0xAB));  // nothing written
    EXPECT_EQ(size, int32_t(L - 1));
    EXPECT_EQ(TskIris_FeatureEncode_Ex(&t.imf, header, out.data(), &size, 0, nullptr), -11);
    EXPECT_EQ(TskIris_FeatureEncode_Ex(nullptr, header, out.data(), &size, 0, err), -11);
    EXPECT_STREQ(err, "input pointer is null");
    for (int32_t bad : {17, -1}) {  // more features than the record holds, or fewer than none
        t.imf.count = bad;
        EXPECT_EQ(TskIris_FeatureEncode_Ex(&t.imf, header, out.data(), &size, 0, err), -11) << bad;
    }
    t.imf.count = 2;
}

TEST(TemplateStream, EmptyStreamDecodesToAnEmptyTemplate) {
    std::vector<uint8_t> s(66, 0);
    s[3] = 66;
    s[64] = s[65] = 0xFF;
    Reseal(s);
    IMF out{};
    out.count = 5;
    EXPECT_EQ(Decode(s, out), 0);
    EXPECT_EQ(out.count, 0);
    EXPECT_EQ(out.geometry, nullptr);
}

// Every damaged or truncated stream is refused with its code, frees what it built and reads
// nothing beyond the bytes it was given (ASan sees the exact-size copies).
TEST(TemplateStream, DamagedStreamsAreRefused) {
    Template t(true);
    const std::vector<uint8_t> good = Encode(t.imf);
    const size_t L = good.size();
    const size_t geo = 64, qual = geo + 69, f0 = qual + 22, f1 = f0 + 60, extra = f1 + 2324;
    auto setP = [](std::vector<uint8_t>& s, size_t block, uint32_t p) {
        s[block + 2] = uint8_t(p >> 24), s[block + 3] = uint8_t(p >> 16), s[block + 4] = uint8_t(p >> 8), s[block + 5] = uint8_t(p);
    };
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&, int32_t&)> damage;
        int32_t code;
    };
    const std::vector<Case> cases = {
        {"length argument below 4", [](auto&, int32_t& n) { n = 3; }, -11},
        {"length argument 4", [](auto&, int32_t& n) { n = 4; }, -13},
        {"one byte short of L", [&](auto&, int32_t& n) { n = int32_t(L - 1); }, -13},
        {"truncated to the header", [](auto& s, int32_t& n) { s.resize(64); n = 64; }, -13},
        {"L below header and end marker", [](auto& s, int32_t&) { s[0] = s[1] = s[2] = 0, s[3] = 65; }, -13},
        {"L huge", [](auto& s, int32_t&) { s[0] = 0x7F; }, -13},
        {"check sum flipped", [](auto& s, int32_t&) { s[12] ^= 1; }, -14},
        {"payload byte flipped", [&](auto& s, int32_t&) { s[f1 + 100] ^= 0x40; }, -14},
        {"geometry length 62", [&](auto& s, int32_t&) { setP(s, geo, 62); }, -13},
        {"quality length 15", [&](auto& s, int32_t&) { setP(s, qual, 15); }, -13},
        {"feature shorter than its version", [&](auto& s, int32_t&) { setP(s, f0, 13); }, -13},
        {"feature running past the end", [&](auto& s, int32_t&) { setP(s, f1, 2324 + 20); }, -13},
        {"feature length near 2^32", [&](auto& s, int32_t&) { setP(s, f1, 0xFFFFFFF0u); }, -13},
        {"extra block past the end", [&](auto& s, int32_t&) { setP(s, extra, 9); }, -13},
        {"end marker lost", [&](auto& s, int32_t&) { s[L - 1] = 0x20; }, -13},
        {"stream cut before the end marker",
         [&](auto& s, int32_t& n) {
             s.resize(extra);
             s[0] = uint8_t(extra >> 24), s[1] = uint8_t(extra >> 16), s[2] = uint8_t(extra >> 8), s[3] = uint8_t(extra);
             n = int32_t(extra);
         },
         -13},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> s = good;
        int32_t n = -1;
        c.damage(s, n);
        if (c.code != -14) Reseal(s);
        // An exact-size heap copy, so that any read past the given bytes trips the sanitizer.
        const int32_t len = n < 0 ? int32_t(s.size()) : n;
        std::vector<uint8_t> exact(s.begin(), s.begin() + std::min<size_t>(s.size(), size_t(len)));
        exact.shrink_to_fit();
        IMF out{};
        std::string msg;
        char err[64] = {};
        int reserved = 0;
        const int32_t rc = TskIris_FeatureDecode_Ex(exact.data(), len, &out, &reserved, err);
        EXPECT_EQ(rc, c.code) << c.what << ": " << err;
        EXPECT_EQ(out.geometry, nullptr) << c.what;
        EXPECT_EQ(out.count, 0) << c.what;
    }
}

TEST(TemplateStream, SeventeenFeaturesAreRefused) {
    IMF big{};
    big.count = 16;
    uint8_t byte = 1;
    for (int i = 0; i < 16; ++i) big.data[i] = &byte, big.length[i] = 1, big.id[i] = 33;
    std::vector<uint8_t> s = Encode(big);
    // Splice in a seventeenth feature block before the end marker.
    const std::vector<uint8_t> block = {0xFF, 33, 0, 0, 0, 15, 2, 0, 0, 0, '2', '.', '0', '.', '0', '.', '0', 0, 0, 0, 9};
    s.insert(s.end() - 2, block.begin(), block.end());
    const uint32_t L = uint32_t(s.size());
    s[0] = uint8_t(L >> 24), s[1] = uint8_t(L >> 16), s[2] = uint8_t(L >> 8), s[3] = uint8_t(L);
    Reseal(s);
    IMF out{};
    std::string msg;
    EXPECT_EQ(Decode(s, out, &msg), -13);
    EXPECT_EQ(out.count, 0);
    // Sixteen are fine.
    IMF ok{};
    ASSERT_EQ(Decode(Encode(big), ok), 0);
    EXPECT_EQ(ok.count, 16);
    TskIris_Free_IMF(&ok);
}

TEST(TemplateStream, FreeLeavesTheCallersExtraBlockAlone) {
    Template t(true);
    TskIris_Free_IMF(&t.imf);  // ASan would report a free of the stack block
    EXPECT_EQ(t.imf.extra, nullptr);
    EXPECT_EQ(t.extra.data, t.extraData);
    IMF empty{};
    EXPECT_EQ(TskIris_Free_IMF(&empty), 0);
    EXPECT_EQ(TskIris_Free_IMF(nullptr), 0);
    // The decoder refuses a null reserved word like the other pointers.
    std::vector<uint8_t> s = Encode(IMF{});
    IMF out{};
    char err[64];
    EXPECT_EQ(TskIris_FeatureDecode_Ex(s.data(), int32_t(s.size()), &out, nullptr, err), -11);
    int reserved = 0;
    EXPECT_EQ(TskIris_FeatureDecode_Ex(s.data(), int32_t(s.size()), &out, &reserved, nullptr), -11);
    EXPECT_EQ(TskIris_FeatureDecode_Ex(nullptr, int32_t(s.size()), &out, &reserved, err), -11);
    EXPECT_EQ(TskIris_FeatureDecode_Ex(s.data(), int32_t(s.size()), nullptr, &reserved, err), -11);
    EXPECT_EQ(TskIris_FeatureDecode_Ex(s.data(), int32_t(s.size()), &out, &reserved, err), 0);
}

namespace {

// A stream laid out byte by byte: a 64-byte header whose bytes 0..3 hold the big-endian length
// and byte 12 the sum of every other byte modulo 256, the given blocks, then FF FF.
std::vector<uint8_t> LayOut(const std::vector<std::vector<uint8_t>>& blocks) {
    std::vector<uint8_t> s(64, 0);
    s[4] = 0x02, s[5] = 0x80, s[6] = 0x01, s[7] = 0xE0;  // width 640, height 480
    for (const auto& b : blocks) s.insert(s.end(), b.begin(), b.end());
    s.push_back(0xFF);
    s.push_back(0xFF);
    const uint32_t L = uint32_t(s.size());
    s[0] = uint8_t(L >> 24), s[1] = uint8_t(L >> 16), s[2] = uint8_t(L >> 8), s[3] = uint8_t(L);
    unsigned sum = 0;
    for (size_t i = 0; i < s.size(); ++i)
        if (i != 12) sum += s[i];
    s[12] = uint8_t(sum % 256);
    return s;
}

// FF, tag, big-endian payload length, payload.
std::vector<uint8_t> Block(uint8_t tag, const std::vector<uint8_t>& payload) {
    const uint32_t P = uint32_t(payload.size());
    std::vector<uint8_t> b = {0xFF, tag, uint8_t(P >> 24), uint8_t(P >> 16), uint8_t(P >> 8), uint8_t(P)};
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// The 63 geometry bytes: six u16 circle words, pupil score, location flag, six upper and six lower
// eyelid words as u32, eyelid degree; all big-endian.
std::vector<uint8_t> GeometryPayload() {
    std::vector<uint8_t> p = {0x01, 0x36, 0x00, 0xF2, 0x00, 0x30,   // pupil 310, 242, 48
                              0x01, 0x38, 0x00, 0xF0, 0x00, 0x76,   // iris 312, 240, 118
                              77, 255};                             // score, flag
    const uint32_t upper[6] = {2400, 0xFFFFF000u, 5243, 4100, 0, 0}, lower[6] = {0xFFFFFCE0u, 4096, 0xFFFFEB85u, 3900, 0, 0};
    for (const uint32_t* w : {upper, lower})
        for (int k = 0; k < 6; ++k)
            for (int sh = 24; sh >= 0; sh -= 8) p.push_back(uint8_t(w[k] >> sh));
    p.push_back(2);  // degree
    return p;
}

}  // namespace

// A geometry block longer than its 63 bytes is read from its first 63 bytes and skipped by its
// own length, so the blocks behind it are found; the trailing bytes look like blocks of their own
// and must not be taken for them.
TEST(TemplateStream, LongerGeometryBlockReadsItsFirst63Bytes) {
    const std::vector<uint8_t> quality = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::vector<uint8_t> feature = {0x02, 0, 0, 0, '2', '.', '0', '.', '0', '.', '0', 0, 0, 0};
    feature.insert(feature.end(), {0xA1, 0xB2, 0xC3});
    for (size_t extra : {size_t(0), size_t(1), size_t(37)}) {
        std::vector<uint8_t> geometry = GeometryPayload();
        ASSERT_EQ(geometry.size(), 63u);
        for (size_t k = 0; k < extra; ++k) geometry.push_back(k % 2 ? 0x11 : 0xFF);  // FF 11 FF 11 ...
        const std::vector<uint8_t> s = LayOut({Block(16, geometry), Block(17, quality), Block(34, feature)});
        IMF out{};
        std::string msg;
        ASSERT_EQ(Decode(s, out, &msg), 0) << "payload " << 63 + extra << ": " << msg;
        ASSERT_NE(out.geometry, nullptr);
        const IrisLocation& g = *out.geometry;
        EXPECT_EQ(g.pupilX, 310);
        EXPECT_EQ(g.pupilY, 242);
        EXPECT_EQ(g.pupilRadius, 48);
        EXPECT_EQ(g.irisX, 312);
        EXPECT_EQ(g.irisY, 240);
        EXPECT_EQ(g.irisRadius, 118);
        EXPECT_EQ(g.pupilScore, 77);
        EXPECT_EQ(g.locationFlag, 255);
        const int32_t upper[6] = {2400, -4096, 5243, 4100, 0, 0}, lower[6] = {-800, 4096, -5243, 3900, 0, 0};
        for (int k = 0; k < 6; ++k) {
            EXPECT_EQ(g.upperEyelid[k], upper[k]) << k;
            EXPECT_EQ(g.lowerEyelid[k], lower[k]) << k;
        }
        EXPECT_EQ(g.eyelidDegree, 2);
        ASSERT_NE(out.quality, nullptr) << "payload " << 63 + extra;
        EXPECT_EQ(std::vector<uint8_t>(out.quality->bytes, out.quality->bytes + 16), quality);
        ASSERT_EQ(out.count, 1);
        EXPECT_EQ(out.id[0], 34);
        EXPECT_EQ(out.version[0], 0x02000000u);
        ASSERT_EQ(out.length[0], 3);
        EXPECT_EQ(out.data[0][0], 0xA1);
        EXPECT_EQ(out.data[0][2], 0xC3);
        TskIris_Free_IMF(&out);
    }
}

// A shorter one is refused: its 63 fields would be read from the bytes of the next block.
TEST(TemplateStream, ShorterGeometryBlockIsRefused) {
    for (size_t keep : {size_t(62), size_t(12), size_t(0)}) {
        std::vector<uint8_t> geometry = GeometryPayload();
        geometry.resize(keep);
        const std::vector<uint8_t> s = LayOut({Block(16, geometry), Block(17, std::vector<uint8_t>(16, 9))});
        IMF out{};
        std::string msg;
        EXPECT_EQ(Decode(s, out, &msg), -13) << keep;
        EXPECT_EQ(msg, "Illegal geometry length") << keep;
        EXPECT_EQ(out.geometry, nullptr) << keep;
        EXPECT_EQ(out.quality, nullptr) << keep;
    }
}
