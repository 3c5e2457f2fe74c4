#pragma once
// Exported interface of the iris algorithm library (C linkage).

#include <stdint.h>

#include "irisalg/IrisRecords.h"

#define TSKIRIS_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

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

#ifdef __cplusplus
}
#endif
