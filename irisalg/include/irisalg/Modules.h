#pragma once
// Module switches of the library: set by TskIris_Init, cleared by TskIris_Destroy, read by the
// exports of each module. Only initialisation and tear-down write them (they must not run beside
// any other call), so plain reads are safe.

namespace irisalg {

enum class Module { Quality, Location, Encoder, Matcher, Detection, ClassF, Count };

bool ModuleOn(Module m);
void SetModule(Module m, bool on);

}  // namespace irisalg
