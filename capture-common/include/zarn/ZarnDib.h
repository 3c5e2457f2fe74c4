#pragma once
// ZarnDib: an 8-bit grey device-independent bitmap. It keeps a bitmap info header with a 256-entry
// grey palette and bottom-up pixel rows padded to 4 bytes, reads and writes BMP files, draws into
// an RGB buffer and hands out bounds-checked pixel addresses. Errors are reported through
// ZarnShowMessage (trace line and stderr).

#include <cstdint>
#include <cstdio>

#pragma pack(push, 1)
struct ZarnBitmapInfoHeader {
    uint32_t size;  // 40
    int32_t width;
    int32_t height;  // may be negative; sizes use its absolute value
    uint16_t planes;
    uint16_t bitCount;
    uint32_t compression;
    uint32_t sizeImage;
    int32_t xPelsPerMeter;
    int32_t yPelsPerMeter;
    uint32_t colorsUsed;
    uint32_t colorsImportant;
};
struct ZarnRgbQuad {
    uint8_t blue, green, red, reserved;
};
struct ZarnDibHeader {
    ZarnBitmapInfoHeader info;
    ZarnRgbQuad palette[256];
};
#pragma pack(pop)
static_assert(sizeof(ZarnBitmapInfoHeader) == 40);
static_assert(sizeof(ZarnDibHeader) == 1064);

struct ZarnRect {
    int left, top, right, bottom;
};

// Target of ZarnDib::Draw: 24-bit pixels, bytes R, G, B, rows top-down, stride bytes apart.
struct ZarnRgbCanvas {
    uint8_t* pixels;
    int width;
    int height;
    int stride;
};

class ZarnDib {
public:
    static constexpr uint32_t kFileHeaderSize = 14;
    static constexpr uint32_t kPixelOffset = kFileHeaderSize + sizeof(ZarnDibHeader);  // 1078
    // Largest width or height a loaded or created bitmap may have.
    static constexpr int kMaxDimension = 1 << 15;

    // A 16 x 16 bitmap, all pixels 0xFF.
    ZarnDib();
    virtual ~ZarnDib();
    ZarnDib(const ZarnDib&) = delete;
    ZarnDib& operator=(const ZarnDib&) = delete;

    // Load: 0, or -1 when the file cannot be opened or is not a valid 8-bit bitmap.
    virtual int Load(const char* path);
    // Read from the stream's current position: 1; 0 not a bitmap ("Not a bitmap file") or no
    // memory; -1 a short, inconsistent or unsupported file. Nothing changes unless it returns 1.
    virtual int Read(FILE* stream);
    // Write: 1, or -1 when there is nothing to write or the stream refuses the bytes.
    virtual int Write(FILE* stream);
    // Save: 0, or -1 when the file cannot be opened or written.
    virtual int Save(const char* path);
    // Draws the bitmap with its top-left at (x, y): scale >= 0 enlarges by scale, a negative scale
    // shrinks by -scale; nearest pixel, clipped to the canvas. Returns the number of canvas rows
    // written.
    virtual int Draw(const ZarnRgbCanvas& canvas, int x, int y, int scale);
    virtual int GetWidth() const;
    virtual int GetHeight() const;  // absolute value of the stored height
    virtual ZarnRect GetRect() const;
    // Copies the width x height block whose top-left is (srcX, srcY), counted from the top, to
    // (dstX, dstY) of destination. transparent -1 copies every pixel; otherwise pixels equal to its
    // low byte are skipped. 1 copied (or nothing to copy), 0 the block does not fit.
    virtual int CopyBlock(ZarnDib* destination, int dstX, int dstY, int width, int height, int srcX, int srcY,
                          int transparent);
    virtual void Free();

    int GetColorCount() const;
    // A width x height grey bitmap of 0xFF pixels that owns its rows. 1, or 0 (bad size, memory).
    int Create(int width, int height);
    // As Create but over the caller's rows (Stride(width) x |height| bytes), not copied, not owned.
    int Attach(int width, int height, uint8_t* bits);
    // Address of pixel (x, y), y counted from the top of the picture; null when outside.
    uint8_t* GetPixelAddress(int x, int y);
    void FlipVertical();

    int Stride() const { return Stride(GetWidth()); }
    static int Stride(int width) { return (width + 3) & ~3; }
    const ZarnDibHeader* Header() const { return header_; }
    uint8_t* Bits() { return bits_; }
    bool OwnsBits() const { return ownsBits_ != 0; }

private:
    static ZarnDibHeader* NewGreyHeader(int width, int height);
    void Replace(ZarnDibHeader* header, uint8_t* bits, int owns);

    ZarnDibHeader* header_ = nullptr;
    uint8_t* bits_ = nullptr;
    int ownsBits_ = 0;
};
