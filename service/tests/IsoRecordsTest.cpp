#include "IsoRecords.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

uint32_t Be(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

struct Buffer {
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ~Buffer() { free(data); }
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 3);
    return v;
}

}  // namespace

TEST(IsoFir, TwoPositionsSerialiseByteExactInPositionOrder) {
    ISO_FIR_Record* r = nullptr;
    ASSERT_EQ(ISO_FIR_Create(&r), 0);
    ASSERT_EQ(ISO_FIR_InitHeader(r), 0);
    auto a = Pattern(3 * 2, 1), b = Pattern(2 * 2, 50), c = Pattern(1 * 1, 99);
    // Added out of order: position 13 first, then 2, then 13 again.
    ASSERT_EQ(ISO_FIR_AddImgRec(r, 13, 0, 0, 3, 2, a.data(), 6), 0);
    ASSERT_EQ(ISO_FIR_AddImgRec(r, 2, 7, 1, 2, 2, b.data(), 4), 0);
    ASSERT_EQ(ISO_FIR_AddImgRec(r, 13, 0, 0, 1, 1, c.data(), 1), 0);
    Buffer out;
    ASSERT_EQ(ISO_FIR_GetRecord(r, &out.data, &out.length), 0);
    ASSERT_EQ(ISO_FIR_Free(r), 0);

    const uint32_t expected = 32 + (14 + 4) + (14 + 6) + (14 + 1);
    ASSERT_EQ(out.length, expected);
    const uint8_t* p = out.data;
    EXPECT_EQ(memcmp(p, "FIR\0" "010\0", 8), 0);
    EXPECT_EQ(Be(p + 8, 2), 0u);
    EXPECT_EQ(Be(p + 10, 4), expected);
    EXPECT_EQ(Be(p + 14, 2), 0u);   // device id
    EXPECT_EQ(Be(p + 16, 2), 31u);  // acquisition level
    EXPECT_EQ(p[18], 2);            // distinct positions
    EXPECT_EQ(p[19], 1);            // pixels per inch
    for (int off = 20; off < 28; off += 2) EXPECT_EQ(Be(p + off, 2), 500u);
    EXPECT_EQ(p[28], 8);
    EXPECT_EQ(p[29], 0);
    EXPECT_EQ(Be(p + 30, 2), 0u);

    struct View { uint8_t pos, count, number, quality, impression; uint16_t w, h; const std::vector<uint8_t>* px; };
    const View views[] = {{2, 1, 1, 7, 1, 2, 2, &b}, {13, 2, 1, 0, 0, 3, 2, &a}, {13, 2, 2, 0, 0, 1, 1, &c}};
    p += 32;
    for (const View& v : views) {
        EXPECT_EQ(Be(p, 4), 14 + v.px->size());
        EXPECT_EQ(p[4], v.pos);
        EXPECT_EQ(p[5], v.count);
        EXPECT_EQ(p[6], v.number);
        EXPECT_EQ(p[7], v.quality);
        EXPECT_EQ(p[8], v.impression);
        EXPECT_EQ(Be(p + 9, 2), v.w);
        EXPECT_EQ(Be(p + 11, 2), v.h);
        EXPECT_EQ(p[13], 0);
        EXPECT_EQ(memcmp(p + 14, v.px->data(), v.px->size()), 0);
        p += 14 + v.px->size();
    }
    EXPECT_EQ(p, out.data + out.length);
}

TEST(IsoFir, AcquisitionLevelFollowsScaleAndResolution) {
    struct Case { uint8_t units; uint16_t scanX; uint16_t level; } cases[] = {
        {1, 500, 31}, {1, 1000, 41}, {2, 394, 41}, {2, 197, 31}, {2, 1000, 31}};
    for (const Case& c : cases) {
        ISO_FIR_Record* r = nullptr;
        ASSERT_EQ(ISO_FIR_Create(&r), 0);
        ISO_FIR_InitHeader(r);
        ISO_FIR_SetScaleAndResolutions(r, c.units, c.scanX, c.scanX, c.scanX, c.scanX);
        EXPECT_EQ(r->acquisitionLevel, c.level) << int(c.units) << " " << c.scanX;
        ISO_FIR_Free(r);
    }
}

TEST(IsoFir, RefusesWhatTheRecordCannotHold) {
    ISO_FIR_Record* r = nullptr;
    ASSERT_EQ(ISO_FIR_Create(&r), 0);
    ISO_FIR_InitHeader(r);
    uint8_t px = 0;
    for (int pos = 0; pos < kIsoFirSlots; ++pos)
        ASSERT_EQ(ISO_FIR_AddImgRec(r, static_cast<uint8_t>(pos), 0, 0, 1, 1, &px, 1), 0);
    EXPECT_EQ(ISO_FIR_AddImgRec(r, 200, 0, 0, 1, 1, &px, 1), -1);  // no free slot
    EXPECT_EQ(ISO_FIR_AddImgRec(r, 3, 0, 0, 1, 1, nullptr, 1), -1);  // pixels missing
    EXPECT_EQ(r->fingerCount, kIsoFirSlots);
    EXPECT_EQ(ISO_FIR_AddImgRec(nullptr, 3, 0, 0, 1, 1, &px, 1), -1);
    ISO_FIR_Free(r);
    EXPECT_EQ(ISO_FIR_Free(nullptr), -1);
}

TEST(IsoIir, TwoEyesSerialiseByteExactLeftFirst) {
    IIR_Record* r = nullptr;
    ASSERT_EQ(IIR_Create(&r), 0);
    EXPECT_EQ(r->recordLength, 45u);
    EXPECT_EQ(r->headerLength, 45);
    r->propertyBits = 0x0010;
    r->irisDiameter = 210;
    r->imageFormat = 2;
    r->intensityDepth = 8;
    memcpy(r->deviceUid, "D1234", 5);
    auto right = Pattern(4 * 3, 5), left = Pattern(2 * 2, 9);
    r->rawWidth = 4; r->rawHeight = 3;
    ASSERT_EQ(IIR_AddImgRec(r, 1, 80, 0xFFFF, 0xFFFF, 12, right.data()), 0);
    r->rawWidth = 2; r->rawHeight = 2;
    ASSERT_EQ(IIR_AddImgRec(r, 2, 80, 0xFFFF, 0xFFFF, 4, left.data()), 0);
    EXPECT_EQ(IIR_AddImgRec(r, 3, 80, 0, 0, 4, left.data()), -1);
    r->headerLength = 7;  // set back to 45 when written
    Buffer out;
    ASSERT_EQ(IIR_GetRecord(r, &out.length, &out.data), 0);
    IIR_Free(r);

    const uint32_t expected = 45 + 3 + 3 + 22 + 12 + 4;
    ASSERT_EQ(out.length, expected);
    const uint8_t* p = out.data;
    EXPECT_EQ(memcmp(p, "IIR\0" "010\0", 8), 0);
    EXPECT_EQ(Be(p + 8, 4), expected);
    EXPECT_EQ(Be(p + 12, 2), 0u);
    EXPECT_EQ(p[14], 2);
    EXPECT_EQ(Be(p + 15, 2), 45u);
    EXPECT_EQ(Be(p + 17, 2), 0x0010u);
    EXPECT_EQ(Be(p + 19, 2), 210u);
    EXPECT_EQ(Be(p + 21, 2), 2u);
    EXPECT_EQ(Be(p + 23, 2), 2u);  // last image's size
    EXPECT_EQ(Be(p + 25, 2), 2u);
    EXPECT_EQ(p[27], 8);
    EXPECT_EQ(p[28], 0);
    const uint8_t uid[16] = {'D', '1', '2', '3', '4'};
    EXPECT_EQ(memcmp(p + 29, uid, 16), 0);
    p += 45;
    struct Block { uint8_t subtype; const std::vector<uint8_t>* px; } blocks[] = {{2, &left}, {1, &right}};
    for (const Block& b : blocks) {
        EXPECT_EQ(p[0], b.subtype);
        EXPECT_EQ(Be(p + 1, 2), 1u);
        p += 3;
        EXPECT_EQ(Be(p, 2), 1u);
        EXPECT_EQ(p[2], 80);
        EXPECT_EQ(Be(p + 3, 2), 0xFFFFu);
        EXPECT_EQ(Be(p + 5, 2), 0xFFFFu);
        EXPECT_EQ(Be(p + 7, 4), b.px->size());
        EXPECT_EQ(memcmp(p + 11, b.px->data(), b.px->size()), 0);
        p += 11 + b.px->size();
    }
    EXPECT_EQ(p, out.data + out.length);
}
