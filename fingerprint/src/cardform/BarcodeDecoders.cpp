// The symbology decoders: each turns one scan line's run list into a text, reading the code
// forward or, when it lies the other way round on the line, in reverse. Results: 0 nothing,
// 1 or 2 a complete read forward or in reverse, 3 or 4 a partial read (Code 39 and 2 of 5).
// Every write goes through a bounded text slot: a read that would not fit reads as nothing.
#include <algorithm>
#include <cstring>

#include "Barcode.h"

namespace {

// The scan line's text slot; a write beyond the last character position marks the read as lost.
class TextSlot {
 public:
  explicit TextSlot(char* text) : text_(text) { Clear(); }
  void Clear() {
    text_[0] = 0;
    length_ = 0;
    lost_ = false;
  }
  void Append(char c) { Put(length_, c); }
  // Writes c at index i and ends the text after it when i is the last character so far.
  void Put(int i, char c) {
    if (i < 0 || i >= kBarcodeTextSlot - 1) {
      lost_ = true;
      return;
    }
    text_[i] = c;
    if (i >= length_) {
      length_ = i + 1;
      text_[length_] = 0;
    }
  }
  int Length() const { return length_; }
  bool Lost() const { return lost_; }
  // The result, unless a write was lost.
  int Result(int r) {
    if (!lost_) return r;
    Clear();
    return kReadNothing;
  }

 private:
  char* text_;
  int length_ = 0;
  bool lost_ = false;
};

void Raise(ScanEvidence* ev, int forward, int reverse) {
  ev->forwardCharacters = std::max(ev->forwardCharacters, forward);
  ev->reverseCharacters = std::max(ev->reverseCharacters, reverse);
}

char Code39At(const int32_t* runs, int position, int direction, const BarcodeParameters* p) {
  char pattern[16];
  ClassifyNarrowWide(runs, position, 9, pattern, direction, p);
  return LookupCode39(pattern);
}

int Code39(const int32_t* runs, int n, int length, TextSlot& text, ScanEvidence* ev, const BarcodeParameters* p,
           int& fwd, int& rev) {
  // Forward search for the first "*".
  int star = -1, before = 0;
  for (int q = 1; q <= n - 9; q += 2) {
    const char c = Code39At(runs, q, 1, p);
    if (c == '*') {
      star = q;
      break;
    }
    if (c) ++before;
  }
  if (star >= 0 && before == 0) {
    ++ev->leadingEndCount;
    text.Append('*');
    fwd = 1;
    const int most = (n - star - 9) / 10;
    bool lastFound = true;
    for (int k = 1; k <= most; ++k) {
      const char c = Code39At(runs, star + 10 * k, 1, p);
      if (!c) {
        lastFound = false;
        break;
      }
      ++fwd;
      text.Append(c);
      if (c == '*') {
        ++ev->trailingEndCount;
        return kReadForward;
      }
    }
    if (text.Length() - 1 > length / 2) return kPartialForward;
    if (text.Length() >= 3 && lastFound) return kReadNothing;
    --ev->leadingEndCount;
  } else if (star >= 0) {
    // Characters came before the first "*": it may be the closing one of a code whose start lies
    // outside the line. Find the last "*".
    int last = star;
    bool after = false;
    for (int q = star + 2; q <= n - 9; q += 2) {
      const char c = Code39At(runs, q, 1, p);
      if (c == '*') {
        last = q;
        after = false;
      } else if (c) {
        after = true;
      }
    }
    const int q = last + 10;
    if (!after && q > 30) {
      const int m = q / 10;
      text.Put(m, '*');
      int index = m - 1;
      bool all = true;
      for (int pos = q - 20; pos >= 1; pos -= 10, --index) {
        const char c = Code39At(runs, pos, 1, p);
        if (!c) {
          all = false;
          break;
        }
        ++fwd;
        if (index >= 1) text.Put(index, c);
      }
      if (all) {
        ++ev->trailingEndCount;
        if (m == length + 1) {
          text.Put(0, '*');
          return kPartialForward;
        }
        text.Clear();
        return kReadNothing;
      }
    }
  }

  // Reverse pass.
  text.Clear();
  star = -1;
  before = 0;
  for (int q = n - 2; q > 8; q -= 2) {
    const char c = Code39At(runs, q, -1, p);
    if (c == '*') {
      star = q;
      break;
    }
    if (c) ++before;
  }
  if (star < 0) return kReadNothing;
  if (before == 0) {
    ++ev->trailingEndCount;
    text.Append('*');
    rev = 1;
    const int most = (star - 9) / 10;
    bool lastFound = true;
    for (int k = 1; k <= most; ++k) {
      const char c = Code39At(runs, star - 10 * k, -1, p);
      if (!c) {
        lastFound = false;
        break;
      }
      ++rev;
      text.Append(c);
      if (c == '*') {
        ++ev->leadingEndCount;
        return kReadReverse;
      }
    }
    if (text.Length() - 1 > length / 2) return kPartialReverse;
    if (text.Length() < 3 || !lastFound) --ev->trailingEndCount;
    return kReadNothing;
  }
  int last = star;
  for (int q = star - 2; q > 8; q -= 2) {
    const char c = Code39At(runs, q, -1, p);
    if (c == '*') {
      last = q;
    } else if (c) {
      return kReadNothing;  // only a "*" may close the code
    }
  }
  const int q = last - 10;
  if (n - q < 31) return kReadNothing;
  const int m = (n - q) / 10;
  text.Put(m, '*');
  int index = m - 1;
  for (int pos = q + 20; pos < n; pos += 10, --index) {
    const char c = Code39At(runs, pos, -1, p);
    if (!c) {
      text.Clear();
      return kReadNothing;
    }
    ++rev;
    if (index >= 1) text.Put(index, c);
  }
  ++ev->leadingEndCount;
  if (m == length + 1) {
    text.Put(0, '*');
    return kPartialReverse;
  }
  text.Clear();
  return kReadNothing;
}

}  // namespace

int DecodeCode39(const int32_t* runs, int n, int length, char* text, ScanEvidence* evidence,
                 const BarcodeParameters* p) {
  TextSlot slot(text);
  int fwd = 0, rev = 0;
  const int r = Code39(runs, n, length, slot, evidence, p, fwd, rev);
  Raise(evidence, fwd, rev);
  return slot.Result(r);
}

namespace {

struct Pair25 {
  char first, second;
};

// The digit pair at position (bars the first digit, spaces the second); 0 in a digit that does
// not read.
Pair25 PairAt(const int32_t* runs, int position, int direction, const BarcodeParameters* p) {
  char pattern[16];
  ClassifyNarrowWide(runs, position, 10, pattern, direction, p);
  if (!pattern[0]) return {0, 0};
  char bars[6], spaces[6];
  for (int k = 0; k < 5; ++k) {
    bars[k] = pattern[2 * k];
    spaces[k] = pattern[2 * k + 1];
  }
  bars[5] = spaces[5] = 0;
  return {LookupInterleaved25Digit(bars), LookupInterleaved25Digit(spaces)};
}

bool Is(const int32_t* runs, int position, int count, int direction, const BarcodeParameters* p,
        const char* want) {
  char pattern[16];
  ClassifyNarrowWide(runs, position, count, pattern, direction, p);
  return std::strcmp(pattern, want) == 0;
}

bool WideSpace(int width) {
  const WidthClasses& wc = CurrentWidthClasses();
  return width * 10 > wc.narrowSpace + wc.wideSpace;
}

// The digit pairs after a start pattern, from run `i` on in `direction` (1: forward, up to the
// last whole pair of the line; -1: reverse, down to run 11), appended to the text until one does
// not read; `i` is left on the pair that did not read or past the last. `most` keeps the most
// digits read (both of a pair, or the first of the pair that failed); returns the whole pairs.
int PairsAfterStart(const int32_t* runs, int n, int& i, int direction, const BarcodeParameters* p, TextSlot& text,
                    int& most) {
  int pairs = 0, digits = 0;
  for (; direction > 0 ? i <= n - 10 : i > 10; i += 10 * direction) {
    const Pair25 d = PairAt(runs, i, direction, p);
    digits += (d.first != 0) + (d.first && d.second);
    if (!d.first || !d.second) break;
    text.Append(d.first);
    text.Append(d.second);
    ++pairs;
  }
  most = std::max(most, digits);
  return pairs;
}

// The pairs between a stop pattern at `j` and the end of the line, read from the stop outwards
// (`direction` 1: the stop read forward, the pairs before it; -1: reverse, the pairs after it). With
// m the pairs there is room for, the stop's "*" goes to text slot 2m + 1 and the pairs to slots 2m
// down to 1, the pair nearest the stop highest. `most` keeps the most digits read. Returns m, or -1
// (text cleared) once a pair does not read.
int PairsBeforeStop(const int32_t* runs, int n, int j, int direction, const BarcodeParameters* p, TextSlot& text,
                    int& most) {
  const int m = direction > 0 ? j / 10 : (n - j) / 10;
  text.Clear();
  text.Put(2 * m + 1, '*');
  int index = 2 * m, digits = 0;
  bool all = true;
  for (int pos = j - 10 * direction; direction > 0 ? pos >= 1 : pos < n; pos -= 10 * direction, index -= 2) {
    const Pair25 d = PairAt(runs, pos, direction, p);
    digits += (d.first != 0) + (d.first && d.second);
    if (!d.first || !d.second) {
      all = false;
      break;
    }
    if (index >= 1) text.Put(index, d.second);
    if (index - 1 >= 1) text.Put(index - 1, d.first);
  }
  most = std::max(most, digits);
  if (!all) {
    text.Clear();
    return -1;
  }
  return m;
}

int Interleaved25(const int32_t* runs, int n, int length, TextSlot& text, ScanEvidence* ev,
                  const BarcodeParameters* p, int& fwd, int& rev) {
  const int half = length / 2;
  const int P = length < 5 ? length / 2 : 2;
  const int S = 10 * P + 7;

  // 1. Forward from a start pattern.
  for (int s = 1; s <= n - S; s += 2) {
    if (!Is(runs, s, 4, 1, p, "1111")) continue;
    int Q = WideSpace(runs[s - 1]) ? 1 : 0;
    text.Clear();
    text.Append('*');
    int i = s + 4;
    const int pairs = PairsAfterStart(runs, n, i, 1, p, text, fwd);
    if (pairs == half || length < 3) {
      ++ev->leadingEndCount;
      if (i + 3 > n - 1 || !Is(runs, i, 3, 1, p, "211")) return kPartialForward;
      ++ev->trailingEndCount;
      text.Append('*');
      if (WideSpace(runs[i + 3])) ++Q;
      return Q == 2 ? kReadForward : kPartialForward;
    }
    if (pairs > half) return kPartialForward;
    if ((s == 1 || s == 3) && i > n - 10) {
      ++ev->leadingEndCount;
      return kPartialForward;
    }
  }

  // 2. Forward, from the stop back (the start lies outside the line).
  for (int j = n - 4; j > S; j -= 2) {
    if (!Is(runs, j, 3, 1, p, "211")) continue;
    const int m = PairsBeforeStop(runs, n, j, 1, p, text, fwd);
    if (m < 0) continue;
    if (2 * m >= length) {
      text.Put(0, '*');
      ++ev->trailingEndCount;
      return kPartialForward;
    }
    if (n - j > 4) continue;
    ++ev->trailingEndCount;
    return kPartialForward;
  }

  // 3. Reverse from a start pattern.
  for (int s = n - 2; s >= S; s -= 2) {
    if (!Is(runs, s, 4, -1, p, "1111")) continue;
    int Q = WideSpace(runs[s + 1]) ? 1 : 0;
    text.Clear();
    text.Append('*');
    int i = s - 4;
    const int pairs = PairsAfterStart(runs, n, i, -1, p, text, rev);
    if (pairs == half || length < 3) {
      ++ev->trailingEndCount;
      if (i < 3 || !Is(runs, i, 3, -1, p, "211")) return kPartialReverse;
      ++ev->leadingEndCount;
      text.Append('*');
      if (WideSpace(runs[i - 3])) ++Q;
      return Q == 2 ? kReadReverse : kPartialReverse;
    }
    if (pairs > half) return kPartialReverse;
    if ((s == n - 2 || s == n - 4) && i < 11) {
      ++ev->trailingEndCount;
      return kPartialReverse;
    }
  }

  // 4. Reverse, from the stop on (the start lies outside the line).
  for (int j = 3; j < n - S; j += 2) {
    if (!Is(runs, j, 3, -1, p, "211")) continue;
    const int m = PairsBeforeStop(runs, n, j, -1, p, text, rev);
    if (m < 0) continue;
    if (2 * m >= length) {
      text.Put(0, '*');
      ++ev->leadingEndCount;
      return kPartialReverse;
    }
    if (n - 1 - j > 4) continue;
    ++ev->leadingEndCount;
    text.Clear();
    return kPartialReverse;
  }
  text.Clear();
  return kReadNothing;
}

}  // namespace

int DecodeInterleaved25(const int32_t* runs, int n, int length, char* text, ScanEvidence* evidence,
                        const BarcodeParameters* p) {
  if (length % 2) ++length;
  TextSlot slot(text);
  int fwd = 0, rev = 0;
  const int r = Interleaved25(runs, n, length, slot, evidence, p, fwd, rev);
  Raise(evidence, fwd, rev);
  return slot.Result(r);
}

namespace {

int Code128At(const int32_t* runs, int position, int direction) {
  char pattern[8];
  ClassifyCode128Modules(runs, position, 6, pattern, direction);
  return LookupCode128(pattern);
}

}  // namespace

int DecodeCode128(const int32_t* runs, int n, char* text, ScanEvidence* evidence) {
  TextSlot slot(text);
  // The value string is built in the slot; more values than the slot holds cannot be a read.
  unsigned char* values = reinterpret_cast<unsigned char*>(text);
  int count = 0, fwd = 0, rev = 0, result = kReadNothing;
  auto add = [&](int v) {
    if (count >= kBarcodeTextSlot) return false;
    values[count++] = static_cast<unsigned char>(v);
    return true;
  };

  int start = -1;
  for (int q = 1; q <= n - 7; q += 2) {
    const int v = Code128At(runs, q, 1);
    if (v < 0) continue;
    ++fwd;
    if (v >= 103 && v <= 105) {
      start = q;
      break;
    }
    if (v == 106) ++evidence->trailingEndCount;
  }
  if (start >= 0) {
    ++evidence->leadingEndCount;
    count = 0;
    add(Code128At(runs, start, 1));
    for (int q = start + 6; q <= n - 7; q += 6) {
      const int v = Code128At(runs, q, 1);
      if (v < 0) break;
      ++fwd;
      if (!add(v)) break;
      if (v == 106) {
        ++evidence->trailingEndCount;
        result = kReadForward;
        break;
      }
    }
  }
  if (result == kReadNothing) {
    count = 0;
    for (int q = n - 2; q > 6; q -= 2) {
      const int v = Code128At(runs, q, -1);
      if (v < 0) continue;
      ++rev;
      if (v == 106) {
        ++evidence->leadingEndCount;
        continue;
      }
      if (v < 103 || q < 7) continue;
      ++evidence->trailingEndCount;
      add(v);
      for (int r = q - 6; r >= 7; r -= 6) {
        const int w = Code128At(runs, r, -1);
        if (w < 0) break;
        ++rev;
        if (!add(w)) break;
        if (w == 106) {
          ++evidence->leadingEndCount;
          result = kReadReverse;
          break;
        }
      }
      break;
    }
  }
  Raise(evidence, fwd, rev);
  if (result == kReadNothing || CheckCode128(values, count) != 0 || Code128ToText(values, count) < 0) {
    slot.Clear();
    return kReadNothing;
  }
  return result;
}

namespace {

// Reads the left half (six digits with their parities) from q in steps of 4; returns the digits
// read and leaves q at the position reached.
int LeftHalf(const int32_t* runs, int& q, int direction, int limit, char* digits, char* parity) {
  int gCount = 0;
  for (int d = 0; d < 6; ++d, q += 4 * direction) {
    if (direction > 0 ? q > limit : q < limit) return d;
    char pattern[8];
    ClassifyEanModules(runs, q, 4, pattern, direction);
    char c = LookupEanL(pattern);
    char par = '1';
    if (!c) {
      const int position = d + 1;
      const bool allowed = position == 2 || position == 3 || (position >= 4 && (gCount == 1 || gCount == 2));
      c = allowed ? LookupEanG(pattern) : 0;
      if (!c) return d;
      par = '2';
      ++gCount;
    }
    digits[d] = c;
    parity[d] = par;
  }
  parity[6] = 0;
  return 6;
}

bool EanIs(const int32_t* runs, int position, int count, int direction, const char* want) {
  char pattern[8];
  ClassifyEanModules(runs, position, count, pattern, direction);
  return std::strcmp(pattern, want) == 0;
}

// The rest of a code after its left half: parity, centre guard, the right half and the closing
// guard. Returns true with the 13 digits and "*" in the slot.
enum class Rest { Done, Fail, Short };
Rest RightHalf(const int32_t* runs, int n, int q, int direction, const char* left, const char* parity,
               TextSlot& text, int& elements) {
  const int first = LookupEanParity(parity);
  if (first < 0) return Rest::Fail;
  text.Clear();
  text.Put(0, char('0' + first));
  for (int d = 0; d < 6; ++d) text.Put(d + 1, left[d]);
  auto fits = [&](int at, int count) { return direction > 0 ? at + count - 1 <= n - 1 : at - count + 1 >= 0; };
  if (!fits(q, 5)) return Rest::Short;
  if (!EanIs(runs, q, 5, direction, "11111")) return Rest::Fail;
  ++elements;
  q += 5 * direction;
  for (int d = 0; d < 6; ++d, q += 4 * direction) {
    if (direction > 0 ? q > n - 3 : q < 3) return Rest::Short;
    char pattern[8];
    ClassifyEanModules(runs, q, 4, pattern, direction);
    const char c = LookupEanL(pattern);
    if (!c) return Rest::Short;
    ++elements;
    text.Put(7 + d, c);
  }
  if (!fits(q, 3) || !EanIs(runs, q, 3, direction, "111")) return Rest::Fail;
  ++elements;
  text.Put(13, '*');
  return Rest::Done;
}

int Ean13(const int32_t* runs, int n, TextSlot& text, ScanEvidence* ev, int& fwd, int& rev) {
  char digits[7], parity[7];
  bool anyGuard = false;
  for (int p = 1; p <= n - 3; p += 2) {
    if (!EanIs(runs, p, 3, 1, "111")) continue;
    anyGuard = true;
    ++ev->leadingEndCount;
    int q = p + 3;
    const int got = LeftHalf(runs, q, 1, n - 5, digits, parity);
    fwd = std::max(fwd, 1 + got);
    if (got < 6) {
      if (q > n - 59) break;
      continue;
    }
    int elements = 1 + got;
    const Rest r = RightHalf(runs, n, q, 1, digits, parity, text, elements);
    fwd = std::max(fwd, elements);
    if (r == Rest::Fail) return kReadNothing;
    if (r == Rest::Done) return kReadForward;
    break;
  }
  if (!anyGuard) return kReadNothing;

  text.Clear();
  int p = n - 2;
  for (;;) {
    while (p > 3 && !EanIs(runs, p, 3, -1, "111")) p -= 2;
    if (p <= 3 || p < 5) return kReadNothing;
    ++ev->trailingEndCount;
    int q = p - 3;
    const int got = LeftHalf(runs, q, -1, 5, digits, parity);
    rev = std::max(rev, 1 + got);
    if (got < 6) {
      if (q < 60) return kReadNothing;
      p -= 2;
      continue;
    }
    int elements = 1 + got;
    const Rest r = RightHalf(runs, n, q, -1, digits, parity, text, elements);
    rev = std::max(rev, elements);
    return r == Rest::Done ? kReadReverse : kReadNothing;
  }
}

}  // namespace

int DecodeEan13(const int32_t* runs, int n, char* text, ScanEvidence* evidence) {
  TextSlot slot(text);
  int fwd = 0, rev = 0;
  int r = Ean13(runs, n, slot, evidence, fwd, rev);
  Raise(evidence, fwd, rev);
  if ((r == kReadForward || r == kReadReverse) && CheckEan13(text, 13) != 0) r = kReadNothing;
  if (r == kReadNothing) slot.Clear();
  return slot.Result(r);
}
