#pragma once
// The update road ends the process that runs it, so it runs in a program of its own: this
// test program started again with kUpdateRoadFlag from a scratch directory, which becomes
// the program directory of the update.

#include <QObject>

namespace morvane::e2e {

inline constexpr const char* kUpdateRoadFlag = "--update-road";

// The program side: the main window against the services named by the arguments; it
// clicks the arrow, agrees to the update and reports what it sees on standard output, one
// line per change, until the update ends it.
int RunUpdateRoadProgram(int argc, char** argv);

QObject* NewUpdateRoadTest();

}  // namespace morvane::e2e
