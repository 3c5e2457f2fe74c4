// The ten-print models: KestrelA's decode against the simulator's raw layout, the tables of the
// models (LEDs, image geometry, device record), the FireWire family's frame decode and part
// collection, the interleaved grid, the row sharpening, and the full-resolution result taken from
// the simulated FireWire cameras through the video-capture layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>
#include <tuple>
#include <vector>

#include "CaptureRig.h"
#include "Detailer.h"
#include "TestScanner.h"
#include "models/ZarnScannerKestrel.h"
#include "platform/FireWireCameras.h"
#include "platform/TessikUsbProtocol.h"
#include "sim/Models.h"
#include "sim/Render.h"
#include "sim/SimKestrel.h"
#include "zarn/ZarnEssentialsApi.h"

// The model creators of the factory's table.
#define DECLARE_CREATOR(Class) ZarnScannerBase* ZarnNew##Class();
DECLARE_CREATOR(ZarnScannerPloverA)
DECLARE_CREATOR(ZarnScannerPloverB)
DECLARE_CREATOR(ZarnScannerPloverE)
DECLARE_CREATOR(ZarnScannerPloverC)
DECLARE_CREATOR(ZarnScannerPloverD)
DECLARE_CREATOR(ZarnScannerKestrelA)
DECLARE_CREATOR(ZarnScannerKestrelB)
DECLARE_CREATOR(ZarnScannerKestrelC)
DECLARE_CREATOR(ZarnScannerKestrelD)
DECLARE_CREATOR(ZarnScannerVireoA)
DECLARE_CREATOR(ZarnScannerVireoB)
DECLARE_CREATOR(ZarnScannerTanagerA)
DECLARE_CREATOR(ZarnScannerTanagerB)
DECLARE_CREATOR(ZarnScannerLinnetA)
DECLARE_CREATOR(ZarnScannerLinnetB)
DECLARE_CREATOR(ZarnScannerFinch)
DECLARE_CREATOR(ZarnScannerSiskinA)
DECLARE_CREATOR(ZarnScannerSiskinB)
#undef DECLARE_CREATOR

using scannertest::WaitUntil;
using sim::KestrelVariant;

namespace {

const bool kSlotIsolated = [] {
    setenv("TESSIK_TRACE_SLOT", ("TessikKestrelTests-" + std::to_string(getpid())).c_str(), 1);
    setenv("TESSIK_DEBUG_DIR", (std::filesystem::temp_directory_path() / ("tessik-kestrel-" + std::to_string(getpid()))).c_str(), 1);
    return true;
}();

std::mutex g_messagesLock;
std::vector<intptr_t> g_messageCodes;
void MessageSink(void*, unsigned message, intptr_t, intptr_t code) {
    if (message != kScannerMessage) return;
    std::lock_guard lock(g_messagesLock);
    g_messageCodes.push_back(code);
}

constexpr int W = 2912, H = 4512;  // full frame of the FireWire models

std::unique_ptr<ZarnScannerKestrelFamily> MakeFamily(KestrelVariant v) {
    switch (v) {
        case KestrelVariant::B: return std::make_unique<ZarnScannerKestrelB>();
        case KestrelVariant::C: return std::make_unique<ZarnScannerKestrelC>();
        case KestrelVariant::D: return std::make_unique<ZarnScannerKestrelD>();
    }
    return nullptr;
}

// ---- tables ---------------------------------------------------------------------------------------

TEST(KestrelTables, LedMasksLightTheFingersOfEachImageType) {
    const struct {
        int type;
        uint16_t mask;
    } cases[] = {{0, 0xFFFE}, {1, 0xFFFF}, {2, 0xFFE1}, {3, 0xE1FF}, {4, 0xFEFE}, {7, 0xFF20}, {11, 0x20FF},
                 {14, 0xA0FF}, {15, 0xFFFD}, {22, 0xEFFF}, {23, 0xFFFE}, {28, 0xFEFF}, {32, 0xEFFF}, {33, 0xFFFF},
                 {-1, 0xFFFF}};
    for (const auto& c : cases) EXPECT_EQ(KestrelLedMask(c.type), c.mask) << "type " << c.type;
}

TEST(KestrelTables, ImageGeometryPerModelAndType) {
    ZarnScannerKestrelA a;
    ZarnScannerKestrelB b;
    ZarnScannerKestrelC c;
    ZarnScannerKestrelD d;
    const struct {
        ZarnScannerBase* model;
        int type, half, result, width, height, ppi;
        double value;
    } cases[] = {
        {&a, 0, 0, 0, 1600, 1500, 1000, 10.0},  {&a, 23, 0, 0, 1600, 1500, 1000, 3.0}, {&a, 23, 1, 0, 400, 375, 125, 3.0},
        {&a, 2, 0, 0, 3200, 3000, 1000, 3.0},   {&a, 4, 1, 0, 800, 750, 250, 3.0},     {&a, 7, 0, -3, 0, 0, 0, 0},
        {&a, 33, 0, -3, 0, 0, 0, 0},            {&b, 0, 0, 0, 1600, 1500, 1000, 10.0}, {&b, 1, 0, 0, 2552, 2500, 1000, 3.0},
        {&b, 1, 1, 0, 638, 625, 125, 3.0},      {&b, 3, 0, 0, 5104, 5000, 1000, 3.0},  {&b, 14, 1, 0, 1276, 1250, 250, 3.0},
        {&c, 0, 0, -3, 0, 0, 0, 0},             {&c, 5, 0, -3, 0, 0, 0, 0},            {&c, 2, 0, 0, 5104, 5000, 1000, 3.0},
        {&d, 6, 0, 0, 1600, 1500, 1000, 10.0},  {&d, 33, 1, -3, 0, 0, 0, 0},
    };
    for (const auto& k : cases) {
        ZarnImageInfo info{};
        SCOPED_TRACE(testing::Message() << k.model->m_szScannerName << " type " << k.type << " half " << k.half);
        ASSERT_EQ(k.model->GetImageTypeInfo(k.type, &info, k.half), k.result);
        if (k.result != 0) continue;
        EXPECT_EQ(info.width, k.width);
        EXPECT_EQ(info.height, k.height);
        EXPECT_EQ(info.xResolution, k.ppi);
        EXPECT_EQ(info.yResolution, k.ppi);
        EXPECT_EQ(info.typeValue, k.value);
    }
    EXPECT_EQ(a.GetScannerType(), 503);
    EXPECT_STREQ(a.m_szUsbPid, "pid_2158");
    EXPECT_STREQ(c.m_szScannerName, "KestrelB-Flat-Firewire");
    EXPECT_STREQ(d.m_szUsbPid, "KestrelB-II-Firewire");
    EXPECT_EQ(b.m_FullImage.bytes, 4512 * 2912);
    // Frame records: size and resolution.
    EXPECT_EQ(a.m_FullFrame.bytes, 10838016);
    EXPECT_EQ(a.m_FullFrame.xResolution, 1000);
    EXPECT_EQ(a.m_FullFrame.yResolution, 1000);
    EXPECT_EQ(b.m_FullFrame.xResolution, 600);
    EXPECT_EQ(b.m_FullFrame.yResolution, 850);
    EXPECT_EQ(d.m_PreviewFrame.bytes, 2189824);
    // Auto-capture defaults: KestrelA (250, 230, 1.0, 11, 1, ...), the FireWire family (..., 11, 3, ...).
    for (ZarnScannerBase* m : {static_cast<ZarnScannerBase*>(&a), static_cast<ZarnScannerBase*>(&c)}) {
        m->SetAutoCaptureDefaults();
        const auto& p = m->m_AutoCapture;
        EXPECT_EQ(p.a, 250);
        EXPECT_EQ(p.b, 230);
        EXPECT_EQ(p.c, 1.0);
        EXPECT_EQ(p.d, 11);
        EXPECT_EQ(p.e, m == &a ? 1 : 3);
        EXPECT_EQ(p.f, 10);
        EXPECT_EQ(p.g, 10);
        EXPECT_EQ(p.h, 15);
        EXPECT_EQ(p.i, 3000);
    }
    const int flatA[6] = {176, 170, 125, 154, 102, 102};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(a.m_FlatSet.values[i], flatA[i]);
    // Distortion sets (KestrelA: full and roll alike) and output selectors (crop flag, stretch
    // percentage, result, roll-output, flat-preview and roll-preview transforms).
    const int fullA[6] = {701, 678, 496, 614, 404, 404};
    const int fullF[6] = {1664, 1618, 1160, 2450, 1008, 1008}, rollF[6] = {1496, 1350, 930, 0, 750, 800},
              flatF[6] = {287, 279, 314, 161, 251, 249};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(a.m_FullSet.values[i], fullA[i]);
        EXPECT_EQ(a.m_RollSet.values[i], fullA[i]);
        EXPECT_EQ(b.m_FullSet.values[i], fullF[i]);
        EXPECT_EQ(c.m_RollSet.values[i], rollF[i]);
        EXPECT_EQ(d.m_FlatSet.values[i], flatF[i]);
    }
    const struct {
        ZarnScannerBase* model;
        int selectors[6];
    } outputs[] = {{&a, {1, 70, 1, 1, 2, 2}}, {&b, {1, 100, 0, 1, 0, 2}}, {&d, {1, 100, 0, 1, 0, 2}}};
    for (const auto& o : outputs) {
        const ZarnScannerBase& m = *o.model;
        const int actual[6] = {m.m_nCropFlag,         m.m_nStretchPercent,       m.m_nResultTransform,
                               m.m_nRollOutTransform, m.m_nFlatPreviewTransform, m.m_nRollPreviewTransform};
        for (int i = 0; i < 6; ++i) EXPECT_EQ(actual[i], o.selectors[i]) << m.m_szScannerName << " selector " << i;
    }
    // KestrelA's frame records (width, height, x and y resolution; the display size has none).
    const struct {
        const FrameGeometry* record;
        int width, height, ppi;
    } recordsA[] = {{&a.m_FullFrame, 3024, 3584, 1000}, {&a.m_FullImage, 3520, 3000, 1000},
                    {&a.m_FlatResult, 3200, 3000, 1000}, {&a.m_RollFrame, 1520, 1792, 1000},
                    {&a.m_RollImage, 1760, 1500, 1000},  {&a.m_RollOutput, 1600, 1500, 1000},
                    {&a.m_PreviewResult, 800, 750, 250},  {&a.m_PreviewImage, 880, 750, 0}};
    for (const auto& r : recordsA) {
        SCOPED_TRACE(testing::Message() << r.width << " x " << r.height);
        EXPECT_EQ(r.record->width, r.width);
        EXPECT_EQ(r.record->height, r.height);
        EXPECT_EQ(r.record->bytes, r.width * r.height);
        if (r.ppi) {
            EXPECT_EQ(r.record->xResolution, r.ppi);
            EXPECT_EQ(r.record->yResolution, r.ppi);
        }
    }
    // The FireWire family's frame records.
    const struct {
        const FrameGeometry* record;
        int width, height, xPpi, yPpi;
    } recordsF[] = {{&b.m_FullFrame, 2912, 4512, 600, 850}, {&b.m_FullImage, 4512, 2912, 850, 600},
                    {&b.m_FlatResult, 2552, 2500, 500, 500}, {&b.m_RollFrame, 2144, 1536, 1200, 1200},
                    {&b.m_RollImage, 2144, 1536, 1200, 1200}, {&b.m_RollOutput, 1600, 1500, 1000, 1000},
                    {&b.m_PreviewFrame, 1456, 1504, 300, 280}, {&b.m_PreviewImage, 1504, 1456, 280, 300}};
    for (const auto& r : recordsF) {
        SCOPED_TRACE(testing::Message() << r.width << " x " << r.height);
        EXPECT_EQ(r.record->width, r.width);
        EXPECT_EQ(r.record->height, r.height);
        EXPECT_EQ(r.record->bytes, r.width * r.height);
        EXPECT_EQ(r.record->xResolution, r.xPpi);
        EXPECT_EQ(r.record->yResolution, r.yPpi);
    }
    // Exposure bounds, steps (full, roll) and mean thresholds; camera settings (property 0,
    // property 1, exposure) of the full and roll modes, and the family's of the preview.
    const struct {
        const ZarnScannerBase* model;
        int steps[2], full[3], roll[3];
    } exposures[] = {{&a, {1, 2}, {65, 0, 0}, {30, 0, 0}}, {&b, {1, 2}, {80, 0, 40}, {170, 0, 40}}};
    for (const auto& e : exposures) {
        SCOPED_TRACE(e.model->m_szScannerName);
        EXPECT_EQ(e.model->m_nExposureMin, 0);
        EXPECT_EQ(e.model->m_nExposureMax, 255);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(e.model->m_nExposureStep[i], e.steps[i]);
            EXPECT_EQ(e.model->m_nMeanThreshold[i], 220);
        }
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(e.model->m_nCameraFull[i], e.full[i]);
            EXPECT_EQ(e.model->m_nCameraRoll[i], e.roll[i]);
        }
    }
    // The FireWire family's preview settings (KestrelA has no preview mode).
    const int previewF[3] = {80, 0, 40};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(b.m_nCameraPreview[i], previewF[i]);
    // GetLEDs reports no LED state on the ten-print models.
    for (ZarnScannerBase* m : {static_cast<ZarnScannerBase*>(&a), static_cast<ZarnScannerBase*>(&b)}) {
        int mask = -1;
        EXPECT_EQ(m->GetLEDs(&mask), 0);
        EXPECT_EQ(mask, 0);
    }
}

void PutDeviceText(ZarnScannerBase& s, uint32_t hardware, uint32_t serial, uint16_t date1, uint16_t date2) {
    std::memset(s.m_szDeviceText, 0, sizeof s.m_szDeviceText);
    std::memcpy(s.m_szDeviceText + 12, &hardware, 4);
    std::memcpy(s.m_szDeviceText + 16, &serial, 4);
    std::memcpy(s.m_szDeviceText + 20, &date1, 2);
    std::memcpy(s.m_szDeviceText + 22, &date2, 2);
}

// Every model's own roll parameters, as Zarn_Capture_GetRollParameters reports them on a model
// just made current (the fourth as the bits of its float): the FireWire ten-print family has its
// own, every other model the common ones.
TEST(KestrelTables, RollParametersOfEveryModelThroughTheExports) {
    const int firewire[7] = {100, 1, 25000, std::bit_cast<int>(0.115f), 34, -200, 255};
    const int common[7] = {100, 1, 25000, std::bit_cast<int>(0.5f), 30, -100, 400};
    const struct {
        const char* name;
        ZarnScannerBase* (*create)();
        const int* expected;
    } models[] = {
        {"KestrelB", &ZarnNewZarnScannerKestrelB, firewire},   {"KestrelC", &ZarnNewZarnScannerKestrelC, firewire},
        {"KestrelD", &ZarnNewZarnScannerKestrelD, firewire},   {"KestrelA", &ZarnNewZarnScannerKestrelA, common},
        {"PloverA", &ZarnNewZarnScannerPloverA, common},       {"PloverB", &ZarnNewZarnScannerPloverB, common},
        {"PloverE", &ZarnNewZarnScannerPloverE, common},       {"PloverC", &ZarnNewZarnScannerPloverC, common},
        {"PloverD", &ZarnNewZarnScannerPloverD, common},       {"VireoA", &ZarnNewZarnScannerVireoA, common},
        {"VireoB", &ZarnNewZarnScannerVireoB, common},         {"TanagerA", &ZarnNewZarnScannerTanagerA, common},
        {"TanagerB", &ZarnNewZarnScannerTanagerB, common},     {"LinnetA", &ZarnNewZarnScannerLinnetA, common},
        {"LinnetB", &ZarnNewZarnScannerLinnetB, common},       {"Finch", &ZarnNewZarnScannerFinch, common},
        {"SiskinA", &ZarnNewZarnScannerSiskinA, common},       {"SiskinB", &ZarnNewZarnScannerSiskinB, common},
    };
    for (const auto& m : models) {
        SCOPED_TRACE(m.name);
        std::unique_ptr<ZarnScannerBase> model(m.create());
        ASSERT_NE(model, nullptr);
        model->m_Running.initialised = 1;
        g_pScanner = model.get();
        int got[7] = {};
        EXPECT_EQ(Zarn_Capture_GetRollParameters(got), 0);
        g_pScanner = nullptr;
        EXPECT_TRUE(std::equal(got, got + 7, m.expected))
            << got[0] << " " << got[1] << " " << got[2] << " " << std::bit_cast<float>(got[3]) << " " << got[4] << " "
            << got[5] << " " << got[6];
    }
}

// The calibration's variance limit for the sensor check is the seventh roll parameter: the model's
// own, then the one Zarn_Capture_SetRollParameters set. Without a camera the calibration ends at
// its first mode change, after the limits are set.
TEST(KestrelTables, CalibrationTakesItsVarianceLimitFromTheRollParameters) {
    const struct {
        const char* name;
        ZarnScannerBase* (*create)();
        float own;
    } models[] = {{"KestrelA", &ZarnNewZarnScannerKestrelA, 400.0f},
                  {"KestrelB", &ZarnNewZarnScannerKestrelB, 255.0f},
                  {"KestrelC", &ZarnNewZarnScannerKestrelC, 255.0f},
                  {"KestrelD", &ZarnNewZarnScannerKestrelD, 255.0f}};
    platform::FireWireCameras::Use(nullptr);
    for (const auto& m : models) {
        SCOPED_TRACE(m.name);
        std::unique_ptr<ZarnScannerBase> model(m.create());
        ASSERT_NE(model, nullptr);
        LiveScanAlg::SetVarThreshold(1.0f);
        EXPECT_NE(model->SetCalibration(1), 0);
        EXPECT_EQ(LiveScanAlg::GetVarThreshold(), m.own);
        model->m_Running.initialised = 1;
        g_pScanner = model.get();
        EXPECT_EQ(Zarn_Capture_SetRollParameters(100, 1, 25000, 0.2f, 30, -100, 333), 0);
        g_pScanner = nullptr;
        EXPECT_NE(model->SetCalibration(1), 0);
        EXPECT_EQ(LiveScanAlg::GetVarThreshold(), 333.0f);
    }
}

// The corner masks of the three frames: each masked row starts with a run of white bytes of the
// given length, and nothing else is touched. Full frame: 255 rows of 2912 - 11 r at the top and
// 255 rows of 11 r from row height - 256; preview frame: 92 rows of 971 - 10 r at the top and 92 rows
// of 10 r from row height - 93; roll frame: 832 bytes of each of the first 217 rows, then 19 rows of
// 832 - 12 r from row 216.
TEST(KestrelTables, CornerMasksOfTheThreeFrames) {
    ZarnScannerKestrelB b;
    const struct {
        const char* name;
        int width, height;
        void (ZarnScannerKestrelFamily::*mask)(uint8_t*) const;
        std::function<int(int)> run;  // white bytes at the start of a row
    } frames[] = {
        {"full", 2912, 4512, &ZarnScannerKestrelFamily::MaskFullCorners,
         [](int row) { return row < 255 ? std::max(0, 2912 - 11 * row) : row >= 4256 && row < 4511 ? 11 * (row - 4256) : 0; }},
        {"preview", 1456, 1504, &ZarnScannerKestrelFamily::MaskPreviewCorners,
         [](int row) { return row < 92 ? 971 - 10 * row : row >= 1411 && row < 1503 ? 10 * (row - 1411) : 0; }},
        {"roll", 2144, 1536, &ZarnScannerKestrelFamily::MaskRollCorners,
         [](int row) { return row < 217 ? 832 : row < 235 ? 832 - 12 * (row - 216) : 0; }},
    };
    for (const auto& f : frames) {
        SCOPED_TRACE(f.name);
        std::vector<uint8_t> image(size_t(f.width) * size_t(f.height), 0);
        (b.*f.mask)(image.data());
        for (int row = 0; row < f.height; ++row) {
            const uint8_t* line = image.data() + size_t(row) * f.width;
            const int white = int(std::find(line, line + f.width, uint8_t(0)) - line);
            ASSERT_EQ(white, f.run(row)) << "row " << row;
            ASSERT_EQ(std::count(line + white, line + f.width, uint8_t(0)), f.width - white) << "row " << row;
        }
    }
}

TEST(KestrelTables, DeviceRecordFromTheDeviceTextWithItsFallbacks) {
    ZarnScannerKestrelA a;
    ZarnDeviceInfo info{};
    PutDeviceText(a, 0x31303132, 4321, sim::PackDate(2024, 5, 14), sim::PackDate(2019, 1, 2));
    ASSERT_EQ(a.FillDeviceInfo(&info), 0);
    EXPECT_EQ(info.resolution, 1000u);
    EXPECT_STREQ(info.vendor, "Tessik Systems");
    EXPECT_STREQ(info.model, "KestrelA");
    EXPECT_STREQ(info.interfaceType, "1394b");
    EXPECT_STREQ(info.serialNumber, "2404321");
    EXPECT_EQ(info.hardwareWord, 0x31303132u);
    EXPECT_STREQ(info.firstDate, "20240514");
    EXPECT_STREQ(info.secondDate, "20240514");  // one date word for both
    PutDeviceText(a, 1, 4321, uint16_t(sim::PackDate(2024, 5, 14) & 0x0FFF), 0);  // month 0
    a.FillDeviceInfo(&info);
    EXPECT_STREQ(info.serialNumber, "0000");
    EXPECT_STREQ(info.firstDate, "20110201");
    EXPECT_STREQ(info.secondDate, "20110201");

    ZarnScannerKestrelD d;
    PutDeviceText(d, 0x00AB000C, 77, sim::PackDate(2021, 12, 31), sim::PackDate(2022, 3, 4));
    ASSERT_EQ(d.FillDeviceInfo(&info), 0);
    EXPECT_STREQ(info.model, "KestrelB");
    EXPECT_STREQ(info.firmware, "abc");  // "%x%x" of bytes 14 and 12
    EXPECT_STREQ(info.serialNumber, "2100077");
    EXPECT_STREQ(info.firstDate, "20211231");
    EXPECT_STREQ(info.secondDate, "20220304");
    for (uint16_t bad : {uint16_t(sim::PackDate(2024, 13, 1)), uint16_t(sim::PackDate(2024, 5, 0)), uint16_t(101 | 1 << 7 | 1 << 12)}) {
        PutDeviceText(d, 0, 77, bad, sim::PackDate(2022, 3, 4));
        d.FillDeviceInfo(&info);
        EXPECT_STREQ(info.serialNumber, "0000");
        EXPECT_STREQ(info.firstDate, "20090830");
        EXPECT_STREQ(info.secondDate, "20090830");
    }
}

// ---- image helpers --------------------------------------------------------------------------------

TEST(KestrelImage, TransposeAndTheModelRotations) {
    const uint8_t src[6] = {1, 2, 3, 4, 5, 6};  // 3 wide, 2 high
    uint8_t dst[6] = {};
    EXPECT_EQ(TransposeImage(src, dst, 3, 2), 0);
    const uint8_t transposed[6] = {1, 4, 2, 5, 3, 6};  // 2 wide, 3 high
    EXPECT_EQ(std::memcmp(dst, transposed, 6), 0);

    // KestrelB: out(r, c) = in(H-1-c, W-1-r); KestrelC/D: out(r, c) = in(c, W-1-r); KestrelA transposes.
    const struct {
        std::unique_ptr<ZarnScannerBase> model;
        uint8_t expected[6];
    } cases[] = {{std::make_unique<ZarnScannerKestrelB>(), {6, 3, 5, 2, 4, 1}},
                 {std::make_unique<ZarnScannerKestrelC>(), {3, 6, 2, 5, 1, 4}},
                 {std::make_unique<ZarnScannerKestrelD>(), {3, 6, 2, 5, 1, 4}},
                 {std::make_unique<ZarnScannerKestrelA>(), {1, 4, 2, 5, 3, 6}}};
    for (const auto& c : cases) {
        uint8_t image[6];
        std::memcpy(image, src, 6);
        ASSERT_EQ(c.model->RotateImage(image, 3, 2), 0);
        EXPECT_EQ(std::memcmp(image, c.expected, 6), 0) << c.model->m_szScannerName;
    }
}

TEST(KestrelImage, RowSharpeningKeepsFlatAndLinearRowsAndSteepensEdges) {
    const int w = 64, h = 3;
    std::vector<uint8_t> img(size_t(w) * h);
    for (int x = 0; x < w; ++x) {
        img[size_t(x)] = 137;                            // uniform: b = 16 a = g
        img[size_t(w + x)] = uint8_t(40 + 2 * x);        // linear: the 3-tap and 5-tap blurs agree
        img[size_t(2 * w + x)] = x < w / 2 ? 100 : 180;  // a step
    }
    const std::vector<uint8_t> before = img;
    EXPECT_EQ(SmoothImageRows(img.data(), w, h, 8), 1);
    for (int x = 0; x < w; ++x) EXPECT_EQ(img[size_t(x)], 137) << x;
    for (int x = 2; x < w - 2; ++x) EXPECT_EQ(img[size_t(w + x)], before[size_t(w + x)]) << x;
    const uint8_t* step = img.data() + 2 * w;
    EXPECT_LT(step[w / 2 - 1], 100);  // the dark side darkens next to the edge
    EXPECT_GT(step[w / 2], 180);      // the bright side brightens
    EXPECT_EQ(step[4], 100);          // far from the edge nothing changes
    EXPECT_EQ(step[w - 5], 180);
    // The stated recurrence, written out plainly for one row of noise: a = 4 p, b = 4 (a[i-1] +
    // 2 a[i] + a[i+1]), each pass a := (16 a + b - g + 8) >> 4 with g the [1 4 6 4 1] sum, every
    // step saturating in 16 bits; compared away from the two samples at each end.
    std::vector<uint8_t> noise(64);
    uint32_t seed = 12345;
    for (auto& v : noise) v = uint8_t((seed = seed * 1103515245u + 12345u) >> 24);
    for (int passes : {1, 8}) {
        std::vector<int64_t> a(64);
        for (int i = 0; i < 64; ++i) a[size_t(i)] = 4 * noise[size_t(i)];
        auto at = [&](int i) { return a[size_t(i < 0 ? -i : i > 63 ? 126 - i : i)]; };
        auto sat = [](int64_t v) { return std::min<int64_t>(std::max<int64_t>(v, 0), 65535); };
        std::vector<int64_t> bRef(64);
        for (int i = 0; i < 64; ++i) bRef[size_t(i)] = sat(4 * (at(i - 1) + 2 * at(i) + at(i + 1)));
        for (int p = 0; p < passes; ++p) {
            std::vector<int64_t> next(64);
            for (int i = 0; i < 64; ++i) {
                const int64_t g = at(i - 2) + 4 * at(i - 1) + 6 * at(i) + 4 * at(i + 1) + at(i + 2);
                next[size_t(i)] = sat(sat(sat(16 * at(i)) + bRef[size_t(i)]) - g + 8) >> 4;
            }
            a = next;
        }
        std::vector<uint8_t> row = noise;
        SmoothImageRows(row.data(), 64, 1, passes);
        for (int i = 2; i < 62; ++i)
            EXPECT_EQ(int(row[size_t(i)]), int(std::min<int64_t>((a[size_t(i)] + 2) >> 2, 255))) << passes << " passes, " << i;
    }
    // No passes: only widening and narrowing, which give the row back.
    std::vector<uint8_t> same = before;
    SmoothImageRows(same.data(), w, h, 0);
    EXPECT_EQ(same, before);
}

// ---- KestrelA decode against the simulator's raw layout ------------------------------------------

TEST(KestrelA, FilterStreamDecodesTheSimulatedRawLayoutInBothModes) {
    const sim::ModelTraits& t = sim::Traits(sim::ModelId::KestrelA);
    ZarnScannerKestrelA a;
    g_pScanner = &a;
    ASSERT_EQ(a.ApplyStaticMemory(), 0);
    for (int mode : {TK_VIDEO_FULL, TK_VIDEO_ROLL}) {
        const int sizeMode = mode == TK_VIDEO_FULL ? 0 : 1;
        const sim::ModeGeometry& g = sim::Mode(t, sizeMode);
        const sim::GreyImage scene = sim::RenderTestPattern(g.sceneWidth, g.sceneHeight, 3);
        const sim::GreyImage delivered = sim::DriverCopy(t, sizeMode, sim::EncodeRaw(t, sizeMode, scene));
        std::vector<uint8_t> buffer = delivered.pixels;
        a.m_nVideoMode = mode;
        a.m_nCalibrating = 1;  // full size in the full mode
        long length = long(buffer.size());
        ASSERT_EQ(a.FilterStream(buffer.data(), &length), 0);
        ASSERT_EQ(length, long(g.sceneWidth) * g.sceneHeight);
        // The header rows and margins hold the device's own bytes; the image window is the scene.
        size_t wrong = 0;
        for (size_t i = 0; i < size_t(length); ++i) wrong += buffer[i] != scene.pixels[i];
        EXPECT_EQ(wrong, 0u) << "mode " << mode;
        // A short frame is refused.
        length = long(buffer.size()) - 1;
        EXPECT_EQ(a.FilterStream(buffer.data(), &length), -1);
    }
    // Outside calibration and result the full mode gives the 880 x 750 preview.
    const sim::GreyImage full = sim::DriverCopy(t, 0, sim::EncodeRaw(t, 0, sim::RenderTestPattern(3520, 3000, 1)));
    std::vector<uint8_t> buffer = full.pixels;
    a.m_nVideoMode = TK_VIDEO_FULL;
    a.m_nCalibrating = 0;
    long length = long(buffer.size());
    ASSERT_EQ(a.FilterStream(buffer.data(), &length), 0);
    EXPECT_EQ(length, 880L * 750L);
    a.m_nVideoMode = TK_VIDEO_PREV;
    EXPECT_EQ(a.FilterStream(buffer.data(), &length), -1);
    a.ReleaseStaticMemory();
    g_pScanner = nullptr;
}

// ---- FireWire family: frame decode and part collection -------------------------------------------

// A full frame as the camera sends it: test pattern, tag in byte 5.
std::vector<uint8_t> TaggedFrame(uint8_t tag, uint8_t fill = 0) {
    std::vector<uint8_t> f(size_t(W) * H);
    for (size_t i = 0; i < f.size(); ++i) f[i] = uint8_t(fill ? fill : (i * 7 + i / W * 3) & 0x7F);
    f[5] = tag;
    return f;
}

class KestrelFamily : public ::testing::TestWithParam<KestrelVariant> {
protected:
    void SetUp() override {
        model = MakeFamily(GetParam());
        g_pScanner = model.get();
        ASSERT_EQ(model->ApplyStaticMemory(), 0);
    }
    void TearDown() override {
        model->ReleaseStaticMemory();
        g_pScanner = nullptr;
    }
    int Feed(uint8_t tag) {
        std::vector<uint8_t> f = TaggedFrame(tag);
        long length = long(f.size());
        return model->FilterStream(f.data(), &length);
    }
    std::unique_ptr<ZarnScannerKestrelFamily> model;
};

TEST_P(KestrelFamily, FrameDecodeAndPartCollection) {
    const bool b = GetParam() == KestrelVariant::B;
    model->m_nVideoMode = TK_VIDEO_FULL;
    model->m_nCollectState = 1;
    // Tags as the camera sends them; the part each becomes (swapped pairs on KestrelC and KestrelD).
    auto partOf = [&](int tag) { return b ? tag - 129 : (tag - 129) ^ 1; };
    ASSERT_EQ(Feed(131), 0);
    EXPECT_EQ(model->m_nLastPart.load(), partOf(131));
    ASSERT_EQ(Feed(131), 0);  // repeated: collected once
    EXPECT_EQ(model->m_nPartsMask.load(), 1 << partOf(131));
    // A wrong tag: KestrelB ignores the frame's tag, KestrelC and KestrelD refuse the frame.
    EXPECT_EQ(Feed(133), b ? 0 : -1);
    EXPECT_EQ(Feed(128), b ? 0 : -1);
    EXPECT_EQ(model->m_nPartsMask.load(), 1 << partOf(131));
    ASSERT_EQ(Feed(129), 0);
    ASSERT_EQ(Feed(132), 0);
    EXPECT_EQ(model->m_nCollectState.load(), 1);
    ASSERT_EQ(Feed(130), 0);
    EXPECT_EQ(model->m_nCollectState.load(), 2);
    EXPECT_EQ(model->m_nPartsMask.load(), 0);
    EXPECT_EQ(model->m_nLastPart.load(), -1);
    // Each quarter holds its part: byte 5 is the part number (KestrelD keeps the masked byte).
    for (int tag = 129; tag <= 132; ++tag) {
        const int part = partOf(tag);
        EXPECT_EQ(model->m_pQuad[part][5], GetParam() == KestrelVariant::D ? 255 : 129 + part) << tag;
    }
    // Corner masks: the first row is white over 2912 bytes of the sensor, the last rows' starts too.
    const uint8_t* q = model->m_pQuad[0];
    if (GetParam() == KestrelVariant::D) {
        EXPECT_EQ(q[W - 1], 255);
        EXPECT_EQ(q[size_t(H - 2) * W + 11 * 254 - 1], 255);
        EXPECT_NE(q[size_t(H - 2) * W + 11 * 254 + 1], 255);
        EXPECT_NE(q[size_t(1) * W + W - 11 + 1], 255);
    } else {
        // Turned 4512 wide: the 25-row band before the last row is white.
        EXPECT_EQ(q[size_t(W - 26) * H + 1000], 255);
        EXPECT_EQ(q[size_t(W - 2) * H + 1000], 255);
        EXPECT_NE(q[size_t(W - 1) * H + 2000], 255);
    }
    // Nothing is collected while no collection runs.
    model->m_nCollectState = 0;
    model->m_nLastPart = -1;
    ASSERT_EQ(Feed(129), 0);
    EXPECT_EQ(model->m_nLastPart.load(), -1);

    // Roll, preview and unknown modes.
    std::vector<uint8_t> roll(size_t(2144) * 1536, 77);
    long length = long(roll.size());
    model->m_nVideoMode = TK_VIDEO_ROLL;
    EXPECT_EQ(model->FilterStream(roll.data(), &length), GetParam() == KestrelVariant::C ? -1 : 0);
    EXPECT_EQ(roll[0], 77);  // the roll frame goes on unchanged
    model->m_nVideoMode = TK_VIDEO_NONE;
    EXPECT_EQ(model->FilterStream(roll.data(), &length), -1);
    // Preview: masked, turned 1504 wide, shifted right by 10 with white.
    std::vector<uint8_t> prev(size_t(1456) * 1504, 60);
    length = long(prev.size());
    model->m_nVideoMode = TK_VIDEO_PREV;
    ASSERT_EQ(model->FilterStream(prev.data(), &length), 0);
    EXPECT_EQ(prev[size_t(700) * 1504 + 9], 255);
    EXPECT_EQ(prev[size_t(700) * 1504 + 760], 60);
    // The 25-row band (not on KestrelD) lies before the last row.
    EXPECT_EQ(prev[size_t(1456 - 20) * 1504 + 700], GetParam() == KestrelVariant::D ? 60 : 255);
    // A short preview frame is refused, and so is a missing frame or length.
    length = long(prev.size()) - 5;
    EXPECT_EQ(model->FilterStream(prev.data(), &length), -1);
    length = long(prev.size());
    EXPECT_EQ(model->FilterStream(nullptr, &length), -1);
    EXPECT_EQ(model->FilterStream(prev.data(), nullptr), -1);
}

INSTANTIATE_TEST_SUITE_P(Variants, KestrelFamily, ::testing::Values(KestrelVariant::B, KestrelVariant::C, KestrelVariant::D),
                         [](const auto& info) { return std::string(1, "BCD"[int(info.param)]); });

// The FireWire models scan a frame for defective sensor lines once per list and repair every
// later frame with what that scan found: a line that goes dark afterwards stays dark.
TEST(KestrelB, DefectLinesAreScannedOnceAndRepairedInEveryFrame) {
    ZarnScannerKestrelB b;
    g_pScanner = &b;
    ASSERT_EQ(b.ApplyStaticMemory(), 0);
    b.m_nVideoMode = TK_VIDEO_FULL;
    auto feed = [&](int darkRow) {
        std::vector<uint8_t> f = TaggedFrame(0, 100);
        std::memset(&f[size_t(darkRow) * W], 60, size_t(W));
        long length = long(f.size());
        EXPECT_EQ(b.FilterStream(f.data(), &length), 0);
        return f;
    };
    // Turned: sensor row y is column H - 1 - y of the image (4512 wide).
    auto at = [](const std::vector<uint8_t>& image, int sensorRow) { return image[size_t(1000) * H + size_t(H - 1 - sensorRow)]; };
    const std::vector<uint8_t> first = feed(2000);
    EXPECT_EQ(at(first, 2000), 100);  // found and repaired from its neighbours
    const std::vector<uint8_t> second = feed(3000);
    EXPECT_EQ(at(second, 3000), 60);  // not scanned again
    b.ReleaseStaticMemory();
    g_pScanner = nullptr;
}

TEST(KestrelD, FillUpBigImagePlacesEachPartOnItsGridCellsOutOfOrder) {
    ZarnScannerKestrelD d;
    g_pScanner = &d;
    ASSERT_EQ(d.ApplyStaticMemory(), 0);
    std::memset(d.m_pFullBackground, 255, size_t(d.m_FullImage.bytes));
    auto run = [&](std::initializer_list<int> order) {
        d.m_nBackgroundCounter = 0;
        d.m_pPreviousPart = nullptr;
        std::memset(d.m_pQuadSecond, 0, size_t(4) * W * H);
        for (int part : order) {
            std::vector<uint8_t> f = TaggedFrame(0, uint8_t(10 + 20 * part));
            std::memcpy(d.m_pQuad[part], f.data(), f.size());
            EXPECT_EQ(d.FillUpBigImage(part, d.m_pQuad[part], d.m_pQuadSecond), 0);
        }
        return std::vector<uint8_t>(d.m_pQuadSecond, d.m_pQuadSecond + size_t(4) * W * H);
    };
    const std::vector<uint8_t> first = run({2, 0, 3, 1});
    // Part n lies at (2y + dy, 2x + dx) with (dy, dx) = (1, 0), (0, 0), (0, 1), (1, 1).
    const int offsets[4][2] = {{1, 0}, {0, 0}, {0, 1}, {1, 1}};
    for (int part = 0; part < 4; ++part) {
        size_t wrong = 0;
        for (int y = 0; y < H; y += 7)
            for (int x = 0; x < W; x += 5)
                wrong += first[size_t(2 * y + offsets[part][0]) * 2 * W + 2 * x + offsets[part][1]] != d.m_pQuad[part][size_t(y) * W + x];
        EXPECT_EQ(wrong, 0u) << "part " << part;
    }
    EXPECT_EQ(d.FillUpBigImage(4, d.m_pQuad[0], d.m_pQuadSecond), -1);
    EXPECT_EQ(d.FillUpBigImage(-1, d.m_pQuad[0], d.m_pQuadSecond), -1);
    d.ReleaseStaticMemory();
    g_pScanner = nullptr;
}

// ---- the full-resolution result, bit for bit -----------------------------------------------------

// FNV-1a over a byte image.
uint64_t Fingerprint(const uint8_t* p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// Four parts of the simulated camera's test picture as the camera tags them, over a background
// that darkens towards the bottom right.
struct FixedResultInput {
    std::vector<std::vector<uint8_t>> parts;
    std::vector<uint8_t> background;
    FixedResultInput() : background(size_t(W) * H) {
        for (int n = 0; n < 4; ++n) {
            const int dy = n == 0 || n == 3, dx = n >= 2;
            std::vector<uint8_t> f(size_t(W) * H);
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x)
                    f[size_t(y) * W + x] = sim::SimKestrel::PatternGroundTruth(0, 2 * x + dx, 2 * y + dy);
            f[5] = uint8_t(129 + n);
            parts.push_back(std::move(f));
        }
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) background[size_t(y) * W + x] = uint8_t(255 - (x / 200 + y / 300));
    }
};

// The combination of the four parts and the flat output of KestrelB (SR3) and KestrelD (the grid
// with the row sharpening) give exactly the images the single-threaded assembly gave: the figures
// are the images' FNV-1a fingerprints taken from it.
TEST(KestrelResult, CombinationAndFlatOutputAreBitIdenticalToTheSingleThreadedAssembly) {
    const FixedResultInput input;
    struct Expected {
        KestrelVariant variant;
        uint64_t combined, result;
    };
    const Expected cases[] = {
        {KestrelVariant::B, 0xefa4aa1a1f49ee28ull, 0x9e319027f60b8282ull},
        {KestrelVariant::D, 0xe2bef94a0c2c0901ull, 0xa43d87017e0b46c3ull},
    };
    for (const Expected& c : cases) {
        SCOPED_TRACE(c.variant == KestrelVariant::B ? "KestrelB" : "KestrelD");
        std::unique_ptr<ZarnScannerKestrelFamily> m = MakeFamily(c.variant);
        g_pScanner = m.get();
        ASSERT_EQ(m->ApplyStaticMemory(), 0);
        std::memcpy(m->m_pFullBackground, input.background.data(), input.background.size());
        for (int n = 0; n < 4; ++n) std::memcpy(m->m_pQuad[n], input.parts[size_t(n)].data(), input.parts[size_t(n)].size());
        m->m_nImageType = ZARN_IMAGE_SLAP_RIGHT;
        m->m_nFullResult = 1;
        m->m_nCalibrating = 0;
        m->m_hDistortion = MM_TDistortionCorrectInit();
        // Two results in a row: the kept work buffers must not carry anything from the first.
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(round);
            for (int n = 0; n < 4; ++n)
                std::memcpy(m->m_pQuad[n], input.parts[size_t(n)].data(), input.parts[size_t(n)].size());
            m->m_nCollectedMask = 0;
            m->m_nStitchCount = 0;
            if (auto* d = dynamic_cast<ZarnScannerKestrelD*>(m.get())) {
                d->m_nBackgroundCounter = 0;
                d->m_pPreviousPart = nullptr;
                std::memset(d->m_pQuadSecond, 255, size_t(4) * W * H);
            }
            ASSERT_EQ(m->GetFullModeResultImage_Step2(), 0);
            const uint8_t* combined = c.variant == KestrelVariant::D ? m->m_pQuadSecond : m->m_pQuadBlock;
            EXPECT_EQ(Fingerprint(combined, size_t(4) * W * H), c.combined)
                << std::hex << "0x" << Fingerprint(combined, size_t(4) * W * H);
            ASSERT_EQ(m->FlatResultOutput(), 0);
            const size_t bytes = size_t(m->ImageInfo.width) * size_t(m->ImageInfo.height);
            EXPECT_EQ(m->ImageInfo.width, 5104);
            EXPECT_EQ(m->ImageInfo.height, 5000);
            EXPECT_EQ(Fingerprint(m->ImageInfo.image, bytes), c.result) << std::hex << "0x" << Fingerprint(m->ImageInfo.image, bytes);
        }
        m->ReleaseStaticMemory();
        g_pScanner = nullptr;
    }
}

// Step 2 combines the parts the collection left; when it has combined all four already, Step 2
// makes no combining call, returns 0 (KestrelC: the OR of no results) and copies the combined image
// to the start of the quad block again.
TEST(KestrelResult, StepTwoAfterEveryPartWasCombinedCopiesTheImageAndSucceeds) {
    const FixedResultInput input;
    for (KestrelVariant v : {KestrelVariant::B, KestrelVariant::C}) {
        SCOPED_TRACE(v == KestrelVariant::B ? "KestrelB" : "KestrelC");
        std::unique_ptr<ZarnScannerKestrelFamily> m = MakeFamily(v);
        g_pScanner = m.get();
        ASSERT_EQ(m->ApplyStaticMemory(), 0);
        for (int n = 0; n < 4; ++n) std::memcpy(m->m_pQuad[n], input.parts[size_t(n)].data(), input.parts[size_t(n)].size());
        m->m_nImageType = ZARN_IMAGE_SLAP_RIGHT;
        m->m_nCollectedMask = 0;
        m->m_nStitchCount = 0;
        ASSERT_EQ(m->GetFullModeResultImage_Step2(), 0);
        ASSERT_EQ(m->m_nStitchCount, 4);
        ASSERT_EQ(m->m_nCollectedMask.load(), 15);
        const uint64_t combined = Fingerprint(m->m_pQuadBlock, size_t(4) * W * H);
        std::memset(m->m_pQuadBlock, 0, size_t(4) * W * H);
        m->m_nFullModeCapture = 1;
        EXPECT_EQ(m->GetFullModeResultImage_Step2(), 0);
        EXPECT_EQ(m->m_nStitchCount, 4);
        EXPECT_EQ(m->m_nFullModeCapture.load(), 0);
        EXPECT_EQ(Fingerprint(m->m_pQuadBlock, size_t(4) * W * H), combined);
        m->ReleaseStaticMemory();
        g_pScanner = nullptr;
    }
}

// Step 2 with no part left to combine and no combined image (every combining call of the capture
// failed) has no result to hand on: it fails rather than report the empty quad block as an image.
TEST(KestrelResult, StepTwoWithoutACombinedImageFails) {
    for (KestrelVariant v : {KestrelVariant::B, KestrelVariant::C}) {
        std::unique_ptr<ZarnScannerKestrelFamily> m = MakeFamily(v);
        g_pScanner = m.get();
        ASSERT_EQ(m->ApplyStaticMemory(), 0);
        m->m_nImageType = ZARN_IMAGE_SLAP_RIGHT;
        m->m_nCollectedMask = 15;
        ASSERT_EQ(m->m_pStitched, nullptr);
        EXPECT_EQ(m->GetFullModeResultImage_Step2(), ZARN_ERR_CAMERA_STEP);
        EXPECT_EQ(m->m_nStitchCount, 0);
        m->ReleaseStaticMemory();
        g_pScanner = nullptr;
    }
}

// ---- where the renderer put the fingers ----------------------------------------------------------

// A fingertip contact the renderer put on the platen, in millimetres from the platen centre (y
// down): the centre and the box of its contact.
struct ContactMm {
    int isoFinger = 0;
    double x = 0, y = 0, left = 0, top = 0, right = 0, bottom = 0;
};

// The contacts of `layout` moved by (dxMm, dyMm), from a render of the platen at 250 ppi.
std::vector<ContactMm> ContactsOnThePlaten(sim::FingerLayout layout, double dxMm, double dyMm) {
    constexpr int kSize = 1300;  // 132 mm square: the largest platen
    constexpr double kMmPerPixel = 25.4 / 250;
    sim::FingerScene s;
    s.platen.width = s.platen.height = kSize;
    s.platen.ppiX = s.platen.ppiY = 250;
    s.platen.noise = 0;
    s.layout = layout;
    s.offsetXmm = dxMm, s.offsetYmm = dyMm;
    sim::SceneTruth truth;
    sim::RenderFingers(s, 1, &truth);
    auto mm = [](double pixel) { return (pixel + 0.5 - kSize / 2.0) * kMmPerPixel; };
    std::vector<ContactMm> contacts;
    for (const sim::FingerTruth& f : truth.fingers)
        contacts.push_back({f.isoFinger, mm(f.centreX), mm(f.centreY), mm(f.left - 0.5), mm(f.top - 0.5), mm(f.right + 0.5),
                            mm(f.bottom + 0.5)});
    return contacts;
}

// Contact centres lie within 5 pixels (0.13 mm at 1000 ppi) of where they were put.
constexpr double kContactTolerance = 5;

// Centre of the contact region of a top-down image inside a box (inclusive): the pixels whose
// neighbourhood of about one and a half ridge periods at 1000 ppi (25 x 25) is dark in one pixel
// of ten or more, which fills the valleys between the ridges. The mean of the dark pixels alone
// follows the ridges' widths, which change over a print; the filled region does not, and it is
// what the renderer's centre averages. False for fewer than 500 such pixels.
bool ContactCentroid(const std::vector<uint8_t>& image, int width, int height, int l, int t, int r, int b, double* x,
                     double* y) {
    constexpr int kRadius = 12;
    constexpr double kShare = 0.1;
    l = std::max(0, l), t = std::max(0, t), r = std::min(width - 1, r), b = std::min(height - 1, b);
    if (l > r || t > b) return false;
    // Dark pixels counted over the box widened by the neighbourhood, as an integral image.
    const int x0 = std::max(0, l - kRadius), y0 = std::max(0, t - kRadius);
    const int x1 = std::min(width - 1, r + kRadius), y1 = std::min(height - 1, b + kRadius);
    const int iw = x1 - x0 + 2;
    std::vector<uint32_t> sum(size_t(iw) * size_t(y1 - y0 + 2), 0);
    for (int row = y0; row <= y1; ++row)
        for (int col = x0; col <= x1; ++col)
            sum[size_t(row - y0 + 1) * iw + (col - x0 + 1)] = (image[size_t(row) * width + col] < 128) +
                                                               sum[size_t(row - y0) * iw + (col - x0 + 1)] +
                                                               sum[size_t(row - y0 + 1) * iw + (col - x0)] -
                                                               sum[size_t(row - y0) * iw + (col - x0)];
    double sx = 0, sy = 0, n = 0;
    for (int row = t; row <= b; ++row)
        for (int col = l; col <= r; ++col) {
            const int ya = std::max(y0, row - kRadius) - y0, yb = std::min(y1, row + kRadius) - y0 + 1;
            const int xa = std::max(x0, col - kRadius) - x0, xb = std::min(x1, col + kRadius) - x0 + 1;
            const double dark = double(sum[size_t(yb) * iw + xb]) - sum[size_t(ya) * iw + xb] - sum[size_t(yb) * iw + xa] +
                                sum[size_t(ya) * iw + xa];
            if (dark >= kShare * (yb - ya) * (xb - xa)) sx += col, sy += row, n += 1;
        }
    if (n < 500) return false;
    *x = sx / n, *y = sy / n;
    return true;
}

// Checks that the image (bottom row first) shows each of `count` contacts of `layout`, moved by
// (dxMm, dyMm), within `tolerance` pixels of where `place` maps its millimetres in the upright
// image.
using Placement = std::function<std::pair<double, double>(double xMm, double yMm)>;
void ExpectContactsAt(const std::vector<uint8_t>& bottomUp, int w, int h, sim::FingerLayout layout, double dxMm, double dyMm,
                      size_t count, const Placement& place, double tolerance) {
    const std::vector<ContactMm> contacts = ContactsOnThePlaten(layout, dxMm, dyMm);
    ASSERT_EQ(contacts.size(), count);
    std::vector<uint8_t> upright(bottomUp);
    for (int r = 0; r < h / 2; ++r)
        std::swap_ranges(upright.begin() + r * w, upright.begin() + (r + 1) * w, upright.begin() + (h - 1 - r) * w);
    for (const ContactMm& c : contacts) {
        SCOPED_TRACE(testing::Message() << "finger " << c.isoFinger);
        const auto [l, t] = place(c.left, c.top);
        const auto [r, b] = place(c.right, c.bottom);
        const auto [cx, cy] = place(c.x, c.y);
        double x = 0, y = 0;
        ASSERT_TRUE(ContactCentroid(upright, w, h, int(std::lround(l)), int(std::lround(t)), int(std::lround(r)),
                                    int(std::lround(b)), &x, &y));
        EXPECT_NEAR(x, cx, tolerance);
        EXPECT_NEAR(y, cy, tolerance);
    }
}

// ---- the FireWire scanners end to end ------------------------------------------------------------

// The results the exported interface delivers to its result callback.
struct Delivered {
    std::mutex mutex;
    int count = 0, status = -1, type = -1;
    ZarnImageInfo info{};
    std::vector<uint8_t> pixels;  // the last result, bottom row first
    static void Result(void* c, int status, ZarnImageInfo info, int type, int) {
        auto* d = static_cast<Delivered*>(c);
        std::lock_guard lock(d->mutex);
        ++d->count, d->status = status, d->info = info, d->type = type;
        d->pixels.assign(info.image, info.image + size_t(info.width) * size_t(info.height));
    }
};

// The result delivered last: the `count`-th, successful, of `type`, `width` x `height` at 1000 ppi.
void ExpectDelivered(const Delivered& delivered, int count, int type, int width, int height) {
    ASSERT_EQ(delivered.count, count);
    EXPECT_EQ(delivered.status, 0);
    EXPECT_EQ(delivered.type, type);
    ASSERT_EQ(delivered.info.width, width);
    ASSERT_EQ(delivered.info.height, height);
    EXPECT_EQ(delivered.info.xResolution, 1000);
    EXPECT_EQ(delivered.info.yResolution, 1000);
}

// Zarn_Capture_SetMode for `type` on the initialised scanner: `width` x `height` at 1000 ppi.
void ExpectMode(int type, int width, int height) {
    int w = 0, h = 0, xr = 0, yr = 0;
    ASSERT_EQ(Zarn_Capture_SetMode(type, 1000, 0, 0, &w, &h, &xr, &yr), 0);
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
    EXPECT_EQ(xr, 1000);
    EXPECT_EQ(yr, 1000);
}

class KestrelCamera : public ::testing::Test {
protected:
    // The model opened on its simulated camera without a calibration: the full background is
    // white, so that the background correction leaves the parts as the camera sent them. Without
    // the pattern the camera shows its platen.
    void Open(KestrelVariant v, sim::KestrelConfig config = {}, bool pattern = true) {
        ASSERT_NO_FATAL_FAILURE(Attach(v, config, pattern));
        model = MakeFamily(v);
        g_pScanner = model.get();
        model->m_pfnMessageSink = &MessageSink;
        ASSERT_EQ(model->InitializeRes(), 0);
        std::memset(model->m_pFullBackground, 255, size_t(model->m_FullImage.bytes));
        ASSERT_EQ(model->InitVideoMode(TK_VIDEO_FULL), 0);
    }
    // The simulated camera alone: the exported layer creates the model. Without the pattern the
    // camera shows its platen.
    void Attach(KestrelVariant v, sim::KestrelConfig config = {}, bool pattern = true) {
        ASSERT_TRUE(kSlotIsolated);
        ZarnScannerBase::s_nWaitScale = int(scannertest::Slowdown());
        config.variant = v;
        config.testPattern = pattern;
        config.stillPattern = true;
        config.framePeriodMs = periodMs * scannertest::Slowdown();
        bus = std::make_shared<sim::SimFireWireBus>();
        camera = bus->Add(config);
        platform::FireWireCameras::Use(bus);
    }
    void TearDown() override {
        if (model) {
            model->ReleaseRes();
        } else if (g_pScanner.load() != nullptr) {
            Zarn_Main_DeInitialize();
        }
        g_pScanner = nullptr;
        model.reset();
        platform::FireWireCameras::Use(nullptr);
        camera.reset();
        bus.reset();
    }

    // A manual flat capture of `type` through the exported interface on the initialised scanner
    // (mode, start, take, acquire): one more result of `width` x `height` at 1000 ppi, type value
    // 3.0, lands in `delivered`.
    static void CaptureFlat(int type, int fingers, int width, int height, Delivered& delivered) {
        ASSERT_NO_FATAL_FAILURE(ExpectMode(type, width, height));
        const int before = [&] {
            std::lock_guard lock(delivered.mutex);
            return delivered.count;
        }();
        ASSERT_EQ(Zarn_Capture_Start(fingers, 0), 0);
        ASSERT_EQ(Zarn_Capture_TakeResultImage(), 0);
        ASSERT_EQ(Zarn_Capture_AcquireResultImage(), 0);
        std::lock_guard lock(delivered.mutex);
        ASSERT_NO_FATAL_FAILURE(ExpectDelivered(delivered, before + 1, type, width, height));
        EXPECT_EQ(delivered.info.typeValue, 3.0);
    }

    // Which offset (dy, dx) within +-`tolerance` explains the cells of one offset class (cy, cx) of
    // an assembled image best against the simulator's still picture, and how many cells it leaves
    // unexplained (white cells aside). `truthOf` maps a cell (row, column) to its grid point
    // (column, row) of the sensor's double-resolution grid.
    struct Fit {
        int dy = 0, dx = 0;
        size_t unexplained = 0, checked = 0;
    };
    static Fit FitClass(const uint8_t* grid, int gw, int gh, int cy, int cx, int tolerance,
                        const std::function<std::pair<int, int>(int, int)>& truthOf) {
        Fit best;
        best.unexplained = SIZE_MAX;
        for (int dy = -tolerance; dy <= tolerance; ++dy)
            for (int dx = -tolerance; dx <= tolerance; ++dx) {
                Fit f{dy, dx, 0, 0};
                for (int Y = 600 + cy; Y < gh - 600; Y += 14)
                    for (int X = 600 + cx; X < gw - 600; X += 10) {
                        const uint8_t v = grid[size_t(Y) * gw + X];
                        if (v == 255) continue;
                        ++f.checked;
                        auto [x, y] = truthOf(Y + dy, X + dx);
                        f.unexplained += v != sim::SimKestrel::PatternGroundTruth(0, x, y);
                    }
                if (f.unexplained < best.unexplained) best = f;
            }
        return best;
    }

    // Takes a flat result of `imageType` as the exported capture does (the four parts, Step 2,
    // the flat output) from what the camera shows; the image, bottom row first, lands in `result`.
    void TakeFlatResult(int imageType, int width, int height, std::vector<uint8_t>& result) {
        ASSERT_EQ(model->GetFullModeResultImage(), 0);
        ASSERT_EQ(model->GetFullModeResultImage_Step2(), 0);
        model->m_nImageType = imageType;
        ASSERT_EQ(model->FlatResultOutput(), 0);
        ASSERT_EQ(model->ImageInfo.width, width);
        ASSERT_EQ(model->ImageInfo.height, height);
        result.assign(model->ImageInfo.image, model->ImageInfo.image + size_t(width) * size_t(height));
    }
    // Where a point of the glass (millimetres from the platen centre, y down) lies in the upright
    // 5104 x 5000 slap result at 1000 ppi: the keystone correction of the assembled 9024 x 5824
    // image with the full-mode distortion set gives an even 1000 ppi image centred on the platen
    // centre, of which the result keeps the top rows and the middle columns.
    static std::pair<double, double> InSlapResult(double xMm, double yMm) {
        static const std::pair<int, int> corrected = [] {
            LiveScanAlg::DistortionCorrectionRecord rec{};
            rec.Height = 5824, rec.Width = 9024;
            rec.A = 1664, rec.B = 1618, rec.L = 1160, rec.E = 2450, rec.G = 1008, rec.K = 1008;
            LiveScanAlg::TDistortionCorrectInt(nullptr, nullptr, &rec);  // asks for the size only
            return std::pair{int(rec.OutputWidth), int(rec.OutputHeight)};
        }();
        EXPECT_GE(corrected.first, 5104);
        EXPECT_GE(corrected.second, 5000);
        const double perMm = 1000 / 25.4;
        return {xMm * perMm + corrected.first / 2.0 - 0.5 - (corrected.first - 5104) / 2,
                yMm * perMm + corrected.second / 2.0 - 0.5};
    }
    // The same in a single-finger result: the lower-centre 2552 x 2500 window of the slap result.
    static std::pair<double, double> InSingleResult(double xMm, double yMm) {
        const auto [x, y] = InSlapResult(xMm, yMm);
        return {x - 5104 / 4, y - 5000 / 2};
    }

    double periodMs = 120;  // frame period of the simulated camera
    std::shared_ptr<sim::SimFireWireBus> bus;
    std::shared_ptr<sim::SimKestrel> camera;
    std::unique_ptr<ZarnScannerKestrelFamily> model;
};

TEST_F(KestrelCamera, KestrelDPutsEveryPartExactlyOnTheInterleavedGrid) {
    sim::KestrelConfig c;
    c.tagSequence = {131, 129, 132, 130};  // out of order
    Open(KestrelVariant::D, c);
    ASSERT_EQ(model->GetFullModeResultImage(), 0);
    EXPECT_EQ(model->m_nFullModeCapture.load(), 1);
    EXPECT_NE(model->m_Running.captureStatus.load(), ZARN_ERR_CAPTURE_PALMMOVING);
    // The collection ends when the last part arrived; Step 2 places what is left (and then sharpens).
    // Parts that came while the collection slept wait for Step 2: every part placed so far is in
    // the mask, once.
    auto* d = static_cast<ZarnScannerKestrelD*>(model.get());
    EXPECT_GE(model->m_nStitchCount, 1);
    EXPECT_EQ(model->m_nStitchCount, std::popcount(unsigned(model->m_nCollectedMask.load())));
    for (int i = 0; i < 4; ++i)
        if ((model->m_nCollectedMask.load() & (1 << i)) == 0) d->FillUpBigImage(i, model->m_pQuad[i], model->m_pQuadSecond);
    // The grid in the sensor's orientation is the simulator's double-resolution grid itself.
    const uint8_t* grid = model->m_pQuadSecond;
    for (int cy = 0; cy < 2; ++cy)
        for (int cx = 0; cx < 2; ++cx) {
            const Fit f = FitClass(grid, 2 * W, 2 * H, cy, cx, 1, [](int Y, int X) { return std::pair{X, Y}; });
            SCOPED_TRACE(testing::Message() << "cell " << cy << "," << cx);
            EXPECT_EQ(f.dy, 0);
            EXPECT_EQ(f.dx, 0);
            EXPECT_GT(f.checked, 50000u);
            EXPECT_EQ(f.unexplained, 0u);
        }
    ASSERT_EQ(model->GetFullModeResultImage_Step2(), 0);
    EXPECT_EQ(model->m_nFullModeCapture.load(), 0);
    model->m_nImageType = 2;
    ASSERT_EQ(model->FlatResultOutput(), 0);
    EXPECT_EQ(model->ImageInfo.width, 5104);
    EXPECT_EQ(model->ImageInfo.height, 5000);
    EXPECT_EQ(model->ImageInfo.image, model->m_pQuadSecond);
}

TEST_F(KestrelCamera, KestrelBCombinesThePartsWithSr3WithinOneGridCell) {
    Open(KestrelVariant::B);
    ASSERT_EQ(model->GetFullModeResultImage(), 0);
    ASSERT_EQ(model->GetFullModeResultImage_Step2(), 0);
    // The combined image is the turned grid: cell (R, C) shows grid point (2W-1-R, 2H-1-C) as
    // (column, row) of the sensor's grid; SR3 places each view to within one cell of it.
    const uint8_t* image = model->m_pQuadBlock;
    for (int cy = 0; cy < 2; ++cy)
        for (int cx = 0; cx < 2; ++cx) {
            const Fit f = FitClass(image, 2 * H, 2 * W, cy, cx, 1,
                                   [](int R, int C) { return std::pair{2 * W - 1 - R, 2 * H - 1 - C}; });
            SCOPED_TRACE(testing::Message() << "cell " << cy << "," << cx);
            EXPECT_LE(std::abs(f.dy), 1);
            EXPECT_LE(std::abs(f.dx), 1);
            EXPECT_GT(f.checked, 50000u);
            EXPECT_LT(f.unexplained, f.checked / 100);
        }
    model->m_nImageType = 23;  // a single flat: the lower-centre window
    ASSERT_EQ(model->FlatResultOutput(), 0);
    EXPECT_EQ(model->ImageInfo.width, 2552);
    EXPECT_EQ(model->ImageInfo.height, 2500);
}

// A hand on the glass through the scanner's keystone optics: the contacts of a single-finger or a
// thumbs result lie where the renderer put them. The single finger lies right of the platen's
// centre line and low in the single-finger window, so a mirrored or upturned result would show it
// elsewhere; KestrelB's turn mirrors its parts, KestrelD's transpose and flip do not.
struct HandCase {
    KestrelVariant variant;
    sim::FingerLayout layout;
    double dxMm, dyMm;
    int imageType, width, height;
    size_t fingers;
};

class KestrelHand : public KestrelCamera, public ::testing::WithParamInterface<HandCase> {};

TEST_P(KestrelHand, ContactsLieWhereTheyWerePutAfterTheKeystoneCorrection) {
    const HandCase& k = GetParam();
    sim::KestrelConfig c;
    c.layout = k.layout;
    c.offsetXmm = k.dxMm, c.offsetYmm = k.dyMm;
    Open(k.variant, c, false);
    std::vector<uint8_t> result;
    ASSERT_NO_FATAL_FAILURE(TakeFlatResult(k.imageType, k.width, k.height, result));
    ExpectContactsAt(result, k.width, k.height, k.layout, k.dxMm, k.dyMm, k.fingers,
                     k.width == 5104 ? &InSlapResult : &InSingleResult, kContactTolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KestrelHand,
    ::testing::Values(HandCase{KestrelVariant::B, sim::FingerLayout::SingleFinger, 12, 31, 23, 2552, 2500, 1},
                      HandCase{KestrelVariant::C, sim::FingerLayout::TwoThumbs, 0, 0, ZARN_IMAGE_TWO_THUMBS, 5104, 5000, 2},
                      HandCase{KestrelVariant::D, sim::FingerLayout::SingleFinger, 12, 31, 23, 2552, 2500, 1}),
    [](const ::testing::TestParamInfo<HandCase>& info) {
        return std::string("Kestrel") + "BCD"[int(info.param.variant)] +
               (info.param.layout == sim::FingerLayout::TwoThumbs ? "Thumbs" : "SingleFinger");
    });

TEST_F(KestrelCamera, RepeatedPartsAreTakenOnceAndALostPartEndsTheCaptureWith602) {
    sim::KestrelConfig c;
    c.tagSequence = {130, 129, 129, 132, 129, 131};
    Open(KestrelVariant::C, c);
    ASSERT_EQ(model->GetFullModeResultImage(), 0);
    // The collection combines the newest part whenever it looks, so how many it combined depends
    // on how the frames fell between its rounds; Step 2 combines the rest. Each part is combined
    // once in all: the repeats of 129 add nothing.
    EXPECT_EQ(model->m_nStitchCount, std::popcount(unsigned(model->m_nCollectedMask.load())));
    ASSERT_EQ(model->GetFullModeResultImage_Step2(), 0);
    EXPECT_EQ(model->m_nStitchCount, 4);
    EXPECT_EQ(model->m_nCollectedMask.load(), 15);
    model->ReleaseRes();
    model.reset();
    g_pScanner = nullptr;
    platform::FireWireCameras::Use(nullptr);

    c.tagSequence = {129, 130, 131};  // 132 never comes
    periodMs = 300;  // the ten seconds of waiting need no more frames
    Open(KestrelVariant::D, c);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(model->GetFullModeResultImage(), -602);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(9000));
    EXPECT_EQ(model->m_nFullModeCapture.load(), 0);
    EXPECT_EQ(model->m_nCollectState.load(), 0);
    // Step 2 places the missing part from what its quarter holds and finishes the image.
    EXPECT_EQ(model->GetFullModeResultImage_Step2(), 0);
}

TEST_F(KestrelCamera, PalmMovementBetweenPartsIsReportedWhileTheResultIsBuilt) {
    sim::KestrelConfig c;
    c.palmMovesAt = 2;
    c.palmShift = 26;  // half the pattern's period along a row
    Open(KestrelVariant::D, c);
    {
        std::lock_guard lock(g_messagesLock);
        g_messageCodes.clear();
    }
    ASSERT_EQ(model->GetFullModeResultImage(), 0);
    // Parts that came while the collection slept are placed by Step 2, which checks them too.
    model->GetFullModeResultImage_Step2();
    EXPECT_EQ(model->m_Running.captureStatus.load(), ZARN_ERR_CAPTURE_PALMMOVING);
    std::lock_guard lock(g_messagesLock);
    EXPECT_NE(std::find(g_messageCodes.begin(), g_messageCodes.end(), intptr_t(622 - 7800)), g_messageCodes.end());
}

TEST_F(KestrelCamera, CalibrationTakesTheFullBackgroundFromACollectedPartAndEndsInThePreview) {
    Open(KestrelVariant::C);
    ASSERT_EQ(model->SetCalibration(0), 0);
    EXPECT_EQ(model->m_nBackgroundStage.load(), 1);
    EXPECT_EQ(model->m_nVideoMode.load(), TK_VIDEO_PREV);
    EXPECT_EQ(model->m_nImageType.load(), 2);
    EXPECT_EQ(model->m_nCalibrating.load(), 0);
    // Quarter 1 (tag 129 on KestrelC) is the background, turned and banded.
    EXPECT_EQ(std::memcmp(model->m_pFullBackground, model->m_pQuad[1], size_t(model->m_FullImage.bytes)), 0);
    // Without a search the exposure found is the camera's own (40); the preview pass sets it as
    // property 0 too.
    long value = 0;
    ASSERT_TRUE(camera->GetRegister(0, &value));
    EXPECT_EQ(value, 40);
    EXPECT_EQ(model->m_nCameraFull[0], 40);
    EXPECT_EQ(model->m_nCameraPreview[0], 40);
    EXPECT_EQ(model->m_nCameraPreview[1], 0);
    EXPECT_EQ(model->m_nCameraPreview[2], 40);
}

TEST_F(KestrelCamera, LedsBlinkTheTypesMaskAndKeysReachTheKeypadCallback) {
    Open(KestrelVariant::B);
    model->m_Running.initialised = 1;  // LED writes need an initialised library
    model->m_nImageType = 4;  // both thumbs
    long low = 0, high = 0;
    ASSERT_EQ(model->BlinkLEDs(), 0);
    ASSERT_TRUE(camera->GetRegister(12, &low) && camera->GetRegister(11, &high));
    EXPECT_EQ(low, 0xFE);
    EXPECT_EQ(high, 0xFE);
    ASSERT_EQ(model->BlinkLEDs(), 0);
    ASSERT_TRUE(camera->GetRegister(12, &low) && camera->GetRegister(11, &high));
    EXPECT_EQ(low, 0xFF);
    EXPECT_EQ(high, 0xFF);
    static std::atomic<int> key{-1};
    model->m_pfnKeypad = [](void*, int k) { key = k; };
    model->m_nKeypadEnabled = 1;
    ASSERT_EQ(model->CreateFootSwitchThread(), 0);
    ASSERT_TRUE(camera->SetRegister(16, 2));
    EXPECT_TRUE(WaitUntil([] { return key.load() == 1; }, 3000));
    ASSERT_TRUE(camera->SetRegister(16, 0x11));  // masked with 0xF: key 0
    EXPECT_TRUE(WaitUntil([] { return key.load() == 0; }, 3000));
}

// Through the exported interface: the factory picks KestrelD by its FireWire text, Initialize
// calibrates (three passes), and a manual slap capture takes the four parts and delivers the
// 5104 x 5000 result at 1000 ppi.
TEST_F(KestrelCamera, KestrelDThroughTheExportedInterface) {
    Attach(KestrelVariant::D);
    ZarnConnectedScanners found{};
    ASSERT_EQ(Zarn_Main_GetConnectedScanner(&found), 0);
    EXPECT_EQ(found.entries[ZARN_FAMILY_KESTREL_B], 1);
    ASSERT_EQ(Zarn_Main_Initialize(602), 0);
    auto* d = dynamic_cast<ZarnScannerKestrelD*>(g_pScanner.load());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->m_nBackgroundStage.load(), 1);  // calibrated
    // The device record from the camera's device text (serial 2001, dates 2024-05-14).
    ZarnDeviceInfo info{};
    ASSERT_EQ(Zarn_Main_GetDeviceInfo(&info), 0);
    EXPECT_STREQ(info.model, "KestrelB");
    EXPECT_STREQ(info.serialNumber, "2402001");
    EXPECT_STREQ(info.firstDate, "20240514");
    EXPECT_STREQ(info.secondDate, "20240514");

    Delivered delivered;
    ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Delivered::Result, &delivered), 0);
    int w = 0, h = 0, xr = 0, yr = 0;
    ASSERT_EQ(Zarn_Capture_SetMode(2, 1000, 0, 0, &w, &h, &xr, &yr), 0);
    EXPECT_EQ(w, 5104);
    EXPECT_EQ(h, 5000);
    EXPECT_EQ(xr, 1000);
    ASSERT_EQ(Zarn_Capture_Start(4, 0), 0);
    ASSERT_EQ(Zarn_Capture_TakeResultImage(), 0);
    EXPECT_TRUE(d->m_nCollectedMask.load() != 0);
    ASSERT_EQ(Zarn_Capture_AcquireResultImage(), 0);
    std::lock_guard lock(delivered.mutex);
    ASSERT_EQ(delivered.count, 1);
    EXPECT_EQ(delivered.status, 0);
    EXPECT_EQ(delivered.type, 2);
    EXPECT_EQ(delivered.info.width, 5104);
    EXPECT_EQ(delivered.info.height, 5000);
    EXPECT_EQ(delivered.info.xResolution, 1000);
    EXPECT_EQ(delivered.info.image, d->m_pQuadSecond);
    EXPECT_EQ(d->m_nCollectedMask.load(), 15);
    EXPECT_EQ(d->m_nVideoMode.load(), TK_VIDEO_PREV);  // back to the preview after the result

    // The result put the LEDs out; the controls set the 16-bit mask (low byte register 12, high
    // byte register 11), play the scanner's own beeper patterns (n as n + 1) and read the keys.
    long low = 0, high = 0, beeper = 0;
    ASSERT_TRUE(camera->GetRegister(12, &low) && camera->GetRegister(11, &high));
    EXPECT_EQ(low, 0xFF);
    EXPECT_EQ(high, 0xFF);
    ASSERT_EQ(Zarn_Controls_SetLEDs(2, 0xEFFE), 0);
    ASSERT_TRUE(camera->GetRegister(12, &low) && camera->GetRegister(11, &high));
    EXPECT_EQ(low, 0xFE);
    EXPECT_EQ(high, 0xEF);
    int value = -1;
    EXPECT_EQ(Zarn_Controls_GetLEDs(2, &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(Zarn_Controls_SetLEDs(1, 0x0F), ZARN_ERR_NOT_SUPPORTED);
    ASSERT_EQ(Zarn_Controls_Beeper(2), 0);
    ASSERT_TRUE(camera->GetRegister(13, &beeper));
    EXPECT_EQ(beeper, 3);
    static std::atomic<int> key{-1}, foot{0};
    ASSERT_EQ(Zarn_Capture_RegisterCallbackKeypad([](void*, int k) { key = k; }, &delivered), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackFootSwitch([](void*) { ++foot; }, &delivered), 0);
    ASSERT_TRUE(camera->SetRegister(16, 2));
    EXPECT_TRUE(WaitUntil([] { return key.load() == 1; }, 3000));
    ASSERT_TRUE(camera->SetRegister(16, 4));
    EXPECT_TRUE(WaitUntil([] { return foot.load() >= 1; }, 3000));
    ASSERT_TRUE(camera->SetRegister(16, 0));
}


// KestrelB and KestrelC through the exported interface: the factory picks the class by the
// camera's sub-type, Initialize calibrates, and a manual slap capture takes the four parts and
// delivers the full-resolution slap window at 1000 ppi. KestrelC, which has no roll, refuses the
// roll types, takes a single finger as the lower-centre window of the slap image and sizes the
// thumbs and the hand types as a slap.
TEST_F(KestrelCamera, KestrelBAndKestrelCSlapThroughTheExportedInterface) {
    const struct {
        KestrelVariant variant;
        int imageType;
    } cases[] = {{KestrelVariant::B, ZARN_IMAGE_SLAP_LEFT}, {KestrelVariant::C, ZARN_IMAGE_SLAP_RIGHT}};
    periodMs = 120;
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << "variant " << int(k.variant));
        Attach(k.variant);
        ASSERT_EQ(Zarn_Main_Initialize(602), 0);
        ZarnScannerBase* s = g_pScanner.load();
        ASSERT_NE(s, nullptr);
        auto* family = dynamic_cast<ZarnScannerKestrelFamily*>(s);
        ASSERT_NE(family, nullptr);
        if (k.variant == KestrelVariant::B) {
            EXPECT_NE(dynamic_cast<ZarnScannerKestrelB*>(s), nullptr);
        } else {
            EXPECT_NE(dynamic_cast<ZarnScannerKestrelC*>(s), nullptr);
        }
        EXPECT_EQ(family->m_nBackgroundStage.load(), 1);  // calibrated

        Delivered delivered;
        ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Delivered::Result, &delivered), 0);
        ASSERT_NO_FATAL_FAILURE(CaptureFlat(k.imageType, 4, 5104, 5000, delivered));
        EXPECT_EQ(family->m_nCollectedMask.load(), 15);
        EXPECT_EQ(family->m_nVideoMode.load(), TK_VIDEO_PREV);
        if (k.variant == KestrelVariant::C) {
            int w = 0, h = 0, xr = 0, yr = 0;
            for (int roll : {0, 5, 6, 15, 22})
                EXPECT_EQ(Zarn_Capture_SetMode(roll, 1000, 0, 0, &w, &h, &xr, &yr), ZARN_ERR_NOT_SUPPORTED) << roll;
            ASSERT_NO_FATAL_FAILURE(CaptureFlat(1, 1, 2552, 2500, delivered));
            EXPECT_EQ(family->m_nCollectedMask.load(), 15);
            ASSERT_NO_FATAL_FAILURE(ExpectMode(ZARN_IMAGE_TWO_THUMBS, 5104, 5000));
            ASSERT_NO_FATAL_FAILURE(ExpectMode(14, 5104, 5000));
        }
        ASSERT_EQ(Zarn_Main_DeInitialize(), 0);
        EXPECT_EQ(g_pScanner.load(), nullptr);
        platform::FireWireCameras::Use(nullptr);
    }
}

// Checks a delivered roll result: the 1600 x 1500 roll output at 1000 ppi, whose print is as wide as
// the skin the renderer rolled over the glass and lies across the middle of the image. The
// stitcher takes the first contact only from where the roll moves on: the print may lose up to a
// contact's half-width (5 mm) in all, most of it where the roll began. It lies centred within
// a quarter of a contact's width.
void ExpectRolledPrint(const Delivered& delivered, int type) {
    ASSERT_NO_FATAL_FAILURE(ExpectDelivered(delivered, 1, type, 1600, 1500));
    EXPECT_EQ(delivered.info.typeValue, 10.0);
    int left = 0, right = 0;
    scannertest::DarkColumns(delivered.pixels, 1600, 1500, 100, &left, &right);
    ASSERT_GT(right, left);
    scannertest::ExpectRolledWidth(right - left, 1000, 40);
    EXPECT_NEAR((left + right) / 2.0, 800, 5 / 25.4 * 1000 / 2);
}

// A roll through the exported interface on the initialised scanner: the mode of roll type `type`
// (the 1600 x 1500 roll output at 1000 ppi), start, the finger rolled by `roll` over `frames` frames
// and left on the glass for `still` more, lifted by `lift`; the stitcher ends the roll, and the
// result is taken and acquired into `delivered`. `framesSent` counts the frames the scanner sent.
void RollThroughTheExports(int type, int frames, int still, const std::function<uint64_t()>& framesSent,
                           const std::function<void(int)>& roll, const std::function<void()>& lift) {
    ASSERT_NO_FATAL_FAILURE(ExpectMode(type, 1600, 1500));
    ASSERT_EQ(Zarn_Capture_Start(1, 1), 0);
    ASSERT_EQ(Zarn_Capture_SetStartRollingFlag(1), 0);
    const uint64_t start = framesSent();
    roll(frames);
    ASSERT_TRUE(WaitUntil([&] { return framesSent() >= start + uint64_t(frames + still); }, 30000));
    lift();
    ZarnRunningInfo running{};
    ASSERT_TRUE(WaitUntil([&] { return Zarn_Main_GetRunningInfo(&running) == 0 && running.fingerprint.resultTaken == 1; }, 30000));
    EXPECT_EQ(running.fingerprint.captureStatus, 0);
    ASSERT_EQ(Zarn_Capture_TakeResultImage(), 0);
    ASSERT_EQ(Zarn_Capture_AcquireResultImage(), 0);
}

// A finger rolled on KestrelB and KestrelD through the exported interface: Initialize calibrates
// the roll mode too, the roll frames go to the stitcher as the camera sends them, and the print,
// resized to the roll output, has the rolled width at 1000 ppi. A flat capture after the roll goes
// back to the preview and the four parts: a single finger, the lower-centre window of the slap
// image, and both thumbs at the slap's size.
TEST_F(KestrelCamera, KestrelBAndKestrelDRollAndSingleFingerThroughTheExportedInterface) {
    constexpr int kRollFrames = 20;
    const struct {
        KestrelVariant variant;
        int rollType, singleType;
    } cases[] = {{KestrelVariant::B, 16, 23}, {KestrelVariant::D, 21, 28}};
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << "variant " << int(k.variant));
        Attach(k.variant, {}, false);
        // The stitcher holds what another scanner left there.
        MM_SetMaxFrameNumber(40);
        MM_SetSlideDetectionStatus(0);
        MM_SetSlidingPixelCounter(9000);
        MM_SetSlidingPercentageThreshold(0.5f);
        MM_SetRollBackThreshold(-100);
        ASSERT_EQ(Zarn_Main_Initialize(602), 0);
        Delivered delivered;
        ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Delivered::Result, &delivered), 0);
        ASSERT_NO_FATAL_FAILURE(RollThroughTheExports(
            k.rollType, kRollFrames, 4, [&] { return camera->RollFramesSent(); }, [&](int n) { camera->Roll(n); },
            [&] { camera->Lift(); }));
        {
            std::lock_guard lock(delivered.mutex);
            ExpectRolledPrint(delivered, k.rollType);
        }
        // The roll ran on the model's own roll parameters.
        EXPECT_EQ(MM_GetMaxFrameNumber(), 100);
        EXPECT_EQ(MM_GetSlideDetectionStatus(), 1);
        EXPECT_EQ(MM_GetSlidingPixelCounter(), 25000);
        EXPECT_EQ(MM_GetSlidingPercentageThreshold(), 0.115f);
        EXPECT_EQ(MM_GetRollBackThreshold(), -200);
        auto* family = dynamic_cast<ZarnScannerKestrelFamily*>(g_pScanner.load());
        ASSERT_NE(family, nullptr);
        ASSERT_NO_FATAL_FAILURE(CaptureFlat(k.singleType, 1, 2552, 2500, delivered));
        EXPECT_EQ(family->m_nCollectedMask.load(), 15);
        EXPECT_EQ(family->m_nVideoMode.load(), TK_VIDEO_PREV);
        ASSERT_NO_FATAL_FAILURE(CaptureFlat(ZARN_IMAGE_TWO_THUMBS, 2, 5104, 5000, delivered));
        EXPECT_EQ(family->m_nCollectedMask.load(), 15);
        ASSERT_EQ(Zarn_Main_DeInitialize(), 0);
        platform::FireWireCameras::Use(nullptr);
    }
}

// The lowest exposure at which the empty platen of a FireWire camera, drawn at a quarter of the
// image size (its brightening and vignetting do not depend on the size) with the given brightness
// (-1: tied to the exposure, as the full-mode search sets it) reaches the sensor check's mean
// threshold.
int FirstPassingExposure(int width, int height, int brightness, int meanThreshold) {
    LiveScanAlg::SetMeanThreshold(float(meanThreshold));
    auto passes = [&](int e) {
        sim::PlatenParams p;
        p.width = width / 4, p.height = height / 4;
        p.exposure = e;
        p.brightness = brightness < 0 ? e : brightness;
        sim::GreyImage img = sim::RenderPlaten(p, 7);
        float mean = 0, var = 0, sat = 0;
        LiveScanAlg::CheckSensor2(img.height, img.width, img.pixels.data(), &mean, &var, &sat);
        return mean >= float(meanThreshold);
    };
    int lo = 0, hi = 256;  // passes(hi) is assumed, passes(lo - 1) is not
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (passes(mid)) hi = mid;
        else lo = mid + 1;
    }
    return lo;
}

// An explicit calibration through the exported interface on KestrelB (full, preview and roll
// passes) and KestrelC (full and preview): the search walks the camera to the exposure at which the
// empty platen passes the sensor check in the modes that decide, the backgrounds are the bright
// platen, and the scanner ends in the preview.
TEST_F(KestrelCamera, ExplicitCalibrationFindsTheExposureOfTheEmptyPlaten) {
    periodMs = 120;
    for (KestrelVariant v : {KestrelVariant::B, KestrelVariant::C}) {
        SCOPED_TRACE(testing::Message() << "variant " << int(v));
        Attach(v, {}, false);
        ASSERT_EQ(Zarn_Main_Initialize(602), 0);
        ASSERT_EQ(Zarn_Capture_Calibration(), 0);
        auto* f = dynamic_cast<ZarnScannerKestrelFamily*>(g_pScanner.load());
        ASSERT_NE(f, nullptr);
        // Frames already on their way when the exposure changes can make the search a step late.
        EXPECT_NEAR(f->m_nFullExposure, FirstPassingExposure(4512, 2912, -1, 220), 2);
        EXPECT_EQ(f->m_nCameraFull[0], f->m_nFullExposure);
        if (v == KestrelVariant::B) {
            EXPECT_NEAR(f->m_nRollExposure, FirstPassingExposure(2144, 1536, 170, 220), 4);
            EXPECT_EQ(f->m_nCameraRoll[2], f->m_nRollExposure);
        }
        EXPECT_EQ(f->m_nBackgroundStage.load(), 1);
        // KestrelB's last pass is the roll pass; KestrelC goes back to the preview.
        EXPECT_EQ(f->m_nVideoMode.load(), v == KestrelVariant::B ? TK_VIDEO_ROLL : TK_VIDEO_PREV);
        const uint8_t* bg = f->m_pFullBackground + size_t(2912 / 2) * 4512;
        EXPECT_GT(std::accumulate(bg, bg + 4512, 0.0) / 4512, 200);
        ASSERT_EQ(Zarn_Main_DeInitialize(), 0);
        platform::FireWireCameras::Use(nullptr);
    }
}

// KestrelA on its simulated USB device through the exported interface: found by its device text,
// initialised (which calibrates), and a manual right-slap capture delivers the 3200 x 3000 window at
// 1000 ppi with the hand the simulator put on the platen.
class KestrelUsb : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kSlotIsolated);
        ZarnScannerBase::s_nWaitScale = int(scannertest::Slowdown());
        bus = std::make_unique<capturetest::Bus>(
            "period-scale " + std::to_string(PeriodScale() * scannertest::Slowdown()) + "\ndevice s1 KestrelA\n",
            scannertest::Slowdown());
        device = bus->Device("s1");
        ASSERT_TRUE(device);
    }
    virtual double PeriodScale() const { return 0.25; }
    // A manual capture of `type` with `fingers` fingers: mode, start, empty-platen frames (the
    // platen check after a calibration), the hand put down by `hand`, frames of the hand lying
    // still, take and acquire. The result lands in `delivered`.
    void Capture(int type, int fingers, int width, int height, Delivered& delivered, const std::function<void()>& hand,
                 const std::function<void()>& whileRunning = {}) {
        ASSERT_NO_FATAL_FAILURE(ExpectMode(type, width, height));
        ASSERT_EQ(Zarn_Capture_Start(fingers, 0), 0);
        uint32_t sent = device->FramesSent();
        ASSERT_TRUE(WaitUntil([&] { return device->FramesSent() >= sent + 2; }, 8000));
        hand();
        sent = device->FramesSent();
        ASSERT_TRUE(WaitUntil([&] { return device->FramesSent() >= sent + 3; }, 8000));
        if (whileRunning) whileRunning();
        ASSERT_EQ(Zarn_Capture_TakeResultImage(), 0);
        ASSERT_EQ(Zarn_Capture_AcquireResultImage(), 0);
        std::lock_guard lock(delivered.mutex);
        ASSERT_EQ(delivered.status, 0);
        ASSERT_EQ(delivered.type, type);
        ASSERT_EQ(delivered.info.width, width);
        ASSERT_EQ(delivered.info.height, height);
    }
    // Checks that every contact the renderer put on the platen for `layout`, moved by (dxMm, dyMm),
    // lies in the bottom-up result where it was put. The result shows the platen window starting at
    // row `top` of the 3200 x 3000 slap area at 1000 ppi, centred on the platen centre.
    static void ExpectContactsInPlace(const Delivered& delivered, sim::FingerLayout layout, double dxMm, double dyMm,
                                      int top, size_t fingers) {
        ExpectContactsAt(delivered.pixels, delivered.info.width, delivered.info.height, layout, dxMm, dyMm, fingers,
                         [top](double x, double y) {
                             return std::pair{x * 1000 / 25.4 + 1600 - 0.5, y * 1000 / 25.4 + 1500 - 0.5 - top};
                         },
                         kContactTolerance);
    }
    void TearDown() override {
        if (g_pScanner.load() != nullptr) Zarn_Main_DeInitialize();
        bus.reset();
    }
    std::unique_ptr<capturetest::Bus> bus;
    std::shared_ptr<sim::SimDevice> device;
};

TEST_F(KestrelUsb, KestrelASlapThroughTheExportedInterface) {
    ZarnConnectedScanners found{};
    ASSERT_EQ(Zarn_Main_GetConnectedScanner(&found), 0);
    EXPECT_EQ(found.entries[ZARN_FAMILY_KESTREL_A], 1);
    ASSERT_EQ(Zarn_Main_Initialize(503), 0);
    auto* a = dynamic_cast<ZarnScannerKestrelA*>(g_pScanner.load());
    ASSERT_NE(a, nullptr);
    // Initialize calibrated both modes on the empty platen: both standard backgrounds are bright.
    for (const auto& [bg, w, h] : {std::tuple{a->m_pFullBackground, 3520, 3000}, std::tuple{a->m_pRollBackground, 1760, 1500}}) {
        const uint8_t* row = bg + size_t(h / 2) * size_t(w);
        EXPECT_GT(std::accumulate(row, row + w, 0.0) / w, 200);
    }
    // An explicit calibration searches the exposure of both modes on the empty platen: the full
    // mode's camera settings take the exposure found, and the scanner is calibrated again.
    a->m_nBackgroundStage = 0;
    ASSERT_EQ(Zarn_Capture_Calibration(), 0);
    EXPECT_EQ(a->m_nBackgroundStage.load(), 1);
    EXPECT_EQ(a->m_nCameraFull[0], a->m_nFullExposure);
    EXPECT_EQ(a->m_nCameraFull[2], a->m_nFullExposure);
    ZarnDeviceInfo info{};
    ASSERT_EQ(Zarn_Main_GetDeviceInfo(&info), 0);
    EXPECT_STREQ(info.model, "KestrelA");

    Delivered delivered;
    ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Delivered::Result, &delivered), 0);
    ASSERT_NO_FATAL_FAILURE(ExpectMode(ZARN_IMAGE_SLAP_RIGHT, 3200, 3000));
    device->Apply({sim::DeviceAction::Place, sim::FingerLayout::RightSlap});
    ASSERT_EQ(Zarn_Capture_Start(4, 0), 0);
    const uint32_t sent = device->FramesSent();
    ASSERT_TRUE(WaitUntil([&] { return device->FramesSent() >= sent + 2; }, 8000));
    ASSERT_EQ(Zarn_Capture_TakeResultImage(), 0);
    ASSERT_EQ(Zarn_Capture_AcquireResultImage(), 0);
    std::lock_guard lock(delivered.mutex);
    ASSERT_NO_FATAL_FAILURE(ExpectDelivered(delivered, 1, ZARN_IMAGE_SLAP_RIGHT, 3200, 3000));
    // Four fingertips lie on the platen: a good part of the window is ridge-dark.
    ASSERT_NE(delivered.info.image, nullptr);
    size_t dark = 0;
    for (size_t p = 0; p < size_t(3200) * 3000; p += 7) dark += delivered.info.image[p] < 128;
    EXPECT_GT(dark, size_t(3200) * 3000 / 7 / 50);
}

// Thumbs and a single finger on KestrelA through the exported interface, each contact where the
// renderer put it (the single finger laid in the lower-left window the model cuts); the LEDs blink
// the thumbs while the capture runs and go dark with the result; LED, beeper and keys through the
// controls.
TEST_F(KestrelUsb, KestrelAThumbsSingleFingerLedsAndKeysThroughTheExportedInterface) {
    ASSERT_EQ(Zarn_Main_Initialize(503), 0);
    Delivered delivered;
    ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Delivered::Result, &delivered), 0);
    static std::atomic<int> key{-1}, foot{0};
    ASSERT_EQ(Zarn_Capture_RegisterCallbackKeypad([](void*, int k) { key = k; }, &delivered), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackFootSwitch([](void*) { ++foot; }, &delivered), 0);
    sim::DeviceAction landing{sim::DeviceAction::Set};
    landing.name = "landing";
    landing.x = 1;  // the hand is down from its first frame
    device->Apply(landing);

    auto last = [&](uint8_t request) {
        const auto writes = device->VendorWrites(request);
        return writes.empty() || writes.back().data.empty() ? -1 : int(writes.back().data[0]);
    };
    auto seen = [&](uint8_t request, int value) {
        for (const auto& w : device->VendorWrites(request))
            if (!w.data.empty() && w.data[0] == value) return true;
        return false;
    };
    namespace proto = platform::usb::tessik;
    // While the capture runs, both thumbs blink (0xFEFE: a cleared bit lights an LED).
    auto thumbs = [&] { device->Apply({sim::DeviceAction::Place, sim::FingerLayout::TwoThumbs}); };
    ASSERT_NO_FATAL_FAILURE(Capture(ZARN_IMAGE_TWO_THUMBS, 2, 3200, 3000, delivered, thumbs, [&] {
        EXPECT_TRUE(WaitUntil([&] { return seen(proto::kReqLedGroup0, 0xFE) && seen(proto::kReqLedGroup1, 0xFE); }, 3000));
    }));
    // The result put them all out.
    EXPECT_EQ(last(proto::kReqLedGroup0), 0xFF);
    EXPECT_EQ(last(proto::kReqLedGroup1), 0xFF);
    ExpectContactsInPlace(delivered, sim::FingerLayout::TwoThumbs, 0, 0, 0, 2);

    // A single finger in the lower-left quarter of the platen (3520 x 3000 at 1100 x 1000 ppi): the
    // 1600 x 1500 window the model cuts from the lower half.
    device->Apply({sim::DeviceAction::Lift});
    auto single = [&] {
        device->Apply({sim::DeviceAction::Place, sim::FingerLayout::SingleFinger});
        device->Apply({sim::DeviceAction::Move, sim::FingerLayout::None, -800 * 0.0254, 750 * 0.0254});
    };
    ASSERT_NO_FATAL_FAILURE(Capture(24, 1, 1600, 1500, delivered, single));
    ExpectContactsInPlace(delivered, sim::FingerLayout::SingleFinger, -800 * 0.0254, 750 * 0.0254, 1500, 1);

    // The 16-bit LED mask goes out as group 0 (low byte) and group 1 (high byte); groups 0 and 1 of
    // the LED panels and its state LEDs are not there.
    ASSERT_EQ(Zarn_Controls_SetLEDs(2, 0xE1FB), 0);
    EXPECT_EQ(last(proto::kReqLedGroup0), 0xFB);
    EXPECT_EQ(last(proto::kReqLedGroup1), 0xE1);
    int value = -1;
    ASSERT_EQ(Zarn_Controls_GetLEDs(2, &value), 0);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(Zarn_Controls_SetLEDs(0, 0x0F), ZARN_ERR_NOT_SUPPORTED);
    EXPECT_EQ(Zarn_Controls_GetLEDs(1, &value), ZARN_ERR_NOT_SUPPORTED);
    const uint8_t states[8] = {};
    EXPECT_EQ(Zarn_Controls_SetStateLEDs(2, states), ZARN_ERR_NOT_SUPPORTED);
    // The scanner plays its own beeper patterns: pattern n is sent as n + 1.
    ASSERT_EQ(Zarn_Controls_Beeper(5), 0);
    EXPECT_EQ(last(proto::kReqBeeper), 6);
    EXPECT_EQ(Zarn_Controls_Beeper(8), ZARN_ERR_NOT_SUPPORTED);
    // Keys: 1 is key 0, 2 is key 1, 4 the foot switch.
    device->SetKeys(0x02);
    EXPECT_TRUE(WaitUntil([] { return key.load() == 1; }, 3000));
    device->SetKeys(0x01);
    EXPECT_TRUE(WaitUntil([] { return key.load() == 0; }, 3000));
    device->SetKeys(0x04);
    EXPECT_TRUE(WaitUntil([] { return foot.load() >= 1; }, 3000));
    device->SetKeys(0);
}

// A finger rolled on KestrelA: the stitched print, resized to the 1600 x 1500 roll output at
// 1000 ppi, is as wide as the skin the renderer rolled over the glass.
class KestrelUsbRoll : public KestrelUsb {
protected:
    double PeriodScale() const override { return 1.0; }  // the stitcher sees every roll frame
};

TEST_F(KestrelUsbRoll, KestrelARollHasTheRolledWidthAt1000Ppi) {
    ASSERT_EQ(Zarn_Main_Initialize(503), 0);
    Delivered delivered;
    ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Delivered::Result, &delivered), 0);
    constexpr int kRollFrames = 20;
    ASSERT_NO_FATAL_FAILURE(RollThroughTheExports(
        16, kRollFrames, 8, [&] { return uint64_t(device->FramesSent()); },
        [&](int n) {
            EXPECT_EQ(device->CaptureMode(), 1);  // the roll frame size
            device->Apply({sim::DeviceAction::Roll, sim::FingerLayout::None, 0, 0, n});
        },
        [&] { device->Apply({sim::DeviceAction::Lift}); }));
    std::lock_guard lock(delivered.mutex);
    ExpectRolledPrint(delivered, 16);
}

}  // namespace
