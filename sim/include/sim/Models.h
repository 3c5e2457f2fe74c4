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

enum class ModelId { PloverA, PloverE, PloverB, VireoA, IrisLeft, IrisRight };

enum class RawLayout {
    ColumnsBottomUp,  // types 0 and 1: column by column, each column from the bottom row up
    RowsWindowFlipped,  // VireoA: rows as sent; the scene sits flipped in a window
    Rotated180,       // iris camera: the scene turned half round
};

struct ModeGeometry {
    int rawWidth = 0, rawHeight = 0;      // frame as the driver delivers it
    int sceneWidth = 0, sceneHeight = 0;  // image after the library's decode
    double ppiX = 500, ppiY = 500;        // scene resolution
    uint16_t divisor = 1;                 // bulk reads per frame the device reports
};

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
    int windowX = 0, windowY = 0;   // VireoA: scene window in the raw frame
};

const ModelTraits& Traits(ModelId id);
std::optional<ModelId> ModelByName(std::string_view name);  // case-insensitive
std::vector<ModelId> AllModels();

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

// True for scene pixels that carry device data (sync bytes, header, the masked first line)
// instead of the scene.
bool IsReservedScenePixel(const ModelTraits& traits, int frameSizeMode, int x, int y);

}  // namespace sim
