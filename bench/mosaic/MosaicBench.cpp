// Per-frame cost of the frame mosaic kernels on a rolled finger, and of the quality evaluation.
// The work should grow linearly with the pixel count: compare the two frame sizes.
#include <benchmark/benchmark.h>

#include <vector>

#include "LiveScanAlg.h"
#include "MosaicTestSupport.h"

using namespace LiveScanAlg;
using namespace mosaic_test;

namespace {

enum KernelId { kStitch, kBlock, kPreview, kQuick };

void RollKernel(benchmark::State& state)
{
    const int kernel = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const int width = height * 5 / 3;
    const int half = width / 6;
    const bool quick = kernel == kQuick;
    const size_t maskBytes = quick ? static_cast<size_t>(height / 4) * (width / 4)
                                   : static_cast<size_t>(height) * width;
    MosaicBuffers buffers(height, width, maskBytes, maskBytes);
    RectangleBlockInfoType info{};
    InitializeRectangleBlockInfo(height, width, 1, 1, &info);

    // A roll across the platen, replayed: each pass starts a new mosaic.
    std::vector<Image> frames;
    for (int centre = half + 10; centre + half + 10 < width; centre += width / 60) {
        frames.push_back(RenderFrame(height, width, Contact{centre, half, height / 12, height * 11 / 12}));
    }
    DestroyLiveScanParameter();
    int frameNumber = 0;
    size_t next = 0;
    for (auto _ : state) {
        Image& frame = frames[next];
        if (++next == frames.size()) next = 0;
        if (next == 1) frameNumber = 0;
        RunFingerTest(height, width, frame);
        int result = 0;
        switch (kernel) {
        case kStitch:
            result = StitchKernal(&frameNumber, height, width, frame.data(), buffers.mask.data(),
                                  buffers.mosaic.data(), buffers.coverage.data());
            break;
        case kBlock:
            result = StitchKernalBlock(&frameNumber, height, width, frame.data(), buffers.mask.data(),
                                       buffers.mosaic.data(), buffers.coverage.data());
            break;
        case kPreview:
            result = PreviewConstructImage(&frameNumber, height, width, frame.data(),
                                           buffers.mask.data(), buffers.mosaic.data(),
                                           buffers.coverage.data(), &info);
            break;
        case kQuick:
            result = MorwenConstructImageQuick(&frameNumber, height, width, frame.data(),
                                               buffers.mask.data(), buffers.mosaic.data(),
                                               buffers.coverage.data());
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(height) * width);
    DestroyLiveScanParameter();
}

void Evaluate(benchmark::State& state)
{
    const int height = static_cast<int>(state.range(0));
    const int width = height * 5 / 3;
    Image constructed = RenderFrame(height, width, Contact{width / 2, width / 3, height / 10, height * 9 / 10});
    for (unsigned char& v : constructed) v = v == kBackground ? 0 : v;
    RectangleBlockInfoType info{};
    InitializeRectangleBlockInfo(height, width, 32, 32, &info);
    MosaicImagePropertyType property{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EvaluateConstructedImageQuality(info, constructed.data(), constructed.data(), 10, &property));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(height) * width);
}

}  // namespace

BENCHMARK(RollKernel)
    ->ArgNames({"kernel", "height"})
    ->ArgsProduct({{kStitch, kBlock, kPreview, kQuick}, {480, 960}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(Evaluate)->Arg(480)->Arg(960)->Unit(benchmark::kMillisecond);
