// A 2,000-result page from the moment its bytes have arrived to the moment all its rows are
// in the main window's result list (offscreen): scraped and published on a worker, the rows
// carried to the window thread in one call and inserted there, as a search does it.
// Reference in the same run: the same 2,000 rows, already converted, inserted straight into
// the same list on the window thread, the widget's own share of the work. Prints the times
// and their ratio after the table (target: under 100 ms).

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

#include "platform/Program.h"
#include "app/window/MainWindow.h"
#include "platform/qt/DesignFonts.h"
#include "platform/qt/QtControls.h"
#include "search/ResultRows.h"
#include "search/SiteScrapers.h"
#include "tests/search/SitePages.h"

namespace {

using morvane::Program;
using morvane::QtControls;
using morvane::Settings;
using Clock = std::chrono::steady_clock;
constexpr int kResults = 2000;
constexpr std::size_t kPageSize = 1 << 20;
constexpr const char* kList = "超级列表框1";

struct Window {
  Window() {
    ui.AddWindow(&window);
    window.show();
    QCoreApplication::processEvents();
  }
  ~Window() { ui.Close(); }

  QtControls ui;
  Program program{ui, Settings{}};
  morvane::MainWindow window{program.settings};
};

Window* gWindow = nullptr;

const std::string& Page() {
  static const std::string page =
      morvane::testing::LargeResultPage(true, kResults, kPageSize, "http://127.0.0.1:47082");
  return page;
}

QTreeWidget& List() {
  return *gWindow->window.Control<QTreeWidget>(kList);
}

void EmptyList() {
  List().clear();
  QCoreApplication::processEvents();
}

void BM_PageToListRows(benchmark::State& state) {
  Program& program = gWindow->program;
  for (auto _ : state) {
    EmptyList();
    std::uint64_t generation;
    {
      std::lock_guard lock(program.search.mutex);
      generation = program.search.generation;
      program.search.rowCounter = 0;
    }
    QEventLoop loop;
    const auto start = Clock::now();
    std::thread worker([&] {
      std::string page = Page();  // the bytes as they arrive
      morvane::ScrapedFields fields = morvane::ScrapeFirstSite(page);
      morvane::PublishPage(program, generation, std::move(page), std::move(fields));
      QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    const auto end = Clock::now();
    worker.join();
    if (List().topLevelItemCount() != kResults) state.SkipWithError("rows missing");
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
}

void BM_InsertPreparedRows(benchmark::State& state) {
  const morvane::ScrapedFields fields = morvane::ScrapeFirstSite(Page());
  const auto rows = morvane::MakeResultRows(fields.names, fields.hashes, fields.sizes, 0);
  std::vector<QStringList> texts;
  for (const auto& row : rows) {
    QStringList cells;
    for (const auto& cell : row) cells << QString::fromStdString(morvane::LocalToUtf8(cell));
    texts.push_back(cells);
  }
  for (auto _ : state) {
    EmptyList();
    const auto start = Clock::now();
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(texts.size()));
    for (const auto& cells : texts) items << new QTreeWidgetItem(cells);
    List().setUpdatesEnabled(false);
    List().addTopLevelItems(items);
    List().setUpdatesEnabled(true);
    const auto end = Clock::now();
    if (List().topLevelItemCount() != kResults) state.SkipWithError("rows missing");
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
}

BENCHMARK(BM_PageToListRows)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
BENCHMARK(BM_InsertPreparedRows)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (!run.error_occurred) ms_[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  void PrintRatio() const {
    const auto page = ms_.find("BM_PageToListRows/iterations:30/manual_time");
    const auto reference = ms_.find("BM_InsertPreparedRows/iterations:30/manual_time");
    if (page == ms_.end() || reference == ms_.end() || reference->second <= 0) return;
    std::printf(
        "page to rows: %.1f ms (target < 100 ms); prepared insertion: %.1f ms; "
        "ratio %.2f\n",
        page->second, reference->second, page->second / reference->second);
  }

 private:
  std::map<std::string, double> ms_;
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu --no-sandbox");
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  app.setFont(morvane::DefaultFont());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  {
    Window window;
    gWindow = &window;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio();
    gWindow = nullptr;
  }
  benchmark::Shutdown();
  return 0;
}
