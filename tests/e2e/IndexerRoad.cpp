// A user's Torznab indexer in the real window: the stand-in indexer as the run command's
// indexer file names it, chosen in the site box after the two sites; a search, "加载更多", and
// a double-clicked row that plays over BitTorrent through the program's own streaming
// service. The indexer's key shows nowhere: not in the list, the link box, the history or a
// message.

#include <QComboBox>
#include <QDir>
#include <QTest>
#include <memory>

#include "app/OwnStreamService.h"
#include "search/IndexerFile.h"
#include "services/Catalogue.h"
#include "services/StandInIndexer.h"
#include "tests/e2e/E2eFixture.h"
#include "tests/e2e/IndexerRoad.h"
#include "tests/e2e/RoadService.h"

namespace morvane::e2e {
namespace {

using services::Service;

constexpr char kKey[] = "e2eIndexerKey0123456789";

}  // namespace

class IndexerRoadTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<services::Catalogue> catalogue;
  std::unique_ptr<services::StandInIndexer> indexer;
  std::unique_ptr<ProgramWindow> w;
  std::string resolutionHost;
  QString cacheDir;

  // The program with the indexers of `indexerFile` in its site box.
  void StartProgram(const std::string& indexerFile) {
    w.reset();
    Settings settings = Services().ProgramSettings();
    settings.resolutionHost = resolutionHost;
    settings.indexers = ParseIndexerText(indexerFile).indexers;
    w = std::make_unique<ProgramWindow>(std::move(settings));
    QVERIFY(w->Start());
  }

  void Search(int site, const QString& keyword) {
    STEP(w->ClickToolbar(1));
    STEP(w->ChooseSite(site));
    STEP(w->Type("编辑框_种子关键字", keyword));
    STEP(w->Click("超级按钮5"));
    QTRY_COMPARE_WITH_TIMEOUT(w->Text("种子结果标签"), kEndOfSearch, 20000);
  }

  int RowNamed(const QString& part) const {
    for (int row = 0; row < w->Rows("超级列表框1"); ++row)
      if (w->Cell("超级列表框1", row, 1).contains(part)) return row;
    return -1;
  }

  void ExpectNoKeyAnywhere() {
    const QString key = QString::fromLatin1(kKey);
    for (const char* list : {"超级列表框1", "超级列表框3"})
      for (int row = 0; row < w->Rows(list); ++row)
        for (int column = 0; column < 4; ++column)
          QVERIFY2(!w->Cell(list, row, column).contains(key), list);
    QVERIFY(!w->Text("编辑框1").contains(key));
    for (const QString& shown : w->Messages().Texts()) QVERIFY2(!shown.contains(key), qPrintable(shown));
  }

 private slots:
  void initTestCase() {
    const std::string announce = services::AnnounceAddress(Services().Host(Service::Publisher));
    catalogue = std::make_unique<services::Catalogue>(services::Catalogue::Load(
        MORVANE_SOURCE_DIR "/services/catalogue", MORVANE_SOURCE_DIR "/services/media",
        MORVANE_GENERATED_MEDIA_DIR, announce));
    indexer = std::make_unique<services::StandInIndexer>(*catalogue, kKey, announce);
    QVERIFY(indexer->Start(0));

    // A streaming service of this road's own: an earlier road's may still hold the slot.
    StopOwnResolutionService();
    const RoadService road = StartRoadService(QStringLiteral("indexer-cache"), announce);
    resolutionHost = road.host;
    cacheDir = road.cacheDir;
    QVERIFY(!resolutionHost.empty());
  }

  void cleanupTestCase() {
    w.reset();
    StopOwnResolutionService();
    indexer.reset();
    QDir(cacheDir).removeRecursively();
  }

  // The run command's two entries follow the two sites; the Jackett-shaped one searches,
  // pages on and plays a row whose magnet link came from a download address.
  void searchLoadMoreAndPlay() {
    STEP(StartProgram(services::StandInIndexerFile(indexer->Port(), kKey)));
    auto* sites = w->Control<QComboBox>("组合框1");
    QCOMPARE(sites->count(), 4);
    QCOMPARE(sites->itemText(2), QStringLiteral("Stand-in (Jackett)"));
    QCOMPARE(sites->itemText(3), QStringLiteral("Stand-in (Prowlarr)"));

    STEP(Search(2, QStringLiteral("sintel")));
    QCOMPARE(w->Rows("超级列表框1"), 20);
    for (int row = 0; row < 20; ++row) {
      QCOMPARE(w->Cell("超级列表框1", row, 0), QString::number(row + 1));
      QVERIFY(w->Cell("超级列表框1", row, 1).startsWith(QStringLiteral("【双击播放】Sintel")));
      QVERIFY(w->Cell("超级列表框1", row, 2).startsWith(QStringLiteral("magnet:?xt=urn:btih:")));
      QVERIFY(w->Cell("超级列表框1", row, 3).endsWith(QStringLiteral("B")));
    }
    STEP(w->Click("超级按钮7"));
    QTRY_COMPARE_WITH_TIMEOUT(w->Rows("超级列表框1"), 30, 20000);
    QCOMPARE(w->Cell("超级列表框1", 29, 0), QStringLiteral("30"));
    STEP(w->Click("超级按钮7"));
    QTRY_VERIFY_WITH_TIMEOUT(!w->Control<QWidget>("标签5")->isVisible(), 20000);
    QCOMPARE(w->Rows("超级列表框1"), 30);

    // Second in the catalogue: its magnet link came through the indexer's download address.
    const int row = RowNamed(QStringLiteral("Sintel.2010.完整版.720p.WebM"));
    QVERIFY2(row >= 0, "no two-minute WebM in the results: scripts/make-media.sh makes it");
    const QString link = w->Cell("超级列表框1", row, 2);
    STEP(w->DoubleClickRow("超级列表框1", row));
    QCOMPARE(w->Text("编辑框1"), link);
    QWebEngineView* player = w->Browser("超文本浏览框1");
    const QString prefix = "https://" + QString::fromStdString(Services().Host(Service::Player)) +
                           "/player.html?url=http://" + QString::fromStdString(resolutionHost) +
                           "/stream/";
    QString why;
    QVERIFY2(WaitForPlaying(player, prefix, &why, 60000), qPrintable(why));
    QVERIFY(ClockMovesPast(player, 0.5, 30000));
    QTRY_COMPARE_WITH_TIMEOUT(w->Rows("超级列表框3"), 1, 10000);
    QCOMPARE(w->Cell("超级列表框3", 0, 0), link);
    QVERIFY(w->Messages().shown.empty());
    STEP(ExpectNoKeyAnywhere());
  }

  // A wrong key, refused in each program's way, is told by the indexer's name.
  void wrongKeyIsTold() {
    STEP(StartProgram(services::StandInIndexerFile(indexer->Port(), "not-the-key")));
    const QStringList expected = {
        QStringLiteral("信息：|索引器“Stand-in (Jackett)”出错：error 100: Invalid API Key"),
        QStringLiteral("信息：|索引器“Stand-in (Prowlarr)”出错：HTTP 401 Unauthorized"),
    };
    for (int site : {2, 3}) {
      STEP(Search(site, QStringLiteral("sintel")));
      QTRY_COMPARE_WITH_TIMEOUT(w->Messages().Texts().size(), site - 1, 10000);
      QCOMPARE(w->Messages().Texts().last(), expected[site - 2]);
      QCOMPARE(w->Rows("超级列表框1"), 0);
    }
    STEP(ExpectNoKeyAnywhere());
  }
};

QObject* NewIndexerRoadTest() {
  return new IndexerRoadTest;
}

}  // namespace morvane::e2e

#include "IndexerRoad.moc"
