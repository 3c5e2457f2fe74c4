#include "ISO19494.h"

#include "IsoRecords.h"
#include "runtime/Log.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMainLog = 0;

// The record fields hold 16-bit sizes, and a view's pixel count must match its size.
bool ValidImage(const char* op, int width, int height, long long pixelCount, const void* pixels) {
    if (width > 0 && height > 0 && width <= 65535 && height <= 65535 && pixels &&
        pixelCount == static_cast<long long>(width) * height)
        return true;
    TSK_LOG(LOGLEVEL_ERROR, kMainLog,
            op << ": invalid image " << width << "x" << height << " with " << pixelCount << " pixels.");
    return false;
}

// Pixels of an item top row first: the item's own buffer, or a turned copy of a bottom-up image
// that the caller frees.
const uint8_t* Upright(const ZarnImageInfo& info, uint8_t** copy) {
    *copy = nullptr;
    if (info.rowOrder >= 0)
        return info.image;
    size_t rowBytes = static_cast<size_t>(info.width);
    size_t rows = static_cast<size_t>(info.height);
    *copy = static_cast<uint8_t*>(malloc(rowBytes * rows));
    if (!*copy)
        return nullptr;
    for (size_t r = 0; r < rows; ++r)
        memcpy(*copy + r * rowBytes, info.image + (rows - 1 - r) * rowBytes, rowBytes);
    return *copy;
}

bool FinishFir(ISO_FIR_Record* fir, unsigned char** record, unsigned int* length) {
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    int rc = ISO_FIR_GetRecord(fir, &buffer, &size);
    ISO_FIR_Free(fir);
    if (rc != 0 || !buffer || size == 0) {
        free(buffer);
        *record = nullptr;
        TSK_LOG(LOGLEVEL_ERROR, kMainLog, "CISO19494_4::GenerateIsoFir: ISO_FIR_GetRecord failed.");
        return false;
    }
    *record = buffer;
    *length = size;
    return true;
}

ISO_FIR_Record* StartFir(uint8_t compression, uint8_t scaleUnits, uint16_t scanX, uint16_t scanY, uint16_t imageX,
                         uint16_t imageY) {
    ISO_FIR_Record* fir = nullptr;
    if (ISO_FIR_Create(&fir) != 0) {
        TSK_LOG(LOGLEVEL_ERROR, kMainLog, "CISO19494_4::GenerateIsoFir: ISO_FIR_Create failed.");
        return nullptr;
    }
    ISO_FIR_InitHeader(fir);
    ISO_FIR_SetCompression(fir, compression);
    ISO_FIR_SetScaleAndResolutions(fir, scaleUnits, scanX, scanY, imageX, imageY);
    return fir;
}

}  // namespace

int CISO19494_4::PositionFromImageType(int imageType) {
    switch (imageType) {
    case 2: return 13;  // right four fingers
    case 3: return 14;  // left four fingers
    case 4: return 15;  // two thumbs
    default: return (imageType >= 23 && imageType <= 32) ? imageType - 22 : 0;
    }
}

bool CISO19494_4::GenerateIsoFir(int position, int width, int height, const unsigned char* pixels, int pixelCount,
                                 unsigned char** record, unsigned int* length) {
    if (!record || !length)
        return false;
    *record = nullptr;
    if (!ValidImage("CISO19494_4::GenerateIsoFir", width, height, pixelCount, pixels) || position < 0 ||
        position > 255)
        return false;
    ISO_FIR_Record* fir = StartFir(0, 1, 500, 500, 500, 500);
    if (!fir)
        return false;
    if (ISO_FIR_AddImgRec(fir, static_cast<uint8_t>(position), 0, 0, static_cast<uint16_t>(width),
                          static_cast<uint16_t>(height), pixels, static_cast<uint32_t>(pixelCount)) != 0) {
        ISO_FIR_Free(fir);
        TSK_LOG(LOGLEVEL_ERROR, kMainLog, "CISO19494_4::GenerateIsoFir: ISO_FIR_AddImgRec failed.");
        return false;
    }
    return FinishFir(fir, record, length);
}

bool CISO19494_4::GenerateIsoFir(const std::vector<IsoImageItem>& items, unsigned char** record, unsigned int* length,
                                 uint8_t compression, uint8_t quality, uint8_t impressionType, uint8_t scaleUnits,
                                 uint16_t scanResolutionX, uint16_t scanResolutionY, uint16_t imageResolutionX,
                                 uint16_t imageResolutionY) {
    if (!record || !length)
        return false;
    *record = nullptr;
    for (const IsoImageItem& item : items)
        if (!ValidImage("CISO19494_4::GenerateIsoFir", item.image.width, item.image.height,
                        static_cast<long long>(item.image.width) * item.image.height, item.image.image))
            return false;
    ISO_FIR_Record* fir = StartFir(compression, scaleUnits, scanResolutionX, scanResolutionY, imageResolutionX,
                                   imageResolutionY);
    if (!fir)
        return false;
    for (const IsoImageItem& item : items) {
        uint8_t* copy = nullptr;
        const uint8_t* pixels = Upright(item.image, &copy);
        uint32_t count = static_cast<uint32_t>(item.image.width) * static_cast<uint32_t>(item.image.height);
        int rc = pixels ? ISO_FIR_AddImgRec(fir, static_cast<uint8_t>(PositionFromImageType(item.kind)), quality,
                                            impressionType, static_cast<uint16_t>(item.image.width),
                                            static_cast<uint16_t>(item.image.height), pixels, count)
                        : -1;
        free(copy);
        if (rc != 0) {
            ISO_FIR_Free(fir);
            TSK_LOG(LOGLEVEL_ERROR, kMainLog, "CISO19494_4::GenerateIsoFir: ISO_FIR_AddImgRec failed.");
            return false;
        }
    }
    return FinishFir(fir, record, length);
}

int CISO19494_6::SubtypeFromEyeCode(int eyeCode) {
    return eyeCode == 1 ? 2 : eyeCode == 2 ? 1 : 0;
}

bool CISO19494_6::GenerateIsoIir(const std::vector<IsoImageItem>& items, unsigned char** record, unsigned int* length,
                                 const char* serialNumber, uint16_t captureDeviceId, uint8_t imageQuality,
                                 uint16_t imageFormat) {
    if (!record || !length)
        return false;
    *record = nullptr;
    for (const IsoImageItem& item : items)
        if (!ValidImage("CISO19494_6::GenerateIsoIir", item.image.width, item.image.height,
                        static_cast<long long>(item.image.width) * item.image.height, item.image.image))
            return false;
    IIR_Record* iir = nullptr;
    if (IIR_Create(&iir) != 0) {
        TSK_LOG(LOGLEVEL_ERROR, kMainLog, "CISO19494_6::GenerateIsoIir: IIR_Create failed.");
        return false;
    }
    iir->deviceId = captureDeviceId;
    iir->imageFormat = imageFormat;
    iir->propertyBits = 0x0010;
    iir->irisDiameter = 210;
    iir->intensityDepth = 8;
    if (serialNumber) {
        // "D" and the serial number: at most 15 characters, then a zero byte; longer serials are cut.
        iir->deviceUid[0] = 'D';
        size_t n = strnlen(serialNumber, sizeof iir->deviceUid - 2);
        memcpy(iir->deviceUid + 1, serialNumber, n);
    }
    for (const IsoImageItem& item : items) {
        iir->rawWidth = static_cast<uint16_t>(item.image.width);
        iir->rawHeight = static_cast<uint16_t>(item.image.height);
        uint8_t* copy = nullptr;
        const uint8_t* pixels = Upright(item.image, &copy);
        uint32_t count = static_cast<uint32_t>(item.image.width) * static_cast<uint32_t>(item.image.height);
        int rc = pixels ? IIR_AddImgRec(iir, static_cast<uint8_t>(SubtypeFromEyeCode(item.kind)), imageQuality,
                                        0xFFFF, 0xFFFF, count, pixels)
                        : -1;
        free(copy);
        if (rc != 0) {
            IIR_Free(iir);
            TSK_LOG(LOGLEVEL_ERROR, kMainLog, "CISO19494_6::GenerateIsoIir: IIR_AddImgRec failed.");
            return false;
        }
    }
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    int rc = IIR_GetRecord(iir, &size, &buffer);
    IIR_Free(iir);
    if (rc != 0 || !buffer || size == 0) {
        free(buffer);
        TSK_LOG(LOGLEVEL_ERROR, kMainLog, "CISO19494_6::GenerateIsoIir: IIR_GetRecord failed.");
        return false;
    }
    *record = buffer;
    *length = size;
    return true;
}
