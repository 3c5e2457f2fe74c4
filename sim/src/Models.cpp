#include "sim/Models.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/TessikUsbProtocol.h"

namespace sim {

namespace proto = platform::usb::tessik;

namespace {

constexpr uint8_t kDarkLine = 3;
constexpr uint8_t kBrightLine = 200;
constexpr int kHeaderAt = 12;      // device text in the frames of all but types 0 and 1
constexpr int kHeaderBytes = 26;   // the driver stamps this many
constexpr int kLedStatusAt = 60;

ModelTraits Plover(ModelId id, const char* name, uint16_t pid, uint16_t bcd, int type) {
    ModelTraits s{};
    s.id = id;
    s.name = name;
    s.vendorId = proto::kVendorId;
    s.productId = pid;
    s.bcdDevice = bcd;
    s.modelType = type;
    s.layout = RawLayout::ColumnsBottomUp;
    // Full: the whole platen at 850 x 600 ppi; mode 1 (roll): a central part at full resolution;
    // mode 2 (preview): the whole platen at half resolution.
    s.modes[0] = {2944, 1840, 2944, 1840, 850, 600, 23};
    s.modes[1] = {1408, 880, 1408, 880, 850, 600, 5};
    s.modes[2] = {1472, 920, 1472, 920, 425, 300, 5};
    s.framePeriodMs = 266.6666;
    s.platenBase = 130;
    s.platenGain = 2.5;
    s.scanner = true;
    s.syncBytes = false;
    return s;
}

const std::array<ModelTraits, 6>& Table() {
    static const std::array<ModelTraits, 6> table = [] {
        std::array<ModelTraits, 6> t{};
        t[0] = Plover(ModelId::PloverA, "PloverA", proto::kProductPloverA, 0x0000, 1);
        t[1] = Plover(ModelId::PloverE, "PloverE", proto::kProductPloverA, 0x0100, 1);
        t[2] = Plover(ModelId::PloverB, "PloverB", proto::kProductPloverB, 0x0000, 0);

        ModelTraits v{};
        v.id = ModelId::VireoA;
        v.name = "VireoA";
        v.vendorId = proto::kVendorId;
        v.productId = proto::kProductVireoA;
        v.bcdDevice = 0x0000;
        v.modelType = 4;
        v.layout = RawLayout::RowsWindowFlipped;
        v.modes[0] = {1600, 1200, 1496, 945, 850, 600, 5};
        v.modes[1] = v.modes[0];
        v.modes[2] = {768, 600, 768, 600, 425, 300, 4};
        v.framePeriodMs = 266.6666;
        v.platenBase = 130;
        v.platenGain = 0.95;
        v.scanner = true;
        v.syncBytes = true;
        v.windowX = 58;
        v.windowY = 56;
        t[3] = v;

        ModelTraits iris{};
        iris.id = ModelId::IrisLeft;
        iris.name = "IrisLeft";
        iris.vendorId = proto::kVendorId;
        iris.productId = proto::kProductIris;
        iris.bcdDevice = 0x0000;
        iris.modelType = 15;
        iris.layout = RawLayout::Rotated180;
        iris.modes[0] = {640, 480, 640, 480, 500, 500, 4};
        iris.modes[1] = iris.modes[0];
        iris.modes[2] = iris.modes[0];
        iris.framePeriodMs = 33.3333;
        iris.scanner = false;
        iris.syncBytes = true;
        t[4] = iris;
        iris.id = ModelId::IrisRight;
        iris.name = "IrisRight";
        t[5] = iris;
        return t;
    }();
    return table;
}

uint8_t SceneMean(const GreyImage& scene) {
    if (scene.pixels.empty()) return 128;
    uint64_t sum = 0, n = 0;
    for (size_t i = 0; i < scene.pixels.size(); i += 97, ++n) sum += scene.pixels[i];
    return uint8_t(std::max<uint64_t>(1, sum / n));
}

}  // namespace

const ModelTraits& Traits(ModelId id) { return Table()[size_t(id)]; }

std::vector<ModelId> AllModels() {
    return {ModelId::PloverA, ModelId::PloverE, ModelId::PloverB, ModelId::VireoA, ModelId::IrisLeft, ModelId::IrisRight};
}

std::optional<ModelId> ModelByName(std::string_view name) {
    auto lower = [](std::string_view s) {
        std::string r(s);
        for (char& c : r) c = char(std::tolower(static_cast<unsigned char>(c)));
        return r;
    };
    for (const ModelTraits& s : Table())
        if (lower(s.name) == lower(name)) return s.id;
    return std::nullopt;
}

const ModeGeometry& Mode(const ModelTraits& traits, int frameSizeMode) {
    return traits.modes[(frameSizeMode == 1 || frameSizeMode == 2) ? frameSizeMode : 0];
}

uint16_t PackDate(int year, int month, int day) {
    return uint16_t(((year - 2000) & 0x7F) | ((day & 0x1F) << 7) | ((month & 0xF) << 12));
}

std::array<uint8_t, 24> MakeDeviceText(const ModelTraits& traits, uint32_t serial, uint16_t date1, uint16_t date2) {
    std::array<uint8_t, 24> t{};
    std::string model = traits.name;
    for (size_t i = 0; i < 11 && i < model.size(); ++i) t[i] = uint8_t(std::toupper(static_cast<unsigned char>(model[i])));
    std::memcpy(&t[12], "1203", 4);
    for (int i = 0; i < 4; ++i) t[16 + i] = uint8_t(serial >> (8 * i));
    t[20] = uint8_t(date1);
    t[21] = uint8_t(date1 >> 8);
    t[22] = uint8_t(date2);
    t[23] = uint8_t(date2 >> 8);
    return t;
}

std::vector<uint8_t> EncodeRaw(const ModelTraits& traits, int frameSizeMode, const GreyImage& scene, const RawExtras& extras) {
    const ModeGeometry& m = Mode(traits, frameSizeMode);
    std::vector<uint8_t> raw(size_t(m.rawWidth) * m.rawHeight);
    if (scene.width != m.sceneWidth || scene.height != m.sceneHeight) return raw;
    const int W = m.rawWidth, H = m.rawHeight;
    switch (traits.layout) {
        case RawLayout::ColumnsBottomUp: {
            for (int i = 0; i < W; ++i) {
                uint8_t* column = &raw[size_t(i) * H];
                for (int j = 0; j < H; ++j) column[j] = scene.pixels[size_t(H - 1 - j) * W + i];
                // The sensor's first line is masked: dark, which the driver checks.
                column[0] = extras.brightFirstLine ? kBrightLine : extras.firstLine ? extras.firstLine(i) : kDarkLine;
            }
            if (extras.deviceText) std::memcpy(&raw[1], extras.deviceText, 24);
            break;
        }
        case RawLayout::RowsWindowFlipped: {
            const bool windowed = m.sceneWidth != m.rawWidth || m.sceneHeight != m.rawHeight;
            if (windowed) {
                std::fill(raw.begin(), raw.end(), SceneMean(scene));
                for (int r = 0; r < m.sceneHeight; ++r)
                    std::memcpy(&raw[size_t(traits.windowY + r) * W + traits.windowX],
                                &scene.pixels[size_t(m.sceneHeight - 1 - r) * m.sceneWidth], size_t(m.sceneWidth));
            } else {
                raw = scene.pixels;
            }
            break;
        }
        case RawLayout::Rotated180: {
            const size_t n = raw.size();
            for (size_t k = 0; k < n; ++k) raw[k] = scene.pixels[n - 1 - k];
            if (extras.ledStatus) std::memcpy(&raw[kLedStatusAt], extras.ledStatus, 7);
            break;
        }
    }
    if (traits.layout != RawLayout::ColumnsBottomUp && extras.deviceText) std::memcpy(&raw[kHeaderAt], extras.deviceText, 24);
    if (traits.syncBytes) {
        raw[1] = 0xFF;
        raw[2] = 0x00;
        raw[3] = 0xFF;
        raw[4] = 0x00;
    }
    return raw;
}

GreyImage DriverCopy(const ModelTraits& traits, int frameSizeMode, const std::vector<uint8_t>& raw) {
    const ModeGeometry& m = Mode(traits, frameSizeMode);
    GreyImage out(m.rawWidth, m.rawHeight);
    if (raw.size() != out.pixels.size()) return GreyImage();
    if (traits.layout == RawLayout::ColumnsBottomUp) {
        const int W = m.rawWidth, H = m.rawHeight;
        for (int i = 0; i < W; ++i)
            for (int j = 0; j < H; ++j) out.pixels[size_t(H - 1 - j) * W + i] = raw[size_t(i) * H + j];
    } else {
        out.pixels = raw;
    }
    return out;
}

GreyImage LibraryDecode(const ModelTraits& traits, int frameSizeMode, const GreyImage& d) {
    const ModeGeometry& m = Mode(traits, frameSizeMode);
    if (d.width != m.rawWidth || d.height != m.rawHeight) return GreyImage();
    switch (traits.layout) {
        case RawLayout::ColumnsBottomUp:
            return d;
        case RawLayout::RowsWindowFlipped: {
            if (m.sceneWidth == m.rawWidth && m.sceneHeight == m.rawHeight) return d;
            // Cut the window, then turn it top to bottom.
            GreyImage s(m.sceneWidth, m.sceneHeight);
            for (int r = 0; r < m.sceneHeight; ++r)
                std::memcpy(&s.pixels[size_t(m.sceneHeight - 1 - r) * m.sceneWidth],
                            &d.pixels[size_t(traits.windowY + r) * d.width + traits.windowX], size_t(m.sceneWidth));
            return s;
        }
        case RawLayout::Rotated180: {
            GreyImage s(d.width, d.height);
            const size_t n = d.pixels.size();
            for (size_t k = 0; k < n; ++k) s.pixels[k] = d.pixels[n - 1 - k];
            return s;
        }
    }
    return GreyImage();
}

bool IsReservedScenePixel(const ModelTraits& traits, int frameSizeMode, int x, int y) {
    const ModeGeometry& m = Mode(traits, frameSizeMode);
    switch (traits.layout) {
        case RawLayout::ColumnsBottomUp:
            // The masked line, and the header the driver stamps into column 0.
            return y == m.sceneHeight - 1 || (x == 0 && y >= m.sceneHeight - 1 - kHeaderBytes);
        case RawLayout::RowsWindowFlipped:
            if (m.sceneWidth != m.rawWidth || m.sceneHeight != m.rawHeight) return false;
            return y == 0 && x < kHeaderAt + kHeaderBytes;
        case RawLayout::Rotated180: {
            if (y != m.sceneHeight - 1) return false;
            const int k = m.sceneWidth - 1 - x;
            return (k >= 1 && k <= 4) || (k >= kHeaderAt && k < kHeaderAt + kHeaderBytes) || (k >= kLedStatusAt && k < kLedStatusAt + 7);
        }
    }
    return false;
}

}  // namespace sim
