// Helpers of the finger crop-window placement.

#include "CropWindow.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

int BlockMeanThreshold(const int16_t size[2], const uint8_t* image, int top, int left, int height, int width,
                       int block, uint8_t* means) {
  if (size == nullptr || image == nullptr || means == nullptr || block < 1) return -1;
  const int imageWidth = size[0], imageHeight = size[1];
  if (top < 0 || left < 0 || height < 0 || width < 0 || top + height > imageHeight || left + width > imageWidth)
    return -1;
  const int rows = height / block, cols = width / block;
  int hist[256] = {};
  int64_t total = 0;
  for (int br = 0; br < rows; ++br)
    for (int bc = 0; bc < cols; ++bc) {
      int sum = 0;
      for (int y = 0; y < block; ++y) {
        const uint8_t* p = image + static_cast<size_t>(top + br * block + y) * imageWidth + left + bc * block;
        for (int x = 0; x < block; ++x) sum += p[x];
      }
      const int mean = sum / block / block;
      means[static_cast<size_t>(br) * cols + bc] = static_cast<uint8_t>(mean);
      ++hist[mean];
      total += mean;
    }
  const int n = rows * cols;
  int lo = 0;
  while (lo < 256 && hist[lo] == 0) ++lo;
  // The top level is not counted: a clipped white background would be the highest peak.
  int hi = 254;
  while (hi >= 0 && hist[hi] == 0) --hi;
  if (n == 0 || hi - lo < 10) {
    std::printf("ERROR: The histogram is too narrow !!! (%d, %d)\n", lo, hi);
    return -1;
  }
  const int mean = static_cast<int>(total / n);
  int threshold = mean;
  int minCount = hist[mean], minLevel = mean, maxCount = hist[mean];
  for (int l = mean; l <= hi; ++l) {
    if (hist[l] < minCount) minCount = hist[l], minLevel = l;
    if (hist[l] > maxCount) {
      maxCount = hist[l];
      threshold = minLevel;
    }
  }
  return threshold;
}

int DensestCropWindow(const uint8_t* map, int rows, int cols, int cropRows, int cropCols, int* minRow, int* maxRow,
                      int* minCol, int* maxCol) {
  if (map == nullptr || rows < 1 || cols < 1 || minRow == nullptr || maxRow == nullptr || minCol == nullptr ||
      maxCol == nullptr)
    return 0;
  auto at = [&](int r, int c) { return map[static_cast<size_t>(r) * cols + c] != 0; };
  int r0 = 0, r1 = rows - 1, c0 = 0, c1 = cols - 1;
  if (*minRow != *maxRow && *minCol != *maxCol) {
    r0 = std::max(0, *maxRow - cropRows + 1);
    r1 = std::min(rows - 1, *minRow + cropRows - 1);
    c0 = std::max(0, *maxCol - cropCols + 1);
    c1 = std::min(cols - 1, *minCol + cropCols - 1);
  }
  // Frame lines: a dense row or column among the map's first or last eight moves the edge past it.
  auto rowDense = [&](int r) {
    int n = 0;
    for (int c = 0; c < cols; ++c) n += at(r, c);
    return 4 * n > 3 * cols;
  };
  auto colDense = [&](int c) {
    int n = 0;
    for (int r = 0; r < rows; ++r) n += at(r, c);
    return 4 * n > 3 * rows;
  };
  for (int r = 0; r < 8 && r < rows; ++r)
    if (r >= r0 && r <= r1 && rowDense(r)) r0 = r + 1;
  for (int r = rows - 1; r >= rows - 8 && r >= 0; --r)
    if (r >= r0 && r <= r1 && rowDense(r)) r1 = r - 1;
  for (int c = 0; c < 8 && c < cols; ++c)
    if (c >= c0 && c <= c1 && colDense(c)) c0 = c + 1;
  for (int c = cols - 1; c >= cols - 8 && c >= 0; --c)
    if (c >= c0 && c <= c1 && colDense(c)) c1 = c - 1;

  const int wr = std::clamp(cropRows * 9 / 10, 1, rows), wc = std::clamp(cropCols * 9 / 10, 1, cols);
  // Window tops and lefts inside the search box (at least one position, inside the map).
  const int topFirst = std::clamp(r0, 0, rows - wr), topLast = std::clamp(r1 - wr + 1, topFirst, rows - wr);
  const int leftFirst = std::clamp(c0, 0, cols - wc), leftLast = std::clamp(c1 - wc + 1, leftFirst, cols - wc);
  std::vector<int> column(static_cast<size_t>(cols), 0);
  for (int r = topFirst; r < topFirst + wr; ++r)
    for (int c = 0; c < cols; ++c) column[c] += at(r, c);
  int best = -1, bestTop = topFirst, bestLeft = leftFirst;
  for (int t = topFirst; t <= topLast; ++t) {
    if (t > topFirst)
      for (int c = 0; c < cols; ++c) column[c] += at(t + wr - 1, c) - at(t - 1, c);
    int sum = 0;
    for (int c = leftFirst; c < leftFirst + wc; ++c) sum += column[c];
    for (int l = leftFirst; l <= leftLast; ++l) {
      if (l > leftFirst) sum += column[l + wc - 1] - column[l - 1];
      if (sum > best) best = sum, bestTop = t, bestLeft = l;
    }
  }
  int top = bestTop + wr / 2 - cropRows / 2, left = bestLeft + wc / 2 - cropCols / 2;
  top = std::max(0, std::min(top, rows - cropRows));
  left = std::max(0, std::min(left, cols - cropCols));
  *minRow = top;
  *maxRow = top + cropRows - 1;
  *minCol = left;
  *maxCol = left + cropCols - 1;
  return 0;
}

namespace {

constexpr int kRadius = 9;
constexpr int kMaxPoints = 1000;

// Direction tables, built once: line offsets round(i tan(k pi / 252)), the octant arctangent and
// the ridge-flow values.
struct DirectionTables {
  int offset[64][11];
  int atanTable[1024];
  uint8_t flow[256][256];
};

const DirectionTables& Tables() {
  static DirectionTables tables;
  static std::once_flag built;
  std::call_once(built, [] {
    const double pi = std::acos(-1.0);
    for (int k = 0; k < 64; ++k)
      for (int i = 0; i <= 10; ++i) tables.offset[k][i] = static_cast<int>(std::lround(i * std::tan(k * pi / 252)));
    for (int k = 0; k < 1024; ++k)
      tables.atanTable[k] = static_cast<int>(std::lround(std::atan(k / 1023.0) * 252 / pi));
    for (int i = 0; i < 256; ++i)
      for (int j = 0; j < 256; ++j) {
        const double num = std::abs(255.0 * (i + j) + i * j - 65025.0);
        const double den = 255.0 * (i + j) - i * j + 65025.0;
        tables.flow[i][j] = static_cast<uint8_t>(std::min(255, static_cast<int>(254.0 * num / den + 1.5)));
      }
  });
  return tables;
}

int RoundRatio(int small, int large) {
  return large > 0 ? static_cast<int>(std::lround(255.0 * small / large)) : 255;
}

}  // namespace

void RidgeFlow(const uint8_t* image, int width, int row, int column, int* value, int* direction) {
  const DirectionTables& t = Tables();
  auto px = [&](int r, int c) { return static_cast<int>(image[static_cast<size_t>(r) * width + c]); };
  int s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  const int r0 = row - kRadius, r1 = row + kRadius, c0 = column - kRadius, c1 = column + kRadius;
  for (int r = r0; r <= r1; ++r)
    for (int c = c0; c <= c1; ++c) {
      const int p = px(r, c);
      if (c > c0) s0 += std::abs(p - px(r, c - 1));
      if (r > r0) s2 += std::abs(p - px(r - 1, c));
      if (r > r0 && c > c0) s1 += std::abs(p - px(r - 1, c - 1));
      if (r > r0 && c < c1) s3 += std::abs(p - px(r - 1, c + 1));
    }
  if (s0 + s1 + s2 + s3 < 8 * 9 * 9 || std::max(s1, s3) == 0) {
    *value = 255;
    *direction = 254;
    return;
  }
  *value = t.flow[RoundRatio(std::min(s0, s2), std::max(s0, s2))][RoundRatio(std::min(s1, s3), std::max(s1, s3))];
  int angle;
  if (s0 == s2) {
    *direction = s3 <= s1 ? 189 : 63;
    return;
  }
  if (s0 == 0) {
    *direction = 0;
    return;
  }
  if (s2 == 0) {
    *direction = 126;
    return;
  }
  const double a = std::min(s0, s2), A = std::max(s0, s2), b = std::min(s1, s3), B = std::max(s1, s3);
  const double m = ((a + b) - std::sqrt((a - b) * (a - b) + 2 * (B - b) * (A - a))) / 2;
  const double u = s0 - m, v = s2 - m;
  if (u <= v)
    angle = t.atanTable[v > 0 ? std::clamp(static_cast<int>(std::lround(1023 * u / v)), 0, 1023) : 0];
  else
    angle = 126 - t.atanTable[std::clamp(static_cast<int>(std::lround(1023 * v / u)), 0, 1023)];
  *direction = s1 <= s3 ? angle : 252 - angle;
}

int LineRidgeCount(const uint8_t* image, const int16_t size[2], int* columns, int* rows, int* ridgeFlags,
                   int* directions, int* pointCount) {
  if (image == nullptr || size == nullptr || columns == nullptr || rows == nullptr || ridgeFlags == nullptr ||
      directions == nullptr || pointCount == nullptr)
    return -1;
  const int width = size[0], height = size[1];
  const int x0 = columns[0], y0 = rows[0], x1 = columns[1], y1 = rows[1];
  const int dx = x1 - x0, dy = y1 - y0;
  const bool alongColumns = std::abs(dx) >= std::abs(dy);
  const int steps = alongColumns ? std::abs(dx) : std::abs(dy);
  // The points, borders skipped.
  int n = 0;
  for (int s = 0; s < steps; ++s) {
    int x, y;
    if (alongColumns) {
      x = x0 + (dx > 0 ? s : -s);
      y = y0 + static_cast<int>(static_cast<int64_t>(dy) * s / steps);
    } else {
      y = y0 + (dy > 0 ? s : -s);
      x = x0 + static_cast<int>(static_cast<int64_t>(dx) * s / steps);
    }
    if (x < kRadius || y < kRadius || x >= width - kRadius || y >= height - kRadius) continue;
    if (n == kMaxPoints) {
      *pointCount = n;
      return -1;
    }
    columns[n] = x;
    rows[n] = y;
    ++n;
  }
  *pointCount = n;
  if (n < 11) return 0;
  const DirectionTables& t = Tables();
  auto px = [&](int r, int c) { return static_cast<int>(image[static_cast<size_t>(r) * width + c]); };
  for (int i = 1; i < n; ++i)
    if (std::abs(columns[i] - columns[i - 1]) > 1 || std::abs(rows[i] - rows[i - 1]) > 1) return -1;

  int count = 0, gap = 0, run = 0, previousRun = 0;
  bool inRidge = false;
  ridgeFlags[0] = 0;
  for (int i = 0; i < n; ++i) {
    const int r = rows[i], c = columns[i];
    int value = 0, dir = 0;
    RidgeFlow(image, width, r, c, &value, &dir);
    directions[i] = dir * 360 / 504;
    if (i == 0) continue;  // the first point only starts the sums
    int windowSum = 0;
    for (int y = r - kRadius; y <= r + kRadius; ++y)
      for (int x = c - kRadius; x <= c + kRadius; ++x) windowSum += px(y, x);
    bool ridge = false;
    if (value == 0 || value >= 176) {
      ridge = false;
    } else if (value >= 160) {
      ridge = px(r, c) * 361 < windowSum;
    } else {
      // The digital line through the point along the estimated direction.
      const bool majorColumns = dir <= 63 || dir >= 190;
      const int e = dir <= 63 ? dir : dir <= 126 ? 126 - dir : dir <= 189 ? dir - 126 : 252 - dir;
      const int sign = (dir <= 63 || (dir >= 64 && dir <= 126)) ? 1 : -1;
      int lineSum = px(r, c);
      for (int k = 1; k <= kRadius; ++k) {
        const int o = sign * t.offset[e][k];
        if (majorColumns)
          lineSum += px(r + o, c + k) + px(r - o, c - k);
        else
          lineSum += px(r + k, c + o) + px(r - k, c - o);
      }
      ridge = windowSum - 19.0 * lineSum >= 270.75;
    }
    ridgeFlags[i] = ridge ? 1 : 0;
    if (i == 1) {
      count = ridge ? 1 : 0;
      inRidge = ridge;
      run = ridge ? 1 : 0;
      gap = ridge ? 0 : 1;
      continue;
    }
    if (ridge) {
      if (!inRidge) {
        if (gap >= 3 && previousRun >= 3) ++count;
        run = 0;
        inRidge = true;
      }
      ++run;
    } else {
      if (inRidge) {
        previousRun = run;
        gap = 0;
        inRidge = false;
      }
      ++gap;
    }
  }
  return count;
}
