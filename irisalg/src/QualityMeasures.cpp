#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "irisalg/IrisAlg.h"

namespace irisalg {

namespace {

constexpr int kStep = 4;
constexpr int kMaxMagnitude = 2040;

// |gx| + |gy| of the 3 x 3 Sobel responses centred on (x, y); the caller keeps it inside.
int Magnitude(const uint8_t* img, int cols, int x, int y) {
    const uint8_t* a = img + size_t(y - 1) * cols + x;
    const uint8_t* b = a + cols;
    const uint8_t* c = b + cols;
    const int gx = (a[1] + 2 * b[1] + c[1]) - (a[-1] + 2 * b[-1] + c[-1]);
    const int gy = (c[-1] + 2 * c[0] + c[1]) - (a[-1] + 2 * a[0] + a[1]);
    return std::abs(gx) + std::abs(gy);
}

// The sample grid of the whole-image measures: rows and columns 4, 8, ..., 4 (N / 4 - 2).
struct Grid {
    int rows, cols;  // points per column and per row
};

bool MakeGrid(int rows, int cols, Grid& g, char* errtext) {
    g.rows = rows / kStep - 2;
    g.cols = cols / kStep - 2;
    if (g.rows < 1 || g.cols < 1) {
        SetMessage(errtext, "Too Small Image!");
        return false;
    }
    return true;
}

double MeanGradient(const uint8_t* img, int cols, const Grid& g, const uint8_t* excluded) {
    int64_t sum = 0, n = 0;
    for (int i = 1; i <= g.rows; ++i)
        for (int j = 1; j <= g.cols; ++j) {
            const int y = kStep * i, x = kStep * j;
            if (excluded && excluded[size_t(y) * cols + x]) continue;
            sum += Magnitude(img, cols, x, y);
            ++n;
        }
    return n ? double(sum) / double(n) : 0.0;
}

double StrongestGradientMean(const uint8_t* img, int rows, int cols, const Grid& g) {
    std::vector<int64_t> hist(kMaxMagnitude + 1, 0);
    int64_t total = 0;
    for (int i = 1; i <= g.rows; ++i)
        for (int j = 1; j <= g.cols; ++j) {
            const int m = Magnitude(img, cols, kStep * j, kStep * i);
            ++hist[size_t(m)];
            total += m;
        }
    const int64_t target = total * 4 / 5;
    int64_t count = 0, sum = 0;
    for (int m = kMaxMagnitude; m >= 0; --m) {
        count += hist[size_t(m)];
        sum += hist[size_t(m)] * m;
        if (sum > target) break;
    }
    const int64_t minimum = int64_t(rows / kStep - 1) * (cols / kStep - 1) / 100;
    if (count <= minimum) return 0.0;
    return double(sum) / double(count);
}

// Bright specular components, as a mask of excluded pixels; false when it cannot be built.
bool ReflectionMask(const uint8_t* img, int rows, int cols, std::vector<uint8_t>& excluded) {
    const size_t n = size_t(rows) * cols;
    std::vector<uint8_t> stretched(n), binary(n);
    std::vector<int32_t> labels(n);
    if (ContrastStretch(img, cols, rows, 0, 1000, stretched.data()) != 0) return false;
    for (size_t i = 0; i < n; ++i) binary[i] = stretched[i] >= 180 ? 255 : 0;
    const int32_t count = LabelComponents(binary.data(), cols, rows, labels.data(), 1);
    if (count < 0) return false;
    excluded.assign(n, 0);
    if (count <= 5) return true;
    std::vector<int64_t> area(size_t(count) + 1, 0);
    for (size_t i = 0; i < n; ++i)
        if (labels[i] > 0) ++area[size_t(labels[i])];
    std::vector<int32_t> order(static_cast<size_t>(count));
    std::iota(order.begin(), order.end(), 1);
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return area[size_t(a)] > area[size_t(b)]; });
    std::vector<uint8_t> drop(size_t(count) + 1, 0);
    for (int k = 0; k < 5; ++k) {
        const int64_t a = area[size_t(order[size_t(k)])];
        if (a > 10 && a < 5000) drop[size_t(order[size_t(k)])] = 1;
    }
    // Every dropped pixel clear of the border by 5 excludes the 11 x 11 square around it.
    for (int y = 5; y < rows - 5; ++y)
        for (int x = 5; x < cols - 5; ++x) {
            const int32_t l = labels[size_t(y) * cols + x];
            if (l <= 0 || !drop[size_t(l)]) continue;
            for (int yy = y - 5; yy <= y + 5; ++yy) std::memset(&excluded[size_t(yy) * cols + x - 5], 1, 11);
        }
    return true;
}

double PupilEdgeSharpness(const uint8_t* img, int rows, int cols, int px, int py, int pr) {
    constexpr int kRays = 91, kRadii = 21;
    double greySum[kRadii] = {}, stepSum[kRadii] = {};
    for (int ray = 0; ray < kRays; ++ray) {
        const double a = (135 - ray) * 3.14159265358979323846 / 180;
        const double ca = std::cos(a), sa = std::sin(a);
        for (int k = 0; k < kRadii; ++k) {
            const double d = double(pr) + 10 - k;
            const double fx = px + d * ca, fy = py + d * sa;
            if (!(fx > -1 && fy > -1 && fx < cols && fy < rows)) continue;
            const int x = int(fx), y = int(fy);
            if (x < 0 || y < 0 || x >= cols || y >= rows) continue;
            const int g = img[size_t(y) * cols + x];
            if (g >= 181) continue;
            const double fx2 = px + (d + 1) * ca, fy2 = py + (d + 1) * sa;
            if (!(fx2 > -1 && fy2 > -1 && fx2 < cols && fy2 < rows)) continue;
            const int x2 = int(fx2), y2 = int(fy2);
            if (x2 < 0 || y2 < 0 || x2 >= cols || y2 >= rows) continue;
            const int g2 = img[size_t(y2) * cols + x2];
            if (g2 > 180 || g2 <= g) continue;
            greySum[k] += g;
            stepSum[k] += g2 - g;
        }
    }
    double maxStep = 0, maxGrey = 0, minGrey = 255;
    for (int k = 0; k < kRadii; ++k) {
        const double grey = greySum[k] * (1.0 / kRays), step = stepSum[k] * (1.0 / kRays);
        maxStep = std::max(maxStep, step);
        maxGrey = std::max(maxGrey, grey);
        minGrey = std::min(minGrey, grey);
    }
    const double spread = maxGrey - minGrey;
    if (spread < 12 || maxStep < 1) return 0.0;
    return maxStep * 100 / spread;
}

// Mean magnitude over the grid points (grid units) of a region.
template <class Inside>
double RegionMean(const uint8_t* img, int cols, int r0, int r1, int c0, int c1, Inside inside) {
    int64_t sum = 0, n = 0;
    for (int y = r0; y <= r1; ++y)
        for (int x = c0; x <= c1; ++x) {
            if (!inside(x, y)) continue;
            sum += Magnitude(img, cols, kStep * x, kStep * y);
            ++n;
        }
    return n ? double(sum) / double(n) : 0.0;
}

double RegionMeasure(const uint8_t* img, int rows, int cols, int measure, const int32_t c[6]) {
    const int px = c[0] / kStep, py = c[1] / kStep, r = c[2] / kStep;
    const int ix = c[3] / kStep, iy = c[4] / kStep, R = c[5] / kStep;
    const int maxRow = rows / kStep - 1, maxCol = cols / kStep - 1;
    auto sq = [](int64_t v) { return v * v; };
    auto annulus = [&](int x, int y) { return sq(x - px) + sq(y - py) > sq(r) && sq(x - ix) + sq(y - iy) <= sq(R); };
    switch (measure) {
        case 2:
            return RegionMean(img, cols, std::max(iy - R, 1), std::min(iy + R, maxRow), std::max(ix - R, 1),
                              std::min(ix + R, maxCol), annulus);
        case 3: {
            // End bounds exclusive: rows py - 32 .. py + 31, columns up to px + r + 64.
            const int r0 = std::max(py - 32, 1), rEnd = std::min(py + 32, maxRow);
            const int c0 = std::max(px - r - 64, 1), cEnd = std::min(px + r + 65, maxCol);
            if (r0 >= rEnd) return 0.0;
            return RegionMean(img, cols, r0, rEnd - 1, c0, cEnd - 1, [&](int x, int) { return std::abs(x - px) > r; });
        }
        case 4:
            // Rows from the pupil centre; rows above the first grid row are not read.
            return RegionMean(img, cols, std::max(py, 1), std::min(py + r + 2, maxRow), std::max(ix - R, 1),
                              std::min(ix + R, maxCol), annulus);
        default: {
            const int64_t D = r + 2 * (int64_t(R) - r) / 3, E = r + (int64_t(R) - r) / 2;
            const auto lim = [](int64_t v) { return int(std::clamp<int64_t>(v, -(1 << 30), 1 << 30)); };
            return RegionMean(img, cols, std::max(py, 1), std::min(lim(iy + D), maxRow), std::max(lim(ix - D), 1),
                              std::min(lim(ix + D), maxCol), [&](int x, int y) {
                                  if (sq(x - px) + sq(y - py) <= sq(r) * 36 / 100) return false;
                                  const int64_t e = y - py > std::abs(x - px) ? E : D;
                                  return sq(x - ix) + sq(y - iy) <= e * e;
                              });
        }
    }
}

}  // namespace

float FocusScoreOfOptions(const uint8_t* image, int width, int height, const int32_t* options, char* errtext) {
    int measure = 0;
    int32_t circle[6] = {};
    if (options) {
        measure = options[0];
        std::memcpy(circle, options + 11, sizeof circle);
    }
    float score = 0.0f;
    if (ComputeIrisQuality(image, height, width, measure, circle, &score, errtext) != 0) score = 0.0f;
    return score;
}

int32_t ComputeIrisQuality(const uint8_t* image, int rows, int cols, int measure, const int32_t circle[6], float* score,
                           char* errtext) {
    if (!image || !circle || !score) {
        SetMessage(errtext, "Unexpected Null Pointer!");
        return -1;
    }
    Grid g{};
    switch (measure) {
        case 0:
            if (!MakeGrid(rows, cols, g, errtext)) return -6;
            *score = float(MeanGradient(image, cols, g, nullptr));
            return 0;
        case 6:
            if (!MakeGrid(rows, cols, g, errtext)) return -6;
            *score = float(StrongestGradientMean(image, rows, cols, g));
            return 0;
        case 1: {
            if (!MakeGrid(rows, cols, g, errtext)) return -6;
            std::vector<uint8_t> excluded;
            if (!ReflectionMask(image, rows, cols, excluded)) return -1;
            *score = float(MeanGradient(image, cols, g, excluded.data()));
            return 0;
        }
        case 7:
        case 8:
            if (rows < 1 || cols < 1) {
                *score = 0;
                return 0;
            }
            if (measure == 8) {
                if (!MakeGrid(rows, cols, g, errtext)) return -6;
                if (StrongestGradientMean(image, rows, cols, g) < 20) {
                    *score = 0;
                    return 0;
                }
            }
            *score = float(PupilEdgeSharpness(image, rows, cols, circle[0], circle[1], circle[2]));
            return 0;
        case 2:
        case 3:
        case 4:
        case 5:
            if (rows / kStep < 2 || cols / kStep < 2) {
                *score = 0;
                return 0;
            }
            *score = float(RegionMeasure(image, rows, cols, measure, circle));
            return 0;
        default:
            *score = 0;
            return 0;
    }
}

}  // namespace irisalg
