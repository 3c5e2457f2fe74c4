// 8-bit grey BMP files, scaling, rotation and a text dump of an image.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "LiveScanAlgInternal.h"

namespace LiveScanAlg {

namespace {

constexpr uint32_t kBmpFileHeaderSize = 14;
constexpr uint32_t kBmpInfoHeaderSize = 40;
constexpr uint32_t kBmpPaletteSize = 1024;
constexpr uint32_t kBmpDataOffset = kBmpFileHeaderSize + kBmpInfoHeaderSize + kBmpPaletteSize;
constexpr std::size_t kMaxImageBytes = 0x7FFFFFFF;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

uint32_t ReadU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t ReadU16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void PutU32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}
void PutU16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

std::size_t Stride(int width) { return (static_cast<std::size_t>(width) + 3) & ~std::size_t{3}; }

// Header, information header and grey palette of an 8-bit file.
std::vector<unsigned char> BitmapHeader(int height, int width, uint32_t fileSize) {
  std::vector<unsigned char> h(kBmpDataOffset, 0);
  h[0] = 'B';
  h[1] = 'M';
  PutU32(&h[2], fileSize);
  PutU32(&h[10], kBmpDataOffset);
  PutU32(&h[14], kBmpInfoHeaderSize);
  PutU32(&h[18], static_cast<uint32_t>(width));
  PutU32(&h[22], static_cast<uint32_t>(height));
  PutU16(&h[26], 1);
  PutU16(&h[28], 8);
  for (uint32_t i = 0; i < 256; ++i) {
    unsigned char* entry = &h[kBmpFileHeaderSize + kBmpInfoHeaderSize + 4 * i];
    entry[0] = entry[1] = entry[2] = static_cast<unsigned char>(i);
  }
  return h;
}

// Writes the file: rows bottom-up for a positive height, each padded to a multiple of 4 bytes.
bool WriteBitmapFile(const char* path, const unsigned char* image, int height, int width) {
  const std::size_t rows = static_cast<std::size_t>(std::llabs(height));
  const std::size_t stride = Stride(width);
  const uint64_t fileSize = kBmpDataOffset + static_cast<uint64_t>(stride) * rows;
  File f(std::fopen(path, "wb"));
  if (!f) return false;
  const std::vector<unsigned char> header =
      BitmapHeader(height, width, static_cast<uint32_t>(fileSize));
  if (std::fwrite(header.data(), 1, header.size(), f.get()) != header.size()) return false;
  const unsigned char padding[3] = {0, 0, 0};
  const std::size_t pad = stride - static_cast<std::size_t>(width);
  for (std::size_t i = 0; i < rows; ++i) {
    const std::size_t row = height > 0 ? rows - 1 - i : i;
    const unsigned char* src = image + row * static_cast<std::size_t>(width);
    if (std::fwrite(src, 1, static_cast<std::size_t>(width), f.get()) !=
        static_cast<std::size_t>(width)) {
      return false;
    }
    if (pad && std::fwrite(padding, 1, pad, f.get()) != pad) return false;
  }
  return std::fclose(f.release()) == 0;
}

}  // namespace

int ReadBMPToRawData(char* path, unsigned char** image, int* height, int* width) {
  if (IsMissing(image) || IsMissing(height) || IsMissing(width)) return LSA_INVALID_POINTER;
  if (IsMissing(path)) return LSA_INVALID_INPUT;
  File f(std::fopen(path, "rb"));
  if (!f) return LSA_INVALID_INPUT;  // 1: the file cannot be opened
  if (std::fseek(f.get(), 0, SEEK_END) != 0) return LSA_CANT_READ_IMAGE_DATA;
  const long fileLength = std::ftell(f.get());
  if (fileLength < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) return LSA_CANT_READ_IMAGE_DATA;

  unsigned char header[kBmpFileHeaderSize + kBmpInfoHeaderSize];
  if (std::fread(header, 1, sizeof header, f.get()) != sizeof header) {
    return LSA_CANT_OPEN_IMAGE_FILE;
  }
  const uint32_t dataOffset = ReadU32(&header[10]);
  const uint32_t infoSize = ReadU32(&header[14]);
  const auto fileWidth = static_cast<int32_t>(ReadU32(&header[18]));
  const auto fileHeight = static_cast<int32_t>(ReadU32(&header[22]));
  const uint16_t bits = ReadU16(&header[28]);
  const uint32_t compression = ReadU32(&header[30]);
  // Only uncompressed 8-bit grey files with a sane geometry are read.
  if (header[0] != 'B' || header[1] != 'M' || infoSize < kBmpInfoHeaderSize || bits != 8 ||
      compression != 0 || fileWidth < 1 || fileHeight == 0 ||
      fileHeight == std::numeric_limits<int32_t>::min()) {
    return LSA_CANT_OPEN_IMAGE_FILE;
  }
  const std::size_t rows = static_cast<std::size_t>(fileHeight < 0 ? -fileHeight : fileHeight);
  const std::size_t stride = Stride(fileWidth);
  if (static_cast<uint64_t>(fileWidth) * rows > kMaxImageBytes) return LSA_CANT_OPEN_IMAGE_FILE;
  if (dataOffset < kBmpFileHeaderSize + infoSize ||
      static_cast<uint64_t>(dataOffset) + static_cast<uint64_t>(stride) * rows >
          static_cast<uint64_t>(fileLength)) {
    return LSA_CANT_READ_IMAGE_DATA;
  }
  *height = static_cast<int>(rows);
  *width = fileWidth;
  if (std::fseek(f.get(), static_cast<long>(dataOffset), SEEK_SET) != 0) {
    return LSA_CANT_READ_IMAGE_DATA;
  }

  const bool allocate = IsMissing(*image);
  unsigned char* out = *image;
  if (allocate) {
    out = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(fileWidth) * rows));
    if (!out) return LSA_NO_MEMORY;
  }
  std::vector<unsigned char> row(stride);
  for (std::size_t i = 0; i < rows; ++i) {
    if (std::fread(row.data(), 1, stride, f.get()) != stride) {
      if (allocate) std::free(out);
      return LSA_CANT_READ_IMAGE_DATA;
    }
    // A positive height stores the rows bottom-up.
    const std::size_t target = fileHeight > 0 ? rows - 1 - i : i;
    std::memcpy(out + target * static_cast<std::size_t>(fileWidth), row.data(),
                static_cast<std::size_t>(fileWidth));
  }
  *image = out;
  return LSA_PASSED;
}

int SaveRawDataToBMP(char* path, unsigned char* image, int height, int width) {
  if (IsMissing(path)) return LSA_CANT_OPEN_FILE;
  if (height == 0 || height == std::numeric_limits<int>::min()) return LSA_INVALID_INPUT1;
  if (width < 1) return LSA_INVALID_INPUT2;
  if (IsMissing(image)) return LSA_INVALID_INPUT3;
  const uint64_t fileSize =
      kBmpDataOffset + static_cast<uint64_t>(Stride(width)) * static_cast<uint64_t>(std::llabs(height));
  if (fileSize > std::numeric_limits<uint32_t>::max()) return LSA_INVALID_INPUT2;
  return WriteBitmapFile(path, image, height, width) ? LSA_PASSED : LSA_CANT_OPEN_FILE;
}

int ScaleImage(int width, int height, unsigned char* image, int newWidth, int newHeight,
               unsigned char** out) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  if (newWidth < 1 || newHeight < 1) return LSA_INVALID_INPUT;
  if (IsMissing(out)) return LSA_INVALID_POINTER;
  const std::size_t bytes = static_cast<std::size_t>(newWidth) * static_cast<std::size_t>(newHeight);
  if (bytes > kMaxImageBytes) return LSA_NO_MEMORY;
  const bool allocate = IsMissing(*out);
  unsigned char* target = allocate ? static_cast<unsigned char*>(std::malloc(bytes)) : *out;
  if (!target) return LSA_NO_MEMORY;
  std::vector<int> columnMap;
  try {
    columnMap.resize(static_cast<std::size_t>(newWidth));
  } catch (const std::bad_alloc&) {
    if (allocate) std::free(target);
    return LSA_NO_MEMORY;
  }
  // Corners kept; a one-pixel output takes the first source row or column.
  for (int c = 0; c < newWidth; ++c) {
    columnMap[static_cast<std::size_t>(c)] =
        newWidth < 2 ? 0
                     : static_cast<int>(static_cast<long long>(c) * (width - 1) / (newWidth - 1));
  }
  for (int r = 0; r < newHeight; ++r) {
    const int sr =
        newHeight < 2 ? 0
                      : static_cast<int>(static_cast<long long>(r) * (height - 1) / (newHeight - 1));
    const unsigned char* src = image + static_cast<std::size_t>(sr) * static_cast<std::size_t>(width);
    unsigned char* dst = target + static_cast<std::size_t>(r) * static_cast<std::size_t>(newWidth);
    for (int c = 0; c < newWidth; ++c) dst[c] = src[columnMap[static_cast<std::size_t>(c)]];
  }
  *out = target;
  return LSA_PASSED;
}

int ScaleImage(unsigned char* image, int height, int width, float xFactor, float yFactor,
               unsigned char** out, int* newHeight, int* newWidth) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  if (IsMissing(out) || IsMissing(newHeight) || IsMissing(newWidth)) return LSA_INVALID_POINTER;
  if (!(xFactor > 0.0f) || !(yFactor > 0.0f) || !std::isfinite(xFactor) ||
      !std::isfinite(yFactor)) {
    return LSA_INVALID_INPUT;
  }
  const float fh = static_cast<float>(height) / yFactor;
  const float fw = static_cast<float>(width) / xFactor;
  if (fh >= 2147483647.0f || fw >= 2147483647.0f) return LSA_INVALID_INPUT;
  const int nh = static_cast<int>(fh);
  const int nw = static_cast<int>(fw);
  *newHeight = nh;
  *newWidth = nw;
  *out = nullptr;
  if (nh < 1 || nw < 1) return LSA_PASSED;
  const std::size_t bytes = static_cast<std::size_t>(nh) * static_cast<std::size_t>(nw);
  if (bytes > kMaxImageBytes) return LSA_NO_MEMORY;
  auto* target = static_cast<unsigned char*>(std::malloc(bytes));
  if (!target) return LSA_NO_MEMORY;
  const std::size_t w = static_cast<std::size_t>(width);
  for (int i = 0; i < nh; ++i) {
    const float sy = static_cast<float>(i) * yFactor;
    const int y0 = std::min(static_cast<int>(sy), height - 1);
    const int y1 = std::min(y0 + 1, height - 1);
    const float fy = sy - static_cast<float>(static_cast<int>(sy));
    for (int j = 0; j < nw; ++j) {
      const float sx = static_cast<float>(j) * xFactor;
      const int x0 = std::min(static_cast<int>(sx), width - 1);
      const int x1 = std::min(x0 + 1, width - 1);
      const float fx = sx - static_cast<float>(static_cast<int>(sx));
      const float top = static_cast<float>(image[y0 * w + x0]) * (1.0f - fx) +
                        static_cast<float>(image[y0 * w + x1]) * fx;
      const float bottom = static_cast<float>(image[y1 * w + x0]) * (1.0f - fx) +
                           static_cast<float>(image[y1 * w + x1]) * fx;
      const float v = top * (1.0f - fy) + bottom * fy;
      target[static_cast<std::size_t>(i) * static_cast<std::size_t>(nw) + j] =
          static_cast<unsigned char>(std::clamp(static_cast<int>(v), 0, 255));
    }
  }
  *out = target;
  return LSA_PASSED;
}

int ScaleImage1(unsigned char* image, int height, int width, int xStep, int yStep,
                unsigned char** out, int* newHeight, int* newWidth) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  if (xStep < 1 || yStep < 1) return LSA_INVALID_INPUT;
  if (IsMissing(out) || IsMissing(newHeight) || IsMissing(newWidth)) return LSA_INVALID_POINTER;
  const int nh = height / yStep;
  const int nw = width / xStep;
  *newHeight = nh;
  *newWidth = nw;
  if (nh < 1 || nw < 1) return LSA_PASSED;
  const std::size_t bytes = static_cast<std::size_t>(nh) * static_cast<std::size_t>(nw);
  unsigned char* target = IsMissing(*out) ? static_cast<unsigned char*>(std::malloc(bytes)) : *out;
  if (!target) return LSA_NO_MEMORY;
  for (int i = 0; i < nh; ++i) {
    const unsigned char* src =
        image + static_cast<std::size_t>(i) * static_cast<std::size_t>(yStep) *
                    static_cast<std::size_t>(width);
    unsigned char* dst = target + static_cast<std::size_t>(i) * static_cast<std::size_t>(nw);
    for (int j = 0; j < nw; ++j) dst[j] = src[static_cast<std::size_t>(j) * xStep];
  }
  *out = target;
  return LSA_PASSED;
}

void RotateImage(const unsigned char* source, int width, int height, unsigned char* destination,
                 int centreX, int centreY, float angle, unsigned char fill) {
  if (IsMissing(source) || IsMissing(destination) || width < 1 || height < 1) return;
  const std::size_t w = static_cast<std::size_t>(width);
  std::memset(destination, fill, w * static_cast<std::size_t>(height));
  const double c = std::cos(static_cast<double>(angle));
  const double s = std::sin(static_cast<double>(angle));
  const double uLimit = width - 1.5;
  const double vLimit = height - 1.5;
  for (int y = 0; y < height; ++y) {
    const double dy = y - height / 2;
    for (int x = 0; x < width; ++x) {
      const double dx = x - width / 2;
      const double u = centreX + dx * c + dy * s;
      const double v = centreY - dx * s + dy * c;
      if (u >= 0 && u <= uLimit && v >= 0 && v <= vLimit) {
        destination[static_cast<std::size_t>(y) * w + static_cast<std::size_t>(x)] =
            source[static_cast<std::size_t>(v) * w + static_cast<std::size_t>(u)];
      }
    }
  }
}

int PrintGrayscaleImageToText(unsigned char* image, int height, int width, char* path) {
  if (const int bad = CheckImageArguments(height, width, image)) return bad;
  if (IsMissing(path)) return LSA_CANT_OPEN_FILE;
  File f(std::fopen(path, "w"));
  if (!f) return LSA_CANT_OPEN_FILE;
  bool ok = std::fputs("\t\t", f.get()) >= 0;
  for (int c = 0; c < width && ok; ++c) ok = std::fprintf(f.get(), "%3d\t", c) >= 0;
  ok = ok && std::fputc('\n', f.get()) != EOF;
  for (int r = 0; r < height && ok; ++r) {
    ok = std::fprintf(f.get(), "Line%3d\t", r) >= 0;
    const unsigned char* row = image + static_cast<std::size_t>(r) * static_cast<std::size_t>(width);
    for (int c = 0; c < width && ok; ++c) ok = std::fprintf(f.get(), "%3d\t", row[c]) >= 0;
    ok = ok && std::fputc('\n', f.get()) != EOF;
  }
  if (std::fclose(f.release()) != 0) ok = false;
  return ok ? LSA_PASSED : LSA_CANT_OPEN_FILE;
}

}  // namespace LiveScanAlg
