#pragma once
// Shared pieces of the optical distortion correction: the geometry of one record, the cubic
// kernel and the two fixed-point passes.
#include <cstdint>

#include "LiveScanAlgInternal.h"
#include "LiveScanAlgRoll.h"

namespace LiveScanAlg::distortion {

// Geometry derived in single precision from the six values, the input size and the target width.
struct Geometry {
  int H = 0, W = 0;        // input size
  int OutH = 0, OutW = 0;  // corrected size
  int N = 0;               // horizontal sample count (OutW + 8)
  float s = 0, u = 0, v = 0, V = 0, m = 0, g = 0, P = 0, q = 0;
  float L = 0, K = 0;
};

// Fills g from the record. Returns 0, or kDistortionOutputTooLarge when the output would exceed
// the input or the values give no finite, positive output size.
int ComputeGeometry(const DistortionCorrectionRecord& record, Geometry& g);

// Cubic convolution kernel with a = -1.
float Kappa(float t);
double KappaExact(double t);

// 64 phases x 4 Q14 weights for the samples x, x + 1, x - 1, x + 2.
const int16_t (&KernelTable())[64][4];

// Vertical source position of output row j, 24.8 fixed point.
int32_t SecondPassPosition(const Geometry& g, int j);

// Horizontal pass of the fixed-point form over input rows [firstRow, endRow): image (H x W) into
// work (H x OutW).
void FixedFirstPass(const Geometry& g, const uint8_t* image, uint8_t* work, int firstRow,
                    int endRow);
// Vertical pass over output rows [firstRow, endRow): work (H x OutW) into image (OutH x OutW).
void FixedSecondPass(const Geometry& g, const uint8_t* work, uint8_t* image, int firstRow,
                     int endRow);

// Key (input size and six values) of the map in cache slot 0 or 1, or null when the slot is empty.
const DistortionCorrectionRecord* CachedMapKey(int slot);

inline int ClampIndex(int64_t i, int lo, int hi) {
  return i < lo ? lo : (i > hi ? hi : static_cast<int>(i));
}
inline uint8_t ClampPixel(int64_t v) {
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

}  // namespace LiveScanAlg::distortion
