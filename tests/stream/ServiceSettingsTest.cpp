#include "stream/ServiceSettings.h"

#include <gtest/gtest.h>

#include <functional>

namespace morvane::stream {
namespace {

using namespace std::chrono_literals;

TEST(ServiceSettingsTest, TakesRatesTimesAndRatiosByName) {
  using Check = std::function<bool(const StreamOptions&)>;
  struct Case {
    const char* name;
    const char* value;
    SettingOutcome outcome;
    Check holds;  // on the options afterwards, when taken
  } cases[] = {
      {"max-download", "4M", SettingOutcome::kTaken, [](auto& o) { return o.maxDownloadRate == 4 << 20; }},
      {"max-download", "500K", SettingOutcome::kTaken, [](auto& o) { return o.maxDownloadRate == 500 << 10; }},
      {"max-download", "123456", SettingOutcome::kTaken, [](auto& o) { return o.maxDownloadRate == 123456; }},
      {"max-download", "0", SettingOutcome::kTaken, [](auto& o) { return o.maxDownloadRate == 0; }},
      {"max-upload", "2M", SettingOutcome::kTaken, [](auto& o) { return o.maxUploadRate == 2 << 20; }},
      {"max-download", "2G", SettingOutcome::kBadValue, {}},  // past what libtorrent holds
      {"max-download", "4MB", SettingOutcome::kBadValue, {}},
      {"max-download", "-1", SettingOutcome::kBadValue, {}},
      {"max-download", "1.5M", SettingOutcome::kBadValue, {}},
      {"max-download", "", SettingOutcome::kBadValue, {}},
      {"idle-after", "10", SettingOutcome::kTaken, [](auto& o) { return o.lifecycle.idleAfter == 10s; }},
      {"idle-after", "2m", SettingOutcome::kTaken, [](auto& o) { return o.lifecycle.idleAfter == 2min; }},
      {"idle-after", "750ms", SettingOutcome::kTaken, [](auto& o) { return o.lifecycle.idleAfter == 750ms; }},
      {"seed-time", "2h", SettingOutcome::kTaken, [](auto& o) { return o.lifecycle.seedTime == 2h; }},
      {"seed-time", "0", SettingOutcome::kTaken, [](auto& o) { return o.lifecycle.seedTime == 0ms; }},
      {"seed-time", "10x", SettingOutcome::kBadValue, {}},
      {"seed-time", "1.5h", SettingOutcome::kBadValue, {}},
      {"seed-time", "99999999999h", SettingOutcome::kBadValue, {}},  // would overflow
      {"seed-ratio", "1.5", SettingOutcome::kTaken, [](auto& o) { return o.lifecycle.seedRatio == 1.5; }},
      {"seed-ratio", "0", SettingOutcome::kTaken, [](auto& o) { return o.lifecycle.seedRatio == 0; }},
      {"seed-ratio", "-1", SettingOutcome::kBadValue, {}},
      {"seed-ratio", "nan", SettingOutcome::kBadValue, {}},
      {"seed-ratio", "inf", SettingOutcome::kBadValue, {}},
      {"seed-ratio", "1,5", SettingOutcome::kBadValue, {}},
      {"resolution-host", "127.0.0.1:47083", SettingOutcome::kUnknown, {}},
      {"max_download", "4M", SettingOutcome::kUnknown, {}},
  };
  for (const Case& c : cases) {
    StreamOptions options;
    const StreamOptions before = options;
    EXPECT_EQ(ApplyServiceSetting(options, c.name, c.value), c.outcome) << c.name << " " << c.value;
    EXPECT_EQ(IsServiceSetting(c.name), c.outcome != SettingOutcome::kUnknown) << c.name;
    if (c.outcome == SettingOutcome::kTaken) {
      EXPECT_TRUE(c.holds(options)) << c.name << " " << c.value;
    } else {
      EXPECT_EQ(options.maxDownloadRate, before.maxDownloadRate) << c.name << " " << c.value;
      EXPECT_EQ(options.lifecycle.seedTime, before.lifecycle.seedTime) << c.name << " " << c.value;
      EXPECT_EQ(options.lifecycle.seedRatio, before.lifecycle.seedRatio) << c.name << " " << c.value;
    }
  }
}

}  // namespace
}  // namespace morvane::stream
