#pragma once
// The live grading of a flat preview frame: the fingers the live segmentation finds, their
// quality for the object-quality callback and the state LEDs, and the stillness count that
// triggers the automatic capture.

#include <cstdint>

class ZarnScannerBase;

// Grades the scanner's current preview image (ImageInfo). Returns the number of fingers found, or
// -1 (expected finger count outside 1..4), -2, -620 (auto-capture area outside the image) or the
// segmentation's error; a failure is reported to the object-quality callback with state 2.
int I_ProcLiveImage(ZarnScannerBase& scanner);

// Forgets the previous frame and the stillness count (a new capture starts).
void I_ResetLiveImage();

// The LED byte of LED group 1 for the eight LED states of the four fingers (pairs of first and
// second LED, finger 1 first) of an image type.
int I_StateLedByte(int imageType, const uint8_t state[8]);
