#include "sim/Render.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMmPerInch = 25.4;

uint32_t Mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    x ^= x >> 16;
    return x;
}

// Uniform 0..1 from a seed and a counter.
double Uniform(uint32_t seed, uint32_t n) { return (Mix(seed * 0x9E3779B9u + n) >> 8) * (1.0 / 16777216.0); }

uint8_t Clamp8(double v) {
    if (v <= 0) return 0;
    if (v >= 255) return 255;
    return uint8_t(v + 0.5);
}

double Smooth(double t) {
    t = std::clamp(t, 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

struct Contact {
    double cx, cy;   // mm from the platen centre, y down
    double a, b;     // semi-axes, mm
    double angle;    // radians, positive turns the tip to the right
    double coreDx, coreDy;
    double twist;
};

std::vector<Contact> Contacts(const FingerScene& s, uint32_t seed) {
    std::vector<Contact> c;
    const double p = std::clamp(s.pressure, 0.0, 1.5);
    auto add = [&](double x, double y, double a, double b, double deg) {
        uint32_t n = uint32_t(c.size()) * 7;
        c.push_back({x + s.offsetXmm, y + s.offsetYmm, a * p, b * p, deg * kPi / 180,
                     (Uniform(seed, n) - 0.5) * 3, 0.5 + Uniform(seed, n + 1) * 2, Uniform(seed, n + 2) * 2 * kPi});
    };
    switch (s.layout) {
        case FingerLayout::None:
            break;
        case FingerLayout::RightSlap:  // index, middle, ring, little from the left
            add(-27, -2, 8.5, 12, 10);
            add(-9, -9, 9, 13, 3);
            add(9, -5, 8.5, 12, -4);
            add(26, 8, 7, 10, -14);
            break;
        case FingerLayout::LeftSlap:  // little, ring, middle, index from the left
            add(-26, 8, 7, 10, 14);
            add(-9, -5, 8.5, 12, 4);
            add(9, -9, 9, 13, -3);
            add(27, -2, 8.5, 12, -10);
            break;
        case FingerLayout::TwoThumbs:
            add(-16, 0, 11, 15, -12);
            add(16, 0, 11, 15, 12);
            break;
        case FingerLayout::SingleFinger:
            add(0, 0, 9, 13, 0);
            break;
        case FingerLayout::Roll: {
            const double phase = std::clamp(s.rollPhase, 0.0, 1.0);
            add(-12 + 24 * phase, 0, 6, 13, 0);
            // The skin prints where it touches: the ridge pattern stays put on the platen.
            c.back().coreDx = -c.back().cx + s.offsetXmm;
            break;
        }
    }
    return c;
}

}  // namespace

double PlatenLevel(const PlatenParams& p) { return std::min(p.maxLevel, p.base + p.gain * p.exposure); }

GreyImage RenderPlaten(const PlatenParams& p, uint32_t seed) {
    GreyImage img(std::max(p.width, 0), std::max(p.height, 0));
    if (img.width == 0 || img.height == 0) return img;
    const double level = PlatenLevel(p);
    const double hx = img.width / 2.0, hy = img.height / 2.0;
    std::vector<double> dirt;
    if (p.dirty) {
        // Three smudges at places fixed by the seed.
        for (int i = 0; i < 3; ++i) {
            dirt.push_back((Uniform(seed, 100 + i) - 0.5) * 0.6 * img.width / p.ppiX * kMmPerInch);
            dirt.push_back((Uniform(seed, 200 + i) - 0.5) * 0.6 * img.height / p.ppiY * kMmPerInch);
            dirt.push_back(6 + 4 * Uniform(seed, 300 + i));
        }
    }
    for (int y = 0; y < img.height; ++y) {
        const double ny = (y + 0.5 - hy) / hy;
        const double ymm = (y + 0.5 - hy) / p.ppiY * kMmPerInch;
        uint8_t* row = &img.pixels[size_t(y) * img.width];
        for (int x = 0; x < img.width; ++x) {
            const double nx = (x + 0.5 - hx) / hx;
            double v = level * (1 - p.vignetting * (nx * nx + ny * ny) / 2);
            for (size_t d = 0; d < dirt.size(); d += 3) {
                const double xmm = (x + 0.5 - hx) / p.ppiX * kMmPerInch;
                const double dx = xmm - dirt[d], dy = ymm - dirt[d + 1];
                const double r = std::sqrt(dx * dx + dy * dy) / dirt[d + 2];
                if (r < 1) v -= 30 * (1 - Smooth(r));
            }
            row[x] = Clamp8(v);
        }
    }
    if (p.noise > 0) AddNoise(img, p.noise, seed);
    return img;
}

GreyImage RenderFingers(const FingerScene& s, uint32_t seed) {
    PlatenParams quiet = s.platen;
    quiet.noise = 0;
    GreyImage img = RenderPlaten(quiet, seed);
    if (img.width == 0) return img;
    const double level = PlatenLevel(s.platen);
    const double ridge = std::min(60.0, level * 0.3);
    const double valley = level * 0.88;
    const double period = std::max(0.1, s.ridgePeriodMm);
    const double mmX = kMmPerInch / s.platen.ppiX, mmY = kMmPerInch / s.platen.ppiY;
    const double hx = img.width / 2.0, hy = img.height / 2.0;
    for (const Contact& c : Contacts(s, seed)) {
        const double reach = std::max(c.a, c.b) * 1.15;
        const int x0 = std::max(0, int((c.cx - reach) / mmX + hx));
        const int x1 = std::min(img.width, int((c.cx + reach) / mmX + hx) + 1);
        const int y0 = std::max(0, int((c.cy - reach) / mmY + hy));
        const int y1 = std::min(img.height, int((c.cy + reach) / mmY + hy) + 1);
        const double ca = std::cos(c.angle), sa = std::sin(c.angle);
        for (int y = y0; y < y1; ++y) {
            const double dyp = (y + 0.5 - hy) * mmY - c.cy;
            uint8_t* row = &img.pixels[size_t(y) * img.width];
            for (int x = x0; x < x1; ++x) {
                const double dxp = (x + 0.5 - hx) * mmX - c.cx;
                // Finger coordinates: u across, v along the finger (tip at negative v).
                const double u = ca * dxp + sa * dyp;
                const double v = -sa * dxp + ca * dyp;
                const double d = std::sqrt((u / c.a) * (u / c.a) + (v / c.b) * (v / c.b));
                if (d >= 1.0) continue;
                const double contact = Smooth((1.0 - d) / 0.12);
                // Ridges: a whorl around the core that opens into arches towards the crease, on
                // coordinates bent by slow waves so that the flow looks grown rather than drawn.
                const double wu = u + 0.7 * std::sin(v / 2.9 + c.twist) + 0.3 * std::sin(v / 1.3 + 2 * c.twist);
                const double wv = v + 0.6 * std::sin(u / 3.3 - c.twist) + 0.25 * std::sin(u / 1.7 + c.twist);
                const double pu = wu - c.coreDx, pv = (wv - c.coreDy) * 0.85;
                const double r = std::sqrt(pu * pu + pv * pv);
                const double blend = std::exp(-(r * r) / (0.3 * c.b * c.b));
                const double arch = (wv - c.coreDy) - 0.45 * c.b * std::exp(-(pu * pu) / (0.5 * c.a * c.a));
                const double flow = blend * r + (1 - blend) * (r * 0.35 + std::abs(arch) * 0.65);
                const double phase = 2 * kPi * flow / period;
                const double depth = 0.5 + 0.5 * std::cos(phase);
                const double skin = valley + (ridge - valley) * depth;
                row[x] = Clamp8(row[x] * (1 - contact) + skin * contact);
            }
        }
    }
    if (s.platen.noise > 0) AddNoise(img, s.platen.noise, seed ^ 0x5A5A5A5Au);
    return img;
}

void AddNoise(GreyImage& image, double sigma, uint32_t seed) {
    // Triangular noise: the sum of two uniforms has standard deviation 1/sqrt(6).
    const double scale = sigma * 2.449489742783178;
    uint32_t state = Mix(seed ^ 0xA5A5A5A5u) | 1u;
    for (uint8_t& px : image.pixels) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const double u1 = (state & 0xFFFF) * (1.0 / 65536.0);
        const double u2 = (state >> 16) * (1.0 / 65536.0);
        px = Clamp8(px + (u1 + u2 - 1.0) * scale);
    }
}

uint8_t TestPatternValue(int x, int y, uint32_t frame) { return uint8_t(x * 5 + y * 11 + frame * 37); }

GreyImage RenderTestPattern(int width, int height, uint32_t frame) {
    GreyImage img(std::max(width, 0), std::max(height, 0));
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) img.at(x, y) = TestPatternValue(x, y, frame);
    return img;
}

uint32_t TestPatternFrame(uint8_t value, int x, int y) {
    // 173 is the inverse of 37 modulo 256.
    return uint32_t(uint8_t((value - x * 5 - y * 11) * 173));
}

}  // namespace sim
