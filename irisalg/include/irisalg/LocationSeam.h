#pragma once
// The one place where template extraction meets the location pipeline and the quality analysis.
//
// The feature extractor asks a FeatureLocator for the location of its image by location method
// number. A location given by the caller sits in slot 0 of the location context and answers every
// method (a concentric method moves its iris centre onto the pupil centre); otherwise the
// location pipeline locates the image, each step once per extraction.

#include <cstdint>

#include "irisalg/IrisRecords.h"

namespace irisalg {

struct LocationContext;

class FeatureLocator {
public:
    // radii: pupil minimum, pupil maximum, iris minimum, iris maximum (0 keeps the default).
    FeatureLocator(const uint8_t* image, int width, int height, const int32_t radii[4]);
    ~FeatureLocator();
    FeatureLocator(const FeatureLocator&) = delete;
    FeatureLocator& operator=(const FeatureLocator&) = delete;
    // False when the location context could not be had.
    bool Ready() const { return context_ != nullptr; }
    // Places a location given by the caller into slot 0.
    void Give(const LocationResult& given);
    // Runs method 0..24 into result: 0, or -1 (pupil), -2 (iris and eyelids), -3 (final step).
    int32_t Run(int method, LocationResult* result);

private:
    LocationContext* context_;
};

// Set-up and tear-down of the Class F localiser by the library's initialisation: 0 or -1.
int32_t SetUpClassF();
void TearDownClassF();

// The IrisLocation record of a location result (circles, eyelid polynomials, scores).
void LocationToRecord(const LocationResult& result, IrisLocation* out);

// Quality record of a new template from its location; 0 or a negative code.
int32_t AnalyseTemplateQuality(const uint8_t* image, int width, int height, IrisLocation& location,
                               IrisQualityRecord* record);

}  // namespace irisalg
