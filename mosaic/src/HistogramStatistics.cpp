// Grey-level histograms and their statistics. Sums are 64-bit: a 13-megapixel frame that is mostly
// one level would overflow 32-bit level x count products.

#include <cstdlib>
#include <cstring>

#include "LiveScanAlgInternal.h"

namespace LiveScanAlg {

namespace {

template <typename T>
void Put(T* out, T value) {
  if (!IsMissing(out)) *out = value;
}

// Lowest and highest level with a count of at least 1 (0 and 0 for an empty histogram).
void MinMaxLevels(const HistogramType* h, unsigned char* minimum, unsigned char* maximum) {
  unsigned char lo = 0, hi = 0;
  for (int i = 0; i < 256; ++i) {
    if (h->entry[i].count >= 1) {
      lo = static_cast<unsigned char>(h->entry[i].level);
      break;
    }
  }
  for (int i = 255; i >= 0; --i) {
    if (h->entry[i].count >= 1) {
      hi = static_cast<unsigned char>(h->entry[i].level);
      break;
    }
  }
  Put(minimum, lo);
  Put(maximum, hi);
}

long long TotalCount(const HistogramType* h) {
  long long n = 0;
  for (const HistogramBin& b : h->entry) n += b.count;
  return n;
}

}  // namespace

void BuildHistogram(const unsigned char* image, std::size_t count, HistogramType* histogram) {
  // Count into 64-bit bins, then store: HistogramType holds int32 counts.
  long long bins[256] = {};
  for (std::size_t i = 0; i < count; ++i) ++bins[image[i]];
  for (int i = 0; i < 256; ++i) {
    histogram->entry[i].level = i;
    histogram->entry[i].count = static_cast<int32_t>(bins[i]);
  }
}

int CalculateImageHistogram1(int height, int width, unsigned char* image,
                             HistogramType* histogram) {
  if (IsMissing(image) || height < 1 || width < 1 || IsMissing(histogram)) {
    return LSA_INVALID_INPUT;
  }
  BuildHistogram(image, static_cast<std::size_t>(height) * static_cast<std::size_t>(width),
                 histogram);
  return LSA_PASSED;
}

int CalculateHistogramStatistics(const HistogramType* histogram, unsigned char* minimum,
                                 unsigned char* maximum, float* mean, float* variance,
                                 float* deviation) {
  Put(minimum, static_cast<unsigned char>(0));
  Put(maximum, static_cast<unsigned char>(0));
  Put(mean, 0.0f);
  Put(variance, 0.0f);
  Put(deviation, 0.0f);
  if (IsMissing(histogram)) return LSA_INVALID_INPUT;
  MinMaxLevels(histogram, minimum, maximum);
  const long long n = TotalCount(histogram);
  if (n < 1) return LSA_PASSED;

  long long sum = 0, sumSquares = 0;
  for (const HistogramBin& b : histogram->entry) {
    const long long level = b.level;
    sum += level * b.count;
    sumSquares += level * level * b.count;
  }
  const double m = static_cast<double>(sum) / static_cast<double>(n);
  const double v = static_cast<double>(sumSquares) / static_cast<double>(n) - m * m;
  Put(mean, static_cast<float>(m));
  Put(variance, static_cast<float>(v));

  if (!IsMissing(deviation)) {
    const int truncatedMean = static_cast<int>(m);
    float acc = 0.0f;
    for (const HistogramBin& b : histogram->entry) {
      acc += static_cast<float>(std::abs(b.level - truncatedMean)) * static_cast<float>(b.count);
    }
    *deviation = acc / static_cast<float>(n);
  }
  return LSA_PASSED;
}

int CalculateMeanVarMinMax(HistogramType* histogram, float* variance, float* mean,
                           unsigned char* minimum, unsigned char* maximum) {
  return CalculateHistogramStatistics(histogram, minimum, maximum, mean, variance, nullptr);
}

int CalculateMeanPowerMinMax(HistogramType* histogram, float* power, float* mean,
                             unsigned char* minimum, unsigned char* maximum) {
  Put(power, 0.0f);
  Put(mean, 0.0f);
  Put(minimum, static_cast<unsigned char>(0));
  Put(maximum, static_cast<unsigned char>(0));
  if (IsMissing(histogram)) return LSA_INVALID_INPUT;
  const long long n = TotalCount(histogram);
  if (n < 1) return LSA_PASSED;
  MinMaxLevels(histogram, minimum, maximum);
  long long sum = 0, sumPower = 0;
  for (const HistogramBin& b : histogram->entry) {
    const long long level = b.level;
    sum += level * b.count;
    sumPower += (255 - level) * (255 - level) * b.count;
  }
  Put(mean, static_cast<float>(static_cast<double>(sum) / static_cast<double>(n)));
  Put(power, static_cast<float>(static_cast<double>(sumPower) / static_cast<double>(n)));
  return LSA_PASSED;
}

}  // namespace LiveScanAlg
