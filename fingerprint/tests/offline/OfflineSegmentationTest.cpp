// Offline flat and hand segmentation on full-resolution images from the simulator's finger
// renderer, checked against the renderer's ground truth of every fingertip contact (ISO number,
// centroid and box).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "OfflineSegmentation.h"
#include "sim/Render.h"

namespace {

// Box tolerance in full-resolution pixels: the segmentation measures boxes on a 1/8 map (8-pixel
// blocks), and the rim of a contact, where only ridge crests touch the glass, is finger in the
// truth but barely dark in the image.
constexpr int kBoxTolerance = 48;
// Centre tolerance: a finger centre is within 4 blocks of the contact's centroid.
constexpr int kCentreTolerance = 32;

// One fingertip in the segmentation's layout: x along the fingers (image rows), y across (image
// columns).
struct Truth {
  int iso = 0;
  double x = 0, y = 0;
  int left = 0, right = 0, top = 0, bottom = 0;  // x from left to right, y from top to bottom
};

struct Rendered {
  std::vector<uint8_t> pixels;  // `lines` lines of `length` bytes
  std::vector<Truth> truth;     // in across order
};

// Renders a scene of `lines` image rows by `length` image columns.
Rendered Render(sim::FingerScene scene, int lines, int length, uint32_t seed) {
  scene.platen.width = length;
  scene.platen.height = lines;
  sim::SceneTruth st;
  Rendered r;
  r.pixels = sim::RenderFingers(scene, seed, &st).pixels;
  for (const sim::FingerTruth& f : st.fingers)
    r.truth.push_back({f.isoFinger, f.centreY, f.centreX, f.top, f.bottom, f.left, f.right});
  return r;
}

sim::FingerScene Scene(sim::FingerLayout layout) {
  sim::FingerScene s;
  s.layout = layout;
  return s;
}

// Checks the records of the found fingers against the truth, matched in across order.
void ExpectFingers(const FingerInfo* f, int records, const std::vector<Truth>& truth) {
  std::vector<const FingerInfo*> found;
  for (int k = 0; k < records; ++k)
    if (f[k].Qty > 0) found.push_back(&f[k]);
  ASSERT_EQ(found.size(), truth.size());
  std::sort(found.begin(), found.end(), [](const FingerInfo* a, const FingerInfo* b) { return a->Y < b->Y; });
  for (size_t k = 0; k < truth.size(); ++k) {
    SCOPED_TRACE("finger " + std::to_string(k) + " across");
    const FingerInfo& r = *found[k];
    const Truth& t = truth[k];
    EXPECT_EQ(r.Finger, t.iso);
    EXPECT_NEAR(r.X, t.x, kCentreTolerance);
    EXPECT_NEAR(r.Y, t.y, kCentreTolerance);
    const int left = r.Corners[0], top = r.Corners[1], right = r.Corners[6], bottom = r.Corners[7];
    EXPECT_NEAR(left, t.left, kBoxTolerance);
    EXPECT_NEAR(right, t.right, kBoxTolerance);
    EXPECT_NEAR(top, t.top, kBoxTolerance);
    EXPECT_NEAR(bottom, t.bottom, kBoxTolerance);
    // Corners in their order: (left, top), (left, bottom), (right, top), (right, bottom).
    EXPECT_EQ(r.Corners[2], left);
    EXPECT_EQ(r.Corners[3], bottom);
    EXPECT_EQ(r.Corners[4], right);
    EXPECT_EQ(r.Corners[5], top);
    EXPECT_EQ(r.Height, right - left);
    EXPECT_EQ(r.Width, bottom - top);
  }
}

constexpr int kHandLines = 1200, kHandLength = 1500;

struct HandCase {
  const char* name;
  sim::FingerLayout layout;
  int position, mask;
  unsigned present = 0xF;  // renderer: fingers present, bit k = k-th from the left
  double turnDeg = 0;
  sim::FingerGap gap = sim::FingerGap::Separate;
};

TEST(OfflineSegmentation, HandsAgainstTheRendererTruth) {
  const HandCase cases[] = {
      {"right hand", sim::FingerLayout::RightSlap, 13, 15},
      {"left hand", sim::FingerLayout::LeftSlap, 14, 15},
      {"right hand, side unknown", sim::FingerLayout::RightSlap, 0, 15},
      {"left hand, side unknown", sim::FingerLayout::LeftSlap, 0, 15},
      // Right hand from the left: index, middle, ring, little; the ring finger is slot 2.
      {"right ring finger amputated", sim::FingerLayout::RightSlap, 13, 0xB, 0xB},
      // Left hand from the left: little, ring, middle, index; the middle finger is slot 1.
      {"left middle finger amputated", sim::FingerLayout::LeftSlap, 14, 0xD, 0xB},
      {"hand turned 20 degrees", sim::FingerLayout::RightSlap, 13, 15, 0xF, 20},
      {"fingers close together", sim::FingerLayout::LeftSlap, 14, 15, 0xF, 0, sim::FingerGap::Close},
      {"fingers touching", sim::FingerLayout::RightSlap, 13, 15, 0xF, 0, sim::FingerGap::Touching},
  };
  for (const HandCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::FingerScene scene = Scene(c.layout);
    scene.fingerMask = c.present;
    scene.rotationDeg = c.turnDeg;
    scene.gap = c.gap;
    const Rendered r = Render(scene, kHandLines, kHandLength, 7);
    ASSERT_EQ(r.truth.size(), size_t(std::popcount(c.present)));
    FingerInfo fingers[4] = {};
    FlatSegmentParams params;
    char err[128] = "";
    const int n = SegmentFlatImage(r.pixels.data(), kHandLines, kHandLength, c.position, 0, 0, kHandLines,
                                   kHandLength, 0, c.mask, fingers, &params, err, sizeof err);
    EXPECT_EQ(n, int(r.truth.size())) << err;
    ExpectFingers(fingers, 4, r.truth);
    // The renderer turns the hand clockwise on the image: the tips move towards larger y, which
    // raises the hand angle above 90.
    if (c.turnDeg != 0)
      for (const FingerInfo& f : fingers) {
        if (f.Qty > 0) {
          EXPECT_NEAR(f.Measure, 90 + c.turnDeg, 8);
        }
      }
  }
}

TEST(OfflineSegmentation, HandInsideACropReportsImageCoordinates) {
  // The hand sits in the right part of a wider image; only that part is segmented.
  sim::FingerScene scene = Scene(sim::FingerLayout::RightSlap);
  scene.offsetXmm = 8;
  const Rendered r = Render(scene, kHandLines, 1900, 3);
  FingerInfo fingers[4] = {};
  char err[128] = "";
  const int n = SegmentFingerImage(r.pixels.data(), kHandLines, 1900, 13, 0, 350, kHandLines, 1550, 0, 15, fingers,
                                   err, sizeof err);
  EXPECT_EQ(n, 4) << err;
  ExpectFingers(fingers, 4, r.truth);
}

TEST(OfflineSegmentation, ThumbsAgainstTheRendererTruth) {
  {
    SCOPED_TRACE("two thumbs: the right thumb lies at the larger y");
    const Rendered both = Render(Scene(sim::FingerLayout::TwoThumbs), 1000, 1500, 9);
    FingerInfo f[2] = {};
    char err[128] = "";
    EXPECT_EQ(SegmentFingerImage(both.pixels.data(), 1000, 1500, 15, 0, 0, 1000, 1500, 0, 3, f, err, sizeof err), 2)
        << err;
    ExpectFingers(f, 2, both.truth);
    EXPECT_EQ(f[0].Finger, 1);
    EXPECT_EQ(f[0].Measure, 90);
    EXPECT_EQ(f[0].Qty, f[1].Qty);
  }
  {
    SCOPED_TRACE("one of two thumbs, in the upper half: it goes into the second record");
    sim::FingerScene scene = Scene(sim::FingerLayout::TwoThumbs);
    scene.fingerMask = 1;  // the left thumb only
    const Rendered left = Render(scene, 1000, 1500, 9);
    ASSERT_EQ(left.truth.size(), 1u);
    FingerInfo f[2] = {};
    int extra = 0;
    char err[128] = "";
    EXPECT_EQ(FlatSegmentCent15(left.pixels.data(), 1000, 1500, 0, 15, 3, f, &extra, err, sizeof err), 1) << err;
    EXPECT_EQ(f[0].Qty, 0);
    EXPECT_EQ(f[0].Finger, 1);
    EXPECT_EQ(f[1].Finger, 6);
    ExpectFingers(f, 2, left.truth);
  }
  {
    SCOPED_TRACE("a single thumb");
    const Rendered one = Render(Scene(sim::FingerLayout::SingleFinger), 900, 800, 4);
    for (int position : {11, 12}) {
      FingerInfo f[1] = {};
      char err[128] = "";
      EXPECT_EQ(SegmentFingerImage(one.pixels.data(), 900, 800, position, 0, 0, 900, 800, 0, 1, f, err, sizeof err), 1)
          << err;
      std::vector<Truth> t = one.truth;
      t[0].iso = position == 11 ? 1 : 6;
      ExpectFingers(f, 1, t);
      EXPECT_EQ(f[0].Measure, 90);
    }
  }
}

TEST(OfflineSegmentation, FingerAreaInACropAndThePlatenAroundIt) {
  // A finger crop of 600 x 500 around a rendered fingertip, located from the ridge measure (mode 0)
  // and from the grey statistics (mode 1); both paint the platen outside the finger's hull.
  const Rendered one = Render(Scene(sim::FingerLayout::SingleFinger), 900, 800, 4);
  const Truth t = one.truth.at(0);
  const std::vector<uint8_t>& img = one.pixels;
  for (int mode : {0, 1}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    std::vector<uint8_t> crop(600 * 500);
    const int cx = int(t.x), cy = int(t.y);
    ASSERT_EQ(GetImageByAngle(img.data(), 900, 800, cx, cy, 90, crop.data(), 600, 500), 0);
    const std::vector<uint8_t> before = crop;
    int left = -1, right = -1, top = -1, bottom = -1;
    ASSERT_EQ(LocateFingerArea(crop.data(), 600, 500, mode, &left, &right, &top, &bottom), 0);
    EXPECT_NEAR(left, t.left - (cx - 300), kBoxTolerance);
    EXPECT_NEAR(right, t.right - (cx - 300), kBoxTolerance);
    EXPECT_NEAR(top, t.top - (cy - 250), kBoxTolerance);
    EXPECT_NEAR(bottom, t.bottom - (cy - 250), kBoxTolerance);
    // The corner of the box lies outside the elliptic contact: painted with one level. The
    // finger's centre is left as it was, and so is everything outside the box.
    const uint8_t painted = crop[size_t(left + 2) * 500 + top + 2];
    EXPECT_NE(before[size_t(left + 2) * 500 + top + 2], painted);
    for (int x = left; x < left + 6; ++x)
      for (int y = top; y < top + 6; ++y) EXPECT_EQ(crop[size_t(x) * 500 + y], painted);
    for (int x = 280; x < 320; ++x)
      for (int y = 230; y < 270; ++y) EXPECT_EQ(crop[size_t(x) * 500 + y], before[size_t(x) * 500 + y]);
    EXPECT_EQ(crop[0], before[0]);
    EXPECT_EQ(crop.back(), before.back());
    // Mode bit 1 leaves the crop untouched and gives the same box.
    std::vector<uint8_t> kept = before;
    int l2, r2, t2, b2;
    ASSERT_EQ(LocateFingerArea(kept.data(), 600, 500, mode | 2, &l2, &r2, &t2, &b2), 0);
    EXPECT_EQ(kept, before);
    EXPECT_EQ(l2, left);
    EXPECT_EQ(r2, right);
    EXPECT_EQ(t2, top);
    EXPECT_EQ(b2, bottom);
  }
  // A crop of bare platen has no finger area.
  std::vector<uint8_t> bare = Render(Scene(sim::FingerLayout::None), 900, 800, 4).pixels;
  int l, r, tp, b;
  EXPECT_GT(LocateFingerArea(bare.data(), 900, 800, 1, &l, &r, &tp, &b), 0);
  EXPECT_EQ(r - l, 0);
  EXPECT_EQ(LocateFingerArea(nullptr, 900, 800, 1, &l, &r, &tp, &b), -1);
}

TEST(OfflineSegmentation, EmptyPlatenFindsNoFinger) {
  const std::vector<uint8_t> img = Render(Scene(sim::FingerLayout::None), 1000, 1500, 1).pixels;
  FingerInfo f[4] = {};
  char err[128] = "";
  EXPECT_EQ(SegmentFingerImage(img.data(), 1000, 1500, 13, 0, 0, 1000, 1500, 0, 15, f, err, sizeof err), 0) << err;
  for (const FingerInfo& r : f) EXPECT_EQ(r.Qty, 0);
  int extra = 0;
  EXPECT_EQ(FlatSegmentCent15(img.data(), 1000, 1500, 0, 15, 3, f, &extra, err, sizeof err), 0);
  // No thumb: both records sit at the image centre with their corners there.
  for (int j = 0; j < 2; ++j) {
    EXPECT_EQ(f[j].X, 500);
    EXPECT_EQ(f[j].Y, 750);
    EXPECT_EQ(f[j].Measure, 90);
    for (int c = 0; c < 8; c += 2) {
      EXPECT_EQ(f[j].Corners[c], 500);
      EXPECT_EQ(f[j].Corners[c + 1], 750);
    }
  }
}

TEST(OfflineSegmentation, UprightCropsHoldTheirFingers) {
  sim::FingerScene scene = Scene(sim::FingerLayout::RightSlap);
  scene.rotationDeg = 15;
  const std::vector<uint8_t> img = Render(scene, kHandLines, kHandLength, 7).pixels;
  constexpr int kOutLines = 500, kOutLength = 400;
  std::vector<std::vector<uint8_t>> crops(4, std::vector<uint8_t>(kOutLines * kOutLength));
  uint8_t* out[4] = {crops[0].data(), crops[1].data(), crops[2].data(), crops[3].data()};
  char err[128] = "";
  ASSERT_EQ(ExtractFingerImages(img.data(), kHandLines, kHandLength, kOutLines, kOutLength, 13, 0, 1, 0, out, err,
                                sizeof err),
            4)
      << err;
  // Each crop is centred on one finger: its centre holds dark skin, and the dark pixels lie in an
  // upright band (longer along x than across).
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE("crop " + std::to_string(k));
    const std::vector<uint8_t>& c = crops[k];
    long sum = 0;
    for (int x = 220; x < 280; ++x)
      for (int y = 170; y < 230; ++y) sum += c[size_t(x) * kOutLength + y];
    EXPECT_LT(sum / 3600, 170);
    double sx = 0, sy = 0, sxx = 0, syy = 0, n = 0;
    for (int x = 0; x < kOutLines; ++x)
      for (int y = 0; y < kOutLength; ++y)
        if (c[size_t(x) * kOutLength + y] < 100) sx += x, sy += y, sxx += double(x) * x, syy += double(y) * y, ++n;
    ASSERT_GT(n, 1000);
    const double vx = sxx / n - (sx / n) * (sx / n), vy = syy / n - (sy / n) * (sy / n);
    EXPECT_GT(vx, vy);
    EXPECT_NEAR(sx / n, kOutLines / 2, 60);
    EXPECT_NEAR(sy / n, kOutLength / 2, 60);
  }
  // A missing buffer for a found finger is refused by its index.
  uint8_t* gap[4] = {crops[0].data(), crops[1].data(), nullptr, crops[3].data()};
  EXPECT_EQ(ExtractFingerImages(img.data(), kHandLines, kHandLength, kOutLines, kOutLength, 13, 0, 1, 0, gap, err,
                                sizeof err),
            -1);
  EXPECT_STREQ(err, "Err: *OutputBuff 2 is NULL; Finger 13");
  // Without rotation the crop is a plain window of the image.
  ASSERT_EQ(ExtractFingerImages(img.data(), kHandLines, kHandLength, kOutLines, kOutLength, 13, 0, 0, 0, out, err,
                                sizeof err),
            4);
  FingerInfo f[4] = {};
  SegmentFingerImage(img.data(), kHandLines, kHandLength, 13, 0, 0, kHandLines, kHandLength, 0, 15, f, err, sizeof err);
  const int x0 = f[0].X - kOutLines / 2, y0 = f[0].Y - kOutLength / 2;
  for (int x : {0, 100, 499})
    for (int y : {0, 200, 399}) {
      const int sx = x0 + x, sy = y0 + y;
      if (sx >= 0 && sx < kHandLines && sy >= 0 && sy < kHandLength) {
        EXPECT_EQ(crops[0][size_t(x) * kOutLength + y], img[size_t(sx) * kHandLength + sy]);
      }
    }
}

}  // namespace
