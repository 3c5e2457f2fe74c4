// Frame mosaic kernels for previews: the full-size preview kernel and the quarter-size quick kernel.
// Neither draws a seam: they copy whole frames until the finger has moved away from where the
// mosaic started, then mix each new frame into the mosaic.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "MosaicInternal.h"

namespace LiveScanAlg {
namespace mosaic {
namespace {

constexpr int kPreviewBorder = 15;
// Frame-mask count (full size / 16) below which too little overlap means a lifted finger.
constexpr int kScaledLiftedCut = 3437;
constexpr int kSlideDifference = 56;
constexpr int kSlideGrowth = 4;

// True once the frame's centroid has moved far enough from the first frame's to start mixing.
bool MovedFromFirst(const FrameRecord& record)
{
    const FrameRecord first = LoadFirstRecord();
    return std::abs(record.ForegroundX - first.ForegroundX) +
               (std::abs(record.ForegroundY - first.ForegroundY) >> 4) >=
           10;
}

// Turns the labels into the slide map: overlap or saturated pixels whose frame and mosaic differ
// by more than 56 are marked, the marks grown by 4 rows and columns; marked 1, others 0.
void BuildSlideMap(int height, int width, const unsigned char* frame, const unsigned char* mosaic,
                   unsigned char* mask)
{
    const StitchParameterType* p = GetParameter();
    const unsigned char overlapLabel = p->OverlapLabel;
    const unsigned char saturatedLabel = static_cast<unsigned char>(p->SaturatedLabel);
    const size_t pixels = static_cast<size_t>(height) * width;
    std::vector<unsigned char> marks(pixels, 0);
    for (size_t i = 0; i < pixels; ++i) {
        if ((mask[i] == overlapLabel || mask[i] == saturatedLabel) &&
            std::abs(frame[i] - mosaic[i]) > kSlideDifference) {
            marks[i] = 1;
        }
    }
    // Square growth, done as a row pass then a column pass.
    std::vector<unsigned char> rows(pixels, 0);
    for (int r = 0; r < height; ++r) {
        const size_t base = static_cast<size_t>(r) * width;
        for (int c = 0; c < width; ++c) {
            if (!marks[base + c]) continue;
            const int c0 = std::max(0, c - kSlideGrowth);
            const int c1 = std::min(width - 1, c + kSlideGrowth);
            std::memset(&rows[base + c0], 1, c1 - c0 + 1);
        }
    }
    std::memset(mask, 0, pixels);
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            if (!rows[static_cast<size_t>(r) * width + c]) continue;
            const int r0 = std::max(0, r - kSlideGrowth);
            const int r1 = std::min(height - 1, r + kSlideGrowth);
            for (int y = r0; y <= r1; ++y) mask[static_cast<size_t>(y) * width + c] = 1;
        }
    }
}

int PreviewFrame(int frameNumber, int* frameNumberOut, int height, int width,
                 const unsigned char* frame, unsigned char* mask, unsigned char* mosaic,
                 unsigned char* coverage, const RectangleBlockInfoType& blockInfo,
                 FrameRecord& record)
{
    StitchParameterType* p = GetParameter();
    const int foreground = PrepareFrameMask(frameNumber, height, width, frame, mask);
    const LabelRegion whole{0, 0, width, height, kPreviewBorder, width - kPreviewBorder};
    const size_t pixels = static_cast<size_t>(height) * width;

    auto start = [&] {
        StartMosaic(height, width, whole, mask, coverage, kPreviewBorder, 1);
        std::memcpy(mosaic, frame, pixels);
    };
    if (frameNumber == 0) {
        return FirstFrame(foreground >= p->MinFirstFrameCount / 16, frameNumberOut, start);
    }

    LabelFrame(width, whole, mask, coverage, kPreviewBorder, record);
    const int checked = CheckFrameContinuity(
        frameNumber, record, foreground, p->MinOverlapCount / 16, kScaledLiftedCut, 30.0f, 200.0f,
        pixels, mask, start, [&] {
            if (!DetectSlide(frameNumber, height, width, mask, 1, width, frame, mosaic)) return false;
            BuildSlideMap(height, width, frame, mosaic, mask);
            return true;
        });
    if (checked != kBlendFrame) return checked;

    const unsigned char newLabel = p->NewLabel;
    const unsigned char overlapLabel = p->OverlapLabel;
    if (!p->MixFlag) {
        std::memcpy(mosaic, frame, pixels);
        // The block record's count is the number of coverage bytes to clear, kept inside the frame.
        const size_t clear = std::min(pixels, static_cast<size_t>(std::max(blockInfo.BlockCount, 0)));
        std::memset(coverage, 0, clear);
        // The mosaic now holds this frame, so its overlap counts as covered as well as its new area.
        for (size_t i = 0; i < pixels; ++i) coverage[i] += mask[i] == newLabel || mask[i] == overlapLabel;
        if (MovedFromFirst(record)) p->MixFlag = 1;
        return 0;
    }
    for (size_t i = 0; i < pixels; ++i) {
        if (mask[i] == newLabel) {
            mosaic[i] = frame[i];
            ++coverage[i];
        } else if (mask[i] == overlapLabel) {
            // Keeps the darker ridges of both: 255 minus the root mean square of the darknesses.
            const int m = 255 - mosaic[i];
            const int f = 255 - frame[i];
            const int rms = static_cast<int>(std::sqrt(static_cast<double>((m * m + f * f) >> 1)));
            mosaic[i] = static_cast<unsigned char>(255 - rms);
            ++coverage[i];
        }
    }
    return 0;
}

// Scales a quarter-size labelling to full-size units.
void ScaleRecord(FrameRecord& record)
{
    record.ForegroundX *= 4;
    record.ForegroundY *= 4;
    record.OverlapX *= 4;
    record.OverlapY *= 4;
    record.CoveredX *= 4;
    record.CoveredY *= 4;
    record.ForegroundCount *= 16;
    record.OverlapCount *= 16;
    record.SaturatedCount *= 16;
    record.CoveredCount *= 16;
}

int QuickFrame(int frameNumber, int* frameNumberOut, int height, int width,
               const unsigned char* frame, unsigned char* mask, unsigned char* mosaic,
               unsigned char* coverage, FrameRecord& record)
{
    StitchParameterType* p = GetParameter();
    const int qh = height / 4;
    const int qw = width / 4;
    std::vector<unsigned char> quarter(static_cast<size_t>(qh) * qw);
    unsigned char* quarterPtr = quarter.data();
    if (ScaleImage(width, height, const_cast<unsigned char*>(frame), qw, qh, &quarterPtr) != 0) {
        return 12;
    }
    const int foreground = PrepareFrameMask(frameNumber, qh, qw, quarter.data(), mask);
    const LabelRegion whole{0, 0, qw, qh, kPreviewBorder, qw - kPreviewBorder};
    const size_t quarterPixels = static_cast<size_t>(qh) * qw;
    const size_t pixels = static_cast<size_t>(height) * width;

    auto start = [&] {
        StartMosaic(qh, qw, whole, mask, coverage, kPreviewBorder, 4);
        std::memcpy(mosaic, frame, pixels);
    };
    if (frameNumber == 0) {
        return FirstFrame(foreground >= p->MinFirstFrameCount / 16, frameNumberOut, start);
    }

    LabelFrame(qw, whole, mask, coverage, kPreviewBorder, record);
    ScaleRecord(record);
    // The quarter-size count is compared with the quarter-size cut.
    const int checked = CheckFrameContinuity(
        frameNumber, record, foreground, p->MinOverlapCount, kScaledLiftedCut, 30.0f, 200.0f,
        quarterPixels, mask, start,
        [&] { return DetectSlide(frameNumber, qh, qw, mask, 4, width, frame, mosaic); });
    if (checked != kBlendFrame) return checked;

    const unsigned char newLabel = p->NewLabel;
    const unsigned char overlapLabel = p->OverlapLabel;
    if (!p->MixFlag) {
        std::memcpy(mosaic, frame, pixels);
        std::memset(coverage, 0, quarterPixels);
        // The mosaic now holds this frame, so its overlap counts as covered as well as its new area.
        for (size_t i = 0; i < quarterPixels; ++i) {
            coverage[i] += mask[i] == newLabel || mask[i] == overlapLabel;
        }
        if (MovedFromFirst(record)) p->MixFlag = 1;
        return 0;
    }
    for (int qr = 0; qr < qh; ++qr) {
        for (int qc = 0; qc < qw; ++qc) {
            const size_t q = static_cast<size_t>(qr) * qw + qc;
            const unsigned char label = mask[q];
            if (label != newLabel && label != overlapLabel) continue;
            ++coverage[q];
            for (int y = qr * 4; y < qr * 4 + 4; ++y) {
                const size_t base = static_cast<size_t>(y) * width;
                for (int x = qc * 4; x < qc * 4 + 4; ++x) {
                    if (label == newLabel) {
                        mosaic[base + x] = frame[base + x];
                    } else {
                        // Leans toward the lighter value: the darker one plus 954/1024 of the gap.
                        const int m = mosaic[base + x];
                        const int f = frame[base + x];
                        const int v = std::min(m, f) + ((std::abs(m - f) * 954) >> 10);
                        mosaic[base + x] = static_cast<unsigned char>(std::min(255, v));
                    }
                }
            }
        }
    }
    return 0;
}

}  // namespace
}  // namespace mosaic

int PreviewConstructImage(int* frameNumber, int height, int width, unsigned char* frame,
                          unsigned char* mask, unsigned char* mosaic, unsigned char* coverage,
                          RectangleBlockInfoType* blockInfo)
{
    using namespace mosaic;
    if (IsMissing(frameNumber)) return 11;
    if (height < 1) return 3;
    if (width < 1) return 4;
    if (IsMissing(frame)) return 5;
    if (IsMissing(mask)) return 6;
    if (IsMissing(mosaic)) return 7;
    if (IsMissing(coverage)) return 8;
    if (IsMissing(blockInfo)) return 11;
    if (blockInfo->ImageHeight != height) return 9;
    if (const int refused = BeginFrame(frameNumber)) return refused;
    FrameRecord record{};
    const int result = PreviewFrame(*frameNumber, frameNumber, height, width, frame, mask, mosaic,
                                    coverage, *blockInfo, record);
    return FinishFrame(frameNumber, record, result);
}

int MorwenConstructImageQuick(int* frameNumber, int height, int width, unsigned char* frame,
                              unsigned char* mask, unsigned char* mosaic, unsigned char* coverage)
{
    using namespace mosaic;
    if (const int refused = BeginFrame(frameNumber)) return refused;
    FrameRecord record{};
    int result = CheckKernelArguments(height, width, frame, mask, mosaic, coverage);
    // The quarter-size image needs at least 2 x 2 pixels.
    if (result == 0 && width < 8) result = 3;
    if (result == 0 && height < 8) result = 4;
    if (result == 0) {
        result = QuickFrame(*frameNumber, frameNumber, height, width, frame, mask, mosaic, coverage,
                            record);
    }
    return FinishFrame(frameNumber, record, result);
}

}  // namespace LiveScanAlg
