// Region, reduction and threshold helpers of the slap segmentation on small hand-made maps.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "SlapSegmentation.h"

namespace {

// A label map written as text: one string per line, '.' is 0, digits are their value, '#' is 1.
struct Map {
  int lines = 0, length = 0;
  std::vector<uint8_t> px;
  explicit Map(std::initializer_list<const char*> rows) {
    for (const char* r : rows) {
      length = static_cast<int>(std::strlen(r));
      for (int i = 0; i < length; ++i) px.push_back(r[i] == '.' ? 0 : r[i] == '#' ? 1 : uint8_t(r[i] - '0'));
      ++lines;
    }
  }
  Map(int l, int w, uint8_t v) : lines(l), length(w), px(static_cast<size_t>(l) * w, v) {}
  uint8_t& at(int x, int y) { return px[static_cast<size_t>(x) * length + y]; }
  int countOf(uint8_t v) const { return static_cast<int>(std::count(px.begin(), px.end(), v)); }
};

TEST(ReduceImageByBlocks, AveragesFourSamplesPerBlock) {
  // 8 x 12 image, factor 4: samples at offsets 1 and 3 of each block.
  Map img(8, 12, 0);
  for (int x = 0; x < 8; ++x)
    for (int y = 0; y < 12; ++y) img.at(x, y) = static_cast<uint8_t>(10 * x + y);
  uint8_t out[6];
  std::memset(out, 0xEE, sizeof out);
  ASSERT_EQ(ReduceImageByBlocks(img.px.data(), 8, 12, 0, 0, 8, 12, out, 4), 0);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) {
      const int x = 4 * i, y = 4 * j;
      const int sum = img.at(x + 1, y + 1) + img.at(x + 1, y + 3) + img.at(x + 3, y + 1) + img.at(x + 3, y + 3);
      EXPECT_EQ(out[i * 3 + j], (sum + 2) >> 2);
    }
  // A crop: one block at line 4, column 8.
  uint8_t one = 0;
  ASSERT_EQ(ReduceImageByBlocks(img.px.data(), 8, 12, 4, 8, 4, 4, &one, 4), 0);
  EXPECT_EQ(one, out[5]);
  // ReduceImageBy8 takes {line length, line count}.
  const uint16_t sizePair[2] = {12, 8};
  uint8_t by8 = 0;
  ASSERT_EQ(ReduceImageBy8(sizePair, img.px.data(), 0, 0, 8, 8, &by8), 0);
  EXPECT_EQ(by8, (img.at(2, 2) + img.at(2, 6) + img.at(6, 2) + img.at(6, 6) + 2) >> 2);
}

TEST(ReduceImageByBlocks, RejectsWindowsOutsideTheImageAndBadFactors) {
  Map img(16, 16, 7);
  struct Case {
    int x0, y0, w, h, factor, result;
  } cases[] = {
      {-1, 0, 8, 8, 2, -1}, {0, -1, 8, 8, 2, -1}, {9, 0, 8, 8, 2, -1}, {0, 9, 8, 8, 2, -1},
      {0, 0, 16, 16, 1, -1}, {0, 0, 16, 16, 17, -1}, {0, 0, 16, 16, 16, 0}, {0, 0, 3, 16, 4, 0},
  };
  for (const Case& c : cases) {
    uint8_t out[64];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(ReduceImageByBlocks(img.px.data(), 16, 16, c.x0, c.y0, c.w, c.h, out, c.factor), c.result);
    if (c.result != 0 || c.w < c.factor) {
      EXPECT_EQ(out[0], 0xEE);  // nothing written
    }
  }
}

TEST(BlockHistogramThreshold, LevelsAndTwoClasses) {
  Map flat(10, 10, 77);
  EXPECT_EQ(BlockHistogramThreshold(flat.px.data(), 10, 0, 0, 10, 10), 77);
  Map two(10, 10, 100);
  for (int i = 0; i < 50; ++i) two.px[i] = 101;
  EXPECT_EQ(BlockHistogramThreshold(two.px.data(), 10, 0, 0, 10, 10), 100);
  // Dark fingers at 60 on a platen at 200, with a little spread: the threshold separates them.
  Map img(20, 20, 200);
  for (int x = 0; x < 20; ++x)
    for (int y = 0; y < 20; ++y) img.at(x, y) = static_cast<uint8_t>((y < 8 ? 60 : 200) + (x + y) % 7 - 3);
  const int t = BlockHistogramThreshold(img.px.data(), 20, 0, 0, 20, 20);
  EXPECT_GE(t, 63);
  EXPECT_LT(t, 197);
  // Only the window is read: a copy of the window gives the same threshold.
  Map part(10, 10, 0);
  for (int x = 0; x < 10; ++x)
    for (int y = 0; y < 10; ++y) part.at(x, y) = img.at(5 + x, 3 + y);
  EXPECT_EQ(BlockHistogramThreshold(img.px.data(), 20, 5, 3, 10, 10),
            BlockHistogramThreshold(part.px.data(), 10, 0, 0, 10, 10));
  EXPECT_EQ(BlockHistogramThreshold(img.px.data(), 20, 0, 0, 0, 10), 0);  // an empty window
}

TEST(FillRegion, FourConnectedWithBoxSumsAndCount) {
  Map m({
      "##..#",
      ".#..#",
      ".###.",
      "....#",
  });
  m.at(0, 0) = 9;
  int minX = 0, maxX = 0, minY = 0, maxY = 0, count = 1;
  int64_t sumX = 0, sumY = 0;
  EXPECT_EQ(FillRegion(m.px.data(), 5, 0, 0, 0, 4, 0, 5, 1, 9, &minX, &maxX, &minY, &maxY, &sumX, &sumY, &count),
            0);
  // (0,0) (0,1) (1,1) (2,1) (2,2) (2,3); the diagonal neighbours (1,4) and (3,4) stay apart.
  EXPECT_EQ(count, 6);
  EXPECT_EQ(m.countOf(9), 6);
  EXPECT_EQ(m.at(1, 4), 1);
  EXPECT_EQ(m.at(3, 4), 1);
  EXPECT_EQ(minX, 0);
  EXPECT_EQ(maxX, 2);
  EXPECT_EQ(minY, 0);
  EXPECT_EQ(maxY, 3);
  EXPECT_EQ(sumX, 0 + 0 + 1 + 2 + 2 + 2);
  EXPECT_EQ(sumY, 0 + 1 + 1 + 1 + 2 + 3);
}

TEST(FillRegion, EightConnectedJoinsCornersInsideTheWindow) {
  Map m({
      "##..#",
      ".#..#",
      ".###.",
      "....#",
  });
  m.at(0, 0) = 9;
  int minX = 0, maxX = 0, minY = 0, maxY = 0, count = 1;
  int64_t sumX = 0, sumY = 0;
  EXPECT_EQ(FillRegion8(m.px.data(), 5, 0, 0, 0, 4, 0, 5, 1, 9, &minX, &maxX, &minY, &maxY, &sumX, &sumY, &count),
            0);
  // The 4-connected area and, across the corners of (2,3), (1,4), (0,4) and (3,4).
  EXPECT_EQ(count, 9);
  EXPECT_EQ(m.countOf(9), 9);
  EXPECT_EQ(maxX, 3);
  EXPECT_EQ(maxY, 4);
  EXPECT_EQ(sumX, 7 + 1 + 0 + 3);
  EXPECT_EQ(sumY, 8 + 4 + 4 + 4);
  // The search beyond a run's ends stays inside the window: column 4 is outside it here.
  Map n({
      "##..#",
      ".#..#",
      ".###.",
      "....#",
  });
  n.at(0, 0) = 9;
  minX = maxX = minY = maxY = 0, count = 1, sumX = sumY = 0;
  FillRegion8(n.px.data(), 5, 0, 0, 0, 4, 0, 4, 1, 9, &minX, &maxX, &minY, &maxY, &sumX, &sumY, &count);
  EXPECT_EQ(count, 6);
  EXPECT_EQ(maxY, 3);
}

TEST(FillRegion, SumsOfAHugeRegionDoNotOverflow) {
  // 2000 lines of 1500: the line sum is 1500 x 1999 x 2000 / 2, beyond 32 bits.
  Map m(2000, 1500, 1);
  m.at(0, 0) = 2;
  int minX = 0, maxX = 0, minY = 0, maxY = 0, count = 1;
  int64_t sumX = 0, sumY = 0;
  FillRegion(m.px.data(), 1500, 0, 0, 0, 2000, 0, 1500, 1, 2, &minX, &maxX, &minY, &maxY, &sumX, &sumY, &count);
  EXPECT_EQ(count, 3000000);
  EXPECT_EQ(sumX, int64_t{1500} * 1999 * 2000 / 2);
  EXPECT_EQ(sumY, int64_t{2000} * 1499 * 1500 / 2);
}

TEST(FillRegion, StaysInsideItsWindowAndTheImage) {
  Map m(6, 6, 1);
  m.at(2, 2) = 9;
  int minX = 2, maxX = 2, minY = 2, maxY = 2, count = 1;
  int64_t sumX = 2, sumY = 2;
  // Window lines 1..3, columns 2..99: the columns are limited to the line length.
  FillRegion(m.px.data(), 6, 2, 2, 1, 4, 2, 100, 1, 9, &minX, &maxX, &minY, &maxY, &sumX, &sumY, &count);
  EXPECT_EQ(count, 12);
  EXPECT_EQ(m.countOf(9), 12);
  EXPECT_EQ(minX, 1);
  EXPECT_EQ(maxX, 3);
  EXPECT_EQ(minY, 2);
  EXPECT_EQ(maxY, 5);
  // A seed outside the window changes nothing.
  Map n(4, 4, 1);
  int c2 = 1, a = 0, b = 0, c = 0, d = 0;
  int64_t e = 0, f = 0;
  FillRegion(n.px.data(), 4, 3, 3, 0, 2, 0, 2, 1, 9, &a, &b, &c, &d, &e, &f, &c2);
  EXPECT_EQ(n.countOf(9), 0);
  EXPECT_EQ(c2, 1);
}

TEST(FillRegion, LargeRegionNeedsNoDeepRecursion) {
  // A serpentine one pixel wide covers a 301 x 301 map: the fill visits it span by span.
  Map m(301, 301, 0);
  for (int x = 0; x < 301; x += 2)
    for (int y = 0; y < 301; ++y) m.at(x, y) = 1;
  for (int x = 1; x < 301; x += 2) m.at(x, (x / 2) % 2 == 0 ? 300 : 0) = 1;
  const int total = m.countOf(1);
  m.at(0, 0) = 2;
  int minX = 0, maxX = 0, minY = 0, maxY = 0, count = 1;
  int64_t sumX = 0, sumY = 0;
  FillRegion(m.px.data(), 301, 0, 0, 0, 301, 0, 301, 1, 2, &minX, &maxX, &minY, &maxY, &sumX, &sumY, &count);
  EXPECT_EQ(count, total);
  EXPECT_EQ(maxX, 300);
}

TEST(RegionOrientation, AnglesAndElongation) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, int>> pixels;
    int angle;
    int elongationMax;
  };
  auto line = [](int dx, int dy) {
    std::vector<std::pair<int, int>> p;
    for (int t = -10; t <= 10; ++t) p.emplace_back(20 + t * dx, 20 + t * dy);
    return p;
  };
  std::vector<std::pair<int, int>> disc;
  for (int x = -8; x <= 8; ++x)
    for (int y = -8; y <= 8; ++y)
      if (x * x + y * y <= 64) disc.emplace_back(20 + x, 20 + y);
  // Degrees come from the factor 180 / 3.1416, which puts exact multiples of 45 one degree off
  // towards 90.
  const Case cases[] = {
      {"along the lines", line(1, 0), 90, 0},
      {"along the columns", line(0, 1), 1, 0},
      {"diagonal", line(1, 1), 46, 0},
      {"anti-diagonal", line(1, -1), 134, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Map m(41, 41, 0);
    for (auto [x, y] : c.pixels) m.at(x, y) = 7;
    int elongation = -1;
    EXPECT_EQ(RegionOrientation(m.px.data(), 41, 0, 40, 0, 40, 20, 20, 7, 8, &elongation), c.angle);
    EXPECT_LE(elongation, c.elongationMax);
    EXPECT_EQ(m.countOf(7), 0);
    EXPECT_EQ(m.countOf(8), static_cast<int>(c.pixels.size()));
  }
  Map m(41, 41, 0);
  for (auto [x, y] : disc) m.at(x, y) = 7;
  int elongation = -1;
  EXPECT_EQ(RegionOrientation(m.px.data(), 41, 0, 40, 0, 40, 20, 20, 7, 8, &elongation), 90);
  EXPECT_EQ(elongation, 100);
  // An upright ellipse twice as long as wide, symmetric about its centre (no cross moment): its
  // elongation follows from the moments (about 1/4), not that of a round region.
  Map e(41, 41, 0);
  for (int x = -16; x <= 16; ++x)
    for (int y = -8; y <= 8; ++y)
      if (x * x * 4 + y * y * 16 <= 1024) e.at(20 + x, 20 + y) = 7;
  EXPECT_EQ(RegionOrientation(e.px.data(), 41, 0, 40, 0, 40, 20, 20, 7, 8, &elongation), 90);
  EXPECT_NEAR(elongation, 25, 3);
}

TEST(TrimRegionEdges, PeelsThinEdgesAndKeepsTheSumsRight) {
  // A 20 x 12 block with a thin spur on its low-column side and a ragged last line.
  Map m(24, 20, 0);
  for (int x = 2; x < 22; ++x)
    for (int y = 4; y < 16; ++y) m.at(x, y) = 128;
  m.at(10, 3) = m.at(10, 2) = m.at(10, 1) = 128;  // spur
  m.at(22, 6) = 128;                             // ragged edge
  int minX = 2, maxX = 22, minY = 1, maxY = 15, count = 0;
  int64_t sumX = 0, sumY = 0;
  for (int x = 0; x < 24; ++x)
    for (int y = 0; y < 20; ++y)
      if (m.at(x, y) == 128) {
        sumX += x;
        sumY += y;
        ++count;
      }
  TrimRegionEdges(m.px.data(), 20, 128, 4, &minX, &maxX, &minY, &maxY, &sumX, &sumY, &count);
  // The spur columns and the ragged line go, and so does the first full column and line of each
  // side, where peeling stops.
  EXPECT_EQ(minY, 5);
  EXPECT_EQ(maxY, 14);
  EXPECT_EQ(minX, 3);
  EXPECT_EQ(maxX, 20);
  int sx = 0, sy = 0, n = 0;
  for (int x = 0; x < 24; ++x)
    for (int y = 0; y < 20; ++y)
      if (m.at(x, y) == 128) {
        sx += x;
        sy += y;
        ++n;
        EXPECT_TRUE(x >= minX && x <= maxX && y >= minY && y <= maxY);
      }
  EXPECT_EQ(count, n);
  EXPECT_EQ(sumX, sx);
  EXPECT_EQ(sumY, sy);
  EXPECT_EQ(m.countOf(4), 3 + 1 + 20 + 20 + 10 + 10);
}

TEST(RemoveShortRuns, ShortRunsGoMediumRunsOnlyWhenAlone) {
  // Along the lines, maximum run 2: a run of 2 goes; a run of 3 or 4 goes only when no other
  // pixel of the value lies within 2 before or after it; a run of 5 stays. The lines repeat, so
  // the columns hold runs of 5 that the column pass keeps.
  const char* row = "##......###......####.#....#####";
  Map m({row, row, row, row, row});
  RemoveShortRuns(m.px.data(), m.length, m.lines, m.length, 2, 1, 5);
  const std::string expect = "55......555......####.5....#####";
  for (int x = 0; x < m.lines; ++x)
    for (int y = 0; y < m.length; ++y) {
      const char c = expect[y];
      EXPECT_EQ(m.at(x, y), c == '.' ? 0 : c == '#' ? 1 : 5) << x << "," << y;
    }
  // Then along the columns, on what the line pass left: a block 6 lines high stays, the
  // one-line tail that the line pass kept as part of a long run goes.
  Map v({
      "#####.....",
      "#####.....",
      "##########",
      "#####.....",
      "#####.....",
      "#####.....",
  });
  RemoveShortRuns(v.px.data(), v.length, v.lines, v.length, 2, 1, 5);
  EXPECT_EQ(v.countOf(1), 30);
  EXPECT_EQ(v.countOf(5), 5);
  for (int y = 5; y < 10; ++y) EXPECT_EQ(v.at(2, y), 5);
}

TEST(MeanGreyInMaskAndRelabel, WindowAndLabel) {
  Map grey(4, 4, 0), labels(4, 4, 0);
  for (int i = 0; i < 16; ++i) grey.px[i] = static_cast<uint8_t>(10 * i);
  labels.at(1, 1) = labels.at(1, 2) = labels.at(2, 2) = 6;
  EXPECT_EQ(MeanGreyInMask(grey.px.data(), labels.px.data(), 4, 0, 3, 0, 3, 6), (50 + 60 + 100) / 3);
  EXPECT_EQ(MeanGreyInMask(grey.px.data(), labels.px.data(), 4, 2, 3, 0, 3, 6), 100);
  EXPECT_EQ(MeanGreyInMask(grey.px.data(), labels.px.data(), 4, 3, 2, 0, 3, 6), 255);  // empty window
  EXPECT_EQ(MeanGreyInMask(grey.px.data(), labels.px.data(), 4, 0, 3, 0, 3, 7), 255);  // no pixel
  EXPECT_EQ(RelabelInWindow(labels.px.data(), 4, 1, 1, 0, 9, 6, 3), 0);
  EXPECT_EQ(labels.at(1, 1), 3);
  EXPECT_EQ(labels.at(1, 2), 3);
  EXPECT_EQ(labels.at(2, 2), 6);
  RelabelInWindow(labels.px.data(), 4, 2, 1, 0, 3, 6, 3);  // an empty window does nothing
  EXPECT_EQ(labels.at(2, 2), 6);
}

TEST(SplitFingerBlob, TwoTouchingFingersGiveTwoPieces) {
  // Two finger-shaped blobs side by side joined by a bridge, labelled for splitting.
  const int lines = 90, length = 100;
  Map m(lines, length, 0);
  auto blob = [&](int cx, int cy) {
    for (int x = 0; x < lines; ++x)
      for (int y = 0; y < length; ++y) {
        const double a = (x - cx) / 28.0, b = (y - cy) / 18.0;
        if (a * a + b * b <= 1.0) m.at(x, y) = 255;
      }
  };
  blob(45, 30);
  blob(45, 66);
  for (int x = 40; x < 50; ++x)
    for (int y = 30; y < 66; ++y) m.at(x, y) = 255;
  FingerSegment rec[kMaxSegments + 1];
  rec[0].cls = 2;
  int count = 1;
  SplitFingerBlob(m.px.data(), length, 10, 80, 5, 95, 90, 255, 8, rec, 0, &count, 3, 50);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(rec[0].cls, 0);
  EXPECT_EQ(rec[1].cls, 0);
  const int c0 = std::min(rec[0].centreColumn, rec[1].centreColumn);
  const int c1 = std::max(rec[0].centreColumn, rec[1].centreColumn);
  EXPECT_NEAR(c0, 30, 6);
  EXPECT_NEAR(c1, 66, 6);
  for (int i = 0; i < 2; ++i) {
    EXPECT_GE(rec[i].count, 150);
    EXPECT_EQ(m.at(rec[i].centreLine, rec[i].centreColumn), 255);
  }
  EXPECT_EQ(m.countOf(8), 0);  // measured pieces are put back
}

TEST(SplitFingerBlob, NothingHeavyEnoughRejectsTheRecord) {
  Map m(40, 40, 0);
  FingerSegment rec[kMaxSegments + 1];
  rec[3].cls = 2;
  int count = 4;
  SplitFingerBlob(m.px.data(), 40, 0, 39, 0, 39, 90, 255, 8, rec, 3, &count, 1, 50);
  EXPECT_EQ(rec[3].cls, 4);
  EXPECT_EQ(count, 4);
}

TEST(SplitFingerBlob, ManyPiecesNeverOverflowTheTable) {
  // Eight narrow fingers in one region of a full table: the count stays within the table.
  const int lines = 60, length = 340;
  Map m(lines, length, 0);
  for (int k = 0; k < 8; ++k)
    for (int x = 5; x < 55; ++x)
      for (int y = 10 + 40 * k; y < 34 + 40 * k; ++y) m.at(x, y) = 255;
  for (int y = 10; y < 330; ++y) m.at(30, y) = 255;
  FingerSegment rec[kMaxSegments + 1];
  for (FingerSegment& r : rec) r.cls = 1;
  int count = kMaxSegments - 1;
  SplitFingerBlob(m.px.data(), length, 0, lines - 1, 0, length - 1, 90, 255, 8, rec, 2, &count, 3, 50);
  EXPECT_EQ(count, kMaxSegments);
  EXPECT_EQ(rec[2].cls, 0);
}

}  // namespace
