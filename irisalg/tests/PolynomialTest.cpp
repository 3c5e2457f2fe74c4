#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "TskIrisAPI.h"
#include "irisalg/IrisAlg.h"

using namespace irisalg;

TEST(Records, AlignedBlocksKeepTheirDistanceAndCopyTheSource) {
    for (size_t align : {0u, 4u, 8u, 16u, 255u}) {
        const uint8_t src[5] = {1, 2, 3, 4, 5};
        auto* p = static_cast<uint8_t*>(IrisAlignedAlloc(5, align, src));
        ASSERT_NE(p, nullptr);
        const size_t a = align ? align : 4;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % a, 0u);
        EXPECT_GE(p[-1], 1);
        EXPECT_LE(p[-1], a);
        EXPECT_EQ(std::vector<uint8_t>(p, p + 5), std::vector<uint8_t>(src, src + 5));
        IrisAlignedFree(p);
    }
    EXPECT_EQ(IrisAlignedAlloc(4, 256), nullptr);  // the distance must fit one byte
    IrisAlignedFree(nullptr);
}

TEST(Polynomial, EvaluatesAndConvertsTheFixedPointForm) {
    const int words[3] = {32, 0, 2097152};
    EXPECT_DOUBLE_EQ(PolyvalCore(words, 2, 3), 10.0);
    EXPECT_DOUBLE_EQ(PolyvalCore(words, -1, 3), 0.0);
    EXPECT_DOUBLE_EQ(TskIris_Polyval(nullptr, 2, 3), -1.0);
    EyelidCurve c;
    c.vertexX = 100, c.vertexY = 50, c.divisor = 400, c.score = 4100;
    int out[4];
    ASSERT_EQ(VertexFormToPolynomial(&c, out), 0);
    EXPECT_EQ(std::vector<int>(out, out + 4), (std::vector<int>{2400, -4096, 5243, 4100}));
    c.divisor = -400;  // a lower lid rounds away from zero too
    ASSERT_EQ(VertexFormToPolynomial(&c, out), 0);
    EXPECT_EQ(std::vector<int>(out, out + 3), (std::vector<int>{800, 4096, -5243}));
    c.divisor = 0;
    EXPECT_EQ(VertexFormToPolynomial(&c, out), kBadArgument);
    // And back: the vertex form survives the round trip.
    c.divisor = 400;
    VertexFormToPolynomial(&c, out);
    EyelidCurve back;
    ASSERT_EQ(PolynomialToVertexForm(out, 2, 0, 200, &back), 0);
    EXPECT_EQ(back.vertexX, 100);
    EXPECT_EQ(back.vertexY, 50);
    EXPECT_NEAR(back.divisor, 400, 1);
    EXPECT_EQ(back.score, 4100);
}

TEST(Polynomial, FitsPointsAndRefusesWhatCannotBeFitted) {
    const int x[3] = {10, 20, 30}, y[3] = {5, 2, 7};
    int w[4];
    ASSERT_EQ(PolyfitCore(x, y, 3, 2, w), 0);
    EXPECT_EQ(w[3], 4000);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(PolyvalCore(w, 2, x[i]), y[i], 0.01);
    EXPECT_EQ(PolyfitCore(x, y, 2, 2, w), kBadArgument);  // n equal to the degree
    EXPECT_EQ(PolyfitCore(nullptr, y, 3, 2, w), kBadArgument);
    EXPECT_EQ(PolyfitCore(x, nullptr, 3, 2, w), kBadArgument);
    EXPECT_EQ(PolyfitCore(x, y, 3, 2, nullptr), kBadArgument);
    EXPECT_EQ(PolyfitCore(x, y, 3, -1, w), kBadArgument);
    EXPECT_EQ(TskIris_Polyfit(nullptr, y, 3, 2, w), -1);
    // Coefficients beyond 32 bits saturate and say so.
    const int bx[3] = {0, 1, 2}, by[3] = {0, 100000000, 0};
    ASSERT_EQ(PolyfitCore(bx, by, 3, 2, w), kNotFound);
    EXPECT_EQ(w[0], 0);
    EXPECT_EQ(w[1], 2147483647);
    EXPECT_EQ(w[2], -2147483647);
    // A line has no vertex; a span under 20 columns is refused and clears the output.
    const int line[4] = {32, 8192, 0, 3000};
    EyelidCurve c;
    c.vertexX = 7;
    EXPECT_EQ(PolynomialToVertexForm(line, 2, 0, 100, &c), kNotFound);
    EXPECT_EQ(PolynomialToVertexForm(line, 1, 0, 100, &c), kNotFound);
    EXPECT_EQ(PolynomialToVertexForm(line, 2, 0, 19, &c), kBadArgument);
    const int para[4] = {32 * 5, 0, 2097152 / 64, 3000};
    EXPECT_EQ(PolynomialToVertexForm(para, 2, 0, 20, &c), 0);  // a span of exactly 20 is enough
    EXPECT_EQ(c.divisor, 64);
    EXPECT_EQ(c.vertexX, 0);
    // A cubic is refitted as a parabola over 20 samples.
    const int cubic[5] = {32 * 50, 0, 2097152 / 100, 0, 3600};
    ASSERT_EQ(PolynomialToVertexForm(cubic, 3, -60, 60, &c), 0);
    EXPECT_NEAR(c.vertexX, 0, 1);
    EXPECT_NEAR(c.vertexY, 50, 1);
    EXPECT_NEAR(c.divisor, 100, 2);
    EXPECT_EQ(c.score, 3600);
}

TEST(Polynomial, SolvesWithPivotingAndAFloorOnZeroPivots) {
    // The first pivot is 0: rows must swap.
    double a[4] = {0, 1, 2, 1}, b[2] = {3, 4}, x[2];
    ASSERT_EQ(SolveLinearSystem(2, a, b, x), 0);
    EXPECT_NEAR(x[0], 0.5, 1e-12);
    EXPECT_NEAR(x[1], 3.0, 1e-12);
    EXPECT_EQ(SolveLinearSystem(0, a, b, x), kBadArgument);
    EXPECT_EQ(SolveLinearSystem(2, nullptr, b, x), kBadArgument);
    EXPECT_EQ(SolveLinearSystem(2, a, nullptr, x), kBadArgument);
    EXPECT_EQ(SolveLinearSystem(2, a, b, nullptr), kBadArgument);
}

TEST(CircleFitting, FindsCirclesFarFromTheOriginAndRefusesLines) {
    struct Case {
        int cx, cy, r;
    } cases[] = {{320, 240, 50}, {2000, 1500, 300}, {-40, 700, 120}};
    for (const auto& c : cases) {
        std::vector<int32_t> x, y;
        for (int k = 0; k < 36; ++k) {
            x.push_back(int32_t(std::lround(c.cx + c.r * std::cos(k * 0.1745))));
            y.push_back(int32_t(std::lround(c.cy + c.r * std::sin(k * 0.1745))));
        }
        int32_t cx, cy, r;
        ASSERT_EQ(TskIris_CircleFitting(x.data(), y.data(), 36, &cx, &cy, &r), 0);
        EXPECT_NEAR(cx, c.cx, 1);
        EXPECT_NEAR(cy, c.cy, 1);
        EXPECT_NEAR(r, c.r, 1);
    }
    const int32_t lx[4] = {0, 10, 20, 30}, ly[4] = {5, 5, 5, 5};
    int32_t cx = 9, cy = 9, r = 9;
    EXPECT_EQ(TskIris_CircleFitting(lx, ly, 4, &cx, &cy, &r), -1);
    EXPECT_EQ(cx | cy | r, 0);
    EXPECT_EQ(TskIris_CircleFitting(lx, ly, 2, &cx, &cy, &r), -1);
}
