#pragma once
// Spreads independent rows of a large image over a few threads: the rows [0, rows) are cut into
// equal bands, the calling thread works the first band and short-lived threads (named `name`) the
// others; the call returns when every band is done. Work that does not fill two bands of
// `minRows`, or a thread that cannot be started, runs on the calling thread, so the result never
// depends on how the rows were split.
#include <algorithm>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/ThreadName.h"

namespace zarn {

constexpr int kMaxRowThreads = 4;

template <class Body>
void ForRowBands(int rows, int minRows, const char* name, const Body& body) {
    const int bands = std::clamp(minRows > 0 ? rows / minRows : 1, 1, kMaxRowThreads);
    auto first = [&](int band) { return int(int64_t(rows) * band / bands); };
    std::vector<std::thread> helpers;
    int done = bands;  // bands from here on are left to the calling thread
    for (int band = 1; band < bands; ++band) {
        try {
            helpers.emplace_back([&, band] {
                platform::SetCurrentThreadName(name);
                body(first(band), first(band + 1));
            });
        } catch (const std::system_error&) {
            done = band;
            break;
        }
    }
    body(first(0), first(1));
    for (int band = done; band < bands; ++band) body(first(band), first(band + 1));
    for (std::thread& t : helpers) t.join();
}

}  // namespace zarn
