#pragma once
// Word numbers of the working location record (LocationResult).

namespace irisalg {

// Words of the LocationResult read by the encoders.
enum LocationWord : int {
    kWordParameter = 1,      // filter selection / mask written by the registry
    kWordContourFlag = 5,    // 1: the inner boundary is a point contour
    kWordScore = 9,
    kWordState = 10,
    kWordPupilX = 11, kWordPupilY = 12, kWordPupilR = 13,
    kWordIrisX = 15, kWordIrisY = 16, kWordIrisR = 17,
    kWordUpperLid = 19,      // vertex x, vertex y, divisor, score (EyelidCurve)
    kWordLowerLid = 25,
    kWordContourCount = 31,
    kWordContourX = 32,      // x (column) of point i at 32 + i, y (row) at 32 + count + i
    kWordBandParams = 1056,  // radial samples, angular samples, code columns, code rows, first row, row step
    kWordPreNormalised = 1062,
    kWordValidated = 1063,
};

// Copies of the radii that the boundary search writes beside them.
enum LocationRadiusCopy : int { kWordPupilR2 = 14, kWordIrisR2 = 18 };

}  // namespace irisalg
