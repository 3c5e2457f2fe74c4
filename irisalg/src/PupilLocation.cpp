// Pupil search by gradient voting: every edge pixel votes, at distance r along its gradient, for
// the point it points to; the pupil is the point and radius with the strongest support.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "irisalg/Location.h"

namespace irisalg {

const int32_t kPupilSmoothKernel3[9] = {75, 124, 75, 124, 204, 124, 75, 124, 75};
const int32_t kVoteSmoothKernel5[25] = {100, 106, 108, 106, 100, 106, 113, 115, 113, 106, 108, 115, 117,
                                        115, 108, 106, 113, 115, 113, 106, 100, 106, 108, 106, 100};

int32_t CropImage(uint8_t* dst, const uint8_t* src, int width, int height, int top, int bottom, int left, int right) {
    if (!dst || !src || top < 0 || bottom < 0 || left < 0 || right < 0 || top + bottom >= height ||
        left + right >= width)
        return 1;
    const int w = width - left - right;
    for (int y = top; y < height - bottom; ++y)
        std::memcpy(dst + size_t(y - top) * w, src + size_t(y) * width + left, size_t(w));
    return 0;
}

int32_t DecimateImage(uint8_t* dst, int* cols, int* rows, const uint8_t* src, int width, int height, int f) {
    if (!dst || !cols || !rows || !src || f < 1) return 1;
    const int c = width / f, r = height / f;
    for (int j = 0; j < r; ++j)
        for (int i = 0; i < c; ++i) dst[size_t(j) * c + i] = src[size_t(f / 2 + j * f) * width + f / 2 + i * f];
    *cols = c, *rows = r;
    return 0;
}

int32_t SmoothImage8(uint8_t* image, int cols, int rows, const int32_t* kernel, int k) {
    if (!image || !kernel) return 1;
    int64_t total = 0;
    for (int i = 0; i < k * k; ++i) total += kernel[i];
    if (total == 0) return 1;
    std::vector<uint8_t> copy(image, image + size_t(cols) * rows);
    const int h = k / 2;
    for (int y = h; y < rows - h; ++y)
        for (int x = h; x < cols - h; ++x) {
            int64_t s = 0;
            for (int dy = 0; dy < k; ++dy)
                for (int dx = 0; dx < k; ++dx) s += kernel[dy * k + dx] * image[size_t(y - h + dy) * cols + x - h + dx];
            copy[size_t(y) * cols + x] = uint8_t(s / total);
        }
    std::memcpy(image, copy.data(), copy.size());
    return 0;
}

int32_t SmoothMap32(uint32_t* map, int cols, int rows, const int32_t* kernel, int k) {
    if (!map || !kernel) return 1;
    uint64_t total = 0;
    for (int i = 0; i < k * k; ++i) total += uint32_t(kernel[i]);
    if (total == 0) return 1;
    std::vector<uint32_t> out(size_t(cols) * rows, 0);
    const int h = k / 2;
    for (int y = h; y < rows - h; ++y)
        for (int x = h; x < cols - h; ++x) {
            // Summed in 64 bits: a strong ring must not wrap round to a weak one.
            uint64_t s = 0;
            for (int dy = 0; dy < k; ++dy)
                for (int dx = 0; dx < k; ++dx)
                    s += uint64_t(uint32_t(kernel[dy * k + dx])) * map[size_t(y - h + dy) * cols + x - h + dx];
            out[size_t(y) * cols + x] = uint32_t(std::min<uint64_t>(s / total, UINT32_MAX));
        }
    std::memcpy(map, out.data(), out.size() * sizeof(uint32_t));
    return 0;
}

void NormaliseMapToLevels(const uint32_t* map, int rows, int cols, int level, uint8_t* dst8) {
    if (!map || !dst8) return;
    const size_t n = size_t(rows) * cols;
    double lo = 1e10, hi = 0;
    for (size_t i = 0; i < n; ++i) {
        lo = std::min(lo, double(map[i]));
        hi = std::max(hi, double(map[i]));
    }
    for (size_t i = 0; i < n; ++i)
        dst8[i] = hi > lo ? uint8_t(int64_t((double(map[i]) - lo) * level / (hi - lo))) : 0;
}

int32_t FindMapPeak(const uint32_t* map, int cols, int rows, int32_t* x, int32_t* y, uint32_t* value, int a, int b) {
    if (!map || !x || !y || !value) return -1;
    *x = cols / 2, *y = rows / 2, *value = 0;
    const int m = std::min(a, b);
    if (m >= rows - m) return -1;
    uint64_t sum = 0;
    bool any = false;
    uint32_t best = 0;
    int bx = 0, by = 0;
    for (int r = m; r < rows - m; ++r)
        for (int c = m; c < cols - m; ++c) {
            const uint32_t v = map[size_t(r) * cols + c];
            sum += v;
            if (!any || v > best) best = v, bx = c, by = r, any = true;
        }
    if (sum < 600 || !any) return -1;
    *x = bx, *y = by, *value = best;
    return 0;
}

int32_t ChoosePupilRing(const int32_t* v, const int32_t* xs, const int32_t* ys, int n, int32_t* index) {
    if (!v || !xs || !ys || !index || n < 1) return -1;
    std::vector<int32_t> p(static_cast<size_t>(n)), q(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) p[size_t(i)] = v[i] / (i + 3);
    int k0 = -1;
    for (int i = 0; i < n; ++i)
        if (p[size_t(i)] >= 1) {
            k0 = i;
            break;
        }
    if (k0 < 0) return -1;
    // Runs of equal values from k0 on collapse to one entry; the tail keeps its old values.
    const std::vector<int32_t> original = p;
    int w = k0;
    for (int i = k0; i < n; ++i)
        if (i == k0 || original[size_t(i)] != original[size_t(i - 1)]) p[size_t(w++)] = original[size_t(i)];
    int m = 0;
    for (int i = 1; i < n; ++i)
        if (p[size_t(i)] > p[size_t(m)]) m = i;
    q[size_t(m)] = p[size_t(m)];
    int positive = 0;
    for (int i = 1; i <= n - 2; ++i) {
        if (p[size_t(i)] > p[size_t(i - 1)] && p[size_t(i)] > p[size_t(i + 1)]) q[size_t(i)] = p[size_t(i)];
        else if (p[size_t(i)] < p[size_t(i - 1)] && p[size_t(i)] < p[size_t(i + 1)])
            q[size_t(i)] = p[size_t(i)] == 0 ? -1 : -p[size_t(i)];
    }
    for (int i = 0; i < n; ++i)
        if (q[size_t(i)] > 0) ++positive;
    int after = 0;
    for (int i = 0; i < n; ++i) {
        if (i == m || q[size_t(i)] == 0) continue;
        const int64_t dx = xs[m] - xs[i], dy = ys[m] - ys[i];
        const int64_t d2 = dx * dx + dy * dy;
        const int64_t a = std::llabs(int64_t(m) * m - int64_t(i) * i);
        if (a - d2 < 0) q[size_t(i)] = q[size_t(i)] > 0 ? 1 : -1;
        else q[size_t(i)] = int32_t(int64_t(q[size_t(i)]) * (a - d2) / (a + d2 == 0 ? 1 : a + d2));
        if (q[size_t(i)] > 0) ++after;
    }
    if (after == 0) {
        *index = m;
        return positive;
    }
    int64_t W = 0;
    for (int i = 0; i < n; ++i)
        if (q[size_t(i)] > 0 && std::abs(m - i) > 2 && std::abs(q[size_t(i)]) > q[size_t(m)] / 20)
            W += int64_t(q[size_t(i)]) * (m - i);
    if (W <= 0) {
        *index = m;
        return positive;
    }
    int limit = 2 * m / 3;
    if (m - limit < 2) limit = m - 2;
    if (limit < 1) return positive;  // no index
    int best = -1;
    for (int i = 1; i <= limit && i < n; ++i)
        if (q[size_t(i)] > 0 && (best < 0 || q[size_t(i)] > q[size_t(best)])) best = i;
    if (best >= 0) *index = best;
    return positive;
}

namespace {

// Integer square root of m2 x 1024 by Newton's iteration in unsigned 32-bit arithmetic.
uint32_t Sqrt1024(uint32_t m2) {
    const uint32_t target = m2 * 1024u;
    uint32_t s = m2 * 32u;
    if (s == 0) return 0;
    for (;;) {
        const uint32_t next = (target / s + s) / 2;
        if (next >= s) return s;
        s = next;
    }
}

// Gradient maps of the vote searches. maxLevel < 0: no upper limit on the neighbourhood.
struct EdgeMaps {
    std::vector<int32_t> gx, gy, mag;
    std::vector<uint8_t> w;
};

void BuildEdgeMaps(const uint8_t* map, int cols, int rows, int maxLevel, EdgeMaps& e) {
    const size_t n = size_t(cols) * rows;
    e.gx.assign(n, 0), e.gy.assign(n, 0), e.mag.assign(n, 0), e.w.assign(n, 0);
    for (int y = 1; y <= rows - 2; ++y)
        for (int x = 1; x <= cols - 2; ++x) {
            const uint8_t* c = map + size_t(y) * cols + x;
            const int TL = c[-cols - 1], T = c[-cols], TR = c[-cols + 1], L = c[-1], R = c[1], BL = c[cols - 1],
                      B = c[cols], BR = c[cols + 1];
            const int nmax = std::max({TL, T, TR, L, R, BL, B, BR});
            if (nmax < 10 || (maxLevel >= 0 && nmax > maxLevel)) continue;
            int gx = (TL + 2 * L + BL) - (TR + 2 * R + BR);
            int gy = (TL + 2 * T + TR) - (BL + 2 * B + BR);
            gx = gx * 255 / nmax;
            gy = gy * 255 / nmax;
            const uint32_t m2 = uint32_t(gx * gx + gy * gy);
            const size_t i = size_t(y) * cols + x;
            e.gx[i] = gx, e.gy[i] = gy;
            if (m2 <= 2) continue;
            // Edges whose dark side lies within 30 degrees of straight down never vote.
            if (gy > 0 && 4u * uint32_t(gx * gx) < m2) continue;
            e.mag[i] = int32_t(Sqrt1024(m2));
        }
    std::vector<uint32_t> mags(e.mag.begin(), e.mag.end());
    NormaliseMapToLevels(mags.data(), rows, cols, 255, e.w.data());
}

// One vote pass at radius r: weight sums O, counts M and (when F is given) signed sums.
void Vote(const EdgeMaps& e, const int32_t* signedW, int cols, int rows, int r, std::vector<uint32_t>& O,
          std::vector<uint32_t>& M, std::vector<int32_t>* F) {
    std::fill(O.begin(), O.end(), 0u);
    std::fill(M.begin(), M.end(), 0u);
    if (F) std::fill(F->begin(), F->end(), 0);
    for (int y = 1; y <= rows - 2; ++y)
        for (int x = 1; x <= cols - 2; ++x) {
            const size_t i = size_t(y) * cols + x;
            const int32_t mag = e.mag[i];
            if (mag == 0) continue;
            const int tx = x + int(int64_t(e.gx[i]) * r * 32 / mag);
            const int ty = y + int(int64_t(e.gy[i]) * r * 32 / mag);
            if (tx < 0 || ty < 0 || tx >= cols || ty >= rows) continue;
            const size_t t = size_t(ty) * cols + tx;
            O[t] += e.w[i];
            M[t] += 1;
            if (F) (*F)[t] += signedW[i];
        }
}

struct VoteResult {
    std::vector<std::vector<uint32_t>> stack;
    int x0 = 0, y0 = 0, ww = 0, wh = 0;
};

// The common part of both searches: votes over the radii, the smoothed total, its peak and the
// window about it, each layer's window smoothed.
void VoteLayers(const uint8_t* map, int cols, int rows, int rmin, int rmax, int percent, int maxLevel, bool balanced,
                VoteResult& out) {
    const int rtop = std::min(cols, rows) * percent / 100;
    EdgeMaps e;
    BuildEdgeMaps(map, cols, rows, maxLevel, e);
    const size_t n = size_t(cols) * rows;
    std::vector<int32_t> signedW;
    if (balanced) {
        signedW.resize(n);
        for (size_t i = 0; i < n; ++i) signedW[i] = e.gx[i] < 0 ? -int32_t(e.w[i]) : int32_t(e.w[i]);
    }
    std::vector<uint32_t> O(n), M(n), total(n, 0), S(n);
    std::vector<int32_t> F(balanced ? n : 0);
    auto score = [&](int r) {
        Vote(e, balanced ? signedW.data() : nullptr, cols, rows, r, O, M, balanced ? &F : nullptr);
        for (size_t i = 0; i < n; ++i) {
            const uint32_t o = balanced ? O[i] - uint32_t(std::abs(F[i])) : O[i];
            S[i] = o * M[i];
            total[i] += S[i];
        }
    };
    for (int r = rmin; r <= rmax; r += 2) {
        score(r);
        out.stack.push_back(S);
    }
    for (int r = rmax; r <= rtop; r += 2) score(r);
    SmoothMap32(total.data(), cols, rows, kVoteSmoothKernel5, 5);
    uint32_t best = 0;
    int px = 0, py = 0;
    for (int y = 4; y <= rows - 5; ++y)
        for (int x = 4; x <= cols - 5; ++x)
            if (total[size_t(y) * cols + x] >= best) best = total[size_t(y) * cols + x], px = x, py = y;
    const int x0 = px < 10 ? 0 : px - 10, x1 = px + 10 < cols ? px + 10 : cols - 1;
    const int y0 = py < 10 ? 0 : py - 10, y1 = py + 10 < rows ? py + 10 : rows - 1;
    out.x0 = x0, out.y0 = y0, out.ww = x1 - x0 + 1, out.wh = y1 - y0 + 1;
    for (auto& layer : out.stack) {
        std::vector<uint32_t> win(size_t(out.ww) * out.wh);
        for (int y = 0; y < out.wh; ++y)
            std::memcpy(&win[size_t(y) * out.ww], &layer[size_t(y0 + y) * cols + x0], size_t(out.ww) * 4);
        SmoothMap32(win.data(), out.ww, out.wh, kVoteSmoothKernel5, 5);
        layer.swap(win);
    }
}

int32_t ClampScore(uint32_t v) { return int32_t(std::min<uint32_t>(v, INT32_MAX)); }

}  // namespace

int32_t RadialVoteSearch(const uint8_t* map, int cols, int rows, int32_t* x, int32_t* y, int32_t* r, int32_t* score,
                         int rmin, int rmax, int percent, int maxLevel) {
    if (!map || !x || !y || !r || !score) return 1;
    VoteResult v;
    VoteLayers(map, cols, rows, rmin, rmax, percent, maxLevel, false, v);
    uint32_t best = 0;
    int bx = 0, by = 0, bk = 0;
    for (size_t k = 0; k < v.stack.size(); ++k) {
        if (v.wh <= 8 || v.ww <= 8) continue;
        for (int yy = 4; yy <= v.wh - 5; ++yy)
            for (int xx = 4; xx <= v.ww - 5; ++xx)
                if (v.stack[k][size_t(yy) * v.ww + xx] >= best)
                    best = v.stack[k][size_t(yy) * v.ww + xx], bx = xx, by = yy, bk = int(k);
    }
    *x = v.x0 + bx, *y = v.y0 + by, *r = rmin + 2 * bk, *score = ClampScore(best);
    return 0;
}

namespace {

// Votes of the balanced search and each radius layer's peak in the window about the strongest
// point (the window centre with value 0 where a layer has none); (x0, y0) the window's origin.
void BalancedLayerPeaks(const uint8_t* map, int cols, int rows, int rmin, int rmax, std::vector<int32_t>& vk,
                        std::vector<int32_t>& xk, std::vector<int32_t>& yk, int* x0, int* y0) {
    VoteResult v;
    VoteLayers(map, cols, rows, rmin, rmax, 33, -1, true, v);
    const size_t n = v.stack.size();
    vk.assign(n, 0), xk.assign(n, 0), yk.assign(n, 0);
    for (size_t k = 0; k < n; ++k) {
        int32_t px, py;
        uint32_t pv;
        if (FindMapPeak(v.stack[k].data(), v.ww, v.wh, &px, &py, &pv, 4, 2) != 0) px = v.ww / 2, py = v.wh / 2, pv = 0;
        xk[k] = px, yk[k] = py, vk[k] = ClampScore(pv);
    }
    *x0 = v.x0, *y0 = v.y0;
}

}  // namespace

int32_t BalancedRadialVoteSearch(const uint8_t* map, int cols, int rows, int32_t* x, int32_t* y, int32_t* r,
                                 int32_t* score, int rmin, int rmax, int f) {
    if (!map || !x || !y || !r || !score) return 1;
    std::vector<int32_t> vk, xk, yk;
    int x0 = 0, y0 = 0;
    BalancedLayerPeaks(map, cols, rows, rmin, rmax, vk, xk, yk, &x0, &y0);
    const int n = int(vk.size());
    const int limit = f > 0 ? 50 / f : 0;
    int fallback = limit / 2;
    int32_t fallbackBest = 0;
    for (int k = 0; k < n && k < limit; ++k)
        if (vk[size_t(k)] > fallbackBest) fallbackBest = vk[size_t(k)], fallback = k;
    int32_t index = -1;
    if (ChoosePupilRing(vk.data(), xk.data(), yk.data(), n, &index) == -1) return -1;
    if (index < 0 || index >= n) index = fallback;
    if (index < 0 || index >= n) return -1;
    *x = x0 + xk[size_t(index)], *y = y0 + yk[size_t(index)], *r = rmin + 2 * index, *score = vk[size_t(index)];
    return 0;
}

namespace {

// The common frame of the pupil searches: the image cropped about its centre to at most
// maxWidth x maxHeight, reduced by f, rows reversed when flip is set, and smoothed unless told not.
struct PupilFrame {
    int left = 0, top = 0, f = 1, cols = 0, rows = 0;
    bool flip = false;
    std::vector<uint8_t> small;

    bool Prepare(const uint8_t* image, int width, int height, int maxWidth, int maxHeight, int factor, int flipRows,
                 bool smooth) {
        if (width < 1 || height < 1 || factor < 1) return false;
        f = factor, flip = flipRows != 0;
        left = width > maxWidth ? (width - maxWidth) / 2 : 0;
        const int right = width > maxWidth ? width - left - maxWidth : 0;
        top = height > maxHeight ? (height - maxHeight) / 2 : 0;
        const int bottom = height > maxHeight ? height - top - maxHeight : 0;
        const int cw = width - left - right, ch = height - top - bottom;
        std::vector<uint8_t> crop(size_t(cw) * ch);
        if (CropImage(crop.data(), image, width, height, top, bottom, left, right) != 0) return false;
        small.assign(size_t(cw / f + 1) * (ch / f + 1), 0);
        DecimateImage(small.data(), &cols, &rows, crop.data(), cw, ch, f);
        if (cols < 1 || rows < 1) return false;
        if (flip)
            for (int j = 0; j < rows / 2; ++j)
                std::swap_ranges(small.begin() + ptrdiff_t(j) * cols, small.begin() + ptrdiff_t(j + 1) * cols,
                                 small.begin() + ptrdiff_t(rows - 1 - j) * cols);
        if (smooth) SmoothImage8(small.data(), cols, rows, kPupilSmoothKernel3, 3);
        return true;
    }
    // A circle of the reduced image in image coordinates; false when it lies outside the image.
    bool MapBack(int bx, int by, int br, int width, int height, int32_t* x, int32_t* y, int32_t* r) const {
        *x = bx * f + f / 2 + left;
        *y = (flip ? rows - by - 1 : by) * f + f / 2 + top;
        *r = br * f;
        return !(*x < 0 || *x > width - 1 || *y < 0 || *y > height - 1 || *r < 0 || *r > width);
    }
};

enum class PupilMethod { Symmetry, Balanced };

int32_t LocatePupil(PupilMethod method, const uint8_t* image, int width, int height, int flip, int32_t* x, int32_t* y,
                    int32_t* r, int32_t* score, int rmin, int rmax, int f, int percent, int maxLevel) {
    if (!image) return 1;
    if (!x || !y || !r || !score) return 1;
    PupilFrame frame;
    if (!frame.Prepare(image, width, height, 1280, 960, f, flip, method == PupilMethod::Symmetry || f != 8)) return 1;
    int32_t bx = 0, by = 0, br = 0, bs = 0;
    if (method == PupilMethod::Symmetry) {
        RadialVoteSearch(frame.small.data(), frame.cols, frame.rows, &bx, &by, &br, &bs, rmin / f, rmax / f, percent,
                         maxLevel);
    } else if (BalancedRadialVoteSearch(frame.small.data(), frame.cols, frame.rows, &bx, &by, &br, &bs, rmin / f,
                                        rmax / f, f) != 0) {
        return -1;
    }
    *score = bs;
    return frame.MapBack(bx, by, br, width, height, x, y, r) ? 0 : -1;
}

// Sharpness about a found pupil: Sobel magnitudes |gx| + |gy| of the dark pixels (below 128 in the
// pupil's bounding square, below 200 elsewhere, with the four diagonal neighbours at distance 4
// below that level too) in columns x-100..x+100 and rows y-30..y+80, per pixel of the window, x 100.
int32_t DarkEdgeSharpness(const uint8_t* image, int width, int height, int x, int y, int r) {
    const int x0 = std::max(1, x - 100), x1 = std::min(width - 2, x + 100);
    const int y0 = std::max(1, y - 30), y1 = std::min(height - 2, y + 80);
    if (x1 < x0 || y1 < y0) return 0;
    auto at = [&](int u, int v) { return int(image[size_t(v) * width + u]); };
    auto inside = [&](int u, int v) { return u >= 0 && v >= 0 && u < width && v < height; };
    int64_t sum = 0;
    for (int v = y0; v <= y1; ++v)
        for (int u = x0; u <= x1; ++u) {
            const int level = std::abs(u - x) <= r && std::abs(v - y) <= r ? 128 : 200;
            if (at(u, v) >= level) continue;
            bool dark = true;
            for (const int d : {-4, 4})
                for (const int e : {-4, 4})
                    if (!inside(u + d, v + e) || at(u + d, v + e) >= level) dark = false;
            if (!dark) continue;
            const int gx = (at(u + 1, v - 1) + 2 * at(u + 1, v) + at(u + 1, v + 1)) -
                           (at(u - 1, v - 1) + 2 * at(u - 1, v) + at(u - 1, v + 1));
            const int gy = (at(u - 1, v + 1) + 2 * at(u, v + 1) + at(u + 1, v + 1)) -
                           (at(u - 1, v - 1) + 2 * at(u, v - 1) + at(u + 1, v - 1));
            sum += std::abs(gx) + std::abs(gy);
        }
    return int32_t(std::min<int64_t>(sum * 100 / (int64_t(y1 - y0 + 1) * (x1 - x0 + 1)), INT32_MAX));
}

// The strongest ring (first strict maximum) and, among the other peaks of the radius profile (above
// both neighbours and above a twentieth of the strongest) at least three radius steps away whose
// centre lies within a squared distance of 30 of the strongest one's, the strongest as the second
// ring; -1 without a ring, *second -1 without a second one.
int32_t ChooseTwoRings(const int32_t* v, const int32_t* xs, const int32_t* ys, int n, int32_t* first, int32_t* second) {
    if (n < 1) return -1;
    int m = 0;
    for (int i = 1; i < n; ++i)
        if (v[i] > v[m]) m = i;
    if (v[m] <= 0) return -1;
    int other = -1;
    for (int i = 0; i < n; ++i) {
        const int dx = xs[i] - xs[m], dy = ys[i] - ys[m];
        const bool peak = (i == 0 || v[i] > v[i - 1]) && (i == n - 1 || v[i] > v[i + 1]);
        if (peak && std::abs(i - m) > 2 && dx * dx + dy * dy <= 30 && int64_t(v[i]) * 20 > v[m] &&
            (other < 0 || v[i] > v[other]))
            other = i;
    }
    *first = m, *second = other;
    return 0;
}

}  // namespace

int32_t LocatePupil640(const uint8_t* image, int width, int height, int flip, int32_t* x, int32_t* y, int32_t* r,
                       int32_t* score, int rmin, int rmax) {
    if (!image || !x || !y || !r || !score) return 1;
    PupilFrame frame;
    if (!frame.Prepare(image, width, height, 640, 480, 4, flip, true)) return 1;
    int32_t bx = 0, by = 0, br = 0, bs = 0;
    RadialVoteSearch(frame.small.data(), frame.cols, frame.rows, &bx, &by, &br, &bs, rmin / 4, rmax / 4, 33, 255);
    const bool inside = frame.MapBack(bx, by, br, width, height, x, y, r);
    *score = inside ? DarkEdgeSharpness(image, width, height, *x, *y, *r) : 0;
    return inside ? 0 : -1;
}

int32_t LocatePupilTwoRings(const uint8_t* image, int width, int height, int flip, int32_t pupil[4], int32_t ring[4],
                            int rmin, int rmax, int f) {
    if (!image || !pupil || !ring) return 1;
    if (f < 2 || f >= 9) f = 4;
    PupilFrame frame;
    if (!frame.Prepare(image, width, height, 1280, 960, f, flip, f != 8)) return 1;
    std::fill(pupil, pupil + 4, 0);
    std::fill(ring, ring + 4, 0);
    std::vector<int32_t> vk, xk, yk;
    int x0 = 0, y0 = 0;
    BalancedLayerPeaks(frame.small.data(), frame.cols, frame.rows, rmin / f, rmax / f, vk, xk, yk, &x0, &y0);
    int32_t first = -1, second = -1;
    if (ChooseTwoRings(vk.data(), xk.data(), yk.data(), int(vk.size()), &first, &second) != 0) return -1;
    // The pupil is the smaller of the two rings.
    if (second >= 0 && second < first) std::swap(first, second);
    const int lo = rmin / f;
    if (!frame.MapBack(x0 + xk[size_t(first)], y0 + yk[size_t(first)], lo + 2 * first, width, height, pupil, pupil + 1,
                       pupil + 2))
        return -1;
    pupil[3] = vk[size_t(first)];
    if (second >= 0 && frame.MapBack(x0 + xk[size_t(second)], y0 + yk[size_t(second)], lo + 2 * second, width, height,
                                     ring, ring + 1, ring + 2))
        ring[3] = vk[size_t(second)];
    else
        std::fill(ring, ring + 4, 0);
    return 0;
}

int32_t SymmetryMap(const uint8_t* map, int cols, int rows, int rmin, int rmax, int margin, float* out) {
    if (!map || !out || cols < 1 || rows < 1) return 1;
    EdgeMaps e;
    BuildEdgeMaps(map, cols, rows, 255 - margin, e);
    const size_t n = size_t(cols) * rows;
    std::vector<uint32_t> O(n), M(n);
    std::vector<float> total(n, 0.0f);
    for (int r = std::max(rmin, 1); r <= rmax; r += 2) {
        Vote(e, nullptr, cols, rows, r, O, M, nullptr);
        for (size_t i = 0; i < n; ++i) total[i] += float(O[i]) * float(M[i]);
    }
    NormaliseMapToLevelsF(total.data(), rows, cols, 6.0f, out);
    return 0;
}

void NormaliseMapToLevelsF(const float* map, int rows, int cols, float level, float* dst) {
    if (!map || !dst) return;
    const size_t n = size_t(rows) * cols;
    float lo = 1e10f, hi = 0.0f;
    for (size_t i = 0; i < n; ++i) lo = std::min(lo, map[i]), hi = std::max(hi, map[i]);
    for (size_t i = 0; i < n; ++i) dst[i] = hi > lo ? (map[i] - lo) * level / (hi - lo) : 0.0f;
}

int32_t LocatePupilSymmetry(const uint8_t* image, int width, int height, int flip, int32_t* x, int32_t* y, int32_t* r,
                            int32_t* score, int rmin, int rmax) {
    const int f = rmin < 10 ? 2 : rmin < 20 ? 3 : 4;
    return LocatePupil(PupilMethod::Symmetry, image, width, height, flip, x, y, r, score, rmin, rmax, f, 33, 255);
}

int32_t LocatePupilBalanced(const uint8_t* image, int width, int height, int flip, int32_t* x, int32_t* y, int32_t* r,
                            int32_t* score, int rmin, int rmax, int f) {
    if (f < 2 || f >= 9) f = 4;
    return LocatePupil(PupilMethod::Balanced, image, width, height, flip, x, y, r, score, rmin, rmax, f, 33, -1);
}

int32_t LocatePupilFixed4(const uint8_t* image, int width, int height, int flip, int32_t* x, int32_t* y, int32_t* r,
                          int32_t* score, int rmin, int rmax) {
    return LocatePupil(PupilMethod::Symmetry, image, width, height, flip, x, y, r, score, rmin, rmax, 4, 47, 255);
}

int32_t LocatePupilLevel(const uint8_t* image, int width, int height, int flip, int32_t* x, int32_t* y, int32_t* r,
                         int32_t* score, int rmin, int rmax, int maxLevel) {
    const int f = rmin < 10 ? 2 : rmin < 20 ? 3 : 4;
    return LocatePupil(PupilMethod::Symmetry, image, width, height, flip, x, y, r, score, rmin, rmax, f, 33, maxLevel);
}

int32_t CountBits32(uint32_t v) {
    v = (v & 0x55555555u) + ((v >> 1) & 0x55555555u);
    v = (v & 0x33333333u) + ((v >> 2) & 0x33333333u);
    v = (v & 0x0F0F0F0Fu) + ((v >> 4) & 0x0F0F0F0Fu);
    v = (v & 0x00FF00FFu) + ((v >> 8) & 0x00FF00FFu);
    v = (v & 0x0000FFFFu) + (v >> 16);
    return int32_t(v);
}

int32_t ApproxHypot(int32_t a, int32_t b) {
    static const int32_t T[17] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 9, 9, 9, 9, 8, 5, 3, 0};
    const int64_t M = std::max(a, b), m = std::min(a, b);
    if (M == 0) return int32_t(m);
    return int32_t(M + ((T[16 * m / M] * M) >> 9) + ((27146 * m * m / M) >> 16));
}

void ReciprocalTable(uint16_t out[256]) {
    if (!out) return;
    out[0] = 32768;
    for (int i = 1; i < 256; ++i) out[i] = uint16_t(32768.0 / i + 0.49999999);
}

}  // namespace irisalg
