// Feature kind 32: the iris marked where it is not iris, unwrapped around the pupil centre into a
// 256 x 50 ring, smoothed and contrast-enhanced, filtered with eight odd Gabor kernels and sampled
// on a 128 x 8 grid; then 128 mask bytes.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>
#include <vector>

#include "irisalg/IrisAlg.h"
#include "irisalg/IrisEncode.h"

namespace irisalg {

namespace {

constexpr int kRingW = 256, kRingH = 50, kChannels = 8, kGridCols = 128, kGridRowsRing = 8;
constexpr int32_t kEyelidScore = 3500;
constexpr int kMaxSide = 1600;

struct Channel {
    int scale;
    double angle;
};
// Ten entries; the first eight are used.
constexpr Channel kChannelTable[10] = {{5, 0},
                                       {9, 0},
                                       {14, 0},
                                       {23, 0},
                                       {8, std::numbers::pi / 8},
                                       {13, -std::numbers::pi / 8},
                                       {13, std::numbers::pi / 4},
                                       {18, -std::numbers::pi / 4},
                                       {2, 0},
                                       {33, 0}};

struct Kernel {
    std::vector<int16_t> v;
    int rows = 0, cols = 0;
};

int OddCount(double s) {
    const int n = int(2 * s + 1);
    return (n & ~1) + 1;
}

Kernel MakeRingGaborKernel(double theta, double lambda, double sx, double sy) {
    Kernel k;
    k.cols = OddCount(sx);
    k.rows = OddCount(sy);
    for (int y = -k.rows / 2; y <= k.rows / 2; ++y)
        for (int x = -k.cols / 2; x <= k.cols / 2; ++x) {
            const double u = x * std::cos(theta) + y * std::sin(theta);
            const double v = y * std::cos(theta) - x * std::sin(theta);
            k.v.push_back(int16_t(int(std::exp(-(v * v * 0.5 / (sy * sy) + u * u * 0.5 / (sx * sx))) *
                                      std::sin(2 * std::numbers::pi * u / lambda) * 1024)));
        }
    return k;
}

// The kernels of the eight channels, built once.
const std::vector<Kernel>& Kernels() {
    static std::vector<Kernel> kernels;
    static std::once_flag once;
    std::call_once(once, [] {
        for (int c = 0; c < kChannels; ++c) {
            const int s = kChannelTable[c].scale;
            kernels.push_back(MakeRingGaborKernel(kChannelTable[c].angle, 1.8 + 0.36 * s, 1.0 + 0.2 * s, 1.0 + 0.2 * s));
        }
    });
    return kernels;
}

// Marks non-iris pixels 255 (other pixels at most 254) from the circles and the eyelids.
void MarkOcclusion(std::vector<uint8_t>& img, int width, int height, const LocationResult& loc) {
    const int32_t* w = loc.words;
    const int64_t px = w[kWordPupilX], py = w[kWordPupilY], pr = w[kWordPupilR];
    const int64_t ix = w[kWordIrisX], iy = w[kWordIrisY], ir = w[kWordIrisR];
    if (pr < 10 || ir <= pr) return;
    const int64_t ra = ir, rb = ir;
    const int64_t pw = 2 * (ra + 2) + 1, ph = 2 * (rb + 2) + 1;
    const int64_t ox = ix - (ra + 2), oy = iy - (rb + 2);  // image position of patch (0, 0)
    std::vector<uint8_t> patch(size_t(pw * ph), 0);
    for (int64_t y = 0; y < ph; ++y)
        for (int64_t x = 0; x < pw; ++x) {
            const int64_t dxp = x + ox - px, dyp = y + oy - py, dx = x - (ra + 2), dy = y - (rb + 2);
            if (dxp * dxp + dyp * dyp < pr * pr || dx * dx + dy * dy > ir * ir) patch[size_t(y * pw + x)] = 255;
        }
    EyelidCurve up{w[kWordUpperLid], w[kWordUpperLid + 1], w[kWordUpperLid + 2], w[kWordUpperLid + 3]};
    EyelidCurve low{w[kWordLowerLid], w[kWordLowerLid + 1], w[kWordLowerLid + 2], w[kWordLowerLid + 3]};
    bool useUp = up.score > kEyelidScore && up.divisor != 0, useLow = low.score > kEyelidScore && low.divisor != 0;
    if (useUp && useLow && low.vertexY - up.vertexY < pr) {
        if (up.score > low.score)
            useLow = false;
        else
            useUp = false;
    }
    for (int64_t x = 0; x < pw; ++x) {
        const int64_t gx = x + ox;
        if (useUp) {
            const int64_t row = (gx - up.vertexX) * (gx - up.vertexX) / up.divisor + up.vertexY - oy;
            for (int64_t y = 0; y <= std::min(row, ph - 1); ++y) patch[size_t(y * pw + x)] = 255;
        }
        if (useLow) {
            const int64_t row = (gx - low.vertexX) * (gx - low.vertexX) / low.divisor + low.vertexY - oy;
            if (row < ph)
                for (int64_t y = std::max<int64_t>(row, 0); y < ph; ++y) patch[size_t(y * pw + x)] = 255;
        }
    }
    for (int64_t y = 0; y < ph; ++y) {
        const int64_t gy = y + oy;
        if (gy < 0 || gy >= height) continue;
        for (int64_t x = 0; x < pw; ++x) {
            const int64_t gx = x + ox;
            if (gx < 0 || gx >= width) continue;
            uint8_t& p = img[size_t(gy * width + gx)];
            p = std::min<uint8_t>(p, 254);
            if (patch[size_t(y * pw + x)] > 128) p = 255;
        }
    }
}

int32_t Sample(const std::vector<uint8_t>& img, int width, int height, int64_t x16, int64_t y16) {
    return BilinearSample(img.data(), height, width, int32_t(std::clamp<int64_t>(x16, INT32_MIN, INT32_MAX)),
                          int32_t(std::clamp<int64_t>(y16, INT32_MIN, INT32_MAX)));
}

void UnwrapConcentric(const std::vector<uint8_t>& img, int width, int height, int64_t cx, int64_t cy, int64_t r0,
                      int64_t r1, uint8_t* ring) {
    const int64_t step = ((r1 - r0) * 65536) / kRingH;
    for (int c = 0; c < kRingW; ++c) {
        const double a = c * 2 * std::numbers::pi / kRingW;
        const double s = std::sin(a), co = std::cos(a);
        for (int k = 0; k < kRingH; ++k) {
            const int64_t radius = r0 * 65536 + (k + 1) * step;
            const int64_t x = cx * 65536 + int64_t(double(radius) * co), y = cy * 65536 - int64_t(double(radius) * s);
            ring[size_t(k) * kRingW + c] = uint8_t(Sample(img, width, height, x, y));
        }
    }
}

int32_t UnwrapFromPoints(const std::vector<uint8_t>& img, int width, int height, const int64_t* px,
                         const int64_t* py, int64_t cx, int64_t cy, int64_t R, uint8_t* ring) {
    for (int c = 0; c < kRingW; ++c) {
        const int64_t dx = px[c] - cx, dy = py[c] - cy;
        const int64_t d = int64_t(std::sqrt(double(dx * dx + dy * dy)));
        if (d == 0) return -1;  // a point on the centre has no direction
        const int64_t ux = dx * 65536 / d, uy = dy * 65536 / d;
        const int64_t sx = (ux * R - dx * 65536) / kRingH, sy = (uy * R - dy * 65536) / kRingH;
        for (int k = 0; k < kRingH; ++k)
            ring[size_t(k) * kRingW + c] =
                uint8_t(Sample(img, width, height, px[c] * 65536 + (k + 1) * sx, py[c] * 65536 + (k + 1) * sy));
    }
    return 0;
}

// 5 x 5 Gaussian (weights x 100) over the pixels inside the ring (weighted by the weights of the
// pixels present, so a flat ring stays flat), then stretched to 0..255.
void SmoothAndStretch(uint8_t* ring) {
    int kernel[5][5];
    for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) kernel[dy + 2][dx + 2] = int(std::floor(100.0 * std::exp(-(dx * dx + dy * dy))));
    std::vector<int64_t> v(size_t(kRingW) * kRingH);
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (int y = 0; y < kRingH; ++y)
        for (int x = 0; x < kRingW; ++x) {
            int64_t s = 0, weight = 0;
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx) {
                    const int yy = y + dy, xx = x + dx;
                    if (yy < 0 || yy >= kRingH || xx < 0 || xx >= kRingW) continue;
                    s += int64_t(kernel[dy + 2][dx + 2]) * ring[size_t(yy) * kRingW + xx];
                    weight += kernel[dy + 2][dx + 2];
                }
            const int64_t val = s / weight;
            v[size_t(y) * kRingW + x] = val;
            lo = std::min(lo, val), hi = std::max(hi, val);
        }
    const int64_t span = hi - lo > 0 ? hi - lo : 1;
    for (size_t i = 0; i < v.size(); ++i) ring[i] = uint8_t((v[i] - lo) * 255 / span);
}

void EnhanceContrast(uint8_t* ring) {
    constexpr int kBox = 8;
    const int n = kRingW * kRingH;
    int64_t hist[256] = {0};
    for (int i = 0; i < n; ++i) ++hist[ring[i]];
    int eq[256];
    int64_t acc = 0;
    for (int v = 0; v < 256; ++v) {
        acc += hist[v];
        eq[v] = int(acc * 255 / kRingH / kRingW);
    }
    std::vector<int> d(size_t(n), 0);
    int64_t absSum = 0;
    int M = 0;
    for (int y = 0; y < kRingH; ++y)
        for (int x = 0; x < kRingW; ++x) {
            int64_t s = 0, cnt = 0;
            for (int yy = std::max(0, y - kBox); yy <= std::min(kRingH - 1, y + kBox); ++yy)
                for (int xx = std::max(0, x - kBox); xx <= std::min(kRingW - 1, x + kBox); ++xx)
                    s += ring[size_t(yy) * kRingW + xx], ++cnt;
            const int dv = ring[size_t(y) * kRingW + x] - int(s / cnt);
            d[size_t(y) * kRingW + x] = dv;
            absSum += std::abs(dv);
            M = std::max(M, std::abs(dv));
        }
    const int m = int(absSum / n);
    for (int i = 0; i < n; ++i) {
        double gain = 0;
        if (M != m) gain = ((double(std::abs(d[size_t(i)]) - m) / double(M - m)) + 0.5) * 5.0;
        if (!(gain >= 0)) gain = 0;
        gain = std::min(gain, 2.0);
        const int nv = eq[ring[i]] + int(d[size_t(i)] * gain);
        ring[i] = uint8_t(nv < 0 || nv > 255 ? eq[ring[i]] : nv);
    }
}

int32_t EncodeRingCode(uint8_t* ring, int channelMask, uint8_t* out) {
    std::vector<uint8_t> copy(ring, ring + size_t(kRingW) * kRingH);
    uint8_t mask[kGridCols] = {0};
    for (int j = 0; j < kGridCols; ++j)
        for (int i = 0; i < kGridRowsRing; ++i)
            if (copy[size_t(2 + 5 * i) * kRingW + 1 + 2 * j] < 255) mask[j] |= uint8_t(0x80 >> i);
    SmoothAndStretch(ring);
    EnhanceContrast(ring);
    for (size_t i = 0; i < copy.size(); ++i)
        if (copy[i] == 255) ring[i] = 0;
    const auto& kernels = Kernels();
    int used = 0;
    for (int c = 0; c < kChannels; ++c) {
        if (channelMask && !(channelMask >> c & 1)) continue;
        const Kernel& k = kernels[size_t(c)];
        uint8_t* code = out + 128 * used++;
        std::memset(code, 0, 128);
        for (int j = 0; j < kGridCols; ++j) {
            const int col = 1 + 2 * j;
            for (int i = 0; i < kGridRowsRing; ++i) {
                const int row = 2 + 5 * i;
                const int half = k.rows / 2;
                const int v = std::min({half, row, kRingH - 1 - row});
                int32_t sum = 0;
                for (int r = half - v; r <= half + v; ++r) {
                    const uint8_t* line = ring + size_t(row - half + r) * kRingW;
                    const int16_t* kr = k.v.data() + size_t(r) * k.cols;
                    for (int x = 0; x < k.cols; ++x) sum += int32_t(kr[x]) * line[(col - k.cols / 2 + x + kRingW) % kRingW];
                }
                if (sum > 0) code[j] |= uint8_t(0x80 >> i);
            }
        }
    }
    std::memcpy(out + 128 * used, mask, sizeof mask);
    return 128 * used + 128;
}

}  // namespace

int32_t ExtractRingCode(const uint8_t* image, int width, int height, const uint8_t* map, LocationResult& loc,
                        uint8_t* out) {
    if (!image || !out || width < 2 || height < 2 || width > kMaxSide || height > kMaxSide) return -1;
    const int32_t* w = loc.words;
    const int32_t count = w[kWordContourCount];
    if (count < 0 || count % kRingW != 0 || count > 512) return -1;
    std::vector<uint8_t> img(image, image + size_t(width) * height);
    if (map) {
        for (size_t i = 0; i < img.size(); ++i) {
            img[i] = std::min<uint8_t>(img[i], 254);
            if (map[i] > 128) img[i] = 255;
        }
    } else {
        MarkOcclusion(img, width, height, loc);
    }
    std::vector<uint8_t> ring(size_t(kRingW) * kRingH);
    const int64_t cx = w[kWordPupilX], cy = w[kWordPupilY];
    if (map || w[kWordContourFlag] != 1 || count == 0) {
        UnwrapConcentric(img, width, height, cx, cy, w[kWordPupilR], w[kWordIrisR], ring.data());
    } else {
        int64_t px[kRingW], py[kRingW];
        const int every = count / kRingW;
        for (int c = 0; c < kRingW; ++c) px[c] = w[kWordContourX + c * every], py[c] = w[kWordContourX + count + c * every];
        if (UnwrapFromPoints(img, width, height, px, py, cx, cy, w[kWordIrisR], ring.data()) != 0) return -1;
    }
    return EncodeRingCode(ring.data(), w[kWordParameter] & 0xFF, out);
}

}  // namespace irisalg
