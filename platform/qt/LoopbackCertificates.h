#pragma once
// The embedded browsers accept a certificate that no authority signed only from a server on
// this machine (127.0.0.0/8, ::1, localhost): the stand-in player service makes its own
// certificate for 127.0.0.1 each time it starts. Every other host keeps the web engine's
// verdict.

#include <QUrl>

class QWebEngineView;

namespace morvane {

bool IsLoopbackHost(const QUrl& url);
void AcceptLoopbackCertificates(QWebEngineView* view);

}  // namespace morvane
