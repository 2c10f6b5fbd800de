#include "platform/qt/DesignFonts.h"

namespace morvane {

QFont DesignFont(Typeface face, int pixelSize, bool bold) {
  QFont font(face == Typeface::Hei ? QStringLiteral("Noto Sans CJK SC")
                                   : QStringLiteral("Noto Serif CJK SC"));
  font.setStyleHint(face == Typeface::Hei ? QFont::SansSerif : QFont::Serif);
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  return font;
}

QFont DefaultFont() {
  return DesignFont(Typeface::Hei, 12);
}

}  // namespace morvane
