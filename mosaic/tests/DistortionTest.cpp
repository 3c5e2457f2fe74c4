// Optical distortion correction: geometry, kernel, the fixed-point, float and table-driven forms,
// the handle, the row-range form, the map cache, the window form and the Finch warp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "../src/Distortion.h"
#include "KeystoneReference.h"
#include "LiveScanAlg.h"

namespace LiveScanAlg {
namespace {

DistortionCorrectionRecord MakeRecord(int width, int height, const int (&set)[6]) {
  DistortionCorrectionRecord r{};
  r.Height = height;
  r.Width = width;
  r.A = set[0];
  r.B = set[1];
  r.L = set[2];
  r.E = set[3];
  r.G = set[4];
  r.K = set[5];
  return r;
}

// Deterministic texture: neighbouring pixels are unrelated, so a crop matches in one place only.
std::vector<uint8_t> Texture(int width, int height, uint32_t seed = 1) {
  std::vector<uint8_t> image(static_cast<size_t>(width) * height);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& p : image) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    p = static_cast<uint8_t>(x >> 24);
  }
  return image;
}

// Smooth picture for comparing the forms, whose sample positions agree but whose weights are
// quantised differently.
std::vector<uint8_t> Smooth(int width, int height) {
  std::vector<uint8_t> image(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      image[static_cast<size_t>(y) * width + x] =
          static_cast<uint8_t>(128 + 100 * std::sin(x / 37.0) * std::cos(y / 23.0));
    }
  }
  return image;
}

constexpr int kLinnet[6] = {700, 836, 752, 0, 480, 320};

struct GoldenCase {
  const char* name;
  int width, height;
  int set[6];
  int outWidth, outHeight;        // corrected size
  int resultWidth, resultHeight;  // what the scanner copies out of it
};

TEST(DistortionGeometry, ModelSetsGiveTheirCorrectedSizes) {
  const GoldenCase cases[] = {
      {"PloverA full", 2944, 1840, {701, 678, 496, 614, 404, 404}, 1622, 1508, 1600, 1500},
      {"PloverC full", 4512, 2912, {863, 838, 627, 320, 500, 497}, 2553, 2516, 2552, 2500},
      {"LinnetA, A < B", 860, 768, {700, 836, 752, 0, 480, 320}, 320, 481, 320, 480},
      {"flat set", 1504, 1456, {287, 279, 314, 161, 251, 249}, 1278, 1252, 1276, 1250},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DistortionCorrectionRecord r = MakeRecord(c.width, c.height, c.set);
    EXPECT_EQ(TDistortionCorrectInt(nullptr, nullptr, &r), kDistortionSizeQuery);
    EXPECT_EQ(r.OutputWidth, c.outWidth);
    EXPECT_EQ(r.OutputHeight, c.outHeight);
    EXPECT_EQ(r.WorkBufferSize, c.height * c.outWidth);
    EXPECT_GE(r.OutputWidth, c.resultWidth);
    EXPECT_GE(r.OutputHeight, c.resultHeight);
  }
}

TEST(DistortionGeometry, RefusesOutputsLargerThanTheInputAndDegenerateSets) {
  const int tooWide[6] = {700, 836, 752, 0, 480, 3200};
  const int sameWidths[6] = {700, 700, 752, 0, 480, 320};
  const int noLength[6] = {700, 836, 0, 0, 480, 320};
  DistortionCorrectionRecord r = MakeRecord(860, 768, tooWide);
  std::vector<uint8_t> image(860 * 768, 7), work(8 << 20);
  r.WorkBufferSize = static_cast<int32_t>(work.size());
  EXPECT_EQ(TDistortionCorrectInt(image.data(), work.data(), &r), kDistortionOutputTooLarge);
  EXPECT_GT(int64_t{r.OutputWidth} * r.OutputHeight, int64_t{860} * 768);
  EXPECT_TRUE(std::all_of(image.begin(), image.end(), [](uint8_t v) { return v == 7; }));
  for (const auto* set : {&sameWidths, &noLength}) {
    DistortionCorrectionRecord bad = MakeRecord(860, 768, *set);
    bad.WorkBufferSize = static_cast<int32_t>(work.size());
    EXPECT_EQ(TDistortionCorrectInt(image.data(), work.data(), &bad), kDistortionOutputTooLarge);
    EXPECT_EQ(TDistortionCorrectFloat(image.data(), work.data(), &bad), kDistortionOutputTooLarge);
    EXPECT_EQ(CalibrateOpticalDistortion1(image.data(), &bad), 0);
    EXPECT_EQ(distortion::CachedMapKey(0), nullptr);
  }
  EXPECT_EQ(TDistortionCorrectInt(image.data(), work.data(), nullptr), kDistortionNoRecord);
}

TEST(DistortionKernel, PhasesSumToOneAndMatchTheCubicKernel) {
  const auto& table = distortion::KernelTable();
  for (int p = 0; p < 64; ++p) {
    EXPECT_EQ(table[p][0] + table[p][1] + table[p][2] + table[p][3], 16384) << "phase " << p;
  }
  const int16_t expected[3][4] = {{16384, 0, 0, 0}, {14592, 4864, -2304, -768},
                                  {10240, 10240, -2048, -2048}};
  const int phases[3] = {0, 16, 32};
  for (int i = 0; i < 3; ++i) {
    for (int k = 0; k < 4; ++k) EXPECT_EQ(table[phases[i]][k], expected[i][k]) << phases[i];
  }
}

// Both fixed-point passes against a plain per-pixel form that clamps every tap, on output widths
// that do and do not fill whole groups of eight columns, so that the first and last columns (taps
// beyond the row or image) and the leftover columns count as much as the inside.
TEST(DistortionFixedPasses, EqualThePlainFourTapFormInEveryColumn) {
  const auto& kernel = distortion::KernelTable();
  auto tap = [](int64_t i, int last) { return distortion::ClampIndex(i, 0, last); };
  int partialGroups = 0;
  for (int width = 860; width < 900; width += 5) {
    SCOPED_TRACE(width);
    DistortionCorrectionRecord r = MakeRecord(width, 768, kLinnet);
    distortion::Geometry g;
    ASSERT_EQ(distortion::ComputeGeometry(r, g), 0);
    partialGroups += g.OutW % 8 != 0;
    const std::vector<uint8_t> image = Texture(width, 768, 7);
    std::vector<uint8_t> work(static_cast<size_t>(g.H) * g.OutW), expected(work.size());
    distortion::FixedFirstPass(g, image.data(), work.data(), 0, g.H);
    float S = g.m * 65536.0f / g.K;
    for (int row = 0; row < g.H; ++row, S -= g.s * 65536.0f / g.K) {
      const int64_t inc = static_cast<int64_t>(S + 0.5f);
      const int64_t X0 = static_cast<int64_t>((static_cast<float>(g.W) * 65536.0f - static_cast<float>(g.OutW) * S) * 0.5f + 0.5f);
      const uint8_t* p = image.data() + static_cast<size_t>(row) * g.W;
      for (int i = 0; i < g.OutW; ++i) {
        const int64_t X = X0 + i * inc, x = X >> 16;
        const int16_t* w = kernel[(X >> 10) & 63];
        const int64_t sum = w[0] * p[tap(x, g.W - 1)] + w[1] * p[tap(x + 1, g.W - 1)] +
                            w[2] * p[tap(x - 1, g.W - 1)] + w[3] * p[tap(x + 2, g.W - 1)] + 8192;
        expected[static_cast<size_t>(row) * g.OutW + i] = distortion::ClampPixel(sum >> 14);
      }
    }
    ASSERT_EQ(work, expected) << "first pass";
    std::vector<uint8_t> out(static_cast<size_t>(g.OutH) * g.OutW), plain(out.size());
    distortion::FixedSecondPass(g, work.data(), out.data(), 0, g.OutH);
    for (int j = 0; j < g.OutH; ++j) {
      const int32_t Y = distortion::SecondPassPosition(g, j);
      const int y = Y >> 8;
      const int16_t* w = kernel[(Y >> 2) & 63];
      for (int c = 0; c < g.OutW; ++c) {
        auto at = [&](int64_t rowIndex) { return work[static_cast<size_t>(tap(rowIndex, g.H - 1)) * g.OutW + c]; };
        const int32_t sum = w[0] * at(y) + w[1] * at(y + 1) + w[2] * at(y - 1) + w[3] * at(y + 2) + 8192;
        plain[static_cast<size_t>(j) * g.OutW + c] = distortion::ClampPixel(sum >> 14);
      }
    }
    EXPECT_EQ(out, plain) << "second pass";
  }
  EXPECT_GT(partialGroups, 0);
}

TEST(DistortionCorrectInt, SizeQueryTouchesNoPixelAndTooSmallBufferIsRefused) {
  DistortionCorrectionRecord r = MakeRecord(860, 768, kLinnet);
  std::vector<uint8_t> image = Texture(860, 768), original = image;
  EXPECT_EQ(TDistortionCorrectInt(image.data(), nullptr, &r), kDistortionSizeQuery);
  EXPECT_EQ(r.WorkBufferSize, 768 * 320);
  EXPECT_EQ(image, original);

  std::vector<uint8_t> work(768 * 320);
  r.WorkBufferSize = 768 * 320 - 1;
  EXPECT_EQ(TDistortionCorrectInt(image.data(), work.data(), &r), kDistortionBufferTooSmall);
  EXPECT_EQ(image, original);
  r.WorkBufferSize = 768 * 320;
  EXPECT_EQ(TDistortionCorrectInt(image.data(), work.data(), &r), 0);
  EXPECT_NE(image, original);
}

TEST(DistortionCorrectInt, ConstantImageStaysConstantAndStepsAreClampedNotWrapped) {
  DistortionCorrectionRecord r = MakeRecord(860, 768, kLinnet);
  std::vector<uint8_t> work(768 * 320);
  r.WorkBufferSize = static_cast<int32_t>(work.size());

  std::vector<uint8_t> flat(860 * 768, 173);
  ASSERT_EQ(TDistortionCorrectInt(flat.data(), work.data(), &r), 0);
  for (int i = 0; i < r.OutputHeight * r.OutputWidth; ++i) ASSERT_EQ(flat[i], 173) << i;

  // Black above row 400, white below: the kernel's lobes overshoot on both sides of the step,
  // and clamping keeps every output column monotonic.
  for (auto form : {TDistortionCorrectInt, TDistortionCorrectFloat}) {
    std::vector<uint8_t> step(860 * 768);
    for (int y = 0; y < 768; ++y) std::fill_n(step.begin() + y * 860, 860, y < 400 ? 0 : 255);
    ASSERT_EQ(form(step.data(), work.data(), &r), 0);
    for (int c = 0; c < r.OutputWidth; ++c) {
      for (int j = 1; j < r.OutputHeight; ++j) {
        ASSERT_LE(step[(j - 1) * 320 + c], step[j * 320 + c]) << "row " << j << " column " << c;
      }
      EXPECT_EQ(step[c], 0);
      EXPECT_EQ(step[(r.OutputHeight - 1) * 320 + c], 255);
    }
  }
}

TEST(DistortionForms, FixedFloatAndTableDrivenFormsAgree) {
  DistortionCorrectionRecord r = MakeRecord(860, 768, kLinnet);
  const std::vector<uint8_t> source = Smooth(860, 768);
  std::vector<uint8_t> work(768 * 320);
  r.WorkBufferSize = static_cast<int32_t>(work.size());
  std::vector<uint8_t> fixed = source, floating = source, table = source;
  ASSERT_EQ(TDistortionCorrectInt(fixed.data(), work.data(), &r), 0);
  ASSERT_EQ(TDistortionCorrectFloat(floating.data(), work.data(), &r), 0);
  DistortionCorrectionRecord t = MakeRecord(860, 768, kLinnet);
  ASSERT_EQ(CalibrateOpticalDistortion1(table.data(), &t), 0);
  EXPECT_EQ(t.OutputWidth, 320);
  EXPECT_EQ(t.OutputHeight, 481);
  int worstFloat = 0, worstTable = 0;
  for (int i = 0; i < 320 * 481; ++i) {
    worstFloat = std::max(worstFloat, std::abs(fixed[i] - floating[i]));
    worstTable = std::max(worstTable, std::abs(fixed[i] - table[i]));
  }
  EXPECT_LE(worstFloat, 2);
  EXPECT_LE(worstTable, 2);
  ReleaseDistortionMaps();
}

// The whole correction through the exported entry, work buffer and image, against the plain
// reference on a fixed frame: the PloverA preview (the halved frame with the flat set), the PloverA
// full frame, LinnetA (rows widening downwards), and two sets that stretch rows three- and
// eightfold, so that the outputs near the ends of each row take taps beyond it.
TEST(DistortionCorrectInt, EqualsThePlainReferenceOnModelFrames) {
  struct Case {
    const char* name;
    int width, height;
    int set[6];
  } cases[] = {
      {"PloverA preview", 1472, 920, {351, 340, 249, 308, 203, 203}},
      {"PloverA full", 2944, 1840, {701, 678, 496, 614, 404, 404}},
      {"LinnetA", 860, 768, {700, 836, 752, 0, 480, 320}},
      {"stretching eightfold", 300, 200, {100, 120, 150, 0, 20, 800}},
      {"stretching threefold", 300, 200, {100, 120, 150, 0, 20, 400}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> source = Texture(c.width, c.height, 11);
    const keystonereference::Corrected expected = keystonereference::Correct(source, c.width, c.height, c.set);
    DistortionCorrectionRecord r = MakeRecord(c.width, c.height, c.set);
    ASSERT_EQ(TDistortionCorrectInt(nullptr, nullptr, &r), kDistortionSizeQuery);
    ASSERT_EQ(r.OutputWidth, expected.width);
    ASSERT_EQ(r.OutputHeight, expected.height);
    std::vector<uint8_t> image = source, work(static_cast<size_t>(r.WorkBufferSize));
    ASSERT_EQ(TDistortionCorrectInt(image.data(), work.data(), &r), 0);
    EXPECT_TRUE(work == expected.horizontal) << "horizontal pass";
    EXPECT_TRUE(std::equal(expected.pixels.begin(), expected.pixels.end(), image.begin())) << "image";
  }
}

// The horizontal pass on rows whose outputs reach past both ends by amounts that change from row
// to row: the outputs that take taps beyond the row, the first and last ones that do not, and the
// leftover outputs between them are all compared with the plain form.
TEST(DistortionFixedPasses, FirstPassRowEndsEqualThePlainForm) {
  struct Case {
    const char* name;
    int width, outWidth;
    float m, s;  // step m at row 0, growing by -s per row (K = 1)
  } cases[] = {
      {"half-pixel steps, wider than the row", 300, 700, 0.5f, -0.01f},
      {"steps from 1.1 to 1.5", 300, 250, 1.1f, -0.00625f},
      {"steps from 3 down to 1", 97, 60, 3.0f, 0.03125f},
      // A step growing fast enough that a per-row step off by a few parts per million already
      // changes the single-precision sum.
      {"steps from 0.5 to 3.7", 300, 300, 0.5f, -0.05f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int H = 64;
    distortion::Geometry g;
    g.W = c.width, g.H = H, g.OutW = c.outWidth, g.m = c.m, g.s = c.s, g.K = 1.0f;
    const std::vector<uint8_t> image = Texture(c.width, H, 3);
    std::vector<uint8_t> work(static_cast<size_t>(H) * c.outWidth);
    distortion::FixedFirstPass(g, image.data(), work.data(), 0, H);
    EXPECT_TRUE(work == keystonereference::Horizontal(image, c.width, H, c.outWidth, c.m, c.s, 1.0f));
  }
}

TEST(DistortionCorrectInt, FirstPassStepsAccumulateRowByRow) {
  // PloverA's full frame: a step computed per row in closed form drifts from the accumulated one
  // in most rows; the work buffer holds the first pass and must match it exactly.
  const int W = 2944, H = 1840;
  DistortionCorrectionRecord r = MakeRecord(W, H, {701, 678, 496, 614, 404, 404});
  const std::vector<uint8_t> source = Texture(W, H, 7);
  std::vector<uint8_t> image = source, work(static_cast<size_t>(H) * 1622);
  r.WorkBufferSize = static_cast<int32_t>(work.size());
  ASSERT_EQ(TDistortionCorrectInt(image.data(), work.data(), &r), 0);
  ASSERT_EQ(r.OutputWidth, 1622);
  const std::vector<uint8_t> expected =
      keystonereference::Correct(source, W, H, {701, 678, 496, 614, 404, 404}).horizontal;
  int rowsDiffering = 0;
  for (int row = 0; row < H; ++row) {
    rowsDiffering += !std::equal(work.begin() + row * 1622, work.begin() + (row + 1) * 1622,
                                 expected.begin() + row * 1622);
  }
  EXPECT_EQ(rowsDiffering, 0);

  // The row-range form replays the subtractions above its first row: a range starting anywhere
  // writes the same rows.
  DistortionCorrectionHandle* handle = TDistortionCorrectInit();
  DistortionCorrectionRecord rm = MakeRecord(W, H, {701, 678, 496, 614, 404, 404});
  ASSERT_EQ(TDistortionCorrectInitMt(handle, &rm), 0);
  image = source;
  for (auto [first, end] : {std::pair{1377, 1840}, std::pair{0, 1}, std::pair{1, 700}, std::pair{700, 1377}}) {
    ASSERT_EQ(TDistortionCorrectStep1Mt(handle, image.data(), first, end, &rm), 0);
  }
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), handle->Buffer));
  TDistortionCorrectRelease(&handle);
}

TEST(DistortionHandle, ExAllocatesOnceAndMatchesTheIntForm) {
  DistortionCorrectionHandle* handle = TDistortionCorrectInit();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->Buffer, nullptr);
  EXPECT_EQ(handle->Size, 0);

  DistortionCorrectionRecord r = MakeRecord(860, 768, kLinnet);
  r.WorkBufferSize = 12345;  // the Ex form neither reads nor writes the caller's entry 10
  std::vector<uint8_t> viaEx = Texture(860, 768), viaInt = viaEx;
  ASSERT_EQ(TDistortionCorrectEx(handle, viaEx.data(), &r), 0);
  EXPECT_EQ(handle->Size, 768 * 320);
  EXPECT_EQ(r.OutputHeight, 481);
  EXPECT_EQ(r.OutputWidth, 320);
  EXPECT_EQ(r.WorkBufferSize, 12345);

  std::vector<uint8_t> work(768 * 320);
  DistortionCorrectionRecord ri = MakeRecord(860, 768, kLinnet);
  ri.WorkBufferSize = static_cast<int32_t>(work.size());
  ASSERT_EQ(TDistortionCorrectInt(viaInt.data(), work.data(), &ri), 0);
  EXPECT_TRUE(std::equal(viaInt.begin(), viaInt.begin() + 481 * 320, viaEx.begin()));

  uint8_t* const buffer = handle->Buffer;
  std::vector<uint8_t> again = Texture(860, 768, 2);
  ASSERT_EQ(TDistortionCorrectEx(handle, again.data(), &r), 0);
  EXPECT_EQ(handle->Buffer, buffer);
  EXPECT_EQ(handle->Size, 768 * 320);

  // A smaller geometry keeps the larger buffer.
  DistortionCorrectionRecord small = MakeRecord(430, 384, {350, 418, 376, 0, 240, 160});
  std::vector<uint8_t> smallImage = Texture(430, 384);
  ASSERT_EQ(TDistortionCorrectEx(handle, smallImage.data(), &small), 0);
  EXPECT_EQ(handle->Buffer, buffer);

  EXPECT_EQ(TDistortionCorrectEx(nullptr, again.data(), &r), kDistortionNoRecord);
  EXPECT_EQ(TDistortionCorrectEx(handle, again.data(), nullptr), kDistortionNoRecord);

  TDistortionCorrectRelease(&handle);
  EXPECT_EQ(handle, nullptr);
  TDistortionCorrectRelease(&handle);  // a second release is harmless
  TDistortionCorrectRelease(nullptr);
}

TEST(DistortionRowRanges, SplitPassesEqualTheWholeCorrection) {
  DistortionCorrectionRecord r = MakeRecord(860, 768, kLinnet);
  std::vector<uint8_t> whole = Texture(860, 768), split = whole;
  std::vector<uint8_t> work(768 * 320);
  DistortionCorrectionRecord ri = r;
  ri.WorkBufferSize = static_cast<int32_t>(work.size());
  ASSERT_EQ(TDistortionCorrectInt(whole.data(), work.data(), &ri), 0);

  DistortionCorrectionHandle* handle = TDistortionCorrectInit();
  EXPECT_EQ(TDistortionCorrectStep1Mt(handle, split.data(), 0, 10, &r), kDistortionSizeQuery);
  ASSERT_EQ(TDistortionCorrectInitMt(handle, &r), 0);
  EXPECT_EQ(r.OutputHeight, 481);
  EXPECT_EQ(r.OutputWidth, 320);
  EXPECT_EQ(handle->Size, 768 * 320);
  ASSERT_EQ(TDistortionCorrectStep1Mt(handle, split.data(), 0, 300, &r), 0);
  ASSERT_EQ(TDistortionCorrectStep1Mt(handle, split.data(), 300, 768, &r), 0);
  ASSERT_EQ(TDistortionCorrectStep2Mt(handle, split.data(), 200, 481, &r), 0);
  ASSERT_EQ(TDistortionCorrectStep2Mt(handle, split.data(), 0, 200, &r), 0);
  EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + 481 * 320, split.begin()));

  struct Range {
    int first, end, step, expected;
  } ranges[] = {{-1, 10, 1, -2}, {10, 5, 1, -2}, {0, 769, 1, -2}, {0, 768, 1, 0},
                {0, 482, 2, -2}, {0, 481, 2, 0}};
  for (const auto& range : ranges) {
    auto step = range.step == 1 ? TDistortionCorrectStep1Mt : TDistortionCorrectStep2Mt;
    EXPECT_EQ(step(handle, split.data(), range.first, range.end, &r), range.expected)
        << range.step << ": " << range.first << ".." << range.end;
  }
  EXPECT_EQ(TDistortionCorrectStep2Mt(handle, nullptr, 0, 1, &r), kDistortionSizeQuery);
  EXPECT_EQ(TDistortionCorrectStep2Mt(handle, split.data(), 0, 1, nullptr), kDistortionNoRecord);
  EXPECT_EQ(TDistortionCorrectInitMt(nullptr, &r), kDistortionNoRecord);

  // A buffer smaller than H x output width is refused without writing.
  DistortionCorrectionHandle tiny{static_cast<uint8_t*>(std::malloc(16)), 16};
  EXPECT_EQ(TDistortionCorrectStep1Mt(&tiny, split.data(), 0, 768, &r), kDistortionBufferTooSmall);
  std::free(tiny.Buffer);
  TDistortionCorrectRelease(&handle);
}

TEST(DistortionMapCache, KeepsTwoMapsKeyedByTheWholeGeometry) {
  const int set[6] = {350, 418, 376, 0, 240, 160};
  const int heights[3] = {384, 380, 376};
  for (int h : heights) {
    std::vector<uint8_t> image = Texture(430, h);
    DistortionCorrectionRecord r = MakeRecord(430, h, set);
    ASSERT_EQ(CalibrateOpticalDistortion1(image.data(), &r), 0);
  }
  ASSERT_NE(distortion::CachedMapKey(0), nullptr);
  ASSERT_NE(distortion::CachedMapKey(1), nullptr);
  EXPECT_EQ(distortion::CachedMapKey(0)->Height, 376);  // slot one rebuilt for the third
  EXPECT_EQ(distortion::CachedMapKey(1)->Height, 380);  // slot two keeps the second

  // Same height, other width: a map of its own, and the right output size.
  DistortionCorrectionRecord narrow = MakeRecord(400, 376, set);
  DistortionCorrectionRecord query = narrow;
  ASSERT_EQ(TDistortionCorrectInt(nullptr, nullptr, &query), kDistortionSizeQuery);
  std::vector<uint8_t> image = Texture(400, 376), expected = image;
  ASSERT_EQ(CalibrateOpticalDistortion1(image.data(), &narrow), 0);
  EXPECT_EQ(narrow.OutputWidth, query.OutputWidth);
  EXPECT_EQ(narrow.OutputHeight, query.OutputHeight);
  EXPECT_EQ(distortion::CachedMapKey(0)->Width, 400);

  // A fresh map gives the same picture as the cached one.
  ReleaseDistortionMaps();
  DistortionCorrectionRecord fresh = MakeRecord(400, 376, set);
  ASSERT_EQ(CalibrateOpticalDistortion1(expected.data(), &fresh), 0);
  EXPECT_EQ(image, expected);

  EXPECT_EQ(CalibrateOpticalDistortion1(nullptr, &fresh), 2);
  EXPECT_EQ(CalibrateOpticalDistortion1(image.data(), nullptr), 0);
}

TEST(DistortionMapCache, ParameterTeardownFreesTheMaps) {
  std::vector<uint8_t> image = Texture(430, 384);
  DistortionCorrectionRecord r = MakeRecord(430, 384, {350, 418, 376, 0, 240, 160});
  ASSERT_EQ(CalibrateOpticalDistortion1(image.data(), &r), 0);
  ASSERT_NE(distortion::CachedMapKey(0), nullptr);
  DestroyLiveScanParameter();
  EXPECT_EQ(distortion::CachedMapKey(0), nullptr);
  EXPECT_EQ(distortion::CachedMapKey(1), nullptr);
}

// The window form on the PloverA roll window (1408 x 880, centred, at the bottom of the
// 2944 x 1840 frame) gives the same pixels as correcting the whole frame, cut at the window.
TEST(DistortionWindow, RollWindowIsACropOfTheWholeCorrection) {
  const int W = 2944, H = 1840, ww = 1408, wh = 880;
  const int set[6] = {701, 678, 496, 614, 404, 404};
  const ImageCordinateType first{(W - ww) / 2, H - wh};
  const ImageCordinateType last{first.x + ww - 1, H - 1};
  const std::vector<uint8_t> frame = Texture(W, H);

  std::vector<uint8_t> window(static_cast<size_t>(ww) * wh);
  for (int y = 0; y < wh; ++y) {
    std::copy_n(frame.begin() + static_cast<size_t>(first.y + y) * W + first.x, ww,
                window.begin() + static_cast<size_t>(y) * ww);
  }
  DistortionCorrectionRecord rw = MakeRecord(W, H, set);
  ASSERT_EQ(CalibrateOpticalDistortion2(first, last, window.data(), &rw), 0);
  const int h = rw.OutputHeight, w = rw.OutputWidth;
  ASSERT_GT(h, 1);
  ASSERT_GT(w, 1);
  EXPECT_LE(h, wh);
  EXPECT_LE(w, ww);
  EXPECT_GE(w, 800);  // the scanner copies an 800 x 750 roll output out of it
  EXPECT_GE(h, 750);

  std::vector<uint8_t> whole = frame;
  DistortionCorrectionRecord rf = MakeRecord(W, H, set);
  ASSERT_EQ(CalibrateOpticalDistortion1(whole.data(), &rf), 0);
  const int outW = rf.OutputWidth, outH = rf.OutputHeight;

  // Find the window's place in the whole correction, then compare all but the cut row and
  // column, whose taps reach past the window.
  auto matches = [&](int r0, int c0) {
    for (int r = 0; r < h - 1; ++r) {
      for (int c = 0; c < w - 1; ++c) {
        if (window[static_cast<size_t>(r) * w + c] != whole[static_cast<size_t>(r0 + r) * outW + c0 + c]) {
          return false;
        }
      }
    }
    return true;
  };
  int found = 0;
  for (int r0 = 0; r0 + h <= outH; ++r0) {
    for (int c0 = 0; c0 + w <= outW; ++c0) {
      if (whole[static_cast<size_t>(r0) * outW + c0] == window[0] &&
          whole[static_cast<size_t>(r0 + 1) * outW + c0 + 1] == window[w + 1] && matches(r0, c0)) {
        ++found;
      }
    }
  }
  EXPECT_EQ(found, 1);
  ReleaseDistortionMaps();
}

TEST(DistortionWindow, RefusesWindowsOutsideTheFrame) {
  std::vector<uint8_t> window(100 * 100);
  DistortionCorrectionRecord r = MakeRecord(860, 768, kLinnet);
  EXPECT_EQ(CalibrateOpticalDistortion2({-1, 0}, {98, 99}, window.data(), &r), 1);
  EXPECT_EQ(CalibrateOpticalDistortion2({800, 0}, {899, 99}, window.data(), &r), 1);
  EXPECT_EQ(CalibrateOpticalDistortion2({50, 50}, {40, 149}, window.data(), &r), 1);
  EXPECT_EQ(CalibrateOpticalDistortion2({0, 0}, {99, 99}, nullptr, &r), 2);
  EXPECT_EQ(CalibrateOpticalDistortion2({0, 0}, {99, 99}, window.data(), nullptr), 0);
  EXPECT_EQ(distortion::CachedMapKey(0), nullptr);
}

TEST(FinchCalibration, WindowIsMirroredAndFullyWritten) {
  const int sw = 400, sh = 500, cx = 200, cy = 250;
  const std::vector<uint8_t> source = Texture(sw, sh);
  std::vector<uint8_t> out(288 * 352, 0);
  int height = 0, width = 0;
  ASSERT_EQ(FinchCalibration1(sh, sw, const_cast<uint8_t*>(source.data()), cx, cy, 288, 352,
                              &height, &width, out.data()),
            0);
  EXPECT_EQ(height, 352);
  EXPECT_EQ(width, 288);
  for (int r = 0; r < 352; ++r) {
    for (int i = 0; i < 288; ++i) {
      ASSERT_EQ(out[r * 288 + 287 - i], source[(cy - 176 + r) * sw + cx - 144 + i]) << r << "," << i;
    }
  }
  // Near the border every tap is clamped to the source.
  ASSERT_EQ(FinchCalibration1(sh, sw, const_cast<uint8_t*>(source.data()), 0, 0, 288, 352,
                              &height, &width, out.data()),
            0);
  EXPECT_EQ(out[287], source[0]);
  EXPECT_EQ(FinchCalibration1(sh, sw, const_cast<uint8_t*>(source.data()), cx, cy, 300, 352,
                              &height, &width, out.data()),
            1);
  EXPECT_EQ(FinchCalibration1(sh, sw, nullptr, cx, cy, 288, 352, &height, &width, out.data()), 4);
}

}  // namespace
}  // namespace LiveScanAlg
