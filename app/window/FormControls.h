#pragma once
// The form's extended controls: the widget kinds that plain Qt widgets do not cover as
// designed.

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>

namespace morvane {

// A caption of several lines that must fit a fixed height: its lines are laid out a fixed
// number of pixels apart instead of at the font's own spacing (0 keeps the font's).
class CaptionLabel : public QLabel {
  Q_OBJECT
 public:
  explicit CaptionLabel(QWidget* parent = nullptr) : QLabel(parent) {}
  void SetLineStep(int pixels) { lineStep_ = pixels; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int lineStep_ = 0;
};

// A caption without background that reacts when the left button goes down on it (not when
// it is released): the "-" and "×" of the title area and the forum link.
class TransparentLabel : public CaptionLabel {
  Q_OBJECT
 public:
  explicit TransparentLabel(QWidget* parent = nullptr);
 signals:
  void leftButtonPressed(QPoint position, Qt::KeyboardModifiers modifiers);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

// A one-line caption that always shows its whole text in its designed place: a text that
// would run past the label's right edge is drawn in a smaller size of the label's font.
// The update window's speed grows longer with the speed, and its place is narrow.
class FittingLabel : public QLabel {
  Q_OBJECT
 public:
  explicit FittingLabel(QWidget* parent = nullptr);
  // The font the text is drawn in: the label's own when the text fits, else the largest
  // smaller pixel size in which it does.
  QFont FittedFont() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A report list: whole-row selection, one text per column. A right click first selects the
// row under the mouse (when there is one), then raises rightClicked; a double click
// anywhere raises doubleClicked.
class ReportList : public QTreeWidget {
  Q_OBJECT
 public:
  explicit ReportList(QWidget* parent = nullptr);
  // Columns with their headers and widths; a width of 0 hides a column the program reads.
  void SetColumns(const QStringList& headers, const QList<int>& widths);
 signals:
  void doubleClicked(QPoint position, Qt::KeyboardModifiers modifiers);
  void rightClicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};

// A row of picture buttons; a click reports the button's 0-based index.
class PictureToolbar : public QWidget {
  Q_OBJECT
 public:
  PictureToolbar(const QList<QPixmap>& pictures, QWidget* parent = nullptr);
 signals:
  void buttonClicked(int index);
};

// A narrow button whose caption runs top to bottom, one character under the other; its
// text stays the caption as written.
class UprightButton : public QPushButton {
  Q_OBJECT
 public:
  explicit UprightButton(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// The busy animation: a run of blocks with a light travelling along it, moving only while
// it is shown.
class BusyPicture : public QWidget {
  Q_OBJECT
 public:
  explicit BusyPicture(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QTimer timer_;
  int step_ = 0;
};

}  // namespace morvane
