// Symbology tables, their lookups and the check characters. Patterns are digit strings, one digit
// per element in reading order starting with a bar: "1" narrow and "2" wide for Code 39 and
// Interleaved 2 of 5, the module count for Code 128 and EAN-13.
#include <cstring>

#include "Barcode.h"

namespace {

// Each entry: the character, then its nine widths. Order 1-9, 0, A-Z, "-", ".", space, "*", "$",
// "/", "+", "%"; the asterisk is the start and stop character.
const char* const kCode39[44] = {
    "1211211112", "2112211112", "3212211111", "4111221112", "5211221111", "6112221111", "7111211212",
    "8211211211", "9112211211", "0111221211", "A211112112", "B112112112", "C212112111", "D111122112",
    "E211122111", "F112122111", "G111112212", "H211112211", "I112112211", "J111122211", "K211111122",
    "L112111122", "M212111121", "N111121122", "O211121121", "P112121121", "Q111111222", "R211111221",
    "S112111221", "T111121221", "U221111112", "V122111112", "W222111111", "X121121112", "Y221121111",
    "Z122121111", "-121111212", ".221111211", " 122111211", "*121121211", "$121212111", "/121211121",
    "+121112121", "%111212121"};

const char kCode39Values[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-. $/+%";

// Each entry: the digit, then its five widths; order 1-9, 0.
const char* const kInterleaved25[10] = {"121112", "212112", "322111", "411212", "521211",
                                        "612211", "711122", "821121", "912121", "011221"};

// Values 0-105 as six module counts; 106, the stop, takes seven.
const char* const kCode128[107] = {
    "212222", "222122", "222221", "121223", "121322", "131222", "122213", "122312", "132212", "221213",
    "221312", "231212", "112232", "122132", "122231", "113222", "123122", "123221", "223211", "221132",
    "221231", "213212", "223112", "312131", "311222", "321122", "321221", "312212", "322112", "322211",
    "212123", "212321", "232121", "111323", "131123", "131321", "112313", "132113", "132311", "211313",
    "231113", "231311", "112133", "112331", "132131", "113123", "113321", "133121", "313121", "211331",
    "231131", "213113", "213311", "213131", "311123", "311321", "331121", "312113", "312311", "332111",
    "314111", "221411", "431111", "111224", "111422", "121124", "121421", "141122", "141221", "112214",
    "112412", "122114", "122411", "142112", "142211", "241211", "221114", "413111", "241112", "134111",
    "111242", "121142", "121241", "114212", "124112", "124211", "411212", "421112", "421211", "212141",
    "214121", "412121", "111143", "111341", "131141", "114113", "114311", "411113", "411311", "113141",
    "114131", "311141", "411131", "211412", "211214", "211232", "2331112"};

// EAN-13 digit patterns, digits 0-9: the L set (left half, odd parity; the right half has the
// same widths) and the G set (left half, even parity).
const char* const kEanL[10] = {"3211", "2221", "2122", "1411", "1132", "1231", "1114", "1312", "1213", "3112"};
const char* const kEanG[10] = {"1123", "1222", "2212", "1141", "2311", "1321", "4111", "2131", "3121", "2113"};
// Parities of the six left-hand digits for each first digit: 1 L, 2 G.
const char* const kEanParity[10] = {"111111", "112122", "112212", "112221", "121122",
                                    "122112", "122211", "121212", "121221", "122121"};

int Code39Value(char c) {
  if (c == 0) return -1;
  const char* at = std::strchr(kCode39Values, c);
  return at ? int(at - kCode39Values) : -1;
}

}  // namespace

char LookupCode39(const char* pattern) {
  for (const char* e : kCode39)
    if (std::strcmp(e + 1, pattern) == 0) return e[0];
  return 0;
}

char LookupInterleaved25Digit(const char* pattern) {
  for (const char* e : kInterleaved25)
    if (std::strcmp(e + 1, pattern) == 0) return e[0];
  return 0;
}

int LookupCode128(const char* pattern) {
  for (int v = 0; v < 106; ++v)
    if (std::strncmp(kCode128[v], pattern, 6) == 0) return v;
  if (std::strncmp(kCode128[106], pattern, 7) == 0) return 106;
  return -1;
}

char LookupEanL(const char* pattern) {
  for (int d = 0; d < 10; ++d)
    if (std::strcmp(kEanL[d], pattern) == 0) return char('0' + d);
  return 0;
}

char LookupEanG(const char* pattern) {
  for (int d = 0; d < 10; ++d)
    if (std::strcmp(kEanG[d], pattern) == 0) return char('0' + d);
  return 0;
}

int LookupEanParity(const char* parity) {
  for (int d = 0; d < 10; ++d)
    if (std::strcmp(kEanParity[d], parity) == 0) return d;
  return -1;
}

int CheckCode128(const unsigned char* values, int count) {
  if (count < 3) return -1;
  if (values[0] < 103 || values[0] > 105 || values[count - 1] != 106) return -1;
  int sum = values[0];
  for (int i = 1; i < count - 2; ++i) {
    if (values[i] > 101) return -1;
    sum += values[i] * i;
  }
  return sum % 103 == values[count - 2] ? 0 : -1;
}

int Code128ToText(unsigned char* slot, int count) {
  if (count < 3 || count > kBarcodeTextSlot) return -1;
  // Set C writes two characters per value, so the text would overtake the values it reads:
  // convert from a copy.
  unsigned char values[kBarcodeTextSlot];
  std::memcpy(values, slot, size_t(count));
  char text[kBarcodeTextSlot];
  int len = 0;
  auto put = [&](char c) {
    if (len >= kBarcodeTextSlot - 1) return false;
    text[len++] = c;
    return true;
  };
  char set = values[0] == 103 ? 'A' : values[0] == 104 ? 'B' : 'C';
  put('*');
  for (int i = 1; i < count - 2; ++i) {
    const int v = values[i];
    bool ok = true;
    if (set == 'A') {
      if (v < 64) ok = put(char(v + 32));
      else if (v < 96) ok = put(char(v - 64));
      else if (v == 99) set = 'C';
      else if (v == 100) set = 'B';
      else return -1;
    } else if (set == 'B') {
      if (v < 96) ok = put(char(v + 32));
      else if (v == 99) set = 'C';
      else if (v == 101) set = 'A';
      else return -1;
    } else {
      if (v < 100) ok = put(char('0' + v / 10)) && put(char('0' + v % 10));
      else if (v == 100) set = 'B';
      else if (v == 101) set = 'A';
      else return -1;
    }
    if (!ok) return -1;
  }
  if (!put('*')) return -1;
  text[len] = 0;
  std::memcpy(slot, text, size_t(len) + 1);
  return len;
}

int CheckEan13(const char* text, int length) {
  if (length != 13) return -1;
  int sum = 0;
  for (int i = 0; i < 13; ++i)
    if (text[i] < '0' || text[i] > '9') return -1;
  for (int i = 0; i < 12; ++i) sum += (text[i] - '0') * (i % 2 == 0 ? 1 : 3);
  const int s = sum % 10;
  return text[12] - '0' == (s == 0 ? 0 : 10 - s) ? 0 : -1;
}

int CheckCode39Mod43(const char* text, int length) {
  if (length < 1) return -1;
  int sum = 0;
  for (int i = 0; i < length - 1; ++i) {
    const int v = Code39Value(text[i]);
    if (v < 0) return -1;
    sum += v;
  }
  const int last = Code39Value(text[length - 1]);
  return last >= 0 && sum % 43 == last ? 0 : -1;
}

int CheckMod10(const char* text, int length) {
  if (length < 1) return -1;
  int sum = 0;
  for (int i = 0; i < length; ++i)
    if (text[i] < '0' || text[i] > '9') return -1;
  for (int i = 0; i < length - 1; ++i) sum += (text[i] - '0') * (i % 2 == 0 ? 3 : 1);
  return text[length - 1] - '0' == (sum % 10 == 0 ? 0 : 10 - sum % 10) ? 0 : -1;
}
