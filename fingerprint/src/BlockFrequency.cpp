// Block-frequency analysis of fingerprint cells and its 16 x 16 FFT.
#include "BlockFrequency.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "SlapSegmentation.h"
#include "irisalg/Fft.h"

namespace {

constexpr int kMaxFftSide = 64;

constexpr int kWindow = kSpectrumSide;

// Power spectrum of one analysis window, zero frequency moved to (8, 8).
void ShiftedPower(const uint8_t window[kWindow * kWindow], float power[kWindow][kWindow]) {
  double re[kWindow * kWindow], im[kWindow * kWindow];
  ByteBlockFft(window, kWindow, kWindow, re, im);
  for (int r = 0; r < kWindow; ++r)
    for (int c = 0; c < kWindow; ++c) {
      const int i = r * kWindow + c;
      power[(r + 8) % kWindow][(c + 8) % kWindow] =
          static_cast<float>((re[i] * re[i] + im[i] * im[i]) / 256.0);
    }
}

int DirectionDegrees(int dr, int dc) {
  int theta = static_cast<int>(std::atan2(static_cast<double>(dr), static_cast<double>(dc)) * 180.0 /
                               std::numbers::pi);
  if (theta < 0) theta += 180;
  return theta;
}

}  // namespace

int SpectrumRidgeScore(const float p[kSpectrumSide][kSpectrumSide], bool strict) {
  int r1 = 0, c1 = 0;
  float p1 = 0.0f;
  for (int r = 0; r < kWindow; ++r)
    for (int c = 0; c < kWindow; ++c)
      if (p[r][c] > p1) {
        p1 = p[r][c];
        r1 = r;
        c1 = c;
      }
  int r2 = 0, c2 = 0;
  float p2 = 0.0f;
  for (int r = 0; r < kWindow; ++r)
    for (int c = 0; c < kWindow; ++c)
      if (!(r == r1 && c == c1) && p[r][c] >= p2) {
        p2 = p[r][c];
        r2 = r;
        c2 = c;
      }
  if (p1 <= 0.0f || p2 / p1 < 0.0002f) return 0;
  const int d12 = (r2 - r1) * (r2 - r1) + (c2 - c1) * (c2 - c1);
  if (d12 <= (strict ? 3 : 1)) return 0;
  const int rm = 2 * r1 - r2, cm = 2 * c1 - c2;
  if (rm < 0 || rm >= kWindow || cm < 0 || cm >= kWindow) return 0;
  if (std::fabs(p[rm][cm] - p2) >= 20.0f) return 0;
  for (int r = 0; r < kWindow; ++r)
    for (int c = 0; c < kWindow; ++c) {
      if (r == r1 && c == c1) continue;
      const int d2 = (r - r1) * (r - r1) + (c - c1) * (c - c1);
      if ((d2 >= 64 && p[r][c] > 0.15f * p2) || (d2 >= 49 && d2 < 64 && p[r][c] > 0.3f * p2) ||
          (d2 >= 40 && d2 < 49 && p[r][c] > 0.45f * p2))
        return 0;
    }
  const int theta = DirectionDegrees(r2 - r1, c2 - c1);
  int worst = 0;
  for (int r = 0; r < kWindow; ++r)
    for (int c = 0; c < kWindow; ++c) {
      if (!(p[r][c] > 0.4f * p2) || (std::abs(r - r1) < 2 && std::abs(c - c1) < 2)) continue;
      int dev = std::abs(theta - DirectionDegrees(r - r1, c - c1));
      if (dev > 90) dev = 180 - dev;
      worst = std::max(worst, dev);
    }
  if (worst >= 65) return 0;
  double a = 0.0, b = 0.0;
  for (int r = r2 - 1; r <= r2 + 1; ++r)
    for (int c = c2 - 1; c <= c2 + 1; ++c)
      if (r >= 0 && r < kWindow && c >= 0 && c < kWindow && !(r == r1 && c == c1) && p[r][c] > 0.1f * p2)
        a += p[r][c];
  a *= 2.0;
  for (int r = r1 - 7; r <= r1 + 7; ++r)
    for (int c = c1 - 7; c <= c1 + 7; ++c)
      if (r >= 0 && r < kWindow && c >= 0 && c < kWindow && !(r == r1 && c == c1) && p[r][c] > 0.1f * p2)
        b += p[r][c];
  const double ratio = b > 0.0 ? a / b : 0.0;
  const int code = static_cast<int>(ratio * 150.0 + 100.0);
  return code >= 256 ? 255 : code;
}

namespace {

// Relabels the region of `from` at the seed to a temporary label, counts it, and gives it its
// final label by the count.
int CountAndRelabel(uint8_t* map, int lines, int length, int seedLine, int seedColumn, int from, int temp,
                    int limit, int above, int atMost) {
  RegionMeasure m;
  const int n = FillLabelRegion(map, lines, length, seedLine, seedColumn, from, temp, &m);
  RegionMeasure ignored;
  FillLabelRegion(map, lines, length, seedLine, seedColumn, temp, n > limit ? above : atMost, &ignored);
  return n;
}

}  // namespace

int ByteBlockFft(const uint8_t* block, int rows, int cols, double* re, double* im) {
  if (rows > kMaxFftSide || cols > kMaxFftSide) return -1;
  if (!irisalg::IsPowerOfTwo(rows) || !irisalg::IsPowerOfTwo(cols) || block == nullptr || re == nullptr ||
      im == nullptr)
    return -1;
  std::complex<double> data[kMaxFftSide * kMaxFftSide];
  for (int i = 0; i < rows * cols; ++i) data[i] = std::complex<double>(block[i], 0.0);
  irisalg::FftPlan rowPlan(cols, 1), columnPlan(rows, 1);
  for (int r = 0; r < rows; ++r) rowPlan.Run(data + r * cols);
  for (int c = 0; c < cols; ++c) columnPlan.Run(data + c, cols);
  for (int i = 0; i < rows * cols; ++i) {
    re[i] = data[i].real();
    im[i] = data[i].imag();
  }
  return 0;
}

int FillLabelRegion(uint8_t* map, int lineCount, int lineLength, int seedLine, int seedColumn, int from,
                    int to, RegionMeasure* measure) {
  RegionMeasure local;
  RegionMeasure& m = measure != nullptr ? *measure : local;
  m = RegionMeasure{};
  if (map == nullptr || seedLine < 0 || seedLine >= lineCount || seedColumn < 0 || seedColumn >= lineLength)
    return 0;
  uint8_t& seed = map[static_cast<size_t>(seedLine) * lineLength + seedColumn];
  if (seed != static_cast<uint8_t>(from) || from == to) return 0;
  seed = static_cast<uint8_t>(to);
  m = {seedLine, seedLine, seedColumn, seedColumn, seedLine, seedColumn, 1};
  FillRegion(map, lineLength, seedLine, seedColumn, 0, lineCount, 0, lineLength, from, to, &m.minLine,
             &m.maxLine, &m.minColumn, &m.maxColumn, &m.sumLine, &m.sumColumn, &m.count);
  return m.count;
}

int AnalyseBlockFrequency(const uint8_t* image, int lineCount, int lineLength, int radius,
                          int minRidgeRegion, int maxHole, int strict, uint8_t* cellMap) {
  if (image == nullptr || cellMap == nullptr || lineCount <= 0 || lineLength <= 0) return 0;
  const int cellRows = lineCount / 4, cellCols = lineLength / 4;
  const int cells = cellRows * cellCols;
  if (cells == 0) return 0;
  const int oy = (lineCount % 4) / 2, ox = (lineLength % 4) / 2;
  uint8_t* codes = cellMap;
  uint8_t* labels = cellMap + cells;

  // 1. Mean of the grey values given per cell.
  long long greySum = 0;
  for (int i = 0; i < cells; ++i) greySum += labels[i];
  const int meanGrey = static_cast<int>(greySum / cells);

  // 2. Ridge score of every cell.
  for (int i = 0; i < cellRows; ++i)
    for (int j = 0; j < cellCols; ++j) {
      uint8_t& code = codes[i * cellCols + j];
      code = kCellNoPattern;
      const int top = oy + 4 * i - 6, left = ox + 4 * j - 6;
      uint8_t window[kWindow * kWindow];
      double sum = 0.0, sumSq = 0.0;
      int n = 0;
      for (int r = 0; r < kWindow; ++r)
        for (int c = 0; c < kWindow; ++c) {
          const int y = top + r, x = left + c;
          uint8_t v = 255;
          if (y >= 0 && y < lineCount && x >= 0 && x < lineLength) {
            v = image[static_cast<size_t>(y) * lineLength + x];
            sum += v;
            sumSq += static_cast<double>(v) * v;
            ++n;
          }
          window[r * kWindow + c] = v;
        }
      if (n == 0) continue;
      const double mean = sum / n;
      const double variance = sumSq / n - mean * mean;
      if (variance < 15.0) continue;
      float power[kWindow][kWindow];
      ShiftedPower(window, power);
      code = static_cast<uint8_t>(SpectrumRidgeScore(power, strict != 0));
    }

  // 3. A score with no scoring neighbour is demoted.
  for (int i = 1; i < cellRows - 1; ++i)
    for (int j = 1; j < cellCols - 1; ++j) {
      uint8_t& code = codes[i * cellCols + j];
      if (code < kCellRidgeMin) continue;
      if (codes[(i - 1) * cellCols + j] < kCellRidgeMin && codes[(i + 1) * cellCols + j] < kCellRidgeMin &&
          codes[i * cellCols + j - 1] < kCellRidgeMin && codes[i * cellCols + j + 1] < kCellRidgeMin)
        code = kCellIsolated;
    }

  // 4. Dark cells without a pattern amid strong neighbours are filled in.
  if (radius >= 0) {
    for (int i = radius; i < cellRows - radius; ++i)
      for (int j = radius; j < cellCols - radius; ++j) {
        uint8_t& code = codes[i * cellCols + j];
        if (code != kCellNoPattern || labels[i * cellCols + j] >= meanGrey) continue;
        long long strong = 0;
        for (int a = i - radius; a <= i + radius; ++a)
          for (int b = j - radius; b <= j + radius; ++b)
            if (codes[a * cellCols + b] >= kCellRidgeMin) strong += codes[a * cellCols + b];
        if (strong >= 200LL * radius * radius) code = kCellFilled;
      }
  }

  // 5. Regions.
  constexpr uint8_t kRidge = 200, kTempHole = 1, kTempRidge = 2;
  for (int i = 0; i < cells; ++i) labels[i] = codes[i] < kCellFilled ? 0 : kRidge;
  for (int i = 0; i < cellRows; ++i) labels[i * cellCols] = labels[i * cellCols + cellCols - 1] = 0;
  for (int j = 0; j < cellCols; ++j) labels[j] = labels[(cellRows - 1) * cellCols + j] = 0;
  FillLabelRegion(labels, cellRows, cellCols, 0, 0, 0, kRegionBorderBackground, nullptr);
  for (int i = 0; i < cellRows; ++i)
    for (int j = 0; j < cellCols; ++j)
      if (labels[i * cellCols + j] == 0)
        CountAndRelabel(labels, cellRows, cellCols, i, j, 0, kTempHole, maxHole, kRegionLargeHole, kRidge);
  for (int i = 0; i < cellRows; ++i)
    for (int j = 0; j < cellCols; ++j)
      if (labels[i * cellCols + j] == kRidge)
        CountAndRelabel(labels, cellRows, cellCols, i, j, kRidge, kTempRidge, minRidgeRegion, kRegionLargeRidge,
                        kRegionSmallRidge);

  // 6. Final codes.
  for (int i = 0; i < cells; ++i) {
    if (codes[i] < kCellFilled && labels[i] >= 21)
      codes[i] = kCellInsideRidge;
    else if (codes[i] >= 81 && labels[i] < 50)
      codes[i] = kCellOutsideRidge;
  }
  return 0;
}
