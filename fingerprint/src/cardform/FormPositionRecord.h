#pragma once
// The card-form record through which a caller asks for and receives the analysis of a scanned
// tenprint card. The caller clears it, fills the requested flags and the expected geometry and
// passes it by pointer. Coordinates are image pixels at 500 ppi.

#include <cstdint>

struct FormPoint {
  int16_t x, y;
};
struct FormBox {
  int16_t cx, cy;  // centre
  uint16_t w, h;
};
struct FormTriple {
  int16_t x, y, angle;  // angle in degrees, 0 upright
};

// Flag bits of the requested and found words.
constexpr uint32_t AP_TENPRINT = 0x001;
constexpr uint32_t AP_FLATPRINT = 0x002;
constexpr uint32_t AP_DEMOGRAPH = 0x004;
constexpr uint32_t AP_DEMOTHRESHOLD = 0x008;
constexpr uint32_t AP_BARCODE = 0x0F0;  // 0x10, 0x20 along the rows; 0x40, 0x80 along the columns
constexpr uint32_t AP_PLAINTP = 0x100;
constexpr uint32_t AP_CLIPPEDFLATRIGHT = 0x200;
constexpr uint32_t AP_CLIPPEDFLATLEFT = 0x400;

struct FormPositionRecord {
  uint32_t requested;
  uint32_t found;
  uint16_t boxWidth, boxHeight;  // rolled-print box dimension
  FormPoint rolled[10];          // fingers 1-5, then 6-10
  FormBox thumbs[2];             // right, left
  FormBox fourFingers[2];        // right, left
  FormBox demographic;
  uint32_t demographicThreshold;
  FormBox barcodeBox;
  int32_t barcodeLength, barcodeType, barcodeTolerance;
  char barcodeText[128];
  FormBox plainBox;
  uint8_t unread[4];
  FormTriple rightFlat[5];
  FormTriple leftFlat[5];
  uint32_t pageHeight;
};
static_assert(sizeof(FormPositionRecord) == 320, "the record keeps its byte layout");
