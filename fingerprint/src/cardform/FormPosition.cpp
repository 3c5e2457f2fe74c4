// Tenprint card analysis: defined form and search bands, the stacked reduced image with its line
// responses, horizontal lines, rolled rows, plain row, skew and box centres, the plain row's four
// boxes, mapping back to the card, flat prints, demographic area and bar code.
#include "FormPosition.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "Barcode.h"
#include "FormLines.h"
#include "OfflineSegmentation.h"
#include "SlapSegmentation.h"

namespace {

constexpr int kMaxWidth = 5000;
constexpr int kStackRows = 1800;
constexpr int kStackCols = kMaxWidth / 8;
constexpr int kDemoSide = 512;
constexpr int kMaxHorizontalLines = 40;

// Condition codes, summed into the result.
constexpr int kNoHorizontalLines = 2;
constexpr int kSkewFailed = 10;
constexpr int kPlainFailed = 100;
constexpr int kPairingFailed = 1000;
constexpr int kRowsNotFound = 10000;

// Tuning values in reduced pixels; index 0 unused.
std::atomic<int> gParameters[13] = {0, 80, 120, 65, 130, 40, 80, 90, 170, 0, 0, 0, 0};

// Working images of one analysis; one per thread, made on first use.
struct Workspace {
  uint8_t stack[kStackRows * kStackCols];
  uint8_t hmap[kStackRows * kStackCols];
  uint8_t vmap[kStackRows * kStackCols];
  int32_t rowProfile[kStackRows];
  int32_t columnProfile[kStackCols];
  uint8_t demo[kDemoSide * kDemoSide];
  uint8_t barH[kDemoSide * kDemoSide];
  uint8_t barV[kDemoSide * kDemoSide];
};
Workspace& Work() {
  thread_local std::unique_ptr<Workspace> w;
  if (!w) w = std::make_unique<Workspace>();
  return *w;
}

int Trunc(double v) { return int(std::trunc(v)); }

// A band of card rows reduced into the stack at reduced row `at`.
struct Band {
  int start, end;  // card rows [start, end)
  int at, rows;    // stack rows
};

struct Stack {
  Band band[3];
  int bands = 0;
  int rows = 0;  // stacked reduced rows
  int W = 0;     // reduced width
};

// The line's row: the mean of its first and last row.
double LineRow(const FormLine& l) { return (l.first + l.end - 1) / 2.0; }
int LineRowInt(const FormLine& l) { return (l.first + l.end - 1) / 2; }
// A horizontal line of a skewed card spreads over the rows it crosses, so its row in the profile
// is where it crosses the middle column; as the line y - t x = U its U is the row at column 0.
double RowAtLeftEdge(const FormLine& l, double t, int W) { return LineRow(l) - t * (W / 2.0); }

struct Row {
  int upper = -1, lower = -1;  // indexes into the horizontal line list
  int height = 0;              // rows between the two lines
};

// Column profile of the vertical responses of a gap's rows, searched in passes of growing minimum
// strength. Returns the score of the gap as the rolled rows are scored.
int ScoreRolledGap(const Workspace& w, int W, int top, int bottom, int Dmin, int Dmax, int purge) {
  const int G = bottom - top;
  int32_t profile[kStackCols];
  ColumnProfile(w.vmap, W, top, bottom - 1, 0, W - 1, 32, profile);
  FormLine lines[8];
  int best = 0, candidates = 0;
  for (int k = 2; k <= 5; ++k) {
    const int found = DetectLines(profile, 0, W - 1, k * G / 3, 8, Dmin, Dmax, purge, lines, &candidates);
    best = std::max(best, found);
    if (found >= 3 && candidates <= 7) break;
  }
  return candidates > 10 ? 0 : best;
}

// Centre of a line record, as the plain-row searches read it.
int Centre(const FormLine& l) { return (l.first + l.end) / 2; }

// Whether the records of a pass without lines show only the plain row's middle line: one line
// near the middle, or three whose outer ones lie at the card's edges and whose middle one lies
// near the middle.
bool OnlyMiddleLine(const FormLine* lines, int W, int overlap, int* middle, int* leftEdge, int* rightEdge) {
  int n = 0;
  while (n < 8 && lines[n].strength != 0) ++n;
  if (n == 1 && std::abs(Centre(lines[0]) - W / 2) < overlap) {
    *middle = Centre(lines[0]);
    *leftEdge = 0;
    *rightEdge = W - 1;
    return true;
  }
  if (n == 3 && Centre(lines[0]) < 30 && Centre(lines[2]) > W - 30 && std::abs(Centre(lines[1]) - W / 2) < overlap) {
    *middle = Centre(lines[1]);
    *leftEdge = Centre(lines[0]);
    *rightEdge = Centre(lines[2]);
    return true;
  }
  return false;
}

// Score of a plain-row gap: the best pass's line count when below 5 with at most 5 candidates.
int ScorePlainGap(const Workspace& w, int W, int top, int bottom, const int* P) {
  const int G = bottom - top;
  int32_t profile[kStackCols];
  ColumnProfile(w.vmap, W, top, bottom - 1, 0, W - 1, 32, profile);
  const int kMax = P[12] == 0 ? 5 : 8, divisor = P[12] == 0 ? 3 : 5;
  FormLine lines[8];
  int best = 0, bestCandidates = 0;
  for (int k = 2; k <= kMax; ++k) {
    int candidates = 0;
    int found = DetectLines(profile, 0, W - 1, k * G / divisor, 8, P[5], P[6], P[12] == 0, lines, &candidates);
    int c, l, r;
    if (found == 0 && OnlyMiddleLine(lines, W, P[11], &c, &l, &r)) found = 1;
    if (found >= best) {
      best = found;
      bestCandidates = candidates;
    }
  }
  return best < 5 && bestCandidates <= 5 ? best : 0;
}

// Where two lines meet: a row line y - t x = U and an edge line x + t y = K.
void Meet(double t, double U, double K, double& x, double& y) {
  x = (K - t * U) / (1 + t * t);
  y = (U + t * K) / (1 + t * t);
}

// Card row of a y in stack pixels, with the band offsets added; prints where it lies past the
// last band.
int MapBack(const Stack& s, int y, const char* name) {
  int idx = 0;
  int offset = s.band[0].start;
  int v = y + offset;
  while (idx + 1 < s.bands && v >= s.band[idx].start + s.band[idx].rows * 8) {
    const int gap = s.band[idx + 1].start - (s.band[idx].start + s.band[idx].rows * 8);
    offset += gap;
    v += gap;
    ++idx;
  }
  const int end = s.band[idx].start + s.band[idx].rows * 8;
  if (v >= end) std::printf("Something is Wrong %s.y=%d PrBH=%d Idx=%d NumSec=%d\n", name, v, end, idx, s.bands);
  return offset;
}

// The image pixel of the middle of two reduced coordinates.
int MiddlePixel(double c1, double c2) { return Trunc((c1 + c2 + 1) * 4); }

void SetBox(FormBox& b, double x0, double x1, double y0, double y1) {
  b.cx = int16_t(MiddlePixel(x0, x1));
  b.cy = int16_t(MiddlePixel(y0, y1));
  b.w = uint16_t(Trunc((x1 - x0) * 8));
  b.h = uint16_t(Trunc((y1 - y0) * 8));
}

// Segments one hand's four-finger box (13 right, 14 left) after laying its fingers out evenly.
// Returns the hand's code: 0 found, 127 refused or nothing found, else the finger count.
int CropHand(const uint8_t* image, int width, int height, FormPositionRecord* form, bool right, int live,
             const char* message) {
  const FormBox& box = form->fourFingers[right ? 0 : 1];
  FormTriple* t = right ? form->rightFlat : form->leftFlat;
  const int w = box.w, h = box.h, x0 = box.cx - w / 2, y0 = box.cy - h / 2;
  for (int i = 0; i < 4; ++i) {
    t[i + 1].x = int16_t(x0 + (right ? i + 1 : 4 - i) * w / 5);
    t[i + 1].y = int16_t(y0 + (i == 1 ? h / 4 : i == 3 ? 3 * h / 4 : h / 2));
    t[i + 1].angle = 0;
  }
  if (h > 2500 || w > 2500 || x0 < 0 || y0 < 0 || x0 + w > width || y0 + h > height) return 127;
  FingerInfo fingers[4] = {};
  char err[128];
  const int n = SegmentFingerImage(image, height, width, right ? kSlapRightHand : kSlapLeftHand, y0, x0, h, w, live,
                                   15, fingers, err, sizeof err);
  if (message && (n < 1 || fingers[0].Qty < 6)) std::printf(message, n, fingers[0].Qty);
  if (n < 1) return 127;
  for (int i = 0; i < 4; ++i)
    if (fingers[i].Qty > 0) t[i + 1] = {int16_t(fingers[i].Y), int16_t(fingers[i].X), int16_t(fingers[i].Measure - 90)};
  if (n >= 4 && fingers[0].Qty > 11) {
    form->found |= right ? AP_CLIPPEDFLATRIGHT : AP_CLIPPEDFLATLEFT;
    return 0;
  }
  return n;
}

// The thumb of one hand (11 right, 12 left): its centre and angle, or the box centre upright.
void CropThumb(const uint8_t* image, int width, int height, FormPositionRecord* form, bool right) {
  FormBox box = form->thumbs[right ? 0 : 1];
  FormTriple& t = (right ? form->rightFlat : form->leftFlat)[0];
  t = {box.cx, box.cy, 0};
  int y0 = std::max(0, box.cy - box.h / 2), y1 = std::min(height, box.cy + box.h / 2);
  const int x0 = box.cx - box.w / 2;
  FingerInfo finger[1] = {};
  char err[128];
  const int n = y1 > y0 && x0 >= 0 && x0 + box.w <= width
                    ? SegmentFingerImage(image, height, width, right ? kFlatRightThumb : kFlatLeftThumb, y0, x0,
                                         y1 - y0, box.w, 0, 1, finger, err, sizeof err)
                    : 0;
  if (n < 1 || finger[0].Qty < 6)
    std::printf(right ? "Form_Flat right thumb %d Qty = %d\n" : "Form_Flat left thumb %d Qty = %d\n", n, finger[0].Qty);
  if (n >= 1) t = {int16_t(finger[0].Y), int16_t(finger[0].X), int16_t(finger[0].Measure - 90)};
}

void FitDemographic(FormPositionRecord* form, int upperY, int lowerY) {
  FormBox& d = form->demographic;
  const int h = form->boxHeight;
  const int top = d.cy - d.h / 2, bottom = d.cy + d.h / 2;
  int from, to;
  if (d.cy < upperY) {
    from = top;
    to = upperY - h / 2;
  } else if (d.cy < lowerY) {
    from = upperY + h / 2;
    to = lowerY - h / 2;
  } else if (form->requested & AP_PLAINTP) {
    const FormBox& p = form->plainBox;
    if (d.cy < p.cy) {
      from = lowerY + h / 2;
      to = p.cy - p.h / 2;
    } else {
      from = p.cy + p.h / 2;
      to = bottom;
    }
  } else {
    return;
  }
  d.cy = int16_t((from + to) / 2);
  d.h = uint16_t(std::max(0, to - from));
  form->found |= AP_DEMOGRAPH;
}

// Bar-code location inside a reduced area: the extent found, in blocks of the area.
struct BarExtent {
  int row0, row1, col0, col1;  // inclusive
};

// Finds the bar code in the reduced area (rows x cols blocks). alongRows: the code is read along
// the rows (upright bars).
BarExtent LocateBars(const uint8_t* reduced, int rows, int cols, bool alongRows, uint8_t* hmap, uint8_t* vmap) {
  HorizontalLineResponse(reduced, cols, rows, 0, 0, rows, cols, 11, 32, 0, 1, hmap, nullptr);
  VerticalLineResponse(reduced, cols, rows, 0, 0, rows, cols, 7, 32, 0, 1, vmap, nullptr);
  // In reading coordinates: i along the code, j across it.
  const uint8_t* across = alongRows ? vmap : hmap;
  const uint8_t* along = alongRows ? hmap : vmap;
  const int I = alongRows ? cols : rows, J = alongRows ? rows : cols;
  auto px = [&](const uint8_t* m, int i, int j) -> int {
    return alongRows ? m[size_t(j) * cols + i] : m[size_t(i) * cols + j];
  };
  // Seed window: 30 along by 10 across, tiling centred in the area.
  const int nI = I / 30, nJ = J / 10, offI = (I - nI * 30) / 2, offJ = (J - nJ * 10) / 2;
  int bestCount = -1, seedI = I / 2, seedJ = J / 2;
  for (int wj = 0; wj < nJ; ++wj)
    for (int wi = 0; wi < nI; ++wi) {
      int count = 0;
      for (int j = offJ + wj * 10; j < offJ + wj * 10 + 10; ++j)
        for (int i = offI + wi * 30; i < offI + wi * 30 + 30; ++i)
          count += (px(across, i, j) > 42) + (px(along, i, j) < 43);
      if (count > bestCount) {
        bestCount = count;
        seedI = offI + wi * 30 + 15;
        seedJ = offJ + wj * 10 + 5;
      }
    }
  // Length on the seed line.
  const int quiet = alongRows ? 8 : 5;
  auto endOnLine = [&](int dir) {
    int i = seedI, low = 0;
    while (i + dir >= 0 && i + dir < I) {
      i += dir;
      low = px(across, i, seedJ) > 42 ? 0 : low + 1;
      if (low > quiet) return i - 2 * dir;
    }
    return i;
  };
  int i0 = endOnLine(-1), i1 = endOnLine(1);
  if (i1 < i0) std::swap(i0, i1);
  const int L = (i1 - i0 + 1) / 3;
  // Growth across the code.
  auto grow = [&](int dir) {
    int j = seedJ, crossings = 0;
    for (int step = 1; step <= 40; ++step) {
      const int jj = seedJ + dir * step;
      if (jj < 0 || jj >= J) return jj - dir;
      int bars = 0;
      for (int i = i0; i <= i1; ++i) {
        bars += px(across, i, jj) > 42;
        crossings += px(along, i, jj) > 42;
      }
      j = jj;
      if (bars < L / 4 || crossings > L) return j;
    }
    return j;
  };
  const int j0 = grow(-1), j1 = grow(1);
  // Ends again, line by line across the rows between the growth stops.
  const int R = j1 - j0;
  const int weakBelow = std::max(2, R / 4);
  auto end = [&](int dir) {
    int i = seedI, weak = 0, crossed = 0;
    while (i + dir >= 0 && i + dir < I) {
      i += dir;
      int bars = 0, cross = 0;
      for (int j = j0; j < j1; ++j) bars += px(across, i, j) > 42;
      for (int j = j0 + 2; j < j1 - 2; ++j) cross += px(along, i, j) > 42;
      weak = bars < weakBelow ? weak + 1 : 0;
      if (cross > 1) ++crossed;
      if (weak > 8 || crossed > 4) break;
    }
    return i;
  };
  const int e0 = std::max(0, end(-1) - 3), e1 = std::min(I - 1, end(1) + 3);
  const int s0 = std::max(0, j0 - 5), s1 = std::min(J - 1, j1 + 5);
  return alongRows ? BarExtent{s0, s1, e0, e1} : BarExtent{e0, e1, s0, s1};
}

// Locates the bar code in the area (y, x, h, w) reduced by step, writes its box and reads it.
int LocateBarcodeIn(const uint8_t* image, int width, int height, int y, int x, int h, int w, int step,
                    FormPositionRecord* form) {
  Workspace& ws = Work();
  const int rows = h / step, cols = w / step;
  if (rows < 1 || cols < 1 || ReduceImageByBlocks(image, height, width, y, x, h, w, ws.demo, step) != 0) return -1;
  const bool alongRows = (form->requested & 0x30u) != 0;
  const BarExtent e = LocateBars(ws.demo, rows, cols, alongRows, ws.barH, ws.barV);
  FormBox& b = form->barcodeBox;
  b.cx = int16_t((e.col0 + e.col1) / 2 * step + step / 2 + x);
  b.cy = int16_t((e.row0 + e.row1) / 2 * step + step / 2 + y);
  b.w = uint16_t((e.col1 - e.col0 + 1) * step);
  b.h = uint16_t((e.row1 - e.row0 + 1) * step);
  const int16_t size[2] = {int16_t(width), int16_t(height)};
  return ReadFormBarcode(size, image, form) == 0 ? 0 : -1;
}

bool Accepted(const uint8_t* image, int width, int height, const FormPositionRecord* form) {
  return image && form && width > 0 && height > 0 && height <= 32767;
}

// The analysis proper, on accepted input.
int Analyse(const uint8_t* image, int width, int height, FormPositionRecord* form) {
  int P[13];
  for (int i = 0; i < 13; ++i) P[i] = gParameters[i];
  const int purge = P[12] == 0;
  Workspace& ws = Work();
  const uint32_t req = form->requested;
  form->found = 0;
  int condition = 0;
  bool abandoned = false;
  int pages = 1;
  const int pageHeight = form->pageHeight > 0 ? int(std::min<uint32_t>(form->pageHeight, 32767)) : height;

  // Defined form.
  const FormPoint entry[10] = {form->rolled[0], form->rolled[1], form->rolled[2], form->rolled[3], form->rolled[4],
                               form->rolled[5], form->rolled[6], form->rolled[7], form->rolled[8], form->rolled[9]};
  const bool firstReversed = entry[0].x >= entry[4].x, secondReversed = entry[5].x >= entry[9].x;
  const bool sixAbove = entry[5].y < entry[0].y;
  bool defined = false;
  int h = 750, plainH = 1200, upperY = 0, lowerY = 0, plainY = 0;
  if (req & AP_TENPRINT) {
    h = form->boxHeight >= 100 && form->boxHeight <= 1600 ? form->boxHeight : 750;
    upperY = std::min(entry[0].y, entry[5].y);
    lowerY = std::max(entry[0].y, entry[5].y);
    defined = upperY >= h / 3 && lowerY <= height - h / 3 && lowerY - upperY >= 100;
    if (req & AP_PLAINTP) {
      plainH = form->plainBox.h >= 500 && form->plainBox.h <= 2500 ? form->plainBox.h : 1200;
      plainY = form->plainBox.cy;
      defined = defined && plainY < height - plainH / 3 && plainY >= lowerY + plainH / 2;
    }
  }

  // Search bands.
  Stack s;
  s.W = width / 8;
  int bandStart[3], bandEnd[3], nb = 0;
  if (defined) {
    const int centres[3] = {upperY, lowerY, plainY}, halves[3] = {3 * h / 2, 3 * h / 2, 3 * plainH / 2};
    const int items = req & AP_PLAINTP ? 3 : 2;
    for (int i = 0; i < items; ++i) {
      int start = centres[i] - halves[i], end = centres[i] + halves[i];
      while (centres[i] >= int64_t(pages) * pageHeight) {
        start = std::max(start, pages * pageHeight);
        ++pages;
      }
      start = std::max(start, (pages - 1) * pageHeight);
      end = std::min(end, pages * pageHeight);
      if (nb > 0 && start <= bandEnd[nb - 1]) {
        bandEnd[nb - 1] = std::max(bandEnd[nb - 1], end);
      } else {
        bandStart[nb] = start;
        bandEnd[nb++] = end;
      }
    }
    if (int64_t(pages) * pageHeight > height) {
      std::printf("Err: Form define Page %d * %d image height %d\n", pages, pageHeight, height);
      return -1;
    }
  } else {
    bandStart[0] = 0;
    bandEnd[0] = std::min(height, req & AP_PLAINTP ? 6500 : 4500);
    nb = 1;
  }

  // Reduction into the stack.
  for (int i = 0; i < nb; ++i) {
    const int rows = (std::min(bandEnd[i], height) - bandStart[i]) / 8;
    if (s.rows + rows > kStackRows) {
      std::printf("Warning: Defined area (%d) is larger than the Max (%d)!\n", s.rows + rows, kStackRows);
      break;
    }
    if (rows <= 0) continue;
    ReduceImageByBlocks(image, height, width, bandStart[i], 0, rows * 8, s.W * 8, ws.stack + size_t(s.rows) * s.W, 8);
    s.band[s.bands++] = {bandStart[i], bandStart[i] + rows * 8, s.rows, rows};
    s.rows += rows;
  }

  // Line responses; a band that ends at a page edge takes the edge as a ruled line.
  const int W = s.W, R = s.rows;
  const int full = (W - 10) * 2 - 20;
  FormLine hl[kMaxHorizontalLines + 1] = {};
  int nLines = 0, K = 0;
  Row rows[2];
  int plainUpper = -1, plainLower = -1;
  double angle = 0;
  if (R > 0) {
    std::fill(ws.rowProfile, ws.rowProfile + R, 0);
    HorizontalLineResponse(ws.stack, W, R, 0, 0, R, W, 27, 32, 5, 5, ws.hmap, ws.rowProfile);
    VerticalLineResponse(ws.stack, W, R, 0, 0, R, W, 27, 32, 10, 1, ws.vmap, nullptr);
    for (int i = 0; i < s.bands && form->pageHeight > 0; ++i) {
      const int end = s.band[i].start + s.band[i].rows * 8;
      const int edge = (end + 8) / pageHeight * pageHeight;
      if (edge > 0 && end <= edge && end >= edge - 8) ws.rowProfile[s.band[i].at + s.band[i].rows - 1] = full;
    }

    // Horizontal lines, numbered as one sequence over the bands.
    for (int i = 0; i < s.bands && nLines < kMaxHorizontalLines; ++i) {
      const bool last = i == s.bands - 1;
      const int Dmax = last && (req & AP_PLAINTP) ? P[8] : P[4];
      int candidates = 0;
      const int k = DetectLines(ws.rowProfile, s.band[i].at, s.band[i].at + s.band[i].rows - 1, full / 3,
                                kMaxHorizontalLines - nLines, P[3], Dmax, purge, hl + nLines, &candidates);
      int n = 0;
      while (nLines + n < kMaxHorizontalLines && hl[nLines + n].strength != 0) ++n;
      for (int j = nLines; j < nLines + n; ++j)
        if (hl[j].sequence != 0) hl[j].sequence += K;
      nLines += n;
      K += k;
    }
  }
  if (nLines < 2) {
    std::printf("Err: Detect horizontal lines failed %d\n", nLines);
    condition += kNoHorizontalLines;
  }

  // Rolled rows: the gaps between numbered lines, scored by their vertical lines.
  int gapUpper[kMaxHorizontalLines], gapLower[kMaxHorizontalLines], score[kMaxHorizontalLines];
  int gaps = 0;
  if (condition == 0) {
    for (int seq = 1; seq <= K; ++seq) {
      int a = -1, b = -1;
      for (int i = 0; i < nLines && a < 0; ++i)
        if (hl[i].sequence == seq) a = i;
      if (a >= 0)
        for (int i = a + 1; i < nLines && b < 0; ++i)
          if (hl[i].sequence != 0) b = i;
      if (a < 0 || b < 0) {
        std::printf("Something unknown happend! %d\n", seq);
        condition += kPairingFailed;
        break;
      }
      gapUpper[gaps] = a;
      gapLower[gaps] = b;
      const int G = hl[b].first - hl[a].end;
      if (G > P[4]) {
        std::printf("Height is too big for TP (%d)\n", G);
        score[gaps++] = 0;
        continue;
      }
      score[gaps++] = G > 0 ? ScoreRolledGap(ws, W, hl[a].end, hl[b].first, P[1], P[2], purge) : 0;
    }
  }
  int r1 = -1, r2 = -1;
  if (condition == 0) {
    for (int g = 0; g < gaps; ++g)
      if (score[g] > 0 && (r1 < 0 || score[g] >= score[r1])) r1 = g;
    for (int g = 0; g < gaps; ++g)
      if (g != r1 && score[g] > 0 && (r2 < 0 || score[g] >= score[r2])) r2 = g;
    if (r1 < 0) {
      std::printf("Finding prints 1 failed (%d)\n", gaps);
      condition += kRowsNotFound;
    } else if (r2 < 0) {
      std::printf("Finding prints 2 failed (%d)\n", gaps);
      condition += kRowsNotFound;
    } else {
      if (r2 < r1) std::swap(r1, r2);
      for (int i = 0; i < 2; ++i) {
        const int g = i == 0 ? r1 : r2;
        rows[i] = {gapUpper[g], gapLower[g], hl[gapLower[g]].first - hl[gapUpper[g]].end};
      }
      const int distance = LineRowInt(hl[rows[1].upper]) - LineRowInt(hl[rows[0].lower]);
      const int h0 = rows[0].height, h1 = rows[1].height;
      if (distance < 0 || distance > h0) {
        std::printf("Two rows of prints are not nearby (%d)\n", distance);
        condition += kRowsNotFound;
      } else if (3 * std::abs(h0 - h1) > (h0 + h1) / 2) {
        std::printf("Two rows of prints height are not consistent %d %d\n", h0, h1);
        condition += kRowsNotFound;
      }
    }
  }

  // Plain row: the tallest-scoring gap below the second rolled row.
  if (condition == 0 && (req & AP_PLAINTP)) {
    int bestGap = -1, bestScore = 0, tall = 0;
    for (int g = r2 + 1; g < gaps; ++g) {
      const int G = hl[gapLower[g]].first - hl[gapUpper[g]].end;
      if (G < P[7]) continue;
      ++tall;
      const int sc = ScorePlainGap(ws, W, hl[gapUpper[g]].end, hl[gapLower[g]].first, P);
      if (sc > 0 && sc >= bestScore) {
        bestScore = sc;
        bestGap = g;
      }
    }
    if (tall == 0) {
      std::printf("No slap found, rolled print stay at bottom (%d %d)\n", r2 + 1, gaps);
      condition += kRowsNotFound;
    } else if (bestGap < 0) {
      std::printf("Finding prints 3 failed (%d)\n", tall);
      abandoned = true;
    } else if (P[9] > 0 && bestGap != gaps - 1) {
      std::printf("Prints 3 is not on the bottom (%d)\n", bestGap + 1);
      abandoned = true;
    } else {
      plainUpper = gapUpper[bestGap];
      plainLower = gapLower[bestGap];
    }
    if (abandoned) plainUpper = plainLower = rows[1].lower;
  }

  // Skew and the rolled boxes.
  bool laidOut = false;
  FormLine vl[10] = {};
  const int H = condition == 0 ? std::max(rows[0].height, rows[1].height) : 0;
  if (condition == 0) {
    const int top = hl[rows[0].upper].end, bottom = hl[rows[1].lower].first - 1;
    ColumnProfile(ws.vmap, W, top, bottom, 0, W - 1, 32, ws.columnProfile);
    int k = 0, candidates = 0;
    for (int S = H + H / 3;; S += H / 3) {
      k = DetectLines(ws.columnProfile, 0, W - 1, S, 10, P[1], 410, purge, vl, &candidates);
      if (k > 6 || candidates < 16 || S >= 2 * H || H / 3 == 0) break;
    }
    int spacing = -1;
    float a = 0;
    if (k == 0 || candidates >= 15) {
      std::printf("Err: Detect vertical lines failed %d %d\n", k, candidates);
    } else {
      spacing = MeasureCardAngle(W, ws.vmap, vl, top, bottom, 100, &a);
      if (spacing < 0) std::printf("Err: Calculate vertical lines angle failed %d\n", spacing);
    }
    if (spacing < 0) {
      condition += kSkewFailed;
      const int column = W / 5;
      form->boxWidth = uint16_t(column * 8);
      form->boxHeight = uint16_t(H * 8);
      for (int r = 0; r < 2; ++r) {
        const double y = (LineRow(hl[rows[r].upper]) + LineRow(hl[rows[r].lower])) / 2;
        for (int i = 0; i < 5; ++i)
          form->rolled[r * 5 + i] = {int16_t((i * column + column / 2) * 8), int16_t(Trunc(y * 8))};
      }
      laidOut = true;
    } else {
      angle = a * 0.017453333333333335;
      const double t = std::tan(angle);
      form->boxWidth = uint16_t(std::lround(spacing * std::cos(angle)) * 8);
      // A skewed row line crosses |t| rows more per column of its length, which widens its band
      // in the row profile and shortens the gap between two bands by as much; the row lines run
      // over the five boxes, from the first box's left edge to the last box's right edge.
      const double span = (vl[9].end + t * vl[9].first) - (vl[0].end + t * vl[0].first);
      form->boxHeight = uint16_t(std::lround((H + std::abs(t) * span) * std::cos(angle)) * 8);
      for (int r = 0; r < 2; ++r) {
        const double U0 = RowAtLeftEdge(hl[rows[r].upper], t, W), U1 = RowAtLeftEdge(hl[rows[r].lower], t, W);
        for (int i = 0; i < 5; ++i) form->rolled[r * 5 + i] = RolledBoxCentre(t, U0, U1, vl[2 * i], vl[2 * i + 1]);
      }
      form->found |= AP_TENPRINT;
      laidOut = true;
    }
  }

  // Plain row and its four boxes.
  bool flatFound = false;
  if ((req & AP_PLAINTP) && condition == 0 && !abandoned && plainUpper >= 0) {
    const int upper = LineRowInt(hl[plainUpper]), lower = LineRowInt(hl[plainLower]);
    form->plainBox = {int16_t(W * 4 + 4), int16_t((upper + lower) * 4 + 4), uint16_t(W * 8),
                      uint16_t((lower - upper) * 8)};
    form->found |= AP_PLAINTP;
    if (req & AP_FLATPRINT) {
      const int Hp = lower - upper;
      ColumnProfile(ws.vmap, W, hl[plainUpper].end, hl[plainLower].first - 1, 0, W - 1, 32, ws.columnProfile);
      const int kMax = P[12] == 0 ? 5 : 8, divisor = P[12] == 0 ? 3 : 5;
      FormLine lines[8], best[8] = {};
      int bestScore = -1, bestCandidates = 0, previousScore = 0, previousCandidates = 0;
      for (int k = 2; k <= kMax; ++k) {
        if (k > 2 && !(previousCandidates > 5 || previousScore < 3)) break;
        int candidates = 0;
        const int found = DetectLines(ws.columnProfile, 0, W - 1, k * Hp / divisor, 8, P[5], 210, purge, lines,
                                      &candidates);
        int c, l, r;
        const int sc = found > 0 ? found + 1 : OnlyMiddleLine(lines, W, P[11], &c, &l, &r) ? 1 : 0;
        if (sc >= bestScore) {
          bestScore = sc;
          bestCandidates = candidates;
          std::copy(lines, lines + 8, best);
        }
        previousScore = sc;
        previousCandidates = candidates;
      }
      int e[8];
      bool placed = false;
      if (bestScore >= 2 && bestScore <= 5 && bestCandidates < 10) {
        const int r = AnalysePlainRowLines(W, best, upper, lower, P[5], P[6]);
        if (r < 0) {
          std::printf("Err: Analyze vertical lines for plain failed %d\n", r);
          condition += kPlainFailed;
        } else {
          for (int i = 0; i < 8; ++i) e[i] = best[i].end;
          placed = true;
        }
      } else if (bestScore == 1) {
        int c, l, r;
        OnlyMiddleLine(best, W, P[11], &c, &l, &r);
        const int T = P[10];
        e[0] = l;
        e[7] = r;
        e[3] = e[4] = c;
        e[2] = c - T;
        e[5] = c + T;
        e[1] = T > 0 ? e[2] + P[11] : e[2];
        e[6] = T > 0 ? e[5] - P[11] : e[5];
        placed = true;
      } else {
        std::printf("Err: Detect vertical lines for plain failed %d %d\n", bestScore, bestCandidates);
        condition += kPlainFailed;
      }
      if (placed) {
        const double t = std::tan(angle);
        const double U0 = RowAtLeftEdge(hl[plainUpper], t, W), U1 = RowAtLeftEdge(hl[plainLower], t, W);
        const int middle = (upper + lower) / 2;
        auto box = [&](int a, int b, FormBox& out) {
          double xs[4], ys[4];
          Meet(t, U0, e[a] + t * middle, xs[0], ys[0]);
          Meet(t, U0, e[b] + t * middle, xs[1], ys[1]);
          Meet(t, U1, e[a] + t * middle, xs[2], ys[2]);
          Meet(t, U1, e[b] + t * middle, xs[3], ys[3]);
          const double x0 = *std::min_element(xs, xs + 4), x1 = *std::max_element(xs, xs + 4);
          const double y0 = *std::min_element(ys, ys + 4);
          double y1 = *std::max_element(ys, ys + 4);
          if (y1 >= R) y1 = R - 1;
          SetBox(out, x0, x1, y0, y1);
        };
        box(4, 5, form->thumbs[0]);
        box(2, 3, form->thumbs[1]);
        box(6, 7, form->fourFingers[0]);
        box(0, 1, form->fourFingers[1]);
        form->found |= AP_FLATPRINT;
        flatFound = true;
      }
    }
  }

  // Back to card rows.
  if (laidOut) {
    for (int r = 0; r < 2; ++r) {
      const int offset = MapBack(s, form->rolled[r * 5].y, r == 0 ? "Fg0" : "Fg6");
      for (int i = 0; i < 5; ++i) form->rolled[r * 5 + i].y = int16_t(form->rolled[r * 5 + i].y + offset);
    }
  }
  if (form->found & AP_PLAINTP) {
    const int offset = MapBack(s, form->plainBox.cy, "pTPB");
    form->plainBox.cy = int16_t(form->plainBox.cy + offset);
    if (flatFound)
      for (FormBox* b : {&form->thumbs[0], &form->thumbs[1], &form->fourFingers[0], &form->fourFingers[1]})
        b->cy = int16_t(b->cy + offset);
  }

  // Flat prints.
  if (flatFound) {
    if (req & AP_CLIPPEDFLATRIGHT) {
      CropThumb(image, width, height, form, true);
      CropHand(image, width, height, form, true, 0, "Form_Flat right slap %d Qty = %d\n");
    }
    if (req & AP_CLIPPEDFLATLEFT) {
      CropThumb(image, width, height, form, false);
      CropHand(image, width, height, form, false, 0, "Form_Flat left hand %d Qty = %d\n");
    }
  }
  // Finger order as the record gave it.
  if ((req & AP_TENPRINT) && laidOut) {
    if (sixAbove)
      for (int i = 0; i < 5; ++i) std::swap(form->rolled[i], form->rolled[i + 5]);
    for (int r = 0; r < 2; ++r)
      if (r == 0 ? firstReversed : secondReversed) {
        std::swap(form->rolled[r * 5], form->rolled[r * 5 + 4]);
        std::swap(form->rolled[r * 5 + 1], form->rolled[r * 5 + 3]);
      }
  }

  // Demographic area.
  const FormBox& d = form->demographic;
  if ((req & AP_DEMOGRAPH) && d.w >= 201 && d.h >= 201) {
    if ((req & AP_TENPRINT) && laidOut && condition % 10 == 0 && condition < 1000) {
      const int y0 = form->rolled[0].y, y1 = form->rolled[5].y;
      FitDemographic(form, std::min(y0, y1), std::max(y0, y1));
    }
    if ((req & AP_DEMOTHRESHOLD) && d.w >= 201 && d.h >= 201) {
      const int threshold = DemographicThreshold(image, width, height, d.cx - d.w / 2, d.cy - d.h / 2, d.w, d.h);
      if (threshold > 0) {
        form->demographicThreshold = uint32_t(threshold);
        form->found |= AP_DEMOTHRESHOLD;
      } else {
        std::printf("Err: Binarizing Demographic area failed!\n");
      }
    }
  }

  // Bar code.
  if (req & AP_BARCODE) {
    const FormBox& b = form->barcodeBox;
    const int x0 = std::max(0, b.cx - b.w / 2), y0 = std::max(0, b.cy - b.h / 2);
    const int w = std::min({int(b.w), width - x0, kDemoSide * 8}), hh = std::min({int(b.h), height - y0, kDemoSide * 8});
    if (w >= 8 && hh >= 8) LocateBarcodeIn(image, width, height, y0, x0, hh, w, 8, form);
  }

  const int result = condition + (abandoned ? 1 : 0);
  return result == 0 ? 0 : -result;
}

void PrintBox(const FormBox& b) { std::printf("(%4d,%4d,%4d,%4d)", b.cy, b.cx, b.h, b.w); }

const char* Cared(const FormPositionRecord* f, uint32_t bit) { return f->found & bit ? "Cared!  " : "Not cared!  "; }

void PrintClipped(const FormPositionRecord* f) {
  for (int hand = 0; hand < 2; ++hand) {
    const uint32_t bit = hand == 0 ? AP_CLIPPEDFLATRIGHT : AP_CLIPPEDFLATLEFT;
    std::printf("%s : %s", hand == 0 ? "AP_CLIPPEDFLATRIGHT" : "AP_CLIPPEDFLATLEFT",
                f->found & bit ? "Cared!\n" : "Not cared!\n");
    const FormTriple* t = hand == 0 ? f->rightFlat : f->leftFlat;
    for (int i = 0; i < 5; ++i) std::printf("(%4d,%4d,%4d) ", t[i].y, t[i].x, t[i].angle);
    std::printf("\n");
  }
}

}  // namespace

FormPoint RolledBoxCentre(double t, double upperU, double lowerU, const FormLine& leftEdge, const FormLine& rightEdge) {
  double x0, y0, x1, y1;
  Meet(t, upperU, leftEdge.end + t * leftEdge.first, x0, y0);
  Meet(t, lowerU, rightEdge.end + t * rightEdge.first, x1, y1);
  return {int16_t(MiddlePixel(x0, x1)), int16_t(MiddlePixel(y0, y1))};
}

FormPositionParameters CurrentFormPositionParameters() {
  FormPositionParameters p{};
  for (int i = 0; i < 13; ++i) p.value[i] = gParameters[i];
  return p;
}

int AutoFormPosition(const uint8_t* image, int width, int height, FormPositionRecord* form) {
  if (!Accepted(image, width, height, form)) return -1;
  if (width > kMaxWidth) {
    std::printf("Err: image width %d; image must be 500 ppi maximum %d\n", width, kMaxWidth);
    return -1;
  }
  return Analyse(image, width, height, form);
}

int AutoFormPositionWithParameters(const uint8_t* image, int width, int height, FormPositionRecord* form,
                                   const int* para) {
  if (!para) return -1;
  const int thumb = para[10] / 8;
  if (thumb != 0 && (thumb < 50 || thumb > 100)) {
    std::printf("Err: invalid Para[10] for Flat1CentVLineThumbWidth %d\n", thumb * 8);
    return -1;
  }
  if (thumb != 0 && (para[11] / 8 < 10 || para[11] / 8 > 40)) {
    std::printf("Err: invalid Para[11] for ThumbSlapOverlapWidth %d\n", para[11] / 8 * 8);
    return -1;
  }
  for (int i = 1; i <= 12; ++i) gParameters[i] = i <= 8 || i == 10 || i == 11 ? para[i] / 8 : para[i];
  return AutoFormPosition(image, width, height, form);
}

int GetTenprintPositions(const int16_t size[2], const uint8_t* image, uint32_t out[22]) {
  if (!size || !out) return -1;
  FormPositionRecord form{};
  form.requested = AP_TENPRINT | AP_DEMOGRAPH | AP_DEMOTHRESHOLD | 0x10u | AP_PLAINTP;
  const int r = AutoFormPosition(image, size[0], size[1], &form);
  if (r < 0) {
    std::printf("Err: AutoFormPosition failed (%d)\n", r);
    return r;
  }
  if (!(form.found & AP_TENPRINT)) return -1;
  out[0] = form.boxHeight;
  out[1] = form.boxWidth;
  for (int i = 0; i < 10; ++i) {
    out[2 + 2 * i] = uint32_t(int32_t(form.rolled[i].y));
    out[3 + 2 * i] = uint32_t(int32_t(form.rolled[i].x));
  }
  return 0;
}

int Crop_Flat(const int16_t size[2], const uint8_t* image, FormPositionRecord* form) {
  if (!size || !image || !form || size[0] <= 0 || size[1] <= 0) return -1;
  const uint32_t req = form->requested;
  if (!(req & (AP_CLIPPEDFLATRIGHT | AP_CLIPPEDFLATLEFT))) return -127;
  const int live = req & AP_FLATORIENTATION ? 1 : 0;
  const int right = req & AP_CLIPPEDFLATRIGHT ? CropHand(image, size[0], size[1], form, true, live, nullptr) : 0;
  const int left = req & AP_CLIPPEDFLATLEFT ? CropHand(image, size[0], size[1], form, false, live, nullptr) : 0;
  return right == 0 && left == 0 ? 0 : -(right + 256 * left);
}

int AutoFormPositionReport(const uint8_t* image, int width, int height, FormPositionRecord* form) {
  int r = AutoFormPosition(image, width, height, form);
  std::printf("AutoFormPosition Return = %d\n", r);
  if (!form) return r;
  const FormPositionRecord* f = form;
  std::printf("AP_DEMOGRAPH : %s", Cared(f, AP_DEMOGRAPH));
  PrintBox(f->demographic);
  std::printf("\n");
  if (f->found & AP_DEMOTHRESHOLD)
    std::printf("AP_DEMOTHRESHOLD : Cared! %d\n", int(f->demographicThreshold));
  else
    std::printf("AP_DEMOTHRESHOLD : Not cared!\n");
  if (f->requested & ~0x0Fu) {
    std::printf("AP_BARCODE : Cared  %s  ", f->barcodeText);
    PrintBox(f->barcodeBox);
    std::printf("\n");
  }
  std::printf("AP_TENPRINT : %sDimension : (%4d,%4d)\n", Cared(f, AP_TENPRINT), f->boxHeight, f->boxWidth);
  for (int row = 0; row < 2; ++row) {
    for (int i = 0; i < 5; ++i) std::printf("(%4d,%4d) ", f->rolled[row * 5 + i].y, f->rolled[row * 5 + i].x);
    std::printf("\n");
  }
  std::printf("AP_PLAINTP : %s", Cared(f, AP_PLAINTP));
  PrintBox(f->plainBox);
  std::printf("\n");
  std::printf("AP_FLATPRINT : %s", f->found & AP_FLATPRINT ? "Cared!\n" : "Not cared!\n");
  std::printf("Thumb Box : ");
  for (const FormBox& b : f->thumbs) {
    PrintBox(b);
    std::printf(" ");
  }
  std::printf("\nFlat4 Box : ");
  for (const FormBox& b : f->fourFingers) {
    PrintBox(b);
    std::printf(" ");
  }
  std::printf("\n");
  PrintClipped(f);
  // Only an accepted card whose plain row was abandoned is retried from the caller's boxes.
  if (r == -1 && Accepted(image, width, height, form) && width <= kMaxWidth && (f->requested & AP_PLAINTP) &&
      !(f->found & AP_PLAINTP)) {
    std::printf("Re-try Crop_Flat\n");
    if (form->requested & AP_CLIPPEDFLATRIGHT)
      form->rightFlat[0] = {form->thumbs[0].cx, form->thumbs[0].cy, 0};
    if (form->requested & AP_CLIPPEDFLATLEFT) form->leftFlat[0] = {form->thumbs[1].cx, form->thumbs[1].cy, 0};
    FormPositionRecord copy = *form;
    const int16_t size[2] = {int16_t(width), int16_t(height)};
    r = Crop_Flat(size, image, &copy);
    if (copy.found & AP_CLIPPEDFLATRIGHT) {
      form->found |= AP_CLIPPEDFLATRIGHT;
      std::copy(copy.rightFlat, copy.rightFlat + 5, form->rightFlat);
    }
    if (copy.found & AP_CLIPPEDFLATLEFT) {
      form->found |= AP_CLIPPEDFLATLEFT;
      std::copy(copy.leftFlat, copy.leftFlat + 5, form->leftFlat);
    }
    if (r == 0) form->found |= AP_PLAINTP | AP_FLATPRINT;
    std::printf("Re-try Crop_Flat Ret = %d\n", r);
    PrintClipped(f);
  }
  return r;
}

int LocateAndReadBarcode(const int16_t geometry[3], const uint8_t* image, FormPositionRecord* form) {
  if (!geometry || !image || !form) return -1;
  const int width = geometry[0], height = geometry[1];
  const int step = geometry[2] == 1000 ? 16 : 8;
  const FormBox& a = form->demographic;
  const int x = a.cx - a.w / 2, y = a.cy - a.h / 2;
  if (x < 0 || y < 0 || x + a.w > width || y + a.h > height || a.h / step > kDemoSide || a.w / step > kDemoSide) {
    std::printf("Err: Barcode area is too big (%dx%dx%d)\n", a.h, a.w, step);
    return -1;
  }
  return LocateBarcodeIn(image, width, height, y, x, a.h, a.w, step, form);
}

int DemographicThreshold(const uint8_t* image, int width, int height, int x, int y, int w, int h) {
  if (!image || width <= 0 || height <= 0) return 0;
  if (h > 4096) {
    std::printf("Warning: Binarizing area height %d\n", h);
    h = 4096;
  }
  if (w > 4096) {
    std::printf("Warning: Binarizing area width %d\n", w);
    w = 4096;
  }
  if (y < 0) {
    std::printf("Warning: Binarizing area initial point y %d\n", y);
    h += y;
    y = 0;
  }
  if (x < 0) {
    std::printf("Warning: Binarizing area initial point x %d\n", x);
    w += x;
    x = 0;
  }
  if (y + h > height) {
    std::printf("Warning: Binarizing area bottom point y %d %d\n", y + h, height);
    h = height - y;
  }
  if (x + w > width) {
    std::printf("Warning: Binarizing area bottom point x %d %d\n", x + w, width);
    w = width - x;
  }
  // Nothing of the area lies on the image.
  if (h < 8 || w < 8) return 0;
  uint8_t* buffer = Work().demo;
  if (ReduceImageByBlocks(image, height, width, y, x, h, w, buffer, 8) != 0) {
    std::printf("Warning: ReduceByStep %d\n", 8);
    return 128;
  }
  return BlockHistogramThreshold(buffer, w / 8, 0, 0, h / 8, w / 8);
}
