#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "IrisEyes.h"
#include "irisalg/Fft.h"

using namespace irisalg;

namespace {

std::vector<std::complex<double>> Dft(const std::vector<std::complex<double>>& x, int sign) {
    const int n = int(x.size());
    std::vector<std::complex<double>> y(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k)
        for (int j = 0; j < n; ++j)
            y[size_t(k)] += x[size_t(j)] * std::polar(1.0, sign * 2 * std::numbers::pi * double(j) * k / n);
    return y;
}

// A plain eye record: circles, no eyelids.
LocationResult Ring(int px, int py, int pr, int ix, int iy, int ir) {
    LocationResult r{};
    r.words[kWordPupilX] = px, r.words[kWordPupilY] = py, r.words[kWordPupilR] = pr;
    r.words[kWordIrisX] = ix, r.words[kWordIrisY] = iy, r.words[kWordIrisR] = ir;
    return r;
}

struct Eye {
    sim::EyeFrame frame = sim::RenderEyeFrame(iristest::Capture(3, false, 0));
    const uint8_t* pixels() const { return frame.image.pixels.data(); }
    int w() const { return frame.image.width; }
    int h() const { return frame.image.height; }
    LocationResult loc() const { return iristest::Location(frame.truth); }
};

}  // namespace

TEST(IrisFft, CoreMatchesTheDefinitionForEveryRadixMix) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1, 1);
    for (int n : {2, 4, 8, 16, 32, 64, 128, 512}) {
        for (int sign : {-1, 1}) {
            std::vector<std::complex<double>> x(static_cast<size_t>(n));
            for (auto& v : x) v = {u(rng), u(rng)};
            const auto want = Dft(x, sign);
            FftPlan plan(n, sign);
            plan.Run(x.data());
            for (int k = 0; k < n; ++k) ASSERT_LT(std::abs(x[size_t(k)] - want[size_t(k)]), 1e-9) << n << " " << k;
        }
    }
    EXPECT_EQ(IsPowerOfTwo(0), 0);
    EXPECT_EQ(IsPowerOfTwo(1), 1);
    EXPECT_EQ(IsPowerOfTwo(96), 0);
    EXPECT_EQ(Log2(0), -1);
    EXPECT_EQ(Log2(512), 9);
    EXPECT_EQ(Log2(513), 9);
}

TEST(IrisFft, CentredTransformsInvertAndCentreTheSpectrum) {
    // A constant image has all its energy at (rows/2, cols/2).
    std::vector<std::complex<float>> c(8 * 16, {3.0f, 0.0f});
    ASSERT_EQ(Forward2D(c.data(), 8, 16), 0);
    for (int i = 0; i < 8 * 16; ++i)
        EXPECT_NEAR(std::abs(c[size_t(i)]), i == 4 * 16 + 8 ? 3.0 * 128 : 0.0, 1e-3) << i;
    // A row wave of frequency 3 lands 3 places beside the centre.
    std::vector<std::complex<double>> row(32);
    for (int j = 0; j < 32; ++j) row[size_t(j)] = std::cos(2 * std::numbers::pi * 3 * j / 32);
    ASSERT_EQ(ForwardDouble2D(row.data(), 1, 32), 0);
    EXPECT_NEAR(std::abs(row[16 + 3]), 16.0, 1e-9);
    EXPECT_NEAR(std::abs(row[16 - 3]), 16.0, 1e-9);
    EXPECT_NEAR(std::abs(row[16]), 0.0, 1e-9);
    // Forward then inverse gives the input back; the sampled inverse agrees on its columns.
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-10, 10);
    std::vector<std::complex<float>> x(size_t(128) * 512);
    for (auto& v : x) v = {u(rng), u(rng)};
    auto y = x;
    ASSERT_EQ(Forward2D(y.data(), 128, 512), 0);
    auto z = y;
    ASSERT_EQ(Inverse2D(y.data(), 128, 512), 0);
    ASSERT_EQ(Inverse2DColumns(z.data(), 128, 512, 2, 4), 0);
    double worst = 0;
    for (size_t i = 0; i < x.size(); ++i) worst = std::max(worst, double(std::abs(y[i] - x[i])));
    EXPECT_LT(worst, 1e-3);
    for (int r = 0; r < 128; ++r)
        for (int c2 = 2; c2 < 512; c2 += 4) ASSERT_EQ(z[size_t(r) * 512 + c2], y[size_t(r) * 512 + c2]);
    // A column of n x 1 is transformed along the column only.
    std::vector<std::complex<double>> col(8, {1.0, 0.0});
    ASSERT_EQ(ForwardDouble2D(col.data(), 8, 1), 0);
    EXPECT_NEAR(std::abs(col[4]), 8.0, 1e-12);
}

TEST(IrisFft, RefusesSizesThatAreNotPowersOfTwo) {
    std::vector<std::complex<float>> x(size_t(100) * 512, {1.0f, 2.0f});
    testing::internal::CaptureStderr();
    EXPECT_EQ(Forward2D(x.data(), 100, 512), -1);
    EXPECT_EQ(Inverse2D(x.data(), 128, 500), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("fft: input array must have dimensions a power of 2"),
              std::string::npos);
    for (const auto& v : x) ASSERT_EQ(v, std::complex<float>(1.0f, 2.0f));
}

TEST(IrisUnwrap, TablesAndSamplingFollowTheCircles) {
    EXPECT_FLOAT_EQ(GridSine(1), -0.0123f);
    EXPECT_FLOAT_EQ(GridCosine(1), 0.9999f);
    EXPECT_FLOAT_EQ(GridRadius(0), 0.0f);
    EXPECT_FLOAT_EQ(GridRadius(1), 0.0159f);
    EXPECT_FLOAT_EQ(GridRadius(63), 1.0f);
    // An image that is bright only right of the centre and a ramp in x: column 0 of the grid looks
    // right (angle 0), column 128 up (the sine table is negated: rows grow downward).
    const int W = 200, H = 200;
    std::vector<uint8_t> img(size_t(W) * H);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) img[size_t(y) * W + x] = uint8_t(y < 60 ? 250 : x);
    const LocationResult loc = Ring(100, 100, 20, 100, 100, 60);
    std::vector<uint8_t> grid(size_t(kGridRows) * kGridCols, 77);
    ASSERT_EQ(UnwrapCircleImage(img.data(), H, W, loc, grid.data()), 0);
    EXPECT_EQ(grid[0], 120);                      // inner point (100 + 20, 100)
    EXPECT_EQ(grid[size_t(63) * kGridCols], 160);  // outer point (160, 100)
    EXPECT_EQ(grid[size_t(63) * kGridCols + 128], 250);  // (100, 40): the bright band above
    EXPECT_EQ(grid[size_t(63) * kGridCols + 384], 100);  // (100, 160) below
    // A circle past the image edge samples the edge pixels with the full weight on the far one.
    const LocationResult edge = Ring(100, 100, 20, 100, 100, 150);
    ASSERT_EQ(UnwrapCircleImage(img.data(), H, W, edge, grid.data()), 0);
    EXPECT_EQ(grid[size_t(63) * kGridCols], 199);  // clamped to column 199
    // Mask: all four neighbours must be 1; one 0 pixel clears the cell that reads it.
    std::vector<uint8_t> mask(size_t(W) * H, 1);
    mask[size_t(100) * W + 139] = 0;  // (x 139, y 100) on the ray at angle 0
    ASSERT_EQ(UnwrapCircleMask(mask.data(), H, W, loc, grid.data()), 0);
    const int j = 31;  // radius 20 + 40 * 0.4921: column 139.68, the cell of columns 139 and 140
    EXPECT_EQ(grid[size_t(j) * kGridCols], 0);
    EXPECT_EQ(grid[size_t(j) * kGridCols + 256], 1);
    // Bilinear unwrapping of the same mask would round that cell to 1.
    ASSERT_EQ(UnwrapCircleImage(mask.data(), H, W, loc, grid.data()), 0);
    EXPECT_EQ(grid[size_t(j) * kGridCols], 1);
}

TEST(IrisUnwrap, EyelidMaskKeepsTheRowsBetweenPresentLids) {
    const int W = 50, H = 40;
    std::vector<uint8_t> mask(size_t(W) * H, 9);
    LocationResult loc = Ring(25, 20, 5, 25, 20, 15);
    int32_t* up = loc.words + kWordUpperLid;
    int32_t* low = loc.words + kWordLowerLid;
    up[0] = 25, up[1] = 10, up[2] = 50, up[3] = 3500;
    low[0] = 25, low[1] = 30, low[2] = -50, low[3] = 3500;
    ASSERT_EQ(BuildEyelidMask(mask.data(), H, W, loc), 0);
    for (uint8_t v : mask) ASSERT_EQ(v, 1);  // scores below 3501: no lid
    up[3] = low[3] = 3501;
    ASSERT_EQ(BuildEyelidMask(mask.data(), H, W, loc), 0);
    // Column 25: rows 11..29; column 45: upper 10 + 400/50 = 18, lower 30 - 400/50 = 22.
    for (int y = 0; y < H; ++y) {
        EXPECT_EQ(mask[size_t(y) * W + 25], y > 10 && y < 30 ? 1 : 0) << y;
        EXPECT_EQ(mask[size_t(y) * W + 45], y > 18 && y < 22 ? 1 : 0) << y;
    }
    low[3] = 0;  // the upper lid alone
    ASSERT_EQ(BuildEyelidMask(mask.data(), H, W, loc), 0);
    EXPECT_EQ(mask[size_t(H - 1) * W + 25], 1);
    EXPECT_EQ(mask[size_t(10) * W + 25], 0);
}

TEST(IrisFrequencyEncoder, CodesTheSelectedFiltersAndChecksItsInput) {
    ASSERT_EQ(BuildFrequencyFilterBank(), 0);
    Eye eye;
    LocationResult loc = eye.loc();
    loc.words[kWordParameter] = 1;
    std::vector<uint8_t> out(2048, 0xA5);
    ASSERT_EQ(EncodeFrequencyFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &loc, out.data()), 2048);
    for (int i = 128; i < 1920; ++i) ASSERT_EQ(out[size_t(i)], 0xA5) << i;
    int ones = 0;
    for (int i = 0; i < 128; ++i) ones += std::popcount(unsigned(out[size_t(i)]));
    EXPECT_GT(ones, 300);  // a textured iris: about half the bits set
    EXPECT_LT(ones, 724);
    // The upper lid covers the top of the iris: the outer mask bit near 90 degrees (column 130 of
    // 512, byte 32) is 0, while the iris right of the pupil (byte 0) is usable.
    EXPECT_EQ(out[1920 + 32] & 0x01, 0);
    EXPECT_NE(out[1920 + 0], 0);
    // Two filters share an inverse transform (the real parts come back as real and imaginary
    // parts): filter 0 codes the same either way, up to values within rounding of 0.
    const std::vector<uint8_t> alone(out.begin(), out.begin() + 128);
    loc.words[kWordParameter] = 32767;
    ASSERT_EQ(EncodeFrequencyFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &loc, out.data()), 2048);
    int differ = 0;
    for (int i = 0; i < 128; ++i) differ += std::popcount(unsigned(alone[size_t(i)] ^ out[size_t(i)]));
    EXPECT_LE(differ, 2);
    // The last filter (14, unpaired) and filter 13 (paired with 12) both code texture.
    for (int k : {13, 14}) {
        int set = 0;
        for (int i = 0; i < 128; ++i) set += std::popcount(unsigned(out[size_t(128 * k + i)]));
        EXPECT_GT(set, 200) << k;
        EXPECT_LT(set, 824) << k;
    }

    testing::internal::CaptureStdout();
    LocationResult bad = loc;
    bad.words[kWordIrisR] = bad.words[kWordPupilR] + 5;
    EXPECT_EQ(EncodeFrequencyFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &bad, out.data()), kBadArgument);
    bad.words[kWordIrisR] = bad.words[kWordPupilR] + 6;
    EXPECT_EQ(EncodeFrequencyFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &bad, out.data()), 2048);
    bad = loc;
    bad.words[kWordUpperLid + 2] = 0;  // a present lid without divisor
    EXPECT_EQ(EncodeFrequencyFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &bad, out.data()), kBadArgument);
    bad.words[kWordUpperLid + 3] = 3500;  // an absent lid needs none
    EXPECT_EQ(EncodeFrequencyFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &bad, out.data()), 2048);
    bad = loc;
    bad.words[kWordParameter] = 0x8000;
    EXPECT_EQ(EncodeFrequencyFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &bad, out.data()), -1);
    EXPECT_EQ(EncodeFrequencyFeature(eye.pixels(), 2048, 1025, nullptr, &loc, out.data()), kBadArgument);
    EXPECT_EQ(EncodeFrequencyFeature(nullptr, eye.h(), eye.w(), nullptr, &loc, out.data()), kBadArgument);
    const std::string said = testing::internal::GetCapturedStdout();
    for (const char* m : {"The parameters of outer circle are illegal.", "The parameters of eyelid parabola are illegal.",
                          "There is an error when execute calculation filter index.",
                          "ERROR!  The size original iris image must be smaller than (2*1024*1024).",
                          " ERROR!  There are some input pointers point to NULL."})
        EXPECT_NE(said.find(m), std::string::npos) << m;
}

TEST(IrisFrequencyEncoder, FilterBankFollowsTheLogGaborFormula) {
    ASSERT_EQ(BuildFrequencyFilterBank(), 0);
    const double sigma = std::exp(-0.25 * 1.8 * std::sqrt(2 * std::log(2.0)));
    const auto value = [&](int k, int i, int j) {
        const int s = k / 5, o = k % 5;
        const double f0 = 1 / (10 * std::pow(std::sqrt(3.0), s)), theta0 = (o - 2) * std::numbers::pi / 8;
        const double v = i / 128.0 - 0.5, u = j / 512.0 - 0.5, r = std::hypot(u, v);
        const double R = r > 0 ? std::exp(-std::pow(std::log(r / f0), 2) / (2 * std::pow(std::log(sigma), 2))) : 0;
        double d = std::atan2(-v, u) - theta0;
        d = std::atan2(std::sin(d), std::cos(d));
        return R * std::exp(-d * d / (2 * 0.35 * 0.35));
    };
    const int samples[][3] = {{0, 64, 307}, {7, 60, 290}, {14, 70, 270}, {12, 64, 256}, {4, 50, 300}};
    for (const auto& p : samples)
        EXPECT_NEAR(FrequencyFilter(p[0])[p[1] * 512 + p[2]], value(p[0], p[1], p[2]), 1e-5) << p[0];
    EXPECT_GT(FrequencyFilter(0)[64 * 512 + 307], 0.05f);  // the sample lies in the filter's band
}

TEST(IrisFrequencyEncoder, AcceptsTheLargestImage) {
    std::vector<uint8_t> big(size_t(2048) * 1024, 90);
    LocationResult loc = Ring(500, 500, 40, 500, 500, 120);
    loc.words[kWordParameter] = 1;
    std::vector<uint8_t> out(2048);
    EXPECT_EQ(EncodeFrequencyFeature(big.data(), 1024, 2048, nullptr, &loc, out.data()), 2048);
    // Without lids the whole ring is usable.
    for (int i = 1920; i < 2048; ++i) ASSERT_EQ(out[size_t(i)], 0xFF);
}

TEST(IrisExtremumEncoder, ExtremaRunsAndLayout) {
    // Rises from sample 0 to a maximum at 100, falls to a minimum at 300 with a plateau 200..210.
    std::vector<double> d(512);
    for (int i = 0; i < 512; ++i) d[size_t(i)] = i <= 100 ? i : i <= 200 ? 200 - i : i <= 210 ? 0 : i <= 300 ? 210 - i : i - 390;
    int M[512], m[512], n = 0;
    ASSERT_EQ(FindExtremumPoints(d.data(), M, m, &n), 0);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(M[0], 100);
    EXPECT_EQ(m[0], 300);
    // The plateau's step sits at its middle and counts as no extremum: the run code rises from 0.
    std::vector<uint8_t> code(512);
    RunCode(M, m, n, code.data());
    for (int i = 0; i < 512; ++i) ASSERT_EQ(code[size_t(i)], (i <= 100 || i >= 300) ? 1 : 0) << i;
    // A plateau at the top: the maximum sits at the middle of the flat run.
    for (int i = 0; i < 512; ++i) d[size_t(i)] = i <= 100 ? i : i <= 120 ? 100 : 220 - i;
    ASSERT_EQ(FindExtremumPoints(d.data(), M, m, &n), 0);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(M[0], 110);
    EXPECT_EQ(m[0], 511);
    // A flat row has no extrema: all 0.
    std::vector<double> flat(512, 1.0);
    ASSERT_EQ(FindExtremumPoints(flat.data(), M, m, &n), 0);
    RunCode(M, m, n, code.data());
    for (uint8_t v : code) ASSERT_EQ(v, 0);

    Eye eye;
    LocationResult loc = eye.loc();
    std::vector<uint8_t> out(2048);
    ASSERT_EQ(EncodeExtremumFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &loc, out.data()), 512);
    // Mask of the outer band 7 (bit 0) at columns 2 and 130 (angles 1.4 and 91.4 degrees): usable
    // where the truth puts all six of its grid rows between the lids.
    const auto usable = [&](int column, int firstRow) {
        const sim::EyeTruth& t = eye.frame.truth;
        for (int j = firstRow; j < firstRow + 6; ++j) {
            const double a = 2 * std::numbers::pi * column / 512, f = j / 63.0;
            const double r = (1 - f) * t.pupil.r + f * t.iris.r;
            const double x = (1 - f) * t.pupil.x + f * t.iris.x + r * std::cos(a);
            const double y = (1 - f) * t.pupil.y + f * t.iris.y - r * std::sin(a);
            if (!(y > t.upperLid.at(x) + 1 && y < t.lowerLid.at(x) - 1)) return 0;
        }
        return 1;
    };
    EXPECT_EQ(out[384 + 32] & 0x01, usable(130, 42));
    EXPECT_EQ(out[384 + 0] & 0x01, usable(2, 42));
    EXPECT_NE(usable(130, 42), usable(2, 42));  // the eye shows both cases
    EXPECT_EQ(out[384 + 0] >> 7, usable(2, 0));  // band 0 (rows 0..5) in bit 7
    EXPECT_EQ(usable(2, 0), 1);
    testing::internal::CaptureStdout();
    LocationResult bad = loc;
    bad.words[kWordIrisR] = loc.words[kWordPupilR] + 5;
    EXPECT_EQ(EncodeExtremumFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &bad, out.data()), kBadArgument);
    bad.words[kWordIrisR] = loc.words[kWordPupilR] + 6;
    EXPECT_EQ(EncodeExtremumFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &bad, out.data()), 512);
    bad = loc;
    bad.words[kWordLowerLid + 2] = 0;
    bad.words[kWordLowerLid + 3] = 3501;  // present without a divisor
    EXPECT_EQ(EncodeExtremumFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &bad, out.data()), kBadArgument);
    bad = loc;
    bad.words[kWordPupilX] = 1;  // the smallest accepted centre column
    EXPECT_EQ(EncodeExtremumFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &bad, out.data()), 512);
    bad.words[kWordPupilX] = 0;
    EXPECT_EQ(EncodeExtremumFeature(eye.pixels(), eye.h(), eye.w(), nullptr, &bad, out.data()), kBadArgument);
    EXPECT_EQ(EncodeExtremumFeature(eye.pixels(), 3, 699051, nullptr, &loc, out.data()), kBadArgument);  // 2097153 pixels
    EXPECT_NE(testing::internal::GetCapturedStdout().find("The parameters of outer circle are illegal."), std::string::npos);
}

TEST(IrisBandCode, FilterBankAndLengths) {
    int16_t k[63 * 63];
    int r = 0, c = 0;
    ASSERT_EQ(MakeOddGaborKernel(2.3 * 4.8, 0, 4.8, 4.8, k, &r, &c), 0);
    EXPECT_EQ(r, 21);
    EXPECT_EQ(c, 21);
    EXPECT_EQ(k[10 * 21 + 10], 0);                 // odd: zero at the centre
    EXPECT_EQ(k[10 * 21 + 12], -k[10 * 21 + 8]);   // and antisymmetric along u
    EXPECT_EQ(MakeOddGaborKernel(0.9, 0, 4, 4, k, &r, &c), kBadArgument);
    EXPECT_EQ(MakeOddGaborKernel(10, 0, 0.2, 4, k, &r, &c), kBadArgument);
    EXPECT_EQ(BandFilterPoolSize(), 37960);

    Eye eye;
    struct Case {
        int32_t mask;
        int length;
    } cases[] = {{0xFFF000, 1664}, {0xFF, 1152}, {0xF00, 640}};
    std::vector<uint8_t> out(102400), again(102400);
    for (const Case& cs : cases) {
        LocationResult loc = eye.loc();
        loc.words[kWordParameter] = cs.mask;
        ASSERT_EQ(ExtractBandCode(eye.pixels(), eye.h(), eye.w(), nullptr, loc, out.data()), cs.length);
        EXPECT_EQ(loc.words[kWordBandParams], 80);
        EXPECT_EQ(loc.words[kWordValidated], 1);
        LocationResult second = eye.loc();
        second.words[kWordParameter] = cs.mask;
        ASSERT_EQ(ExtractBandCode(eye.pixels(), eye.h(), eye.w(), nullptr, second, again.data()), cs.length);
        EXPECT_EQ(std::memcmp(out.data(), again.data(), size_t(cs.length)), 0);
    }
}

TEST(IrisBandCode, GeometryAndBandChecks) {
    struct Case {
        const char* what;
        void (*edit)(LocationResult&);
        bool ok;
    } cases[] = {
        {"defaults", [](LocationResult&) {}, true},
        {"pupil radius 9", [](LocationResult& l) { l.words[kWordPupilR] = 9, l.words[kWordIrisR] = 40; }, false},
        {"pupil radius 10", [](LocationResult& l) { l.words[kWordPupilR] = 10, l.words[kWordIrisR] = 40; }, true},
        {"iris exactly 1.1 pupil", [](LocationResult& l) { l.words[kWordIrisR] = 44; }, true},
        {"iris below 1.1 pupil", [](LocationResult& l) { l.words[kWordIrisR] = l.words[kWordPupilR] * 11 / 10 - 1; }, false},
        {"centres a radius apart", [](LocationResult& l) { l.words[kWordIrisX] = l.words[kWordPupilX] + l.words[kWordPupilR]; }, false},
        {"pupil outside the image", [](LocationResult& l) { l.words[kWordPupilX] = 400; }, false},
        {"no filter", [](LocationResult& l) { l.words[kWordParameter] = 0x1000000; }, false},
        {"code rows 12", [](LocationResult& l) { l.words[kWordBandParams + 3] = 12; }, false},
        {"first row 20", [](LocationResult& l) { l.words[kWordBandParams + 4] = 20; }, true},
        {"first row 24 reaches the last band row", [](LocationResult& l) { l.words[kWordBandParams + 4] = 24; }, false},
        {"first row 25", [](LocationResult& l) { l.words[kWordBandParams + 4] = 25; }, false},
        {"300 angles", [](LocationResult& l) { l.words[kWordBandParams + 1] = 300; }, false},
        {"points flag without 512 points", [](LocationResult& l) { l.words[kWordContourFlag] = 1; }, false},
    };
    for (const Case& c : cases) {
        LocationResult loc = Ring(200, 160, 40, 201, 160, 110);
        loc.words[kWordParameter] = 0xFF;
        c.edit(loc);
        uint8_t flags[24];
        EXPECT_EQ(CheckBandCodeParams(loc, 320, 400, flags) == 0, c.ok) << c.what;
    }
    // A sample outside the image has mask bit 0; with lid scores at 3500 no lid limits the map.
    std::vector<uint8_t> img(size_t(400) * 320, 100), out(1152);
    LocationResult loc = Ring(200, 60, 40, 200, 60, 110);  // the top of the iris lies above the image
    loc.words[kWordParameter] = 0xFF;
    loc.words[kWordUpperLid] = 200, loc.words[kWordUpperLid + 1] = 150, loc.words[kWordUpperLid + 2] = 50, loc.words[kWordUpperLid + 3] = 3500;
    ASSERT_EQ(ExtractBandCode(img.data(), 320, 400, nullptr, loc, out.data()), 1152);
    const uint8_t* mask = out.data() + 1024;
    // Column j lies at 22.5 + 2.8125 (2 + 4 j) / 4 ... degrees: column 24 is near 90 degrees (up).
    EXPECT_EQ(mask[24] & 0x01, 0);     // outermost code row above the image
    EXPECT_EQ(mask[24] & 0x80, 0x80);  // innermost inside it
    EXPECT_EQ(mask[88], 0xFF);         // below the pupil: all inside, no lid
}

TEST(IrisRingCode, SizeLimitsPointsAndOcclusion) {
    Eye eye;
    std::vector<uint8_t> out(2048);
    LocationResult loc = eye.loc();
    ASSERT_EQ(ExtractRingCode(eye.pixels(), eye.w(), eye.h(), nullptr, loc, out.data()), 1152);
    const std::vector<uint8_t> circleCode(out.begin(), out.begin() + 1152);
    // The upper lid covers the top: ring column 64 (90 degrees) is grid column 31/32, masked.
    EXPECT_EQ(out[1024 + 32] & 0x01, 0);
    EXPECT_NE(out[1024 + 0], 0);
    std::vector<uint8_t> wide(size_t(1601) * 20, 100);
    EXPECT_EQ(ExtractRingCode(wide.data(), 1601, 20, nullptr, loc, out.data()), -1);
    std::vector<uint8_t> flat(size_t(1600) * 400, 100);
    LocationResult centred = Ring(800, 200, 40, 800, 200, 110);
    centred.words[kWordParameter] = 255;
    ASSERT_EQ(ExtractRingCode(flat.data(), 1600, 400, nullptr, centred, out.data()), 1152);
    // A flat ring (a map that marks nothing) has no sign anywhere and is usable everywhere.
    const std::vector<uint8_t> noMarks(flat.size(), 0);
    ASSERT_EQ(ExtractRingCode(flat.data(), 1600, 400, noMarks.data(), centred, out.data()), 1152);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(out[size_t(i)], 0) << i;
    for (int i = 1024; i < 1152; ++i) ASSERT_EQ(out[size_t(i)], 0xFF) << i;
    centred.words[kWordContourCount] = 300;
    EXPECT_EQ(ExtractRingCode(flat.data(), 1600, 400, nullptr, centred, out.data()), -1);
    // 512 boundary points on a circle are taken every second one and code like the circle.
    LocationResult points = loc;
    points.words[kWordContourFlag] = 1;
    points.words[kWordContourCount] = 512;
    for (int i = 0; i < 512; ++i) {
        const double a = 2 * std::numbers::pi * i / 512;
        points.words[kWordContourX + i] = int32_t(std::lround(loc.words[kWordPupilX] + loc.words[kWordPupilR] * std::cos(a)));
        points.words[kWordContourX + 512 + i] = int32_t(std::lround(loc.words[kWordPupilY] - loc.words[kWordPupilR] * std::sin(a)));
    }
    std::vector<uint8_t> fromPoints(2048);
    ASSERT_EQ(ExtractRingCode(eye.pixels(), eye.w(), eye.h(), nullptr, points, fromPoints.data()), 1152);
    int differ = 0;
    for (int i = 0; i < 1152; ++i) differ += std::popcount(unsigned(circleCode[size_t(i)] ^ fromPoints[size_t(i)]));
    EXPECT_LT(differ, 1152 * 8 / 10);
}
