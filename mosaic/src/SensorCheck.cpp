// Checks of an empty-platen image: bright enough, clean window, not saturated, no finger left on.

#include <cmath>
#include <cstdint>

#include "LiveScanAlgInternal.h"

namespace LiveScanAlg {

namespace {

constexpr float kSensorMeanLimit = 192.0f;
constexpr int kWideSensorWidth = 2500;      // the mode-1 check needs more columns than this
constexpr int kWideCentreFirst = 500;
constexpr int kWideCentreEnd = 2500;
constexpr double kTargetMeanTolerance = 0.98;

template <typename T>
void Put(T* out, T value) {
  if (!IsMissing(out)) *out = value;
}

struct Statistics {
  unsigned char minimum = 0;
  unsigned char maximum = 0;
  float mean = 0.0f;
  float variance = 0.0f;
};

Statistics Measure(const HistogramType& h) {
  Statistics s;
  CalculateHistogramStatistics(&h, &s.minimum, &s.maximum, &s.mean, &s.variance, nullptr);
  return s;
}

long long CountBelow(const HistogramType& h, int level) {
  long long n = 0;
  for (int l = 0; l < 256 && l < level; ++l) n += h.entry[l].count;
  return n;
}

// Histograms of the centre band (columns first..end-1 of every row) and of the other columns.
struct Bands {
  HistogramType centre;
  HistogramType outer;
};

void SplitBands(int height, int width, const unsigned char* image, int first, int end, Bands& b) {
  for (int i = 0; i < 256; ++i) {
    b.centre.entry[i] = {i, 0};
    b.outer.entry[i] = {i, 0};
  }
  for (int y = 0; y < height; ++y) {
    const unsigned char* row = image + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (int x = 0; x < width; ++x) {
      HistogramType& h = (x >= first && x < end) ? b.centre : b.outer;
      ++h.entry[row[x]].count;
    }
  }
}

// The centre band counts twice: f is its share of the columns.
float Weighted(float outer, float centre, float f) {
  return (outer * (1.0f - f) + 2.0f * centre * f) / (2.0f * f + (1.0f - f));
}

// Centre band at 0.2 .. 0.6 of the width, counted twice against the outer columns.
struct WeighedPlaten {
  Statistics centre;
  float mean = 0.0f;
  float variance = 0.0f;
  float saturation = 0.0f;
};

WeighedPlaten WeighBands(int height, int width, const unsigned char* image) {
  const int a = static_cast<int>(0.2f * static_cast<float>(width));
  const int b = static_cast<int>(0.6f * static_cast<float>(width));
  Bands bands;
  SplitBands(height, width, image, a, b, bands);
  WeighedPlaten w;
  w.centre = Measure(bands.centre);
  const Statistics outer = Measure(bands.outer);
  const float f = static_cast<float>(std::abs(b - a)) / static_cast<float>(width);
  w.mean = Weighted(outer.mean, w.centre.mean, f);
  w.variance = Weighted(outer.variance, w.centre.variance, f);
  w.saturation = static_cast<float>(static_cast<long long>(bands.centre.entry[255].count) +
                                    bands.outer.entry[255].count) /
                 static_cast<float>(height) / static_cast<float>(width);
  return w;
}

// The common sequence of CheckSensor and CheckSensor1.
int WholeImageCheck(int height, int width, const unsigned char* image, float meanLimit,
                    float varLimit, float* mean, float* variance) {
  StitchParameterType* p = GetParameter();
  if (!p) return LSA_NO_MEMORY;
  HistogramType h;
  BuildHistogram(image, static_cast<std::size_t>(height) * static_cast<std::size_t>(width), &h);
  const Statistics s = Measure(h);
  Put(mean, s.mean);
  Put(variance, s.variance);
  if (s.mean < meanLimit) return LSA_TOO_DARK;
  if (static_cast<float>(p->LowBrightnessThreshold) > s.mean) return LSA_LOW_BRIGHTNESS;
  if (s.maximum < p->SmallDynamicRangeThreshold) return LSA_SMALL_DYNAMIC_RANGE;
  if (s.variance > varLimit) return LSA_DIRTY_SENSOR;
  if (CountBelow(h, p->FingerLevelThreshold) > p->DirtySensorWindow1Threshold) {
    return LSA_FINGER_ON_SENSOR;
  }
  return LSA_PASSED;
}

}  // namespace

int CheckSensor(int height, int width, unsigned char* image, int varThreshold) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  return WholeImageCheck(height, width, image, kSensorMeanLimit, static_cast<float>(varThreshold),
                         nullptr, nullptr);
}

int CheckSensor1(int height, int width, unsigned char* image, float* mean, float* variance) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  StitchParameterType* p = GetParameter();
  if (!p) return LSA_NO_MEMORY;
  return WholeImageCheck(height, width, image, p->MeanThreshold, p->VarThreshold, mean, variance);
}

int CheckSensor2(int height, int width, unsigned char* image, float* mean, float* variance,
                 float* saturation) {
  Put(saturation, 1.0f);
  Put(mean, 0.0f);
  Put(variance, 0.0f);
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  StitchParameterType* p = GetParameter();
  if (!p) return LSA_NO_MEMORY;
  const WeighedPlaten w = WeighBands(height, width, image);
  const float m = w.mean;
  const float v = w.variance;
  Put(mean, m);
  Put(variance, v);
  const float sat = w.saturation;
  Put(saturation, sat);
  if (sat > p->SaturetionThreshold) return LSA_SATURATED_SENSOR;
  if (p->MeanThreshold > m) return LSA_TOO_DARK;
  if (static_cast<float>(p->LowBrightnessThreshold) > m) return LSA_LOW_BRIGHTNESS;
  if (w.centre.maximum < p->SmallDynamicRangeThreshold) return LSA_SMALL_DYNAMIC_RANGE;
  if (p->VarThreshold < v) return LSA_DIRTY_SENSOR;
  return LSA_PASSED;
}

int CheckSensor2(int height, int width, unsigned char* image, int mode, float* mean,
                 float* variance) {
  if (mode != 1) return CheckSensor1(height, width, image, mean, variance);
  if (height < 1) return LSA_INVALID_INPUT1;
  if (width <= kWideSensorWidth) return LSA_INVALID_INPUT2;
  if (IsMissing(image)) return LSA_INVALID_INPUT3;
  StitchParameterType* p = GetParameter();
  if (!p) return LSA_NO_MEMORY;
  Bands bands;
  SplitBands(height, width, image, kWideCentreFirst, kWideCentreEnd, bands);
  const Statistics centre = Measure(bands.centre);
  const Statistics outer = Measure(bands.outer);
  const float f = static_cast<float>(kWideCentreEnd - kWideCentreFirst) / static_cast<float>(width);
  const float m = Weighted(outer.mean, centre.mean, f);
  const float v = Weighted(outer.variance, centre.variance, f);
  Put(mean, m);
  Put(variance, v);
  if (p->MeanThreshold > m) return LSA_TOO_DARK;
  if (static_cast<float>(p->LowBrightnessThreshold) > m) return LSA_LOW_BRIGHTNESS;
  if (centre.maximum < p->SmallDynamicRangeThreshold) return LSA_SMALL_DYNAMIC_RANGE;
  if (v > p->VarThreshold) return LSA_DIRTY_SENSOR;
  long long dark = 0;
  for (int l = 0; l < 256 && l < p->FingerLevelThreshold; ++l) {
    dark += 2LL * bands.centre.entry[l].count + bands.outer.entry[l].count;
  }
  if (dark / 2 > p->DirtySensorWindow1Threshold) return LSA_FINGER_ON_SENSOR;
  return LSA_PASSED;
}

int CheckSensor3(int height, int width, const unsigned char* image, float* mean, float* variance,
                 float* saturation, int targetMean, int varThreshold) {
  Put(saturation, 1.0f);
  Put(mean, 0.0f);
  Put(variance, 0.0f);
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  const WeighedPlaten w = WeighBands(height, width, image);
  const float m = w.mean;
  const float v = w.variance;
  Put(mean, m);
  Put(variance, v);
  Put(saturation, w.saturation);
  if (targetMean - kTargetMeanTolerance > m) return LSA_TOO_DARK;
  if (m > targetMean + kTargetMeanTolerance) return LSA_SENSOR_TOO_BRIGHT;
  if (static_cast<float>(varThreshold) < v) return LSA_DIRTY_SENSOR;
  return LSA_PASSED;
}

}  // namespace LiveScanAlg
