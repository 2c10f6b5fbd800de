#include "app/Playback.h"

#include <mutex>

#include "platform/ControlNames.h"
#include "platform/Worker.h"
#include "web/FetchPage.h"
#include "web/ResolutionContract.h"
#include "web/Text.h"

namespace morvane {
namespace {

constexpr int kPlaybackPage = 0;
constexpr int kSearchPage = 1;

// Shown while the link resolves. Without a scheme: the browser opens it over http.
std::string NoticePageAddress(const Settings& settings) {
  return settings.publisherHost + "/adminapi/vexapi/gg/ada.html";
}

// Two history writers finishing together must not interleave their insert and cell write,
// or one link would land in the other's row and leave an empty row behind.
std::mutex historyInsertMutex;

}  // namespace

std::string ResolutionAddress(const Settings& settings, std::string_view link) {
  return "http://" + settings.resolutionHost + "/xml.php?url=" +
         PercentEscape(link, [](unsigned char byte) { return byte <= 0x20 || byte >= 0x7F; });
}

void StartPlayback(Program& program) {
  program.ui.Navigate(kPlayer, NoticePageAddress(program.settings));
  StartWorker([&program] { ResolveLink(program); });
}

void PlaySelectedResult(Program& program) {
  program.ui.SetSelectedIndex(kPages, kPlaybackPage);
  const int row = program.ui.SelectedIndex(kResults);
  program.ui.SetText(kLinkBox, program.ui.Cell(kResults, row, 2));
  StartPlayback(program);
}

void PlaySelectedHistory(Program& program) {
  const int row = program.ui.SelectedIndex(kHistory);
  program.ui.SetText(kLinkBox, program.ui.Cell(kHistory, row, 0));
  StartPlayback(program);
}

void ResolveLink(Program& program) {
  // Neither the browser nor the web client may answer this resolution from an earlier one.
  program.ui.ClearWebCache();
  const std::string link = TrimText(program.ui.Text(kLinkBox));
  std::string page = FetchPage(ResolutionAddress(program.settings, link));
  std::string address = ResolutionFileText(TextBetween(page, "<file>", "</file>"));
  program.texts.Set(ProgramText::ResolvePage, std::move(page));
  program.texts.Set(ProgramText::ResolvedAddress, std::move(address));
  StartWorker([&program] { ShowPlayerPage(program); });
}

void ShowPlayerPage(Program& program) {
  // Read now, not handed over by ResolveLink: with overlapping playbacks the latest
  // resolution decides.
  const std::string address = program.texts.Get(ProgramText::ResolvedAddress);
  if (FindText(address, "resp") != -1) {
    program.ui.ShowMessage(Gbk("种子链接失效了,请更换种子链接"), Gbk("信息："),
                           MessageButtons::Ok, MessageIcon::None);
    program.ui.SetSelectedIndex(kPages, kSearchPage);
    return;
  }
  program.texts.Set(ProgramText::PlayingAddress, address);
  program.ui.Navigate(kPlayer, program.texts.Get(ProgramText::PlayerPagePrefix) + address);
  RecordHistory(program);
}

void RecordHistory(Program& program) {
  const std::string link = program.ui.Text(kLinkBox);
  std::lock_guard lock(historyInsertMutex);
  const int row = program.ui.InsertRow(kHistory, 0);
  program.ui.SetCell(kHistory, row, 0, link);
}

void PlayLibraryPage(Program& program) {
  const std::string page = program.ui.Text("编辑框_高清影库");
  program.ui.Navigate("高清影库浏览框", "https://" + program.settings.playerHost +
                                            "/api/play.jsp?url=" + EncodePlayerLink(page));
}

}  // namespace morvane
