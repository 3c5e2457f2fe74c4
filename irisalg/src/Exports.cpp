// The C exports of the iris algorithm library over its internal routines.

#include "TskIrisAPI.h"

#include <cstdlib>
#include <cstring>

#include "irisalg/EyeDetector.h"
#include "irisalg/IrisAlg.h"
#include "irisalg/IrisEncode.h"
#include "irisalg/LocationSeam.h"
#include "irisalg/Modules.h"

namespace irisalg {

namespace {
bool modules[int(Module::Count)] = {};
}  // namespace

bool ModuleOn(Module m) { return modules[int(m)]; }
void SetModule(Module m, bool on) { modules[int(m)] = on; }

}  // namespace irisalg

using irisalg::Module;
using irisalg::ModuleOn;
using irisalg::SetMessage;
using irisalg::SetModule;

namespace {

constexpr uint32_t kVersion = 0x02050004;
constexpr int32_t kMaxTemplate = 10240;
constexpr int32_t kModuleOff = -6;
constexpr int kExtractOptions = 256;
constexpr uint32_t kTag41 = 512;

// The template of an image whose extraction failed: zero geometry and quality (no usable iris,
// so every comparison scores 0) and a zero code of kind 41.
int32_t BuildPlaceholder(IMF* imf, char* errtext) {
    std::memset(imf, 0, sizeof *imf);
    const auto* kind = irisalg::FindFeatureKind(41);
    if (!kind) {
        SetMessage(errtext, "Unknown tag for dummy feature %d", 41);
        return -1;
    }
    imf->geometry = static_cast<IrisLocation*>(std::calloc(1, sizeof(IrisLocation)));
    imf->quality = static_cast<IrisQualityRecord*>(std::calloc(1, sizeof(IrisQualityRecord)));
    const int32_t length = irisalg::FeatureLength(kind);
    auto* data = static_cast<uint8_t*>(irisalg::IrisAlignedAlloc(size_t(length), 16));
    if (!imf->geometry || !imf->quality || !data) {
        irisalg::IrisAlignedFree(data);
        irisalg::FreeTemplate(imf);
        return -15;
    }
    std::memset(data, 0, size_t(length));
    imf->count = 1;
    imf->id[0] = 41;
    imf->version[0] = irisalg::FeatureVersion(kind);
    imf->data[0] = data;
    imf->length[0] = length;
    return 0;
}

}  // namespace

extern "C" {

uint32_t TskIris_GetVersion() { return kVersion; }

int32_t TskIris_GetMaxFeatureSize() { return kMaxTemplate; }

int32_t TskIris_Init(void*, const int32_t* options, char* errtext) {
    if (!options) {
        SetMessage(errtext, "Unexpected NULL pointer");
        return -11;
    }
    constexpr struct {
        int word;
        Module module;
    } enables[] = {{0, Module::Quality}, {5, Module::Location}, {10, Module::Encoder}, {20, Module::Matcher},
                   {30, Module::Detection}};
    for (const auto& e : enables) {
        if (options[e.word] != 1 || ModuleOn(e.module)) continue;
        SetModule(e.module, true);
        if (e.module == Module::Encoder) irisalg::BuildFrequencyFilterBank();
        if (e.module == Module::Matcher) irisalg::BuildBitCountTable();
    }
    if (!ModuleOn(Module::ClassF)) {
        if (irisalg::SetUpClassF() != 0) {
            SetMessage(errtext, "iris Recognition Class F Initialization Failed");
            return -1;
        }
        SetModule(Module::ClassF, true);
    }
    irisalg::ApplyInitOptionsToTable(options);
    return 0;
}

int32_t TskIris_Destroy() {
    irisalg::TearDownClassF();
    irisalg::ClearFrequencyFilterBank();
    for (int m = 0; m < int(Module::Count); ++m) SetModule(Module(m), false);
    return 0;
}

int32_t TskIris_FExtractor(const uint8_t* image, int32_t width, int32_t height, IMF* out, const int32_t* options,
                           char* errtext) {
    if (!ModuleOn(Module::Encoder)) return kModuleOff;
    return irisalg::FeatureExtractor(image, width, height, out, options, errtext);
}

int32_t TskIris_FeatureExtract_Ex(const uint8_t* image, int32_t width, int32_t height, const char* note,
                                  const int32_t* options, uint8_t* out, int32_t outsize, char* errtext) {
    if (!ModuleOn(Module::Encoder)) return kModuleOff;
    if (!image || !options || !out) {
        SetMessage(errtext, "Unexpected NULL pointer");
        return -11;
    }
    if (options[0] != 1) {
        SetMessage(errtext, "Invalid Parameter[0] = %d", options[0]);
        return -1;
    }
    if (outsize < kMaxTemplate) {
        SetMessage(errtext, "error: feature buffer is not big enough!");
        return -1;
    }
    int32_t words[kExtractOptions];
    std::memcpy(words, options, sizeof words);
    words[0] = int32_t(kTag41);
    IMF imf{};
    if (irisalg::FeatureExtractor(image, width, height, &imf, words, errtext) != 0) {
        // The caller still gets a template (one that matches nothing); errtext says why.
        if (BuildPlaceholder(&imf, nullptr) != 0) {
            SetMessage(errtext, "Unknown tag for dummy feature %d", 41);
            return -1;
        }
    }
    uint32_t header[16] = {};
    auto* h = reinterpret_cast<uint8_t*>(header);
    h[4] = uint8_t(uint32_t(width) >> 8), h[5] = uint8_t(width);
    h[6] = uint8_t(uint32_t(height) >> 8), h[7] = uint8_t(height);
    if (note) std::strncpy(reinterpret_cast<char*>(h + 32), note, 31);
    std::memset(out, 0, size_t(outsize));
    int32_t size = outsize;
    char message[irisalg::kMessageSize];
    const int32_t rc = irisalg::EncodeTemplate(&imf, header, out, &size, message);
    irisalg::FreeTemplate(&imf);
    if (rc != 0) {
        SetMessage(errtext, "%s", message);
        return -1;
    }
    return size;
}

int32_t TskIris_Verify_Ex(const IMF* probe, const IMF* gallery, int32_t* score, const int32_t* options,
                          char* errtext) {
    if (!ModuleOn(Module::Matcher)) return kModuleOff;
    return irisalg::VerifyTemplates(probe, gallery, score, options, errtext);
}

int32_t TskIris_Search_Ex(const IMF* probe, const IMF* gallery, int32_t count, int32_t* scores,
                          const int32_t* options, char* errtext) {
    if (!ModuleOn(Module::Matcher)) return kModuleOff;
    return irisalg::SearchTemplates(probe, gallery, count, scores, options, errtext);
}

int32_t TskIris_Polyfit(const int32_t* x, const int32_t* y, int32_t n, int32_t degree, int32_t* coefficients) {
    if (!x || !y || !coefficients) return -1;
    return irisalg::PolyfitCore(x, y, n, degree, coefficients);
}

double TskIris_Polyval(const int32_t* coefficients, int32_t degree, double x) {
    if (!coefficients) return -1.0;
    return irisalg::PolyvalCore(coefficients, degree, x);
}

int32_t TskIris_CircleFitting(const int32_t* x, const int32_t* y, int32_t n, int32_t* cx, int32_t* cy, int32_t* r) {
    return irisalg::CircleFit(x, y, n, cx, cy, r);
}

int32_t TskIris_FeatureEncode_Ex(const IMF* imf, const uint32_t* header, uint8_t* out, int32_t* size, int32_t,
                                 char* errtext) {
    return irisalg::EncodeTemplate(imf, header, out, size, errtext);
}

int32_t TskIris_FeatureDecode_Ex(const uint8_t* stream, int32_t length, IMF* out, void* reserved, char* errtext) {
    if (!reserved) {
        irisalg::SetMessage(errtext, "input pointer is null");
        return -11;
    }
    return irisalg::DecodeTemplate(stream, length, out, errtext);
}

int32_t TskIris_Free_IMF(IMF* imf) { return irisalg::FreeTemplate(imf); }

int32_t TskIris_Detection_Create(TskIrisDetectorContext** out, const int32_t* options, void*) {
    if (!ModuleOn(Module::Detection)) return kModuleOff;
    return irisalg::DetectorCreate(options, out);
}

int32_t TskIris_Detection_Destroy(TskIrisDetectorContext* context, void*) { return irisalg::DetectorDestroy(context); }

int32_t TskIris_Detection(TskIrisDetectorContext* context, const uint8_t* image, int32_t width, int32_t height,
                          EyeDetectionRecord* record, char* errtext) {
    if (!context || !image || !record) {
        SetMessage(errtext, "input pointer is null");
        return -11;
    }
    int32_t* w = record->words;
    const int32_t scanMode = w[0] > 0 ? w[0] : 0;
    const int32_t workingCode = w[1] > 0 ? w[1] : 6;
    const int32_t minNeighbours = w[2] > 0 ? w[2] : 1;
    const int32_t borderMode = w[3] > 0 ? w[3] : 0;
    irisalg::EyeRegionResult found{};
    if (irisalg::DetectEyeRegion(context, image, width, height, 8, workingCode, minNeighbours, &found, scanMode,
                                 borderMode) != 0) {
        SetMessage(errtext, "Iris detect failed");
        return -1;
    }
    w[15] = found.count;
    if (found.count >= 1) {
        w[16] = found.x, w[17] = found.y;
        w[18] = found.width, w[19] = found.height;
    }
    return 0;
}

}  // extern "C"
