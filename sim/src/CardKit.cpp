// Tenprint card forms for the card-form tests: ruled rows of boxes with finger prints in them,
// turned by a small skew, optionally with the plain row on a second stacked page.
#include <algorithm>
#include <cmath>

#include "sim/CardKit.h"

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Segment {
    bool vertical;
    double at;        // u of a vertical line, v of a horizontal one (its centre)
    double from, to;  // extent along the line
};

struct Turn {
    double cx, cy, c, s;
    void ToImage(double u, double v, double& x, double& y) const {
        x = cx + (u - cx) * c - (v - cy) * s;
        y = cy + (u - cx) * s + (v - cy) * c;
    }
    void ToCard(double x, double y, double& u, double& v) const {
        u = cx + (x - cx) * c + (y - cy) * s;
        v = cy - (x - cx) * s + (y - cy) * c;
    }
    // Image pixels that can hold card points of the rectangle.
    void Bounds(const CardBox& b, int width, int height, int& x0, int& x1, int& y0, int& y1) const {
        double xs[4], ys[4];
        ToImage(b.u0, b.v0, xs[0], ys[0]);
        ToImage(b.u1, b.v0, xs[1], ys[1]);
        ToImage(b.u0, b.v1, xs[2], ys[2]);
        ToImage(b.u1, b.v1, xs[3], ys[3]);
        x0 = std::max(0, int(std::floor(*std::min_element(xs, xs + 4))) - 1);
        x1 = std::min(width, int(std::ceil(*std::max_element(xs, xs + 4))) + 2);
        y0 = std::max(0, int(std::floor(*std::min_element(ys, ys + 4))) - 1);
        y1 = std::min(height, int(std::ceil(*std::max_element(ys, ys + 4))) + 2);
    }
};

void DrawLine(GreyImage& img, const Turn& t, const Segment& s, double thickness, uint8_t ink) {
    const double half = thickness / 2;
    const CardBox box = s.vertical ? CardBox{s.at - half - 1, s.at + half + 1, s.from, s.to}
                                   : CardBox{s.from, s.to, s.at - half - 1, s.at + half + 1};
    int x0, x1, y0, y1;
    t.Bounds(box, img.width, img.height, x0, x1, y0, y1);
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            double u, v;
            t.ToCard(x, y, u, v);
            const double along = s.vertical ? v : u;
            if (along < s.from || along > s.to) continue;
            const double d = std::abs((s.vertical ? u : v) - s.at);
            const double cover = std::clamp(half + 0.5 - d, 0.0, 1.0);
            if (cover <= 0) continue;
            uint8_t& px = img.at(x, y);
            px = uint8_t(std::lround(px - (px - ink) * cover));
        }
}

// Renders the finger scene at the box's size and lays its ink over the box.
// Fingertips drawn are added to `fingers` (image coordinates) when given. `cached` keeps the
// render for boxes of the same size that share it.
// `mirror` lays the render down mirrored left to right: a right hand becomes the left hand's prints
// (fingers renumbered to the other hand, loops turned the other way).
void DrawPrints(GreyImage& img, const Turn& t, const CardBox& b, FingerLayout layout, uint32_t seed,
                std::vector<FingerTruth>* fingers = nullptr, GreyImage* cached = nullptr, bool mirror = false) {
    FingerScene scene;
    scene.platen.width = int(b.u1 - b.u0);
    scene.platen.height = int(b.v1 - b.v0);
    scene.platen.vignetting = 0;
    scene.platen.noise = 0;
    scene.layout = layout;
    GreyImage own;
    const bool reuse = cached && cached->width == scene.platen.width && cached->height == scene.platen.height;
    if (!reuse) {
        SceneTruth st;
        own = RenderFingers(scene, seed, &st);
        if (mirror) {
            for (int y = 0; y < own.height; ++y) {
                uint8_t* row = &own.at(0, y);
                std::reverse(row, row + own.width);
            }
            for (FingerTruth& f : st.fingers) {
                const int w = own.width - 1;
                f.centreX = w - f.centreX;
                const int left = f.left;
                f.left = w - f.right;
                f.right = w - left;
                f.angleDeg = -f.angleDeg;
                f.isoFinger += f.isoFinger > 5 ? -5 : 5;
                if (f.pattern == PatternClass::LeftLoop || f.pattern == PatternClass::RightLoop)
                    f.pattern = f.pattern == PatternClass::LeftLoop ? PatternClass::RightLoop : PatternClass::LeftLoop;
            }
            std::reverse(st.fingers.begin(), st.fingers.end());  // left to right again
        }
        if (fingers)
            for (FingerTruth f : st.fingers) {
                double x, y;
                t.ToImage(b.u0 + f.centreX, b.v0 + f.centreY, x, y);
                f.centreX = x;
                f.centreY = y;
                f.angleDeg += t.s == 0 ? 0 : std::atan2(t.s, t.c) * 180 / kPi;
                fingers->push_back(f);
            }
        if (cached) *cached = own;
    }
    const GreyImage& prints = reuse ? *cached : own;
    const double level = PlatenLevel(scene.platen);
    int x0, x1, y0, y1;
    t.Bounds(b, img.width, img.height, x0, x1, y0, y1);
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            double u, v;
            t.ToCard(x, y, u, v);
            const int pu = int(u - b.u0), pv = int(v - b.v0);
            if (pu < 0 || pv < 0 || pu >= prints.width || pv >= prints.height) continue;
            const double f = std::min(1.0, prints.at(pu, pv) / level);
            img.at(x, y) = uint8_t(std::lround(img.at(x, y) * f));
        }
}

}  // namespace

void CardTruth::ToImage(double u, double v, double& x, double& y) const {
    const double a = angleDeg * kPi / 180;
    Turn{cx, cy, std::cos(a), std::sin(a)}.ToImage(u, v, x, y);
}

RenderedCard RenderCard(const CardSpec& def, uint32_t seed) {
    RenderedCard card;
    CardTruth& truth = card.truth;
    GreyImage& img = card.image;
    img = GreyImage(def.width, def.height, def.paper);
    truth.angleDeg = def.angleDeg;
    truth.cx = def.width / 2.0;
    truth.cy = def.height / 2.0;
    truth.pageHeight = def.pageHeight;
    const double a = def.angleDeg * kPi / 180;
    // A vertical line's column moves by -tan(angle) per row down.
    const Turn turn{truth.cx, truth.cy, std::cos(a), std::sin(a)};

    const double left = def.marginX, right = def.width - def.marginX;
    const double boxW = (right - left) / 5;
    truth.rolledTop = def.rowTop;
    truth.rolledBottom = def.rowTop + 2.0 * def.rowHeight;
    std::vector<Segment> lines;
    truth.horizontalV = {truth.rolledTop, truth.rolledTop + def.rowHeight, truth.rolledBottom};
    if (def.plainHeight > 0) {
        truth.plainTop = def.pageHeight > 0 ? def.pageHeight + 150.0 : truth.rolledBottom;
        truth.plainBottom = truth.plainTop + def.plainHeight;
        if (truth.plainTop != truth.rolledBottom) truth.horizontalV.push_back(truth.plainTop);
        truth.horizontalV.push_back(truth.plainBottom);
    }
    for (double v : truth.horizontalV) lines.push_back({false, v, left - def.lineWidth / 2.0, right + def.lineWidth / 2.0});

    // Rolled rows: frame lines and four separators.
    std::vector<double> opens, closes;  // box left and right edges
    opens.push_back(left);
    for (int k = 1; k <= 4; ++k) {
        const double u = left + k * boxW;
        closes.push_back(u);
        opens.push_back(u);
        if (def.omitInnerSeparator && k == 2) continue;
        truth.rolledVerticalU.push_back(u);
    }
    closes.push_back(right);
    truth.rolledVerticalU.insert(truth.rolledVerticalU.begin(), left);
    truth.rolledVerticalU.push_back(right);
    for (double u : truth.rolledVerticalU) lines.push_back({true, u, truth.rolledTop, truth.rolledBottom});
    for (int row = 0; row < 2; ++row)
        for (int k = 0; k < 5; ++k)
            truth.rolledBoxes.push_back({opens[size_t(k)], closes[size_t(k)], def.rowTop + row * double(def.rowHeight),
                                         def.rowTop + (row + 1) * double(def.rowHeight)});

    // Plain row: left four-finger, two thumbs, right four-finger.
    std::vector<CardBox> plainBoxes;
    if (def.plainHeight > 0) {
        const double middle = def.width / 2.0;
        const double four = (right - left - 2.0 * def.thumbWidth) / 2;
        truth.plainVerticalU = {left, left + four, middle, right - four, right};
        for (double u : truth.plainVerticalU) lines.push_back({true, u, truth.plainTop, truth.plainBottom});
        for (size_t k = 0; k + 1 < truth.plainVerticalU.size(); ++k)
            plainBoxes.push_back({truth.plainVerticalU[k], truth.plainVerticalU[k + 1], truth.plainTop, truth.plainBottom});
    }

    if (def.prints) {
        const double inset = def.lineWidth + 4;
        auto inner = [&](CardBox b) { return CardBox{b.u0 + inset, b.u1 - inset, b.v0 + inset, b.v1 - inset}; };
        std::vector<GreyImage> shared(size_t(std::max(0, def.rolledPrintVariety)));
        for (size_t i = 0; i < truth.rolledBoxes.size(); ++i) {
            if (!(def.printMask >> i & 1)) continue;
            GreyImage* cached = shared.empty() ? nullptr : &shared[i % shared.size()];
            DrawPrints(img, turn, inner(truth.rolledBoxes[i]), FingerLayout::SingleFinger, seed + uint32_t(i) * 101,
                       nullptr, cached);
        }
        const FingerLayout plain[4] = {FingerLayout::LeftSlap, FingerLayout::SingleFinger, FingerLayout::SingleFinger,
                                       FingerLayout::RightSlap};
        for (size_t i = 0; i < plainBoxes.size(); ++i) {
            if (!(def.printMask >> (10 + i) & 1)) continue;
            const size_t before = truth.plainFingers.size();
            // Mirrored hands: the left hand's boxes (0, 1) show the right hand's (3, 2) prints.
            const bool mirror = def.mirroredHands && i < 2;
            const size_t from = mirror ? 3 - i : i;
            DrawPrints(img, turn, inner(plainBoxes[i]), plain[from], seed + 7919 + uint32_t(from) * 37,
                       &truth.plainFingers, nullptr, mirror);
            // The single prints of the plain row are the thumbs: left (6), then right (1).
            if (i == 1 || i == 2)
                for (size_t k = before; k < truth.plainFingers.size(); ++k) truth.plainFingers[k].isoFinger = i == 1 ? 6 : 1;
        }
    }
    truth.plainBoxes = plainBoxes;
    for (const Segment& s : lines) DrawLine(img, turn, s, def.lineWidth, def.ink);
    if (!def.barcode.data.empty()) truth.barcode = DrawBarcode(img, def.barcodeX, def.barcodeY, def.barcode);
    if (def.noise > 0) AddNoise(img, def.noise, seed ^ 0xC0FFEEu);
    return card;
}

}  // namespace sim
