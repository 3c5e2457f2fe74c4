// The scanner model classes of the 2912 x 4512 ten-print scanner (PloverC, PloverD) and of the
// single-finger scanners (Finch, LinnetA/B, SiskinA/B, TanagerA/B, VireoB).
//
// Their decodes run on frames that the simulator builds from a known scene: the simulator's own
// record of where each scene pixel lies in the frame, which pixels the optics leave unlit and which
// bytes carry device data is the ground truth. PloverC and the single-finger models also run end to
// end on simulated scanners through the driver and the video-capture layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "CaptureRig.h"
#include "TestScanner.h"
#include "models/ZarnScannerPloverC.h"
#include "models/ZarnScannerSingleFinger.h"
#include "sim/Models.h"
#include "sim/Render.h"
#include "zarn/ZarnEssentialsApi.h"

using scannertest::TraceLines;
using scannertest::Previews;
using scannertest::WaitUntil;

namespace {

const bool kSlotIsolated = [] {
    setenv("TESSIK_TRACE_SLOT", ("TessikModelTests-" + std::to_string(getpid())).c_str(), 1);
    setenv("TESSIK_DEBUG_DIR", (std::filesystem::temp_directory_path() / ("tessik-models-" + std::to_string(getpid()))).c_str(), 1);
    return true;
}();

using Factory = std::function<std::unique_ptr<ZarnScannerBase>()>;
template <class T>
Factory Make() {
    return [] { return std::make_unique<T>(); };
}

// A scene of sensor noise: every pixel its own value, so a pixel taken from a wrong place shows.
sim::GreyImage NoiseScene(int w, int h, uint32_t seed) {
    sim::GreyImage scene(w, h, 128);
    sim::AddNoise(scene, 20, seed);
    return scene;
}

// A frame as the driver delivers it for a scene of the model's mode, with the device text.
std::vector<uint8_t> Delivered(sim::ModelId id, int frameSizeMode, const sim::GreyImage& scene) {
    const sim::ModelTraits& t = sim::Traits(id);
    const auto text = sim::MakeDeviceText(t, 4242, sim::PackDate(2021, 6, 15), sim::PackDate(2022, 1, 3));
    sim::RawExtras extras;
    extras.deviceText = text.data();
    return sim::DriverCopy(t, frameSizeMode, sim::EncodeRaw(t, frameSizeMode, scene, extras)).pixels;
}

struct DecodeCase {
    const char* name;
    Factory make;
    sim::ModelId id;
    int frameSizeMode;
    int videoMode;
    // Pixels the model whitens beyond what the simulator knows of (LinnetA's corners).
    std::function<bool(int x, int y)> alsoWhite = nullptr;
};

// LinnetA whitens the top corners of its window: row r below 714 (before the final flip) loses
// 34 - r / 21 bytes at each end.
bool LinnetCorner(int x, int y) {
    const int r = 767 - y;
    if (r >= 714) return false;
    const int k = 34 - r / 21;
    return x < k || x >= 860 - k;
}

}  // namespace

// Every model's decode puts each scene pixel back where the simulator took it from, whitens what
// the optics leave unlit, and hands on an image of the scene's size.
TEST(ScannerModels, DecodeRebuildsTheSceneInEveryVideoMode) {
    ASSERT_TRUE(kSlotIsolated);
    const DecodeCase cases[] = {
        {"PloverC full", Make<ZarnScannerPloverC>(), sim::ModelId::PloverC, 0, TK_VIDEO_FULL},
        {"PloverC roll", Make<ZarnScannerPloverC>(), sim::ModelId::PloverC, 1, TK_VIDEO_ROLL},
        {"PloverC preview", Make<ZarnScannerPloverC>(), sim::ModelId::PloverC, 2, TK_VIDEO_PREV},
        {"PloverD full", Make<ZarnScannerPloverD>(), sim::ModelId::PloverD, 0, TK_VIDEO_FULL},
        {"PloverD roll", Make<ZarnScannerPloverD>(), sim::ModelId::PloverD, 1, TK_VIDEO_ROLL},
        {"PloverD preview", Make<ZarnScannerPloverD>(), sim::ModelId::PloverD, 2, TK_VIDEO_PREV},
        {"LinnetA", Make<ZarnScannerLinnetA>(), sim::ModelId::LinnetA, 0, TK_VIDEO_FULL, LinnetCorner},
        {"LinnetB", Make<ZarnScannerLinnetB>(), sim::ModelId::LinnetB, 0, TK_VIDEO_FULL},
        {"TanagerA", Make<ZarnScannerTanagerA>(), sim::ModelId::TanagerA, 0, TK_VIDEO_FULL},
        {"TanagerB", Make<ZarnScannerTanagerB>(), sim::ModelId::TanagerB, 0, TK_VIDEO_FULL},
        {"VireoB", Make<ZarnScannerVireoB>(), sim::ModelId::VireoB, 0, TK_VIDEO_FULL},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto model = c.make();
        model->m_nVideoMode = c.videoMode;
        const sim::ModelTraits& t = sim::Traits(c.id);
        const sim::ModeGeometry& g = sim::Mode(t, c.frameSizeMode);
        const sim::GreyImage scene = NoiseScene(g.sceneWidth, g.sceneHeight, 11);
        std::vector<uint8_t> frame = Delivered(c.id, c.frameSizeMode, scene);
        long length = long(frame.size());
        ASSERT_EQ(model->FilterStream(frame.data(), &length), 0);
        EXPECT_EQ(length, long(g.sceneWidth) * g.sceneHeight);
        const std::vector<bool> reserved = sim::ReservedScenePixels(t, c.frameSizeMode);
        long wrong = 0, notWhite = 0, checked = 0, white = 0;
        for (int y = 0; y < g.sceneHeight; ++y)
            for (int x = 0; x < g.sceneWidth; ++x) {
                const uint8_t v = frame[size_t(y) * g.sceneWidth + x];
                if ((c.alsoWhite && c.alsoWhite(x, y)) || sim::SourceOf(t, c.frameSizeMode, x, y).kind == sim::SceneSource::White) {
                    notWhite += v != 255;
                    ++white;
                } else if (!reserved[size_t(y) * g.sceneWidth + x]) {
                    wrong += v != scene.at(x, y);
                    ++checked;
                }
            }
        EXPECT_EQ(wrong, 0) << "of " << checked;
        EXPECT_EQ(notWhite, 0) << "of " << white;
        EXPECT_GT(checked, long(g.sceneWidth) * g.sceneHeight / 2);
        if (t.cornerMasks) {
            EXPECT_GT(white, 0);
        }
    }
}

// Edge rows of the corners and bands, as the scanner's optics give them.
TEST(ScannerModels, UnlitCornersAndBandsAtTheirEdges) {
    // LinnetA: 34 white bytes at each end of window row 0, 33 at row 21, 1 at row 713, none at 714.
    {
        ZarnScannerLinnetA linnet;
        const sim::GreyImage scene(860, 768, 100);
        std::vector<uint8_t> frame = Delivered(sim::ModelId::LinnetA, 0, scene);
        long length = long(frame.size());
        ASSERT_EQ(linnet.FilterStream(frame.data(), &length), 0);
        auto whiteAtEachEnd = [&](int windowRow) {
            const uint8_t* row = frame.data() + size_t(767 - windowRow) * 860;  // the decode ends with a flip
            int left = 0, right = 0;
            while (left < 860 && row[left] == 255) ++left;
            while (right < 860 && row[859 - right] == 255) ++right;
            EXPECT_EQ(left, right) << windowRow;
            return left;
        };
        EXPECT_EQ(whiteAtEachEnd(0), 34);
        EXPECT_EQ(whiteAtEachEnd(21), 33);
        EXPECT_EQ(whiteAtEachEnd(713), 1);
        EXPECT_EQ(whiteAtEachEnd(714), 0);
    }
    // A roll frame comes out 1552 x 832 with the first 217 frame rows white: image columns
    // 1335..1551 (PloverC turns frame row i into image column 1551 - i).
    {
        ZarnScannerPloverC plover;
        plover.m_nVideoMode = TK_VIDEO_ROLL;
        std::vector<uint8_t> frame(832 * 1552, 90);
        long length = long(frame.size());
        ASSERT_EQ(plover.FilterStream(frame.data(), &length), 0);
        // Frame rows 216..234 are unlit up to a slope (832 - 12 x (row - 216) bytes): image row y
        // is frame column 831 - y.
        auto white = [&](int x, int y) { return frame[size_t(y) * 1552 + x] == 255; };
        for (int y : {0, 400, 805}) {
            for (int x = 1335; x < 1552; ++x) ASSERT_TRUE(white(x, y)) << x << "," << y;
            for (int x = 0; x < 1317; ++x) ASSERT_FALSE(white(x, y)) << x << "," << y;
        }
        EXPECT_FALSE(white(1334, 0));  // frame row 217, column 831
        EXPECT_TRUE(white(1317, 805));  // frame row 234, column 26
        EXPECT_FALSE(white(1316, 805));
        // The band: 25 rows from row 806.
        for (int y = 806; y <= 830; ++y) EXPECT_EQ(frame[size_t(y) * 1552 + 10], 255) << y;
        EXPECT_EQ(frame[size_t(831) * 1552 + 10], 90);
    }
    // Preview-mode frames: PloverC's first 13 rows are white, PloverD's last 10 columns.
    {
        ZarnScannerPloverC c;
        ZarnScannerPloverD d;
        for (ZarnScannerPloverC* m : {&c, static_cast<ZarnScannerPloverC*>(&d)}) {
            m->m_nVideoMode = TK_VIDEO_PREV;
            std::vector<uint8_t> frame(1456 * 1504, 90);
            long length = long(frame.size());
            ASSERT_EQ(m->FilterStream(frame.data(), &length), 0);
            EXPECT_EQ(length, 1504 * 1456);
            const bool isC = m == &c;
            auto at = [&](int x, int y) { return frame[size_t(y) * 1504 + x]; };
            if (isC) {
                EXPECT_EQ(at(700, 12), 255);
                EXPECT_EQ(at(700, 13), 90);
            } else {
                EXPECT_EQ(at(700, 12), 90);
                EXPECT_EQ(at(1494, 700), 255);
                EXPECT_EQ(at(1493, 700), 90);
            }
        }
    }
}

// A defective sensor line is found on the first frame of a mode and repaired in that frame and in
// every later one; each mode has its own list, which lives until the object is destroyed.
TEST(ScannerModels, DefectLinesAreFoundPerModeAndRepaired) {
    for (bool isD : {false, true}) {
        SCOPED_TRACE(isD ? "PloverD" : "PloverC");
        const sim::ModelId id = isD ? sim::ModelId::PloverD : sim::ModelId::PloverC;
        auto listOf = [&](int mode) {
            return isD ? ZarnScannerPloverD::DefectLineList(mode) : ZarnScannerPloverC::DefectLineList(mode);
        };
        std::unique_ptr<ZarnScannerPloverC> model = isD ? std::make_unique<ZarnScannerPloverD>()
                                                        : std::make_unique<ZarnScannerPloverC>();
        for (int mode : {TK_VIDEO_ROLL, TK_VIDEO_PREV}) {
            SCOPED_TRACE(mode);
            const int fsm = ZarnScannerBase::FrameSizeModeOf(mode);
            const sim::ModeGeometry& g = sim::Mode(sim::Traits(id), fsm);
            model->m_nVideoMode = mode;
            EXPECT_EQ(listOf(mode), nullptr);
            // The empty platen as the sensor sees it, with one scene row that reads 20 % dark.
            sim::PlatenParams p;
            p.width = g.sceneWidth, p.height = g.sceneHeight;
            p.exposure = 40;
            const int defectRow = g.sceneHeight / 2 + 3;
            const sim::GreyImage clean = sim::RenderPlaten(p, 5);
            p.defectRows = {defectRow};
            const sim::GreyImage dark = sim::RenderPlaten(p, 5);
            ASSERT_LT(dark.at(g.sceneWidth / 2, defectRow) + 20, clean.at(g.sceneWidth / 2, defectRow));
            void* first = nullptr;
            for (int frameNo = 0; frameNo < 2; ++frameNo) {
                std::vector<uint8_t> frame = Delivered(id, fsm, dark);
                long length = long(frame.size());
                ASSERT_EQ(model->FilterStream(frame.data(), &length), 0);
                void* list = listOf(mode);
                ASSERT_NE(list, nullptr);
                const auto* lines = static_cast<LiveScanAlg::DefectLineList*>(list);
                EXPECT_EQ(lines->count, 1);
                // Repaired: the line reads as its neighbours do, within the sensor noise.
                double worst = 0;
                for (int x = 200; x < g.sceneWidth - 200; ++x) {
                    if (sim::IsReservedScenePixel(sim::Traits(id), fsm, x, defectRow)) continue;
                    const double expected = (clean.at(x, defectRow - 1) + clean.at(x, defectRow + 1)) / 2.0;
                    worst = std::max(worst, std::abs(frame[size_t(defectRow) * g.sceneWidth + x] - expected));
                }
                EXPECT_LE(worst, 12.0);
                if (frameNo == 0) first = list;
                else EXPECT_EQ(list, first);  // later frames reuse the mode's list
            }
        }
        EXPECT_EQ(listOf(TK_VIDEO_FULL), nullptr);
        model.reset();
        EXPECT_EQ(listOf(TK_VIDEO_ROLL), nullptr);
        EXPECT_EQ(listOf(TK_VIDEO_PREV), nullptr);
    }
}

// The Finch reduction: the centred window that covers 288 x 352 pixels at 250 ppi of the
// 800 x 750 ppi frame, inverted back from the sensor's negative.
TEST(ScannerModels, FinchReducesTheNegativeFrameToTheResultAt250Ppi) {
    ZarnScannerFinch finch;
    finch.m_nVideoMode = TK_VIDEO_FULL;
    // A smooth scene: a ramp along both axes.
    sim::GreyImage scene(1600, 1200);
    auto ramp = [](double x, double y) { return 30.0 + x * 0.08 + y * 0.08; };
    for (int y = 0; y < 1200; ++y)
        for (int x = 0; x < 1600; ++x) scene.at(x, y) = uint8_t(ramp(x, y));
    std::vector<uint8_t> frame = Delivered(sim::ModelId::Finch, 0, scene);
    long length = long(frame.size());
    ASSERT_EQ(finch.FilterStream(frame.data(), &length), 0);
    EXPECT_EQ(length, 288 * 352);
    double worst = 0;
    for (int y = 0; y < 352; y += 7)
        for (int x = 0; x < 288; x += 5) {
            // Result pixel (x, y) lies at 800 / 250 frame columns and 750 / 250 frame rows a pixel.
            const double fx = (1600 - 922) / 2 + x * 922.0 / 288, fy = (1200 - 1056) / 2 + y * 1056.0 / 352;
            worst = std::max(worst, std::abs(frame[size_t(y) * 288 + x] - ramp(fx, fy)));
        }
    EXPECT_LE(worst, 2.0);

    // A frame without its sync bytes passes unchanged; LinnetA refuses the same frame.
    std::vector<uint8_t> raw = Delivered(sim::ModelId::Finch, 0, scene);
    raw[2] = 7;
    const std::vector<uint8_t> before = raw;
    length = long(raw.size());
    EXPECT_EQ(finch.FilterStream(raw.data(), &length), 0);
    EXPECT_EQ(length, long(before.size()));
    EXPECT_EQ(raw, before);
    ZarnScannerLinnetA linnet;
    EXPECT_EQ(linnet.FilterStream(raw.data(), &length), ZARN_ERR_BAD_ARGUMENT);
}

// The Siskin pair: the negative 640 x 480 frame at 700 x 500 ppi resized to 448 x 466 at 500 ppi.
TEST(ScannerModels, SiskinResizesAndInvertsItsNegativeFrame) {
    for (bool b : {false, true}) {
        std::unique_ptr<ZarnScannerBase> model = b ? std::unique_ptr<ZarnScannerBase>(std::make_unique<ZarnScannerSiskinB>())
                                                   : std::make_unique<ZarnScannerSiskinA>();
        const sim::ModelId id = b ? sim::ModelId::SiskinB : sim::ModelId::SiskinA;
        sim::GreyImage scene(640, 480);
        auto ramp = [](double x, double y) { return 20.0 + x * 0.25 + y * 0.15; };
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 640; ++x) scene.at(x, y) = uint8_t(ramp(x, y));
        std::vector<uint8_t> frame = Delivered(id, 0, scene);
        long length = long(frame.size());
        ASSERT_EQ(model->FilterStream(frame.data(), &length), 0);
        EXPECT_EQ(length, 448 * 466);
        double worst = 0;
        for (int y = 1; y < 466; y += 5)
            for (int x = 1; x < 447; x += 5)
                worst = std::max(worst, std::abs(frame[size_t(y) * 448 + x] - ramp(x * 640.0 / 448, y * 480.0 / 466)));
        EXPECT_LE(worst, 2.0) << (b ? "SiskinB" : "SiskinA");
        // Calibration takes no frame.
        EXPECT_EQ(model->SetCalibration(1), 0);
        EXPECT_EQ(model->m_nBackgroundStage.load(), 1);
    }
}

// The four steps of the Finch image path that the algorithm-call layer leaves empty: each returns
// 0 and leaves every buffer and in/out value as it was.
TEST(ScannerModels, EmptyFinchStepsLeaveTheirBuffersUnchanged) {
    std::vector<uint8_t> a(64), b(64);
    std::iota(a.begin(), a.end(), 1);
    std::iota(b.begin(), b.end(), 100);
    const auto a0 = a, b0 = b;
    unsigned char* image = b.data();
    int w = 5, h = 6;
    EXPECT_EQ(MM_FinchReduce(a.data(), 8, 8, 2, 2, &image, &w, &h), 0);
    EXPECT_EQ(MM_FinchResolution(&image, &w, &h, a.data(), 8, 8, 404, 300, 288, 352), 0);
    MM_FinchBackground(a.data(), b.data(), 8, 8);
    EXPECT_EQ(MM_FinchWarp(a.data(), 8, 8, 0.999, 0.999, &image, &w, &h), 0);
    EXPECT_EQ(image, b.data());
    EXPECT_EQ(w, 5);
    EXPECT_EQ(h, 6);
    EXPECT_EQ(a, a0);
    EXPECT_EQ(b, b0);
}

// Geometry handed to the preview and result callbacks, by image type and half flag.
TEST(ScannerModels, ImageTypeGeometry) {
    struct Case {
        const char* name;
        Factory make;
        int type, half;
        int result, w, h, ppi;
        double value;
    } cases[] = {
        {"PloverC", Make<ZarnScannerPloverC>(), 0, 0, 0, 800, 750, 500, 10.0},
        {"PloverC", Make<ZarnScannerPloverC>(), 23, 0, 0, 1276, 1250, 500, 3.0},
        {"PloverC", Make<ZarnScannerPloverC>(), 1, 1, 0, 638, 625, 125, 3.0},
        {"PloverC", Make<ZarnScannerPloverC>(), 2, 0, 0, 2552, 2500, 500, 3.0},
        {"PloverC", Make<ZarnScannerPloverC>(), 7, 1, 0, 1276, 1250, 250, 3.0},
        {"PloverD", Make<ZarnScannerPloverD>(), 14, 0, 0, 2552, 2500, 500, 3.0},
        {"PloverD", Make<ZarnScannerPloverD>(), 33, 0, ZARN_ERR_NOT_SUPPORTED, 0, 0, 0, 0},
        {"Finch", Make<ZarnScannerFinch>(), 1, 0, 0, 288, 352, 250, 3.0},
        {"Finch", Make<ZarnScannerFinch>(), 24, 1, 0, 288, 352, 250, 3.0},
        {"Finch", Make<ZarnScannerFinch>(), 0, 0, ZARN_ERR_NOT_SUPPORTED, 0, 0, 0, 0},
        {"LinnetA", Make<ZarnScannerLinnetA>(), 4, 0, ZARN_ERR_NOT_SUPPORTED, 0, 0, 0, 0},
        {"LinnetA", Make<ZarnScannerLinnetA>(), 23, 1, 0, 320, 480, 500, 3.0},
        {"LinnetB", Make<ZarnScannerLinnetB>(), 1, 0, 0, 320, 480, 500, 3.0},
        {"TanagerB", Make<ZarnScannerTanagerB>(), 32, 1, 0, 500, 500, 500, 3.0},
        {"TanagerA", Make<ZarnScannerTanagerA>(), 16, 0, ZARN_ERR_NOT_SUPPORTED, 0, 0, 0, 0},
        {"SiskinB", Make<ZarnScannerSiskinB>(), 1, 1, 0, 448, 466, 500, 3.0},
        {"SiskinA", Make<ZarnScannerSiskinA>(), 2, 0, ZARN_ERR_NOT_SUPPORTED, 0, 0, 0, 0},
        {"VireoB", Make<ZarnScannerVireoB>(), 4, 0, 0, 1600, 1500, 1000, 3.0},
        {"VireoB", Make<ZarnScannerVireoB>(), 20, 1, 0, 1600, 1500, 1000, 10.0},
        {"VireoB", Make<ZarnScannerVireoB>(), 3, 0, ZARN_ERR_NOT_SUPPORTED, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " type " + std::to_string(c.type) + " half " + std::to_string(c.half));
        auto m = c.make();
        ZarnImageInfo info{};
        info.width = 77;
        EXPECT_EQ(m->GetImageTypeInfo(c.type, &info, c.half), c.result);
        if (c.result != 0) continue;
        EXPECT_EQ(info.width, c.w);
        EXPECT_EQ(info.height, c.h);
        EXPECT_EQ(info.xResolution, c.ppi);
        EXPECT_EQ(info.yResolution, c.ppi);
        EXPECT_EQ(info.typeValue, c.value);
    }
}

// Identity, device record and constants of each model.
TEST(ScannerModels, IdentityAndDeviceRecord) {
    struct Case {
        const char* name;
        Factory make;
        sim::ModelId id;
        int type;
        const char* description;
        const char* pid;
        const char* product;
        uint32_t resolution;
        bool hardwareWord, dated;
        int fullW, fullH, imageW, imageH;
    } cases[] = {
        {"PloverC", Make<ZarnScannerPloverC>(), sim::ModelId::PloverC, 601, "Tessik PloverC", "pid_2170", "PloverC", 500, true, true, 2912, 4512, 4512, 2912},
        {"PloverD", Make<ZarnScannerPloverD>(), sim::ModelId::PloverD, 601, "Tessik PloverD", "pid_2170", "PloverC", 500, true, true, 2912, 4512, 4512, 2912},
        {"Finch", Make<ZarnScannerFinch>(), sim::ModelId::Finch, 304, "Tessik Finch", "pid_2141", "Finch", 500, true, false, 1600, 1200, 288, 352},
        {"LinnetA", Make<ZarnScannerLinnetA>(), sim::ModelId::LinnetA, 303, "Tessik LinnetA", "pid_2140", "LinnetA", 500, true, false, 1600, 1200, 860, 768},
        {"LinnetB", Make<ZarnScannerLinnetB>(), sim::ModelId::LinnetB, 303, "Tessik LinnetB", "pid_2140", "LinnetA", 500, true, false, 1600, 1200, 996, 936},
        {"SiskinA", Make<ZarnScannerSiskinA>(), sim::ModelId::SiskinA, 306, "SiskinA", "pid_2102", "SiskinA", 500, true, false, 640, 480, 448, 466},
        {"SiskinB", Make<ZarnScannerSiskinB>(), sim::ModelId::SiskinB, 305, "SiskinB", "pid_2100", "SiskinB", 500, true, false, 640, 480, 448, 466},
        {"TanagerA", Make<ZarnScannerTanagerA>(), sim::ModelId::TanagerA, 302, "Tessik TanagerA", "pid_2120", "TanagerA", 500, true, false, 1600, 1200, 720, 508},
        {"TanagerB", Make<ZarnScannerTanagerB>(), sim::ModelId::TanagerB, 302, "Tessik TanagerB", "pid_2120", "TanagerA", 500, true, false, 1600, 1200, 712, 480},
        {"VireoB", Make<ZarnScannerVireoB>(), sim::ModelId::VireoB, 402, "Tessik VireoB", "pid_2161", "VireoB", 1000, false, false, 1536, 2144, 2144, 1536},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto m = c.make();
        EXPECT_EQ(m->GetScannerType(), c.type);
        char name[64];
        m->GetScannerName(name, sizeof name);
        EXPECT_STREQ(name, c.description);
        EXPECT_STREQ(m->m_szUsbPid, c.pid);
        EXPECT_EQ(m->m_FullFrame.width, c.fullW);
        EXPECT_EQ(m->m_FullFrame.height, c.fullH);
        EXPECT_EQ(m->m_FullImage.width, c.imageW);
        EXPECT_EQ(m->m_FullImage.height, c.imageH);
        EXPECT_EQ(m->m_FullImage.bytes, c.imageW * c.imageH);
        // The simulated device's text, as the first frame carries it.
        const auto text = sim::MakeDeviceText(sim::Traits(c.id), 4242, sim::PackDate(2021, 6, 15), sim::PackDate(2022, 1, 3));
        std::memcpy(m->m_szDeviceText, text.data(), 24);
        ZarnDeviceInfo info;
        std::memset(&info, 0x5A, sizeof info);
        EXPECT_EQ(m->FillDeviceInfo(&info), 0);
        EXPECT_EQ(info.resolution, c.resolution);
        EXPECT_STREQ(info.vendor, "Tessik Systems");
        EXPECT_STREQ(info.model, c.product);
        EXPECT_STREQ(info.interfaceType, "USB2.0");
        // The firmware text of the device text (bytes 12..15) at offset 516, where it is carried.
        EXPECT_EQ(std::string(info.firmware, strnlen(info.firmware, 8)), c.hardwareWord ? "1203" : "");
        EXPECT_STREQ(info.serialNumber, c.dated ? "4242" : "");
        EXPECT_STREQ(info.firstDate, c.dated ? "20210615" : "");
        EXPECT_STREQ(info.secondDate, c.dated ? "20220103" : "");
    }
    // Dates that cannot be real give the fallback serial and dates.
    ZarnScannerPloverC plover;
    const auto text = sim::MakeDeviceText(sim::Traits(sim::ModelId::PloverC), 4242, sim::PackDate(2021, 13, 15), sim::PackDate(2022, 1, 3));
    std::memcpy(plover.m_szDeviceText, text.data(), 24);
    ZarnDeviceInfo info;
    plover.FillDeviceInfo(&info);
    EXPECT_STREQ(info.serialNumber, "0000");
    EXPECT_STREQ(info.firstDate, "20080430");
    EXPECT_STREQ(info.secondDate, "20080430");
}

// The constructor values the scanners' optics and cameras ask for.
TEST(ScannerModels, ConstructorValues) {
    auto geometry = [](const FrameGeometry& g) {
        return std::vector<int>{g.width, g.height, g.bytes, g.xResolution, g.yResolution};
    };
    ZarnScannerPloverD d;
    const std::vector<std::vector<int>> records = {
        geometry(d.m_FullFrame),        geometry(d.m_FullImage),    geometry(d.m_FlatResult),
        geometry(d.m_RollFrame),        geometry(d.m_RollImage),    geometry(d.m_RollOutput),
        geometry(d.m_PreviewFrame),     geometry(d.m_PreviewModeImage), geometry(d.m_PreviewImage),
        geometry(d.m_PreviewResult)};
    const std::vector<std::vector<int>> expected = {
        {2912, 4512, 13138944, 600, 850}, {4512, 2912, 13138944, 850, 600}, {2552, 2500, 6380000, 500, 500},
        {832, 1552, 1291264, 850, 600},   {1552, 832, 1291264, 850, 600},   {800, 750, 600000, 500, 500},
        {1456, 1504, 2189824, 300, 280},  {1504, 1456, 2189824, 280, 300},  {1504, 1456, 2189824, 280, 300},
        {1276, 1250, 1595000, 250, 250}};
    EXPECT_EQ(records, expected);
    EXPECT_EQ(std::vector<int>(d.m_FullSet.values, d.m_FullSet.values + 6), (std::vector<int>{863, 838, 627, 320, 500, 497}));
    EXPECT_EQ(std::vector<int>(d.m_RollSet.values, d.m_RollSet.values + 6), (std::vector<int>{863, 838, 627, 320, 500, 497}));
    EXPECT_EQ(std::vector<int>(d.m_FlatSet.values, d.m_FlatSet.values + 6), (std::vector<int>{287, 279, 314, 161, 251, 249}));
    EXPECT_EQ((std::vector<int>{d.m_nResultTransform, d.m_nRollOutTransform, d.m_nFlatPreviewTransform,
                                d.m_nRollPreviewTransform, d.m_nStretchPercent, d.m_nPlatenCheck, d.m_nCropFlag}),
              (std::vector<int>{0, 0, 0, 0, 1, 1, 1}));
    EXPECT_EQ((std::vector<int>{d.m_nCameraFull[0], d.m_nCameraFull[1], d.m_nCameraFull[2], d.m_nCameraPreview[0],
                                d.m_nExposureStep[0], d.m_nExposureStep[1], d.m_nMeanThreshold[0], d.m_nMeanThreshold[1]}),
              (std::vector<int>{80, 0, 40, 80, 1, 2, 220, 220}));
    d.SetAutoCaptureDefaults();
    EXPECT_EQ((std::vector<int>{d.m_AutoCapture.a, d.m_AutoCapture.b, d.m_AutoCapture.d, d.m_AutoCapture.e, d.m_AutoCapture.i}),
              (std::vector<int>{250, 230, 11, 3, 3000}));

    struct Case {
        const char* name;
        Factory make;
        std::vector<int> values;  // result, flat-preview transforms, stretch, camera full (3), full set (6)
    } cases[] = {
        {"Finch", Make<ZarnScannerFinch>(), {2, 3, 60, 0, 2, 255, 700, 836, 752, 0, 480, 320}},
        {"LinnetA", Make<ZarnScannerLinnetA>(), {0, 1, 60, 100, 0, 100, 700, 836, 752, 0, 480, 320}},
        {"TanagerB", Make<ZarnScannerTanagerB>(), {1, 2, 60, 100, 0, 100, 1496, 1350, 930, 0, 750, 800}},
        {"SiskinA", Make<ZarnScannerSiskinA>(), {2, 3, 60, 121, 200, 120, 1496, 1350, 930, 0, 750, 800}},
        {"SiskinB", Make<ZarnScannerSiskinB>(), {2, 3, 60, 48, 0, 87, 1496, 1350, 930, 0, 750, 800}},
        {"VireoB", Make<ZarnScannerVireoB>(), {1, 2, 1, 170, 0, 40, 1496, 1350, 930, 0, 750, 800}},
    };
    for (const Case& c : cases) {
        auto m = c.make();
        std::vector<int> got{m->m_nResultTransform, m->m_nFlatPreviewTransform, m->m_nStretchPercent};
        got.insert(got.end(), m->m_nCameraFull, m->m_nCameraFull + 3);
        got.insert(got.end(), m->m_FullSet.values, m->m_FullSet.values + 6);
        EXPECT_EQ(got, c.values) << c.name;
        EXPECT_EQ(m->m_nPlatenCheck + m->m_nCropFlag, 0) << c.name;
    }
    ZarnScannerLinnetB linnetB;
    EXPECT_EQ(geometry(linnetB.m_PreviewResult), (std::vector<int>{320, 480, 153600, 500, 500}));
    EXPECT_EQ(linnetB.m_nResultTransform, 1);
    ZarnScannerSiskinA siskin;
    for (const FrameGeometry* g : {&siskin.m_RollImage, &siskin.m_RollOutput, &siskin.m_PreviewImage, &siskin.m_PreviewResult})
        EXPECT_EQ(geometry(*g), (std::vector<int>{448, 466, 208768, 500, 500}));
    EXPECT_EQ(geometry(siskin.m_RollFrame), (std::vector<int>{640, 480, 307200, 700, 500}));
    for (int i = 0; i < kPropertyCount; ++i) EXPECT_EQ(siskin.m_bPropSupported[i], i == 1 || i == 10 || i == 20) << i;
    ZarnScannerFinch finch;
    for (int i = 0; i < kPropertyCount; ++i) EXPECT_EQ(finch.m_bPropSupported[i], i == 1 || i == 10 || i == 11) << i;
    EXPECT_EQ((std::vector<int>{finch.m_nCameraRoll[0], finch.m_nCameraRoll[1], finch.m_nCameraRoll[2]}),
              (std::vector<int>{0, 224, 255}));
    ZarnScannerVireoB vireo;
    EXPECT_EQ(vireo.m_FlatSet.values[5], 808);
    EXPECT_EQ(vireo.m_nRollPreviewTransform, 2);
    ZarnScannerLinnetA linnet;
    EXPECT_EQ(geometry(linnet.m_RollFrame), (std::vector<int>{1, 1, 1, 1, 1}));  // no roll mode
}

TEST(ScannerModels, PloverLedMasks) {
    const std::pair<int, int> cases[] = {{0, 0xFFFE}, {1, 0xFFFF}, {2, 0xFFE1}, {3, 0xE1FF}, {4, 0xFEFE},
                                         {6, 0xFEFF}, {7, 0xFF20}, {10, 0xFFA0}, {11, 0x20FF}, {14, 0xA0FF},
                                         {15, 0xFFFD}, {22, 0xEFFF}, {23, 0xFFFE}, {28, 0xFEFF}, {32, 0xEFFF},
                                         {33, 0xFFFF}, {-1, 0xFFFF}};
    for (auto [type, mask] : cases) EXPECT_EQ(ZarnScannerPloverC::LedMaskOf(type), mask) << type;
}

// ---- end to end on simulated scanners ------------------------------------------------------------

namespace {

class ModelOnSimulator : public ::testing::Test {
protected:
    // waitScale stretches the library's frame waits and the driver's time-outs for sensors whose
    // frames take the simulator long to draw.
    void Open(const std::string& model, std::unique_ptr<ZarnScannerBase> scanner, double periodScale, int waitScale = 1) {
        ASSERT_TRUE(kSlotIsolated);
        const double slowdown = scannertest::Slowdown() * waitScale;
        ZarnScannerBase::s_nWaitScale = int(slowdown);
        trace = std::make_unique<TraceLines>();
        bus = std::make_unique<capturetest::Bus>("period-scale " + std::to_string(periodScale * scannertest::Slowdown()) +
                                                     "\ndevice s1 " + model + "\n",
                                                 slowdown);
        device = bus->Device("s1");
        ASSERT_TRUE(device);
        this->model = std::move(scanner);
        g_pScanner = this->model.get();
        ASSERT_EQ(this->model->InitializeRes(), 0);
        ASSERT_EQ(this->model->InitVideoMode(TK_VIDEO_FULL), 0);
    }
    void TearDown() override {
        if (HasFailure() && trace) {
            // The library's last trace lines tell what the scanner was doing.
            const auto lines = trace->Lines();
            for (size_t i = lines.size() > 80 ? lines.size() - 80 : 0; i < lines.size(); ++i)
                if (lines[i].find("SetVideoProp") == std::string::npos && lines[i].rfind("****", 0) != 0)
                    std::fprintf(stderr, "trace: %s\n", lines[i].c_str());
        }
        if (model) model->ReleaseRes();
        g_pScanner = nullptr;
        model.reset();
        bus.reset();
        trace.reset();
    }
    // What the exported layer does to start a flat capture in the current mode.
    void StartPreviews(int type) { scannertest::StartPreviews(*model, previews, type); }

    std::unique_ptr<TraceLines> trace;
    std::unique_ptr<capturetest::Bus> bus;
    std::shared_ptr<sim::SimDevice> device;
    std::unique_ptr<ZarnScannerBase> model;
    Previews previews;
};

}  // namespace

// A single-finger scanner without a roll mode calibrates in the full mode and previews its window.
TEST_F(ModelOnSimulator, TanagerCalibratesAndPreviewsItsWindow) {
    Open("TanagerA", std::make_unique<ZarnScannerTanagerA>(), 0.25);
    ASSERT_EQ(model->SetCalibration(1), 0);
    EXPECT_EQ(model->m_nBackgroundStage.load(), 1);
    StartPreviews(24);
    ASSERT_TRUE(WaitUntil([&] { return previews.Count() >= 2; }, 20000));
    {
        std::lock_guard lock(previews.mutex);
        EXPECT_EQ(previews.last.width, 500);
        EXPECT_EQ(previews.last.height, 500);
        EXPECT_EQ(previews.last.xResolution, 500);
    }
    EXPECT_STREQ(model->m_DeviceInfo.model, "TanagerA");
}

// Finch: its own calibration (the embedded background, three fresh frames) and its flat result.
TEST_F(ModelOnSimulator, FinchCalibratesWithItsEmbeddedBackgroundAndDeliversItsFlatResult) {
    Open("Finch", std::make_unique<ZarnScannerFinch>(), 0.25);
    auto* finch = static_cast<ZarnScannerFinch*>(model.get());
    EXPECT_EQ(finch->Background(), nullptr);
    // The calibration's contrast (224) would drive the simulated platen into saturation, which the
    // negative sensor sends as an all-black frame: a dimmer lamp keeps the platen inside the range.
    sim::DeviceAction lamp;
    lamp.kind = sim::DeviceAction::Set;
    lamp.name = "lamp";
    lamp.x = 0.4;
    device->Apply(lamp);
    // The full mode as Initialize leaves it, and the stream start of the exported calibration.
    ASSERT_EQ(model->EnterVideoMode(TK_VIDEO_FULL, ZARN_IMAGE_FLAT_SINGLE), 0);
    ASSERT_EQ(model->StartStream(), 0);
    ASSERT_EQ(finch->SetCalibration(1), 0);
    ASSERT_NE(finch->Background(), nullptr);
    size_t size = 0;
    const uint8_t* embedded = FindLibraryResource("RAW", 106, &size);
    ASSERT_EQ(size, 101376u);
    EXPECT_EQ(std::memcmp(finch->Background(), embedded, size), 0);
    EXPECT_EQ(FindLibraryResource("RAW", 107, &size), nullptr);
    EXPECT_EQ(model->m_nBackgroundStage.load(), 1);
    EXPECT_EQ(model->m_nPropValue[11], 0);
    EXPECT_EQ(model->m_nPropValue[kPropContrast], 224);
    // The full background is the empty platen at the result size: bright after the inversion of
    // the negative sensor.
    const uint8_t* bg = model->m_pFullBackground;
    EXPECT_GT(std::accumulate(bg + 176 * 288, bg + 177 * 288, 0.0) / 288, 150);

    model->m_nImageType = ZARN_IMAGE_FLAT_FINGER_FIRST;
    ASSERT_EQ(finch->FlatResultOutput(), 0);
    EXPECT_EQ(model->ImageInfo.width, 288);
    EXPECT_EQ(model->ImageInfo.height, 352);
    EXPECT_EQ(model->ImageInfo.xResolution, 250);
    EXPECT_EQ(model->ImageInfo.isResult, 1);
}

// ---- through the exported interface ------------------------------------------------------------

namespace {

bool IsRoll(int imageType) { return imageType == 0 || imageType == 5 || imageType == 6 || (imageType >= 15 && imageType <= 22); }

// The image types 0..33, the flat ones first, so that a walk through them switches the scanner's
// video mode once.
std::vector<int> TypesByMode() {
    std::vector<int> types(34);
    std::iota(types.begin(), types.end(), 0);
    std::stable_partition(types.begin(), types.end(), [](int t) { return !IsRoll(t); });
    return types;
}

struct Seen {
    std::mutex mutex;
    int previews = 0, results = 0;
    ZarnImageInfo preview{}, result{};
    static void Preview(void* c, ZarnImageInfo info) {
        auto* s = static_cast<Seen*>(c);
        std::lock_guard lock(s->mutex);
        ++s->previews;
        s->preview = info;
    }
    static void Result(void* c, int, ZarnImageInfo info, int, int) {
        auto* s = static_cast<Seen*>(c);
        std::lock_guard lock(s->mutex);
        ++s->results;
        s->result = info;
    }
    std::vector<int> keys;
    int foot = 0;
    static void Key(void* c, int key) {
        auto* s = static_cast<Seen*>(c);
        std::lock_guard lock(s->mutex);
        s->keys.push_back(key);
    }
    static void Foot(void* c) {
        auto* s = static_cast<Seen*>(c);
        std::lock_guard lock(s->mutex);
        ++s->foot;
    }
    int Previews() {
        std::lock_guard lock(mutex);
        return previews;
    }
    int Results() {
        std::lock_guard lock(mutex);
        return results;
    }
};

struct Geometry {
    int width, height, ppi;
};

// A capture of `type` started by hand (no auto-capture) after SetMode has given the `result`
// geometry: `previews` more previews of the `preview` geometry.
void StartByHand(Seen& seen, int type, int fingers, Geometry result, Geometry preview, int previews) {
    int w = 0, h = 0, xr = 0, yr = 0;
    ASSERT_EQ(Zarn_Capture_SetMode(type, 500, 0, 0, &w, &h, &xr, &yr), 0);
    EXPECT_EQ(std::vector<int>({w, h, xr, yr}), std::vector<int>({result.width, result.height, result.ppi, result.ppi}));
    const int before = seen.Previews();
    ASSERT_EQ(Zarn_Capture_Start(fingers, 0), 0);
    ASSERT_TRUE(WaitUntil([&] { return seen.Previews() >= before + previews; }, 30000));
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.preview.width, preview.width);
    EXPECT_EQ(seen.preview.height, preview.height);
    EXPECT_EQ(seen.preview.xResolution, preview.ppi);
}

// Takes and acquires the result of the running capture, which must be the `count`-th result seen,
// of the given size and resolution.
void TakeResult(Seen& seen, int count, int width, int height, int ppi) {
    ASSERT_EQ(Zarn_Capture_TakeResultImage(), 0);
    ASSERT_EQ(Zarn_Capture_AcquireResultImage(), 0);
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.results, count);
    EXPECT_EQ(seen.result.width, width);
    EXPECT_EQ(seen.result.height, height);
    EXPECT_EQ(seen.result.xResolution, ppi);
    EXPECT_EQ(seen.result.yResolution, ppi);
}

// Each fingertip of `layout` lies in a (bottom-up) PloverC or PloverD flat result where the
// renderer put it on an upright 500-ppi canvas of the result's size. The keystone correction keeps
// columns where they are and moves every row by the same amount, so the columns and the rows
// between fingers are compared.
void ExpectFingersWhereTheyWerePut(const ZarnImageInfo& result, sim::FingerLayout layout, size_t fingers) {
    const int w = result.width, h = result.height;
    std::vector<uint8_t> upright(size_t(w) * size_t(h));
    for (int r = 0; r < h; ++r) std::memcpy(&upright[size_t(r) * w], result.image + size_t(h - 1 - r) * w, size_t(w));
    sim::FingerScene scene;
    scene.platen.width = w, scene.platen.height = h;
    scene.platen.noise = 0;
    scene.layout = layout;
    sim::SceneTruth truth;
    sim::RenderFingers(scene, 1, &truth);
    ASSERT_EQ(truth.fingers.size(), fingers);
    std::vector<double> rows;
    for (const sim::FingerTruth& f : truth.fingers) {
        SCOPED_TRACE(f.isoFinger);
        double x = 0, y = 0;
        ASSERT_TRUE(scannertest::DarkCentroid(upright, w, h, f.left, 0, f.right, h - 1, &x, &y));
        EXPECT_NEAR(x, f.centreX, 10);
        rows.push_back(y - f.centreY);
    }
    for (double shift : rows) EXPECT_NEAR(shift, rows.front(), 12);
}

class ExportedModels : public ::testing::Test {
protected:
    // waitScale stretches the library's frame waits and the driver's time-outs for sensors whose
    // frames take the simulator long to draw.
    void Open(const std::string& devices, int waitScale = 1) {
        ASSERT_TRUE(kSlotIsolated);
        const double slowdown = scannertest::Slowdown() * waitScale;
        ZarnScannerBase::s_nWaitScale = int(slowdown);
        trace = std::make_unique<TraceLines>();
        bus = std::make_unique<capturetest::Bus>(
            "period-scale " + std::to_string(0.25 * waitScale * scannertest::Slowdown()) + "\n" + devices, slowdown);
    }
    void TearDown() override {
        if (HasFailure() && trace && std::getenv("TESSIK_DUMP_TRACE"))
            for (const auto& l : trace->Lines()) std::fprintf(stderr, "%s\n", l.c_str());
        Zarn_M_Main_DeInitializeAll();
        if (g_pScanner.load() != nullptr) Zarn_Main_DeInitialize();
        bus.reset();
        trace.reset();
    }
    std::unique_ptr<TraceLines> trace;
    std::unique_ptr<capturetest::Bus> bus;
    Seen events;  // outlives the library's threads: TearDown releases the scanner first
};

}  // namespace

// Each single-finger model as the library's user meets it: found, created by the factory for its
// type, its device record, the geometry of every image type, previews and taken results of flat
// captures, no LEDs and no keys, and its beeper; VireoB's thumbs and roll.
TEST_F(ExportedModels, SingleFingerModelsFromFactoryToResult) {
    struct Case {
        const char* model;
        int type, family;
        const char* className;
        const char* product;
        int previewW, previewH, resultW, resultH, resultPpi;
        int beeper;
        std::vector<int> fingerTypes;  // single flat types named by their finger captured besides type 1
    } cases[] = {
        {"Finch", 304, ZARN_FAMILY_FINCH, "Tessik Finch", "Finch", 288, 352, 288, 352, 250, ZARN_ERR_NOT_SUPPORTED, {23, 31}},
        {"LinnetA", 303, ZARN_FAMILY_LINNET_A, "Tessik LinnetA", "LinnetA", 320, 480, 320, 480, 500, ZARN_ERR_NOT_SUPPORTED, {24, 32}},
        {"LinnetB", 303, ZARN_FAMILY_LINNET_A, "Tessik LinnetB", "LinnetA", 320, 480, 320, 480, 500, ZARN_ERR_NOT_SUPPORTED, {25}},
        {"SiskinA", 306, ZARN_FAMILY_SISKIN_A, "SiskinA", "SiskinA", 448, 466, 448, 466, 500, ZARN_ERR_NOT_SUPPORTED, {26}},
        {"SiskinB", 305, ZARN_FAMILY_SISKIN_B, "SiskinB", "SiskinB", 448, 466, 448, 466, 500, ZARN_ERR_NOT_SUPPORTED, {27}},
        {"TanagerA", 302, ZARN_FAMILY_TANAGER_A, "Tessik TanagerA", "TanagerA", 500, 500, 500, 500, 500, ZARN_ERR_NOT_SUPPORTED, {28}},
        {"TanagerB", 302, ZARN_FAMILY_TANAGER_A, "Tessik TanagerB", "TanagerA", 500, 500, 500, 500, 500, ZARN_ERR_NOT_SUPPORTED, {29}},
        {"VireoB", 402, ZARN_FAMILY_VIREO_B, "Tessik VireoB", "VireoB", 1600, 1500, 1600, 1500, 1000, 0, {30}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        Open(std::string("device s1 ") + c.model + "\n");
        if (std::string(c.model) == "Finch") {
            // The negative sensor sends a saturated platen as an all-black frame: a dimmer lamp.
            sim::DeviceAction lamp;
            lamp.kind = sim::DeviceAction::Set;
            lamp.name = "lamp";
            lamp.x = 0.4;
            bus->Device("s1")->Apply(lamp);
        }
        ZarnConnectedScanners found{};
        ASSERT_EQ(Zarn_Main_GetConnectedScanner(&found), 0);
        EXPECT_EQ(found.entries[c.family], 1);
        ASSERT_EQ(Zarn_Main_Initialize(c.type), 0);
        EXPECT_TRUE(trace->WaitFor(std::string("GetScannerName(") + c.className + ")", 2000));
        // Of these models only VireoB sets up the panel (brightness, lights out) when it starts.
        EXPECT_TRUE(trace->WaitFor("Exit  Zarn_Main_Initialize()=0", 2000));
        EXPECT_EQ(trace->Count("Enter ZarnScannerBase::ShutoffAllLight()") > 0, c.type == 402);
        ZarnDeviceInfo info{};
        ASSERT_EQ(Zarn_Main_GetDeviceInfo(&info), 0);
        EXPECT_STREQ(info.model, c.product);
        EXPECT_EQ(info.resolution, c.resultPpi == 1000 ? 1000u : 500u);
        Seen& seen = events;
        ASSERT_EQ(Zarn_Capture_RegisterCallbackPreviewImage(&Seen::Preview, &seen), 0);
        ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Seen::Result, &seen), 0);
        // Every image type: the single flat types give the flat result; VireoB also takes the two
        // thumbs into it and rolls a finger into its roll output, which is as large; the others
        // are refused.
        const bool vireo = c.type == 402;
        int w = 0, h = 0, xr = 0, yr = 0;
        for (int type : TypesByMode()) {
            SCOPED_TRACE(type);
            const bool accepted = type == 1 || (type >= 23 && type <= 32) || (vireo && (type == 4 || IsRoll(type)));
            ASSERT_EQ(Zarn_Capture_SetMode(type, 500, 0, 0, &w, &h, &xr, &yr), accepted ? 0 : ZARN_ERR_NOT_SUPPORTED);
            if (accepted) {
                EXPECT_EQ(std::vector<int>({w, h, xr, yr}), std::vector<int>({c.resultW, c.resultH, c.resultPpi, c.resultPpi}));
            }
        }
        // Captures of two single flat types (the finger-named ones spread over the models) and on
        // VireoB of the two thumbs: previews of the preview result, then the taken result.
        auto capture = [&](int type, int fingers) {
            SCOPED_TRACE(type);
            StartByHand(seen, type, fingers, {c.resultW, c.resultH, c.resultPpi}, {c.previewW, c.previewH, c.resultPpi}, 2);
            TakeResult(seen, seen.Results() + 1, c.resultW, c.resultH, c.resultPpi);
        };
        capture(ZARN_IMAGE_FLAT_SINGLE, 1);
        for (int type : c.fingerTypes) capture(type, 1);
        if (vireo) capture(ZARN_IMAGE_TWO_THUMBS, 2);
        // No LED banks, and no key or foot switch is read: a pressed key reaches no callback.
        int leds = 0;
        for (int group : {0, 1, 2}) {
            EXPECT_EQ(Zarn_Controls_SetLEDs(group, 0), ZARN_ERR_NOT_SUPPORTED) << group;
            EXPECT_EQ(Zarn_Controls_GetLEDs(group, &leds), ZARN_ERR_NOT_SUPPORTED) << group;
        }
        ASSERT_EQ(Zarn_Capture_RegisterCallbackKeypad(&Seen::Key, &seen), 0);
        ASSERT_EQ(Zarn_Capture_RegisterCallbackFootSwitch(&Seen::Foot, &seen), 0);
        bus->Device("s1")->SetKeys(0x01);
        EXPECT_FALSE(WaitUntil([&] { std::lock_guard l(seen.mutex); return !seen.keys.empty() || seen.foot > 0; }, 700));
        bus->Device("s1")->SetKeys(0);
        EXPECT_EQ(Zarn_Controls_Beeper(3), c.beeper);
        if (vireo) {
            // A rolled finger: its print is wider than a flat touch, as wide as the renderer rolled it.
            auto device = bus->Device("s1");
            ASSERT_EQ(Zarn_Capture_SetMode(16, 500, 0, 0, &w, &h, &xr, &yr), 0);
            ASSERT_EQ(Zarn_Capture_Start(1, 1), 0);
            ASSERT_EQ(Zarn_Capture_SetStartRollingFlag(1), 0);
            const int previews = seen.Previews();
            ASSERT_TRUE(WaitUntil([&] { return seen.Previews() >= previews + 2; }, 20000));
            const int results = seen.Results();
            ASSERT_NO_FATAL_FAILURE(scannertest::RollAndLift(*device, 20, 2, 30000));
            TakeResult(seen, results + 1, 1600, 1500, 1000);
            std::lock_guard lock(seen.mutex);
            EXPECT_EQ(seen.result.typeValue, 10.0);
            // The renderer's flat touch at the result's size and resolution.
            sim::FingerScene scene;
            scene.platen.width = 1600, scene.platen.height = 1500;
            scene.platen.ppiX = scene.platen.ppiY = 1000;
            scene.layout = sim::FingerLayout::SingleFinger;
            sim::SceneTruth flat;
            sim::RenderFingers(scene, 1, &flat);
            const std::vector<uint8_t> pixels(seen.result.image, seen.result.image + 1600 * 1500);
            int left = 0, right = 0;
            scannertest::DarkColumns(pixels, 1600, 1500, 100, &left, &right);
            // The stitcher may miss a frame at this rate: more than a flat touch, at most the whole roll.
            ASSERT_EQ(flat.fingers.size(), 1u);
            const int flatWidth = flat.fingers[0].right - flat.fingers[0].left;
            EXPECT_GT(right - left, flatWidth * 5 / 4);
            EXPECT_LT(right - left, scannertest::RolledPrintWidthPx(1000) + 60);
        }
        EXPECT_EQ(Zarn_Main_DeInitialize(), 0);
        bus.reset();
        trace.reset();
    }
}

// Two scanners open at once through the device-indexed family: the device list, captures on both
// in turn, the index checks, and one scanner unplugged while the other keeps working.
TEST_F(ExportedModels, TwoScannersThroughTheDeviceIndexedFamily) {
    Open("device s1 TanagerA\ndevice s2 LinnetB\n");
    int list[23];
    std::fill(std::begin(list), std::end(list), 77);
    ASSERT_EQ(Zarn_M_Main_GetConnectedScanner(list), 0);
    EXPECT_EQ(list[0], 2);
    EXPECT_EQ(list[ZARN_FAMILY_TANAGER_A], 1);
    EXPECT_EQ(list[ZARN_FAMILY_LINNET_A], 1);
    EXPECT_EQ(list[ZARN_FAMILY_PLOVER_A], 0);
    // Devices are numbered family by family: TanagerA before LinnetA.
    EXPECT_EQ(list[13], 302);
    EXPECT_EQ(list[14], 303);
    for (int i = 15; i < 23; ++i) EXPECT_EQ(list[i], -1) << i;
    EXPECT_EQ(Zarn_M_Main_GetConnectedScanner(nullptr), ZARN_ERR_BAD_ARGUMENT);

    int opened = -5;
    ASSERT_EQ(Zarn_M_Main_Initialize(0, &opened), 0);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(Zarn_M_Main_Initialize(0, &opened), ZARN_ERR_ALREADY_INITIALIZED);
    ASSERT_EQ(Zarn_M_Main_Initialize(1, &opened), 0);
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(trace->WaitFor("Close ThreadImgProc thread successfully", 2000));
    EXPECT_EQ(Zarn_M_Main_Initialize(2, &opened), ZARN_ERR_DEVICE_INDEX);  // no third device
    EXPECT_EQ(Zarn_M_Main_Initialize(10, &opened), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_M_Main_Initialize(1, nullptr), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_M_Main_IsInitialized(10), ZARN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(Zarn_M_Main_IsInitialized(2), ZARN_ERR_NOT_INITIALIZED);
    EXPECT_EQ(Zarn_M_Main_IsInitialized(0), 0);
    ZarnDeviceInfo info{};
    ASSERT_EQ(Zarn_M_Main_GetDeviceInfo(0, &info), 0);
    EXPECT_STREQ(info.model, "TanagerA");
    ASSERT_EQ(Zarn_M_Main_GetDeviceInfo(1, &info), 0);
    EXPECT_STREQ(info.model, "LinnetA");
    EXPECT_EQ(Zarn_M_Main_GetDeviceInfo(3, &info), ZARN_ERR_DEVICE_INDEX);

    // Index 1 was opened last: index 0 is refused until SetMode makes it current.
    EXPECT_EQ(Zarn_M_Capture_Start(0, 1, 0), ZARN_ERR_NOT_CURRENT_DEVICE);
    EXPECT_EQ(Zarn_M_Capture_Start(7, 1, 0), ZARN_ERR_DEVICE_INDEX);
    EXPECT_EQ(Zarn_M_Capture_Start(-1, 1, 0), ZARN_ERR_DEVICE_INDEX);
    EXPECT_EQ(Zarn_M_Controls_Beeper(0, 1), ZARN_ERR_NOT_CURRENT_DEVICE);

    Seen seen[2];
    auto capture = [&](int index, int expectW, int expectH) {
        SCOPED_TRACE(index);
        int w = 0, h = 0, xr = 0, yr = 0;
        ASSERT_EQ(Zarn_M_Capture_SetMode(index, ZARN_IMAGE_FLAT_SINGLE, 500, 0, 0, &w, &h, &xr, &yr), 0);
        EXPECT_EQ(w, expectW);
        EXPECT_EQ(h, expectH);
        ASSERT_EQ(Zarn_M_Capture_RegisterCallbackPreviewImage(index, &Seen::Preview, &seen[index]), 0);
        const int before = seen[index].Previews();
        ASSERT_EQ(Zarn_M_Capture_Start(index, 1, 0), 0);
        ASSERT_TRUE(WaitUntil([&] { return seen[index].Previews() >= before + 2; }, 20000));
        {
            std::lock_guard lock(seen[index].mutex);
            EXPECT_EQ(seen[index].preview.width, expectW);
        }
        // The other device is not current while this one captures.
        EXPECT_EQ(Zarn_M_Capture_Start(1 - index, 1, 0), Zarn_M_Main_IsInitialized(1 - index) == 0 ? ZARN_ERR_NOT_CURRENT_DEVICE
                                                                                                   : ZARN_ERR_DEVICE_INDEX);
        ASSERT_EQ(Zarn_M_Capture_Abort(index), 0);
    };
    capture(1, 320, 480);
    capture(0, 500, 500);
    capture(1, 320, 480);
    ZarnRunningInfo running{};
    EXPECT_EQ(Zarn_M_Main_GetRunningInfo(0, &running), ZARN_ERR_NOT_CURRENT_DEVICE);
    EXPECT_EQ(Zarn_M_Main_GetRunningInfo(1, &running), 0);

    // LinnetB is unplugged; TanagerA keeps capturing, before and after LinnetB is closed.
    bus->Device("s2")->Unplug();
    capture(0, 500, 500);
    Zarn_M_Main_DeInitialize(1);
    EXPECT_EQ(Zarn_M_Main_IsInitialized(1), ZARN_ERR_NOT_INITIALIZED);
    EXPECT_EQ(Zarn_M_Main_DeInitialize(1), ZARN_ERR_BAD_ARGUMENT);
    capture(0, 500, 500);
    EXPECT_EQ(Zarn_M_Main_DeInitializeAll(), 0);
    EXPECT_EQ(Zarn_M_Main_IsInitialized(0), ZARN_ERR_NOT_INITIALIZED);
}

// PloverC from the factory: the three-mode calibration of Initialize with a dark sensor line in the
// scene, a slap in the preview mode, the LED banks, the scanner's own beeper pattern, the full-mode
// result, and the hand types.
TEST_F(ExportedModels, PloverCCalibratesRepairsPreviewsAndDeliversItsResult) {
    // Its full frames are 13 MB: waits as for a sensor three times slower.
    Open("device s1 PloverC\n", 3);
    auto device = bus->Device("s1");
    sim::DeviceAction defect;
    defect.kind = sim::DeviceAction::Set;
    defect.name = "defect-row";
    defect.x = 700;
    device->Apply(defect);
    ZarnConnectedScanners found{};
    ASSERT_EQ(Zarn_Main_GetConnectedScanner(&found), 0);
    EXPECT_EQ(found.entries[ZARN_FAMILY_PLOVER_C], 1);
    ASSERT_EQ(Zarn_Main_Initialize(601), 0);
    for (const char* line : {"GetScannerName(Tessik PloverC)", "Enter ZarnScannerPloverC::SetCalibration(0)", "Enter TK_VIDEO_FULL Mode",
                             "Enter TK_VIDEO_PREV Mode", "Enter TK_VIDEO_ROLL Mode", "Exit  ZarnScannerPloverC::SetCalibration()=0"})
        EXPECT_TRUE(trace->WaitFor(line, 2000)) << line;
    auto* plover = dynamic_cast<ZarnScannerPloverC*>(g_pScanner.load());
    ASSERT_NE(plover, nullptr);
    EXPECT_EQ(plover->m_nVideoMode.load(), TK_VIDEO_FULL);
    EXPECT_EQ(device->CaptureMode(), 0);
    EXPECT_EQ(plover->m_nBackgroundStage.load(), 1);
    EXPECT_EQ(plover->m_nCalibrating.load(), 0);
    // The exposure of the full pass is the brightness and exposure of every mode.
    EXPECT_EQ(plover->m_nCameraFull[0], plover->m_nFullExposure);
    EXPECT_EQ(plover->m_nCameraFull[2], plover->m_nFullExposure);
    EXPECT_EQ(plover->m_nCameraPreview[0], plover->m_nFullExposure);
    EXPECT_EQ(plover->m_nCameraRoll[0], plover->m_nFullExposure);
    EXPECT_EQ(plover->m_nRollExposure, plover->m_nFullExposure);
    // Each mode's first frame made its defect-line list.
    for (int mode : {TK_VIDEO_FULL, TK_VIDEO_PREV, TK_VIDEO_ROLL}) EXPECT_NE(ZarnScannerPloverC::DefectLineList(mode), nullptr) << mode;
    // The preview background: bright, its corners white, and scene row 700 repaired.
    const uint8_t* bg = plover->m_pPreviewBackground;
    auto at = [&](int x, int y) { return int(bg[size_t(y) * 1504 + x]); };
    EXPECT_EQ(at(700, 5), 255);
    double worst = 0;
    for (int x = 300; x < 1200; ++x) worst = std::max(worst, std::abs(at(x, 700) - (at(x, 699) + at(x, 701)) / 2.0));
    EXPECT_LE(worst, 12.0);
    EXPECT_GT(at(750, 600), 200);
    ZarnDeviceInfo info{};
    ASSERT_EQ(Zarn_Main_GetDeviceInfo(&info), 0);
    EXPECT_STREQ(info.model, "PloverC");
    EXPECT_EQ(std::string(info.firmware, 4), "1203");

    // A right slap: the preview mode, previews of the preview result at 250 ppi.
    Seen& seen = events;
    ASSERT_EQ(Zarn_Capture_RegisterCallbackPreviewImage(&Seen::Preview, &seen), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Seen::Result, &seen), 0);
    int w = 0, h = 0, xr = 0, yr = 0;
    StartByHand(seen, ZARN_IMAGE_SLAP_RIGHT, 4, {2552, 2500, 500}, {1276, 1250, 250}, 2);
    EXPECT_EQ(device->CaptureMode(), 2);

    // The 16-bit LED mask: low byte to bank 0 (property 12), high byte to bank 1 (property 11);
    // a blink step sends the type's mask, the next one all off.
    auto writes = [&](uint8_t request) {
        std::vector<int> v;
        for (const auto& wr : device->VendorWrites(request)) v.push_back(wr.data.empty() ? -1 : wr.data[0]);
        return v;
    };
    ASSERT_EQ(Zarn_Controls_SetLEDs(2, 0x12FE), 0);
    EXPECT_EQ(writes(0x81).back(), 0xFE);
    EXPECT_EQ(writes(0x80).back(), 0x12);
    const size_t bank0 = writes(0x81).size(), bank1 = writes(0x80).size();
    plover->m_nImageType = ZARN_IMAGE_TWO_THUMBS;
    for (int i = 0; i < 3; ++i) plover->BlinkLEDs();
    plover->m_nImageType = ZARN_IMAGE_SLAP_RIGHT;
    const auto b0 = writes(0x81), b1 = writes(0x80);
    ASSERT_EQ(b0.size(), bank0 + 3);
    ASSERT_EQ(b1.size(), bank1 + 3);
    EXPECT_EQ(std::vector<int>(b0.begin() + long(bank0), b0.end()), std::vector<int>({0xFE, 0xFF, 0xFE}));
    EXPECT_EQ(std::vector<int>(b1.begin() + long(bank1), b1.end()), std::vector<int>({0xFE, 0xFF, 0xFE}));
    int mask = 7;
    EXPECT_EQ(plover->GetLEDs(&mask), 0);
    EXPECT_EQ(mask, 0);
    // Newer firmware ("1203" is above "1112"): the scanner plays the pattern itself.
    ASSERT_EQ(Zarn_Controls_Beeper(2), 0);
    EXPECT_EQ(writes(0x82).back(), 3);

    // The result: a full-mode frame, keystone-corrected to the flat result.
    TakeResult(seen, 1, 2552, 2500, 500);
    EXPECT_EQ(device->CaptureMode(), 0);
    // Hand types are taken like slaps.
    ASSERT_EQ(Zarn_Capture_SetMode(9, 500, 0, 0, &w, &h, &xr, &yr), 0);
    EXPECT_EQ(std::vector<int>({w, h, xr, yr}), std::vector<int>({2552, 2500, 500, 500}));

    // Key 1, key 0 and the foot switch.
    ASSERT_EQ(Zarn_Capture_RegisterCallbackKeypad(&Seen::Key, &seen), 0);
    ASSERT_EQ(Zarn_Capture_RegisterCallbackFootSwitch(&Seen::Foot, &seen), 0);
    scannertest::PressKeysAndFootSwitch(*device, seen, {0x02, 0x01});
    {
        std::lock_guard l(seen.mutex);
        EXPECT_EQ(seen.keys.front(), 1);
    }

    // A single finger: previews of the lower centre of the preview result, the result half the
    // flat result, from a full-mode frame.
    StartByHand(seen, 24, 1, {1276, 1250, 500}, {638, 625, 125}, 2);
    TakeResult(seen, 2, 1276, 1250, 500);

    // The calibration with the exposure search: the empty platen it records as the standard
    // background passes the sensor check's brightness.
    ASSERT_EQ(Zarn_Capture_Calibration(), 0);
    EXPECT_TRUE(trace->WaitFor("Enter ZarnScannerPloverC::SetCalibration(1)", 2000));
    float mean = 0, variance = 0, saturation = 0;
    LiveScanAlg::CheckSensor2(2912, 4512, plover->m_pFullBackground, &mean, &variance, &saturation);
    EXPECT_GE(mean, 220.0f);
    // The search, from the traces of this calibration: the full pass starts at the exposure the
    // start-up left (40) and walks down one step at a time while the platen passes the sensor check,
    // then climbs one step at a time while it is too dark (-822) and stops at the first pass; the
    // preview and roll passes check once at the
    // exposure found, without a decision. The exposure found is every mode's exposure and brightness.
    ASSERT_TRUE(WaitUntil([&] { return trace->Count("Exit  ZarnScannerPloverC::SetCalibration()=0") >= 2; }, 5000));
    const auto lines = trace->Lines();
    const auto from = std::find(lines.begin(), lines.end(), "Enter ZarnScannerPloverC::SetCalibration(1)");
    ASSERT_NE(from, lines.end());
    std::vector<std::pair<int, int>> checks;  // (result, exposure)
    std::vector<int> exposures;
    for (auto it = from; it != lines.end(); ++it) {
        int r = 0, e = 0;
        if (std::sscanf(it->c_str(), "Called CheckSensor2(), nRet = %d, nExposure = %d", &r, &e) == 2) checks.emplace_back(r, e);
        if (std::sscanf(it->c_str(), "Current Exposure Value is : %d", &e) == 1) exposures.push_back(e);
    }
    ASSERT_EQ(exposures.size(), 3u);
    const int exposure = exposures[0];
    EXPECT_EQ(exposures, std::vector<int>(3, exposure));
    ASSERT_GE(checks.size(), 5u);
    const size_t fullChecks = checks.size() - 2;
    size_t i = 0;
    for (; i < fullChecks && checks[i].first == 0; ++i) EXPECT_EQ(checks[i].second, 40 - int(i)) << i;
    ASSERT_GT(i, 0u);
    ASSERT_LT(i + 1, fullChecks);  // a check failed, and a later one passed
    EXPECT_EQ(checks[i].second, 40 - int(i));
    for (size_t k = i; k < fullChecks; ++k) {
        EXPECT_EQ(checks[k].first, k + 1 == fullChecks ? 0 : -822) << k;
        if (k > i) {
            EXPECT_EQ(checks[k].second, checks[k - 1].second + 1) << k;
        }
    }
    EXPECT_EQ(checks[fullChecks - 1].second, exposure);
    EXPECT_EQ(checks[fullChecks].second, exposure);
    EXPECT_EQ(checks[fullChecks + 1].second, exposure);
    EXPECT_EQ(plover->m_nFullExposure, exposure);
    EXPECT_EQ(plover->m_nRollExposure, exposure);
    EXPECT_EQ(plover->m_nCameraPreview[0], exposure);
    EXPECT_EQ(int(plover->m_nPropValue[kPropExposure]), exposure);
    EXPECT_EQ(int(plover->m_nPropValue[kPropBrightness]), exposure);
    ASSERT_EQ(Zarn_Main_DeInitialize(), 0);
    EXPECT_EQ(ZarnScannerPloverC::DefectLineList(TK_VIDEO_FULL), nullptr);
}

// PloverC and PloverD through the exports, one session each:
// - every image type's geometry from SetMode: the rolls the roll output; the single fingers the
//   preview result at 500 ppi; the slaps, the two thumbs and the hand types 7..14 the flat result;
//   type 33 refused;
// - the hand types, the right hand's on PloverC and the left hand's on PloverD, each blinking its
//   own LEDs on the two banks while it runs; the first taken (the others are taken alike);
// - on PloverD a single finger taken;
// - flat captures taken automatically, each finger where it was put: PloverC a left slap, both the
//   two thumbs on the platen centre. The auto-capture area is 0.5 % of the preview: 1 % of this
//   wide platen is more than the pixel count the segmentation gives a fingertip;
// - a finger rolled on the roll window, which lies at the platen's edge where the finger is
//   rolled; the roll ends when the finger is lifted and hands out the roll output, as wide as the
//   renderer rolled the finger.
TEST_F(ExportedModels, PloverCAndDTakeEveryKindOfImageType) {
    struct Flat {
        int type, fingers;
        sim::FingerLayout layout;
        size_t drawn;
    };
    const Flat leftSlap{ZARN_IMAGE_SLAP_LEFT, 4, sim::FingerLayout::LeftSlap, 4},
        thumbs{ZARN_IMAGE_TWO_THUMBS, 2, sim::FingerLayout::TwoThumbs, 2};
    // PloverD shares PloverC's table of image types: the walk through all of them runs on PloverC;
    // PloverD takes a single finger through its own decode instead.
    const struct {
        const char* model;
        bool everyType;
        int firstHand, lastHand;
        std::vector<Flat> flats;
        int single;
    } cases[] = {{"PloverC", true, 7, 10, {leftSlap, thumbs}, 0}, {"PloverD", false, 11, 14, {thumbs}, 29}};
    // The LED masks of the hand types (active-low; bank 0 the low byte, bank 1 the high byte).
    const std::map<int, int> handLeds = {{7, 0xFF20},  {8, 0xFFDF},  {9, 0xFF3F},  {10, 0xFFA0},
                                         {11, 0x20FF}, {12, 0xDFFF}, {13, 0x3FFF}, {14, 0xA0FF}};
    Seen& seen = events;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model);
        // Its full frames are 13 MB: waits as for a sensor three times slower.
        Open(std::string("device s1 ") + c.model + "\n", 3);
        auto device = bus->Device("s1");
        ASSERT_EQ(Zarn_Main_Initialize(601), 0);
        ASSERT_EQ(Zarn_Capture_RegisterCallbackPreviewImage(&Seen::Preview, &seen), 0);
        ASSERT_EQ(Zarn_Capture_RegisterCallbackResultImage(&Seen::Result, &seen), 0);
        // The foot-switch thread, which blinks the LEDs of a running capture.
        ASSERT_EQ(Zarn_Capture_RegisterCallbackKeypad(&Seen::Key, &seen), 0);
        int w = 0, h = 0, xr = 0, yr = 0;
        for (int type : c.everyType ? TypesByMode() : std::vector<int>{}) {
            SCOPED_TRACE(type);
            const bool single = type == 1 || type >= 23;
            ASSERT_EQ(Zarn_Capture_SetMode(type, 500, 0, 0, &w, &h, &xr, &yr), type == 33 ? ZARN_ERR_NOT_SUPPORTED : 0);
            if (type == 33) continue;
            const std::vector<int> expected = IsRoll(type) ? std::vector<int>{800, 750, 500, 500}
                                            : single ? std::vector<int>{1276, 1250, 500, 500}
                                                     : std::vector<int>{2552, 2500, 500, 500};
            EXPECT_EQ(std::vector<int>({w, h, xr, yr}), expected);
        }

        for (int type = c.firstHand; type <= c.lastHand; ++type) {
            SCOPED_TRACE(type);
            const size_t bank0 = device->VendorWrites(0x81).size(), bank1 = device->VendorWrites(0x80).size();
            StartByHand(seen, type, 4, {2552, 2500, 500}, {1276, 1250, 250}, 1);
            // The type's mask, low byte to bank 0 and high byte to bank 1 in the same blink step.
            const int mask = handLeds.at(type);
            auto blinked = [&] {
                const auto b0 = scannertest::Writes(*device, 0x81), b1 = scannertest::Writes(*device, 0x80);
                for (size_t i = bank0, j = bank1; i < b0.size() && j < b1.size(); ++i, ++j)
                    if (b0[i] == (mask & 0xFF) && b1[j] == mask >> 8) return true;
                return false;
            };
            EXPECT_TRUE(WaitUntil(blinked, 5000));
            if (type == c.firstHand) {
                TakeResult(seen, seen.Results() + 1, 2552, 2500, 500);
            } else {
                ASSERT_EQ(Zarn_Capture_Abort(), 0);
            }
        }
        if (c.single != 0) {
            // Previews of the lower centre of the preview result; the result half the flat result.
            StartByHand(seen, c.single, 1, {1276, 1250, 500}, {638, 625, 125}, 2);
            TakeResult(seen, seen.Results() + 1, 1276, 1250, 500);
        }

        for (const Flat& f : c.flats) {
            SCOPED_TRACE(f.type);
            ASSERT_EQ(Zarn_Capture_SetMode(f.type, 500, 1, 0, &w, &h, &xr, &yr), 0);
            ASSERT_EQ(Zarn_Capture_SetAutoCapInfo(250, 230, 0.5, 12, 2, 10, 10, 15, 3000), 0);
            const int previews = seen.Previews(), results = seen.Results();
            ASSERT_EQ(Zarn_Capture_Start(f.fingers, 1), 0);
            ASSERT_TRUE(WaitUntil([&] { return seen.Previews() >= previews + 2; }, 30000));
            device->Apply({sim::DeviceAction::Place, f.layout});
            ASSERT_TRUE(WaitUntil([&] { return seen.Results() > results; }, 40000));
            {
                std::lock_guard lock(seen.mutex);
                ASSERT_EQ(seen.result.width, 2552);
                ASSERT_EQ(seen.result.height, 2500);
                EXPECT_EQ(seen.result.xResolution, 500);
                EXPECT_EQ(seen.result.yResolution, 500);
                ExpectFingersWhereTheyWerePut(seen.result, f.layout, f.drawn);
            }
            device->Apply({sim::DeviceAction::Lift});
        }

        ASSERT_EQ(Zarn_Capture_SetMode(16, 500, 0, 0, &w, &h, &xr, &yr), 0);
        EXPECT_EQ(std::vector<int>({w, h, xr, yr}), std::vector<int>({800, 750, 500, 500}));
        EXPECT_EQ(device->CaptureMode(), 1);
        ASSERT_EQ(Zarn_Capture_Start(1, 1), 0);
        ASSERT_EQ(Zarn_Capture_SetStartRollingFlag(1), 0);
        const int previews = seen.Previews(), results = seen.Results();
        ASSERT_TRUE(WaitUntil([&] { return seen.Previews() >= previews + 2; }, 30000));
        ASSERT_NO_FATAL_FAILURE(scannertest::RollAndLift(*device, 20, 2, 60000));
        EXPECT_GE(g_pScanner.load()->m_nRollFrames.load(), 10);
        TakeResult(seen, results + 1, 800, 750, 500);
        {
            std::lock_guard lock(seen.mutex);
            EXPECT_EQ(seen.result.typeValue, 10.0);
            const std::vector<uint8_t> pixels(seen.result.image, seen.result.image + 800 * 750);
            int left = 0, right = 0;
            scannertest::DarkColumns(pixels, 800, 750, 100, &left, &right);
            ASSERT_GT(right, left);
            scannertest::ExpectRolledWidth(right - left, 500, 40);
        }
        EXPECT_EQ(Zarn_Main_DeInitialize(), 0);
        bus.reset();
        trace.reset();
    }
}
