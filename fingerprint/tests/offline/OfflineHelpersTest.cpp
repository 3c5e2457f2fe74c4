// Argument checks of the offline segmentation and its image helpers on small hand-made images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "OfflineSegmentation.h"

namespace {

struct ArgCase {
  const char* name;
  std::function<int(char*, size_t)> call;
  const char* text;  // expected error text, or null when the checks pass
};

TEST(OfflineSegmentationArguments, EachCheckGivesItsText) {
  // One white buffer large enough for every size below; the checks must refuse before reading.
  static std::vector<uint8_t> white(size_t(2501) * 2501, 235);
  const uint8_t* img = white.data();
  static FingerInfo f[4];
  static HandOutput hand;
  static int32_t triples[12];
  static std::vector<uint8_t> map(size_t(313) * 313, 255);
  static uint8_t buffer[600 * 500];
  static uint8_t* const outs[4] = {buffer, buffer, buffer, buffer};
  auto flat = [img](int w, int h, int pos, int x0, int y0, int cw, int ch, int live, int mask, bool records = true) {
    return [=](char* e, size_t n) {
      return SegmentFingerImage(img, w, h, pos, x0, y0, cw, ch, live, mask, records ? f : nullptr, e, n);
    };
  };
  auto cent = [img](const uint8_t* image, int w, int h, int pos, int mask, bool records = true) {
    return [=](char* e, size_t n) {
      int extra = 0;
      return FlatSegmentCent15(image, w, h, 0, pos, mask, records ? f : nullptr, &extra, e, n);
    };
  };
  auto side = [](int lines, int length, int s, bool haveMap = true, bool haveOut = true) {
    return [=](char* e, size_t n) {
      const uint16_t size[2] = {uint16_t(length), uint16_t(lines)};
      return SegmentHandSide(size, haveMap ? map.data() : nullptr, s, 15, 50, 200, 0, 1, haveOut ? triples : nullptr,
                             e, n);
    };
  };
  const ArgCase cases[] = {
      {"null image", [](char* e, size_t n) { return SegmentFingerImage(nullptr, 1000, 1000, 13, 0, 0, 1000, 1000, 0, 15, f, e, n); },
       "Err: Input image buffer is NULL"},
      {"crop before the first line", flat(1000, 1000, 13, -1, 0, 1000, 1000, 0, 15),
       "Err: Input image Offset -1 0, area size 1000 1000, Image size 1000 1000"},
      {"crop before the first column", flat(1000, 1000, 13, 0, -3, 900, 900, 0, 15),
       "Err: Input image Offset 0 -3, area size 900 900, Image size 1000 1000"},
      {"crop past the last line", flat(1000, 1000, 13, 10, 0, 991, 1000, 0, 15),
       "Err: Input image Offset 10 0, area size 991 1000, Image size 1000 1000"},
      {"crop past the last column", flat(1000, 1000, 13, 0, 0, 1000, 1001, 0, 15),
       "Err: Input image Offset 0 0, area size 1000 1001, Image size 1000 1000"},
      {"crop far past the end does not wrap", flat(1000, 1000, 13, 2000000000, 0, 2000000000, 1000, 0, 15),
       "Err: Input image Offset 2000000000 0, area size 2000000000 1000, Image size 1000 1000"},
      {"the crop is checked before the records", flat(1000, 1000, 13, -1, 0, 1000, 1000, 0, 15, false),
       "Err: Input image Offset -1 0, area size 1000 1000, Image size 1000 1000"},
      {"no records", flat(1000, 1000, 13, 0, 0, 1000, 1000, 0, 15, false), "Err: CentPtr is NULL"},
      {"live flag 2", flat(1000, 1000, 13, 0, 0, 1000, 1000, 2, 15), "Err: IsImpLive = 2"},
      {"live flag -1", flat(1000, 1000, 13, 0, 0, 1000, 1000, -1, 15), "Err: IsImpLive = -1"},
      {"position 16", flat(1000, 1000, 16, 0, 0, 1000, 1000, 0, 15), "Err: Finger Number 16"},
      {"position 10", flat(1000, 1000, 10, 0, 0, 1000, 1000, 0, 15), "Err: Finger Number 10"},
      {"position 1", flat(1000, 1000, 1, 0, 0, 1000, 1000, 0, 15), "Err: Finger Number 1"},
      {"hand mask 0", flat(1000, 1000, 13, 0, 0, 1000, 1000, 0, 0), "Err: FingerMask 0"},
      {"hand mask 16", flat(1000, 1000, 0, 0, 0, 1000, 1000, 0, 16), "Err: FingerMask 16"},
      {"thumbs mask 4", flat(1000, 1000, 15, 0, 0, 1000, 1000, 0, 4), "Err: FingerMask 4"},
      {"thumbs mask 0", flat(1000, 1000, 15, 0, 0, 1000, 1000, 0, 0), "Err: FingerMask 0"},
      {"hand 699 lines", flat(1000, 1000, 13, 0, 0, 699, 1000, 0, 15), "Err: Input image size (699x1000); Finger 13"},
      {"hand 2501 columns", flat(2501, 2501, 14, 0, 0, 700, 2501, 0, 15), "Err: Input image size (700x2501); Finger 14"},
      {"hand 700 x 700 passes", flat(1000, 1000, 13, 300, 300, 700, 700, 0, 15), nullptr},
      {"thumb 299 lines", flat(1000, 1000, 11, 0, 0, 299, 200, 0, 1), "Err: Input image size (299x200); Finger 11"},
      {"thumb 199 columns", flat(1000, 1000, 12, 0, 0, 300, 199, 0, 1), "Err: Input image size (300x199); Finger 12"},
      {"thumb 2001 columns", flat(2501, 2501, 12, 0, 0, 300, 2001, 0, 1), "Err: Input image size (300x2001); Finger 12"},
      {"thumb 300 x 200 passes", flat(1000, 1000, 11, 0, 0, 300, 200, 0, 1), nullptr},
      {"two thumbs 399 lines", flat(1000, 1000, 15, 0, 0, 399, 700, 0, 3), "Err: Input image size (399x700); Finger 15"},
      {"two thumbs 699 columns", flat(1000, 1000, 15, 0, 0, 400, 699, 0, 3), "Err: Input image size (400x699); Finger 15"},
      {"two thumbs 400 x 700 pass", flat(1000, 1000, 15, 0, 0, 400, 700, 0, 3), nullptr},
      {"cent15 null image", cent(nullptr, 1000, 1000, 15, 3), "Err: Input image buffer is NULL"},
      {"cent15 no records", cent(img, 1000, 1000, 15, 3, false), "Err: FingerInfo is NULL"},
      {"cent15 position 14", cent(img, 1000, 1000, 14, 3), "Err: FlatSegmentCent15 finger position 14"},
      {"cent15 699 columns", cent(img, 1000, 699, 15, 3), "Err: Input image size (1000x699)"},
      {"cent15 2001 columns", cent(img, 1000, 2001, 15, 3), "Err: Input image size (1000x2001)"},
      {"cent15 399 lines", cent(img, 399, 1000, 15, 3), "Err: Input image size (399x1000)"},
      {"cent15 mask 4", cent(img, 1000, 1000, 15, 4), "Err: FingerMask 4"},
      {"hand null image", [](char* e, size_t n) { return SegmentHand(nullptr, 1000, 1000, 0, 13, 15, 1, &hand, nullptr, e, n); },
       "Err: Input image buffer is NULL"},
      {"hand no output", [img](char* e, size_t n) { return SegmentHand(img, 1000, 1000, 0, 13, 15, 1, nullptr, nullptr, e, n); },
       "Err: OutInfo is NULL"},
      {"hand 2501 lines", [img](char* e, size_t n) { return SegmentHand(img, 2501, 1000, 0, 14, 15, 1, &hand, nullptr, e, n); },
       "Err: Input image size (2501x1000); Hand 14"},
      {"unknown hand with an amputation", [img](char* e, size_t n) { return SegmentHand(img, 1000, 1000, 0, 0, 7, 1, &hand, nullptr, e, n); },
       "Err: amputation (7) set for unknown hand"},
      {"side: no map", side(100, 100, 13, false), "Err: Input image or header buffer is NULL"},
      {"side: no output", side(100, 100, 13, true, false), "Err: CentPtr is NULL"},
      {"side: side 15", side(100, 100, 15), "Err: Finger 15"},
      {"side: 86 lines", side(86, 100, 13), "Err: Input image size (86x100); Finger 13"},
      {"side: 313 columns", side(100, 313, 14), "Err: Input image size (100x313); Finger 14"},
      {"side: 87 x 312 passes", side(87, 312, 13), nullptr},
      {"extract position 12", [img](char* e, size_t n) { return ExtractFingerImages(img, 1000, 1000, 600, 500, 12, 0, 1, 1, outs, e, n); },
       "Err: Finger 12"},
      {"extract position 16", [img](char* e, size_t n) { return ExtractFingerImages(img, 1000, 1000, 600, 500, 16, 0, 1, 1, outs, e, n); },
       "Err: Finger 16"},
      {"extract no buffers", [img](char* e, size_t n) { return ExtractFingerImages(img, 1000, 1000, 600, 500, 13, 0, 1, 1, nullptr, e, n); },
       "Err: *OutputBuff 0 is NULL; Finger 13"},
      {"extract output size 0", [img](char* e, size_t n) { return ExtractFingerImages(img, 1000, 1000, 0, 500, 13, 0, 1, 1, outs, e, n); },
       "Err: Output image size (0x500)"},
  };
  for (const ArgCase& c : cases) {
    SCOPED_TRACE(c.name);
    char err[128] = "";
    const int result = c.call(err, sizeof err);
    if (c.text != nullptr) {
      EXPECT_EQ(result, -1);
      EXPECT_STREQ(err, c.text);
    } else {
      EXPECT_GE(result, 0) << err;  // a white platen: nothing found, no text
      EXPECT_STREQ(err, "");
    }
  }
  // A short buffer gets the start of the text, terminated.
  char shortErr[10];
  std::memset(shortErr, 'x', sizeof shortErr);
  EXPECT_EQ(SegmentFingerImage(nullptr, 1000, 1000, 13, 0, 0, 1000, 1000, 0, 15, f, shortErr, sizeof shortErr), -1);
  EXPECT_STREQ(shortErr, "Err: Inpu");
}

TEST(GreyLevelStats, LevelsFromBothEnds) {
  // 10000 pixels (one unit is 100): 150 at 0, 300 at 10, 9250 at 128, 200 at 250, 100 at 255.
  std::vector<uint8_t> img;
  img.insert(img.end(), 150, 0);
  img.insert(img.end(), 300, 10);
  img.insert(img.end(), 9250, 128);
  img.insert(img.end(), 200, 250);
  img.insert(img.end(), 100, 255);
  GreyStats s;
  s.Width = 100, s.Height = 100, s.LowPercent = 3, s.HighPercent = 10;
  ASSERT_EQ(GreyLevelStats(img.data(), &s), 0);
  EXPECT_EQ(s.Mean, 126);
  EXPECT_EQ(s.Share0, 1);
  EXPECT_EQ(s.Share255, 1);
  EXPECT_EQ(s.Low, 0);       // 150 > 100 at level 0
  EXPECT_EQ(s.LowPct, 10);   // 450 > 300 at level 10
  EXPECT_EQ(s.High, 250);    // 100 at 255 is not more than one unit; 300 at 250 is
  EXPECT_EQ(s.HighPct, 128); // 1000 is first passed at 128

  // An all-white image: every level is 255.
  std::vector<uint8_t> white(400, 255);
  GreyStats w;
  w.Width = 20, w.Height = 20, w.LowPercent = 1, w.HighPercent = 10;
  GreyLevelStats(white.data(), &w);
  EXPECT_EQ(w.Low, 255);
  EXPECT_EQ(w.LowPct, 255);
  EXPECT_EQ(w.High, 255);
  EXPECT_EQ(w.HighPct, 255);
  EXPECT_EQ(w.Share255, 100);
  // Fewer than 100 pixels: the unit is one pixel.
  const uint8_t few[6] = {5, 5, 9, 200, 200, 201};
  GreyStats t;
  t.Width = 2, t.Height = 3, t.LowPercent = 3, t.HighPercent = 1;
  GreyLevelStats(few, &t);
  EXPECT_EQ(t.Low, 5);
  EXPECT_EQ(t.LowPct, 200);
  EXPECT_EQ(t.High, 200);
  EXPECT_EQ(t.HighPct, 200);  // one pixel at 201 does not exceed one unit
  EXPECT_EQ(GreyLevelStats(nullptr, &t), -1);
}

TEST(BinaryDensityFilter, CountsTheWindowClippedAtTheBorder) {
  std::vector<uint8_t> m(7 * 7, 0);
  m[3 * 7 + 3] = 1;
  m[0] = 1;
  BinaryDensityFilter(m.data(), 7, 7, 1);
  for (int x = 0; x < 7; ++x)
    for (int y = 0; y < 7; ++y) {
      const bool nearCentre = std::abs(x - 3) <= 1 && std::abs(y - 3) <= 1;
      const bool nearCorner = x <= 1 && y <= 1;
      EXPECT_EQ(m[x * 7 + y], nearCentre || nearCorner ? 28 : 0) << x << "," << y;  // 255 / 9
    }
  std::vector<uint8_t> ones(5 * 6, 1);
  BinaryDensityFilter(ones.data(), 5, 6, 1);
  EXPECT_EQ(ones[2 * 6 + 2], 255);
  EXPECT_EQ(ones[0], 113);      // 4 * 255 / 9
  EXPECT_EQ(ones[0 * 6 + 3], 170);  // 6 * 255 / 9
  std::vector<uint8_t> wide(9 * 9, 1);
  BinaryDensityFilter(wide.data(), 9, 9, 2);
  EXPECT_EQ(wide[4 * 9 + 4], 255);
  EXPECT_EQ(wide[0], 91);  // 9 * 255 / 25
}

TEST(GetImageByAngle, UprightCopyTurnAndFill) {
  constexpr int W = 100, H = 80;
  std::vector<uint8_t> img(W * H);
  for (int x = 0; x < W; ++x)
    for (int y = 0; y < H; ++y) img[x * H + y] = uint8_t((x * 7 + y * 3) & 255);
  std::vector<uint8_t> out(20 * 10);
  // 90 degrees: a plain window centred on (50, 40).
  ASSERT_EQ(GetImageByAngle(img.data(), W, H, 50, 40, 90, out.data(), 20, 10), 0);
  for (int i = 0; i < 20; ++i)
    for (int j = 0; j < 10; ++j) EXPECT_EQ(out[i * 10 + j], img[(40 + i) * H + 35 + j]) << i << "," << j;
  // 0 degrees: the output's x runs along the image's y.
  ASSERT_EQ(GetImageByAngle(img.data(), W, H, 50, 40, 0, out.data(), 20, 10), 0);
  for (int i = 0; i < 20; ++i)
    for (int j = 0; j < 10; ++j) EXPECT_EQ(out[i * 10 + j], img[(50 - (j - 5)) * H + 40 + (i - 10)]) << i << "," << j;
  // At the corner: what lies outside takes the bright level of the part under the window.
  std::vector<uint8_t> flat(W * H, 60);
  for (int x = 0; x < 3; ++x)
    for (int y = 0; y < H; ++y) flat[x * H + y] = 90;  // 15 of the 50 pixels of the part: the 10 % level
  ASSERT_EQ(GetImageByAngle(flat.data(), W, H, 0, 0, 90, out.data(), 20, 10), 0);
  for (int i = 0; i < 20; ++i)
    for (int j = 0; j < 10; ++j) {
      // Source coordinates are truncated after adding one half: -0.5 still reads line 0.
      const int sx = int(i - 10 + 0.5), sy = int(j - 5 + 0.5);
      const bool inside = sx >= 0 && sy >= 0;
      EXPECT_EQ(out[i * 10 + j], inside ? flat[sx * H + sy] : 90) << i << "," << j;
    }
  // A centre far outside: nothing is read and the output is white.
  std::fill(out.begin(), out.end(), 7);
  EXPECT_EQ(GetImageByAngle(img.data(), W, H, -500, 40, 90, out.data(), 20, 10), -1);
  for (uint8_t v : out) EXPECT_EQ(v, 255);
  EXPECT_EQ(GetImageByAngle(img.data(), W, H, 50, 500, 45, out.data(), 20, 10), -1);
}

TEST(FillConvexHull, ClosesTheHullOfTheBoundary) {
  std::vector<uint8_t> m(10 * 10, 0);
  m[0] = m[9] = m[9 * 10] = 1;  // corners (0, 0), (0, 9) and (9, 0)
  FillConvexHull(m.data(), 10, 10, 1);
  for (int x = 0; x < 10; ++x)
    for (int y = 0; y < 10; ++y) {
      const bool inside = x + y <= 9;
      EXPECT_EQ(m[x * 10 + y], inside ? 1 : 0) << x << "," << y;
    }
  // An L of solid bars: its hull closes the corner between the bars' ends.
  std::vector<uint8_t> ell(10 * 10, 0);
  for (int x = 2; x <= 7; ++x)
    for (int y = 2; y <= 7; ++y)
      if (x <= 4 || y <= 4) ell[x * 10 + y] = 1;
  FillConvexHull(ell.data(), 10, 10, 1);
  EXPECT_EQ(ell[5 * 10 + 5], 1);
  EXPECT_EQ(ell[6 * 10 + 6], 0);
  // Two points, or points on one line, close nothing.
  std::vector<uint8_t> two(10 * 10, 0);
  two[0] = two[99] = 1;
  FillConvexHull(two.data(), 10, 10, 1);
  EXPECT_EQ(std::count(two.begin(), two.end(), 1), 2);
  std::vector<uint8_t> line(10 * 10, 0);
  for (int x = 0; x < 10; ++x) line[x * 10 + x] = 1;
  FillConvexHull(line.data(), 10, 10, 1);
  EXPECT_EQ(std::count(line.begin(), line.end(), 1), 10);
  // Values at or above v count as foreground and are kept.
  std::vector<uint8_t> ring(9 * 9, 0);
  for (int i = 0; i < 9; ++i) ring[i] = ring[8 * 9 + i] = ring[i * 9] = ring[i * 9 + 8] = 200;
  ring[4 * 9 + 4] = 250;
  FillConvexHull(ring.data(), 9, 9, 100);
  EXPECT_EQ(ring[4 * 9 + 4], 250);
  EXPECT_EQ(ring[2 * 9 + 3], 100);
}

// A single thumb is a dark area on a bright platen; its box sets the grade.
struct ThumbBoxCase {
  // Dark area. Along x the located box reaches the mask's window radius (5) past the area, plus
  // the margin of 5; along y the column walk stops at the first bright column, plus the margin.
  int lines, columns;
  int qty;
  int extentX, extentY;
};

TEST(SingleThumb, GradeAndLimitsFollowTheBox) {
  constexpr int W = 1300, H = 1200;
  const ThumbBoxCase cases[] = {
      {400, 300, 15, 419, 311}, {560, 420, 15, 579, 431}, {700, 500, 12, 719, 511},
      {700, 700, 9, 719, 711},  {1000, 400, 6, 950, 411}, {1000, 1000, 3, 950, 950},
      {250, 300, 1, 269, 311},  {580, 300, 15, 599, 311},   {581, 300, 12, 600, 311},
  };
  for (const ThumbBoxCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.lines) + " x " + std::to_string(c.columns));
    std::vector<uint8_t> img(size_t(W) * H);
    uint32_t state = 12345;
    const int x0 = 150, y0 = 100;
    for (int x = 0; x < W; ++x)
      for (int y = 0; y < H; ++y) {
        state = state * 1664525u + 1013904223u;
        const bool dark = x >= x0 && x < x0 + c.lines && y >= y0 && y < y0 + c.columns;
        img[size_t(x) * H + y] = uint8_t((dark ? 60 : 220) + int(state >> 29) - 4);
      }
    FingerInfo f[1] = {};
    char err[128] = "";
    // Live flag 1: the levels come from the grey statistics.
    const int n = SegmentFingerImage(img.data(), W, H, 11, 0, 0, W, H, 1, 1, f, err, sizeof err);
    EXPECT_EQ(n, 1) << err;
    EXPECT_EQ(f[0].Qty, c.qty);
    EXPECT_EQ(f[0].Height, c.extentX);
    EXPECT_EQ(f[0].Width, c.extentY);
    EXPECT_EQ(f[0].Corners[0], x0 - 10);  // the x limit keeps the left edge
    EXPECT_EQ(f[0].Corners[6] - f[0].Corners[0], c.extentX);
    EXPECT_EQ(f[0].Finger, 1);
    EXPECT_EQ(f[0].Measure, 90);
  }
  // Nothing dark: not found.
  std::vector<uint8_t> white(size_t(W) * H, 220);
  FingerInfo f[1] = {};
  char err[128] = "";
  EXPECT_EQ(SegmentFingerImage(white.data(), W, H, 12, 0, 0, W, H, 1, 1, f, err, sizeof err), 0);
  EXPECT_EQ(f[0].Qty, 0);
}

}  // namespace

// Side of a hand of unknown side once the right-hand reading alone did not settle it. Flags: 1 and 4
// are the mild problems, 2 marks a reading whose fingers lie the wrong way round, 8 is the flag
// whose absence on either reading leaves the side open.
TEST(HandSideDecision, RulesInOrder) {
  struct Case {
    const char* name;
    int r13, a13, r14, a14;
    int side, reported, flags;  // side -1: not checked
  };
  const Case cases[] = {
      {"left clean, right leaning past 100", 5, 101, 0, 95, 14, 14, 0},
      {"both clean, right at 90", 0, 90, 0, 95, 13, 0, 0},
      {"both clean, right at 91", 0, 91, 0, 95, 14, 0, 0},
      {"both clean, right at 100", 0, 100, 0, 95, 14, 0, 0},
      {"both clean, right at 101", 0, 101, 0, 95, 14, 14, 0},
      {"right clean", 0, 95, 2, 95, 13, 13, 0},
      {"left clean, right at 100", 2, 100, 0, 95, 14, 14, 0},
      {"right only flag 1", 1, 95, 1, 95, 13, 13, 1},
      {"left only flag 1 wins over a mild right", 4, 95, 1, 95, 14, 14, 1},
      {"right mild flags only", 5, 95, 2, 95, 13, 13, 5},
      {"left mild flags only", 2, 95, 5, 95, 14, 14, 5},
      {"right lacks 8: undecided", 2, 95, 10, 95, -1, 0, 2},
      {"left lacks 8: undecided", 10, 95, 2, 95, -1, 0, 10},
      {"left has 2, right not", 8, 95, 10, 95, 13, 13, 8},
      {"right has 2, left not", 10, 95, 8, 95, 14, 14, 8},
      {"neither has 2, right below 80", 24, 79, 40, 95, 13, 13, 24},
      {"both have 2, right below 80", 26, 79, 74, 95, 13, 0, 26},
      {"neither has 2, left above 100", 24, 80, 40, 101, 14, 14, 40},
      {"both have 2, left above 100", 26, 80, 74, 101, 14, 0, 74},
      {"neither leans, right at 90", 24, 90, 40, 100, 13, 0, 24},
      {"neither leans, right at 91", 24, 91, 40, 100, 14, 0, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HandSideChoice got = DecideHandSide(c.r13, c.a13, c.r14, c.a14);
    if (c.side >= 0) {
      EXPECT_EQ(got.side, c.side);
    }
    EXPECT_EQ(got.reported, c.reported);
    EXPECT_EQ(got.flags, c.flags);
  }
}

// The narrower crops along x tried when the whole map reports problems, and which attempt is kept.
TEST(HandSideRetries, CropsAndTheKeptAttempt) {
  struct CropCase {
    int lines;
    int count;
    HandCrop first, second;
  };
  const CropCase crops[] = {
      {87, 1, {9, 78}, {}},       {125, 1, {13, 112}, {}},   {126, 1, {14, 112}, {}},
      {137, 1, {25, 112}, {}},    {138, 2, {26, 112}, {13, 112}}, {312, 2, {200, 112}, {100, 112}},
  };
  for (const CropCase& c : crops) {
    SCOPED_TRACE(c.lines);
    HandCrop got[2];
    ASSERT_EQ(HandSideRetryCrops(c.lines, got), c.count);
    EXPECT_EQ(got[0].x0, c.first.x0);
    EXPECT_EQ(got[0].lines, c.first.lines);
    if (c.count == 2) {
      EXPECT_EQ(got[1].x0, c.second.x0);
      EXPECT_EQ(got[1].lines, c.second.lines);
    }
  }
  // The earliest attempt free of the flags in 30, then 23, 27 and 29; else the whole map.
  struct KeepCase {
    std::vector<int> flags;
    int kept;
  };
  const KeepCase keeps[] = {
      {{0}, 0},          {{2, 0, 0}, 1},  {{2, 1, 0}, 1},   {{2, 4, 0}, 2},   {{2, 4, 8}, 2},
      {{2, 8, 4}, 1},    {{2, 4, 16}, 1}, {{16, 2, 4}, 2},  {{6, 2}, 1},      {{18, 6}, 0},
      {{63, 63, 63}, 0}, {{63, 29}, 0},   {{63, 31, 32}, 2},
  };
  for (const KeepCase& c : keeps) {
    SCOPED_TRACE(::testing::PrintToString(c.flags));
    EXPECT_EQ(KeepHandAttempt(c.flags.data(), static_cast<int>(c.flags.size())), c.kept);
  }
}

// Mode 1 takes the threshold of the plainly reduced map over all its columns, skipping the first
// tenth of its lines: a black band there must not pull the threshold down.
TEST(SegmentHand, PlainReductionThresholdSkipsTheFirstTenthOfTheLines) {
  constexpr int kWidth = 1600, kHeight = 1500;  // map: 200 lines of 187
  // A platen of levels 200..220 across the bytes, black in the first 160 lines.
  std::vector<uint8_t> img(size_t(kWidth) * kHeight);
  for (int x = 0; x < kWidth; ++x)
    for (int y = 0; y < kHeight; ++y) img[size_t(x) * kHeight + y] = x < 160 ? 0 : uint8_t(200 + (y / 8) % 21);
  HandOutput out;
  FlatSegmentParams params{};
  char err[128] = "";
  ASSERT_GE(SegmentHand(img.data(), kWidth, kHeight, 0, 13, 15, 1, &out, &params, err, sizeof err), 0) << err;
  std::vector<uint8_t> map(size_t(200) * 187);
  ASSERT_EQ(ReduceImageByBlocks(img.data(), kWidth, kHeight, 0, 0, kWidth, kHeight, map.data(), 8), 0);
  const int expected = BlockHistogramThreshold(map.data(), 187, 20, 0, 180, 187);
  EXPECT_EQ(out.Threshold, expected);
  EXPECT_EQ(params.Threshold, expected);
  EXPECT_EQ(params.Mode, 1);
  // Two lines of the black band would change it.
  EXPECT_NE(expected, BlockHistogramThreshold(map.data(), 187, 18, 0, 182, 187));
}

// Every pixel at least r + 1 from the border is measured (a textured image gives 0 there); the
// border keeps the mask's start value 1.
TEST(BackgroundMask, MeasuresEveryPixelAtLeastRPlusOneInside) {
  constexpr int kWidth = 15, kHeight = 13, kRadius = 2;
  std::vector<uint8_t> img(size_t(kWidth) * kHeight), mask(img.size(), 7);
  for (int x = 0; x < kWidth; ++x)
    for (int y = 0; y < kHeight; ++y) img[size_t(x) * kHeight + y] = (x + y) % 2 ? 200 : 10;
  AreaLevels levels;
  levels.Dark = 10;
  levels.Bright = 200;
  BackgroundMask(img.data(), kWidth, kHeight, &levels, mask.data(), kRadius);
  for (int x = 0; x < kWidth; ++x)
    for (int y = 0; y < kHeight; ++y) {
      const bool inside = x >= kRadius + 1 && x <= kWidth - kRadius - 2 && y >= kRadius + 1 && y <= kHeight - kRadius - 2;
      EXPECT_EQ(mask[size_t(x) * kHeight + y], inside ? 0 : 1) << x << "," << y;
    }
  // A flat platen with one dark line at byte 1: only the first window (byte r + 1) reaches it; the
  // line leaves the running window at the next step.
  std::fill(img.begin(), img.end(), uint8_t{200});
  for (int x = 0; x < kWidth; ++x) img[size_t(x) * kHeight + 1] = 10;
  BackgroundMask(img.data(), kWidth, kHeight, &levels, mask.data(), kRadius);
  for (int x = kRadius + 1; x <= kWidth - kRadius - 2; ++x) {
    EXPECT_EQ(mask[size_t(x) * kHeight + kRadius + 1], 0) << x;
    for (int y = kRadius + 2; y <= kHeight - kRadius - 2; ++y) EXPECT_EQ(mask[size_t(x) * kHeight + y], 1) << x << "," << y;
  }
}
