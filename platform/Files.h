#pragma once
// Whole-file reads and writes, and the program's own file and the directory it runs from.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

// The play history's file name, beside the program (a data file the update never replaces).
inline constexpr char kHistoryFileName[] = "配置.ini";

// Full path of the running program file (from /proc/self/exe); "" when it cannot be read.
std::string RunningProgramPath();

// The directory holding the running program, without a trailing "/"; "." when it cannot be
// found out.
std::string ProgramDirectory();

// Writes every byte to the open file `fd`, going on after partial writes and interrupted
// calls. False when a write fails; how much reached the file is then unknown.
bool WriteAll(int fd, std::string_view bytes);

inline constexpr std::size_t kNoSizeLimit = static_cast<std::size_t>(-1);

// Every byte of the file, or nothing when it cannot be opened or read. Only a regular file
// (or a link to one) is read: a FIFO or a device is never opened, so nothing waits for a
// writer or reads an endless stream. A file of more than `maxBytes` gives nothing as well.
std::optional<std::string> ReadWholeFile(const std::string& path,
                                         std::size_t maxBytes = kNoSizeLimit);

// Replaces the file's whole content with `bytes`, creating it if needed. The bytes go into a
// new file beside the old one, which is flushed to disk and then renamed over the old name,
// so a reader sees either the old content or the new one, never a mixture, and a failed
// write leaves the old file as it was. A symbolic link is followed: its target gets the new
// content and the link stays. Anything but a regular file in the way (a directory, a FIFO,
// a device) is left alone and the write fails. Returns true once the new file is in place.
// A file of `kOwnerOnly` is readable and writable by its owner alone, a replaced one too.
enum class FileAccess { kKept, kOwnerOnly };
bool WriteWholeFile(const std::string& path, std::string_view bytes,
                    FileAccess access = FileAccess::kKept);

}  // namespace morvane
