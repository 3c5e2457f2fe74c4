#pragma once
// A 128-bit identifier in the shape the device and capture interfaces use for classes, categories,
// media types and interfaces. Values are compared, never interpreted.

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};

    friend bool operator==(const Guid&, const Guid&) = default;

    // "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"
    std::string ToString() const {
        char text[40];
        std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(data1),
                      unsigned(data2), unsigned(data3), data4[0], data4[1], data4[2], data4[3], data4[4], data4[5],
                      data4[6], data4[7]);
        return text;
    }
};

}  // namespace platform
