#pragma once

#include <QRect>

namespace tresor::ui {

// Twips per inch: positions and sizes of the window are given in 1/1440 inch.
inline constexpr double TwipsJeZoll = 1440.0;

// A rectangle in twips: left, top, width, height from the top left corner of the client area.
struct Rechteck {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
};

// Twips to pixels at the given logical dpi (96 dpi: 15 twips per pixel), rounded to the nearest pixel.
[[nodiscard]] int Pixel(double twips, double dpi);

// Pixels to twips at the given logical dpi, not rounded.
[[nodiscard]] double Twips(double pixel, double dpi);

// The pixel rectangle of a rectangle in twips. Each edge is rounded on its own, so rectangles that touch in
// twips touch in pixels too (a width of 3500 twips at 96 dpi, 233 1/3 pixels, becomes 233 pixels).
[[nodiscard]] QRect PixelRechteck(const Rechteck& r, double dpiX, double dpiY);

} // namespace tresor::ui
