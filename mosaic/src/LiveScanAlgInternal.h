#pragma once
// Helpers shared inside libMorwenMosaic.so. Nothing here is exported.

#include <cstddef>
#include <cstdint>
#include <string>

#include "LiveScanAlg.h"

namespace LiveScanAlg {

// Null or the 0xCC fill pattern (32-bit or 64-bit) both mean "not given".
inline bool IsMissing(const void* p) {
  const auto v = reinterpret_cast<std::uintptr_t>(p);
  return v == 0 || v == 0xCCCCCCCCu || v == static_cast<std::uintptr_t>(0xCCCCCCCCCCCCCCCCull);
}

inline std::size_t PixelCount(int height, int width) {
  return static_cast<std::size_t>(height) * static_cast<std::size_t>(width);
}

// The usual image checks: 2 for a height below 1, 3 for a width below 1, 4 for a missing image.
inline int CheckImageArguments(int height, int width, const void* image) {
  if (height < 1) return LSA_INVALID_INPUT1;
  if (width < 1) return LSA_INVALID_INPUT2;
  if (IsMissing(image)) return LSA_INVALID_INPUT3;
  return LSA_PASSED;
}

// Size of the working buffer in bytes: the size the block is created with and the size last set.
int GetWorkingBufferSize();
// The block's working buffer, grown (zero-filled) to at least `bytes` when it is smaller; null when
// the block or the larger buffer cannot be had (the old buffer then stays).
unsigned char* GetWorkingBufferOfSize(std::size_t bytes);

StitchParameterType* CreateLiveScanParameter();
void FreeLiveScanParameter(StitchParameterType** block);

// 256 x 256 table: entry (r, v) = clamp(trunc(v * (255 + offset) / max(minimumRange, r) - 18)).
// A table already in *table is freed first; *table is null when memory fails.
void BuildStretchTable(unsigned char** table, int minimumRange, int offset, int reserved);

// Day number since 31 Dec 2010 of a "Mmm dd yyyy" date text ("Mar 23 2011" gives 82).
int GetBuildDayOfYear(const char* dateText, int* year, int* month, int* day);

// Releases the cached distortion-correction maps; the distortion module provides the real one.
void ReleaseDistortionMaps();

// Histogram statistics: minimum and maximum level present, mean and variance (64-bit sums, double
// precision) and the mean absolute deviation about the truncated mean. Every output may be null.
// 1 for a null histogram; all outputs are 0 for an empty histogram.
int CalculateHistogramStatistics(const HistogramType* histogram, unsigned char* minimum,
                                 unsigned char* maximum, float* mean, float* variance,
                                 float* deviation);
// Histogram of every pixel of a packed image into `histogram` (levels set, counts reset first).
void BuildHistogram(const unsigned char* image, std::size_t count, HistogramType* histogram);

// Block test of the presence functions: 24 when varThreshold > the block's variance, else 0 and
// *flag = 1.
int TestFingerBlock(float varThreshold, const unsigned char* image, int width, int height, int x0,
                    int y0, int x1, int y1, int step, int* flag);

// Defect-line list of the block and the callers: 0 or 12.
int CreateDefectLine(DefectLineList** list);

// Background: t = image + offset; t < background gives t - background + 255, else 255.
void SubtractBackgroundLine(int count, const unsigned char* background, unsigned char* image,
                            int offset);
int UpdateBackgroundFromFrame(int height, int width, unsigned char* frame,
                              unsigned char* background);

// Grey erosion with a blockWidth x blockHeight window, from `source` into `target`.
void MinimumFilter(const unsigned char* source, unsigned char* target, int height, int width,
                   int blockWidth, int blockHeight);
// Foreground mask (255 finger, 0 background) of the image into `mask`; *count = foreground pixels.
int BuildForegroundMask(Cordinate2DType block, int height, int width, const unsigned char* image,
                        unsigned char* mask, int* count);
// Clears the mask's regions that are smaller than the bound set by the parameter block.
int FilterMaskRegions(int width, int height, unsigned char* mask);

// Path of a diagnostic file in the configured diagnostic folder.
std::string DiagnosticFilePath(const char* name);

// Folder for the diagnostic text file "Difference.txt" (null or "" = the current directory).
// Internal: the library's interface has no call for it; tests and tools set it directly.
void SetDiagnosticDirectory(const char* directory);

}  // namespace LiveScanAlg
