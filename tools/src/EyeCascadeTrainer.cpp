// Trains the eye cascades and the side-landmark cascade of the iris libraries on simulated eyes
// and writes them as a C++ source in the stored table layout.
//
//   eye_cascade_train --out irisalg/src/generated/EyeCascadeTables.cpp [--threads 4] [--seed 1]
//                     [--eye-frames 900] [--neg-frames 700]
//   eye_cascade_train --evaluate N [--threads 4]     (figures of the compiled-in tables)
//
// Samples are the windows the capture library's detector visits: every frame is reduced to the
// working width (eye cascades) or cut into the side bands beside the iris and reduced so that the
// iris radius spans the window width (side cascade), exactly as the detectors do, and the features
// are evaluated through the detector's own per-scale geometry and variance normalisation. Each
// stage is boosted (real AdaBoost over 48-bin lookup tables) on the positives and on negatives that
// pass the stages before it.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "iris/EyeCascade.h"
#include "irisalg/EyeCascadeTable.h"
#include "sim/EyeRender.h"
#include "platform/ThreadName.h"

namespace {

namespace tbl = irisalg::cascade;
using namespace irisfe;

int gThreads = 4;

template <class F>
void ParallelFor(size_t n, F&& f) {
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < gThreads; ++t)
        pool.push_back(platform::StartNamedThread("train-" + std::to_string(t), [&] {
            for (size_t i; (i = next++) < n;) f(i);
        }));
    for (auto& th : pool) th.join();
}

// One image as the detector scans it, with the target the cascade is to find (if any).
struct WorkImage {
    std::vector<uint8_t> px;
    int w = 0, h = 0;
    bool target = false;
    double tx = 0, ty = 0, tsize = 0;  // anchor point and window width of a perfect hit
};

enum class Model { Eye, Side };

// Where a window's anchor lies: the centre (eye) or one third in from the left edge at half height
// (side landmark), as the detectors report them.
void Anchor(Model m, double x, double y, double w, double h, double& ax, double& ay) {
    ax = m == Model::Eye ? x + w / 2 : x + std::floor(w / 3);
    ay = y + std::floor(h / 2);
}

// 1 positive, 0 negative, -1 neither.
int Label(Model m, const WorkImage& im, int x, int y, int w, int h) {
    if (!im.target) return 0;
    double ax, ay;
    Anchor(m, x, y, w, h, ax, ay);
    const double d = std::max(std::abs(ax - im.tx), std::abs(ay - im.ty)) / w;
    const double q = w / im.tsize;
    const double posTol = m == Model::Eye ? 0.05 : 0.1;
    if (d <= posTol && q >= 0.8 && q <= 1.25) return 1;
    if (d > 0.35 || q < 0.55 || q > 1.8) return 0;
    return -1;
}

constexpr double kEyeBoxRadii = 2.6;  // width of the eye box in iris radii
constexpr int kWorking = 192;

sim::EyeSceneParams RandomScene(std::mt19937& rng, uint32_t subject) {
    auto U = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    sim::EyeSceneParams s;
    s.subjectSeed = subject;
    s.rightEye = U(0, 1) < 0.5;
    s.frameSeed = uint32_t(rng());
    s.centreX = U(0.3, 0.7);
    s.centreY = U(0.32, 0.68);
    s.distanceMm = U(250, 370);
    s.focusMm = s.distanceMm + U(-25, 25);
    s.extraBlur = U(0, 1) < 0.3 ? U(0, 2) : 0;
    s.openness = U(0.55, 1);
    s.gazeX = U(-0.08, 0.08);
    s.gazeY = U(-0.06, 0.06);
    s.headRollDeg = U(-12, 12);
    s.exposure = U(150, 280);
    s.white = U(0, 1) < 0.5 ? U(0, 255) : 0;
    s.noise = U(1.5, 3.5);
    return s;
}

std::vector<uint8_t> Reduce(const sim::GreyImage& im, int& w, int& h, double& factor) {
    w = kWorking;
    h = im.height * kWorking / im.width;
    std::vector<uint8_t> out(size_t(w) * h);
    factor = IRIS_OTA_ResizeImg(im.pixels.data(), im.width, im.height, out.data(), w, h, nullptr) / 65536.0;
    return out;
}

// The two side bands of a frame around an iris circle, prepared as the side-landmark search does
// (padded, cut, reduced, the right one mirrored); targets are the rendered eye corners.
void SideBands(const sim::GreyImage& im, const int circle[3], const sim::EyeTruth* truth, std::vector<WorkImage>& out) {
    const int cx = circle[0], cy = circle[1], r = circle[2];
    const int pw = im.width + 2 * kSidePad, ph = im.height + 2 * kSidePad;
    const int half = r / 2, x0 = cx + kSidePad - half, x1 = cx + kSidePad + half;
    if (r < 1 || x0 < 0 || x1 >= pw) return;
    std::vector<uint8_t> padded(size_t(pw) * ph);
    IRIS_OTA_PadImage(im.pixels.data(), im.width, im.height, padded.data());
    const int top = std::max(0, cy + kSidePad - r), band = std::min(3 * r, ph - top);
    for (int side = 0; side < 2; ++side) {
        const int roi[4] = {side ? x1 : 0, top, side ? pw - x1 : x0, band};
        if (roi[2] < 18 || roi[3] < 24) continue;
        const int target = ((roi[2] * 18) / r + 7) & ~3;
        WorkImage wi;
        double step = 1;
        if (roi[2] > target) {
            wi.w = target;
            wi.h = roi[3] * target / roi[2];
            wi.px.resize(size_t(wi.w) * wi.h);
            step = IRIS_OTA_ResizeROI(padded.data(), pw, ph, roi, wi.px.data(), wi.w, wi.h, nullptr) / 65536.0;
        } else {
            wi.w = roi[2];
            wi.h = roi[3];
            for (int y = 0; y < wi.h; ++y)
                wi.px.insert(wi.px.end(), padded.begin() + (size_t(roi[1]) + y) * pw + roi[0],
                             padded.begin() + (size_t(roi[1]) + y) * pw + roi[0] + wi.w);
        }
        if (wi.w < 18 || wi.h < 24) continue;
        if (side) IRIS_OTA_MirrorRows(wi.px.data(), wi.w, wi.h);
        if (truth) {
            const double px = truth->cornerX[size_t(side)] + kSidePad, py = truth->cornerY[size_t(side)] + kSidePad;
            double tx = (px - roi[0]) / step, ty = (py - roi[1]) / step;
            if (side) tx = wi.w - 1 - tx;
            wi.target = tx >= 0 && ty >= 0 && tx < wi.w && ty < wi.h;
            wi.tx = tx;
            wi.ty = ty;
            wi.tsize = r / step;
        }
        out.push_back(std::move(wi));
    }
}

struct TrainSet {
    std::vector<WorkImage> images;
};

TrainSet MakeSet(Model m, uint32_t seed, int eyeFrames, int negFrames) {
    std::vector<std::vector<WorkImage>> parts(size_t(eyeFrames + negFrames));
    ParallelFor(parts.size(), [&](size_t i) {
        std::mt19937 rng(seed * 7919u + uint32_t(i) * 104729u + (m == Model::Side ? 17u : 0u));
        const bool eye = int(i) < eyeFrames;
        sim::EyeSceneParams s = RandomScene(rng, 100000u + seed * 1000u + uint32_t(i) % 400u);
        std::uniform_real_distribution<double> U(0, 1);
        int kindOfNegative = int(U(rng) * 3);
        if (!eye) {
            if (kindOfNegative == 0) s.eyePresent = false;
            else if (kindOfNegative == 1) s.centreY = U(rng) < 0.5 ? -0.35 - 0.3 * U(rng) : 1.35 + 0.3 * U(rng);  // brow or cheek only
            else s.openness = 0;  // a closed eye
        }
        sim::EyeFrame f = sim::RenderEyeFrame(s);
        if (!eye && kindOfNegative != 2) sim::DrawEyeDistractors(f.image, uint32_t(rng()), 1 + int(U(rng) * 4));
        if (eye && U(rng) < 0.3) sim::DrawEyeDistractors(f.image, uint32_t(rng()), 1);
        if (eye && !f.truth.eyeVisible) return;
        if (m == Model::Eye) {
            WorkImage wi;
            double factor;
            wi.px = Reduce(f.image, wi.w, wi.h, factor);
            if (eye) {
                wi.target = true;
                wi.tx = f.truth.iris.x / factor;
                wi.ty = f.truth.iris.y / factor;
                wi.tsize = kEyeBoxRadii * f.truth.iris.r / factor;
            }
            parts[i].push_back(std::move(wi));
        } else {
            int circle[3];
            if (eye) {
                circle[0] = int(f.truth.iris.x);
                circle[1] = int(f.truth.iris.y);
                circle[2] = int(f.truth.iris.r);
            } else {
                circle[2] = int(80 + 60 * U(rng));
                circle[0] = int(f.image.width * (0.25 + 0.5 * U(rng)));
                circle[1] = int(f.image.height * (0.25 + 0.5 * U(rng)));
            }
            SideBands(f.image, circle, eye ? &f.truth : nullptr, parts[i]);
        }
    });
    TrainSet set;
    for (auto& p : parts)
        for (auto& wi : p) set.images.push_back(std::move(wi));
    return set;
}

// Random features of the four kinds inside a window, one pixel clear of its right and bottom
// edges so that scaled rounding never leaves the scanned window.
std::vector<tbl::TableFeature> FeaturePool(int W, int H, int count, std::mt19937& rng) {
    std::vector<tbl::TableFeature> pool;
    auto R = [&](int lo, int hi) { return lo >= hi ? lo : std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int W1 = W - 1, H1 = H - 1;
    while (int(pool.size()) < count) {
        tbl::TableFeature f;
        f.kind = R(0, 3);
        const bool split = R(0, 1);  // true: across the height
        auto rect = [&](int mw, int mh, int qw, int qh) {  // size multiples qw, qh
            const int w = qw * R(std::max(1, mw / qw), W1 / qw), h = qh * R(std::max(1, mh / qh), H1 / qh);
            return tbl::Rect8{uint8_t(R(0, W1 - w)), uint8_t(R(0, H1 - h)), uint8_t(w), uint8_t(h)};
        };
        switch (f.kind) {
        case 0:
            f.a = split ? rect(1, 2, 1, 2) : rect(2, 1, 2, 1);
            f.b = split ? tbl::Rect8{f.a.x, f.a.y, f.a.w, uint8_t(f.a.h / 2)} : tbl::Rect8{f.a.x, f.a.y, uint8_t(f.a.w / 2), f.a.h};
            if (!split && f.b.w == f.a.w) continue;
            break;
        case 1:
            f.a = split ? rect(1, 3, 1, 3) : rect(3, 1, 3, 1);
            f.b = split ? tbl::Rect8{f.a.x, uint8_t(f.a.y + f.a.h / 3), f.a.w, uint8_t(f.a.h / 3)}
                        : tbl::Rect8{uint8_t(f.a.x + f.a.w / 3), f.a.y, uint8_t(f.a.w / 3), f.a.h};
            if (!split && f.b.w == f.a.w) continue;
            break;
        case 2:
            f.a = rect(2, 2, 2, 2);
            f.b = {f.a.x, f.a.y, uint8_t(f.a.w / 2), uint8_t(f.a.h / 2)};
            f.d = {uint8_t(f.a.x + f.a.w / 2), uint8_t(f.a.y + f.a.h / 2), uint8_t(f.a.w / 2), uint8_t(f.a.h / 2)};
            break;
        default: {
            // Two rectangles of one size side by side, one above the other, or diagonal neighbours.
            const int w = R(1, W1 / 2), h = R(1, H1 / 2), how = R(0, 2);
            f.a = {uint8_t(R(0, W1 - w)), uint8_t(R(0, H1 - h)), uint8_t(w), uint8_t(h)};
            if (how == 0) {
                const int bx = R(0, W1 - w);
                if (std::abs(bx - f.a.x) < w) continue;
                f.b = {uint8_t(bx), f.a.y, uint8_t(w), uint8_t(h)};
            } else if (how == 1) {
                const int by = R(0, H1 - h);
                if (std::abs(by - f.a.y) < h) continue;
                f.b = {f.a.x, uint8_t(by), uint8_t(w), uint8_t(h)};
            } else {
                const int bx = R(0, 1) ? f.a.x + w : f.a.x - w, by = f.a.y + h;
                if (bx < 0 || bx + w > W1 || by + h > H1) continue;
                f.b = {uint8_t(bx), uint8_t(by), uint8_t(w), uint8_t(h)};
            }
            break;
        }
        }
        pool.push_back(f);
    }
    return pool;
}

// A run-time cascade for a table, with one detection record per image.
struct Loaded {
    IrisOtaCascade* c = nullptr;
    explicit Loaded(const std::vector<int32_t>& words) { IRIS_OTA_LoadCascade(&c, words.data(), kOtaScales, nullptr); }
    ~Loaded() { IRIS_OTA_FreeCascade(c); }
    Loaded(const Loaded&) = delete;
    Loaded& operator=(const Loaded&) = delete;
};

struct Window {
    uint32_t image;
    int16_t x, y;
    uint8_t scale;
};

// Visits every window the scan would visit; f(scale index, x, y, w, h, offset, info).
template <class F>
void ScanWindows(const IrisOtaCascade* c, IRIS_OTA_DetImgInfo& info, const WorkImage& im, F&& f) {
    if (!info.block || info.width != im.w || info.height != im.h)
        IRIS_OTA_Initial_DetImgInfo(c, im.w, im.h, &info, nullptr);
    std::memcpy(info.image, im.px.data(), im.px.size());
    IRIS_OTA_IntegralImages(&info);
    for (int i = info.firstScale; i < kOtaScales; ++i) {
        const int fct = c->factor[i];
        const int w = (c->width * fct + 512) >> 10, h = (c->height * fct + 512) >> 10;
        if (im.w - w < 1 || im.h - h < 1) continue;
        IRIS_OTA_SetScale(c, &info, i);
        for (int y = 0; y < im.h - h; y += h / 10)
            for (int x = 0; x < im.w - w; x += w / 10) f(i, x, y, w, h, y * (im.w + 1) + x, info);
    }
}

struct Trainer {
    Model model;
    int W0, H0;
    const TrainSet& set;
    tbl::Table table;
    std::mt19937 rng;
    int poolSize;
    double stageHitRate;

    // Windows of every image that pass the current cascade: positives (all) and negatives. When
    // too few negatives pass, the ones that failed only the last stage, closest to its threshold,
    // fill up the set.
    void Harvest(std::vector<Window>& pos, std::vector<Window>& neg, size_t negWanted) {
        const std::vector<int32_t> words = tbl::WriteTable(table);
        Loaded cur(words);
        tbl::Table prefix = table;
        if (!prefix.stages.empty()) prefix.stages.pop_back();
        Loaded before(tbl::WriteTable(prefix));
        std::vector<std::vector<Window>> posParts(set.images.size()), negParts(set.images.size());
        std::vector<std::vector<std::pair<int32_t, Window>>> nearParts(set.images.size());
        std::vector<std::vector<Window>> easyParts(set.images.size());
        ParallelFor(set.images.size(), [&](size_t k) {
            IRIS_OTA_DetImgInfo info{}, info2{};
            ScanWindows(cur.c, info, set.images[k], [&](int i, int x, int y, int w, int h, int off, IRIS_OTA_DetImgInfo& inf) {
                const int lab = Label(model, set.images[k], x, y, w, h);
                if (lab < 0) return;
                int32_t margin;
                const Window win{uint32_t(k), int16_t(x), int16_t(y), uint8_t(i)};
                if (IRIS_OTA_EvalCascade(cur.c, &inf, i, off, &margin) > 0) {
                    (lab ? posParts[k] : negParts[k]).push_back(win);
                } else if (!lab && !table.stages.empty()) {
                    if (!info2.block) {
                        IRIS_OTA_Initial_DetImgInfo(before.c, set.images[k].w, set.images[k].h, &info2, nullptr);
                        std::memcpy(info2.image, set.images[k].px.data(), set.images[k].px.size());
                        IRIS_OTA_IntegralImages(&info2);
                    }
                    IRIS_OTA_SetScale(before.c, &info2, i);
                    int32_t m2;
                    if (IRIS_OTA_EvalCascade(before.c, &info2, i, off, &m2) > 0) nearParts[k].push_back({margin, win});
                    else if ((x + y + i) % 97 == 0) easyParts[k].push_back(win);
                }
            });
            IRIS_OTA_FreeDetImgInfo(&info);
            IRIS_OTA_FreeDetImgInfo(&info2);
        });
        for (auto& p : posParts) pos.insert(pos.end(), p.begin(), p.end());
        std::vector<Window> all;
        for (auto& p : negParts) all.insert(all.end(), p.begin(), p.end());
        std::shuffle(all.begin(), all.end(), rng);
        if (all.size() > negWanted) all.resize(negWanted);
        if (all.size() < negWanted / 4) {
            std::vector<std::pair<int32_t, Window>> near;
            for (auto& p : nearParts) near.insert(near.end(), p.begin(), p.end());
            std::sort(near.begin(), near.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
            for (size_t i = 0; i < near.size() && all.size() < negWanted / 4; ++i) all.push_back(near[i].second);
        }
        // Nothing left that comes near: the stage learns from plain negatives and keeps nearly
        // every positive.
        easyStage = all.size() < 200;
        if (easyStage) {
            std::vector<Window> easy;
            for (auto& p : easyParts) easy.insert(easy.end(), p.begin(), p.end());
            std::shuffle(easy.begin(), easy.end(), rng);
            for (size_t i = 0; i < easy.size() && all.size() < negWanted / 4; ++i) all.push_back(easy[i]);
        }
        neg = std::move(all);
    }

    // Normalised values of the pool features on the windows: values[f * n + s], saturated to 32 bits.
    std::vector<int32_t> Values(const std::vector<tbl::TableFeature>& pool, const std::vector<Window>& wins) {
        tbl::Table pt{0, W0, H0, {tbl::TableStage{0, pool}}};
        // The pool is written grouped by kind: keep that order for the columns.
        tbl::Table sorted;
        std::string err;
        const std::vector<int32_t> words = tbl::WriteTable(pt);
        tbl::ReadTable(words.data(), words.size(), sorted, &err);
        Loaded pc(words);
        const size_t n = wins.size(), P = pool.size();
        std::vector<int32_t> values(P * n, 0);
        // Windows grouped by image.
        std::vector<std::vector<size_t>> byImage(set.images.size());
        for (size_t s = 0; s < n; ++s) byImage[wins[s].image].push_back(s);
        ParallelFor(byImage.size(), [&](size_t k) {
            if (byImage[k].empty()) return;
            IRIS_OTA_DetImgInfo info{};
            const WorkImage& im = set.images[k];
            IRIS_OTA_Initial_DetImgInfo(pc.c, im.w, im.h, &info, nullptr);
            std::memcpy(info.image, im.px.data(), im.px.size());
            IRIS_OTA_IntegralImages(&info);
            std::vector<int64_t> v(P);
            for (size_t s : byImage[k]) {
                const Window& wdw = wins[s];
                IRIS_OTA_SetScale(pc.c, &info, wdw.scale);
                if (!IRIS_OTA_FeatureValues(pc.c, &info, wdw.scale, wdw.y * (im.w + 1) + wdw.x, v.data())) continue;
                for (size_t f = 0; f < P; ++f)
                    values[f * n + s] = int32_t(std::clamp<int64_t>(v[f], INT32_MIN, INT32_MAX));
            }
            IRIS_OTA_FreeDetImgInfo(&info);
        });
        poolSorted = sorted.stages[0].features;
        return values;
    }
    std::vector<tbl::TableFeature> poolSorted;
    bool easyStage = false;

    bool TrainStage(int features, size_t negWanted) {
        std::vector<Window> pos, neg;
        Harvest(pos, neg, negWanted);
        std::fprintf(stderr, "stage %zu: %zu positives, %zu negatives\n", table.stages.size() + 1, pos.size(), neg.size());
        if (pos.empty() || neg.size() < 50) return false;
        const std::vector<tbl::TableFeature> pool = FeaturePool(W0, H0, poolSize, rng);
        std::vector<Window> wins = pos;
        wins.insert(wins.end(), neg.begin(), neg.end());
        const size_t n = wins.size(), np = pos.size(), P = pool.size();
        const std::vector<int32_t> values = Values(pool, wins);
        // Bins of every feature: L and M from the 2nd and 98th percentiles of its values.
        std::vector<uint8_t> bins(P * n);
        std::vector<int32_t> lower(P), mult(P);
        ParallelFor(P, [&](size_t f) {
            std::vector<int32_t> v(values.begin() + long(f * n), values.begin() + long((f + 1) * n));
            const size_t a = n / 50, b = n - 1 - n / 50;
            std::nth_element(v.begin(), v.begin() + long(a), v.end());
            const int64_t lo = v[a];
            std::nth_element(v.begin(), v.begin() + long(b), v.end());
            const int64_t hi = std::max<int64_t>(v[b], lo + (1 << 20));
            lower[f] = int32_t(lo);
            mult[f] = int32_t(std::min<int64_t>(INT32_MAX, (int64_t(47) << 35) / (hi - lo)));
            for (size_t s = 0; s < n; ++s)
                bins[f * n + s] = uint8_t(tbl::BinOf(values[f * n + s], kBoundOffset - lower[f], mult[f]));
        });
        std::vector<double> wt(n);
        for (size_t s = 0; s < n; ++s) wt[s] = s < np ? 0.5 / double(np) : 0.5 / double(n - np);
        std::vector<double> score(n, 0.0);
        tbl::TableStage stage;
        const double lutScale = tbl::kLutLimit / 2.0;
        for (int round = 0; round < features; ++round) {
            std::vector<double> z(P);
            ParallelFor(P, [&](size_t f) {
                double hp[tbl::kBins] = {}, hn[tbl::kBins] = {};
                const uint8_t* b = &bins[f * n];
                for (size_t s = 0; s < np; ++s) hp[b[s]] += wt[s];
                for (size_t s = np; s < n; ++s) hn[b[s]] += wt[s];
                double zz = 0;
                for (int k = 0; k < tbl::kBins; ++k) zz += std::sqrt(hp[k] * hn[k]);
                z[f] = zz;
            });
            const size_t best = size_t(std::min_element(z.begin(), z.end()) - z.begin());
            double hp[tbl::kBins] = {}, hn[tbl::kBins] = {};
            const uint8_t* b = &bins[best * n];
            for (size_t s = 0; s < n; ++s) (s < np ? hp : hn)[b[s]] += wt[s];
            tbl::TableFeature f = poolSorted[best];
            double h[tbl::kBins];
            const double eps = 1e-3 / double(n);
            for (int k = 0; k < tbl::kBins; ++k) {
                h[k] = 0.5 * std::log((hp[k] + eps) / (hn[k] + eps));
                f.lut[size_t(k)] = int32_t(std::clamp(std::lround(h[k] * lutScale), -long(tbl::kLutLimit), long(tbl::kLutLimit)));
            }
            f.lower = lower[best];
            f.mult = mult[best];
            stage.features.push_back(f);
            double sum = 0;
            for (size_t s = 0; s < n; ++s) {
                score[s] += f.lut[b[s]];
                wt[s] *= std::exp((s < np ? -1 : 1) * std::clamp(h[b[s]], -3.0, 3.0));
                sum += wt[s];
            }
            for (double& x : wt) x /= sum;
        }
        // Threshold: the stage keeps the wanted share of the positives.
        std::vector<double> ps(score.begin(), score.begin() + long(np));
        std::sort(ps.begin(), ps.end());
        const double keep = easyStage ? 0.9995 : stageHitRate;
        const double cut = ps[size_t(std::floor((1 - keep) * double(np)))];
        stage.threshold = int32_t(std::llround(cut)) + kThresholdOffset;
        size_t negPass = 0;
        for (size_t s = np; s < n; ++s) negPass += score[s] >= cut;
        std::fprintf(stderr, "  %d features, negatives passing %.4f\n", features, double(negPass) / double(n - np));
        table.stages.push_back(std::move(stage));
        return true;
    }
};

tbl::Table Train(Model m, const TrainSet& set, const std::vector<int>& stages, double hitRate, uint32_t seed,
                 int32_t word0) {
    Trainer t{m, m == Model::Eye ? 24 : 18, m == Model::Eye ? 20 : 24, set, {}, std::mt19937(seed), 3000, hitRate, {}};
    t.table = tbl::Table{word0, t.W0, t.H0, {}};
    for (int n : stages)
        if (!t.TrainStage(n, 20000)) break;
    return t.table;
}

void Emit(std::ofstream& out, const char* name, const tbl::Table& t) {
    const std::vector<int32_t> w = tbl::WriteTable(t);
    out << "const int32_t " << name << "[] = {";
    for (size_t i = 0; i < w.size(); ++i) out << (i % 12 ? " " : "\n    ") << w[i] << ",";
    out << "\n};\nconst size_t " << name << "Words = " << w.size() << ";\n\n";
}

// Figures of the compiled-in tables on renders of subjects the trainer never used.
int Evaluate(int frames) {
    IrisOtaCascade *eye = nullptr, *side = nullptr;
    IRIS_OTA_LoadCascade(&eye, tbl::kEyeTable2, kOtaScales, nullptr);
    IRIS_OTA_LoadCascade(&side, tbl::kSideTable, kOtaScales, nullptr);
    std::atomic<int> found{0}, cornersNear{0}, cornerTries{0}, scoreOk{0}, falseRaw{0}, falseG1{0}, falseG2{0};
    std::mutex mu;
    std::vector<double> errors, cornerErrors;
    double biasX = 0, biasY = 0, boxRadii = 0;
    ParallelFor(size_t(frames), [&](size_t i) {
        std::mt19937 rng(uint32_t(i) * 31337u + 5u);
        sim::EyeSceneParams s = RandomScene(rng, 300000u + uint32_t(i));
        const sim::EyeFrame f = sim::RenderEyeFrame(s);
        IRIS_OTA_DetImgInfo info{}, sideInfo{};
        int32_t box[4];
        if (f.truth.eyeVisible &&
            IRIS_OTA_Detect(eye, &info, f.image.pixels.data(), f.image.width, f.image.height, 8, 6, 2, box, 0, nullptr) == 0) {
            const double e = std::hypot(box[0] + box[2] / 2.0 - f.truth.iris.x, box[1] + box[3] / 2.0 - f.truth.iris.y);
            found += e < 0.25 * f.truth.iris.r;
            std::lock_guard<std::mutex> lock(mu);
            errors.push_back(e);
            biasX += box[0] + box[2] / 2.0 - f.truth.iris.x;
            biasY += box[1] + box[3] / 2.0 - f.truth.iris.y;
            boxRadii += box[2] / f.truth.iris.r;
        }
        const int32_t circle[3] = {int32_t(f.truth.iris.x), int32_t(f.truth.iris.y), int32_t(f.truth.iris.r)};
        IRIS_OTA_SideRecord rec{};
        IRIS_OTA_SideLandmarks(side, &sideInfo, f.image.pixels.data(), f.image.width, f.image.height, 8, circle, &rec, 0, nullptr);
        scoreOk += rec.score > 0.6f;
        for (int k = 0; k < 2; ++k) {
            const int32_t count = k ? rec.rightCount : rec.leftCount;
            const double e = std::hypot((k ? rec.rightX : rec.leftX) - f.truth.cornerX[size_t(k)],
                                        (k ? rec.rightY : rec.leftY) - f.truth.cornerY[size_t(k)]);
            ++cornerTries;
            if (count > 1) {
                cornersNear += e < 0.25 * f.truth.iris.r;
                std::lock_guard<std::mutex> lock(mu);
                cornerErrors.push_back(e / f.truth.iris.r);
            }
        }
        // An eye-less frame: an empty room or the face around an eye outside the frame, with distractors.
        sim::EyeSceneParams n = RandomScene(rng, 400000u + uint32_t(i));
        if (i % 2) n.eyePresent = false;
        else n.centreY = rng() % 2 ? -0.5 : 1.5;
        sim::EyeFrame nf = sim::RenderEyeFrame(n);
        sim::DrawEyeDistractors(nf.image, uint32_t(700000 + i), 1 + int(i % 4));
        falseG1 += IRIS_OTA_Detect(eye, &info, nf.image.pixels.data(), 640, 480, 8, 6, 1, box, 0, nullptr) == 0;
        falseG2 += IRIS_OTA_Detect(eye, &info, nf.image.pixels.data(), 640, 480, 8, 6, 2, box, 0, nullptr) == 0;
        ScanWindows(eye, info, WorkImage{std::vector<uint8_t>(info.image, info.image + size_t(info.width) * info.height),
                                         info.width, info.height, false, 0, 0, 0},
                    [&](int sc, int, int, int, int, int off, IRIS_OTA_DetImgInfo& inf) {
                        int32_t m;
                        falseRaw += IRIS_OTA_EvalCascade(eye, &inf, sc, off, &m) > 0;
                    });
        IRIS_OTA_FreeDetImgInfo(&info);
        IRIS_OTA_FreeDetImgInfo(&sideInfo);
    });
    std::sort(errors.begin(), errors.end());
    std::sort(cornerErrors.begin(), cornerErrors.end());
    auto pct = [](const std::vector<double>& v, double p) { return v.empty() ? -1.0 : v[size_t(p * double(v.size() - 1))]; };
    std::printf("eye frames %d: found %d (%.2f%%), centre error median %.2f px, 95%% %.2f px, max %.2f px\n", frames,
                found.load(), 100.0 * found / frames, pct(errors, 0.5), pct(errors, 0.95), pct(errors, 1.0));
    if (!errors.empty())
        std::printf("mean centre offset %.2f, %.2f px; mean box width %.2f iris radii\n", biasX / double(errors.size()),
                    biasY / double(errors.size()), boxRadii / double(errors.size()));
    std::printf("side landmarks: %d of %d within 0.25 r of the corner; error median %.3f r, 95%% %.3f r; score > 0.6 in %d\n",
                cornersNear.load(), cornerTries.load(), pct(cornerErrors, 0.5), pct(cornerErrors, 0.95), scoreOk.load());
    std::printf("eye-less frames %d: raw windows %d, detections %d (min group 1), %d (min group 2)\n", frames,
                falseRaw.load(), falseG1.load(), falseG2.load());
    IRIS_OTA_FreeCascade(eye);
    IRIS_OTA_FreeCascade(side);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string outPath;
    uint32_t seed = 1;
    int eyeFrames = 900, negFrames = 700, evaluate = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--out") outPath = argv[i + 1];
        else if (a == "--threads") gThreads = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--seed") seed = uint32_t(std::atoi(argv[i + 1]));
        else if (a == "--eye-frames") eyeFrames = std::atoi(argv[i + 1]);
        else if (a == "--neg-frames") negFrames = std::atoi(argv[i + 1]);
        else if (a == "--evaluate") evaluate = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (evaluate > 0) return Evaluate(evaluate);
    if (outPath.empty()) {
        std::fprintf(stderr, "usage: %s --out FILE [--threads N] [--seed N] [--eye-frames N] [--neg-frames N]\n", argv[0]);
        return 2;
    }
    const TrainSet eyes = MakeSet(Model::Eye, seed, eyeFrames, negFrames);
    std::fprintf(stderr, "eye set: %zu images\n", eyes.images.size());
    const tbl::Table eye2 = Train(Model::Eye, eyes, {8, 20, 40}, 0.99, seed, 41604);
    const tbl::Table eye1 = Train(Model::Eye, eyes, {8, 31, 56, 60}, 0.992, seed + 1, 0);
    const TrainSet sides = MakeSet(Model::Side, seed, eyeFrames, negFrames / 2);
    std::fprintf(stderr, "side set: %zu images\n", sides.images.size());
    const tbl::Table side = Train(Model::Side, sides, {8, 20, 40, 60, 80, 120, 120, 100}, 0.995, seed + 2, 358392);

    std::ofstream out(outPath);
    out << "// Generated by eye_cascade_train (tools/src/EyeCascadeTrainer.cpp); do not edit. Regenerate with\n"
           "//   build/rel/bin/eye_cascade_train --out irisalg/src/generated/EyeCascadeTables.cpp --seed "
        << seed << " --eye-frames " << eyeFrames << " --neg-frames " << negFrames
        << "\n// The project's own tables, trained on simulated eyes.\n"
           "#include \"irisalg/EyeCascadeTable.h\"\n\nnamespace irisalg::cascade {\n\n";
    Emit(out, "kEyeTable1", eye1);
    Emit(out, "kEyeTable2", eye2);
    Emit(out, "kSideTable", side);
    out << "}  // namespace irisalg::cascade\n";
    return out ? 0 : 1;
}
