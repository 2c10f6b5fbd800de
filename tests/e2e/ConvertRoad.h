#pragma once
// The converting road: videos the embedded browser cannot play as they are, with their
// subtitles beside them or inside them, through the program's streaming service.

class QObject;

namespace morvane::e2e {

QObject* NewConvertRoadTest();

}  // namespace morvane::e2e
