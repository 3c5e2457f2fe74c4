#pragma once
// The ten-print scanner models.
//
// ZarnScannerKestrelA (type 503) is a 1000 ppi USB scanner without a preview mode: its frames carry
// 32 header rows and a left margin, and the model cuts, decimates, repairs and turns them itself.
//
// ZarnScannerKestrelB, ZarnScannerKestrelC and ZarnScannerKestrelD (type 602, sub-types 0, 1 and 2)
// are the FireWire scanners. They share ZarnScannerKestrelFamily, which holds what the three do
// alike: geometry, masks, rotation, LEDs, device record and the collection of the four tagged full
// frames (129 to 132 in byte 5) that make one full-resolution result. KestrelB and KestrelC combine
// the four parts with SR3 (Detailer.h); KestrelD places them on an interleaved grid of twice the
// width and height, sharpens the grid row by row and transposes it.
//
// Everything read from a frame is untrusted: a tag outside 129..132, a repeated or missing part or a
// short frame gives a failure code and never a read outside a buffer.

#include <atomic>
#include <cstdint>

#include "ZarnScannerBase.h"

struct BSRT;

// The LED mask of an image type on the ten-print models: 16 bits, a cleared bit lights an LED
// (bits 0..4 right thumb to little finger, bits 8..12 left thumb to little finger). Types outside
// 0..32 light nothing (0xFFFF).
uint16_t KestrelLedMask(int imageType);

// Iterative row sharpening of an 8-bit image in place (width a multiple of 16): each row's 5-tap
// binomial blur is driven towards the 3-tap blur of the unfiltered row, `passes` times, in 16-bit
// saturating arithmetic. Returns 1; 0 for bad arguments (nothing changed).
int SmoothImageRows(uint8_t* image, int width, int height, int passes);
// destination (h wide, w high) row i = source column i. Returns 0.
int TransposeImage(const uint8_t* source, uint8_t* destination, int sourceWidth, int sourceHeight);

// What the ten-print models do alike: the 16-bit LED mask goes out as property 12 (low byte) and
// property 11 (high byte); blinking alternates the image type's mask with all off; the device
// record comes from the 24 bytes of device text (dates packed as year - 2000 | day << 7 |
// month << 12; an invalid first date gives the serial 0000 and the fallback date).
int SetTenPrintLEDs(ZarnScannerBase& scanner, int mask);
int BlinkTenPrintLEDs(ZarnScannerBase& scanner, int& phase);
// Exposure search and camera defaults of the ten-print models: mean thresholds 220, exposure 0..255
// in steps of 1 (full) and 2 (roll), model threshold 250, properties 0, 1 and 10..19, and the
// model's variance threshold.
void SetTenPrintExposureDefaults(ZarnScannerBase& scanner, float varThreshold);
// Destroys a model's three defect-line lists and clears them.
void DestroyDefectLines(void* (&lists)[3]);
void FillTenPrintDeviceInfo(const char* text, ZarnDeviceInfo* info, const char* product, int secondDateAt,
                            const int fallback[3]);

class ZarnScannerKestrelA : public ZarnScannerBase {
public:
    ZarnScannerKestrelA();
    ~ZarnScannerKestrelA() override;

    int CropLowerCentre(const uint8_t* in, int w, int h, uint8_t* out, int* outW, int* outH) override;
    int RotateImage(uint8_t* image, int width, int height) override;
    int SetCalibration(int mode) override;
    int GetImageTypeInfo(int imageType, ZarnImageInfo* info, int halfFlag) override;
    int FilterStream(uint8_t* buffer, long* length) override;
    int FillDeviceInfo(ZarnDeviceInfo* info) override;
    int BlinkLEDs() override;
    int SetAutoCaptureDefaults() override;
    int SetLEDs(int mask) override;
    int GetLEDs(int* mask) override;

    // The defect-line list FilterStream repairs with (the model has three; one serves both modes).
    void* m_pDefectLines[3] = {};

private:
    int CalibrationPassA(bool full, int mode);
    int m_nBlinkPhase = 0;
};

class ZarnScannerKestrelFamily : public ZarnScannerBase {
public:
    enum class Variant { B, C, D };
    ~ZarnScannerKestrelFamily() override;

    int RotateImage(uint8_t* image, int width, int height) override;
    int ProcessingAfterAcquired() override;
    int SetCalibration(int mode) override;
    int GetImageTypeInfo(int imageType, ZarnImageInfo* info, int halfFlag) override;
    int FilterStream(uint8_t* buffer, long* length) override;
    int FillDeviceInfo(ZarnDeviceInfo* info) override;
    int BlinkLEDs() override;
    int SetAutoCaptureDefaults() override;
    int SetLEDs(int mask) override;
    int GetLEDs(int* mask) override;
    int GetFullModeResultImage() override;
    int GetFullModeResultImage_Step2() override;
    // Flat: the assembled image, keystone-corrected to 5104 x 5000. Roll: the last roll in place
    // (KestrelC, without rolls, keeps the base's).
    int FlatResultOutput() override;
    int RollingResultOutput() override;

    // The corner masks FilterStream applies inline, also on their own (full frame, preview frame,
    // roll frame; each on an image of that frame's size).
    void MaskFullCorners(uint8_t* image) const;
    void MaskPreviewCorners(uint8_t* image) const;
    void MaskRollCorners(uint8_t* image) const;

    Variant GetVariant() const { return variant_; }
    const char* ClassName() const { return className_; }

    // Full-result assembly state.
    std::atomic<int> m_nCollectState{0};   // 0 idle, 1 collecting, 2 all four parts present
    std::atomic<int> m_nCollectedMask{0};  // parts combined so far (bit n = part n)
    std::atomic<int> m_nLastPart{-1};      // last part FilterStream collected
    std::atomic<int> m_nPartsMask{0};      // parts FilterStream collected in this round
    int m_nStitchCount = 0;                // combining calls made
    BSRT* m_pStitched = nullptr;           // SR3 output (KestrelB, KestrelC)
    void* m_pDefectLines[3] = {};          // full, preview, spare
    std::atomic<int> m_nLastTag{0};        // part number of the last full frame
    int m_nPreviewStep = 1;

    // Rounds of 100 ms the collection waits for the four parts (result capture / calibration).
    static constexpr int kResultRounds = 100;
    static constexpr int kCalibrationRounds = 300;

protected:
    ZarnScannerKestrelFamily(Variant variant, const char* name, const char* className);
    // Combines part `index` (its quarter of the quad block) into the result; count of calls so far.
    virtual int CombinePart(int index);
    int CollectParts(int rounds, bool combine);
    // The full mode and its four parts, each combined as it arrives: 0 with the full-mode capture
    // flag still set (Step 2 clears it), or the first failure with the flag cleared.
    int CaptureParts();
    int CalibrationPassF(int pass, int mode);

    const Variant variant_;
    const char* const className_;
    int m_nBlinkPhase = 0;
};

class ZarnScannerKestrelB : public ZarnScannerKestrelFamily {
public:
    ZarnScannerKestrelB() : ZarnScannerKestrelFamily(Variant::B, "KestrelB-Firewire", "ZarnScannerKestrelB") {}
};

class ZarnScannerKestrelC : public ZarnScannerKestrelFamily {
public:
    ZarnScannerKestrelC() : ZarnScannerKestrelFamily(Variant::C, "KestrelB-Flat-Firewire", "ZarnScannerKestrelC") {}
};

class ZarnScannerKestrelD : public ZarnScannerKestrelFamily {
public:
    ZarnScannerKestrelD() : ZarnScannerKestrelFamily(Variant::D, "KestrelB-II-Firewire", "ZarnScannerKestrelD") {}
    int GetFullModeResultImage() override;
    int GetFullModeResultImage_Step2() override;
    int FlatResultOutput() override;
    // Corrects part `index` against the full background, checks palm movement against the previous
    // part and places its pixels on the grid `big` (5824 x 9024). 0, or -1 for an index outside 0..3.
    int FillUpBigImage(int index, uint8_t* subImage, uint8_t* bigImage);

    int m_nBackgroundCounter = 0;          // 0..3, advanced after each placement
    const uint8_t* m_pPreviousPart = nullptr;

protected:
    int CombinePart(int index) override;
};
