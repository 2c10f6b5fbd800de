// Choosing another episode of a season pack that plays, in the real main window and its
// browser, over BitTorrent from the stand-in services' seeder held to 1 MiB/s per torrent:
// search "灯塔", double-click the pack (its largest episode plays), let it play a second,
// then click the next episode in the list beside the film and time
//   - the click to the second episode's first frame (target 1 s): the page asks the service
//     to resolve the pack again with that episode, which switches the download to it and
//     probes it, and the page opens the address it gets;
//   - the click on the third (a Matroska file, converted as it streams) to its first frame.
// In the same run, as references:
//   - the double click to the first episode's first frame, cold (the pack's metadata, the
//     first pieces of the largest episode);
//   - the player page opened on the same second episode from the stand-in player's own web
//     server (no swarm, no probe): what the page and the browser take by themselves.
// Every run starts a fresh streaming service with an empty cache. Prints the medians, the
// target, the ratio of the switch to the plain page, and every run's figures. Run with a
// display or offscreen:
//   QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1
//   build/bench/episode_window/bench_episode_window

#include <QApplication>
#include <QDir>
#include <QTcpServer>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/WindowBench.h"
#include "platform/qt/DesignFonts.h"
#include "services/Catalogue.h"
#include "services/StandInServices.h"
#include "stream/StreamService.h"
#include "tests/e2e/E2eFixture.h"

namespace {

using namespace morvane;
using Clock = std::chrono::steady_clock;
constexpr int kRuns = 5;
constexpr int kSlowSeeder = 1 << 20;  // bytes a second per torrent
constexpr const char* kList = "超级列表框1";
constexpr const char* kPlayer = "超文本浏览框1";

// The time from `act` to the first frame of a new player page whose address holds `part`:
// the page's title turns from the new page's own to "playing" (the old page's "playing"
// does not count). Negative when it does not come within the limit.
double ToFirstFrame(QWebEngineView* view, const QString& part, const std::function<void()>& act) {
  bool fresh = false, playing = false;
  const QMetaObject::Connection watch =
      QObject::connect(view, &QWebEngineView::titleChanged, [&](const QString& title) {
        if (!view->url().toString().contains(part)) return;
        if (title != QStringLiteral("playing")) fresh = true;
        else if (fresh) playing = true;
      });
  const auto started = Clock::now();
  act();
  const bool reached = e2e::Await([&] { return playing; }, 60000, 2);
  const auto took = Clock::now() - started;
  QObject::disconnect(watch);
  return reached ? bench::Milliseconds(took) : -1;
}

struct Figures {
  std::vector<double> firstPlay, switchPlain, switchConverted, plainPage;
};

bool ClickEpisode(QWebEngineView* view, const QString& ending) {
  return e2e::RunScript(view, QStringLiteral("(() => { const a = Array.from(document.querySelectorAll('#episodes a'))"
                                             ".find(a => a.title.endsWith('%1')); if (a) a.click(); return !!a; })()")
                                  .arg(ending))
      .toBool();
}

bool Run(services::StandInServices& swarm, Figures& figures) {
  const QString cache = e2e::NewScratchDirectory(QStringLiteral("bench-episodes"));
  auto service = bench::StartSwarmService(swarm, cache.toStdString());
  if (!service) return false;
  const std::string host = bench::ServiceHost(*service);
  Settings settings = swarm.ProgramSettings();
  settings.resolutionHost = host;
  bool ok = false;
  {
    e2e::ProgramWindow w(settings);
    if (!w.Start()) return false;
    QWebEngineView* view = w.Browser(kPlayer);
    w.ClickToolbar(1);
    w.ChooseSite(0);
    w.Type("编辑框_种子关键字", QStringLiteral("灯塔"));
    w.Click("超级按钮5");
    e2e::Await([&] { return w.Rows(kList) > 0; }, 20000);
    const double first = ToFirstFrame(view, QStringLiteral("S01E01"), [&] { w.DoubleClickRow(kList, 0); });
    if (first >= 0) figures.firstPlay.push_back(first);
    // As a viewer would, a moment into the first before reaching for the list.
    const bool listed = first >= 0 && e2e::Await([&] {
      return e2e::RunScript(view, QStringLiteral("document.querySelectorAll('#episodes a.episode').length"))
                 .toInt() == 3 &&
             e2e::RunScript(view, QStringLiteral("document.getElementById('player').currentTime")).toDouble() > 1;
    }, 30000);
    const double second = listed ? ToFirstFrame(view, QStringLiteral("S01E02"), [&] {
      ClickEpisode(view, QStringLiteral("S01E02.1080p.mp4"));
    }) : -1;
    if (second >= 0) figures.switchPlain.push_back(second);
    const double third = second >= 0 && e2e::Await([&] {
      return e2e::RunScript(view, QStringLiteral("document.querySelectorAll('#episodes a.episode').length"))
                 .toInt() == 3;
    }, 30000) ? ToFirstFrame(view, QStringLiteral("S01E03"), [&] {
      ClickEpisode(view, QStringLiteral("S01E03.1080p.mkv"));
    }) : -1;
    if (third >= 0) figures.switchConverted.push_back(third);
    // The reference: the same player page on the second episode from a plain web server.
    const QString plain = "https://" + QString::fromStdString(swarm.Host(services::Service::Player)) +
                          "/player.html?url=https://" +
                          QString::fromStdString(swarm.Host(services::Service::Player)) +
                          "/media/lighthouse-s01/The.Lighthouse.S01E02.1080p.mp4";
    const double page = ToFirstFrame(view, QStringLiteral("/media/lighthouse-s01/"), [&] { view->load(QUrl(plain)); });
    if (page >= 0) figures.plainPage.push_back(page);
    ok = first >= 0 && second >= 0 && third >= 0 && page >= 0;
  }
  service->Stop();
  service.reset();
  QDir(cache).removeRecursively();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  app.setFont(morvane::DefaultFont());

  Figures figures;
  int failures = 0;
  {
    auto swarm = bench::StartStandIns(kSlowSeeder);
    if (!swarm) return 1;
    for (int i = 0; i < kRuns; ++i) failures += Run(*swarm, figures) ? 0 : 1;
  }
  bench::Report("another episode to first frame, seeder 1 MiB/s", figures.switchPlain, 1000);
  bench::Report("another episode, converted, to first frame, seeder 1 MiB/s", figures.switchConverted, 0);
  bench::Report("reference: double click to first frame, cold, 1 MiB/s", figures.firstPlay, 0);
  bench::Report("reference: the same episode's page from a plain web server", figures.plainPage, 0);
  const double plain = bench::Median(figures.plainPage);
  if (plain > 0) std::printf("another episode / plain page: %.2f\n", bench::Median(figures.switchPlain) / plain);
  if (failures > 0) std::printf("%d run(s) did not reach a playing episode\n", failures);
  std::fflush(nullptr);
  // Browser processes may still be busy: no static destruction under them.
  std::quick_exit(failures == 0 ? 0 : 1);
}
