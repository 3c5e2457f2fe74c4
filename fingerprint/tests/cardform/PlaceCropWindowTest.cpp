// Finger crop-window placement: the refusals, the region rules on block images drawn by hand, and
// the window on rendered prints against the renderer's fingertip box.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "CropWindow.h"
#include "sim/Render.h"

namespace {

// A light image with dark rectangles given in 10 x 10 blocks of the area at (top, left).
struct Drawing {
  int16_t size[2];
  std::vector<uint8_t> px;
  Drawing(int width, int height) : size{int16_t(width), int16_t(height)}, px(size_t(width) * height, 200) {}
  void Blocks(int top, int left, int blockRow, int blockCol, int rows, int cols, uint8_t level = 40) {
    for (int y = top + 10 * blockRow; y < top + 10 * (blockRow + rows); ++y)
      for (int x = left + 10 * blockCol; x < left + 10 * (blockCol + cols); ++x) px[size_t(y) * size[0] + x] = level;
  }
};

struct Call {
  int result = 0, x = -1, y = -1;
  std::string out;
};

Call Place(const int16_t size[2], const uint8_t* image, CropWindowRequest q) {
  Call c;
  testing::internal::CaptureStdout();
  c.result = PlaceFingerCropWindow(size, image, &c.x, &c.y, &q);
  c.out = testing::internal::GetCapturedStdout();
  return c;
}

TEST(PlaceFingerCropWindow, RefusalsKeepTheCentreOfTheAreaAsGiven) {
  Drawing d(300, 300);
  d.Blocks(0, 0, 5, 5, 20, 20);
  struct Case {
    const char* name;
    bool image;
    CropWindowRequest q;
    int result;
  };
  // A 2000 x 1000 area is cut to 1500 rows 250 rows lower; the refusals still answer its centre.
  const Case cases[] = {
      {"no image", false, {10, 20, 2000, 1000, 300, 300, 2}, -2},
      {"crop height 127", true, {10, 20, 2000, 1000, 127, 300, 2}, -5},
      {"crop height and width 127: height first", true, {10, 20, 2000, 1000, 127, 127, 2}, -5},
      {"crop width 127", true, {10, 20, 2000, 1000, 300, 127, 2}, -6},
      {"crop width cut to an area 120 wide", true, {10, 20, 2000, 120, 300, 300, 2}, -6},
      {"crop height cut to an area 127 high", true, {10, 20, 127, 1000, 300, 300, 2}, -5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Call r = Place(d.size, c.image ? d.px.data() : nullptr, c.q);
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.x, c.q.left + c.q.width / 2);
    EXPECT_EQ(r.y, c.q.top + c.q.height / 2);
    EXPECT_EQ(r.out, "");
  }
  // A crop larger than the area is cut to it: 128 rows of a 130-row area are accepted.
  EXPECT_GE(Place(d.size, d.px.data(), {0, 0, 130, 300, 400, 200, 2}).result, 0);
  // Missing outputs or request are refused without a write.
  CropWindowRequest q{0, 0, 300, 300, 200, 200, 2};
  int x = 7;
  EXPECT_EQ(PlaceFingerCropWindow(d.size, d.px.data(), &x, nullptr, &q), -2);
  EXPECT_EQ(PlaceFingerCropWindow(d.size, d.px.data(), nullptr, &x, &q), -2);
  EXPECT_EQ(PlaceFingerCropWindow(d.size, d.px.data(), &x, &x, nullptr), -2);
  EXPECT_EQ(x, 7);
}

TEST(PlaceFingerCropWindow, NarrowHistogramAndAreaOutsideTheImage) {
  struct Case {
    const char* name;
    int level;  // of the dark blocks on a background of 110
    CropWindowRequest q;
    int result;
    const char* out;
  };
  const Case cases[] = {
      {"9 levels apart", 101, {0, 0, 300, 300, 200, 200, 2}, -1,
       "ERROR: The histogram is too narrow !!! (101, 110)\nERROR: From new-histogram ! (-1)\n"},
      {"10 levels apart", 100, {0, 0, 300, 300, 200, 200, 2}, 0, ""},
      {"area past the image", 40, {10, 0, 300, 300, 200, 200, 2}, -1, "ERROR: From new-histogram ! (-1)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Drawing d(300, 300);
    std::fill(d.px.begin(), d.px.end(), 110);
    d.Blocks(0, 0, 5, 5, 20, 20, uint8_t(c.level));
    const Call r = Place(d.size, d.px.data(), c.q);
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.out, c.out);
    if (c.result < 0) {
      EXPECT_EQ(r.x, 150);
      EXPECT_EQ(r.y, c.q.top + 150);
    }
  }
}

TEST(PlaceFingerCropWindow, RegionSizeAgainstTheWindow) {
  // Crop 200 x 200 on a solid dark rectangle 20 blocks wide at block (5, 8) of an area at (20, 30).
  struct Case {
    int blockRows, finger, result;
    int top;  // expected window top, pixels of the area
  };
  const Case cases[] = {
      // 24 tall: fits; the window's top a third of the excess (40) below the region's top.
      {24, 2, 0, 50 + 40 / 3},
      {24, 5, 0, 50 + 40 / 3},
      // 25 tall: taller than the window + 50; a little finger gets the region's top.
      {25, 5, 2, 50},
      {25, 10, 2, 50},
      // Other fingers: the ridge search on a flat rectangle finds equal counts at once; the
      // window's top goes halfway between the region's top and the start (20 below it).
      {25, 2, 3, 50 + 10},
      // A thumb starts a third of the excess (50) below the region's top and stays there.
      {25, 1, 3, 50 + 50 / 3},
      {21, 3, 0, 50 + 10 / 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.blockRows << " rows, finger " << c.finger);
    Drawing d(400, 500);
    d.Blocks(20, 30, 5, 8, c.blockRows, 20);
    const Call r = Place(d.size, d.px.data(), {20, 30, 440, 360, 200, 200, c.finger});
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.y - 100 - 20, c.top);
    EXPECT_EQ(r.x, 30 + 80 + 100);  // centred on the columns
  }
}

TEST(PlaceFingerCropWindow, WhichRegionIsChosen) {
  // Area 1000 x 1000 (100 x 100 blocks) with crop 200 x 200.
  struct Case {
    const char* name;
    std::vector<std::array<int, 4>> rects;  // block row, column, rows, columns
    int result;
    std::array<int, 4> chosen;  // the rectangle the window centre must lie in (blocks)
    std::vector<int> levels = {};  // grey of each rectangle (40 when not given)
  };
  const Case cases[] = {
      // Only 399 blocks: no region; the densest window lands on it all the same.
      {"399 blocks: no region", {{40, 40, 19, 21}}, 4, {40, 40, 19, 21}},
      // 1840 blocks are chosen at once, before the larger region nearer the centre is seen.
      {"1840 blocks chosen at once", {{2, 2, 40, 46}, {45, 30, 50, 50}}, -1, {2, 2, 40, 46}},
      // 1800 blocks are not chosen at once: the later region of 2500 is.
      {"1800 blocks not chosen at once", {{2, 2, 40, 45}, {45, 30, 50, 50}}, -1, {45, 30, 50, 50}},
      {"small regions ignored beside a real one", {{10, 10, 15, 15}, {40, 35, 22, 22}}, 0, {40, 35, 22, 22}},
      // Equal regions of 484 blocks compared.
      {"a later region nearer the centre wins", {{5, 5, 22, 22}, {40, 40, 22, 22}}, 0, {40, 40, 22, 22}},
      {"a later region far from the centre loses", {{35, 39, 22, 22}, {75, 75, 22, 22}}, 0, {35, 39, 22, 22}},
      {"one above the other: the upper wins", {{20, 39, 22, 22}, {58, 39, 22, 22}}, 0, {20, 39, 22, 22}},
      {"side by side: the denser later region wins", {{39, 20, 22, 22}, {39, 58, 20, 22}}, 0, {39, 58, 20, 22}},
      {"side by side: a less dense later region loses", {{39, 20, 22, 22}, {39, 58, 24, 22}}, 0, {39, 20, 22, 22}},
      // Levels against the threshold, here the mean block level: 9032 blocks of 200 and two
      // regions of 484. A later region nearer the centre loses only when it is lighter by more
      // than 15 and by more than half the way from the first region's level to the threshold.
      {"lighter by 90, more than half way to the threshold (188): loses", {{5, 5, 22, 22}, {40, 40, 22, 22}}, 0,
       {5, 5, 22, 22}, {40, 130}},
      {"lighter by 74, exactly half way to the threshold (188): wins", {{5, 5, 22, 22}, {40, 40, 22, 22}}, 0,
       {40, 40, 22, 22}, {40, 114}},
      {"lighter by 60, less than half way to the threshold (187): wins", {{5, 5, 22, 22}, {40, 40, 22, 22}}, 0,
       {40, 40, 22, 22}, {40, 100}},
      {"lighter by 16, more than half way to the threshold (198): loses", {{5, 5, 22, 22}, {40, 40, 22, 22}}, 0,
       {5, 5, 22, 22}, {175, 191}},
      {"lighter by 15 only: wins", {{5, 5, 22, 22}, {40, 40, 22, 22}}, 0, {40, 40, 22, 22}, {175, 190}},
      // The same the other way round: a later region far from the centre wins when clearly darker.
      {"darker by 75, more than half way to the threshold (188): wins", {{35, 39, 22, 22}, {75, 75, 22, 22}}, 0,
       {75, 75, 22, 22}, {115, 40}},
      {"darker by 74, exactly half way to the threshold (188): loses", {{35, 39, 22, 22}, {75, 75, 22, 22}}, 0,
       {35, 39, 22, 22}, {114, 40}},
      {"darker by 15 only: loses", {{35, 39, 22, 22}, {75, 75, 22, 22}}, 0, {35, 39, 22, 22}, {190, 175}},
      {"darker by 16, more than half way to the threshold (198): wins", {{35, 39, 22, 22}, {75, 75, 22, 22}}, 0,
       {75, 75, 22, 22}, {191, 175}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Drawing d(1000, 1000);
    for (size_t i = 0; i < c.rects.size(); ++i) {
      const auto& rc = c.rects[i];
      d.Blocks(0, 0, rc[0], rc[1], rc[2], rc[3], c.levels.empty() ? 40 : uint8_t(c.levels[i]));
    }
    const Call r = Place(d.size, d.px.data(), {0, 0, 1000, 1000, 200, 200, 2});
    if (c.result >= 0) {
      EXPECT_EQ(r.result, c.result);
    }
    EXPECT_GE(r.y, 10 * c.chosen[0]);
    EXPECT_LT(r.y, 10 * (c.chosen[0] + c.chosen[2]));
    EXPECT_GE(r.x, 10 * c.chosen[1]);
    EXPECT_LT(r.x, 10 * (c.chosen[1] + c.chosen[3]));
  }
}

TEST(PlaceFingerCropWindow, AreaTallerThan1500IsCutAboutItsCentre) {
  // 1600 rows are cut to 1500 starting 50 rows lower, so the blocks start at row 50 and the
  // rectangle (rows 1000..1199, columns 100..299) fills whole blocks: the window is centred on it.
  Drawing d(400, 1700);
  d.Blocks(50, 0, 95, 10, 20, 20);
  const Call r = Place(d.size, d.px.data(), {0, 0, 1600, 400, 200, 200, 2});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.x, 200);
  EXPECT_EQ(r.y, 1100);
}

TEST(PlaceFingerCropWindow, JointCreaseCutsATallRegion) {
  // A solid region 20 blocks wide and 60 tall at block (5, 8) with a light band across it at
  // block rows 44..45; crop 200 wide, 350 high.
  struct Case {
    const char* name;
    int bandLeft, bandCols;  // 0 columns: no band
    int result, windowTop;   // pixels of the area
  };
  const Case cases[] = {
      // Cut above the band: 39 rows left, 390 > 350: the window's top a third of the excess
      // below the region's top.
      {"crease 16 blocks wide", 10, 16, 1, 50 + 40 / 3},
      // A light area of 5 columns is no crease, and the light blocks in its rows cover only 5
      // columns: no cut, the region stays 60 tall; the ridge search on a flat image keeps the
      // window halfway between the region's top and its start 20 below.
      {"light spot 5 wide", 16, 5, 3, 50 + 10},
      {"no band", 0, 0, 3, 50 + 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Drawing d(400, 900);
    d.Blocks(20, 30, 5, 8, 60, 20);
    if (c.bandCols > 0) d.Blocks(20, 30, 44, c.bandLeft, 2, c.bandCols, 200);
    const Call r = Place(d.size, d.px.data(), {20, 30, 800, 360, 350, 200, 2});
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.y - 175 - 20, c.windowTop);
    EXPECT_EQ(r.x, 30 + 80 + 100);
  }
}

TEST(PlaceFingerCropWindow, SideTrimOfAWeakLineByItsCountOrItsLongestRun) {
  // A solid region 46 blocks wide at block (5, 7) of an area at (20, 30), crop 460 wide (the
  // columns need no trimming) and finger 5. Its second line from the top or the bottom holds only
  // a left run and a right run of blocks. Such a line is the weakest of its side and is cut away
  // with the side line, unless it is too solid: by its longest run (more than 20) at level 3 and,
  // for the bottom side, at level 2; by its count (more than 20) otherwise. The levels reached
  // follow from the rows' need: 36 rows against a crop of 30 need level 2 (35 <= 30 + 5), 40 rows
  // against 20 need level 3, 36 against 36 need nothing beyond level 1.
  // Cut: 34 rows remain and fit the window (340 < 300 + 50): result 0, window top a third of the
  // excess below the region's top. Kept: 36 rows exceed it: a little finger's window at the
  // region's top (result 2), or, when the light part of a bottom line is wide enough to be a
  // crease, the cut at that line (result 1).
  struct Case {
    const char* name;
    bool bottom;
    int leftRun, rightRun, rows, cropHeight;
    int result, centreY;
    int hole = 0;  // light blocks inside, away from the lines the trims look at
  };
  const Case cases[] = {
      {"bottom, runs of 11 at level 2: cut", true, 11, 11, 36, 300, 0, 20 + 50 + 150 + 40 / 3},
      // 34 rows less a hole: at 1500 blocks the rows need level 2 (33 <= 30 + 5), below 1500
      // they need nothing and the 34 rows stay (340 < 300 + 50 still fits).
      {"bottom, runs of 11, 1500 blocks: cut", true, 11, 11, 34, 300, 0, 20 + 50 + 150 + 20 / 3, 40},
      {"bottom, runs of 11, 1499 blocks: kept", true, 11, 11, 34, 300, 0, 20 + 50 + 150 + 40 / 3, 41},
      {"bottom, runs of 20 and 2 at level 2: cut", true, 20, 2, 36, 300, 0, 20 + 50 + 150 + 40 / 3},
      {"bottom, a run of 21 at level 2: kept, cut as a crease", true, 21, 1, 36, 300, 1, 20 + 50 + 150 + 40 / 3},
      {"bottom, runs of 11, level 1 only: kept", true, 11, 11, 36, 360, 0, 20 + 50 + 180},
      {"top, runs of 11 at level 2: 22 blocks are too many", false, 11, 11, 36, 300, 2, 20 + 50 + 150},
      {"top, 20 blocks at level 1: cut", false, 10, 10, 36, 300, 0, 20 + 70 + 150 + 40 / 3},
      {"top, 21 blocks at level 2: kept", false, 11, 10, 36, 300, 2, 20 + 50 + 150},
      {"top, runs of 11 at level 3: cut", false, 11, 11, 40, 200, 2, 20 + 70 + 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Drawing d(700, 700);
    d.Blocks(20, 30, 5, 7, c.rows, 46);
    const int line = c.bottom ? 5 + c.rows - 2 : 5 + 1;
    d.Blocks(20, 30, line, 7 + c.leftRun, 1, 46 - c.leftRun - c.rightRun, 200);
    if (c.hole > 0) d.Blocks(20, 30, 5 + 13, 7 + 19, 5, 8, 200);
    if (c.hole > 40) d.Blocks(20, 30, 5 + 18, 7 + 19, 1, c.hole - 40, 200);
    const Call r = Place(d.size, d.px.data(), {20, 30, 600, 600, c.cropHeight, 460, 5});
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.y, c.centreY);
    EXPECT_EQ(r.x, 30 + 10 * (7 + 52 + 1) / 2);
  }
}

TEST(PlaceFingerCropWindow, HorizontalPlacementSlidesTowardTheTallerColumns) {
  // Dark 100 on light 110: ten levels apart, so every block edge is too faint for a ridge flow
  // (255 everywhere) and the window moves by the block counts of its two edge columns alone.
  // Crop 200 x 300 (20 columns); a region of at most 1500 blocks needs no trimming beyond its
  // first pass. Each column span is {first column, last column, first row, last row} in blocks of
  // the region, drawn at block (r0, c0) of the area.
  struct Span {
    int c0, c1, r0, r1;
  };
  struct Case {
    const char* name;
    int areaTop, imageHeight, r0, c0;
    std::vector<Span> spans;
    int left;  // the window's first column at the end, in blocks of the region
    int centreY;
  };
  // 40 columns: L = 10, R = 29, step 4. Columns 0..19 hold 15 blocks, 20..39 hold 31 (or 30).
  const std::vector<Span> steps = {{0, 19, 16, 30}, {20, 39, 0, 30}};
  const std::vector<Span> lower = {{0, 19, 16, 30}, {20, 39, 1, 30}};
  const std::vector<Span> hanging = {{0, 19, 0, 14}, {20, 39, 0, 30}};
  const Case cases[] = {
      // 31 > 2 x 15: right by 4, 4, then by 2 (2/3 of 4) to stay inside; 31 and 31: done.
      {"right edge more than twice as full", 20, 500, 5, 5, steps, 20, 20 + 50 + 150 + 10 / 3},
      // 30 = 2 x 15 is not enough; both at least 15 and equally flat: done at once.
      {"right edge twice as full", 20, 500, 5, 5, lower, 10, 20 + (10 * (6 + 35 + 1)) / 2},
      // A block whose centre row lies 10 from the image's top or bottom still counts.
      {"right edge's top block 10 rows from the image top", 5, 500, 0, 5, steps, 20, 5 + 0 + 150 + 10 / 3},
      {"right edge's last block 10 rows from the image bottom", 0, 365, 5, 5, hanging, 20, 0 + 50 + 150 + 10 / 3},
      // 5 rows from the image's top it does not: 30 blocks against 15, done at once.
      {"right edge's top block 5 rows from the image top", 0, 500, 0, 5, steps, 10, 0 + 0 + 150 + 10 / 3},
      // 60 columns: L = 20, R = 39, step 9. Right (31 > 2 x 15) to 29..48, where column 48 holds
      // 10: left, and the turn cuts the step to 6: 23..42, both full: done.
      {"a turn shortens the step",
       20,
       500,
       5,
       0,
       {{0, 21, 16, 30}, {22, 47, 0, 30}, {48, 48, 21, 30}, {49, 59, 0, 30}},
       23,
       20 + 50 + 150 + 10 / 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Drawing d(700, c.imageHeight);
    std::fill(d.px.begin(), d.px.end(), 110);
    for (const Span& s : c.spans)
      d.Blocks(c.areaTop, 30, c.r0 + s.r0, c.c0 + s.c0, s.r1 - s.r0 + 1, s.c1 - s.c0 + 1, 100);
    const Call r = Place(d.size, d.px.data(), {c.areaTop, 30, 360, 660, 300, 200, 2});
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.x, 30 + 10 * (2 * c.c0 + 2 * c.left + 20) / 2);
    EXPECT_EQ(r.y, c.centreY);
  }
}

sim::GreyImage Render(const std::vector<sim::ContactSpec>& contacts, int width, int height, double phalanx,
                      sim::SceneTruth* truth) {
  sim::FingerScene scene;
  scene.platen.width = width;
  scene.platen.height = height;
  scene.platen.vignetting = 0;
  scene.layout = sim::FingerLayout::Custom;
  scene.phalanx = phalanx;
  scene.contacts = contacts;
  return sim::RenderFingers(scene, 5, truth);
}

TEST(PlaceFingerCropWindow, RenderedPrintsAgainstTheTruth) {
  // Contacts from the platen centre (mm); the window must lie on the fingertip the renderer drew.
  struct Case {
    const char* name;
    std::vector<sim::ContactSpec> contacts;
    int width, height;
    double phalanx;
    int finger, crop, result;
    int topTolerance;  // window top against the fingertip's top, pixels
  };
  auto tip = [](double x, double y, double b) {
    sim::ContactSpec k;
    k.xMm = x, k.yMm = y, k.b = b;
    return k;
  };
  const Case cases[] = {
      // 300 x 450 pixels inside a 400 x 520 crop: centred.
      {"tip that fits", {tip(0, 0, 11.5)}, 600, 900, 0, 2, 0, 0, 40},
      // 300 x 670: taller than the window, placed by the ridge counts of its edges; the window
      // stays in the upper part of the 350 spare rows (a thumb starts a third of them lower).
      {"long tip, index", {tip(0, 0, 17)}, 600, 1000, 0, 2, 320, 3, 100},
      {"long tip, thumb", {tip(0, 0, 17)}, 600, 1000, 0, 1, 320, 3, 175},
      {"long tip, little finger: at its top", {tip(0, 0, 17)}, 600, 1000, 0, 5, 320, 2, 60},
      {"tip with second phalanx", {tip(0, 0, 11.5)}, 600, 900, 1, 3, 320, 3, 60},
      // Two tips touching side by side: the window slides onto one of them.
      {"two tips side by side", {tip(-8, 0, 11.5), tip(8, -2, 11.5)}, 1000, 800, 0, 2, 300, 3, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SceneTruth truth;
    const sim::GreyImage g = Render(c.contacts, c.width, c.height, c.phalanx, &truth);
    ASSERT_EQ(truth.fingers.size(), c.contacts.size());
    const int16_t size[2] = {int16_t(g.width), int16_t(g.height)};
    const int cropW = c.crop > 0 ? c.crop : 400, cropH = c.crop > 0 ? c.crop : 520;
    const Call r = Place(size, g.pixels.data(), {0, 0, g.height, g.width, cropH, cropW, c.finger});
    EXPECT_EQ(r.result, c.result);
    // The fingertip whose centre column is nearest the window's.
    const sim::FingerTruth* t = &truth.fingers[0];
    for (const sim::FingerTruth& f : truth.fingers)
      if (std::abs(f.centreX - r.x) < std::abs(t->centreX - r.x)) t = &f;
    EXPECT_NEAR(r.x, t->centreX, 30);
    const int windowTop = r.y - cropH / 2, windowBottom = windowTop + cropH - 1;
    if (c.result == 0) {
      EXPECT_NEAR(r.y, t->centreY, 10);
    } else {
      EXPECT_GE(windowTop, t->top);
      EXPECT_LE(windowBottom, t->bottom);
      EXPECT_LE(windowTop - t->top, c.topTolerance);
    }
  }
}

}  // namespace
