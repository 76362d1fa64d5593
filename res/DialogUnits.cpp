#include "res/DialogUnits.h"

#include <cstdint>

int AverageCharWidthFromLetters(int widthOf52Letters) { return (widthOf52Letters / 26 + 1) / 2; }

int MulDiv(int a, int b, int c) {
    if (c == 0) return -1;
    const int64_t p = static_cast<int64_t>(a) * b;
    const int64_t half = (c < 0 ? -c : c) / 2;
    const bool negative = (p < 0) != (c < 0);
    const int64_t ap = p < 0 ? -p : p;
    const int64_t ac = c < 0 ? -c : c;
    const int64_t q = (ap + half) / ac;
    return static_cast<int>(negative ? -q : q);
}

PixelRect DialogUnitsToPixels(int x, int y, int w, int h, DialogBaseUnits u) {
    return PixelRect{MulDiv(x, u.x, 4), MulDiv(y, u.y, 8), MulDiv(w, u.x, 4), MulDiv(h, u.y, 8)};
}
