#pragma once
// Stand-in for SR3 of the outside Detailer library: combines the four sub-pixel-shifted views of
// one capture into an image of twice the width and twice the height.
//
// A view is a height x width 8-bit frame whose byte 5 carries its tag, 129..132 for views 0..3.
// View v fills the grid cells (2y + dy, 2x + dx) with (dy, dx) = (1, 0), (0, 0), (0, 1), (1, 1) for
// v = 0..3. The first view of a capture (first = 1) fills all four cells of each pixel, so a view
// that never arrives leaves a copy of the first one in its cells.
//
// Results: 0 done; 1 bad arguments; 2 out of memory; 3 a tag outside 129..132 (nothing placed).

#include <cstdint>

struct BSRT {
    int32_t width;    // 2 x the frames' width
    int32_t height;   // 2 x the frames' height
    uint8_t* pixels;  // width x height bytes, rows from the top
};

int SR3(int first, int height, int width, uint8_t* frame, BSRT** state);
// Frees the combined image and the record, clears *state.
void SR3Release(BSRT** state);
