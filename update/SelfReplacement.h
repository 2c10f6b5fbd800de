#pragma once
// The update window's work: download the new program, count down, put it beside the
// running one, start it, leave a script that removes the old program file once this
// process has let go of it, and end. Closing the window asks whether to abort.

#include <string>

#include "platform/Program.h"

namespace morvane {

// Stores the update parameters and shows the update window; returns once the window has
// been destroyed (the update may still be running then).
void OpenUpdateWindow(Program& program, const std::string& address, const std::string& name);

// The update worker started when the update window exists.
void RunUpdate(Program& program);

// Writes the clean-up script " .sh" beside the program, starts it hidden and ends the
// program.
void WriteCleanupScript(Program& program);

// The update window is being destroyed: asks whether to abort; OK stops the update and
// ends the program with the old program untouched.
void ConfirmAbortUpdate(Program& program);

// The script that deletes `oldProgram` (a full path), retrying while the file is still
// there, and then itself.
std::string CleanupScriptText(const std::string& oldProgram);

// The file name (UTF-8) under which a new program may be put beside `runningName`: not
// empty, no "/" or NUL, not "." or "..", and not the running program's own name.
bool UsableProgramName(const std::string& name, const std::string& runningName);

// Whether the new program may be put at `path` (the program directory + "/" + its name):
// nothing stands there yet, or an earlier download of a program does, that is a regular
// file (not a symlink), executable by its owner, holding an ELF executable (not a shared
// library), and not named as one of the program's own files (the history "配置.ini", the
// clean-up script " .sh", a download in progress). Anything else is left alone.
bool ReplaceableByNewProgram(const std::string& path);

}  // namespace morvane
