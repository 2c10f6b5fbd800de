#include "app/window/FirstPaint.h"

#include <QEvent>
#include <QPointer>
#include <QTimer>

namespace morvane {
namespace {

// Watches the window for its first paint event. The window system paints an exposed window
// and hands the picture to the screen in one go, so a step queued from the paint event
// runs only after the picture is out.
class FirstPaintWatcher : public QObject {
 public:
  FirstPaintWatcher(QWidget& window, std::function<void()> step)
      : QObject(&window), window_(&window), step_(std::move(step)) {
    window.installEventFilter(this);
    QTimer::singleShot(kLongestWaitForFirstPaint, this, [this] { Queue(); });
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == window_ && event->type() == QEvent::Paint) Queue();
    return false;
  }

 private:
  void Queue() {
    if (queued_) return;
    queued_ = true;
    if (window_) window_->removeEventFilter(this);
    QMetaObject::invokeMethod(
        this,
        [this] {
          const std::function<void()> step = std::move(step_);
          deleteLater();
          step();
        },
        Qt::QueuedConnection);
  }

  QPointer<QWidget> window_;
  std::function<void()> step_;
  bool queued_ = false;
};

}  // namespace

void ShowThenRunAfterFirstPaint(QWidget& window, std::function<void()> step) {
  new FirstPaintWatcher(window, std::move(step));
  window.show();
}

}  // namespace morvane
