#pragma once
// Live slap segmentation: finds the fingers of a flat-slap preview frame, plus the region and
// reduction helpers that the offline segmentation and the card-form analysis share.
//
// Image layout used throughout: an image is `lineCount` lines of `lineLength` bytes stored back
// to back, 8-bit grey. Pixel (line, column) lies at byte line * lineLength + column. In a slap the
// fingers point along the lines (increasing line index runs from the finger tips towards the
// palm) and lie side by side along the columns. Dark is finger.

#include <cstddef>
#include <cstdint>

// Per-finger result record: 15 int32 words, 60 bytes.
struct FingerInfo {
  int32_t X;        // finger centre, line index in full-resolution pixels
  int32_t Y;        // finger centre, column index in full-resolution pixels
  int32_t Measure;  // hand angle in degrees (90: fingers point along the lines), or region area
  int32_t Qty;      // quality grade 1..15, 0 on the early-return path
  int32_t Height;   // mean grey of the finger in the reduced image (stages 3 and 4)
  int32_t Width;    // finger area in full-resolution pixels (stages 3 and 4)
  int32_t Finger;   // ISO finger number
  int32_t Corners[8];  // box corners; filled by the offline segmentation only
};
static_assert(sizeof(FingerInfo) == 60, "FingerInfo is 15 int32 words");

// Seven int32 words, in and out. See FlatSegmentLite.
struct SegmentParams {
  int32_t Stage;          // in: 0..4; out: 1 when an extra segment was dropped
  int32_t DarkThreshold;  // in: presence threshold (10..250, else 180); out: 1 when fingers are close
  int32_t MinDarkPercent; // in: presence minimum (1..50, else the finger count); out: 1 on tip order
  int32_t SampleLines;    // in: presence sample lines (3..15, else 3)
  int32_t Presence;       // out: 0 absent or stage 0, 1 early return, else the stage
  int32_t DarkPercent;    // out: dark percentage measured by the presence test
  int32_t Threshold;      // out: binarisation threshold of the reduced image
};
static_assert(sizeof(SegmentParams) == 28, "SegmentParams is 7 int32 words");

// Problem flags of SegmentFingerBlocks (the result is minus their sum).
enum SegmentFlags : int {
  SegRotated = 1,
  SegTipOrder = 2,
  SegFingersClose = 4,
  SegExtraSegment = 8,
  SegMissingFinger = 16,
};

// Finger positions of a slap.
constexpr int kSlapRightHand = 13;
constexpr int kSlapLeftHand = 14;
constexpr int kSlapTwoThumbs = 15;

// Finds the fingers of one preview frame of lineCount lines of lineLength bytes at the given
// resolution. fingerMask bits 0..3 select the expected slots; fingers must hold four records
// (it may be null for stage 0 only). Returns the number of fingers found (0 when no hand or
// nothing usable), 1 for a passed stage-0 presence test, or -1 with one "Err: " line written into
// errText (at most errTextSize bytes, always terminated).
int FlatSegmentLite(const uint8_t* image, int lineCount, int lineLength, int ppi, int fingerPosition,
                    int fingerMask, FingerInfo* fingers, SegmentParams* params, char* errText,
                    size_t errTextSize);

// One quality grade 1..15 for the whole hand of a normal-path result, from the hand angle, the
// problem flags (minus the segmentation result), and the fingers found of those expected. Sets
// params words 0, 1 and 2 to 1 for an extra segment, close fingers and tip order (the last two
// for four-finger positions only).
int SlapQualityGrade(int position, int handAngle, int problems, int found, int expected, SegmentParams* params);

// Segments a reduced image. sizePair = {lineLength, lineCount} of the reduced image; lineArr,
// columnArr and valueArr are eight words each (the x, y and d arrays): inputs in words 0..3 and
// outputs per slot as documented in the source. Returns a positive region count on the early-
// return path, 0 or minus the problem flags on the normal path, -63 when no usable region exists
// and -127 on bad arguments.
int SegmentFingerBlocks(const uint16_t sizePair[2], const uint8_t* reduced, int32_t lineArr[8],
                        int32_t columnArr[8], int32_t valueArr[8]);

// Reduces the crop of cropLines lines by cropColumns columns at (line0, column0) by an integer
// factor into dst, (cropLines / factor) lines of (cropColumns / factor) bytes. Each output pixel
// is the rounded mean of four samples of its block. Returns 0, or -1 when the crop leaves the
// image or the factor is outside 2..16 (nothing written).
int ReduceImageByBlocks(const uint8_t* src, int lineCount, int lineLength, int line0, int column0,
                        int cropLines, int cropColumns, uint8_t* dst, int factor);
// ReduceImageByBlocks with factor 8; sizePair = {lineLength, lineCount}.
int ReduceImageBy8(const uint16_t sizePair[2], const uint8_t* src, int line0, int column0,
                   int cropLines, int cropColumns, uint8_t* dst);

// Grey threshold 0..255 of a window from its histogram (two-class absolute deviation, the upper
// class weighted 1.5).
int BlockHistogramThreshold(const uint8_t* image, int lineLength, int firstLine, int firstColumn,
                            int lines, int columns);

// Inner step of BlockHistogramThreshold: cost of splitting the histogram at level t.
// hist: 256 bins; cumCount / cumSum: cumulative count and level-weighted sum from level 0.
float ThresholdSplitCost(const int hist[256], const float cumCount[256], const float cumSum[256],
                         int lo, int hi, float total, float totalSum, int t);

// 4-connected scan-line fill of the pixels equal to `from` reachable from the seed inside lines
// lineMin..lineEnd-1 and columns columnMin..columnEnd-1 (clamped to the image width). Each pixel
// reached becomes `to` and is added to the box, sums and count. The caller has already relabelled
// the seed and set count 1 and the box and sums to the seed. The sums are 64-bit: a region of a
// few million pixels overflows 32 bits. Returns 0.
int FillRegion(uint8_t* image, int lineLength, int seedLine, int seedColumn, int lineMin, int lineEnd,
               int columnMin, int columnEnd, int from, int to, int* minLine, int* maxLine,
               int* minColumn, int* maxColumn, int64_t* sumLine, int64_t* sumColumn, int* count);
// The same fill over the 8-connected area: the lines next to a run are searched from one column
// before the run to one column after it, so areas touching at a corner are one area. The block and
// area analyses of the card-form library count areas this way.
int FillRegion8(uint8_t* image, int lineLength, int seedLine, int seedColumn, int lineMin, int lineEnd,
                int columnMin, int columnEnd, int from, int to, int* minLine, int* maxLine,
                int* minColumn, int* maxColumn, int64_t* sumLine, int64_t* sumColumn, int* count);

// Orientation of the pixels equal to `from` in the inclusive window (relabelled to `to`) from their
// second moments about the given centre. Returns the angle 0..179 in degrees (90: along the lines)
// and the elongation 0 (a line) .. 100 (round).
int RegionOrientation(uint8_t* image, int lineLength, int line0, int line1, int column0, int column1,
                      int centreLine, int centreColumn, int from, int to, int* elongation);

// Peels the thin edges of a region's box (columns first, then lines), relabelling the peeled
// pixels and taking them out of the sums and count. Returns 0.
int TrimRegionEdges(uint8_t* image, int lineLength, int from, int to, int* minLine, int* maxLine,
                    int* minColumn, int* maxColumn, int64_t* sumLine, int64_t* sumColumn, int* count);

// Relabels short runs of `value`, first along the lines, then along the columns.
int RemoveShortRuns(uint8_t* image, int lineLength, int lines, int columns, int maxRun, int value,
                    int replacement);

// Truncated mean grey of the pixels whose label equals `label` in the inclusive window; 255 when
// the window is empty or no pixel matches.
int MeanGreyInMask(const uint8_t* grey, const uint8_t* labels, int lineLength, int line0, int line1,
                   int column0, int column1, int label);

// MeanGreyInMask for a grey image and a label image with line lengths of their own (a label image
// of a crop: pass the grey pointer at the crop origin).
int MeanGreyUnderLabel(const uint8_t* grey, int greyLineLength, const uint8_t* labels, int labelLineLength,
                       int line0, int line1, int column0, int column1, int label);

// Relabels `from` to `to` in the inclusive window. Returns 0.
int RelabelInWindow(uint8_t* image, int lineLength, int line0, int line1, int column0, int column1,
                    int from, int to);

// Working record of SegmentFingerBlocks: one dark region or one piece of a split region.
struct FingerSegment {
  int centreLine = 0;
  int centreColumn = 0;
  int angle = 0;       // orientation of the region in degrees
  int elongation = 0;  // 0 (a line) .. 100 (round)
  int count = 0;       // pixel count in the reduced image
  int minLine = 0, maxLine = 0, minColumn = 0, maxColumn = 0;
  int64_t sumLine = 0, sumColumn = 0;
  int cls = 0;         // 0 piece, 1 finger-sized, 2 oversized, 3 suspect, 4 rejected
  int weight = 0;      // weight in the hand angle
  int deviation = 0;   // |angle - hand angle|
  int exclusion = 0;   // 0 included, 1 outlier of the current round, 2 left out
  int meanGrey = 255;
  int across = 0;      // rotated coordinate across the fingers
  int along = 0;       // rotated coordinate along the fingers
  int link = 0;        // 0 head, -1000 - head index for a member, <= -5000 dropped or assigned
};

// Table size of SegmentFingerBlocks: 15 records and one overflow slot.
constexpr int kMaxSegments = 15;

// One finger of a segmentation result: its head segment's centre, rotated coordinates, pixel
// count and mean grey.
struct SlapFinger {
  int centreLine = 0, centreColumn = 0, across = 0, along = 0, count = 0, meanGrey = 255;
};

// Steps of SegmentFingerBlocks on its record table, in the order it runs them.
//
// Class of a measured region (1 finger-sized, 2 oversized, 3 suspect, 4 rejected) from its pixel
// count, box extents, box density (box area per pixel), orientation angle and elongation, for the
// expected finger size. live: the frame comes from the live caller (mask bit 4).
int SegmentClass(int count, int dx, int dy, float density, int angle, int elongation, int expected, int position,
                 bool live);
// While the table holds more than three records, leaves out (exclusion 2) the included record with
// the smallest count below 500, the first on ties.
void LeaveOutSmallSegments(FingerSegment* rec, int records);
//
// Hand angle: the mean of the included records' angles weighted by 105 - elongation (the weight is
// stored in each record, the deviation from the mean too), then for the four-finger positions at
// most two rounds that exclude outliers (deviation 30 or more; beyond two in a round only while
// above 60) and recompute the mean. Returns the mean angle; without any positive weight 90 for the
// thumbs and kNoHandAngle otherwise.
int SegmentHandAngle(FingerSegment* rec, int records, int position);
constexpr int kNoHandAngle = -1;
// Rotates the centres of the records of class <= 3 into across/along coordinates by the mean
// angle and makes each a head (link 0).
void RotateSegments(FingerSegment* rec, int records, int meanAngle);
// Groups the segments of one finger: a record within 15 across of an earlier head joins it (the
// one further along becomes the member), unless one is more than 2.5 (live: 5) times larger, in
// which case the smaller is dropped. Returns the number of fingers.
int GroupFingerSegments(FingerSegment* rec, int records, bool live);
// Resolves more fingers than expected, orders the fingers across the hand into fingers[0..3] (the
// count in *found), takes second segments and returns the problem flags (SegMissingFinger,
// SegExtraSegment, SegFingersClose, SegTipOrder, SegRotated). columns: the crop extent across.
int OrderFingers(FingerSegment* rec, int records, int fingerCount, int expected, int position, int mask,
                 int stage, int columns, int meanAngle, SlapFinger fingers[4], int* found);

// Looks for finger-sized pieces inside a region (pixels labelled `label` in the inclusive box)
// that may hold several fingers; the first piece kept replaces record `index`, further ones are
// appended to the table (at most kMaxSegments records, the overflow slot is reused).
void SplitFingerBlob(uint8_t* work, int lineLength, int line0, int line1, int column0, int column1,
                     int meanAngle, int label, int fillLabel, FingerSegment* records, int index,
                     int* recordCount, int mode, int expectedSize);
