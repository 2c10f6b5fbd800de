#pragma once
// The program holds its texts in GBK; widgets hold QString. These two are the only crossing.

#include <QString>
#include <string>
#include <string_view>

#include "web/Text.h"

namespace morvane {

inline QString ToQt(std::string_view local) {
  return QString::fromStdString(LocalToUtf8(local));
}
inline std::string FromQt(const QString& text) {
  return Utf8ToLocal(text.toStdString());
}

// A design name (UTF-8 in the sources) as an objectName.
inline QString NameToQt(std::string_view utf8) {
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

}  // namespace morvane
