#pragma once
// The single-finger USB scanners: ZarnScannerFinch, ZarnScannerLinnetA, ZarnScannerLinnetB,
// ZarnScannerSiskinA, ZarnScannerSiskinB, ZarnScannerTanagerA, ZarnScannerTanagerB and
// ZarnScannerVireoB.
//
// They share one shape, held in a table row per model (ZarnSingleFingerModel::Def): geometry and
// camera defaults, the image types they accept (single flat fingers; VireoB also rolled fingers
// and two thumbs), a decode that checks the frame's sync bytes and cuts the finger window out of
// the 1600 x 1200 frame, and the device information record. Finch reduces its frame to a
// 288 x 352 image at 250 ppi and has its own calibration and flat result; the Siskin pair resizes
// a negative 640 x 480 frame and calibrates without the camera; VireoB turns its frame upright and
// delivers 1000 ppi results.

#include <memory>
#include <vector>

#include "../ZarnScannerBase.h"
#include "SensorFrames.h"

class ZarnSingleFingerModel : public ZarnScannerBase {
public:
    struct Geometry {
        int width, height, xResolution, yResolution;
    };
    struct Def {
        const char* className;
        int scannerType;
        const char* name;     // device-description name
        const char* pid;      // USB product-id text
        const char* product;  // product text of the device record
        Geometry fullFrame, fullImage, flatResult;
        bool hasRoll;
        Geometry rollFrame, rollImage, rollOutput;
        Geometry previewImage, previewResult;
        int cameraFull[3], cameraRoll[3];
        int meanThreshold;
        std::vector<int> properties;  // supported property indices
        int stretchPercent;
        int resultTransform, flatPreviewTransform, rollPreviewTransform;  // -1: the base's
        DistortionSet fullSet, rollSet, flatSet;
        bool syncTest;
        // The finger window of the frame (rows top..bottom, columns left..right) and its turn.
        int top, bottom, left, right;
        sensorframes::WindowTurn turn;
        bool rollAndThumbs;   // accepts rolled fingers and two thumbs as well
        bool halfIsPreviewImage;  // the half flag gives the preview image instead of the preview result
        uint32_t resolution;  // of the device record
        bool hardwareWord;    // the device record carries the hardware word
    };

    explicit ZarnSingleFingerModel(const Def& def);

    int GetImageTypeInfo(int imageType, ZarnImageInfo* info, int halfFlag) override;
    int FilterStream(uint8_t* buffer, long* length) override;
    int FillDeviceInfo(ZarnDeviceInfo* info) override;

    const Def& def() const { return def_; }

protected:
    // The window cut of the decode, before the final flip; LinnetA whitens its corners here.
    virtual void AfterWindowCut(uint8_t*) {}

    const Def& def_;
};

class ZarnScannerLinnetA : public ZarnSingleFingerModel {
public:
    ZarnScannerLinnetA();

protected:
    // The two top corners of the window are unlit: row r below 714 loses 34 - r / 21 bytes at
    // each end.
    void AfterWindowCut(uint8_t* image) override;
};

class ZarnScannerLinnetB : public ZarnSingleFingerModel {
public:
    ZarnScannerLinnetB();
};

class ZarnScannerTanagerA : public ZarnSingleFingerModel {
public:
    ZarnScannerTanagerA();
};

class ZarnScannerTanagerB : public ZarnSingleFingerModel {
public:
    ZarnScannerTanagerB();
};

// The Siskin pair: a negative 640 x 480 frame resized to 448 x 466 and inverted; no sync bytes.
class ZarnScannerSiskin : public ZarnSingleFingerModel {
public:
    explicit ZarnScannerSiskin(const Def& def);
    int FilterStream(uint8_t* buffer, long* length) override;
    // Marks the scanner calibrated; takes no frame.
    int SetCalibration(int mode) override;
    // Forwards to ResizeBilinear: (in, in width, in height, out, &out width, &out height).
    int ScaleToResult(const uint8_t* in, int inWidth, int inHeight, uint8_t* out, int* outWidth, int* outHeight) override;

private:
    std::vector<uint8_t> work_;  // the resized frame, before it is inverted into the frame
};

class ZarnScannerSiskinA : public ZarnScannerSiskin {
public:
    ZarnScannerSiskinA();
};

class ZarnScannerSiskinB : public ZarnScannerSiskin {
public:
    ZarnScannerSiskinB();
};

// VireoB: the 1536 x 2144 frame turned upright as PloverC turns its frames, then flipped; 1000 ppi
// results; no sync test.
class ZarnScannerVireoB : public ZarnSingleFingerModel {
public:
    ZarnScannerVireoB();
    int RotateImage(uint8_t* image, int w, int h) override;
    int FilterStream(uint8_t* buffer, long* length) override;

private:
    sensorframes::QuarterTurn quarterTurn_;
};

// Finch: a 1600 x 1200 frame at 800 x 750 ppi reduced to a 288 x 352 image at 250 ppi and inverted
// (the sensor gives a negative image); an embedded background image; its own calibration and flat
// result.
class ZarnScannerFinch : public ZarnSingleFingerModel {
public:
    ZarnScannerFinch();
    ~ZarnScannerFinch() override;

    // 90 degrees clockwise: output row r, column c = input row h - 1 - c, column r. -1 when the
    // copy cannot be allocated.
    int RotateImage(uint8_t* image, int w, int h) override;
    int SetCalibration(int mode) override;
    int FilterStream(uint8_t* buffer, long* length) override;
    // (reduced image, its width, its height, frame, &result width, &result height): the reduced
    // image into the frame at the result size, against the background, inverted.
    int ScaleToResult(const uint8_t* in, int inWidth, int inHeight, uint8_t* out, int* outWidth, int* outHeight) override;
    int FlatResultOutput() override;

    const uint8_t* Background() const { return background_; }

    // The part of the frame the reduction takes: centred, as wide and high as the result at 250 ppi.
    static constexpr int kWindowWidth = 922, kWindowHeight = 1056;
    static constexpr int kWindowLeft = (1600 - kWindowWidth) / 2, kWindowTop = (1200 - kWindowHeight) / 2;

private:
    uint8_t* background_ = nullptr;  // flat-result bytes; made by the first calibration
    std::vector<uint8_t> reduced_;   // the frame reduced to the result size
};

// The background image embedded in the library (type "RAW", id 106): 288 x 352 bytes. Null with
// size 0 for any other type or id.
const uint8_t* FindLibraryResource(const char* type, int id, size_t* size);
