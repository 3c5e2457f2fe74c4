// The serialised template: a 64-byte header (bytes 0..3 the big-endian length, byte 12 a check
// sum), blocks of FF, tag, big-endian payload length and payload, and an FF FF end marker.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "irisalg/IrisAlg.h"

namespace irisalg {

namespace {

constexpr int kHeaderSize = 64;
constexpr int kMaxStream = 10240;
constexpr uint8_t kTagGeometry = 16, kTagQuality = 17, kTagExtra = 48, kTagEnd = 255;
constexpr uint8_t kFirstFeature = 32, kLastFeature = 41;
constexpr int kGeometryPayload = 63, kQualityPayload = 16, kVersionField = 10, kFeatureOverhead = 4 + kVersionField;

void Put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}
void Put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8), p[1] = uint8_t(v); }
uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

uint8_t CheckSum(const uint8_t* s, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        if (i != 12) sum += s[i];
    return uint8_t(sum);
}

// Block start: FF, tag, payload length; returns the payload.
uint8_t* PutBlock(uint8_t* p, uint8_t tag, uint32_t payload) {
    p[0] = 0xFF;
    p[1] = tag;
    Put32(p + 2, payload);
    return p + 6;
}

}  // namespace

int64_t TemplateLength(const IMF* imf) {
    if (!imf || imf->count < 0 || imf->count > IRIS_MAX_FEATURES) return -1;
    int64_t L = kHeaderSize + 2;
    if (imf->geometry) L += 6 + kGeometryPayload;
    if (imf->quality) L += 6 + kQualityPayload;
    for (int i = 0; i < imf->count; ++i) {
        if (imf->length[i] < 0 || (imf->length[i] > 0 && !imf->data[i]) || imf->id[i] < kFirstFeature ||
            imf->id[i] > kLastFeature)
            return -1;
        L += 6 + kFeatureOverhead + int64_t(imf->length[i]);
    }
    if (imf->extra) {
        if (imf->extra->length < 0 || (imf->extra->length > 0 && !imf->extra->data)) return -1;
        L += 6 + 5 + int64_t(imf->extra->length);
    }
    return L;
}

int32_t EncodeTemplate(const IMF* imf, const uint32_t header[16], uint8_t* out, int32_t* size, char* errtext) {
    if (!imf || !header || !out || !size || !errtext) {
        SetMessage(errtext, "input pointer is null");
        return -11;
    }
    const int64_t L = TemplateLength(imf);
    if (L < 0) {
        SetMessage(errtext, "Invalid feature record");
        return -11;
    }
    if (L > *size) {
        SetMessage(errtext, "Not enough memory for CID buffer");
        return -12;
    }
    std::memset(out, 0, size_t(*size));
    *size = int32_t(L);
    std::memcpy(out, header, kHeaderSize);
    Put32(out, uint32_t(L));
    uint8_t* p = out + kHeaderSize;
    if (const IrisLocation* g = imf->geometry) {
        p = PutBlock(p, kTagGeometry, kGeometryPayload);
        const int16_t circle[6] = {g->pupilX, g->pupilY, g->pupilRadius, g->irisX, g->irisY, g->irisRadius};
        for (int k = 0; k < 6; ++k, p += 2) Put16(p, uint16_t(circle[k]));
        *p++ = g->pupilScore;
        *p++ = g->locationFlag;
        for (int k = 0; k < 6; ++k, p += 4) Put32(p, uint32_t(g->upperEyelid[k]));
        for (int k = 0; k < 6; ++k, p += 4) Put32(p, uint32_t(g->lowerEyelid[k]));
        *p++ = g->eyelidDegree;
    }
    if (imf->quality) {
        p = PutBlock(p, kTagQuality, kQualityPayload);
        std::memcpy(p, imf->quality->bytes, kQualityPayload);
        p += kQualityPayload;
    }
    for (int i = 0; i < imf->count; ++i) {
        p = PutBlock(p, imf->id[i], uint32_t(kFeatureOverhead + imf->length[i]));
        const uint32_t v = imf->version[i];
        Put32(p, v);
        // "%d.%d.%d.%d" of the four version nibbles; a text longer than the field keeps its
        // first ten bytes.
        char text[32];
        std::snprintf(text, sizeof text, "%u.%u.%u.%u", (v >> 24) & 15, (v >> 16) & 15, (v >> 8) & 15, v & 15);
        std::memcpy(p + 4, text, std::min(std::strlen(text), size_t(kVersionField)));  // the rest is zero
        p += kFeatureOverhead;
        if (imf->length[i] > 0) std::memcpy(p, imf->data[i], size_t(imf->length[i]));
        p += imf->length[i];
    }
    if (const IrisExtraBlock* e = imf->extra) {
        p = PutBlock(p, kTagExtra, uint32_t(5 + e->length));
        std::memcpy(p, &e->value, 4);
        p[4] = uint8_t(e->byteValue);
        p += 5;
        if (e->length > 0) std::memcpy(p, e->data, size_t(e->length));
        p += e->length;
    }
    p[0] = p[1] = 0xFF;
    out[12] = CheckSum(out, size_t(L));
    return 0;
}

int32_t FreeTemplate(IMF* imf) {
    if (!imf) return 0;
    std::free(imf->geometry);
    std::free(imf->quality);
    const int n = imf->count < 0 ? 0 : imf->count > IRIS_MAX_FEATURES ? IRIS_MAX_FEATURES : imf->count;
    for (int i = 0; i < n; ++i) IrisAlignedFree(imf->data[i]);
    // The extra block belongs to the caller who built it: the pointer is dropped, not freed.
    std::memset(imf, 0, sizeof *imf);
    return 0;
}

int32_t DecodeTemplate(const uint8_t* s, int32_t length, IMF* out, char* errtext) {
    if (!s || !out || !errtext) {
        SetMessage(errtext, "input pointer is null");
        return -11;
    }
    if (length < 4) {
        SetMessage(errtext, "buffer size error");
        return -11;
    }
    const uint32_t L = Get32(s);
    // The header and the end marker must fit; the stream must lie within the caller's bytes.
    if (L > uint32_t(length) || L < uint32_t(kHeaderSize + 2)) {
        SetMessage(errtext, "Buffer size not matched %d %d", int32_t(L), length);
        return -13;
    }
    if (CheckSum(s, L) != s[12]) {
        SetMessage(errtext, "Check Sum not matched");
        return -14;
    }
    std::memset(out, 0, sizeof *out);
    auto fail = [&](int32_t code) {
        FreeTemplate(out);
        return code;
    };
    // Each block's tag follows its FF; payloads end before the end marker at L - 2.
    const uint64_t end = L - 2;
    uint64_t pos = kHeaderSize + 1;
    while (true) {
        if (pos >= L) {
            SetMessage(errtext, "Template ends inside a block");
            return fail(-13);
        }
        const uint8_t tag = s[pos];
        if (tag == kTagEnd) break;
        if (pos + 5 > end) {
            SetMessage(errtext, "Template ends inside a block");
            return fail(-13);
        }
        const uint32_t P = Get32(s + pos + 1);
        const uint8_t* payload = s + pos + 5;
        if (pos + 5 + P > end) {
            SetMessage(errtext, "Illegal block length %u", P);
            return fail(-13);
        }
        if (tag == kTagGeometry) {
            // The record is read from the first 63 payload bytes; a longer block's further bytes
            // are skipped with it. A shorter one is refused: its fields would come from the bytes
            // of the next block.
            if (P < uint32_t(kGeometryPayload)) {
                SetMessage(errtext, "Illegal geometry length");
                return fail(-13);
            }
            std::free(out->geometry);  // a repeated block replaces the first
            auto* g = static_cast<IrisLocation*>(std::calloc(1, sizeof(IrisLocation)));
            out->geometry = g;
            if (!g) {
                SetMessage(errtext, "Alloc memory failed");
                return fail(-15);
            }
            const uint8_t* p = payload;
            int16_t* circle[6] = {&g->pupilX, &g->pupilY, &g->pupilRadius, &g->irisX, &g->irisY, &g->irisRadius};
            for (int k = 0; k < 6; ++k, p += 2) *circle[k] = int16_t(Get16(p));
            g->pupilScore = *p++;
            g->locationFlag = *p++;
            for (int k = 0; k < 6; ++k, p += 4) g->upperEyelid[k] = int32_t(Get32(p));
            for (int k = 0; k < 6; ++k, p += 4) g->lowerEyelid[k] = int32_t(Get32(p));
            g->eyelidDegree = *p;
        } else if (tag == kTagQuality) {
            if (P != kQualityPayload) {
                SetMessage(errtext, "Illegal quality length");
                return fail(-13);
            }
            std::free(out->quality);
            out->quality = static_cast<IrisQualityRecord*>(std::malloc(sizeof(IrisQualityRecord)));
            if (!out->quality) {
                SetMessage(errtext, "Alloc memory for quality");
                return fail(-15);
            }
            std::memcpy(out->quality->bytes, payload, kQualityPayload);
        } else if (tag >= kFirstFeature && tag <= kLastFeature) {
            if (P < uint32_t(kFeatureOverhead) || out->count >= IRIS_MAX_FEATURES) {
                SetMessage(errtext, P < uint32_t(kFeatureOverhead) ? "Illegal feature length" : "Too many features");
                return fail(-13);
            }
            const uint32_t D = P - kFeatureOverhead;
            const int i = out->count;
            out->data[i] = static_cast<uint8_t*>(IrisAlignedAlloc(D, 16, payload + kFeatureOverhead));
            if (!out->data[i]) {
                SetMessage(errtext, "Alloc memory for feature %d failed", tag);
                return fail(-15);
            }
            out->version[i] = Get32(payload);
            out->length[i] = int32_t(D);
            out->id[i] = tag;
            out->count = i + 1;
        }
        // Other tags, the extra block among them, are skipped.
        pos += uint64_t(P) + 6;
    }
    return 0;
}

}  // namespace irisalg
