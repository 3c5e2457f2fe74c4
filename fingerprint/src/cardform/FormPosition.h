#pragma once
// Analysis of a scanned tenprint card at 500 ppi: the ruled lines are found on the card reduced
// by 8, the rolled-print boxes, the thumb and four-finger boxes and the plain-print row are
// located and corrected for skew, the flat prints are cut into fingers, the demographic area is
// fitted between the rows and given a grey threshold, and the bar code is located and read.
//
// Images are `height` rows of `width` bytes. Every function returns 0 (or a positive value) for
// success and a negative value for failure, and prints its messages to standard output. The
// working images live in a per-thread context, so analyses on different threads do not disturb
// each other; the tuning values are shared by the whole process.

#include <cstdint>

#include "FormPositionRecord.h"

// Bit handed to the finger segmentation of Crop_Flat as its orientation switch.
constexpr uint32_t AP_FLATORIENTATION = 0x800;

// The tuning values, in pixels / 8 (index 0 unused).
struct FormPositionParameters {
  int32_t value[13];
};
FormPositionParameters CurrentFormPositionParameters();

// The whole analysis. 0 when everything requested was found, -1 for refused input, else minus
// the accumulated condition code (1 plain row abandoned, 2 no horizontal lines, 10 skew
// measurement failed, 100 plain row analysis failed, 1000 line pairing inconsistent, 10000 rolled
// rows or plain row not found).
int AutoFormPosition(const uint8_t* image, int width, int height, FormPositionRecord* form);
// Sets the tuning values from para[1..12] (1..8 in pixels), then runs AutoFormPosition.
int AutoFormPositionWithParameters(const uint8_t* image, int width, int height, FormPositionRecord* form,
                                   const int* para);
// Rolled-print positions: out[0] box height, out[1] box width, then y and x of fingers 1..10.
int GetTenprintPositions(const int16_t size[2], const uint8_t* image, uint32_t out[22]);
// AutoFormPosition with its report on standard output; an abandoned plain row is retried with
// Crop_Flat from the caller's boxes.
int AutoFormPositionReport(const uint8_t* image, int width, int height, FormPositionRecord* form);
// Cuts the four-finger boxes of the requested hands into fingers. 0, -127 when no hand is
// requested, else -(right code + 256 x left code).
int Crop_Flat(const int16_t size[2], const uint8_t* image, FormPositionRecord* form);
// Locates a bar code inside the demographic box of the record and reads it; the found extent goes
// into the bar-code box. geometry = {width, height, ppi}. 0 or -1.
int LocateAndReadBarcode(const int16_t geometry[3], const uint8_t* image, FormPositionRecord* form);
// Grey threshold of an area (clipped to the image and to 4096 x 4096).
int DemographicThreshold(const uint8_t* image, int width, int height, int x, int y, int w, int h);

// Centre of a rolled-print box, in image pixels, on a card turned by t = tan(angle). The box's
// upper and lower lines are the lines y - t x = U through their rows at column 0 (upperU,
// lowerU); its left and right edges are the lines x + t y = K through the edge points that the
// card-angle measurement wrote (row in `first`, column in `end`); all in reduced pixels. The
// centre is the middle of the diagonal from the upper-left to the lower-right corner, each
// coordinate trunc((c1 + c2 + 1) x 4).
struct FormLine;
FormPoint RolledBoxCentre(double t, double upperU, double lowerU, const FormLine& leftEdge, const FormLine& rightEdge);
