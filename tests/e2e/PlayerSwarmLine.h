#pragma once
// The swarm line of the player page under a streamed video.

class QObject;
class QWebEngineView;

namespace morvane::e2e {

QObject* NewPlayerSwarmLineTest();

// The player page in `view` shows a swarm line with some of the film in, within the time
// limit. The rate is absent once the whole film is in and nothing flows, and on loopback a
// seeder drops a peer that has everything, so the peer count may be 0.
bool SwarmLineShows(QWebEngineView* view, int timeoutMs);

}  // namespace morvane::e2e
