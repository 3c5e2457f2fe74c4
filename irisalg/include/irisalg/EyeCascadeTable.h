#pragma once
// The stored form of the boosted eye cascades, shared by the eye detector of the iris algorithm
// library, the eye-region detector of the iris capture library and the cascade trainer.
//
// A table is 32-bit little-endian signed words: word 0 (not read), stage count, window width,
// window height, then per stage: feature count N, the counts c0..c5 of features of kinds 0..5,
// the stored threshold T, then the features grouped by kind. A feature is its geometry (2 words,
// 3 for kind 2: one byte each for x, y, width, height of rectangles A, B and D), 48 lookup words
// and the pair L (lower bound), M (bin multiplier).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace irisalg::cascade {

inline constexpr int kKinds = 6;
inline constexpr int kBins = 48;
inline constexpr int32_t kLutLimit = 35791394;  // 2^31 / 60: a sum of 60 entries cannot wrap
inline constexpr int kScales = 20;

constexpr int GeometryWords(int kind) { return kind == 2 ? 3 : 2; }
// Weight of the second (and third) rectangle of a kind; the whole rectangle A counts -1.
constexpr int32_t PartWeight(int kind) {
    constexpr int32_t w[kKinds] = {2, 3, 2, 1, 3, 4};
    return w[kind];
}

struct Rect8 {
    uint8_t x = 0, y = 0, w = 0, h = 0;
    bool operator==(const Rect8&) const = default;
};

struct TableFeature {
    int kind = 0;
    Rect8 a, b, d;  // d only for kind 2
    std::array<int32_t, kBins> lut{};
    int32_t lower = 0, mult = 0;
    bool operator==(const TableFeature&) const = default;
};

struct TableStage {
    int32_t threshold = 0;                 // stored value T
    std::vector<TableFeature> features;    // any order; written grouped by kind
    bool operator==(const TableStage&) const = default;
};

struct Table {
    int32_t word0 = 0;
    int32_t width = 0, height = 0;
    std::vector<TableStage> stages;
    bool operator==(const Table&) const = default;
};

// Words of the stored form; the features of each stage are written grouped by kind, in their
// order within a kind.
std::vector<int32_t> WriteTable(const Table& table);

// Reads and checks a stored table of `count` words (counts that agree, geometry inside the
// window, nothing beyond the end). Returns false with a reason in `error`.
bool ReadTable(const int32_t* words, size_t count, Table& out, std::string* error = nullptr);

// Number of words of a well-formed stored table, or 0 when it runs past `count` words.
size_t TableWords(const int32_t* words, size_t count);

// The geometry word k of a feature as stored (bytes x, y, w, h from the lowest byte up).
constexpr uint32_t PackRect(const Rect8& r) {
    return uint32_t(r.x) | uint32_t(r.y) << 8 | uint32_t(r.w) << 16 | uint32_t(r.h) << 24;
}
constexpr Rect8 UnpackRect(uint32_t word) {
    return Rect8{uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)};
}

// The lookup bin of a normalised feature value (feature value x 2^28 / deviation) with
// bias = 8192 - L: ((((v + bias) >> 14) x M) + 2^20) >> 21, clamped to 0..47. Computed in 64 bits,
// so a value far outside the trained range falls into an end bin instead of a wrapped one.
inline int BinOf(int64_t normValue, int32_t bias, int32_t mult) {
    const int64_t t = ((((normValue + bias) >> 14) * mult) + (int64_t(1) << 20)) >> 21;
    return t < 0 ? 0 : t > kBins - 1 ? kBins - 1 : int(t);
}

// A feature rectangle scaled into a window, in pixels from the window's top-left.
struct ScaledRect {
    int32_t x = 0, y = 0, w = 0, h = 0;
};

// The two libraries scale kinds 0 to 2 alike and kinds 3 to 5 each in their own way.
enum class Scaling { Algorithm, Capture };

// The rectangles of a feature (A, B and for kind 2 D) at scale s (factor x 1024); returns how many.
int ScaleFeature(Scaling rules, int kind, const uint32_t* words, int32_t s, ScaledRect out[3]);

// Value of one feature from the integral image at a window (`p`) and the feature's corner offsets
// (four per rectangle: top-left, top-right, bottom-left, bottom-right); 32-bit sums that wrap.
inline int32_t FeatureValue(int kind, const uint32_t* p, const int32_t* corners) {
    auto rect = [&](const int32_t* q) { return p[q[0]] - p[q[1]] - p[q[2]] + p[q[3]]; };
    uint32_t v = uint32_t(PartWeight(kind)) * rect(corners + 4) - rect(corners);
    if (kind == 2) v += 2u * rect(corners + 8);
    return int32_t(v);
}

// Corner offsets y x stride + x of the rectangles; returns the number written (4 per rectangle).
inline int CornerOffsets(const ScaledRect* rects, int count, int32_t stride, int32_t* out) {
    for (int b = 0; b < count; ++b) {
        const ScaledRect& r = rects[b];
        out[4 * b] = r.y * stride + r.x;
        out[4 * b + 1] = r.y * stride + r.x + r.w;
        out[4 * b + 2] = (r.y + r.h) * stride + r.x;
        out[4 * b + 3] = (r.y + r.h) * stride + r.x + r.w;
    }
    return 4 * count;
}

// Integral images of an 8-bit image: entry (x + 1, y + 1) of the (width + 1) x (height + 1)
// arrays holds the sum (and the sum of squares) of the pixels (u, v) with u <= x and v <= y; row
// 0 and column 0 are zero. Sums wrap at 32 bits, squares are 64-bit.
void IntegralImages(const uint8_t* image, int width, int height, int stride, uint32_t* sum, uint64_t* squares);

// The trained tables of the project (generated by tools/eye_cascade_train, see the README):
// eye table 1 (4 stages), the shared eye table (3 stages; eye table 2 of the algorithm library and
// the capture library's eye cascade) and the shared side table (8 stages).
extern const int32_t kEyeTable1[];
extern const size_t kEyeTable1Words;
extern const int32_t kEyeTable2[];
extern const size_t kEyeTable2Words;
extern const int32_t kSideTable[];
extern const size_t kSideTableWords;

}  // namespace irisalg::cascade
