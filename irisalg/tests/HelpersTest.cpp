#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "irisalg/IrisAlg.h"

using namespace irisalg;

TEST(Helpers, RectanglesAndCircles) {
    IrisRect r;
    SetIrisRect(&r, -5, 700, -3, 500);
    ClipIrisRect(&r, 480, 640);
    EXPECT_EQ(r.r0, 0);
    EXPECT_EQ(r.r1, 479);
    EXPECT_EQ(r.c0, 0);
    EXPECT_EQ(r.c1, 500);
    EXPECT_EQ(RectHeight(r), 480);
    EXPECT_EQ(SpanLength(5, 4), 0);
    EXPECT_EQ(SpanLength(5, 5), 1);
    EXPECT_EQ(SpanLength(-2147483647 - 1, 2147483647), 2147483647);  // saturates, no overflow
    IrisCircle c;
    SetIrisCircle(&c, 1, 2, 3);
    EXPECT_EQ(c.x + c.y * 10 + c.r * 100, 321);
    const IrisCircle d = SetIrisCircle(4, 5, 6);
    EXPECT_EQ(d.r, 6);
    int32_t pair[2];
    SetPair(pair, 7, 8);
    EXPECT_EQ(pair[1], 8);
}

TEST(Helpers, PadWrapsColumnsAndMirrorsRows) {
    const uint8_t row[4] = {1, 2, 3, 4};
    uint8_t out[8];
    ASSERT_EQ(Pad(row, 1, 4, 0, 2, out), 0);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{3, 4, 1, 2, 3, 4, 1, 2}));
    const uint8_t col[3] = {1, 2, 3};
    uint8_t o2[7];
    ASSERT_EQ(Pad(col, 3, 1, 2, 0, o2), 0);
    EXPECT_EQ(std::vector<uint8_t>(o2, o2 + 7), (std::vector<uint8_t>{2, 1, 1, 2, 3, 3, 2}));
    EXPECT_EQ(Pad(col, 3, 1, 4, 0, o2), kBadArgument);  // more pad rows than rows to mirror
    EXPECT_EQ(Pad(row, 1, 4, 0, 4, out), kBadArgument);
}

TEST(Helpers, LabellingCountsComponentsAndALoneSpot) {
    // Two diagonal pixels: two components with the 4-neighbourhood, one with the 8-neighbourhood.
    const uint8_t diag[4] = {255, 0, 0, 255};
    int32_t labels[4];
    EXPECT_EQ(LabelComponents(diag, 2, 2, labels, 0), 2);
    EXPECT_EQ(std::vector<int32_t>(labels, labels + 4), (std::vector<int32_t>{1, 0, 0, 2}));
    EXPECT_EQ(LabelComponents(diag, 2, 2, labels, 1), 1);
    EXPECT_EQ(std::vector<int32_t>(labels, labels + 4), (std::vector<int32_t>{1, 0, 0, 1}));
    // A U shape joins two provisional labels into one; numbering follows label order.
    const uint8_t u[12] = {255, 0, 255, 0, 255, 0, 255, 0, 255, 255, 255, 0};
    int32_t l2[12];
    EXPECT_EQ(LabelComponents(u, 4, 3, l2, 0), 1);
    EXPECT_EQ(l2[0], 1);
    EXPECT_EQ(l2[2], 1);
    // Beyond the last provisional label the pixels stay 0: a grid of 1250 isolated pixels.
    const int W = 100, H = 50;
    std::vector<uint8_t> dots(size_t(W) * H, 0);
    for (int y = 0; y < H; y += 2)
        for (int x = 0; x < W; x += 2) dots[size_t(y) * W + x] = 255;
    std::vector<int32_t> l3(dots.size());
    EXPECT_EQ(LabelComponents(dots.data(), W, H, l3.data(), 1), 1023);
    EXPECT_EQ(l3[size_t(40) * W + 44], 1023);
    EXPECT_EQ(l3[size_t(40) * W + 46], 0);
    std::vector<IrisRect> boxes(1023);
    ASSERT_EQ(ComponentBoxes(l3.data(), H, W, 1023, boxes.data()), 0);
    EXPECT_EQ(boxes[1].c0, 2);
    EXPECT_EQ(boxes[1].r1, 0);
}

TEST(Helpers, StretchThresholdAndHistogram) {
    std::vector<uint8_t> img(256);
    std::iota(img.begin(), img.end(), 0);
    std::vector<uint8_t> out(256);
    ASSERT_EQ(ContrastStretch(img.data(), 16, 16, 0, 1000, out.data()), 0);
    EXPECT_EQ(out, img);
    // A flat image has no range: every pixel keeps its level, no division by zero.
    std::vector<uint8_t> flat(64, 77);
    ASSERT_EQ(ContrastStretch(flat.data(), 8, 8, 100, 900, out.data()), 0);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 64), flat);
    // 10 % darkest to 0, 10 % brightest to 255.
    ASSERT_EQ(ContrastStretch(img.data(), 16, 16, 100, 900, out.data()), 0);
    EXPECT_EQ(out[20], 0);
    EXPECT_EQ(out[240], 255);
    EXPECT_EQ(out[128], (128 - 25) * 255 / (230 - 25));
    EXPECT_EQ(ContrastStretch(img.data(), 16, 16, 500, 500, out.data()), kBadArgument);
    ASSERT_EQ(Threshold(img.data(), 16, 16, 200, out.data()), 0);
    EXPECT_EQ(out[200], 0);
    EXPECT_EQ(out[201], 255);
    int32_t hist[256];
    ASSERT_EQ(Histogram(flat.data(), 8, 8, hist), 0);
    EXPECT_EQ(hist[77], 64);
}

TEST(Helpers, BoxFilterMatchesTheClippedWindowMean) {
    const int rows = 9, cols = 13;
    std::vector<uint8_t> img(size_t(rows) * cols);
    for (size_t i = 0; i < img.size(); ++i) img[i] = uint8_t((i * 37) % 251);
    for (auto [v, h] : {std::pair{0, 1}, std::pair{2, 3}, std::pair{5, 20}}) {
        std::vector<uint8_t> out(img.size());
        ASSERT_EQ(BoxFilter(img.data(), rows, cols, v, h, out.data()), 0);
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < cols; ++x) {
                int sum = 0, n = 0;
                for (int yy = std::max(0, y - v); yy <= std::min(rows - 1, y + v); ++yy)
                    for (int xx = std::max(0, x - h); xx <= std::min(cols - 1, x + h); ++xx) sum += img[size_t(yy) * cols + xx], ++n;
                ASSERT_EQ(out[size_t(y) * cols + x], sum / n) << v << " " << h << " at " << x << "," << y;
            }
    }
    std::vector<uint8_t> out(img.size());
    EXPECT_EQ(BoxFilter(img.data(), rows, cols, 0, 0, out.data()), kBadArgument);
}

TEST(Helpers, SignalsAndSamples) {
    const int32_t s[5] = {1, 4, 9, 16, 25};
    int32_t d[5];
    ASSERT_EQ(FirstDifference(s, 5, d), 0);
    EXPECT_EQ(std::vector<int32_t>(d, d + 5), (std::vector<int32_t>{3, 8, 12, 16, 9}));
    const int32_t k[3] = {1, 2, 1};
    ASSERT_EQ(Convolve1D(s, 5, k, 3, d), 0);
    EXPECT_EQ(std::vector<int32_t>(d, d + 5), (std::vector<int32_t>{1 + 2 + 4, 1 + 8 + 9, 4 + 18 + 16, 9 + 32 + 25, 16 + 50 + 25}));
    EXPECT_EQ(Convolve1D(s, 3, k, 3, d), kBadArgument);  // kernel as long as the signal
    const uint8_t img[4] = {0, 100, 200, 50};  // 2 x 2
    EXPECT_EQ(BilinearSample(img, 2, 2, 1 << 15, 1 << 15), (0 + 100 + 200 + 50) / 4);
    EXPECT_EQ(BilinearSample(img, 2, 2, -5 << 16, 9 << 16), 200);  // clamped to the corner
    int32_t ints[4] = {5, 6, 7, 8};
    const uint8_t mask[4] = {0, 1, 0, 0};
    const int32_t pts[8] = {0, 0, 1, 0, 1, 1, 9, 9};
    int64_t sum = 0;
    EXPECT_EQ(PointSample(ints, 2, 2, mask, pts, 4, &sum), 2);
    EXPECT_EQ(sum, 5 + 8);
    int idx = -1;
    EXPECT_EQ(ArgMax(s, 5, &idx), 25);
    EXPECT_EQ(idx, 4);
    uint8_t small[6];
    int r = 0, c = 0;
    const uint8_t big[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    ASSERT_EQ(DownSample(big, 4, 4, 2, small, &r, &c), 0);
    EXPECT_EQ(std::vector<uint8_t>(small, small + 4), (std::vector<uint8_t>{5, 7, 13, 15}));
    EXPECT_EQ(DownSample(big, 4, 4, 5, small, &r, &c), kBadArgument);
    // Dilation extends a run by the length before its rise and after its fall.
    const uint8_t line[7] = {0, 0, 0, 9, 0, 0, 0};
    uint8_t dil[7];
    ASSERT_EQ(DirectionalDilate(line, 7, 1, 0, 2, dil), 0);
    EXPECT_EQ(std::vector<uint8_t>(dil, dil + 7), (std::vector<uint8_t>{0, 9, 9, 9, 9, 9, 0}));
}

// The shared library exports its C interface and nothing of the internals.
TEST(Library, ExportsOnlyItsInterface) {
    void* lib = dlopen(TSK_IRIS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    for (const char* name : {"TskIris_Polyfit", "TskIris_Polyval", "TskIris_CircleFitting", "TskIris_FeatureEncode_Ex",
                             "TskIris_FeatureDecode_Ex", "TskIris_Free_IMF", "TskIris_GetVersion", "TskIris_Init",
                             "TskIris_Destroy", "TskIris_GetMaxFeatureSize", "TskIris_FExtractor",
                             "TskIris_FeatureExtract_Ex", "TskIris_Verify_Ex", "TskIris_Search_Ex", "TskIris_Location",
                             "TskIris_IrisQuality", "TskIris_QualityAnalysis", "TskIris_Detection_Create",
                             "TskIris_Detection_Destroy", "TskIris_Detection"})
        EXPECT_NE(dlsym(lib, name), nullptr) << name;
    const std::string cmd = std::string("nm -D --defined-only ") + TSK_IRIS_LIBRARY;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
        const std::string s(line);
        if (s.find(" T ") == std::string::npos) continue;
        EXPECT_NE(s.find(" TskIris_"), std::string::npos) << s;
    }
    pclose(p);
    dlclose(lib);
}
