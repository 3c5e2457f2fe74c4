#pragma once
// The fixed-point keystone correction written out plainly, for comparing the library's pixels
// with: the geometry from the six values in single precision, the cubic kernel (a = -1) in Q14
// weights per 1/64 phase, every one of the four taps clamped to the image, 64-bit sums, one output
// at a time.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace keystonereference {

struct Corrected {
  int width = 0, height = 0;
  std::vector<uint8_t> horizontal;  // after the horizontal pass: height of the input x width
  std::vector<uint8_t> pixels;      // height x width
};

inline double Cubic(double t) {
  const double x = std::abs(t);
  if (x < 1) return x * x * x - 2 * x * x + 1;
  if (x < 2) return -x * x * x + 5 * x * x - 8 * x + 4;
  return 0;
}

// Weight of the sample at offset k (-1, 0, 1, 2) from the whole position, at phase / 64 past it.
inline int64_t Weight(int phase, int k) {
  return static_cast<int64_t>(std::trunc(16384.0 * Cubic(phase / 64.0 - k)));
}

// sum_k Weight(phase, k) x sample(whole + k), rounded and clamped to a byte.
template <typename Sample>
uint8_t FourTaps(int64_t whole, int phase, Sample sample) {
  int64_t sum = 8192;
  for (int k = -1; k <= 2; ++k) sum += Weight(phase, k) * sample(whole + k);
  return static_cast<uint8_t>(std::clamp<int64_t>(sum >> 14, 0, 255));
}

// Horizontal pass into `width` outputs per row: row r is scaled by a step that starts at m / K and
// loses s / K per row, summed row by row in single precision, and centred on the row; positions in
// 16.16 fixed point.
inline std::vector<uint8_t> Horizontal(const std::vector<uint8_t>& image, int W, int H, int width, float m,
                                       float s, float K) {
  std::vector<uint8_t> out(static_cast<size_t>(H) * width);
  const float decrement = s * 65536.0f / K;
  float step = m * 65536.0f / K;
  for (int r = 0; r < H; ++r, step -= decrement) {
    const int64_t increment = static_cast<int64_t>(step + 0.5f);
    const int64_t x0 =
        static_cast<int64_t>((static_cast<float>(W) * 65536.0f - static_cast<float>(width) * step) * 0.5f + 0.5f);
    const uint8_t* row = image.data() + static_cast<size_t>(r) * W;
    for (int i = 0; i < width; ++i) {
      const int64_t X = x0 + i * increment;
      out[static_cast<size_t>(r) * width + i] =
          FourTaps(X >> 16, static_cast<int>((X >> 10) & 63),
                   [&](int64_t c) { return int64_t{row[std::clamp<int64_t>(c, 0, W - 1)]}; });
    }
  }
  return out;
}

// image is W x H; set holds A, B, L, E, G, K.
inline Corrected Correct(const std::vector<uint8_t>& image, int W, int H, const int (&set)[6]) {
  const float A = static_cast<float>(set[0]), B = static_cast<float>(set[1]), L = static_cast<float>(set[2]);
  const float E = static_cast<float>(set[3]), G = static_cast<float>(set[4]), K = static_cast<float>(set[5]);
  const float fH = static_cast<float>(H), fW = static_cast<float>(W);
  const float s = (A - B) / L;
  const float u = B / s;
  const float v = u - (fH - L - E);
  const float V = v + fH;
  const float m = A + E * s;
  const float g = G * u;
  const float P = (u + L) * g;
  const float q = (P - V * g) / L / V;
  const float d = A > B ? m : m - fH * s;
  Corrected out;
  out.width = static_cast<int>(static_cast<int64_t>(fW * (K / d) + 0.5f) - 8);
  out.height = static_cast<int>(static_cast<int64_t>((P - g * v) / L / v - q + 0.5f) - 8);

  out.horizontal = Horizontal(image, W, H, out.width, m, s, K);

  // Vertical: output row j samples row V - P / (g + (q + 4 + j) L), in 24.8 fixed point.
  out.pixels.resize(static_cast<size_t>(out.height) * out.width);
  for (int j = 0; j < out.height; ++j) {
    const float D = g + (q + 4.0f) * L + static_cast<float>(j) * L;
    const int64_t Y = static_cast<int64_t>(256.0f * (V - P / D));
    for (int c = 0; c < out.width; ++c) {
      out.pixels[static_cast<size_t>(j) * out.width + c] = FourTaps(
          Y >> 8, static_cast<int>((Y >> 2) & 63), [&](int64_t r) {
            return int64_t{out.horizontal[static_cast<size_t>(std::clamp<int64_t>(r, 0, H - 1)) * out.width + c]};
          });
    }
  }
  return out;
}

}  // namespace keystonereference
