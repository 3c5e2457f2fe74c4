#include "sim/Optics.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

struct KeystoneRow {
    const char* model;
    double a, b, l, e, g, k;
    double outPpi;  // resolution of the corrected result
};

// The distortion set with which each model's library corrects its full frames, for the models
// whose result is keystone-corrected (not PloverE nor KestrelA, whose results are only resized).
constexpr KeystoneRow kKeystones[] = {
    {"PloverA", 701, 678, 496, 614, 404, 404, 500},
    {"PloverB", 727, 701, 530, 254, 411, 408, 500},
    {"PloverC", 863, 838, 627, 320, 500, 497, 500},
    {"PloverD", 863, 838, 627, 320, 500, 497, 500},
    {"VireoA", 1350, 1496, 930, 0, 750, 808, 500},
    {"LinnetA", 700, 836, 752, 0, 480, 320, 500},
};

}  // namespace

Keystone KeystoneFor(const ModelTraits& traits, int frameSizeMode) {
    Keystone k;
    if (!traits.scanner) return k;
    const KeystoneRow* row = nullptr;
    for (const KeystoneRow& r : kKeystones)
        if (std::strcmp(r.model, traits.name) == 0) row = &r;
    if (!row) return k;
    const ModeGeometry& full = Mode(traits, 0);
    const ModeGeometry& m = Mode(traits, frameSizeMode);
    k.on = true;
    k.a = row->a, k.b = row->b, k.l = row->l, k.e = row->e, k.g = row->g, k.k = row->k;
    k.outPpi = row->outPpi;
    k.frameWidth = full.sceneWidth;
    k.frameHeight = full.sceneHeight;
    if (m.sceneWidth == full.sceneWidth && m.sceneHeight == full.sceneHeight) return k;
    if (m.ppiX < full.ppiX) {
        // A reduced copy of the whole frame, reduced across and down by the ratios of the sizes
        // (PloverC's preview: a third across, half down), or of the resolutions for a size the
        // library does not decode.
        k.scale = m.plain ? full.ppiX / m.ppiX : double(full.sceneWidth) / m.sceneWidth;
        k.rowScale = m.plain ? full.ppiY / m.ppiY : double(full.sceneHeight) / m.sceneHeight;
    } else {
        // A window of the frame at full resolution, at its bottom edge: centred, but on the
        // right on PloverC and on the left on PloverD, as the library cuts its roll window.
        k.offsetX = (full.sceneWidth - m.sceneWidth) / 2.0;
        if (std::strcmp(traits.name, "PloverC") == 0) k.offsetX = full.sceneWidth - m.sceneWidth;
        if (std::strcmp(traits.name, "PloverD") == 0) k.offsetX = 0;
        k.offsetY = full.sceneHeight - m.sceneHeight;
    }
    return k;
}

std::optional<std::pair<double, double>> RollAreaMm(const ModelTraits& traits) {
    if (std::strcmp(traits.name, "PloverC") != 0 && std::strcmp(traits.name, "PloverD") != 0) return std::nullopt;
    const ModeGeometry& m = Mode(traits, 1);
    const int row = m.sceneHeight / 2;
    // The lit columns of the window's middle row: the optics leave its outer side unlit.
    int first = m.sceneWidth, last = -1;
    for (int x = 0; x < m.sceneWidth; ++x)
        if (SourceOf(traits, 1, x, row).kind != SceneSource::White) first = std::min(first, x), last = std::max(last, x);
    if (last < first) return std::nullopt;
    PlatenParams p;
    p.width = m.sceneWidth, p.height = m.sceneHeight;
    p.ppiX = m.ppiX, p.ppiY = m.ppiY;
    p.keystone = KeystoneFor(traits, 1);
    std::pair<double, double> mm;
    PlatenPointMm(p, (first + last) / 2, row, &mm.first, &mm.second);
    return mm;
}

double ModeFramePeriodMs(const ModelTraits& traits, int frameSizeMode, double fullPeriodMs) {
    const ModeGeometry& full = Mode(traits, 0);
    const ModeGeometry& m = Mode(traits, frameSizeMode);
    const double fullBytes = double(full.rawWidth) * full.rawHeight;
    if (fullBytes <= 0) return fullPeriodMs;
    const double share = double(m.rawWidth) * m.rawHeight / fullBytes;
    return std::max(std::min(20.0, fullPeriodMs), fullPeriodMs * share);
}

}  // namespace sim
