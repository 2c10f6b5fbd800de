#pragma once
// What the roads that play through Morvane's own streaming service share: the service on a
// free loopback port with a cache of its own, and the clock of the video it plays.

#include <QString>
#include <QWebEngineView>
#include <string>

namespace morvane::e2e {

// The own streaming service of one road, announcing to `announce` only (no public
// discovery), keyed as the program keys its own: `host` is "127.0.0.1:PORT/KEY", empty when
// it did not start.
struct RoadService {
  std::string host;
  QString cacheDir;
};
RoadService StartRoadService(const QString& cachePrefix, const std::string& announce);

// The page's video plays (not paused, not seeking) past `from` seconds within the time limit.
bool ClockMovesPast(QWebEngineView* view, double from, int timeoutMs);

}  // namespace morvane::e2e
