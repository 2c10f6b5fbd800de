// The real road of a catalogue video, in the real window and its browser: the program's own
// streaming service (started as the program starts it, on a loopback resolution host where
// nothing answers) downloads the video over BitTorrent from the stand-in services' seeder,
// found through their tracker, and the player plays it while it downloads. Built only when
// the stream library is part of the build.

#include <stdlib.h>

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTest>
#include <memory>

#include "app/OwnStreamService.h"
#include "services/Catalogue.h"
#include "tests/e2e/E2eFixture.h"
#include "tests/e2e/PlayerSwarmLine.h"
#include "tests/e2e/RoadService.h"
#include "tests/e2e/StreamRoad.h"
#include "tests/support/RawHttp.h"
#include "web/HttpServer.h"

namespace morvane::e2e {
namespace {

using services::Service;

}  // namespace

class StreamRoadTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<ProgramWindow> w;
  std::string resolutionHost;
  QString cacheDir;

  QString StreamPlayerPrefix() const {
    return "https://" + QString::fromStdString(Services().Host(Service::Player)) +
           "/player.html?url=http://" + QString::fromStdString(resolutionHost) + "/stream/";
  }

  // The row of the first page of a search whose name holds `part`, or -1.
  int RowNamed(const QString& part) const {
    for (int row = 0; row < w->Rows("超级列表框1"); ++row)
      if (w->Cell("超级列表框1", row, 1).contains(part)) return row;
    return -1;
  }

 private slots:
  void initTestCase() {
    const RoadService road = StartRoadService(QStringLiteral("stream-cache"),
                                              services::AnnounceAddress(Services().Host(Service::Publisher)));
    resolutionHost = road.host;
    cacheDir = road.cacheDir;
    QVERIFY(!resolutionHost.empty());
  }

  void init() {
    w.reset();
    Settings settings = Services().ProgramSettings();
    settings.resolutionHost = resolutionHost;
    w = std::make_unique<ProgramWindow>(std::move(settings));
    QVERIFY(w->Start());
  }

  void cleanupTestCase() {
    w.reset();
    QDir(cacheDir).removeRecursively();
  }

  // Search, double click, the video plays from the swarm, the swarm line shows the download,
  // and a seek to 60% plays on from there.
  void searchedVideoPlaysAndSeeks() {
    STEP(w->ClickToolbar(1));
    STEP(w->ChooseSite(0));
    STEP(w->Type("编辑框_种子关键字", QStringLiteral("sintel")));
    STEP(w->Click("超级按钮5"));
    QTRY_COMPARE_WITH_TIMEOUT(w->Text("种子结果标签"), kEndOfSearch, 20000);
    const int row = RowNamed(QStringLiteral("完整版.1080p.H264"));
    QVERIFY2(row >= 0, "no two-minute MP4 in the results: scripts/make-media.sh makes it");
    STEP(w->DoubleClickRow("超级列表框1", row));

    QWebEngineView* player = w->Browser("超文本浏览框1");
    QString why;
    QVERIFY2(WaitForPlaying(player, StreamPlayerPrefix(), &why, 60000), qPrintable(why));
    QVERIFY(ClockMovesPast(player, 0.5, 30000));
    // The swarm line reads the service's status of this very download. On loopback the
    // whole video may be in before the first poll, and a seeder drops a peer that has
    // everything: the peer count may be 0 by then, the buffered share is not.
    QVERIFY(SwarmLineShows(player, 10000));

    const double duration =
        RunScript(player, QStringLiteral("document.querySelector('video').duration")).toDouble();
    QVERIFY2(duration > 60, qPrintable(QString::number(duration)));
    RunScript(player, QStringLiteral("(() => { const v = document.querySelector('video');"
                                     " v.currentTime = v.duration * 0.6; return true; })()"));
    QVERIFY2(ClockMovesPast(player, duration * 0.6 + 0.5, 30000), "no playing after the seek");
    QTRY_COMPARE_WITH_TIMEOUT(w->Rows("超级列表框3"), 1, 10000);
  }

  // "上传种子" with a catalogue torrent: its magnet link streams the same way.
  void importedTorrentStreams() {
    const QString directory = NewScratchDirectory(QStringLiteral("stream-torrents"));
    QVERIFY(!directory.isEmpty());
    QVERIFY(Services().WriteTorrents(directory.toStdString()));
    const QString chosen = directory + QStringLiteral("/Sintel.2010.完整版.720p.WebM.torrent");
    QVERIFY2(QFile::exists(chosen), qPrintable(chosen));
    w->Ui().SetFileDialogHook([&](const QString&) -> std::optional<QString> { return chosen; });
    STEP(w->Click("超级按钮3"));
    QVERIFY(w->Text("编辑框1").startsWith(QStringLiteral("magnet:?xt=urn:btih:")));
    QString why;
    QVERIFY2(WaitForPlaying(w->Browser("超文本浏览框1"), StreamPlayerPrefix(), &why, 60000),
             qPrintable(why));
    QVERIFY(ClockMovesPast(w->Browser("超文本浏览框1"), 0.5, 30000));
    QDir(directory).removeRecursively();
  }

  // While the window plays, a page of another site, open in a browser on the same machine,
  // aims everything it can at the service's port: an image and a no-cors fetch resolving a
  // magnet that names a peer on this machine, a form that stops the film playing, a video
  // element on the film. Without the key none of it does anything.
  void aPageOfAnotherSiteStartsNothingWhileTheWindowPlays() {
    const QString directory = NewScratchDirectory(QStringLiteral("foreign-torrents"));
    QVERIFY(Services().WriteTorrents(directory.toStdString()));
    const QString chosen = directory + QStringLiteral("/Sintel.2010.完整版.720p.WebM.torrent");
    w->Ui().SetFileDialogHook([&](const QString&) -> std::optional<QString> { return chosen; });
    STEP(w->Click("超级按钮3"));
    QWebEngineView* player = w->Browser("超文本浏览框1");
    QString why;
    QVERIFY2(WaitForPlaying(player, StreamPlayerPrefix(), &why, 60000), qPrintable(why));
    const QString playing = player->url().toString();
    const QString film = playing.mid(playing.indexOf(QStringLiteral("/stream/")) + 8);  // HASH/NAME
    const std::string filmHash = film.left(40).toStdString();

    QTcpServer peer;  // the peer the page names: never called
    QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
    const std::string unseeded(40, 'e');
    const std::string service = "http://" + resolutionHost.substr(0, resolutionHost.find('/'));
    const std::string resolve = service + "/xml.php?url=magnet:?xt=urn:btih:" + unseeded +
                                "&x.pe=127.0.0.1:" + std::to_string(peer.serverPort());
    const std::string page =
        "<!doctype html><title>another site</title><iframe name=sink></iframe>"
        "<img src=\"" + resolve + "\">"
        "<form method=post target=sink action=\"" + service + "/stop/" + filmHash + "\"></form>"
        "<video muted autoplay src=\"" + service + "/stream/" + film.toStdString() + "\"></video>"
        "<script>fetch('" + resolve + "', {mode: 'no-cors'}).catch(() => {});"
        "document.forms[0].submit();</script>";
    HttpServer site([&](const HttpRequest&, HttpResponder& responder) {
      responder.Send(200, "text/html; charset=utf-8", page);
    });
    QVERIFY(site.Start("127.0.0.1", 0));
    QWebEngineView browser;  // another browser window on the machine
    browser.load(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(site.Port())));
    QVERIFY(Await([&] { return browser.title() == QStringLiteral("another site"); }, 15000));
    QTest::qWait(3000);  // the image, the fetch, the form and the video had their time

    QVERIFY2(!peer.hasPendingConnections(), "the peer the page named was called");
    const int port = std::stoi(resolutionHost.substr(resolutionHost.find(':') + 1));
    const std::string key = resolutionHost.substr(resolutionHost.find('/'));
    const auto status = [&](const std::string& hash) {
      const std::string answer = testing::RawExchange(
          port, "GET " + key + "/status/" + hash + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
      return answer.size() >= 12 ? std::stoi(answer.substr(9, 3)) : 0;
    };
    QCOMPARE(status(unseeded), 404);  // no torrent added
    QCOMPARE(status(filmHash), 200);  // the film not stopped
    QVERIFY(RunScript(&browser, QStringLiteral("document.querySelector('video').error !== null")).toBool());
    const double at = RunScript(player, QStringLiteral("document.querySelector('video').currentTime")).toDouble();
    QVERIFY2(ClockMovesPast(player, at + 0.5, 20000), "the window's own page still plays");
    QDir(directory).removeRecursively();
  }
};

QObject* NewStreamRoadTest() {
  return new StreamRoadTest;
}

}  // namespace morvane::e2e

#include "StreamRoad.moc"
