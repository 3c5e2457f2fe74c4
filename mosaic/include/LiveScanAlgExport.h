#pragma once
// Marks the names that libMorwenMosaic.so exports; everything else in the library stays hidden.
#define LSA_EXPORT __attribute__((visibility("default")))
