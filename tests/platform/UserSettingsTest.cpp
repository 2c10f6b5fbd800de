// The user's settings file over the build's settings: what it sets, and what it cannot.

#include <gtest/gtest.h>

#include "platform/Settings.h"
#include "tests/support/ScratchFolder.h"

namespace morvane::testing {
namespace {

TEST(UserSettings, TheFileReplacesTheBuildsResolutionHost) {
  ScratchFolder dir;
  struct Case {
    const char* what;
    std::string text;
    std::string resolutionHost;
    std::size_t notTaken;
  } cases[] = {
      {"a keyed home server", "# mine\nresolution-host = 192.168.1.20:47083/0123456789abcdef\n",
       "192.168.1.20:47083/0123456789abcdef", 0},
      {"a name and a port", "resolution-host=media.home:8080", "media.home:8080", 0},
      {"IPv6", "resolution-host = [fd00::5]:47083", "[fd00::5]:47083", 0},
      {"a scheme is not a host", "resolution-host = http://192.168.1.20:47083", "build", 1},
      {"blanks inside", "resolution-host = 192.168.1.20 47083", "build", 1},
      {"nothing", "resolution-host =", "build", 1},
      {"a query", "resolution-host = h:1/k?x=1", "build", 1},
      {"an unknown key and a bad line", "resolution-hots = h\nnot a setting\n", "build", 2},
  };
  for (const Case& c : cases) {
    Settings settings;
    settings.resolutionHost = "build";
    const auto notTaken = ApplyUserSettings(settings, dir.Write("morvane.conf", c.text));
    EXPECT_EQ(settings.resolutionHost, c.resolutionHost) << c.what;
    EXPECT_EQ(notTaken.size(), c.notTaken) << c.what;
  }
  // The player a film is handed to: mpv unless the file names another.
  const std::pair<const char*, const char*> players[] = {
      {"", "mpv"},
      {"external-player = vlc --fullscreen", "vlc --fullscreen"},
      {"external-player = /opt/p/play --title {title} {url}", "/opt/p/play --title {title} {url}"},
      {"external-player =", "mpv"},
      {"external-player = mpv\x01", "mpv"},
  };
  for (const auto& [text, player] : players) {
    Settings settings;
    ApplyUserSettings(settings, dir.Write("player.conf", text));
    EXPECT_EQ(settings.externalPlayer, player) << text;
  }

  Settings untouched;
  untouched.resolutionHost = "build";
  EXPECT_TRUE(ApplyUserSettings(untouched, dir.Path("missing.conf")).empty());
  EXPECT_TRUE(ApplyUserSettings(untouched, "").empty());
  EXPECT_EQ(untouched.resolutionHost, "build");
}

}  // namespace
}  // namespace morvane::testing
