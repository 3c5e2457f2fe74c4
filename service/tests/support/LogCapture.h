#pragma once
// Collects the service's log lines of one test: the three log modules (main, fingerprint, iris)
// write into a folder of the test's own at the most detailed level.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "runtime/Log.h"

class LogCapture {
public:
    LogCapture() {
        dir_ = std::filesystem::temp_directory_path() / ("tessik-service-log-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        StartLogThread();
        OpenLog("TessikVdm", dir_.string());
        OpenLog("Fingerprint", dir_.string());
        OpenLog("Iris", dir_.string());
        currentLevel.store(LOGLEVEL_DBG3);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    ~LogCapture() {
        StopLogThread();
        currentLevel.store(LOGLEVEL_INFO);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Ends logging and returns what one module wrote ("TessikVdm", "Fingerprint", "Iris").
    std::string Read(const std::string& module) {
        StopLogThread();
        std::string text;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            if (entry.path().filename().string().rfind(module + ".", 0) != 0) continue;
            std::ifstream in(entry.path());
            std::ostringstream content;
            content << in.rdbuf();
            text += content.str();
        }
        return text;
    }

private:
    std::filesystem::path dir_;
};
