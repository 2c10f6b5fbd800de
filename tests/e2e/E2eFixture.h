#pragma once
// The program as its entry wires it (port, state, main window, shell, bindings), pointed at
// the stand-in services, plus the user's hands: clicks, typing and double clicks on the real
// widgets, and the user's eyes on the embedded browsers.

#include <QDeadlineTimer>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QWebEngineView>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/Program.h"
#include "app/window/MainWindow.h"
#include "app/window/Shell.h"
#include "platform/qt/MessageBoxes.h"
#include "platform/qt/QtControls.h"
#include "services/StandInServices.h"

namespace morvane::e2e {

// Runs a step that may fail a check, and leaves the test at once when it did.
#define STEP(call)                          \
  do {                                      \
    call;                                   \
    if (QTest::currentTestFailed()) return; \
  } while (0)

// The search result label once a page is listed.
inline const QString kEndOfSearch =
    QStringLiteral("搜索完毕,鼠标右键选择播放或者下载,点击\"加载更多\"可以显示更多");

// Keeps the event loop turning until `done` holds or the time is up, looking every `pollMs`.
template <class F>
bool Await(F done, int timeoutMs, int pollMs = 20) {
  QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QTest::qWait(pollMs);
  }
  return true;
}

// The stand-in services of the whole run, started on free ports by the first caller.
services::StandInServices& Services();
// A fresh directory under the build tree, for files a test writes.
QString NewScratchDirectory(const QString& prefix);

// Answers every message box in place of the user (the next scripted answer, OK when none
// is left) and keeps what was shown. Message boxes are shown on the window thread only.
struct MessageAnswers {
  std::vector<MessageRequest> shown;
  std::deque<MessageAnswer> script;

  MessageAnswers();
  ~MessageAnswers();
  MessageAnswers(const MessageAnswers&) = delete;
  MessageAnswers& operator=(const MessageAnswers&) = delete;
  // The texts shown so far, "caption|text" each.
  QStringList Texts() const;
};

// The window's port, counting the cache clears that come before every resolution and
// keeping every address given to a browser, as given.
class E2eControls : public QtControls {
 public:
  void ClearWebCache() override;
  void Navigate(std::string_view browser, const std::string& address) override;
  // The addresses given to `browser`, oldest first, in UTF-8.
  QStringList Navigations(std::string_view browser);
  std::atomic<int> cacheClears{0};

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> navigations_;
};

class ProgramWindow {
 public:
  explicit ProgramWindow(Settings settings);
  ~ProgramWindow();
  ProgramWindow(const ProgramWindow&) = delete;
  ProgramWindow& operator=(const ProgramWindow&) = delete;

  // Shows the window and runs its created event, as the program's entry does; true once the
  // information page has been read (the latest version is shown).
  bool Start();

  E2eControls& Ui() { return *ui_; }
  Program& State() { return *program_; }
  MainWindow& Window() { return *window_; }
  Shell& TheShell() { return *shell_; }
  MessageAnswers& Messages() { return messages_; }

  template <class T = QWidget>
  T* Control(std::string_view name) const {
    return window_->Control<T>(name);
  }
  QWebEngineView* Browser(std::string_view name) const;
  // Edit box content, label caption or button caption, as the widget shows it.
  QString Text(std::string_view name) const;
  int CurrentTab() const;
  int Rows(std::string_view list) const;
  QString Cell(std::string_view list, int row, int column) const;

  void Click(std::string_view button);
  void PressLabel(std::string_view label);
  void ClickToolbar(int index);
  // Replaces an edit box's content as typing would.
  void Type(std::string_view editBox, const QString& text);
  void ChooseSite(int index);
  void DoubleClickRow(std::string_view list, int row);
  void RightClickRow(std::string_view list, int row);
  // Chooses an entry of a popup menu that is shown; false when the menu is not up.
  bool ChooseMenuEntry(std::string_view menu, std::string_view entry);

  // "http://" + the publisher's host + path.
  QString PublisherPage(const QString& path) const;

 private:
  MessageAnswers messages_;
  // The port and the state stay alive after the window is gone: workers of this window may
  // still hold them (as in the program, where they are never destroyed).
  E2eControls* ui_;
  Program* program_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<Shell> shell_;
};

// Waits until the browser shows a page whose address starts with `addressPrefix` and whose
// video element is really playing: the page reports it in its title, and the element's
// clock has moved. On failure `why` tells what the page showed.
bool WaitForPlaying(QWebEngineView* view, const QString& addressPrefix, QString* why,
                    int timeoutMs = 30000);
// Waits until the browser has loaded a page at exactly `address` with the title `title`.
bool WaitForPage(QWebEngineView* view, const QString& address, const QString& title,
                 int timeoutMs = 15000);
// Runs a script in the browser's page and waits for its result.
QVariant RunScript(QWebEngineView* view, const QString& script, int timeoutMs = 10000);

}  // namespace morvane::e2e
