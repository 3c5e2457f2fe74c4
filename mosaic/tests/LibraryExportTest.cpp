// The shared library exports the library's interface by name and keeps its helpers hidden.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ExportedSymbols.h"

namespace {

using export_test::ExportedNames;

TEST(LiveScanExportTest, LibraryExportsItsInterfaceAndHidesItsHelpers) {
  const std::set<std::string> names = ExportedNames(MORWEN_MOSAIC_LIBRARY);
  ASSERT_FALSE(names.empty()) << MORWEN_MOSAIC_LIBRARY;
  for (const char* expected : {
           "LiveScanAlg::ErrorMessage",
           "LiveScanAlg::GetParameter()",
           "LiveScanAlg::SetSaturetionThreshold(float)",
           "LiveScanAlg::IsFingerON(int, int, unsigned char*, int, int*, float*)",
           "LiveScanAlg::CheckSensor2(int, int, unsigned char*, float*, float*, float*)",
           "LiveScanAlg::CheckSensor2(int, int, unsigned char*, int, float*, float*)",
           "LiveScanAlg::CalibrateBackgroundSimple(int, int, int, unsigned char*, unsigned char*)",
           "LiveScanAlg::SmartForegroundStretch1(int, int, unsigned char*, int, int)",
           "LiveScanAlg::DestroyDefectLine(void**)",
           "LiveScanAlg::ScaleImage(int, int, unsigned char*, int, int, unsigned char**)",
       }) {
    EXPECT_EQ(names.count(expected), 1u) << expected;
  }
  for (const std::string& name : names) {
    for (const char* hidden : {"CalculateHistogramStatistics", "MinimumFilter", "FilterMaskRegions",
                               "GetWorkingBufferOfSize", "CreateLiveScanParameter",
                               "CreateDefectLine", "BuildStretchTable"}) {
      EXPECT_EQ(name.find(hidden), std::string::npos) << name;
    }
  }
}

}  // namespace
