// The bar-code reader: checks the area and the parameter block, lays scan lines across the area,
// turns each line's grey profile into a run list and hands it to the symbology decoders, and
// accepts a read by the rules of the parameter block's mode.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Barcode.h"
#include "FormPositionRecord.h"

namespace {

constexpr int kErrText = 128;
constexpr int kMaxLines = 41;  // a pass reads at most 2 x 20 + 1 lines

// Where the scan lines of a pass lie: `across` is the row (directions 1, 2) or column (3, 4) of
// the middle line, the lines run from `from` to `to` (inclusive) along the other axis.
struct Scan {
  bool alongRows;
  int middle, count, spacing;
  int from, to;
};

void PlaceLines(Scan& s, int extent) {
  s.count = std::max(1, extent * 4 / 50);
  s.spacing = 5;
  if (s.count > 10) {
    s.count = 10;
    s.spacing = (extent / 2) / 10;
    if (s.spacing > 25) {
      s.spacing = 25;
      s.count = std::max(1, (extent / 2) / 25);
    }
  }
}

// Samples one scan line into profile; returns the number of samples.
int SampleLine(const uint8_t* image, int width, int height, const Scan& s, int across, uint8_t* profile) {
  int length = s.to - s.from + 1;
  if (length < 1) return 0;
  int step = 1;
  if (length > kBarcodeMaxSamples) {
    step = 2;
    length = std::min((length + 1) / 2, kBarcodeMaxSamples);
  }
  for (int i = 0; i < length; ++i) {
    const int along = s.from + i * step;
    const int row = s.alongRows ? across : along;
    const int col = s.alongRows ? along : across;
    profile[i] = row < 0 || col < 0 || row >= height || col >= width ? 255 : image[size_t(row) * width + col];
  }
  return length;
}

void MedianFilter(uint8_t* profile, int length, int t) {
  if (t <= 0 || length < 2 * t + 1) return;
  uint8_t copy[kBarcodeMaxSamples];
  std::memcpy(copy, profile, size_t(length));
  uint8_t window[9];
  for (int i = t; i < length - t; ++i) {
    std::memcpy(window, copy + i - t, size_t(2 * t + 1));
    std::nth_element(window, window + t, window + 2 * t + 1);
    profile[i] = window[t];
  }
}

}  // namespace

// Edges are found from the profile's first differences: a falling step enters a bar, a rising
// one leaves it. A step counts when it exceeds a sixth of the line's contrast (at least kMinStep);
// neighbouring steps of one sign are one edge. Each edge is then placed where the profile crosses
// the middle between paper and ink around it (the extremes within kReach samples, or the line's
// own extremes where the neighbourhood shows less than half the line's contrast), between
// samples by linear interpolation, searched from the brightest to the darkest sample between the
// neighbouring edges. Symmetric blur moves no edge across that middle level; it only lowers the
// contrast of narrow elements.
// Returns n, the number of runs (odd; 1 when the line shows no bars).
int BarcodeRunList(const uint8_t* profile, int length, int32_t* runs) {
  constexpr int kMinStep = 12;
  constexpr int kMinContrast = 24;
  constexpr int kReach = 16;
  runs[0] = length;
  if (length < 3) return 1;
  const auto [lo, hi] = std::minmax_element(profile, profile + length);
  if (*hi - *lo < kMinContrast) return 1;
  const int step = std::max(kMinStep, (*hi - *lo) / 6);

  // Approximate edges: the strongest difference of each group of one sign.
  int at[kBarcodeMaxSamples];
  int sign[kBarcodeMaxSamples];
  int edges = 0, strongest = 0;
  for (int i = 0; i + 1 < length; ++i) {
    const int d = profile[i + 1] - profile[i];
    if (std::abs(d) < step) continue;
    const int sd = d < 0 ? -1 : 1;
    if (edges == 0 || sign[edges - 1] != sd) {
      at[edges] = i;
      sign[edges++] = sd;
      strongest = std::abs(d);
    } else if (std::abs(d) > strongest) {
      at[edges - 1] = i;
      strongest = std::abs(d);
    }
  }
  if (edges == 0) return 1;

  int n = 0, last = 0;
  if (sign[0] > 0) runs[n++] = 0;  // the line begins inside a bar: no leading space
  for (int k = 0; k < edges; ++k) {
    const int from = k == 0 ? 0 : at[k - 1] + 1;
    const int to = k + 1 == edges ? length - 1 : at[k + 1];
    // Extremes on both sides: before the edge the element it leaves, after it the one it enters.
    int pre = at[k], post = at[k] + 1;
    for (int j = from; j <= at[k]; ++j)
      if (sign[k] < 0 ? profile[j] > profile[pre] : profile[j] < profile[pre]) pre = j;
    for (int j = at[k] + 1; j <= to; ++j)
      if (sign[k] < 0 ? profile[j] < profile[post] : profile[j] > profile[post]) post = j;
    int a = 255, b = 0;
    for (int j = std::max(0, at[k] - kReach); j <= std::min(length - 1, at[k] + kReach); ++j) {
      a = std::min<int>(a, profile[j]);
      b = std::max<int>(b, profile[j]);
    }
    const float level = 2 * (b - a) >= *hi - *lo ? (a + b) / 2.0f : (*lo + *hi) / 2.0f;
    float where = float(at[k]) + 0.5f;
    for (int j = pre; j < post; ++j) {
      const float a = profile[j], b = profile[j + 1];
      if ((a - level) * (b - level) <= 0 && a != b) {
        where = float(j) + (level - a) / (b - a);
        break;
      }
    }
    // Sample j stands for the pixel [j, j + 1): the crossing lies at where + 0.5 along the line.
    const int edge = int(where + 1.0f);
    runs[n++] = edge - last;
    last = edge;
  }
  runs[n++] = length - last;
  if (sign[edges - 1] < 0) runs[n++] = 0;  // the line ends inside a bar: no trailing space
  return n;
}

namespace {

struct LineResult {
  int result = 0;
  int type = 0;
  char text[kBarcodeTextSlot] = {};
};

// Reads one scan line with the parameter block's symbology (all four in turn for type 1).
void ReadLine(const uint8_t* profile, int length, int type, const BarcodeParameters* p, ScanEvidence* ev,
              LineResult& out) {
  int32_t runs[kBarcodeMaxRuns];
  int32_t work[kBarcodeMaxRuns];
  const int n = BarcodeRunList(profile, length, runs);
  out.result = 0;
  out.type = type;
  out.text[0] = 0;
  if (n < 3) return;
  auto twoWidth = [&](int decoder) {
    std::memcpy(work, runs, sizeof(int32_t) * size_t(n));
    const int m = TwoWidthStatistics(work, n, p);
    if (m < 3) return 0;
    return decoder == kBarcodeCode39 ? DecodeCode39(work, m, p->length, out.text, ev, p)
                                     : DecodeInterleaved25(work, m, p->length, out.text, ev, p);
  };
  switch (type) {
    case kBarcodeCode39:
    case kBarcodeInterleaved25:
      out.result = twoWidth(type);
      return;
    case kBarcodeCode128:
      out.result = DecodeCode128(runs, n, out.text, ev);
      return;
    case kBarcodeEan13:
      out.result = DecodeEan13(runs, n, out.text, ev);
      return;
    default:
      break;
  }
  // Any symbology: EAN-13 and Code 128 on the plain run list, then Code 39 and 2 of 5 on the
  // list the two-width statistics trimmed; the first complete read wins.
  LineResult partial;
  int trimmed = 0;
  for (int t : {kBarcodeEan13, kBarcodeCode128, kBarcodeCode39, kBarcodeInterleaved25}) {
    int r = 0;
    if (t == kBarcodeEan13) {
      r = DecodeEan13(runs, n, out.text, ev);
    } else if (t == kBarcodeCode128) {
      r = DecodeCode128(runs, n, out.text, ev);
    } else if (t == kBarcodeCode39) {
      std::memcpy(work, runs, sizeof(int32_t) * size_t(n));
      trimmed = TwoWidthStatistics(work, n, p);
      if (trimmed < 3) break;
      r = DecodeCode39(work, trimmed, p->length, out.text, ev, p);
    } else {
      r = DecodeInterleaved25(work, trimmed, p->length, out.text, ev, p);  // the list Code 39 read
    }
    if (r == kReadForward || r == kReadReverse) {
      out.result = r;
      out.type = t;
      return;
    }
    if ((r == kPartialForward || r == kPartialReverse) && partial.result == 0) {
      partial.result = r;
      partial.type = t;
      std::memcpy(partial.text, out.text, sizeof partial.text);
    }
  }
  out = partial;
}

struct Reader {
  const uint8_t* image;
  int width, height;
  BarcodeParameters* p;
  int type;  // the symbology asked for (1: any)
  ScanEvidence evidence{};
  // Complete reads recorded for modes 1 and 2.
  struct Recorded {
    int result;
    char text[kBarcodeTextSlot];
  };
  Recorded recorded[kMaxLines * 8];  // two passes and six further attempts
  int recordedCount = 0;
  char* text;
  int wonType = 0;

  bool Complete(const LineResult& r) const {
    if (r.result != kReadForward && r.result != kReadReverse) return false;
    return type == kBarcodeAny || int(std::strlen(r.text)) == p->length + 2;
  }

  // Modes 1 and 2: m + 1 equal complete reads of one result.
  bool Consensus(const LineResult& r) {
    if (recordedCount >= int(sizeof recorded / sizeof recorded[0])) return false;
    Recorded& rec = recorded[recordedCount++];
    rec.result = r.result;
    std::memcpy(rec.text, r.text, sizeof rec.text);
    const int m = p->mode;
    if (recordedCount <= m) return false;
    int first = -1;
    for (int i = 0; i < recordedCount; ++i)
      if (recorded[i].result == r.result) {
        first = i;
        break;
      }
    int equal = 0;
    for (int i = first + 1; i < recordedCount; ++i)
      if (recorded[i].result == r.result && std::strcmp(recorded[i].text, recorded[first].text) == 0) ++equal;
    if (equal < m) return false;
    std::memcpy(text, recorded[first].text, kBarcodeTextSlot);
    return true;
  }

  bool PartialShape(const LineResult& r) const {
    if (r.result != kPartialForward && r.result != kPartialReverse) return false;
    const int len = int(std::strlen(r.text));
    return len == p->length + 1 || (len == p->length + 2 && r.text[len - 1] == '*');
  }

  // One pass over the scan lines of s; returns 1 or 2 for an accepted read, else 0.
  int Pass(const Scan& s) {
    evidence = {};
    static_assert(kMaxLines >= 2 * 20 + 1);
    LineResult lines[kMaxLines];
    int used = 0;
    uint8_t profile[kBarcodeMaxSamples];
    for (int i = 0; i < 2 * s.count + 1 && used < kMaxLines; ++i) {
      const int k = (i + 1) / 2;
      const int across = s.middle + (i % 2 ? -k : k) * s.spacing;
      const int length = SampleLine(image, width, height, s, across, profile);
      MedianFilter(profile, length, p->tolerance);
      LineResult& r = lines[used++];
      ReadLine(profile, length, type, p, &evidence, r);
      if (!Complete(r)) continue;
      if (p->mode == 0) {
        std::memcpy(text, r.text, kBarcodeTextSlot);
        wonType = r.type;
        return r.result;
      }
      if (Consensus(r)) {
        wonType = r.type;
        return r.result;
      }
    }
    if (p->startStopRequired) return 0;
    // Partial reads: three scan lines that agree on the first length + 1 characters.
    for (int i = 0; i < used; ++i) {
      if (!PartialShape(lines[i])) continue;
      int agree = 0;
      for (int j = i + 1; j < used; ++j)
        if (lines[j].result == lines[i].result && PartialShape(lines[j]) &&
            std::strncmp(lines[j].text, lines[i].text, size_t(p->length + 1)) == 0)
          ++agree;
      if (agree >= 2) {
        std::memcpy(text, lines[i].text, kBarcodeTextSlot);
        wonType = lines[i].type;
        return lines[i].result == kPartialForward ? kReadForward : kReadReverse;
      }
    }
    return 0;
  }
};

bool Refuse(char* errText, int code, int& result, const char* format, auto... args) {
  if (errText) std::snprintf(errText, kErrText, format, args...);
  result = code;
  return true;
}

// Checks the area and the parameter block (repairing the tuning values); true with the refusal
// code in result when the call must end.
bool CheckArguments(int width, int height, int y, int x, int h, int w, BarcodeParameters* p, char* errText,
                    int& result) {
  if (h < 100 || w < 100) return Refuse(errText, -2, result, "Err: Bar-code Box size (%d, %d)\n", h, w);
  if (y < 0 || x < 0 || y + h >= height || x + w >= width)
    return Refuse(errText, -3, result, "Err: Bar-code Box (%d,%d  %d,%d  %d,%d)\n", y, x, h, w, height, width);
  if (p->type != kBarcodeInterleaved25 && p->type != kBarcodeCode39 && p->type != kBarcodeCode128 &&
      p->type != kBarcodeEan13 && p->type != kBarcodeAny)
    return Refuse(errText, -4, result, "Err: Bar-code Type (%d)\n", p->type);
  if (p->length < 1 || p->length > 127) return Refuse(errText, -3, result, "Err: Bar-code length (%d)\n", p->length);
  if (p->tolerance < 0 || p->tolerance > 4)
    return Refuse(errText, -4, result, "Err: Bar-code Tolerance (%d)\n", p->tolerance);
  if (p->direction < 1 || p->direction > 4)
    return Refuse(errText, -5, result, "Err: Bar-code direction (%d)\n", p->direction);
  if (p->quietSpaceRequired != 0 && p->quietSpaceRequired != 1)
    return Refuse(errText, -6, result, "Err: Bar-code leading and ending quiet space required (%d)\n",
                  p->quietSpaceRequired);
  if (p->startStopRequired != 0 && p->startStopRequired != 1)
    return Refuse(errText, -6, result, "Err: Bar-code start and stop char required (%d)\n", p->startStopRequired);
  if (p->widthCheckRequired != 0 && p->widthCheckRequired != 1)
    return Refuse(errText, -6, result, "Err: Bar-code bar width consistance check required (%d)\n",
                  p->widthCheckRequired);
  if (p->tuning1 < 130 || p->tuning1 > 300) p->tuning1 = 150;
  if (p->tuning2 < 200 || p->tuning2 > 1000) p->tuning2 = 400;
  if (p->tuning3 < 10 || p->tuning3 > 200) p->tuning3 = 50;
  if (p->mode < 0 || p->mode > 2) p->mode = 0;
  if (p->type == kBarcodeInterleaved25 && p->length > 2) p->length = (p->length + 1) / 2 * 2;
  if (p->type == kBarcodeEan13) p->length = 12;
  if (p->type == kBarcodeAny) p->length = 1;
  return false;
}

}  // namespace

int ReadBarcode(const int16_t size[2], const uint8_t* image, int y, int x, int h, int w, BarcodeParameters* p,
                char* text, char* errText) {
  if (text) text[0] = 0;
  if (errText) errText[0] = 0;
  if (!size || !image || !p || !text) return -1;
  const int width = size[0], height = size[1];
  int refused = 0;
  if (CheckArguments(width, height, y, x, h, w, p, errText, refused)) return refused;

  Reader reader;
  reader.image = image;
  reader.width = width;
  reader.height = height;
  reader.p = p;
  reader.type = p->type;
  reader.text = text;
  Scan s{};
  s.alongRows = p->direction <= 2;
  const int extent = s.alongRows ? h : w;
  s.middle = s.alongRows ? y + h / 2 : x + w / 2;
  s.from = s.alongRows ? x : y;
  s.to = s.alongRows ? x + w - 1 : y + h - 1;
  PlaceLines(s, extent);
  const Scan original = s;
  const int imageEnd = (s.alongRows ? width : height) - 1;

  int r = reader.Pass(s);
  if (r == 0) {
    const ScanEvidence& ev = reader.evidence;
    if (ev.leadingEndCount == 0 && ev.trailingEndCount == 0 && 2 * ev.forwardCharacters < p->length &&
        2 * ev.reverseCharacters < p->length)
      return -1;
    if (ev.leadingEndCount < 3 || ev.trailingEndCount < 3) {
      const int third = (s.to - s.from + 1) / 3;
      if (ev.leadingEndCount < 3) s.from = std::max(0, s.from - third);
      if (ev.trailingEndCount < 3) s.to = std::min(imageEnd, s.to + third);
      PlaceLines(s, extent);
      r = reader.Pass(s);
    }
  }
  if (r == 0 && p->skipFurtherAttempts == 0) {
    for (int d : {4, 2, 1}) {
      const int cut = ((original.to - original.from + 1) / d) / 2;
      for (int sign : {1, -1}) {
        s = original;
        s.from += sign * cut;
        s.to -= sign * cut;
        if (s.to - s.from < 2) continue;
        r = reader.Pass(s);
        if (r) break;
      }
      if (r) break;
    }
  }
  if (r == 0) {
    text[0] = 0;
    return -1;
  }
  if (p->type == kBarcodeAny) p->type = reader.wonType;
  return s.alongRows ? r : r + 2;
}

int ReadFormBarcode(const int16_t size[2], const uint8_t* image, FormPositionRecord* form) {
  if (!form) return -10;
  BarcodeParameters p{};
  p.type = form->barcodeType;
  p.length = form->barcodeLength;
  if (p.type == kBarcodeInterleaved25) p.length = (p.length + 1) / 2 * 2;
  p.tolerance = form->barcodeTolerance;
  for (int bit = 0; bit < 4; ++bit)
    if (form->requested & (0x10u << bit)) {
      p.direction = bit + 1;
      break;
    }
  p.quietSpaceRequired = p.startStopRequired = p.widthCheckRequired = 1;
  p.tuning1 = 150;
  p.tuning2 = 800;
  p.tuning3 = 50;
  const FormBox& box = form->barcodeBox;
  char err[kErrText];
  const int r = ReadBarcode(size, image, box.cy - box.h / 2, box.cx - box.w / 2, box.h, box.w, &p,
                            form->barcodeText, err);
  if (r < 0) {
    if (err[0]) std::fputs(err, stdout);
    return r;
  }
  // The length word is the form's only for the symbology it asked for: with "any" the reader
  // writes back the type that read, and the length it read with is its own.
  const int asked = form->barcodeType;
  if ((asked == kBarcodeInterleaved25 || asked == kBarcodeCode39) &&
      int(std::strlen(form->barcodeText)) != p.length + 2)
    return -11;
  if (r >= 1 && r <= 4) {
    form->found |= 0x10u << (r - 1);
    return 0;
  }
  return -10;
}
