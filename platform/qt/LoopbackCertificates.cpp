#include "platform/qt/LoopbackCertificates.h"

#include <QHostAddress>
#include <QWebEngineCertificateError>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace morvane {

bool IsLoopbackHost(const QUrl& url) {
  const QString host = url.host();
  if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0) return true;
  QHostAddress address;
  return address.setAddress(host) && address.isLoopback();
}

void AcceptLoopbackCertificates(QWebEngineView* view) {
  QObject::connect(view->page(), &QWebEnginePage::certificateError, view,
                   [](QWebEngineCertificateError error) {
                     if (IsLoopbackHost(error.url()) && error.isOverridable()) {
                       error.acceptCertificate();
                     } else {
                       error.rejectCertificate();
                     }
                   });
}

}  // namespace morvane
