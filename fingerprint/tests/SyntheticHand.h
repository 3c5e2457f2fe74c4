#pragma once
// Renders synthetic slap frames: ridge-textured elliptical finger contacts on a noisy bright
// platen, in the segmentation's layout (lineCount lines of lineLength bytes; fingers point along
// the lines, tips towards line 0, side by side along the columns).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace synth {

// One finger contact. Positions and sizes are in reduced units (0.016 inch), so one scene
// renders the same hand at any resolution.
struct Contact {
  double line;       // centre along the fingers
  double column;     // centre across the fingers
  double halfAlong;  // semi-axis along the finger
  double halfAcross; // semi-axis across the finger
  double tiltDeg;    // direction of the finger axis from the line axis towards the columns
};

struct Scene {
  int reducedLines = 200;    // image extent along the fingers, reduced units
  int reducedColumns = 260;  // image extent across the fingers, reduced units
  std::vector<Contact> contacts;
  uint8_t background = 205;
  int noise = 12;
  uint32_t seed = 1;
};

struct Image {
  int lineCount = 0;
  int lineLength = 0;
  std::vector<uint8_t> pixels;
  uint8_t at(int line, int column) const { return pixels[static_cast<size_t>(line) * lineLength + column]; }
};

inline int ReductionFactor(int ppi) { return static_cast<int>(ppi * 0.016 + 0.5); }

inline Image Render(const Scene& scene, int ppi) {
  const double f = ReductionFactor(ppi);
  Image img;
  img.lineCount = static_cast<int>(scene.reducedLines * f);
  img.lineLength = static_cast<int>(scene.reducedColumns * f);
  img.pixels.assign(static_cast<size_t>(img.lineCount) * img.lineLength, scene.background);
  std::mt19937 rng(scene.seed);
  std::uniform_int_distribution<int> jitter(-scene.noise, scene.noise);
  const double period = 1.1 * f;  // ridge period: about 0.018 inch
  for (int x = 0; x < img.lineCount; ++x)
    for (int y = 0; y < img.lineLength; ++y) {
      double value = scene.background;
      for (const Contact& c : scene.contacts) {
        const double t = c.tiltDeg * std::numbers::pi / 180.0;
        const double dx = x / f - c.line, dy = y / f - c.column;
        const double along = dx * std::cos(t) + dy * std::sin(t);
        const double across = -dx * std::sin(t) + dy * std::cos(t);
        const double r = (along * along) / (c.halfAlong * c.halfAlong) +
                         (across * across) / (c.halfAcross * c.halfAcross);
        if (r > 1.0) continue;
        // Arched ridges around a core below the centre; contrast fades towards the rim.
        const double core = std::hypot(along - 0.4 * c.halfAlong, across) * f;
        const double ridge = std::cos(2.0 * std::numbers::pi * core / period);
        const double rim = 1.0 - 0.5 * r;
        value = std::min(value, 95.0 + 55.0 * ridge * rim + 40.0 * r);
      }
      const int v = static_cast<int>(value) + jitter(rng);
      img.pixels[static_cast<size_t>(x) * img.lineLength + y] = static_cast<uint8_t>(std::clamp(v, 0, 255));
    }
  return img;
}

// Rotates every contact of a hand about (line, column) by tiltDeg.
inline void Tilt(Scene& scene, double line, double column, double tiltDeg) {
  const double t = tiltDeg * std::numbers::pi / 180.0;
  for (Contact& c : scene.contacts) {
    const double dx = c.line - line, dy = c.column - column;
    c.line = line + dx * std::cos(t) - dy * std::sin(t);
    c.column = column + dx * std::sin(t) + dy * std::cos(t);
    c.tiltDeg += tiltDeg;
  }
}

// Four fingers of a hand, index first. The right hand has its index finger at small columns, the
// left hand at large columns; the middle finger reaches highest, the little finger lowest.
inline std::vector<Contact> FourFingers(bool right, double firstColumn = 60.0, double spacing = 48.0) {
  const double lines[4] = {82, 70, 78, 100};
  const double along[4] = {28, 30, 28, 24};
  const double across[4] = {19, 20, 19, 16};
  std::vector<Contact> fingers;
  for (int k = 0; k < 4; ++k) {
    const double column = right ? firstColumn + k * spacing : firstColumn + (3 - k) * spacing;
    fingers.push_back({lines[k], column, along[k], across[k], 0.0});
  }
  return fingers;
}

inline Contact RightThumb() { return {100, 190, 32, 23, 0.0}; }
inline Contact LeftThumb() { return {100, 70, 32, 23, 0.0}; }

}  // namespace synth
