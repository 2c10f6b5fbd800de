#include "app/window/FormControls.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QToolButton>

namespace morvane {

TransparentLabel::TransparentLabel(QWidget* parent) : CaptionLabel(parent) {
  setAttribute(Qt::WA_TranslucentBackground);
  setAutoFillBackground(false);
}

void TransparentLabel::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    event->accept();
    emit leftButtonPressed(event->position().toPoint(), event->modifiers());
    return;
  }
  CaptionLabel::mousePressEvent(event);
}

void CaptionLabel::paintEvent(QPaintEvent* event) {
  if (lineStep_ <= 0) return QLabel::paintEvent(event);
  QPainter p(this);
  QStyleOption option;
  option.initFrom(this);
  style()->drawPrimitive(QStyle::PE_Widget, &option, &p, this);
  p.setPen(palette().color(foregroundRole()));
  p.setFont(font());
  const QStringList lines = text().split(QLatin1Char('\n'));
  const int horizontal = static_cast<int>(alignment() & Qt::AlignHorizontal_Mask);
  for (int i = 0; i < lines.size(); ++i)
    p.drawText(QRect(0, i * lineStep_, width(), lineStep_), horizontal | Qt::AlignVCenter,
               lines[i]);
}

FittingLabel::FittingLabel(QWidget* parent) : QLabel(parent) {
  // Measured as plain text: a speed is never markup.
  setTextFormat(Qt::PlainText);
}

QFont FittingLabel::FittedFont() const {
  QFont fitted = font();
  const qreal room = contentsRect().width() - 2 * margin();
  int pixels = fitted.pixelSize() > 0 ? fitted.pixelSize() : QFontInfo(fitted).pixelSize();
  while (pixels > 1 && QFontMetricsF(fitted).horizontalAdvance(text()) > room)
    fitted.setPixelSize(--pixels);
  return fitted;
}

void FittingLabel::paintEvent(QPaintEvent* event) {
  const QFont fitted = FittedFont();
  if (fitted == font()) return QLabel::paintEvent(event);
  QPainter p(this);
  p.setFont(fitted);
  style()->drawItemText(&p, contentsRect().adjusted(margin(), margin(), -margin(), -margin()),
                        static_cast<int>(QStyle::visualAlignment(layoutDirection(), alignment())),
                        palette(), isEnabled(), text(), foregroundRole());
}

ReportList::ReportList(QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setContextMenuPolicy(Qt::PreventContextMenu);
  setAllColumnsShowFocus(true);
  header()->setStretchLastSection(false);
  header()->setMinimumSectionSize(0);
  header()->setSectionsMovable(false);
}

void ReportList::SetColumns(const QStringList& headers, const QList<int>& widths) {
  setColumnCount(static_cast<int>(headers.size()));
  setHeaderLabels(headers);
  for (int i = 0; i < headers.size() && i < widths.size(); ++i) {
    header()->resizeSection(i, widths[i]);
    // A hidden column stays hidden: the user cannot drag it open by accident.
    if (widths[i] == 0) header()->setSectionResizeMode(i, QHeaderView::Fixed);
  }
}

void ReportList::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    if (QTreeWidgetItem* item = itemAt(event->position().toPoint())) {
      setCurrentItem(item);
      item->setSelected(true);
    }
    event->accept();
    return;
  }
  QTreeWidget::mousePressEvent(event);
}

void ReportList::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    event->accept();
    emit rightClicked();
    return;
  }
  QTreeWidget::mouseReleaseEvent(event);
}

void ReportList::mouseDoubleClickEvent(QMouseEvent* event) {
  QTreeWidget::mouseDoubleClickEvent(event);
  if (event->button() == Qt::LeftButton)
    emit doubleClicked(event->position().toPoint(), event->modifiers());
}

PictureToolbar::PictureToolbar(const QList<QPixmap>& pictures, QWidget* parent) : QWidget(parent) {
  // The pictures carry white writing for the dark strip: keep the strip behind them.
  setStyleSheet(
      QStringLiteral("QToolButton { border: none; background: transparent; }"
                     "QToolButton:hover { background: rgba(255, 255, 255, 40); }"
                     "QToolButton:pressed { background: rgba(0, 0, 0, 70); }"));
  int x = 0;
  for (int i = 0; i < pictures.size(); ++i) {
    auto* button = new QToolButton(this);
    button->setIcon(pictures[i]);
    button->setIconSize(pictures[i].size());
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setGeometry(x, 0, pictures[i].width(), pictures[i].height());
    x += pictures[i].width();
    connect(button, &QToolButton::clicked, this, [this, i] { emit buttonClicked(i); });
  }
}

UprightButton::UprightButton(QWidget* parent) : QPushButton(parent) {
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::NoFocus);
}

void UprightButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), isDown() ? QColor(0x2a, 0x2a, 0x2a) : QColor(0x55, 0x55, 0x55));
  p.setPen(Qt::white);
  p.setFont(font());
  const QString caption = text();
  const int lineHeight = fontMetrics().height();
  const int top = (height() - lineHeight * static_cast<int>(caption.size())) / 2;
  for (int i = 0; i < caption.size(); ++i)
    p.drawText(QRect(0, top + i * lineHeight, width(), lineHeight), Qt::AlignCenter,
               caption.mid(i, 1));
}

BusyPicture::BusyPicture(QWidget* parent) : QWidget(parent) {
  timer_.setInterval(90);
  connect(&timer_, &QTimer::timeout, this, [this] {
    ++step_;
    update();
  });
}

void BusyPicture::paintEvent(QPaintEvent*) {
  constexpr int kBlocks = 12;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const double cell = static_cast<double>(width()) / kBlocks;
  for (int i = 0; i < kBlocks; ++i) {
    const int distance = (step_ - i + kBlocks * 100) % kBlocks;
    QColor colour(0x3d, 0x9b, 0xe9);
    colour.setAlphaF(distance < 4 ? 1.0 - distance * 0.22 : 0.15);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawRoundedRect(QRectF(i * cell + 2, 4, cell - 4, height() - 8), 2, 2);
  }
}

void BusyPicture::showEvent(QShowEvent* event) {
  timer_.start();
  QWidget::showEvent(event);
}

void BusyPicture::hideEvent(QHideEvent* event) {
  timer_.stop();
  QWidget::hideEvent(event);
}

}  // namespace morvane
