#pragma once

// Dialog-unit conversion as the Windows dialog manager does it: the horizontal base
// unit is the dialog font's average character width, the vertical one its height.
struct DialogBaseUnits {
    int x;  // average character width in pixels
    int y;  // character height in pixels
};

// The average width Windows derives from the width of the 52 letters A-Z a-z.
int AverageCharWidthFromLetters(int widthOf52Letters);

// Windows' MulDiv: a * b / c rounded half away from zero.
int MulDiv(int a, int b, int c);

struct PixelRect {
    int x, y, w, h;
};
PixelRect DialogUnitsToPixels(int x, int y, int w, int h, DialogBaseUnits units);
