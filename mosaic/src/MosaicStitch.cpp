// Full-resolution frame mosaic kernel and the state it shares with the other kernels.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "MosaicInternal.h"

namespace LiveScanAlg {
namespace mosaic {

namespace {

// Frame-mask count below which too little overlap means a lifted finger rather than a fast roll.
constexpr int kLiftedCut = 54997;
// Half width of the blend ramp across the seam.
constexpr int kRamp = 10;

}  // namespace

FrameRecord LoadPreviousRecord()
{
    FrameRecord record;
    static_assert(sizeof(GetParameter()->PreviousFrameRecord) == sizeof(FrameRecord));
    std::memcpy(&record, GetParameter()->PreviousFrameRecord, sizeof record);
    return record;
}

void StorePreviousRecord(const FrameRecord& record)
{
    std::memcpy(GetParameter()->PreviousFrameRecord, &record, sizeof record);
}

FrameRecord LoadFirstRecord()
{
    FrameRecord record;
    static_assert(sizeof(GetParameter()->FirstFrameRecord) == sizeof(FrameRecord));
    std::memcpy(&record, GetParameter()->FirstFrameRecord, sizeof record);
    return record;
}

void StoreFirstRecord(const FrameRecord& record)
{
    std::memcpy(GetParameter()->FirstFrameRecord, &record, sizeof record);
}

void ResetMaskLabels(size_t pixels, unsigned char* mask)
{
    for (size_t i = 0; i < pixels; ++i) mask[i] = mask[i] ? 255 : 0;
}

void StartMosaic(int maskHeight, int maskWidth, const LabelRegion& region, unsigned char* mask,
                 unsigned char* coverage, int border, int scale)
{
    StitchParameterType* p = GetParameter();
    const size_t pixels = static_cast<size_t>(maskHeight) * maskWidth;
    std::memset(coverage, 0, pixels);
    FrameRecord first{};
    LabelFrame(maskWidth, region, mask, coverage, border, first);
    const unsigned char newLabel = p->NewLabel;
    for (size_t i = 0; i < pixels; ++i) coverage[i] += mask[i] == newLabel;
    if (scale != 1) {
        first.ForegroundX *= scale;
        first.ForegroundY *= scale;
        first.OverlapX *= scale;
        first.OverlapY *= scale;
        first.CoveredX *= scale;
        first.CoveredY *= scale;
        first.ForegroundCount *= scale * scale;
        first.OverlapCount *= scale * scale;
        first.SaturatedCount *= scale * scale;
        first.CoveredCount *= scale * scale;
    }
    first.BandLeft = region.Left;
    first.BandTop = region.Top;
    first.BandRight = region.Right;
    first.BandBottom = region.Bottom;
    StoreFirstRecord(first);
    p->LeftMoveSum = 0.0f;
    p->RightMoveSum = 0.0f;
    p->MixFlag = 0;
}

Movement UpdateMovement(int frameNumber, int dx, int dy, float lowLimit, float highLimit)
{
    StitchParameterType* p = GetParameter();
    p->LastMovement[0] = dx;
    p->LastMovement[1] = dy;
    if (frameNumber > 1) {
        if (dx < 0) {
            p->LeftMoveSum += static_cast<float>(-dx);
        } else {
            p->RightMoveSum += static_cast<float>(dx);
        }
    }
    if (p->LeftMoveSum > lowLimit && p->RightMoveSum > lowLimit) {
        if (p->LeftMoveSum >= highLimit || p->RightMoveSum >= highLimit) return Movement::Reversed;
        return Movement::Restart;
    }
    return Movement::Continue;
}

int FinishFrame(int* frameNumber, const FrameRecord& record, int result)
{
    StitchParameterType* p = GetParameter();
    StorePreviousRecord(record);
    p->LastMeanRounded = static_cast<int>(p->LastMean + 0.5f);
    ++*frameNumber;
    return result;
}

bool DetectSlide(int frameNumber, int maskHeight, int maskWidth, const unsigned char* mask,
                 int scale, int fullWidth, const unsigned char* frame, const unsigned char* mosaic)
{
    if (frameNumber == 0) return false;
    const StitchParameterType* p = GetParameter();
    const unsigned char overlapLabel = p->OverlapLabel;
    const unsigned char saturatedLabel = static_cast<unsigned char>(p->SaturatedLabel);
    double n = 0, sf = 0, sm = 0, sff = 0, smm = 0, sfm = 0;
    for (int r = 0; r < maskHeight; ++r) {
        const unsigned char* row = mask + static_cast<size_t>(r) * maskWidth;
        for (int c = 0; c < maskWidth; ++c) {
            if (row[c] != overlapLabel && row[c] != saturatedLabel) continue;
            for (int y = r * scale; y < (r + 1) * scale; ++y) {
                const size_t base = static_cast<size_t>(y) * fullWidth;
                for (int x = c * scale; x < (c + 1) * scale; ++x) {
                    const double f = frame[base + x];
                    const double m = mosaic[base + x];
                    n += 1;
                    sf += f;
                    sm += m;
                    sff += f * f;
                    smm += m * m;
                    sfm += f * m;
                }
            }
        }
    }
    const double threshold = p->SlidingPercentageThreshold;
    if (n > 550) {
        const double cff = sff - sf * sf / n;
        const double cmm = smm - sm * sm / n;
        if (cff * cmm > 0) {
            const double r = (sfm - sf * sm / n) / std::sqrt(cff * cmm);
            return threshold > r;
        }
    }
    return threshold > 1.0;
}

namespace {

// Solves the 3 x 3 system m v = t by elimination with partial pivoting; false when singular.
bool Solve3(double m[3][3], double t[3], double v[3])
{
    for (int col = 0; col < 3; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 3; ++r) {
            if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
        }
        if (std::fabs(m[pivot][col]) < 1e-12) return false;
        std::swap(m[col], m[pivot]);
        std::swap(t[col], t[pivot]);
        for (int r = col + 1; r < 3; ++r) {
            const double f = m[r][col] / m[col][col];
            for (int k = col; k < 3; ++k) m[r][k] -= f * m[col][k];
            t[r] -= f * t[col];
        }
    }
    for (int r = 2; r >= 0; --r) {
        double sum = t[r];
        for (int k = r + 1; k < 3; ++k) sum -= m[r][k] * v[k];
        v[r] = sum / m[r][r];
    }
    return true;
}

}  // namespace

SeamPolynomial FitSeamPolynomial(const double* x, const double* y, int count)
{
    if (count <= 0) return {0.0, 0.0, 0.0};
    // Work in u = (x - mean) / spread so that the normal equations stay well conditioned.
    double meanX = 0, meanY = 0;
    for (int i = 0; i < count; ++i) {
        meanX += x[i];
        meanY += y[i];
    }
    meanX /= count;
    meanY /= count;
    double spread = 0;
    for (int i = 0; i < count; ++i) spread = std::max(spread, std::fabs(x[i] - meanX));
    if (spread == 0) return {0.0, 0.0, meanY};  // one point, or all at one x: a constant

    double s[5] = {0, 0, 0, 0, 0};
    double t[3] = {0, 0, 0};
    for (int i = 0; i < count; ++i) {
        const double u = (x[i] - meanX) / spread;
        double power = 1;
        for (int k = 0; k < 5; ++k) {
            s[k] += power;
            if (k < 3) t[k] += power * y[i];
            power *= u;
        }
    }
    double cu = meanY, bu = 0, au = 0;
    double m[3][3] = {{s[0], s[1], s[2]}, {s[1], s[2], s[3]}, {s[2], s[3], s[4]}};
    double v[3] = {0, 0, 0};
    if (count >= 3 && Solve3(m, t, v)) {
        cu = v[0];
        bu = v[1];
        au = v[2];
    } else {
        // Two distinct x: the straight line through them (least squares).
        const double det = s[0] * s[2] - s[1] * s[1];
        if (std::fabs(det) > 1e-12) {
            cu = (t[0] * s[2] - s[1] * t[1]) / det;
            bu = (s[0] * t[1] - s[1] * t[0]) / det;
        }
    }
    // Back to x: with u = (x - mx) / k, au u^2 + bu u + cu = a x^2 + b x + c.
    const double k = spread;
    SeamPolynomial fit;
    fit.a = au / (k * k);
    fit.b = bu / k - 2 * au * meanX / (k * k);
    fit.c = au * meanX * meanX / (k * k) - bu * meanX / k + cu;
    return fit;
}

std::vector<int> FindSeams(int height, int width, const unsigned char* mask, int top, int bottom,
                           int left, int right, bool meanRule, bool leftmost, bool minimumCount)
{
    // Overlap pixels a row needs for a seam when the minimum applies.
    constexpr int kMinSeamPixels = 11;
    const int minPixels = minimumCount ? kMinSeamPixels : 1;
    const unsigned char overlapLabel = GetParameter()->OverlapLabel;
    std::vector<int> seam(height, 0);
    for (int r = top; r < bottom; ++r) {
        const unsigned char* row = mask + static_cast<size_t>(r) * width;
        int count = 0, first = -1, last = -1;
        int64_t sum = 0;
        for (int c = left; c < right; ++c) {
            if (row[c] != overlapLabel) continue;
            if (first < 0) first = c;
            last = c;
            sum += c;
            ++count;
        }
        if (count == 0 || count < minPixels) continue;
        seam[r] = meanRule ? static_cast<int>(sum / count) : (leftmost ? first : last);
    }
    if (!meanRule) return seam;
    std::vector<double> xs, ys;
    xs.reserve(height);
    ys.reserve(height);
    for (int r = 0; r < height; ++r) {
        if (seam[r] > 0) {
            xs.push_back(r - height / 2);
            ys.push_back(seam[r]);
        }
    }
    const SeamPolynomial fit = FitSeamPolynomial(xs.data(), ys.data(), static_cast<int>(xs.size()));
    for (int r = 0; r < height; ++r) {
        const double x = r - height / 2;
        const double value = (fit.a * x + fit.b) * x + fit.c;
        // Kept within a range where truncation to int is defined; the blend only compares it.
        seam[r] = static_cast<int>(std::clamp(value, -1.0e6, 1.0e6));
    }
    return seam;
}

void BlendAlongSeams(int width, int top, int bottom, int left, int right, const std::vector<int>& seam,
                     int ramp, bool flip, const unsigned char* frame, const unsigned char* mask,
                     unsigned char* mosaic, unsigned char* coverage)
{
    const StitchParameterType* p = GetParameter();
    const unsigned char newLabel = p->NewLabel;
    const unsigned char overlapLabel = p->OverlapLabel;
    for (int r = top; r < bottom; ++r) {
        const size_t base = static_cast<size_t>(r) * width;
        const int s = seam[r];
        for (int c = left; c < right; ++c) {
            const unsigned char label = mask[base + c];
            if (label == newLabel) {
                mosaic[base + c] = frame[base + c];
                ++coverage[base + c];
            } else if (label == overlapLabel) {
                ++coverage[base + c];
                if (s <= 0) continue;
                const int d = flip ? s - c : c - s;
                if (d < -ramp) {
                    mosaic[base + c] = frame[base + c];
                } else if (d < ramp) {
                    mosaic[base + c] = static_cast<unsigned char>(
                        (frame[base + c] * (ramp - d) + mosaic[base + c] * (d + ramp)) / (2 * ramp));
                }
            }
        }
    }
}

int BeginFrame(int* frameNumber)
{
    if (IsMissing(frameNumber)) return 11;
    const StitchParameterType* p = GetParameter();
    if (!p) return 12;
    if (*frameNumber < 0 || *frameNumber >= p->MaxFrameNumber) *frameNumber = 0;
    return 0;
}

int CheckKernelArguments(int height, int width, const unsigned char* frame, const unsigned char* mask,
                         const unsigned char* mosaic, const unsigned char* coverage)
{
    if (IsMissing(frame) || width < 1) return 3;
    if (height < 1) return 4;
    if (IsMissing(mask) || IsMissing(mosaic) || IsMissing(coverage)) return 11;
    return 0;
}

namespace {

// Steps 2 to 9 of the full-resolution kernel; the record receives the frame's labelling.
int StitchFrame(int frameNumber, int* frameNumberOut, int height, int width,
                const unsigned char* frame, unsigned char* mask, unsigned char* mosaic,
                unsigned char* coverage, FrameRecord& record)
{
    StitchParameterType* p = GetParameter();
    const int foreground = PrepareFrameMask(frameNumber, height, width, frame, mask);
    const int border = p->BackGroundBoarderthickness;
    const LabelRegion whole{0, 0, width, height, border, width - border};
    const size_t pixels = static_cast<size_t>(height) * width;

    auto start = [&] {
        StartMosaic(height, width, whole, mask, coverage, border, 1);
        std::memcpy(mosaic, frame, pixels);
    };
    if (frameNumber == 0) {
        return FirstFrame(foreground >= p->MinFirstFrameCount, frameNumberOut, start);
    }

    LabelFrame(width, whole, mask, coverage, border, record);
    const int checked = CheckFrameContinuity(
        frameNumber, record, foreground, p->MinOverlapCount, kLiftedCut, 30.0f, 200.0f, pixels, mask,
        start, [&] { return DetectSlide(frameNumber, height, width, mask, 1, width, frame, mosaic); });
    if (checked != kBlendFrame) return checked;

    // Negative when the new area grows to the right.
    const int direction = record.CoveredX - record.OverlapX;
    const bool meanRule = frameNumber >= p->RollBeginBuffSize || std::abs(direction) >= 20;
    const std::vector<int> seam = FindSeams(height, width, mask, 0, height, 0, width, meanRule,
                                            direction < 0, true);

    BlendAlongSeams(width, 0, height, 0, width, seam, kRamp, direction < 0, frame, mask, mosaic,
                    coverage);
    return 0;
}

}  // namespace
}  // namespace mosaic

int StitchKernal(int* frameNumber, int height, int width, unsigned char* frame, unsigned char* mask,
                 unsigned char* mosaic, unsigned char* coverage)
{
    using namespace mosaic;
    if (const int refused = BeginFrame(frameNumber)) return refused;
    FrameRecord record{};
    int result = CheckKernelArguments(height, width, frame, mask, mosaic, coverage);
    if (result == 0) {
        result = StitchFrame(*frameNumber, frameNumber, height, width, frame, mask, mosaic,
                             coverage, record);
    }
    return FinishFrame(frameNumber, record, result);
}

int MorwenConstructImage(int* frameNumber, int height, int width, unsigned char* frame,
                         unsigned char* mask, unsigned char* mosaic, unsigned char* coverage,
                         RectangleBlockInfoType* /*blockInfo*/)
{
    return StitchKernal(frameNumber, height, width, frame, mask, mosaic, coverage);
}

int MorwenConstructImage2(int* frameNumber, int height, int width, unsigned char* frame,
                          unsigned char* mask, unsigned char* mosaic, unsigned char* coverage,
                          unsigned char* bestFrame)
{
    using namespace mosaic;
    if (IsMissing(bestFrame)) return 11;
    const int result = StitchKernal(frameNumber, height, width, frame, mask, mosaic, coverage);
    if (result != 0) return result;
    StitchParameterType* p = GetParameter();
    FrameRecord previous = LoadPreviousRecord();
    if (p->LastForegroundCount > previous.ForegroundCount) {
        previous.ForegroundCount = p->LastForegroundCount;
        StorePreviousRecord(previous);
        std::memcpy(bestFrame, frame, static_cast<size_t>(height) * width);
    }
    return 0;
}

}  // namespace LiveScanAlg
