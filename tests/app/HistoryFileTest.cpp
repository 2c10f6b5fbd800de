#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "app/HistoryFile.h"
#include "app/ResultActions.h"
#include "platform/ControlNames.h"
#include "platform/Files.h"
#include "tests/app/AppTestSession.h"
#include "tests/support/ScratchFolder.h"
#include "web/Text.h"

namespace morvane::testing {
namespace {

std::vector<Row> Column0(const std::vector<std::string>& links) {
  std::vector<Row> rows;
  for (const auto& l : links) rows.push_back(Row{l});
  return rows;
}

void PutFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string FileBytes(const std::string& path) {
  return ReadWholeFile(path).value_or("<none>");
}

std::vector<std::string> DirectoryEntries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(directory))
    names.push_back(e.path().filename().string());
  return names;
}

TEST(HistoryFile, SavedRowsLoadBackInOrder) {
  struct Case {
    const char* name;
    std::vector<std::string> rows;
    std::string bytes;
  } cases[] = {
      {"three one-letter rows", {"a", "b", "c"}, "a\r\nb\r\nc\r\n"},
      {"empty history", {}, ""},
      {"empty row at the end", {"a", ""}, "a\r\n\r\n"},
      {"GBK links",
       {"\xD6\xD0\xCE\xC4 \xA1\xA1x", "thunder://QUFh"},
       "\xD6\xD0\xCE\xC4 \xA1\xA1x\r\nthunder://QUFh\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder dir;
    auto& saver = NewSession();
    saver.ui.AppendRows(kHistory, Column0(c.rows));
    SaveHistoryIn(saver.program, dir.path());

    EXPECT_EQ(FileBytes(dir.path() + "/配置.ini"), c.bytes);
    EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"配置.ini"});
    ASSERT_EQ(saver.ui.Messages().size(), 1u);
    EXPECT_EQ(saver.ui.Messages()[0].text, Gbk("保存成功"));
    EXPECT_EQ(saver.ui.Messages()[0].caption, Gbk("信息："));
    EXPECT_EQ(saver.ui.Messages()[0].icon, MessageIcon::Information);
    EXPECT_EQ(saver.ui.Messages()[0].buttons, MessageButtons::Ok);

    auto& loader = NewSession();
    LoadHistoryFrom(loader.program, dir.path());
    EXPECT_EQ(loader.ui.Rows(kHistory), Column0(c.rows));
  }
}

TEST(HistoryFile, LoadSplitsAtCrLfAndAppendsAfterListedRows) {
  struct Case {
    const char* name;
    std::optional<std::string> bytes;
    std::vector<std::string> rows;
  } cases[] = {
      {"missing file", std::nullopt, {"played"}},
      {"empty file", "", {"played"}},
      {"two CR LF at the end", "a\r\nb\r\n\r\n", {"played", "a", "b", ""}},
      {"empty line inside", "a\r\n\r\nb\r\n", {"played", "a", "", "b"}},
      {"no line end after the last row", "a\r\nb", {"played", "a", "b"}},
      {"LF-only lines are one row", "a\nb\n", {"played", "a\nb\n"}},
      {"lone CR stays in the row", "a\rb\r\n", {"played", "a\rb"}},
      {"text ends at the first NUL", std::string("a\r\nb\0c\r\nd\r\n", 11), {"played", "a", "b"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder dir;
    if (c.bytes) PutFile(dir.path() + "/配置.ini", *c.bytes);
    auto& s = NewSession();
    s.ui.AppendRows(kHistory, Column0({"played"}));
    LoadHistoryFrom(s.program, dir.path());
    EXPECT_EQ(s.ui.Rows(kHistory), Column0(c.rows));
  }
}

TEST(HistoryFile, SaveAfterDeleteMakesTheDeletionPermanent) {
  ScratchFolder dir;
  auto& s = NewSession();
  s.ui.AppendRows(kHistory, Column0({"a", "b", "c"}));
  SaveHistoryIn(s.program, dir.path());
  s.ui.SetSelectedIndex(kHistory, 1);
  DeleteHistoryRow(s.program);
  EXPECT_EQ(FileBytes(dir.path() + "/配置.ini"), "a\r\nb\r\nc\r\n");  // not until saved
  SaveHistoryIn(s.program, dir.path());
  EXPECT_EQ(FileBytes(dir.path() + "/配置.ini"), "a\r\nc\r\n");

  auto& restarted = NewSession();
  LoadHistoryFrom(restarted.program, dir.path());
  EXPECT_EQ(restarted.ui.Rows(kHistory), Column0({"a", "c"}));
}

// The tests run as root, for whom a read-only directory does not stop a write; a save is made
// to fail instead by a directory standing where the file should be, by a missing directory,
// and by a file size limit that cuts the write short half way.
TEST(HistoryFile, AFailedSaveKeepsTheOldFileAndSaysNothing) {
  ScratchFolder dir;
  const std::string file = dir.path() + "/配置.ini";
  const std::string old = "old1\r\nold2\r\n";

  {
    SCOPED_TRACE("directory in the way");
    std::filesystem::create_directory(file);
    auto& s = NewSession();
    s.ui.AppendRows(kHistory, Column0({"new"}));
    SaveHistoryIn(s.program, dir.path());
    EXPECT_TRUE(s.ui.Messages().empty());
    EXPECT_TRUE(std::filesystem::is_directory(file));
    EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"配置.ini"});
    std::filesystem::remove(file);
  }
  {
    SCOPED_TRACE("missing directory");
    auto& s = NewSession();
    s.ui.AppendRows(kHistory, Column0({"new"}));
    SaveHistoryIn(s.program, dir.path() + "/missing");
    EXPECT_TRUE(s.ui.Messages().empty());
  }
  {
    SCOPED_TRACE("write cut short");
    PutFile(file, old);
    auto& s = NewSession();
    s.ui.AppendRows(kHistory, Column0({std::string(8192, 'x')}));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previous = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    SaveHistoryIn(s.program, dir.path());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previous);

    EXPECT_TRUE(s.ui.Messages().empty());
    EXPECT_EQ(FileBytes(file), old);
    EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"配置.ini"});
  }
}

// Only a regular file of at most 64 MB is history: a FIFO would hold the load for ever, a
// device may never end, and a huge file would take the program's memory. Such a file
// leaves the list empty and is not touched.
TEST(HistoryFile, LoadReadsOnlyARegularFileOfAtMost64MB) {
  constexpr std::uintmax_t kLimit = 64u << 20;
  struct Case {
    const char* name;
    std::function<void(const std::string& file)> make;
    std::vector<std::string> rows;
  } cases[] = {
      {"FIFO", [](const std::string& file) { ::mkfifo(file.c_str(), 0600); }, {}},
      {"link to an endless device",
       [](const std::string& file) { std::filesystem::create_symlink("/dev/zero", file); },
       {}},
      {"one byte over 64 MB",
       [&](const std::string& file) {
         PutFile(file, "a\r\n");
         std::filesystem::resize_file(file, kLimit + 1);
       },
       {}},
      {"exactly 64 MB",
       [&](const std::string& file) {
         PutFile(file, "a\r\n");
         std::filesystem::resize_file(file, kLimit);
       },
       {"a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder dir;
    const std::string file = dir.path() + "/配置.ini";
    c.make(file);
    struct stat before {};
    ASSERT_EQ(::lstat(file.c_str(), &before), 0);
    auto& s = NewSession();
    LoadHistoryFrom(s.program, dir.path());
    EXPECT_EQ(s.ui.Rows(kHistory), Column0(c.rows));
    struct stat after {};
    ASSERT_EQ(::lstat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  }
}

// A history file that is a link to a file elsewhere is saved there, and the link stays.
TEST(HistoryFile, SaveGoesThroughALinkedHistoryFile) {
  ScratchFolder dir;
  std::filesystem::create_directory(dir.path() + "/program");
  std::filesystem::create_directory(dir.path() + "/data");
  const std::string target = dir.path() + "/data/history.txt";
  PutFile(target, "old\r\n");
  const std::string link = dir.path() + "/program/配置.ini";
  std::filesystem::create_symlink("../data/history.txt", link);

  auto& s = NewSession();
  LoadHistoryFrom(s.program, dir.path() + "/program");
  EXPECT_EQ(s.ui.Rows(kHistory), Column0({"old"}));
  s.ui.InsertRow(kHistory, 0);
  s.ui.SetCell(kHistory, 0, 0, "new");
  SaveHistoryIn(s.program, dir.path() + "/program");

  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(FileBytes(target), "new\r\nold\r\n");
  ASSERT_EQ(s.ui.Messages().size(), 1u);
  EXPECT_EQ(s.ui.Messages()[0].text, Gbk("保存成功"));
}

}  // namespace
}  // namespace morvane::testing
