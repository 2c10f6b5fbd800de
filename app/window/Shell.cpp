#include "app/window/Shell.h"

#include <QCursor>
#include <QMenu>
#include <utility>

#include "app/window/MainWindow.h"
#include "app/window/Pictures.h"
#include "web/Text.h"

namespace morvane {

Shell::Shell(MainWindow& window, Program& program) : window_(window), program_(program) {
  connect(&tray_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            switch (reason) {
              case QSystemTrayIcon::Trigger:
                OnTrayEvent(TrayEvent::LeftButtonReleased);
                break;
              case QSystemTrayIcon::DoubleClick:
                OnTrayEvent(TrayEvent::DoubleClick);
                break;
              case QSystemTrayIcon::Context:
                OnTrayEvent(TrayEvent::RightButtonReleased);
                break;
              default:
                break;
            }
          });
}

void Shell::AskExit() {
  const MessageAnswer answer =
      program_.ui.ShowMessage(Gbk("是否退出Morvane"), Gbk("信息："), MessageButtons::OkCancel,
                              MessageIcon::Information);
  if (answer == MessageAnswer::Ok) ExitProgram();
}

void Shell::ExitProgram() {
  // The play history is not saved here; only "全部保存" writes it.
  if (ending_) return;
  ending_ = true;
  window_.hide();
  tray_.hide();
  emit exitRequested();
}

void Shell::MinimizeToTray() {
  window_.setWindowState(window_.windowState() | Qt::WindowMinimized);
}

void Shell::OnMainWindowResized() {
  // Only the step into the minimised state hides the window: "显示" shows it while it is
  // still minimised, and the window system may report that state again.
  const bool minimised = window_.windowState() & Qt::WindowMinimized;
  const bool wasMinimised = std::exchange(minimised_, minimised);
  if (ending_ || !minimised || wasMinimised) return;
  // Without a notification area a hidden window could never be brought back: it then
  // stays minimised with its taskbar button.
  if (!trayAvailable()) return;
  window_.hide();
  tray_.setIcon(ProgramIcon());
  tray_.setToolTip(QStringLiteral("Morvane"));
  tray_.show();
}

void Shell::OnTrayEvent(TrayEvent event) {
  if (event == TrayEvent::LeftButtonReleased) {
    window_.show();
    window_.setWindowState(window_.windowState() & ~Qt::WindowMinimized);
    window_.raise();
    window_.activateWindow();
  } else if (event == TrayEvent::RightButtonReleased) {
    window_.raise();
    window_.activateWindow();
    if (QMenu* menu = window_.Menu("菜单设置"))
      menu->popup(TrayMenuPosition(QCursor::pos(), menu->sizeHint()));
  }
}

QPoint Shell::TrayMenuPosition(QPoint mouse, QSize menuSize) {
  return QPoint(mouse.x() - 5 - menuSize.width(), mouse.y() - 5);
}

void Shell::ShowMainWindow() {
  // Visible again, but still minimised when it was: the taskbar button comes back.
  const Qt::WindowStates state = window_.windowState();
  window_.show();
  window_.setWindowState(state);
}

}  // namespace morvane
