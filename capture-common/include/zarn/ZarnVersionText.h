#pragma once
// The library version text of both capture libraries, from the build date: "1.Y.D.1", with Y the
// build year minus the library's base year and D the day of the year (-1 for an unknown month).

#include <cstddef>

// buildDate as the compiler writes it ("Dec 31 2013").
void ZarnVersionText(const char* buildDate, int baseYear, char* out, size_t size);
