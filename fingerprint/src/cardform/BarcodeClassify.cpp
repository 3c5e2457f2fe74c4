// Element classification of a scan line's run list: the two-width statistics that find the
// narrow and wide widths of Code 39 and Interleaved 2 of 5, the narrow/wide classifier, and the
// module classifiers of Code 128 and EAN-13.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Barcode.h"

WidthClasses& CurrentWidthClasses() {
  thread_local WidthClasses classes{};
  return classes;
}

namespace {

constexpr int kBins = 60;

int Bin(const int* h, int k) { return k < 0 || k >= kBins ? 0 : h[k]; }

// Histogram of the runs at first, first + 2, ... below n; false on a negative width.
bool Histogram(const int32_t* runs, int first, int n, int* h) {
  std::fill(h, h + kBins, 0);
  for (int k = first; k < n; k += 2) {
    if (runs[k] < 0) return false;
    ++h[std::min(runs[k], kBins - 1)];
  }
  return true;
}

// Largest window sum h[c-1] + h[c] + h[c+1] for centres from..57 (a later centre wins a tie);
// the window's weighted mean in tenths, or -1 when the best sum is below 1.
int Peak(const int* h, int from) {
  int best = 0, centre = -1;
  for (int c = from; c <= 57; ++c) {
    const int s = Bin(h, c - 1) + Bin(h, c) + Bin(h, c + 1);
    if (s >= best) {
      best = s;
      centre = c;
    }
  }
  if (best < 1) return -1;
  const int c = centre;
  return 10 * (Bin(h, c - 1) * (c - 1) + Bin(h, c) * c + Bin(h, c + 1) * (c + 1)) / best;
}

// Sum of U bins starting at the bin of (width - t + 5) / 10.
int ClassCount(const int* h, int width, int t, int units) {
  int sum = 0;
  for (int u = 0; u < units; ++u) sum += Bin(h, (width - t + 5 + 10 * u) / 10);
  return sum;
}

struct ColourStats {
  int narrow = 0, wide = 0, tolerance = 0, tooNarrow = 0, narrowCount = 0, wideCount = 0;
  int h[kBins];
};

// Steps 1-4 of the statistics over one colour; false when the colour refuses the line.
bool Colour(const int32_t* runs, int first, int n, const BarcodeParameters* p, ColourStats& s) {
  if (!Histogram(runs, first, n, s.h)) return false;
  s.narrow = Peak(s.h, 1);
  if (s.narrow < 0) return false;
  const int t = p->tuning3 * s.narrow / 100;
  s.tolerance = t;
  s.tooNarrow = 0;
  for (int k = 0; k < kBins; ++k)
    if (10 * k + 1 < s.narrow - t) s.tooNarrow += s.h[k];
  const int units = (2 * t + 19) / 10;
  s.narrowCount = ClassCount(s.h, s.narrow, t, units);
  const int b = (s.narrow - t + 10 * units + 5) / 10;
  if (b + 1 > 58) return false;
  s.wide = Peak(s.h, b);
  if (s.wide < 0) return false;
  s.wideCount = ClassCount(s.h, s.wide, t, units);
  return true;
}

// Merges every inner element of the given colour that is narrower than limit (tenths) into the
// smallest of the three triples of runs that hold it; returns the new n.
int MergeNarrow(int32_t* runs, int n, int first, int limit) {
  for (int k = first; k < n - 1; k += 2) {
    if (runs[k] * 10 >= limit) continue;
    int bestStart = -1, bestTotal = 0;
    for (int s = k - 2; s <= k; ++s) {
      if (s < 0 || s + 2 > n - 1) continue;
      const int total = runs[s] + runs[s + 1] + runs[s + 2];
      if (bestStart < 0 || total < bestTotal) {
        bestStart = s;
        bestTotal = total;
      }
    }
    if (bestStart < 0 || bestTotal >= 300) continue;
    runs[bestStart] = bestTotal;
    std::memmove(runs + bestStart + 1, runs + bestStart + 3, sizeof(int32_t) * size_t(n - bestStart - 3));
    n -= 2;
    k -= 2;  // the list closed up: look at this index again
  }
  return n;
}

}  // namespace

int TwoWidthStatistics(int32_t* runs, int n, const BarcodeParameters* p) {
  WidthClasses& wc = CurrentWidthClasses();
  ColourStats spaces, bars;
  int g = 0;
  for (int round = 0;; ++round) {
    if (n < 3 || round > n) return 0;
    if (!Colour(runs, 0, n, p, spaces)) return 0;
    wc.narrowSpace = spaces.narrow;
    wc.wideSpace = spaces.wide;
    g = (spaces.wide + 5 + 2 * spaces.narrow) / 10;
    int gaps = 0;
    for (int k = g + 1; k < kBins; ++k) gaps += Bin(spaces.h, k);
    if (runs[0] > g) --gaps;
    if (runs[n - 1] > g) --gaps;
    if (gaps < 1) break;
    // Cut the list at the inner gaps: one in the first half of what is kept starts the code
    // anew, one in the second half ends it.
    int start = 0, end = n;
    bool cut = false;
    for (int k = 2; k < end - 1; k += 2) {
      if (runs[k] <= g) continue;
      cut = true;
      if (k < (start + end) / 2) {
        start = k;
      } else {
        end = k + 1;
        break;
      }
    }
    if (!cut) break;
    std::memmove(runs, runs + start, sizeof(int32_t) * size_t(end - start));
    n = end - start;
  }
  if (!Colour(runs, 1, n, p, bars)) return 0;
  wc.narrowBar = bars.narrow;
  wc.wideBar = bars.wide;

  if (p->quietSpaceRequired == 1 && (runs[0] < g || runs[n - 1] < g)) return 0;
  if (p->widthCheckRequired == 1 &&
      double(spaces.narrowCount + spaces.wideCount + bars.narrowCount + bars.wideCount) < 0.9 * n)
    return 0;
  if (p->tuning1 * bars.narrow > 100 * bars.wide || 100 * bars.wide > p->tuning2 * bars.narrow) return 0;
  if (p->tuning1 * spaces.narrow > 100 * spaces.wide || 100 * spaces.wide > p->tuning2 * spaces.narrow) return 0;
  if (spaces.tooNarrow > 1 || bars.tooNarrow > 1) return 0;

  if (spaces.tooNarrow == 1) n = MergeNarrow(runs, n, 2, spaces.narrow - spaces.tolerance);
  if (bars.tooNarrow == 1) n = MergeNarrow(runs, n, 3, bars.narrow - bars.tolerance);
  return n;
}

namespace {

// Marks `wide` elements of one colour as "2" in the pattern; false when they do not classify.
bool ClassifyColour(const int32_t* runs, int position, int count, int direction, int colour, int wide,
                    int narrowWidth, int wideWidth, int tuning3, char* pattern) {
  const int T = std::max(15, tuning3 * narrowWidth / 100);
  int widths[10];
  bool marked[10] = {};
  int m = 0;
  for (int k = colour; k < count; k += 2) widths[m++] = runs[position + k * direction] * 10;
  int wmin = 1000, wmax = 0;
  for (int i = 0; i < wide; ++i) {
    int best = -1;
    for (int j = 0; j < m; ++j)
      if (!marked[j] && (best < 0 || widths[j] > widths[best])) best = j;
    if (best < 0) return false;
    marked[best] = true;
    pattern[colour + 2 * best] = '2';
    if (std::abs(widths[best] - wideWidth) > T) return false;
    wmin = widths[best];
    wmax = std::max(wmax, widths[best]);
  }
  int nmax = -1, nmin = 1 << 30;
  for (int j = 0; j < m; ++j) {
    if (marked[j]) continue;
    if (std::abs(widths[j] - narrowWidth) > T) return false;
    nmax = std::max(nmax, widths[j]);
    nmin = std::min(nmin, widths[j]);
  }
  if (nmax < 0) return true;
  if (wmin == nmax) return false;
  if ((nmax - 1) * 1.4 > wmin + 1) return false;
  if (nmax - nmin > 1.5 * T) return false;
  if (wide > 0 && wmax - wmin > 1.5 * T) return false;
  return true;
}

bool ClassifyTry(const int32_t* runs, int position, int count, int direction, int wideBars, int wideSpaces,
                 const BarcodeParameters* p, char* pattern) {
  const WidthClasses& wc = CurrentWidthClasses();
  std::memset(pattern, '1', size_t(count));
  pattern[count] = 0;
  return ClassifyColour(runs, position, count, direction, 0, wideBars, wc.narrowBar, wc.wideBar, p->tuning3,
                        pattern) &&
         ClassifyColour(runs, position, count, direction, 1, wideSpaces, wc.narrowSpace, wc.wideSpace, p->tuning3,
                        pattern);
}

}  // namespace

void ClassifyNarrowWide(const int32_t* runs, int position, int count, char* pattern, int direction,
                        const BarcodeParameters* p) {
  int wideBars = 0, wideSpaces = 0;
  switch (count) {
    case 9: wideBars = 2; wideSpaces = 1; break;
    case 10: wideBars = 2; wideSpaces = 2; break;
    case 3: wideBars = 1; wideSpaces = 0; break;
    case 4: break;
    default: pattern[0] = 0; return;
  }
  if (ClassifyTry(runs, position, count, direction, wideBars, wideSpaces, p, pattern)) return;
  if (count == 9 && ClassifyTry(runs, position, count, direction, 0, 3, p, pattern)) return;
  pattern[0] = 0;
}

namespace {

struct Modules {
  int m[7];
  float r[7];
};

}  // namespace

int ClassifyCode128Modules(const int32_t* runs, int position, int count, char* pattern, int direction) {
  (void)count;  // always the six elements of a character, and the run after them
  float S = 0;
  for (int k = 0; k < 6; ++k) S += float(runs[position + k * direction]);
  const float u = S * 0.09090909f;
  Modules md{};
  int M = 0;
  for (int k = 0; k < 7; ++k) {
    const float w = float(runs[position + k * direction]);
    md.m[k] = u > 0 ? int(w / u + 0.5f) : 0;
    md.r[k] = float(md.m[k]) * u - w;
    if (k < 6) M += md.m[k];
  }
  if (M != 11) {
    const bool spaces = (md.m[0] + md.m[2] + md.m[4]) % 2 == 0;
    const int a = spaces ? 1 : 0, b = a + 2, c = a + 4;
    const float ra = md.r[a], rb = md.r[b], rc = md.r[c];
    if (M < 11) {
      if (rb < ra && rb < rc) ++md.m[b];
      else if (rc < ra && rc < rb) ++md.m[c];
      else ++md.m[a];
    } else {
      if (ra > rb && ra > rc) --md.m[a];
      else if (rc > ra && rc > rb) --md.m[c];
      else --md.m[b];
    }
  }
  for (int k = 0; k < 7; ++k) pattern[k] = char('0' + std::clamp(md.m[k], 0, 9));
  pattern[7] = 0;
  return M;
}

int ClassifyEanModules(const int32_t* runs, int position, int count, char* pattern, int direction) {
  int m[5];
  float r[5];
  int sum = 0;
  for (int k = 0; k < count; ++k) sum += runs[position + k * direction];
  const float u = count == 4 ? float(sum) * 0.142857f : float(sum) / float(count);
  int M = 0;
  for (int k = 0; k < count; ++k) {
    const float w = float(runs[position + k * direction]);
    m[k] = u > 0 ? int(w / u + 0.5f) : 0;
    r[k] = float(m[k]) * u - w;
    M += m[k];
  }
  if (count == 4) {
    if (M != 7) {
      const bool first = std::abs(r[0] - r[2]) >= std::abs(r[1] - r[3]);
      const int a = first ? 0 : 1, b = a + 2;
      if (M < 7) {
        if (r[a] <= r[b]) ++m[a];
        else ++m[b];
      } else {
        if (r[a] <= r[b]) --m[b];
        else --m[a];
      }
    }
  } else {
    for (int k = 0; k < count; ++k) {
      if (M < count && m[k] == 0) m[k] = 1;
      if (M > count && m[k] > 1) --m[k];
    }
  }
  for (int k = 0; k < count; ++k) pattern[k] = char('0' + std::clamp(m[k], 0, 9));
  pattern[count] = 0;
  return M;
}
