// The C exports of the iris algorithm library over its internal routines.

#include "TskIrisAPI.h"

#include "irisalg/IrisAlg.h"
#include "irisalg/Modules.h"

namespace irisalg {

namespace {
bool modules[int(Module::Count)] = {};
}  // namespace

bool ModuleOn(Module m) { return modules[int(m)]; }
void SetModule(Module m, bool on) { modules[int(m)] = on; }

}  // namespace irisalg

extern "C" {

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

}  // extern "C"
