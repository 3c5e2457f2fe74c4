// Front end of the capture library on rendered eyes and on hand-made images.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "iris/IrisAlg.h"
#include "iris/IrisFrontEnd.h"
#include "sim/EyeRender.h"

using namespace irisfe;

namespace {

sim::EyeSceneParams Scene(uint32_t i) {
    sim::EyeSceneParams s;
    s.subjectSeed = 40 + i;
    s.rightEye = i % 2;
    s.frameSeed = 700 + i;
    s.centreX = 0.42 + 0.16 * ((i * 37) % 5) / 4.0;
    s.centreY = 0.44 + 0.12 * ((i * 53) % 3) / 2.0;
    s.distanceMm = 270 + 10 * double(i % 5);
    s.focusMm = s.distanceMm;
    s.openness = 0.8 + 0.05 * double(i % 4);
    s.white = (i % 3) * 60.0;
    return s;
}

}  // namespace

TEST(IrisFrontEndExplore, Renders) {
    ASSERT_EQ(IrisAlg_Init(nullptr, nullptr, nullptr, nullptr), 0);
    for (uint32_t i = 0; i < 12; ++i) {
        const sim::EyeFrame f = sim::RenderEyeFrame(Scene(i));
        const sim::EyeTruth& t = f.truth;
        int32_t rec[kPupilSearchWords] = {};
        rec[0] = 2; rec[9] = 4;
        int32_t rc = IrisFE_FindPupil(f.image.pixels.data(), 640, 480, 16, 160, rec);
        IrisLocation loc{};
        char msg[128] = {};
        int32_t lrc = IrisAlg_Location(f.image.pixels.data(), 640, 480, &loc, nullptr, msg);
        printf("%u truth p(%.1f %.1f %.1f) i(%.1f %.1f %.1f) up(%.1f %.1f %.1f) lo(%.1f %.1f %.1f) | coarse rc %d (%d %d %d s%d) | loc %d %s p(%d %d %d) i(%d %d %d) up %d %d %d %d lo %d %d %d %d\n",
               i, t.pupil.x, t.pupil.y, t.pupil.r, t.iris.x, t.iris.y, t.iris.r, t.upperLid.x0, t.upperLid.y0, t.upperLid.p,
               t.lowerLid.x0, t.lowerLid.y0, t.lowerLid.p, rc, rec[1], rec[2], rec[3], rec[4], lrc, msg,
               loc.pupilX, loc.pupilY, loc.pupilRadius, loc.irisX, loc.irisY, loc.irisRadius,
               loc.upperEyelid[0], loc.upperEyelid[1], loc.upperEyelid[2], loc.upperEyelid[3],
               loc.lowerEyelid[0], loc.lowerEyelid[1], loc.lowerEyelid[2], loc.lowerEyelid[3]);
    }
    IrisAlg_Destroy(0);
}
