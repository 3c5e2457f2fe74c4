#pragma once
// Device enumeration and the model factory: which scanners are attached, which model class serves
// a scanner type number, and the creation of the current scanner.
//
// A model's source file makes its class known to the factory with one line,
//   ZARN_MODEL_CREATOR(ZarnScannerKestrelA)
// which defines the creator that the factory's table (ModelFactory.cpp) names. A table row whose
// model is not built into the library has no creator: its type number is refused with -616 like a
// type number without a row.

#include <new>

#include "zarn/ZarnTypes.h"

class ZarnScannerBase;

#define ZARN_MODEL_CREATOR(Class) \
    ZarnScannerBase* ZarnNew##Class() { return new (std::nothrow) Class; }

// Counts of the attached scanners: [0] all of them, [1]..[12] per model family in the order of
// ZarnConnectedScanners. 0 when at least one was found, -603 none, -618 or -628.
int I_GetConnectedNum(int* counts);

// The scanner type of the device with multi-device index `index` (devices are numbered family by
// family in the order of ZarnConnectedScanners, within a family in enumeration order) and its
// position among the devices of its family. 0, -617 (more than ten devices), -618 (no such
// device) or the enumeration's error.
int I_GetScannerTypeAndSubSerialNum(int index, int* type, int* subSerial);

// Sub-type of the attached device of `type` (the N-th such device for device index N, 0 here):
// 0 for hardware revision 0000, else 1; for type 602 the FireWire texts give 0, 1 or 2. *subType
// keeps its value when no device matches. 0, -618 (list not opened) or -628 (enumeration failed).
int I_GetDeviceSubType(int type, int* subType, int deviceIndex = 0);

// Flags of the attached scanner families, `out` is ZarnConnectedScanners (13 ints). 0 when at
// least one was found, -603 none, -618 or -628.
int I_GetConnectedScanner(int* out);

// Creates the model object of `type` for the attached device's sub-type and makes it the current
// scanner. 0, -616 (type without a model), -2 (allocation) or the sub-type lookup's error.
int I_NewObjectFromType(int type, int deviceIndex = 0);

// The model class the factory would create for a type and sub-type: its device-description name,
// or null when there is none. For tests and traces.
const char* I_ModelNameFor(int type, int subType);

// The USB product-id text of a type ("pid_2150"), or null (FireWire and unknown types).
const char* I_ProductIdText(int type);

// Processor idle-state control while a scanner is open. Power management is not this library's
// to change on this platform: setting succeeds without changing anything, reading gives level 0.
int I_SetCpuPowerLevel(int level);
int I_GetCpuPowerLevel(int* level);

// The library version text "1.<year - 2006>.<day of year>.1" of a compile date in the form
// "Apr 13 2011" (the month's English abbreviation, day, year); an unknown month gives day -1.
void I_MakeVersionText(const char* buildDate, char* out, size_t size);
// The version text of this build.
int I_MakeApiVersion(char* out);
