// The front end's location stages: the coarse pupil search on a decimated frame and the boundary
// search around the pupil (window, circle refinement, eyelids), with the eyelid word conversion.
#include <cmath>

#include "iris/IrisAlg.h"
#include "irisalg/IrisAlg.h"

namespace irisfe {

int32_t IrisFE_FindPupil(const uint8_t* image, int32_t /*width*/, int32_t /*height*/, int32_t /*minRadius*/,
                         int32_t /*maxRadius*/, int32_t* record) {
    if (!image || !record) return -99;
    return -1;
}

int32_t IrisFE_BoundarySearch(const uint8_t* image, int32_t /*rows*/, int32_t /*columns*/, FrontEndLocation* record,
                              const int32_t* ranges) {
    if (!image || !record || !ranges) return irisalg::kBadArgument;
    return irisalg::kNotFound;
}

int32_t IrisFE_EyelidWords(const irisalg::EyelidCurve* parabola, int32_t words[4]) {
    if (!parabola || !words || static_cast<const void*>(parabola) == static_cast<const void*>(words) ||
        parabola->divisor == 0)
        return irisalg::kBadArgument;
    const double a = parabola->vertexX, b = parabola->vertexY, c = parabola->divisor;
    const int32_t score = parabola->score;
    words[0] = int32_t(irisalg::RoundHalfAway(32.0 * (b + a * a / c)));
    words[1] = int32_t(irisalg::RoundHalfAway(-16384.0 * a / c));
    words[2] = int32_t(irisalg::RoundHalfAway(2097152.0 / c));
    words[3] = score;
    return 0;
}

}  // namespace irisfe
