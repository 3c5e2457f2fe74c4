// The capture library's eye-region detector: the frame reduced to the working width, scanned at
// every usable scale with the eye cascade, hits grouped, the largest group mapped back.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "iris/EyeCascade.h"
#include "iris/EyeCascadeMessage.h"
#include "irisalg/IrisAlg.h"

namespace irisfe {

namespace {

// Bilinear reduction in 16.16 with one step for both axes; the source position of destination
// (x, y) is origin + (x, y) x step. A position on or past the last row (column) reads the pair
// ending at the last row (column) with full weight on it.
void ResizeCore(const uint8_t* src, int32_t srcWidth, int32_t srcHeight, int64_t x0, int64_t y0, int64_t step,
                uint8_t* dst, int32_t dstWidth, int32_t dstHeight) {
    for (int32_t y = dstHeight - 1; y >= 0; --y) {
        const int64_t sy = y0 + y * step;
        int64_t row = sy >> 16, wy = sy & 0xFFFF;
        if (row >= srcHeight - 1) {
            row = srcHeight - 2;
            wy = 65536;
        }
        const uint8_t* r0 = src + row * srcWidth;
        const uint8_t* r1 = r0 + srcWidth;
        for (int32_t x = dstWidth - 1; x >= 0; --x) {
            const int64_t sx = x0 + x * step;
            int64_t col = sx >> 16, wx = sx & 0xFFFF;
            if (col >= srcWidth - 1) {
                col = srcWidth - 2;
                wx = 65536;
            }
            const int64_t top = (int64_t(r0[col]) << 16) + (int64_t(r0[col + 1]) - r0[col]) * wx;
            const int64_t bottom = (int64_t(r1[col]) << 16) + (int64_t(r1[col + 1]) - r1[col]) * wx;
            const int64_t v = (top << 16) + (bottom - top) * wy;
            dst[size_t(y) * size_t(dstWidth) + size_t(x)] = uint8_t(v >> 32);
        }
    }
}

}  // namespace

int32_t IRIS_OTA_ResizeImg(const uint8_t* src, int32_t srcWidth, int32_t srcHeight, uint8_t* dst,
                           int32_t dstWidth, int32_t dstHeight, char* errtext) {
    if (dstWidth < 1 || dstHeight < 1) {
        OtaMessage(errtext, "IRIS_OTA_ResizeImg: Size of target image is zero.");
        return irisalg::kBadArgument;
    }
    const int32_t step = int32_t((int64_t(srcWidth) << 16) / dstWidth);
    ResizeCore(src, srcWidth, srcHeight, 0, 0, step, dst, dstWidth, dstHeight);
    return step;
}

int32_t IRIS_OTA_ResizeROI(const uint8_t* src, int32_t srcWidth, int32_t srcHeight, const int32_t roi[4],
                           uint8_t* dst, int32_t dstWidth, int32_t dstHeight, char* errtext) {
    if (dstWidth < 1 || dstHeight < 1 || roi[2] < 1 || roi[3] < 1) {
        OtaMessage(errtext, "IRIS_OTA_ResizeROI: Size of target image is zero.");
        return irisalg::kBadArgument;
    }
    const int32_t step = int32_t((int64_t(roi[2]) << 16) / dstWidth);
    ResizeCore(src, srcWidth, srcHeight, int64_t(roi[0]) << 16, int64_t(roi[1]) << 16, step, dst, dstWidth,
               dstHeight);
    return step;
}

int32_t IRIS_OTA_PrepareImage(const uint8_t* image, int32_t width, int32_t height, int32_t target,
                              const IrisOtaCascade* cascade, IRIS_OTA_DetImgInfo* info, char* errtext) {
    const bool reduce = width > target;
    const int32_t w = reduce ? target : width;
    const int32_t h = reduce ? int32_t(int64_t(height) * target / width) : height;
    if (w < 1 || h < 1) {
        OtaMessage(errtext, "IRIS_OTA_ResizeImg: Size of target image is zero.");
        return irisalg::kBadArgument;
    }
    if (!info->block || info->width != w || info->height != h || info->cascadeId != cascade->id ||
        info->cascade != cascade) {
        const int32_t rc = IRIS_OTA_Initial_DetImgInfo(cascade, w, h, info, errtext);
        if (rc != 0) return rc;
    }
    if (!reduce) {
        std::memcpy(info->image, image, size_t(w) * size_t(h));
        return 65536;
    }
    return IRIS_OTA_ResizeImg(image, width, height, info->image, w, h, errtext);
}

int32_t IRIS_OTA_InitialRectChain(IRIS_OTA_RectChain* chain, char* errtext) {
    chain->count = 0;
    chain->capacity = 0;
    chain->rects = static_cast<IRIS_OTA_Rect*>(std::calloc(128, sizeof(IRIS_OTA_Rect)));
    if (!chain->rects) {
        OtaMessage(errtext, "IRIS_OTA_InitialRectChain: Can not allocate memory.");
        return irisalg::kNoMemory;
    }
    chain->capacity = 128;
    return 0;
}

int32_t IRIS_OTA_AddRect(IRIS_OTA_RectChain* chain, const IRIS_OTA_Rect& rect) {
    if (chain->count >= chain->capacity) {
        const int32_t capacity = chain->capacity + 128;
        auto* grown = static_cast<IRIS_OTA_Rect*>(std::calloc(size_t(capacity), sizeof(IRIS_OTA_Rect)));
        if (!grown) return irisalg::kNoMemory;
        if (chain->count) std::memcpy(grown, chain->rects, size_t(chain->count) * sizeof(IRIS_OTA_Rect));
        std::free(chain->rects);
        chain->rects = grown;
        chain->capacity = capacity;
    }
    chain->rects[chain->count++] = rect;
    return 0;
}

void IRIS_OTA_FreeRectChain(IRIS_OTA_RectChain* chain) {
    if (!chain) return;
    std::free(chain->rects);
    chain->rects = nullptr;
    chain->count = 0;
    chain->capacity = 0;
}

namespace {

int32_t Root(const IRIS_OTA_Rect* r, int32_t i) {
    while (r[i].parent >= 0) i = r[i].parent;
    return i;
}

}  // namespace

void IRIS_OTA_GroupRects(IRIS_OTA_RectChain* chain, int32_t minGroup) {
    IRIS_OTA_Rect* r = chain->rects;
    const int32_t n = chain->count;
    // Union of alike rectangles; a link always points at a lower index.
    for (int32_t i = 0; i < n; ++i) {
        int32_t ri = Root(r, i);
        for (int32_t j = i + 1; j < n; ++j) {
            const int32_t t = r[i].width / 4;
            if (std::abs(r[i].x - r[j].x) >= t || std::abs(r[i].y - r[j].y) >= t ||
                std::abs(r[i].width - r[j].width) >= t)
                continue;
            const int32_t rj = Root(r, j);
            if (ri < rj) {
                if (rj != j) r[rj].parent = ri;
                r[j].parent = ri;
            } else if (ri > rj) {
                if (ri != i) r[ri].parent = rj;
                r[i].parent = rj;
                ri = rj;
            }
        }
    }
    // Members add into their root.
    for (int32_t k = 0; k < n; ++k) {
        if (r[k].parent < 0) continue;
        const int32_t root = Root(r, k);
        if (k == root) continue;
        r[k].count = 0;
        r[root].x += r[k].x;
        r[root].y += r[k].y;
        r[root].width += r[k].width;
        r[root].height += r[k].height;
        r[root].count += 1;
    }
    const int32_t keep = std::max(minGroup, 0);
    int32_t kept = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (r[k].count < keep || r[k].count == 0) continue;
        IRIS_OTA_Rect g = r[k];
        const int32_t c = g.count;
        g.x = (2 * g.x + c) / (2 * c);
        g.y = (2 * g.y + c) / (2 * c);
        g.width = (2 * g.width + c) / (2 * c);
        g.height = (2 * g.height + c) / (2 * c);
        r[kept++] = g;
    }
    chain->count = kept;
}

int32_t IRIS_OTA_ScanAndGroup(const IrisOtaCascade* cascade, IRIS_OTA_DetImgInfo* info, const int32_t* minGroup,
                              IRIS_OTA_RectChain* chain) {
    IRIS_OTA_IntegralImages(info);
    const int32_t stride = info->width + 1;
    for (int32_t i = info->firstScale; i < kOtaScales; ++i) {
        const int32_t f = cascade->factor[i];
        const int32_t w = (cascade->width * f + 512) >> 10, h = (cascade->height * f + 512) >> 10;
        const int32_t dx = w / 10, dy = h / 10;
        if (info->width - w < 1 || info->height - h < 1) continue;
        IRIS_OTA_SetScale(cascade, info, i);
        for (int32_t y = 0; y < info->height - h; y += dy) {
            for (int32_t x = 0; x < info->width - w; x += dx) {
                int32_t margin = 0;
                if (IRIS_OTA_EvalCascade(cascade, info, i, y * stride + x, &margin) > 0)
                    IRIS_OTA_AddRect(chain, IRIS_OTA_Rect{x, y, w, h, 1, -1});  // a lost hit only weakens a group
            }
        }
    }
    IRIS_OTA_GroupRects(chain, minGroup ? *minGroup : 1);
    return 0;
}

int32_t IRIS_OTA_Detect(const IrisOtaCascade* cascade, IRIS_OTA_DetImgInfo* info, const uint8_t* image,
                        int32_t width, int32_t height, int32_t bits, int32_t target, int32_t minGroup,
                        int32_t result[4], int32_t /*reserved*/, char* errtext) {
    if (!cascade || !info || !image || !result) {
        OtaMessage(errtext, "Input parameter error: NULL point.");
        return irisalg::kBadArgument;
    }
    if (width < cascade->width || height < cascade->height || bits != 8) {
        OtaMessage(errtext, "Input parameter error: small image size or error color-bit");
        return irisalg::kBadArgument;
    }
    std::fill(result, result + 4, 0);
    const int32_t working = target > 1 ? 32 * target : 160;
    const int32_t factor = IRIS_OTA_PrepareImage(image, width, height, working, cascade, info, errtext);
    if (factor < 0) return factor;
    IRIS_OTA_RectChain chain{};
    if (const int32_t rc = IRIS_OTA_InitialRectChain(&chain, errtext); rc != 0) return rc;
    const int32_t g = std::max(1, minGroup);
    IRIS_OTA_ScanAndGroup(cascade, info, &g, &chain);
    int32_t best = -1, bestCount = 0;
    for (int32_t k = 0; k < chain.count; ++k) {
        if (chain.rects[k].count > bestCount) {
            bestCount = chain.rects[k].count;
            best = k;
        }
    }
    int32_t rc = 1;
    if (best >= 0) {
        const IRIS_OTA_Rect& b = chain.rects[best];
        const int32_t v[4] = {b.x, b.y, b.width, b.height};
        for (int k = 0; k < 4; ++k) result[k] = factor == 65536 ? v[k] : int32_t((int64_t(v[k]) * factor) >> 16);
        rc = 0;
    }
    IRIS_OTA_FreeRectChain(&chain);
    return rc;
}

}  // namespace irisfe
