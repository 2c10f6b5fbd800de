#pragma once
// The converting road: a video the embedded browser cannot play as it is, with a subtitle
// file beside it, through the program's streaming service.

class QObject;

namespace morvane::e2e {

QObject* NewConvertRoadTest();

}  // namespace morvane::e2e
