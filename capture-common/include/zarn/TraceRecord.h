#pragma once
// The trace record: one fixed-size binary record per trace line, sent as one message to the trace
// slot, which the trace viewer reads. Both capture libraries write it; only the source byte differs.

#include <cstddef>
#include <cstdint>

// Who wrote a record. The capture libraries write ZarnEssentialsApi (3) and ZarnIrisApi (4).
enum class TraceSource : uint8_t {
    Firmware = 0,
    Driver = 1,
    MorwenMosaic = 2,
    ZarnEssentialsApi = 3,  // fingerprint capture library
    ZarnIrisApi = 4,        // iris capture library
    // 5 and up: other capture programs known to the viewer.
};

// Severity of a record, with the viewer's names "ERRO", "WARN", "INFO", "DBG1", "DBG2", "DBG3".
enum class TraceLevel : uint8_t {
    Error = 0,
    Warning = 1,
    Info = 2,
    Debug1 = 3,
    Debug2 = 4,
    Debug3 = 5,
};

inline constexpr uint8_t kTraceMagic[4] = {0xAA, 0xBB, 0xCC, 0xDD};
inline constexpr size_t kTraceTimeLength = 23;   // "%04d-%02d-%02d %02d:%02d:%02d.%03d", no NUL
inline constexpr size_t kTraceTextLength = 128;  // NUL-terminated when shorter, else cut, no NUL

// 157 bytes, no padding; one message on the trace slot.
struct TraceRecord {
    uint8_t magic[4];             // AA BB CC DD
    char time[kTraceTimeLength];  // local time
    uint8_t source;               // TraceSource
    uint8_t level;                // TraceLevel
    char text[kTraceTextLength];  // message text
};

static_assert(sizeof(TraceRecord) == 157, "TraceRecord is 157 bytes");
static_assert(offsetof(TraceRecord, magic) == 0);
static_assert(offsetof(TraceRecord, time) == 4);
static_assert(offsetof(TraceRecord, source) == 27);
static_assert(offsetof(TraceRecord, level) == 28);
static_assert(offsetof(TraceRecord, text) == 29);
