#include "update/SelfReplacement.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Worker.h"
#include "update/UpdateDownload.h"
#include "update/UpdateSignature.h"
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

// Writes `bytes` into a new file at `path`. Whatever stands under that name (a leftover
// script, a planted file or link) is taken away first, never written into or through.
bool WriteNewFile(const std::string& path, const std::string& bytes) {
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0700);
  if (fd < 0) return false;
  if (!WriteAll(fd, bytes)) {
    close(fd);
    return false;
  }
  return close(fd) == 0;
}

// Whether the open file holds a program: an ELF executable of our own class that is no
// shared library (one with a program interpreter, or a fixed-address executable).
bool HoldsProgram(int fd) {
  ElfW(Ehdr) header;
  if (pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return false;
  constexpr unsigned char kOwnClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != kOwnClass)
    return false;
  if (header.e_type == ET_EXEC) return true;
  if (header.e_type != ET_DYN || header.e_phentsize != sizeof(ElfW(Phdr))) return false;
  for (int i = 0; i < header.e_phnum; ++i) {
    ElfW(Phdr) segment;
    const off_t at = static_cast<off_t>(header.e_phoff) + i * static_cast<off_t>(sizeof segment);
    if (pread(fd, &segment, sizeof segment, at) != static_cast<ssize_t>(sizeof segment))
      return false;
    if (segment.p_type == PT_INTERP) return true;
  }
  return false;
}

}  // namespace

bool ReplaceableByNewProgram(const std::string& path) {
  const PathParts parts = SplitPath(path);
  // The program's own files are never a program's place.
  if (parts.name == kHistoryFileName ||
      parts.name == kScriptName || parts.name.rfind(kDownloadPrefix, 0) == 0)
    return false;
  // O_NOFOLLOW refuses a symlink, O_NONBLOCK keeps a FIFO from holding the update up.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    struct stat info;
    return errno == ENOENT && lstat(path.c_str(), &info) != 0 && errno == ENOENT;
  }
  struct stat info;
  const bool earlierProgram = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                              (info.st_mode & S_IXUSR) != 0 && HoldsProgram(fd);
  close(fd);
  return earlierProgram;
}

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
  std::string signature;
  {
    std::lock_guard lock(update.mutex);
    address = update.downloadAddress;
    name = update.programName;
    signature = update.signature;
  }
  const std::string programPath = ProgramPathOf(program);
  const PathParts self = SplitPath(programPath);
  // The page gives the name in GBK; file names are UTF-8.
  const std::string newName = LocalToUtf8(name);
  // Checked before the download: with such a name the old program, or a file that is no
  // earlier download of a program, would be lost or overwritten by the move, so the update
  // cannot go ahead at all.
  const std::string newPath = self.directory + "/" + newName;
  if (programPath.empty() || !UsableProgramName(newName, self.name) ||
      !ReplaceableByNewProgram(newPath)) {
    RefuseUpdate(program);
    return;
  }

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

  // A build with the publisher's key digests the new program while it arrives.
  const std::string& publicKey = program.settings.updatePublicKey;
  std::optional<BackgroundSha256> digest;
  WrittenBytes written;
  if (!publicKey.empty()) {
    digest.emplace();
    written = [&digest](const char* data, std::size_t size) { digest->Add(data, size); };
  }
  const DownloadOutcome outcome = DownloadToFile(
      program, address, temporary,
      [&program](std::int64_t total, std::int64_t received, std::int64_t elapsed,
                 std::int64_t fresh) {
        ShowDownloadProgress(program, total, received, elapsed, fresh);
      },
      written);
  if (outcome != DownloadOutcome::Complete) return;
  // Nothing unsigned is put in place or started.
  if (digest && !DownloadAccepted(publicKey, digest->Finish(), signature)) {
    DeleteFileIfPresent(temporary);
    RefuseUpdate(program);
    return;
  }

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
    // Asked again: the directory may have changed during the download.
    const bool moved = ReplaceableByNewProgram(newPath) && MoveFileReplacing(temporary, newPath);
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
    if (WriteNewFile(script, CleanupScriptText(programPath)))
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
