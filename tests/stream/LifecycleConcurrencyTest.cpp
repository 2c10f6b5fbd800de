// Readers that come and go while the alert thread idles, stops and starts their film again.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/stream/StreamFixture.h"

namespace morvane::testing {
namespace {

using namespace std::chrono_literals;
using LifecycleConcurrencyTest = StreamFixture;

TEST_F(LifecycleConcurrencyTest, ReadersBetweenIdleAndStoppedSpellsEachGetTheirBytes) {
  // Idle a tenth of a second after the last reader, stopped soon after: the pauses between
  // the rounds of reads span both, and the rounds' readers race the alert thread that
  // carries them out.
  StartService([](stream::StreamOptions& o) { o.lifecycle = {100ms, 0.5, 300ms}; });
  constexpr std::int64_t kSize = 8 << 20;
  const auto seeder = MakeSeeder("spells.mp4", {{"spells.mp4", kSize}}, {.uploadLimit = 1 << 20});
  const std::string hash = seeder->InfoHashHex();
  const std::string source = ReadAll(seeder->SourcePath("spells.mp4"));
  const std::string path = PathOf(Resolve(seeder->MagnetLink()));
  ASSERT_TRUE(path.starts_with("/stream/")) << path;

  std::atomic<bool> done{false};
  std::string states;  // as the status told them, each change once
  std::thread poller([&] {  // the player page's status requests, all along
    const std::string key = "\"state\":\"";
    while (!done) {
      const std::string body = RawGet(Port(), "/status/" + hash).body;
      const auto at = body.find(key);
      const std::string state =
          at == std::string::npos ? "?" : body.substr(at + key.size(), body.find('"', at + key.size()) - at - key.size());
      if (!states.ends_with(state)) states += " " + state;
      std::this_thread::sleep_for(20ms);
    }
  });
  constexpr int kRounds = 3, kReaders = 3;
  constexpr std::int64_t kRead = 100000;
  std::vector<char> exact(kRounds * kReaders, 0);  // not bits: each reader writes its own
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r)
      readers.emplace_back([&, i = round * kReaders + r] {
        const std::int64_t begin = kSize / (kRounds * kReaders) * i;
        const RawAnswer answer = RawGet(Port(), path, "Range: bytes=" + std::to_string(begin) + "-" +
                                                          std::to_string(begin + kRead - 1) + "\r\n");
        exact[static_cast<std::size_t>(i)] =
            answer.body == source.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(kRead));
      });
    for (auto& reader : readers) reader.join();
    // Two alert-thread rounds of half a second, and then some.
    std::this_thread::sleep_for(1500ms);
  }
  done = true;
  poller.join();
  for (std::size_t i = 0; i < exact.size(); ++i) EXPECT_TRUE(exact[i]) << "read " << i;
  EXPECT_NE(states.find("stopped watching"), std::string::npos) << "no read came after a stop:" << states;
}

}  // namespace
}  // namespace morvane::testing
