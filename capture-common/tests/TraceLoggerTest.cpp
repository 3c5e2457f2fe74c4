// The trace writer seen from a reader on the trace slot, as the trace viewer sees it.
#include "TestSupport.h"

#include "zarn/ZarnDib.h"
#include "zarn/ZarnTraceLogger.h"

#include "platform/Mailslot.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Status = platform::MailslotReader::Status;

// Reads one message and requires it to be a whole record.
bool ReadRecord(platform::MailslotReader& reader, TraceRecord& record, int timeoutMs = 2000) {
    uint8_t buf[256];
    auto r = reader.Read(buf, sizeof buf, timeoutMs);
    if (r.status != Status::Received || r.length != sizeof(TraceRecord)) {
        return false;
    }
    std::memcpy(&record, buf, sizeof record);
    return true;
}

std::string TextOf(const TraceRecord& r) {
    return std::string(r.text, strnlen(r.text, sizeof r.text));
}

TEST(TraceRecord, TimeFieldHoldsExactly23Characters) {
    const platform::LocalTime t{2011, 4, 13, 16, 37, 28, 5, 3};
    const TraceRecord r = MakeTraceRecord(TraceSource::ZarnEssentialsApi, 2, t, "Detected PloverB");
    const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
    EXPECT_EQ(std::memcmp(bytes, "\xAA\xBB\xCC\xDD", 4), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + 4), 23), "2011-04-13 16:37:28.005");
    EXPECT_EQ(bytes[27], 3);
    EXPECT_EQ(bytes[28], 2);
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 29), "Detected PloverB");
    // The rest of the text field is zero.
    for (size_t i = 29 + 16; i < sizeof r; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST(TraceRecord, LevelIsTheLowByte) {
    const platform::LocalTime t{2024, 1, 2, 3, 4, 5, 6, 0};
    EXPECT_EQ(MakeTraceRecord(TraceSource::ZarnIrisApi, 0x105, t, "x").level, 5);
    EXPECT_EQ(MakeTraceRecord(TraceSource::ZarnIrisApi, -1, t, "x").level, 0xFF);
    EXPECT_EQ(MakeTraceRecord(TraceSource::ZarnIrisApi, 2, t, nullptr).text[0], '\0');
}

TEST(TraceLogger, RecordsRoundTripThroughTheSlot) {
    const std::string slot = UniqueSlotName();
    platform::MailslotReader reader(slot);
    ASSERT_TRUE(reader.IsOpen());
    ZarnTraceLogger fingerprint(TraceSource::ZarnEssentialsApi, slot);
    ZarnTraceLogger iris(TraceSource::ZarnIrisApi, slot);

    const std::string exact(128, 'e');
    const std::string longer(200, 'l');
    const std::string huge(3000, 'h');  // longer than the format buffer
    struct Case {
        ZarnTraceLogger* logger;
        int level;
        std::string text;      // what is logged (through "%s")
        std::string expected;  // what the text field holds
        uint8_t source;
    };
    const Case cases[] = {
        {&fingerprint, 2, "Enter Zarn_Capture_Start(1, 1)", "Enter Zarn_Capture_Start(1, 1)", 3},
        {&fingerprint, 0, "Exit  Zarn_Capture_Start()=-615", "Exit  Zarn_Capture_Start()=-615", 3},
        {&iris, 4, "Iris has been disconnected.", "Iris has been disconnected.", 4},
        {&iris, 2, "", "", 4},
        {&fingerprint, 3, exact, exact, 3},
        {&fingerprint, 5, longer, longer.substr(0, 128), 3},
        {&iris, 1, huge, huge.substr(0, 128), 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.logger->Log(c.level, "%s", c.text.c_str()), 0);
        TraceRecord r;
        ASSERT_TRUE(ReadRecord(reader, r)) << c.text.substr(0, 20);
        EXPECT_EQ(std::memcmp(r.magic, kTraceMagic, 4), 0);
        EXPECT_EQ(r.source, c.source);
        EXPECT_EQ(r.level, c.level);
        EXPECT_EQ(TextOf(r), c.expected);
        if (c.expected.size() < 128) {
            EXPECT_EQ(r.text[c.expected.size()], '\0');
        }
        // The time text: "dddd-dd-dd dd:dd:dd.ddd".
        const std::string time(r.time, 23);
        for (size_t i = 0; i < time.size(); ++i) {
            const char sep = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : i == 19 ? '.' : 0;
            if (sep != 0) {
                EXPECT_EQ(time[i], sep) << time;
            } else {
                EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(time[i]))) << time;
            }
        }
    }
    // The printf-style forms of the Enter and Exit lines.
    fingerprint.Log(2, "Enter Zarn_Capture_Start(%d, %d)", 4, 1);
    fingerprint.Log(2, "Exit  Zarn_Capture_Start()=%d", 0);
    TraceRecord r;
    ASSERT_TRUE(ReadRecord(reader, r));
    EXPECT_EQ(TextOf(r), "Enter Zarn_Capture_Start(4, 1)");
    ASSERT_TRUE(ReadRecord(reader, r));
    EXPECT_EQ(TextOf(r), "Exit  Zarn_Capture_Start()=0");
}

TEST(TraceLogger, RecordWithNoReaderIsDroppedAndLaterReaderGetsNewLines) {
    const std::string slot = UniqueSlotName();
    ZarnTraceLogger logger(TraceSource::ZarnEssentialsApi, slot);
    EXPECT_EQ(logger.Log(2, "nobody reads this"), 0);
    platform::MailslotReader reader(slot);
    ASSERT_TRUE(reader.IsOpen());
    logger.Log(2, "a viewer started later gets this");
    TraceRecord r;
    ASSERT_TRUE(ReadRecord(reader, r));
    EXPECT_EQ(TextOf(r), "a viewer started later gets this");
    uint8_t buf[256];
    EXPECT_EQ(reader.Read(buf, sizeof buf, 50).status, Status::Timeout);
}

TEST(TraceLogger, RecordsOfConcurrentThreadsArriveWhole) {
    const std::string slot = UniqueSlotName();
    platform::MailslotReader reader(slot);
    ASSERT_TRUE(reader.IsOpen());
    ZarnTraceLogger logger(TraceSource::ZarnEssentialsApi, slot);
    constexpr int kThreads = 4, kLines = 40;
    std::vector<TraceRecord> got;
    std::atomic<bool> writing{true};
    std::thread readThread([&] {
        for (;;) {
            TraceRecord r;
            if (ReadRecord(reader, r, 100)) {
                got.push_back(r);
            } else if (!writing) {
                break;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) logger.Log(t, "thread %d line %03d %s", t, i, std::string(60, 'a' + t).c_str());
        });
    }
    for (auto& w : writers) w.join();
    writing = false;
    readThread.join();
    ASSERT_FALSE(got.empty());
    std::set<std::string> distinct;
    for (const auto& r : got) {
        int t = -1, i = -1;
        const std::string text = TextOf(r);
        ASSERT_EQ(std::sscanf(text.c_str(), "thread %d line %d", &t, &i), 2) << text;
        // Each record carries its own thread's level and text.
        EXPECT_EQ(r.level, t);
        EXPECT_EQ(text.substr(text.size() - 60), std::string(60, char('a' + t)));
        distinct.insert(text);
    }
    EXPECT_EQ(distinct.size(), got.size());
}

TEST(TraceLogger, LinkingLibraryChoosesTheSourceOfTheLibraryLogger) {
    EXPECT_EQ(ZarnTrace().source(), TraceSource::ZarnIrisApi);
    EXPECT_EQ(&ZarnTrace(), &ZarnTrace());
}

TEST(TraceLogger, ErrorMessagesBecomeLevelZeroTraceLines) {
    platform::MailslotReader reader(ZarnTrace().slotName());
    ASSERT_TRUE(reader.IsOpen());
    ZarnDib dib;
    EXPECT_EQ(dib.GetPixelAddress(16, 0), nullptr);
    TraceRecord r;
    ASSERT_TRUE(ReadRecord(reader, r));
    EXPECT_EQ(r.level, 0);
    EXPECT_EQ(r.source, 4);
    EXPECT_EQ(TextOf(r), "Attempt to get out of range pixel address");
}

class DebugFolders : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        root_ = dir_.path() + "/debug-root";
        setenv("TESSIK_DEBUG_DIR", root_.c_str(), 1);
        unsetenv("TESSIK_DEBUG_LEVEL");
    }
    void TearDown() override { unsetenv("TESSIK_DEBUG_DIR"); }

    TempDir dir_;
    std::string root_;
    const uint8_t image_[15] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};  // 5 x 3
};

TEST_F(DebugFolders, DumpsAreOffAtTheDefaultLevelAndCreateNothing) {
    ZarnTraceLogger logger(TraceSource::ZarnEssentialsApi, UniqueSlotName());
    EXPECT_EQ(logger.DebugLevel(), 0);
    EXPECT_EQ(logger.SaveDebugBitmap(0, 0, "Flat", image_, 5, 3), -9);
    EXPECT_EQ(logger.WriteRawFile((root_ + "/raw.bin").c_str(), image_, 15, 1), -9);
    EXPECT_FALSE(fs::exists(root_));
}

TEST_F(DebugFolders, FoldersFollowTheLevelAndAppearOnFirstUse) {
    ZarnTraceLogger logger(TraceSource::ZarnEssentialsApi, UniqueSlotName());
    EXPECT_EQ(logger.SetBaseFolder(1, (dir_.path() + "/missing").c_str()), 0);  // falls back
    EXPECT_FALSE(fs::exists(root_));
    std::string folder;
    EXPECT_EQ(logger.GetFolder(1, folder), 0);
    EXPECT_EQ(folder, root_ + "/ResultImage/");
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(logger.GetFolder(2, folder), -10);  // RollingLog needs level 3
    EXPECT_EQ(logger.GetFolder(6, folder), -10);
    EXPECT_EQ(logger.GetFolder(-1, folder), -10);

    EXPECT_EQ(logger.SaveDebugBitmap(2, 1, "Flat", image_, 5, 3), -9);  // dump needs level 2
    EXPECT_EQ(logger.SaveDebugBitmap(1, 1, "Flat", image_, 5, 3), 0);
    EXPECT_EQ(logger.SaveDebugBitmap(1, 1, "Roll", image_, 5, -3), 0);
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path());
    ASSERT_EQ(files.size(), 2u);
    for (const auto& f : files) {
        const std::string name = f.filename().string();
        const bool roll = name.find("_Roll.bmp") != std::string::npos;
        ASSERT_TRUE(roll || name.find("_Flat.bmp") != std::string::npos) << name;
        EXPECT_EQ(name.size(), 14u + 9u) << name;  // yyyymmddhhmmss_Flat.bmp
        ZarnDib dib;
        ASSERT_EQ(dib.Load(f.c_str()), 0);
        ASSERT_EQ(dib.GetWidth(), 5);
        ASSERT_EQ(dib.GetHeight(), 3);
        for (int y = 0; y < 3; ++y) {
            const int srcRow = roll ? 2 - y : y;  // a negative height writes the bottom row first
            for (int x = 0; x < 5; ++x) EXPECT_EQ(*dib.GetPixelAddress(x, y), image_[srcRow * 5 + x]);
        }
    }

    // An existing directory becomes the base; level 3 adds the rolling folders.
    EXPECT_EQ(logger.SetBaseFolder(3, dir_.path().c_str()), 0);
    EXPECT_EQ(logger.GetFolder(4, folder), 0);
    EXPECT_EQ(folder, dir_.path() + "/RollingImage_Constructed/");
    EXPECT_EQ(logger.WriteRawFile((folder + "raw.bin").c_str(), image_, 15, 1), 0);
    EXPECT_EQ(logger.WriteRawFile((folder + "raw.bin").c_str(), image_, 5, 0), 0);
    EXPECT_EQ(fs::file_size(folder + "raw.bin"), 20u);
    EXPECT_EQ(logger.WriteRawFile((dir_.path() + "/no/such/dir/raw.bin").c_str(), image_, 5, 1), -4);
}

TEST_F(DebugFolders, IrisDefaultBaseIsItsOwnSubFolder) {
    ZarnTraceLogger logger(TraceSource::ZarnIrisApi, UniqueSlotName(), "iris");
    std::string folder;
    EXPECT_EQ(logger.GetFolder(0, folder), 0);
    EXPECT_EQ(folder, root_ + "/iris/");
    EXPECT_EQ(logger.GetFolder(1, folder), -10);  // level 0: only the base
}

TEST_F(DebugFolders, FolderThatCannotBeCreatedIsReported) {
    std::ofstream(dir_.path() + "/file") << "x";
    setenv("TESSIK_DEBUG_DIR", (dir_.path() + "/file").c_str(), 1);
    ZarnTraceLogger logger(TraceSource::ZarnEssentialsApi, UniqueSlotName());
    logger.SetBaseFolder(1, nullptr);
    std::string folder;
    EXPECT_EQ(logger.GetFolder(1, folder), -11);
    EXPECT_EQ(logger.SaveDebugBitmap(1, 1, "Flat", image_, 5, 3), -11);
}

TEST_F(DebugFolders, LevelCanBeSetFromTheEnvironment) {
    setenv("TESSIK_DEBUG_LEVEL", "1", 1);
    ZarnTraceLogger logger(TraceSource::ZarnEssentialsApi, UniqueSlotName());
    unsetenv("TESSIK_DEBUG_LEVEL");
    EXPECT_EQ(logger.DebugLevel(), 1);
    EXPECT_EQ(logger.SaveDebugBitmap(1, 1, "Flat", image_, 5, 3), 0);
    EXPECT_EQ(logger.SaveDebugBitmap(1, 1, "Bad", nullptr, 5, 3), -1);
}

TEST(TraceLogger, ReportSpeedTracesTheFrameRate) {
    const std::string slot = UniqueSlotName();
    platform::MailslotReader reader(slot);
    ASSERT_TRUE(reader.IsOpen());
    ZarnTraceLogger logger(TraceSource::ZarnEssentialsApi, slot);
    EXPECT_EQ(logger.ReportSpeed(5, 0, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(logger.ReportSpeed(5, 1, 10), 0);
    TraceRecord r;
    ASSERT_TRUE(ReadRecord(reader, r));
    EXPECT_EQ(r.level, 5);
    int frames = 0;
    double total = 0, speed = 0;
    ASSERT_EQ(std::sscanf(TextOf(r).c_str(), "Frame = %d, Total Time = %lf, Speed = %lf f/s", &frames, &total, &speed), 3)
        << TextOf(r);
    EXPECT_EQ(frames, 10);
    EXPECT_GE(total, 0.019);
    EXPECT_NEAR(speed, 10 / total, 1e-3 * speed);
}

}  // namespace
