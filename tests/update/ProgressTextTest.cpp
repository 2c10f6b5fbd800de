#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/support/RecordingControls.h"
#include "update/UpdateDownload.h"
#include "web/Text.h"

namespace morvane {
namespace {

struct ProgressCase {
  std::int64_t total, received, elapsed, fresh;
  int bar;  // -1: the bar is not moved
  const char* percent;
  const char* size;
  const char* speed;
};

TEST(ShowDownloadProgress, FillsBarAndLabels) {
  const ProgressCase cases[] = {
      {1048576, 524288, 1000, 524288, 5000, "已完成：50%", "1MB", "512KB/秒"},
      {2621440, 2621440, 10, 2621440, 10000, "已完成：100%", "2.5MB", "256000KB/秒"},
      {3145728, 10240, 3, 10240, 32, "已完成：0%", "3MB", "3333.33KB/秒"},
      // 12.5 % rounds away from zero; the bar truncates.
      {8, 1, 1000, 1, 1250, "已完成：13%", "0MB", "0KB/秒"},
      {1000, 1, 7, 10240, 10, "已完成：0%", "0MB", "1428.57KB/秒"},
      // Over 2 GiB the figures stay whole.
      {3221225472LL, 2147483648LL, 1000000, 2147483648LL, 6666, "已完成：67%", "3072MB",
       "2097.15KB/秒"},
      // No announced length: the bar stays, the percentage label tells what has arrived.
      {0, 524288, 1000, 524288, -1, "已完成：0.5MB", "", "512KB/秒"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.total) + "/" + std::to_string(c.received));
    testing::RecordingControls ui;
    Program program(ui, Settings{});
    // The window's initial state.
    ui.SetProgress("进度条1", -1);
    ui.SetText("标签_已完成百分比", Gbk("已完成：0%"));
    ui.SetText("标签_总大小", "0.00MB");
    ui.SetText("标签_下载速度", Gbk("0 KB/秒"));
    ShowDownloadProgress(program, c.total, c.received, c.elapsed, c.fresh);
    EXPECT_EQ(ui.Progress("进度条1"), c.bar);
    EXPECT_EQ(LocalToUtf8(ui.Text("标签_已完成百分比")), c.percent);
    EXPECT_EQ(LocalToUtf8(ui.Text("标签_总大小")), c.size);
    EXPECT_EQ(LocalToUtf8(ui.Text("标签_下载速度")), c.speed);
  }
}

// Reads that change nothing visible post nothing, so they do not wake the window.
TEST(ShowDownloadProgress, PostsOnlyWhatChanged) {
  testing::RecordingControls ui;
  Program program(ui, Settings{});
  auto posts = [&] { return ui.Calls().size(); };
  ShowDownloadProgress(program, 100 << 20, 10240, 1000, 10240);
  EXPECT_EQ(posts(), 4u);
  ShowDownloadProgress(program, 100 << 20, 10240, 1000, 10240);
  EXPECT_EQ(posts(), 4u);
  // Speed and bar move; percentage and size stay.
  ShowDownloadProgress(program, 100 << 20, 204800, 2000, 204800);
  const auto calls = ui.Calls();
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[4], "SetText 标签_下载速度 " + Gbk("100KB/秒"));
  EXPECT_EQ(calls[5], "SetProgress 进度条1 19");
}

TEST(ShowDownloadProgress, NumbersInShortestForm) {
  const struct {
    double value;
    int decimals;
    const char* text;
  } cases[] = {
      {2.50, 2, "2.5"},      {3.00, 2, "3"},
      {0.0, 2, "0"},         {0.125, 2, "0.13"},
      {-2.5, 0, "-3"},       {1234567.891, 2, "1234567.89"},
      {0.1 + 0.2, 2, "0.3"}, {123456789012.31, 2, "123456789012.3"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(NumberText(RoundHalfAway(c.value, c.decimals)), c.text) << c.value;
}

}  // namespace
}  // namespace morvane
