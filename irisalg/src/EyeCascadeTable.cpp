#include "irisalg/EyeCascadeTable.h"

#include <algorithm>

namespace irisalg::cascade {

std::vector<int32_t> WriteTable(const Table& table) {
    std::vector<int32_t> w{table.word0, int32_t(table.stages.size()), table.width, table.height};
    for (const TableStage& stage : table.stages) {
        int32_t counts[kKinds] = {};
        for (const TableFeature& f : stage.features) ++counts[f.kind];
        w.push_back(int32_t(stage.features.size()));
        w.insert(w.end(), counts, counts + kKinds);
        w.push_back(stage.threshold);
        for (int kind = 0; kind < kKinds; ++kind) {
            for (const TableFeature& f : stage.features) {
                if (f.kind != kind) continue;
                w.push_back(int32_t(PackRect(f.a)));
                w.push_back(int32_t(PackRect(f.b)));
                if (kind == 2) w.push_back(int32_t(PackRect(f.d)));
                w.insert(w.end(), f.lut.begin(), f.lut.end());
                w.push_back(f.lower);
                w.push_back(f.mult);
            }
        }
    }
    return w;
}

namespace {

bool Fail(std::string* error, const char* text) {
    if (error) *error = text;
    return false;
}

bool Inside(const Rect8& r, int width, int height) {
    return r.w > 0 && r.h > 0 && r.x + r.w <= width && r.y + r.h <= height;
}

}  // namespace

bool ReadTable(const int32_t* words, size_t count, Table& out, std::string* error) {
    out = Table{};
    if (!words || count < 4) return Fail(error, "table shorter than its header");
    out.word0 = words[0];
    const int32_t stages = words[1];
    out.width = words[2];
    out.height = words[3];
    if (stages < 0 || out.width < 3 || out.height < 3 || out.width > 255 || out.height > 255)
        return Fail(error, "bad header");
    size_t at = 4;
    for (int32_t s = 0; s < stages; ++s) {
        if (at + 8 > count) return Fail(error, "stage header past the end");
        const int32_t n = words[at];
        int64_t sum = 0;
        for (int k = 0; k < kKinds; ++k) {
            if (words[at + 1 + k] < 0) return Fail(error, "negative kind count");
            sum += words[at + 1 + k];
        }
        if (n < 0 || sum != n) return Fail(error, "kind counts do not add up to the feature count");
        TableStage stage;
        stage.threshold = words[at + 7];
        const int32_t* counts = words + at + 1;
        at += 8;
        for (int kind = 0; kind < kKinds; ++kind) {
            for (int32_t i = 0; i < counts[kind]; ++i) {
                const size_t size = size_t(GeometryWords(kind)) + kBins + 2;
                if (at + size > count) return Fail(error, "feature past the end");
                TableFeature f;
                f.kind = kind;
                f.a = UnpackRect(uint32_t(words[at]));
                f.b = UnpackRect(uint32_t(words[at + 1]));
                if (kind == 2) f.d = UnpackRect(uint32_t(words[at + 2]));
                at += size_t(GeometryWords(kind));
                std::copy(words + at, words + at + kBins, f.lut.begin());
                at += kBins;
                f.lower = words[at];
                f.mult = words[at + 1];
                at += 2;
                if (!Inside(f.a, out.width, out.height) || !Inside(f.b, out.width, out.height) ||
                    (kind == 2 && !Inside(f.d, out.width, out.height)))
                    return Fail(error, "feature rectangle outside the window");
                stage.features.push_back(f);
            }
        }
        out.stages.push_back(std::move(stage));
    }
    return true;
}

size_t TableWords(const int32_t* words, size_t count) {
    if (!words || count < 4 || words[1] < 0) return 0;
    size_t at = 4;
    for (int32_t s = 0; s < words[1]; ++s) {
        if (at + 8 > count) return 0;
        size_t size = 8;
        for (int kind = 0; kind < kKinds; ++kind) {
            if (words[at + 1 + kind] < 0) return 0;
            size += size_t(words[at + 1 + kind]) * (size_t(GeometryWords(kind)) + kBins + 2);
        }
        at += size;
        if (at > count) return 0;
    }
    return at;
}

namespace {

int32_t Sc(int32_t v, int32_t s) { return (v * s + 512) >> 10; }
int32_t W2(int32_t v, int32_t s) { return (((2 * v * s + 512) >> 10) + 1) >> 1; }

// Kind 3 of the capture library: both rectangles w2-sized; B placed by its relation to A.
void Kind3Capture(const Rect8& a, const Rect8& b, int32_t s, ScaledRect out[2]) {
    const int32_t ax = Sc(a.x, s), ay = Sc(a.y, s), aw = W2(a.w, s), ah = W2(a.h, s);
    out[0] = {ax, ay, aw, ah};
    if (b.w != a.w)  // B is A turned by a quarter
        out[1] = {a.x > b.x ? ax - ah : ax + aw, ay + ah, ah, aw};
    else if (a.x == b.x)
        out[1] = {ax, Sc(b.y, s), aw, ah};
    else if (a.y == b.y)
        out[1] = {Sc(b.x, s), ay, aw, ah};
    else if (b.y - a.y >= a.h)
        out[1] = {a.x > b.x ? ax - aw : ax + aw, ay + ah, aw, ah};
    else
        out[1] = {Sc(b.x, s), Sc(b.y, s), aw, ah};
}

// Kind 3 of the algorithm library: a turned B sized by the plain scaled lengths; a diagonal
// neighbour below and left places A from B.
void Kind3Algorithm(const Rect8& a, const Rect8& b, int32_t s, ScaledRect out[2]) {
    if (b.w != a.w) {
        const int32_t w = Sc(a.w, s), h = Sc(a.h, s);
        if (b.x <= a.x) {
            out[1] = {Sc(b.x, s), Sc(a.y, s) + h, h, w};
            out[0] = {Sc(b.x, s) + h, Sc(a.y, s), w, h};
        } else {
            out[0] = {Sc(a.x, s), Sc(a.y, s), w, h};
            out[1] = {out[0].x + w, out[0].y + h, h, w};
        }
        return;
    }
    const int32_t w = W2(a.w, s), h = W2(a.h, s);
    if (b.x == a.x) {
        out[0] = {Sc(a.x, s), Sc(a.y, s), w, h};
        out[1] = {Sc(a.x, s), Sc(b.y, s), w, h};
    } else if (b.y == a.y) {
        out[0] = {Sc(a.x, s), Sc(a.y, s), w, h};
        out[1] = {Sc(b.x, s), Sc(a.y, s), w, h};
    } else if (b.y - a.y == a.h >> 1) {
        out[0] = {Sc(a.x, s), Sc(a.y, s), w, h};
        out[1] = {Sc(b.x, s), Sc(b.y, s), w, h};
    } else if (b.x <= a.x) {
        out[1] = {Sc(b.x, s), Sc(a.y, s) + h, w, h};
        out[0] = {Sc(b.x, s) + w, Sc(a.y, s), w, h};
    } else {
        out[0] = {Sc(a.x, s), Sc(a.y, s), w, h};
        out[1] = {out[0].x + w, out[0].y + h, w, h};
    }
}

}  // namespace

int ScaleFeature(Scaling rules, int kind, const uint32_t* words, int32_t s, ScaledRect out[3]) {
    const Rect8 a = UnpackRect(words[0]), b = UnpackRect(words[1]);
    const int32_t ax = Sc(a.x, s), ay = Sc(a.y, s);
    const bool capture = rules == Scaling::Capture;
    switch (kind) {
    case 0: {
        // The half shares A's top-left; the split length is made even.
        const bool topHalf = capture ? b.w == a.w : b.h != a.h;
        const int32_t half = (Sc(topHalf ? a.h : a.w, s) + 1) >> 1;
        const int32_t aOther = Sc(topHalf ? a.w : a.h, s);
        const int32_t bOther = capture ? aOther : Sc(topHalf ? b.w : b.h, s);
        out[0] = topHalf ? ScaledRect{ax, ay, aOther, 2 * half} : ScaledRect{ax, ay, 2 * half, aOther};
        out[1] = topHalf ? ScaledRect{ax, ay, bOther, half} : ScaledRect{ax, ay, half, bOther};
        return 2;
    }
    case 1:
    case 4:
    case 5: {
        const bool rows = capture ? b.w == a.w : b.h != a.h;  // split across the height
        const int32_t stored = rows ? a.h : a.w, scaled = Sc(stored, s);
        int32_t part;
        if (kind == 5)
            part = capture ? scaled >> 2 : (stored * s + 512) >> 12;
        else
            part = (scaled * 1365 + 2048) >> 12;
        const int32_t parts = kind == 5 ? 4 : 3;
        int32_t start;  // offset of B from A's start along the split
        if (kind == 1)
            start = part;
        else if (capture)
            start = 0;
        else
            start = (rows ? Sc(b.y, s) - ay : Sc(b.x, s) - ax);
        const int32_t other = Sc(rows ? (capture ? a.w : b.w) : (capture ? a.h : b.h), s);
        if (rows) {
            out[0] = {ax, ay, Sc(a.w, s), parts * part};
            out[1] = {ax, ay + start, other, part};
        } else {
            out[0] = {ax, ay, parts * part, Sc(a.h, s)};
            out[1] = {ax + start, ay, part, other};
        }
        return 2;
    }
    case 2: {
        const int32_t hw = (Sc(a.w, s) + 1) >> 1, hh = (Sc(a.h, s) + 1) >> 1;
        out[0] = {ax, ay, 2 * hw, 2 * hh};
        out[1] = {ax, ay, hw, hh};
        out[2] = {ax + hw, ay + hh, hw, hh};
        return 3;
    }
    default:
        if (capture)
            Kind3Capture(a, b, s, out);
        else
            Kind3Algorithm(a, b, s, out);
        return 2;
    }
}

void IntegralImages(const uint8_t* image, int width, int height, int stride, uint32_t* sum, uint64_t* squares) {
    static constexpr auto kSquares = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) t[i] = i * i;
        return t;
    }();
    const size_t row = size_t(width) + 1;
    std::fill(sum, sum + row, 0u);
    std::fill(squares, squares + row, uint64_t(0));
    for (int y = 0; y < height; ++y) {
        const uint8_t* p = image + size_t(y) * size_t(stride);
        uint32_t* s = sum + (size_t(y) + 1) * row;
        uint64_t* q = squares + (size_t(y) + 1) * row;
        const uint32_t* sAbove = s - row;
        const uint64_t* qAbove = q - row;
        s[0] = 0;
        q[0] = 0;
        uint32_t runSum = 0;
        uint64_t runSq = 0;
        for (int x = 0; x < width; ++x) {
            runSum += p[x];
            runSq += kSquares[p[x]];
            s[x + 1] = sAbove[x + 1] + runSum;
            q[x + 1] = qAbove[x + 1] + runSq;
        }
    }
}

}  // namespace irisalg::cascade
