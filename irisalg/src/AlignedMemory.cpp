#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "irisalg/IrisAlg.h"

namespace irisalg {

void SetMessage(char* errtext, const char* format, ...) {
    if (!errtext) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(errtext, kMessageSize, format, args);
    va_end(args);
}

void* IrisAlignedAlloc(size_t size, size_t alignment, const void* source) {
    if (alignment == 0) alignment = 4;
    // The distance to the raw block is kept in one byte.
    if (alignment > 255 || size > SIZE_MAX - alignment) return nullptr;
    auto* raw = static_cast<uint8_t*>(std::malloc(size + alignment));
    if (!raw) return nullptr;
    // The first multiple of the alignment above the raw address, never the raw address itself.
    const uintptr_t base = reinterpret_cast<uintptr_t>(raw);
    const size_t distance = alignment - base % alignment;
    uint8_t* p = raw + distance;
    p[-1] = uint8_t(distance);
    if (source && size) std::memcpy(p, source, size);
    return p;
}

void IrisAlignedFree(void* p) {
    if (!p) return;
    auto* q = static_cast<uint8_t*>(p);
    std::free(q - q[-1]);
}

}  // namespace irisalg
