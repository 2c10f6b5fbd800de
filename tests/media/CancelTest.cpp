// A conversion cancelled from another thread ends promptly, whether it is reading a slowly
// arriving file or encoding.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "media/Converter.h"
#include "media/Libav.h"
#include "tests/media/MediaSamples.h"

namespace morvane::media {
namespace {

using namespace std::chrono_literals;

// Generous: the machine is shared; a cancel that works ends in milliseconds.
constexpr auto kPromptly = 10s;

class FirstBytes {
 public:
  void Arrived() {
    std::lock_guard lock(mutex_);
    arrived_ = true;
    changed_.notify_all();
  }
  bool Wait(std::chrono::seconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return arrived_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool arrived_ = false;
};

TEST(ConverterCancelTest, EndsPromptlyMidStream) {
  QuietLibavLog();
  testing::MediaSamples samples;
  for (const char* sample : {"hevc_aac.mp4", "h264_ac3.mkv"}) {
    ByteSource source = FileByteSource(samples.Path(sample));
    // A file arriving slowly, as from a thin swarm: each read waits a little.
    source.readAt = [inner = source.readAt](std::uint64_t offset, char* buffer, std::size_t length) {
      std::this_thread::sleep_for(20ms);
      return inner(offset, buffer, std::min<std::size_t>(length, 4096));
    };
    Converter converter(source, {});
    FirstBytes firstBytes;
    std::atomic<bool> finished{false};
    ConvertResult result;
    std::thread running([&] {
      result = converter.Run([&](const char*, std::size_t) {
        firstBytes.Arrived();
        return true;
      });
      finished = true;
    });
    ASSERT_TRUE(firstBytes.Wait(120s)) << sample;
    EXPECT_FALSE(finished.load()) << sample << ": the slow source should still be streaming";
    const auto cancelledAt = std::chrono::steady_clock::now();
    converter.Cancel();
    running.join();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, kPromptly) << sample;
    EXPECT_FALSE(result.ok) << sample;
    EXPECT_TRUE(result.cancelled) << sample;
    EXPECT_EQ(result.error, "cancelled") << sample;
  }
}

TEST(ConverterCancelTest, CancelledBeforeRunWritesNothing) {
  QuietLibavLog();
  testing::MediaSamples samples;
  Converter converter(FileByteSource(samples.Path("h264_ac3.mkv")), {});
  converter.Cancel();
  std::size_t written = 0;
  const ConvertResult result = converter.Run([&](const char*, std::size_t size) {
    written += size;
    return true;
  });
  EXPECT_TRUE(result.cancelled);
  EXPECT_EQ(written, 0u);
}

}  // namespace
}  // namespace morvane::media
