#include "update/RemoteTexts.h"

#include <chrono>
#include <string>

#include "platform/Clock.h"
#include "platform/Worker.h"
#include "update/Cipher.h"
#include "update/RandomDraw.h"
#include "web/FetchPage.h"
#include "web/Text.h"

namespace morvane {

namespace {

// The window thread waits on the information page and the link list, and the user on the
// keyword list: each is given up after this long, well before a page request's own
// deadline.
constexpr std::chrono::milliseconds kRemoteTextDeadline{10000};

std::string FetchRemoteText(const std::string& address) {
  FetchOptions options;
  options.deadline = kRemoteTextDeadline;
  return FetchPage(address, options);
}

std::uint32_t SeedNow(Program& program) {
  return NextRandomSeed(program.update.seedCounter, TickCount());
}

}  // namespace

void LoadInfoPage(Program& program, const ProgramStep& loadHistory) {
  const std::string page = FetchRemoteText(DecipherText(program.settings.infoPageStored, ""));
  program.texts.Set(ProgramText::InformationPage, page);
  // The history file is local: it loads whatever the publisher's server answered, so that
  // a later "全部保存" cannot replace it with this run's plays alone.
  StartWorker([&program, loadHistory] { loadHistory(program); });
  // Only a page that begins with the marker in lower case is ours; the cuts below ignore
  // case, this test does not.
  if (FindText(page, "lj") != 1) {
    program.ui.ShowMessage(Gbk("网络连接失败"), Gbk("信息："), MessageButtons::Ok,
                           MessageIcon::None);
    return;
  }
  program.texts.Set(ProgramText::PlayerPagePrefix, DecipherText(TextBetween(page, "lj", "lj"), ""));
  program.ui.SetText("透明标签6", TextBetween(page, Gbk("1："), "</p>"));
}

void PlayRandomLink(Program& program, const ProgramStep& play) {
  const std::uint32_t seed = SeedNow(program);
  const std::string page =
      FetchRemoteText("http://" + program.settings.publisherHost + "//adminapi/sjlj.txt");
  // An unreadable or empty list leaves nothing to draw: the link box and the player stay
  // as they are.
  auto line = DrawRandomLine(page, seed);
  if (!line) return;
  program.ui.SetText("编辑框1", *line);
  play(program);
}

void SearchRandomKeyword(Program& program, const ProgramStep& search) {
  const std::uint32_t seed = SeedNow(program);
  const std::string page =
      FetchRemoteText(DecipherText(program.settings.keywordListStored, ""));
  auto line = DrawRandomLine(page, seed);
  if (!line) return;
  program.ui.SetText("编辑框_种子关键字", *line);
  // Straight to the search: an empty keyword drawn from the list is searched as it is.
  StartWorker([&program, search] { search(program); });
}

void ShowPlaceholderPage(Program& program, std::string_view browser) {
  program.ui.Navigate(browser, "http://" + program.settings.publisherHost + "/adminapi/2.html");
}

void SwitchTab(Program& program, int index) {
  if (index < 0 || index > 3) return;
  program.ui.SetSelectedIndex("高级选择夹1", index);
  // The live TV page is loaded afresh on every click, even when its page is already shown.
  if (index == 3)
    program.ui.Navigate("电视直播浏览框",
                        "http://" + program.settings.liveTvHost + "/images/img/100/");
}

}  // namespace morvane
