// The Finch single-finger scanner and the background image the library carries for it.
#include <array>
#include <cstring>
#include <new>

#include "zarn/ZarnTraceLogger.h"

#include "ModelFactory.h"
#include "ZarnScannerSingleFinger.h"

ZARN_MODEL_CREATOR(ZarnScannerFinch)

namespace {

constexpr int kWidth = 288, kHeight = 352;
constexpr size_t kBackgroundBytes = size_t(kWidth) * kHeight;  // 101376

// The platen of an empty Finch as its optics light it: white in the centre, falling off by up to
// 24 levels towards the corners. Built when the library is compiled and kept in its read-only data.
constexpr std::array<uint8_t, kBackgroundBytes> MakeBackground() {
    std::array<uint8_t, kBackgroundBytes> image{};
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const int dx = 2 * x - (kWidth - 1), dy = 2 * y - (kHeight - 1);
            const long r2 = long(dx) * dx + long(dy) * dy;
            const long max = long(kWidth) * kWidth + long(kHeight) * kHeight;
            image[size_t(y) * kWidth + size_t(x)] = uint8_t(255 - 24 * r2 / max);
        }
    return image;
}
constexpr std::array<uint8_t, kBackgroundBytes> kFinchBackground = MakeBackground();

const ZarnSingleFingerModel::Def& FinchSpec();

}  // namespace

const uint8_t* FindLibraryResource(const char* type, int id, size_t* size) {
    if (type != nullptr && std::strcmp(type, "RAW") == 0 && id == 106) {
        if (size) *size = kFinchBackground.size();
        return kFinchBackground.data();
    }
    if (size) *size = 0;
    return nullptr;
}

ZarnScannerFinch::~ZarnScannerFinch() { delete[] background_; }

int ZarnScannerFinch::RotateImage(uint8_t* image, int w, int h) {
    const size_t n = size_t(w) * size_t(h);
    uint8_t* copy = new (std::nothrow) uint8_t[n];
    if (copy == nullptr) return ZARN_ERR_BAD_ARGUMENT;
    std::memcpy(copy, image, n);
    // The image becomes h wide and w high.
    for (int r = 0; r < w; ++r)
        for (int c = 0; c < h; ++c) image[size_t(r) * size_t(h) + size_t(c)] = copy[size_t(h - 1 - c) * size_t(w) + size_t(r)];
    delete[] copy;
    return 0;
}

int ZarnScannerFinch::FilterStream(uint8_t* buffer, long* length) {
    if (*length < long(m_FullFrame.bytes)) return ZARN_ERR_BAD_ARGUMENT;
    // A frame without its sync bytes passes unchanged.
    if (!sensorframes::HasSyncBytes(buffer)) return 0;
    uint8_t* image = reduced_.data();
    int w = 0, h = 0;
    int result = MM_FinchReduce(buffer, m_FullFrame.height, m_FullFrame.width, 2, 2, &image, &w, &h);
    if (result == 0 && (w == 0 || h == 0)) {
        // The layer's reduction step is empty: the centred window that covers the result at its
        // resolution, brought to the result size.
        sensorframes::CutWindow(buffer, m_FullFrame.width, kWindowTop, kWindowTop + kWindowHeight - 1, kWindowLeft,
                              kWindowLeft + kWindowWidth - 1, sensorframes::WindowTurn::None);
        w = m_FlatResult.width, h = m_FlatResult.height;
        image = reduced_.data();
        result = ResizeBilinear(buffer, kWindowHeight, kWindowWidth, image, h, w);
    }
    if (result == 0) {
        int outW = m_FlatResult.width, outH = m_FlatResult.height;
        result = ScaleToResult(image, w, h, buffer, &outW, &outH);
    }
    *length = long(m_FullImage.width) * m_FullImage.height;
    return result;
}

int ZarnScannerFinch::ScaleToResult(const uint8_t* in, int inWidth, int inHeight, uint8_t* out, int* outWidth,
                                    int* outHeight) {
    uint8_t* image = const_cast<uint8_t*>(in);
    int w = inWidth, h = inHeight;
    const int result = MM_FinchResolution(&image, &w, &h, out, *outHeight, *outWidth, 404, 300, kWidth, kHeight);
    if (result != 0) return result;
    // The reduced image is at the result's resolution already: it becomes the result as it is.
    if (image != out && w == kWidth && h == kHeight) std::memcpy(out, image, kBackgroundBytes);
    if (background_ != nullptr) MM_FinchBackground(background_, out, kWidth, kHeight);
    // The sensor gives a negative image.
    for (size_t i = 0; i < kBackgroundBytes; ++i) out[i] = uint8_t(255 - out[i]);
    *outWidth = kWidth, *outHeight = kHeight;
    return result;
}

int ZarnScannerFinch::SetCalibration(int mode) {
    ZarnTrace().Log(3, "Enter ZarnScannerFinch::SetCalibration(%d)", mode);
    SetVideoProp(11, 0);
    SetVideoProp(kPropContrast, 224);
    if (background_ == nullptr) {
        background_ = new (std::nothrow) uint8_t[size_t(m_FlatResult.bytes)];
        if (background_ == nullptr) {
            ZarnTrace().Log(0, "Exit  ZarnScannerFinch::SetCalibration()=%d", int(ZARN_ERR_MEM_ALLOC));
            return ZARN_ERR_MEM_ALLOC;
        }
        std::memset(background_, 255, size_t(m_FlatResult.bytes));
    }
    m_nCalibrating = 1;
    // The background the library carries; without it the background keeps what it holds.
    size_t size = 0;
    const uint8_t* resource = FindLibraryResource("RAW", 106, &size);
    if (resource != nullptr && size >= kBackgroundBytes) std::memcpy(background_, resource, kBackgroundBytes);
    for (int i = 0; i < 3; ++i) {
        const int result = RefreshFrameEnhance();
        if (result != 0) {
            m_nStreamRunning = 0;
            m_nCalibrating = 0;
            ZarnTrace().Log(0, "Exit  ZarnScannerFinch::SetCalibration()=%d", result);
            return result;
        }
    }
    std::memcpy(m_pFullBackground, m_pSavedRaw, size_t(m_FullImage.bytes));
    std::memcpy(m_pPreviewBackground, m_pSavedRaw, size_t(m_FullImage.bytes));
    std::memcpy(m_pPreviewBackgroundHeld, m_pPreviewBackground, size_t(m_PreviewImage.bytes));
    m_nStreamRunning = 0;
    EndCalibration(0);
    ZarnTrace().Log(3, "Exit  ZarnScannerFinch::SetCalibration()=%d", 0);
    return 0;
}

int ZarnScannerFinch::FlatResultOutput() {
    ZarnTrace().Log(3, "Enter ZarnScannerFinch::FlatResultOutput()");
    const int w = m_FullImage.width, h = m_FullImage.height;
    uint8_t* work = nullptr;
    if (SafeNewUcharArray(&work, long(m_FullImage.bytes), "FlatResultOutput") != 0) {
        ZarnTrace().Log(0, "Exit  ZarnScannerFinch::FlatResultOutput()=%d", int(ZARN_ERR_MEM_ALLOC));
        return ZARN_ERR_MEM_ALLOC;
    }
    std::memcpy(work, m_pSavedRaw, size_t(m_FullImage.bytes));
    ZarnTrace().SaveDebugBitmap(3, 0, "FlatResultOutput()_Background", m_pFullBackground, w, h);
    ZarnTrace().SaveDebugBitmap(3, 0, "FlatResultOutput()_Src", work, w, h);
    MM_CalibrateBackgroundSimple(2, h, w, m_pFullBackground, work);
    MM_PhotoShopCalibrateForeground(h, w, work, m_nStretchPercent);
    ZarnTrace().SaveDebugBitmap(3, 0, "FlatResultOutput()_Background_A", m_pFullBackground, w, h);
    ZarnTrace().SaveDebugBitmap(3, 0, "FlatResultOutput()_Src_A", work, w, h);
    uint8_t* output = m_pFlatOutput;
    int outW = m_FlatResult.width, outH = m_FlatResult.height;
    const int result = MM_FinchWarp(work, m_FlatResult.height, m_FlatResult.width, 0.999, 0.999, &output, &outW, &outH);
    if (result == 0) {
        // The layer's warp step is empty; its scale of 0.999 moves no pixel by more than half a
        // pixel over the image, so the corrected image is taken as the result.
        if (output == m_pFlatOutput) std::memcpy(output, work, size_t(outW) * size_t(outH));
        MakeImageData(0);
        std::memcpy(ImageInfo.image, output, size_t(outW) * size_t(outH));
        ZarnTrace().SaveDebugBitmap(1, 0, "Flat", ImageInfo.image, outW, outH);
    }
    SafeDeleteArray(&work);
    ImageUpToDown(ImageInfo.image, ImageInfo.width, ImageInfo.height);
    ZarnTrace().Log(result == 0 ? 3 : 0, "Exit  ZarnScannerFinch::FlatResultOutput()=%d", result);
    return result;
}

namespace {
const ZarnSingleFingerModel::Def& FinchSpec() {
    static const ZarnSingleFingerModel::Def def{
        "ZarnScannerFinch", 304, "Tessik Finch", "pid_2141", "Finch",
        {1600, 1200, 800, 750}, {288, 352, 250, 250}, {288, 352, 250, 250},
        true, {1600, 1200, 800, 750}, {800, 600, 250, 250}, {288, 352, 250, 250},
        {288, 352, 250, 250}, {288, 352, 250, 250},
        {0, 2, 255}, {0, 224, 255}, 240, {1, 10, 11}, 60, 2, 3, -1,
        DistortionSet{{700, 836, 752, 0, 480, 320}}, DistortionSet{{700, 836, 752, 0, 480, 320}}, DistortionSet{},
        true, 0, 0, 0, 0, sensorframes::WindowTurn::None, false, true, 500, true};
    return def;
}
}  // namespace

ZarnScannerFinch::ZarnScannerFinch() : ZarnSingleFingerModel(FinchSpec()), reduced_(kBackgroundBytes) {}
