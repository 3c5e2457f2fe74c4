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

// Horizontal runs of mask value 255, joined into 8-connected regions: a run touches the runs of
// the row above that overlap it or meet it at a corner. Runs never reach across a row end.
struct MaskRuns {
  struct Run {
    int y;
    int first;  // first and last column, inclusive
    int last;
  };
  std::vector<Run> runs;
  std::vector<std::size_t> parent;      // union-find over the runs
  std::vector<int64_t> regionSize;      // pixels of the region whose root is the run

  std::size_t Root(std::size_t i) {
    std::size_t r = i;
    while (parent[r] != r) r = parent[r];
    while (parent[i] != r) {
      const std::size_t next = parent[i];
      parent[i] = r;
      i = next;
    }
    return r;
  }
  void Join(std::size_t a, std::size_t b) {
    a = Root(a);
    b = Root(b);
    if (a == b) return;
    if (b < a) std::swap(a, b);
    parent[b] = a;  // the region keeps the run met first in scan order as its root
  }
};

// Labels the regions of value 255. False when memory fails or there are more regions than the
// region table holds (64 x max(height, width)).
bool LabelConnectedRegions(int height, int width, const unsigned char* mask, MaskRuns& r,
                           std::size_t& regions) {
  const std::size_t maxRegions =
      static_cast<std::size_t>(kRegionTableFactor) * static_cast<std::size_t>(std::max(height, width));
  try {
    std::size_t previousRow = 0;  // index of the first run of the previous row
    for (int y = 0; y < height; ++y) {
      const unsigned char* row = mask + static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
      const std::size_t rowStart = r.runs.size();
      for (int x = 0; x < width;) {
        if (row[x] != 255) {
          ++x;
          continue;
        }
        const int first = x;
        while (x < width && row[x] == 255) ++x;
        r.runs.push_back({y, first, x - 1});
        r.parent.push_back(r.runs.size() - 1);
      }
      if (y > 0) {
        // Both rows' runs are in column order: walk them together.
        std::size_t p = previousRow;
        for (std::size_t c = rowStart; c < r.runs.size(); ++c) {
          while (p < rowStart && r.runs[p].last < r.runs[c].first - 1) ++p;
          for (std::size_t q = p; q < rowStart && r.runs[q].first <= r.runs[c].last + 1; ++q) {
            r.Join(c, q);
          }
        }
      }
      previousRow = rowStart;
    }
    r.regionSize.assign(r.runs.size(), 0);
    regions = 0;
    for (std::size_t i = 0; i < r.runs.size(); ++i) {
      const std::size_t root = r.Root(i);
      if (root == i) ++regions;
      r.regionSize[root] += r.runs[i].last - r.runs[i].first + 1;
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return regions <= maxRegions;
}

// Scratch image of this thread, at least `bytes` long. It is kept for the thread's next call (and
// freed when the thread ends), so that the per-frame masks neither allocate nor page-fault.
unsigned char* ThreadScratch(std::vector<unsigned char>& buffer, std::size_t bytes) {
  if (buffer.size() < bytes) {
    buffer.clear();
    buffer.shrink_to_fit();
    buffer.resize(bytes);
  }
  return buffer.data();
}

thread_local std::vector<unsigned char> t_columnMin;  // MinimumFilter's column pass
thread_local std::vector<unsigned char> t_eroded;     // BuildForegroundMask's eroded image

}  // namespace

void MinimumFilter(const unsigned char* source, unsigned char* target, int height, int width,
                   int blockWidth, int blockHeight) {
  const std::size_t w = static_cast<std::size_t>(width);
  const int bh = std::min(blockHeight, height);
  const int bw = std::min(blockWidth, width);
  // Down the columns: the minimum of bh rows, computed row-wise so the inner loop runs along
  // memory.
  unsigned char* const columnMin = ThreadScratch(t_columnMin, PixelCount(height, width));
  for (int y = 0; y < height; ++y) {
    const int start = WindowStart(y, bh, height);
    unsigned char* out = columnMin + static_cast<std::size_t>(y) * w;
    std::memcpy(out, source + static_cast<std::size_t>(start) * w, w);
    for (int r = start + 1; r < start + bh; ++r) {
      const unsigned char* in = source + static_cast<std::size_t>(r) * w;
      for (std::size_t x = 0; x < w; ++x) out[x] = std::min(out[x], in[x]);
    }
  }
  // Along the rows: the minimum of bw columns, one shift of the row at a time so the inner loop
  // runs along memory.
  const int lastStart = width - bw;
  std::vector<unsigned char> windowMin(static_cast<std::size_t>(lastStart) + 1);
  for (int y = 0; y < height; ++y) {
    const unsigned char* in = columnMin + static_cast<std::size_t>(y) * w;
    unsigned char* out = target + static_cast<std::size_t>(y) * w;
    unsigned char* m = windowMin.data();
    std::memcpy(m, in, windowMin.size());
    for (int d = 1; d < bw; ++d) {
      const unsigned char* shifted = in + d;
      for (std::size_t s = 0; s < windowMin.size(); ++s) m[s] = std::min(m[s], shifted[s]);
    }
    // Each window's minimum lands at its centre; positions near the ends copy the nearest one.
    std::memcpy(out + bw / 2, m, windowMin.size());
    for (int x = 0; x < bw / 2; ++x) out[x] = m[0];
    for (int x = lastStart + bw / 2 + 1; x < width; ++x) out[x] = m[lastStart];
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
  unsigned char* eroded = nullptr;
  try {
    eroded = ThreadScratch(t_eroded, n);
    MinimumFilter(image, eroded, height, width, block.x, block.y);
  } catch (const std::bad_alloc&) {
    std::memset(mask, 0, n);
    return LSA_NO_MEMORY;
  }
  // Every mask pixel is written: 255 where the eroded image is dark enough, else 0.
  const int limit = 255 - p->MaskLevelThreshold;
  long long foreground = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool finger = eroded[i] <= limit;
    mask[i] = finger ? 255 : 0;
    foreground += finger;
  }
  if (!IsMissing(count)) *count = static_cast<int>(foreground);
  return LSA_PASSED;
}

int FilterMaskRegions(int width, int height, unsigned char* mask) {
  StitchParameterType* p = GetParameter();
  if (!p) return LSA_NO_MEMORY;
  if (width < 1 || height < 1 || IsMissing(mask)) return LSA_INVALID_INPUT;
  MaskRuns r;
  std::size_t regions = 0;
  if (!LabelConnectedRegions(height, width, mask, r, regions)) return LSA_NO_MEMORY;

  int64_t bound = p->MaskMinRegionSize;
  if (p->MaskMaxRegions > 0 && regions >= static_cast<std::size_t>(p->MaskMaxRegions)) {
    std::vector<int64_t> sizes;
    try {
      sizes.reserve(regions);
    } catch (const std::bad_alloc&) {
      return LSA_NO_MEMORY;
    }
    for (std::size_t i = 0; i < r.runs.size(); ++i) {
      if (r.parent[i] == i) sizes.push_back(r.regionSize[i]);
    }
    const auto nth = sizes.begin() + (p->MaskMaxRegions - 1);
    std::nth_element(sizes.begin(), nth, sizes.end(), std::greater<int64_t>());
    bound = std::max(bound, *nth);
  }
  for (std::size_t i = 0; i < r.runs.size(); ++i) {
    if (r.regionSize[r.Root(i)] >= bound) continue;
    const MaskRuns::Run& run = r.runs[i];
    std::memset(mask + static_cast<std::size_t>(run.y) * static_cast<std::size_t>(width) + run.first,
                0, static_cast<std::size_t>(run.last - run.first + 1));
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
  // Every pixel is stored (unchanged or 255), so the loop runs without branches on vector lanes.
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char v = image[i];
    image[i] = (mask[i] == 0 || v >= kResidueLevel) ? static_cast<unsigned char>(255) : v;
  }
}

void FreeMask(unsigned char** mask) {
  if (IsMissing(mask) || IsMissing(*mask)) return;
  std::free(*mask);
  *mask = nullptr;
}

}  // namespace LiveScanAlg
