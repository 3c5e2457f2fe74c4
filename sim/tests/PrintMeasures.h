#pragma once
// Measures of a fingerprint image that tell a real print from a drawing, computed the way print
// quality tools compute them, on blocks of 32 x 32 pixels at 500 ppi well inside a contact:
// - orientation certainty: 1 - lambda_min / lambda_max of the block's gradient covariance;
// - local clarity: the block turned to its ridge direction and averaged along the ridges gives a
//   profile across them; the profile's regression line splits ridge from valley; clarity is one
//   minus the mean share of pixels on the wrong side of the line in ridge and in valley, zero
//   where ridges or valleys are narrower or wider than skin makes them;
// - the widths of ridges and valleys along the ridge normal (runs of that profile), and the spread
//   of the ridge-to-period ratio from block to block;
// - the standard deviation of the grey of ridge pixels (below their block's mean);
// - the change of ridge direction from block to block (flow irregularity);
// - a count of ridge endings and forks on the thinned, binarised print.
// Dark ridges on a bright ground, one byte a pixel.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace printmeasures {

struct Measures {
    int blocks = 0;
    double certainty = 0;       // mean orientation certainty
    double clarity = 0;         // mean local clarity
    double ridgePixelStd = 0;   // mean over blocks of the grey std dev of ridge pixels
    double ridgeWidthMean = 0, ridgeWidthCv = 0;    // pixels; std dev / mean
    double valleyWidthMean = 0, valleyWidthCv = 0;
    double ratioStd = 0;        // std dev of ridge width / (ridge + valley width) over blocks
    double flowDeg = 0;         // mean change of ridge direction between neighbouring blocks
    double valleyGrey = 0;      // mean over blocks of the brightest level of the profile across the ridges
    int minutiae = 0;           // endings and forks
};

namespace detail {

inline double MeanStd(const std::vector<double>& v, double* stdOut) {
    if (v.empty()) return *stdOut = 0, 0;
    double s = 0, q = 0;
    for (double x : v) s += x, q += x * x;
    const double m = s / v.size();
    *stdOut = std::sqrt(std::max(0.0, q / v.size() - m * m));
    return m;
}

}  // namespace detail

// `inside(x, y)` says whether a pixel lies well inside a contact; a block counts when its four
// corners and centre do. The minutiae count (the slow part) only when asked.
template <class Inside>
Measures Measure(const uint8_t* px, int width, int height, Inside inside, bool countMinutiae = true) {
    constexpr int B = 32;
    constexpr double kPi = 3.14159265358979323846;
    auto at = [&](int x, int y) { return double(px[size_t(y) * width + x]); };
    Measures m;
    std::vector<double> cert, clar, rstd, rw, vw, ratio, vgrey;
    const int bw = width / B, bh = height / B;
    std::vector<double> angle(size_t(bw) * bh, NAN);
    for (int by = 0; by < bh; ++by)
        for (int bx = 0; bx < bw; ++bx) {
            const int x0 = bx * B, y0 = by * B;
            if (x0 < 1 || y0 < 1 || x0 + B >= width - 1 || y0 + B >= height - 1) continue;
            if (!inside(x0, y0) || !inside(x0 + B - 1, y0) || !inside(x0, y0 + B - 1) || !inside(x0 + B - 1, y0 + B - 1) ||
                !inside(x0 + B / 2, y0 + B / 2))
                continue;
            double a = 0, b = 0, c = 0, mean = 0;
            for (int y = y0; y < y0 + B; ++y)
                for (int x = x0; x < x0 + B; ++x) {
                    const double gx = (at(x + 1, y - 1) + 2 * at(x + 1, y) + at(x + 1, y + 1)) -
                                      (at(x - 1, y - 1) + 2 * at(x - 1, y) + at(x - 1, y + 1));
                    const double gy = (at(x - 1, y + 1) + 2 * at(x, y + 1) + at(x + 1, y + 1)) -
                                      (at(x - 1, y - 1) + 2 * at(x, y - 1) + at(x + 1, y - 1));
                    a += gx * gx, b += gy * gy, c += gx * gy;
                    mean += at(x, y);
                }
            mean /= B * B;
            const double root = std::sqrt((a - b) * (a - b) + 4 * c * c);
            const double lmax = (a + b + root) / 2, lmin = (a + b - root) / 2;
            if (lmax <= 0) continue;
            cert.push_back(1 - lmin / lmax);
            // Gradient direction: across the ridges.
            const double normal = 0.5 * std::atan2(2 * c, a - b);
            angle[size_t(by) * bw + bx] = normal;
            const double nx = std::cos(normal), ny = std::sin(normal);
            // Profile across the ridges over the block's pixels (bins of one pixel along the normal).
            const double cx = x0 + B / 2.0 - 0.5, cy = y0 + B / 2.0 - 0.5;
            constexpr int R = B / 2 - 1;  // half length of the profile
            std::vector<double> sum(2 * R + 1, 0.0), cnt(2 * R + 1, 0.0);
            std::vector<int> binOf(B * B, -1);
            double rsum = 0, rsq = 0;
            int rn = 0;
            for (int y = y0; y < y0 + B; ++y)
                for (int x = x0; x < x0 + B; ++x) {
                    const double v = at(x, y);
                    if (v < mean) rsum += v, rsq += v * v, ++rn;
                    const double t = (x - cx) * nx + (y - cy) * ny, s = -(x - cx) * ny + (y - cy) * nx;
                    const int k = int(std::lround(t)) + R;
                    if (k < 0 || k > 2 * R || std::abs(s) > B / 4) continue;
                    sum[size_t(k)] += v, cnt[size_t(k)] += 1;
                    binOf[(y - y0) * B + x - x0] = k;
                }
            if (rn > 1) rstd.push_back(std::sqrt(std::max(0.0, rsq / rn - (rsum / rn) * (rsum / rn))));
            std::vector<double> prof(sum.size());
            double sx = 0, sy = 0, sxx = 0, sxy = 0, n = 0;
            for (size_t k = 0; k < sum.size(); ++k) {
                prof[k] = cnt[k] > 0 ? sum[k] / cnt[k] : mean;
                sx += double(k), sy += prof[k], sxx += double(k) * k, sxy += double(k) * prof[k], ++n;
            }
            vgrey.push_back(*std::max_element(prof.begin(), prof.end()));
            const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx), icpt = (sy - slope * sx) / n;
            auto line = [&](int k) { return icpt + slope * k; };
            std::vector<int> ridge(sum.size());
            for (size_t k = 0; k < sum.size(); ++k) ridge[k] = prof[k] < line(int(k));
            // Runs fully inside the profile.
            std::vector<double> ridgeRuns, valleyRuns;
            size_t start = 0;
            for (size_t k = 1; k <= ridge.size(); ++k)
                if (k == ridge.size() || ridge[k] != ridge[start]) {
                    if (start > 0 && k < ridge.size()) (ridge[start] ? ridgeRuns : valleyRuns).push_back(double(k - start));
                    start = k;
                }
            double wrStd, wvStd;
            const double wr = detail::MeanStd(ridgeRuns, &wrStd), wv = detail::MeanStd(valleyRuns, &wvStd);
            for (double r : ridgeRuns) rw.push_back(r);
            for (double v : valleyRuns) vw.push_back(v);
            if (wr > 0 && wv > 0) ratio.push_back(wr / (wr + wv));
            // Clarity: pixels of ridge bins brighter than the line and of valley bins darker.
            double wrongR = 0, allR = 0, wrongV = 0, allV = 0;
            for (int y = y0; y < y0 + B; ++y)
                for (int x = x0; x < x0 + B; ++x) {
                    const int k = binOf[(y - y0) * B + x - x0];
                    if (k < 0) continue;
                    const bool dark = at(x, y) < line(k);
                    if (ridge[size_t(k)]) allR += 1, wrongR += !dark;
                    else allV += 1, wrongV += dark;
                }
            // Ridges 3..10 and valleys 2..10 pixels wide at 500 ppi, or the block is not clear.
            const bool plausible = wr >= 3 && wr <= 10 && wv >= 2 && wv <= 10;
            clar.push_back(plausible && allR > 0 && allV > 0 ? 1 - (wrongR / allR + wrongV / allV) / 2 : 0);
        }
    double dummy;
    m.blocks = int(cert.size());
    m.certainty = detail::MeanStd(cert, &dummy);
    m.clarity = detail::MeanStd(clar, &dummy);
    m.ridgePixelStd = detail::MeanStd(rstd, &dummy);
    m.valleyGrey = detail::MeanStd(vgrey, &dummy);
    double s;
    m.ridgeWidthMean = detail::MeanStd(rw, &s);
    m.ridgeWidthCv = m.ridgeWidthMean > 0 ? s / m.ridgeWidthMean : 0;
    m.valleyWidthMean = detail::MeanStd(vw, &s);
    m.valleyWidthCv = m.valleyWidthMean > 0 ? s / m.valleyWidthMean : 0;
    detail::MeanStd(ratio, &m.ratioStd);
    // Flow: direction change to the right and lower neighbours.
    std::vector<double> turns;
    for (int by = 0; by < bh; ++by)
        for (int bx = 0; bx < bw; ++bx) {
            const double a0 = angle[size_t(by) * bw + bx];
            if (std::isnan(a0)) continue;
            for (auto [dx, dy] : {std::pair{1, 0}, std::pair{0, 1}}) {
                if (bx + dx >= bw || by + dy >= bh) continue;
                const double a1 = angle[size_t(by + dy) * bw + bx + dx];
                if (std::isnan(a1)) continue;
                double d = std::fmod(std::abs(a1 - a0), kPi);
                turns.push_back(std::min(d, kPi - d) * 180 / kPi);
            }
        }
    m.flowDeg = detail::MeanStd(turns, &dummy);
    if (!countMinutiae) return m;

    // Minutiae: binarise against a 15 x 15 local mean of a 3 x 3 smoothed image, thin (Zhang and
    // Suen), count pixels whose crossing number is 1 (ending) or 3 (fork) inside the contact.
    std::vector<double> smooth(size_t(width) * height), integral(size_t(width + 1) * (height + 1), 0.0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double s3 = 0;
            int n3 = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int xx = x + dx, yy = y + dy;
                    if (xx >= 0 && yy >= 0 && xx < width && yy < height) s3 += at(xx, yy), ++n3;
                }
            smooth[size_t(y) * width + x] = s3 / n3;
        }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            integral[size_t(y + 1) * (width + 1) + x + 1] = smooth[size_t(y) * width + x] + integral[size_t(y) * (width + 1) + x + 1] +
                                                            integral[size_t(y + 1) * (width + 1) + x] - integral[size_t(y) * (width + 1) + x];
    std::vector<uint8_t> bin(size_t(width) * height, 0);
    for (int y = 8; y < height - 8; ++y)
        for (int x = 8; x < width - 8; ++x) {
            if (!inside(x, y)) continue;
            const int xa = x - 7, xb = x + 8, ya = y - 7, yb = y + 8;
            const double local = (integral[size_t(yb) * (width + 1) + xb] - integral[size_t(ya) * (width + 1) + xb] -
                                  integral[size_t(yb) * (width + 1) + xa] + integral[size_t(ya) * (width + 1) + xa]) / 225.0;
            bin[size_t(y) * width + x] = smooth[size_t(y) * width + x] < local;
        }
    auto b = [&](int x, int y) { return int(bin[size_t(y) * width + x]); };
    std::vector<size_t> clear;
    for (bool changed = true; changed;) {
        changed = false;
        for (int pass = 0; pass < 2; ++pass) {
            clear.clear();
            for (int y = 1; y < height - 1; ++y)
                for (int x = 1; x < width - 1; ++x) {
                    if (!b(x, y)) continue;
                    const int n[8] = {b(x, y - 1), b(x + 1, y - 1), b(x + 1, y), b(x + 1, y + 1),
                                      b(x, y + 1), b(x - 1, y + 1), b(x - 1, y), b(x - 1, y - 1)};
                    int count = 0, trans = 0;
                    for (int i = 0; i < 8; ++i) count += n[i], trans += !n[i] && n[(i + 1) % 8];
                    if (count < 2 || count > 6 || trans != 1) continue;
                    if (pass == 0 && ((n[0] && n[2] && n[4]) || (n[2] && n[4] && n[6]))) continue;
                    if (pass == 1 && ((n[0] && n[2] && n[6]) || (n[0] && n[4] && n[6]))) continue;
                    clear.push_back(size_t(y) * width + x);
                }
            for (size_t i : clear) bin[i] = 0;
            changed = changed || !clear.empty();
        }
    }
    // Only points a ridge period inside the contact: the rim ends every ridge.
    for (int y = 12; y < height - 12; ++y)
        for (int x = 12; x < width - 12; ++x) {
            if (!b(x, y) || !inside(x - 10, y) || !inside(x + 10, y) || !inside(x, y - 10) || !inside(x, y + 10)) continue;
            const int n[8] = {b(x, y - 1), b(x + 1, y - 1), b(x + 1, y), b(x + 1, y + 1),
                              b(x, y + 1), b(x - 1, y + 1), b(x - 1, y), b(x - 1, y - 1)};
            int cross = 0;
            for (int i = 0; i < 8; ++i) cross += std::abs(n[i] - n[(i + 1) % 8]);
            cross /= 2;
            m.minutiae += cross == 1 || cross == 3;
        }
    return m;
}

}  // namespace printmeasures
