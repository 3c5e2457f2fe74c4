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
constexpr uint8_t kUnlit = 16;     // what the sensor sees in the unlit corners of the optics
constexpr int kHeaderAt = 12;      // device text in the frames of all but types 0 and 1
constexpr int kHeaderBytes = 26;   // the driver stamps this many
constexpr int kLedStatusAt = 60;
constexpr int kLedStatusBytes = 7;

ModelTraits Base(ModelId id, const char* name, uint16_t pid, uint16_t bcd, int type, RawLayout layout) {
    ModelTraits s{};
    s.id = id;
    s.name = name;
    s.vendorId = proto::kVendorId;
    s.productId = pid;
    s.bcdDevice = bcd;
    s.modelType = type;
    s.layout = layout;
    s.framePeriodMs = 266.6666;
    s.platenBase = 130;
    s.platenGain = 2.5;
    s.scanner = true;
    s.syncBytes = false;
    return s;
}

ModelTraits Plover(ModelId id, const char* name, uint16_t pid, uint16_t bcd, int type) {
    ModelTraits s = Base(id, name, pid, bcd, type, RawLayout::ColumnsBottomUp);
    // Full: the whole platen at 850 x 600 ppi; mode 1 (roll): a central part at full resolution;
    // mode 2 (preview): the whole platen at half resolution.
    s.modes[0] = {2944, 1840, 2944, 1840, 850, 600, 23};
    s.modes[1] = {1408, 880, 1408, 880, 850, 600, 5};
    s.modes[2] = {1472, 920, 1472, 920, 425, 300, 5};
    return s;
}

// The 2912 x 4512 sensor behind a rotating decode: full, roll and preview frames, each turned a
// quarter round into the image, with unlit corners and a white band.
ModelTraits PloverCD(ModelId id, const char* name, uint16_t bcd, bool plainTranspose) {
    ModelTraits s = Base(id, name, 0x2170, bcd, 8, RawLayout::Rows);
    s.modes[0] = {2912, 4512, 4512, 2912, 850, 600, 329};
    s.modes[1] = {832, 1552, 1552, 832, 850, 600, 13};
    s.modes[2] = {1456, 1504, 1504, 1456, 280, 300, 7};
    s.transpose = true;
    s.flipY = true;
    s.flipX = !plainTranspose;
    s.cornerMasks = true;
    s.band = true;
    s.previewShift = plainTranspose ? PreviewShift::Left : PreviewShift::DownRight;
    s.syncBytes = true;  // checked by the driver for every type above 7; they lie in an unlit corner
    return s;
}

// A 1600 x 1200 single-finger sensor with sync bytes; the image is a window of the frame. Mode 2
// is the driver's 768 x 600 size, which the capture library never decodes.
ModelTraits SingleFinger(ModelId id, const char* name, uint16_t pid, uint16_t bcd, int type, ModeGeometry full) {
    ModelTraits s = Base(id, name, pid, bcd, type, RawLayout::Rows);
    s.modes[0] = full;
    s.modes[1] = full;
    s.modes[2] = {768, 600, 768, 600, full.ppiX / 2, full.ppiY / 2, 4, 0, 0, true};
    s.platenGain = 1.15;
    s.syncBytes = true;
    return s;
}

ModelTraits Siskin(ModelId id, const char* name, uint16_t pid, int type) {
    ModelTraits s = Base(id, name, pid, 0x0000, type, RawLayout::RowsBottomUp);
    s.modes[0] = s.modes[1] = s.modes[2] = ModeGeometry{640, 480, 640, 480, 700, 500, 4};
    s.platenGain = 1.15;
    s.negative = true;
    s.flipY = true;  // the library's decode ends with a top-to-bottom flip, as on the other single-finger models
    return s;
}

std::vector<ModelTraits> MakeTable() {
    std::vector<ModelTraits> t(size_t(ModelId::KestrelD) + 1);
    auto put = [&](const ModelTraits& s) { t[size_t(s.id)] = s; };
    put(Plover(ModelId::PloverA, "PloverA", proto::kProductPloverA, 0x0000, 1));
    put(Plover(ModelId::PloverE, "PloverE", proto::kProductPloverA, 0x0100, 1));
    put(Plover(ModelId::PloverB, "PloverB", proto::kProductPloverB, 0x0000, 0));

    ModelTraits v = SingleFinger(ModelId::VireoA, "VireoA", proto::kProductVireoA, 0x0000, 4,
                                 {1600, 1200, 1496, 945, 850, 600, 5, 58, 56});
    v.modes[2].ppiX = 425, v.modes[2].ppiY = 300;
    // The sensor answers exposure as PloverA's does (the same 850 x 600 ppi optics and mean
    // threshold 220): at the camera's power-on exposure 40 the empty platen lies just above it.
    v.platenGain = 2.5;
    v.flipY = true;
    put(v);

    ModelTraits iris = Base(ModelId::IrisLeft, "IrisLeft", proto::kProductIris, 0x0000, 15, RawLayout::Rows);
    iris.modes[0] = iris.modes[1] = iris.modes[2] = ModeGeometry{640, 480, 640, 480, 500, 500, 4};
    iris.framePeriodMs = 33.3333;
    iris.scanner = false;
    iris.syncBytes = true;
    iris.flipX = iris.flipY = true;  // the camera sits upside down
    put(iris);
    iris.id = ModelId::IrisRight;
    iris.name = "IrisRight";
    put(iris);

    put(PloverCD(ModelId::PloverC, "PloverC", 0x0000, false));
    put(PloverCD(ModelId::PloverD, "PloverD", 0x0100, true));

    // Sizes from its device report: 32 header rows above a window that is transposed and turned
    // top to bottom. It has no preview size; mode 2 is the full frame. Like every type above 7 it
    // starts its frames with the sync pattern, which the driver checks. Its optics have no
    // keystone; they stretch the platen across by a tenth, which the library's resize to its
    // 1000 ppi results takes back (3520 -> 3200 flat, 1760 -> 1600 rolled, 880 -> 800 preview).
    ModelTraits k = Base(ModelId::KestrelA, "KestrelA", 0x2158, 0x0000, 16, RawLayout::Rows);
    k.modes[0] = {3024, 3584, 3520, 3000, 1100, 1000, 8, 12, 32};
    k.modes[1] = {1520, 1792, 1760, 1500, 1100, 1000, 4, 8, 32};
    k.modes[2] = k.modes[0];
    k.transpose = true;
    k.flipY = true;
    k.syncBytes = true;
    put(k);

    ModelTraits f = SingleFinger(ModelId::Finch, "Finch", 0x2141, 0x0000, 9, {1600, 1200, 1600, 1200, 800, 750, 5});
    f.negative = true;
    put(f);
    ModelTraits la = SingleFinger(ModelId::LinnetA, "LinnetA", 0x2140, 0x0000, 2, {1600, 1200, 860, 768, 800, 750, 5, 388, 168});
    la.flipX = la.flipY = true;
    put(la);
    ModelTraits lb = SingleFinger(ModelId::LinnetB, "LinnetB", 0x2140, 0x0100, 2, {1600, 1200, 996, 936, 700, 500, 5, 302, 132});
    lb.flipX = lb.flipY = true;
    put(lb);
    put(Siskin(ModelId::SiskinA, "SiskinA", 0x2102, 6));
    put(Siskin(ModelId::SiskinB, "SiskinB", 0x2100, 7));
    ModelTraits ta = SingleFinger(ModelId::TanagerA, "TanagerA", 0x2120, 0x0000, 3, {1600, 1200, 720, 508, 700, 500, 5, 442, 346});
    ta.flipX = true;
    put(ta);
    ModelTraits tb = SingleFinger(ModelId::TanagerB, "TanagerB", 0x2120, 0x0100, 3, {1600, 1200, 712, 480, 700, 500, 5, 444, 360});
    tb.flipX = true;
    put(tb);

    // Sizes from its device report; the decode turns the frame as PloverC does and then top to
    // bottom. The library does not test its sync bytes, but the driver does.
    ModelTraits vb = Base(ModelId::VireoB, "VireoB", 0x2161, 0x0000, 13, RawLayout::Rows);
    vb.modes[0] = vb.modes[1] = vb.modes[2] = ModeGeometry{1536, 2144, 2144, 1536, 1200, 1200, 8};
    vb.transpose = true;
    vb.flipX = true;
    vb.syncBytes = true;
    put(vb);

    // Rows of the driver's table without a named scanner: the frame is the image.
    const ModeGeometry plainFull{1600, 1200, 1600, 1200, 500, 500, 5, 0, 0, true};
    put(SingleFinger(ModelId::Usb2110, "Usb2110", 0x2110, 0x0000, 10, plainFull));
    put(SingleFinger(ModelId::Usb2111, "Usb2111", 0x2111, 0x0000, 5, plainFull));
    put(SingleFinger(ModelId::Usb2112, "Usb2112", 0x2112, 0x0000, 11, plainFull));

    // The FireWire scanners: full frames go out as tagged parts (SimKestrel), the roll frame as
    // it is; the preview is whitened in its corners, turned (KestrelB as PloverC, KestrelC and
    // KestrelD a transpose turned top to bottom), banded (not KestrelD) and shifted right. The
    // roll window's optics draw the glass at 1340 x 1024 ppi, which the library's resize of the
    // 2144 x 1536 roll frame to its 1600 x 1500 roll output at 1000 ppi takes back.
    auto kestrel = [&](ModelId id, const char* name, bool plainTranspose, bool band) {
        ModelTraits s = Base(id, name, 0, 0, 602, RawLayout::Rows);
        s.vendorId = 0;  // no USB device
        s.modes[0] = {2912, 4512, 2912, 4512, 600, 850, 1, 0, 0, true};
        s.modes[1] = {2144, 1536, 2144, 1536, 1340, 1024, 1, 0, 0, true};
        s.modes[2] = {1456, 1504, 1504, 1456, 280, 300, 1};
        s.transpose = s.flipY = true;
        s.flipX = !plainTranspose;
        s.cornerMasks = true;
        s.band = band;
        s.previewShift = PreviewShift::Right;
        put(s);
    };
    kestrel(ModelId::KestrelB, "KestrelB", false, true);
    kestrel(ModelId::KestrelC, "KestrelC", true, true);
    kestrel(ModelId::KestrelD, "KestrelD", true, false);
    return t;
}

const std::vector<ModelTraits>& Table() {
    static const std::vector<ModelTraits> table = MakeTable();
    return table;
}

uint8_t SceneMean(const GreyImage& scene) {
    if (scene.pixels.empty()) return 128;
    uint64_t sum = 0, n = 0;
    for (size_t i = 0; i < scene.pixels.size(); i += 97, ++n) sum += scene.pixels[i];
    return uint8_t(std::max<uint64_t>(1, sum / n));
}

bool Plain(const ModelTraits& t, const ModeGeometry& m) {
    return m.plain || (!t.transpose && !t.flipX && !t.flipY && !t.cornerMasks && m.windowX == 0 && m.windowY == 0 &&
                       m.sceneWidth == m.rawWidth && m.sceneHeight == m.rawHeight);
}

// Where each scene pixel of one model and mode comes from; built once per frame, asked per pixel.
class Mapper {
public:
    Mapper(const ModelTraits& t, int mode)
        : t_(t), m_(Mode(t, mode)), mode_(mode == 1 || mode == 2 ? mode : 0), plain_(Plain(t, m_)),
          shift_(mode_ == 2 ? t.previewShift : PreviewShift::None) {}

    bool plain() const { return plain_; }

    SceneSource operator()(int x, int y) const {
        SceneSource s{SceneSource::Owned, x, y};
        if (plain_) return s;
        const int sw = m_.sceneWidth, sh = m_.sceneHeight;
        // The preview shift moves the rotated picture; (x, y) becomes a place in the rotated image.
        if (shift_ == PreviewShift::DownRight) {
            if (y < 13) return {SceneSource::White};
            if (x < 10) s.kind = SceneSource::Shared;  // left in place, a copy of what moved right
            else x -= 10, y -= 12;
        } else if (shift_ == PreviewShift::Left) {
            if (x >= sw - 10) return {SceneSource::White};
            x += 10;
        } else if (shift_ == PreviewShift::Right) {
            if (x < 10) return {SceneSource::White};
            x -= 10;
        }
        // The white band of the rotated image: 25 rows from (raw width - 26).
        if (t_.band && y >= m_.rawWidth - 26 && y <= m_.rawWidth - 2) return {SceneSource::White};
        const int xf = t_.flipX ? sw - 1 - x : x;
        const int yf = t_.flipY ? sh - 1 - y : y;
        s.x = m_.windowX + (t_.transpose ? yf : xf);
        s.y = m_.windowY + (t_.transpose ? xf : yf);
        if (t_.cornerMasks && InCornerMask(s.x, s.y)) return {SceneSource::White};
        return s;
    }

private:
    // The unlit corners of the optics, in delivered (= raw) rows, as the capture library whitens
    // them.
    bool InCornerMask(int x, int y) const {
        const int h = m_.rawHeight;
        switch (mode_) {
            case 1:
                if (y <= 216) return true;
                if (y <= 234) return x < 832 - 12 * (y - 216);
                return false;
            case 2:
                if (y < 92) return x < 971 - 10 * y;
                if (y >= h - 93 && y < h - 1) return x < 10 * (y - (h - 93));
                return false;
            default:
                if (y < 255) return x < 2912 - 11 * y;
                if (y >= h - 256 && y < h - 1) return x < 11 * (y - (h - 256));
                return false;
        }
    }

    const ModelTraits& t_;
    const ModeGeometry& m_;
    const int mode_;
    const bool plain_;
    const PreviewShift shift_;
};

// Delivered pixels that carry device data instead of the sensor's picture.
bool IsDeviceData(const ModelTraits& t, const ModeGeometry& m, int x, int y) {
    if (t.layout == RawLayout::ColumnsBottomUp)
        // The masked line, and the header the driver stamps into column 0.
        return y == m.rawHeight - 1 || (x == 0 && y >= m.rawHeight - 1 - kHeaderBytes);
    const int rawRow = t.layout == RawLayout::RowsBottomUp ? m.rawHeight - 1 - y : y;
    if (rawRow != 0) return false;
    return (t.syncBytes && x >= 1 && x <= 4) || (x >= kHeaderAt && x < kHeaderAt + kHeaderBytes) ||
           (t.modelType > 11 && x >= kLedStatusAt && x < kLedStatusAt + kLedStatusBytes);
}

}  // namespace

const ModelTraits& Traits(ModelId id) { return Table()[size_t(id)]; }

std::vector<ModelId> AllModels() {
    std::vector<ModelId> all;
    for (const ModelTraits& s : Table())
        if (s.vendorId) all.push_back(s.id);
    return all;
}

std::optional<ModelId> ModelByName(std::string_view name) {
    auto lower = [](std::string_view s) {
        std::string r(s);
        for (char& c : r) c = char(std::tolower(static_cast<unsigned char>(c)));
        return r;
    };
    for (const ModelTraits& s : Table())
        if (s.vendorId && lower(s.name) == lower(name)) return s.id;
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

SceneSource SourceOf(const ModelTraits& traits, int frameSizeMode, int x, int y) { return Mapper(traits, frameSizeMode)(x, y); }

std::vector<uint8_t> EncodeRaw(const ModelTraits& traits, int frameSizeMode, const GreyImage& scene, const RawExtras& extras) {
    const ModeGeometry& m = Mode(traits, frameSizeMode);
    const int W = m.rawWidth, H = m.rawHeight;
    std::vector<uint8_t> raw(size_t(W) * H);
    if (scene.width != m.sceneWidth || scene.height != m.sceneHeight) return raw;
    const bool negative = traits.negative && !m.plain;

    // The delivered frame: the scene put back where the decode takes it from.
    const Mapper source(traits, frameSizeMode);
    // Kept per thread: a simulated device encodes a frame of several megapixels every period.
    thread_local GreyImage delivered;
    if (source.plain()) {
        delivered = scene;
        if (negative)
            for (uint8_t& v : delivered.pixels) v = uint8_t(255 - v);
    } else {
        const uint8_t ground = traits.cornerMasks ? kUnlit : SceneMean(scene);
        delivered.width = W;
        delivered.height = H;
        delivered.pixels.assign(size_t(W) * H, negative ? uint8_t(255 - ground) : ground);
        for (int y = 0; y < scene.height; ++y)
            for (int x = 0; x < scene.width; ++x) {
                const SceneSource s = source(x, y);
                if (s.kind == SceneSource::Owned) delivered.at(s.x, s.y) = negative ? uint8_t(255 - scene.at(x, y)) : scene.at(x, y);
            }
    }

    // The raw bytes the driver's copy turns into that frame.
    switch (traits.layout) {
        case RawLayout::ColumnsBottomUp:
            for (int i = 0; i < W; ++i) {
                uint8_t* column = &raw[size_t(i) * H];
                for (int j = 0; j < H; ++j) column[j] = delivered.pixels[size_t(H - 1 - j) * W + i];
                // The sensor's first line is masked: dark, which the driver checks.
                column[0] = extras.brightFirstLine ? kBrightLine : extras.firstLine ? extras.firstLine(i) : kDarkLine;
            }
            if (extras.deviceText) std::memcpy(&raw[1], extras.deviceText, 24);
            return raw;
        case RawLayout::RowsBottomUp:
            for (int r = 0; r < H; ++r)
                std::memcpy(&raw[size_t(r) * W], &delivered.pixels[size_t(H - 1 - r) * W], size_t(W));
            break;
        case RawLayout::Rows:
            raw = std::move(delivered.pixels);
            break;
    }
    if (extras.deviceText) std::memcpy(&raw[kHeaderAt], extras.deviceText, 24);
    if (extras.ledStatus) std::memcpy(&raw[kLedStatusAt], extras.ledStatus, kLedStatusBytes);
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
    const int W = m.rawWidth, H = m.rawHeight;
    GreyImage out(W, H);
    if (raw.size() != out.pixels.size()) return GreyImage();
    switch (traits.layout) {
        case RawLayout::ColumnsBottomUp:
            for (int i = 0; i < W; ++i)
                for (int j = 0; j < H; ++j) out.pixels[size_t(H - 1 - j) * W + i] = raw[size_t(i) * H + j];
            break;
        case RawLayout::RowsBottomUp:
            for (int r = 0; r < H; ++r) std::memcpy(&out.pixels[size_t(r) * W], &raw[size_t(H - 1 - r) * W], size_t(W));
            break;
        case RawLayout::Rows:
            out.pixels = raw;
            break;
    }
    return out;
}

GreyImage LibraryDecode(const ModelTraits& traits, int frameSizeMode, const GreyImage& d) {
    const ModeGeometry& m = Mode(traits, frameSizeMode);
    if (d.width != m.rawWidth || d.height != m.rawHeight) return GreyImage();
    if (m.plain) return d;
    const bool negative = traits.negative;
    const Mapper source(traits, frameSizeMode);
    GreyImage s(m.sceneWidth, m.sceneHeight, 255);
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x) {
            const SceneSource src = source(x, y);
            if (src.kind == SceneSource::White) continue;
            const uint8_t v = d.at(src.x, src.y);
            s.at(x, y) = negative ? uint8_t(255 - v) : v;
        }
    return s;
}

bool IsReservedScenePixel(const ModelTraits& traits, int frameSizeMode, int x, int y) {
    const SceneSource s = Mapper(traits, frameSizeMode)(x, y);
    if (s.kind != SceneSource::Owned) return true;
    return IsDeviceData(traits, Mode(traits, frameSizeMode), s.x, s.y);
}

std::vector<bool> ReservedScenePixels(const ModelTraits& traits, int frameSizeMode) {
    const ModeGeometry& m = Mode(traits, frameSizeMode);
    const Mapper source(traits, frameSizeMode);
    std::vector<bool> reserved(size_t(m.sceneWidth) * m.sceneHeight);
    for (int y = 0; y < m.sceneHeight; ++y)
        for (int x = 0; x < m.sceneWidth; ++x) {
            const SceneSource s = source(x, y);
            reserved[size_t(y) * m.sceneWidth + x] = s.kind != SceneSource::Owned || IsDeviceData(traits, m, s.x, s.y);
        }
    return reserved;
}

}  // namespace sim
