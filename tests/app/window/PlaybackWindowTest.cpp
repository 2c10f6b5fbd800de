// A result row played and copied through the main window as the program wires it, with the
// resolution service standing in on a local port.

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "app/window/FormControls.h"
#include "platform/Files.h"
#include "platform/qt/DesignFonts.h"
#include "tests/support/ResolutionService.h"
#include "tests/support/ScratchFolder.h"
#include "tests/app/window/WindowFixture.h"
#include "torrent/TorrentFileInfo.h"

namespace morvane::testing {
namespace {

const std::string kMagnet = "magnet:?xt=urn:btih:0123456789ABCDEF0123456789ABCDEF01234567";
const std::string kMedia = "http://127.0.0.1:9/media/film.mp4";
const std::string kPrefix = "http://127.0.0.1:9/player.html?url=";

// The window with its port and state. A test deletes it only after the playback worker's
// last window call (the history cell) has been carried out.
struct PlaybackWindow {
  explicit PlaybackWindow(const std::string& resolutionHost)
      : program(ui, SettingsFor(resolutionHost)) {
    ui.AddWindow(&window);
    BindEvents(window, shell, program);
    program.texts.Set(ProgramText::PlayerPagePrefix, kPrefix);
    ui.AppendRows("超级列表框1", {{"1", Gbk("【双击播放】影片"), kMagnet, "1.2 GB"}});
    window.show();
  }
  static Settings SettingsFor(const std::string& resolutionHost) {
    Settings s = WindowTestSettings();
    s.resolutionHost = resolutionHost;
    return s;
  }
  QPoint ResultRowCentre() {
    auto* list = window.Control<ReportList>("超级列表框1");
    return list->visualItemRect(list->topLevelItem(0)).center();
  }
  QWidget* ResultArea() { return window.Control<ReportList>("超级列表框1")->viewport(); }

  MessageRecorder messages;
  QtControls ui;
  Program program;
  MainWindow window{program.settings};
  Shell shell{window, program};
};

QString Q(const std::string& text) {
  return QString::fromStdString(LocalToUtf8(text));
}

}  // namespace

class PlaybackWindowTest : public QObject {
  Q_OBJECT
 private slots:
  void doubleClickShowsTheNoticeThenThePlayerPage() {
    ResolutionService service([](const std::string&) { return "<file>" + kMedia + "</file>"; });
    PlaybackWindow w(service.host());
    w.window.Control<QTabWidget>("高级选择夹1")->setCurrentIndex(1);

    QTest::mouseClick(w.ResultArea(), Qt::LeftButton, {}, w.ResultRowCentre());
    QTest::mouseDClick(w.ResultArea(), Qt::LeftButton, {}, w.ResultRowCentre());

    // The handler has run on the window thread; the worker cannot have reached the window
    // yet, so the player still shows the notice page.
    QCOMPARE(Q(w.ui.Address("超文本浏览框1")),
             QStringLiteral("127.0.0.1:9/adminapi/vexapi/gg/ada.html"));
    QCOMPARE(w.window.Control<QTabWidget>("高级选择夹1")->currentIndex(), 0);
    QCOMPARE(Q(w.ui.Text("编辑框1")), Q(kMagnet));

    QTRY_COMPARE_WITH_TIMEOUT(Q(w.ui.Address("超文本浏览框1")), Q(kPrefix + kMedia), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(Q(w.ui.Cell("超级列表框3", 0, 0)), Q(kMagnet), 20000);
    QCOMPARE(service.Targets().size(), std::size_t{1});
    QCOMPARE(Q(service.Targets()[0]), Q("/xml.php?url=" + kMagnet));
    QVERIFY(w.messages.shown.empty());
  }

  // "上传种子" with a file whose name holds characters that GBK lacks (an emoji, Hangul, n
  // with tilde) imports that very file.
  void importOpensAFileNamedBeyondGbk() {
    ResolutionService service([](const std::string&) { return "<file>" + kMedia + "</file>"; });
    PlaybackWindow w(service.host());
    ScratchFolder dir;
    const std::string torrent = "d4:infod6:lengthi5e4:name5:a.txt12:piece lengthi16384e6:pieces20:" +
                                std::string(20, '\xAB') + "ee";
    const std::string plain = dir.path() + "/plain.torrent";
    const std::string named = dir.path() + "/😀 한국 ñ.torrent";
    QVERIFY(WriteWholeFile(plain, torrent));
    QVERIFY(WriteWholeFile(named, torrent));
    const std::string hash = ReadTorrentFileInfo(plain)->infoHash;
    QCOMPARE(hash.size(), std::size_t{40});
    w.ui.SetFileDialogHook([&](const QString&) { return QString::fromStdString(named); });

    QTest::mouseClick(w.window.Control<QPushButton>("超级按钮3"), Qt::LeftButton);
    QCOMPARE(Q(w.ui.Text("编辑框1")), Q("magnet:?xt=urn:btih:" + hash));
    QTRY_COMPARE_WITH_TIMEOUT(Q(w.ui.Cell("超级列表框3", 0, 0)), Q("magnet:?xt=urn:btih:" + hash),
                              20000);
  }

  void copyAndDownloadPutTheMagnetLinkOnTheClipboard() {
    PlaybackWindow w("127.0.0.1:9");
    for (const char* entry : {"复制", "下载"}) {
      QGuiApplication::clipboard()->setText(QStringLiteral("before"));
      w.ui.SetSelectedIndex("超级列表框1", -1);
      // A right click selects the row under the mouse and opens "菜单".
      QTest::mouseClick(w.ResultArea(), Qt::RightButton, {}, w.ResultRowCentre());
      QMenu* menu = w.window.Menu("菜单");
      QTRY_VERIFY(menu->isVisible());
      w.window.MenuEntry("菜单", entry)->trigger();
      menu->close();
      QCOMPARE(QGuiApplication::clipboard()->text(), Q(kMagnet));
    }
  }
};

}  // namespace morvane::testing

QObject* NewPlaybackWindowTest() {
  return new morvane::testing::PlaybackWindowTest;
}

#include "PlaybackWindowTest.moc"
