// The frame mosaic and the constructed-image quality evaluation are exported by name.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ExportedSymbols.h"

namespace {

TEST(MosaicExports, LibraryExportsTheMosaicNames)
{
    const std::set<std::string> names = export_test::ExportedNames(MORWEN_MOSAIC_LIBRARY);
    ASSERT_FALSE(names.empty()) << MORWEN_MOSAIC_LIBRARY;
    for (const char* expected : {
             "LiveScanAlg::MorwenConstructImage(int*, int, int, unsigned char*, unsigned char*, "
             "unsigned char*, unsigned char*, LiveScanAlg::RectangleBlockInfoType*)",
             "LiveScanAlg::StitchKernal(int*, int, int, unsigned char*, unsigned char*, "
             "unsigned char*, unsigned char*)",
             "LiveScanAlg::MorwenConstructImage2(int*, int, int, unsigned char*, unsigned char*, "
             "unsigned char*, unsigned char*, unsigned char*)",
             "LiveScanAlg::StitchKernalBlock(int*, int, int, unsigned char*, unsigned char*, "
             "unsigned char*, unsigned char*)",
             "LiveScanAlg::PreviewConstructImage(int*, int, int, unsigned char*, unsigned char*, "
             "unsigned char*, unsigned char*, LiveScanAlg::RectangleBlockInfoType*)",
             "LiveScanAlg::MorwenConstructImageQuick(int*, int, int, unsigned char*, "
             "unsigned char*, unsigned char*, unsigned char*)",
             "LiveScanAlg::GetMeanImageBlock(int, int, unsigned char const*, unsigned char*, "
             "LiveScanAlg::ImageCordinateType*, LiveScanAlg::ImageCordinateType*)",
             "LiveScanAlg::InitializeRectangleBlockInfo(int, int, int, int, "
             "LiveScanAlg::RectangleBlockInfoType*)",
             "LiveScanAlg::ConstructImage1000DPI(int*, int, int, unsigned char*, unsigned char*, "
             "unsigned char*, unsigned char*, LiveScanAlg::RectangleBlockInfoType*)",
             "LiveScanAlg::CalibrateOpticalDistortion0(unsigned char*, int*)",
             "LiveScanAlg::EvaluateCalibrateResult1(int, int, unsigned char const*, float*, "
             "float*, float*)",
             "CMorwenMosaic::operator=(CMorwenMosaic const&)",
             "LiveScanAlg::EvaluateConstructedImageQuality(LiveScanAlg::RectangleBlockInfoType, "
             "unsigned char*, unsigned char*, int, LiveScanAlg::MosaicImagePropertyType*)",
             "LiveScanAlg::EvaluatePreviewConstructedImage(LiveScanAlg::RectangleBlockInfoType, "
             "unsigned char*, unsigned char*, int, LiveScanAlg::MosaicImagePropertyType*)",
             "LiveScanAlg::CalculateConstructedImageWidth(int, int, unsigned char*, int*)",
             "LiveScanAlg::PatchArea(LiveScanAlg::Cordinate2DType, LiveScanAlg::Cordinate2DType, "
             "LiveScanAlg::Cordinate2DType, LiveScanAlg::Cordinate2DType, int, int, "
             "unsigned char*)",
         }) {
        EXPECT_EQ(names.count(expected), 1u) << expected;
    }
    // The kernels' internal steps stay hidden.
    for (const std::string& name : names) {
        for (const char* hidden : {"PrepareFrameMask", "LabelFrame", "FitSeamPolynomial",
                                   "DetectSlide", "StartMosaic", "FrameMaskThreshold"}) {
            EXPECT_EQ(name.find(hidden), std::string::npos) << name;
        }
    }
}

}  // namespace
