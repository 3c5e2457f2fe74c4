// Unwrapping of the iris ring into the 64 x 512 polar grid (image and occlusion mask) and the
// occlusion mask built from the eyelid parabolas.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "irisalg/IrisEncode.h"

namespace irisalg {

namespace {

constexpr int32_t kEyelidPresent = 3501;

float Round4(double v) { return float(std::round(v * 10000.0) / 10000.0); }

struct Tables {
    float sn[kGridCols], cs[kGridCols], t[kGridRows];
    Tables() {
        for (int k = 0; k < kGridCols; ++k) {
            const double a = 2.0 * std::numbers::pi * k / kGridCols;
            sn[k] = Round4(-std::sin(a));
            cs[k] = Round4(std::cos(a));
        }
        for (int j = 0; j < kGridRows; ++j) t[j] = Round4(double(j) / (kGridRows - 1));
    }
};
const Tables& T() {
    static const Tables tables;
    return tables;
}

// Integer part and fraction of a coordinate, kept inside 0..n-2 with the far pixel weighted fully
// past the last pixel.
void Split(float v, int n, int& i, float& f) {
    if (v < 0) {
        i = 0, f = 0;
        return;
    }
    i = int(v);
    f = v - float(i);
    if (i >= n - 1) i = n - 2, f = 1;
}

struct Sample {
    int r, q;
    float fr, fc;
};

// Sample position of grid cell (j, k) between an inner and an outer point.
Sample Position(float inRow, float inCol, float outRow, float outCol, int j, int rows, int cols) {
    const float t = T().t[j];
    const float row = (1 - t) * inRow + t * outRow;
    const float col = (1 - t) * inCol + t * outCol;
    Sample s{};
    Split(row, rows, s.r, s.fr);
    Split(col, cols, s.q, s.fc);
    return s;
}

uint8_t Bilinear(const uint8_t* p, int cols, const Sample& s) {
    const auto at = [&](int r, int q) { return float(p[size_t(r) * cols + q]); };
    const float v = (at(s.r, s.q) * (1 - s.fr) + at(s.r + 1, s.q) * s.fr) * (1 - s.fc) +
                    (at(s.r, s.q + 1) * (1 - s.fr) + at(s.r + 1, s.q + 1) * s.fr) * s.fc + 0.5f;
    return v <= 0 ? 0 : v >= 255 ? 255 : uint8_t(v);
}

uint8_t FourNeighbours(const uint8_t* p, int cols, const Sample& s) {
    const auto at = [&](int r, int q) { return int(p[size_t(r) * cols + q]); };
    return at(s.r, s.q) * at(s.r, s.q + 1) * at(s.r + 1, s.q) * at(s.r + 1, s.q + 1) == 1 ? 1 : 0;
}

bool Usable(const void* p, int rows, int cols, const void* grid) { return p && grid && rows >= 2 && cols >= 2; }

template <typename Pick>
int32_t UnwrapCircles(const uint8_t* p, int rows, int cols, const LocationResult& loc, uint8_t* grid, Pick pick) {
    if (!Usable(p, rows, cols, grid)) return kBadArgument;
    std::memset(grid, 0, size_t(kGridRows) * kGridCols);
    const int32_t* w = loc.words;
    const float xi = float(w[kWordPupilX]), yi = float(w[kWordPupilY]), ri = float(w[kWordPupilR]);
    const float xo = float(w[kWordIrisX]), yo = float(w[kWordIrisY]), ro = float(w[kWordIrisR]);
    for (int k = 0; k < kGridCols; ++k) {
        const float sn = T().sn[k], cs = T().cs[k];
        for (int j = 0; j < kGridRows; ++j)
            grid[size_t(j) * kGridCols + k] =
                pick(p, cols, Position(yi + ri * sn, xi + ri * cs, yo + ro * sn, xo + ro * cs, j, rows, cols));
    }
    return 0;
}

}  // namespace

float GridSine(int k) { return T().sn[k & (kGridCols - 1)]; }
float GridCosine(int k) { return T().cs[k & (kGridCols - 1)]; }
float GridRadius(int j) { return T().t[j]; }

int32_t UnwrapCircleImage(const uint8_t* image, int rows, int cols, const LocationResult& loc, uint8_t* grid) {
    return UnwrapCircles(image, rows, cols, loc, grid, Bilinear);
}

int32_t UnwrapCircleMask(const uint8_t* mask, int rows, int cols, const LocationResult& loc, uint8_t* grid) {
    return UnwrapCircles(mask, rows, cols, loc, grid, FourNeighbours);
}

int32_t UnwrapContour(const uint8_t* image, int rows, int cols, const LocationResult& loc, uint8_t* grid) {
    const int32_t* w = loc.words;
    if (!Usable(image, rows, cols, grid) || w[kWordContourCount] != kGridCols) return kBadArgument;
    std::memset(grid, 0, size_t(kGridRows) * kGridCols);
    const float xo = float(w[kWordIrisX]), yo = float(w[kWordIrisY]), ro = float(w[kWordIrisR]);
    for (int k = 0; k < kGridCols; ++k) {
        const float inCol = float(w[kWordContourX + k]), inRow = float(w[kWordContourX + kGridCols + k]);
        const float sn = T().sn[k], cs = T().cs[k];
        for (int j = 0; j < kGridRows; ++j)
            grid[size_t(j) * kGridCols + k] =
                Bilinear(image, cols, Position(inRow, inCol, yo + ro * sn, xo + ro * cs, j, rows, cols));
    }
    return 0;
}

int32_t BuildEyelidMask(uint8_t* mask, int rows, int cols, const LocationResult& loc) {
    if (!mask || rows < 1 || cols < 1) return kBadArgument;
    const int32_t* up = loc.words + kWordUpperLid;
    const int32_t* low = loc.words + kWordLowerLid;
    // A lid without a divisor cannot be drawn and counts as absent.
    const bool hasUp = up[3] >= kEyelidPresent && up[2] != 0;
    const bool hasLow = low[3] >= kEyelidPresent && low[2] != 0;
    std::memset(mask, 0, size_t(rows) * cols);
    for (int x = 0; x < cols; ++x) {
        int64_t top = -1, bottom = rows;
        if (hasUp) top = (int64_t(x) - up[0]) * (int64_t(x) - up[0]) / up[2] + up[1];
        if (hasLow) bottom = (int64_t(x) - low[0]) * (int64_t(x) - low[0]) / low[2] + low[1];
        for (int64_t r = std::max<int64_t>(top + 1, 0); r < std::min<int64_t>(bottom, rows); ++r)
            mask[size_t(r) * cols + x] = 1;
    }
    return 0;
}

}  // namespace irisalg
