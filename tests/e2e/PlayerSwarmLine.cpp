// The player page under a video that a streaming service serves: the video (plain HTTP on
// loopback inside the HTTPS player) plays, and the swarm line shows the service's peers,
// speed and buffered share, read through the player's relay of /status/HASH. The streaming
// service here is a small stand-in that serves a file and a fixed status.

#include <httplib.h>

#include <QFileInfo>
#include <QTest>
#include <memory>
#include <thread>

#include "tests/e2e/E2eFixture.h"
#include "tests/e2e/PlayerSwarmLine.h"

namespace morvane::e2e {

class PlayerSwarmLineTest : public QObject {
  Q_OBJECT

 private:
  httplib::Server streaming_;
  std::thread thread_;
  int port_ = 0;
  const std::string hash_ = std::string(40, 'c');

 private slots:
  void initTestCase() {
    const QFileInfo video(MORVANE_GENERATED_MEDIA_DIR "/sintel-long.mp4");
    if (!video.exists()) QSKIP("no two-minute video: scripts/make-media.sh makes it");
    QVERIFY(streaming_.set_mount_point("/stream/" + hash_, MORVANE_GENERATED_MEDIA_DIR));
    // Two quarters of the file buffered, with a gap between them, in the form the
    // streaming service answers.
    const long long quarter = video.size() / 4;
    const std::string status =
        "{\"hash\":\"" + hash_ + "\",\"ready\":true,\"peers\":3,\"downloadRate\":1048576,"
        "\"uploadRate\":0,\"name\":\"sintel-long.mp4\",\"size\":" + std::to_string(4 * quarter) +
        ",\"bytesVerified\":" + std::to_string(2 * quarter) + ",\"readers\":1,\"buffered\":[[0," +
        std::to_string(quarter) + "],[" + std::to_string(2 * quarter) + "," +
        std::to_string(3 * quarter) + "]]}";
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

  void swarmLineShowsTheStreamsStatus() {
    ProgramWindow w(Services().ProgramSettings());
    QVERIFY(w.Start());
    const QString address = "https://" +
                            QString::fromStdString(Services().Host(services::Service::Player)) +
                            "/player.html?url=http://127.0.0.1:" + QString::number(port_) +
                            "/stream/" + QString::fromStdString(hash_) + "/sintel-long.mp4";
    QWebEngineView* player = w.Browser("超文本浏览框1");
    player->setUrl(QUrl(address));
    QString why;
    QVERIFY2(WaitForPlaying(player, address, &why), qPrintable(why));
    const QString line = QStringLiteral("peers 3 \u00b7 1.0 MB/s \u00b7 buffered 50%");
    QTRY_COMPARE_WITH_TIMEOUT(
        RunScript(player, QStringLiteral("document.getElementById('swarm').textContent"))
            .toString(),
        line, 15000);
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
};

QObject* NewPlayerSwarmLineTest() {
  return new PlayerSwarmLineTest;
}

}  // namespace morvane::e2e

#include "PlayerSwarmLine.moc"
