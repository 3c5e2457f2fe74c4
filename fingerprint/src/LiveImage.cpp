// The live grading of flat preview frames (image-processing thread).
#include "LiveImage.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zarn/ZarnEssentialsApi.h"
#include "zarn/ZarnTraceLogger.h"

#include "SlapSegmentation.h"
#include "ZarnScannerBase.h"

namespace {

// Library-wide: the stillness count and the fingers of the previous good frame.
int g_nNoMove = 0;
FingerInfo g_previous[4] = {};

// The segmentation's finger position for an image type.
int FingerPosition(int imageType) {
    if (IsSingleFlatImageType(imageType) || IsThumbsImageType(imageType)) return kSlapTwoThumbs;
    if (imageType == 2) return kSlapRightHand;
    if (imageType == 3) return kSlapLeftHand;
    return -1;
}

int Fail(ZarnScannerBase& s, int error) {
    int quality[4] = {};
    if (auto callback = s.m_pfnObjectQuality.load()) callback(s.m_pCallbackContext.load(), 2, quality, error);
    ZarnTrace().Log(3, "Exit  I_ProcLiveImage()=%d", error);
    return error;
}

}  // namespace

void I_ResetLiveImage() {
    g_nNoMove = 0;
    std::memset(g_previous, 0, sizeof g_previous);
}

int I_ProcLiveImage(ZarnScannerBase& s) {
    ZarnTrace().LogText(3, "Enter I_ProcLiveImage()");
    uint8_t leds[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    int quality[4] = {};
    const int expected = s.m_nFingerCount.load();
    if (expected < 1 || expected > 4) {
        ZarnTrace().Log(3, "I_ProcLiveImage(): nFinNum = %d", expected);
        return Fail(s, ZARN_ERR_BAD_ARGUMENT);
    }
    const ZarnImageInfo& image = s.ImageInfo;
    const auto& area = s.m_AutoCapArea;
    int width = image.width, height = image.height, top = 0, left = 0;
    if (area.enable) {
        if (area.x + area.width > image.width || area.y + area.height > image.height)
            return Fail(s, ZARN_ERR_LIVE_SEGMENTATION);
        // The frame is stored bottom-up; y counts from the top of the displayed image.
        width = area.width, height = area.height;
        top = image.height - area.y - area.height, left = area.x;
    }
    // The working copy of this thread, grown once to the largest frame.
    thread_local std::vector<uint8_t> work;
    work.resize(size_t(width) * size_t(height));
    for (int r = 0; r < height; ++r)
        std::memcpy(work.data() + size_t(r) * width, image.image + size_t(top + r) * image.width + left, size_t(width));

    const int type = s.m_nImageType.load();
    const int mask = s.m_nFingerMask.load() != 0 ? s.m_nFingerMask.load() : (1 << expected) - 1;
    const auto& ac = s.m_AutoCapture;
    // The smallest good finger is a share of the whole image, also when an auto-capture area is
    // graded: a smaller area does not make a smaller finger good.
    const int areaThreshold = int(double(image.width) * ac.c * double(image.height) / 100.0);
    ImageUpToDown(work.data(), width, height);
    FingerInfo fingers[4] = {};
    SegmentParams status{};
    status.Stage = 3;
    status.DarkThreshold = 180;
    char text[256] = {};
    const int found = FlatSegmentLite(work.data(), height, width, ac.a, FingerPosition(type), mask, fingers, &status,
                                      text, sizeof text);
    if (found < 0) {
        g_nNoMove = 0;
        return Fail(s, found);
    }
    int good = 0;
    for (int k = 0; k < 4; ++k) {
        const FingerInfo& f = fingers[k];
        if (f.X < 1 || f.Y < 1 || f.Measure < 1 || f.Qty < 1 || f.Height < 1 || f.Width < 1) {
            ZarnTrace().Log(3,
                            "bad params: tFingerInfo[%d].Qty = %d, bad params: tFingerInfo[%d].Height = %d, bad params: "
                            "tFingerInfo[%d].Width = %d ",
                            k, f.Qty, k, f.Height, k, f.Width);
            continue;
        }
        ZarnTrace().Log(3,
                        "OK params: tFingerInfo[%d].Qty = %d, OK params: tFingerInfo[%d].Height = %d, OK params: "
                        "tFingerInfo[%d].Width = %d ",
                        k, f.Qty, k, f.Height, k, f.Width);
        const int edge = int(std::sqrt(double(f.Width / 4)));
        if (f.Y < edge) {
            quality[k] = 6;  // too close to the left edge
        } else if (width - f.Y < edge) {
            quality[k] = 7;  // too close to the right edge
        } else if (f.Height < 70) {
            quality[k] = 3;
        } else if (f.Height > 210) {
            quality[k] = 2;
        } else if (f.Height < ac.b && f.Width > areaThreshold && f.Qty >= ac.d) {
            quality[k] = 1;
            leds[2 * k] = 0, leds[2 * k + 1] = 1;
            ++good;
        } else {
            quality[k] = 5;
            leds[2 * k] = 1, leds[2 * k + 1] = 0;
        }
    }
    const int state = found < expected ? 2 : (found > expected || status.Stage == 1) ? 1 : 0;
    if (auto callback = s.m_pfnObjectQuality.load()) callback(s.m_pCallbackContext.load(), state, quality, found);
    Zarn_Controls_SetStateLEDs(type, leds);
    if (!(found == expected && status.Stage != 1 && good == expected)) {
        ZarnTrace().Log(3, "nNoMove = %d", g_nNoMove);
        return found;
    }
    if (g_nNoMove == 0) {
        g_nNoMove = 1;
    } else {
        bool still = true;
        for (int k = 0; k < 4 && still; ++k) {
            const FingerInfo &now = fingers[k], &was = g_previous[k];
            still = std::abs(now.Y - was.Y) < ac.f && std::abs(now.X - was.X) < ac.g &&
                    std::abs(now.Height - was.Height) < ac.h && std::abs(now.Width - was.Width) < 4 * ac.i;
        }
        g_nNoMove = still ? g_nNoMove + 1 : 0;
    }
    std::memcpy(g_previous, fingers, sizeof g_previous);
    if (g_nNoMove >= ac.e) {
        if (s.m_hAutoCaptureEvent) s.m_hAutoCaptureEvent->Set();
        I_ResetLiveImage();
    }
    ZarnTrace().Log(3, "nNoMove = %d", g_nNoMove);
    ZarnTrace().Log(3, "Exit  I_ProcLiveImage()=%d", found);
    return found;
}
