#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "IrisEyes.h"
#include "TskIrisAPI.h"

using namespace irisalg;

namespace {

struct Library {
    Library() {
        int32_t o[128] = {};
        o[10] = o[20] = 1;
        char err[64] = {};
        EXPECT_EQ(TskIris_Init(nullptr, o, err), 0) << err;
    }
    ~Library() { TskIris_Destroy(); }
};

struct Template {
    IMF imf{};
    ~Template() { TskIris_Free_IMF(&imf); }
};

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v ? std::atoi(v) : fallback;
}

struct Figures {
    double genuineMean = 0, genuineSd = 0, impostorMean = 0, impostorSd = 0, dprime = 0, fnmr = 0;
    int genuineMin = 0, impostorMax = 0, lowest = 0, highest = 0;
    size_t genuine = 0, impostor = 0;
};

Figures Summarise(std::vector<int> g, std::vector<int> im) {
    Figures f;
    const auto stats = [](const std::vector<int>& v, double& mean, double& sd) {
        mean = 0;
        for (int x : v) mean += x;
        mean /= double(v.size());
        sd = 0;
        for (int x : v) sd += (x - mean) * (x - mean);
        sd = std::sqrt(sd / double(v.size()));
    };
    stats(g, f.genuineMean, f.genuineSd);
    stats(im, f.impostorMean, f.impostorSd);
    f.dprime = (f.genuineMean - f.impostorMean) / std::sqrt((f.genuineSd * f.genuineSd + f.impostorSd * f.impostorSd) / 2);
    std::sort(g.begin(), g.end());
    std::sort(im.begin(), im.end());
    // Threshold: the lowest score that at most 0.1% of the impostors reach.
    const size_t allowed = im.size() / 1000;
    const int threshold = im[im.size() - 1 - allowed] + 1;
    f.fnmr = double(std::lower_bound(g.begin(), g.end(), threshold) - g.begin()) / double(g.size());
    f.genuineMin = g.front(), f.impostorMax = im.back();
    f.lowest = std::min(g.front(), im.front()), f.highest = std::max(g.back(), im.back());
    f.genuine = g.size(), f.impostor = im.size();
    return f;
}

// Every capture of both eyes of every subject, rendered by `scene` as the capture library would
// keep it, its features of all ten kinds extracted at the renderer's truth, and every pair of
// captures compared kind by kind: the figures of each kind by its id. Sizes from
// TESSIK_IRIS_SUBJECTS and TESSIK_IRIS_CAPTURES, else the defaults given.
void RunExperiment(const char* name, sim::EyeSceneParams (*scene)(int, bool, int), int defaultSubjects,
                   int defaultCaptures, std::map<int, Figures>& figures) {
    const int subjects = EnvInt("TESSIK_IRIS_SUBJECTS", defaultSubjects);
    const int captures = EnvInt("TESSIK_IRIS_CAPTURES", defaultCaptures);
    ASSERT_GE(subjects, 1) << "TESSIK_IRIS_SUBJECTS: at least one subject";
    ASSERT_GE(captures, 2) << "TESSIK_IRIS_CAPTURES: at least two captures an eye, for genuine pairs";
    struct Eye {
        int key;
        double roll;
        std::unique_ptr<Template> t;
    };
    std::vector<Eye> eyes;
    int retaken = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int s = 0; s < subjects; ++s)
        for (int right = 0; right < 2; ++right) {
            // One iris texture per eye serves all of its captures.
            const auto texture = sim::MakeIrisTexture(scene(s, right, 0).subjectSeed, right);
            for (int c = 0; c < captures; ++c) {
                sim::EyeSceneParams p = scene(s, right, c);
                const double openness = p.openness;
                sim::EyeFrame f;
                ASSERT_TRUE(iristest::RenderAccepted(p, texture.get(), f))
                    << "the capture library refuses subject " << s << " eye " << right << " even open";
                retaken += p.openness != openness;
                auto o = iristest::Options(f.truth, 1023);
                auto t = std::make_unique<Template>();
                char err[64] = {};
                ASSERT_EQ(TskIris_FExtractor(f.image.pixels.data(), f.image.width, f.image.height, &t->imf, o.data(), err), 0)
                    << err;
                ASSERT_EQ(t->imf.count, 10);
                eyes.push_back({2 * s + right, f.truth.headRollDeg, std::move(t)});
            }
        }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %d subjects x 2 eyes x %d captures: %zu templates (%d retaken after a refused blink) in %.1f s\n",
                name, subjects, captures, eyes.size(), retaken, seconds);
    // Two captures of one eye differ in roll by no more than the matcher's default search turns.
    const int shift = ShiftFromRotation(nullptr);
    const double search = 360.0 * shift / 128;
    for (size_t a = 0; a < eyes.size(); ++a)
        for (size_t b = a + 1; b < eyes.size() && eyes[b].key == eyes[a].key; ++b)
            ASSERT_LE(std::fabs(eyes[a].roll - eyes[b].roll), search) << "eye " << eyes[a].key;
    for (int k = 0; k < 10; ++k) {
        const int id = eyes[0].t->imf.id[k];
        const FeatureKind* kind = FindFeatureKind(id);
        std::vector<int> genuine, impostor;
        for (size_t a = 0; a < eyes.size(); ++a)
            for (size_t b = a + 1; b < eyes.size(); ++b) {
                const IMF& p = eyes[a].t->imf;
                const IMF& g = eyes[b].t->imf;
                ASSERT_EQ(p.id[k], id);
                ASSERT_EQ(g.id[k], id);
                const int score = MatchFeature(kind, p.data[k], g.data[k], g.length[k], shift);
                (eyes[a].key == eyes[b].key ? genuine : impostor).push_back(score);
            }
        const Figures f = Summarise(genuine, impostor);
        std::printf("%s kind %d: genuine %zu mean %.0f sd %.0f min %d | impostor %zu mean %.0f sd %.0f max %d | d' %.2f | "
                    "FNMR@FMR1e-3 %.4f\n",
                    name, id, f.genuine, f.genuineMean, f.genuineSd, f.genuineMin, f.impostor, f.impostorMean,
                    f.impostorSd, f.impostorMax, f.dprime, f.fnmr);
        figures[id] = f;
    }
}

// Scores are similarities from 0 to 10000, higher for more alike codes: captures of one eye score
// higher than captures of two eyes.
void ExpectScoresOrdered(int id, const Figures& f) {
    EXPECT_GE(f.lowest, 0) << "kind " << id;
    EXPECT_LE(f.highest, 10000) << "kind " << id;
    EXPECT_GT(f.genuineMean, f.impostorMean) << "kind " << id;
}

}  // namespace

// Genuine and impostor comparisons of every feature kind on sharp rendered eyes: subjects x both
// eyes x captures with dilation, roll, noise and lid changes, located by the renderer's truth.
TEST(IrisMatchExperiment, GenuineAndImpostorScoresSeparate) {
    Library lib;
    std::map<int, Figures> figures;
    RunExperiment("in focus", [](int s, bool right, int c) { return iristest::Capture(s, right, c); }, 40, 2, figures);
    ASSERT_EQ(figures.size(), 10u);
    for (const auto& [id, f] : figures) {
        ExpectScoresOrdered(id, f);
        // Sharp captures of one eye all lie above the score that one impostor comparison in a
        // thousand reaches. (The highest impostor score itself grows with the number of subjects.)
        EXPECT_EQ(f.fnmr, 0.0) << "kind " << id;
        EXPECT_GT(f.dprime, 5.0) << "kind " << id;
    }
}

// The same over the scenes the capture library accepts: 270 to 350 mm with the lens focused at
// 300 mm, every pupil size of the white LED's range, partial blinks and head roll within the
// matcher's search. The kinds' figures here are measured, not required: defocus and lids cost each
// kind what its encoding makes it cost.
TEST(IrisMatchExperiment, ScoresSeparateOverTheAcceptedScenes) {
    Library lib;
    std::map<int, Figures> figures;
    RunExperiment("accepted", iristest::AcceptanceCapture, 16, 3, figures);
    ASSERT_EQ(figures.size(), 10u);
    for (const auto& [id, f] : figures) ExpectScoresOrdered(id, f);
}

namespace {

// A template of single features built by hand.
struct Hand {
    IMF imf{};
    std::vector<std::vector<uint8_t>> keep;
    void Add(int id, std::vector<uint8_t> data, uint32_t version = 0x02000000) {
        keep.push_back(std::move(data));
        const int i = imf.count++;
        imf.id[i] = uint8_t(id), imf.version[i] = version;
        imf.data[i] = keep.back().data();
        imf.length[i] = int32_t(keep.back().size());
    }
};

std::vector<uint8_t> RandomCode(int length, int maskFrom, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) v[size_t(i)] = i >= maskFrom ? 0xFF : uint8_t(rng());
    return v;
}

// Rotates every 128-byte row of the first `rows` rows left by k bytes.
std::vector<uint8_t> Rotated(std::vector<uint8_t> v, int rows, int k) {
    for (int r = 0; r < rows; ++r) std::rotate(v.begin() + r * 128, v.begin() + r * 128 + k, v.begin() + r * 128 + 128);
    return v;
}

}  // namespace

TEST(IrisMatcher, WeightedMaskedHammingDistance) {
    std::vector<uint8_t> a(128, 0x5A), mask(128, 0xFF), zero(128, 0);
    const CompareOptions mode0{1, 0, 0, 128}, mode1{1, 0, 1, 128};
    EXPECT_EQ(MaskedHammingDistance(a.data(), a.data(), mask.data(), mask.data(), mode0), 10000);
    std::vector<uint8_t> inv(128);
    for (int i = 0; i < 128; ++i) inv[size_t(i)] = uint8_t(~a[size_t(i)]);
    EXPECT_EQ(MaskedHammingDistance(a.data(), inv.data(), mask.data(), mask.data(), mode0), 0);
    // One differing bit in the first 24 units counts once, beyond them twice:
    // M = 24 x 16 + 40 x 32 = 1664; ratio 32768 / 1664 = 19 -> 9994; 65536 / 1664 = 39 -> 9988.
    std::vector<uint8_t> b = a;
    b[10] ^= 1;
    EXPECT_EQ(MaskedHammingDistance(a.data(), b.data(), mask.data(), mask.data(), mode0), 9994);
    b = a;
    b[100] ^= 1;
    EXPECT_EQ(MaskedHammingDistance(a.data(), b.data(), mask.data(), mask.data(), mode0), 9988);
    // Mode 1 counts 32 units once: M = 32 x 16 + 32 x 32 = 1536; bit at byte 60 counts once:
    // 32768 / 1536 = 21 -> 9993.
    b = a;
    b[60] ^= 1;
    EXPECT_EQ(MaskedHammingDistance(a.data(), b.data(), mask.data(), mask.data(), mode1), 9993);
    // Masked-out differences do not count; no common valid bit scores 0, not a negative number.
    std::vector<uint8_t> half(128, 0xFF);
    std::fill(half.begin(), half.begin() + 64, 0);
    EXPECT_EQ(MaskedHammingDistance(a.data(), b.data(), half.data(), mask.data(), mode1), 10000);
    EXPECT_EQ(MaskedHammingDistance(a.data(), inv.data(), zero.data(), mask.data(), {1, 4, 0, 128}), 0);
    EXPECT_EQ(MaskedHammingDistance(a.data(), a.data(), mask.data(), mask.data(), {16, 0, 0, 128}), -1);
    // Circular shifts: a code turned by 3 bytes matches fully from shift 3 on.
    const auto code = RandomCode(128, 128, 4);
    const auto turned = Rotated(code, 1, 3);
    EXPECT_EQ(MaskedHammingDistance(turned.data(), code.data(), mask.data(), mask.data(), {1, 3, 0, 128}), 10000);
    EXPECT_LT(MaskedHammingDistance(turned.data(), code.data(), mask.data(), mask.data(), {1, 2, 0, 128}), 7000);
    // Without masks: 10000 - X x 10000 / (1536 x R).
    EXPECT_EQ(UnmaskedHammingDistance(a.data(), b.data(), mode1), 10000 - 10000 / 1536);
    EXPECT_EQ(UnmaskedHammingDistance(a.data(), inv.data(), mode1), 0);
}

TEST(IrisMatcher, RotationOptionGivesByteShifts) {
    const struct {
        int word3, shift;
    } cases[] = {{12, 4}, {46, 15}, {45, 15}, {-1, 0}, {0, 0}, {5, 1}};
    for (const auto& c : cases) {
        const int32_t o[4] = {0, 0, 0, c.word3};
        EXPECT_EQ(ShiftFromRotation(o), c.shift) << c.word3;
    }
    EXPECT_EQ(ShiftFromRotation(nullptr), 4);
}

TEST(IrisMatcher, VerifyRules) {
    Library lib;
    const auto c36 = RandomCode(2048, 1920, 1), c40 = RandomCode(512, 384, 2), other = RandomCode(2048, 1920, 3);
    Hand probe, same, stranger, mixed;
    probe.Add(36, c36), probe.Add(40, c40);
    same.Add(36, Rotated(c36, 15, 2)), same.Add(40, Rotated(c40, 3, 2));
    stranger.Add(36, other), stranger.Add(40, RandomCode(512, 384, 7));
    mixed.Add(40, c40), mixed.Add(36, c36);
    int32_t score = 0;
    char err[64] = {};
    ASSERT_EQ(TskIris_Verify_Ex(&probe.imf, &same.imf, &score, nullptr, err), 0);
    EXPECT_EQ(score, 10000);  // 2 byte turns are inside the default 4
    const int32_t noTurn[4] = {0, 0, 0, 0};
    ASSERT_EQ(TskIris_Verify_Ex(&probe.imf, &same.imf, &score, noTurn, err), 0);
    EXPECT_LT(score, 7000);
    ASSERT_EQ(TskIris_Verify_Ex(&probe.imf, &stranger.imf, &score, nullptr, err), 0);
    EXPECT_GT(score, 4000);
    EXPECT_LT(score, 6500);
    const int32_t strangerScore = score;
    // Quick mode on feature 1 (id 36): below the threshold the score is half the quick result.
    const int32_t quick[4] = {1, 1, 8000, 12};  // 8000 falls back to 5600
    ASSERT_EQ(TskIris_Verify_Ex(&probe.imf, &stranger.imf, &score, quick, err), 0);
    const int32_t quick36 = MatchFeature(FindFeatureKind(36), c36.data(), other.data(), 2048, 4);
    EXPECT_EQ(score, quick36 < 5600 ? quick36 / 2 : strangerScore);
    const int32_t strict[4] = {1, 1, 7999, 12};
    ASSERT_EQ(TskIris_Verify_Ex(&probe.imf, &stranger.imf, &score, strict, err), 0);
    EXPECT_EQ(score, quick36 / 2);
    // A quick result that passes with no other comparable feature stands.
    Hand single, singleSame;
    single.Add(36, c36), single.Add(33, RandomCode(1664, 1536, 9));
    singleSame.Add(36, c36), singleSame.Add(34, RandomCode(1152, 1024, 9));
    ASSERT_EQ(TskIris_Verify_Ex(&single.imf, &singleSame.imf, &score, quick, err), 0);
    EXPECT_EQ(score, 10000);
    // Ids that differ: no term, score -1; in quick mode a kind mismatch is an error.
    ASSERT_EQ(TskIris_Verify_Ex(&probe.imf, &mixed.imf, &score, nullptr, err), 0);
    EXPECT_EQ(score, -1);
    EXPECT_EQ(TskIris_Verify_Ex(&probe.imf, &mixed.imf, &score, quick, err), -17);
    // No usable iris in either template scores 0.
    IrisQualityRecord none{};
    same.imf.quality = &none;
    ASSERT_EQ(TskIris_Verify_Ex(&probe.imf, &same.imf, &score, nullptr, err), 0);
    EXPECT_EQ(score, 0);
    same.imf.quality = nullptr;
    // Missing features and damaged features are refused.
    Hand empty;
    EXPECT_EQ(TskIris_Verify_Ex(&empty.imf, &same.imf, &score, nullptr, err), -18);
    EXPECT_STREQ(err, "Invalidate probe feature");
    EXPECT_EQ(TskIris_Verify_Ex(&probe.imf, &empty.imf, &score, nullptr, err), -18);
    EXPECT_STREQ(err, "Invalidate gallery feature");
    EXPECT_EQ(TskIris_Verify_Ex(nullptr, &same.imf, &score, nullptr, err), -11);
    Hand damaged;
    damaged.Add(36, RandomCode(2047, 1920, 1));
    EXPECT_EQ(TskIris_Verify_Ex(&probe.imf, &damaged.imf, &score, nullptr, err), -13);
    EXPECT_EQ(TskIris_Verify_Ex(&damaged.imf, &probe.imf, &score, nullptr, err), -13);
    int32_t scores[1];
    EXPECT_EQ(TskIris_Search_Ex(&damaged.imf, &probe.imf, 1, scores, nullptr, err), -13);
    ASSERT_EQ(TskIris_Search_Ex(&probe.imf, &damaged.imf, 1, scores, nullptr, err), 0);
    EXPECT_EQ(scores[0], -1);
    damaged.imf.count = 17;
    EXPECT_EQ(TskIris_Verify_Ex(&probe.imf, &damaged.imf, &score, nullptr, err), -13);
}

TEST(IrisMatcher, SearchPreScreenAndCut) {
    Library lib;
    const auto c36 = RandomCode(2048, 1920, 11), c40 = RandomCode(512, 384, 12);
    Hand probe;
    probe.Add(36, c36), probe.Add(40, c40);
    std::vector<Hand> gallery(5);
    gallery[0].Add(36, RandomCode(2048, 1920, 20)), gallery[0].Add(40, RandomCode(512, 384, 21));
    gallery[1].Add(36, c36), gallery[1].Add(40, c40);  // the probe's own eye
    gallery[2].Add(36, RandomCode(2048, 1920, 22));    // fewer features
    gallery[3].Add(36, c36), gallery[3].Add(40, c40);  // the same eye again: ties with entry 1
    gallery[4].Add(36, RandomCode(2048, 1920, 23)), gallery[4].Add(40, RandomCode(512, 384, 24));
    std::vector<IMF> g;
    for (auto& h : gallery) g.push_back(h.imf);
    std::vector<int32_t> scores(5);
    char err[64] = {};
    // Without pre-screen every entry is verified.
    ASSERT_EQ(TskIris_Search_Ex(&probe.imf, g.data(), 5, scores.data(), nullptr, err), 0);
    for (int i = 0; i < 5; ++i) {
        int32_t v = 0;
        ASSERT_EQ(TskIris_Verify_Ex(&probe.imf, &g[size_t(i)], &v, nullptr, err), 0);
        EXPECT_EQ(scores[size_t(i)], v) << i;
    }
    // Pre-screen on feature 1 with fewer than 100 entries and word 2 out of range: k = 0, the cut
    // is the best score, nothing lies above it and every score is halved (-1 / 2 = 0).
    const int32_t screen[4] = {1, 1, 10000, 12};
    ASSERT_EQ(TskIris_Search_Ex(&probe.imf, g.data(), 5, scores.data(), screen, err), 0);
    const auto pre = [&](int i) { return MatchFeature(FindFeatureKind(36), c36.data(), g[size_t(i)].data[0], 2048, 4); };
    EXPECT_EQ(scores[1], 5000);
    EXPECT_EQ(scores[3], 5000);
    EXPECT_EQ(scores[0], pre(0) / 2);
    EXPECT_EQ(scores[2], 0);
    // Word 2 = 5000 keeps the top half: k = 2, the cut is the third best; the two better entries
    // are compared in full on their other features.
    const int32_t half[4] = {1, 1, 5000, 12};
    ASSERT_EQ(TskIris_Search_Ex(&probe.imf, g.data(), 5, scores.data(), half, err), 0);
    EXPECT_EQ(scores[1], 10000);
    EXPECT_EQ(scores[3], 10000);
    EXPECT_EQ(scores[2], 0);
    EXPECT_EQ(scores[4], pre(4) / 2);
    EXPECT_EQ(TskIris_Search_Ex(&probe.imf, g.data(), 0, scores.data(), half, err), 0);
}

TEST(IrisMatcher, MaskedBitFillAndBitPlanes) {
    std::vector<uint8_t> in(16), planes(16), back(16);
    for (int i = 0; i < 16; ++i) in[size_t(i)] = uint8_t(i * 37 + 1);
    ASSERT_EQ(PackBitPlanes(in.data(), 16, planes.data()), 0);
    // Plane 7 - b holds bit b: byte 0 (0x01) puts its bit 0 first into plane 7.
    EXPECT_EQ(planes[14] & 0x80, 0x80);
    ASSERT_EQ(UnpackBitPlanes(planes.data(), 16, back.data()), 0);
    EXPECT_EQ(back, in);
    EXPECT_EQ(PackBitPlanes(in.data(), 12, planes.data()), -1);
    // Fill: plane 0 (bit 7) invalid at columns 0..9; valid elsewhere. m = 4, the list starts at 36.
    std::vector<uint8_t> code(128), mask(128, 0xFF);
    for (int i = 0; i < 128; ++i) code[size_t(i)] = uint8_t(i % 3 == 0 ? 0x80 : 0);
    for (int i = 0; i < 10; ++i) mask[size_t(i)] = 0x7F;
    EXPECT_EQ(FillMaskedBits(code.data(), mask.data(), 128), 6 + 5);  // 4..9 up, 4..0 down
    // Upward from 4: positions 4..9 take list entries 0..5 = columns 36..41.
    for (int i = 4; i <= 9; ++i) EXPECT_EQ(code[size_t(i)] & 0x80, (36 + i - 4) % 3 == 0 ? 0x80 : 0) << i;
    // Downward from 4 with the index restarted: 4..0 take columns 36..40.
    for (int i = 0; i <= 3; ++i) EXPECT_EQ(code[size_t(i)] & 0x80, (36 + 4 - i) % 3 == 0 ? 0x80 : 0) << i;
    std::vector<uint8_t> whole(128, 0xFF), copy = code;
    EXPECT_EQ(FillMaskedBits(code.data(), whole.data(), 128), 0);
    EXPECT_EQ(code, copy);
}

TEST(IrisLibrary, InitSwitchesModulesOnAndDestroyOff) {
    EXPECT_EQ(TskIris_GetVersion(), 0x02050004u);
    EXPECT_EQ(TskIris_GetMaxFeatureSize(), 10240);
    char err[64] = {};
    EXPECT_EQ(TskIris_Init(nullptr, nullptr, err), -11);
    EXPECT_STREQ(err, "Unexpected NULL pointer");
    int32_t none[128] = {};
    ASSERT_EQ(TskIris_Init(nullptr, none, err), 0);
    IMF imf{};
    int32_t score = 0, scores[1];
    uint8_t image[64] = {}, stream[16];
    const int32_t extract[256] = {1};
    EXPECT_EQ(TskIris_FExtractor(image, 8, 8, &imf, nullptr, err), -6);
    EXPECT_EQ(TskIris_FeatureExtract_Ex(image, 8, 8, "", extract, stream, 10240, err), -6);
    EXPECT_EQ(TskIris_Verify_Ex(&imf, &imf, &score, nullptr, err), -6);
    EXPECT_EQ(TskIris_Search_Ex(&imf, &imf, 1, scores, nullptr, err), -6);
    int32_t on[128] = {};
    on[10] = on[20] = 1;
    ASSERT_EQ(TskIris_Init(nullptr, on, err), 0);
    EXPECT_TRUE(FrequencyFilterBankBuilt());
    EXPECT_EQ(TskIris_Verify_Ex(&imf, &imf, &score, nullptr, err), -18);
    ASSERT_EQ(TskIris_Init(nullptr, none, err), 0);  // never switches a module off
    EXPECT_EQ(TskIris_Verify_Ex(&imf, &imf, &score, nullptr, err), -18);
    ASSERT_EQ(TskIris_Destroy(), 0);
    EXPECT_FALSE(FrequencyFilterBankBuilt());
    EXPECT_EQ(TskIris_Verify_Ex(&imf, &imf, &score, nullptr, err), -6);
}

TEST(IrisLibrary, InitEditsTheMatchVariants) {
    const auto code = RandomCode(1920, 1536, 31);
    auto other = code;
    for (int i = 0; i < 128; ++i) other[size_t(128 + i)] ^= uint8_t(i * 7);  // row 1 differs
    const FeatureKind* k38 = FindFeatureKind(38);
    int32_t o[128] = {};
    o[73] = 6, o[93] = 0xFF;  // variant 6 with mask byte 0xFF: row 0 only
    Library lib;
    ASSERT_EQ(TskIris_Init(nullptr, o, nullptr), 0);
    EXPECT_EQ(MatchFeature(k38, code.data(), other.data(), 1920, 0), 10000);
    o[73] = 7, o[93] = 0x01;  // no such variant: variant 6 stays, the parameter is stored
    ASSERT_EQ(TskIris_Init(nullptr, o, nullptr), 0);
    EXPECT_LT(MatchFeature(k38, code.data(), other.data(), 1920, 0), 10000);
    o[73] = 3;  // unmasked on rows 0 and 1
    ASSERT_EQ(TskIris_Init(nullptr, o, nullptr), 0);
    EXPECT_EQ(MatchFeature(k38, code.data(), other.data(), 1920, 0),
              UnmaskedHammingDistance(code.data(), other.data(), {2, 0, 1, 128}));
    o[73] = -1;
    ASSERT_EQ(TskIris_Init(nullptr, o, nullptr), 0);  // variant 3 kept
    EXPECT_EQ(MatchFeature(k38, code.data(), other.data(), 1920, 0),
              UnmaskedHammingDistance(code.data(), other.data(), {2, 0, 1, 128}));
    // The table edits last for the process (each test runs in a process of its own).
}

namespace {

// Sets a match variant through the initialisation options: the variant's word and its parameter
// word 20 places further on.
int32_t SetMatchVariant(int word, int32_t variant, int32_t parameter) {
    int32_t o[128] = {};
    o[word] = variant, o[word + 20] = parameter;
    return TskIris_Init(nullptr, o, nullptr);
}

}  // namespace

// Id 39 variant 2 reads the first half of the data as byte pairs: the gallery's first bytes form
// one stream, the probe's first and second bytes two more; each probe stream is compared with the
// gallery's without masks, in rows of 64 bytes with 32 bytes counted once (mode 1), over B rows
// (the parameter when 1..4, else 4), and the larger score is the result.
TEST(IrisLibrary, Id39SecondVariantComparesBytePairStreams) {
    auto gallery = RandomCode(1024, 1024, 39), probe = RandomCode(1024, 1024, 40);
    for (int i = 0; i < 256; ++i) {
        const uint8_t s = gallery[size_t(2 * i)];
        probe[size_t(2 * i)] = uint8_t(~s);                        // first bytes: every bit differs
        probe[size_t(2 * i + 1)] = i < 64 ? s : uint8_t(~s);       // second bytes: row 0 equal, rows 1..3 not
    }
    probe[2 * 40 + 1] ^= 0x10;  // one bit of row 0 in the part counted twice
    // A row weighs 32 x 8 + 32 x 16 = 768 bit units; the one bit counts 2.
    const struct {
        int32_t parameter, score;
    } cases[] = {
        {1, 10000 - 2 * 10000 / 768},                    // row 0 alone: 9974
        {3, 10000 - (2 + 2 * 768) * 10000 / (3 * 768)},  // 3325
        {4, 10000 - (2 + 3 * 768) * 10000 / (4 * 768)},  // 2494
        {0, 10000 - (2 + 3 * 768) * 10000 / (4 * 768)},  // not 1..4: all four rows
        {5, 10000 - (2 + 3 * 768) * 10000 / (4 * 768)},
    };
    const FeatureKind* k39 = FindFeatureKind(39);
    Library lib;
    for (const auto& c : cases) {
        ASSERT_EQ(SetMatchVariant(71, 2, c.parameter), 0);
        EXPECT_EQ(MatchFeature(k39, probe.data(), gallery.data(), 1024, 0), c.score) << c.parameter;
    }
    // The second half of the data is not read.
    for (size_t i = 512; i < 1024; ++i) probe[i] = uint8_t(~probe[i]);
    EXPECT_EQ(MatchFeature(k39, probe.data(), gallery.data(), 1024, 0), 10000 - (2 + 3 * 768) * 10000 / (4 * 768));
}

// Id 38 variant 6 builds 64-byte codes from every second byte of rows 0 and 1, taking the bits of
// the mask byte from row 0 and the others from row 1, with masks from the same bytes of the mask
// row at 1536; the gallery gives its even bytes, the probe its even and its odd ones, the larger
// score counts. Mask byte: the parameter, 0x5A when it is 0.
TEST(IrisLibrary, Id38SixthVariantMixesTwoRowsByTheMaskByte) {
    std::vector<uint8_t> gallery(1920, 0), probe(1920, 0);
    const auto random = RandomCode(256, 256, 38);
    std::copy(random.begin(), random.end(), gallery.begin());
    std::fill(gallery.begin() + 1536, gallery.begin() + 1664, 0xFF);
    std::fill(probe.begin() + 1536, probe.begin() + 1664, 0xFF);
    for (int k = 0; k < 64; ++k) {
        const size_t even = size_t(2 * k), odd = even + 1;
        probe[even] = gallery[even];                          // row 0 even bytes equal
        probe[128 + even] = uint8_t(~gallery[128 + even]);    // row 1 even bytes inverted
        probe[odd] = uint8_t(~gallery[even]);                 // odd bytes: the gallery's even code inverted
        probe[128 + odd] = uint8_t(~gallery[128 + even]);
    }
    // Even version: the bits outside the mask byte differ; odd version: every bit differs (0).
    const struct {
        int32_t parameter, score;
    } cases[] = {{0xFF, 10000}, {0, 5000}, {0x5A, 5000}, {0x0F, 5000}, {0x01, 1250}};
    const FeatureKind* k38 = FindFeatureKind(38);
    Library lib;
    for (const auto& c : cases) {
        ASSERT_EQ(SetMatchVariant(73, 6, c.parameter), 0);
        EXPECT_EQ(MatchFeature(k38, probe.data(), gallery.data(), 1920, 0), c.score) << c.parameter;
        EXPECT_EQ(MatchFeature(k38, gallery.data(), gallery.data(), 1920, 0), 10000) << c.parameter;
    }
    // The probe's odd bytes alone match: its even version is then the inverted one.
    for (int k = 0; k < 64; ++k) {
        const size_t even = size_t(2 * k), odd = even + 1;
        probe[odd] = gallery[even];
        probe[128 + odd] = gallery[128 + even];
        probe[even] = uint8_t(~gallery[even]);
        probe[128 + even] = uint8_t(~gallery[128 + even]);
    }
    EXPECT_EQ(MatchFeature(k38, probe.data(), gallery.data(), 1920, 0), 10000);
    // Masks come from the row at 1536 only: a probe mask row of zeros leaves no common bit.
    std::fill(probe.begin() + 1536, probe.begin() + 1664, 0);
    std::fill(probe.begin() + 1664, probe.end(), 0xFF);
    EXPECT_EQ(MatchFeature(k38, probe.data(), gallery.data(), 1920, 0), 0);
}

namespace {

struct RenderedEye {
    sim::EyeFrame frame;
    explicit RenderedEye(const sim::EyeSceneParams& s) : frame(sim::RenderEyeFrame(s)) {}
    int32_t Extract(IMF* out, uint32_t tags, char* err, int width = 0) const {
        auto o = iristest::Options(frame.truth, tags);
        return TskIris_FExtractor(frame.image.pixels.data(), width ? width : frame.image.width, frame.image.height, out,
                                  o.data(), err);
    }
};

}  // namespace

TEST(IrisExtraction, RequestsDependenciesAndFailures) {
    Library lib;
    const RenderedEye eye(iristest::Capture(5, true, 0));
    char err[64] = {};
    {
        Template t;
        ASSERT_EQ(eye.Extract(&t.imf, 64, err), 0) << err;
        ASSERT_EQ(t.imf.count, 1);
        EXPECT_EQ(t.imf.id[0], 38);
        EXPECT_EQ(t.imf.length[0], 1920);
        EXPECT_EQ(t.imf.version[0], 0x02000000u);
        ASSERT_NE(t.imf.geometry, nullptr);
        EXPECT_EQ(t.imf.geometry->pupilX, std::lround(eye.frame.truth.pupil.x));
        EXPECT_EQ(t.imf.geometry->locationFlag, 255);
        ASSERT_NE(t.imf.quality, nullptr);
        EXPECT_EQ(t.imf.quality->bytes[0], 1);
        EXPECT_EQ(t.imf.quality->bytes[6], t.imf.geometry->pupilRadius * 100 / t.imf.geometry->irisRadius);
        // The stream of the default request: 64 + 69 + 22 + (1920 + 20) + 2.
        uint32_t header[16] = {};
        std::vector<uint8_t> s(10240);
        int32_t size = 10240;
        ASSERT_EQ(TskIris_FeatureEncode_Ex(&t.imf, header, s.data(), &size, 0, err), 0);
        EXPECT_EQ(size, 2097);
    }
    {
        Template t;
        ASSERT_EQ(eye.Extract(&t.imf, 1 | 64, err), 0) << err;
        ASSERT_EQ(t.imf.count, 2);
        EXPECT_EQ(t.imf.id[0], 38);
        EXPECT_EQ(t.imf.id[1], 36);
        // The composite's rows are its components' rows: row 1 of id 38 is row 5 of id 36 with
        // its masked bits filled.
        std::vector<uint8_t> row(t.imf.data[1] + 5 * 128, t.imf.data[1] + 6 * 128);
        FillMaskedBits(row.data(), t.imf.data[1] + 15 * 128, 128);
        EXPECT_EQ(std::memcmp(row.data(), t.imf.data[0] + 128, 128), 0);
    }
    {
        // Kinds 32, 36 and 40 refuse images wider than 1600 pixels.
        Template t;
        std::vector<uint8_t> wide(size_t(1601) * eye.frame.image.height, 100);
        auto o = iristest::Options(eye.frame.truth, 1);
        EXPECT_EQ(TskIris_FExtractor(wide.data(), 1601, eye.frame.image.height, &t.imf, o.data(), err), -10);
        EXPECT_STREQ(err, "Extract failed for feature 1");
        EXPECT_EQ(t.imf.count, 0);
        EXPECT_EQ(t.imf.geometry, nullptr);
    }
    {
        // A geometry the band encoders refuse fails their kinds.
        Template t;
        auto o = iristest::Options(eye.frame.truth, 8);
        o[13] = 9;
        EXPECT_EQ(TskIris_FExtractor(eye.frame.image.pixels.data(), eye.frame.image.width, eye.frame.image.height, &t.imf,
                                     o.data(), err), -10);
        EXPECT_STREQ(err, "Extract failed for feature 8");
    }
    {
        // Without a given location the location pipeline finds the eye (method 13 for id 38's
        // components), close to the renderer's truth.
        Template t;
        ASSERT_EQ(TskIris_FExtractor(eye.frame.image.pixels.data(), eye.frame.image.width, eye.frame.image.height, &t.imf,
                                     nullptr, err), 0) << err;
        ASSERT_NE(t.imf.geometry, nullptr);
        EXPECT_NEAR(t.imf.geometry->pupilX, eye.frame.truth.pupil.x, 3);
        EXPECT_NEAR(t.imf.geometry->irisRadius, eye.frame.truth.iris.r, 4);
        // An image without an eye cannot be located.
        Template none;
        const std::vector<uint8_t> blank(eye.frame.image.pixels.size(), 120);
        EXPECT_EQ(TskIris_FExtractor(blank.data(), eye.frame.image.width, eye.frame.image.height, &none.imf, nullptr, err), -8);
        EXPECT_STREQ(err, "Location failed for feature 64");  // row of id 38 comes first
        EXPECT_EQ(none.imf.count, 0);
    }
}

TEST(IrisExtraction, FeatureExtractExWritesAStreamOrAPlaceholder) {
    Library lib;
    const RenderedEye eye(iristest::Capture(6, false, 0));
    const RenderedEye again(iristest::Capture(6, false, 1));
    char err[64] = {};
    std::vector<uint8_t> out(10240), second(10240);
    auto o = iristest::Options(eye.frame.truth, 1);
    const sim::GreyImage& img = eye.frame.image;
    EXPECT_EQ(TskIris_FeatureExtract_Ex(img.pixels.data(), img.width, img.height, "n", o.data(), out.data(), 10239, err), -1);
    EXPECT_STREQ(err, "error: feature buffer is not big enough!");
    o[0] = 2;
    EXPECT_EQ(TskIris_FeatureExtract_Ex(img.pixels.data(), img.width, img.height, "n", o.data(), out.data(), 10240, err), -1);
    EXPECT_STREQ(err, "Invalid Parameter[0] = 2");
    EXPECT_EQ(TskIris_FeatureExtract_Ex(nullptr, img.width, img.height, "n", o.data(), out.data(), 10240, err), -11);
    o[0] = 1;
    const char* note = "a note longer than thirty-one characters";
    ASSERT_EQ(TskIris_FeatureExtract_Ex(img.pixels.data(), img.width, img.height, note, o.data(), out.data(), 10240, err), 2481);
    EXPECT_EQ(out[4] << 8 | out[5], img.width);
    EXPECT_EQ(out[6] << 8 | out[7], img.height);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data() + 32)), std::string(note, 31));
    auto o2 = iristest::Options(again.frame.truth, 1);
    ASSERT_EQ(TskIris_FeatureExtract_Ex(again.frame.image.pixels.data(), img.width, img.height, "", o2.data(),
                                        second.data(), 10240, err), 2481);
    Template a, b;
    int32_t reserved = 0;
    ASSERT_EQ(TskIris_FeatureDecode_Ex(out.data(), 2481, &a.imf, &reserved, err), 0) << err;
    ASSERT_EQ(TskIris_FeatureDecode_Ex(second.data(), 2481, &b.imf, &reserved, err), 0) << err;
    ASSERT_EQ(a.imf.count, 1);
    EXPECT_EQ(a.imf.id[0], 41);
    int32_t score = 0;
    ASSERT_EQ(TskIris_Verify_Ex(&a.imf, &b.imf, &score, nullptr, err), 0);
    EXPECT_GT(score, 7000);  // two captures of one eye
    // Located by the pipeline instead of the truth, the same eye still matches.
    std::vector<uint8_t> located(10240);
    int32_t plain[256] = {1};
    ASSERT_EQ(TskIris_FeatureExtract_Ex(img.pixels.data(), img.width, img.height, "", plain, located.data(), 10240, err), 2481);
    Template d;
    ASSERT_EQ(TskIris_FeatureDecode_Ex(located.data(), 2481, &d.imf, &reserved, err), 0) << err;
    ASSERT_EQ(TskIris_Verify_Ex(&d.imf, &b.imf, &score, nullptr, err), 0);
    EXPECT_GT(score, 7000);
    // Extraction that fails (no eye to locate) still gives a template: zero quality, matching
    // nothing; errtext says what failed.
    std::vector<uint8_t> failed(10240);
    const std::vector<uint8_t> blank(img.pixels.size(), 120);
    ASSERT_EQ(TskIris_FeatureExtract_Ex(blank.data(), img.width, img.height, "", plain, failed.data(), 10240, err), 2481);
    EXPECT_STREQ(err, "Location failed for feature 8");  // id 34, the first row kind 41 needs
    Template c;
    ASSERT_EQ(TskIris_FeatureDecode_Ex(failed.data(), 2481, &c.imf, &reserved, err), 0);
    ASSERT_NE(c.imf.quality, nullptr);
    EXPECT_EQ(c.imf.quality->bytes[0], 0);
    for (int i = 0; i < 2304; ++i) ASSERT_EQ(c.imf.data[0][i], 0);
    ASSERT_EQ(TskIris_Verify_Ex(&a.imf, &c.imf, &score, nullptr, err), 0);
    EXPECT_EQ(score, 0);
}

// Rolls within the rotation search range are recovered; beyond it the score drops.
TEST(IrisExtraction, RotationSearchRecoversRolls) {
    Library lib;
    char err[64] = {};
    Template level;
    ASSERT_EQ(RenderedEye(iristest::Capture(8, false, 0, 0.0)).Extract(&level.imf, 1, err), 0) << err;
    const int32_t twelve[4] = {0, 0, 0, 12}, none[4] = {0, 0, 0, 0};
    for (const double roll : {-10.0, 8.0, 20.0}) {
        Template turned;
        ASSERT_EQ(RenderedEye(iristest::Capture(8, false, 0, roll)).Extract(&turned.imf, 1, err), 0) << err;
        int32_t searched = 0, fixed = 0;
        ASSERT_EQ(TskIris_Verify_Ex(&turned.imf, &level.imf, &searched, twelve, err), 0);
        ASSERT_EQ(TskIris_Verify_Ex(&turned.imf, &level.imf, &fixed, none, err), 0);
        if (std::fabs(roll) <= 11) {
            EXPECT_GT(searched, 7500) << roll;  // 4 byte shifts cover 11.25 degrees
            EXPECT_LT(fixed, 6500) << roll;
        } else {
            EXPECT_LT(searched, 6500) << roll;
        }
    }
}

// Each composite match function is the combination of plain comparisons its kind defines.
TEST(IrisMatcher, CompositeKindsCombineTheirRows) {
    const auto p38 = RandomCode(1920, 1536, 41), g38 = RandomCode(1920, 1536, 42);
    const auto p41 = RandomCode(2304, 1920, 43), g41 = RandomCode(2304, 1920, 44);
    const auto p39 = RandomCode(1024, 512, 45), g39 = RandomCode(1024, 512, 46);
    const auto term = [](const std::vector<uint8_t>& p, const std::vector<uint8_t>& g, int code, int mask, int rows, int mode) {
        return MaskedHammingDistance(p.data() + code, g.data() + code, p.data() + mask, g.data() + mask, {rows, 4, mode, 128});
    };
    const auto combination = [&](const std::vector<uint8_t>& p, const std::vector<uint8_t>& g, int m36, int m32, int m34) {
        return term(p, g, 0, m32, 1, 0) + term(p, g, 128, m36, 1, 1) + term(p, g, 256, m34, 1, 0) +
               5 * term(p, g, 384, m36, 5, 1) + 3 * term(p, g, 1024, m32, 3, 0) + term(p, g, 1408, m34, 1, 0);
    };
    // Random codes fail the quick check (below 5450): half of it.
    const int32_t quick38 = term(p38, g38, 0, 1536, 4, 0);
    ASSERT_LT(quick38, 5450);
    EXPECT_EQ(MatchFeature(FindFeatureKind(38), p38.data(), g38.data(), 1920, 4), quick38 / 2);
    // A probe whose first four rows equal the gallery's passes it and is scored in full.
    auto near38 = g38;
    std::copy(p38.begin() + 512, p38.end(), near38.begin() + 512);
    std::copy(g38.begin() + 1536, g38.begin() + 1664, near38.begin() + 1536);
    ASSERT_GE(term(near38, g38, 0, 1536, 4, 0), 5450);
    EXPECT_EQ(MatchFeature(FindFeatureKind(38), near38.data(), g38.data(), 1920, 4),
              combination(near38, g38, 1536, 1664, 1792) / 12);
    auto near41 = g41;
    std::copy(p41.begin() + 512, p41.end(), near41.begin() + 512);
    std::copy(g41.begin() + 1920, g41.begin() + 2048, near41.begin() + 1920);
    EXPECT_EQ(MatchFeature(FindFeatureKind(41), near41.data(), g41.data(), 2304, 4),
              (combination(near41, g41, 1920, 2048, 2176) + 3 * term(near41, g41, 1536, 1920, 3, 1)) / 15);
    EXPECT_EQ(MatchFeature(FindFeatureKind(41), p41.data(), g41.data(), 2304, 4), term(p41, g41, 0, 1920, 4, 0) / 2);
    // Id 39: the mean of four one-row blocks, each with its own mask row.
    int32_t sum = 0;
    for (int k = 0; k < 4; ++k) sum += term(p39, g39, 128 * k, 512 + 128 * k, 1, 1);
    EXPECT_EQ(MatchFeature(FindFeatureKind(39), p39.data(), g39.data(), 1024, 4), sum / 4);
    // Id 37: four rows without masks; the plain kinds: all code rows with the mask row after them.
    EXPECT_EQ(MatchFeature(FindFeatureKind(37), p39.data(), g39.data(), 512, 4),
              UnmaskedHammingDistance(p39.data(), g39.data(), {4, 4, 1, 128}));
    EXPECT_EQ(MatchFeature(FindFeatureKind(33), p38.data(), g38.data(), 1664, 4), term(p38, g38, 0, 1536, 12, 0));
    EXPECT_EQ(MatchFeature(FindFeatureKind(40), p39.data(), g39.data(), 512, 4), term(p39, g39, 0, 384, 3, 1));
    EXPECT_EQ(MatchFeature(FindFeatureKind(40), p39.data(), g39.data(), 511, 4), -1);  // not its length
    // Word 80 = 1 drops the quick check of id 41.
    int32_t o[128] = {};
    o[80] = 1;
    Library lib;
    ASSERT_EQ(TskIris_Init(nullptr, o, nullptr), 0);
    EXPECT_EQ(MatchFeature(FindFeatureKind(41), p41.data(), g41.data(), 2304, 4),
              (combination(p41, g41, 1920, 2048, 2176) + 3 * term(p41, g41, 1536, 1920, 3, 1)) / 15);
}

// The composite kinds are assembled from their components' rows and planes.
TEST(IrisExtraction, CompositesAreBuiltFromTheirComponents) {
    Library lib;
    const RenderedEye eye(iristest::Capture(9, true, 1));
    char err[64] = {};
    Template t;
    ASSERT_EQ(eye.Extract(&t.imf, 1023, err), 0) << err;
    std::map<int, const uint8_t*> kind;
    for (int i = 0; i < t.imf.count; ++i) kind[t.imf.id[i]] = t.imf.data[i];
    ASSERT_EQ(kind.size(), 10u);
    const auto row = [&](int id, int r) { return kind[id] + 128 * r; };
    const auto filled = [&](int id, int r, const uint8_t* mask) {
        std::vector<uint8_t> v(row(id, r), row(id, r) + 128);
        FillMaskedBits(v.data(), mask, 128);
        return v;
    };
    const auto same = [](const std::vector<uint8_t>& a, const uint8_t* b) { return std::memcmp(a.data(), b, 128) == 0; };
    // Id 37: (32, 3) (36, 5) (34, 0) (36, 9), each filled from its kind's mask.
    const int rows37[4][3] = {{32, 3, 8}, {36, 5, 15}, {34, 0, 8}, {36, 9, 15}};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(same(filled(rows37[i][0], rows37[i][1], row(rows37[i][0], rows37[i][2])), kind[37] + 128 * i)) << i;
    // Id 38: rows 4..11 are component rows as they are, rows 12..14 the masks of ids 36, 32, 34.
    const int rows38[11][2] = {{36, 1}, {36, 2}, {36, 6}, {36, 13}, {32, 2}, {32, 4}, {32, 7}, {34, 4}, {36, 15}, {32, 8}, {34, 8}};
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(std::memcmp(kind[38] + 128 * (4 + i), row(rows38[i][0], rows38[i][1]), 128), 0) << 4 + i;
    // Id 41: 15 code rows filled from the mask rows 15 (id 36), 16 (id 32), 17 (id 34) that follow.
    const int rows41[15][2] = {{32, 3}, {36, 5}, {34, 0}, {36, 9}, {36, 1}, {36, 2}, {36, 6}, {36, 13},
                               {32, 2}, {32, 4}, {32, 7}, {34, 4}, {40, 0}, {40, 1}, {40, 2}};
    const std::map<int, int> mask41 = {{36, 15}, {32, 16}, {34, 17}, {40, 15}};
    for (int i = 0; i < 15; ++i)
        EXPECT_TRUE(same(filled(rows41[i][0], rows41[i][1], kind[41] + 128 * mask41.at(rows41[i][0])), kind[41] + 128 * i))
            << i;
    EXPECT_EQ(std::memcmp(kind[41] + 128 * 15, row(36, 15), 128), 0);
    EXPECT_EQ(std::memcmp(kind[41] + 128 * 16, row(32, 8), 128), 0);
    EXPECT_EQ(std::memcmp(kind[41] + 128 * 17, row(34, 8), 128), 0);
    // Id 39: mask row k plane p is the plane of its component kind's mask; row 2, plane 0 comes
    // from (40, 0, 1), so its mask plane is plane 1 of id 36's mask.
    const auto plane = [](const uint8_t* r, int q) {
        uint8_t planes[128];
        PackBitPlanes(r, 128, planes);
        return std::vector<uint8_t>(planes + 16 * q, planes + 16 * q + 16);
    };
    EXPECT_EQ(plane(kind[39] + 512 + 256, 0), plane(row(36, 15), 1));
    EXPECT_EQ(plane(kind[39] + 512, 4), plane(row(36, 15), 2));     // row 0 plane 4: (36, 5, 2)
    EXPECT_EQ(plane(kind[39] + 512 + 384, 7), plane(row(36, 15), 2));  // row 3 plane 7: (40, 0, 2)
    EXPECT_EQ(plane(kind[39] + 512 + 128, 2), plane(row(32, 8), 2));  // row 1 plane 2: (32, 7, 2)
    EXPECT_EQ(plane(kind[39] + 512 + 256, 4), plane(row(34, 8), 2));  // row 2 plane 4: (34, 0, 2)
    // At valid positions the code plane is the component's plane unchanged (the fill touches only
    // the others).
    const auto agreeWhereValid = [&](int k, int p, int id, int r, int q, const uint8_t* componentMask) {
        const auto code = plane(kind[39] + 128 * k, p), want = plane(row(id, r), q), valid = plane(componentMask, q);
        for (int i = 0; i < 16; ++i)
            if ((code[size_t(i)] ^ want[size_t(i)]) & valid[size_t(i)]) return false;
        return true;
    };
    EXPECT_TRUE(agreeWhereValid(0, 0, 32, 3, 3, row(32, 8)));
    EXPECT_TRUE(agreeWhereValid(3, 0, 36, 5, 5, row(36, 15)));
    EXPECT_TRUE(agreeWhereValid(2, 0, 40, 0, 1, row(36, 15)));
    EXPECT_TRUE(agreeWhereValid(1, 6, 32, 4, 0, row(32, 8)));
}
