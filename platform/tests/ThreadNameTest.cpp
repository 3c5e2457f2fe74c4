#include "platform/ThreadName.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>

namespace {

// The name of one of this process's threads as the system shows it.
std::string CommOf(pid_t tid) {
    std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

TEST(ThreadName, StartedThreadCarriesItsNameBeforeItsBodyRuns) {
    std::atomic<pid_t> tid{0};
    std::string seen;
    std::thread t = platform::StartNamedThread("sim-frames", [&] {
        tid = ::gettid();
        seen = CommOf(tid);
    });
    t.join();
    EXPECT_EQ(seen, "sim-frames");
}

TEST(ThreadName, LongNameIsCutToTheSystemLimit) {
    std::string seen, own;
    std::thread t = platform::StartNamedThread("CCleanRequestIds-and-more", [&] {
        seen = CommOf(::gettid());
        own = platform::CurrentThreadName();
    });
    t.join();
    EXPECT_EQ(seen, "CCleanRequestId");
    EXPECT_EQ(own, seen);
}

TEST(ThreadName, ProcessThreadsListsNamesTimeAndWaits) {
    std::atomic<bool> stop{false};
    std::atomic<pid_t> tid{0};
    std::thread t = platform::StartNamedThread("busy-worker", [&] {
        tid = ::gettid();
        for (int i = 0; i < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // 5 waits
        while (!stop.load()) {
        }
    });
    while (tid.load() == 0) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bool found = false, foundMain = false;
    for (const platform::ThreadInfo& info : platform::ProcessThreads()) {
        if (info.tid == tid.load()) {
            found = true;
            EXPECT_EQ(info.name, "busy-worker");
            EXPECT_GT(info.cpuSeconds, 0.0);  // it spun for 100 ms
            EXPECT_GE(info.waits, 5);
        }
        foundMain = foundMain || info.tid == ::getpid();
    }
    stop = true;
    t.join();
    EXPECT_TRUE(found);
    EXPECT_TRUE(foundMain);
    EXPECT_TRUE(platform::ProcessThreads(999999999).empty());
}
