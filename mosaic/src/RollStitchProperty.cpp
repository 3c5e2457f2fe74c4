// Finger geometry of one image: threshold, column and row profiles, and the walk from the
// profile peaks out to the finger's edges.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "RollStitchInternal.h"

namespace LiveScanAlg::roll {
namespace {

constexpr int kRollThreshold = 230;
constexpr int kRollEdgeCount = 30;
constexpr int kInkLevel = 200;
constexpr int kInkThresholdCap = 220;

// Threshold from the statistics of the ink (pixels below 200): floor(mean + 0.5 + deviation),
// at most 220. False when the image holds no ink.
bool InkThreshold(const uint8_t* image, size_t pixels, int* threshold) {
  int64_t sum = 0, count = 0;
  for (size_t i = 0; i < pixels; ++i) {
    if (image[i] < kInkLevel) {
      sum += image[i];
      ++count;
    }
  }
  if (count == 0) return false;
  const int64_t mean = sum / count;
  double squares = 0.0;
  for (size_t i = 0; i < pixels; ++i) {
    if (image[i] < kInkLevel) {
      const double d = static_cast<double>(image[i] - mean);
      squares += d * d;
    }
  }
  const double deviation = std::sqrt(squares / static_cast<double>(count));
  const int t = static_cast<int>(std::floor(static_cast<double>(mean) + 0.5 + deviation));
  *threshold = t >= kInkThresholdCap ? kInkThresholdCap : t;
  return true;
}

int PeakIndex(const int32_t* counts, int n) {
  int peak = 0;
  for (int i = 1; i < n; ++i) {
    if (counts[i] > counts[peak]) peak = i;
  }
  return peak;
}

// Walks from the peak in steps of `step` to the first index whose count fails the edge test, or
// to the end of the profile.
template <typename Passes>
int WalkToEdge(const int32_t* counts, int n, int peak, int step, Passes passes) {
  int i = peak;
  while (passes(counts[i])) {
    const int next = i + step;
    if (next < 0 || next >= n) break;
    i = next;
  }
  return i;
}

}  // namespace

int ComputeFingerProperty(const uint8_t* image, int width, int height,
                          mm_finger_property* property, FingerThreshold kind) {
  if (IsMissing(image) || IsMissing(property)) return -1;
  std::memset(property, 0, sizeof(*property));
  property->ImageWidth = width;
  property->ImageHeight = height;
  if (width < 1 || height < 1) return -1;
  const size_t pixels = static_cast<size_t>(width) * height;

  int threshold = kRollThreshold;
  if (kind == FingerThreshold::Ink && !InkThreshold(image, pixels, &threshold)) {
    return 0;  // no ink at all: no finger, zero geometry
  }

  std::unique_ptr<int32_t[]> columns(new (std::nothrow) int32_t[width]());
  std::unique_ptr<int32_t[]> rows(new (std::nothrow) int32_t[height]());
  if (!columns || !rows) return -1;
  int64_t total = 0;
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = image + static_cast<size_t>(y) * width;
    for (int x = 0; x < width; ++x) {
      if (row[x] < threshold) {
        ++columns[x];
        ++rows[y];
      }
    }
    total += rows[y];
  }
  property->ForegroundCount = static_cast<double>(total);

  auto edges = [&](const int32_t* counts, int n, int32_t* first, int32_t* extent) {
    const int peak = PeakIndex(counts, n);
    const double limit = 0.2 * counts[peak];
    auto passes = [&](int32_t c) {
      return kind == FingerThreshold::Roll ? c >= kRollEdgeCount : c > limit;
    };
    const int high = WalkToEdge(counts, n, peak, +1, passes);
    const int low = WalkToEdge(counts, n, peak, -1, passes);
    *first = low;
    *extent = high - low;
  };
  edges(columns.get(), width, &property->Left, &property->Width);
  edges(rows.get(), height, &property->Top, &property->Height);
  return 0;
}

}  // namespace LiveScanAlg::roll

namespace LiveScanAlg {

int mmGetFingerProperty(unsigned char* image, int width, int height,
                        mm_finger_property* property) {
  return roll::ComputeFingerProperty(image, width, height, property, roll::FingerThreshold::Ink);
}

int mmGetFingerProperty_Roll(unsigned char* image, int width, int height,
                             mm_finger_property* property) {
  return roll::ComputeFingerProperty(image, width, height, property, roll::FingerThreshold::Roll);
}

int mmGetFingerProperty_Roll_V2(unsigned char* image, int width, int height,
                                mm_finger_property* property) {
  return roll::ComputeFingerProperty(image, width, height, property, roll::FingerThreshold::Roll);
}

}  // namespace LiveScanAlg
