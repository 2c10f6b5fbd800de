#pragma once
// The shell's own handlers: the exit question, the exit, and taking the main window to and
// from the notification area.

#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

#include "platform/Program.h"

namespace morvane {

class MainWindow;

class Shell : public QObject {
  Q_OBJECT
 public:
  // What happened on the notification-area icon.
  enum class TrayEvent {
    LeftButtonReleased,   // shows the main window again
    DoubleClick,          // does nothing
    RightButtonReleased,  // opens the menu "菜单设置" beside the mouse
  };

  Shell(MainWindow& window, Program& program);

  void AskExit();
  void ExitProgram();
  void MinimizeToTray();
  void OnMainWindowResized();
  void OnTrayEvent(TrayEvent event);
  void ShowMainWindow();

  QSystemTrayIcon& Tray() { return tray_; }
  // Whether the desktop has a notification area to hide in (replaceable for tests).
  std::function<bool()> trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
  // Where OnTrayEvent(RightButtonReleased) puts the menu "菜单设置" for a mouse position: its right edge 5
  // pixels left of the mouse, its top edge 5 pixels above it.
  static QPoint TrayMenuPosition(QPoint mouse, QSize menuSize);

 signals:
  // The main window is gone; the event loop should end.
  void exitRequested();

 private:
  MainWindow& window_;
  Program& program_;
  QSystemTrayIcon tray_;
  bool ending_ = false;
  bool minimised_ = false;  // the state the last size change left the window in
};

}  // namespace morvane
