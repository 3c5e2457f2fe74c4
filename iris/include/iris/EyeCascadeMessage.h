#pragma once
#include <cstdio>

namespace irisfe {

// Message buffers of the capture library's front end hold 128 bytes.
inline constexpr size_t kOtaMessageSize = 128;

inline void OtaMessage(char* errtext, const char* text) {
    if (errtext) std::snprintf(errtext, kOtaMessageSize, "%s", text);
}

}  // namespace irisfe
