#include "TestSupport.h"

#include "zarn/ZarnTraceLogger.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

// The test program traces as the iris library does, to check that the linking library's choice
// reaches the records.
const ZarnTraceLibrary kZarnTraceLibrary = {TraceSource::ZarnIrisApi, "iris"};

namespace {

// Lines this program traces (bitmap errors) go to a slot of its own, never to a running viewer.
const bool kSlotIsolated = [] {
    setenv("TESSIK_TRACE_SLOT", ("TessikCaptureCommonTests-" + std::to_string(getpid())).c_str(), 1);
    return true;
}();

}  // namespace

std::string UniqueSlotName() {
    static std::atomic<int> counter{0};
    return "TessikTraceTest-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "capture-common-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) {
        std::filesystem::remove_all(path_, ec);
    }
}
