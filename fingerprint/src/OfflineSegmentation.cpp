// Offline segmentation of finished flat images: hands, a single thumb and both thumbs.

#include "OfflineSegmentation.h"

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "BlockFrequency.h"

namespace {

__attribute__((format(printf, 3, 4))) int Fail(char* errText, size_t errTextSize, const char* format, ...) {
  if (errText != nullptr && errTextSize > 0) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(errText, errTextSize, format, args);
    va_end(args);
  }
  return -1;
}

bool Within(int v, int lo, int hi) { return v >= lo && v <= hi; }

// Fills the box words and the four corners of a record from an inclusive box.
void SetBox(FingerInfo& f, int left, int right, int top, int bottom) {
  f.Height = right - left;
  f.Width = bottom - top;
  const int32_t corners[8] = {left, top, left, bottom, right, top, right, bottom};
  std::memcpy(f.Corners, corners, sizeof corners);
}

// Grade of a four-finger hand from its angle and problem flags.
int HandGrade(int angle, int flags, int found, int expected) {
  int q = 15;
  if (angle < 40 || angle > 130) q = 14;
  if (angle < 10 || angle > 170) q -= 3;
  if (flags & SegExtraSegment) q -= 3;
  if (flags & SegFingersClose) q -= 2;
  if (flags & SegTipOrder) q -= 2;
  if (found < expected) q -= 5;
  return std::max(q, 1);
}

// Grade of two thumbs.
int ThumbGrade(int angle, int flags, int found, int expected) {
  int q = 15;
  if (angle < 80 || angle > 100) q = 14;
  if (angle < 70 || angle > 110) q -= 1;
  if (angle < 55 || angle > 125) q -= 4;
  if (flags & SegExtraSegment) q -= 3;
  if (found < expected) q -= 6;
  return std::max(q, 1);
}

struct MapSize {
  int lines = 0, length = 0;
  size_t cells() const { return static_cast<size_t>(lines) * length; }
};

// 1/8 map from the ridge measure: the image is reduced by 2, the block-frequency codes of that copy
// fill the first map (inverted, so ridge areas are dark), the copy reduced by 4 the second.
// `maps` holds two maps. Returns false when memory is short.
bool RidgeMap(const uint8_t* image, int width, int height, MapSize m, uint8_t* maps) {
  const int hw = width / 2, hh = height / 2;
  std::unique_ptr<uint8_t[]> half(new (std::nothrow) uint8_t[static_cast<size_t>(hw) * hh]);
  if (!half) return false;
  ReduceImageByBlocks(image, width, height, 0, 0, width, height, half.get(), 2);
  ReduceImageByBlocks(half.get(), hw, hh, 0, 0, hw, hh, maps + m.cells(), 4);
  AnalyseBlockFrequency(half.get(), hw, hh, 3, 150, 50, 1, maps);
  half.reset();
  for (size_t i = 0; i < m.cells(); ++i) maps[i] = static_cast<uint8_t>(255 - maps[i]);
  return true;
}

// Box of finger k on the 1/8 map: the dark region nearest its centre inside a window that ends half
// way to the neighbouring fingers. Box in full-resolution pixels, inclusive.
void FingerBoxOnMap(const uint8_t* map, MapSize m, int threshold, const int32_t triples[12], int k, int* left,
                    int* right, int* top, int* bottom) {
  const int cx = triples[3 * k], cy = triples[3 * k + 1];
  int y0 = std::max(0, cy - 30), y1 = std::min(m.length - 1, cy + 30);
  for (int j = 0; j < 4; ++j) {
    if (j == k || triples[3 * j + 2] < 0) continue;
    const int oy = triples[3 * j + 1];
    if (oy < cy) y0 = std::max(y0, (oy + cy) / 2 + 1);
    if (oy > cy) y1 = std::min(y1, (oy + cy) / 2 - 1);
  }
  const int x0 = std::max(0, cx - 60), x1 = std::min(m.lines - 1, cx + 60);
  *left = *right = 8 * cx + 4;
  *top = *bottom = 8 * cy + 4;
  if (x1 < x0 || y1 < y0) return;
  const int wl = x1 - x0 + 1, wh = y1 - y0 + 1;
  std::vector<uint8_t> window(static_cast<size_t>(wl) * wh);
  for (int x = x0; x <= x1; ++x)
    for (int y = y0; y <= y1; ++y)
      window[static_cast<size_t>(x - x0) * wh + (y - y0)] = map[static_cast<size_t>(x) * m.length + y] < threshold;
  // Seed: the dark pixel nearest the centre (rings out to 10 pixels).
  const int sx = std::clamp(cx, x0, x1) - x0, sy = std::clamp(cy, y0, y1) - y0;
  for (int r = 0; r <= 10; ++r)
    for (int i = -r; i <= r; ++i)
      for (int j = -r; j <= r; ++j) {
        if (std::max(std::abs(i), std::abs(j)) != r) continue;
        const int px = sx + i, py = sy + j;
        if (px < 0 || px >= wl || py < 0 || py >= wh || window[static_cast<size_t>(px) * wh + py] != 1) continue;
        RegionMeasure rm;
        FillLabelRegion(window.data(), wl, wh, px, py, 1, 2, &rm);
        *left = 8 * (x0 + rm.minLine);
        *right = 8 * (x0 + rm.maxLine) + 7;
        *top = 8 * (y0 + rm.minColumn);
        *bottom = 8 * (y0 + rm.maxColumn) + 7;
        return;
      }
}

}  // namespace

int HandSideRetryCrops(int lines, HandCrop crops[2]) {
  const int start = lines < 126 ? lines / 9 : lines - 112;
  crops[0] = HandCrop{start, lines - start};
  if (lines <= 137) return 1;
  crops[1] = HandCrop{(lines - 112) / 2, 112};
  return 2;
}

int KeepHandAttempt(const int* flags, int count) {
  // The first attempt free of the worst problems, relaxing the test step by step.
  for (int forbidden : {30, 23, 27, 29})
    for (int i = 0; i < count; ++i)
      if ((flags[i] & forbidden) == 0) return i;
  return 0;
}

HandSideChoice DecideHandSide(int r13, int a13, int r14, int a14) {
  auto pick = [&](int side, int reported) {
    return HandSideChoice{side, reported, side == kSlapLeftHand ? r14 : r13};
  };
  if (r14 == 0 && a13 > 100) return pick(14, 14);
  if (r13 == 0 && r14 == 0) return pick(a13 <= 90 ? 13 : 14, 0);
  if (r13 == 0) return pick(13, 13);
  if (r14 == 0) return pick(14, 14);
  if (r13 == 1) return pick(13, 13);
  if (r14 == 1) return pick(14, 14);
  if ((r13 & 250) == 0) return pick(13, 13);
  if ((r14 & 250) == 0) return pick(14, 14);
  // No side: the right-hand reading is kept with its numbers, the hand reported as unknown.
  if (!(r13 & 8) || !(r14 & 8)) return pick(13, 0);
  if ((r14 & 2) && !(r13 & 2)) return pick(13, 13);
  if ((r13 & 2) && !(r14 & 2)) return pick(14, 14);
  if (a13 < 80) return pick(13, (r13 & 2) ? 0 : 13);
  if (a14 > 100) return pick(14, (r14 & 2) ? 0 : 14);
  return pick(a13 <= 90 ? 13 : 14, 0);
}

int SegmentHandSide(const uint16_t sizePair[2], const uint8_t* map, int side, int mask, int expectedSize,
                    int threshold, int live, int secondSegments, int32_t out[12], char* errText,
                    size_t errTextSize) {
  if (map == nullptr || sizePair == nullptr)
    return Fail(errText, errTextSize, "Err: Input image or header buffer is NULL");
  if (out == nullptr) return Fail(errText, errTextSize, "Err: CentPtr is NULL");
  if (side != kSlapRightHand && side != kSlapLeftHand) return Fail(errText, errTextSize, "Err: Finger %d", side);
  const int rows = sizePair[0], cols = sizePair[1];
  if (!Within(cols, 87, 312) || !Within(rows, 87, 312))
    return Fail(errText, errTextSize, "Err: Input image size (%dx%d); Finger %d", cols, rows, side);
  const int expected = std::popcount(static_cast<unsigned>(mask & 15));
  const int fingerMask = (mask & 15) | (live ? 16 : 0) | (secondSegments ? 0 : 32);
  struct Attempt {
    int flags = 63;
    int32_t xs[8] = {}, ys[8] = {}, ds[8] = {};
  };
  auto run = [&](int x0, int lines) {
    Attempt a;
    a.xs[0] = lines, a.xs[1] = x0, a.xs[2] = expected, a.xs[3] = 10;
    a.ys[0] = rows, a.ys[1] = 0, a.ys[2] = fingerMask;
    a.ds[0] = std::min(expectedSize, 50), a.ds[1] = side, a.ds[2] = threshold;
    const int r = SegmentFingerBlocks(sizePair, map, a.xs, a.ys, a.ds);
    // No usable region counts as every problem at once, so any other attempt is preferred.
    a.flags = r <= 0 && r >= -31 ? -r : 63;
    if (a.flags == 63) std::fill(a.ds, a.ds + 4, -1);
    return a;
  };
  std::vector<Attempt> attempts;
  attempts.push_back(run(0, cols));
  if (attempts[0].flags != 0 && !live) {
    HandCrop crops[2];
    const int n = HandSideRetryCrops(cols, crops);
    for (int i = 0; i < n; ++i) attempts.push_back(run(crops[i].x0, crops[i].lines));
  }
  int flags[3] = {};
  for (size_t i = 0; i < attempts.size(); ++i) flags[i] = attempts[i].flags;
  const Attempt* kept = &attempts[static_cast<size_t>(KeepHandAttempt(flags, static_cast<int>(attempts.size())))];
  for (int k = 0; k < 4; ++k) {
    out[3 * k] = kept->xs[k];
    out[3 * k + 1] = kept->ys[k];
    out[3 * k + 2] = kept->ds[k];
  }
  return kept->flags;
}

int SegmentHand(const uint8_t* image, int width, int height, int live, int hand, int amputation, int mode,
                HandOutput* out, FlatSegmentParams* params, char* errText, size_t errTextSize) {
  if (image == nullptr) return Fail(errText, errTextSize, "Err: Input image buffer is NULL");
  if (out == nullptr) return Fail(errText, errTextSize, "Err: OutInfo is NULL");
  if (!Within(width, 700, 2500) || !Within(height, 700, 2500))
    return Fail(errText, errTextSize, "Err: Input image size (%dx%d); Hand %d", width, height, hand);
  if (hand == kFlatHandUnknown && (amputation & 15) != 15)
    return Fail(errText, errTextSize, "Err: amputation (%d) set for unknown hand", amputation);
  const MapSize m{width / 8, height / 8};
  std::unique_ptr<uint8_t[]> maps(new (std::nothrow) uint8_t[2 * m.cells()]);
  if (!maps) return Fail(errText, errTextSize, "Err: Allocate memory failed");
  int threshold = 200;
  if (mode == 1) {
    ReduceImageByBlocks(image, width, height, 0, 0, width, height, maps.get(), 8);
    threshold = BlockHistogramThreshold(maps.get(), m.length, m.lines / 10, 0, m.lines - m.lines / 10, m.length);
  } else if (!RidgeMap(image, width, height, m, maps.get())) {
    return Fail(errText, errTextSize, "Err: Allocate memory failed");
  }
  const uint16_t sizePair[2] = {static_cast<uint16_t>(m.length), static_cast<uint16_t>(m.lines)};
  int32_t t13[12] = {}, t14[12] = {};
  auto trySide = [&](int side, int32_t* t) {
    return SegmentHandSide(sizePair, maps.get(), side, amputation, 50, threshold, live, 1, t, errText, errTextSize);
  };
  int side = hand, reported = hand;
  // A known hand is segmented on its own side only.
  const int r13 = trySide(hand == kSlapLeftHand ? kSlapLeftHand : kSlapRightHand, t13);
  if (r13 < 0) return r13;
  const int a13 = t13[2];
  int flags = r13;
  if (hand == kFlatHandUnknown && r13 == 0 && a13 < 80) {
    side = reported = kSlapRightHand;
  } else if (hand == kFlatHandUnknown) {
    const int r14 = trySide(kSlapLeftHand, t14);
    if (r14 < 0) return r14;
    const HandSideChoice c = DecideHandSide(r13, a13, r14, t14[2]);
    side = c.side;
    reported = c.reported;
    flags = c.flags;
    if (side == kSlapLeftHand) std::memcpy(t13, t14, sizeof t13);
  }
  *out = HandOutput{};
  out->Hand = reported;
  out->Side = side;
  out->Flags = flags;
  out->Threshold = threshold;
  int found = 0;
  for (int k = 0; k < 4; ++k) found += t13[3 * k + 2] >= 0;
  const int expected = std::popcount(static_cast<unsigned>(amputation & 15));
  for (int k = 0; k < 4; ++k) {
    if (t13[3 * k + 2] < 0) continue;
    HandFinger& f = out->Fingers[k];
    f.Present = 1;
    f.X = 8 * t13[3 * k] + 4;
    f.Y = 8 * t13[3 * k + 1] + 4;
    f.Angle = t13[3 * k + 2];
    f.Grade = HandGrade(f.Angle, flags, found, expected);
    f.Finger = (side == kSlapLeftHand ? 7 : 2) + k;
    FingerBoxOnMap(maps.get(), m, threshold, t13, k, &f.Left, &f.Right, &f.Top, &f.Bottom);
  }
  if (params != nullptr) {
    params->Hand = reported;
    params->Side = side;
    params->Flags = flags;
    params->Threshold = threshold;
    params->Mode = mode;
  }
  return found;
}

int FlatSegmentCent15(const uint8_t* image, int width, int height, int live, int position, int mask,
                      FingerInfo* fingers, int* outFlag, char* errText, size_t errTextSize) {
  if (image == nullptr) return Fail(errText, errTextSize, "Err: Input image buffer is NULL");
  if (fingers == nullptr) return Fail(errText, errTextSize, "Err: FingerInfo is NULL");
  if (position != kSlapTwoThumbs)
    return Fail(errText, errTextSize, "Err: FlatSegmentCent15 finger position %d", position);
  if (!Within(height, 700, 2000) || !Within(width, 400, 2500))
    return Fail(errText, errTextSize, "Err: Input image size (%dx%d)", width, height);
  if (!Within(mask, 1, 3)) return Fail(errText, errTextSize, "Err: FingerMask %d", mask);
  const int expected = mask == 3 ? 2 : 1;
  const MapSize m{width / 8, height / 8};
  std::unique_ptr<uint8_t[]> maps(new (std::nothrow) uint8_t[2 * m.cells()]);
  if (!maps || !RidgeMap(image, width, height, m, maps.get()))
    return Fail(errText, errTextSize, "Err: Allocate memory failed");
  const uint16_t sizePair[2] = {static_cast<uint16_t>(m.length), static_cast<uint16_t>(m.lines)};
  int32_t xs[8] = {m.lines, 0, expected, 10}, ys[8] = {m.length, 0, mask | (live ? 16 : 0)};
  int32_t ds[8] = {62, kSlapTwoThumbs, 200};
  const int r = SegmentFingerBlocks(sizePair, maps.get(), xs, ys, ds);
  maps.reset();
  int found = 0, last = -1;
  if (r <= 0 && r >= -31)
    for (int j = 0; j < 2; ++j)
      if (ds[j] >= 0) ++found, last = j;
  auto centreRecord = [&](FingerInfo& f, int finger) {
    f = FingerInfo{};
    f.X = width / 2;
    f.Y = height / 2;
    f.Measure = 90;
    f.Finger = finger;
    SetBox(f, f.X, f.X, f.Y, f.Y);
  };
  if (found == 0) {
    centreRecord(fingers[0], 0);
    centreRecord(fingers[1], 0);
    return 0;
  }
  const int flags = -r;
  if ((flags & SegExtraSegment) && outFlag != nullptr) *outFlag = 1;
  const int q = ThumbGrade(ds[last], flags, found, expected);
  std::vector<uint8_t> crop(600 * 500);
  for (int j = 0; j < 2; ++j) {
    const int finger = j == 0 ? 1 : 6;
    FingerInfo& f = fingers[j];
    if (ds[j] < 0) {
      centreRecord(f, finger);
      continue;
    }
    const int cx = 8 * xs[j] + 4, cy = 8 * ys[j] + 4;
    GetImageByAngle(image, width, height, cx, cy, 90, crop.data(), 600, 500);
    int left = 0, right = 0, top = 0, bottom = 0;
    const int located = LocateFingerArea(crop.data(), 600, 500, live + 2, &left, &right, &top, &bottom);
    if (located < 0) return located;
    f = FingerInfo{};
    if (located == 0) {
      left += cx - 300, right += cx - 300;
      top += cy - 250, bottom += cy - 250;
    } else {
      // No box in the crop: the thumb keeps its block centre.
      left = right = cx;
      top = bottom = cy;
    }
    f.X = (left + right) / 2;
    f.Y = (top + bottom) / 2;
    f.Measure = 90;
    f.Qty = q;
    f.Finger = finger;
    SetBox(f, left, right, top, bottom);
  }
  if (found == 1 && expected == 2 && ds[0] >= 0 && fingers[0].Y < height / 2) {
    std::swap(fingers[0], fingers[1]);
    fingers[0].Finger = 1;
    fingers[1].Finger = 6;
  }
  return found;
}

int SegmentFlatImage(const uint8_t* image, int width, int height, int position, int x0, int y0, int cropWidth,
                     int cropHeight, int live, int mask, FingerInfo* fingers, FlatSegmentParams* params,
                     char* errText, size_t errTextSize) {
  if (params != nullptr) *params = FlatSegmentParams{};
  if (image == nullptr) return Fail(errText, errTextSize, "Err: Input image buffer is NULL");
  if (x0 < 0 || y0 < 0 || static_cast<long long>(x0) + cropWidth > width ||
      static_cast<long long>(y0) + cropHeight > height)
    return Fail(errText, errTextSize, "Err: Input image Offset %d %d, area size %d %d, Image size %d %d", x0, y0,
                cropWidth, cropHeight, width, height);
  if (fingers == nullptr) return Fail(errText, errTextSize, "Err: CentPtr is NULL");
  if (live != 0 && live != 1) return Fail(errText, errTextSize, "Err: IsImpLive = %d", live);
  const bool hand = position == kFlatHandUnknown || position == kSlapRightHand || position == kSlapLeftHand;
  if (position > 15 || (!hand && position < kFlatRightThumb))
    return Fail(errText, errTextSize, "Err: Finger Number %d", position);
  if ((hand && !Within(mask, 1, 15)) || (position == kSlapTwoThumbs && !Within(mask, 1, 3)))
    return Fail(errText, errTextSize, "Err: FingerMask %d", mask);
  bool sizeOk;
  if (hand) sizeOk = Within(cropWidth, 700, 2500) && Within(cropHeight, 700, 2500);
  else if (position == kSlapTwoThumbs) sizeOk = Within(cropWidth, 400, 2500) && Within(cropHeight, 700, 2000);
  else sizeOk = Within(cropWidth, 300, 2500) && Within(cropHeight, 200, 2000);
  if (!sizeOk)
    return Fail(errText, errTextSize, "Err: Input image size (%dx%d); Finger %d", cropWidth, cropHeight, position);
  // A crop that is not the whole image is copied into a buffer of its own.
  std::unique_ptr<uint8_t[]> copy;
  const uint8_t* crop = image;
  if (x0 != 0 || y0 != 0 || cropWidth != width || cropHeight != height) {
    copy.reset(new (std::nothrow) uint8_t[static_cast<size_t>(cropWidth) * cropHeight]);
    if (!copy) return Fail(errText, errTextSize, "Err: allocate memory failed");
    for (int x = 0; x < cropWidth; ++x)
      std::memcpy(copy.get() + static_cast<size_t>(x) * cropHeight,
                  image + static_cast<size_t>(x0 + x) * height + y0, cropHeight);
    crop = copy.get();
  }
  if (hand) {
    FlatSegmentParams first{}, second{};
    HandOutput out1, out2;
    const int n1 = SegmentHand(crop, cropWidth, cropHeight, live, position, mask, 1, &out1, &first, errText,
                               errTextSize);
    if (n1 < 0) return n1;
    auto firstGrade = [](const HandOutput& o) {
      for (const HandFinger& f : o.Fingers)
        if (f.Present) return f.Grade;
      return 0;
    };
    const HandOutput* kept = &out1;
    FlatSegmentParams* keptParams = &first;
    int found = n1;
    if (n1 == 0 || firstGrade(out1) < 14) {
      const int n2 = SegmentHand(crop, cropWidth, cropHeight, live, position, mask, 0, &out2, &second, errText,
                                 errTextSize);
      if (n2 < 0) return n2;
      if (firstGrade(out2) >= firstGrade(out1)) {
        kept = &out2;
        keptParams = &second;
        found = n2;
      }
    }
    if (params != nullptr) *params = *keptParams;
    for (int k = 0; k < 4; ++k) {
      const HandFinger& h = kept->Fingers[k];
      FingerInfo& f = fingers[k];
      f = FingerInfo{};
      if (!h.Present) continue;
      // The centre of the finger's box, as on the thumb paths: on touching fingers the segment
      // centre sits towards the tip, the box covers the whole fingertip.
      f.X = (h.Left + h.Right) / 2 + x0;
      f.Y = (h.Top + h.Bottom) / 2 + y0;
      f.Measure = h.Angle;
      f.Qty = h.Grade;
      f.Finger = h.Finger;
      SetBox(f, h.Left + x0, h.Right + x0, h.Top + y0, h.Bottom + y0);
    }
    return found;
  }
  if (position == kSlapTwoThumbs) {
    int extra = 0;
    const int n = FlatSegmentCent15(crop, cropWidth, cropHeight, live, position, mask, fingers, &extra, errText,
                                    errTextSize);
    if (n < 0) return n;
    for (int j = 0; j < 2; ++j) {
      FingerInfo& f = fingers[j];
      f.X += x0, f.Y += y0;
      for (int c = 0; c < 8; c += 2) f.Corners[c] += x0, f.Corners[c + 1] += y0;
    }
    if (params != nullptr) params->Flags = extra ? SegExtraSegment : 0;
    return n;
  }
  // A single thumb. The locate mode keeps the crop unchanged (bit 1 set), so the caller's image is
  // only read.
  int left = 0, right = 0, top = 0, bottom = 0;
  const int located = LocateFingerArea(const_cast<uint8_t*>(crop), cropWidth, cropHeight, live + 2, &left, &right,
                                       &top, &bottom);
  if (located < 0) return Fail(errText, errTextSize, "Err: Input image size (%dx%d); Finger %d", cropWidth,
                               cropHeight, position);
  int dx = right - left, dy = bottom - top;
  if (dx >= 950) {
    right = left + 950;
    dx = 950;
  }
  if (dy >= 950) {
    const int middle = (top + bottom) / 2;
    top = middle - 475;
    bottom = middle + 475;
    dy = 950;
  }
  int q;
  if (dx < 50 || dy < 50) q = 0;
  else if (dx < 300 || dy < 200) q = 1;
  else if (dx < 600 && dy < 450) q = 15;
  else if (dx < 950 && dy < 550) q = 12;
  else if (dx < 950 && dy < 950) q = 9;
  else if (dx >= 950 && dy < 950) q = 6;
  else q = 3;
  FingerInfo& f = fingers[0];
  f = FingerInfo{};
  f.X = (left + right) / 2 + x0;
  f.Y = (top + bottom) / 2 + y0;
  f.Measure = 90;
  f.Qty = q;
  f.Finger = position == kFlatRightThumb ? 1 : 6;
  SetBox(f, left + x0, right + x0, top + y0, bottom + y0);
  return q > 0 ? 1 : 0;
}

int SegmentFingerImage(const uint8_t* image, int width, int height, int position, int x0, int y0, int cropWidth,
                       int cropHeight, int live, int mask, FingerInfo* fingers, char* errText,
                       size_t errTextSize) {
  FlatSegmentParams params;
  return SegmentFlatImage(image, width, height, position, x0, y0, cropWidth, cropHeight, live, mask, fingers,
                          &params, errText, errTextSize);
}

int ExtractFingerImages(const uint8_t* image, int width, int height, int outWidth, int outHeight, int position,
                        int live, int rotate, int locate, uint8_t* const* out, char* errText, size_t errTextSize) {
  int mask;
  if (position == kSlapRightHand || position == kSlapLeftHand) mask = 15;
  else if (position == kSlapTwoThumbs) mask = 3;
  else return Fail(errText, errTextSize, "Err: Finger %d", position);  // 10..12 have no mask of their own
  if (!Within(outWidth, 16, 2500) || !Within(outHeight, 16, 2500))
    return Fail(errText, errTextSize, "Err: Output image size (%dx%d)", outWidth, outHeight);
  if (out == nullptr) return Fail(errText, errTextSize, "Err: *OutputBuff %d is NULL; Finger %d", 0, position);
  FingerInfo fingers[4] = {};
  const int n = SegmentFingerImage(image, width, height, position, 0, 0, width, height, live, mask, fingers,
                                   errText, errTextSize);
  if (n <= 0) return n;
  int index = 0;
  for (FingerInfo& f : fingers) {
    if (f.Qty <= 0) continue;
    if (out[index] == nullptr)
      return Fail(errText, errTextSize, "Err: *OutputBuff %d is NULL; Finger %d", index, position);
    if (!rotate) f.Measure = 90;
    GetImageByAngle(image, width, height, f.X, f.Y, f.Measure, out[index], outWidth, outHeight);
    if (locate) {
      int l, r, t, b;
      LocateFingerArea(out[index], outWidth, outHeight, live, &l, &r, &t, &b);
    }
    ++index;
  }
  return n;
}
