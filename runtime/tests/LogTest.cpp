#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "runtime/Log.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetProgramDirectoryOverride(dir.path().string());
        SetLogClock([this] { return clock.Now(); });
        savedLevel = currentLevel.load();
    }
    void TearDown() override {
        HoldLogWriter(false);
        StopLogThread();
        SetLogClock({});
        currentLevel = savedLevel;
        platform::SetProgramDirectoryOverride("");
    }
    fs::path LogDir() const { return dir.path() / "Log"; }

    TempDir dir;
    ManualClock clock{At(2015, 3, 17, 9, 5, 7, 42)};
    int savedLevel = LOGLEVEL_INFO;
};

TEST_F(LogTest, DailyFileNameAndLineFormat) {
    ASSERT_TRUE(StartLogThread());
    ASSERT_TRUE(StartLogThread());  // already running is fine
    ASSERT_TRUE(OpenLog("TessikVdm", ""));
    ASSERT_TRUE(OpenLog("Fingerprint", ""));
    ASSERT_TRUE(OpenLog("Iris", LogDir().string()));
    EXPECT_TRUE(WriteLog(LOGLEVEL_WARNING,
                         "Synchronized::lock: Initialize Lock: recursive locking detected!", 2));
    struct Case {
        int level;
        const char* text;
        const char* line;
    } cases[] = {
        {LOGLEVEL_ERROR, "e", "09:05:07:042 ERROR  : e\n"},
        {LOGLEVEL_WARNING, "w", "09:05:07:042 WARNING: w\n"},
        {LOGLEVEL_INFO, "i", "09:05:07:042 INFO   : i\n"},
        {LOGLEVEL_DBG1, "d1", "09:05:07:042 DBG1   : d1\n"},
        {LOGLEVEL_DBG2, "d2", "09:05:07:042 DBG2   : d2\n"},
        {LOGLEVEL_DBG3, "d3", "09:05:07:042 DBG3   : d3\n"},
        {7, "seven", "09:05:07:042 : seven\n"},
    };
    std::string expected;
    for (const auto& c : cases) {
        std::ostringstream stream;
        stream << c.text;
        EXPECT_TRUE(WriteLog(c.level, stream, 0));
        expected += c.line;
    }
    StopLogThread();
    EXPECT_EQ(ReadFile(LogDir() / "Iris.2015-03-17.log"),
              "09:05:07:042 WARNING: Synchronized::lock: Initialize Lock: recursive locking detected!\n");
    EXPECT_EQ(ReadFile(LogDir() / "TessikVdm.2015-03-17.log"), expected);
    EXPECT_FALSE(fs::exists(LogDir() / "Fingerprint.2015-03-17.log"));  // nothing written, no file
}

TEST_F(LogTest, RefusedLines) {
    EXPECT_FALSE(OpenLog("Early", ""));  // writer not started
    ASSERT_TRUE(StartLogThread());
    ASSERT_TRUE(OpenLog("", ""));  // base name "log"
    EXPECT_FALSE(WriteLog(LOGLEVEL_NONE, "none", 0));
    EXPECT_FALSE(WriteLog(LOGLEVEL_ERROR, "unknown", 1));
    EXPECT_FALSE(WriteLog(LOGLEVEL_ERROR, "negative", -1));
    EXPECT_TRUE(WriteLog(LOGLEVEL_ERROR, "kept", 0));
    StopLogThread();
    EXPECT_FALSE(WriteLog(LOGLEVEL_ERROR, "after stop", 0));
    EXPECT_FALSE(OpenLog("Late", ""));
    EXPECT_EQ(ReadFile(LogDir() / "log.2015-03-17.log"), "09:05:07:042 ERROR  : kept\n");

    // A folder that cannot be made leaves the module unregistered.
    ASSERT_TRUE(StartLogThread());
    WriteFile(dir.path() / "plainfile", "x");
    EXPECT_FALSE(OpenLog("Bad", (dir.path() / "plainfile" / "sub").string()));
    EXPECT_FALSE(WriteLog(LOGLEVEL_ERROR, "to nowhere", 0));
}

// The writer uses the path current when it writes: a line queued just before midnight and
// written after a later line saw the new day goes into the new day's file.
TEST_F(LogTest, LineQueuedBeforeMidnightAndWrittenAfterTheDayChangeGoesToTheNewDay) {
    ASSERT_TRUE(StartLogThread());
    ASSERT_TRUE(OpenLog("Iris", ""));
    ASSERT_TRUE(OpenLog("TessikVdm", ""));
    HoldLogWriter(true);
    clock.Set(At(2015, 3, 17, 23, 59, 59, 990));
    EXPECT_TRUE(WriteLog(LOGLEVEL_INFO, "before midnight", 0));
    clock.Set(At(2015, 3, 18, 0, 0, 0, 5));
    EXPECT_TRUE(WriteLog(LOGLEVEL_INFO, "after midnight", 1));
    HoldLogWriter(false);  // written now, not only at the stop
    EXPECT_TRUE(WaitFor([&] { return fs::exists(LogDir() / "TessikVdm.2015-03-18.log"); }));
    StopLogThread();
    EXPECT_FALSE(fs::exists(LogDir() / "Iris.2015-03-17.log"));
    EXPECT_EQ(ReadFile(LogDir() / "Iris.2015-03-18.log"), "23:59:59:990 INFO   : before midnight\n");
    EXPECT_EQ(ReadFile(LogDir() / "TessikVdm.2015-03-18.log"), "00:00:00:005 INFO   : after midnight\n");
}

// A line written before the day changes stays in its day's file; the change compares year,
// month and day.
TEST_F(LogTest, DayChangeComparesYearMonthAndDay) {
    ASSERT_TRUE(StartLogThread());
    ASSERT_TRUE(OpenLog("Iris", ""));
    ASSERT_TRUE(OpenLog("TessikVdm", ""));
    const struct {
        platform::LocalTime at;
        int module;
        const char* text;
        const char* file;
        const char* line;
    } steps[] = {
        {At(2015, 3, 17, 23, 59, 59, 990), 0, "march", "Iris.2015-03-17.log", "23:59:59:990 INFO   : march\n"},
        // same day of the month, a month later
        {At(2015, 4, 17, 0, 0, 0, 5), 0, "april", "Iris.2015-04-17.log", "00:00:00:005 INFO   : april\n"},
        {At(2015, 4, 17, 0, 0, 0, 5), 1, "april other module", "TessikVdm.2015-04-17.log",
         "00:00:00:005 INFO   : april other module\n"},
        // and a year later
        {At(2016, 4, 17, 8, 0, 0, 0), 0, "next year", "Iris.2016-04-17.log", "08:00:00:000 INFO   : next year\n"},
        {At(2016, 4, 18, 8, 0, 0, 0), 0, "next day", "Iris.2016-04-18.log", "08:00:00:000 INFO   : next day\n"},
    };
    for (const auto& step : steps) {
        clock.Set(step.at);
        WriteLog(LOGLEVEL_INFO, step.text, step.module);
        // Written before the clock moves on.
        EXPECT_TRUE(WaitFor([&] { return ReadFile(LogDir() / step.file) == step.line; })) << step.text;
    }
    StopLogThread();
    for (const auto& step : steps) EXPECT_EQ(ReadFile(LogDir() / step.file), step.line) << step.text;
}

// Text from peers may hold line ends and other control characters: each call stays one line.
TEST_F(LogTest, ControlCharactersAreWrittenEscaped) {
    ASSERT_TRUE(StartLogThread());
    ASSERT_TRUE(OpenLog("TessikVdm", ""));
    const std::string forged = std::string("requestId: a\n09:05:07:043 ERROR  : forged\r\x01\x1b[31m\x7f") +
                               '\0' + "\tend \\x";
    EXPECT_TRUE(WriteLog(LOGLEVEL_INFO, forged, 0));
    StopLogThread();
    EXPECT_EQ(ReadFile(LogDir() / "TessikVdm.2015-03-17.log"),
              "09:05:07:042 INFO   : requestId: a\\n09:05:07:043 ERROR  : forged\\r\\x01\\x1B[31m\\x7F\\x00"
              "\tend \\x\n");
}

TEST_F(LogTest, StopWritesEverythingQueuedInCallOrder) {
    SetLogClock({});  // real time
    ASSERT_TRUE(StartLogThread());
    ASSERT_TRUE(OpenLog("Load", ""));
    constexpr int kThreads = 4, kLines = 2000;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                std::string line(1, 't');
                line += std::to_string(t);
                line += ' ';
                line += std::to_string(i);
                WriteLog(LOGLEVEL_INFO, line, 0);
            }
        });
    for (auto& w : writers)
        w.join();
    StopLogThread();
    std::string all;
    for (const auto& e : fs::directory_iterator(LogDir()))
        all += ReadFile(e.path());
    std::vector<int> next(kThreads, 0);
    std::istringstream lines(all);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_GT(line.size(), 22u);
        std::istringstream fields(line.substr(22));
        char tc;
        int t, i;
        fields >> tc >> t >> i;
        ASSERT_EQ(i, next[t]) << line;  // each thread's lines in its own order
        ++next[t];
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(LogTest, DisabledLevelsCostNoFormatting) {
    ASSERT_TRUE(StartLogThread());
    ASSERT_TRUE(OpenLog("Gate", ""));
    currentLevel = LOGLEVEL_WARNING;
    int built = 0;
    auto text = [&built](const char* s) {
        ++built;
        return std::string(s);
    };
    TSK_LOG(LOGLEVEL_INFO, 0, text("info"));
    TSK_LOG(LOGLEVEL_WARNING, 0, text("warning"));
    TSK_LOG(LOGLEVEL_ERROR, 0, text("error") << " " << 42);
    currentLevel = LOGLEVEL_NONE;
    TSK_LOG(LOGLEVEL_ERROR, 0, text("off"));
    EXPECT_EQ(built, 2);
    StopLogThread();
    EXPECT_EQ(ReadFile(LogDir() / "Gate.2015-03-17.log"),
              "09:05:07:042 WARNING: warning\n09:05:07:042 ERROR  : error 42\n");
}

TEST_F(LogTest, DeleteOldLogFilesKeepsFourteenDaysAndForeignNames) {
    ASSERT_TRUE(StartLogThread());
    ASSERT_TRUE(OpenLog("TessikVdm", ""));
    struct Case {
        platform::LocalTime today;
        const char* name;
        bool removed;
    } cases[] = {
        {At(2015, 3, 16), "TessikVdm.2015-03-01.log", true},    // 15 days
        {At(2015, 3, 15), "TessikVdm.2015-03-01.log", false},   // 14 days
        {At(2015, 1, 4), "TessikVdm.2014-12-20.log", true},     // 15 days across the year end
        {At(2015, 1, 4), "TessikVdm.2014-12-21.log", false},    // 14 days across the year end
        {At(2015, 3, 16), "TessikVdm.2015-03-16.log", false},   // today
        {At(2015, 3, 16), "TessikVdm.2016-01-01.log", false},   // future
        {At(2015, 3, 16), "TessikVdmController.2000-01-01.log", false},
        {At(2015, 3, 16), "TessikVdm-notes.2000-01-01.log", false},
        {At(2015, 3, 16), "TessikVdm.2000-01-01.log.bak", false},
        {At(2015, 3, 16), "TessikVdm.20x0-01-01.log", false},
        {At(2015, 3, 16), "TessikVdm.2000-01-01.txt", false},
        {At(2015, 3, 16), "TessikVdm.notes.txt", false},
        {At(2015, 3, 16), "Iris.2000-01-01.log", false},        // no module of that name
    };
    for (const auto& c : cases) {
        const fs::path file = LogDir() / c.name;
        WriteFile(file, "old\n");
        clock.Set(c.today);
        DeleteOldLogFiles();
        EXPECT_EQ(!fs::exists(file), c.removed) << c.name << " on " << c.today.year << "-" << c.today.month
                                                << "-" << c.today.day;
        fs::remove(file);
    }
}

}  // namespace

TEST(LogLevelWordTest, ConfigurationWordsAndEverythingElseTurnsLoggingOff) {
    const std::pair<const char*, int> words[] = {{"NONE", 0}, {"ERROR", 1}, {"WARNING", 2}, {"INFO", 3},
                                                 {"DBG1", 4}, {"DBG2", 5},  {"DBG3", 6},    {"info", 0},
                                                 {"DBG4", 0}, {"", 0},      {"INFO ", 0}};
    for (const auto& [word, level] : words) EXPECT_EQ(LogLevelFromWord(word), level) << word;
}
