// Image helpers of the offline segmentation: grey-level statistics, density filter, turned crops
// and the box of the fingerprint area in a finger crop.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "BlockFrequency.h"
#include "OfflineSegmentation.h"

int GreyLevelStats(const uint8_t* image, GreyStats* s) {
  if (image == nullptr || s == nullptr || s->Width < 1 || s->Height < 1) return -1;
  const long long n = static_cast<long long>(s->Width) * s->Height;
  long long hist[256] = {};
  long long sum = 0;
  for (long long i = 0; i < n; ++i) {
    ++hist[image[i]];
    sum += image[i];
  }
  s->Mean = static_cast<int>(sum / n);
  const long long unit = std::max(n / 100, 1LL);
  s->Share0 = static_cast<int>(hist[0] / unit);
  s->Share255 = static_cast<int>(hist[255] / unit);
  s->Low = s->LowPct = 255;
  long long cum = 0;
  bool lowSeen = false;
  for (int l = 0; l < 256; ++l) {
    cum += hist[l];
    if (!lowSeen && cum > unit) {
      s->Low = l;
      lowSeen = true;
    }
    if (cum > s->LowPercent * unit) {
      s->LowPct = l;
      break;
    }
  }
  // From the bright end down to the low-percentage level; levels not reached keep that level.
  s->High = s->HighPct = s->LowPct;
  cum = 0;
  bool highSeen = false;
  for (int l = 255; l >= s->LowPct; --l) {
    cum += hist[l];
    if (!highSeen && cum > unit) {
      s->High = l;
      highSeen = true;
    }
    if (cum > s->HighPercent * unit) {
      s->HighPct = l;
      break;
    }
  }
  return 0;
}

void BinaryDensityFilter(uint8_t* map, int width, int height, int radius) {
  if (map == nullptr || width < 1 || height < 1 || radius < 0) return;
  // Running column sums over a copy; the window is clipped at the border.
  std::unique_ptr<int[]> colSum(new (std::nothrow) int[static_cast<size_t>(width + 1) * height]);
  if (!colSum) return;
  // colSum[(x + 1) * height + y] = sum of map[0..x][y]
  for (int y = 0; y < height; ++y) colSum[y] = 0;
  for (int x = 0; x < width; ++x)
    for (int y = 0; y < height; ++y)
      colSum[static_cast<size_t>(x + 1) * height + y] =
          colSum[static_cast<size_t>(x) * height + y] + (map[static_cast<size_t>(x) * height + y] != 0);
  const int side = 2 * radius + 1;
  const float scale = 255.0f / static_cast<float>(side * side);
  for (int x = 0; x < width; ++x) {
    const int x0 = std::max(0, x - radius), x1 = std::min(width - 1, x + radius);
    int window = 0;
    auto column = [&](int y) {
      return colSum[static_cast<size_t>(x1 + 1) * height + y] - colSum[static_cast<size_t>(x0) * height + y];
    };
    for (int y = 0; y <= std::min(radius, height - 1); ++y) window += column(y);
    for (int y = 0; y < height; ++y) {
      map[static_cast<size_t>(x) * height + y] = static_cast<uint8_t>(std::min(255.0f, window * scale));
      if (y + radius + 1 < height) window += column(y + radius + 1);
      if (y - radius >= 0) window -= column(y - radius);
    }
  }
}

int GetImageByAngle(const uint8_t* image, int width, int height, int centreX, int centreY, int angleDeg,
                    uint8_t* out, int outWidth, int outHeight) {
  if (out == nullptr || outWidth < 1 || outHeight < 1) return -1;
  const size_t outSize = static_cast<size_t>(outWidth) * outHeight;
  const int hx = outWidth / 2, hy = outHeight / 2;
  const int x0 = std::max(0, centreX - hx), x1 = std::min(width, centreX + hx);
  const int y0 = std::max(0, centreY - hy), y1 = std::min(height, centreY + hy);
  if (image == nullptr || width < 1 || height < 1 || x1 <= x0 || y1 <= y0) {
    std::printf("Err: GetImageByAngle Image size (%d,%d) Center (%d,%d)\n", width, height, centreX, centreY);
    std::printf("Err: GetImageByAngle will crush now !!!\n");
    std::memset(out, 255, outSize);
    return -1;
  }
  // Fill value: the bright level of the part of the image under the window.
  const int partLines = x1 - x0, partLength = y1 - y0;
  std::vector<uint8_t> part(static_cast<size_t>(partLines) * partLength);
  for (int x = x0; x < x1; ++x)
    std::memcpy(&part[static_cast<size_t>(x - x0) * partLength], image + static_cast<size_t>(x) * height + y0,
                partLength);
  GreyStats stats;
  stats.Width = partLines;
  stats.Height = partLength;
  stats.LowPercent = 1;
  stats.HighPercent = 10;
  GreyLevelStats(part.data(), &stats);
  const auto fill = static_cast<uint8_t>(stats.HighPct);
  const double t = (90 - angleDeg) * 0.017453333333333335;
  const double c = std::cos(t), s = std::sin(t);
  for (int i = 0; i < outWidth; ++i)
    for (int j = 0; j < outHeight; ++j) {
      const int sx = static_cast<int>((i - hx) * c - (j - hy) * s + centreX + 0.5);
      const int sy = static_cast<int>((j - hy) * c + (i - hx) * s + centreY + 0.5);
      out[static_cast<size_t>(i) * outHeight + j] =
          (sx >= 0 && sx < width && sy >= 0 && sy < height) ? image[static_cast<size_t>(sx) * height + sy] : fill;
    }
  return 0;
}

void BackgroundMask(const uint8_t* image, int width, int height, const AreaLevels* levels, uint8_t* mask,
                    int radius) {
  const size_t n = static_cast<size_t>(width) * height;
  std::memset(mask, 1, n);
  const int dark = std::min(levels->Dark, 64), bright = std::max(levels->Bright, 128);
  const int mid = (bright + dark) / 3, contrast = (bright - dark) / 6;
  const int side = 2 * radius + 1;
  if (width < 2 * radius + 3 || height < 2 * radius + 3) return;
  // Running histogram of the window, with a coarse histogram of 16 levels a bin for the searches.
  for (int x = radius + 1; x < width - radius - 1; ++x) {
    int hist[256] = {}, coarse[16] = {};
    auto add = [&](int y, int d) {
      for (int i = x - radius; i <= x + radius; ++i) {
        const uint8_t v = image[static_cast<size_t>(i) * height + y];
        hist[v] += d;
        coarse[v >> 4] += d;
      }
    };
    for (int y = 1; y < 1 + side - 1; ++y) add(y, 1);
    for (int y = radius + 1; y < height - radius - 1; ++y) {
      add(y + radius, 1);
      if (y - radius - 1 >= 1) add(y - radius - 1, -1);
      // L: the level at which `side` pixels are reached from the dark end; H from the bright end.
      int acc = 0, b = 0;
      while (acc + coarse[b] < side) acc += coarse[b++];
      int l = b * 16;
      while (acc + hist[l] < side) acc += hist[l++];
      acc = 0;
      b = 15;
      while (acc + coarse[b] < side) acc += coarse[b--];
      int h = b * 16 + 15;
      while (acc + hist[h] < side) acc += hist[h--];
      const int v = image[static_cast<size_t>(x) * height + y];
      mask[static_cast<size_t>(x) * height + y] = (h - l < contrast && v > mid && l > mid) ? 1 : 0;
    }
  }
}

int SelectMainRegion(uint8_t* mask, int width, int height, AreaLevels* levels) {
  const double extent = std::max(width, height);
  const double cx = width / 2.0, cy = height / 2.0;
  auto score = [&](const RegionMeasure& m) {
    // Centre of the region's box: the coordinate sums are not needed for the offset.
    const double ox = std::abs((m.minLine + m.maxLine) / 2.0 - cx);
    const double oy = std::abs((m.minColumn + m.maxColumn) / 2.0 - cy);
    return m.count * (1.0 - 1.4 * std::max(ox, oy) / extent);
  };
  int label = 5;
  int bestCount = 20000;
  int bestLabel = 0;
  double bestScore = 0;
  RegionMeasure best;
  for (int x = 0; x < width && label <= 254; ++x)
    for (int y = 0; y < height && label <= 254; ++y) {
      if (mask[static_cast<size_t>(x) * height + y] != 0) continue;
      RegionMeasure m;
      const int count = FillLabelRegion(mask, width, height, x, y, 0, label, &m);
      bool take = false;
      if (bestLabel == 0) {
        take = count > bestCount;
      } else if (count > 2 * bestCount) {
        take = true;
      } else if (2 * count > bestCount) {
        take = score(m) > bestScore;
      }
      if (take) {
        bestCount = count;
        bestLabel = label;
        bestScore = score(m);
        best = m;
      }
      ++label;
    }
  if (bestLabel == 0) {
    levels->Label = 0;
    levels->Count = 0;
    return 0;
  }
  levels->Label = bestLabel;
  levels->Count = best.count;
  levels->MinX = best.minLine;
  levels->MaxX = best.maxLine;
  levels->MinY = best.minColumn;
  levels->MaxY = best.maxColumn;
  levels->SumX = best.sumLine;
  levels->SumY = best.sumColumn;
  return best.count;
}

void FillConvexHull(uint8_t* map, int width, int height, int v) {
  if (map == nullptr || width < 1 || height < 1) return;
  auto on = [&](int x, int y) {
    return x >= 0 && x < width && y >= 0 && y < height && map[static_cast<size_t>(x) * height + y] >= v;
  };
  struct P {
    long long x, y;
  };
  std::vector<P> pts;
  for (int x = 0; x < width; ++x)
    for (int y = 0; y < height; ++y)
      if (on(x, y) && !(on(x - 1, y) && on(x + 1, y) && on(x, y - 1) && on(x, y + 1))) pts.push_back({x, y});
  if (pts.size() < 3) return;
  // Monotone chain: pts are already sorted by x, then y.
  auto cross = [](const P& o, const P& a, const P& b) { return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x); };
  std::vector<P> hull(2 * pts.size());
  size_t k = 0;
  for (size_t i = 0; i < pts.size(); ++i) {
    while (k >= 2 && cross(hull[k - 2], hull[k - 1], pts[i]) <= 0) --k;
    hull[k++] = pts[i];
  }
  for (size_t i = pts.size() - 1, t = k + 1; i-- > 0;) {
    while (k >= t && cross(hull[k - 2], hull[k - 1], pts[i]) <= 0) --k;
    hull[k++] = pts[i];
  }
  hull.resize(k - 1);
  if (hull.size() < 3) return;  // all points on one line: no area to close
  long long minX = hull[0].x, maxX = hull[0].x, minY = hull[0].y, maxY = hull[0].y;
  for (const P& p : hull) {
    minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
  }
  for (long long x = minX; x <= maxX; ++x)
    for (long long y = minY; y <= maxY; ++y) {
      uint8_t& px = map[static_cast<size_t>(x) * height + y];
      if (px >= v) continue;
      bool inside = true;
      for (size_t i = 0; i < hull.size() && inside; ++i)
        inside = cross(hull[i], hull[(i + 1) % hull.size()], P{x, y}) >= 0;
      if (inside) px = static_cast<uint8_t>(v);
    }
}

namespace {

// Levels from the ridge map: blocks that show a ridge pattern are finger, the rest platen. Returns
// 0, or 255 when the crop shows too little platen to measure it.
int RidgeMapLevels(const uint8_t* crop, int width, int height, uint8_t* work, AreaLevels* lv) {
  const int hw = width / 2, hh = height / 2, cw = hw / 4, ch = hh / 4;
  if (cw < 1 || ch < 1) return 255;
  const size_t cells = static_cast<size_t>(cw) * ch;
  std::unique_ptr<uint8_t[]> half(new (std::nothrow) uint8_t[static_cast<size_t>(hw) * hh]);
  std::unique_ptr<uint8_t[]> cellMap(new (std::nothrow) uint8_t[3 * cells]);
  if (!half || !cellMap) return 255;
  ReduceImageByBlocks(crop, width, height, 0, 0, width, height, half.get(), 2);
  ReduceImageByBlocks(half.get(), hw, hh, 0, 0, hw, hh, cellMap.get() + cells, 4);
  AnalyseBlockFrequency(half.get(), hw, hh, 3, 50, 50, 1, cellMap.get());
  uint8_t* ridge = cellMap.get();
  uint8_t* second = cellMap.get() + 2 * cells;
  for (size_t i = 0; i < cells; ++i) ridge[i] = ridge[i] > 50 ? 1 : 0;
  BinaryDensityFilter(ridge, cw, ch, 3);
  for (size_t i = 0; i < cells; ++i) second[i] = ridge[i] != 0 ? 1 : 0;
  BinaryDensityFilter(second, cw, ch, 1);
  // Paint the finger blocks (8 x 8 pixels each, the block grid centred in the crop) with 200.
  const size_t n = static_cast<size_t>(width) * height;
  std::memset(work, 0, n);
  const int ox = (width - 8 * cw) / 2, oy = (height - 8 * ch) / 2;
  for (int i = 0; i < cw; ++i)
    for (int j = 0; j < ch; ++j)
      if (second[static_cast<size_t>(i) * ch + j] != 0)
        for (int x = ox + 8 * i; x < ox + 8 * i + 8; ++x)
          std::memset(work + static_cast<size_t>(x) * height + oy + 8 * j, 200, 8);
  // Platen level from the pixels outside the finger blocks, dark level from those inside.
  long long platen[256] = {}, finger[256] = {};
  long long platenCount = 0, fingerCount = 0;
  for (size_t i = 0; i < n; ++i) {
    if (work[i] < 200) {
      ++platen[crop[i]];
      ++platenCount;
    } else {
      ++finger[crop[i]];
      ++fingerCount;
    }
  }
  if (platenCount <= 10000) return 255;
  long long cum = 0;
  int bright = 255;
  for (int l = 255; l >= 0; --l)
    if ((cum += platen[l]) > platenCount / 2) {
      bright = l;
      break;
    }
  int dark = bright;
  cum = 0;
  for (int l = 0; l < 256 && fingerCount > 0; ++l)
    if ((cum += finger[l]) > fingerCount * 3 / 100) {
      dark = l;
      break;
    }
  lv->Dark = dark;
  lv->Bright = bright;
  lv->Background = (dark + 2 * bright) / 3;
  // The platen outside the finger blocks is flattened to its level; the finger blocks keep the crop.
  for (size_t i = 0; i < n; ++i) work[i] = work[i] < 200 ? static_cast<uint8_t>(lv->Background) : crop[i];
  return 0;
}

}  // namespace

int LocateFingerArea(uint8_t* crop, int width, int height, int mode, int* left, int* right, int* top,
                     int* bottom) {
  if (crop == nullptr || left == nullptr || right == nullptr || top == nullptr || bottom == nullptr ||
      width < 16 || height < 16 || width > 4096 || height > 4096)
    return -1;
  *left = *right = *top = *bottom = 0;
  const size_t n = static_cast<size_t>(width) * height;
  std::unique_ptr<uint8_t[]> memory(new (std::nothrow) uint8_t[3 * n]);
  if (!memory) return 255;
  uint8_t* work = memory.get();
  uint8_t* mask = memory.get() + n;
  AreaLevels lv;
  // 1. Levels.
  if (mode & 1) {
    GreyStats stats;
    stats.Width = width;
    stats.Height = height;
    stats.LowPercent = 3;
    stats.HighPercent = 10;
    GreyLevelStats(crop, &stats);
    lv.Dark = stats.LowPct;
    lv.Bright = stats.HighPct;
    lv.Background = (lv.Dark + 2 * lv.Bright) / 3;
    std::memcpy(work, crop, n);
  } else if (RidgeMapLevels(crop, width, height, work, &lv) != 0) {
    return 255;
  }
  // 2. Flat bright pixels are platen.
  BackgroundMask(work, width, height, &lv, mask, 5);
  // 3. The main finger region.
  const int count = SelectMainRegion(mask, width, height, &lv);
  if (count <= 20000) return std::max(count, 1);
  // 4. Columns (y) at the sides that hold too little finger or too bright a mean are cut off.
  std::vector<int> colCount(height, 0);
  std::vector<long long> colSum(height, 0);
  for (int x = lv.MinX; x <= lv.MaxX; ++x)
    for (int y = lv.MinY; y <= lv.MaxY; ++y) {
      const size_t i = static_cast<size_t>(x) * height + y;
      if (mask[i] == lv.Label) {
        ++colCount[y];
        colSum[y] += crop[i];
      }
    }
  auto holds = [&](int y) { return colCount[y] >= 80 && colSum[y] <= static_cast<long long>(lv.Background) * colCount[y]; };
  const int middle = (lv.MinY + lv.MaxY) / 2;
  int lo = lv.MinY, hi = lv.MaxY;
  for (int y = middle - 80; y >= lv.MinY; --y)
    if (!holds(y)) {
      lo = y;
      break;
    }
  for (int y = middle + 80; y <= lv.MaxY; ++y)
    if (!holds(y)) {
      hi = y;
      break;
    }
  int minX = width, maxX = -1, minY = height, maxY = -1;
  for (int x = lv.MinX; x <= lv.MaxX; ++x)
    for (int y = lo; y <= hi; ++y)
      if (mask[static_cast<size_t>(x) * height + y] == lv.Label) {
        minX = std::min(minX, x), maxX = std::max(maxX, x);
        minY = std::min(minY, y), maxY = std::max(maxY, y);
      }
  if (maxX < 0) return 1;
  *left = std::max(0, minX - 5);
  *right = std::min(width - 1, maxX + 5);
  *top = std::max(0, minY - 5);
  *bottom = std::min(height - 1, maxY + 5);
  // 5. Paint the platen outside the finger's hull with the background level.
  if ((mode & 2) == 0 && *right - *left > 15 && *bottom - *top > 15) {
    const int bw = (*right - *left + 1) / 8, bh = (*bottom - *top + 1) / 8;
    if (bw >= 1 && bh >= 1) {
      std::vector<uint8_t> blocks(static_cast<size_t>(bw) * bh, 0);
      for (int x = *left; x < *left + 8 * bw; ++x)
        for (int y = *top; y < *top + 8 * bh; ++y)
          if (mask[static_cast<size_t>(x) * height + y] == lv.Label)
            blocks[static_cast<size_t>((x - *left) / 8) * bh + (y - *top) / 8] = 1;
      FillConvexHull(blocks.data(), bw, bh, 1);
      for (int x = *left; x <= *right; ++x)
        for (int y = *top; y <= *bottom; ++y) {
          const int bx = std::min((x - *left) / 8, bw - 1), by = std::min((y - *top) / 8, bh - 1);
          const size_t i = static_cast<size_t>(x) * height + y;
          if (blocks[static_cast<size_t>(bx) * bh + by] == 0 && mask[i] != lv.Label)
            crop[i] = static_cast<uint8_t>(lv.Background);
        }
    }
  }
  return 0;
}

int LocateFingerArea(uint8_t* crop, int width, int height, int* left, int* right, int* top, int* bottom) {
  return LocateFingerArea(crop, width, height, 1, left, right, top, bottom);
}
