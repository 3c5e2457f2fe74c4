// Region, reduction and threshold helpers of the slap segmentation.
#include "SlapSegmentation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

int ReduceImageByBlocks(const uint8_t* src, int lineCount, int lineLength, int line0, int column0,
                        int cropLines, int cropColumns, uint8_t* dst, int factor) {
  if (src == nullptr || dst == nullptr) return -1;
  if (line0 < 0 || column0 < 0 || cropLines < 0 || cropColumns < 0) return -1;
  if (static_cast<int64_t>(line0) + cropLines > lineCount ||
      static_cast<int64_t>(column0) + cropColumns > lineLength)
    return -1;
  if (factor < 2 || factor > 16) return -1;
  const int outLines = cropLines / factor;
  const int outColumns = cropColumns / factor;
  if (outLines < 1) return 0;
  const int a = factor / 4;
  const int b = 3 * factor / 4;
  for (int i = 0; i < outLines; ++i) {
    const uint8_t* block = src + static_cast<size_t>(line0 + i * factor) * lineLength + column0;
    const uint8_t* lineA = block + static_cast<size_t>(a) * lineLength;
    const uint8_t* lineB = block + static_cast<size_t>(b) * lineLength;
    uint8_t* out = dst + static_cast<size_t>(i) * outColumns;
    for (int j = 0; j < outColumns; ++j) {
      const int c = j * factor;
      out[j] = static_cast<uint8_t>((lineA[c + a] + lineA[c + b] + lineB[c + a] + lineB[c + b] + 2) >> 2);
    }
  }
  return 0;
}

int ReduceImageBy8(const uint16_t sizePair[2], const uint8_t* src, int line0, int column0,
                   int cropLines, int cropColumns, uint8_t* dst) {
  if (sizePair == nullptr) return -1;
  return ReduceImageByBlocks(src, sizePair[1], sizePair[0], line0, column0, cropLines, cropColumns,
                             dst, 8);
}

float ThresholdSplitCost(const int hist[256], const float cumCount[256], const float cumSum[256],
                         int lo, int hi, float total, float totalSum, int t) {
  const float belowCount = cumCount[t];
  const float aboveCount = total - belowCount;
  const float m1 = belowCount > 0.0f ? cumSum[t] / belowCount : 0.0f;
  const float m2 = aboveCount > 0.0f ? (totalSum - cumSum[t]) / aboveCount : 0.0f;
  // Each sum is split at the integer part of its mean so that every term is non-negative.
  float below = 0.0f;
  const int split1 = static_cast<int>(m1);
  for (int l = lo; l <= t; ++l) {
    if (hist[l] == 0) continue;
    below += (l <= split1 ? (m1 - static_cast<float>(l)) : (static_cast<float>(l) - m1)) *
             static_cast<float>(hist[l]);
  }
  float above = 0.0f;
  const int split2 = static_cast<int>(m2);
  for (int l = t + 1; l <= hi; ++l) {
    if (hist[l] == 0) continue;
    above += (l <= split2 ? (m2 - static_cast<float>(l)) : (static_cast<float>(l) - m2)) *
             static_cast<float>(hist[l]);
  }
  return below + 1.5f * above;
}

int BlockHistogramThreshold(const uint8_t* image, int lineLength, int firstLine, int firstColumn,
                            int lines, int columns) {
  if (image == nullptr || lines <= 0 || columns <= 0 || firstLine < 0 || firstColumn < 0) return 0;
  int hist[256] = {};
  for (int x = 0; x < lines; ++x) {
    const uint8_t* p = image + static_cast<size_t>(firstLine + x) * lineLength + firstColumn;
    for (int y = 0; y < columns; ++y) ++hist[p[y]];
  }
  const float total = static_cast<float>(lines) * static_cast<float>(columns);
  int lo = 0, hi = 0;
  while (lo < 256 && hist[lo] == 0) ++lo;
  if (lo == 256) return 0;
  hi = 255;
  while (hist[hi] == 0) --hi;

  float cumCount[256] = {};
  float cumSum[256] = {};
  float count = 0.0f, sum = 0.0f;
  for (int l = lo; l <= hi; ++l) {
    count += static_cast<float>(hist[l]);
    sum += static_cast<float>(hist[l]) * static_cast<float>(l);
    cumCount[l] = count;
    cumSum[l] = sum;
  }
  const float totalSum = sum;
  if (hi - lo < 2) return lo;

  auto cost = [&](int t) { return ThresholdSplitCost(hist, cumCount, cumSum, lo, hi, total, totalSum, t); };
  int t[5];
  float c[5];
  t[0] = lo;
  t[2] = (lo + hi) / 2;
  t[4] = hi - 1;
  c[0] = cost(t[0]);
  c[2] = cost(t[2]);
  c[4] = cost(t[4]);
  if (hi - lo < 5) return t[2];

  int result = t[2];
  for (int range = hi - lo; range > 4; range /= 2) {
    const int q = range / 4;
    t[1] = t[0] + q;
    t[3] = t[2] + q;
    c[1] = cost(t[1]);
    c[3] = cost(t[3]);
    int j = 0;
    for (int k = 1; k < 5; ++k)
      if (c[k] < c[j]) j = k;
    j = std::clamp(j, 1, 3);
    result = t[j];
    const int nt0 = t[j - 1], nt2 = t[j], nt4 = t[j + 1];
    const float nc0 = c[j - 1], nc2 = c[j], nc4 = c[j + 1];
    t[0] = nt0; t[2] = nt2; t[4] = nt4;
    c[0] = nc0; c[2] = nc2; c[4] = nc4;
  }
  return result;
}

namespace {

// Scan-line fill shared by both connectivities: `reach` is 0 for 4-connected areas and 1 for
// 8-connected ones (the next lines are searched that far beyond each end of a run).
void ScanLineFill(uint8_t* image, int lineLength, int seedLine, int seedColumn, int lineMin, int lineEnd,
                  int columnMin, int columnEnd, int from, int to, int reach, int* minLine, int* maxLine,
                  int* minColumn, int* maxColumn, int64_t* sumLine, int64_t* sumColumn, int* count) {
  if (image == nullptr || lineLength <= 0 || from == to) return;
  // The window never leaves the image: lines below 0 and columns outside the line do not exist.
  lineMin = std::max(lineMin, 0);
  columnMin = std::max(columnMin, 0);
  columnEnd = std::min(columnEnd, lineLength);
  if (seedLine < lineMin || seedLine >= lineEnd || seedColumn < columnMin || seedColumn >= columnEnd)
    return;
  const auto fromValue = static_cast<uint8_t>(from);
  const auto toValue = static_cast<uint8_t>(to);
  auto at = [&](int x, int y) -> uint8_t& { return image[static_cast<size_t>(x) * lineLength + y]; };

  // Explicit stack of seeds instead of one recursion per pixel; the pixels reached, and so the
  // box, sums and count, are the same.
  std::vector<std::pair<int, int>> stack;
  stack.reserve(256);
  stack.emplace_back(seedLine, seedColumn);
  while (!stack.empty()) {
    const auto [x, y] = stack.back();
    stack.pop_back();
    int left = y;
    while (left - 1 >= columnMin && at(x, left - 1) == fromValue) {
      --left;
      at(x, left) = toValue;
      ++*count;
      *sumLine += x;
      *sumColumn += left;
    }
    int right = y;
    while (right + 1 < columnEnd && at(x, right + 1) == fromValue) {
      ++right;
      at(x, right) = toValue;
      ++*count;
      *sumLine += x;
      *sumColumn += right;
    }
    *minColumn = std::min(*minColumn, left);
    *maxColumn = std::max(*maxColumn, right);
    for (int dir = 0; dir < 2; ++dir) {
      const int nx = dir == 0 ? x + 1 : x - 1;
      if (dir == 0 ? nx >= lineEnd : nx < lineMin) continue;
      const int first = std::max(left - reach, columnMin), last = std::min(right + reach, columnEnd - 1);
      for (int yy = first; yy <= last; ++yy) {
        uint8_t& p = at(nx, yy);
        if (p != fromValue) continue;
        p = toValue;
        ++*count;
        *sumLine += nx;
        *sumColumn += yy;
        if (dir == 0)
          *maxLine = std::max(*maxLine, nx);
        else
          *minLine = std::min(*minLine, nx);
        stack.emplace_back(nx, yy);
      }
    }
  }
}

}  // namespace

int FillRegion(uint8_t* image, int lineLength, int seedLine, int seedColumn, int lineMin, int lineEnd,
               int columnMin, int columnEnd, int from, int to, int* minLine, int* maxLine,
               int* minColumn, int* maxColumn, int64_t* sumLine, int64_t* sumColumn, int* count) {
  ScanLineFill(image, lineLength, seedLine, seedColumn, lineMin, lineEnd, columnMin, columnEnd, from, to, 0,
               minLine, maxLine, minColumn, maxColumn, sumLine, sumColumn, count);
  return 0;
}

int FillRegion8(uint8_t* image, int lineLength, int seedLine, int seedColumn, int lineMin, int lineEnd,
                int columnMin, int columnEnd, int from, int to, int* minLine, int* maxLine,
                int* minColumn, int* maxColumn, int64_t* sumLine, int64_t* sumColumn, int* count) {
  ScanLineFill(image, lineLength, seedLine, seedColumn, lineMin, lineEnd, columnMin, columnEnd, from, to, 1,
               minLine, maxLine, minColumn, maxColumn, sumLine, sumColumn, count);
  return 0;
}


int RegionOrientation(uint8_t* image, int lineLength, int line0, int line1, int column0, int column1,
                      int centreLine, int centreColumn, int from, int to, int* elongation) {
  line0 = std::max(line0, 0);
  column0 = std::max(column0, 0);
  column1 = std::min(column1, lineLength - 1);
  int64_t a2 = 0, b2 = 0, ab = 0;
  if (image != nullptr) {
    for (int x = line0; x <= line1; ++x) {
      uint8_t* p = image + static_cast<size_t>(x) * lineLength;
      for (int y = column0; y <= column1; ++y) {
        if (p[y] != static_cast<uint8_t>(from)) continue;
        p[y] = static_cast<uint8_t>(to);
        const int64_t dx = x - centreLine;
        const int64_t dy = y - centreColumn;
        a2 += dx * dx;
        b2 += dy * dy;
        ab += dx * dy;
      }
    }
  }
  const double A = static_cast<double>(a2);
  const double B = static_cast<double>(b2);
  const double X = static_cast<double>(ab);
  const double d = std::sqrt((B - A) * (B - A) + 4.0 * X * X);
  const float a = static_cast<float>((A - B - d) / 2.0);
  const float r = static_cast<float>(std::sqrt(static_cast<double>(a) * a + X * X));
  // A region lying exactly along the lines (no cross moment) has a = 0 and r = 0: its angle is
  // 90, and its elongation still follows from the moments (only a round region gives 1.0).
  const double ratio = (d + A + B) > 0.0 ? (A + B - d) / (d + A + B) : 1.0;
  int angle = 90;
  if (r > 0.001f) {
    angle = static_cast<int>(std::atan2(-X / r, a / r) * 57.29564553093965);
    if (angle < 0) angle += 360;
    if (angle >= 180) angle -= 180;
  }
  if (elongation != nullptr) *elongation = static_cast<int>(ratio * 100.0 + 0.5);
  return angle;
}

int TrimRegionEdges(uint8_t* image, int lineLength, int from, int to, int* minLine, int* maxLine,
                    int* minColumn, int* maxColumn, int64_t* sumLine, int64_t* sumColumn, int* count) {
  if (image == nullptr) return 0;
  const auto fromValue = static_cast<uint8_t>(from);
  const auto toValue = static_cast<uint8_t>(to);
  // Peels one pixel if it carries the label; returns 1 when it did.
  auto peel = [&](int x, int y) -> int {
    uint8_t& p = image[static_cast<size_t>(x) * lineLength + y];
    if (p != fromValue) return 0;
    p = toValue;
    --*count;
    *sumLine -= x;
    *sumColumn -= y;
    return 1;
  };
  *minLine = std::max(*minLine, 0);
  *minColumn = std::max(*minColumn, 0);
  *maxColumn = std::min(*maxColumn, lineLength - 1);

  int limit = std::min((*maxLine - *minLine) / 5, 15);
  {  // low columns
    int y = *minColumn;
    for (; y <= *maxColumn; ++y) {
      int n = 0;
      for (int x = *minLine; x <= *maxLine; ++x) n += peel(x, y);
      if (n > limit) break;
    }
    *minColumn = std::min(y, *maxColumn) + 1;
  }
  {  // high columns
    int y = *maxColumn;
    for (; y >= *minColumn; --y) {
      int n = 0;
      for (int x = *minLine; x <= *maxLine; ++x) n += peel(x, y);
      if (n > limit) break;
    }
    *maxColumn = std::max(y, *minColumn) - 1;
  }
  limit = std::min((*maxColumn - *minColumn) / 5, 15);
  {  // low lines
    int x = *minLine;
    for (; x <= *maxLine; ++x) {
      int n = 0;
      for (int y = *minColumn; y <= *maxColumn; ++y) n += peel(x, y);
      if (n > limit) break;
    }
    if (x > *maxLine) {
      *maxLine = *maxLine - 1;
      return 0;
    }
    *minLine = x + 1;
  }
  {  // high lines
    int x = *maxLine;
    for (; x >= *minLine; --x) {
      int n = 0;
      for (int y = *minColumn; y <= *maxColumn; ++y) n += peel(x, y);
      if (n > limit) break;
    }
    *maxLine = std::max(x, *minLine) - 1;
  }
  return 0;
}

namespace {

// Relabels the short runs of one row of pixels reached with a step (1 along a line, the line
// length along a column).
void RemoveShortRunsInRow(uint8_t* first, int length, ptrdiff_t step, int maxRun, uint8_t value,
                          uint8_t replacement) {
  auto px = [&](int i) -> uint8_t& { return first[i * step]; };
  int i = 0;
  while (i < length) {
    if (px(i) != value) {
      ++i;
      continue;
    }
    const int start = i;
    while (i < length && px(i) == value) ++i;
    const int end = i;  // exclusive
    const int run = end - start;
    bool relabel = run <= maxRun;
    if (!relabel && run <= 2 * maxRun) {
      relabel = true;
      for (int k = std::max(0, start - maxRun); k < start && relabel; ++k)
        if (px(k) == value) relabel = false;
      for (int k = end; k < std::min(length, end + maxRun) && relabel; ++k)
        if (px(k) == value) relabel = false;
    }
    if (relabel)
      for (int k = start; k < end; ++k) px(k) = replacement;
  }
}

}  // namespace

int RemoveShortRuns(uint8_t* image, int lineLength, int lines, int columns, int maxRun, int value,
                    int replacement) {
  if (image == nullptr || lines <= 0 || columns <= 0) return 0;
  columns = std::min(columns, lineLength);
  const auto v = static_cast<uint8_t>(value);
  const auto r = static_cast<uint8_t>(replacement);
  for (int x = 0; x < lines; ++x)
    RemoveShortRunsInRow(image + static_cast<size_t>(x) * lineLength, columns, 1, maxRun, v, r);
  for (int y = 0; y < columns; ++y) RemoveShortRunsInRow(image + y, lines, lineLength, maxRun, v, r);
  return 0;
}

int MeanGreyUnderLabel(const uint8_t* grey, int greyLineLength, const uint8_t* labels, int labelLineLength,
                       int line0, int line1, int column0, int column1, int label) {
  if (grey == nullptr || labels == nullptr) return 255;
  line0 = std::max(line0, 0);
  column0 = std::max(column0, 0);
  column1 = std::min(column1, std::min(greyLineLength, labelLineLength) - 1);
  if (line0 > line1) return 255;
  int64_t sum = 0, n = 0;
  for (int x = line0; x <= line1; ++x) {
    const uint8_t* g = grey + static_cast<size_t>(x) * greyLineLength;
    const uint8_t* l = labels + static_cast<size_t>(x) * labelLineLength;
    for (int y = column0; y <= column1; ++y) {
      if (l[y] != static_cast<uint8_t>(label)) continue;
      sum += g[y];
      ++n;
    }
  }
  return n == 0 ? 255 : static_cast<int>(sum / n);
}

int MeanGreyInMask(const uint8_t* grey, const uint8_t* labels, int lineLength, int line0, int line1,
                   int column0, int column1, int label) {
  return MeanGreyUnderLabel(grey, lineLength, labels, lineLength, line0, line1, column0, column1, label);
}

int RelabelInWindow(uint8_t* image, int lineLength, int line0, int line1, int column0, int column1,
                    int from, int to) {
  if (image == nullptr) return 0;
  line0 = std::max(line0, 0);
  column0 = std::max(column0, 0);
  column1 = std::min(column1, lineLength - 1);
  for (int x = line0; x <= line1; ++x) {
    uint8_t* p = image + static_cast<size_t>(x) * lineLength;
    for (int y = column0; y <= column1; ++y)
      if (p[y] == static_cast<uint8_t>(from)) p[y] = static_cast<uint8_t>(to);
  }
  return 0;
}
