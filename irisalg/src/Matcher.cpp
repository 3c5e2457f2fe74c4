// The matcher: weighted Hamming comparison of iris codes over circular byte shifts, the match
// function of each feature kind, and verification and search over templates.

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "irisalg/IrisAlg.h"
#include "irisalg/IrisEncode.h"

namespace irisalg {

namespace {

constexpr int kMaxRows = 15, kMaxWidth = 128, kMaxShift = kMaxWidth / 2 - 1;
constexpr int kExtended = kMaxWidth + 2 * kMaxShift;
constexpr int kQuickScreen = 5450, kDefaultQuick = 5600;

uint64_t Load(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Bytes counted once at the start of a row (the rest count twice).
int SingleBytes(const CompareOptions& o) { return o.mode == 0 ? 3 * o.width / 8 : o.width / 2; }

bool Valid(const CompareOptions& o) {
    return o.width > 0 && o.width <= kMaxWidth && o.width % 8 == 0 && SingleBytes(o) % 8 == 0 && o.rows >= 1 &&
           o.rows <= kMaxRows;
}

// A row extended circularly by s bytes on both sides.
void Extend(const uint8_t* row, int W, int s, uint8_t* ext) {
    std::memcpy(ext, row + W - s, size_t(s));
    std::memcpy(ext + s, row, size_t(W));
    std::memcpy(ext + s + W, row, size_t(s));
}

}  // namespace

// The comparisons come in a plain build and one for processors with a population-count
// instruction, chosen when the library loads.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TSK_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define TSK_POPCOUNT_CLONES
#endif

void BuildBitCountTable() {
    // Counting runs on the processor's population count over 64-bit words, which gives the
    // same counts as a 16-bit table; nothing needs building.
}

TSK_POPCOUNT_CLONES int32_t MaskedHammingDistance(const uint8_t* probe, const uint8_t* gallery,
                                                  const uint8_t* probeMask, const uint8_t* galleryMask,
                                                  const CompareOptions& o) {
    if (!Valid(o) || !probe || !gallery || !probeMask || !galleryMask) return -1;
    const int W = o.width, R = o.rows, s = std::clamp(o.shift, 0, W / 2 - 1);
    const int single = SingleBytes(o) / 8, chunks = W / 8;
    uint8_t ext[kMaxRows + 1][kExtended];
    for (int r = 0; r < R; ++r) Extend(probe + r * W, W, s, ext[r]);
    Extend(probeMask, W, s, ext[R]);
    int64_t best = 0xFFFFF;
    bool overlap = false;
    for (int t = -s; t <= s; ++t) {
        int64_t M = 0, X = 0;
        for (int c = 0; c < chunks; ++c) {
            const int weight = c < single ? 1 : 2;
            const uint64_t m = Load(ext[R] + s + t + 8 * c) & Load(galleryMask + 8 * c);
            if (!m) continue;
            M += weight * std::popcount(m);
            for (int r = 0; r < R; ++r)
                X += weight * std::popcount((Load(ext[r] + s + t + 8 * c) ^ Load(gallery + r * W + 8 * c)) & m);
        }
        M *= R;
        if (M <= 0) continue;
        overlap = true;
        best = std::min(best, X * 32768 / M);
    }
    // No shift has a valid bit in common: nothing speaks for a match.
    if (!overlap) return 0;
    return int32_t((1.0f - float(best) / 32768.0f) * 10000.0f);
}

TSK_POPCOUNT_CLONES int32_t UnmaskedHammingDistance(const uint8_t* probe, const uint8_t* gallery,
                                                    const CompareOptions& o) {
    if (!Valid(o) || !probe || !gallery) return -1;
    const int W = o.width, R = o.rows, s = std::clamp(o.shift, 0, W / 2 - 1);
    const int single = SingleBytes(o) / 8, chunks = W / 8;
    uint8_t ext[kMaxRows][kExtended];
    for (int r = 0; r < R; ++r) Extend(probe + r * W, W, s, ext[r]);
    int64_t best = INT64_MAX;
    for (int t = -s; t <= s; ++t) {
        int64_t X = 0;
        for (int c = 0; c < chunks; ++c) {
            const int weight = c < single ? 1 : 2;
            for (int r = 0; r < R; ++r)
                X += weight * std::popcount(Load(ext[r] + s + t + 8 * c) ^ Load(gallery + r * W + 8 * c));
        }
        best = std::min(best, X);
    }
    const int K = SingleBytes(o) / 2;
    const int64_t full = int64_t(K + 2 * (W / 2 - K)) * 16 * R;
    return int32_t(10000 - best * 10000 / full);
}

namespace {

int32_t Masked(const uint8_t* p, const uint8_t* g, int code, int mask, int rows, int mode, int shift, int width = 128) {
    return MaskedHammingDistance(p + code, g + code, p + mask, g + mask, {rows, shift, mode, width});
}

int32_t Plain(const uint8_t* p, const uint8_t* g, int32_t length, int32_t shift, int mode) {
    const int R = length / 128 - 1;
    if (R < 1) return -1;
    return Masked(p, g, 0, R * 128, R, mode, shift);
}

// The weighted combination of id 38 (masks at m36, m32, m34): sum of term x rows.
int64_t Combination38(const uint8_t* p, const uint8_t* g, int shift, int m36, int m32, int m34, int terms = 6) {
    struct Term {
        int code, mask, rows, mode;
    };
    const Term t[6] = {{0, m32, 1, 0}, {128, m36, 1, 1}, {256, m34, 1, 0},
                       {384, m36, 5, 1}, {1024, m32, 3, 0}, {1408, m34, 1, 0}};
    int64_t sum = 0;
    for (int i = 0; i < terms; ++i) sum += int64_t(t[i].rows) * Masked(p, g, t[i].code, t[i].mask, t[i].rows, t[i].mode, shift);
    return sum;
}

int32_t Match38Variant6(const uint8_t* p, const uint8_t* g, int shift, int32_t parameter) {
    const uint8_t m = parameter ? uint8_t(parameter) : 0x5A;
    const auto build = [&](const uint8_t* d, int odd, uint8_t* code, uint8_t* mask) {
        for (int k = 0; k < 64; ++k) {
            const int i = 2 * k + odd;
            code[k] = uint8_t((d[128 + i] & ~m) | (d[i] & m));
            mask[k] = d[1536 + i];
        }
    };
    uint8_t gc[64], gm[64], pc[64], pm[64];
    build(g, 0, gc, gm);
    int32_t best = -1;
    for (int odd = 0; odd < 2; ++odd) {
        build(p, odd, pc, pm);
        best = std::max(best, MaskedHammingDistance(pc, gc, pm, gm, {1, shift, 1, 64}));
    }
    return best;
}

int32_t Match39(const uint8_t* p, const uint8_t* g, int32_t length, int shift, int variant, int32_t parameter) {
    if (variant == 2) {
        const int half = length / 2, rowsMax = half / 128;
        const int B = parameter >= 1 && parameter <= rowsMax ? parameter : rowsMax;
        if (B < 1) return -1;
        std::vector<uint8_t> gs(size_t(half / 2)), p0(size_t(half / 2)), p1(size_t(half / 2));
        for (int i = 0; i < half / 2; ++i) gs[size_t(i)] = g[2 * i], p0[size_t(i)] = p[2 * i], p1[size_t(i)] = p[2 * i + 1];
        const CompareOptions o{B, shift, 1, 64};
        return std::max(UnmaskedHammingDistance(p0.data(), gs.data(), o), UnmaskedHammingDistance(p1.data(), gs.data(), o));
    }
    const int B = parameter >= 1 && parameter <= 4 ? parameter : 4;
    if (variant == 1) return UnmaskedHammingDistance(p, g, {B, shift, 1, 128});
    int64_t sum = 0;
    for (int k = 0; k < B; ++k) sum += Masked(p, g, 128 * k, 512 + 128 * k, 1, 1, shift);
    return int32_t(sum / B);
}

}  // namespace

int32_t MatchFeature(const FeatureKind* kind, const uint8_t* p, const uint8_t* g, int32_t length, int32_t shift) {
    if (!kind || !p || !g || length != FeatureLength(kind)) return -1;
    const int variant = FeatureMatchVariant(kind);
    const int32_t parameter = FeatureMatchParameter(kind);
    switch (FeatureKindId(kind)) {
    case 32: case 33: case 34: case 35: return Plain(p, g, length, shift, 0);
    case 36: case 40: return Plain(p, g, length, shift, 1);
    case 37: return UnmaskedHammingDistance(p, g, {4, shift, 1, 128});
    case 39: return Match39(p, g, length, shift, variant, parameter);
    case 38:
        switch (variant) {
        case 1: return int32_t(Combination38(p, g, shift, 1536, 1664, 1792) / 12);
        case 2: return int32_t(Combination38(p, g, shift, 1536, 1664, 1792, 2) / 2);
        case 3: return UnmaskedHammingDistance(p, g, {2, shift, 1, 128});
        case 4: return int32_t(Combination38(p, g, shift, 1536, 1664, 1792, 1));
        case 5: return UnmaskedHammingDistance(p, g, {1, shift, 1, 128});
        case 6: return Match38Variant6(p, g, shift, parameter);
        default: {
            const int32_t quick = Masked(p, g, 0, 1536, 4, 0, shift);
            if (quick < kQuickScreen) return quick / 2;
            return int32_t(Combination38(p, g, shift, 1536, 1664, 1792) / 12);
        }
        }
    case 41: {
        if (variant != 1) {
            const int32_t quick = Masked(p, g, 0, 1920, 4, 0, shift);
            if (quick < kQuickScreen) return quick / 2;
        }
        const int64_t sum = Combination38(p, g, shift, 1920, 2048, 2176) + 3 * int64_t(Masked(p, g, 1536, 1920, 3, 1, shift));
        return int32_t(sum / 15);
    }
    default: return -1;
    }
}

namespace {

bool SameKind(const IMF* a, const IMF* b, int i) {
    return a->id[i] == b->id[i] && (a->version[i] >> 8) == (b->version[i] >> 8);
}

// A template's features are readable: a known kind has exactly its length.
bool Readable(const IMF* t) {
    if (t->count < 0 || t->count > IRIS_MAX_FEATURES) return false;
    for (int i = 0; i < t->count; ++i) {
        if (!t->data[i] || t->length[i] <= 0) return false;
        const FeatureKind* k = FindFeatureKind(t->id[i]);
        if (k && t->length[i] != FeatureLength(k)) return false;
    }
    return true;
}

bool Unusable(const IMF* t) { return t->quality && t->quality->bytes[0] == 0; }

int32_t Match(const IMF* probe, const IMF* gallery, int i, int shift) {
    return MatchFeature(FindFeatureKind(probe->id[i]), probe->data[i], gallery->data[i], gallery->length[i], shift);
}

// Mean of the match results of the comparable features except `skip`; false when there is none.
bool FullComparison(const IMF* probe, const IMF* gallery, int n, int skip, int shift, int32_t* score) {
    int64_t sum = 0;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        if (i == skip || !SameKind(probe, gallery, i) || !FindFeatureKind(probe->id[i])) continue;
        sum += Match(probe, gallery, i, shift);
        ++count;
    }
    if (count) *score = int32_t(sum / count);
    return count > 0;
}

int QuickIndex(const int32_t* options, int n) { return options[1] >= 1 && options[1] <= n ? options[1] - 1 : 0; }

}  // namespace

int32_t ShiftFromRotation(const int32_t* options) {
    if (!options) return 4;
    if (options[3] < 0) return 0;
    if (options[3] > 45) return 15;
    return options[3] / 3;
}

int32_t VerifyTemplates(const IMF* probe, const IMF* gallery, int32_t* score, const int32_t* options,
                        char* errtext) {
    if (!probe || !gallery || !score) {
        SetMessage(errtext, "Unexpected NULL input pointer");
        return -11;
    }
    if (probe->count <= 0) {
        SetMessage(errtext, "Invalidate probe feature");
        return -18;
    }
    if (gallery->count <= 0) {
        SetMessage(errtext, "Invalidate gallery feature");
        return -18;
    }
    if (!Readable(probe) || !Readable(gallery)) {
        SetMessage(errtext, "Feature length mismatch");
        return -13;
    }
    if (Unusable(probe) || Unusable(gallery)) {
        *score = 0;
        return 0;
    }
    const int n = std::min(probe->count, gallery->count);
    const int shift = ShiftFromRotation(options);
    *score = -1;
    int skip = -1;
    int32_t quick = -1;
    if (options && options[0] == 1 && n >= 2) {
        const int q = QuickIndex(options, n);
        if (!SameKind(probe, gallery, q)) {
            SetMessage(errtext, "Feature kind mismatch");
            return -17;
        }
        if (!FindFeatureKind(probe->id[q])) return -1;
        quick = Match(probe, gallery, q, shift);
        const int32_t T = options[2] > 4000 && options[2] < 8000 ? options[2] : kDefaultQuick;
        if (quick < T) {
            *score = quick / 2;
            return 0;
        }
        skip = q;
    }
    // A quick result that passed stands when nothing else can be compared.
    if (!FullComparison(probe, gallery, n, skip, shift, score) && skip >= 0) *score = quick;
    return 0;
}

int32_t SearchTemplates(const IMF* probe, const IMF* gallery, int32_t count, int32_t* scores,
                        const int32_t* options, char* errtext) {
    if (!probe || !gallery || !scores) {
        SetMessage(errtext, "Unexpected NULL input pointer");
        return -11;
    }
    if (probe->count <= 0) {
        SetMessage(errtext, "Invalidate probe feature");
        return -18;
    }
    if (!Readable(probe)) {
        SetMessage(errtext, "Feature length mismatch");
        return -13;
    }
    if (count <= 0) return 0;
    std::fill(scores, scores + count, 0);
    if (Unusable(probe)) return 0;
    if (!options || options[0] != 1 || probe->count == 1) {
        const int32_t verifyOptions[4] = {0, 0, 0, options ? options[3] : 12};
        for (int g = 0; g < count; ++g)
            if (VerifyTemplates(probe, &gallery[g], &scores[g], verifyOptions, nullptr) != 0) scores[g] = -1;
        return 0;
    }
    const int q = QuickIndex(options, probe->count);
    const int shift = ShiftFromRotation(options);
    const FeatureKind* kind = FindFeatureKind(probe->id[q]);
    std::vector<char> readable(size_t(count), 0);
    for (int g = 0; g < count; ++g) {
        scores[g] = -1;
        const IMF& e = gallery[g];
        readable[size_t(g)] = Readable(&e) ? 1 : 0;
        if (!readable[size_t(g)] || e.count != probe->count || !SameKind(probe, &e, q)) continue;
        if (Unusable(&e))
            scores[g] = 0;
        else if (kind)
            scores[g] = Match(probe, &e, q, shift);
    }
    std::vector<int32_t> sorted(scores, scores + count);
    std::sort(sorted.begin(), sorted.end(), std::greater<>());
    const int32_t w2 = options[2];
    const int64_t k = w2 >= 2 && w2 <= 9999 ? int64_t(double(w2) * count * 0.0001) : count / 100;
    const int32_t cut = sorted[size_t(std::clamp<int64_t>(k, 0, count - 1))];
    for (int g = 0; g < count; ++g) {
        // An entry without usable iris keeps its 0: it is not compared in full.
        if (scores[g] > cut && readable[size_t(g)] && !Unusable(&gallery[g]))
            FullComparison(probe, &gallery[g], probe->count, q, shift, &scores[g]);
        else
            scores[g] /= 2;
    }
    return 0;
}

}  // namespace irisalg
