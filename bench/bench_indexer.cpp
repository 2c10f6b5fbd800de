// A Torznab indexer's page against a search site's page of the same rows, in one run.
//
// Reading: a feed of 100 items in the shape Jackett writes (each with its download link,
// categories, swarm numbers, infohash and a magnet link with trackers) parsed by expat and
// turned into rows, against the two sites' scrapers on pages of the same 100 results. The
// ratio of the times per page says what the well-kept parser costs over cutting markers.
//
// Following: a page of 20 items that carry only download links, each answered by a local
// indexer after 25 ms (the time it takes to fetch the file from its site), followed a few at
// a time as a search does, against the same links followed one after the other.

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "search/IndexerSearch.h"
#include "search/SiteScrapers.h"
#include "search/TorznabFeed.h"
#include "tests/search/SitePages.h"
#include "tests/support/LocalServer.h"
#include "web/Text.h"

namespace {

using morvane::testing::SiteResult;

constexpr int kRows = 100;
constexpr int kLinkItems = 20;
constexpr auto kLinkDelay = std::chrono::milliseconds(25);
constexpr char kSecondBase[] = "http://127.0.0.1:47082";

std::vector<SiteResult> Results() {
  std::vector<SiteResult> results;
  for (int page = 1; static_cast<int>(results.size()) < kRows; ++page)
    for (auto& r : morvane::testing::NumberedResults("[1080P] 中国合伙人 高清中字 Movie.Name",
                                                     page, 20))
      results.push_back(std::move(r));
  return results;
}

const std::string& Feed() {
  static const std::string feed = [] {
    std::vector<long long> sizes;
    for (int i = 0; i < kRows; ++i) sizes.push_back((1LL + i % 9) << 30);
    return morvane::testing::TorznabFeedOf(Results(), sizes);
  }();
  return feed;
}

const std::string& SitePage(bool first) {
  static const std::string firstPage = morvane::Gbk(morvane::testing::FirstSitePage(Results()));
  static const std::string secondPage =
      morvane::Gbk(morvane::testing::SecondSitePage(Results(), kSecondBase));
  return first ? firstPage : secondPage;
}

const morvane::LinkFollower kNoFetch = [](const std::string&, std::string_view) {
  return std::string();
};

void BM_Indexer(benchmark::State& state) {
  for (auto _ : state) {
    morvane::TorznabAnswer answer = morvane::ReadTorznabAnswer(Feed());
    const morvane::ScrapedFields fields =
        morvane::IndexerFields(std::move(answer.items), kNoFetch, "0123456789abcdef");
    if (fields.hashes.size() != kRows) state.SkipWithError("the feed gave the wrong rows");
    benchmark::DoNotOptimize(fields.links.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(Feed().size()));
}

void BM_Parse(benchmark::State& state) {
  for (auto _ : state) {
    morvane::TorznabAnswer answer = morvane::ReadTorznabAnswer(Feed());
    benchmark::DoNotOptimize(answer.items.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(Feed().size()));
}
BENCHMARK(BM_Parse);

void BM_Site(benchmark::State& state, bool first) {
  const std::string& page = SitePage(first);
  for (auto _ : state) {
    const morvane::ScrapedFields fields =
        first ? morvane::ScrapeFirstSite(page) : morvane::ScrapeSecondSite(page, kSecondBase);
    if (fields.hashes.size() != kRows) state.SkipWithError("the page gave the wrong rows");
    benchmark::DoNotOptimize(fields.hashes.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(page.size()));
}

// The local indexer's download address: a .torrent after kLinkDelay.
class SlowLinks {
 public:
  SlowLinks() {
    server_.server().Get("/dl", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(kLinkDelay);
      const std::string info = "d6:lengthi5e4:name1:a12:piece lengthi16384e6:pieces20:" +
                               std::string(20, 'p') + "e";
      res.set_content("d4:info" + info + "e", "application/x-bittorrent");
    });
    server_.server().new_task_queue = [] { return new httplib::ThreadPool(16); };
    server_.Start();
  }
  std::vector<morvane::TorznabItem> Items() const {
    std::vector<morvane::TorznabItem> items(kLinkItems);
    for (int i = 0; i < kLinkItems; ++i) {
      items[i].title = "t" + std::to_string(i);
      items[i].link = server_.base() + "/dl?i=" + std::to_string(i);
    }
    return items;
  }

 private:
  morvane::testing::LocalServer server_;
};

morvane::LinkFollower Follower() {
  const auto due = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  return [due](const std::string& address, std::string_view title) {
    return morvane::FollowToMagnet(address, title, due);
  };
}

void BM_Links(benchmark::State& state, bool together) {
  static SlowLinks links;
  const std::vector<morvane::TorznabItem> items = links.Items();
  for (auto _ : state) {
    std::size_t found = 0;
    if (together) {
      found = morvane::IndexerFields(items, Follower(), "").links.size();
    } else {
      const morvane::LinkFollower follow = Follower();
      for (const auto& item : items) found += !morvane::ItemMagnet(item, follow).empty();
    }
    if (found != kLinkItems) state.SkipWithError("a link led nowhere");
  }
}

BENCHMARK(BM_Indexer);
BENCHMARK_CAPTURE(BM_Site, first, true);
BENCHMARK_CAPTURE(BM_Site, second, false);
BENCHMARK_CAPTURE(BM_Links, one_after_the_other, false)->Iterations(3)->UseRealTime();
BENCHMARK_CAPTURE(BM_Links, together, true)->Iterations(3)->UseRealTime();

// Keeps each run's real time per iteration (the median's when runs are repeated).
class TimeReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      times_[run.run_name.str()] = run.GetAdjustedRealTime();
    }
  }
  double Time(const std::string& name) const {
    const auto found = times_.find(name);
    return found == times_.end() ? 0 : found->second;
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("pages of %d rows: feed %zu bytes, first site %zu bytes, second site %zu bytes\n",
              kRows, Feed().size(), SitePage(true).size(), SitePage(false).size());
  const double indexer = reporter.Time("BM_Indexer");
  for (const char* site : {"first", "second"}) {
    const double scraper = reporter.Time(std::string("BM_Site/") + site);
    if (indexer > 0 && scraper > 0)
      std::printf("ratio time per page, indexer feed / %s site page: %.2f\n", site,
                  indexer / scraper);
  }
  const double alone = reporter.Time("BM_Links/one_after_the_other/iterations:3/real_time");
  const double together = reporter.Time("BM_Links/together/iterations:3/real_time");
  if (alone > 0 && together > 0)
    std::printf("ratio time per page of %d download links, one after the other / together: "
                "%.2f\n",
                kLinkItems, alone / together);
  benchmark::Shutdown();
  return 0;
}
