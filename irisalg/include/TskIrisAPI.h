#pragma once
// Exported interface of the iris algorithm library (C linkage).

#include <stdint.h>

#include "irisalg/IrisRecords.h"

#define TSKIRIS_API __attribute__((visibility("default")))

// The eye detector's context (irisalg/EyeDetector.h); opaque to C callers.
#ifdef __cplusplus
namespace irisalg {
struct DetectorContext;
}
typedef irisalg::DetectorContext TskIrisDetectorContext;
#else
typedef struct DetectorContext TskIrisDetectorContext;
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Version 2.5.0.4, one number a byte.
TSKIRIS_API uint32_t TskIris_GetVersion(void);
// The largest template stream in bytes (10240).
TSKIRIS_API int32_t TskIris_GetMaxFeatureSize(void);
// Switches modules on (words 0, 5, 10, 20, 30 = 1) and edits the feature-kind table (words 51..60
// location methods, 71/91, 73/93, 80/100 match variants and parameters). options holds at least
// 101 words. Must not run beside any other call of the library.
TSKIRIS_API int32_t TskIris_Init(void* reserved, const int32_t* options, char* errtext);
TSKIRIS_API int32_t TskIris_Destroy(void);
// Template of the requested kinds (options word 0 tag bits, default 64; word 1 = 1 a given
// location in words 11..16 and 20..32).
TSKIRIS_API int32_t TskIris_FExtractor(const uint8_t* image, int32_t width, int32_t height, IMF* out,
                                       const int32_t* options, char* errtext);
// Template stream of kind 41 (options: 256 words, word 0 = 1); returns the stream length.
TSKIRIS_API int32_t TskIris_FeatureExtract_Ex(const uint8_t* image, int32_t width, int32_t height, const char* note,
                                              const int32_t* options, uint8_t* out, int32_t outsize, char* errtext);
// Similarity 0..10000 of two templates.
TSKIRIS_API int32_t TskIris_Verify_Ex(const IMF* probe, const IMF* gallery, int32_t* score, const int32_t* options,
                                      char* errtext);
TSKIRIS_API int32_t TskIris_Search_Ex(const IMF* probe, const IMF* gallery, int32_t count, int32_t* scores,
                                      const int32_t* options, char* errtext);
TSKIRIS_API int32_t TskIris_Polyfit(const int32_t* x, const int32_t* y, int32_t n, int32_t degree, int32_t* coefficients);
TSKIRIS_API double TskIris_Polyval(const int32_t* coefficients, int32_t degree, double x);
TSKIRIS_API int32_t TskIris_CircleFitting(const int32_t* x, const int32_t* y, int32_t n, int32_t* cx, int32_t* cy,
                                          int32_t* r);
TSKIRIS_API int32_t TskIris_FeatureEncode_Ex(const IMF* imf, const uint32_t* header, uint8_t* out, int32_t* size,
                                             int32_t reserved, char* errtext);
TSKIRIS_API int32_t TskIris_FeatureDecode_Ex(const uint8_t* stream, int32_t length, IMF* out, void* reserved,
                                             char* errtext);
TSKIRIS_API int32_t TskIris_Free_IMF(IMF* imf);
TSKIRIS_API int32_t TskIris_Location(const uint8_t* image, int32_t width, int32_t height, IrisLocation* out,
                                     const int32_t* options, char* errtext);
TSKIRIS_API float TskIris_IrisQuality(const uint8_t* image, int32_t width, int32_t height, const int32_t* options,
                                      char* errtext);
TSKIRIS_API int32_t TskIris_QualityAnalysis(const uint8_t* image, int32_t width, int32_t height, const int32_t* options,
                                            IrisLocation* location, IrisQualityRecord* record, char* errtext);
// Detector context with eye table 1 when options word 0 is non-zero (null options: table 2).
// -6 when the detection module is off, 28674 when a table cannot be loaded. reserved is not read.
TSKIRIS_API int32_t TskIris_Detection_Create(TskIrisDetectorContext** out, const int32_t* options, void* reserved);
// Releases a context; 28676 for a null context or one without classifier set (still released).
TSKIRIS_API int32_t TskIris_Detection_Destroy(TskIrisDetectorContext* context, void* reserved);
// The eye rectangle of an 8-bit image: record words 0..3 in (scan mode, working width code,
// minimum neighbours, border mode), word 15 the best group's neighbour count, 16..19 its box.
TSKIRIS_API int32_t TskIris_Detection(TskIrisDetectorContext* context, const uint8_t* image, int32_t width,
                                      int32_t height, EyeDetectionRecord* record, char* errtext);

#ifdef __cplusplus
}
#endif
