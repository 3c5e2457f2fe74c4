// Finger presence on the platen, hand movement between two frames and the search for the bright
// active window of a platen image.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "LiveScanAlgInternal.h"

namespace LiveScanAlg {

namespace {

constexpr int kFingerBlock = 17;          // presence blocks are 17 x 17 pixels
constexpr long long kMinFingerPixels = 42000;
constexpr double kMaxFingerMean = 240.0;
constexpr int kMinCorrelationPairs = 550;
constexpr int kBrightLimit = 235;
constexpr Cordinate2DType kDefaultActiveCorner{392, 261};

// The grid test shared by both fast presence tests. Returns the finger flag; the passing and
// failing block counts and the failing blocks' offset sums go to the caller.
struct GridResult {
  int fingerOn = 0;
  int passing = 0;
  int failing = 0;
  long long columnSum = 0;
  long long rowSum = 0;
};

GridResult RunFingerGrid(int gridLimit, float varThreshold, const unsigned char* image, int width,
                         int height) {
  GridResult g;
  int grid = std::min(std::min(width, height) / 16 / 2, gridLimit);
  if (grid < 1) grid = 1;
  for (int i = 0; i < grid; ++i) {
    for (int j = 0; j < grid; ++j) {
      const int x = static_cast<int>(static_cast<long long>(width) * (i + 1) / (grid + 1));
      const int y = static_cast<int>(static_cast<long long>(height) * (j + 1) / (grid + 1));
      int flag = 0;
      TestFingerBlock(varThreshold, image, width, height, x, y, x + kFingerBlock - 1,
                      y + kFingerBlock - 1, 1, &flag);
      if (flag) {
        ++g.passing;
      } else {
        ++g.failing;
        g.columnSum += static_cast<long long>(width) * i / grid - width / 2;
        g.rowSum += static_cast<long long>(height) * j / grid - height / 2;
      }
    }
  }
  if (static_cast<float>(g.passing) <= 0.8f * static_cast<float>(grid) * static_cast<float>(grid)) {
    return g;
  }
  long long dark = 0, sum = 0;
  const std::size_t n = PixelCount(height, width);
  for (std::size_t k = 0; k < n; ++k) {
    if (image[k] < 255) {
      ++dark;
      sum += image[k];
    }
  }
  if (dark >= kMinFingerPixels &&
      static_cast<double>(sum) / static_cast<double>(dark) <= kMaxFingerMean) {
    g.fingerOn = 1;
  }
  return g;
}

}  // namespace

int TestFingerBlock(float varThreshold, const unsigned char* image, int width, int height, int x0,
                    int y0, int x1, int y1, int step, int* flag) {
  if (IsMissing(image) || width < 1 || height < 1 || step < 1) return LSA_INVALID_INPUT;
  x0 = std::clamp(x0, 0, width - 1);
  x1 = std::clamp(x1, 0, width - 1);
  y0 = std::clamp(y0, 0, height - 1);
  y1 = std::clamp(y1, 0, height - 1);
  HistogramType h;
  for (int i = 0; i < 256; ++i) h.entry[i] = {i, 0};
  for (int y = y0; y <= y1; y += step) {
    const unsigned char* row = image + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (int x = x0; x <= x1; x += step) h.entry[row[x]].count += step;
  }
  float variance = 0.0f;
  CalculateHistogramStatistics(&h, nullptr, nullptr, nullptr, &variance, nullptr);
  if (varThreshold > variance) return LSA_SMALL_VARIANCE;
  if (!IsMissing(flag)) *flag = 1;
  return LSA_PASSED;
}

int IsFingerON(int height, int width, unsigned char* image, int varThreshold, int* fingerOn,
               float* variance) {
  int on = 0;
  float var = IsMissing(variance) ? 0.0f : *variance;
  int result = LSA_PASSED;
  StitchParameterType* p = GetParameter();
  if (!p) {
    result = LSA_NO_MEMORY;
  } else if (height < 1) {
    result = LSA_INVALID_INPUT1;
  } else if (width < 1) {
    result = LSA_INVALID_INPUT2;
  } else if (IsMissing(image)) {
    result = LSA_INVALID_INPUT3;
  } else {
    BuildHistogram(image, PixelCount(height, width), &p->LastHistogram);
    result = CalculateHistogramStatistics(&p->LastHistogram, &p->LastMinLevel, &p->LastMaxLevel,
                                          &p->LastMean, &p->LastVariance, &p->LastMeanDeviation);
    var = p->LastVariance;
    if (result == LSA_PASSED) {
      if (p->LastMinLevel > p->WhiteLevelThreshold) {
        result = LSA_TOO_WHITE;
      } else if (p->LastMaxLevel < p->DarkLevelThreshold) {
        result = LSA_TOO_DARK;
      } else if (p->LastMaxLevel - p->LastMinLevel < p->DynamicRangeThreshold) {
        result = LSA_SMALL_DYNAMIC_RANGE;
      } else if (static_cast<float>(varThreshold) > var) {
        result = LSA_SMALL_VARIANCE;
      } else {
        on = 1;
      }
    }
  }
  if (!IsMissing(fingerOn)) *fingerOn = on;
  if (!IsMissing(variance)) *variance = var;
  if (p) {
    p->LastFingerOn = on;
    p->LastFingerVariance = var;
  }
  return result;
}

void IsFingerOnFast(int gridLimit, float varThreshold, unsigned char* image, int width, int height,
                    int* fingerOn) {
  if (IsMissing(fingerOn)) return;
  *fingerOn = 0;
  if (IsMissing(image) || width < 1 || height < 1) return;
  *fingerOn = RunFingerGrid(gridLimit, varThreshold, image, width, height).fingerOn;
}

void IsFingerOnFast1(int gridLimit, float varThreshold, const unsigned char* image, int width,
                     int height, int* fingerOn, Cordinate2DType* offset) {
  if (!IsMissing(fingerOn)) *fingerOn = 0;
  if (!IsMissing(offset)) *offset = {0, 0};
  if (IsMissing(image) || width < 1 || height < 1) return;
  const GridResult g = RunFingerGrid(gridLimit, varThreshold, image, width, height);
  if (!IsMissing(fingerOn)) *fingerOn = g.fingerOn;
  if (IsMissing(offset)) return;
  if (g.fingerOn) {
    *offset = {static_cast<int32_t>(g.columnSum), static_cast<int32_t>(g.rowSum)};
  } else if (g.passing >= 3 && g.failing >= 1) {
    // The mean offset of the failing blocks, in both directions.
    *offset = {static_cast<int32_t>(g.columnSum / g.failing),
               static_cast<int32_t>(g.rowSum / g.failing)};
  }
}

void IsPalmMoving(int height, int width, const unsigned char* first, const unsigned char* second,
                  int threshold, int* differing, int* moving) {
  long long count = 0;
  if (!IsMissing(first) && !IsMissing(second) && height > 0 && width > 0) {
    const std::size_t n = PixelCount(height, width);
    for (std::size_t i = 0; i < n; ++i) count += first[i] != second[i];
  }
  if (!IsMissing(differing)) *differing = static_cast<int>(count);
  if (!IsMissing(moving)) *moving = count > threshold ? 1 : 0;
}

void IsPalmMoving1(int step, int height, int width, const unsigned char* first,
                   const unsigned char* second, float threshold, int* used, int* moving) {
  if (!IsMissing(moving)) *moving = 1;
  if (!IsMissing(used)) *used = 0;
  if (IsMissing(first) || IsMissing(second) || height < 1 || width < 1 || step < 1) return;
  const std::size_t n = PixelCount(height, width);
  // The sums are of whole numbers and stay far below 2^53 for any image that fits in memory, so
  // integer sums equal sums taken in double precision; integers let the compiler use vector lanes.
  int64_t ia = 0, ib = 0, iaa = 0, iab = 0, ibb = 0, pairs = 0;
  auto sum = [&](std::size_t stride) {
    for (std::size_t i = 0; i < n; i += stride) {
      const int64_t a = first[i];
      const int64_t b = second[i];
      const int64_t take = (first[i] < kBrightLimit || second[i] < kBrightLimit) ? 1 : 0;
      ia += take * a;
      ib += take * b;
      iaa += take * a * a;
      iab += take * a * b;
      ibb += take * b * b;
      pairs += take;
    }
  };
  if (step == 1) {
    sum(1);
  } else {
    sum(static_cast<std::size_t>(step));
  }
  const double sa = static_cast<double>(ia), sb = static_cast<double>(ib);
  const double saa = static_cast<double>(iaa), sab = static_cast<double>(iab),
               sbb = static_cast<double>(ibb);
  if (!IsMissing(used)) *used = static_cast<int>(pairs);
  double r = 0.0;
  if (pairs > kMinCorrelationPairs) {
    const double count = static_cast<double>(pairs);
    const double ma = sa / count;
    const double mb = sb / count;
    const double root = std::sqrt((sbb - count * mb * mb) * (saa - count * ma * ma));
    if (root > 0) r = (sab - count * ma * mb) / root;
  }
  if (r > threshold && !IsMissing(moving)) *moving = 0;
}

int DetectActiveArea(int height, int width, unsigned char* image, Cordinate2DType window,
                     Cordinate2DType from, Cordinate2DType to, Cordinate2DType* origin) {
  if (IsMissing(origin)) return LSA_INVALID_POINTER;
  *origin = kDefaultActiveCorner;
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  if (window.x < 1 || window.y < 1) return LSA_INVALID_INPUT;
  HistogramType h;
  BuildHistogram(image, PixelCount(height, width), &h);

  // Threshold: the level at which the brightest pixels first outnumber the window's area.
  const long long area = static_cast<long long>(window.x) * window.y;
  int threshold = 255;
  long long running = 0;
  for (int level = 255; level >= 1; --level) {
    running += h.entry[level].count;
    if (running > area) {
      threshold = level;
      break;
    }
  }

  // Integral image with 64-bit sums: (width + 1) x (height + 1), row 0 and column 0 zero.
  const std::size_t stride = static_cast<std::size_t>(width) + 1;
  std::vector<uint64_t> integral;
  try {
    integral.assign(stride * (static_cast<std::size_t>(height) + 1), 0);
  } catch (const std::bad_alloc&) {
    return LSA_NO_MEMORY;
  }
  for (int y = 0; y < height; ++y) {
    uint64_t rowSum = 0;
    const unsigned char* row = image + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (int x = 0; x < width; ++x) {
      rowSum += row[x];
      integral[(y + 1) * stride + x + 1] = integral[y * stride + x + 1] + rowSum;
    }
  }

  // The brightest window among the corners whose window lies inside the image.
  Cordinate2DType corner = kDefaultActiveCorner;
  uint64_t best = 0;
  for (int y = std::max(from.y, 0); y <= to.y && y <= height - window.y; ++y) {
    for (int x = std::max(from.x, 0); x <= to.x && x <= width - window.x; ++x) {
      const std::size_t top = static_cast<std::size_t>(y) * stride;
      const std::size_t bottom = static_cast<std::size_t>(y + window.y) * stride;
      const uint64_t sum = integral[bottom + x + window.x] - integral[bottom + x] -
                           integral[top + x + window.x] + integral[top + x];
      if (sum > best) {
        best = sum;
        corner = {x, y};
      }
    }
  }
  // Unsigned, as the threshold test always was: a threshold below 5 never accepts the window.
  if (static_cast<uint32_t>(best / static_cast<uint64_t>(area)) <
      static_cast<uint32_t>(threshold - 5)) {
    corner = kDefaultActiveCorner;
  }

  // From 750 rows below the corner, count the rows until one has more than 35 dark pixels among
  // columns x + 68 .. x + 768 (clipped to the image).
  const int firstColumn = std::max(corner.x + 68, 0);
  const int lastColumn = std::min(corner.x + 768, width - 1);
  int passed = 0;
  for (int y = std::max(corner.y + 750, 0); y < height; ++y) {
    const unsigned char* row = image + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    int dark = 0;
    for (int x = firstColumn; x <= lastColumn; ++x) dark += row[x] < threshold;
    if (dark > 35) break;
    ++passed;
  }
  *origin = {corner.x, corner.y + passed / 2};
  return LSA_PASSED;
}

}  // namespace LiveScanAlg
