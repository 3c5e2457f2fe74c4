// Ten-print card analysis per card page on one core: the whole analysis of a rendered 8 x 6.4 inch
// card at 500 ppi (ruled lines, rows, skew, plain row, boxes), with and without cutting the flat
// prints into fingers, and a card stacked as two pages.
#include <benchmark/benchmark.h>

#include "FormPosition.h"
#include "sim/CardKit.h"

namespace {

const sim::RenderedCard& Card(bool twoPages) {
  static const sim::RenderedCard one = [] {
    sim::CardSpec def;
    def.angleDeg = 0.6;
    return sim::RenderCard(def, 21);
  }();
  static const sim::RenderedCard two = [] {
    sim::CardSpec def;
    def.angleDeg = 0.6;
    def.pageHeight = 2200;
    def.height = 4400;
    return sim::RenderCard(def, 22);
  }();
  return twoPages ? two : one;
}

void Analyse(benchmark::State& state, uint32_t requested, bool twoPages) {
  const sim::RenderedCard& card = Card(twoPages);
  int result = 0;
  for (auto _ : state) {
    FormPositionRecord f{};
    f.requested = requested;
    f.pageHeight = uint32_t(card.truth.pageHeight);
    result = AutoFormPosition(card.image.pixels.data(), card.image.width, card.image.height, &f);
    benchmark::DoNotOptimize(f);
  }
  if (result != 0) state.SkipWithError("the card was not analysed");
  state.counters["pages"] = twoPages ? 2 : 1;
}

void BM_CardPageBoxes(benchmark::State& state) {
  Analyse(state, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT, false);
}
void BM_CardPageWithFlatFingers(benchmark::State& state) {
  Analyse(state, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT | AP_CLIPPEDFLATRIGHT | AP_CLIPPEDFLATLEFT, false);
}
void BM_CardTwoPages(benchmark::State& state) {
  Analyse(state, AP_TENPRINT | AP_PLAINTP | AP_FLATPRINT | AP_CLIPPEDFLATRIGHT | AP_CLIPPEDFLATLEFT, true);
}

}  // namespace

BENCHMARK(BM_CardPageBoxes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CardPageWithFlatFingers)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CardTwoPages)->Unit(benchmark::kMillisecond);
