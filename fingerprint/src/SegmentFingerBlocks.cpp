// Finger segmentation of a reduced slap image: binarisation, dark regions, hand angle, splitting of
// touching fingers, grouping of finger segments and the finger order.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SlapSegmentation.h"

namespace {

// Label values of the binary work image.
constexpr uint8_t kLabelBackground = 0;
constexpr uint8_t kLabelDark = 1;
constexpr uint8_t kLabelFinished = 3;
constexpr uint8_t kLabelPeeled = 4;
constexpr uint8_t kLabelRejected = 5;
constexpr uint8_t kLabelPiece = 8;
constexpr uint8_t kLabelSegmentBase = 10;  // + record index
constexpr uint8_t kLabelMeasuring = 128;
constexpr uint8_t kLabelSplitting = 255;

constexpr int kWorkSide = 350;
constexpr int kMaskLive = 16;
constexpr int kMaskNoSecondSegment = 32;

constexpr int kLinkDropped = -5000;
constexpr int kLinkMemberBase = -1000;

bool IsHead(const FingerSegment& r) { return r.cls <= 3 && r.link >= -499; }
bool IsMember(const FingerSegment& r) {
  return r.link <= kLinkMemberBase && r.link > kLinkMemberBase - 1000;
}
int HeadOf(const FingerSegment& r) { return kLinkMemberBase - r.link; }

int Popcount4(int mask) {
  int n = 0;
  for (int k = 0; k < 4; ++k) n += (mask >> k) & 1;
  return n;
}

SlapFinger FingerFrom(const FingerSegment& r) {
  return {r.centreLine, r.centreColumn, r.across, r.along, r.count, r.meanGrey};
}

}  // namespace

int SegmentFingerBlocks(const uint16_t sizePair[2], const uint8_t* reduced, int32_t lineArr[8],
                        int32_t columnArr[8], int32_t valueArr[8]) {
  if (sizePair == nullptr || lineArr == nullptr || columnArr == nullptr || valueArr == nullptr)
    return -127;
  // 1. Setup.
  const int cols = lineArr[0];  // crop extent along the lines
  const int x0 = lineArr[1];
  const int n = lineArr[2];
  const int stage = (lineArr[3] >= 11 && lineArr[3] <= 15) ? lineArr[3] - 10 : 0;
  const int rows = columnArr[0];  // crop extent along the columns (bytes per work line)
  const int y0 = columnArr[1];
  const int mask = columnArr[2];
  const int expected = valueArr[0];
  const int position = valueArr[1];
  const int threshold = valueArr[2];
  const bool live = (mask & kMaskLive) != 0;

  if (Popcount4(mask) != n) return -127;
  if (position != kSlapRightHand && position != kSlapLeftHand && position != kSlapTwoThumbs) {
    std::printf("Error: finger position %d wrong!\n", position);
    return -127;
  }
  if (position == kSlapTwoThumbs) {
    for (int k = 0; k < 2; ++k) lineArr[k] = x0 + cols / 2;
    columnArr[0] = y0 + 3 * rows / 4;
    columnArr[1] = y0 + rows / 4;
    valueArr[0] = valueArr[1] = -1;
  } else {
    for (int k = 0; k < 4; ++k) {
      lineArr[k] = (k == 1) ? x0 + cols / 4 : (k == 3) ? x0 + 3 * cols / 4 : x0 + cols / 2;
      columnArr[k] = position == kSlapRightHand ? y0 + ((k + 1) * rows) / 5 : y0 + ((4 - k) * rows) / 5;
      valueArr[k] = -1;
    }
    if (cols < 1.5 * expected || rows < 1.5 * expected) {
      std::printf("Crop size (%d x %d) Out size (%d x %d)\n", cols, rows, expected, expected);
      return -127;
    }
  }
  // 2. Further checks.
  const int reducedLineLength = sizePair[0];
  const int reducedLines = sizePair[1];
  if (reducedLines < x0 + cols || reducedLineLength < y0 + rows) {
    std::printf("Error: Image size (%d x %d) Point (%d x %d) ", reducedLines, reducedLineLength, x0, y0);
    std::printf("Crop size (%d x %d)\n", cols, rows);
    return -127;
  }
  if (cols > kWorkSide || rows > kWorkSide) {
    std::printf("Crop size (%d x %d)\n", cols, rows);
    return -127;
  }
  if (reduced == nullptr || expected < 16 || expected > 64 || x0 < 0 || y0 < 0) return -127;
  if (cols < 1 || rows < 1) return -63;

  // 3. Binarise the crop into the work image: 1 where dark.
  static_assert(kWorkSide * kWorkSide <= 122500);
  uint8_t work[kWorkSide * kWorkSide];
  auto src = [&](int x, int y) -> int {
    return reduced[static_cast<size_t>(x0 + x) * reducedLineLength + y0 + y];
  };
  auto px = [&](int x, int y) -> uint8_t& { return work[x * rows + y]; };
  for (int x = 0; x < cols; ++x)
    for (int y = 0; y < rows; ++y) {
      if (x == 0 || y == 0 || x == cols - 1 || y == rows - 1) {
        px(x, y) = src(x, y) < threshold ? kLabelDark : kLabelBackground;
        continue;
      }
      int sum = 0;
      for (int i = -1; i <= 1; ++i)
        for (int j = -1; j <= 1; ++j) sum += src(x + i, y + j);
      px(x, y) = sum / 9 < threshold ? kLabelDark : kLabelBackground;
    }

  // 4. Thin dark streaks are not fingers.
  if (stage == 0 && position != kSlapTwoThumbs)
    RemoveShortRuns(work, rows, cols, rows, 4, kLabelDark, kLabelRejected);

  // 5./6. Region scan.
  FingerSegment rec[kMaxSegments + 1];
  int k = 0;
  const double bigSize = 1.2 * expected;
  for (int x = 0; x < cols; ++x)
    for (int y = 0; y < rows; ++y) {
      if (px(x, y) != kLabelDark) continue;
      px(x, y) = kLabelMeasuring;
      int minX = x, maxX = x, minY = y, maxY = y, count = 1;
      int64_t sumX = x, sumY = y;
      FillRegion(work, rows, x, y, 0, cols, 0, rows, kLabelDark, kLabelMeasuring, &minX, &maxX, &minY,
                 &maxY, &sumX, &sumY, &count);
      int dx = maxX - minX, dy = maxY - minY;
      int longer = std::max(dx, dy);
      int aspect = longer > 0 ? 10 * std::min(dx, dy) / longer : 0;
      const bool accepted = count > 150 && aspect >= 2 && dx >= 12 && dy >= 12 &&
                            (aspect >= 4 || (dx >= 16 && dy >= 16)) &&
                            (count >= 250 || (dx <= bigSize && dy <= bigSize));
      if (!accepted) {
        int a = 0, b = 0, c = 0, d = 0, g = 1;
        int64_t e = 0, f = 0;
        px(x, y) = kLabelRejected;
        FillRegion(work, rows, x, y, 0, cols, 0, rows, kLabelMeasuring, kLabelRejected, &a, &b, &c, &d,
                   &e, &f, &g);
        continue;
      }
      TrimRegionEdges(work, rows, kLabelMeasuring, kLabelPeeled, &minX, &maxX, &minY, &maxY, &sumX, &sumY,
                      &count);
      if (count < 150) {
        RelabelInWindow(work, rows, minX, maxX, minY, maxY, kLabelMeasuring, kLabelRejected);
        continue;
      }
      dx = maxX - minX;
      dy = maxY - minY;
      const float density = static_cast<float>((dx + 1) * (dy + 1)) / static_cast<float>(count);
      FingerSegment& r = rec[k];
      r = FingerSegment{};
      r.centreLine = static_cast<int>(sumX / count);
      r.centreColumn = static_cast<int>(sumY / count);
      r.count = count;
      r.minLine = minX;
      r.maxLine = maxX;
      r.minColumn = minY;
      r.maxColumn = maxY;
      r.sumLine = sumX;
      r.sumColumn = sumY;
      if (stage != 1) {
        r.angle = RegionOrientation(work, rows, minX, maxX, minY, maxY, r.centreLine, r.centreColumn,
                                    kLabelMeasuring, kLabelSegmentBase + k, &r.elongation);
        r.cls = SegmentClass(count, dx, dy, density, r.angle, r.elongation, expected, position, live);
      }
      if (k < kMaxSegments) ++k;
    }
  int records = k;

  // 7. Nothing usable, or the raw region list was asked for.
  if (records == 0) return -63;
  if (stage != 0 && (stage == 1 || n > records)) {
    for (int i = 0; i < std::min(records, 4); ++i) {
      lineArr[i] = rec[i].centreLine;
      columnArr[i] = rec[i].centreColumn;
      valueArr[i] = rec[i].count;
    }
    return records;
  }

  // 8. Size tally.
  long long small = 0, big = 0;
  for (int i = 0; i < records; ++i) {
    if (rec[i].cls > 2) {
      rec[i].exclusion = 2;
      big += rec[i].count;
    } else {
      rec[i].exclusion = 0;
      small += rec[i].count;
    }
  }
  if (position != kSlapTwoThumbs && (small < 1 || small * 8 < big)) return -63;

  // 9. Leave out small regions while there are more than three.
  LeaveOutSmallSegments(rec, records);

  // 10./11. Hand angle and outlier rounds.
  const int meanAngle = SegmentHandAngle(rec, records, position);
  if (meanAngle == kNoHandAngle) return -63;

  // 12. Split regions that may hold several fingers.
  const uint8_t* cropGrey = reduced + static_cast<size_t>(x0) * reducedLineLength + y0;
  const int half = expected / 2;
  for (int j = 0; j < records; ++j) {
    FingerSegment& r = rec[j];
    const int label = kLabelSegmentBase + j;
    if (r.cls > 3) {
      RelabelInWindow(work, rows, r.minLine, r.maxLine, r.minColumn, r.maxColumn, label, kLabelRejected);
      continue;
    }
    if (r.cls == 1 && r.deviation < 30) {
      if (stage > 2)
        r.meanGrey = MeanGreyUnderLabel(cropGrey, reducedLineLength, work, rows, r.minLine, r.maxLine,
                                        r.minColumn, r.maxColumn, label);
      continue;
    }
    if (r.cls < 1) continue;  // a piece made by an earlier split
    const int bx0 = r.minLine, bx1 = r.maxLine, by0 = r.minColumn, by1 = r.maxColumn;
    RelabelInWindow(work, rows, bx0, bx1, by0, by1, label, kLabelSplitting);
    const int before = records;
    SplitFingerBlob(work, rows, bx0, bx1, by0, by1, meanAngle, kLabelSplitting, kLabelPiece, rec, j, &records,
                    r.deviation <= 30 ? r.cls : 3, expected);
    if (stage > 2) {
      auto measure = [&](FingerSegment& p) {
        p.meanGrey = MeanGreyUnderLabel(cropGrey, reducedLineLength, work, rows,
                                        std::clamp(p.centreLine - half, 0, cols - 1),
                                     std::clamp(p.centreLine + half, 0, cols - 1),
                                     std::clamp(p.centreColumn - half, 0, rows - 1),
                                     std::clamp(p.centreColumn + half, 0, rows - 1), kLabelSplitting);
      };
      if (rec[j].cls == 0) measure(rec[j]);
      for (int i = before; i < records; ++i) measure(rec[i]);
    }
    RelabelInWindow(work, rows, bx0, bx1, by0, by1, kLabelSplitting, kLabelFinished);
  }

  // 13./14. Across/along coordinates, and the segments of one finger grouped.
  RotateSegments(rec, records, meanAngle);
  const int fingerCount = GroupFingerSegments(rec, records, live);

  // 15.-21. Too many fingers, finger order, second segments, tip order and rotation.
  SlapFinger fingers[4];
  int found = 0;
  const int flags =
      OrderFingers(rec, records, fingerCount, n, position, mask, stage, rows, meanAngle, fingers, &found);

  // 22. Output: the t-th finger goes to the t-th slot selected by the mask.
  int t = 0;
  for (int slot = 0; slot < 4 && t < found; ++slot) {
    if (!((mask >> slot) & 1)) continue;
    lineArr[slot] = fingers[t].centreLine + x0;
    columnArr[slot] = fingers[t].centreColumn + y0;
    valueArr[slot] = meanAngle;
    if (stage > 2) {
      lineArr[4 + slot] = fingers[t].count;
      columnArr[4 + slot] = fingers[t].meanGrey;
    }
    ++t;
  }
  return -flags;
}

int SegmentClass(int count, int dx, int dy, float density, int angle, int elongation, int expected, int position,
                 bool live) {
  const double bigSize = 1.2 * expected;
  int cls = (dx < bigSize && dy < bigSize) ? 1 : 2;
  const int limit = position == kSlapTwoThumbs ? 3500 : 2500;
  if (count < 1500 && (elongation < 50 || live) && (angle < 20 || angle > 160))
    cls = position == kSlapTwoThumbs ? 3 : 4;
  if (count > limit + 500) {
    const int t = std::max((limit - count) * 10 / limit + 20, 10);
    if (elongation > t) cls = 3;
  }
  if (cls > 1 && elongation > 10 && density > 2.0f) cls = 3;
  if (elongation > 80) cls = 3;
  return cls;
}

void LeaveOutSmallSegments(FingerSegment* rec, int records) {
  while (records > 3) {
    int best = -1;
    for (int i = 0; i < records; ++i)
      if (rec[i].exclusion == 0 && rec[i].count < 500 && (best < 0 || rec[i].count < rec[best].count))
        best = i;
    if (best < 0) break;
    rec[best].exclusion = 2;
  }
}

int SegmentHandAngle(FingerSegment* rec, int records, int position) {
  // 10. Hand angle, weighted by how elongated each region is.
  int meanAngle = 0;
  {
    long long sum = 0, weights = 0;
    for (int i = 0; i < records; ++i) {
      if (rec[i].exclusion != 0) continue;
      rec[i].weight = 105 - rec[i].elongation;
      sum += static_cast<long long>(rec[i].angle) * rec[i].weight;
      weights += rec[i].weight;
    }
    if (weights <= 0) {
      if (position != kSlapTwoThumbs) return kNoHandAngle;
      meanAngle = 90;
    } else {
      meanAngle = static_cast<int>(sum / weights);
    }
    for (int i = 0; i < records; ++i)
      if (rec[i].exclusion == 0) rec[i].deviation = std::abs(rec[i].angle - meanAngle);
  }

  // 11. Outlier rounds.
  if (position != kSlapTwoThumbs) {
    for (int round = 0; round < 2; ++round) {
      int included = 0;
      for (int i = 0; i < records; ++i) included += rec[i].exclusion == 0;
      if (included < 2) break;
      int excluded = 0;
      for (;;) {
        int worst = -1;
        for (int i = 0; i < records; ++i)
          if (rec[i].exclusion == 0 && (worst < 0 || rec[i].deviation > rec[worst].deviation)) worst = i;
        if (worst < 0 || rec[worst].deviation < 30 || included <= 1) break;
        rec[worst].exclusion = 1;
        --included;
        ++excluded;
        if (excluded >= 2 && rec[worst].deviation <= 60) break;
      }
      if (excluded == 0) break;
      long long sum = 0, weights = 0;
      for (int i = 0; i < records; ++i) {
        if (rec[i].exclusion > 0) continue;
        sum += static_cast<long long>(rec[i].angle) * rec[i].weight;
        weights += rec[i].weight;
      }
      if (weights > 0) meanAngle = static_cast<int>(sum / weights);
      for (int i = 0; i < records; ++i) {
        if (rec[i].exclusion > 1) continue;
        rec[i].deviation = std::abs(rec[i].angle - meanAngle);
        rec[i].exclusion = 0;
      }
    }
  }
  return meanAngle;
}

void RotateSegments(FingerSegment* rec, int records, int meanAngle) {
  // 13. Rotate the centres into across/along coordinates.
  const float theta = static_cast<float>(meanAngle) * 0.017453333f;
  const float sinT = std::sin(theta), cosT = std::cos(theta);
  for (int i = 0; i < records; ++i) {
    FingerSegment& r = rec[i];
    if (r.cls > 3) continue;
    const float cx = static_cast<float>(r.centreLine), cy = static_cast<float>(r.centreColumn);
    r.across = static_cast<int>(cy * sinT - cx * cosT);
    r.along = static_cast<int>(cx * sinT + cy * cosT);
    r.link = 0;
  }
}

int GroupFingerSegments(FingerSegment* rec, int records, bool live) {
  const double sizeFactor = live ? 5.0 : 2.5;

  // 14. Group the segments of one finger.
  int fingerCount = 0;
  for (int j = 0; j < records; ++j) {
    if (rec[j].cls > 3) continue;
    int i = 0;
    for (; i < j; ++i)
      if (rec[i].cls <= 3 && rec[i].link >= -499 && std::abs(rec[j].across - rec[i].across) < 15) break;
    if (i == j) {
      ++fingerCount;
      continue;
    }
    if (rec[j].count * sizeFactor < rec[i].count) {
      rec[j].link = kLinkDropped;
    } else if (rec[i].count * sizeFactor < rec[j].count) {
      rec[i].link = kLinkDropped;
    } else if (rec[j].along >= rec[i].along) {
      rec[j].link = kLinkMemberBase - i;
    } else {
      rec[i].link = kLinkMemberBase - j;
    }
  }
  return fingerCount;
}

int OrderFingers(FingerSegment* rec, int records, int fingerCount, int expected, int position, int mask,
                 int stage, int columns, int meanAngle, SlapFinger fingers[4], int* foundOut) {
  const bool live = (mask & kMaskLive) != 0;
  // 15. Missing fingers.
  int flags = 0;
  if (fingerCount < expected) flags |= SegMissingFinger;

  // 16. Too many fingers.
  auto drop = [&](int h) {
    rec[h].link = kLinkDropped;
    for (int i = 0; i < records; ++i)
      if (IsMember(rec[i]) && HeadOf(rec[i]) == h && rec[i].cls <= 3) {
        rec[i].link = 0;
        ++fingerCount;
      }
    --fingerCount;
  };
  auto atEdgeAcross = [&](int h, bool alsoAlong) {
    for (int i = 0; i < records; ++i) {
      if (i == h || !IsHead(rec[i])) continue;
      const bool beyond = position == kSlapRightHand ? rec[i].across > rec[h].across
                                                     : rec[i].across < rec[h].across;
      if (beyond || (alsoAlong && rec[i].along > rec[h].along)) return false;
    }
    return true;
  };
  for (int guard = 0; fingerCount > expected && guard < 4 * (kMaxSegments + 1); ++guard) {
    int a = -1, b = -1, bestGap = 0;
    for (int i = 0; i < records; ++i) {
      if (!IsHead(rec[i])) continue;
      for (int j = i + 1; j < records; ++j) {
        if (!IsHead(rec[j])) continue;
        const int gap = std::abs(rec[i].across - rec[j].across);
        if (a < 0 || gap < bestGap) {
          a = i;
          b = j;
          bestGap = gap;
        }
      }
    }
    if (a < 0) break;
    const int alongGap = std::abs(rec[a].along - rec[b].along);
    bool protA = false, protB = false;
    if (!live) {
      const int lower = rec[b].along >= rec[a].along ? b : a;
      const bool prot = atEdgeAcross(lower, false);
      (lower == a ? protA : protB) = prot;
    }
    if (rec[a].count > 2.5 * rec[b].count && (!protB || rec[b].count < 300)) {
      drop(b);
      continue;
    }
    if (rec[b].count > 2.5 * rec[a].count && (!protA || rec[a].count < 300)) {
      drop(a);
      continue;
    }
    if (stage == 0 && bestGap <= 30 && bestGap <= alongGap && !protA && !protB) {
      if (rec[b].along >= rec[a].along)
        rec[b].link = kLinkMemberBase - a;
      else
        rec[a].link = kLinkMemberBase - b;
      --fingerCount;
      continue;
    }
    int s1 = -1, s2 = -1;
    for (int i = 0; i < records; ++i) {
      if (!IsHead(rec[i])) continue;
      if (s1 < 0 || rec[i].count < rec[s1].count) {
        s2 = s1;
        s1 = i;
      } else if (s2 < 0 || rec[i].count < rec[s2].count) {
        s2 = i;
      }
    }
    const bool protS1 = !live && atEdgeAcross(s1, true);
    if (s2 >= 0 && rec[s2].count > 2.5 * rec[s1].count && (!protS1 || rec[s1].count < 300)) {
      drop(s1);
      continue;
    }
    flags |= SegExtraSegment;
    int victim = -1;
    for (int i = 0; i < records; ++i) {
      if (!IsHead(rec[i])) continue;
      if (victim < 0) {
        victim = i;
        continue;
      }
      if (live) {
        const int di = std::min(rec[i].centreColumn, columns - rec[i].centreColumn);
        const int dv = std::min(rec[victim].centreColumn, columns - rec[victim].centreColumn);
        if (di < dv) victim = i;
      } else if (position == kSlapRightHand ? rec[i].across < rec[victim].across
                                            : rec[i].across > rec[victim].across) {
        victim = i;
      }
    }
    drop(victim);
  }

  // 17. Members of a dropped head, or of a head that became a member, go too.
  for (int i = 0; i < records; ++i)
    if (IsMember(rec[i]) && rec[HeadOf(rec[i])].link < -499) rec[i].link = kLinkDropped;

  // 18. Finger order across the hand.
  int found = 0;
  for (int t = 0; t < fingerCount && t < 4; ++t) {
    int pick = -1;
    for (int i = 0; i < records; ++i) {
      if (rec[i].cls > 3 || rec[i].link != 0) continue;
      if (pick < 0 || (position == kSlapRightHand ? rec[i].across < rec[pick].across
                                                  : rec[i].across > rec[pick].across))
        pick = i;
    }
    if (pick < 0) break;
    fingers[t] = FingerFrom(rec[pick]);
    rec[pick].link = kLinkDropped - t;
    ++found;
    if (t > 0) {
      const int gap = position == kSlapRightHand ? fingers[t].across - fingers[t - 1].across
                                                 : fingers[t - 1].across - fingers[t].across;
      if (gap < 25) flags |= SegFingersClose;
    }
  }

  // 19. Second segments: the highest remaining member of each finger.
  SlapFinger second[4];
  for (int i = 0; i < records; ++i) {
    if (!IsMember(rec[i])) continue;
    const int headLink = rec[HeadOf(rec[i])].link;
    const int t = kLinkDropped - headLink;
    if (t < 0 || t >= found) continue;
    if (second[t].centreLine == 0 || rec[i].along < second[t].along) second[t] = FingerFrom(rec[i]);
  }

  // 20. Tip order.
  if (expected == 4 && !(flags & SegMissingFinger) && found == 4) {
    SlapFinger* f = fingers;
    auto has = [&](int t) { return second[t].centreLine != 0; };
    auto take = [&](int t) {
      f[t] = second[t];
      second[t] = SlapFinger{};
    };
    if (!live) {
      if (has(0) && f[0].along - f[1].along < -6 && std::abs(f[0].across - second[0].across) > 15) take(0);
      if (!(mask & kMaskNoSecondSegment)) {
        if (has(0) && f[0].along - f[1].along < -6) take(0);
        if (has(1) && f[0].along - second[1].along >= 1 && f[2].along - second[1].along >= 1) take(1);
        if (has(2) && f[2].along - f[1].along < -6) take(2);
        if (has(3) && (f[3].along - f[2].along < -4 || f[3].along - f[0].along < -4)) take(3);
      }
    }
    if (f[0].along > f[3].along + 5 || f[2].along > f[3].along + 2) flags |= SegTipOrder;
    if (f[0].along < f[1].along - 5 || f[2].along < f[1].along - 8 || f[0].along > f[1].along + 70 ||
        f[2].along > f[1].along + 60)
      flags |= SegTipOrder;
  } else if (expected == 4 && !(flags & SegMissingFinger) && found > 2) {
    const SlapFinger* f = fingers;
    if (f[0].along < f[1].along - 5 || f[2].along < f[1].along - 8 || f[0].along > f[1].along + 70 ||
        f[2].along > f[1].along + 60)
      flags |= SegTipOrder;
  }

  // 21. Rotated hand.
  if ((position == kSlapRightHand && meanAngle > 100) || (position == kSlapLeftHand && meanAngle < 80))
    flags |= SegRotated;
  *foundOut = found;
  return flags;
}

void SplitFingerBlob(uint8_t* work, int lineLength, int line0, int line1, int column0, int column1,
                     int meanAngle, int label, int fillLabel, FingerSegment* records, int index,
                     int* recordCount, int mode, int expectedSize) {
  // 1. Window side and mass threshold; every region pixel weighs its label value.
  const int side = mode == 2 ? expectedSize : 30;
  const long long q = mode == 2 ? static_cast<long long>(255.0 * expectedSize * expectedSize * 0.3)
                                : static_cast<long long>(255.0 * 30 * 30 * 0.85);
  const double rad = meanAngle * 0.017453333333333335;
  const double s = std::sin(rad), c = std::cos(rad);
  line0 = std::max(line0, 0);
  column0 = std::max(column0, 0);
  column1 = std::min(column1, lineLength - 1);
  if (line1 < line0 || column1 < column0) {
    records[index].cls = 4;
    return;
  }
  const auto lbl = static_cast<uint8_t>(label);

  struct Candidate {
    int cl, cc;
    long long mass;
    int across, along;
    bool present;
  };
  constexpr int kMaxCandidates = 8;
  Candidate cand[kMaxCandidates];
  int nc = 0;

  // 2./3. Slide the window over the box, keeping one candidate per finger track.
  const int lastLine = std::max(line0, line1 - side);
  const int lastColumn = std::max(column0, column1 - side);
  // Exclusive end of the columns read: inside the image and within the running sums.
  const int colEnd = std::min({lastColumn + side, lineLength, column0 + kWorkSide});
  long long colMass[kWorkSide], colLine[kWorkSide], colCol[kWorkSide];
  const int acrossLimit = 3 * side / 4;
  for (int x = line0; x <= lastLine; ++x) {
    const int xEnd = std::min(x + side - 1, line1);
    for (int y = column0; y < colEnd; ++y) {
      long long m = 0, ml = 0;
      for (int l = x; l <= xEnd; ++l) {
        const int v = work[l * lineLength + y];
        m += v;
        ml += static_cast<long long>(v) * l;
      }
      colMass[y - column0] = m;
      colLine[y - column0] = ml;
      colCol[y - column0] = m * y;
    }
    for (int y = column0; y <= lastColumn; ++y) {
      long long mass = 0, ml = 0, mc = 0;
      for (int yy = y; yy < std::min(y + side, colEnd); ++yy) {
        mass += colMass[yy - column0];
        ml += colLine[yy - column0];
        mc += colCol[yy - column0];
      }
      if (mass <= 0 || mass < q / 5) continue;
      Candidate nw{static_cast<int>(ml / mass), static_cast<int>(mc / mass), mass, 0, 0, true};
      nw.across = static_cast<int>(nw.cc * s - nw.cl * c);
      nw.along = static_cast<int>(nw.cl * s + nw.cc * c);
      int i = 0;
      while (i < nc && std::abs(nw.across - cand[i].across) > acrossLimit) ++i;
      if (i == nc) {
        if (nc < kMaxCandidates) cand[nc++] = nw;
        continue;
      }
      const Candidate& old = cand[i];
      if ((old.mass < q && nw.mass > old.mass) || (nw.mass > q && nw.along < old.along) ||
          (nw.along - old.along < 50 * nw.mass / old.mass - 50))
        cand[i] = nw;
    }
    if (nc == kMaxCandidates) break;
  }

  // 4. Nothing heavy enough.
  if (nc == 0) {
    records[index].cls = 4;
    return;
  }

  // 5./6. Pairwise pruning.
  for (int i = 0; i < nc; ++i) {
    for (int k = i + 1; k < nc && cand[i].present; ++k) {
      if (!cand[k].present) continue;
      if (mode != 2 && std::abs(cand[i].across - cand[k].across) >= acrossLimit) continue;
      const bool keepI = mode == 2 ? ((cand[i].mass > cand[k].mass && cand[k].mass < q) ||
                                      (cand[i].mass > q && cand[i].along < cand[k].along))
                                   : ((cand[i].mass > cand[k].mass && cand[k].mass < q) ||
                                      (cand[i].mass > q && cand[i].along > cand[k].along));
      if (keepI)
        cand[k].present = false;
      else
        cand[i].present = false;
    }
    if (mode == 2 && cand[i].present) {
      FingerSegment& r = records[index];
      r.centreLine = cand[i].cl;
      r.centreColumn = cand[i].cc;
      r.count = static_cast<int>(cand[i].mass / 255);
      r.cls = 0;
      return;
    }
  }
  if (mode == 2) return;  // the last candidate always survives; not reached

  // 7. Centre each surviving candidate inside the region.
  auto inside = [&](int x, int y) {
    return x >= line0 && x <= line1 && y >= column0 && y <= column1 && work[x * lineLength + y] == lbl;
  };
  // Steps from (px, py) in direction (dx, dy) from `start` up to side - 1; the first step that
  // leaves the region, or side when none does.
  auto walk = [&](int px, int py, double dx, double dy, int start) {
    for (int t = start; t < side; ++t)
      if (!inside(static_cast<int>(px + t * dx), static_cast<int>(py + t * dy))) return t;
    return side;
  };
  const int h = side / 2;
  const int w3 = 2 * side / 3;
  int kept = 0;
  int next = *recordCount;
  for (int i = 0; i < nc; ++i) {
    if (!cand[i].present) continue;
    int cx = cand[i].cl, cy = cand[i].cc;
    {  // along the finger
      const int a1 = walk(cx, cy, -s, -c, 10);
      const int a2 = walk(cx, cy, s, c, 10);
      const int shift = a1 + a2 < side ? (a2 - a1) / 2 : side / 2 - a1 - 4;
      cx = static_cast<int>(cx + shift * s);
      cy = static_cast<int>(cy + shift * c);
    }
    if (h >= 6) {  // across the finger
      int m1 = w3, m2 = w3;
      bool done = false;
      for (int t = 5; t < h && !done; t += 5) {
        for (int sign = -1; sign <= 1 && !done; sign += 2) {
          const int px = static_cast<int>(cx + sign * t * s);
          const int py = static_cast<int>(cy + sign * t * c);
          const int w1 = walk(px, py, -c, s, 5);
          const int w2 = walk(px, py, c, -s, 5);
          m1 = std::min(m1, w1);
          m2 = std::min(m2, w2);
          if (w1 + w2 < side) {
            const int shift = (w2 - w1) / 2;
            cx = static_cast<int>(cx + shift * c);
            cy = static_cast<int>(cy - shift * s);
            done = true;
          }
        }
      }
      if (!done) {
        int shift = 0;
        if (m1 + m2 < side)
          shift = (m2 - m1) / 2;
        else if (m1 < w3)
          shift = h - m1 - 4;
        else if (m2 < w3)
          shift = m2 - h + 4;
        cx = static_cast<int>(cx + shift * c);
        cy = static_cast<int>(cy - shift * s);
      }
    }
    // 8. Piece window, and a labelled centre nearby.
    const int wx0 = std::max(cx - h, line0), wx1 = std::min(cx + h, line1);
    const int wy0 = std::max(cy - h, column0), wy1 = std::min(cy + h, column1);
    if (!inside(cx, cy)) {
      bool hit = false;
      for (int r = 1; r <= 9 && !hit; ++r)
        for (int k = -r; k <= r - 1 && !hit; ++k) {
          const int pts[4][2] = {{cx + k, cy - r}, {cx + r, cy + k}, {cx - k, cy + r}, {cx - r, cy - k}};
          for (const auto& p : pts)
            if (inside(p[0], p[1])) {
              cx = p[0];
              cy = p[1];
              hit = true;
              break;
            }
        }
      if (!hit) continue;
    }
    // 9. Measure the piece and put it back.
    work[cx * lineLength + cy] = static_cast<uint8_t>(fillLabel);
    int minX = cx, maxX = cx, minY = cy, maxY = cy, count = 1;
    int64_t sumX = cx, sumY = cy;
    FillRegion(work, lineLength, cx, cy, wx0, wx1 + 1, wy0, wy1 + 1, label, fillLabel, &minX, &maxX, &minY,
               &maxY, &sumX, &sumY, &count);
    RelabelInWindow(work, lineLength, minX, maxX, minY, maxY, fillLabel, label);
    const int dx = maxX - minX, dy = maxY - minY;
    const int longer = std::max(dx, dy);
    const int aspect = (count > 100 && longer > 0) ? 10 * std::min(dx, dy) / longer : 0;
    if (!(count >= 150 && dx >= 10 && dy >= 10 && !(aspect < 4 && (dx < 15 || dy < 15)))) continue;
    FingerSegment* target;
    if (kept == 0) {
      target = &records[index];
    } else {
      // The table keeps kMaxSegments records; beyond that the overflow slot is reused.
      target = &records[next];
      *target = FingerSegment{};
      if (next < kMaxSegments) ++next;
    }
    target->centreLine = cx;
    target->centreColumn = cy;
    target->count = count;
    target->cls = 0;
    ++kept;
  }
  if (kept >= 2) *recordCount = std::min(next, kMaxSegments);
}
