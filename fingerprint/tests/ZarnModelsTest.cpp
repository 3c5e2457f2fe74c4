// The model factory and enumeration over the device registry, the PloverA/B/E and VireoA tables,
// the version text, the LED byte, and the exported functions' refusals of bad arguments and calls
// out of order.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>

#include "CaptureRig.h"
#include "TestScanner.h"
#include "platform/DeviceRegistry.h"
#include "sim/Models.h"
#include "zarn/ZarnEssentialsApi.h"

#include "LiveImage.h"
#include "ModelFactory.h"
#include "models/ZarnScannerPlover.h"
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
    // The flat distortion set is the full set halved plus one; PloverE has none and resizes.
    EXPECT_EQ(plover.m_FlatSet.values[0], 351);
    EXPECT_EQ(plover.m_FlatSet.values[3], 308);
    ZarnScannerPloverE e;
    ZarnScannerPloverB b;
    EXPECT_EQ(e.m_FullSet.values[0], 0);
    EXPECT_EQ(e.m_nResultTransform, 1);
    EXPECT_EQ(e.m_nFlatPreviewTransform, 2);
    EXPECT_EQ(b.m_FlatSet.values[3], 128);
    EXPECT_EQ(b.m_nMeanThreshold[0], 240);
    EXPECT_EQ(plover.m_PreviewImage.width, 1472);
    EXPECT_EQ(plover.m_PreviewImage.yResolution, 300);
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
    const uint8_t state[8] = {1, 0, 0, 1, 1, 1, 0, 0};
    EXPECT_EQ(I_StateLedByte(2, state), 0b00111001);
    EXPECT_EQ(I_StateLedByte(3, state), 0b01101100);
    EXPECT_EQ(I_StateLedByte(23, state), 0b01101100);
    EXPECT_EQ(I_StateLedByte(4, state), 0b01111110);
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
    ASSERT_TRUE(kSlotIsolated);
    scannertest::TraceLines trace;
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
    EXPECT_EQ(g_nVideoProperty100.load(), 1);
    EXPECT_EQ(Zarn_Set_VideoProp(99, 0), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(g_nVideoProperty100.load(), 1);
    EXPECT_EQ(Zarn_Set_VideoProp(100, 0), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(g_nVideoProperty100.load(), 0);
    EXPECT_TRUE(trace.WaitFor("Exit  Zarn_Capture_Start()=-606", 2000));
    EXPECT_TRUE(trace.WaitFor("Enter Zarn_Capture_SetMode(2, 500, 1, 0, 0x", 2000));
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
