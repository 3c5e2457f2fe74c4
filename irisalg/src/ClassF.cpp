// The class F localiser: its own image preparation (downscale to at most 480 rows, percentile
// stretch, reflections filled), pupil refinement on a 270-degree arc, the iris circle from radial
// profiles refined at half and working size, and the eyelid parabolas.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "irisalg/Location.h"

namespace irisalg {

namespace {

constexpr int32_t kBad = -3, kGeometry = -2, kMemory = -1;

const int32_t kSmooth7[7] = {75, 228, 444, 554, 444, 228, 75};
const int32_t kSmooth9[9] = {56, 136, 254, 369, 418, 369, 254, 136, 56};
const int32_t kSmooth17[17] = {29, 46, 69, 97, 128, 159, 186, 205, 210, 205, 186, 159, 128, 97, 69, 46, 29};
constexpr int32_t kEdgeCeiling = 13107200;

uint8_t Brighten(uint8_t v) { return uint8_t(std::min(255.0, RoundHalfAway(std::sqrt(255.0 * v)))); }

// Angle table of n points from `start` radians by `step`: 65536 cos and sin, rounded half away.
struct Arc {
    std::vector<int32_t> c, s;
    void Add(int n, double start, double step, bool mirror) {
        for (int i = 0; i < n; ++i) {
            const double a = start + i * step;
            const int32_t cv = int32_t(RoundHalfAway(65536 * std::cos(a)));
            c.push_back(mirror ? -cv : cv);
            s.push_back(int32_t(RoundHalfAway(65536 * std::sin(a))));
        }
    }
    int n() const { return int(c.size()); }
};

inline int ArcX(int cx, int32_t c, int r) { return cx + int(int64_t(c) * r / 65536); }
inline int ArcY(int cy, int32_t s, int r) { return cy - int(int64_t(s) * r / 65536); }

// Mean edge value along the arc of (x, y, r), times n; false when too few points count.
bool ArcScore(const int32_t* map, int rows, int cols, const uint8_t* excluded, const Arc& arc, int x, int y, int r,
              int64_t* score) {
    int64_t sum = 0;
    int count = 0, lastX = INT32_MIN, lastY = INT32_MIN;
    for (int i = 0; i < arc.n(); ++i) {
        const int px = ArcX(x, arc.c[size_t(i)], r), py = ArcY(y, arc.s[size_t(i)], r);
        if (px == lastX && py == lastY) continue;
        lastX = px, lastY = py;
        if (px < 0 || py < 0 || px >= cols || py >= rows) continue;
        const size_t at = size_t(py) * cols + px;
        if (excluded && excluded[at]) continue;
        sum += map[at];
        ++count;
    }
    if (count < int(0.3 * arc.n() + 0.5) || count == 0) return false;
    *score = sum * arc.n() / count;
    return true;
}

// Coarse-to-fine grid search; the radius is kept at least `bound` above its half-range.
int64_t SearchArc(const int32_t* map, int rows, int cols, const uint8_t* excluded, const Arc& arc, IrisCircle& c,
                  int32_t half[3], int32_t step[3], int bound) {
    if (c.r - half[2] < bound) {
        if (c.r + half[2] < bound) c.r = bound + 2, half[2] = 2;
        else half[2] = (c.r + half[2] - bound + 1) / 2, c.r = half[2] + bound;
    }
    bool have = false;
    int64_t best = 0;
    IrisCircle bestC = c;
    while (step[0] >= 1 || step[1] >= 1 || step[2] >= 1) {
        int32_t st[3], hr[3];
        for (int i = 0; i < 3; ++i) {
            st[i] = std::max(step[i], 1);
            hr[i] = half[i] / st[i] * st[i];
        }
        const IrisCircle centre = c;
        for (int x = centre.x - hr[0]; x <= centre.x + hr[0]; x += st[0])
            for (int y = centre.y - hr[1]; y <= centre.y + hr[1]; y += st[1])
                for (int r = centre.r - hr[2]; r <= centre.r + hr[2]; r += st[2]) {
                    if (r < 1) continue;
                    if (have && x == centre.x && y == centre.y && r == centre.r) continue;
                    int64_t s;
                    if (!ArcScore(map, rows, cols, excluded, arc, x, y, r, &s)) continue;
                    if (!have || s > best) best = s, bestC = {x, y, r}, have = true;
                }
        if (have) c = bestC;
        for (int i = 0; i < 3; ++i) {
            step[i] /= 2;
            half[i] = std::min(half[i], step[i]);
        }
        if (c.r - half[2] < bound) c.r = half[2] + bound;
    }
    return have ? best : 0;
}

// Separable smoothing of a byte region; near a border only the taps inside count.
void SmoothSeparable(std::vector<uint8_t>& img, int rows, int cols, const int32_t* k, int n) {
    std::vector<uint8_t> tmp(img.size());
    const int h = n / 2;
    for (int pass = 0; pass < 2; ++pass) {
        const std::vector<uint8_t>& src = pass == 0 ? img : tmp;
        std::vector<uint8_t>& dst = pass == 0 ? tmp : img;
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x) {
                int64_t s = 0, wsum = 0;
                for (int j = 0; j < n; ++j) {
                    const int xx = pass == 0 ? x - h + j : x, yy = pass == 0 ? y : y - h + j;
                    if (xx < 0 || yy < 0 || xx >= cols || yy >= rows) continue;
                    s += k[j] * src[size_t(yy) * cols + xx];
                    wsum += k[j];
                }
                dst[size_t(y) * cols + x] = uint8_t(s / wsum);
            }
    }
}

uint32_t Isqrt(uint64_t v) {
    if (v == 0) return 0;
    uint64_t s = v, next = (s + 1) / 2;
    while (next < s) s = next, next = (s + v / s) / 2;
    return uint32_t(s);
}

struct Prepared {
    std::vector<uint8_t> image;
    int rows = 0, cols = 0, f = 1;
};

int32_t Prepare(const uint8_t* image, int height, int width, Prepared& p) {
    p.f = height > 480 ? (height - 1) / 480 + 1 : 1;
    p.rows = height / p.f, p.cols = width / p.f;
    if (p.rows < 1 || p.cols < 1) return kBad;
    p.image.resize(size_t(p.rows) * p.cols);
    return PrepareClassFImage(image, height, width, p.image.data(), &p.rows, &p.cols, &p.f);
}

int32_t RefinePupil(const Prepared& p, IrisCircle& pupil) {
    if (pupil.r < 5) return kGeometry;
    const int x = pupil.x, y = pupil.y, r = pupil.r;
    IrisRect a{y - 10, y + 10, x - r - 30, x - r - 10}, b{y - 10, y + 10, x + r + 10, x + r + 30};
    ClipIrisRect(&a, p.rows, p.cols);
    ClipIrisRect(&b, p.rows, p.cols);
    const int64_t na = int64_t(RectHeight(a)) * RectWidth(a), nb = int64_t(RectHeight(b)) * RectWidth(b);
    int64_t mean = 100;
    if (na + nb > 0)
        mean = ((na ? RectSum(p.image.data(), p.rows, p.cols, a) : 0) + (nb ? RectSum(p.image.data(), p.rows, p.cols, b) : 0)) /
               (na + nb);
    IrisRect roi{y - r - 20, y + r + 20, x - r - 20, x + r + 20};
    ClipIrisRect(&roi, p.rows, p.cols);
    const int h = RectHeight(roi), w = RectWidth(roi);
    if (h < 8 || w < 8) return kBad;
    std::vector<uint8_t> crop(size_t(h) * w);
    RectCopy(p.image.data(), p.rows, p.cols, roi, crop.data());
    if (mean < 60)
        for (auto& g : crop) g = Brighten(g);
    SmoothSeparable(crop, h, w, kSmooth7, 7);
    const int cx = x - roi.c0, cy = y - roi.r0;
    std::vector<int32_t> edge(size_t(h) * w);
    for (int yy = 0; yy < h; ++yy)
        for (int xx = 0; xx < w; ++xx) {
            auto at = [&](int u, int v) { return int32_t(crop[size_t(v) * w + u]); };
            const int32_t gx = xx == 0 ? at(1, yy) - at(0, yy)
                               : xx == w - 1 ? at(w - 1, yy) - at(w - 2, yy)
                                             : at(xx + 1, yy) - at(xx - 1, yy);
            const int32_t gy = yy == 0 ? at(xx, 1) - at(xx, 0)
                               : yy == h - 1 ? at(xx, h - 1) - at(xx, h - 2)
                                             : at(xx, yy + 1) - at(xx, yy - 1);
            int32_t v = int32_t(std::min<uint32_t>(Isqrt(4096ull * uint64_t(gx * gx + gy * gy)), 46342));
            bool neg = false;
            if (xx < cx - 14 && gx > 0) neg = true;
            if (xx > cx + 14 && gx < 0) neg = true;
            if (yy < cy - 14 && gy > 0) neg = true;
            if (yy > cy + 14 && gy < 0) neg = true;
            edge[size_t(yy) * w + xx] = neg ? -v : v;
        }
    Arc arc;
    arc.Add(int(1.5 * M_PI * r + 0.5), 135 * M_PI / 180, 1.0 / r, false);
    IrisCircle c{cx, cy, r};
    int32_t half[3] = {8, 12, 12}, step[3] = {2, 2, 2};
    const int64_t score = SearchArc(edge.data(), h, w, nullptr, arc, c, half, step, 20);
    if (score > 0) pupil = {c.x + roi.c0, c.y + roi.r0, c.r};
    return 0;
}

// Radial profile search of the iris radius about the pupil centre (half size).
int32_t ProfileRadius(const uint8_t* img, int rows, int cols, IrisCircle pupil, int rmin, int rmax, int* radius) {
    if (!img || rows < 1 || cols < 1) return kBad;
    const bool variant80 = rmax == 80;
    if (pupil.x < 10 || pupil.x >= cols - 10 || pupil.y < 10 || pupil.y >= rows - 10 ||
        pupil.r < (variant80 ? 1 : 10))
        return kGeometry;
    const int n = int((rmin + rmax) * 0.26179937 + 0.5);
    if (n < 1) return kGeometry;
    Arc left, right;
    left.Add(n, M_PI, 2.0 / (rmin + rmax), false);
    right.Add(n, M_PI, 2.0 / (rmin + rmax), true);
    if (rmin <= (5 * pupil.r + 2) / 4) rmin = (5 * pupil.r + 2) / 4;
    if (rmin > rmax) return kGeometry;
    auto profile = [&](const Arc& arc) {
        std::vector<int32_t> out;
        if (variant80) {
            const int m = (rmin + rmax) / 2;
            const int need = int(RoundHalfAway(0.75 * n));
            for (int r = rmin; r <= rmax; ++r) {
                int64_t sum = 0;
                int count = 0, lx = INT32_MIN, ly = INT32_MIN;
                for (int i = 0; i < n; ++i) {
                    const int x = int(RoundHalfAway(pupil.x + arc.c[size_t(i)] / 65536.0 * r));
                    const int y = int(RoundHalfAway(pupil.y - arc.s[size_t(i)] / 65536.0 * r));
                    if (x == lx && y == ly) continue;
                    lx = x, ly = y;
                    if (x < 0 || y < 0 || x >= cols || y >= rows) continue;
                    sum += img[size_t(y) * cols + x];
                    ++count;
                }
                if (count < (r < m ? need * r / m : need) || count == 0) break;
                out.push_back(int32_t(sum * n / count));
            }
            return out;
        }
        std::vector<std::vector<int32_t>> samples;
        for (int r = rmin; r <= rmax; ++r) {
            std::vector<int32_t> s;
            for (int i = 0; i < n; ++i) {
                const double x = pupil.x + arc.c[size_t(i)] / 65536.0 * r, y = pupil.y - arc.s[size_t(i)] / 65536.0 * r;
                if (x < 0 || y < 0 || x > cols - 1 || y > rows - 1) break;
                s.push_back(BilinearSample(img, rows, cols, int32_t(x * 65536), int32_t(y * 65536)));
            }
            if (int(s.size()) < n) break;
            samples.push_back(std::move(s));
        }
        int64_t hist[256] = {}, total = 0;
        for (const auto& s : samples)
            for (int32_t g : s) ++hist[std::clamp(g, 0, 255)], ++total;
        int cut = 240;
        int64_t acc = 0;
        for (int g = 255; g >= 1; --g) {
            acc += hist[g];
            if (acc > int64_t(RoundHalfAway(0.01 * double(total)))) {
                cut = g;
                break;
            }
        }
        for (const auto& s : samples) {
            int64_t sum = 0, k = 0;
            for (int32_t g : s)
                if (g < cut) sum += g, ++k;
            out.push_back(k ? int32_t(sum * n / k) : 0);
        }
        return out;
    };
    auto derivative = [&](const std::vector<int32_t>& p) {
        const int len = int(p.size());
        std::vector<int32_t> s(static_cast<size_t>(len)), d(static_cast<size_t>(len), 0);
        for (int i = 0; i < len; ++i) {
            int64_t a = 0;
            for (int k = 0; k < 9; ++k) a += int64_t(kSmooth9[k]) * p[size_t(std::clamp(i - 4 + k, 0, len - 1))];
            s[size_t(i)] = int32_t(a / 2048);
        }
        if (len >= 2) FirstDifference(s.data(), len, d.data());
        for (int i = 0; i < std::min(len, std::max(36 - rmin, 0)); ++i) d[size_t(i)] = 0;
        return d;
    };
    const std::vector<int32_t> dL = derivative(profile(left)), dR = derivative(profile(right));
    const int nL = int(dL.size()), nR = int(dR.size());
    if (nL == 0 && nR == 0) return kGeometry;
    auto argmax = [](const std::vector<int32_t>& v, int from, int to) {
        int b = from;
        for (int i = from; i <= to; ++i)
            if (v[size_t(i)] > v[size_t(b)]) b = i;
        return b;
    };
    int index;
    if (nL > 2 * nR) {
        index = argmax(dL, 0, nL - 1);
    } else if (nR > 2 * nL) {
        index = argmax(dR, 0, nR - 1);
    } else {
        auto pair = [&](const std::vector<int32_t>& a, const std::vector<int32_t>& b, int64_t& s) {
            const int ia = argmax(a, 0, int(a.size()) - 1);
            const int from = std::max(ia - 14, 0), to = std::min(ia + 14, int(b.size()) - 1);
            if (from > to) {
                s = 2 * int64_t(a[size_t(ia)]);
                return ia;
            }
            const int ib = argmax(b, from, to);
            s = int64_t(a[size_t(ia)]) + b[size_t(ib)];
            return (ia + ib + 1) / 2;
        };
        int64_t sl, sr;
        const int il = pair(dL, dR, sl), ir = pair(dR, dL, sr);
        index = sr >= sl ? ir : il;
    }
    *radius = rmin + index;
    return 0;
}

// Weakest limbus accepted at the working size: a mean edge value of 4500 per arc point, about one
// grey level per pixel across the boundary (the edge is the central difference of a smoothing with
// weights summing to 2048). Frames without an eye or with closed lids stay well below it.
constexpr int64_t kWeakestLimbus = 4500;
// An iris circle pressed against the smallest radius the search may take is checked once more with
// the radius free to go lower: a limbus that settles more than this far below the configured
// minimum belongs to an iris too small for the range (the smoothing pulls a free search a pixel or
// two inward, so irises at the minimum itself still pass).
constexpr int kInsideMargin = 4;

// Side-arc refinement of the iris circle (dark-to-bright outward on both sides). final: the last
// refinement, which also refuses a limbus too weak to be one and, when smallest > 0, an iris whose
// boundary lies inside the smallest radius of the range.
int32_t RefineIris(const uint8_t* img, int rows, int cols, IrisCircle& iris, int pupilR, const int32_t* kernel, int k,
                   int32_t half[3], int32_t step[3], int minBound, int requiredR, bool final = false,
                   int smallest = 0) {
    if (iris.r < requiredR) return kGeometry;
    IrisRect rect{iris.y - (iris.r + 10), iris.y + (iris.r + 10), iris.x - (iris.r + 20), iris.x + (iris.r + 20)};
    ClipIrisRect(&rect, rows, cols);
    const int h = RectHeight(rect), w = RectWidth(rect);
    if (h < 1 || w < 2) return kGeometry;
    std::vector<int32_t> edge(size_t(h) * w), s(static_cast<size_t>(w));
    std::vector<uint8_t> excluded(size_t(h) * w, 0);
    const int centre = iris.x - rect.c0;
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = img + size_t(rect.r0 + y) * cols;
        for (int x = 0; x < w; ++x) {
            int32_t a = 0;
            for (int j = 0; j < k; ++j) a += kernel[j] * row[std::clamp(rect.c0 + x - k / 2 + j, 0, cols - 1)];
            s[size_t(x)] = a;
        }
        int32_t* o = edge.data() + size_t(y) * w;
        FirstDifference(s.data(), w, o);
        for (int x = 0; x < w; ++x) {
            if (x < centre) o[x] = -o[x];
            if (std::abs(o[x]) > kEdgeCeiling) excluded[size_t(y) * w + x] = 1;
        }
    }
    const int bound = std::max({6 * pupilR / 5, pupilR + 10, minBound});
    Arc arc;
    const int n = int(0.6 * M_PI * iris.r + 0.5);
    arc.Add(n, 135 * M_PI / 180, 1.0 / iris.r, false);
    arc.Add(n, 135 * M_PI / 180, 1.0 / iris.r, true);
    IrisCircle c{iris.x - rect.c0, iris.y - rect.r0, iris.r};
    const int64_t score = SearchArc(edge.data(), h, w, excluded.data(), arc, c, half, step, bound);
    if (final) {
        if (score < kWeakestLimbus * arc.n()) return kGeometry;
        if (smallest > 0 && c.r <= bound + 1) {
            IrisCircle inner{c.x, c.y, c.r - kInsideMargin};
            int32_t innerHalf[3] = {2, 2, 6}, innerStep[3] = {2, 2, 2};
            SearchArc(edge.data(), h, w, excluded.data(), arc, inner, innerHalf, innerStep,
                      std::max(1, std::min(smallest, bound) - 10));
            if (inner.r < smallest - kInsideMargin) return kGeometry;
        }
    }
    if (score > 0) iris = {c.x + rect.c0, c.y + rect.r0, c.r};
    return 0;
}

}  // namespace

int32_t FillClassFReflections(uint8_t* image, int rows, int cols) {
    if (!image || rows < 1 || cols < 1) return kBad;
    const size_t n = size_t(rows) * cols;
    std::vector<uint8_t> mask(n, 0), dil(n, 0);
    for (size_t i = 0; i < n; ++i) mask[i] = image[i] > 180 ? 1 : 0;
    // Dilation with the 7 x 7 disc (rows of 3, 5, 7, 7, 7, 5, 3 centred ones).
    static const int kHalf[7] = {1, 2, 3, 3, 3, 2, 1};
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
            if (!mask[size_t(y) * cols + x]) continue;
            for (int dy = -3; dy <= 3; ++dy) {
                const int yy = y + dy;
                if (yy < 0 || yy >= rows) continue;
                const int hw = kHalf[dy + 3];
                for (int xx = std::max(0, x - hw); xx <= std::min(cols - 1, x + hw); ++xx) dil[size_t(yy) * cols + xx] = 1;
            }
        }
    std::vector<int32_t> labels(n);
    const int32_t count = LabelComponents(dil.data(), cols, rows, labels.data(), 1);
    if (count <= 0) return count < 0 ? kBad : 0;
    std::vector<IrisRect> boxes(static_cast<size_t>(count));
    ComponentBoxes(labels.data(), rows, cols, count, boxes.data());
    for (int l = 1; l <= count; ++l) {
        const IrisRect b = boxes[size_t(l - 1)];
        if (b.r0 == 0 || b.r1 == rows - 1 || b.c0 == 0 || b.c1 == cols - 1) continue;
        if (RectHeight(b) > 50 || RectWidth(b) > 50) continue;
        const int bw = RectWidth(b), bh = RectHeight(b);
        auto in = [&](int x, int y) { return labels[size_t(y) * cols + x] == l; };
        std::vector<int> first(static_cast<size_t>(bh), -1), last(static_cast<size_t>(bh), -1), topR(static_cast<size_t>(bw), -1), botR(static_cast<size_t>(bw), -1);
        for (int y = b.r0; y <= b.r1; ++y)
            for (int x = b.c0; x <= b.c1; ++x)
                if (in(x, y)) {
                    if (first[size_t(y - b.r0)] < 0) first[size_t(y - b.r0)] = x;
                    last[size_t(y - b.r0)] = x;
                    if (topR[size_t(x - b.c0)] < 0) topR[size_t(x - b.c0)] = y;
                    botR[size_t(x - b.c0)] = y;
                }
        std::vector<int32_t> fill(size_t(bw) * bh, -1);
        for (int y = b.r0; y <= b.r1; ++y)
            for (int x = b.c0; x <= b.c1; ++x) {
                if (!in(x, y)) continue;
                const int lx = first[size_t(y - b.r0)] - 1, rx = last[size_t(y - b.r0)] + 1;
                const int ty = topR[size_t(x - b.c0)] - 1, by = botR[size_t(x - b.c0)] + 1;
                const int64_t L = image[size_t(y) * cols + lx], R = image[size_t(y) * cols + rx];
                const int64_t T = image[size_t(ty) * cols + x], B = image[size_t(by) * cols + x];
                const int64_t dl = x - lx, dr = rx - x, du = y - ty, dd = by - y;
                const int64_t num = L * du * dd * dr + R * du * dd * dl + T * dd * dl * dr + B * du * dl * dr;
                const int64_t den = dl * dr * (du + dd) + du * dd * (dl + dr);
                fill[size_t(y - b.r0) * bw + (x - b.c0)] = int32_t(num / den);
            }
        for (int y = 0; y < bh; ++y)
            for (int x = 0; x < bw; ++x)
                if (fill[size_t(y) * bw + x] >= 0) image[size_t(b.r0 + y) * cols + b.c0 + x] = uint8_t(fill[size_t(y) * bw + x]);
    }
    return 0;
}

int32_t PrepareClassFImage(const uint8_t* image, int height, int width, uint8_t* out, int* rows, int* cols, int* factor) {
    if (!image || !out || !rows || !cols || !factor || height < 1 || width < 1) return kBad;
    const int f = height > 480 ? (height - 1) / 480 + 1 : 1;
    int r = 0, c = 0;
    if (f > width || DecimateImage(out, &c, &r, image, width, height, f) != 0) return kBad;
    if (r < 1 || c < 1) return kBad;
    if (ContrastStretch(out, c, r, 1, 999, out) != 0) return kBad;
    const int32_t rc = FillClassFReflections(out, r, c);
    if (rc != 0) return rc;
    *rows = r, *cols = c, *factor = f;
    return 0;
}

int32_t LocateClassFCircles(const uint8_t* image, int height, int width, int mode, int32_t* irisX, int32_t* irisY,
                            int32_t* pupilX, int32_t* pupilY, int32_t* irisR, int32_t* pupilR, int32_t minIrisR,
                            int32_t maxIrisR) {
    if (!image || !irisX || !irisY || !pupilX || !pupilY || !irisR || !pupilR || height < 10 || width < 10 ||
        mode == 1 || minIrisR >= maxIrisR || *pupilR < 1)
        return kBad;
    Prepared p;
    int32_t rc;
    try {
        rc = Prepare(image, height, width, p);
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
    if (rc != 0) return rc;
    const int f = p.f;
    IrisCircle pupil{*pupilX / f, *pupilY / f, *pupilR / f};
    IrisCircle iris{*irisX / f, *irisY / f, *irisR / f};
    int rmin = minIrisR / f, rmax = maxIrisR / f;
    if ((rc = RefinePupil(p, pupil)) != 0) return rc;
    // Half size for the coarse radius and the first refinement.
    std::vector<uint8_t> half(size_t(p.rows / 2 + 1) * (p.cols / 2 + 1));
    int hr = 0, hc = 0;
    if (p.rows < 2 || p.cols < 2) return kBad;
    DecimateImage(half.data(), &hc, &hr, p.image.data(), p.cols, p.rows, 2);
    const IrisCircle hp{pupil.x / 2, pupil.y / 2, pupil.r / 2};
    int radius = iris.r / 2;
    const int hmin = rmin / 2, hmax = rmax / 2;
    if (hmax - hmin > 10) {
        int found = 0;
        if ((rc = ProfileRadius(half.data(), hr, hc, hp, hmin, hmax, &found)) < 0) return rc;
        if (found > 0) radius = found;
    }
    IrisCircle hi{hp.x, hp.y, radius};
    int32_t half1[3] = {4, 0, 4}, step1[3] = {2, 1, 2};
    if ((rc = RefineIris(half.data(), hr, hc, hi, hp.r, kSmooth9, 9, half1, step1, 36, 10)) != 0) return rc;
    IrisCircle wi{2 * hi.x, 2 * hi.y, 2 * hi.r};
    int32_t half2[3] = {2, 2, 2}, step2[3] = {2, 2, 2};
    if ((rc = RefineIris(p.image.data(), p.rows, p.cols, wi, 2 * hp.r, kSmooth17, 17, half2, step2, 75, 20, true,
                         rmin)) != 0)
        return rc;
    *pupilX = pupil.x * f, *pupilY = pupil.y * f, *pupilR = pupil.r * f;
    *irisX = wi.x * f, *irisY = wi.y * f, *irisR = wi.r * f;
    return 0;
}

int32_t LocateClassFCirclesDefault(const uint8_t* image, int height, int width, int mode, int32_t* irisX,
                                   int32_t* irisY, int32_t* pupilX, int32_t* pupilY, int32_t* irisR, int32_t* pupilR) {
    const int32_t maxR = height >= 481 ? 160 * height / 480 : 160;
    return LocateClassFCircles(image, height, width, mode, irisX, irisY, pupilX, pupilY, irisR, pupilR, 0, maxR);
}

namespace {

struct LidSearch {
    const int32_t* edge;
    const uint8_t* excluded;
    int h, w;
    int64_t Score(int vx, int vy, int d, int minCount, int* count) const {
        int64_t sum = 0;
        int c = 0, ly = INT32_MIN;
        for (int x = 0; x < w; ++x) {
            const int y = vy + (x - vx) * (x - vx) / d;
            (void)ly;
            if (y < 0 || y >= h) continue;
            const size_t i = size_t(y) * w + x;
            if (excluded[i]) continue;
            sum += edge[i];
            ++c;
        }
        *count = c;
        if (c == 0) return 0;
        int64_t s = sum * w / c;
        if (c < minCount) s = s * c / w;
        return s;
    }
};

EyelidCurve FitLid(const LidSearch& s, int px, int py, int pr, int ir, bool upper) {
    const int S = std::max(s.h, s.w);
    const int A = S * 1000 / 256;
    const int d0 = upper ? A : -A;
    const int minCount = int(0.7 * ir + 0.5);
    int vy = upper ? py - 5 : py + pr;
    const int dy = upper ? -2 : 2;
    int64_t best = INT64_MIN;
    int bestY = vy;
    for (int i = 0; i < (ir - 1) / 2; ++i, vy += dy) {
        int c = 0;
        const int64_t sc = s.Score(px, vy, d0, minCount, &c);
        // No early stop at the first curve above 45 per column: that level is met by the shadow
        // line under a lid, short of the lid margin.
        if (sc > best) best = sc, bestY = vy;
    }
    const int centre = bestY;
    for (int y = centre - 1; y <= centre + 1; ++y) {
        int c = 0;
        const int64_t sc = s.Score(px, y, d0, minCount, &c);
        if (sc > best) best = sc, bestY = y;
    }
    EyelidCurve out;
    out.vertexX = px, out.vertexY = bestY, out.divisor = d0;
    const int lo = upper ? 400 * S / 256 : -1000 * S / 256, hi = upper ? 1000 * S / 256 : -400 * S / 256;
    const int step = std::max(200 * S / 256, 1);
    for (int vx = px - pr; vx <= px + pr; vx += std::max(pr / 3, 1))
        for (int d = lo; d <= hi; d += step) {
            if (d == 0) continue;
            int c = 0;
            const int64_t sc = s.Score(vx, bestY, d, minCount, &c);
            if (sc > best) best = sc, out.vertexX = vx, out.divisor = d;
        }
    if (best == INT64_MIN) best = 0;
    out.score = int32_t(std::clamp<int64_t>(best * 100 / s.w, INT32_MIN, INT32_MAX));
    return out;
}

}  // namespace

int32_t LocateClassFEyelids(const uint8_t* image, int height, int width, int mode, int32_t* irisX, int32_t* irisY,
                            int32_t* pupilX, int32_t* pupilY, int32_t* irisR, int32_t* pupilR, int32_t eyelids[8]) {
    if (!eyelids || !irisX || !irisY || !pupilX || !pupilY || !irisR || !pupilR) return kBad;
    std::fill(eyelids, eyelids + 8, 0);
    int32_t rc;
    if (*irisR == 0 || *pupilR == 0) {
        if ((rc = LocateClassFCirclesDefault(image, height, width, mode, irisX, irisY, pupilX, pupilY, irisR, pupilR)) != 0)
            return rc;
    }
    if (!image || height < 1 || width < 1) return kBad;
    Prepared p;
    try {
        rc = Prepare(image, height, width, p);
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
    if (rc != 0) return rc;
    const int f = p.f;
    const int px = *pupilX / f, py = *pupilY / f, pr = *pupilR / f;
    const int ix = *irisX / f, iy = *irisY / f, ir = *irisR / f;
    if (pr < 1 || ir < 10 || ir < pr) return kGeometry;
    IrisRect reg{iy - ir - 10, iy + ir + 10, ix - ir - 10, ix + ir + 10};
    ClipIrisRect(&reg, p.rows, p.cols);
    const int h = RectHeight(reg), w = RectWidth(reg);
    if (h < 1 || w < 1) return kGeometry;
    // Row means over 14 pixels, then the vertical gradient over three row pairs.
    auto pix = [&](int x, int y) {
        return int32_t(p.image[size_t(std::clamp(y, 0, p.rows - 1)) * p.cols + std::clamp(x, 0, p.cols - 1)]);
    };
    const int eh = h + 6;
    std::vector<int32_t> mean(size_t(eh) * w);
    for (int y = 0; y < eh; ++y)
        for (int x = 0; x < w; ++x) {
            int32_t s = 0;
            for (int k = -6; k <= 7; ++k) s += pix(reg.c0 + x + k, reg.r0 + y - 3);
            mean[size_t(y) * w + x] = (s + 7) / 15;
        }
    const int lpx = px - reg.c0, lpy = py - reg.r0;
    std::vector<int32_t> edge(size_t(h) * w);
    std::vector<uint8_t> excluded(size_t(h) * w, 0);
    const int64_t reach = int64_t(pr + 5) * (pr + 5);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            int32_t g = 0;
            for (int k = 1; k <= 3; ++k) g += mean[size_t(y + 3 + k) * w + x] - mean[size_t(y + 3 - k) * w + x];
            edge[size_t(y) * w + x] = y < lpy ? (g > 0 ? 6 * g / 5 : -g) : std::abs(g);
            const int64_t dx = x - lpx, dy = y - lpy;
            if (dx * dx + dy * dy < reach) excluded[size_t(y) * w + x] = 1;
        }
    const LidSearch search{edge.data(), excluded.data(), h, w};
    EyelidCurve upper = FitLid(search, lpx, lpy, pr, ir, true);
    const int base = std::max(lpy - 5, upper.vertexY + 4);
    for (int x = 0; x < w; ++x) {
        const int row = (x - lpx) * (x - lpx) / 1000 + base;
        const int count = std::min(pr, row);
        if (count < 0) continue;
        for (int y = row; y >= row - count; --y)
            if (y >= 0 && y < h) excluded[size_t(y) * w + x] = 1;
    }
    EyelidCurve lower = FitLid(search, lpx, lpy, pr, ir, false);
    const EyelidCurve* lids[2] = {&upper, &lower};
    for (int i = 0; i < 2; ++i) {
        eyelids[4 * i + 0] = (lids[i]->vertexX + reg.c0) * f;
        eyelids[4 * i + 1] = (lids[i]->vertexY + reg.r0) * f;
        eyelids[4 * i + 2] = lids[i]->divisor * f;
        eyelids[4 * i + 3] = lids[i]->score;
    }
    return 0;
}

// ---- Filter bank and band layout -------------------------------------------------------------

void* ClassFAlignedAlloc(size_t size, size_t alignment) {
    if (alignment == 0) alignment = 4;
    if (alignment > 255) return nullptr;
    return IrisAlignedAlloc(size, alignment);
}

void ClassFAlignedFree(void* p) { IrisAlignedFree(p); }

int32_t SetClassFLayout(ClassFLayout* layout, int bandRows, int bandCols, int codeRows, int codeCols, int firstRow,
                        int lastRow) {
    if (!layout || bandRows < 1 || bandCols < 1 || firstRow < 0 || lastRow >= bandRows) return kBad;
    const int rows = (codeRows + 7) / 8 * 8;
    if (codeRows < 1 || codeCols < 1 || rows > bandRows || codeCols > bandCols) return 0;
    *layout = {bandRows, bandCols, rows, codeCols, firstRow, lastRow};
    return 0;
}

void ClassFKernelSize(float sigmaAlong, float sigmaAcross, int32_t* rows, int32_t* cols) {
    *cols = 2 * int32_t(RoundHalfAway(2.0 * sigmaAlong)) + 1;
    *rows = 2 * int32_t(RoundHalfAway(2.0 * sigmaAcross)) + 1;
}

int32_t MakeClassFKernel(float wavelength, float angleDeg, float sx, float sy, int32_t* out) {
    if (!out || wavelength < 1.0f || sx < 0.25f || sy < 0.25f) return kBad;
    int32_t rows, cols;
    ClassFKernelSize(sx, sy, &rows, &cols);
    const int hw = cols / 2, hh = rows / 2;
    const float theta = angleDeg * 0.017453292f;
    const float c = std::cos(theta), s = std::sin(theta);
    for (int y = -hh; y <= hh; ++y)
        for (int x = -hw; x <= hw; ++x) {
            const float u = x * c + y * s, v = y * c - x * s;
            const double value = std::exp(-0.5 * (v * v / (sy * sy) + u * u / (sx * sx))) *
                                 std::sin(6.283185 * u / wavelength) * 1000;
            out[(y + hh) * cols + (x + hw)] = int32_t(RoundHalfAway(value));
        }
    return 0;
}

void DestroyGaborBank(GaborBank* bank) {
    if (!bank || bank->count < 1) return;
    ClassFAlignedFree(bank->wavelength);
    ClassFAlignedFree(bank->angle);
    ClassFAlignedFree(bank->sigmaAlong);
    ClassFAlignedFree(bank->sigmaAcross);
    ClassFAlignedFree(bank->cols);
    ClassFAlignedFree(bank->rows);
    ClassFAlignedFree(bank->kernel);
    ClassFAlignedFree(bank->block);
    *bank = GaborBank{};
}

int32_t BuildGaborBank(GaborBank* bank, int scales, int angleCount, const float* angles, float ratio, float firstSigma,
                       float wavelengthRatio) {
    if (!bank || scales < 1 || angleCount < 1 || !angles || ratio < 0 || firstSigma < 0 || !(wavelengthRatio > 0))
        return kBad;
    DestroyGaborBank(bank);
    const int n = scales * angleCount;
    GaborBank b;
    b.count = n;
    b.wavelength = static_cast<float*>(ClassFAlignedAlloc(sizeof(float) * n, 8));
    b.angle = static_cast<float*>(ClassFAlignedAlloc(sizeof(float) * n, 8));
    b.sigmaAlong = static_cast<float*>(ClassFAlignedAlloc(sizeof(float) * n, 8));
    b.sigmaAcross = static_cast<float*>(ClassFAlignedAlloc(sizeof(float) * n, 8));
    b.cols = static_cast<int32_t*>(ClassFAlignedAlloc(sizeof(int32_t) * n, 8));
    b.rows = static_cast<int32_t*>(ClassFAlignedAlloc(sizeof(int32_t) * n, 8));
    b.kernel = static_cast<int32_t**>(ClassFAlignedAlloc(sizeof(int32_t*) * n, 8));
    if (!b.wavelength || !b.angle || !b.sigmaAlong || !b.sigmaAcross || !b.cols || !b.rows || !b.kernel) {
        DestroyGaborBank(&b);
        return kMemory;
    }
    size_t total = 0;
    int i = 0;
    for (int a = 0; a < angleCount; ++a) {
        float sigma = firstSigma;
        for (int s = 0; s < scales; ++s, ++i) {
            b.sigmaAlong[i] = sigma;
            b.sigmaAcross[i] = ratio * sigma;
            b.wavelength[i] = wavelengthRatio * sigma;
            b.angle[i] = angles[a];
            ClassFKernelSize(b.sigmaAlong[i], b.sigmaAcross[i], &b.rows[i], &b.cols[i]);
            total += size_t(b.rows[i]) * b.cols[i];
            sigma *= std::sqrt(2.0f);
        }
    }
    b.block = static_cast<int32_t*>(ClassFAlignedAlloc(sizeof(int32_t) * total, 8));
    if (!b.block) {
        DestroyGaborBank(&b);
        return kMemory;
    }
    size_t at = 0;
    for (i = 0; i < n; ++i) {
        b.kernel[i] = b.block + at;
        const int32_t rc = MakeClassFKernel(b.wavelength[i], b.angle[i], b.sigmaAlong[i], b.sigmaAcross[i], b.kernel[i]);
        if (rc != 0) {
            DestroyGaborBank(&b);
            return rc;
        }
        at += size_t(b.rows[i]) * b.cols[i];
    }
    *bank = b;
    return 0;
}

namespace {

struct ClassFModule {
    ClassFLayout layout;
    GaborBank bank;
    int32_t filterCode = 0, codePart = 0, feature = 0;
};
ClassFModule& ClassFState() {
    static ClassFModule m;
    return m;
}

}  // namespace

int32_t ClassFInit() {
    ClassFModule& m = ClassFState();
    SetClassFLayout(&m.layout, 80, 512, 8, 128, 0, 63);
    static const float kAngles[3] = {0, 45, 45};
    const int32_t rc = BuildGaborBank(&m.bank, 4, 3, kAngles, 1.0f, 5.5f, 1.8f);
    if (rc != 0) return rc;
    m.filterCode = m.layout.codeRows * m.layout.codeCols / 8;
    m.codePart = m.bank.count * m.filterCode;
    m.feature = m.codePart + m.layout.codeCols;
    return 0;
}

int32_t ClassFDestroy() {
    DestroyGaborBank(&ClassFState().bank);
    return 0;
}

const ClassFLayout& ClassFModuleLayout() { return ClassFState().layout; }
const GaborBank& ClassFModuleBank() { return ClassFState().bank; }
void ClassFCodeSizes(int32_t* filterCode, int32_t* codePart, int32_t* feature) {
    if (filterCode) *filterCode = ClassFState().filterCode;
    if (codePart) *codePart = ClassFState().codePart;
    if (feature) *feature = ClassFState().feature;
}

}  // namespace irisalg
