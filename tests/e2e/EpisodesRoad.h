#pragma once
// The road of a season pack: episodes, the next one, sound tracks and picking up again.

class QObject;

namespace morvane::e2e {

QObject* NewEpisodesRoadTest();

}  // namespace morvane::e2e
