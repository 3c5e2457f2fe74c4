// The scanner base class's routines that need no camera: capability table, scaling, orientation,
// keystone copy-out, the algorithm-call mapping and the SR3 stand-in.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <vector>

#include "Detailer.h"
#include "KeystoneReference.h"
#include "TestScanner.h"

using scannertest::TestModel;

namespace {

// Deterministic bytes without structure: a pixel taken from the wrong place shows.
std::vector<uint8_t> Noise(int w, int h, uint32_t seed) {
    std::vector<uint8_t> v(size_t(w) * h);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto& p : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        p = uint8_t(x >> 24);
    }
    return v;
}

std::vector<uint8_t> Ramp(int w, int h) {
    std::vector<uint8_t> v(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) v[size_t(y) * w + x] = uint8_t((x * 7 + y * 13) & 0xFF);
    return v;
}

}  // namespace

TEST(ScannerBase, StreamCapabilityTableByScannerType) {
    struct Case {
        int type, index, w, h, match;
    } cases[] = {
        {602, 0, 2912, 4512, 1}, {602, 1, 2144, 1536, 1}, {602, 2, 1456, 1504, 1}, {602, 0, 2944, 1840, 0},
        {503, 0, 3024, 3584, 1}, {503, 1, 1520, 1792, 1}, {503, 2, 1456, 1504, 0}, {503, 0, 2944, 1840, 0},
        {502, 0, 2944, 1840, 1}, {502, 0, 2912, 4512, 1}, {401, 0, 1600, 1200, 1}, {402, 0, 1536, 2144, 1},
        {306, 0, 640, 480, 1},   {502, 1, 1408, 880, 1},  {601, 1, 832, 1552, 1},  {502, 2, 1456, 1504, 1},
        {502, 1, 2944, 1840, 0}, {502, 2, 1472, 920, 0},  {502, 3, 1456, 1504, 0}, {502, 0, 1408, 880, 0},
    };
    TestModel m;
    for (const Case& c : cases) {
        m.m_nScannerType = c.type;
        EXPECT_EQ(m.MatchStreamCaps(c.index, c.w, c.h), c.match) << c.type << " " << c.index << " " << c.w << "x" << c.h;
    }
}

TEST(ScannerBase, ImageTypePredicates) {
    for (int t = -1; t <= 34; ++t) {
        EXPECT_EQ(IsRollImageType(t), t == 0 || t == 5 || t == 6 || (t >= 15 && t <= 22)) << t;
        EXPECT_EQ(IsSingleFlatImageType(t), t == 1 || (t >= 23 && t <= 32)) << t;
        EXPECT_EQ(IsFlatImageType(t), (t >= 1 && t <= 4) || (t >= 23 && t <= 32)) << t;
        EXPECT_EQ(IsHandImageType(t), t >= 7 && t <= 14) << t;
        EXPECT_EQ(IsSlapImageType(t), t == 2 || t == 3) << t;
        EXPECT_EQ(IsThumbsImageType(t), t == 4) << t;
    }
    for (int t : {301, 302, 303, 304, 305, 306, 401, 402, 801}) EXPECT_TRUE(IsSingleFingerScannerType(t)) << t;
    for (int t : {300, 307, 400, 403, 501, 502, 503, 601, 602, 800, 802}) EXPECT_FALSE(IsSingleFingerScannerType(t)) << t;
}

TEST(ScannerBase, PreviewScaleIsNearestNeighbourAndSkipsEmptyOutput) {
    TestModel m;
    const auto src = Ramp(7, 5);
    std::vector<uint8_t> dst(3 * 2, 0xEE);
    m.PreviewScaleImage(7, 5, src.data(), 3, 2, dst.data());
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(dst[size_t(y) * 3 + x], src[size_t(y * 5 / 2) * 7 + x * 7 / 3]) << x << "," << y;
    uint8_t one = 0;
    m.PreviewScaleImage(7, 5, src.data(), 1, 1, &one);
    EXPECT_EQ(one, src[0]);
    std::vector<uint8_t> untouched(4, 0xEE);
    m.PreviewScaleImage(7, 5, src.data(), 0, 2, untouched.data());
    m.PreviewScaleImage(7, 5, src.data(), 2, 0, untouched.data());
    EXPECT_EQ(untouched, std::vector<uint8_t>(4, 0xEE));
}

// Output (x, y) takes source pixel (x * sw / dw, y * sh / dh), in place (the models' decode) as well
// as into another buffer: halving (the PloverA preview) on widths that leave part of a row past
// whole groups of pixels, a quarter (the KestrelA preview) and a factor just above two.
TEST(ScannerBase, PreviewScaleOfWideRowsTakesTheNearestPixelsInPlaceAndOut) {
    TestModel m;
    struct Case {
        int sw, dw;
    } cases[] = {{2, 1}, {30, 15}, {32, 16}, {34, 17}, {74, 37}, {2944, 1472}, {160, 40}, {75, 37}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sw);
        const int sh = 6, dh = 3;
        const auto src = Noise(c.sw, sh, uint32_t(c.dw) + 1000);
        std::vector<uint8_t> expected(size_t(c.dw) * dh);
        for (int y = 0; y < dh; ++y)
            for (int x = 0; x < c.dw; ++x)
                expected[size_t(y) * c.dw + x] = src[size_t(y * sh / dh) * c.sw + size_t(x) * c.sw / c.dw];
        auto inPlace = src;
        m.PreviewScaleImage(c.sw, sh, inPlace.data(), c.dw, dh, inPlace.data());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), inPlace.begin())) << "in place";
        std::vector<uint8_t> out(expected.size() + 1, 0xEE);
        m.PreviewScaleImage(c.sw, sh, src.data(), c.dw, dh, out.data());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin())) << "into another buffer";
        EXPECT_EQ(out.back(), 0xEE);
    }
}

// A PloverA slap preview on a fixed frame, the way the decode and the image thread make it: the
// full frame halved in place, corrected with the flat set, its middle 800 columns and first 750
// rows kept, and turned upside down. Expected bytes come from the plain form of each step.
TEST(ScannerBase, SlapPreviewIsTheHalvedFrameCorrectedCentredAndFlipped) {
    TestModel m;
    ASSERT_EQ(m.ApplyStaticMemory(), 0);
    m.m_hDistortion = MM_TDistortionCorrectInit();
    m.m_nImageType = ZARN_IMAGE_SLAP_RIGHT;
    const int W = 2944, H = 1840, w = 1472, h = 920, ow = 800, oh = 750;
    const auto frame = Noise(W, H, 5);

    std::vector<uint8_t> halved(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) halved[size_t(y) * w + x] = frame[size_t(2 * y) * W + 2 * x];
    int set[6];
    for (int i = 0; i < 6; ++i) set[i] = m.m_FlatSet.values[i];
    EXPECT_EQ(set[0], 351);  // the PloverA set halved, plus one
    const keystonereference::Corrected corrected = keystonereference::Correct(halved, w, h, set);
    ASSERT_GE(corrected.width, ow);
    ASSERT_GE(corrected.height, oh);
    const int x0 = (corrected.width - ow) / 2;
    std::vector<uint8_t> expected(size_t(ow) * oh);
    for (int r = 0; r < oh; ++r)
        for (int c = 0; c < ow; ++c)
            expected[size_t(r) * ow + c] = corrected.pixels[size_t(oh - 1 - r) * corrected.width + x0 + c];

    auto work = frame;
    ASSERT_EQ(m.PreviewScaleImage(W, H, work.data(), w, h, work.data()), 0);
    int pw = 0, ph = 0;
    ASSERT_EQ(m.ProcessFrame(work.data(), w, h, m.m_pFlatOutput, &pw, &ph), 0);
    EXPECT_EQ(pw, ow);
    EXPECT_EQ(ph, oh);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), m.m_pPreviewOutput));
    MM_TDistortionCorrectRelease(&m.m_hDistortion);
    m.ReleaseStaticMemory();
}

TEST(ScannerBase, ResizeBilinearSameSizeCopiesAndInterpolatesBetweenNeighbours) {
    TestModel m;
    const auto src = Ramp(9, 6);
    std::vector<uint8_t> same(src.size());
    m.ResizeBilinear(src.data(), 6, 9, same.data(), 6, 9);
    EXPECT_EQ(same, src);
    // Doubling a 2 x 2 image: factors 0.5, neighbours past the edge are the edge.
    const uint8_t small[4] = {0, 100, 200, 40};
    uint8_t big[16];
    m.ResizeBilinear(small, 2, 2, big, 4, 4);
    const uint8_t expected[16] = {0, 50, 100, 100, 100, 85, 70, 70, 200, 120, 40, 40, 200, 120, 40, 40};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(big[i], expected[i]) << i;
    // Output wider than the index tables of the original (9024) is served.
    std::vector<uint8_t> wide(size_t(9100) * 1);
    m.ResizeBilinear(small, 2, 2, wide.data(), 1, 9100);
    EXPECT_EQ(wide.back(), 100);
}

TEST(ScannerBase, OrientationRoutines) {
    const auto src = Ramp(5, 3);
    auto up = src;
    ImageUpToDown(up.data(), 5, 3);
    auto lr = src;
    ImageLeftToRight(lr.data(), 5, -3);
    auto rot = src;
    ASSERT_EQ(ContraRotate90(rot.data(), 5, 3), 0);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            EXPECT_EQ(up[size_t(y) * 5 + x], src[size_t(2 - y) * 5 + x]);
            EXPECT_EQ(lr[size_t(y) * 5 + x], src[size_t(y) * 5 + 4 - x]);
        }
    // Quarter turn counter-clockwise: 5 rows of 3; output row k, column i = input row i, column 4 - k.
    for (int k = 0; k < 5; ++k)
        for (int i = 0; i < 3; ++i) EXPECT_EQ(rot[size_t(k) * 3 + i], src[size_t(i) * 5 + 4 - k]);
}

TEST(ScannerBase, CropLowerCentreTakesTheLowerMiddleQuarter) {
    TestModel m;
    const auto src = Ramp(8, 6);
    std::vector<uint8_t> out(12, 0);
    int w = 0, h = 0;
    m.CropLowerCentre(src.data(), 8, 6, out.data(), &w, &h);
    ASSERT_EQ(w, 4);
    ASSERT_EQ(h, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(out[size_t(y) * 4 + x], src[size_t(3 + y) * 8 + 2 + x]);
}

TEST(ScannerBase, KeystoneCopiesTheCorrectedRowsCentredWhenWiderThanTheOutput) {
    TestModel m;
    m.m_hDistortion = MM_TDistortionCorrectInit();
    ASSERT_NE(m.m_hDistortion, nullptr);
    const int w = 1472, h = 920;
    const auto src = Ramp(w, h);
    // The library's own correction with the flat set is the reference.
    auto reference = src;
    LiveScanAlg::DistortionCorrectionRecord rec{};
    rec.Height = h, rec.Width = w;
    rec.A = m.m_FlatSet.values[0], rec.B = m.m_FlatSet.values[1], rec.L = m.m_FlatSet.values[2];
    rec.E = m.m_FlatSet.values[3], rec.G = m.m_FlatSet.values[4], rec.K = m.m_FlatSet.values[5];
    auto* handle = LiveScanAlg::TDistortionCorrectInit();
    ASSERT_EQ(LiveScanAlg::TDistortionCorrectEx(handle, reference.data(), &rec), 0);
    LiveScanAlg::TDistortionCorrectRelease(&handle);
    const int cw = rec.OutputWidth, ch = rec.OutputHeight;
    ASSERT_GT(cw, 100);
    ASSERT_GT(ch, 100);
    // Narrower output: the middle columns of each corrected row.
    {
        auto in = src;
        const int ow = cw - 40, oh = ch - 10;
        std::vector<uint8_t> out(size_t(ow) * oh, 0xEE);
        ASSERT_EQ(m.ImgTrapezoidConvert(in.data(), h, w, out.data(), oh, ow, 0, 0), 0);
        for (int r = 0; r < oh; r += 7)
            for (int x = 0; x < ow; x += 5) ASSERT_EQ(out[size_t(r) * ow + x], reference[size_t(r) * cw + 20 + x]) << r << "," << x;
    }
    // Output as wide as the corrected rows: whole rows.
    {
        auto in = src;
        std::vector<uint8_t> out(size_t(cw) * ch, 0xEE);
        ASSERT_EQ(m.ImgTrapezoidConvert(in.data(), h, w, out.data(), ch, cw, 0, 0), 0);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), reference.begin()));
    }
    // Kind 1 outside calibration and full results takes the flat set too; while calibrating the
    // full-mode set, which corrects differently.
    {
        auto in = src;
        std::vector<uint8_t> out(size_t(cw) * ch, 0xEE);
        ASSERT_EQ(m.ImgTrapezoidConvert(in.data(), h, w, out.data(), ch, cw, 0, 1), 0);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), reference.begin()));
        m.m_nCalibrating = 1;
        auto in2 = src;
        std::vector<uint8_t> out2(size_t(cw) * ch, 0xEE);
        m.ImgTrapezoidConvert(in2.data(), h, w, out2.data(), ch, cw, 0, 1);
        EXPECT_NE(out2, out);
        m.m_nCalibrating = 0;
    }
    // An input smaller than the output is refused; an unknown kind leaves the output alone.
    std::vector<uint8_t> out(16, 0xEE);
    auto in = src;
    EXPECT_EQ(m.ImgTrapezoidConvert(in.data(), 3, 3, out.data(), 4, 4, 0, 0), -1);
    EXPECT_EQ(m.ImgTrapezoidConvert(in.data(), h, w, out.data(), 4, 4, 0, 3), 0);
    EXPECT_EQ(out, std::vector<uint8_t>(16, 0xEE));
    MM_TDistortionCorrectRelease(&m.m_hDistortion);
}

TEST(ScannerBase, PropertyAndExposureChecksRefuseWithoutTouchingTheCamera) {
    TestModel m;
    // No graph: nothing to set, nothing stored.
    EXPECT_EQ(m.SetVideoProp(kPropExposure, 50), 0);
    EXPECT_EQ(m.SetVideoProp(kPropBrightness, 3), 0);
    EXPECT_EQ(m.SetVideoProp(5, 3), 0);  // not supported by this model
    EXPECT_EQ(m.SetVideoProp(-1, 3), 0);
    EXPECT_EQ(m.SetVideoProp(kPropertyCount, 3), 0);
    EXPECT_EQ(m.m_nPropValue[kPropExposure], 0);
    EXPECT_EQ(m.m_nPropValue[kPropBrightness], 0);
    // An exposure outside the model's range is refused and the direction stays as it was.
    std::vector<uint8_t> image(16);
    int direction = 7;
    EXPECT_EQ(m.CheckCurrentExposure(image.data(), 0, 256, &direction), -1);
    EXPECT_EQ(m.CheckCurrentExposure(image.data(), 0, -1, &direction), -1);
    EXPECT_EQ(direction, 7);
    m.m_nExposureMin = 10;
    EXPECT_EQ(m.CheckCurrentExposure(image.data(), 0, 9, &direction), -1);
    EXPECT_EQ(direction, 7);
}

TEST(ScannerBase, DeviceTextIsReadWhereEachScannerTypeEmbedsIt) {
    TestModel m;
    const int w = 40, h = 30;
    std::vector<uint8_t> frame(size_t(w) * h);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t('A' + i % 26);
    struct Case {
        int type;
        std::function<uint8_t(int)> at;
    } cases[] = {
        {602, [&](int i) { return frame[size_t(6 + i)]; }},
        {501, [&](int i) { return frame[size_t(h - 2 - i) * w]; }},
        {502, [&](int i) { return frame[size_t(h - 2 - i) * w]; }},
        {401, [&](int i) { return frame[size_t(12 + i)]; }},
        {601, [&](int i) { return frame[size_t(12 + i)]; }},
    };
    for (const Case& c : cases) {
        m.m_nScannerType = c.type;
        m.GetDeviceInfo(frame.data(), w, h);
        for (int i = 0; i < 24; ++i) ASSERT_EQ(uint8_t(m.m_szDeviceText[i]), c.at(i)) << c.type << " byte " << i;
        EXPECT_EQ(m.m_szDeviceText[24], 0);
    }
}

TEST(AlgorithmCalls, NonZeroStatusBecomesMinus800MinusCode) {
    // A missing image is status 4 of CheckSensor2; a good call is 0.
    float mean = 0, var = 0, sat = 0;
    EXPECT_EQ(MM_CheckSensor2(10, 10, nullptr, &mean, &var, &sat), -804);
    EXPECT_EQ(MM_IsNewBackgroundClean(0, 10, nullptr, nullptr), -802);
    std::vector<uint8_t> image(64 * 64, 200);
    EXPECT_EQ(MM_PhotoShopCalibrateForeground(64, 64, image.data(), 70) <= 0, true);
    // Setters map the previous value like a status: the roll-back threshold stored before.
    MM_SetRollBackThreshold(0);
    EXPECT_EQ(MM_SetRollBackThreshold(7), 0);
    EXPECT_EQ(MM_SetRollBackThreshold(0), -807);
}

TEST(AlgorithmCalls, VideoProperty100FlagSelectsBackgroundMode3) {
    // Mode 3 and mode 0 differ on the same input: the flag must change what the library computes.
    std::vector<uint8_t> back(64 * 64, 250), a(64 * 64), b(64 * 64);
    for (size_t i = 0; i < a.size(); ++i) a[i] = b[i] = uint8_t(100 + (i * 37) % 120);
    auto backA = back, backB = back, backC = back;
    auto c = a;
    zarn::SetVideoProp100Flag(false);
    MM_CalibrateBackgroundSimple(0, 64, 64, backA.data(), a.data());
    zarn::SetVideoProp100Flag(true);
    MM_CalibrateBackgroundSimple(0, 64, 64, backB.data(), b.data());
    zarn::SetVideoProp100Flag(false);
    LiveScanAlg::CalibrateBackgroundSimple(3, 64, 64, backC.data(), c.data());
    EXPECT_EQ(b, c);
    EXPECT_EQ(backB, backC);
}

TEST(Detailer, InterleavesTheFourTaggedViews) {
    const int w = 6, h = 4;
    std::vector<std::vector<uint8_t>> views(4, std::vector<uint8_t>(size_t(w) * h));
    for (int v = 0; v < 4; ++v) {
        for (size_t i = 0; i < views[v].size(); ++i) views[v][i] = uint8_t(v * 50 + i);
        views[v][5] = uint8_t(129 + v);
    }
    BSRT* state = nullptr;
    // The second view first: its copy fills every cell until the others arrive.
    ASSERT_EQ(SR3(1, h, w, views[1].data(), &state), 0);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->width, 2 * w);
    EXPECT_EQ(state->height, 2 * h);
    EXPECT_EQ(state->pixels[size_t(1) * state->width + 0], views[1][0]);
    for (int v : {0, 2, 3}) ASSERT_EQ(SR3(0, h, w, views[v].data(), &state), 0);
    const int dy[4] = {1, 0, 0, 1}, dx[4] = {0, 0, 1, 1};
    for (int v = 0; v < 4; ++v)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(state->pixels[size_t(2 * y + dy[v]) * state->width + 2 * x + dx[v]], views[v][size_t(y) * w + x]);
    auto bad = views[0];
    bad[5] = 128;
    EXPECT_EQ(SR3(0, h, w, bad.data(), &state), 3);
    EXPECT_EQ(SR3(0, h, w, views[0].data(), nullptr), 1);
    // Through the algorithm-call layer a refusal is mapped.
    EXPECT_EQ(MM_SR3(1, h, w, bad.data(), &state), -803);
    SR3Release(&state);
    EXPECT_EQ(state, nullptr);
}
