// Finger foreground area and grey range.

#include "ForegroundArea.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "SlapSegmentation.h"

namespace {

constexpr uint8_t kFilling = 150;  // pixels of the area being measured

// Global histogram: mean, shares at levels 0 and 1, the 1st and 99th percentile levels and the
// levels at the low and high percentages from each end (the high ones never below the low one).
void GlobalLevels(const uint8_t* image, ForegroundStatistics& s) {
  const int64_t n = static_cast<int64_t>(s.height) * s.width;
  int64_t hist[256] = {};
  int64_t sum = 0;
  for (int64_t i = 0; i < n; ++i) {
    ++hist[image[i]];
    sum += image[i];
  }
  s.mean = static_cast<int32_t>(sum / n);
  const int64_t unit = std::max<int64_t>(n / 100, 1);
  s.percentAt0 = static_cast<int32_t>(hist[0] / unit);
  s.percentAt1 = static_cast<int32_t>(hist[1] / unit);
  auto fromDark = [&](int64_t limit) {
    int64_t cum = 0;
    for (int l = 0; l < 256; ++l)
      if ((cum += hist[l]) > limit) return l;
    return 255;
  };
  auto fromBright = [&](int64_t limit, int floor) {
    int64_t cum = 0;
    for (int l = 255; l > floor; --l)
      if ((cum += hist[l]) > limit) return l;
    return floor;
  };
  s.level1Percent = fromDark(n / 100);
  s.low = fromDark(s.lowPercent * n / 100);
  s.level99Percent = fromBright(n / 100, s.low);
  s.high = fromBright(s.highPercent * n / 100, s.low);
}

// The k-th value from the dark end (k from 1) of a histogram with 16-level group counts.
int KthDarkest(const int* hist, const int* groups, int k) {
  int cum = 0, g = 0;
  while (cum + groups[g] < k) cum += groups[g++];
  int l = 16 * g;
  while ((cum += hist[l]) < k) ++l;
  return l;
}
int KthBrightest(const int* hist, const int* groups, int k) {
  int cum = 0, g = 15;
  while (cum + groups[g] < k) cum += groups[g--];
  int l = 16 * g + 15;
  while ((cum += hist[l]) < k) --l;
  return l;
}

int Elongation(int top, int bottom, int left, int right) {
  const int a = bottom - top, b = right - left;
  const int shorter = std::min(a, b), longer = std::max(a, b);
  // An area without extent one way is as elongated as an area can be.
  return shorter > 0 ? 10 * longer / shorter : 1000;
}

}  // namespace

void LocalContrastMap(const uint8_t* image, int height, int width, int low, int high, uint8_t* work) {
  std::fill(work, work + static_cast<size_t>(height) * width, uint8_t{0});
  const int lo = low > 160 ? low / 2 + 80 : low;
  const int hi = std::max(high, 128);
  if (hi - lo <= 4) return;
  const int step = (hi - lo) / 10;
  constexpr int r = 3;
  for (int row = r; row < height - r; ++row) {
    int hist[256] = {}, groups[16] = {};
    auto add = [&](int column, int delta) {
      for (int y = row - r; y <= row + r; ++y) {
        const uint8_t v = image[static_cast<size_t>(y) * width + column];
        hist[v] += delta;
        groups[v >> 4] += delta;
      }
    };
    for (int c = 0; c < 2 * r + 1 && c < width; ++c) add(c, 1);
    for (int c = r; c < width - r; ++c) {
      if (c > r) {
        add(c - r - 1, -1);
        add(c + r, 1);
      }
      const int L = KthDarkest(hist, groups, 7);
      const int H = KthBrightest(hist, groups, 7);
      const int d = H - L;
      const int p = image[static_cast<size_t>(row) * width + c];
      const bool flat = d <= 2 * step || (d <= 3 * step && p > hi + lo) || (d <= 4 * step && p > H);
      work[static_cast<size_t>(row) * width + c] = flat ? 0 : 1;
    }
  }
}

void SmoothAndThreshold(uint8_t* map, int height, int width, int threshold, uint8_t above, uint8_t below) {
  constexpr int r = 20;
  constexpr int full = (2 * r + 1) * (2 * r + 1);
  const size_t cells = static_cast<size_t>(height) * width;
  std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[cells]);
  std::unique_ptr<int[]> columns(new (std::nothrow) int[static_cast<size_t>(width)]);
  if (!out || !columns) {
    std::printf("Err: locate memory failed\n");
    return;
  }
  const float f = 255.0f / static_cast<float>(full);
  // Per-column sums over the rows of the window, one row in and one out per output row.
  std::fill(columns.get(), columns.get() + width, 0);
  for (int y = 0; y <= r && y < height; ++y)
    for (int c = 0; c < width; ++c) columns[c] += map[static_cast<size_t>(y) * width + c];
  for (int row = 0; row < height; ++row) {
    const int rowsIn = std::min(row + r, height - 1) - std::max(row - r, 0) + 1;
    int sum = 0;
    for (int c = 0; c <= r && c < width; ++c) sum += columns[c];
    for (int c = 0; c < width; ++c) {
      const int colsIn = std::min(c + r, width - 1) - std::max(c - r, 0) + 1;
      const int q = sum * full / (rowsIn * colsIn);
      const int v = static_cast<int>(static_cast<float>(q) * f);
      out[static_cast<size_t>(row) * width + c] = v > threshold ? above : below;
      if (c - r >= 0) sum -= columns[c - r];
      if (c + r + 1 < width) sum += columns[c + r + 1];
    }
    if (row - r >= 0)
      for (int c = 0; c < width; ++c) columns[c] -= map[static_cast<size_t>(row - r) * width + c];
    if (row + r + 1 < height)
      for (int c = 0; c < width; ++c) columns[c] += map[static_cast<size_t>(row + r + 1) * width + c];
  }
  std::copy(out.get(), out.get() + cells, map);
}

int CleanUpAreas(uint8_t* work, ForegroundStatistics* stats, int elongationTest) {
  ForegroundStatistics& s = *stats;
  const int height = s.height, width = s.width;
  int top = height, bottom = -1, left = width, right = -1;
  int64_t sumRows = 0, sumColumns = 0;
  int64_t kept = 0;
  for (int row = 0; row < height; ++row)
    for (int c = 0; c < width; ++c) {
      uint8_t& seed = work[static_cast<size_t>(row) * width + c];
      if (seed != 11 && seed != 10) continue;
      const bool foreground = seed == 11;
      seed = kFilling;
      int minRow = row, maxRow = row, minCol = c, maxCol = c, count = 1;
      int64_t rowSum = row, colSum = c;
      FillRegion8(work, width, row, c, 0, height, 0, width, foreground ? 11 : 10, kFilling, &minRow, &maxRow,
                  &minCol, &maxCol, &rowSum, &colSum, &count);
      const bool large = count > s.minimumArea;
      bool keep = large ? foreground : !foreground;
      if (keep && large && elongationTest && Elongation(minRow, maxRow, minCol, maxCol) >= 45) keep = false;
      RelabelInWindow(work, width, minRow, maxRow, minCol, maxCol, kFilling, keep ? 1 : 0);
      if (!keep) continue;
      top = std::min(top, minRow);
      bottom = std::max(bottom, maxRow);
      left = std::min(left, minCol);
      right = std::max(right, maxCol);
      sumRows += rowSum;
      sumColumns += colSum;
      kept += count;
    }
  if (kept == 0) {
    s.left = s.right = width / 2;
    s.top = s.bottom = height / 2;
    s.sumRows = s.sumColumns = 0;
    s.minimumArea = 0;
    return 0;
  }
  s.left = left, s.right = right, s.top = top, s.bottom = bottom;
  s.sumRows = static_cast<int32_t>(std::min<int64_t>(sumRows, INT32_MAX));
  s.sumColumns = static_cast<int32_t>(std::min<int64_t>(sumColumns, INT32_MAX));
  s.minimumArea = static_cast<int32_t>(kept);
  return s.minimumArea;
}

void ForegroundStep(const uint8_t* image, uint8_t* work, ForegroundStatistics* stats, int elongationTest) {
  ForegroundStatistics& s = *stats;
  const int height = s.height, width = s.width;
  GlobalLevels(image, s);
  LocalContrastMap(image, height, width, s.low, s.high, work);
  SmoothAndThreshold(work, height, width, 130, 1, 0);
  SmoothAndThreshold(work, height, width, 100, 11, 10);
  const int kept = CleanUpAreas(work, stats, elongationTest);
  s.lowPercent = 1;
  s.highPercent = 5;
  if (kept == 0) {
    s.low = s.high = 128;
    return;
  }
  const int top = s.top, bottom = s.bottom, left = s.left, right = s.right;

  // Grey range under the kept foreground.
  int64_t hist[256] = {};
  int64_t n = 0;
  for (int row = top; row <= bottom; ++row)
    for (int c = left; c <= right; ++c)
      if (work[static_cast<size_t>(row) * width + c] == 1) {
        ++hist[image[static_cast<size_t>(row) * width + c]];
        ++n;
      }
  int64_t cum = 0;
  int low = 255;
  for (int l = 0; l < 256; ++l)
    if ((cum += hist[l]) > s.lowPercent * n / 100) {
      low = l;
      break;
    }
  cum = 0;
  int high = low;
  for (int l = 255; l > low; --l)
    if ((cum += hist[l]) > s.highPercent * n / 100) {
      high = l;
      break;
    }
  s.low = low;
  s.high = high;
}

void FindForegroundArea(const uint8_t* image, int height, int width, uint8_t* work, int* top, int* left, int* h,
                        int* w, int* low, int* high, int elongationTest) {
  if (image == nullptr || work == nullptr || height <= 0 || width <= 0 || top == nullptr || left == nullptr ||
      h == nullptr || w == nullptr || low == nullptr || high == nullptr)
    return;
  ForegroundStatistics s{};
  s.height = height;
  s.width = width;
  s.lowPercent = 5;
  s.highPercent = 10;
  s.minimumArea = 5000;
  ForegroundStep(image, work, &s, elongationTest);
  *top = s.top;
  *left = s.left;
  *h = s.bottom - s.top + 1;
  *w = s.right - s.left + 1;
  *low = s.low;
  *high = s.high;
}

void FindForegroundArea(const uint8_t* image, int height, int width, uint8_t* work, int* top, int* left, int* h,
                        int* w, int* low, int* high) {
  FindForegroundArea(image, height, width, work, top, left, h, w, low, high, 1);
}

namespace {

constexpr double kDegrees = 57.29564553093965;

// One large area of FindFingerRegions: FingerRegion words 1-10 and its label.
struct Area {
  FingerRegion r{};
  int label = 0;
};

int Direction(int row, int column, int fromRow, int fromColumn) {
  return static_cast<int>(std::atan2(static_cast<double>(row - fromRow), static_cast<double>(column - fromColumn)) *
                          kDegrees);
}
// An angle difference folded to 0..180, and further to 0..90.
int Fold180(int d) {
  d = std::abs(d);
  return d > 180 ? 360 - d : d;
}
int Fold90(int d) {
  d = Fold180(d);
  return d > 90 ? 180 - d : d;
}

void StartValues(FingerRegion& r, int height, int width) {
  r.left = r.right = r.column = width / 2;
  r.top = r.bottom = r.row = height / 2;
  r.count = 0;
  r.status = 0;
  r.orientation = 270;
  r.measure = 100;
}

// Weighted mean orientation of the pointing areas (status 1): each weighs 30 - its measure, the
// main area 30 - half its measure. Returns the number of areas taken.
int MeanOrientation(const std::vector<Area>& areas, size_t main, int* orientation, int* measure) {
  double s = 0, c = 0;
  int weights = 0, n = 0;
  for (size_t i = 0; i < areas.size(); ++i) {
    if (areas[i].r.status != 1) continue;
    const int w = i == main ? 30 - areas[i].r.measure / 2 : 30 - areas[i].r.measure;
    s += w * std::sin(areas[i].r.orientation / kDegrees);
    c += w * std::cos(areas[i].r.orientation / kDegrees);
    weights += w;
    ++n;
  }
  if (n == 0) return 0;
  int o = static_cast<int>(std::atan2(s, c) * kDegrees);
  if (o < 0) o += 360;
  *orientation = o;
  *measure = 30 - weights / n;
  return n;
}

}  // namespace

int FindFingerRegions(const uint8_t* image, int height, int width, uint8_t* work, MainFingerRegion* first,
                      FingerRegion* second) {
  if (image == nullptr || work == nullptr || first == nullptr || second == nullptr || height <= 0 || width <= 0)
    return -1;
  StartValues(first->region, height, width);
  StartValues(*second, height, width);
  ForegroundStatistics s{};
  s.height = height;
  s.width = width;
  s.lowPercent = 5;
  s.highPercent = 10;
  s.minimumArea = 10000;
  GlobalLevels(image, s);
  first->highLevel = s.high;
  LocalContrastMap(image, height, width, s.low, s.high, work);
  SmoothAndThreshold(work, height, width, 130, 1, 0);
  SmoothAndThreshold(work, height, width, 100, 1, 0);

  // Areas: large, compact foreground areas are kept in a table of ten, the largest winning.
  constexpr size_t kMaxAreas = 10;
  constexpr uint8_t kDropped = 5;
  std::vector<Area> areas;
  int label = 10;
  for (int row = 0; row < height; ++row)
    for (int c = 0; c < width; ++c) {
      uint8_t& seed = work[static_cast<size_t>(row) * width + c];
      if (seed > 1) continue;
      const int value = seed;
      seed = static_cast<uint8_t>(label);
      Area a;
      int count = 1;
      int64_t rowSum = row, colSum = c;
      a.r.top = a.r.bottom = row;
      a.r.left = a.r.right = c;
      FillRegion8(work, width, row, c, 0, height, 0, width, value, label, &a.r.top, &a.r.bottom, &a.r.left,
                  &a.r.right, &rowSum, &colSum, &count);
      auto drop = [&](const FingerRegion& r, int l) {
        RelabelInWindow(work, width, r.top, r.bottom, r.left, r.right, l, kDropped);
      };
      if (value != 1 || count <= s.minimumArea || Elongation(a.r.top, a.r.bottom, a.r.left, a.r.right) > 44) {
        drop(a.r, label);
        continue;
      }
      a.label = label;
      a.r.count = count;
      a.r.status = label;
      a.r.row = static_cast<int32_t>(rowSum / count);
      a.r.column = static_cast<int32_t>(colSum / count);
      a.r.orientation = RegionOrientation(work, width, a.r.top, a.r.bottom, a.r.left, a.r.right, a.r.row,
                                          a.r.column, label, label, &a.r.measure);
      if (areas.size() < kMaxAreas) {
        areas.push_back(a);
        ++label;
        continue;
      }
      size_t smallest = 0;
      for (size_t i = 1; i < areas.size(); ++i)
        if (areas[i].r.count < areas[smallest].r.count) smallest = i;
      if (areas[smallest].r.count < count) {
        drop(areas[smallest].r, areas[smallest].label);
        const int freed = areas[smallest].label;
        areas[smallest] = a;
        label = freed;
      } else {
        drop(a.r, label);
      }
    }
  if (areas.empty()) return 5;

  // Main area and the areas gathered round it.
  FingerRegion& f = first->region;
  f.left = width, f.right = -1, f.top = height, f.bottom = -1;
  size_t main = 0;
  for (size_t i = 0; i < areas.size(); ++i) {
    f.left = std::min(f.left, areas[i].r.left);
    f.right = std::max(f.right, areas[i].r.right);
    f.top = std::min(f.top, areas[i].r.top);
    f.bottom = std::max(f.bottom, areas[i].r.bottom);
    if (areas[i].r.count > areas[main].r.count) main = i;
  }
  Area& m = areas[main];
  m.r.status = 0;
  f.status = 1;
  int gRow = m.r.row, gCol = m.r.column;
  int64_t gCount = m.r.count;
  for (int round = 0; round < 3 && gCount < 150000; ++round) {
    size_t nearest = areas.size();
    int64_t best = 200000;
    for (size_t i = 0; i < areas.size(); ++i) {
      if (areas[i].r.status == 0) continue;
      const int64_t dr = areas[i].r.row - gRow, dc = areas[i].r.column - gCol;
      const int64_t d = dr * dr + dc * dc;
      if (d < best) best = d, nearest = i;
    }
    if (nearest == areas.size()) break;
    FingerRegion& g = areas[nearest].r;
    gRow = static_cast<int>((gRow * gCount + static_cast<int64_t>(g.row) * g.count) / (gCount + g.count));
    gCol = static_cast<int>((gCol * gCount + static_cast<int64_t>(g.column) * g.count) / (gCount + g.count));
    gCount += g.count;
    g.status = 0;
    ++f.status;
  }
  f.row = gRow;
  f.column = gCol;
  f.count = static_cast<int32_t>(gCount);

  // Areas pointing toward the gathered centre.
  int pointing = 0;
  for (Area& a : areas) {
    FingerRegion& r = a.r;
    if (r.status == 0 || r.measure >= 21 || r.count >= 60001) continue;
    const int64_t dr = r.row - gRow, dc = r.column - gCol;
    if (dr * dr + dc * dc >= 810001) continue;
    int d = Fold180(Direction(r.row, r.column, gRow, gCol) - r.orientation);
    if (d > 90) {
      d = 180 - d;
      r.orientation += 180;
    }
    if (d < 41) r.status = 1, ++pointing;
  }
  if (pointing == 1) {
    for (Area& a : areas)
      if (a.r.status == 1 && a.r.count < 18000 &&
          (f.status > 1 || m.r.measure > 45 || Fold90(a.r.orientation - m.r.orientation) > 20)) {
        a.r.status = 0;
        pointing = 0;
      }
  }
  const int boxRow = (m.r.top + m.r.bottom) / 2, boxCol = (m.r.left + m.r.right) / 2;
  if (pointing > 0) {
    if (f.status < 2 && m.r.measure < 46) {
      if (Fold180(Direction(boxRow, boxCol, gRow, gCol) - m.r.orientation) > 90) m.r.orientation += 180;
      m.r.status = 1;
      ++pointing;
    }
    int orientation = 0, measure = 0;
    if (pointing == 1) {
      for (const Area& a : areas)
        if (a.r.status == 1) orientation = a.r.orientation, measure = a.r.measure;
    } else {
      MeanOrientation(areas, main, &orientation, &measure);
      // The pointing area farthest from the mean is set aside when they spread too wide.
      int lo = 0, hi = 0;
      size_t loArea = 0, hiArea = 0;
      bool any = false;
      for (size_t i = 0; i < areas.size(); ++i) {
        if (areas[i].r.status != 1) continue;
        int d = areas[i].r.orientation - orientation;
        while (d > 180) d -= 360;
        while (d < -180) d += 360;
        if (!any || d < lo) lo = d, loArea = i;
        if (!any || d > hi) hi = d, hiArea = i;
        any = true;
      }
      if (hi - lo > 30) {
        areas[hi > -lo ? hiArea : loArea].r.status = 2;
        MeanOrientation(areas, main, &orientation, &measure);
      }
    }
    f.orientation = orientation;
    f.measure = measure;
    if (f.status < 2) f.status = m.label;
  } else if (f.status < 2 && m.r.measure < 46) {
    const int a = static_cast<int>(
        std::atan2(static_cast<double>(boxRow - gRow), static_cast<double>(boxCol - gCol)) * -kDegrees);
    if (Fold180(m.r.orientation + a) > 90) m.r.orientation += 180;
    f.orientation = m.r.orientation;
    f.measure = static_cast<int>(m.r.measure * 1.3);
    f.status = m.label;
  } else {
    f.orientation = 270;
    f.measure = 90;
  }

  // Second result: the largest compact area left aside that points neither along its own axis nor
  // along the result toward the gathered centre.
  const Area* other = nullptr;
  for (Area& a : areas) {
    FingerRegion& r = a.r;
    if (r.status <= 1 || r.measure >= 31 || r.count < 30000 || r.count > 150000) continue;
    int d = Direction(r.row, r.column, gRow, gCol) - r.orientation;
    if (d < 0) d += 360;
    const int own = Fold90(d);
    int e = Direction(r.row, r.column, gRow, gCol) - f.orientation;
    if (e < 0) e += 360;
    if (own < 30 || Fold90(e) < 30) continue;
    if (f.measure < 90 && Fold180(r.orientation - f.orientation) > 90) r.orientation += 180;
    if (other == nullptr || r.count > other->r.count) other = &a;
  }
  if (other != nullptr) *second = other->r;
  return 5;
}
