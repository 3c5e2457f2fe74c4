#pragma once
// Ridge patterns of finger skin, grown once per finger and kept in a small cache.
//
// A pattern lives in finger coordinates: u across the finger (mm, to the right), v along it (mm,
// towards the palm; the tip lies at negative v). Its orientation field follows the zero-pole model
// of the pattern class (cores and deltas where real fingers have them, flowing into arches over
// the tip and transverse ridges below), so the flow is smooth everywhere but at the singular
// points. The ridges themselves are grown from noise by repeated filtering with oriented
// band-pass kernels at the ridge period: they follow the flow, keep their spacing, and end or
// fork where the flow opens or closes, as ridges of real skin do.

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/Render.h"

namespace sim::skin {

struct Minutia {
    float u, v;  // mm
};

struct Pattern {
    PatternClass cls = PatternClass::Arch;
    double periodMm = 0.48;
    double cellMm = 0.1;      // texel size
    double u0 = 0, v0 = 0;    // finger coordinates of texel (0, 0)
    int width = 0, height = 0;
    std::vector<float> ridge;       // -1 valley centre .. 1 ridge centre
    std::vector<Minutia> minutiae;  // endings and bifurcations of the grown ridges
    // Slow variations of the skin, three per texel: the ridge threshold (-1..1), the dryness
    // break-up (0..1) and the darkness of the ridges (-1..1).
    std::vector<float> skinNoise;

    struct Skin {
        float ridge, threshold, breakup, blotch;
    };
    Skin SampleSkin(double u, double v) const;

    // Ridge value at finger coordinates (bilinear; 0 outside the pattern).
    float Sample(double u, double v) const;
    // Minutiae inside the ellipse u^2/a^2 + v^2/b^2 < 1 around (cu, cv).
    int MinutiaeInside(double cu, double cv, double a, double b) const;
};

// Extent of every pattern in finger coordinates: wide enough for a finger rolled nail to nail.
constexpr double kHalfWidthMm = 14.0;
constexpr double kHalfHeightMm = 15.0;

// The pattern of one finger; the same arguments always give the same pattern.
std::shared_ptr<const Pattern> GetPattern(uint32_t seed, PatternClass cls, double periodMm);

// Smooth value noise in -1..1 with features of about `scale` mm.
double ValueNoise(uint32_t seed, double x, double y, double scale);

uint32_t Hash(uint32_t x);
// Uniform 0..1 from a seed and a counter.
double Uniform(uint32_t seed, uint32_t n);

}  // namespace sim::skin
