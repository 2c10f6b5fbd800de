// Beside the swarm line of the player page, on the same row and in the program's small
// player view: what the streaming service does with the torrent and its share ratio, read
// from the same status. The streaming service is a small stand-in with a fixed status.

#include <httplib.h>

#include <QFileInfo>
#include <QTest>
#include <thread>

#include "tests/e2e/E2eFixture.h"
#include "tests/e2e/PlayerStreamState.h"

namespace morvane::e2e {

class PlayerStreamStateTest : public QObject {
  Q_OBJECT

 private:
  httplib::Server streaming_;
  std::thread thread_;
  int port_ = 0;
  const std::string hash_ = std::string(40, 'f');

 private slots:
  void initTestCase() {
    const QFileInfo video(MORVANE_GENERATED_MEDIA_DIR "/sintel-long.mp4");
    if (!video.exists()) QSKIP("no two-minute video: scripts/make-media.sh makes it");
    QVERIFY(streaming_.set_mount_point("/stream/" + hash_, MORVANE_GENERATED_MEDIA_DIR));
    const std::string status = "{\"hash\":\"" + hash_ + "\",\"ready\":true,\"peers\":2,\"downloadRate\":0,"
                               "\"uploadRate\":65536,\"state\":\"seeding\",\"ratio\":1.25,"
                               "\"downloaded\":1000,\"uploaded\":1250,\"name\":\"sintel-long.mp4\",\"size\":" +
                               std::to_string(video.size()) + ",\"bytesVerified\":" +
                               std::to_string(video.size()) + ",\"readers\":1,\"buffered\":[[0," +
                               std::to_string(video.size()) + "]]}";
    streaming_.Get("/status/" + hash_, [status](const httplib::Request&, httplib::Response& res) {
      res.set_content(status, "application/json");
    });
    port_ = streaming_.bind_to_any_port("127.0.0.1");
    QVERIFY(port_ > 0);
    thread_ = std::thread([this] { streaming_.listen_after_bind(); });
  }

  void cleanupTestCase() {
    streaming_.stop();
    if (thread_.joinable()) thread_.join();
  }

  void stateAndRatioShowBesideThePeersLine() {
    ProgramWindow w(Services().ProgramSettings());
    QVERIFY(w.Start());
    const QString address = "https://" + QString::fromStdString(Services().Host(services::Service::Player)) +
                            "/player.html?url=http://127.0.0.1:" + QString::number(port_) + "/stream/" +
                            QString::fromStdString(hash_) + "/sintel-long.mp4";
    QWebEngineView* player = w.Browser("超文本浏览框1");
    player->setUrl(QUrl(address));
    QString why;
    QVERIFY2(WaitForPlaying(player, address, &why), qPrintable(why));
    QTRY_COMPARE_WITH_TIMEOUT(
        RunScript(player, QStringLiteral("document.getElementById('swarm-state').textContent")).toString(),
        QStringLiteral("seeding \u00b7 ratio 1.25"), 15000);
    QVERIFY(RunScript(player, QStringLiteral("document.getElementById('swarm').textContent"))
                .toString()
                .startsWith(QStringLiteral("peers 2")));
    // On the peers line's row, within the view nobody scrolls.
    const QString placed = RunScript(player, QStringLiteral(
                                                 "(() => {"
                                                 " const a = document.getElementById('swarm').getBoundingClientRect();"
                                                 " const b = document.getElementById('swarm-state').getBoundingClientRect();"
                                                 " const mid = (b.top + b.bottom) / 2;"
                                                 " return (mid > a.top && mid < a.bottom && b.left >= a.right &&"
                                                 " b.right <= window.innerWidth && b.bottom <= window.innerHeight)"
                                                 " + ' ' + JSON.stringify([a, b, window.innerWidth, window.innerHeight]);"
                                                 "})()"))
                               .toString();
    QVERIFY2(placed.startsWith(QStringLiteral("true")), qPrintable(placed));
  }
};

QObject* NewPlayerStreamStateTest() {
  return new PlayerStreamStateTest;
}

}  // namespace morvane::e2e

#include "PlayerStreamState.moc"
