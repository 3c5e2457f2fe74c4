#pragma once
// The project's FFT: one core for power-of-two lengths (radix-8 passes, then one radix-4 or
// radix-2 pass), computed in double precision, with the sign of the exponent chosen by the caller.
// The iris encoder's centred 2-D transforms and the fingerprint block spectra both run on it.

#include <complex>
#include <cstdint>
#include <vector>

namespace irisalg {

// 1 when exactly one bit of n is set, else 0.
int IsPowerOfTwo(int64_t n);
// Index of the highest set bit; -1 for 0.
int Log2(uint64_t n);

// Transform of one length n (a power of two): data[k] = sum_j data[j] exp(sign 2 pi i j k / n),
// in natural order, unscaled. The plan holds the twiddle table and a work line.
class FftPlan {
public:
    FftPlan(int n, int sign);
    int size() const { return n_; }
    // data holds n values spaced by stride.
    void Run(std::complex<double>* data, int stride = 1);

private:
    int n_;
    std::vector<std::complex<double>> twiddle_;  // exp(sign 2 pi i k / n)
    std::vector<std::complex<double>> a_, b_;
    std::vector<int> radices_;
};

// In-place 2-D transforms of rows x cols complex samples, row-major. The forward transform leaves
// the spectrum centred (frequency m - n/2 at position m); the inverse takes a centred spectrum and
// scales by 1/n per axis. Return 0, or -1 when a dimension is not a power of two (message on
// standard error, data untouched).
int32_t Forward2D(std::complex<float>* data, int rows, int cols);
int32_t Inverse2D(std::complex<float>* data, int rows, int cols);
// Inverse2D whose column pass runs only on the columns first, first + step, ... (the others keep
// their row-pass values): the same values there at a fraction of the cost.
int32_t Inverse2DColumns(std::complex<float>* data, int rows, int cols, int first, int step);
int32_t ForwardDouble2D(std::complex<double>* data, int rows, int cols);
int32_t InverseDouble2D(std::complex<double>* data, int rows, int cols);

}  // namespace irisalg
