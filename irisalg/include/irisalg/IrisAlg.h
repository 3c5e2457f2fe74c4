#pragma once
// Internal routines of the iris algorithms: plain functions over caller-owned 8-bit grey images
// (row by row, width = columns), returning 0, a score, or one of the codes in IrisRecords.h.
// Messages go into an optional caller buffer of at least kMessageSize bytes.

#include <cstddef>
#include <cstdint>

#include "irisalg/IrisRecords.h"

namespace irisalg {

inline constexpr size_t kMessageSize = 64;

// Copies a formatted message into errtext (when given), never more than kMessageSize bytes.
void SetMessage(char* errtext, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Aligned blocks: the distance to the raw block sits in the byte before the returned address.
void* IrisAlignedAlloc(size_t size, size_t alignment = 4, const void* source = nullptr);
void IrisAlignedFree(void* p);

// Polynomials in the fixed-point form (word k = a_k * 32 * 256^k, word degree + 1 a score).
int32_t PolyfitCore(const int* x, const int* y, int n, int degree, int* out);
double PolyvalCore(const int* coef, int degree, double x);
int32_t SolveLinearSystem(int n, double* matrix, double* rhs, double* solution);
int32_t VertexFormToPolynomial(const EyelidCurve* curve, int out[4]);
int32_t PolynomialToVertexForm(const int* coef, int degree, int x0, int x1, EyelidCurve* out);
// Rounds half away from zero.
double RoundHalfAway(double v);
// Algebraic least-squares circle through n points; -1 with zeros when no circle fits.
int32_t CircleFit(const int32_t* x, const int32_t* y, int n, int32_t* cx, int32_t* cy, int32_t* r);

// Geometry and image helpers.
void SetPair(int32_t pair[2], int32_t a, int32_t b);
void SetIrisRect(IrisRect* rect, int32_t r0, int32_t r1, int32_t c0, int32_t c1);
void SetIrisCircle(IrisCircle* circle, int32_t x, int32_t y, int32_t r);
IrisCircle SetIrisCircle(int32_t x, int32_t y, int32_t r);
void ClipIrisRect(IrisRect* rect, int32_t rows, int32_t cols);
int32_t SpanLength(int32_t a, int32_t b);
inline int32_t RectHeight(const IrisRect& r) { return SpanLength(r.r0, r.r1); }
inline int32_t RectWidth(const IrisRect& r) { return SpanLength(r.c0, r.c1); }
int32_t DownSample(const uint8_t* image, int rows, int cols, int factor, uint8_t* out, int* outRows, int* outCols);
int32_t Histogram(const uint8_t* image, int width, int height, int32_t out[256]);
int32_t ContrastStretch(const uint8_t* image, int width, int height, int low, int high, uint8_t* out);
int32_t Threshold(const uint8_t* image, int width, int height, int t, uint8_t* out);
int32_t DirectionalDilate(const uint8_t* image, int width, int height, int columnLength, int rowLength, uint8_t* out);
int32_t ArgMin(const int32_t* values, int n, int* index);
int32_t ArgMax(const int32_t* values, int n, int* index);
// Two-pass labelling; returns the number of components (see the source for the label limit).
int32_t LabelComponents(const uint8_t* binary, int width, int height, int32_t* labels, int connectivity8);
int32_t ComponentBoxes(const int32_t* labels, int rows, int cols, int n, IrisRect* boxes);
int64_t RectSum(const uint8_t* image, int rows, int cols, IrisRect rect);
int32_t RectCopy(const uint8_t* image, int rows, int cols, IrisRect rect, uint8_t* out);
int32_t PointSample(const int32_t* image, int rows, int cols, const uint8_t* mask, const int32_t* points, int n,
                    int64_t* sum);
int32_t Convolve1D(const int32_t* signal, int n, const int32_t* kernel, int k, int32_t* out);
int32_t ColumnConvolve(const uint8_t* image, int rows, int cols, const int32_t* kernel, int k, int32_t* out);
int32_t FirstDifference(const int32_t* signal, int n, int32_t* out);
int32_t BoxFilter(const uint8_t* image, int rows, int cols, int v, int h, uint8_t* out);
int32_t BilinearSample(const uint8_t* image, int rows, int cols, int32_t x16, int32_t y16);
int32_t Pad(const uint8_t* image, int rows, int cols, int padRows, int padCols, uint8_t* out);

// Quality measures: score larger = sharper. circle = pupil x, y, r, iris x, y, r.
int32_t ComputeIrisQuality(const uint8_t* image, int rows, int cols, int measure, const int32_t circle[6], float* score,
                           char* errtext);
// Focus score of an options record: measure options[0], circle options[11..16] (all 0 without
// options); 0 when the measure fails.
float FocusScoreOfOptions(const uint8_t* image, int width, int height, const int32_t* options, char* errtext);

// Share of the iris annulus between the eyelids (0..1); mask optional (width x height).
int32_t BuildOcclusionMasks(const uint8_t* image, int width, int height, const int32_t* options,
                            const IrisLocation* location, float* value, uint8_t* mask, char* errtext);
// Bytes 7 (iris - pupil) and 8 (sclera - iris) of the quality record.
int32_t MeasureIrisContrast(const uint8_t* image, int width, int height, const IrisLocation* location,
                            IrisQualityRecord* record);

// Template stream.
int32_t EncodeTemplate(const IMF* imf, const uint32_t header[16], uint8_t* out, int32_t* size, char* errtext);
int32_t DecodeTemplate(const uint8_t* stream, int32_t length, IMF* out, char* errtext);
int32_t FreeTemplate(IMF* imf);
// Stream length of an IMF, or -1 when the record is not well formed.
int64_t TemplateLength(const IMF* imf);

}  // namespace irisalg
