// Frame mosaic kernel that works inside the band of columns around the densest column.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "MosaicInternal.h"

namespace LiveScanAlg {
namespace mosaic {
namespace {

constexpr int kLiftedCut = 54997;
constexpr int kRamp = 20;

// Band of the frame mask: the peak column and row and the columns around the peak column.
struct Band {
    int PeakColumn = 0;
    int PeakRow = 0;
    int Left = 0;
    int Right = 0;
};

// Binarises the smoothed frame in mask, counts the foreground per row and column and finds the band.
Band BinariseAndFindBand(int frameNumber, int height, int width, unsigned char* mask)
{
    const unsigned char threshold = FrameMaskThreshold(frameNumber, kBlockMaskRule);
    unsigned char table[256];
    for (int v = 0; v < 256; ++v) table[v] = v < threshold ? 255 : 0;
    std::vector<int> columnCount(width, 0);
    std::vector<int> rowCount(height, 0);
    int total = 0;
    for (int r = 0; r < height; ++r) {
        unsigned char* row = mask + static_cast<size_t>(r) * width;
        for (int c = 0; c < width; ++c) {
            row[c] = table[row[c]];
            const int on = row[c] >> 7;
            columnCount[c] += on;
            rowCount[r] += on;
        }
        total += rowCount[r];
    }
    GetParameter()->LastForegroundCount = total;

    Band band;
    band.PeakColumn = static_cast<int>(std::max_element(columnCount.begin(), columnCount.end()) -
                                       columnCount.begin());
    band.PeakRow = static_cast<int>(std::max_element(rowCount.begin(), rowCount.end()) -
                                    rowCount.begin());
    band.Left = 0;
    for (int c = band.PeakColumn; c >= 0; --c) {
        if (columnCount[c] < 6) {
            band.Left = c;
            break;
        }
    }
    band.Right = width - 1;
    for (int c = band.PeakColumn + 1; c < width; ++c) {
        if (columnCount[c] < 5) {
            band.Right = c;
            break;
        }
    }
    return band;
}

int StitchBlockFrame(int frameNumber, int* frameNumberOut, int height, int width,
                     const unsigned char* frame, unsigned char* mask, unsigned char* mosaic,
                     unsigned char* coverage, FrameRecord& record)
{
    StitchParameterType* p = GetParameter();
    ImageCordinateType topLeft{0, 0};
    ImageCordinateType bottomRight{width, height};
    GetMeanImageBlock(height, width, frame, mask, &topLeft, &bottomRight);
    const Band band = BinariseAndFindBand(frameNumber, height, width, mask);
    const int foreground = p->LastForegroundCount;

    // The band excludes its bottom row and right column.
    record.BandLeft = band.Left;
    record.BandTop = 0;
    record.BandRight = band.Right;
    record.BandBottom = height - 1;
    const int border = std::max(p->BackGroundBoarderthickness, 0);
    const int labelLeft = std::max(band.Left, border);
    const int labelRight = band.Right - border + 1;
    const LabelRegion region{labelLeft, 0, std::max(labelLeft, labelRight), height - 1,
                             labelLeft, labelRight};
    const size_t pixels = static_cast<size_t>(height) * width;

    auto start = [&] {
        StartMosaic(height, width, region, mask, coverage, border, 1);
        std::memcpy(mosaic, frame, pixels);
    };
    if (frameNumber == 0) {
        return FirstFrame(foreground >= p->MinFirstFrameCount, frameNumberOut, start);
    }

    LabelFrame(width, region, mask, coverage, border, record);
    // The densest column and row stand for the foreground centroid in the movement step.
    record.ForegroundX = band.PeakColumn;
    record.ForegroundY = band.PeakRow;
    const int checked = CheckFrameContinuity(
        frameNumber, record, foreground, p->MinOverlapCount, kLiftedCut, 60.0f, 400.0f, pixels, mask,
        start, [&] { return DetectSlide(frameNumber, height, width, mask, 1, width, frame, mosaic); });
    if (checked != kBlendFrame) return checked;

    const FrameRecord first = LoadFirstRecord();
    const int direction = record.OverlapX - first.ForegroundX;
    const bool meanRule = std::abs(direction) >= 80;
    const int bandLeft = band.Left;
    const int bandRight = band.Right;  // exclusive
    const int bandBottom = height - 1;  // exclusive
    const std::vector<int> seam = FindSeams(height, width, mask, 0, bandBottom, bandLeft, bandRight,
                                            meanRule, direction > 0, meanRule);

    BlendAlongSeams(width, 0, bandBottom, bandLeft, bandRight, seam, kRamp, direction >= 0, frame,
                    mask, mosaic, coverage);
    return 0;
}

}  // namespace
}  // namespace mosaic

int StitchKernalBlock(int* frameNumber, int height, int width, unsigned char* frame,
                      unsigned char* mask, unsigned char* mosaic, unsigned char* coverage)
{
    using namespace mosaic;
    if (const int refused = BeginFrame(frameNumber)) return refused;
    FrameRecord record{};
    // The band starts as the whole frame.
    record.BandRight = width;
    record.BandBottom = height;
    int result = CheckKernelArguments(height, width, frame, mask, mosaic, coverage);
    if (result == 0) {
        result = StitchBlockFrame(*frameNumber, frameNumber, height, width, frame, mask, mosaic,
                                  coverage, record);
    }
    return FinishFrame(frameNumber, record, result);
}

}  // namespace LiveScanAlg
