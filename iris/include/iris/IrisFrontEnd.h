#pragma once
// Stages of the front end's location step (internal to the capture library): the coarse pupil
// finders on the decimated frame, the boundary-search window preparation, the circle refinement
// and the eyelid parabola fit. Images are 8-bit, row by row.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "iris/IrisAlg.h"

namespace irisfe {

// ---- Coarse pupil finder (decimated frame) ----

// Flattens small bright spots to their surroundings; returns the spot threshold, -100 on allocation failure.
int32_t IrisFE_SuppressSpots(uint8_t* image, int32_t columns, int32_t rows);
// Stretches a frame with a dark region; 0, -1 (no dark peak), -2 (bright mode above 210), image unchanged then.
int32_t IrisFE_NormalizeContrast(uint8_t* image, int32_t columns, int32_t rows);
// Method 2: gradient voting over a stepped radius list.
int32_t IrisFE_VotePupil(uint8_t* image, int32_t columns, int32_t rows, int32_t* x, int32_t* y, int32_t* radius,
                         int32_t* score, int32_t minRadius, int32_t maxRadius, int32_t maxRadius2, int32_t limit,
                         int32_t window, int32_t d);
// Method 1: voting over every radius from the minimum to the maximum.
int32_t IrisFE_VotePupilAllRadii(uint8_t* image, int32_t columns, int32_t rows, int32_t* x, int32_t* y,
                                 int32_t* radius, int32_t* score, int32_t minRadius, int32_t maxRadius,
                                 int32_t maxRadius2, int32_t limit, int32_t window);
// Method 0: centre from every second radius, radius from the edge distances (score carries d in).
int32_t IrisFE_VotePupilByDistance(uint8_t* image, int32_t columns, int32_t rows, int32_t* x, int32_t* y,
                                   int32_t* radius, int32_t* score, int32_t minRadius, int32_t maxRadius,
                                   int32_t maxRadius2, int32_t limit);

// Method 0's distance histogram routines: the smoothed peak bin with its half-width, and the taper
// of the bins beyond 100 / d by (80 / d) / bin.
int32_t IrisFE_HistogramPeakWidth(int32_t* histogram, int32_t length, int32_t h, int32_t* width);
void IrisFE_TaperFarDistances(int32_t* histogram, int32_t length, int32_t d);

// Moving average of half-width h over n bins (each result at least 1).
void IrisFE_MovingAverage(const int32_t* in, int32_t n, int32_t h, int32_t* out);
// Voted radii of the coarse search: step 1 while r x d < 41, 2 while r x d <= columns, else 3.
std::vector<int32_t> IrisFE_RadiusList(int32_t minRadius, int32_t maxRadius, int32_t d, int32_t columns);
// Picks an index into per-radius peak values (smoothed with half-width h) and a half-width around it.
int32_t IrisFE_SelectRadius(const int32_t* peaks, int32_t n, int32_t h, int32_t span, int32_t* halfWidth);
// A 256-entry table rising piecewise linearly (rounded) through anchor points (level, value) from
// level 0 to level 255.
void IrisFE_InterpolateTable(const int32_t (*anchors)[2], size_t count, uint8_t* table);
// The 256-entry brightening table of the contrast normalisation.
const uint8_t* IrisFE_BrighteningTable();

// ---- Window preparation ----

// Tone curves of dark irises: A brightens strongly, B mildly.
const uint8_t* IrisFE_ToneCurveA();
const uint8_t* IrisFE_ToneCurveB();

// Window (first row .. last row, first column .. last column in frame pixels / k) copied out of the
// frame at factor k, reflections filled, grey levels stretched, dark irises brightened. pupil
// (x, y, r in window pixels) may be null. 0, kNotFound, or the filling step's error.
int32_t IrisFE_PrepareWindow(const uint8_t* frame, int32_t rows, int32_t columns, int32_t k, int32_t firstRow,
                             int32_t lastRow, int32_t firstColumn, int32_t lastColumn, const int32_t* pupil,
                             uint8_t* window, int32_t* outRows, int32_t* outColumns, uint8_t* mask);
// Fills the chosen bright components above the threshold from their row and column neighbours;
// returns the number of filled pixels or an error.
int32_t IrisFE_FillReflections(uint8_t* window, int32_t rows, int32_t columns, int32_t threshold, uint8_t* mask);
void IrisFE_DilateMask(uint8_t* mask, int32_t rows, int32_t columns, int32_t n);
// Bounding boxes (first row, last row, first column, last column) of the chosen components; the
// mask keeps only them. count = number of boxes.
std::vector<int32_t> IrisFE_LabelReflections(const uint8_t* image, uint8_t* mask, int32_t rows, int32_t columns,
                                             int32_t minArea, int32_t maxExtent, int32_t* count);
int64_t IrisFE_RegionSum(const uint8_t* image, int32_t rows, int32_t columns, irisalg::IrisRect rect,
                         int32_t* pixels);

// ---- Circle refinement ----

struct ContourTable {
    std::vector<int16_t> cosine, sine;  // x 256, one entry per contour point
    int32_t points() const { return int32_t(cosine.size()); }
};
enum class Contour { Pupil, IrisHalf, IrisFull, Profile };
// Generated once (std::call_once): pupil 271 points, iris 218 and 310, profile directions 41 (one side).
const ContourTable& IrisFE_Contour(Contour which);
// round(sqrt(1024 i)) for i < 512.
const int32_t* IrisFE_SqrtTable();
// sqrt(1024 v): the table below 512, an integer Newton iteration above.
int32_t IrisFE_ScaledSqrt(int64_t v);

int32_t IrisFE_ContourScore(const int32_t* edge, int32_t rows, int32_t columns, const uint8_t* mask,
                            const int32_t* points, int32_t n, int32_t* sum);
int32_t IrisFE_CircleSearch(const int32_t* edge, int32_t width, int32_t height, const uint8_t* mask,
                            const ContourTable& contour, int32_t x, int32_t y, int32_t r, const int32_t ranges[3],
                            const int32_t steps[3], int32_t best[3], int32_t* bestScore);
int32_t IrisFE_ProfileMax(const int32_t* values, int32_t n, int32_t* index);

// Working circles of the refinement: pupil x, y, r, iris x, y, r (window pixels).
struct WorkingCircles {
    int32_t pupil[3] = {0, 0, 0};
    int32_t iris[3] = {0, 0, 0};
};
int32_t IrisFE_RefinePupil(const uint8_t* window, int32_t rows, int32_t columns, int32_t circle[3],
                           const int32_t* ranges);
int32_t IrisFE_EstimateIrisRadius(const uint8_t* window, int32_t rows, int32_t columns, WorkingCircles* circles,
                                  int32_t* ranges);
int32_t IrisFE_FitIrisCircle(const uint8_t* window, int32_t rows, int32_t columns, WorkingCircles* circles,
                             const int32_t* ranges);

// ---- Eyelid parabola fit ----

struct EyelidRecord {
    WorkingCircles circles;
    irisalg::EyelidCurve upper, lower;
};
// Search parameters: vertex x from, to, step; vertex y start, end, step; divisor from, to, step;
// minimum count; early-stop count; early-stop score.
struct ParabolaParameters {
    int32_t xFrom, xTo, xStep, yStart, yEnd, yStep, cFrom, cTo, cStep, minCount, stopCount, stopScore;
};
int32_t IrisFE_FitEyelids(const uint8_t* window, int32_t rows, int32_t columns, EyelidRecord* record, int32_t reserved);
int32_t IrisFE_EyelidEdgeMap(const uint8_t* region, int32_t rows, int32_t columns, int32_t px, int32_t py, int32_t pr,
                             int32_t* edge, uint8_t* mask);
int32_t IrisFE_BoxMean(uint8_t* image, int32_t rows, int32_t columns, int32_t ry, int32_t rx);
int32_t IrisFE_ParabolaSearch(const int32_t* edge, int32_t rows, int32_t columns, const uint8_t* mask,
                              const ParabolaParameters& p, int32_t* columnBuffer, irisalg::EyelidCurve* out);
int32_t IrisFE_CurveScore(const int32_t* edge, int32_t rows, int32_t columns, const uint8_t* mask,
                          const int32_t* points, int32_t n, int32_t* sum);

}  // namespace irisfe
