#pragma once
// The stream's state and share ratio beside the swarm line of the player page.

class QObject;

namespace morvane::e2e {

QObject* NewPlayerStreamStateTest();

}  // namespace morvane::e2e
