// Time to segment one rendered 1600 x 1500 flat image (four fingers or two thumbs), and to cut the
// upright crops of a hand.
#include <benchmark/benchmark.h>

#include <vector>

#include "OfflineSegmentation.h"
#include "sim/Render.h"

namespace {

constexpr int kLines = 1600, kLength = 1500;

std::vector<uint8_t> RenderFlat(sim::FingerLayout layout) {
  sim::FingerScene scene;
  scene.platen.width = kLength;  // image columns: across the fingers
  scene.platen.height = kLines;  // image rows: along the fingers
  scene.layout = layout;
  return sim::RenderFingers(scene, 7).pixels;
}

void SegmentFlat(benchmark::State& state) {
  const int position = static_cast<int>(state.range(0));
  const int mask = static_cast<int>(state.range(1));
  const std::vector<uint8_t> img =
      RenderFlat(position == 15 ? sim::FingerLayout::TwoThumbs
                                : (position == 14 ? sim::FingerLayout::LeftSlap : sim::FingerLayout::RightSlap));
  FingerInfo fingers[4];
  char err[128];
  int found = 0;
  for (auto _ : state) {
    found = SegmentFingerImage(img.data(), kLines, kLength, position, 0, 0, kLines, kLength, 0, mask, fingers, err,
                               sizeof err);
    benchmark::DoNotOptimize(fingers);
  }
  state.counters["fingers"] = found;
}
// Right hand, left hand, hand of unknown side, both thumbs.
BENCHMARK(SegmentFlat)->Args({13, 15})->Args({14, 15})->Args({0, 15})->Args({15, 3})->Unit(benchmark::kMillisecond);

void ExtractCrops(benchmark::State& state) {
  const std::vector<uint8_t> img = RenderFlat(sim::FingerLayout::RightSlap);
  std::vector<std::vector<uint8_t>> crops(4, std::vector<uint8_t>(600 * 500));
  uint8_t* out[4] = {crops[0].data(), crops[1].data(), crops[2].data(), crops[3].data()};
  char err[128];
  const int locate = static_cast<int>(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        ExtractFingerImages(img.data(), kLines, kLength, 600, 500, 13, 0, 1, locate, out, err, sizeof err));
  }
}
BENCHMARK(ExtractCrops)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
