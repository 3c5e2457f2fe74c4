// Ruled-line detection on reduced card forms: line responses, the line detector, the card-angle
// measurement and the plain-row line analysis.
#include "FormLines.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Response of one line of pixels against its two neighbours: dark lines give up to 254.
void LineResponse(const uint8_t* image, int width, int height, int top, int left, int rows, int cols, int window,
                  int threshold, int marginAlong, int marginAcross, uint8_t* map, int32_t* profile, bool vertical) {
  if (!image || !map || rows <= 0 || cols <= 0) return;
  top = std::max(0, top);
  left = std::max(0, left);
  rows = std::min(rows, height - top);
  cols = std::min(cols, width - left);
  if (rows <= 0 || cols <= 0) return;
  const int w = 2 * (window / 2) + 1;
  const int half = w / 2;
  marginAcross = std::max(1, marginAcross);
  // Lines run along `along`; neighbours lie across.
  const int alongCount = vertical ? rows : cols;
  const int acrossCount = vertical ? cols : rows;
  auto at = [&](int across, int along) -> int {
    const int r = top + (vertical ? along : across), c = left + (vertical ? across : along);
    return image[size_t(r) * width + c];
  };
  auto out = [&](int across, int along) -> uint8_t& {
    const int r = top + (vertical ? along : across), c = left + (vertical ? across : along);
    return map[size_t(r) * width + c];
  };
  for (int a = 0; a < acrossCount; ++a)
    for (int b = 0; b < alongCount; ++b) out(a, b) = 0;
  for (int a = marginAcross; a < acrossCount - marginAcross; ++a) {
    int64_t sum = 0;
    for (int b = marginAlong; b < alongCount - marginAlong; ++b) {
      // Window sums of the three lines of pixels around (a, b), clipped to the rectangle.
      const int from = std::max(0, b - half), to = std::min(alongCount - 1, b + half);
      int above = 0, own = 0, below = 0;
      for (int k = from; k <= to; ++k) {
        above += at(a - 1, k);
        own += at(a, k);
        below += at(a + 1, k);
      }
      const int r = std::clamp((above - 2 * own + below) / w, 0, 127) * 2;
      out(a, b) = uint8_t(r);
      if (r >= threshold) sum += r;
    }
    if (profile) profile[(vertical ? left : top) + a] = int32_t(sum / 100);
  }
}

}  // namespace

void HorizontalLineResponse(const uint8_t* image, int width, int height, int top, int left, int rows, int cols,
                            int window, int threshold, int marginAlong, int marginAcross, uint8_t* map,
                            int32_t* profile) {
  LineResponse(image, width, height, top, left, rows, cols, window, threshold, marginAlong, marginAcross, map, profile,
               false);
}

void VerticalLineResponse(const uint8_t* image, int width, int height, int top, int left, int rows, int cols,
                          int window, int threshold, int marginAlong, int marginAcross, uint8_t* map,
                          int32_t* profile) {
  LineResponse(image, width, height, top, left, rows, cols, window, threshold, marginAlong, marginAcross, map, profile,
               true);
}

void ColumnProfile(const uint8_t* map, int width, int top, int bottom, int left, int right, int threshold,
                   int32_t* profile) {
  for (int c = left; c <= right; ++c) {
    int64_t sum = 0;
    for (int r = top; r <= bottom; ++r) {
      const int v = map[size_t(r) * width + c];
      if (v >= threshold) sum += v;
    }
    profile[c] = int32_t(sum / 100);
  }
}

namespace {

constexpr int kMaxDetected = 64;

struct Candidate {
  int strength, first, end;
  float density;
};

class LineList {
 public:
  LineList(FormLine* out, int capacity) : out_(out), capacity_(std::min(capacity, kMaxDetected)) {}
  int count = 0;
  Candidate at[kMaxDetected];
  void Append(const Candidate& c) { at[count++] = c; }
  void Remove(int i) {
    std::copy(at + i + 1, at + count, at + i);
    --count;
  }
  int Capacity() const { return capacity_; }
  void Write(const int* sequence) const {
    for (int i = 0; i < count; ++i) out_[i] = {at[i].strength, at[i].first, at[i].end, sequence[i]};
    if (count < capacity_) out_[count] = {0, 0, 0, 0};
  }

 private:
  FormLine* out_;
  int capacity_;
};

Candidate MakeCandidate(const int32_t* profile, int a, int b) {
  int sum = 0;
  for (int i = a; i < b; ++i) sum += profile[i];
  return {sum, a, b, float(sum) / float(b - a)};
}

// Narrows a strong run [start, end) around its peak to the values above a third of the peak,
// widening while the sum is not above S.
Candidate Narrow(const int32_t* profile, int start, int end, int S) {
  int pk = start;
  for (int i = start; i < end; ++i)
    if (profile[i] > profile[pk]) pk = i;
  const int peak = profile[pk];
  auto high = [&](int i) { return profile[i] * 3 > peak; };
  int a = pk, b = pk + 1;
  auto takeIn = [&]() {
    while (a > start && high(a - 1)) --a;
    while (b < end && high(b)) ++b;
  };
  takeIn();
  auto sum = [&]() {
    int s = 0;
    for (int i = a; i < b; ++i) s += profile[i];
    return s;
  };
  while (sum() <= S && (a > start || b < end)) {
    if (a > start + 1 && high(a - 2)) --a;       // across a low left neighbour
    else if (b + 1 < end && high(b + 1)) ++b;    // across a low right neighbour
    else if (a > start && (b >= end || profile[a - 1] >= profile[b])) --a;
    else ++b;
    takeIn();
  }
  return MakeCandidate(profile, a, b);
}

void Consider(LineList& list, const Candidate& c, int last, int S, int Dmin, int Dmax, int& candidates) {
  if (c.density < 50 && c.density < S / 2.0f) return;
  if (list.count > 0 && list.at[list.count - 1].end >= c.first) {
    // Overlaps the last line: the denser stays.
    if (c.density > list.at[list.count - 1].density) list.at[list.count - 1] = c;
    return;
  }
  ++candidates;
  const int profileEnd = last + 1;
  if (list.count > 0 && c.end < profileEnd) {
    const Candidate& P = list.at[list.count - 1];
    if (c.density * 2.8f <= P.density && c.strength * 1.5f < P.strength && c.first - P.first < Dmin) return;
    if (c.density >= 2.8f * P.density) {
      while (list.count > 0 && c.first - list.at[list.count - 1].first < Dmin &&
             c.density >= 2.8f * list.at[list.count - 1].density)
        list.Remove(list.count - 1);
      if (list.count < list.Capacity()) list.Append(c);
      return;
    }
    if (c.first - P.first < 13 && (c.density > 1.2f * P.density || c.density * 1.2f < P.density)) {
      if (c.density > P.density) list.at[list.count - 1] = c;
      return;
    }
  }
  if (c.end == profileEnd && list.count >= 2) {
    const Candidate& P = list.at[list.count - 1];
    const Candidate& before = list.at[list.count - 2];
    if (before.density >= 2.8f * P.density && c.first - before.first < Dmax) {
      list.at[list.count - 1] = c;
      return;
    }
  }
  if (list.count < list.Capacity()) {
    list.Append(c);
    return;
  }
  int least = 0;
  for (int i = 1; i < list.count; ++i)
    if (list.at[i].density < list.at[least].density) least = i;
  if (list.at[least].density <= c.density) {
    list.Remove(least);
    list.Append(c);
  }
}

}  // namespace

int DetectLines(const int32_t* profile, int first, int last, int S, int M, int Dmin, int Dmax, int purge,
                FormLine* lines, int* candidates) {
  int count = 0;
  if (candidates) *candidates = 0;
  if (!profile || !lines || M < 1 || last < first) {
    if (lines && M >= 1) lines[0] = {0, 0, 0, 0};
    return 0;
  }
  LineList list(lines, M);

  // 1-2. Runs, candidates and the list.
  for (int i = first; i <= last;) {
    if (profile[i] <= 19) {
      ++i;
      continue;
    }
    const int start = i;
    int sum = 0, bridged = -1, j = i;
    for (; j <= last; ++j) {
      const int v = profile[j];
      if (sum > S && v < 40) break;
      if (v < 20) {
        if (bridged < 0 && sum <= S && j < last && profile[j + 1] >= 20) {
          bridged = j;
          sum += v;
          continue;
        }
        break;
      }
      sum += v;
    }
    const int runEnd = j;
    if (sum < S) {
      i = runEnd;
      continue;
    }
    int peak = 0;
    for (int k = start; k < runEnd; ++k) peak = std::max<int>(peak, profile[k]);
    const Candidate c = peak > 60 ? Narrow(profile, start, runEnd, S) : MakeCandidate(profile, start, runEnd);
    Consider(list, c, last, S, Dmin, Dmax, count);
    i = bridged > c.first ? bridged : runEnd;
    if (i <= start) i = runEnd;
  }
  if (candidates) *candidates = count;

  // 3. Purge of weak lines beside the densest one.
  if (purge && list.count >= 2) {
    int densest = -1;
    for (int i = 0; i < list.count; ++i) {
      if (list.at[i].end >= last + 1) continue;
      if (densest < 0 || list.at[i].density > list.at[densest].density ||
          (list.at[i].density == list.at[densest].density && list.at[i].strength > list.at[densest].strength))
        densest = i;
    }
    if (densest >= 0) {
      const Candidate d = list.at[densest];
      for (int i = 0; i < list.count;) {
        const Candidate& l = list.at[i];
        if (l.density * 3 < d.density || (l.density * 2 < d.density && l.strength * 2 < d.strength))
          list.Remove(i);
        else
          ++i;
      }
    }
  }

  // 4. Numbering of the regular sequence.
  int seq[kMaxDetected] = {};
  int k = 0;
  const Candidate* L = list.at;
  const int n = list.count;
  int ref = 0;
  for (int i = 1; i < n;) {
    const int g = L[i].first - L[ref].first;
    if (g < 2 * Dmin / 3 || g > Dmax) {
      ref = i++;
      continue;
    }
    int chosen = i;
    if (g < Dmin) {
      const int N = i + 1;
      if (N < n && L[ref].density >= 2 * L[i].density && L[N].density >= 1.8f * L[i].density &&
          L[N].first - L[ref].first >= Dmin && L[N].first - L[ref].first <= Dmax) {
        chosen = N;
      } else {
        ref = i++;
        continue;
      }
    }
    while (chosen + 1 < n && L[chosen + 1].first - L[ref].first < Dmax &&
           L[chosen + 1].first - L[chosen].first < Dmin && L[chosen + 1].density > 1.5f * L[chosen].density)
      ++chosen;
    ++k;
    seq[ref] = k;
    seq[chosen] = k;
    ref = chosen;
    i = chosen + 1;
  }

  // 5. End corrections.
  auto firstNumbered = [&](int number) {
    for (int i = 0; i < n; ++i)
      if (seq[i] == number) return i;
    return -1;
  };
  if (k > 2) {
    const int f = firstNumbered(k);
    if (f >= 0 && L[f].strength < 2 * S && L[f].density < S) {
      for (int i = f - 1; i >= 0 && i >= f - 3; --i) {
        if (L[f].first - L[i].first > 1.2f * Dmin || seq[i] == 2) break;
        if (L[i].strength >= 1.2f * L[f].strength && L[i].density >= 1.2f * L[f].density) {
          seq[i] = k;
          seq[f] = 0;
          break;
        }
      }
    }
  }
  if (k > 3) {
    int lastK = -1;
    for (int i = 0; i < n; ++i)
      if (seq[i] == k) lastK = i;
    const int f = firstNumbered(k - 1);
    if (lastK > f && f >= 0 && L[lastK].first - L[f].first < Dmax) {
      bool stronger = true;
      for (int i = f + 1; i < lastK; ++i)
        if (!(L[f].strength >= 1.2f * L[i].strength && L[f].density >= 1.2f * L[i].density)) stronger = false;
      if (stronger) {
        seq[lastK] = k - 1;
        for (int i = f + 1; i < lastK; ++i) seq[i] = 0;
        --k;
      }
    }
  }
  list.Write(seq);
  return k;
}

namespace {

struct Fitted {
  double row, col;
  double angle;
  bool kept;
};

int Trunc100(double distance) { return int(float(distance + 50) * 0.01f); }

// Ten edges of the rolled boxes, laid out left to right. More edges than a card can have are
// counted but not stored.
class Edges {
 public:
  static constexpr int kRoom = 13;
  int count = 0;
  int row[kRoom], col[kRoom];
  void Add(double r, double c) {
    if (count < kRoom) {
      row[count] = int(std::trunc(r + 0.5));
      col[count] = int(std::trunc(c + 0.5));
    }
    ++count;
  }
};

}  // namespace

int MeasureCardAngle(int reducedWidth, const uint8_t* map, FormLine* lines, int top, int bottom, int threshold,
                     float* angle) {
  if (!map || !lines) return -1;
  // a. Least-squares fit of each numbered line.
  Fitted fit[10];
  int fitted = 0;
  for (int i = 0; i < 10 && lines[i].strength != 0; ++i) {
    if (lines[i].sequence == 0) continue;
    double sr = 0, sc = 0;
    int count = 0;
    for (int r = top; r <= bottom; ++r)
      for (int c = std::max(0, lines[i].first); c < std::min(reducedWidth, lines[i].end); ++c)
        if (map[size_t(r) * reducedWidth + c] >= threshold) {
          sr += r;
          sc += c;
          ++count;
        }
    if (count < 10) continue;
    const double mr = sr / count, mc = sc / count;
    double cov = 0, var = 0;
    for (int r = top; r <= bottom; ++r)
      for (int c = std::max(0, lines[i].first); c < std::min(reducedWidth, lines[i].end); ++c)
        if (map[size_t(r) * reducedWidth + c] >= threshold) {
          cov += (r - mr) * (c - mc);
          var += (r - mr) * (r - mr);
        }
    if (var <= 0) continue;  // every pixel in one row: no direction to fit
    fit[fitted++] = {mr, mc, -std::atan(cov / var) * 57.295647, true};
  }
  if (fitted == 0) return -1;
  if (fitted == 1) return -2;

  // b. Consensus of the angles.
  auto mean = [&]() {
    double s = 0;
    int m = 0;
    for (int i = 0; i < fitted; ++i)
      if (fit[i].kept) {
        s += fit[i].angle;
        ++m;
      }
    return s / m;
  };
  // The first search looks at every fitted line, so a steep stroke is the first to go; once a
  // line has been dropped, only angles of at most 10 degrees are searched.
  auto farthest = [&](double centre, bool steepToo, double& deviation) {
    int far = -1;
    deviation = -1;
    for (int i = 0; i < fitted; ++i)
      if (fit[i].kept && (steepToo || fit[i].angle <= 10) && std::abs(fit[i].angle - centre) > deviation) {
        deviation = std::abs(fit[i].angle - centre);
        far = i;
      }
    return far;
  };
  double a = mean(), deviation = 0;
  int far = farthest(a, true, deviation);
  int remaining = fitted;
  while (remaining > 2 && deviation > 0.25) {
    fit[far].kept = false;
    fit[far].angle = 100;
    --remaining;
    a = mean();
    far = farthest(a, false, deviation);
  }
  if (deviation > 0.25) return -11;
  *angle = float(a);

  // c. Box spacing.
  const double t = std::tan(a * 3.14159265358979 / 180), s = std::sqrt(1 + t * t);
  Fitted kept[10] = {};
  int m = 0;
  for (int i = 0; i < fitted; ++i)
    if (fit[i].kept) kept[m++] = fit[i];
  double gap[11];  // gap[i]: distance from line i - 1 (or the left edge) to line i; gap[m]: to the right edge
  gap[0] = kept[0].col / s;
  for (int i = 1; i < m; ++i) gap[i] = ((kept[i].col - t * kept[i].row) - (kept[i - 1].col - t * kept[i - 1].row)) / s;
  gap[m] = (reducedWidth - kept[m - 1].col) / s;
  double sum = 0;
  int boxes = 0;
  for (int i = 1; i < m; ++i)
    if (gap[i] > 50) {
      sum += gap[i];
      boxes += Trunc100(gap[i]);
    }
  if (boxes == 0) return -12;
  const double P = sum / boxes / std::cos(a * 3.14159265358979 / 180);

  // d. Box edges.
  Edges e;
  const int nLeft = Trunc100(gap[0]);
  const bool madeLeft = nLeft >= 1;
  int i = 0;
  if (madeLeft) {
    e.Add(kept[0].row, kept[0].col - nLeft * P);
  } else {
    e.Add(kept[0].row, kept[0].col);
    i = 1;
  }
  for (; i < m; ++i) {
    const int n = Trunc100(gap[i]);
    if (n < 1) {
      std::printf("Err: Ndx=%d Dis=%f\n", e.count, gap[i]);
      return -13;
    }
    for (int j = n - 1; j >= 1; --j) {
      e.Add(kept[i].row, kept[i].col - j * P);
      e.Add(kept[i].row, kept[i].col - j * P);
    }
    e.Add(kept[i].row, kept[i].col);
    if (gap[i + 1] > 50) {
      e.Add(kept[i].row, kept[i].col);
    } else if (i + 1 < m) {
      ++i;
      e.Add(kept[i].row, kept[i].col);
    }
  }
  const int nRight = Trunc100(gap[m]);
  const bool madeRight = nRight >= 1;
  for (int j = 1; j < nRight; ++j) {
    e.Add(kept[m - 1].row, kept[m - 1].col + j * P);
    e.Add(kept[m - 1].row, kept[m - 1].col + j * P);
  }
  if (madeRight) e.Add(kept[m - 1].row, kept[m - 1].col + nRight * P);

  // e. Count.
  if (e.count < 10) {
    std::printf("Err: Do not have enough lines %d\n", e.count);
    return -15;
  }
  if (e.count > 12) {
    std::printf("Err: Too many lines %d\n", e.count);
    return -14;
  }
  int from = 0;
  if (e.count > 10) {
    if (madeLeft && madeRight) {
      std::printf("Err: Too many lines %d\n", e.count);
      return -14;
    }
    if (madeLeft) from = 2;
  }
  // f. Shift.
  const int firstCol = e.col[from], tenthCol = e.col[from + 9];
  if (firstCol < -2 * P / 3 || tenthCol > reducedWidth + P / 3) {
    std::printf("Err: Card shifts two much! %d %d %d %f\n", firstCol, tenthCol, reducedWidth, P);
    return -16;
  }
  for (int k = 0; k < 10; ++k) {
    lines[k].first = e.row[from + k];
    lines[k].end = e.col[from + k];
  }
  return int(std::lround(P));
}

int AnalysePlainRowLines(int reducedWidth, FormLine* lines, int upper, int lower, int Tmin, int Tmax) {
  if (!lines) return -1;
  const int W = reducedWidth;
  // 1. Kept line centres.
  int centre[6], strength[6];
  int kept = 0;
  for (int i = 0; i < 8 && lines[i].strength != 0; ++i) {
    if (lines[i].sequence == 0) continue;
    const int c = (lines[i].first + lines[i].end) / 2;
    const int side = c > W / 2 ? W - c : c;
    if (side > 40 && side < 6 * W / 20) continue;
    if (kept > 0 && c - centre[kept - 1] < 20) {
      if (lines[i].strength >= strength[kept - 1]) {
        centre[kept - 1] = c;
        strength[kept - 1] = lines[i].strength;
      }
      continue;
    }
    if (kept == 6) {
      std::printf("Err: Slap lines %d %d\n", kept, lines[i].sequence);
      return -2;
    }
    centre[kept] = c;
    strength[kept++] = lines[i].strength;
  }
  if (kept < 2) {
    std::printf("Err: Slap lines %d\n", kept);
    return -1;
  }
  // 2. Border lines.
  const bool leftBorder = centre[0] <= 100;
  int L = centre[0], innerFirst = 0;
  if (leftBorder) {
    if (centre[1] - centre[0] < 100) {
      std::printf("Err: The first two lines %d %d\n", centre[0], centre[1]);
      return -2;
    }
    L = centre[1] - centre[0];
    innerFirst = 1;
  }
  const int last = kept - 1;
  const bool rightBorder = centre[last] >= W - 100;
  int R = W - centre[last], innerLast = last;
  if (rightBorder) {
    if (centre[last] - centre[last - 1] < 100) {
      std::printf("Err: The last two lines %d %d\n", centre[last - 1], centre[last]);
      return -2;
    }
    R = centre[last] - centre[last - 1];
    innerLast = last - 1;
  }
  // 3. Four-finger width.
  int F;
  if (L > 220 && R > 220) {
    std::printf("Err: Flat4 too big %d %d\n", L, R);
    return -1;
  } else if (L > 220) {
    F = R;
  } else if (R > 220) {
    F = L;
  } else {
    if (std::abs(L - R) > 40) {
      std::printf("Err: Sizes differ for flat4s %d %d %d\n", L, R, L - R);
      return -3;
    }
    F = leftBorder && !rightBorder ? L : rightBorder && !leftBorder ? R : (L + R) / 2;
  }
  // 4. Thumb width.
  const int gaps = innerLast - innerFirst;
  if (gaps < 1 || gaps > 2) {
    std::printf("Err: Too many lines stay in middle %d\n", gaps);
    return -2;
  }
  int T;
  if (gaps == 1) {
    T = centre[innerLast] - centre[innerFirst];
    if (T > 75) T /= 2;
  } else {
    const int middle = centre[innerFirst + 1];
    T = (centre[innerLast] - centre[innerFirst]) / 2;
    const int v = centre[innerFirst] - 2 * middle + centre[innerLast];
    if (v < -20 || v > 20) {
      std::printf("Err: Sizes differ for thumbs %d %d %d\n", T, v, middle);
      return -3;
    }
  }
  if (T < Tmin || T > Tmax) {
    std::printf("Err: Thumb size %d\n", T);
    return -3;
  }
  // 5. Edges.
  constexpr int kUnknown = -1000000;
  int e[8];
  std::fill(e, e + 8, kUnknown);
  if (leftBorder) e[0] = centre[0];
  const int dFirst = centre[innerFirst] - (leftBorder ? centre[0] : 0);
  if (dFirst < 210) e[1] = e[2] = centre[innerFirst];
  else if (dFirst <= 264) e[3] = e[4] = centre[innerFirst];
  else return -4;
  const int dLast = (rightBorder ? centre[last] : W) - centre[innerLast];
  if (dLast < 210) e[5] = e[6] = centre[innerLast];
  else if (dLast <= 264) e[3] = e[4] = centre[innerLast];
  else return -4;
  if (rightBorder) e[7] = centre[last];
  if (gaps == 2) e[3] = e[4] = centre[innerFirst + 1];
  if (e[3] == kUnknown) {
    if (e[2] != kUnknown) e[3] = e[4] = e[2] + T;
    else if (e[5] != kUnknown) e[3] = e[4] = e[5] - T;
    else return -3;
  }
  if (e[2] == kUnknown) e[1] = e[2] = e[3] - T;
  if (e[5] == kUnknown) e[5] = e[6] = e[3] + T;
  if (e[0] == kUnknown) e[0] = e[1] - F;
  if (e[7] == kUnknown) e[7] = e[6] + F;
  if (e[1] - e[0] < 150 || e[7] - e[6] < 150 || e[3] - e[2] < 43 || e[5] - e[4] < 43) return -4;
  const int row = (upper + lower) / 2;
  for (int k = 0; k < 8; ++k) {
    lines[k].first = row;
    lines[k].end = e[k];
  }
  return 0;
}
