#include "TestSupport.h"

#include "zarn/ZarnDib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}

uint8_t Pattern(int x, int y) {
    return uint8_t(x * 7 + y * 31 + 1);
}

void Fill(ZarnDib& dib) {
    for (int y = 0; y < dib.GetHeight(); ++y)
        for (int x = 0; x < dib.GetWidth(); ++x) *dib.GetPixelAddress(x, y) = Pattern(x, y);
}

TEST(ZarnDib, DefaultIsA16By16WhiteBitmap) {
    ZarnDib dib;
    EXPECT_EQ(dib.GetWidth(), 16);
    EXPECT_EQ(dib.GetHeight(), 16);
    EXPECT_EQ(dib.GetColorCount(), 256);
    EXPECT_TRUE(dib.OwnsBits());
    for (int i = 0; i < 256; ++i) ASSERT_EQ(dib.Bits()[i], 0xFF);
    const ZarnDibHeader* h = dib.Header();
    EXPECT_EQ(h->info.size, 40u);
    EXPECT_EQ(h->info.bitCount, 8);
    EXPECT_EQ(h->palette[200].red, 200);
    EXPECT_EQ(h->palette[200].blue, 200);
}

TEST(ZarnDib, PixelAddressesCountRowsFromTheTopAndStayInBounds) {
    ZarnDib dib;
    ASSERT_EQ(dib.Create(3, 2), 1);
    EXPECT_EQ(dib.Stride(), 4);
    // (0, 0) is the first byte of the last stored row: rows are stored bottom-up.
    EXPECT_EQ(dib.GetPixelAddress(0, 0), dib.Bits() + 4);
    EXPECT_EQ(dib.GetPixelAddress(2, 1), dib.Bits() + 2);
    EXPECT_EQ(dib.GetPixelAddress(3, 0), nullptr);
    EXPECT_EQ(dib.GetPixelAddress(0, 2), nullptr);
    EXPECT_EQ(dib.GetPixelAddress(-1, 0), nullptr);
    EXPECT_EQ(dib.GetPixelAddress(0, -1), nullptr);
    const ZarnRect r = dib.GetRect();
    EXPECT_EQ(r.right, 3);
    EXPECT_EQ(r.bottom, 2);
}

TEST(ZarnDib, CreateRefusesBadSizes) {
    ZarnDib dib;
    EXPECT_EQ(dib.Create(0, 5), 0);
    EXPECT_EQ(dib.Create(5, 0), 0);
    EXPECT_EQ(dib.Create(-5, 5), 0);
    EXPECT_EQ(dib.Create(ZarnDib::kMaxDimension + 1, 1), 0);
    EXPECT_EQ(dib.GetWidth(), 16);  // unchanged
}

TEST(ZarnDib, SaveLoadRoundTripKeepsPixelsIncludingPaddedRows) {
    TempDir dir;
    const int widths[] = {1, 3, 4, 5, 17};
    const int heights[] = {1, 2, 7};
    for (int w : widths) {
        for (int h : heights) {
            ZarnDib out;
            ASSERT_EQ(out.Create(w, h), 1);
            Fill(out);
            const std::string path = dir.path() + "/rt.bmp";
            ASSERT_EQ(out.Save(path.c_str()), 0);
            const int stride = (w + 3) / 4 * 4;
            EXPECT_EQ(fs::file_size(path), uint64_t(stride) * h + 1078) << w << "x" << h;

            ZarnDib in;
            ASSERT_EQ(in.Load(path.c_str()), 0) << w << "x" << h;
            ASSERT_EQ(in.GetWidth(), w);
            ASSERT_EQ(in.GetHeight(), h);
            EXPECT_TRUE(in.OwnsBits());
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) ASSERT_EQ(*in.GetPixelAddress(x, y), Pattern(x, y)) << x << "," << y;
        }
    }
}

TEST(ZarnDib, WrittenFileHeaderOfA3By2Bitmap) {
    TempDir dir;
    ZarnDib dib;
    ASSERT_EQ(dib.Create(3, 2), 1);
    const std::string path = dir.path() + "/small.bmp";
    ASSERT_EQ(dib.Save(path.c_str()), 0);
    const auto bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 1086u);
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[1], 'M');
    uint32_t size, offset;
    std::memcpy(&size, &bytes[2], 4);
    std::memcpy(&offset, &bytes[10], 4);
    EXPECT_EQ(size, 1086u);
    EXPECT_EQ(offset, 1078u);
}

TEST(ZarnDib, TopDownFileLoadsTheRightWayUp) {
    TempDir dir;
    ZarnDib dib;
    ASSERT_EQ(dib.Create(5, 3), 1);
    Fill(dib);
    const std::string path = dir.path() + "/td.bmp";
    ASSERT_EQ(dib.Save(path.c_str()), 0);
    // Rewrite as a top-down file: negative height and the stored rows reversed.
    auto bytes = ReadFile(path);
    PutU32(bytes, 22, uint32_t(-3));
    std::vector<uint8_t> rows(bytes.begin() + 1078, bytes.end());
    for (int r = 0; r < 3; ++r) std::copy_n(rows.begin() + (2 - r) * 8, 8, bytes.begin() + 1078 + r * 8);
    WriteFile(path, bytes);
    ZarnDib in;
    ASSERT_EQ(in.Load(path.c_str()), 0);
    EXPECT_EQ(in.GetHeight(), 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) ASSERT_EQ(*in.GetPixelAddress(x, y), Pattern(x, y));
}

TEST(ZarnDib, DamagedFilesAreRefusedAndLeaveTheBitmapUnchanged) {
    TempDir dir;
    ZarnDib good;
    ASSERT_EQ(good.Create(5, 4), 1);
    Fill(good);
    const std::string goodPath = dir.path() + "/good.bmp";
    ASSERT_EQ(good.Save(goodPath.c_str()), 0);
    const auto original = ReadFile(goodPath);

    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
    };
    const Case cases[] = {
        {"signature BA", [](auto& b) { b[1] = 'A'; }},
        {"cut by one byte", [](auto& b) { b.pop_back(); }},
        {"cut inside the palette", [](auto& b) { b.resize(500); }},
        {"cut inside the info header", [](auto& b) { b.resize(30); }},
        {"cut inside the file header", [](auto& b) { b.resize(10); }},
        {"empty file", [](auto& b) { b.clear(); }},
        {"file size beyond the file", [](auto& b) { PutU32(b, 2, uint32_t(b.size() + 1)); }},
        {"pixel offset beyond the file", [](auto& b) { PutU32(b, 10, 0x7FFFFFF0u); }},
        {"pixel offset inside the palette", [](auto& b) { PutU32(b, 10, 100); }},
        {"height larger than the data", [](auto& b) { PutU32(b, 22, 5); }},
        {"huge width", [](auto& b) { PutU32(b, 18, 0x40000000u); }},
        {"zero width", [](auto& b) { PutU32(b, 18, 0); }},
        {"24 bits per pixel", [](auto& b) { b[28] = 24; }},
        {"compressed", [](auto& b) { PutU32(b, 30, 1); }},
        {"more than 256 colours", [](auto& b) { PutU32(b, 46, 1000); }},
        {"short info header", [](auto& b) { PutU32(b, 14, 12); }},
    };
    for (const auto& c : cases) {
        auto bytes = original;
        c.damage(bytes);
        const std::string path = dir.path() + "/bad.bmp";
        WriteFile(path, bytes);
        ZarnDib dib;  // 16 x 16 white
        EXPECT_EQ(dib.Load(path.c_str()), -1) << c.name;
        EXPECT_EQ(dib.GetWidth(), 16) << c.name;
        EXPECT_EQ(dib.GetHeight(), 16) << c.name;
        EXPECT_EQ(*dib.GetPixelAddress(15, 15), 0xFF) << c.name;
    }
    ZarnDib dib;
    EXPECT_EQ(dib.Load((dir.path() + "/missing.bmp").c_str()), -1);
}

TEST(ZarnDib, ReadReportsWhyAFileWasRefused) {
    TempDir dir;
    const std::string path = dir.path() + "/x.bmp";
    WriteFile(path, std::vector<uint8_t>(100, 0));
    FILE* f = std::fopen(path.c_str(), "rb");
    ZarnDib dib;
    EXPECT_EQ(dib.Read(f), 0);  // "Not a bitmap file"
    std::fclose(f);
    WriteFile(path, {'B', 'M', 0, 0});
    f = std::fopen(path.c_str(), "rb");
    EXPECT_EQ(dib.Read(f), -1);  // short
    std::fclose(f);
}

TEST(ZarnDib, FewerPaletteEntriesAreRead) {
    TempDir dir;
    ZarnDib dib;
    ASSERT_EQ(dib.Create(4, 1), 1);
    const std::string path = dir.path() + "/p.bmp";
    ASSERT_EQ(dib.Save(path.c_str()), 0);
    auto bytes = ReadFile(path);
    PutU32(bytes, 46, 2);  // two colours used; the rest of the palette area is just gap
    WriteFile(path, bytes);
    ZarnDib in;
    ASSERT_EQ(in.Load(path.c_str()), 0);
    EXPECT_EQ(in.GetColorCount(), 2);
    EXPECT_EQ(in.Header()->palette[1].green, 1);
    EXPECT_EQ(in.Header()->palette[2].green, 0);
}

TEST(ZarnDib, AttachUsesTheCallersRowsWithoutOwningThem) {
    std::vector<uint8_t> rows(8 * 2, 0);
    rows[8] = 42;  // first byte of the second stored row = top-left pixel
    {
        ZarnDib dib;
        ASSERT_EQ(dib.Attach(5, 2, rows.data()), 1);
        EXPECT_FALSE(dib.OwnsBits());
        EXPECT_EQ(*dib.GetPixelAddress(0, 0), 42);
        *dib.GetPixelAddress(4, 1) = 9;
        dib.Free();
        EXPECT_EQ(dib.GetWidth(), 0);
        EXPECT_EQ(dib.GetPixelAddress(0, 0), nullptr);
    }
    EXPECT_EQ(rows[4], 9);  // still the caller's buffer, intact after the bitmap is gone
    ZarnDib dib;
    EXPECT_EQ(dib.Attach(5, 2, nullptr), 0);
}

TEST(ZarnDib, FlipVerticalExchangesRows) {
    ZarnDib dib;
    ASSERT_EQ(dib.Create(3, 3), 1);
    Fill(dib);
    dib.FlipVertical();
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(*dib.GetPixelAddress(x, y), Pattern(x, 2 - y));
}

TEST(ZarnDib, CopyBlockCopiesWithOrWithoutATransparentValue) {
    ZarnDib src, dst;
    ASSERT_EQ(src.Create(6, 5), 1);
    Fill(src);
    *src.GetPixelAddress(2, 2) = 0x10;
    ASSERT_EQ(dst.Create(7, 4), 1);

    ASSERT_EQ(src.CopyBlock(&dst, 1, 0, 3, 2, 1, 1, -1), 1);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 7; ++x) {
            const bool inside = x >= 1 && x < 4 && y < 2;
            const uint8_t want = inside ? *src.GetPixelAddress(x, y + 1) : 0xFF;
            ASSERT_EQ(*dst.GetPixelAddress(x, y), want) << x << "," << y;
        }

    ASSERT_EQ(dst.Create(7, 4), 1);
    ASSERT_EQ(src.CopyBlock(&dst, 0, 0, 3, 3, 1, 1, 0x110), 1);  // low byte 0x10 is transparent
    EXPECT_EQ(*dst.GetPixelAddress(1, 1), 0xFF);
    EXPECT_EQ(*dst.GetPixelAddress(0, 0), *src.GetPixelAddress(1, 1));

    // Blocks that do not fit either bitmap copy nothing.
    ASSERT_EQ(dst.Create(7, 4), 1);
    EXPECT_EQ(src.CopyBlock(&dst, 5, 0, 3, 1, 0, 0, -1), 0);
    EXPECT_EQ(src.CopyBlock(&dst, 0, 0, 3, 1, 4, 0, -1), 0);
    EXPECT_EQ(src.CopyBlock(&dst, 0, 0, 1, 6, 0, 0, -1), 0);
    EXPECT_EQ(src.CopyBlock(&dst, -1, 0, 1, 1, 0, 0, -1), 0);
    EXPECT_EQ(src.CopyBlock(nullptr, 0, 0, 1, 1, 0, 0, -1), 0);
    EXPECT_EQ(src.CopyBlock(&dst, 0, 0, 0, 3, 0, 0, -1), 1);  // nothing to copy
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 7; ++x) ASSERT_EQ(*dst.GetPixelAddress(x, y), 0xFF);
}

class DrawTest : public ::testing::Test {
protected:
    static constexpr int kW = 120, kH = 80;
    std::vector<uint8_t> rgb_ = std::vector<uint8_t>(kW * 3 * kH, 0x55);
    ZarnRgbCanvas canvas_{rgb_.data(), kW, kH, kW * 3};
    const uint8_t* At(int x, int y) const { return &rgb_[size_t(y) * kW * 3 + size_t(x) * 3]; }
};

TEST_F(DrawTest, NegativeScaleShrinks) {
    ZarnDib dib;
    ASSERT_EQ(dib.Create(100, 60), 1);
    Fill(dib);
    EXPECT_EQ(dib.Draw(canvas_, 0, 0, -2), 30);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 50; ++x) ASSERT_EQ(At(x, y)[1], Pattern(2 * x, 2 * y)) << x << "," << y;
    EXPECT_EQ(At(50, 0)[0], 0x55);
    EXPECT_EQ(At(0, 30)[0], 0x55);
}

TEST_F(DrawTest, PositiveScaleEnlargesAndClipsToTheCanvas) {
    ZarnDib dib;
    ASSERT_EQ(dib.Create(4, 3), 1);
    Fill(dib);
    EXPECT_EQ(dib.Draw(canvas_, 10, 5, 2), 6);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) {
            const uint8_t* p = At(10 + x, 5 + y);
            const uint8_t g = Pattern(x / 2, y / 2);
            ASSERT_TRUE(p[0] == g && p[1] == g && p[2] == g) << x << "," << y;
        }
    EXPECT_EQ(At(18, 5)[0], 0x55);
    // Partly outside: only the rows on the canvas are written.
    EXPECT_EQ(dib.Draw(canvas_, kW - 3, kH - 2, 10), 2);
    EXPECT_EQ(dib.Draw(canvas_, -15, -25, 10), 5);
    EXPECT_EQ(At(0, 0)[0], Pattern(1, 2));
    EXPECT_EQ(dib.Draw(canvas_, kW + 1, 0, 1), 0);
    EXPECT_EQ(dib.Draw(canvas_, 0, 0, 0), 0);
    EXPECT_EQ(dib.Draw(ZarnRgbCanvas{nullptr, kW, kH, kW * 3}, 0, 0, 1), 0);
}

}  // namespace
