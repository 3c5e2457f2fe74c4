#pragma once
// Offline segmentation of finished full-resolution flat images: a hand of four fingers (side known
// or unknown, with an amputation mask), a single thumb or two thumbs side by side, each finger
// described by a FingerInfo record that also carries its box, plus upright crops of the fingers.
//
// Image layout as in SlapSegmentation.h: `width` lines of `height` bytes, pixel (x, y) at byte
// x * height + y; fingers point along x (tips towards x = 0) and lie side by side along y. Dark is
// finger. Failures return -1 with one "Err: " line written into the caller's text buffer (at most
// errTextSize bytes, always terminated).

#include <cstddef>
#include <cstdint>

#include "SlapSegmentation.h"

// Finger positions of the offline segmentation.
constexpr int kFlatHandUnknown = 0;
constexpr int kFlatRightThumb = 11;
constexpr int kFlatLeftThumb = 12;
// 13 right hand, 14 left hand and 15 both thumbs as in SlapSegmentation.h.

// Private 64-byte parameter block of SegmentFlatImage (cleared on entry, carries no input).
struct FlatSegmentParams {
  int32_t Hand;       // reported hand of a four-finger image: 13, 14, or 0 when undecided
  int32_t Side;       // side whose finger numbers were used
  int32_t Flags;      // problem flags of the kept attempt
  int32_t Threshold;  // binarisation threshold of the 1/8 map
  int32_t Mode;       // map mode of the kept SegmentHand run (1 or 0)
  int32_t Reserved[11];
};
static_assert(sizeof(FlatSegmentParams) == 64, "the parameter block is 64 bytes");

// Grey-level statistics record of GreyLevelStats.
struct GreyStats {
  int Width = 0;        // in: lines
  int Height = 0;       // in: bytes per line
  int LowPercent = 0;   // in
  int HighPercent = 0;  // in
  int Mean = 0;         // out: integer mean
  int Share0 = 0;       // out: pixels at level 0 per unit (unit = 1 % of the pixels, at least 1)
  int Share255 = 0;     // out: pixels at level 255 per unit
  int Low = 0;          // out: first level where the count from 0 exceeds one unit
  int LowPct = 0;       // out: first level where it exceeds LowPercent units
  int High = 0;         // out: first level from 255 down where the count exceeds one unit
  int HighPct = 0;      // out: first level from 255 down where it exceeds HighPercent units
};

// Level and region record of LocateFingerArea (shared by BackgroundMask and SelectMainRegion).
struct AreaLevels {
  int Dark = 0;        // dark level (level statistics)
  int Bright = 0;      // bright level
  int Background = 0;  // grey level of the platen around the finger
  int Count = 0;       // main region: pixel count, box and coordinate sums
  int MinX = 0, MaxX = 0, MinY = 0, MaxY = 0;
  long long SumX = 0, SumY = 0;
  int Label = 0;       // label of the main region in the mask, 0 when none was taken
};

// Per-finger output of SegmentHand.
struct HandFinger {
  int Present = 0;  // 1 when the finger was found
  int X = 0, Y = 0; // centre, full-resolution pixels
  int Angle = 0;    // hand angle, degrees (90: fingers along x)
  int Grade = 0;    // 1..15
  int Finger = 0;   // ISO finger number
  int Left = 0, Right = 0, Top = 0, Bottom = 0;  // finger box: x from Left to Right, y from Top to Bottom
};
struct HandOutput {
  int Hand = 0;   // reported hand: 13, 14, or 0 when undecided
  int Side = 0;   // side used for the finger numbers
  int Flags = 0;  // problem flags of the kept attempt
  int Threshold = 0;
  HandFinger Fingers[4];  // slot 0 index finger .. slot 3 little finger
};

int GreyLevelStats(const uint8_t* image, GreyStats* stats);

// Every pixel of a 0/1 map becomes the count of 1 pixels in its (2r + 1)^2 window (clipped at the
// border) times 255 / (2r + 1)^2. Does nothing when its memory cannot be had.
void BinaryDensityFilter(uint8_t* map, int width, int height, int radius);

// Cuts an outWidth x outHeight image around (centreX, centreY), turned so that a finger at
// `angleDeg` stands upright (90 leaves the image as it is). Pixels outside the image take the
// bright level of the cut part. Returns 0, or -1 when the window misses the image (the output is
// then filled with 255 and nothing is read).
int GetImageByAngle(const uint8_t* image, int width, int height, int centreX, int centreY, int angleDeg,
                    uint8_t* out, int outWidth, int outHeight);

// Marks flat bright pixels with 1, the rest with 0 (radius r window).
void BackgroundMask(const uint8_t* image, int width, int height, const AreaLevels* levels, uint8_t* mask,
                    int radius);
// Labels the 0-regions of the mask (5, 6, ...) and puts the main one into `levels`. Returns its
// pixel count (0 when none was taken).
int SelectMainRegion(uint8_t* mask, int width, int height, AreaLevels* levels);
// Sets every pixel below v inside the convex hull of the boundary pixels >= v to v.
void FillConvexHull(uint8_t* map, int width, int height, int v);

// Box of the fingerprint area in a finger crop. Returns 0 with the box, a positive value when no
// box was found (255: no memory or too little background; else the pixel count of a too-small
// region), or -1 on bad arguments. Mode bit 0: levels from grey statistics instead of the ridge
// map; bit 1: leave the crop as it is (else the background outside the finger's hull is painted).
int LocateFingerArea(uint8_t* crop, int width, int height, int mode, int* left, int* right, int* top,
                     int* bottom);
int LocateFingerArea(uint8_t* crop, int width, int height, int* left, int* right, int* top, int* bottom);

// Sides of a 1/8 map: sizePair = {height, width} of the map; out receives four (x, y, angle)
// triples in map pixels. Returns the problem flags of the kept attempt, or -1 with a text.
int SegmentHandSide(const uint16_t sizePair[2], const uint8_t* map, int side, int mask, int expectedSize,
                    int threshold, int live, int secondSegments, int32_t out[12], char* errText,
                    size_t errTextSize);

// The narrower crops along x (first line, line count) that SegmentHandSide tries on a map of
// `lines` lines when the whole map reported problems; returns how many (1 or 2).
struct HandCrop {
  int x0 = 0, lines = 0;
};
int HandSideRetryCrops(int lines, HandCrop crops[2]);
// Index of the attempt SegmentHandSide keeps from the problem flags of its attempts in order.
int KeepHandAttempt(const int* flags, int count);

// Side of a hand of unknown side from the flags and first angles of both readings, once the right
// reading alone did not settle it: the working side (its finger numbers), the reported hand (0 when
// undecided) and the flags kept.
struct HandSideChoice {
  int side = 0, reported = 0, flags = 0;
};
HandSideChoice DecideHandSide(int r13, int a13, int r14, int a14);

// Four fingers of a hand (0 unknown side, 13 right, 14 left); amputation = fingers present (bit k =
// slot k). mode 1 builds the map by plain reduction, any other mode from the ridge measure.
// Returns the number of fingers found, or -1 with a text.
int SegmentHand(const uint8_t* image, int width, int height, int live, int hand, int amputation, int mode,
                HandOutput* out, FlatSegmentParams* params, char* errText, size_t errTextSize);

// Both thumbs (position 15); fingers holds two records. outFlag is set to 1 when an extra segment
// was dropped. Returns the number of thumbs found, or -1 with a text.
int FlatSegmentCent15(const uint8_t* image, int width, int height, int live, int position, int mask,
                      FingerInfo* fingers, int* outFlag, char* errText, size_t errTextSize);

// Segments the crop (x0, y0, cropWidth, cropHeight) of an image for a finger position (0, 11..15).
// fingers holds 4 records for hands, 1 for a single thumb, 2 for both thumbs. Returns the number
// of fingers found, or -1 with a text.
int SegmentFlatImage(const uint8_t* image, int width, int height, int position, int x0, int y0, int cropWidth,
                     int cropHeight, int live, int mask, FingerInfo* fingers, FlatSegmentParams* params,
                     char* errText, size_t errTextSize);
int SegmentFingerImage(const uint8_t* image, int width, int height, int position, int x0, int y0, int cropWidth,
                       int cropHeight, int live, int mask, FingerInfo* fingers, char* errText,
                       size_t errTextSize);

// Segments the image and cuts an outWidth x outHeight crop around every finger found, upright
// unless `rotate` is clear. Positions 13, 14 (four fingers) and 15 (two thumbs). out holds one
// buffer per finger. Returns the number of fingers, or -1 with a text.
int ExtractFingerImages(const uint8_t* image, int width, int height, int outWidth, int outHeight, int position,
                        int live, int rotate, int locate, uint8_t* const* out, char* errText, size_t errTextSize);
