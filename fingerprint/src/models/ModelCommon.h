#pragma once
// Small helpers the model classes share: geometry records, image-type records and the texts of
// the device record.

#include <cstdio>
#include <cstring>

#include "ZarnScannerBase.h"

namespace zarnmodel {

inline void SetGeometry(FrameGeometry& g, int width, int height, int xResolution, int yResolution) {
    g = {width, height, width * height, xResolution, yResolution};
}

// Fills a cleared image record from a geometry: sizes divided by sizeDivisor, resolutions by
// resolutionDivisor (integer division of the stored values).
inline int FillImageType(ZarnImageInfo* info, const FrameGeometry& g, int sizeDivisor, int resolutionDivisor,
                         double typeValue) {
    *info = ZarnImageInfo{};
    info->width = g.width / sizeDivisor;
    info->height = g.height / sizeDivisor;
    info->xResolution = g.xResolution / resolutionDivisor;
    info->yResolution = g.yResolution / resolutionDivisor;
    info->typeValue = typeValue;
    return 0;
}

// Resolution, vendor, product and interface of the device record, and the hardware word of the
// device text (bytes 12..15) at offset 516.
inline void FillDeviceTexts(ZarnDeviceInfo* info, const char* deviceText, unsigned resolution, const char* product,
                            const char* interfaceType, bool hardwareWord = true) {
    info->resolution = resolution;
    std::snprintf(info->vendor, sizeof info->vendor, "%s", "Tessik Systems");
    std::snprintf(info->model, sizeof info->model, "%s", product);
    std::snprintf(info->interfaceType, sizeof info->interfaceType, "%s", interfaceType);
    if (hardwareWord) std::memcpy(&info->hardwareWord, deviceText + 12, 4);
}

}  // namespace zarnmodel
