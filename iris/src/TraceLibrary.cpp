#include "zarn/ZarnTraceLogger.h"

// The iris capture library's trace records carry its source byte; its debug folders sit in "iris"
// below the debug root.
const ZarnTraceLibrary kZarnTraceLibrary = {TraceSource::ZarnIrisApi, "iris"};
