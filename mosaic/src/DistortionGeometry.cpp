// Geometry, kernel and fixed-point passes of the optical distortion correction.
//
// The optics image the platen as a trapezoid with unevenly spaced rows. A horizontal pass whose
// scale changes linearly from row to row undoes the trapezoid, then a vertical pass whose sample
// rows follow a hyperbolic law undoes the perspective; both interpolate with a 4-tap cubic kernel.
#include <cmath>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Distortion.h"

namespace LiveScanAlg::distortion {
namespace {

// Values far outside any image; positions are clamped to the image afterwards anyway, this only
// keeps the float-to-integer conversions defined for degenerate geometries.
constexpr float kPositionLimit = 1.0e15f;

// x + 0.5 truncated towards zero, the rounding the geometry uses throughout.
int64_t RoundHalfUp(float x) {
  if (!(x > -kPositionLimit)) return static_cast<int64_t>(-kPositionLimit);
  if (!(x < kPositionLimit)) return static_cast<int64_t>(kPositionLimit);
  return static_cast<int64_t>(x + 0.5f);
}

int64_t Truncate(float x) {
  if (!(x > -kPositionLimit)) return static_cast<int64_t>(-kPositionLimit);
  if (!(x < kPositionLimit)) return static_cast<int64_t>(kPositionLimit);
  return static_cast<int64_t>(x);
}

}  // namespace

int ComputeGeometry(const DistortionCorrectionRecord& record, Geometry& geo) {
  geo = Geometry{};
  if (record.Height < 1 || record.Width < 1 || record.L == 0 || record.A == record.B ||
      record.K == 0) {
    return kDistortionOutputTooLarge;
  }
  const float H = static_cast<float>(record.Height);
  const float W = static_cast<float>(record.Width);
  const float A = static_cast<float>(record.A);
  const float B = static_cast<float>(record.B);
  const float L = static_cast<float>(record.L);
  const float E = static_cast<float>(record.E);
  const float G = static_cast<float>(record.G);
  const float K = static_cast<float>(record.K);

  const float s = (A - B) / L;
  const float u = B / s;
  const float v = u - (H - L - E);
  const float V = v + H;
  const float m = A + E * s;
  const float g = G * u;
  const float P = (u + L) * g;
  const float q = (P - V * g) / L / V;
  const float d = A > B ? m : m - H * s;
  const float n = W * (K / d);
  const float rows = (P - g * v) / L / v - q;
  if (!std::isfinite(n) || !std::isfinite(rows) || !std::isfinite(q) || !(n < 1.0e9f) ||
      !(rows < 1.0e9f)) {
    return kDistortionOutputTooLarge;
  }
  const int64_t N = RoundHalfUp(n);
  const int64_t outW = N - 8;
  const int64_t outH = RoundHalfUp(rows) - 8;
  geo.H = record.Height;
  geo.W = record.Width;
  geo.N = static_cast<int>(N);
  geo.OutW = static_cast<int>(outW);
  geo.OutH = static_cast<int>(outH);
  geo.s = s;
  geo.u = u;
  geo.v = v;
  geo.V = V;
  geo.m = m;
  geo.g = g;
  geo.P = P;
  geo.q = q;
  geo.L = L;
  geo.K = K;
  if (outW < 1 || outH < 1) return kDistortionOutputTooLarge;
  if (outH * outW > static_cast<int64_t>(record.Height) * record.Width) {
    return kDistortionOutputTooLarge;
  }
  return 0;
}

namespace {
template <typename T>
T CubicKernel(T t) {
  constexpr T a = -1;
  const T x = t < 0 ? -t : t;
  if (x < 1) return (a + 2) * x * x * x - (a + 3) * x * x + 1;
  if (x < 2) return a * x * x * x - 5 * a * x * x + 8 * a * x - 4 * a;
  return 0;
}
}  // namespace

float Kappa(float t) { return CubicKernel(t); }
double KappaExact(double t) { return CubicKernel(t); }

const int16_t (&KernelTable())[64][4] {
  // Every fraction p / 64 and every kernel value at it is a short binary fraction, so the
  // double evaluation is exact and each phase sums to 16384.
  static const auto table = [] {
    struct T {
      int16_t w[64][4];
    } t{};
    for (int p = 0; p < 64; ++p) {
      const double f = p / 64.0;
      t.w[p][0] = static_cast<int16_t>(std::trunc(16384.0 * KappaExact(f)));
      t.w[p][1] = static_cast<int16_t>(std::trunc(16384.0 * KappaExact(1.0 - f)));
      t.w[p][2] = static_cast<int16_t>(std::trunc(16384.0 * KappaExact(1.0 + f)));
      t.w[p][3] = static_cast<int16_t>(std::trunc(16384.0 * KappaExact(2.0 - f)));
    }
    return t;
  }();
  return table.w;
}

int32_t SecondPassPosition(const Geometry& g, int j) {
  const float D = g.g + (g.q + 4.0f) * g.L + static_cast<float>(j) * g.L;
  const float y = g.V - g.P / D;
  const int64_t Y = Truncate(256.0f * y);
  // Clamp to a range whose row index stays far outside any image; the taps clamp it back.
  return static_cast<int32_t>(Y < -(int64_t{1} << 30) ? -(int64_t{1} << 30)
                                                      : (Y > (int64_t{1} << 30) ? (int64_t{1} << 30) : Y));
}

namespace {

// One output of the horizontal pass at source position X (16.16 fixed point) in row p, every tap
// clamped to the row.
uint8_t FirstPassPixel(const uint8_t* p, int lastColumn, int64_t X) {
  const int16_t* w = KernelTable()[(X >> 10) & 63];
  const int64_t x = X >> 16;
  const int32_t sum = w[0] * p[ClampIndex(x, 0, lastColumn)] + w[1] * p[ClampIndex(x + 1, 0, lastColumn)] +
                      w[2] * p[ClampIndex(x - 1, 0, lastColumn)] +
                      w[3] * p[ClampIndex(x + 2, 0, lastColumn)] + 8192;
  return ClampPixel(sum >> 14);
}

#if defined(__SSE2__)
// The four weights of each phase in the order of their samples in the row: x - 1, x, x + 1, x + 2.
const int16_t (&RowOrderKernel())[64][4] {
  static const auto table = [] {
    struct T {
      alignas(8) int16_t w[64][4];
    } t{};
    const auto& kernel = KernelTable();
    for (int p = 0; p < 64; ++p) {
      t.w[p][0] = kernel[p][2];
      t.w[p][1] = kernel[p][0];
      t.w[p][2] = kernel[p][1];
      t.w[p][3] = kernel[p][3];
    }
    return t;
  }();
  return table.w;
}

// Eight outputs of the horizontal pass starting at position X and moving by `increment`, all of
// whose taps lie inside row p. The positions fit 31 bits there, so they step in unsigned 32-bit
// arithmetic. Each output's four samples are one 4-byte load, widened to 16 bits and multiplied
// by its phase's weights in pairs; the pair sums, the rounding and the shift are those of the
// scalar form, and the saturating packs are the clamp to 0..255.
void FirstPassEight(const uint8_t* p, uint32_t X, uint32_t increment, uint8_t* out) {
  const auto& kernel = RowOrderKernel();
  const __m128i zero = _mm_setzero_si128();
  __m128i products[4];
  for (int k = 0; k < 4; ++k) {
    const uint32_t Xa = X + 2 * k * increment, Xb = Xa + increment;
    uint32_t ta, tb;
    std::memcpy(&ta, p + (Xa >> 16) - 1, 4);
    std::memcpy(&tb, p + (Xb >> 16) - 1, 4);
    int64_t wa, wb;
    std::memcpy(&wa, kernel[(Xa >> 10) & 63], 8);
    std::memcpy(&wb, kernel[(Xb >> 10) & 63], 8);
    const __m128i samples =
        _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int32_t>(ta)),
                                             _mm_cvtsi32_si128(static_cast<int32_t>(tb))),
                          zero);
    products[k] = _mm_madd_epi16(samples, _mm_set_epi64x(wb, wa));
  }
  // products[k] holds (first pair, second pair) of outputs 2k and 2k + 1.
  auto sums = [](__m128i a, __m128i b) {
    const __m128 fa = _mm_castsi128_ps(a), fb = _mm_castsi128_ps(b);
    const __m128i first = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i second = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(first, second), _mm_set1_epi32(8192)), 14);
  };
  const __m128i s16 = _mm_packs_epi32(sums(products[0], products[1]), sums(products[2], products[3]));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(s16, s16));
}
#endif

}  // namespace

void FixedFirstPass(const Geometry& g, const uint8_t* image, uint8_t* work, int firstRow,
                    int endRow) {
  const int lastColumn = g.W - 1;
  // The step starts at m / K for row 0 and loses s / K per row, accumulated row by row in single
  // precision. A range that starts further down replays the rows above it, so that any split into
  // ranges gives exactly the steps of the whole pass.
  const float decrement = g.s * 65536.0f / g.K;
  float S = g.m * 65536.0f / g.K;
  for (int r = 0; r < firstRow; ++r) S -= decrement;
  for (int r = firstRow; r < endRow; S -= decrement, ++r) {
    const int64_t increment = RoundHalfUp(S);
    const int64_t X0 =
        RoundHalfUp((static_cast<float>(g.W) * 65536.0f - static_cast<float>(g.OutW) * S) * 0.5f);
    const uint8_t* p = image + static_cast<size_t>(r) * g.W;
    uint8_t* out = work + static_cast<size_t>(r) * g.OutW;
    int i = 0;
#if defined(__SSE2__)
    // The source column moves monotonically along the row, so the outputs whose four taps all lie
    // inside it form one run [begin, end); only the few outputs around it need clamped taps.
    auto inside = [&](int column) {
      const int64_t x = (X0 + column * increment) >> 16;
      return x >= 1 && x + 2 <= lastColumn;
    };
    int begin = 0, end = g.OutW;
    while (begin < end && !inside(begin)) ++begin;
    while (end > begin && !inside(end - 1)) --end;
    if (g.W < (1 << 15)) {
      for (; i < begin; ++i) out[i] = FirstPassPixel(p, lastColumn, X0 + i * increment);
      for (; i + 8 <= end; i += 8) {
        FirstPassEight(p, static_cast<uint32_t>(X0 + i * increment), static_cast<uint32_t>(increment),
                       out + i);
      }
    }
#endif
    for (; i < g.OutW; ++i) out[i] = FirstPassPixel(p, lastColumn, X0 + i * increment);
  }
}

void FixedSecondPass(const Geometry& g, const uint8_t* work, uint8_t* image, int firstRow,
                     int endRow) {
  const auto& kernel = KernelTable();
  const int lastRow = g.H - 1;
  const size_t pitch = static_cast<size_t>(g.OutW);
  for (int j = firstRow; j < endRow; ++j) {
    const int32_t Y = SecondPassPosition(g, j);
    const int y = Y >> 8;
    const int16_t* w = kernel[(Y >> 2) & 63];
    const uint8_t* r0 = work + pitch * ClampIndex(y, 0, lastRow);
    const uint8_t* r1 = work + pitch * ClampIndex(int64_t{y} + 1, 0, lastRow);
    const uint8_t* rm = work + pitch * ClampIndex(int64_t{y} - 1, 0, lastRow);
    const uint8_t* r2 = work + pitch * ClampIndex(int64_t{y} + 2, 0, lastRow);
    uint8_t* out = image + pitch * j;
    int c = 0;
#if defined(__SSE2__)
    // Eight columns at a time: the byte samples widened to 16 bits, each pair of taps multiplied
    // and added in 32 bits (the same products and sums as below), and the result packed with
    // saturation, which is the clamp to 0..255.
    const __m128i zero = _mm_setzero_si128();
    const __m128i w01 = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(w[0]) |
                                                            (static_cast<uint32_t>(static_cast<uint16_t>(w[1])) << 16)));
    const __m128i w23 = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(w[2]) |
                                                            (static_cast<uint32_t>(static_cast<uint16_t>(w[3])) << 16)));
    const __m128i half = _mm_set1_epi32(8192);
    for (; c + 8 <= g.OutW; c += 8) {
      auto load = [&](const uint8_t* r) {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(r + c)), zero);
      };
      const __m128i a0 = load(r0), a1 = load(r1), am = load(rm), a2 = load(r2);
      const __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a0, a1), w01),
                                       _mm_madd_epi16(_mm_unpacklo_epi16(am, a2), w23));
      const __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a0, a1), w01),
                                       _mm_madd_epi16(_mm_unpackhi_epi16(am, a2), w23));
      const __m128i s16 = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(lo, half), 14),
                                          _mm_srai_epi32(_mm_add_epi32(hi, half), 14));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + c), _mm_packus_epi16(s16, s16));
    }
#endif
    for (; c < g.OutW; ++c) {
      const int32_t sum = w[0] * r0[c] + w[1] * r1[c] + w[2] * rm[c] + w[3] * r2[c] + 8192;
      out[c] = ClampPixel(sum >> 14);
    }
  }
}

}  // namespace LiveScanAlg::distortion
