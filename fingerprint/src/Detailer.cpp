#include "Detailer.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "RowBands.h"

namespace {
// Cell of view v within a 2 x 2 block: (row, column).
constexpr int kOffset[4][2] = {{1, 0}, {0, 0}, {0, 1}, {1, 1}};
constexpr uint8_t kFirstTag = 129;
}  // namespace

void SR3Release(BSRT** state) {
    if (state == nullptr || *state == nullptr) return;
    delete[] (*state)->pixels;
    delete *state;
    *state = nullptr;
}

int SR3(int first, int height, int width, uint8_t* frame, BSRT** state) {
    if (state == nullptr || frame == nullptr || height < 1 || width < 1 || height > 1 << 14 || width > 1 << 14) return 1;
    const int view = int(frame[5]) - kFirstTag;
    if (view < 0 || view > 3) return 3;
    BSRT* s = *state;
    const bool sameSize = s != nullptr && s->pixels != nullptr && s->width == 2 * width && s->height == 2 * height;
    if (first != 0 || !sameSize) {
        // A new combination of the same size keeps the image of the last one: every cell is
        // written below.
        if (!sameSize) {
            SR3Release(state);
            s = new (std::nothrow) BSRT{2 * width, 2 * height, nullptr};
            if (s == nullptr) return 2;
            s->pixels = new (std::nothrow) uint8_t[size_t(s->width) * size_t(s->height)];
            if (s->pixels == nullptr) {
                delete s;
                return 2;
            }
            *state = s;
        }
        // Every cell starts as this view, so a view that never comes leaves no hole.
        zarn::ForRowBands(height, 256, "KestrelSr3", [&](int firstRow, int endRow) {
            for (int y = firstRow; y < endRow; ++y)
                for (int x = 0; x < width; ++x) {
                    const uint8_t v = frame[size_t(y) * width + x];
                    uint8_t* cell = s->pixels + size_t(2 * y) * s->width + 2 * x;
                    cell[0] = cell[1] = cell[s->width] = cell[s->width + 1] = v;
                }
        });
        return 0;
    }
    const int dy = kOffset[view][0], dx = kOffset[view][1];
    zarn::ForRowBands(height, 256, "KestrelSr3", [&](int firstRow, int endRow) {
        for (int y = firstRow; y < endRow; ++y) {
            uint8_t* row = s->pixels + size_t(2 * y + dy) * s->width + dx;
            const uint8_t* src = frame + size_t(y) * width;
            for (int x = 0; x < width; ++x) row[2 * x] = src[x];
        }
    });
    return 0;
}
