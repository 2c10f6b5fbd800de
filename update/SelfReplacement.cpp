#include "update/SelfReplacement.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Worker.h"
#include "update/UpdateDownload.h"
#include "web/Text.h"

namespace morvane {

namespace {

// Prefix of the private file the download goes into, beside the program so that putting
// it in place is a rename on the same file system.
constexpr const char* kDownloadPrefix = ".morvane-update-";
constexpr const char* kScriptName = " .sh";
// How often the script tries to delete the old program before it gives up. On Linux the
// file of a running program can be deleted at once, so only a lasting fault (a directory
// that is not writable) makes it try again.
constexpr int kScriptAttempts = 60;

std::string ProgramPathOf(Program& program) {
  std::string path;
  {
    std::lock_guard lock(program.update.mutex);
    path = program.update.programPath;
  }
  return path.empty() ? RunningProgramPath() : path;
}

std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

// The old program stays as it is and the user learns that the update did not happen.
void RefuseUpdate(Program& program) {
  program.ui.ShowMessage(Gbk("不能打开本地的文件!"), Gbk("信息："), MessageButtons::Ok,
                         MessageIcon::None);
  program.ui.EndProgram(0);
}

// Waits one countdown step; false when the update was called off meanwhile.
bool WaitStep(Program& program) {
  using namespace std::chrono;
  const auto until = steady_clock::now() + program.update.countdownStep;
  while (!program.update.abortRequested.load()) {
    const auto now = steady_clock::now();
    if (now >= until) return true;
    std::this_thread::sleep_for(std::min<steady_clock::duration>(until - now, milliseconds(20)));
  }
  return false;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  // O_NOFOLLOW: a link planted under the script's name must not redirect the write.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0700);
  if (fd < 0) return false;
  if (!WriteAll(fd, bytes)) {
    close(fd);
    return false;
  }
  return close(fd) == 0;
}

}  // namespace

bool UsableProgramName(const std::string& name, const std::string& runningName) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos) return false;
  return name != runningName;
}

std::string CleanupScriptText(const std::string& oldProgram) {
  const std::string old = ShellQuoted(oldProgram);
  std::string script = "#!/bin/sh\n";
  script += "tries=0\n";
  script += "while [ -e " + old + " ] && [ \"$tries\" -lt ";
  script += std::to_string(kScriptAttempts) + " ]; do\n";
  script += "  rm -f -- " + old + " || sleep 1\n";
  script += "  tries=$((tries + 1))\n";
  script += "done\n";
  script += "rm -f -- \"$0\"\n";
  return script;
}

void OpenUpdateWindow(Program& program, const std::string& address, const std::string& name) {
  {
    std::lock_guard lock(program.update.mutex);
    program.update.downloadAddress = address;
    program.update.programName = name;
  }
  program.ui.OpenUpdateWindow([&program] { StartWorker([&program] { RunUpdate(program); }); },
                              [&program] { ConfirmAbortUpdate(program); });
}

void RunUpdate(Program& program) {
  UpdateState& update = program.update;
  std::string address;
  std::string name;
  {
    std::lock_guard lock(update.mutex);
    address = update.downloadAddress;
    name = update.programName;
  }
  const std::string programPath = ProgramPathOf(program);
  const PathParts self = SplitPath(programPath);
  // The page gives the name in GBK; file names are UTF-8.
  const std::string newName = LocalToUtf8(name);
  // Checked before the download: with such a name the old program would be lost or
  // overwritten by the move, so the update cannot go ahead at all.
  if (programPath.empty() || !UsableProgramName(newName, self.name)) {
    RefuseUpdate(program);
    return;
  }
  const std::string newPath = self.directory + "/" + newName;

  std::string temporary;
  {
    std::lock_guard lock(update.mutex);
    if (update.abortRequested.load()) return;
    temporary = CreatePrivateFile(self.directory, kDownloadPrefix);
    update.temporaryFile = temporary;
  }
  if (temporary.empty()) {
    RefuseUpdate(program);
    return;
  }

  const DownloadOutcome outcome =
      DownloadToFile(program, address, temporary,
                     [&program](std::int64_t total, std::int64_t received, std::int64_t elapsed,
                                std::int64_t fresh) {
                       ShowDownloadProgress(program, total, received, elapsed, fresh);
                     });
  if (outcome != DownloadOutcome::Complete) return;

  program.ui.SetVisible("标签_下载速度", false);
  program.ui.SetVisible("标签_总大小", false);
  for (int n = 3; n >= 1; --n) {
    program.ui.SetText("标签_已完成百分比",
                       Gbk("更新完毕，等待") + std::to_string(n) + Gbk("秒自动运行新版本……"));
    if (!WaitStep(program)) return;
  }

  {
    // From here on an abort waits: the program ends either before anything is put in
    // place or with the new program running and the clean-up script written.
    std::lock_guard lock(update.replacing);
    if (update.abortRequested.load()) return;
    const bool moved = MoveFileReplacing(temporary, newPath);
    if (moved) {
      std::lock_guard state(update.mutex);
      update.temporaryFile.clear();
    } else {
      DeleteFileIfPresent(temporary);
    }
    // The old program is deleted only once its successor runs.
    if (moved && MakeExecutable(newPath) && StartDetached(newPath, {}, StartStyle::Shown)) {
      WriteCleanupScript(program);
      return;
    }
  }
  RefuseUpdate(program);
}

void WriteCleanupScript(Program& program) {
  const std::string programPath = ProgramPathOf(program);
  if (!programPath.empty()) {
    const std::string script = SplitPath(programPath).directory + "/" + kScriptName;
    if (WriteFileBytes(script, CleanupScriptText(programPath)))
      StartDetached("/bin/sh", {script}, StartStyle::Hidden);
  }
  program.ui.EndProgram(0);
}

void ConfirmAbortUpdate(Program& program) {
  const MessageAnswer answer =
      program.ui.ShowMessage(Gbk("退出后将无法更新完成，是否退出？"), Gbk("询问"),
                             MessageButtons::OkCancel, MessageIcon::Question);
  if (answer != MessageAnswer::Ok) return;
  std::string temporary;
  {
    // Waits while the worker is putting the new program in place, so the abort never
    // lands between the move and the end of the program.
    std::lock_guard lock(program.update.replacing);
    program.update.abortRequested.store(true);
    std::lock_guard state(program.update.mutex);
    temporary = program.update.temporaryFile;
  }
  if (!temporary.empty()) DeleteFileIfPresent(temporary);
  program.ui.EndProgram(0);
}

}  // namespace morvane
