#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
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
    int genuineMin = 0, impostorMax = 0;
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
    f.genuine = g.size(), f.impostor = im.size();
    return f;
}

}  // namespace

// Genuine and impostor comparisons of every feature kind on rendered eyes: subjects x both eyes x
// captures with dilation, roll, noise and lid changes, located by the renderer's truth.
TEST(IrisMatchExperiment, GenuineAndImpostorScoresSeparate) {
    Library lib;
    const int subjects = EnvInt("TESSIK_IRIS_SUBJECTS", 40), captures = EnvInt("TESSIK_IRIS_CAPTURES", 2);
    struct Eye {
        int key;
        std::unique_ptr<Template> t;
    };
    std::vector<Eye> eyes;
    const auto start = std::chrono::steady_clock::now();
    for (int s = 0; s < subjects; ++s)
        for (int right = 0; right < 2; ++right)
            for (int c = 0; c < captures; ++c) {
                const sim::EyeFrame f = sim::RenderEyeFrame(iristest::Capture(s, right, c));
                auto o = iristest::Options(f.truth, 1023);
                auto t = std::make_unique<Template>();
                char err[64] = {};
                ASSERT_EQ(TskIris_FExtractor(f.image.pixels.data(), f.image.width, f.image.height, &t->imf, o.data(), err), 0)
                    << err;
                ASSERT_EQ(t->imf.count, 10);
                eyes.push_back({2 * s + right, std::move(t)});
            }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu templates in %.1f s\n", eyes.size(), seconds);
    const int shift = ShiftFromRotation(nullptr);
    for (int k = 0; k < 10; ++k) {
        const int id = eyes[0].t->imf.id[k];
        const FeatureKind* kind = FindFeatureKind(id);
        std::vector<int> genuine, impostor;
        for (size_t a = 0; a < eyes.size(); ++a)
            for (size_t b = a + 1; b < eyes.size(); ++b) {
                const IMF& p = eyes[a].t->imf;
                const IMF& g = eyes[b].t->imf;
                const int score = MatchFeature(kind, p.data[k], g.data[k], g.length[k], shift);
                (eyes[a].key == eyes[b].key ? genuine : impostor).push_back(score);
            }
        const Figures f = Summarise(genuine, impostor);
        // Every genuine comparison lies well above every impostor comparison.
        EXPECT_GT(f.genuineMin, f.impostorMax + 1000) << "kind " << id;
        EXPECT_GT(f.dprime, 5.0) << "kind " << id;
        std::printf("kind %d: genuine %zu mean %.0f sd %.0f min %d | impostor %zu mean %.0f sd %.0f max %d | d' %.2f | "
                    "FNMR@FMR0.1%% %.3f\n",
                    id, f.genuine, f.genuineMean, f.genuineSd, f.genuineMin, f.impostor, f.impostorMean, f.impostorSd,
                    f.impostorMax, f.dprime, f.fnmr);
    }
}
