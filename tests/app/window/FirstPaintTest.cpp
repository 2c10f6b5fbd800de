// Start-up: the main window is on the screen before the information page is read on the
// window thread, however long the publisher's server keeps silent.

#include <QTest>
#include <QWindow>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/HistoryFile.h"
#include "app/window/FirstPaint.h"
#include "tests/support/ResolutionService.h"
#include "tests/app/window/WindowFixture.h"
#include "update/Cipher.h"
#include "update/RemoteTexts.h"

namespace morvane::testing {
namespace {

// Notes, on the window thread, when the window is first painted and whether it was
// exposed then.
class PaintSpy : public QObject {
 public:
  PaintSpy(QWidget& window, std::atomic<bool>& painted, std::atomic<bool>& exposed)
      : window_(window), painted_(painted), exposed_(exposed) {
    window.installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == &window_ && event->type() == QEvent::Paint && !painted_) {
      exposed_ = window_.windowHandle() && window_.windowHandle()->isExposed();
      painted_ = true;
    }
    return false;
  }

 private:
  QWidget& window_;
  std::atomic<bool>& painted_;
  std::atomic<bool>& exposed_;
};

}  // namespace

class FirstPaintTest : public QObject {
  Q_OBJECT

 private slots:
  void windowIsPaintedBeforeTheInformationPageIsRead() {
    std::atomic<bool> painted{false};
    std::atomic<bool> exposed{false};
    std::atomic<int> requests{0};
    std::atomic<bool> paintedAtRequest{false};
    std::atomic<bool> exposedAtRequest{false};
    // A publisher that keeps silent for a while: the window thread waits in the read.
    ResolutionService publisher([&](const std::string&) {
      paintedAtRequest = painted.load();
      exposedAtRequest = exposed.load();
      ++requests;
      std::this_thread::sleep_for(std::chrono::seconds(1));
      return std::string();
    });
    Settings settings = WindowTestSettings();
    settings.infoPageStored = EncipherText("http://" + publisher.host() + "/info.html", "");

    MessageRecorder messages;
    // Port and state outlive the test: LoadInfoPage leaves a history-load worker behind.
    auto* ui = new QtControls;
    auto* program = new Program(*ui, settings);
    {
      MainWindow window(program->settings);
      ui->AddWindow(&window);
      PaintSpy spy(window, painted, exposed);
      std::atomic<bool> read{false};
      ShowThenRunAfterFirstPaint(window, [&] {
        LoadInfoPage(*program, LoadHistory);
        read = true;
      });
      QTRY_VERIFY_WITH_TIMEOUT(read.load(), 60000);
      QCOMPARE(requests.load(), 1);
      QVERIFY(paintedAtRequest.load());
      QVERIFY(exposedAtRequest.load());
      QCOMPARE(messages.shown.size(), std::size_t{1});
      QCOMPARE(messages.shown[0].text, QStringLiteral("网络连接失败"));
      ui->Close();
    }
  }
};

}  // namespace morvane::testing

QObject* NewFirstPaintTest() {
  return new morvane::testing::FirstPaintTest;
}

#include "FirstPaintTest.moc"
