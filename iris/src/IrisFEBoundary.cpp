// The front end's location stages: the coarse pupil search on a decimated frame and the boundary
// search around the pupil (window, circle refinement, eyelids), with the eyelid word conversion.
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "iris/IrisAlg.h"
#include "iris/IrisFrontEnd.h"
#include "irisalg/IrisAlg.h"

namespace irisfe {

namespace {

int32_t Search(const uint8_t* image, int32_t rows, int32_t columns, FrontEndLocation* record, const int32_t* ranges) {
    if (!image || !record || !ranges || rows < 64 || columns < 64 || record->pupilRadius < 4)
        return irisalg::kBadArgument;
    int32_t rg[kRangeWords];
    std::copy(ranges, ranges + kRangeWords, rg);
    WorkingCircles circles;
    circles.pupil[0] = record->pupilX, circles.pupil[1] = record->pupilY, circles.pupil[2] = record->pupilRadius;

    // Large frames and large pupils are searched at a reduced scale k.
    const int32_t k = std::max((rows - 1) / 480 + 1, (record->pupilRadius - 1) / 100 + 1);
    if (k >= 2) {
        for (int i = 0; i < 4; ++i) rg[i] /= k;
        for (int32_t& v : circles.pupil) v /= k;
    }
    const int32_t kr = rows / k, kc = columns / k;
    const int32_t h = std::min(kr, kc) / 2;
    irisalg::IrisRect box{circles.pupil[1] - h, circles.pupil[1] + h, circles.pupil[0] - h, circles.pupil[0] + h};
    irisalg::ClipIrisRect(&box, kr, kc);
    const int32_t wr = irisalg::RectHeight(box), wc = irisalg::RectWidth(box);
    if (wr < 1 || wc < 1) return irisalg::kBadArgument;
    std::vector<uint8_t> window;
    try {
        window.resize(size_t(wr) * size_t(wc));
    } catch (const std::bad_alloc&) {
        return irisalg::kNoMemory;
    }
    circles.pupil[0] -= box.c0, circles.pupil[1] -= box.r0;

    int32_t outRows = 0, outColumns = 0;
    int32_t rc = IrisFE_PrepareWindow(image, rows, columns, k, box.r0, box.r1, box.c0, box.c1, circles.pupil,
                                      window.data(), &outRows, &outColumns, nullptr);
    if (rc >= 0) rc = IrisFE_RefinePupil(window.data(), wr, wc, circles.pupil, rg);
    if (rc >= 0) rc = IrisFE_EstimateIrisRadius(window.data(), wr, wc, &circles, rg);
    if (rc >= 0) rc = IrisFE_FitIrisCircle(window.data(), wr, wc, &circles, rg);
    if (rc < 0) return rc;

    record->pupilX = (circles.pupil[0] + box.c0) * k, record->pupilY = (circles.pupil[1] + box.r0) * k;
    record->pupilRadius = circles.pupil[2] * k;
    record->irisX = (circles.iris[0] + box.c0) * k, record->irisY = (circles.iris[1] + box.r0) * k;
    record->irisRadius = circles.iris[2] * k;

    EyelidRecord lids;
    lids.circles = circles;
    if (IrisFE_FitEyelids(window.data(), wr, wc, &lids, 0) == 0) {
        for (irisalg::EyelidCurve* lid : {&lids.upper, &lids.lower}) {
            lid->vertexX = (lid->vertexX + box.c0) * k;
            lid->vertexY = (lid->vertexY + box.r0) * k;
            lid->divisor *= k;
        }
        record->upper = lids.upper, record->lower = lids.lower;
    } else {
        // Default curves in frame pixels with score 0, which the occlusion measure ignores. The
        // upper vertex is offset from the incoming lower divisor word (0 from the location step).
        const int32_t R = record->irisRadius;
        const int32_t incoming = record->lower.divisor;
        record->lower = irisalg::EyelidCurve{record->irisX, record->irisY + 5 * R / 4, 16 * R / 5, 0, {0, 0}};
        record->upper = irisalg::EyelidCurve{record->irisX, incoming - 5 * R / 4, -(16 * R / 5), 0, {0, 0}};
    }
    if (IrisFE_EyelidWords(&record->upper, record->upperWords) != 0 ||
        IrisFE_EyelidWords(&record->lower, record->lowerWords) != 0)
        return irisalg::kBadArgument;
    return 0;
}

}  // namespace

int32_t IrisFE_BoundarySearch(const uint8_t* image, int32_t rows, int32_t columns, FrontEndLocation* record,
                              const int32_t* ranges) {
    // Every buffer of the stages is released when an allocation fails.
    try {
        return Search(image, rows, columns, record, ranges);
    } catch (const std::bad_alloc&) {
        return irisalg::kNoMemory;
    }
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
