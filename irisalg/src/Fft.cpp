// Mixed radix-8/4/2 FFT over power-of-two lengths (self-sorting passes between two work lines)
// and the centred 2-D transforms built on it.

#include "irisalg/Fft.h"

#include <cmath>
#include <cstdio>
#include <numbers>

namespace irisalg {

int IsPowerOfTwo(int64_t n) { return n > 0 && (n & (n - 1)) == 0 ? 1 : 0; }

int Log2(uint64_t n) {
    int p = -1;
    while (n) {
        n >>= 1;
        ++p;
    }
    return p;
}

FftPlan::FftPlan(int n, int sign) : n_(n), twiddle_(size_t(n)), a_(size_t(n)), b_(size_t(n)) {
    for (int k = 0; k < n; ++k) {
        const double angle = (sign < 0 ? -2.0 : 2.0) * std::numbers::pi * k / n;
        twiddle_[size_t(k)] = {std::cos(angle), std::sin(angle)};
    }
    const int p = Log2(uint64_t(n));
    for (int i = 0; i < p / 3; ++i) radices_.push_back(8);
    if (p % 3 == 2) radices_.push_back(4);
    if (p % 3 == 1) radices_.push_back(2);
}

namespace {

using C = std::complex<double>;

// Plain complex product (the library call behind operator* also handles infinities; no value
// here is infinite).
inline C Mul(const C& a, const C& b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// In-place transform of R = 2, 4 or 8 values with roots[m] = exp(sign 2 pi i m / R).
inline void SmallDft(C* v, int R, const C* roots) {
    if (R == 8) {
        std::swap(v[1], v[4]);
        std::swap(v[3], v[6]);
    } else if (R == 4) {
        std::swap(v[1], v[2]);
    }
    for (int len = 2; len <= R; len <<= 1) {
        const int step = R / len;
        for (int start = 0; start < R; start += len)
            for (int k = 0; k < len / 2; ++k) {
                const C t = Mul(v[start + k + len / 2], roots[k * step]);
                v[start + k + len / 2] = v[start + k] - t;
                v[start + k] += t;
            }
    }
}

}  // namespace

void FftPlan::Run(std::complex<double>* data, int stride) {
    const int n = n_;
    if (n < 2) return;
    for (int i = 0; i < n; ++i) a_[size_t(i)] = data[size_t(i) * stride];
    C* in = a_.data();
    C* out = b_.data();
    // Each pass combines R interleaved transforms of length ns into transforms of length ns R.
    int ns = 1;
    for (const int R : radices_) {
        const int span = n / R;
        C roots[8];
        for (int m = 0; m < R; ++m) roots[m] = twiddle_[size_t(m * span)];
        const int turn = n / (ns * R);  // twiddle step of the pass
        for (int j = 0; j < span; ++j) {
            const int jm = j % ns;
            C v[8];
            v[0] = in[j];
            for (int r = 1; r < R; ++r) v[r] = jm ? Mul(in[j + r * span], twiddle_[size_t(r * jm * turn)]) : in[j + r * span];
            SmallDft(v, R, roots);
            const int base = (j / ns) * ns * R + jm;
            for (int k = 0; k < R; ++k) out[base + k * ns] = v[k];
        }
        std::swap(in, out);
        ns *= R;
    }
    for (int i = 0; i < n; ++i) data[size_t(i) * stride] = in[i];
}

namespace {

// One centred transform of a line of n values (spaced by stride) through the double work line.
template <typename T>
void CentredLine(std::complex<T>* p, int stride, FftPlan& plan, std::vector<std::complex<double>>& line,
                 bool forward) {
    const int n = plan.size();
    const int half = n / 2;
    for (int i = 0; i < n; ++i) line[size_t(i)] = std::complex<double>(p[size_t(i) * stride]);
    if (forward) {
        for (auto& v : line) v = std::conj(v);
    } else {
        for (int i = 0; i < half; ++i) std::swap(line[size_t(i)], line[size_t(i + half)]);
    }
    plan.Run(line.data());
    if (forward) {
        for (int i = 0; i < half; ++i) std::swap(line[size_t(i)], line[size_t(i + half)]);
        for (auto& v : line) v = std::conj(v);
    } else {
        const double scale = 1.0 / n;
        for (auto& v : line) v *= scale;
    }
    for (int i = 0; i < n; ++i) p[size_t(i) * stride] = std::complex<T>(line[size_t(i)]);
}

// The core runs with one exponent sign (-1) both ways: conjugating around it turns the forward
// pass into the transform of the opposite sign, which the inverse then undoes.
template <typename T>
int32_t Transform2D(std::complex<T>* data, int rows, int cols, bool forward, int firstColumn = 0, int columnStep = 1) {
    if (!IsPowerOfTwo(rows) || !IsPowerOfTwo(cols)) {
        std::fputs("fft: input array must have dimensions a power of 2\n", stderr);
        return -1;
    }
    if (!data) return -1;
    constexpr int sign = -1;
    std::vector<std::complex<double>> line(size_t(std::max(rows, cols)));
    if (cols >= 2 && rows >= 1) {
        FftPlan plan(cols, sign);
        for (int r = 0; r < rows; ++r) CentredLine(data + size_t(r) * cols, 1, plan, line, forward);
    }
    if (rows >= 2 && cols >= 1) {
        FftPlan plan(rows, sign);
        for (int c = firstColumn; c < cols; c += columnStep) CentredLine(data + c, cols, plan, line, forward);
    }
    return 0;
}

}  // namespace

int32_t Forward2D(std::complex<float>* data, int rows, int cols) { return Transform2D(data, rows, cols, true); }
int32_t Inverse2D(std::complex<float>* data, int rows, int cols) { return Transform2D(data, rows, cols, false); }
int32_t Inverse2DColumns(std::complex<float>* data, int rows, int cols, int first, int step) {
    if (first < 0 || step < 1) return -1;
    return Transform2D(data, rows, cols, false, first, step);
}
int32_t ForwardDouble2D(std::complex<double>* data, int rows, int cols) {
    return Transform2D(data, rows, cols, true);
}
int32_t InverseDouble2D(std::complex<double>* data, int rows, int cols) {
    return Transform2D(data, rows, cols, false);
}

}  // namespace irisalg
