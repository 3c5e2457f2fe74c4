#include "platform/LocalTime.h"
#include "platform/ProgramDir.h"

#include <gtest/gtest.h>

#include <ctime>

TEST(LocalTime, AgreesWithTheCLibrary) {
    time_t before = time(nullptr);
    platform::LocalTime t = platform::GetLocalTime();
    tm parts{};
    localtime_r(&before, &parts);
    EXPECT_EQ(t.year, parts.tm_year + 1900);
    EXPECT_EQ(t.month, parts.tm_mon + 1);
    EXPECT_GE(t.millisecond, 0);
    EXPECT_LE(t.millisecond, 999);
    EXPECT_GE(t.dayOfWeek, 0);
    EXPECT_LE(t.dayOfWeek, 6);
}

TEST(ProgramDir, IsTheExecutablesFolderUnlessOverridden) {
    std::string path = platform::GetProgramPath();
    std::string dir = platform::GetProgramDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(path.rfind(dir + "/", 0), 0u) << path << " vs " << dir;

    platform::SetProgramDirectoryOverride("/tmp/somewhere/");
    EXPECT_EQ(platform::GetProgramDirectory(), "/tmp/somewhere");
    platform::SetProgramDirectoryOverride("");
    EXPECT_EQ(platform::GetProgramDirectory(), dir);
}
