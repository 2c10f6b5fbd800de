// The ftp media relay against a small ftp server on loopback: the answer names the relay,
// and the relay serves the file's bytes with ranges.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/stream/StreamFixture.h"

namespace morvane::testing {
namespace {

int Listen(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(fd, 8);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return fd;
}

// Enough of an ftp server for libcurl: log-in, SIZE, REST and RETR in passive mode of one
// file, one session at a time.
class TinyFtpServer {
 public:
  explicit TinyFtpServer(std::string content) : content_(std::move(content)) {
    listener_ = Listen(port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TinyFtpServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }

 private:
  static void Say(int fd, const std::string& line) {
    const std::string text = line + "\r\n";
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  }

  void Serve() {
    while (!stopping_) {
      const int control = ::accept(listener_, nullptr, nullptr);
      if (control < 0) continue;
      Session(control);
      ::close(control);
    }
  }

  void Session(int control) {
    Say(control, "220 ready");
    std::string pending;
    int passive = -1;
    std::size_t offset = 0;
    char buffer[1024];
    for (;;) {
      const auto end = pending.find("\r\n");
      if (end == std::string::npos) {
        const ssize_t n = ::recv(control, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 2);
      const std::string verb = line.substr(0, line.find(' '));
      const std::string argument = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
      if (verb == "USER") Say(control, "331 password");
      else if (verb == "PASS") Say(control, "230 in");
      else if (verb == "PWD") Say(control, "257 \"/\"");
      else if (verb == "CWD") Say(control, "250 ok");
      else if (verb == "TYPE") Say(control, "200 ok");
      else if (verb == "SIZE") Say(control, "213 " + std::to_string(content_.size()));
      else if (verb == "REST") {
        offset = std::stoul(argument);
        Say(control, "350 ok");
      } else if (verb == "EPSV") {
        int dataPort = 0;
        if (passive >= 0) ::close(passive);
        passive = Listen(dataPort);
        Say(control, "229 passive (|||" + std::to_string(dataPort) + "|)");
      } else if (verb == "RETR") {
        Say(control, "150 sending");
        const int data = ::accept(passive, nullptr, nullptr);
        if (offset < content_.size())
          ::send(data, content_.data() + offset, content_.size() - offset, MSG_NOSIGNAL);
        ::close(data);
        offset = 0;
        Say(control, "226 done");
      } else if (verb == "QUIT") {
        Say(control, "221 bye");
        break;
      } else {
        Say(control, "502 not here");
      }
    }
    if (passive >= 0) ::close(passive);
  }

  std::string content_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

using FtpRelayTest = StreamFixture;

TEST_F(FtpRelayTest, RelaysAnFtpFileWithRanges) {
  std::string content(300000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7919 >> 3);
  TinyFtpServer ftp(content);
  StartService();
  const std::string address = Resolve("ftp://127.0.0.1:" + std::to_string(ftp.port()) + "/films/clip.mp4");
  ASSERT_EQ(address, Base() + "/relay/1/clip.mp4");

  const RawAnswer whole = RawGet(Port(), PathOf(address));
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.Header("Content-Type"), "video/mp4");
  EXPECT_TRUE(whole.body == content) << whole.body.size();

  const RawAnswer part = RawGet(Port(), PathOf(address), "Range: bytes=100000-100099\r\n");
  EXPECT_EQ(part.status, 206);
  EXPECT_EQ(part.Header("Content-Range"), "bytes 100000-100099/300000");
  EXPECT_TRUE(part.body == content.substr(100000, 100));

  EXPECT_EQ(RawGet(Port(), "/relay/2/other.mp4").status, 404) << "only resolved addresses";
}

}  // namespace
}  // namespace morvane::testing
