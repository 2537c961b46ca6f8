#include "dialog_font.h"

#include <QFontMetrics>
#include <QStringList>

namespace platform {

void RegisterDialogFontSubstitutes() {
  const QStringList korean = {QStringLiteral("NanumGothic"), QStringLiteral("Noto Sans CJK KR")};
  QFont::insertSubstitutions(QStringLiteral("굴림"), korean);
  QFont::insertSubstitutions(QStringLiteral("Gulim"), korean);
}

BaseUnits DialogBaseUnits(const QFont& font) {
  // averageCharWidth() is unreliable for CJK fonts; measure the letters.
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return {(letters / 26 + 1) / 2, metrics.height()};
}

int DialogUnitsToPixelsX(int x, BaseUnits base) { return x * base.x / 4; }
int DialogUnitsToPixelsY(int y, BaseUnits base) { return y * base.y / 8; }

}  // namespace platform
