#pragma once
// Starting programs that outlive this one, and the file operations of the self-update
// (the running program's own file is in platform/Files.h). File names are UTF-8 paths; none of these routines
// shows anything.

#include <string>
#include <vector>

namespace morvane {

// "dir/name" split at the last "/": the directory without a trailing "/" ("/" for a file
// in the root) and the bare name.
struct PathParts {
  std::string directory;
  std::string name;
};
PathParts SplitPath(const std::string& path);

enum class StartStyle {
  Shown,   // keeps this process's standard streams
  Hidden,  // standard streams on /dev/null
};

// Starts `program` with `arguments` in a session of its own, so it lives on after this
// process ends, and does not wait for it. True once the program has been loaded; false
// when it could not be started (not found, not executable, no process left).
bool StartDetached(const std::string& program, const std::vector<std::string>& arguments,
                   StartStyle style);

// A new empty file "directory/prefixXXXXXX" that only this user can read and write;
// returns its path, or "" when it cannot be made.
std::string CreatePrivateFile(const std::string& directory, const std::string& prefix);

// Moves `from` to `to`, replacing `to`: renamed in one step, else copied over and the
// source deleted. True when `to` holds the file afterwards.
bool MoveFileReplacing(const std::string& from, const std::string& to);

// Byte-for-byte copy that replaces `to`; a half-written copy is removed.
bool CopyFileReplacing(const std::string& from, const std::string& to);

bool FileExists(const std::string& path);
// True when the file is gone afterwards (also when it never existed).
bool DeleteFileIfPresent(const std::string& path);
// Lets everyone run the file and its owner write it (rwxr-xr-x).
bool MakeExecutable(const std::string& path);

}  // namespace morvane
