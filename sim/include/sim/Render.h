#pragma once
// Deterministic scene renderers: scene parameters and a seed in, an 8-bit grey image out
// (one byte a pixel, rows top to bottom, fingertips up). No threads; the only state is a small
// process-wide cache of finger skin patterns (a pure function of their seed), guarded by a lock.
//
// A fingerprint frame is built in two stages, as an optical scanner forms it:
// - the scene gives every pixel a reflectance: 1 for clean glass, lower where dirt lies, low where
//   a ridge touches the glass and near 1 in the valleys between ridges;
// - the sensor turns reflectance into grey: the lamp, the exposure time and the gain set the
//   white level, the brightness and contrast registers act as a camera's offset and gain, the
//   optics darken the corners, and the result clips at 0 and 255 with sensor noise on top.

#include <array>
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

// The optical keystone of a scanner: the six geometry values of the model's distortion set and
// the input size they apply to. The renderer draws the scene through the inverse of the
// correction, so that the correction turns the frame back into an upright, evenly scaled image
// of outPpi (the flat result's resolution).
struct Keystone {
    bool on = false;
    double a = 0, b = 0, l = 0, e = 0, g = 0, k = 0;  // the six values, in the library's order
    double outPpi = 500;                              // resolution of the corrected image
    // The rendered image may be a part of the corrected frame or a reduced copy of it: pixel
    // (x, y) is frame pixel (offsetX + x * scale, offsetY + y * rowScale), rowScale 0 meaning
    // the same reduction down as across. frameWidth 0: the image is the frame.
    int frameWidth = 0, frameHeight = 0;
    double scale = 1, offsetX = 0, offsetY = 0;
    double rowScale = 0;
    bool operator==(const Keystone&) const = default;
};

// The empty platen as the sensor sees it.
struct PlatenParams {
    int width = 0;
    int height = 0;
    double ppiX = 500;
    double ppiY = 500;
    double exposure = 40;      // camera exposure register 0..255
    double base = 130;         // white level of clean glass at exposure 0, default brightness and contrast
    double gain = 2.5;         // white level per exposure step
    double brightness = 40;    // brightness register 0..255: an offset, neutral at 40
    double contrast = 0;       // contrast register 0..255: analogue gain 1 + contrast / 128
    double lamp = 1.0;         // lamp output: 1 new, lower when dimmed, 0 failed
    double driftPerMinute = 0; // relative change of the lamp output per minute since timeMs 0
    double timeMs = 0;         // time of the frame, for the drift
    double maxLevel = 255;     // the sensor clips here
    double vignetting = 0.08;  // relative loss of brightness in the corners
    double noise = 2.0;        // standard deviation of the sensor noise
    bool dirty = false;        // smudges, a latent print, scratches and dust left on the glass
    std::vector<int> defectRows;     // sensor rows that read darker than their neighbours
    std::vector<int> defectColumns;  // sensor columns that read darker than their neighbours
    Keystone keystone;
    bool operator==(const PlatenParams&) const = default;
};

// White level of clean glass at the platen centre for these parameters (may exceed 255: the
// sensor clips it).
double PlatenLevel(const PlatenParams& p);

// The grey level the sensor gives a reflectance at the platen centre, before clipping and noise.
double SensorLevel(const PlatenParams& p, double reflectance);

GreyImage RenderPlaten(const PlatenParams& p, uint32_t seed);

// Where the centre of image pixel (column, row) lies on the glass, in millimetres from the platen
// centre (y down), as the renderer draws it for these parameters (keystone included).
void PlatenPointMm(const PlatenParams& p, int column, int row, double* xMm, double* yMm);

enum class FingerLayout {
    None,
    LeftSlap,      // four fingers of the left hand, little finger leftmost
    RightSlap,     // four fingers of the right hand, index finger leftmost
    TwoThumbs,     // left thumb on the left, right thumb on the right
    SingleFinger,
    Roll,          // one finger rolled from nail side to nail side as rollPhase goes 0..1
    Custom,        // the contacts listed in FingerScene::contacts
};

// One fingertip contact placed by hand (FingerLayout::Custom).
struct ContactSpec {
    double xMm = 0, yMm = 0;  // centre, from the platen centre, y down
    double a = 7.5, b = 11.5; // semi-axes across and along the finger, mm
    double angleDeg = 0;      // positive turns the tip to the right
    int isoFinger = 0;
    bool operator==(const ContactSpec&) const = default;
};

enum class SkinType { Normal, Dry, Wet };
enum class FingerGap { Separate, Close, Touching };
enum class PatternClass { Arch, TentedArch, LeftLoop, RightLoop, Whorl };

// How a roll goes wrong, if it does.
enum class RollFault {
    None,
    Back,    // the finger rolls back over what it already printed in the second half
    Slide,   // the skin slides over the glass in the second half instead of rolling
    Narrow,  // the finger rolls only a third of the way
};

struct FingerScene {
    PlatenParams platen;
    FingerLayout layout = FingerLayout::None;
    double offsetXmm = 0;   // shift of the whole hand on the platen
    double offsetYmm = 0;
    double pressure = 1.0;  // 0.5 light .. 1.5 hard: contact size, ridge width and darkness
    double rollPhase = 0;   // 0..1 during a roll
    double ridgePeriodMm = 0.48;
    double rotationDeg = 0;      // the hand turned about its centre, positive clockwise
    FingerGap gap = FingerGap::Separate;
    unsigned fingerMask = 0xF;   // fingers present, bit k = k-th finger from the left
    SkinType skin = SkinType::Normal;
    double landing = 1.0;        // 0..1: how far the hand has come down (contact grows)
    double phalanx = 0;          // 0..1: how firmly the second phalanges touch the glass
    RollFault rollFault = RollFault::None;
    double jitterXmm = 0, jitterYmm = 0;  // small tremor of a held hand
    std::vector<ContactSpec> contacts;    // FingerLayout::Custom
    bool operator==(const FingerScene&) const = default;
};

// What the renderer drew, for tests to compare the algorithms against.
struct FingerTruth {
    int isoFinger = 0;           // 1 right thumb .. 10 left little
    PatternClass pattern = PatternClass::Arch;
    double centreX = 0, centreY = 0;  // centre of the fingertip contact, pixels
    int left = 0, top = 0, right = 0, bottom = 0;  // box of the fingertip contact, pixels (inclusive)
    double angleDeg = 0;         // finger axis from upright, positive clockwise
    double areaPx = 0;           // fingertip contact area, pixels
    int minutiae = 0;            // ridge endings and bifurcations inside the fingertip contact
    bool phalanx = false;        // the second phalanx touches too
};

struct SceneTruth {
    std::vector<FingerTruth> fingers;  // left to right as they lie on the platen
    double ridgePeriodPxX = 0;         // nominal ridge period in pixels across and down the image
    double ridgePeriodPxY = 0;
    double rollPrintWidthMm = 0;       // a roll: the width of skin rolled over so far
};

GreyImage RenderFingers(const FingerScene& scene, uint32_t seed);
GreyImage RenderFingers(const FingerScene& scene, uint32_t seed, SceneTruth* truth);

// Adds Gaussian-like sensor noise of standard deviation sigma, clamped to 0..255.
void AddNoise(GreyImage& image, double sigma, uint32_t seed);

// Coordinate-encoded test pattern: every pixel tells its position and the frame number, so a
// transposed, mirrored, shifted or out-of-order frame is caught.
uint8_t TestPatternValue(int x, int y, uint32_t frame);
GreyImage RenderTestPattern(int width, int height, uint32_t frame);
// The frame number (mod 256) a pattern pixel at (x, y) was rendered for.
uint32_t TestPatternFrame(uint8_t value, int x, int y);

}  // namespace sim
