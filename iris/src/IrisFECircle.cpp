// Pupil and iris circle refinement of the boundary search: a coarse-to-fine circle search that
// maximises the mean edge strength along contour points, the pupil refinement on an outward edge
// map, the iris radius estimate from radial grey profiles beside the pupil, and the two-pass iris
// circle fit.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>

#include "iris/IrisFrontEnd.h"
#include "irisalg/IrisAlg.h"

namespace irisfe {

namespace {

constexpr int32_t kTaps7[7] = {5, 14, 28, 34, 28, 14, 5};
constexpr int32_t kTaps9[9] = {4, 8, 16, 23, 26, 23, 16, 8, 4};
constexpr int32_t kTaps17[17] = {1, 3, 4, 6, 8, 10, 12, 13, 14, 13, 12, 10, 8, 6, 4, 3, 1};
constexpr int32_t kTapSum = 128;
constexpr int32_t kExcludedRadius = -999999;

ContourTable gContours[4];
int32_t gSqrt[512];
std::once_flag gTablesOnce;

// One side's arc from `fromDeg` to `toDeg` in `points` even steps (degrees, counter-clockwise from +x).
void Arc(double fromDeg, double toDeg, int points, std::vector<int16_t>& c, std::vector<int16_t>& s) {
    c.resize(size_t(points)), s.resize(size_t(points));
    for (int i = 0; i < points; ++i) {
        const double a = (fromDeg + (toDeg - fromDeg) * i / (points - 1)) * M_PI / 180.0;
        c[size_t(i)] = int16_t(std::lround(std::cos(a) * 256));
        s[size_t(i)] = int16_t(std::lround(std::sin(a) * 256));
    }
}

// A contour of both sides: the right arc walked from its upper end down, then the mirrored left
// arc walked back up, so that neighbouring points lie next to each other.
ContourTable TwoSides(double topDeg, double bottomDeg, int perSide, bool shareBottom) {
    std::vector<int16_t> c, s;
    Arc(topDeg, bottomDeg, perSide, c, s);
    ContourTable t;
    t.cosine = c, t.sine = s;
    for (int i = perSide - 1 - (shareBottom ? 1 : 0); i >= 0; --i) {
        t.cosine.push_back(int16_t(-c[size_t(i)]));
        t.sine.push_back(s[size_t(i)]);
    }
    return t;
}

void BuildTables() {
    gContours[int(Contour::Pupil)] = TwoSides(45.0, -90.0, 136, true);
    gContours[int(Contour::IrisHalf)] = TwoSides(45.0, -63.0, 109, false);
    gContours[int(Contour::IrisFull)] = TwoSides(45.0, -63.0, 155, false);
    Arc(0.0, -40.0, 41, gContours[int(Contour::Profile)].cosine, gContours[int(Contour::Profile)].sine);
    for (int i = 0; i < 512; ++i) gSqrt[i] = int32_t(std::lround(std::sqrt(1024.0 * i)));
}

void Points(const ContourTable& t, int32_t x, int32_t y, int32_t r, int32_t* out) {
    for (int32_t i = 0, n = t.points(); i < n; ++i) {
        out[2 * i] = x + ((t.cosine[size_t(i)] * r) >> 8);
        out[2 * i + 1] = y - ((t.sine[size_t(i)] * r) >> 8);
    }
}

// Smooths each row (and then each column unless `rowsOnly`) with a 128-sum kernel. `scale` is the
// divisor of the result: 128 keeps grey levels, 1 keeps the kernel's gain of 128 (samples the
// kernel does not cover are multiplied by 128 / scale alike).
void Smooth(std::vector<int32_t>& a, int32_t rows, int32_t columns, const int32_t* taps, int32_t n, bool rowsOnly,
            int32_t scale = kTapSum) {
    const int32_t h = n / 2;
    std::vector<int32_t> src = a;
    for (int32_t y = 0; y < rows; ++y)
        for (int32_t x = 0; x < columns; ++x) {
            int64_t acc = 0;
            if (x < h || x >= columns - h) acc = int64_t(src[size_t(y) * columns + x]) * kTapSum;
            else
                for (int32_t k = 0; k < n; ++k) acc += int64_t(taps[k]) * src[size_t(y) * columns + x + k - h];
            a[size_t(y) * columns + x] = int32_t(acc / scale);
        }
    if (rowsOnly) return;
    src = a;
    for (int32_t y = h; y < rows - h; ++y)
        for (int32_t x = 0; x < columns; ++x) {
            int64_t acc = 0;
            for (int32_t k = 0; k < n; ++k) acc += int64_t(taps[k]) * src[size_t(y + k - h) * columns + x];
            a[size_t(y) * columns + x] = int32_t(acc / kTapSum);
        }
}

// Smooths a profile with a 128-sum kernel, keeping the kernel's gain of 128.
void Smooth1D(std::vector<int32_t>& v, const int32_t* taps, int32_t n) {
    Smooth(v, 1, int32_t(v.size()), taps, n, true, 1);
}

// Copies rows r0..r1 and columns c0..c1 (inside the image) into an int32 region.
std::vector<int32_t> Region(const uint8_t* image, int32_t columns, const irisalg::IrisRect& box) {
    const int32_t h = irisalg::RectHeight(box), w = irisalg::RectWidth(box);
    std::vector<int32_t> out(size_t(h) * size_t(w));
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) out[size_t(y) * w + x] = image[size_t(box.r0 + y) * columns + box.c0 + x];
    return out;
}

// Coarse-to-fine circle search: searches, moves to the best circle, halves the steps (ranges
// follow them) until no step is left; the radius range never reaches below `minRadius`.
int32_t CoarseToFine(const int32_t* edge, int32_t width, int32_t height, const uint8_t* mask, const ContourTable& contour,
                     int32_t circle[3], int32_t ranges[3], int32_t steps[3], int32_t minRadius, int32_t* bestScore) {
    int32_t bestCount = 0;
    while (steps[0] > 0 || steps[1] > 0 || steps[2] > 0) {
        if (circle[2] - ranges[2] < minRadius) {
            ranges[2] = std::max(2, (circle[2] - minRadius + ranges[2] + 1) / 2);
            circle[2] = minRadius + ranges[2];
        }
        int32_t best[3] = {circle[0], circle[1], circle[2]};
        const int32_t count =
            IrisFE_CircleSearch(edge, width, height, mask, contour, circle[0], circle[1], circle[2], ranges, steps, best, bestScore);
        if (count > 0) {
            bestCount = count;
            std::copy(best, best + 3, circle);
        }
        for (int k = 0; k < 3; ++k) ranges[k] = steps[k] = steps[k] / 2;
    }
    return bestCount;
}

}  // namespace

const ContourTable& IrisFE_Contour(Contour which) {
    std::call_once(gTablesOnce, BuildTables);
    return gContours[int(which)];
}

const int32_t* IrisFE_SqrtTable() {
    std::call_once(gTablesOnce, BuildTables);
    return gSqrt;
}

int32_t IrisFE_ScaledSqrt(int64_t v) {
    if (v < 0) return 0;
    if (v < 512) return IrisFE_SqrtTable()[v];
    const int64_t target = 1024 * v;
    int64_t x = int64_t(std::sqrt(double(target)));
    while (x * x > target) --x;
    while ((x + 1) * (x + 1) <= target) ++x;
    return int32_t(x);
}

int32_t IrisFE_ContourScore(const int32_t* edge, int32_t rows, int32_t columns, const uint8_t* mask,
                            const int32_t* points, int32_t n, int32_t* sum) {
    int64_t distinct = 0, valid = 0, total = 0;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t x = points[2 * i], y = points[2 * i + 1];
        if (i > 0 && x == points[2 * i - 2] && y == points[2 * i - 1]) continue;
        ++distinct;
        if (x < 0 || y < 0 || x >= columns || y >= rows) continue;
        const size_t at = size_t(y) * columns + x;
        if (mask && mask[at]) continue;
        ++valid;
        total += edge[at];
    }
    if (distinct == 0) {
        *sum = 0;
        return 0;
    }
    *sum = int32_t(total * n / distinct);
    return int32_t(valid * n / distinct);
}

int32_t IrisFE_CircleSearch(const int32_t* edge, int32_t width, int32_t height, const uint8_t* mask,
                            const ContourTable& contour, int32_t x, int32_t y, int32_t r, const int32_t ranges[3],
                            const int32_t steps[3], int32_t best[3], int32_t* bestScore) {
    const int32_t n = contour.points();
    const int32_t dx = std::abs(ranges[0]), dy = std::abs(ranges[1]), dr = std::abs(ranges[2]);
    const int32_t sx = std::max(1, steps[0]), sy = std::max(1, steps[1]), sr = std::max(1, steps[2]);
    const bool skipStart = *bestScore > 0;
    std::vector<int32_t> pts(size_t(2 * n));
    int32_t bestCount = 0;
    for (int32_t R = r - dr; R <= r + dr; R += sr)
        for (int32_t cy = y - dy; cy <= y + dy; cy += sy)
            for (int32_t cx = x - dx; cx <= x + dx; cx += sx) {
                if (skipStart && R == r && cy == y && cx == x) continue;
                Points(contour, cx, cy, R, pts.data());
                int32_t sum = 0;
                const int32_t count = IrisFE_ContourScore(edge, height, width, mask, pts.data(), n, &sum);
                int64_t score = count > 0 && count < n ? int64_t(sum) * n / count : sum;
                // Small circles have few distinct edge pixels: their mean strength counts for less.
                if (R < 20) score = score * 10 / (30 - R);
                if (count > n / 3 && score > *bestScore) {
                    *bestScore = int32_t(std::min<int64_t>(score, INT32_MAX));
                    best[0] = cx, best[1] = cy, best[2] = R;
                    bestCount = count;
                }
            }
    return bestCount;
}

int32_t IrisFE_ProfileMax(const int32_t* values, int32_t n, int32_t* index) {
    int32_t best = INT32_MIN;
    *index = -1;
    for (int32_t i = n - 1; i >= 0; --i)
        if (values[i] > best) best = values[i], *index = i;
    return best;
}

int32_t IrisFE_RefinePupil(const uint8_t* window, int32_t rows, int32_t columns, int32_t circle[3],
                           const int32_t* ranges) {
    const int32_t x = circle[0], y = circle[1], r = circle[2];
    if (x < 0 || y < 0 || x >= columns || y >= rows || r < 5 || r > rows / 2) return irisalg::kBadArgument;
    const int32_t m = ranges && ranges[0] > 0 ? ranges[0] : 18;
    irisalg::IrisRect box{y - r - 24, y + r + 24, x - r - 24, x + r + 24};
    irisalg::ClipIrisRect(&box, rows, columns);
    const int32_t h = irisalg::RectHeight(box), w = irisalg::RectWidth(box);
    std::vector<int32_t> edge;
    std::vector<int32_t> smooth;
    try {
        smooth = Region(window, columns, box);
        edge.assign(smooth.size(), 0);
    } catch (const std::bad_alloc&) {
        return irisalg::kNoMemory;
    }
    Smooth(smooth, h, w, kTaps7, 7, false);
    const int32_t cx = x - box.c0, cy = y - box.r0;
    for (int32_t v = 4; v < h - 4; ++v)
        for (int32_t u = 4; u < w - 4; ++u) {
            const int32_t gx = smooth[size_t(v) * w + u + 1] - smooth[size_t(v) * w + u - 1];
            const int32_t gy = smooth[size_t(v + 1) * w + u] - smooth[size_t(v - 1) * w + u];
            const int64_t g2 = int64_t(gx) * gx + int64_t(gy) * gy;
            // Weak gradients and gradients pointing up (the upper lid and lashes) carry no edge.
            if (g2 < 4 || -gy > std::abs(gx)) continue;
            const int64_t du = u - cx, dv = v - cy, d2 = du * du + dv * dv;
            if (d2 <= 25) continue;
            const int32_t magnitude = IrisFE_ScaledSqrt(g2);
            const int64_t projection = (du * gx + dv * gy) * 8192 / magnitude;
            if (projection <= 0 || (d2 - 12) * 256 > projection * IrisFE_ScaledSqrt(d2)) continue;
            edge[size_t(v) * w + u] = magnitude;
        }
    int32_t c[3] = {cx, cy, r};
    int32_t rg[3] = {std::min(r / 4, 8), std::min(r / 4, 10), std::min(r / 3, 12)};
    int32_t steps[3] = {2, 2, 2};
    int32_t bestScore = 0;
    const int32_t count = CoarseToFine(edge.data(), w, h, nullptr, IrisFE_Contour(Contour::Pupil), c, rg, steps, m, &bestScore);
    if (count > 0) {
        circle[0] = c[0] + box.c0, circle[1] = c[1] + box.r0, circle[2] = c[2];
    }
    return count;
}

namespace {

struct Profile {
    std::vector<int32_t> value;  // weighted derivative per radius index
    int32_t length = 0;
};

// Radial profile of one side: the mean of the darker samples per radius over the profile
// directions, differentiated and weighted by the share of radial edges.
bool SideProfile(const uint8_t* window, int32_t rows, int32_t columns, int32_t cx, int32_t cy, int32_t r0, int32_t count,
                 int32_t excluded, int32_t sign, Profile& out) {
    const ContourTable& dirs = IrisFE_Contour(Contour::Profile);
    const int32_t nd = dirs.points();
    std::vector<int32_t> polar;
    int32_t length = 0;
    for (int32_t k = 0; k < count; ++k) {
        const int32_t R = 2 * (r0 + k);
        int32_t outside = 0;
        std::vector<int32_t> ring(static_cast<size_t>(nd));
        for (int32_t j = 0; j < nd; ++j) {
            int32_t x = cx + sign * ((dirs.cosine[size_t(j)] * R) >> 8), y = cy - ((dirs.sine[size_t(j)] * R) >> 8);
            if (x < 0 || y < 0 || x >= columns || y >= rows) ++outside;
            x = std::clamp(x, 0, columns - 1), y = std::clamp(y, 0, rows - 1);
            ring[size_t(j)] = window[size_t(y) * columns + x];
        }
        if (2 * outside >= nd) break;
        polar.insert(polar.end(), ring.begin(), ring.end());
        ++length;
    }
    if (length == 0) return false;
    int32_t histogram[256] = {};
    for (int32_t v : polar) ++histogram[v];
    const int32_t total = int32_t(polar.size());
    int32_t cut = 240, above = 0;
    for (int32_t level = 255; level >= 1; --level) {
        above += histogram[level];
        if (above > total / 10 / 10) {
            cut = above > total / 10 ? level + 1 : level;
            break;
        }
    }
    std::vector<int32_t> mean, edges;
    for (int32_t k = 0; k < length; ++k) {
        int32_t s = 0, c = 0, e = 0;
        for (int32_t j = 0; j < nd; ++j) {
            const int32_t v = polar[size_t(k) * nd + j];
            if (v < cut) s += v, ++c;
            if (j >= 2 && j < nd - 1 && k > 0 && k + 1 < length) {
                const int32_t radial = polar[size_t(k + 1) * nd + j] - polar[size_t(k - 1) * nd + j];
                const int32_t tangential = polar[size_t(k) * nd + j + 1] - polar[size_t(k) * nd + j - 1];
                if (radial > std::abs(tangential)) ++e;
            }
        }
        if (c == 0) break;
        mean.push_back(s / c);
        edges.push_back(e);
    }
    const int32_t n = int32_t(mean.size());
    const int32_t maxEdges = n ? *std::max_element(edges.begin(), edges.end()) : 0;
    if (n <= std::min(8, excluded) || maxEdges <= 0) return false;
    Smooth1D(mean, kTaps9, 9);
    out.value.assign(size_t(n), 0);
    for (int32_t k = 1; k + 1 < n; ++k) out.value[size_t(k)] = (mean[size_t(k + 1)] - mean[size_t(k - 1)]) * edges[size_t(k)] / maxEdges;
    for (int32_t k = 0; k < std::min(excluded, n); ++k) out.value[size_t(k)] = kExcludedRadius;
    out.length = n;
    return true;
}

// Best value of a profile within +-15 indices of `at`.
int32_t NearMax(const Profile& p, int32_t at, int32_t* index) {
    const int32_t a = std::max(0, at - 15), b = std::min(p.length - 1, at + 15);
    if (a > b) {
        *index = at;
        return kExcludedRadius;
    }
    int32_t i = 0;
    const int32_t v = IrisFE_ProfileMax(p.value.data() + a, b - a + 1, &i);
    *index = a + i;
    return v;
}

}  // namespace

int32_t IrisFE_EstimateIrisRadius(const uint8_t* window, int32_t rows, int32_t columns, WorkingCircles* circles,
                                  int32_t* ranges) {
    const int32_t pr = circles->pupil[2];
    const int32_t p = pr / 2;
    const int32_t minHalf = ranges[2] > 0 ? ranges[2] / 2 : 36;
    const int32_t maxHalf = ranges[3] > 0 ? ranges[3] / 2 : (rows / 2) / 2;
    if (pr < 5 || minHalf >= maxHalf) return irisalg::kBadArgument;
    const int32_t r0 = 5 * p / 4;
    const int32_t count = maxHalf - r0 + 1;
    if (count < 10) return r0 + maxHalf + 1;
    const int32_t excluded = std::max(0, minHalf - r0);
    const int32_t cx = (circles->pupil[0] / 2) * 2, cy = (circles->pupil[1] / 2) * 2;
    Profile left, right;
    bool hasLeft, hasRight;
    try {
        hasLeft = SideProfile(window, rows, columns, cx, cy, r0, count, excluded, -1, left);
        hasRight = SideProfile(window, rows, columns, cx, cy, r0, count, excluded, 1, right);
    } catch (const std::bad_alloc&) {
        return irisalg::kNoMemory;
    }
    if (!hasLeft && !hasRight) return irisalg::kNotFound;
    int32_t index = 0, strength = 0;
    if (!hasLeft || !hasRight || left.length > 2 * right.length || right.length > 2 * left.length) {
        const Profile& only = !hasLeft ? right : !hasRight ? left : left.length > 2 * right.length ? left : right;
        strength = 2 * IrisFE_ProfileMax(only.value.data(), only.length, &index);
    } else {
        int32_t best = INT32_MIN;
        const Profile* sides[2] = {&left, &right};
        for (int s = 0; s < 2; ++s) {
            const Profile& own = *sides[s];
            const Profile& other = *sides[1 - s];
            int32_t i = 0, j = 0;
            const int32_t a = IrisFE_ProfileMax(own.value.data(), own.length, &i);
            const int32_t b = NearMax(other, i, &j);
            const int32_t sum = a + b;
            if (sum >= best) best = sum, strength = sum, index = (i + j + 1) / 2;
        }
    }
    const int32_t radius = (r0 + index) * 2;
    if (radius < 10 || strength < 128) return irisalg::kNotFound;
    circles->iris[0] = circles->pupil[0], circles->iris[1] = circles->pupil[1], circles->iris[2] = radius;
    ranges[4] = strength;
    return 0;
}

namespace {

// Outward horizontal edge map of a band around a circle on a region of `image` (sampled with
// `stride` and `offset`): row-smoothed, left of the centre left minus right neighbour and right of
// it right minus left; values above the cap are masked out.
void IrisEdgeMap(const std::vector<int32_t>& region, int32_t h, int32_t w, int32_t cx, int32_t cy, int32_t r,
                 int32_t band, const int32_t* taps, int32_t ntaps, int32_t cap, std::vector<int32_t>& edge,
                 std::vector<uint8_t>& mask) {
    std::vector<int32_t> s = region;
    Smooth(s, h, w, taps, ntaps, true, 1);
    edge.assign(size_t(h) * size_t(w), 0);
    mask.assign(size_t(h) * size_t(w), 0);
    const int64_t lo = std::max(0, r - band), hi = int64_t(r) + band;
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 1; x + 1 < w; ++x) {
            const int64_t dx = x - cx, dy = y - cy, d2 = dx * dx + dy * dy;
            if (d2 < lo * lo || d2 > hi * hi) continue;
            const int32_t l = s[size_t(y) * w + x - 1], rr = s[size_t(y) * w + x + 1];
            const int32_t e = std::max(0, x < cx ? l - rr : rr - l);
            if (e > cap) mask[size_t(y) * w + x] = 255;
            else edge[size_t(y) * w + x] = e;
        }
}

}  // namespace

int32_t IrisFE_FitIrisCircle(const uint8_t* window, int32_t rows, int32_t columns, WorkingCircles* circles,
                             const int32_t* ranges) {
    const int32_t pr = circles->pupil[2];
    if (pr < 4 || circles->iris[2] <= pr + 4) return irisalg::kBadArgument;
    const int32_t m = ranges[2] > 0 ? ranges[2] : 75;
    const int32_t cap = ranges[4] > 0 ? ranges[4] : 6400;
    try {
        // Half resolution: the window sampled at odd rows and columns.
        const int32_t hr = rows / 2, hc = columns / 2;
        int32_t c[3] = {circles->iris[0] / 2, circles->iris[1] / 2, circles->iris[2] / 2};
        irisalg::IrisRect box{c[1] - c[2] - 12, c[1] + c[2] + 12, c[0] - c[2] - 12, c[0] + c[2] + 12};
        irisalg::ClipIrisRect(&box, hr, hc);
        int32_t h = irisalg::RectHeight(box), w = irisalg::RectWidth(box);
        if (h < 32 || w < 32) return irisalg::kNotFound;
        std::vector<int32_t> region(size_t(h) * size_t(w));
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x)
                region[size_t(y) * w + x] = window[size_t(2 * (box.r0 + y) + 1) * columns + 2 * (box.c0 + x) + 1];
        std::vector<int32_t> edge;
        std::vector<uint8_t> mask;
        IrisEdgeMap(region, h, w, c[0] - box.c0, c[1] - box.r0, c[2], 12, kTaps9, 9, cap, edge, mask);
        int32_t local[3] = {c[0] - box.c0, c[1] - box.r0, c[2]};
        int32_t rg[3] = {4, 0, 4}, steps[3] = {2, 1, 2};
        int32_t bestScore = 0;
        int32_t count = CoarseToFine(edge.data(), w, h, mask.data(), IrisFE_Contour(Contour::IrisHalf), local, rg, steps,
                                     m / 2, &bestScore);
        if (count > 0) c[0] = local[0] + box.c0, c[1] = local[1] + box.r0, c[2] = local[2];

        // Full resolution.
        int32_t f[3] = {c[0] * 2, c[1] * 2, c[2] * 2};
        box = {f[1] - f[2] - 8, f[1] + f[2] + 8, f[0] - f[2] - 8, f[0] + f[2] + 8};
        irisalg::ClipIrisRect(&box, rows, columns);
        h = irisalg::RectHeight(box), w = irisalg::RectWidth(box);
        if (h < 1 || w < 1) return 0;
        region = Region(window, columns, box);
        IrisEdgeMap(region, h, w, f[0] - box.c0, f[1] - box.r0, f[2], 8, kTaps17, 17, cap / 2, edge, mask);
        int32_t full[3] = {f[0] - box.c0, f[1] - box.r0, f[2]};
        int32_t rg2[3] = {2, 2, 2}, steps2[3] = {2, 2, 2};
        bestScore = 0;
        count = CoarseToFine(edge.data(), w, h, mask.data(), IrisFE_Contour(Contour::IrisFull), full, rg2, steps2, m,
                             &bestScore);
        if (count > 0) {
            circles->iris[0] = full[0] + box.c0, circles->iris[1] = full[1] + box.r0, circles->iris[2] = full[2];
        }
    } catch (const std::bad_alloc&) {
        return irisalg::kNoMemory;
    }
    return 0;
}

}  // namespace irisfe
