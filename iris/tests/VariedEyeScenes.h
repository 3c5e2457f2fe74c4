#pragma once
// Sets of rendered eye scenes that vary with a frame index: subject, side, frame seed, position,
// distance (focused), lid opening, head roll and white LED level each step through their range.

#include <cstdint>

#include "sim/EyeRender.h"

namespace iristest {

struct SceneSpread {
    uint32_t firstSubject, firstFrameSeed;
    double x0, xSpan;   // centre x = x0 + xSpan x ((37 i) mod xSteps) / (xSteps - 1)
    int xSteps;
    double y0, ySpan;   // centre y likewise with 53 i
    int ySteps;
    double distance0;   // distance0 + 10 x (i mod distanceSteps) mm, focused there
    int distanceSteps;
    double open0, openStep;  // open0 + openStep x (i mod openSteps)
    int openSteps;
    double roll0;       // roll0 + ((7 i) mod rollSteps) degrees
    int rollSteps;
    double whiteStep;   // white LED level (i mod 3) x whiteStep
};

inline sim::EyeSceneParams VariedScene(uint32_t i, const SceneSpread& p) {
    sim::EyeSceneParams s;
    s.subjectSeed = p.firstSubject + i;
    s.rightEye = i % 2;
    s.frameSeed = p.firstFrameSeed + i;
    s.centreX = p.x0 + p.xSpan * ((i * 37) % uint32_t(p.xSteps)) / (p.xSteps - 1.0);
    s.centreY = p.y0 + p.ySpan * ((i * 53) % uint32_t(p.ySteps)) / (p.ySteps - 1.0);
    s.distanceMm = p.distance0 + 10 * double(i % uint32_t(p.distanceSteps));
    s.focusMm = s.distanceMm;
    s.openness = p.open0 + p.openStep * double(i % uint32_t(p.openSteps));
    s.headRollDeg = p.roll0 + double((i * 7) % uint32_t(p.rollSteps));
    s.white = (i % 3) * p.whiteStep;
    return s;
}

}  // namespace iristest
