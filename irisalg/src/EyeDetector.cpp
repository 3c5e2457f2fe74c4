// The algorithm library's eye detector: run-time cascades in one arena each, the window search
// with voted grouping, eye-region detection on a padded and reduced image, and the side check.
#include "irisalg/EyeDetector.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numeric>

#include "irisalg/EyeCascadeTable.h"

namespace irisalg {

namespace tbl = cascade;

namespace {

constexpr double kStepDown = 0.8333333333333334;  // 1 / 1.2 as a double

int32_t RoundHalfUp(double v) { return int32_t(v + 0.5); }

// Places n objects of type T in the arena; null when they do not fit.
template <class T>
T* Place(EyeCascade* c, size_t n) {
    const size_t at = (c->used + alignof(T) - 1) / alignof(T) * alignof(T);
    if (at > kCascadeArenaBytes || n > (kCascadeArenaBytes - at) / sizeof(T)) return nullptr;
    c->used = at + n * sizeof(T);
    return reinterpret_cast<T*>(c->arena + at);
}

// Integer square root, two bits per step over the 64-bit value.
uint64_t IntegerSqrt(uint64_t v) {
    uint64_t root = 0, bit = uint64_t(1) << 62;
    while (bit > v) bit >>= 2;
    while (bit) {
        if (v >= root + bit) {
            v -= root + bit;
            root = (root >> 1) + bit;
        } else {
            root >>= 1;
        }
        bit >>= 2;
    }
    return root;
}

}  // namespace

void FreeCascade(EyeCascade* cascade) {
    if (!cascade) return;
    std::free(cascade->arena);
    delete cascade;
}

EyeCascade* LoadCascade(const int32_t* table, int32_t scales) {
    if (!table || table[1] < 0) return nullptr;
    auto* c = new (std::nothrow) EyeCascade{};
    if (!c) return nullptr;
    c->arena = static_cast<uint8_t*>(std::calloc(kCascadeArenaBytes, 1));
    if (!c->arena) {
        delete c;
        return nullptr;
    }
    c->stages = table[1];
    c->scales = scales;
    c->width = table[2];
    c->height = table[3];
    int64_t* area = Place<int64_t>(c, tbl::kScales);
    c->stage = Place<EyeCascadeStage>(c, size_t(c->stages));
    if (!area || (c->stages && !c->stage)) {
        FreeCascade(c);
        return nullptr;
    }
    double f = 1.0;
    for (int k = tbl::kScales - 1; k >= 0; --k) {
        area[k] = int64_t(RoundHalfUp((c->width - 2) * f)) * RoundHalfUp((c->height - 2) * f);
        f *= 1.2;
    }
    c->area = area;
    const int32_t* w = table + 4;
    for (int32_t s = 0; s < c->stages; ++s) {
        EyeCascadeStage& st = c->stage[s];
        st.features = w[0];
        std::memcpy(st.count, w + 1, sizeof st.count);
        st.threshold = w[7] - 358;
        w += 8;
        const size_t n = size_t(st.features), corners = (2 * n + size_t(st.count[2])) * 4;
        for (int k = 0; k < tbl::kScales; ++k)
            if (!(st.corners[k] = Place<int32_t>(c, corners))) break;
        int32_t* bins = Place<int32_t>(c, 2 * n);
        int32_t* lut = Place<int32_t>(c, 48 * n);
        uint32_t* geometry = Place<uint32_t>(c, 3 * n);
        // A table that does not fit the arena is refused, never used half loaded.
        if (!st.corners[tbl::kScales - 1] || !bins || !lut || !geometry) {
            FreeCascade(c);
            return nullptr;
        }
        st.bins = bins;
        st.lut = lut;
        st.geometry = geometry;
        for (int k = 0; k < tbl::kKinds; ++k) {
            for (int32_t i = 0; i < st.count[k]; ++i) {
                const int gw = tbl::GeometryWords(k);
                for (int j = 0; j < gw; ++j) *geometry++ = uint32_t(w[j]);
                w += gw;
                std::memcpy(lut, w, 48 * sizeof(int32_t));
                lut += 48;
                w += 48;
                *bins++ = 8192 - w[0];
                *bins++ = w[1];
                w += 2;
            }
        }
    }
    return c;
}

void PrepareScales(EyeCascade* c, const uint32_t* sum, const uint64_t* squares, int32_t width) {
    c->sum = sum;
    c->squares = squares;
    c->stride = width + 1;
    double f = 1.0;
    for (int k = tbl::kScales - 1; k >= 0; --k, f *= 1.2) {
        const int32_t s = int32_t(f * 1024);
        for (int32_t st = 0; st < c->stages; ++st) {
            EyeCascadeStage& stage = c->stage[st];
            const uint32_t* g = stage.geometry;
            int32_t* pt = stage.corners[k];
            for (int kind = 0; kind < tbl::kKinds; ++kind) {
                for (int32_t i = 0; i < stage.count[kind]; ++i) {
                    tbl::ScaledRect rects[3];
                    const int n = tbl::ScaleFeature(tbl::Scaling::Algorithm, kind, g, s, rects);
                    pt += tbl::CornerOffsets(rects, n, c->stride, pt);
                    g += tbl::GeometryWords(kind);
                }
            }
        }
    }
}

void SetScale(EyeCascade* c, double factor) {
    const int32_t inset = RoundHalfUp(factor);
    const int32_t w = RoundHalfUp((c->width - 2) * factor), h = RoundHalfUp((c->height - 2) * factor);
    const size_t o = size_t(inset) * size_t(c->stride) + size_t(inset);
    c->s0 = c->sum + o;
    c->s1 = c->s0 + w;
    c->s2 = c->s0 + size_t(h) * size_t(c->stride);
    c->s3 = c->s2 + w;
    c->q0 = c->squares + o;
    c->q1 = c->q0 + w;
    c->q2 = c->q0 + size_t(h) * size_t(c->stride);
    c->q3 = c->q2 + w;
}

int32_t EvaluateWindow(const EyeCascade* c, int32_t x, int32_t y, int32_t scale, int32_t* margin) {
    const size_t o = size_t(y) * size_t(c->stride) + size_t(x);
    const uint32_t sum = c->s0[o] - c->s1[o] - c->s2[o] + c->s3[o];
    const uint64_t sq = c->q0[o] - c->q1[o] - c->q2[o] + c->q3[o];
    const int64_t v = int64_t(sq) * c->area[scale] - int64_t(sum) * int64_t(sum);
    if (v <= 0) {
        if (margin) *margin = 0;
        return 0;
    }
    const int64_t norm = (int64_t(1) << 28) / int64_t(IntegerSqrt(uint64_t(v)));
    const uint32_t* p = c->sum + o;
    for (int32_t st = 0; st < c->stages; ++st) {
        const EyeCascadeStage& stage = c->stage[st];
        const int32_t* pt = stage.corners[scale];
        const int32_t* bins = stage.bins;
        const int32_t* lut = stage.lut;
        // The stage sum is kept in 64 bits: 120 entries at the limit would wrap 32.
        int64_t acc = 0;
        for (int kind = 0; kind < tbl::kKinds; ++kind) {
            for (int32_t i = 0; i < stage.count[kind]; ++i) {
                acc += lut[tbl::BinOf(int64_t(tbl::FeatureValue(kind, p, pt)) * norm, bins[0], bins[1])];
                pt += kind == 2 ? 12 : 8;
                bins += 2;
                lut += 48;
            }
        }
        if (acc - stage.threshold < 0) {
            if (margin) *margin = int32_t(uint32_t(uint64_t(acc - stage.threshold)));
            return -st;
        }
    }
    return 1;
}

std::vector<EyeWindowGroup> SearchWindows(const uint8_t* image, int32_t width, int32_t height, EyeCascade* c,
                                          int32_t minNeighbours, int32_t scanMode) {
    if (width < c->width || height < c->height) return {};
    const size_t cells = (size_t(width) + 1) * (size_t(height) + 1);
    std::vector<uint32_t> sum(cells);
    std::vector<uint64_t> squares(cells);
    tbl::IntegralImages(image, width, height, width, sum.data(), squares.data());
    PrepareScales(c, sum.data(), squares.data(), width);

    double f = 1.0;
    int32_t index = tbl::kScales;
    const double limit = std::min(double(width - 1) / c->width, double(height - 1) / c->height) - 0.01;
    while (f < limit) {
        f *= 1.2;
        --index;
    }
    f *= kStepDown;
    for (; index < 0; ++index) f *= kStepDown;

    std::vector<EyeWindowGroup> hits;
    for (; f > 0.99 && index < tbl::kScales; f *= kStepDown, ++index) {
        const int32_t ww = RoundHalfUp(c->width * f), wh = RoundHalfUp(c->height * f);
        SetScale(c, f);
        auto visit = [&](int32_t x, int32_t y) {
            if (EvaluateWindow(c, x, y, index, nullptr) > 0) hits.push_back({x, y, ww, wh, 0});
        };
        if (scanMode == 0) {
            const int32_t nx = (width - ww - 1) / 2, ny = (height - wh - 1) / 2;
            if (nx < 1 || ny < 1) continue;
            for (int32_t j = 0; j < ny; ++j)
                for (int32_t i = 0; i < nx; ++i) visit((512 + 2048 * i) >> 10, (512 + 2048 * j) >> 10);
        } else {
            const int32_t rowStep = (ww + 8) / 16, colStep = (ww * 1024 / 10 + 512) >> 10;
            if (height - wh < 1 || width - ww < 1) continue;
            for (int32_t y = 0; y < height - wh; y += rowStep)
                for (int32_t x = 0; x < width - ww; x += colStep) visit(x, y);
        }
    }
    return GroupWindows(hits, minNeighbours);
}

std::vector<EyeWindowGroup> GroupWindows(const std::vector<EyeWindowGroup>& hits, int32_t minNeighbours) {
    std::vector<EyeWindowGroup> groups;
    if (minNeighbours <= 0) return hits;
    // Classes of the closure of "alike" over the hits, numbered by their first member.
    const size_t n = hits.size();
    std::vector<size_t> parent(n);
    std::iota(parent.begin(), parent.end(), size_t(0));
    auto root = [&](size_t i) {
        while (parent[i] != i) i = parent[i] = parent[parent[i]];
        return i;
    };
    auto like = [](const EyeWindowGroup& a, const EyeWindowGroup& b) {
        const int32_t d = RoundHalfUp(0.2 * a.width);
        return std::abs(b.x - a.x) <= d && std::abs(b.y - a.y) <= d && b.width <= RoundHalfUp(1.2 * a.width) &&
               RoundHalfUp(1.2 * b.width) >= a.width;
    };
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j)
            if (like(hits[i], hits[j]) || like(hits[j], hits[i])) {
                const size_t a = root(i), b = root(j);
                if (a != b) parent[std::max(a, b)] = std::min(a, b);
            }
    std::vector<int64_t> sx(n), sy(n), sw(n), sh(n), count(n);
    for (size_t i = 0; i < n; ++i) {
        const size_t r = root(i);
        sx[r] += hits[i].x;
        sy[r] += hits[i].y;
        sw[r] += hits[i].width;
        sh[r] += hits[i].height;
        ++count[r];
    }
    for (size_t i = 0; i < n; ++i) {
        const int64_t k = count[i];
        if (k == 0 || k < minNeighbours) continue;
        groups.push_back({int32_t((2 * sx[i] + k) / (2 * k)), int32_t((2 * sy[i] + k) / (2 * k)),
                          int32_t((2 * sw[i] + k) / (2 * k)), int32_t((2 * sh[i] + k) / (2 * k)), int32_t(k)});
    }
    return groups;
}

void ReduceRegion(const uint8_t* src, int32_t srcWidth, int32_t x0, int32_t y0, int32_t regionWidth,
                  int32_t regionHeight, uint8_t* dst, int32_t dstWidth, int32_t dstHeight) {
    const int64_t sx = (int64_t(regionWidth) << 16) / dstWidth, sy = (int64_t(regionHeight) << 16) / dstHeight;
    for (int32_t j = 0; j < dstHeight; ++j) {
        const int64_t Y = int64_t(y0) * 65536 + j * sy;
        const int64_t r = Y >> 16, fy = Y - (r << 16);
        const uint8_t* p0 = src + r * srcWidth;
        const uint8_t* p1 = fy ? p0 + srcWidth : p0;  // a zero weight never reads the row below
        for (int32_t i = 0; i < dstWidth; ++i) {
            const int64_t X = int64_t(x0) * 65536 + i * sx;
            const int64_t col = X >> 16, fx = X - (col << 16);
            const int64_t c1 = fx ? col + 1 : col;
            const int64_t top = ((p0[col] * (65536 - fx) + p0[c1] * fx) >> 16) & 255;
            const int64_t bottom = ((p1[col] * (65536 - fx) + p1[c1] * fx) >> 16) & 255;
            dst[size_t(j) * size_t(dstWidth) + size_t(i)] = uint8_t((top * (65536 - fy) + bottom * fy) >> 16);
        }
    }
}

std::vector<uint8_t> PadImage(const uint8_t* image, int32_t width, int32_t height) {
    const int32_t pw = width + 2 * kDetectorPad, ph = height + 2 * kDetectorPad;
    std::vector<uint8_t> out(size_t(pw) * size_t(ph));
    // The second-to-last row and column, or the only one of a one-pixel image.
    const int32_t lastRow = std::max(0, height - 2), lastCol = std::max(0, width - 2);
    for (int32_t y = 0; y < ph; ++y) {
        const int32_t sy = y < kDetectorPad ? 0 : y >= kDetectorPad + height ? lastRow : y - kDetectorPad;
        const uint8_t* row = image + size_t(sy) * size_t(width);
        uint8_t* d = out.data() + size_t(y) * size_t(pw);
        std::memset(d, row[0], kDetectorPad);
        std::memcpy(d + kDetectorPad, row, size_t(width));
        std::memset(d + kDetectorPad + width, row[lastCol], kDetectorPad);
    }
    return out;
}

int32_t DetectorCreate(const int32_t* options, DetectorContext** out) {
    if (!out) return kDetectorLoadFailed;
    *out = nullptr;
    auto* ctx = new (std::nothrow) DetectorContext{};
    auto* set = new (std::nothrow) DetectorContext::ClassifierSet{};
    if (!ctx || !set) {
        delete ctx;
        delete set;
        return kDetectorLoadFailed;
    }
    ctx->set = set;
    set->eye = LoadCascade(options && options[0] ? tbl::kEyeTable1 : tbl::kEyeTable2, tbl::kScales);
    set->side = LoadCascade(tbl::kSideTable, tbl::kScales);
    set->result = static_cast<int32_t*>(std::calloc(16000, 1));
    if (!set->eye || !set->side || !set->result) {
        DetectorDestroy(ctx);
        return kDetectorLoadFailed;
    }
    ctx->created = 1;
    *out = ctx;
    return 0;
}

int32_t DetectorDestroy(DetectorContext* ctx) {
    if (!ctx) return kDetectorNoSet;
    ctx->created = 0;
    if (!ctx->set) {
        // A context without classifier set is still released; the code tells the caller.
        delete ctx;
        return kDetectorNoSet;
    }
    FreeCascade(ctx->set->eye);
    FreeCascade(ctx->set->side);
    std::free(ctx->set->result);
    delete ctx->set;
    delete ctx;
    return 0;
}

namespace {

int32_t CheckImage(const DetectorContext* ctx, const uint8_t* image, int32_t width, int32_t height, int32_t bits) {
    if (!ctx || ctx->created != 1 || !ctx->set) return kDetectorNotBuilt;
    if ((bits != 8 && bits != 24) || !image || width < 1 || height < 1) return 2;
    if (bits == 24) return -3;
    return 0;
}

// Best group: the first, replaced only by a larger neighbour count.
const EyeWindowGroup* Best(const std::vector<EyeWindowGroup>& groups) {
    const EyeWindowGroup* best = groups.empty() ? nullptr : &groups[0];
    for (const auto& g : groups)
        if (g.neighbours > best->neighbours) best = &g;
    return best;
}

}  // namespace

int32_t DetectEyeRegion(DetectorContext* ctx, const uint8_t* image, int32_t width, int32_t height, int32_t bits,
                        int32_t workingCode, int32_t minNeighbours, EyeRegionResult* result, int32_t scanMode,
                        int32_t borderMode) {
    if (const int32_t rc = CheckImage(ctx, image, width, height, bits); rc != 0) return rc;
    if (!result) return 2;
    *result = EyeRegionResult{};
    if (borderMode != 0 && borderMode != 1) return 0;
    std::vector<uint8_t> padded;
    const uint8_t* src = image;
    int32_t sw = width, sh = height;
    if (borderMode == 0) {
        padded = PadImage(image, width, height);
        src = padded.data();
        sw = width + 2 * kDetectorPad;
        sh = height + 2 * kDetectorPad;
    }
    const int32_t working = workingCode < 2 ? 160 : workingCode * 32;
    std::vector<uint8_t> reduced;
    const bool reduce = sw > working;
    int32_t rw = sw, rh = sh;
    if (reduce) {
        rw = working;
        rh = int32_t(int64_t(sh) * working / sw);
        if (rh < 1) return 0;
        reduced.resize(size_t(rw) * size_t(rh));
        ReduceRegion(src, sw, 0, 0, sw, sh, reduced.data(), rw, rh);
        src = reduced.data();
    }
    const std::vector<EyeWindowGroup> groups =
        SearchWindows(src, rw, rh, ctx->set->eye, minNeighbours, scanMode == 0 ? 1 : 0);
    const EyeWindowGroup* best = Best(groups);
    if (!best) return 0;
    EyeWindowGroup g = *best;
    if (reduce && int64_t(g.width) * g.height > 0) {
        const int64_t factor = (int64_t(sw) << 16) / working;
        g.x = int32_t((g.x * factor) >> 16);
        g.y = int32_t((g.y * factor) >> 16);
        g.width = int32_t((g.width * factor) >> 16);
        g.height = int32_t((g.height * factor) >> 16);
    }
    if (borderMode == 0) {
        g.x = std::max(0, g.x - kDetectorPad);
        g.y = std::max(0, g.y - kDetectorPad);
    }
    if (g.x + g.width >= width) g.width = width - g.x - 1;
    if (g.y + g.height >= height) g.height = height - g.y - 1;
    // A box that starts on or past the last pixel has nothing left inside the image.
    if (g.width < 1 || g.height < 1) return 0;
    *result = {g.neighbours, g.x, g.y, g.width, g.height};
    std::memcpy(ctx->set->result, &result->x, 4 * sizeof(int32_t));
    return 0;
}

int32_t SideRegionWidth(int32_t regionWidth, int32_t radius) {
    const int32_t target = ((18 * regionWidth / radius + 3) & ~3) + 4;
    return regionWidth > target ? target : regionWidth;
}

int32_t SideCheck(DetectorContext* ctx, const uint8_t* image, int32_t width, int32_t height, int32_t bits,
                  const int32_t circle[3], SideCheckRecord* rec) {
    if (const int32_t rc = CheckImage(ctx, image, width, height, bits); rc != 0) return rc;
    if (!circle || !rec) return 2;
    *rec = SideCheckRecord{};
    const int32_t r = circle[2];
    if (r <= 0) {
        rec->confidence = -20.0f;
        return 0;
    }
    const std::vector<uint8_t> padded = PadImage(image, width, height);
    const int32_t pw = width + 2 * kDetectorPad, ph = height + 2 * kDetectorPad;
    const int32_t cx = circle[0] + kDetectorPad, cy = circle[1] + kDetectorPad;
    const int32_t top = std::max(0, cy - r), bottom = std::min(cy + 2 * r, ph - 1);
    struct Found {
        int32_t x = 0, y = 0, count = 0;
    } sides[2];
    for (int side = 0; side < 2; ++side) {
        const int32_t start = side ? std::max(0, cx + r / 2) : 0;
        const int32_t end = side ? pw - 1 : std::min(pw - 1, cx - r / 2 - 1);
        const int32_t wr = end - start + 1, hr = bottom - top + 1;
        if (wr < 1 || hr < 1) continue;
        const int32_t target = SideRegionWidth(wr, r);
        std::vector<uint8_t> region;
        int32_t w = wr, h = hr;
        int64_t factor = 65536;
        if (target < wr) {
            w = target;
            h = int32_t(int64_t(hr) * target / wr);
            if (h < 1) continue;
            factor = (int64_t(wr) << 16) / target;
            region.resize(size_t(w) * size_t(h));
            ReduceRegion(padded.data(), pw, start, top, wr, hr, region.data(), w, h);
        } else {
            region.resize(size_t(w) * size_t(h));
            for (int32_t y = 0; y < h; ++y)
                std::memcpy(region.data() + size_t(y) * size_t(w), padded.data() + size_t(top + y) * size_t(pw) + size_t(start), size_t(w));
        }
        if (side)
            for (int32_t y = 0; y < h; ++y) std::reverse(region.begin() + long(y) * w, region.begin() + long(y + 1) * w);
        const std::vector<EyeWindowGroup> groups = SearchWindows(region.data(), w, h, ctx->set->side, 3, 1);
        const EyeWindowGroup* best = Best(groups);
        if (!best || best->neighbours < 1) continue;
        const int32_t bx = side ? ((w - best->x - 1) * factor >> 16) + start : ((best->x * factor) >> 16) + start;
        const int32_t by = int32_t((best->y * factor) >> 16) + top;
        const int32_t bw = int32_t((best->width * factor) >> 16), bh = int32_t((best->height * factor) >> 16);
        sides[side] = {side ? bx - bw / 3 - kDetectorPad : bx + bw / 3 - kDetectorPad, by + bh / 2 - kDetectorPad,
                       best->neighbours};
    }
    if (!sides[0].count && !sides[1].count) {
        rec->confidence = -10.0f;
        return 0;
    }
    if (!sides[0].count) sides[0] = {int32_t(sides[1].x - 4.25 * r), sides[1].y, 1};
    if (!sides[1].count) sides[1] = {int32_t(sides[0].x + 4.25 * r), sides[0].y, 1};
    *rec = {sides[0].x, sides[0].y, sides[0].count, sides[1].x, sides[1].y, sides[1].count, 0.0f};
    double e = std::fabs((sides[0].x + sides[1].x) / 2.0 - circle[0]) / r;
    const double t = (circle[1] + r - (sides[0].y + sides[1].y) / 2.0) / r;
    if (t < 0)
        e = 1;
    else if (t < 0.25)
        e += 0.25 - t;
    rec->confidence = e < 1 ? float(1 - e) : 0.0f;
    return 0;
}

}  // namespace irisalg
