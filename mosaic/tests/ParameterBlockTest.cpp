#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "LiveScanAlgInternal.h"
#include "LiveScanTestSupport.h"

namespace LiveScanAlg {
namespace {

using livescan_test::FreshBlock;

class ParameterBlockTest : public FreshBlock {};

TEST_F(ParameterBlockTest, AccessorsReportTheDefaults) {
  EXPECT_EQ(GetMaxFrameNumber(), 2147483647);
  EXPECT_EQ(GetLowBrightnessThreshold(), 0);
  EXPECT_EQ(GetSmallDynamicRangeThreshold(), 0);
  EXPECT_EQ(GetBackGroundBoarderthickness(), 20);
  EXPECT_EQ(GetSlideDetectionStatus(), 0);
  EXPECT_EQ(GetSlidingPixelCounter(), 33768);
  EXPECT_FLOAT_EQ(GetSlidingPercentageThreshold(), 0.115f);
  EXPECT_EQ(GetRollBackThreshold(), -225);
  EXPECT_FLOAT_EQ(GetVarThreshold(), 400.0f);
  EXPECT_FLOAT_EQ(GetMeanThreshold(), 192.0f);
  EXPECT_EQ(GetDirtySensorWindow1Threshold(), 49500);
  EXPECT_FLOAT_EQ(GetSaturetionThreshold(), 0.3f);
  EXPECT_EQ(GetNoiseLevelThreshold(), 9);
  EXPECT_EQ(GetSignalLevelThreshold(), 120);

  const StitchParameterType* p = GetParameter();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->WhiteLevelThreshold, 208);
  EXPECT_EQ(p->DarkLevelThreshold, 64);
  EXPECT_EQ(p->DynamicRangeThreshold, 28);
  EXPECT_EQ(p->CoverageLimit, 1000);
  EXPECT_EQ(p->MinOverlapCount, 9000);
  EXPECT_EQ(p->MinFirstFrameCount, 58000);
  EXPECT_EQ(p->MaskMinRegionSize, 9000);
  EXPECT_EQ(p->MaskMaxRegions, 12);
  EXPECT_EQ(p->MaskRegionFilter, 1);
  EXPECT_EQ(p->MaskLevelThreshold, 50);
  EXPECT_EQ(p->FingerLevelThreshold, 192);
  EXPECT_EQ(p->RollBeginBuffSize, 1048576);
  EXPECT_EQ(p->EdgeLabel, 48);
  EXPECT_EQ(p->OverlapLabel, 112);
  EXPECT_EQ(p->NewLabel, 80);
  EXPECT_EQ(p->SaturatedLabel, 144);
  EXPECT_EQ(p->StretchOffset, 9);
  EXPECT_EQ(p->StretchMinimumRange, 50);
  uint32_t bits = 0;
  std::memcpy(&bits, &p->Reserved2588[9], sizeof bits);  // offset 2624
  EXPECT_EQ(bits, 0x45C5D399u);
  EXPECT_NE(p->WorkingBuffer, nullptr);
  EXPECT_NE(p->DefectLine, nullptr);
  EXPECT_EQ(p->ThirdBuffer, nullptr);
}

TEST_F(ParameterBlockTest, SetReturnsThePreviousValue) {
  EXPECT_EQ(SetRollBackThreshold(5), -225);
  EXPECT_EQ(SetRollBackThreshold(7), 5);
  EXPECT_EQ(GetRollBackThreshold(), 7);
  EXPECT_EQ(SetNoiseLevelThreshold(200), 9);
  EXPECT_EQ(GetNoiseLevelThreshold(), 200);
  EXPECT_FLOAT_EQ(SetVarThreshold(250.0f), 400.0f);
  EXPECT_FLOAT_EQ(SetSaturetionThreshold(0.5f), 0.3f);
  EXPECT_EQ(SetSlidingSADMeanThreshlod(3), 58);
  EXPECT_EQ(GetParameter()->SlidingSADMeanThreshlod, 3);
}

TEST_F(ParameterBlockTest, RollBeginBuffSizeIgnoresNegativeSizesAndEchoesItsArgument) {
  EXPECT_EQ(SetRollBeginBuffSize(-1), -1);
  EXPECT_EQ(GetParameter()->RollBeginBuffSize, 1048576);
  EXPECT_EQ(SetRollBeginBuffSize(0), 0);
  EXPECT_EQ(GetParameter()->RollBeginBuffSize, 0);
  EXPECT_EQ(SetRollBeginBuffSize(77), 77);
  EXPECT_EQ(GetParameter()->RollBeginBuffSize, 77);
}

TEST_F(ParameterBlockTest, DestroyRestoresTheDefaults) {
  SetVarThreshold(10.0f);
  SetMaxFrameNumber(3);
  DestroyLiveScanParameter();
  EXPECT_FLOAT_EQ(GetVarThreshold(), 400.0f);
  EXPECT_EQ(GetMaxFrameNumber(), 2147483647);
  DestroyLiveScanParameter();
  DestroyLiveScanParameter();  // destroying twice is harmless
}

TEST_F(ParameterBlockTest, ShrinkingTheWorkingBufferWarnsAndStillReallocates) {
  const int before = GetWorkingBufferSize();
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReAllocateWorkingBuffer(4096), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Are you sure you want to reduce working buffer size?\n");
  EXPECT_EQ(GetWorkingBufferSize(), 4096);
  EXPECT_NE(GetParameter()->WorkingBuffer, nullptr);

  testing::internal::CaptureStdout();
  EXPECT_EQ(ReAllocateWorkingBuffer(before), 0);  // growing says nothing
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(GetWorkingBufferSize(), before);
}

TEST_F(ParameterBlockTest, FailedReallocationKeepsTheBufferAndItsSize) {
  const int before = GetWorkingBufferSize();
  unsigned char* buffer = GetParameter()->WorkingBuffer;
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReAllocateWorkingBuffer(-5), LSA_NO_MEMORY);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(GetParameter()->WorkingBuffer, buffer);
  EXPECT_EQ(GetWorkingBufferSize(), before);
}

TEST_F(ParameterBlockTest, WorkingBufferSizeSurvivesTheBlock) {
  const int before = GetWorkingBufferSize();
  testing::internal::CaptureStdout();
  ASSERT_EQ(ReAllocateWorkingBuffer(8192), 0);
  testing::internal::GetCapturedStdout();
  DestroyLiveScanParameter();
  EXPECT_EQ(GetWorkingBufferSize(), 8192);
  ASSERT_NE(GetParameter(), nullptr);
  ASSERT_EQ(ReAllocateWorkingBuffer(before), 0);
}

TEST_F(ParameterBlockTest, ConcurrentFirstUseCreatesOneBlock) {
  DestroyLiveScanParameter();
  std::vector<StitchParameterType*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = GetParameter(); });
  }
  for (auto& t : threads) t.join();
  const std::set<StitchParameterType*> distinct(seen.begin(), seen.end());
  EXPECT_EQ(distinct.size(), 1u);
  EXPECT_NE(*distinct.begin(), nullptr);
}

TEST_F(ParameterBlockTest, StretchTableRowsMapGreyByLocalRange) {
  const unsigned char* t = GetParameter()->StretchTable;
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(std::memcmp(t, t + 256, 256), 0);  // row 0 is row 1
  EXPECT_EQ(t[100 * 256 + 100], 246);          // 100 x 264 / 100 - 18
  EXPECT_EQ(t[255 * 256 + 10], 0);             // negative, clamped
  EXPECT_EQ(t[50 * 256 + 255], 255);           // above 255, clamped
  EXPECT_EQ(t[10 * 256 + 20], 87);             // range below 50 uses 50: 20 x 264 / 50 - 18
}

TEST_F(ParameterBlockTest, VersionCarriesTheBuildDayAndDate) {
  const std::string version = GetStitchDLLVersion();
  const std::string date = __DATE__;
  int day = -1;
  char rest[128] = {};
  ASSERT_EQ(std::sscanf(version.c_str(), "1.5.%d.1--Compiled Date:%127[^\n]", &day, rest), 2)
      << version;
  EXPECT_EQ(day, GetBuildDayOfYear(date.c_str(), nullptr, nullptr, nullptr));
  EXPECT_GT(day, 4000);  // built well after 2021
  const std::string tail = rest;
  ASSERT_EQ(tail.size(), date.size() + 1 + 8) << tail;
  EXPECT_EQ(tail.substr(0, date.size()), date);
  EXPECT_EQ(tail[date.size()], ',');
  EXPECT_EQ(tail[date.size() + 3], ':');
  EXPECT_EQ(tail[date.size() + 6], ':');
}

TEST(BuildDayTest, CountsDaysFromTheEndOf2010) {
  int year = 0, month = 0, day = 0;
  EXPECT_EQ(GetBuildDayOfYear("Mar 23 2011", &year, &month, &day), 82);
  EXPECT_EQ(year, 2011);
  EXPECT_EQ(month, 2);
  EXPECT_EQ(day, 23);
  EXPECT_EQ(GetBuildDayOfYear("Jan  1 2011", &year, &month, &day), 1);
  EXPECT_EQ(GetBuildDayOfYear("Jan  1 2012", &year, &month, &day), 366);
}

TEST(ErrorMessageTest, RowsHoldTheirTexts) {
  InitializeErrorMessage();
  EXPECT_STREQ(ErrorMessage[LSA_PASSED], "You Passed!");
  EXPECT_STREQ(ErrorMessage[LSA_INVALID_INPUT3], "Invalid Input Parameters3!");
  EXPECT_STREQ(ErrorMessage[LSA_NO_MEMORY], "Can't Allocate Memory!");
  EXPECT_STREQ(ErrorMessage[19], ErrorMessage[20]);
  EXPECT_STREQ(ErrorMessage[LSA_TOO_DARK], "The brightenss of the sensor might be too small");
  EXPECT_THAT(ErrorMessage[LSA_SMALL_DYNAMIC_RANGE], testing::HasSubstr("contrast  of"));
  EXPECT_THAT(ErrorMessage[LSA_SMALL_VARIANCE], testing::StartsWith("SmallVar,"));
  EXPECT_STREQ(ErrorMessage[LSA_ROLL_BACKWARDS],
               "Don't leave or roll backwards until you Ft rolling all area of your finger!");
  EXPECT_STREQ(ErrorMessage[LSA_FINGER_ON_SENSOR],
               "If your finger is on the sensor,please remove it from the sensor");
  EXPECT_GT(std::strlen(ErrorMessage[16]), 100u);
  for (int row = 39; row < kErrorMessageRows; ++row) EXPECT_STREQ(ErrorMessage[row], "") << row;
  for (int row = 0; row < 39; ++row) EXPECT_STRNE(ErrorMessage[row], "") << row;
}

}  // namespace
}  // namespace LiveScanAlg
