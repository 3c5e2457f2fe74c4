#pragma once
// Synthetic scans of tenprint card forms and of printed bar codes, with their ground truth, for
// the card-form analysis tests. Bar codes are encoded here from the published symbology
// definitions (Code 39, Interleaved 2 of 5, Code 128, EAN-13) and drawn with exact pixel coverage,
// then blurred and given noise. Cards are ruled forms with two rows of five rolled-print boxes and
// a plain row below them, finger prints rendered into the boxes, optionally skewed and stacked as
// pages. Deterministic per seed.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/Render.h"

namespace sim {

enum class Symbology { Interleaved25, Code39, Code128, Ean13 };

// Element widths of a whole symbol, quiet zones excluded, bars and spaces alternating from a bar,
// in modules (Code 128, EAN-13) or narrow units (Code 39 and 2 of 5, wide = wideRatio).
std::vector<double> EncodeBarcode(Symbology symbology, const std::string& data, double wideRatio = 2.5,
                                  bool corruptCheck = false);
// The text a reader gives for the data: "*DATA*" ("*" + digits + "*" for 2 of 5, an odd digit
// count led by "0"), and for EAN-13 the twelve digits, the check digit and "*".
std::string BarcodeReadText(Symbology symbology, const std::string& data);

struct BarcodeSpec {
    Symbology symbology = Symbology::Code39;
    std::string data;          // Code 128: printable ASCII, or an even number of digits (set C)
    double module = 3;         // narrow width in pixels
    double wideRatio = 2.5;    // Code 39 and 2 of 5
    int barLength = 120;       // length of the bars in pixels
    int quietModules = 12;     // quiet zone at each end
    bool vertical = false;     // bars lie along the rows; the code is read down the columns
    bool reversed = false;     // the code is turned by 180 degrees
    double blur = 0;           // Gaussian sigma in pixels across the bars
    double noise = 0;          // sensor noise sigma
    int margin = 16;           // paper around the symbol and its quiet zones
    uint8_t paper = 228;
    uint8_t ink = 32;
    bool corruptCheck = false; // Code 128, EAN-13: a wrong check character
};

struct RenderedBarcode {
    GreyImage image;
    std::string text;          // the reader's text for the data
    int x = 0, y = 0, w = 0, h = 0;  // the symbol with its quiet zones
};

RenderedBarcode RenderBarcode(const BarcodeSpec& def, uint32_t seed);
// Draws the bar code into an existing image with the symbol's top-left quiet-zone corner at
// (x, y); returns the placement.
RenderedBarcode DrawBarcode(GreyImage& image, int x, int y, const BarcodeSpec& def);

struct CardSpec {
    int width = 4000;              // 8 inches at 500 ppi
    int height = 3200;
    int marginX = 100;             // left and right frame lines
    int rowTop = 500;              // top line of the first rolled row
    int rowHeight = 750;           // rolled-print box height
    int plainHeight = 1000;        // plain row height; 0: no plain row
    int thumbWidth = 600;          // each thumb box of the plain row
    int lineWidth = 6;             // ruled line thickness
    double angleDeg = 0;           // skew: a vertical line's column moves by -tan(angle) per row down
    bool omitInnerSeparator = false;  // the separator between boxes 2 and 3 is not printed
    int pageHeight = 0;            // not 0: the plain row starts on the second page
    bool prints = true;            // finger prints in the boxes
    // Boxes that hold a print: bits 0-9 the rolled boxes (fingers 1-5, then 6-10, left to right),
    // bits 10-13 the plain row's boxes left to right (left four fingers, left thumb, right thumb,
    // right four fingers).
    unsigned printMask = 0x3FFF;
    // Rolled boxes take turns with this many distinct prints (each rendered once); 0: one each.
    int rolledPrintVariety = 0;
    // The left hand's plain prints are the right hand's mirrored: half the finger patterns to grow.
    bool mirroredHands = false;
    // A bar code drawn upright (not turned with the card) with its top-left quiet-zone corner at
    // (barcodeX, barcodeY); none when its data is empty.
    BarcodeSpec barcode;
    int barcodeX = 0, barcodeY = 0;
    double noise = 2;
    uint8_t paper = 235;
    uint8_t ink = 40;
};

// A rectangle in card coordinates (u across, v down, pixels of the unskewed card).
struct CardBox {
    double u0, u1, v0, v1;
};

struct CardTruth {
    double angleDeg = 0;
    double cx = 0, cy = 0;                 // the card turns about this point
    std::vector<double> horizontalV;       // ruled horizontal lines, top down (line centres)
    std::vector<double> rolledVerticalU;   // vertical lines of the rolled rows, left to right
    std::vector<double> plainVerticalU;    // vertical lines of the plain row, left to right
    double rolledTop = 0, rolledBottom = 0, plainTop = 0, plainBottom = 0;
    std::vector<CardBox> rolledBoxes;      // fingers 1-5 (first row) then 6-10, left to right,
                                           // between the centres of their ruled lines
    std::vector<CardBox> plainBoxes;       // left four fingers, left thumb, right thumb, right four fingers
    std::vector<FingerTruth> plainFingers; // the fingertips printed in the plain row, left to right,
                                           // centres and angles in image pixels and degrees
    RenderedBarcode barcode;               // placement and text of the bar code, when drawn
    int pageHeight = 0;
    // Where a card point lies in the image.
    void ToImage(double u, double v, double& x, double& y) const;
};

struct RenderedCard {
    GreyImage image;
    CardTruth truth;
};

RenderedCard RenderCard(const CardSpec& def, uint32_t seed);

}  // namespace sim
