#include "app/window/Bindings.h"

#include <QAction>
#include <QPushButton>

#include "app/Forum.h"
#include "app/HistoryFile.h"
#include "app/Playback.h"
#include "app/ResultActions.h"
#include "app/TorrentImport.h"
#include "app/window/FormControls.h"
#include "app/window/MainWindow.h"
#include "app/window/Shell.h"
#include "platform/Worker.h"
#include "search/SearchController.h"
#include "update/RemoteTexts.h"
#include "update/VersionCheck.h"

namespace morvane {
namespace {

// Handlers run one at a time on the window thread; those marked "worker" only start one.
template <class F>
void OnClick(MainWindow& window, std::string_view button, F handler) {
  if (auto* b = window.Control<QPushButton>(button))
    QObject::connect(b, &QPushButton::clicked, &window, [handler] { handler(); });
}

template <class F>
void OnPress(MainWindow& window, std::string_view label, F handler) {
  if (auto* l = window.Control<TransparentLabel>(label))
    QObject::connect(l, &TransparentLabel::leftButtonPressed, &window, [handler] { handler(); });
}

template <class F>
void OnEntry(MainWindow& window, std::string_view menu, std::string_view entry, F handler) {
  if (QAction* action = window.MenuEntry(menu, entry))
    QObject::connect(action, &QAction::triggered, &window, [handler] { handler(); });
}

template <class F>
void OnList(MainWindow& window, std::string_view list, void (ReportList::*event)(), F handler) {
  if (auto* l = window.Control<ReportList>(list))
    QObject::connect(l, event, &window, [handler] { handler(); });
}

template <class F>
void OnDoubleClick(MainWindow& window, std::string_view list, F handler) {
  if (auto* l = window.Control<ReportList>(list))
    QObject::connect(l, &ReportList::doubleClicked, &window, [handler] { handler(); });
}

}  // namespace

void BindEvents(MainWindow& window, Shell& shell, Program& program) {
  Program* p = &program;

  // The main window and the notification area.
  QObject::connect(&window, &MainWindow::sizeChanged, &shell,
                   [&shell] { shell.OnMainWindowResized(); });
  QObject::connect(&window, &MainWindow::closeRequested, &shell, [&shell] { shell.ExitProgram(); });
  OnPress(window, "透明标签3", [&shell] { shell.MinimizeToTray(); });
  OnPress(window, "透明标签4", [&shell] { shell.AskExit(); });
  OnEntry(window, "菜单设置", "显示", [&shell] { shell.ShowMainWindow(); });
  OnEntry(window, "菜单设置", "退出", [&shell] { shell.ExitProgram(); });

  // Status strip and toolbar.
  OnPress(window, "透明标签8", [p] { OpenForum(*p); });
  OnClick(window, "超级按钮9", [p] { StartWorker([p] { CheckVersion(*p); }); });
  if (auto* toolbar = window.Control<PictureToolbar>("工具条1"))
    QObject::connect(toolbar, &PictureToolbar::buttonClicked, &window,
                     [p](int index) { SwitchTab(*p, index); });

  // Page 0, online playback, and the play history with its menu "小菜单".
  OnClick(window, "超级按钮1", [p] { StartPlayback(*p); });
  OnClick(window, "超级按钮2", [p] { PlayRandomLink(*p, StartPlayback); });
  OnClick(window, "超级按钮3", [p] { ImportTorrentFile(*p); });
  OnClick(window, "超级按钮8", [p] { ShowPlaceholderPage(*p, "超文本浏览框1"); });
  OnDoubleClick(window, "超级列表框3", [p] { PlaySelectedHistory(*p); });
  OnList(window, "超级列表框3", &ReportList::rightClicked, [p] { ShowHistoryMenu(*p); });
  OnEntry(window, "小菜单", "播放", [p] { PlaySelectedHistory(*p); });
  OnEntry(window, "小菜单", "删除", [p] { DeleteHistoryRow(*p); });
  OnEntry(window, "小菜单", "全部保存", [p] { SaveHistory(*p); });

  // Page 1, torrent search, and the result menu "菜单".
  OnClick(window, "超级按钮5", [p] { StartSearch(*p); });
  OnClick(window, "超级按钮6", [p] { StartWorker([p] { SearchRandomKeyword(*p, SearchWorker); }); });
  OnClick(window, "超级按钮7", [p] { StartLoadMore(*p); });
  OnDoubleClick(window, "超级列表框1", [p] { PlaySelectedResult(*p); });
  OnList(window, "超级列表框1", &ReportList::rightClicked, [p] { ShowResultMenu(*p); });
  OnEntry(window, "菜单", "在线播放", [p] { PlaySelectedResult(*p); });
  OnEntry(window, "菜单", "复制", [p] { CopyResultLink(*p); });
  OnEntry(window, "菜单", "下载", [p] { CopyResultLink(*p); });

  // Page 2, HD film library; page 3, live TV.
  OnClick(window, "超级按钮10", [p] { PlayLibraryPage(*p); });
  OnClick(window, "超级按钮11", [p] { ShowPlaceholderPage(*p, "高清影库浏览框"); });
  OnClick(window, "超级按钮4", [p] { ShowPlaceholderPage(*p, "电视直播浏览框"); });
}

}  // namespace morvane
