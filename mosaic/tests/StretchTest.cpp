#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "LiveScanAlgInternal.h"
#include "LiveScanTestSupport.h"

namespace LiveScanAlg {
namespace {

using livescan_test::Image;

Image Halves(int h, int w, unsigned char a, unsigned char b) {
  Image img(h, w);
  for (std::size_t i = 0; i < img.pixels.size(); ++i) img.pixels[i] = i % 2 ? b : a;
  return img;
}

TEST(SmartStretchTest, LeavesBrightAndFlatImagesAlone) {
  // All 250: no pixel in 0..245, the mean counts as 255 > 235.
  // All 100: the low cut equals the mean, nothing to stretch (no division by zero).
  for (const unsigned char level : {250, 100, 0}) {
    Image img(20, 20, level);
    const Image before = img;
    EXPECT_EQ(SmartForegroundStretch1(20, 20, img.data(), 5, 5), 0);
    EXPECT_EQ(img.pixels, before.pixels) << int(level);
    EXPECT_EQ(SmartForegroundStretch3(20, 20, img.data(), 5, 5, 30), 0);
    EXPECT_EQ(img.pixels, before.pixels) << int(level);
    EXPECT_EQ(SmartForegroundStretch(20, 20, img.data(), 5), 0);
    EXPECT_EQ(img.pixels, before.pixels) << int(level);
  }
}

TEST(SmartStretchTest, TwoLevelsSpreadToBlackAndWhite) {
  Image img = Halves(10, 10, 100, 200);
  EXPECT_EQ(SmartForegroundStretch1(10, 10, img.data(), 0, 0), 0);
  EXPECT_EQ(img.pixels[0], 0);
  EXPECT_EQ(img.pixels[1], 255);
}

TEST(SmartStretchTest, MeanLimitAndLowCutCap) {
  // Levels 230 and 240: 100 of each give M = 235, not above 235, and stretch to black and white;
  // 99 and 101 give M = 235.05 and leave the image as it is.
  for (const int brighter : {100, 101}) {
    Image img(1, 200);
    for (int i = 0; i < 200; ++i) img.pixels[static_cast<std::size_t>(i)] = i < 200 - brighter ? 230 : 240;
    const Image before = img;
    ASSERT_EQ(SmartForegroundStretch1(1, 200, img.data(), 0, 0), 0);
    if (brighter == 100) {
      EXPECT_EQ(img.pixels.front(), 0);
      EXPECT_EQ(img.pixels.back(), 255);
    } else {
      EXPECT_EQ(img.pixels, before.pixels);
    }
  }
  // Three quarters at 232, one at 240: M = 234 and the first level below it is 232, but the low
  // cut is at most 230: 232 maps to (232 - 230) x 234 / (234 - 230) = 117, not to 0.
  Image img(1, 8);
  for (int i = 0; i < 8; ++i) img.pixels[static_cast<std::size_t>(i)] = i < 6 ? 232 : 240;
  ASSERT_EQ(SmartForegroundStretch1(1, 8, img.data(), 0, 0), 0);
  EXPECT_EQ(img.pixels[0], 117);
  EXPECT_EQ(img.pixels[7], 255);
}

TEST(SmartStretchTest, TableRampsBetweenTheCuts) {
  // Levels 60..220 equally often: M = 140; with no cuts L = 60 and H = 220.
  Image img(1, 161);
  for (int i = 0; i < 161; ++i) img.pixels[static_cast<std::size_t>(i)] = static_cast<unsigned char>(60 + i);
  ASSERT_EQ(SmartForegroundStretch1(1, 161, img.data(), 0, 0), 0);
  EXPECT_EQ(img.pixels[0], 0);             // L
  EXPECT_EQ(img.pixels[40], 70);           // level 100: (100 - 60) x 140 / 80
  EXPECT_EQ(img.pixels[80], 140);          // M
  EXPECT_EQ(img.pixels[81], 141 - 220 + 255);
  EXPECT_EQ(img.pixels[160], 255);         // H
  EXPECT_TRUE(std::is_sorted(img.pixels.begin(), img.pixels.begin() + 81));
}

TEST(SmartStretchTest, ArgumentChecks) {
  unsigned char pixel = 7;
  const struct {
    int h, w;
    unsigned char* image;
    int expected;
  } cases[] = {{0, 1, &pixel, 2}, {1, 0, &pixel, 3}, {1, 1, nullptr, 4}};
  for (const auto& c : cases) {
    EXPECT_EQ(SmartForegroundStretch1(c.h, c.w, c.image, 5, 5), c.expected);
    EXPECT_EQ(SmartForegroundStretch(c.h, c.w, c.image, 5), c.expected);
    EXPECT_EQ(SmartForegroundStretch2(c.h, c.w, c.image, 5), c.expected);
    EXPECT_EQ(SmartForegroundStretch3(c.h, c.w, c.image, 5, 5, 0), c.expected);
    EXPECT_EQ(SmartForegroundStretch7(c.h, c.w, c.image), c.expected);
    EXPECT_EQ(PhotoShopCalibrateForeground(c.h, c.w, c.image, 5), c.expected);
  }
}

TEST(SmartStretchTest, VariantsKeepTheGreyOrder) {
  // Every variant maps darker levels to no lighter levels.
  Image ramp(1, 256);
  for (int i = 0; i < 256; ++i) ramp.pixels[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
  for (int i = 0; i < 60; ++i) ramp.pixels[static_cast<std::size_t>(196 + i)] = 120;  // mean below 235
  std::sort(ramp.pixels.begin(), ramp.pixels.end());
  const auto check = [&](const char* name, auto stretch) {
    Image img = ramp;
    EXPECT_EQ(stretch(img), 0) << name;
    EXPECT_TRUE(std::is_sorted(img.pixels.begin(), img.pixels.end())) << name;
  };
  check("Stretch", [](Image& i) { return SmartForegroundStretch(i.height, i.width, i.data(), 2); });
  check("Stretch1", [](Image& i) { return SmartForegroundStretch1(i.height, i.width, i.data(), 200, 200); });
  check("Stretch2", [](Image& i) { return SmartForegroundStretch2(i.height, i.width, i.data(), 2); });
  check("Stretch3 boost", [](Image& i) { return SmartForegroundStretch3(i.height, i.width, i.data(), 200, 200, 40); });
  check("Stretch3 cut", [](Image& i) { return SmartForegroundStretch3(i.height, i.width, i.data(), 200, 200, -40); });
  check("Stretch7", [](Image& i) { return SmartForegroundStretch7(i.height, i.width, i.data()); });
  check("PhotoShop", [](Image& i) { return PhotoShopCalibrateForeground(i.height, i.width, i.data(), 20); });
}

TEST(PhotoShopTest, NegativePercentageActsAsPositive) {
  const Image source = livescan_test::TexturedImage(30, 30);
  Image a = source, b = source;
  PhotoShopCalibrateForeground(30, 30, a.data(), -20);
  PhotoShopCalibrateForeground(30, 30, b.data(), 20);
  EXPECT_EQ(a.pixels, b.pixels);
  EXPECT_NE(a.pixels, source.pixels);
}

TEST(PhotoShopTest, LevelsBetweenBlackAndWhitePointsReachTheTopLevel) {
  // Halves at 100 and 200: M = 150, black point 30, white point 255 - 20 x 105 / 100 = 234.
  Image img = Halves(10, 10, 100, 200);
  PhotoShopCalibrateForeground(10, 10, img.data(), 20);
  EXPECT_EQ(img.pixels[0], 200 * (100 - 30) / (234 - 30));
  EXPECT_EQ(img.pixels[1], 200 * (200 - 30) / (234 - 30));
}

TEST(HistogramStretchTest, BrightestLevelPresentMapsToWhite) {
  Image img = Halves(4, 4, 50, 90);
  HistogramType h;
  ASSERT_EQ(CalculateImageHistogram1(4, 4, img.data(), &h), 0);
  EXPECT_EQ(HistogramStretct(4, 4, img.data(), &h), 0);
  EXPECT_EQ(img.pixels[0], 127);
  EXPECT_EQ(img.pixels[1], 255);
}

TEST(HistogramStretchTest, MissingOrEmptyHistogramIsRefused) {
  Image img = Halves(4, 4, 50, 90);
  const Image before = img;
  HistogramType empty{};
  EXPECT_EQ(HistogramStretct(4, 4, img.data(), nullptr), LSA_INVALID_INPUT);
  EXPECT_EQ(HistogramStretct(4, 4, img.data(), &empty), LSA_INVALID_INPUT);
  EXPECT_EQ(img.pixels, before.pixels);
}

TEST(CalibrateForegroundTest, HistogramSamplesEveryTenthColumnAndRow) {
  // One row of 2501: the samples are columns 0, 10, ..., 2500, alternately 50 and 150, with one
  // 100 at column 1000; every other pixel is 20. The cut (251 / 256) is 0, so L = 50 and H = 150:
  // 50 and the unsampled 20 map to 0, 150 to 255, 100 to 255 x 50 / 100 + 1 = 128. Were the 20s
  // sampled, L would be 20 and 50 would map to 59.
  Image img(1, 2501, 20);
  for (int c = 0; c <= 2500; c += 10) img.pixels[static_cast<std::size_t>(c)] = (c / 10) % 2 ? 150 : 50;
  img.pixels[1000] = 100;
  ASSERT_EQ(CalibrateForeground(1, 2501, img.data()), 0);
  EXPECT_EQ(img.pixels[0], 0);
  EXPECT_EQ(img.pixels[20], 0);
  EXPECT_EQ(img.pixels[5], 0);
  EXPECT_EQ(img.pixels[10], 255);
  EXPECT_EQ(img.pixels[1000], 128);
}

TEST(CalibrateForegroundTest, WidthLimits) {
  Image narrow = livescan_test::TexturedImage(20, 2500);
  EXPECT_EQ(CalibrateForeground(20, 2500, narrow.data()), LSA_INVALID_INPUT2);
  EXPECT_EQ(CalibrateForeground1(20, 2500, narrow.data()), LSA_INVALID_INPUT2);
  EXPECT_EQ(CalibrateForeground1(20, 2500, narrow.data(), 100), LSA_INVALID_INPUT2);
  EXPECT_EQ(CalibrateForegroundBackup(20, 2500, narrow.data()), LSA_INVALID_INPUT2);
  EXPECT_EQ(CalibrateForeground2(20, 2500, narrow.data()), 0);
  Image wide = livescan_test::TexturedImage(20, 2501);
  EXPECT_EQ(CalibrateForeground(20, 2501, wide.data()), 0);
  const auto [lo, hi] = std::minmax_element(wide.pixels.begin(), wide.pixels.end());
  EXPECT_EQ(*lo, 0);
  EXPECT_EQ(*hi, 255);
}

TEST(CalibrateForegroundTest, LevelFormCutsBelowTheLevel) {
  Image img(1, 2600, 0);
  img.pixels[0] = 99;
  img.pixels[1] = 100;
  img.pixels[2] = 177;
  img.pixels[3] = 255;
  EXPECT_EQ(CalibrateForeground1(1, 2600, img.data(), 100), 0);
  EXPECT_EQ(img.pixels[0], 0);
  EXPECT_EQ(img.pixels[1], 0);
  EXPECT_EQ(img.pixels[2], (177 - 100) * 255 / 155);
  EXPECT_EQ(img.pixels[3], 255);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(DiagnosticsTest, NoiseLevelIsAppendedToDifferenceFileInTheChosenFolder) {
  livescan_test::ScratchFolder folder;
  SetDiagnosticDirectory(folder.path().c_str());
  Image reference(2, 2, 100);
  Image img(2, 2, 100);
  img.pixels[0] = 150;  // difference 50
  img.pixels[1] = 120;  // difference 20
  EXPECT_EQ(AnalysizeNoiseLevel(2, 2, reference.data(), img.data()), 0);
  EXPECT_EQ(img.pixels, (std::vector<unsigned char>{255, 0, 0, 0}));
  AnalysizeNoiseLevel(2, 2, reference.data(), img.data());
  SetDiagnosticDirectory(nullptr);

  const std::string text = ReadFile(folder.File("Difference.txt"));
  const std::string separator = std::string(104, '/') + " \n";
  EXPECT_EQ(text.rfind("Difference Level = 255, Percentage = 0.000000 \n", 0), 0u);
  EXPECT_NE(text.find("Difference Level = 50, Percentage = 0.250000 \n"), std::string::npos);
  EXPECT_NE(text.find("Difference Level = 20, Percentage = 0.500000 \n"), std::string::npos);
  EXPECT_NE(text.find("Difference Level = 0, Percentage = 1.000000 \n" + separator),
            std::string::npos);
  // Two calls, two blocks.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2 * 257);
}

TEST(DiagnosticsTest, DifferentLinesAreCountedPerRowInsideTheImage) {
  livescan_test::ScratchFolder folder;
  SetDiagnosticDirectory(folder.path().c_str());
  Image reference(3, 4, 0);
  Image img(3, 4, 0);
  img.at(1, 0) = 90;
  img.at(1, 3) = 90;
  int first = 0, second = 0;
  // The rectangle runs past the image: it is cut to the image.
  EXPECT_EQ(ScanDifferentLine(3, 4, reference.data(), img.data(), {-5, 1}, {10, 1}, 50, 0, &first,
                              &second),
            0);
  SetDiagnosticDirectory("");
  EXPECT_EQ(first, -1);
  EXPECT_EQ(second, -1);
  EXPECT_EQ(img.at(1, 0), 255);
  EXPECT_EQ(img.at(1, 1), 0);
  EXPECT_EQ(ReadFile(folder.File("Difference.txt")),
            "Difference Level = 1, DifferenceCounter =2.000000, Percentage = 0.500000 \n" +
                std::string(104, '/') + " \n");
}

}  // namespace
}  // namespace LiveScanAlg
