// Helpers of the finger crop-window placement on hand-made images and block maps: the block-mean
// threshold (the valley below the highest peak above the mean, the narrow-histogram refusal) and
// the densest crop window (search near the box or over the whole map, frame lines left out, the
// box kept inside the map).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "CropWindow.h"

namespace {

// An image whose 10 x 10 blocks inside the area (top 7, left 13) take the given levels in turn;
// everything outside the area's full blocks is 0.
struct BlockImage {
  int16_t size[2] = {140, 125};
  std::vector<uint8_t> px = std::vector<uint8_t>(size_t(140) * 125, 0);
  void Fill(const std::vector<std::pair<int, int>>& levels) {  // {count, level}
    int k = 0;
    for (const auto& [count, level] : levels)
      for (int i = 0; i < count; ++i, ++k) {
        const int br = k / 10, bc = k % 10;
        for (int y = 0; y < 10; ++y)
          for (int x = 0; x < 10; ++x) px[size_t(7 + 10 * br + y) * 140 + 13 + 10 * bc + x] = uint8_t(level);
      }
  }
};

TEST(BlockMeanThreshold, ValleyBelowThePeakAboveTheMean) {
  BlockImage img;
  // Mean 150 (an occupied level), the levels up to the peak of 30 at 156 all occupied, the
  // fewest at 155.
  img.Fill({{28, 141}, {1, 147}, {10, 150}, {9, 151}, {8, 152}, {7, 153}, {6, 154}, {1, 155}, {30, 156}});
  std::vector<uint8_t> means(100, 77);
  // 105 x 107 pixels: only the full blocks count, the partial ones (all 0) are not read.
  EXPECT_EQ(BlockMeanThreshold(img.size, img.px.data(), 7, 13, 105, 107, 10, means.data()), 155);
  EXPECT_EQ(means[0], 141);
  EXPECT_EQ(means[29], 150);
  EXPECT_EQ(means[99], 156);
  // An empty level is the lowest count: here the first level above the mean, 151, before the
  // peak of 35 at 202.
  BlockImage gap;
  gap.Fill({{40, 102}, {20, 150}, {5, 170}, {35, 202}});
  EXPECT_EQ(BlockMeanThreshold(gap.size, gap.px.data(), 7, 13, 100, 100, 10, means.data()), 151);
  // An empty mean level stays the threshold.
  BlockImage two;
  two.Fill({{50, 100}, {50, 200}});
  EXPECT_EQ(BlockMeanThreshold(two.size, two.px.data(), 7, 13, 100, 100, 10, means.data()), 150);
}

TEST(BlockMeanThreshold, NarrowHistogramsAndBadArguments) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, int>> levels;
    const char* message;  // null: accepted
  };
  const Case cases[] = {
      {"9 levels apart", {{50, 100}, {50, 109}}, "ERROR: The histogram is too narrow !!! (100, 109)\n"},
      {"10 levels apart", {{50, 100}, {50, 110}}, nullptr},
      {"level 255 is not counted", {{50, 100}, {20, 105}, {30, 255}}, "ERROR: The histogram is too narrow !!! (100, 105)\n"},
  };
  std::vector<uint8_t> means(100);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BlockImage img;
    img.Fill(c.levels);
    testing::internal::CaptureStdout();
    const int t = BlockMeanThreshold(img.size, img.px.data(), 7, 13, 100, 100, 10, means.data());
    const std::string out = testing::internal::GetCapturedStdout();
    if (c.message != nullptr) {
      EXPECT_EQ(t, -1);
      EXPECT_EQ(out, c.message);
    } else {
      EXPECT_GE(t, 100);
      EXPECT_EQ(out, "");
    }
  }
  BlockImage img;
  EXPECT_EQ(BlockMeanThreshold(img.size, nullptr, 0, 0, 100, 100, 10, means.data()), -1);
  EXPECT_EQ(BlockMeanThreshold(img.size, img.px.data(), 0, 0, 100, 100, 0, means.data()), -1);
  EXPECT_EQ(BlockMeanThreshold(img.size, img.px.data(), 30, 0, 100, 100, 10, means.data()), -1);
  EXPECT_EQ(BlockMeanThreshold(img.size, img.px.data(), 0, 41, 100, 100, 10, means.data()), -1);
}

struct BlockMap {
  int rows, cols;
  std::vector<uint8_t> px;
  BlockMap(int r, int c) : rows(r), cols(c), px(size_t(r) * c, 0) {}
  void Rect(int r0, int c0, int h, int w, uint8_t v = 1) {
    for (int r = r0; r < r0 + h; ++r)
      for (int c = c0; c < c0 + w; ++c) px[size_t(r) * cols + c] = v;
  }
};

TEST(DensestCropWindow, SearchNearTheBoxOrOverTheWholeMap) {
  struct Case {
    const char* name;
    int box[4];   // min row, max row, min col, max col
    int want[4];
  };
  BlockMap m(40, 50);
  m.Rect(20, 30, 10, 10);       // the densest part
  m.Rect(18, 8, 5, 5, 40);      // a small dark patch of another mark
  m.Rect(0, 0, 6, 6);           // a patch in the corner
  const Case cases[] = {
      // A single block searches the whole map: the first 9 x 9 window inside the dense part.
      {"whole map", {5, 5, 7, 9}, {19, 28, 29, 38}},
      // Near a box at rows 20..24, columns 5..9: rows 15..29 and columns 0..14 only; the first
      // window there that holds the whole patch has its top-left at (15, 4).
      {"near the box", {20, 24, 5, 9}, {14, 23, 3, 12}},
      // Near the corner the box is shifted back inside the map.
      {"corner", {0, 4, 0, 4}, {0, 9, 0, 9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int b[4] = {c.box[0], c.box[1], c.box[2], c.box[3]};
    EXPECT_EQ(DensestCropWindow(m.px.data(), m.rows, m.cols, 10, 10, &b[0], &b[1], &b[2], &b[3]), 0);
    EXPECT_EQ(b[0], c.want[0]);
    EXPECT_EQ(b[1], c.want[1]);
    EXPECT_EQ(b[2], c.want[2]);
    EXPECT_EQ(b[3], c.want[3]);
  }
}

TEST(DensestCropWindow, FrameLinesAreLeftOut) {
  // Two dense rows at the top and a dense last column outweigh a blob of 20 blocks unless they
  // are left out.
  BlockMap m(40, 50);
  m.Rect(0, 0, 2, 50);
  m.Rect(0, 49, 40, 1);
  m.Rect(25, 20, 4, 5);
  int b[4] = {3, 3, 3, 3};
  DensestCropWindow(m.px.data(), m.rows, m.cols, 10, 10, &b[0], &b[1], &b[2], &b[3]);
  // The first window holding the whole blob has its top-left at (20, 16).
  EXPECT_EQ(b[0], 20 + 4 - 5);
  EXPECT_EQ(b[2], 16 + 4 - 5);
  EXPECT_EQ(b[1] - b[0], 9);
  EXPECT_EQ(b[3] - b[2], 9);
}

// Stripes of period 10 across the columns (dark ridge centres at columns 5, 15, 25, ...), or across
// the rows when `acrossRows`.
std::vector<uint8_t> Stripes(int width, int height, bool acrossRows) {
  std::vector<uint8_t> px(size_t(width) * height);
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c)
      px[size_t(r) * width + c] =
          uint8_t(128 + 60 * std::cos(2 * 3.14159265358979 * (acrossRows ? r : c) / 10.0));
  return px;
}

struct Line {
  int columns[1000] = {}, rows[1000] = {}, flags[1000] = {}, directions[1000] = {};
  int points = -1;
  int Count(const std::vector<uint8_t>& img, int width, int height, int c0, int r0, int c1, int r1) {
    const int16_t size[2] = {int16_t(width), int16_t(height)};
    columns[0] = c0, rows[0] = r0, columns[1] = c1, rows[1] = r1;
    return LineRidgeCount(img.data(), size, columns, rows, flags, directions, &points);
  }
};

TEST(LineRidgeCount, CountsTheRidgesALineCrosses) {
  const std::vector<uint8_t> across = Stripes(200, 100, false);
  Line line;
  // From column 20 (between ridges) to 180: ridges at 25 .. 175 are crossed, but the first ridge
  // of a line that starts off a ridge is not counted.
  EXPECT_EQ(line.Count(across, 200, 100, 20, 50, 180, 50), 15);
  EXPECT_EQ(line.points, 160);
  EXPECT_EQ(line.columns[0], 20);
  EXPECT_EQ(line.columns[159], 179);
  EXPECT_EQ(line.rows[80], 50);
  EXPECT_EQ(line.directions[40], 90);  // the ridges run down the rows
  EXPECT_EQ(line.flags[6], 1);         // column 26 lies on a ridge
  EXPECT_EQ(line.flags[10], 0);        // column 30 between two
  // Starting on a ridge (the second point, column 24) counts it at once.
  EXPECT_EQ(line.Count(across, 200, 100, 23, 50, 180, 50), 16);
  // The second point (column 27) ends its ridge at once: it is counted, but a run of one point
  // does not let the next ridge count.
  EXPECT_EQ(line.Count(across, 200, 100, 26, 50, 180, 50), 15);
  // A checkerboard has no direction: no point is a ridge.
  std::vector<uint8_t> board(size_t(100) * 100);
  for (int r = 0; r < 100; ++r)
    for (int c = 0; c < 100; ++c) board[size_t(r) * 100 + c] = (r + c) % 2 ? 200 : 50;
  EXPECT_EQ(line.Count(board, 100, 100, 10, 50, 90, 50), 0);
  EXPECT_EQ(line.points, 80);
  for (int i = 0; i < 80; ++i) EXPECT_EQ(line.flags[i], 0) << i;
  // The same stripes along the rows, crossed by a vertical line stepped along the rows, and by a
  // slanted one; a line along the ridges crosses none.
  const std::vector<uint8_t> down = Stripes(100, 200, true);
  EXPECT_EQ(line.Count(down, 100, 200, 50, 20, 50, 180), 15);
  EXPECT_EQ(line.directions[40], 0);
  EXPECT_EQ(line.Count(down, 100, 200, 40, 20, 60, 180), 15);
  EXPECT_EQ(line.columns[80], 50);
  EXPECT_EQ(line.Count(down, 100, 200, 10, 40, 90, 40), 0);
}

TEST(RidgeFlow, DirectionOfStripesAndFlatWindows) {
  // Ridges along (cos phi, sin phi) in (column, row): the direction is phi on the scale of 252
  // units for 180 degrees, counted from the rows toward increasing rows.
  constexpr int kSize = 41;
  const double pi = 3.14159265358979;
  for (const int phi : {0, 20, 30, 45, 60, 90, 120, 135, 160}) {
    SCOPED_TRACE(phi);
    std::vector<uint8_t> img(size_t(kSize) * kSize);
    const double a = phi * pi / 180;
    for (int r = 0; r < kSize; ++r)
      for (int c = 0; c < kSize; ++c)
        img[size_t(r) * kSize + c] = uint8_t(128 + 60 * std::cos(2 * pi * (r * std::cos(a) - c * std::sin(a)) / 9.0));
    int value = -1, direction = -1;
    RidgeFlow(img.data(), kSize, 20, 20, &value, &direction);
    const double want = phi * 252.0 / 180;
    double diff = std::fabs(direction - want);
    diff = std::min(diff, 252 - diff);
    EXPECT_LE(diff, 5) << direction;
    // Along an axis one sum is 0; along a diagonal the two axis sums are equal: exact directions.
    if (phi % 45 == 0) {
      EXPECT_EQ(direction, phi * 252 / 180);
    }
    EXPECT_LT(value, 160);  // one pronounced direction
  }
  // A flat window and one of weak texture have no direction.
  std::vector<uint8_t> flat(size_t(kSize) * kSize, 120);
  int value = 0, direction = 0;
  RidgeFlow(flat.data(), kSize, 20, 20, &value, &direction);
  EXPECT_EQ(value, 255);
  EXPECT_EQ(direction, 254);
  for (size_t i = 0; i < flat.size(); i += 7) flat[i] = 121;
  RidgeFlow(flat.data(), kSize, 20, 20, &value, &direction);
  EXPECT_EQ(value, 255);
  EXPECT_EQ(direction, 254);
}

TEST(LineRidgeCount, ShortLongAndBorderLines) {
  const std::vector<uint8_t> wide = Stripes(1100, 40, false);
  Line line;
  // 10 points: too few to count.
  EXPECT_EQ(line.Count(wide, 1100, 40, 20, 20, 30, 20), 0);
  EXPECT_EQ(line.points, 10);
  // 1020 points: too many.
  EXPECT_EQ(line.Count(wide, 1100, 40, 20, 20, 1040, 20), -1);
  // The points within 9 of the border are skipped: columns 9 .. 1090 remain of 0 .. 1099.
  EXPECT_EQ(line.Count(wide, 1100, 40, 0, 20, 30, 20), line.Count(wide, 1100, 40, 9, 20, 30, 20));
  EXPECT_EQ(line.points, 21);
  EXPECT_EQ(line.Count(wide, 1100, 40, 1080, 20, 1100, 20), 0);
  EXPECT_EQ(line.points, 11);
  // Row 31 of 40 is 9 from the bottom: skipped; row 30 is kept.
  EXPECT_EQ(line.Count(wide, 1100, 40, 20, 31, 200, 31), 0);
  EXPECT_EQ(line.points, 0);
  line.Count(wide, 1100, 40, 20, 30, 200, 30);
  EXPECT_EQ(line.points, 180);
  // Rows too near the border leave nothing.
  EXPECT_EQ(line.Count(wide, 1100, 40, 20, 8, 200, 8), 0);
  EXPECT_EQ(line.points, 0);
}

TEST(DensestCropWindow, WhichLinesAreFrameLines) {
  // A blob of 8 blocks (rows 25..26, columns 20..23) against one dense line: a line that is not
  // a frame line gives a 9 x 9 window 9 blocks and wins; a frame line is left out.
  struct Case {
    const char* name;
    std::function<void(BlockMap&)> draw;
    int top, left;  // the box found
  };
  const Case cases[] = {
      {"first row full: frame", [](BlockMap& m) { m.Rect(0, 0, 1, 50); }, 17, 14},
      {"row 10 full: not among the first eight", [](BlockMap& m) { m.Rect(10, 0, 1, 50); }, 1, 0},
      {"first column full: frame", [](BlockMap& m) { m.Rect(0, 0, 40, 1); }, 17, 14},
      {"first column three quarters full: no frame", [](BlockMap& m) { m.Rect(0, 0, 30, 1); }, 0, 0},
      {"first column 31 of 40: frame", [](BlockMap& m) { m.Rect(0, 0, 31, 1); }, 17, 14},
      {"last column full: frame", [](BlockMap& m) { m.Rect(0, 49, 40, 1); }, 17, 14},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BlockMap m(40, 50);
    m.Rect(25, 20, 2, 4);
    c.draw(m);
    int b[4] = {3, 3, 3, 3};
    DensestCropWindow(m.px.data(), m.rows, m.cols, 10, 10, &b[0], &b[1], &b[2], &b[3]);
    EXPECT_EQ(b[0], c.top);
    EXPECT_EQ(b[2], c.left);
  }
  // The column counts slide down the rows in every column, the first included: a blob of 8 at
  // the left edge beats one of 7.
  BlockMap m(40, 50);
  m.Rect(25, 0, 2, 4);
  m.Rect(30, 30, 2, 4);
  m.px[size_t(31) * 50 + 33] = 0;
  int b[4] = {3, 3, 3, 3};
  DensestCropWindow(m.px.data(), m.rows, m.cols, 10, 10, &b[0], &b[1], &b[2], &b[3]);
  EXPECT_EQ(b[0], 17);
  EXPECT_EQ(b[2], 0);
}

}  // namespace
