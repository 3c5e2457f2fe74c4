#include "ISO19494.h"

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

struct Record {
    unsigned char* data = nullptr;
    unsigned int length = 0;
    ~Record() { free(data); }
};

ZarnImageInfo Image(std::vector<uint8_t>& pixels, int w, int h, int rowOrder) {
    ZarnImageInfo info{};
    info.image = pixels.data();
    info.width = w;
    info.height = h;
    info.rowOrder = rowOrder;
    info.bitsPerPixel = 8;
    return info;
}

std::vector<uint8_t> Rows(int w, int h) {
    std::vector<uint8_t> v(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) v[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(y * 16 + x);
    return v;
}

std::vector<IsoImageItem> Items(std::initializer_list<IsoImageItem> l) { return l; }

}  // namespace

TEST(IsoFirBuilder, RightSlapResultHasTheDocumentedShape) {
    std::vector<uint8_t> pixels(1600 * 1000, 0x7F);
    Record r;
    ASSERT_TRUE(CISO19494_4::GenerateIsoFir(13, 1600, 1000, pixels.data(), 1600 * 1000, &r.data, &r.length));
    ASSERT_EQ(r.length, 32u + 14u + 1'600'000u);
    EXPECT_EQ(Be(r.data + 10, 4), r.length);
    EXPECT_EQ(Be(r.data + 16, 2), 31u);
    EXPECT_EQ(r.data[18], 1);
    EXPECT_EQ(r.data[32 + 4], 13);
    EXPECT_EQ(r.data[32 + 5], 1);
    EXPECT_EQ(r.data[32 + 6], 1);
    EXPECT_EQ(Be(r.data + 32 + 9, 2), 1600u);
    EXPECT_EQ(Be(r.data + 32 + 11, 2), 1000u);
}

TEST(IsoFirBuilder, PositionsFromImageTypes) {
    struct Case { int type, position; } cases[] = {
        {2, 13}, {3, 14}, {4, 15}, {23, 1}, {27, 5}, {32, 10}, {0, 0}, {1, 0}, {5, 0}, {22, 0}, {33, 0}};
    for (const Case& c : cases) EXPECT_EQ(CISO19494_4::PositionFromImageType(c.type), c.position) << c.type;
}

TEST(IsoFirBuilder, PreviewListGroupsViewsAndTurnsBottomUpImages) {
    auto a = Rows(4, 3), b = Rows(4, 3), rolled = Rows(2, 2);
    auto items = Items({{2, Image(a, 4, 3, -1)}, {0, Image(rolled, 2, 2, 1)}, {2, Image(b, 4, 3, 1)}});
    Record r;
    ASSERT_TRUE(CISO19494_4::GenerateIsoFir(items, &r.data, &r.length, 0, 0, 0, 1, 500, 500, 500, 500));
    EXPECT_EQ(r.length, 32u + (14 + 4) + 2 * (14 + 12));
    EXPECT_EQ(r.data[18], 2);  // positions 0 and 13
    const uint8_t* p = r.data + 32;
    EXPECT_EQ(p[4], 0);  // the rolled image, position 0, comes first
    p += 14 + 4;
    EXPECT_EQ(p[4], 13);
    EXPECT_EQ(p[5], 2);
    EXPECT_EQ(p[6], 1);
    // The bottom-up item is written top row first: its last stored row leads.
    EXPECT_EQ(memcmp(p + 14, a.data() + 2 * 4, 4), 0);
    EXPECT_EQ(memcmp(p + 14 + 8, a.data(), 4), 0);
    p += 14 + 12;
    EXPECT_EQ(p[6], 2);
    EXPECT_EQ(memcmp(p + 14, b.data(), 12), 0);
}

TEST(IsoFirBuilder, RefusesImagesThatContradictTheirSize) {
    std::vector<uint8_t> px(16);
    struct Case { int w, h, count; const uint8_t* pixels; } cases[] = {
        {4, 4, 15, px.data()}, {0, 4, 0, px.data()}, {-4, -4, 16, px.data()}, {70000, 1, 70000, px.data()},
        {4, 4, 16, nullptr}};
    for (const Case& c : cases) {
        Record r;
        EXPECT_FALSE(CISO19494_4::GenerateIsoFir(1, c.w, c.h, c.pixels, c.count, &r.data, &r.length))
            << c.w << "x" << c.h;
        EXPECT_EQ(r.data, nullptr);
    }
    auto items = Items({{2, Image(px, 4, 4, 1)}});
    items[0].image.height = 0;
    Record r;
    EXPECT_FALSE(CISO19494_4::GenerateIsoFir(items, &r.data, &r.length, 0, 0, 0, 1, 500, 500, 500, 500));
}

TEST(IsoIirBuilder, LeftAndRightEyesWithSerial) {
    auto left = Rows(3, 2), right = Rows(5, 4);
    auto items = Items({{2, Image(right, 5, 4, 1)}, {1, Image(left, 3, 2, -1)}});
    Record r;
    ASSERT_TRUE(CISO19494_6::GenerateIsoIir(items, &r.data, &r.length, "40017", 0, 80, 2));
    ASSERT_EQ(r.length, 45u + 3 + 3 + 22 + 20 + 6);
    EXPECT_EQ(r.data[14], 2);
    EXPECT_EQ(Be(r.data + 21, 2), 2u);
    EXPECT_EQ(Be(r.data + 23, 2), 3u);  // raw size of the last item
    EXPECT_EQ(Be(r.data + 25, 2), 2u);
    const uint8_t uid[16] = {'D', '4', '0', '0', '1', '7'};
    EXPECT_EQ(memcmp(r.data + 29, uid, 16), 0);
    const uint8_t* p = r.data + 45;
    EXPECT_EQ(p[0], 2);  // left eye block first
    EXPECT_EQ(p[3 + 2], 80);
    EXPECT_EQ(memcmp(p + 3 + 11, left.data() + 3, 3), 0);  // turned right way up
    p += 3 + 11 + 6;
    EXPECT_EQ(p[0], 1);
    EXPECT_EQ(memcmp(p + 3 + 11, right.data(), 20), 0);
}

TEST(IsoIirBuilder, DeviceIdentifierForms) {
    struct Case { const char* serial; std::vector<uint8_t> uid; } cases[] = {
        {nullptr, std::vector<uint8_t>(16, 0)},
        {"", {'D', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"12345678901234567890", {'D', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '1', '2', '3', '4', 0}},
    };
    auto px = Rows(2, 2);
    for (const Case& c : cases) {
        Record r;
        ASSERT_TRUE(CISO19494_6::GenerateIsoIir(Items({{7, Image(px, 2, 2, 1)}}), &r.data, &r.length, c.serial, 0,
                                                80, 2));
        EXPECT_EQ(std::vector<uint8_t>(r.data + 29, r.data + 45), c.uid) << (c.serial ? c.serial : "(none)");
        EXPECT_EQ(r.data[45], 0);  // eye code 7 is an undefined subtype
    }
}
