#include "runtime/RequestIds.h"

#include <sys/eventfd.h>

#include <set>

#include <gtest/gtest.h>

namespace {

// A listening daemon of three channels; channels 0 and 1 in use (on descriptors that the daemon
// closes at the end), channel 2 free.
std::unique_ptr<CSocketUtils> MakeDaemon() {
    std::unique_ptr<CSocketUtils> daemon;
    CSocketUtils::CSInit(daemon, "ids", "127.0.0.1", 0, 3, 0);
    daemon->channels[0].socket = ::eventfd(0, EFD_CLOEXEC);
    daemon->channels[1].socket = ::eventfd(0, EFD_CLOEXEC);
    return daemon;
}

}  // namespace

TEST(RequestIds, GeneratedIdsAreUpperCaseGuidTextAndUnique) {
    // Upper-case hexadecimal groups 8-4-4-4-12; version 4, variant 1 (8, 9, A or B).
    auto wellFormed = [](const std::string& id) {
        for (size_t i = 0; i < id.size(); ++i) {
            bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
            char c = id[i];
            if (hyphen != (c == '-')) return false;
            if (!hyphen && !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
        }
        return id[14] == '4' && std::string("89AB").find(id[19]) != std::string::npos;
    };
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        std::string id = GenerateRequestId();
        ASSERT_EQ(id.size(), 36u);
        ASSERT_TRUE(wellFormed(id)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(RequestIds, DuplicatesAreRefusedAndTheFirstStampStays) {
    auto daemon = MakeDaemon();
    const int64_t t0 = 1'700'000'000;
    EXPECT_TRUE(AddReceivedRequestId(daemon.get(), 0, "A", MID_StartCapture, t0));
    EXPECT_FALSE(AddReceivedRequestId(daemon.get(), 0, "A", MID_StopCapture, t0 + 100));
    EXPECT_TRUE(AddReceivedRequestId(daemon.get(), 1, "A", MID_StopCapture, t0 + 100));  // other channel
    EXPECT_TRUE(FindReceivedRequestId(daemon.get(), 0, "A"));
    EXPECT_FALSE(FindReceivedRequestId(daemon.get(), 0, "B"));

    // Aged by the first stamp: 181 s after it the record goes although the refused second
    // receipt was only 81 s before.
    CleanRequestIds(daemon.get(), t0 + 181);
    EXPECT_FALSE(FindReceivedRequestId(daemon.get(), 0, "A"));
    EXPECT_TRUE(FindReceivedRequestId(daemon.get(), 1, "A"));

    EXPECT_TRUE(RemoveReceivedRequestId(daemon.get(), 1, "A"));
    EXPECT_FALSE(RemoveReceivedRequestId(daemon.get(), 1, "A"));
}

TEST(RequestIds, SentIdsAreFoundByKindAndAgeOutAfter180Seconds) {
    auto daemon = MakeDaemon();
    const int64_t t0 = 1'700'000'000;
    EXPECT_TRUE(AddSentRequestId(daemon.get(), 0, "old", MID_Ping, t0));
    EXPECT_TRUE(AddSentRequestId(daemon.get(), 0, "new", MID_Connect, t0 + 1));
    EXPECT_TRUE(AddReceivedRequestId(daemon.get(), 0, "in", MID_VdmCommand, t0));
    EXPECT_TRUE(AddSentRequestId(daemon.get(), 2, "free", MID_Ping, t0));  // entry not in use
    EXPECT_EQ(FindSentRequestId(daemon.get(), 0, "old"), MID_Ping);
    EXPECT_EQ(FindSentRequestId(daemon.get(), 0, "nothing"), MID_Unknown);

    CleanRequestIds(daemon.get(), t0 + 180);  // exactly 180 s: kept
    EXPECT_EQ(FindSentRequestId(daemon.get(), 0, "old"), MID_Ping);
    EXPECT_TRUE(FindReceivedRequestId(daemon.get(), 0, "in"));

    CleanRequestIds(daemon.get(), t0 + 181);
    EXPECT_EQ(FindSentRequestId(daemon.get(), 0, "old"), MID_Unknown);
    EXPECT_FALSE(FindReceivedRequestId(daemon.get(), 0, "in"));
    EXPECT_EQ(FindSentRequestId(daemon.get(), 0, "new"), MID_Connect);
    EXPECT_EQ(FindSentRequestId(daemon.get(), 2, "free"), MID_Ping);  // free entries are skipped

    EXPECT_TRUE(RemoveSentRequestId(daemon.get(), 0, "new"));
    EXPECT_FALSE(RemoveSentRequestId(daemon.get(), 0, "new"));
}

TEST(RequestIds, ChannelsOutsideTheTableAreAbsent) {
    auto daemon = MakeDaemon();
    for (int channel : {-1, 3, 1000, -1000}) {
        EXPECT_FALSE(AddReceivedRequestId(daemon.get(), channel, "X", MID_Ping)) << channel;
        EXPECT_FALSE(AddSentRequestId(daemon.get(), channel, "X", MID_Ping)) << channel;
        EXPECT_FALSE(FindReceivedRequestId(daemon.get(), channel, "X")) << channel;
        EXPECT_EQ(FindSentRequestId(daemon.get(), channel, "X"), MID_Unknown) << channel;
        EXPECT_FALSE(RemoveSentRequestId(daemon.get(), channel, "X")) << channel;
    }
    EXPECT_FALSE(AddReceivedRequestId(nullptr, 0, "X", MID_Ping));
    EXPECT_EQ(FindSentRequestId(nullptr, 0, "X"), MID_Unknown);
    CleanRequestIds(nullptr, 0);
}
