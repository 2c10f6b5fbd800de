#pragma once
// The main window as the form describes it: every control with its design name as
// objectName, position, texts, columns, fonts and initial state. What the events do is
// bound elsewhere (Bindings); this class only raises them.

#include <QMenu>
#include <QPoint>
#include <QWidget>

#include "platform/Settings.h"
#include "platform/qt/QtText.h"

namespace morvane {

class MainWindow : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kWidth = 960;
  static constexpr int kHeight = 608;
  // Height of the dark strip along the top of the window and of every page: the window is
  // dragged by it.
  static constexpr int kTopStrip = 23;

  explicit MainWindow(const Settings& settings, QWidget* parent = nullptr);

  // The control of a design name (UTF-8), or null.
  template <class T = QWidget>
  T* Control(std::string_view name) const {
    return findChild<T*>(NameToQt(name));
  }
  QMenu* Menu(std::string_view name) const { return findChild<QMenu*>(NameToQt(name)); }
  // The entry of a popup menu by its text.
  QAction* MenuEntry(std::string_view menu, std::string_view entry) const;

 signals:
  // The size or state changed, minimising included.
  void sizeChanged();
  // The window system asked the window to close.
  void closeRequested();

 protected:
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildTitleAndStatus(const Settings& settings);
  QWidget* BuildPlaybackPage(const Settings& settings);
  QWidget* BuildSearchPage(const Settings& settings);
  QWidget* BuildLibraryPage();
  QWidget* BuildLiveTvPage();
  void BuildMenus();
  QWidget* NewPage();

  QPoint dragOffset_;
  bool dragging_ = false;
};

}  // namespace morvane
