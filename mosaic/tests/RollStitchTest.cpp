// Rolled-finger stitching: session lifecycle, finger geometry, the per-frame rules, and whole
// synthetic rolls (a clean roll, a roll-back and a slide).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "../src/RollStitchInternal.h"
#include "LiveScanAlg.h"

namespace LiveScanAlg {
namespace {

using Image = std::vector<uint8_t>;

// A finger on the platen: a ridge field (about 40..140 grey) inside an elliptical contact patch
// on a white background.
struct RollScene {
  int width, height;
  int halfWidth = 70, halfHeight = 150;

  static uint8_t Ridge(double x, double y) {
    return static_cast<uint8_t>(90 + 50 * std::sin(2 * M_PI * (x + 0.5 * y) / 10.0));
  }
  bool Inside(int x, int y, int centreX) const {
    const double dx = (x - centreX) / static_cast<double>(halfWidth);
    const double dy = (y - height / 2) / static_cast<double>(halfHeight);
    return dx * dx + dy * dy <= 1.0;
  }
  // The patch centred at column centreX; the ridges are fixed on the platen, or shifted by
  // `slide` columns when the finger slides instead of rolling.
  Image Frame(int centreX, int slide = 0) const {
    Image f(static_cast<size_t>(width) * height, 255);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        if (Inside(x, y, centreX)) f[static_cast<size_t>(y) * width + x] = Ridge(x - slide, y);
      }
    }
    return f;
  }
  Image Blank() const { return Image(static_cast<size_t>(width) * height, 255); }
};

// Opens a fresh session for each test and closes it afterwards.
class RollStitchTest : public ::testing::Test {
 protected:
  void Open(int width, int height, int resolution) {
    ASSERT_EQ(mmRollStitchCreate(width, height, resolution, resolution, 0), 0);
  }
  void TearDown() override {
    mmRollStitchCreate(8, 8, 500, 500, 0);  // leaves any disabled state
    EXPECT_EQ(mmRollStitchRelease(), 0);
  }
};

// ---------------------------------------------------------------------------------------------
// Session lifecycle

TEST_F(RollStitchTest, ReleaseAndCreateInAnyOrderNeverFreeTwice) {
  EXPECT_EQ(mmRollStitchRelease(), 0);  // never created
  EXPECT_EQ(mmRollStitchRelease(), 0);

  // The capture library releases and creates on every mode change; an unsupported resolution in
  // between must leave nothing behind.
  Image frame(64 * 48, 128), rolled(64 * 48, 255);
  int counter = 0;
  Open(64, 48, 500);
  EXPECT_EQ(mmRollStitchRelease(), 0);
  EXPECT_EQ(mmRollStitchCreate(64, 48, 600, 600, 0), -1);
  EXPECT_EQ(mmRollStitchRelease(), 0);
  EXPECT_EQ(mmRollStitchRelease(), 0);
  EXPECT_EQ(mmRollStitch(frame.data(), &counter, rolled.data(), nullptr), -1);
  EXPECT_EQ(counter, 0);
  Image mask(64 * 48);
  EXPECT_EQ(mmGetSlidingMask(mask.data(), 64, 48), -1);

  // A failing create also closes a session that was open.
  Open(64, 48, 250);
  EXPECT_EQ(mmRollStitchCreate(64, 48, 300, 300, 0), -1);
  EXPECT_EQ(mmRollStitch(frame.data(), &counter, rolled.data(), nullptr), -1);

  // Creating over an open session replaces it.
  Open(64, 48, 1000);
  Open(64, 48, 500);
  EXPECT_EQ(mmRollStitch(frame.data(), &counter, rolled.data(), nullptr), 0);
  EXPECT_EQ(counter, 1);
  EXPECT_EQ(rolled, frame);

  // Sizes that leave no analysis grid, and missing pointers, are refused.
  EXPECT_EQ(mmRollStitchCreate(3, 48, 500, 500, 0), -1);
  Open(64, 48, 500);
  EXPECT_EQ(mmRollStitch(nullptr, &counter, rolled.data(), nullptr), -1);
  EXPECT_EQ(mmRollStitch(frame.data(), nullptr, rolled.data(), nullptr), -1);
  EXPECT_EQ(mmRollStitch(frame.data(), &counter, nullptr, nullptr), -1);
  EXPECT_EQ(mmGetSlidingMask(nullptr, 64, 48), -1);
  for (int resolution : {1000, 500, 250}) {
    Open(64, 48, resolution);
    EXPECT_EQ(mmRollStitchRelease(), 0);
  }
}

TEST_F(RollStitchTest, DisabledSessionDoesNothing) {
  Open(64, 48, 500);
  EXPECT_EQ(mmRollStitchCreate(64, 48, 500, 500, 1), -1);
  Image frame(64 * 48, 100), rolled(64 * 48, 255);
  int counter = 0;
  EXPECT_EQ(mmRollStitch(frame.data(), &counter, rolled.data(), nullptr), 0);
  EXPECT_EQ(counter, 0);
  EXPECT_TRUE(std::all_of(rolled.begin(), rolled.end(), [](uint8_t v) { return v == 255; }));
  EXPECT_EQ(mmRollStitchRelease(), -1);
  Open(64, 48, 500);
  EXPECT_EQ(mmRollStitch(frame.data(), &counter, rolled.data(), nullptr), 0);
  EXPECT_EQ(counter, 1);
}

// ---------------------------------------------------------------------------------------------
// Finger geometry

// Dark block over columns [left, right) and rows [top, bottom) of a white image.
Image Block(int width, int height, int left, int right, int top, int bottom, uint8_t value = 100) {
  Image image(static_cast<size_t>(width) * height, 255);
  for (int y = top; y < bottom; ++y) {
    std::fill(image.begin() + y * width + left, image.begin() + y * width + right, value);
  }
  return image;
}

TEST(FingerProperty, RollFormsWalkToColumnsAndRowsOfThirtyPixels) {
  Image image = Block(300, 200, 100, 220, 50, 150);
  for (int y = 0; y < 29; ++y) image[(50 + y) * 300 + 220] = 0;  // 29: fails the edge test
  for (int y = 0; y < 30; ++y) image[(50 + y) * 300 + 99] = 0;   // 30: passes it
  mm_finger_property p{}, p2{};
  ASSERT_EQ(mmGetFingerProperty_Roll(image.data(), 300, 200, &p), 0);
  ASSERT_EQ(mmGetFingerProperty_Roll_V2(image.data(), 300, 200, &p2), 0);
  EXPECT_EQ(p.ImageWidth, 300);
  EXPECT_EQ(p.ImageHeight, 200);
  EXPECT_EQ(p.Left, 98);          // first failing column on the left
  EXPECT_EQ(p.Width, 220 - 98);   // right edge: the 29-pixel column
  EXPECT_EQ(p.Top, 49);
  EXPECT_EQ(p.Height, 150 - 49);
  EXPECT_EQ(p.ForegroundCount, 120 * 100 + 29 + 30);
  EXPECT_EQ(0, std::memcmp(&p, &p2, sizeof p));

  EXPECT_EQ(mmGetFingerProperty_Roll(nullptr, 300, 200, &p), -1);
  EXPECT_EQ(mmGetFingerProperty_Roll(image.data(), 300, 200, nullptr), -1);
  EXPECT_EQ(mmGetFingerProperty_Roll(image.data(), 0, 200, &p), -1);
}

TEST(FingerProperty, InkThresholdIsCappedAt220) {
  // Ink of 199 with a tenth at 0 gives mean 179 and deviation 59.7: the threshold 239 is capped
  // to 220, so a band at 225 is not finger.
  Image image(200 * 100, 255);
  int ink = 0;
  for (int y = 20; y < 80; ++y) {
    for (int x = 50; x < 150; ++x) {
      image[y * 200 + x] = (x % 10 == 0) ? 0 : 199;
      ++ink;
    }
  }
  for (int y = 0; y < 100; ++y) image[y * 200 + 180] = 225;
  mm_finger_property p{};
  ASSERT_EQ(mmGetFingerProperty(image.data(), 200, 100, &p), 0);
  EXPECT_EQ(p.ForegroundCount, ink);
  EXPECT_EQ(p.Left, 49);
  EXPECT_EQ(p.Width, 150 - 49);
  EXPECT_EQ(p.Top, 19);
  EXPECT_EQ(p.Height, 80 - 19);
}

TEST(FingerProperty, InkFormWithoutInkGivesNoFinger) {
  Image image(120 * 80, 210);
  mm_finger_property p;
  std::memset(&p, 0x5A, sizeof p);
  ASSERT_EQ(mmGetFingerProperty(image.data(), 120, 80, &p), 0);
  EXPECT_EQ(p.ImageWidth, 120);
  EXPECT_EQ(p.ImageHeight, 80);
  EXPECT_EQ(p.Left, 0);
  EXPECT_EQ(p.Width, 0);
  EXPECT_EQ(p.Height, 0);
  EXPECT_EQ(p.ForegroundCount, 0.0);
}

TEST(FingerProperty, InkFormEdgesAreAboveAFifthOfThePeak) {
  // Columns 40..59 hold 50 ink pixels, columns 60..64 hold 10 (exactly a fifth: not finger).
  // A lighter streak at 150 raises the threshold to 68 without being finger itself.
  Image image = Block(120, 80, 40, 60, 10, 60, 40);
  for (int x = 60; x < 65; ++x) {
    for (int y = 10; y < 20; ++y) image[y * 120 + x] = 40;
  }
  for (int y = 0; y < 50; ++y) image[y * 120 + 100] = 150;
  mm_finger_property p{};
  ASSERT_EQ(mmGetFingerProperty(image.data(), 120, 80, &p), 0);
  EXPECT_EQ(p.Left, 39);
  EXPECT_EQ(p.Width, 60 - 39);
}

// ---------------------------------------------------------------------------------------------
// Per-frame rules

TEST(RollBackTest, BothTravelsPastTheSmallLimitAndOnePastTheLarge) {
  struct Case {
    int resolution;
    std::vector<int> moves;
    std::vector<bool> expected;
  } cases[] = {
      {500, {35, -250, 0, 10}, {false, true, true, true}},
      {1000, {35, -250}, {false, false}},
      {1000, {61, -401}, {false, true}},
      {500, {30, -250}, {false, false}},
      {500, {35, -200, -1}, {false, false, true}},
      {500, {0, 0, 31, -31, 170}, {false, false, false, false, true}},
  };
  for (const auto& c : cases) {
    RollStitchSession s{};
    s.Resolution = c.resolution;
    for (size_t i = 0; i < c.moves.size(); ++i) {
      EXPECT_EQ(roll::UpdateTravelAndTestRollBack(s, c.moves[i]), c.expected[i])
          << c.resolution << " dpi, move " << i;
    }
  }
}

TEST(SlideTest, NeedsMoreThan550OverlapPixelsBelowTheCorrelationLimit) {
  // Anti-correlated frame and composite: a slide once more than 550 pixels overlap.
  for (int n : {550, 551}) {
    std::vector<uint8_t> a(n + 20), b(n + 20), mask(n + 20, 0);
    for (int i = 0; i < n + 20; ++i) {
      a[i] = static_cast<uint8_t>(50 + (i * 37) % 100);
      b[i] = static_cast<uint8_t>(200 - a[i]);
      if (i < n) mask[i] = kRollOverlap;
    }
    mask[n + 5] = kRollTakeFrame;  // other marks don't count
    EXPECT_EQ(roll::IsSliding(a.data(), b.data(), mask.data(), n + 20), n > 550) << n;
    // The same pixels correlated: no slide.
    EXPECT_FALSE(roll::IsSliding(a.data(), a.data(), mask.data(), n + 20));
  }
  // Flat overlap: no variance, no slide.
  std::vector<uint8_t> flat(1000, 90), mask(1000, kRollOverlap);
  EXPECT_FALSE(roll::IsSliding(flat.data(), flat.data(), mask.data(), 1000));
}

TEST(SlideTest, CorrelationLimitIsTheSinglePrecision0315) {
  // 600 overlap pixels in groups of four; u, v and w are orthogonal zero-mean +-1 patterns, the
  // frame is 127 + 100 u and the composite 127 + p u + q v + t w, so r = p / sqrt(p2 + q2 + t2).
  auto sliding = [](int p, int q, int t) {
    const int n = 600;
    std::vector<uint8_t> a(n), b(n), mask(n, kRollOverlap);
    const int u[4] = {1, -1, 1, -1}, v[4] = {1, 1, -1, -1}, w[4] = {1, -1, -1, 1};
    for (int i = 0; i < n; ++i) {
      a[i] = static_cast<uint8_t>(127 + 100 * u[i % 4]);
      b[i] = static_cast<uint8_t>(127 + p * u[i % 4] + q * v[i % 4] + t * w[i % 4]);
    }
    return roll::IsSliding(a.data(), b.data(), mask.data(), n);
  };
  EXPECT_TRUE(sliding(25, 7, 75));    // r = 0.3149954
  EXPECT_FALSE(sliding(19, 19, 54));  // r = 0.3150085
  EXPECT_FALSE(sliding(1, 0, 0));     // r = 1
  EXPECT_TRUE(sliding(-5, 40, 0));    // negative correlation
}

TEST(BlendMask, MarksOfTheRollBlendRules) {
  // a: smoothed frame, b: smoothed composite; 255 take the frame, 254 overlap, 0 keep.
  const struct {
    int a, b, mark;
  } cases[] = {
      {240, 241, kRollTakeFrame},  // no finger in the frame, composite lighter still
      {240, 240, 0},               // no finger in the frame
      {250, 100, 0},
      {239, 240, kRollTakeFrame},  // finger new here
      {239, 239, kRollOverlap},
      {100, 90, 0},                // frame 10 lighter: keep
      {100, 91, kRollOverlap},     // 9 lighter: overlap
      {100, 150, kRollOverlap},    // 50 darker: overlap
      {100, 151, kRollTakeFrame},  // more than 50 darker: take the frame
      {100, 155, kRollTakeFrame},
      {100, 140, kRollOverlap},
      {0, 239, kRollTakeFrame},
  };
  for (const auto& c : cases) EXPECT_EQ(roll::BlendMark(c.a, c.b), c.mark) << c.a << " " << c.b;
}

TEST(BoxSmoothing, MeanOfTheClippedWindow) {
  const int w = 23, h = 17;
  std::vector<uint8_t> in(w * h), out(w * h);
  for (int i = 0; i < w * h; ++i) in[i] = static_cast<uint8_t>((i * 97) % 256);
  roll::BoxSmooth(in.data(), out.data(), w, h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int sum = 0, count = 0;
      for (int v = std::max(0, y - 5); v <= std::min(h - 1, y + 5); ++v) {
        for (int u = std::max(0, x - 5); u <= std::min(w - 1, x + 5); ++u) {
          sum += in[v * w + u];
          ++count;
        }
      }
      ASSERT_EQ(out[y * w + x], sum / count) << x << "," << y;
    }
  }
}

TEST(GridReduction, AveragesFourSamplesRounded) {
  // D = 4 samples rows and columns 1 and 3 of each 4 x 4 cell.
  std::vector<uint8_t> image(8 * 4, 0), grid(2, 0);
  image[1 * 8 + 1] = 10;
  image[1 * 8 + 3] = 11;
  image[3 * 8 + 1] = 12;
  image[3 * 8 + 3] = 14;  // (10 + 11 + 12 + 14 + 2) >> 2 = 12
  image[0 * 8 + 0] = 255;  // not sampled
  image[2 * 8 + 6] = 255;  // not sampled
  roll::ReduceToGrid(image.data(), 8, 4, 2, 1, grid.data());
  EXPECT_EQ(grid[0], 12);
  EXPECT_EQ(grid[1], 0);
}

TEST_F(RollStitchTest, SeedFramesAreCopiedAndEveryCallCounts) {
  Open(96, 64, 500);
  Image rolled(96 * 64, 255);
  int counter = 0;
  for (int i = 0; i < 4; ++i) {
    Image frame(96 * 64);
    for (size_t k = 0; k < frame.size(); ++k) frame[k] = static_cast<uint8_t>((k * (i + 3)) % 251);
    EXPECT_EQ(mmRollStitch(frame.data(), &counter, rolled.data(), nullptr), 0);
    EXPECT_EQ(rolled, frame);
    EXPECT_EQ(counter, i + 1);
  }
}

TEST_F(RollStitchTest, BlankFramesAndBlankCompositesChangeNothing) {
  const RollScene scene{200, 160};
  Open(scene.width, scene.height, 500);
  const Image finger = scene.Frame(100);
  Image rolled = finger;
  int counter = 4;
  const RollStitchSession before = roll::Session();
  Image blank = scene.Blank();
  EXPECT_EQ(mmRollStitch(blank.data(), &counter, rolled.data(), nullptr), 0);
  EXPECT_EQ(counter, 5);
  EXPECT_EQ(rolled, finger);
  EXPECT_EQ(roll::Session().PositiveTravel, before.PositiveTravel);
  EXPECT_EQ(roll::Session().NegativeTravel, before.NegativeTravel);

  Image blankRolled = scene.Blank();
  Image frame = finger;
  EXPECT_EQ(mmRollStitch(frame.data(), &counter, blankRolled.data(), nullptr), 0);
  EXPECT_EQ(counter, 6);
  EXPECT_EQ(blankRolled, scene.Blank());
}

// Uniform grey frames against a uniform composite, past the seed frames.
TEST_F(RollStitchTest, MuchDarkerFrameIsTakenAndCloseOneOverlaps) {
  const int W = 160, H = 96;
  Open(W, H, 500);
  Image frame(W * H, 100);
  {
    Image rolled(W * H, 155);  // 55 lighter than the frame: take the frame
    int counter = 4;
    EXPECT_EQ(mmRollStitch(frame.data(), &counter, rolled.data(), nullptr), 0);
    EXPECT_EQ(rolled, frame);
  }
  Open(W, H, 500);
  {
    // 40 lighter: overlap everywhere. Both centroids are equal, so the finger counts as rolling
    // towards higher columns and the marks left of each row's mean overlap column are cut: the
    // left side keeps the composite, the right side takes the frame.
    Image rolled(W * H, 140);
    int counter = 4;
    EXPECT_EQ(mmRollStitch(frame.data(), &counter, rolled.data(), nullptr), 0);
    for (int y = 0; y < H; ++y) {
      EXPECT_EQ(rolled[y * W], 140);
      EXPECT_EQ(rolled[y * W + W - 1], 100);
      EXPECT_TRUE(std::is_sorted(rolled.begin() + y * W, rolled.begin() + (y + 1) * W,
                                 std::greater<>()));
    }
    Image mask(W * H, 7);
    ASSERT_EQ(mmGetSlidingMask(mask.data(), W, H), 0);
    EXPECT_TRUE(std::all_of(mask.begin(), mask.end(), [](uint8_t v) { return v == kRollOverlap; }));
  }
}

TEST_F(RollStitchTest, QualityCheckWantsTheRollAFifthWiderThanTheWidestFrame) {
  Open(300, 100, 500);
  roll::Session().WidestFinger = 100;
  Image wide = Block(300, 100, 50, 50 + 119, 10, 90);    // finger width 120
  Image narrow = Block(300, 100, 50, 50 + 118, 10, 90);  // finger width 119
  EXPECT_EQ(mmRollFingerQualityCheck(wide.data(), 300, 100), 0);
  EXPECT_EQ(mmRollFingerQualityCheck(narrow.data(), 300, 100), 30);
  EXPECT_EQ(mmRollFingerQualityCheck(nullptr, 300, 100), -1);
  EXPECT_EQ(mmRollFingerQualityCheck(wide.data(), 0, 100), -1);
  roll::Session().WidestFinger = 0;
  EXPECT_EQ(mmRollFingerQualityCheck(wide.data(), 300, 100), 30);
}

// ---------------------------------------------------------------------------------------------
// Whole rolls

struct Step {
  int centreX;
  int slide;
  int expected;
};

// Feeds four seed frames at the first centre, then the steps; returns the rolled image.
Image Roll(const RollScene& scene, const std::vector<Step>& steps, int* counter) {
  Image rolled = scene.Blank();
  *counter = 0;
  for (int i = 0; i < 4; ++i) {
    Image f = scene.Frame(steps.front().centreX);
    EXPECT_EQ(mmRollStitch(f.data(), counter, rolled.data(), nullptr), 0);
  }
  for (size_t i = 0; i < steps.size(); ++i) {
    Image f = scene.Frame(steps[i].centreX, steps[i].slide);
    EXPECT_EQ(mmRollStitch(f.data(), counter, rolled.data(), nullptr), steps[i].expected)
        << "step " << i << " at column " << steps[i].centreX;
  }
  return rolled;
}

TEST_F(RollStitchTest, CleanRollStitchesOnePrintThatPassesTheQualityCheck) {
  const RollScene scene{800, 400};
  Open(scene.width, scene.height, 500);
  std::vector<Step> steps;
  for (int cx = 250; cx <= 550; cx += 15) steps.push_back({cx, 0, 0});
  int counter = 0;
  Image rolled = Roll(scene, steps, &counter);
  EXPECT_EQ(counter, 4 + static_cast<int>(steps.size()));

  // The finger lifts: a blank frame changes nothing.
  Image blank = scene.Blank(), before = rolled;
  EXPECT_EQ(mmRollStitch(blank.data(), &counter, rolled.data(), nullptr), 0);
  EXPECT_EQ(rolled, before);

  // One print: the platen's ridges wherever the patch has been (away from its border), white
  // wherever it has never been.
  const int margin = 32;
  RollScene inner = scene;
  inner.halfWidth -= margin;
  inner.halfHeight -= margin;
  RollScene outer = scene;
  outer.halfWidth += margin;
  outer.halfHeight += margin;
  int checkedInside = 0;
  for (int y = 0; y < scene.height; ++y) {
    for (int x = 0; x < scene.width; ++x) {
      bool in = false, near = false;
      for (int cx = 250; cx <= 550; cx += 15) {
        in = in || inner.Inside(x, y, cx);
        near = near || outer.Inside(x, y, cx);
      }
      const int v = rolled[static_cast<size_t>(y) * scene.width + x];
      if (in) {
        ASSERT_LE(std::abs(v - RollScene::Ridge(x, y)), 1) << x << "," << y;
        ++checkedInside;
      } else if (!near) {
        ASSERT_EQ(v, 255) << x << "," << y;
      }
    }
  }
  EXPECT_GT(checkedInside, 50000);

  mm_finger_property print{};
  ASSERT_EQ(mmGetFingerProperty_Roll(rolled.data(), scene.width, scene.height, &print), 0);
  EXPECT_GT(print.Width, 400);
  EXPECT_GT(roll::Session().WidestFinger, 100);
  EXPECT_LE(roll::Session().WidestFinger, 2 * scene.halfWidth + 1);
  EXPECT_EQ(mmRollFingerQualityCheck(rolled.data(), scene.width, scene.height), 0);

  // A finger that never moved makes a print as narrow as one frame.
  Image still = scene.Frame(400);
  EXPECT_EQ(mmRollFingerQualityCheck(still.data(), scene.width, scene.height), 30);
}

TEST_F(RollStitchTest, RollingBackIsReportedUntilTheRollRestarts) {
  const RollScene scene{800, 400};
  Open(scene.width, scene.height, 500);
  int counter = 0;
  const Image beforeBack = Roll(scene, {{400, 0, 0}, {450, 0, 0}, {370, 0, 0}, {290, 0, 0}}, &counter);
  Image rolled = beforeBack;
  Image f = scene.Frame(210);
  EXPECT_EQ(mmRollStitch(f.data(), &counter, rolled.data(), nullptr), LSA_ROLL_BACKWARDS);
  EXPECT_EQ(rolled, beforeBack);  // left as it was
  f = scene.Frame(300);
  EXPECT_EQ(mmRollStitch(f.data(), &counter, rolled.data(), nullptr), LSA_ROLL_BACKWARDS);

  // A new roll (counter back to 0) starts clean.
  Roll(scene, {{400, 0, 0}, {415, 0, 0}}, &counter);

  // At 1000 dpi the same motion stays within the limits.
  Open(scene.width, scene.height, 1000);
  Roll(scene, {{400, 0, 0}, {450, 0, 0}, {370, 0, 0}, {290, 0, 0}, {210, 0, 0}, {300, 0, 0}},
       &counter);
}

TEST_F(RollStitchTest, SlidingFingerIsReportedAndItsOverlapMaskHandedOut) {
  // A width that is not a multiple of the decimation factor: the mask rows are 800 bytes.
  const RollScene scene{802, 402, 120, 190};
  Open(scene.width, scene.height, 500);
  int counter = 0;
  Image rolled = Roll(scene, {{300, 0, 0}, {315, 15, LSA_SLIDING}}, &counter);
  // The frame was still blended in: the leading side shows the slid ridges.
  EXPECT_EQ(rolled[200 * 802 + 345], RollScene::Ridge(345 - 15, 200));

  const int w = 802 / 4, h = 402 / 4;
  Image mask(static_cast<size_t>(w) * 4 * h * 4, 7);  // exactly h*D rows of w*D bytes
  ASSERT_EQ(mmGetSlidingMask(mask.data(), scene.width, scene.height), 0);
  int overlap = 0;
  for (int y = 0; y < h * 4; ++y) {
    for (int x = 0; x < w * 4; ++x) {
      const uint8_t v = mask[static_cast<size_t>(y) * w * 4 + x];
      ASSERT_TRUE(v == 0 || v == kRollOverlap);
      ASSERT_EQ(v, mask[static_cast<size_t>(y / 4 * 4) * w * 4 + x / 4 * 4]);  // D x D blocks
      overlap += v == kRollOverlap;
    }
  }
  EXPECT_GT(overlap, 551 * 16);
  // The overlap lies where both patches touch the platen.
  EXPECT_EQ(mask[static_cast<size_t>(201) * w * 4 + 308], kRollOverlap);
  EXPECT_EQ(mask[static_cast<size_t>(201) * w * 4 + 100], 0);

  // The same motion with the ridges fixed on the platen is a clean roll.
  Open(scene.width, scene.height, 500);
  Roll(scene, {{300, 0, 0}, {315, 0, 0}}, &counter);
}

}  // namespace
}  // namespace LiveScanAlg
