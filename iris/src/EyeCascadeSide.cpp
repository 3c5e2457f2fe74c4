// The capture library's side-landmark search: the landmarks left and right of a known iris circle,
// found with the side-landmark cascade in bands beside the iris (the right band mirrored), and the
// centring score of the iris between them.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "iris/EyeCascade.h"
#include "iris/EyeCascadeMessage.h"
#include "irisalg/IrisAlg.h"

namespace irisfe {

void IRIS_OTA_PadImage(const uint8_t* image, int32_t width, int32_t height, uint8_t* padded) {
    const int32_t pw = width + 2 * kSidePad;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* src = image + size_t(y) * size_t(width);
        uint8_t* row = padded + (size_t(y) + kSidePad) * size_t(pw);
        std::memset(row, src[0], kSidePad);
        std::memcpy(row + kSidePad, src, size_t(width));
        std::memset(row + kSidePad + width, src[width - 1], kSidePad);
    }
    const uint8_t* first = padded + size_t(kSidePad) * size_t(pw);
    const uint8_t* last = padded + (size_t(kSidePad) + size_t(height) - 1) * size_t(pw);
    for (int32_t y = 0; y < kSidePad; ++y) {
        std::memcpy(padded + size_t(y) * size_t(pw), first, size_t(pw));
        std::memcpy(padded + (size_t(kSidePad) + size_t(height) + size_t(y)) * size_t(pw), last, size_t(pw));
    }
}

void IRIS_OTA_MirrorRows(uint8_t* image, int32_t width, int32_t height) {
    for (int32_t y = 0; y < height; ++y) std::reverse(image + size_t(y) * size_t(width), image + size_t(y + 1) * size_t(width));
}

int32_t IRIS_OTA_DetectInROI(const uint8_t* padded, int32_t paddedWidth, int32_t paddedHeight, const int32_t roi[4],
                             IRIS_OTA_RectChain* chain, const IrisOtaCascade* cascade, IRIS_OTA_DetImgInfo* info,
                             int32_t target, bool mirror, char* errtext, int32_t* x, int32_t* y, int32_t* count) {
    if (roi[2] < cascade->width || roi[3] < cascade->height) return 1;
    const bool reduce = roi[2] > target;
    const int32_t w = reduce ? target : roi[2];
    const int32_t h = reduce ? int32_t(int64_t(roi[3]) * target / roi[2]) : roi[3];
    if (w < 1 || h < 1) {
        OtaMessage(errtext, "IRIS_OTA_ResizeROI: Size of target image is zero.");
        return irisalg::kBadArgument;
    }
    if (!info->block || info->width != w || info->height != h || info->cascadeId != cascade->id ||
        info->cascade != cascade) {
        if (const int32_t rc = IRIS_OTA_Initial_DetImgInfo(cascade, w, h, info, errtext); rc != 0) return rc;
    }
    int32_t step = 65536;
    if (reduce) {
        step = IRIS_OTA_ResizeROI(padded, paddedWidth, paddedHeight, roi, info->image, w, h, errtext);
        if (step < 0) return step;
    } else {
        for (int32_t r = 0; r < h; ++r)
            std::memcpy(info->image + size_t(r) * size_t(w),
                        padded + (size_t(roi[1]) + size_t(r)) * size_t(paddedWidth) + size_t(roi[0]), size_t(w));
    }
    if (mirror) IRIS_OTA_MirrorRows(info->image, w, h);
    if (chain->count) std::memset(chain->rects, 0, size_t(chain->count) * sizeof(IRIS_OTA_Rect));
    chain->count = 0;
    const int32_t minGroup = 3;
    IRIS_OTA_ScanAndGroup(cascade, info, &minGroup, chain);
    int32_t best = -1, bestCount = 0;
    for (int32_t k = 0; k < chain->count; ++k) {
        if (chain->rects[k].count > bestCount) {
            bestCount = chain->rects[k].count;
            best = k;
        }
    }
    if (best < 0) return 1;
    IRIS_OTA_Rect b = chain->rects[best];
    if (mirror) b.x = w - b.x - 1;
    if (step == 65536) {
        b.x += roi[0];
        b.y += roi[1];
    } else {
        b.x = int32_t((int64_t(b.x) * step) >> 16) + roi[0];
        b.y = int32_t((int64_t(b.y) * step) >> 16) + roi[1];
        b.width = int32_t((int64_t(b.width) * step) >> 16);
        b.height = int32_t((int64_t(b.height) * step) >> 16);
    }
    *count = b.count;
    *y = b.y + b.height / 2;
    *x = mirror ? b.x - b.width / 3 : b.x + b.width / 3;
    return 0;
}

float IRIS_OTA_CentringScore(const int32_t circle[3], IRIS_OTA_SideRecord* rec) {
    const int32_t cx = circle[0], cy = circle[1], r = circle[2];
    const bool left = rec->leftCount > 0, right = rec->rightCount > 0;
    if (!left && !right) return rec->score = -10.0f;
    if (!left) {
        rec->leftX = rec->rightX - (17 * r) / 4;
        rec->leftY = rec->rightY;
        rec->leftCount = 1;
    } else if (!right) {
        rec->rightX = rec->leftX + (17 * r) / 4;
        rec->rightY = rec->leftY;
        rec->rightCount = 1;
    }
    const float fr = float(r);
    float s = std::fabs((float(rec->leftX + rec->rightX) * 0.5f - float(cx)) / fr);
    if (left && right) {
        const float t = (float(cy + r) - float(rec->leftY + rec->rightY) * 0.5f) / fr;
        if (t < 0)
            s = 1.0f;
        else if (t < 0.25f)
            s += 0.25f - t;
    }
    if (s > 1.0f) s = 1.0f;
    return rec->score = 1.0f - s;
}

int32_t IRIS_OTA_SideLandmarks(const IrisOtaCascade* cascade, IRIS_OTA_DetImgInfo* info, const uint8_t* image,
                               int32_t width, int32_t height, int32_t bits, const int32_t circle[3],
                               IRIS_OTA_SideRecord* out, int32_t /*reserved*/, char* errtext) {
    if (!cascade || !info || !image || !circle || !out) {
        OtaMessage(errtext, "Input parameter error: NULL point.");
        return irisalg::kBadArgument;
    }
    if (width < 18 || height < 24 || bits != 8) {
        OtaMessage(errtext, "Input parameter error: small image size or error color-bit");
        return irisalg::kBadArgument;
    }
    *out = IRIS_OTA_SideRecord{};
    const int32_t cx = circle[0], cy = circle[1], r = circle[2];
    if (r < 1) {
        out->score = -20.0f;
        return 0;
    }
    const int32_t pw = width + 2 * kSidePad, ph = height + 2 * kSidePad;
    const int32_t half = r / 2;
    const int64_t x0 = int64_t(cx) + kSidePad - half, x1 = int64_t(cx) + kSidePad + half;
    if (x0 < 0 || x1 >= pw || int64_t(cy) + kSidePad - half < 0 || int64_t(cy) + kSidePad + half >= ph) {
        out->score = -15.0f;
        return 0;
    }
    IRIS_OTA_RectChain chain{};
    if (const int32_t rc = IRIS_OTA_InitialRectChain(&chain, errtext); rc != 0) return rc;
    std::unique_ptr<uint8_t[]> padded(new (std::nothrow) uint8_t[size_t(pw) * size_t(ph)]);
    if (!padded) {
        IRIS_OTA_FreeRectChain(&chain);
        OtaMessage(errtext, "Can not allocate memory for pPadImg.");
        return irisalg::kNoMemory;
    }
    IRIS_OTA_PadImage(image, width, height, padded.get());
    const int32_t top = std::max<int64_t>(0, int64_t(cy) + kSidePad - r);
    const int32_t bandHeight = int32_t(std::min<int64_t>(3 * int64_t(r), ph - top));
    auto targetOf = [r](int32_t regionWidth) { return int32_t(((int64_t(regionWidth) * 18) / r + 7) & ~int64_t(3)); };

    int32_t rc = 0;
    const int32_t left[4] = {0, top, int32_t(x0), bandHeight};
    int32_t found = IRIS_OTA_DetectInROI(padded.get(), pw, ph, left, &chain, cascade, info, targetOf(left[2]), false,
                                         errtext, &out->leftX, &out->leftY, &out->leftCount);
    if (found < 0) rc = found;
    if (rc == 0) {
        const int32_t right[4] = {int32_t(x1), top, int32_t(pw - x1), bandHeight};
        found = IRIS_OTA_DetectInROI(padded.get(), pw, ph, right, &chain, cascade, info, targetOf(right[2]), true,
                                     errtext, &out->rightX, &out->rightY, &out->rightCount);
        if (found < 0) rc = found;
    }
    if (rc == 0) {
        if (out->leftCount > 0) {
            out->leftX -= kSidePad;
            out->leftY -= kSidePad;
        }
        if (out->rightCount > 0) {
            out->rightX -= kSidePad;
            out->rightY -= kSidePad;
        }
        IRIS_OTA_CentringScore(circle, out);
    }
    IRIS_OTA_FreeRectChain(&chain);
    return rc;
}

}  // namespace irisfe
