// Numbers for JSON, headers and files, written and read the same under any locale.

#include "platform/NumberText.h"

#include <gtest/gtest.h>

#include "tests/support/ScopedLocale.h"

namespace morvane {
namespace {

TEST(NumberTextTest, WrittenAndReadWithADotUnderALocaleOfCommas) {
  const testing::ScopedLocale german(testing::kCommaLocale);
  ASSERT_TRUE(german.set()) << "no " << testing::kCommaLocale << " locale: scripts/setup.sh makes it";
  EXPECT_EQ(FixedText(30, 3), "30.000");
  EXPECT_EQ(FixedText(-0.25, 1), "-0.2");  // half to even, as printf rounds it
  EXPECT_EQ(FixedText(1420.2504, 3), "1420.250");
  EXPECT_EQ(SignificantText(1.5, 13), "1.5");
  EXPECT_EQ(SignificantText(702.4, 13), "702.4");
  EXPECT_EQ(SignificantText(1e20, 13), "1e+20");

  const std::pair<std::string, std::optional<double>> read[] = {
      {"12.5", 12.5}, {"-3", -3.0}, {"1e3", 1000.0}, {"0", 0.0},      {"12,5", std::nullopt},
      {"", std::nullopt}, {" 1", std::nullopt}, {"+1", std::nullopt}, {"1.5x", std::nullopt},
      {"nan", std::nullopt}, {"inf", std::nullopt}, {"1e999", std::nullopt}, {"0x10", std::nullopt},
  };
  for (const auto& [text, value] : read) EXPECT_EQ(ParseNumber(text), value) << text;
}

}  // namespace
}  // namespace morvane
