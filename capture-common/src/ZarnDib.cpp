#include "zarn/ZarnDib.h"

#include "zarn/ZarnTraceLogger.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr char kNoHeaderMemory[] = "Out of memory for DIB header";
constexpr char kNoBitsMemory[] = "Out of memory for DIB bits";
constexpr char kNotBitmap[] = "Not a bitmap file";
constexpr char kOutOfRange[] = "Attempt to get out of range pixel address";
constexpr uint16_t kBitmapSignature = 0x4D42;  // "BM"

uint32_t ReadU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void PutU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

int AbsHeight(const ZarnDibHeader* h) {
    return h == nullptr ? 0 : std::abs(h->info.height);
}

bool ValidSize(int width, int height) {
    return width >= 1 && width <= ZarnDib::kMaxDimension && height != 0 && height >= -ZarnDib::kMaxDimension &&
           height <= ZarnDib::kMaxDimension;
}

bool ReadExact(FILE* stream, void* out, size_t n) {
    return std::fread(out, 1, n, stream) == n;
}

}  // namespace

ZarnDib::ZarnDib() {
    header_ = NewGreyHeader(16, 16);
    if (header_ == nullptr) {
        ZarnShowMessage(kNoHeaderMemory);
        return;
    }
    bits_ = new (std::nothrow) uint8_t[16 * 16];
    if (bits_ == nullptr) {
        ZarnShowMessage(kNoBitsMemory);
        return;
    }
    std::memset(bits_, 0xFF, 16 * 16);
    ownsBits_ = 1;
}

ZarnDib::~ZarnDib() {
    Replace(nullptr, nullptr, 0);
}

void ZarnDib::Free() {
    Replace(nullptr, nullptr, 0);
}

void ZarnDib::Replace(ZarnDibHeader* header, uint8_t* bits, int owns) {
    delete header_;
    if (ownsBits_ != 0) {
        delete[] bits_;
    }
    header_ = header;
    bits_ = bits;
    ownsBits_ = owns;
}

ZarnDibHeader* ZarnDib::NewGreyHeader(int width, int height) {
    auto* h = new (std::nothrow) ZarnDibHeader{};
    if (h == nullptr) {
        return nullptr;
    }
    h->info.size = sizeof(ZarnBitmapInfoHeader);
    h->info.width = width;
    h->info.height = height;
    h->info.planes = 1;
    h->info.bitCount = 8;
    for (int i = 0; i < 256; ++i) {
        h->palette[i] = ZarnRgbQuad{uint8_t(i), uint8_t(i), uint8_t(i), 0};
    }
    return h;
}

int ZarnDib::GetWidth() const {
    return header_ == nullptr ? 0 : header_->info.width;
}

int ZarnDib::GetHeight() const {
    return AbsHeight(header_);
}

ZarnRect ZarnDib::GetRect() const {
    return ZarnRect{0, 0, GetWidth(), GetHeight()};
}

int ZarnDib::GetColorCount() const {
    if (header_ == nullptr) {
        return 0;
    }
    const auto& info = header_->info;
    if (info.size == 12 || info.colorsUsed == 0) {
        switch (info.bitCount) {
            case 1: return 2;
            case 4: return 16;
            case 8: return 256;
            default: return 0;
        }
    }
    return static_cast<int>(info.colorsUsed);
}

int ZarnDib::Create(int width, int height) {
    if (!ValidSize(width, height)) {
        ZarnShowMessage("Invalid DIB size");
        return 0;
    }
    ZarnDibHeader* header = NewGreyHeader(width, height);
    if (header == nullptr) {
        ZarnShowMessage(kNoHeaderMemory);
        return 0;
    }
    const size_t bytes = size_t(Stride(width)) * size_t(std::abs(height));
    auto* bits = new (std::nothrow) uint8_t[bytes];
    if (bits == nullptr) {
        delete header;
        ZarnShowMessage(kNoBitsMemory);
        return 0;
    }
    std::memset(bits, 0xFF, bytes);
    Replace(header, bits, 1);
    return 1;
}

int ZarnDib::Attach(int width, int height, uint8_t* bits) {
    if (bits == nullptr) {
        ZarnShowMessage(kNoBitsMemory);
        return 0;
    }
    if (!ValidSize(width, height)) {
        ZarnShowMessage("Invalid DIB size");
        return 0;
    }
    ZarnDibHeader* header = NewGreyHeader(width, height);
    if (header == nullptr) {
        ZarnShowMessage(kNoHeaderMemory);
        return 0;
    }
    Replace(header, bits, 0);
    return 1;
}

uint8_t* ZarnDib::GetPixelAddress(int x, int y) {
    const int height = GetHeight();
    if (bits_ == nullptr || x < 0 || y < 0 || x >= GetWidth() || y >= height) {
        ZarnShowMessage(kOutOfRange);
        return nullptr;
    }
    return bits_ + x + size_t(Stride()) * size_t(height - y - 1);
}

void ZarnDib::FlipVertical() {
    const int height = GetHeight();
    const size_t stride = size_t(Stride());
    if (bits_ == nullptr || height < 2) {
        return;
    }
    std::vector<uint8_t> row(stride);
    for (int top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = bits_ + stride * size_t(top);
        uint8_t* b = bits_ + stride * size_t(bottom);
        std::memcpy(row.data(), a, stride);
        std::memcpy(a, b, stride);
        std::memcpy(b, row.data(), stride);
    }
}

int ZarnDib::CopyBlock(ZarnDib* destination, int dstX, int dstY, int width, int height, int srcX, int srcY,
                       int transparent) {
    if (width == 0 || height == 0) {
        return 1;
    }
    auto fits = [](const ZarnDib* dib, int x, int y, int w, int h) {
        return dib != nullptr && dib->bits_ != nullptr && x >= 0 && y >= 0 && w > 0 && h > 0 &&
               int64_t(x) + w <= dib->GetWidth() && int64_t(y) + h <= dib->GetHeight();
    };
    if (!fits(this, srcX, srcY, width, height) || !fits(destination, dstX, dstY, width, height)) {
        ZarnShowMessage(kOutOfRange);
        return 0;
    }
    const uint8_t key = uint8_t(transparent & 0xFF);
    for (int j = 0; j < height; ++j) {
        const uint8_t* src = GetPixelAddress(srcX, srcY + j);
        uint8_t* dst = destination->GetPixelAddress(dstX, dstY + j);
        if (transparent == -1) {
            std::memmove(dst, src, size_t(width));
        } else {
            for (int i = 0; i < width; ++i) {
                if (src[i] != key) {
                    dst[i] = src[i];
                }
            }
        }
    }
    return 1;
}

int ZarnDib::Read(FILE* stream) {
    if (stream == nullptr) {
        return -1;
    }
    // Size of what the stream holds from here on: every offset and length in the headers is
    // checked against it, so a damaged or cut file is refused instead of being read past its end.
    const long start = std::ftell(stream);
    if (start < 0 || std::fseek(stream, 0, SEEK_END) != 0) {
        return -1;
    }
    const long end = std::ftell(stream);
    if (end < start || std::fseek(stream, start, SEEK_SET) != 0) {
        return -1;
    }
    const uint64_t available = uint64_t(end - start);

    uint8_t fileHeader[kFileHeaderSize];
    if (!ReadExact(stream, fileHeader, sizeof fileHeader)) {
        return -1;
    }
    if ((fileHeader[0] | fileHeader[1] << 8) != kBitmapSignature) {
        ZarnShowMessage(kNotBitmap);
        return 0;
    }
    const uint32_t fileSize = ReadU32(fileHeader + 2);
    const uint32_t pixelOffset = ReadU32(fileHeader + 10);

    ZarnBitmapInfoHeader info;
    if (!ReadExact(stream, &info, sizeof info)) {
        return -1;
    }
    // Only uncompressed 8-bit bitmaps with an info header of 40 bytes or more are supported.
    if (info.size < sizeof(ZarnBitmapInfoHeader) || info.bitCount != 8 || info.planes != 1 || info.compression != 0 ||
        info.colorsUsed > 256 || !ValidSize(info.width, info.height)) {
        return -1;
    }
    const uint32_t colors = info.colorsUsed == 0 ? 256 : info.colorsUsed;
    const uint64_t paletteStart = uint64_t(kFileHeaderSize) + info.size;
    const uint64_t paletteEnd = paletteStart + uint64_t(colors) * 4;
    const int height = std::abs(info.height);
    const uint64_t pixelBytes = uint64_t(Stride(info.width)) * uint64_t(height);
    if (fileSize > available || paletteEnd > pixelOffset || uint64_t(pixelOffset) + pixelBytes > available) {
        return -1;
    }

    auto* header = new (std::nothrow) ZarnDibHeader{};
    if (header == nullptr) {
        ZarnShowMessage(kNoHeaderMemory);
        return 0;
    }
    header->info = info;
    header->info.size = sizeof(ZarnBitmapInfoHeader);
    if (std::fseek(stream, start + long(paletteStart), SEEK_SET) != 0 ||
        !ReadExact(stream, header->palette, size_t(colors) * 4)) {
        delete header;
        return -1;
    }
    auto* bits = new (std::nothrow) uint8_t[pixelBytes];
    if (bits == nullptr) {
        delete header;
        ZarnShowMessage(kNoBitsMemory);
        return 0;
    }
    if (std::fseek(stream, start + long(pixelOffset), SEEK_SET) != 0 || !ReadExact(stream, bits, pixelBytes)) {
        delete header;
        delete[] bits;
        return -1;
    }
    Replace(header, bits, 1);
    // A top-down file (negative height) is stored bottom-up like every other bitmap, so pixel
    // addresses and drawing see the picture the right way up.
    if (info.height < 0) {
        FlipVertical();
        header_->info.height = height;
    }
    return 1;
}

int ZarnDib::Load(const char* path) {
    FILE* f = path == nullptr ? nullptr : std::fopen(path, "rb");
    if (f == nullptr) {
        return -1;
    }
    const int r = Read(f);
    std::fclose(f);
    return r == 1 ? 0 : -1;
}

int ZarnDib::Write(FILE* stream) {
    if (stream == nullptr || header_ == nullptr || bits_ == nullptr) {
        return -1;
    }
    const uint64_t pixelBytes = uint64_t(Stride()) * uint64_t(GetHeight());
    uint8_t fileHeader[kFileHeaderSize] = {'B', 'M'};
    PutU32(fileHeader + 2, uint32_t(pixelBytes + kPixelOffset));
    PutU32(fileHeader + 10, kPixelOffset);
    if (std::fwrite(fileHeader, 1, sizeof fileHeader, stream) != sizeof fileHeader ||
        std::fwrite(header_, 1, sizeof(ZarnDibHeader), stream) != sizeof(ZarnDibHeader) ||
        std::fwrite(bits_, 1, pixelBytes, stream) != pixelBytes) {
        return -1;
    }
    return 1;
}

int ZarnDib::Save(const char* path) {
    FILE* f = path == nullptr ? nullptr : std::fopen(path, "wb");
    if (f == nullptr) {
        return -1;
    }
    const int r = Write(f);
    const int closed = std::fclose(f);
    return r == 1 && closed == 0 ? 0 : -1;
}

int ZarnDib::Draw(const ZarnRgbCanvas& canvas, int x, int y, int scale) {
    const int width = GetWidth();
    const int height = GetHeight();
    if (bits_ == nullptr || canvas.pixels == nullptr || canvas.width <= 0 || canvas.height <= 0 ||
        canvas.stride < canvas.width * 3) {
        return 0;
    }
    const int64_t drawnWidth = scale >= 0 ? int64_t(width) * scale : width / -int64_t(scale);
    const int64_t drawnHeight = scale >= 0 ? int64_t(height) * scale : height / -int64_t(scale);
    if (drawnWidth <= 0 || drawnHeight <= 0) {
        return 0;
    }
    const int64_t left = std::max<int64_t>(x, 0);
    const int64_t right = std::min<int64_t>(int64_t(x) + drawnWidth, canvas.width);
    const int64_t top = std::max<int64_t>(y, 0);
    const int64_t bottom = std::min<int64_t>(int64_t(y) + drawnHeight, canvas.height);
    if (left >= right || top >= bottom) {
        return 0;  // entirely off the canvas
    }
    int rows = 0;
    for (int64_t cy = top; cy < bottom; ++cy, ++rows) {
        const int srcY = int((cy - y) * height / drawnHeight);
        const uint8_t* srcRow = bits_ + size_t(Stride()) * size_t(height - srcY - 1);
        uint8_t* out = canvas.pixels + size_t(canvas.stride) * size_t(cy) + size_t(left) * 3;
        for (int64_t cx = left; cx < right; ++cx, out += 3) {
            const ZarnRgbQuad& c = header_->palette[srcRow[(cx - x) * width / drawnWidth]];
            out[0] = c.red;
            out[1] = c.green;
            out[2] = c.blue;
        }
    }
    return rows;
}
