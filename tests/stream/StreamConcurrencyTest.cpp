#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/stream/StreamFixture.h"

namespace morvane::testing {
namespace {

using StreamConcurrencyTest = StreamFixture;

TEST_F(StreamConcurrencyTest, ReadersAllOverASlowSwarmEachGetTheirBytes) {
  StartService();
  constexpr std::int64_t kSize = 4 << 20;
  const auto seeder = MakeSeeder("slow.mp4", {{"slow.mp4", kSize}}, {.uploadLimit = 2 << 20});
  const std::string source = ReadAll(seeder->SourcePath("slow.mp4"));
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  ASSERT_TRUE(path.starts_with("/stream/")) << path;

  // A player's pattern: the start, the index at the end, a seek, and the whole file.
  struct Read {
    std::int64_t begin, end;
  };
  const std::vector<Read> reads = {
      {0, 300000}, {kSize - 200000, kSize}, {2500000, 3100000}, {1234567, 1234568}, {0, kSize}};
  std::vector<RawAnswer> answers(reads.size());
  std::vector<std::thread> readers;
  for (std::size_t i = 0; i < reads.size(); ++i)
    readers.emplace_back([&, i] {
      answers[i] = RawGet(Port(), path,
                          "Range: bytes=" + std::to_string(reads[i].begin) + "-" +
                              std::to_string(reads[i].end - 1) + "\r\n");
    });
  for (auto& reader : readers) reader.join();
  for (std::size_t i = 0; i < reads.size(); ++i) {
    EXPECT_EQ(answers[i].status, 206) << i;
    EXPECT_TRUE(answers[i].body == source.substr(static_cast<std::size_t>(reads[i].begin),
                                                 static_cast<std::size_t>(reads[i].end - reads[i].begin)))
        << "read " << i << " got " << answers[i].body.size() << " bytes";
  }
}

TEST_F(StreamConcurrencyTest, ClientsThatHangUpOrAStopMidStreamDoNoHarm) {
  // As in a program that leaves SIGPIPE alone (some libraries in this test ignore it).
  std::signal(SIGPIPE, SIG_DFL);
  StartService();
  constexpr std::int64_t kSize = 3 << 20;
  const auto seeder = MakeSeeder("hangup.mp4", {{"hangup.mp4", kSize}}, {.uploadLimit = 1 << 20});
  const std::string source = ReadAll(seeder->SourcePath("hangup.mp4"));
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  std::vector<std::thread> quitters;
  for (int i = 0; i < 3; ++i)
    quitters.emplace_back([&] {
      const int fd = ConnectLoopback(Port());
      const std::string request = "GET " + path + " HTTP/1.1\r\n\r\n";
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
      char buffer[4096];
      ::recv(fd, buffer, sizeof buffer, MSG_WAITALL);  // the head and a little of the body
      ::close(fd);
    });
  for (auto& quitter : quitters) quitter.join();
  const RawAnswer answer = RawGet(Port(), path, "Range: bytes=1000000-\r\n");
  EXPECT_EQ(answer.status, 206);
  EXPECT_TRUE(answer.body == source.substr(1000000));

  // A stop while the sender is blocked on a client that reads nothing cuts the connection
  // under the sender's feet.
  const auto big = MakeSeeder("big.mp4", {{"big.mp4", 24 << 20}});
  const std::string bigPath = PathOf(Resolve(big->MagnetLink()));
  const int silent = ConnectLoopback(Port());
  const std::string request = "GET " + bigPath + " HTTP/1.1\r\n\r\n";
  ::send(silent, request.data(), request.size(), MSG_NOSIGNAL);
  const std::string done = "\"bytesVerified\":" + std::to_string(24 << 20);
  bool whole = false;
  for (int i = 0; i < 2000 && !whole; ++i) {
    whole = RawGet(Port(), "/status/" + big->InfoHashHex()).body.find(done) != std::string::npos;
    if (!whole) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(whole) << "the video never came in whole";
  const auto stopping = std::chrono::steady_clock::now();
  StopService();
  // Well before the stall time-out (20 s): the sender did not wait for the silent client.
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(10));
  // The connection was cut: what the client never read ends, short of the 24 MiB asked for.
  std::int64_t received = 0;
  char buffer[1 << 16];
  for (;;) {
    pollfd p{silent, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    const ssize_t n = ::recv(silent, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received += n;
  }
  pollfd p{silent, POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 1) << "the connection is still open";
  EXPECT_LT(received, 24 << 20);
  ::close(silent);
}

TEST_F(StreamConcurrencyTest, AReaderWhoseClientHungUpLeavesWhilePiecesKeepArriving) {
  // A player that seeks hangs up the answer it was reading and asks anew: the old reader
  // must let go of its pieces at once, not when the piece it waits for comes (here never:
  // the swarm lacks it) while the rest of the video keeps arriving and waking it.
  StartService([](stream::StreamOptions& o) { o.stallTimeout = std::chrono::seconds(60); });
  constexpr int kPiece = 64 << 10;
  constexpr int kMissing = 40;
  const auto seeder = MakeSeeder("seek.mp4", {{"seek.mp4", 8 << 20}},
                                 {.uploadLimit = 1 << 20, .missingPieces = {kMissing}});
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  ASSERT_TRUE(path.starts_with("/stream/")) << path;
  const std::string hash = seeder->InfoHashHex();
  // A player's first bytes: the rest of the video starts coming in.
  ASSERT_EQ(RawGet(Port(), path, "Range: bytes=0-999\r\n").status, 206);
  const int fd = ConnectLoopback(Port());
  const std::string request = "GET " + path + " HTTP/1.1\r\nRange: bytes=" +
                              std::to_string(kMissing * kPiece + 100) + "-\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  const auto readers = [&] {
    const std::string status = RawGet(Port(), "/status/" + hash).body;
    const auto at = status.find("\"readers\":");
    return at == std::string::npos ? -1 : std::atoi(status.c_str() + at + 10);
  };
  bool waiting = false;
  for (int i = 0; i < 500 && !waiting; ++i) {
    waiting = readers() == 1;
    if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(waiting) << "the reader never waited";
  const std::string before = RawGet(Port(), "/status/" + hash).body;
  ::close(fd);
  bool left = false;
  for (int i = 0; i < 300 && !left; ++i) {  // 3 s: some pieces arrive meanwhile, the stall time-out is 60 s
    left = readers() == 0;
    if (!left) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(left) << "the reader of a client that hung up is still there";
  EXPECT_NE(RawGet(Port(), "/status/" + hash).body, before) << "no piece arrived meanwhile";
}

TEST_F(StreamConcurrencyTest, ConcurrentResolutionsOfOneLinkAgree) {
  StartService();
  const auto seeder = MakeSeeder("movie.mp4", {{"movie.mp4", 1 << 20}});
  std::vector<std::string> answers(6);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < answers.size(); ++i)
    threads.emplace_back([&, i] { answers[i] = Resolve(seeder->MagnetLink()); });
  for (auto& thread : threads) thread.join();
  for (const std::string& answer : answers) {
    EXPECT_TRUE(answer.starts_with(Base() + "/stream/")) << answer;
    EXPECT_EQ(answer, answers[0]);
  }
}

TEST_F(StreamConcurrencyTest, StopEndsWaitingReadersAndResolutions) {
  StartService();
  auto seeder = MakeSeeder("gone.mp4", {{"gone.mp4", 4 << 20}}, {.uploadLimit = 4000});
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  seeder.reset();
  const int port = Port();
  const std::string nobody = "00112233445566778899aabbccddeeff00112233";
  std::atomic<int> finished{0};
  std::thread reader([&] {
    RawGet(port, path, "Range: bytes=3000000-\r\n");
    ++finished;
  });
  std::thread resolver([&] {
    RawGet(port, "/xml.php?url=magnet:?xt=urn:btih:" + nobody);
    ++finished;
  });
  // Both wait once the status shows the reader, and the magnet's torrent exists.
  const std::string hash = path.substr(8, 40);
  bool waiting = false;
  for (int i = 0; i < 2000 && !waiting; ++i) {
    waiting = RawGet(port, "/status/" + hash).body.find("\"readers\":1") != std::string::npos &&
              RawGet(port, "/status/" + nobody).status == 200;
    if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(waiting) << "the reader or the resolution was not waiting when the stop came";
  StopService();
  // Both end with the stop, long before the stall and metadata time-outs (20 s) would have
  // ended them. How fast a stop is belongs to the streaming benchmark.
  for (int i = 0; i < 1000 && finished < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(finished, 2);
  reader.join();
  resolver.join();
}

}  // namespace
}  // namespace morvane::testing
