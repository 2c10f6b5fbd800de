#include "platform/Process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/Files.h"

namespace morvane {

namespace {

int RetryOnInterrupt(auto call) {
  int result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace

PathParts SplitPath(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool StartDetached(const std::string& program, const std::vector<std::string>& arguments,
                   StartStyle style) {
  // Everything the child needs is prepared before fork: between fork and exec only
  // async-signal-safe calls are allowed, as other threads may hold locks.
  std::vector<std::string> owned;
  owned.push_back(program);
  owned.insert(owned.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The grandchild reports a failed exec through this pipe; a successful exec closes it.
  int status[2];
  if (pipe2(status, O_CLOEXEC) != 0) return false;

  pid_t child = fork();
  if (child < 0) {
    close(status[0]);
    close(status[1]);
    return false;
  }
  if (child == 0) {
    close(status[0]);
    setsid();
    // A second fork leaves the program an orphan adopted by init, so nobody has to reap it.
    pid_t grandchild = fork();
    if (grandchild != 0) {
      if (grandchild < 0) {
        int error = errno;
        (void)!write(status[1], &error, sizeof error);
      }
      _exit(0);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (style == StartStyle::Hidden) {
      int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) close(null);
      }
    }
    // Sockets and files of this process stay behind.
    syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    execv(argv[0], argv.data());
    int error = errno;
    (void)!write(status[1], &error, sizeof error);
    _exit(127);
  }

  close(status[1]);
  int childStatus = 0;
  RetryOnInterrupt([&] { return static_cast<int>(waitpid(child, &childStatus, 0)); });
  int error = 0;
  ssize_t n;
  do {
    n = read(status[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  close(status[0]);
  return n == 0;
}

std::string CreatePrivateFile(const std::string& directory, const std::string& prefix) {
  std::string path = directory + "/" + prefix + "XXXXXX";
  int fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return "";
  close(fd);
  return path;
}

bool CopyFileReplacing(const std::string& from, const std::string& to) {
  int in = RetryOnInterrupt([&] { return open(from.c_str(), O_RDONLY | O_CLOEXEC); });
  if (in < 0) return false;
  int out = RetryOnInterrupt(
      [&] { return open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600); });
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = true;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!WriteAll(out, std::string_view(buffer, static_cast<std::size_t>(n)))) {
      ok = false;
      break;
    }
  }
  close(in);
  if (close(out) != 0) ok = false;
  if (!ok) unlink(to.c_str());
  return ok;
}

bool MoveFileReplacing(const std::string& from, const std::string& to) {
  std::error_code error;
  std::filesystem::rename(from, to, error);
  if (!error) return true;
  if (!CopyFileReplacing(from, to)) return false;
  std::filesystem::remove(from, error);
  return true;
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

bool DeleteFileIfPresent(const std::string& path) {
  std::error_code error;
  std::filesystem::remove(path, error);
  return !error;
}

bool MakeExecutable(const std::string& path) {
  using std::filesystem::perms;
  std::error_code error;
  std::filesystem::permissions(path,
                               perms::owner_all | perms::group_read | perms::group_exec |
                                   perms::others_read | perms::others_exec,
                               error);
  return !error;
}

}  // namespace morvane
