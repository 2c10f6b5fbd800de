#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <thread>

#include "app/HistoryFile.h"
#include "app/Playback.h"
#include "platform/ControlNames.h"
#include "platform/Worker.h"
#include "tests/app/AppTestSession.h"
#include "tests/support/ScratchFolder.h"

namespace morvane::testing {
namespace {

// The service answers each link with a media address of its own.
std::string AnswerFor(const std::string& target) {
  return "<file>media-" + target.substr(target.find("url=") + 4) + "</file>";
}

// History rows whose link has been written (a row is inserted first, then filled).
std::size_t FilledRows(AppSession& s) {
  std::size_t filled = 0;
  for (const auto& row : s.ui.Rows(kHistory)) filled += !row.empty();
  return filled;
}

TEST(PlaybackConcurrency, OverlappingPlaybacksEachEndOnThePlayerAndInTheHistory) {
  ResolutionService service(AnswerFor);
  auto& s = NewSession(ServiceSettings(service.host()));
  s.program.texts.Set(ProgramText::PlayerPagePrefix, "P:");
  constexpr int kPlays = 6;
  for (int i = 0; i < kPlays; ++i) {
    s.ui.SetText(kLinkBox, "link" + std::to_string(i));
    StartPlayback(s.program);
  }
  ASSERT_TRUE(s.ui.WaitUntil([&] { return FilledRows(s) == std::size_t{kPlays}; }));

  // Every start showed the notice page, every resolution reached the player.
  EXPECT_EQ(service.Targets().size(), std::size_t{kPlays});
  const auto navigations = s.ui.Navigations(kPlayer);
  ASSERT_EQ(navigations.size(), std::size_t{2 * kPlays});
  int notices = 0;
  for (const auto& n : navigations) notices += n.find("ada.html") != std::string::npos;
  EXPECT_EQ(notices, kPlays);
  // The player and the texts hold one whole result, never a mixture.
  const std::string playing = s.program.texts.Get(ProgramText::PlayingAddress);
  EXPECT_EQ(playing.rfind("media-link", 0), 0u) << playing;
  for (const auto& row : s.ui.Rows(kHistory)) {
    ASSERT_EQ(row.size(), 1u);
    EXPECT_EQ(row[0].rfind("link", 0), 0u) << row[0];
  }
}

TEST(PlaybackConcurrency, SimultaneousHistoryWritersNeverShareARow) {
  auto& s = NewSession();
  s.ui.SetText(kLinkBox, "x");
  constexpr int kWriters = 8, kEach = 600;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) RecordHistory(s.program);
    });
  for (auto& t : writers) t.join();
  const auto rows = s.ui.Rows(kHistory);
  ASSERT_EQ(rows.size(), std::size_t{kWriters * kEach});
  const auto filled = std::count(rows.begin(), rows.end(), Row{"x"});
  EXPECT_EQ(filled, kWriters * kEach) << "rows written by two writers at once";
}

TEST(PlaybackConcurrency, HistoryLoadWhilePlayingKeepsPlayedLinksOnTop) {
  ScratchFolder dir;
  std::string file;
  std::vector<Row> loaded;
  for (int i = 0; i < 300; ++i) {
    file += "saved" + std::to_string(i) + "\r\n";
    loaded.push_back(Row{"saved" + std::to_string(i)});
  }
  std::ofstream(HistoryFilePath(dir.path()), std::ios::binary) << file;

  ResolutionService service(AnswerFor);
  auto& s = NewSession(ServiceSettings(service.host()));
  const std::string directory = dir.path();
  StartWorker([&s, directory] { LoadHistoryFrom(s.program, directory); });
  constexpr int kPlays = 4;
  for (int i = 0; i < kPlays; ++i) {
    s.ui.SetText(kLinkBox, "played");
    StartPlayback(s.program);
  }
  ASSERT_TRUE(s.ui.WaitUntil([&] { return FilledRows(s) == std::size_t{300 + kPlays}; }));

  const auto rows = s.ui.Rows(kHistory);
  // The loaded rows stay together and in file order; played links sit above them, because a
  // play that ends after the load inserts at the top and the load appends at the end.
  const std::vector<Row> tail(rows.end() - 300, rows.end());
  EXPECT_EQ(tail, loaded);
  for (int i = 0; i < kPlays; ++i) EXPECT_EQ(rows[i], Row{"played"});
}

}  // namespace
}  // namespace morvane::testing
