#include <cmath>
#include <vector>

#include "irisalg/IrisAlg.h"

namespace irisalg {

namespace {

constexpr double kWordLimit = 2147483647.0;

// Fixed-point scale of coefficient k: 32 * 256^k.
double Scale(int k) { return 32.0 * std::ldexp(1.0, 8 * k); }

}  // namespace

double RoundHalfAway(double v) { return std::trunc(v <= 0 ? v - 0.5 : v + 0.5); }

int32_t SolveLinearSystem(int n, double* a, double* b, double* x) {
    if (n < 1 || !a || !b || !x) return kBadArgument;
    for (int k = 0; k < n - 1; ++k) {
        int pivot = k;
        for (int i = k + 1; i < n; ++i)
            if (std::fabs(a[i * n + k]) > std::fabs(a[pivot * n + k])) pivot = i;
        if (pivot != k) {
            for (int j = 0; j < n; ++j) std::swap(a[k * n + j], a[pivot * n + j]);
            std::swap(b[k], b[pivot]);
        }
        double& p = a[k * n + k];
        if (std::fabs(p) < 1e-12) p = p > 0 ? 1e-12 : -1e-12;
        for (int i = k + 1; i < n; ++i) {
            const double f = a[i * n + k];
            for (int j = k + 1; j < n; ++j) a[i * n + j] -= a[k * n + j] * f / p;
            b[i] -= f * b[k] / p;
        }
    }
    for (int i = n - 1; i >= 0; --i) {
        double s = b[i];
        for (int j = i + 1; j < n; ++j) s -= a[i * n + j] * x[j];
        x[i] = s / a[i * n + i];
    }
    return 0;
}

int32_t PolyfitCore(const int* x, const int* y, int n, int degree, int* out) {
    if (!x || !y || !out || degree < 0 || n <= degree || degree > 16) return kBadArgument;
    const int m = degree + 1;
    // One 16-byte aligned work buffer: power sums, moments, normal matrix, solution.
    const size_t words = size_t(2 * degree + 1) + m + size_t(m) * m + m;
    auto* work = static_cast<double*>(IrisAlignedAlloc(words * sizeof(double), 16));
    if (!work) return kNoMemory;
    for (size_t i = 0; i < words; ++i) work[i] = 0;
    double* S = work;
    double* T = S + 2 * degree + 1;
    double* A = T + m;
    double* sol = A + size_t(m) * m;
    for (int i = 0; i < n; ++i) {
        double p = 1;
        for (int k = 0; k <= 2 * degree; ++k) {
            S[k] += p;
            if (k <= degree) T[k] += y[i] * p;
            p *= x[i];
        }
    }
    for (int j = 0; j < m; ++j)
        for (int k = 0; k < m; ++k) A[j * m + k] = S[j + k];
    SolveLinearSystem(m, A, T, sol);
    int32_t result = 0;
    for (int k = 0; k < m; ++k) {
        const double w = RoundHalfAway(sol[k] * Scale(k));
        if (!(std::fabs(w) <= kWordLimit)) {
            out[k] = w > 0 ? 2147483647 : -2147483647;
            result = kNotFound;
        } else {
            out[k] = int(w);
        }
    }
    out[m] = 4000;
    IrisAlignedFree(work);
    return result;
}

double PolyvalCore(const int* coef, int degree, double x) {
    if (degree < 0 || !coef) return 0.0;
    double sum = 0, p = 1;
    for (int k = 0; k <= degree; ++k) {
        sum += coef[k] * p / Scale(k);
        p *= x;
    }
    return sum;
}

int32_t VertexFormToPolynomial(const EyelidCurve* c, int out[4]) {
    if (!c || !out || c->divisor == 0) return kBadArgument;
    const double x0 = c->vertexX, y0 = c->vertexY, d = c->divisor;
    out[0] = int(RoundHalfAway(32 * (x0 * x0 / d + y0)));
    out[1] = int(RoundHalfAway(-16384 * x0 / d));
    out[2] = int(RoundHalfAway(2097152 / d));
    out[3] = c->score;
    return 0;
}

int32_t PolynomialToVertexForm(const int* coef, int degree, int x0, int x1, EyelidCurve* out) {
    if (!out) return kBadArgument;
    out->vertexX = out->vertexY = out->divisor = out->score = 0;
    if (!coef || degree < 0 || int64_t(x1) - x0 < 20) return kBadArgument;
    int words[4] = {0, 0, 0, 0};
    if (degree == 2) {
        for (int k = 0; k < 4; ++k) words[k] = coef[k];
    } else {
        const int step = std::max(1, int((int64_t(x1) - x0 + 18) / 19));
        int xs[20], ys[20];
        for (int i = 0; i < 20; ++i) {
            xs[i] = x0 + i * step;
            const double v = RoundHalfAway(PolyvalCore(coef, degree, xs[i]));
            ys[i] = int(std::fabs(v) <= kWordLimit ? v : (v > 0 ? kWordLimit : -kWordLimit));
        }
        const int32_t rc = PolyfitCore(xs, ys, 20, 2, words);
        if (rc != 0) return rc;
    }
    const double a0 = words[0] / 32.0, a1 = words[1] / 8192.0, a2 = words[2] / 2097152.0;
    if (std::fabs(a2) < 1e-10) return kNotFound;
    const auto clampWord = [](double v) { return int32_t(std::fabs(v) <= kWordLimit ? v : (v > 0 ? kWordLimit : -kWordLimit)); };
    out->vertexX = clampWord(RoundHalfAway(-a1 / (2 * a2)));
    out->vertexY = clampWord(RoundHalfAway(a0 - a1 * a1 / (4 * a2)));
    out->divisor = clampWord(RoundHalfAway(1 / a2));
    out->score = coef[degree + 1];
    return 0;
}

int32_t CircleFit(const int32_t* x, const int32_t* y, int n, int32_t* cx, int32_t* cy, int32_t* r) {
    if (!x || !y || !cx || !cy || !r) return -1;
    *cx = *cy = *r = 0;
    if (n < 3) return -1;
    // Products in 64 bits: a cube of a coordinate beyond 1290 does not fit 32.
    double Sx = 0, Sy = 0, Sxx = 0, Syy = 0, Sxy = 0, Sxxx = 0, Syyy = 0, Sxyy = 0, Sxxy = 0;
    for (int i = 0; i < n; ++i) {
        const int64_t X = x[i], Y = y[i];
        Sx += double(X);
        Sy += double(Y);
        Sxx += double(X * X);
        Syy += double(Y * Y);
        Sxy += double(X * Y);
        Sxxx += double(X * X * X);
        Syyy += double(Y * Y * Y);
        Sxyy += double(X * Y * Y);
        Sxxy += double(X * X * Y);
    }
    const double C = n * Sxx - Sx * Sx, D = n * Sxy - Sx * Sy, E = n * Syy - Sy * Sy;
    const double G = n * (Sxyy + Sxxx) - (Sxx + Syy) * Sx, H = n * (Sxxy + Syyy) - (Sxx + Syy) * Sy;
    const double den = D * D - E * C;
    if (den == 0) return -1;  // collinear or coincident points
    const double a = (H * C - G * D) / den, b = (H * D - E * G) / -den;
    const double c = -(a * Sy + b * Sx + Sxx + Syy) / n;
    const double rad = a * a + b * b - 4 * c;
    const double fx = -b / 2, fy = -a / 2;
    if (!(rad >= 0) || !(std::fabs(fx) < kWordLimit) || !(std::fabs(fy) < kWordLimit) || !(std::sqrt(rad) / 2 < kWordLimit))
        return -1;
    *cx = int32_t(std::trunc(fx));
    *cy = int32_t(std::trunc(fy));
    *r = int32_t(std::trunc(std::sqrt(rad) / 2));
    return 0;
}

}  // namespace irisalg
