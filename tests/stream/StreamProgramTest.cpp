// morvane-stream as a user runs it on a home server: its key file, the options it shows, and
// SIGTERM ending it promptly whatever a flood of clients holds it to.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "tests/support/DrippingServer.h"
#include "tests/support/RawHttp.h"
#include "tests/support/ScratchFolder.h"

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// morvane-stream started with `arguments` and `config` as its XDG_CONFIG_HOME; its standard
// output is read line by line.
class StreamProgram {
 public:
  StreamProgram(const std::vector<std::string>& arguments, const std::string& config) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(MORVANE_STREAM_PATH)};
      for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(MORVANE_STREAM_PATH, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~StreamProgram() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  // The next line of output, "" when none comes in time.
  std::string Line(std::chrono::milliseconds limit = 20s) {
    const auto until = Clock::now() + limit;
    for (;;) {
      if (const auto end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
      char buffer[1024];
      const ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n <= 0) return "";
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  // The port of "morvane-stream listening on ADDRESS:PORT", after the lines before it.
  int AwaitListening(std::vector<std::string>* before = nullptr) {
    for (std::string line; !(line = Line()).empty();) {
      if (line.starts_with("morvane-stream listening on ")) return std::stoi(line.substr(line.rfind(':') + 1));
      if (before) before->push_back(line);
    }
    return 0;
  }

  // Signals the program and waits at most `limit` for it to end; its exit code, or -1.
  int Stop(int signal, std::chrono::milliseconds limit) {
    ::kill(pid_, signal);
    const auto until = Clock::now() + limit;
    int status = 0;
    while (Clock::now() < until) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }

  // Whatever output is left, once the program has ended.
  std::string Rest() {
    char buffer[4096];
    for (ssize_t n; (n = ::read(out_, buffer, sizeof buffer)) > 0;) pending_.append(buffer, static_cast<std::size_t>(n));
    return std::exchange(pending_, {});
  }

  int Wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
  std::string pending_;
};

int StatusOf(const std::string& answer) {
  return answer.size() >= 12 ? std::stoi(answer.substr(9, 3)) : 0;
}

std::vector<std::string> Offline(const ScratchFolder& folder) {
  return {"--port", "0", "--cache-dir", folder.path() + "/cache", "--no-dht",
          "--no-local-discovery", "--no-default-trackers"};
}

TEST(StreamProgramTest, HelpShowsItsOptionsAndBadOnesAreRefused) {
  const ScratchFolder folder;
  StreamProgram help({"--help"}, folder.path());
  EXPECT_EQ(help.Wait(), 0);
  const std::string text = help.Rest();
  for (const char* option : {"--token-file FILE", "--peer-interface NAME|ADDRESS", "--listen ADDRESS",
                             "--max-download RATE", "--max-upload RATE", "--idle-after TIME",
                             "--seed-ratio RATIO", "--seed-time TIME"})
    EXPECT_NE(text.find(option), std::string::npos) << option << " in\n" << text;

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--peer-interface", "wg0,eth0"}, {"--peer-interface"}, {"--token-file"},
           {"--max-download", "4 MB"}, {"--seed-ratio"}}) {
    StreamProgram refused(bad, folder.path());
    EXPECT_EQ(refused.Wait(), 2) << bad[0];
  }
}

TEST(StreamProgramTest, BeyondLoopbackItMakesItsKeyOnceAndAnswersOnlyWithIt) {
  const ScratchFolder folder;
  const std::string config = folder.path() + "/config";
  const std::string keyFile = config + "/morvane/stream-token";  // the default place
  std::string key;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run == 0 ? "first start" : "second start");
    std::vector<std::string> arguments = Offline(folder);
    arguments.insert(arguments.end(), {"--listen", "0.0.0.0"});
    StreamProgram program(arguments, config);
    std::vector<std::string> said;
    const int port = program.AwaitListening(&said);
    ASSERT_GT(port, 0);
    const auto stored = ReadWholeFile(keyFile);
    ASSERT_TRUE(stored);
    if (run == 0) {
      key = stored->substr(0, stored->find('\n'));
      EXPECT_EQ(key.size(), 32u);
      ASSERT_FALSE(said.empty());
      EXPECT_NE(said[0].find(key), std::string::npos) << "the new key is printed";
      struct stat file {}, dir {};
      ASSERT_EQ(::stat(keyFile.c_str(), &file), 0);
      ASSERT_EQ(::stat((config + "/morvane").c_str(), &dir), 0);
      EXPECT_EQ(file.st_mode & 0777, 0600u);
      EXPECT_EQ(dir.st_mode & 0777, 0700u);
    } else {
      EXPECT_EQ(stored->substr(0, stored->find('\n')), key) << "kept";
      EXPECT_TRUE(said.empty()) << "printed once, when made: " << said[0];
    }
    const std::string status = "/status/" + std::string(40, 'a');
    EXPECT_EQ(StatusOf(RawExchange(port, "GET " + status + " HTTP/1.1\r\n\r\n")), 401);
    EXPECT_EQ(StatusOf(RawExchange(port, "GET /" + key + status + " HTTP/1.1\r\n\r\n")), 404);
    EXPECT_EQ(program.Stop(SIGTERM, 10s), 0);
  }
  // A key file that holds no usable key, or is no file of its own, stops the start rather
  // than opening the door; on loopback as well, where the window shares the key.
  const std::string dangling = folder.path() + "/dangling", loop = folder.path() + "/loop";
  ASSERT_EQ(::symlink((folder.path() + "/nothing").c_str(), dangling.c_str()), 0);
  ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
  ASSERT_TRUE(WriteWholeFile(keyFile, "short\n"));
  for (const char* listen : {"0.0.0.0", "127.0.0.1"})
    for (const std::string& file : {keyFile, dangling, loop}) {
      std::vector<std::string> arguments = Offline(folder);
      arguments.insert(arguments.end(), {"--listen", listen, "--token-file", file});
      StreamProgram refused(arguments, config);
      EXPECT_EQ(refused.Wait(), 1) << listen << " " << file;
    }
}

TEST(StreamProgramTest, SigtermEndsItPromptlyUnderAFlood) {
  const ScratchFolder folder;
  DrippingServer dripping;
  std::vector<std::string> arguments = Offline(folder);
  arguments.insert(arguments.end(), {"--metadata-timeout", "60"});
  StreamProgram program(arguments, folder.path() + "/config");
  const int port = program.AwaitListening();
  ASSERT_GT(port, 0);
  std::vector<int> flood;
  const auto send = [&](const std::string& request) {
    const int fd = ConnectLoopback(port, "127.0.0.2");
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    flood.push_back(fd);
  };
  for (int i = 0; i < 100; ++i) send("GET /status/x HTTP/1.1\r\n");
  for (int i = 0; i < 16; ++i) send("GET /xml.php?url=" + dripping.base() + "/a.torrent HTTP/1.1\r\n\r\n");
  for (int i = 0; i < 200; ++i) {
    char hash[41];
    std::snprintf(hash, sizeof hash, "%040x", i + 1);
    send(std::string("GET /xml.php?url=magnet:?xt=urn:btih:") + hash + " HTTP/1.1\r\n\r\n");
  }
  for (int i = 0; i < 500 && dripping.connections() < 8; ++i) std::this_thread::sleep_for(10ms);
  // Far below the 60 s metadata wait, the 30 s body deadline and the 10 s head deadline.
  EXPECT_EQ(program.Stop(SIGTERM, 8s), 0);
  for (const int fd : flood) ::close(fd);
}

}  // namespace
}  // namespace morvane::testing
