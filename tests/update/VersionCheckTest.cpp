#include "update/VersionCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LocalServer.h"
#include "tests/support/RecordingControls.h"
#include "tests/support/ScratchFolder.h"
#include "update/Cipher.h"
#include "web/Text.h"

namespace morvane {
namespace {

using testing::LocalServer;
using testing::RecordingControls;

TEST(TakeBetween, CutsTheFieldOutAsItStands) {
  const struct {
    std::string text, start, end, field;
  } cases[] = {
      {"<p>2：http://h/new.bin</p>", "2：", "</p>", "http://h/new.bin"},
      {"<p>3： name \r\n</p>", "3：", "</p>", " name \r\n"},
      {"<p>2：</p>", "2：", "</p>", ""},
      {"<p>2：http://h/new.bin", "2：", "</p>", ""},
      {"<p>http://h/new.bin</p>", "2：", "</p>", ""},
      {"2：a</P>b</p>", "2：", "</p>", "a</P>b"},
      {"2：first</p>2：second</p>", "2：", "</p>", "first"},
      {"</p>2：x</p>", "2：", "</p>", "x"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TakeBetween(Gbk(c.text), Gbk(c.start), c.end), Gbk(c.field)) << c.text;
}

// One check through the recording port against a local version page. The objects live
// until the end of the test program: an update worker started by the check may still be
// finishing when the test is over.
template <class Ui = RecordingControls>
struct CheckWith {
  Ui ui;
  LocalServer server;
  std::atomic<int> pageReads{0};
  std::unique_ptr<Program> program;
  testing::ScratchFolder scratch{MORVANE_SCRATCH_ROOT};

  CheckWith(const std::string& latest, const std::string& page) {
    server.server().Get("/version.html",
                        [this, page](const httplib::Request&, httplib::Response& res) {
                          ++pageReads;
                          std::string text = page;
                          if (auto at = text.find("{base}"); at != std::string::npos)
                            text.replace(at, 6, server.base());
                          res.set_content(Gbk(text), "text/html");
                        });
    server.server().Get("/files/new",
                        [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    server.Start();
    Settings settings;
    settings.versionPageStored = EncipherText(server.base() + "/version.html", "");
    program = std::make_unique<Program>(ui, settings);
    program->update.programPath = scratch.path() + "/morvane";
    ui.SetText("透明标签2", Gbk("v4.1.7"));
    ui.SetText("透明标签6", Gbk(latest));
  }
  static CheckWith& Make(const std::string& latest, const std::string& page) {
    // Never destroyed, not even at exit, where a detached worker may still be ending.
    static auto* kept = new std::vector<std::unique_ptr<CheckWith>>;
    kept->push_back(std::make_unique<CheckWith>(latest, page));
    return *kept->back();
  }
  std::vector<std::string> Calls() const { return ui.Calls(); }
};
using Check = CheckWith<>;

// A port whose message boxes stay open until the test answers them, as for a user who has
// not clicked yet. An unanswered box gives up after a while, so that a test of a fault
// ends instead of hanging.
class AnsweredLater : public RecordingControls {
 public:
  MessageAnswer ShowMessage(const std::string& text, const std::string& caption,
                            MessageButtons buttons, MessageIcon icon) override {
    RecordingControls::ShowMessage(text, caption, buttons, icon);
    std::unique_lock lock(gate_);
    if (answered_.wait_for(lock, std::chrono::seconds(20), [&] { return answers_ > 0; }))
      --answers_;
    return MessageAnswer::Cancel;
  }
  // Closes one open box (with Cancel, which for an OK box is the same).
  void AnswerOne() {
    {
      std::lock_guard lock(gate_);
      ++answers_;
    }
    answered_.notify_all();
  }

 private:
  std::mutex gate_;
  std::condition_variable answered_;
  int answers_ = 0;
};

const char* kPage = "<p>1：v4.1.8</p><p>2：{base}/files/new</p><p>3：morvane-next</p>";

TEST(CheckVersion, EqualVersionsOnlySayItIsTheLatest) {
  auto& c = Check::Make("v4.1.7", kPage);
  CheckVersion(*c.program);
  EXPECT_EQ(c.pageReads, 1);
  ASSERT_EQ(c.ui.Messages().size(), 1u);
  const auto shown = c.ui.Messages()[0];
  EXPECT_EQ(LocalToUtf8(shown.text), "本版本是最新版本");
  EXPECT_EQ(LocalToUtf8(shown.caption), "版本更新：");
  EXPECT_EQ(shown.buttons, MessageButtons::Ok);
  EXPECT_EQ(shown.icon, MessageIcon::Information);
  EXPECT_TRUE(c.ui.MainWindowVisible());
}

TEST(CheckVersion, AnyDifferenceOffersTheUpdateAndCancelChangesNothing) {
  const struct {
    const char* latest;
    const char* question;
  } cases[] = {
      {"V4.1.7", "发现新版本：V4.1.7，是否更新？"},
      {"v4.1.6", "发现新版本：v4.1.6，是否更新？"},
      {"", "发现新版本：，是否更新？"},
  };
  for (const auto& cs : cases) {
    SCOPED_TRACE(cs.latest);
    auto& c = Check::Make(cs.latest, kPage);
    c.ui.AnswerMessages({MessageAnswer::Cancel});
    CheckVersion(*c.program);
    EXPECT_EQ(c.pageReads, 1);
    ASSERT_EQ(c.ui.Messages().size(), 1u);
    const auto shown = c.ui.Messages()[0];
    EXPECT_EQ(LocalToUtf8(shown.text), cs.question);
    EXPECT_EQ(LocalToUtf8(shown.caption), "发现新版本");
    EXPECT_EQ(shown.buttons, MessageButtons::OkCancel);
    EXPECT_EQ(shown.icon, MessageIcon::Information);
    EXPECT_TRUE(c.ui.MainWindowVisible());
    for (const auto& call : c.Calls()) EXPECT_EQ(call.find("OpenUpdateWindow"), std::string::npos);
    std::lock_guard lock(c.program->update.mutex);
    EXPECT_EQ(c.program->update.downloadAddress, "");
  }
}

TEST(CheckVersion, OkHidesTheMainWindowAndOpensTheUpdateWindow) {
  auto& c = Check::Make("v4.1.8", kPage);
  Program& program = *c.program;
  // OK to the offer; the download then fails (the server has no file) and ends the
  // program; Cancel when the window is closed.
  c.ui.AnswerMessages({MessageAnswer::Ok, MessageAnswer::Ok, MessageAnswer::Cancel});
  std::thread checking([&] { CheckVersion(program); });
  ASSERT_TRUE(c.ui.WaitUntil([&] { return !c.ui.EndedWith().empty(); }));
  c.ui.CloseUpdateWindow();
  checking.join();

  const auto calls = c.Calls();
  auto at = [&](const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) - calls.begin();
  };
  EXPECT_LT(at("SetMainWindowVisible  0"), at("OpenUpdateWindow  "));
  EXPECT_LT(at("OpenUpdateWindow  "), static_cast<long>(calls.size()));
  EXPECT_FALSE(c.ui.MainWindowVisible());
  {
    std::lock_guard lock(program.update.mutex);
    EXPECT_EQ(program.update.downloadAddress, c.server.base() + "/files/new");
    EXPECT_EQ(program.update.programName, "morvane-next");
  }
  const auto messages = c.ui.Messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(LocalToUtf8(messages[1].text), "不能打开该URL!");
  EXPECT_EQ(LocalToUtf8(messages[2].text), "退出后将无法更新完成，是否退出？");
  EXPECT_EQ(LocalToUtf8(messages[2].caption), "询问");
  EXPECT_EQ(messages[2].icon, MessageIcon::Question);
  EXPECT_EQ(messages[2].buttons, MessageButtons::OkCancel);
  EXPECT_EQ(c.ui.EndedWith(), std::vector<int>{0});
  // The failed download left nothing behind.
  EXPECT_TRUE(c.scratch.Names().empty());
}

// A click on the arrow while the box of an earlier click is still open checks nothing: no
// second box, no second read of the version page. Once the box is answered, a click asks
// again.
TEST(CheckVersion, OneQuestionAtATime) {
  for (const char* latest : {"v4.1.8", "v4.1.7"}) {
    SCOPED_TRACE(latest);
    auto& c = CheckWith<AnsweredLater>::Make(latest, kPage);
    std::thread first([&] { CheckVersion(*c.program); });
    ASSERT_TRUE(c.ui.WaitUntil([&] { return c.ui.Messages().size() == 1; }));
    CheckVersion(*c.program);
    EXPECT_EQ(c.ui.Messages().size(), 1u);
    EXPECT_EQ(c.pageReads, 1);
    c.ui.AnswerOne();
    first.join();

    std::thread again([&] { CheckVersion(*c.program); });
    EXPECT_TRUE(c.ui.WaitUntil([&] { return c.ui.Messages().size() == 2; }));
    c.ui.AnswerOne();
    again.join();
    EXPECT_EQ(c.pageReads, 2);
    EXPECT_TRUE(c.ui.MainWindowVisible());
  }
}

}  // namespace
}  // namespace morvane
