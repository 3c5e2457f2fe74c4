#pragma once
// Builders of the ISO records the service hands out: finger image records (19794-4) for the
// fingerprint device and iris image records (19794-6) for the iris device.

#include <cstdint>
#include <string>
#include <vector>

#include "zarn/ZarnTypes.h"

// One image of a multi-image record: the library image type (finger) or eye code (iris), and the
// image as the capture library delivered it.
struct IsoImageItem {
    int32_t kind;
    ZarnImageInfo image;
};

class CISO19494_4 {
public:
    // One view at `position`, quality 0, plain live-scan impression, 500 ppi, uncompressed.
    static bool GenerateIsoFir(int position, int width, int height, const unsigned char* pixels, int pixelCount,
                               unsigned char** record, unsigned int* length);

    // One view per item, in list order, at the position of the item's image type.
    static bool GenerateIsoFir(const std::vector<IsoImageItem>& items, unsigned char** record, unsigned int* length,
                               uint8_t compression, uint8_t quality, uint8_t impressionType, uint8_t scaleUnits,
                               uint16_t scanResolutionX, uint16_t scanResolutionY, uint16_t imageResolutionX,
                               uint16_t imageResolutionY);

    // ISO finger position of a capture library image type (0 when the finger is not known).
    static int PositionFromImageType(int imageType);
};

class CISO19494_6 {
public:
    // One image per item, in list order, in the subtype of the item's eye code (1 left, 2 right).
    // `serialNumber` may be null for an all-zero device identifier.
    static bool GenerateIsoIir(const std::vector<IsoImageItem>& items, unsigned char** record, unsigned int* length,
                               const char* serialNumber, uint16_t captureDeviceId, uint8_t imageQuality,
                               uint16_t imageFormat);

    // Iris subtype of an eye code: 2 for the left eye (1), 1 for the right eye (2), 0 otherwise.
    static int SubtypeFromEyeCode(int eyeCode);
};
