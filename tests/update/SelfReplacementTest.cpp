#include "update/SelfReplacement.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LocalServer.h"
#include "tests/support/RecordingControls.h"
#include "tests/update/ChildProcess.h"
#include "tests/support/ScratchFolder.h"
#include "update/Cipher.h"
#include "web/Text.h"

namespace morvane {
namespace {

using testing::Eventually;
using testing::LocalServer;
using testing::ReadFile;
using testing::RecordingControls;
using testing::RunToEnd;
using testing::ScratchFolder;
using Names = std::set<std::string>;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

bool IsExecutable(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IXUSR) != 0;
}

TEST(UsableProgramName, KeepsTheOldProgramSafe) {
  const struct {
    std::string name;
    bool usable;
  } cases[] = {
      {"morvane-4.1.8", true},
      {"新版本", true},
      {" .sh x", true},
      {"", false},
      {".", false},
      {"..", false},
      {"sub/morvane", false},
      {"/morvane", false},
      {std::string("a\0b", 3), false},
      {"morvane", false},  // the running program itself
  };
  for (const auto& c : cases) EXPECT_EQ(UsableProgramName(c.name, "morvane"), c.usable) << c.name;
}

// What may stand where the new program goes: nothing, or an earlier download of a program.
TEST(ReplaceableByNewProgram, OnlyNothingOrAnEarlierProgram) {
  const auto program = [](const std::string& path) {
    std::filesystem::copy_file(NEW_PROGRAM, path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  };
  const struct {
    const char* name;
    std::function<void(const std::string& dir, const std::string& target)> plant;
    bool replaceable;
  } cases[] = {
      {"nothing there yet", [](const std::string&, const std::string&) {}, true},
      {"an earlier download of a program",
       [&](const std::string&, const std::string& target) { program(target); }, true},
      {"a program that is not executable",
       [&](const std::string&, const std::string& target) {
         program(target);
         std::filesystem::permissions(target, std::filesystem::perms::owner_read |
                                                  std::filesystem::perms::owner_write);
       },
       false},
      {"an executable data file",
       [](const std::string&, const std::string& target) {
         WriteFile(target, "#!/bin/sh\n");
         std::filesystem::permissions(target, std::filesystem::perms::owner_all);
       },
       false},
      {"a data file", [](const std::string&, const std::string& target) { WriteFile(target, "x"); },
       false},
      {"a symlink to a program",
       [&](const std::string& dir, const std::string& target) {
         program(dir + "/real");
         std::filesystem::create_symlink(dir + "/real", target);
       },
       false},
      {"a dangling symlink",
       [](const std::string& dir, const std::string& target) {
         std::filesystem::create_symlink(dir + "/nowhere", target);
       },
       false},
      {"a directory",
       [](const std::string&, const std::string& target) {
         std::filesystem::create_directory(target);
       },
       false},
      {"a FIFO", [](const std::string&, const std::string& target) { ::mkfifo(target.c_str(), 0700); },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder dir{MORVANE_SCRATCH_ROOT};
    const std::string target = dir.path() + "/morvane-new";
    c.plant(dir.path(), target);
    EXPECT_EQ(ReplaceableByNewProgram(target), c.replaceable);
  }
  // The program's own files, even when a program stands under their names.
  for (const char* own : {"配置.ini", " .sh", ".morvane-update-AbC123"}) {
    SCOPED_TRACE(own);
    ScratchFolder dir{MORVANE_SCRATCH_ROOT};
    EXPECT_FALSE(ReplaceableByNewProgram(dir.path() + "/" + own));
    program(dir.path() + "/" + own);
    EXPECT_FALSE(ReplaceableByNewProgram(dir.path() + "/" + own));
  }
}

// The script run by the real shell: whatever the old program's name, it deletes exactly
// that file and itself, and nothing in the name is executed.
TEST(CleanupScript, DeletesTheOldProgramAndItselfWhateverTheName) {
  const char* names[] = {
      "morvane",
      "with space",
      "it's",
      "$(touch injected)",
      "`touch injected`",
      "semi;touch injected",
      "line\nbreak",
      "旧版本",
      "-dash",
      "*",
  };
  for (const char* name : names) {
    SCOPED_TRACE(name);
    ScratchFolder dir{MORVANE_SCRATCH_ROOT};
    const std::string old = dir.path() + "/" + name;
    WriteFile(old, "old program");
    WriteFile(dir.path() + "/bystander", "stays");
    const std::string script = dir.path() + "/ .sh";
    WriteFile(script, CleanupScriptText(old));
    ASSERT_EQ(RunToEnd("/bin/sh", {script}), 0);
    EXPECT_EQ(dir.Names(), Names{"bystander"});
  }
}

// A local server offering the version page, the new program, and a download that never
// finishes.
class PublisherServer {
 public:
  // offered: the path of the new program that the version page names.
  explicit PublisherServer(std::string offered = "/files/new") : path_(std::move(offered)) {
    auto& s = server_.server();
    s.Get("/version.html", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(
          Gbk("<p>1：v4.1.8</p><p>2：" + server_.base() + path_ + "</p><p>3：morvane-new</p>"),
          "text/html");
    });
    s.Get("/files/new", [this](const httplib::Request&, httplib::Response& res) {
      ++downloads_;
      res.set_content(ReadFile(NEW_PROGRAM), "application/octet-stream");
    });
    s.Get("/files/junk", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<html>not a program</html>", "application/octet-stream");
    });
    s.Get("/files/stalled", [this](const httplib::Request&, httplib::Response& res) {
      ++downloads_;
      res.set_content_provider(1 << 24, "application/octet-stream",
                               [this](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset == 0) {
                                   const std::string first(30000, 'x');
                                   sink.write(first.data(), first.size());
                                   return true;
                                 }
                                 std::unique_lock lock(mutex_);
                                 released_.wait(lock, [&] { return release_; });
                                 return false;
                               });
    });
    server_.Start();
  }
  ~PublisherServer() {
    {
      std::lock_guard lock(mutex_);
      release_ = true;
    }
    released_.notify_all();
    server_.Stop();
  }
  std::string Address(const std::string& path) const { return server_.base() + path; }
  int downloads() const { return downloads_; }

 private:
  LocalServer server_;
  const std::string path_;
  std::atomic<int> downloads_{0};
  std::mutex mutex_;
  std::condition_variable released_;
  bool release_ = false;
};

struct InProcess {
  RecordingControls ui;
  Program program{ui, Settings{}};
  ScratchFolder dir{MORVANE_SCRATCH_ROOT};
  std::string old = dir.path() + "/morvane-old";
  InProcess(const std::string& address, const std::string& name) {
    WriteFile(old, "old program");
    program.update.programPath = old;
    program.update.downloadAddress = address;
    program.update.programName = name;
    program.update.countdownStep = std::chrono::milliseconds(1);
  }
};

// A version page naming one of the program's files, or anything that is no earlier
// download, is refused before any download: the file stays as it was.
TEST(RunUpdate, RefusesANameThatWouldReplaceAnythingButAnEarlierProgram) {
  PublisherServer server;
  const struct {
    const char* name;
    bool link;  // planted as a symlink to a bystander program
  } cases[] = {{"配置.ini", false}, {" .sh", false}, {"notes.txt", false}, {"linked", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InProcess run(server.Address("/files/new"), Gbk(c.name));
    const std::string planted = run.dir.path() + "/" + c.name;
    if (c.link) {
      WriteFile(run.dir.path() + "/bystander", "bystander");
      std::filesystem::create_symlink(run.dir.path() + "/bystander", planted);
    } else {
      WriteFile(planted, "1,http://a\r\n2,http://b\r\n");
    }
    const std::string before = ReadFile(planted);
    RunUpdate(run.program);
    ASSERT_EQ(run.ui.Messages().size(), 1u);
    EXPECT_EQ(LocalToUtf8(run.ui.Messages()[0].text), "不能打开本地的文件!");
    EXPECT_EQ(run.ui.EndedWith(), std::vector<int>{0});
    EXPECT_EQ(ReadFile(planted), before);
    EXPECT_EQ(std::filesystem::is_symlink(planted), c.link);
    EXPECT_FALSE(IsExecutable(planted) && !c.link);
  }
  EXPECT_EQ(server.downloads(), 0);
}

// The clean-up script is a new file: a file or a link planted under its name is neither
// written into nor written through.
TEST(WriteCleanupScript, NeverWritesIntoAPlantedFileOrThroughALink) {
  for (const bool link : {false, true}) {
    SCOPED_TRACE(link ? "symlink" : "hard link");
    RecordingControls ui;
    Program program{ui, Settings{}};
    ScratchFolder dir{MORVANE_SCRATCH_ROOT};
    const std::string old = dir.path() + "/morvane-old";
    WriteFile(old, "old program");
    program.update.programPath = old;
    const std::string victim = dir.path() + "/victim";
    WriteFile(victim, "precious");
    if (link)
      std::filesystem::create_symlink(victim, dir.path() + "/ .sh");
    else
      std::filesystem::create_hard_link(victim, dir.path() + "/ .sh");
    WriteCleanupScript(program);
    EXPECT_EQ(ui.EndedWith(), std::vector<int>{0});
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_TRUE(Eventually([&] { return dir.Names() == Names{"victim"}; }))
        << ::testing::PrintToString(dir.Names());
  }
}

TEST(RunUpdate, RefusesANameThatWouldHarmTheOldProgram) {
  PublisherServer server;
  const std::string names[] = {"", ".", "..", "sub/x", "morvane-old", std::string("a\0b", 3)};
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    InProcess run(server.Address("/files/new"), Gbk(name));
    RunUpdate(run.program);
    ASSERT_EQ(run.ui.Messages().size(), 1u);
    EXPECT_EQ(LocalToUtf8(run.ui.Messages()[0].text), "不能打开本地的文件!");
    EXPECT_EQ(run.ui.EndedWith(), std::vector<int>{0});
    EXPECT_EQ(run.dir.Names(), Names{"morvane-old"});
    EXPECT_EQ(ReadFile(run.old), "old program");
  }
  EXPECT_EQ(server.downloads(), 0);
}

TEST(RunUpdate, CountsDownThenReplacesAnExistingFileAndStartsIt) {
  PublisherServer server;
  InProcess run(server.Address("/files/new"), "morvane-new");
  const std::string target = run.dir.path() + "/morvane-new";
  std::filesystem::copy_file(OLD_PROGRAM, target);  // an earlier download of a program
  std::filesystem::permissions(target, std::filesystem::perms::owner_all);
  RunUpdate(run.program);

  // After the last progress figures: both labels hidden, then the countdown.
  const auto calls = run.ui.Calls();
  const auto hide = std::find(calls.begin(), calls.end(), "SetVisible 标签_下载速度 0");
  ASSERT_NE(hide, calls.end());
  EXPECT_EQ(run.ui.Progress("进度条1"), 10000);
  std::vector<std::string> window;
  for (auto it = hide; it != calls.end(); ++it)
    if (it->find("标签_") != std::string::npos) window.push_back(*it);
  const std::string countdown = "SetText 标签_已完成百分比 ";
  const std::vector<std::string> expected = {
      "SetVisible 标签_下载速度 0",
      "SetVisible 标签_总大小 0",
      countdown + Gbk("更新完毕，等待3秒自动运行新版本……"),
      countdown + Gbk("更新完毕，等待2秒自动运行新版本……"),
      countdown + Gbk("更新完毕，等待1秒自动运行新版本……"),
  };
  EXPECT_EQ(window, expected);
  EXPECT_TRUE(run.ui.Messages().empty());
  EXPECT_EQ(run.ui.EndedWith(), std::vector<int>{0});
  EXPECT_EQ(ReadFile(target), ReadFile(NEW_PROGRAM));
  EXPECT_TRUE(IsExecutable(target));
  EXPECT_TRUE(Eventually([&] {
    return run.dir.Names() == Names{"morvane-new", "started"};
  })) << ::testing::PrintToString(run.dir.Names());
}

// A file that cannot be started is no successor: the old program stays.
TEST(RunUpdate, KeepsTheOldProgramWhenTheNewOneDoesNotStart) {
  PublisherServer server;
  InProcess run(server.Address("/files/junk"), "morvane-new");
  RunUpdate(run.program);
  ASSERT_EQ(run.ui.Messages().size(), 1u);
  EXPECT_EQ(LocalToUtf8(run.ui.Messages()[0].text), "不能打开本地的文件!");
  EXPECT_EQ(run.ui.EndedWith(), std::vector<int>{0});
  EXPECT_EQ(run.dir.Names(), (Names{"morvane-old", "morvane-new"}));
  EXPECT_EQ(ReadFile(run.old), "old program");
}

// Closing the window during the countdown: Cancel lets the update go on; OK stops it
// before anything is put in place or started.
TEST(ConfirmAbortUpdate, OkDuringTheCountdownStartsNothing) {
  PublisherServer server;
  InProcess run(server.Address("/files/new"), "morvane-new");
  run.program.update.countdownStep = std::chrono::minutes(10);
  run.ui.AnswerMessages({MessageAnswer::Cancel, MessageAnswer::Ok});
  std::thread worker([&] { RunUpdate(run.program); });
  ASSERT_TRUE(run.ui.WaitUntil([&] {
    return run.ui.Text("标签_已完成百分比") == Gbk("更新完毕，等待3秒自动运行新版本……");
  }));
  ConfirmAbortUpdate(run.program);
  EXPECT_FALSE(run.program.update.abortRequested);
  EXPECT_TRUE(run.ui.EndedWith().empty());
  ConfirmAbortUpdate(run.program);
  worker.join();
  const auto messages = run.ui.Messages();
  ASSERT_EQ(messages.size(), 2u);
  for (const auto& m : messages) {
    EXPECT_EQ(LocalToUtf8(m.text), "退出后将无法更新完成，是否退出？");
    EXPECT_EQ(LocalToUtf8(m.caption), "询问");
    EXPECT_EQ(m.buttons, MessageButtons::OkCancel);
    EXPECT_EQ(m.icon, MessageIcon::Question);
  }
  EXPECT_EQ(run.ui.EndedWith(), std::vector<int>{0});
  EXPECT_EQ(run.dir.Names(), Names{"morvane-old"});
  EXPECT_EQ(ReadFile(run.old), "old program");
}

// The real thing: a copy of the old program in a scratch directory checks the version,
// downloads, replaces itself and ends; the process and the files are watched from here.
struct ChildUpdate {
  explicit ChildUpdate(const std::string& offered) : server(offered) {
    std::filesystem::copy_file(OLD_PROGRAM, old);
    std::filesystem::permissions(old, std::filesystem::perms::owner_all);
  }
  PublisherServer server;
  ScratchFolder dir{MORVANE_SCRATCH_ROOT};
  std::string old = dir.path() + "/morvane-old";
  std::string log = dir.path() + ".log";
  ~ChildUpdate() { std::filesystem::remove(log); }
  int Run(const std::string& mode) {
    return RunToEnd(old, {server.Address("/version.html"), mode, log});
  }
  std::vector<std::string> Log() const { return testing::LogLines(log); }
};

TEST(SelfReplacement, TheNewProgramTakesThePlaceOfTheOldOne) {
  ChildUpdate child("/files/new");
  ASSERT_EQ(child.Run("update"), 0);
  const std::vector<std::string> log = {
      "message 发现新版本 发现新版本：v4.1.8，是否更新？",
      "window",
      "text 标签_已完成百分比 更新完毕，等待3秒自动运行新版本……",
      "text 标签_已完成百分比 更新完毕，等待2秒自动运行新版本……",
      "text 标签_已完成百分比 更新完毕，等待1秒自动运行新版本……",
      "end 0",
  };
  EXPECT_EQ(child.Log(), log);
  const std::string fresh = child.dir.path() + "/morvane-new";
  EXPECT_EQ(ReadFile(fresh), ReadFile(NEW_PROGRAM));
  EXPECT_TRUE(IsExecutable(fresh));
  // Started, the old program file deleted, the script gone, no download left over.
  EXPECT_TRUE(Eventually([&] {
    return child.dir.Names() == Names{"morvane-new", "started"};
  })) << ::testing::PrintToString(child.dir.Names());
}

TEST(SelfReplacement, AbortingLeavesTheOldProgramAndNoDownload) {
  ChildUpdate child("/files/stalled");
  const std::string before = ReadFile(child.old);
  ASSERT_EQ(child.Run("abort"), 0);
  const std::vector<std::string> log = {
      "message 发现新版本 发现新版本：v4.1.8，是否更新？",
      "window",
      "message 询问 退出后将无法更新完成，是否退出？",
      "end 0",
  };
  EXPECT_EQ(child.Log(), log);
  EXPECT_EQ(child.dir.Names(), Names{"morvane-old"});
  EXPECT_EQ(ReadFile(child.old), before);
}

}  // namespace
}  // namespace morvane
