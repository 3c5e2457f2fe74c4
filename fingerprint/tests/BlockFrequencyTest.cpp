// Block FFT against a direct DFT, and the cell map of the block-frequency analysis on uniform and
// ridge-textured images.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "BlockFrequency.h"
#include "SlapSegmentation.h"

namespace {

void ExpectMatchesDirectDft(const std::vector<uint8_t>& block, int rows, int cols) {
  std::vector<double> re(rows * cols), im(rows * cols);
  ASSERT_EQ(ByteBlockFft(block.data(), rows, cols, re.data(), im.data()), 0);
  for (int k1 = 0; k1 < rows; ++k1)
    for (int k2 = 0; k2 < cols; ++k2) {
      std::complex<double> sum = 0.0;
      for (int j1 = 0; j1 < rows; ++j1)
        for (int j2 = 0; j2 < cols; ++j2) {
          const double phase = 2.0 * std::numbers::pi * (double(j1 * k1) / rows + double(j2 * k2) / cols);
          sum += double(block[j1 * cols + j2]) * std::complex<double>(std::cos(phase), std::sin(phase));
        }
      EXPECT_NEAR(re[k1 * cols + k2], sum.real(), 1e-7 * (1.0 + std::abs(sum))) << k1 << "," << k2;
      EXPECT_NEAR(im[k1 * cols + k2], sum.imag(), 1e-7 * (1.0 + std::abs(sum))) << k1 << "," << k2;
    }
}

TEST(ByteBlockFft, MatchesDirectDft) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  const std::pair<int, int> shapes[] = {{16, 16}, {8, 4}, {1, 16}, {4, 32}};
  for (auto [rows, cols] : shapes) {
    SCOPED_TRACE(testing::Message() << rows << "x" << cols);
    std::vector<uint8_t> block(rows * cols);
    for (uint8_t& b : block) b = static_cast<uint8_t>(byte(rng));
    ExpectMatchesDirectDft(block, rows, cols);
  }
  // A ridge-like cosine: all power sits at the zero frequency and two mirrored peaks.
  std::vector<uint8_t> ridge(256);
  for (int r = 0; r < 16; ++r)
    for (int c = 0; c < 16; ++c)
      ridge[r * 16 + c] = static_cast<uint8_t>(128 + 100 * std::cos(2 * std::numbers::pi * (2 * r + 3 * c) / 16.0));
  ExpectMatchesDirectDft(ridge, 16, 16);
}

TEST(ByteBlockFft, RefusesBlocksItCannotTransform) {
  std::vector<uint8_t> block(64 * 128, 9);
  std::vector<double> re(64 * 128, -7.0), im(64 * 128, -7.0);
  EXPECT_EQ(ByteBlockFft(block.data(), 64, 128, re.data(), im.data()), -1);
  EXPECT_EQ(ByteBlockFft(block.data(), 128, 16, re.data(), im.data()), -1);
  EXPECT_EQ(ByteBlockFft(block.data(), 12, 16, re.data(), im.data()), -1);  // not a power of two
  EXPECT_EQ(ByteBlockFft(block.data(), 0, 16, re.data(), im.data()), -1);
  for (double v : re) ASSERT_EQ(v, -7.0);
  for (double v : im) ASSERT_EQ(v, -7.0);
  EXPECT_EQ(ByteBlockFft(block.data(), 64, 64, re.data(), im.data()), 0);
  EXPECT_DOUBLE_EQ(re[0], 9.0 * 64 * 64);
}

// Cell map with the second half filled, as the callers do, with the image reduced by 4.
std::vector<uint8_t> CellMapFor(const std::vector<uint8_t>& img, int lines, int length) {
  const int cr = lines / 4, cc = length / 4;
  std::vector<uint8_t> map(2 * cr * cc, 0);
  EXPECT_EQ(ReduceImageByBlocks(img.data(), lines, length, 0, 0, lines, length, map.data() + cr * cc, 4), 0);
  return map;
}

TEST(AnalyseBlockFrequency, UniformImageIsAllBackground) {
  const int lines = 64, length = 80;
  std::vector<uint8_t> img(lines * length, 140);
  std::vector<uint8_t> map = CellMapFor(img, lines, length);
  EXPECT_EQ(AnalyseBlockFrequency(img.data(), lines, length, 3, 150, 50, 1, map.data()), 0);
  const int cells = (lines / 4) * (length / 4);
  for (int i = 0; i < cells; ++i) {
    EXPECT_EQ(map[i], kCellNoPattern);
    EXPECT_EQ(map[cells + i], kRegionBorderBackground);
  }
}

// A fingerprint-like patch: parallel ridges of period 8 inside a rectangle on a bright, slightly
// noisy platen.
struct RidgeImage {
  int lines = 160, length = 192;
  int top = 40, bottom = 120, left = 40, right = 152;  // patch, pixels
  std::vector<uint8_t> px;
  explicit RidgeImage(double angleDeg = 30.0) : px(lines * length) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> noise(-2, 2);
    const double t = angleDeg * std::numbers::pi / 180.0;
    for (int y = 0; y < lines; ++y)
      for (int x = 0; x < length; ++x) {
        int v = 225 + noise(rng);
        if (y >= top && y < bottom && x >= left && x < right)
          v = static_cast<int>(110 + 80 * std::cos(2 * std::numbers::pi * (x * std::cos(t) + y * std::sin(t)) / 8.0));
        px[y * length + x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
      }
  }
};

TEST(AnalyseBlockFrequency, RidgePatchBecomesOneLargeRidgeRegion) {
  const RidgeImage img;
  std::vector<uint8_t> map = CellMapFor(img.px, img.lines, img.length);
  ASSERT_EQ(AnalyseBlockFrequency(img.px.data(), img.lines, img.length, 3, 150, 50, 1, map.data()), 0);
  const int cr = img.lines / 4, cc = img.length / 4, cells = cr * cc;
  int ridgeCells = 0;
  for (int i = 0; i < cr; ++i)
    for (int j = 0; j < cc; ++j) {
      const uint8_t code = map[i * cc + j], label = map[cells + i * cc + j];
      const bool inside = i >= img.top / 4 + 2 && i < img.bottom / 4 - 2 && j >= img.left / 4 + 2 &&
                          j < img.right / 4 - 2;
      const bool outside = i < img.top / 4 - 2 || i >= img.bottom / 4 + 2 || j < img.left / 4 - 2 ||
                           j >= img.right / 4 + 2;
      if (inside) {
        // Clear ridges score high and belong to the large region.
        EXPECT_GE(code, kCellRidgeMin) << i << "," << j;
        EXPECT_EQ(label, kRegionLargeRidge) << i << "," << j;
      }
      if (outside) {
        EXPECT_EQ(code, kCellNoPattern) << i << "," << j;
        EXPECT_EQ(label, kRegionBorderBackground) << i << "," << j;
      }
      ridgeCells += label == kRegionLargeRidge;
    }
  EXPECT_GT(ridgeCells, 150);
}

TEST(AnalyseBlockFrequency, SmallRidgePatchStaysASmallRegion) {
  // The same patch counted against a larger minimum region: its cells are labelled 30, and the
  // strong codes outside the large regions become 40.
  const RidgeImage img;
  std::vector<uint8_t> map = CellMapFor(img.px, img.lines, img.length);
  ASSERT_EQ(AnalyseBlockFrequency(img.px.data(), img.lines, img.length, 3, 5000, 50, 1, map.data()), 0);
  const int cr = img.lines / 4, cc = img.length / 4, cells = cr * cc;
  const int centre = (cr / 2) * cc + cc / 2;
  EXPECT_EQ(map[cells + centre], kRegionSmallRidge);
  EXPECT_EQ(map[centre], kCellOutsideRidge);
  for (int i = 0; i < cells; ++i) EXPECT_NE(map[cells + i], kRegionLargeRidge);
}

TEST(AnalyseBlockFrequency, FlatDarkHoleInsideRidgesIsFilledOrCounted) {
  // A dark flat square inside the ridges: its cells have no pattern but are darker than the mean,
  // so those amid strong neighbours are filled in; the rest form a hole inside the ridge region.
  RidgeImage img;
  for (int y = 68; y < 92; ++y)
    for (int x = 84; x < 108; ++x) img.px[y * img.length + x] = 60;
  std::vector<uint8_t> map = CellMapFor(img.px, img.lines, img.length);
  ASSERT_EQ(AnalyseBlockFrequency(img.px.data(), img.lines, img.length, 1, 150, 50, 1, map.data()), 0);
  const int cr = img.lines / 4, cc = img.length / 4, cells = cr * cc;
  int filled = 0;
  for (int i = 0; i < cells; ++i) filled += map[i] == kCellFilled;
  EXPECT_GT(filled, 0);
  // The flat square's centre cell lies inside the large region, filled in or as a small hole
  // counted as ridge.
  const int centre = (80 / 4) * cc + 96 / 4;
  EXPECT_EQ(map[cells + centre], kRegionLargeRidge);
  EXPECT_TRUE(map[centre] == kCellFilled || map[centre] == kCellInsideRidge) << int(map[centre]);

  // A map with fewer than 2 * radius + 1 cell rows gets no filling at all.
  std::vector<uint8_t> strip(img.px.begin() + 60 * img.length, img.px.begin() + 84 * img.length);
  std::vector<uint8_t> stripMap = CellMapFor(strip, 24, img.length);
  ASSERT_EQ(AnalyseBlockFrequency(strip.data(), 24, img.length, 3, 150, 50, 1, stripMap.data()), 0);
  for (int i = 0; i < 6 * cc; ++i) EXPECT_NE(stripMap[i], kCellFilled);
}

TEST(AnalyseBlockFrequency, WindowsAtTheBorderReadOutsidePixelsAsWhite) {
  // Ridges over the whole image: the cells at the border see white fill in their spectrum, but
  // their variance comes from the image only; the cells further in score.
  const int lines = 96, length = 128;
  std::vector<uint8_t> whole(lines * length);
  for (int y = 0; y < lines; ++y)
    for (int x = 0; x < length; ++x)
      whole[y * length + x] = static_cast<uint8_t>(
          110 + 80 * std::cos(2 * std::numbers::pi * (x * std::cos(0.5236) + y * std::sin(0.5236)) / 8.0));
  std::vector<uint8_t> map = CellMapFor(whole, lines, length);
  ASSERT_EQ(AnalyseBlockFrequency(whole.data(), lines, length, 3, 150, 50, 1, map.data()), 0);
  const int cr = lines / 4, cc = length / 4, cells = cr * cc;
  int borderScored = 0;
  for (int j = 0; j < cc; ++j) borderScored += map[j] != kCellNoPattern && map[j] != kCellOutsideRidge;
  EXPECT_LT(borderScored, cc);  // white fill spoils most first-row windows
  EXPECT_GE(map[10 * cc + 10], kCellRidgeMin);
  // The map's first and last rows and columns are background by construction.
  EXPECT_EQ(map[cells + 0], kRegionBorderBackground);
  EXPECT_EQ(map[cells + 10 * cc], kRegionBorderBackground);
  EXPECT_EQ(map[cells + 10 * cc + 10], kRegionLargeRidge);
}

// Hand-made shifted power spectra: the main peak at (8, 8) unless moved, a side peak and its
// mirror, and single extra components. Expected codes worked out from the scoring rules:
// A = 2 x the power around the side peak, B = the power around the main peak (both counting only
// components above a tenth of the side peak), code = trunc(150 x A / B + 100), at most 255.
struct Spectrum {
  float p[kSpectrumSide][kSpectrumSide] = {};
  Spectrum& Set(int r, int c, float v) {
    p[r][c] = v;
    return *this;
  }
};

Spectrum Ridge(int dr = 0, int dc = 2, float side = 100, float mirror = 100, float main = 1000) {
  Spectrum s;
  s.Set(8, 8, main).Set(8 + dr, 8 + dc, side).Set(8 - dr, 8 - dc, mirror);
  return s;
}

struct ScoreCase {
  const char* name;
  Spectrum spectrum;
  bool strict;
  int code;
};

TEST(SpectrumRidgeScore, RejectionChainAndScore) {
  const ScoreCase cases[] = {
      {"side peak and mirror only: A = 200, B = 200", Ridge(), true, 250},
      // Side peak at least 0.0002 of the main peak.
      {"side / main = 0.0002", Ridge(0, 2, 10, 10, 50000), true, 250},
      {"side / main below 0.0002", Ridge(0, 2, 9.99f, 9.99f, 50000), true, 0},
      // Squared distance from the main peak above 3 (strict) or above 1.
      {"distance 4 strict", Ridge(0, 2), true, 250},
      {"distance 2 strict", Ridge(1, 1), true, 0},
      {"distance 2 not strict", Ridge(1, 1), false, 250},
      {"distance 1 not strict", Ridge(0, 1), false, 0},
      // The mirror must lie on the grid and match the side peak within 20.
      {"mirror on the last row", Spectrum().Set(13, 8, 1000).Set(11, 8, 100).Set(15, 8, 100), true, 250},
      {"mirror on the first row", Spectrum().Set(2, 8, 1000).Set(4, 8, 100).Set(0, 8, 100), true, 250},
      {"mirror on the first column", Spectrum().Set(8, 2, 1000).Set(8, 4, 100).Set(8, 0, 100), true, 250},
      {"mirror below the grid", Spectrum().Set(14, 8, 1000).Set(12, 8, 100), true, 0},
      {"mirror left of the grid", Spectrum().Set(8, 1, 1000).Set(8, 3, 100), true, 0},
      {"mirror 20 weaker", Ridge(0, 2, 100, 80), true, 0},
      {"mirror 19 weaker: 200 / 181", Ridge(0, 2, 100, 81), true, 255},
      // Far components: above 0.15 of the side peak from squared distance 64, 0.3 from 49, 0.45
      // from 40. (0, 8) lies outside B's 15 x 15 square, (1, 8) inside.
      {"0.15 at distance 64", Ridge().Set(0, 8, 15), true, 250},
      {"above 0.15 at distance 64", Ridge().Set(0, 8, 16), true, 0},
      {"0.3 at distance 49: B = 230", Ridge().Set(1, 8, 30), true, 230},
      {"above 0.3 at distance 49", Ridge().Set(1, 8, 31), true, 0},
      {"0.45 at distance 40: B = 245", Ridge(2, 2).Set(14, 10, 45), true, 222},
      {"above 0.45 at distance 40", Ridge(2, 2).Set(14, 10, 46), true, 0},
      {"distance 37 is free: B = 290", Ridge(2, 2).Set(14, 9, 90), true, 203},
      // Direction: side peak at 75 degrees; strong components (above 0.4) may deviate up to 64.
      {"64 degrees off: B = 250", Ridge(4, 1).Set(9, 13, 50), true, 220},
      {"65 degrees off", Ridge(4, 1).Set(7, 2, 50), true, 0},
      {"116 degrees off is 64 the other way", Ridge().Set(10, 7, 50), true, 220},
      {"65 degrees off at 0.4: B = 240", Ridge(4, 1).Set(7, 2, 40), true, 225},
      {"next to the main peak: not a direction", Ridge(4, 1).Set(8, 9, 50), true, 220},
      {"two from the main peak at 0 degrees", Ridge(4, 1).Set(8, 10, 50), true, 0},
      // Score: a component next to the side peak counts in A and B when above a tenth of it.
      {"B only: 200 / 240", Ridge().Set(4, 8, 40), true, 225},
      {"a tenth next to the side peak", Ridge().Set(4, 8, 40).Set(8, 11, 10), true, 225},
      {"above a tenth: 222 / 251", Ridge().Set(4, 8, 40).Set(8, 11, 11), true, 232},
      {"ratio 1.04 gives 256: 255", Ridge(0, 2, 104, 96), true, 255},
      {"weak spectrum: A = B = 0.08", Ridge(0, 2, 0.04f, 0.04f, 100), true, 250},
      // Equal side peaks: the later one in row-major order is the side peak, so the component at
      // (8, 11) is next to it: 300 / 330 (190 if the earlier one were taken).
      {"later of two equal side peaks",
       Ridge().Set(8, 11, 50).Set(4, 8, 40).Set(12, 8, 40), true, 236},
  };
  for (const ScoreCase& c : cases) {
    EXPECT_EQ(SpectrumRidgeScore(c.spectrum.p, c.strict), c.code) << c.name;
  }
}

TEST(FillLabelRegion, CountsTheFourConnectedRegionOfTheSeed) {
  std::vector<uint8_t> map = {
      0, 0, 5, 0,  //
      5, 0, 5, 0,  //
      0, 5, 0, 0,  //
  };
  RegionMeasure m;
  EXPECT_EQ(FillLabelRegion(map.data(), 3, 4, 0, 0, 0, 7, &m), 3);  // (0,0) (0,1) (1,1)
  EXPECT_EQ(m.minLine, 0);
  EXPECT_EQ(m.maxLine, 1);
  EXPECT_EQ(m.maxColumn, 1);
  EXPECT_EQ(m.sumColumn, 2);
  EXPECT_EQ(map[8], 0);  // diagonal to (1,1), not joined
  EXPECT_EQ(FillLabelRegion(map.data(), 3, 4, 0, 3, 0, 7, &m), 4);  // (0,3) (1,3) (2,3) (2,2)
  EXPECT_EQ(FillLabelRegion(map.data(), 3, 4, 0, 3, 0, 7, &m), 0);   // no longer carries 0
  EXPECT_EQ(FillLabelRegion(map.data(), 3, 4, 5, 0, 0, 7, &m), 0);   // seed outside the map
}

}  // namespace
