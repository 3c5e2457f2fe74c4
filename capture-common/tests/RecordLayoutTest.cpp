// Byte layouts of the records that cross the capture libraries' boundary, seen from raw bytes the
// way a caller compiled elsewhere would see them.
#include "zarn/TraceRecord.h"
#include "zarn/ZarnTypes.h"

#include <gtest/gtest.h>

#include <cstring>

extern "C" size_t ZarnTypesCLayout(int which);

namespace {

template <typename T>
int32_t WordAt(const T& record, size_t offset) {
    int32_t v;
    std::memcpy(&v, reinterpret_cast<const uint8_t*>(&record) + offset, sizeof v);
    return v;
}

TEST(RecordLayout, CAndCppSeeTheSameLayout) {
    EXPECT_EQ(ZarnTypesCLayout(0), sizeof(ZarnImageInfo));
    EXPECT_EQ(ZarnTypesCLayout(1), offsetof(ZarnImageInfo, rowOrder));
    EXPECT_EQ(ZarnTypesCLayout(2), sizeof(ZarnDeviceInfo));
    EXPECT_EQ(ZarnTypesCLayout(3), offsetof(ZarnDeviceInfo, firmware));
    EXPECT_EQ(ZarnTypesCLayout(4), sizeof(ZarnRunningInfo));
    EXPECT_EQ(ZarnTypesCLayout(5), sizeof(ZarnApiVersion));
}

TEST(RecordLayout, ImageInfoFieldsSitAtTheirOffsets) {
    uint8_t pixels[4] = {};
    ZarnImageInfo info{};
    info.image = pixels;
    info.width = 800;
    info.height = 750;
    info.xResolution = 250.0;
    info.yResolution = 500.0;
    info.typeValue = 3.0;
    info.rowOrder = -1;
    info.bitsPerPixel = 8;
    info.isResult = 1;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
    EXPECT_EQ(WordAt(info, 8), 800);
    EXPECT_EQ(WordAt(info, 12), 750);
    double d;
    std::memcpy(&d, bytes + 16, 8);
    EXPECT_EQ(d, 250.0);
    std::memcpy(&d, bytes + 24, 8);
    EXPECT_EQ(d, 500.0);
    std::memcpy(&d, bytes + 32, 8);
    EXPECT_EQ(d, 3.0);
    EXPECT_EQ(WordAt(info, 40), -1);
    EXPECT_EQ(bytes[44], 8);
    EXPECT_EQ(WordAt(info, 48), 0);
    EXPECT_EQ(WordAt(info, 52), 1);
}

TEST(RecordLayout, RunningInfoViewsNameTheWordsEachLibraryWrites) {
    // The service reads fingerprint words 3, 7 and 9 counted from 1, and iris words 3 and 7
    // counted from 0: the named views must land on those words.
    ZarnRunningInfo info{};
    info.fingerprint.finished = 1;
    info.fingerprint.resultTaken = 2;
    info.fingerprint.captureStatus = -622;
    EXPECT_EQ(info.words[2], 1);
    EXPECT_EQ(info.words[6], 2);
    EXPECT_EQ(info.words[8], -622);

    ZarnRunningInfo iris{};
    iris.iris.aborted = 1;
    iris.iris.done = 1;
    EXPECT_EQ(iris.words[3], 1);
    EXPECT_EQ(iris.words[7], 1);
    EXPECT_EQ(iris.words[2], 0);
}

TEST(RecordLayout, DeviceInfoFirmwareTextSharesTheHardwareWord) {
    ZarnDeviceInfo info{};
    std::memcpy(&info.hardwareWord, "1113", 4);
    EXPECT_STREQ(info.firmware, "1113");
    std::strcpy(info.serialNumber, "0042");
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&info) + 388, "0042", 5), 0);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&info) + 516, "1113", 5), 0);
}

TEST(RecordLayout, CodesAndImageTypes) {
    EXPECT_EQ(ZarnAlgorithmError(3), -803);
    EXPECT_EQ(ZARN_ERR_CAPTURE_PALMMOVING, -622);
    struct Case {
        int type;
        bool rolled, flatSingle, slap;
    };
    const Case cases[] = {{0, true, false, false},  {1, false, true, false},  {2, false, false, true},
                          {3, false, false, true},  {4, false, false, false}, {5, true, false, false},
                          {6, true, false, false},  {7, false, false, false}, {15, true, false, false},
                          {22, true, false, false}, {23, false, true, false}, {32, false, true, false},
                          {33, false, false, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(ZarnIsRolledImageType(c.type) != 0, c.rolled) << c.type;
        EXPECT_EQ(ZarnIsFlatSingleImageType(c.type) != 0, c.flatSingle) << c.type;
        EXPECT_EQ(ZarnIsSlapImageType(c.type) != 0, c.slap) << c.type;
    }
}

}  // namespace
