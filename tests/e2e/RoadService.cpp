#include "tests/e2e/RoadService.h"

#include <QTcpServer>

#include "app/OwnStreamService.h"
#include "stream/AccessKey.h"
#include "tests/e2e/E2eFixture.h"

namespace morvane::e2e {

RoadService StartRoadService(const QString& cachePrefix, const std::string& announce) {
  RoadService road;
  road.cacheDir = NewScratchDirectory(cachePrefix);
  if (road.cacheDir.isEmpty()) return road;
  QTcpServer probe;  // a loopback port nobody listens on
  if (!probe.listen(QHostAddress::LocalHost, 0)) return road;
  // Keyed as the program keys its own: the player page's requests name a page.
  const std::string host =
      "127.0.0.1:" + std::to_string(probe.serverPort()) + "/" + stream::NewRandomKey();
  probe.close();
  OwnServiceOptions options;
  options.extraTrackers = {announce};
  options.cacheDir = road.cacheDir.toStdString();
  options.publicDiscovery = false;
  if (StartOwnResolutionService(host, options) == OwnServiceStart::Started) road.host = host;
  return road;
}

bool ClockMovesPast(QWebEngineView* view, double from, int timeoutMs) {
  const QString script = QStringLiteral(
      "(() => { const v = document.querySelector('video');"
      " return v && !v.paused && !v.seeking ? v.currentTime : -1; })()");
  return Await([&] { return RunScript(view, script).toDouble() > from; }, timeoutMs, 100);
}

}  // namespace morvane::e2e
