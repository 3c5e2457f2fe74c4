// Quality evaluation of constructed images, their width and the grey-level patching.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "LiveScanAlg.h"

using namespace LiveScanAlg;

namespace {

using Image = std::vector<unsigned char>;

constexpr int kH = 1000;
constexpr int kW = 800;

void Rect(Image& image, int width, int x0, int y0, int x1, int y1, unsigned char value)
{
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) image[static_cast<size_t>(y) * width + x] = value;
    }
}

RectangleBlockInfoType Info(int height, int width)
{
    RectangleBlockInfoType info{};
    InitializeRectangleBlockInfo(height, width, 32, 32, &info);
    return info;
}

class ConstructQuality : public testing::Test {
protected:
    void SetUp() override { DestroyLiveScanParameter(); }
    void TearDown() override { DestroyLiveScanParameter(); }

    int Evaluate(Image& constructed, int frameCount = 10)
    {
        std::memset(&property, 0x77, sizeof property);
        return EvaluateConstructedImageQuality(Info(kH, kW), constructed.data(), constructed.data(),
                                               frameCount, &property);
    }

    MosaicImagePropertyType property{};
};

}  // namespace

TEST_F(ConstructQuality, EmptyImageIsTooNarrow)
{
    Image empty(static_cast<size_t>(kH) * kW, 0);
    EXPECT_EQ(Evaluate(empty), 32);
    MosaicImagePropertyType expected;
    std::memset(&expected, 0, sizeof expected);
    expected.ReservedFloat1 = 100.0f;
    EXPECT_EQ(std::memcmp(&property, &expected, sizeof expected), 0);
    // After MaxFrameNumber - 1 frames a narrow result means the roll was too slow.
    EXPECT_EQ(Evaluate(empty, 0x7fffffff - 1), 26);
    SetMaxFrameNumber(40);
    EXPECT_EQ(Evaluate(empty, 38), 32);
    EXPECT_EQ(Evaluate(empty, 39), 26);
}

TEST_F(ConstructQuality, MeasuresTheForegroundBox)
{
    Image image(static_cast<size_t>(kH) * kW, 0);
    Rect(image, kW, 200, 300, 600, 700, 77);  // 400 x 400
    EXPECT_EQ(Evaluate(image), 0);
    EXPECT_EQ(property.CentreX, 399);
    EXPECT_EQ(property.CentreY, 499);
    // The walks stop on the first row or column below the profile threshold, outside the box.
    EXPECT_EQ(property.LeftColumn, 199);
    EXPECT_EQ(property.RightColumn, 600);
    EXPECT_EQ(property.TopRow, 299);
    EXPECT_EQ(property.BottomRow, 700);
    EXPECT_EQ(property.ForegroundWidth, 402);
    EXPECT_EQ(property.ForegroundHeight, 402);
    EXPECT_EQ(property.ForegroundArea, 160000);
    EXPECT_FLOAT_EQ(property.MeanGrey, 77.0f);
    EXPECT_FLOAT_EQ(property.GreyVariance, 0.0f);
    EXPECT_EQ(property.LowestGrey, 77);
    EXPECT_EQ(property.HighestGrey, 77);
    EXPECT_FLOAT_EQ(property.ReservedFloat0, 0.0f);
    EXPECT_FLOAT_EQ(property.ReservedFloat1, 100.0f);
    EXPECT_EQ(property.ReservedInt, 0);
}

TEST_F(ConstructQuality, ForegroundReachingTheBorders)
{
    Image image(static_cast<size_t>(kH) * kW, 0);
    Rect(image, kW, 500, 800, kW, kH, 10);
    Evaluate(image);
    EXPECT_EQ(property.BottomRow, kH - 1);
    EXPECT_EQ(property.RightColumn, kW - 1);
    EXPECT_EQ(property.ForegroundHeight, kH - 1 - 799 + 1);
    EXPECT_EQ(property.ForegroundWidth, kW - 1 - 499 + 1);
}

TEST_F(ConstructQuality, VerdictTable)
{
    struct Case {
        const char* name;
        int x0, y0, x1, y1;
        int result;
    };
    const Case cases[] = {
        {"area exactly the minimum", 100, 400, 400, 700, 0},  // 300 x 300 = 90000
        {"narrow", 300, 300, 500, 700, 32},                   // 200 wide, 80000
        {"short, centre too low", 100, 850, 500, 950, 33},    // centre row 899 > 1000 - 300
        {"short, centre too high", 100, 100, 500, 200, 34},   // centre row 149 < 1000 - 700
        {"short, centre within the margins", 100, 500, 500, 600, 31},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image image(static_cast<size_t>(kH) * kW, 0);
        Rect(image, kW, c.x0, c.y0, c.x1, c.y1, 120);
        EXPECT_EQ(Evaluate(image), c.result);
    }
    // Tall and wide but hollow: too little area for its size.
    Image ring(static_cast<size_t>(kH) * kW, 0);
    Rect(ring, kW, 200, 300, 520, 620, 90);
    Rect(ring, kW, 215, 315, 505, 605, 0);
    EXPECT_EQ(Evaluate(ring), 29);
    EXPECT_LT(property.ForegroundArea, 90000);
    EXPECT_GE(property.ForegroundHeight, 300);
}

TEST_F(ConstructQuality, MissingArguments)
{
    Image image(64, 1);
    MosaicImagePropertyType p{};
    const RectangleBlockInfoType info = Info(8, 8);
    EXPECT_EQ(EvaluateConstructedImageQuality(info, nullptr, image.data(), 1, &p), 3);
    EXPECT_EQ(EvaluateConstructedImageQuality(info, image.data(), nullptr, 1, &p), 4);
    EXPECT_EQ(EvaluateConstructedImageQuality(info, image.data(), image.data(), 1, nullptr), 5);
    EXPECT_EQ(EvaluatePreviewConstructedImage(info, nullptr, image.data(), 0, &p), 3);
    EXPECT_EQ(EvaluatePreviewConstructedImage(info, image.data(), nullptr, 0, &p), 4);
    EXPECT_EQ(EvaluatePreviewConstructedImage(info, image.data(), image.data(), 0, nullptr), 5);
    int width = 0;
    EXPECT_EQ(CalculateConstructedImageWidth(8, 8, nullptr, &width), 2);
    EXPECT_EQ(CalculateConstructedImageWidth(8, 8, image.data(), nullptr), 2);
}

TEST_F(ConstructQuality, PreviewEvaluationWorksOnTheQuarterMask)
{
    const int qh = kH / 4, qw = kW / 4;
    Image mask(static_cast<size_t>(qh) * qw, 0);
    Rect(mask, qw, 50, 60, qw, 160, 1);  // reaches the right edge of the mask
    Image image(static_cast<size_t>(kH) * kW, 0);
    Rect(image, kW, 0, 0, kW, kH / 2, 30);
    Rect(image, kW, 0, kH / 2, kW, kH, 50);  // mask rows 60..124 over 30, 125..159 over 50
    MosaicImagePropertyType p;
    std::memset(&p, 0x55, sizeof p);
    ASSERT_EQ(EvaluatePreviewConstructedImage(Info(kH, kW), image.data(), mask.data(), 0, &p), 0);
    const int count = (qw - 50) * 100;
    EXPECT_EQ(p.ForegroundArea, 16 * count);
    EXPECT_EQ(p.LeftColumn, 4 * 49);
    EXPECT_EQ(p.RightColumn, 4 * qw);  // the walk found no end: the mask width
    EXPECT_EQ(p.TopRow, 4 * 59);
    EXPECT_EQ(p.BottomRow, 4 * 160);
    EXPECT_EQ(p.ForegroundWidth, 4 * (qw - 49));  // no + 1
    EXPECT_EQ(p.ForegroundHeight, 4 * (160 - 59));
    EXPECT_EQ(p.CentreX, 4 * ((50 + qw - 1) / 2));
    EXPECT_EQ(p.CentreY, 4 * ((60 + 159) / 2));
    EXPECT_EQ(p.LowestGrey, 30);
    EXPECT_EQ(p.HighestGrey, 50);
    EXPECT_FLOAT_EQ(p.MeanGrey, (65 * 30.0f + 35 * 50.0f) / 100.0f);
    EXPECT_FLOAT_EQ(p.ReservedFloat1, 100.0f);
}

TEST_F(ConstructQuality, ConstructedImageWidth)
{
    struct Case {
        const char* name;
        int x0, x1;
        int width;
    };
    const Case cases[] = {
        {"inside", 100, 300, 300 - 99},          // right = 300 (first empty), left = 99
        {"touching the right border", 500, kW, kW - 499},  // right = width
        {"touching the left border", 0, 200, 200},         // left = 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image image(static_cast<size_t>(kH) * kW, 0);
        Rect(image, kW, c.x0, 100, c.x1, 900, 200);
        int width = -1;
        EXPECT_EQ(CalculateConstructedImageWidth(kH, kW, image.data(), &width), 0);
        EXPECT_EQ(width, c.width);
    }
    // Nothing in the image: width 0 rather than a division by zero.
    Image empty(static_cast<size_t>(kH) * kW, 0);
    int width = -1;
    EXPECT_EQ(CalculateConstructedImageWidth(kH, kW, empty.data(), &width), 0);
    EXPECT_EQ(width, 0);
}

TEST(PatchArea, MatchesTheGreyLevelsOfOneRectangleToAnother)
{
    const int h = 40, w = 60;
    Image image(static_cast<size_t>(h) * w, 0);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>((i * 7) % 256);
    // The same rectangle twice: nothing changes.
    const Image original = image;
    EXPECT_EQ(PatchArea({5, 5}, {30, 20}, {5, 5}, {30, 20}, h, w, image.data()), 0);
    EXPECT_EQ(image, original);

    // A: halves 10 and 20; B: halves 100 and 200. A's levels map onto B's.
    Image two(static_cast<size_t>(h) * w, 0);
    Rect(two, w, 0, 0, 10, 10, 10);
    Rect(two, w, 0, 10, 10, 20, 20);
    Rect(two, w, 30, 0, 50, 10, 100);
    Rect(two, w, 30, 10, 50, 20, 200);
    EXPECT_EQ(PatchArea({0, 0}, {9, 19}, {30, 0}, {49, 19}, h, w, two.data()), 0);
    EXPECT_EQ(two[0], 100);
    EXPECT_EQ(two[static_cast<size_t>(15) * w + 5], 200);
    EXPECT_EQ(two[static_cast<size_t>(15) * w + 40], 200);  // B unchanged

    // Rectangles reaching outside the image are clipped; an empty one changes nothing.
    Image clipped = original;
    EXPECT_EQ(PatchArea({-10, -10}, {100, 100}, {-5, 0}, {200, 39}, h, w, clipped.data()), 0);
    EXPECT_EQ(clipped, original);  // both clip to the whole image
    EXPECT_EQ(PatchArea({50, 50}, {60, 60}, {0, 0}, {5, 5}, h, w, clipped.data()), 0);
    EXPECT_EQ(PatchArea({0, 0}, {5, 5}, {10, 10}, {5, 5}, h, w, clipped.data()), 0);
    EXPECT_EQ(clipped, original);
    EXPECT_EQ(PatchArea({0, 0}, {5, 5}, {0, 0}, {5, 5}, 0, w, nullptr), 0);
}
