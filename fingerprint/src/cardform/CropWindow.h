#pragma once
// Helpers of the finger crop-window placement: the block-mean threshold of a search area and the
// densest crop-sized window of a block map.
//
// Images are rows top to bottom, row length = image width; the image size comes as {width, height}.
// Block maps are `rows` rows of `cols` bytes.

#include <cstdint>

// Writes the means of the full `block` x `block` blocks of the area (rows top..top+height-1,
// columns left..left+width-1) into means ((height / block) rows of (width / block) bytes) and
// returns the grey threshold: the valley below the highest peak above the mean of the block
// means. Returns -1 with "ERROR: The histogram is too narrow !!! (%d, %d)\n" on standard output
// when the occupied levels (up to 254) span fewer than 10, and -1 without a message for a missing
// buffer, a block below 1 or an area that leaves the image.
int BlockMeanThreshold(const int16_t size[2], const uint8_t* image, int top, int left, int height, int width,
                       int block, uint8_t* means);

// Replaces the box (block indexes, inclusive) by a cropRows x cropCols box centred on the window of
// nine tenths of that size that holds the most non-zero blocks near the box (the whole map when
// the box has no extent one way), the map's dense frame lines left out, and kept inside the map.
// Returns 0.
int DensestCropWindow(const uint8_t* map, int rows, int cols, int cropRows, int cropCols, int* minRow, int* maxRow,
                      int* minCol, int* maxCol);

// Number of ridges crossed by the straight line from (columns[0], rows[0]) to (columns[1], rows[1]):
// the line's points (stepped one pixel along its longer axis, the second end left out, points
// within 9 pixels of the image border skipped) go to columns and rows, each point's ridge flag and
// local ridge direction (degrees) to ridgeFlags and directions (all buffers of 1000 entries), and
// their number to pointCount. Returns 0 for a line of fewer than 11 points and -1 for one of more
// than 1000 or with a gap.
int LineRidgeCount(const uint8_t* image, const int16_t size[2], int* columns, int* rows, int* ridgeFlags,
                   int* directions, int* pointCount);

// The ridge-flow value (0..255, lower for a single pronounced direction) and the direction (0..252
// for 0..180 degrees from the rows toward increasing rows; 254 with value 255 for a flat window) of
// the 19 x 19 window round (row, column), from its sums of absolute differences between
// horizontal, upper-left, vertical and upper-right neighbours. The point lies at least 9 pixels
// inside the image.
void RidgeFlow(const uint8_t* image, int width, int row, int column, int* value, int* direction);

// The search area and the window to place, pixels of the full image.
struct CropWindowRequest {
  int32_t top, left, height, width;
  int32_t cropHeight, cropWidth;
  int32_t finger;  // ISO finger number 1..10; other values get the rules of the middle fingers
};
static_assert(sizeof(CropWindowRequest) == 7 * 4, "seven words");

// Places a cropHeight x cropWidth window on the finger inside the search area (clamped to
// 1500 x 1500 about its centre) and writes the window's centre. Returns 0 when the chosen dark
// region fits the window, 1 when it is wider, 2 when it is taller and the finger a little finger
// (window at the region's top), 3 when it is taller (window placed by comparing the ridge counts
// of its top and bottom edges), 4 when no region was usable (window on the densest dark part);
// -1 for a block histogram that is too narrow or an area that leaves the image, -2 for a missing
// image, request or output, -5 / -6 for a crop height / width below 128 after clipping to the
// area. Both outputs hold the centre of the area as given before any check.
int PlaceFingerCropWindow(const int16_t size[2], const uint8_t* image, int* centreX, int* centreY,
                          const CropWindowRequest* request);
