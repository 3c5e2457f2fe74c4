#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "LiveScanAlgInternal.h"
#include "LiveScanTestSupport.h"

namespace LiveScanAlg {
namespace {

using livescan_test::FreshBlock;
using livescan_test::Image;

class BackgroundTest : public FreshBlock {};

TEST(SubtractionTest, DarknessRelativeToTheBackground) {
  struct Case {
    int background, image, offset, expected;
  } const cases[] = {
      {200, 150, 0, 205}, {200, 220, 0, 255}, {200, 200, 0, 255},
      {200, 150, 12, 217}, {250, 250, 12, 255}, {255, 0, 0, 0},
  };
  for (const Case& c : cases) {
    unsigned char bg = static_cast<unsigned char>(c.background);
    unsigned char img = static_cast<unsigned char>(c.image);
    SubtractBackgroundLine(1, &bg, &img, c.offset);
    EXPECT_EQ(img, c.expected) << c.background << " " << c.image << " " << c.offset;
  }
  unsigned char bg[2] = {200, 200};
  unsigned char img[2] = {150, 220};
  SubBackground(2, bg, img);
  EXPECT_EQ(img[0], 205);
  EXPECT_EQ(img[1], 255);
}

TEST_F(BackgroundTest, FlatFieldDivisionUsesTheStretchTable) {
  unsigned char bg[3] = {100, 50, 0};
  unsigned char img[3] = {100, 20, 20};
  SubBackground2(bg, img, 1, 3);
  EXPECT_EQ(img[0], 246);
  EXPECT_EQ(img[1], 87);
  EXPECT_EQ(img[2], 87);  // row 0 is row 1, which uses the minimum range 50
}

TEST_F(BackgroundTest, UpdateFollowsTheEmptyPlaten) {
  // One-pixel frames: no finger test passes on them, so the background is updated.
  struct Case {
    int background, frame, expected;
  } const cases[] = {{100, 120, 120}, {200, 180, 199}, {100, 90, 100}, {100, 114, 100},
                     {160, 150, 159}, {160, 149, 160}};
  for (const Case& c : cases) {
    unsigned char bg = static_cast<unsigned char>(c.background);
    unsigned char frame = static_cast<unsigned char>(c.frame);
    EXPECT_EQ(UpdateBackgroundFromFrame(1, 1, &frame, &bg), 1);
    EXPECT_EQ(bg, c.expected) << c.background << " <- " << c.frame;
  }
}

TEST_F(BackgroundTest, UpdateLeavesTheBackgroundWhileAFingerIsOn) {
  Image frame = livescan_test::TexturedImage(40, 40);
  Image bg(40, 40, 30);
  const Image before = bg;
  UpdateBackgroundFromFrame(40, 40, frame.data(), bg.data());
  EXPECT_EQ(bg.pixels, before.pixels);
}

TEST_F(BackgroundTest, CalibrationModes) {
  struct Case {
    int mode;
    int expected;  // pixel after the call; background 200, image 150
  } const cases[] = {{0, 217}, {1, 206}, {5, 206}, {7, 150}, {-1, 150}};  // 1 and 5 update first
  for (const Case& c : cases) {
    Image bg(1, 1, 200);
    Image img(1, 1, 150);
    const int calls = GetParameter()->BackgroundCallCount;
    EXPECT_EQ(CalibrateBackgroundSimple(c.mode, 1, 1, bg.data(), img.data()), 0);
    EXPECT_EQ(img.pixels[0], c.expected) << c.mode;
    EXPECT_EQ(GetParameter()->BackgroundCallCount, calls + 1);
  }
  // The same in the KestrelB form, where mode 0 subtracts without the offset.
  Image bg(1, 1, 200);
  Image img(1, 1, 150);
  int phase = 0;
  EXPECT_EQ(CalibrateBackgroundKestrelB(&phase, 0, 1, 1, bg.data(), img.data()), 0);
  EXPECT_EQ(img.pixels[0], 205);
}

TEST_F(BackgroundTest, BackgroundUpdateCanBeSwitchedOffForMode1) {
  GetParameter()->BackgroundUpdateDisabled = 1;
  Image bg(1, 1, 100);
  Image img(1, 1, 120);
  CalibrateBackgroundSimple(1, 1, 1, bg.data(), img.data());
  EXPECT_EQ(bg.pixels[0], 100);
  EXPECT_EQ(img.pixels[0], 255);
  GetParameter()->BackgroundUpdateDisabled = 0;
  img.pixels[0] = 120;
  CalibrateBackgroundSimple(1, 1, 1, bg.data(), img.data());
  EXPECT_EQ(bg.pixels[0], 120);
}

// An image whose only dark area is a square with its left edge at `column`.
Image SquareAt(int column) {
  Image img(64, 128, 255);
  for (int y = 16; y < 48; ++y)
    for (int x = column; x < column + 32; ++x) img.at(y, x) = 60;
  return img;
}

int FirstMaskColumn(int height, int width) {
  const unsigned char* mask = GetParameter()->WorkingBuffer;
  for (int x = 0; x < width; ++x)
    for (int y = 0; y < height; ++y)
      if (mask[y * width + x]) return x;
  return -1;
}

TEST_F(BackgroundTest, KestrelBRebuildsTheMaskOnEveryFourthFrame) {
  GetParameter()->MaskRegionFilter = 0;
  int phase = 0;
  std::vector<int> builtFrom;
  for (int call = 0; call < 8; ++call) {
    Image img = SquareAt(8 + 10 * call);
    CalibrateBackgroundKestrelB(&phase, 3, img.height, img.width, nullptr, img.data());
    // The 12 x 12 erosion widens the dark square by 5 columns to its left.
    builtFrom.push_back((FirstMaskColumn(64, 128) + 5 - 8) / 10);
  }
  EXPECT_EQ(builtFrom, (std::vector<int>{0, 0, 0, 0, 4, 4, 4, 4}));
  EXPECT_EQ(phase, 0);
}

TEST_F(BackgroundTest, NewBackgroundWithAFingerLeftOnIsNotClean) {
  Image standard(300, 300, 200);
  Image same = standard;
  EXPECT_EQ(IsNewBackgroundClean(300, 300, standard.data(), same.data()), 0);
  Image darker(300, 300, 190);  // 10 darker: beyond the noise level of 9
  EXPECT_EQ(IsNewBackgroundClean(300, 300, standard.data(), darker.data()), LSA_FINGER_ON_SENSOR);
  Image noisy(300, 300, 191);   // 9 darker: within the noise
  EXPECT_EQ(IsNewBackgroundClean(300, 300, standard.data(), noisy.data()), 0);
  // 49500 / 4 = 12375 sampled pixels is the bound: darken exactly that many samples, then one more.
  Image partial = standard;
  for (int i = 0; i < 12375; ++i) partial.pixels[static_cast<std::size_t>(4 * i)] = 100;
  EXPECT_EQ(IsNewBackgroundClean(300, 300, standard.data(), partial.data()), 0);
  partial.pixels[4 * 12375] = 100;
  EXPECT_EQ(IsNewBackgroundClean(300, 300, standard.data(), partial.data()), LSA_FINGER_ON_SENSOR);
  EXPECT_EQ(IsNewBackgroundClean(300, 300, standard.data(), nullptr), LSA_INVALID_INPUT4);
}

TEST(MinimumFilterTest, MatchesAPlainMinimumOverTheCentredWindow) {
  livescan_test::Noise noise(3);
  const struct {
    int h, w, bw, bh;
  } shapes[] = {{20, 30, 12, 12}, {7, 9, 3, 5}, {5, 40, 12, 12}, {13, 4, 2, 3}, {6, 6, 1, 1}};
  for (const auto& s : shapes) {
    Image src(s.h, s.w);
    for (auto& v : src.pixels) v = static_cast<unsigned char>(noise.Uniform(0, 255));
    Image out(s.h, s.w);
    MinimumFilter(src.data(), out.data(), s.h, s.w, s.bw, s.bh);
    const auto start = [](int k, int size, int n) {
      size = std::min(size, n);
      return std::clamp(k - size / 2, 0, n - size);
    };
    for (int y = 0; y < s.h; ++y) {
      for (int x = 0; x < s.w; ++x) {
        const int y0 = start(y, s.bh, s.h), x0 = start(x, s.bw, s.w);
        int m = 255;
        for (int yy = y0; yy < y0 + std::min(s.bh, s.h); ++yy)
          for (int xx = x0; xx < x0 + std::min(s.bw, s.w); ++xx) m = std::min<int>(m, src.at(yy, xx));
        ASSERT_EQ(out.at(y, x), m) << s.h << "x" << s.w << " at " << y << "," << x;
      }
    }
  }
}

TEST_F(BackgroundTest, QuickMaskArgumentChecks) {
  Image img = SquareAt(40);
  unsigned char* mask = nullptr;
  int count = -1;
  const struct {
    Cordinate2DType block;
    int h, w;
    unsigned char* image;
    unsigned char** mask;
    int* count;
    int expected;
  } cases[] = {
      {{5, 5}, 0, 128, img.data(), &mask, &count, LSA_INVALID_INPUT1},
      {{5, 5}, 64, 0, img.data(), &mask, &count, LSA_INVALID_INPUT2},
      {{5, 5}, 64, 128, nullptr, &mask, &count, LSA_INVALID_INPUT3},
      {{0, 5}, 64, 128, img.data(), &mask, &count, LSA_INVALID_INPUT3},
      {{5, 0}, 64, 128, img.data(), &mask, &count, LSA_INVALID_INPUT4},
      {{5, 5}, 64, 128, img.data(), nullptr, &count, LSA_INVALID_POINTER},
      {{5, 5}, 64, 128, img.data(), &mask, nullptr, LSA_INVALID_POINTER},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QuickGetMaskNew(c.block, c.h, c.w, c.image, c.mask, c.count), c.expected);
    EXPECT_EQ(mask, nullptr);
  }
  ASSERT_EQ(QuickGetMaskNew({5, 5}, 64, 128, img.data(), &mask, &count), 0);
  ASSERT_NE(mask, nullptr);
  // The erosion's 5 x 5 window is centred: the dark 32 x 32 square grows by 2 on every side.
  EXPECT_EQ(count, 36 * 36);
  EXPECT_EQ(mask[20 * 128 + 50], 255);
  EXPECT_EQ(mask[5 * 128 + 5], 0);
  FreeMask(&mask);
  EXPECT_EQ(mask, nullptr);
  FreeMask(&mask);
  FreeMask(nullptr);
}

// The level cut keeps eroded levels up to 255 - MaskLevelThreshold (205) and every mask pixel is
// written, also where a caller's buffer held something before; a second mask of another size
// reuses nothing of the first.
TEST_F(BackgroundTest, MaskCutsAtLevel205AndWritesEveryPixel) {
  const unsigned char levels[4] = {204, 205, 206, 255};
  unsigned char mask[4] = {7, 7, 7, 7};
  unsigned char* out = mask;
  int count = -1;
  ASSERT_EQ(QuickGetMaskNew({1, 1}, 1, 4, const_cast<unsigned char*>(levels), &out, &count), 0);
  EXPECT_EQ(count, 2);
  const unsigned char expected[4] = {255, 255, 0, 0};
  EXPECT_TRUE(std::equal(mask, mask + 4, expected));

  Image img = SquareAt(40);
  unsigned char* big = nullptr;
  ASSERT_EQ(QuickGetMaskNew({5, 5}, 64, 128, img.data(), &big, &count), 0);
  EXPECT_EQ(count, 36 * 36);
  FreeMask(&big);
  unsigned char small[3] = {1, 1, 1};
  out = small;
  const unsigned char bright[3] = {250, 250, 250};
  ASSERT_EQ(QuickGetMaskNew({3, 3}, 1, 3, const_cast<unsigned char*>(bright), &out, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(small[0] | small[1] | small[2], 0);
}

// A mask with blocks of foreground pixels.
struct Block {
  int top, left, height, width;
};
Image MaskOf(int h, int w, std::initializer_list<Block> blocks) {
  Image m(h, w, 0);
  for (const Block& b : blocks)
    for (int y = b.top; y < b.top + b.height; ++y)
      for (int x = b.left; x < b.left + b.width; ++x) m.at(y, x) = 255;
  return m;
}

long Foreground(const Image& m) { return std::count(m.pixels.begin(), m.pixels.end(), 255); }

TEST_F(BackgroundTest, RegionFilterDropsRegionsBelowTheSizeBound) {
  // Five regions of 10,000 pixels and one of 8,000 (below the 9,000 minimum).
  Image m = MaskOf(220, 700, {{0, 0, 100, 100}, {0, 120, 100, 100}, {0, 240, 100, 100},
                              {0, 360, 100, 100}, {0, 480, 100, 100}, {120, 0, 80, 100}});
  ASSERT_EQ(FilterMaskRegions(700, 220, m.data()), 0);
  EXPECT_EQ(Foreground(m), 50000);
  EXPECT_EQ(m.at(150, 50), 0);
  EXPECT_EQ(m.at(50, 50), 255);
}

TEST_F(BackgroundTest, RegionFilterKeepsOnlyTheTwelveLargest) {
  // Thirteen regions above the minimum: the smallest is below the twelfth largest.
  std::vector<Block> blocks;
  for (int i = 0; i < 13; ++i) blocks.push_back({(i / 7) * 110, (i % 7) * 110, 100, 95 + (i == 12 ? -1 : 5)});
  Image m(220, 770, 0);
  for (const Block& b : blocks)
    for (int y = b.top; y < b.top + b.height; ++y)
      for (int x = b.left; x < b.left + b.width; ++x) m.at(y, x) = 255;
  ASSERT_EQ(FilterMaskRegions(770, 220, m.data()), 0);
  EXPECT_EQ(Foreground(m), 12 * 10000);
}

TEST_F(BackgroundTest, RegionsDoNotWrapAroundTheRowEnds) {
  // One pixel at the right end of row 9 touches, by index, the start of row 10 where a large
  // region begins. They are not neighbours on the image, so the lone pixel goes.
  Image m = MaskOf(200, 100, {{10, 0, 100, 100}});
  m.at(8, 99) = 255;  // index 899: one row down and one column right wraps to (10, 0)
  ASSERT_EQ(FilterMaskRegions(100, 200, m.data()), 0);
  EXPECT_EQ(m.at(8, 99), 0);
  EXPECT_EQ(m.at(10, 0), 255);
}

TEST_F(BackgroundTest, RegionsMeetingAtACornerAreOneRegion) {
  // Two blocks of 6,000 pixels touching only diagonally make one region of 12,000.
  Image m = MaskOf(200, 200, {{0, 0, 60, 100}, {60, 100, 60, 100}});
  ASSERT_EQ(FilterMaskRegions(200, 200, m.data()), 0);
  EXPECT_EQ(Foreground(m), 12000);
  m = MaskOf(200, 200, {{0, 0, 60, 100}, {61, 101, 60, 99}});
  ASSERT_EQ(FilterMaskRegions(200, 200, m.data()), 0);
  EXPECT_EQ(Foreground(m), 0);
}

TEST_F(BackgroundTest, TooManyRegionsLeaveTheMaskUnfiltered) {
  // 22,500 single-pixel regions on 300 x 300: more than the table's 64 x 300 records.
  Image m(300, 300, 0);
  for (int y = 0; y < 300; y += 2)
    for (int x = 0; x < 300; x += 2) m.at(y, x) = 255;
  const Image before = m;
  EXPECT_EQ(FilterMaskRegions(300, 300, m.data()), LSA_NO_MEMORY);
  EXPECT_EQ(m.pixels, before.pixels);
  // 10,000 regions fit: every one is below the minimum size and goes.
  Image coarse(300, 300, 0);
  for (int y = 0; y < 300; y += 3)
    for (int x = 0; x < 300; x += 3) coarse.at(y, x) = 255;
  EXPECT_EQ(FilterMaskRegions(300, 300, coarse.data()), 0);
  EXPECT_EQ(Foreground(coarse), 0);
}

TEST_F(BackgroundTest, GenerateMaskGrowsAShrunkenWorkingBuffer) {
  GetParameter()->MaskRegionFilter = 0;
  testing::internal::CaptureStdout();
  ASSERT_EQ(ReAllocateWorkingBuffer(100), 0);
  testing::internal::GetCapturedStdout();
  Image img = SquareAt(40);
  EXPECT_EQ(GenerateMask(img.height, img.width, img.data()), 0);
  EXPECT_GE(GetWorkingBufferSize(), 64 * 128);
  CleanResidule(img.height, img.width, img.data());
  EXPECT_EQ(img.at(0, 0), 255);
  EXPECT_EQ(img.at(30, 50), 60);
}

TEST_F(BackgroundTest, CleanResiduleWhitensBackgroundAndNearWhite) {
  GetParameter()->MaskRegionFilter = 0;
  Image img = SquareAt(40);
  img.at(30, 50) = 252;  // inside the finger but nearly white
  img.at(31, 50) = 250;
  GenerateMask(img.height, img.width, img.data());
  CleanResidule(img.height, img.width, img.data());
  EXPECT_EQ(img.at(30, 50), 255);
  EXPECT_EQ(img.at(31, 50), 250);
  EXPECT_EQ(img.at(32, 50), 60);
}

TEST_F(BackgroundTest, PloverCOutputStaysInsideTheSourceRow) {
  Image bg(40, 20, 200);
  Image mask(40, 20, 0);
  Image out(60, 200, 150);  // wider than 3 x 20 + 34: the source column is clamped
  EXPECT_EQ(GetPloverCFinalImage(40, 20, bg.data(), mask.data(), 60, 200, out.data()), 0);
  EXPECT_EQ(out.at(0, 0), 205);
  EXPECT_EQ(out.at(59, 199), 205);
}

TEST_F(BackgroundTest, PloverCMaskIsThinnedAndMaskedPixelsTurnWhite) {
  Image bg(20, 20, 200);
  Image mask = MaskOf(20, 20, {{4, 4, 12, 12}});
  mask.at(2, 10) = 255;  // isolated: cleared by the thinning
  Image out(10, 10, 150);
  GetPloverCFinalImage(20, 20, bg.data(), mask.data(), 10, 10, out.data());
  EXPECT_EQ(mask.at(2, 10), 0);
  EXPECT_EQ(mask.at(4, 4), 0);  // its two-step neighbours above and left are background
  EXPECT_EQ(mask.at(5, 10), 0);
  // Inner pixels judge by the mask as it was, so the cleared edge does not eat the region.
  EXPECT_EQ(mask.at(6, 6), 255);
  EXPECT_EQ(mask.at(10, 10), 255);
  EXPECT_EQ(mask.at(13, 13), 255);
  // Output (r, c) reads source ((r + 26) / 2, max((c - 34) / 3, 0)) = (13.., 0): mask 0 there.
  EXPECT_EQ(out.at(0, 0), 205);
}

}  // namespace
}  // namespace LiveScanAlg
