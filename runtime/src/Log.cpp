#include "runtime/Log.h"

#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/ProgramDir.h"
#include "platform/ThreadName.h"

std::atomic<int> currentLevel{LOGLEVEL_INFO};

namespace {

struct LogModule {
    std::string directory;
    std::string baseName;
    std::string path;     // file of the current day
    std::string pending;  // lines not yet written
};

struct Day {
    int year = 0;
    int month = 0;
    int day = 0;
    bool operator==(const Day&) const = default;
};

// The guard lives for the whole process so that late callers of WriteLog never touch a
// destroyed lock; it is a plain mutex because locking code logs through here.
std::mutex guard;
std::condition_variable wake;
bool writerRunning = false;
bool hasPending = false;
bool writerHeld = false;  // tests: queued text stays queued
std::vector<LogModule> modules;
Day currentDay;
std::function<platform::LocalTime()> clockOverride;

// Serialises StartLogThread and StopLogThread, which own the writer thread object.
std::mutex control;
std::thread writer;

platform::LocalTime Now() {
    std::function<platform::LocalTime()> clock;
    {
        std::lock_guard lock(guard);
        clock = clockOverride;
    }
    return clock ? clock() : platform::GetLocalTime();
}

Day DayOf(const platform::LocalTime& t) {
    return Day{t.year, t.month, t.day};
}

std::string BuildPath(const LogModule& m, const Day& d) {
    char tail[32];
    std::snprintf(tail, sizeof tail, ".%02d-%02d-%02d.log", d.year, d.month, d.day);
    return m.directory + "/" + m.baseName + tail;
}

// Caller holds the guard. A new day moves every module to that day's file; text still queued
// goes there too, as the writer uses the path current when it writes.
void CheckDayLocked(const Day& today) {
    if (today == currentDay)
        return;
    currentDay = today;
    for (auto& m : modules)
        m.path = BuildPath(m, currentDay);
}

// Appends the caller's text with every control character but the tab written as an escape
// (\n, \r or \xHH), so that text from peers can neither end a line nor start a forged one.
void AppendEscaped(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 0x20 && c != 0x7F) || c == '\t') {
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
}

void AppendToFile(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "a");
    if (!f)
        return;  // the batch is lost, as nobody could take it
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

void LogWriterThread() {
    std::unique_lock lock(guard);
    for (;;) {
        hasPending = false;
        if (writerHeld && writerRunning) {
            wake.wait(lock, [] { return !writerHeld || !writerRunning; });
            hasPending = true;
            continue;
        }
        for (size_t i = 0; i < modules.size(); ++i) {
            if (modules[i].pending.empty())
                continue;
            std::string text = std::move(modules[i].pending);
            modules[i].pending.clear();
            std::string path = modules[i].path;
            lock.unlock();
            AppendToFile(path, text);
            lock.lock();
        }
        if (hasPending)
            continue;
        if (!writerRunning)
            break;
        wake.wait(lock, [] { return hasPending || !writerRunning; });
    }
}

// Day of the year (0-based) and year of a calendar date, normalised like the C library does.
void Normalise(int year, int month, int day, int& outYear, int& outYday) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    std::mktime(&tm);
    outYear = tm.tm_year + 1900;
    outYday = tm.tm_yday;
}

// Parses "<base>.YYYY-MM-DD.log"; false for every other name.
bool ParseLogFileName(const std::string& name, const std::string& base, int& y, int& m, int& d) {
    const std::string prefix = base + ".";
    static constexpr size_t kDateLen = 14;  // "YYYY-MM-DD.log"
    if (name.size() != prefix.size() + kDateLen || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    const char* s = name.c_str() + prefix.size();
    static const char kShape[] = "dddd-dd-dd.log";
    for (size_t i = 0; i < kDateLen; ++i) {
        if (kShape[i] == 'd') {
            if (s[i] < '0' || s[i] > '9')
                return false;
        } else if (s[i] != kShape[i]) {
            return false;
        }
    }
    auto num = [s](int from, int len) {
        int v = 0;
        for (int i = from; i < from + len; ++i)
            v = v * 10 + (s[i] - '0');
        return v;
    };
    y = num(0, 4);
    m = num(5, 2);
    d = num(8, 2);
    return true;
}

}  // namespace

int LogLevelFromWord(const std::string& word) {
    static const char* const kWords[] = {"NONE", "ERROR", "WARNING", "INFO", "DBG1", "DBG2", "DBG3"};
    for (int level = 0; level < 7; ++level) {
        if (word == kWords[level]) return level;
    }
    return LOGLEVEL_NONE;
}

const char* LogLevelTag(int level) {
    switch (level) {
    case LOGLEVEL_ERROR: return "ERROR  ";
    case LOGLEVEL_WARNING: return "WARNING";
    case LOGLEVEL_INFO: return "INFO   ";
    case LOGLEVEL_DBG1: return "DBG1   ";
    case LOGLEVEL_DBG2: return "DBG2   ";
    case LOGLEVEL_DBG3: return "DBG3   ";
    default: return "";
    }
}

bool StartLogThread() {
    std::lock_guard ctl(control);
    {
        std::lock_guard lock(guard);
        if (writerRunning)
            return true;
        writerRunning = true;
    }
    try {
        writer = platform::StartNamedThread("log-writer", LogWriterThread);
    } catch (const std::system_error&) {
        std::lock_guard lock(guard);
        writerRunning = false;
        return false;
    }
    return true;
}

bool OpenLog(const std::string& name, const std::string& directory) {
    const platform::LocalTime now = Now();
    const std::string dir = directory.empty() ? platform::GetProgramDirectory() + "/Log" : directory;
    std::lock_guard lock(guard);
    if (!writerRunning)
        return false;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir, ec))
        return false;
    CheckDayLocked(DayOf(now));
    LogModule m;
    m.directory = dir;
    m.baseName = name.empty() ? "log" : name;
    m.path = BuildPath(m, currentDay);
    modules.push_back(std::move(m));
    return true;
}

bool WriteLog(int level, const std::string& text, int module) {
    if (level == LOGLEVEL_NONE)
        return false;
    const platform::LocalTime now = Now();
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d:%03d %s: ", now.hour, now.minute, now.second,
                  now.millisecond, LogLevelTag(level));
    std::lock_guard lock(guard);
    if (!writerRunning || module < 0 || static_cast<size_t>(module) >= modules.size())
        return false;
    CheckDayLocked(DayOf(now));
    std::string& pending = modules[static_cast<size_t>(module)].pending;
    pending += stamp;
    AppendEscaped(pending, text);
    pending += '\n';
    hasPending = true;
    wake.notify_one();
    return true;
}

bool WriteLog(int level, const std::ostringstream& text, int module) {
    return WriteLog(level, text.str(), module);
}

bool StopLogThread() {
    std::lock_guard ctl(control);
    bool wasRunning;
    {
        std::lock_guard lock(guard);
        wasRunning = writerRunning;
        writerRunning = false;
        wake.notify_one();
    }
    if (wasRunning && writer.joinable())
        writer.join();
    std::lock_guard lock(guard);
    modules.clear();
    return true;
}

void DeleteOldLogFiles() {
    const platform::LocalTime now = Now();
    int todayYear, todayYday;
    Normalise(now.year, now.month, now.day, todayYear, todayYday);

    std::vector<std::pair<std::string, std::string>> folders;  // directory, base name
    {
        std::lock_guard lock(guard);
        for (const auto& m : modules)
            folders.emplace_back(m.directory, m.baseName);
    }
    for (const auto& [dir, base] : folders) {
        std::error_code ec;
        std::vector<std::filesystem::path> doomed;
        for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            int y, m, d;
            if (!ParseLogFileName(it->path().filename().string(), base, y, m, d))
                continue;
            int fileYear, fileYday;
            Normalise(y, m, d, fileYear, fileYday);
            const int age = fileYear == todayYear
                                ? todayYday - fileYday
                                : (todayYear - fileYear) * 365 - fileYday + todayYday;
            if (age > 14)
                doomed.push_back(it->path());
        }
        for (const auto& p : doomed)
            std::filesystem::remove(p, ec);
    }
}

void HoldLogWriter(bool hold) {
    std::lock_guard lock(guard);
    writerHeld = hold;
    wake.notify_one();
}

void SetLogClock(std::function<platform::LocalTime()> clock) {
    std::lock_guard lock(guard);
    clockOverride = std::move(clock);
}
