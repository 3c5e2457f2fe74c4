// ZarnScannerBase: the result images of rolled and flat captures, the LED and beeper commands and
// the finger-count check of a capture start.
#include <bit>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "zarn/ZarnTraceLogger.h"

#include "ZarnScannerBase.h"

namespace {

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

int ZarnScannerBase::RollingResultOutput() {
    ZarnTrace().LogText(3, "Enter ZarnScannerBase::RollingResultOutput()");
    uint8_t* work = nullptr;
    int result = ResultWorkImage(&work, m_RollImage.bytes, "pRollImage");
    if (result == 0) {
        const int w = m_RollImage.width, h = m_RollImage.height;
        std::memcpy(work, m_pLastRoll, size_t(m_RollImage.bytes));
        ImageUpToDown(work, w, h);
        MM_PhotoShopCalibrateForeground(h, w, work, m_nStretchPercent);
        if (m_nResultTransform == 0)
            result = ImgTrapezoidConvert(work, h, w, m_pFlatOutput, m_RollOutput.height, m_RollOutput.width, 0, 2);
        else if (m_nResultTransform == 1)
            result = ResizeBilinear(work, h, w, m_pFlatOutput, m_RollOutput.height, m_RollOutput.width);
        else
            result = ZARN_ERR_NOT_SUPPORTED;
        if (result == 0) {
            MakeImageData(0);
            std::memcpy(ImageInfo.image, m_pFlatOutput, size_t(m_RollOutput.width) * size_t(m_RollOutput.height));
            ZarnTrace().SaveDebugBitmap(1, 0, "Roll", ImageInfo.image, ImageInfo.width, -ImageInfo.height);
        }
    }
    ZarnTrace().Log(result == 0 ? 3 : 0, "Exit  ZarnScannerBase::RollingResultOutput()=%d", result);
    return result;
}

int ZarnScannerBase::FlatResultOutput() {
    ZarnTrace().LogText(3, "Enter ZarnScannerBase::FlatResultOutput()");
    uint8_t* work = nullptr;
    int result = ResultWorkImage(&work, m_FullImage.bytes, "pFlatImage");
    if (result == 0) {
        const int w = m_FullImage.width, h = m_FullImage.height;
        std::memcpy(work, m_pSavedRaw, size_t(m_FullImage.bytes));
        ZarnTrace().SaveDebugBitmap(3, 0, "FlatResultOutput()_Background", m_pFullBackground, w, h);
        ZarnTrace().SaveDebugBitmap(3, 0, "FlatResultOutput()_Src", work, w, h);
        MM_CalibrateBackgroundSimple(2, h, w, m_pFullBackground, work);
        MM_PhotoShopCalibrateForeground(h, w, work, m_nStretchPercent);
        ZarnTrace().SaveDebugBitmap(3, 0, "FlatResultOutput()_Background_A", m_pFullBackground, w, h);
        ZarnTrace().SaveDebugBitmap(3, 0, "FlatResultOutput()_Src_A", work, w, h);
        int ow = m_FlatResult.width, oh = m_FlatResult.height;
        switch (m_nResultTransform) {
            case 0:
                result = ImgTrapezoidConvert(work, h, w, m_pFlatOutput, oh, ow, 0, 1);
                break;
            case 1:
                result = ResizeBilinear(work, h, w, m_pFlatOutput, oh, ow);
                break;
            case 2:
                std::memcpy(m_pFlatOutput, work, size_t(ow) * size_t(oh));
                break;
            default:
                result = ZARN_ERR_NOT_SUPPORTED;
        }
        if (result == 0 && m_nCropFlag == 1 && IsSingleFlatImageType(m_nImageType.load())) {
            CropLowerCentre(m_pFlatOutput, ow, oh, work, &ow, &oh);
            std::memcpy(m_pFlatOutput, work, size_t(ow) * size_t(oh));
        }
        if (result == 0) {
            MakeImageData(0);
            std::memcpy(ImageInfo.image, m_pFlatOutput, size_t(ImageInfo.width) * size_t(ImageInfo.height));
            ZarnTrace().SaveDebugBitmap(1, 0, "Flat", ImageInfo.image, ImageInfo.width, ImageInfo.height);
        }
    }
    // Delivered bottom row first, also when the transform failed.
    if (ImageInfo.image != nullptr) ImageUpToDown(ImageInfo.image, ImageInfo.width, ImageInfo.height);
    ZarnTrace().Log(result == 0 ? 3 : 0, "Exit  ZarnScannerBase::FlatResultOutput()=%d", result);
    return result;
}

int ZarnScannerBase::SetActiveLEDs(int group, int mask) {
    ZarnTrace().Log(4, "Enter ZarnScannerBase::SetActiveLEDs(%d, %d)", group, mask);
    int result = 0;
    if (m_Running.initialised.load() == 0) {
        result = ZARN_ERR_NOT_INITIALIZED;
    } else if (mask < 0 || mask > 255 || group < 0 || group > 1) {
        result = ZARN_ERR_BAD_ARGUMENT;
    } else if (SetVideoProp(group == 0 ? kPropLedGroup0 : kPropLedGroup1, mask) == 1) {
        m_nLedValue[group] = mask;
    } else {
        // The camera refused the write (or the model has no such LEDs): reported, not hidden.
        result = ZARN_ERR_CAMERA_STEP;
    }
    ZarnTrace().Log(result == 0 ? 4 : 0, "Exit  ZarnScannerBase::SetActiveLEDs()=%d", result);
    return result;
}

int ZarnScannerBase::ShutoffAllLight() {
    ZarnTrace().LogText(4, "Enter ZarnScannerBase::ShutoffAllLight()");
    // Finch lights its LEDs active-high; every other model active-low.
    const int off = m_nScannerType == 304 ? 0 : 255;
    SetActiveLEDs(0, off);
    SetActiveLEDs(1, off);
    ZarnTrace().LogText(4, "Exit  ZarnScannerBase::ShutoffAllLight()");
    return 0;
}

int ZarnScannerBase::SetBeepValue(int count, int milliseconds) {
    const int type = m_nScannerType;
    ZarnTrace().Log(4, "Enter ZarnScannerBase::SetBeepValue(%d, %d) : %d", count, milliseconds, type);
    int result = 0;
    bool beep = false;
    if (type == 503 || type == 602) {
        beep = false;  // these models beep through their own pattern property
    } else if (type == 601) {
        beep = std::strncmp(m_DeviceInfo.firmware, "1112", sizeof m_DeviceInfo.firmware) <= 0;
    } else if (type == 501 || type == 502 || type == 402) {
        beep = true;
    } else {
        result = ZARN_ERR_NOT_SUPPORTED;
    }
    if (beep) {
        for (int i = 0; i < count; ++i) {
            SetVideoProp(kPropBeeper, 1);
            SleepMs(milliseconds);
            SetVideoProp(kPropBeeper, 0);
            if (count > 1) SleepMs(milliseconds);
        }
        SetVideoProp(kPropBeeper, 0);
    }
    ZarnTrace().Log(4, "Exit  ZarnScannerBase::SetBeepValue()=%d", result);
    return result;
}

int ZarnScannerBase::CheckFingerCount(int imageType, int fingerCount) const {
    bool fits;
    if (IsRollImageType(imageType) || IsSingleFlatImageType(imageType))
        fits = fingerCount == 1;
    else if (IsThumbsImageType(imageType))
        fits = fingerCount == 1 || fingerCount == 2;
    else if (IsSlapImageType(imageType))
        fits = fingerCount >= 1 && fingerCount <= 4;
    else
        fits = true;
    const unsigned mask = unsigned(m_nFingerMask.load()) & 0xF;
    if (fits && mask != 0) fits = std::popcount(mask) == fingerCount;
    return fits ? 1 : 0;
}
