#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "irisalg/IrisAlg.h"

namespace irisalg {

namespace {

constexpr int32_t kDefaultEyelidScore = 3500;

// Row limit of an eyelid at column x, kept within -1..height so that it converts safely.
int EyelidLimit(const int32_t* lid, int degree, int x, int height) {
    const double v = std::trunc(PolyvalCore(lid, degree, x));
    if (!(v >= -1)) return -1;
    if (!(v <= height)) return height;
    return int(v);
}

}  // namespace

int32_t BuildOcclusionMasks(const uint8_t* image, int width, int height, const int32_t* options,
                            const IrisLocation* loc, float* value, uint8_t* mask, char* errtext) {
    if (!image || !value || !loc) {
        SetMessage(errtext, "input pointer is null");
        return -11;
    }
    if (width < 1 || height < 1) {
        SetMessage(errtext, "image size error");
        return -1;
    }
    const int32_t T = options && options[9] > 0 ? options[9] : kDefaultEyelidScore;
    const int px = loc->pupilX, py = loc->pupilY, pr = loc->pupilRadius;
    const int ix = loc->irisX, iy = loc->irisY, R = loc->irisRadius;
    const int degree = loc->eyelidDegree;
    IrisRect box{iy - R, iy + R, ix - R, ix + R};
    ClipIrisRect(&box, height, width);
    const int bw = RectWidth(box), bh = RectHeight(box);
    std::vector<uint8_t> boxMask;
    if (mask && bw > 0 && bh > 0) boxMask.assign(size_t(bw) * bh, 0);
    const bool upperUsed = loc->upperEyelid[3] > T, lowerUsed = loc->lowerEyelid[3] > T;
    int64_t usable = 0;
    const int64_t R2 = int64_t(R) * R, r2 = int64_t(pr) * pr;
    for (int x = box.c0; x <= box.c1; ++x) {
        const int upper = upperUsed ? EyelidLimit(loc->upperEyelid, degree, x, height) : -1;
        const int lower = lowerUsed ? EyelidLimit(loc->lowerEyelid, degree, x, height) : height;
        const int64_t dxi = x - ix, dxp = x - px;
        for (int y = std::max(box.r0, upper + 1); y <= std::min(box.r1, lower - 1); ++y) {
            const int64_t dyi = y - iy, dyp = y - py;
            if (dxi * dxi + dyi * dyi > R2 || dxp * dxp + dyp * dyp < r2) continue;
            ++usable;
            if (!boxMask.empty()) boxMask[size_t(y - box.r0) * bw + (x - box.c0)] = 255;
        }
    }
    const double area = 3.1415926 * double(R2 - r2);
    *value = area > 0 ? float(std::min(1.0, double(usable) / area)) : 0.0f;
    if (mask) {
        std::memset(mask, 0, size_t(width) * height);
        for (int y = 0; y < bh && !boxMask.empty(); ++y)
            std::memcpy(mask + size_t(box.r0 + y) * width + box.c0, &boxMask[size_t(y) * bw], size_t(bw));
    }
    return 0;
}

namespace {

// Mean of the samples met walking the histogram from one end (dir +1 from black, -1 from
// white), first skipping `skip` samples in whole bins, then taking bins until more than `take`
// are in; 0 when none are.
int WalkMean(const int32_t hist[256], int dir, int64_t skip, int64_t take) {
    int g = dir > 0 ? 0 : 255;
    int64_t skipped = 0;
    while (g >= 0 && g <= 255 && skipped < skip) skipped += hist[g], g += dir;
    int64_t count = 0, sum = 0;
    for (; g >= 0 && g <= 255; g += dir) {
        count += hist[g];
        sum += int64_t(hist[g]) * g;
        if (count > take) break;
    }
    return count ? int(sum / count) : 0;
}

}  // namespace

int32_t MeasureIrisContrast(const uint8_t* image, int width, int height, const IrisLocation* loc,
                            IrisQualityRecord* record) {
    if (!image || !loc || !record || width < 1 || height < 1) return kBadArgument;
    const int px = loc->pupilX, py = loc->pupilY, r = loc->pupilRadius, R = loc->irisRadius;
    const int q = R / 4;
    int32_t pupil[256] = {}, iris[256] = {}, sclera[256] = {};
    int64_t np = 0, ni = 0, ns = 0;
    if (py >= 0 && py < height) {
        const uint8_t* row = image + size_t(py) * width;
        for (int x = std::max(px - R - q, 1); x <= std::min(px + R + q, width - 1); ++x) {
            const int d = x - px;
            const uint8_t g = row[x];
            if (d < -R || d >= R) ++sclera[g], ++ns;
            else if (d < -r || d >= r) ++iris[g], ++ni;
            else ++pupil[g], ++np;
        }
    }
    const int P = WalkMean(pupil, 1, 0, np / 2);
    const int S = WalkMean(sclera, -1, 0, ns / 2);
    const int I = WalkMean(iris, 1, (ni / 2) / 2, ni / 2);
    // A sclera darker than the iris (or an iris darker than the pupil) has no contrast: 0, not a
    // value wrapped round to nearly 256.
    record->bytes[7] = uint8_t(std::clamp(I - P, 0, 255));
    record->bytes[8] = uint8_t(std::clamp(S - I, 0, 255));
    return 0;
}

}  // namespace irisalg
