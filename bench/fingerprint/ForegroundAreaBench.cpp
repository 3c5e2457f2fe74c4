// Time of the finger foreground area and of the finger regions on one rendered 1600 x 1500 slap,
// and of a ridge count along a 300-pixel line.
#include <benchmark/benchmark.h>

#include <vector>

#include "CropWindow.h"
#include "ForegroundArea.h"
#include "sim/Render.h"

namespace {

constexpr int kRows = 1600, kColumns = 1500;

std::vector<uint8_t> RenderSlap() {
  sim::FingerScene scene;
  scene.platen.width = kColumns;
  scene.platen.height = kRows;
  scene.layout = sim::FingerLayout::RightSlap;
  return sim::RenderFingers(scene, 7).pixels;
}

void ForegroundArea(benchmark::State& state) {
  const std::vector<uint8_t> img = RenderSlap();
  std::vector<uint8_t> work(img.size());
  int top = 0, left = 0, h = 0, w = 0, low = 0, high = 0;
  for (auto _ : state) {
    FindForegroundArea(img.data(), kRows, kColumns, work.data(), &top, &left, &h, &w, &low, &high);
    benchmark::DoNotOptimize(work.data());
  }
}
BENCHMARK(ForegroundArea)->Unit(benchmark::kMillisecond);

void FingerRegions(benchmark::State& state) {
  const std::vector<uint8_t> img = RenderSlap();
  std::vector<uint8_t> work(img.size());
  MainFingerRegion first;
  FingerRegion second;
  for (auto _ : state) benchmark::DoNotOptimize(FindFingerRegions(img.data(), kRows, kColumns, work.data(), &first, &second));
}
BENCHMARK(FingerRegions)->Unit(benchmark::kMillisecond);

void RidgeCount(benchmark::State& state) {
  const std::vector<uint8_t> img = RenderSlap();
  const int16_t size[2] = {kColumns, kRows};
  std::vector<int> columns(1000), rows(1000), flags(1000), directions(1000);
  int points = 0;
  for (auto _ : state) {
    columns[0] = 300, rows[0] = 800, columns[1] = 600, rows[1] = 800;
    benchmark::DoNotOptimize(
        LineRidgeCount(img.data(), size, columns.data(), rows.data(), flags.data(), directions.data(), &points));
  }
}
BENCHMARK(RidgeCount)->Unit(benchmark::kMicrosecond);

}  // namespace
