#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "LiveScanAlgInternal.h"
#include "LiveScanTestSupport.h"

namespace LiveScanAlg {
namespace {

using livescan_test::Image;
using livescan_test::ScratchFolder;

std::vector<unsigned char> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

uint32_t U32(const std::vector<unsigned char>& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

Image Gradient(int h, int w) {
  Image img(h, w);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.at(y, x) = static_cast<unsigned char>((7 * x + 13 * y) & 0xFF);
  return img;
}

class BitmapRoundTrip : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(BitmapRoundTrip, PixelsAndSizeSurvive) {
  ScratchFolder folder;
  const auto [h, w] = GetParam();
  Image img = Gradient(h, w);
  const Image original = img;
  const std::string path = folder.File("image.bmp");
  ASSERT_EQ(SaveRawDataToBMP(path.c_str(), img.data(), h, w), 0);
  EXPECT_EQ(img.pixels, original.pixels);  // the caller's image is not touched

  const std::vector<unsigned char> file = ReadBytes(path);
  const std::size_t stride = (static_cast<std::size_t>(w) + 3) / 4 * 4;
  ASSERT_EQ(file.size(), 1078 + stride * h);
  EXPECT_EQ(U32(file, 2), file.size());
  EXPECT_EQ(U32(file, 10), 1078u);
  // The last image row comes first; padding bytes are zero.
  EXPECT_EQ(file[1078], img.at(h - 1, 0));
  for (std::size_t k = w; k < stride; ++k) EXPECT_EQ(file[1078 + k], 0);

  unsigned char* read = nullptr;
  int rh = 0, rw = 0;
  ASSERT_EQ(ReadBMPToRawData(path.c_str(), &read, &rh, &rw), 0);
  EXPECT_EQ(rh, h);
  EXPECT_EQ(rw, w);
  EXPECT_EQ(std::vector<unsigned char>(read, read + static_cast<std::size_t>(h) * w), original.pixels);
  FreeMask(&read);

  // Into a caller's buffer of exactly width x height bytes.
  std::vector<unsigned char> buffer(static_cast<std::size_t>(h) * w, 0);
  unsigned char* into = buffer.data();
  ASSERT_EQ(ReadBMPToRawData(path.c_str(), &into, &rh, &rw), 0);
  EXPECT_EQ(buffer, original.pixels);
}

INSTANTIATE_TEST_SUITE_P(Widths, BitmapRoundTrip,
                         ::testing::Values(std::make_pair(256, 256), std::make_pair(5, 3),
                                           std::make_pair(4, 5), std::make_pair(1, 1),
                                           std::make_pair(3, 7)));

TEST(BitmapTest, HeaderAndGreyPalette) {
  ScratchFolder folder;
  Image img = Gradient(2, 3);
  const std::string path = folder.File("h.bmp");
  ASSERT_EQ(SaveRawDataToBMP(path.c_str(), img.data(), 2, 3), 0);
  const auto b = ReadBytes(path);
  ASSERT_EQ(b.size(), 1078u + 4 * 2);
  EXPECT_EQ(b[0], 'B');
  EXPECT_EQ(b[1], 'M');
  EXPECT_EQ(U32(b, 14), 40u);
  EXPECT_EQ(U32(b, 18), 3u);
  EXPECT_EQ(U32(b, 22), 2u);
  EXPECT_EQ(b[26] | b[27] << 8, 1);
  EXPECT_EQ(b[28] | b[29] << 8, 8);
  for (std::size_t at : {30u, 34u, 38u, 42u, 46u, 50u}) EXPECT_EQ(U32(b, at), 0u) << at;
  for (int i = 0; i < 256; ++i) {
    const std::size_t e = 54 + 4 * static_cast<std::size_t>(i);
    EXPECT_EQ(b[e], i);
    EXPECT_EQ(b[e + 1], i);
    EXPECT_EQ(b[e + 2], i);
    EXPECT_EQ(b[e + 3], 0);
  }
}

TEST(BitmapTest, TopDownFilesAreReadInOrder) {
  ScratchFolder folder;
  Image img = Gradient(3, 4);
  const std::string path = folder.File("top.bmp");
  ASSERT_EQ(SaveRawDataToBMP(path.c_str(), img.data(), -3, 4), 0);
  unsigned char* read = nullptr;
  int h = 0, w = 0;
  ASSERT_EQ(ReadBMPToRawData(path.c_str(), &read, &h, &w), 0);
  EXPECT_EQ(h, 3);
  EXPECT_EQ(std::vector<unsigned char>(read, read + 12), img.pixels);
  FreeMask(&read);
}

TEST(BitmapTest, MalformedFilesAreRefused) {
  ScratchFolder folder;
  Image img = Gradient(6, 6);
  const std::string good = folder.File("good.bmp");
  ASSERT_EQ(SaveRawDataToBMP(good.c_str(), img.data(), 6, 6), 0);
  const std::vector<unsigned char> bytes = ReadBytes(good);

  const auto patched = [&](std::size_t at, uint32_t value, int width) {
    std::vector<unsigned char> b = bytes;
    for (int k = 0; k < width; ++k) b[at + k] = static_cast<unsigned char>(value >> (8 * k));
    return b;
  };
  const struct {
    const char* name;
    std::vector<unsigned char> file;
    int expected;
  } cases[] = {
      {"empty", {}, LSA_CANT_OPEN_IMAGE_FILE},
      {"header only", std::vector<unsigned char>(bytes.begin(), bytes.begin() + 40), LSA_CANT_OPEN_IMAGE_FILE},
      {"signature", patched(0, 'X', 1), LSA_CANT_OPEN_IMAGE_FILE},
      {"24 bits", patched(28, 24, 2), LSA_CANT_OPEN_IMAGE_FILE},
      {"compressed", patched(30, 1, 4), LSA_CANT_OPEN_IMAGE_FILE},
      {"zero width", patched(18, 0, 4), LSA_CANT_OPEN_IMAGE_FILE},
      {"zero height", patched(22, 0, 4), LSA_CANT_OPEN_IMAGE_FILE},
      {"huge size", patched(18, 0x7FFFFFF0, 4), LSA_CANT_OPEN_IMAGE_FILE},
      {"rows past the end", patched(22, 7, 4), LSA_CANT_READ_IMAGE_DATA},
      {"data offset past the end", patched(10, 5000, 4), LSA_CANT_READ_IMAGE_DATA},
      {"data offset inside the header", patched(10, 20, 4), LSA_CANT_READ_IMAGE_DATA},
      {"truncated pixels", std::vector<unsigned char>(bytes.begin(), bytes.end() - 1), LSA_CANT_READ_IMAGE_DATA},
  };
  for (const auto& c : cases) {
    const std::string path = folder.File("bad.bmp");
    WriteBytes(path, c.file);
    unsigned char* read = nullptr;
    int h = -1, w = -1;
    EXPECT_EQ(ReadBMPToRawData(path.c_str(), &read, &h, &w), c.expected) << c.name;
    EXPECT_EQ(read, nullptr) << c.name;
  }
  unsigned char* read = nullptr;
  int h = 0, w = 0;
  EXPECT_EQ(ReadBMPToRawData(folder.File("missing.bmp").c_str(), &read, &h, &w), 1);
  EXPECT_EQ(ReadBMPToRawData(good.c_str(), nullptr, &h, &w), LSA_INVALID_POINTER);
}

TEST(BitmapTest, FailedWriteIsReported) {
  ScratchFolder folder;
  Image img = Gradient(4, 4);
  const std::string path = folder.File("no/such/folder/x.bmp");
  EXPECT_EQ(SaveRawDataToBMP(path.c_str(), img.data(), 4, 4), LSA_CANT_OPEN_FILE);
  if (std::FILE* full = std::fopen("/dev/full", "wb")) {
    std::fclose(full);
    EXPECT_EQ(SaveRawDataToBMP("/dev/full", img.data(), 4, 4), LSA_CANT_OPEN_FILE);
  }
  EXPECT_EQ(SaveRawDataToBMP(folder.File("a.bmp").c_str(), img.data(), 0, 4), LSA_INVALID_INPUT1);
  EXPECT_EQ(SaveRawDataToBMP(folder.File("a.bmp").c_str(), nullptr, 4, 4), LSA_INVALID_INPUT3);
}

TEST(ImageScaleTest, SizeFormKeepsTheCorners) {
  Image img = Gradient(100, 100);
  unsigned char* out = nullptr;
  ASSERT_EQ(ScaleImage(100, 100, img.data(), 2, 2, &out), 0);
  EXPECT_EQ(out[0], img.at(0, 0));
  EXPECT_EQ(out[1], img.at(0, 99));
  EXPECT_EQ(out[2], img.at(99, 0));
  EXPECT_EQ(out[3], img.at(99, 99));
  FreeMask(&out);
  // A one-pixel output takes the first pixel instead of dividing by zero.
  ASSERT_EQ(ScaleImage(100, 100, img.data(), 1, 1, &out), 0);
  EXPECT_EQ(out[0], img.at(0, 0));
  FreeMask(&out);
  EXPECT_EQ(ScaleImage(100, 100, img.data(), 0, 2, &out), LSA_INVALID_INPUT);
  EXPECT_EQ(ScaleImage(100, 100, img.data(), 2, 2, nullptr), LSA_INVALID_POINTER);
}

TEST(ImageScaleTest, FactorFormInterpolates) {
  Image img(2, 4);
  const unsigned char row0[] = {0, 100, 200, 250};
  const unsigned char row1[] = {100, 100, 100, 100};
  std::copy(row0, row0 + 4, img.pixels.begin());
  std::copy(row1, row1 + 4, img.pixels.begin() + 4);
  unsigned char* out = nullptr;
  int nh = 0, nw = 0;
  ASSERT_EQ(ScaleImage(img.data(), 2, 4, 0.5f, 0.5f, &out, &nh, &nw), 0);
  EXPECT_EQ(nh, 4);
  EXPECT_EQ(nw, 8);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 50);       // half-way between 0 and 100
  EXPECT_EQ(out[8 + 1], 75);   // and half-way down towards row 1
  EXPECT_EQ(out[7], 250);      // the last column has no right neighbour
  FreeMask(&out);
  ASSERT_EQ(ScaleImage(img.data(), 2, 4, 8.0f, 8.0f, &out, &nh, &nw), 0);
  EXPECT_EQ(nh, 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(ScaleImage(img.data(), 2, 4, 0.0f, 1.0f, &out, &nh, &nw), LSA_INVALID_INPUT);
}

TEST(ImageScaleTest, StepFormPicksEveryStepPixel) {
  Image img = Gradient(9, 10);
  unsigned char* out = nullptr;
  int nh = 0, nw = 0;
  ASSERT_EQ(ScaleImage1(img.data(), 9, 10, 3, 2, &out, &nh, &nw), 0);
  EXPECT_EQ(nh, 4);
  EXPECT_EQ(nw, 3);
  for (int i = 0; i < nh; ++i)
    for (int j = 0; j < nw; ++j) EXPECT_EQ(out[i * nw + j], img.at(2 * i, 3 * j));
  FreeMask(&out);
  EXPECT_EQ(ScaleImage1(img.data(), 9, 10, 0, 2, &out, &nh, &nw), LSA_INVALID_INPUT);
}

TEST(ImageRotateTest, ZeroAngleCopiesAllButTheLastRowAndColumn) {
  Image src = Gradient(6, 8);
  Image dst(6, 8, 0);
  RotateImage(src.data(), 8, 6, dst.data(), 4, 3, 0.0f, 9);
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 8; ++x) {
      const bool edge = y == 5 || x == 7;
      EXPECT_EQ(dst.at(y, x), edge ? 9 : src.at(y, x)) << y << "," << x;
    }
  }
}

TEST(ImageRotateTest, HalfTurnAboutTheCentreMovesACornerSquareToTheOppositeCorner) {
  Image src(20, 20, 0);
  for (int y = 2; y < 8; ++y)
    for (int x = 2; x < 8; ++x) src.at(y, x) = 255;
  Image dst(20, 20, 0);
  RotateImage(src.data(), 20, 20, dst.data(), 10, 10, static_cast<float>(M_PI), 9);
  EXPECT_EQ(dst.at(15, 15), 255);  // reads about (5, 5)
  EXPECT_EQ(dst.at(4, 4), 0);      // reads about (16, 16)
  EXPECT_EQ(dst.at(0, 0), 9);      // reads about (20, 20): outside, keeps the fill
}

TEST(TextDumpTest, WritesAHeaderAndOneLinePerRow) {
  ScratchFolder folder;
  Image img(2, 3);
  img.pixels = {1, 22, 255, 0, 7, 100};
  const std::string path = folder.File("dump.txt");
  ASSERT_EQ(PrintGrayscaleImageToText(img.data(), 2, 3, path.c_str()), 0);
  const auto b = ReadBytes(path);
  EXPECT_EQ(std::string(b.begin(), b.end()),
            "\t\t  0\t  1\t  2\t\n"
            "Line  0\t  1\t 22\t255\t\n"
            "Line  1\t  0\t  7\t100\t\n");
  EXPECT_EQ(PrintGrayscaleImageToText(img.data(), 2, 3, folder.File("no/x.txt").c_str()),
            LSA_CANT_OPEN_FILE);
}

}  // namespace
}  // namespace LiveScanAlg
