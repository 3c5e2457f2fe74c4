#pragma once
// Names of the threads the system starts, as the operating system shows them (top -H, a debugger,
// a profile, /proc/<pid>/task/<tid>/comm). Every thread the system starts names itself through
// this one helper as its first step, so that the threads of a process can be told apart and the
// processor time of the simulated devices can be told from that of the rest.
//
// The system limits a name to 15 bytes; a longer name is cut to its first 15. Conventions:
// the simulated devices' threads begin with "sim-", the driver's with "drv-", the capture
// libraries' with "fp-" and "iris-", the service runtime's socket loops with "sk-".

#include <sys/types.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace platform {

constexpr size_t kThreadNameMax = 15;

// Names the calling thread.
void SetCurrentThreadName(const std::string& name);

// The calling thread's name as the system shows it.
std::string CurrentThreadName();

// Starts a thread that names itself `name` and then runs `body`.
template <class Body>
std::thread StartNamedThread(std::string name, Body&& body) {
    return std::thread([name = std::move(name), body = std::forward<Body>(body)]() mutable {
        SetCurrentThreadName(name);
        body();
    });
}

// One thread of a process: its id, its name, the processor time it used so far (user and
// system, in seconds) and how often it gave up the processor to wait (its wake-ups).
struct ThreadInfo {
    pid_t tid = 0;
    std::string name;
    double cpuSeconds = 0;
    long long waits = 0;
};

// The threads of process `pid` (0: this process), read from /proc; empty when it is gone.
std::vector<ThreadInfo> ProcessThreads(pid_t pid = 0);

// Processor time (user and system, in seconds) that process `pid` (0: this process) used so far,
// its ended threads included; -1 when it is gone.
double ProcessCpuSeconds(pid_t pid = 0);

}  // namespace platform
