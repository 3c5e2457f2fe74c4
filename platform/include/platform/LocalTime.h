#pragma once
// Local wall-clock time with milliseconds, as log lines and trace records print it.

#include <cstdint>

namespace platform {

struct LocalTime {
    int year;         // four digits
    int month;        // 1..12
    int day;          // 1..31
    int hour;         // 0..23
    int minute;       // 0..59
    int second;       // 0..60
    int millisecond;  // 0..999
    int dayOfWeek;    // 0 = Sunday
};

LocalTime GetLocalTime();

// Milliseconds on the monotonic clock, for time-outs and ages.
uint64_t MonotonicMilliseconds();

}  // namespace platform
