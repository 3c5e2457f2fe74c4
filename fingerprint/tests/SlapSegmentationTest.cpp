// Live slap segmentation on rendered hands: finger order, finger numbers, hand angle, quality
// grades, the early-return and presence paths and the argument checks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
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
  // A stray contact beside the index finger, nearer the platen edge than any finger: of the five
  // heads none is 2.5 times another, so live frames drop the head nearest a column edge of the
  // crop, the stray one. The fingers then lie 48 apart with their tips in the usual order: only
  // the extra segment costs, 15 - 3, and only word 0 reports it.
  synth::Scene scene = Hand(true);
  scene.contacts.push_back({150, 15, 22, 18, 0});
  const SegRun r = Segment(synth::Render(scene, 250), 250, kSlapRightHand, 0xF);
  ASSERT_EQ(r.result, 4) << r.err;
  EXPECT_EQ(r.params.Stage, 1);
  EXPECT_EQ(r.params.DarkThreshold, 180);
  EXPECT_EQ(r.params.MinDarkPercent, 0);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(r.fingers[k].Finger, 2 + k);
    EXPECT_EQ(r.fingers[k].Qty, 12);
    ExpectOnContact(r.fingers[k], scene.contacts[k], 4);
  }
}

TEST(FlatSegmentLite, LiveFramesDropTheHeadNearestTheEdgeEvenWhenItIsAFinger) {
  // A palm contact between the middle and ring fingers: the little finger (56 from the far edge)
  // lies nearer an edge than the index finger (60) and is the one dropped. What stays is index,
  // middle, palm, ring: the palm is 22 across from the middle finger (close) and reaches far
  // beyond the ring finger's tip (tip order): 15 - 3 - 2 - 2 = 8, words 0, 1 and 2 set.
  synth::Scene scene = Hand(true);
  const synth::Contact palm = {170, 130, 20, 40, 90};
  scene.contacts.push_back(palm);
  const SegRun r = Segment(synth::Render(scene, 250), 250, kSlapRightHand, 0xF);
  ASSERT_EQ(r.result, 4) << r.err;
  EXPECT_EQ(r.params.Stage, 1);
  EXPECT_EQ(r.params.DarkThreshold, 1);
  EXPECT_EQ(r.params.MinDarkPercent, 1);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(r.fingers[k].Qty, 8);
  ExpectOnContact(r.fingers[0], scene.contacts[0], 4);
  ExpectOnContact(r.fingers[1], scene.contacts[1], 4);
  EXPECT_NEAR(r.fingers[2].Y / 4, palm.column, 4);  // a piece of the split palm region
  EXPECT_GT(r.fingers[2].X / 4, palm.line - palm.halfAcross);
  ExpectOnContact(r.fingers[3], scene.contacts[2], 4);
}

struct GradeCase {
  int position, angle, problems, found, expected;
  int qty;
  int32_t words[3];  // SegmentParams words 0..2 afterwards (they start as 3, 180, 0)
};

TEST(SlapQualityGrade, AnglePenaltiesAndProblemFlags) {
  const GradeCase cases[] = {
      // Four fingers: 40..130 is upright, 10..170 costs 1, beyond costs 4.
      {13, 90, 0, 4, 4, 15, {3, 180, 0}},
      {13, 40, 0, 4, 4, 15, {3, 180, 0}},
      {13, 39, 0, 4, 4, 14, {3, 180, 0}},
      {14, 130, 0, 4, 4, 15, {3, 180, 0}},
      {14, 131, 0, 4, 4, 14, {3, 180, 0}},
      {13, 135, 0, 4, 4, 14, {3, 180, 0}},
      {13, 10, 0, 4, 4, 14, {3, 180, 0}},
      {13, 9, 0, 4, 4, 11, {3, 180, 0}},
      {14, 170, 0, 4, 4, 14, {3, 180, 0}},
      {14, 171, 0, 4, 4, 11, {3, 180, 0}},
      {13, 175, 0, 4, 4, 11, {3, 180, 0}},
      // Flags: extra segment 3, close fingers 2, tip order 2, each with its word; a missing finger
      // costs 5 by the count alone; the rotated and missing flags cost nothing themselves.
      {13, 90, SegExtraSegment, 4, 4, 12, {1, 180, 0}},
      {13, 90, SegFingersClose, 4, 4, 13, {3, 1, 0}},
      {14, 90, SegTipOrder, 4, 4, 13, {3, 180, 1}},
      {13, 90, SegRotated | SegMissingFinger, 4, 4, 15, {3, 180, 0}},
      {13, 90, SegExtraSegment | SegFingersClose, 4, 4, 10, {1, 1, 0}},
      {13, 135, SegExtraSegment | SegFingersClose | SegTipOrder, 4, 4, 7, {1, 1, 1}},
      {14, 90, SegMissingFinger, 3, 4, 10, {3, 180, 0}},
      {13, 90, 0, 2, 2, 15, {3, 180, 0}},
      {13, 5, SegExtraSegment | SegFingersClose | SegTipOrder, 1, 4, 1, {1, 1, 1}},  // -1 kept at 1
      // Thumbs: 80..100 upright, 70..110 costs 2, 55..125 costs 6, beyond costs 10.
      {15, 90, 0, 2, 2, 15, {3, 180, 0}},
      {15, 80, 0, 2, 2, 15, {3, 180, 0}},
      {15, 79, 0, 2, 2, 14, {3, 180, 0}},
      {15, 100, 0, 2, 2, 15, {3, 180, 0}},
      {15, 101, 0, 2, 2, 14, {3, 180, 0}},
      {15, 70, 0, 2, 2, 14, {3, 180, 0}},
      {15, 69, 0, 2, 2, 13, {3, 180, 0}},
      {15, 110, 0, 2, 2, 14, {3, 180, 0}},
      {15, 111, 0, 2, 2, 13, {3, 180, 0}},
      {15, 55, 0, 2, 2, 13, {3, 180, 0}},
      {15, 54, 0, 2, 2, 9, {3, 180, 0}},
      {15, 125, 0, 2, 2, 13, {3, 180, 0}},
      {15, 126, 0, 2, 2, 9, {3, 180, 0}},
      // Thumbs: an extra segment costs 3, a missing thumb 6; close and tip order are not graded.
      {15, 90, SegExtraSegment, 2, 2, 12, {1, 180, 0}},
      {15, 90, 0, 1, 2, 9, {3, 180, 0}},
      {15, 90, SegFingersClose | SegTipOrder, 2, 2, 15, {3, 180, 0}},
      {15, 0, SegExtraSegment, 1, 2, 1, {1, 180, 0}},  // 14 - 1 - 4 - 3 - 6 = 0, kept at 1
  };
  for (const GradeCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "position " << c.position << " angle " << c.angle << " flags "
                                    << c.problems << " found " << c.found << "/" << c.expected);
    SegmentParams p = {3, 180, 0, 0, 0, 0, 0};
    EXPECT_EQ(SlapQualityGrade(c.position, c.angle, c.problems, c.found, c.expected, &p), c.qty);
    EXPECT_EQ(p.Stage, c.words[0]);
    EXPECT_EQ(p.DarkThreshold, c.words[1]);
    EXPECT_EQ(p.MinDarkPercent, c.words[2]);
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
      {"240 columns pass", 800, 240, 500, 13, 0xF, 0, false, false, nullptr},
      {"239 columns", 800, 239, 500, 13, 0xF, 0, false, false, "Err: Image size 800x239x500"},
      {"3000 lines pass", 3000, 1040, 500, 13, 0xF, 0, false, false, nullptr},
      {"3008 lines", 3008, 1040, 500, 13, 0xF, 0, false, false, "Err: Image size 3008x1040x500"},
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

TEST(FlatSegmentLite, ResolutionsBelow94PassThePresenceTestButCannotBeSegmented) {
  // 50..93 ppi give a reduction factor of 1, which the block reduction refuses: stage 0 still
  // tests presence, every other stage fails with the resolution text instead of segmenting an
  // unwritten copy. 94 ppi gives factor 2 and segments.
  const synth::Image hand = synth::Render(Hand(true), 93);  // factor 1: 200 x 260 pixels
  for (int ppi : {50, 93}) {
    SCOPED_TRACE(ppi);
    for (int stage = 1; stage <= 4; ++stage) {
      SegRun r = Segment(hand, ppi, kSlapRightHand, 0xF, stage);
      EXPECT_EQ(r.result, -1);
      EXPECT_EQ(std::string(r.err), "Err: Resolution " + std::to_string(ppi));
      const FingerInfo zero{};
      for (const FingerInfo& f : r.fingers) EXPECT_EQ(std::memcmp(&f, &zero, sizeof zero), 0);
    }
    EXPECT_EQ(Segment(hand, ppi, kSlapRightHand, 0xF, 0).result, 1);
  }
  const synth::Image at94 = synth::Render(Hand(true), 94);
  const SegRun r = Segment(at94, 94, kSlapRightHand, 0xF);
  EXPECT_EQ(r.result, 4) << r.err;
  EXPECT_STREQ(r.err, "");
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

TEST(SegmentFingerBlocks, SlotsNotFoundKeepTheirStartingPlaces) {
  // A blank crop (200 lines, 260 columns) has no region: -63, and every slot keeps its starting
  // centre and -1. A lone dark pixel on the crop's edge is a region of one pixel, not a finger.
  std::vector<uint8_t> reduced(200 * 260, 220);
  reduced[100] = 0;
  const uint16_t sizePair[2] = {260, 200};
  const struct {
    int position, mask, count, size;
    int32_t x[4], y[4];
  } cases[] = {
      {13, 0xF, 4, 50, {100, 50, 100, 150}, {52, 104, 156, 208}},
      {14, 0xF, 4, 50, {100, 50, 100, 150}, {208, 156, 104, 52}},
      {15, 3, 2, 62, {100, 100, 2, 13}, {195, 65, 3, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.position);
    int32_t xs[8] = {200, 0, c.count, 13}, ys[8] = {260, 0, c.mask}, ds[8] = {c.size, c.position, 170};
    EXPECT_EQ(SegmentFingerBlocks(sizePair, reduced.data(), xs, ys, ds), -63);
    const int slots = c.position == kSlapTwoThumbs ? 2 : 4;
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(xs[k], c.x[k]) << k;
      EXPECT_EQ(ys[k], c.y[k]) << k;
      if (k < slots) {
        EXPECT_EQ(ds[k], -1) << k;
      }
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

// The record-table steps of SegmentFingerBlocks on hand-made tables.
namespace tables {

FingerSegment Angled(int angle, int elongation, int exclusion = 0) {
  FingerSegment r;
  r.cls = 1;
  r.angle = angle;
  r.elongation = elongation;
  r.exclusion = exclusion;
  return r;
}

// Three upright regions plus the given angles, all of weight 100 (elongation 5).
int HandAngleWith(std::vector<int> angles, int position = kSlapRightHand) {
  std::vector<FingerSegment> rec(3, Angled(90, 5));
  for (int a : angles) rec.push_back(Angled(a, 5));
  return SegmentHandAngle(rec.data(), static_cast<int>(rec.size()), position);
}

TEST(SegmentHandAngle, WeightedMeanAndDeviations) {
  // Weights 105 - elongation: (80 x 100 + 100 x 50) / 150 = 86.7, truncated.
  FingerSegment rec[3] = {Angled(80, 5), Angled(100, 55), Angled(10, 5, 2)};
  EXPECT_EQ(SegmentHandAngle(rec, 3, kSlapRightHand), 86);
  EXPECT_EQ(rec[0].weight, 100);
  EXPECT_EQ(rec[1].weight, 50);
  EXPECT_EQ(rec[0].deviation, 6);
  EXPECT_EQ(rec[1].deviation, 14);
  EXPECT_EQ(rec[2].exclusion, 2);  // left out: neither weighed nor measured
  EXPECT_EQ(rec[2].deviation, 0);

  // No positive weight (0, or below): thumbs take 90, four-finger positions have no hand angle.
  for (int elongation : {105, 110}) {
    FingerSegment round[2] = {Angled(30, 105), Angled(60, elongation)};
    EXPECT_EQ(SegmentHandAngle(round, 2, kSlapTwoThumbs), 90);
    EXPECT_EQ(SegmentHandAngle(round, 2, kSlapLeftHand), kNoHandAngle);
  }
}

TEST(SegmentHandAngle, OutlierRounds) {
  // Expected angles follow the rounds by hand (three regions at 90 plus the listed ones):
  // 90 x 3, 0, 0, 51: mean 53; round one excludes both 0s (53), mean 80; round two excludes them
  // again (80 > 60 goes on) but 51 deviates 29 < 30: 80.
  EXPECT_EQ(HandAngleWith({0, 0, 51}), 80);
  // 90 x 3, 0, 0, 120: mean 65; round one takes the 0s (65 > 60 goes on) and 120 (55): 90; round
  // two again, 120 now deviates exactly 30 and goes: 90.
  EXPECT_EQ(HandAngleWith({0, 0, 120}), 90);
  // After two exclusions a third follows only when the second deviated more than 60.
  // 90 x 3, 0, 6, 126: mean 67; round one: 0 (67), 6 (61 > 60 goes on), 126 (59): 90; round two:
  // 0 (90), 6 (84), 126 (36): 90.
  EXPECT_EQ(HandAngleWith({0, 6, 126}), 90);
  // 90 x 3, 0, 6, 120: mean 66; round one: 0 (66), 6 (60: stops): 97; round two: 0 (97), 6 (91
  // goes on), 120 deviates 23 and stays: 97.
  EXPECT_EQ(HandAngleWith({0, 6, 120}), 97);
  // 90 x 3, 0, 9, 126: mean 67; round one: 0 (67), 126 (59: stops): 69; round two: 0 (69), 9 (60:
  // stops): (270 + 126) / 4 = 99.
  EXPECT_EQ(HandAngleWith({0, 9, 126}), 99);
  // At most two rounds: 90 x 3, 0, 0, 0: mean 45; round one excludes the first two (ties: the
  // first), 45 <= 60 stops: mean 22; round two excludes the three 90s (68 > 60 goes on) and the
  // 0s deviate 22: mean 0. A third round would move it again.
  EXPECT_EQ(HandAngleWith({0, 0, 0}), 0);
  // 90 x 3, 0, 3, 6: two rounds end at 69; a third would exclude 0, 3 and 6 and give 90.
  EXPECT_EQ(HandAngleWith({0, 3, 6}), 69);
  // Rounds stop before the last included record: 0 and 90 (mean 45) lose the 0 and end at 90.
  FingerSegment two[2] = {Angled(0, 5), Angled(90, 5)};
  EXPECT_EQ(SegmentHandAngle(two, 2, kSlapRightHand), 90);
  EXPECT_EQ(two[0].exclusion, 0);
  EXPECT_EQ(two[0].deviation, 90);
  // Thumbs have no outlier rounds: the plain weighted mean.
  EXPECT_EQ(HandAngleWith({0, 0, 0}, kSlapTwoThumbs), 45);
}

TEST(SegmentClass, RegionClassRules) {
  // Expected finger size 50: finger-sized below 60 in both extents.
  struct Case {
    int count, dx, dy;
    float density;
    int angle, elongation, position;
    bool live;
    int cls;
  } cases[] = {
      {1000, 59, 40, 1.5f, 90, 30, 13, true, 1},
      {1000, 40, 60, 1.5f, 90, 30, 13, true, 2},
      // Small, round or live, and lying across (below 20 or above 160): rejected (thumbs: suspect).
      {1499, 40, 40, 1.5f, 19, 30, 13, true, 4},
      {1499, 40, 40, 1.5f, 20, 30, 13, true, 1},
      {1499, 40, 40, 1.5f, 160, 30, 14, true, 1},
      {1499, 40, 40, 1.5f, 161, 30, 14, true, 4},
      {1500, 40, 40, 1.5f, 10, 30, 13, true, 1},
      {1000, 40, 40, 1.5f, 10, 49, 13, false, 4},
      {1000, 40, 40, 1.5f, 10, 50, 13, false, 1},
      {1000, 40, 40, 1.5f, 10, 30, 15, true, 3},
      // Large regions (above 3000; thumbs 4000) may be only so round: t = (limit - count) x 10 /
      // limit + 20, at least 10.
      {3000, 50, 50, 1.0f, 90, 70, 13, true, 1},
      {3001, 50, 50, 1.0f, 90, 19, 13, true, 3},  // t = 18
      {3001, 50, 50, 1.0f, 90, 18, 13, true, 1},
      {20000, 50, 50, 1.0f, 90, 11, 13, true, 3},  // t = -50, raised to 10
      {20000, 50, 50, 1.0f, 90, 10, 13, true, 1},
      {4000, 50, 50, 1.0f, 90, 70, 15, true, 1},
      {4001, 50, 50, 1.0f, 90, 20, 15, true, 3},  // t = 19
      {4001, 50, 50, 1.0f, 90, 19, 15, true, 1},
      // Oversized, not a line and sparse in its box: suspect.
      {1000, 60, 40, 2.01f, 90, 11, 13, true, 3},
      {1000, 60, 40, 2.0f, 90, 11, 13, true, 2},
      {1000, 60, 40, 3.0f, 90, 10, 13, true, 2},
      {1000, 59, 40, 3.0f, 90, 30, 13, true, 1},
      // Nearly round: suspect.
      {1000, 40, 40, 1.5f, 90, 81, 13, true, 3},
      {1000, 40, 40, 1.5f, 90, 80, 13, true, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SegmentClass(c.count, c.dx, c.dy, c.density, c.angle, c.elongation, 50, c.position, c.live), c.cls)
        << c.count << " " << c.dx << "x" << c.dy << " density " << c.density << " angle " << c.angle
        << " elongation " << c.elongation << " position " << c.position << (c.live ? " live" : "");
  }
}

TEST(LeaveOutSmallSegments, SmallestBelow500WhileMoreThanThreeRecords) {
  auto excluded = [](std::vector<int> counts, std::vector<int> exclusion) {
    std::vector<FingerSegment> rec(counts.size());
    for (size_t i = 0; i < counts.size(); ++i) {
      rec[i].count = counts[i];
      rec[i].exclusion = exclusion[i];
    }
    LeaveOutSmallSegments(rec.data(), static_cast<int>(rec.size()));
    std::vector<int> out;
    for (const FingerSegment& r : rec) out.push_back(r.exclusion);
    return out;
  };
  EXPECT_EQ(excluded({400, 300, 600}, {0, 0, 0}), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(excluded({400, 300, 600, 499}, {0, 0, 0, 0}), (std::vector<int>{2, 2, 0, 2}));
  EXPECT_EQ(excluded({500, 700, 600, 800}, {0, 0, 0, 0}), (std::vector<int>{0, 0, 0, 0}));
  // Records already left out count towards the four and are not chosen again.
  EXPECT_EQ(excluded({400, 300, 600, 100}, {0, 0, 0, 2}), (std::vector<int>{2, 2, 0, 2}));
}

FingerSegment Seg(int across, int along, int count, int cls = 1) {
  FingerSegment r;
  r.cls = cls;
  r.across = across;
  r.along = along;
  r.count = count;
  r.centreLine = along;
  r.centreColumn = across;
  return r;
}

TEST(SegmentRotation, AcrossAndAlongCoordinates) {
  FingerSegment rec[2] = {Seg(0, 0, 500), Seg(0, 0, 500, 4)};
  rec[0].centreLine = 40;
  rec[0].centreColumn = 70;
  rec[0].link = -7;
  rec[1].link = -7;
  RotateSegments(rec, 2, 0);  // angle 0: across = -line, along = column
  EXPECT_EQ(rec[0].across, -40);
  EXPECT_EQ(rec[0].along, 70);
  EXPECT_EQ(rec[0].link, 0);
  EXPECT_EQ(rec[1].link, -7);  // a rejected region is left as it is
  EXPECT_EQ(rec[1].across, 0);
}

TEST(GroupFingerSegments, SegmentsWithin15AcrossFormOneFinger) {
  struct Case {
    int acrossB, alongB, countA, countB;
    bool live;
    int fingers, linkA, linkB;
  } cases[] = {
      {114, 60, 1000, 1000, false, 1, 0, -1000},     // 14 apart: B (further along) joins A
      {115, 60, 1000, 1000, false, 2, 0, 0},         // 15 apart: two fingers
      {86, 60, 1000, 1000, false, 1, 0, -1000},
      {85, 60, 1000, 1000, false, 2, 0, 0},
      {110, 40, 1000, 1000, false, 1, -1001, 0},     // A further along: A joins B
      {110, 50, 1000, 1000, false, 1, 0, -1000},     // equal: the later one joins
      {110, 60, 1000, 399, false, 1, 0, -5000},      // 399 x 2.5 < 1000: the small one goes
      {110, 60, 1000, 400, false, 1, 0, -1000},      // 400 x 2.5 = 1000 stays
      {110, 60, 400, 1001, false, 1, -5000, 0},
      {110, 60, 400, 1000, false, 1, 0, -1000},
      {110, 60, 1000, 199, true, 1, 0, -5000},       // live frames: a factor of 5
      {110, 60, 1000, 200, true, 1, 0, -1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.acrossB << " " << c.alongB << " " << c.countA << " " << c.countB);
    FingerSegment rec[2] = {Seg(100, 50, c.countA), Seg(c.acrossB, c.alongB, c.countB)};
    EXPECT_EQ(GroupFingerSegments(rec, 2, c.live), c.fingers);
    EXPECT_EQ(rec[0].link, c.linkA);
    EXPECT_EQ(rec[1].link, c.linkB);
  }
  // Only heads are matched, and rejected regions not at all: C is 10 from the member B but 20
  // from the head A.
  FingerSegment rec[4] = {Seg(100, 50, 1000), Seg(110, 60, 1000), Seg(120, 70, 1000), Seg(100, 50, 1000, 4)};
  EXPECT_EQ(GroupFingerSegments(rec, 4, false), 2);
  EXPECT_EQ(rec[2].link, 0);
  EXPECT_EQ(rec[3].link, 0);
}

struct Ordered {
  int flags = 0, found = 0;
  SlapFinger fingers[4];
};

Ordered Order(std::vector<FingerSegment> rec, int fingerCount, int position = kSlapRightHand, int mask = 0x1F,
              int angle = 90, int stage = 3, int expected = 4) {
  Ordered o;
  o.flags = OrderFingers(rec.data(), static_cast<int>(rec.size()), fingerCount, expected, position, mask, stage, 260,
                         angle, o.fingers, &o.found);
  return o;
}

// Four heads 40 apart across with the given along coordinates.
std::vector<FingerSegment> Hand4(int v0, int v1, int v2, int v3, int gap = 40) {
  return {Seg(10, v0, 1000), Seg(10 + gap, v1, 1000), Seg(10 + 2 * gap, v2, 1000), Seg(10 + 3 * gap, v3, 1000)};
}

TEST(OrderFingers, FingersGoAcrossTheHandFromTheIndexFinger) {
  std::vector<FingerSegment> rec = Hand4(50, 50, 50, 50);
  std::swap(rec[0], rec[2]);
  const Ordered right = Order(rec, 4);
  EXPECT_EQ(right.flags, 0);
  ASSERT_EQ(right.found, 4);
  for (int t = 0; t < 4; ++t) EXPECT_EQ(right.fingers[t].across, 10 + 40 * t);
  const Ordered left = Order(rec, 4, kSlapLeftHand);
  for (int t = 0; t < 4; ++t) EXPECT_EQ(left.fingers[t].across, 130 - 40 * t);
  // Fewer fingers than expected: flagged, and the tip order is not judged.
  rec = Hand4(40, 50, 50, 90);  // the index tip 10 short of the middle's would be tip order
  rec.pop_back();
  const Ordered three = Order(rec, 3);
  EXPECT_EQ(three.flags, SegMissingFinger);
  EXPECT_EQ(three.found, 3);
}

TEST(OrderFingers, FingersCloserThan25AcrossAreFlagged) {
  for (int last : {84, 85}) {
    std::vector<FingerSegment> rec = {Seg(10, 50, 900), Seg(35, 50, 900), Seg(60, 50, 900), Seg(last, 50, 900)};
    EXPECT_EQ(Order(rec, 4).flags, last == 84 ? SegFingersClose : 0) << last;
    for (auto& r : rec) r.across = 94 - r.across;  // mirrored for the left hand
    EXPECT_EQ(Order(rec, 4, kSlapLeftHand).flags, last == 84 ? SegFingersClose : 0) << last;
  }
}

TEST(OrderFingers, TipOrderRules) {
  struct Case {
    int v[4];
    bool flagged;
  } cases[] = {
      {{50, 50, 50, 50}, false},
      {{55, 50, 50, 50}, false}, {{56, 50, 50, 50}, true},     // index beyond the little finger + 5
      {{50, 50, 52, 50}, false}, {{50, 50, 53, 50}, true},     // ring beyond the little finger + 2
      {{45, 50, 50, 50}, false}, {{44, 50, 50, 50}, true},     // index short of the middle - 5
      {{50, 50, 42, 50}, false}, {{50, 50, 41, 50}, true},     // ring short of the middle - 8
      {{120, 50, 50, 200}, false}, {{121, 50, 50, 200}, true}, // index past the middle + 70
      {{50, 50, 110, 200}, false}, {{50, 50, 111, 200}, true}, // ring past the middle + 60
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.v[0] << " " << c.v[1] << " " << c.v[2] << " " << c.v[3]);
    EXPECT_EQ(Order(Hand4(c.v[0], c.v[1], c.v[2], c.v[3]), 4).flags, c.flagged ? SegTipOrder : 0);
  }
}

TEST(OrderFingers, IndexFingerTakesItsSecondSegmentWhenItsTipLiesFarAcross) {
  // Not live, second segments not searched (mask bit 5): the index finger (along 40, 10 short of
  // the middle finger) is replaced by its second segment when that lies more than 15 across.
  for (int offset : {15, 16}) {
    std::vector<FingerSegment> rec = Hand4(40, 50, 50, 50);
    FingerSegment second = Seg(10 + offset, 47, 800);
    second.link = -1000;  // member of record 0
    rec.push_back(second);
    const Ordered o = Order(rec, 4, kSlapRightHand, 0xF | 32);
    EXPECT_EQ(o.fingers[0].along, offset == 16 ? 47 : 40) << offset;
    EXPECT_EQ(o.flags, offset == 16 ? 0 : SegTipOrder) << offset;  // 40 < 50 - 5
  }
}

TEST(OrderFingers, RotatedHands) {
  const std::vector<FingerSegment> rec = Hand4(50, 50, 50, 50);
  EXPECT_EQ(Order(rec, 4, kSlapRightHand, 0x1F, 100).flags, 0);
  EXPECT_EQ(Order(rec, 4, kSlapRightHand, 0x1F, 101).flags, SegRotated);
  EXPECT_EQ(Order(rec, 4, kSlapLeftHand, 0x1F, 80).flags, 0);
  EXPECT_EQ(Order(rec, 4, kSlapLeftHand, 0x1F, 79).flags, SegRotated);
  std::vector<FingerSegment> thumbs = {Seg(10, 50, 1000), Seg(100, 50, 1000)};
  EXPECT_EQ(Order(thumbs, 2, kSlapTwoThumbs, 0x13, 60, 3, 2).flags, 0);
  EXPECT_EQ(Order(thumbs, 2, kSlapTwoThumbs, 0x13, 120, 3, 2).flags, 0);
}

TEST(OrderFingers, OneFingerTooManyIsDroppedBySizeOrByPosition) {
  // Live: the closest pair across is the last two; 1000 > 2.5 x 399 drops the small one, with
  // 400 neither is that much larger and an extra segment is dropped at the crop's nearer edge.
  for (int small : {399, 400}) {
    std::vector<FingerSegment> rec = Hand4(50, 50, 50, 50);
    rec.push_back(Seg(125, 50, small));
    rec[4].centreColumn = 255;  // 5 from the crop's far edge, the others 10 or more
    const Ordered o = Order(rec, 5);
    EXPECT_EQ(o.flags, small == 399 ? 0 : SegExtraSegment) << small;
    ASSERT_EQ(o.found, 4);
    EXPECT_EQ(o.fingers[3].across, 130) << small;
  }
  // Not live: the small segment furthest across and along (or level with the furthest along) is
  // protected unless below 300; then an extra segment is dropped by position, the first across the
  // hand, and what stays is close.
  for (int small : {299, 300, -300}) {
    std::vector<FingerSegment> rec = Hand4(50, 50, 50, 50);
    rec.push_back(Seg(135, small < 0 ? 50 : 60, std::abs(small)));
    small = std::abs(small);
    const Ordered o = Order(rec, 5, kSlapRightHand, 0xF);
    ASSERT_EQ(o.found, 4);
    if (small == 299) {
      EXPECT_EQ(o.flags, 0);
      EXPECT_EQ(o.fingers[0].across, 10);
    } else {
      EXPECT_EQ(o.flags, SegExtraSegment | SegFingersClose);
      EXPECT_EQ(o.fingers[0].across, 50);
      EXPECT_EQ(o.fingers[3].across, 135);
    }
  }
}

TEST(OrderFingers, ADroppedHeadGivesBackItsMembers) {
  // Live. The segment at 135 (count 300, holding a member at 140) is 5 across from the head at 130
  // and more than 2.5 times smaller: it goes and its member becomes a head. Of the five heads
  // now, none is that much smaller: an extra segment goes, the one nearest a crop edge (the index
  // finger at column 10), leaving 50, 90, 130 and 140, the last two close.
  std::vector<FingerSegment> rec = Hand4(50, 50, 50, 50);
  rec.push_back(Seg(135, 50, 300));
  rec.push_back(Seg(140, 60, 1000));
  rec[5].link = -1004;
  const Ordered o = Order(rec, 5);
  EXPECT_EQ(o.flags, SegExtraSegment | SegFingersClose);
  ASSERT_EQ(o.found, 4);
  EXPECT_EQ(o.fingers[0].across, 50);
  EXPECT_EQ(o.fingers[3].across, 140);
}

TEST(OrderFingers, LeftHandEdgeProtectionLooksAtEveryHead) {
  // Not live, left hand: the small segment at 15 (along 60) is not at the edge, the head at 10 lies
  // beyond it; 1000 > 2.5 x 300 drops it and the hand stays as it was.
  std::vector<FingerSegment> rec = Hand4(50, 50, 50, 50);
  rec.push_back(Seg(15, 60, 300));
  const Ordered o = Order(rec, 5, kSlapLeftHand, 0xF);
  EXPECT_EQ(o.flags, 0);
  ASSERT_EQ(o.found, 4);
  EXPECT_EQ(o.fingers[0].across, 130);
  EXPECT_EQ(o.fingers[3].across, 10);
}

}  // namespace tables
