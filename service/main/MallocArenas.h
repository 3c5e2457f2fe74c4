#pragma once
// The allocator's arena cap of the service program. glibc gives a thread that finds the arenas in
// use a new arena of its own, up to eight per processor, and keeps every arena's freed memory for
// later use by whichever thread lands there. A capture starts new threads (the driver's worker and
// frame threads, the preview and result channels) and each allocates the capture's large image
// buffers: capture after capture they land in yet another arena, and the service's resident memory
// grows by the size of those buffers for a long time. Two arenas keep it flat after the first few
// captures at the same processor time.

// The arena limit the service sets at its start.
constexpr int kVdmMallocArenaMax = 2;

// True when the environment sets the allocator's arena limit: a non-empty MALLOC_ARENA_MAX, or
// the glibc.malloc.arena_max tunable among the colon-separated name=value pairs of
// GLIBC_TUNABLES. Either may be null (not set).
bool ArenaLimitSetByEnvironment(const char* mallocArenaMax, const char* glibcTunables);

// Sets the arena limit to kVdmMallocArenaMax unless the environment sets one, which then stands
// (a limit set through mallopt would override it). Called first in main, before any thread
// starts, so that no thread has taken an arena of its own beyond the limit. Returns true when the
// limit was set (false also when the allocator does not take it, as under AddressSanitizer).
bool VdmMain_CapMallocArenas();
