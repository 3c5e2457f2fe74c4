#pragma once
// Shared helpers of the live-scan algorithm tests: images, a synthetic platen and a scratch folder.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "LiveScanAlg.h"

namespace livescan_test {

struct Image {
  int height = 0;
  int width = 0;
  std::vector<unsigned char> pixels;

  Image() = default;
  Image(int h, int w, unsigned char value = 0)
      : height(h), width(w), pixels(static_cast<std::size_t>(h) * static_cast<std::size_t>(w), value) {}
  unsigned char& at(int y, int x) { return pixels[static_cast<std::size_t>(y) * width + x]; }
  unsigned char at(int y, int x) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
  unsigned char* data() { return pixels.data(); }
};

// Small deterministic generator (no dependency on the standard engines' distributions).
class Noise {
 public:
  explicit Noise(uint32_t seed) : state_(seed ? seed : 1) {}
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  int Uniform(int lo, int hi) { return lo + static_cast<int>(Next() % static_cast<uint32_t>(hi - lo + 1)); }

 private:
  uint32_t state_;
};

// Ridge texture: grey level of a ridge pattern with the given period, between dark and light.
inline unsigned char Ridge(int y, int x, double period, int dark, int light) {
  const double phase = std::sin(2.0 * 3.14159265358979 * (x * 0.8 + y * 0.6) / period);
  return static_cast<unsigned char>(dark + (light - dark) * (phase * 0.5 + 0.5));
}

inline Image TexturedImage(int h, int w, int dark = 40, int light = 200) {
  Image img(h, w);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.at(y, x) = Ridge(y, x, 9.0, dark, light);
  return img;
}

// A synthetic platen: an uneven bright background (vignetting and mild noise) and, when asked,
// a finger: an ellipse of ridge texture that darkens the background.
struct Platen {
  Image background;
  Image frame;
  int centreX = 0, centreY = 0, radiusX = 0, radiusY = 0;

  bool InFinger(int y, int x) const {
    const double dx = static_cast<double>(x - centreX) / radiusX;
    const double dy = static_cast<double>(y - centreY) / radiusY;
    return dx * dx + dy * dy <= 1.0;
  }
};

inline Platen MakePlaten(int h, int w, bool finger, uint32_t seed = 7) {
  Platen p;
  p.background = Image(h, w);
  p.frame = Image(h, w);
  p.centreX = w / 2;
  p.centreY = h / 2;
  p.radiusX = w / 5;
  p.radiusY = h / 3;
  Noise noise(seed);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double dx = static_cast<double>(x - w / 2) / w;
      const double dy = static_cast<double>(y - h / 2) / h;
      const int level = static_cast<int>(225.0 - 60.0 * (dx * dx + dy * dy));
      p.background.at(y, x) = static_cast<unsigned char>(level);
      int f = level + noise.Uniform(-2, 2);
      if (finger && p.InFinger(y, x)) {
        // Ridges take the light away: 25 % to 80 % of the background level.
        const double darkness = Ridge(y, x, 9.0, 25, 80) / 100.0;
        f = static_cast<int>(level * darkness);
      }
      p.frame.at(y, x) = static_cast<unsigned char>(std::clamp(f, 0, 255));
    }
  }
  return p;
}

// A fresh folder under the system's temporary directory, removed at the end of the test.
class ScratchFolder {
 public:
  ScratchFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("mosaic_") + info->test_suite_name() + "_" + info->name() +
                       "_" + std::to_string(::getpid());
    std::replace(name.begin(), name.end(), '/', '_');
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Every test starts from a fresh parameter block with its defaults.
class FreshBlock : public ::testing::Test {
 protected:
  void SetUp() override { LiveScanAlg::DestroyLiveScanParameter(); }
  void TearDown() override { LiveScanAlg::DestroyLiveScanParameter(); }
};

}  // namespace livescan_test
