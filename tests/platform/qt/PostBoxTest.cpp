// The mailbox behind PostText/PostProgress, without a display.

#include "platform/qt/PostBox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>


namespace morvane {
namespace {

TEST(PostBoxTest, OnlyTheFirstWriteAfterATakeAsksForAFlush) {
  PostBox box;
  EXPECT_TRUE(box.PutText("标签_总大小", "1MB"));
  EXPECT_FALSE(box.PutText("标签_总大小", "2MB"));
  EXPECT_FALSE(box.PutProgress("进度条1", 10));
  PostBox::Batch batch = box.Take();
  ASSERT_EQ(batch.texts.size(), 1u);
  EXPECT_EQ(batch.texts[0].second, "2MB");  // the latest value wins
  ASSERT_EQ(batch.progress.size(), 1u);
  EXPECT_EQ(batch.progress[0].second, 10);
  EXPECT_TRUE(box.PutProgress("进度条1", 11));
}

TEST(PostBoxTest, ADirectWriteDropsWhatWasWaitingForTheSameControl) {
  PostBox box;
  box.PutText("标签_已完成百分比", "已完成：100%");
  box.PutText("标签_下载速度", "3KB/秒");
  box.PutProgress("进度条1", 10000);
  box.Forget("标签_已完成百分比");
  box.Forget("进度条1");
  PostBox::Batch batch = box.Take();
  ASSERT_EQ(batch.texts.size(), 1u);
  EXPECT_EQ(batch.texts[0].first, "标签_下载速度");
  EXPECT_TRUE(batch.progress.empty());
}

// Many writers and one taker: every flush request is answered by exactly one take, no value
// is lost for good (the last of each writer arrives), and nothing races.
TEST(PostBoxTest, WritersAndATakerTogether) {
  PostBox box;
  constexpr int kWriters = 6;
  constexpr int kWrites = 2000;
  std::atomic<int> flushRequests{0};
  std::atomic<int> writersDone{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      const std::string name = "control" + std::to_string(w);
      for (int i = 1; i <= kWrites; ++i) {
        if (box.PutProgress(name, i)) ++flushRequests;
      }
      ++writersDone;
    });
  }
  std::vector<int> last(kWriters, 0);
  int takes = 0;
  auto drain = [&] {
    PostBox::Batch batch = box.Take();
    ++takes;
    for (const auto& [name, value] : batch.progress) {
      const int w = std::stoi(name.substr(7));
      EXPECT_GT(value, last[w]) << "an older value came after a newer one";
      last[w] = value;
    }
  };
  while (writersDone < kWriters) drain();
  for (auto& t : writers) t.join();
  drain();
  for (int w = 0; w < kWriters; ++w) EXPECT_EQ(last[w], kWrites);
  EXPECT_LE(flushRequests.load(), takes);
}

}  // namespace
}  // namespace morvane
