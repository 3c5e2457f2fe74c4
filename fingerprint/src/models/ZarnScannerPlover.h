#pragma once
// The USB ten-print scanners with the 2944 x 1840 sensor: flat slaps, two thumbs, single flat
// fingers and rolled fingers. PloverA (type 502, hardware revision 0000), PloverE (502, any other
// revision) and PloverB (501) are one design; they differ in a few camera and output values.

#include <atomic>

#include "ZarnScannerBase.h"

// What sets the three models apart.
struct PloverVariant {
    int scannerType;
    const char* deviceName;   // device-description name
    const char* productText;  // product text of the device record
    int cameraFirst;          // property 0 of the full and roll passes
    int meanThreshold;        // full and roll
    const DistortionSet* distortion;  // full-mode and roll set; null: none (the base's zeros)
    int resultTransform;      // result and roll-output transform
    int previewTransform;     // flat- and roll-preview transform
    int frameReadyCount;
};

class ZarnScannerPlover : public ZarnScannerBase {
public:
    int GetImageTypeInfo(int imageType, ZarnImageInfo* info, int halfFlag) override;
    // Halves a full frame for the preview, unless the frame is wanted at full size.
    int FilterStream(uint8_t* buffer, long* length) override;
    int FillDeviceInfo(ZarnDeviceInfo* info) override;
    // One blink step of the LEDs of the current image type (LED bank 0, active-low).
    int BlinkLEDs() override;

    // The blink mask of an image type (a 0 bit lights an LED).
    static int BlinkMask(int imageType);

protected:
    ZarnScannerPlover(const PloverVariant& variant, std::atomic<int>& blinkPhase);

private:
    const char* productText_;
    std::atomic<int>& blinkPhase_;  // one per class, for the whole process
};

class ZarnScannerPloverA : public ZarnScannerPlover {
public:
    ZarnScannerPloverA();
};

class ZarnScannerPloverB : public ZarnScannerPlover {
public:
    ZarnScannerPloverB();
};

class ZarnScannerPloverE : public ZarnScannerPlover {
public:
    ZarnScannerPloverE();
};
