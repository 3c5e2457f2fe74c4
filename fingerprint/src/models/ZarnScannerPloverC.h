#pragma once
// The USB ten-print scanner with the 2912 x 4512 sensor (scanner type 601): ZarnScannerPloverC
// and its later revision ZarnScannerPloverD.
//
// Its frames come from the sensor turned a quarter round, with whole sensor lines that can read
// dark and unlit corners of the optics. FilterStream therefore repairs the defect lines of each
// frame (one defect-line list per video mode, found on the first frame of that mode), whitens the
// corners, turns the frame upright and whitens the band the optics leave at the bottom; preview
// frames are shifted into place. The scanner calibrates all three video modes itself, drives a
// 16-bit LED mask on two LED banks and takes hand images (types 7 to 14) like slaps.

#include <memory>
#include <mutex>

#include "../ZarnScannerBase.h"
#include "SensorFrames.h"

class ZarnScannerPloverC : public ZarnScannerBase {
public:
    ZarnScannerPloverC();
    ~ZarnScannerPloverC() override;

    int RotateImage(uint8_t* image, int w, int h) override;
    int SetCalibration(int withExposure) override;
    int GetImageTypeInfo(int imageType, ZarnImageInfo* info, int halfFlag) override;
    int FilterStream(uint8_t* buffer, long* length) override;
    int FillDeviceInfo(ZarnDeviceInfo* info) override;
    int BlinkLEDs() override;
    int SetAutoCaptureDefaults() override;
    int SetLEDs(int mask) override;
    int GetLEDs(int* mask) override;
    int GetFullModeResultImage() override;

    // The LED mask of an image type (active-low: a 0 bit lights an LED).
    static int LedMaskOf(int imageType);

    // Releases the three defect-line lists of the class (the destructor does it too).
    static void ReleaseDefectLines();
    // The defect-line list of a video mode as the frames have found it (null before the first frame).
    static void* DefectLineList(int videoMode);

protected:
    // Set by ZarnScannerPloverD.
    struct Variant {
        const char* className;
        bool contraRotate;      // turn with the base's ContraRotate90 instead of RotateImage
        bool stopBeforeResult;  // stop the stream before a full-mode result
    };

    // The class's process-wide state: the defect-line lists of the three modes and the blink phase.
    // Any object of the class releases the lists when it is destroyed; the lock keeps a frame of
    // another open scanner of the class from repairing with a list that is being released.
    struct ClassState {
        std::mutex lock;
        void* defectLines[3] = {};
        std::atomic<int> blinkPhase{0};
    };
    static ClassState& PloverCState();
    static ClassState& PloverDState();
    static void Release(ClassState& state);
    ZarnScannerPloverC(const char* name, const Variant& variant, ClassState& state);

private:
    int CalibrationPassPloverC(int mode, int withExposure);
    void WhitenCorners(uint8_t* frame, int mode, int w, int h) const;

    const Variant variant_;
    ClassState& state_;
    sensorframes::QuarterTurn quarterTurn_;
    int previewStep_ = 1;      // exposure step of the preview mode
};

class ZarnScannerPloverD : public ZarnScannerPloverC {
public:
    ZarnScannerPloverD();
    // Transposes a w x h image into h x w.
    int RotateImage(uint8_t* image, int w, int h) override;

    static void ReleaseDefectLines();
    static void* DefectLineList(int videoMode);
};
