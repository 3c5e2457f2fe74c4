// Small image tools kept beside the localisation code: a debug map dump, a box mean with a floor,
// nearest-cell resampling and a Gaussian smoothing with its integer kernel.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "irisalg/Location.h"

namespace irisalg {

int32_t DumpDebugPgm(const char* path, const void* data, int rows, int cols, int type) {
    if (!path || !data || rows < 1 || cols < 1) return kBadArgument;
    const size_t n = size_t(rows) * cols;
    std::vector<double> v(n);
    switch (type) {
        case 0: for (size_t i = 0; i < n; ++i) v[i] = static_cast<const uint8_t*>(data)[i]; break;
        case 1: for (size_t i = 0; i < n; ++i) v[i] = static_cast<const int16_t*>(data)[i]; break;
        case 2: for (size_t i = 0; i < n; ++i) v[i] = static_cast<const int32_t*>(data)[i]; break;
        case 3: for (size_t i = 0; i < n; ++i) v[i] = static_cast<const float*>(data)[i]; break;
        case 4: for (size_t i = 0; i < n; ++i) v[i] = static_cast<const double*>(data)[i]; break;
        case 5: for (size_t i = 0; i < n; ++i) v[i] = static_cast<const uint16_t*>(data)[i]; break;
        case 6: for (size_t i = 0; i < n; ++i) v[i] = static_cast<const uint32_t*>(data)[i]; break;
        default: return 0;
    }
    std::vector<uint8_t> out(n);
    if (type == 0) {
        for (size_t i = 0; i < n; ++i) out[i] = uint8_t(v[i]);
    } else {
        double lo = 100000000, hi = 0;
        for (double x : v) lo = std::min(lo, x), hi = std::max(hi, x);
        for (size_t i = 0; i < n; ++i) out[i] = hi > lo ? uint8_t(std::clamp((v[i] - lo) * 255 / (hi - lo), 0.0, 255.0)) : 0;
    }
    // A file that cannot be written is reported, not fatal: the dump is a development aid.
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::fprintf(stderr, "can not write the file %s\n", path);
        return -1;
    }
    std::fprintf(f, "P5\n%d %d\n255\n", cols, rows);
    const bool ok = std::fwrite(out.data(), 1, n, f) == n;
    return std::fclose(f) == 0 && ok ? 0 : -1;
}

int32_t BoxMeanFloor1(uint8_t* image, int rows, int cols, int r) {
    if (!image || rows < 1 || cols < 1 || r < 0) return kBadArgument;
    std::vector<uint8_t> out(size_t(rows) * cols);
    if (r == 0) return 0;
    const int32_t rc = BoxFilter(image, rows, cols, r, r, out.data());
    if (rc != 0) return rc;
    for (size_t i = 0; i < out.size(); ++i) image[i] = std::max<uint8_t>(out[i], 1);
    return 0;
}

int32_t ResampleNearest(const uint8_t* src, int rows, int cols, uint8_t* dst, int outRows, int outCols) {
    if (!src || !dst || rows < 1 || cols < 1 || outRows < 1 || outCols < 1) return kBadArgument;
    for (int y = 0; y < outRows; ++y) {
        const int sy = int((2 * int64_t(y) + 1) * rows / (2 * int64_t(outRows)));
        for (int x = 0; x < outCols; ++x) {
            const int sx = int((2 * int64_t(x) + 1) * cols / (2 * int64_t(outCols)));
            dst[size_t(y) * outCols + x] = src[size_t(sy) * cols + sx];
        }
    }
    return 0;
}

int32_t GaussianKernel(int32_t* kernel, int size, double sigmaY, double sigmaX) {
    if (!kernel || size < 1 || size % 2 == 0 || !(sigmaY > 0) || !(sigmaX > 0)) return kBadArgument;
    const int h = size / 2;
    int32_t sum = 0;
    for (int dy = -h; dy <= h; ++dy)
        for (int dx = -h; dx <= h; ++dx) {
            const int32_t v = int32_t(std::floor(100 * std::exp(-(dy * dy / (sigmaY * sigmaY) + dx * dx / (sigmaX * sigmaX)))));
            kernel[(dy + h) * size + dx + h] = v;
            sum += v;
        }
    return sum;
}

int32_t GaussianSmooth(uint8_t* image, int rows, int cols, int size, double sigma) {
    if (!image || rows < 1 || cols < 1 || size < 1 || size % 2 == 0) return kBadArgument;
    std::vector<int32_t> k(size_t(size) * size);
    const int32_t total = GaussianKernel(k.data(), size, sigma, sigma);
    if (total <= 0) return kBadArgument;
    std::vector<uint8_t> out(size_t(rows) * cols);
    const int h = size / 2;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
            int64_t s = 0;
            for (int dy = -h; dy <= h; ++dy)
                for (int dx = -h; dx <= h; ++dx)
                    s += int64_t(k[size_t(dy + h) * size + dx + h]) *
                         image[size_t(std::clamp(y + dy, 0, rows - 1)) * cols + std::clamp(x + dx, 0, cols - 1)];
            out[size_t(y) * cols + x] = uint8_t(s / total);
        }
    std::memcpy(image, out.data(), out.size());
    return 0;
}

}  // namespace irisalg
