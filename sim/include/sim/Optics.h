#pragma once
// What the optics of each simulated scanner model add to its frames: the keystone that the
// capture library's distortion correction undoes, and the frame period of each frame-size mode.

#include <optional>
#include <utility>

#include "sim/Models.h"
#include "sim/Render.h"

namespace sim {

// The keystone of the model as the frames of frameSizeMode show it; off for the models whose
// library result is not keystone-corrected.
Keystone KeystoneFor(const ModelTraits& traits, int frameSizeMode);

// Where a finger is rolled on the glass (mm from the platen centre, y down): the middle of the
// lit part of the roll window, for the models whose roll window lies at the edge of the platen
// (PloverC, PloverD); nothing for the others, whose fingers roll on the platen centre.
std::optional<std::pair<double, double>> RollAreaMm(const ModelTraits& traits);

// Frame period of a frame-size mode: the sensor reads a smaller frame in proportion less time,
// so a roll or preview frame comes faster than a full frame (fullPeriodMs), but never faster
// than one frame per 20 ms.
double ModeFramePeriodMs(const ModelTraits& traits, int frameSizeMode, double fullPeriodMs);

}  // namespace sim
