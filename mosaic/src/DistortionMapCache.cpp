// Table-driven distortion correction: every sample position and weight is computed once per
// geometry and kept in one of two process-wide map slots, so a stream of frames costs only the
// two table walks. The window form corrects a window cut out of a larger frame through the map
// of the whole frame.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "Distortion.h"

namespace LiveScanAlg {
namespace {

using distortion::ClampIndex;
using distortion::ClampPixel;
using distortion::Geometry;

constexpr int kPhases = 16384;

// Q14 weights of 16384 phases, phase i at fraction i / 16383, kernel in single precision.
const std::vector<int32_t>& MapWeights() {
  static const std::vector<int32_t> weights = [] {
    std::vector<int32_t> w(kPhases * 4);
    for (int i = 0; i < kPhases; ++i) {
      const float f = static_cast<float>(i) / 16383.0f;
      w[i * 4 + 0] = static_cast<int32_t>(16384.0f * distortion::Kappa(f));
      w[i * 4 + 1] = static_cast<int32_t>(16384.0f * distortion::Kappa(1.0f - f));
      w[i * 4 + 2] = static_cast<int32_t>(16384.0f * distortion::Kappa(1.0f + f));
      w[i * 4 + 3] = static_cast<int32_t>(16384.0f * distortion::Kappa(2.0f - f));
    }
    return w;
  }();
  return weights;
}

// One precomputed sample: index of the first of its four weights, and the whole source column
// (first pass) or source row (second pass) of its tap x.
struct MapTap {
  int32_t Weight;
  int32_t Source;
};

MapTap TapAt(float position) {
  constexpr float kLimit = 1.0e9f;
  if (std::isnan(position)) position = 0.0f;
  position = std::clamp(position, -kLimit, kLimit);
  const float whole = std::floor(position);
  const int phase = static_cast<int>((position - whole) * 16383.0f);
  return {4 * std::clamp(phase, 0, kPhases - 1), static_cast<int32_t>(whole)};
}

struct CorrectionMap {
  DistortionCorrectionRecord Key{};  // input size and the six values; output entries zeroed
  Geometry Geo;
  std::vector<uint8_t> Work;    // H x output width
  std::vector<MapTap> First;    // H x output width
  std::vector<MapTap> Second;   // output height
};

DistortionCorrectionRecord KeyOf(const DistortionCorrectionRecord& record) {
  DistortionCorrectionRecord key = record;
  key.OutputHeight = 0;
  key.OutputWidth = 0;
  key.WorkBufferSize = 0;
  return key;
}

bool SameKey(const DistortionCorrectionRecord& a, const DistortionCorrectionRecord& b) {
  return a.Height == b.Height && a.Width == b.Width && a.A == b.A && a.B == b.B && a.L == b.L &&
         a.E == b.E && a.G == b.G && a.K == b.K;
}

std::unique_ptr<CorrectionMap> BuildMap(const DistortionCorrectionRecord& record) {
  Geometry g;
  if (distortion::ComputeGeometry(record, g) != 0) return nullptr;
  try {
    auto map = std::make_unique<CorrectionMap>();
    map->Key = KeyOf(record);
    map->Geo = g;
    const size_t cells = static_cast<size_t>(g.H) * g.OutW;
    map->Work.assign(cells, 0);
    map->First.resize(cells);
    map->Second.resize(static_cast<size_t>(g.OutH));
    for (int r = 0; r < g.H; ++r) {
      const float S = (g.m - static_cast<float>(r) * g.s) / g.K;
      const float x0 = (static_cast<float>(g.W) - S * static_cast<float>(g.N)) / 2.0f + 4.0f * S;
      MapTap* row = map->First.data() + static_cast<size_t>(r) * g.OutW;
      for (int i = 0; i < g.OutW; ++i) row[i] = TapAt(x0 + static_cast<float>(i) * S);
    }
    for (int j = 0; j < g.OutH; ++j) {
      const float D = g.g + (g.q + 4.0f) * g.L + static_cast<float>(j) * g.L;
      map->Second[j] = TapAt(g.V - g.P / D);
    }
    return map;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// The two map slots, and the lock that keeps a teardown from freeing a map in use.
std::mutex g_mapLock;
std::unique_ptr<CorrectionMap> g_slots[2];

// The map of the record's geometry: slot one, then slot two; on a miss it is built into the first
// empty slot, or replaces slot one when both are taken. Null when it can't be built.
CorrectionMap* FindMap(const DistortionCorrectionRecord& record) {
  for (auto& slot : g_slots) {
    if (slot && SameKey(slot->Key, record)) return slot.get();
  }
  auto& target = !g_slots[0] ? g_slots[0] : (!g_slots[1] ? g_slots[1] : g_slots[0]);
  target.reset();
  target = BuildMap(record);
  return target.get();
}

// First pass for frame rows [firstRow, lastRow] and output columns [firstColumn, lastColumn]:
// `source` holds the frame columns [left, right] of those rows with rows of `pitch` bytes.
void MapFirstPass(CorrectionMap& map, const uint8_t* source, size_t pitch, int left, int right,
                  int firstRow, int lastRow, int firstColumn, int lastColumn) {
  const Geometry& g = map.Geo;
  const int32_t* weights = MapWeights().data();
  for (int r = firstRow; r <= lastRow; ++r) {
    const uint8_t* p = source + pitch * (r - firstRow);
    const MapTap* taps = map.First.data() + static_cast<size_t>(r) * g.OutW;
    uint8_t* out = map.Work.data() + static_cast<size_t>(r) * g.OutW;
    for (int i = firstColumn; i <= lastColumn; ++i) {
      const int32_t* w = weights + taps[i].Weight;
      const int64_t x = taps[i].Source;
      const int64_t sum = int64_t{w[0]} * p[ClampIndex(x, left, right) - left] +
                          int64_t{w[1]} * p[ClampIndex(x + 1, left, right) - left] +
                          int64_t{w[2]} * p[ClampIndex(x - 1, left, right) - left] +
                          int64_t{w[3]} * p[ClampIndex(x + 2, left, right) - left] + 8192;
      out[i] = ClampPixel(sum >> 14);
    }
  }
}

// Second pass for output rows [firstRow, lastRow] and columns [firstColumn, lastColumn], reading
// work rows [top, bottom] only, written packed into `target`.
void MapSecondPass(const CorrectionMap& map, uint8_t* target, int top, int bottom, int firstRow,
                   int lastRow, int firstColumn, int lastColumn) {
  const Geometry& g = map.Geo;
  const int32_t* weights = MapWeights().data();
  const size_t pitch = static_cast<size_t>(g.OutW);
  const int width = lastColumn - firstColumn + 1;
  for (int j = firstRow; j <= lastRow; ++j) {
    const int32_t* w = weights + map.Second[j].Weight;
    const int64_t y = map.Second[j].Source;
    const uint8_t* r0 = map.Work.data() + pitch * ClampIndex(y, top, bottom);
    const uint8_t* r1 = map.Work.data() + pitch * ClampIndex(y + 1, top, bottom);
    const uint8_t* rm = map.Work.data() + pitch * ClampIndex(y - 1, top, bottom);
    const uint8_t* r2 = map.Work.data() + pitch * ClampIndex(y + 2, top, bottom);
    uint8_t* out = target + static_cast<size_t>(j - firstRow) * width;
    for (int c = firstColumn; c <= lastColumn; ++c) {
      const int64_t sum = int64_t{w[0]} * r0[c] + int64_t{w[1]} * r1[c] + int64_t{w[2]} * rm[c] +
                          int64_t{w[3]} * r2[c] + 8192;
      out[c - firstColumn] = ClampPixel(sum >> 14);
    }
  }
}

// Output extent of a window along one axis: the first index whose source lies beyond `low`, and
// the index at which the walk stops (the first whose source + 2 lies beyond `high`, or count).
struct Extent {
  int First;
  int Stop;
};

Extent WalkExtent(const MapTap* taps, size_t stride, int count, int low, int high) {
  int first = 0;
  while (first < count && taps[stride * first].Source <= low) ++first;
  int stop = first;
  while (stop < count && taps[stride * stop].Source + 2 <= high) ++stop;
  return {first, stop};
}

}  // namespace

namespace distortion {
const DistortionCorrectionRecord* CachedMapKey(int slot) {
  std::lock_guard lock(g_mapLock);
  return slot >= 0 && slot < 2 && g_slots[slot] ? &g_slots[slot]->Key : nullptr;
}
}  // namespace distortion

void ReleaseDistortionMaps() {
  std::lock_guard lock(g_mapLock);
  g_slots[0].reset();
  g_slots[1].reset();
}

int CalibrateOpticalDistortion1(unsigned char* image, DistortionCorrectionRecord* record) {
  if (IsMissing(image)) return LSA_INVALID_INPUT1;
  if (IsMissing(record)) return LSA_PASSED;
  std::lock_guard lock(g_mapLock);
  CorrectionMap* map = FindMap(*record);
  if (!map) return LSA_PASSED;
  const Geometry& g = map->Geo;
  record->OutputHeight = g.OutH;
  record->OutputWidth = g.OutW;
  MapFirstPass(*map, image, static_cast<size_t>(g.W), 0, g.W - 1, 0, g.H - 1, 0, g.OutW - 1);
  MapSecondPass(*map, image, 0, g.H - 1, 0, g.OutH - 1, 0, g.OutW - 1);
  return LSA_PASSED;
}

int CalibrateOpticalDistortion2(ImageCordinateType firstCorner, ImageCordinateType lastCorner,
                                unsigned char* window, DistortionCorrectionRecord* record) {
  if (IsMissing(window)) return LSA_INVALID_INPUT1;
  if (IsMissing(record)) return LSA_PASSED;
  const int x0 = firstCorner.x, y0 = firstCorner.y, x1 = lastCorner.x, y1 = lastCorner.y;
  // The window must lie inside the frame the record describes.
  if (x0 < 0 || y0 < 0 || x1 < x0 || y1 < y0 || x1 >= record->Width || y1 >= record->Height) {
    return LSA_INVALID_INPUT;
  }
  std::lock_guard lock(g_mapLock);
  CorrectionMap* map = FindMap(*record);
  if (!map) return LSA_PASSED;
  const Geometry& g = map->Geo;
  const int windowWidth = x1 - x0 + 1;
  const int windowHeight = y1 - y0 + 1;

  // Columns: every row of the window must have the column's source inside the window.
  int firstColumn = 0, cutColumn = g.OutW;
  for (int r = y0; r <= y1; ++r) {
    const Extent e = WalkExtent(map->First.data() + static_cast<size_t>(r) * g.OutW, 1, g.OutW,
                                x0, x1);
    firstColumn = std::max(firstColumn, e.First);
    cutColumn = std::min(cutColumn, e.Stop);
  }
  if (firstColumn == 0) firstColumn = 1;
  int lastColumn = std::min(cutColumn, g.OutW - 1);
  lastColumn = std::min(lastColumn, firstColumn + windowWidth - 1);

  const Extent rows = WalkExtent(map->Second.data(), 1, g.OutH, y0, y1);
  const int firstRow = rows.First;
  int lastRow = std::min(rows.Stop, g.OutH - 1);
  lastRow = std::min(lastRow, firstRow + windowHeight - 1);

  if (firstRow >= g.OutH || lastColumn < firstColumn) {
    record->OutputHeight = 1;
    record->OutputWidth = 0;
    return LSA_PASSED;
  }
  MapFirstPass(*map, window, static_cast<size_t>(windowWidth), x0, x1, y0, y1, firstColumn,
               lastColumn);
  MapSecondPass(*map, window, y0, y1, firstRow, lastRow, firstColumn, lastColumn);
  record->OutputHeight = lastRow - firstRow + 1;
  record->OutputWidth = lastColumn - firstColumn + 1;
  return LSA_PASSED;
}

}  // namespace LiveScanAlg
