#pragma once
// Helpers of the runtime tests: a scratch folder, a log writer pointed at it, file reading.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/ProgramDir.h"
#include "runtime/Log.h"

namespace testsupport {

inline std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::filesystem::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

// A fresh folder under the system's temporary directory, removed at the end.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "runtime-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            ADD_FAILURE() << "mkdtemp failed";
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A clock the tests set by hand.
class ManualClock {
public:
    explicit ManualClock(platform::LocalTime t) : now_(t) {}
    void Set(platform::LocalTime t) {
        std::lock_guard lock(m_);
        now_ = t;
    }
    platform::LocalTime Now() {
        std::lock_guard lock(m_);
        return now_;
    }

private:
    std::mutex m_;
    platform::LocalTime now_;
};

inline platform::LocalTime At(int y, int mo, int d, int h = 12, int mi = 0, int s = 0, int ms = 0) {
    return platform::LocalTime{y, mo, d, h, mi, s, ms, 0};
}

// Runs the log writer with one module ("Test" unless named otherwise) in <temp>/Log, the
// program directory pointing at the temp folder; Text() stops the writer and returns the file.
class LogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetProgramDirectoryOverride(dir.path().string());
        savedLevel = currentLevel.load();
        ASSERT_TRUE(StartLogThread());
        ASSERT_TRUE(OpenLog("Test", ""));
    }
    void TearDown() override {
        StopLogThread();
        SetLogClock({});
        currentLevel = savedLevel;
        platform::SetProgramDirectoryOverride("");
    }
    std::filesystem::path LogDir() const { return dir.path() / "Log"; }

    // Everything written to the module's files so far, after flushing by stopping the writer.
    std::string Text() {
        StopLogThread();
        std::string all;
        for (const auto& e : std::filesystem::directory_iterator(LogDir()))
            if (e.path().filename().string().rfind("Test.", 0) == 0)
                all += ReadFile(e.path());
        return all;
    }

    TempDir dir;
    int savedLevel = LOGLEVEL_INFO;
};

// A latch that blocking test tasks wait on.
class Gate {
public:
    void Open() {
        std::lock_guard l(m);
        open = true;
        cv.notify_all();
    }
    void Pass() {
        std::unique_lock l(m);
        cv.wait(l, [this] { return open; });
    }

private:
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
};

// Polls `done` until it holds or `ms` pass.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testsupport
