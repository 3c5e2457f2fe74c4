// Whole-card analysis of rendered tenprint cards against the kit's ground truth: rolled-print
// centres and box size, plain row and its four boxes, flat prints cut into fingers, finger order,
// stacked pages, missing prints, the demographic fit and threshold, the bar code in its place,
// the condition codes of cards that lack a part, the report with its retry, and the argument
// checks. Tolerances: box centres and sizes within 16 image pixels (2 pixels of the reduced card),
// flat finger centres within 80 pixels (4 mm) of the rendered fingertip centre: the segmentation
// centres a finger on its whole dark area, which reaches below the tip of a slanted little finger.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "FormLines.h"
#include "FormPosition.h"
#include "sim/CardKit.h"

namespace {

constexpr double kBoxTolerance = 16;
constexpr double kFingerTolerance = 80;
constexpr uint32_t kCards = AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT | AP_CLIPPEDFLATRIGHT | AP_CLIPPEDFLATLEFT;

struct Point {
  double x, y;
};

Point Image(const sim::CardTruth& t, double u, double v) {
  Point p{};
  t.ToImage(u, v, p.x, p.y);
  return p;
}
Point Centre(const sim::CardTruth& t, const sim::CardBox& b) { return Image(t, (b.u0 + b.u1) / 2, (b.v0 + b.v1) / 2); }

int Analyse(const sim::RenderedCard& card, FormPositionRecord* f) {
  return AutoFormPosition(card.image.pixels.data(), card.image.width, card.image.height, f);
}

// A record that defines the form as the kit draws it, fingers 1-5 left to right in the first row.
FormPositionRecord Defined(const sim::CardSpec& def, const sim::CardTruth& t, uint32_t requested) {
  FormPositionRecord f{};
  f.requested = requested;
  f.boxHeight = uint16_t(def.rowHeight);
  for (int i = 0; i < 10; ++i) {
    const Point p = Centre(t, t.rolledBoxes[size_t(i)]);
    f.rolled[i] = {int16_t(p.x), int16_t(p.y)};
  }
  if (def.plainHeight > 0) {
    const Point p = Image(t, t.cx, (t.plainTop + t.plainBottom) / 2);
    f.plainBox = {int16_t(p.x), int16_t(p.y), uint16_t(def.width), uint16_t(def.plainHeight)};
  }
  f.pageHeight = uint32_t(def.pageHeight);
  return f;
}

// Rolled centres against the boxes, finger i of the record at truth box order[i].
void ExpectRolled(const FormPositionRecord& f, const sim::CardTruth& t, const int order[10]) {
  for (int i = 0; i < 10; ++i) {
    const Point p = Centre(t, t.rolledBoxes[size_t(order[i])]);
    EXPECT_NEAR(f.rolled[i].x, p.x, kBoxTolerance) << "finger " << i + 1;
    EXPECT_NEAR(f.rolled[i].y, p.y, kBoxTolerance) << "finger " << i + 1;
  }
}
constexpr int kInOrder[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
constexpr int kReversed[10] = {4, 3, 2, 1, 0, 9, 8, 7, 6, 5};

void ExpectBox(const FormBox& b, const sim::CardTruth& t, const sim::CardBox& c, const char* what) {
  // The turned box's upright extent.
  const Point q[4] = {Image(t, c.u0, c.v0), Image(t, c.u1, c.v0), Image(t, c.u0, c.v1), Image(t, c.u1, c.v1)};
  double x0 = 1e9, x1 = -1e9, y0 = 1e9, y1 = -1e9;
  for (const Point& p : q) {
    x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
  }
  EXPECT_NEAR(b.cx, (x0 + x1) / 2, kBoxTolerance) << what;
  EXPECT_NEAR(b.cy, (y0 + y1) / 2, kBoxTolerance) << what;
  EXPECT_NEAR(b.w, x1 - x0, kBoxTolerance) << what;
  EXPECT_NEAR(b.h, y1 - y0, kBoxTolerance) << what;
}

// The plain row's boxes: record thumbs {right, left}, four fingers {right, left}; the kit's boxes
// run left four, left thumb, right thumb, right four.
void ExpectPlainBoxes(const FormPositionRecord& f, const sim::CardTruth& t) {
  ASSERT_EQ(t.plainBoxes.size(), 4u);
  ExpectBox(f.fourFingers[1], t, t.plainBoxes[0], "left four fingers");
  ExpectBox(f.thumbs[1], t, t.plainBoxes[1], "left thumb");
  ExpectBox(f.thumbs[0], t, t.plainBoxes[2], "right thumb");
  ExpectBox(f.fourFingers[0], t, t.plainBoxes[3], "right four fingers");
}

// Each found flat finger lies on a rendered fingertip of its hand (x within the box of the hand).
void ExpectFlatFingers(const FormTriple* triples, const sim::CardTruth& t, const std::vector<int>& isoFingers) {
  for (int iso : isoFingers) {
    const auto truth = std::find_if(t.plainFingers.begin(), t.plainFingers.end(),
                                    [&](const sim::FingerTruth& g) { return g.isoFinger == iso; });
    ASSERT_NE(truth, t.plainFingers.end()) << iso;
    const bool found = std::any_of(triples, triples + 5, [&](const FormTriple& tr) {
      return std::hypot(tr.x - truth->centreX, tr.y - truth->centreY) <= kFingerTolerance;
    });
    EXPECT_TRUE(found) << "finger " << iso << " at " << truth->centreX << "," << truth->centreY;
  }
}

// Draws a ruled line 6 pixels wide from (x0, y0) to (x1, y1), walking its rows (a near-vertical
// line) or its columns (a near-horizontal one).
void Rule(sim::GreyImage& img, double x0, double y0, double x1, double y1, uint8_t ink) {
  const bool vertical = std::abs(y1 - y0) >= std::abs(x1 - x0);
  const int from = int(vertical ? y0 : x0), to = int(vertical ? y1 : x1);
  for (int a = from; a <= to; ++a) {
    const double f = (a - from) / double(std::max(1, to - from));
    const double b = vertical ? x0 + (x1 - x0) * f : y0 + (y1 - y0) * f;
    for (int d = -3; d < 3; ++d) {
      const int across = int(std::lround(b)) + d;
      uint8_t& px = vertical ? img.at(across, a) : img.at(a, across);
      px = std::min(px, ink);
    }
  }
}

std::vector<int> RightHand() { return {1, 2, 3, 4, 5}; }
std::vector<int> LeftHand() { return {6, 7, 8, 9, 10}; }

// Paints paper over a vertical stripe of the card image (rows y0..y1).
void Erase(sim::GreyImage& img, int x, int y0, int y1, uint8_t paper) {
  for (int y = y0; y < y1; ++y)
    for (int c = x - 8; c <= x + 8; ++c) img.at(c, y) = paper;
}

// A card of `def` without prints (seed 15) whose plain row keeps only its frame lines and its
// middle line: the lines between them are painted over but for 12 pixels at either end.
sim::RenderedCard PlainRowOfMiddleLine(sim::CardSpec& def) {
  def.prints = false;
  sim::RenderedCard card = sim::RenderCard(def, 15);
  const sim::CardTruth& t = card.truth;
  for (size_t i : {size_t(1), size_t(3)})
    Erase(card.image, int(t.plainVerticalU[i]), int(t.plainTop) + 12, int(t.plainBottom) - 12, def.paper);
  return card;
}

// A record whose skew could not be measured: nothing found, and the rolled boxes laid out upright
// in five equal columns of the reduced width, finger i in column order[i] % 5 on its row.
void ExpectUprightColumns(const FormPositionRecord& f, const sim::CardSpec& def, const sim::CardTruth& t,
                          const int order[10]) {
  EXPECT_EQ(f.found, 0u);
  const int column = def.width / 8 / 5;
  EXPECT_EQ(f.boxWidth, column * 8);
  EXPECT_NEAR(f.boxHeight, def.rowHeight, kBoxTolerance);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(f.rolled[i].x, ((order[i] % 5) * column + column / 2) * 8) << i;
    EXPECT_NEAR(f.rolled[i].y, Centre(t, t.rolledBoxes[size_t(i)]).y, kBoxTolerance) << i;
  }
}

TEST(FormPositionCards, UprightCardWithEveryPartFound) {
  sim::CardSpec def;
  def.rolledPrintVariety = 2;
  def.mirroredHands = true;
  // A bar code in the demographic area gives it ink (32) on paper (228).
  def.barcode.data = "TESSIK";
  def.barcodeX = 1400;
  def.barcodeY = 120;
  const sim::RenderedCard card = sim::RenderCard(def, 11);
  const sim::CardTruth& t = card.truth;
  // The demographic area above the first row; its top stays, its bottom ends at the row's top.
  FormPositionRecord f = Defined(def, t, kCards | AP_DEMOGRAPH | AP_DEMOTHRESHOLD);
  f.demographic = {2000, 250, 3800, 400};
  testing::internal::CaptureStdout();
  const int r = AutoFormPositionReport(card.image.pixels.data(), def.width, def.height, &f);
  const std::string report = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, 0);
  EXPECT_EQ(f.found, kCards | AP_DEMOGRAPH | AP_DEMOTHRESHOLD);
  ExpectRolled(f, t, kInOrder);
  EXPECT_NEAR(f.boxWidth, t.rolledBoxes[0].u1 - t.rolledBoxes[0].u0, kBoxTolerance);
  EXPECT_NEAR(f.boxHeight, def.rowHeight, kBoxTolerance);
  const Point plain = Image(t, t.cx, (t.plainTop + t.plainBottom) / 2);
  EXPECT_NEAR(f.plainBox.cy, plain.y, kBoxTolerance);
  EXPECT_NEAR(f.plainBox.h, def.plainHeight, kBoxTolerance);
  EXPECT_NEAR(f.plainBox.cx, def.width / 2, 8);
  ExpectPlainBoxes(f, t);
  ExpectFlatFingers(f.rightFlat, t, RightHand());
  ExpectFlatFingers(f.leftFlat, t, LeftHand());
  // Fitted: from the top kept (50) to the first row's top at its found centre - box height / 2.
  EXPECT_NEAR(f.demographic.cy - f.demographic.h / 2, 250 - 400 / 2, 1);
  EXPECT_NEAR(f.demographic.cy + f.demographic.h / 2, def.rowTop, kBoxTolerance);
  EXPECT_GT(f.demographicThreshold, 32u);
  EXPECT_LT(f.demographicThreshold, 228u);

  // The report in its order, values as the record holds them.
  char line[160];
  std::snprintf(line, sizeof line, "AP_TENPRINT : Cared!  Dimension : (%4d,%4d)\n", f.boxHeight, f.boxWidth);
  const size_t at[] = {report.find("AutoFormPosition Return = 0\n"), report.find("AP_DEMOGRAPH : Cared!  "),
                       report.find("AP_DEMOTHRESHOLD : Cared! "), report.find("AP_BARCODE : Cared  "),
                       report.find(line), report.find("AP_PLAINTP : Cared!  "),
                       report.find("AP_FLATPRINT : Cared!\nThumb Box : "), report.find("AP_CLIPPEDFLATRIGHT : Cared!\n"),
                       report.find("AP_CLIPPEDFLATLEFT : Cared!\n")};
  for (size_t i = 0; i < std::size(at); ++i) {
    ASSERT_NE(at[i], std::string::npos) << i << "\n" << report;
    if (i > 0) {
      EXPECT_GT(at[i], at[i - 1]) << i;
    }
  }
  std::snprintf(line, sizeof line, "(%4d,%4d) (%4d,%4d) ", f.rolled[0].y, f.rolled[0].x, f.rolled[1].y, f.rolled[1].x);
  EXPECT_NE(report.find(line), std::string::npos) << report;
  EXPECT_EQ(report.find("Re-try"), std::string::npos);

  // The rolled positions through the short interface: a cleared record, so both rows reversed.
  uint32_t out[22] = {};
  const int16_t size[2] = {int16_t(def.width), int16_t(def.height)};
  testing::internal::CaptureStdout();
  ASSERT_EQ(GetTenprintPositions(size, card.image.pixels.data(), out), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(out[0], f.boxHeight);
  EXPECT_EQ(out[1], f.boxWidth);
  for (int i = 0; i < 10; ++i) {
    const Point p = Centre(t, t.rolledBoxes[size_t(kReversed[i])]);
    EXPECT_NEAR(double(out[2 + 2 * i]), p.y, kBoxTolerance) << i;
    EXPECT_NEAR(double(out[3 + 2 * i]), p.x, kBoxTolerance) << i;
  }

  // Crop_Flat on the found boxes finds both hands again; its errors per hand.
  FormPositionRecord c = f;
  c.found = 0;
  c.requested = AP_CLIPPEDFLATRIGHT | AP_CLIPPEDFLATLEFT;
  EXPECT_EQ(Crop_Flat(size, card.image.pixels.data(), &c), 0);
  EXPECT_EQ(c.found, AP_CLIPPEDFLATRIGHT | AP_CLIPPEDFLATLEFT);
  ExpectFlatFingers(c.rightFlat, t, {2, 3, 4, 5});
  c.requested = AP_TENPRINT;
  EXPECT_EQ(Crop_Flat(size, card.image.pixels.data(), &c), -127);
  struct Refused {
    uint32_t hands;
    int width;  // of the four-finger boxes
    int16_t cx;
    int result;
  } refused[] = {
      {AP_CLIPPEDFLATRIGHT, 2501, 2000, -127},
      {AP_CLIPPEDFLATLEFT, 2501, 2000, -127 * 256},
      {AP_CLIPPEDFLATRIGHT | AP_CLIPPEDFLATLEFT, 1200, 300, -(127 + 256 * 127)},  // leaves the card
      {AP_CLIPPEDFLATRIGHT | AP_CLIPPEDFLATLEFT, 1200, 3500, -(127 + 256 * 127)},
  };
  for (const Refused& x : refused) {
    FormPositionRecord k = f;
    k.requested = x.hands;
    for (FormBox& b : k.fourFingers) {
      b.w = uint16_t(x.width);
      b.cx = x.cx;
    }
    EXPECT_EQ(Crop_Flat(size, card.image.pixels.data(), &k), x.result) << x.width << " " << x.cx;
    // The even split stands in for the fingers: finger i at x0 + (i + 1) w / 5 (right hand).
    if (x.hands & AP_CLIPPEDFLATRIGHT) {
      const int x0 = x.cx - x.width / 2, y0 = k.fourFingers[0].cy - k.fourFingers[0].h / 2;
      const int h = k.fourFingers[0].h;
      EXPECT_EQ(k.rightFlat[1].x, x0 + x.width / 5);
      EXPECT_EQ(k.rightFlat[4].x, x0 + 4 * x.width / 5);
      EXPECT_EQ(k.rightFlat[1].y, y0 + h / 2);
      EXPECT_EQ(k.rightFlat[2].y, y0 + h / 4);
      EXPECT_EQ(k.rightFlat[4].y, y0 + 3 * h / 4);
    }
    if (x.hands & AP_CLIPPEDFLATLEFT) {
      EXPECT_EQ(k.leftFlat[1].x, x.cx - x.width / 2 + 4 * x.width / 5);
    }
  }

  // Without its vertical lines the plain row is abandoned (-1); the report cuts the caller's
  // four-finger boxes into fingers instead and then counts the plain row as found.
  sim::RenderedCard bare = card;
  for (double u : t.plainVerticalU)
    Erase(bare.image, int(u), int(t.plainTop) + 12, int(t.plainBottom) - 12, def.paper);
  FormPositionRecord a = Defined(def, t, kCards);
  for (int i = 0; i < 2; ++i) {
    a.fourFingers[i] = f.fourFingers[i];
    a.thumbs[i] = f.thumbs[i];
  }
  EXPECT_EQ(Analyse(bare, &a), -1);
  EXPECT_EQ(a.found, AP_TENPRINT);
  testing::internal::CaptureStdout();
  EXPECT_EQ(AutoFormPositionReport(bare.image.pixels.data(), def.width, def.height, &a), 0);
  const std::string retry = testing::internal::GetCapturedStdout();
  EXPECT_NE(retry.find("Finding prints 3 failed"), std::string::npos) << retry;
  EXPECT_NE(retry.find("Re-try Crop_Flat\nRe-try Crop_Flat Ret = 0\nAP_CLIPPEDFLATRIGHT : Cared!\n"),
            std::string::npos)
      << retry;
  EXPECT_EQ(a.found, kCards);
  EXPECT_EQ(a.rightFlat[0].x, f.thumbs[0].cx);
  ExpectFlatFingers(a.leftFlat, t, {7, 8, 9, 10});
}

TEST(FormPositionCards, SkewedCardWithMissingPrintsAndABarcode) {
  sim::CardSpec def;
  def.angleDeg = 0.8;
  def.rolledPrintVariety = 2;
  def.printMask = 0x3FFF & ~(1u << 2) & ~(1u << 6) & ~(1u << 13);  // fingers 3 and 7, right four fingers
  def.barcode.symbology = sim::Symbology::Code39;
  def.barcode.data = "TK4711";
  def.barcode.module = 4;
  def.barcode.barLength = 100;
  def.barcodeX = 1200;
  def.barcodeY = 140;
  const sim::RenderedCard card = sim::RenderCard(def, 12);
  const sim::CardTruth& t = card.truth;
  // A cleared record: both rows count as reversed, finger 1 is the rightmost box.
  FormPositionRecord f{};
  f.requested = kCards | 0x10u;
  f.barcodeBox = {2000, 210, 3600, 400};
  f.barcodeType = 39;
  f.barcodeLength = int32_t(def.barcode.data.size());
  const FormPositionRecord asked = f;
  EXPECT_EQ(Analyse(card, &f), 0);
  EXPECT_EQ(f.found, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT | AP_CLIPPEDFLATLEFT | 0x10u);
  // The report tells the hands apart: the left hand's flat prints were cut, the right's not.
  FormPositionRecord reported = asked;
  testing::internal::CaptureStdout();
  EXPECT_EQ(AutoFormPositionReport(card.image.pixels.data(), def.width, def.height, &reported), 0);
  const std::string report = testing::internal::GetCapturedStdout();
  EXPECT_NE(report.find("AP_CLIPPEDFLATRIGHT : Not cared!\n"), std::string::npos) << report;
  EXPECT_NE(report.find("AP_CLIPPEDFLATLEFT : Cared!\n"), std::string::npos) << report;
  ExpectRolled(f, t, kReversed);
  ExpectPlainBoxes(f, t);
  ExpectFlatFingers(f.leftFlat, t, {6, 7, 8, 9});
  EXPECT_STREQ(f.barcodeText, t.barcode.text.c_str());
  // The located box holds the symbol's bars.
  const sim::RenderedBarcode& b = t.barcode;
  const int quiet = def.barcode.quietModules * int(def.barcode.module);
  EXPECT_LE(f.barcodeBox.cx - f.barcodeBox.w / 2, b.x + quiet);
  EXPECT_GE(f.barcodeBox.cx + f.barcodeBox.w / 2, b.x + b.w - quiet);
  EXPECT_LE(f.barcodeBox.cy - f.barcodeBox.h / 2, b.y + def.barcode.margin + 8);
  EXPECT_GE(f.barcodeBox.cy + f.barcodeBox.h / 2, b.y + b.h - def.barcode.margin - 8);

  // The same code searched in the demographic box by the stand-alone locator.
  FormPositionRecord g{};
  g.requested = 0x10u;
  g.barcodeType = 39;
  g.barcodeLength = f.barcodeLength;
  g.demographic = {2000, 210, 3600, 400};
  const int16_t geometry[3] = {int16_t(def.width), int16_t(def.height), 500};
  EXPECT_EQ(LocateAndReadBarcode(geometry, card.image.pixels.data(), &g), 0);
  EXPECT_STREQ(g.barcodeText, t.barcode.text.c_str());
  EXPECT_EQ(g.found, 0x10u);
  g.demographic = {2000, 210, 4200, 400};  // wider than the card
  testing::internal::CaptureStdout();
  EXPECT_EQ(LocateAndReadBarcode(geometry, card.image.pixels.data(), &g), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Err: Barcode area is too big (400x4200x8)\n");
}

TEST(FormPositionCards, SkewedCardsKeepTheirBoxSize) {
  // A skewed ruled line crosses more rows of the row profile than an upright one; the rolled
  // boxes keep the size of the card's boxes whatever the skew.
  for (const double angle : {0.0, 1.5, -2.0, 3.0}) {
    sim::CardSpec def;
    def.angleDeg = angle;
    def.prints = false;
    const sim::RenderedCard card = sim::RenderCard(def, 17);
    const sim::CardTruth& t = card.truth;
    FormPositionRecord f = Defined(def, t, AP_TENPRINT);
    SCOPED_TRACE(angle);
    EXPECT_EQ(Analyse(card, &f), 0);
    EXPECT_EQ(f.found, AP_TENPRINT);
    ExpectRolled(f, t, kInOrder);
    EXPECT_NEAR(f.boxHeight, t.rolledBoxes[0].v1 - t.rolledBoxes[0].v0, kBoxTolerance);
    EXPECT_NEAR(f.boxWidth, t.rolledBoxes[0].u1 - t.rolledBoxes[0].u0, kBoxTolerance);
  }
}

TEST(FormPositionCards, BarcodeReadDownTheColumns) {
  // Bars along the rows in the paper above the first row; the search area spans most of the width.
  sim::CardSpec def;
  def.prints = false;
  sim::RenderedCard card = sim::RenderCard(def, 16);
  sim::BarcodeSpec code;
  code.symbology = sim::Symbology::Code39;
  code.data = "TK47";
  code.module = 2;
  code.vertical = true;
  const sim::RenderedBarcode drawn = sim::DrawBarcode(card.image, 2600, 30, code);
  ASSERT_LT(drawn.y + drawn.h, def.rowTop);
  FormPositionRecord f = Defined(def, card.truth, AP_TENPRINT | AP_PLAINTP | 0x40u);
  f.barcodeBox = {2000, 240, 3600, 440};
  f.barcodeType = 39;
  f.barcodeLength = 4;
  EXPECT_EQ(Analyse(card, &f), 0);
  EXPECT_EQ(f.found, AP_TENPRINT | AP_PLAINTP | 0x40u);
  EXPECT_STREQ(f.barcodeText, drawn.text.c_str());
  // The bars: drawn.x .. + w across (their length), the quiet zones of 12 modules inside
  // drawn.y .. + h along. Across, the box holds the rows that grew round the seed (the last one
  // within a block of the bars' edge) and 5 blocks beyond; along, the code ends after more than 8
  // weak blocks, with 3 blocks beyond that, unless the area ends first.
  const int quiet = code.quietModules * int(code.module);
  const int x0 = f.barcodeBox.cx - f.barcodeBox.w / 2, x1 = f.barcodeBox.cx + f.barcodeBox.w / 2;
  const int y0 = f.barcodeBox.cy - f.barcodeBox.h / 2, y1 = f.barcodeBox.cy + f.barcodeBox.h / 2;
  EXPECT_GE(x0, drawn.x - 6 * 8);
  EXPECT_LE(x0, drawn.x - 4 * 8);
  EXPECT_GE(x1, drawn.x + drawn.w + 4 * 8);
  EXPECT_LE(x1, drawn.x + drawn.w + 6 * 8);
  EXPECT_LE(y0, drawn.y + quiet);
  EXPECT_GE(y1, drawn.y + drawn.h - quiet + 9 * 8);
  EXPECT_LE(y1, drawn.y + drawn.h - quiet + 14 * 8);
}

TEST(FormPositionCards, PlainRowOnASecondPage) {
  sim::CardSpec def;
  def.angleDeg = -0.5;
  def.prints = false;
  def.pageHeight = 2200;
  def.height = 4400;
  const sim::RenderedCard card = sim::RenderCard(def, 13);
  const sim::CardTruth& t = card.truth;
  FormPositionRecord f = Defined(def, t, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT);
  EXPECT_EQ(Analyse(card, &f), 0);
  EXPECT_EQ(f.found, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT);
  ExpectRolled(f, t, kInOrder);
  ExpectPlainBoxes(f, t);
  EXPECT_NEAR(f.plainBox.cy, Image(t, t.cx, (t.plainTop + t.plainBottom) / 2).y, kBoxTolerance);

  // Two pages do not fit an image shorter than both.
  FormPositionRecord g = Defined(def, t, AP_TENPRINT | AP_PLAINTP);
  testing::internal::CaptureStdout();
  EXPECT_EQ(AutoFormPosition(card.image.pixels.data(), def.width, 4399, &g), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Err: Form define Page 2 * 2200 image height 4399\n");
  // Rows too close to each other: the form is searched from the top, both pages at once.
  g = Defined(def, t, AP_TENPRINT | AP_PLAINTP);
  g.rolled[5].y = int16_t(g.rolled[0].y + 99);
  EXPECT_EQ(Analyse(card, &g), 0);
  ExpectRolled(g, t, kInOrder);
}

TEST(FormPositionCards, CardsWithoutAPartGiveTheirConditions) {
  sim::CardSpec def;
  def.prints = false;
  def.plainHeight = 0;
  def.height = 2400;
  sim::RenderedCard card = sim::RenderCard(def, 14);
  const sim::CardTruth& t = card.truth;

  // No plain row where one was asked for.
  FormPositionRecord f{};
  f.requested = AP_TENPRINT | AP_PLAINTP;
  testing::internal::CaptureStdout();
  EXPECT_EQ(Analyse(card, &f), -10000);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("No slap found, rolled print stay at bottom"),
            std::string::npos);
  EXPECT_EQ(f.found, 0u);

  // Blank paper: no ruled lines at all.
  sim::RenderedCard blank = card;
  std::fill(blank.image.pixels.begin(), blank.image.pixels.end(), def.paper);
  f = {};
  f.requested = AP_TENPRINT;
  EXPECT_EQ(Analyse(blank, &f), -2);

  // A defined form searches 1.5 box heights round each row: a height of 100 leaves both bands
  // between the ruled lines, while 99 is out of range and taken as 750.
  for (const int boxHeight : {99, 100}) {
    f = Defined(def, t, AP_TENPRINT);
    f.boxHeight = uint16_t(boxHeight);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Analyse(card, &f), boxHeight == 99 ? 0 : -2) << boxHeight;
    testing::internal::GetCapturedStdout();
    if (boxHeight == 99) ExpectRolled(f, t, kInOrder);
  }

  // Two vertical lines left in each rolled row, one of them turned by 1.5 degrees: too weak a line
  // over both rows to be found, so the skew cannot be measured and the boxes are laid out upright, five equal columns of the reduced width.
  const double rows[2] = {t.rolledTop + 10, t.rolledBottom - 10};
  for (size_t i = 1; i < t.rolledVerticalU.size(); ++i)
    Erase(card.image, int(t.rolledVerticalU[i]), int(rows[0]), int(rows[1]), def.paper);
  const double slope = std::tan(1.5 * 3.14159265358979 / 180);
  for (int y = int(rows[0]); y < int(rows[1]); ++y)
    for (int d = -3; d < 3; ++d) card.image.at(int(t.rolledVerticalU[1] + (y - rows[0]) * slope) + d, y) = def.ink;
  f = {};
  f.requested = AP_TENPRINT;
  testing::internal::CaptureStdout();
  EXPECT_EQ(Analyse(card, &f), -10);
  const std::string skew = testing::internal::GetCapturedStdout();
  EXPECT_NE(skew.find("Err: Detect vertical lines failed 0 2\n"), std::string::npos) << skew;
  ExpectUprightColumns(f, def, t, kReversed);  // a cleared record: rows reversed
}

// Analyses `card` with the parameters `para`, whose thumb width and overlap (words 10 and 11) the
// library keeps for the calls after it: they are set back to 0 on a small scratch image.
int AnalyseWithPlainRowParameters(const sim::RenderedCard& card, const sim::CardSpec& def, FormPositionRecord* f,
                                  int para[13]) {
  const int r = AutoFormPositionWithParameters(card.image.pixels.data(), def.width, def.height, f, para);
  para[10] = para[11] = 0;
  FormPositionRecord scratch{};
  testing::internal::CaptureStdout();
  AutoFormPositionWithParameters(card.image.pixels.data(), 16, 16, &scratch, para);  // back to the defaults
  testing::internal::GetCapturedStdout();
  return r;
}

TEST(FormPositionCards, PlainRowLaidOutFromItsMiddleLine) {
  // Only the frame lines and the middle line are printed in the plain row. With a thumb width of
  // 600 pixels (75 reduced) and an overlap of 160 (20 reduced) the row is laid out round the middle
  // line c (reduced): thumbs c - 75 .. c and c .. c + 75, four-finger boxes from the frame lines to
  // 20 blocks inside the thumbs; a box's centre is trunc((low + high + 1) x 4), its width
  // (high - low) x 8.
  sim::CardSpec def;
  sim::RenderedCard card = PlainRowOfMiddleLine(def);
  const sim::CardTruth& t = card.truth;
  int para[13] = {0, 640, 960, 520, 1040, 320, 640, 720, 1360, 0, 600, 160, 0};
  FormPositionRecord f = Defined(def, t, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT);
  const int r = AnalyseWithPlainRowParameters(card, def, &f, para);
  ASSERT_EQ(r, 0);
  ASSERT_EQ(f.found, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT);
  const double c = t.plainVerticalU[2] / 8;
  struct Expect {
    const FormBox& box;
    double low, high;
  } expected[] = {{f.thumbs[1], c - 75, c}, {f.thumbs[0], c, c + 75}, {f.fourFingers[0], c + 55, t.plainVerticalU[4] / 8}};
  for (const Expect& e : expected) {
    EXPECT_NEAR(e.box.cx, (e.low + e.high + 1) * 4, kBoxTolerance) << e.low;
    EXPECT_NEAR(e.box.w, (e.high - e.low) * 8, kBoxTolerance) << e.low;
  }
  // The left four-finger box starts at the left frame line.
  EXPECT_NEAR(f.fourFingers[1].cx - f.fourFingers[1].w / 2, t.plainVerticalU[0], kBoxTolerance);
  EXPECT_NEAR(f.fourFingers[1].cx + f.fourFingers[1].w / 2, (c - 55) * 8, kBoxTolerance);
}

// The same row with an overlap (parameter 11) but no thumb width (parameter 10 = 0): the thumbs
// close on the middle line c and the four-finger boxes reach from the frame lines to c.
TEST(FormPositionCards, PlainRowLaidOutFromItsMiddleLineWithoutAThumbWidth) {
  sim::CardSpec def;
  sim::RenderedCard card = PlainRowOfMiddleLine(def);
  const sim::CardTruth& t = card.truth;
  int para[13] = {0, 640, 960, 520, 1040, 320, 640, 720, 1360, 0, 0, 160, 0};
  FormPositionRecord f = Defined(def, t, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT);
  const int r = AnalyseWithPlainRowParameters(card, def, &f, para);
  ASSERT_EQ(r, 0);
  ASSERT_EQ(f.found, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT);
  const double c = t.plainVerticalU[2] / 8;
  for (const FormBox* thumb : {&f.thumbs[0], &f.thumbs[1]}) {
    EXPECT_NEAR(thumb->cx, (2 * c + 1) * 4, kBoxTolerance);
    EXPECT_EQ(thumb->w, 0);
  }
  EXPECT_NEAR(f.fourFingers[0].cx - f.fourFingers[0].w / 2, c * 8, kBoxTolerance);
  EXPECT_NEAR(f.fourFingers[0].cx + f.fourFingers[0].w / 2, t.plainVerticalU[4], kBoxTolerance);
  EXPECT_NEAR(f.fourFingers[1].cx - f.fourFingers[1].w / 2, t.plainVerticalU[0], kBoxTolerance);
  EXPECT_NEAR(f.fourFingers[1].cx + f.fourFingers[1].w / 2, c * 8, kBoxTolerance);
}

TEST(FormPositionCards, PlainRowWithOnlyItsMiddleLineUnderTheDefaultParameters) {
  // The frame lines and the middle line alone are too far apart to form a sequence, and with no
  // overlap width (parameter 11 = 0) a lone middle line is never accepted: no plain gap scores, so
  // the plain row is abandoned before its own line search and the result is -1.
  sim::CardSpec def;
  const sim::RenderedCard card = PlainRowOfMiddleLine(def);
  const sim::CardTruth& t = card.truth;
  FormPositionRecord f = Defined(def, t, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT);
  testing::internal::CaptureStdout();
  EXPECT_EQ(Analyse(card, &f), -1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Finding prints 3 failed (1)\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Err: Detect vertical lines for plain failed"), std::string::npos) << out;
  EXPECT_EQ(f.found, AP_TENPRINT);
  ExpectRolled(f, t, kInOrder);
}

TEST(FormPositionCards, PlainRowWithUnequalThumbBoxesFailsItsAnalysis) {
  // The middle line printed 200 pixels (25 reduced) right of the centre: the thumb boxes are 100
  // and 50 reduced wide. The plain gap still scores (the two lines 50 apart form a sequence), but
  // the line analysis finds the three inner lines unevenly spaced (175 - 2 x 275 + 325 = -50,
  // outside -20..20) and refuses with -3: condition 100, the plain box found, no flat boxes.
  sim::CardSpec def;
  def.prints = false;
  sim::RenderedCard card = sim::RenderCard(def, 18);
  const sim::CardTruth& t = card.truth;
  const double middle = t.plainVerticalU[2];
  Erase(card.image, int(middle), int(t.plainTop) + 12, int(t.plainBottom) - 12, def.paper);
  Rule(card.image, middle + 200, t.plainTop, middle + 200, t.plainBottom, def.ink);
  FormPositionRecord f = Defined(def, t, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT);
  testing::internal::CaptureStdout();
  EXPECT_EQ(Analyse(card, &f), -100);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Err: Sizes differ for thumbs "), std::string::npos) << out;
  EXPECT_NE(out.find("Err: Analyze vertical lines for plain failed -3\n"), std::string::npos) << out;
  EXPECT_EQ(f.found, AP_TENPRINT | AP_PLAINTP);
  ExpectRolled(f, t, kInOrder);
  EXPECT_NEAR(f.plainBox.cy, Image(t, t.cx, (t.plainTop + t.plainBottom) / 2).y, kBoxTolerance);
}

TEST(FormPositionCards, ShortSeparatorsAreFoundOnlyWithTheFinerPasses) {
  // The thumb boxes' outer separators printed as ticks over the top fifth of the plain row. The
  // default search drops them: its first pass asks for 2/3 of the row height in strength, and the
  // purge removes lines less than a third as dense as the full lines. The plain row then shows
  // only its frame and middle lines and is abandoned. With parameter 12 set the passes start at
  // 2/5 of the row height and nothing is purged: the ticks are found and the row is cut into its
  // four boxes.
  sim::CardSpec def;
  def.prints = false;
  sim::RenderedCard card = sim::RenderCard(def, 20);
  const sim::CardTruth& t = card.truth;
  const int tick = def.plainHeight / 5;
  for (size_t i : {size_t(1), size_t(3)})
    Erase(card.image, int(t.plainVerticalU[i]), int(t.plainTop) + tick, int(t.plainBottom) - 12, def.paper);
  int para[13] = {0, 640, 960, 520, 1040, 320, 640, 720, 1360, 0, 0, 0, 0};
  for (const int p12 : {1, 0}) {  // the defaults last: the parameters outlive the call
    SCOPED_TRACE(p12);
    para[12] = p12;
    FormPositionRecord f = Defined(def, t, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT);
    testing::internal::CaptureStdout();
    const int r = AutoFormPositionWithParameters(card.image.pixels.data(), def.width, def.height, &f, para);
    const std::string out = testing::internal::GetCapturedStdout();
    if (p12 == 0) {
      EXPECT_EQ(r, -1);
      EXPECT_NE(out.find("Finding prints 3 failed (1)\n"), std::string::npos) << out;
      EXPECT_EQ(f.found, AP_TENPRINT);
    } else {
      EXPECT_EQ(r, 0) << out;
      EXPECT_EQ(f.found, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT);
      ExpectPlainBoxes(f, t);
    }
    ExpectRolled(f, t, kInOrder);
  }
}

TEST(FormPositionCards, RolledLinesThatDisagreeInAngleLeaveTheBoxesUpright) {
  // Two vertical lines left in the rolled rows, turned 0.8 degrees one way and the other: both are
  // found and fitted, but each lies more than 0.25 degrees from their mean and no third line can
  // outvote either, so the angle measurement refuses with -11 (condition 10). The boxes are laid
  // out upright in five equal columns of the reduced width and AP_TENPRINT stays clear.
  sim::CardSpec def;
  def.prints = false;
  def.plainHeight = 0;
  def.height = 2400;
  sim::RenderedCard card = sim::RenderCard(def, 17);
  const sim::CardTruth& t = card.truth;
  for (double u : t.rolledVerticalU)
    Erase(card.image, int(u), int(t.rolledTop) + 10, int(t.rolledBottom) - 10, def.paper);
  const double drift = std::tan(0.8 * 3.14159265358979 / 180) * (t.rolledBottom - t.rolledTop) / 2;
  for (size_t i : {size_t(1), size_t(2)}) {
    const double u = t.rolledVerticalU[i], d = i == 1 ? drift : -drift;
    Rule(card.image, u - d, t.rolledTop, u + d, t.rolledBottom, def.ink);
  }
  FormPositionRecord f = Defined(def, t, AP_TENPRINT);
  testing::internal::CaptureStdout();
  EXPECT_EQ(Analyse(card, &f), -10);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Err: Calculate vertical lines angle failed -11\n"), std::string::npos) << out;
  ExpectUprightColumns(f, def, t, kInOrder);
}

TEST(FormPositionCards, FaintLineThatLosesItsNumberBreaksThePairing) {
  // Rows 600 pixels (75 reduced) high and the plain row's top line on a second page 600 below the
  // rolled rows, printed faint and two reduced rows thick: five horizontal lines 75 apart, numbered
  // 1, 2, 3, 4, 4. The first line numbered 4 is weak (below twice the minimum strength, its
  // density below it) and the line before it, numbered 3, lies within 1.2 x 65 and is stronger
  // and denser: it takes number 4 and no line is left with number 3.
  sim::CardSpec def;
  def.prints = false;
  def.rowHeight = 600;
  def.pageHeight = 2150;
  def.height = 4000;
  sim::RenderedCard card = sim::RenderCard(def, 19);
  const sim::CardTruth& t = card.truth;
  ASSERT_EQ(t.horizontalV.size(), 5u);
  ASSERT_EQ(t.horizontalV[3], 2300);
  for (int y = 2290; y < 2318; ++y)
    for (int x = int(t.plainVerticalU.front()) - 4; x <= int(t.plainVerticalU.back()) + 4; ++x)
      card.image.at(x, y) = y >= 2296 && y < 2312 ? uint8_t(def.paper - 25) : def.paper;
  int para[13] = {0, 640, 960, 520, 1040, 320, 640, 720, 1360, 0, 0, 0, 1};
  FormPositionRecord f{};
  f.requested = AP_TENPRINT | AP_PLAINTP;
  testing::internal::CaptureStdout();
  const int r = AutoFormPositionWithParameters(card.image.pixels.data(), def.width, def.height, &f, para);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, -1000);
  EXPECT_NE(out.find("Something unknown happend! 3\n"), std::string::npos) << out;
  EXPECT_EQ(f.found, 0u);

  // With the purge switch on (parameter 12 = 0, the default) the faint line, less than a third as
  // dense as the ruled lines, is purged: the rolled rows pair and are found.
  para[12] = 0;
  f = {};
  f.requested = AP_TENPRINT;
  testing::internal::CaptureStdout();
  EXPECT_EQ(AutoFormPositionWithParameters(card.image.pixels.data(), def.width, def.height, &f, para), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(f.found, AP_TENPRINT);
  ExpectRolled(f, t, kReversed);
}

TEST(FormPositionCards, BarcodeLocatedAt1000Ppi) {
  // At 1000 ppi the area is reduced by 16: an area 4200 pixels wide (262 blocks; 525 of 8) is
  // searched, and the found box lies on whole blocks of 16 from the area's origin
  // (centre = index x 16 + 8 + origin) round the bars.
  sim::GreyImage img(4400, 600, 228);
  sim::BarcodeSpec code;
  code.symbology = sim::Symbology::Code39;
  code.data = "TK1000";
  code.module = 6;
  code.barLength = 240;
  const sim::RenderedBarcode b = sim::DrawBarcode(img, 1500, 120, code);
  const int16_t geometry[3] = {int16_t(img.width), int16_t(img.height), 1000};
  FormPositionRecord f{};
  f.requested = 0x10u;
  f.barcodeType = 39;
  f.barcodeLength = int32_t(code.data.size());
  const int ox = 100, oy = 40;
  f.demographic = {int16_t(ox + 2100), int16_t(oy + 260), 4200, 520};
  ASSERT_EQ(LocateAndReadBarcode(geometry, img.pixels.data(), &f), 0);
  EXPECT_STREQ(f.barcodeText, b.text.c_str());
  EXPECT_EQ(f.found, 0x10u);
  EXPECT_EQ((f.barcodeBox.cx - 8 - ox) % 16, 0) << f.barcodeBox.cx;
  EXPECT_EQ((f.barcodeBox.cy - 8 - oy) % 16, 0) << f.barcodeBox.cy;
  EXPECT_EQ(f.barcodeBox.w % 16, 0) << f.barcodeBox.w;
  EXPECT_EQ(f.barcodeBox.h % 16, 0) << f.barcodeBox.h;
  const int quiet = code.quietModules * int(code.module);
  EXPECT_LE(f.barcodeBox.cx - f.barcodeBox.w / 2, b.x + quiet);
  EXPECT_GE(f.barcodeBox.cx + f.barcodeBox.w / 2, b.x + b.w - quiet);
  EXPECT_LE(f.barcodeBox.cy - f.barcodeBox.h / 2, b.y + code.margin + 16);
  EXPECT_GE(f.barcodeBox.cy + f.barcodeBox.h / 2, b.y + b.h - code.margin - 16);
  // The same area at 500 ppi is 525 blocks of 8 wide: refused.
  const int16_t at500[3] = {geometry[0], geometry[1], 500};
  testing::internal::CaptureStdout();
  EXPECT_EQ(LocateAndReadBarcode(at500, img.pixels.data(), &f), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Err: Barcode area is too big (520x4200x8)\n");
}

// The centre of a rolled box: the corners where the upper line y - t x = U meets the left edge
// x + t y = K and the lower line meets the right edge, at x = (K - t U) / (1 + t^2) and
// y = (U + t K) / (1 + t^2); each centre coordinate trunc((c1 + c2 + 1) x 4) of the corners' reduced
// coordinates, toward zero for a box left of the card's edge. Values worked by hand.
TEST(RolledBoxCentre, MiddleOfTheDiagonalInImagePixels) {
  struct Case {
    const char* what;
    double t, upper, lower;
    FormLine left, right;  // edge points: row in first, column in end
    int x, y;
  } cases[] = {
      // (12 + 107 + 1) x 4, (40 + 129.5 + 1) x 4
      {"upright", 0, 40, 129.5, {0, 85, 12, 0}, {0, 85, 107, 0}, 480, 682},
      // corners (20.792, 42.079) and (105.941, 140.594): 510.93 and 734.69
      {"turned", 0.1, 40, 130, {0, 50, 20, 0}, {0, 50, 115, 0}, 510, 734},
      // corners (-38.614, 36.139) and (21.782, 132.178): -63.33 and 677.27
      {"left of the card", 0.1, 40, 130, {0, 50, -40, 0}, {0, 50, 30, 0}, -63, 677},
  };
  for (const Case& c : cases) {
    const FormPoint p = RolledBoxCentre(c.t, c.upper, c.lower, c.left, c.right);
    EXPECT_EQ(p.x, c.x) << c.what;
    EXPECT_EQ(p.y, c.y) << c.what;
  }
}

TEST(FormPositionCards, RefusedInput) {
  std::vector<uint8_t> img(size_t(5001) * 16, 235);
  FormPositionRecord f{};
  f.requested = AP_TENPRINT;
  struct Case {
    const uint8_t* image;
    FormPositionRecord* form;
    int width, height;
    const char* printed;
  } cases[] = {
      {img.data(), &f, 5001, 16, "Err: image width 5001; image must be 500 ppi maximum 5000\n"},
      {nullptr, &f, 100, 16, ""},
      {img.data(), nullptr, 100, 16, ""},
      {img.data(), &f, 0, 16, ""},
      {img.data(), &f, 100, 0, ""},
      {img.data(), &f, -8, 16, ""},
      {img.data(), &f, 16, 32768, ""},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(AutoFormPosition(c.image, c.width, c.height, c.form), -1) << c.width << "x" << c.height;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
  }
  // 5000 is accepted: the blank strip has no lines.
  EXPECT_EQ(AutoFormPosition(img.data(), 5000, 16, &f), -2);
  // Refused input is reported but never retried.
  f.requested = kCards;
  testing::internal::CaptureStdout();
  EXPECT_EQ(AutoFormPositionReport(img.data(), 5001, 16, &f), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout().find("Re-try"), std::string::npos);

  // Parameters 10 and 11: a thumb width of 50..100 and an overlap of 10..40 after division by 8.
  const FormPositionParameters before = CurrentFormPositionParameters();
  struct Para {
    int p10, p11, result;
    const char* printed;
  } paras[] = {
      {399, 200, -1, "Err: invalid Para[10] for Flat1CentVLineThumbWidth 392\n"},
      {808, 200, -1, "Err: invalid Para[10] for Flat1CentVLineThumbWidth 808\n"},
      {400, 79, -1, "Err: invalid Para[11] for ThumbSlapOverlapWidth 72\n"},
      {807, 328, -1, "Err: invalid Para[11] for ThumbSlapOverlapWidth 328\n"},
      {400, 80, -2, "Err: Detect horizontal lines failed 0\n"},
      {807, 327, -2, "Err: Detect horizontal lines failed 0\n"},
      {0, 5, -2, "Err: Detect horizontal lines failed 0\n"},  // no thumb width: the overlap is not checked
  };
  f.requested = AP_TENPRINT;
  for (const Para& p : paras) {
    int para[13] = {0, 640, 960, 520, 1040, 320, 640, 720, 1360, 0, p.p10, p.p11, 0};
    testing::internal::CaptureStdout();
    EXPECT_EQ(AutoFormPositionWithParameters(img.data(), 5000, 16, &f, para), p.result) << p.p10 << " " << p.p11;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), p.printed);
    if (p.result == -2) {
      const FormPositionParameters now = CurrentFormPositionParameters();
      EXPECT_EQ(now.value[1], 80);
      EXPECT_EQ(now.value[8], 170);
      EXPECT_EQ(now.value[10], p.p10 / 8);
      EXPECT_EQ(now.value[11], p.p11 / 8);
    }
  }
  int reset[13];
  std::copy(before.value, before.value + 13, reset);
  for (int i = 1; i <= 11; ++i)
    if (i != 9) reset[i] *= 8;
  ASSERT_EQ(AutoFormPositionWithParameters(img.data(), 5000, 16, &f, reset), -2);
  const FormPositionParameters after = CurrentFormPositionParameters();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

// The threshold is taken over every block of the area, its last columns and rows too: ink only in
// the last 40 of 400 columns, or only in the last 24 of 240 rows, still gives a threshold between
// ink and paper.
TEST(FormPositionCards, DemographicThresholdReadsTheWholeArea) {
  const int width = 400, height = 240;
  for (const bool columns : {true, false}) {
    std::vector<uint8_t> img(size_t(width) * height);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) img[size_t(y) * width + x] = (columns ? x >= 360 : y >= 216) ? 40 : 230;
    const int t = DemographicThreshold(img.data(), width, height, 0, 0, width, height);
    EXPECT_GE(t, 40) << columns;
    EXPECT_LT(t, 230) << columns;
  }
}

// The bar-code area may reach the image's last row and column, not beyond.
TEST(FormPositionCards, BarcodeAreaMustLieInsideTheImage) {
  std::vector<uint8_t> img(size_t(400) * 400, 255);
  const int16_t geometry[3] = {400, 400, 500};
  const struct {
    int16_t cx, cy;
    bool inside;
  } cases[] = {{300, 300, true}, {301, 300, false}, {300, 301, false}, {100, 100, true}, {99, 100, false}};
  for (const auto& c : cases) {
    FormPositionRecord f{};
    f.demographic = {c.cx, c.cy, 200, 200};
    testing::internal::CaptureStdout();
    const int r = LocateAndReadBarcode(geometry, img.data(), &f);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("Err: Barcode area is too big (200x200x8)") != std::string::npos, !c.inside) << c.cx << "," << c.cy;
    EXPECT_EQ(r, -1) << c.cx << "," << c.cy;  // a blank area holds no code
  }
}

TEST(FormPositionCards, DemographicThresholdClipsItsArea) {
  // Left half ink 40, right half paper 230: the threshold separates them.
  const int width = 400, height = 300;
  std::vector<uint8_t> img(size_t(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) img[size_t(y) * width + x] = x < width / 2 ? 40 : 230;
  struct Case {
    int x, y, w, h;
    const char* printed;
  } cases[] = {
      {0, 0, 400, 300, ""},
      {-16, 0, 400, 300, "Warning: Binarizing area initial point x -16\n"},
      {0, -8, 400, 300, "Warning: Binarizing area initial point y -8\n"},
      {100, 100, 400, 300, "Warning: Binarizing area bottom point y 400 300\nWarning: Binarizing area bottom point x 500 400\n"},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    const int t = DemographicThreshold(img.data(), width, height, c.x, c.y, c.w, c.h);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.x << "," << c.y;
    EXPECT_GE(t, 40) << c.x << "," << c.y;
    EXPECT_LT(t, 230) << c.x << "," << c.y;
  }
  testing::internal::CaptureStdout();
  DemographicThreshold(img.data(), width, height, 0, 0, 5000, 4097);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Warning: Binarizing area height 4097\nWarning: Binarizing area width 5000\n"
            "Warning: Binarizing area bottom point y 4096 300\nWarning: Binarizing area bottom point x 4096 400\n");
}

}  // namespace
