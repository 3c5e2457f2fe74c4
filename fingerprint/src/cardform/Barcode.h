#pragma once
// Bar-code reading for scanned card forms: the reader that lays scan lines over an area of an
// 8-bit grey image, and the decoders of Interleaved 2 of 5, Code 39, Code 128 and EAN-13 that it
// runs on each scan line's run list.
//
// Images are `height` rows of `width` bytes, pixel (row, column) at row * width + column.
// A run list holds the widths (in samples) of alternating spaces and bars, n entries with n odd:
// index 0 is the space before the first bar, bars stand at the odd indices, index n - 1 is the
// space after the last bar. A character at position p begins with the bar at index p; forward
// reading takes p, p + 1, ..., reverse reading p, p - 1, ... (a code lying the other way round).

#include <cstdint>

struct FormPositionRecord;

// The reader's parameter block: twelve words, in this order.
struct BarcodeParameters {
  int32_t type;                // 25 Interleaved 2 of 5, 39 Code 39, 128 Code 128, 72 EAN-13, 1 any
  int32_t length;              // number of characters, 1..127
  int32_t tolerance;           // median smoothing of each scan line over 2 t + 1 samples, 0..4
  int32_t direction;           // 1, 2 along the rows; 3, 4 along the columns
  int32_t quietSpaceRequired;  // 0 or 1
  int32_t startStopRequired;   // 0 or 1
  int32_t widthCheckRequired;  // 0 or 1
  int32_t tuning1;             // wide/narrow lower ratio x 100, 130..300 (else 150)
  int32_t tuning2;             // wide/narrow upper ratio x 100, 200..1000 (else 400)
  int32_t tuning3;             // element tolerance in percent of the narrow width, 10..200 (else 50)
  int32_t mode;                // 0 first complete read; m = 1, 2: m + 1 equal reads
  int32_t skipFurtherAttempts; // not 0: no narrowed or widened attempts after the passes
};
static_assert(sizeof(BarcodeParameters) == 48, "twelve words");

constexpr int kBarcodeAny = 1;
constexpr int kBarcodeInterleaved25 = 25;
constexpr int kBarcodeCode39 = 39;
constexpr int kBarcodeEan13 = 72;
constexpr int kBarcodeCode128 = 128;

// Every scan line owns a text slot of this many bytes, the terminator included.
constexpr int kBarcodeTextSlot = 128;
// The longest scan line in samples, and so the longest run list.
constexpr int kBarcodeMaxSamples = 2048;
constexpr int kBarcodeMaxRuns = kBarcodeMaxSamples + 1;

// Narrow and wide widths of bars and spaces, in tenths of a sample, as the two-width statistics
// found them on the current scan line. The classifier and the 2 of 5 quiet-zone test read them.
struct WidthClasses {
  int32_t narrowBar, wideBar, narrowSpace, wideSpace;
};
// The widths of the current read. Each thread has its own, so reads on different threads do not
// disturb each other; within a thread they live from one line's statistics to the next.
WidthClasses& CurrentWidthClasses();

// What the decoders saw during one pass of the reader.
struct ScanEvidence {
  int32_t leadingEndCount;    // end markers seen at the side where the scan lines begin
  int32_t trailingEndCount;   // end markers seen at the side where they end
  int32_t forwardCharacters;  // most characters one forward reading recognised
  int32_t reverseCharacters;  // most characters one reverse reading recognised
};

// The run list of a scan line's grey profile (length samples, at most kBarcodeMaxSamples): the
// widths between its edges, from the space before the first bar. Returns n (odd; 1 when the
// profile shows no bars).
int BarcodeRunList(const uint8_t* profile, int length, int32_t* runs);

// Decoder results.
constexpr int kReadNothing = 0;
constexpr int kReadForward = 1;
constexpr int kReadReverse = 2;
constexpr int kPartialForward = 3;
constexpr int kPartialReverse = 4;

// Two-width statistics of a run list (types 25 and 39): sets the width classes, trims the list to
// the code between inner gaps, repairs one too-narrow element. Returns the new n, or 0 when the
// line is refused.
int TwoWidthStatistics(int32_t* runs, int n, const BarcodeParameters* p);
// Narrow/wide pattern ("1"/"2") of count elements (3, 4, 9 or 10) from runs[position] in the
// given direction (+1 or -1); the pattern is left empty when the elements do not classify.
void ClassifyNarrowWide(const int32_t* runs, int position, int count, char* pattern, int direction,
                        const BarcodeParameters* p);
// Module counts of a Code 128 character (six elements and the run after them, seven digits).
// Returns the module sum of the six before correction.
int ClassifyCode128Modules(const int32_t* runs, int position, int count, char* pattern, int direction);
// Module counts of an EAN-13 digit (4 elements) or guard (3 or 5). Returns the module sum before
// correction.
int ClassifyEanModules(const int32_t* runs, int position, int count, char* pattern, int direction);

char LookupCode39(const char* pattern);
char LookupInterleaved25Digit(const char* pattern);
int LookupCode128(const char* pattern);
char LookupEanL(const char* pattern);
char LookupEanG(const char* pattern);
int LookupEanParity(const char* parity);

int CheckCode128(const unsigned char* values, int count);
// Turns the value string in the slot into the text "*...*" written over it (from a copy of the
// values). Returns the text length, or -1 when a value does not convert or the text would not
// fit the slot.
int Code128ToText(unsigned char* slot, int count);
int CheckEan13(const char* text, int length);
int CheckCode39Mod43(const char* text, int length);
int CheckMod10(const char* text, int length);

// The decoders write only into the scan line's text slot (kBarcodeTextSlot bytes); a read that
// would not fit gives kReadNothing.
int DecodeCode39(const int32_t* runs, int n, int length, char* text, ScanEvidence* evidence,
                 const BarcodeParameters* p);
int DecodeInterleaved25(const int32_t* runs, int n, int length, char* text, ScanEvidence* evidence,
                        const BarcodeParameters* p);
int DecodeCode128(const int32_t* runs, int n, char* text, ScanEvidence* evidence);
int DecodeEan13(const int32_t* runs, int n, char* text, ScanEvidence* evidence);

// Reads a bar code in the area (y, x, h, w) of the image. size = {width, height}. The text
// (kBarcodeTextSlot bytes at least) receives the code's characters; errText (128 bytes at least)
// one error line on refusal. Returns 1..4, the direction that read the code, or a negative code.
int ReadBarcode(const int16_t size[2], const uint8_t* image, int y, int x, int h, int w, BarcodeParameters* p,
                char* text, char* errText);
// Reads the bar code of a form record's bar-code box with the form's parameters.
int ReadFormBarcode(const int16_t size[2], const uint8_t* image, FormPositionRecord* form);
