#pragma once
// Hand-made cascade features and reference rectangle sums for the tests of both eye detectors.

#include <cstdint>
#include <vector>

#include "irisalg/EyeCascadeTable.h"

namespace cascadetest {

namespace tbl = irisalg::cascade;

// A feature whose lookup entry tells its bin: entry b = (b + 1) x unit.
inline tbl::TableFeature Feature(int kind, tbl::Rect8 a, tbl::Rect8 b, int32_t lower, int32_t mult, int32_t unit) {
    tbl::TableFeature f;
    f.kind = kind;
    f.a = a;
    f.b = b;
    if (kind == 2) f.d = {uint8_t(a.x + a.w / 2), uint8_t(a.y + a.h / 2), uint8_t(a.w / 2), uint8_t(a.h / 2)};
    for (int k = 0; k < tbl::kBins; ++k) f.lut[size_t(k)] = (k + 1) * unit;
    f.lower = lower;
    f.mult = mult;
    return f;
}

// Sum of the pixels (or of their squares) of a rectangle, counted one by one.
inline int64_t RectSum(const std::vector<uint8_t>& im, int w, int x, int y, int rw, int rh, bool squares = false) {
    int64_t s = 0;
    for (int v = y; v < y + rh; ++v)
        for (int u = x; u < x + rw; ++u) s += squares ? int64_t(im[size_t(v) * w + u]) * im[size_t(v) * w + u] : im[size_t(v) * w + u];
    return s;
}

}  // namespace cascadetest
