// Coordinate-map warp of the Finch window: each output pixel samples the source bilinearly at a
// position stored, in 22.10 fixed point, as an offset from the window's centre point.
#include <cstdint>
#include <cstring>
#include <vector>

#include "Distortion.h"

namespace LiveScanAlg {
namespace {

constexpr int kMapRows = 353;
constexpr int kMapColumns = 289;
constexpr int kWindowWidth = kMapColumns - 1;   // 288
constexpr int kWindowHeight = kMapRows - 1;     // 352

// The coordinate map: (x offset, y offset) pairs, rows of 289 entries. Entry i of row r holds
// ((i - 144) * 1024, (176 - r) * 1024): a plain window around the centre point, which the warp
// mirrors left to right. A calibrated map of the optics replaces these values one for one.
const std::vector<int32_t>& FinchCoordinateMap() {
  static const std::vector<int32_t> map = [] {
    std::vector<int32_t> m(static_cast<size_t>(kMapRows) * kMapColumns * 2);
    for (int r = 0; r < kMapRows; ++r) {
      for (int i = 0; i < kMapColumns; ++i) {
        const size_t at = (static_cast<size_t>(r) * kMapColumns + i) * 2;
        m[at] = (i - kWindowWidth / 2) * 1024;
        m[at + 1] = (kWindowHeight / 2 - r) * 1024;
      }
    }
    return m;
  }();
  return map;
}

}  // namespace

int FinchCalibration1(int sourceHeight, int sourceWidth, unsigned char* source, int centreX,
                      int centreY, int windowWidth, int windowHeight, int* heightOut,
                      int* widthOut, unsigned char* output) {
  if (IsMissing(source)) return LSA_INVALID_INPUT3;
  if (IsMissing(output) || IsMissing(heightOut) || IsMissing(widthOut)) return LSA_INVALID_POINTER;
  if (sourceHeight < 1) return LSA_INVALID_INPUT1;
  if (sourceWidth < 1) return LSA_INVALID_INPUT2;
  // The map is laid out for this one window; its row pitch is the window width + 1.
  if (windowWidth != kWindowWidth || windowHeight != kWindowHeight) return LSA_INVALID_INPUT;

  std::memset(output, 0, static_cast<size_t>(windowWidth) * windowHeight);
  const std::vector<int32_t>& map = FinchCoordinateMap();
  const int hx = (windowWidth + 1) >> 1;
  const int hy = (windowHeight + 1) >> 1;
  const int pitch = windowWidth + 1;
  const int lastX = sourceWidth - 1, lastY = sourceHeight - 1;
  auto at = [&](int64_t y, int64_t x) -> int64_t {
    return source[static_cast<size_t>(distortion::ClampIndex(y, 0, lastY)) * sourceWidth +
                  distortion::ClampIndex(x, 0, lastX)];
  };
  for (int r = 0; r < 2 * hy; ++r) {
    uint8_t* out = output + static_cast<size_t>(r) * windowWidth;
    for (int i = 0; i < 2 * hx; ++i) {
      const size_t entry = (static_cast<size_t>(r) * pitch + i) * 2;
      const int64_t x = map[entry] + int64_t{centreX} * 1024;
      const int64_t y = int64_t{centreY} * 1024 - map[entry + 1];
      const int64_t sx = x >> 10, sy = y >> 10;
      const int64_t fx = x - 1024 * sx, fy = y & 1023;
      const int64_t top = at(sy, sx) * (1024 - fx) + at(sy, sx + 1) * fx;
      const int64_t bottom = at(sy + 1, sx) * (1024 - fx) + at(sy + 1, sx + 1) * fx;
      out[windowWidth - 1 - i] = static_cast<uint8_t>((top * (1024 - fy) + bottom * fy) >> 20);
    }
  }
  *heightOut = windowHeight;
  *widthOut = windowWidth;
  return LSA_PASSED;
}

}  // namespace LiveScanAlg
