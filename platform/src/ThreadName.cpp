#include "platform/ThreadName.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace platform {

void SetCurrentThreadName(const std::string& name) {
    // A name the system refuses would leave the thread with its creator's name: cut it instead.
    const std::string cut = name.substr(0, kThreadNameMax);
    ::pthread_setname_np(::pthread_self(), cut.c_str());
}

std::string CurrentThreadName() {
    char name[kThreadNameMax + 1] = {};
    if (::pthread_getname_np(::pthread_self(), name, sizeof name) != 0) return {};
    return name;
}

namespace {

std::string ProcDir(pid_t pid) {
    return "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid));
}

// Reads a /proc stat file: "id (name) state ..."; the name may hold blanks and parentheses, so it
// ends at the last ')'; utime and stime are fields 14 and 15. False when the file is gone.
bool ReadStat(const std::string& path, std::string* name, double* cpuSeconds) {
    std::ifstream stat(path);
    std::string line;
    if (!std::getline(stat, line)) return false;
    const size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    if (name != nullptr) *name = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; rest >> field; ++index) {
        if (index == 14) utime = std::stoull(field);
        if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    *cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    return true;
}

}  // namespace

std::vector<ThreadInfo> ProcessThreads(pid_t pid) {
    namespace fs = std::filesystem;
    std::vector<ThreadInfo> threads;
    std::error_code error;
    for (fs::directory_iterator it(ProcDir(pid) + "/task", error), end; !error && it != end; it.increment(error)) {
        ThreadInfo info;
        info.tid = static_cast<pid_t>(std::atoi(it->path().filename().c_str()));
        if (!ReadStat((it->path() / "stat").string(), &info.name, &info.cpuSeconds)) continue;  // ended meanwhile
        // The scheduler's own count, in nanoseconds, is exact where the clock ticks of stat only
        // sample: a thread that runs for microseconds at a time is charged a tick or nothing.
        std::ifstream schedstat(it->path() / "schedstat");
        unsigned long long runNs = 0;
        if (schedstat >> runNs) info.cpuSeconds = static_cast<double>(runNs) * 1e-9;
        std::ifstream status(it->path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) info.waits = std::atoll(line.c_str() + 24);
        }
        threads.push_back(std::move(info));
    }
    return threads;
}

double ProcessCpuSeconds(pid_t pid) {
    double seconds = -1;
    if (!ReadStat(ProcDir(pid) + "/stat", nullptr, &seconds)) return -1;
    return seconds;
}

}  // namespace platform
