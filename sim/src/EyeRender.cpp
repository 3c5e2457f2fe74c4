#include "sim/EyeRender.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kNominalMm = 300;  // distance at which the subject's nominal sizes hold
constexpr double kLashLine = 5;    // height of the dark lash line above the upper lid at the nominal scale, pixels

// Integer hash (a PCG output permutation over a seeded counter).
uint32_t Hash(uint32_t seed, uint32_t n) {
    uint64_t s = (uint64_t(seed) << 32 | n) * 6364136223846793005ull + 1442695040888963407ull;
    s ^= s >> 29;
    s *= 0xBF58476D1CE4E5B9ull;
    s ^= s >> 32;
    return uint32_t(s);
}

// Uniform in [0, 1) and in [lo, hi).
double Unit(uint32_t seed, uint32_t n) { return (Hash(seed, n) >> 8) * (1.0 / 16777216.0); }
double Range(uint32_t seed, uint32_t n, double lo, double hi) { return lo + (hi - lo) * Unit(seed, n); }

double SmoothStep(double e0, double e1, double x) {
    const double t = std::clamp((x - e0) / (e1 - e0), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// A smooth step with its edges fixed ahead, for the pixel loops: no division per call.
struct Step {
    double e0, inv;
    Step(double a, double b) : e0(a), inv(1 / (b - a)) {}
    double operator()(double x) const {
        const double t = std::clamp((x - e0) * inv, 0.0, 1.0);
        return t * t * (3 - 2 * t);
    }
};

double Mix(double a, double b, double t) { return a + (b - a) * t; }

// Smooth lattice noise in [-1, 1] over a 256 x 256 periodic table.
class Lattice {
public:
    explicit Lattice(uint32_t seed) : v_(256 * 256) {
        for (uint32_t i = 0; i < v_.size(); ++i) v_[i] = float(Unit(seed, i) * 2 - 1);
    }
    double operator()(double x, double y) const {
        const int64_t fx = int64_t(x) - (x < 0 && x != double(int64_t(x)));
        const int64_t fy = int64_t(y) - (y < 0 && y != double(int64_t(y)));
        double tx = x - double(fx), ty = y - double(fy);
        tx = tx * tx * (3 - 2 * tx);
        ty = ty * ty * (3 - 2 * ty);
        const int ix = int(fx & 255), iy = int(fy & 255);
        const int jx = (ix + 1) & 255, jy = (iy + 1) & 255;
        const double a = v_[iy * 256 + ix], b = v_[iy * 256 + jx];
        const double c = v_[jy * 256 + ix], d = v_[jy * 256 + jx];
        return Mix(Mix(a, b, tx), Mix(c, d, tx), ty);
    }

private:
    std::vector<float> v_;
};

// What a subject's eye is like at the nominal distance, drawn from its seed.
struct Anatomy {
    double irisRadius;      // pixels at the nominal distance
    double pupilBase;       // pupil / iris radius ratio in the dark
    double pupilDx, pupilDy;  // pupil offset from the iris centre, iris radii (x towards the nose)
    double ellipticity, ellipseAngle;
    double cornerNasal, cornerTemporal;  // corner heights below the centre line, iris radii
    double eyeHalfWidth;    // corner distance from the centre, iris radii
    double upperVertex, lowerVertex;     // lid vertex heights, iris radii (negative is up)
    double irisAlbedo, scleraAlbedo, skinAlbedo, pupilAlbedo;
    int upperLashes;        // lashes along the upper lid
    double lashClumping;    // 0: even along the lid, 1: in clumps with bare stretches between
    bool spectacles;        // wears glasses: a frame around the eye and two lens reflections
    double rimAlbedo, rimWidth;  // the frame's grey and width (iris radii): thin metal to thick plastic
};

Anatomy MakeAnatomy(uint32_t subject, bool right) {
    const uint32_t eye = Hash(subject, right ? 0x52u : 0x4Cu);
    Anatomy a{};
    // Shared by both eyes of a subject.
    a.irisRadius = Range(subject, 1, 110, 124);
    a.skinAlbedo = Range(subject, 2, 148, 162);
    a.eyeHalfWidth = Range(subject, 3, 2.0, 2.2);
    a.scleraAlbedo = Range(subject, 4, 186, 198);
    a.irisAlbedo = Range(subject, 5, 102, 124);
    // Slightly different per eye.
    a.irisRadius *= Range(eye, 1, 0.985, 1.015);
    a.pupilBase = Range(eye, 2, 0.41, 0.46);
    a.pupilDx = Range(eye, 3, 0.005, 0.03);
    a.pupilDy = Range(eye, 4, -0.005, 0.02);
    a.ellipticity = Range(eye, 5, 0.015, 0.04);
    a.ellipseAngle = Range(eye, 6, 0, kPi);
    a.cornerNasal = Range(eye, 7, 0.2, 0.4);
    a.cornerTemporal = Range(eye, 8, 0.02, 0.15);
    a.upperVertex = -Range(eye, 9, 0.68, 0.82);
    a.lowerVertex = Range(eye, 10, 0.86, 0.96);
    a.pupilAlbedo = Range(eye, 11, 20, 28);
    a.upperLashes = int(Range(eye, 12, 90, 240));
    a.lashClumping = Range(eye, 13, 0.1, 0.8);
    a.spectacles = Unit(subject, 6) < 0.2;
    a.rimAlbedo = Range(subject, 7, 40, 110);
    a.rimWidth = Range(subject, 8, 0.05, 0.13);
    return a;
}

// A parabola row = y0 + (x - x0)^2 / p through two corner points, vertex height y0 given.
struct Parabola {
    double x0 = 0, y0 = 0, p = 1, invP = 1;
    double at(double x) const { return y0 + (x - x0) * (x - x0) * invP; }
};

Parabola ThroughCorners(double y0, double xl, double yl, double xr, double yr) {
    // (xl - x0)^2 / p = yl - y0 and (xr - x0)^2 / p = yr - y0 with xl < x0 < xr.
    const double A = yl - y0, B = yr - y0;
    const double q = std::sqrt(std::max(1e-9, A / B));
    Parabola c;
    c.y0 = y0;
    c.x0 = (xr * q + xl) / (q + 1);
    c.p = (xr - c.x0) * (xr - c.x0) / B;
    c.invP = 1 / c.p;
    return c;
}

struct Geometry {
    double cx, cy;             // eye centre in the image
    double cosR, sinR;         // head roll
    double mirror;             // +1: the nose lies towards +x on screen
    double R, rp;              // iris and mean pupil radius, pixels
    double icx, icy;           // iris centre, eye frame (nasal coordinates)
    double pcx, pcy;           // pupil centre, eye frame
    double pa, pb, pCos, pSin;  // pupil ellipse
    double invPa, invPb;
    double W;                  // corner distance
    Parabola upper, lower;     // lids, eye frame
    double scale;
    double texGamma;           // radial deformation of the texture with dilation

    // Image pixel to the eye frame (u towards the nose, v down).
    void ToEye(double x, double y, double& u, double& v) const {
        const double dx = x - cx, dy = y - cy;
        u = mirror * (cosR * dx + sinR * dy);
        v = -sinR * dx + cosR * dy;
    }
    void ToImage(double u, double v, double& x, double& y) const {
        const double du = mirror * u;
        x = cx + cosR * du - sinR * v;
        y = cy + sinR * du + cosR * v;
    }
    bool Open(double u, double v) const { return std::abs(u) < W && v > upper.at(u) && v < lower.at(u); }
};

Geometry MakeGeometry(const EyeSceneParams& s, const Anatomy& a) {
    Geometry g{};
    g.scale = kNominalMm / std::clamp(s.distanceMm, 50.0, 3000.0);
    g.cx = s.centreX * s.width;
    g.cy = s.centreY * s.height;
    const double roll = s.headRollDeg * kPi / 180;
    g.cosR = std::cos(roll);
    g.sinR = std::sin(roll);
    // The left eye as the camera sees it has its nose towards +x.
    g.mirror = s.rightEye ? -1 : 1;
    g.R = a.irisRadius * g.scale;
    const double constrict = 1 - std::exp(-std::max(0.0, s.white) / 4);
    const double ratio = a.pupilBase - 0.1 * constrict;
    g.rp = g.R * ratio;
    g.texGamma = 1 + 1.5 * (ratio - 0.4);
    g.icx = g.mirror * s.gazeX * g.R;
    g.icy = s.gazeY * g.R;
    g.pcx = g.icx + a.pupilDx * g.R;
    g.pcy = g.icy + a.pupilDy * g.R;
    g.pa = g.rp * (1 + a.ellipticity);
    g.pb = g.rp * (1 - a.ellipticity);
    g.invPa = 1 / g.pa;
    g.invPb = 1 / g.pb;
    g.pCos = std::cos(a.ellipseAngle);
    g.pSin = std::sin(a.ellipseAngle);
    g.W = a.eyeHalfWidth * g.R;
    const double open = std::clamp(s.openness, 0.0, 1.0);
    const double yl = a.cornerTemporal * g.R, yr = a.cornerNasal * g.R;
    const double lowerV = (a.lowerVertex - 0.08 * (1 - open)) * g.R;
    const double closedV = lowerV + 0.02 * g.R;  // just below the lower lid: no gap left
    const double upperV = Mix(closedV, a.upperVertex * g.R, open);
    g.upper = ThroughCorners(upperV, -g.W, yl, g.W, yr);
    g.lower = ThroughCorners(lowerV, -g.W, yl, g.W, yr);
    return g;
}

double ExposureFactor(const EyeSceneParams& s) {
    const double ref = std::max(1.0, s.referenceExposure);
    const double tau = 0.5 * ref;
    return (1 - std::exp(-std::max(0.0, s.exposure) / tau)) / (1 - std::exp(-ref / tau));
}

double TextureAt(const IrisTexture& t, double angle, double radius) {
    // angle in turns, radius 0..1; bilinear.
    double a = angle * IrisTexture::kAngles;
    a -= std::floor(a / IrisTexture::kAngles) * IrisTexture::kAngles;
    const double r = std::clamp(radius, 0.0, 1.0) * (IrisTexture::kRadii - 1);
    const int a0 = int(a), r0 = std::min(int(r), IrisTexture::kRadii - 2);
    const double ta = a - a0, tr = r - r0;
    return Mix(Mix(t.at(a0, r0), t.at(a0 + 1, r0), ta), Mix(t.at(a0, r0 + 1), t.at(a0 + 1, r0 + 1), ta), tr);
}

// Horizontal convolution of every row with a symmetric kernel, the ends repeated.
void BlurRows(const std::vector<float>& in, std::vector<float>& out, int w, int h, const std::vector<float>& k) {
    const int r = int(k.size() / 2);
    std::vector<float> padded(size_t(w + 2 * r));
    for (int y = 0; y < h; ++y) {
        const float* src = &in[size_t(y) * w];
        for (int i = 0; i < w + 2 * r; ++i) padded[size_t(i)] = src[std::clamp(i - r, 0, w - 1)];
        float* dst = &out[size_t(y) * w];
        for (int x = 0; x < w; ++x) dst[x] = 0;
        for (int j = 0; j <= 2 * r; ++j) {
            const float kj = k[size_t(j)];
            const float* p = &padded[size_t(j)];
            for (int x = 0; x < w; ++x) dst[x] += kj * p[x];
        }
    }
}

// Vertical convolution, row by row so that the inner loop runs along memory.
void BlurColumns(const std::vector<float>& in, std::vector<float>& out, int w, int h, const std::vector<float>& k) {
    const int r = int(k.size() / 2);
    for (int y = 0; y < h; ++y) {
        float* dst = &out[size_t(y) * w];
        for (int x = 0; x < w; ++x) dst[x] = 0;
        for (int j = -r; j <= r; ++j) {
            const float kj = k[size_t(j + r)];
            const float* src = &in[size_t(std::clamp(y + j, 0, h - 1)) * w];
            for (int x = 0; x < w; ++x) dst[x] += kj * src[x];
        }
    }
}

// Running mean over 2r + 1 samples along each row, the ends repeated.
void BoxRows(const std::vector<float>& in, std::vector<float>& out, int w, int h, int r) {
    const float inv = 1.0f / float(2 * r + 1);
    for (int y = 0; y < h; ++y) {
        const float* src = &in[size_t(y) * w];
        float* dst = &out[size_t(y) * w];
        double sum = 0;
        for (int j = -r; j <= r; ++j) sum += src[std::clamp(j, 0, w - 1)];
        for (int x = 0; x < w; ++x) {
            dst[x] = float(sum) * inv;
            sum += src[std::min(x + r + 1, w - 1)] - src[std::max(x - r, 0)];
        }
    }
}

// Running mean down the columns, kept for all columns at once.
void BoxColumns(const std::vector<float>& in, std::vector<float>& out, int w, int h, int r, std::vector<float>& sum) {
    const float inv = 1.0f / float(2 * r + 1);
    sum.assign(size_t(w), 0.f);
    for (int j = -r; j <= r; ++j) {
        const float* src = &in[size_t(std::clamp(j, 0, h - 1)) * w];
        for (int x = 0; x < w; ++x) sum[size_t(x)] += src[x];
    }
    for (int y = 0; y < h; ++y) {
        float* dst = &out[size_t(y) * w];
        const float* add = &in[size_t(std::min(y + r + 1, h - 1)) * w];
        const float* sub = &in[size_t(std::max(y - r, 0)) * w];
        for (int x = 0; x < w; ++x) {
            dst[x] = sum[size_t(x)] * inv;
            sum[size_t(x)] += add[x] - sub[x];
        }
    }
}

}  // namespace

std::shared_ptr<const IrisTexture> MakeIrisTexture(uint32_t subjectSeed, bool rightEye) {
    auto tex = std::make_shared<IrisTexture>();
    tex->seed = subjectSeed;
    tex->rightEye = rightEye;
    constexpr int NA = IrisTexture::kAngles, NR = IrisTexture::kRadii;
    const uint32_t seed = Hash(subjectSeed ^ 0x1D15u, rightEye ? 0xE1u : 0xE0u);
    std::vector<double> v(size_t(NA) * NR, 0.0);
    std::vector<float> cosTable(NA);
    for (int i = 0; i < NA; ++i) cosTable[size_t(i)] = float(std::cos(2 * kPi * i / NA));
    uint32_t n = 0;

    // Collarette: a wavy ring between the pupillary and the ciliary zone.
    std::vector<double> collarette(NA);
    {
        const double base = Range(seed, n++, 0.28, 0.38);
        std::vector<double> ph(6), am(6);
        for (int k = 0; k < 6; ++k) ph[size_t(k)] = Range(seed, n++, 0, 2 * kPi), am[size_t(k)] = Range(seed, n++, 0.005, 0.02);
        for (int a = 0; a < NA; ++a) {
            double c = base;
            for (int k = 0; k < 6; ++k) c += am[size_t(k)] * std::cos((k + 3) * 2 * kPi * a / NA + ph[size_t(k)]);
            collarette[size_t(a)] = c;
        }
    }

    // Radial fibres: angular waves of 12..80 cycles a turn whose phase wanders with the radius, so
    // the fibres run outward with gentle bends; each fibre set fades in and out along the radius.
    const int fibres = 56;
    for (int f = 0; f < fibres; ++f) {
        const double k1 = Unit(seed, n++), k2 = Unit(seed, n++);
        const int k = 12 + int(k1 * k2 * 90);
        const double amp = Range(seed, n++, 0.5, 1.0) / std::sqrt(double(k));
        const double ph = Range(seed, n++, 0, NA);
        const double bend = Range(seed, n++, -0.6, 0.6) * NA / k;
        const double bendFreq = Range(seed, n++, 0.5, 2.5);
        const double r0 = Range(seed, n++, 0.0, 1.0), rw = Range(seed, n++, 0.25, 0.7);
        const bool inner = Unit(seed, n++) < 0.3;
        for (int r = 0; r < NR; ++r) {
            const double t = double(r) / (NR - 1);
            double env = std::exp(-(t - r0) * (t - r0) / (2 * rw * rw));
            const double shift = ph + bend * std::sin(bendFreq * kPi * t);
            for (int a = 0; a < NA; ++a) {
                const double zone = t < collarette[size_t(a)] ? (inner ? 1.0 : 0.35) : (inner ? 0.35 : 1.0);
                const int idx = int(int64_t(std::floor(k * a + shift * k)) & (NA - 1));
                v[size_t(r) * NA + a] += amp * env * zone * cosTable[size_t(idx)];
            }
        }
    }
    // Normalise the fibres to a standard deviation of 11 grey levels.
    {
        double s2 = 0;
        for (double x : v) s2 += x * x;
        const double k = 14.0 / std::sqrt(std::max(1e-12, s2 / v.size()));
        for (double& x : v) x *= k;
    }

    Lattice lat(seed ^ 0x77u);
    for (int r = 0; r < NR; ++r) {
        const double t = double(r) / (NR - 1);
        for (int a = 0; a < NA; ++a) {
            double& x = v[size_t(r) * NA + a];
            const double c = collarette[size_t(a)];
            // Ridge of the collarette, a darker pupillary zone inside it, a fine mottle on top.
            x += 22 * std::exp(-(t - c) * (t - c) / (2 * 0.035 * 0.035));
            if (t < c) x -= 6 * SmoothStep(c, c - 0.08, t);
            x += 4 * lat(a * 0.25, t * 24);
            // Contraction furrows: broken concentric dark arcs in the outer ciliary zone.
            const double furrow = std::cos(2 * kPi * (t * 4.5 + 0.3 * lat(a * 0.02, 3.0)));
            const double patch = SmoothStep(0.1, 0.5, lat(a * 0.03 + 40, 7.0));
            if (t > 0.55 && t < 0.95) x -= 20 * patch * std::max(0.0, furrow - 0.6) / 0.4 * SmoothStep(0.55, 0.65, t);
            // Pupillary ruff and a darker limbal ring.
            x -= 10 * SmoothStep(0.05, 0.0, t);
            x -= 16 * SmoothStep(0.84, 1.0, t);
        }
    }
    // Crypts: dark lozenges elongated along the radius, mostly near the collarette.
    const int crypts = 10 + int(Unit(seed, n++) * 14);
    for (int c = 0; c < crypts; ++c) {
        const double ca = Range(seed, n++, 0, NA);
        const double ct = std::clamp(collarette[size_t(int(ca) % NA)] + Range(seed, n++, -0.05, 0.35), 0.1, 0.9);
        const double wa = Range(seed, n++, 3, 10), wt = Range(seed, n++, 0.04, 0.12);
        const double depth = Range(seed, n++, 28, 52);
        for (int r = 0; r < NR; ++r) {
            const double dt = (double(r) / (NR - 1) - ct) / wt;
            if (std::abs(dt) > 1.2) continue;
            for (int da = -int(wa * 1.5) - 1; da <= int(wa * 1.5) + 1; ++da) {
                const int a = int(int64_t(std::floor(ca)) + da) & (NA - 1);
                const double dd = std::abs((std::floor(ca) + da - ca) / wa) + std::abs(dt);
                if (dd < 1) v[size_t(r) * NA + a] -= depth * SmoothStep(1.0, 0.45, dd);
            }
        }
    }
    tex->offset.resize(v.size());
    for (size_t i = 0; i < v.size(); ++i) tex->offset[i] = float(std::clamp(v[i], -55.0, 45.0));
    return tex;
}

PupilAndRing MeanPupilAndRing(const uint8_t* pixels, int width, int height, const Circle& pupil, const Circle& iris) {
    PupilAndRing m;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double d = std::hypot(x - pupil.x, y - pupil.y);
            const uint8_t v = pixels[size_t(y) * width + x];
            if (d < pupil.r * 0.7) m.pupil += v, ++m.pupilCount;
            else if (d > pupil.r * 1.3 && d < iris.r * 0.9 && y > pupil.y) m.ring += v, ++m.ringCount;
        }
    if (m.pupilCount) m.pupil /= m.pupilCount;
    if (m.ringCount) m.ring /= m.ringCount;
    return m;
}

double EyeIllumination(const EyeSceneParams& s) {
    const double red = (std::clamp(s.red1, 0.0, 255.0) + std::clamp(s.red2, 0.0, 255.0)) / 2;
    return ExposureFactor(s) * std::max(0.0, s.gain) * (0.06 + 0.94 * red / 110.0);
}

void BoxGaussianBlur(std::vector<float>& img, int w, int h, double sigma) {
    if (sigma <= 0.05 || w < 2 || h < 2 || img.size() < size_t(w) * h) return;
    std::vector<float> tmp(img.size());
    if (sigma < 1.6) {
        // Small blur: an exact Gaussian kernel.
        const int r = int(std::ceil(3 * sigma));
        std::vector<float> k(size_t(2 * r + 1));
        double sum = 0;
        for (int i = -r; i <= r; ++i) sum += k[size_t(i + r)] = float(std::exp(-i * i / (2 * sigma * sigma)));
        for (float& x : k) x = float(x / sum);
        BlurRows(img, tmp, w, h, k);
        BlurColumns(tmp, img, w, h, k);
        return;
    }
    // Three boxes whose variances add up to sigma^2 (widths wl and wl + 2, mixed).
    const int n = 3;
    int wl = int(std::floor(std::sqrt(12 * sigma * sigma / n + 1)));
    if (wl % 2 == 0) --wl;
    const int wu = wl + 2;
    const int m = int(std::lround((12 * sigma * sigma - n * wl * wl - 4 * n * wl - 3 * n) / (-4.0 * wl - 4)));
    std::vector<float> sums;
    for (int pass = 0; pass < n; ++pass) {
        const int r = ((pass < m ? wl : wu) - 1) / 2;
        BoxRows(img, tmp, w, h, r);
        BoxColumns(tmp, img, w, h, r, sums);
    }
}

EyeFrame RenderEyeFrame(const EyeSceneParams& s, const IrisTexture* texture) {
    EyeFrame out;
    const int W = std::max(s.width, 0), H = std::max(s.height, 0);
    out.image = GreyImage(W, H);
    EyeTruth& truth = out.truth;
    if (W == 0 || H == 0) return out;

    std::shared_ptr<const IrisTexture> own;
    if (!texture || texture->seed != s.subjectSeed || texture->rightEye != s.rightEye) {
        own = MakeIrisTexture(s.subjectSeed, s.rightEye);
        texture = own.get();
    }
    const Anatomy a = MakeAnatomy(s.subjectSeed, s.rightEye);
    const Geometry g = MakeGeometry(s, a);
    const double illum = EyeIllumination(s);
    const double whiteLift = 6 * (1 - std::exp(-std::max(0.0, s.white) / 4)) * ExposureFactor(s) * s.gain;
    const Lattice skinNoise(Hash(s.subjectSeed, 0x5C1Eu));
    const double R = g.R, S = g.scale;

    truth.scale = S;
    truth.headRollDeg = s.headRollDeg;
    truth.pupilLevel = a.pupilAlbedo * illum + whiteLift;
    truth.irisLevel = a.irisAlbedo * illum + whiteLift;
    truth.scleraLevel = a.scleraAlbedo * illum + whiteLift;
    truth.skinLevel = a.skinAlbedo * illum + whiteLift;

    std::vector<float> lin(size_t(W) * H);
    const double defocus = 0.12 * std::abs(s.distanceMm - s.focusMm) * S;
    const double sigma = std::sqrt(defocus * defocus + s.extraBlur * s.extraBlur);
    truth.blurSigma = sigma;

    if (!s.eyePresent) {
        // Nothing in front of the lens: a dim, far and blurred room.
        const Lattice room(Hash(s.subjectSeed, 0xF00Du));
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x)
                lin[size_t(y) * W + x] =
                    float((45 + 10 * room(x / 90.0, y / 90.0) + 12.0 * y / H) * illum * 0.6 + whiteLift);
        BoxGaussianBlur(lin, W, H, std::max(sigma, 3.0));
        truth.blurSigma = std::max(sigma, 3.0);
    } else {
        const double lashAlbedo = 32;
        // Radial deformation of the texture with the pupil size, tabulated.
        std::vector<float> stretch(1025);
        for (size_t i = 0; i < stretch.size(); ++i) stretch[i] = float(std::pow(i / 1024.0, g.texGamma));
        const double invTurn = 1 / (2 * kPi), invSpan = 1 / (R - g.rp);
        const double skinCell = 1 / (22 * S), poreCell = 1 / (4 * S), scleraCell = 1 / (30 * S);
        const double invR = 1 / R, invW = 1 / g.W;
        const double orbitU = 1 / (2.6 * R), orbitV = 1 / (1.7 * R), creaseK = g.upper.invP / 1.5;
        const double creaseW = 1 / (0.07 * R), bagW = 1 / (0.25 * R), browW = 1 / (0.2 * R), shadowW = 1 / (0.12 * R);
        const Step creaseFade(g.W * 1.25, g.W * 0.7), bagFade(g.W * 1.3, g.W * 0.5), lidEnds(g.W + 2, g.W - 6 * S);
        const Step lashLine(kLashLine * S + 1, kLashLine * S - 1), browFade(1.6, 0.6), browEnds(2.6 * R, 1.8 * R);
        const Step pupilEdge(-0.8, 0.8), limbus(R - 1.3, R + 1.3), lidEdge(-0.7, 0.7), caruncle(1.2, 0.6);

        // Skin around the eye: the face's relief as the camera's lamps light it (the orbit's
        // hollow, deepest beside the nose, the brow ridge and the cheek catching the light, the
        // temple turning away from it), faint mottle and pores as near-infrared light shows skin,
        // the lid crease, a band under the eye, the brow; then the lid margins: a dark lash line
        // above the upper lid, a bright wet rim under the lower one.
        // The smooth part on every second pixel in both directions, interpolated: a quarter of the
        // noise look-ups.
        const int BW = W / 2 + 2, BH = H / 2 + 2;
        std::vector<float> base(size_t(BW) * BH);
        const Step cheek(1.55, 2.5), temple(2.2, 3.3), bridge(2.3, 3.2), ridgeEnds(3.1, 2.2);
        for (int j = 0; j < BH; ++j)
            for (int i = 0; i < BW; ++i) {
                double u, v;
                g.ToEye(2 * i, 2 * j, u, v);
                double b = a.skinAlbedo + 3 * skinNoise(u * skinCell + 50, v * skinCell + 50) +
                           3 * skinNoise(u * poreCell, v * poreCell);
                const double ou = u * orbitU, ov = (v + 0.2 * R) * orbitV, q = (ou * ou + ov * ov) * 0.9;
                if (q < 1) b -= 20 * (1 - q) * (1 - q);
                const double x = u * invR, y = v * invR;
                const double ridge = (y + 1.45) / 0.32, nose = ((x - 1.6) * (x - 1.6) + (y + 0.75) * (y + 0.75)) / 0.3;
                b += 22 * std::exp(-ridge * ridge) * ridgeEnds(std::abs(x));
                b -= 20 * std::exp(-nose);
                b += 18 * cheek(y) - 14 * temple(-x) + 10 * bridge(x);
                base[size_t(j) * BW + i] = float(b);
            }
        auto skinAt = [&](int x, int y, double u, double v, double up, double lo) {
            const float* b0 = &base[size_t(y / 2) * BW + x / 2];
            const float* b1 = b0 + BW;
            const double fx = (x & 1) * 0.5, fy = (y & 1) * 0.5;
            double skin = Mix(Mix(b0[0], b0[1], fx), Mix(b1[0], b1[1], fx), fy);
            if (std::abs(u) > g.W * 1.3) return skin;
            const double crease = g.upper.y0 - 0.5 * R + (u - g.upper.x0) * (u - g.upper.x0) * creaseK;
            const double dc = (v - crease) * creaseW;
            if (std::abs(dc) < 3) skin -= 26 * std::exp(-dc * dc) * creaseFade(std::abs(u));
            // The upper lid bulges over the eyeball between the crease and the lash line.
            if (v > crease && v < up) skin += 10 * std::sin(kPi * (v - crease) / std::max(1.0, up - crease)) * creaseFade(std::abs(u));
            const double bag = (v - (g.lower.y0 + 0.55 * R)) * bagW;
            if (std::abs(bag) < 3) skin -= 9 * std::exp(-bag * bag) * bagFade(std::abs(u));
            const double horiz = lidEnds(std::abs(u));
            if (horiz > 0) {
                const double above = up - v;  // > 0 in the skin above the upper lid edge
                if (above > -1 && above < kLashLine * S + 1) skin = Mix(skin, 48.0, horiz * lashLine(above));
                const double below = v - lo;
                if (below > -1 && below < 4 * S) skin = Mix(skin, below < 2 * S ? 176.0 : 110.0, horiz * 0.8);
            }
            return skin;
        };
        auto browAt = [&](double u, double v, double skin) {
            const double browY = -1.9 * R + 0.06 * (u * u) * invR - 0.25 * R * (u * invW);
            const double db = (v - browY) * browW;
            if (std::abs(db) >= 1.6 || std::abs(u) >= 2.6 * R) return skin;
            // Hairs slant outward: stripes across them, long along them.
            const double ang = 0.35 * std::tanh(u / (0.6 * R));
            const double ca = std::cos(ang), sa = std::sin(ang);
            const double along = u * ca + v * sa, across = -u * sa + v * ca;
            const double hair = 0.5 + 0.5 * skinNoise(along / (14 * S) + 120, across / (1.6 * S) + 7);
            const double band = browFade(std::abs(db)) * browEnds(std::abs(u));
            return Mix(skin, 60.0, band * std::clamp(hair * 1.3 - 0.1, 0.0, 1.0));
        };
        // Eye content: sclera, iris, pupil, with the upper lid's shadow.
        auto eyeAt = [&](double u, double v, double up) {
            const double dx = u - g.icx, dy = v - g.icy;
            const double d2 = dx * dx + dy * dy;
            const double cu3 = std::min(1.0, std::abs(u) * invW);
            double sclera = a.scleraAlbedo - 22 * cu3 * cu3 * cu3 + 3 * skinNoise(u * scleraCell + 9, v * scleraCell + 3);
            if (u > g.W * 0.75) {
                // Caruncle in the nasal corner.
                const double cu = (u - g.W * 0.93) / (0.17 * R),
                             cv = (v - g.upper.at(g.W * 0.93) * 0.2 - 0.8 * g.lower.at(g.W * 0.93)) / (0.15 * R);
                sclera = Mix(sclera, 128 + 10 * skinNoise(u / 3, v / 3), caruncle(std::sqrt(cu * cu + cv * cv)));
            }
            double eye = sclera;
            if (d2 < (R + 2) * (R + 2)) {
                const double d = std::sqrt(d2);
                const double pdx = u - g.pcx, pdy = v - g.pcy;
                const double e1 = (pdx * g.pCos + pdy * g.pSin) * g.invPa, e2 = (-pdx * g.pSin + pdy * g.pCos) * g.invPb;
                const double pd = (std::sqrt(e1 * e1 + e2 * e2) - 1) * g.rp;  // signed distance to the pupil edge
                const double t = std::clamp((d - g.rp) * invSpan, 0.0, 1.0) * 1024;
                const int ti = std::min(int(t), 1023);
                const double tr = Mix(stretch[size_t(ti)], stretch[size_t(ti) + 1], t - ti);
                const double iris = a.irisAlbedo + TextureAt(*texture, std::atan2(dy, dx) * invTurn, tr);
                const double inner = pd > 0.8 ? iris : pd < -0.8 ? a.pupilAlbedo : Mix(a.pupilAlbedo, iris, pupilEdge(pd));
                eye = d < R - 1.3 ? inner : Mix(inner, sclera, limbus(d));
            }
            const double gap = v - up;
            if (gap < 0.6 * R) eye *= 1 - 0.34 * std::exp(-std::max(0.0, gap) * shadowW);
            return eye;
        };
        // Glasses: a frame round the eye, well clear of the lids, and the lamps' reflections on
        // the lens as two soft bright patches above and below the eye.
        const double rimHalfW = 3.9 * R, rimHalfH = 2.8 * R, rimCorner = 1.1 * R, rimWidth = a.rimWidth * R;
        const struct { double u, v, ru, rv; } lensGlare[] = {{-1.5 * R, -1.2 * R, 0.24 * R, 0.11 * R}, {1.3 * R, 1.5 * R, 0.2 * R, 0.1 * R}};
        auto spectaclesAt = [&](double u, double v, double skin) {
            const double qx = std::abs(u - 0.3 * R) - (rimHalfW - rimCorner), qy = std::abs(v + 0.2 * R) - (rimHalfH - rimCorner);
            const double edge = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0)) + std::min(std::max(qx, qy), 0.0) - rimCorner;
            skin = Mix(skin, a.rimAlbedo, SmoothStep(rimWidth / 2 + 1, rimWidth / 2 - 1, std::abs(edge)));
            for (const auto& l : lensGlare) {
                const double gu = (u - l.u) / l.ru, gv = (v - l.v) / l.rv;
                skin += 80 * std::exp(-(gu * gu + gv * gv) * 2);
            }
            return skin;
        };
        for (int y = 0; y < H; ++y) {
            const double ny = (y - H / 2.0) / H;
            float* row = &lin[size_t(y) * W];
            for (int x = 0; x < W; ++x) {
                double u, v;
                g.ToEye(x, y, u, v);
                const double nx = (x - W / 2.0) / W;
                const double up = g.upper.at(u), lo = g.lower.at(u);
                const double inside = std::min({v - up, lo - v, g.W - std::abs(u)});
                double val;
                if (inside >= 0.7) {
                    val = eyeAt(u, v, up);
                } else {
                    val = browAt(u, v, skinAt(x, y, u, v, up, lo));
                    if (a.spectacles) val = spectaclesAt(u, v, val);
                    if (inside > -0.7) val = Mix(val, eyeAt(u, v, up), lidEdge(inside));
                }
                const double falloff = 1 - 0.35 * (nx * nx + ny * ny);
                row[x] = float(val * illum * falloff + whiteLift);
            }
        }

        // Lashes: curved dark strokes from the upper lid margin, sparse thin ones under the lower.
        auto stamp = [&](double ex, double ey, double width, double dark) {
            double x, y;
            g.ToImage(ex, ey, x, y);
            const int r = int(width / 2 + 1.5);
            for (int yy = int(y) - r; yy <= int(y) + r + 1; ++yy) {
                if (yy < 0 || yy >= H) continue;
                for (int xx = int(x) - r; xx <= int(x) + r + 1; ++xx) {
                    if (xx < 0 || xx >= W) continue;
                    const double dd = std::sqrt((xx - x) * (xx - x) + (yy - y) * (yy - y));
                    const double cov = std::clamp(width / 2 + 0.5 - dd, 0.0, 1.0) * 0.85;
                    float& px = lin[size_t(yy) * W + xx];
                    px = std::min(px, float(Mix(px, dark, cov)));
                }
            }
        };
        const uint32_t lashSeed = Hash(s.subjectSeed, s.rightEye ? 0x1A5Bu : 0x1A5Au);
        const double dark = lashAlbedo * illum + whiteLift;
        // Their number differs from eye to eye, and along the lid they come in clumps with thinner
        // stretches between.
        for (int i = 0; i < a.upperLashes; ++i) {
            const double h = Unit(lashSeed, uint32_t(4 * i)) * 2 - 1;
            const double keep = 1 - a.lashClumping * (0.5 + 0.5 * skinNoise(h * 6 + (s.rightEye ? 210 : 140), 3.5));
            if (Unit(lashSeed, uint32_t(5000 + i)) > keep) continue;
            const double u0 = g.W * 0.95 * std::sin(h * kPi / 2) ;
            const double v0 = g.upper.at(u0);
            const double fall = 1 - 0.65 * (u0 / g.W) * (u0 / g.W);
            const bool down = Unit(lashSeed, uint32_t(4 * i + 1)) < 0.18;
            const double len = (down ? Range(lashSeed, uint32_t(4 * i + 2), 0.05, 0.11) : Range(lashSeed, uint32_t(4 * i + 2), 0.14, 0.3)) * R * fall;
            // Slope of the lid at the root gives the outward normal; lashes sweep towards the temple.
            const double slope = 2 * (u0 - g.upper.x0) / g.upper.p;
            double nu = slope, nv = -1;
            const double nl = std::hypot(nu, nv);
            nu /= nl, nv /= nl;
            if (down) nu = -nu * 0.3, nv = 1;
            const double sweep = (Unit(lashSeed, uint32_t(4 * i + 3)) - 0.5) * 0.5 - 0.25;
            const double width = (down ? 1.4 : 2.3) * Range(lashSeed, uint32_t(6000 + i), 0.7, 1.25) * std::max(0.6, S);
            const int steps = int(len * 2) + 2;
            for (int k = 0; k <= steps; ++k) {
                const double t = double(k) / steps;
                const double cu = u0 + len * (t * nu + sweep * t * t), cv = v0 + len * (t * nv + 0.35 * t * t * (down ? 0 : 1));
                stamp(cu, cv, width * (1 - 0.6 * t), dark);
            }
        }
        for (int i = 0; i < 40; ++i) {
            const double h = Unit(lashSeed, uint32_t(1000 + 3 * i)) * 2 - 1;
            const double u0 = g.W * 0.85 * h;
            const double v0 = g.lower.at(u0) + 3 * S;
            const double len = Range(lashSeed, uint32_t(1001 + 3 * i), 0.04, 0.09) * R;
            const double sweep = (Unit(lashSeed, uint32_t(1002 + 3 * i)) - 0.5) * 0.6;
            const int steps = int(len * 2) + 2;
            for (int k = 0; k <= steps; ++k) {
                const double t = double(k) / steps;
                stamp(u0 + len * sweep * t, v0 + len * t, 1.1 * std::max(0.6, S) * (1 - 0.5 * t), dark * 1.6);
            }
        }

        // Glints: one per lit LED, fixed to the camera: the two near-infrared LEDs on the pupil,
        // the white LED on the lower iris.
        double icxImg, icyImg;
        g.ToImage(g.icx, g.icy, icxImg, icyImg);
        const struct {
            Glint::Source src;
            double level, dx, dy;
        } leds[] = {{Glint::Red1, s.red1, -0.13, 0.06}, {Glint::Red2, s.red2, 0.13, 0.06}, {Glint::White, s.white, 0.0, 0.62}};
        for (const auto& led : leds) {
            if (led.level <= 0) continue;
            Glint gl{led.src, icxImg + led.dx * R, icyImg + led.dy * R, std::clamp(4.5 * S, 2.5, 6.0)};
            double gu, gv;
            g.ToEye(gl.x, gl.y, gu, gv);
            if (!g.Open(gu, gv) || std::min(gv - g.upper.at(gu), g.lower.at(gu) - gv) < gl.r + 1) continue;
            const double level = (300 + 250 * led.level / 255) * ExposureFactor(s) * s.gain;
            for (int yy = int(gl.y - gl.r - 2); yy <= int(gl.y + gl.r + 2); ++yy)
                for (int xx = int(gl.x - gl.r - 2); xx <= int(gl.x + gl.r + 2); ++xx) {
                    if (xx < 0 || yy < 0 || xx >= W || yy >= H) continue;
                    const double cov = SmoothStep(gl.r + 0.7, gl.r - 0.7, std::hypot(xx - gl.x, yy - gl.y));
                    float& px = lin[size_t(yy) * W + xx];
                    px = float(Mix(px, level, cov));
                }
            truth.glints.push_back(gl);
        }
        BoxGaussianBlur(lin, W, H, sigma);

        // Ground truth geometry.
        double ix, iy, px, py;
        g.ToImage(g.icx, g.icy, ix, iy);
        g.ToImage(g.pcx, g.pcy, px, py);
        truth.iris = {ix, iy, R};
        truth.pupil = {px, py, g.rp};
        truth.pupilEllipticity = a.ellipticity;
        auto lid = [&](const Parabola& p) {
            double x0, y0;
            g.ToImage(p.x0, p.y0, x0, y0);
            return LidCurve{x0, y0, p.p};
        };
        truth.upperLid = lid(g.upper);
        truth.lowerLid = lid(g.lower);
        Parabola lashTop = g.upper;
        lashTop.y0 -= kLashLine * S;
        truth.upperLashTop = lid(lashTop);
        for (int side = 0; side < 2; ++side) {
            const double cu = (side == 0 ? -1 : 1) * g.mirror * g.W;
            g.ToImage(cu, g.upper.at(cu), truth.cornerX[size_t(side)], truth.cornerY[size_t(side)]);
        }
        // Occluded share over the pixels of the annulus, by the rule the masks use.
        long total = 0, covered = 0;
        for (int y = int(std::floor(iy - R)); y <= int(std::ceil(iy + R)); ++y)
            for (int x = int(std::floor(ix - R)); x <= int(std::ceil(ix + R)); ++x) {
                const double dxi = x - ix, dyi = y - iy, dxp = x - px, dyp = y - py;
                if (dxi * dxi + dyi * dyi > R * R || dxp * dxp + dyp * dyp < g.rp * g.rp) continue;
                ++total;
                double u, v;
                g.ToEye(x, y, u, v);
                if (!g.Open(u, v)) ++covered;
            }
        truth.occludedShare = total ? double(covered) / total : 0;
        truth.eyeVisible = truth.occludedShare < 0.95 && ix >= 0 && iy >= 0 && ix < W && iy < H;
    }

    for (size_t i = 0; i < lin.size(); ++i) {
        const float v = lin[i];
        out.image.pixels[i] = v <= 0 ? 0 : v >= 255 ? 255 : uint8_t(v + 0.5f);
    }
    AddSensorNoise(out.image, s);
    return out;
}

void AddSensorNoise(GreyImage& image, const EyeSceneParams& s) {
    if (s.noise > 0) AddNoise(image, s.noise * std::max(0.0, s.gain), s.frameSeed * 2654435761u + s.subjectSeed);
}

}  // namespace sim
