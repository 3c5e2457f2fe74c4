#include "ZarnScannerSingleFinger.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "zarn/ZarnTraceLogger.h"

#include "ModelCommon.h"
#include "ModelFactory.h"

using sensorframes::WindowTurn;

namespace {

using Def = ZarnSingleFingerModel::Def;

constexpr DistortionSet kSetLinnetA{{700, 836, 752, 0, 480, 320}};
constexpr DistortionSet kSetWide{{1496, 1350, 930, 0, 750, 800}};
constexpr DistortionSet kSetVireoFlat{{1496, 1350, 930, 0, 750, 808}};
constexpr DistortionSet kSetBase{};

// Models without a roll mode leave their roll records at 1.
constexpr ZarnSingleFingerModel::Geometry kNone{1, 1, 1, 1};

const Def kLinnetA{"ZarnScannerLinnetA", 303, "Tessik LinnetA", "pid_2140", "LinnetA",
                    {1600, 1200, 800, 750}, {860, 768, 800, 750}, {320, 480, 500, 500},
                    false, kNone, kNone, kNone,
                    {860, 768, 800, 750}, {320, 480, 500, 500},
                    {100, 0, 100}, {100, 0, 100}, 240, {1, 10}, 60, 0, 1, -1,
                    kSetLinnetA, kSetLinnetA, kSetLinnetA,
                    true, 168, 935, 388, 1247, WindowTurn::Mirror, false, false, 500, true};

const Def kLinnetB{"ZarnScannerLinnetB", 303, "Tessik LinnetB", "pid_2140", "LinnetA",
                    {1600, 1200, 700, 500}, {996, 936, 700, 500}, {320, 480, 500, 500},
                    false, kNone, kNone, kNone,
                    {996, 936, 700, 500}, {320, 480, 500, 500},
                    {100, 0, 100}, {100, 0, 100}, 240, {1, 10}, 60, 1, 2, -1,
                    kSetWide, kSetWide, kSetWide,
                    true, 132, 1067, 302, 1297, WindowTurn::Mirror, false, false, 500, true};

const Def kTanagerA{"ZarnScannerTanagerA", 302, "Tessik TanagerA", "pid_2120", "TanagerA",
                     {1600, 1200, 700, 500}, {720, 508, 700, 500}, {500, 500, 500, 500},
                     false, kNone, kNone, kNone,
                     {720, 508, 700, 500}, {500, 500, 500, 500},
                     {100, 0, 100}, {100, 0, 100}, 240, {1, 10}, 60, 1, 2, -1,
                     kSetWide, kSetWide, kSetWide,
                     true, 346, 853, 442, 1161, WindowTurn::Rotate180, false, false, 500, true};

const Def kTanagerB{"ZarnScannerTanagerB", 302, "Tessik TanagerB", "pid_2120", "TanagerA",
                     {1600, 1200, 700, 500}, {712, 480, 700, 500}, {500, 500, 500, 500},
                     false, kNone, kNone, kNone,
                     {712, 480, 700, 500}, {500, 500, 500, 500},
                     {100, 0, 100}, {100, 0, 100}, 240, {1, 10}, 60, 1, 2, -1,
                     kSetWide, kSetWide, kSetWide,
                     true, 360, 839, 444, 1155, WindowTurn::Rotate180, false, false, 500, true};

Def SiskinSpec(const char* className, int type, const char* name, const char* pid, const char* product,
                std::initializer_list<int> cameraFull) {
    Def s{className, type, name, pid, product,
           {640, 480, 700, 500}, {448, 466, 500, 500}, {448, 466, 500, 500},
           true, {640, 480, 700, 500}, {448, 466, 500, 500}, {448, 466, 500, 500},
           {448, 466, 500, 500}, {448, 466, 500, 500},
           {0, 0, 0}, {100, 0, 100}, 240, {1, 10, 20}, 60, 2, 3, -1,
           kSetWide, kSetWide, kSetWide,
           false, 0, 0, 0, 0, WindowTurn::None, false, false, 500, true};
    std::copy(cameraFull.begin(), cameraFull.end(), s.cameraFull);
    return s;
}
const Def kSiskinA = SiskinSpec("ZarnScannerSiskinA", 306, "SiskinA", "pid_2102", "SiskinA", {121, 200, 120});
const Def kSiskinB = SiskinSpec("ZarnScannerSiskinB", 305, "SiskinB", "pid_2100", "SiskinB", {48, 0, 87});

const Def kVireoB{"ZarnScannerVireoB", 402, "Tessik VireoB", "pid_2161", "VireoB",
                   {1536, 2144, 1200, 1200}, {2144, 1536, 1200, 1200}, {1600, 1500, 1000, 1000},
                   true, {1536, 2144, 1200, 1200}, {2144, 1536, 1200, 1200}, {1600, 1500, 1000, 1000},
                   {2144, 1536, 1200, 1200}, {1600, 1500, 1000, 1000},
                   {170, 0, 40}, {170, 0, 40}, 240, {0, 1, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, 1, 1, 2, 2,
                   kSetWide, kSetWide, kSetVireoFlat,
                   false, 0, 0, 0, 0, WindowTurn::None, true, false, 1000, false};

void Set(FrameGeometry& g, const ZarnSingleFingerModel::Geometry& s) {
    zarnmodel::SetGeometry(g, s.width, s.height, s.xResolution, s.yResolution);
}

}  // namespace

ZARN_MODEL_CREATOR(ZarnScannerLinnetA)
ZARN_MODEL_CREATOR(ZarnScannerLinnetB)
ZARN_MODEL_CREATOR(ZarnScannerTanagerA)
ZARN_MODEL_CREATOR(ZarnScannerTanagerB)
ZARN_MODEL_CREATOR(ZarnScannerSiskinA)
ZARN_MODEL_CREATOR(ZarnScannerSiskinB)
ZARN_MODEL_CREATOR(ZarnScannerVireoB)

ZarnSingleFingerModel::ZarnSingleFingerModel(const Def& def) : def_(def) {
    m_nScannerType = def.scannerType;
    SetScannerName(def.name);
    SetUsbPidText(def.pid);
    Set(m_FullFrame, def.fullFrame);
    Set(m_FullImage, def.fullImage);
    Set(m_FlatResult, def.flatResult);
    Set(m_RollFrame, def.rollFrame);
    Set(m_RollImage, def.rollImage);
    Set(m_RollOutput, def.rollOutput);
    if (!def.hasRoll) {
        sensorframes::SetNoGeometry(m_RollFrame);
        sensorframes::SetNoGeometry(m_RollImage);
        sensorframes::SetNoGeometry(m_RollOutput);
    }
    Set(m_PreviewImage, def.previewImage);
    Set(m_PreviewResult, def.previewResult);
    std::copy(def.cameraFull, def.cameraFull + 3, m_nCameraFull);
    std::copy(def.cameraRoll, def.cameraRoll + 3, m_nCameraRoll);
    m_nMeanThreshold[0] = m_nMeanThreshold[1] = def.meanThreshold;
    m_nExposureMin = 0, m_nExposureMax = 255;
    m_nExposureStep[0] = m_nExposureStep[1] = 1;
    for (int i : def.properties) m_bPropSupported[i] = true;
    m_nStretchPercent = def.stretchPercent;
    m_nResultTransform = def.resultTransform;
    m_nFlatPreviewTransform = def.flatPreviewTransform;
    if (def.rollPreviewTransform >= 0) m_nRollPreviewTransform = def.rollPreviewTransform;
    m_FullSet = def.fullSet;
    m_RollSet = def.rollSet;
    m_FlatSet = def.flatSet;
    m_nPlatenCheck = 0;
    m_nCropFlag = 0;
    m_nFrameReadyCount = 1;
}

int ZarnSingleFingerModel::GetImageTypeInfo(int type, ZarnImageInfo* info, int half) {
    *info = ZarnImageInfo{};
    const FrameGeometry* g = nullptr;
    double value = 3.0;
    if (def_.rollAndThumbs && IsRollImageType(type)) {
        g = &m_RollOutput, value = 10.0;
    } else if (IsSingleFlatImageType(type) || (def_.rollAndThumbs && IsThumbsImageType(type))) {
        g = !half ? &m_FlatResult : def_.halfIsPreviewImage ? &m_PreviewImage : &m_PreviewResult;
    } else {
        return ZARN_ERR_NOT_SUPPORTED;
    }
    info->width = g->width, info->height = g->height;
    info->xResolution = g->xResolution, info->yResolution = g->yResolution;
    info->typeValue = value;
    return 0;
}

int ZarnSingleFingerModel::FilterStream(uint8_t* buffer, long* length) {
    if (*length < long(m_FullFrame.bytes)) return ZARN_ERR_BAD_ARGUMENT;
    if (def_.syncTest && !sensorframes::HasSyncBytes(buffer)) return ZARN_ERR_BAD_ARGUMENT;
    sensorframes::CutWindow(buffer, m_FullFrame.width, def_.top, def_.bottom, def_.left, def_.right, def_.turn);
    AfterWindowCut(buffer);
    ImageUpToDown(buffer, m_FullImage.width, m_FullImage.height);
    *length = long(m_FullImage.width) * m_FullImage.height;
    return 0;
}

int ZarnSingleFingerModel::FillDeviceInfo(ZarnDeviceInfo* info) {
    sensorframes::FillPlainDeviceInfo(info, m_szDeviceText, def_.product, def_.resolution, def_.hardwareWord);
    return 0;
}

ZarnScannerLinnetA::ZarnScannerLinnetA() : ZarnSingleFingerModel(kLinnetA) {}
ZarnScannerLinnetB::ZarnScannerLinnetB() : ZarnSingleFingerModel(kLinnetB) {}
ZarnScannerTanagerA::ZarnScannerTanagerA() : ZarnSingleFingerModel(kTanagerA) {}
ZarnScannerTanagerB::ZarnScannerTanagerB() : ZarnSingleFingerModel(kTanagerB) {}

void ZarnScannerLinnetA::AfterWindowCut(uint8_t* image) {
    const int w = m_FullImage.width;
    for (int r = 0; r < 714; ++r) {
        const int k = 34 - r / 21;
        uint8_t* row = image + size_t(r) * size_t(w);
        std::memset(row, 255, size_t(k));
        std::memset(row + w - k, 255, size_t(k));
    }
}

// ---- Siskin -------------------------------------------------------------------------------------

ZarnScannerSiskin::ZarnScannerSiskin(const Def& def)
    : ZarnSingleFingerModel(def), work_(size_t(def.fullImage.width) * size_t(def.fullImage.height)) {}
ZarnScannerSiskinA::ZarnScannerSiskinA() : ZarnScannerSiskin(kSiskinA) {}
ZarnScannerSiskinB::ZarnScannerSiskinB() : ZarnScannerSiskin(kSiskinB) {}

int ZarnScannerSiskin::FilterStream(uint8_t* buffer, long* length) {
    if (*length < long(m_FullFrame.bytes)) return ZARN_ERR_BAD_ARGUMENT;
    const int w = m_FullImage.width, h = m_FullImage.height;
    ResizeBilinear(buffer, m_FullFrame.height, m_FullFrame.width, work_.data(), h, w);
    // The sensor gives bright ridges on a dark ground.
    for (size_t i = 0; i < work_.size(); ++i) buffer[i] = uint8_t(255 - work_[i]);
    ImageUpToDown(buffer, w, h);
    *length = long(w) * h;
    return 0;
}

int ZarnScannerSiskin::SetCalibration(int) {
    m_nBackgroundStage = 1;
    m_nCalibrating = 0;
    return 0;
}

int ZarnScannerSiskin::ScaleToResult(const uint8_t* in, int inWidth, int inHeight, uint8_t* out, int* outWidth,
                                     int* outHeight) {
    return ResizeBilinear(in, inHeight, inWidth, out, *outHeight, *outWidth);
}

// ---- VireoB -------------------------------------------------------------------------------------

ZarnScannerVireoB::ZarnScannerVireoB() : ZarnSingleFingerModel(kVireoB) {}

int ZarnScannerVireoB::RotateImage(uint8_t* image, int w, int h) { return quarterTurn_(image, w, h); }

int ZarnScannerVireoB::FilterStream(uint8_t* buffer, long* length) {
    if (*length < long(m_FullFrame.bytes)) return ZARN_ERR_BAD_ARGUMENT;
    const int result = RotateImage(buffer, m_FullFrame.width, m_FullFrame.height);
    ImageUpToDown(buffer, m_FullImage.width, m_FullImage.height);
    return result;
}
