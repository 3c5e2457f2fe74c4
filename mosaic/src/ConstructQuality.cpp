// Quality evaluation of a constructed (mosaicked) finger image, its foreground width and the
// grey-level matching of one rectangle to another.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "MosaicInternal.h"

namespace LiveScanAlg {
namespace {

// Non-zero pixels of row r of an image.
int RowCount(const unsigned char* image, int width, int r)
{
    const unsigned char* row = image + static_cast<size_t>(r) * width;
    int n = 0;
    for (int c = 0; c < width; ++c) n += row[c] != 0;
    return n;
}

// Non-zero pixels of column c of an image.
int ColumnCount(const unsigned char* image, int height, int width, int c)
{
    int n = 0;
    for (int r = 0; r < height; ++r) n += image[static_cast<size_t>(r) * width + c] != 0;
    return n;
}

// Extents walked from the centre: the first row or column with fewer than threshold non-zero
// pixels, searching down and right from the centre and up and left from one before it. A walk
// that finds none ends at `lastRow` / `lastColumn` (down, right) or at 0 (up, left).
struct Extents {
    int Left;
    int Top;
    int Right;
    int Bottom;
};

Extents WalkExtents(const unsigned char* image, int height, int width, int centreX, int centreY,
                    int threshold, int lastRow, int lastColumn)
{
    Extents e{0, 0, lastColumn, lastRow};
    for (int r = centreY; r < height; ++r) {
        if (RowCount(image, width, r) < threshold) {
            e.Bottom = r;
            break;
        }
    }
    for (int r = centreY - 1; r >= 0; --r) {
        if (RowCount(image, width, r) < threshold) {
            e.Top = r;
            break;
        }
    }
    for (int c = centreX; c < width; ++c) {
        if (ColumnCount(image, height, width, c) < threshold) {
            e.Right = c;
            break;
        }
    }
    for (int c = centreX - 1; c >= 0; --c) {
        if (ColumnCount(image, height, width, c) < threshold) {
            e.Left = c;
            break;
        }
    }
    return e;
}

void ClearProperty(MosaicImagePropertyType* property)
{
    std::memset(property, 0, sizeof *property);
    property->ReservedFloat0 = 0.0f;
    property->ReservedFloat1 = 100.0f;
    property->ReservedInt = 0;
}

// Centre and box (times scale; sizes scale x (end - start) + sizeExtra), area and grey statistics.
void FillForeground(int centreX, int centreY, const Extents& e, int scale, int sizeExtra,
                    int64_t area, const HistogramType& histogram, MosaicImagePropertyType* property)
{
    property->CentreX = scale * centreX;
    property->CentreY = scale * centreY;
    property->LeftColumn = scale * e.Left;
    property->TopRow = scale * e.Top;
    property->RightColumn = scale * e.Right;
    property->BottomRow = scale * e.Bottom;
    property->ForegroundHeight = scale * (e.Bottom - e.Top) + sizeExtra;
    property->ForegroundWidth = scale * (e.Right - e.Left) + sizeExtra;
    property->ForegroundArea = static_cast<int32_t>(std::min<int64_t>(area, INT32_MAX));
    CalculateHistogramStatistics(&histogram, &property->LowestGrey, &property->HighestGrey,
                                 &property->MeanGrey, &property->GreyVariance, nullptr);
}

// Checks of both evaluators: 3, 4 and 5 for a missing image, second image and record, 12 without
// a parameter block; then the record is cleared to its fixed values.
int BeginEvaluation(const void* image, const void* second, MosaicImagePropertyType* property)
{
    if (IsMissing(image)) return 3;
    if (IsMissing(second)) return 4;
    if (IsMissing(property)) return 5;
    if (!GetParameter()) return 12;
    ClearProperty(property);
    return 0;
}

void ResetHistogram(HistogramType& histogram)
{
    for (int i = 0; i < 256; ++i) histogram.entry[i] = {i, 0};
}

}  // namespace

int EvaluateConstructedImageQuality(RectangleBlockInfoType info, unsigned char* image,
                                    unsigned char* constructed, int frameCount,
                                    MosaicImagePropertyType* property)
{
    if (const int refused = BeginEvaluation(image, constructed, property)) return refused;
    const StitchParameterType* p = GetParameter();

    const int height = std::max(info.ImageHeight, 0);
    const int width = std::max(info.ImageWidth, 0);
    HistogramType histogram;
    ResetHistogram(histogram);
    int64_t area = 0, sumX = 0, sumY = 0;
    for (int r = 0; r < height; ++r) {
        const unsigned char* row = constructed + static_cast<size_t>(r) * width;
        for (int c = 0; c < width; ++c) {
            if (row[c] == 0) continue;
            ++histogram.entry[row[c]].count;
            sumX += c;
            sumY += r;
            ++area;
        }
    }
    if (area > 0) {
        const int centreX = static_cast<int>(sumX / area);
        const int centreY = static_cast<int>(sumY / area);
        const Extents e = WalkExtents(constructed, height, width, centreX, centreY,
                                      p->ProfileThreshold, height - 1, width - 1);
        FillForeground(centreX, centreY, e, 1, 1, area, histogram, property);
    }

    if (area >= p->MosaicMinArea) return 0;
    if (property->ForegroundWidth < p->MosaicMinWidth) {
        return frameCount < static_cast<int64_t>(p->MaxFrameNumber) - 1 ? 32 : 26;
    }
    if (property->ForegroundHeight >= p->MosaicHeightLimit) return 29;
    if (property->CentreY > height - p->MosaicHeightLimit) return 33;
    if (property->CentreY < height - p->MosaicCentreMargin) return 34;
    return 31;
}

int EvaluatePreviewConstructedImage(RectangleBlockInfoType info, unsigned char* image,
                                    unsigned char* quarterMask, int /*unused*/,
                                    MosaicImagePropertyType* property)
{
    if (const int refused = BeginEvaluation(image, quarterMask, property)) return refused;
    const StitchParameterType* p = GetParameter();

    const int height = std::max(info.ImageHeight, 0);
    const int width = std::max(info.ImageWidth, 0);
    const int qh = height / 4;
    const int qw = width / 4;
    HistogramType histogram;
    ResetHistogram(histogram);
    int64_t count = 0, sumX = 0, sumY = 0;
    for (int qr = 0; qr < qh; ++qr) {
        for (int qc = 0; qc < qw; ++qc) {
            if (quarterMask[static_cast<size_t>(qr) * qw + qc] == 0) continue;
            ++count;
            sumX += qc;
            sumY += qr;
            for (int y = qr * 4; y < qr * 4 + 4; ++y) {
                const unsigned char* row = image + static_cast<size_t>(y) * width;
                for (int x = qc * 4; x < qc * 4 + 4; ++x) ++histogram.entry[row[x]].count;
            }
        }
    }
    if (count > 0) {
        const int centreX = static_cast<int>(sumX / count);
        const int centreY = static_cast<int>(sumY / count);
        const Extents e =
            WalkExtents(quarterMask, qh, qw, centreX, centreY, p->ProfileThreshold / 4, qh, qw);
        // Quarter-size coordinates times 4; the box sizes have no + 1.
        FillForeground(centreX, centreY, e, 4, 0, 16 * count, histogram, property);
    }
    return 0;
}

int CalculateConstructedImageWidth(int height, int width, unsigned char* image, int* outWidth)
{
    if (IsMissing(image) || IsMissing(outWidth)) return 2;
    const StitchParameterType* p = GetParameter();
    if (!p) return 12;
    *outWidth = 0;
    if (height < 1 || width < 1) return 0;
    int64_t count = 0, sumX = 0;
    for (int r = 0; r < height; ++r) {
        const unsigned char* row = image + static_cast<size_t>(r) * width;
        for (int c = 0; c < width; ++c) {
            if (row[c] == 0) continue;
            sumX += c;
            ++count;
        }
    }
    // An empty image has no mean column: its width is 0.
    if (count == 0) return 0;
    const int mean = static_cast<int>(sumX / count);
    int right = width;
    for (int c = mean; c < width; ++c) {
        if (ColumnCount(image, height, width, c) < p->ProfileThreshold) {
            right = c;
            break;
        }
    }
    int left = 0;
    for (int c = mean - 1; c >= 0; --c) {
        if (ColumnCount(image, height, width, c) < p->ProfileThreshold) {
            left = c;
            break;
        }
    }
    *outWidth = right - left;
    return 0;
}

namespace {

// Inclusive rectangle clipped to the image; false when nothing of it is left.
bool ClipRectangle(Cordinate2DType from, Cordinate2DType to, int height, int width, int& x0,
                   int& y0, int& x1, int& y1)
{
    x0 = std::max(from.x, 0);
    y0 = std::max(from.y, 0);
    x1 = std::min(to.x, width - 1);
    y1 = std::min(to.y, height - 1);
    return x0 <= x1 && y0 <= y1;
}

void RectangleHistogram(const unsigned char* image, int width, int x0, int y0, int x1, int y1,
                        int64_t* histogram)
{
    for (int r = y0; r <= y1; ++r) {
        const unsigned char* row = image + static_cast<size_t>(r) * width;
        for (int c = x0; c <= x1; ++c) ++histogram[row[c]];
    }
}

}  // namespace

int PatchArea(Cordinate2DType a, Cordinate2DType b, Cordinate2DType c, Cordinate2DType d,
              int height, int width, unsigned char* image)
{
    if (IsMissing(image) || height < 1 || width < 1) return 0;
    int ax0, ay0, ax1, ay1, bx0, by0, bx1, by1;
    if (!ClipRectangle(a, b, height, width, ax0, ay0, ax1, ay1)) return 0;
    if (!ClipRectangle(c, d, height, width, bx0, by0, bx1, by1)) return 0;
    int64_t histA[256] = {};
    int64_t histB[256] = {};
    RectangleHistogram(image, width, ax0, ay0, ax1, ay1, histA);
    RectangleHistogram(image, width, bx0, by0, bx1, by1, histB);
    int64_t countA = 0, countB = 0;
    for (int i = 0; i < 256; ++i) {
        countA += histA[i];
        countB += histB[i];
    }
    // Fractions are compared exactly as cross products: cumB / countB < cumA / countA.
    std::vector<unsigned char> table(256, 0);
    int64_t cumA = 0, cumB = 0;
    int next = 0;
    int reached = 0;
    for (int i = 0; i < 256; ++i) {
        cumA += histA[i];
        while (next < 256 && cumB * countA < cumA * countB) {
            cumB += histB[next];
            reached = next;
            ++next;
        }
        table[i] = static_cast<unsigned char>(reached);
    }
    for (int r = ay0; r <= ay1; ++r) {
        unsigned char* row = image + static_cast<size_t>(r) * width;
        for (int col = ax0; col <= ax1; ++col) row[col] = table[row[col]];
    }
    return 0;
}

}  // namespace LiveScanAlg
