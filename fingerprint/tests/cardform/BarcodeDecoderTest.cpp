// Symbology decoders on exact run lists built from the kit's encoders: partial and complete
// reads, quiet zones, check characters, the two-width statistics, and the bounded text slot.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "Barcode.h"
#include "sim/CardKit.h"

namespace {

using sim::Symbology;

BarcodeParameters Params() {
  BarcodeParameters p{};
  p.type = kBarcodeCode39;
  p.length = 5;
  p.direction = 1;
  p.quietSpaceRequired = 1;
  p.widthCheckRequired = 1;
  p.tuning1 = 150;
  p.tuning2 = 400;
  p.tuning3 = 50;
  return p;
}

// Run list of the symbol with `unit` samples per narrow element (wide elements 8/3 units
// rounded, i.e. 8 samples at unit 3), quiet zones of the given widths.
std::vector<int32_t> Runs(Symbology s, const std::string& data, int unit, int leading = 40, int trailing = 40,
                          bool reversed = false, bool corrupt = false, double wideRatio = 8.0 / 3.0) {
  const std::vector<double> e = sim::EncodeBarcode(s, data, wideRatio, corrupt);
  std::vector<int32_t> runs{leading};
  for (double w : e) runs.push_back(int32_t(std::lround(w * unit)));
  runs.push_back(trailing);
  if (reversed) std::reverse(runs.begin(), runs.end());
  return runs;
}

// A text slot with guard bytes after it that no decoder may touch.
struct Slot {
  char bytes[kBarcodeTextSlot + 16];
  Slot() { std::memset(bytes, 0x5A, sizeof bytes); }
  char* text() { return bytes; }
  bool GuardIntact() const {
    for (int i = kBarcodeTextSlot; i < int(sizeof bytes); ++i)
      if (bytes[i] != 0x5A) return false;
    return true;
  }
};

TEST(BarcodeChecks, CheckCharactersOfEachSymbology) {
  EXPECT_EQ(CheckEan13("4006381333931", 13), 0);
  EXPECT_EQ(CheckEan13("4006381333932", 13), -1);
  EXPECT_EQ(CheckEan13("9780201379624", 13), 0);
  EXPECT_EQ(CheckEan13("0000000000000", 13), 0);  // a sum of 0 takes check digit 0
  EXPECT_EQ(CheckEan13("400638133393A", 13), -1);

  const unsigned char good[] = {104, 33, 34, (104 + 33 + 2 * 34) % 103, 106};  // "AB" in set B
  EXPECT_EQ(CheckCode128(good, 5), 0);
  unsigned char bad[5];
  std::memcpy(bad, good, 5);
  bad[3] = (bad[3] + 1) % 103;
  EXPECT_EQ(CheckCode128(bad, 5), -1);
  const unsigned char function[] = {104, 102, (104 + 102) % 103, 106};  // a data value above 101
  EXPECT_EQ(CheckCode128(function, 4), -1);
  const unsigned char noStart[] = {33, 34, (33 + 34) % 103, 106};
  EXPECT_EQ(CheckCode128(noStart, 4), -1);
  const unsigned char noStop[] = {104, 33, (104 + 33) % 103, 105};
  EXPECT_EQ(CheckCode128(noStop, 4), -1);
  EXPECT_EQ(CheckCode128(good, 2), -1);
  const unsigned char empty[] = {105, 105 % 103, 106};  // no data: the check is the start value
  EXPECT_EQ(CheckCode128(empty, 3), 0);

  EXPECT_EQ(CheckCode39Mod43("ABCX", 4), 0);  // 10 + 11 + 12 = 33 = X
  EXPECT_EQ(CheckCode39Mod43("ABCY", 4), -1);
  EXPECT_EQ(CheckCode39Mod43("AbCX", 4), -1);
  EXPECT_EQ(CheckCode39Mod43("%%%/", 4), 0);
  EXPECT_EQ(CheckCode39Mod43("0", 1), 0);  // nothing before the check character: sum 0
  EXPECT_EQ(CheckCode39Mod43("", 0), -1);
  const unsigned char setA[] = {103, 33, (103 + 33) % 103, 106};
  EXPECT_EQ(CheckCode128(setA, 4), 0);  // 3 x 42 = 126 = 2 x 43 + 40, and "/" is 40
  EXPECT_EQ(CheckMod10("12345670", 8), 0);  // 3 + 2 + 9 + 4 + 15 + 6 + 21 = 60
  EXPECT_EQ(CheckMod10("12345671", 8), -1);
  EXPECT_EQ(CheckMod10("1234567a", 8), -1);
}

TEST(BarcodeTables, LookupsFindTheirEntriesAndNothingElse) {
  EXPECT_EQ(LookupCode39("211211112"), '1');
  EXPECT_EQ(LookupCode39("121121211"), '*');
  EXPECT_EQ(LookupCode39("111111111"), 0);
  EXPECT_EQ(LookupInterleaved25Digit("21112"), '1');
  EXPECT_EQ(LookupInterleaved25Digit("11221"), '0');
  EXPECT_EQ(LookupInterleaved25Digit("11111"), 0);
  EXPECT_EQ(LookupCode128("2122221"), 0);
  EXPECT_EQ(LookupCode128("2221229"), 1);
  EXPECT_EQ(LookupCode128("2222213"), 2);
  EXPECT_EQ(LookupCode128("2331112"), 106);
  EXPECT_EQ(LookupCode128("2331113"), -1);  // the stop needs its seventh element
  EXPECT_EQ(LookupCode128("1111111"), -1);
  EXPECT_EQ(LookupEanL("2221"), '1');
  EXPECT_EQ(LookupEanG("1222"), '1');
  EXPECT_EQ(LookupEanL("1222"), 0);
  EXPECT_EQ(LookupEanG("2221"), 0);
  const char* parity[] = {"111111", "112122", "112212", "112221", "121122",
                          "122112", "122211", "121212", "121221", "122121"};
  for (int d = 0; d < 10; ++d) EXPECT_EQ(LookupEanParity(parity[d]), d);
  EXPECT_EQ(LookupEanParity("222222"), -1);
}

TEST(BarcodeTables, EanGuardsAreCorrectedTowardsOneModule) {
  // Rounded modules 0, 2, 0 (sum below 3): the empty ones become 1.
  const int32_t low[] = {1, 6, 1};
  char pattern[8];
  EXPECT_EQ(ClassifyEanModules(low, 0, 3, pattern, 1), 2);
  EXPECT_STREQ(pattern, "121");
  // Rounded 1, 2, 1 (sum above 3): every element above 1 loses one.
  const int32_t high[] = {1, 3, 2};
  EXPECT_EQ(ClassifyEanModules(high, 0, 3, pattern, 1), 4);
  EXPECT_STREQ(pattern, "111");
  // Digits (module = sum / 7): one module too many comes off a pair's element with the larger
  // residual, one too few goes to the one with the smaller.
  const int32_t wide[] = {7, 7, 7, 7};  // rounded 2, 2, 2, 2
  EXPECT_EQ(ClassifyEanModules(wide, 0, 4, pattern, 1), 8);
  EXPECT_STREQ(pattern, "2212");
  // Rounded 1, 1, 1, 3. The module 28 x 0.142857 (single precision) is a little below 4, so the
  // residual of the 13 is a little more negative: the pair (1, 3) corrects, its 13 gaining.
  const int32_t narrow[] = {5, 5, 5, 13};
  EXPECT_EQ(ClassifyEanModules(narrow, 0, 4, pattern, 1), 6);
  EXPECT_STREQ(pattern, "1114");
}

TEST(BarcodeChecks, Code128TextComesFromACopyOfTheValues) {
  // Set C writes two characters per value, overtaking the values it reads in the same slot.
  unsigned char slot[kBarcodeTextSlot] = {105, 12, 34, 56, 78, 0, 106};
  slot[5] = (105 + 12 + 2 * 34 + 3 * 56 + 4 * 78) % 103;
  EXPECT_EQ(Code128ToText(slot, 7), 10);
  EXPECT_STREQ(reinterpret_cast<char*>(slot), "*12345678*");

  // Set switches: B "a", to C "07", to A "Z" and a control character, to B "~".
  unsigned char mixed[kBarcodeTextSlot] = {104, 'a' - 32, 99, 7, 101, 'Z' - 32, 64 + 9, 100, '~' - 32, 0, 106};
  EXPECT_EQ(Code128ToText(mixed, 11), 8);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(mixed)), std::string("*a07Z\t~*"));

  unsigned char shift[kBarcodeTextSlot] = {104, 33, 98, 33, 0, 106};  // SHIFT in set B
  EXPECT_EQ(Code128ToText(shift, 6), -1);
  unsigned char fnc[kBarcodeTextSlot] = {103, 33, 96, 0, 106};  // FNC3 in set A
  EXPECT_EQ(Code128ToText(fnc, 5), -1);
  unsigned char fncB[kBarcodeTextSlot] = {104, 95, 96, 0, 106};  // DEL, then FNC3 in set B
  EXPECT_EQ(Code128ToText(fncB, 5), -1);
  unsigned char del[kBarcodeTextSlot] = {104, 95, 0, 106};
  EXPECT_EQ(Code128ToText(del, 4), 3);
  EXPECT_EQ(del[1], 127);
  unsigned char none[kBarcodeTextSlot] = {105, 2, 106};  // no data characters
  EXPECT_EQ(Code128ToText(none, 3), 2);
  EXPECT_STREQ(reinterpret_cast<char*>(none), "**");
  EXPECT_EQ(Code128ToText(none, 2), -1);

  // 64 set C values make 128 digits: the text would not fit the slot.
  unsigned char longC[kBarcodeTextSlot] = {105};
  for (int i = 1; i <= 64; ++i) longC[i] = 11;
  longC[65] = 0;
  longC[66] = 106;
  EXPECT_EQ(Code128ToText(longC, 67), -1);
}

TEST(TwoWidthStatistics, ClassWidthsAndTheQuietZoneRule) {
  const BarcodeParameters p = Params();
  std::vector<int32_t> runs = Runs(Symbology::Code39, "AB-9", 3);
  EXPECT_EQ(TwoWidthStatistics(runs.data(), int(runs.size()), &p), int(runs.size()));
  const WidthClasses wc = CurrentWidthClasses();
  EXPECT_EQ(wc.narrowBar, 30);
  EXPECT_EQ(wc.wideBar, 80);
  EXPECT_EQ(wc.narrowSpace, 30);
  EXPECT_EQ(wc.wideSpace, 80);
  // g = (wide + 5 + 2 x narrow) / 10 = 14 samples: a quiet zone of 13 is refused when required.
  for (int quiet : {13, 14}) {
    for (int required : {0, 1}) {
      BarcodeParameters q = p;
      q.quietSpaceRequired = required;
      std::vector<int32_t> r = Runs(Symbology::Code39, "AB-9", 3, 40, quiet);
      const int n = TwoWidthStatistics(r.data(), int(r.size()), &q);
      EXPECT_EQ(n, quiet == 13 && required ? 0 : int(r.size())) << quiet << " " << required;
    }
  }
}

TEST(TwoWidthStatistics, WideToNarrowRatioBounds) {
  // Narrow 3, wide 15 samples (ratio 5): above the second tuning value 400, within 600.
  BarcodeParameters p = Params();
  std::vector<int32_t> runs = Runs(Symbology::Code39, "RATIO", 3, 60, 60, false, false, 5.0);
  EXPECT_EQ(TwoWidthStatistics(runs.data(), int(runs.size()), &p), 0);
  p.tuning2 = 600;
  runs = Runs(Symbology::Code39, "RATIO", 3, 60, 60, false, false, 5.0);
  EXPECT_EQ(TwoWidthStatistics(runs.data(), int(runs.size()), &p), int(runs.size()));
  // Narrow 10, wide 14 (ratio 1.4): below the first tuning value 150, within 130.
  p = Params();
  runs = Runs(Symbology::Code39, "RATIO", 10, 200, 200, false, false, 1.4);
  EXPECT_EQ(TwoWidthStatistics(runs.data(), int(runs.size()), &p), 0);
  p.tuning1 = 130;
  p.tuning3 = 20;
  runs = Runs(Symbology::Code39, "RATIO", 10, 200, 200, false, false, 1.4);
  EXPECT_EQ(TwoWidthStatistics(runs.data(), int(runs.size()), &p), int(runs.size()));
  // A negative width refuses the list.
  runs[5] = -1;
  EXPECT_EQ(TwoWidthStatistics(runs.data(), int(runs.size()), &p), 0);
}

TEST(TwoWidthStatistics, InnerGapsCutTheListToTheCode) {
  // Noise bars before a wide gap and after another are cut away.
  std::vector<int32_t> code = Runs(Symbology::Code39, "CUT", 3, 40, 40);
  std::vector<int32_t> runs{30, 3, 4, 8, 40};
  runs.insert(runs.end(), code.begin() + 1, code.end() - 1);
  runs.insert(runs.end(), {45, 3, 20});
  const BarcodeParameters p = Params();
  const int n = TwoWidthStatistics(runs.data(), int(runs.size()), &p);
  ASSERT_EQ(n, int(code.size()));
  EXPECT_EQ(runs[0], 40);
  EXPECT_EQ(runs[n - 1], 45);
  // One inner gap, before the code: the quiet zones wider than g do not count as gaps.
  std::vector<int32_t> before{30, 3, 4, 8, 40};
  before.insert(before.end(), code.begin() + 1, code.end());
  EXPECT_EQ(TwoWidthStatistics(before.data(), int(before.size()), &p), int(code.size()));
  Slot slot;
  ScanEvidence ev{};
  EXPECT_EQ(DecodeCode39(runs.data(), n, 3, slot.text(), &ev, &p), kReadForward);
  EXPECT_STREQ(slot.text(), "*CUT*");
}

TEST(TwoWidthStatistics, OneTooNarrowSpaceIsMergedIntoTheSmallestTriple) {
  // A speck of paper splits a wide bar (8 samples) into 4, a one-sample space and 3. Of the three
  // triples that hold the speck, the one starting at the speck (1 + 3 + the next space) is the
  // smallest, so it becomes one space.
  std::vector<int32_t> runs = Runs(Symbology::Code39, "SPLIT", 3);
  auto split = [](std::vector<int32_t> r, int at) {
    r.erase(r.begin() + at);
    r.insert(r.begin() + at, {4, 1, 3});
    return r;
  };
  ASSERT_EQ(runs[13], 8);  // the first wide bar of "S"
  std::vector<int32_t> damaged = split(runs, 13);
  const BarcodeParameters p = Params();
  const int n = TwoWidthStatistics(damaged.data(), int(damaged.size()), &p);
  ASSERT_EQ(n, int(runs.size()));
  EXPECT_EQ(damaged[12], runs[12]);
  EXPECT_EQ(damaged[13], 4);
  EXPECT_EQ(damaged[14], 1 + 3 + runs[14]);
  EXPECT_EQ(damaged[15], runs[15]);
  // Two too-narrow spaces refuse the line.
  ASSERT_EQ(runs[17], 8);  // the second wide bar of "S"
  std::vector<int32_t> twice = split(split(runs, 17), 13);
  EXPECT_EQ(TwoWidthStatistics(twice.data(), int(twice.size()), &p), 0);
}

TEST(DecodeCode39, CompleteReadsInBothDirectionsWhateverTheLength) {
  const BarcodeParameters p = Params();
  for (bool reversed : {false, true}) {
    std::vector<int32_t> runs = Runs(Symbology::Code39, "HELLO WORLD", 3, 40, 40, reversed);
    ASSERT_GT(TwoWidthStatistics(runs.data(), int(runs.size()), &p), 0);
    Slot slot;
    ScanEvidence ev{};
    EXPECT_EQ(DecodeCode39(runs.data(), int(runs.size()), 3, slot.text(), &ev, &p),
              reversed ? kReadReverse : kReadForward);
    EXPECT_STREQ(slot.text(), "*HELLO WORLD*");
    EXPECT_EQ(ev.leadingEndCount, 1);
    EXPECT_EQ(ev.trailingEndCount, 1);
    EXPECT_EQ(reversed ? ev.reverseCharacters : ev.forwardCharacters, 13);
  }
}

TEST(DecodeCode39, StartOutsideTheLineGivesAPartialReadWithTheStartPutBack) {
  const BarcodeParameters p = Params();
  for (bool reversed : {false, true}) {
    std::vector<int32_t> full = Runs(Symbology::Code39, "K9$/2", 3);
    // Drop "*" and its gap: the line begins with the first data character.
    std::vector<int32_t> runs{40};
    runs.insert(runs.end(), full.begin() + 11, full.end());
    if (reversed) std::reverse(runs.begin(), runs.end());
    ASSERT_GT(TwoWidthStatistics(runs.data(), int(runs.size()), &p), 0);
    Slot slot;
    ScanEvidence ev{};
    EXPECT_EQ(DecodeCode39(runs.data(), int(runs.size()), 5, slot.text(), &ev, &p),
              reversed ? kPartialReverse : kPartialForward);
    EXPECT_STREQ(slot.text(), "*K9$/2*");
    // Another length than the characters found is no read.
    EXPECT_EQ(DecodeCode39(runs.data(), int(runs.size()), 4, slot.text(), &ev, &p), kReadNothing);
    EXPECT_STREQ(slot.text(), "");
  }
}

TEST(DecodeCode39, WideSpaceCharactersClassifyThroughTheSecondTry) {
  const BarcodeParameters p = Params();
  std::vector<int32_t> runs = Runs(Symbology::Code39, "$/+%", 3);
  ASSERT_GT(TwoWidthStatistics(runs.data(), int(runs.size()), &p), 0);
  const char* want[] = {"121212111", "121211121", "121112121", "111212121"};
  for (int c = 0; c < 4; ++c) {
    char pattern[16];
    ClassifyNarrowWide(runs.data(), 11 + 10 * c, 9, pattern, 1, &p);
    EXPECT_STREQ(pattern, want[c]);
  }
  Slot slot;
  ScanEvidence ev{};
  EXPECT_EQ(DecodeCode39(runs.data(), int(runs.size()), 4, slot.text(), &ev, &p), kReadForward);
  EXPECT_STREQ(slot.text(), "*$/+%*");
}

TEST(DecodeInterleaved25, BothQuietZonesMustBeWideForACompleteRead) {
  // Narrow 3 and wide 8 samples: a space is wide above (30 + 80) / 10 = 11 samples.
  const BarcodeParameters p = [] {
    BarcodeParameters q = Params();
    q.quietSpaceRequired = 0;
    return q;
  }();
  struct Case {
    int leading, trailing;
    bool reversed;
    int result;
  } cases[] = {{40, 12, false, kReadForward}, {40, 11, false, kPartialForward}, {11, 40, false, kPartialForward},
               {12, 40, true, kReadReverse},  {40, 11, true, kPartialReverse}};
  for (const Case& c : cases) {
    std::vector<int32_t> runs = Runs(Symbology::Interleaved25, "31415926", 3, c.leading, c.trailing, c.reversed);
    ASSERT_EQ(TwoWidthStatistics(runs.data(), int(runs.size()), &p), int(runs.size()));
    Slot slot;
    ScanEvidence ev{};
    EXPECT_EQ(DecodeInterleaved25(runs.data(), int(runs.size()), 8, slot.text(), &ev, &p), c.result)
        << c.leading << " " << c.trailing << " " << c.reversed;
    EXPECT_STREQ(slot.text(), "*31415926*");
    EXPECT_EQ(c.reversed ? ev.reverseCharacters : ev.forwardCharacters, 8);  // every digit read counts
  }
}

TEST(DecodeInterleaved25, OddLengthReadsOneMorePairAndLengthTwoTakesAny) {
  const BarcodeParameters p = Params();
  std::vector<int32_t> runs = Runs(Symbology::Interleaved25, "02718281", 3);
  ASSERT_GT(TwoWidthStatistics(runs.data(), int(runs.size()), &p), 0);
  for (int length : {7, 8, 2, 1}) {
    Slot slot;
    ScanEvidence ev{};
    EXPECT_EQ(DecodeInterleaved25(runs.data(), int(runs.size()), length, slot.text(), &ev, &p), kReadForward)
        << length;
    EXPECT_STREQ(slot.text(), "*02718281*") << length;
  }
  Slot slot;
  ScanEvidence ev{};
  EXPECT_EQ(DecodeInterleaved25(runs.data(), int(runs.size()), 6, slot.text(), &ev, &p), kPartialForward);
}

TEST(DecodeInterleaved25, AStartOutsideTheLineIsReadBackFromTheStop) {
  // The start pattern cut off the line: the pairs are read from the stop back, the stop's "*" at
  // index 2m + 1 (m = 4 pairs of room), the digits below it and, as 2m reaches the length, a "*"
  // at index 0 for the missing start. A partial read; the stop counts at its end of the line.
  const BarcodeParameters p = [] {
    BarcodeParameters q = Params();
    q.quietSpaceRequired = 0;
    return q;
  }();
  for (bool reversed : {false, true}) {
    std::vector<int32_t> runs = Runs(Symbology::Interleaved25, "31415926", 3);
    runs.erase(runs.begin() + 1, runs.begin() + 5);  // the four runs of the start
    if (reversed) std::reverse(runs.begin(), runs.end());
    ASSERT_EQ(TwoWidthStatistics(runs.data(), int(runs.size()), &p), int(runs.size()));
    Slot slot;
    ScanEvidence ev{};
    EXPECT_EQ(DecodeInterleaved25(runs.data(), int(runs.size()), 8, slot.text(), &ev, &p),
              reversed ? kPartialReverse : kPartialForward)
        << reversed;
    EXPECT_STREQ(slot.text(), "*31415926*") << reversed;
    EXPECT_EQ(ev.trailingEndCount, reversed ? 0 : 1) << reversed;
    EXPECT_EQ(ev.leadingEndCount, reversed ? 1 : 0) << reversed;
    EXPECT_EQ(reversed ? ev.reverseCharacters : ev.forwardCharacters, 8) << reversed;
  }
}

TEST(DecodeCode128, ReadsBothWaysAndRefusesBadChecksAndFunctionCharacters) {
  for (bool reversed : {false, true}) {
    for (const char* data : {"Zarn-128 ok", "0123456789"}) {
      std::vector<int32_t> runs = Runs(Symbology::Code128, data, 2, 40, 40, reversed);
      Slot slot;
      ScanEvidence ev{};
      EXPECT_EQ(DecodeCode128(runs.data(), int(runs.size()), slot.text(), &ev),
                reversed ? kReadReverse : kReadForward);
      std::string expected(1, '*');
      expected += data;
      expected += '*';
      EXPECT_EQ(std::string(slot.text()), expected);
    }
    std::vector<int32_t> wrong = Runs(Symbology::Code128, "Zarn", 2, 40, 40, reversed, true);
    Slot slot;
    ScanEvidence ev{};
    EXPECT_EQ(DecodeCode128(wrong.data(), int(wrong.size()), slot.text(), &ev), kReadNothing);
    EXPECT_STREQ(slot.text(), "");
  }
  // FNC1 (102) between "A" and "B", with a right check value.
  const int values[] = {104, 33, 102, 34, (104 + 33 + 2 * 102 + 3 * 34) % 103, 106};
  const char* table[] = {"211214", "111323", "411131", "131123", nullptr, "2331112"};
  const char* check = "";
  switch (values[4]) {  // the check value's pattern, from the kit's encoding of a one-value code
    default: {
      std::vector<double> e = sim::EncodeBarcode(Symbology::Code128, std::string(1, char(values[4] + 32)));
      static std::string s;
      s.clear();
      for (int k = 6; k < 12; ++k) s += char('0' + int(e[size_t(k)]));
      check = s.c_str();
    }
  }
  table[4] = check;
  std::vector<int32_t> runs{40};
  for (const char* t : table)
    for (const char* c = t; *c; ++c) runs.push_back(2 * (*c - '0'));
  runs.push_back(40);
  Slot slot;
  ScanEvidence ev{};
  EXPECT_EQ(DecodeCode128(runs.data(), int(runs.size()), slot.text(), &ev), kReadNothing);
}

TEST(DecodeEan13, EveryFirstDigitReadsForwardAndReversed) {
  for (int first = 0; first < 10; ++first) {
    const std::string data = std::to_string(first) + "12345678901";
    const std::string text = sim::BarcodeReadText(Symbology::Ean13, data);
    for (bool reversed : {false, true}) {
      std::vector<int32_t> runs = Runs(Symbology::Ean13, data, 3, 40, 40, reversed);
      Slot slot;
      ScanEvidence ev{};
      EXPECT_EQ(DecodeEan13(runs.data(), int(runs.size()), slot.text(), &ev), reversed ? kReadReverse : kReadForward)
          << data;
      EXPECT_EQ(std::string(slot.text()), text) << data << " " << reversed;
    }
  }
  std::vector<int32_t> wrong = Runs(Symbology::Ean13, "590123412345", 3, 40, 40, false, true);
  Slot slot;
  ScanEvidence ev{};
  EXPECT_EQ(DecodeEan13(wrong.data(), int(wrong.size()), slot.text(), &ev), kReadNothing);
}

TEST(Decoders, ReadsLongerThanTheTextSlotAreNoReadsAndStayInside) {
  const BarcodeParameters p = Params();
  const std::string long39(130, 'W');
  std::vector<int32_t> runs = Runs(Symbology::Code39, long39, 1, 20, 20);
  for (int32_t& r : runs) r = r == 3 ? 3 : r;  // unit 1: wide elements are 3 samples
  ASSERT_LT(runs.size(), size_t(kBarcodeMaxRuns));
  ASSERT_GT(TwoWidthStatistics(runs.data(), int(runs.size()), &p), 0);
  Slot slot;
  ScanEvidence ev{};
  EXPECT_EQ(DecodeCode39(runs.data(), int(runs.size()), 125, slot.text(), &ev, &p), kReadNothing);
  EXPECT_TRUE(slot.GuardIntact());
  // 125 characters fit: "*", 125, "*" and the terminator are 128 bytes.
  std::vector<int32_t> fits = Runs(Symbology::Code39, std::string(125, 'W'), 1, 20, 20);
  ASSERT_GT(TwoWidthStatistics(fits.data(), int(fits.size()), &p), 0);
  Slot ok;
  EXPECT_EQ(DecodeCode39(fits.data(), int(fits.size()), 125, ok.text(), &ev, &p), kReadForward);
  EXPECT_EQ(std::strlen(ok.text()), 127u);
  EXPECT_TRUE(ok.GuardIntact());

  std::vector<int32_t> long25 = Runs(Symbology::Interleaved25, std::string(140, '7'), 1, 20, 20);
  ASSERT_GT(TwoWidthStatistics(long25.data(), int(long25.size()), &p), 0);
  Slot s25;
  EXPECT_EQ(DecodeInterleaved25(long25.data(), int(long25.size()), 2, s25.text(), &ev, &p), kReadNothing);
  EXPECT_TRUE(s25.GuardIntact());

  std::vector<int32_t> long128 = Runs(Symbology::Code128, std::string(150, 'q'), 1, 20, 20);
  Slot s128;
  EXPECT_EQ(DecodeCode128(long128.data(), int(long128.size()), s128.text(), &ev), kReadNothing);
  EXPECT_TRUE(s128.GuardIntact());
}

}  // namespace
