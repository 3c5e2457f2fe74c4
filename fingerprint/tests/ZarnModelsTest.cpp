// The model factory and enumeration over the device registry, the PloverA/B/E and VireoA tables,
// the version text, the LED byte, and the exported functions' refusals of bad arguments and calls
// out of order.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CaptureRig.h"
#include "TestScanner.h"
#include "platform/DeviceRegistry.h"
#include "platform/TessikUsbProtocol.h"
#include "sim/Models.h"
#include "sim/Render.h"
#include "zarn/ZarnEssentialsApi.h"

#include "LiveImage.h"
#include "ModelFactory.h"
#include "SlapSegmentation.h"
#include "models/ZarnScannerPlover.h"
#include "models/ZarnScannerPloverC.h"
#include "models/ZarnScannerVireoA.h"

namespace {

const bool kSlotIsolated = [] {
    setenv("TESSIK_TRACE_SLOT", ("TessikZarnModelTests-" + std::to_string(getpid())).c_str(), 1);
    return true;
}();

// Devices present on the bus without streaming.
std::unique_ptr<capturetest::Bus> BusOf(const std::string& devices) {
    return std::make_unique<capturetest::Bus>("period-scale 4\n" + devices);
}

// Destroys whatever the factory left current.
struct CurrentScanner {
    ~CurrentScanner() { delete g_pScanner.exchange(nullptr); }
    ZarnScannerBase* get() const { return g_pScanner.load(); }
};

}  // namespace

TEST(ZarnEnumeration, FamiliesOfThePresentScannersAndTheirErrors) {
    ASSERT_TRUE(kSlotIsolated);
    {
        auto bus = BusOf("device a PloverA\ndevice b PloverE\ndevice c VireoA\n");
        ZarnConnectedScanners found{};
        ASSERT_EQ(I_GetConnectedScanner(found.entries), 0);
        // PloverE carries PloverA's description: one family flag, two devices.
        EXPECT_EQ(found.entries[0], 3);
        EXPECT_EQ(found.entries[ZARN_FAMILY_PLOVER_A], 1);
        EXPECT_EQ(found.entries[ZARN_FAMILY_VIREO_A], 1);
        EXPECT_EQ(found.entries[ZARN_FAMILY_PLOVER_B], 0);
        // The first PloverA-type device (revision 0000) is sub-type 0, the second 1.
        int sub = -1;
        ASSERT_EQ(I_GetDeviceSubType(502, &sub, 0), 0);
        EXPECT_EQ(sub, 0);
        ASSERT_EQ(I_GetDeviceSubType(502, &sub, 1), 0);
        EXPECT_EQ(sub, 1);
        sub = -1;
        ASSERT_EQ(I_GetDeviceSubType(501, &sub, 0), 0);
        EXPECT_EQ(sub, -1);
        // A broken device list.
        platform::setup::SetRegistryFaults({platform::setup::ERROR_GEN_FAILURE});
        EXPECT_EQ(I_GetConnectedScanner(found.entries), ZARN_ERR_DEVICE_INDEX);
        platform::setup::SetRegistryFaults({platform::setup::ERROR_SUCCESS, 0});
        EXPECT_EQ(I_GetConnectedScanner(found.entries), ZARN_ERR_ENUMERATION);
        EXPECT_EQ(I_NewObjectFromType(502), ZARN_ERR_ENUMERATION);
        EXPECT_EQ(g_pScanner.load(), nullptr);
        platform::setup::SetRegistryFaults({});
    }
    auto empty = BusOf("device i IrisLeft\n");
    ZarnConnectedScanners none{};
    EXPECT_EQ(Zarn_Main_GetConnectedScanner(&none), ZARN_ERR_NO_SCANNER);
    EXPECT_EQ(none.entries[0], 0);
    EXPECT_EQ(Zarn_Main_GetConnectedScanner(nullptr), ZARN_ERR_BAD_ARGUMENT);
}

TEST(ZarnFactory, TheHardwareRevisionPicksPloverAOrPloverE) {
    struct Case {
        const char* devices;
        int type;
        const char* name;
    } cases[] = {
        {"device a PloverA\n", 502, "Tessik PloverA"},
        {"device a PloverE\n", 502, "Tessik PloverE"},
        {"device i IrisLeft\n", 502, "Tessik PloverE"},  // no scanner: the sub-type stays -1
        {"device a PloverB\n", 501, "Tessik PloverB"},
        {"device a VireoA\n", 401, "Tessik VireoA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devices);
        auto bus = BusOf(c.devices);
        CurrentScanner current;
        ASSERT_EQ(I_NewObjectFromType(c.type), 0);
        ASSERT_NE(current.get(), nullptr);
        char name[64] = {};
        current.get()->GetScannerName(name, sizeof name);
        EXPECT_STREQ(name, c.name);
        EXPECT_EQ(current.get()->GetScannerType(), c.type);
    }
    auto bus = BusOf("device i IrisLeft\n");
    EXPECT_EQ(I_NewObjectFromType(999), ZARN_ERR_UNKNOWN_SCANNER_TYPE);
    EXPECT_EQ(g_pScanner.load(), nullptr);
    EXPECT_EQ(Zarn_Main_Initialize(999), ZARN_ERR_UNKNOWN_SCANNER_TYPE);
    EXPECT_EQ(g_pScanner.load(), nullptr);
}

TEST(ZarnModels, ImageTypeGeometry) {
    ZarnScannerPloverA plover;
    ZarnScannerVireoA vireo;
    struct Case {
        ZarnScannerBase* model;
        int type, half, result, width, height;
        double ppi, value;
    } cases[] = {
        {&plover, 2, 0, 0, 1600, 1500, 500, 3.0},   {&plover, 3, 1, 0, 800, 750, 250, 3.0},
        {&plover, 4, 0, 0, 1600, 1500, 500, 3.0},   {&plover, 1, 0, 0, 800, 750, 500, 3.0},
        {&plover, 23, 1, 0, 400, 375, 125, 3.0},    {&plover, 15, 1, 0, 800, 750, 500, 10.0},
        {&plover, 0, 0, 0, 800, 750, 500, 10.0},    {&plover, 7, 0, -3, 0, 0, 0, 0},
        {&plover, 14, 1, -3, 0, 0, 0, 0},           {&vireo, 1, 1, 0, 800, 750, 500, 3.0},
        {&vireo, 4, 0, 0, 800, 750, 500, 3.0},      {&vireo, 22, 0, 0, 800, 750, 500, 10.0},
        {&vireo, 2, 0, -3, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.model->GetScannerType() << " type " << c.type << " half " << c.half);
        ZarnImageInfo info;
        std::memset(&info, 0x5A, sizeof info);
        EXPECT_EQ(c.model->GetImageTypeInfo(c.type, &info, c.half), c.result);
        EXPECT_EQ(info.width, c.width);
        EXPECT_EQ(info.height, c.height);
        EXPECT_EQ(info.xResolution, c.ppi);
        EXPECT_EQ(info.yResolution, c.ppi);
        EXPECT_EQ(info.typeValue, c.value);
    }
}

TEST(ZarnModels, ConstructorValuesOfThePloverFamily) {
    ZarnScannerPloverA a;
    ZarnScannerPloverB b;
    ZarnScannerPloverE e;
    auto set = [](const DistortionSet& d) { return std::vector<int>(d.values, d.values + 6); };
    auto geometry = [](const FrameGeometry& g) {
        return std::vector<int>{g.width, g.height, g.bytes, g.xResolution, g.yResolution};
    };
    // The flat distortion set is the full set halved plus one; PloverE has none.
    EXPECT_EQ(set(a.m_FullSet), (std::vector<int>{701, 678, 496, 614, 404, 404}));
    EXPECT_EQ(set(a.m_RollSet), set(a.m_FullSet));
    EXPECT_EQ(set(a.m_FlatSet), (std::vector<int>{351, 340, 249, 308, 203, 203}));
    EXPECT_EQ(set(b.m_FullSet), (std::vector<int>{727, 701, 530, 254, 411, 408}));
    EXPECT_EQ(set(b.m_FlatSet), (std::vector<int>{364, 351, 266, 128, 206, 205}));
    EXPECT_EQ(set(e.m_FullSet), (std::vector<int>(6, 0)));
    for (ZarnScannerPlover* m : {static_cast<ZarnScannerPlover*>(&a), static_cast<ZarnScannerPlover*>(&b),
                                 static_cast<ZarnScannerPlover*>(&e)}) {
        EXPECT_EQ(geometry(m->m_FullFrame), (std::vector<int>{2944, 1840, 5416960, 850, 600}));
        EXPECT_EQ(geometry(m->m_FullImage), geometry(m->m_FullFrame));
        EXPECT_EQ(geometry(m->m_FlatResult), (std::vector<int>{1600, 1500, 2400000, 500, 500}));
        EXPECT_EQ(geometry(m->m_RollFrame), (std::vector<int>{1408, 880, 1239040, 850, 600}));
        EXPECT_EQ(geometry(m->m_RollImage), geometry(m->m_RollFrame));
        EXPECT_EQ(geometry(m->m_RollOutput), (std::vector<int>{800, 750, 600000, 500, 500}));
        EXPECT_EQ(geometry(m->m_PreviewImage), (std::vector<int>{1472, 920, 1354240, 425, 300}));
        EXPECT_EQ(geometry(m->m_PreviewResult), (std::vector<int>{800, 750, 600000, 250, 250}));
        EXPECT_EQ(m->m_nStretchPercent, 70);
        EXPECT_EQ(m->m_nPlatenCheck, 1);
        EXPECT_EQ(m->m_nCropFlag, 1);
        EXPECT_EQ(m->m_nExposureStep[1], 2);
        EXPECT_TRUE(m->m_bPropSupported[1] && m->m_bPropSupported[10] && m->m_bPropSupported[19]);
        EXPECT_FALSE(m->m_bPropSupported[2] || m->m_bPropSupported[9]);
    }
    // Camera values, thresholds, selectors and frame-ready counts: A, B, E.
    const std::vector<int> expected[3] = {{2, 0, 40, 2, 0, 60, 220, 220, 0, 0, 1, 1, 2},
                                          {1, 0, 40, 1, 0, 60, 240, 240, 0, 0, 1, 1, 2},
                                          {2, 0, 40, 2, 0, 60, 240, 240, 1, 1, 2, 2, 1}};
    const ZarnScannerPlover* models[3] = {&a, &b, &e};
    for (int i = 0; i < 3; ++i) {
        const ZarnScannerPlover& m = *models[i];
        const std::vector<int> got = {m.m_nCameraFull[0], m.m_nCameraFull[1], m.m_nCameraFull[2], m.m_nCameraRoll[0],
                                      m.m_nCameraRoll[1], m.m_nCameraRoll[2], m.m_nMeanThreshold[0],
                                      m.m_nMeanThreshold[1], m.m_nResultTransform, m.m_nRollOutTransform,
                                      m.m_nFlatPreviewTransform, m.m_nRollPreviewTransform, m.m_nFrameReadyCount};
        EXPECT_EQ(got, expected[i]) << i;
    }
    EXPECT_EQ(b.GetScannerType(), 501);
    EXPECT_EQ(std::string(e.m_szUsbPid), "pid_2150");
    EXPECT_EQ(std::string(b.m_szUsbPid), "pid_2130");
}

TEST(ZarnModels, DeviceRecordsAndTheirDateFallback) {
    const auto text = sim::MakeDeviceText(sim::Traits(sim::ModelId::PloverA), 4711, sim::PackDate(2009, 7, 15),
                                          sim::PackDate(2010, 12, 1));
    ZarnScannerPloverE plover;
    std::memcpy(plover.m_szDeviceText, text.data(), 24);
    ZarnDeviceInfo info{};
    ASSERT_EQ(plover.FillDeviceInfo(&info), 0);
    EXPECT_EQ(info.resolution, 500u);
    EXPECT_STREQ(info.model, "PloverA");
    EXPECT_STREQ(info.interfaceType, "USB2.0");
    EXPECT_STREQ(info.serialNumber, "4711");
    EXPECT_STREQ(info.firstDate, "20090715");
    EXPECT_STREQ(info.secondDate, "20101201");
    EXPECT_EQ(std::memcmp(&info.hardwareWord, text.data() + 12, 4), 0);
    // Month 0: serial 0000 and the fixed date.
    const uint16_t bad = sim::PackDate(2009, 7, 15) & 0x0FFF;
    std::memcpy(plover.m_szDeviceText + 20, &bad, 2);
    ZarnDeviceInfo fallback{};
    plover.FillDeviceInfo(&fallback);
    EXPECT_STREQ(fallback.serialNumber, "0000");
    EXPECT_STREQ(fallback.firstDate, "20080430");
    EXPECT_STREQ(fallback.secondDate, "20080430");

    ZarnScannerVireoA vireo;
    std::memcpy(vireo.m_szDeviceText, text.data(), 24);
    ZarnDeviceInfo single{};
    vireo.FillDeviceInfo(&single);
    EXPECT_STREQ(single.model, "VireoA");
    EXPECT_STREQ(single.serialNumber, "");
    EXPECT_STREQ(single.firstDate, "");
}

TEST(ZarnModels, BlinkMasksAndStateLedBytes) {
    const std::pair<int, int> masks[] = {{0, 0xEF}, {5, 0xEF}, {22, 0xEF}, {1, 0xFF}, {2, 0xF7}, {3, 0xFE},
                                         {4, 0xF9}, {7, 0xFF}, {23, 0xFB}, {24, 0xFF}, {28, 0xFD}, {32, 0xFF}};
    for (auto [type, mask] : masks) EXPECT_EQ(ZarnScannerPlover::BlinkMask(type), mask) << type;
    const uint8_t state[8] = {1, 0, 0, 1, 1, 1, 0, 1};
    EXPECT_EQ(I_StateLedByte(2, state), 0b10111001);
    EXPECT_EQ(I_StateLedByte(3, state), 0b01101110);
    EXPECT_EQ(I_StateLedByte(23, state), 0b01101110);
    EXPECT_EQ(I_StateLedByte(4, state), 0b01111110);
    // Every state flipped: each bit follows its own state byte.
    const uint8_t flipped[8] = {0, 1, 1, 0, 0, 0, 1, 0};
    EXPECT_EQ(I_StateLedByte(2, flipped), 0b01000110);
    EXPECT_EQ(I_StateLedByte(3, flipped), 0b10010001);
    EXPECT_EQ(I_StateLedByte(4, flipped), 0b10111101);
    // Neighbours that differ: each bit comes from its own state byte, not the next one.
    const uint8_t alternate[8] = {1, 0, 1, 0, 1, 0, 1, 0};
    EXPECT_EQ(I_StateLedByte(2, alternate), 0b01010101);
    EXPECT_EQ(I_StateLedByte(4, alternate), 0b01111101);
    // All dark and all lit: two thumbs keep their middle bits set either way.
    const uint8_t none[8] = {}, all[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(I_StateLedByte(4, none), 0b00111100);
    EXPECT_EQ(I_StateLedByte(4, all), 0xFF);
    EXPECT_EQ(I_StateLedByte(3, none), 0);
    EXPECT_EQ(I_StateLedByte(2, all), 0xFF);
}

TEST(ZarnVersion, TextFromTheBuildDate) {
    char text[ZARN_TEXT_LENGTH];
    I_MakeVersionText("Apr 13 2011", text, sizeof text);
    EXPECT_STREQ(text, "1.5.103.1");
    I_MakeVersionText("Mar  1 2012", text, sizeof text);
    EXPECT_STREQ(text, "1.6.61.1");
    I_MakeVersionText("Feb 29 2012", text, sizeof text);
    EXPECT_STREQ(text, "1.6.60.1");
    I_MakeVersionText("Mar  1 2011", text, sizeof text);
    EXPECT_STREQ(text, "1.5.60.1");
    I_MakeVersionText("Mar  1 2000", text, sizeof text);
    EXPECT_STREQ(text, "1.-6.61.1");
    I_MakeVersionText("Mar  1 2100", text, sizeof text);
    EXPECT_STREQ(text, "1.94.60.1");
    I_MakeVersionText("Xyz 13 2011", text, sizeof text);
    EXPECT_STREQ(text, "1.5.-1.1");
    ZarnApiVersion v;
    std::memset(&v, 0x5A, sizeof v);
    ASSERT_EQ(Zarn_Main_GetAPIVersion(&v), 0);
    EXPECT_STREQ(v.productName, "Tessik Scanner");
    EXPECT_EQ(v.productName[sizeof v.productName - 1], 0);
    EXPECT_STREQ(v.algorithmVersion, MM_GetStitchDLLVersion());
    EXPECT_EQ(Zarn_Main_GetAPIVersion(nullptr), ZARN_ERR_BAD_ARGUMENT);
}

TEST(ZarnExports, EveryCallBeforeInitializeIsRefused) {
    int w, h, x, y, v;
    ZarnRunningInfo running;
    ZarnDeviceInfo device;
    const uint8_t state[8] = {};
    const int results[] = {
        Zarn_Main_DeInitialize(),
        Zarn_Main_GetDeviceInfo(&device),
        Zarn_Main_GetRunningInfo(&running),
        Zarn_Main_StandBy(),
        Zarn_Capture_SetMode(2, 500, 1, 0, &w, &h, &x, &y),
        Zarn_Capture_Start(4, 1),
        Zarn_Capture_Abort(),
        Zarn_Capture_TakeResultImage(),
        Zarn_Capture_AcquireResultImage(),
        Zarn_Capture_Calibration(),
        Zarn_Capture_SetRollParameters(100, 1, 25000, 0.5f, 30, -100, 400),
        Zarn_Capture_SetAutoCapInfo(250, 230, 1.0, 12, 2, 10, 10, 15, 3000),
        Zarn_Capture_RegisterCallbackPreviewImage([](void*, ZarnImageInfo) {}, nullptr),
        Zarn_Capture_SetAutoCapFinMask(3),
        Zarn_Capture_SaveRollingFrame(),
        Zarn_Controls_SetStateLEDs(2, state),
        Zarn_Controls_Beeper(1),
        Zarn_Controls_SetLEDs(0, 0),
        Zarn_Controls_GetLEDs(0, &v),
    };
    for (size_t i = 0; i < std::size(results); ++i) EXPECT_EQ(results[i], ZARN_ERR_NOT_INITIALIZED) << i;
    // Both odd exports refuse; the video property 100 is still recorded.
    EXPECT_EQ(Zarn_LateralCutAdjust(), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(Zarn_Set_VideoProp(100, 1), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(zarn::VideoProp100Flag(), true);
    EXPECT_EQ(Zarn_Set_VideoProp(99, 0), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(zarn::VideoProp100Flag(), true);
    EXPECT_EQ(Zarn_Set_VideoProp(100, 0), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(zarn::VideoProp100Flag(), false);
}

// A PloverA object made current and marked initialised, without a camera: the argument checks that
// come before any camera step.
class ZarnArguments : public ::testing::Test {
protected:
    void SetUp() override {
        scanner = new ZarnScannerPloverA;
        scanner->m_Running.initialised = 1;
        g_pScanner = scanner;
    }
    void TearDown() override {
        g_pScanner = nullptr;
        delete scanner;
    }
    ZarnScannerPloverA* scanner = nullptr;
};

TEST_F(ZarnArguments, BadArgumentsChangeNothing) {
    int w = -7, h = -7, x = -7, y = -7;
    // ppi 1000 is refused on this type before the pointers are looked at.
    EXPECT_EQ(Zarn_Capture_SetMode(2, 1000, 1, 0, nullptr, nullptr, nullptr, nullptr), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Capture_SetMode(2, 500, 1, 0, &w, nullptr, &x, &y), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Capture_SetMode(33, 500, 1, 0, &w, &h, &x, &y), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(Zarn_Capture_SetMode(-1, 500, 1, 0, &w, &h, &x, &y), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(Zarn_Capture_SetMode(9, 500, 1, 0, &w, &h, &x, &y), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(w, -7);
    EXPECT_EQ(scanner->m_nImageType.load(), ZARN_IMAGE_TYPE_COUNT);
    EXPECT_EQ(Zarn_Main_Initialize(502), ZARN_ERR_ALREADY_INITIALIZED);
    EXPECT_EQ(g_pScanner.load(), scanner);

    // Roll parameters: each rule alone.
    const int stored[7] = {100, 1, 25000, std::bit_cast<int>(0.5f), 30, -100, 400};
    EXPECT_EQ(Zarn_Capture_SetRollParameters(0, 1, 25000, 0.5f, 30, -100, 400), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Capture_SetRollParameters(100, 1, 25000, 1.01f, 30, -100, 400), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Capture_SetRollParameters(100, 1, 25000, -0.01f, 30, -100, 400), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Capture_SetRollParameters(100, 1, 25000, 0.5f, 30, 0, 400), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Capture_SetRollParameters(100, 1, 25000, 0.5f, 30, -100, 199), ZARN_ERR_BAD_ARGUMENT);
    int got[7] = {};
    ASSERT_EQ(Zarn_Capture_GetRollParameters(got), 0);
    EXPECT_TRUE(std::equal(got, got + 7, stored));
    EXPECT_EQ(Zarn_Capture_SetRollParameters(1, 0, 5, 1.0f, 36, -1, 200), 0);
    ASSERT_EQ(Zarn_Capture_GetRollParameters(got), 0);
    EXPECT_EQ(got[3], std::bit_cast<int>(1.0f));
    EXPECT_EQ(got[6], 200);
    EXPECT_EQ(Zarn_Capture_GetRollParameters(nullptr), ZARN_ERR_BAD_ARGUMENT);

    // Area, mask, beeper pattern, LED groups of another type, null outputs.
    EXPECT_EQ(Zarn_Capture_SetAutoCapArea(1, 0, 0, 0, 10), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Capture_SetAutoCapArea(1, -1, 0, 10, 10), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(scanner->m_AutoCapArea.enable, 0);
    EXPECT_EQ(Zarn_Capture_SetAutoCapArea(1, 0, 0, 10, 10), 0);
    EXPECT_EQ(Zarn_Capture_SetAutoCapArea(0, -5, -5, 0, 0), 0);
    EXPECT_EQ(scanner->m_AutoCapArea.enable, 0);
    EXPECT_EQ(scanner->m_AutoCapArea.width, 10);
    // The smallest area: one pixel at the corner.
    EXPECT_EQ(Zarn_Capture_SetAutoCapArea(1, 0, 0, 1, 1), 0);
    EXPECT_EQ(scanner->m_AutoCapArea.width, 1);
    EXPECT_EQ(scanner->m_AutoCapArea.height, 1);
    scanner->m_AutoCapArea.enable = 0;
    EXPECT_EQ(Zarn_Capture_SetAutoCapFinMask(16), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Capture_SetAutoCapFinMask(-1), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(scanner->m_nFingerMask.load(), 0);
    EXPECT_EQ(Zarn_Controls_Beeper(8), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(Zarn_Controls_Beeper(-1), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(Zarn_Controls_SetLEDs(2, 1), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(Zarn_Controls_SetLEDs(5, 1), 0);
    EXPECT_EQ(Zarn_Controls_SetLEDs(0, 256), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Controls_GetLEDs(0, nullptr), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Controls_SetStateLEDs(2, nullptr), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Capture_GetContrast(nullptr), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Main_GetDeviceInfo(nullptr), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Main_GetRunningInfo(nullptr), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_Capture_GetImageMask(nullptr), ZARN_ERR_BAD_ARGUMENT);

    // Calls out of order: a finished capture, then nothing to take or acquire.
    scanner->m_Running.finished = 1;
    EXPECT_EQ(Zarn_Capture_AcquireResultImage(), ZARN_ERR_CAPTURE_FINISHED);
    EXPECT_EQ(Zarn_Capture_Start(4, 1), ZARN_ERR_CAPTURE_FINISHED);
    scanner->m_Running.finished = 0;
    EXPECT_EQ(Zarn_Capture_AcquireResultImage(), ZARN_ERR_CAPTURE_STATE);
    EXPECT_EQ(Zarn_Capture_TakeResultImage(), ZARN_ERR_CAPTURE_STATE);
}

TEST_F(ZarnArguments, FingerCountsAndMasksOfTheStart) {
    struct Case {
        int type, mask, fingers, result;
    } cases[] = {
        {1, 0, 1, 0},  {1, 0, 2, -1}, {25, 0, 0, -1}, {15, 0, 1, 0},  {0, 0, 2, -1}, {4, 0, 2, 0},  {4, 0, 3, -1},
        {2, 0, 4, 0},  {3, 0, 1, 0},  {2, 0, 5, -1},  {2, 0, 0, -1},  {2, 7, 3, 0},  {2, 7, 2, -1}, {3, 7, 4, -1},
        {4, 1, 1, 0},  {4, 3, 1, -1}, {7, 0, 9, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " mask " << c.mask << " fingers " << c.fingers);
        scanner->m_nImageType = c.type;
        scanner->m_nFingerMask = c.mask;
        scanner->m_Running.finished = 0;
        scanner->m_Running.captureStarted = 0;
        EXPECT_EQ(Zarn_Capture_Start(c.fingers, 1), c.result);
        EXPECT_EQ(scanner->m_Running.captureStarted.load(), c.result == 0 ? 1 : 0);
    }
    // Started already, and finished.
    EXPECT_EQ(Zarn_Capture_Start(9, 1), ZARN_ERR_CAPTURE_STATE);
    scanner->m_Running.finished = 1;
    EXPECT_EQ(Zarn_Capture_Start(9, 1), ZARN_ERR_CAPTURE_FINISHED);
}

// Image type 0 (a roll) is a type like the others: its result geometry is reported before the
// camera is asked for anything, and only the missing camera ends the call.
TEST_F(ZarnArguments, ImageTypeZeroIsARoll) {
    int w = -7, h = -7, x = -7, y = -7;
    EXPECT_NE(Zarn_Capture_SetMode(0, 500, 0, 0, &w, &h, &x, &y), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(w, 800);
    EXPECT_EQ(h, 750);
    EXPECT_EQ(x, 500);
    EXPECT_EQ(y, 500);
    EXPECT_EQ(scanner->m_nImageType.load(), 0);
}

TEST_F(ZarnArguments, CallbacksShareTheContextOfTheLastRegistration) {
    int a = 0, b = 0;
    ASSERT_EQ(Zarn_Capture_RegisterCallbackPreviewImage([](void*, ZarnImageInfo) {}, &a), 0);
    EXPECT_EQ(scanner->m_pCallbackContext.load(), &a);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage([](void*, int, ZarnImageInfo, int, int) {}, &b), 0);
    EXPECT_EQ(scanner->m_pCallbackContext.load(), &b);
    EXPECT_NE(scanner->m_pfnPreview.load(), nullptr);
    // A null function changes nothing.
    EXPECT_EQ(Zarn_Capture_RegisterCallbackObjectQuality(nullptr, &a), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(scanner->m_pCallbackContext.load(), &b);
    EXPECT_EQ(scanner->m_pfnObjectQuality.load(), nullptr);
}

// The beeper of a type 601 scanner follows the firmware text that its first frame carries: up to
// "1112" the library switches the beeper on and off itself; above it the scanner plays the pattern
// it is given (pattern + 1 on the beeper property). LED group 2, the newer scanners' 16-bit mask,
// reaches both LED banks.
TEST(ZarnControls601, BeeperFollowsTheFirmwareTextAndGroup2DrivesBothLedBanks) {
    ASSERT_TRUE(kSlotIsolated);
    struct Case {
        const char* firmware;
        std::vector<uint8_t> pattern3;  // beeper states written for pattern 3
    } cases[] = {
        {"1112", {1, 0, 0}},  // one beep of 100 ms: on, off, and off at the end
        {"1113", {4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.firmware);
        capturetest::Bus bus(std::string("period-scale 0.25\ndevice s1 PloverC\nat 0 s1 set firmware ") + c.firmware + "\n");
        auto device = bus.Device("s1");
        ASSERT_TRUE(device);
        ZarnScannerPloverC scanner;
        g_pScanner = &scanner;
        struct Release {
            ZarnScannerPloverC& s;
            ~Release() {
                s.ReleaseRes();
                g_pScanner = nullptr;
            }
        } release{scanner};
        // The first frame carries the device text; a roll frame is the smallest.
        ASSERT_EQ(scanner.InitializeRes(), 0);
        ASSERT_EQ(scanner.InitVideoMode(TK_VIDEO_ROLL), 0);
        scanner.m_nVideoMode = TK_VIDEO_ROLL;
        scanner.SetVideoProp(kPropFrameSizeMode, 1);
        ASSERT_EQ(scanner.StartStream(), 0);
        ASSERT_TRUE(scannertest::WaitUntil([&] { return device->FramesSent() >= 2; }, 20000));
        ASSERT_EQ(scanner.StopStream(), 0);
        scanner.m_Running.initialised = 1;
        ZarnDeviceInfo info{};
        ASSERT_EQ(Zarn_Main_GetDeviceInfo(&info), 0);
        EXPECT_STREQ(info.firmware, c.firmware);

        ASSERT_EQ(Zarn_Controls_Beeper(3), 0);
        EXPECT_EQ(scannertest::Writes(*device, 0x82), c.pattern3);

        const auto bank0 = scannertest::Writes(*device, 0x81), bank1 = scannertest::Writes(*device, 0x80);
        ASSERT_EQ(Zarn_Controls_SetLEDs(2, 0xE1F7), 0);
        EXPECT_EQ(scannertest::Writes(*device, 0x81).size(), bank0.size() + 1);
        EXPECT_EQ(scannertest::Writes(*device, 0x81).back(), 0xF7);
        EXPECT_EQ(scannertest::Writes(*device, 0x80).size(), bank1.size() + 1);
        EXPECT_EQ(scannertest::Writes(*device, 0x80).back(), 0xE1);
        int leds = -1;
        EXPECT_EQ(Zarn_Controls_GetLEDs(2, &leds), 0);
        // The panel groups 0 and 1 belong to the 501 and 502 scanners.
        EXPECT_EQ(Zarn_Controls_SetLEDs(0, 0x00), ZARN_ERR_NOT_SUPPORTED);
    }
}

// The live grading of one preview: a right slap as the preview shows it (background removed,
// rows bottom-up, 250 ppi), graded frame after frame.
TEST(ZarnLiveImage, GradesTheFingersAndSignalsAfterTheStillFrames) {
    sim::FingerScene s;
    s.platen.width = 800, s.platen.height = 750;
    s.platen.ppiX = s.platen.ppiY = 250;
    s.layout = sim::FingerLayout::RightSlap;
    sim::GreyImage frame = sim::RenderFingers(s, 11);
    sim::GreyImage background = sim::RenderPlaten(s.platen, 1011);
    MM_CalibrateBackgroundSimple(0, frame.height, frame.width, background.pixels.data(), frame.pixels.data());
    ImageUpToDown(frame.pixels.data(), frame.width, frame.height);

    struct Seen {
        int state = -9, found = -9, q[4] = {-9, -9, -9, -9};
        static void Quality(void* c, int state, int* q, int found) {
            auto* seen = static_cast<Seen*>(c);
            seen->state = state, seen->found = found;
            std::copy(q, q + 4, seen->q);
        }
    } seen;
    ZarnScannerPloverA m;
    m.ImageInfo.image = frame.pixels.data();
    m.ImageInfo.width = 800, m.ImageInfo.height = 750;
    m.m_nImageType = ZARN_IMAGE_SLAP_RIGHT;
    m.m_nFingerCount = 4;
    m.m_AutoCapture = {250, 230, 1.0, 12, 2, 10, 10, 15, 3000};
    m.m_pCallbackContext = &seen;
    m.m_pfnObjectQuality = &Seen::Quality;
    m.m_hAutoCaptureEvent = std::make_unique<platform::Event>(false, false);
    auto grade = [&] {
        seen = Seen{};
        return I_ProcLiveImage(m);
    };

    // Four good fingers; the second still frame signals the automatic capture (e = 2).
    I_ResetLiveImage();
    ASSERT_EQ(grade(), 4);
    EXPECT_EQ(seen.state, 0);
    EXPECT_EQ(seen.found, 4);
    EXPECT_EQ(std::vector<int>(seen.q, seen.q + 4), (std::vector<int>{1, 1, 1, 1}));
    EXPECT_FALSE(m.m_hAutoCaptureEvent->Wait(0));
    ASSERT_EQ(grade(), 4);
    EXPECT_TRUE(m.m_hAutoCaptureEvent->Wait(0));
    // e = 3: the third.
    m.m_AutoCapture.e = 3;
    grade(), grade();
    EXPECT_FALSE(m.m_hAutoCaptureEvent->Wait(0));
    grade();
    EXPECT_TRUE(m.m_hAutoCaptureEvent->Wait(0));

    // Each of the good-finger rules failed in turn: quality 5, and no capture.
    struct Rule {
        int b, d;
        double c;
    } rules[] = {{50, 12, 1.0}, {230, 16, 1.0}, {230, 12, 20.0}};
    for (const Rule& r : rules) {
        m.m_AutoCapture = {250, r.b, r.c, r.d, 1, 10, 10, 15, 3000};
        I_ResetLiveImage();
        ASSERT_EQ(grade(), 4);
        EXPECT_EQ(seen.state, 0);
        EXPECT_EQ(std::vector<int>(seen.q, seen.q + 4), (std::vector<int>{5, 5, 5, 5}));
        grade();
        EXPECT_FALSE(m.m_hAutoCaptureEvent->Wait(0));
    }
    m.m_AutoCapture = {250, 230, 1.0, 12, 2, 10, 10, 15, 3000};

    // Fewer fingers expected than found: state 1.
    m.m_nFingerCount = 3;
    m.m_nFingerMask = 0;
    grade();
    EXPECT_EQ(seen.state, 1);
    // Bad arguments: reported with state 2 and the error in place of the finger count.
    m.m_nFingerCount = 5;
    EXPECT_EQ(grade(), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(seen.state, 2);
    EXPECT_EQ(seen.found, ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(std::vector<int>(seen.q, seen.q + 4), (std::vector<int>{0, 0, 0, 0}));
    m.m_nFingerCount = 4;
    m.m_AutoCapArea = {1, 0, 0, 801, 750};
    EXPECT_EQ(grade(), ZARN_ERR_LIVE_SEGMENTATION);
    EXPECT_EQ(seen.found, ZARN_ERR_LIVE_SEGMENTATION);
    m.m_AutoCapArea = {1, 0, 1, 800, 750};
    EXPECT_EQ(grade(), ZARN_ERR_LIVE_SEGMENTATION);
    // An area that fits holds the hand.
    m.m_AutoCapArea = {1, 0, 0, 800, 750};
    EXPECT_EQ(grade(), 4);
}

namespace {

// A right slap as the preview shows it: background removed, 800 x 750 at 250 ppi, top row first.
sim::GreyImage SlapPreview(double offsetXmm = 0, double offsetYmm = 0, double pressure = 1.0) {
    sim::FingerScene s;
    s.platen.width = 800, s.platen.height = 750;
    s.platen.ppiX = s.platen.ppiY = 250;
    s.layout = sim::FingerLayout::RightSlap;
    s.offsetXmm = offsetXmm, s.offsetYmm = offsetYmm, s.pressure = pressure;
    sim::GreyImage frame = sim::RenderFingers(s, 11);
    sim::GreyImage background = sim::RenderPlaten(s.platen, 1011);
    MM_CalibrateBackgroundSimple(0, frame.height, frame.width, background.pixels.data(), frame.pixels.data());
    return frame;
}

struct Box {
    int x = 0, y = 0, width = 0, height = 0;
};

// What the live segmentation finds in the part `box` of a top-down preview, at 250 ppi, for a right
// slap with all four fingers expected: the records the grading gets.
std::array<FingerInfo, 4> Segmented(const sim::GreyImage& topDown, Box box) {
    std::vector<uint8_t> work(size_t(box.width) * size_t(box.height));
    for (int r = 0; r < box.height; ++r)
        std::memcpy(work.data() + size_t(r) * box.width, topDown.pixels.data() + size_t(box.y + r) * topDown.width + box.x,
                    size_t(box.width));
    std::array<FingerInfo, 4> fingers{};
    SegmentParams status{};
    status.Stage = 3;
    status.DarkThreshold = 180;
    char text[256] = {};
    EXPECT_GE(FlatSegmentLite(work.data(), box.height, box.width, 250, kSlapRightHand, 15, fingers.data(), &status, text,
                              sizeof text),
              0);
    return fingers;
}

// The grade of one finger record: words 0 and 1 its position (1 across the image), 3 its quality
// count, 4 its grey measure, 5 its area. `width` is the width of the graded image, `threshold` the
// smallest good finger area.
int Grade(const FingerInfo& f, int width, int threshold, int b, int d) {
    if (f.X < 1 || f.Y < 1 || f.Measure < 1 || f.Qty < 1 || f.Height < 1 || f.Width < 1) return 0;
    const int s = int(std::sqrt(double(f.Width / 4)));
    if (f.Y < s) return 6;
    if (width - f.Y < s) return 7;
    if (f.Height < 70) return 3;
    if (f.Height > 210) return 2;
    if (f.Height < b && f.Width > threshold && f.Qty >= d) return 1;
    return 5;
}

// The scanner state the grading reads, on a preview given top row first.
class LiveGrading : public ::testing::Test {
protected:
    void Show(const sim::GreyImage& topDown) {
        shown = topDown;
        ImageUpToDown(shown.pixels.data(), shown.width, shown.height);
        m.ImageInfo.image = shown.pixels.data();
        m.ImageInfo.width = shown.width, m.ImageInfo.height = shown.height;
    }
    void SetUp() override {
        m.m_nImageType = ZARN_IMAGE_SLAP_RIGHT;
        m.m_nFingerCount = 4;
        m.m_AutoCapture = {250, 230, 1.0, 12, 2, 10, 10, 15, 3000};
        m.m_pCallbackContext = this;
        m.m_pfnObjectQuality = &LiveGrading::Quality;
        m.m_hAutoCaptureEvent = std::make_unique<platform::Event>(false, false);
        I_ResetLiveImage();
    }
    static void Quality(void* c, int, int* q, int) { std::copy(q, q + 4, static_cast<LiveGrading*>(c)->q); }
    std::vector<int> Graded() {
        std::fill(q, q + 4, -9);
        I_ProcLiveImage(m);
        return {q, q + 4};
    }
    ZarnScannerPloverA m;
    sim::GreyImage shown;
    int q[4] = {};
};

}  // namespace

// The smallest good finger is c percent of the whole preview, also when only the auto-capture area
// is graded: the area around the hand does not let a smaller finger pass.
TEST_F(LiveGrading, TheGoodFingerAreaIsAShareOfTheWholeImage) {
    const sim::GreyImage preview = SlapPreview();
    Show(preview);
    // The area: the hand's box with a margin, well inside the image.
    int left = 800, top = 750, right = -1, bottom = -1;
    for (int r = 0; r < 750; ++r)
        for (int c = 0; c < 800; ++c)
            if (preview.pixels[size_t(r) * 800 + c] < 128)
                left = std::min(left, c), right = std::max(right, c), top = std::min(top, r), bottom = std::max(bottom, r);
    const Box box{std::max(0, left - 40), std::max(0, top - 40), 0, 0};
    const Box area{box.x, box.y, std::min(799, right + 40) - box.x + 1, std::min(749, bottom + 40) - box.y + 1};
    ASSERT_LT(area.width * area.height, 800 * 750 * 3 / 4);
    m.m_AutoCapArea = {1, area.x, area.y, area.width, area.height};
    const auto fingers = Segmented(preview, area);
    int smallest = INT32_MAX;
    for (const FingerInfo& f : fingers) smallest = std::min(smallest, f.Width);
    ASSERT_GT(smallest, 0);
    // c just below and just above the share of the smallest finger in the whole image: the
    // threshold trunc(800 x c x 750 / 100) is one less than its area, then equal to it.
    m.m_AutoCapture.c = (smallest - 0.5) / 6000.0;
    EXPECT_EQ(Graded(), (std::vector<int>{1, 1, 1, 1}));
    m.m_AutoCapture.c = (smallest + 0.5) / 6000.0;
    std::vector<int> expected;
    for (const FingerInfo& f : fingers) expected.push_back(f.Width > smallest ? 1 : 5);
    EXPECT_EQ(Graded(), expected);
    // Graded on the whole image, the same.
    m.m_AutoCapArea.enable = 0;
    const auto whole = Segmented(preview, {0, 0, 800, 750});
    expected.clear();
    for (const FingerInfo& f : whole) expected.push_back(Grade(f, 800, smallest, 230, 12));
    EXPECT_EQ(Graded(), expected);
}

// A finger too close to the left or the right edge of the graded image: closer than
// s = trunc(sqrt(area / 4)). An auto-capture area whose left (then right) side comes nearer and
// nearer to the hand moves the outer fingers towards its edges until they are cut; every frame is
// graded as the records the segmentation gives ask, and the frames include fingers nearer than s
// yet not nearer than trunc(sqrt(area / 5)).
TEST_F(LiveGrading, FingersNearTheEdgesOfTheGradedImage) {
    const sim::GreyImage preview = SlapPreview();
    Show(preview);
    const int threshold = int(800 * 1.0 * 750 / 100);
    int leftCases = 0, rightCases = 0, between = 0, bad = 0;
    for (int cut = 0; cut < 400; cut += 2) {
        for (const bool fromLeft : {true, false}) {
            const Box area = fromLeft ? Box{cut, 0, 800 - cut, 750} : Box{0, 0, 800 - cut, 750};
            m.m_AutoCapArea = {1, area.x, area.y, area.width, area.height};
            const auto fingers = Segmented(preview, area);
            const std::vector<int> got = Graded();
            for (int k = 0; k < 4; ++k) {
                const FingerInfo& f = fingers[size_t(k)];
                const int expected = Grade(f, area.width, threshold, 230, 12);
                ASSERT_EQ(got[size_t(k)], expected) << "cut " << cut << (fromLeft ? " left" : " right") << " finger " << k
                                                    << ": Y " << f.Y << " area " << f.Width << " of " << area.width;
                leftCases += expected == 6;
                rightCases += expected == 7;
                bad += expected == 0;
                const int near = int(std::sqrt(double(f.Width / 5)));
                between += (expected == 6 && f.Y >= near) || (expected == 7 && area.width - f.Y >= near);
            }
        }
    }
    EXPECT_GT(leftCases, 0);
    EXPECT_GT(rightCases, 0);
    EXPECT_GT(between, 0);
    EXPECT_GT(bad, 0);
}

// The grey limits of a good finger: darker than 70 is quality 3, lighter than 210 quality 2, and a
// grey of exactly 70 or 210 is neither. The preview is faded to pale, then darkened, and every
// frame is graded as the records the segmentation gives ask.
TEST_F(LiveGrading, GreyLimitsOfAGoodFinger) {
    const sim::GreyImage preview = SlapPreview();
    int dark = 0, pale = 0, at70 = 0, at210 = 0;
    for (int step = -100; step <= 100; ++step) {
        const double k = 1.0 - std::abs(step) * 0.008;
        sim::GreyImage frame = preview;
        for (uint8_t& v : frame.pixels) v = uint8_t(step < 0 ? 255.0 - (255.0 - v) * k : v * k);
        Show(frame);
        const auto fingers = Segmented(frame, {0, 0, 800, 750});
        const std::vector<int> got = Graded();
        for (int k4 = 0; k4 < 4; ++k4) {
            const FingerInfo& f = fingers[size_t(k4)];
            ASSERT_EQ(got[size_t(k4)], Grade(f, 800, 6000, 230, 12)) << "contrast " << k << " finger " << k4 << ": grey "
                                                                    << f.Height;
            if (Grade(f, 800, 6000, 230, 12) == 0) continue;
            dark += f.Height < 70;
            pale += f.Height > 210;
            at70 += f.Height == 70;
            at210 += f.Height == 210;
        }
    }
    EXPECT_GT(dark, 0);
    EXPECT_GT(pale, 0);
    EXPECT_GT(at70, 0);
    EXPECT_GT(at210, 0);
}

// The other limits of a good finger, each at a finger's own measure: its grey must lie below b
// and its quality count reach d.
TEST_F(LiveGrading, GreyAndQualityLimitsOfAGoodFinger) {
    const sim::GreyImage preview = SlapPreview();
    Show(preview);
    const auto fingers = Segmented(preview, {0, 0, 800, 750});
    for (size_t k = 0; k < 4; ++k) {
        const FingerInfo& f = fingers[k];
        const struct {
            int b, d, grade;  // the grade of finger k
        } limits[] = {{f.Height, 12, 5}, {f.Height + 1, 12, 1}, {230, f.Qty, 1}, {230, f.Qty + 1, 5}};
        for (const auto& l : limits) {
            m.m_AutoCapture.b = l.b, m.m_AutoCapture.d = l.d;
            std::vector<int> expected;
            for (const FingerInfo& g : fingers) expected.push_back(Grade(g, 800, 6000, l.b, l.d));
            EXPECT_EQ(expected[k], l.grade) << "finger " << k << " b " << l.b << " d " << l.d;
            EXPECT_EQ(Graded(), expected) << "finger " << k << " b " << l.b << " d " << l.d;
        }
    }
}

// The expected finger count must be 1 to 4: outside, the frame is refused with -1 and reported
// with state 2 and no qualities; one finger is graded.
TEST_F(LiveGrading, ExpectedFingerCountsOneToFour) {
    Show(SlapPreview());
    for (const int count : {0, 5, -1}) {
        m.m_nFingerCount = count;
        EXPECT_EQ(I_ProcLiveImage(m), ZARN_ERR_BAD_ARGUMENT) << count;
    }
    for (const int count : {1, 4}) {
        m.m_nFingerCount = count;
        EXPECT_GE(I_ProcLiveImage(m), 1) << count;
    }
}

// A frame without a hand neither counts towards the capture nor starts the count again: the next
// still frame goes on from the last good one (e = 3: good, good, empty, good captures).
TEST_F(LiveGrading, AFrameWithoutAHandKeepsTheStillCount) {
    const sim::GreyImage hand = SlapPreview();
    sim::GreyImage empty = hand;
    std::fill(empty.pixels.begin(), empty.pixels.end(), uint8_t(255));
    m.m_AutoCapture.e = 3;
    for (const sim::GreyImage* frame : {&hand, &hand, static_cast<const sim::GreyImage*>(&empty)}) {
        Show(*frame);
        Graded();
        EXPECT_FALSE(m.m_hAutoCaptureEvent->Wait(0));
    }
    EXPECT_EQ(std::vector<int>(q, q + 4), (std::vector<int>{0, 0, 0, 0}));
    Show(hand);
    EXPECT_EQ(Graded(), (std::vector<int>{1, 1, 1, 1}));
    EXPECT_TRUE(m.m_hAutoCaptureEvent->Wait(0));
}

// A frame the segmentation refuses (here: a resolution below its range) is reported with state 2
// and its error, and starts the still count again (e = 2: good, refused, good does not capture).
TEST_F(LiveGrading, ARefusedFrameStartsTheStillCountAgain) {
    Show(SlapPreview());
    m.m_AutoCapture.e = 2;
    EXPECT_EQ(Graded(), (std::vector<int>{1, 1, 1, 1}));
    m.m_AutoCapture.a = 40;
    EXPECT_EQ(I_ProcLiveImage(m), -1);
    m.m_AutoCapture.a = 250;
    EXPECT_EQ(Graded(), (std::vector<int>{1, 1, 1, 1}));
    EXPECT_FALSE(m.m_hAutoCaptureEvent->Wait(0));
    EXPECT_EQ(Graded(), (std::vector<int>{1, 1, 1, 1}));
    EXPECT_TRUE(m.m_hAutoCaptureEvent->Wait(0));
}

// The automatic capture waits for a still hand: every finger within f across, g down, h in grey
// and 4 x i in area of the frame before; a change that reaches a limit starts the count again.
// A hand that moves along one axis only, or only presses harder, is not still.
TEST_F(LiveGrading, AStillHandNeedsEveryLimitKept) {
    const sim::GreyImage still = SlapPreview();
    const struct {
        const char* what;
        sim::GreyImage moved;
    } moves[] = {
        {"across", SlapPreview(1.5, 0)},
        {"down", SlapPreview(0, 1.5)},
        {"harder", SlapPreview(0, 0, 1.15)},
    };
    for (const auto& mv : moves) {
        SCOPED_TRACE(mv.what);
        const auto a = Segmented(still, {0, 0, 800, 750}), b = Segmented(mv.moved, {0, 0, 800, 750});
        // The largest change of each measure over the four fingers.
        int across = 0, down = 0, grey = 0, area = 0;
        for (int k = 0; k < 4; ++k) {
            across = std::max(across, std::abs(b[size_t(k)].Y - a[size_t(k)].Y));
            down = std::max(down, std::abs(b[size_t(k)].X - a[size_t(k)].X));
            grey = std::max(grey, std::abs(b[size_t(k)].Height - a[size_t(k)].Height));
            area = std::max(area, std::abs(b[size_t(k)].Width - a[size_t(k)].Width));
        }
        // The first frame counts one, the second two: e = 2 captures when the hand stayed still.
        auto captures = [&](int f, int g, int h, int i) {
            m.m_AutoCapture = {250, 230, 1.0, 12, 2, f, g, h, i};
            I_ResetLiveImage();
            m.m_hAutoCaptureEvent->Reset();
            Show(still);
            EXPECT_EQ(Graded(), (std::vector<int>{1, 1, 1, 1}));
            Show(mv.moved);
            EXPECT_EQ(Graded(), (std::vector<int>{1, 1, 1, 1}));
            return m.m_hAutoCaptureEvent->Wait(0);
        };
        const int f = across + 1, g = down + 1, h = grey + 1, i = area / 4 + 1;
        EXPECT_TRUE(captures(f, g, h, i));
        // Each limit reached alone.
        EXPECT_FALSE(captures(across, g, h, i));
        EXPECT_FALSE(captures(f, down, h, i));
        EXPECT_FALSE(captures(f, g, grey, i));
        EXPECT_FALSE(captures(f, g, h, area / 4));
        if (std::string(mv.what) == "across") {
            EXPECT_GE(across, 10);
            EXPECT_LT(down, 10);
        }
        if (std::string(mv.what) == "down") {
            EXPECT_GE(down, 10);
            EXPECT_LT(across, 10);
        }
        if (std::string(mv.what) == "harder") {
            EXPECT_GE(area, 20);
        }
    }
}

// The state LEDs after each graded frame, on a PloverA (an LED panel scanner): a good finger lights
// its pair as (0, 1), a graded finger that is not good as (1, 0), a finger not graded keeps (1, 1);
// for a right slap bit k of the byte sent to LED group 1 is state byte k. The grey limit b makes
// none, some and all of the fingers good.
TEST(ZarnLiveImage, StateLedsShowEachFingersGrade) {
    ASSERT_TRUE(kSlotIsolated);
    namespace proto = platform::usb::tessik;
    auto bus = BusOf("device s1 PloverA\n");
    auto device = bus->Device("s1");
    ASSERT_TRUE(device);
    ZarnScannerPloverA scanner;
    g_pScanner = &scanner;
    struct Release {
        ZarnScannerPloverA& s;
        ~Release() {
            s.ReleaseRes();
            g_pScanner = nullptr;
        }
    } release{scanner};
    ASSERT_EQ(scanner.InitializeRes(), 0);
    ASSERT_EQ(scanner.InitVideoMode(TK_VIDEO_ROLL), 0);  // the camera's properties
    scanner.m_Running.initialised = 1;

    const sim::GreyImage preview = SlapPreview();
    sim::GreyImage shown = preview;
    ImageUpToDown(shown.pixels.data(), shown.width, shown.height);
    scanner.ImageInfo.image = shown.pixels.data();
    scanner.ImageInfo.width = shown.width, scanner.ImageInfo.height = shown.height;
    scanner.m_nImageType = ZARN_IMAGE_SLAP_RIGHT;
    scanner.m_nFingerCount = 4;
    const auto fingers = Segmented(preview, {0, 0, 800, 750});
    std::vector<int> greys;
    for (const FingerInfo& f : fingers) greys.push_back(f.Height);
    std::sort(greys.begin(), greys.end());
    ASSERT_LT(greys[1], greys[2]);
    const struct {
        int b, byte;  // byte: when known beforehand
    } cases[] = {{50, 0x55}, {greys[2], -1}, {230, 0xAA}};
    int mixed = 0;
    for (const auto& c : cases) {
        I_ResetLiveImage();
        scanner.m_AutoCapture = {250, c.b, 1.0, 12, 2, 10, 10, 15, 3000};
        const size_t before = scannertest::Writes(*device, proto::kReqLedGroup1).size();
        EXPECT_EQ(I_ProcLiveImage(scanner), 4) << c.b;
        const auto writes = scannertest::Writes(*device, proto::kReqLedGroup1);
        ASSERT_EQ(writes.size(), before + 1) << c.b;
        int byte = 0, good = 0;
        for (int k = 0; k < 4; ++k) {
            const int grade = Grade(fingers[size_t(k)], 800, 6000, c.b, 12);
            const int first = grade == 1 ? 0 : 1, second = grade == 5 ? 0 : 1;
            byte |= first << (2 * k) | second << (2 * k + 1);
            good += grade == 1;
        }
        if (c.byte >= 0) EXPECT_EQ(byte, c.byte) << c.b;
        mixed += good > 0 && good < 4;
        EXPECT_EQ(writes.back(), byte) << c.b;
    }
    EXPECT_EQ(mixed, 1);
}

TEST(ZarnModels, VireoADecodeAndConstructorValues) {
    ZarnScannerVireoA m;
    EXPECT_EQ(m.m_nMeanThreshold[0], 220);
    EXPECT_EQ(m.m_nStretchPercent, 60);
    EXPECT_TRUE(m.m_bPropSupported[1] && m.m_bPropSupported[10]);
    EXPECT_FALSE(m.m_bPropSupported[0] || m.m_bPropSupported[11] || m.m_bPropSupported[13]);
    EXPECT_EQ(m.m_FullImage.yResolution, 600);
    // Pixel (column c, row r) of the raw frame holds (c + 3 r) mod 251, besides the sync bytes.
    std::vector<uint8_t> raw(1600 * 1200);
    for (int r = 0; r < 1200; ++r)
        for (int c = 0; c < 1600; ++c) raw[size_t(r) * 1600 + c] = uint8_t((c + 3 * r) % 251);
    const uint8_t sync[4] = {255, 0, 255, 0};
    std::copy(sync, sync + 4, raw.begin() + 1);
    // The window of rows 56..1000 and columns 58..1553, bottom row first.
    std::vector<uint8_t> frame = raw;
    long length = long(frame.size());
    ASSERT_EQ(m.FilterStream(frame.data(), &length), 0);
    EXPECT_EQ(length, 1496 * 945);
    for (auto [c, r] : {std::pair{0, 0}, std::pair{1495, 0}, std::pair{0, 944}, std::pair{700, 400}})
        EXPECT_EQ(frame[size_t(944 - r) * 1496 + c], uint8_t((58 + c + 3 * (56 + r)) % 251)) << c << ", " << r;
    // Any sync byte wrong, or a short frame: refused.
    for (int i = 1; i <= 4; ++i) {
        frame = raw;
        frame[size_t(i)] ^= 0x10;
        length = long(frame.size());
        EXPECT_EQ(m.FilterStream(frame.data(), &length), -1) << i;
    }
    frame = raw;
    length = long(frame.size()) - 1;
    EXPECT_EQ(m.FilterStream(frame.data(), &length), -1);
}
