#include "ui/Masse.h"

#include <cmath>

namespace tresor::ui {

int Pixel(double twips, double dpi) {
    return static_cast<int>(std::lround(twips * dpi / TwipsJeZoll));
}

double Twips(double pixel, double dpi) {
    return pixel * TwipsJeZoll / dpi;
}

QRect PixelRechteck(const Rechteck& r, double dpiX, double dpiY) {
    const int links = Pixel(r.Left, dpiX);
    const int oben = Pixel(r.Top, dpiY);
    const int rechts = Pixel(r.Left + r.Width, dpiX);
    const int unten = Pixel(r.Top + r.Height, dpiY);
    return {links, oben, rechts - links, unten - oben};
}

} // namespace tresor::ui
