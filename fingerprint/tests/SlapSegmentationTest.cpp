// Live slap segmentation on rendered hands: finger order, finger numbers, hand angle, quality
// grades, the early-return and presence paths and the argument checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "SlapSegmentation.h"
#include "SyntheticHand.h"

namespace {

struct SegRun {
  int result = 0;
  FingerInfo fingers[4] = {};
  SegmentParams params = {3, 180, 0, 0, 0, 0, 0};
  char err[64] = {};
};

SegRun Segment(const synth::Image& img, int ppi, int position, int mask, int stage = 3) {
  SegRun run;
  run.params.Stage = stage;
  run.result = FlatSegmentLite(img.pixels.data(), img.lineCount, img.lineLength, ppi, position, mask, run.fingers,
                               &run.params, run.err, sizeof run.err);
  return run;
}

// The finger in `slot` sits on the rendered contact (within `tolerance` reduced pixels).
void ExpectOnContact(const FingerInfo& f, const synth::Contact& c, int factor, double tolerance = 4.0) {
  EXPECT_NEAR(f.X / double(factor), c.line, tolerance) << "finger " << f.Finger;
  EXPECT_NEAR(f.Y / double(factor), c.column, tolerance) << "finger " << f.Finger;
}

synth::Scene Hand(bool right) {
  synth::Scene s;
  s.contacts = synth::FourFingers(right);
  return s;
}

TEST(FlatSegmentLite, RightHandGivesFourFingersIndexFirst) {
  const synth::Scene scene = Hand(true);
  for (int ppi : {250, 500}) {
    SCOPED_TRACE(ppi);
    const int f = synth::ReductionFactor(ppi);
    const SegRun r = Segment(synth::Render(scene, ppi), ppi, kSlapRightHand, 0xF);
    ASSERT_EQ(r.result, 4) << r.err;
    EXPECT_EQ(r.params.Presence, 3);
    EXPECT_GT(r.params.DarkPercent, 0);
    for (int k = 0; k < 4; ++k) {
      const FingerInfo& fi = r.fingers[k];
      EXPECT_EQ(fi.Finger, 2 + k);
      EXPECT_EQ(fi.Qty, 15);
      EXPECT_NEAR(fi.Measure, 90, 2);
      ExpectOnContact(fi, scene.contacts[k], f);
      // Mean grey of a finger is dark; its area is that of the rendered ellipse.
      EXPECT_LT(fi.Height, r.params.Threshold);
      const double area = std::numbers::pi * scene.contacts[k].halfAlong * scene.contacts[k].halfAcross * f * f;
      EXPECT_NEAR(fi.Width, area, 0.15 * area);
      for (int w : {fi.Corners[0], fi.Corners[7]}) EXPECT_EQ(w, 0);
    }
  }
}

TEST(FlatSegmentLite, LeftHandGivesFingersSevenToTenFromTheOtherSide) {
  const synth::Scene scene = Hand(false);
  const SegRun r = Segment(synth::Render(scene, 250), 250, kSlapLeftHand, 0xF);
  ASSERT_EQ(r.result, 4) << r.err;
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(r.fingers[k].Finger, 7 + k);
    EXPECT_EQ(r.fingers[k].Qty, 15);
    ExpectOnContact(r.fingers[k], scene.contacts[k], 4);
  }
  EXPECT_GT(r.fingers[0].Y, r.fingers[3].Y);  // the index finger lies at the large columns
}

TEST(FlatSegmentLite, TwoUprightThumbsGiveRightThumbFirst) {
  synth::Scene scene;
  scene.contacts = {synth::RightThumb(), synth::LeftThumb()};
  const SegRun r = Segment(synth::Render(scene, 250), 250, kSlapTwoThumbs, 3);
  ASSERT_EQ(r.result, 2) << r.err;
  EXPECT_EQ(r.fingers[0].Finger, 1);
  EXPECT_EQ(r.fingers[1].Finger, 6);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(r.fingers[k].Qty, 15);
    EXPECT_NEAR(r.fingers[k].Measure, 90, 2);
    ExpectOnContact(r.fingers[k], scene.contacts[k], 4);
  }
}

TEST(FlatSegmentLite, ThumbWithItsSecondPhalanxCountsAsOneOfTwoThumbs) {
  // Two regions in one track across the hand group into one finger: one thumb of two, grade 9.
  synth::Scene scene;
  scene.contacts = {synth::RightThumb(), {160, 190, 24, 22, 0}};
  const SegRun r = Segment(synth::Render(scene, 250), 250, kSlapTwoThumbs, 3);
  ASSERT_EQ(r.result, 1) << r.err;
  EXPECT_EQ(r.params.Presence, 3);
  EXPECT_EQ(r.fingers[0].Finger, 1);
  EXPECT_EQ(r.fingers[0].Qty, 9);
  ExpectOnContact(r.fingers[0], scene.contacts[0], 4);
  EXPECT_EQ(r.fingers[1].Finger, 0);
}

struct TiltCase {
  bool right;
  double tilt;  // rotation of the hand, degrees from the line axis towards the columns
  int qty;
};

TEST(FlatSegmentLite, TiltedHandsReportTheirAngleAndKeepTheFingerOrder) {
  const TiltCase cases[] = {
      {true, 12, 15}, {true, -12, 15}, {false, 12, 15}, {false, -12, 15}, {true, 45, 15}, {true, -45, 14},
  };
  for (const TiltCase& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.right ? "right" : "left") << " tilt " << c.tilt);
    synth::Scene scene = Hand(c.right);
    synth::Tilt(scene, 85, 132, c.tilt);
    const SegRun r = Segment(synth::Render(scene, 250), 250, c.right ? kSlapRightHand : kSlapLeftHand, 0xF);
    ASSERT_EQ(r.result, 4) << r.err;
    for (int k = 0; k < 4; ++k) {
      EXPECT_NEAR(r.fingers[k].Measure, 90 - c.tilt, 3);
      EXPECT_EQ(r.fingers[k].Qty, c.qty);
      EXPECT_EQ(r.fingers[k].Finger, (c.right ? 2 : 7) + k);
      ExpectOnContact(r.fingers[k], scene.contacts[k], 4);
    }
  }
}

TEST(FlatSegmentLite, MaskSelectsTheSlotsInAcrossOrder) {
  // Middle and little finger of a right hand: slots 1 and 3, slots 0 and 2 stay zero.
  synth::Scene scene = Hand(true);
  scene.contacts = {scene.contacts[1], scene.contacts[3]};
  const SegRun r = Segment(synth::Render(scene, 250), 250, kSlapRightHand, 0xA);
  ASSERT_EQ(r.result, 2) << r.err;
  EXPECT_EQ(r.fingers[1].Finger, 3);
  EXPECT_EQ(r.fingers[3].Finger, 5);
  ExpectOnContact(r.fingers[1], scene.contacts[0], 4);
  ExpectOnContact(r.fingers[3], scene.contacts[1], 4);
  const FingerInfo zero{};
  EXPECT_EQ(std::memcmp(&r.fingers[0], &zero, sizeof zero), 0);
  EXPECT_EQ(std::memcmp(&r.fingers[2], &zero, sizeof zero), 0);
}

TEST(FlatSegmentLite, FewerRegionsThanFingersTakesTheEarlyReturn) {
  synth::Scene scene = Hand(true);
  scene.contacts.pop_back();  // no little finger
  const SegRun r = Segment(synth::Render(scene, 250), 250, kSlapRightHand, 0xF);
  ASSERT_EQ(r.result, 3) << r.err;
  EXPECT_EQ(r.params.Presence, 1);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(r.fingers[k].Qty, 0);
    EXPECT_EQ(r.fingers[k].Finger, 2 + k);
    EXPECT_GT(r.fingers[k].Measure, 20000);  // an area in full-resolution pixels
  }
  EXPECT_EQ(r.fingers[3].Finger, 0);
}

TEST(FlatSegmentLite, ExtraRegionIsDroppedAndLowersTheGrade) {
  synth::Scene scene = Hand(true);
  scene.contacts.push_back({170, 130, 20, 40, 90});  // a palm contact below the fingers
  const SegRun r = Segment(synth::Render(scene, 250), 250, kSlapRightHand, 0xF);
  ASSERT_EQ(r.result, 4) << r.err;
  EXPECT_EQ(r.params.Stage, 1);  // an extra segment was dropped
  const int expectedQty =
      15 - 3 - (r.params.DarkThreshold == 1 ? 2 : 0) - (r.params.MinDarkPercent == 1 ? 2 : 0);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(r.fingers[k].Finger, 2 + k);
    EXPECT_EQ(r.fingers[k].Qty, expectedQty);
  }
}

TEST(FlatSegmentLite, FingerCutByTheImageEdgeIsStillFound) {
  synth::Scene scene;
  scene.contacts = synth::FourFingers(true, 110);  // little finger centred 11 pixels from the edge
  const SegRun r = Segment(synth::Render(scene, 250), 250, kSlapRightHand, 0xF);
  ASSERT_EQ(r.result, 4) << r.err;
  for (int k = 0; k < 3; ++k) ExpectOnContact(r.fingers[k], scene.contacts[k], 4);
  EXPECT_EQ(r.fingers[3].Finger, 5);
  EXPECT_GT(r.fingers[3].Y / 4, 240);
  EXPECT_LT(r.fingers[3].Width, r.fingers[0].Width);  // only part of it lies on the platen
}

TEST(FlatSegmentLite, SmallSpotsAreNoFingers) {
  synth::Scene scene;
  for (int k = 0; k < 6; ++k) scene.contacts.push_back({60.0 + 20 * k, 40.0 + 35 * k, 5, 5, 0});
  scene.contacts.push_back({100, 130, 60, 60, 0});  // makes the presence test pass
  scene.contacts.back().halfAcross = 6;              // a thin streak: no finger either
  const SegRun r = Segment(synth::Render(scene, 250), 250, kSlapRightHand, 0xF);
  EXPECT_EQ(r.result, 0) << r.err;
}

TEST(FlatSegmentLite, WhiteFrameAndPresenceStage) {
  synth::Scene white;
  white.noise = 3;
  const synth::Image blank = synth::Render(white, 250);
  SegRun r = Segment(blank, 250, kSlapRightHand, 0xF);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.params.Presence, 0);
  EXPECT_EQ(r.params.DarkPercent, 0);

  const synth::Image hand = synth::Render(Hand(true), 250);
  for (const synth::Image* img : {&hand, &blank}) {
    SegmentParams p = {0, 180, 0, 0, 0, 0, 0};
    char err[64] = "";
    const int result = FlatSegmentLite(img->pixels.data(), img->lineCount, img->lineLength, 250, kSlapRightHand,
                                       0xF, nullptr, &p, err, sizeof err);
    EXPECT_EQ(result, img == &hand ? 1 : 0) << err;
    EXPECT_EQ(p.Presence, 0);
  }
}

TEST(FlatSegmentLite, OutOfRangePresenceWordsTakeTheirDefaults) {
  const synth::Image hand = synth::Render(Hand(true), 250);
  auto darkPercent = [&](SegmentParams p) {
    char err[64] = "";
    FlatSegmentLite(hand.pixels.data(), hand.lineCount, hand.lineLength, 250, kSlapRightHand, 0xF, nullptr, &p,
                    err, sizeof err);
    return p.DarkPercent;
  };
  const int reference = darkPercent({0, 180, 0, 3, 0, 0, 0});
  EXPECT_NE(reference, darkPercent({0, 100, 0, 3, 0, 0, 0}));
  EXPECT_EQ(reference, darkPercent({0, 9, 0, 3, 0, 0, 0}));
  EXPECT_EQ(reference, darkPercent({0, 251, 0, 3, 0, 0, 0}));
  EXPECT_EQ(reference, darkPercent({0, 180, 0, 2, 0, 0, 0}));
  EXPECT_EQ(reference, darkPercent({0, 180, 0, 16, 0, 0, 0}));

  // The minimum percentage defaults to the number of expected fingers.
  const int percent = reference;
  ASSERT_GT(percent, 4);
  ASSERT_LE(percent, 48);
  auto present = [&](int minPercent) {
    SegmentParams p = {0, 180, minPercent, 3, 0, 0, 0};
    char err[64] = "";
    return FlatSegmentLite(hand.pixels.data(), hand.lineCount, hand.lineLength, 250, kSlapRightHand, 0xF,
                           nullptr, &p, err, sizeof err);
  };
  EXPECT_EQ(present(percent), 1);
  EXPECT_EQ(present(percent + 2), 0);
}

TEST(FlatSegmentLite, StagesOneToFour) {
  const synth::Image hand = synth::Render(Hand(true), 250);
  // Stage 1 returns the raw regions.
  SegRun r1 = Segment(hand, 250, kSlapRightHand, 0xF, 1);
  EXPECT_EQ(r1.result, 4);
  EXPECT_EQ(r1.params.Presence, 1);
  EXPECT_EQ(r1.fingers[0].Qty, 0);
  // Stage 2 grades without grey and area; stage 4 matches stage 3.
  SegRun r2 = Segment(hand, 250, kSlapRightHand, 0xF, 2);
  ASSERT_EQ(r2.result, 4);
  EXPECT_EQ(r2.params.Presence, 2);
  EXPECT_EQ(r2.fingers[0].Height, 0);
  EXPECT_EQ(r2.fingers[0].Width, 0);
  EXPECT_EQ(r2.fingers[0].Qty, 15);
  SegRun r3 = Segment(hand, 250, kSlapRightHand, 0xF, 3);
  SegRun r4 = Segment(hand, 250, kSlapRightHand, 0xF, 4);
  EXPECT_EQ(r4.result, 4);
  EXPECT_EQ(r4.params.Presence, 4);
  EXPECT_EQ(std::memcmp(r3.fingers, r4.fingers, sizeof r3.fingers), 0);
}

TEST(FlatSegmentLite, ReducedImageBeyondTheWorkAreaFindsNothing) {
  // 375 reduced lines pass the size check, but the segmentation works on at most 350.
  synth::Scene scene = Hand(true);
  scene.reducedLines = 350;
  EXPECT_EQ(Segment(synth::Render(scene, 250), 250, kSlapRightHand, 0xF).result, 4);
  scene.reducedLines = 360;
  const SegRun r = Segment(synth::Render(scene, 250), 250, kSlapRightHand, 0xF);
  EXPECT_EQ(r.result, 0);
  EXPECT_STREQ(r.err, "");
}

struct ArgCase {
  const char* name;
  int lines, length, ppi, position, mask, stage;
  bool nullImage, nullFingers;
  const char* text;  // expected error text, or null when the call passes
};

TEST(FlatSegmentLite, ArgumentChecks) {
  const ArgCase cases[] = {
      {"null image", 800, 1040, 250, 13, 0xF, 3, true, false, "Err: Input image buffer is NULL"},
      {"ppi 49", 800, 1040, 49, 13, 0xF, 3, false, false, "Err: Resolution 49"},
      {"ppi 600", 800, 1040, 600, 13, 0xF, 3, false, false, "Err: Resolution 600"},
      {"ppi 499 is factor 8", 800, 1040, 499, 13, 0xF, 3, false, false, nullptr},
      {"ppi 1000 is factor 16", 800, 1040, 1000, 13, 0xF, 0, false, false, nullptr},
      {"ppi 1000 too small", 400, 1040, 1000, 13, 0xF, 0, false, false, "Err: Image size 400x1040x1000"},
      {"240 lines pass", 240, 1040, 500, 13, 0xF, 0, false, false, nullptr},
      {"239 lines", 239, 1040, 500, 13, 0xF, 0, false, false, "Err: Image size 239x1040x500"},
      {"3000 columns pass", 800, 3000, 500, 13, 0xF, 0, false, false, nullptr},
      {"3008 columns", 800, 3008, 500, 13, 0xF, 0, false, false, "Err: Image size 800x3008x500"},
      {"mask 0", 800, 1040, 250, 13, 0, 3, false, false, "Err: FingerMask 0"},
      {"mask 16", 800, 1040, 250, 13, 16, 3, false, false, "Err: FingerMask 10"},
      {"mask 1f", 800, 1040, 250, 13, 0x1F, 0, false, false, nullptr},
      {"thumbs mask 4", 800, 1040, 250, 15, 4, 3, false, false, "Err: Finger 15 FingerMask 4"},
      {"position 12", 800, 1040, 250, 12, 0xF, 3, false, false, "Err: Finger 12"},
      {"stage 5", 800, 1040, 250, 13, 0xF, 5, false, false, "Err: Stage 5"},
      {"stage -1", 800, 1040, 250, 13, 0xF, -1, false, false, "Err: Stage -1"},
      {"no records", 800, 1040, 250, 13, 0xF, 1, false, true, "Err: CentPtr is NULL"},
      {"stage 0 needs no records", 800, 1040, 250, 13, 0xF, 0, false, true, nullptr},
  };
  for (const ArgCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> img(static_cast<size_t>(c.lines) * c.length, 220);
    FingerInfo fingers[4] = {};
    SegmentParams p = {c.stage, 180, 0, 0, 7, 7, 7};
    char err[64] = "";
    const int result = FlatSegmentLite(c.nullImage ? nullptr : img.data(), c.lines, c.length, c.ppi, c.position,
                                       c.mask, c.nullFingers ? nullptr : fingers, &p, err, sizeof err);
    if (c.text != nullptr) {
      EXPECT_EQ(result, -1);
      EXPECT_STREQ(err, c.text);
      EXPECT_EQ(p.Presence, 7);  // nothing else is written on an argument error
    } else {
      EXPECT_EQ(result, 0) << err;  // a blank platen: no hand
      EXPECT_STREQ(err, "");
      EXPECT_EQ(p.Presence, 0);
    }
  }
}

TEST(FlatSegmentLite, ErrorTextStaysInsideTheCallersBuffer) {
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  SegmentParams p = {3, 180, 0, 0, 0, 0, 0};
  EXPECT_EQ(FlatSegmentLite(nullptr, 800, 1040, 250, 13, 0xF, nullptr, &p, buffer, 8), -1);
  EXPECT_STREQ(buffer, "Err: In");
  for (size_t i = 8; i < sizeof buffer; ++i) EXPECT_EQ(buffer[i], '#');
  // No buffer at all still fails cleanly.
  EXPECT_EQ(FlatSegmentLite(nullptr, 800, 1040, 250, 13, 0xF, nullptr, &p, nullptr, 0), -1);
  // A missing parameter block is an argument error, not a crash.
  std::vector<uint8_t> img(800 * 1040, 220);
  char err[64] = "";
  EXPECT_EQ(FlatSegmentLite(img.data(), 800, 1040, 250, 13, 0xF, nullptr, nullptr, err, sizeof err), -1);
  EXPECT_STREQ(err, "Err: SegmentParams is NULL");
}

// SegmentFingerBlocks on the 1/4 reduction of a rendered scene, as the offline callers run it.
struct BlockRun {
  int result = 0;
  int32_t xs[8] = {}, ys[8] = {}, ds[8] = {};
};

BlockRun SegmentReduced(const synth::Scene& scene, int position, int mask, int stage, int expectedSize = 50) {
  const synth::Image img = synth::Render(scene, 250);
  const int lines = img.lineCount / 4, length = img.lineLength / 4;
  std::vector<uint8_t> reduced(static_cast<size_t>(lines) * length);
  EXPECT_EQ(ReduceImageByBlocks(img.pixels.data(), img.lineCount, img.lineLength, 0, 0, img.lineCount,
                                img.lineLength, reduced.data(), 4),
            0);
  BlockRun run;
  uint16_t sizePair[2] = {static_cast<uint16_t>(length), static_cast<uint16_t>(lines)};
  int count = 0;
  for (int k = 0; k < 4; ++k) count += (mask >> k) & 1;
  run.xs[0] = lines;
  run.xs[2] = count;
  run.xs[3] = stage + 10;
  run.ys[0] = length;
  run.ys[2] = mask;
  run.ds[0] = expectedSize;
  run.ds[1] = position;
  run.ds[2] = BlockHistogramThreshold(reduced.data(), length, lines / 4, length / 8, 3 * lines / 4, 7 * length / 8);
  run.result = SegmentFingerBlocks(sizePair, reduced.data(), run.xs, run.ys, run.ds);
  return run;
}

TEST(SegmentFingerBlocks, TouchingFingersAreSplit) {
  synth::Scene scene;
  // Neighbours overlap by a few pixels: their ellipses touch and their ragged rims run together.
  scene.contacts = synth::FourFingers(true, 60, 39);
  // The raw region list shows that neighbours merged into fewer regions than fingers.
  EXPECT_LT(SegmentReduced(scene, kSlapRightHand, 0xF, 1).result, 4);
  for (int mask : {0xF, 0x1F}) {
    SCOPED_TRACE(mask);
    const BlockRun r = SegmentReduced(scene, kSlapRightHand, mask, 0);
    EXPECT_EQ(-r.result & SegMissingFinger, 0);
    ASSERT_GE(r.result, -31);
    ASSERT_LE(r.result, 0);
    for (int k = 0; k < 4; ++k) {
      EXPECT_NEAR(r.ys[k], scene.contacts[k].column, 5) << k;
      EXPECT_NEAR(r.ds[k], 90, 3);
      // A piece of a split region sits on its finger, towards the tip.
      EXPECT_NEAR(r.xs[k], scene.contacts[k].line, scene.contacts[k].halfAlong) << k;
    }
  }
}

TEST(SegmentFingerBlocks, BadArgumentsAndEmptyCrops) {
  std::vector<uint8_t> reduced(200 * 260, 220);
  auto call = [&](int lines, int length, int count, int mask, int size, int position, int x0 = 0) {
    uint16_t sizePair[2] = {260, 200};
    int32_t xs[8] = {lines, x0, count, 13}, ys[8] = {length, 0, mask}, ds[8] = {size, position, 170};
    return SegmentFingerBlocks(sizePair, reduced.data(), xs, ys, ds);
  };
  EXPECT_EQ(call(200, 260, 3, 0xF, 50, 13), -127);   // count does not match the mask
  EXPECT_EQ(call(200, 260, 4, 0xF, 50, 12), -127);   // position
  EXPECT_EQ(call(200, 260, 4, 0xF, 15, 13), -127);   // expected size below 16
  EXPECT_EQ(call(200, 260, 4, 0xF, 65, 13), -127);   // expected size above 64
  EXPECT_EQ(call(201, 260, 4, 0xF, 50, 13), -127);   // crop leaves the image
  EXPECT_EQ(call(190, 260, 4, 0xF, 50, 13, 20), -127);
  EXPECT_EQ(call(190, 260, 4, 0xF, 50, 13, -5), -127);
  EXPECT_EQ(call(70, 260, 4, 0xF, 50, 13), -127);    // crop smaller than 1.5 fingers
  EXPECT_EQ(call(200, 260, 4, 0xF, 50, 13), -63);    // a blank crop has no region
  EXPECT_EQ(call(0, 260, 2, 3, 62, 15), -63);
}

}  // namespace
