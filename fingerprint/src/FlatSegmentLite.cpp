// Live slap segmentation of one preview frame: argument checks, presence test, reduction,
// segmentation of the reduced copy and the per-finger result records.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "SlapSegmentation.h"

namespace {

// Writes one error line into the caller's buffer, never beyond its size.
__attribute__((format(printf, 3, 4))) int Fail(char* errText, size_t errTextSize, const char* format, ...) {
  if (errText != nullptr && errTextSize > 0) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(errText, errTextSize, format, args);
    va_end(args);
  }
  return -1;
}

int IsoFingerNumber(int position, int slot) {
  switch (position) {
    case kSlapRightHand: return 2 + slot;
    case kSlapLeftHand: return 7 + slot;
    default: return slot == 0 ? 1 : 6;
  }
}

}  // namespace

int SlapQualityGrade(int position, int handAngle, int problems, int found, int expected, SegmentParams* params) {
  const int angle = handAngle;
  int q = 15;
  if (position == kSlapTwoThumbs) {
    if (angle < 80 || angle > 100) q = 14;
    if (angle < 70 || angle > 110) q -= 1;
    if (angle < 55 || angle > 125) q -= 4;
    if (problems & SegExtraSegment) {
      q -= 3;
      params->Stage = 1;
    }
    if (found < expected) q -= 6;
  } else {
    if (angle < 40 || angle > 130) q = 14;
    if (angle < 10 || angle > 170) q -= 3;
    if (problems & SegExtraSegment) {
      q -= 3;
      params->Stage = 1;
    }
    if (problems & SegFingersClose) {
      q -= 2;
      params->DarkThreshold = 1;
    }
    if (problems & SegTipOrder) {
      q -= 2;
      params->MinDarkPercent = 1;
    }
    if (found < expected) q -= 5;
  }
  return q < 1 ? 1 : q;
}

int FlatSegmentLite(const uint8_t* image, int lineCount, int lineLength, int ppi, int fingerPosition,
                    int fingerMask, FingerInfo* fingers, SegmentParams* params, char* errText,
                    size_t errTextSize) {
  if (image == nullptr) return Fail(errText, errTextSize, "Err: Input image buffer is NULL");
  if (ppi < 50 || (ppi > 500 && ppi != 1000)) return Fail(errText, errTextSize, "Err: Resolution %d", ppi);
  const int factor = static_cast<int>(ppi * 0.016 + 0.5);
  const int reducedLines = lineCount / factor;
  const int reducedLength = lineLength / factor;
  if (reducedLines < 30 || reducedLines > 375 || reducedLength < 30 || reducedLength > 375)
    return Fail(errText, errTextSize, "Err: Image size %dx%dx%d", lineCount, lineLength, ppi);
  int expected = 0;
  for (int k = 0; k < 4; ++k) expected += (fingerMask >> k) & 1;
  if (expected < 1) return Fail(errText, errTextSize, "Err: FingerMask %1x", static_cast<unsigned>(fingerMask));
  if (fingerMask > 3 && fingerPosition == kSlapTwoThumbs)
    return Fail(errText, errTextSize, "Err: Finger %d FingerMask %1x", fingerPosition,
                static_cast<unsigned>(fingerMask));
  if (fingerPosition != kSlapRightHand && fingerPosition != kSlapLeftHand && fingerPosition != kSlapTwoThumbs)
    return Fail(errText, errTextSize, "Err: Finger %d", fingerPosition);
  if (params == nullptr) return Fail(errText, errTextSize, "Err: SegmentParams is NULL");
  const int stage = params->Stage;
  if (stage < 0 || stage > 4) return Fail(errText, errTextSize, "Err: Stage %d", stage);
  if (stage >= 1 && fingers == nullptr) return Fail(errText, errTextSize, "Err: CentPtr is NULL");

  const int dark = (params->DarkThreshold >= 10 && params->DarkThreshold <= 250) ? params->DarkThreshold : 180;
  const int minPercent =
      (params->MinDarkPercent >= 1 && params->MinDarkPercent <= 50) ? params->MinDarkPercent : expected;
  const int samples = (params->SampleLines >= 3 && params->SampleLines <= 15) ? params->SampleLines : 3;

  // Presence test: dark pixels on a few sample lines over the middle three quarters.
  long long darkCount = 0;
  const int step = lineCount / (samples + 1);
  const int firstColumn = lineLength / 8, endColumn = 7 * lineLength / 8;
  for (int x = step; step > 0 && x < lineCount - samples - 1; x += step) {
    const uint8_t* line = image + static_cast<size_t>(x) * lineLength;
    for (int y = firstColumn; y < endColumn; ++y) darkCount += line[y] <= dark;
  }
  params->Presence = 0;
  params->DarkPercent = static_cast<int32_t>(((darkCount * 400) / lineLength / samples) / 3);
  if (darkCount * 400 < 3LL * samples * minPercent * lineLength) return 0;
  if (stage == 0) return 1;

  // Reduced copy, about 0.016 inch per pixel.
  std::unique_ptr<uint8_t[]> reduced(new (std::nothrow) uint8_t[static_cast<size_t>(reducedLines) * reducedLength]);
  if (!reduced) return Fail(errText, errTextSize, "Err: Allocate memory failed");
  // Below 94 ppi the factor is 1, which the block reduction refuses: there is no reduced copy to
  // segment, so the resolution is unusable beyond the presence test.
  if (ReduceImageByBlocks(image, lineCount, lineLength, 0, 0, lineCount, lineLength, reduced.get(), factor) != 0)
    return Fail(errText, errTextSize, "Err: Resolution %d", ppi);
  params->Threshold = BlockHistogramThreshold(reduced.get(), reducedLength, reducedLines / 4, reducedLength / 8,
                                              3 * reducedLines / 4, 7 * reducedLength / 8);

  uint16_t sizePair[2] = {static_cast<uint16_t>(reducedLength), static_cast<uint16_t>(reducedLines)};
  int32_t xs[8] = {}, ys[8] = {}, ds[8] = {};
  xs[0] = reducedLines;
  xs[1] = 0;
  xs[2] = expected;
  xs[3] = stage + 10;
  ys[0] = reducedLength;
  ys[1] = 0;
  ys[2] = fingerMask | 16;
  ds[0] = fingerPosition == kSlapTwoThumbs ? 62 : 50;
  ds[1] = fingerPosition;
  ds[2] = params->Threshold;
  const int r = SegmentFingerBlocks(sizePair, reduced.get(), xs, ys, ds);

  if (r < -31) return 0;
  if (r > 0) {
    // Early return: the raw regions, in mask order, with their areas.
    params->Presence = 1;
    for (int k = 0, i = 0; k < 4 && i < r; ++k) {
      fingers[k] = FingerInfo{};
      if (!((fingerMask >> k) & 1)) continue;
      fingers[k].X = xs[i] * factor;
      fingers[k].Y = ys[i] * factor;
      fingers[k].Measure = ds[i] * factor * factor;
      fingers[k].Finger = IsoFingerNumber(fingerPosition, k);
      ++i;
    }
    return r;
  }

  params->Presence = stage;
  const int slots = fingerPosition == kSlapTwoThumbs ? 2 : 4;
  int found = 0, last = -1;
  for (int j = 0; j < slots; ++j)
    if (ds[j] >= 0) {
      ++found;
      last = j;
    }
  if (found == 0) return 0;
  const int q = SlapQualityGrade(fingerPosition, ds[last], -r, found, expected, params);

  for (int j = 0; j < slots; ++j) {
    fingers[j] = FingerInfo{};
    if (ds[j] < 0) continue;
    fingers[j].X = xs[j] * factor;
    fingers[j].Y = ys[j] * factor;
    fingers[j].Measure = ds[j];
    fingers[j].Qty = q;
    fingers[j].Finger = IsoFingerNumber(fingerPosition, j);
    if (stage > 2) {
      fingers[j].Height = ys[4 + j];
      fingers[j].Width = xs[4 + j] * factor * factor;
    }
  }
  return found;
}
