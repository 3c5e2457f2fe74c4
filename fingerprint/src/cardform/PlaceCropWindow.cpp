// Finger crop-window placement: the search area is reduced to 10 x 10 blocks, the blocks at or
// below the histogram valley form dark regions, the regions are trimmed and compared, and the
// window is set on the chosen one.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "CropWindow.h"
#include "SlapSegmentation.h"

namespace {

constexpr int kBlock = 10;
constexpr int kMaxArea = 1500;
constexpr int kMinCrop = 128;
constexpr int kSmallRegion = 400;   // fewer blocks: not a finger
constexpr int kLargeRegion = 1800;  // more blocks after trimming: chosen at once

// Block-map values.
constexpr uint8_t kLight = 0, kDark = 1, kSmallSeed = 5, kSmall = 40, kRemoved = 80, kCompared = 100,
                  kBest = 120, kExamined = 128, kCrease = 150, kCreaseWork = 151;

struct Box {
  int minRow = 0, maxRow = -1, minCol = 0, maxCol = -1;
  bool Empty() const { return minRow > maxRow || minCol > maxCol; }
};

class BlockMap {
 public:
  BlockMap(int rows, int cols) : rows(rows), cols(cols), map(size_t(rows) * cols), means(size_t(rows) * cols) {}
  uint8_t& At(int r, int c) { return map[size_t(r) * cols + c]; }
  int Mean(int r, int c) const { return means[size_t(r) * cols + c]; }

  // Relabels `from` to `to` inside the box; returns the count and the sum of their block means.
  int Relabel(const Box& b, uint8_t from, uint8_t to, int* level = nullptr) {
    int n = 0, sum = 0;
    for (int r = std::max(b.minRow, 0); r <= std::min(b.maxRow, rows - 1); ++r)
      for (int c = std::max(b.minCol, 0); c <= std::min(b.maxCol, cols - 1); ++c)
        if (At(r, c) == from) {
          At(r, c) = to;
          ++n;
          sum += Mean(r, c);
        }
    if (level != nullptr) *level = n > 0 ? sum / n : 0;
    return n;
  }

  // 8-connected fill of `from` to `to` from a seed inside the window (inclusive rows / columns).
  int Fill(int row, int col, int r0, int r1, int c0, int c1, uint8_t from, uint8_t to, Box* box, int64_t* sumRows) {
    At(row, col) = to;
    int count = 1;
    int64_t sumCols = col;
    *box = Box{row, row, col, col};
    *sumRows = row;
    FillRegion8(map.data(), cols, row, col, r0, r1 + 1, c0, c1 + 1, from, to, &box->minRow, &box->maxRow,
                &box->minCol, &box->maxCol, sumRows, &sumCols, &count);
    return count;
  }

  int rows, cols;
  std::vector<uint8_t> map, means;
};

// One side of a box: which lines it walks and how many marked blocks a line holds.
enum Side { kLeft, kRight, kTop, kBottom };

struct SideView {
  BlockMap& m;
  Box& b;
  Side side;
  bool Columns() const { return side == kLeft || side == kRight; }
  // Extent along the walk and across a line (max - min).
  int Along() const { return Columns() ? b.maxCol - b.minCol : b.maxRow - b.minRow; }
  int Across() const { return Columns() ? b.maxRow - b.minRow : b.maxCol - b.minCol; }
  // Index of the line i steps in from the side.
  int Line(int i) const {
    switch (side) {
      case kLeft: return b.minCol + i;
      case kRight: return b.maxCol - i;
      case kTop: return b.minRow + i;
      default: return b.maxRow - i;
    }
  }
  int Lines() const { return Along() + 1; }
  uint8_t& Cell(int line, int k) { return Columns() ? m.At(b.minRow + k, line) : m.At(line, b.minCol + k); }
  int Count(int line, uint8_t mark, int* longestRun = nullptr) {
    int n = 0, run = 0, longest = 0;
    for (int k = 0; k <= Across(); ++k)
      if (Cell(line, k) == mark) {
        ++n;
        longest = std::max(longest, ++run);
      } else {
        run = 0;
      }
    if (longestRun != nullptr) *longestRun = longest;
    return n;
  }
  int Remove(int line, uint8_t mark, uint8_t to) {
    int n = 0;
    for (int k = 0; k <= Across(); ++k)
      if (Cell(line, k) == mark) Cell(line, k) = to, ++n;
    return n;
  }
  // Moves the side's edge past `lines` lines.
  void Drop(int lines) {
    switch (side) {
      case kLeft: b.minCol += lines; break;
      case kRight: b.maxCol -= lines; break;
      case kTop: b.minRow += lines; break;
      default: b.maxRow -= lines; break;
    }
  }
};

// Peels thin lines off one side: a line holding fewer than 12 marked blocks and fewer than a third
// of the extent across it is removed. Returns the blocks removed.
int Peel(BlockMap& m, Box& b, Side side, uint8_t mark, uint8_t to) {
  int removed = 0;
  SideView v{m, b, side};
  while (!b.Empty()) {
    const int line = v.Line(0);
    const int n = v.Count(line, mark);
    if (n >= 12 || n >= v.Across() / 3) break;
    removed += v.Remove(line, mark, to);
    v.Drop(1);
  }
  return removed;
}

// One side trim at a level 1..3 (see the trimming of a region). Returns the blocks removed.
int TrimSide(BlockMap& m, Box& b, Side side, int level, uint8_t mark, uint8_t to) {
  if (b.Empty()) return 0;
  SideView v{m, b, side};
  const int along = v.Along(), across = v.Across();
  const int scanned = side == kBottom ? along / (5 - level) : along / (6 - level);
  const int half = across / 2;
  auto solid = [&](int n) { return n >= 15 || (2 * n >= across && across + 1 - n < 21); };
  int cut = -1;
  if (scanned <= 0) {
    if (across + 1 >= 15) return 0;
    cut = 0;  // a narrow box loses its side line
  } else {
    int weakest = 0, weakestN = 1 << 30, strongestN = -1, sideN = 0;
    for (int i = 0; i < scanned && i < v.Lines(); ++i) {
      const int n = v.Count(v.Line(i), mark);
      if (i == 0) sideN = n;
      if (n <= weakestN) weakest = i, weakestN = n;  // the innermost on ties
      strongestN = std::max(strongestN, n);
    }
    // The side line is as weak as any: the edge is straight and solid, nothing to trim (cutting
    // the innermost of equal lines would eat a solid region away pass after pass).
    if (sideN == weakestN && weakestN >= 15) return 0;
    if (strongestN >= 21 && weakestN >= 15 &&
        (weakestN > half || strongestN < half || strongestN - weakestN < 12))
      return 0;
    int run = 0;
    v.Count(v.Line(weakest), mark, &run);
    const bool byRun = level == 3 || (level == 2 && side == kBottom);
    if (byRun ? run > 20 : weakestN > 20) return 0;
    if (solid(weakestN)) {
      cut = weakest;
    } else {
      cut = v.Lines() - 2;  // the line before the far side when no line further in is solid
      for (int i = weakest + 1; i < v.Lines(); ++i)
        if (solid(v.Count(v.Line(i), mark))) {
          cut = i - 1;
          break;
        }
    }
  }
  if (cut < 0) return 0;
  int removed = 0;
  for (int i = 0; i <= cut; ++i) removed += v.Remove(v.Line(i), mark, to);
  v.Drop(cut + 1);
  return removed;
}

// How much an axis still needs trimming: 1 done, 2 a little, 3 a lot.
int TrimNeed(int extent, int crop, int count, int near, int far) {
  if (extent <= crop || count < 1500) return 1;
  if (extent <= crop + near || (extent <= crop + far && count < 3000)) return 2;
  return 3;
}

// Trims a region (peeling, then side trims at rising levels) and returns the blocks left.
int TrimRegion(BlockMap& m, Box& b, int count, uint8_t mark, uint8_t to, int cropRows, int cropCols) {
  for (Side s : {kLeft, kRight, kTop, kBottom}) count -= Peel(m, b, s, mark, to);
  int level = 1;
  bool colsDone = false, rowsDone = false;
  while (!b.Empty()) {
    int removed = 0;
    if (!colsDone) removed += TrimSide(m, b, kLeft, level, mark, to) + TrimSide(m, b, kRight, level, mark, to);
    if (!rowsDone) removed += TrimSide(m, b, kTop, level, mark, to) + TrimSide(m, b, kBottom, level, mark, to);
    count -= removed;
    const int needCols = TrimNeed(b.maxCol - b.minCol, cropCols, count, 10, 20);
    const int needRows = TrimNeed(b.maxRow - b.minRow, cropRows, count, 5, 15);
    // Only an axis still being trimmed lowers the level: a finished axis (need 1) would pull it
    // back down after every rise and the trimming would never end.
    if (!colsDone) level = std::min(level, needCols);
    if (!rowsDone) level = std::min(level, needRows);
    if (removed > 0) continue;
    colsDone = colsDone || needCols <= level;
    rowsDone = rowsDone || needRows <= level;
    if (colsDone && rowsDone) break;
    if (++level > 3) break;
  }
  return count;
}

struct Region {
  Box box;
  int count = 0;
  int level = 0;
  float ratio = 1;
};

// Whether the newer region `r` beats the best so far.
bool Wins(const Region& r, const Region& best, int threshold, int rows, int cols) {
  if (r.count * 2 < best.count) return false;
  if (r.count > best.count * 2) return true;
  if (0.75f * best.ratio > r.ratio) return true;
  if (0.75f * r.ratio > best.ratio) return false;
  if (r.level - best.level > 15 && r.level - best.level > (threshold - best.level) / 2) return false;
  if (best.level - r.level > 15 && best.level - r.level > (threshold - r.level) / 2) return true;
  const int rRow = (r.box.minRow + r.box.maxRow) / 2, rCol = (r.box.minCol + r.box.maxCol) / 2;
  const int bRow = (best.box.minRow + best.box.maxRow) / 2, bCol = (best.box.minCol + best.box.maxCol) / 2;
  auto dist = [&](int row, int col) {
    return (row - rows / 2) * (row - rows / 2) + (col - cols / 2) * (col - cols / 2);
  };
  if (dist(rRow, rCol) > 2 * dist(bRow, bCol)) return false;
  if (dist(bRow, bCol) > 2 * dist(rRow, rCol)) return true;
  // Regions lying more above each other than side by side: the upper one is the fingertip.
  const int rowDistance = std::abs(rRow - bRow), colDistance = std::abs(rCol - bCol);
  if (rowDistance > 2 * colDistance) return rRow <= bRow;
  auto density = [](const Region& x) {
    return float(x.count) / float(std::max(1, x.box.maxRow - x.box.minRow)) /
           float(std::max(1, x.box.maxCol - x.box.minCol));
  };
  return density(r) > density(best);
}

struct Placement {
  const int16_t* size;
  const uint8_t* image;
  BlockMap& m;
  int top, left, height, width, cropHeight, cropWidth, cropRows, cropCols, finger;
  uint8_t mark;
  Box b;

  int Flow(int blockRow, int blockCol) const {
    const int x = left + kBlock * blockCol + 5, y = top + kBlock * blockRow + 5;
    if (x < 10 || x > size[0] - 10) return 255;
    int value = 255, direction = 0;
    RidgeFlow(image, size[0], y, x, &value, &direction);
    return value;
  }

  // Longest vertical run of the mark in a column of the box and its mean row.
  int LongestRun(int col, double* meanRow) {
    int best = 0, bestEnd = b.minRow, run = 0;
    for (int r = b.minRow; r <= b.maxRow; ++r) {
      run = m.At(r, col) == mark ? run + 1 : 0;
      if (run > best) best = run, bestEnd = r;
    }
    *meanRow = bestEnd - (best - 1) / 2.0;
    return best;
  }

  // Slides a crop-wide window across a wide region toward the ridged side and cuts the box to it.
  void Horizontal() {
    int L = (b.maxCol - cropCols + 1 + b.minCol) / 2;
    int step = (b.maxCol - b.minCol - cropCols) / 4;
    const int halfHeight = (b.maxRow - b.minRow + 1) / 2;
    int lastMove = 0;
    for (int round = 0; round < 5 && step >= 1; ++round) {
      const int R = L + cropCols - 1;
      int nL = 0, nR = 0, sumL = 0, sumR = 0;
      for (int r = b.minRow; r <= b.maxRow; ++r) {
        const int y = top + kBlock * r + 5;
        if (y < 10 || y > size[1] - 10) continue;
        if (m.At(r, L) == mark) ++nL, sumL += Flow(r, L);
        if (m.At(r, R) == mark) ++nR, sumR += Flow(r, R);
      }
      const int vL = nL > 0 ? sumL / nL : 255, vR = nR > 0 ? sumR / nR : 255;
      auto decide = [&]() {
        if (nL < 15 && nR < 15) return 0;
        if (nR > 2 * nL) return 1;
        if (nL > 2 * nR) nR = 12;
        if (nL < 15) return 1;
        if (nR >= 15) {
          double rowL = 0, rowR = 0;
          if (nL < halfHeight || vL < 128)
            if (LongestRun(L, &rowL) < 21) nL = 10;
          if (nR < halfHeight || vR < 128)
            if (LongestRun(R, &rowR) < 21) nR = 10;
          if (nL < 15) return 1;
          if (nR >= 15 && vL < 128 && vR < 128) {
            if (rowR <= rowL) return 1;
            nR = 14;
          }
        }
        if (vL - vR >= 16) return nR >= 15 ? 1 : -1;
        if (nR >= 15 && vR - vL < 16) return 0;
        return -1;
      };
      const int move = decide();
      if (move == 0) break;
      if (lastMove != 0 && move != lastMove) step = 2 * step / 3;
      lastMove = move;
      while (step >= 1 && (L + move * step + cropCols - 1 > b.maxCol || L + move * step < b.minCol))
        step = 2 * step / 3;
      L += move * step;
    }
    const int R = L + cropCols - 1;
    m.Relabel(Box{b.minRow, b.maxRow, b.minCol, L - 1}, mark, kCompared);
    m.Relabel(Box{b.minRow, b.maxRow, R + 1, b.maxCol}, mark, kCompared);
    b.minCol = L;
    b.maxCol = R;
  }

  // Looks for the light crease of the finger's joint below the tip and cuts the region there.
  bool CreaseCut() {
    const int W = b.maxCol - b.minCol + 1, q = W / 4;
    const int centre = (b.minCol + b.maxCol + 1) / 2;
    const int startRow = b.minRow + std::max(30, 4 * W / 7);
    bool found = false;
    int cutRow = 0, widest = -1;
    Box widestArea;
    // Fills light blocks into the current area (151 while it is open) and adds them to it.
    Box area;
    int areaCount = 0;
    int64_t areaRows = 0;
    auto grow = [&](int row, int col, int r0, int r1, int c0, int c1) {
      r0 = std::max(r0, b.minRow), r1 = std::min(r1, b.maxRow);
      c0 = std::max(c0, b.minCol), c1 = std::min(c1, b.maxCol);
      if (row < r0 || row > r1 || col < c0 || col > c1 || m.At(row, col) != kLight) return;
      Box part;
      int64_t rowsSum = 0;
      areaCount += m.Fill(row, col, r0, r1, c0, c1, kLight, kCreaseWork, &part, &rowsSum);
      areaRows += rowsSum;
      area.minRow = std::min(area.minRow, part.minRow), area.maxRow = std::max(area.maxRow, part.maxRow);
      area.minCol = std::min(area.minCol, part.minCol), area.maxCol = std::max(area.maxCol, part.maxCol);
    };
    for (const int col : {centre, centre - q, centre + q}) {
      if (col < b.minCol || col > b.maxCol) continue;
      for (int r = startRow; r <= b.maxRow && !found; ++r) {
        if (m.At(r, col) != kLight) continue;
        int below = r + 1;
        while (below <= b.maxRow && m.At(below, col) == kLight) ++below;
        if (below > b.maxRow) break;
        const int r0 = std::max(b.minRow, r - 4), r1 = std::min(b.maxRow, below + 3);
        const int c0 = std::max(b.minCol, col - q - 3), c1 = std::min(b.maxCol, col + q + 2);
        area = Box{r, r, col, col};
        areaCount = 0;
        areaRows = 0;
        grow(r, col, r0, r1, c0, c1);
        const bool candidate = areaCount > 4 && area.maxCol - area.minCol >= 2 * (area.maxRow - area.minRow) &&
                               !(area.minRow == r0 && area.maxRow == r1 && area.maxCol - area.minCol + 1 <= 2 * q);
        if (candidate) {
          auto wideEnough = [&] { return area.maxCol - area.minCol + 1 > 3 * q / 2; };
          found = wideEnough();
          if (!found && area.minCol == col - q - 3 && area.minCol > b.minCol) {
            const Box seen = area;
            for (int rr = seen.minRow; rr <= seen.maxRow && !found; ++rr)
              if (m.At(rr, seen.minCol) == kCreaseWork && m.At(rr, seen.minCol - 1) == kLight) {
                const int s = seen.minCol - 1;
                grow(rr, s, rr - 3, rr + 3, s - q - 3, s);
                found = wideEnough();
              }
          }
          if (!found && area.maxCol == col + q + 2 && area.maxCol < b.maxCol) {
            const Box seen = area;
            for (int rr = seen.minRow; rr <= seen.maxRow && !found; ++rr)
              if (m.At(rr, seen.maxCol) == kCreaseWork && m.At(rr, seen.maxCol + 1) == kLight) {
                const int s = seen.maxCol + 1;
                grow(rr, s, rr - 6, rr + 6, s, s + q + 3);
                found = wideEnough();
              }
          }
          if (found) {
            cutRow = int(areaRows / areaCount);
          } else if (area.maxCol - area.minCol + 1 > widest) {
            widest = area.maxCol - area.minCol + 1;
            widestArea = area;
          }
        }
        m.Relabel(area, kCreaseWork, candidate ? kCrease : kLight);
        r = below - 1;
      }
      if (found) break;
    }
    if (!found) {
      if (widest < 0) return false;
      // The light blocks across the box in the rows of the widest candidate.
      const int r0 = std::max(b.minRow, widestArea.minRow - 3), r1 = std::min(b.maxRow, widestArea.maxRow + 3);
      int n = 0, columns = 0;
      int64_t rowsSum = 0;
      for (int c = b.minCol; c <= b.maxCol; ++c) {
        bool any = false;
        for (int r = r0; r <= r1; ++r)
          if (m.At(r, c) == kLight || m.At(r, c) == kCrease) ++n, rowsSum += r, any = true;
        columns += any;
      }
      if (columns <= 2 * q) return false;
      cutRow = int(rowsSum / n);
    }
    m.Relabel(Box{cutRow, b.maxRow, b.minCol, b.maxCol}, mark, kCompared);
    b.maxRow = cutRow - 1;
    return true;
  }

  int CentreX() const { return left + kBlock * (b.minCol + b.maxCol + 1) / 2; }
  int CentreY() const { return top + kBlock * (b.minRow + b.maxRow + 1) / 2; }
  int ClampX(int x) const { return std::clamp(x, left + cropWidth / 2, std::max(left + cropWidth / 2, left + width - cropWidth / 2)); }
  int ClampY(int y) const { return std::clamp(y, top + cropHeight / 2, std::max(top + cropHeight / 2, top + height - cropHeight / 2)); }
  bool Flat(int H, int W) const { return H < 30 && H < 0.75 * W; }
  void Densest() { DensestCropWindow(m.map.data(), m.rows, m.cols, cropRows, cropCols, &b.minRow, &b.maxRow, &b.minCol, &b.maxCol); }

  int RidgeCount(int row, int x0, int x1) const {
    int columns[1000], rows[1000], flags[1000], directions[1000], n = 0;
    columns[0] = x0, columns[1] = x1, rows[0] = row, rows[1] = row;
    const int count = LineRidgeCount(image, size, columns, rows, flags, directions, &n);
    return std::max(count, 0);  // a failed count is a low count
  }

  // Moves the window up or down until its top and bottom edges cross about as many ridges.
  int RidgeSearch(int x, int* y) {
    const int H = b.maxRow - b.minRow + 1, half = cropHeight / 2;
    const int T = top + kBlock * b.minRow, B = top + kBlock * b.maxRow;
    const bool thumb = finger == 1 || finger == 6;
    int cy = thumb || b.minRow < 3 ? T + half + (kBlock * H - cropHeight) / 3 : T + half + 20;
    int step = 24, direction = 0;  // -1 up, 1 down
    for (int round = 0; round < 5 && cy < B - half && cy > T + half; ++round) {
      const int u = RidgeCount(cy - half, x - half, x + half);
      const int d = RidgeCount(cy + half, x - half, x + half);
      if (u >= 25) {
        if (direction == 1) step /= 2;
        direction = -1;
        cy -= 2 * step;
      } else if (u >= 15 && direction == -1) {
        cy -= step;
      }
      if ((std::abs(d - u) <= 8 && d + u < 16) || std::abs(d - u) < 6) break;
      if (u < d) {
        if (direction == -1) step /= 2;
        direction = 1;
        cy += step;
      } else {
        if (direction == 1) step /= 2;
        direction = -1;
        cy -= step;
      }
      step = std::max(step / 2, 6);
    }
    if (cy - half < T) cy = T + half;
    if (cy + half > B) cy = B - half;
    if (!thumb && b.minRow >= 3 && cy - half > T) cy = (kBlock * b.minRow - half - top + cy) / 2 + half + top;
    *y = ClampY(cy);
    return 3;
  }

  int Place(int* x, int* y) {
    int H = b.maxRow - b.minRow + 1, W = b.maxCol - b.minCol + 1;
    if (kBlock * H < cropHeight + 50 && kBlock * W < cropWidth + 50) {
      if (Flat(H, W)) {
        Densest();
        *x = CentreX(), *y = CentreY();
        return 0;
      }
      *x = ClampX(CentreX());
      *y = kBlock * H < cropHeight ? ClampY(CentreY())
                                   : top + kBlock * b.minRow + cropHeight / 2 + (kBlock * H - cropHeight) / 3;
      return 0;
    }
    const bool horizontal = kBlock * W >= cropWidth + 100;
    if (horizontal) Horizontal();
    bool cut = false;
    if (kBlock * H >= cropHeight + 50 && CreaseCut()) {
      cut = true;
      Peel(m, b, kLeft, mark, kCompared);
      Peel(m, b, kRight, mark, kCompared);
    }
    if (horizontal) {
      Peel(m, b, kTop, mark, kCompared);
      Peel(m, b, kBottom, mark, kCompared);
    }
    H = b.maxRow - b.minRow + 1, W = b.maxCol - b.minCol + 1;
    if (kBlock * W >= cropWidth + 50) Horizontal();
    H = b.maxRow - b.minRow + 1, W = b.maxCol - b.minCol + 1;
    *x = ClampX(CentreX());
    if (kBlock * H >= cropHeight + 50) {
      if (finger == 5 || finger == 10) {
        *y = top + kBlock * b.minRow + cropHeight / 2;
        return 2;
      }
      return RidgeSearch(*x, y);
    }
    if (kBlock * H > cropHeight) {
      *y = top + kBlock * b.minRow + cropHeight / 2 + (kBlock * H - cropHeight) / 3;
    } else if (Flat(H, W)) {
      Densest();
      *x = CentreX();
      *y = ClampY(CentreY());
    } else if (cut && cropHeight - kBlock * H > 40) {
      *y = ClampY(top + kBlock * b.minRow - 20 + cropHeight / 2);
    } else {
      *y = ClampY(CentreY());
    }
    return 1;
  }
};

}  // namespace

int PlaceFingerCropWindow(const int16_t size[2], const uint8_t* image, int* centreX, int* centreY,
                          const CropWindowRequest* request) {
  if (request == nullptr || centreX == nullptr || centreY == nullptr) return -2;
  int top = request->top, left = request->left, height = request->height, width = request->width;
  *centreX = left + width / 2;
  *centreY = top + height / 2;
  if (image == nullptr || size == nullptr) return -2;
  if (height > kMaxArea) top += (height - kMaxArea) / 2, height = kMaxArea;
  if (width > kMaxArea) left += (width - kMaxArea) / 2, width = kMaxArea;
  const int cropHeight = std::min(request->cropHeight, height), cropWidth = std::min(request->cropWidth, width);
  if (cropHeight < kMinCrop) return -5;
  if (cropWidth < kMinCrop) return -6;

  BlockMap m(height / kBlock, width / kBlock);
  const int threshold = BlockMeanThreshold(size, image, top, left, height, width, kBlock, m.means.data());
  if (threshold < 0) {
    std::printf("ERROR: From new-histogram ! (%d)\n", threshold);
    return -1;
  }
  for (size_t i = 0; i < m.map.size(); ++i) m.map[i] = m.means[i] <= threshold ? kDark : kLight;

  const int cropRows = cropHeight / kBlock, cropCols = cropWidth / kBlock;
  Region best;
  bool haveBest = false, chosenAtOnce = false;
  for (int r = 0; r < m.rows && !chosenAtOnce; ++r)
    for (int c = 0; c < m.cols && !chosenAtOnce; ++c) {
      if (m.At(r, c) != kDark) continue;
      Region region;
      int64_t sumRows = 0;
      const int before = m.Fill(r, c, 0, m.rows - 1, 0, m.cols - 1, kDark, kExamined, &region.box, &sumRows);
      if (before < kSmallRegion) {
        m.Relabel(region.box, kExamined, kSmall);
        m.At(r, c) = kSmallSeed;
        continue;
      }
      region.count = TrimRegion(m, region.box, before, kExamined, kRemoved, cropRows, cropCols);
      region.ratio = region.count > 0 ? float(before) / float(region.count) : 0.f;
      if (region.count > kLargeRegion) {
        best = region;
        haveBest = chosenAtOnce = true;
      } else if (region.count < kSmallRegion) {
        m.Relabel(region.box, kExamined, kRemoved);
      } else if (!haveBest) {
        m.Relabel(region.box, kExamined, kBest, &region.level);
        best = region;
        haveBest = true;
      } else {
        m.Relabel(region.box, kExamined, kCompared, &region.level);
        if (Wins(region, best, threshold, m.rows, m.cols)) {
          m.Relabel(best.box, kBest, kRemoved);
          m.Relabel(region.box, kCompared, kBest);
          best = region;
        } else {
          m.Relabel(region.box, kCompared, kRemoved);
        }
      }
    }

  Placement p{size, image, m, top, left, height, width, cropHeight, cropWidth, cropRows, cropCols,
              request->finger, chosenAtOnce ? kExamined : kBest, best.box};
  if (!haveBest) {
    p.b = Box{m.rows / 2, m.rows / 2, m.cols / 2, m.cols / 2};
    p.Densest();
    *centreX = p.CentreX();
    *centreY = p.CentreY();
    return 4;
  }
  return p.Place(centreX, centreY);
}
