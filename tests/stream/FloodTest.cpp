// One client must not stall the others: under each of the floods a hostile client can make
// (heads that never end, .torrent bodies that drip, magnets nobody seeds), another client's
// status is answered long before the flood's own time-outs would free anything, and the
// service still stops without waiting them out.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <cstdio>
#include <vector>

#include "tests/stream/StreamFixture.h"
#include "tests/support/DrippingServer.h"

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The flooding client's own loopback address.
constexpr const char* kFlooder = "127.0.0.2";

int ConnectFrom(int port, const char* from) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &source.sin_addr);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string Hash(int i) {
  char hex[41];
  std::snprintf(hex, sizeof hex, "%040x", i + 1);
  return hex;
}

enum class Flood { kSlowHeads, kDrippingBodies, kUnseededMagnets };

using FloodTest = StreamFixture;

TEST_F(FloodTest, AnotherClientIsAnsweredAndTheServiceStillStops) {
  DrippingServer dripping;
  struct Case {
    const char* what;
    Flood flood;
    int count;
  } cases[] = {
      {"heads that never end", Flood::kSlowHeads, 100},
      {".torrent bodies that drip", Flood::kDrippingBodies, 16},
      {"magnets nobody seeds", Flood::kUnseededMagnets, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartService();  // metadata and stall time-outs of 20 s, heads of 10 s, bodies of 30 s
    std::vector<int> flood;
    for (int i = 0; i < c.count; ++i) {
      const int fd = ConnectFrom(Port(), kFlooder);
      ASSERT_GE(fd, 0);
      std::string request;
      switch (c.flood) {
        case Flood::kSlowHeads:
          request = "GET /status/" + Hash(i) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
          break;
        case Flood::kDrippingBodies:
          request = "GET /xml.php?url=" + dripping.base() + "/" + std::to_string(i) + ".torrent HTTP/1.1\r\n\r\n";
          break;
        case Flood::kUnseededMagnets:
          request = "GET /xml.php?url=magnet:?xt=urn:btih:" + Hash(i) + " HTTP/1.1\r\n\r\n";
          break;
      }
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      flood.push_back(fd);
    }
    if (c.flood == Flood::kDrippingBodies) {
      // The service's fetches are under way (as many as its slow workers take).
      for (int i = 0; i < 500 && dripping.connections() < 8; ++i) std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(300ms);
    for (int ping = 0; ping < 5; ++ping) {
      const auto asked = Clock::now();
      const RawAnswer status = RawRequest(Port(), "GET", "/status/" + Hash(1000 + ping), "", 8s);
      EXPECT_EQ(status.status, 404) << "ping " << ping;
      // Long before any of the flood's time-outs frees a worker.
      EXPECT_LT(Clock::now() - asked, 5s) << "ping " << ping;
    }
    const auto stopping = Clock::now();
    StopService();
    EXPECT_LT(Clock::now() - stopping, 10s) << "the stop waited out the flood";
    for (const int fd : flood) ::close(fd);
    std::filesystem::remove_all(Cache());
  }
}

const std::string kKey = "0123456789abcdef0123456789abcdef";

// Every program on the machine, and every web page in its browsers, reaches the service from
// 127.0.0.1, the window's own address. Another client holding resolutions of magnets nobody
// seeds (a browser's six connections, each held by the metadata wait) has its share of the
// workers and no more; the window's keyed requests have workers of their own.
TEST_F(FloodTest, AnotherLocalClientsHeldResolutionsDoNotHoldTheWindows) {
  StartService([](stream::StreamOptions& o) { o.accessKey = kKey; });
  const auto seeder = MakeSeeder("film.mp4", {{"film.mp4", 1 << 20}});
  std::vector<int> held;
  for (int i = 0; i < 6; ++i) {
    const int fd = ConnectLoopback(Port());
    const std::string request = "GET /xml.php?url=magnet:?xt=urn:btih:" + Hash(i) + " HTTP/1.1\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    held.push_back(fd);
  }
  std::this_thread::sleep_for(300ms);
  // Without the key the window would be that client: its share is taken.
  EXPECT_EQ(RawGet(Port(), "/xml.php?url=" + seeder->MagnetLink()).status, 503);

  const auto asked = Clock::now();
  const RawAnswer played = RawGet(Port(), "/" + kKey + "/xml.php?url=" + seeder->MagnetLink());
  EXPECT_LT(Clock::now() - asked, 3s) << "the metadata wait of the held ones is 20 s";
  EXPECT_TRUE(FileOf(played.body).starts_with(Base() + "/" + kKey + "/stream/")) << played.body;
  const RawAnswer bytes = RawRequest(Port(), "GET", PathOf(FileOf(played.body)), "Range: bytes=0-1023\r\n", 10s);
  EXPECT_EQ(bytes.status, 206);
  EXPECT_EQ(bytes.body.size(), 1024u);
  for (const int fd : held) ::close(fd);
}

// A .torrent of a season of 100,001 files: one film and a hundred thousand small ones.
std::filesystem::path WriteHugeTorrent(const std::filesystem::path& folder) {
  namespace lt = libtorrent;
  lt::file_storage files;
  files.add_file("Season/Show.S01E01.mp4", 4 << 20);
  for (int i = 0; i < 100000; ++i) {
    char name[40];
    std::snprintf(name, sizeof name, "Season/extras/%06d.nfo", i);
    files.add_file(name, 1);
  }
  lt::create_torrent made(files, 1 << 20, lt::create_torrent::v1_only);
  for (lt::piece_index_t p(0); p < made.end_piece(); ++p) made.set_hash(p, lt::sha1_hash("0123456789abcdefghij"));
  std::vector<char> bytes;
  lt::bencode(std::back_inserter(bytes), made.generate());
  const std::filesystem::path path = folder / "huge.torrent";
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

TEST_F(FloodTest, FileListsOfAHugeTorrentDoNotHoldTheQuickAnswers) {
  StartService();
  const std::string address = Resolve(WriteHugeTorrent(Root()).string());
  ASSERT_TRUE(address.starts_with(Base() + "/stream/")) << address;
  const std::string hash = address.substr(Base().size() + 8, 40);
  const std::string list = RawRequest(Port(), "GET", "/files/" + hash, "", 60s).body;
  std::size_t listed = 0;
  for (std::size_t at = 0; (at = list.find("\"index\":", at)) != std::string::npos; ++at) ++listed;
  EXPECT_EQ(listed, 100001u);

  // 48 at once from one client, none of them read: each answer is some megabytes.
  std::vector<int> flood;
  for (int i = 0; i < 48; ++i) {
    const int fd = ConnectFrom(Port(), kFlooder);
    ASSERT_GE(fd, 0);
    const std::string request = "GET /files/" + hash + " HTTP/1.1\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    flood.push_back(fd);
  }
  std::this_thread::sleep_for(300ms);
  for (int ping = 0; ping < 5; ++ping) {
    const auto asked = Clock::now();
    EXPECT_EQ(RawRequest(Port(), "GET", "/status/" + hash, "", 8s).status, 200) << "ping " << ping;
    EXPECT_LT(Clock::now() - asked, 1s) << "ping " << ping;
  }
  for (const int fd : flood) ::close(fd);
}

}  // namespace
}  // namespace morvane::testing
