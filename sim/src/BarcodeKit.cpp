// Bar-code symbols for the card-form tests, encoded from the published symbology definitions.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "sim/CardKit.h"

namespace sim {

namespace {

// Code 39: for each character the nine elements (bar first) as a mask, the high bit first and a
// set bit wide.
const char kC39Chars[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-. $/+%*";
const uint16_t kC39Masks[44] = {0x034, 0x121, 0x061, 0x160, 0x031, 0x130, 0x070, 0x025, 0x124, 0x064, 0x109,
                                0x049, 0x148, 0x019, 0x118, 0x058, 0x00D, 0x10C, 0x04C, 0x01C, 0x103, 0x043,
                                0x142, 0x013, 0x112, 0x052, 0x007, 0x106, 0x046, 0x016, 0x181, 0x0C1, 0x1C0,
                                0x091, 0x190, 0x0D0, 0x085, 0x184, 0x0C4, 0x0A8, 0x0A2, 0x08A, 0x02A, 0x094};

// Interleaved 2 of 5: five elements per digit as a mask, the high bit first and a set bit wide.
const uint8_t k25Masks[10] = {0x06, 0x11, 0x09, 0x18, 0x05, 0x14, 0x0C, 0x03, 0x12, 0x0A};

// Code 128: module widths of values 0-106, one decimal digit per element, bar first.
const int kC128[107] = {
    212222, 222122, 222221, 121223, 121322, 131222, 122213, 122312, 132212, 221213, 221312, 231212, 112232, 122132,
    122231, 113222, 123122, 123221, 223211, 221132, 221231, 213212, 223112, 312131, 311222, 321122, 321221, 312212,
    322112, 322211, 212123, 212321, 232121, 111323, 131123, 131321, 112313, 132113, 132311, 211313, 231113, 231311,
    112133, 112331, 132131, 113123, 113321, 133121, 313121, 211331, 231131, 213113, 213311, 213131, 311123, 311321,
    331121, 312113, 312311, 332111, 314111, 221411, 431111, 111224, 111422, 121124, 121421, 141122, 141221, 112214,
    112412, 122114, 122411, 142112, 142211, 241211, 221114, 413111, 241112, 134111, 111242, 121142, 121241, 114212,
    124112, 124211, 411212, 421112, 421211, 212141, 214121, 412121, 111143, 111341, 131141, 114113, 114311, 411113,
    411311, 113141, 114131, 311141, 411131, 211412, 211214, 211232, 2331112};

// EAN-13 left-hand odd-parity digits (space first, four elements); the even-parity set is the
// same widths in reverse order, the right-hand set the same widths starting with a bar.
const int kEanOdd[10] = {3211, 2221, 2122, 1411, 1132, 1231, 1114, 1312, 1213, 3112};
// Which left-hand digits take even parity, per leading digit (bit 5 = second digit of the code).
const uint8_t kEanEven[10] = {0x00, 0x0B, 0x0D, 0x0E, 0x13, 0x19, 0x1C, 0x15, 0x16, 0x1A};

void PushDigits(std::vector<double>& out, int packed, bool reverse) {
    std::string d = std::to_string(packed);
    if (reverse) std::reverse(d.begin(), d.end());
    for (char c : d) out.push_back(c - '0');
}

int EanCheck(const std::string& d12) {
    int sum = 0;
    for (int i = 0; i < 12; ++i) sum += (d12[i] - '0') * (i % 2 ? 3 : 1);
    return (10 - sum % 10) % 10;
}

std::string Even25(const std::string& data) { return data.size() % 2 ? "0" + data : data; }

bool AllDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<double> EncodeBarcode(Symbology symbology, const std::string& data, double wideRatio, bool corruptCheck) {
    std::vector<double> e;
    switch (symbology) {
        case Symbology::Code39: {
            const std::string all = "*" + data + "*";
            for (size_t i = 0; i < all.size(); ++i) {
                const char* at = std::char_traits<char>::find(kC39Chars, 44, all[i]);
                if (!at) throw std::invalid_argument("not a Code 39 character");
                const uint16_t mask = kC39Masks[at - kC39Chars];
                for (int k = 8; k >= 0; --k) e.push_back(mask >> k & 1 ? wideRatio : 1.0);
                if (i + 1 < all.size()) e.push_back(1.0);  // gap between characters
            }
            break;
        }
        case Symbology::Interleaved25: {
            const std::string d = Even25(data);
            if (!AllDigits(d)) throw std::invalid_argument("2 of 5 takes digits");
            e = {1, 1, 1, 1};
            for (size_t i = 0; i < d.size(); i += 2) {
                const uint8_t a = k25Masks[d[i] - '0'], b = k25Masks[d[i + 1] - '0'];
                for (int k = 4; k >= 0; --k) {
                    e.push_back(a >> k & 1 ? wideRatio : 1.0);
                    e.push_back(b >> k & 1 ? wideRatio : 1.0);
                }
            }
            e.insert(e.end(), {wideRatio, 1, 1});
            break;
        }
        case Symbology::Code128: {
            std::vector<int> values;
            if (AllDigits(data) && data.size() % 2 == 0) {
                values.push_back(105);
                for (size_t i = 0; i < data.size(); i += 2) values.push_back((data[i] - '0') * 10 + data[i + 1] - '0');
            } else {
                values.push_back(104);
                for (char c : data) {
                    if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 127) throw std::invalid_argument("not a Code 128 set B character");
                    values.push_back(c - 32);
                }
            }
            int check = values[0];
            for (size_t i = 1; i < values.size(); ++i) check += values[i] * int(i);
            check %= 103;
            if (corruptCheck) check = (check + 1) % 103;
            values.push_back(check);
            values.push_back(106);
            for (int v : values) PushDigits(e, kC128[v], false);
            break;
        }
        case Symbology::Ean13: {
            if (data.size() != 12 || !AllDigits(data)) throw std::invalid_argument("EAN-13 takes 12 digits");
            int check = EanCheck(data);
            if (corruptCheck) check = (check + 1) % 10;
            const std::string d = data + char('0' + check);
            e = {1, 1, 1};
            const uint8_t even = kEanEven[d[0] - '0'];
            for (int i = 1; i <= 6; ++i) PushDigits(e, kEanOdd[d[i] - '0'], even >> (6 - i) & 1);
            e.insert(e.end(), {1, 1, 1, 1, 1});
            for (int i = 7; i <= 12; ++i) PushDigits(e, kEanOdd[d[i] - '0'], false);
            e.insert(e.end(), {1, 1, 1});
            break;
        }
    }
    return e;
}

std::string BarcodeReadText(Symbology symbology, const std::string& data) {
    switch (symbology) {
        case Symbology::Interleaved25: {
            std::string text(1, '*');
            text += Even25(data);
            text += '*';
            return text;
        }
        case Symbology::Ean13:
            return data + char('0' + EanCheck(data)) + "*";
        default:
            return "*" + data + "*";
    }
}

RenderedBarcode DrawBarcode(GreyImage& image, int x, int y, const BarcodeSpec& def) {
    const std::vector<double> elements = EncodeBarcode(def.symbology, def.data, def.wideRatio, def.corruptCheck);
    // Edges in pixels from the start of the leading quiet zone.
    std::vector<double> edges;
    double at = def.quietModules * def.module;
    for (double w : elements) {
        edges.push_back(at);
        at += w * def.module;
    }
    edges.push_back(at);
    const int length = int(std::ceil(at + def.quietModules * def.module));
    // Exact ink coverage of each pixel along the code.
    std::vector<double> ink(size_t(length), 0.0);
    for (size_t k = 0; k + 1 < edges.size(); k += 2) {
        const double a = edges[k], b = edges[k + 1];
        for (int i = std::max(0, int(a)); i < std::min(length, int(std::ceil(b))); ++i)
            ink[size_t(i)] += std::max(0.0, std::min(b, i + 1.0) - std::max(a, double(i)));
    }
    if (def.blur > 0) {
        const int r = int(std::ceil(3 * def.blur));
        std::vector<double> kernel(size_t(2 * r + 1));
        double sum = 0;
        for (int k = -r; k <= r; ++k) sum += kernel[size_t(k + r)] = std::exp(-0.5 * k * k / (def.blur * def.blur));
        std::vector<double> out(ink.size(), 0.0);
        for (int i = 0; i < length; ++i)
            for (int k = -r; k <= r; ++k) {
                const int j = std::clamp(i + k, 0, length - 1);
                out[size_t(i)] += ink[size_t(j)] * kernel[size_t(k + r)] / sum;
            }
        ink.swap(out);
    }
    if (def.reversed) std::reverse(ink.begin(), ink.end());
    RenderedBarcode placed;
    placed.text = BarcodeReadText(def.symbology, def.data);
    placed.x = x;
    placed.y = y;
    placed.w = def.vertical ? def.barLength : length;
    placed.h = def.vertical ? length : def.barLength;
    for (int along = 0; along < length; ++along) {
        const double c = std::clamp(ink[size_t(along)], 0.0, 1.0);
        const uint8_t v = uint8_t(std::lround(def.paper - (def.paper - def.ink) * c));
        for (int across = 0; across < def.barLength; ++across) {
            const int px = x + (def.vertical ? across : along);
            const int py = y + (def.vertical ? along : across);
            if (px >= 0 && py >= 0 && px < image.width && py < image.height) image.at(px, py) = v;
        }
    }
    return placed;
}

RenderedBarcode RenderBarcode(const BarcodeSpec& def, uint32_t seed) {
    const std::vector<double> elements = EncodeBarcode(def.symbology, def.data, def.wideRatio, def.corruptCheck);
    double units = 2.0 * def.quietModules;
    for (double w : elements) units += w;
    const int length = int(std::ceil(units * def.module)) + 1;
    const int along = length + 2 * def.margin, across = def.barLength + 2 * def.margin;
    GreyImage image(def.vertical ? across : along, def.vertical ? along : across, def.paper);
    RenderedBarcode r = DrawBarcode(image, def.margin, def.margin, def);
    if (def.noise > 0) AddNoise(image, def.noise, seed);
    r.image = std::move(image);
    return r;
}

}  // namespace sim
