#pragma once
// The simulated device models and their raw frame layouts.
//
// A scene is what the capture library holds after its per-model decode: upright, fingertips up.
// The device sends the raw bytes from which the driver's per-model copy and the library's decode
// rebuild that scene, so EncodeRaw is the inverse of DriverCopy followed by LibraryDecode.

#include <array>
#include <functional>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/Render.h"

namespace sim {

// Every USB scanner row of the driver's model table, the two report-sized scanners and the iris
// camera units. Rows without a named scanner (products 0x2110 to 0x2112) are plain 1600 x 1200
// units named after their product id.
enum class ModelId {
    PloverA, PloverE, PloverB, VireoA, IrisLeft, IrisRight,
    PloverC, PloverD, KestrelA, Finch, LinnetA, LinnetB, SiskinA, SiskinB, TanagerA, TanagerB, VireoB,
    Usb2110, Usb2111, Usb2112,
    KestrelB, KestrelC, KestrelD,  // FireWire: their preview and roll layouts, for SimKestrel
};

// How the driver copies the raw bytes into the delivered frame.
enum class RawLayout {
    ColumnsBottomUp,  // types 0 and 1: column by column, each column from the bottom row up
    RowsBottomUp,     // types 6 and 7: rows, the last one first
    Rows,             // every other type: rows as sent
};

// The capture library's preview-mode shift after the rotation.
enum class PreviewShift {
    None,
    DownRight,  // 12 rows down and 10 columns right, the first 13 rows white (PloverC)
    Left,       // 10 columns left, the last 10 columns white (PloverD)
    Right,      // 10 columns right, the first 10 columns white (the Kestrel FireWire scanners)
};

struct ModeGeometry {
    int rawWidth = 0, rawHeight = 0;      // frame as the driver delivers it
    int sceneWidth = 0, sceneHeight = 0;  // image after the library's decode
    double ppiX = 500, ppiY = 500;        // scene resolution
    uint16_t divisor = 1;                 // bulk reads per frame the device reports
    int windowX = 0, windowY = 0;         // where the decoded window starts in the delivered frame
    bool plain = false;  // the library has no decode for this size: the scene is the delivered frame
};

// The library's decode of a delivered frame: a window of it (scene size, or its transpose) turned
// into the scene. Scene pixel (x, y) comes from window column u, row v with
//   x' = flipX ? sceneWidth - 1 - x : x,  y' = flipY ? sceneHeight - 1 - y : y,
//   (u, v) = transpose ? (y', x') : (x', y'),
// then the negative models invert the grey level.
struct ModelTraits {
    ModelId id;
    const char* name;         // "PloverA"
    uint16_t vendorId;
    uint16_t productId;
    uint16_t bcdDevice;
    int modelType;  // the type the device reports
    RawLayout layout;
    std::array<ModeGeometry, 3> modes;  // FrameSizeMode 0 full, 1, 2
    double framePeriodMs;
    double platenBase, platenGain;  // platen brightness = base + gain * exposure
    bool scanner;                   // false for the iris camera
    bool syncBytes;                 // bytes 1..4 are FF 00 FF 00
    bool transpose = false, flipX = false, flipY = false;
    bool negative = false;          // the sensor delivers bright ridges on a dark ground
    bool cornerMasks = false;       // unlit optics corners the library whitens
    bool band = false;              // 25 rows from (raw width - 26) of the turned image, whitened
    PreviewShift previewShift = PreviewShift::None;
};

const ModelTraits& Traits(ModelId id);
std::optional<ModelId> ModelByName(std::string_view name);  // case-insensitive
std::vector<ModelId> AllModels();  // the USB models; the FireWire ones are named only by id

// Geometry of a FrameSizeMode; modes other than 1 and 2 are the full size.
const ModeGeometry& Mode(const ModelTraits& traits, int frameSizeMode);

// The 24-byte device text: model text in bytes 0..11, hardware word (ASCII) in 12..15,
// serial (u32) in 16..19, two packed dates (year - 2000 | day << 7 | month << 12) in 20..23.
std::array<uint8_t, 24> MakeDeviceText(const ModelTraits& traits, uint32_t serial, uint16_t date1, uint16_t date2);
uint16_t PackDate(int year, int month, int day);

// Bytes of the frame the device itself fills besides the scene.
struct RawExtras {
    const uint8_t* deviceText = nullptr;  // 24 bytes, written where the driver stamps its header
    const uint8_t* ledStatus = nullptr;   // 7 bytes at byte 60 (iris camera)
    bool brightFirstLine = false;          // types 0 and 1: the sensor's masked first line lit up
    // Types 0 and 1: the masked first line's level per raw column, instead of dark.
    std::function<uint8_t(int column)> firstLine;
};

// Raw bytes for a scene of the mode's scene size.
std::vector<uint8_t> EncodeRaw(const ModelTraits& traits, int frameSizeMode, const GreyImage& scene,
                               const RawExtras& extras = {});

// The driver's per-model copy of a raw frame into a delivered frame (rows from the top).
GreyImage DriverCopy(const ModelTraits& traits, int frameSizeMode, const std::vector<uint8_t>& raw);

// The capture library's decode of a delivered frame into the scene.
GreyImage LibraryDecode(const ModelTraits& traits, int frameSizeMode, const GreyImage& delivered);

// True for scene pixels that do not show the scene: device data (sync bytes, header, the masked
// first line), pixels the library whitens, and pixels it fills from a place another scene pixel
// comes from.
bool IsReservedScenePixel(const ModelTraits& traits, int frameSizeMode, int x, int y);
// The same for every pixel of the mode's scene, row by row.
std::vector<bool> ReservedScenePixels(const ModelTraits& traits, int frameSizeMode);

// Where a scene pixel comes from in the delivered frame.
struct SceneSource {
    enum Kind {
        Owned,   // this scene pixel alone comes from (x, y)
        Shared,  // the library copies (x, y) here, but another scene pixel owns it
        White,   // the library sets it to 255
    } kind = White;
    int x = 0, y = 0;
};
SceneSource SourceOf(const ModelTraits& traits, int frameSizeMode, int x, int y);

}  // namespace sim
