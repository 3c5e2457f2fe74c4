// Foreground mask: grey erosion of the background-free image, a level cut, and removal of the small
// connected regions that are dirt or noise rather than finger.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

#include "LiveScanAlgInternal.h"

namespace LiveScanAlg {

namespace {

constexpr Cordinate2DType kGenerateMaskBlock{12, 12};
constexpr int kResidueLevel = 251;   // image levels this bright count as background residue
constexpr int kRegionTableFactor = 64;

// Start of the window of `size` samples whose minimum lands at position k of a line of n samples:
// the window is centred (offset size / 2) and positions nearer the ends take the nearest complete
// window; a line shorter than the window takes the whole line.
inline int WindowStart(int k, int size, int n) {
  const int lastStart = n > size ? n - size : 0;
  return std::clamp(k - size / 2, 0, lastStart);
}

// Region sizes of the 8-connected regions of value 255, and the label (index) of every pixel
// (-1 outside). False when memory fails or the region table (64 x max(height, width) records)
// would overflow.
bool LabelConnectedRegions(int height, int width, const unsigned char* mask,
                           std::vector<int32_t>& labels, std::vector<int64_t>& sizes) {
  const std::size_t n = PixelCount(height, width);
  const std::size_t maxRegions =
      static_cast<std::size_t>(kRegionTableFactor) * static_cast<std::size_t>(std::max(height, width));
  try {
    labels.assign(n, -1);
    sizes.clear();
    std::vector<std::size_t> stack;
    for (std::size_t start = 0; start < n; ++start) {
      if (mask[start] != 255 || labels[start] >= 0) continue;
      if (sizes.size() >= maxRegions) return false;
      const auto label = static_cast<int32_t>(sizes.size());
      sizes.push_back(0);
      labels[start] = label;
      stack.push_back(start);
      while (!stack.empty()) {
        const std::size_t at = stack.back();
        stack.pop_back();
        ++sizes[static_cast<std::size_t>(label)];
        const int x = static_cast<int>(at % static_cast<std::size_t>(width));
        const int y = static_cast<int>(at / static_cast<std::size_t>(width));
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            const int nx = x + dx;
            const int ny = y + dy;
            // Neighbours stay on the pixel's own row band: no wrap from one edge to the other.
            if ((dx == 0 && dy == 0) || nx < 0 || nx >= width || ny < 0 || ny >= height) continue;
            const std::size_t next =
                static_cast<std::size_t>(ny) * static_cast<std::size_t>(width) +
                static_cast<std::size_t>(nx);
            if (mask[next] == 255 && labels[next] < 0) {
              labels[next] = label;
              stack.push_back(next);
            }
          }
        }
      }
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace

void MinimumFilter(const unsigned char* source, unsigned char* target, int height, int width,
                   int blockWidth, int blockHeight) {
  const std::size_t w = static_cast<std::size_t>(width);
  const int bh = std::min(blockHeight, height);
  const int bw = std::min(blockWidth, width);
  // Down the columns: the minimum of bh rows, computed row-wise so the inner loop runs along
  // memory.
  std::vector<unsigned char> columnMin(PixelCount(height, width));
  for (int y = 0; y < height; ++y) {
    const int start = WindowStart(y, bh, height);
    unsigned char* out = columnMin.data() + static_cast<std::size_t>(y) * w;
    std::memcpy(out, source + static_cast<std::size_t>(start) * w, w);
    for (int r = start + 1; r < start + bh; ++r) {
      const unsigned char* in = source + static_cast<std::size_t>(r) * w;
      for (std::size_t x = 0; x < w; ++x) out[x] = std::min(out[x], in[x]);
    }
  }
  // Along the rows: the minimum of bw columns.
  for (int y = 0; y < height; ++y) {
    const unsigned char* in = columnMin.data() + static_cast<std::size_t>(y) * w;
    unsigned char* out = target + static_cast<std::size_t>(y) * w;
    const int lastStart = width - bw;
    // Minimum of each complete window, then positions near the ends copy the nearest one.
    for (int s = 0; s <= lastStart; ++s) {
      unsigned char m = in[s];
      for (int d = 1; d < bw; ++d) m = std::min(m, in[s + d]);
      out[s + bw / 2] = m;
    }
    for (int x = 0; x < bw / 2; ++x) out[x] = out[bw / 2];
    for (int x = lastStart + bw / 2 + 1; x < width; ++x) out[x] = out[lastStart + bw / 2];
  }
}

int BuildForegroundMask(Cordinate2DType block, int height, int width, const unsigned char* image,
                        unsigned char* mask, int* count) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  if (block.x < 1) return LSA_INVALID_INPUT3;
  if (block.y < 1) return LSA_INVALID_INPUT4;
  StitchParameterType* p = GetParameter();
  if (!p) return LSA_NO_MEMORY;
  const std::size_t n = PixelCount(height, width);
  if (!IsMissing(count)) *count = static_cast<int>(std::min<std::size_t>(n, 0x7FFFFFFF));
  std::memset(mask, 0, n);
  std::vector<unsigned char> eroded;
  try {
    eroded.resize(n);
    MinimumFilter(image, eroded.data(), height, width, block.x, block.y);
  } catch (const std::bad_alloc&) {
    return LSA_NO_MEMORY;
  }
  const int limit = 255 - p->MaskLevelThreshold;
  long long foreground = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (eroded[i] <= limit) {
      mask[i] = 255;
      ++foreground;
    }
  }
  if (!IsMissing(count)) *count = static_cast<int>(foreground);
  return LSA_PASSED;
}

int FilterMaskRegions(int width, int height, unsigned char* mask) {
  StitchParameterType* p = GetParameter();
  if (!p) return LSA_NO_MEMORY;
  std::vector<int32_t> labels;
  std::vector<int64_t> sizes;
  if (!LabelConnectedRegions(height, width, mask, labels, sizes)) return LSA_NO_MEMORY;

  int64_t bound = p->MaskMinRegionSize;
  if (p->MaskMaxRegions > 0 && sizes.size() >= static_cast<std::size_t>(p->MaskMaxRegions)) {
    std::vector<int64_t> sorted(sizes);
    std::sort(sorted.begin(), sorted.end(), std::greater<int64_t>());
    bound = std::max(bound, sorted[static_cast<std::size_t>(p->MaskMaxRegions) - 1]);
  }
  const std::size_t n = PixelCount(height, width);
  for (std::size_t i = 0; i < n; ++i) {
    if (labels[i] >= 0 && sizes[static_cast<std::size_t>(labels[i])] < bound) mask[i] = 0;
  }
  return LSA_PASSED;
}

int GenerateMask(int height, int width, unsigned char* image) {
  if (height < 1 || width < 1 || IsMissing(image)) return LSA_PASSED;
  // The mask lives in the working buffer; it grows when the frame is larger than the buffer, and
  // the mask step is skipped when it cannot.
  unsigned char* mask = GetWorkingBufferOfSize(PixelCount(height, width));
  if (!mask) return LSA_PASSED;
  int count = 0;
  if (BuildForegroundMask(kGenerateMaskBlock, height, width, image, mask, &count) != LSA_PASSED) {
    return LSA_PASSED;
  }
  StitchParameterType* p = GetParameter();
  if (p && p->MaskRegionFilter != 0) FilterMaskRegions(width, height, mask);
  return LSA_PASSED;
}

int QuickGetMaskNew(Cordinate2DType block, int height, int width, unsigned char* image,
                    unsigned char** mask, int* count) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  if (block.x < 1) return LSA_INVALID_INPUT3;
  if (block.y < 1) return LSA_INVALID_INPUT4;
  if (IsMissing(mask) || IsMissing(count)) return LSA_INVALID_POINTER;
  bool allocated = false;
  if (IsMissing(*mask)) {
    *mask = static_cast<unsigned char*>(std::malloc(PixelCount(height, width)));
    if (!*mask) return LSA_NO_MEMORY;
    allocated = true;
  }
  const int result = BuildForegroundMask(block, height, width, image, *mask, count);
  if (result != LSA_PASSED && allocated) FreeMask(mask);
  return result;
}

void CleanResidule(int height, int width, unsigned char* image) {
  if (height < 1 || width < 1 || IsMissing(image)) return;
  StitchParameterType* p = GetParameter();
  const std::size_t n = PixelCount(height, width);
  // Only a working buffer that holds a whole mask of this size is read.
  if (!p || IsMissing(p->WorkingBuffer) || static_cast<std::size_t>(GetWorkingBufferSize()) < n) {
    return;
  }
  const unsigned char* mask = p->WorkingBuffer;
  for (std::size_t i = 0; i < n; ++i) {
    if (mask[i] == 0 || image[i] >= kResidueLevel) image[i] = 255;
  }
}

void FreeMask(unsigned char** mask) {
  if (IsMissing(mask) || IsMissing(*mask)) return;
  std::free(*mask);
  *mask = nullptr;
}

}  // namespace LiveScanAlg
