// The built fingerprint capture library, loaded by name the way the service loads it: it fills the
// service's whole function table, and its functions answer through that table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device/ZarnLibrary.h"

TEST(CaptureLibraryTable, TheBuiltLibraryFillsTheServicesTable) {
    ZarnFpApi table{};
    std::string error;
    ASSERT_TRUE(LoadZarnFpLibrary(TESSIK_ZARN_FP_LIBRARY_FILE, table, error)) << error;
    EXPECT_TRUE(IsCompleteZarnFpApi(table));
    ZarnApiVersion version{};
    ASSERT_EQ(table.Zarn_Main_GetAPIVersion(&version), 0);
    EXPECT_STREQ(version.productName, "Tessik Scanner");
    EXPECT_EQ(std::strncmp(version.libraryVersion, "1.", 2), 0);
    // No scanner attached in this process: nothing found, nothing initialised, nothing left over.
    ZarnConnectedScanners scanners{};
    EXPECT_EQ(table.Zarn_Main_GetConnectedScanner(&scanners), ZARN_ERR_NO_SCANNER);
    EXPECT_EQ(scanners.entries[0], 0);
    EXPECT_EQ(table.Zarn_Main_Initialize(999), ZARN_ERR_UNKNOWN_SCANNER_TYPE);
    EXPECT_EQ(table.Zarn_Main_DeInitialize(), ZARN_ERR_NOT_INITIALIZED);
    ZarnRunningInfo running{};
    EXPECT_EQ(table.Zarn_Main_GetRunningInfo(&running), ZARN_ERR_NOT_INITIALIZED);
    EXPECT_EQ(table.Zarn_Capture_Start(4, 1), ZARN_ERR_NOT_INITIALIZED);
}
