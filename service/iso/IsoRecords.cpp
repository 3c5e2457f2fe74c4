#include "IsoRecords.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Big-endian writers over a buffer whose size the caller has already checked.
uint8_t* Put8(uint8_t* p, uint8_t v) {
    *p = v;
    return p + 1;
}
uint8_t* Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
    return p + 2;
}
uint8_t* Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
    return p + 4;
}
uint8_t* PutBytes(uint8_t* p, const void* src, size_t n) {
    if (n)
        memcpy(p, src, n);
    return p + n;
}

// Adds `extra` to a record length, refusing a total that no longer fits the 32-bit length field.
bool GrowLength(uint32_t& length, uint64_t extra) {
    uint64_t total = static_cast<uint64_t>(length) + extra;
    if (total > UINT32_MAX)
        return false;
    length = static_cast<uint32_t>(total);
    return true;
}

uint8_t* CopyPixels(const uint8_t* pixels, uint32_t count) {
    uint8_t* copy = static_cast<uint8_t*>(malloc(count ? count : 1));
    if (copy && count)
        memcpy(copy, pixels, count);
    return copy;
}

}  // namespace

int ISO_FIR_Create(ISO_FIR_Record** record) {
    if (!record)
        return -1;
    *record = static_cast<ISO_FIR_Record*>(calloc(1, sizeof(ISO_FIR_Record)));
    if (!*record) {
        fprintf(stderr, "Failed allocating memory for FIR\n");
        return -1;
    }
    return 0;
}

int ISO_FIR_InitHeader(ISO_FIR_Record* record) {
    if (!record)
        return -1;
    memcpy(record->formatId, "FIR", 4);
    memcpy(record->version, "010", 4);
    record->recordLength = kIsoFirHeaderLength;
    record->deviceId = 0;
    record->acquisitionLevel = 31;
    record->fingerCount = 0;
    record->scaleUnits = 1;
    record->scanResolutionX = record->scanResolutionY = 500;
    record->imageResolutionX = record->imageResolutionY = 500;
    record->pixelDepth = 8;
    record->compression = 0;
    record->reserved = 0;
    return 0;
}

int ISO_FIR_SetCompression(ISO_FIR_Record* record, uint8_t algorithm) {
    if (!record)
        return -1;
    record->compression = algorithm;
    return 0;
}

int ISO_FIR_SetScaleAndResolutions(ISO_FIR_Record* record, uint8_t scaleUnits, uint16_t scanX, uint16_t scanY,
                                   uint16_t imageX, uint16_t imageY) {
    if (!record)
        return -1;
    record->scaleUnits = scaleUnits;
    record->scanResolutionX = scanX;
    record->scanResolutionY = scanY;
    record->imageResolutionX = imageX;
    record->imageResolutionY = imageY;
    // 1000 ppi (or 394 pixels per cm) is acquisition level 41; everything else stays at 31.
    bool high = (scaleUnits == 1 && scanX == 1000) || (scaleUnits == 2 && scanX == 394);
    record->acquisitionLevel = high ? 41 : 31;
    return 0;
}

int ISO_FIR_AddImgRec(ISO_FIR_Record* record, uint8_t position, uint8_t quality, uint8_t impressionType,
                      uint16_t width, uint16_t height, const uint8_t* pixels, uint32_t pixelCount) {
    if (!record || (pixelCount && !pixels))
        return -1;
    uint32_t newLength = record->recordLength;
    if (!GrowLength(newLength, uint64_t{kIsoFirViewHeaderLength} + pixelCount))
        return -1;

    // Find the position's slot, or the place where a new one keeps the slots in order.
    int index = 0;
    while (index < record->slotCount && record->slots[index].position < position)
        ++index;
    bool isNew = index == record->slotCount || record->slots[index].position != position;
    if (isNew && record->slotCount == kIsoFirSlots)
        return -1;
    if (!isNew && record->slots[index].viewCount == UINT8_MAX)
        return -1;

    ISO_FIR_View* view = static_cast<ISO_FIR_View*>(calloc(1, sizeof(ISO_FIR_View)));
    if (!view) {
        fprintf(stderr, "Failed allocating memory for FIR view\n");
        return -1;
    }
    view->data = CopyPixels(pixels, pixelCount);
    if (!view->data) {
        fprintf(stderr, "Failed allocating memory for FIR Data Block\n");
        free(view);
        return -1;
    }

    if (isNew) {
        memmove(&record->slots[index + 1], &record->slots[index],
                sizeof(ISO_FIR_Slot) * static_cast<size_t>(record->slotCount - index));
        record->slots[index] = ISO_FIR_Slot{position, 0, nullptr};
        ++record->slotCount;
        ++record->fingerCount;
    }
    ISO_FIR_Slot& slot = record->slots[index];
    view->viewNumber = static_cast<uint8_t>(slot.viewCount + 1);
    view->quality = quality;
    view->impressionType = impressionType;
    view->width = width;
    view->height = height;
    view->reserved = 0;
    view->dataLength = pixelCount;
    ISO_FIR_View** tail = &slot.views;
    while (*tail)
        tail = &(*tail)->next;
    *tail = view;
    ++slot.viewCount;
    record->recordLength = newLength;
    return 0;
}

int ISO_FIR_GetRecord(const ISO_FIR_Record* record, uint8_t** buffer, uint32_t* length) {
    if (!record || !buffer || !length)
        return -1;
    *buffer = nullptr;
    *length = 0;
    uint8_t* out = static_cast<uint8_t*>(calloc(1, record->recordLength));
    if (!out)
        return -1;
    uint8_t* p = PutBytes(out, record->formatId, 4);
    p = PutBytes(p, record->version, 4);
    p = Put16(p, 0);  // the two high bytes of the six-byte length
    p = Put32(p, record->recordLength);
    p = Put16(p, record->deviceId);
    p = Put16(p, record->acquisitionLevel);
    p = Put8(p, record->fingerCount);
    p = Put8(p, record->scaleUnits);
    p = Put16(p, record->scanResolutionX);
    p = Put16(p, record->scanResolutionY);
    p = Put16(p, record->imageResolutionX);
    p = Put16(p, record->imageResolutionY);
    p = Put8(p, record->pixelDepth);
    p = Put8(p, record->compression);
    p = Put16(p, record->reserved);
    for (int s = 0; s < record->slotCount; ++s) {
        const ISO_FIR_Slot& slot = record->slots[s];
        for (const ISO_FIR_View* v = slot.views; v; v = v->next) {
            p = Put32(p, kIsoFirViewHeaderLength + v->dataLength);
            p = Put8(p, slot.position);
            p = Put8(p, slot.viewCount);
            p = Put8(p, v->viewNumber);
            p = Put8(p, v->quality);
            p = Put8(p, v->impressionType);
            p = Put16(p, v->width);
            p = Put16(p, v->height);
            p = Put8(p, v->reserved);
            p = PutBytes(p, v->data, v->dataLength);
        }
    }
    *buffer = out;
    *length = record->recordLength;
    return 0;
}

int ISO_FIR_Free(ISO_FIR_Record* record) {
    if (!record)
        return -1;
    for (int s = 0; s < record->slotCount; ++s) {
        ISO_FIR_View* v = record->slots[s].views;
        while (v) {
            ISO_FIR_View* next = v->next;
            free(v->data);
            free(v);
            v = next;
        }
    }
    free(record);
    return 0;
}

int IIR_Create(IIR_Record** record) {
    if (!record)
        return -1;
    *record = static_cast<IIR_Record*>(calloc(1, sizeof(IIR_Record)));
    if (!*record)
        return -1;
    IIR_Record* r = *record;
    memcpy(r->formatId, "IIR", 4);
    memcpy(r->version, "010", 4);
    r->recordLength = kIirHeaderLength;
    r->headerLength = kIirHeaderLength;
    for (uint8_t s = 0; s < 3; ++s)
        r->subtypes[s].subtype = s;
    return 0;
}

int IIR_AddImgRec(IIR_Record* record, uint8_t subtype, uint8_t quality, uint16_t rotationAngle,
                  uint16_t rotationUncertainty, uint32_t pixelCount, const uint8_t* pixels) {
    if (!record || subtype > 2 || (pixelCount && !pixels))
        return -1;
    IIR_Subtype& block = record->subtypes[subtype];
    bool isNew = block.imageCount == 0;
    if (block.imageCount == UINT16_MAX)
        return -1;
    uint32_t newLength = record->recordLength;
    if (!GrowLength(newLength, (isNew ? kIirSubtypeHeaderLength : 0) + uint64_t{kIirImageHeaderLength} + pixelCount))
        return -1;

    IIR_Image* image = static_cast<IIR_Image*>(calloc(1, sizeof(IIR_Image)));
    if (!image)
        return -1;
    image->data = CopyPixels(pixels, pixelCount);
    if (!image->data) {
        free(image);
        return -1;
    }
    if (isNew)
        ++record->subtypeCount;
    image->imageNumber = static_cast<uint16_t>(block.imageCount + 1);
    image->quality = quality;
    image->rotationAngle = rotationAngle;
    image->rotationUncertainty = rotationUncertainty;
    image->dataLength = pixelCount;
    IIR_Image** tail = &block.images;
    while (*tail)
        tail = &(*tail)->next;
    *tail = image;
    ++block.imageCount;
    record->recordLength = newLength;
    return 0;
}

int IIR_GetRecord(IIR_Record* record, uint32_t* length, uint8_t** buffer) {
    if (!record || !length || !buffer)
        return -1;
    *buffer = nullptr;
    *length = 0;
    if (record->headerLength != kIirHeaderLength)
        record->headerLength = kIirHeaderLength;
    uint8_t* out = static_cast<uint8_t*>(calloc(1, record->recordLength));
    if (!out)
        return -1;
    uint8_t* p = PutBytes(out, record->formatId, 4);
    p = PutBytes(p, record->version, 4);
    p = Put32(p, record->recordLength);
    p = Put16(p, record->deviceId);
    p = Put8(p, record->subtypeCount);
    p = Put16(p, record->headerLength);
    p = Put16(p, record->propertyBits);
    p = Put16(p, record->irisDiameter);
    p = Put16(p, record->imageFormat);
    p = Put16(p, record->rawWidth);
    p = Put16(p, record->rawHeight);
    p = Put8(p, record->intensityDepth);
    p = Put8(p, record->transformation);
    p = PutBytes(p, record->deviceUid, sizeof record->deviceUid);
    for (int s = 2; s >= 0; --s) {
        const IIR_Subtype& block = record->subtypes[s];
        if (block.imageCount == 0)
            continue;
        p = Put8(p, block.subtype);
        p = Put16(p, block.imageCount);
        for (const IIR_Image* img = block.images; img; img = img->next) {
            p = Put16(p, img->imageNumber);
            p = Put8(p, img->quality);
            p = Put16(p, img->rotationAngle);
            p = Put16(p, img->rotationUncertainty);
            p = Put32(p, img->dataLength);
            p = PutBytes(p, img->data, img->dataLength);
        }
    }
    *buffer = out;
    *length = record->recordLength;
    return 0;
}

int IIR_Free(IIR_Record* record) {
    if (!record)
        return -1;
    for (IIR_Subtype& block : record->subtypes) {
        IIR_Image* img = block.images;
        while (img) {
            IIR_Image* next = img->next;
            free(img->data);
            free(img);
            img = next;
        }
    }
    free(record);
    return 0;
}
