#pragma once
// Loading a capture library by name: the library is opened with the dynamic loader and each
// function of its table is looked up by its exported name. The environment variables
// TESSIK_ZARN_FP_LIBRARY and TESSIK_ZARN_IRIS_LIBRARY name another library (a path or a file
// name), so that a scripted stand-in can take the place of a capture library.

#include <string>

#include "device/ZarnApi.h"

// The library to load: the environment's choice, else "libZarnEssentialsApi.so" /
// "libZarnIrisApi.so".
std::string ZarnFpLibraryName();
std::string ZarnIrisLibraryName();

// Opens the library and fills `table`; false with the reason in `error` when the library cannot
// be opened or lacks a function (the table is then left unchanged). A loaded library stays loaded
// for the life of the process, since its threads may still call back into the service.
bool LoadZarnFpLibrary(const std::string& name, ZarnFpApi& table, std::string& error);
bool LoadZarnIrisLibrary(const std::string& name, ZarnIrisApi& table, std::string& error);
