// The allocator's arena cap of the service program: when the environment already sets the arena
// limit, and that the cap then leaves the allocator alone.
#include "main/MallocArenas.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <string>

namespace {

struct EnvironmentCase {
    const char* mallocArenaMax;  // null: not set
    const char* glibcTunables;
    bool set;
};

TEST(MallocArenasTest, LimitSetByTheEnvironment) {
    const EnvironmentCase cases[] = {
        {nullptr, nullptr, false},
        {"", nullptr, false},
        {"4", nullptr, true},
        {"1", "", true},
        {"", "glibc.malloc.arena_max=3", true},
        {nullptr, "glibc.malloc.arena_max=8", true},
        {nullptr, "glibc.malloc.check=3:glibc.malloc.arena_max=1", true},
        {nullptr, "glibc.malloc.arena_max=1:glibc.malloc.check=3", true},
        {nullptr, "", false},
        {nullptr, "glibc.malloc.arena_test=4", false},
        {nullptr, "glibc.malloc.arena_max", false},
        {nullptr, "xglibc.malloc.arena_max=2", false},
        {nullptr, "glibc.malloc.tcache_count=0:", false},
        {nullptr, "glibc.malloc.check=3::glibc.malloc.arena_maximum=2", false},
    };
    for (const EnvironmentCase& c : cases) {
        EXPECT_EQ(ArenaLimitSetByEnvironment(c.mallocArenaMax, c.glibcTunables), c.set)
            << (c.mallocArenaMax ? c.mallocArenaMax : "(unset)") << " / " << (c.glibcTunables ? c.glibcTunables : "(unset)");
    }
}

// The cap reads both variables: either one set leaves the allocator as it is; with neither the
// cap is set as the allocator takes it (the sanitizers' allocator takes no mallopt).
TEST(MallocArenasTest, CapReadsTheEnvironment) {
    const char* arenaMax = std::getenv("MALLOC_ARENA_MAX");
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    const std::string savedArenaMax = arenaMax ? arenaMax : "", savedTunables = tunables ? tunables : "";
    ::unsetenv("GLIBC_TUNABLES");
    ::setenv("MALLOC_ARENA_MAX", "8", 1);
    EXPECT_FALSE(VdmMain_CapMallocArenas());
    ::unsetenv("MALLOC_ARENA_MAX");
    ::setenv("GLIBC_TUNABLES", "glibc.malloc.arena_max=8", 1);
    EXPECT_FALSE(VdmMain_CapMallocArenas());
    ::unsetenv("GLIBC_TUNABLES");
    const bool allocatorTakesIt = ::mallopt(M_ARENA_MAX, kVdmMallocArenaMax) == 1;
    EXPECT_EQ(VdmMain_CapMallocArenas(), allocatorTakesIt);
    if (arenaMax) ::setenv("MALLOC_ARENA_MAX", savedArenaMax.c_str(), 1);
    if (tunables) ::setenv("GLIBC_TUNABLES", savedTunables.c_str(), 1);
}

}  // namespace
