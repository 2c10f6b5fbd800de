#pragma once
// The streaming road: a catalogue video through the program's own streaming service.

class QObject;

namespace morvane::e2e {

QObject* NewStreamRoadTest();

}  // namespace morvane::e2e
