// Frame foreground mask, block means and labelling of the frame mosaic.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "MosaicInternal.h"

namespace LiveScanAlg {
namespace mosaic {

int CoverageLimitByte()
{
    return GetParameter()->CoverageLimit & 0xFF;
}

unsigned char FrameMaskThreshold(int frameNumber, const MaskThresholdRule& rule)
{
    StitchParameterType* p = GetParameter();
    const HistogramType& histogram = p->LastHistogram;
    int64_t total = 0;
    double weighted = 0.0;
    for (int level = 1; level < 256; ++level) {
        total += histogram.entry[level].count;
        weighted += static_cast<double>(level) * histogram.entry[level].count;
    }
    // A frame with nothing above level 0 has no mean: take 0 rather than divide by zero.
    const double mean = total > 0 ? rule.MeanScale * weighted / static_cast<double>(total) : 0.0;
    int64_t darker = 0;
    if (mean > 0.0) {
        const int upper = std::min(256, static_cast<int>(std::ceil(mean)));
        for (int level = 0; level < upper; ++level) darker += histogram.entry[level].count;
    }
    double t = static_cast<double>(darker) >= 0.95 * static_cast<double>(total) ? mean - 10.0 : mean;
    t += rule.Offset;
    if (darker == 0) t += 10.0;
    const double threshold = frameNumber >= 1 ? (t + p->LastFrameThreshold) * 0.5 : t - 14.0;
    unsigned char byte = static_cast<unsigned char>(static_cast<int>(threshold) & 0xFF);
    if (byte == 0) byte = 1;
    if (byte > rule.MaxThreshold) byte = static_cast<unsigned char>(rule.MaxThreshold);
    p->LastFrameThreshold = byte;
    return byte;
}

namespace {

// Vertical 32-row running mean of the columns [x0, x1) and rows [y0, y1) of src into dst (same
// stride); rows y0 + 16 .. y1 - 17 are averaged, the others copied.
void VerticalMean(int stride, const unsigned char* src, unsigned char* dst, int x0, int y0, int x1,
                  int y1)
{
    const int columns = x1 - x0;
    if (columns <= 0 || y1 <= y0) return;
    const int firstMean = y0 + 16;
    const int lastMean = y1 - 17;
    for (int r = y0; r < y1; ++r) {
        if (r < firstMean || r > lastMean) {
            std::memcpy(dst + static_cast<size_t>(r) * stride + x0,
                        src + static_cast<size_t>(r) * stride + x0, columns);
        }
    }
    if (firstMean > lastMean) return;
    std::vector<int> sums(columns, 0);
    for (int r = y0; r < y0 + 32; ++r) {
        const unsigned char* row = src + static_cast<size_t>(r) * stride + x0;
        for (int c = 0; c < columns; ++c) sums[c] += row[c];
    }
    for (int r = firstMean; r <= lastMean; ++r) {
        unsigned char* out = dst + static_cast<size_t>(r) * stride + x0;
        for (int c = 0; c < columns; ++c) out[c] = static_cast<unsigned char>(sums[c] >> 5);
        if (r == lastMean) break;
        const unsigned char* add = src + static_cast<size_t>(r + 16) * stride + x0;
        const unsigned char* sub = src + static_cast<size_t>(r - 16) * stride + x0;
        for (int c = 0; c < columns; ++c) sums[c] += add[c] - sub[c];
    }
}

// Horizontal 32-column running mean of one row segment [x0, x1), in place.
void HorizontalMean(unsigned char* row, int x0, int x1, std::vector<unsigned char>& scratch)
{
    const int firstMean = x0 + 16;
    const int lastMean = x1 - 17;
    if (firstMean > lastMean) return;
    scratch.assign(row + x0, row + x1);
    const unsigned char* src = scratch.data() - x0;
    int sum = 0;
    for (int c = x0; c < x0 + 32; ++c) sum += src[c];
    for (int c = firstMean; c <= lastMean; ++c) {
        row[c] = static_cast<unsigned char>(sum >> 5);
        if (c == lastMean) break;
        sum += src[c + 16] - src[c - 16];
    }
}

}  // namespace

int PrepareFrameMask(int frameNumber, int height, int width, const unsigned char* frame,
                     unsigned char* mask)
{
    VerticalMean(width, frame, mask, 0, 0, width, height);
    const unsigned char threshold = FrameMaskThreshold(frameNumber, kFrameMaskRule);
    unsigned char table[256];
    for (int v = 0; v < 256; ++v) table[v] = v < threshold ? 255 : 0;
    const size_t pixels = static_cast<size_t>(height) * width;
    int count = 0;
    for (size_t i = 0; i < pixels; ++i) {
        mask[i] = table[mask[i]];
        count += mask[i] >> 7;
    }
    GetParameter()->LastForegroundCount = count;
    return count;
}

void LabelFrame(int width, const LabelRegion& region, unsigned char* mask,
                const unsigned char* coverage, int border, FrameRecord& record)
{
    const StitchParameterType* p = GetParameter();
    const unsigned char edgeLabel = p->EdgeLabel;
    const unsigned char newLabel = p->NewLabel;
    const unsigned char overlapLabel = p->OverlapLabel;
    const unsigned char saturatedLabel = static_cast<unsigned char>(p->SaturatedLabel);
    const int limit = CoverageLimitByte();
    border = std::max(border, 0);

    const int edgeLeft = std::max(region.EdgeLeft, border);
    const int edgeRight = std::min(region.EdgeRight, width - border);
    for (int r = region.Top; r < region.Bottom; ++r) {
        unsigned char* row = mask + static_cast<size_t>(r) * width;
        for (int c = edgeLeft; c < edgeRight; ++c) {
            if (row[c] == 255 && (row[c + border] == 0 || row[c - border] == 0)) row[c] = edgeLabel;
        }
    }

    int64_t fgX = 0, fgY = 0, ovX = 0, ovY = 0, covX = 0, covY = 0;
    int64_t fgCount = 0, ovCount = 0, satCount = 0, covCount = 0;
    for (int r = region.Top; r < region.Bottom; ++r) {
        unsigned char* row = mask + static_cast<size_t>(r) * width;
        const unsigned char* cov = coverage + static_cast<size_t>(r) * width;
        for (int c = region.Left; c < region.Right; ++c) {
            const int n = cov[c];
            if (n != 0) {
                covX += c;
                covY += r;
                ++covCount;
            }
            if (row[c] != 255) continue;
            fgX += c;
            fgY += r;
            ++fgCount;
            if (n == 0) {
                row[c] = newLabel;
            } else if (n < limit) {
                row[c] = overlapLabel;
                ovX += c;
                ovY += r;
                ++ovCount;
            } else {
                row[c] = saturatedLabel;
                ++satCount;
            }
        }
    }
    // A centroid over no pixels stays at its sums, which are 0.
    record.ForegroundX = static_cast<int32_t>(fgCount ? fgX / fgCount : 0);
    record.ForegroundY = static_cast<int32_t>(fgCount ? fgY / fgCount : 0);
    record.OverlapX = static_cast<int32_t>(ovCount ? ovX / ovCount : 0);
    record.OverlapY = static_cast<int32_t>(ovCount ? ovY / ovCount : 0);
    record.CoveredX = static_cast<int32_t>(covCount ? covX / covCount : 0);
    record.CoveredY = static_cast<int32_t>(covCount ? covY / covCount : 0);
    record.ForegroundCount = static_cast<int32_t>(fgCount);
    record.OverlapCount = static_cast<int32_t>(ovCount);
    record.SaturatedCount = static_cast<int32_t>(satCount);
    record.CoveredCount = static_cast<int32_t>(covCount);
}

}  // namespace mosaic

void GetMeanImageBlock(int height, int width, const unsigned char* image, unsigned char* out,
                       ImageCordinateType* topLeft, ImageCordinateType* bottomRight)
{
    if (!image || !out || !topLeft || !bottomRight || height < 1 || width < 1) return;
    // The rectangle is clipped to the image so that no pixel outside it is read or written.
    const int x0 = std::clamp(topLeft->x, 0, width);
    const int y0 = std::clamp(topLeft->y, 0, height);
    const int x1 = std::clamp(bottomRight->x, 0, width);
    const int y1 = std::clamp(bottomRight->y, 0, height);
    if (x1 <= x0 || y1 <= y0) return;
    mosaic::VerticalMean(width, image, out, x0, y0, x1, y1);
    std::vector<unsigned char> scratch;
    for (int r = y0; r < y1; ++r) {
        mosaic::HorizontalMean(out + static_cast<size_t>(r) * width, x0, x1, scratch);
    }
}

}  // namespace LiveScanAlg
