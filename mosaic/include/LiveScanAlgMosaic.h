#pragma once
// Frame mosaic construction and the quality evaluation of the constructed image.
//
// A rolled finger image is built from a sequence of live frames: the caller runs the finger test
// (IsFingerON) on each frame, then calls one mosaic kernel per frame with the same frame-number
// variable, starting from 0. The stitch state between frames lives in the parameter block. When
// the sequence ends, EvaluateConstructedImageQuality measures the result.
//
// Results are row numbers of ErrorMessage (0 "You Passed!").
#include <cstddef>
#include <cstdint>

#include "LiveScanAlg.h"
#include "LiveScanAlgExport.h"
#include "LiveScanAlgRoll.h"

namespace LiveScanAlg {

// Block geometry of an image (80 bytes, 20 int32). The evaluators read only ImageHeight and
// ImageWidth; PreviewConstructImage also checks ImageHeight and uses BlockCount.
struct RectangleBlockInfoType {
    int32_t ImageHeight;
    int32_t ImageWidth;
    int32_t BlockWidth;
    int32_t BlockHeight;
    int32_t BlockLeftHalf;    // BlockWidth / 2
    int32_t BlockRightHalf;   // (BlockWidth - 1) / 2
    int32_t BlockTopHalf;     // BlockHeight / 2
    int32_t BlockBottomHalf;  // (BlockHeight - 1) / 2
    int32_t BlockRows;        // ceil(ImageHeight / BlockHeight)
    int32_t BlockColumns;     // ceil(ImageWidth / BlockWidth)
    int32_t Reserved0[7];
    int32_t BlockCount;  // BlockRows x BlockColumns
    int32_t Reserved1[2];
};
static_assert(sizeof(RectangleBlockInfoType) == 80);
static_assert(offsetof(RectangleBlockInfoType, BlockColumns) == 36);
static_assert(offsetof(RectangleBlockInfoType, BlockCount) == 68);

// Measures of a constructed image (60 bytes).
struct MosaicImagePropertyType {
    int32_t ForegroundHeight;
    int32_t ForegroundWidth;
    int32_t CentreX;
    int32_t CentreY;
    int32_t LeftColumn;
    int32_t TopRow;
    int32_t RightColumn;
    int32_t BottomRow;
    int32_t ForegroundArea;
    float MeanGrey;
    float GreyVariance;
    uint8_t LowestGrey;
    uint8_t HighestGrey;
    uint8_t Padding[2];
    float ReservedFloat0;  // always 0.0
    float ReservedFloat1;  // always 100.0
    int32_t ReservedInt;   // always 0
};
static_assert(sizeof(MosaicImagePropertyType) == 60);
static_assert(offsetof(MosaicImagePropertyType, MeanGrey) == 36);
static_assert(offsetof(MosaicImagePropertyType, LowestGrey) == 44);
static_assert(offsetof(MosaicImagePropertyType, ReservedFloat0) == 48);
static_assert(offsetof(MosaicImagePropertyType, ReservedInt) == 56);

// ---- Frame mosaic kernels -------------------------------------------------------------------
// frame, mask, mosaic and coverage are height x width bytes (the quick kernel: see below). The
// mask is a work buffer that receives the frame's labels; coverage counts contributing frames.

// Full-resolution kernel with a seam-guided 20-pixel blend: 0, 3, 4, 11, 25, 27, 28, 39.
LSA_EXPORT int StitchKernal(int* frameNumber, int height, int width, unsigned char* frame,
                            unsigned char* mask, unsigned char* mosaic, unsigned char* coverage);

// StitchKernal; the block record is accepted and ignored.
LSA_EXPORT int MorwenConstructImage(int* frameNumber, int height, int width, unsigned char* frame,
                                    unsigned char* mask, unsigned char* mosaic,
                                    unsigned char* coverage, RectangleBlockInfoType* blockInfo);

// StitchKernal, then copies the frame into bestFrame when its mask count beats the stored one.
LSA_EXPORT int MorwenConstructImage2(int* frameNumber, int height, int width, unsigned char* frame,
                                     unsigned char* mask, unsigned char* mosaic,
                                     unsigned char* coverage, unsigned char* bestFrame);

// Kernel restricted to the band around the densest column, with a 40-pixel blend.
LSA_EXPORT int StitchKernalBlock(int* frameNumber, int height, int width, unsigned char* frame,
                                 unsigned char* mask, unsigned char* mosaic,
                                 unsigned char* coverage);

// Preview kernel: no seam, copies until the finger has moved, then a darkness-preserving mix.
// 0, 3-9, 11, 25, 27, 28, 39; on 28 the mask holds the slide map (1 marked, 0 not).
LSA_EXPORT int PreviewConstructImage(int* frameNumber, int height, int width, unsigned char* frame,
                                     unsigned char* mask, unsigned char* mosaic,
                                     unsigned char* coverage, RectangleBlockInfoType* blockInfo);

// Quick kernel: mask and coverage are (width / 4) x (height / 4) bytes, the mosaic full size.
LSA_EXPORT int MorwenConstructImageQuick(int* frameNumber, int height, int width,
                                         unsigned char* frame, unsigned char* mask,
                                         unsigned char* mosaic, unsigned char* coverage);

// 32 x 32 running mean of the rectangle [topLeft, bottomRight) of image into out; the first and
// last 16 rows and columns of the rectangle are copied. Pixels outside it are not written; the
// rectangle is clipped to the image.
LSA_EXPORT void GetMeanImageBlock(int height, int width, const unsigned char* image,
                                  unsigned char* out, ImageCordinateType* topLeft,
                                  ImageCordinateType* bottomRight);

// Fills the block record: 0, or 2-6 for a bad height, width, block width, block height, record.
LSA_EXPORT int InitializeRectangleBlockInfo(int height, int width, int blockWidth,
                                            int blockHeight, RectangleBlockInfoType* info);

// Kept for the interface; they do nothing and return 0.
LSA_EXPORT int ConstructImage1000DPI(int* frameNumber, int height, int width, unsigned char* frame,
                                     unsigned char* mask, unsigned char* mosaic,
                                     unsigned char* coverage, RectangleBlockInfoType* blockInfo);
LSA_EXPORT int CalibrateOpticalDistortion0(unsigned char* image, int* values);
LSA_EXPORT int EvaluateCalibrateResult1(int height, int width, const unsigned char* image,
                                        float* first, float* second, float* third);

// ---- Constructed-image quality --------------------------------------------------------------

// Measures the non-zero pixels of constructed (ImageHeight x ImageWidth of info) and decides:
// 0, 3-5 (missing image, constructed image, record), 26, 29, 31-34.
LSA_EXPORT int EvaluateConstructedImageQuality(RectangleBlockInfoType info, unsigned char* image,
                                               unsigned char* constructed, int frameCount,
                                               MosaicImagePropertyType* property);

// Measures a quarter-size mask over the full-size image; no verdict. 0, or 3-5 for a missing
// image, mask or record.
LSA_EXPORT int EvaluatePreviewConstructedImage(RectangleBlockInfoType info, unsigned char* image,
                                               unsigned char* quarterMask, int unused,
                                               MosaicImagePropertyType* property);

// Width of the foreground around its mean column: 0, or 2 for a missing image or output.
LSA_EXPORT int CalculateConstructedImageWidth(int height, int width, unsigned char* image,
                                              int* outWidth);

// Matches the grey levels of rectangle (a, b) to those of rectangle (c, d), corners inclusive,
// in place. Rectangles are clipped to the image; an empty one leaves the image alone. Always 0.
LSA_EXPORT int PatchArea(Cordinate2DType a, Cordinate2DType b, Cordinate2DType c,
                         Cordinate2DType d, int height, int width, unsigned char* image);

}  // namespace LiveScanAlg

// The library's class; it carries no data.
class LSA_EXPORT CMorwenMosaic {
public:
    CMorwenMosaic& operator=(const CMorwenMosaic& other);
};
