// Line detector, card-angle measurement and plain-row analysis on synthetic profiles, maps and
// line lists: numbering of regular sequences, the edge layout (missing and double separators,
// boxes beyond the frame), the refusals with their exact messages, and the bounded layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "FormLines.h"

namespace {

// A profile with a line of values {30, 200, 200, 30} starting at each position.
std::vector<int32_t> Profile(const std::vector<int>& starts, int length, int peak = 200) {
  std::vector<int32_t> p(size_t(length), 0);
  for (int s : starts) {
    p[size_t(s)] = 30;
    p[size_t(s + 1)] = p[size_t(s + 2)] = peak;
    p[size_t(s + 3)] = 30;
  }
  return p;
}

TEST(DetectLines, EvenlySpacedLinesAreNumberedAsOneSequence) {
  for (int n = 2; n <= 7; ++n) {
    std::vector<int> starts;
    for (int i = 0; i < n; ++i) starts.push_back(20 + 100 * i);
    const std::vector<int32_t> p = Profile(starts, 100 * n + 40);
    FormLine lines[10];
    int candidates = -1;
    EXPECT_EQ(DetectLines(p.data(), 0, int(p.size()) - 1, 300, 10, 80, 130, 1, lines, &candidates), n - 1);
    EXPECT_EQ(candidates, n);
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(lines[i].first, starts[size_t(i)] + 1) << n << " " << i;  // narrowed to the values above a third
      EXPECT_EQ(lines[i].end, starts[size_t(i)] + 3);
      EXPECT_EQ(lines[i].strength, 400);
      EXPECT_EQ(lines[i].sequence, std::min(i + 1, n - 1)) << n << " " << i;
    }
    EXPECT_EQ(lines[n].strength, 0);
  }
}

// Once its sum exceeds S a run ends before a value below 40: a value of 40 still belongs to it, 39
// does not. Peaks of 55 are not narrowed; one line alone is not numbered.
TEST(DetectLines, ARunPastItsStrengthEndsBeforeAValueBelow40) {
  for (int next : {40, 39}) {
    std::vector<int32_t> p(200, 0);
    const int32_t run[] = {55, 55, 55, next, 25};
    std::copy(std::begin(run), std::end(run), p.begin() + 50);
    FormLine lines[10];
    int candidates = 0;
    EXPECT_EQ(DetectLines(p.data(), 0, 199, 150, 10, 80, 130, 1, lines, &candidates), 0);
    EXPECT_EQ(candidates, 1);
    EXPECT_EQ(lines[0].first, 50) << next;
    EXPECT_EQ(lines[0].end, next == 40 ? 54 : 53) << next;
    EXPECT_EQ(lines[0].strength, next == 40 ? 205 : 165) << next;
    EXPECT_EQ(lines[1].strength, 0);
  }
}

// Numbering: a line that follows the chosen one closer than Dmin takes its place only when it
// starts less than Dmax after the reference and is more than 1.5 times as dense. Lines of density
// 100 at 20 and 120 (the chosen one), then a denser one: at 150 (Dmax = 130 after the reference) it
// does not take the place, nor at 140 with exactly 1.5 times the density; at 140 and 1.6 times it
// does. A line that stays out of the sequence starts a new reference too close to be numbered.
TEST(DetectLines, ACloseDenserLineTakesTheChosenOnesPlace) {
  const struct {
    int start, peak;
    std::vector<int> sequence;
  } cases[] = {{149, 200, {1, 1, 0}}, {139, 150, {1, 1, 0}}, {139, 160, {1, 0, 1}}};
  for (const auto& c : cases) {
    std::vector<int32_t> p = Profile({19, 119}, 300, 100);
    const std::vector<int32_t> q = Profile({c.start}, 300, c.peak);
    for (int i = c.start; i < c.start + 4; ++i) p[size_t(i)] = q[size_t(i)];
    FormLine lines[10];
    int candidates = 0;
    EXPECT_EQ(DetectLines(p.data(), 0, 299, 150, 10, 80, 130, 0, lines, &candidates), 1) << c.start << " " << c.peak;
    ASSERT_EQ(lines[2].first, c.start + 1);
    EXPECT_EQ(lines[3].strength, 0);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(lines[i].sequence, c.sequence[i]) << c.start << " " << c.peak << " line " << i;
  }
}

TEST(DetectLines, SpacingOutsideTheBoundsBreaksTheSequence) {
  // 100, 100, 200 (beyond Dmax), 100: the far line starts a new reference and is not numbered with
  // the line before it.
  const std::vector<int32_t> p = Profile({20, 120, 220, 420, 520}, 600);
  FormLine lines[10];
  int candidates = 0;
  const int k = DetectLines(p.data(), 0, 599, 300, 10, 80, 130, 1, lines, &candidates);
  EXPECT_EQ(k, 3);
  const int want[] = {1, 2, 2, 3, 3};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(lines[i].sequence, want[i]) << i;
}

TEST(DetectLines, WeakRunsFaintLinesAndTheLineLimit) {
  // A run below S is no candidate; a sparse run (density below 50 and S / 2) is not considered.
  std::vector<int32_t> p = Profile({20, 120, 220}, 400);
  for (int i = 300; i < 312; ++i) p[size_t(i)] = 30;  // sum 360 >= S, density 30
  FormLine lines[10];
  int candidates = 0;
  EXPECT_EQ(DetectLines(p.data(), 0, 399, 300, 10, 80, 130, 1, lines, &candidates), 2);
  EXPECT_EQ(candidates, 3);
  EXPECT_EQ(lines[3].strength, 0);

  // A faint line close after a strong one (density x 2.8 at most the strong one's, strength x 1.5
  // below it) is dropped.
  std::vector<int32_t> q = Profile({20, 120, 220}, 400);
  q[150] = q[151] = q[152] = 70;
  EXPECT_EQ(DetectLines(q.data(), 0, 399, 150, 10, 80, 130, 1, lines, &candidates), 2);
  EXPECT_EQ(lines[1].first, 121);
  EXPECT_EQ(lines[2].first, 221);

  // At most M lines: with M = 2 the third line replaces the least dense one when it is at least
  // as dense (the two left are too far apart to be numbered).
  std::vector<int32_t> r = Profile({20, 120}, 400);
  std::vector<int32_t> dense = Profile({220}, 400, 250);
  for (int i = 220; i < 224; ++i) r[size_t(i)] = dense[size_t(i)];
  r[121] = r[122] = 150;  // the second line is the least dense
  EXPECT_EQ(DetectLines(r.data(), 0, 399, 250, 2, 80, 130, 1, lines, &candidates), 0);
  EXPECT_EQ(lines[0].first, 21);
  EXPECT_EQ(lines[1].first, 221);
}

TEST(DetectLines, NarrowingCrossesALowNeighbourTowardsAHighValue) {
  // Peak 200 with a low right neighbour (40) before 150, and a low left neighbour (50): the line
  // widens across the right one.
  std::vector<int32_t> p(40, 0);
  const int32_t run[] = {55, 200, 40, 150, 25};  // 55 is below a third of the peak
  std::copy(run, run + 5, p.begin() + 10);
  FormLine lines[4];
  int candidates = 0;
  DetectLines(p.data(), 0, 39, 300, 4, 80, 130, 0, lines, &candidates);
  EXPECT_EQ(candidates, 1);
  EXPECT_EQ(lines[0].first, 11);
  EXPECT_EQ(lines[0].end, 14);
  EXPECT_EQ(lines[0].strength, 390);
  // Equal low neighbours on both sides: the left one is taken first, and that is enough.
  std::vector<int32_t> q(40, 0);
  const int32_t tie[] = {45, 200, 45};
  std::copy(tie, tie + 3, q.begin() + 10);
  DetectLines(q.data(), 0, 39, 240, 4, 80, 130, 0, lines, &candidates);
  EXPECT_EQ(lines[0].first, 10);
  EXPECT_EQ(lines[0].end, 12);
}

TEST(DetectLines, DenseLinesReplaceFaintOnes) {
  // A line at least 2.8 times as dense as a faint one less than Dmin before it replaces it.
  std::vector<int32_t> p = Profile({20, 100, 150}, 300, 400);
  const std::vector<int32_t> faint = Profile({100}, 300, 100);
  for (int i = 100; i < 104; ++i) p[size_t(i)] = faint[size_t(i)];
  FormLine lines[10];
  int candidates = 0;
  DetectLines(p.data(), 0, 299, 150, 10, 80, 200, 0, lines, &candidates);
  EXPECT_EQ(candidates, 3);
  EXPECT_EQ(lines[0].first, 21);
  EXPECT_EQ(lines[1].first, 151);
  EXPECT_EQ(lines[2].strength, 0);
  // A line that reaches the profile's end replaces a faint last line when the line before that
  // is 2.8 times as dense.
  std::vector<int32_t> q = Profile({20, 100}, 174, 400);
  for (int i = 100; i < 104; ++i) q[size_t(i)] = faint[size_t(i)];
  q[170] = 30;
  q[171] = q[172] = q[173] = 400;
  DetectLines(q.data(), 0, 173, 150, 10, 80, 200, 0, lines, &candidates);
  EXPECT_EQ(lines[1].first, 171);
  EXPECT_EQ(lines[1].end, 174);
  EXPECT_EQ(lines[2].strength, 0);
}

// A candidate exactly 2.8 times as dense as the line before it, less than Dmin after it, replaces
// that line; 2.7 times as dense, both stay.
TEST(DetectLines, ACandidate2Point8TimesAsDenseReplacesTheLineBefore) {
  for (const int peak : {280, 270}) {
    std::vector<int32_t> p = Profile({19, 119}, 300, 100);
    const std::vector<int32_t> dense = Profile({149}, 300, peak);
    for (int i = 149; i < 153; ++i) p[size_t(i)] = dense[size_t(i)];
    FormLine lines[10];
    int candidates = 0;
    DetectLines(p.data(), 0, 299, 150, 10, 80, 130, 0, lines, &candidates);
    EXPECT_EQ(candidates, 3) << peak;
    EXPECT_EQ(lines[0].first, 20) << peak;
    if (peak == 280) {
      EXPECT_EQ(lines[1].first, 150);
      EXPECT_EQ(lines[2].strength, 0);
    } else {
      EXPECT_EQ(lines[1].first, 120);
      EXPECT_EQ(lines[2].first, 150);
    }
  }
}

// Nothing to scan (last before first): no line, the list ends at once, also with room for one line.
TEST(DetectLines, AnEmptyRangeClearsTheList) {
  const std::vector<int32_t> p = Profile({20}, 100);
  for (const int M : {1, 10}) {
    FormLine lines[10];
    for (FormLine& l : lines) l = {7, 7, 7, 7};
    int candidates = -1;
    EXPECT_EQ(DetectLines(p.data(), 50, 40, 150, M, 80, 130, 1, lines, &candidates), 0);
    EXPECT_EQ(candidates, 0);
    EXPECT_EQ(lines[0].strength, 0) << M;
    EXPECT_EQ(lines[0].first, 0) << M;
    EXPECT_EQ(lines[0].end, 0) << M;
    EXPECT_EQ(lines[0].sequence, 0) << M;
  }
}

// A run ends before 35 once its sum exceeds S; the 35 opens the next run at the end index of the
// line just found: an overlapping candidate, which replaces that line when it is denser (78.3
// against 75.5; the line before, of density 100, does not count) and is not counted.
TEST(DetectLines, AnOverlappingDenserCandidateReplacesTheLastLine) {
  std::vector<int32_t> p = Profile({10}, 200, 100);
  const int32_t runs[] = {75, 76, 35, 100, 100, 10};
  std::copy(std::begin(runs), std::end(runs), p.begin() + 50);
  FormLine lines[10];
  int candidates = 0;
  DetectLines(p.data(), 0, 199, 150, 10, 80, 130, 0, lines, &candidates);
  EXPECT_EQ(candidates, 2);
  EXPECT_EQ(lines[0].first, 11);
  EXPECT_EQ(lines[1].first, 52);
  EXPECT_EQ(lines[1].end, 55);
  EXPECT_EQ(lines[1].strength, 235);
  EXPECT_EQ(lines[2].strength, 0);
}

TEST(DetectLines, EndCorrections) {
  // A weak line first numbered k gives its number to the strong line before it.
  std::vector<int32_t> p = Profile({20, 120, 220, 420}, 520, 400);
  const std::vector<int32_t> weak = Profile({320}, 520, 150);
  for (int i = 320; i < 324; ++i) p[size_t(i)] = weak[size_t(i)];
  FormLine lines[10];
  int candidates = 0;
  EXPECT_EQ(DetectLines(p.data(), 0, 519, 300, 10, 90, 130, 0, lines, &candidates), 4);
  int want[] = {1, 2, 4, 0, 4};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(lines[i].sequence, want[i]) << i;
  // Weak is a strength below 2S (with a density below S): three values of 200 (strength 600 = 2S)
  // keep their number, 200, 200, 199 give it away.
  for (const int last : {200, 199}) {
    std::vector<int32_t> r = Profile({20, 120, 220, 420}, 520, 400);
    const int32_t wide[] = {30, 200, 200, last, 30};
    std::copy(std::begin(wide), std::end(wide), r.begin() + 320);
    EXPECT_EQ(DetectLines(r.data(), 0, 519, 300, 10, 90, 130, 0, lines, &candidates), 4);
    ASSERT_EQ(lines[3].strength, 400 + last) << last;
    const std::vector<int> expected = last == 200 ? std::vector<int>{1, 2, 3, 4, 4} : std::vector<int>{1, 2, 4, 0, 4};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(lines[i].sequence, expected[size_t(i)]) << last << " " << i;
  }
  // The last line close after a line numbered k - 1 that is clearly stronger than the lines
  // between them takes number k - 1 instead.
  std::vector<int32_t> q = Profile({20, 120, 220, 410}, 520, 400);
  const std::vector<int32_t> lesser = Profile({320}, 520, 300);
  for (int i = 320; i < 324; ++i) q[size_t(i)] = lesser[size_t(i)];
  EXPECT_EQ(DetectLines(q.data(), 0, 519, 300, 10, 90, 200, 0, lines, &candidates), 3);
  int want2[] = {1, 2, 3, 0, 3};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(lines[i].sequence, want2[i]) << i;
}

TEST(DetectLines, PurgeRemovesLinesFarWeakerThanTheDensest) {
  std::vector<int32_t> p = Profile({20, 120, 220}, 400);
  const std::vector<int32_t> weak = Profile({320}, 400, 60);
  for (int i = 320; i < 324; ++i) p[size_t(i)] = weak[size_t(i)];  // density 42 x 3 < 200
  FormLine lines[10];
  int candidates = 0;
  DetectLines(p.data(), 0, 399, 100, 10, 80, 130, 1, lines, &candidates);
  EXPECT_EQ(lines[3].strength, 0) << "purged";
  DetectLines(p.data(), 0, 399, 100, 10, 80, 130, 0, lines, &candidates);
  EXPECT_EQ(lines[3].first, 320);
}

// A response map with vertical lines (2 pixels thick) over rows 0..H-1; each line is
// {column at row 0, columns per row}.
struct Map {
  int width, height;
  std::vector<uint8_t> pixels;
  std::vector<FormLine> lines;
  Map(int w, int h) : width(w), height(h), pixels(size_t(w) * h, 0) {}
  void Line(double column, double slope = 0, int fromRow = 0, int toRow = -1) {
    int lo = width, hi = 0;
    for (int r = fromRow; r <= (toRow < 0 ? height - 1 : toRow); ++r) {
      const int c = int(std::lround(column + slope * r));
      for (int k = c; k < c + 2; ++k)
        if (k >= 0 && k < width) pixels[size_t(r) * width + k] = 200;
      lo = std::min(lo, c);
      hi = std::max(hi, c + 1);
    }
    lines.push_back({1000, lo - 2, hi + 3, int(lines.size()) + 1});
  }
  struct Result {
    int code;
    float angle;
    std::vector<int> columns, rows;
    std::string out;
  };
  Result Measure() {
    std::vector<FormLine> l = lines;
    l.resize(10, FormLine{0, 0, 0, 0});
    Result r{};
    testing::internal::CaptureStdout();
    r.code = MeasureCardAngle(width, pixels.data(), l.data(), 0, height - 1, 100, &r.angle);
    r.out = testing::internal::GetCapturedStdout();
    if (r.code > 0)
      for (int i = 0; i < 10; ++i) {
        r.columns.push_back(l[size_t(i)].end);
        r.rows.push_back(l[size_t(i)].first);
      }
    return r;
  }
};

// Line centres: a pixel pair at c and c + 1 has its mean column at c + 0.5.
Map Card(int width, const std::vector<double>& columns, double slope = 0) {
  Map m(width, 120);
  for (double c : columns) m.Line(c, slope);
  return m;
}

TEST(MeasureCardAngle, EdgeLayouts) {
  struct Case {
    const char* name;
    int width;
    std::vector<double> lines;
    std::vector<int> edges;  // columns of the ten edges (mean column + 0.5, rounded)
    int spacing;
  } cases[] = {
      {"frame and four separators", 500, {12, 107, 202, 297, 392, 487},
       {13, 108, 108, 203, 203, 298, 298, 393, 393, 488}, 95},
      {"a separator made from the spacing", 500, {12, 107, 297, 392, 487},
       {13, 108, 108, 203, 203, 298, 298, 393, 393, 488}, 95},
      {"double separators", 560, {10, 105, 125, 220, 240, 335, 355, 450, 470, 549},
       {11, 106, 126, 221, 241, 336, 356, 451, 471, 550}, 92},
      {"left edge made", 500, {107, 202, 297, 392, 487}, {13, 108, 108, 203, 203, 298, 298, 393, 393, 488}, 95},
      {"right edge made", 500, {12, 107, 202, 297, 392}, {13, 108, 108, 203, 203, 298, 298, 393, 393, 488}, 95},
      {"a box left of the frame dropped", 600, {107, 202, 297, 392, 487, 582},
       {108, 203, 203, 298, 298, 393, 393, 488, 488, 583}, 95},
  };
  for (const Case& c : cases) {
    Map m = Card(c.width, c.lines);
    const Map::Result r = m.Measure();
    SCOPED_TRACE(c.name);
    ASSERT_EQ(r.code, c.spacing) << r.out;
    EXPECT_NEAR(r.angle, 0.0, 1e-6);
    EXPECT_EQ(r.columns, c.edges);
    for (int row : r.rows) EXPECT_EQ(row, 60);  // mean row of 0..119, rounded
    EXPECT_EQ(r.out, "");
  }
}

// An edge column is trunc(mean column + 0.5): the first line's pixel pairs moved one column left
// in three rows at the top and three at the bottom (no tilt) have their mean column at 12.45, so
// its edge is 12, not 13 as a pair at 12 and 13 in every row gives.
TEST(MeasureCardAngle, EdgeColumnsRoundHalfUp) {
  Map m = Card(500, {12, 107, 202, 297, 392, 487});
  for (int r : {0, 1, 2, 117, 118, 119}) {
    m.pixels[size_t(r) * 500 + 11] = 200;
    m.pixels[size_t(r) * 500 + 13] = 0;
  }
  const Map::Result r = m.Measure();
  ASSERT_EQ(r.code, 95) << r.out;
  EXPECT_NEAR(r.angle, 0.0, 1e-6);
  EXPECT_EQ(r.columns, (std::vector<int>{12, 108, 108, 203, 203, 298, 298, 393, 393, 488}));
}

TEST(MeasureCardAngle, AngleSignAndConsensus) {
  // Columns that move left going down (-0.02 per row) give a positive angle of atan(0.02).
  Map tilted = Card(500, {12, 107, 202, 297, 392, 487}, -0.02);
  Map::Result r = tilted.Measure();
  EXPECT_EQ(r.code, 95);
  EXPECT_NEAR(r.angle, std::atan(0.02) * 180 / 3.14159265358979, 0.02);
  // One line 1 degree off is dropped; the others agree and its box edges are laid out from the
  // spacing.
  Map outlier(500, 120);
  for (double c : {12.0, 107.0, 297.0, 392.0, 487.0}) outlier.Line(c);
  outlier.Line(190, std::tan(-1.0 * 3.14159265358979 / 180));
  std::rotate(outlier.lines.begin() + 2, outlier.lines.begin() + 5, outlier.lines.end());  // left to right
  r = outlier.Measure();
  EXPECT_EQ(r.code, 95);
  EXPECT_NEAR(r.angle, 0.0, 1e-6);
  EXPECT_EQ(r.columns, (std::vector<int>{13, 108, 108, 203, 203, 298, 298, 393, 393, 488}));
  // Two lines each more than 0.25 degrees from their mean cannot be settled; 0.2 degrees from it
  // they can.
  for (double apart : {0.6, 0.4}) {
    Map two(500, 900);  // tall enough that whole-pixel steps hardly bias the fit
    two.Line(100);
    two.Line(300, -std::tan(apart * 3.14159265358979 / 180));
    const Map::Result m = two.Measure();
    if (apart > 0.5) {
      EXPECT_EQ(m.code, -11);
    } else {
      EXPECT_NE(m.code, -11);
      EXPECT_NEAR(m.angle, apart / 2, 0.05);
    }
  }
}

// A pen stroke at 15 degrees over a third of the span, inside the second box, among six ruled lines
// at 0.5 degrees: the first search takes every line, so the stroke is dropped at once and the
// ruled lines agree. After a drop only angles of at most 10 degrees are searched: a second stroke
// is never dropped, the ruled lines go one by one and the last two still disagree.
TEST(MeasureCardAngle, SteepStrokeIsDroppedFirst) {
  const double deg = 3.14159265358979 / 180, ruled = -std::tan(0.5 * deg), stroke = -std::tan(15 * deg);
  const int height = 600;
  for (int strokes : {1, 2}) {
    Map m(500, height);
    for (double c : {12.0, 107.0}) m.Line(c, ruled);
    m.Line(180 - stroke * 200, stroke, 200, 399);  // columns 180 down to 127
    if (strokes == 2) m.Line(280 - stroke * 200, stroke, 200, 399);
    for (double c : {202.0, 297.0, 392.0, 487.0}) m.Line(c, ruled);
    std::sort(m.lines.begin(), m.lines.end(), [](const FormLine& x, const FormLine& y) { return x.first < y.first; });
    const Map::Result r = m.Measure();
    SCOPED_TRACE(strokes);
    if (strokes == 2) {
      EXPECT_EQ(r.code, -11);
      continue;
    }
    ASSERT_EQ(r.code, 95) << r.out;  // 95 / cos(0.5 degrees), rounded
    EXPECT_NEAR(r.angle, 0.5, 0.02);
    // Each edge is a ruled line at its mean row: its top column + 0.5 (the pixel pair) moved left
    // along the slope, rounded half up.
    ASSERT_EQ(r.columns.size(), 10u);
    const double top[10] = {12, 107, 107, 202, 202, 297, 297, 392, 392, 487};
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(r.columns[size_t(i)], int(std::trunc(top[i] + 0.5 + ruled * (height - 1) / 2.0 + 0.5))) << i;
      EXPECT_EQ(r.rows[size_t(i)], height / 2) << i;
    }
    EXPECT_EQ(r.out, "");
  }
}

TEST(MeasureCardAngle, RefusalsWithTheirMessages) {
  struct Case {
    const char* name;
    int width;
    std::vector<double> lines;
    int code;
    const char* out;
  } cases[] = {
      {"no gap above 50", 300, {20, 60}, -12, ""},
      {"a line too close to the one before", 500, {20, 60, 155, 250}, -13, "Err: Ndx=1 Dis=40.000000\n"},
      {"too few edges", 300, {12, 107, 202}, -15, "Err: Do not have enough lines 6\n"},
      {"edges made at both ends", 600, {107, 202, 297, 392, 487}, -14, "Err: Too many lines 12\n"},
      {"the last box beyond the right edge", 463, {12, 112, 212, 312, 412}, -16,
       "Err: Card shifts two much! 13 513 463 100.000000\n"},
      {"far more edges than a card has", 1100, {100, 200, 300, 400, 500, 600, 700, 800, 900, 1000}, -14,
       "Err: Too many lines 22\n"},
  };
  for (const Case& c : cases) {
    Map m = Card(c.width, c.lines);
    const Map::Result r = m.Measure();
    EXPECT_EQ(r.code, c.code) << c.name;
    EXPECT_EQ(r.out, c.out) << c.name;
  }
}

TEST(MeasureCardAngle, LinesThatCannotBeFitted) {
  Map none(500, 120);
  none.lines.push_back({1000, 100, 104, 1});  // no pixels
  EXPECT_EQ(none.Measure().code, -1);
  Map one = Card(500, {100});
  EXPECT_EQ(one.Measure().code, -2);
  // Pixels in one row only give no direction: such a line is not fitted (one line is left).
  Map flat = Card(500, {100});
  for (int c = 300; c < 320; ++c) flat.pixels[size_t(50) * 500 + c] = 200;
  flat.lines.push_back({1000, 300, 320, 2});
  EXPECT_EQ(flat.Measure().code, -2);
  // Unnumbered lines are skipped.
  Map unnumbered = Card(500, {12, 107});
  unnumbered.lines[1].sequence = 0;
  EXPECT_EQ(unnumbered.Measure().code, -2);
}

// Plain-row line records with the given centres (first = c - 2, end = c + 2).
std::vector<FormLine> Plain(const std::vector<int>& centres, const std::vector<int>& strengths = {}) {
  std::vector<FormLine> l;
  for (size_t i = 0; i < centres.size(); ++i)
    l.push_back({strengths.empty() ? 500 : strengths[i], centres[i] - 2, centres[i] + 2, int(i) + 1});
  l.resize(8, FormLine{0, 0, 0, 0});
  return l;
}

TEST(AnalysePlainRowLines, EdgesAndRefusals) {
  struct Case {
    const char* name;
    int width;
    std::vector<int> centres, strengths;
    int Tmin, Tmax;
    int code;
    std::vector<int> edges;
    const char* out;
  } cases[] = {
      {"five lines", 500, {12, 175, 250, 325, 488}, {}, 40, 80, 0, {12, 175, 175, 250, 250, 325, 325, 488}, ""},
      {"borders laid out from the widths", 500, {175, 250, 325}, {}, 40, 80, 0,
       {0, 175, 175, 250, 250, 325, 325, 500}, ""},
      {"middle line made from the thumb width", 500, {12, 175, 325, 488}, {}, 40, 80, 0,
       {12, 175, 175, 250, 250, 325, 325, 488}, ""},
      {"a stronger line 19 after replaces", 500, {12, 175, 194, 250, 325, 488}, {500, 500, 600, 500, 500, 500}, 40,
       80, 0, {12, 194, 194, 250, 250, 325, 325, 488}, ""},
      {"a weaker line 19 after is dropped", 500, {12, 175, 194, 250, 325, 488}, {500, 500, 400, 500, 500, 500}, 40,
       80, 0, {12, 175, 175, 250, 250, 325, 325, 488}, ""},
      {"a line 20 after stays", 500, {12, 175, 195, 250, 325, 488}, {}, 40, 80, -2, {},
       "Err: Too many lines stay in middle 3\n"},
      {"a line at 100 is the left border", 330, {100, 160, 320}, {}, 40, 80, -2, {},
       "Err: The first two lines 100 160\n"},
      {"a line at 101 is inside", 330, {101, 160, 320}, {}, 40, 80, -3, {},
       "Err: Sizes differ for flat4s 101 160 -59\n"},
      {"thumb box 43 wide", 450, {12, 175, 218, 440}, {}, 40, 80, 0, {12, 175, 175, 218, 218, 261, 261, 440}, ""},
      {"thumb box 42 wide", 450, {12, 175, 217, 440}, {}, 40, 80, -4, {}, ""},
      {"four-finger boxes 150 wide", 474, {12, 162, 237, 312, 462}, {}, 40, 80, 0,
       {12, 162, 162, 237, 237, 312, 312, 462}, ""},
      {"a four-finger box 149 wide", 474, {13, 162, 237, 312, 462}, {}, 40, 80, -4, {}, ""},
      {"the right four-finger box 149 wide", 474, {12, 162, 237, 312, 461}, {}, 40, 80, -4, {}, ""},
      {"the left thumb box 42 wide, the right 44", 436, {12, 175, 217, 261, 424}, {}, 40, 80, -4, {}, ""},
      {"the right thumb box 42 wide, the left 44", 436, {12, 175, 219, 261, 424}, {}, 40, 80, -4, {}, ""},
      {"both thumb boxes 43 wide", 436, {12, 175, 218, 261, 424}, {}, 40, 80, 0,
       {12, 175, 175, 218, 218, 261, 261, 424}, ""},
      {"one gap of 75 is one thumb", 500, {12, 175, 250, 488}, {}, 40, 80, 0, {12, 175, 175, 250, 250, 325, 325, 488},
       ""},
      {"one gap of 76 is two thumbs", 500, {12, 175, 251, 488}, {}, 40, 80, -3, {}, "Err: Thumb size 38\n"},
      {"one line", 500, {250}, {}, 40, 80, -1, {}, "Err: Slap lines 1\n"},
      {"lines inside the four-finger areas are ignored", 500, {12, 60, 100, 488}, {}, 40, 80, -1, {},
       "Err: Flat4 too big 476 476\n"},
      {"thumbs differ", 500, {12, 175, 230, 325, 488}, {}, 40, 80, -3, {},
       "Err: Sizes differ for thumbs 75 40 230\n"},
      {"thumb too wide", 500, {12, 160, 250, 340, 488}, {}, 40, 80, -3, {}, "Err: Thumb size 90\n"},
      {"seven lines", 500, {5, 160, 185, 210, 250, 290, 315, 490}, {}, 40, 80, -2, {}, "Err: Slap lines 6 7\n"},
  };
  for (const Case& c : cases) {
    std::vector<FormLine> l = Plain(c.centres, c.strengths);
    testing::internal::CaptureStdout();
    const int code = AnalysePlainRowLines(c.width, l.data(), 40, 160, c.Tmin, c.Tmax);
    const std::string out = testing::internal::GetCapturedStdout();
    SCOPED_TRACE(c.name);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(out, c.out);
    if (code == 0)
      for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(l[size_t(i)].end, c.edges[size_t(i)]) << "e" << i;
        EXPECT_EQ(l[size_t(i)].first, 100);
      }
  }
}

}  // namespace
