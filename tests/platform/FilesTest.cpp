#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

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

// Nothing but a regular file is read, and never more than the limit: a FIFO would hold the
// reader until some writer came, and a device such as /dev/zero never ends.
TEST(Files, ReadTakesOnlyARegularFileWithinTheLimit) {
  ScratchFolder dir;
  const std::string file = dir.path() + "/f";
  ASSERT_TRUE(WriteWholeFile(file, "0123456789"));
  ASSERT_EQ(::mkfifo((dir.path() + "/fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink(file, dir.path() + "/link");
  std::filesystem::create_symlink("/dev/zero", dir.path() + "/zero");
  std::filesystem::create_symlink(dir.path() + "/fifo", dir.path() + "/fifo-link");
  struct Case {
    const char* name;
    std::string path;
    std::size_t limit;
    std::optional<std::string> bytes;
  } cases[] = {
      {"file at the limit", file, 10, "0123456789"},
      {"file one byte over the limit", file, 9, std::nullopt},
      {"link to a file", dir.path() + "/link", kNoSizeLimit, "0123456789"},
      {"FIFO without a writer", dir.path() + "/fifo", kNoSizeLimit, std::nullopt},
      {"link to a FIFO", dir.path() + "/fifo-link", kNoSizeLimit, std::nullopt},
      {"endless device", dir.path() + "/zero", kNoSizeLimit, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ReadWholeFile(c.path, c.limit), c.bytes);
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir.path() + "/fifo"));
}

// A write through a symbolic link replaces the content of the file at its end and leaves
// the link a link; where the end is no regular file, nothing is written at all.
TEST(Files, WriteGoesThroughLinksToARegularFileOnly) {
  struct Case {
    const char* name;
    // Makes `path` in the folder and returns where the content should land ("" for
    // nowhere).
    std::function<std::string(const std::string& folder, const std::string& path)> make;
  } cases[] = {
      {"absolute link",
       [](const std::string& folder, const std::string& path) {
         WriteWholeFile(folder + "/target", "old");
         std::filesystem::create_symlink(folder + "/target", path);
         return folder + "/target";
       }},
      {"relative link into another folder",
       [](const std::string& folder, const std::string& path) {
         std::filesystem::create_directory(folder + "/../other");
         WriteWholeFile(folder + "/../other/target", "old");
         std::filesystem::create_symlink("../other/target", path);
         return folder + "/../other/target";
       }},
      {"chain of two links",
       [](const std::string& folder, const std::string& path) {
         WriteWholeFile(folder + "/target", "old");
         std::filesystem::create_symlink("target", folder + "/middle");
         std::filesystem::create_symlink(folder + "/middle", path);
         return folder + "/target";
       }},
      {"dangling link: its target is made",
       [](const std::string& folder, const std::string& path) {
         std::filesystem::create_symlink("made", path);
         return folder + "/made";
       }},
      {"link loop",
       [](const std::string& folder, const std::string& path) {
         std::filesystem::create_symlink(path, folder + "/back");
         std::filesystem::create_symlink(folder + "/back", path);
         return std::string();
       }},
      {"FIFO in the way",
       [](const std::string&, const std::string& path) {
         ::mkfifo(path.c_str(), 0600);
         return std::string();
       }},
      {"link to a FIFO",
       [](const std::string& folder, const std::string& path) {
         ::mkfifo((folder + "/fifo").c_str(), 0600);
         std::filesystem::create_symlink(folder + "/fifo", path);
         return std::string();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder dir;
    const std::string path = dir.path() + "/sub/name";
    std::filesystem::create_directory(dir.path() + "/sub");
    const std::string landing = c.make(dir.path() + "/sub", path);
    const auto before = std::filesystem::symlink_status(path).type();

    EXPECT_EQ(WriteWholeFile(path, "new"), !landing.empty());
    EXPECT_EQ(std::filesystem::symlink_status(path).type(), before) << "the name stays as it was";
    if (!landing.empty()) {
      EXPECT_EQ(ReadWholeFile(landing), "new");
    }
    for (const auto& e : std::filesystem::directory_iterator(dir.path() + "/sub"))
      EXPECT_EQ(e.path().filename().string().find(".new-"), std::string::npos);
  }
}

}  // namespace
}  // namespace morvane::testing
