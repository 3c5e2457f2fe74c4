#pragma once
// The folder of the running program, where App_Data and Log live.

#include <string>

namespace platform {

// Directory of the executable, without a trailing '/'. Tests may point it elsewhere.
std::string GetProgramDirectory();

// Replaces the program directory for this process; an empty text restores the real one.
void SetProgramDirectoryOverride(const std::string& dir);

// Full path of the executable.
std::string GetProgramPath();

}  // namespace platform
