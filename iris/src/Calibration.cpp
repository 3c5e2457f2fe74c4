// LED calibration: steps the level of a camera's two red LEDs together until the mean brightness
// of its live image lies in the target band.
#include <algorithm>
#include <vector>

#include "ZarnIrisBase.h"
#include "zarn/ZarnTraceLogger.h"

namespace iriscap {

int ZarnIrisBase::BrightnessStep(int low, int high, const uint8_t* image, int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    int64_t sum = 0;
    for (int y = 0; y < height; y += 4)
        for (int x = 0; x < width; x += 4) sum += image[size_t(y) * width + x];
    const int64_t mean = sum * 16 / (int64_t(width) * height);
    if (low <= mean && mean <= high) return 0;
    const bool bright = mean > high;
    const int64_t d = bright ? (mean - (low + high) / 2 + 9) / 10 : ((low + high) / 2 - mean + 9) / 10;
    const int step = d > 20 ? 10 : d >= 10 ? 5 : d >= 5 ? 3 : 1;
    return bright ? -step : step;
}

void ZarnIrisBase::CalibrationBand(const char* serial, int* low, int* high) {
    if (serial[0] == '1' || serial[0] == '3') {
        *low = 220, *high = 230;
    } else {
        *low = 160, *high = 170;
    }
}

int ZarnIrisBase::SetCalibration() {
    ZarnTrace().LogText(3, "Enter ZarnIrisBase::SetCalibration()");
    int level = red1.load();
    auto exit = [&](int result) {
        ZarnTrace().Log(3, "Exit  SetCalibration(%d)=%d", level, result);
        return result;
    };
    std::vector<uint8_t> scratch;
    try {
        scratch.assign(size_t(std::max(frameSize, 0)), 0);
    } catch (const std::bad_alloc&) {
        return exit(ZARN_ERR_MEM_ALLOC);
    }
    int result = RunGraph();
    if (result != 0) return exit(result);
    ZarnDeviceInfo info{};
    if ((result = FillDeviceInfo(&info)) != 0) return exit(result);
    int low = 0, high = 0;
    CalibrationBand(info.serialNumber, &low, &high);
    auto measure = [&] {
        {
            std::lock_guard lock(frameMutex);
            std::copy(frame.begin(), frame.end(), scratch.begin());
        }
        return BrightnessStep(low, high, scratch.data(), width, height);
    };
    IrisSleep(100);
    int previous = measure();
    IrisSleep(100);
    int current = measure();
    int changes = 0, adjustments = 0;
    bool failed = false;
    while (current != 0) {
        if ((current > 0 && previous < 0) || (current < 0 && previous > 0)) {
            if (++changes == 7) break;  // oscillating around the band: keep the level
        }
        previous = current;
        level += current;
        if (level < 0 || level > 255 || ++adjustments > 256) {
            failed = true;
            break;
        }
        SetLed(level | 0x100);
        SetLed(level | 0x200);
        IrisSleep(100);
        current = measure();
    }
    if (failed) {
        SetLed(red1.load() | 0x100);
        SetLed(red2.load() | 0x200);
        return exit(ZARN_ERR_IRIS_CALIBRATION);
    }
    return exit(0);
}

}  // namespace iriscap
