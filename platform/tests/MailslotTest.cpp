#include "platform/Mailslot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A slot name no other test, test process or running viewer uses.
std::string UniqueSlot() {
    static std::atomic<int> counter{0};
    return "TessikMailslotTest-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

TEST(Mailslot, WriteWithNoReaderIsDropped) {
    const std::string name = UniqueSlot();
    const char msg[] = "lost";
    EXPECT_FALSE(platform::MailslotWrite(name, msg, sizeof msg));
    // A reader created afterwards does not see it.
    platform::MailslotReader reader(name);
    ASSERT_TRUE(reader.IsOpen());
    char buf[16];
    EXPECT_EQ(reader.Read(buf, sizeof buf, 50).status, platform::MailslotReader::Status::Timeout);
}

TEST(Mailslot, MessagesArriveWholeAndInOrder) {
    const std::string name = UniqueSlot();
    platform::MailslotReader reader(name);
    ASSERT_TRUE(reader.IsOpen());
    const std::vector<std::string> sent = {"first", "", std::string(300, 'x'), "last"};
    for (const auto& m : sent) {
        EXPECT_TRUE(platform::MailslotWrite(name, m.data(), m.size()));
    }
    for (const auto& m : sent) {
        char buf[512];
        auto r = reader.Read(buf, sizeof buf, 1000);
        ASSERT_EQ(r.status, platform::MailslotReader::Status::Received);
        ASSERT_EQ(r.length, m.size());
        EXPECT_EQ(std::string(buf, r.length), m);
    }
}

TEST(Mailslot, LongMessageIsCutAndReportsItsLength) {
    const std::string name = UniqueSlot();
    platform::MailslotReader reader(name);
    ASSERT_TRUE(reader.IsOpen());
    const std::string m(400, 'q');
    ASSERT_TRUE(platform::MailslotWrite(name, m.data(), m.size()));
    char buf[256];
    auto r = reader.Read(buf, sizeof buf, 1000);
    ASSERT_EQ(r.status, platform::MailslotReader::Status::Received);
    EXPECT_EQ(r.length, 400u);
    EXPECT_EQ(std::string(buf, 256), m.substr(0, 256));
}

TEST(Mailslot, OnlyOneReaderOwnsASlot) {
    const std::string name = UniqueSlot();
    platform::MailslotReader first(name);
    ASSERT_TRUE(first.IsOpen());
    platform::MailslotReader second(name);
    EXPECT_FALSE(second.IsOpen());
    char buf[8];
    EXPECT_EQ(second.Read(buf, sizeof buf, 0).status, platform::MailslotReader::Status::Closed);
    EXPECT_FALSE(platform::MailslotWrite(std::string(200, 'n'), "x", 1));  // name too long
    EXPECT_FALSE(platform::MailslotReader(std::string(200, 'n')).IsOpen());
}

TEST(Mailslot, ManyWritersBurstWhileReaderReads) {
    const std::string name = UniqueSlot();
    platform::MailslotReader reader(name);
    ASSERT_TRUE(reader.IsOpen());
    constexpr int kWriters = 4, kEach = 50;
    std::atomic<int> sent{0};
    std::atomic<bool> writing{true};
    int received = 0, intact = 0;
    std::thread readThread([&] {
        char buf[64];
        for (;;) {
            auto r = reader.Read(buf, sizeof buf, 100);
            if (r.status == platform::MailslotReader::Status::Received) {
                ++received;
                if (r.length == 8 && buf[0] == 'w' && buf[7] == '!') ++intact;
            } else if (!writing) {
                break;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            char msg[10];
            for (int i = 0; i < kEach; ++i) {
                snprintf(msg, sizeof msg, "w%d-%04d!", w, i);
                if (platform::MailslotWrite(name, msg, 8)) ++sent;
            }
        });
    }
    for (auto& t : writers) t.join();
    writing = false;
    readThread.join();
    // Every message the slot took arrives whole; the writers give a live reader time to drain its
    // short queue, so a burst like this one normally gets through entirely.
    EXPECT_GT(sent.load(), 0);
    EXPECT_EQ(received, sent.load());
    EXPECT_EQ(intact, received);
}

TEST(Mailslot, ShutdownWakesABlockedRead) {
    platform::MailslotReader reader(UniqueSlot());
    ASSERT_TRUE(reader.IsOpen());
    std::atomic<int> status{-1};
    std::thread t([&] {
        char buf[8];
        status = static_cast<int>(reader.Read(buf, sizeof buf, -1).status);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    reader.Shutdown();
    t.join();
    EXPECT_EQ(status.load(), static_cast<int>(platform::MailslotReader::Status::Closed));
}

TEST(Mailslot, TraceSlotNameFollowsTheEnvironment) {
    unsetenv("TESSIK_TRACE_SLOT");
    EXPECT_EQ(platform::TraceSlotName(), "ZarnTraceSlot");
    setenv("TESSIK_TRACE_SLOT", "OtherSlot", 1);
    EXPECT_EQ(platform::TraceSlotName(), "OtherSlot");
    setenv("TESSIK_TRACE_SLOT", "", 1);
    EXPECT_EQ(platform::TraceSlotName(), "ZarnTraceSlot");
    unsetenv("TESSIK_TRACE_SLOT");
}

}  // namespace
