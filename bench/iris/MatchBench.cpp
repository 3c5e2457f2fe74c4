// Iris template extraction and comparison on one core: Verify_Ex per kind and Search_Ex over a
// gallery, templates extracted from rendered eyes located by the renderer's truth.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "IrisEyes.h"
#include "TskIrisAPI.h"

namespace {

struct Session {
    Session() {
        int32_t o[128] = {};
        o[10] = o[20] = 1;
        TskIris_Init(nullptr, o, nullptr);
    }
};

// Templates of `count` eyes with all ten kinds.
std::vector<IMF>& Templates(int count) {
    static Session session;
    static std::vector<IMF> all;
    while (int(all.size()) < count) {
        const int i = int(all.size());
        const sim::EyeFrame f = sim::RenderEyeFrame(iristest::Capture(i / 2, i % 2, 0));
        auto o = iristest::Options(f.truth, 1023);
        IMF imf{};
        TskIris_FExtractor(f.image.pixels.data(), f.image.width, f.image.height, &imf, o.data(), nullptr);
        all.push_back(imf);
    }
    return all;
}

// A template holding only feature k of t (sharing its data).
IMF Only(const IMF& t, int k) {
    IMF one{};
    one.count = 1;
    one.id[0] = t.id[k], one.version[0] = t.version[k], one.data[0] = t.data[k], one.length[0] = t.length[k];
    return one;
}

// arg: feature index in the table order (0..9: ids 39, 37, 38, 35, 34, 33, 32, 36, 40, 41)
void VerifyKind(benchmark::State& state) {
    const auto& t = Templates(2);
    const IMF a = Only(t[0], int(state.range(0))), b = Only(t[1], int(state.range(0)));
    int32_t score = 0;
    for (auto _ : state) {
        TskIris_Verify_Ex(&a, &b, &score, nullptr, nullptr);
        benchmark::DoNotOptimize(score);
    }
    state.SetLabel("id " + std::to_string(a.id[0]) + ", " + std::to_string(a.length[0] * 8) + " bits");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(VerifyKind)->DenseRange(0, 9);

// Search of a kind-41 probe over a gallery of 1000 (40 distinct eyes repeated), pre-screen off
// and on (top 1% compared in full).
void SearchKind41(benchmark::State& state) {
    const auto& t = Templates(40);
    std::vector<IMF> gallery;
    for (int i = 0; i < 1000; ++i) gallery.push_back(Only(t[size_t(i % 40)], 9));
    const IMF probe = Only(t[0], 9);
    std::vector<int32_t> scores(gallery.size());
    const int32_t screen[4] = {int32_t(state.range(0)), 1, 100, 12};
    for (auto _ : state) {
        TskIris_Search_Ex(&probe, gallery.data(), int32_t(gallery.size()), scores.data(), screen, nullptr);
        benchmark::DoNotOptimize(scores.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(gallery.size()));
}
BENCHMARK(SearchKind41)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Extraction of the product's template (kind 41 and what it is built from).
void Extract41(benchmark::State& state) {
    Templates(0);
    const sim::EyeFrame f = sim::RenderEyeFrame(iristest::Capture(1, false, 0));
    auto o = iristest::Options(f.truth, 512);
    for (auto _ : state) {
        IMF imf{};
        TskIris_FExtractor(f.image.pixels.data(), f.image.width, f.image.height, &imf, o.data(), nullptr);
        TskIris_Free_IMF(&imf);
    }
}
BENCHMARK(Extract41)->Unit(benchmark::kMillisecond);

}  // namespace
