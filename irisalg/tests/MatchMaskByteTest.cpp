// The mask byte of id 38's sixth match variant: a code byte takes the mask byte's bits from row 0
// and the other bits from row 1. Without a parameter the mask byte is 0x5A.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "TskIrisAPI.h"
#include "irisalg/IrisEncode.h"

using namespace irisalg;

// Probe and gallery share row 0; their row 1 differs in bits 0x18 of every byte, which 0x5A takes
// from row 0 and 0xA5 from row 1. The probe's odd bytes are the gallery's even bytes inverted, so
// its odd version matches nothing and the even version decides. All mask bits are set: with bits
// 0x18 from row 1, two of the eight bits of every byte differ, 7500; from row 0 none, 10000.
TEST(IrisLibrary, Id38SixthVariantDefaultMaskByteIs0x5A) {
    std::mt19937 rng(3806);
    std::vector<uint8_t> gallery(1920, 0xFF), probe(1920, 0xFF);
    for (int i = 0; i < 256; ++i) gallery[size_t(i)] = uint8_t(rng());
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
    int32_t on[128] = {};
    on[10] = on[20] = 1;
    ASSERT_EQ(TskIris_Init(nullptr, on, nullptr), 0);
    const FeatureKind* k38 = FindFeatureKind(38);
    ASSERT_NE(k38, nullptr);
    for (const auto& c : cases) {
        int32_t o[128] = {};
        o[73] = 6, o[93] = c.parameter;
        ASSERT_EQ(TskIris_Init(nullptr, o, nullptr), 0);
        EXPECT_EQ(MatchFeature(k38, probe.data(), gallery.data(), 1920, 0), c.score) << std::hex << c.parameter;
    }
    TskIris_Destroy();
}
