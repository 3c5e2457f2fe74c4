// Feature kinds 33..35: the iris ring sampled onto an N x 512 band (radius down, angle across),
// filtered with odd Gabor kernels of a 24-filter bank at an 8 x 128 grid; a positive response is
// a 1 bit. The mask bits mark grid positions on usable iris.

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

constexpr int kFilters = 24, kPoolSize = 65536, kAngles = 512;
constexpr int32_t kEyelidScore = 3500;
constexpr int32_t kBandDefaults[6] = {80, 512, 128, 8, 4, 8};

struct BandBank {
    int16_t pool[kPoolSize];
    int offset[kFilters], rows[kFilters], cols[kFilters];
    int total = 0;
    int32_t status = 0;
};

const BandBank& Bank() {
    static BandBank bank;
    static std::once_flag once;
    std::call_once(once, [] {
        struct Spec {
            float lambda, angle, sigma;
        };
        std::vector<Spec> specs;
        const float root2 = std::sqrt(2.0f);
        float s = 4.8f;
        for (int k = 0; k < 4; ++k, s *= root2) specs.push_back({2.3f * s, 0, s});
        for (const float sg : {7.5f, 7.5f * root2})
            for (const float a : {40.0f, -40.0f}) specs.push_back({2.0f * sg, a, sg});
        specs.push_back({19.92f, 0, 8.3f});
        specs.push_back({18.48f, -40, 7.7f});
        specs.push_back({16.94f, 30, 7.7f});
        specs.push_back({10.6f, 10, 5.3f});
        for (const float a : {0.0f, 45.0f, -45.0f}) {
            float sg = 5.5f;
            for (int k = 0; k < 4; ++k, sg *= root2) specs.push_back({1.8f * sg, a, sg});
        }
        int16_t kernel[63 * 63];
        for (int f = 0; f < kFilters; ++f) {
            int r = 0, c = 0;
            MakeOddGaborKernel(specs[f].lambda, specs[f].angle, specs[f].sigma, specs[f].sigma, kernel, &r, &c);
            if (bank.total + r * c > kPoolSize) {
                bank.status = kNoMemory;
                return;
            }
            bank.offset[f] = bank.total, bank.rows[f] = r, bank.cols[f] = c;
            std::memcpy(bank.pool + bank.total, kernel, sizeof(int16_t) * size_t(r) * c);
            bank.total += r * c;
        }
    });
    return bank;
}

struct AngleTable {
    int32_t c[kAngles], s[kAngles];
    AngleTable() {
        for (int m = 0; m < kAngles; ++m) {
            const double a = 2.0 * std::numbers::pi * m / kAngles;
            c[m] = int32_t(std::lround(256.0 * std::cos(a)));
            s[m] = int32_t(std::lround(256.0 * std::sin(a)));
        }
    }
};
const AngleTable& Angles() {
    static const AngleTable table;
    return table;
}

struct Band {
    int N, codeCols, codeRows, firstRow, rowStep;
};
Band BandOf(const LocationResult& loc) {
    const int32_t* p = loc.words + kWordBandParams;
    return {p[0], p[2], p[3], p[4], p[5]};
}

bool HasPoints(const LocationResult& loc) { return loc.words[kWordContourFlag] == 1; }
int32_t PointX(const LocationResult& loc, int i) { return loc.words[kWordContourX + i]; }
int32_t PointY(const LocationResult& loc, int i) {
    return loc.words[kWordContourX + loc.words[kWordContourCount] + i];
}

int32_t NormaliseIrisBand(const uint8_t* image, int height, int width, const LocationResult& loc, uint8_t* band) {
    const int32_t* w = loc.words;
    const int N = BandOf(loc).N;
    const int64_t px = w[kWordPupilX], py = w[kWordPupilY], pr = w[kWordPupilR];
    const int64_t ix = w[kWordIrisX], iy = w[kWordIrisY], ir = w[kWordIrisR];
    for (int k = 0; k < kAngles; ++k) {
        const int m = (k + 32) % kAngles;
        const int64_t C = Angles().c[m], S = Angles().s[m];
        const int64_t ox = ix * 256 + C * ir, oy = iy * 256 - S * ir;
        int64_t inx = px * 256 + C * pr, iny = py * 256 - S * pr;
        if (HasPoints(loc)) inx = 256 * int64_t(PointX(loc, m)), iny = 256 * int64_t(PointY(loc, m));
        for (int j = 0; j < N; ++j) {
            const int64_t t = (256 * j) / N;
            const int64_t x = inx * (256 - t) + ox * t, y = iny * (256 - t) + oy * t;
            band[size_t(j) * kAngles + k] = uint8_t(BilinearSample(
                image, height, width, int32_t(std::clamp<int64_t>(x, INT32_MIN, INT32_MAX)),
                int32_t(std::clamp<int64_t>(y, INT32_MIN, INT32_MAX))));
        }
    }
    return 0;
}

int32_t BuildIrisValidMap(int height, int width, const LocationResult& loc, uint8_t* map) {
    const int32_t* w = loc.words;
    const int64_t px = w[kWordPupilX], py = w[kWordPupilY], pr = w[kWordPupilR];
    const int64_t ix = w[kWordIrisX], iy = w[kWordIrisY], ir = w[kWordIrisR];
    if (pr < 1 || ir < pr) return kBadArgument;
    const bool points = HasPoints(loc);
    if (points && w[kWordContourCount] != kAngles) return kBadArgument;
    std::memset(map, 0, size_t(height) * width);
    IrisRect box{int32_t(iy - ir), int32_t(iy + ir), int32_t(ix - ir), int32_t(ix + ir)};
    ClipIrisRect(&box, height, width);
    if (RectWidth(box) <= 0 || RectHeight(box) <= 0) return 0;
    std::vector<int64_t> d;
    int64_t dmax = 0, dmin = ir * ir;
    if (points) {
        for (int i = 0; i < kAngles; ++i) {
            const int64_t dx = PointX(loc, i) - px, dy = PointY(loc, i) - py;
            d.push_back(dx * dx + dy * dy);
            dmax = std::max(dmax, d.back());
            dmin = std::min(dmin, d.back());
        }
    }
    const int32_t* up = w + kWordUpperLid;
    const int32_t* low = w + kWordLowerLid;
    for (int x = box.c0; x <= box.c1; ++x) {
        int64_t top = -1, bottom = height;
        if (up[3] > kEyelidScore && up[2] != 0) top = (int64_t(x) - up[0]) * (int64_t(x) - up[0]) / up[2] + up[1];
        if (low[3] > kEyelidScore && low[2] != 0)
            bottom = (int64_t(x) - low[0]) * (int64_t(x) - low[0]) / low[2] + low[1];
        for (int y = box.r0; y <= box.r1; ++y) {
            if (!(top < y && y < bottom)) continue;
            const int64_t dxi = x - ix, dyi = y - iy, dxp = x - px, dyp = y - py;
            if (dxi * dxi + dyi * dyi > ir * ir) continue;
            const int64_t dd = dxp * dxp + dyp * dyp;
            bool usable;
            if (!points) {
                usable = dd >= pr * pr;
            } else if (dd <= dmin) {
                usable = false;
            } else if (dd >= dmax) {
                usable = true;
            } else {
                int nearest = 0;
                int64_t best = INT64_MAX;
                for (int i = 0; i < kAngles; ++i) {
                    const int64_t ex = PointX(loc, i) - x, ey = PointY(loc, i) - y;
                    if (ex * ex + ey * ey < best) best = ex * ex + ey * ey, nearest = i;
                }
                usable = dd > d[size_t(nearest)];
            }
            if (usable) map[size_t(y) * width + x] = 255;
        }
    }
    return 0;
}

int32_t NormaliseValidMap(const uint8_t* map, int height, int width, const LocationResult& loc, uint8_t* out) {
    const int32_t* w = loc.words;
    const int N = BandOf(loc).N;
    const int64_t px = w[kWordPupilX], py = w[kWordPupilY], pr = w[kWordPupilR];
    const int64_t ix = w[kWordIrisX], iy = w[kWordIrisY], ir = w[kWordIrisR];
    std::memset(out, 0, size_t(N) * kAngles);
    for (int k = 0; k < kAngles; ++k) {
        const int m = (k + 32) % kAngles;
        const int64_t C = Angles().c[m], S = Angles().s[m];
        const int64_t ox = ix + ((C * ir) >> 8), oy = iy - ((S * ir) >> 8);
        int64_t inx = px + ((C * pr) >> 8), iny = py - ((S * pr) >> 8);
        if (HasPoints(loc)) inx = PointX(loc, m), iny = PointY(loc, m);
        for (int j = 0; j < N; ++j) {
            const int64_t sx = inx * (N - j) + ox * j + N / 2, sy = iny * (N - j) + oy * j + N / 2;
            if (sx < 0 || sy < 0) continue;
            const int64_t x = sx / N, y = sy / N;
            if (x >= width || y >= height) continue;
            out[size_t(j) * kAngles + k] = map[size_t(y) * width + x];
        }
    }
    return 0;
}

int32_t EncodeBandCode(const uint8_t* band, const uint8_t* bandMap, const uint8_t flags[kFilters],
                       const LocationResult& loc, uint8_t* out) {
    const BandBank& bank = Bank();
    if (bank.status != 0) return bank.status;
    const Band b = BandOf(loc);
    const int step = kAngles / b.codeCols, bytesPerCol = b.codeRows / 8;
    int R = 0, W = 0, selected = 0;
    for (int f = 0; f < kFilters; ++f)
        if (flags[f]) R = std::max(R, bank.rows[f]), W = std::max(W, bank.cols[f]), ++selected;
    const int blockBytes = bytesPerCol * b.codeCols;
    std::memset(out, 0, size_t(selected) * blockBytes);
    const int padR = (R - 1) / 2, padC = (W - 1) / 2;
    const int pw = kAngles + 2 * padC;
    std::vector<uint8_t> padded;
    try {
        padded.resize(size_t(b.N + 2 * padR) * pw);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    if (Pad(band, b.N, kAngles, padR, padC, padded.data()) != 0) return kBadArgument;
    uint8_t* code = out;
    for (int f = 0; f < kFilters; ++f) {
        if (!flags[f]) continue;
        const int16_t* kern = bank.pool + bank.offset[f];
        const int kr = bank.rows[f], kc = bank.cols[f];
        for (int i = 0; i < b.codeRows; ++i) {
            const int row = b.firstRow + i * b.rowStep;
            for (int j = 0; j < b.codeCols; ++j) {
                const int col = step / 2 + j * step;
                const uint8_t* origin = padded.data() + size_t(row + padR - (kr - 1) / 2) * pw + (col + padC - (kc - 1) / 2);
                int32_t sum = 0;
                for (int y = 0; y < kr; ++y) {
                    const int16_t* kp = kern + y * kc;
                    const uint8_t* pp = origin + size_t(y) * pw;
                    for (int x = 0; x < kc; ++x) sum += int32_t(kp[x]) * pp[x];
                }
                if (sum > 0) code[j * bytesPerCol + i / 8] |= uint8_t(0x80 >> (i % 8));
            }
        }
        code += blockBytes;
    }
    std::memset(code, 0xFF, size_t(blockBytes));
    for (int i = 0; i < b.codeRows; ++i) {
        const int row = b.firstRow + i * b.rowStep;
        for (int j = 0; j < b.codeCols; ++j)
            if (bandMap[size_t(row) * kAngles + step / 2 + j * step] < 255)
                code[j * bytesPerCol + i / 8] &= uint8_t(~(0x80 >> (i % 8)));
    }
    return (selected + 1) * blockBytes;
}

}  // namespace

int32_t MakeOddGaborKernel(double lambda, double angleDeg, double sx, double sy, int16_t* kernel, int* rows,
                           int* cols) {
    if (!(lambda >= 1.0) || !(sx >= 0.25) || !(sy >= 0.25) || !kernel || !rows || !cols) return kBadArgument;
    const int hx = std::min(int(2 * sx + 0.5), 31), hy = std::min(int(2 * sy + 0.5), 31);
    const double theta = angleDeg * std::numbers::pi / 180.0;
    int n = 0;
    for (int y = -hy; y <= hy; ++y)
        for (int x = -hx; x <= hx; ++x) {
            const double u = x * std::cos(theta) + y * std::sin(theta);
            const double v = y * std::cos(theta) - x * std::sin(theta);
            kernel[n++] = int16_t(
                int(std::exp(-0.5 * (v * v / (sy * sy) + u * u / (sx * sx))) * std::sin(2 * std::numbers::pi * u / lambda) * 1024));
        }
    *rows = 2 * hy + 1;
    *cols = 2 * hx + 1;
    return 0;
}

int32_t BandFilterPoolSize() { return Bank().status == 0 ? Bank().total : Bank().status; }

int32_t CheckBandCodeParams(LocationResult& loc, int height, int width, uint8_t flags[24]) {
    int32_t* w = loc.words;
    const int64_t px = w[kWordPupilX], py = w[kWordPupilY], pr = w[kWordPupilR];
    if (px < 0 || px >= width || py < 0 || py >= height) return kBadArgument;
    if (!(std::llabs(px - w[kWordIrisX]) < pr && std::llabs(py - w[kWordIrisY]) < pr)) return kBadArgument;
    if (pr < 10 || 10 * int64_t(w[kWordIrisR]) < 11 * pr) return kBadArgument;
    bool any = false;
    for (int k = 0; k < kFilters; ++k) any |= (flags[k] = uint8_t(uint32_t(w[kWordParameter]) >> k & 1u)) != 0;
    if (!any) return kBadArgument;
    if (w[kWordValidated]) return 0;
    if (w[kWordContourFlag] < 0) w[kWordContourFlag] = 0;
    if (w[kWordContourFlag] == 1 && w[kWordContourCount] != kAngles) return kBadArgument;
    int32_t* p = w + kWordBandParams;
    for (int i = 0; i < 6; ++i)
        if (p[i] < 1) p[i] = kBandDefaults[i];
    const Band b = BandOf(loc);
    if (b.codeRows % 8 != 0 || p[1] != kAngles || kAngles % b.codeCols != 0 ||
        int64_t(b.codeRows - 1) * b.rowStep + b.firstRow >= b.N)
        return kBadArgument;
    w[kWordValidated] = 1;
    return 0;
}

int32_t ExtractBandCode(const uint8_t* image, int height, int width, const uint8_t* map, LocationResult& loc,
                        uint8_t* out) {
    if (!image || !out) return kBadArgument;
    uint8_t flags[kFilters];
    if (const int32_t rc = CheckBandCodeParams(loc, height, width, flags); rc != 0) return rc;
    const int N = BandOf(loc).N;
    if (loc.words[kWordPreNormalised]) {
        if (!map) return kBadArgument;
        return EncodeBandCode(image, map, flags, loc, out);
    }
    std::vector<uint8_t> work;
    try {
        work.resize(size_t(2) * N * kAngles + (map ? 0 : size_t(height) * width));
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
    uint8_t* band = work.data();
    uint8_t* bandMap = band + size_t(N) * kAngles;
    NormaliseIrisBand(image, height, width, loc, band);
    if (!map) {
        uint8_t* built = bandMap + size_t(N) * kAngles;
        if (const int32_t rc = BuildIrisValidMap(height, width, loc, built); rc != 0) return rc;
        map = built;
    }
    NormaliseValidMap(map, height, width, loc, bandMap);
    return EncodeBandCode(band, bandMap, flags, loc, out);
}

}  // namespace irisalg
