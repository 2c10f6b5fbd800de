// Videos the embedded browser cannot play as they are, each in a torrent seeded in process,
// whose magnet link typed into the real window plays through a streaming service of this
// process: picture and sound decode, the clock moves, a subtitle beside the video or inside
// it is a text track (a Chinese one first), and a seek restarts the conversion at the time
// wanted. One window and one service serve every case in turn.

#include <QDir>
#include <QTest>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "stream/AccessKey.h"
#include "stream/StreamService.h"
#include "tests/e2e/ConvertRoad.h"
#include "tests/e2e/E2eFixture.h"
#include "tests/e2e/PlayerSwarmLine.h"
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

bool WriteFile(const QString& path, const std::string& bytes) {
  std::ofstream out(path.toStdString(), std::ios::binary);
  out << bytes;
  return static_cast<bool>(out);
}

// Sources of the films: a moving picture and a tone, a key frame every second.
const QString kSmallPicture = QStringLiteral(
    "-f lavfi -i testsrc2=size=320x180:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 ");
const QString kKeyEverySecond = QStringLiteral("-g 25 -keyint_min 25 ");

}  // namespace

class ConvertRoadTest : public QObject {
  Q_OBJECT

 private:
  QString folder;
  std::unique_ptr<stream::StreamService> service;
  const std::string key = stream::NewRandomKey();
  std::unique_ptr<ProgramWindow> w;
  // Kept to the end: a film of an earlier case may still be read after its case ends.
  std::vector<std::unique_ptr<testing::Seeder>> seeders;

  QString ConvertedPrefix(const testing::Seeder& seeder) const {
    return "https://" + QString::fromStdString(Services().Host(services::Service::Player)) +
           "/player.html?url=http://127.0.0.1:" + QString::number(service->Port()) + "/" +
           QString::fromStdString(key) + "/convert/" +
           QString::fromStdString(seeder.InfoHashHex()) + "/";
  }

 private slots:
  void initTestCase() {
    folder = NewScratchDirectory(QStringLiteral("convert-road"));
    QVERIFY(!folder.isEmpty());
    // The text tracks of the Matroska film: English first in the file, Chinese (UTF-8).
    QVERIFY(WriteFile(folder + "/english.srt", "1\n00:00:00,500 --> 00:00:09,000\nEnglish line\n"));
    QVERIFY(WriteFile(folder + "/chinese.srt", "1\n00:00:00,500 --> 00:00:09,000\n内嵌字幕\n"));

    stream::StreamOptions options;
    options.cacheDir = (folder + "/cache").toStdString();
    options.dht = false;
    options.localPeerDiscovery = false;
    options.peerInterfaces = "127.0.0.1:0";
    // A track inside a film still downloading is asked for again by the page.
    options.embeddedSubtitleWait = std::chrono::milliseconds(1000);
    options.accessKey = key;  // as the program keys its own: the page's requests name a page
    service = std::make_unique<stream::StreamService>(options);
    QVERIFY(service->Start());

    Settings settings = Services().ProgramSettings();
    settings.resolutionHost = "127.0.0.1:" + std::to_string(service->Port()) + "/" + key;
    w = std::make_unique<ProgramWindow>(std::move(settings));
    QVERIFY(w->Start());
  }

  void cleanupTestCase() {
    w.reset();
    service.reset();
    seeders.clear();
    if (!folder.isEmpty()) QDir(folder).removeRecursively();
  }

  void convertedFilmPlays_data() {
    QTest::addColumn<QString>("film");       // its name in the torrent
    QTest::addColumn<QString>("recipe");     // ffmpeg's arguments before the output
    QTest::addColumn<QByteArray>("beside");  // a subtitle file beside it, "" for none
    QTest::addColumn<QString>("cue");        // the text of the first track's first cue
    // Film time to seek to, 0: no seek. Half way between key frames, so that wherever the
    // restart lands on the key frame before, it is clearly near the point.
    QTest::addColumn<double>("seekTo");
    QTest::addColumn<int>("uploadLimit");    // of the seeder, bytes a second; 0: none

    QTest::newRow("HEVC/AAC MP4, GBK subtitle file")
        << "film.mp4"
        << "-f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
           "-t 12 -map 0:v -map 1:a -c:v libx265 -preset ultrafast "
           "-x265-params log-level=error:keyint=25:min-keyint=25 -tag:v hvc1 -c:a aac"
        // "中文字幕" in GBK.
        << QByteArray("1\r\n00:00:00,500 --> 00:00:11,000\r\n\xD6\xD0\xCE\xC4\xD7\xD6\xC4\xBB\r\n")
        << QStringLiteral("中文字幕") << 7.5 << 0;
    QTest::newRow("H.264/AC3 MKV")
        << "film.mkv"
        << kSmallPicture + "-t 10 -map 0:v -map 1:a -c:v libx264 -preset ultrafast " + kKeyEverySecond +
               "-c:a ac3"
        << QByteArray() << QString() << 0.0 << 0;
    QTest::newRow("Xvid/MP3 AVI")
        << "film.avi"
        << kSmallPicture + "-t 10 -map 0:v -map 1:a -c:v libxvid " + kKeyEverySecond + "-c:a libmp3lame"
        << QByteArray() << QString() << 6.5 << 0;
    // Seeded at twice its bit rate, so that the film plays while its text tracks are not
    // complete yet.
    QTest::newRow("MKV with English and Chinese text tracks")
        << "film.mkv"
        << kSmallPicture + "-i " + folder + "/english.srt -i " + folder +
               "/chinese.srt -t 10 -map 0:v -map 1:a -map 2:s -map 3:s -c:v libx264 -preset ultrafast " +
               kKeyEverySecond +
               "-c:a aac -c:s srt -metadata:s:s:0 language=eng -metadata:s:s:1 language=chi"
        << QByteArray() << QStringLiteral("内嵌字幕") << 0.0 << (192 << 10);
  }

  void convertedFilmPlays() {
    QFETCH(QString, film);
    QFETCH(QString, recipe);
    QFETCH(QByteArray, beside);
    QFETCH(QString, cue);
    QFETCH(double, seekTo);
    QFETCH(int, uploadLimit);

    const QString made = folder + "/" + QString::number(seeders.size()) + "-" + film;
    const std::string make = "ffmpeg -nostdin -v error -y " + recipe.toStdString() + " " + made.toStdString();
    QCOMPARE(std::system(make.c_str()), 0);
    std::vector<testing::SeedFile> files{{film.toStdString(), 0, FileBytes(made)}};
    if (!beside.isEmpty()) files.push_back({"film.chs.srt", 0, beside.toStdString()});
    seeders.push_back(std::make_unique<testing::Seeder>(
        std::filesystem::path(folder.toStdString()) / ("seed" + std::to_string(seeders.size())), "film", files,
        testing::SeederOptions{.uploadLimit = uploadLimit}));
    const testing::Seeder& seeder = *seeders.back();

    STEP(w->Type("编辑框1", QString::fromStdString(seeder.MagnetLink())));
    STEP(w->Click("超级按钮1"));

    QWebEngineView* player = w->Browser("超文本浏览框1");
    QString why;
    QVERIFY2(WaitForPlaying(player, ConvertedPrefix(seeder), &why, 60000), qPrintable(why));
    QVERIFY(RunScript(player, QStringLiteral("document.querySelector('video').videoWidth")).toInt() > 0);
    // The same swarm line as under a film played as it is.
    QVERIFY(SwarmLineShows(player, 10000));
    QVERIFY(FilmTimeMovesPast(player, 0.5, 30000));
    // The sound reaches the browser in something it decodes.
    QTRY_VERIFY_WITH_TIMEOUT(
        RunScript(player, QStringLiteral("document.querySelector('video').webkitAudioDecodedByteCount"))
                .toLongLong() > 0,
        20000);
    if (!cue.isEmpty()) {
      // A track inside the film is complete only once the whole film is there.
      QTRY_COMPARE_WITH_TIMEOUT(
          RunScript(player, QStringLiteral("(() => { const t = document.querySelector('video').textTracks;"
                                           " return t.length > 0 && t[0].mode === 'showing' && t[0].cues &&"
                                           " t[0].cues.length > 0 ? t[0].cues[0].text : ''; })()"))
              .toString(),
          cue, 60000);
    }
    if (seekTo > 0) {
      // The film time of the first frame the restarted conversion shows: plain playback
      // reaches the seek point too, so only where the film starts again tells a seek
      // that works from one that does nothing or leaves the clock behind.
      RunScript(player, QStringLiteral("(() => { const v = document.querySelector('video');"
                                       " window.timeAfterSeek = -1;"
                                       " v.addEventListener('loadedmetadata', () =>"
                                       " v.addEventListener('timeupdate', () =>"
                                       " window.timeAfterSeek = window.filmTime(), {once: true}),"
                                       " {once: true});"
                                       " window.seekFilm(%1); return true; })()")
                            .arg(seekTo));
      QTRY_VERIFY2_WITH_TIMEOUT(
          RunScript(player, QStringLiteral("window.timeAfterSeek")).toDouble() >= 0,
          "the film did not start again after the seek", 30000);
      // The conversion starts at the key frame at or before the point; one a second.
      const double first = RunScript(player, QStringLiteral("window.timeAfterSeek")).toDouble();
      QVERIFY2(std::abs(first - seekTo) <= 1.05,
               qPrintable(QStringLiteral("the film starts again at %1 s").arg(first)));
      QVERIFY2(FilmTimeMovesPast(player, first + 0.2, 30000), "no playing after the seek");
      QVERIFY(RunScript(player, QStringLiteral("document.querySelector('video').videoWidth")).toInt() > 0);
    }
  }
};

QObject* NewConvertRoadTest() {
  return new ConvertRoadTest;
}

}  // namespace morvane::e2e

#include "ConvertRoad.moc"
