// Diagnostic comparisons of two images whose difference distribution is appended to the text file
// "Difference.txt" in the diagnostic folder (the current directory unless one is set).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "LiveScanAlgInternal.h"

namespace LiveScanAlg {

namespace {

constexpr const char* kDifferenceFile = "Difference.txt";
constexpr int kNoiseLevel = 41;  // differences from here on count as a changed pixel

std::mutex g_folderLock;
std::string g_folder;

void WriteSeparator(std::FILE* f) {
  std::fputs(std::string(104, '/').c_str(), f);
  std::fputs(" \n", f);
}

}  // namespace

void SetDiagnosticDirectory(const char* directory) {
  std::lock_guard<std::mutex> lock(g_folderLock);
  g_folder = IsMissing(directory) ? std::string() : std::string(directory);
}

std::string DiagnosticFilePath(const char* name) {
  std::lock_guard<std::mutex> lock(g_folderLock);
  if (g_folder.empty()) return name;
  std::string path = g_folder;
  if (path.back() != '/') path += '/';
  return path + name;
}

int AnalysizeNoiseLevel(int height, int width, unsigned char* reference, unsigned char* image) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  if (IsMissing(reference)) return LSA_INVALID_INPUT4;
  long long counts[256] = {};
  const std::size_t n = PixelCount(height, width);
  for (std::size_t i = 0; i < n; ++i) {
    const int d = std::abs(image[i] - reference[i]);
    image[i] = d < kNoiseLevel ? 0 : 255;
    ++counts[d];
  }
  std::FILE* f = std::fopen(DiagnosticFilePath(kDifferenceFile).c_str(), "a");
  if (!f) return LSA_PASSED;
  long long atLeast = 0;
  for (int d = 255; d >= 0; --d) {
    atLeast += counts[d];
    std::fprintf(f, "Difference Level = %i, Percentage = %f \n", d,
                 static_cast<double>(atLeast) / static_cast<double>(n));
  }
  WriteSeparator(f);
  std::fclose(f);
  return LSA_PASSED;
}

int ScanDifferentLine(int height, int width, unsigned char* reference, unsigned char* image,
                      Cordinate2DType from, Cordinate2DType to, unsigned char threshold,
                      int /*mode*/, int* first, int* second) {
  if (!IsMissing(first)) *first = -1;
  if (!IsMissing(second)) *second = -1;
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  if (IsMissing(reference)) return LSA_INVALID_INPUT4;
  // The scanned rectangle is clipped to the image.
  const int x0 = std::max(from.x, 0);
  const int x1 = std::min(to.x, width - 1);
  const int y0 = std::max(from.y, 0);
  const int y1 = std::min(to.y, height - 1);
  std::vector<long long> rowCounts;
  for (int y = y0; y <= y1; ++y) {
    long long count = 0;
    const std::size_t base = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
    for (int x = x0; x <= x1; ++x) {
      const std::size_t i = base + static_cast<std::size_t>(x);
      if (std::abs(image[i] - reference[i]) > threshold) {
        image[i] = 255;
        ++count;
      } else {
        image[i] = 0;
      }
    }
    rowCounts.push_back(count);
  }
  std::FILE* f = std::fopen(DiagnosticFilePath(kDifferenceFile).c_str(), "a");
  if (!f) return LSA_PASSED;
  const int columns = x1 >= x0 ? x1 - x0 + 1 : 0;
  for (std::size_t k = 0; k < rowCounts.size(); ++k) {
    const double count = static_cast<double>(rowCounts[k]);
    std::fprintf(f, "Difference Level = %d, DifferenceCounter =%f, Percentage = %f \n",
                 y0 + static_cast<int>(k), count, columns > 0 ? count / columns : 0.0);
  }
  WriteSeparator(f);
  std::fclose(f);
  return LSA_PASSED;
}

}  // namespace LiveScanAlg
