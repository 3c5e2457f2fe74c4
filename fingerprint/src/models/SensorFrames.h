#pragma once
// Small pieces the scanner model classes share: geometry records, the sync test of the
// single-finger sensors, window cuts and the device information record.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "zarn/ZarnTypes.h"

struct FrameGeometry;

namespace sensorframes {

// The "none" record of a model without that mode: every value 1.
void SetNoGeometry(FrameGeometry& g);

// Bytes 1 and 3 of a single-finger sensor's frame are 255, bytes 2 and 4 are 0.
bool HasSyncBytes(const uint8_t* frame);

// How a window of the frame is laid into the image.
enum class WindowTurn {
    None,        // as it is
    Mirror,      // left-right: output column k = input column right - k
    Rotate180,   // the first input pixel becomes the last output pixel
};
// Copies rows top..bottom, columns left..right of a frame whose rows are frameWidth long into the
// start of the same buffer, turned as asked. The window lies at or after its destination, so the
// copy runs forward in place.
void CutWindow(uint8_t* frame, int frameWidth, int top, int bottom, int left, int right, WindowTurn turn);

// Transposes a w x h image into h x w in place: output row c, column r = input row r, column c.
// 0, or -2 when the copy cannot be allocated.
int Transpose(uint8_t* image, int w, int h);

// The quarter turn of the 2912 x 4512 sensor's frames (PloverC, VireoB), through a copy that grows
// once to the largest frame, so a running mode allocates nothing. Output row r, column c (w rows
// of h pixels) = input row h - 1 - c, column w - 1 - r. 0, or -2 when the copy cannot be allocated.
class QuarterTurn {
public:
    int operator()(uint8_t* image, int w, int h);

private:
    std::unique_ptr<uint8_t[]> copy_;
    size_t size_ = 0;
};

// The record of the ten-print scanners: vendor, product and interface texts, the serial and the
// two manufacturing dates from the 24-byte device text, the hardware word at offset 516. Dates
// that cannot be real give the serial "0000" and both dates "20080430".
void FillDatedDeviceInfo(ZarnDeviceInfo* info, const char* deviceText, const char* product);
// The record of the single-finger scanners: resolution, vendor, product and interface texts and,
// when asked, the hardware word; no serial and no dates.
void FillPlainDeviceInfo(ZarnDeviceInfo* info, const char* deviceText, const char* product, uint32_t resolution,
                         bool hardwareWord);

}  // namespace sensorframes
