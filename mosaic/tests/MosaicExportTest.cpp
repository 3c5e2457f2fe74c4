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

// The whole interface: exactly these 122 names leave the library, nothing more and nothing less.
TEST(MosaicExports, LibraryExportsExactlyItsInterface)
{
    const std::set<std::string> expected = {
        "CMorwenMosaic::operator=(CMorwenMosaic const&)",
        "LiveScanAlg::AmendDefectedLines(unsigned char*, int, int)",
        "LiveScanAlg::AmendDefectedLines1(unsigned char*, int, int, void*)",
        "LiveScanAlg::AnalysizeNoiseLevel(int, int, unsigned char*, unsigned char*)",
        "LiveScanAlg::CalculateConstructedImageWidth(int, int, unsigned char*, int*)",
        "LiveScanAlg::CalculateImageHistogram1(int, int, unsigned char*, LiveScanAlg::HistogramType*)",
        "LiveScanAlg::CalculateMeanPowerMinMax(LiveScanAlg::HistogramType*, float*, float*, unsigned char*, unsigned char*)",
        "LiveScanAlg::CalculateMeanVarMinMax(LiveScanAlg::HistogramType*, float*, float*, unsigned char*, unsigned char*)",
        "LiveScanAlg::CalibrateBackgroundKestrelB(int*, int, int, int, unsigned char*, unsigned char*)",
        "LiveScanAlg::CalibrateBackgroundSimple(int, int, int, unsigned char*, unsigned char*)",
        "LiveScanAlg::CalibrateForeground(int, int, unsigned char*)",
        "LiveScanAlg::CalibrateForeground1(int, int, unsigned char*)",
        "LiveScanAlg::CalibrateForeground1(int, int, unsigned char*, unsigned char)",
        "LiveScanAlg::CalibrateForeground2(int, int, unsigned char*)",
        "LiveScanAlg::CalibrateForegroundBackup(int, int, unsigned char*)",
        "LiveScanAlg::CalibrateOpticalDistortion0(unsigned char*, int*)",
        "LiveScanAlg::CalibrateOpticalDistortion1(unsigned char*, LiveScanAlg::DistortionCorrectionRecord*)",
        "LiveScanAlg::CalibrateOpticalDistortion2(LiveScanAlg::ImageCordinateType, LiveScanAlg::ImageCordinateType, unsigned char*, LiveScanAlg::DistortionCorrectionRecord*)",
        "LiveScanAlg::CheckSensor(int, int, unsigned char*, int)",
        "LiveScanAlg::CheckSensor1(int, int, unsigned char*, float*, float*)",
        "LiveScanAlg::CheckSensor2(int, int, unsigned char*, float*, float*, float*)",
        "LiveScanAlg::CheckSensor2(int, int, unsigned char*, int, float*, float*)",
        "LiveScanAlg::CheckSensor3(int, int, unsigned char const*, float*, float*, float*, int, int)",
        "LiveScanAlg::CleanResidule(int, int, unsigned char*)",
        "LiveScanAlg::ConstructImage1000DPI(int*, int, int, unsigned char*, unsigned char*, unsigned char*, unsigned char*, LiveScanAlg::RectangleBlockInfoType*)",
        "LiveScanAlg::DestroyDefectLine(void**)",
        "LiveScanAlg::DestroyLiveScanParameter()",
        "LiveScanAlg::DetectActiveArea(int, int, unsigned char*, LiveScanAlg::Cordinate2DType, LiveScanAlg::Cordinate2DType, LiveScanAlg::Cordinate2DType, LiveScanAlg::Cordinate2DType*)",
        "LiveScanAlg::ErrorMessage",
        "LiveScanAlg::EvaluateCalibrateResult1(int, int, unsigned char const*, float*, float*, float*)",
        "LiveScanAlg::EvaluateConstructedImageQuality(LiveScanAlg::RectangleBlockInfoType, unsigned char*, unsigned char*, int, LiveScanAlg::MosaicImagePropertyType*)",
        "LiveScanAlg::EvaluatePreviewConstructedImage(LiveScanAlg::RectangleBlockInfoType, unsigned char*, unsigned char*, int, LiveScanAlg::MosaicImagePropertyType*)",
        "LiveScanAlg::FinchCalibration1(int, int, unsigned char*, int, int, int, int, int*, int*, unsigned char*)",
        "LiveScanAlg::FreeMask(unsigned char**)",
        "LiveScanAlg::GenerateMask(int, int, unsigned char*)",
        "LiveScanAlg::GetBackGroundBoarderthickness()",
        "LiveScanAlg::GetDirtySensorWindow1Threshold()",
        "LiveScanAlg::GetLowBrightnessThreshold()",
        "LiveScanAlg::GetMaxFrameNumber()",
        "LiveScanAlg::GetMeanImageBlock(int, int, unsigned char const*, unsigned char*, LiveScanAlg::ImageCordinateType*, LiveScanAlg::ImageCordinateType*)",
        "LiveScanAlg::GetMeanThreshold()",
        "LiveScanAlg::GetNoiseLevelThreshold()",
        "LiveScanAlg::GetParameter()",
        "LiveScanAlg::GetPloverCFinalImage(int, int, unsigned char*, unsigned char*, int, int, unsigned char*)",
        "LiveScanAlg::GetRollBackThreshold()",
        "LiveScanAlg::GetSaturetionThreshold()",
        "LiveScanAlg::GetSignalLevelThreshold()",
        "LiveScanAlg::GetSlideDetectionStatus()",
        "LiveScanAlg::GetSlidingPercentageThreshold()",
        "LiveScanAlg::GetSlidingPixelCounter()",
        "LiveScanAlg::GetSmallDynamicRangeThreshold()",
        "LiveScanAlg::GetStitchDLLVersion()",
        "LiveScanAlg::GetVarThreshold()",
        "LiveScanAlg::HistogramStretct(int, int, unsigned char*, LiveScanAlg::HistogramType*)",
        "LiveScanAlg::InitializeErrorMessage()",
        "LiveScanAlg::InitializeRectangleBlockInfo(int, int, int, int, LiveScanAlg::RectangleBlockInfoType*)",
        "LiveScanAlg::IsFingerON(int, int, unsigned char*, int, int*, float*)",
        "LiveScanAlg::IsFingerOnFast(int, float, unsigned char*, int, int, int*)",
        "LiveScanAlg::IsFingerOnFast1(int, float, unsigned char const*, int, int, int*, LiveScanAlg::Cordinate2DType*)",
        "LiveScanAlg::IsNewBackgroundClean(int, int, unsigned char*, unsigned char*)",
        "LiveScanAlg::IsPalmMoving(int, int, unsigned char const*, unsigned char const*, int, int*, int*)",
        "LiveScanAlg::IsPalmMoving1(int, int, int, unsigned char const*, unsigned char const*, float, int*, int*)",
        "LiveScanAlg::MorwenConstructImage(int*, int, int, unsigned char*, unsigned char*, unsigned char*, unsigned char*, LiveScanAlg::RectangleBlockInfoType*)",
        "LiveScanAlg::MorwenConstructImage2(int*, int, int, unsigned char*, unsigned char*, unsigned char*, unsigned char*, unsigned char*)",
        "LiveScanAlg::MorwenConstructImageQuick(int*, int, int, unsigned char*, unsigned char*, unsigned char*, unsigned char*)",
        "LiveScanAlg::PatchArea(LiveScanAlg::Cordinate2DType, LiveScanAlg::Cordinate2DType, LiveScanAlg::Cordinate2DType, LiveScanAlg::Cordinate2DType, int, int, unsigned char*)",
        "LiveScanAlg::PhotoShopCalibrateForeground(int, int, unsigned char*, int)",
        "LiveScanAlg::PreviewConstructImage(int*, int, int, unsigned char*, unsigned char*, unsigned char*, unsigned char*, LiveScanAlg::RectangleBlockInfoType*)",
        "LiveScanAlg::PrintGrayscaleImageToText(unsigned char*, int, int, char*)",
        "LiveScanAlg::QuickGetMaskNew(LiveScanAlg::Cordinate2DType, int, int, unsigned char*, unsigned char**, int*)",
        "LiveScanAlg::ReAllocateWorkingBuffer(int)",
        "LiveScanAlg::ReadBMPToRawData(char*, unsigned char**, int*, int*)",
        "LiveScanAlg::RotateImage(unsigned char const*, int, int, unsigned char*, int, int, float, unsigned char)",
        "LiveScanAlg::SaveRawDataToBMP(char*, unsigned char*, int, int)",
        "LiveScanAlg::ScaleImage(int, int, unsigned char*, int, int, unsigned char**)",
        "LiveScanAlg::ScaleImage(unsigned char*, int, int, float, float, unsigned char**, int*, int*)",
        "LiveScanAlg::ScaleImage1(unsigned char*, int, int, int, int, unsigned char**, int*, int*)",
        "LiveScanAlg::ScanDefectedLines(unsigned char*, int, int)",
        "LiveScanAlg::ScanDefectedLines1(unsigned char*, int, int, void**)",
        "LiveScanAlg::ScanDifferentLine(int, int, unsigned char*, unsigned char*, LiveScanAlg::Cordinate2DType, LiveScanAlg::Cordinate2DType, unsigned char, int, int*, int*)",
        "LiveScanAlg::SetBackGroundBoarderthickness(int)",
        "LiveScanAlg::SetDirtySensorWindow1Threshold(int)",
        "LiveScanAlg::SetLowBrightnessThreshold(int)",
        "LiveScanAlg::SetMaxFrameNumber(int)",
        "LiveScanAlg::SetMeanThreshold(float)",
        "LiveScanAlg::SetNoiseLevelThreshold(unsigned char)",
        "LiveScanAlg::SetRollBackThreshold(int)",
        "LiveScanAlg::SetRollBeginBuffSize(int)",
        "LiveScanAlg::SetSaturetionThreshold(float)",
        "LiveScanAlg::SetSignalLevelThreshold(unsigned char)",
        "LiveScanAlg::SetSlideDetectionStatus(int)",
        "LiveScanAlg::SetSlidingPercentageThreshold(float)",
        "LiveScanAlg::SetSlidingPixelCounter(int)",
        "LiveScanAlg::SetSlidingSADMeanThreshlod(int)",
        "LiveScanAlg::SetSmallDynamicRangeThreshold(int)",
        "LiveScanAlg::SetVarThreshold(float)",
        "LiveScanAlg::SmartForegroundStretch(int, int, unsigned char*, int)",
        "LiveScanAlg::SmartForegroundStretch1(int, int, unsigned char*, int, int)",
        "LiveScanAlg::SmartForegroundStretch2(int, int, unsigned char*, int)",
        "LiveScanAlg::SmartForegroundStretch3(int, int, unsigned char*, int, int, int)",
        "LiveScanAlg::SmartForegroundStretch7(int, int, unsigned char*)",
        "LiveScanAlg::StitchKernal(int*, int, int, unsigned char*, unsigned char*, unsigned char*, unsigned char*)",
        "LiveScanAlg::StitchKernalBlock(int*, int, int, unsigned char*, unsigned char*, unsigned char*, unsigned char*)",
        "LiveScanAlg::SubBackground(int, unsigned char*, unsigned char*)",
        "LiveScanAlg::SubBackground2(unsigned char const*, unsigned char*, int, int)",
        "LiveScanAlg::TDistortionCorrectEx(LiveScanAlg::DistortionCorrectionHandle*, unsigned char*, LiveScanAlg::DistortionCorrectionRecord*)",
        "LiveScanAlg::TDistortionCorrectFloat(unsigned char*, unsigned char*, LiveScanAlg::DistortionCorrectionRecord*)",
        "LiveScanAlg::TDistortionCorrectInit()",
        "LiveScanAlg::TDistortionCorrectInitMt(LiveScanAlg::DistortionCorrectionHandle*, LiveScanAlg::DistortionCorrectionRecord*)",
        "LiveScanAlg::TDistortionCorrectInt(unsigned char*, unsigned char*, LiveScanAlg::DistortionCorrectionRecord*)",
        "LiveScanAlg::TDistortionCorrectInt_Test(unsigned char*, unsigned char*, LiveScanAlg::DistortionCorrectionRecord*)",
        "LiveScanAlg::TDistortionCorrectRelease(LiveScanAlg::DistortionCorrectionHandle**)",
        "LiveScanAlg::TDistortionCorrectStep1Mt(LiveScanAlg::DistortionCorrectionHandle*, unsigned char*, int, int, LiveScanAlg::DistortionCorrectionRecord*)",
        "LiveScanAlg::TDistortionCorrectStep2Mt(LiveScanAlg::DistortionCorrectionHandle*, unsigned char*, int, int, LiveScanAlg::DistortionCorrectionRecord*)",
        "LiveScanAlg::mmGetFingerProperty(unsigned char*, int, int, LiveScanAlg::mm_finger_property*)",
        "LiveScanAlg::mmGetFingerProperty_Roll(unsigned char*, int, int, LiveScanAlg::mm_finger_property*)",
        "LiveScanAlg::mmGetFingerProperty_Roll_V2(unsigned char*, int, int, LiveScanAlg::mm_finger_property*)",
        "LiveScanAlg::mmGetSlidingMask(unsigned char*, int, int)",
        "LiveScanAlg::mmRollFingerQualityCheck(unsigned char*, int, int)",
        "LiveScanAlg::mmRollStitch(unsigned char*, int*, unsigned char*, unsigned char*)",
        "LiveScanAlg::mmRollStitchCreate(int, int, int, int, int)",
        "LiveScanAlg::mmRollStitchRelease()",
    };
    std::set<std::string> exported;
    for (const std::string& name : export_test::ExportedNames(MORWEN_MOSAIC_LIBRARY))
        if (name.rfind("__odr_asan", 0) != 0)  // AddressSanitizer's own markers in the test build
            exported.insert(name);
    EXPECT_EQ(expected.size(), 122u);
    for (const std::string& name : expected)
        EXPECT_EQ(exported.count(name), 1u) << "not exported: " << name;
    for (const std::string& name : exported)
        EXPECT_EQ(expected.count(name), 1u) << "exported but not part of the interface: " << name;
}
