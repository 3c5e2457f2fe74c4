// The full-resolution result of the FireWire ten-print scanners on one core: KestrelD's interleaved
// grid (four placements with background correction and palm check, then the row sharpening) and
// KestrelB's four SR3 combinations, from four parts of the simulated camera's test picture; and the
// flat output that follows either (KestrelD's transpose, the stretch and the keystone correction
// to the 5104 x 5000 slap result).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "Detailer.h"
#include "MosaicCalls.h"
#include "models/ZarnScannerKestrel.h"
#include "sim/SimKestrel.h"

namespace {

constexpr int W = 2912, H = 4512;

// Part n of the test picture, tagged as the camera tags it.
std::vector<uint8_t> Part(int n) {
    std::vector<uint8_t> f(size_t(W) * H);
    const int dy = n == 0 || n == 3, dx = n >= 2;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) f[size_t(y) * W + x] = sim::SimKestrel::PatternGroundTruth(0, 2 * x + dx, 2 * y + dy);
    f[5] = uint8_t(129 + n);
    return f;
}

void BM_KestrelDGridAndSharpening(benchmark::State& state) {
    ZarnScannerKestrelD d;
    g_pScanner = &d;
    if (d.ApplyStaticMemory() != 0) {
        state.SkipWithError("no memory");
        return;
    }
    std::vector<std::vector<uint8_t>> parts;
    for (int n = 0; n < 4; ++n) parts.push_back(Part(n));
    for (auto _ : state) {
        state.PauseTiming();
        for (int n = 0; n < 4; ++n) std::memcpy(d.m_pQuad[n], parts[size_t(n)].data(), parts[size_t(n)].size());
        d.m_nBackgroundCounter = 0;
        d.m_pPreviousPart = nullptr;
        state.ResumeTiming();
        for (int n = 0; n < 4; ++n) d.FillUpBigImage(n, d.m_pQuad[n], d.m_pQuadSecond);
        SmoothImageRows(d.m_pQuadSecond, 2 * W, 2 * H, 8);
        benchmark::DoNotOptimize(d.m_pQuadSecond[12345]);
    }
    d.ReleaseStaticMemory();
    g_pScanner = nullptr;
}
BENCHMARK(BM_KestrelDGridAndSharpening)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_KestrelSmoothImageRows(benchmark::State& state) {
    std::vector<uint8_t> image = Part(1);
    image.resize(size_t(4) * W * H, 128);
    for (auto _ : state) {
        SmoothImageRows(image.data(), 2 * W, 2 * H, 8);
        benchmark::DoNotOptimize(image[777]);
    }
}
BENCHMARK(BM_KestrelSmoothImageRows)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_KestrelBSr3(benchmark::State& state) {
    ZarnScannerKestrelB b;
    g_pScanner = &b;
    if (b.ApplyStaticMemory() != 0) {
        state.SkipWithError("no memory");
        return;
    }
    std::vector<std::vector<uint8_t>> parts;
    for (int n = 0; n < 4; ++n) {
        parts.push_back(Part(n));
        b.RotateImage(parts.back().data(), W, H);
        parts.back()[5] = uint8_t(129 + n);
    }
    for (auto _ : state) {
        state.PauseTiming();
        for (int n = 0; n < 4; ++n) std::memcpy(b.m_pQuad[n], parts[size_t(n)].data(), parts[size_t(n)].size());
        b.m_nCollectedMask = 0;
        b.m_nStitchCount = 0;
        state.ResumeTiming();
        benchmark::DoNotOptimize(b.GetFullModeResultImage_Step2());
    }
    b.ReleaseStaticMemory();
    g_pScanner = nullptr;
}
BENCHMARK(BM_KestrelBSr3)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_KestrelFlatResultOutput(benchmark::State& state) {
    ZarnScannerKestrelD d;
    g_pScanner = &d;
    if (d.ApplyStaticMemory() != 0) {
        state.SkipWithError("no memory");
        return;
    }
    // The parts stay alive while the grid is filled: each placement compares with the previous part.
    std::vector<std::vector<uint8_t>> parts;
    for (int n = 0; n < 4; ++n) {
        parts.push_back(Part(n));
        d.FillUpBigImage(n, parts.back().data(), d.m_pQuadSecond);
    }
    d.m_pPreviousPart = nullptr;
    std::vector<uint8_t> grid(d.m_pQuadSecond, d.m_pQuadSecond + size_t(4) * W * H);
    d.m_nImageType = 2;
    d.m_nFullResult = 1;  // as after the capture of the four parts: the full-mode distortion set
    d.m_hDistortion = MM_TDistortionCorrectInit();
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(d.m_pQuadSecond, grid.data(), grid.size());
        state.ResumeTiming();
        const int r = d.FlatResultOutput();
        if (r != 0) {
            state.SkipWithError(("flat output failed: " + std::to_string(r)).c_str());
            break;
        }
        benchmark::DoNotOptimize(d.m_pQuadSecond[4321]);
    }
    MM_TDistortionCorrectRelease(&d.m_hDistortion);
    d.ReleaseStaticMemory();
    g_pScanner = nullptr;
}
BENCHMARK(BM_KestrelFlatResultOutput)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
