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
constexpr int kMinSeamPixels = 11;
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

    if (frameNumber == 0) {
        if (foreground >= p->MinFirstFrameCount) {
            StartMosaic(height, width, region, mask, coverage, border, 1);
            std::memcpy(mosaic, frame, pixels);
        } else {
            *frameNumberOut = -1;
        }
        return 0;
    }

    LabelFrame(width, region, mask, coverage, border, record);
    // The densest column and row stand for the foreground centroid in the movement step.
    record.ForegroundX = band.PeakColumn;
    record.ForegroundY = band.PeakRow;
    if (record.OverlapCount + record.SaturatedCount < p->MinOverlapCount) {
        return TooLittleOverlapResult(foreground, kLiftedCut);
    }

    const FrameRecord previous = LoadPreviousRecord();
    switch (UpdateMovement(frameNumber, record.ForegroundX - previous.ForegroundX,
                           record.ForegroundY - previous.ForegroundY, 60.0f, 400.0f)) {
    case Movement::Reversed:
        return 27;
    case Movement::Restart:
        ResetMaskLabels(pixels, mask);
        StartMosaic(height, width, region, mask, coverage, border, 1);
        std::memcpy(mosaic, frame, pixels);
        return 0;
    case Movement::Continue:
        break;
    }

    if (frameNumber > 1 && p->SlideDetectionStatus == 1 &&
        DetectSlide(frameNumber, height, width, mask, 1, width, frame, mosaic)) {
        return 28;
    }

    const FrameRecord first = LoadFirstRecord();
    const int direction = record.OverlapX - first.ForegroundX;
    const bool meanRule = std::abs(direction) >= 80;
    const int bandLeft = band.Left;
    const int bandRight = band.Right;  // exclusive
    const int bandBottom = height - 1;  // exclusive
    const std::vector<int> seam = FindSeams(height, width, mask, 0, bandBottom, bandLeft, bandRight,
                                            meanRule, direction > 0, meanRule ? kMinSeamPixels : 1);

    const unsigned char newLabel = p->NewLabel;
    const unsigned char overlapLabel = p->OverlapLabel;
    for (int r = 0; r < bandBottom; ++r) {
        const size_t base = static_cast<size_t>(r) * width;
        const int s = seam[r];
        for (int c = bandLeft; c < bandRight; ++c) {
            const unsigned char label = mask[base + c];
            if (label == newLabel) {
                mosaic[base + c] = frame[base + c];
                ++coverage[base + c];
            } else if (label == overlapLabel) {
                ++coverage[base + c];
                if (s <= 0) continue;
                const int d = direction < 0 ? c - s : s - c;
                if (d < -kRamp) {
                    mosaic[base + c] = frame[base + c];
                } else if (d < kRamp) {
                    mosaic[base + c] = static_cast<unsigned char>(
                        (frame[base + c] * (kRamp - d) + mosaic[base + c] * (d + kRamp)) / (2 * kRamp));
                }
            }
        }
    }
    return 0;
}

}  // namespace
}  // namespace mosaic

int StitchKernalBlock(int* frameNumber, int height, int width, unsigned char* frame,
                      unsigned char* mask, unsigned char* mosaic, unsigned char* coverage)
{
    using namespace mosaic;
    if (IsMissing(frameNumber)) return 11;
    StitchParameterType* p = GetParameter();
    if (!p) return 12;
    if (*frameNumber < 0 || *frameNumber >= p->MaxFrameNumber) *frameNumber = 0;
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
