#include "app/window/UpdateWindow.h"

#include <QLabel>
#include <QProgressBar>

#include "app/window/FormControls.h"
#include "app/window/Pictures.h"
#include "platform/qt/DesignFonts.h"

namespace morvane {
namespace {

template <class LabelKind = QLabel>
LabelKind* Label(QWidget* parent, const char* name, int left, int top, int width, int height,
                 const QString& text) {
  auto* label = new LabelKind(parent);
  label->setText(text);
  label->setObjectName(QString::fromUtf8(name));
  label->setGeometry(left, top, width, height);
  return label;
}

}  // namespace

UpdateWindow::UpdateWindow(QWidget* parent) : QWidget(parent, Qt::Dialog) {
  setObjectName(QStringLiteral("更新窗口"));
  setWindowTitle(QStringLiteral("发现新版本，正在自动更新……"));
  setWindowIcon(ProgramIcon());
  setFont(DefaultFont());
  // The main window is hidden while this one is up; nothing else may take input.
  setWindowModality(Qt::ApplicationModal);
  setFixedSize(296, 75);
  move(50, 50);

  auto* bar = new QProgressBar(this);
  bar->setObjectName(QStringLiteral("进度条1"));
  bar->setGeometry(3, 4, 285, 20);
  bar->setRange(0, 10000);
  bar->setValue(0);
  bar->setTextVisible(false);
  bar->setStyleSheet(
      QStringLiteral("QProgressBar { border: 1px solid #9a9a9a; background: #f0f0f0; }"
                     "QProgressBar::chunk { background: rgb(0, 255, 0); }"));

  Label(this, "标签_已完成百分比", 3, 24, 240, 16, QStringLiteral("已完成：0%"));
  Label(this, "标签_总大小", 157, 24, 60, 16, QStringLiteral("0.00MB"));
  // At loopback speeds the figure outgrows the designed 70 pixels.
  Label<FittingLabel>(this, "标签_下载速度", 218, 26, 70, 13, QStringLiteral("0 KB/秒"));
}

}  // namespace morvane
