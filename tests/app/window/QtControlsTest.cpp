// The port over real widgets: list and text semantics, calls from workers, message boxes
// that keep the window usable, the file dialog, the update window, and the closed port.

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTest>
#include <QThread>
#include <QTreeWidget>
#include <QTimer>
#include <QWebEngineView>
#include <atomic>
#include <thread>

#include "app/HistoryFile.h"
#include "platform/Files.h"
#include "platform/Worker.h"
#include "platform/qt/LoopbackCertificates.h"
#include "tests/support/ScratchFolder.h"
#include "tests/app/window/WindowFixture.h"

namespace morvane::testing {
namespace {

// A worker for the test: runs `work` on its own thread; the window thread keeps handling
// events until it has finished.
class Worker {
 public:
  template <class F>
  explicit Worker(F work)
      : thread_([this, work] {
          work();
          done_ = true;
        }) {}
  ~Worker() { thread_.join(); }
  bool Done() const { return done_; }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

QMessageBox* OpenMessageBox() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box && box->isVisible()) return box;
  }
  return nullptr;
}

QWidget* UpdateWindowShown() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == QStringLiteral("更新窗口") && w->isVisible()) return w;
  return nullptr;
}

}  // namespace

class QtControlsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<WindowFixture> f;
  QtControls& Ui() { return f->ui; }

 private slots:
  void init() { f = std::make_unique<WindowFixture>(); }
  void cleanup() { f.reset(); }

  void listOperations() {
    const std::string list = "超级列表框3";
    QCOMPARE(Ui().InsertRow(list, -1), 0);
    QCOMPARE(Ui().InsertRow(list, 7), 1);  // past the end: at the end
    QCOMPARE(Ui().InsertRow(list, 0), 0);
    Ui().SetCell(list, 0, 0, "first");
    Ui().SetCell(list, 2, 0, "last");
    Ui().SetCell(list, 3, 0, "nowhere");
    Ui().SetCell(list, 0, 1, "no such column");
    QCOMPARE(Ui().RowCount(list), 3);
    QCOMPARE(Ui().Cell(list, 0, 0), std::string("first"));
    QCOMPARE(Ui().Cell(list, 2, 0), std::string("last"));
    QCOMPARE(Ui().Cell(list, 3, 0), std::string());
    QCOMPARE(Ui().Cell(list, -1, 0), std::string());
    QCOMPARE(Ui().Cell(list, 0, 5), std::string());

    QCOMPARE(Ui().SelectedIndex(list), -1);
    Ui().SetSelectedIndex(list, 2);
    QCOMPARE(Ui().SelectedIndex(list), 2);
    Ui().SetSelectedIndex(list, -1);
    QCOMPARE(Ui().SelectedIndex(list), -1);

    Ui().DeleteRow(list, 9);
    QCOMPARE(Ui().RowCount(list), 3);
    Ui().DeleteRow(list, 0);
    QCOMPARE(Ui().Cell(list, 0, 0), std::string());
    QCOMPARE(Ui().Cell(list, 1, 0), std::string("last"));
    Ui().DeleteAllRows(list);
    QCOMPARE(Ui().RowCount(list), 0);
  }

  // Short rows leave the missing columns empty; long rows lose what has no column.
  void appendRowsInOneBatch() {
    std::vector<Row> rows;
    for (int i = 0; i < 2000; ++i)
      rows.push_back({std::to_string(i + 1), Gbk("种子") + std::to_string(i),
                      "magnet:?xt=urn:btih:" + std::to_string(i), "1MB"});
    rows.push_back({"short"});
    rows.push_back({"1", "2", "3", "4", "5"});
    Ui().AppendRows("超级列表框1", rows);
    QCOMPARE(Ui().RowCount("超级列表框1"), 2002);
    QCOMPARE(Ui().Cell("超级列表框1", 1999, 1), Gbk("种子1999"));
    QCOMPARE(Ui().Cell("超级列表框1", 2000, 0), std::string("short"));
    QCOMPARE(Ui().Cell("超级列表框1", 2000, 3), std::string());
    QCOMPARE(Ui().Cell("超级列表框1", 2001, 3), std::string("4"));
  }

  void textsCrossTheBorderAsGbk() {
    const std::string local = Gbk("中国合伙人 € ×");
    Ui().SetText("编辑框_种子关键字", local);
    QCOMPARE(Ui().Text("编辑框_种子关键字"), local);
    QCOMPARE(f->window.Control<QLineEdit>("编辑框_种子关键字")->text(),
             QStringLiteral("中国合伙人 € ×"));
    // A name that is not a control reads empty and writes nowhere.
    Ui().SetText("无此控件", "x");
    QCOMPARE(Ui().Text("无此控件"), std::string());
    QCOMPARE(Ui().RowCount("无此控件"), 0);
    QCOMPARE(Ui().InsertRow("无此控件", 0), -1);
  }

  void navigationKeepsTheGivenAddress() {
    Ui().Navigate("高清影库浏览框", "127.0.0.1:9/page");
    QCOMPARE(Ui().Address("高清影库浏览框"), std::string("127.0.0.1:9/page"));
    auto* view = f->window.Control<QWebEngineView>("高清影库浏览框");
    QCOMPARE(view->url().scheme(), QStringLiteral("http"));
  }

  void selectedIndexOfTabsAndCombo() {
    Ui().SetSelectedIndex("高级选择夹1", 3);
    QCOMPARE(Ui().SelectedIndex("高级选择夹1"), 3);
    Ui().SetSelectedIndex("高级选择夹1", 9);  // no such page: unchanged
    QCOMPARE(Ui().SelectedIndex("高级选择夹1"), 3);
    Ui().SetSelectedIndex("组合框1", 1);
    QCOMPARE(Ui().Text("组合框1"), Gbk("BP搜索(推荐)"));
  }

  // Only a server on this machine may show a certificate that no authority signed.
  void loopbackHosts_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("loopback");
    QTest::newRow("stand-in player") << "https://127.0.0.1:47084/play" << true;
    QTest::newRow("whole 127/8") << "https://127.9.8.7/" << true;
    QTest::newRow("IPv6") << "https://[::1]:8443/" << true;
    QTest::newRow("name") << "https://LocalHost/" << true;
    QTest::newRow("name as prefix") << "https://localhost.example.org/" << false;
    QTest::newRow("address as prefix") << "https://127.0.0.1.example.org/" << false;
    QTest::newRow("private network") << "https://10.0.0.1/" << false;
    QTest::newRow("outside") << "https://example.org/" << false;
  }
  void loopbackHosts() {
    QFETCH(QString, address);
    QFETCH(bool, loopback);
    QCOMPARE(IsLoopbackHost(QUrl(address)), loopback);
  }

  // Many workers write captions and rows while the window thread goes on with its events.
  void workersWriteWhileTheWindowRuns() {
    constexpr int kWorkers = 8;
    constexpr int kRounds = 40;
    const char* labels[] = {"透明标签1", "透明标签2",    "透明标签5", "透明标签6",
                            "透明标签7", "种子结果标签", "标签5",     "标签1"};
    std::atomic<int> finished{0};
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(1);
    for (int w = 0; w < kWorkers; ++w) {
      StartWorker([&, w] {
        for (int i = 0; i < kRounds; ++i) {
          Ui().SetText(labels[w], Gbk("第") + std::to_string(i));
          Ui().AppendRows("超级列表框1", {{std::to_string(w), "a"}, {std::to_string(w), "b"}});
          const int row = Ui().InsertRow("超级列表框3", 0);
          Ui().SetCell("超级列表框3", row, 0, std::to_string(w));
          Ui().PostText("透明标签9", std::to_string(i));
          Ui().SetVisible("图片框7", i % 2 == 0);
          (void)Ui().Visible("图片框7");
          (void)Ui().Text(labels[(w + 1) % kWorkers]);
        }
        ++finished;
      });
    }
    QTRY_COMPARE_WITH_TIMEOUT(finished.load(), kWorkers, 60000);
    QCoreApplication::processEvents();
    QCOMPARE(Ui().RowCount("超级列表框1"), kWorkers * kRounds * 2);
    QCOMPARE(Ui().RowCount("超级列表框3"), kWorkers * kRounds);
    for (auto* label : labels)
      QCOMPARE(Ui().Text(label), Gbk("第") + std::to_string(kRounds - 1));
    // Posted texts reach the control with the next display frame.
    QTRY_COMPARE_WITH_TIMEOUT(Ui().Text("透明标签9"), std::to_string(kRounds - 1), 5000);
    QVERIFY(ticks > 0);
  }

  // From a worker the box is shown without holding up the window; the worker gets the
  // button that was pressed.
  void messageBoxFromAWorker_data() {
    QTest::addColumn<QMessageBox::StandardButton>("button");
    QTest::addColumn<MessageAnswer>("answer");
    QTest::newRow("OK") << QMessageBox::Ok << MessageAnswer::Ok;
    QTest::newRow("Cancel") << QMessageBox::Cancel << MessageAnswer::Cancel;
  }
  void messageBoxFromAWorker() {
    QFETCH(QMessageBox::StandardButton, button);
    QFETCH(MessageAnswer, answer);
    SetMessageHook(nullptr);  // a real box this time
    std::atomic<MessageAnswer> got{MessageAnswer::Ok};
    std::atomic<bool> otherWorkerDone{false};
    {
      Worker asker([&] {
        got = Ui().ShowMessage(Gbk("退出后将无法更新完成，是否退出？"), Gbk("询问"),
                               MessageButtons::OkCancel, MessageIcon::Question);
      });
      QTRY_VERIFY(OpenMessageBox() != nullptr);
      QMessageBox* box = OpenMessageBox();
      QCOMPARE(box->windowTitle(), QStringLiteral("询问"));
      QCOMPARE(box->text(), QStringLiteral("退出后将无法更新完成，是否退出？"));
      QCOMPARE(box->windowModality(), Qt::NonModal);
      QCOMPARE(box->button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
      QCOMPARE(box->button(QMessageBox::Cancel)->text(), QStringLiteral("取消"));
      // While the box is up, the window thread serves other workers.
      Worker writer([&] {
        Ui().SetText("种子结果标签", "x");
        otherWorkerDone = true;
      });
      QTRY_VERIFY(otherWorkerDone.load());
      QVERIFY(!asker.Done());
      box->button(button)->click();
      QTRY_VERIFY(asker.Done());
    }
    QCOMPARE(got.load(), answer);
  }

  void messageBoxOnTheWindowThreadGoesThroughTheHook() {
    f->messages.answers = {MessageAnswer::Cancel};
    QCOMPARE(Ui().ShowMessage(Gbk("网络连接失败"), Gbk("信息："), MessageButtons::OkCancel,
                              MessageIcon::None),
             MessageAnswer::Cancel);
    QCOMPARE(f->messages.shown.size(), std::size_t{1});
    QCOMPARE(f->messages.shown[0].text, QStringLiteral("网络连接失败"));
  }

  // Once the program is closing, a worker waiting for an answer gets Cancel and every
  // later call returns at once.
  void closedPortLetsWaitingWorkersGo() {
    SetMessageHook(nullptr);
    std::atomic<MessageAnswer> got{MessageAnswer::Ok};
    {
      Worker asker(
          [&] { got = Ui().ShowMessage("?", "?", MessageButtons::OkCancel, MessageIcon::None); });
      QTRY_VERIFY(OpenMessageBox() != nullptr);
      Ui().Close();
      QTRY_VERIFY(asker.Done());
      OpenMessageBox()->close();
    }
    QCOMPARE(got.load(), MessageAnswer::Cancel);
    Worker late([&] { Ui().SetText("种子结果标签", "late"); });
    QTRY_VERIFY(late.Done());
    QCOMPARE(f->window.Control<QLabel>("种子结果标签")->text(), QString());
    QCOMPARE(Ui().RowCount("超级列表框1"), 0);
  }

  // The name comes back as the file system's bytes (UTF-8 here), also with characters
  // that GBK lacks.
  void fileDialogKeepsItsLastConfirmedName() {
    QStringList filters;
    std::vector<std::optional<QString>> choices = {QStringLiteral("/tmp/种子.torrent"),
                                                   std::nullopt};
    Ui().SetFileDialogHook([&](const QString& filter) {
      filters << filter;
      auto choice = choices.front();
      choices.erase(choices.begin());
      return choice;
    });
    const std::string filter = Gbk("种子文件|*.torrent");
    QCOMPARE(Ui().ShowOpenFileDialog(filter), std::string("/tmp/种子.torrent"));
    QCOMPARE(Ui().ShowOpenFileDialog(filter), std::string("/tmp/种子.torrent"));  // cancelled
    QCOMPARE(filters, QStringList(2, QStringLiteral("种子文件 (*.torrent)")));
    choices = {std::nullopt};
    QCOMPARE(Ui().ShowOpenFileDialog(Gbk("种子文件(*.torrent)|*.torrent")),
             std::string("/tmp/种子.torrent"));
    QCOMPARE(filters.back(), QStringLiteral("种子文件(*.torrent)"));
    choices = {QStringLiteral("/tmp/😀 한국 ñ.torrent")};
    QCOMPARE(Ui().ShowOpenFileDialog(filter), std::string("/tmp/😀 한국 ñ.torrent"));
  }

  // A cell and the link box give back the very bytes written to them: bytes that are not
  // valid GBK, and texts too long to show, which the widget shows shortened.
  void cellsAndTheLinkBoxKeepTheirBytes_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("shortened");
    QTest::newRow("GBK") << QByteArray(Gbk("中国合伙人 €").c_str()) << false;
    QTest::newRow("lone lead byte at the end") << QByteArray("magnet:\xD6") << false;
    QTest::newRow("byte FF") << QByteArray("a\xFF" "b") << false;
    QTest::newRow("lead byte before a control byte") << QByteArray("a\x81\x01z") << false;
    QTest::newRow("4 MB link") << QByteArray("magnet:") + QByteArray(4 << 20, 'x') << true;
    QTest::newRow("4 MB of GBK") << QByteArray(Gbk("种").c_str()).repeated(2 << 20) << true;
  }
  void cellsAndTheLinkBoxKeepTheirBytes() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, shortened);
    const std::string text = bytes.toStdString();
    constexpr qsizetype kMostShown = 8193;  // characters, the mark of a cut included
    for (const char* list : {"超级列表框3", "超级列表框1"}) {
      Ui().DeleteAllRows(list);
      Ui().AppendRows(list, {{text, text}});
      Ui().SetCell(list, Ui().InsertRow(list, -1), 0, text);
      auto* widget = f->window.Control<QTreeWidget>(list);
      for (int row = 0; row < 2; ++row) {
        QVERIFY(Ui().Cell(list, row, 0) == text);
        QCOMPARE(widget->topLevelItem(row)->text(0).size() > kMostShown, false);
      }
      if (widget->columnCount() > 1) QVERIFY(Ui().Cell(list, 0, 1) == text);
      QCOMPARE(widget->topLevelItem(0)->text(0).endsWith(QChar(0x2026)), shortened);
      QVERIFY(!widget->grab().isNull());
    }
    auto* box = f->window.Control<QLineEdit>("编辑框1");
    Ui().SetText("编辑框1", text);
    QVERIFY(Ui().Text("编辑框1") == text);
    QCOMPARE(box->text().size() > kMostShown, false);
    // Once the user has typed, the box holds what was typed.
    box->setText(QStringLiteral("typed"));
    QCOMPARE(Ui().Text("编辑框1"), std::string("typed"));
  }

  // A history file with rows that are not valid GBK and a long row is saved again byte for
  // byte after loading it into the real list.
  void historySurvivesLoadAndSaveByteForByte() {
    ScratchFolder dir;
    const std::string bytes = "plain\r\n" + Gbk("中文") + "\xFF\r\n\xD6\r\nx\x81\x01\r\n" +
                              std::string(3 << 20, 'y') + "\r\n\r\n";
    QVERIFY(WriteWholeFile(HistoryFilePath(dir.path()), bytes));
    LoadHistoryFrom(f->program, dir.path());
    QVERIFY(Ui().RowCount("超级列表框3") >= 4);
    QVERIFY(WriteWholeFile(HistoryFilePath(dir.path()), ""));
    SaveHistoryIn(f->program, dir.path());
    QVERIFY(ReadWholeFile(HistoryFilePath(dir.path())) == bytes);
  }

  // The update window as a worker opens it: shown on the window thread, reachable through
  // the port, and the worker's call returns once the user has closed it.
  void updateWindowFromAWorker() {
    std::atomic<bool> created{false};
    std::atomic<bool> destroyedOnWorker{false};
    std::atomic<bool> returned{false};
    Worker checker([&] {
      const auto worker = std::this_thread::get_id();
      Ui().OpenUpdateWindow(
          [&] { created = true; },
          [&, worker] { destroyedOnWorker = std::this_thread::get_id() == worker; });
      returned = true;
    });
    QTRY_VERIFY(created.load());
    QWidget* window = UpdateWindowShown();
    QVERIFY(window);
    QCOMPARE(window->windowTitle(), QStringLiteral("发现新版本，正在自动更新……"));
    QCOMPARE(window->size(), QSize(296, 75));
    QCOMPARE(f->Text("标签_已完成百分比"), QStringLiteral("已完成：0%"));
    QCOMPARE(f->Text("标签_总大小"), QStringLiteral("0.00MB"));
    QCOMPARE(f->Text("标签_下载速度"), QStringLiteral("0 KB/秒"));
    auto* bar = window->findChild<QProgressBar*>(QStringLiteral("进度条1"));
    QCOMPARE(bar->maximum(), 10000);
    QCOMPARE(bar->value(), 0);

    {
      Worker progress([&] {
        Ui().PostProgress("进度条1", 5000);
        Ui().PostText("标签_总大小", "1MB");
        Ui().PostText("标签_已完成百分比", Gbk("已完成：50%"));
        // A direct write after a posted one for the same label is the one that stays.
        Ui().SetText("标签_已完成百分比", Gbk("更新完毕，等待3秒自动运行新版本……"));
      });
      QTRY_VERIFY(progress.Done());
    }
    QTRY_COMPARE(bar->value(), 5000);
    QTRY_COMPARE(f->Text("标签_总大小"), QStringLiteral("1MB"));
    QCoreApplication::processEvents();
    QCOMPARE(f->Text("标签_已完成百分比"), QStringLiteral("更新完毕，等待3秒自动运行新版本……"));
    QVERIFY(!returned.load());

    window->close();
    QTRY_VERIFY(returned.load());
    QVERIFY(destroyedOnWorker.load());
    QCOMPARE(Ui().Find("进度条1"), nullptr);
  }

  // A refused update tells the user from its worker while the modal update window is up:
  // the box must be the modal window on top, the one that takes input, or it cannot be
  // pressed and the program hangs.
  void messageBoxFromAWorkerAboveTheUpdateWindow() {
    SetMessageHook(nullptr);
    std::atomic<bool> updateReturned{false};
    std::atomic<bool> answered{false};
    QWidget* takingInput = nullptr;
    QWidget* shownBox = nullptr;
    Worker update([&] {
      Ui().OpenUpdateWindow([] {}, [] {});
      updateReturned = true;
    });
    QTRY_VERIFY(UpdateWindowShown() != nullptr);
    QWidget* window = UpdateWindowShown();
    {
      Worker refusal([&] {
        Ui().ShowMessage(Gbk("不能打开本地的文件!"), Gbk("信息："), MessageButtons::Ok,
                         MessageIcon::None);
        answered = true;
      });
      QTRY_VERIFY(OpenMessageBox() != nullptr);
      QMessageBox* box = OpenMessageBox();
      takingInput = QApplication::activeModalWidget();
      shownBox = box;
      // Pressed directly, past any blocking, so that the workers end whatever was found.
      box->button(QMessageBox::Ok)->click();
      QTRY_VERIFY(answered.load());
    }
    window->close();
    QTRY_VERIFY(updateReturned.load());
    // Compared as addresses: the box is gone by now.
    QVERIFY2(takingInput == shownBox, "the update window, not the box, took the input");
  }
};

}  // namespace morvane::testing

QObject* NewQtControlsTest() {
  return new morvane::testing::QtControlsTest;
}

#include "QtControlsTest.moc"
