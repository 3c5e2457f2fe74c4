#pragma once
// Iris feature encoders, the feature-kind registry and the matcher (internal interface).
//
// The encoders read a copy of the working location record (LocationResult, word numbers below) and
// write fixed-length binary codes with a validity mask; the registry turns them into templates and
// the matcher compares templates by weighted masked Hamming distance over circular shifts.

#include <cstddef>
#include <cstdint>

#include "irisalg/IrisRecords.h"
#include "irisalg/LocationWords.h"

namespace irisalg {


// ---- Unwrapping into the 64 x 512 polar grid -------------------------------------------------
inline constexpr int kGridRows = 64, kGridCols = 512;
// Angle and radius tables (four decimals).
float GridSine(int k);
float GridCosine(int k);
float GridRadius(int j);
int32_t UnwrapCircleImage(const uint8_t* image, int rows, int cols, const LocationResult& loc, uint8_t* grid);
int32_t UnwrapCircleMask(const uint8_t* mask, int rows, int cols, const LocationResult& loc, uint8_t* grid);
int32_t UnwrapContour(const uint8_t* image, int rows, int cols, const LocationResult& loc, uint8_t* grid);
// Mask (rows x cols, 1 = usable) from the eyelid parabolas; an eyelid counts from score 3501 on.
int32_t BuildEyelidMask(uint8_t* mask, int rows, int cols, const LocationResult& loc);

// ---- Kind 36: log-Gabor codes of the frequency domain ----------------------------------------
inline constexpr int kFrequencyFilters = 15, kFilterRows = 128, kFilterCols = 512;
int32_t BuildFrequencyFilterBank();
int32_t ClearFrequencyFilterBank();
bool FrequencyFilterBankBuilt();
const float* FrequencyFilter(int k);
// Returns 2048, -1 or kBadArgument; mask optional (1 = usable).
int32_t EncodeFrequencyFeature(const uint8_t* image, int rows, int cols, const uint8_t* mask,
                               const LocationResult* loc, uint8_t* out);

// ---- Kind 40: extremum runs of a dyadic wavelet ----------------------------------------------
// out must hold 2048 bytes; returns 512, -1 or kBadArgument.
int32_t EncodeExtremumFeature(const uint8_t* image, int rows, int cols, const uint8_t* mask,
                              const LocationResult* loc, uint8_t* out);
// Maxima and minima of a detail row of 512 samples; -1 when their counts cannot be paired.
int32_t FindExtremumPoints(const double* d, int* maxima, int* minima, int* count);
// Rising-stretch code of a detail row from its paired extrema (n each).
void RunCode(const int* maxima, const int* minima, int n, uint8_t* out);

// ---- Kinds 33..35: odd Gabor band codes ------------------------------------------------------
int32_t MakeOddGaborKernel(double lambda, double angleDeg, double sx, double sy, int16_t* kernel, int* rows,
                           int* cols);
int32_t CheckBandCodeParams(LocationResult& loc, int height, int width, uint8_t flags[24]);
int32_t ExtractBandCode(const uint8_t* image, int height, int width, const uint8_t* map, LocationResult& loc,
                        uint8_t* out);
// Size of the band filter pool once built (values).
int32_t BandFilterPoolSize();

// ---- Kind 32: ring code ----------------------------------------------------------------------
int32_t ExtractRingCode(const uint8_t* image, int width, int height, const uint8_t* map, LocationResult& loc,
                        uint8_t* out);

// ---- Feature kinds and template extraction ---------------------------------------------------
struct FeatureKind;
// Finds the kind of a feature id in the table, or null.
const FeatureKind* FindFeatureKind(int id);
// Similarity 0..10000 of two codes of one kind by the kind's match function (length = the gallery's).
int32_t MatchFeature(const FeatureKind* kind, const uint8_t* probe, const uint8_t* gallery, int32_t length,
                     int32_t shift);
uint32_t FeatureVersion(const FeatureKind* kind);
int32_t FeatureLength(const FeatureKind* kind);
int FeatureKindId(const FeatureKind* kind);
int FeatureMatchVariant(const FeatureKind* kind);
int32_t FeatureMatchParameter(const FeatureKind* kind);
// Table edits of the library's initialisation (options as there).
void ApplyInitOptionsToTable(const int32_t* options);

// Masked-bit fill of a code row from its mask row (width <= 256 bytes); returns the positions filled.
int32_t FillMaskedBits(uint8_t* code, const uint8_t* mask, int width);
// Bit planes: bit b of byte i goes to plane 7 - b; n a multiple of 8 (else -1).
int32_t PackBitPlanes(const uint8_t* in, int n, uint8_t* out);
int32_t UnpackBitPlanes(const uint8_t* in, int n, uint8_t* out);

// Builds a template of the requested kinds (options word 0 tag bits, word 1 = 1 a given location).
int32_t FeatureExtractor(const uint8_t* image, int width, int height, IMF* out, const int32_t* options,
                         char* errtext);

// ---- Matcher -----------------------------------------------------------------------------------
struct CompareOptions {
    int rows = 1;   // code rows R (<= 15)
    int shift = 0;  // largest shift S in bytes
    int mode = 0;   // 0 or 1: share of the row counted once
    int width = 128;
};
void BuildBitCountTable();
int32_t MaskedHammingDistance(const uint8_t* probe, const uint8_t* gallery, const uint8_t* probeMask,
                              const uint8_t* galleryMask, const CompareOptions& o);
int32_t UnmaskedHammingDistance(const uint8_t* probe, const uint8_t* gallery, const CompareOptions& o);
// Largest byte shift of a rotation option in degrees (the verify rule).
int32_t ShiftFromRotation(const int32_t* options);
int32_t VerifyTemplates(const IMF* probe, const IMF* gallery, int32_t* score, const int32_t* options,
                        char* errtext);
int32_t SearchTemplates(const IMF* probe, const IMF* gallery, int32_t count, int32_t* scores,
                        const int32_t* options, char* errtext);

}  // namespace irisalg
