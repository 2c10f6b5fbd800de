// Every road a user takes through the program, on the real window and its browsers against
// the stand-in services: a search on each site and a double-clicked result playing, "加载更多",
// a rejected link, the play history across a restart, a torrent import, random play and
// random search, the library and live TV pages, the close buttons, the exit question and the
// version check.

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMap>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <memory>

#include "app/HistoryFile.h"
#include "platform/Files.h"
#include "services/Catalogue.h"
#include "tests/e2e/E2eFixture.h"
#include "update/Cipher.h"
#include "web/FetchPage.h"
#include "web/Text.h"

namespace morvane::e2e {
namespace {

using services::Service;

QString Host(Service service) {
  return QString::fromStdString(Services().Host(service));
}

QString PlayerPageFor(const QString& media) {
  return "https://" + Host(Service::Player) + "/player.html?url=https://" + Host(Service::Player) +
         "/media/" + media;
}

services::Catalogue& TheCatalogue() {
  static services::Catalogue catalogue = services::Catalogue::Load(
      MORVANE_SOURCE_DIR "/services/catalogue", MORVANE_SOURCE_DIR "/services/media",
      MORVANE_GENERATED_MEDIA_DIR);
  return catalogue;
}

const services::CatalogueEntry* EntryNamed(const std::string& prefix) {
  for (const auto& e : TheCatalogue().entries())
    if (e.name.rfind(prefix, 0) == 0) return &e;
  return nullptr;
}

QString MagnetOf(const services::CatalogueEntry& entry) {
  return QStringLiteral("magnet:?xt=urn:btih:") + QString::fromStdString(entry.hash);
}

// The lines of a text list on the publisher's server, as the program reads them.
QStringList RemoteLines(const std::string& address) {
  QStringList lines;
  for (const auto& line : SplitText(FetchPage(address), "\r\n"))
    lines << QString::fromStdString(LocalToUtf8(line));
  return lines;
}

}  // namespace

class RoadsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<ProgramWindow> w;

  // A fresh program, started, with the given running version.
  void StartProgram(const std::string& runningVersion = "v4.1.7") {
    w.reset();
    w = std::make_unique<ProgramWindow>(Services().ProgramSettings(runningVersion));
    QVERIFY(w->Start());
    QCOMPARE(w->Text("透明标签6"), QStringLiteral("v4.1.8"));
  }

  // From the search page: the keyword searched on a site, until the first page is listed.
  void Search(int site, const QString& keyword, int expectedRows) {
    STEP(w->ClickToolbar(1));
    QCOMPARE(w->CurrentTab(), 1);
    STEP(w->ChooseSite(site));
    STEP(w->Type("编辑框_种子关键字", keyword));
    STEP(w->Click("超级按钮5"));
    QTRY_COMPARE_WITH_TIMEOUT(w->Text("种子结果标签"), kEndOfSearch, 20000);
    QCOMPARE(w->Rows("超级列表框1"), expectedRows);
    QVERIFY(!w->Control<QWidget>("标签5")->isVisible());
    QVERIFY(!w->Control<QWidget>("图片框7")->isVisible());
  }

  // Plays a link typed into the link box and waits until the history records it.
  void PlayTyped(const QString& link, const QString& media) {
    STEP(w->ClickToolbar(0));
    const int before = w->Rows("超级列表框3");
    STEP(w->Type("编辑框1", link));
    STEP(w->Click("超级按钮1"));
    QString why;
    QVERIFY2(WaitForPlaying(w->Browser("超文本浏览框1"), PlayerPageFor(media), &why),
             qPrintable(why));
    QTRY_COMPARE_WITH_TIMEOUT(w->Rows("超级列表框3"), before + 1, 10000);
  }

 private slots:
  void initTestCase() {
    QVERIFY(Services().Port(Service::Publisher) > 0);
    QVERIFY(!TheCatalogue().entries().empty());
    // The history file of this run's program directory, which the relocation made fresh.
    QVERIFY(!QFile::exists(QString::fromStdString(HistoryFileName())));
  }

  void init() { StartProgram(); }

  // The main road: keyword, site, search, result rows, double click, the notice
  // page, the resolution, the player page with the video playing, the history row.
  void searchAndPlayAResult_data() {
    QTest::addColumn<int>("site");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("media");
    // The first site is read in UTF-8, the second in GBK; "SINTEL" also tests that the
    // sites' matching ignores case, and the Chinese keyword its percent-encoding.
    const struct {
      const char* name;
      int site;
      const char* keyword;
      int rows;
      const char* media;
    } rows[] = {
        {"first site, ASCII", 0, "SINTEL", 20, "sintel.webm"},
        {"first site, Chinese", 0, "中国合伙人", 20, "harbor.webm"},
        {"second site, Chinese", 1, "灯笼", 9, "lantern.webm"},
        {"second site, ASCII", 1, "sintel", 20, "sintel.webm"},
    };
    for (const auto& r : rows)
      QTest::newRow(r.name) << r.site << QString::fromUtf8(r.keyword) << r.rows
                            << QString::fromUtf8(r.media);
  }
  void searchAndPlayAResult() {
    QFETCH(int, site);
    QFETCH(QString, keyword);
    QFETCH(int, rows);
    QFETCH(QString, media);
    STEP(Search(site, keyword, rows));

    const QRegularExpression magnet(QStringLiteral("^magnet:\\?xt=urn:btih:[0-9a-fA-F]{40}$"));
    for (int row = 0; row < rows; ++row) {
      QCOMPARE(w->Cell("超级列表框1", row, 0), QString::number(row + 1));
      QVERIFY2(w->Cell("超级列表框1", row, 1).startsWith(QStringLiteral("【双击播放】")),
               qPrintable(w->Cell("超级列表框1", row, 1)));
      QVERIFY(w->Cell("超级列表框1", row, 1).contains(keyword, Qt::CaseInsensitive));
      QVERIFY(magnet.match(w->Cell("超级列表框1", row, 2)).hasMatch());
      QVERIFY(!w->Cell("超级列表框1", row, 3).isEmpty());
    }

    const int chosen = rows - 1;
    const QString link = w->Cell("超级列表框1", chosen, 2);
    STEP(w->DoubleClickRow("超级列表框1", chosen));
    QCOMPARE(w->CurrentTab(), 0);
    QCOMPARE(w->Text("编辑框1"), link);
    QString why;
    QVERIFY2(WaitForPlaying(w->Browser("超文本浏览框1"), PlayerPageFor(media), &why),
             qPrintable(why));
    QTRY_COMPARE_WITH_TIMEOUT(w->Rows("超级列表框3"), 1, 10000);
    QCOMPARE(w->Cell("超级列表框3", 0, 0), link);
    QVERIFY(w->Messages().shown.empty());
    QCOMPARE(w->Ui().cacheClears.load(), 1);
    // The notice page while the link was being resolved, then the player page.
    const QString notice =
        QString::fromStdString(w->State().settings.publisherHost) + "/adminapi/vexapi/gg/ada.html";
    QCOMPARE(w->Ui().Navigations("超文本浏览框1"),
             (QStringList{notice, "https://" + Host(Service::Player) + "/player.html?url=https://" +
                                      Host(Service::Player) + "/media/" + media}));
  }

  // "加载更多" appends the next page numbered on, and past the last page adds nothing.
  void loadMoreAppendsTheNextPage_data() {
    QTest::addColumn<int>("site");
    QTest::newRow("first site") << 0;
    QTest::newRow("second site") << 1;
  }
  void loadMoreAppendsTheNextPage() {
    QFETCH(int, site);
    const int total = static_cast<int>(TheCatalogue().Search("sintel").size());
    QVERIFY(total > 20 && total < 40);
    STEP(Search(site, QStringLiteral("sintel"), 20));

    for (int click = 0; click < 2; ++click) {
      w->Control<QLabel>("种子结果标签")->clear();
      STEP(w->Click("超级按钮7"));
      QTRY_COMPARE_WITH_TIMEOUT(w->Text("种子结果标签"), kEndOfSearch, 20000);
      QCOMPARE(w->Rows("超级列表框1"), total);
    }
    QStringList links;
    for (int row = 0; row < total; ++row) {
      QCOMPARE(w->Cell("超级列表框1", row, 0), QString::number(row + 1));
      links << w->Cell("超级列表框1", row, 2);
    }
    links.removeDuplicates();
    QCOMPARE(links.size(), total);
  }

  // A link the resolution service rejects: the message, then the search page; the player
  // keeps the notice page and nothing is recorded.
  void rejectedLinkShowsTheMessage() {
    STEP(w->Type("编辑框1", QStringLiteral("  ftp://127.0.0.1/no-such-video.mkv ")));
    STEP(w->Click("超级按钮1"));
    QTRY_COMPARE_WITH_TIMEOUT(w->Messages().shown.size(), std::size_t{1}, 15000);
    QCOMPARE(w->Messages().Texts().front(), QStringLiteral("信息：|种子链接失效了,请更换种子链接"));
    QCOMPARE(w->Messages().shown.front().buttons, MessageButtons::Ok);
    QTRY_COMPARE_WITH_TIMEOUT(w->CurrentTab(), 1, 5000);
    const QString notice = w->PublisherPage(QStringLiteral("/adminapi/vexapi/gg/ada.html"));
    QVERIFY(WaitForPage(w->Browser("超文本浏览框1"), notice, QStringLiteral("notice")));
    QCOMPARE(w->Rows("超级列表框3"), 0);
  }

  // "全部保存" writes the history beside the program; a restarted program lists it again, in
  // the same order, while a "删除" that was not saved is undone by the restart.
  void historySurvivesARestart() {
    const QString file = QString::fromStdString(HistoryFileName());
    QFile::remove(file);
    const auto* lantern = EntryNamed("灯笼 Lantern.Festival.Part");
    QVERIFY(lantern != nullptr);
    const QString first = w->PublisherPage(QStringLiteral("/media/harbor.webm"));
    const QString second = MagnetOf(*lantern);
    STEP(PlayTyped(first, QStringLiteral("harbor.webm")));
    STEP(PlayTyped(second, QStringLiteral("lantern.webm")));
    QCOMPARE(w->Cell("超级列表框3", 0, 0), second);
    QCOMPARE(w->Cell("超级列表框3", 1, 0), first);

    STEP(w->RightClickRow("超级列表框3", 1));
    QVERIFY(w->ChooseMenuEntry("小菜单", "全部保存"));
    QCOMPARE(w->Messages().Texts(), QStringList{QStringLiteral("信息：|保存成功")});
    QFile saved(file);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), (second + "\r\n" + first + "\r\n").toUtf8());

    STEP(w->RightClickRow("超级列表框3", 0));
    QVERIFY(w->ChooseMenuEntry("小菜单", "删除"));
    QCOMPARE(w->Rows("超级列表框3"), 1);

    STEP(StartProgram());
    QTRY_COMPARE_WITH_TIMEOUT(w->Rows("超级列表框3"), 2, 10000);
    QCOMPARE(w->Cell("超级列表框3", 0, 0), second);
    QCOMPARE(w->Cell("超级列表框3", 1, 0), first);

    // A double click on a loaded row plays it again, recorded at the top.
    STEP(w->DoubleClickRow("超级列表框3", 1));
    QString why;
    QVERIFY2(WaitForPlaying(w->Browser("超文本浏览框1"), PlayerPageFor("harbor.webm"), &why),
             qPrintable(why));
    QTRY_COMPARE_WITH_TIMEOUT(w->Rows("超级列表框3"), 3, 10000);
    QCOMPARE(w->Cell("超级列表框3", 0, 0), first);
    QFile::remove(file);
  }

  // "上传种子": the chosen catalogue torrent's info-hash as a magnet link, playing its video.
  void importedTorrentPlays() {
    const QString directory = NewScratchDirectory(QStringLiteral("torrents"));
    QVERIFY(!directory.isEmpty());
    QVERIFY(Services().WriteTorrents(directory.toStdString()));
    const auto* entry = EntryNamed("港湾");
    QVERIFY(entry != nullptr);
    const QString chosen = directory + "/" + QString::fromStdString(entry->name) + ".torrent";
    QVERIFY(QFile::exists(chosen));
    QString filterShown;
    w->Ui().SetFileDialogHook([&](const QString& filter) -> std::optional<QString> {
      filterShown = filter;
      return chosen;
    });

    STEP(w->Click("超级按钮3"));
    QVERIFY2(filterShown.contains(QStringLiteral("*.torrent")), qPrintable(filterShown));
    QCOMPARE(w->Text("编辑框1").toLower(), MagnetOf(*entry));
    QString why;
    QVERIFY2(WaitForPlaying(w->Browser("超文本浏览框1"), PlayerPageFor("harbor.webm"), &why),
             qPrintable(why));
    QTRY_COMPARE_WITH_TIMEOUT(w->Rows("超级列表框3"), 1, 10000);
    QCOMPARE(w->Cell("超级列表框3", 0, 0), w->Text("编辑框1"));
    QDir(directory).removeRecursively();
  }

  // "随机播放" on the playback page plays a line of the publisher's link list.
  void randomPlayPlaysALineOfTheList() {
    const QStringList links =
        RemoteLines("http://" + w->State().settings.publisherHost + "//adminapi/sjlj.txt");
    QVERIFY(links.size() > 1);
    STEP(w->Click("超级按钮2"));
    const QString link = w->Text("编辑框1");
    QVERIFY2(links.contains(link), qPrintable(link));
    // Every line of the list resolves to one of the sample videos.
    QString why;
    QVERIFY2(WaitForPlaying(w->Browser("超文本浏览框1"),
                            "https://" + Host(Service::Player) + "/player.html?url=https://" +
                                Host(Service::Player) + "/media/",
                            &why),
             qPrintable(why));
    QTRY_COMPARE_WITH_TIMEOUT(w->Rows("超级列表框3"), 1, 10000);
    QCOMPARE(w->Cell("超级列表框3", 0, 0), link);
  }

  // "随机播放" on the search page searches a line of the publisher's keyword list.
  void randomSearchSearchesAKeywordOfTheList() {
    const QStringList keywords =
        RemoteLines(DecipherText(w->State().settings.keywordListStored, ""));
    QVERIFY(keywords.size() > 1);
    STEP(w->ClickToolbar(1));
    STEP(w->Click("超级按钮6"));
    QTRY_COMPARE_WITH_TIMEOUT(w->Text("种子结果标签"), kEndOfSearch, 20000);
    const QString keyword = w->Text("编辑框_种子关键字");
    QVERIFY2(keywords.contains(keyword), qPrintable(keyword));
    const int rows = w->Rows("超级列表框1");
    QVERIFY(rows > 0);
    for (int row = 0; row < rows; ++row)
      QVERIFY2(w->Cell("超级列表框1", row, 1).contains(keyword, Qt::CaseInsensitive),
               qPrintable(w->Cell("超级列表框1", row, 1)));
  }

  // The library page hands the typed video page address to the player service.
  void libraryPagePlays() {
    STEP(w->ClickToolbar(2));
    QCOMPARE(w->CurrentTab(), 2);
    STEP(w->Type("编辑框_高清影库", QStringLiteral("http://v.example.com/show_12 b.html")));
    STEP(w->Click("超级按钮10"));
    const QString expected = "https://" + Host(Service::Player) +
                             "/api/play.jsp?url=http%3A%2F%2Fv.example.com%2Fshow_12%20b.html";
    QString why;
    QVERIFY2(WaitForPlaying(w->Browser("高清影库浏览框"), expected, &why), qPrintable(why));
    QCOMPARE(w->Browser("高清影库浏览框")->url().toString(QUrl::FullyEncoded), expected);
    // The service got the address back as typed.
    QVERIFY(RunScript(w->Browser("高清影库浏览框"), "document.body.innerText")
                .toString()
                .contains(QStringLiteral("http://v.example.com/show_12 b.html")));
    // Nothing of this goes into the play history or the player.
    QCOMPARE(w->Rows("超级列表框3"), 0);
  }

  // The fourth toolbar button shows the live TV page, which plays its stream.
  void liveTvPagePlays() {
    STEP(w->ClickToolbar(3));
    QCOMPARE(w->CurrentTab(), 3);
    QString why;
    QVERIFY2(WaitForPlaying(w->Browser("电视直播浏览框"),
                            "http://" + Host(Service::LiveTv) + "/images/img/100/", &why),
             qPrintable(why));
  }

  // Each close button sends its own browser to the placeholder page and no other.
  void closeButtonsShowThePlaceholder_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("browser");
    QTest::addColumn<int>("tab");
    QTest::newRow("player") << QStringLiteral("超级按钮8") << QStringLiteral("超文本浏览框1") << 0;
    QTest::newRow("library") << QStringLiteral("超级按钮11") << QStringLiteral("高清影库浏览框")
                             << 2;
    QTest::newRow("live TV") << QStringLiteral("超级按钮4") << QStringLiteral("电视直播浏览框")
                             << 3;
  }
  void closeButtonsShowThePlaceholder() {
    QFETCH(QString, button);
    QFETCH(QString, browser);
    QFETCH(int, tab);
    const QStringList browsers{QStringLiteral("超文本浏览框1"), QStringLiteral("高清影库浏览框"),
                               QStringLiteral("电视直播浏览框")};
    // Every browser away from the placeholder first.
    STEP(PlayTyped(w->PublisherPage(QStringLiteral("/media/sintel.webm")), "sintel.webm"));
    STEP(w->ClickToolbar(2));
    STEP(w->Click("超级按钮10"));
    STEP(w->ClickToolbar(3));
    QString why;
    QVERIFY2(WaitForPlaying(w->Browser("高清影库浏览框"), "https://" + Host(Service::Player), &why),
             qPrintable(why));
    QVERIFY2(WaitForPlaying(w->Browser("电视直播浏览框"), "http://" + Host(Service::LiveTv), &why),
             qPrintable(why));

    STEP(w->ClickToolbar(tab));
    QMap<QString, QString> before;
    for (const QString& b : browsers)
      before[b] = w->Browser(b.toStdString())->url().toString(QUrl::FullyEncoded);
    STEP(w->Click(button.toStdString()));
    const QString placeholder = w->PublisherPage(QStringLiteral("/adminapi/2.html"));
    QVERIFY(WaitForPage(w->Browser(browser.toStdString()), placeholder, QStringLiteral("Morvane")));
    for (const QString& b : browsers)
      if (b != browser)
        QCOMPARE(w->Browser(b.toStdString())->url().toString(QUrl::FullyEncoded), before[b]);
    QCOMPARE(w->CurrentTab(), tab);
  }

  // "×" asks first: Cancel keeps the program, OK ends it without saving the history.
  void exitLabelAsksFirst() {
    QSignalSpy exits(&w->TheShell(), &Shell::exitRequested);
    w->Messages().script = {MessageAnswer::Cancel, MessageAnswer::Ok};
    STEP(w->PressLabel("透明标签4"));
    QCOMPARE(w->Messages().Texts(), QStringList{QStringLiteral("信息：|是否退出Morvane")});
    QCOMPARE(exits.count(), 0);
    QVERIFY(w->Window().isVisible());

    STEP(w->PressLabel("透明标签4"));
    QCOMPARE(w->Messages().shown.size(), std::size_t{2});
    QCOMPARE(exits.count(), 1);
    QVERIFY(!w->Window().isVisible());
    QVERIFY(!QFile::exists(QString::fromStdString(HistoryFileName())));
  }

  // The arrow with the latest version running: only the message, no update.
  void versionCheckWhenLatest() {
    STEP(StartProgram("v4.1.8"));
    STEP(w->Click("超级按钮9"));
    QTRY_COMPARE_WITH_TIMEOUT(w->Messages().shown.size(), std::size_t{1}, 15000);
    QCOMPARE(w->Messages().Texts().front(), QStringLiteral("版本更新：|本版本是最新版本"));
    QCOMPARE(w->Messages().shown.front().buttons, MessageButtons::Ok);
    QVERIFY(w->Window().isVisible());
    QVERIFY(w->Ui().Find("进度条1") == nullptr);
  }

 private:
  static std::string HistoryFileName() { return HistoryFilePath(ProgramDirectory()); }
};

}  // namespace morvane::e2e

QObject* NewRoadsTest() {
  return new morvane::e2e::RoadsTest;
}

#include "RoadsTest.moc"
