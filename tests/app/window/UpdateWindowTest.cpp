// What the user sees of an update: the speed label of the update window, and the question
// that a click on the arrow asks.

#include <QApplication>
#include <QFontMetricsF>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <atomic>
#include <thread>

#include "app/window/FormControls.h"
#include "tests/app/window/WindowFixture.h"
#include "update/UpdateDownload.h"

namespace morvane::testing {
namespace {

QList<QMessageBox*> OpenMessageBoxes() {
  QList<QMessageBox*> boxes;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) boxes << box;
  return boxes;
}

int OpenBoxCount() {
  return static_cast<int>(OpenMessageBoxes().size());
}

// The update window as the version check opens it, from a worker that waits until it is
// gone; closed when the case ends, however it ends.
class UpdateWindowFromAWorker {
 public:
  explicit UpdateWindowFromAWorker(QtControls& ui)
      : ui_(ui), worker_([this] {
          ui_.OpenUpdateWindow([this] { created_ = true; }, [] {});
          gone_ = true;
        }) {}
  ~UpdateWindowFromAWorker() {
    (void)QTest::qWaitFor([&] { return created_.load(); }, 10000);
    if (QWidget* window = ui_.Find("更新窗口")) window->close();
    (void)QTest::qWaitFor([&] { return gone_.load(); }, 10000);
    worker_.join();
  }
  bool Created() const { return created_; }

 private:
  QtControls& ui_;
  std::atomic<bool> created_{false};
  std::atomic<bool> gone_{false};
  std::thread worker_;
};

}  // namespace

class UpdateWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<WindowFixture> f;

 private slots:
  void init() { f = std::make_unique<WindowFixture>(); }
  void cleanup() { f.reset(); }

  // The speed the download reports, from the first read to the fastest a download can
  // go (the largest file in a millisecond): the label keeps its place and its text, and
  // the text fits the label.
  void speedLabelShowsItsWholeText_data() {
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("elapsed");
    QTest::addColumn<QString>("speed");
    QTest::newRow("first read") << qint64{10240} << qint64{0} << QStringLiteral("1000KB/秒");
    QTest::newRow("a slow line") << qint64{5000} << qint64{1000} << QStringLiteral("4.88KB/秒");
    QTest::newRow("loopback") << qint64{3'004'897} << qint64{1000}
                              << QStringLiteral("2934.47KB/秒");
    QTest::newRow("3 GB/s") << qint64{1'500'000'000} << qint64{500}
                            << QStringLiteral("2929687.5KB/秒");
    QTest::newRow("the largest file in a millisecond")
        << qint64{2'147'483'647} << qint64{1} << QStringLiteral("2097151999.02KB/秒");
  }
  void speedLabelShowsItsWholeText() {
    QFETCH(qint64, received);
    QFETCH(qint64, elapsed);
    QFETCH(QString, speed);
    const UpdateWindowFromAWorker window(f->ui);
    QTRY_VERIFY(window.Created());
    auto* label = f->ui.Find("标签_下载速度");
    auto* fitting = qobject_cast<FittingLabel*>(label);
    QVERIFY(fitting);
    QCOMPARE(fitting->FittedFont(), fitting->font());  // "0 KB/秒" as designed

    ShowDownloadProgress(f->program, 2'147'483'647, received, elapsed, received);
    QTRY_COMPARE(f->Text("标签_下载速度"), speed);
    QCOMPARE(fitting->geometry(), QRect(218, 26, 70, 13));
    const qreal wide = QFontMetricsF(fitting->FittedFont()).horizontalAdvance(fitting->text());
    QVERIFY2(wide <= fitting->contentsRect().width(),
             qPrintable(QStringLiteral("%1 px wide in %2").arg(wide).arg(fitting->width())));
  }

  // While the question of one click is open, a second click on the arrow asks nothing
  // more; once it is answered, a click asks again.
  void oneUpdateQuestionAtATime() {
    SetMessageHook(nullptr);  // real boxes, which stay open until pressed
    auto* arrow = f->window.Control<QPushButton>("超级按钮9");
    QVERIFY(arrow);
    arrow->click();
    QTRY_COMPARE(OpenBoxCount(), 1);
    QCOMPARE(OpenMessageBoxes().front()->windowTitle(), QStringLiteral("发现新版本"));
    arrow->click();
    // The version page of this window cannot be read, so a second check would ask at once.
    QTest::qWait(1500);
    QCOMPARE(OpenBoxCount(), 1);

    OpenMessageBoxes().front()->button(QMessageBox::Cancel)->click();
    QTRY_COMPARE(OpenBoxCount(), 0);
    arrow->click();
    QTRY_COMPARE(OpenBoxCount(), 1);
    OpenMessageBoxes().front()->button(QMessageBox::Cancel)->click();
    QTRY_COMPARE(OpenBoxCount(), 0);
  }
};

}  // namespace morvane::testing

QObject* NewUpdateWindowTest() {
  return new morvane::testing::UpdateWindowTest;
}

#include "UpdateWindowTest.moc"
