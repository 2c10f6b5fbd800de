#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "platform/UserConfig.h"
#include "tests/support/ScratchFolder.h"

namespace morvane::testing {
namespace {

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    if (value != nullptr) ::setenv(name, value, 1); else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1); else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(UserConfig, FolderFollowsTheBaseDirectoryRules) {
  struct Case {
    const char* xdg;
    const char* home;
    std::string expected;
  };
  const Case cases[] = {
      {"/x/config", "/home/u", "/x/config/morvane"},
      {"relative/config", "/home/u", "/home/u/.config/morvane"},  // ignored: not absolute
      {"", "/home/u", "/home/u/.config/morvane"},
      {nullptr, "/home/u", "/home/u/.config/morvane"},
      {nullptr, nullptr, ""},
  };
  for (const auto& c : cases) {
    ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(UserConfigDir(), c.expected) << (c.xdg ? c.xdg : "(unset)");
  }
}

TEST(UserConfig, KeyValueLines) {
  const auto file = ParseKeyValueText(
      "# a comment\r\n"
      "  resolution-host = 192.168.1.20:47083/KEY  \r\n"
      "\n"
      "no equals sign\n"
      " = no key\n"
      "empty =\n"
      "url = http://a/?x=1&y=2\n"
      "resolution-host=later wins");
  EXPECT_EQ(file.values.at("resolution-host"), "later wins");
  EXPECT_EQ(file.values.at("empty"), "");
  EXPECT_EQ(file.values.at("url"), "http://a/?x=1&y=2");  // only the first '=' splits
  EXPECT_EQ(file.values.size(), 3u);
  EXPECT_EQ(file.badLines, (std::vector<int>{4, 5}));
  // A repeated key keeps the place of its first line.
  EXPECT_EQ(file.keys, (std::vector<std::string>{"resolution-host", "empty", "url"}));
}

TEST(UserConfig, MissingOrOversizedFileGivesNothing) {
  ScratchFolder dir;
  EXPECT_EQ(ReadKeyValueFile(dir.Path("missing.conf")), std::nullopt);
  EXPECT_EQ(ReadKeyValueFile(""), std::nullopt);
  const std::string path = dir.Write("big.conf", "a = " + std::string(100, 'b') + "\n");
  EXPECT_EQ(ReadKeyValueFile(path, 50), std::nullopt);
  ASSERT_TRUE(ReadKeyValueFile(path).has_value());
  EXPECT_EQ(ReadKeyValueFile(path)->values.at("a").size(), 100u);
}

}  // namespace
}  // namespace morvane::testing
