#pragma once
// Location of the pupil, the iris boundary and the eyelids: the pupil searches, the boundary and
// eyelid search, the class F localiser with its filter bank, and the location pipeline that
// combines them. Images are 8-bit grey, row by row without padding.

#include <cstddef>
#include <cstdint>

#include "irisalg/IrisAlg.h"
#include "irisalg/LocationWords.h"
#include "irisalg/Modules.h"

namespace irisalg {

// ---- Pupil search ----------------------------------------------------------------------------
// Results: 0 found, 1 null image, -1 pupil outside the image (outputs written anyway).
int32_t LocatePupilSymmetry(const uint8_t* image, int width, int height, int flip, int32_t* x, int32_t* y, int32_t* r,
                            int32_t* score, int rmin, int rmax);
int32_t LocatePupilBalanced(const uint8_t* image, int width, int height, int flip, int32_t* x, int32_t* y, int32_t* r,
                            int32_t* score, int rmin, int rmax, int f);

int32_t RadialVoteSearch(const uint8_t* map, int cols, int rows, int32_t* x, int32_t* y, int32_t* r, int32_t* score,
                         int rmin, int rmax, int percent, int maxLevel);
int32_t BalancedRadialVoteSearch(const uint8_t* map, int cols, int rows, int32_t* x, int32_t* y, int32_t* r,
                                 int32_t* score, int rmin, int rmax, int f);
// Number of positive peaks of the ring profile, or -1; *index untouched when no ring is chosen.
int32_t ChoosePupilRing(const int32_t* profile, const int32_t* xs, const int32_t* ys, int n, int32_t* index);
int32_t FindMapPeak(const uint32_t* map, int cols, int rows, int32_t* x, int32_t* y, uint32_t* value, int a, int b);

int32_t CropImage(uint8_t* dst, const uint8_t* src, int width, int height, int top, int bottom, int left, int right);
int32_t DecimateImage(uint8_t* dst, int* cols, int* rows, const uint8_t* src, int width, int height, int f);
int32_t SmoothImage8(uint8_t* image, int cols, int rows, const int32_t* kernel, int k);
int32_t SmoothMap32(uint32_t* map, int cols, int rows, const int32_t* kernel, int k);
void NormaliseMapToLevels(const uint32_t* map, int rows, int cols, int level, uint8_t* dst8);

// Variants no method selects: factor 4 with votes up to 47 % of the smaller side; the edge test's
// upper grey level from the caller.
int32_t LocatePupilFixed4(const uint8_t* image, int width, int height, int flip, int32_t* x, int32_t* y, int32_t* r,
                          int32_t* score, int rmin, int rmax);
int32_t LocatePupilLevel(const uint8_t* image, int width, int height, int flip, int32_t* x, int32_t* y, int32_t* r,
                         int32_t* score, int rmin, int rmax, int maxLevel);
// Method A on the image cropped to at most 640 x 480 and reduced by 4; the score is the sharpness
// of the dark edges about the pupil (Sobel magnitudes per pixel of a window round it, x 100).
int32_t LocatePupil640(const uint8_t* image, int width, int height, int flip, int32_t* x, int32_t* y, int32_t* r,
                       int32_t* score, int rmin, int rmax);
// The balanced search returning two circles {x, y, r, score}: the pupil and a second ring about the
// same centre (all 0 when there is none). 0, 1 null image, -1 no ring or the pupil outside.
int32_t LocatePupilTwoRings(const uint8_t* image, int width, int height, int flip, int32_t pupil[4], int32_t ring[4],
                            int rmin, int rmax, int f);
// Symmetry map of an 8-bit map: the radial vote scores over radii rmin..rmax (step 2) summed,
// edges next to pixels brighter than 255 - margin left out, rescaled to 0..6. 0, or 1 for null.
int32_t SymmetryMap(const uint8_t* map, int cols, int rows, int rmin, int rmax, int margin, float* out);
// (v - min) x level / (max - min); all 0 for an even map.
void NormaliseMapToLevelsF(const float* map, int rows, int cols, float level, float* dst);
// Small helpers kept beside the searches.
int32_t CountBits32(uint32_t v);
int32_t ApproxHypot(int32_t a, int32_t b);
void ReciprocalTable(uint16_t out[256]);
// Writes a map as an 8-bit PGM (type 0 u8 copied; 1 i16, 2 i32, 3 float, 4 double, 5 u16, 6 u32
// rescaled to 0..255; other types write nothing); -1 when the file cannot be written.
int32_t DumpDebugPgm(const char* path, const void* data, int rows, int cols, int type);
// (2r+1) x (2r+1) box mean in place over the part of the box inside the image, at least 1.
int32_t BoxMeanFloor1(uint8_t* image, int rows, int cols, int r);
// The source pixel at the centre of each target cell.
int32_t ResampleNearest(const uint8_t* src, int rows, int cols, uint8_t* dst, int outRows, int outCols);
// Kernel entries floor(100 exp(-(dy^2/sy^2 + dx^2/sx^2))) of an odd size; returns their sum.
int32_t GaussianKernel(int32_t* kernel, int size, double sigmaY, double sigmaX);
int32_t GaussianSmooth(uint8_t* image, int rows, int cols, int size, double sigma);

extern const int32_t kPupilSmoothKernel3[9];
extern const int32_t kVoteSmoothKernel5[25];

// ---- Iris boundary and eyelids ---------------------------------------------------------------

inline EyelidCurve* UpperLid(LocationResult* r) { return reinterpret_cast<EyelidCurve*>(r->words + kWordUpperLid); }
inline EyelidCurve* LowerLid(LocationResult* r) { return reinterpret_cast<EyelidCurve*>(r->words + kWordLowerLid); }

// 0 done, 1 iris radius below 10 after the estimate, else a coded or stage result.
int32_t LocateIrisAndEyelids(const uint8_t* image, int rows, int cols, LocationResult* record, const int32_t params[32]);
// Variants no method selects: the boundary search without the eyelids (0 on success), and the
// eyelids alone for a record that holds both circles.
int32_t LocateIrisOnly(const uint8_t* image, int rows, int cols, LocationResult* record, const int32_t params[32]);
int32_t LocateEyelidsOnly(const uint8_t* image, int rows, int cols, LocationResult* record, const int32_t params[32]);
int32_t PrepareIrisImage(const uint8_t* image, int rows, int cols, int32_t* params, uint8_t* dst, int* outRows,
                         int* outCols);
int32_t FillSpecularSpots(uint8_t* image, int rows, int cols, int32_t* params3);
int32_t RefinePupilCircle(const uint8_t* image, int rows, int cols, LocationResult* record, int32_t* params6);
int32_t EstimateIrisRadius(const uint8_t* image, int rows, int cols, LocationResult* record, int32_t* params14);
int32_t RefineIrisCircle(const uint8_t* image, int rows, int cols, LocationResult* record, int32_t* params15);
int32_t LocateEyelids(const uint8_t* image, int rows, int cols, LocationResult* record, const int32_t* params);
int32_t EyelidEdgeMap(const uint8_t* crop, int h, int w, int px, int py, int pr, int32_t* edge, uint8_t* mask);
int32_t SearchEyelidParabola(const int32_t* edge, int h, int w, const uint8_t* mask, const int32_t settings[12],
                             int32_t* points, EyelidCurve* out);
int32_t SignedRadialEdgeMap(const uint8_t* crop, int rows, int cols, int cx, int cy, int32_t* out);
// Circle search over a grid about (cx, cy, cr); returns the ring points counted at a new best.
int32_t SearchCircleOnRing(const int32_t* map, int rows, int cols, const uint8_t* mask, const int16_t* cosT,
                           const int16_t* sinT, int n, int cx, int cy, int cr, const int32_t range[3],
                           const int32_t step[3], IrisCircle* best, int32_t* score);
int32_t HorizontalEdgeMap(const uint8_t* image, int rows, int cols, IrisRect rect, int32_t ceiling, const int32_t* kernel,
                          int k, int centreColumn, int32_t* out, uint8_t* mask);

// ---- Class F localiser and filter bank -------------------------------------------------------
int32_t LocateClassFCircles(const uint8_t* image, int height, int width, int mode, int32_t* irisX, int32_t* irisY,
                            int32_t* pupilX, int32_t* pupilY, int32_t* irisR, int32_t* pupilR, int32_t minIrisR,
                            int32_t maxIrisR);
int32_t LocateClassFCirclesDefault(const uint8_t* image, int height, int width, int mode, int32_t* irisX,
                                   int32_t* irisY, int32_t* pupilX, int32_t* pupilY, int32_t* irisR, int32_t* pupilR);
int32_t LocateClassFEyelids(const uint8_t* image, int height, int width, int mode, int32_t* irisX, int32_t* irisY,
                            int32_t* pupilX, int32_t* pupilY, int32_t* irisR, int32_t* pupilR, int32_t eyelids[8]);
// The class F working image: downscaled to at most 480 rows, stretched, reflections filled.
int32_t PrepareClassFImage(const uint8_t* image, int height, int width, uint8_t* out, int* rows, int* cols, int* factor);
int32_t FillClassFReflections(uint8_t* image, int rows, int cols);

struct ClassFLayout {
    int32_t bandRows = 0, bandCols = 0, codeRows = 0, codeCols = 0, firstRow = 0, lastRow = 0;
};
struct GaborBank {
    int32_t count = 0;
    float* wavelength = nullptr;
    float* angle = nullptr;
    float* sigmaAlong = nullptr;
    float* sigmaAcross = nullptr;
    int32_t* cols = nullptr;
    int32_t* rows = nullptr;
    int32_t** kernel = nullptr;
    int32_t* block = nullptr;
};
struct ClassFKernel {
    int32_t rows = 0, cols = 0;
    int32_t* values = nullptr;  // rows x cols, caller-sized (see ClassFKernelSize)
};
int32_t SetClassFLayout(ClassFLayout* layout, int bandRows, int bandCols, int codeRows, int codeCols, int firstRow,
                        int lastRow);
void ClassFKernelSize(float sigmaAlong, float sigmaAcross, int32_t* rows, int32_t* cols);
int32_t MakeClassFKernel(float wavelength, float angleDeg, float sigmaAlong, float sigmaAcross, int32_t* out);
int32_t BuildGaborBank(GaborBank* bank, int scales, int angleCount, const float* angles, float ratio, float firstSigma,
                       float wavelengthRatio);
void DestroyGaborBank(GaborBank* bank);
void* ClassFAlignedAlloc(size_t size, size_t alignment);
void ClassFAlignedFree(void* p);
int32_t ClassFInit();
int32_t ClassFDestroy();
// The module's state after ClassFInit: layout, bank and code sizes (filter code, code part, feature).
const ClassFLayout& ClassFModuleLayout();
const GaborBank& ClassFModuleBank();
void ClassFCodeSizes(int32_t* filterCode, int32_t* codePart, int32_t* feature);

// ---- Location pipeline -----------------------------------------------------------------------
enum class PupilStep { A, B, C, D };
enum class IrisStep { Boundary, ClassF, None };
enum class FinalStep { Copy, Concentric };
struct LocationMethod {
    int group;
    PupilStep pupil;
    IrisStep iris;
    FinalStep final;
};
extern const LocationMethod kLocationMethods[25];

struct LocationContext {
    const uint8_t* image = nullptr;
    int32_t width = 0, height = 0;
    int32_t pupilMin = 0, pupilMax = 0, irisMin = 0, irisMax = 0;
    int32_t pupil[4][4] = {};  // per pupil step: x, y, radius (0 not run, -1 failed), score
    LocationResult slots[9] = {};
};

// A zero-filled context with the default radius ranges of the image height; null without memory.
LocationContext* CreateLocationContext(const uint8_t* image, int width, int height);
void FreeLocationContext(LocationContext* context);
// 0, -1 pupil step failed, -2 iris step failed, -3 final step failed.
int32_t RunLocationMethod(LocationContext* context, int method, LocationResult* result);
void CopyLocationResult(const LocationResult* result, IrisLocation* out);
// The location, quality and quality-analysis exports.
int32_t Locate(const uint8_t* image, int width, int height, IrisLocation* out, const int32_t* options, char* errtext);
float IrisQuality(const uint8_t* image, int width, int height, const int32_t* options, char* errtext);
int32_t QualityAnalysis(const uint8_t* image, int width, int height, const int32_t* options, IrisLocation* location,
                        IrisQualityRecord* record, char* errtext);


}  // namespace irisalg
