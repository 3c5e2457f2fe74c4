#pragma once
// Internals of the rolled-finger stitcher shared by its source files and the tests.
#include <cstdint>

#include "LiveScanAlgInternal.h"
#include "LiveScanAlgRoll.h"

namespace LiveScanAlg::roll {

// The process-wide roll session.
RollStitchSession& Session();

enum class FingerThreshold {
  Roll,  // fixed threshold 230, edge columns and rows hold at least 30 pixels
  Ink,   // threshold from the ink statistics, edges above 0.2 of the peak count
};

// Finger geometry of an image into *property: 0, or -1 for a missing image or record, a bad size
// or no memory.
int ComputeFingerProperty(const uint8_t* image, int width, int height,
                          mm_finger_property* property, FingerThreshold threshold);

// Grid cell (r, c) = rounded mean of the four samples at rows and columns r*D + D/4, r*D + 3D/4.
void ReduceToGrid(const uint8_t* image, int width, int factor, int gridWidth, int gridHeight,
                  uint8_t* grid);

// Truncated mean of the 11 x 11 window around each pixel, clipped at the borders. The output is
// a copy of the input when the sum table can't be had.
void BoxSmooth(const uint8_t* input, uint8_t* output, int width, int height);

// Blend-mask mark of one grid pixel from the smoothed frame a and the smoothed composite b:
// kRollTakeFrame, kRollOverlap or 0 (keep the composite).
uint8_t BlendMark(int a, int b);

// Roll-back test: adds the displacement to the travels and reports whether both travels exceed
// the small limit and one of them the large limit.
bool UpdateTravelAndTestRollBack(RollStitchSession& session, int displacement);

// Pearson correlation of frame and composite over the pixels whose mask is the overlap mark;
// true when more than 550 such pixels correlate below 0.315.
bool IsSliding(const uint8_t* gridFrame, const uint8_t* gridComposite, const uint8_t* mask,
               int count);

}  // namespace LiveScanAlg::roll
