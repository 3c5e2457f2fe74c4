// Finger foreground area and grey range: the area clean-up rules on hand-made maps, a flat image,
// and single prints rendered by the simulator's finger renderer against its ground truth (box
// within 24 pixels, the smoothing's reach; grey range within 12 levels of the rendered contact's
// own 1 % and 5 % levels).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "ForegroundArea.h"
#include "sim/Render.h"

namespace {

struct Map {
  int height, width;
  std::vector<uint8_t> px;
  Map(int h, int w, uint8_t v) : height(h), width(w), px(size_t(h) * w, v) {}
  void Rect(int top, int left, int h, int w, uint8_t v) {
    for (int r = top; r < top + h; ++r)
      for (int c = left; c < left + w; ++c) px[size_t(r) * width + c] = v;
  }
  uint8_t at(int r, int c) const { return px[size_t(r) * width + c]; }
};

ForegroundStatistics Stats(const Map& m, int minimumArea) {
  ForegroundStatistics s{};
  s.height = m.height;
  s.width = m.width;
  s.minimumArea = minimumArea;
  return s;
}

// The rank-contrast mark of the one pixel a 7 x 7 image has at least 3 from its border: the
// centre takes `centre`, the other 48 pixels the listed levels ({level, count}) in turn.
int CentreMark(int low, int high, int centre, const std::vector<std::pair<int, int>>& others) {
  std::vector<uint8_t> img(49), work(49, 9);
  size_t k = 0;
  for (const auto& [level, count] : others)
    for (int i = 0; i < count; ++i, ++k) img[k == 24 ? ++k : k] = uint8_t(level);
  EXPECT_EQ(k, 49u);
  img[24] = uint8_t(centre);
  LocalContrastMap(img.data(), 7, 7, low, high, work.data());
  for (size_t i = 0; i < 49; ++i) {
    if (i != 24) {
      EXPECT_EQ(work[i], 0) << i;  // the border
    }
  }
  return work[24];
}

TEST(LocalContrastMap, RankContrastRules) {
  struct Case {
    const char* name;
    int low, high, centre;
    std::vector<std::pair<int, int>> others;
    int mark;
  };
  // low 50, high 150: step 10 unless said otherwise.
  const Case cases[] = {
      {"six dark pixels do not reach the 7th darkest", 50, 150, 150, {{50, 6}, {150, 42}}, 0},
      {"six bright pixels do not reach the 7th brightest", 50, 150, 150, {{250, 6}, {150, 42}}, 0},
      {"bright levels of two groups (step 5)", 100, 150, 150, {{250, 2}, {165, 4}, {150, 42}}, 0},
      {"range 20 is flat", 50, 150, 100, {{100, 24}, {120, 24}}, 0},
      {"range 21 is texture", 50, 150, 100, {{100, 24}, {121, 24}}, 1},
      {"range 30, pixel above high + low", 50, 150, 210, {{180, 25}, {210, 23}}, 0},
      {"range 30, pixel below high + low", 50, 150, 180, {{180, 24}, {210, 24}}, 1},
      {"range 35, pixel above the 7th brightest", 50, 150, 170, {{100, 30}, {135, 13}, {170, 5}}, 0},
      {"range 35, pixel at the 7th brightest", 50, 150, 135, {{100, 30}, {135, 12}, {170, 6}}, 1},
      {"range 41", 50, 150, 100, {{100, 24}, {141, 24}}, 1},
      {"high below 128 counts as 128 (step 7)", 50, 100, 100, {{100, 24}, {114, 24}}, 0},
      {"high below 128 counts as 128, range 15", 50, 100, 100, {{100, 24}, {115, 24}}, 1},
      {"low above 160 is halved and raised by 80 (step 8)", 170, 245, 100, {{100, 24}, {116, 24}}, 0},
      {"low above 160, range 17", 170, 245, 100, {{100, 24}, {117, 24}}, 1},
      {"levels within 4: nothing is texture", 125, 100, 0, {{0, 24}, {255, 24}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CentreMark(c.low, c.high, c.centre, c.others), c.mark);
  }
}

TEST(ForegroundStep, GlobalLevelsOfTheWholeImage) {
  // 10 x 10: one pixel at 0, one at 1, two at 40, the rest 200: 1 % is one pixel.
  std::vector<uint8_t> img(100, 200), work(100);
  img[0] = 0;
  img[1] = 1;
  img[2] = img[3] = 40;
  ForegroundStatistics s{};
  s.height = 10, s.width = 10, s.lowPercent = 5, s.highPercent = 10, s.minimumArea = 5000;
  ForegroundStep(img.data(), work.data(), &s, 1);
  EXPECT_EQ(s.mean, (0 + 1 + 80 + 96 * 200) / 100);
  EXPECT_EQ(s.percentAt0, 1);
  EXPECT_EQ(s.percentAt1, 1);
  EXPECT_EQ(s.level1Percent, 1);     // the cumulative count passes 1 at level 1
  EXPECT_EQ(s.level99Percent, 200);  // from the bright end at once
  EXPECT_EQ(s.lowPercent, 1);
  EXPECT_EQ(s.highPercent, 5);
}

TEST(ForegroundCleanUp, AreaSizeHolesAndElongation) {
  struct Case {
    const char* name;
    int h, w;        // a foreground rectangle at (20, 20)
    int extra;       // pixels added beside its last row
    int hole;        // a background hole of hole x 1 pixels inside it (0: none)
    int elongation;  // the test switch
    bool kept;
  };
  const Case cases[] = {
      {"5000 pixels are dropped", 50, 100, 0, 0, 1, false},
      {"5001 pixels are kept", 50, 100, 1, 0, 1, true},
      {"extents 180 x 40 (4.5) are dropped", 41, 181, 0, 0, 1, false},
      {"extents 176 x 40 (4.4) are kept", 41, 177, 0, 0, 1, true},
      {"4.5 is kept without the test", 41, 181, 0, 0, 0, true},
      {"a hole inside a kept area counts", 60, 100, 0, 30, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Map m(120, 240, 10);
    m.Rect(20, 20, c.h, c.w, 11);
    if (c.extra) m.Rect(20 + c.h - 1, 20 + c.w, 1, c.extra, 11);
    if (c.hole) m.Rect(40, 50, 1, c.hole, 10);
    ForegroundStatistics s = Stats(m, 5000);
    const int area = c.h * c.w + c.extra;
    const int kept = CleanUpAreas(m.px.data(), &s, c.elongation);
    if (!c.kept) {
      EXPECT_EQ(kept, 0);
      EXPECT_EQ(s.minimumArea, 0);
      EXPECT_EQ(std::count(m.px.begin(), m.px.end(), 1), 0);
      EXPECT_EQ(s.left, 120);
      EXPECT_EQ(s.right, 120);
      EXPECT_EQ(s.top, 60);
      EXPECT_EQ(s.bottom, 60);
      continue;
    }
    EXPECT_EQ(kept, area);
    EXPECT_EQ(s.minimumArea, area);
    EXPECT_EQ(std::count(m.px.begin(), m.px.end(), 1), area);
    EXPECT_EQ(m.at(40, 50), 1);
    EXPECT_EQ(s.top, 20);
    EXPECT_EQ(s.left, 20);
    EXPECT_EQ(s.bottom, 20 + c.h - 1);
    EXPECT_EQ(s.right, 20 + c.w - 1 + c.extra);
    int64_t rows = 0, cols = 0;
    for (int r = 0; r < m.height; ++r)
      for (int col = 0; col < m.width; ++col)
        if (m.at(r, col) == 1) rows += r, cols += col;
    EXPECT_EQ(s.sumRows, rows);
    EXPECT_EQ(s.sumColumns, cols);
  }
}

TEST(ForegroundCleanUp, DiagonalNeighboursAreOneAreaAndAThinLineIsElongated) {
  // Two 40 x 40 squares touching at a corner: one area of 3200 pixels, above a minimum of 2000.
  Map m(100, 100, 10);
  m.Rect(10, 10, 40, 40, 11);
  m.Rect(50, 50, 40, 40, 11);
  ForegroundStatistics s = Stats(m, 2000);
  EXPECT_EQ(CleanUpAreas(m.px.data(), &s, 1), 3200);
  EXPECT_EQ(s.bottom, 89);
  // A line one row high has no extent across: as elongated as an area can be.
  Map line(20, 100, 10);
  line.Rect(5, 10, 1, 60, 11);
  ForegroundStatistics t = Stats(line, 50);
  EXPECT_EQ(CleanUpAreas(line.px.data(), &t, 1), 0);
  line.Rect(5, 10, 1, 60, 11);
  t = Stats(line, 50);
  EXPECT_EQ(CleanUpAreas(line.px.data(), &t, 0), 60);
}

TEST(FindForegroundArea, FlatImageCollapsesToTheCentre) {
  std::vector<uint8_t> image(size_t(200) * 300, 170);
  std::vector<uint8_t> work(image.size(), 77);
  int top = -1, left = -1, h = -1, w = -1, low = -1, high = -1;
  FindForegroundArea(image.data(), 200, 300, work.data(), &top, &left, &h, &w, &low, &high);
  EXPECT_EQ(std::count(work.begin(), work.end(), 0), static_cast<long>(work.size()));
  EXPECT_EQ(top, 100);
  EXPECT_EQ(left, 150);
  EXPECT_EQ(h, 1);
  EXPECT_EQ(w, 1);
  EXPECT_EQ(low, 128);
  EXPECT_EQ(high, 128);
  // Missing arguments leave the outputs alone.
  h = w = 77;
  FindForegroundArea(nullptr, 200, 300, work.data(), &top, &left, &h, &w, &low, &high);
  FindForegroundArea(image.data(), 200, 300, nullptr, &top, &left, &h, &w, &low, &high);
  FindForegroundArea(image.data(), 0, 300, work.data(), &top, &left, &h, &w, &low, &high);
  FindForegroundArea(image.data(), 200, -1, work.data(), &top, &left, &h, &w, &low, &high);
  FindForegroundArea(image.data(), 200, 300, work.data(), nullptr, &left, &h, &w, &low, &high);
  FindForegroundArea(image.data(), 200, 300, work.data(), &top, nullptr, &h, &w, &low, &high);
  FindForegroundArea(image.data(), 200, 300, work.data(), &top, &left, nullptr, &w, &low, &high);
  FindForegroundArea(image.data(), 200, 300, work.data(), &top, &left, &h, nullptr, &low, &high);
  FindForegroundArea(image.data(), 200, 300, work.data(), &top, &left, &h, &w, nullptr, &high);
  FindForegroundArea(image.data(), 200, 300, work.data(), &top, &left, &h, &w, &low, nullptr);
  EXPECT_EQ(h, 77);
  EXPECT_EQ(w, 77);
}

TEST(SmoothAndThreshold, WindowClippedAtTheBorder) {
  // A 10 x 10 block of ones in the corner of a 50 x 50 map: at (0, 0) the window holds rows and
  // columns 0..20 (441 pixels, 100 ones): q = 100 x 1681 / 441 = 381, value trunc(381 x 255 / 1681) = 57.
  for (const int threshold : {56, 57}) {
    std::vector<uint8_t> m(2500, 0);
    for (int r = 0; r < 10; ++r)
      for (int c = 0; c < 10; ++c) m[r * 50 + c] = 1;
    SmoothAndThreshold(m.data(), 50, 50, threshold, 11, 10);
    EXPECT_EQ(m[0], threshold == 56 ? 11 : 10);
    EXPECT_EQ(m[49 * 50 + 49], 10);
    // At (29, 29) the window (rows and columns 9..49) holds one of the ones: value 0.
    EXPECT_EQ(m[29 * 50 + 29], 10);
  }
}

// Levels from the dark and the bright end of the pixels inside a box, as percentages.
void LevelsInside(const sim::GreyImage& g, const sim::FingerTruth& t, int* p1, int* p95) {
  int hist[256] = {};
  int n = 0;
  const double a = (t.right - t.left) / 2.0, b = (t.bottom - t.top) / 2.0;
  for (int y = t.top; y <= t.bottom; ++y)
    for (int x = t.left; x <= t.right; ++x) {
      const double u = (x - t.centreX) / a, v = (y - t.centreY) / b;
      if (u * u + v * v > 0.8) continue;  // the contact's inner part, away from its soft rim
      ++hist[g.at(x, y)];
      ++n;
    }
  int cum = 0;
  for (*p1 = 0; (cum += hist[*p1]) <= n / 100; ++*p1) {}
  cum = 0;
  for (*p95 = 255; (cum += hist[*p95]) <= 5 * n / 100; --*p95) {}
}

TEST(FindForegroundArea, RenderedPrintsAgainstTheTruth) {
  struct Case {
    const char* name;
    double xMm, yMm, angleDeg;
  };
  const Case cases[] = {{"centred upright", 0, 0, 0}, {"off centre, turned", -2, 3, 25}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::FingerScene scene;
    scene.platen.width = 400;
    scene.platen.height = 480;
    scene.platen.vignetting = 0;
    scene.layout = sim::FingerLayout::Custom;
    sim::ContactSpec k;
    k.xMm = c.xMm;
    k.yMm = c.yMm;
    k.angleDeg = c.angleDeg;
    k.a = 5;
    k.b = 7;
    k.isoFinger = 2;
    scene.contacts.push_back(k);
    sim::SceneTruth truth;
    const sim::GreyImage g = sim::RenderFingers(scene, 7, &truth);
    ASSERT_EQ(truth.fingers.size(), 1u);
    const sim::FingerTruth& t = truth.fingers[0];
    std::vector<uint8_t> work(g.pixels.size());
    int top = 0, left = 0, h = 0, w = 0, low = 0, high = 0;
    FindForegroundArea(g.pixels.data(), g.height, g.width, work.data(), &top, &left, &h, &w, &low, &high);
    EXPECT_NEAR(top, t.top, 24);
    EXPECT_NEAR(left, t.left, 24);
    EXPECT_NEAR(top + h - 1, t.bottom, 24);
    EXPECT_NEAR(left + w - 1, t.right, 24);
    int p1 = 0, p95 = 0;
    LevelsInside(g, t, &p1, &p95);
    EXPECT_NEAR(low, p1, 12);
    EXPECT_NEAR(high, p95, 12);
    EXPECT_LT(low + 40, high);
  }
}

sim::GreyImage RenderContacts(const std::vector<sim::ContactSpec>& contacts, int width, int height,
                              sim::SceneTruth* truth) {
  sim::FingerScene scene;
  scene.platen.width = width;
  scene.platen.height = height;
  scene.platen.vignetting = 0;
  scene.layout = sim::FingerLayout::Custom;
  scene.contacts = contacts;
  return sim::RenderFingers(scene, 11, truth);
}

void ExpectStartValues(const FingerRegion& r, int height, int width) {
  EXPECT_EQ(r.left, width / 2);
  EXPECT_EQ(r.right, width / 2);
  EXPECT_EQ(r.column, width / 2);
  EXPECT_EQ(r.top, height / 2);
  EXPECT_EQ(r.bottom, height / 2);
  EXPECT_EQ(r.row, height / 2);
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.orientation, 270);
  EXPECT_EQ(r.measure, 100);
}

TEST(FindFingerRegions, NoLargeAreaLeavesTheStartValues) {
  // A flat image, and a print too small to reach 10000 pixels.
  std::vector<uint8_t> flat(size_t(300) * 260, 200);
  std::vector<uint8_t> work(flat.size());
  MainFingerRegion first;
  FingerRegion second;
  first.region.count = second.count = -9;
  EXPECT_EQ(FindFingerRegions(flat.data(), 300, 260, work.data(), &first, &second), 5);
  ExpectStartValues(first.region, 300, 260);
  ExpectStartValues(second, 300, 260);
  sim::ContactSpec small;
  small.a = 1.6;
  small.b = 2.2;
  sim::SceneTruth truth;
  const sim::GreyImage g = RenderContacts({small}, 260, 300, &truth);
  ASSERT_LT(truth.fingers.at(0).areaPx, 10000);
  EXPECT_EQ(FindFingerRegions(g.pixels.data(), 300, 260, work.data(), &first, &second), 5);
  ExpectStartValues(first.region, 300, 260);
  EXPECT_GT(first.highLevel, 150);  // the platen
  EXPECT_EQ(FindFingerRegions(nullptr, 300, 260, work.data(), &first, &second), -1);
  EXPECT_EQ(FindFingerRegions(g.pixels.data(), 0, 260, work.data(), &first, &second), -1);
}

TEST(FindFingerRegions, RenderedFingerGivesItsAreaAndAxis) {
  // One slender finger upright and turned by 30 degrees: box, centroid and count against the
  // truth, and the orientations 30 degrees apart.
  int orientation[2] = {};
  const double angles[2] = {0, 30};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(angles[i]);
    sim::ContactSpec k;
    k.a = 4;
    k.b = 9;
    k.angleDeg = angles[i];
    sim::SceneTruth truth;
    const sim::GreyImage g = RenderContacts({k}, 420, 520, &truth);
    const sim::FingerTruth& t = truth.fingers.at(0);
    std::vector<uint8_t> work(g.pixels.size());
    MainFingerRegion first;
    FingerRegion second;
    ASSERT_EQ(FindFingerRegions(g.pixels.data(), g.height, g.width, work.data(), &first, &second), 5);
    const FingerRegion& r = first.region;
    EXPECT_NEAR(r.left, t.left, 24);
    EXPECT_NEAR(r.right, t.right, 24);
    EXPECT_NEAR(r.top, t.top, 24);
    EXPECT_NEAR(r.bottom, t.bottom, 24);
    EXPECT_NEAR(r.column, t.centreX, 10);
    EXPECT_NEAR(r.row, t.centreY, 10);
    EXPECT_NEAR(r.count, t.areaPx, 0.15 * t.areaPx);
    // Alone and slender, the main area gives the result with its label and 1.3 times its measure.
    EXPECT_EQ(r.status, 10);
    EXPECT_LT(r.measure, 46 * 1.3);
    orientation[i] = r.orientation % 180;
    ExpectStartValues(second, g.height, g.width);
  }
  const int turn = std::abs(orientation[1] - orientation[0]);
  EXPECT_NEAR(std::min(turn, 180 - turn), 30, 3);
}

TEST(FindFingerRegions, PointingAreasAndTheAreaSetAside) {
  // A large round print (over 150000 pixels: nothing is gathered to it), two slender prints
  // above it pointing down at it, and a slender print beside it lying across the direction to it.
  constexpr double kPx = 500 / 25.4;  // pixels per millimetre
  auto contact = [&](double x, double y, double a, double b) {
    sim::ContactSpec k;
    k.xMm = x / kPx, k.yMm = y / kPx, k.a = a, k.b = b;
    return k;
  };
  const std::vector<sim::ContactSpec> contacts = {
      contact(-60, -230, 2, 6), contact(60, -230, 2, 6), contact(0, 150, 220 / kPx, 220 / kPx),
      contact(350, 150, 3.2, 9)};
  sim::SceneTruth truth;
  const sim::GreyImage g = RenderContacts(contacts, 900, 780, &truth);
  ASSERT_EQ(truth.fingers.size(), 4u);
  const sim::FingerTruth* blob = nullptr;
  const sim::FingerTruth* aside = nullptr;
  for (const sim::FingerTruth& t : truth.fingers) {
    if (std::abs(t.centreX - 450) < 5 && t.centreY > 400) blob = &t;
    if (t.centreX > 700) aside = &t;
  }
  ASSERT_TRUE(blob != nullptr && aside != nullptr);
  std::vector<uint8_t> work(g.pixels.size());
  MainFingerRegion first;
  FingerRegion second;
  ASSERT_EQ(FindFingerRegions(g.pixels.data(), g.height, g.width, work.data(), &first, &second), 5);
  const FingerRegion& r = first.region;
  // Union of the four boxes; centroid and count of the main print alone.
  EXPECT_NEAR(r.top, truth.fingers[0].top, 24);
  EXPECT_NEAR(r.bottom, blob->bottom, 24);
  EXPECT_NEAR(r.right, aside->right, 24);
  EXPECT_NEAR(r.row, blob->centreY, 5);
  EXPECT_NEAR(r.column, blob->centreX, 5);
  EXPECT_NEAR(r.count, blob->areaPx, 0.1 * blob->areaPx);
  // The two prints above point at it: their axis, turned to point from the main print to them
  // (up: 270), is the result, and the status becomes the main print's label (the third area
  // labelled, after the two prints above).
  EXPECT_NEAR(r.orientation, 270, 3);
  EXPECT_LT(r.measure, 21);
  EXPECT_EQ(r.status, 12);
  // The print beside it is the second result, its axis turned to agree with the first result.
  EXPECT_NEAR(second.column, aside->centreX, 5);
  EXPECT_NEAR(second.row, aside->centreY, 5);
  // A slender print grows relatively more by the soft rim round its contact.
  EXPECT_NEAR(second.count, aside->areaPx, 0.2 * aside->areaPx);
  EXPECT_EQ(second.status, 13);
  EXPECT_NEAR(second.orientation, 270, 3);
}

TEST(FindFingerRegions, ALonePointingPrintAndARoundMainPrint) {
  // A round main print (too round to join the pointing prints) and one slender print 470 pixels
  // above it (too far to be gathered) pointing down at it. Of 18000 pixels or more it is the result
  // alone; a smaller one beside so round a main print is no pointing print.
  constexpr double kPx = 500 / 25.4;
  for (const bool large : {true, false}) {
    SCOPED_TRACE(large ? "21000 pixels" : "13000 pixels");
    sim::ContactSpec main, lone;
    main.yMm = (630 - 450) / kPx, main.a = main.b = 7;
    lone.yMm = (160 - 450) / kPx;
    lone.a = large ? 2.5 : 2, lone.b = large ? 7 : 5.5;
    sim::SceneTruth truth;
    const sim::GreyImage g = RenderContacts({main, lone}, 400, 900, &truth);
    std::vector<uint8_t> work(g.pixels.size());
    MainFingerRegion first;
    FingerRegion second;
    ASSERT_EQ(FindFingerRegions(g.pixels.data(), g.height, g.width, work.data(), &first, &second), 5);
    const FingerRegion& r = first.region;
    EXPECT_NEAR(r.row, 630, 5);  // the main print alone
    if (large) {
      EXPECT_NEAR(r.orientation, 270, 3);
      EXPECT_LT(r.measure, 21);
      EXPECT_EQ(r.status, 11);  // the main print's label, after the print above it
    } else {
      EXPECT_EQ(r.orientation, 270);
      EXPECT_EQ(r.measure, 90);
      EXPECT_EQ(r.status, 1);
    }
  }
}

TEST(FindFingerRegions, AnEleventhAreaReplacesTheSmallestOnlyWhenLarger) {
  // Ten round prints in two rows, the top-left one the smallest and set 3 mm higher than the
  // rest (so the union box's top is its top while it is stored), and an eleventh print below them.
  auto scene = [](double a11) {
    std::vector<sim::ContactSpec> c;
    for (int row = 0; row < 2; ++row)
      for (int i = 0; i < 5; ++i) {
        sim::ContactSpec k;
        k.xMm = -24.4 + 12.2 * i;
        k.yMm = row == 0 ? -12.2 : 0;
        k.a = 4, k.b = 4.4;
        if (row == 0 && i == 0) k.yMm = -15.2, k.a = 3.5, k.b = 3.9;
        c.push_back(k);
      }
    sim::ContactSpec k;
    k.yMm = 12.2;
    k.a = a11, k.b = a11 + 0.4;
    c.push_back(k);
    return c;
  };
  for (const bool larger : {true, false}) {
    SCOPED_TRACE(larger ? "larger eleventh" : "smaller eleventh");
    sim::SceneTruth truth;
    const sim::GreyImage g = RenderContacts(scene(larger ? 4.2 : 3.0), 1300, 800, &truth);
    ASSERT_EQ(truth.fingers.size(), 11u);
    int smallestTop = g.height, othersTop = g.height, eleventhTop = 0;
    for (const sim::FingerTruth& t : truth.fingers) {
      if (t.centreY > 550) eleventhTop = t.top;
      else if (t.centreX < 300 && t.centreY < 200) smallestTop = t.top;
      else othersTop = std::min(othersTop, t.top);
    }
    ASSERT_LT(smallestTop + 20, othersTop);
    std::vector<uint8_t> work(g.pixels.size());
    MainFingerRegion first;
    FingerRegion second;
    ASSERT_EQ(FindFingerRegions(g.pixels.data(), g.height, g.width, work.data(), &first, &second), 5);
    if (larger) {
      EXPECT_NEAR(first.region.top, othersTop, 15);
      EXPECT_GT(first.region.bottom, eleventhTop);
    } else {
      EXPECT_NEAR(first.region.top, smallestTop, 15);
      EXPECT_LT(first.region.bottom, eleventhTop);
    }
  }
}

}  // namespace
