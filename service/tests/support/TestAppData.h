#pragma once
// A program directory of the test's own: App_Data holds the service's data files and a
// VdmConfig.cfg written by the test, the configuration is loaded from it, and the channels find
// their schemas there. Restored and removed at the end.

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/ProgramDir.h"
#include "runtime/ConfigFile.h"

class TestAppData {
public:
    explicit TestAppData(const std::string& config = "VdmIP = 127.0.0.1\n") {
        static std::atomic<int> counter{0};
        dir_ = std::filesystem::temp_directory_path() /
               ("tessik-service-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "App_Data");
        for (const auto& entry : std::filesystem::directory_iterator(TESSIK_SERVICE_APP_DATA)) {
            std::filesystem::copy_file(entry.path(), dir_ / "App_Data" / entry.path().filename());
        }
        std::filesystem::remove(dir_ / "App_Data" / "VdmConfig.cfg");
        Write("VdmConfig.cfg", config);
        platform::SetProgramDirectoryOverride(dir_.string());
        CConfigFile::Load(AppData() + "/VdmConfig.cfg");
    }
    TestAppData(const TestAppData&) = delete;
    TestAppData& operator=(const TestAppData&) = delete;
    ~TestAppData() {
        platform::SetProgramDirectoryOverride("");
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string AppData() const { return (dir_ / "App_Data").string(); }
    void Write(const std::string& name, const std::string& content) const {
        std::ofstream(dir_ / "App_Data" / name, std::ios::binary | std::ios::trunc) << content;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(dir_ / "App_Data" / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path dir_;
};
