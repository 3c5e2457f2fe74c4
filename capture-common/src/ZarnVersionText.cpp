#include "zarn/ZarnVersionText.h"

#include <cstdio>
#include <cstring>

void ZarnVersionText(const char* buildDate, int baseYear, char* out, size_t size) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const int kDaysBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    char month[4] = {};
    int day = 0, year = 0;
    std::sscanf(buildDate, "%3s %d %d", month, &day, &year);
    int dayOfYear = -1;
    for (int m = 0; m < 12; ++m) {
        if (std::strcmp(month, kMonths[m]) != 0) continue;
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        dayOfYear = kDaysBefore[m] + day + (leap && m >= 2 ? 1 : 0);
    }
    std::snprintf(out, size, "%d.%d.%d.%d", 1, year - baseYear, dayOfYear, 1);
}
