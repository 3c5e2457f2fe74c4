#pragma once
// Process-wide daily log files: callers queue formatted lines, one writer thread appends them to
// "<dir>/<module>.YYYY-MM-DD.log", one file per log module and day.

#include <atomic>
#include <functional>
#include <sstream>
#include <string>

#include "platform/LocalTime.h"

// Log levels; a line is written only when its level is at most `currentLevel`.
enum LogLevel : int {
    LOGLEVEL_NONE = 0,
    LOGLEVEL_ERROR = 1,
    LOGLEVEL_WARNING = 2,
    LOGLEVEL_INFO = 3,
    LOGLEVEL_DBG1 = 4,
    LOGLEVEL_DBG2 = 5,
    LOGLEVEL_DBG3 = 6,
};

// Highest level that is logged; INFO until the program sets it from its configuration.
extern std::atomic<int> currentLevel;

inline bool LogEnabled(int level) {
    return level > LOGLEVEL_NONE && level <= currentLevel.load(std::memory_order_relaxed);
}

// Level of a configuration word: "NONE" 0, "ERROR" 1, "WARNING" 2, "INFO" 3, "DBG1" 4, "DBG2" 5,
// "DBG3" 6; any other word gives 0, so logging is off.
int LogLevelFromWord(const std::string& word);

// Seven-character tag of a level ("ERROR  ", "WARNING", ...); empty above DBG3 and for NONE.
const char* LogLevelTag(int level);

// Starts the writer thread; true when it runs (also when it already ran).
bool StartLogThread();

// Registers the next log module (0, 1, 2, ... in call order) writing into `directory`, which is
// created when missing. An empty name gives the base name "log"; an empty directory gives the
// Log folder beside the program. False when the writer is not running or the folder cannot be made.
bool OpenLog(const std::string& name, const std::string& directory);

// Queues one line for `module`. False for level 0, an unknown module or a stopped writer.
bool WriteLog(int level, const std::string& text, int module);
bool WriteLog(int level, const std::ostringstream& text, int module);

// Writes everything queued, ends the writer and forgets the modules. Always true.
bool StopLogThread();

// Removes "<base>.YYYY-MM-DD.log" files of every registered module that are more than 14 days old.
// Other files in the folders are left alone.
void DeleteOldLogFiles();

// Replaces the clock that dates lines, picks file names and ages old files (tests); an empty
// function restores the local time of the system.
void SetLogClock(std::function<platform::LocalTime()> clock);

// While held, the writer leaves queued text queued (tests); a stop still writes it all.
void HoldLogWriter(bool hold);

// Builds the text with operator<< and queues it only when the level is enabled, so disabled
// levels cost no formatting.
#define TSK_LOG(level, module, expr)                      \
    do {                                                   \
        if (LogEnabled(level)) {                           \
            std::ostringstream tsk_log_text_;              \
            tsk_log_text_ << expr;                         \
            WriteLog((level), tsk_log_text_, (module));    \
        }                                                  \
    } while (0)
