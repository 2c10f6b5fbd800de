#include "update/VersionCheck.h"

#include <atomic>

#include "update/Cipher.h"
#include "update/SelfReplacement.h"
#include "web/FetchPage.h"
#include "web/Text.h"

namespace morvane {

std::string TakeBetween(std::string_view text, std::string_view start, std::string_view end) {
  const long long p = FindText(text, start);
  // Without the start marker there is no field at all.
  if (p < 0) return "";
  const std::string_view rest = text.substr(static_cast<std::size_t>(p - 1) + start.size());
  const long long q = FindText(rest, end);
  if (q < 0) return "";
  return std::string(rest.substr(0, static_cast<std::size_t>(q - 1)));
}

void CheckVersion(Program& program) {
  if (program.update.checking.exchange(true)) return;
  struct CheckEnds {
    std::atomic<bool>& checking;
    ~CheckEnds() { checking = false; }
  } ends{program.update.checking};

  const std::string running = program.ui.Text("透明标签2");
  // Read on every check, before the comparison, whatever its outcome.
  const std::string page = FetchPage(DecipherText(program.settings.versionPageStored, ""));
  const std::string latest = program.ui.Text("透明标签6");

  if (running == latest) {
    program.ui.ShowMessage(Gbk("本版本是最新版本"), Gbk("版本更新："), MessageButtons::Ok,
                           MessageIcon::Information);
    return;
  }
  // Any difference counts: versions have no order.
  const MessageAnswer answer = program.ui.ShowMessage(
      Gbk("发现新版本：") + latest + Gbk("，是否更新？"), Gbk("发现新版本"),
      MessageButtons::OkCancel, MessageIcon::Information);
  if (answer != MessageAnswer::Ok) return;

  const std::string address = TakeBetween(page, Gbk("2："), "</p>");
  const std::string name = TakeBetween(page, Gbk("3："), "</p>");
  const std::string signature = TakeBetween(page, Gbk("4："), "</p>");
  {
    std::lock_guard lock(program.update.mutex);
    program.update.signature = signature;
  }
  // The update ends the program, so nothing shows the main window again.
  program.ui.SetMainWindowVisible(false);
  OpenUpdateWindow(program, address, name);
}

}  // namespace morvane
