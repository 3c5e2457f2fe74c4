#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "SlapSegmentation.h"
#include "SyntheticHand.h"

namespace {

struct SegRun {
  int result = 0;
  FingerInfo fingers[4] = {};
  SegmentParams params = {3, 180, 0, 0, 0, 0, 0};
  char err[64] = {};
};

SegRun Segment(const synth::Image& img, int ppi, int position, int mask, int stage = 3) {
  SegRun run;
  run.params.Stage = stage;
  run.result = FlatSegmentLite(img.pixels.data(), img.lineCount, img.lineLength, ppi, position, mask, run.fingers,
                               &run.params, run.err, sizeof run.err);
  return run;
}

void Dump(const SegRun& r) {
  std::printf("result %d params %d %d %d %d %d %d %d err '%s'\n", r.result, r.params.Stage, r.params.DarkThreshold,
              r.params.MinDarkPercent, r.params.SampleLines, r.params.Presence, r.params.DarkPercent,
              r.params.Threshold, r.err);
  for (const FingerInfo& f : r.fingers)
    std::printf("  X %d Y %d M %d Q %d H %d W %d F %d\n", f.X, f.Y, f.Measure, f.Qty, f.Height, f.Width, f.Finger);
}

TEST(SlapSegmentationProbe, RightHand) {
  synth::Scene scene;
  scene.contacts = synth::FourFingers(true);
  for (int ppi : {250, 500}) {
    SegRun r = Segment(synth::Render(scene, ppi), ppi, 13, 0xF);
    Dump(r);
  }
}

}  // namespace
