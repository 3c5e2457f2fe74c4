// Feature kind 40: the unwrapped iris averaged into 8 angular bands, a five-level undecimated
// dyadic wavelet per band, and at levels 3..5 a code of the rising stretches (local minimum up to
// the next local maximum) of the detail signal; every fourth angle is kept, then the mask code.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "irisalg/IrisEncode.h"

namespace irisalg {

namespace {

constexpr int kN = 512, kBands = 8, kBandRows = 6, kLevels = 5;
constexpr int32_t kEyelidPresent = 3501;

void Say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// Circular convolution with taps `step` samples apart.
void Convolve(const double* f, int taps, int step, const double* y, double* out) {
    for (int i = 0; i < kN; ++i) {
        double s = 0;
        for (int m = 0; m < taps; ++m) s += f[m] * y[((i - m * step) % kN + kN) % kN];
        out[i] = s;
    }
}

void Rotate(const double* y, int k, double* out) {
    for (int i = 0; i < kN; ++i) out[i] = y[(i + k) % kN];
}

// rows[0] the final smooth signal, rows[1..5] the details of levels 1..5.
void Wavelet(const double* x, double rows[kLevels + 1][kN]) {
    static constexpr double h[4] = {0.1767767, 0.5303301, 0.5303301, 0.1767767};
    static constexpr double g[2] = {0.7071068, -0.7071068};
    double s[kN], t[kN], u[kN];
    std::memcpy(s, x, sizeof s);
    for (int j = 1; j <= kLevels; ++j) {
        const int step = 1 << (j - 1);
        Convolve(g, 2, step, s, t);
        Rotate(t, 1 << j, rows[j]);
        Rotate(s, step, t);
        Convolve(h, 4, step, t, u);
        std::memcpy(s, u, sizeof s);
    }
    std::memcpy(rows[0], s, sizeof s);
}

}  // namespace

int32_t FindExtremumPoints(const double* d, int* maxima, int* minima, int* count) {
    std::vector<int> pos;
    for (int i = 0; i < kN - 1; ++i)
        if (std::fabs(d[i + 1] - d[i]) >= 1e-6) pos.push_back(i);
    for (size_t k = 1; k < pos.size(); ++k)
        if (pos[k] - pos[k - 1] != 1) pos[k] -= (pos[k] - pos[k - 1]) / 2;
    pos.push_back(kN - 1);
    int nMax = 0, nMin = 0;
    for (size_t k = 1; k + 1 < pos.size(); ++k) {
        const bool before = d[pos[k]] > d[pos[k - 1]];
        const bool after = d[pos[k + 1]] > d[pos[k]];
        if (before && !after) maxima[nMax++] = pos[k];
        if (!before && after) minima[nMin++] = pos[k];
    }
    if (nMax == nMin + 1)
        minima[nMin++] = kN - 1;
    else if (nMin == nMax + 1)
        maxima[nMax++] = kN - 1;
    else if (nMax != nMin) {
        Say("The number of extremum points is not match.\n");
        return -1;
    }
    *count = nMax;
    return 0;
}

void RunCode(const int* M, const int* m, int n, uint8_t* out) {
    std::memset(out, 0, kN);
    if (n <= 0) return;  // no step at all: nothing rises
    const auto fill = [&](int a, int b) {
        for (int i = std::max(a, 0); i <= std::min(b, kN - 1); ++i) out[i] = 1;
    };
    if (M[0] >= m[0]) {
        for (int k = 0; k < n; ++k)
            if (m[k] <= M[k]) fill(m[k], M[k]);
    } else {
        fill(0, M[0]);
        for (int k = 1; k < n; ++k) fill(m[k - 1], M[k]);
        if (m[n - 1] < kN - 1) fill(m[n - 1], kN - 1);
    }
}

int32_t EncodeExtremumFeature(const uint8_t* image, int rows, int cols, const uint8_t* mask,
                              const LocationResult* loc, uint8_t* out) {
    if (!image || !loc || !out) {
        Say(" ERROR!  There are some input pointers point to NULL.\n");
        return kBadArgument;
    }
    if (rows < 1 || cols < 1 || int64_t(rows) * cols > 2097152) {
        Say("ERROR!  The size original iris image must be smaller than (2*1024*1024).\n");
        return kBadArgument;
    }
    const int32_t* w = loc->words;
    if (w[kWordPupilX] < 1 || w[kWordPupilY] < 1 || w[kWordPupilR] < 1) {
        Say("The parameters of inner circle are illegal.\n");
        return kBadArgument;
    }
    if (w[kWordIrisX] < 1 || w[kWordIrisY] < 1 || int64_t(w[kWordIrisR]) <= int64_t(w[kWordPupilR]) + 5) {
        Say("The parameters of outer circle are illegal.\n");
        return kBadArgument;
    }
    if ((w[kWordUpperLid + 2] == 0 && w[kWordUpperLid + 3] >= kEyelidPresent) ||
        (w[kWordLowerLid + 2] == 0 && w[kWordLowerLid + 3] >= kEyelidPresent)) {
        Say("The parameters of eyelid parabola are illegal.\n");
        return kBadArgument;
    }
    std::vector<uint8_t> fullMask, grid(size_t(kGridRows) * kGridCols), maskGrid(size_t(kGridRows) * kGridCols);
    try {
        fullMask.assign(size_t(rows) * cols, 0);
    } catch (const std::bad_alloc&) {
        Say("there is an error when allocate memory.\n");
        return -1;
    }
    if (UnwrapCircleImage(image, rows, cols, *loc, grid.data()) != 0) {
        Say("The parameters of inner circle are illegal.\n");
        return -1;
    }
    // Planes: levels 3, 4, 5 and the mask, 8 bands x 512 angles each.
    std::vector<uint8_t> planes(size_t(4) * kBands * kN, 0);
    double band[kN], wave[kLevels + 1][kN];
    int maxima[kN], minima[kN];
    for (int b = 0; b < kBands; ++b) {
        for (int k = 0; k < kN; ++k) {
            double s = 0;
            for (int r = 0; r < kBandRows; ++r) s += grid[size_t(kBandRows * b + r) * kGridCols + k];
            band[k] = s * (1.0 / 6.0);
        }
        Wavelet(band, wave);
        for (int level = 3; level <= 5; ++level) {
            int n = 0;
            if (FindExtremumPoints(wave[level], maxima, minima, &n) != 0) {
                Say("there is an error when find extremum points.\n");
                return -1;
            }
            RunCode(maxima, minima, n, planes.data() + (size_t(level - 3) * kBands + b) * kN);
        }
    }
    if (mask)
        std::memcpy(fullMask.data(), mask, fullMask.size());
    else
        BuildEyelidMask(fullMask.data(), rows, cols, *loc);
    UnwrapCircleMask(fullMask.data(), rows, cols, *loc, maskGrid.data());
    for (int b = 0; b < kBands; ++b)
        for (int k = 0; k < kN; ++k) {
            uint8_t all = 1;
            for (int r = 0; r < kBandRows; ++r) all &= maskGrid[size_t(kBandRows * b + r) * kGridCols + k];
            planes[(size_t(3) * kBands + b) * kN + k] = all;
        }
    // Pack every column (band 0 in bit 7) into the caller's 2048 bytes, then keep columns 2, 6, ...
    for (int part = 0; part < 4; ++part)
        for (int k = 0; k < kN; ++k) {
            uint8_t byte = 0;
            for (int b = 0; b < kBands; ++b)
                if (planes[(size_t(part) * kBands + b) * kN + k]) byte |= uint8_t(0x80 >> b);
            out[part * kN + k] = byte;
        }
    for (int i = 0; i < 4 * 128; ++i) out[i] = out[4 * i + 2];
    return 512;
}

}  // namespace irisalg
