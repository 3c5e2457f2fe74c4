#pragma once
// Ruled-line detection on card forms reduced by 8: line responses and their profiles, the line
// detector that turns a profile into a numbered regular sequence of lines, the card-angle
// measurement over the vertical lines of the rolled rows with the layout of the ten box edges,
// and the plain-row analysis that places the edges of the thumb and four-finger boxes.
//
// Images and response maps are `height` rows of `width` bytes, pixel (row, column) at
// row * width + column. All positions are in reduced pixels.

#include <cstdint>

// A line found in a profile: strength (sum of its profile values), first index, end index (one
// past its last value), sequence number (0 outside the regular sequence). The card-angle
// measurement and the plain-row analysis write edges into the same records: `first` becomes the
// edge's row and `end` its column.
struct FormLine {
  int32_t strength;
  int32_t first;
  int32_t end;
  int32_t sequence;
};

// Responses to dark lines one or a few pixels thick. The horizontal response of a pixel compares
// the sums of `window` pixels (made odd) along its row and along the rows above and below:
// (above - 2 x own + below) / window, clipped to 0..127 and doubled. It is computed for the
// rectangle's pixels that lie at least `marginAlong` from its left and right sides and
// `marginAcross` (at least 1) from its top and bottom; the rest of the rectangle reads 0 in the map.
// profile[row] (indexed by image row) receives, for each row of the rectangle, the sum of the
// responses that reach `threshold`, divided by 100. The vertical response is the same along
// columns, with profile indexed by image column.
void HorizontalLineResponse(const uint8_t* image, int width, int height, int top, int left, int rows, int cols,
                            int window, int threshold, int marginAlong, int marginAcross, uint8_t* map,
                            int32_t* profile);
void VerticalLineResponse(const uint8_t* image, int width, int height, int top, int left, int rows, int cols,
                          int window, int threshold, int marginAlong, int marginAcross, uint8_t* map,
                          int32_t* profile);
// Column profile of a response map over rows [top, bottom] and columns [left, right]: per column
// the responses that reach threshold, summed and divided by 100. profile is indexed by column.
void ColumnProfile(const uint8_t* map, int width, int top, int bottom, int left, int right, int threshold,
                   int32_t* profile);

// The line detector over profile[first..last]: lines of at least strength S, at most M of them,
// spaced Dmin..Dmax. Writes the lines (up to M) into lines and the number of candidates into
// *candidates; returns k, the length of the regular sequence. The list ends with a record of
// strength 0 when fewer than M lines were found.
int DetectLines(const int32_t* profile, int first, int last, int S, int M, int Dmin, int Dmax, int purge,
                FormLine* lines, int* candidates);

// Card angle from the vertical lines of the rolled rows (at most 10 records, the first with
// strength 0 ends the list) in the vertical response map (reducedWidth columns) over rows
// [top, bottom]. Returns round(P), the box spacing, and writes the card angle (degrees; a line
// whose column grows downward has a negative angle) and the ten box edges into lines; or a
// negative code.
int MeasureCardAngle(int reducedWidth, const uint8_t* map, FormLine* lines, int top, int bottom, int threshold,
                     float* angle);

// Edges of the plain row's four boxes from its vertical lines (at most 8 records), the row lying
// between rows upper and lower, thumb widths Tmin..Tmax. Returns 0 with the eight edges e0..e7
// in lines, or a negative code.
int AnalysePlainRowLines(int reducedWidth, FormLine* lines, int upper, int lower, int Tmin, int Tmax);
