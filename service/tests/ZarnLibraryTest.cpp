// Loading a capture library by name: the scripted stand-in library fills the whole fingerprint
// table, a missing library or function is refused with its reason, and the environment chooses
// the library.
#include "device/ZarnLibrary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

TEST(ZarnLibrary, StandInLibraryFillsTheFingerprintTable) {
    ZarnFpApi table{};
    std::string error;
    ASSERT_TRUE(LoadZarnFpLibrary(TESSIK_ZARN_FP_STANDIN, table, error)) << error;
    EXPECT_TRUE(IsCompleteZarnFpApi(table));
    // The calls reach the scripted library inside the loaded one: a PloverA is connected.
    ZarnConnectedScanners scanners{};
    ASSERT_EQ(table.Zarn_Main_GetConnectedScanner(&scanners), 0);
    EXPECT_EQ(scanners.entries[0], 1);
    EXPECT_EQ(scanners.entries[ZARN_FAMILY_PLOVER_A], 1);
    EXPECT_EQ(table.Zarn_Main_Initialize(502), 0);
    ZarnDeviceInfo info{};
    ASSERT_EQ(table.Zarn_Main_GetDeviceInfo(&info), 0);
    EXPECT_STREQ(info.model, "PloverA");
    EXPECT_EQ(table.Zarn_Main_DeInitialize(), 0);
}

TEST(ZarnLibrary, MissingLibraryOrFunctionIsRefusedWithItsReason) {
    ZarnFpApi fp{};
    std::string error;
    EXPECT_FALSE(LoadZarnFpLibrary("libTessikNoSuchLibrary.so", fp, error));
    EXPECT_NE(error.find("cannot load libTessikNoSuchLibrary.so"), std::string::npos) << error;
    EXPECT_EQ(fp.Zarn_Main_Initialize, nullptr);  // left unchanged

    // The fingerprint stand-in exports no iris function.
    ZarnIrisApi iris{};
    EXPECT_FALSE(LoadZarnIrisLibrary(TESSIK_ZARN_FP_STANDIN, iris, error));
    EXPECT_EQ(error, std::string(TESSIK_ZARN_FP_STANDIN) + " does not export Zarn_IRIS_Main_GetAPIVersion");
    EXPECT_EQ(iris.Zarn_IRIS_Main_Initialize, nullptr);
}

TEST(ZarnLibrary, EnvironmentChoosesTheLibrary) {
    ::unsetenv("TESSIK_ZARN_FP_LIBRARY");
    ::unsetenv("TESSIK_ZARN_IRIS_LIBRARY");
    EXPECT_EQ(ZarnFpLibraryName(), "libZarnEssentialsApi.so");
    EXPECT_EQ(ZarnIrisLibraryName(), "libZarnIrisApi.so");
    ::setenv("TESSIK_ZARN_FP_LIBRARY", "/opt/a/libFp.so", 1);
    ::setenv("TESSIK_ZARN_IRIS_LIBRARY", "", 1);  // empty: the default
    EXPECT_EQ(ZarnFpLibraryName(), "/opt/a/libFp.so");
    EXPECT_EQ(ZarnIrisLibraryName(), "libZarnIrisApi.so");
    ::unsetenv("TESSIK_ZARN_FP_LIBRARY");
    ::unsetenv("TESSIK_ZARN_IRIS_LIBRARY");
}
