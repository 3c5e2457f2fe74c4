// Offline flat and hand segmentation on full-resolution images from the simulator's finger
// renderer. The ground truth of every finger (its pixels, hence its centre and box) comes from the
// noiseless render: every pixel the renderer darkened belongs to a finger contact, and the contacts
// are apart, so each connected darkened area is one finger. Scenes that the renderer cannot pose
// (a turned hand, fingers pushed together, a missing finger) are built from the noiseless render
// by moving or removing whole contacts, carrying their truth along; sensor noise comes last.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "OfflineSegmentation.h"
#include "sim/Render.h"

namespace {

// Box tolerance in full-resolution pixels: the segmentation measures boxes on a 1/8 map (8-pixel
// blocks) and the faint rim of a contact (the outer tenth, where it barely darkens the glass)
// counts as finger in the truth but not in the image.
constexpr int kBoxTolerance = 48;
// Centre tolerance: a finger centre is within 4 blocks of the contact's centroid.
constexpr int kCentreTolerance = 32;

struct Truth {
  double x = 0, y = 0;  // centroid: x along the fingers (image rows), y across (image columns)
  int left = 0, right = 0, top = 0, bottom = 0;  // box: x from left to right, y from top to bottom
  long count = 0;
};

// A scene in the segmentation's layout: `lines` lines (image rows) of `length` bytes (image
// columns), the platen it lies on, and a contact label per pixel (0 platen, k + 1 contact k).
struct Scene {
  int lines = 0, length = 0;
  std::vector<uint8_t> pixels, platen;
  std::vector<int> label;
  int contacts = 0;

  std::vector<Truth> truth() const {
    std::vector<Truth> t(contacts);
    for (Truth& c : t) c.left = c.top = 1 << 30, c.right = c.bottom = -1;
    for (int x = 0; x < lines; ++x)
      for (int y = 0; y < length; ++y) {
        const int l = label[size_t(x) * length + y];
        if (l == 0) continue;
        Truth& c = t[l - 1];
        c.x += x, c.y += y, ++c.count;
        c.left = std::min(c.left, x), c.right = std::max(c.right, x);
        c.top = std::min(c.top, y), c.bottom = std::max(c.bottom, y);
      }
    std::vector<Truth> kept;
    for (Truth& c : t)
      if (c.count > 0) {
        c.x /= c.count, c.y /= c.count;
        kept.push_back(c);
      }
    std::sort(kept.begin(), kept.end(), [](const Truth& a, const Truth& b) { return a.y < b.y; });
    return kept;
  }

  // The sensor noise of a real frame.
  std::vector<uint8_t> noisy(uint32_t seed) const {
    sim::GreyImage img(length, lines);
    img.pixels = pixels;
    sim::AddNoise(img, 2.0, seed);
    return img.pixels;
  }
};

// acrossMm shifts the whole hand across the fingers (towards larger y).
Scene Render(sim::FingerLayout layout, int lines, int length, uint32_t seed, double acrossMm = 0) {
  sim::FingerScene fs;
  fs.platen.width = length;
  fs.platen.height = lines;
  fs.platen.noise = 0;
  fs.layout = layout;
  fs.offsetXmm = acrossMm;
  Scene s;
  s.lines = lines;
  s.length = length;
  s.pixels = sim::RenderFingers(fs, seed).pixels;
  s.platen = sim::RenderPlaten(fs.platen, seed).pixels;
  s.label.assign(s.pixels.size(), 0);
  // Darkened areas, 4-connected.
  std::vector<size_t> stack;
  for (size_t i = 0; i < s.pixels.size(); ++i) {
    if (s.label[i] != 0 || s.pixels[i] >= s.platen[i]) continue;
    const int id = ++s.contacts;
    s.label[i] = id;
    stack.push_back(i);
    while (!stack.empty()) {
      const size_t p = stack.back();
      stack.pop_back();
      const int x = int(p / length), y = int(p % length);
      const int nx[4] = {x - 1, x + 1, x, x}, ny[4] = {y, y, y - 1, y + 1};
      for (int k = 0; k < 4; ++k) {
        if (nx[k] < 0 || nx[k] >= lines || ny[k] < 0 || ny[k] >= length) continue;
        const size_t q = size_t(nx[k]) * length + ny[k];
        if (s.label[q] == 0 && s.pixels[q] < s.platen[q]) {
          s.label[q] = id;
          stack.push_back(q);
        }
      }
    }
  }
  return s;
}

// Moves every contact across the fingers (along y) by shift(contact centroid y).
template <class F>
Scene MoveAcross(const Scene& s, F shift) {
  Scene out = s;
  out.pixels = s.platen;
  std::fill(out.label.begin(), out.label.end(), 0);
  std::vector<double> cy(s.contacts + 1, 0), n(s.contacts + 1, 0);
  for (size_t i = 0; i < s.label.size(); ++i) cy[s.label[i]] += double(i % s.length), n[s.label[i]] += 1;
  for (int x = 0; x < s.lines; ++x)
    for (int y = 0; y < s.length; ++y) {
      const int l = s.label[size_t(x) * s.length + y];
      if (l == 0) continue;
      const int ny = y + int(std::lround(shift(cy[l] / n[l])));
      if (ny < 0 || ny >= s.length) continue;
      const size_t q = size_t(x) * s.length + ny;
      out.pixels[q] = s.pixels[size_t(x) * s.length + y];
      out.label[q] = l;
    }
  return out;
}

// Removes contact k (0-based, in across order) from the scene.
Scene Remove(const Scene& s, int k) {
  const std::vector<Truth> t = s.truth();
  Scene out = s;
  // Identify the label of the k-th contact by its centroid.
  std::vector<double> sy(s.contacts + 1, 0), n(s.contacts + 1, 0);
  for (size_t i = 0; i < s.label.size(); ++i) sy[s.label[i]] += double(i % s.length), n[s.label[i]] += 1;
  int target = 0;
  for (int l = 1; l <= s.contacts; ++l)
    if (n[l] > 0 && std::abs(sy[l] / n[l] - t[k].y) < 1e-6) target = l;
  for (size_t i = 0; i < s.label.size(); ++i)
    if (s.label[i] == target) out.label[i] = 0, out.pixels[i] = s.platen[i];
  return out;
}

// Turns the scene about its centre by deg (positive: the tips turn towards larger y).
Scene Turn(const Scene& s, double deg) {
  Scene out = s;
  const double t = deg * 3.14159265358979323846 / 180, c = std::cos(t), sn = std::sin(t);
  const double hx = s.lines / 2.0, hy = s.length / 2.0;
  for (int x = 0; x < s.lines; ++x)
    for (int y = 0; y < s.length; ++y) {
      // Source of the destination pixel (x, y).
      const double dx = x - hx, dy = y - hy;
      const int sx = int(std::lround(hx + dx * c + dy * sn)), sy = int(std::lround(hy - dx * sn + dy * c));
      const size_t q = size_t(x) * s.length + y;
      if (sx >= 0 && sx < s.lines && sy >= 0 && sy < s.length && s.label[size_t(sx) * s.length + sy] != 0) {
        out.pixels[q] = s.pixels[size_t(sx) * s.length + sy];
        out.label[q] = s.label[size_t(sx) * s.length + sy];
      } else {
        out.pixels[q] = s.platen[q];
        out.label[q] = 0;
      }
    }
  return out;
}

// Checks the records of the found fingers against the truth, matched in across order.
void ExpectFingers(const FingerInfo* f, int records, const std::vector<Truth>& truth,
                   const std::vector<int>& fingerNumbers) {
  std::vector<const FingerInfo*> found;
  for (int k = 0; k < records; ++k)
    if (f[k].Qty > 0) found.push_back(&f[k]);
  ASSERT_EQ(found.size(), truth.size());
  std::sort(found.begin(), found.end(), [](const FingerInfo* a, const FingerInfo* b) { return a->Y < b->Y; });
  for (size_t k = 0; k < truth.size(); ++k) {
    SCOPED_TRACE("finger " + std::to_string(k) + " across");
    const FingerInfo& r = *found[k];
    const Truth& t = truth[k];
    EXPECT_EQ(r.Finger, fingerNumbers[k]);
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
  int removed;         // contact taken away (across order), -1 none
  double turnDeg;      // hand turned
  double squeezeMm;    // fingers pushed together by this much each
  std::vector<int> numbers;  // ISO numbers of the present fingers in across order
};

TEST(OfflineSegmentation, HandsAgainstTheRendererTruth) {
  const HandCase cases[] = {
      {"right hand", sim::FingerLayout::RightSlap, 13, 15, -1, 0, 0, {2, 3, 4, 5}},
      {"left hand", sim::FingerLayout::LeftSlap, 14, 15, -1, 0, 0, {10, 9, 8, 7}},
      {"right hand, side unknown", sim::FingerLayout::RightSlap, 0, 15, -1, 0, 0, {2, 3, 4, 5}},
      {"left hand, side unknown", sim::FingerLayout::LeftSlap, 0, 15, -1, 0, 0, {10, 9, 8, 7}},
      {"ring finger amputated", sim::FingerLayout::RightSlap, 13, 0xB, 2, 0, 0, {2, 3, 5}},
      {"hand turned 20 degrees", sim::FingerLayout::RightSlap, 13, 15, -1, 20, 0, {2, 3, 4, 5}},
      {"fingers close together", sim::FingerLayout::LeftSlap, 14, 15, -1, 0, 0.3, {10, 9, 8, 7}},
  };
  for (const HandCase& c : cases) {
    SCOPED_TRACE(c.name);
    Scene s = Render(c.layout, kHandLines, kHandLength, 7);
    if (c.removed >= 0) s = Remove(s, c.removed);
    if (c.turnDeg != 0) s = Turn(s, c.turnDeg);
    if (c.squeezeMm != 0) {
      // The inner fingers move in by the squeeze, the outer ones by three times as much: the
      // rims of neighbouring contacts touch.
      const double px = c.squeezeMm / 25.4 * 500, mid = kHandLength / 2.0;
      s = MoveAcross(s, [&](double y) { return y < mid ? px * (y < mid - 400 ? 3 : 1) : -px * (y > mid + 400 ? 3 : 1); });
    }
    const std::vector<Truth> truth = s.truth();
    ASSERT_EQ(truth.size(), c.numbers.size());
    const std::vector<uint8_t> img = s.noisy(11);
    FingerInfo fingers[4] = {};
    FlatSegmentParams params;
    char err[128] = "";
    const int n = SegmentFlatImage(img.data(), kHandLines, kHandLength, c.position, 0, 0, kHandLines, kHandLength, 0,
                                   c.mask, fingers, &params, err, sizeof err);
    EXPECT_EQ(n, int(truth.size())) << err;
    ExpectFingers(fingers, 4, truth, c.numbers);
    if (c.turnDeg != 0)
      for (const FingerInfo& f : fingers)
        if (f.Qty > 0) EXPECT_NEAR(f.Measure, 90 - c.turnDeg, 8);
  }
}

TEST(OfflineSegmentation, HandInsideACropReportsImageCoordinates) {
  // The hand sits in the right part of a wider image; only that part is segmented.
  const Scene s = Render(sim::FingerLayout::RightSlap, kHandLines, 1900, 3, 8);
  std::vector<Truth> truth = s.truth();
  const std::vector<uint8_t> img = s.noisy(5);
  FingerInfo fingers[4] = {};
  char err[128] = "";
  const int n = SegmentFingerImage(img.data(), kHandLines, 1900, 13, 0, 350, kHandLines, 1550, 0, 15, fingers, err,
                                   sizeof err);
  EXPECT_EQ(n, 4) << err;
  ExpectFingers(fingers, 4, truth, {2, 3, 4, 5});
}

TEST(OfflineSegmentation, ThumbsAgainstTheRendererTruth) {
  const Scene both = Render(sim::FingerLayout::TwoThumbs, 1000, 1500, 9);
  {
    SCOPED_TRACE("two thumbs: the right thumb lies at the larger y");
    const std::vector<uint8_t> img = both.noisy(2);
    FingerInfo f[2] = {};
    char err[128] = "";
    EXPECT_EQ(SegmentFingerImage(img.data(), 1000, 1500, 15, 0, 0, 1000, 1500, 0, 3, f, err, sizeof err), 2) << err;
    ExpectFingers(f, 2, both.truth(), {6, 1});
    EXPECT_EQ(f[0].Finger, 1);
    EXPECT_EQ(f[0].Measure, 90);
    EXPECT_EQ(f[0].Qty, f[1].Qty);
  }
  {
    SCOPED_TRACE("one of two thumbs, in the upper half: it goes into the second record");
    const Scene left = Remove(both, 1);
    const std::vector<uint8_t> img = left.noisy(2);
    FingerInfo f[2] = {};
    int extra = 0;
    char err[128] = "";
    EXPECT_EQ(FlatSegmentCent15(img.data(), 1000, 1500, 0, 15, 3, f, &extra, err, sizeof err), 1) << err;
    EXPECT_EQ(f[0].Qty, 0);
    EXPECT_EQ(f[0].Finger, 1);
    EXPECT_EQ(f[1].Finger, 6);
    ExpectFingers(f, 2, left.truth(), {6});
  }
  {
    SCOPED_TRACE("a single thumb");
    const Scene one = Render(sim::FingerLayout::SingleFinger, 900, 800, 4);
    const std::vector<uint8_t> img = one.noisy(8);
    for (int position : {11, 12}) {
      FingerInfo f[1] = {};
      char err[128] = "";
      EXPECT_EQ(SegmentFingerImage(img.data(), 900, 800, position, 0, 0, 900, 800, 0, 1, f, err, sizeof err), 1)
          << err;
      ExpectFingers(f, 1, one.truth(), {position == 11 ? 1 : 6});
      EXPECT_EQ(f[0].Measure, 90);
    }
  }
}

TEST(OfflineSegmentation, FingerAreaInACropAndThePlatenAroundIt) {
  // A finger crop of 600 x 500 around a rendered fingertip, located from the ridge measure (mode 0)
  // and from the grey statistics (mode 1); both paint the platen outside the finger's hull.
  const Scene one = Render(sim::FingerLayout::SingleFinger, 900, 800, 4);
  const Truth t = one.truth().at(0);
  const std::vector<uint8_t> img = one.noisy(8);
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
  const Scene none = Render(sim::FingerLayout::None, 900, 800, 4);
  std::vector<uint8_t> bare = none.noisy(8);
  int l, r, tp, b;
  EXPECT_GT(LocateFingerArea(bare.data(), 900, 800, 1, &l, &r, &tp, &b), 0);
  EXPECT_EQ(r - l, 0);
  EXPECT_EQ(LocateFingerArea(nullptr, 900, 800, 1, &l, &r, &tp, &b), -1);
}

TEST(OfflineSegmentation, EmptyPlatenFindsNoFinger) {
  const Scene s = Render(sim::FingerLayout::None, 1000, 1500, 1);
  const std::vector<uint8_t> img = s.noisy(1);
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
  const Scene s = Turn(Render(sim::FingerLayout::RightSlap, kHandLines, kHandLength, 7), 15);
  const std::vector<uint8_t> img = s.noisy(3);
  const std::vector<Truth> truth = s.truth();
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
      if (sx >= 0 && sx < kHandLines && sy >= 0 && sy < kHandLength)
        EXPECT_EQ(crops[0][size_t(x) * kOutLength + y], img[size_t(sx) * kHandLength + sy]);
    }
}

}  // namespace
