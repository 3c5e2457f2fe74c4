#include <algorithm>
#include <cmath>
#include <random>

#include "sim/EyeRender.h"

namespace sim {

namespace {

// Blends `level` into the pixel with coverage a (0..1).
void Blend(GreyImage& im, int x, int y, double level, double a) {
    if (x < 0 || y < 0 || x >= im.width || y >= im.height || a <= 0) return;
    uint8_t& p = im.at(x, y);
    p = uint8_t(std::clamp(std::lround(p + (level - p) * std::min(a, 1.0)), 0L, 255L));
}

// A filled ellipse with a soft edge of about one pixel.
void Ellipse(GreyImage& im, double cx, double cy, double rx, double ry, double angle, double level) {
    const double c = std::cos(angle), s = std::sin(angle), r = std::max(rx, ry) + 2;
    for (int y = int(cy - r); y <= int(cy + r); ++y)
        for (int x = int(cx - r); x <= int(cx + r); ++x) {
            const double u = ((x - cx) * c + (y - cy) * s) / rx, v = (-(x - cx) * s + (y - cy) * c) / ry;
            const double d = (std::sqrt(u * u + v * v) - 1) * std::min(rx, ry);
            Blend(im, x, y, level, 0.5 - d);
        }
}

// A thick line segment with round ends.
void Stroke(GreyImage& im, double x0, double y0, double x1, double y1, double width, double level) {
    const double dx = x1 - x0, dy = y1 - y0, len2 = std::max(1e-9, dx * dx + dy * dy), h = width / 2 + 1;
    for (int y = int(std::min(y0, y1) - h); y <= int(std::max(y0, y1) + h); ++y)
        for (int x = int(std::min(x0, x1) - h); x <= int(std::max(x0, x1) + h); ++x) {
            const double t = std::clamp(((x - x0) * dx + (y - y0) * dy) / len2, 0.0, 1.0);
            const double ex = x - (x0 + t * dx), ey = y - (y0 + t * dy);
            Blend(im, x, y, level, width / 2 + 0.5 - std::sqrt(ex * ex + ey * ey));
        }
}

}  // namespace

void DrawEyeDistractors(GreyImage& im, uint32_t seed, int count) {
    std::mt19937 rng(seed * 2654435761u + 12345u);
    auto U = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    const double W = im.width, H = im.height, S = std::min(W, H);
    for (int i = 0; i < count; ++i) {
        const double cx = U(0, W), cy = U(0, H);
        switch (int(U(0, 4))) {
        case 0: {  // nostrils
            const double rx = S * U(0.03, 0.09), ry = rx * U(0.5, 0.8), gap = rx * U(2.2, 3.2), dark = U(10, 50);
            const double a = U(-0.4, 0.4);
            Ellipse(im, cx - gap / 2, cy, rx, ry, a + 0.3, dark);
            Ellipse(im, cx + gap / 2, cy, rx, ry, a - 0.3, dark);
            break;
        }
        case 1: {  // a rim of glasses: a rounded rectangle outline
            const double w = S * U(0.3, 0.9), h = w * U(0.45, 0.8), t = S * U(0.01, 0.04), level = U(0, 1) < 0.7 ? U(15, 60) : U(200, 250);
            const double x0 = cx - w / 2, x1 = cx + w / 2, y0 = cy - h / 2, y1 = cy + h / 2, k = h * 0.3;
            Stroke(im, x0 + k, y0, x1 - k, y0, t, level);
            Stroke(im, x0 + k, y1, x1 - k, y1, t, level);
            Stroke(im, x0, y0 + k, x0, y1 - k, t, level);
            Stroke(im, x1, y0 + k, x1, y1 - k, t, level);
            Stroke(im, x0, y0 + k, x0 + k, y0, t, level);
            Stroke(im, x1 - k, y0, x1, y0 + k, t, level);
            Stroke(im, x0, y1 - k, x0 + k, y1, t, level);
            Stroke(im, x1 - k, y1, x1, y1 - k, t, level);
            break;
        }
        case 2: {  // a brow: short dark hairs along an arc
            const double w = S * U(0.4, 0.9), bend = w * U(0.05, 0.2), dark = U(25, 70);
            for (int k = 0; k < 220; ++k) {
                const double u = U(-0.5, 0.5), x = cx + u * w, y = cy + bend * 4 * u * u + U(-1, 1) * w * 0.05;
                const double len = w * U(0.03, 0.08), a = U(-0.6, 0.2);
                Stroke(im, x, y, x + len * std::cos(a), y + len * std::sin(a), U(1, 3), dark);
            }
            break;
        }
        default: {  // loose lashes
            const double w = S * U(0.2, 0.6), dark = U(20, 60);
            for (int k = 0; k < 60; ++k) {
                const double x = cx + U(-0.5, 0.5) * w, y = cy + U(-0.05, 0.05) * w, len = w * U(0.05, 0.15), a = U(-2.4, -0.7);
                Stroke(im, x, y, x + len * std::cos(a), y + len * std::sin(a), U(1, 2.5), dark);
            }
            break;
        }
        }
    }
}

}  // namespace sim
