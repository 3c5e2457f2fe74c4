#include "zarn/ZarnTraceLogger.h"

// The fingerprint capture library's trace records carry its source byte; its debug folders sit
// at the top of the debug root.
const ZarnTraceLibrary kZarnTraceLibrary = {TraceSource::ZarnEssentialsApi, ""};
