#include "cast/ExternalPlayer.h"

#include <fcntl.h>
#include <json-glib/json-glib.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/NumberText.h"
#include "web/FetchPage.h"

extern char** environ;

namespace morvane::cast {

namespace {

using Clock = std::chrono::steady_clock;

// A line from mpv longer than this is no event of the few we ask for.
constexpr std::size_t kMostLineBytes = 1 << 16;
// mpv makes its socket once it has read its options: a few tenths of a second.
constexpr std::chrono::seconds kSocketWait{15};
constexpr std::chrono::seconds kPositionPostDeadline{5};

std::string MissingMessage(const std::string& name) {
  return "找不到播放器“" + name + "”。请安装它，或在 morvane.conf 里用 external-player 指定播放器。";
}

// A folder only this user can enter, for mpv's socket.
std::string PrivateSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string pattern = std::string(runtime && *runtime == '/' ? runtime : "/tmp") + "/morvane-player-XXXXXX";
  if (!::mkdtemp(pattern.data())) return "";
  return pattern + "/mpv.sock";
}

int ConnectUnix(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return -1;
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& text) {
  for (std::size_t sent = 0; sent < text.size();) {
    const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

struct Followed {
  std::optional<double> seconds, duration;
  std::size_t entry = 0;
  bool told = false;  // a time has come since the last film began
};

// One line of mpv's IPC: a property we observe changing.
void ReadEvent(const std::string& line, Followed& followed) {
  JsonParser* parser = json_parser_new();
  if (json_parser_load_from_data(parser, line.data(), static_cast<gssize>(line.size()), nullptr) &&
      JSON_NODE_HOLDS_OBJECT(json_parser_get_root(parser))) {
    JsonObject* event = json_node_get_object(json_parser_get_root(parser));
    const char* kind = json_object_get_string_member_with_default(event, "event", "");
    const char* name = json_object_get_string_member_with_default(event, "name", "");
    JsonNode* data = json_object_has_member(event, "data") ? json_object_get_member(event, "data") : nullptr;
    const bool number = data && JSON_NODE_HOLDS_VALUE(data) &&
                        (json_node_get_value_type(data) == G_TYPE_DOUBLE ||
                         json_node_get_value_type(data) == G_TYPE_INT64);
    if (std::string_view(kind) == "property-change" && number) {
      const double value = json_node_get_double(data);
      if (std::string_view(name) == "time-pos") {
        followed.seconds = value;
        followed.told = true;
      } else if (std::string_view(name) == "duration") {
        followed.duration = value;
      } else if (std::string_view(name) == "playlist-pos" && value >= 0) {
        followed.entry = static_cast<std::size_t>(value);
        followed.told = false;
        followed.seconds.reset();
        followed.duration.reset();
      }
    }
  }
  g_object_unref(parser);
}

void KeepPosition(const Handoff& handoff, const Followed& followed) {
  if (!followed.told || !followed.seconds || followed.entry >= handoff.entries.size()) return;
  const std::string& address = handoff.entries[followed.entry].positionAddress;
  if (address.empty()) return;
  std::string target = address + "?seconds=" + FixedText(*followed.seconds, 3);
  if (followed.duration && *followed.duration > 0) target += "&duration=" + FixedText(*followed.duration, 3);
  FetchOptions options;
  options.method = 1;
  options.asReceived = true;
  options.deadline = kPositionPostDeadline;
  FetchPageBytes(target, options);
}

// Follows mpv until it ends: its place kept every few seconds and at the end.
std::optional<PlayerPosition> FollowMpv(pid_t pid, const Handoff& handoff) {
  int fd = -1;
  const auto giveUp = Clock::now() + kSocketWait;
  while (fd < 0 && Clock::now() < giveUp && ::waitpid(pid, nullptr, WNOHANG) == 0) {
    fd = ConnectUnix(handoff.ipcSocket);
    if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Followed followed;
  followed.entry = handoff.first;
  if (fd < 0) return std::nullopt;
  SendAll(fd,
          "{\"command\":[\"observe_property\",1,\"playlist-pos\"]}\n"
          "{\"command\":[\"observe_property\",2,\"duration\"]}\n"
          "{\"command\":[\"observe_property\",3,\"time-pos\"]}\n");
  std::string pending;
  auto lastKept = Clock::now();
  char buffer[4096];
  for (;;) {
    pollfd wait{fd, POLLIN, 0};
    const int ready = ::poll(&wait, 1, 1000);
    if (ready > 0) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;  // mpv has gone
      pending.append(buffer, static_cast<std::size_t>(n));
      for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        const std::size_t entryBefore = followed.entry;
        const Followed before = followed;
        ReadEvent(pending.substr(0, end), followed);
        pending.erase(0, end + 1);
        // The film before keeps where it was left when the list moves on.
        if (followed.entry != entryBefore) KeepPosition(handoff, before);
      }
      if (pending.size() > kMostLineBytes) pending.clear();
    }
    if (Clock::now() - lastKept >= kPositionInterval) {
      KeepPosition(handoff, followed);
      lastKept = Clock::now();
    }
  }
  ::close(fd);
  KeepPosition(handoff, followed);
  if (!followed.seconds) return std::nullopt;
  return PlayerPosition{followed.entry, *followed.seconds, followed.duration.value_or(0)};
}

}  // namespace

std::string FindProgram(const std::string& name) {
  const auto runnable = [](const std::string& path) {
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
  };
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return runnable(name) ? name : "";
  const char* path = std::getenv("PATH");
  const std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
  for (std::size_t at = 0; at <= folders.size();) {
    const std::size_t end = std::min(folders.find(':', at), folders.size());
    const std::string folder = folders.substr(at, end - at);
    if (!folder.empty() && runnable(folder + "/" + name)) return folder + "/" + name;
    at = end + 1;
  }
  return "";
}

LaunchResult LaunchPlayer(const std::string& setting, Handoff handoff,
                          std::function<void(std::optional<PlayerPosition>)> onEnd) {
  LaunchResult result;
  if (handoff.entries.empty() || handoff.first >= handoff.entries.size()) {
    result.message = "没有可以交给播放器的影片。";
    return result;
  }
  const bool mpv = KindOf(setting) == PlayerKind::kMpv;
  if (mpv) handoff.ipcSocket = PrivateSocketPath();
  const PlayerCommand command = BuildPlayerCommand(setting, handoff);
  result.program = FindProgram(command.argv.empty() ? "" : command.argv.front());
  if (result.program.empty()) {
    result.message = MissingMessage(command.argv.empty() ? "" : command.argv.front());
    return result;
  }
  std::vector<char*> argv;
  std::vector<std::string> words = command.argv;
  words.front() = result.program;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  for (int stream = 0; stream < 3; ++stream)
    posix_spawn_file_actions_addopen(&files, stream, "/dev/null", stream ? O_WRONLY : O_RDONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A session of its own: a terminal's hang-up or the window's process group leaves it be.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, result.program.c_str(), &files, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    result.message = MissingMessage(command.argv.front());
    return result;
  }
  result.ok = true;
  result.ipcSocket = handoff.ipcSocket;
  // Reaps the player and follows mpv; it ends with the player.
  std::thread([pid, handoff = std::move(handoff), onEnd = std::move(onEnd), mpv] {
    std::optional<PlayerPosition> last;
    if (mpv && !handoff.ipcSocket.empty()) last = FollowMpv(pid, handoff);
    ::waitpid(pid, nullptr, 0);
    if (!handoff.ipcSocket.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(std::filesystem::path(handoff.ipcSocket).parent_path(), ignored);
    }
    if (onEnd) onEnd(last);
  }).detach();
  return result;
}

}  // namespace morvane::cast
