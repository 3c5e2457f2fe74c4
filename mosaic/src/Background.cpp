// Background removal: the frame becomes its darkness relative to a stored empty-platen image, the
// stored image follows slow changes while no finger is present, and a new background is checked
// for a finger left on the platen.

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "LiveScanAlgInternal.h"

namespace LiveScanAlg {

namespace {

constexpr int kUpdateVarThreshold = 180;   // finger test used before a background update
constexpr int kBrighterStep = 15;          // a frame this much brighter replaces the background
constexpr int64_t kUpdateWeight = 8388607; // weight of the old background in the slow update
constexpr int kSubtractOffset = 12;
constexpr int kMaskPhases = 4;             // the phased mask is rebuilt every fourth frame

bool ValidImage(int height, int width, const unsigned char* image) {
  return height > 0 && width > 0 && !IsMissing(image);
}

void Subtract(int height, int width, const unsigned char* background, unsigned char* image,
              int offset) {
  if (!ValidImage(height, width, image) || IsMissing(background)) return;
  const std::size_t n = PixelCount(height, width);
  if (n > 0x7FFFFFFFu) return;
  SubtractBackgroundLine(static_cast<int>(n), background, image, offset);
}

void Update(int height, int width, unsigned char* frame, unsigned char* background) {
  if (!ValidImage(height, width, frame) || IsMissing(background)) return;
  UpdateBackgroundFromFrame(height, width, frame, background);
}

void MaskAndClean(int height, int width, unsigned char* image, bool rebuild) {
  if (rebuild) GenerateMask(height, width, image);
  CleanResidule(height, width, image);
}

}  // namespace

void SubtractBackgroundLine(int count, const unsigned char* background, unsigned char* image,
                            int offset) {
  if (count < 1 || IsMissing(background) || IsMissing(image)) return;
  for (int i = 0; i < count; ++i) {
    const int t = image[i] + offset;
    image[i] = t < background[i] ? static_cast<unsigned char>(t - background[i] + 255) : 255;
  }
}

void SubBackground(int count, unsigned char* background, unsigned char* image) {
  SubtractBackgroundLine(count, background, image, 0);
}

void SubBackground2(const unsigned char* background, unsigned char* image, int height, int width) {
  if (height < 1 || width < 1 || IsMissing(background) || IsMissing(image)) return;
  StitchParameterType* p = GetParameter();
  if (!p || IsMissing(p->StretchTable)) return;
  const unsigned char* table = p->StretchTable;
  const std::size_t n = PixelCount(height, width);
  for (std::size_t i = 0; i < n; ++i) {
    image[i] = table[static_cast<std::size_t>(background[i]) * 256 + image[i]];
  }
}

int UpdateBackgroundFromFrame(int height, int width, unsigned char* frame,
                              unsigned char* background) {
  int fingerOn = 0;
  float variance = 0.0f;
  const int code = IsFingerON(height, width, frame, kUpdateVarThreshold, &fingerOn, &variance);
  const bool measured = code == LSA_PASSED || code >= LSA_TOO_WHITE;
  if (fingerOn || !measured || IsMissing(background)) return 1;
  const std::size_t n = PixelCount(height, width);
  for (std::size_t i = 0; i < n; ++i) {
    const int64_t f = frame[i];
    const int64_t b = background[i];
    if (f >= b + kBrighterStep) {
      background[i] = static_cast<unsigned char>(f);
    } else {
      const int64_t w = f / 150;  // 1 for a bright frame pixel, else 0
      background[i] = static_cast<unsigned char>((b * kUpdateWeight + f * w) / (kUpdateWeight + w));
    }
  }
  return 1;
}

int CalibrateBackgroundSimple(int mode, int height, int width, unsigned char* background,
                              unsigned char* image) {
  StitchParameterType* p = GetParameter();
  if (!p) return LSA_PASSED;
  switch (mode) {
    case 5:
      Update(height, width, image, background);
      Subtract(height, width, background, image, 0);
      break;
    case 0:
      Subtract(height, width, background, image, kSubtractOffset);
      break;
    case 1:
      if (p->BackgroundUpdateDisabled == 0) Update(height, width, image, background);
      Subtract(height, width, background, image, 0);
      break;
    case 2:
      Subtract(height, width, background, image, 0);
      p->MaskRegionFilter = 0;
      MaskAndClean(height, width, image, true);
      p->MaskRegionFilter = 1;
      break;
    case 3:
      MaskAndClean(height, width, image, true);
      break;
    case 4:
      Subtract(height, width, background, image, kSubtractOffset);
      MaskAndClean(height, width, image, true);
      break;
    default:
      break;
  }
  ++p->BackgroundCallCount;
  return LSA_PASSED;
}

int CalibrateBackgroundKestrelB(int* phase, int mode, int height, int width,
                                unsigned char* background, unsigned char* image) {
  StitchParameterType* p = GetParameter();
  if (!p) return LSA_PASSED;
  int ownPhase = 0;
  int* ph = IsMissing(phase) ? &ownPhase : phase;
  const auto phasedMask = [&] {
    MaskAndClean(height, width, image, *ph == 0);
    *ph += 1;
    if (*ph >= kMaskPhases || *ph < 0) *ph = 0;
  };
  if (mode < 0) {
    Subtract(height, width, background, image, 0);
  } else if (mode == 0) {
    Subtract(height, width, background, image, 0);
  } else if (mode == 5) {
    Update(height, width, image, background);
    Subtract(height, width, background, image, 0);
  } else if (mode == 1) {
    if (p->BackgroundUpdateDisabled == 0) Update(height, width, image, background);
    Subtract(height, width, background, image, 0);
  } else if (mode == 2) {
    Subtract(height, width, background, image, 0);
    p->MaskRegionFilter = 0;
    phasedMask();
    p->MaskRegionFilter = 1;
  } else {
    phasedMask();
  }
  ++p->BackgroundCallCount;
  return LSA_PASSED;
}

int GetPloverCFinalImage(int height, int width, unsigned char* background, unsigned char* mask,
                         int outHeight, int outWidth, unsigned char* out) {
  if (height < 1 || width < 1 || IsMissing(mask)) return LSA_PASSED;
  const std::size_t w = static_cast<std::size_t>(width);
  // Thin the mask: a foreground pixel stays only when the pixels two steps away in the four
  // directions are foreground too. Every pixel is judged by the mask as it came in; judged in
  // place, each cleared pixel would clear the next one and the whole region would go.
  std::vector<unsigned char> original;
  try {
    original.assign(mask, mask + PixelCount(height, width));
  } catch (const std::bad_alloc&) {
    return LSA_PASSED;
  }
  for (int r = 2; r <= height - 3; ++r) {
    const unsigned char* row = original.data() + static_cast<std::size_t>(r) * w;
    const unsigned char* up = row - 2 * w;
    const unsigned char* down = row + 2 * w;
    unsigned char* target = mask + static_cast<std::size_t>(r) * w;
    for (int c = 2; c <= width - 3; ++c) {
      if (row[c] != 255) continue;
      if (!(row[c - 2] > 254 && row[c + 2] > 254 && up[c] > 254 && down[c] > 254)) target[c] = 0;
    }
  }
  StitchParameterType* p = GetParameter();
  if (!p || p->BackgroundUpdateDisabled != 0 || outHeight < 1 || outWidth < 1) return LSA_PASSED;
  if (IsMissing(background) || IsMissing(out)) return LSA_PASSED;
  for (int r = 0; r < outHeight; ++r) {
    const int sr = std::min((r + 26) >> 1, height - 1);
    unsigned char* o = out + static_cast<std::size_t>(r) * static_cast<std::size_t>(outWidth);
    for (int c = 0; c < outWidth; ++c) {
      // Clamped on both sides: a wide output must not read past the source row.
      const int sc = std::clamp((c - 34) / 3, 0, width - 1);
      const std::size_t s = static_cast<std::size_t>(sr) * w + static_cast<std::size_t>(sc);
      if (mask[s] < 255) {
        o[c] = static_cast<unsigned char>(std::min(o[c] - background[s] + 255, 255));
      } else {
        o[c] = 255;
      }
    }
  }
  return LSA_PASSED;
}

int IsNewBackgroundClean(int height, int width, unsigned char* standardBackground,
                         unsigned char* newBackground) {
  if (const int bad = CheckImageArguments(height, width, standardBackground)) return bad;
  if (IsMissing(newBackground)) return LSA_INVALID_INPUT4;
  StitchParameterType* p = GetParameter();
  if (!p) return LSA_NO_MEMORY;
  const int noise = p->NoiseLevelThreshold;
  const std::size_t n = PixelCount(height, width);
  long long darker = 0;
  for (std::size_t i = 0; i < n; i += 4) {
    if (newBackground[i] + noise - standardBackground[i] < 0) ++darker;
  }
  return 4 * darker > p->DirtySensorWindow1Threshold ? LSA_FINGER_ON_SENSOR : LSA_PASSED;
}

}  // namespace LiveScanAlg
