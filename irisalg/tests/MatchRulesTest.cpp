// Matcher rules on codes built by hand: the mask byte of id 38's sixth variant (0x5A without a
// parameter) and the byte pairs it reads, the block count of id 39's default function, the mask row
// of id 41's quick check, the quick mode of verification, and the largest byte shift.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "TskIrisAPI.h"
#include "irisalg/IrisEncode.h"

using namespace irisalg;

namespace {

// Switches the encoder and the matcher on; the match variants and parameters a test sets last for
// the process (each test runs in a process of its own).
void SwitchOn() {
    int32_t on[128] = {};
    on[10] = on[20] = 1;
    ASSERT_EQ(TskIris_Init(nullptr, on, nullptr), 0);
}

// Sets a match variant word and its parameter word 20 places further on.
void SetMatchVariant(int word, int32_t variant, int32_t parameter) {
    int32_t o[128] = {};
    o[word] = variant, o[word + 20] = parameter;
    ASSERT_EQ(TskIris_Init(nullptr, o, nullptr), 0);
}

std::vector<uint8_t> Random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) b = uint8_t(rng());
    return v;
}

}  // namespace

// Probe and gallery share row 0; their row 1 differs in bits 0x18 of every byte, which 0x5A takes
// from row 0 and 0xA5 from row 1. The probe's odd bytes are the gallery's even bytes inverted, so
// its odd version matches nothing and the even version decides. All mask bits are set: with bits
// 0x18 from row 1, two of the eight bits of every byte differ, 7500; from row 0 none, 10000.
TEST(IrisLibrary, Id38SixthVariantDefaultMaskByteIs0x5A) {
    std::vector<uint8_t> gallery(1920, 0xFF), probe(1920, 0xFF);
    const auto code = Random(256, 3806);
    std::copy(code.begin(), code.end(), gallery.begin());
    for (int k = 0; k < 64; ++k) {
        const size_t even = size_t(2 * k), odd = even + 1;
        probe[even] = gallery[even];
        probe[128 + even] = uint8_t(gallery[128 + even] ^ 0x18);
        probe[odd] = uint8_t(~gallery[even]);
        probe[128 + odd] = uint8_t(~gallery[128 + even]);
    }
    const struct {
        int32_t parameter, score;
    } cases[] = {{0, 10000}, {0x5A, 10000}, {0xA5, 7500}, {0x18, 10000}, {0xE7, 7500}};
    SwitchOn();
    const FeatureKind* k38 = FindFeatureKind(38);
    ASSERT_NE(k38, nullptr);
    for (const auto& c : cases) {
        SetMatchVariant(73, 6, c.parameter);
        EXPECT_EQ(MatchFeature(k38, probe.data(), gallery.data(), 1920, 0), c.score) << std::hex << c.parameter;
    }
    TskIris_Destroy();
}

// The first byte pair counts like every other: the probe differs from the gallery only in byte 0 of
// row 0, so the even version's code byte 0 differs in the four bits of 0x5A. Rows of 64 bytes, the
// first 32 counted once: 4 of 768 bit units, (1 - trunc(4 x 32768 / 768) / 32768) x 10000 = 9948.
TEST(IrisLibrary, Id38SixthVariantReadsTheFirstBytePair) {
    std::vector<uint8_t> gallery(1920, 0xFF);
    const auto code = Random(256, 3807);
    std::copy(code.begin(), code.end(), gallery.begin());
    std::vector<uint8_t> probe = gallery;
    probe[0] = uint8_t(~probe[0]);
    SwitchOn();
    SetMatchVariant(73, 6, 0);
    EXPECT_EQ(MatchFeature(FindFeatureKind(38), probe.data(), gallery.data(), 1920, 0), 9948);
    TskIris_Destroy();
}

// Id 39's default function compares B blocks (code row k with mask row k), B = the parameter when
// 1..4, else 4, and returns their mean. The probe's row 0 equals the gallery's, rows 1..3 are
// inverted.
TEST(IrisLibrary, Id39DefaultComparesTheParametersBlockCount) {
    std::vector<uint8_t> gallery(1024, 0xFF);
    const auto code = Random(512, 3900);
    std::copy(code.begin(), code.end(), gallery.begin());
    std::vector<uint8_t> probe = gallery;
    for (size_t i = 128; i < 512; ++i) probe[i] = uint8_t(~probe[i]);
    const struct {
        int32_t parameter, score;
    } cases[] = {{1, 10000}, {2, 5000}, {3, 3333}, {4, 2500}, {0, 2500}, {5, 2500}};
    SwitchOn();
    const FeatureKind* k39 = FindFeatureKind(39);
    ASSERT_EQ(FeatureMatchVariant(k39), 0);
    for (const auto& c : cases) {
        SetMatchVariant(71, 0, c.parameter);  // 0 keeps the default function
        EXPECT_EQ(MatchFeature(k39, probe.data(), gallery.data(), 1024, 0), c.score) << c.parameter;
    }
    TskIris_Destroy();
}

// Id 41's quick check compares rows 0..3 under the mask row at byte 1920. Only byte 0 of that row
// is valid, and byte 0 of rows 0..3 is the one the probe keeps: the quick check gives 10000 and the
// full combination decides, as without the quick check (variant 1). Every other row and mask agree.
TEST(IrisLibrary, Id41QuickCheckReadsTheMaskRowAt1920) {
    std::vector<uint8_t> gallery = Random(1920, 4100);
    gallery.resize(2304, 0xFF);
    std::fill(gallery.begin() + 1921, gallery.begin() + 2048, 0x00);
    std::vector<uint8_t> probe = gallery;
    for (size_t i = 0; i < 512; ++i)
        if (i % 128 != 0) probe[i] = uint8_t(~probe[i]);
    SwitchOn();
    const FeatureKind* k41 = FindFeatureKind(41);
    ASSERT_EQ(FeatureMatchVariant(k41), 0);
    const int32_t quickFirst = MatchFeature(k41, probe.data(), gallery.data(), 2304, 0);
    SetMatchVariant(80, 1, 0);
    const int32_t combination = MatchFeature(k41, probe.data(), gallery.data(), 2304, 0);
    EXPECT_GT(combination, 5000);
    EXPECT_EQ(quickFirst, combination);
    TskIris_Destroy();
}

// Verification's quick mode is options word 0 = 1 (word 1 picks the feature, 0 the first): the
// first feature differs in every bit, the second is the same. Quick: 0 / 2; full: (0 + 10000) / 2.
TEST(IrisLibrary, VerifyQuickModeIsWordZero) {
    std::vector<uint8_t> gallery = Random(640, 3500);
    std::fill(gallery.begin() + 512, gallery.end(), 0xFF);
    std::vector<uint8_t> inverted = gallery;
    for (size_t i = 0; i < 512; ++i) inverted[i] = uint8_t(~inverted[i]);
    IMF probe{}, stored{};
    for (IMF* t : {&probe, &stored}) {
        t->count = 2;
        for (int i = 0; i < 2; ++i) t->id[i] = 35, t->version[i] = 0x02000000, t->length[i] = 640;
    }
    probe.data[0] = inverted.data(), probe.data[1] = gallery.data();
    stored.data[0] = gallery.data(), stored.data[1] = gallery.data();
    const struct {
        int32_t word0, word1, score;
    } cases[] = {{1, 0, 0}, {1, 1, 0}, {0, 1, 5000}, {2, 1, 5000}};
    SwitchOn();
    for (const auto& c : cases) {
        const int32_t options[4] = {c.word0, c.word1, 0, 0};
        int32_t score = -7;
        char err[64] = {};
        ASSERT_EQ(TskIris_Verify_Ex(&probe, &stored, &score, options, err), 0) << err;
        EXPECT_EQ(score, c.score) << c.word0 << " " << c.word1;
    }
    TskIris_Destroy();
}

// The shift search reaches W/2 - 1 bytes whatever larger shift is asked: a row turned by 63 bytes
// either way is found (its mask row as well), one turned by 64 is not.
TEST(IrisMatcher, LargestShiftIsHalfTheRowLessOne) {
    const std::vector<uint8_t> gallery = Random(128, 6300), mask(128, 0xFF);
    for (int turn : {63, 65, 64}) {  // 65 to the left is 63 to the right
        std::vector<uint8_t> probe = gallery;
        std::rotate(probe.begin(), probe.begin() + turn, probe.end());
        const int32_t score = MaskedHammingDistance(probe.data(), gallery.data(), mask.data(), mask.data(), {1, 100, 0, 128});
        if (turn != 64)
            EXPECT_EQ(score, 10000) << turn;
        else
            EXPECT_LT(score, 8000);
    }
}

// One row of 128 bytes, mode 0: the first 48 bytes count once, the other 80 twice, M = 1664 bit
// units. X differing bits among the first 48 bytes: ratio = trunc(X x 32768 / M) and the score
// trunc((1 - ratio / 32768) x 10000) in single precision; 3 bits: ratio 59, 9981.99; 218 bits:
// ratio 4292, 8690.19.
TEST(IrisMatcher, RatioAndScoreOfAMaskedComparison) {
    const std::vector<uint8_t> gallery = Random(128, 1664), mask(128, 0xFF);
    for (const auto& [bits, score] : {std::pair{3, 9981}, std::pair{218, 8690}}) {
        std::vector<uint8_t> probe = gallery;
        for (int i = 0; i < bits; ++i) probe[size_t(i / 8)] ^= uint8_t(1 << (i % 8));
        EXPECT_EQ(MaskedHammingDistance(probe.data(), gallery.data(), mask.data(), mask.data(), {1, 0, 0, 128}), score)
            << bits;
    }
}
