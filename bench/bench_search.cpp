// The two sites' scrapers on a 1 MB result page of 2,000 results, against glibc's memmem
// over the same bytes in the same run: once finding one marker per result (one pass), once
// finding the left markers of all three fields (three passes, as the scraper reads the page).
// The ratios of throughputs, printed after the table, say how close the scrapers come to a
// plain byte search.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/ThroughputReporter.h"
#include "search/SiteScrapers.h"
#include "tests/search/SitePages.h"
#include "web/Text.h"

namespace {

constexpr std::size_t kPageSize = 1 << 20;
constexpr int kResults = 2000;
constexpr char kSecondBase[] = "http://127.0.0.1:47082";

const std::string& Page(bool first) {
  static const std::string firstPage =
      morvane::testing::LargeResultPage(true, kResults, kPageSize, kSecondBase);
  static const std::string secondPage =
      morvane::testing::LargeResultPage(false, kResults, kPageSize, kSecondBase);
  return first ? firstPage : secondPage;
}

// The left markers of the three fields, as a byte search would look for them.
std::vector<std::string> LeftMarkers(bool first) {
  if (first)
    return {"</a>\n</p>\n<div class=\"m-files\">", "m-title\"><a href=\"/hash/",
            morvane::Gbk("大小:")};
  return {"class=\"btn\" title=\"",
          std::string("<td class=\"action\"><a href=\"") + kSecondBase + "/magnet/detail/hash/",
          "<td class=\"files-size\">"};
}

// memmem finding every occurrence of the first `markers` left markers, one pass each.
void BM_Memmem(benchmark::State& state, bool first, std::size_t markers) {
  const std::string& page = Page(first);
  const std::vector<std::string> all = LeftMarkers(first);
  for (auto _ : state) {
    int found = 0;
    for (std::size_t m = 0; m < markers; ++m) {
      const std::string& marker = all[m];
      for (const char *at = page.data(), *end = page.data() + page.size();;) {
        const void* hit = memmem(at, end - at, marker.data(), marker.size());
        if (!hit) break;
        ++found;
        at = static_cast<const char*>(hit) + marker.size();
      }
    }
    if (found != static_cast<int>(markers) * kResults)
      state.SkipWithError("memmem found the wrong number of markers");
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(state.iterations() * page.size());
}

void BM_Scrape(benchmark::State& state, bool first) {
  const std::string& page = Page(first);
  for (auto _ : state) {
    const morvane::ScrapedFields fields =
        first ? morvane::ScrapeFirstSite(page) : morvane::ScrapeSecondSite(page, kSecondBase);
    if (fields.names.size() != kResults || fields.hashes.size() != kResults ||
        fields.sizes.size() != kResults)
      state.SkipWithError("the scraper found the wrong number of results");
    benchmark::DoNotOptimize(fields.hashes.data());
  }
  state.SetBytesProcessed(state.iterations() * page.size());
}

BENCHMARK_CAPTURE(BM_Memmem, first_one_marker, true, 1);
BENCHMARK_CAPTURE(BM_Memmem, first_three_markers, true, 3);
BENCHMARK_CAPTURE(BM_Scrape, first, true);
BENCHMARK_CAPTURE(BM_Memmem, second_one_marker, false, 1);
BENCHMARK_CAPTURE(BM_Memmem, second_three_markers, false, 3);
BENCHMARK_CAPTURE(BM_Scrape, second, false);

}  // namespace

int main(int argc, char** argv) {
  return morvane::bench::RunAndPrintRatios(argc, argv, [](const morvane::bench::Throughputs& t) {
    for (const char* site : {"first", "second"}) {
      const auto scrape = t.find(std::string("BM_Scrape/") + site);
      if (scrape == t.end()) continue;
      for (const char* reference : {"one_marker", "three_markers"}) {
        const auto memmem = t.find(std::string("BM_Memmem/") + site + "_" + reference);
        if (memmem == t.end() || memmem->second <= 0) continue;
        std::printf("ratio scrape %s site / memmem %s: %.3f (target >= 0.2)\n", site, reference,
                    scrape->second / memmem->second);
      }
    }
  });
}
