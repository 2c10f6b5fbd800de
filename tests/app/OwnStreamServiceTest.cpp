// When the program starts its own streaming service: only for a loopback resolution host on
// which nothing answers yet.

#include "app/OwnStreamService.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <future>

#include "platform/Files.h"
#include "platform/Settings.h"
#include "stream/AccessKey.h"
#include "stream/ServiceSettings.h"
#include "tests/support/ScratchFolder.h"
#include "tests/support/LocalServer.h"
#include "web/FetchPage.h"

namespace morvane {
namespace {

using namespace std::chrono_literals;

// No DHT or local discovery; the cache in a folder of the test's own.
OwnServiceOptions Offline() {
  static const testing::ScratchFolder cache;
  return OwnServiceOptions{{}, cache.path(), false};
}

TEST(OwnStreamServiceTest, SplitsTheResolutionHostSetting) {
  struct Case {
    const char* setting;
    std::optional<HostPort> split;
  };
  const Case cases[] = {
      {"127.0.0.1:47083", HostPort{"127.0.0.1", 47083}},
      {"localhost", HostPort{"localhost", 80}},
      {"media.example.org:8080", HostPort{"media.example.org", 8080}},
      {"[::1]:9000", HostPort{"::1", 9000}},
      {"[::1]", HostPort{"::1", 80}},
      {"", std::nullopt},
      {":80", std::nullopt},
      {"host:", std::nullopt},
      {"host:0", std::nullopt},
      {"host:65536", std::nullopt},
      {"host:80x", std::nullopt},
      {"::1:80", std::nullopt},
      {"[::1", std::nullopt},
      {"[::1]x80", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    EXPECT_EQ(SplitHostPort(c.setting), c.split);
  }
}

TEST(OwnStreamServiceTest, TheSettingMayCarryAKeyedServicesKey) {
  const std::pair<const char*, ServiceAddress> cases[] = {
      {"192.168.1.20:47083/0123456789abcdef", {"192.168.1.20:47083", "0123456789abcdef"}},
      {"192.168.1.20:47083/0123456789abcdef/", {"192.168.1.20:47083", "0123456789abcdef"}},
      {"127.0.0.1:47083", {"127.0.0.1:47083", ""}},
      {"[::1]:9000/key-of-sixteen-chars", {"[::1]:9000", "key-of-sixteen-chars"}},
      {"media.example.org/", {"media.example.org", ""}},
  };
  for (const auto& [setting, split] : cases) EXPECT_EQ(SplitServiceAddress(setting), split) << setting;
}

TEST(OwnStreamServiceTest, KnowsLoopbackHosts) {
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1", true},    {"127.8.9.10", true},
      {"localhost", true},    {"::1", true},
      {"128.0.0.1", false},   {"10.0.0.1", false},
      {"example.org", false}, {"127.0.0.1.example.org", false},
      {"0.0.0.0", false},
  };
  for (const auto& [host, loopback] : cases) EXPECT_EQ(IsLoopbackHost(host), loopback) << host;
}

TEST(OwnStreamServiceTest, TheUsersSettingsFileCarriesEveryServiceSetting) {
  // The file is read a floor below the service, which knows the names on its own.
  const testing::ScratchFolder folder;
  std::string text = "resolution-host = 127.0.0.1:47083\n";
  for (const std::string_view name : stream::ServiceSettingNames()) text += std::string(name) + " = 7\n";
  Settings settings;
  EXPECT_TRUE(ApplyUserSettings(settings, folder.Write("morvane.conf", text)).empty());
  EXPECT_EQ(settings.streamServiceSettings.size(), stream::ServiceSettingNames().size());
  for (const std::string_view name : stream::ServiceSettingNames())
    EXPECT_EQ(settings.streamServiceSettings[std::string(name)], "7") << name;
}

TEST(OwnStreamServiceTest, UsesWhatAnswersAndLeavesOtherMachinesAlone) {
  testing::LocalServer running;
  running.Start();
  EXPECT_TRUE(SomethingAnswers({"127.0.0.1", running.port()}, 2s));
  EXPECT_EQ(StartOwnResolutionService(running.host(), Offline()),
            OwnServiceStart::AlreadyAnswering);
  EXPECT_EQ(StartOwnResolutionService("localhost:" + std::to_string(running.port()), Offline()),
            OwnServiceStart::AlreadyAnswering);
  EXPECT_EQ(StartOwnResolutionService("media.example.org:47083", Offline()),
            OwnServiceStart::NotLoopback);
  EXPECT_EQ(StartOwnResolutionService("127.0.0.1:notaport", Offline()),
            OwnServiceStart::NotLoopback);
}

// The program's own service is keyed on loopback too: a web page reaches loopback.
TEST(OwnStreamServiceTest, ALoopbackHostGetsTheUsersKeyAnotherHostStaysAsItIs) {
  const testing::ScratchFolder folder;
  const std::string keyFile = folder.path() + "/config/morvane/stream-token";
  const std::string own = "0123456789abcdef0123456789abcdef";
  std::vector<std::string> said;
  const std::string made = WithOwnServiceKey("127.0.0.1:47083", keyFile, said);
  const auto key = ReadWholeFile(keyFile);
  ASSERT_TRUE(key);
  EXPECT_EQ(made, "127.0.0.1:47083/" + key->substr(0, key->find('\n'))) << "the key file made";
  const std::pair<std::string, std::string> kept[] = {
      {"localhost:9000", "localhost:9000/" + key->substr(0, key->find('\n'))},
      {"127.0.0.1:47083/" + own, "127.0.0.1:47083/" + own},
      {"192.168.1.20:47083", "192.168.1.20:47083"},
      {"media.example.org", "media.example.org"},
  };
  for (const auto& [host, used] : kept) EXPECT_EQ(WithOwnServiceKey(host, keyFile, said), used) << host;
  EXPECT_TRUE(said.empty());

  // A key file that cannot be used is said, and the service takes a key of this run alone.
  const std::string link = folder.path() + "/link";
  ASSERT_EQ(::symlink(keyFile.c_str(), link.c_str()), 0);
  const std::string alone = WithOwnServiceKey("127.0.0.1:47083", link, said);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("symbolic link"), std::string::npos) << said[0];
  EXPECT_TRUE(alone.starts_with("127.0.0.1:47083/"));
  EXPECT_NE(alone, made);
  EXPECT_TRUE(stream::IsUsableKey(SplitServiceAddress(alone).key));
}

TEST(OwnStreamServiceTest, StartsItsOwnServiceOnAFreeLoopbackPort) {
  const std::string closed = testing::ClosedHost();
  const HostPort address{"127.0.0.1", std::stoi(closed.substr(closed.rfind(':') + 1))};
  ASSERT_FALSE(SomethingAnswers(address, 2s));
  const OwnServiceStart outcome = StartOwnResolutionService(closed, Offline());
  ASSERT_EQ(outcome, OwnServiceStart::Started);
  EXPECT_TRUE(SomethingAnswers(address, 2s));
  // What answers there is the resolution service: a link it cannot play gets "resp".
  EXPECT_NE(FetchPageBytes("http://" + closed + "/xml.php?url=ed2k://|file|a.avi|1|0|/")
                .find("resp"),
            std::string::npos);
  // A second start finds it answering.
  EXPECT_EQ(StartOwnResolutionService(closed, Offline()), OwnServiceStart::AlreadyAnswering);
}

TEST(OwnStreamServiceTest, AKeyInTheSettingIsTheOwnServicesKeyToo) {
  const std::string host = testing::ClosedHost();
  const std::string key = "0123456789abcdef0123456789abcdef";
  EXPECT_EQ(StartOwnResolutionService(host + "/short", Offline()), OwnServiceStart::Failed);
  ASSERT_EQ(StartOwnResolutionService(host + "/" + key, Offline()), OwnServiceStart::Started);
  // The program's request as it stands: the addresses answered carry the key as well.
  EXPECT_NE(FetchPageBytes("http://" + host + "/" + key + "/xml.php?url=ftp://h.example/v.mkv")
                .find("<file>http://" + host + "/" + key + "/relay/1/v.mkv</file>"),
            std::string::npos);
}

TEST(OwnStreamServiceTest, TakesTheAddressOnceWhatAnsweredThereIsGone) {
  // Another Morvane's service, or the one of the program an update replaces.
  testing::LocalServer other;
  other.Start();
  const std::string host = other.host();
  auto outcome = std::async(std::launch::async, [host] {
    return StartOwnResolutionServiceOnceFree(host, Offline(), 20ms);
  });
  EXPECT_EQ(outcome.wait_for(300ms), std::future_status::timeout) << "started beside it";
  other.Stop();
  ASSERT_EQ(outcome.wait_for(20s), std::future_status::ready);
  const OwnServiceStart started = outcome.get();
  ASSERT_EQ(started, OwnServiceStart::Started);
  EXPECT_NE(FetchPageBytes("http://" + host + "/xml.php?url=ed2k://|file|a.avi|1|0|/").find("resp"),
            std::string::npos);
}

}  // namespace
}  // namespace morvane
