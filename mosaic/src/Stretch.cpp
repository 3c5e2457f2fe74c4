// Foreground contrast stretching: grey levels are remapped through a 256-entry table built from the
// image's own histogram, so that ridges become dark and valleys and background white.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "LiveScanAlgInternal.h"

namespace LiveScanAlg {

namespace {

using Table = std::array<unsigned char, 256>;
using Counts = std::array<long long, 256>;

constexpr float kBrightImageMean = 235.0f;  // brighter images are left as they are
constexpr int kMaxLowCut = 230;
constexpr int kCalibrateMinWidth = 2501;
constexpr int kCalibrateSampleStep = 10;

Counts CountLevels(int height, int width, const unsigned char* image) {
  // Four tables counted in turn, so that runs of equal levels don't wait on one counter.
  Counts part[4]{};
  const std::size_t n = PixelCount(height, width);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    ++part[0][image[i]];
    ++part[1][image[i + 1]];
    ++part[2][image[i + 2]];
    ++part[3][image[i + 3]];
  }
  for (; i < n; ++i) ++part[0][image[i]];
  Counts c{};
  for (std::size_t l = 0; l < c.size(); ++l) c[l] = part[0][l] + part[1][l] + part[2][l] + part[3][l];
  return c;
}

void Apply(int height, int width, unsigned char* image, const Table& table) {
  const std::size_t n = PixelCount(height, width);
  for (std::size_t i = 0; i < n; ++i) image[i] = table[image[i]];
}

// Mean grey level of the pixels of levels 0..top (255 when there are none), in single precision.
float MeanUpTo(const Counts& c, int top) {
  long long n = 0, sum = 0;
  for (int l = 0; l <= top; ++l) {
    n += c[static_cast<std::size_t>(l)];
    sum += static_cast<long long>(l) * c[static_cast<std::size_t>(l)];
  }
  return n > 0 ? static_cast<float>(sum) / static_cast<float>(n) : 255.0f;
}

// Low cut below the mean: the first level from 0, below M, at which the running count exceeds
// `fraction` of the pixels below M (the lowest level not below M when none does); at most 230.
int LowCut(const Counts& c, float m, long long perNumerator, long long perDenominator) {
  long long below = 0;
  for (int l = 0; l < 256 && static_cast<float>(l) < m; ++l) below += c[static_cast<std::size_t>(l)];
  const long long cut = below * perNumerator / perDenominator;
  int low = -1;
  long long running = 0;
  int l = 0;
  for (; l < 256 && static_cast<float>(l) < m; ++l) {
    running += c[static_cast<std::size_t>(l)];
    if (running > cut) {
      low = l;
      break;
    }
  }
  if (low < 0) {
    low = 0;
    while (low < 255 && static_cast<float>(low) < m) ++low;
  }
  return std::min(low, kMaxLowCut);
}

// High cut above the mean: the first level from 254 down, not below M, at which the running count
// exceeds the cut of the pixels from M to `top`; `fallback` when none does.
int HighCut(const Counts& c, float m, int top, long long perNumerator, long long perDenominator,
            int fallback) {
  long long above = 0;
  for (int l = 0; l <= top; ++l) {
    if (static_cast<float>(l) >= m) above += c[static_cast<std::size_t>(l)];
  }
  const long long cut = above * perNumerator / perDenominator;
  long long running = 0;
  for (int l = 254; l >= 0 && static_cast<float>(l) >= m; --l) {
    running += c[static_cast<std::size_t>(l)];
    if (running > cut) return l;
  }
  return fallback;
}

// The highest level below M (0 when M <= 0).
int HighestBelow(float m) {
  int l = 255;
  while (l > 0 && static_cast<float>(l) >= m) --l;
  return l;
}

// Table of the smart stretch: 0 below L, L..M stretched onto 0..M, shifted up to H, 255 above.
Table SmartTable(float m, int low, int high) {
  Table t{};
  for (int l = 0; l < 256; ++l) {
    int v;
    if (l < low) {
      v = 0;
    } else if (static_cast<float>(l) <= m) {
      v = static_cast<int>(static_cast<float>(l - low) * m / (m - static_cast<float>(low)));
    } else if (l < high) {
      v = l - high + 255;
    } else {
      v = 255;
    }
    t[static_cast<std::size_t>(l)] = static_cast<unsigned char>(std::clamp(v, 0, 255));
  }
  return t;
}

int SamplesEveryTenth(int height, int width, const unsigned char* image, Counts& c) {
  c.fill(0);
  long long n = 0;
  for (int y = 0; y < height; y += kCalibrateSampleStep) {
    const unsigned char* row = image + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (int x = 0; x < width; x += kCalibrateSampleStep) {
      ++c[row[x]];
      ++n;
    }
  }
  return static_cast<int>(n);
}

// Linear stretch between the cuts: 0..L to 0, L+1..H-1 onto 1..255, H..255 to 255.
Table CutTable(int low, int high) {
  Table t{};
  for (int l = 0; l < 256; ++l) {
    int v;
    if (l <= low) {
      v = 0;
    } else if (l < high) {
      v = 255 * (l - low) / (high - low) + 1;
    } else {
      v = 255;
    }
    t[static_cast<std::size_t>(l)] = static_cast<unsigned char>(std::clamp(v, 0, 255));
  }
  return t;
}

// The calibrate-foreground stretch: cuts at `divisor`-th of the samples among levels 0..top.
int CalibrateWithCuts(int height, int width, unsigned char* image, int minimumWidth, int top,
                      int divisor) {
  if (height < 1) return LSA_INVALID_INPUT1;
  if (width < minimumWidth) return LSA_INVALID_INPUT2;
  if (IsMissing(image)) return LSA_INVALID_INPUT3;
  Counts c;
  const int samples = SamplesEveryTenth(height, width, image, c);
  const long long cut = samples / divisor;
  int low = std::min(top, 254);
  long long running = 0;
  for (int l = 0; l <= std::min(top, 254); ++l) {
    running += c[static_cast<std::size_t>(l)];
    if (running > cut) {
      low = l;
      break;
    }
  }
  int high = 1;
  running = 0;
  for (int l = top; l >= 1; --l) {
    running += c[static_cast<std::size_t>(l)];
    if (running > cut) {
      high = l;
      break;
    }
  }
  Apply(height, width, image, CutTable(low, high));
  return LSA_PASSED;
}

// Reference grey-level distribution of the histogram-matching stretch: piecewise linear through
// measured anchor points, levels 0..254 normalised to 1, level 255 carrying the white background.
const std::array<float, 256>& MatchingWeights() {
  static const std::array<float, 256> weights = [] {
    struct Anchor {
      int level;
      float weight;
    };
    const Anchor anchors[] = {{0, 0.000774f}, {36, 0.0068f}, {100, 0.003f}, {140, 0.003f},
                              {253, 0.0086f}, {254, 0.0086f}};
    std::array<float, 256> w{};
    for (std::size_t a = 0; a + 1 < std::size(anchors); ++a) {
      const Anchor lo = anchors[a];
      const Anchor hi = anchors[a + 1];
      for (int l = lo.level; l <= hi.level; ++l) {
        const float f = static_cast<float>(l - lo.level) / static_cast<float>(hi.level - lo.level);
        w[static_cast<std::size_t>(l)] = lo.weight + f * (hi.weight - lo.weight);
      }
    }
    float sum = 0.0f;
    for (int l = 0; l < 255; ++l) sum += w[static_cast<std::size_t>(l)];
    for (int l = 0; l < 255; ++l) w[static_cast<std::size_t>(l)] /= sum;
    w[255] = 5.04855f;
    return w;
  }();
  return weights;
}

}  // namespace

int SmartForegroundStretch1(int height, int width, unsigned char* image, int lowPer, int highPer) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  const Counts c = CountLevels(height, width, image);
  const float m = MeanUpTo(c, 245);
  if (m > kBrightImageMean) return LSA_PASSED;
  const int low = LowCut(c, m, lowPer, 10000);
  // No level below the mean: there is nothing to stretch (and M - L would be 0).
  if (m - static_cast<float>(low) <= 0.0f) return LSA_PASSED;
  const int high = HighCut(c, m, 245, highPer, 10000, HighestBelow(m));
  Apply(height, width, image, SmartTable(m, low, high));
  return LSA_PASSED;
}

int SmartForegroundStretch(int height, int width, unsigned char* image, int per) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  const Counts c = CountLevels(height, width, image);
  const float m = MeanUpTo(c, 254);
  const int low = LowCut(c, m, per, 100);
  if (m - static_cast<float>(low) <= 0.0f) return LSA_PASSED;
  const int high = HighCut(c, m, 254, per, 100, HighestBelow(m));
  Apply(height, width, image, SmartTable(m, low, high));
  return LSA_PASSED;
}

int SmartForegroundStretch3(int height, int width, unsigned char* image, int lowPer, int highPer,
                            int boost) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  const Counts c = CountLevels(height, width, image);
  const float m = MeanUpTo(c, 245);
  if (m > kBrightImageMean) return LSA_PASSED;
  const int low = LowCut(c, m, lowPer, 10000);
  const int high = HighCut(c, m, 245, highPer, 10000, 254);
  if (m - static_cast<float>(low) <= 0.0f || high - low <= 0) return LSA_PASSED;
  const int b = std::clamp(boost, -100, 100);
  const int t0 = static_cast<int>(static_cast<float>(high) * (m - static_cast<float>(low)) /
                                  static_cast<float>(high - low));
  const int target = b < 1 ? (b + 100) * t0 / 100 : t0 + b * (255 - t0) / 100;
  Table t{};
  for (int l = 0; l < 256; ++l) {
    int v;
    const float fl = static_cast<float>(l);
    if (l < low) {
      v = 0;
    } else if (fl <= m) {
      v = static_cast<int>(static_cast<float>(target) * (fl - static_cast<float>(low)) /
                           (m - static_cast<float>(low)));
    } else if (l < high) {
      v = static_cast<int>((fl - m) * static_cast<float>(high - target) /
                               (static_cast<float>(high) - m) +
                           static_cast<float>(target));
    } else {
      v = l;  // the line from (H, H) to (255, 255)
    }
    t[static_cast<std::size_t>(l)] = static_cast<unsigned char>(std::clamp(v, 0, 255));
  }
  Apply(height, width, image, t);
  return LSA_PASSED;
}

int SmartForegroundStretch2(int height, int width, unsigned char* image, int per) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  const Counts c = CountLevels(height, width, image);
  const double n = static_cast<double>(PixelCount(height, width));
  // Each level weighs by its entropy term -p log p, so crowded levels get room without taking the
  // whole range; the rarest levels making up `per` percent of the pixels get no room at all.
  std::vector<int> order;
  try {
    order.resize(256);
  } catch (const std::bad_alloc&) {
    return LSA_NO_MEMORY;
  }
  for (int l = 0; l < 256; ++l) order[static_cast<std::size_t>(l)] = l;
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return c[static_cast<std::size_t>(a)] < c[static_cast<std::size_t>(b)];
  });
  std::array<double, 256> weight{};
  const double dropShare =
      static_cast<double>(std::clamp<long long>(std::llabs(static_cast<long long>(per)), 0, 100)) / 100.0;
  double dropped = 0.0;
  for (const int l : order) {
    const double share = static_cast<double>(c[static_cast<std::size_t>(l)]) / n;
    if (share <= 0.0) continue;
    if (dropped + share <= dropShare) {
      dropped += share;
      continue;
    }
    weight[static_cast<std::size_t>(l)] = -share * std::log2(share);
  }
  double total = 0.0;
  for (const double w : weight) total += w;
  if (total <= 0.0) return LSA_PASSED;
  Table t{};
  double running = 0.0;
  for (int l = 0; l < 256; ++l) {
    running += weight[static_cast<std::size_t>(l)];
    t[static_cast<std::size_t>(l)] =
        static_cast<unsigned char>(std::clamp(static_cast<int>(255.0 * running / total), 0, 255));
  }
  Apply(height, width, image, t);
  return LSA_PASSED;
}

int SmartForegroundStretch7(int height, int width, unsigned char* image) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  const Counts c = CountLevels(height, width, image);
  const float m = MeanUpTo(c, 250);
  if (m > kBrightImageMean) return LSA_PASSED;
  const long long n = static_cast<long long>(PixelCount(height, width)) - c[255];
  if (n < 1) return LSA_PASSED;
  const std::array<float, 256>& w = MatchingWeights();
  Table t{};
  for (int l = 0; l < 256; ++l) t[static_cast<std::size_t>(l)] = static_cast<unsigned char>(l);
  int o = 0;
  float target = w[0];
  long long cumulative = 0;
  for (int l = 0; l <= 234; ++l) {
    cumulative += c[static_cast<std::size_t>(l)];
    const float f = static_cast<float>(cumulative) / static_cast<float>(n);
    while (f > target && o < 255) {
      ++o;
      target += w[static_cast<std::size_t>(o)];
    }
    t[static_cast<std::size_t>(l)] = static_cast<unsigned char>(o);
  }
  Apply(height, width, image, t);
  return LSA_PASSED;
}

int PhotoShopCalibrateForeground(int height, int width, unsigned char* image, int per) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  const Counts c = CountLevels(height, width, image);
  const float m = MeanUpTo(c, 255);
  if (m > 252.0f) return LSA_PASSED;
  const long long p = std::llabs(static_cast<long long>(per));
  // Black point, rounded half up and kept to 8 bits.
  const double blackPoint = std::floor(static_cast<double>(m * static_cast<float>(p) / 100.0f) + 0.5);
  const int black = static_cast<int>(static_cast<long long>(blackPoint) & 0xFF);
  if (black > 253) return LSA_PASSED;
  int top = 0;
  for (int l = 255; l > 1; --l) {
    if (c[static_cast<std::size_t>(l)] > 0) {
      top = l;
      break;
    }
  }
  const double whiteValue = 255.0 - static_cast<double>(static_cast<float>(p) * (255.0f - m) / 100.0f);
  if (whiteValue <= black) return LSA_PASSED;
  const int white = static_cast<int>(whiteValue);
  if (black >= white) return LSA_PASSED;
  Table t{};
  for (int l = 0; l < 256; ++l) {
    int v;
    if (l < black) {
      v = 0;
    } else if (l <= white) {
      v = top * (l - black) / (white - black);
    } else {
      v = l;
    }
    t[static_cast<std::size_t>(l)] = static_cast<unsigned char>(std::clamp(v, 0, 255));
  }
  Apply(height, width, image, t);
  return LSA_PASSED;
}

int HistogramStretct(int height, int width, unsigned char* image, HistogramType* histogram) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  if (IsMissing(histogram)) return LSA_INVALID_INPUT;
  long long total = 0;
  for (const HistogramBin& b : histogram->entry) total += b.count;
  if (total < 1) return LSA_INVALID_INPUT;
  Table t{};
  long long running = 0;
  for (int l = 0; l < 256; ++l) {
    running += histogram->entry[l].count;
    const float v = 255.0f * static_cast<float>(running) / static_cast<float>(total);
    t[static_cast<std::size_t>(l)] = static_cast<unsigned char>(std::clamp(static_cast<int>(v), 0, 255));
  }
  Apply(height, width, image, t);
  return LSA_PASSED;
}

int CalibrateForeground(int height, int width, unsigned char* image) {
  return CalibrateWithCuts(height, width, image, kCalibrateMinWidth, 255, 256);
}

int CalibrateForeground1(int height, int width, unsigned char* image) {
  return CalibrateWithCuts(height, width, image, kCalibrateMinWidth, 255, 256);
}

int CalibrateForeground2(int height, int width, unsigned char* image) {
  return CalibrateWithCuts(height, width, image, 1, 238, 240);
}

int CalibrateForegroundBackup(int height, int width, unsigned char* image) {
  return CalibrateWithCuts(height, width, image, kCalibrateMinWidth, 238, 240);
}

int CalibrateForeground1(int height, int width, unsigned char* image, unsigned char level) {
  if (height < 1) return LSA_INVALID_INPUT1;
  if (width < kCalibrateMinWidth) return LSA_INVALID_INPUT2;
  if (IsMissing(image)) return LSA_INVALID_INPUT3;
  Table t{};
  for (int l = 0; l < 256; ++l) {
    int v;
    if (l < level) {
      v = 0;
    } else if (level == 255) {
      v = 255;
    } else {
      v = (l - level) * 255 / (255 - level);
    }
    t[static_cast<std::size_t>(l)] = static_cast<unsigned char>(v);
  }
  Apply(height, width, image, t);
  return LSA_PASSED;
}

}  // namespace LiveScanAlg
