#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/Files.h"
#include "tests/support/ScratchFolder.h"

namespace morvane::testing {
namespace {

TEST(Files, ReadGivesEveryByteOrNothing) {
  ScratchFolder dir;
  const std::string binary("a\0\r\n\xFF", 5);
  ASSERT_TRUE(WriteWholeFile(dir.path() + "/f", binary));
  EXPECT_EQ(ReadWholeFile(dir.path() + "/f"), binary);
  EXPECT_EQ(ReadWholeFile(dir.path() + "/missing"), std::nullopt);
  EXPECT_EQ(ReadWholeFile(dir.path()), std::nullopt);
}

TEST(Files, ReplacingKeepsThePermissionsOfTheOldFile) {
  ScratchFolder dir;
  const std::string path = dir.path() + "/f";
  ASSERT_TRUE(WriteWholeFile(path, "one"));
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(WriteWholeFile(path, "two, longer"));
  EXPECT_EQ(ReadWholeFile(path), "two, longer");
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms(0640));
}

}  // namespace
}  // namespace morvane::testing
