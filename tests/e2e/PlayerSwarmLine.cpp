// The player page under a video that a streaming service serves: the video (plain HTTP on
// loopback inside the HTTPS player) plays, and the swarm line shows the service's peers,
// rate and buffered share, with the stream's state and share ratio beside it, read through
// the player's relay of /status/HASH, whether the film is streamed as it is or converted;
// a keyed service's pack is listed beside its film.
// The streaming service here is a small stand-in that serves a file and a fixed status for
// each torrent.

#include <httplib.h>

#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <map>
#include <memory>
#include <thread>

#include "tests/e2e/E2eFixture.h"
#include "tests/e2e/PlayerSwarmLine.h"

namespace morvane::e2e {
namespace {

// The torrents of the stand-in: the film half in, the film whole while others fetch from
// us, and the film whole with nothing flowing.
const std::string kHalfIn(40, 'c');
const std::string kSeeding(40, 'd');
const std::string kIdle(40, 'e');
// What a keyed service puts before its routes.
const std::string kKey = "k3y";

}  // namespace

class PlayerSwarmLineTest : public QObject {
  Q_OBJECT

 private:
  httplib::Server streaming_;
  std::thread thread_;
  int port_ = 0;
  std::unique_ptr<ProgramWindow> w_;

 private slots:
  void initTestCase() {
    const QFileInfo video(MORVANE_GENERATED_MEDIA_DIR "/sintel-long.mp4");
    QVERIFY2(video.exists(), "no two-minute video: scripts/make-media.sh makes it");
    const long long quarter = video.size() / 4;
    const std::string size = std::to_string(4 * quarter);
    const auto status = [&](const std::string& hash, int peers, int down, int up,
                            const std::string& buffered, const std::string& state, const std::string& ratio) {
      return "{\"hash\":\"" + hash + "\",\"ready\":true,\"peers\":" + std::to_string(peers) +
             ",\"downloadRate\":" + std::to_string(down) + ",\"uploadRate\":" +
             std::to_string(up) + ",\"state\":\"" + state + "\",\"ratio\":" + ratio +
             ",\"name\":\"sintel-long.mp4\",\"size\":" + size + ",\"readers\":1,\"buffered\":" +
             buffered + "}";
    };
    // Two quarters with a gap between them; the whole film in two ranges that meet.
    const std::map<std::string, std::string> statuses = {
        {kHalfIn, status(kHalfIn, 3, 1048576, 0,
                         "[[0," + std::to_string(quarter) + "],[" + std::to_string(2 * quarter) +
                             "," + std::to_string(3 * quarter) + "]]",
                         "watching", "0.000")},
        {kSeeding, status(kSeeding, 1, 124000, 124000,
                          "[[0," + std::to_string(quarter) + "],[" + std::to_string(quarter) +
                              "," + size + "]]",
                          "seeding", "1.250")},
        {kIdle, status(kIdle, 0, 5000, 0, "[[0," + size + "]]", "stopped", "1.004")},
    };
    for (const auto& [hash, json] : statuses) {
      for (const std::string& prefix :
           {std::string("/stream/"), std::string("/convert/"), "/" + kKey + "/stream/"})
        QVERIFY(streaming_.set_mount_point(prefix + hash, MORVANE_GENERATED_MEDIA_DIR));
      for (const std::string& prefix : {std::string("/status/"), "/" + kKey + "/status/"})
        streaming_.Get(prefix + hash, [json](const httplib::Request&, httplib::Response& res) {
          res.set_content(json, "application/json");
        });
    }
    // A keyed service's list of a pack's two films: the relays ask for it with the key.
    streaming_.Get("/" + kKey + "/files/" + kHalfIn, [](const httplib::Request&, httplib::Response& res) {
      std::string files;
      for (const char* name : {"sintel-long.mp4", "sintel-2.mp4"})
        files += std::string(files.empty() ? "" : ",") + "{\"index\":" + std::to_string(files.empty() ? 0 : 1) +
                 ",\"name\":\"Pack/" + name + "\",\"size\":1000,\"video\":true,\"address\":\"/" + kKey +
                 "/stream/" + kHalfIn + "/" + name + "\",\"playing\":false,\"sample\":false}";
      res.set_content("{\"files\":[" + files + "]}", "application/json");
    });
    port_ = streaming_.bind_to_any_port("127.0.0.1");
    QVERIFY(port_ > 0);
    thread_ = std::thread([this] { streaming_.listen_after_bind(); });
    w_ = std::make_unique<ProgramWindow>(Services().ProgramSettings());
    QVERIFY(w_->Start());
  }

  void cleanupTestCase() {
    w_.reset();
    streaming_.stop();
    if (thread_.joinable()) thread_.join();
  }

  void swarmLineShowsTheStreamsStatus_data() {
    QTest::addColumn<QString>("path");  // of the film on the streaming service
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("state");  // beside the line
    const auto film = [](const std::string& route, const std::string& hash) {
      return QString::fromStdString(route + hash) + QStringLiteral("/sintel-long.mp4");
    };
    const QString halfIn = QStringLiteral("peers 3 \u00b7 down 1.0 MB/s \u00b7 buffered 50%");
    const QString watching = QStringLiteral("watching \u00b7 ratio 0.00");
    QTest::newRow("streamed") << film("/stream/", kHalfIn) << halfIn << watching;
    QTest::newRow("converted") << film("/convert/", kHalfIn) << halfIn << watching;
    QTest::newRow("keyed service") << film("/" + kKey + "/stream/", kHalfIn) << halfIn << watching;
    QTest::newRow("whole film, others fetching")
        << film("/stream/", kSeeding) << QStringLiteral("peers 1 \u00b7 up 121 KB/s \u00b7 buffered 100%")
        << QStringLiteral("seeding \u00b7 ratio 1.25");
    QTest::newRow("whole film, nothing flowing")
        << film("/convert/", kIdle) << QStringLiteral("peers 0 \u00b7 buffered 100%")
        << QStringLiteral("stopped \u00b7 ratio 1.00");
  }
  void swarmLineShowsTheStreamsStatus() {
    QFETCH(QString, path);
    QFETCH(QString, line);
    QFETCH(QString, state);
    const QString address = "https://" +
                            QString::fromStdString(Services().Host(services::Service::Player)) +
                            "/player.html?url=http://127.0.0.1:" + QString::number(port_) + path;
    QWebEngineView* player = w_->Browser("超文本浏览框1");
    player->setUrl(QUrl(address));
    QString why;
    QVERIFY2(WaitForPlaying(player, address, &why), qPrintable(why));
    QTRY_COMPARE_WITH_TIMEOUT(
        RunScript(player, QStringLiteral("document.getElementById('swarm').textContent"))
            .toString(),
        line, 15000);
    QCOMPARE(RunScript(player, QStringLiteral("document.getElementById('swarm-state').textContent")).toString(),
             state);
    // On the line's row, right of it.
    const QString beside = RunScript(player, QStringLiteral(
        "(() => { const a = document.getElementById('swarm').getBoundingClientRect();"
        " const b = document.getElementById('swarm-state').getBoundingClientRect();"
        " const middle = (b.top + b.bottom) / 2;"
        " return (middle > a.top && middle < a.bottom && b.left >= a.right && b.right <= window.innerWidth)"
        " + ' ' + JSON.stringify([a, b]); })()")).toString();
    QVERIFY2(beside.startsWith(QStringLiteral("true")), qPrintable(beside));
    // In the program's player view, not below the fold where nobody scrolls to it.
    QVERIFY2(RunScript(player, QStringLiteral(
                                   "document.getElementById('swarm').getBoundingClientRect()"
                                   ".bottom <= window.innerHeight"))
                 .toBool(),
             qPrintable(RunScript(player, QStringLiteral(
                                              "'line ends at ' + document.getElementById('swarm')"
                                              ".getBoundingClientRect().bottom + ' of ' + "
                                              "window.innerHeight"))
                            .toString()));
  }

  // The page's relays pass a keyed service's key on: the film's pack is listed beside it,
  // the film itself marked.
  void aKeyedServicesEpisodesAreListed() {
    const QString address = "https://" +
                            QString::fromStdString(Services().Host(services::Service::Player)) +
                            "/player.html?url=http://127.0.0.1:" + QString::number(port_) + "/" +
                            QString::fromStdString(kKey + "/stream/" + kHalfIn) + "/sintel-long.mp4";
    QWebEngineView* player = w_->Browser("超文本浏览框1");
    player->setUrl(QUrl(address));
    QString why;
    QVERIFY2(WaitForPlaying(player, address, &why), qPrintable(why));
    QTRY_COMPARE_WITH_TIMEOUT(
        RunScript(player, QStringLiteral("Array.from(document.querySelectorAll('#episodes .episode'))"
                                         ".map(e => e.className + ' ' + e.title).join('|')"))
            .toString(),
        QStringLiteral("episode playing Pack/sintel-long.mp4|episode Pack/sintel-2.mp4"), 15000);
  }
};

bool SwarmLineShows(QWebEngineView* view, int timeoutMs) {
  static const QRegularExpression form(QStringLiteral(
      "^peers \\d+( \u00b7 (down|up) [0-9.]+ (B|KB|MB)/s)? \u00b7 buffered [1-9][0-9]*%$"));
  const QString line = QStringLiteral("document.getElementById('swarm').textContent");
  return Await([&] { return form.match(RunScript(view, line).toString()).hasMatch(); }, timeoutMs, 100);
}

QObject* NewPlayerSwarmLineTest() {
  return new PlayerSwarmLineTest;
}

}  // namespace morvane::e2e

#include "PlayerSwarmLine.moc"
