#pragma once
// Internal pieces of the frame mosaic, shared by the kernels and reachable by the tests.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "LiveScanAlgInternal.h"
#include "LiveScanAlgMosaic.h"

namespace LiveScanAlg {
namespace mosaic {

// Measures of one labelled frame (25 int32, zeroed at the start of every kernel call). The
// parameter block keeps two of them: the previous call's and the one that started the mosaic.
struct FrameRecord {
    int32_t ForegroundX;  // centroid of the frame foreground left after the edge step
    int32_t ForegroundY;
    int32_t OverlapX;  // centroid of the OverlapLabel pixels
    int32_t OverlapY;
    int32_t CoveredX;  // centroid of the labelled positions whose coverage is non-zero
    int32_t CoveredY;
    int32_t ForegroundCount;
    int32_t OverlapCount;
    int32_t SaturatedCount;
    int32_t CoveredCount;
    int32_t BandLeft;  // block kernel only
    int32_t BandTop;
    int32_t BandRight;
    int32_t BandBottom;
    int32_t Unused[11];
};
static_assert(sizeof(FrameRecord) == 25 * sizeof(int32_t));

// Region of a frame that labelling works on: rows [Top, Bottom) and columns [Left, Right) are
// labelled; the edge test runs on the columns [EdgeLeft, EdgeRight) of those rows.
struct LabelRegion {
    int Left;
    int Top;
    int Right;
    int Bottom;
    int EdgeLeft;
    int EdgeRight;
};

// Thresholding flavour of the frame mask.
struct MaskThresholdRule {
    double MeanScale;    // factor on the histogram mean (0.97, or 1.0 in the block kernel)
    int Offset;          // added after the dark-frame rule (12, or 2)
    int MaxThreshold;    // upper clamp of the byte (240, or 254)
};
constexpr MaskThresholdRule kFrameMaskRule{0.97, 12, 240};
constexpr MaskThresholdRule kBlockMaskRule{1.0, 2, 254};

// Foreground threshold of frame number n from the histogram left by the finger test; stores it as
// the previous threshold.
unsigned char FrameMaskThreshold(int frameNumber, const MaskThresholdRule& rule);

// Frame mask (255 foreground, 0 background) of a height x width frame into mask: 32-row vertical
// running mean, then the threshold. Returns the foreground count, also kept as LastForegroundCount.
int PrepareFrameMask(int frameNumber, int height, int width, const unsigned char* frame,
                     unsigned char* mask);

// Labels the 255 pixels of mask inside region against coverage (label values from the parameter
// block) and fills record. First a 255 pixel of the edge columns whose neighbour `border` columns
// to the left or right is 0 becomes EdgeLabel; the edge columns are clipped so that both
// neighbours lie inside the frame.
void LabelFrame(int width, const LabelRegion& region, unsigned char* mask,
                const unsigned char* coverage, int border, FrameRecord& record);

// Least-squares polynomial y = (a x + b) x + c through the points; fewer than three distinct
// points give a line or a constant; none gives zeros.
struct SeamPolynomial {
    double a;
    double b;
    double c;
};
SeamPolynomial FitSeamPolynomial(const double* x, const double* y, int count);

// Slide test: Pearson correlation of frame against mosaic over the mask pixels labelled
// OverlapLabel or SaturatedLabel. The mask is maskHeight x maskWidth; each of its pixels stands for
// the scale x scale block of the full-size images (row stride fullWidth) at its position. True
// (a slide) when SlidingPercentageThreshold is above the correlation; with 550 full-size pixels
// or fewer, or no variance, only when the threshold is above 1.0. Frame number 0 never slides.
bool DetectSlide(int frameNumber, int maskHeight, int maskWidth, const unsigned char* mask,
                 int scale, int fullWidth, const unsigned char* frame,
                 const unsigned char* mosaic);

// Stitch-state records of the parameter block.
FrameRecord LoadPreviousRecord();
void StorePreviousRecord(const FrameRecord& record);
FrameRecord LoadFirstRecord();
void StoreFirstRecord(const FrameRecord& record);

// Starts a mosaic from the labels of the current frame mask: clears the coverage (maskHeight x
// maskWidth bytes), labels the mask inside region, counts NewLabel in the coverage, stores the
// labelling as the first-frame record (coordinates times scale, counts times scale squared) and
// resets the movement sums and the mix flag. The caller copies the frame into the mosaic.
void StartMosaic(int maskHeight, int maskWidth, const LabelRegion& region, unsigned char* mask,
                 unsigned char* coverage, int border, int scale);

// Every non-zero mask pixel becomes 255 again, ready for a new labelling.
void ResetMaskLabels(size_t pixels, unsigned char* mask);

// Movement step: adds dx to the leftward or rightward sum from frame 2 on. Continue when the
// roll goes on, Reversed (code 27) when both sums passed the low limit and one reached the high
// limit, Restart when both passed the low limit only.
enum class Movement { Continue, Reversed, Restart };
Movement UpdateMovement(int frameNumber, int dx, int dy, float lowLimit, float highLimit);

// Opening step of every kernel call: 11 for a missing frame-number pointer, 12 without a
// parameter block, else 0 with a frame number outside 0 .. MaxFrameNumber - 1 set to 0.
int BeginFrame(int* frameNumber);

// Blend of the labelled rows [top, bottom) and columns [left, right): NewLabel copies the frame
// and counts the pixel; OverlapLabel counts it and, in a row with a seam s > 0, takes the frame
// where d < -ramp, the linear mix (frame x (ramp - d) + mosaic x (ramp + d)) / (2 ramp) where
// -ramp <= d < ramp and keeps the mosaic beyond; d = column - s, or s - column when flip is set.
void BlendAlongSeams(int width, int top, int bottom, int left, int right, const std::vector<int>& seam,
                     int ramp, bool flip, const unsigned char* frame, const unsigned char* mask,
                     unsigned char* mosaic, unsigned char* coverage);

// Closing step of every kernel call: stores the record as the previous one, rounds the last mean
// and advances the frame number. Returns result.
int FinishFrame(int* frameNumber, const FrameRecord& record, int result);

// Argument checks shared by the kernels: 3 for a missing frame or width below 1, 4 for a height
// below 1, 11 for a missing mask, mosaic or coverage buffer.
int CheckKernelArguments(int height, int width, const unsigned char* frame,
                         const unsigned char* mask, const unsigned char* mosaic,
                         const unsigned char* coverage);

// Seam column of each row of [top, bottom) from the OverlapLabel pixels of the columns
// [left, right); 0 means no seam. With minimumCount, rows with fewer than 11 overlap pixels get
// none; without it one pixel suffices. Under the
// mean rule a row takes its mean overlap column and the seams of all rows are then replaced by the
// quadratic fitted over the rows that have one (x = row - height / 2); otherwise the row takes its
// leftmost or rightmost overlap column.
std::vector<int> FindSeams(int height, int width, const unsigned char* mask, int top, int bottom,
                           int left, int right, bool meanRule, bool leftmost, bool minimumCount);

// Result of CheckFrameContinuity when the frame goes on to the blend.
constexpr int kBlendFrame = -1;

// First frame of a sequence: with enough foreground, start() starts the mosaic; otherwise the
// frame number is set to -1 so that the next call starts again at 0. The result is 0 either way.
template <typename Start>
int FirstFrame(bool enoughForeground, int* frameNumberOut, Start start)
{
    if (enoughForeground) {
        start();
    } else {
        *frameNumberOut = -1;
    }
    return 0;
}

// The checks between labelling and blending, shared by the kernels:
// - too little overlap: 39 when the frame-mask count is below liftedCut (the finger is taken as
//   lifted), else 25 (rolled too fast);
// - movement: 27 when the roll reversed after a long roll; a reversal after a short roll restarts
//   the mosaic from this frame (the mask's labels reset, then start()) with result 0;
// - from frame 2 on, with the slide test enabled, 28 when slid() reports a slide.
// kBlendFrame when the frame is to be blended.
template <typename Start, typename Slid>
int CheckFrameContinuity(int frameNumber, const FrameRecord& record, int foreground,
                         int minOverlap, int liftedCut, float lowLimit, float highLimit,
                         size_t maskPixels, unsigned char* mask, Start start, Slid slid)
{
    if (record.OverlapCount + record.SaturatedCount < minOverlap) {
        return foreground < liftedCut ? 39 : 25;
    }
    const FrameRecord previous = LoadPreviousRecord();
    switch (UpdateMovement(frameNumber, record.ForegroundX - previous.ForegroundX,
                           record.ForegroundY - previous.ForegroundY, lowLimit, highLimit)) {
    case Movement::Reversed:
        return 27;
    case Movement::Restart:
        ResetMaskLabels(maskPixels, mask);
        start();
        return 0;
    case Movement::Continue:
        break;
    }
    if (frameNumber > 1 && GetParameter()->SlideDetectionStatus == 1 && slid()) return 28;
    return kBlendFrame;
}

// Low byte of CoverageLimit: coverage at or above it is saturated.
int CoverageLimitByte();

}  // namespace mosaic
}  // namespace LiveScanAlg
