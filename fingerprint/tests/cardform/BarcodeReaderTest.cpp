// Bar-code reader on rendered symbols: every symbology in both orientations and both reading
// senses at several module widths with blur and noise, damaged and wrong-symbology codes, the
// acceptance modes, the form record entry and the argument checks with their exact texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Barcode.h"
#include "FormPositionRecord.h"
#include "sim/CardKit.h"

namespace {

using sim::Symbology;

struct Read {
  int result = 0;
  BarcodeParameters p{};
  char text[kBarcodeTextSlot] = {};
  char err[128] = {};
};

BarcodeParameters Params(int type, int length, int direction = 1) {
  BarcodeParameters p{};
  p.type = type;
  p.length = length;
  p.tolerance = 1;
  p.direction = direction;
  p.quietSpaceRequired = 1;
  p.startStopRequired = 1;
  p.widthCheckRequired = 1;
  p.tuning1 = 150;
  p.tuning2 = 400;
  p.tuning3 = 50;
  return p;
}

// Reads the whole rendered image but its last row and column.
Read ReadImage(const sim::GreyImage& img, BarcodeParameters p) {
  Read r;
  r.p = p;
  const int16_t size[2] = {int16_t(img.width), int16_t(img.height)};
  r.result = ReadBarcode(size, img.pixels.data(), 0, 0, img.height - 1, img.width - 1, &r.p, r.text, r.err);
  return r;
}

int TypeOf(Symbology s) {
  switch (s) {
    case Symbology::Interleaved25: return kBarcodeInterleaved25;
    case Symbology::Code39: return kBarcodeCode39;
    case Symbology::Code128: return kBarcodeCode128;
    case Symbology::Ean13: return kBarcodeEan13;
  }
  return 0;
}

struct Sample {
  Symbology symbology;
  std::string data;
};

const Sample kSamples[] = {
    {Symbology::Code39, "TK-7 $4"},
    {Symbology::Interleaved25, "90417362"},
    {Symbology::Code128, "Card 42/b"},
    {Symbology::Code128, "20261210"},  // set C
    {Symbology::Ean13, "400638133393"},
};

TEST(ReadBarcode, RenderedCodesOfEverySymbologyReadInEveryOrientation) {
  uint32_t seed = 11;
  for (const Sample& s : kSamples)
    for (double module : {2.0, 3.0, 4.5})
      for (bool vertical : {false, true})
        for (bool reversed : {false, true}) {
          sim::BarcodeSpec def;
          def.symbology = s.symbology;
          def.data = s.data;
          def.module = module;
          def.vertical = vertical;
          def.reversed = reversed;
          def.blur = 0.7;
          def.noise = 4;
          def.barLength = 110;
          const sim::RenderedBarcode code = sim::RenderBarcode(def, seed++);
          const int length = s.symbology == Symbology::Code128 ? int(code.text.size()) - 2 : int(s.data.size());
          const Read r = ReadImage(code.image, Params(TypeOf(s.symbology), length, vertical ? 3 : 1));
          SCOPED_TRACE(s.data + " module " + std::to_string(module) + (vertical ? " columns" : " rows") +
                       (reversed ? " reversed" : ""));
          EXPECT_EQ(r.result, (vertical ? 3 : 1) + (reversed ? 1 : 0));
          EXPECT_STREQ(r.text, code.text.c_str());
        }
}

// A sample drawn slightly blurred and noisy.
sim::RenderedBarcode RenderSample(const Sample& s, uint32_t seed) {
  sim::BarcodeSpec def;
  def.symbology = s.symbology;
  def.data = s.data;
  def.blur = 0.6;
  def.noise = 3;
  return sim::RenderBarcode(def, seed);
}

TEST(ReadBarcode, AnyTypeFindsTheSymbologyAndWritesItBack) {
  uint32_t seed = 500;
  for (const Sample& s : kSamples) {
    const sim::RenderedBarcode code = RenderSample(s, seed++);
    const Read r = ReadImage(code.image, Params(kBarcodeAny, 9));
    SCOPED_TRACE(s.data);
    EXPECT_EQ(r.result, 1);
    EXPECT_STREQ(r.text, code.text.c_str());
    EXPECT_EQ(r.p.type, TypeOf(s.symbology));
    EXPECT_EQ(r.p.length, 1);
  }
}

TEST(ReadBarcode, DamagedAndWrongSymbologyCodesReadNothing) {
  struct Case {
    const char* name;
    Symbology rendered;
    std::string data;
    bool corrupt;
    int askedType;
    int length;
  } cases[] = {
      {"Code 128 wrong check", Symbology::Code128, "Card 42/b", true, kBarcodeCode128, 9},
      {"EAN-13 wrong check", Symbology::Ean13, "400638133393", true, kBarcodeEan13, 12},
      {"EAN-13 wrong check, any type", Symbology::Ean13, "400638133393", true, kBarcodeAny, 1},
      {"Code 39 read as Code 128", Symbology::Code39, "TK-7 $4", false, kBarcodeCode128, 7},
      {"Code 39 read as EAN-13", Symbology::Code39, "TK-7 $4", false, kBarcodeEan13, 12},
      {"Code 128 read as Code 39", Symbology::Code128, "Card 42/b", false, kBarcodeCode39, 9},
      {"EAN-13 read as 2 of 5", Symbology::Ean13, "400638133393", false, kBarcodeInterleaved25, 12},
      {"2 of 5 read as Code 39", Symbology::Interleaved25, "90417362", false, kBarcodeCode39, 8},
      {"Code 39 of another length", Symbology::Code39, "TK-7 $4", false, kBarcodeCode39, 6},
  };
  uint32_t seed = 900;
  for (const Case& c : cases) {
    sim::BarcodeSpec def;
    def.symbology = c.rendered;
    def.data = c.data;
    def.corruptCheck = c.corrupt;
    def.blur = 0.5;
    def.noise = 2;
    const Read r = ReadImage(sim::RenderBarcode(def, seed++).image, Params(c.askedType, c.length));
    SCOPED_TRACE(c.name);
    EXPECT_EQ(r.result, -1);
    EXPECT_STREQ(r.text, "");
    EXPECT_STREQ(r.err, "");
  }
}

TEST(ReadBarcode, BlankAreaReadsNothingAtOnce) {
  const sim::GreyImage blank(300, 200, 230);
  const Read r = ReadImage(blank, Params(kBarcodeCode39, 5));
  EXPECT_EQ(r.result, -1);
  EXPECT_STREQ(r.text, "");
}

TEST(ReadBarcode, LengthRulesOfTheSymbologies) {
  // 2 of 5 with length 7 reads the eight digits of the code (led by "0").
  sim::BarcodeSpec def;
  def.symbology = Symbology::Interleaved25;
  def.data = "4417362";
  const sim::RenderedBarcode code = sim::RenderBarcode(def, 3);
  Read r = ReadImage(code.image, Params(kBarcodeInterleaved25, 7));
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.p.length, 8);
  EXPECT_STREQ(r.text, "*04417362*");
  // EAN-13 always reads twelve (and the check digit), whatever length is asked.
  def.symbology = Symbology::Ean13;
  def.data = "978020137962";
  r = ReadImage(sim::RenderBarcode(def, 4).image, Params(kBarcodeEan13, 3));
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.p.length, 12);
  EXPECT_STREQ(r.text, "9780201379624*");
  // 2 of 5 with length 2 takes any number of pairs.
  def.symbology = Symbology::Interleaved25;
  def.data = "123456";
  r = ReadImage(sim::RenderBarcode(def, 5).image, Params(kBarcodeInterleaved25, 2));
  EXPECT_EQ(r.result, -1) << "a complete read must still have length + 2 characters";
}

TEST(ReadBarcode, OutOfRangeTuningValuesTakeTheirDefaultsSilently) {
  sim::BarcodeSpec def;
  def.data = "AB12";
  const sim::RenderedBarcode code = sim::RenderBarcode(def, 8);
  BarcodeParameters p = Params(kBarcodeCode39, 4);
  p.tuning1 = 129;
  p.tuning2 = 1001;
  p.tuning3 = 9;
  p.mode = 3;
  Read r = ReadImage(code.image, p);
  EXPECT_EQ(r.result, 1);
  EXPECT_STREQ(r.err, "");
  EXPECT_EQ(r.p.tuning1, 150);
  EXPECT_EQ(r.p.tuning2, 400);
  EXPECT_EQ(r.p.tuning3, 50);
  EXPECT_EQ(r.p.mode, 0);
  p = Params(kBarcodeCode39, 4);
  p.tuning1 = 130;
  p.tuning2 = 1000;
  p.tuning3 = 200;
  r = ReadImage(code.image, p);
  EXPECT_EQ(r.p.tuning1, 130);
  EXPECT_EQ(r.p.tuning2, 1000);
  EXPECT_EQ(r.p.tuning3, 200);
}

TEST(ReadBarcode, ModesNeedThatManyMoreEqualReads) {
  sim::BarcodeSpec def;
  def.symbology = Symbology::Code128;
  def.data = "Mode";
  def.blur = 0.6;
  def.noise = 3;
  const sim::RenderedBarcode code = sim::RenderBarcode(def, 21);
  for (int mode : {1, 2}) {
    BarcodeParameters p = Params(kBarcodeCode128, 4);
    p.mode = mode;
    const Read r = ReadImage(code.image, p);
    EXPECT_EQ(r.result, 1) << mode;
    EXPECT_STREQ(r.text, "*Mode*") << mode;
  }
}

TEST(ReadBarcode, CodeWithItsStartCutOffReadsFromThreeAgreeingPartialLines) {
  // The leading "*" is wiped out: without start and stop required the lines' partial reads agree
  // and give the characters with the missing start put back.
  sim::BarcodeSpec def;
  def.data = "PART7";
  def.module = 3;
  const sim::RenderedBarcode code = sim::RenderBarcode(def, 31);
  const int startEnd = def.margin + def.quietModules * 3 + 14 * 3;  // "*" is 13.5 narrow units, then the gap
  sim::GreyImage img = code.image;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < startEnd; ++x) img.at(x, y) = 228;
  BarcodeParameters p = Params(kBarcodeCode39, 5);
  p.startStopRequired = 0;
  p.skipFurtherAttempts = 1;
  Read r = ReadImage(img, p);
  EXPECT_EQ(r.result, 1);
  EXPECT_STREQ(r.text, "*PART7*");
  p.startStopRequired = 1;
  r = ReadImage(img, p);
  EXPECT_EQ(r.result, -1);
}

TEST(ReadBarcode, AreaEndingInsideTheCodeIsWidenedTowardsTheMissingEnd) {
  // The area stops inside the last characters: the first pass sees the start on every line but
  // never the end, so the second pass moves the lines' end out by a third of their length. (With
  // the quiet space required the cut lines would be refused outright and leave no evidence.)
  sim::BarcodeSpec def;
  def.data = "EXTEND";
  def.module = 3;
  const sim::RenderedBarcode code = sim::RenderBarcode(def, 51);
  const int16_t size[2] = {int16_t(code.image.width), int16_t(code.image.height)};
  const int w = code.image.width - def.margin - def.quietModules * 3 - 60;
  BarcodeParameters p = Params(kBarcodeCode39, 6);
  p.skipFurtherAttempts = 1;
  p.quietSpaceRequired = 0;
  char text[kBarcodeTextSlot], err[128];
  EXPECT_EQ(ReadBarcode(size, code.image.pixels.data(), 0, 0, code.image.height - 1, w, &p, text, err), 1);
  EXPECT_STREQ(text, code.text.c_str());
  p.quietSpaceRequired = 1;
  EXPECT_EQ(ReadBarcode(size, code.image.pixels.data(), 0, 0, code.image.height - 1, w, &p, text, err), -1);
}

TEST(ReadBarcode, ArgumentErrorsWithTheirTexts) {
  const sim::GreyImage img(400, 300, 230);
  const int16_t size[2] = {400, 300};
  struct Case {
    const char* name;
    int y, x, h, w;
    void (*change)(BarcodeParameters&);
    int result;
    const char* text;
  } cases[] = {
      {"99 rows", 0, 0, 99, 200, nullptr, -2, "Err: Bar-code Box size (99, 200)\n"},
      {"99 columns", 0, 0, 200, 99, nullptr, -2, "Err: Bar-code Box size (200, 99)\n"},
      {"reaches the last row", 100, 0, 200, 200, nullptr, -3, "Err: Bar-code Box (100,0  200,200  300,400)\n"},
      {"reaches the last column", 0, 200, 100, 200, nullptr, -3, "Err: Bar-code Box (0,200  100,200  300,400)\n"},
      {"negative row", -1, 0, 100, 100, nullptr, -3, "Err: Bar-code Box (-1,0  100,100  300,400)\n"},
      {"negative column", 0, -1, 100, 100, nullptr, -3, "Err: Bar-code Box (0,-1  100,100  300,400)\n"},
      {"type", 0, 0, 100, 100, [](BarcodeParameters& p) { p.type = 40; }, -4, "Err: Bar-code Type (40)\n"},
      {"length 0", 0, 0, 100, 100, [](BarcodeParameters& p) { p.length = 0; }, -3, "Err: Bar-code length (0)\n"},
      {"length 128", 0, 0, 100, 100, [](BarcodeParameters& p) { p.length = 128; }, -3,
       "Err: Bar-code length (128)\n"},
      {"tolerance", 0, 0, 100, 100, [](BarcodeParameters& p) { p.tolerance = 5; }, -4,
       "Err: Bar-code Tolerance (5)\n"},
      {"negative tolerance", 0, 0, 100, 100, [](BarcodeParameters& p) { p.tolerance = -1; }, -4,
       "Err: Bar-code Tolerance (-1)\n"},
      {"direction 0", 0, 0, 100, 100, [](BarcodeParameters& p) { p.direction = 0; }, -5,
       "Err: Bar-code direction (0)\n"},
      {"direction 5", 0, 0, 100, 100, [](BarcodeParameters& p) { p.direction = 5; }, -5,
       "Err: Bar-code direction (5)\n"},
      {"quiet space", 0, 0, 100, 100, [](BarcodeParameters& p) { p.quietSpaceRequired = 2; }, -6,
       "Err: Bar-code leading and ending quiet space required (2)\n"},
      {"start and stop", 0, 0, 100, 100, [](BarcodeParameters& p) { p.startStopRequired = -1; }, -6,
       "Err: Bar-code start and stop char required (-1)\n"},
      {"width check", 0, 0, 100, 100, [](BarcodeParameters& p) { p.widthCheckRequired = 3; }, -6,
       "Err: Bar-code bar width consistance check required (3)\n"},
  };
  for (const Case& c : cases) {
    BarcodeParameters p = Params(kBarcodeCode39, 5);
    if (c.change) c.change(p);
    char text[kBarcodeTextSlot] = "stale";
    char err[128] = {};
    EXPECT_EQ(ReadBarcode(size, img.pixels.data(), c.y, c.x, c.h, c.w, &p, text, err), c.result) << c.name;
    EXPECT_STREQ(err, c.text) << c.name;
    EXPECT_STREQ(text, "") << c.name;
  }
  // The largest area strictly inside the image is accepted (and reads nothing).
  BarcodeParameters p = Params(kBarcodeCode39, 5);
  char text[kBarcodeTextSlot], err[128];
  EXPECT_EQ(ReadBarcode(size, img.pixels.data(), 0, 0, 299, 399, &p, text, err), -1);
  EXPECT_STREQ(err, "");
  EXPECT_EQ(ReadBarcode(size, nullptr, 0, 0, 200, 200, &p, text, err), -1);
}

TEST(ReadFormBarcode, ReadsTheBoxAndSetsTheFoundDirection) {
  sim::BarcodeSpec def;
  def.symbology = Symbology::Code39;
  def.data = "F0RM12";
  def.vertical = true;
  def.reversed = true;
  def.blur = 0.6;
  def.noise = 3;
  const sim::RenderedBarcode code = sim::RenderBarcode(def, 41);
  const int16_t size[2] = {int16_t(code.image.width), int16_t(code.image.height)};
  FormPositionRecord form{};
  form.requested = 0x40 | 0x80;
  form.barcodeType = kBarcodeCode39;
  form.barcodeLength = 6;
  form.barcodeTolerance = 1;
  form.barcodeBox = {int16_t(code.image.width / 2), int16_t(code.image.height / 2), uint16_t(code.image.width - 4),
                     uint16_t(code.image.height - 4)};
  EXPECT_EQ(ReadFormBarcode(size, code.image.pixels.data(), &form), 0);
  EXPECT_STREQ(form.barcodeText, "*F0RM12*");
  EXPECT_EQ(form.found, 0x80u);

  // A Code 39 of another length than the form's is no read.
  form.found = 0;
  form.barcodeLength = 4;
  EXPECT_EQ(ReadFormBarcode(size, code.image.pixels.data(), &form), -1);
  EXPECT_EQ(form.found, 0u);
  EXPECT_STREQ(form.barcodeText, "");
  // Reading along the rows finds nothing.
  form.requested = 0x10;
  form.barcodeLength = 6;
  EXPECT_EQ(ReadFormBarcode(size, code.image.pixels.data(), &form), -1);
  // A box too small is the reader's refusal.
  form.requested = 0x40;
  form.barcodeBox.h = 99;
  EXPECT_EQ(ReadFormBarcode(size, code.image.pixels.data(), &form), -2);
}

TEST(ReadFormBarcode, AnyTypeAcceptsEverySymbologyWhateverTheFormLength) {
  uint32_t seed = 700;
  for (const Sample& s : kSamples) {
    const sim::RenderedBarcode code = RenderSample(s, seed++);
    const int16_t size[2] = {int16_t(code.image.width), int16_t(code.image.height)};
    FormPositionRecord form{};
    form.requested = 0x10;
    form.barcodeType = kBarcodeAny;
    form.barcodeLength = 4;  // matches none of the codes
    form.barcodeTolerance = 1;
    form.barcodeBox = {int16_t(code.image.width / 2), int16_t(code.image.height / 2),
                       uint16_t(code.image.width - 4), uint16_t(code.image.height - 4)};
    SCOPED_TRACE(s.data);
    EXPECT_EQ(ReadFormBarcode(size, code.image.pixels.data(), &form), 0);
    EXPECT_STREQ(form.barcodeText, code.text.c_str());
    EXPECT_EQ(form.found, 0x10u);
  }
}

}  // namespace

namespace {

TEST(ReadFormBarcode, FormLengthOfEachSymbology) {
  // 2 of 5 reads its digits in pairs: a form length of 7 or 8 reads eight digits; Code 39 keeps
  // an odd length.
  const struct {
    Sample sample;
    int length;
  } cases[] = {{{Symbology::Interleaved25, "90417362"}, 7},
               {{Symbology::Interleaved25, "90417362"}, 8},
               {{Symbology::Code39, "F0RM1"}, 5}};
  uint32_t seed = 720;
  for (const auto& c : cases) {
    const sim::RenderedBarcode code = RenderSample(c.sample, seed++);
    const int16_t size[2] = {int16_t(code.image.width), int16_t(code.image.height)};
    FormPositionRecord form{};
    form.requested = 0x10;
    form.barcodeType = TypeOf(c.sample.symbology);
    form.barcodeLength = c.length;
    form.barcodeTolerance = 1;
    form.barcodeBox = {int16_t(code.image.width / 2), int16_t(code.image.height / 2),
                       uint16_t(code.image.width - 4), uint16_t(code.image.height - 4)};
    SCOPED_TRACE(c.sample.data + " " + std::to_string(c.length));
    EXPECT_EQ(ReadFormBarcode(size, code.image.pixels.data(), &form), 0);
    EXPECT_STREQ(form.barcodeText, code.text.c_str());
  }
}

}  // namespace
