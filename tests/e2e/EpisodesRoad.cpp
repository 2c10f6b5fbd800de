// A season pack in the real window and its browser, streamed by the program's own service
// from the stand-in services' seeder: a double click plays the largest episode, the list
// beside it shows the three episodes, a click plays another, the end of one starts the next,
// a film in two languages switches its sound, and a film played again offers to go on from
// where it was left, after the program was closed and opened again.

#include <QDir>
#include <QRegularExpression>
#include <QTest>
#include <memory>

#include "app/OwnStreamService.h"
#include "services/Catalogue.h"
#include "tests/e2e/E2eFixture.h"
#include "tests/e2e/EpisodesRoad.h"
#include "tests/e2e/RoadService.h"

namespace morvane::e2e {
namespace {

using services::Service;

constexpr const char* kPlayer = "超文本浏览框1";
const QString kPack = QStringLiteral("灯塔 The.Lighthouse.S01");

}  // namespace

class EpisodesRoadTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<ProgramWindow> w;
  std::string resolutionHost;
  QString cacheDir;

  QWebEngineView* Player() const { return w->Browser(kPlayer); }
  QVariant Page(const QString& script) const { return RunScript(Player(), script); }
  QString PlayerPrefix() const {
    return "https://" + QString::fromStdString(Services().Host(Service::Player)) +
           "/player.html?url=http://" + QString::fromStdString(resolutionHost) + "/";
  }
  // Waits until the page plays an address of the service whose path matches `path`.
  void WaitForEpisode(const QString& path, int timeoutMs = 60000) {
    const QRegularExpression wanted(path);
    const QString source = QStringLiteral("(document.getElementById('player') || {}).src");
    if (!Await([&] { return wanted.match(Page(source).toString()).hasMatch(); }, timeoutMs))
      QFAIL(qPrintable("the page at " + Player()->url().toString() + " plays " + Page(source).toString() +
                       " and shows: " + Page(QStringLiteral("document.body.innerText")).toString()));
    QString why;
    QVERIFY2(WaitForPlaying(Player(), PlayerPrefix(), &why, timeoutMs), qPrintable(why));
  }
  QString Playing() const {
    return Page(QStringLiteral("(() => { const a = document.querySelector('#episodes a.playing');"
                               " return a ? a.title : ''; })()"))
        .toString();
  }
  void ClickEpisode(const QString& ending) {
    QVERIFY(Page(QStringLiteral("(() => { const a = Array.from(document.querySelectorAll('#episodes a'))"
                                ".find(a => a.title.endsWith('%1')); if (a) a.click(); return !!a; })()")
                     .arg(ending))
                .toBool());
  }
  double FilmTime() const { return Page(QStringLiteral("window.playerFilm.time()")).toDouble(); }
  void SearchAndPlayThePack() {
    STEP(w->ClickToolbar(1));
    STEP(w->ChooseSite(0));
    STEP(w->Type("编辑框_种子关键字", QStringLiteral("灯塔")));
    STEP(w->Click("超级按钮5"));
    QTRY_COMPARE_WITH_TIMEOUT(w->Text("种子结果标签"), kEndOfSearch, 20000);
    int row = -1;
    for (int r = 0; r < w->Rows("超级列表框1"); ++r)
      if (w->Cell("超级列表框1", r, 1).contains(kPack)) row = r;
    QVERIFY2(row >= 0, "no season pack in the results: scripts/make-media.sh makes it");
    STEP(w->DoubleClickRow("超级列表框1", row));
  }
  void StartProgram() {
    w.reset();
    Settings settings = Services().ProgramSettings();
    settings.resolutionHost = resolutionHost;
    w = std::make_unique<ProgramWindow>(std::move(settings));
    QVERIFY(w->Start());
  }

 private slots:
  void initTestCase() {
    const RoadService road = StartRoadService(QStringLiteral("episodes-cache"),
                                              services::AnnounceAddress(Services().Host(Service::Publisher)));
    resolutionHost = road.host;
    cacheDir = road.cacheDir;
    QVERIFY(!resolutionHost.empty());
    STEP(StartProgram());
  }

  void cleanupTestCase() {
    w.reset();
    QDir(cacheDir).removeRecursively();
  }

  // The double click plays the largest episode, and the list beside it holds the three
  // episodes (not the sample), the first marked.
  void doubleClickPlaysTheLargestEpisode() {
    STEP(SearchAndPlayThePack());
    STEP(WaitForEpisode(QStringLiteral("/stream/[0-9a-f]{40}/The\\.Lighthouse\\.S01E01\\.1080p\\.mp4$")));
    QTRY_COMPARE_WITH_TIMEOUT(Page(QStringLiteral("document.querySelectorAll('#episodes a.episode').length")).toInt(),
                              3, 10000);
    QVERIFY2(Playing().endsWith(QStringLiteral("/The.Lighthouse.S01E01.1080p.mp4")), qPrintable(Playing()));
    // Its own subtitles, not another episode's.
    QTRY_COMPARE_WITH_TIMEOUT(
        Page(QStringLiteral("(() => { const t = Array.from(document.getElementById('player').textTracks)"
                            ".find(t => t.mode === 'showing'); return t ? t.label : ''; })()"))
            .toString(),
        QStringLiteral("The.Lighthouse.S01E01.chs.srt"), 15000);
  }

  // The first, played as it stands, has a second sound track: choosing it plays the film
  // converted with that sound, from where it was.
  void anotherSoundTrackPlaysTheFilmConvertedFromWhereItWas() {
    QTRY_COMPARE_WITH_TIMEOUT(Page(QStringLiteral("document.querySelectorAll('#audio a.audio-track').length")).toInt(),
                              2, 15000);
    QCOMPARE(Page(QStringLiteral("document.querySelector('#audio a.playing').dataset.index")).toString(),
             QStringLiteral("1"));
    QTRY_VERIFY_WITH_TIMEOUT(FilmTime() > 3, 20000);
    const double before = FilmTime();
    Page(QStringLiteral("document.querySelector('#audio a.audio-track:not(.playing)').click()"));
    STEP(WaitForEpisode(
        QStringLiteral("/convert/[0-9a-f]{40}/The\\.Lighthouse\\.S01E01\\.1080p\\.mp4\\?audio=2&start=[0-9.]+$")));
    QTRY_COMPARE_WITH_TIMEOUT(Page(QStringLiteral("(() => { const a = document.querySelector('#audio a.playing');"
                                                  " return a ? a.dataset.index : ''; })()"))
                                  .toString(),
                              QStringLiteral("2"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(FilmTime() >= before - 1.5, 20000);
    QVERIFY2(FilmTime() < before + 8, qPrintable(QString::number(FilmTime())));
    // Still the first episode in the list.
    QTRY_VERIFY_WITH_TIMEOUT(Playing().endsWith(QStringLiteral("/The.Lighthouse.S01E01.1080p.mp4")), 10000);
  }

  // A click on the third plays it (a Matroska file: converted), marked in the list; its
  // second sound track plays from where the first one was.
  void clickingAnEpisodePlaysItAndItsOtherSoundTrack() {
    STEP(ClickEpisode(QStringLiteral("S01E03.1080p.mkv")));
    STEP(WaitForEpisode(QStringLiteral("/convert/[0-9a-f]{40}/The\\.Lighthouse\\.S01E03\\.1080p\\.mp4$")));
    QTRY_VERIFY_WITH_TIMEOUT(Playing().endsWith(QStringLiteral("/The.Lighthouse.S01E03.1080p.mkv")), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(Page(QStringLiteral("document.querySelectorAll('#audio a.audio-track').length")).toInt(),
                              2, 15000);
    QCOMPARE(Page(QStringLiteral("document.querySelector('#audio a.playing').textContent")).toString(),
             QStringLiteral("\u25b6 国语"));
    QTRY_VERIFY_WITH_TIMEOUT(FilmTime() > 3, 20000);
    const double before = FilmTime();
    QVERIFY(Page(QStringLiteral("(() => { const a = document.querySelector('#audio a.audio-track:not(.playing)');"
                                " a.click(); return a.textContent; })()"))
                .toString() == QStringLiteral("English"));
    STEP(WaitForEpisode(
        QStringLiteral("/convert/[0-9a-f]{40}/The\\.Lighthouse\\.S01E03\\.1080p\\.mp4\\?audio=2&start=[0-9.]+$")));
    QTRY_COMPARE_WITH_TIMEOUT(Page(QStringLiteral("(() => { const a = document.querySelector('#audio a.playing');"
                                                  " return a ? a.textContent : ''; })()"))
                                  .toString(),
                              QStringLiteral("\u25b6 English"), 10000);
    // It went on where the first track was, not from the start.
    QTRY_VERIFY_WITH_TIMEOUT(FilmTime() >= before - 1.5, 20000);
    QVERIFY2(FilmTime() < before + 8, qPrintable(QString::number(FilmTime())));
  }

  // At the end of the first episode a countdown starts, then the second plays.
  void theNextEpisodeStartsAtTheEnd() {
    STEP(ClickEpisode(QStringLiteral("S01E01.1080p.mp4")));
    STEP(WaitForEpisode(QStringLiteral("/stream/[0-9a-f]{40}/The\\.Lighthouse\\.S01E01\\.1080p\\.mp4$")));
    Page(QStringLiteral("(() => { const v = document.getElementById('player');"
                        " v.currentTime = v.duration - 1.5; return true; })()"));
    QTRY_VERIFY_WITH_TIMEOUT(
        Page(QStringLiteral("(() => { const o = document.getElementById('next-episode');"
                            " return o ? o.textContent : ''; })()"))
            .toString()
            .startsWith(QStringLiteral("下一集：The.Lighthouse.S01E02.1080p，")),
        15000);
    STEP(WaitForEpisode(QStringLiteral("/stream/[0-9a-f]{40}/The\\.Lighthouse\\.S01E02\\.1080p\\.mp4$"), 30000));
    QTRY_VERIFY_WITH_TIMEOUT(Playing().endsWith(QStringLiteral("/The.Lighthouse.S01E02.1080p.mp4")), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(
        Page(QStringLiteral("(() => { const t = Array.from(document.getElementById('player').textTracks)"
                            ".find(t => t.mode === 'showing'); return t ? t.label : ''; })()"))
            .toString(),
        QStringLiteral("The.Lighthouse.S01E02.chs.srt"), 15000);
    // Subtitles later by three tenths with the key: the cue at 0.5 s shows at 0.8 s.
    QTRY_VERIFY_WITH_TIMEOUT(Page(QStringLiteral("(() => { const t = Array.from(document.getElementById('player')"
                                                 ".textTracks).find(t => t.mode === 'showing');"
                                                 " return !!(t && t.cues && t.cues.length); })()"))
                                 .toBool(),
                             15000);
    for (int i = 0; i < 3; ++i)
      Page(QStringLiteral("document.dispatchEvent(new KeyboardEvent('keydown', {key: ']'}))"));
    QCOMPARE(Page(QStringLiteral("window.subtitleShift()")).toDouble(), 0.3);
    QCOMPARE(Page(QStringLiteral("(() => { const t = Array.from(document.getElementById('player').textTracks)"
                                 ".find(t => t.mode === 'showing'); return t.cues[0].startTime; })()"))
                 .toDouble(),
             0.8);
    QCOMPARE(Page(QStringLiteral("document.getElementById('subtitle-shift').textContent")).toString(),
             QStringLiteral("+0.3 秒"));
  }

  // Closed at 0:11 of the second episode, the program opened again plays the pack, and the
  // second episode offers to go on from there; its subtitles keep their shift.
  void aFilmPlayedAgainOffersToGoOnWhereItWasLeft() {
    Page(QStringLiteral("(() => { const v = document.getElementById('player');"
                        " v.currentTime = 11.2; return true; })()"));
    QTRY_VERIFY_WITH_TIMEOUT(FilmTime() > 11.5, 20000);
    Page(QStringLiteral("document.getElementById('player').pause()"));
    QTest::qWait(1500);  // the pause has the service keep the place

    STEP(StartProgram());
    STEP(SearchAndPlayThePack());
    STEP(WaitForEpisode(QStringLiteral("/stream/[0-9a-f]{40}/The\\.Lighthouse\\.S01E01\\.1080p\\.mp4$")));
    QTRY_COMPARE_WITH_TIMEOUT(Page(QStringLiteral("document.querySelectorAll('#episodes a.episode').length")).toInt(),
                              3, 10000);
    // The first was watched to its end: nothing to offer.
    QTest::qWait(1000);
    QVERIFY(!Page(QStringLiteral("!!document.getElementById('resume-go')")).toBool());

    STEP(ClickEpisode(QStringLiteral("S01E02.1080p.mp4")));
    STEP(WaitForEpisode(QStringLiteral("/stream/[0-9a-f]{40}/The\\.Lighthouse\\.S01E02\\.1080p\\.mp4$")));
    QTRY_VERIFY_WITH_TIMEOUT(Page(QStringLiteral("!!document.getElementById('resume-go')")).toBool(), 10000);
    const QString offer = Page(QStringLiteral("document.getElementById('resume-go').textContent")).toString();
    QVERIFY2(offer == QStringLiteral("从 00:11 继续播放") || offer == QStringLiteral("从 00:12 继续播放"),
             qPrintable(offer));
    QCOMPARE(Page(QStringLiteral("window.subtitleShift()")).toDouble(), 0.3);
    Page(QStringLiteral("document.getElementById('resume-go').click()"));
    QTRY_VERIFY_WITH_TIMEOUT(FilmTime() > 11.5, 15000);
    QVERIFY(!Page(QStringLiteral("!!document.getElementById('resume-go')")).toBool());
  }
};

QObject* NewEpisodesRoadTest() {
  return new EpisodesRoadTest;
}

}  // namespace morvane::e2e

#include "EpisodesRoad.moc"
