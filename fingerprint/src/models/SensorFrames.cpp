#include "SensorFrames.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "ModelCommon.h"

namespace sensorframes {

void SetNoGeometry(FrameGeometry& g) { g = {1, 1, 1, 1, 1}; }

bool HasSyncBytes(const uint8_t* frame) { return frame[1] == 255 && frame[2] == 0 && frame[3] == 255 && frame[4] == 0; }

void CutWindow(uint8_t* frame, int frameWidth, int top, int bottom, int left, int right, WindowTurn turn) {
    const int w = right - left + 1, h = bottom - top + 1;
    for (int r = 0; r < h; ++r) {
        const uint8_t* src = frame + size_t(top + r) * size_t(frameWidth) + size_t(left);
        uint8_t* dst = frame + size_t(r) * size_t(w);
        if (turn == WindowTurn::None) {
            std::memmove(dst, src, size_t(w));
        } else {
            // The source row starts at or after the destination row's end only in part: read it
            // out first (a window row is at most a frame row).
            uint8_t row[4096];
            if (w > int(sizeof row)) return;  // no window of these sensors is that wide
            std::memcpy(row, src, size_t(w));
            std::reverse_copy(row, row + w, dst);
        }
    }
    // A half turn is a mirror of the rows taken in reverse order.
    if (turn == WindowTurn::Rotate180) ImageUpToDown(frame, w, h);
}

int Transpose(uint8_t* image, int w, int h) {
    const size_t n = size_t(w) * size_t(h);
    uint8_t* copy = new (std::nothrow) uint8_t[n];
    if (copy == nullptr) return ZARN_ERR_MEM_ALLOC;
    std::memcpy(copy, image, n);
    for (int c = 0; c < w; ++c)
        for (int r = 0; r < h; ++r) image[size_t(c) * size_t(h) + size_t(r)] = copy[size_t(r) * size_t(w) + size_t(c)];
    delete[] copy;
    return 0;
}

int QuarterTurn::operator()(uint8_t* image, int w, int h) {
    const size_t n = size_t(w) * size_t(h);
    if (size_ < n) {
        copy_.reset(new (std::nothrow) uint8_t[n]);
        size_ = copy_ ? n : 0;
        if (!copy_) return ZARN_ERR_MEM_ALLOC;
    }
    std::memcpy(copy_.get(), image, n);
    // Input index w x h - 1 - c x w - r: output row r walks an input column upwards.
    for (int r = 0; r < w; ++r) {
        uint8_t* out = image + size_t(r) * size_t(h);
        const uint8_t* last = copy_.get() + (n - 1 - size_t(r));
        for (int c = 0; c < h; ++c) out[c] = *(last - size_t(c) * size_t(w));
    }
    return 0;
}

namespace {

uint32_t U32At(const char* text, int offset) {
    uint32_t v = 0;
    std::memcpy(&v, text + offset, 4);
    return v;
}

}  // namespace

void FillDatedDeviceInfo(ZarnDeviceInfo* info, const char* deviceText, const char* product) {
    std::memset(info, 0, sizeof *info);
    zarnmodel::FillDeviceTexts(info, deviceText, 500, product, "USB2.0");
    std::snprintf(info->serialNumber, sizeof info->serialNumber, "%d", int(U32At(deviceText, 16)));
    struct Date {
        int year, month, day;
    } dates[2];
    bool valid = true;
    for (int i = 0; i < 2; ++i) {
        uint16_t packed = 0;
        std::memcpy(&packed, deviceText + 20 + 2 * i, 2);
        dates[i] = {2000 + (packed & 0x7F), (packed >> 12) & 0xF, (packed >> 7) & 0x1F};
        valid = valid && dates[i].year <= 2100 && dates[i].month >= 1 && dates[i].month <= 12 && dates[i].day != 0;
    }
    if (!valid) {
        std::snprintf(info->serialNumber, sizeof info->serialNumber, "%04d", 0);
        dates[0] = dates[1] = {2008, 4, 30};
    }
    std::snprintf(info->firstDate, sizeof info->firstDate, "%04d%02d%02d", dates[0].year, dates[0].month, dates[0].day);
    std::snprintf(info->secondDate, sizeof info->secondDate, "%04d%02d%02d", dates[1].year, dates[1].month, dates[1].day);
}

void FillPlainDeviceInfo(ZarnDeviceInfo* info, const char* deviceText, const char* product, uint32_t resolution,
                         bool hardwareWord) {
    std::memset(info, 0, sizeof *info);
    zarnmodel::FillDeviceTexts(info, deviceText, resolution, product, "USB2.0", hardwareWord);
}

}  // namespace sensorframes
