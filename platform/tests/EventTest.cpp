#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using platform::Event;
using namespace std::chrono;

TEST(Event, AutoResetReleasesOneWaitPerSet) {
    Event e(false, false);
    EXPECT_FALSE(e.Wait(0));
    e.Set();
    e.Set();  // latched: two sets before a wait count as one
    EXPECT_TRUE(e.Wait(0));
    EXPECT_FALSE(e.Wait(0));
    EXPECT_FALSE(e.IsSet());
}

TEST(Event, ManualResetStaysSetUntilReset) {
    Event e(true, true);
    EXPECT_TRUE(e.Wait(0));
    EXPECT_TRUE(e.Wait(0));
    e.Reset();
    EXPECT_FALSE(e.Wait(0));
}

TEST(Event, ManualResetReleasesEveryWaiter) {
    Event e(true);
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] { released += e.Wait(5000) ? 1 : 0; });
    std::this_thread::sleep_for(50ms);
    e.Set();
    for (auto& t : threads) t.join();
    EXPECT_EQ(released, 4);
}

TEST(Event, TimedWaitReturnsFalseAfterTheTimeout) {
    Event e;
    auto start = steady_clock::now();
    EXPECT_FALSE(e.Wait(120));
    EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - start).count(), 120);
}

TEST(Event, SetFromAnotherThreadWakesAWaiter) {
    Event e;
    std::thread setter([&] {
        std::this_thread::sleep_for(30ms);
        e.Set();
    });
    EXPECT_TRUE(e.Wait(platform::kInfinite));
    setter.join();
}

TEST(Event, WaitAnyReturnsTheFirstSetEventAndTakesIt) {
    Event a, b(true), c;
    Event* events[] = {&a, &b, &c};
    EXPECT_EQ(Event::WaitAny(events, 0), -1);
    c.Set();
    EXPECT_EQ(Event::WaitAny(events, 0), 2);
    EXPECT_FALSE(c.IsSet());  // auto-reset event taken
    b.Set();
    EXPECT_EQ(Event::WaitAny(events, 0), 1);
    EXPECT_TRUE(b.IsSet());  // manual-reset event left set
}

TEST(Event, WaitAnyWakesOnALaterSetAndTimesOut) {
    Event a, b;
    Event* events[] = {&a, &b};
    std::thread setter([&] {
        std::this_thread::sleep_for(30ms);
        b.Set();
    });
    EXPECT_EQ(Event::WaitAny(events, 5000), 1);
    setter.join();
    auto start = steady_clock::now();
    EXPECT_EQ(Event::WaitAny(events, 80), -1);
    EXPECT_GE(duration_cast<milliseconds>(steady_clock::now() - start).count(), 80);
}

TEST(Event, EachAutoResetSetReleasesExactlyOneOfManyWaiters) {
    Event e;
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] { released += e.Wait(400) ? 1 : 0; });
    std::this_thread::sleep_for(50ms);
    e.Set();
    for (auto& t : threads) t.join();
    EXPECT_EQ(released, 1);
}
