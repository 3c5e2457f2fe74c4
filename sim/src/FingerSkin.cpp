#include "FingerSkin.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <list>
#include <mutex>

namespace sim::skin {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kOrientations = 24;
constexpr int kRadius = 3;          // kernels of 7 x 7 texels
constexpr int kSide = 2 * kRadius + 1;
constexpr double kTexelsPerPeriod = 5.0;
constexpr int kGrowRounds = 12;
constexpr size_t kCacheSize = 24;

struct Point {
    double x, y;  // mm, x to the right, y up (towards the tip)
};

struct Singularities {
    std::vector<Point> cores, deltas;
    double archHeight = 0;  // hump of the arch class, mm
};

Singularities ForClass(PatternClass cls, uint32_t seed) {
    // Small per-finger differences in where the singular points lie.
    const double jx = (Uniform(seed, 11) - 0.5) * 1.2, jy = (Uniform(seed, 12) - 0.5) * 1.2;
    Singularities s;
    switch (cls) {
        case PatternClass::Arch:
            s.archHeight = 2.0 + Uniform(seed, 13);
            break;
        case PatternClass::TentedArch:
            s.cores = {{jx, 0.5 + jy}};
            s.deltas = {{jx, -1.8 + jy}};
            break;
        case PatternClass::LeftLoop:
            s.cores = {{-0.5 + jx, 1.0 + jy}};
            s.deltas = {{5.0 + jx, -4.5 + jy}};
            break;
        case PatternClass::RightLoop:
            s.cores = {{0.5 + jx, 1.0 + jy}};
            s.deltas = {{-5.0 + jx, -4.5 + jy}};
            break;
        case PatternClass::Whorl:
            s.cores = {{-0.5 + jx, 1.2 + jy}, {0.5 + jx, 0.2 + jy}};
            s.deltas = {{-5.5 + jx, -4.5 + jy}, {5.5 + jx, -4.5 - jy}};
            break;
    }
    return s;
}

double Smoothstep(double t) {
    t = std::clamp(t, 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// Ridge direction (radians, image coordinates: x right, y down) at finger coordinates (u, v).
double RidgeAngle(const Singularities& s, double u, double v) {
    const double x = u, y = -v;
    double theta = 0;
    for (const Point& c : s.cores) theta += 0.5 * std::atan2(y - c.y, x - c.x);
    for (const Point& d : s.deltas) theta -= 0.5 * std::atan2(y - d.y, x - d.x);
    // Over the tip the ridges arch along its outline; an arch class humps in the middle too.
    auto hump = [&](double height, double spread) {
        const double slope = -height * x / (spread * spread) * std::exp(-x * x / (2 * spread * spread));
        return std::atan(slope);
    };
    theta += Smoothstep((y - 3.0) / 7.0) * hump(5.0, 6.5);
    if (s.archHeight > 0) theta += Smoothstep((y + 7.0) / 8.0) * hump(s.archHeight, 3.5);
    return -theta;
}

struct KernelBank {
    std::array<std::array<float, kSide * 8>, kOrientations> k{};  // rows padded to 8
    KernelBank() {
        const double sigmaAcross = 1.5, sigmaAlong = 3.2;
        for (int o = 0; o < kOrientations; ++o) {
            const double a = o * kPi / kOrientations;
            const double tx = std::cos(a), ty = std::sin(a), nx = -ty, ny = tx;
            double sum = 0;
            for (int dy = -kRadius; dy <= kRadius; ++dy)
                for (int dx = -kRadius; dx <= kRadius; ++dx) {
                    const double p = dx * nx + dy * ny, q = dx * tx + dy * ty;
                    const double w = std::exp(-p * p / (2 * sigmaAcross * sigmaAcross) - q * q / (2 * sigmaAlong * sigmaAlong)) *
                                     std::cos(2 * kPi * p / kTexelsPerPeriod);
                    k[o][(dy + kRadius) * 8 + dx + kRadius] = float(w);
                    sum += w;
                }
            const float mean = float(sum / (kSide * kSide));
            for (int dy = 0; dy < kSide; ++dy)
                for (int dx = 0; dx < kSide; ++dx) k[o][dy * 8 + dx] -= mean;
        }
    }
};

const KernelBank& Kernels() {
    static const KernelBank bank;
    return bank;
}

// Grows ridges from noise: each round filters every texel with the kernel of its orientation
// and saturates the result, so bands at the ridge period along the flow win.
void Grow(Pattern& p, const std::vector<uint8_t>& bins, uint32_t seed) {
    const int w = p.width, h = p.height;
    std::vector<float> cur(size_t(w) * h), next(cur.size());
    // Start from noise of about the ridge period's grain: fewer fragments to grow together.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            cur[size_t(y) * w + x] = float(ValueNoise(seed ^ 0x1234567u, x, y, kTexelsPerPeriod * 0.6));
    const KernelBank& bank = Kernels();
    for (int round = 0; round < kGrowRounds; ++round) {
        double sumSq = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const float* k = bank.k[bins[size_t(y) * w + x]].data();
                float acc = 0;
                if (y >= kRadius && y < h - kRadius && x >= kRadius + 1 && x < w - kRadius - 1) {
                    // Eight independent lanes (the eighth kernel column is 0), summed in a fixed order.
                    float lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
                    for (int dy = 0; dy < kSide; ++dy) {
                        const float* row = &cur[size_t(y + dy - kRadius) * w + x - kRadius];
                        const float* kr = k + dy * 8;
                        for (int dx = 0; dx < 8; ++dx) lane[dx] += kr[dx] * row[dx];
                    }
                    acc = ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
                } else {
                    for (int dy = -kRadius; dy <= kRadius; ++dy)
                        for (int dx = -kRadius; dx <= kRadius; ++dx) {
                            const int yy = std::clamp(y + dy, 0, h - 1), xx = std::clamp(x + dx, 0, w - 1);
                            acc += k[(dy + kRadius) * 8 + dx + kRadius] * cur[size_t(yy) * w + xx];
                        }
                }
                next[size_t(y) * w + x] = acc;
                sumSq += double(acc) * acc;
            }
        }
        const float rms = float(std::sqrt(std::max(1e-12, sumSq / double(next.size()))));
        if (round == kGrowRounds - 1) {
            // The last round unsaturated: the band-pass gives the ridges the rounded relief of skin.
            p.relief.resize(next.size());
            for (size_t i = 0; i < next.size(); ++i) p.relief[i] = std::clamp(next[i] * (0.75f / rms), -1.5f, 1.5f);
        }
        for (size_t i = 0; i < next.size(); ++i) cur[i] = std::clamp(next[i] * (1.6f / rms), -1.0f, 1.0f);
    }
    p.ridge = std::move(cur);
}

// Thins the ridges to one-texel lines (Zhang and Suen) and collects the ends and forks.
void FindMinutiae(Pattern& p) {
    const int w = p.width, h = p.height;
    std::vector<uint8_t> b(size_t(w) * h);
    for (size_t i = 0; i < b.size(); ++i) b[i] = p.ridge[i] > 0;
    for (int x = 0; x < w; ++x) b[x] = b[size_t(h - 1) * w + x] = 0;
    for (int y = 0; y < h; ++y) b[size_t(y) * w] = b[size_t(y) * w + w - 1] = 0;
    auto at = [&](int x, int y) { return int(b[size_t(y) * w + x]); };
    std::vector<size_t> clear;
    for (bool changed = true; changed;) {
        changed = false;
        for (int pass = 0; pass < 2; ++pass) {
            clear.clear();
            for (int y = 1; y < h - 1; ++y)
                for (int x = 1; x < w - 1; ++x) {
                    if (!at(x, y)) continue;
                    const int n[8] = {at(x, y - 1), at(x + 1, y - 1), at(x + 1, y), at(x + 1, y + 1),
                                      at(x, y + 1), at(x - 1, y + 1), at(x - 1, y), at(x - 1, y - 1)};
                    int count = 0, transitions = 0;
                    for (int i = 0; i < 8; ++i) count += n[i], transitions += !n[i] && n[(i + 1) % 8];
                    if (count < 2 || count > 6 || transitions != 1) continue;
                    if (pass == 0 && ((n[0] && n[2] && n[4]) || (n[2] && n[4] && n[6]))) continue;
                    if (pass == 1 && ((n[0] && n[2] && n[6]) || (n[0] && n[4] && n[6]))) continue;
                    clear.push_back(size_t(y) * w + x);
                }
            for (size_t i : clear) b[i] = 0;
            changed = changed || !clear.empty();
        }
    }
    std::vector<std::pair<int, int>> found;
    const int margin = 4;
    for (int y = margin; y < h - margin; ++y)
        for (int x = margin; x < w - margin; ++x) {
            if (!at(x, y)) continue;
            const int n[8] = {at(x, y - 1), at(x + 1, y - 1), at(x + 1, y), at(x + 1, y + 1),
                              at(x, y + 1), at(x - 1, y + 1), at(x - 1, y), at(x - 1, y - 1)};
            int crossings = 0;
            for (int i = 0; i < 8; ++i) crossings += std::abs(n[i] - n[(i + 1) % 8]);
            crossings /= 2;
            if (crossings == 1 || crossings == 3) found.emplace_back(x, y);
        }
    // A fork drawn on the texel grid sometimes shows as two close points: keep one of each pair.
    std::vector<bool> dropped(found.size(), false);
    for (size_t i = 0; i < found.size(); ++i)
        for (size_t j = i + 1; j < found.size() && !dropped[i]; ++j) {
            const int dx = found[i].first - found[j].first, dy = found[i].second - found[j].second;
            if (!dropped[j] && dx * dx + dy * dy <= 4) dropped[j] = true;
        }
    for (size_t i = 0; i < found.size(); ++i)
        if (!dropped[i])
            p.minutiae.push_back({float(p.u0 + found[i].first * p.cellMm), float(p.v0 + found[i].second * p.cellMm)});
}

std::shared_ptr<Pattern> Build(uint32_t seed, PatternClass cls, double periodMm) {
    auto p = std::make_shared<Pattern>();
    p->cls = cls;
    p->periodMm = periodMm;
    p->cellMm = periodMm / kTexelsPerPeriod;
    p->width = int(2 * kHalfWidthMm / p->cellMm) + 1;
    p->height = int(2 * kHalfHeightMm / p->cellMm) + 1;
    p->u0 = -kHalfWidthMm;
    p->v0 = -kHalfHeightMm;
    const Singularities s = ForClass(cls, seed);
    std::vector<uint8_t> bins(size_t(p->width) * p->height);
    for (int y = 0; y < p->height; ++y)
        for (int x = 0; x < p->width; ++x) {
            const double u = p->u0 + x * p->cellMm, v = p->v0 + y * p->cellMm;
            // Real ridges wander a little off the smooth flow: a few degrees over a few millimetres.
            double a = RidgeAngle(s, u, v) + 0.2 * ValueNoise(seed ^ 0x51u, u, v, 2.2) + 0.1 * ValueNoise(seed ^ 0x52u, u, v, 0.9);
            a = std::fmod(a, kPi);
            if (a < 0) a += kPi;
            bins[size_t(y) * p->width + x] = uint8_t(int(std::lround(a / kPi * kOrientations)) % kOrientations);
        }
    Grow(*p, bins, seed);
    FindMinutiae(*p);
    // Creases and small scars: thin lines across the ridges where the skin folds away from the
    // glass, most of them running across the finger.
    struct Crease {
        double u, v, ca, sa, half, width;
    };
    std::vector<Crease> creases;
    const int creaseCount = 1 + int(Uniform(seed, 40) * 3);
    for (int i = 0; i < creaseCount; ++i) {
        const double ang = (Uniform(seed, 41 + 7 * i) - 0.5) * (Uniform(seed, 42 + 7 * i) < 0.7 ? 0.8 : 3.0);
        creases.push_back({(Uniform(seed, 43 + 7 * i) - 0.5) * 14, (Uniform(seed, 44 + 7 * i) - 0.35) * 20, std::cos(ang), std::sin(ang),
                           0.8 + 1.7 * Uniform(seed, 45 + 7 * i), 0.05 + 0.08 * Uniform(seed, 46 + 7 * i)});
    }
    constexpr int C = Pattern::kChannels;
    p->skinNoise.resize(p->ridge.size() * C);
    for (int y = 0; y < p->height; ++y)
        for (int x = 0; x < p->width; ++x) {
            const double u = p->u0 + x * p->cellMm, v = p->v0 + y * p->cellMm;
            const size_t i = size_t(y) * p->width + x;
            float* n = &p->skinNoise[i * C];
            n[0] = float(ValueNoise(seed ^ 0x77u, u, v, 2.5));
            n[1] = float(std::max(0.0, ValueNoise(seed ^ 0x99u, u, v, 0.35)));
            n[2] = float(ValueNoise(seed ^ 0x33u, u, v, 1.2));
            // Width: features about a ridge period across, so neighbouring ridges differ.
            n[3] = float(0.65 * ValueNoise(seed ^ 0x3Du, u, v, 0.8) + 0.35 * ValueNoise(seed ^ 0x3Eu, u, v, 0.4));
            // Grain: texel to texel, a little smoothed by the bilinear sampling.
            n[4] = float(0.6 * (2 * Uniform(seed ^ 0x6A1Cu, uint32_t(i)) - 1) + 0.4 * ValueNoise(seed ^ 0x6A1Du, u, v, 0.25));
            n[5] = float(std::max(0.0, 0.6 * ValueNoise(seed ^ 0x5E7u, u, v, 1.6) + 0.4 * ValueNoise(seed ^ 0x5E8u, u, v, 0.5)));
            double lift = 0;
            for (const Crease& c : creases) {
                const double du = u - c.u, dv = v - c.v;
                const double along = du * c.ca + dv * c.sa, across = -du * c.sa + dv * c.ca;
                if (std::abs(along) > c.half) continue;
                const double taper = 1 - std::pow(std::abs(along) / c.half, 4);
                lift = std::max(lift, taper * (1 - Smoothstep(std::abs(across) / c.width)));
            }
            n[6] = float(lift);
        }
    // Sweat pores: small open spots along the ridge crests, about one every half millimetre.
    for (size_t i = 0; i < p->ridge.size(); ++i)
        if (p->ridge[i] > 0.95f && Uniform(seed ^ 0xB0B0u, uint32_t(i)) < 0.045) {
            p->ridge[i] = -0.4f;
            p->relief[i] = -0.1f;
        }
    return p;
}

}  // namespace

uint32_t Hash(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

double Uniform(uint32_t seed, uint32_t n) { return (Hash(seed * 0x9E3779B9u + n) >> 8) * (1.0 / 16777216.0); }

double ValueNoise(uint32_t seed, double x, double y, double scale) {
    const double fx = x / scale, fy = y / scale;
    const double ix = std::floor(fx), iy = std::floor(fy);
    const double tx = Smoothstep(fx - ix), ty = Smoothstep(fy - iy);
    auto corner = [&](double cx, double cy) {
        const uint32_t h = Hash(seed ^ Hash(uint32_t(int32_t(cx)) * 0x85EBCA6Bu ^ uint32_t(int32_t(cy)) * 0xC2B2AE35u));
        return (h >> 8) * (2.0 / 16777216.0) - 1.0;
    };
    const double a = corner(ix, iy), b = corner(ix + 1, iy), c = corner(ix, iy + 1), d = corner(ix + 1, iy + 1);
    return (a + (b - a) * tx) * (1 - ty) + (c + (d - c) * tx) * ty;
}

float Pattern::Sample(double u, double v) const {
    const double fx = (u - u0) / cellMm, fy = (v - v0) / cellMm;
    if (!(fx >= 0 && fy >= 0 && fx < width - 1 && fy < height - 1)) return 0.0f;
    const int x = int(fx), y = int(fy);
    const float ax = float(fx - x), ay = float(fy - y);
    const float* r0 = &ridge[size_t(y) * width + x];
    const float* r1 = r0 + width;
    return (r0[0] + (r0[1] - r0[0]) * ax) * (1 - ay) + (r1[0] + (r1[1] - r1[0]) * ax) * ay;
}

Pattern::Skin Pattern::SampleSkin(double u, double v) const {
    const double fx = (u - u0) / cellMm, fy = (v - v0) / cellMm;
    if (!(fx >= 0 && fy >= 0 && fx < width - 1 && fy < height - 1)) return {0, 0, 0, 0, 0, 0, 0, 0};
    const int x = int(fx), y = int(fy);
    const float ax = float(fx - x), ay = float(fy - y);
    const float w00 = (1 - ax) * (1 - ay), w01 = ax * (1 - ay), w10 = (1 - ax) * ay, w11 = ax * ay;
    const size_t i = size_t(y) * width + x;
    const float* r = &relief[i];
    float ch[kChannels];
    const float* n0 = &skinNoise[i * kChannels];
    const float* n1 = n0 + size_t(width) * kChannels;
    for (int c = 0; c < kChannels; ++c)
        ch[c] = w00 * n0[c] + w01 * n0[c + kChannels] + w10 * n1[c] + w11 * n1[c + kChannels];
    return {w00 * r[0] + w01 * r[1] + w10 * r[width] + w11 * r[width + 1], ch[0], ch[1], ch[2], ch[3], ch[4], ch[5], ch[6]};
}

int Pattern::MinutiaeInside(double cu, double cv, double a, double b) const {
    int n = 0;
    for (const Minutia& m : minutiae) {
        const double du = (m.u - cu) / a, dv = (m.v - cv) / b;
        n += du * du + dv * dv < 1.0;
    }
    return n;
}

std::shared_ptr<const Pattern> GetPattern(uint32_t seed, PatternClass cls, double periodMm) {
    // Patterns are keyed by all three arguments, most recently used first.
    static std::mutex mutex;
    static std::list<std::pair<uint32_t, std::shared_ptr<Pattern>>> entries;
    {
        std::lock_guard lock(mutex);
        for (auto it = entries.begin(); it != entries.end(); ++it)
            if (it->first == seed && it->second->cls == cls && it->second->periodMm == periodMm) {
                entries.splice(entries.begin(), entries, it);
                return entries.front().second;
            }
    }
    auto built = Build(seed, cls, periodMm);
    std::lock_guard lock(mutex);
    entries.emplace_front(seed, built);
    while (entries.size() > kCacheSize) entries.pop_back();
    return built;
}

}  // namespace sim::skin
