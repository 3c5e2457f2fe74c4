#pragma once
// Synthetic rolled-finger frames for the mosaic tests: a ridge field fixed in platen coordinates,
// seen through a rectangular contact patch that moves across the platen.
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "LiveScanAlg.h"

namespace mosaic_test {

using Image = std::vector<unsigned char>;

constexpr unsigned char kBackground = 235;

// Grey value of the platen's ridge field at (x, y): 40..140, diagonal ridges about 9 pixels apart.
// `phase` shifts the field along the ridge normal (a slid finger shows a shifted field).
inline unsigned char Ridge(int x, int y, double phase = 0.0)
{
    const double v = 90.0 + 50.0 * std::sin(2.0 * std::numbers::pi * ((0.6 * x + 0.8 * y) / 9.0) + phase);
    return static_cast<unsigned char>(std::lround(v));
}

struct Contact {
    int CentreX;     // patch columns [CentreX - HalfWidth, CentreX + HalfWidth)
    int HalfWidth;
    int Top;         // patch rows [Top, Bottom)
    int Bottom;
    double Phase = 0.0;
};

inline bool Inside(const Contact& c, int x, int y)
{
    return x >= c.CentreX - c.HalfWidth && x < c.CentreX + c.HalfWidth && y >= c.Top &&
           y < c.Bottom;
}

// One live frame: background with the ridge field inside the contact patch.
inline Image RenderFrame(int height, int width, const Contact& contact)
{
    Image frame(static_cast<size_t>(height) * width, kBackground);
    for (int y = contact.Top; y < contact.Bottom; ++y) {
        for (int x = contact.CentreX - contact.HalfWidth; x < contact.CentreX + contact.HalfWidth;
             ++x) {
            if (x < 0 || x >= width || y < 0 || y >= height) continue;
            frame[static_cast<size_t>(y) * width + x] = Ridge(x, y, contact.Phase);
        }
    }
    return frame;
}

// What a caller does before each kernel call: the finger test, which leaves the frame histogram in
// the parameter block.
inline void RunFingerTest(int height, int width, Image& frame)
{
    int on = 0;
    float variance = 0;
    LiveScanAlg::IsFingerON(height, width, frame.data(), 0, &on, &variance);
}

// Buffers of one mosaic sequence.
struct MosaicBuffers {
    MosaicBuffers(int height, int width, size_t maskBytes, size_t coverageBytes)
        : mask(maskBytes, 0), mosaic(static_cast<size_t>(height) * width, 0),
          coverage(coverageBytes, 0)
    {
    }
    Image mask;
    Image mosaic;
    Image coverage;
};

}  // namespace mosaic_test
