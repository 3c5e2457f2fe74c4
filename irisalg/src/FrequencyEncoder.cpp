// Feature kind 36: the unwrapped iris, reflect-padded to 128 x 512, filtered in the frequency
// domain by 15 log-Gabor filters (3 wavelengths x 5 orientations); the sign of each filtered
// image's real part on an 8 x 128 grid is the code, the unwrapped mask gives the mask code.

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <vector>

#include "irisalg/Fft.h"
#include "irisalg/IrisAlg.h"
#include "irisalg/IrisEncode.h"

namespace irisalg {

namespace {

constexpr int kFilterSize = kFilterRows * kFilterCols;
constexpr int kCodeBytes = 2048, kMaskOffset = 1920, kRowBytes = 128;
constexpr int32_t kEyelidPresent = 3501;

// Bank parameters: wavelengths 10..30, bandwidth factor 1.8, angular divisor 8, angular spread.
constexpr double kMinWavelength = 10.0, kMaxWavelength = 30.0, kBandwidth = 1.8, kAngularDivisor = 8.0,
                 kAngularSpread = 0.35;

std::vector<float>& Bank() {
    static std::vector<float> bank(size_t(kFrequencyFilters) * kFilterSize, 0.0f);
    return bank;
}
bool bankBuilt = false;

void Say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void PackGrid(const std::complex<float>* work, bool imaginary, uint8_t* out) {
    for (int i = 0; i < kRowBytes; ++i) {
        const int c = 4 * i + 2;
        uint8_t byte = 0;
        for (int j = 0; j < 8; ++j) {
            const std::complex<float> v = work[size_t(32 + 4 + 8 * j) * kFilterCols + c];
            if ((imaginary ? v.imag() : v.real()) > 0) byte |= uint8_t(0x80 >> j);
        }
        out[i] = byte;
    }
}

// Codes of one or two filters from one inverse transform. The real part of the inverse transform
// of spectrum x filter is the inverse transform of the product's Hermitian part; two Hermitian
// parts sent as H1 + i H2 come back as (real part 1) + i (real part 2).
int PairCode(const std::complex<float>* spectrum, const float* f1, const float* f2, std::complex<float>* work,
             uint8_t* out1, uint8_t* out2) {
    for (int r = 0; r < kFilterRows; ++r) {
        const int mr = (kFilterRows - r) % kFilterRows;
        for (int c = 0; c < kFilterCols; ++c) {
            const size_t i = size_t(r) * kFilterCols + c, m = size_t(mr) * kFilterCols + (kFilterCols - c) % kFilterCols;
            const std::complex<float> h1 = 0.5f * (spectrum[i] * f1[i] + std::conj(spectrum[m] * f1[m]));
            const std::complex<float> h2 =
                f2 ? 0.5f * (spectrum[i] * f2[i] + std::conj(spectrum[m] * f2[m])) : std::complex<float>(0.0f, 0.0f);
            work[i] = {h1.real() - h2.imag(), h1.imag() + h2.real()};
        }
    }
    // Only the grid columns 2, 6, ... are read back.
    if (Inverse2DColumns(work, kFilterRows, kFilterCols, 2, 4) != 0) return -1;
    PackGrid(work, false, out1);
    if (f2) PackGrid(work, true, out2);
    return 0;
}

}  // namespace

int32_t BuildFrequencyFilterBank() {
    if (bankBuilt) return 0;
    auto& bank = Bank();
    const double sigma = std::exp(-0.25 * kBandwidth * std::sqrt(2.0 * std::log(2.0)));
    const double logSigma2 = 2.0 * std::log(sigma) * std::log(sigma);
    for (int s = 0; s < 3; ++s) {
        const double lambda = kMinWavelength * std::pow(std::sqrt(kMaxWavelength / kMinWavelength), s);
        const double f0 = 1.0 / lambda;
        for (int o = 0; o < 5; ++o) {
            const double theta0 = (o - 2) * std::numbers::pi / kAngularDivisor;
            float* f = bank.data() + size_t(5 * s + o) * kFilterSize;
            for (int i = 0; i < kFilterRows; ++i) {
                const double v = double(i) / kFilterRows - 0.5;
                for (int j = 0; j < kFilterCols; ++j) {
                    const double u = double(j) / kFilterCols - 0.5;
                    const double radius = std::sqrt(u * u + v * v);
                    double R = 0.0;
                    if (radius > 0) {
                        const double l = std::log(radius / f0);
                        R = std::exp(-(l * l) / logSigma2);
                    }
                    const double theta = std::atan2(-v, u);
                    const double d = std::atan2(std::sin(theta) * std::cos(theta0) - std::cos(theta) * std::sin(theta0),
                                                std::cos(theta) * std::cos(theta0) + std::sin(theta) * std::sin(theta0));
                    const double G = std::exp(-(d * d) / (2.0 * kAngularSpread * kAngularSpread));
                    f[size_t(i) * kFilterCols + j] = float(R * G);
                }
            }
        }
    }
    bankBuilt = true;
    return 0;
}

int32_t ClearFrequencyFilterBank() {
    auto& bank = Bank();
    std::fill(bank.begin(), bank.end(), 0.0f);
    bankBuilt = false;
    return 0;
}

bool FrequencyFilterBankBuilt() { return bankBuilt; }
const float* FrequencyFilter(int k) { return Bank().data() + size_t(k) * kFilterSize; }

int32_t EncodeFrequencyFeature(const uint8_t* image, int rows, int cols, const uint8_t* mask,
                               const LocationResult* loc, uint8_t* out) {
    if (!image || !loc || !out) {
        Say(" ERROR!  There are some input pointers point to NULL.\n");
        return kBadArgument;
    }
    if (rows <= 0 || cols <= 0 || int64_t(rows) * cols > 2097152) {
        Say("ERROR!  The size original iris image must be smaller than (2*1024*1024).\n");
        return kBadArgument;
    }
    const int32_t* w = loc->words;
    if (w[kWordPupilX] <= 0 || w[kWordPupilY] <= 0 || w[kWordPupilR] <= 0) {
        Say("The parameters of inner circle are illegal.\n");
        return kBadArgument;
    }
    if (w[kWordIrisX] < 1 || w[kWordIrisY] < 1 || int64_t(w[kWordIrisR]) <= int64_t(w[kWordPupilR]) + 5) {
        Say("The parameters of outer circle are illegal.\n");
        return kBadArgument;
    }
    // A lid that is not present needs no divisor.
    if ((w[kWordUpperLid + 2] == 0 && w[kWordUpperLid + 3] >= kEyelidPresent) ||
        (w[kWordLowerLid + 2] == 0 && w[kWordLowerLid + 3] >= kEyelidPresent)) {
        Say("The parameters of eyelid parabola are illegal.\n");
        return kBadArgument;
    }
    const uint32_t selection = uint32_t(w[kWordParameter]) & 0x7FFF;
    if (selection == 0) {
        Say("There is an error when execute calculation filter index.\n");
        return -1;
    }
    std::vector<uint8_t> fullMask;
    std::vector<uint8_t> grid(size_t(kGridRows) * kGridCols), maskGrid(size_t(kGridRows) * kGridCols);
    try {
        fullMask.assign(size_t(rows) * cols, 0);
    } catch (const std::bad_alloc&) {
        Say("there is an error when allocate memory.\n");
        return -1;
    }
    if (mask)
        std::memcpy(fullMask.data(), mask, fullMask.size());
    else
        BuildEyelidMask(fullMask.data(), rows, cols, *loc);
    if (w[kWordContourFlag] != 0) {
        if (w[kWordContourCount] != kGridCols || w[kWordContourX] < 1 || w[kWordContourX + kGridCols] < 1 ||
            UnwrapContour(image, rows, cols, *loc, grid.data()) != 0 ||
            UnwrapContour(fullMask.data(), rows, cols, *loc, maskGrid.data()) != 0) {
            Say("The snake points are illegal.\n");
            return -1;
        }
    } else if (UnwrapCircleImage(image, rows, cols, *loc, grid.data()) != 0 ||
               UnwrapCircleMask(fullMask.data(), rows, cols, *loc, maskGrid.data()) != 0) {
        Say("The parameters of inner circle are illegal.\n");
        return -1;
    }
    // Reflect-padding: 32 mirrored rows above and below the 64 unwrapped rows.
    std::vector<std::complex<float>> spectrum(kFilterSize), work(kFilterSize);
    for (int r = 0; r < kFilterRows; ++r) {
        const int src = r < 32 ? 31 - r : r < 96 ? r - 32 : 127 - r;
        for (int c = 0; c < kFilterCols; ++c)
            spectrum[size_t(r) * kFilterCols + c] = float(grid[size_t(src) * kGridCols + c]);
    }
    if (Forward2D(spectrum.data(), kFilterRows, kFilterCols) != 0) {
        Say("There is an error in frequency process.\n");
        return -1;
    }
    int selected[kFrequencyFilters], n = 0;
    for (int k = 0; k < kFrequencyFilters; ++k)
        if (selection >> k & 1u) selected[n++] = k;
    for (int i = 0; i < n; i += 2) {
        const float* second = i + 1 < n ? FrequencyFilter(selected[i + 1]) : nullptr;
        if (PairCode(spectrum.data(), FrequencyFilter(selected[i]), second, work.data(), out + kRowBytes * i,
                     out + kRowBytes * (i + 1)) != 0) {
            Say("There is an error in frequency process.\n");
            return -1;
        }
    }
    for (int i = 0; i < kRowBytes; ++i) {
        uint8_t byte = 0;
        for (int j = 0; j < 8; ++j)
            if (maskGrid[size_t(4 + 8 * j) * kGridCols + 4 * i + 2] > 0) byte |= uint8_t(0x80 >> j);
        out[kMaskOffset + i] = byte;
    }
    return kCodeBytes;
}

}  // namespace irisalg
