// Form lines of rendered tenprint cards: the horizontal lines, the vertical lines of the rolled
// rows with the card angle and the ten box edges, and the plain row's four boxes, measured on the
// card reduced by 8 against the kit's ground truth. Tolerances: line rows within 1 reduced row,
// the card angle within 0.1 degree, box edges within 2 reduced pixels (16 image pixels).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "FormLines.h"
#include "SlapSegmentation.h"
#include "sim/CardKit.h"

namespace {

struct Reduced {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels, hmap, vmap;
  std::vector<int32_t> rowProfile, columnProfile;
};

Reduced Reduce(const sim::GreyImage& img) {
  Reduced r;
  r.width = img.width / 8;
  r.height = img.height / 8;
  r.pixels.resize(size_t(r.width) * r.height);
  EXPECT_EQ(ReduceImageByBlocks(img.pixels.data(), img.height, img.width, 0, 0, r.height * 8, r.width * 8,
                                r.pixels.data(), 8),
            0);
  r.hmap.resize(r.pixels.size());
  r.vmap.resize(r.pixels.size());
  r.rowProfile.assign(size_t(r.height), 0);
  r.columnProfile.assign(size_t(r.width), 0);
  HorizontalLineResponse(r.pixels.data(), r.width, r.height, 0, 0, r.height, r.width, 27, 32, 5, 5, r.hmap.data(),
                         r.rowProfile.data());
  VerticalLineResponse(r.pixels.data(), r.width, r.height, 0, 0, r.height, r.width, 27, 32, 10, 1, r.vmap.data(),
                       r.columnProfile.data());
  return r;
}

std::vector<FormLine> Found(const FormLine* lines, int capacity) {
  std::vector<FormLine> v;
  for (int i = 0; i < capacity && lines[i].strength != 0; ++i) v.push_back(lines[i]);
  return v;
}

// Vertical lines of a row span, searched as the skew measurement does: minimum strength from
// H + H/3 up in steps of H/3.
int VerticalLines(const Reduced& r, int top, int bottom, int H, int Dmin, int Dmax, FormLine* lines) {
  std::vector<int32_t> profile(size_t(r.width), 0);
  ColumnProfile(r.vmap.data(), r.width, top, bottom, 0, r.width - 1, 32, profile.data());
  int found = 0, candidates = 0;
  for (int S = H + H / 3; S <= 2 * H; S += H / 3) {
    found = DetectLines(profile.data(), 0, r.width - 1, S, 10, Dmin, Dmax, 1, lines, &candidates);
    if (found > 6 || candidates < 16) break;
  }
  return found;
}

class RenderedCards : public ::testing::Test {
 protected:
  static sim::CardSpec Spec(double angle) {
    sim::CardSpec def;
    def.angleDeg = angle;
    // The rolled boxes take turns with two prints: as much clutter for the line searches at a
    // fifth of the rendering.
    def.rolledPrintVariety = 2;
    def.mirroredHands = true;
    return def;
  }
};

TEST_F(RenderedCards, HorizontalLinesCardAngleAndBoxEdges) {
  struct Case {
    double angle;
    bool prints;
    bool omitSeparator;  // the measurement lays the missing separator out from the box spacing
  } cases[] = {{0.0, true, false}, {0.8, false, false}, {-1.2, false, true}, {0.5, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "angle " << c.angle << " separator omitted " << c.omitSeparator);
    sim::CardSpec def = Spec(c.angle);
    def.prints = c.prints;
    def.omitInnerSeparator = c.omitSeparator;
    // One seed for all: the cards with prints share their finger patterns, rendered once.
    const sim::RenderedCard card = sim::RenderCard(def, 70);
    const sim::CardTruth& truth = card.truth;
    const Reduced r = Reduce(card.image);

    // Horizontal lines: every ruled line once, in order, numbered as one regular sequence.
    const int full = (r.width - 10) * 2 - 20;
    FormLine h[40];
    int candidates = 0;
    const int k = DetectLines(r.rowProfile.data(), 0, r.height - 1, full / 3, 40, 520 / 8, 1360 / 8, 1, h, &candidates);
    const std::vector<FormLine> rows = Found(h, 40);
    ASSERT_EQ(rows.size(), truth.horizontalV.size());
    EXPECT_EQ(k, int(rows.size()) - 1);
    for (size_t i = 0; i < rows.size(); ++i) {
      double x, y;
      truth.ToImage(truth.cx, truth.horizontalV[i], x, y);
      EXPECT_GE(y / 8, rows[i].first - 1.0) << i;
      EXPECT_LE(y / 8, rows[i].end + 1.0) << i;
      EXPECT_EQ(rows[i].sequence, std::min<int>(int(i) + 1, k)) << i;
    }

    // Vertical lines of the rolled rows and the card angle.
    const int top = (rows[0].first + rows[0].end) / 2, bottom = (rows[2].first + rows[2].end) / 2;
    const int H = std::max(rows[1].first - rows[0].end, rows[2].first - rows[1].end);
    FormLine v[10];
    VerticalLines(r, top, bottom, H, 640 / 8, 410, v);
    ASSERT_EQ(Found(v, 10).size(), truth.rolledVerticalU.size());
    float angle = 0;
    const int P = MeasureCardAngle(r.width, r.vmap.data(), v, top + 2, bottom - 2, 100, &angle);
    EXPECT_NEAR(angle, truth.angleDeg, 0.1);
    EXPECT_NEAR(P, 760 / 8.0, 1.0);
    // Ten edges: the left and right edge of each box of the first row, at the span's rows.
    for (int b = 0; b < 5; ++b) {
      const sim::CardBox& box = truth.rolledBoxes[size_t(b)];
      for (int side = 0; side < 2; ++side) {
        const FormLine& e = v[2 * b + side];
        // Where the box's side crosses the edge's row.
        double x0, y0, x1, y1;
        truth.ToImage(side ? box.u1 : box.u0, truth.rolledTop, x0, y0);
        truth.ToImage(side ? box.u1 : box.u0, truth.rolledBottom, x1, y1);
        const double row = e.first * 8.0 + 4;
        const double x = x0 + (x1 - x0) * (row - y0) / (y1 - y0);
        EXPECT_NEAR(e.end * 8 + 4, x, 16.0) << "box " << b << " side " << side;
        EXPECT_GE(e.first, top);
        EXPECT_LE(e.first, bottom);
      }
    }
  }
}

TEST_F(RenderedCards, PlainRowBoxesOnASecondPage) {
  sim::CardSpec def = Spec(0.4);
  def.pageHeight = 2200;
  def.height = 3400;
  def.prints = true;
  def.printMask = 0xFu << 10;  // only the plain row is measured: prints in its four boxes only
  const sim::RenderedCard card = sim::RenderCard(def, 5);
  const sim::CardTruth& truth = card.truth;
  const Reduced r = Reduce(card.image);
  double x, y;
  truth.ToImage(truth.cx, truth.plainTop, x, y);
  const int upper = int(std::lround(y / 8));
  truth.ToImage(truth.cx, truth.plainBottom, x, y);
  const int lower = int(std::lround(y / 8));
  ASSERT_GT(upper, truth.pageHeight / 8);

  std::vector<int32_t> profile(size_t(r.width), 0);
  ColumnProfile(r.vmap.data(), r.width, upper + 2, lower - 2, 0, r.width - 1, 32, profile.data());
  FormLine lines[8];
  int candidates = 0, best = -1;
  for (int k = 2; k <= 5 && best < 0; ++k)
    if (DetectLines(profile.data(), 0, r.width - 1, k * (lower - upper) / 3, 8, 320 / 8, 210, 1, lines, &candidates) >=
        2)
      best = k;
  ASSERT_GT(best, 0);
  ASSERT_EQ(AnalysePlainRowLines(r.width, lines, upper, lower, 320 / 8, 640 / 8), 0);
  for (int i = 0; i < 8; ++i) {
    const double u = truth.plainVerticalU[size_t((i + 1) / 2)];
    truth.ToImage(u, (truth.plainTop + truth.plainBottom) / 2, x, y);
    EXPECT_NEAR(lines[i].end * 8 + 4, x, 16.0) << "e" << i;
    EXPECT_EQ(lines[i].first, (upper + lower) / 2);
  }
}

}  // namespace
