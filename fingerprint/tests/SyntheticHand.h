#pragma once
// Synthetic slap frames for the segmentation tests, drawn by the simulated scanners' renderer so
// that tests and simulator show the same fingers: ridge-patterned finger contacts on a noisy
// bright platen, in the segmentation's layout (lineCount lines of lineLength bytes; fingers point
// along the lines, tips towards line 0, side by side along the columns).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "sim/Render.h"

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
  int noise = 12;            // platen noise as strong as uniform noise of +-noise grey levels
  uint32_t seed = 1;
};

struct Image {
  int lineCount = 0;
  int lineLength = 0;
  std::vector<uint8_t> pixels;
  uint8_t at(int line, int column) const { return pixels[static_cast<size_t>(line) * lineLength + column]; }
};

inline int ReductionFactor(int ppi) { return static_cast<int>(ppi * 0.016 + 0.5); }

constexpr double kMmPerReduced = 0.016 * 25.4;

// The scene as the simulator's renderer takes it: contacts in millimetres from the image centre.
inline sim::FingerScene ToFingerScene(const Scene& scene, int ppi) {
  const int f = ReductionFactor(ppi);
  sim::FingerScene s;
  s.platen.width = scene.reducedColumns * f;
  s.platen.height = scene.reducedLines * f;
  s.platen.ppiX = s.platen.ppiY = f / 0.016;
  // A flat platen of the scene's background grey.
  s.platen.base = scene.background;
  s.platen.gain = 0;
  s.platen.exposure = 0;
  s.platen.vignetting = 0;
  s.platen.noise = scene.noise / 1.7320508;  // the standard deviation of that uniform noise
  s.layout = sim::FingerLayout::Custom;
  for (const Contact& c : scene.contacts) {
    sim::ContactSpec k;
    k.xMm = (c.column - scene.reducedColumns / 2.0) * kMmPerReduced;
    k.yMm = (c.line - scene.reducedLines / 2.0) * kMmPerReduced;
    k.a = c.halfAcross * kMmPerReduced;
    k.b = c.halfAlong * kMmPerReduced;
    k.angleDeg = -c.tiltDeg;  // the finger axis towards the palm leans to the columns: the tip the other way
    s.contacts.push_back(k);
  }
  return s;
}

inline Image Render(const Scene& scene, int ppi) {
  const sim::GreyImage g = sim::RenderFingers(ToFingerScene(scene, ppi), scene.seed);
  return Image{g.height, g.width, g.pixels};
}

// Rotates every contact of a hand about (line, column) by tiltDeg.
inline void Tilt(Scene& scene, double line, double column, double tiltDeg) {
  const double t = tiltDeg * 3.14159265358979323846 / 180.0;
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
