// The command lines that hand a film to mpv, VLC or a player of the user's own.

#include <gtest/gtest.h>

#include "cast/PlayerCommand.h"
#include "tests/support/ScopedLocale.h"

namespace morvane::cast {
namespace {

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : "|") + word;
  return text;
}

TEST(PlayerCommand, SplitsSettingsLikeAShell) {
  const std::pair<const char*, const char*> cases[] = {
      {"mpv", "mpv"},
      {"  mpv   --fs ", "mpv|--fs"},
      {"\"/opt/My Player/play\" --x", "/opt/My Player/play|--x"},
      {"play 'a b' c\\ d", "play|a b|c d"},
      {"play \"\"", "play|"},
      {"", ""},
  };
  for (const auto& [setting, words] : cases) EXPECT_EQ(Joined(SplitCommandLine(setting)), words) << setting;
}

TEST(PlayerCommand, BuildsEachPlayersLine) {
  Handoff one{{{"http://h/K/stream/x/a.mkv", "Film - 电影", ""}}, 0, "http://h/K/subs/x/0.srt", 61.5, "/run/s"};
  Handoff pack{{{"http://h/e1", "E1", ""}, {"http://h/e2", "E2", ""}, {"http://h/e3", "E3", ""}}, 1, "", 0, ""};
  struct Case {
    const char* setting;
    const Handoff* handoff;
    PlayerKind kind;
    const char* line;
  };
  const Case cases[] = {
      {"", &one, PlayerKind::kMpv,
       "mpv|--input-ipc-server=/run/s|--{|--force-media-title=Film - 电影|--start=61.500|"
       "--sub-file=http://h/K/subs/x/0.srt|http://h/K/stream/x/a.mkv|--}"},
      {"/usr/bin/mpv --fs", &pack, PlayerKind::kMpv,
       "/usr/bin/mpv|--fs|--playlist-start=1|--{|--force-media-title=E1|http://h/e1|--}|"
       "--{|--force-media-title=E2|http://h/e2|--}|--{|--force-media-title=E3|http://h/e3|--}"},
      {"vlc", &one, PlayerKind::kVlc,
       "vlc|http://h/K/stream/x/a.mkv|:meta-title=Film - 电影|:start-time=61.500|"
       ":input-slave=http://h/K/subs/x/0.srt"},
      {"cvlc", &pack, PlayerKind::kVlc, "cvlc|http://h/e2|:meta-title=E2|http://h/e3|:meta-title=E3"},
      {"myplayer --title={title} {url} --sub {subtitle}", &one, PlayerKind::kOther,
       "myplayer|--title=Film - 电影|http://h/K/stream/x/a.mkv|--sub|http://h/K/subs/x/0.srt"},
      {"myplayer --sub {subtitle} --from {start}", &pack, PlayerKind::kOther,
       "myplayer|--sub|--from|http://h/e2"},
      {"mpv --title={title} {url}", &pack, PlayerKind::kMpv, "mpv|--title=E2|http://h/e2"},
  };
  // Under the user's locale too, which the window sets: "61.500", never "61,500".
  for (const char* locale : {"C", testing::kCommaLocale}) {
    const testing::ScopedLocale scoped(locale);
    ASSERT_TRUE(scoped.set()) << locale << " is missing (scripts/setup.sh makes it)";
    for (const Case& c : cases) {
      const PlayerCommand command = BuildPlayerCommand(c.setting, *c.handoff);
      EXPECT_EQ(command.kind, c.kind) << c.setting;
      EXPECT_EQ(Joined(command.argv), c.line) << c.setting << " in " << locale;
    }
  }
  EXPECT_TRUE(BuildPlayerCommand("mpv", Handoff{}).argv.empty());
}

}  // namespace
}  // namespace morvane::cast
