#pragma once
// The form names two typefaces, 黑体 (a sans serif) and 宋体 (a serif). They map to the CJK
// families that the setup script installs; fontconfig substitutes when they are missing.

#include <QFont>

namespace morvane {

enum class Typeface { Hei, Song };

QFont DesignFont(Typeface face, int pixelSize, bool bold = false);
// The font of every control that the form gives no font of its own.
QFont DefaultFont();

}  // namespace morvane
