// Fixed-point and float forms of the optical distortion correction, the handle that owns the
// work buffer, and the row-range form for callers that split the passes over threads.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "Distortion.h"

namespace LiveScanAlg {
namespace {

using distortion::ClampIndex;
using distortion::ClampPixel;
using distortion::Geometry;

// Bytes of work buffer a geometry needs: H rows of the corrected width.
int64_t WorkBytes(const Geometry& g) { return static_cast<int64_t>(g.H) * g.OutW; }

// Geometry of the record with entries 2 and 3 written straight away, so that callers see the
// corrected size also after a size query or a refusal.
int PrepareGeometry(DistortionCorrectionRecord* record, Geometry& g) {
  const int rc = distortion::ComputeGeometry(*record, g);
  record->OutputHeight = g.OutH;
  record->OutputWidth = g.OutW;
  if (rc != 0) return rc;
  if (WorkBytes(g) > INT32_MAX) return kDistortionOutputTooLarge;
  return 0;
}

// Float form of one pass: `count` outputs along a line of `length` samples, each from four taps.
uint8_t InterpolateFloat(float position, int length, const uint8_t* base, size_t stride) {
  const float whole = std::floor(position);
  const float f = position - whole;
  const int64_t x = static_cast<int64_t>(whole);
  const int last = length - 1;
  const float sum = distortion::Kappa(f) * base[stride * ClampIndex(x, 0, last)] +
                    distortion::Kappa(1.0f - f) * base[stride * ClampIndex(x + 1, 0, last)] +
                    distortion::Kappa(1.0f + f) * base[stride * ClampIndex(x - 1, 0, last)] +
                    distortion::Kappa(2.0f - f) * base[stride * ClampIndex(x + 2, 0, last)];
  const float rounded = sum + 0.5f;
  if (!(rounded >= 1.0f)) return 0;
  if (!(rounded < 255.0f)) return 255;
  return static_cast<uint8_t>(rounded);
}

// Float positions are clamped into a range where the conversion to an index stays defined.
float LimitPosition(float x) {
  constexpr float kLimit = 1.0e9f;
  return std::isnan(x) ? 0.0f : (x < -kLimit ? -kLimit : (x > kLimit ? kLimit : x));
}

void FloatFirstPass(const Geometry& g, const uint8_t* image, uint8_t* work) {
  for (int r = 0; r < g.H; ++r) {
    const float S = (g.m - static_cast<float>(r) * g.s) / g.K;
    const float x0 = (static_cast<float>(g.W) - S * static_cast<float>(g.N)) / 2.0f + 4.0f * S;
    const uint8_t* p = image + static_cast<size_t>(r) * g.W;
    uint8_t* out = work + static_cast<size_t>(r) * g.OutW;
    for (int i = 0; i < g.OutW; ++i) {
      out[i] = InterpolateFloat(LimitPosition(x0 + static_cast<float>(i) * S), g.W, p, 1);
    }
  }
}

void FloatSecondPass(const Geometry& g, const uint8_t* work, uint8_t* image) {
  for (int j = 0; j < g.OutH; ++j) {
    const float D = g.g + (g.q + 4.0f) * g.L + static_cast<float>(j) * g.L;
    const float y = LimitPosition(g.V - g.P / D);
    uint8_t* out = image + static_cast<size_t>(j) * g.OutW;
    for (int c = 0; c < g.OutW; ++c) out[c] = InterpolateFloat(y, g.H, work + c, g.OutW);
  }
}

enum class Arithmetic { Fixed, Float };

int Correct(unsigned char* image, unsigned char* work, DistortionCorrectionRecord* record,
            Arithmetic arithmetic) {
  if (IsMissing(record)) return kDistortionNoRecord;
  Geometry g;
  if (const int rc = PrepareGeometry(record, g); rc != 0) return rc;
  if (IsMissing(image) || IsMissing(work)) {
    record->WorkBufferSize = static_cast<int32_t>(WorkBytes(g));
    return kDistortionSizeQuery;
  }
  if (record->WorkBufferSize < WorkBytes(g)) return kDistortionBufferTooSmall;
  if (arithmetic == Arithmetic::Fixed) {
    distortion::FixedFirstPass(g, image, work, 0, g.H);
    distortion::FixedSecondPass(g, work, image, 0, g.OutH);
  } else {
    FloatFirstPass(g, image, work);
    FloatSecondPass(g, work, image);
  }
  return 0;
}

// Grows the handle's buffer to at least `bytes`; it never shrinks. False when memory fails, and
// the handle is then empty.
bool GrowHandle(DistortionCorrectionHandle* handle, int64_t bytes) {
  if (!IsMissing(handle->Buffer) && handle->Size >= bytes) return true;
  if (!IsMissing(handle->Buffer)) std::free(handle->Buffer);
  handle->Buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(bytes > 0 ? bytes : 1)));
  handle->Size = handle->Buffer ? static_cast<int32_t>(bytes) : 0;
  return handle->Buffer != nullptr;
}

enum class Pass { First, Second };

// One pass of the row-range form over input rows (first pass) or output rows (second pass)
// [firstRow, endRow).
int RunRowRange(DistortionCorrectionHandle* handle, unsigned char* image, int firstRow,
                int endRow, DistortionCorrectionRecord* record, Pass pass) {
  if (IsMissing(handle) || IsMissing(record)) return kDistortionNoRecord;
  Geometry g;
  if (const int rc = distortion::ComputeGeometry(*record, g); rc != 0) return rc;
  if (WorkBytes(g) > INT32_MAX) return kDistortionOutputTooLarge;
  const int rows = pass == Pass::First ? g.H : g.OutH;
  if (firstRow < 0 || endRow < firstRow || endRow > rows) return kDistortionOutputTooLarge;
  if (IsMissing(image) || IsMissing(handle->Buffer)) return kDistortionSizeQuery;
  if (handle->Size < WorkBytes(g)) return kDistortionBufferTooSmall;
  if (pass == Pass::First) {
    distortion::FixedFirstPass(g, image, handle->Buffer, firstRow, endRow);
  } else {
    distortion::FixedSecondPass(g, handle->Buffer, image, firstRow, endRow);
  }
  return 0;
}

}  // namespace

int TDistortionCorrectInt(unsigned char* image, unsigned char* workBuffer,
                          DistortionCorrectionRecord* record) {
  return Correct(image, workBuffer, record, Arithmetic::Fixed);
}

int TDistortionCorrectInt_Test(unsigned char* image, unsigned char* workBuffer,
                               DistortionCorrectionRecord* record) {
  return Correct(image, workBuffer, record, Arithmetic::Fixed);
}

int TDistortionCorrectFloat(unsigned char* image, unsigned char* workBuffer,
                            DistortionCorrectionRecord* record) {
  return Correct(image, workBuffer, record, Arithmetic::Float);
}

DistortionCorrectionHandle* TDistortionCorrectInit() {
  auto* handle = static_cast<DistortionCorrectionHandle*>(std::calloc(1, sizeof(DistortionCorrectionHandle)));
  return handle;
}

void TDistortionCorrectRelease(DistortionCorrectionHandle** handle) {
  if (IsMissing(handle) || IsMissing(*handle)) return;
  if (!IsMissing((*handle)->Buffer)) std::free((*handle)->Buffer);
  std::free(*handle);
  *handle = nullptr;
}

int TDistortionCorrectEx(DistortionCorrectionHandle* handle, unsigned char* image,
                         DistortionCorrectionRecord* record) {
  if (IsMissing(handle) || IsMissing(record)) return kDistortionNoRecord;
  DistortionCorrectionRecord copy = *record;
  copy.OutputHeight = 0;
  copy.OutputWidth = 0;
  copy.WorkBufferSize = handle->Size;
  int rc = Correct(image, handle->Buffer, &copy, Arithmetic::Fixed);
  if (rc == kDistortionSizeQuery || rc == kDistortionBufferTooSmall) {
    if (!GrowHandle(handle, static_cast<int64_t>(copy.Height) * copy.OutputWidth)) {
      rc = kDistortionNoRecord;
    } else {
      copy.WorkBufferSize = handle->Size;
      rc = Correct(image, handle->Buffer, &copy, Arithmetic::Fixed);
    }
  }
  record->OutputHeight = copy.OutputHeight;
  record->OutputWidth = copy.OutputWidth;
  return rc;
}

int TDistortionCorrectInitMt(DistortionCorrectionHandle* handle,
                             DistortionCorrectionRecord* record) {
  if (IsMissing(handle) || IsMissing(record)) return kDistortionNoRecord;
  Geometry g;
  if (const int rc = PrepareGeometry(record, g); rc != 0) return rc;
  return GrowHandle(handle, WorkBytes(g)) ? 0 : kDistortionNoRecord;
}

int TDistortionCorrectStep1Mt(DistortionCorrectionHandle* handle, unsigned char* image,
                              int firstRow, int endRow, DistortionCorrectionRecord* record) {
  return RunRowRange(handle, image, firstRow, endRow, record, Pass::First);
}

int TDistortionCorrectStep2Mt(DistortionCorrectionHandle* handle, unsigned char* image,
                              int firstRow, int endRow, DistortionCorrectionRecord* record) {
  return RunRowRange(handle, image, firstRow, endRow, record, Pass::Second);
}

}  // namespace LiveScanAlg
