#pragma once
// In-memory ISO/IEC 19794-4:2005 finger image records (FIR) and ISO/IEC 19794-6:2005 iris image
// records (IIR), and their serialisation. Plain functions over plain records: 0 for success, -1 for
// failure; every buffer comes from malloc and goes back with free; every number is written
// big-endian.

#include <cstddef>
#include <cstdint>

// One view (image) of a finger position.
struct ISO_FIR_View {
    uint8_t viewNumber;
    uint8_t quality;
    uint8_t impressionType;
    uint16_t width;
    uint16_t height;
    uint8_t reserved;
    uint32_t dataLength;
    uint8_t* data;  // owned copy of the pixels
    ISO_FIR_View* next;
};

// All views of one finger position.
struct ISO_FIR_Slot {
    uint8_t position;
    uint8_t viewCount;
    ISO_FIR_View* views;
};

inline constexpr int kIsoFirSlots = 31;

struct ISO_FIR_Record {
    char formatId[4];
    char version[4];
    uint32_t recordLength;
    uint16_t deviceId;
    uint16_t acquisitionLevel;
    uint8_t fingerCount;
    uint8_t scaleUnits;
    uint16_t scanResolutionX;
    uint16_t scanResolutionY;
    uint16_t imageResolutionX;
    uint16_t imageResolutionY;
    uint8_t pixelDepth;
    uint8_t compression;
    uint16_t reserved;
    int slotCount;                      // slots in use, kept in increasing order of position
    ISO_FIR_Slot slots[kIsoFirSlots];
};

inline constexpr uint32_t kIsoFirHeaderLength = 32;
inline constexpr uint32_t kIsoFirViewHeaderLength = 14;

int ISO_FIR_Create(ISO_FIR_Record** record);
int ISO_FIR_InitHeader(ISO_FIR_Record* record);
int ISO_FIR_SetCompression(ISO_FIR_Record* record, uint8_t algorithm);
int ISO_FIR_SetScaleAndResolutions(ISO_FIR_Record* record, uint8_t scaleUnits, uint16_t scanX, uint16_t scanY,
                                   uint16_t imageX, uint16_t imageY);
int ISO_FIR_AddImgRec(ISO_FIR_Record* record, uint8_t position, uint8_t quality, uint8_t impressionType,
                      uint16_t width, uint16_t height, const uint8_t* pixels, uint32_t pixelCount);
int ISO_FIR_GetRecord(const ISO_FIR_Record* record, uint8_t** buffer, uint32_t* length);
int ISO_FIR_Free(ISO_FIR_Record* record);

// One image of an iris subtype.
struct IIR_Image {
    uint16_t imageNumber;
    uint8_t quality;
    uint16_t rotationAngle;
    uint16_t rotationUncertainty;
    uint32_t dataLength;
    uint8_t* data;  // owned copy of the pixels
    IIR_Image* next;
};

struct IIR_Subtype {
    uint8_t subtype;
    uint16_t imageCount;  // 0 while the subtype has no block in the record
    IIR_Image* images;
};

struct IIR_Record {
    char formatId[4];
    char version[4];
    uint32_t recordLength;
    uint16_t deviceId;
    uint8_t subtypeCount;
    uint16_t headerLength;
    uint16_t propertyBits;
    uint16_t irisDiameter;
    uint16_t imageFormat;
    uint16_t rawWidth;
    uint16_t rawHeight;
    uint8_t intensityDepth;
    uint8_t transformation;
    uint8_t deviceUid[16];
    IIR_Subtype subtypes[3];  // indexed by subtype code 0, 1, 2
};

inline constexpr uint32_t kIirHeaderLength = 45;
inline constexpr uint32_t kIirSubtypeHeaderLength = 3;
inline constexpr uint32_t kIirImageHeaderLength = 11;

int IIR_Create(IIR_Record** record);
int IIR_AddImgRec(IIR_Record* record, uint8_t subtype, uint8_t quality, uint16_t rotationAngle,
                  uint16_t rotationUncertainty, uint32_t pixelCount, const uint8_t* pixels);
int IIR_GetRecord(IIR_Record* record, uint32_t* length, uint8_t** buffer);
int IIR_Free(IIR_Record* record);
