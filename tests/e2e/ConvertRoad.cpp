// A torrent of an HEVC/AAC MP4 (black in the embedded browser as it is) and a GBK subtitle
// file, seeded in process; its magnet link typed into the real window plays through a
// streaming service of this process: picture and sound decode, the clock moves, the subtitle
// is a text track, and a seek restarts the conversion at the time wanted.

#include <QDir>
#include <QTest>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "stream/StreamService.h"
#include "tests/e2e/ConvertRoad.h"
#include "tests/e2e/E2eFixture.h"
#include "tests/support/Seeder.h"

namespace morvane::e2e {
namespace {

// The page's film time (offset of a restarted conversion included) moves past `from`.
bool FilmTimeMovesPast(QWebEngineView* view, double from, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!deadline.hasExpired()) {
    if (RunScript(view, QStringLiteral("(() => { const v = document.querySelector('video');"
                                       " return v.paused ? -1 : window.filmTime(); })()"))
            .toDouble() > from)
      return true;
    QTest::qWait(100);
  }
  return false;
}

std::string FileBytes(const QString& path) {
  std::ifstream in(path.toStdString(), std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace

class ConvertRoadTest : public QObject {
  Q_OBJECT

 private slots:
  void hevcWithSubtitlesPlaysConvertedAndSeeks() {
    const QString folder = NewScratchDirectory(QStringLiteral("convert-road"));
    QVERIFY(!folder.isEmpty());
    const QString film = folder + "/film.mp4";
    const std::string make =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i "
        "sine=frequency=440:sample_rate=48000 -t 12 -map 0:v -map 1:a -c:v libx265 -preset "
        "ultrafast -x265-params log-level=error:keyint=25:min-keyint=25 -tag:v hvc1 -c:a aac " +
        film.toStdString();
    QCOMPARE(std::system(make.c_str()), 0);
    // "中文字幕" in GBK.
    const std::string subtitle = "1\r\n00:00:00,500 --> 00:00:11,000\r\n\xD6\xD0\xCE\xC4\xD7\xD6\xC4\xBB\r\n";
    testing::Seeder seeder(std::filesystem::path(folder.toStdString()) / "seed", "film",
                           {{"film.mp4", 0, FileBytes(film)}, {"film.chs.srt", 0, subtitle}});

    stream::StreamOptions options;
    options.cacheDir = (folder + "/cache").toStdString();
    options.dht = false;
    options.localPeerDiscovery = false;
    options.peerInterfaces = "127.0.0.1:0";
    stream::StreamService service(options);
    QVERIFY(service.Start());
    const QString host = "127.0.0.1:" + QString::number(service.Port());

    Settings settings = Services().ProgramSettings();
    settings.resolutionHost = host.toStdString();
    ProgramWindow w(std::move(settings));
    QVERIFY(w.Start());
    STEP(w.Type("编辑框1", QString::fromStdString(seeder.MagnetLink())));
    STEP(w.Click("超级按钮1"));

    QWebEngineView* player = w.Browser("超文本浏览框1");
    QString why;
    QVERIFY2(WaitForPlaying(player, "https://" + QString::fromStdString(Services().Host(services::Service::Player)) +
                                        "/player.html?url=http://" + host + "/convert/",
                            &why, 60000),
             qPrintable(why));
    QVERIFY(RunScript(player, QStringLiteral("document.querySelector('video').videoWidth")).toInt() > 0);
    QVERIFY(FilmTimeMovesPast(player, 0.5, 30000));
    // The sound was re-encoded into something the browser decodes.
    QTRY_VERIFY_WITH_TIMEOUT(
        RunScript(player, QStringLiteral("document.querySelector('video').webkitAudioDecodedByteCount"))
                .toLongLong() > 0,
        10000);
    QTRY_VERIFY_WITH_TIMEOUT(
        RunScript(player, QStringLiteral("(() => { const t = document.querySelector('video').textTracks;"
                                         " return t.length > 0 && t[0].mode === 'showing' && t[0].cues &&"
                                         " t[0].cues.length > 0 ? t[0].cues[0].text : ''; })()"))
                .toString() == QStringLiteral("中文字幕"),
        20000);

    RunScript(player, QStringLiteral("(() => { window.seekFilm(7); return true; })()"));
    QVERIFY2(FilmTimeMovesPast(player, 7.2, 30000), "no playing after the seek");
    QVERIFY(RunScript(player, QStringLiteral("document.querySelector('video').videoWidth")).toInt() > 0);
    QDir(folder).removeRecursively();
  }
};

QObject* NewConvertRoadTest() {
  return new ConvertRoadTest;
}

}  // namespace morvane::e2e

#include "ConvertRoad.moc"
