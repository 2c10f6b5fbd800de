#include "platform/qt/WebProfile.h"

#include <QWebEngineProfile>

namespace morvane {

void UseUncachedWebProfile() {
  QWebEngineProfile* profile = QWebEngineProfile::defaultProfile();
  if (profile->httpCacheType() != QWebEngineProfile::NoCache)
    profile->setHttpCacheType(QWebEngineProfile::NoCache);
}

}  // namespace morvane
