// Films the embedded browser cannot play as they are, converted on the fly by the program's
// own streaming service, in the real main window: the time from the click on "播放" (a
// typed magnet link) to the first video frame, for
//   - the film as the browser plays it (H.264/AAC MP4, index first): the reference;
//   - the same picture with AC3 sound in Matroska: the sound is re-encoded, the picture copied;
//   - the same film in HEVC: the picture is re-encoded (after the encoder trial).
// Each film is two minutes of 1280x720 at 7 Mbit/s (about 105 MB), seeded in this process
// over loopback BitTorrent. Every run seeds a new torrent (a new name, so no remembered
// encoder choice) to a new streaming service with an empty cache, in a new window. The
// films are made with ffmpeg into the build folder, once for each recipe. Prints the median
// of each figure and its ratio to the reference measured in the same run. Run with a display
// or offscreen:
//   QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1
//   build/bench/convert_window/bench_convert_window

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/WindowBench.h"
#include "platform/qt/DesignFonts.h"
#include "stream/StreamService.h"
#include "tests/e2e/E2eFixture.h"
#include "tests/support/Seeder.h"

namespace {

using namespace morvane;
using Clock = std::chrono::steady_clock;
constexpr int kRuns = 3;
constexpr const char* kPlayer = "超文本浏览框1";

struct Film {
  const char* what;
  const char* extension;
  // ffmpeg's arguments before the output; the other films are made from the reference.
  std::string recipe;
  const char* route;  // what the streaming service answers the resolution with
  std::string path = {};
  std::vector<double> firstFrame = {};  // milliseconds, one a run
};

constexpr const char* kReferenceRecipe =
    "-f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
    "-t 120 -map 0:v -map 1:a -c:v libx264 -preset ultrafast -b:v 7M -maxrate 7M -bufsize 14M "
    "-g 50 -c:a aac -b:a 128k -movflags +faststart";

// Makes the film in `folder` unless it is there: its name carries the recipe, so that a
// changed recipe makes a new film.
bool MakeFilm(const std::string& folder, Film& film) {
  char tag[17];
  std::snprintf(tag, sizeof tag, "%016zx", std::hash<std::string>{}(film.recipe));
  const std::string path = folder + "/film-" + tag + film.extension;
  film.path = path;
  if (QFileInfo::exists(QString::fromStdString(path))) return true;
  std::printf("making %s ...\n", path.c_str());
  std::fflush(stdout);
  const std::string partial = path + ".partial" + path.substr(path.rfind('.'));
  const std::string command = "ffmpeg -nostdin -v error -y " + film.recipe + " '" + partial +
                              "' && mv '" + partial + "' '" + path + "'";
  return std::system(command.c_str()) == 0;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

double Median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// One cold run: the film seeded as a new torrent, a new streaming service and window, the
// magnet link typed and played, until the player shows a frame.
bool Run(Film& film, int run) {
  const QString scratch = e2e::NewScratchDirectory(QStringLiteral("bench-convert"));
  if (scratch.isEmpty()) return false;
  const std::string name = "film-" + std::to_string(run) + film.extension;
  bool ok = false;
  {
    testing::Seeder seeder(std::filesystem::path(scratch.toStdString()) / "seed", name,
                           {{name, 0, FileBytes(film.path)}});
    stream::StreamOptions options;
    options.cacheDir = (scratch + "/cache").toStdString();
    options.dht = false;
    options.localPeerDiscovery = false;
    options.peerInterfaces = "127.0.0.1:0";
    options.accessKey = bench::kServiceKey;
    stream::StreamService service(options);
    if (!service.Start()) {
      std::fprintf(stderr, "the streaming service did not start\n");
      return false;
    }
    Settings settings = e2e::Services().ProgramSettings();
    settings.resolutionHost = bench::ServiceHost(service);
    {
      e2e::ProgramWindow w(settings);
      if (w.Start()) {
        QWebEngineView* view = w.Browser(kPlayer);
        const QString prefix =
            "https://" + QString::fromStdString(e2e::Services().Host(services::Service::Player)) +
            "/player.html?url=http://" + QString::fromStdString(bench::ServiceHost(service)) + "/" +
            film.route + "/" + QString::fromStdString(seeder.InfoHashHex()) + "/";
        w.Type("编辑框1", QString::fromStdString(seeder.MagnetLink()));
        const auto clicked = Clock::now();
        w.Click("超级按钮1");
        ok = e2e::Await(
            [&] {
              return view->url().toString(QUrl::FullyEncoded).startsWith(prefix) &&
                     view->title() == QStringLiteral("playing");
            },
            120000, 2);
        if (ok)
          film.firstFrame.push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - clicked).count());
        else
          std::fprintf(stderr, "%s, run %d: no frame (page %s, title '%s')\n", film.what, run,
                       qPrintable(view->url().toString()), qPrintable(view->title()));
      }
    }
    service.Stop();
  }
  QDir(scratch).removeRecursively();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  app.setFont(morvane::DefaultFont());

  const std::string films = MORVANE_FILMS_DIR;
  std::filesystem::create_directories(films);
  std::vector<Film> cases = {
      {"H.264/AAC MP4 as it is (reference)", ".mp4", kReferenceRecipe, "stream"}};
  if (!MakeFilm(films, cases.front())) return 1;
  const std::string fromReference = "-i '" + cases.front().path + "' -map 0 ";
  cases.push_back(
      {"H.264/AC3 MKV, sound converted", ".mkv", fromReference + "-c:v copy -c:a ac3", "convert"});
  cases.push_back({"HEVC/AAC MKV, picture converted", ".mkv",
                   fromReference + "-c:v libx265 -preset ultrafast -b:v 7M "
                                   "-x265-params log-level=error:keyint=50 -c:a copy",
                   "convert"});
  for (Film& film : cases)
    if (!MakeFilm(films, film)) return 1;

  // The process's first playback also starts the web engine's media pipeline: not counted.
  Run(cases.front(), kRuns);
  cases.front().firstFrame.clear();
  int failures = 0;
  // Taken in turn, so that a change of load on the machine falls on every film alike.
  for (int run = 0; run < kRuns; ++run)
    for (Film& film : cases) failures += Run(film, run) ? 0 : 1;

  const double reference = Median(cases.front().firstFrame);
  for (const Film& film : cases) {
    std::string each;
    for (const double v : film.firstFrame)
      each += (each.empty() ? "" : ", ") + std::to_string(std::lround(v));
    const double median = Median(film.firstFrame);
    std::printf("click to first frame, %-36s %7.0f ms  %5.2f x reference  (runs: %s)\n", film.what,
                median, reference > 0 && median >= 0 ? median / reference : -1.0, each.c_str());
  }
  if (failures > 0) std::printf("%d run(s) did not reach a frame\n", failures);
  std::fflush(nullptr);
  // Browser processes may still be busy: no static destruction under them.
  std::quick_exit(failures == 0 ? 0 : 1);
}
