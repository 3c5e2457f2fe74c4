#include <algorithm>
#include <cstring>
#include <vector>

#include "irisalg/IrisAlg.h"

namespace irisalg {

namespace {

bool BadImage(const void* p, int a, int b) { return !p || a < 1 || b < 1; }

}  // namespace

void SetPair(int32_t pair[2], int32_t a, int32_t b) {
    if (!pair) return;
    pair[0] = a;
    pair[1] = b;
}

void SetIrisRect(IrisRect* rect, int32_t r0, int32_t r1, int32_t c0, int32_t c1) {
    if (rect) *rect = {r0, r1, c0, c1};
}

void SetIrisCircle(IrisCircle* circle, int32_t x, int32_t y, int32_t r) {
    if (circle) *circle = {x, y, r};
}

IrisCircle SetIrisCircle(int32_t x, int32_t y, int32_t r) { return {x, y, r}; }

void ClipIrisRect(IrisRect* rect, int32_t rows, int32_t cols) {
    if (!rect) return;
    rect->r0 = std::max(rect->r0, 0);
    rect->c0 = std::max(rect->c0, 0);
    rect->r1 = std::min(rect->r1, rows - 1);
    rect->c1 = std::min(rect->c1, cols - 1);
}

int32_t SpanLength(int32_t a, int32_t b) { return int32_t(std::clamp<int64_t>(int64_t(b) - a + 1, 0, INT32_MAX)); }

int32_t DownSample(const uint8_t* in, int rows, int cols, int factor, uint8_t* out, int* outRows, int* outCols) {
    if (BadImage(in, rows, cols) || !out || !outRows || !outCols || factor < 1 || factor > rows || factor > cols ||
        out == in)
        return kBadArgument;
    if (factor == 1) {
        std::memcpy(out, in, size_t(rows) * cols);
        *outRows = rows, *outCols = cols;
        return 0;
    }
    const int r = rows / factor, c = cols / factor, o = factor / 2;
    for (int y = 0; y < r; ++y)
        for (int x = 0; x < c; ++x) out[size_t(y) * c + x] = in[size_t(y * factor + o) * cols + x * factor + o];
    *outRows = r, *outCols = c;
    return 0;
}

int32_t Histogram(const uint8_t* image, int width, int height, int32_t out[256]) {
    if (BadImage(image, width, height) || !out) return kBadArgument;
    std::fill(out, out + 256, 0);
    const size_t n = size_t(width) * height;
    for (size_t i = 0; i < n; ++i) ++out[image[i]];
    return 0;
}

int32_t ContrastStretch(const uint8_t* image, int width, int height, int low, int high, uint8_t* out) {
    if (BadImage(image, width, height) || !out || low < 0 || low >= high || high > 1000) return kBadArgument;
    int32_t hist[256];
    Histogram(image, width, height, hist);
    const int64_t n = int64_t(width) * height;
    // lo: the level below which low/1000 of the pixels lie; hi: above which (1000 - high)/1000.
    const int64_t below = n * low / 1000, above = n * (1000 - high) / 1000;
    int lo = 0, hi = 255;
    for (int64_t acc = 0; lo < 255 && acc + hist[lo] <= below; ++lo) acc += hist[lo];
    for (int64_t acc = 0; hi > 0 && acc + hist[hi] <= above; --hi) acc += hist[hi];
    const size_t count = size_t(n);
    if (lo == 0 && hi == 255) {
        if (out != image) std::memcpy(out, image, count);
        return 0;
    }
    uint8_t map[256];
    for (int g = 0; g < 256; ++g) {
        if (hi <= lo) map[g] = uint8_t(lo);  // a flat image has no range to stretch
        else if (g <= lo) map[g] = 0;
        else if (g >= hi) map[g] = 255;
        else map[g] = uint8_t((g - lo) * 255 / (hi - lo));
    }
    for (size_t i = 0; i < count; ++i) out[i] = map[image[i]];
    return 0;
}

int32_t Threshold(const uint8_t* image, int width, int height, int t, uint8_t* out) {
    if (BadImage(image, width, height) || !out) return kBadArgument;
    const size_t n = size_t(width) * height;
    for (size_t i = 0; i < n; ++i) out[i] = image[i] > t ? 255 : 0;
    return 0;
}

namespace {

// Extends the foreground of one line by len before each rise and after each fall.
void DilateLine(uint8_t* p, int n, ptrdiff_t stride, int len, std::vector<uint8_t>& src) {
    src.resize(size_t(n));
    for (int i = 0; i < n; ++i) src[size_t(i)] = p[i * stride];
    for (int i = 1; i < n; ++i) {
        const bool prev = src[size_t(i - 1)] != 0, cur = src[size_t(i)] != 0;
        if (!prev && cur)
            for (int j = std::max(0, i - len); j < i; ++j) p[j * stride] = std::max(p[j * stride], src[size_t(i)]);
        if (prev && !cur)
            for (int j = i; j < std::min(n, i + len); ++j) p[j * stride] = std::max(p[j * stride], src[size_t(i - 1)]);
    }
}

}  // namespace

int32_t DirectionalDilate(const uint8_t* image, int width, int height, int columnLength, int rowLength, uint8_t* out) {
    if (BadImage(image, width, height) || !out || columnLength < 0 || rowLength < 0) return kBadArgument;
    if (out != image) std::memcpy(out, image, size_t(width) * height);
    std::vector<uint8_t> line;
    for (int x = 0; x < width; ++x) DilateLine(out + x, height, width, columnLength, line);
    for (int y = 0; y < height; ++y) DilateLine(out + size_t(y) * width, width, 1, rowLength, line);
    return 0;
}

int32_t ArgMin(const int32_t* v, int n, int* index) {
    if (!v || !index || n < 1) return kBadArgument;
    *index = int(std::min_element(v, v + n) - v);
    return v[*index];
}

int32_t ArgMax(const int32_t* v, int n, int* index) {
    if (!v || !index || n < 1) return kBadArgument;
    *index = int(std::max_element(v, v + n) - v);
    return v[*index];
}

int32_t LabelComponents(const uint8_t* binary, int width, int height, int32_t* labels, int connectivity8) {
    if (BadImage(binary, width, height) || !labels) return kBadArgument;
    constexpr int kMaxLabels = 1023;
    std::vector<int32_t> parent(kMaxLabels + 1);
    auto root = [&](int32_t l) {
        while (parent[size_t(l)] != l) l = parent[size_t(l)] = parent[size_t(parent[size_t(l)])];
        return l;
    };
    auto join = [&](int32_t a, int32_t b) {
        a = root(a), b = root(b);
        if (a < b) parent[size_t(b)] = a;
        else if (b < a) parent[size_t(a)] = b;
    };
    std::fill(labels, labels + size_t(width) * height, 0);
    int32_t next = 0;
    bool full = false;
    for (int y = 0; y < height && !full; ++y)
        for (int x = 0; x < width; ++x) {
            const size_t i = size_t(y) * width + x;
            if (!binary[i]) continue;
            int32_t nb[4];
            int k = 0;
            if (x > 0 && labels[i - 1]) nb[k++] = labels[i - 1];
            if (y > 0) {
                const size_t up = i - size_t(width);
                if (labels[up]) nb[k++] = labels[up];
                if (connectivity8) {
                    if (x > 0 && labels[up - 1]) nb[k++] = labels[up - 1];
                    if (x + 1 < width && labels[up + 1]) nb[k++] = labels[up + 1];
                }
            }
            if (k == 0) {
                labels[i] = ++next;
                parent[size_t(next)] = next;
                // Labelling stops once the last provisional label is given.
                if (next == kMaxLabels) {
                    full = true;
                    break;
                }
                continue;
            }
            int32_t m = *std::min_element(nb, nb + k);
            labels[i] = m;
            for (int j = 0; j < k; ++j) join(m, nb[j]);
        }
    // A single provisional label is one component: it already carries number 1.
    if (next < 2) return next;
    std::vector<int32_t> number(size_t(next) + 1, 0);
    int32_t n = 0;
    for (int32_t l = 1; l <= next; ++l)
        if (root(l) == l) number[size_t(l)] = ++n;
    const size_t count = size_t(width) * height;
    for (size_t i = 0; i < count; ++i)
        if (labels[i]) labels[i] = number[size_t(root(labels[i]))];
    return n;
}

int32_t ComponentBoxes(const int32_t* labels, int rows, int cols, int n, IrisRect* boxes) {
    if (BadImage(labels, rows, cols) || !boxes || n < 0) return kBadArgument;
    for (int i = 0; i < n; ++i) boxes[i] = {rows - 1, 0, cols - 1, 0};
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
            const int32_t l = labels[size_t(y) * cols + x];
            if (l < 1 || l > n) continue;
            IrisRect& b = boxes[l - 1];
            b.r0 = std::min(b.r0, y), b.r1 = std::max(b.r1, y), b.c0 = std::min(b.c0, x), b.c1 = std::max(b.c1, x);
        }
    return 0;
}

int64_t RectSum(const uint8_t* image, int rows, int cols, IrisRect r) {
    if (BadImage(image, rows, cols)) return kBadArgument;
    ClipIrisRect(&r, rows, cols);
    int64_t sum = 0;
    for (int y = r.r0; y <= r.r1; ++y)
        for (int x = r.c0; x <= r.c1; ++x) sum += image[size_t(y) * cols + x];
    return sum;
}

int32_t RectCopy(const uint8_t* image, int rows, int cols, IrisRect r, uint8_t* out) {
    if (BadImage(image, rows, cols) || !out) return kBadArgument;
    ClipIrisRect(&r, rows, cols);
    const int w = RectWidth(r);
    for (int y = r.r0; y <= r.r1 && w > 0; ++y)
        std::memcpy(out + size_t(y - r.r0) * w, image + size_t(y) * cols + r.c0, size_t(w));
    return 0;
}

int32_t PointSample(const int32_t* image, int rows, int cols, const uint8_t* mask, const int32_t* points, int n,
                    int64_t* sum) {
    if (BadImage(image, rows, cols) || !points || !sum || n < 0) return kBadArgument;
    int64_t s = 0;
    int used = 0;
    for (int i = 0; i < n; ++i) {
        const int x = points[2 * i], y = points[2 * i + 1];
        if (x < 0 || y < 0 || x >= cols || y >= rows) continue;
        const size_t at = size_t(y) * cols + x;
        if (mask && mask[at]) continue;
        s += image[at];
        ++used;
    }
    *sum = s;
    return used;
}

int32_t Convolve1D(const int32_t* s, int n, const int32_t* kernel, int k, int32_t* out) {
    if (!s || !kernel || !out || out == s || k < 1 || k >= n) return kBadArgument;
    for (int i = 0; i < n; ++i) {
        int64_t acc = 0;
        for (int j = 0; j < k; ++j) acc += int64_t(kernel[j]) * s[std::clamp(i - k / 2 + j, 0, n - 1)];
        out[i] = int32_t(acc);
    }
    return 0;
}

int32_t ColumnConvolve(const uint8_t* image, int rows, int cols, const int32_t* kernel, int k, int32_t* out) {
    if (BadImage(image, rows, cols) || !kernel || !out || k < 1 || k >= rows) return kBadArgument;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
            int64_t acc = 0;
            for (int j = 0; j < k; ++j) acc += int64_t(kernel[j]) * image[size_t(std::clamp(y - k / 2 + j, 0, rows - 1)) * cols + x];
            out[size_t(y) * cols + x] = int32_t(acc);
        }
    return 0;
}

int32_t FirstDifference(const int32_t* s, int n, int32_t* out) {
    if (!s || !out || out == s || n < 2) return kBadArgument;
    out[0] = s[1] - s[0];
    out[n - 1] = s[n - 1] - s[n - 2];
    for (int i = 1; i < n - 1; ++i) out[i] = s[i + 1] - s[i - 1];
    return 0;
}

int32_t BoxFilter(const uint8_t* image, int rows, int cols, int v, int h, uint8_t* out) {
    if (BadImage(image, rows, cols) || !out || out == image || v < 0 || h < 1) return kBadArgument;
    // Horizontal running sums per row into an 8-byte aligned buffer, then vertical per column.
    auto* rowSum = static_cast<int32_t*>(IrisAlignedAlloc(size_t(rows) * cols * sizeof(int32_t), 8));
    if (!rowSum) return kNoMemory;
    for (int y = 0; y < rows; ++y) {
        const uint8_t* p = image + size_t(y) * cols;
        int32_t* o = rowSum + size_t(y) * cols;
        int32_t s = 0;
        for (int x = 0; x <= std::min(h, cols - 1); ++x) s += p[x];
        for (int x = 0; x < cols; ++x) {
            o[x] = s;
            if (x + h + 1 < cols) s += p[x + h + 1];
            if (x - h >= 0) s -= p[x - h];
        }
    }
    for (int x = 0; x < cols; ++x) {
        const int w = std::min(cols - 1, x + h) - std::max(0, x - h) + 1;
        int64_t s = 0;
        for (int y = 0; y <= std::min(v, rows - 1); ++y) s += rowSum[size_t(y) * cols + x];
        for (int y = 0; y < rows; ++y) {
            const int hgt = std::min(rows - 1, y + v) - std::max(0, y - v) + 1;
            out[size_t(y) * cols + x] = uint8_t(s / (int64_t(w) * hgt));
            if (y + v + 1 < rows) s += rowSum[size_t(y + v + 1) * cols + x];
            if (y - v >= 0) s -= rowSum[size_t(y - v) * cols + x];
        }
    }
    IrisAlignedFree(rowSum);
    return 0;
}

int32_t BilinearSample(const uint8_t* image, int rows, int cols, int32_t x16, int32_t y16) {
    if (BadImage(image, rows, cols)) return kBadArgument;
    const int64_t maxX = int64_t(cols - 1) << 16, maxY = int64_t(rows - 1) << 16;
    const int64_t x = std::clamp<int64_t>(x16, 0, maxX), y = std::clamp<int64_t>(y16, 0, maxY);
    const int x0 = int(x >> 16), y0 = int(y >> 16);
    const int x1 = std::min(x0 + 1, cols - 1), y1 = std::min(y0 + 1, rows - 1);
    const int64_t fx = x & 0xFFFF, fy = y & 0xFFFF;
    const auto at = [&](int xx, int yy) { return int64_t(image[size_t(yy) * cols + xx]); };
    const int64_t top = at(x0, y0) * (65536 - fx) + at(x1, y0) * fx;
    const int64_t bottom = at(x0, y1) * (65536 - fx) + at(x1, y1) * fx;
    return int32_t((top * (65536 - fy) + bottom * fy) >> 32);
}

int32_t Pad(const uint8_t* image, int rows, int cols, int padRows, int padCols, uint8_t* out) {
    // The mirror needs padRows source rows and the wrap fewer columns than the image has.
    if (BadImage(image, rows, cols) || !out || out == image || padRows < 0 || padCols < 0 || padCols >= cols ||
        padRows > rows)
        return kBadArgument;
    const int oc = cols + 2 * padCols;
    for (int oy = 0; oy < rows + 2 * padRows; ++oy) {
        int sy = oy - padRows;
        if (sy < 0) sy = -sy - 1;
        if (sy >= rows) sy = 2 * rows - sy - 1;
        const uint8_t* src = image + size_t(sy) * cols;
        uint8_t* dst = out + size_t(oy) * oc;
        for (int ox = 0; ox < oc; ++ox) dst[ox] = src[((ox - padCols) % cols + cols) % cols];
    }
    return 0;
}

}  // namespace irisalg
