#pragma once
// Block-frequency analysis: how clearly each 4 x 4 cell of a fingerprint image shows a ridge
// pattern, from the power spectrum of the 16 x 16 window centred on the cell, and the clean-up of
// the cell map into connected ridge regions.
//
// Images here are lineCount lines of lineLength bytes, 8-bit grey, pixel (line, column) at
// line * lineLength + column.

#include <cstdint>

// Region measures of FillLabelRegion.
struct RegionMeasure {
  int minLine = 0, maxLine = 0, minColumn = 0, maxColumn = 0;
  int64_t sumLine = 0, sumColumn = 0;
  int count = 0;
};

// Cell codes of the first half of the cell map.
constexpr uint8_t kCellNoPattern = 0;
constexpr uint8_t kCellRidgeMin = 100;
constexpr uint8_t kCellIsolated = 99;
constexpr uint8_t kCellFilled = 90;
constexpr uint8_t kCellInsideRidge = 80;
constexpr uint8_t kCellOutsideRidge = 40;

// Region labels of the second half of the cell map on return.
constexpr uint8_t kRegionBorderBackground = 10;
constexpr uint8_t kRegionLargeHole = 20;
constexpr uint8_t kRegionSmallRidge = 30;
constexpr uint8_t kRegionLargeRidge = 210;

// Two-dimensional FFT of a block of rows x cols bytes (row stride cols) with the kernel
// exp(+2 pi i (j1 k1 / rows + j2 k2 / cols)) and no scaling; writes the real and imaginary parts
// row-major. rows and cols must be powers of two no larger than 64; returns -1 otherwise (nothing
// written), else 0.
int ByteBlockFft(const uint8_t* block, int rows, int cols, double* re, double* im);

// Side of a cell's analysis window and of its power spectrum.
constexpr int kSpectrumSide = 16;

// Ridge score of one cell from its shifted power spectrum (zero frequency at row 8, column 8):
// 0 when the strongest side peak is too weak, too close to the main peak (squared distance 3 or
// less when strict, else 1 or less), without a matching mirror peak, accompanied by strong far
// components or by strong components in other directions; else 100 + 150 x the concentration of
// power around the side peak, at most 255.
int SpectrumRidgeScore(const float power[kSpectrumSide][kSpectrumSide], bool strict);

// Analyses every 4 x 4 cell of the image. cellMap holds 2 * (lineCount / 4) * (lineLength / 4)
// bytes: the first half receives the cell codes; the second half holds a grey value per cell on
// entry and the region label per cell on return. Returns 0.
int AnalyseBlockFrequency(const uint8_t* image, int lineCount, int lineLength, int radius,
                          int minRidgeRegion, int maxHole, int strict, uint8_t* cellMap);

// 4-connected scan-line fill over a whole map of lineCount lines of lineLength bytes: relabels the
// region of `from` that holds the seed (the seed included) to `to` and measures it. Returns the
// pixel count (0 when the seed does not carry `from`).
int FillLabelRegion(uint8_t* map, int lineCount, int lineLength, int seedLine, int seedColumn, int from,
                    int to, RegionMeasure* measure);
