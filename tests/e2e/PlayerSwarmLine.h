#pragma once
// The swarm line of the player page under a streamed video.

#include <QRegularExpression>

class QObject;

namespace morvane::e2e {

QObject* NewPlayerSwarmLineTest();

// The line's form with some of the film in: the rate is absent once the whole film is in
// and nothing flows, and on loopback a seeder drops a peer that has everything, so the peer
// count may be 0.
QRegularExpression SwarmLineForm();

}  // namespace morvane::e2e
