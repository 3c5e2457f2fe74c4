#pragma once
// A program folder for the controller's tests: App_Data with the service's and the controller's
// data files and a VdmControllerConfig.cfg written by the test, loaded as the configuration.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "platform/ProgramDir.h"
#include "runtime/ConfigFile.h"

class ControllerAppData {
public:
    explicit ControllerAppData(const std::string& config, bool writeConfig = true) {
        static std::atomic<int> counter{0};
        dir_ = std::filesystem::temp_directory_path() /
               ("tessik-controller-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "App_Data");
        for (const char* source : {TESSIK_SERVICE_APP_DATA, TESSIK_CONTROLLER_APP_DATA}) {
            for (const auto& entry : std::filesystem::directory_iterator(source)) {
                std::filesystem::copy_file(entry.path(), dir_ / "App_Data" / entry.path().filename(),
                                           std::filesystem::copy_options::overwrite_existing);
            }
        }
        std::filesystem::remove(dir_ / "App_Data" / "VdmControllerConfig.cfg");
        if (writeConfig) {
            std::ofstream(dir_ / "App_Data" / "VdmControllerConfig.cfg") << config;
            CConfigFile::Load(ConfigPath());
        }
        platform::SetProgramDirectoryOverride(dir_.string());
    }
    ControllerAppData(const ControllerAppData&) = delete;
    ControllerAppData& operator=(const ControllerAppData&) = delete;
    ~ControllerAppData() {
        platform::SetProgramDirectoryOverride("");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string ConfigPath() const { return (dir_ / "App_Data" / "VdmControllerConfig.cfg").string(); }
    std::string ReadConfig() const {
        std::ifstream in(ConfigPath());
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Everything the program wrote into the log files of its Log folder.
    std::string ReadLogs() const {
        std::string text;
        std::error_code missing;
        for (const auto& entry : std::filesystem::directory_iterator(dir_ / "Log", missing)) {
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

// Waits until `done` holds, polling; false after the time-out.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
