// The iris outer boundary and the eyelids about a known pupil: image preparation with specular
// spots filled, pupil refinement on a ring, iris radius estimate from radial profiles, iris
// refinement at half and full resolution, and the two eyelid parabolas.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "irisalg/Location.h"

namespace irisalg {

namespace {

const int32_t kRingSmoothKernel9[9] = {4, 8, 16, 23, 26, 23, 16, 8, 4};
const int32_t kRingSmoothKernel17[17] = {1, 3, 4, 6, 8, 10, 12, 13, 14, 13, 12, 10, 8, 6, 4, 3, 1};
const int32_t kEdgeSmoothKernel7[7] = {5, 14, 28, 34, 28, 14, 5};

// round(256 cos) and round(256 sin) per degree and per 1/512 turn.
struct AngleTable {
    std::vector<int16_t> cos, sin;
    explicit AngleTable(int n) : cos(static_cast<size_t>(n)), sin(static_cast<size_t>(n)) {
        for (int i = 0; i < n; ++i) {
            const double a = 2 * M_PI * i / n;
            cos[size_t(i)] = int16_t(RoundHalfAway(256 * std::cos(a)));
            sin[size_t(i)] = int16_t(RoundHalfAway(256 * std::sin(a)));
        }
    }
};
const AngleTable& Degrees() {
    static const AngleTable t(360);
    return t;
}
const AngleTable& Turn512() {
    static const AngleTable t(512);
    return t;
}

// Ring point at table entry (c, s), radius r about (cx, cy); angles grow counter-clockwise.
inline int RingX(int cx, int c, int r) { return cx + ((c * r) >> 8); }
inline int RingY(int cy, int s, int r) { return cy - ((r * s) >> 8); }

const std::array<uint8_t, 256>& BrighteningTable() {
    static const std::array<uint8_t, 256> t = [] {
        std::array<uint8_t, 256> a{};
        for (int g = 0; g < 256; ++g) a[size_t(g)] = uint8_t(std::min(255.0, RoundHalfAway(std::sqrt(255.0 * g))));
        return a;
    }();
    return t;
}

int32_t& Word(LocationResult* r, int w) { return r->words[w]; }

// Defaults of the parameter block, taken by a word below 1 when its stage starts.
int32_t Param(int32_t* p, int index, int32_t def) {
    if (p[index] < 1) p[index] = def;
    return p[index];
}

// Ring tables of a list of angle entries (with optional mirrored copies, cos negated).
struct Ring {
    std::vector<int16_t> cos, sin;
    void Add(const AngleTable& t, int from, int to, bool mirror) {
        for (int i = from; i <= to; ++i) {
            cos.push_back(mirror ? int16_t(-t.cos[size_t(i)]) : t.cos[size_t(i)]);
            sin.push_back(t.sin[size_t(i)]);
        }
    }
    int n() const { return int(cos.size()); }
};

// Rounds of the coarse-to-fine ring search. The range's radius is kept above the minimum radius.
int32_t RefineOnRing(const int32_t* map, int rows, int cols, const uint8_t* mask, const Ring& ring, IrisCircle& c,
                     int32_t range[3], int32_t step[3], int32_t minRadius, bool rangeAtLeastZero) {
    if (c.r - range[2] < minRadius) {
        range[2] = (range[2] - minRadius + 1 + c.r) / 2;
        range[2] = rangeAtLeastZero ? std::max(range[2], 0) : std::max(range[2], 2);
        c.r = minRadius + range[2];
    }
    int32_t score = 0;
    while (step[0] > 0 || step[1] > 0 || step[2] > 0) {
        IrisCircle best = c;
        const int32_t got = SearchCircleOnRing(map, rows, cols, mask, ring.cos.data(), ring.sin.data(), ring.n(), c.x,
                                               c.y, c.r, range, step, &best, &score);
        if (got < 0) return got;
        c = best;
        for (int i = 0; i < 3; ++i) {
            step[i] /= 2;
            range[i] = step[i];
        }
        if (c.r - range[2] < minRadius) c.r = minRadius + range[2];
    }
    return score;
}

}  // namespace

int32_t SearchCircleOnRing(const int32_t* map, int rows, int cols, const uint8_t* mask, const int16_t* cosT,
                           const int16_t* sinT, int n, int cx, int cy, int cr, const int32_t rangeIn[3],
                           const int32_t stepIn[3], IrisCircle* best, int32_t* score) {
    if (!map || !cosT || !sinT || !rangeIn || !stepIn || !best || !score || rows < 1 || cols < 1 || n < 1)
        return kBadArgument;
    *best = {cx, cy, cr};
    int32_t step[3], range[3];
    for (int i = 0; i < 3; ++i) {
        step[i] = std::max(stepIn[i], 1);
        range[i] = std::abs(rangeIn[i]);
    }
    const int32_t incoming = *score;
    int32_t bestScore = incoming, bestCount = 0;
    for (int x = cx - range[0]; x <= cx + range[0]; x += step[0])
        for (int y = cy - range[1]; y <= cy + range[1]; y += step[1])
            for (int r = cr - range[2]; r <= cr + range[2]; r += step[2]) {
                if (r <= 0) continue;
                if (incoming >= 1 && x == cx && y == cy && r == cr) continue;
                int64_t sum = 0;
                int c = 0;
                for (int i = 0; i < n; ++i) {
                    const int px = RingX(x, cosT[i], r), py = RingY(y, sinT[i], r);
                    if (px < 0 || py < 0 || px >= cols || py >= rows) continue;
                    const size_t at = size_t(py) * cols + px;
                    if (mask && mask[at]) continue;
                    sum += map[at];
                    ++c;
                }
                if (c > 0 && c < n) sum = sum * n / c;
                if (c > n / 3 && sum > bestScore) {
                    bestScore = int32_t(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
                    bestCount = c;
                    *best = {x, y, r};
                }
            }
    *score = bestScore;
    return bestCount;
}

int32_t FillSpecularSpots(uint8_t* image, int rows, int cols, int32_t* p) {
    if (!image || !p || rows < 1 || cols < 1) return kBadArgument;
    if (p[0] < 1 || p[0] > 255) p[0] = 180;
    const int T = p[0], D = Param(p, 1, 3), E = Param(p, 2, 55);
    const size_t n = size_t(rows) * cols;
    std::vector<uint8_t> mask(n);
    Threshold(image, cols, rows, T, mask.data());
    // A D x D square about each bright pixel.
    DirectionalDilate(mask.data(), cols, rows, D / 2, D / 2, mask.data());
    std::vector<int32_t> labels(n);
    const int32_t count = LabelComponents(mask.data(), cols, rows, labels.data(), 1);
    if (count < 0) return count;
    std::vector<IrisRect> boxes(size_t(std::max(count, 0)));
    ComponentBoxes(labels.data(), rows, cols, count, boxes.data());
    std::vector<int32_t> fill;
    for (int l = 1; l <= count; ++l) {
        const IrisRect b = boxes[size_t(l - 1)];
        if (b.r0 < 1 || b.r1 >= rows - 1 || b.c0 < 1 || b.c1 >= cols - 1) continue;
        if (RectHeight(b) > E || RectWidth(b) > E) continue;
        const int bw = RectWidth(b), bh = RectHeight(b);
        auto isSpot = [&](int x, int y) { return labels[size_t(y) * cols + x] == l; };
        // Anchors per box row (left, right) and per box column (top, bottom).
        std::vector<int> left(static_cast<size_t>(bh), -1), right(static_cast<size_t>(bh), -1), top(static_cast<size_t>(bw), -1), bottom(static_cast<size_t>(bw), -1);
        for (int y = b.r0; y <= b.r1; ++y)
            for (int x = b.c0; x <= b.c1; ++x)
                if (isSpot(x, y)) {
                    if (left[size_t(y - b.r0)] < 0) left[size_t(y - b.r0)] = x - 1;
                    right[size_t(y - b.r0)] = x + 1;
                    if (top[size_t(x - b.c0)] < 0) top[size_t(x - b.c0)] = y - 1;
                    bottom[size_t(x - b.c0)] = y + 1;
                }
        fill.assign(size_t(bw) * bh, -1);
        for (int y = b.r0; y <= b.r1; ++y)
            for (int x = b.c0; x <= b.c1; ++x) {
                if (!isSpot(x, y)) continue;
                const int lx = left[size_t(y - b.r0)], rx = right[size_t(y - b.r0)];
                const int ty = top[size_t(x - b.c0)], by = bottom[size_t(x - b.c0)];
                const int64_t wL = 1000000 / (x - lx), wR = 1000000 / (rx - x), wT = 1000000 / (y - ty),
                              wB = 1000000 / (by - y);
                const int64_t g = image[size_t(y) * cols + lx] * wL + image[size_t(y) * cols + rx] * wR +
                                  image[size_t(ty) * cols + x] * wT + image[size_t(by) * cols + x] * wB;
                fill[size_t(y - b.r0) * bw + (x - b.c0)] = int32_t(g / (wL + wR + wT + wB));
            }
        for (int y = 0; y < bh; ++y)
            for (int x = 0; x < bw; ++x)
                if (fill[size_t(y) * bw + x] >= 0)
                    image[size_t(b.r0 + y) * cols + b.c0 + x] = uint8_t(fill[size_t(y) * bw + x]);
    }
    return 0;
}

int32_t PrepareIrisImage(const uint8_t* image, int rows, int cols, int32_t* p, uint8_t* dst, int* outRows,
                         int* outCols) {
    if (!image || !p || !dst || !outRows || !outCols || rows < 1 || cols < 1) return kBadArgument;
    const int s = p[0];
    if (s < 1 || s > rows || s > cols) return kBadArgument;
    int r = 0, c = 0;
    int32_t rc = DownSample(image, rows, cols, s, dst, &r, &c);
    if (rc != 0) return rc;
    if (p[1] < 1 || p[2] < 1 || p[1] >= p[2] || p[2] > 1000) p[1] = 1, p[2] = 999;
    if ((rc = ContrastStretch(dst, c, r, p[1], p[2], dst)) != 0) return rc;
    if ((rc = FillSpecularSpots(dst, r, c, p + 3)) != 0) return rc;
    *outRows = r, *outCols = c;
    return 0;
}

int32_t SignedRadialEdgeMap(const uint8_t* crop, int rows, int cols, int cx, int cy, int32_t* out) {
    if (!crop || !out || rows < 1 || cols < 1 || cx >= cols || cy > rows) return kBadArgument;
    constexpr int P = 3;
    const int pr = rows + 2 * P, pc = cols + 2 * P;
    auto at = [&](int x, int y) {
        return int32_t(crop[size_t(std::clamp(y - P, 0, rows - 1)) * cols + std::clamp(x - P, 0, cols - 1)]);
    };
    std::vector<int32_t> h(size_t(pr) * pc, 0), s(size_t(pr) * pc, 0);
    for (int y = 0; y < pr; ++y)
        for (int x = P; x < pc - P; ++x) {
            int32_t a = 0;
            for (int k = 0; k < 7; ++k) a += kEdgeSmoothKernel7[k] * at(x - 3 + k, y);
            h[size_t(y) * pc + x] = a >> 3;
        }
    for (int y = P; y < pr - P; ++y)
        for (int x = P; x < pc - P; ++x) {
            int32_t a = 0;
            for (int k = 0; k < 7; ++k) a += kEdgeSmoothKernel7[k] * h[size_t(y - 3 + k) * pc + x];
            s[size_t(y) * pc + x] = a >> 11;
        }
    const int xa = std::clamp(cx - 14, 0, cols - 1), xb = std::clamp(cx + 14, 0, cols - 1);
    const int ya = std::clamp(cy - 14, 0, rows - 1), yb = std::clamp(cy + 14, 0, rows - 1);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
            const size_t c = size_t(y + P) * pc + x + P;
            const int32_t gx = s[c + 1] - s[c - 1], gy = s[c + size_t(pc)] - s[c - size_t(pc)];
            int32_t v = std::abs(gx) + std::abs(gy);
            const int band = x < xa ? 0 : x < xb ? 1 : 2;
            bool neg;
            if (y < ya) neg = band == 0 ? (gx > 0 || gy > 0) : band == 1 ? gy > 0 : (gx < 0 || gy > 0);
            else if (y < yb) neg = band == 0 ? gx > 0 : band == 1 ? false : gx < 0;
            else neg = band == 0 ? (gx > 0 || gy < 0) : band == 1 ? gy < 0 : (gx < 0 || gy < 0);
            out[size_t(y) * cols + x] = neg ? -v : v;
        }
    return 0;
}

int32_t RefinePupilCircle(const uint8_t* image, int rows, int cols, LocationResult* record, int32_t* p) {
    if (!image || !record || !p) return kBadArgument;
    if (p[0] < 1 || p[0] > 254) p[0] = 60;
    const int32_t dark = p[0], minR = Param(p, 1, 20);
    int32_t range[3] = {Param(p, 2, 8), Param(p, 3, 12), Param(p, 4, 12)};
    int32_t step[3] = {Param(p, 5, 2), Param(p, 6, 2), Param(p, 7, 2)};
    const int x = Word(record, kWordPupilX), y = Word(record, kWordPupilY), r = Word(record, kWordPupilR);
    if (rows <= 19 || cols <= 19 || x < 0 || y < 0 || x >= cols || y >= rows || r < 5 || r > rows / 2)
        return kBadArgument;
    IrisRect a{y - 10, y + 10, x - r - 30, x - r - 10}, b{y - 10, y + 10, x + r + 10, x + r + 30};
    ClipIrisRect(&a, rows, cols);
    ClipIrisRect(&b, rows, cols);
    const int64_t na = int64_t(RectHeight(a)) * RectWidth(a), nb = int64_t(RectHeight(b)) * RectWidth(b);
    if (na + nb == 0) return kNotFound;
    const int64_t mean = ((na ? RectSum(image, rows, cols, a) : 0) + (nb ? RectSum(image, rows, cols, b) : 0)) / (na + nb);
    IrisRect box{y - r - 20, y + r + 20, x - r - 20, x + r + 20};
    ClipIrisRect(&box, rows, cols);
    const int h = RectHeight(box), w = RectWidth(box);
    std::vector<uint8_t> crop(size_t(h) * w);
    RectCopy(image, rows, cols, box, crop.data());
    if (mean < dark)
        for (auto& g : crop) g = BrighteningTable()[g];
    std::vector<int32_t> edge(crop.size());
    int32_t rc = SignedRadialEdgeMap(crop.data(), h, w, x - box.c0, y - box.r0, edge.data());
    if (rc != 0) return rc;
    Ring ring;
    ring.Add(Degrees(), 135, 359, false);
    ring.Add(Degrees(), 0, 45, false);
    IrisCircle c{x - box.c0, y - box.r0, r};
    const int32_t score = RefineOnRing(edge.data(), h, w, nullptr, ring, c, range, step, minR, false);
    if (score < 0) return score;
    if (score > 0) {
        Word(record, kWordPupilX) = c.x + box.c0;
        Word(record, kWordPupilY) = c.y + box.r0;
        Word(record, kWordPupilR) = Word(record, kWordPupilR2) = c.r;
    }
    return score;
}

namespace {

// Mean grey below the bright cut at each radius along 31 rays; ends at the first radius whose
// rays leave the image or whose samples are all above the cut.
int32_t SampleRadialProfile(const uint8_t* half, int rows, int cols, int cx, int cy, int rlo, int rhi,
                            const Ring& rays, std::vector<int32_t>& profile) {
    profile.clear();
    std::vector<std::vector<uint8_t>> samples;
    for (int r = rlo; r <= rhi; ++r) {
        std::vector<uint8_t> s;
        for (int i = 0; i < rays.n(); ++i) {
            const int x = RingX(cx, rays.cos[size_t(i)], r), y = RingY(cy, rays.sin[size_t(i)], r);
            if (x < 0 || y < 0 || x >= cols || y >= rows) break;
            s.push_back(half[size_t(y) * cols + x]);
        }
        if (int(s.size()) < rays.n()) break;
        samples.push_back(std::move(s));
    }
    if (samples.empty()) return kNotFound;
    int64_t hist[256] = {}, total = 0;
    for (const auto& s : samples)
        for (uint8_t g : s) ++hist[g], ++total;
    int cut = 240;
    int64_t acc = 0;
    for (int g = 255; g >= 0; --g) {
        acc += hist[g];
        if (acc > total / 100) {
            cut = g + (acc > total / 10 ? 1 : 0);
            break;
        }
    }
    for (const auto& s : samples) {
        int64_t sum = 0, n = 0;
        for (uint8_t g : s)
            if (g < cut) sum += g, ++n;
        if (n == 0) break;
        profile.push_back(int32_t(sum / n));
    }
    return 0;
}

// Smoothed derivative of a profile; the first `skip` values are ruled out.
std::vector<int32_t> ProfileDerivative(const std::vector<int32_t>& p, int skip) {
    const int n = int(p.size());
    std::vector<int32_t> s(static_cast<size_t>(n)), d(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        int32_t a = 0;
        for (int k = 0; k < 9; ++k) a += kRingSmoothKernel9[k] * p[size_t(std::clamp(i - 4 + k, 0, n - 1))];
        s[size_t(i)] = a;
    }
    FirstDifference(s.data(), n, d.data());
    for (int i = 0; i < std::min(n, skip); ++i) d[size_t(i)] = -100000;
    return d;
}

int FirstMax(const std::vector<int32_t>& v, int from, int to) {
    int best = from;
    for (int i = from; i <= to; ++i)
        if (v[size_t(i)] > v[size_t(best)]) best = i;
    return best;
}

}  // namespace

int32_t EstimateIrisRadius(const uint8_t* image, int rows, int cols, LocationResult* record, int32_t* p) {
    if (!image || !record || !p) return kBadArgument;
    for (int w = kWordIrisX; w <= kWordIrisR2; ++w) Word(record, w) = 0;
    const int irisMax = Param(p, 0, 160), irisMin = Param(p, 1, 75);
    const int cx = Word(record, kWordPupilX) / 2, cy = Word(record, kWordPupilY) / 2, pr = Word(record, kWordPupilR) / 2;
    const int hr = rows / 2, hc = cols / 2;
    if (pr < 1 || cx < 20 || cx > hc - 20 || cy < 20 || cy > hr - 20) return kBadArgument;
    const int rhi = std::min(irisMax / 2, 5 * pr + 10), rlo = 5 * pr / 4;
    const int skip = std::max(0, irisMin / 2 - rlo);
    if (rhi - rlo + 1 < 10) return (rlo + rhi + 1) / 2;
    std::vector<uint8_t> half(size_t(hr) * hc);
    int r2 = 0, c2 = 0;
    int32_t rc = DownSample(image, rows, cols, 2, half.data(), &r2, &c2);
    if (rc != 0) return rc;
    Ring left, right;
    left.Add(Degrees(), 180, 210, false);
    right.Add(Degrees(), 180, 210, true);
    std::vector<int32_t> pl, prr;
    const bool haveL = SampleRadialProfile(half.data(), r2, c2, cx, cy, rlo, rhi, left, pl) == 0;
    const bool haveR = SampleRadialProfile(half.data(), r2, c2, cx, cy, rlo, rhi, right, prr) == 0;
    // A side with a single radius has no derivative and counts as empty.
    int nL = haveL && int(pl.size()) > skip && pl.size() > 1 ? int(pl.size()) : 0;
    int nR = haveR && int(prr.size()) > skip && prr.size() > 1 ? int(prr.size()) : 0;
    if (nL < 2 && nR < 2) return kNotFound;
    std::vector<int32_t> dL = nL ? ProfileDerivative(pl, skip) : std::vector<int32_t>();
    std::vector<int32_t> dR = nR ? ProfileDerivative(prr, skip) : std::vector<int32_t>();
    const int iL = nL ? FirstMax(dL, 0, nL - 1) : 0, iR = nR ? FirstMax(dR, 0, nR - 1) : 0;
    const int64_t mL = nL ? dL[size_t(iL)] : 0, mR = nR ? dR[size_t(iR)] : 0;
    int index;
    int64_t score;
    if (nL > 2 * nR) {
        index = iL, score = 2 * mL;
    } else if (nR > 2 * nL) {
        index = iR, score = 2 * mR;
    } else {
        // Each side's maximum paired with the other side's best within 15 radii of it.
        auto pair = [](const std::vector<int32_t>& da, int ia, int64_t ma, const std::vector<int32_t>& db, int nb,
                       int& outIndex) {
            int64_t s = 2 * ma;
            outIndex = ia;
            if (nb > ia - 15) {
                const int from = std::max(ia - 15, 0) + 1, to = std::min(ia + 15, nb) - 1;
                if (from <= to) {
                    const int j = FirstMax(db, from, to);
                    s = ma + db[size_t(j)];
                    outIndex = (j + ia + 1) / 2;
                }
            }
            (void)da;
            return s;
        };
        int li, ri;
        const int64_t ls = pair(dL, iL, mL, dR, nR, li);
        const int64_t rs = pair(dR, iR, mR, dL, nL, ri);
        if (rs >= ls) index = ri, score = rs;
        else index = li, score = ls;
    }
    const int radius = 2 * (index + rlo);
    Word(record, kWordIrisX) = Word(record, kWordPupilX);
    Word(record, kWordIrisY) = Word(record, kWordPupilY);
    Word(record, kWordIrisR) = Word(record, kWordIrisR2) = radius;
    return int32_t(std::clamp<int64_t>(score, 0, INT32_MAX));
}

int32_t HorizontalEdgeMap(const uint8_t* image, int rows, int cols, IrisRect rect, int32_t ceiling,
                          const int32_t* kernel, int k, int centreColumn, int32_t* out, uint8_t* mask) {
    if (!image || !kernel || !out || !mask || rows < 1 || cols < 1 || k < 1) return kBadArgument;
    ClipIrisRect(&rect, rows, cols);
    const int h = RectHeight(rect), w = RectWidth(rect);
    if (h < 1 || w < 2) return kBadArgument;
    std::vector<int32_t> s(static_cast<size_t>(w));
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = image + size_t(rect.r0 + y) * cols;
        for (int x = 0; x < w; ++x) {
            int32_t a = 0;
            for (int j = 0; j < k; ++j) a += kernel[j] * row[std::clamp(rect.c0 + x - k / 2 + j, 0, cols - 1)];
            s[size_t(x)] = a;
        }
        int32_t* o = out + size_t(y) * w;
        FirstDifference(s.data(), w, o);
        for (int x = 0; x < w; ++x) {
            if (x < centreColumn) o[x] = -o[x];
            mask[size_t(y) * w + x] = std::abs(o[x]) > ceiling ? 255 : 0;
        }
    }
    return 0;
}

int32_t RefineIrisCircle(const uint8_t* image, int rows, int cols, LocationResult* record, int32_t* p) {
    if (!image || !record || !p) return kBadArgument;
    const int32_t minR = Param(p, 0, 75), ceiling = Param(p, 1, 6400);
    int32_t coarseRange[3] = {Param(p, 2, 4), p[3] < 1 ? (p[3] = 0) : p[3], Param(p, 4, 4)};
    int32_t coarseStep[3] = {Param(p, 5, 2), Param(p, 6, 1), Param(p, 7, 2)};
    int32_t fineRange[3] = {Param(p, 8, 2), Param(p, 9, 2), Param(p, 10, 2)};
    int32_t fineStep[3] = {Param(p, 11, 2), Param(p, 12, 2), Param(p, 13, 2)};
    const int pr = Word(record, kWordPupilR), R = Word(record, kWordIrisR);
    const int ix = Word(record, kWordIrisX), iy = Word(record, kWordIrisY);
    if (rows <= 19 || cols <= 19 || pr <= 0 || pr >= R || ix < 10 || ix > cols - 10 || iy < 10 || iy > rows - 10)
        return kBadArgument;
    // Coarse stage at half resolution: both sides from 45 degrees above to 63 below the horizontal.
    const int hr = rows / 2, hc = cols / 2;
    std::vector<uint8_t> half(size_t(hr) * hc);
    int r2 = 0, c2 = 0;
    int32_t rc = DownSample(image, rows, cols, 2, half.data(), &r2, &c2);
    if (rc != 0) return rc;
    IrisCircle c{ix / 2, iy / 2, R / 2};
    IrisRect rect{c.y - (c.r + 10), c.y + (c.r + 10), c.x - (c.r + 20), c.x + (c.r + 20)};
    ClipIrisRect(&rect, r2, c2);
    int h = RectHeight(rect), w = RectWidth(rect);
    if (h < 1 || w < 2) return kBadArgument;
    std::vector<int32_t> edge(size_t(h) * w);
    std::vector<uint8_t> mask(size_t(h) * w);
    if ((rc = HorizontalEdgeMap(half.data(), r2, c2, rect, ceiling, kRingSmoothKernel9, 9, c.x - rect.c0, edge.data(),
                                mask.data())) != 0)
        return rc;
    Ring coarse;
    coarse.Add(Degrees(), 135, 243, false);
    coarse.Add(Degrees(), 135, 243, true);
    IrisCircle local{c.x - rect.c0, c.y - rect.r0, c.r};
    int32_t score = RefineOnRing(edge.data(), h, w, mask.data(), coarse, local, coarseRange, coarseStep, minR / 2, true);
    if (score < 0) return score;
    c = {2 * (local.x + rect.c0), 2 * (local.y + rect.r0), 2 * local.r};
    // Fine stage on the full image.
    rect = {c.y - (c.r + 10), c.y + (c.r + 10), c.x - (c.r + 20), c.x + (c.r + 20)};
    ClipIrisRect(&rect, rows, cols);
    h = RectHeight(rect), w = RectWidth(rect);
    if (h < 1 || w < 2) return kBadArgument;
    edge.assign(size_t(h) * w, 0);
    mask.assign(size_t(h) * w, 0);
    if ((rc = HorizontalEdgeMap(image, rows, cols, rect, ceiling / 2, kRingSmoothKernel17, 17, c.x - rect.c0,
                                edge.data(), mask.data())) != 0)
        return rc;
    Ring fine;
    fine.Add(Turn512(), 192, 346, false);
    fine.Add(Turn512(), 192, 346, true);
    local = {c.x - rect.c0, c.y - rect.r0, c.r};
    score = RefineOnRing(edge.data(), h, w, mask.data(), fine, local, fineRange, fineStep, minR, true);
    if (score < 0) return score;
    // A circle pressed against the smallest radius is searched once more with the radius free to
    // go lower: a boundary that settles more than 4 pixels inside the minimum belongs to an iris
    // too small for the range (the smoothing pulls the free search a pixel or two inward, so irises
    // at the minimum itself pass). Such a circle scores 0, below the weakest limbus accepted.
    if (local.r <= minR + 1) {
        IrisCircle inner{local.x, local.y, local.r - 4};
        int32_t innerRange[3] = {2, 2, 6}, innerStep[3] = {2, 2, 2};
        if (RefineOnRing(edge.data(), h, w, mask.data(), fine, inner, innerRange, innerStep, std::max(1, minR - 10),
                         true) > 0 &&
            inner.r < minR - 4)
            return 0;
    }
    if (score > 0) {
        Word(record, kWordIrisX) = local.x + rect.c0;
        Word(record, kWordIrisY) = local.y + rect.r0;
        Word(record, kWordIrisR) = Word(record, kWordIrisR2) = local.r;
    }
    return score;
}

namespace {

enum class Stages { All, IrisOnly, EyelidsOnly };

// Weakest limbus accepted: the fine ring score is the sum of the smoothed row derivative over its
// 310 points (scaled up when some are masked), so this floor is a mean of 512 per point, about 4
// grey levels per pixel across the boundary. Below it no iris boundary was found: without an eye,
// or with an iris smaller than the configured minimum radius, the search settles on iris texture
// or skin at the smallest radius it may try and would report that circle as a location.
constexpr int32_t kWeakestLimbusScore = 512 * 310;

// The boundary search at scale s (from the pupil radius unless given), the stages chosen run on
// the prepared image and every result is scaled back.
int32_t RunBoundaryStages(const uint8_t* image, int rows, int cols, LocationResult* record, const int32_t params[32],
                          Stages stages) {
    if (!image || !record || !params || rows < 1 || cols < 1 || Word(record, kWordPupilX) < 10) return kBadArgument;
    std::vector<uint8_t> work;
    try {
        work.resize(size_t(rows) * cols);
    } catch (...) {
        return kNoMemory;
    }
    int32_t p[32];
    std::memcpy(p, params, sizeof p);
    const int s = p[0] >= 1 ? p[0] : (Word(record, kWordPupilR) - 1) / 100 + 1;
    p[0] = s;
    if (s > 1) {
        for (int i : {4, 5, 7, 8, 9, 10, 11, 12, 14, 15, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27}) p[i] /= s;
        const int last = stages == Stages::EyelidsOnly ? kWordIrisR : kWordPupilR;
        for (int w = kWordPupilX; w <= last; ++w) Word(record, w) /= s;
    }
    int r = 0, c = 0;
    int32_t rc = PrepareIrisImage(image, rows, cols, p, work.data(), &r, &c);
    if (rc == 0 && stages == Stages::EyelidsOnly) {
        rc = LocateEyelids(work.data(), r, c, record, p + 20);
    } else if (rc == 0 && (rc = RefinePupilCircle(work.data(), r, c, record, p + 6)) >= 0 &&
               (rc = EstimateIrisRadius(work.data(), r, c, record, p + 14)) >= 0) {
        if (Word(record, kWordIrisR) < 10) {
            rc = 1;
        } else {
            p[16] = rc;
            if ((rc = RefineIrisCircle(work.data(), r, c, record, p + 15)) >= 0)
                rc = rc < kWeakestLimbusScore ? kNotFound
                     : stages == Stages::IrisOnly ? 0
                                                  : LocateEyelids(work.data(), r, c, record, p + 20);
        }
    }
    if (s > 1) {
        for (int w = kWordPupilX; w < kWordLowerLid + 6; ++w) Word(record, w) *= s;
        Word(record, kWordUpperLid + 3) /= s;
        Word(record, kWordLowerLid + 3) /= s;
    }
    return rc;
}

}  // namespace

int32_t LocateIrisAndEyelids(const uint8_t* image, int rows, int cols, LocationResult* record, const int32_t params[32]) {
    return RunBoundaryStages(image, rows, cols, record, params, Stages::All);
}

int32_t LocateIrisOnly(const uint8_t* image, int rows, int cols, LocationResult* record, const int32_t params[32]) {
    return RunBoundaryStages(image, rows, cols, record, params, Stages::IrisOnly);
}

int32_t LocateEyelidsOnly(const uint8_t* image, int rows, int cols, LocationResult* record, const int32_t params[32]) {
    return RunBoundaryStages(image, rows, cols, record, params, Stages::EyelidsOnly);
}

// ---- Eyelids ---------------------------------------------------------------------------------

// Vertical steps of a 3 x 15 box mean, four rows apart. Above the pupil both polarities count and
// a step that brightens downward weighs 5/4: the lower edge of a dark lash line above the lid
// margin is such a step, so the upper curve often settles on the lashes a few rows above the margin.
int32_t EyelidEdgeMap(const uint8_t* crop, int h, int w, int px, int py, int pr, int32_t* edge, uint8_t* mask) {
    if (!crop || !edge || !mask || h < 1 || w < 10 || pr < 10) return kBadArgument;
    std::vector<uint8_t> b(size_t(h) * w);
    const int32_t rc = BoxFilter(crop, h, w, 1, 7, b.data());
    if (rc != 0) return rc;
    const int split = std::min(py, h - 2);
    const int64_t reach = int64_t(pr + 5) * (pr + 5);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + x;
            int32_t v = 0;
            if (y >= 2 && y < h - 2) {
                const int32_t d = int32_t(b[size_t(y + 2) * w + x]) - b[size_t(y - 2) * w + x];
                v = y < split ? (d > 0 ? d * 5 / 4 : -d) : std::abs(d);
            }
            edge[i] = v;
            const int64_t dx = x - px, dy = y - py;
            mask[i] = (y < 2 || y >= h - 2 || dx * dx < reach - dy * dy) ? 255 : 0;
        }
    return 0;
}

namespace {

// Sum of the edge map along the parabola with vertex (xc, y) and divisor d, and the points counted.
int64_t CurveSum(const int32_t* edge, int h, int w, const uint8_t* mask, int xc, int y, int d, int* count) {
    int64_t sum = 0;
    int c = 0;
    for (int x = 0; x < w; ++x) {
        const int yy = y + (x - xc) * (x - xc) / d;
        if (yy < 0 || yy >= h) continue;
        const size_t i = size_t(yy) * w + x;
        if (mask[i]) continue;
        sum += edge[i];
        ++c;
    }
    *count = c;
    return sum;
}

}  // namespace

int32_t SearchEyelidParabola(const int32_t* edge, int h, int w, const uint8_t* mask, const int32_t st[12],
                             int32_t* points, EyelidCurve* out) {
    if (!edge || !mask || !st || !points || !out || h < 1 || w < 1) return kBadArgument;
    const int lowX = st[0], highX = st[1], stepX = std::max(st[2], 1);
    const int startY = st[3], endY = st[4], stepY = st[5];
    const int dA = st[6], dB = st[7], stepD = std::max(std::abs(st[8]), 1);
    const int minCount = st[9];
    if (stepY == 0 || dA == 0 || dB == 0) return kBadArgument;
    // The coarse scan uses the flattest curve of the range.
    const int d0 = std::abs(dA) >= std::abs(dB) ? dA : dB;
    const int xc = (lowX + highX) / 2;
    const int steps = (std::abs(endY - startY) - 1) / std::abs(stepY);
    auto score = [&](int vx, int y, int d, int* c) {
        int64_t s = CurveSum(edge, h, w, mask, vx, y, d, c);
        if (*c < minCount) s = s * *c / w;
        return s;
    };
    for (int x = 0; x < w; ++x) points[2 * x] = x, points[2 * x + 1] = startY + (x - xc) * (x - xc) / d0;
    int64_t best = INT64_MIN;
    int bestY = startY;
    // The whole range is scanned: stopping at the first curve above the early-stop level (settings
    // 10 and 11) settles on the shadow line under a lid or on strong iris texture, short of the lid
    // margin. The settings stay in the block for callers that pass them.
    for (int i = 0, y = startY; i < steps; ++i, y += stepY) {
        int c = 0;
        const int64_t s = score(xc, y, d0, &c);
        if (s > best) best = s, bestY = y;
    }
    if (std::abs(stepY) > 1) {
        const int half = std::abs(stepY) / 2;
        const int centre = bestY;
        for (int y = centre - half; y <= centre + half; ++y) {
            int c = 0;
            const int64_t s = score(xc, y, d0, &c);
            if (s > best) best = s, bestY = y;
        }
    }
    out->vertexX = xc, out->vertexY = bestY, out->divisor = d0;
    for (int vx = lowX; vx <= highX; vx += stepX)
        for (int d = std::min(dA, dB); d <= std::max(dA, dB); d += stepD) {
            if (d == 0) continue;
            int c = 0;
            const int64_t s = score(vx, bestY, d, &c);
            if (s > best) best = s, out->vertexX = vx, out->divisor = d;
        }
    if (best == INT64_MIN) best = 0;
    out->score = int32_t(std::clamp<int64_t>(best * 300 / w, INT32_MIN, INT32_MAX));
    out->zero[0] = out->zero[1] = 0;
    return 0;
}

int32_t LocateEyelids(const uint8_t* image, int rows, int cols, LocationResult* record, const int32_t*) {
    if (!image || !record || rows < 1 || cols < 1) return kBadArgument;
    const int pr = Word(record, kWordPupilR), R = Word(record, kWordIrisR);
    if (pr < 1 || pr >= R) return kBadArgument;
    *UpperLid(record) = EyelidCurve{};
    *LowerLid(record) = EyelidCurve{};
    const int ix = Word(record, kWordIrisX), iy = Word(record, kWordIrisY);
    IrisRect box{iy - R - 15, iy + R + 15, ix - R - 15, ix + R + 15};
    ClipIrisRect(&box, rows, cols);
    const int h = RectHeight(box), w = RectWidth(box);
    if (h < 1 || w < 1) return kBadArgument;
    std::vector<uint8_t> crop(size_t(h) * w), mask(size_t(h) * w);
    std::vector<int32_t> edge(size_t(h) * w), points(size_t(2 * w));
    RectCopy(image, rows, cols, box, crop.data());
    const int px = Word(record, kWordPupilX) - box.c0, py = Word(record, kWordPupilY) - box.r0;
    int32_t rc = EyelidEdgeMap(crop.data(), h, w, px, py, pr, edge.data(), mask.data());
    if (rc != 0) return rc;
    const int L = std::max(h, w), v = 5 * L - 50, xs = std::max(1, pr / 3);
    const int dStep = (40 * v + 128) / 256;
    int32_t st[12] = {px - 3 * xs, px + 3 * xs, xs, py - 5, py - 5 - R, -2, (80 * v + 128) / 256,
                      (200 * v + 128) / 256, dStep, 7 * R / 10, 3 * w / 4, 16 * w};
    EyelidCurve upper, lower;
    if ((rc = SearchEyelidParabola(edge.data(), h, w, mask.data(), st, points.data(), &upper)) != 0) return rc;
    // The upper lid's band is left out of the lower lid's search.
    const int top = std::max(upper.vertexY + 4, py - 5);
    for (int x = 0; x < w; ++x) {
        const int t = top + (x - px) * (x - px) / 1000;
        for (int y = t; y >= t - std::min(pr, t); --y)
            if (y >= 0 && y < h) mask[size_t(y) * w + x] = 255;
    }
    st[3] = py + pr, st[4] = py + pr + R, st[5] = 2;
    st[6] = (-128 - 200 * v) / 256, st[7] = (-128 - 80 * v) / 256;
    if ((rc = SearchEyelidParabola(edge.data(), h, w, mask.data(), st, points.data(), &lower)) != 0) {
        // Both curves stay cleared: a half-done pair is never left in crop coordinates.
        return rc;
    }
    upper.vertexX += box.c0, upper.vertexY += box.r0;
    lower.vertexX += box.c0, lower.vertexY += box.r0;
    *UpperLid(record) = upper;
    *LowerLid(record) = lower;
    return 0;
}

}  // namespace irisalg
