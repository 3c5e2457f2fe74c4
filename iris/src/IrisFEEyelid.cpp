// Eyelid parabola fit of the boundary search: the upper and the lower eyelid, each a parabola
// row = b + (x - a)^2 / c, searched on a vertical-edge map of the region around the iris.
#include <algorithm>
#include <cstring>
#include <new>

#include "iris/IrisFrontEnd.h"
#include "irisalg/IrisAlg.h"

namespace irisfe {

namespace {

constexpr int32_t kStrongLid = 3501;  // both lids found with at least this score: check their spacing

// Points of the curve through vertex (a, b) with divisor c, one per column.
void Curve(int32_t columns, int32_t a, int32_t b, int32_t c, int32_t* points) {
    for (int32_t x = 0; x < columns; ++x) {
        const int64_t dx = x - a;
        points[2 * x] = x;
        points[2 * x + 1] = int32_t(std::clamp<int64_t>(b + dx * dx / c, INT32_MIN / 2, INT32_MAX / 2));
    }
}

// Score of one curve: the edge sum, scaled down by count / columns when fewer than the minimum
// count of its points are valid.
int64_t Score(const int32_t* edge, int32_t rows, int32_t columns, const uint8_t* mask, const int32_t* points,
              int32_t minCount, int32_t* count) {
    int32_t sum = 0;
    *count = IrisFE_CurveScore(edge, rows, columns, mask, points, columns, &sum);
    int64_t s = sum;
    if (*count < minCount) s = s * *count / columns;
    return s;
}

}  // namespace

int32_t IrisFE_BoxMean(uint8_t* image, int32_t rows, int32_t columns, int32_t ry, int32_t rx) {
    if (!image || rx < 0 || ry < 0 || rx >= columns - rx || ry >= rows - ry) return irisalg::kBadArgument;
    if (rx == 0 && ry == 0) return 0;
    std::vector<int32_t> tmp;
    try {
        tmp.resize(size_t(rows) * size_t(columns));
    } catch (const std::bad_alloc&) {
        return irisalg::kNoMemory;
    }
    // Running sums along each row, then along each column, with the edges replicated.
    const int32_t wx = 2 * rx + 1, wy = 2 * ry + 1;
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* row = image + size_t(y) * columns;
        auto at = [&](int32_t x) { return int32_t(row[std::clamp(x, 0, columns - 1)]); };
        int32_t s = 0;
        for (int32_t x = -rx; x <= rx; ++x) s += at(x);
        for (int32_t x = 0; x < columns; ++x) {
            tmp[size_t(y) * columns + x] = s;
            s += at(x + rx + 1) - at(x - rx);
        }
    }
    for (int32_t x = 0; x < columns; ++x) {
        auto at = [&](int32_t y) { return tmp[size_t(std::clamp(y, 0, rows - 1)) * columns + x]; };
        int64_t s = 0;
        for (int32_t y = -ry; y <= ry; ++y) s += at(y);
        for (int32_t y = 0; y < rows; ++y) {
            image[size_t(y) * columns + x] = uint8_t(s / (int64_t(wx) * wy));
            s += at(y + ry + 1) - at(y - ry);
        }
    }
    return 0;
}

int32_t IrisFE_EyelidEdgeMap(const uint8_t* region, int32_t rows, int32_t columns, int32_t px, int32_t py, int32_t pr,
                             int32_t* edge, uint8_t* mask) {
    std::vector<uint8_t> smooth(region, region + size_t(rows) * size_t(columns));
    if (const int32_t rc = IrisFE_BoxMean(smooth.data(), rows, columns, 1, 7); rc != 0) return rc;
    std::memset(edge, 0, size_t(rows) * size_t(columns) * sizeof(int32_t));
    std::memset(mask, 0, size_t(rows) * size_t(columns));
    for (int32_t y = 2; y < rows - 2; ++y)
        for (int32_t x = 0; x < columns; ++x) {
            const int32_t e = int32_t(smooth[size_t(y + 2) * columns + x]) - smooth[size_t(y - 2) * columns + x];
            edge[size_t(y) * columns + x] = y < py && e > 0 ? e * 5 / 4 : std::abs(e);
        }
    const int64_t rr = int64_t(pr + 6) * (pr + 6);
    for (int32_t y = 0; y < rows; ++y)
        for (int32_t x = 0; x < columns; ++x) {
            const int64_t dx = x - px, dy = y - py;
            if (y < 2 || y >= rows - 2 || dx * dx + dy * dy <= rr) mask[size_t(y) * columns + x] = 255;
        }
    return 0;
}

int32_t IrisFE_CurveScore(const int32_t* edge, int32_t rows, int32_t columns, const uint8_t* mask,
                          const int32_t* points, int32_t n, int32_t* sum) {
    int32_t count = 0;
    int64_t s = 0;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t x = points[2 * i], y = points[2 * i + 1];
        if (x < 0 || y < 0 || x >= columns || y >= rows) continue;
        const size_t at = size_t(y) * columns + x;
        if (mask && mask[at]) continue;
        ++count;
        s += edge[at];
    }
    *sum = int32_t(std::min<int64_t>(s, INT32_MAX));
    return count;
}

int32_t IrisFE_ParabolaSearch(const int32_t* edge, int32_t rows, int32_t columns, const uint8_t* mask,
                              const ParabolaParameters& p, int32_t* points, irisalg::EyelidCurve* out) {
    const int32_t a0 = (p.xFrom + p.xTo) / 2, c0 = p.cFrom;
    int32_t b = p.yStart, count = 0;
    int64_t best = 0;
    const int32_t stepY = p.yStep == 0 ? 1 : p.yStep;
    const int32_t positions = (std::abs(p.yEnd - p.yStart) - 1) / std::abs(stepY);
    // The start curve is the flattest searched, so its ends meet a lid that is more curved before its
    // middle does, and the early-stop score is then reached on the lid edge's flank, short of the
    // vertex. The sweep therefore goes on past that position by the reach: how much earlier (in
    // rows) the start curve can meet a lid of the most curved divisor searched, at the column
    // farthest from its vertex.
    const int64_t far = std::max(a0, columns - 1 - a0);
    const int64_t curved = std::max(1, std::min(std::abs(p.cFrom), std::abs(p.cTo)));
    const int64_t reach = c0 == 0 ? 0 : far * far / curved - far * far / std::abs(c0);
    int32_t last = positions;
    bool stopping = false;
    for (int32_t i = 0; i < last; ++i) {
        const int32_t y = p.yStart + i * stepY;
        Curve(columns, a0, y, c0, points);
        const int64_t s = Score(edge, rows, columns, mask, points, p.minCount, &count);
        if (s > best) best = s, b = y;
        if (!stopping && s > p.stopScore && count > p.stopCount) {
            stopping = true;
            last = int32_t(std::min<int64_t>(positions, i + 1 + (reach + std::abs(stepY) - 1) / std::abs(stepY)));
        }
    }
    int32_t a = a0, c = c0;
    if (best >= 16) {
        if (std::abs(stepY) > 1) {
            const int32_t half = std::abs(stepY) / 2, centre = b;
            for (int32_t y = centre - half; y <= centre + half; ++y) {
                Curve(columns, a0, y, c0, points);
                const int64_t s = Score(edge, rows, columns, mask, points, p.minCount, &count);
                if (s > best) best = s, b = y;
            }
        }
        // Both grids are walked upward: from..to for a positive step, to..from for a negative one.
        auto walk = [](int32_t from, int32_t to, int32_t step, auto&& visit) {
            if (step == 0) return visit(from);
            const int32_t lo = step > 0 ? from : to, hi = step > 0 ? to : from, s = std::abs(step);
            for (int32_t v = lo; v <= hi; v += s) visit(v);
        };
        const int32_t bb = b;
        walk(p.xFrom, p.xTo, p.xStep, [&](int32_t ax) {
            walk(p.cFrom, p.cTo, p.cStep, [&](int32_t cc) {
                if (cc == 0) return;
                Curve(columns, ax, bb, cc, points);
                const int64_t s = Score(edge, rows, columns, mask, points, p.minCount, &count);
                if (s > best) best = s, a = ax, c = cc;
            });
        });
    }
    out->vertexX = a, out->vertexY = b, out->divisor = c;
    out->score = int32_t(std::min<int64_t>(best * 300 / columns, INT32_MAX));
    return 0;
}

int32_t IrisFE_FitEyelids(const uint8_t* window, int32_t rows, int32_t columns, EyelidRecord* record,
                          int32_t /*reserved*/) {
    record->upper = irisalg::EyelidCurve{};
    record->lower = irisalg::EyelidCurve{};
    const int32_t pr = record->circles.pupil[2], R = record->circles.iris[2];
    if (pr < 4 || R <= pr + 4) return irisalg::kBadArgument;
    irisalg::IrisRect box{record->circles.iris[1] - R - 15, record->circles.iris[1] + R + 15,
                          record->circles.iris[0] - R - 15, record->circles.iris[0] + R + 15};
    irisalg::ClipIrisRect(&box, rows, columns);
    const int32_t h = irisalg::RectHeight(box), w = irisalg::RectWidth(box);
    if (h < 16 || w < 16) return irisalg::kBadArgument;
    std::vector<uint8_t> region, mask;
    std::vector<int32_t> edge, points;
    try {
        region.resize(size_t(h) * size_t(w));
        mask.resize(region.size());
        edge.resize(region.size());
        points.resize(size_t(2 * w));
    } catch (const std::bad_alloc&) {
        return irisalg::kNoMemory;
    }
    irisalg::RectCopy(window, rows, columns, box, region.data());
    const int32_t px = record->circles.pupil[0] - box.c0, py = record->circles.pupil[1] - box.r0;
    if (const int32_t rc = IrisFE_EyelidEdgeMap(region.data(), h, w, px, py, pr, edge.data(), mask.data()); rc != 0)
        return rc;

    const int32_t t = std::max(1, pr / 3);
    const int32_t L = std::max(h, w) * 5 - 50;
    ParabolaParameters up{px - 3 * t, px + 3 * t, t, py - 5, py - 5 - R, -2,
                          (L * 200 + 128) / 256, (L * 80 + 128) / 256, (-128 - L * 40) / 256,
                          7 * R / 10, 3 * w / 4, 16 * w};
    IrisFE_ParabolaSearch(edge.data(), h, w, mask.data(), up, points.data(), &record->upper);

    // The lower lid is searched below the upper one only.
    const int32_t floorY = std::max(record->upper.vertexY + 4, py - 5);
    for (int32_t x = 0; x < w; ++x) {
        const int64_t dx = x - px;
        const int64_t limit = std::clamp<int64_t>(dx * dx / 1000 + floorY, 0, h);
        for (int32_t y = 0; y < limit; ++y) mask[size_t(y) * w + x] = 255;
    }
    ParabolaParameters low{px - 3 * t, px + 3 * t, t, py + pr, py + pr + R, 2,
                           (-128 - L * 200) / 256, (-128 - L * 80) / 256, (L * 40 + 128) / 256,
                           7 * R / 10, 3 * w / 4, 16 * w};
    IrisFE_ParabolaSearch(edge.data(), h, w, mask.data(), low, points.data(), &record->lower);

    const int32_t gap = std::min(3 * pr, 80);
    if (record->upper.score >= kStrongLid && record->lower.score >= kStrongLid &&
        record->lower.vertexY - record->upper.vertexY <= gap && record->lower.vertexY < py + gap) {
        ParabolaParameters again = low;
        again.yStart = record->lower.vertexY + std::min(pr, 20);
        irisalg::EyelidCurve second;
        if (again.yEnd > again.yStart) {
            IrisFE_ParabolaSearch(edge.data(), h, w, mask.data(), again, points.data(), &second);
            if (2 * int64_t(second.score) > record->lower.score) record->lower = second;
        }
    }
    record->upper.vertexX += box.c0, record->upper.vertexY += box.r0;
    record->lower.vertexX += box.c0, record->lower.vertexY += box.r0;
    return 0;
}

}  // namespace irisfe
