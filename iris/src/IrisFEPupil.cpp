// Coarse pupil finder of the front end: spot suppression, contrast normalisation and the
// gradient-voting (circular Hough) searches on a decimated frame, and the pupil search entry that
// decimates the frame and scales the result back.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <tuple>
#include <utility>

#include "iris/IrisFrontEnd.h"

namespace irisfe {

namespace {

constexpr int32_t kSmooth3[9] = {75, 124, 75, 124, 204, 124, 75, 124, 75};  // sum 1000
constexpr int32_t kSmooth3Sum = 1000;
constexpr int32_t kVote5[25] = {100, 106, 108, 106, 100, 106, 113, 115, 113, 106, 108, 115, 117,
                                115, 108, 106, 113, 115, 113, 106, 100, 106, 108, 106, 100};  // sum 2709
constexpr int32_t kVote5Sum = 2709;


// Square-kernel convolution of a plane of 8- or 32-bit samples (borders unchanged, divided by the
// kernel sum).
template <typename T>
void ConvolveSquare(T* plane, int32_t columns, int32_t rows, const int32_t* kernel, int32_t size, int32_t sum) {
    const int32_t h = size / 2;
    if (columns <= 2 * h || rows <= 2 * h) return;
    std::vector<T> src(plane, plane + size_t(columns) * size_t(rows));
    for (int32_t y = h; y < rows - h; ++y)
        for (int32_t x = h; x < columns - h; ++x) {
            int64_t acc = 0;
            for (int32_t j = 0; j < size; ++j)
                for (int32_t i = 0; i < size; ++i)
                    acc += int64_t(kernel[j * size + i]) * src[size_t(y + j - h) * columns + (x + i - h)];
            plane[size_t(y) * columns + x] = T(acc / sum);
        }
}

void Convolve8(uint8_t* image, int32_t columns, int32_t rows, const int32_t* kernel, int32_t size, int32_t sum) {
    ConvolveSquare(image, columns, rows, kernel, size, sum);
}

void Convolve32(int32_t* plane, int32_t columns, int32_t rows, const int32_t* kernel, int32_t size, int32_t sum) {
    ConvolveSquare(plane, columns, rows, kernel, size, sum);
}

// Integer square root by Newton iteration.
int64_t Isqrt(int64_t v) {
    if (v <= 0) return 0;
    int64_t x = int64_t(std::sqrt(double(v)));
    while (x * x > v) --x;
    while ((x + 1) * (x + 1) <= v) ++x;
    return x;
}

// Gradients of the smoothed image: unit vector x 2^15 and integer magnitude (0 = no gradient).
struct Gradients {
    std::vector<int32_t> ux, uy, magnitude;
};

void TakeGradients(const uint8_t* s, int32_t columns, int32_t rows, int32_t limit, Gradients& g) {
    const size_t n = size_t(columns) * size_t(rows);
    g.ux.assign(n, 0), g.uy.assign(n, 0), g.magnitude.assign(n, 0);
    for (int32_t y = 1; y + 1 < rows; ++y)
        for (int32_t x = 1; x + 1 < columns; ++x) {
            auto at = [&](int32_t dx, int32_t dy) { return int32_t(s[size_t(y + dy) * columns + (x + dx)]); };
            int32_t gx = (at(-1, -1) + 2 * at(-1, 0) + at(-1, 1)) - (at(1, -1) + 2 * at(1, 0) + at(1, 1));
            int32_t gy = (at(-1, -1) + 2 * at(0, -1) + at(1, -1)) - (at(-1, 1) + 2 * at(0, 1) + at(1, 1));
            int32_t m = 0;
            for (int32_t dy = -1; dy <= 1; ++dy)
                for (int32_t dx = -1; dx <= 1; ++dx)
                    if (dx || dy) m = std::max(m, at(dx, dy));
            if (m > limit || m < 10) continue;
            gx = gx * 255 / m;
            gy = gy * 255 / m;
            const int64_t squared = int64_t(gx) * gx + int64_t(gy) * gy;
            if (squared <= 2) continue;
            // Gradients pointing downward within 30 degrees of the vertical: the pupil's upper edge,
            // which lashes and the lid disturb.
            if (gy > 0 && 4 * int64_t(gx) * gx < squared) continue;
            const int32_t mag = int32_t(Isqrt(1024 * squared) / 32);
            const size_t i = size_t(y) * columns + x;
            g.magnitude[i] = mag;
            g.ux[i] = int32_t(int64_t(gx) * 32768 / mag);
            g.uy[i] = int32_t(int64_t(gy) * 32768 / mag);
        }
}

// One radius's votes: each gradient pixel votes r along its unit vector; plane = sum x count.
void VoteRadius(const Gradients& g, int32_t columns, int32_t rows, int32_t r, std::vector<int32_t>& sum,
                std::vector<int32_t>& count, int32_t* plane, int32_t* total) {
    std::fill(sum.begin(), sum.end(), 0);
    std::fill(count.begin(), count.end(), 0);
    for (int32_t y = 1; y + 1 < rows; ++y)
        for (int32_t x = 1; x + 1 < columns; ++x) {
            const size_t i = size_t(y) * columns + x;
            if (g.magnitude[i] == 0) continue;
            const int32_t cx = x + int32_t((int64_t(g.ux[i]) * r) >> 15);
            const int32_t cy = y + int32_t((int64_t(g.uy[i]) * r) >> 15);
            if (cx < 0 || cy < 0 || cx >= columns || cy >= rows) continue;
            const size_t c = size_t(cy) * columns + cx;
            sum[c] += g.magnitude[i];
            count[c] += 1;
        }
    const size_t n = size_t(columns) * size_t(rows);
    for (size_t c = 0; c < n; ++c) {
        const int64_t v = sum[c] ? std::min<int64_t>(int64_t(sum[c]) * count[c], INT32_MAX) : 0;
        plane[c] = int32_t(v);
        total[c] = int32_t(std::min<int64_t>(int64_t(total[c]) + v, INT32_MAX));
    }
}

// Centre estimate: the total plane smoothed and weighted by a prior toward the image centre; the
// largest cell 4 or more from the borders, the last one on ties.
bool CentreEstimate(std::vector<int32_t>& total, int32_t columns, int32_t rows, int32_t* bx, int32_t* by) {
    Convolve32(total.data(), columns, rows, kVote5, 5, kVote5Sum);
    const int64_t D = (int64_t(columns) + rows) / 2;
    *bx = 0, *by = 0;
    uint32_t best = 0;
    bool any = false;
    for (int32_t y = 4; y <= rows - 5; ++y)
        for (int32_t x = 4; x <= columns - 5; ++x) {
            const int64_t v = total[size_t(y) * columns + x];
            const int64_t w = D - std::abs(y - rows / 2) - std::abs(x - columns / 2);
            const uint32_t weighted = uint32_t(uint64_t(v) * uint64_t(std::max<int64_t>(w, 0)) * 8 / uint64_t(std::max<int64_t>(D, 1)));
            if (!any || weighted >= best) {
                best = weighted, *bx = x, *by = y;
                any = true;
            }
        }
    return any;
}

struct Peak {
    int32_t x = 0, y = 0, value = 0;
};

// Per-radius peak inside the window around (bx, by): the plane's window smoothed, its largest
// cell (4 or more from the window's borders, the last on ties).
Peak WindowPeak(const int32_t* plane, int32_t columns, int32_t rows, int32_t bx, int32_t by, int32_t half) {
    const int32_t x0 = std::max(0, bx - half), x1 = std::min(columns - 1, bx + half);
    const int32_t y0 = std::max(0, by - half), y1 = std::min(rows - 1, by + half);
    Peak p{x0, y0, 0};
    const int32_t w = x1 - x0 + 1, h = y1 - y0 + 1;
    if (w <= 0 || h <= 0) return p;
    std::vector<int32_t> win(size_t(w) * size_t(h));
    for (int32_t y = 0; y < h; ++y)
        std::memcpy(&win[size_t(y) * w], plane + size_t(y0 + y) * columns + x0, size_t(w) * sizeof(int32_t));
    Convolve32(win.data(), w, h, kVote5, 5, kVote5Sum);
    bool any = false;
    for (int32_t y = 4; y <= h - 5; ++y)
        for (int32_t x = 4; x <= w - 5; ++x) {
            const int32_t v = win[size_t(y) * w + x];
            if (!any || uint32_t(v) >= uint32_t(p.value)) {
                p = {x0 + x, y0 + y, v};
                any = true;
            }
        }
    return p;
}

// Shared preparation of the voting finders: contrast, smoothing, gradients.
bool Prepare(uint8_t* image, int32_t columns, int32_t rows, int32_t limit, Gradients& g) {
    IrisFE_NormalizeContrast(image, columns, rows);
    Convolve8(image, columns, rows, kSmooth3, 3, kSmooth3Sum);
    try {
        TakeGradients(image, columns, rows, limit, g);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Gradient voting over the given radii, then the per-radius peaks around the centre estimate.
// Vote planes of the given radii and their total.
void VotePlanes(const Gradients& g, int32_t columns, int32_t rows, const std::vector<int32_t>& radii,
                std::vector<int32_t>& planes, std::vector<int32_t>& total) {
    const size_t n = size_t(columns) * size_t(rows);
    std::vector<int32_t> sum(n), count(n);
    total.assign(n, 0);
    planes.assign(n * radii.size(), 0);
    for (size_t k = 0; k < radii.size(); ++k)
        VoteRadius(g, columns, rows, radii[k], sum, count, planes.data() + k * n, total.data());
}

bool VoteAndPeaks(const Gradients& g, int32_t columns, int32_t rows, const std::vector<int32_t>& radii, int32_t window,
                  std::vector<Peak>& peaks) {
    try {
        const size_t n = size_t(columns) * size_t(rows);
        std::vector<int32_t> planes, total;
        VotePlanes(g, columns, rows, radii, planes, total);
        int32_t bx = 0, by = 0;
        CentreEstimate(total, columns, rows, &bx, &by);
        const int32_t half = std::max(1, window) + 4;
        peaks.resize(radii.size());
        for (size_t k = 0; k < radii.size(); ++k) peaks[k] = WindowPeak(planes.data() + k * n, columns, rows, bx, by, half);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

struct Segment {
    int64_t sum = 0;
    int32_t members = 0, peak = 0, weight = 0, first = 0, last = 0;
};

// Of three or more weighted segments, the heaviest (H, the first on ties) and its partner: when a
// segment before H is heavy enough (4 x its weight above the heaviest after H), the one before H
// farthest from it by weight, otherwise the heaviest other segment.
std::pair<size_t, size_t> HeaviestPair(const std::vector<Segment>& kept) {
    size_t H = 0;
    for (size_t k = 1; k < kept.size(); ++k)
        if (kept[k].weight > kept[H].weight) H = k;
    int32_t before = 0, after = 0;
    for (size_t k = 0; k < H; ++k) before = std::max(before, kept[k].weight);
    for (size_t k = H + 1; k < kept.size(); ++k) after = std::max(after, kept[k].weight);
    size_t partner = H;
    if (H > 0 && int64_t(4) * before > after) {
        int64_t bestValue = -1;
        for (size_t k = 0; k < H; ++k) {
            const int64_t v = int64_t(std::abs(kept[k].peak - kept[H].peak)) * kept[k].weight;
            if (v > bestValue) bestValue = v, partner = k;
        }
    } else {
        int32_t bestWeight = INT32_MIN;
        for (size_t k = 0; k < kept.size(); ++k)
            if (k != H && kept[k].weight > bestWeight) bestWeight = kept[k].weight, partner = k;
    }
    return {H, partner};
}

}  // namespace

const uint8_t* IrisFE_BrighteningTable() {
    static uint8_t table[256];
    static std::once_flag once;
    std::call_once(once, [] {
        static constexpr int32_t anchors[][2] = {{0, 0}, {1, 3}, {2, 5}, {3, 8}, {4, 10}, {64, 168}, {128, 225}, {255, 255}};
        IrisFE_InterpolateTable(anchors, std::size(anchors), table);
    });
    return table;
}

void IrisFE_MovingAverage(const int32_t* in, int32_t n, int32_t h, int32_t* out) {
    std::vector<int32_t> src(in, in + n);
    for (int32_t i = 0; i < n; ++i) {
        const int32_t a = std::max(0, i - h), b = std::min(n - 1, i + h);
        int64_t s = 0;
        for (int32_t k = a; k <= b; ++k) s += src[size_t(k)];
        out[i] = std::max<int32_t>(1, int32_t(s / (b - a + 1)));
    }
}

std::vector<int32_t> IrisFE_RadiusList(int32_t minRadius, int32_t maxRadius, int32_t d, int32_t columns) {
    std::vector<int32_t> radii;
    for (int32_t r = minRadius; r <= maxRadius;) {
        radii.push_back(r);
        r += r * d < 41 ? 1 : (r * d <= columns ? 2 : 3);
    }
    return radii;
}

void IrisFE_InterpolateTable(const int32_t (*anchors)[2], size_t count, uint8_t* table) {
    for (size_t k = 0; k + 1 < count; ++k) {
        const int32_t x0 = anchors[k][0], y0 = anchors[k][1], x1 = anchors[k + 1][0], y1 = anchors[k + 1][1];
        for (int32_t x = x0; x <= x1; ++x) table[x] = uint8_t(y0 + ((y1 - y0) * (x - x0) * 2 + (x1 - x0)) / (2 * (x1 - x0)));
    }
}

int32_t IrisFE_SuppressSpots(uint8_t* image, int32_t columns, int32_t rows) {
    if (!image || columns < 1 || rows < 1) return -100;
    const size_t n = size_t(columns) * size_t(rows);
    std::vector<uint8_t> strength, floorMap;
    try {
        strength.assign(n, 0);
        floorMap.assign(n, 0);
    } catch (const std::bad_alloc&) {
        return -100;
    }
    int32_t histogram[256] = {};
    static constexpr int32_t kReach = 10;
    static constexpr int32_t dirs[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
    for (int32_t y = kReach; y < rows - kReach; ++y)
        for (int32_t x = kReach; x < columns - kReach; ++x) {
            const int32_t p = image[size_t(y) * columns + x];
            int32_t sums[4] = {}, minima[4] = {p, p, p, p};
            for (int d = 0; d < 4; ++d)
                for (int32_t k = 1; k <= kReach; ++k) {
                    const int32_t q = image[size_t(y + dirs[d][1] * k) * columns + (x + dirs[d][0] * k)];
                    sums[d] += p - q;
                    minima[d] = std::min(minima[d], q);
                }
            const size_t i = size_t(y) * columns + x;
            floorMap[i] = uint8_t((minima[0] + minima[1] + minima[2] + minima[3]) / 4);
            int32_t s = 0;
            if (sums[0] >= 0 && sums[1] >= 0 && sums[2] >= 0 && sums[3] >= 0) {
                const int32_t m = (sums[0] + sums[1] + sums[2] + sums[3]) / 10;
                const int32_t spread = std::abs(sums[0] - m) + std::abs(sums[1] - m) + std::abs(sums[2] - m) + std::abs(sums[3] - m);
                s = std::clamp(m - spread / 10, 0, 255);
            }
            strength[i] = uint8_t(s);
            ++histogram[s];
        }
    int32_t threshold = 0, above = 0;
    for (int32_t level = 255; level >= 0; --level) {
        above += histogram[level];
        if (level < 120 || above > 100) {
            threshold = level;
            break;
        }
    }
    for (int32_t y = 1; y + 1 < rows; ++y)
        for (int32_t x = 1; x + 1 < columns; ++x) {
            const size_t i = size_t(y) * columns + x;
            if (strength[i] <= threshold) continue;
            const int32_t f = floorMap[i];
            for (int32_t dy = -1; dy <= 1; ++dy)
                for (int32_t dx = -1; dx <= 1; ++dx) {
                    const size_t j = size_t(y + dy) * columns + (x + dx);
                    if (image[j] <= f) continue;
                    image[j] = strength[j] <= threshold ? uint8_t((f + image[j]) / 2) : uint8_t(f);
                }
        }
    return threshold;
}

int32_t IrisFE_NormalizeContrast(uint8_t* image, int32_t columns, int32_t rows) {
    int32_t histogram[256] = {};
    int32_t samples = 0;
    for (int32_t y = 0; y < rows; y += 2)
        for (int32_t x = 0; x < columns; x += 2) {
            ++histogram[image[size_t(y) * columns + x]];
            ++samples;
        }
    int32_t once[256], twice[128];
    IrisFE_MovingAverage(histogram, 256, 16, once);
    IrisFE_MovingAverage(once, 128, 16, twice);
    int64_t darkWeight = 0;
    for (int32_t level = 0; level < 80; ++level) darkWeight += int64_t(100 - level) * std::max(0, once[level] - twice[level]);
    if (darkWeight < 2000) return -1;
    int32_t bright = 255, brightCount = -1, passed = 0;
    for (int32_t level = 255; level >= 0 && passed <= samples / 8; --level) {
        passed += histogram[level];
        if (histogram[level] > brightCount) brightCount = histogram[level], bright = level;
    }
    if (bright > 210) return -2;
    int32_t dark = 0, cumulative = 0;
    for (int32_t level = 0; level < 256; ++level) {
        cumulative += histogram[level];
        if (cumulative > 30) {
            dark = level;
            break;
        }
    }
    const uint8_t* brighten = IrisFE_BrighteningTable();
    uint8_t map[256];
    for (int32_t level = 0; level < 256; ++level) {
        int32_t v;
        if (level < dark) v = 0;
        else if (level > bright) v = 255;
        else v = bright > dark ? (level - dark) * 255 / (bright - dark) : 255;
        map[level] = brighten[std::clamp(v, 0, 255)];
    }
    for (size_t i = 0, n = size_t(columns) * size_t(rows); i < n; ++i) image[i] = map[image[i]];
    return 0;
}

int32_t IrisFE_SelectRadius(const int32_t* peaks, int32_t n, int32_t h, int32_t span, int32_t* halfWidth) {
    *halfWidth = 1;
    if (n <= 0) return 0;
    std::vector<int32_t> s(static_cast<size_t>(n));
    IrisFE_MovingAverage(peaks, n, h, s.data());
    const int32_t t = *std::max_element(s.begin(), s.end()) / 8;
    for (int32_t i = 2; i + 2 < n; ++i)
        if (s[i] > t && s[i] < s[i - 1] && s[i] < s[i + 1] && s[i] < s[i - 2] && s[i] < s[i + 2]) s[i] = 0;
    std::vector<Segment> segments;
    for (int32_t i = 0; i < n && segments.size() < 31;) {
        if (s[i] <= t) {
            ++i;
            continue;
        }
        Segment seg;
        seg.first = i;
        seg.peak = i;
        for (; i < n && s[i] > t; ++i) {
            seg.sum += s[i];
            ++seg.members;
            if (s[i] > s[seg.peak]) seg.peak = i;
        }
        seg.last = i - 1;
        segments.push_back(seg);
    }
    int32_t chosen = -1;
    int64_t chosenSum = 0;
    if (!segments.empty()) {
        size_t best = 0;
        for (size_t k = 1; k < segments.size(); ++k)
            if (segments[k].sum > segments[best].sum) best = k;
        const int64_t largest = segments[best].sum;
        if (segments[best].peak > span) segments.resize(best + 1);
        std::vector<Segment> kept;
        for (const Segment& seg : segments)
            if (seg.sum > largest / 50 && seg.members > 3) kept.push_back(seg);
        for (Segment& seg : kept) seg.weight = int32_t(std::log(double(seg.sum)) * s[seg.peak]);
        const Segment* pick = nullptr;
        if (kept.size() == 1 || kept.size() == 2) {
            pick = &kept[0];
        } else if (kept.size() >= 3) {
            const auto [H, partner] = HeaviestPair(kept);
            pick = kept[partner].peak < kept[H].peak ? &kept[partner] : &kept[H];
        }
        if (pick) chosen = pick->peak, chosenSum = pick->sum;
    }
    if (chosen < 0) {
        chosen = int32_t(std::max_element(s.begin(), s.end()) - s.begin());
        chosenSum = s[chosen];
    }
    if (chosen > span) {
        int32_t alt = -1;
        for (int32_t i = 0; i < std::min(span, n); ++i) {
            const bool local = (i == 0 || s[i] >= s[i - 1]) && (i + 1 >= n || s[i] >= s[i + 1]);
            if (local && (alt < 0 || s[i] > s[alt])) alt = i;
        }
        if (alt >= 0) chosen = alt, chosenSum = s[alt];
    }
    const int32_t v = s[chosen];
    int32_t w = 1;
    int64_t running = 0;
    for (int32_t k = 1; chosen - k >= 0 && chosen + k < n; ++k) {
        if (s[chosen - k] < v / 8 || s[chosen + k] < v / 8) break;
        running += s[chosen - k] + s[chosen + k];
        if (running > chosenSum * 3 / 4) break;
        w = k;
    }
    *halfWidth = w;
    return chosen;
}

static int32_t UnguardedVotePupil(uint8_t* image, int32_t columns, int32_t rows, int32_t* x, int32_t* y, int32_t* radius,
                         int32_t* score, int32_t minRadius, int32_t maxRadius, int32_t /*maxRadius2*/, int32_t limit,
                         int32_t window, int32_t d) {

    if (!image || maxRadius <= minRadius) return -99;
    Gradients g;
    if (!Prepare(image, columns, rows, limit, g)) return -100;
    const std::vector<int32_t> radii = IrisFE_RadiusList(minRadius, maxRadius, d, columns);
    std::vector<Peak> peaks;
    if (!VoteAndPeaks(g, columns, rows, radii, window, peaks)) return -100;
    std::vector<int32_t> values(peaks.size());
    for (size_t k = 0; k < peaks.size(); ++k) values[k] = peaks[k].value;
    int32_t w = 1;
    const int32_t i = IrisFE_SelectRadius(values.data(), int32_t(values.size()), 1, maxRadius - minRadius, &w);
    int32_t pick = i;
    for (int32_t k = std::max(0, i - w); k <= std::min(int32_t(values.size()) - 1, i + w); ++k)
        if (values[k] >= values[pick]) pick = k;
    *x = peaks[pick].x, *y = peaks[pick].y, *radius = radii[pick], *score = peaks[pick].value;
    return 0;
}

int32_t IrisFE_VotePupil(uint8_t* image, int32_t columns, int32_t rows, int32_t* x, int32_t* y, int32_t* radius,
                         int32_t* score, int32_t minRadius, int32_t maxRadius, int32_t maxRadius2, int32_t limit,
                         int32_t window, int32_t d) {
    // Every buffer is released when an allocation fails.
    try {
        return UnguardedVotePupil(image, columns, rows, x, y, radius, score, minRadius, maxRadius, maxRadius2, limit, window, d);
    } catch (const std::bad_alloc&) {
        return -100;
    }
}

static int32_t UnguardedVotePupilAllRadii(uint8_t* image, int32_t columns, int32_t rows, int32_t* x, int32_t* y,
                                 int32_t* radius, int32_t* score, int32_t minRadius, int32_t maxRadius,
                                 int32_t maxRadius2, int32_t limit, int32_t window) {

    if (!image || maxRadius <= minRadius) return -99;
    Gradients g;
    if (!Prepare(image, columns, rows, limit, g)) return -100;
    std::vector<int32_t> radii;
    for (int32_t r = minRadius; r <= maxRadius; ++r) radii.push_back(r);
    std::vector<Peak> peaks;
    if (!VoteAndPeaks(g, columns, rows, radii, window, peaks)) return -100;
    std::vector<int32_t> values(peaks.size());
    for (size_t k = 0; k < peaks.size(); ++k) values[k] = peaks[k].value;
    int32_t w = 1;
    const int32_t i = IrisFE_SelectRadius(values.data(), int32_t(values.size()), 2,
                                          std::min(maxRadius, maxRadius2) - minRadius, &w);
    int32_t pick = i;
    for (int32_t k = std::max(0, i - w); k <= std::min(int32_t(values.size()) - 1, i + w); ++k)
        if (values[k] >= values[pick]) pick = k;
    *x = peaks[pick].x, *y = peaks[pick].y, *radius = minRadius + pick, *score = peaks[pick].value;
    return 0;
}

int32_t IrisFE_VotePupilAllRadii(uint8_t* image, int32_t columns, int32_t rows, int32_t* x, int32_t* y,
                                 int32_t* radius, int32_t* score, int32_t minRadius, int32_t maxRadius,
                                 int32_t maxRadius2, int32_t limit, int32_t window) {
    // Every buffer is released when an allocation fails.
    try {
        return UnguardedVotePupilAllRadii(image, columns, rows, x, y, radius, score, minRadius, maxRadius, maxRadius2, limit, window);
    } catch (const std::bad_alloc&) {
        return -100;
    }
}

namespace {

// Chosen distance of method 0 from the twice-smoothed inward histogram (changed in place) and the
// running outward sums: returns the bin, its segment sum and the support value.
int32_t ChooseDistanceSegment(int32_t* h, const int32_t* outward, int32_t L, int32_t* sum, int32_t* support,
                              int32_t span) {
    const int32_t t8 = std::max(0, *std::max_element(h, h + L)) / 8;
    for (int32_t i = 2; i <= L - 3; ++i)
        if (h[i] > t8 && h[i] < h[i - 1] && h[i] < h[i + 1] && h[i] < h[i - 2] && h[i] < h[i + 2]) h[i] = 0;
    std::vector<Segment> runs;
    Segment open;
    bool inRun = false;
    for (int32_t i = 0; i < L && runs.size() < 31; ++i) {
        if (h[i] > t8) {
            if (!inRun) open = Segment{}, open.peak = i, inRun = true;
            open.sum += h[i];
            if (h[i] > h[open.peak]) open.peak = i;
        } else if (inRun) {
            if (open.sum > 0) runs.push_back(open);
            inRun = false;
        }
    }
    const size_t n = runs.size();
    runs.push_back(inRun && runs.size() <= 31 ? open : Segment{});  // run n: still open at the last bin
    size_t best = 0;
    for (size_t k = 1; k < runs.size(); ++k)
        if (runs[k].sum > runs[best].sum) best = k;
    const int64_t largest = runs[best].sum;
    if (runs[best].peak > span && best + 1 < n)
        for (size_t k = best + 1; k <= n; ++k) runs[k].sum = 0;
    std::vector<Segment> kept;
    for (const Segment& r : runs)
        if (r.sum > largest / 50) kept.push_back(r);
    int32_t R = 0;
    int64_t t = 0, sup = 0;
    for (Segment& r : kept) r.weight = int32_t(std::log(double(r.sum)) * h[r.peak]);
    if (kept.size() == 1) {
        R = kept[0].peak, t = kept[0].sum, sup = kept[0].sum - outward[R];
    } else if (kept.size() >= 2) {
        size_t a = 0, b = 1;
        if (kept.size() >= 3) std::tie(a, b) = HeaviestPair(kept);
        // s: the smaller peak bin (the partner b on equal bins), o: the other.
        const Segment& sm = kept[a].peak < kept[b].peak ? kept[a] : kept[b];
        const Segment& ot = &sm == &kept[a] ? kept[b] : kept[a];
        R = sm.peak, t = sm.sum, sup = sm.sum + ot.sum - outward[ot.peak];
    }
    if (R > span) {
        int32_t alt = -1;
        for (int32_t i = 1; i < std::min(span, L - 1); ++i)
            if (h[i] >= h[i - 1] && h[i] >= h[i + 1] && (alt < 0 || h[i] > h[alt])) alt = i;
        if (alt >= 0 && h[alt] > 0) R = alt, t = sup = h[alt];
        else R = 0, t = sup = 0;
    }
    *sum = int32_t(std::clamp<int64_t>(t, INT32_MIN, INT32_MAX));
    *support = int32_t(std::clamp<int64_t>(sup, INT32_MIN, INT32_MAX));
    return R;
}

// Half-width around the bin p of a histogram: grows while the running sum of both neighbours stays
// within `limit` and both neighbours keep at least `floor`; `rising` also stops it at a local
// maximum beyond p.
int32_t PeakHalfWidth(const int32_t* h, int32_t L, int32_t p, int64_t limit, int32_t floor, bool rising) {
    int32_t w = std::min(p, L - p);
    const int32_t start = w;
    int64_t running = 0;
    for (int32_t k = 1; k < start; ++k) {
        running += h[p - k] + h[p + k];
        const bool peakBeyond = rising && p + k + 1 < L && h[p + k] > h[p + k - 1] && h[p + k] > h[p + k + 1];
        if (running > limit || h[p - k] < floor || h[p + k] < floor || peakBeyond) {
            w = k;
            break;
        }
    }
    return w;
}

}  // namespace

int32_t IrisFE_HistogramPeakWidth(int32_t* histogram, int32_t length, int32_t h, int32_t* width) {
    IrisFE_MovingAverage(histogram, length, h, histogram);
    const int32_t p = int32_t(std::max_element(histogram, histogram + length) - histogram);
    int64_t total = 0;
    for (int32_t i = 0; i < length; ++i) total += histogram[i];
    *width = PeakHalfWidth(histogram, length, p, total / 2, histogram[p] / 4, true);
    return p;
}

void IrisFE_TaperFarDistances(int32_t* histogram, int32_t length, int32_t d) {
    for (int32_t i = 1; i < length; ++i)
        if (i > 100 / d) histogram[i] = int32_t(int64_t(histogram[i]) * (80 / d) / i);
}

static int32_t UnguardedVotePupilByDistance(uint8_t* image, int32_t columns, int32_t rows, int32_t* x, int32_t* y,
                                   int32_t* radius, int32_t* score, int32_t minRadius, int32_t maxRadius,
                                   int32_t maxRadius2, int32_t limit) {

    if (!image) return -99;
    const int32_t d = std::max(1, *score);
    *x = *y = *radius = *score = 0;
    Gradients g;
    if (!Prepare(image, columns, rows, limit, g)) return -100;
    const size_t n = size_t(columns) * size_t(rows);
    std::vector<int32_t> radii;
    for (int32_t r = minRadius; r <= maxRadius; r += 2) radii.push_back(r);
    std::vector<int32_t> planes, total;
    try {
        VotePlanes(g, columns, rows, radii, planes, total);
    } catch (const std::bad_alloc&) {
        return -100;
    }
    int32_t bx = 0, by = 0;
    if (!CentreEstimate(total, columns, rows, &bx, &by)) return -1;

    // Distances from the centre of the edge pixels whose gradient points at it (inward) or away
    // from it (outward).
    const int32_t L = std::min(columns, rows) / 2 + 1;
    std::vector<int32_t> inward(size_t(L), 0), outward(size_t(L), 0);
    std::vector<int32_t> kept = g.magnitude;
    auto bin = [&](int32_t s) { return s > minRadius && s < L - 1; };
    for (int32_t py = 1; py + 1 < rows; ++py)
        for (int32_t px = 1; px + 1 < columns; ++px) {
            const size_t i = size_t(py) * columns + px;
            if (!kept[i]) continue;
            const int64_t dx = px - bx, dy = py - by, q = dx * dx + dy * dy;
            const int32_t s = int32_t(Isqrt(q));
            const int64_t T = by - py > 2 * std::abs(dx) ? q / 16 : q / 9;
            const int64_t ex = ((int64_t(g.ux[i]) * s) >> 15) + dx, ey = ((int64_t(g.uy[i]) * s) >> 15) + dy;
            const int64_t E = ex * ex + ey * ey;
            if (E <= T) {
                if (bin(s)) inward[size_t(s)] += kept[i];
            } else {
                if (bin(s) && E > q) outward[size_t(s)] += kept[i];
                kept[i] = 0;
            }
        }
    int32_t width = 0;
    const int32_t peak = IrisFE_HistogramPeakWidth(inward.data(), L, 2, &width);
    const int32_t reach = peak + width;
    // Beyond the inward peak, edges in the cones above and below the centre (lids, lashes) are
    // taken back out.
    for (int32_t py = 1; py + 1 < rows; ++py)
        for (int32_t px = 1; px + 1 < columns; ++px) {
            const size_t i = size_t(py) * columns + px;
            if (!kept[i]) continue;
            const int64_t dx = px - bx, dy = py - by;
            const int32_t s = int32_t(Isqrt(dx * dx + dy * dy));
            if (s > reach && std::abs(dx) < std::abs(dy)) {
                if (bin(s)) inward[size_t(s)] -= kept[i];
                kept[i] = 0;
            }
        }
    IrisFE_TaperFarDistances(inward.data(), L, d);
    IrisFE_MovingAverage(inward.data(), L, 2, inward.data());
    for (int32_t i = 1; i < L; ++i) outward[size_t(i)] += outward[size_t(i - 1)];
    int32_t segmentSum = 0, support = 0;
    const int32_t R = ChooseDistanceSegment(inward.data(), outward.data(), L, &segmentSum, &support, maxRadius2);
    const int32_t w = PeakHalfWidth(inward.data(), L, R, int64_t(segmentSum) * 3 / 4, inward[size_t(R)] >> 3, false);

    // The vote planes of the radii around that distance, searched in a window round the centre
    // (the last best cell over all of them wins).
    const int32_t planesCount = int32_t(radii.size());
    Peak best{std::max(0, bx - 10), std::max(0, by - 10), 0};
    int32_t bestRadius = minRadius;
    const bool cells = std::min(columns - 1, bx + 10) - std::max(0, bx - 10) >= 8 &&
                       std::min(rows - 1, by + 10) - std::max(0, by - 10) >= 8;
    for (int32_t k = std::max(0, (R - w - minRadius) / 2); cells && k < std::min(planesCount, (R + w - minRadius) / 2); ++k) {
        const Peak p = WindowPeak(planes.data() + size_t(k) * n, columns, rows, bx, by, 10);
        if (uint32_t(p.value) >= uint32_t(best.value)) best = p, bestRadius = minRadius + 2 * k;
    }
    if (support <= -1073741824) return -1;
    *x = best.x, *y = best.y, *radius = bestRadius, *score = best.value;
    return 0;
}

int32_t IrisFE_VotePupilByDistance(uint8_t* image, int32_t columns, int32_t rows, int32_t* x, int32_t* y,
                                   int32_t* radius, int32_t* score, int32_t minRadius, int32_t maxRadius,
                                   int32_t maxRadius2, int32_t limit) {
    // Every buffer is released when an allocation fails.
    try {
        return UnguardedVotePupilByDistance(image, columns, rows, x, y, radius, score, minRadius, maxRadius, maxRadius2, limit);
    } catch (const std::bad_alloc&) {
        return -100;
    }
}

int32_t IrisFE_FindPupil(const uint8_t* image, int32_t width, int32_t height, int32_t minRadius, int32_t maxRadius,
                         int32_t* record) {
    if (!image || !record || width < 1 || height < 1) return -99;
    const int32_t d = record[kPupilDecimation] >= 2 && record[kPupilDecimation] <= 6 ? record[kPupilDecimation] : 4;
    const int32_t columns = width / d, rows = height / d;
    if (columns < 1 || rows < 1) return -99;
    std::vector<uint8_t> small;
    try {
        small.resize(size_t(columns) * size_t(rows));
    } catch (const std::bad_alloc&) {
        return -99;
    }
    // The spot maps' allocation failure leaves the spots in place; the search goes on.
    for (int32_t j = 0; j < rows; ++j)
        for (int32_t i = 0; i < columns; ++i)
            small[size_t(j) * columns + i] = image[size_t(j * d + d / 2) * width + (i * d + d / 2)];
    const int32_t minR = minRadius / d, maxR = maxRadius / d;
    IrisFE_SuppressSpots(small.data(), columns, rows);
    int32_t x = 0, y = 0, r = 0, score = 0, rc;
    switch (record[kPupilMethod]) {
        case 1:
            rc = IrisFE_VotePupilAllRadii(small.data(), columns, rows, &x, &y, &r, &score, minR, maxR, maxR, 255, 24 / d);
            break;
        case 2:
            rc = IrisFE_VotePupil(small.data(), columns, rows, &x, &y, &r, &score, minR, maxR, maxR, 255, 24 / d, d);
            break;
        default:
            score = d;
            rc = IrisFE_VotePupilByDistance(small.data(), columns, rows, &x, &y, &r, &score, minR, maxR, maxR, 255);
            break;
    }
    record[kPupilX] = x * d + d / 2;
    record[kPupilY] = y * d + d / 2;
    record[kPupilRadius] = r * d + d / 2;
    record[kPupilScore] = score;
    if (rc != 0) return rc;
    if (x < 0 || x >= width || y < 0 || y >= height || r < 0 || r > width) return -1;
    return 0;
}

}  // namespace irisfe
