// The capture library's cascade: loading a stored table, the per-image detection record with its
// integral images and per-scale feature corners, and the evaluation of one window.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "iris/EyeCascade.h"
#include "iris/EyeCascadeMessage.h"
#include "irisalg/EyeCascadeTable.h"
#include "irisalg/IrisAlg.h"

namespace irisfe {

namespace tbl = irisalg::cascade;

void* IRIS_OTA_AlignedAlloc(size_t size) { return irisalg::IrisAlignedAlloc(size, 16); }
void IRIS_OTA_AlignedFree(void* p) { irisalg::IrisAlignedFree(p); }

void IRIS_OTA_FreeCascade(IrisOtaCascade* cascade) {
    if (!cascade) return;
    if (cascade->stage) {
        for (int32_t s = 0; s < cascade->stages; ++s) IRIS_OTA_AlignedFree(cascade->stage[s].block);
        delete[] cascade->stage;
    }
    delete[] cascade->area;
    delete cascade;
}

int32_t IRIS_OTA_LoadCascade(IrisOtaCascade** cascade, const int32_t* table, int32_t scales, char* errtext) {
    if (!cascade || !table) return irisalg::kBadArgument;
    if (*cascade) return 0;
    auto* c = new (std::nothrow) IrisOtaCascade{};
    if (!c) {
        OtaMessage(errtext, "Can not allocate memory for the detector.");
        return irisalg::kNoMemory;
    }
    c->stages = table[1];
    c->scales = scales;
    c->width = table[2];
    c->height = table[3];
    c->id = c->width == 24 && c->height == 20 ? 1 : 2;
    c->area = new (std::nothrow) int32_t[size_t(2 * kOtaScales)];
    c->stage = c->stages > 0 ? new (std::nothrow) IrisOtaStage[size_t(c->stages)]() : nullptr;
    if (!c->area || (c->stages > 0 && !c->stage)) {
        IRIS_OTA_FreeCascade(c);
        OtaMessage(errtext, "Can not allocate memory for the cascade.");
        return irisalg::kNoMemory;
    }
    c->factor = c->area + kOtaScales;
    double f = 1.0;
    for (int i = kOtaScales - 1; i >= 0; --i) {
        c->factor[i] = int32_t(f * 1024);
        c->area[i] = ((c->factor[i] * (c->height - 2) + 512) >> 10) * ((c->factor[i] * (c->width - 2) + 512) >> 10);
        f *= 1.2;
    }
    const int32_t* w = table + 4;
    int32_t allGeometry = 0;
    for (int32_t s = 0; s < c->stages; ++s) {
        IrisOtaStage& st = c->stage[s];
        const int32_t n = w[0];
        std::memcpy(st.count, w + 1, sizeof st.count);
        st.threshold = w[7] - kThresholdOffset;
        int32_t g = 0;
        for (int k = 0; k < tbl::kKinds; ++k) g += tbl::GeometryWords(k) * st.count[k];
        st.geometryWords = g;
        const size_t bytes = (size_t(g) + 50 * size_t(n)) * 4;
        st.block = IRIS_OTA_AlignedAlloc(bytes);
        if (!st.block) {
            IRIS_OTA_FreeCascade(c);
            OtaMessage(errtext, "Can not allocate memory for the stage.");
            *cascade = nullptr;
            return irisalg::kNoMemory;
        }
        std::memset(st.block, 0, bytes);
        auto* lut = static_cast<int32_t*>(st.block);
        int32_t* bounds = lut + 48 * size_t(n);
        auto* geometry = reinterpret_cast<uint32_t*>(bounds + 2 * size_t(n));
        st.lut = lut;
        st.bounds = bounds;
        st.geometry = geometry;
        w += 8;
        for (int k = 0; k < tbl::kKinds; ++k) {
            for (int32_t i = 0; i < st.count[k]; ++i) {
                const int gw = tbl::GeometryWords(k);
                for (int j = 0; j < gw; ++j) *geometry++ = uint32_t(w[j]);
                w += gw;
                std::memcpy(lut, w, 48 * sizeof(int32_t));
                lut += 48;
                w += 48;
                bounds[0] = kBoundOffset - w[0];
                bounds[1] = w[1];
                bounds += 2;
                w += 2;
            }
        }
        allGeometry += g;
    }
    c->pointsPerScale = 4 * allGeometry;
    *cascade = c;
    return 0;
}

void IRIS_OTA_FreeDetImgInfo(IRIS_OTA_DetImgInfo* info) {
    if (!info) return;
    IRIS_OTA_AlignedFree(info->block);
    *info = IRIS_OTA_DetImgInfo{};
}

namespace {

// Variance normalisation of a window: 2^28 / deviation, or 0 when the window is flat.
inline int64_t WindowNorm(const IrisOtaCascade* c, const IRIS_OTA_DetImgInfo* info, int32_t scale, int32_t offset) {
    const uint32_t sum = info->s0[offset] - info->s1[offset] - info->s2[offset] + info->s3[offset];
    const uint64_t sq = info->q0[offset] - info->q1[offset] - info->q2[offset] + info->q3[offset];
    const int64_t var = int64_t(sq) * c->area[scale] - int64_t(sum) * int64_t(sum);
    if (var <= 0) return 0;
    const int64_t sd = int64_t(std::sqrt(double(var)));
    return (int64_t(1) << 28) / sd;
}

}  // namespace

int32_t IRIS_OTA_Initial_DetImgInfo(const IrisOtaCascade* cascade, int32_t width, int32_t height,
                                    IRIS_OTA_DetImgInfo* info, char* errtext) {
    IRIS_OTA_FreeDetImgInfo(info);
    const size_t cells = (size_t(width) + 1) * (size_t(height) + 1);
    const size_t pointBytes = 4 * size_t(kOtaScales) * size_t(cascade->pointsPerScale);
    const size_t bytes = size_t(width) * size_t(height) + pointBytes + 12 * cells;
    info->block = IRIS_OTA_AlignedAlloc(bytes);
    if (!info->block) {
        OtaMessage(errtext, "IRIS_OTA_Initial_DetImgInfo: Can not allocate memory for pMemBuf.");
        return irisalg::kNoMemory;
    }
    std::memset(info->block, 0, bytes);
    auto* base = static_cast<uint8_t*>(info->block);
    info->squares = reinterpret_cast<uint64_t*>(base);
    info->sum = reinterpret_cast<uint32_t*>(base + 8 * cells);
    info->points = reinterpret_cast<int32_t*>(base + 12 * cells);
    info->image = base + 12 * cells + pointBytes;
    info->width = width;
    info->height = height;

    const int32_t r = std::min((width << 10) / cascade->width, (height << 10) / cascade->height);
    info->firstScale = kOtaScales - 1;
    for (int32_t i = 0; i < kOtaScales; ++i) {
        if (cascade->factor[i] < r) {
            info->firstScale = i;
            break;
        }
    }
    const int32_t stride = width + 1;
    for (int32_t i = info->firstScale; i < kOtaScales; ++i) {
        const int32_t s = cascade->factor[i];
        int32_t* pt = info->points + size_t(i) * size_t(cascade->pointsPerScale);
        for (int32_t st = 0; st < cascade->stages; ++st) {
            const IrisOtaStage& stage = cascade->stage[st];
            const uint32_t* g = stage.geometry;
            for (int k = 0; k < tbl::kKinds; ++k) {
                for (int32_t f = 0; f < stage.count[k]; ++f) {
                    tbl::ScaledRect rects[3];
                    const int n = tbl::ScaleFeature(tbl::Scaling::Capture, k, g, s, rects);
                    pt += tbl::CornerOffsets(rects, n, stride, pt);
                    g += tbl::GeometryWords(k);
                }
            }
        }
    }
    info->cascadeId = cascade->id;
    info->cascade = cascade;
    return 0;
}

void IRIS_OTA_IntegralImages(IRIS_OTA_DetImgInfo* info) {
    tbl::IntegralImages(info->image, info->width, info->height, info->width, info->sum, info->squares);
}

void IRIS_OTA_SetScale(const IrisOtaCascade* cascade, IRIS_OTA_DetImgInfo* info, int32_t scale) {
    const int32_t f = cascade->factor[scale];
    const int32_t stride = info->width + 1;
    const int32_t inset = (f + 512) >> 10;
    const int32_t w = ((cascade->width - 2) * f + 512) >> 10, h = ((cascade->height - 2) * f + 512) >> 10;
    const size_t o = size_t(inset) * size_t(stride + 1);
    info->normInset = inset;
    info->s0 = info->sum + o;
    info->s1 = info->s0 + w;
    info->s2 = info->s0 + size_t(h) * size_t(stride);
    info->s3 = info->s2 + w;
    info->q0 = info->squares + o;
    info->q1 = info->q0 + w;
    info->q2 = info->q0 + size_t(h) * size_t(stride);
    info->q3 = info->q2 + w;
}

int32_t IRIS_OTA_EvalCascade(const IrisOtaCascade* cascade, const IRIS_OTA_DetImgInfo* info, int32_t scale,
                             int32_t offset, int32_t* margin) {
    const int64_t norm = WindowNorm(cascade, info, scale, offset);
    if (norm == 0) {
        if (margin) *margin = 0;
        return -1;
    }
    const uint32_t* p = info->sum + offset;
    const int32_t* pt = info->points + size_t(scale) * size_t(cascade->pointsPerScale);
    int64_t last = 0;
    for (int32_t st = 0; st < cascade->stages; ++st) {
        const IrisOtaStage& stage = cascade->stage[st];
        const int32_t* lut = stage.lut;
        const int32_t* bounds = stage.bounds;
        int64_t acc = 0;
        for (int k = 0; k < tbl::kKinds; ++k) {
            const int rects = k == 2 ? 3 : 2;
            for (int32_t f = 0; f < stage.count[k]; ++f) {
                const int32_t v = tbl::FeatureValue(k, p, pt);
                acc += lut[tbl::BinOf(int64_t(v) * norm, bounds[0], bounds[1])];
                pt += 4 * rects;
                lut += tbl::kBins;
                bounds += 2;
            }
        }
        last = acc - stage.threshold;
        if (last < 0) {
            if (margin) *margin = int32_t(uint32_t(uint64_t(last)));
            return -1;
        }
    }
    if (margin) *margin = int32_t(uint32_t(uint64_t(last)));
    return 1;
}

bool IRIS_OTA_FeatureValues(const IrisOtaCascade* cascade, const IRIS_OTA_DetImgInfo* info, int32_t scale,
                            int32_t offset, int64_t* values) {
    const int64_t norm = WindowNorm(cascade, info, scale, offset);
    if (norm == 0) return false;
    const uint32_t* p = info->sum + offset;
    const int32_t* pt = info->points + size_t(scale) * size_t(cascade->pointsPerScale);
    for (int32_t st = 0; st < cascade->stages; ++st) {
        for (int k = 0; k < tbl::kKinds; ++k) {
            for (int32_t f = 0; f < cascade->stage[st].count[k]; ++f) {
                *values++ = int64_t(tbl::FeatureValue(k, p, pt)) * norm;
                pt += k == 2 ? 12 : 8;
            }
        }
    }
    return true;
}

}  // namespace irisfe
