// Twips: the unit of every position and size in the window model.
//
// A twip is 1/1440 inch; at the 96 dots per inch that the model assumes, a
// pixel is 15 twips. Front ends convert with these helpers and nothing else,
// so that a layout given in twips lands on the same pixels everywhere.
#pragma once

namespace ui {

inline constexpr int kTwipsPerPixel = 15;

// Nearest whole pixel; halves round away from zero (7 twips -> 0, 8 -> 1).
int TwipsToPixels(double twips);
// Exact: pixels * 15.
constexpr int PixelsToTwips(int pixels) { return pixels * kTwipsPerPixel; }

}  // namespace ui
