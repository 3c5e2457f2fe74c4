#pragma once
// Where a fingerprint lies in an 8-bit grey image and which grey range its ridges occupy: a
// local-contrast test marks textured pixels, two smoothing passes turn them into solid areas,
// small areas and holes are cleaned up, and the grey levels under the remaining foreground give a
// low and a high level for contrast stretching. FindFingerRegions keeps the large areas apart,
// gathers the largest into one main area and reports a combined orientation.
//
// Images are `height` rows of `width` bytes, pixel (row, column) at row * width + column. The work
// map is a caller-owned byte image of the same size.

#include <cstdint>

// Statistics record the foreground step fills in place (18 words, in this order).
struct ForegroundStatistics {
  int32_t height, width;
  int32_t lowPercent, highPercent;  // 5 and 10 on entry, 1 and 5 after the foreground step
  int32_t minimumArea;              // smallest area kept; replaced by the foreground pixel count
  int32_t percentAt0, percentAt1;
  int32_t level1Percent, level99Percent;
  int32_t low, high;                // levels at the low / high percentage from each end
  int32_t mean;
  int32_t left, top, right, bottom; // foreground bounding box
  int32_t sumColumns, sumRows;
};
static_assert(sizeof(ForegroundStatistics) == 18 * 4, "the record is 18 words");

// Result record of FindFingerRegions (ten words).
struct FingerRegion {
  int32_t left, right, top, bottom;  // bounding box, inclusive
  int32_t column, row;               // centroid
  int32_t count;                     // pixels
  int32_t status;
  int32_t orientation;               // degrees
  int32_t measure;                   // elongation measure of RegionOrientation
};
// The first result carries an eleventh word.
struct MainFingerRegion {
  FingerRegion region;
  int32_t highLevel;  // the image's high grey level
};

// Runs the foreground step (with the elongation test unless `elongationTest` is 0) and returns the
// foreground's bounding box and its low and high grey levels. Does nothing when an argument is
// missing or a size is not positive.
void FindForegroundArea(const uint8_t* image, int height, int width, uint8_t* work, int* top, int* left, int* h,
                        int* w, int* low, int* high);
void FindForegroundArea(const uint8_t* image, int height, int width, uint8_t* work, int* top, int* left, int* h,
                        int* w, int* low, int* high, int elongationTest);

// The foreground step itself over a statistics record whose height, width, percentages and
// minimum area are set (exposed for the tests).
void ForegroundStep(const uint8_t* image, uint8_t* work, ForegroundStatistics* stats, int elongationTest);

// Area clean-up of a map of 11 (foreground) and 10 (background): each 8-connected area is measured;
// foreground areas above the minimum area (and, with the elongation test, less than 4.5 times as
// long as wide) and background holes up to it become 1, the rest 0. Fills the box and sums of the
// record, replaces its minimum area by the kept pixel count and returns that count.
int CleanUpAreas(uint8_t* work, ForegroundStatistics* stats, int elongationTest);

// Marks textured pixels with 1 in the work map (7 x 7 rank contrast); the border stays 0.
void LocalContrastMap(const uint8_t* image, int height, int width, int low, int high, uint8_t* work);

// 41 x 41 box smoothing of a 0/1 map scaled to 0..255 (clipped at the border), then each value
// above `threshold` becomes `above`, the others `below`. Prints "Err: locate memory failed\n" and
// leaves the map as it was when its buffers cannot be had.
void SmoothAndThreshold(uint8_t* map, int height, int width, int threshold, uint8_t above, uint8_t below);

// Keeps the large compact areas of the foreground apart (at most ten), gathers the largest and
// its neighbours into one main area, picks out the areas that point toward it and reports their
// combined orientation in `first`, and one further large area in `second`. Returns 5, or -1 when
// an argument is missing or a size is not positive.
int FindFingerRegions(const uint8_t* image, int height, int width, uint8_t* work, MainFingerRegion* first,
                      FingerRegion* second);
