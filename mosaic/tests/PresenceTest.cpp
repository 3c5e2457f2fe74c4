#include <gtest/gtest.h>

#include "LiveScanAlgInternal.h"
#include "LiveScanTestSupport.h"

namespace LiveScanAlg {
namespace {

using livescan_test::FreshBlock;
using livescan_test::Image;
using livescan_test::TexturedImage;

class PresenceTest : public FreshBlock {};

struct FingerCase {
  const char* name;
  Image image;
  int varThreshold;
  int expected;
  int fingerOn;
};

Image Uniform(int h, int w, unsigned char v) { return Image(h, w, v); }

Image Span(int h, int w, int lo, int hi) {
  Image img(h, w);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.at(y, x) = static_cast<unsigned char>((x + y) % 2 ? hi : lo);
  return img;
}

TEST_F(PresenceTest, IsFingerONTestsInOrder) {
  const FingerCase cases[] = {
      {"all white is too white", Uniform(40, 40, 255), 100, LSA_TOO_WHITE, 0},
      {"all dark is too dark", Uniform(40, 40, 50), 100, LSA_TOO_DARK, 0},
      {"levels 100..120 have a small range", Span(40, 40, 100, 120), 10, LSA_SMALL_DYNAMIC_RANGE, 0},
      {"flat texture has a small variance", Span(40, 40, 100, 140), 401, LSA_SMALL_VARIANCE, 0},
      {"ridges are a finger", TexturedImage(40, 40), 200, LSA_PASSED, 1},
  };
  for (const FingerCase& c : cases) {
    Image img = c.image;
    int on = -1;
    float variance = -1.0f;
    EXPECT_EQ(IsFingerON(img.height, img.width, img.data(), c.varThreshold, &on, &variance),
              c.expected)
        << c.name;
    EXPECT_EQ(on, c.fingerOn) << c.name;
    EXPECT_EQ(GetParameter()->LastFingerOn, c.fingerOn) << c.name;
    EXPECT_FLOAT_EQ(GetParameter()->LastFingerVariance, variance) << c.name;
  }
  Image white = Uniform(40, 40, 255);
  int on = 1;
  float variance = -1.0f;
  IsFingerON(40, 40, white.data(), 100, &on, &variance);
  EXPECT_FLOAT_EQ(variance, 0.0f);
  EXPECT_EQ(GetParameter()->LastMinLevel, 255);
  EXPECT_EQ(GetParameter()->LastHistogram.entry[255].count, 1600);
}

TEST_F(PresenceTest, IsFingerONRejectsBadImagesAndStillRecordsNoFinger) {
  GetParameter()->LastFingerOn = 1;
  unsigned char pixel = 0;
  int on = 1;
  float variance = 0.0f;
  EXPECT_EQ(IsFingerON(0, 5, &pixel, 100, &on, &variance), LSA_INVALID_INPUT1);
  EXPECT_EQ(on, 0);
  EXPECT_EQ(GetParameter()->LastFingerOn, 0);
  EXPECT_EQ(IsFingerON(5, 0, &pixel, 100, &on, &variance), LSA_INVALID_INPUT2);
  EXPECT_EQ(IsFingerON(5, 5, nullptr, 100, &on, &variance), LSA_INVALID_INPUT3);
  auto* pattern = reinterpret_cast<unsigned char*>(static_cast<std::uintptr_t>(0xCCCCCCCCu));
  EXPECT_EQ(IsFingerON(5, 5, pattern, 100, &on, &variance), LSA_INVALID_INPUT3);
}

TEST(HistogramStatisticsTest, FullFrameSumsDoNotWrap) {
  // A 2912 x 4512 frame, mostly white: 255 x count overflows 32 bits.
  HistogramType h{};
  for (int i = 0; i < 256; ++i) h.entry[i].level = i;
  h.entry[255].count = 10000000;
  h.entry[0].count = 3138944;
  float variance = 0, mean = 0;
  unsigned char lo = 1, hi = 0;
  ASSERT_EQ(CalculateMeanVarMinMax(&h, &variance, &mean, &lo, &hi), 0);
  const double n = 13138944.0;
  const double m = 255.0 * 10000000.0 / n;
  EXPECT_FLOAT_EQ(mean, static_cast<float>(m));
  EXPECT_FLOAT_EQ(variance, static_cast<float>(255.0 * 255.0 * 10000000.0 / n - m * m));
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 255);

  float deviation = 0;
  ASSERT_EQ(CalculateHistogramStatistics(&h, nullptr, nullptr, &mean, nullptr, &deviation), 0);
  const int t = static_cast<int>(m);
  EXPECT_NEAR(deviation, ((255 - t) * 10000000.0 + t * 3138944.0) / n, 0.01);
}

TEST(HistogramStatisticsTest, EmptyAndMissingHistograms) {
  HistogramType empty{};
  float variance = 5, mean = 5;
  unsigned char lo = 5, hi = 5;
  EXPECT_EQ(CalculateMeanVarMinMax(&empty, &variance, &mean, &lo, &hi), 0);
  EXPECT_EQ(mean, 0.0f);
  EXPECT_EQ(variance, 0.0f);
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 0);
  EXPECT_EQ(CalculateMeanVarMinMax(nullptr, &variance, &mean, &lo, &hi), LSA_INVALID_INPUT);
  Image img(2, 2, 7);
  EXPECT_EQ(CalculateImageHistogram1(0, 2, img.data(), &empty), LSA_INVALID_INPUT);
  EXPECT_EQ(CalculateImageHistogram1(2, 2, img.data(), &empty), 0);
  EXPECT_EQ(empty.entry[7].count, 4);
  EXPECT_EQ(empty.entry[200].level, 200);
}

TEST_F(PresenceTest, FastPresenceNeedsEnoughDarkPixels) {
  // Both images pass every grid block; only the larger has 42000 pixels below 255.
  Image small = TexturedImage(200, 200);
  Image large = TexturedImage(220, 220);
  int on = -1;
  IsFingerOnFast(10, 100.0f, small.data(), small.width, small.height, &on);
  EXPECT_EQ(on, 0);
  IsFingerOnFast(10, 100.0f, large.data(), large.width, large.height, &on);
  EXPECT_EQ(on, 1);
  Image blank(220, 220, 255);
  IsFingerOnFast(10, 100.0f, blank.data(), blank.width, blank.height, &on);
  EXPECT_EQ(on, 0);
}

TEST_F(PresenceTest, FastPresenceReportsTheMeanOffsetOfTheEmptyBlocks) {
  // A 3 x 3 grid with origins at 64, 128 and 192: the right column of blocks is empty, so six
  // blocks pass (not more than 0.8 x 9) and the finger is off.
  Image img(256, 256, 255);
  for (int y = 0; y < 256; ++y)
    for (int x = 0; x < 150; ++x) img.at(y, x) = livescan_test::Ridge(y, x, 9.0, 40, 200);
  int on = -1;
  Cordinate2DType offset{99, 99};
  IsFingerOnFast1(3, 100.0f, img.data(), 256, 256, &on, &offset);
  EXPECT_EQ(on, 0);
  // Failing blocks i = 2, j = 0..2: x = 256 x 2 / 3 - 128 = 42; rows -128, -43, 42 average -43.
  EXPECT_EQ(offset.x, 42);
  EXPECT_EQ(offset.y, -43);

  Image blank(256, 256, 255);
  IsFingerOnFast1(3, 100.0f, blank.data(), 256, 256, &on, &offset);
  EXPECT_EQ(offset.x, 0);
  EXPECT_EQ(offset.y, 0);
}

TEST(PalmMovingTest, CountsDifferingPixels) {
  Image a = TexturedImage(30, 30);
  Image b = a;
  int differing = -1, moving = -1;
  IsPalmMoving(30, 30, a.data(), b.data(), 0, &differing, &moving);
  EXPECT_EQ(differing, 0);
  EXPECT_EQ(moving, 0);
  b.at(3, 4) ^= 1;
  b.at(20, 21) ^= 1;
  IsPalmMoving(30, 30, a.data(), b.data(), 1, &differing, &moving);
  EXPECT_EQ(differing, 2);
  EXPECT_EQ(moving, 1);
  IsPalmMoving(30, 30, a.data(), b.data(), 2, &differing, &moving);
  EXPECT_EQ(moving, 0);
}

TEST(PalmMovingTest, CorrelationDecidesMovement) {
  Image a = TexturedImage(40, 40);
  int used = 0, moving = -1;
  IsPalmMoving1(1, 40, 40, a.data(), a.data(), 0.115f, &used, &moving);
  EXPECT_EQ(moving, 0);
  EXPECT_GT(used, 550);

  // The same ridges shifted by half a period: anti-correlated.
  Image b(40, 40);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 40; ++x) b.at(y, x) = livescan_test::Ridge(y, x + 5, 9.0, 40, 200);
  IsPalmMoving1(1, 40, 40, a.data(), b.data(), 0.115f, &used, &moving);
  EXPECT_EQ(moving, 1);

  // 550 usable pairs are too few, even when they match.
  Image sparse(40, 40, 250);
  for (int i = 0; i < 550; ++i) sparse.pixels[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i % 200);
  IsPalmMoving1(1, 40, 40, sparse.data(), sparse.data(), 0.115f, &used, &moving);
  EXPECT_EQ(used, 550);
  EXPECT_EQ(moving, 1);
  sparse.pixels[550] = 3;
  IsPalmMoving1(1, 40, 40, sparse.data(), sparse.data(), 0.115f, &used, &moving);
  EXPECT_EQ(used, 551);
  EXPECT_EQ(moving, 0);

  // A step visits only indices 0, step, 2 x step, ...: the frames match at the multiples of 3 and
  // run against each other everywhere else, so step 3 sees still frames and steps 1 and 2 a move.
  Image c(60, 60), d(60, 60);
  for (std::size_t i = 0; i < c.pixels.size(); ++i) {
    const int level = i % 3 == 0 ? static_cast<int>(i / 3 % 200) : static_cast<int>(i * 7 % 200);
    c.pixels[i] = static_cast<unsigned char>(level);
    d.pixels[i] = static_cast<unsigned char>(i % 3 == 0 ? level : 199 - level);
  }
  IsPalmMoving1(3, 60, 60, c.data(), d.data(), 0.115f, &used, &moving);
  EXPECT_EQ(used, 1200);
  EXPECT_EQ(moving, 0);
  IsPalmMoving1(2, 60, 60, c.data(), d.data(), 0.115f, &used, &moving);
  EXPECT_EQ(used, 1800);
  EXPECT_EQ(moving, 1);
  IsPalmMoving1(1, 60, 60, c.data(), d.data(), 0.115f, &used, &moving);
  EXPECT_EQ(used, 3600);
  EXPECT_EQ(moving, 1);

  // A pair counts when either value is below 235: 235 in both frames leaves it out, 234 in one
  // of them keeps it.
  Image bright(10, 10, 235), mixed(10, 10, 235);
  mixed.pixels[7] = 234;
  IsPalmMoving1(1, 10, 10, bright.data(), bright.data(), 0.115f, &used, &moving);
  EXPECT_EQ(used, 0);
  IsPalmMoving1(1, 10, 10, bright.data(), mixed.data(), 0.115f, &used, &moving);
  EXPECT_EQ(used, 1);
  IsPalmMoving1(1, 10, 10, mixed.data(), bright.data(), 0.115f, &used, &moving);
  EXPECT_EQ(used, 1);
  // No step: nothing is visited.
  used = 5;
  IsPalmMoving1(0, 10, 10, mixed.data(), bright.data(), 0.115f, &used, &moving);
  EXPECT_EQ(used, 0);
  EXPECT_EQ(moving, 1);
}

TEST_F(PresenceTest, ActiveAreaFindsTheBrightWindowInsideASmallImage) {
  // Corner ranges that run past the image are cut to the corners whose window fits.
  Image img(100, 100, 100);
  for (int y = 40; y < 60; ++y)
    for (int x = 30; x < 50; ++x) img.at(y, x) = 255;
  Cordinate2DType origin{};
  EXPECT_EQ(DetectActiveArea(100, 100, img.data(), {20, 20}, {0, 0}, {500, 500}, &origin), 0);
  EXPECT_EQ(origin.x, 30);
  EXPECT_EQ(origin.y, 40);
}

TEST_F(PresenceTest, ActiveAreaFallsBackToTheDefaultCorner) {
  Image img(100, 100, 100);
  Cordinate2DType origin{};
  // An empty corner range compares the default corner (sum 0) against the threshold.
  EXPECT_EQ(DetectActiveArea(100, 100, img.data(), {20, 20}, {0, 50}, {10, 40}, &origin), 0);
  EXPECT_EQ(origin.x, 392);
  EXPECT_EQ(origin.y, 261);
  EXPECT_EQ(DetectActiveArea(0, 100, img.data(), {20, 20}, {0, 0}, {10, 10}, &origin),
            LSA_INVALID_INPUT1);
  EXPECT_EQ(origin.x, 392);
  EXPECT_EQ(DetectActiveArea(100, 100, nullptr, {20, 20}, {0, 0}, {10, 10}, &origin),
            LSA_INVALID_INPUT3);
}

TEST_F(PresenceTest, ActiveAreaRowScanStopsAtTheFirstDarkRow) {
  // Bright platen 1200 x 900 with a dark band from row 1100: the window found at (0, 0) is
  // followed by a scan from row 750 that passes 350 rows.
  Image img(1200, 900, 250);
  for (int y = 1100; y < 1200; ++y)
    for (int x = 0; x < 900; ++x) img.at(y, x) = 10;
  Cordinate2DType origin{};
  EXPECT_EQ(DetectActiveArea(1200, 900, img.data(), {100, 100}, {0, 0}, {0, 0}, &origin), 0);
  EXPECT_EQ(origin.x, 0);
  EXPECT_EQ(origin.y, 175);
}

}  // namespace
}  // namespace LiveScanAlg
