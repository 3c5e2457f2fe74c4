#include "main/MallocArenas.h"

#include <malloc.h>

#include <cstdlib>
#include <string_view>

bool ArenaLimitSetByEnvironment(const char* mallocArenaMax, const char* glibcTunables) {
    if (mallocArenaMax != nullptr && mallocArenaMax[0] != '\0') return true;
    if (glibcTunables == nullptr) return false;
    constexpr std::string_view kName = "glibc.malloc.arena_max=";
    std::string_view rest = glibcTunables;
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        const std::string_view pair = rest.substr(0, colon);
        if (pair.substr(0, kName.size()) == kName) return true;
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return false;
}

bool VdmMain_CapMallocArenas() {
    if (ArenaLimitSetByEnvironment(std::getenv("MALLOC_ARENA_MAX"), std::getenv("GLIBC_TUNABLES"))) return false;
    return ::mallopt(M_ARENA_MAX, kVdmMallocArenaMax) == 1;
}
