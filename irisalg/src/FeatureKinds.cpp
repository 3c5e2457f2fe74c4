// The feature-kind registry and template extraction: six kinds extracted from the image
// (ids 32..36, 40) and four composites assembled from their code rows (ids 37, 38, 39, 41).

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "irisalg/IrisAlg.h"
#include "irisalg/IrisEncode.h"
#include "irisalg/LocationSeam.h"

namespace irisalg {

namespace {

constexpr int kOutputSize = 102400;
constexpr int kRow = 128;
constexpr int kMaxSide = 1600;

struct Extraction;
using ExtractFunction = int32_t (*)(Extraction& x, LocationResult& loc, uint8_t* out);
using CollectFunction = int32_t (*)(Extraction& x, int row, uint8_t** data);

}  // namespace

struct FeatureKind {
    uint32_t tag;
    uint32_t depends;
    uint32_t version;
    int id;
    int method;
    int32_t length;
    ExtractFunction extract;
    CollectFunction collect;
    int matchVariant;  // 0 = default; ids 38, 39 and 41 have others
    int32_t parameter;
};

namespace {

constexpr int kKinds = 10;

// The record of one extraction: the image, its locator and the extracted blocks by table row.
struct Extraction {
    const uint8_t* image;
    int width, height;
    FeatureLocator* locator;
    uint8_t* block[kKinds] = {};
    int32_t length[kKinds] = {};
    bool handed[kKinds] = {};
    ~Extraction() {
        for (int i = 0; i < kKinds; ++i)
            if (!handed[i]) IrisAlignedFree(block[i]);
    }
};

int RowOfId(int id);

// ---- Extract functions ----
int32_t ExtractBand(Extraction& x, LocationResult& loc, uint8_t* out, int32_t mask) {
    loc.words[kWordParameter] = mask;
    return ExtractBandCode(x.image, x.height, x.width, nullptr, loc, out);
}
int32_t Extract35(Extraction& x, LocationResult& loc, uint8_t* out) { return ExtractBand(x, loc, out, 3840); }
int32_t Extract34(Extraction& x, LocationResult& loc, uint8_t* out) { return ExtractBand(x, loc, out, 255); }
int32_t Extract33(Extraction& x, LocationResult& loc, uint8_t* out) { return ExtractBand(x, loc, out, 0xFFF000); }
bool TooLarge(const Extraction& x) { return x.width > kMaxSide || x.height > kMaxSide; }
int32_t Extract32(Extraction& x, LocationResult& loc, uint8_t* out) {
    if (TooLarge(x)) return -1;
    loc.words[kWordParameter] = 255;
    return ExtractRingCode(x.image, x.width, x.height, nullptr, loc, out);
}
int32_t Extract36(Extraction& x, LocationResult& loc, uint8_t* out) {
    if (TooLarge(x)) return -1;
    loc.words[kWordParameter] = 32767;
    return EncodeFrequencyFeature(x.image, x.height, x.width, nullptr, &loc, out);
}
int32_t Extract40(Extraction& x, LocationResult& loc, uint8_t* out) {
    if (TooLarge(x)) return -1;
    loc.words[kWordParameter] = 7;
    return EncodeExtremumFeature(x.image, x.height, x.width, nullptr, &loc, out);
}

// ---- Collect functions ----
int32_t HandOver(Extraction& x, int row, uint8_t** data) {
    if (x.handed[row] || !x.block[row]) return 0;
    x.handed[row] = true;
    *data = x.block[row];
    return x.length[row];
}

// Row r of an extracted component, or null when that component gave nothing.
const uint8_t* ComponentRow(const Extraction& x, int id, int r) {
    const int row = RowOfId(id);
    if (row < 0 || !x.block[row] || (r + 1) * kRow > x.length[row]) return nullptr;
    return x.block[row] + r * kRow;
}

struct RowRef {
    int id, row;
};

// Copies component rows into a new block; null when a component is missing.
uint8_t* CopyRows(const Extraction& x, const RowRef* refs, int n, int32_t length) {
    for (int i = 0; i < n; ++i)
        if (!ComponentRow(x, refs[i].id, refs[i].row)) return nullptr;
    auto* out = static_cast<uint8_t*>(IrisAlignedAlloc(size_t(length), 16));
    if (!out) return nullptr;
    std::memset(out, 0, size_t(length));
    for (int i = 0; i < n; ++i) std::memcpy(out + i * kRow, ComponentRow(x, refs[i].id, refs[i].row), kRow);
    return out;
}

int32_t Build37(Extraction& x, int, uint8_t** data) {
    static constexpr RowRef rows[4] = {{32, 3}, {36, 5}, {34, 0}, {36, 9}};
    static constexpr RowRef masks[4] = {{32, 8}, {36, 15}, {34, 8}, {36, 15}};
    uint8_t* out = CopyRows(x, rows, 4, 512);
    if (!out) return -1;
    for (int i = 0; i < 4; ++i) FillMaskedBits(out + i * kRow, ComponentRow(x, masks[i].id, masks[i].row), kRow);
    *data = out;
    return 512;
}

int32_t Build38(Extraction& x, int, uint8_t** data) {
    static constexpr RowRef rows[15] = {{32, 3}, {36, 5},  {34, 0}, {36, 9}, {36, 1}, {36, 2}, {36, 6}, {36, 13},
                                        {32, 2}, {32, 4},  {32, 7}, {34, 4}, {36, 15}, {32, 8}, {34, 8}};
    uint8_t* out = CopyRows(x, rows, 15, 1920);
    if (!out) return -1;
    FillMaskedBits(out + 1 * kRow, out + 12 * kRow, kRow);
    FillMaskedBits(out + 3 * kRow, out + 12 * kRow, kRow);
    FillMaskedBits(out + 0 * kRow, out + 13 * kRow, kRow);
    FillMaskedBits(out + 2 * kRow, out + 14 * kRow, kRow);
    *data = out;
    return 1920;
}

int32_t Build41(Extraction& x, int, uint8_t** data) {
    static constexpr RowRef rows[18] = {{32, 3}, {36, 5}, {34, 0}, {36, 9}, {36, 1}, {36, 2},  {36, 6}, {36, 13},
                                        {32, 2}, {32, 4}, {32, 7}, {34, 4}, {40, 0}, {40, 1},  {40, 2}, {36, 15},
                                        {32, 8}, {34, 8}};
    static constexpr int maskRow[15] = {16, 15, 17, 15, 15, 15, 15, 15, 16, 16, 16, 17, 15, 15, 15};
    uint8_t* out = CopyRows(x, rows, 18, 2304);
    if (!out) return -1;
    for (int i = 0; i < 15; ++i) FillMaskedBits(out + i * kRow, out + maskRow[i] * kRow, kRow);
    *data = out;
    return 2304;
}

// One plane (bit 7 - q of each byte) of a 128-byte row as 16 bytes, most significant bit first.
void TakePlane(const uint8_t* row, int q, uint8_t* plane) {
    uint8_t planes[kRow];
    PackBitPlanes(row, kRow, planes);
    std::memcpy(plane, planes + q * 16, 16);
}

int32_t Build39(Extraction& x, int, uint8_t** data) {
    struct PlaneRef {
        int id, row, plane;
    };
    static constexpr PlaneRef table[4][8] = {
        {{32, 3, 3}, {32, 3, 1}, {36, 9, 1}, {32, 3, 6}, {36, 5, 2}, {32, 3, 0}, {32, 3, 4}, {36, 9, 2}},
        {{36, 5, 0}, {36, 5, 4}, {32, 7, 2}, {36, 6, 1}, {36, 6, 5}, {32, 3, 2}, {32, 4, 0}, {36, 9, 4}},
        {{40, 0, 1}, {36, 13, 0}, {36, 13, 3}, {40, 0, 0}, {34, 0, 2}, {32, 2, 7}, {34, 0, 5}, {40, 2, 1}},
        {{36, 5, 5}, {40, 0, 3}, {34, 0, 1}, {32, 2, 1}, {34, 0, 3}, {32, 7, 0}, {32, 4, 1}, {40, 0, 2}}};
    const auto maskOf = [&](int id) {
        return id == 32 ? ComponentRow(x, 32, 8) : id == 34 ? ComponentRow(x, 34, 8) : ComponentRow(x, 36, 15);
    };
    for (const auto& line : table)
        for (const auto& p : line)
            if (!ComponentRow(x, p.id, p.row) || !maskOf(p.id)) return -1;
    auto* out = static_cast<uint8_t*>(IrisAlignedAlloc(1024, 16));
    if (!out) return -1;
    for (int k = 0; k < 4; ++k) {
        uint8_t code[kRow], mask[kRow];
        for (int p = 0; p < 8; ++p) {
            TakePlane(ComponentRow(x, table[k][p].id, table[k][p].row), table[k][p].plane, code + 16 * p);
            TakePlane(maskOf(table[k][p].id), table[k][p].plane, mask + 16 * p);
        }
        UnpackBitPlanes(code, kRow, out + k * kRow);
        UnpackBitPlanes(mask, kRow, out + 512 + k * kRow);
    }
    for (int k = 0; k < 4; ++k) FillMaskedBits(out + k * kRow, out + 512 + k * kRow, kRow);
    *data = out;
    return 1024;
}

FeatureKind table[kKinds + 1] = {
    {128, 267, 0x02000000, 39, 13, 1024, nullptr, Build39, 0, 0},
    {32, 11, 0x02000000, 37, 13, 512, nullptr, Build37, 0, 0},
    {64, 11, 0x02000000, 38, 13, 1920, nullptr, Build38, 0, 0},
    {16, 0, 0x02000000, 35, 13, 640, Extract35, HandOver, 0, 0},
    {8, 0, 0x02000000, 34, 13, 1152, Extract34, HandOver, 0, 0},
    {4, 0, 0x02000000, 33, 15, 1664, Extract33, HandOver, 0, 0},
    {2, 0, 0x02000000, 32, 15, 1152, Extract32, HandOver, 0, 0},
    {1, 0, 0x02000000, 36, 19, 2048, Extract36, HandOver, 0, 0},
    {256, 0, 0x02000000, 40, 19, 512, Extract40, HandOver, 0, 0},
    {512, 267, 0x02000000, 41, 13, 2304, nullptr, Build41, 0, 0},
    {0, 0, 0, 0, 0, 0, nullptr, nullptr, 0, 0},
};

int RowOfId(int id) {
    for (int i = 0; table[i].tag; ++i)
        if (table[i].id == id) return i;
    return -1;
}

}  // namespace

const FeatureKind* FindFeatureKind(int id) {
    const int row = RowOfId(id);
    return row < 0 ? nullptr : &table[row];
}
uint32_t FeatureVersion(const FeatureKind* kind) { return kind->version; }
int32_t FeatureLength(const FeatureKind* kind) { return kind->length; }
int FeatureKindId(const FeatureKind* kind) { return kind->id; }
int FeatureMatchVariant(const FeatureKind* kind) { return kind->matchVariant; }
int32_t FeatureMatchParameter(const FeatureKind* kind) { return kind->parameter; }

void ApplyInitOptionsToTable(const int32_t* o) {
    for (int i = 0; table[i].tag && i < 10; ++i)
        if (o[51 + i] >= 1 && o[51 + i] <= 24) table[i].method = o[51 + i];
    FeatureKind& k39 = table[RowOfId(39)];
    FeatureKind& k38 = table[RowOfId(38)];
    FeatureKind& k41 = table[RowOfId(41)];
    if (o[71] == 1 || o[71] == 2) k39.matchVariant = o[71];
    k39.parameter = o[91];
    if (o[73] >= 1 && o[73] <= 6) k38.matchVariant = o[73];
    k38.parameter = o[93];
    if (o[80] == 1) k41.matchVariant = 1;
    k41.parameter = o[100];
}

// ---- Bit planes and the masked-bit fill ----

int32_t PackBitPlanes(const uint8_t* in, int n, uint8_t* out) {
    if (!in || !out || n < 0 || n % 8) return -1;
    const int m = n / 8;
    std::memset(out, 0, size_t(n));
    for (int i = 0; i < n; ++i)
        for (int b = 0; b < 8; ++b)
            if (in[i] >> b & 1) out[(7 - b) * m + i / 8] |= uint8_t(0x80 >> (i % 8));
    return 0;
}

int32_t UnpackBitPlanes(const uint8_t* in, int n, uint8_t* out) {
    if (!in || !out || n < 0 || n % 8) return -1;
    const int m = n / 8;
    std::memset(out, 0, size_t(n));
    for (int i = 0; i < n; ++i)
        for (int b = 0; b < 8; ++b)
            if (in[(7 - b) * m + i / 8] & (0x80 >> (i % 8))) out[i] |= uint8_t(1u << b);
    return 0;
}

int32_t FillMaskedBits(uint8_t* code, const uint8_t* mask, int W) {
    if (!code || !mask || W <= 0 || W > 256) return 0;
    // plane q position i: bit 7 - q of byte i.
    const auto bit = [](const uint8_t* row, int q, int i) { return (row[i] >> (7 - q)) & 1; };
    int64_t sum = 0, count = 0;
    for (int half = 0; half < 2 && count == 0; ++half)
        for (int q = 0; q < 8; ++q)
            for (int i = half * (W / 2); i < (half ? W : W / 2); ++i)
                if (!bit(mask, q, i)) sum += i, ++count;
    if (count == 0) return 0;
    const int m = int(sum / count);
    const int start = (m + 32) % W;
    int filled = 0;
    std::vector<uint8_t> out(code, code + W);
    for (int q = 0; q < 8; ++q) {
        std::vector<int> list;
        for (int i = start; i < W; ++i)
            if (bit(mask, q, i)) list.push_back(i);
        for (int i = start; i >= 0; --i)
            if (bit(mask, q, i)) list.push_back(i);
        if (list.size() < 32) continue;
        const auto take = [&](int i, int& index) {
            if (bit(mask, q, i)) return;
            const int from = list[size_t(index++) % list.size()];
            const uint8_t b = uint8_t(1u << (7 - q));
            out[size_t(i)] = uint8_t(bit(code, q, from) ? out[size_t(i)] | b : out[size_t(i)] & ~b);
            ++filled;
        };
        int index = 0;
        for (int i = m; i < W; ++i) take(i, index);
        index = 0;
        for (int i = m; i >= 0; --i) take(i, index);
    }
    std::memcpy(code, out.data(), size_t(W));
    return filled;
}

// ---- Template extraction ----

int32_t FeatureExtractor(const uint8_t* image, int width, int height, IMF* out, const int32_t* options,
                         char* errtext) {
    if (!image || !out) {
        SetMessage(errtext, "Unexpected NULL input pointer");
        return -11;
    }
    if (width < 1 || height < 1) {
        SetMessage(errtext, "Extract failed for feature %d", 0);
        return -10;
    }
    int32_t radii[4] = {0, 0, 0, 0};
    uint32_t requested = 64;
    LocationResult given{};
    bool haveGiven = false;
    if (options) {
        if (options[0] > 0) requested = uint32_t(options[0]);
        for (int i = 0; i < 4; ++i)
            if (options[2 + i] > 0) radii[i] = options[2 + i];
        if (options[1] == 1) {
            int32_t* w = given.words;
            w[kWordPupilX] = options[11], w[kWordPupilY] = options[12], w[kWordPupilR] = options[13];
            w[kWordIrisX] = options[14], w[kWordIrisY] = options[15], w[kWordIrisR] = options[16];
            const int x0 = options[14] - options[16], x1 = options[14] + options[16];
            for (int lid = 0; lid < 2; ++lid) {
                EyelidCurve curve;
                PolynomialToVertexForm(options + (lid ? 27 : 21), options[20], x0, x1, &curve);
                int32_t* dst = w + (lid ? kWordLowerLid : kWordUpperLid);
                dst[0] = curve.vertexX, dst[1] = curve.vertexY, dst[2] = curve.divisor, dst[3] = curve.score;
            }
            w[kWordState] = 255;
            haveGiven = true;
        }
    }
    std::memset(out, 0, sizeof *out);
    FeatureLocator locator(image, width, height, radii);
    if (!locator.Ready()) return -15;
    if (haveGiven) locator.Give(given);
    Extraction x{image, width, height, &locator};

    const auto fail = [&](int32_t code, const char* format, int number) {
        FreeTemplate(out);
        if (format) SetMessage(errtext, format, number);
        return code;
    };

    // Close the request over the dependencies.
    uint32_t closed = requested;
    for (bool added = true; added;) {
        added = false;
        for (int i = 0; table[i].tag; ++i)
            if ((closed & table[i].tag) && (closed | table[i].depends) != closed) closed |= table[i].depends, added = true;
    }

    std::vector<uint8_t> buffer(kOutputSize);
    for (int i = 0; table[i].tag; ++i) {
        const FeatureKind& k = table[i];
        if (!(closed & k.tag)) continue;
        LocationResult loc{};
        if (locator.Run(k.method, &loc) != 0 && locator.Run(0, &loc) != 0 && locator.Run(13, &loc) != 0)
            return fail(-8, "Location failed for feature %d", int(k.tag));
        if (!k.extract) continue;
        const int32_t n = k.extract(x, loc, buffer.data());
        if (n < 0 || n > kOutputSize) return fail(-10, "Extract failed for feature %d", int(k.tag));
        if (n == 0) continue;
        if (n != k.length) return fail(-13, "Feature length mismatch", 0);
        x.block[i] = static_cast<uint8_t*>(IrisAlignedAlloc(size_t(n), 16, buffer.data()));
        if (!x.block[i]) return fail(-15, nullptr, 0);
        x.length[i] = n;
    }
    for (int i = 0; table[i].tag; ++i) {
        const FeatureKind& k = table[i];
        if (!(requested & k.tag)) continue;
        uint8_t* data = nullptr;
        const int32_t n = k.collect(x, i, &data);
        // A composite whose component gave nothing cannot be assembled.
        if (n < 0 || (n == 0 && !k.extract)) return fail(-10, "Extract failed for feature %d", int(k.tag));
        if (n == 0) continue;
        if (n != k.length) {
            if (!k.extract) IrisAlignedFree(data);
            return fail(-13, "Feature length mismatch", 0);
        }
        if (out->count >= IRIS_MAX_FEATURES) {
            if (!k.extract) IrisAlignedFree(data);
            return fail(-10, "Extract failed for feature %d", int(k.tag));
        }
        const int c = out->count++;
        out->id[c] = uint8_t(k.id), out->version[c] = k.version, out->data[c] = data, out->length[c] = n;
    }
    LocationResult loc{};
    if (locator.Run(0, &loc) != 0) return fail(-8, "Location failed for feature %d", 0);
    out->geometry = static_cast<IrisLocation*>(std::calloc(1, sizeof(IrisLocation)));
    out->quality = static_cast<IrisQualityRecord*>(std::calloc(1, sizeof(IrisQualityRecord)));
    if (!out->geometry || !out->quality) return fail(-15, nullptr, 0);
    LocationToRecord(loc, out->geometry);
    if (AnalyseTemplateQuality(image, width, height, *out->geometry, out->quality) != 0)
        return fail(-19, "Quality analyse failed", 0);
    return 0;
}

}  // namespace irisalg
