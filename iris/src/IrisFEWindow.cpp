// Boundary-search window preparation: the window around the pupil copied out of the frame,
// specular reflections filled from their surroundings, grey levels stretched between robust cut
// points and dark irises brightened with a tone curve.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>

#include "iris/IrisFrontEnd.h"
#include "irisalg/IrisAlg.h"

namespace irisfe {

namespace {


// Reflections: smallest component area, largest extent, dilation, weights of the interpolation.
constexpr int32_t kMinReflectionArea = 50;
constexpr int32_t kMaxReflectionExtent = 65;
constexpr int32_t kReflectionDilation = 3;
constexpr int32_t kMaxReflections = 8;
constexpr int64_t kWeightScale = 1000000;

struct Component {
    int32_t r0 = 32768, r1 = -1, c0 = 32768, c1 = -1;
    int32_t area = 0;
    int32_t contrast = 0;
};

}  // namespace

const uint8_t* IrisFE_ToneCurveA() {
    static uint8_t table[256];
    static std::once_flag once;
    std::call_once(once, [] {
        static constexpr int32_t anchors[][2] = {{0, 0}, {1, 3}, {2, 5}, {3, 8}, {4, 11}, {5, 14}, {100, 156}, {250, 253}, {255, 255}};
        IrisFE_InterpolateTable(anchors, std::size(anchors), table);
    });
    return table;
}

const uint8_t* IrisFE_ToneCurveB() {
    static uint8_t table[256];
    static std::once_flag once;
    std::call_once(once, [] {
        static constexpr int32_t anchors[][2] = {{0, 0}, {1, 1}, {2, 3}, {3, 4}, {4, 6}, {5, 7}, {100, 118}, {250, 251}, {255, 255}};
        IrisFE_InterpolateTable(anchors, std::size(anchors), table);
    });
    return table;
}

int64_t IrisFE_RegionSum(const uint8_t* image, int32_t rows, int32_t columns, irisalg::IrisRect rect, int32_t* pixels) {
    irisalg::ClipIrisRect(&rect, rows, columns);
    const int32_t h = irisalg::RectHeight(rect), w = irisalg::RectWidth(rect);
    if (pixels) *pixels = h > 0 && w > 0 ? h * w : 0;
    if (h <= 0 || w <= 0) return 0;
    return irisalg::RectSum(image, rows, columns, rect);
}

void IrisFE_DilateMask(uint8_t* mask, int32_t rows, int32_t columns, int32_t n) {
    std::vector<uint8_t> src(mask, mask + size_t(rows) * size_t(columns));
    for (int32_t y = 0; y < rows; ++y)
        for (int32_t x = 0; x < columns; ++x) {
            if (!src[size_t(y) * columns + x]) continue;
            for (int32_t k = std::max(0, x - n); k <= std::min(columns - 1, x + n); ++k) mask[size_t(y) * columns + k] = 255;
        }
    src.assign(mask, mask + size_t(rows) * size_t(columns));
    for (int32_t y = 0; y < rows; ++y)
        for (int32_t x = 0; x < columns; ++x) {
            if (!src[size_t(y) * columns + x]) continue;
            for (int32_t k = std::max(0, y - n); k <= std::min(rows - 1, y + n); ++k) mask[size_t(k) * columns + x] = 255;
        }
}

std::vector<int32_t> IrisFE_LabelReflections(const uint8_t* image, uint8_t* mask, int32_t rows, int32_t columns,
                                             int32_t minArea, int32_t maxExtent, int32_t* count) {
    *count = 0;
    std::vector<int32_t> boxes;
    if (rows < 3 || columns < 3) {
        std::memset(mask, 0, size_t(rows) * size_t(columns));
        return boxes;
    }
    for (int32_t x = 0; x < columns; ++x) mask[x] = mask[size_t(rows - 1) * columns + x] = 0;
    for (int32_t y = 0; y < rows; ++y) mask[size_t(y) * columns] = mask[size_t(y) * columns + columns - 1] = 0;
    // Components numbered in the order the scan meets them: rows from the bottom up, each row
    // from right to left (4-connected).
    std::vector<int32_t> label(size_t(rows) * size_t(columns), -1);
    std::vector<Component> parts;
    std::vector<int32_t> stack;
    for (int32_t y = rows - 2; y >= 1; --y)
        for (int32_t x = columns - 2; x >= 1; --x) {
            const size_t start = size_t(y) * columns + x;
            if (!mask[start] || label[start] >= 0) continue;
            const int32_t id = int32_t(parts.size());
            Component c;
            int32_t lo = 255, hi = 0;
            stack.assign(1, int32_t(start));
            label[start] = id;
            while (!stack.empty()) {
                const int32_t p = stack.back();
                stack.pop_back();
                const int32_t py = p / columns, px = p % columns;
                c.r0 = std::min(c.r0, py), c.r1 = std::max(c.r1, py);
                c.c0 = std::min(c.c0, px), c.c1 = std::max(c.c1, px);
                ++c.area;
                lo = std::min<int32_t>(lo, image[p]), hi = std::max<int32_t>(hi, image[p]);
                const int32_t next[4] = {p - 1, p + 1, p - columns, p + columns};
                for (int32_t q : next)
                    if (mask[size_t(q)] && label[size_t(q)] < 0) {
                        label[size_t(q)] = id;
                        stack.push_back(q);
                    }
            }
            c.contrast = hi - lo;
            parts.push_back(c);
        }
    std::vector<bool> kept(parts.size(), false);
    for (size_t k = 0; k < parts.size(); ++k) {
        const Component& c = parts[k];
        kept[k] = c.r0 > 1 && c.c0 > 1 && c.c1 < columns - 1 && c.r1 < rows - 2 && c.area >= minArea &&
                  c.r1 - c.r0 < maxExtent && c.c1 - c.c0 < maxExtent;
    }
    std::vector<int32_t> chosen;
    std::vector<bool> taken(parts.size(), false);
    while (int32_t(chosen.size()) < kMaxReflections) {
        int32_t best = -1;
        for (int32_t k = int32_t(parts.size()) - 1; k >= 0; --k)
            if (kept[k] && !taken[k] && (best < 0 || parts[k].contrast > parts[best].contrast)) best = k;
        if (best < 0) break;
        if (parts[best].contrast < 100) {
            if (chosen.empty() && parts[best].contrast >= 10) chosen.push_back(best);
            break;
        }
        taken[best] = true;
        chosen.push_back(best);
    }
    std::vector<bool> isChosen(parts.size(), false);
    for (int32_t k : chosen) isChosen[k] = true;
    for (size_t i = 0, n = label.size(); i < n; ++i) mask[i] = label[i] >= 0 && isChosen[label[i]] ? 255 : 0;
    for (int32_t k : chosen) boxes.insert(boxes.end(), {parts[k].r0, parts[k].r1, parts[k].c0, parts[k].c1});
    *count = int32_t(chosen.size());
    return boxes;
}

int32_t IrisFE_FillReflections(uint8_t* window, int32_t rows, int32_t columns, int32_t threshold, uint8_t* mask) {
    std::vector<uint8_t> own;
    std::vector<int32_t> boxes;
    int32_t count = 0;
    try {
        if (!mask) {
            own.resize(size_t(rows) * size_t(columns));
            mask = own.data();
        }
        for (size_t i = 0, n = size_t(rows) * size_t(columns); i < n; ++i) mask[i] = window[i] > threshold ? 255 : 0;
        IrisFE_DilateMask(mask, rows, columns, kReflectionDilation);
        boxes = IrisFE_LabelReflections(window, mask, rows, columns, kMinReflectionArea, kMaxReflectionExtent, &count);
    } catch (const std::bad_alloc&) {
        return irisalg::kNoMemory;
    }
    int32_t filled = 0;
    for (int32_t b = 0; b < count; ++b) {
        const int32_t r0 = boxes[4 * b], r1 = boxes[4 * b + 1], c0 = boxes[4 * b + 2], c1 = boxes[4 * b + 3];
        auto masked = [&](int32_t y, int32_t x) { return mask[size_t(y) * columns + x] != 0; };
        auto grey = [&](int32_t y, int32_t x) { return int32_t(window[size_t(y) * columns + x]); };
        // Nearest unmasked neighbours per row (left, right) and per column (above, below): position
        // and grey level, or no neighbour (position -1).
        struct Side {
            int32_t pos = -1, value = 0;
        };
        std::vector<Side> left(size_t(r1 - r0 + 1)), right(left.size()), up(size_t(c1 - c0 + 1)), down(up.size());
        for (int32_t y = r0; y <= r1; ++y) {
            int32_t first = -1, last = -1;
            for (int32_t x = c0; x <= c1; ++x)
                if (masked(y, x)) {
                    if (first < 0) first = x;
                    last = x;
                }
            if (first > 0 && !masked(y, first - 1)) left[size_t(y - r0)] = {first - 1, grey(y, first - 1)};
            if (last >= 0 && last + 1 < columns && !masked(y, last + 1)) right[size_t(y - r0)] = {last + 1, grey(y, last + 1)};
        }
        for (int32_t x = c0; x <= c1; ++x) {
            int32_t first = -1, last = -1;
            for (int32_t y = r0; y <= r1; ++y)
                if (masked(y, x)) {
                    if (first < 0) first = y;
                    last = y;
                }
            if (first > 0 && !masked(first - 1, x)) up[size_t(x - c0)] = {first - 1, grey(first - 1, x)};
            if (last >= 0 && last + 1 < rows && !masked(last + 1, x)) down[size_t(x - c0)] = {last + 1, grey(last + 1, x)};
        }
        for (int32_t y = r0; y <= r1; ++y)
            for (int32_t x = c0; x <= c1; ++x) {
                if (!masked(y, x)) continue;
                int64_t num = 0, den = 0;
                auto add = [&](const Side& s, int32_t at) {
                    if (s.pos < 0) return;
                    const int64_t w = kWeightScale / std::max(1, std::abs(s.pos - at));
                    num += w * s.value;
                    den += w;
                };
                add(left[size_t(y - r0)], x);
                add(right[size_t(y - r0)], x);
                add(up[size_t(x - c0)], y);
                add(down[size_t(x - c0)], y);
                if (den == 0) continue;
                window[size_t(y) * columns + x] = uint8_t(num / den);
                ++filled;
            }
    }
    return filled;
}

int32_t IrisFE_PrepareWindow(const uint8_t* frame, int32_t rows, int32_t columns, int32_t k, int32_t firstRow,
                             int32_t lastRow, int32_t firstColumn, int32_t lastColumn, const int32_t* pupil,
                             uint8_t* window, int32_t* outRows, int32_t* outColumns, uint8_t* mask) {
    if (!frame || !window || k < 1) return irisalg::kBadArgument;
    const int32_t wr = std::max(0, lastRow - firstRow + 1), wc = std::max(0, lastColumn - firstColumn + 1);
    if (outRows) *outRows = wr;
    if (outColumns) *outColumns = wc;
    if (firstRow < 0 || firstColumn < 0 || int64_t(lastRow) * k >= rows || int64_t(lastColumn) * k >= columns)
        return irisalg::kBadArgument;
    if (k == 1) {
        for (int32_t i = 0; i < wr; ++i)
            std::memcpy(window + size_t(i) * wc, frame + size_t(firstRow + i) * columns + firstColumn, size_t(wc));
    } else {
        for (int32_t i = 0; i < wr; ++i)
            for (int32_t j = 0; j < wc; ++j)
                window[size_t(i) * wc + j] = frame[size_t(firstRow + i) * k * columns + size_t(firstColumn + j) * k];
    }
    int32_t histogram[256] = {};
    int64_t sum = 0;
    for (int32_t i = 1; i < wr; i += 3)
        for (int32_t j = 1; j < wc; j += 3) {
            const uint8_t v = window[size_t(i) * wc + j];
            ++histogram[v];
            sum += v;
        }
    const int64_t n = int64_t(wr / 3) * (wc / 3);
    if (std::count_if(histogram, histogram + 256, [](int32_t c) { return c > 0; }) < 5 || n < 1)
        return irisalg::kNotFound;

    const int32_t floorLevel = int32_t(std::max<int64_t>(180, (n * 255 + sum) / (2 * n)));
    int32_t threshold = floorLevel;
    int64_t above = 0;
    for (int32_t level = 254; level >= floorLevel; --level) {
        above += histogram[level + 1];
        if (above > n / 10) {
            threshold = level;
            break;
        }
    }
    const int32_t filled = IrisFE_FillReflections(window, wr, wc, threshold, mask);
    if (filled < 0) return filled;

    int32_t low = 0;
    int64_t cumulative = histogram[0];
    for (int32_t level = 1; level < 256; ++level) {
        cumulative += histogram[level];
        if (cumulative > n / 1000) {
            low = level - 1;
            break;
        }
    }
    int32_t high = 255;
    cumulative = histogram[255];
    for (int32_t level = 254; level >= 0; --level) {
        cumulative += histogram[level];
        if (cumulative > n / 1000 + filled / 9) {
            high = level + 1;
            break;
        }
    }
    const int32_t range = high - low;
    if (range < 16) return irisalg::kNotFound;
    if (low != 0 || high != 255) {
        uint8_t map[256];
        for (int32_t level = 0; level < 256; ++level)
            map[level] = level < low ? 0 : level >= high ? 255 : uint8_t((level - low) * 255 / range);
        for (size_t i = 0, m = size_t(wr) * size_t(wc); i < m; ++i) window[i] = map[window[i]];
    }
    if (pupil) {
        const int32_t x = pupil[0], y = pupil[1], r = pupil[2];
        int32_t a = 0, b = 0;
        const int64_t total = IrisFE_RegionSum(window, wr, wc, {y - 10, y + 10, x - r - 20, x - r}, &a) +
                              IrisFE_RegionSum(window, wr, wc, {y - 10, y + 10, x + r + 10, x + r + 30}, &b);
        if (a + b > 0) {
            const int64_t mean = total / (a + b);
            const uint8_t* curve = mean < 64 ? IrisFE_ToneCurveA() : mean < 96 ? IrisFE_ToneCurveB() : nullptr;
            if (curve)
                for (size_t i = 0, m = size_t(wr) * size_t(wc); i < m; ++i) window[i] = curve[window[i]];
        }
    }
    return 0;
}

}  // namespace irisfe
