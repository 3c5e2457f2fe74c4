#include "sim/Render.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

#include "FingerSkin.h"

namespace sim {

namespace {

using skin::Uniform;
using skin::ValueNoise;

constexpr double kPi = 3.14159265358979323846;
constexpr double kMmPerInch = 25.4;

uint8_t Clamp8(double v) {
    if (v <= 0) return 0;
    if (v >= 255) return 255;
    return uint8_t(v + 0.5);
}

double Smooth(double t) {
    t = std::clamp(t, 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// Where each pixel of the image lies on the glass: per row, x_mm = ax + bx * column and
// y_mm = ay, with the platen centre at 0 and y down. Without a keystone the grid is even; with
// one, every row is scaled and centred as the correction's first pass samples it, and the rows
// are spaced as its second pass picks them.
struct PlatenGrid {
    std::vector<double> ax, bx, ay;
    double mmPerPxX = 0, mmPerPxY = 0;  // nominal pixel size

    explicit PlatenGrid(const PlatenParams& p) : ax(size_t(std::max(p.height, 0))), bx(ax.size()), ay(ax.size()) {
        mmPerPxX = kMmPerInch / p.ppiX;
        mmPerPxY = kMmPerInch / p.ppiY;
        const double hx = p.width / 2.0, hy = p.height / 2.0;
        for (int r = 0; r < p.height; ++r) {
            bx[size_t(r)] = mmPerPxX;
            ax[size_t(r)] = (0.5 - hx) * mmPerPxX;
            ay[size_t(r)] = (r + 0.5 - hy) * mmPerPxY;
        }
        const Keystone& k = p.keystone;
        if (!k.on || std::abs(k.a - k.b) < 1e-9 || k.l <= 0 || k.k <= 0 || k.outPpi <= 0) return;
        const double H = k.frameHeight > 0 ? k.frameHeight : p.height, W = k.frameWidth > 0 ? k.frameWidth : p.width;
        const double scale = k.frameWidth > 0 ? k.scale : 1, offX = k.frameWidth > 0 ? k.offsetX : 0,
                     offY = k.frameWidth > 0 ? k.offsetY : 0;
        const double rowScale = k.frameWidth > 0 && k.rowScale > 0 ? k.rowScale : scale;
        const double s = (k.a - k.b) / k.l, u = k.b / s, v = u - (H - k.l - k.e), V = v + H;
        const double m = k.a + k.e * s, g = k.g * u, P = (u + k.l) * g, q = (P - V * g) / k.l / V;
        const double d = k.a > k.b ? m : m - H * s;
        const double outW = std::floor(W * (k.k / d) + 0.5) - 8;
        const double outH = std::floor((P - g * v) / k.l / v - q + 0.5) - 8;
        if (!(outW > 8 && outH > 8)) return;
        const double outMm = kMmPerInch / k.outPpi;
        for (int r = 0; r < p.height; ++r) {
            const double fr = offY + r * rowScale;       // frame row
            const double step = (m - fr * s) / k.k;      // frame pixels per output column
            const double x0 = (W - outW * step) * 0.5;
            // Output column i samples frame column x0 + i * step; image column c is frame
            // column offX + c * scale.
            bx[size_t(r)] = outMm / step * scale;
            ax[size_t(r)] = ((offX - x0) / step - outW / 2 + 0.5) * outMm;
            // Output row j samples frame row V - P / (g + (q + 4) L + j L).
            const double j = (P / (V - fr) - g) / k.l - q - 4;
            ay[size_t(r)] = (j + 0.5 - outH / 2) * outMm;
        }
        mmPerPxX = bx[size_t(p.height / 2)];
        if (p.height > 1) mmPerPxY = (ay[size_t(p.height - 1)] - ay[0]) / (p.height - 1);
    }
    double X(int r, double col) const { return ax[size_t(r)] + bx[size_t(r)] * col; }
    // Column range of row r that lies within [xmin, xmax] mm.
    void Columns(int r, double xmin, double xmax, int width, int& c0, int& c1) const {
        const double a = (xmin - ax[size_t(r)]) / bx[size_t(r)], b = (xmax - ax[size_t(r)]) / bx[size_t(r)];
        c0 = std::max(0, int(std::floor(std::min(a, b))));
        c1 = std::min(width, int(std::ceil(std::max(a, b))) + 1);
    }
};

// The sensor: reflectance in, grey out.
struct Sensor {
    double white, cgain, offset;
    explicit Sensor(const PlatenParams& p) {
        white = PlatenLevel(p);
        cgain = 1 + std::clamp(p.contrast, 0.0, 255.0) / 128.0;
        offset = (std::clamp(p.brightness, 0.0, 255.0) - 40) * 0.25;
    }
    double operator()(double reflectance) const { return white * reflectance * cgain + offset; }
};

// Reflectance of the platen and what lies on it, pixel by pixel (1 = clean glass).
using Reflectance = std::vector<float>;

// Clean glass of `pixels` pixels in a buffer each thread keeps: a simulated device draws a frame
// of several megapixels every period, and a fresh buffer each time costs more than the drawing.
Reflectance& CleanGlass(size_t pixels) {
    thread_local Reflectance refl;
    refl.assign(pixels, 1.0f);
    return refl;
}

void AddDirt(const PlatenParams& p, const PlatenGrid& grid, uint32_t seed, Reflectance& refl) {
    const double platenW = p.width * grid.mmPerPxX, platenH = p.height * grid.mmPerPxY;
    auto apply = [&](double cx, double cy, double reach, auto&& shade) {
        for (int r = 0; r < p.height; ++r) {
            const double y = grid.ay[size_t(r)];
            if (std::abs(y - cy) > reach) continue;
            int c0, c1;
            grid.Columns(r, cx - reach, cx + reach, p.width, c0, c1);
            float* row = &refl[size_t(r) * p.width];
            for (int c = c0; c < c1; ++c) row[c] = float(row[c] * shade(grid.X(r, c) - cx, y - cy));
        }
    };
    // Smudges: elongated greasy wipes with ragged edges.
    for (int i = 0; i < 3; ++i) {
        const double cx = (Uniform(seed, 100 + i) - 0.5) * 0.6 * platenW, cy = (Uniform(seed, 200 + i) - 0.5) * 0.6 * platenH;
        const double len = 7 + 5 * Uniform(seed, 300 + i), wid = 2.5 + 2 * Uniform(seed, 310 + i);
        const double ang = Uniform(seed, 320 + i) * kPi, ca = std::cos(ang), sa = std::sin(ang);
        const double depth = 0.12 + 0.06 * Uniform(seed, 330 + i);
        apply(cx, cy, len + 1.5, [&](double dx, double dy) {
            const double along = dx * ca + dy * sa, across = -dx * sa + dy * ca;
            const double rr = std::sqrt((along / len) * (along / len) + (across / wid) * (across / wid)) +
                              0.25 * ValueNoise(seed + 7 * i, dx, dy, 1.2);
            return 1 - depth * (1 - Smooth(rr)) * (0.8 + 0.2 * ValueNoise(seed + 11 * i, dx, dy, 0.4));
        });
    }
    // A latent print left by an earlier finger.
    {
        const auto latent = skin::GetPattern(seed ^ 0x1A7E47u, PatternClass::LeftLoop, 0.48);
        const double cx = (Uniform(seed, 400) - 0.5) * 0.4 * platenW, cy = (Uniform(seed, 401) - 0.5) * 0.4 * platenH;
        apply(cx, cy, 11, [&](double dx, double dy) {
            const double rr = std::sqrt((dx / 7) * (dx / 7) + (dy / 10) * (dy / 10));
            if (rr >= 1) return 1.0;
            const double ridge = std::max(0.0f, latent->Sample(dx, dy));
            return 1 - 0.1 * ridge * (1 - Smooth((rr - 0.6) / 0.4));
        });
    }
    // Scratches and dust.
    for (int i = 0; i < 2; ++i) {
        const double cx = (Uniform(seed, 500 + i) - 0.5) * 0.7 * platenW, cy = (Uniform(seed, 510 + i) - 0.5) * 0.7 * platenH;
        const double len = 6 + 10 * Uniform(seed, 520 + i), ang = Uniform(seed, 530 + i) * kPi;
        const double ca = std::cos(ang), sa = std::sin(ang);
        apply(cx, cy, len, [&](double dx, double dy) {
            const double along = dx * ca + dy * sa, across = std::abs(-dx * sa + dy * ca);
            if (std::abs(along) > len) return 1.0;
            return 1 - 0.35 * (1 - Smooth(across / 0.08));
        });
    }
    for (int i = 0; i < 24; ++i) {
        const double cx = (Uniform(seed, 600 + i) - 0.5) * 0.9 * platenW, cy = (Uniform(seed, 700 + i) - 0.5) * 0.9 * platenH;
        const double rad = 0.06 + 0.2 * Uniform(seed, 800 + i);
        apply(cx, cy, rad, [&](double dx, double dy) { return 1 - 0.5 * (1 - Smooth(std::hypot(dx, dy) / rad)); });
    }
}

// The reflectance image through the sensor into grey.
GreyImage Expose(const PlatenParams& p, const Reflectance& refl, uint32_t seed) {
    GreyImage img(p.width, p.height);
    const Sensor sensor(p);
    const double hx = p.width / 2.0, hy = p.height / 2.0;
    std::vector<float> colFall(size_t(p.width));
    for (int x = 0; x < p.width; ++x) {
        const double nx = (x + 0.5 - hx) / hx;
        colFall[size_t(x)] = float(nx * nx);
    }
    std::vector<bool> darkRow(size_t(p.height)), darkCol(size_t(p.width));
    for (int r : p.defectRows)
        if (r >= 0 && r < p.height) darkRow[size_t(r)] = true;
    for (int c : p.defectColumns)
        if (c >= 0 && c < p.width) darkCol[size_t(c)] = true;
    const float gain = float(sensor.white * sensor.cgain), offset = float(sensor.offset);
    const float vig = float(p.vignetting / 2);
    // Noise joins the signal before the converter, so a saturated pixel reads 255 whatever the
    // noise. Triangular noise: the sum of two uniforms has standard deviation 1/sqrt(6).
    const float noise = float(std::max(0.0, p.noise) * 2.449489742783178 / 65536.0);
    uint32_t state = skin::Hash(seed ^ 0xA5A5A5A5u) | 1u;
    for (int y = 0; y < p.height; ++y) {
        const double ny = (y + 0.5 - hy) / hy;
        const float rowFall = float(ny * ny);
        const float* in = &refl[size_t(y) * p.width];
        uint8_t* out = &img.pixels[size_t(y) * p.width];
        // A defective sensor line answers with about 80 % of its signal.
        const float lineGain = darkRow[size_t(y)] ? 0.8f : 1.0f;
        for (int x = 0; x < p.width; ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            float v = gain * in[x] * (1 - vig * (colFall[size_t(x)] + rowFall)) * lineGain;
            if (darkCol[size_t(x)]) v *= 0.8f;
            v += offset + float(int(state & 0xFFFF) + int(state >> 16) - 65536) * noise;
            out[x] = v <= 0 ? 0 : v >= 254.5f ? 255 : uint8_t(v + 0.5f);
        }
    }
    return img;
}

// One finger on the glass, in platen millimetres (y down).
struct Finger {
    int iso = 0;
    double cx = 0, cy = 0;   // fingertip contact centre
    double a = 7.5, b = 11.5;  // semi-axes across and along
    double angle = 0;        // radians, positive turns the tip to the right
    // Skin coordinates: where the pattern point under the contact centre lies (a roll keeps the
    // skin fixed on the glass while the contact travels).
    double skinCx = 0, skinCy = 0;
    uint32_t seed = 0;
    PatternClass pattern = PatternClass::Arch;
    double widen = 0.12;  // how much wider the fingertip grows towards the crease
    // No fingertip is an ellipse: relative changes of its radius with the third, fourth and fifth
    // harmonics of the angle around the centre (cosine and sine parts), and a ragged rim. 0 for
    // contacts placed by hand.
    std::array<double, 6> outline{};
    double outlineNoise = 0;
    double pressure = 1;  // this finger's share of the hand's pressure
};

PatternClass ClassFor(uint32_t seed, int iso) {
    // Roughly as common as on real hands: loops two thirds, whorls a quarter, the rest arches.
    const double r = Uniform(seed, 900 + uint32_t(iso));
    const bool rightHand = iso >= 1 && iso <= 5;
    if (r < 0.62) return rightHand == (r < 0.55) ? PatternClass::RightLoop : PatternClass::LeftLoop;
    if (r < 0.90) return PatternClass::Whorl;
    return r < 0.95 ? PatternClass::Arch : PatternClass::TentedArch;
}

std::vector<Finger> Place(const FingerScene& s, uint32_t seed, double* printWidth) {
    std::vector<Finger> fingers;
    const double spacing = s.gap == FingerGap::Separate ? 19.0 : s.gap == FingerGap::Close ? 16.8 : 15.0;
    auto add = [&](int iso, double x, double y, double a, double b, double deg) {
        Finger f;
        f.iso = iso;
        f.cx = x;
        f.cy = y;
        f.a = a;
        f.b = b;
        f.angle = deg * kPi / 180;
        fingers.push_back(f);
    };
    switch (s.layout) {
        case FingerLayout::None:
            break;
        case FingerLayout::RightSlap:  // index, middle, ring, little from the left
            add(2, -1.5 * spacing, -3, 7.4, 11.5, -6);
            add(3, -0.5 * spacing, -9, 7.7, 12.5, -1);
            add(4, 0.5 * spacing, -5, 7.3, 11.5, 4);
            add(5, 1.5 * spacing - 1, 7, 6.3, 10.0, 11);
            break;
        case FingerLayout::LeftSlap:  // little, ring, middle, index from the left
            add(10, -1.5 * spacing + 1, 7, 6.3, 10.0, -11);
            add(9, -0.5 * spacing, -5, 7.3, 11.5, -4);
            add(8, 0.5 * spacing, -9, 7.7, 12.5, 1);
            add(7, 1.5 * spacing, -3, 7.4, 11.5, 6);
            break;
        case FingerLayout::TwoThumbs:
            add(6, -0.6 * spacing - 9, 0, 9.0, 13.5, 4);
            add(1, 0.6 * spacing + 9, 0, 9.0, 13.5, -4);
            break;
        case FingerLayout::SingleFinger:
            add(2, 0, 0, 7.8, 12.0, 0);
            break;
        case FingerLayout::Custom:
            // Contacts placed by hand are plain ellipses.
            for (const ContactSpec& c : s.contacts) {
                add(c.isoFinger, c.xMm, c.yMm, c.a, c.b, c.angleDeg);
                fingers.back().widen = 0;
            }
            break;
        case FingerLayout::Roll: {
            const double raw = std::clamp(s.rollPhase, 0.0, 1.0);
            double phase = raw;
            double slip = 0;  // skin carried along with the contact
            switch (s.rollFault) {
                case RollFault::None:
                    break;
                case RollFault::Narrow:
                    phase *= 0.08;
                    break;
                case RollFault::Back:
                    // All the way in the first 60 % of the time, then back to half way.
                    phase = raw < 0.6 ? raw / 0.6 : 1 - (raw - 0.6) / 0.4 * 0.5;
                    break;
                case RollFault::Slide:
                    if (raw > 0.5) slip = (raw - 0.5) * 18;
                    break;
            }
            const double travel = 18;
            add(2, -travel / 2 + travel * phase, 0, 5.0, 12.0, 0);
            fingers.back().skinCx = slip;  // the skin stays on the glass unless it slides
            const double reached = s.rollFault == RollFault::Back ? std::min(1.0, raw / 0.6) : phase;
            if (printWidth) *printWidth = 10 + travel * reached;
            break;
        }
    }
    // Missing fingers, the hand's rotation and position, the tremor.
    std::vector<Finger> kept;
    for (size_t i = 0; i < fingers.size(); ++i)
        if (s.layout == FingerLayout::Roll || s.layout == FingerLayout::SingleFinger ||
            s.layout == FingerLayout::Custom || (s.fingerMask >> i) & 1)
            kept.push_back(fingers[i]);
    const double rot = s.rotationDeg * kPi / 180, cr = std::cos(rot), sr = std::sin(rot);
    for (Finger& f : kept) {
        const bool roll = s.layout == FingerLayout::Roll;
        if (!roll) f.skinCx = f.cx, f.skinCy = f.cy;
        const double x = f.cx, y = f.cy;
        f.cx = x * cr - y * sr + s.offsetXmm + s.jitterXmm;
        f.cy = x * sr + y * cr + s.offsetYmm + s.jitterYmm;
        f.angle += rot;
        if (!roll) {
            f.skinCx = f.cx;
            f.skinCy = f.cy;
        } else {
            f.skinCx += s.offsetXmm + s.jitterXmm;
            f.skinCy = s.offsetYmm + s.jitterYmm;
        }
        f.seed = skin::Hash(seed * 31u + uint32_t(f.iso) + 977u * uint32_t(&f - kept.data()));
        f.pattern = ClassFor(seed, f.iso);
        if (s.layout != FingerLayout::Custom) {
            const double amplitude[6] = {0.04, 0.04, 0.04, 0.04, 0.02, 0.02};
            for (size_t k = 0; k < f.outline.size(); ++k) f.outline[k] = amplitude[k] * (2 * Uniform(f.seed, 60 + uint32_t(k)) - 1);
            f.outlineNoise = 0.045;
            // Fingers of one hand never press alike: the hand's pressure is its hardest finger's.
            if (s.layout != FingerLayout::Roll && s.layout != FingerLayout::SingleFinger)
                f.pressure = 1 - 0.15 * Uniform(f.seed, 70);
        }
    }
    return kept;
}

struct SkinLook {
    double ridge;      // reflectance where a ridge is pressed flat on the glass
    double valley;     // reflectance of the valleys between ridges
    double threshold;  // relief above which the skin touches the glass
    double breakup;    // how much dry patches break the ridges
    double grain;      // how much the ridge skin's grain shows
    double sweat;      // how much sweat greys the valleys
    double speckle;    // pixel-fine unevenness of the contact
};

SkinLook Look(SkinType skin, double pressure) {
    const double p = std::clamp(pressure, 0.3, 1.6);
    SkinLook k{0.14, 0.87, -0.2, 0.15, 0.26, 0.2, 0.14};
    if (skin == SkinType::Dry) k = {0.25, 0.95, 0.3, 0.4, 0.20, 0.05, 0.08};
    if (skin == SkinType::Wet) k = {0.15, 0.55, -0.4, 0.04, 0.22, 0.30, 0.12};
    // Harder pressure flattens more ridge skin onto the glass: wider, darker ridges.
    k.threshold -= 0.35 * (p - 1);
    k.ridge = std::clamp(k.ridge - 0.08 * (p - 1), 0.05, 0.9);
    return k;
}

// The relative change of a fingertip's radius around its outline, tabulated over the "diamond
// angle" (0..4 once round, monotonic in the angle and cheap to compute from a direction).
constexpr int kOutlineBins = 256;
using OutlineTable = std::array<float, kOutlineBins + 1>;

double DiamondAngle(double x, double y) {
    if (y >= 0) return x >= 0 ? y / (x + y) : 1 - x / (y - x);
    return x < 0 ? 2 - y / (-x - y) : 3 + x / (x - y);
}

OutlineTable MakeOutline(const Finger& f, double b) {
    OutlineTable t{};
    const auto& h = f.outline;
    for (int i = 0; i <= kOutlineBins; ++i) {
        const double da = 4.0 * i / kOutlineBins;
        double x, y;
        if (da < 1) x = 1 - da, y = da;
        else if (da < 2) x = 1 - da, y = 2 - da;
        else if (da < 3) x = da - 3, y = 2 - da;
        else x = da - 3, y = da - 4;
        const double len = std::hypot(x, y), cs = x / len, sn = y / len, c2 = cs * cs, s2 = sn * sn;
        // Third, fourth and fifth harmonics, and a slow wobble along the rim.
        double m = h[0] * cs * (4 * c2 - 3) + h[1] * sn * (3 - 4 * s2) + h[2] * (8 * c2 * c2 - 8 * c2 + 1) +
                   h[3] * 4 * sn * cs * (c2 - s2) + h[4] * cs * (16 * c2 * c2 - 20 * c2 + 5) + h[5] * sn * (16 * s2 * s2 - 20 * s2 + 5);
        if (f.outlineNoise > 0) m += f.outlineNoise * ValueNoise(f.seed ^ 0x0E11u, cs * b, sn * b, 3.5);
        // Around the tip only: the sides of a finger lie straight against its neighbours, and
        // towards the crease (sn > 0) the outline only draws in, keeping the crease's gap.
        if (sn > 0) m = std::min(m, 0.0);
        t[size_t(i)] = float(m * s2 * s2 * s2);
    }
    return t;
}

double OutlineAt(const OutlineTable& t, double cs, double sn) {
    const double pos = DiamondAngle(cs, sn) * (kOutlineBins / 4.0);
    const int i = std::clamp(int(pos), 0, kOutlineBins - 1);
    const double w = pos - i;
    return t[size_t(i)] + (t[size_t(i) + 1] - t[size_t(i)]) * w;
}

// Draws one finger into the reflectance image and returns its truth.
FingerTruth DrawFinger(const FingerScene& s, const Finger& f, const PlatenGrid& grid, Reflectance& refl) {
    const PlatenParams& p = s.platen;
    const auto pattern = skin::GetPattern(f.seed, f.pattern, std::max(0.1, s.ridgePeriodMm));
    const double pressure = std::clamp(s.pressure * f.pressure, 0.3, 1.6);
    const SkinLook look = Look(s.skin, pressure);
    // Contact size grows as the hand lands, and with pressure, which flattens the fingertip more
    // across than along.
    const double land = 0.35 + 0.65 * std::clamp(s.landing, 0.0, 1.0);
    const double a = f.a * std::pow(pressure, 0.5) * land, b = f.b * std::pow(pressure, 0.25) * land;
    const OutlineTable outline = MakeOutline(f, b);
    const double ca = std::cos(f.angle), sa = std::sin(f.angle);
    // The second phalanx lies below the crease, narrower and shorter.
    const double pa = 0.92 * a, pb = 0.55 * b, pv = b + 2.2 + pb;
    const double phalanx = std::clamp(s.phalanx, 0.0, 1.0);
    // The outline's harmonics and wobble reach at most this far beyond the ellipse.
    double bulge = 1 + f.outlineNoise;
    for (double c : f.outline) bulge += std::abs(c);
    const double reach = std::max(phalanx > 0 ? pv + pb : 0.0, b * bulge) + 1.0;
    const double edge = 0.9;  // mm over which the contact fades out
    const uint32_t ns = f.seed;

    FingerTruth t;
    t.isoFinger = f.iso;
    t.pattern = f.pattern;
    t.angleDeg = f.angle * 180 / kPi;
    t.phalanx = phalanx > 0;
    double sumX = 0, sumY = 0, area = 0;
    int left = p.width, right = -1, top = p.height, bottom = -1;
    const double skinDx = f.skinCx - f.cx, skinDy = f.skinCy - f.cy;
    const double outer2 = (1 + edge / a) * (1 + edge / a);
    for (int r = 0; r < p.height; ++r) {
        const double y = grid.ay[size_t(r)] - f.cy;
        if (std::abs(y) > reach) continue;
        int c0, c1;
        grid.Columns(r, f.cx - reach, f.cx + reach, p.width, c0, c1);
        float* row = &refl[size_t(r) * p.width];
        for (int c = c0; c < c1; ++c) {
            const double x = grid.X(r, c) - f.cx;
            const double u = ca * x + sa * y, v = -sa * x + ca * y;  // contact coordinates
            // Fingertip: an ellipse whose lower half widens towards the crease.
            const double widen = v > 0 ? 1 + f.widen * std::min(1.0, v / b) : 1.0;
            const double nu = u / (a * widen), nv = v / b;
            double d2 = nu * nu + nv * nv;
            if (phalanx <= 0 && d2 >= outer2 * bulge * bulge) continue;  // clear of the fingertip and its rim
            double d = std::sqrt(d2);
            if (d > 0.6) {
                d /= 1 + OutlineAt(outline, nu / d, nv / d);
                d2 = d * d;
            }
            if (phalanx <= 0 && d2 >= outer2) continue;
            double contact = 0;
            bool tip = false;
            if (d < 1 + edge / a) {
                // A ragged rim: only evaluated near it.
                const double rim = d > 1 - 1.5 * edge / a ? 0.35 * ValueNoise(ns, u, v, 1.5) : 0.0;
                contact = Smooth((1 - d) * a / edge + 0.5 + rim);
                tip = d < 1;
            }
            if (phalanx > 0) {
                const double dv = v - pv;
                const double dp = std::sqrt((u / pa) * (u / pa) + (dv / pb) * (dv / pb));
                if (dp < 1.2) contact = std::max(contact, phalanx * Smooth((1 - dp) * pa / edge + 0.3));
            }
            if (tip) {
                sumX += c, sumY += r, area += 1;
                left = std::min(left, c), right = std::max(right, c), top = std::min(top, r), bottom = std::max(bottom, r);
            }
            if (contact <= 0.01) continue;
            // The skin under this point of the glass.
            const double su = ca * (x - skinDx) + sa * (y - skinDy), sv = -sa * (x - skinDx) + ca * (y - skinDy);
            const skin::Pattern::Skin k = pattern->SampleSkin(su, sv);
            // Ridges touch where their relief stands above the local threshold; near the rim, on
            // dry patches and over creases only their crests do, so they break into pieces there.
            // The threshold changes from ridge to ridge, and so do the ridges' widths.
            const double threshold = look.threshold + 0.35 * k.threshold + 0.7 * k.width + 2.0 * (1 - contact) +
                                     look.breakup * k.breakup + 1.8 * k.crease;
            const double depth = k.ridge - threshold;
            const double touch = Smooth(depth / 0.9 + 0.5);
            // Skin pressed flat prints darkest; where it just touches, and through its grain, the
            // glass shows lighter.
            const double flat = Smooth(depth / 1.0);
            const double ridge = std::clamp(look.ridge * (1 + 0.15 * k.blotch) + 0.2 * (1 - flat) + look.grain * k.grain, 0.02, 1.0);
            // Sweat greys the valleys; towards the rim the skin curves away from the glass and
            // its valleys print lighter.
            const double valley = 1 - (1 - look.valley + look.sweat * k.moisture) * contact * contact;
            // Speckle of the skin's surface, finer than the pattern's grain, pixel by pixel.
            const double speckle = (skin::Hash(ns ^ uint32_t(r * 65599 + c)) >> 8) * (2.0 / 16777216.0) - 1;
            const double value = valley + (ridge - valley) * touch + look.speckle * speckle * contact;
            row[c] = std::min(row[c], float(value));
        }
    }
    if (area > 0) {
        t.centreX = sumX / area;
        t.centreY = sumY / area;
        t.left = left, t.right = right, t.top = top, t.bottom = bottom;
        t.areaPx = area;
        // Minutiae of the skin inside the fingertip contact (kept a period inside its rim).
        const double inset = std::max(0.0, 1 - 2 * s.ridgePeriodMm / std::min(a, b));
        const double scx = ca * (f.skinCx - f.cx) + sa * (f.skinCy - f.cy);
        const double scy = -sa * (f.skinCx - f.cx) + ca * (f.skinCy - f.cy);
        t.minutiae = pattern->MinutiaeInside(-scx, -scy, a * inset, b * inset);
    }
    return t;
}

}  // namespace

double PlatenLevel(const PlatenParams& p) {
    const double lamp = std::max(0.0, p.lamp * (1 + p.driftPerMinute * p.timeMs / 60000.0));
    return lamp * (p.base + p.gain * std::clamp(p.exposure, 0.0, 255.0));
}

double SensorLevel(const PlatenParams& p, double reflectance) { return Sensor(p)(reflectance); }

GreyImage RenderPlaten(const PlatenParams& p, uint32_t seed) {
    if (p.width <= 0 || p.height <= 0) return GreyImage(std::max(p.width, 0), std::max(p.height, 0));
    Reflectance& refl = CleanGlass(size_t(p.width) * p.height);
    const PlatenGrid grid(p);
    if (p.dirty) AddDirt(p, grid, seed, refl);
    return Expose(p, refl, seed);
}

void PlatenPointMm(const PlatenParams& p, int column, int row, double* xMm, double* yMm) {
    *xMm = *yMm = 0;
    if (row < 0 || row >= p.height) return;
    const PlatenGrid grid(p);
    *xMm = grid.X(row, column);
    *yMm = grid.ay[size_t(row)];
}

GreyImage RenderFingers(const FingerScene& s, uint32_t seed) { return RenderFingers(s, seed, nullptr); }

GreyImage RenderFingers(const FingerScene& s, uint32_t seed, SceneTruth* truth) {
    const PlatenParams& p = s.platen;
    if (truth) *truth = SceneTruth{};
    if (p.width <= 0 || p.height <= 0) return GreyImage(std::max(p.width, 0), std::max(p.height, 0));
    Reflectance& refl = CleanGlass(size_t(p.width) * p.height);
    const PlatenGrid grid(p);
    if (p.dirty) AddDirt(p, grid, seed, refl);
    double printWidth = 0;
    const std::vector<Finger> fingers = Place(s, seed, &printWidth);
    for (const Finger& f : fingers) {
        const FingerTruth t = DrawFinger(s, f, grid, refl);
        if (truth) truth->fingers.push_back(t);
    }
    if (truth) {
        std::sort(truth->fingers.begin(), truth->fingers.end(),
                  [](const FingerTruth& l, const FingerTruth& r) { return l.centreX < r.centreX; });
        truth->ridgePeriodPxX = s.ridgePeriodMm / grid.mmPerPxX;
        truth->ridgePeriodPxY = s.ridgePeriodMm / grid.mmPerPxY;
        truth->rollPrintWidthMm = printWidth;
    }
    return Expose(p, refl, seed ^ 0x5A5A5A5Au);
}

void AddNoise(GreyImage& image, double sigma, uint32_t seed) {
    // Triangular noise: the sum of two uniforms has standard deviation 1/sqrt(6).
    const double scale = sigma * 2.449489742783178;
    uint32_t state = skin::Hash(seed ^ 0xA5A5A5A5u) | 1u;
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
