#pragma once
// Ridge patterns of finger skin, grown once per finger and kept in a small cache.
//
// A pattern lives in finger coordinates: u across the finger (mm, to the right), v along it (mm,
// towards the palm; the tip lies at negative v). Its orientation field follows the zero-pole model
// of the pattern class (cores and deltas where real fingers have them, flowing into arches over
// the tip and transverse ridges below), bent a little by slow noise as the flow of real skin is.
// The ridges themselves are grown from noise by repeated filtering with oriented
// band-pass kernels at the ridge period: they follow the flow, keep their spacing, and end or
// fork where the flow opens or closes, as ridges of real skin do. Beside the ridges a pattern
// keeps what makes a print look like skin: the rounded relief of the ridges with sweat pores on
// their crests, ridge widths that change from ridge to ridge, grain, sweat, dry patches, creases.

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
    std::vector<float> relief;      // the same ridges with the rounded profile of skin, pores cut in
    std::vector<Minutia> minutiae;  // endings and bifurcations of the grown ridges
    // Variations of the skin, kChannels per texel, each about -1..1 (see Skin).
    static constexpr int kChannels = 7;
    std::vector<float> skinNoise;

    struct Skin {
        float ridge;      // height of the skin: ridge crests high, valleys low, pores dip
        float threshold;  // slow change of how far the ridges press onto the glass
        float breakup;    // 0..1: dry patches where only the crests touch
        float blotch;     // slow change of the ridges' darkness
        float width;      // ridge-to-ridge change of the ridge width
        float grain;      // fine texture of the ridge skin
        float moisture;   // sweat in the valleys, 0..1
        float crease;     // 0..1: a crease or scar lifts the skin off the glass
    };
    // The skin at finger coordinates (bilinear; flat and dry outside the pattern).
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
