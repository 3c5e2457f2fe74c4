// Location and quality as seen by template extraction (see LocationSeam.h).

#include "irisalg/LocationSeam.h"

#include "irisalg/Location.h"

namespace irisalg {

FeatureLocator::FeatureLocator(const uint8_t* image, int width, int height, const int32_t radii[4])
    : context_(CreateLocationContext(image, width, height)) {
    if (!context_ || !radii) return;
    if (radii[0] > 0) context_->pupilMin = radii[0];
    if (radii[1] > 0) context_->pupilMax = radii[1];
    if (radii[2] > 0) context_->irisMin = radii[2];
    if (radii[3] > 0) context_->irisMax = radii[3];
}

FeatureLocator::~FeatureLocator() { FreeLocationContext(context_); }

void FeatureLocator::Give(const LocationResult& given) {
    if (context_) context_->slots[0] = given;
}

int32_t FeatureLocator::Run(int method, LocationResult* result) {
    if (!context_) return -3;
    return RunLocationMethod(context_, method, result);
}

int32_t SetUpClassF() { return ClassFInit() == 0 ? 0 : -1; }
void TearDownClassF() { ClassFDestroy(); }

void LocationToRecord(const LocationResult& result, IrisLocation* out) { CopyLocationResult(&result, out); }

int32_t AnalyseTemplateQuality(const uint8_t* image, int width, int height, IrisLocation& location,
                               IrisQualityRecord* record) {
    int32_t options[16] = {1};  // use the given location
    return QualityAnalysis(image, width, height, options, &location, record, nullptr);
}

}  // namespace irisalg
