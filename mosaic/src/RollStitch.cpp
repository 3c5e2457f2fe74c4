// Rolled-finger stitching: frames of a finger rolling across the platen are merged into one
// rolled image where the finger currently touches. The motion analysis runs on a grid reduced by
// the decimation factor; only the final blend touches every pixel.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "RollStitchInternal.h"

namespace LiveScanAlg::roll {
namespace {

RollStitchSession g_session{};

constexpr int kSmoothRadius = 5;
constexpr uint8_t kNoFingerLevel = 240;   // smoothed grid level at or above: no finger
constexpr int kLighterLimit = 10;         // frame this much lighter than the composite: keep
constexpr int kDarkerLimit = 50;          // frame more than this darker: take the frame
constexpr int kMinimumSlidePixels = 550;
constexpr float kSlideCorrelation = 0.315f;

void FreeBuffers(RollStitchSession& s) {
  for (uint8_t** p : {&s.FullBuffer, &s.GridFrame, &s.GridComposite, &s.BlendMask,
                      &s.SmoothedFrame, &s.SmoothedComposite, &s.SlidingMask}) {
    std::free(*p);
    *p = nullptr;
  }
  s.Opened = 0;
}

int DecimationFor(int resolution) {
  switch (resolution) {
    case 1000: return 8;
    case 500: return 4;
    case 250: return 2;
    default: return 0;
  }
}

int GridWidth(const RollStitchSession& s) { return s.Width / s.Decimation; }
int GridHeight(const RollStitchSession& s) { return s.Height / s.Decimation; }

// Ink centroid in grid columns: weights (255 - v)^2. `weighted` is the sum of weight x column.
struct Centroid {
  int64_t weighted = 0;
  int value = 0;
};

Centroid InkCentroid(const uint8_t* grid, int width, int height) {
  int64_t weighted = 0, total = 0;
  for (int r = 0; r < height; ++r) {
    const uint8_t* row = grid + static_cast<size_t>(r) * width;
    for (int c = 0; c < width; ++c) {
      const int64_t ink = 255 - row[c];
      weighted += ink * ink * c;
      total += ink * ink;
    }
  }
  Centroid result;
  result.weighted = weighted;
  if (weighted != 0) result.value = static_cast<int>(weighted / total);
  return result;
}

// Blend and sliding masks of one frame against the composite, with the overlap cut at each
// row's mean overlap column on the side the finger leaves behind.
void BuildBlendMask(RollStitchSession& s, bool towardsLowerColumns) {
  const int w = GridWidth(s), h = GridHeight(s);
  std::memset(s.BlendMask, 0, static_cast<size_t>(w) * h);
  std::memset(s.SlidingMask, 0, static_cast<size_t>(w) * h);
  for (int r = 0; r < h; ++r) {
    const size_t row = static_cast<size_t>(r) * w;
    const uint8_t* a = s.SmoothedFrame + row;
    const uint8_t* b = s.SmoothedComposite + row;
    uint8_t* blend = s.BlendMask + row;
    int64_t overlapSum = 0, overlapCount = 0;
    for (int c = 0; c < w; ++c) {
      blend[c] = BlendMark(a[c], b[c]);
      if (blend[c] == kRollOverlap) {
        s.SlidingMask[row + c] = kRollOverlap;
        overlapSum += c;
        ++overlapCount;
      }
    }
    if (overlapCount == 0) continue;
    const int mean = static_cast<int>(overlapSum / overlapCount);
    const int from = towardsLowerColumns ? mean + 1 : 0;
    const int to = towardsLowerColumns ? w : mean;
    for (int c = from; c < to; ++c) {
      if (blend[c] == kRollOverlap) blend[c] = 0;
    }
  }
}

void Blend(const RollStitchSession& s, const uint8_t* frame, uint8_t* rolled) {
  const int D = s.Decimation, w = GridWidth(s), h = GridHeight(s);
  const uint8_t* smoothedMask = s.GridComposite;
  for (int y = 0; y < h * D; ++y) {
    const uint8_t* k = smoothedMask + static_cast<size_t>(y / D) * w;
    const uint8_t* f = frame + static_cast<size_t>(y) * s.Width;
    uint8_t* out = rolled + static_cast<size_t>(y) * s.Width;
    for (int x = 0; x < w * D; ++x) {
      const int weight = k[x / D];
      if (weight == 0) continue;
      if (weight >= kRollOverlap) {
        out[x] = f[x];
      } else {
        out[x] = static_cast<uint8_t>((f[x] * weight + (256 - weight) * out[x]) >> 8);
      }
    }
  }
}

}  // namespace

RollStitchSession& Session() { return g_session; }

uint8_t BlendMark(int a, int b) {
  if (a >= kNoFingerLevel) return a < b ? kRollTakeFrame : 0;  // no finger in the frame here
  if (b >= kNoFingerLevel) return kRollTakeFrame;              // finger new here
  if (a - b >= kLighterLimit) return 0;                        // frame lighter: keep the composite
  if (b - a > kDarkerLimit) return kRollTakeFrame;             // frame much darker: take it
  return kRollOverlap;
}

void ReduceToGrid(const uint8_t* image, int width, int factor, int gridWidth, int gridHeight,
                  uint8_t* grid) {
  if (factor < 2 || factor > 16) return;
  const int q = factor / 4, t = 3 * factor / 4;
  for (int r = 0; r < gridHeight; ++r) {
    const uint8_t* upper = image + static_cast<size_t>(r * factor + q) * width;
    const uint8_t* lower = image + static_cast<size_t>(r * factor + t) * width;
    uint8_t* out = grid + static_cast<size_t>(r) * gridWidth;
    for (int c = 0; c < gridWidth; ++c) {
      const int x = c * factor;
      out[c] = static_cast<uint8_t>((upper[x + q] + upper[x + t] + lower[x + q] + lower[x + t] + 2) >> 2);
    }
  }
}

void BoxSmooth(const uint8_t* input, uint8_t* output, int width, int height) {
  const size_t cells = static_cast<size_t>(width) * height;
  std::memcpy(output, input, cells);
  // Column sums over 11 rows, then row sums over 11 columns: each fits easily in 32 bits.
  std::unique_ptr<uint32_t[]> columnSums(new (std::nothrow) uint32_t[cells]);
  if (!columnSums) return;
  for (int x = 0; x < width; ++x) {
    uint32_t sum = 0;
    for (int y = 0; y <= std::min(kSmoothRadius, height - 1); ++y) sum += input[static_cast<size_t>(y) * width + x];
    for (int y = 0; y < height; ++y) {
      columnSums[static_cast<size_t>(y) * width + x] = sum;
      const int enter = y + kSmoothRadius + 1, leave = y - kSmoothRadius;
      if (enter < height) sum += input[static_cast<size_t>(enter) * width + x];
      if (leave >= 0) sum -= input[static_cast<size_t>(leave) * width + x];
    }
  }
  for (int y = 0; y < height; ++y) {
    const uint32_t rowsIn =
        static_cast<uint32_t>(std::min(height - 1, y + kSmoothRadius) - std::max(0, y - kSmoothRadius) + 1);
    const uint32_t* sums = columnSums.get() + static_cast<size_t>(y) * width;
    uint8_t* out = output + static_cast<size_t>(y) * width;
    uint32_t sum = 0;
    for (int x = 0; x <= std::min(kSmoothRadius, width - 1); ++x) sum += sums[x];
    for (int x = 0; x < width; ++x) {
      const uint32_t columnsIn = static_cast<uint32_t>(std::min(width - 1, x + kSmoothRadius) -
                                                       std::max(0, x - kSmoothRadius) + 1);
      out[x] = static_cast<uint8_t>(sum / (rowsIn * columnsIn));
      const int enter = x + kSmoothRadius + 1, leave = x - kSmoothRadius;
      if (enter < width) sum += sums[enter];
      if (leave >= 0) sum -= sums[leave];
    }
  }
}

bool UpdateTravelAndTestRollBack(RollStitchSession& s, int displacement) {
  const int small = s.Resolution == 1000 ? 60 : 30;
  const int large = s.Resolution == 1000 ? 400 : 200;
  if (displacement < 0) {
    s.NegativeTravel += -displacement;
  } else {
    s.PositiveTravel += displacement;
  }
  return s.NegativeTravel > small && s.PositiveTravel > small &&
         (s.NegativeTravel > large || s.PositiveTravel > large);
}

bool IsSliding(const uint8_t* gridFrame, const uint8_t* gridComposite, const uint8_t* mask,
               int count) {
  int64_t n = 0, sa = 0, sb = 0, sab = 0, saa = 0, sbb = 0;
  for (int i = 0; i < count; ++i) {
    if (mask[i] != kRollOverlap) continue;
    const int64_t a = gridFrame[i], b = gridComposite[i];
    ++n;
    sa += a;
    sb += b;
    sab += a * b;
    saa += a * a;
    sbb += b * b;
  }
  if (n <= kMinimumSlidePixels) return false;
  const double dn = static_cast<double>(n);
  const double ma = static_cast<double>(sa) / dn, mb = static_cast<double>(sb) / dn;
  const double denominator = (static_cast<double>(sbb) - dn * mb * mb) *
                             (static_cast<double>(saa) - dn * ma * ma);
  if (!(denominator > 0.0)) return false;
  const double r = (static_cast<double>(sab) - dn * ma * mb) / std::sqrt(denominator);
  return r < static_cast<double>(kSlideCorrelation);
}

}  // namespace LiveScanAlg::roll

namespace LiveScanAlg {

using roll::Session;

int mmRollStitchCreate(int width, int height, int resolution, int /*resolution2*/, int disabled) {
  RollStitchSession& s = Session();
  if (disabled != 0) {
    s.Disabled = 1;
    return -1;
  }
  // An open session is closed first, so a create that fails leaves nothing behind to free twice.
  roll::FreeBuffers(s);
  s.Disabled = 0;
  const int D = roll::DecimationFor(resolution);
  if (D == 0 || width < D || height < D) return -1;

  const size_t full = static_cast<size_t>(width) * height;
  const size_t grid = static_cast<size_t>(width / D) * (height / D);
  s.FullBuffer = static_cast<uint8_t*>(std::calloc(full, 1));
  for (uint8_t** p : {&s.GridFrame, &s.GridComposite, &s.BlendMask, &s.SmoothedFrame,
                      &s.SmoothedComposite, &s.SlidingMask}) {
    *p = static_cast<uint8_t*>(std::calloc(grid, 1));
  }
  if (!s.FullBuffer || !s.GridFrame || !s.GridComposite || !s.BlendMask || !s.SmoothedFrame ||
      !s.SmoothedComposite || !s.SlidingMask) {
    roll::FreeBuffers(s);
    return -1;
  }
  s.Width = width;
  s.Height = height;
  s.Resolution = resolution;
  s.Decimation = D;
  s.PreviousCentroid = 0;
  s.NegativeTravel = 0;
  s.PositiveTravel = 0;
  s.WidestFinger = 0;
  s.Opened = 1;
  return 0;
}

int mmRollStitchRelease() {
  RollStitchSession& s = Session();
  if (s.Disabled) return -1;
  roll::FreeBuffers(s);
  return 0;
}

int mmRollStitch(unsigned char* frame, int* frameCounter, unsigned char* rolledImage,
                 unsigned char* auxiliaryOutput) {
  RollStitchSession& s = Session();
  if (s.Disabled) return 0;
  if (!s.Opened || IsMissing(frame) || IsMissing(frameCounter) || IsMissing(rolledImage)) {
    return -1;
  }
  const int D = s.Decimation, w = roll::GridWidth(s), h = roll::GridHeight(s);
  const size_t fullBytes = static_cast<size_t>(s.Width) * s.Height;
  const size_t gridCells = static_cast<size_t>(w) * h;

  if (*frameCounter <= 3) std::memcpy(rolledImage, frame, fullBytes);

  roll::ReduceToGrid(frame, s.Width, D, w, h, s.GridFrame);
  roll::ReduceToGrid(rolledImage, s.Width, D, w, h, s.GridComposite);
  roll::BoxSmooth(s.GridFrame, s.SmoothedFrame, w, h);
  roll::BoxSmooth(s.GridComposite, s.SmoothedComposite, w, h);

  mm_finger_property finger;
  const int fingerWidth =
      roll::ComputeFingerProperty(frame, s.Width, s.Height, &finger, roll::FingerThreshold::Roll) == 0
          ? finger.Width
          : 0;
  if (fingerWidth > s.WidestFinger) s.WidestFinger = std::min(fingerWidth, s.Width / 2);

  const roll::Centroid frameCentroid = roll::InkCentroid(s.SmoothedFrame, w, h);
  const roll::Centroid compositeCentroid = roll::InkCentroid(s.SmoothedComposite, w, h);
  if (frameCentroid.weighted == 0 || compositeCentroid.weighted == 0) {
    ++*frameCounter;
    return 0;
  }

  if (*frameCounter <= 3) {
    // The roll is starting: the frame seeds the composite and the motion state.
    s.PreviousCentroid = frameCentroid.value;
    s.NegativeTravel = 0;
    s.PositiveTravel = 0;
    s.WidestFinger = 0;
    std::memcpy(rolledImage, frame, fullBytes);
    ++*frameCounter;
    return 0;
  }

  const bool rolledBack =
      roll::UpdateTravelAndTestRollBack(s, (frameCentroid.value - s.PreviousCentroid) * D);
  s.PreviousCentroid = frameCentroid.value;
  if (rolledBack) {
    ++*frameCounter;
    return LSA_ROLL_BACKWARDS;
  }

  roll::BuildBlendMask(s, frameCentroid.value < compositeCentroid.value);
  const bool sliding =
      roll::IsSliding(s.GridFrame, s.GridComposite, s.SlidingMask, static_cast<int>(gridCells));
  roll::BoxSmooth(s.BlendMask, s.GridComposite, w, h);
  if (!IsMissing(auxiliaryOutput)) std::memcpy(auxiliaryOutput, s.FullBuffer, fullBytes);
  roll::Blend(s, frame, rolledImage);

  ++*frameCounter;
  return sliding ? LSA_SLIDING : 0;
}

int mmRollFingerQualityCheck(unsigned char* rolledImage, int width, int height) {
  if (IsMissing(rolledImage)) return -1;
  mm_finger_property finger;
  if (roll::ComputeFingerProperty(rolledImage, width, height, &finger,
                                  roll::FingerThreshold::Roll) != 0) {
    return -1;
  }
  // The print must be at least 1.2 times as wide as the widest single frame: compared as
  // integers, 6 x widest against 5 x width, so that exactly 1.2 passes.
  const int64_t widest = Session().WidestFinger;
  if (widest == 0 || 6 * widest > 5 * int64_t{finger.Width}) return LSA_WIDTH_TOO_SMALL;
  return 0;
}

int mmGetSlidingMask(unsigned char* output, int /*width*/, int /*height*/) {
  const RollStitchSession& s = Session();
  if (IsMissing(output) || !s.Opened) return -1;
  const int D = s.Decimation, w = roll::GridWidth(s), h = roll::GridHeight(s);
  const size_t rowBytes = static_cast<size_t>(w) * D;
  for (int y = 0; y < h * D; ++y) {
    const uint8_t* mask = s.SlidingMask + static_cast<size_t>(y / D) * w;
    uint8_t* out = output + rowBytes * y;
    for (int c = 0; c < w; ++c) std::memset(out + static_cast<size_t>(c) * D, mask[c], D);
  }
  return 0;
}

}  // namespace LiveScanAlg
