// A synthetic platen through the capture road: background removal, foreground mask, contrast
// stretch and the finger test.

#include <gtest/gtest.h>

#include <cmath>

#include "LiveScanAlgInternal.h"
#include "LiveScanTestSupport.h"

namespace LiveScanAlg {
namespace {

using livescan_test::FreshBlock;
using livescan_test::Image;
using livescan_test::MakePlaten;
using livescan_test::Platen;

class PlatenPipelineTest : public FreshBlock {
 protected:
  static constexpr int kHeight = 400;
  static constexpr int kWidth = 300;

  // Distance in pixels (approximately) of (y, x) outside the finger's ellipse; negative inside.
  static double Outside(const Platen& p, int y, int x) {
    const double dx = static_cast<double>(x - p.centreX) / p.radiusX;
    const double dy = static_cast<double>(y - p.centreY) / p.radiusY;
    const double r = std::sqrt(dx * dx + dy * dy);
    const double scale = std::hypot(dx * p.radiusX, dy * p.radiusY) / (r > 0 ? r : 1);
    return (r - 1.0) * scale;
  }

  // A finger pixel inside the 12 x 12 erosion window that puts its minimum at (y, x).
  static bool FingerNear(const Platen& p, int y, int x) {
    for (int yy = std::max(y - 6, 0); yy <= std::min(y + 5, kHeight - 1); ++yy)
      for (int xx = std::max(x - 6, 0); xx <= std::min(x + 5, kWidth - 1); ++xx)
        if (p.InFinger(yy, xx)) return true;
    return false;
  }

  static void AddDirt(Image& frame) {
    for (int y = 20; y < 25; ++y)
      for (int x = 20; x < 25; ++x) frame.at(y, x) = 40;
  }

  static double StdDevInside(const Platen& p, const Image& img) {
    double sum = 0, sumSq = 0, n = 0;
    for (int y = 0; y < img.height; ++y)
      for (int x = 0; x < img.width; ++x)
        if (Outside(p, y, x) < -8) {
          sum += img.at(y, x);
          sumSq += img.at(y, x) * img.at(y, x);
          ++n;
        }
    const double m = sum / n;
    return std::sqrt(sumSq / n - m * m);
  }
};

TEST_F(PlatenPipelineTest, EmptyPlatenBecomesWhiteAndShowsNoFinger) {
  Platen p = MakePlaten(kHeight, kWidth, false);
  int on = 1;
  float variance = 0;
  EXPECT_NE(IsFingerON(kHeight, kWidth, p.frame.data(), 200, &on, &variance), 0);
  EXPECT_EQ(on, 0);
  EXPECT_EQ(IsNewBackgroundClean(kHeight, kWidth, p.background.data(), p.frame.data()), 0);

  CalibrateBackgroundSimple(0, kHeight, kWidth, p.background.data(), p.frame.data());
  EXPECT_EQ(std::count(p.frame.pixels.begin(), p.frame.pixels.end(), 255),
            static_cast<long>(p.frame.pixels.size()));
  EXPECT_EQ(IsFingerON(kHeight, kWidth, p.frame.data(), 200, &on, &variance), LSA_TOO_WHITE);
}

TEST_F(PlatenPipelineTest, FingerIsMaskedStretchedAndFound) {
  Platen p = MakePlaten(kHeight, kWidth, true);
  AddDirt(p.frame);

  // Per frame: subtract the background (with the offset that hides sensor noise).
  EXPECT_EQ(CalibrateBackgroundSimple(0, kHeight, kWidth, p.background.data(), p.frame.data()), 0);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      if (Outside(p, y, x) > 1 && !(y >= 20 && y < 25 && x >= 20 && x < 25)) {
        ASSERT_EQ(p.frame.at(y, x), 255) << y << "," << x;
      }
  const double contrastBefore = StdDevInside(p, p.frame);

  // Mask and clean: the finger stays, the dirt speck is too small a region and goes.
  EXPECT_EQ(CalibrateBackgroundSimple(3, kHeight, kWidth, nullptr, p.frame.data()), 0);
  const unsigned char* mask = GetParameter()->WorkingBuffer;
  long inside = 0, outsideMask = 0, fingerPixels = 0;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const double d = Outside(p, y, x);
      const bool masked = mask[y * kWidth + x] != 0;
      if (d < 0) ++fingerPixels;
      if (d < -3 && masked) ++inside;
      if (masked && !FingerNear(p, y, x)) ++outsideMask;
      if (!masked) {
        ASSERT_EQ(p.frame.at(y, x), 255);
      }
    }
  }
  EXPECT_EQ(outsideMask, 0);
  EXPECT_GT(inside, fingerPixels * 9 / 10);
  EXPECT_EQ(p.frame.at(22, 22), 255);

  // Stretch: ridges go to black, the spread inside the finger grows, the background stays white.
  EXPECT_EQ(SmartForegroundStretch1(kHeight, kWidth, p.frame.data(), 200, 5), 0);
  EXPECT_EQ(*std::min_element(p.frame.pixels.begin(), p.frame.pixels.end()), 0);
  EXPECT_GT(StdDevInside(p, p.frame), contrastBefore * 1.2);
  EXPECT_EQ(p.frame.at(0, 0), 255);

  int on = 0;
  float variance = 0;
  EXPECT_EQ(IsFingerON(kHeight, kWidth, p.frame.data(), 200, &on, &variance), 0);
  EXPECT_EQ(on, 1);
  int used = 0, moving = 1;
  IsPalmMoving1(1, kHeight, kWidth, p.frame.data(), p.frame.data(), 0.115f, &used, &moving);
  EXPECT_EQ(moving, 0);
}

TEST_F(PlatenPipelineTest, ResultModeKeepsSmallRegions) {
  // The result path subtracts and masks without the region filter: the dirt speck survives.
  Platen p = MakePlaten(kHeight, kWidth, true);
  AddDirt(p.frame);
  EXPECT_EQ(CalibrateBackgroundSimple(2, kHeight, kWidth, p.background.data(), p.frame.data()), 0);
  EXPECT_LT(p.frame.at(22, 22), 255);
  EXPECT_EQ(GetParameter()->MaskRegionFilter, 1);
  EXPECT_EQ(p.frame.at(0, kWidth - 1), 255);
}

TEST_F(PlatenPipelineTest, BackgroundFollowsABrighteningPlatenOnlyWithoutAFinger) {
  Platen empty = MakePlaten(kHeight, kWidth, false);
  Image brighter = empty.background;
  for (auto& v : brighter.pixels) v = static_cast<unsigned char>(std::min(255, v + 20));
  Image bg = empty.background;
  Image frame = brighter;
  CalibrateBackgroundSimple(5, kHeight, kWidth, bg.data(), frame.data());
  EXPECT_EQ(bg.pixels, brighter.pixels);

  Platen finger = MakePlaten(kHeight, kWidth, true);
  Image fingerBg = finger.background;
  CalibrateBackgroundSimple(5, kHeight, kWidth, fingerBg.data(), finger.frame.data());
  EXPECT_EQ(fingerBg.pixels, finger.background.pixels);
}

}  // namespace
}  // namespace LiveScanAlg
