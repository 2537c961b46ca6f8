#pragma once

#include <QFont>

namespace platform {

// Makes the Korean dialog font "굴림" resolve to an installed Korean font.
void RegisterDialogFontSubstitutes();

// Windows dialog base units of a font: x the average width of the Latin
// letters, y the line height, both in pixels.
struct BaseUnits {
  int x, y;
};
BaseUnits DialogBaseUnits(const QFont& font);

// Dialog units to pixels: x * base x / 4, y * base y / 8.
int DialogUnitsToPixelsX(int x, BaseUnits base);
int DialogUnitsToPixelsY(int y, BaseUnits base);

}  // namespace platform
