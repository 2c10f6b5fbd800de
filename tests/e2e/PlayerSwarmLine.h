#pragma once
// The swarm line of the player page under a streamed video.

class QObject;

namespace morvane::e2e {

QObject* NewPlayerSwarmLineTest();

}  // namespace morvane::e2e
