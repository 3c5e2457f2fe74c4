#include <gtest/gtest.h>

#include "LiveScanAlgInternal.h"
#include "LiveScanTestSupport.h"

namespace LiveScanAlg {
namespace {

using livescan_test::FreshBlock;
using livescan_test::Image;

class SensorCheckTest : public FreshBlock {};

TEST_F(SensorCheckTest, CheckSensor2OnUniformPlatens) {
  const struct {
    unsigned char level;
    int expected;
    float saturation;
  } cases[] = {{255, LSA_SATURATED_SENSOR, 1.0f}, {150, LSA_TOO_DARK, 0.0f}, {230, 0, 0.0f}};
  for (const auto& c : cases) {
    Image img(50, 60, c.level);
    float mean = -1, variance = -1, saturation = -1;
    EXPECT_EQ(CheckSensor2(50, 60, img.data(), &mean, &variance, &saturation), c.expected);
    EXPECT_FLOAT_EQ(saturation, c.saturation);
    EXPECT_FLOAT_EQ(mean, c.level);
    EXPECT_FLOAT_EQ(variance, 0.0f);
  }
  float mean = -1, variance = -1, saturation = -1;
  EXPECT_EQ(CheckSensor2(0, 60, nullptr, &mean, &variance, &saturation), LSA_INVALID_INPUT1);
  EXPECT_EQ(saturation, 1.0f);
  EXPECT_EQ(mean, 0.0f);
}

TEST_F(SensorCheckTest, CheckSensor2WeighsTheCentreBandTwice) {
  // Width 10: centre columns 2..5 (f = 0.4) at 240, the rest at 200.
  Image img(10, 10, 200);
  for (int y = 0; y < 10; ++y)
    for (int x = 2; x < 6; ++x) img.at(y, x) = 240;
  float mean = 0, variance = 0, saturation = 0;
  EXPECT_EQ(CheckSensor2(10, 10, img.data(), &mean, &variance, &saturation), 0);
  EXPECT_FLOAT_EQ(mean, (200.0f * 0.6f + 2.0f * 240.0f * 0.4f) / (0.8f + 0.6f));
  EXPECT_FLOAT_EQ(variance, 0.0f);

  SetVarThreshold(10.0f);
  for (int y = 0; y < 10; y += 2) img.at(y, 3) = 200;  // centre variance 175
  EXPECT_EQ(CheckSensor2(10, 10, img.data(), &mean, &variance, &saturation), LSA_DIRTY_SENSOR);
  SetVarThreshold(400.0f);
  GetParameter()->SmallDynamicRangeThreshold = 241;
  EXPECT_EQ(CheckSensor2(10, 10, img.data(), &mean, &variance, &saturation),
            LSA_SMALL_DYNAMIC_RANGE);
  GetParameter()->LowBrightnessThreshold = 250;
  SetMeanThreshold(0.0f);
  EXPECT_EQ(CheckSensor2(10, 10, img.data(), &mean, &variance, &saturation), LSA_LOW_BRIGHTNESS);
}

TEST_F(SensorCheckTest, CheckSensorFindsAFingerLeftOnThePlaten) {
  // 300 x 300: 60,000 pixels at 191 and 30,000 at 255. Mean 212.3, variance 910.2.
  Image img(300, 300, 255);
  for (int i = 0; i < 60000; ++i) img.pixels[static_cast<std::size_t>(i)] = 191;
  EXPECT_EQ(CheckSensor(300, 300, img.data(), 1000), LSA_FINGER_ON_SENSOR);
  EXPECT_EQ(CheckSensor(300, 300, img.data(), 900), LSA_DIRTY_SENSOR);
  SetVarThreshold(1000.0f);
  float mean = 0, variance = 0;
  EXPECT_EQ(CheckSensor1(300, 300, img.data(), &mean, &variance), LSA_FINGER_ON_SENSOR);
  EXPECT_NEAR(mean, 212.333f, 0.001f);
  SetMeanThreshold(213.0f);
  EXPECT_EQ(CheckSensor1(300, 300, img.data(), &mean, &variance), LSA_TOO_DARK);
  Image dark(10, 10, 150);
  EXPECT_EQ(CheckSensor(10, 10, dark.data(), 1000), LSA_TOO_DARK);
  EXPECT_EQ(CheckSensor(10, 0, dark.data(), 1000), LSA_INVALID_INPUT2);
}

TEST_F(SensorCheckTest, WideSensorForm) {
  float mean = 0, variance = 0;
  Image narrow(2, 2500, 230);
  EXPECT_EQ(CheckSensor2(2, 2500, narrow.data(), 1, &mean, &variance), LSA_INVALID_INPUT2);
  // Another mode is the plain check.
  EXPECT_EQ(CheckSensor2(2, 2500, narrow.data(), 0, &mean, &variance), 0);
  EXPECT_FLOAT_EQ(mean, 230.0f);

  // Finger pixels in the centre band count twice: 60,000 there make 60,000 after halving.
  Image wide(40, 3000, 230);
  int placed = 0;
  for (int y = 0; y < 40 && placed < 60000; ++y)
    for (int x = 500; x < 2500 && placed < 60000; ++x, ++placed) wide.at(y, x) = 100;
  SetVarThreshold(100000.0f);
  SetMeanThreshold(0.0f);
  EXPECT_EQ(CheckSensor2(40, 3000, wide.data(), 1, &mean, &variance), LSA_FINGER_ON_SENSOR);
  SetDirtySensorWindow1Threshold(60000);
  EXPECT_EQ(CheckSensor2(40, 3000, wide.data(), 1, &mean, &variance), 0);
}

TEST_F(SensorCheckTest, CheckSensor3AgainstATargetMean) {
  Image img(10, 10, 200);
  float mean = 0, variance = 0, saturation = 1;
  const struct {
    int target, varThreshold, expected;
  } cases[] = {{200, 0, 0}, {201, 0, LSA_TOO_DARK}, {199, 0, LSA_SENSOR_TOO_BRIGHT}};
  for (const auto& c : cases) {
    EXPECT_EQ(CheckSensor3(10, 10, img.data(), &mean, &variance, &saturation, c.target,
                           c.varThreshold),
              c.expected)
        << c.target;
  }
  EXPECT_EQ(saturation, 0.0f);
  img.at(0, 0) = 100;
  EXPECT_EQ(CheckSensor3(10, 10, img.data(), &mean, &variance, &saturation, 199, 10),
            LSA_DIRTY_SENSOR);
}

TEST(HistogramSummaryTest, MeanPowerMinMax) {
  HistogramType h{};
  for (int i = 0; i < 256; ++i) h.entry[i].level = i;
  h.entry[55].count = 1;
  h.entry[255].count = 3;
  float power = 0, mean = 0;
  unsigned char lo = 0, hi = 0;
  EXPECT_EQ(CalculateMeanPowerMinMax(&h, &power, &mean, &lo, &hi), 0);
  EXPECT_FLOAT_EQ(power, 200.0f * 200.0f / 4.0f);
  EXPECT_FLOAT_EQ(mean, (55.0f + 3 * 255.0f) / 4.0f);
  EXPECT_EQ(lo, 55);
  EXPECT_EQ(hi, 255);
  EXPECT_EQ(CalculateMeanPowerMinMax(nullptr, &power, &mean, &lo, &hi), LSA_INVALID_INPUT);
}

// A 20 x 30 platen at 200 with the given rows and columns 20 levels darker.
Image WithDarkLines(std::initializer_list<int> rows, std::initializer_list<int> columns) {
  Image img(20, 30, 200);
  for (int r : rows)
    for (int x = 0; x < 30; ++x) img.at(r, x) = 180;
  for (int c : columns)
    for (int y = 0; y < 20; ++y) img.at(y, c) = 180;
  return img;
}

std::vector<std::pair<int, int>> Entries(void* list) {
  std::vector<std::pair<int, int>> out;
  const auto* l = static_cast<DefectLineList*>(list);
  for (int i = 0; i < l->count; ++i) out.emplace_back(l->entries[i].column, l->entries[i].row);
  return out;
}

TEST_F(SensorCheckTest, ScanFindsIsolatedDarkLines) {
  using E = std::vector<std::pair<int, int>>;
  const struct {
    const char* name;
    Image image;
    int expected;
    E entries;
  } cases[] = {
      {"one row", WithDarkLines({7}, {}), 0, E{{0, 7}}},
      {"two adjacent rows", WithDarkLines({7, 8}, {}), 0, E{}},
      {"rows first, then columns", WithDarkLines({12, 3}, {20, 5}), 0, E{{0, 3}, {0, 12}, {5, 0}, {20, 0}}},
      {"edge rows have no neighbour", WithDarkLines({0, 19}, {}), 0, E{}},
      {"eleven rows fill the list", Image(), LSA_DEFECT_LIST_FULL, E{}},
  };
  for (const auto& c : cases) {
    Image img = c.image;
    if (img.pixels.empty()) {
      img = Image(30, 10, 200);
      for (int k = 0; k < 11; ++k)
        for (int x = 0; x < 10; ++x) img.at(1 + 2 * k, x) = 180;
    }
    void* list = nullptr;
    EXPECT_EQ(ScanDefectedLines1(img.data(), img.height, img.width, &list), c.expected) << c.name;
    ASSERT_NE(list, nullptr);
    if (c.expected == LSA_DEFECT_LIST_FULL) {
      EXPECT_EQ(static_cast<DefectLineList*>(list)->count, 10) << c.name;
      EXPECT_EQ(Entries(list).back(), std::make_pair(0, 19));
    } else {
      EXPECT_EQ(Entries(list), c.entries) << c.name;
    }
    DestroyDefectLine(&list);
    EXPECT_EQ(list, nullptr);
  }
}

TEST_F(SensorCheckTest, AmendRepairsLinesFromTheirNeighbours) {
  Image img = WithDarkLines({7}, {20});
  img.at(6, 3) = 190;
  img.at(8, 3) = 201;
  void* list = nullptr;
  ASSERT_EQ(ScanDefectedLines1(img.data(), 20, 30, &list), 0);
  AmendDefectedLines1(img.data(), 20, 30, list);
  EXPECT_EQ(img.at(7, 3), (190 + 201) / 2);
  EXPECT_EQ(img.at(7, 10), 200);
  // The row was repaired first, so the column takes it as its neighbour's source.
  EXPECT_EQ(img.at(7, 20), 200);
  EXPECT_EQ(img.at(0, 20), 200);
  DestroyDefectLine(&list);
}

TEST_F(SensorCheckTest, AmendSkipsEntriesOutsideTheImage) {
  // A list found on a large frame applied to a smaller one.
  Image large(40, 60, 200);
  for (int x = 0; x < 60; ++x) large.at(30, x) = 180;
  for (int y = 0; y < 40; ++y) large.at(y, 50) = 180;
  void* list = nullptr;
  ASSERT_EQ(ScanDefectedLines1(large.data(), 40, 60, &list), 0);
  ASSERT_EQ(static_cast<DefectLineList*>(list)->count, 2);
  Image small(20, 30, 100);
  const Image before = small;
  AmendDefectedLines1(small.data(), 20, 30, list);
  EXPECT_EQ(small.pixels, before.pixels);
  AmendDefectedLines1(small.data(), 20, 30, nullptr);
  DestroyDefectLine(&list);
  DestroyDefectLine(&list);
  DestroyDefectLine(nullptr);
}

TEST_F(SensorCheckTest, BlockListScansAndAmends) {
  Image img = WithDarkLines({9}, {});
  EXPECT_EQ(ScanDefectedLines(img.data(), 20, 30), 0);
  EXPECT_EQ(GetParameter()->DefectLine->count, 1);
  AmendDefectedLines(img.data(), 20, 30);
  EXPECT_EQ(img.at(9, 0), 200);
  EXPECT_EQ(ScanDefectedLines(img.data(), 0, 30), LSA_INVALID_INPUT1);
  EXPECT_EQ(ScanDefectedLines(nullptr, 20, 30), LSA_INVALID_INPUT3);
}

}  // namespace
}  // namespace LiveScanAlg
