#pragma once
// Deterministic scene renderers: scene parameters and a seed in, an 8-bit grey image out
// (one byte a pixel, rows top to bottom, fingertips up). No state, no threads.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

struct GreyImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // width * height, row by row from the top

    GreyImage() = default;
    GreyImage(int w, int h, uint8_t fill = 0) : width(w), height(h), pixels(size_t(w) * h, fill) {}
    uint8_t& at(int x, int y) { return pixels[size_t(y) * width + x]; }
    uint8_t at(int x, int y) const { return pixels[size_t(y) * width + x]; }
};

// The empty platen as the sensor sees it: brightness rises with exposure and saturates,
// darkens towards the corners, and may carry dirt.
struct PlatenParams {
    int width = 0;
    int height = 0;
    double ppiX = 500;
    double ppiY = 500;
    double exposure = 40;      // camera exposure value 0..255
    double base = 130;         // brightness at exposure 0
    double gain = 2.5;         // brightness per exposure step
    double maxLevel = 250;     // saturation
    double vignetting = 0.08;  // relative loss of brightness in the corners
    double noise = 2.0;        // standard deviation of the sensor noise
    bool dirty = false;        // dark smudges left on the glass
};

// Mean brightness of the platen centre for these parameters.
double PlatenLevel(const PlatenParams& p);

GreyImage RenderPlaten(const PlatenParams& p, uint32_t seed);

enum class FingerLayout {
    None,
    LeftSlap,      // four fingers of the left hand, little finger leftmost
    RightSlap,     // four fingers of the right hand, index finger leftmost
    TwoThumbs,
    SingleFinger,
    Roll,          // one finger rolled from nail side to nail side as rollPhase goes 0..1
};

struct FingerScene {
    PlatenParams platen;
    FingerLayout layout = FingerLayout::None;
    double offsetXmm = 0;   // shift of the whole hand on the platen
    double offsetYmm = 0;
    double pressure = 1.0;  // contact size, 0..1.2
    double rollPhase = 0;   // 0..1 during a roll
    double ridgePeriodMm = 0.48;
};

GreyImage RenderFingers(const FingerScene& scene, uint32_t seed);

// Adds Gaussian-like sensor noise of standard deviation sigma, clamped to 0..255.
void AddNoise(GreyImage& image, double sigma, uint32_t seed);

// Coordinate-encoded test pattern: every pixel tells its position and the frame number, so a
// transposed, mirrored, shifted or out-of-order frame is caught.
uint8_t TestPatternValue(int x, int y, uint32_t frame);
GreyImage RenderTestPattern(int width, int height, uint32_t frame);
// The frame number (mod 256) a pattern pixel at (x, y) was rendered for.
uint32_t TestPatternFrame(uint8_t value, int x, int y);

}  // namespace sim
