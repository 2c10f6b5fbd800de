#pragma once
// The download of a new program file with progress figures for the update window.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Program.h"

namespace morvane {

// total (announced length, 0 when none), received (bytes written so far), elapsed
// (milliseconds since the body began, at least 10), fresh (bytes of this download).
// 64-bit so that files over 2 GiB are shown as they are.
using DownloadProgress = std::function<void(std::int64_t total, std::int64_t received,
                                            std::int64_t elapsed, std::int64_t fresh)>;

enum class DownloadOutcome {
  Complete,  // the whole body is in the file
  Failed,    // message shown, program end requested, file removed
  Aborted,   // the update was called off: file removed, nothing shown
};

// Sees every byte of the body as it is written to the file, in order.
using WrittenBytes = std::function<void(const char* data, std::size_t size)>;

// Downloads `address` into the existing or new file `path`, replacing its content. Every
// failure is final: it names the failure in a message box and ends the program.
DownloadOutcome DownloadToFile(Program& program, const std::string& address,
                               const std::string& path, const DownloadProgress& progress,
                               const WrittenBytes& written = {});

// Writes the figures into the update window's bar and labels without waiting for it.
void ShowDownloadProgress(Program& program, std::int64_t total, std::int64_t received,
                          std::int64_t elapsed, std::int64_t fresh);

// A number as the progress labels write it: shortest form, at most 13 significant digits,
// no trailing zeros ("2.5", "3").
std::string NumberText(double value);
// Rounded to `decimals` places, halves away from zero.
double RoundHalfAway(double value, int decimals);

}  // namespace morvane
