#pragma once
// The vendor protocol of the scanners and the iris camera: request codes and the layout of the
// device report. Shared by the driver and the simulated devices.

#include <cstdint>

namespace platform::usb::tessik {

inline constexpr uint16_t kVendorId = 0x0547;
inline constexpr uint16_t kVendorIdAlt = 0x6D3B;

inline constexpr uint16_t kProductPloverB = 0x2130;
inline constexpr uint16_t kProductPloverA = 0x2150;  // PloverA (revision 0000) and PloverE
inline constexpr uint16_t kProductVireoA = 0x2160;
inline constexpr uint16_t kProductIris = 0x2113;

// Vendor requests.
enum VendorRequest : uint8_t {
    kReqLedGroup1 = 0x80,      // OUT 1: property 11
    kReqLedGroup0 = 0x81,      // OUT 1: property 12
    kReqBeeper = 0x82,         // OUT 1: property 13
    kReqStartCapture = 0xB2,   // command
    kReqStopCapture = 0xB3,    // command
    kReqSetExposure = 0xB4,    // OUT 1
    kReqSetContrast = 0xB5,    // OUT 1
    kReqGetBrightness = 0xB6,  // IN 1
    kReqGetContrast = 0xB7,    // IN 1
    kReqSetBrightness = 0xB8,  // OUT 1
    kReqSet14 = 0xB9,          // OUT 1
    kReqDeviceReport = 0xBA,   // IN 22
    kReqGetExposure = 0xBB,    // IN 1 or 2
    kReqGet10 = 0xBC,          // IN 1
    kReqDeviceHeader = 0xC1,   // IN 26 or 4
    kReqFrameSizeMode2 = 0xC3, // command
    kReqFrameSizeMode1 = 0xC4, // command
    kReqSet18 = 0xC5,          // OUT 4
    kReqSet19 = 0xC6,          // OUT 2
    kReqSet22 = 0xC7,          // OUT 1
    kReqGet22 = 0xC8,          // IN 1
    kReqSet17 = 0xC9,          // OUT 2
    kReqGet15 = 0xCA,          // IN 2
    kReqGetKeys = 0xCB,        // IN 1: keys and foot switch (property 16)
    kReqSet21 = 0xCC,          // OUT 2
    kReqSetLed = 0xCD,         // OUT 2: LedControl
    kReqGetLedStatus = 0xCF,   // IN 7
    kReqGet18 = 0xD0,          // IN 4
    kReqGetSensorType = 0xD1,  // IN 4
    kReqSetSensorType = 0xD2,  // OUT 4
};

// Device report (IN 0xBA): eleven little-endian 16-bit words in this order.
inline constexpr int kDeviceReportBytes = 22;
enum DeviceReportWord {
    kReportFullWidth, kReportFullHeight,
    kReportMode2Width, kReportMode2Height,
    kReportMode1Width, kReportMode1Height,
    kReportFullDivisor, kReportMode2Divisor, kReportMode1Divisor,
    kReportModelType, kReportFrameTimeoutMs,
};

inline constexpr int kDeviceHeaderBytes = 26;
inline constexpr int kLedStatusBytes = 7;

// Bits of the keys and foot switch byte.
inline constexpr uint8_t kKeyFootSwitch = 0x04;

inline constexpr uint32_t kSensor640x480 = 0x11C3502;

}  // namespace platform::usb::tessik
